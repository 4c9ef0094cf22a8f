// velkscan_driver: drives the Windows programs from outside, as a user and
// as a second start would, for tests/win/e2e.sh. A console program that
// always uses the wide operations, whichever build it drives.
//
//   velkscan_driver COMMAND ARGUMENTS...
//
// Programs are started with a command line of the program's quoted path and
// TAIL as given (quotes and spaces kept). A program is named afterwards by
// its process id; its window is the visible dialog titled "Velkscan" of that
// process. Texts written to files are UTF-8. Exit status 0: done and as
// expected; 1: a check failed (the reason on standard error); 2: bad usage.
//
//   launch EXE [TAIL]              start, wait for the window; prints "pid N"
//   second EXE [TAIL] [MAXMS]      start, wait for the end; exit code must be 0
//                                  (and within MAXMS ms, if given); no window
//   late-first EXE MUTEX TAIL      hold MUTEX, start EXE TAIL (a second start
//                                  that finds no window yet), let go after
//                                  1 s and start EXE without arguments as the
//                                  first instance; the second must end with 0
//                                  after it found the window; prints "pid N"
//   race EXE TAIL1 TAIL2           start both at once: one window, the other
//                                  ends with 0; prints "pid N" of the window's
//   check-window PID               the dialog as template 101 makes it, above
//                                  other windows, its process at idle priority
//   report PID FILE                the report box's text into FILE
//   wait-report PID TEXT FILE [MS] until the report box contains TEXT
//   expect-report PID TEXT         the report box holds exactly TEXT ("\n" for
//                                  line ends)
//   expect-button PID TEXT 0|1     the button's caption and whether enabled
//   progress PID                   prints "progress N"
//   click PID                      BM_CLICK on the button
//   key PID return|escape          the key, posted to the dialog as if typed
//   copydata PID wide|narrow [from-window] [no-data] TEXT
//                                  WM_COPYDATA as a second start sends it
//                                  (dwData 1, cbData with the terminator,
//                                  sender 0), or with a sender window, or
//                                  with cbData 0
//   stop-midway PID                Scan, and Stop as soon as the progress bar
//                                  has moved (a file is being checked);
//                                  prints "stopped at N%"
//   copydata-midway PID wide|narrow TEXT
//                                  Scan, and at once the WM_COPYDATA of a
//                                  second start (to be ignored)
//   close-midway PID               Scan, and WM_CLOSE as soon as the progress
//                                  bar has moved; the process must end with 0
//   close PID [MS]                 WM_CLOSE; the process must end with 0
//   overlong-box PID TEXT          waits for the message box about paths too
//                                  long to add, checks that it says TEXT,
//                                  closes it
//   windows                        prints "windows N": visible "Velkscan"
//                                  dialogs of any process, then "pid N" for
//                                  each
#include "platform/win32/winapi.h"
// After windows.h, which it needs.
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kButtonId = 1;
constexpr int kReportId = 1000;
constexpr int kProgressId = 1003;
constexpr DWORD kDefaultWaitMs = 20000;
constexpr DWORD kSendTimeoutMs = 10000;

struct Failure {
  std::string what;
};

[[noreturn]] void Fail(const std::string& what) {
  throw Failure{what};
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int count = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                        nullptr, nullptr);
  std::string out(static_cast<std::size_t>(count), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), count, nullptr,
                      nullptr);
  return out;
}

// Shown in messages: line ends visible.
std::string Shown(const std::wstring& text) {
  std::string out = Utf8(text);
  std::string shown;
  for (char c : out) {
    if (c == '\r') {
      shown += "\\r";
    } else if (c == '\n') {
      shown += "\\n";
    } else {
      shown += c;
    }
  }
  return "\"" + shown + "\"";
}

// "\n" in an argument stands for a line end of the report ("\r\n").
std::wstring WithLineEnds(const std::wstring& text) {
  std::wstring out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\\' && i + 1 < text.size() && text[i + 1] == L'n') {
      out += L"\r\n";
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

DWORD Number(const std::wstring& text) {
  wchar_t* end = nullptr;
  const unsigned long value = wcstoul(text.c_str(), &end, 10);
  if (text.empty() || *end != L'\0') Fail("not a number: " + Utf8(text));
  return static_cast<DWORD>(value);
}

// --- Processes ---

struct Started {
  HANDLE process;
  DWORD pid;
};

Started Start(const std::wstring& exe, const std::wstring& tail) {
  std::wstring line = L"\"" + exe + L"\"";
  if (!tail.empty()) line += L" " + tail;
  // The program's standard streams go nowhere: it outlives this driver,
  // and one that kept the driver's output open would keep whoever reads
  // that output waiting.
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr);
  if (nul == INVALID_HANDLE_VALUE) Fail("cannot open NUL");
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
  PROCESS_INFORMATION info{};
  const BOOL started =
      CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
  const DWORD error = GetLastError();
  CloseHandle(nul);
  if (!started) Fail("cannot start " + Utf8(exe) + " (error " + std::to_string(error) + ")");
  CloseHandle(info.hThread);
  return Started{info.hProcess, info.dwProcessId};
}

HANDLE OpenByPid(DWORD pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
  if (process == nullptr) Fail("no process " + std::to_string(pid));
  return process;
}

// The exit code, after waiting up to ms for the end.
DWORD WaitForEnd(HANDLE process, DWORD ms, const std::string& what) {
  if (WaitForSingleObject(process, ms) != WAIT_OBJECT_0)
    Fail(what + " did not end within " + std::to_string(ms) + " ms");
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  return code;
}

// --- Windows ---

bool IsVelkscanDialog(HWND window) {
  wchar_t title[32] = {};
  wchar_t className[32] = {};
  GetWindowTextW(window, title, 32);
  GetClassNameW(window, className, 32);
  return wcscmp(title, L"Velkscan") == 0 && wcscmp(className, L"#32770") == 0;
}

struct Search {
  DWORD pid;  // 0: any process
  std::vector<HWND> found;
};

BOOL CALLBACK Collect(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<Search*>(parameter);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if ((search->pid == 0 || pid == search->pid) && IsWindowVisible(window) && IsVelkscanDialog(window)) {
    search->found.push_back(window);
  }
  return TRUE;
}

std::vector<HWND> Dialogs(DWORD pid) {
  Search search{pid, {}};
  EnumWindows(Collect, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The visible dialog of the process: the window is found as soon as it is
// created, so a caller waits until it is shown.
HWND WaitForDialog(DWORD pid, DWORD ms, HANDLE process = nullptr) {
  const DWORD start = GetTickCount();
  for (;;) {
    const std::vector<HWND> found = Dialogs(pid);
    if (found.size() == 1) return found[0];
    if (found.size() > 1)
      Fail("process " + std::to_string(pid) + " has " + std::to_string(found.size()) + " dialogs");
    if (process != nullptr && WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
      DWORD code = 0;
      GetExitCodeProcess(process, &code);
      Fail("process " + std::to_string(pid) + " ended with " + std::to_string(code) +
           " before showing its window");
    }
    if (GetTickCount() - start >= ms) Fail("no window of process " + std::to_string(pid));
    Sleep(50);
  }
}

HWND DialogOf(DWORD pid) {
  return WaitForDialog(pid, 2000);
}

HWND Item(HWND dialog, int id) {
  HWND item = GetDlgItem(dialog, id);
  if (item == nullptr) Fail("the dialog has no control " + std::to_string(id));
  return item;
}

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, kSendTimeoutMs, &result)) {
    Fail("the window did not answer message " + std::to_string(message));
  }
  return static_cast<LRESULT>(result);
}

std::wstring ItemText(HWND dialog, int id) {
  const LRESULT length = Send(Item(dialog, id), WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const UINT copied = GetDlgItemTextW(dialog, id, text.data(), static_cast<int>(text.size()));
  text.resize(copied);
  return text;
}

DWORD ProgressOf(HWND dialog) {
  return static_cast<DWORD>(Send(Item(dialog, kProgressId), PBM_GETPOS, 0, 0));
}

void WriteUtf8(const std::wstring& path, const std::wstring& text) {
  FILE* file = _wfopen(path.c_str(), L"wb");
  if (file == nullptr) Fail("cannot write " + Utf8(path));
  const std::string bytes = Utf8(text);
  fwrite(bytes.data(), 1, bytes.size(), file);
  fclose(file);
}

template <typename Ready>
void WaitUntil(DWORD ms, Ready&& ready, const std::string& what) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (ready()) return;
    if (GetTickCount() - start >= ms) Fail("timed out waiting for " + what);
    Sleep(40);
  }
}

// --- Checks of the window ---

// Dialog units of template 101's font, "MS Sans Serif" at 8 points, worked
// out as the dialog manager does it (MapDialogRect cannot be asked about
// another process's dialog): a horizontal unit is a quarter of the average
// width of the Latin letters, a vertical one an eighth of the font's height.
struct DialogUnits {
  int baseX;
  int baseY;

  // Position and size in units, as a template gives them, to a rectangle
  // in pixels: position and size are each mapped, as the dialog manager
  // does.
  RECT Map(int x, int y, int cx, int cy) const {
    const int left = MulDiv(x, baseX, 4);
    const int top = MulDiv(y, baseY, 8);
    return RECT{left, top, left + MulDiv(cx, baseX, 4), top + MulDiv(cy, baseY, 8)};
  }
};

DialogUnits TemplateFontUnits() {
  HDC screen = GetDC(nullptr);
  const int height = -MulDiv(8, GetDeviceCaps(screen, LOGPIXELSY), 72);
  HFONT font =
      CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                  CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"MS Sans Serif");
  HGDIOBJ old = SelectObject(screen, font);
  TEXTMETRICW metrics;
  GetTextMetricsW(screen, &metrics);
  SIZE letters;
  GetTextExtentPoint32W(screen, L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", 52, &letters);
  SelectObject(screen, old);
  DeleteObject(font);
  ReleaseDC(nullptr, screen);
  return DialogUnits{(letters.cx / 26 + 1) / 2, static_cast<int>(metrics.tmHeight)};
}

// A control's class, styles and place; units: x, y, width, height in dialog
// units, as the template gives them.
void ExpectControl(HWND dialog, const DialogUnits& base, int id, const wchar_t* className, LONG styles,
                   const RECT& units) {
  HWND item = Item(dialog, id);
  wchar_t name[64] = {};
  GetClassNameW(item, name, 64);
  if (_wcsicmp(name, className) != 0) Fail("control " + std::to_string(id) + " is a " + Utf8(name));
  LONG style = GetWindowLongW(item, GWL_STYLE);
  // The edit box draws the template's border itself, as a sunken edge.
  if ((GetWindowLongW(item, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) != 0) style |= WS_BORDER;
  if ((style & styles) != styles) {
    Fail("control " + std::to_string(id) + " has styles " + std::to_string(style) + " (extended " +
         std::to_string(GetWindowLongW(item, GWL_EXSTYLE)) + "), lacking some of " + std::to_string(styles));
  }
  const RECT expected = base.Map(units.left, units.top, units.right, units.bottom);
  RECT actual;
  GetWindowRect(item, &actual);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&actual), 2);
  if (actual.left != expected.left || actual.top != expected.top || actual.right != expected.right ||
      actual.bottom != expected.bottom) {
    Fail("control " + std::to_string(id) + " is at " + std::to_string(actual.left) + "," +
         std::to_string(actual.top) + " to " + std::to_string(actual.right) + "," +
         std::to_string(actual.bottom) + ", not where the template puts it");
  }
}

void CheckWindow(DWORD pid) {
  HWND dialog = DialogOf(pid);
  const LONG exStyle = GetWindowLongW(dialog, GWL_EXSTYLE);
  if ((exStyle & WS_EX_TOPMOST) == 0) Fail("the dialog is not above other windows");
  const LONG style = GetWindowLongW(dialog, GWL_STYLE);
  const LONG wanted = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  if ((style & wanted) != wanted || (style & (WS_MAXIMIZEBOX | WS_THICKFRAME)) != 0) {
    Fail("the dialog's styles are " + std::to_string(style));
  }
  RECT client;
  GetClientRect(dialog, &client);
  const DialogUnits base = TemplateFontUnits();
  const RECT units = base.Map(0, 0, 212, 114);
  if (client.right != units.right || client.bottom != units.bottom) {
    Fail("the dialog's client area is " + std::to_string(client.right) + " x " +
         std::to_string(client.bottom) + " pixels, not 212 x 114 units (" + std::to_string(units.right) +
         " x " + std::to_string(units.bottom) + ")");
  }
  ExpectControl(dialog, base, kButtonId, L"Button", BS_DEFPUSHBUTTON | WS_TABSTOP, RECT{155, 93, 50, 14});
  ExpectControl(dialog, base, kReportId, L"Edit",
                ES_MULTILINE | ES_READONLY | WS_VSCROLL | WS_BORDER | WS_TABSTOP, RECT{7, 7, 198, 85});
  // The progress bar draws a frame of its own and drops WS_BORDER (the
  // template's styles are checked by the unit tests).
  ExpectControl(dialog, base, kProgressId, PROGRESS_CLASSW, PBS_SMOOTH, RECT{7, 93, 146, 14});
  const LRESULT high = Send(Item(dialog, kProgressId), PBM_GETRANGE, FALSE, 0);
  const LRESULT low = Send(Item(dialog, kProgressId), PBM_GETRANGE, TRUE, 0);
  if (low != 0 || high != 100) Fail("the progress range is not 0 to 100");
  HANDLE process = OpenByPid(pid);
  const DWORD priority = GetPriorityClass(process);
  CloseHandle(process);
  if (priority != IDLE_PRIORITY_CLASS) Fail("the process runs at priority class " + std::to_string(priority));
}

// --- Commands ---

void Launch(const std::vector<std::wstring>& a) {
  if (a.empty()) Fail("usage");
  const Started started = Start(a[0], a.size() > 1 ? a[1] : L"");
  WaitForDialog(started.pid, kDefaultWaitMs, started.process);
  CloseHandle(started.process);
  std::printf("pid %lu\n", started.pid);
}

void Second(const std::vector<std::wstring>& a) {
  if (a.empty()) Fail("usage");
  const DWORD before = static_cast<DWORD>(Dialogs(0).size());
  const DWORD start = GetTickCount();
  const Started started = Start(a[0], a.size() > 1 ? a[1] : L"");
  const DWORD code = WaitForEnd(started.process, kDefaultWaitMs, "the second start");
  const DWORD took = GetTickCount() - start;
  CloseHandle(started.process);
  if (code != 0) Fail("the second start ended with " + std::to_string(code));
  if (a.size() > 2 && took > Number(a[2])) {
    Fail("the second start took " + std::to_string(took) + " ms, more than " + Utf8(a[2]));
  }
  if (Dialogs(0).size() != before) Fail("the second start left a window");
  std::printf("second start ended with 0 after %lu ms\n", took);
}

void LateFirst(const std::vector<std::wstring>& a) {
  if (a.size() < 3) Fail("usage");
  HANDLE mutex = CreateMutexW(nullptr, TRUE, a[1].c_str());
  if (mutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) Fail("the mutex exists already");
  const Started second = Start(a[0], a[2]);
  Sleep(1000);
  if (WaitForSingleObject(second.process, 0) == WAIT_OBJECT_0)
    Fail("the second start did not wait for the window");
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  const Started first = Start(a[0], L"");
  WaitForDialog(first.pid, kDefaultWaitMs, first.process);
  const DWORD code = WaitForEnd(second.process, kDefaultWaitMs, "the second start");
  if (code != 0) Fail("the second start ended with " + std::to_string(code));
  CloseHandle(second.process);
  CloseHandle(first.process);
  std::printf("pid %lu\n", first.pid);
}

void Race(const std::vector<std::wstring>& a) {
  if (a.size() < 3) Fail("usage");
  const Started one = Start(a[0], a[1]);
  const Started two = Start(a[0], a[2]);
  // One of them becomes the window, the other forwards and ends.
  HANDLE both[2] = {one.process, two.process};
  const DWORD ended = WaitForMultipleObjects(2, both, FALSE, kDefaultWaitMs);
  if (ended != WAIT_OBJECT_0 && ended != WAIT_OBJECT_0 + 1) Fail("neither start ended");
  const Started& gone = ended == WAIT_OBJECT_0 ? one : two;
  const Started& stays = ended == WAIT_OBJECT_0 ? two : one;
  DWORD code = 0;
  GetExitCodeProcess(gone.process, &code);
  if (code != 0) Fail("the start that ended did so with " + std::to_string(code));
  WaitForDialog(stays.pid, kDefaultWaitMs, stays.process);
  if (Dialogs(0).size() != 1) Fail("there is more than one window");
  CloseHandle(one.process);
  CloseHandle(two.process);
  std::printf("pid %lu\n", stays.pid);
}

void SendCopyData(HWND dialog, bool narrow, bool fromWindow, bool noData, const std::wstring& text) {
  std::string bytes;
  if (narrow) {
    BOOL usedDefault = FALSE;
    const int count = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, nullptr, 0, nullptr,
                                          &usedDefault);
    bytes.resize(static_cast<std::size_t>(count));
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, bytes.data(), count, nullptr,
                        &usedDefault);
    if (usedDefault) Fail("the text does not fit the code page");
  } else {
    bytes.assign(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(wchar_t));
  }
  COPYDATASTRUCT data;
  data.dwData = 1;
  data.cbData = noData ? 0 : static_cast<DWORD>(bytes.size());
  data.lpData = bytes.data();
  // Any window but none: the desktop's.
  const WPARAM sender = fromWindow ? reinterpret_cast<WPARAM>(GetDesktopWindow()) : 0;
  Send(dialog, WM_COPYDATA, sender, reinterpret_cast<LPARAM>(&data));
}

bool IsNarrow(const std::wstring& kind) {
  if (kind != L"narrow" && kind != L"wide") Fail("wide or narrow, not " + Utf8(kind));
  return kind == L"narrow";
}

void CopyData(const std::vector<std::wstring>& a) {
  if (a.size() < 3) Fail("usage");
  HWND dialog = DialogOf(Number(a[0]));
  const bool narrow = IsNarrow(a[1]);
  bool fromWindow = false;
  bool noData = false;
  std::size_t i = 2;
  for (; i + 1 < a.size(); ++i) {
    if (a[i] == L"from-window") {
      fromWindow = true;
    } else if (a[i] == L"no-data") {
      noData = true;
    } else {
      Fail("unknown option " + Utf8(a[i]));
    }
  }
  SendCopyData(dialog, narrow, fromWindow, noData, a[i]);
}

void Click(HWND dialog) {
  Send(Item(dialog, kButtonId), BM_CLICK, 0, 0);
}

// Scan, then wait until the worker has checked frames of a file and moved
// the bar, but not to its end.
DWORD ScanUntilMidway(HWND dialog) {
  Click(dialog);
  DWORD position = 0;
  WaitUntil(
      kDefaultWaitMs,
      [&] {
        position = ProgressOf(dialog);
        return position >= 1;
      },
      "the progress bar to move");
  if (position >= 100) Fail("the scan was at its end before it could be interrupted");
  return position;
}

void Close(const std::vector<std::wstring>& a) {
  if (a.empty()) Fail("usage");
  const DWORD pid = Number(a[0]);
  HANDLE process = OpenByPid(pid);
  PostMessageW(DialogOf(pid), WM_CLOSE, 0, 0);
  const DWORD code = WaitForEnd(process, a.size() > 1 ? Number(a[1]) : kDefaultWaitMs, "the program");
  CloseHandle(process);
  if (code != 0) Fail("the program ended with " + std::to_string(code));
}

int Run(const std::vector<std::wstring>& args) {
  if (args.empty()) return 2;
  const std::wstring& command = args[0];
  const std::vector<std::wstring> a(args.begin() + 1, args.end());
  auto need = [&](std::size_t n) {
    if (a.size() < n) Fail("usage: " + Utf8(command) + " needs " + std::to_string(n) + " arguments");
  };
  if (command == L"launch") {
    Launch(a);
  } else if (command == L"second") {
    Second(a);
  } else if (command == L"late-first") {
    LateFirst(a);
  } else if (command == L"race") {
    Race(a);
  } else if (command == L"check-window") {
    need(1);
    CheckWindow(Number(a[0]));
  } else if (command == L"report") {
    need(2);
    WriteUtf8(a[1], ItemText(DialogOf(Number(a[0])), kReportId));
  } else if (command == L"wait-report") {
    need(3);
    HWND dialog = DialogOf(Number(a[0]));
    const std::wstring wanted = WithLineEnds(a[1]);
    std::wstring text;
    WaitUntil(
        a.size() > 3 ? Number(a[3]) : kDefaultWaitMs,
        [&] {
          text = ItemText(dialog, kReportId);
          return text.find(wanted) != std::wstring::npos;
        },
        "the report to contain " + Shown(wanted));
    WriteUtf8(a[2], text);
  } else if (command == L"expect-report") {
    need(2);
    const std::wstring text = ItemText(DialogOf(Number(a[0])), kReportId);
    if (text != WithLineEnds(a[1]))
      Fail("the report box shows " + Shown(text) + ", not " + Shown(WithLineEnds(a[1])));
  } else if (command == L"expect-button") {
    need(3);
    HWND dialog = DialogOf(Number(a[0]));
    const std::wstring text = ItemText(dialog, kButtonId);
    const bool enabled = IsWindowEnabled(Item(dialog, kButtonId)) != 0;
    if (text != a[1] || enabled != (a[2] == L"1")) {
      Fail("the button reads " + Shown(text) + (enabled ? " (enabled)" : " (disabled)"));
    }
  } else if (command == L"progress") {
    need(1);
    std::printf("progress %lu\n", ProgressOf(DialogOf(Number(a[0]))));
  } else if (command == L"click") {
    need(1);
    Click(DialogOf(Number(a[0])));
  } else if (command == L"key") {
    need(2);
    HWND dialog = DialogOf(Number(a[0]));
    UINT key = 0;
    if (a[1] == L"return") {
      key = VK_RETURN;
    } else if (a[1] == L"escape") {
      key = VK_ESCAPE;
    } else {
      Fail("unknown key " + Utf8(a[1]));
    }
    // Through the program's message loop, which hands keys to the dialog
    // manager (IsDialogMessage).
    PostMessageW(dialog, WM_KEYDOWN, key, 1);
    PostMessageW(dialog, WM_KEYUP, key, 0xC0000001);
  } else if (command == L"copydata") {
    CopyData(a);
  } else if (command == L"stop-midway") {
    need(1);
    HWND dialog = DialogOf(Number(a[0]));
    const DWORD position = ScanUntilMidway(dialog);
    Click(dialog);
    std::printf("stopped at %lu%%\n", position);
  } else if (command == L"copydata-midway") {
    need(3);
    HWND dialog = DialogOf(Number(a[0]));
    const bool narrow = IsNarrow(a[1]);
    Click(dialog);
    SendCopyData(dialog, narrow, false, false, a[2]);
    const DWORD position = ProgressOf(dialog);
    if (position >= 100) Fail("the scan was at its end before the message came");
    std::printf("sent at %lu%%\n", position);
  } else if (command == L"close-midway") {
    need(1);
    const DWORD pid = Number(a[0]);
    HWND dialog = DialogOf(pid);
    HANDLE process = OpenByPid(pid);
    const DWORD position = ScanUntilMidway(dialog);
    PostMessageW(dialog, WM_CLOSE, 0, 0);
    const DWORD code = WaitForEnd(process, kDefaultWaitMs, "the program");
    CloseHandle(process);
    if (code != 0) Fail("the program ended with " + std::to_string(code));
    std::printf("closed at %lu%%\n", position);
  } else if (command == L"close") {
    Close(a);
  } else if (command == L"overlong-box") {
    need(2);
    const DWORD pid = Number(a[0]);
    HWND box = nullptr;
    WaitUntil(
        kDefaultWaitMs,
        [&] {
          box = FindWindowW(L"#32770", L"Velkscan: paths not added");
          DWORD owner = 0;
          if (box != nullptr) GetWindowThreadProcessId(box, &owner);
          return box != nullptr && owner == pid && IsWindowVisible(box);
        },
        "the message box about overlong paths");
    // The message is the box's static text (id 0xFFFF).
    const std::wstring text = ItemText(box, 0xFFFF);
    if (text.find(a[1]) == std::wstring::npos) Fail("the box says " + Shown(text));
    Send(box, WM_COMMAND, IDOK, 0);
  } else if (command == L"windows") {
    const std::vector<HWND> dialogs = Dialogs(0);
    std::printf("windows %u\n", static_cast<unsigned>(dialogs.size()));
    for (HWND dialog : dialogs) {
      DWORD pid = 0;
      GetWindowThreadProcessId(dialog, &pid);
      std::printf("pid %lu\n", pid);
    }
  } else {
    std::fprintf(stderr, "velkscan_driver: unknown command %s\n", Utf8(command).c_str());
    return 2;
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Programs started from here must not inherit this driver's output: a
  // script reading it would wait for them to end.
  for (DWORD stream : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    HANDLE handle = GetStdHandle(stream);
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
      SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
  }
  std::vector<std::wstring> args(argv + 1, argv + argc);
  try {
    const int status = Run(args);
    std::fflush(stdout);
    return status;
  } catch (const Failure& failure) {
    std::fflush(stdout);
    std::fprintf(stderr, "velkscan_driver %s: %s\n", args.empty() ? "" : Utf8(args[0]).c_str(),
                 failure.what.c_str());
    return 1;
  }
}
