#include "win32/win32display.h"

#include <commctrl.h>
#include <shellapi.h>

#include "win32/resource.h"

namespace velkscan {

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
}

void Win32Display::Apply(const Changes& changes) {
  if (changes.boxChanged) {
    if (changes.replaceBox) {
      SetDlgItemText(dialog_, IDC_REPORT, changes.boxText.c_str());
    } else {
      // Only the new end, put after the last character.
      const LRESULT length = SendDlgItemMessageW(dialog_, IDC_REPORT, WM_GETTEXTLENGTH, 0, 0);
      SendDlgItemMessageW(dialog_, IDC_REPORT, EM_SETSEL, static_cast<WPARAM>(length), length);
      SendDlgItemMessage(dialog_, IDC_REPORT, EM_REPLACESEL, FALSE,
                         reinterpret_cast<LPARAM>(changes.boxText.c_str()));
    }
    if (changes.boxIsReport) {
      // The newest lines in view.
      const LRESULT length = SendDlgItemMessageW(dialog_, IDC_REPORT, WM_GETTEXTLENGTH, 0, 0);
      SendDlgItemMessageW(dialog_, IDC_REPORT, EM_SETSEL, static_cast<WPARAM>(length), length);
      SendDlgItemMessageW(dialog_, IDC_REPORT, EM_SCROLLCARET, 0, 0);
    }
  }
  if (changes.progress) SendDlgItemMessageW(dialog_, IDC_PROGRESS, PBM_SETPOS, *changes.progress, 0);
  if (changes.buttonText) SetDlgItemText(dialog_, IDC_SCAN, changes.buttonText->c_str());
  if (changes.buttonEnabled) EnableWindow(GetDlgItem(dialog_, IDC_SCAN), *changes.buttonEnabled);
  if (changes.focusButton) SetFocus(GetDlgItem(dialog_, IDC_SCAN));
  if (changes.acceptDrops) DragAcceptFiles(dialog_, *changes.acceptDrops);
}

}  // namespace velkscan
