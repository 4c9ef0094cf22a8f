#include "win32/maindialog.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <utility>
#include <vector>

#include "platform/directory.h"
#include "platform/win32/widetext.h"
#include "scan/filelist.h"
#include "scan/report.h"
#include "win32/resource.h"
#include "win32/startup.h"

namespace velkscan {

namespace {

constexpr const Char* kOverlongBoxTitle = VTEXT("Velkscan: paths not added");

// The line under a running scan for a forwarded name it cannot take. The
// second start that sent it has ended (or never waits for an answer), so the
// window says it; the next report has the name's line too.
constexpr const Char* kNotAddedBusy = VTEXT(": not added (a scan is running).");

// The notice's lines broken to half the screen's width in the message font:
// a path has no spaces at which the message box could break it, and would
// run off the screen. Broken after a backslash where one is near the end.
std::wstring WrapToScreen(const std::wstring& text) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  HFONT font = SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)
                   ? CreateFontIndirectW(&metrics.lfMessageFont)
                   : nullptr;
  HDC dc = GetDC(nullptr);
  const HGDIOBJ old = SelectObject(dc, font != nullptr ? font : GetStockObject(DEFAULT_GUI_FONT));
  const int limit = std::max(200, GetSystemMetrics(SM_CXSCREEN) / 2);
  const auto fits = [&](std::size_t at, std::size_t count) {
    SIZE size{};
    GetTextExtentPoint32W(dc, text.data() + at, static_cast<int>(count), &size);
    return size.cx <= limit;
  };
  std::wstring out;
  for (std::size_t begin = 0;;) {
    const std::size_t found = text.find(L"\r\n", begin);
    const std::size_t end = found == std::wstring::npos ? text.size() : found;
    std::size_t at = begin;
    while (at < end && !fits(at, end - at)) {
      // The longest piece that fits (one character at least).
      std::size_t low = 1, high = end - at;
      while (low + 1 < high) {
        const std::size_t middle = (low + high) / 2;
        (fits(at, middle) ? low : high) = middle;
      }
      std::size_t piece = low;
      const std::size_t slash = text.rfind(L'\\', at + piece - 1);
      if (slash != std::wstring::npos && slash >= at + piece / 2) piece = slash + 1 - at;
      if (piece > 1 && IS_LOW_SURROGATE(text[at + piece])) --piece;
      out.append(text, at, piece).append(L"\r\n");
      at += piece;
    }
    out.append(text, at, end - at);
    if (found == std::wstring::npos) break;
    out += L"\r\n";
    begin = found + 2;
  }
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  if (font != nullptr) DeleteObject(font);
  return out;
}

}  // namespace

HWND MainDialog::Create(HINSTANCE instance) {
  instance_ = instance;
  INITCOMMONCONTROLSEX controls;
  controls.dwSize = sizeof(controls);
  controls.dwICC = ICC_PROGRESS_CLASS | ICC_LISTVIEW_CLASSES;
  InitCommonControlsEx(&controls);
  return CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_VELKSCAN), nullptr, DialogProc,
                            reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK MainDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* dialog = reinterpret_cast<MainDialog*>(GetWindowLongPtrW(window, DWLP_USER));
  if (message == WM_INITDIALOG) {
    dialog = reinterpret_cast<MainDialog*>(lParam);
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    dialog->window_ = window;
  }
  // Messages before WM_INITDIALOG (WM_SETFONT) go to the default handling.
  if (dialog == nullptr) return FALSE;
  // Nothing may unwind through the system's code: a handler that runs out
  // of memory leaves its message undone.
  try {
    return dialog->Handle(message, wParam, lParam);
  } catch (const std::bad_alloc&) {
    return TRUE;
  }
}

INT_PTR MainDialog::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return Initialise();
    case WM_COMMAND:
      // The button, or Enter while it is enabled (it is the default
      // button, IDOK). Escape (IDCANCEL) and anything else do nothing.
      if (LOWORD(wParam) == IDC_SCAN && HIWORD(wParam) == BN_CLICKED) PressButton();
      return TRUE;
    case WM_DROPFILES: {
      auto drop = reinterpret_cast<HDROP>(wParam);
      if (!job_.AcceptsFiles()) {
        DragFinish(drop);
        return TRUE;
      }
      job_.AddPaths(TakeDroppedPaths(drop));
      AskToTellOverlong();
      return FALSE;
    }
    case WM_COPYDATA: {
      Text text;
      bool exact = true;
      if (ForwardedText(wParam, reinterpret_cast<const COPYDATASTRUCT*>(lParam), text, exact)) {
        // Every argument of the text is taken that can be (not during a
        // scan); a line tells of each that is not.
        TakeForwarded(text, exact);
        AskToTellOverlong();
      }
      return TRUE;
    }
    case WM_CLOSE:
      Close();
      return TRUE;
    case WM_ENDSESSION:
      // The session ends and the process with it: a header rewrite must
      // not be cut short.
      if (wParam != 0) job_.Close();
      return TRUE;
    case WM_NOTIFY:
    case WM_DRAWITEM: {
      LRESULT result = 0;
      if (!display_.reportView().OnParentMessage(message, lParam, result)) return FALSE;
      SetWindowLongPtrW(window_, DWLP_MSGRESULT, result);
      return TRUE;
    }
    case Win32Display::kApplyMessage:
      display_.OnApplyMessage();
      return TRUE;
    case WM_TIMER:
      if (wParam != Win32Display::kTimerId) return FALSE;
      display_.ApplyPending();
      return TRUE;
    case kInputCheckMessage:
      NoteInputServed();
      return TRUE;
    case kTellOverlongMessage:
      TellOverlongPaths();
      return TRUE;
    default:
      return FALSE;
  }
}

INT_PTR MainDialog::Initialise() {
  display_.Attach(window_);
  if (HICON icon = LoadIcon(instance_, MAKEINTRESOURCE(IDI_VELKSCAN))) {
    SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  }
  SendDlgItemMessageW(window_, IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  SendDlgItemMessageW(window_, IDC_PROGRESS, PBM_SETSTEP, 1, 0);
  // Drops accepted, progress 0, "Scan", the prompt, the button disabled;
  // or the files from the command line counted, the button enabled and
  // focused. Carried out at once, so the first paint is already right.
  job_.ShowInitialState();
  display_.ApplyPending();
  UpdateWindow(window_);
  AskToTellOverlong();
  // With files, the button (the first tab stop, which the system focuses
  // on TRUE) is enabled; without, nothing takes the focus.
  return job_.fileCount() > 0 ? TRUE : FALSE;
}

bool MainDialog::SwallowsKey(const MSG& message) const {
  // Escape does nothing anywhere in the dialog: a control may turn it into
  // a close of the whole program.
  const bool key = message.message == WM_KEYDOWN || message.message == WM_KEYUP || message.message == WM_CHAR;
  return key && message.wParam == VK_ESCAPE && (message.hwnd == window_ || IsChild(window_, message.hwnd));
}

void MainDialog::NoteInputServed() {
  // Also reads the input the system holds for the thread (under some
  // systems it is queued only when the thread asks). Posted messages too:
  // a window manager's close comes as a posted command.
  if (HIWORD(GetQueueStatus(QS_INPUT | QS_POSTMESSAGE)) != 0) return;
  // A click or Space comes in two events, Alt+F4 in four: while the button
  // or key is held, the Stop or close it gives may still be under way.
  for (int key : {VK_LBUTTON, VK_SPACE, VK_MENU}) {
    if (GetAsyncKeyState(key) < 0) return;
  }
  {
    std::lock_guard<std::mutex> lock(inputMutex_);
    ++servedCount_;
  }
  inputServed_.notify_all();
}

bool MainDialog::WaitForInputServed() {
  // Any later note will do: it found no input waiting after this moment.
  // Asked every time: the worker cannot see input the dialog's thread has
  // not yet read.
  std::unique_lock<std::mutex> lock(inputMutex_);
  const uint64_t count = servedCount_;
  lock.unlock();
  if (!PostMessage(window_, kInputCheckMessage, 0, 0)) return true;
  lock.lock();
  // Until a Stop or a close (whose handler waits for the worker) is under
  // way; and bounded: a dialog in a modal loop (a held scroll bar, a moved
  // window) may not answer soon, and the worker must never hang on it.
  for (int waited = 0; waited < kInputWaitLimit && servedCount_ == count && job_.running(); waited += 2)
    inputServed_.wait_for(lock, std::chrono::milliseconds(2));
  return job_.running();
}

void MainDialog::PressButton() {
  // No report buffer or no worker: the program ends, without a message.
  if (!job_.PressButton()) Close();
}

void MainDialog::Close() {
  // A running worker stops between frames before the program ends, so a
  // header rewrite is never cut short.
  job_.Close();
  DestroyWindow(window_);
  PostQuitMessage(0);
}

void MainDialog::AskToTellOverlong() {
  // Posted, so that the WM_COPYDATA or drop that brought the paths is
  // answered first.
  const Text more = job_.TakeOverlongNotice();
  if (more.empty()) return;
  const bool posted = !overlongNotice_.empty();
  if (posted) overlongNotice_ += VTEXT("\r\n\r\n");
  overlongNotice_ += more;
  if (!posted) PostMessage(window_, kTellOverlongMessage, 0, 0);
}

void MainDialog::TellOverlongPaths() {
  if (overlongNotice_.empty()) return;
  const Text text = std::move(overlongNotice_);
  overlongNotice_.clear();
  // Not titled "Velkscan": a second start looks for the dialog by that title.
  MessageBoxW(window_, WrapToScreen(TextToWide(text)).c_str(), TextToWide(kOverlongBoxTitle).c_str(),
              MB_OK | MB_ICONWARNING);
}

void MainDialog::TakeForwarded(TextView text, bool exact) {
  // Every argument goes to the job as a dropped path would: a name that
  // names nothing is a file when it has a Velk extension (its open fails in
  // its turn) and not checked when it has none; during a scan the job keeps
  // the names for the next report, and the box says so at once. A name the
  // code page could not hold names nothing here: without a Velk extension it
  // could be a folder, and the report says why it was not checked.
  const bool busy = !job_.AcceptsFiles();
  std::vector<Text> taken;
  for (TextView argument : CommandLineArguments(text, false)) {
    if (argument.empty()) continue;
    if (busy) display_.AddLine(Text(argument) + kNotAddedBusy);
    if (exact || argument.find(kUnconvertibleChar) == TextView::npos || HasVelkExtension(argument)) {
      taken.emplace_back(argument);
      continue;
    }
    // In the order of the text: what came before it first.
    if (!taken.empty()) job_.AddPaths(std::exchange(taken, {}));
    job_.NoteNotChecked(Text(argument), NotCheckedReason::kNotInCodePage);
  }
  if (!taken.empty()) job_.AddPaths(taken);
}

}  // namespace velkscan
