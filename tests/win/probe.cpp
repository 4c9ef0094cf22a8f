// probe.exe: what the end-to-end script cannot see from X. Reads the
// running window of either build (it sends no input and no commands):
//   probe wait        waits up to 10 s for the visible window "Velkscan"
//   probe gone        waits up to 10 s for it to go
//   probe where ID    the screen point at the middle of control ID
//   probe text ID     the control's text, as UTF-8
//   probe clipboard   the clipboard's text, as UTF-8
//   probe watch ID READY  makes the file READY, then prints the time (in
//                     microseconds since 1970) when the control's text has
//                     changed or it has gone (ID 0: the window itself)
//   probe client ID   the control's client area on the screen: left top right bottom
//   probe clip READY  makes the file READY, then prints the time (as watch)
//                     when the clipboard has changed, and its text's lines
//   probe box TITLE   waits up to 10 s for the visible window TITLE; prints its
//                     width and the screen's, then its static text
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>

namespace {

HWND Find() {
  HWND window = FindWindowW(nullptr, L"Velkscan");
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

unsigned long long Now() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  // Microseconds since 1970, as the script's clock.
  return ((static_cast<unsigned long long>(now.dwHighDateTime) << 32 | now.dwLowDateTime) -
          116444736000000000ULL) /
         10;
}

void MakeReady(const wchar_t* file) {
  CloseHandle(CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
}

BOOL CALLBACK LongestStatic(HWND child, LPARAM found) {
  wchar_t name[16] = L"";
  GetClassNameW(child, name, 16);
  auto& text = *reinterpret_cast<std::wstring*>(found);
  if (_wcsicmp(name, L"Static") == 0 && TextOf(child).size() > text.size()) text = TextOf(child);
  return TRUE;
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
  if (command == L"clip" && argc > 2) {
    const DWORD before = GetClipboardSequenceNumber();
    MakeReady(argv[2]);
    for (int i = 0; i < 20000 && GetClipboardSequenceNumber() == before; ++i) Sleep(1);
    const unsigned long long when = Now();
    const std::wstring text = Clipboard();
    std::printf("%llu %zu\n", when, static_cast<size_t>(std::count(text.begin(), text.end(), L'\n')));
    return 0;
  }
  if (command == L"box" && argc > 2) {
    HWND box = nullptr;
    for (int i = 0; i < 200 && !((box = FindWindowW(nullptr, argv[2])) != nullptr && IsWindowVisible(box));
         ++i)
      Sleep(50);
    if (box == nullptr) return 1;
    RECT rect;
    GetWindowRect(box, &rect);
    std::printf("%ld %d\n", rect.right - rect.left, GetSystemMetrics(SM_CXSCREEN));
    std::fflush(stdout);
    std::wstring text;
    EnumChildWindows(box, LongestStatic, reinterpret_cast<LPARAM>(&text));
    return Print(text);
  }
  // ID 0: the window itself.
  const int id = argc > 2 ? std::wcstol(argv[2], nullptr, 10) : 0;
  HWND control = argc > 2 && Find() != nullptr ? (id != 0 ? GetDlgItem(Find(), id) : Find()) : nullptr;
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
    const std::wstring before = TextOf(control);
    MakeReady(argv[3]);
    for (int i = 0; i < 20000 && IsWindow(control) && TextOf(control) == before; ++i) Sleep(1);
    std::printf("%llu\n", Now());
    return 0;
  }
  return Print(TextOf(control));
}
