// Names as Windows gives them (UTF-16: the command line, drops, directory
// listings) in the build's own characters, and back.
//
// The narrow build must never let the system convert a name for it: the A
// operations map a character the code page cannot hold to a "best fit"
// look-alike ("łódź.vlk" becomes "lódz.vlk"), which may be the name of
// another file, which a scan would then open for writing. So names are
// taken in their wide form and converted here without best fit: a character
// that does not convert exactly becomes '?'. No Windows file name contains
// '?', so such a name names nothing and never opens; the scan reports it as
// a file that could not be opened.
#pragma once

#include <string>
#include <string_view>

#include "platform/text.h"
#include "platform/win32/winapi.h"

namespace velkscan {

// The character a name gets for each character the code page cannot hold.
inline constexpr Char kUnconvertibleChar = VTEXT('?');

#if !defined(UNICODE)
namespace widetext_detail {

inline std::wstring NarrowToWide(std::string_view text) {
  std::wstring wide;
  if (text.empty()) return wide;
  const int length = static_cast<int>(text.size());
  const int count = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
  if (count <= 0) return wide;
  wide.resize(static_cast<std::size_t>(count));
  MultiByteToWideChar(CP_ACP, 0, text.data(), length, wide.data(), count);
  return wide;
}

// True when wide converts to the code page and back unchanged: no default
// character, no best fit, no two characters folded into one.
inline bool ConvertExactly(std::wstring_view wide, std::string& out) {
  out.clear();
  if (wide.empty()) return true;
  const int length = static_cast<int>(wide.size());
  // Under the UTF-8 code page only unpaired surrogates fail; it takes
  // neither the best-fit flag nor the used-default flag.
  const bool utf8 = GetACP() == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* usedDefaultFlag = utf8 ? nullptr : &usedDefault;
  const int count =
      WideCharToMultiByte(CP_ACP, flags, wide.data(), length, nullptr, 0, nullptr, usedDefaultFlag);
  if (count <= 0 || usedDefault) return false;
  out.resize(static_cast<std::size_t>(count));
  usedDefault = FALSE;
  if (WideCharToMultiByte(CP_ACP, flags, wide.data(), length, out.data(), count, nullptr, usedDefaultFlag) !=
          count ||
      usedDefault) {
    out.clear();
    return false;
  }
  if (NarrowToWide(out) != wide) {
    out.clear();
    return false;
  }
  return true;
}

}  // namespace widetext_detail
#endif

// The wide name in the build's characters. True when the conversion was
// exact; false when some characters became kUnconvertibleChar (the narrow
// build only).
inline bool WideToText(std::wstring_view wide, Text& out) {
#if defined(UNICODE)
  out.assign(wide);
  return true;
#else
  if (widetext_detail::ConvertExactly(wide, out)) return true;
  // Character by character (a surrogate pair is one): what converts exactly
  // is kept, everything else becomes '?'. The result is never a best-fit
  // look-alike, whatever the system's conversion does with the whole text.
  out.clear();
  std::string piece;
  for (std::size_t i = 0; i < wide.size();) {
    std::size_t length = 1;
    if (IS_HIGH_SURROGATE(wide[i]) && i + 1 < wide.size() && IS_LOW_SURROGATE(wide[i + 1])) length = 2;
    if (widetext_detail::ConvertExactly(wide.substr(i, length), piece)) {
      out += piece;
    } else {
      out += kUnconvertibleChar;
    }
    i += length;
  }
  return false;
#endif
}

inline Text WideToText(std::wstring_view wide) {
  Text out;
  WideToText(wide, out);
  return out;
}

// The build's text as UTF-16 (the narrow build: from the code page, which
// is exact in this direction).
inline std::wstring TextToWide(TextView text) {
#if defined(UNICODE)
  return std::wstring(text);
#else
  return widetext_detail::NarrowToWide(text);
#endif
}

// The name as the wide file operations take it at any length. From a little
// below MAX_PATH on (room for a search pattern's "\\*"), the full path behind
// "\\?\" (or "\\?\UNC\"), which lifts the system's limit; such a path is not
// parsed any more, so it is made full and canonical first. A name the
// system cannot make full stays as it is.
inline std::wstring LongPathForOpening(std::wstring path) {
  constexpr std::size_t kPlainLimit = MAX_PATH - 12;
  if (path.size() < kPlainLimit || path.rfind(L"\\\\?\\", 0) == 0) return path;
  std::wstring full(path.size() + 8, L'\0');
  for (;;) {
    const DWORD written =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (written == 0) return path;
    if (written < full.size()) {
      full.resize(written);
      break;
    }
    full.assign(written, L'\0');
  }
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

}  // namespace velkscan
