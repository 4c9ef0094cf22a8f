// probe.exe: what the end-to-end script cannot see from X. Reads the
// running window of either build (it sends no input and no commands):
//   probe wait        waits up to 10 s for the visible window "Velkscan"
//   probe gone        waits up to 10 s for it to go
//   probe where ID    the screen point at the middle of control ID
//   probe text ID [TITLE]  the control's text, as UTF-8 (of the window TITLE)
//   probe clipboard   the clipboard's text, as UTF-8
//   probe watch ID READY  makes the file READY, then prints the time (in
//                     microseconds since 1970) when the control's text has
//                     changed or it has gone (ID 0: the window itself; ID
//                     clip: the clipboard, and then also its text's lines)
//   probe client ID   the control's client area on the screen: left top right bottom
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>

namespace {

HWND Find(const wchar_t* title = L"Velkscan") {
  HWND window = FindWindowW(nullptr, title);
  return window != nullptr && IsWindowVisible(window) ? window : nullptr;
}

std::wstring TextOf(HWND control) {
  // Messages, not GetWindowText: that one does not ask another process.
  std::wstring text(static_cast<size_t>(SendMessageW(control, WM_GETTEXTLENGTH, 0, 0)) + 1, L'\0');
  text.resize(static_cast<size_t>(
      SendMessageW(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
  return text;
}

int Print(const std::wstring& text) {
  std::string utf8(text.size() * 3 + 1, '\0');
  utf8.resize(
      static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                              utf8.data(), static_cast<int>(utf8.size()), nullptr, nullptr)));
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
  return 0;
}

std::wstring Clipboard() {
  std::wstring text;
  HANDLE data = OpenClipboard(nullptr) ? GetClipboardData(CF_UNICODETEXT) : nullptr;
  if (const auto* chars = data != nullptr ? static_cast<const wchar_t*>(GlobalLock(data)) : nullptr)
    text = chars;
  CloseClipboard();
  return text;
}

bool WaitFor(bool present) {
  for (int i = 0; i < 200; ++i, Sleep(50)) {
    if ((Find() != nullptr) == present) return true;
  }
  return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"wait") return WaitFor(true) ? 0 : 1;
  if (command == L"gone") return WaitFor(false) ? 0 : 1;
  if (command == L"clipboard") return Print(Clipboard());
  // ID 0: the window itself; TITLE: another window than "Velkscan".
  const int id = argc > 2 ? std::wcstol(argv[2], nullptr, 10) : 0;
  HWND window = command == L"text" && argc > 3 ? Find(argv[3]) : Find();
  HWND control = argc > 2 && window != nullptr ? (id != 0 ? GetDlgItem(window, id) : window) : nullptr;
  if (control == nullptr) return 1;
  if (command == L"where") {
    RECT rect;
    GetWindowRect(control, &rect);
    std::printf("%ld %ld\n", (rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
    return 0;
  }
  if (command == L"client") {
    RECT rect;
    GetClientRect(control, &rect);
    MapWindowPoints(control, nullptr, reinterpret_cast<POINT*>(&rect), 2);
    std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
    return 0;
  }
  if (command == L"watch") {
    const bool clip = std::wstring(argv[2]) == L"clip";
    const std::wstring before = clip ? L"" : TextOf(control);
    const DWORD copies = GetClipboardSequenceNumber();
    CloseHandle(CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    for (int i = 0; i < 20000 && (clip ? GetClipboardSequenceNumber() == copies
                                       : IsWindow(control) && TextOf(control) == before);
         ++i)
      Sleep(1);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    // Microseconds since 1970, as the script's clock.
    std::printf("%llu", ((static_cast<unsigned long long>(now.dwHighDateTime) << 32 | now.dwLowDateTime) -
                         116444736000000000ULL) /
                            10);
    const std::wstring text = clip ? Clipboard() : L"";
    if (clip) std::printf(" %zu", static_cast<size_t>(std::count(text.begin(), text.end(), L'\n')));
    std::printf("\n");
    return 0;
  }
  return Print(TextOf(control));
}
