// probe.exe: what the end-to-end script cannot see from X. Reads the
// running window of either build (it sends no input and no commands):
//   probe wait        waits up to 10 s for the visible window "Velkscan"
//   probe gone        waits up to 10 s for it to go
//   probe where ID    the screen point at the middle of control ID
//   probe text ID     the control's text, as UTF-8
//   probe click ID MARK  a mouse click on the control through the input
//                     queue (SendInput), the file MARK made just before it;
//                     prints the milliseconds until its caption changed
//   probe close 0 MARK  the same with Alt+F4 to the window; prints the
//                     milliseconds until the window has gone
#include <windows.h>

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
  if (command == L"click" || command == L"close") {
    // A click on the control, or Alt+F4 to the window; then the time until
    // the control's text changed or the window has gone.
    INPUT inputs[4] = {};
    if (command == L"click") {
      RECT rect;
      GetWindowRect(control, &rect);
      SetCursorPos((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
      inputs[0].type = inputs[1].type = INPUT_MOUSE;
      inputs[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
      inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    } else {
      SetForegroundWindow(Find());
      const WORD codes[4] = {VK_MENU, VK_F4, VK_F4, VK_MENU};
      for (int i = 0; i < 4; ++i) {
        inputs[i].type = INPUT_KEYBOARD;
        inputs[i].ki.wVk = codes[i];
        inputs[i].ki.dwFlags = i >= 2 ? KEYEVENTF_KEYUP : 0;
      }
    }
    const std::wstring before = TextOf(control);
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    if (argc > 3) CloseHandle(CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    QueryPerformanceCounter(&start);
    SendInput(command == L"click" ? 2 : 4, inputs, sizeof(INPUT));
    do {
      Sleep(1);
      QueryPerformanceCounter(&now);
    } while (IsWindow(control) && TextOf(control) == before &&
             now.QuadPart - start.QuadPart < 20 * frequency.QuadPart);
    std::printf("%.0f\n", 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) / frequency.QuadPart);
    return 0;
  }
  const std::wstring text = TextOf(control);
  std::string utf8(static_cast<size_t>(text.size()) * 3 + 1, '\0');
  utf8.resize(
      static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                              utf8.data(), static_cast<int>(utf8.size()), nullptr, nullptr)));
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
  return 0;
}
