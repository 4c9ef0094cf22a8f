#include "win32/win32display.h"

#include <commctrl.h>
#include <shellapi.h>

#include "win32/resource.h"

namespace velkscan {

void Win32Display::Attach(HWND dialog) {
  dialog_ = dialog;
  report_.Attach(GetDlgItem(dialog, IDC_REPORT));
}

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
  const Changes changes = TakeChanges();
  if (changes.boxChanged) {
    if (changes.replaceBox) {
      report_.SetText(changes.boxText);
    } else {
      report_.Append(changes.boxText);
    }
  }
  if (changes.progress) SendDlgItemMessageW(dialog_, IDC_PROGRESS, PBM_SETPOS, *changes.progress, 0);
  if (changes.buttonText) SetDlgItemText(dialog_, IDC_SCAN, changes.buttonText->c_str());
  if (changes.buttonEnabled) EnableWindow(GetDlgItem(dialog_, IDC_SCAN), *changes.buttonEnabled);
  if (changes.focusButton) SetFocus(GetDlgItem(dialog_, IDC_SCAN));
  if (changes.acceptDrops) DragAcceptFiles(dialog_, *changes.acceptDrops);
  lastApply_ = GetTickCount();
}

void Win32Display::AddLine(TextView line) {
  ApplyPending();
  Text text;
  if (!report_.text().empty() && report_.text().back() != VTEXT('\n')) text = VTEXT("\r\n");
  text += line;
  text += VTEXT("\r\n");
  report_.Append(text);
}

}  // namespace velkscan
