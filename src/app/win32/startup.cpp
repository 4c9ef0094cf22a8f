#include "win32/startup.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "platform/win32/widetext.h"
#include "scan/filelist.h"

namespace velkscan {

Text OwnCommandLine() {
  const wchar_t* line = GetCommandLineW();
  return line == nullptr ? Text() : WideToText(line);
}

std::vector<Text> TakeDroppedPaths(HDROP drop) {
  std::vector<Text> paths;
  try {
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    std::wstring path;
    for (UINT i = 0; i < count; ++i) {
      // The whole path, however long: the list refuses an overlong one
      // rather than take it cut short.
      const UINT length = DragQueryFileW(drop, i, nullptr, 0);
      path.assign(length + 1, L'\0');
      const UINT copied = DragQueryFileW(drop, i, path.data(), length + 1);
      path.resize(std::min(copied, length));
      paths.push_back(WideToText(path));
    }
  } catch (...) {
    DragFinish(drop);
    throw;
  }
  DragFinish(drop);
  return paths;
}

bool ForwardedText(WPARAM sender, const COPYDATASTRUCT* data, Text& text, bool& exact) {
  text.clear();
  exact = true;
  if (sender != 0 || data == nullptr || data->cbData == 0 || data->lpData == nullptr) return false;
  if (data->dwData != kForwardedWideCommandLine) {
    text = CopiedText(data->lpData, data->cbData);
    return true;
  }
  std::wstring_view wide(static_cast<const wchar_t*>(data->lpData), data->cbData / sizeof(wchar_t));
  exact = WideToText(wide.substr(0, wide.find(L'\0')), text);
  return true;
}

InstanceMark::InstanceMark() {
  mutex_ = CreateMutexW(nullptr, TRUE, kInstanceMutexName);
  // The same call tells whether the mark existed: then it is another
  // instance's. This handle is let go at once, so that the mark goes with
  // that instance: a start that comes after it (while this one still waits
  // for its window) becomes the first instance.
  first_ = GetLastError() != ERROR_ALREADY_EXISTS;
  if (!first_ && mutex_ != nullptr) {
    CloseHandle(mutex_);
    mutex_ = nullptr;
  }
}

InstanceMark::~InstanceMark() {
  if (mutex_ == nullptr) return;
  ReleaseMutex(mutex_);
  CloseHandle(mutex_);
}

Text AbsoluteCommandLine(TextView ownCommandLine) {
  Text line;
  std::wstring full;
  for (TextView argument : CommandLineArguments(ownCommandLine, true)) {
    if (argument.empty()) continue;
    const Text name(argument);
    // The wide operation in both builds: the narrow one stops at MAX_PATH.
    const std::wstring wide = TextToWide(name);
    // The size with its zero, then the name: the folder may have changed
    // in between, so ask again until it fits.
    DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    for (;;) {
      if (size == 0) break;
      full.assign(size, L'\0');
      const DWORD written = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
      if (written < size) {
        full.resize(written);
        break;
      }
      size = written;
    }
    if (!line.empty()) line += VTEXT(' ');
    line += VTEXT('"');
    // A name the system cannot make whole stays as given.
    line += size == 0 || full.empty() ? name : WideToText(full);
    line += VTEXT('"');
  }
  return line;
}

namespace {

HWND FindRunningWindow() {
  const DWORD start = GetTickCount();
  for (;;) {
    if (HWND window = FindWindowW(nullptr, kWindowTitle)) return window;
    if (GetTickCount() - start >= kWindowWaitMs) return nullptr;
    Sleep(50);
  }
}

}  // namespace

int ForwardCommandLine(bool hasArguments) {
  if (!hasArguments) return 0;
  HWND window = FindRunningWindow();
  if (window == nullptr) return 0;
  const wchar_t* line = GetCommandLineW();
  if (line == nullptr) return 0;
  // Sent with its terminating zero, in UTF-16: the window may be the other
  // build's.
  const std::wstring text = TextToWide(AbsoluteCommandLine(WideToText(line)));
  COPYDATASTRUCT data;
  data.dwData = kForwardedWideCommandLine;
  data.cbData = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  data.lpData = const_cast<wchar_t*>(text.c_str());
  DWORD_PTR result = 0;
  // A hung first instance must not hang this one: the send gives up after
  // the time-out. Its result is not looked at.
  SendMessageTimeoutW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_BLOCK | SMTO_ABORTIFHUNG,
                      kForwardTimeoutMs, &result);
  return 0;
}

}  // namespace velkscan
