// The build's own character type for file names and user-interface texts.
//
// Linux builds and the narrow Windows build use char (UTF-8 on Linux, the
// ANSI code page on Windows); the wide Windows build (UNICODE) uses UTF-16
// wchar_t. Everything that holds a path or a report line uses Char/Text, so
// one set of sources serves every build.
#pragma once

#include <string>
#include <string_view>

namespace velkscan {

#if defined(_WIN32) && defined(UNICODE)
using Char = wchar_t;
#define VTEXT(s) L##s
#else
using Char = char;
#define VTEXT(s) s
#endif

using Text = std::basic_string<Char>;
using TextView = std::basic_string_view<Char>;

}  // namespace velkscan
