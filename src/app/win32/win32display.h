// The dialog's side of ScanDisplay (see WindowDisplay).
//
// A request to apply is one posted kApplyMessage. Posted messages are
// served before input and painting, so the dialog never answers one with
// another: when it carried out changes less than kRepaintInterval ago, it
// sets a timer instead (timer messages come only when no input or painting
// waits), and no change posts anything until the timer has fired. Urgent
// changes (the button, the box's message) go at once. Changes asked for on
// the dialog's own thread take the same way, so a Stop's reset lands after
// the worker's last update.
#pragma once

#include "platform/text.h"
#include "platform/win32/winapi.h"
#include "scan/display.h"
#include "win32/reportview.h"

namespace velkscan {

class Win32Display final : public WindowDisplay {
 public:
  // Posted to the dialog when changes wait; its handler calls OnApplyMessage.
  static constexpr UINT kApplyMessage = WM_APP + 1;
  // The dialog's timer for changes that wait; its WM_TIMER calls ApplyPending.
  static constexpr UINT_PTR kTimerId = 1;
  static constexpr DWORD kRepaintInterval = 250;  // milliseconds

  // The dialog whose controls show the changes. Set before the first change.
  void Attach(HWND dialog);
  // kApplyMessage came: carries out the changes now, or arms the timer.
  void OnApplyMessage();
  // Carries out every recorded change now. The dialog's thread only.
  void ApplyPending();
  // A line of the window's own under what the box shows (after the changes
  // recorded so far), until the box's text is replaced. The dialog's thread.
  void AddLine(TextView line);
  // The report box, for the messages it sends the dialog.
  ReportView& reportView() { return report_; }

 protected:
  bool RequestApply() override;

 private:
  HWND dialog_ = nullptr;
  DWORD lastApply_ = 0;  // GetTickCount of the last ApplyPending
  ReportView report_;
};

}  // namespace velkscan
