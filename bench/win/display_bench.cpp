// What a flood of report lines costs the Windows dialog: a real scan job
// over N names that do not exist (one "not checked" line each, all written
// as the scan starts), shown by the real dialog. Prints the
// dialog thread's processor time, the longest wait of a 10 ms timer (how
// late input would be served), and the memory taken against the size of
// the report. Then, with the report's rows in the box, what selecting costs
// the dialog's thread: Ctrl+A, PageDown after it, and a new report (a file
// forwarded while every row is selected), each from the input (or the
// message) until the thread is idle again. Needs a display (under wine: Xvfb):
//
//   win_display_bench [LINES]   (default 100000)
#include "platform/win32/winapi.h"
// After windows.h, which they need.
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/win32/widetext.h"
#include "win32/maindialog.h"
#include "win32/resource.h"
#include "win32/startup.h"

namespace {

double ThreadSeconds() {
  FILETIME created, exited, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
  const auto seconds = [](const FILETIME& time) {
    return static_cast<double>(static_cast<unsigned long long>(time.dwHighDateTime) << 32 |
                               time.dwLowDateTime) *
           1e-7;
  };
  return seconds(kernel) + seconds(user);
}

struct Memory {
  double resident, peak;  // MB
};
Memory ResidentMb() {
  PROCESS_MEMORY_COUNTERS counters{};
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
  return {static_cast<double>(counters.WorkingSetSize) / 1048576.0,
          static_cast<double>(counters.PeakWorkingSetSize) / 1048576.0};
}

std::wstring ButtonText(HWND window) {
  wchar_t text[16] = L"";
  GetDlgItemTextW(window, IDC_SCAN, text, 16);
  return text;
}

// Runs the dialog's messages until none waits; the seconds of wall time and
// of the thread's processor time that took.
struct Cost {
  double wall, cpu;
};
Cost Settle(HWND window, DWORD startTick, double cpuBefore) {
  MSG message;
  for (int quiet = 0; quiet < 3;) {
    if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      // Input sent to the thread may still be on its way from the server.
      ++quiet;
      Sleep(quiet == 1 ? 0 : 1);
      continue;
    }
    quiet = 0;
    if (!IsDialogMessageW(window, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  return {(GetTickCount() - startTick) / 1000.0, ThreadSeconds() - cpuBefore};
}

// Presses the keys (each down, then all up in reverse) as input from the
// keyboard, and waits for the dialog to have served them.
Cost Keys(HWND window, std::initializer_list<WORD> keys) {
  std::vector<INPUT> inputs;
  for (WORD key : keys) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key;
    inputs.push_back(input);
  }
  for (auto it = keys.end(); it != keys.begin();) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = *--it;
    input.ki.dwFlags = KEYEVENTF_KEYUP;
    inputs.push_back(input);
  }
  const double cpu = ThreadSeconds();
  const DWORD start = GetTickCount();
  SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
  return Settle(window, start, cpu);
}

void PrintCost(const char* what, const Cost& cost) {
  std::printf("%-22s %.0f ms (dialog thread CPU %.0f ms)\n", what, cost.wall * 1000,
              std::max(0.0, cost.cpu) * 1000);
}

}  // namespace

int main(int argc, char** argv) {
  const int lines = argc > 1 ? std::atoi(argv[1]) : 100000;
  velkscan::MainDialog dialog;
  dialog.job().settings.idlePriority = false;
  {
    std::vector<velkscan::Text> names;
    for (int i = 0; i < lines; ++i)
      names.push_back(
          velkscan::WideToText(L"C:\\nonexistent\\velkscan\\bench\\file-" + std::to_wstring(i) + L".vlk"));
    dialog.job().AddPaths(names);
  }
  HWND window = dialog.Create(GetModuleHandleW(nullptr));
  if (window == nullptr) return 2;
  ShowWindow(window, SW_SHOW);
  UpdateWindow(window);

  constexpr UINT_PTR kProbeTimer = 77;
  SetTimer(nullptr, kProbeTimer, 10, nullptr);
  DWORD lastTick = GetTickCount();
  DWORD longestWait = 0;
  const Memory before = ResidentMb();
  const double cpuBefore = ThreadSeconds();
  const DWORD start = GetTickCount();
  SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_SCAN, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(window, IDC_SCAN)));
  // Until the worker has ended and the dialog has shown it: the button's
  // change comes with the report's end.
  MSG message;
  while ((dialog.job().running() || ButtonText(window) != L"Scan") && GetTickCount() - start < 600000 &&
         GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.message == WM_TIMER && message.hwnd == nullptr) {
      longestWait = std::max(longestWait, GetTickCount() - lastTick);
      lastTick = GetTickCount();
      continue;
    }
    if (!IsDialogMessageW(window, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  const double cpu = ThreadSeconds() - cpuBefore;
  const double wall = (GetTickCount() - start) / 1000.0;
  const Memory after = ResidentMb();

  HWND box = GetDlgItem(window, IDC_REPORT);
  std::wstring shown(static_cast<std::size_t>(SendMessageW(box, WM_GETTEXTLENGTH, 0, 0)) + 1, L'\0');
  shown.resize(static_cast<std::size_t>(
      SendMessageW(box, WM_GETTEXT, shown.size(), reinterpret_cast<LPARAM>(shown.data()))));
  const double reportMb = static_cast<double>(shown.size() * sizeof(velkscan::Char)) / 1048576.0;
  std::printf("lines                  %d (%ld rows in the box)\n", lines,
              static_cast<long>(SendMessageW(box, LVM_GETITEMCOUNT, 0, 0)));
  std::printf("report                 %.1f MB\n", reportMb);
  std::printf("dialog thread CPU      %.3f s (wall %.2f s)\n", cpu, wall);
  std::printf("longest 10 ms tick     %lu ms\n", static_cast<unsigned long>(longestWait));
  // The growth counts the job's report buffer and the box's copy of the
  // text; memory freed after making the list is taken again first.
  std::printf(
      "resident               %.1f MB before the scan, %.1f MB after (+%.1f MB, %.1f x the report), peak "
      "%.1f MB\n",
      before.resident, after.resident, after.resident - before.resident,
      (after.resident - before.resident) / reportMb, after.peak);
  const std::wstring end = L" errors with " + std::to_wstring(lines) + L".\r\n";
  const bool whole =
      shown.size() >= end.size() && shown.compare(shown.size() - end.size(), end.size(), end) == 0;

  // Selecting in the box, as a user does: the keys go through the input.
  SetForegroundWindow(window);
  SetFocus(box);
  Settle(window, GetTickCount(), ThreadSeconds());
  PrintCost("Ctrl+A", Keys(window, {VK_CONTROL, 'A'}));
  PrintCost("PageDown after it", Keys(window, {VK_NEXT}));
  Keys(window, {VK_CONTROL, 'A'});
  // A second start names a file while every row is selected: the box shows
  // the count instead.
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  const std::wstring file = std::wstring(folder) + L"velkscan-display-bench.vlk";
  CloseHandle(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  const velkscan::Text forwarded = velkscan::WideToText(L"\"" + file + L"\"");
  COPYDATASTRUCT data{velkscan::kForwardedCommandLine,
                      static_cast<DWORD>((forwarded.size() + 1) * sizeof(velkscan::Char)),
                      const_cast<velkscan::Char*>(forwarded.c_str())};
  {
    const double cpu = ThreadSeconds();
    const DWORD start = GetTickCount();
    SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    PrintCost("a new report", Settle(window, start, cpu));
  }
  DeleteFileW(file.c_str());
  DestroyWindow(window);
  return whole ? 0 : 1;
}
