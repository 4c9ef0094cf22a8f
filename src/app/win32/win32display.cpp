#include "win32/win32display.h"

#include <commctrl.h>
#include <shellapi.h>

#include <utility>

#include "win32/resource.h"

namespace velkscan {

namespace {

bool InputWaits() {
  return HIWORD(GetQueueStatus(QS_INPUT)) != 0;
}

// Where the slice of text that begins at `from` ends: after at most
// kSliceChars, at a line end where there is one.
std::size_t SliceEnd(const Text& text, std::size_t from) {
  if (text.size() - from <= Win32Display::kSliceChars) return text.size();
  const std::size_t lineEnd = text.rfind(VTEXT('\n'), from + Win32Display::kSliceChars);
  return lineEnd != Text::npos && lineEnd >= from ? lineEnd + 1 : from + Win32Display::kSliceChars;
}

}  // namespace

bool Win32Display::RequestApply() {
  // False: the window is gone (its changes no longer matter) or its queue
  // is full; the next change tries again.
  return PostMessage(dialog_, kApplyMessage, 0, 0) != 0;
}

void Win32Display::OnApplyMessage() {
  const DWORD since = GetTickCount() - lastApply_;
  if (urgentWaiting() || since >= kRepaintInterval) {
    ApplyPending();
    return;
  }
  // Not again so soon: the timer's message waits behind input and painting.
  SetTimer(dialog_, kTimerId, kRepaintInterval - since, nullptr);
}

void Win32Display::ApplyPending() {
  KillTimer(dialog_, kTimerId);
  Apply(TakeChanges());
  lastApply_ = GetTickCount();
  // The rest of the box's text soon, but after input and painting.
  if (!backlog_.empty()) SetTimer(dialog_, kTimerId, kSliceDelay, nullptr);
}

void Win32Display::Apply(const Changes& changes) {
  if (changes.boxChanged) {
    if (changes.replaceBox) {
      // A text that replaces the box is short (a message, or a report
      // just begun); its end, if any, joins the backlog.
      const std::size_t head = SliceEnd(changes.boxText, 0);
      SetDlgItemText(dialog_, IDC_REPORT, Text(changes.boxText, 0, head).c_str());
      backlog_.assign(changes.boxText, head);
    } else {
      backlog_ += changes.boxText;
    }
    followEnd_ = followEnd_ || !changes.boxText.empty();
    backlogIsReport_ = changes.boxIsReport;
  }
  AppendBacklog();
  // The other controls change after the box has all its text, so that
  // "Scan" never shows beside a report without its end.
  if (changes.progress) held_.progress = changes.progress;
  if (changes.buttonText) held_.buttonText = changes.buttonText;
  if (changes.buttonEnabled) held_.buttonEnabled = changes.buttonEnabled;
  held_.focusButton = held_.focusButton || changes.focusButton;
  if (changes.acceptDrops) held_.acceptDrops = changes.acceptDrops;
  if (!backlog_.empty()) return;
  const Changes rest = std::exchange(held_, Changes());
  if (rest.progress) SendDlgItemMessageW(dialog_, IDC_PROGRESS, PBM_SETPOS, *rest.progress, 0);
  if (rest.buttonText) SetDlgItemText(dialog_, IDC_SCAN, rest.buttonText->c_str());
  if (rest.buttonEnabled) EnableWindow(GetDlgItem(dialog_, IDC_SCAN), *rest.buttonEnabled);
  if (rest.focusButton) SetFocus(GetDlgItem(dialog_, IDC_SCAN));
  if (rest.acceptDrops) DragAcceptFiles(dialog_, *rest.acceptDrops);
}

void Win32Display::AppendBacklog() {
  const DWORD start = GetTickCount();
  std::size_t taken = 0;
  while (taken < backlog_.size() && !InputWaits() && GetTickCount() - start < kUpdateBudget) {
    // The report's text always ends with a line end.
    const std::size_t end = SliceEnd(backlog_, taken);
    const Text slice(backlog_, taken, end - taken);
    // Put after the last character.
    const LRESULT length = SendDlgItemMessageW(dialog_, IDC_REPORT, WM_GETTEXTLENGTH, 0, 0);
    SendDlgItemMessageW(dialog_, IDC_REPORT, EM_SETSEL, static_cast<WPARAM>(length), length);
    SendDlgItemMessage(dialog_, IDC_REPORT, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(slice.c_str()));
    taken = end;
  }
  backlog_.erase(0, taken);
  if (followEnd_ && backlogIsReport_) {
    followEnd_ = false;
    // The newest lines in view.
    const LRESULT length = SendDlgItemMessageW(dialog_, IDC_REPORT, WM_GETTEXTLENGTH, 0, 0);
    SendDlgItemMessageW(dialog_, IDC_REPORT, EM_SETSEL, static_cast<WPARAM>(length), length);
    SendDlgItemMessageW(dialog_, IDC_REPORT, EM_SCROLLCARET, 0, 0);
  }
}

}  // namespace velkscan
