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
//
// The report box is the slow part: an append costs milliseconds per line
// under some systems, so the box takes the report in slices cut at line
// ends, and stops between slices as soon as input waits (the rest follows
// on the timer, after the input).
#pragma once

#include "platform/text.h"
#include "platform/win32/winapi.h"
#include "scan/display.h"

namespace velkscan {

class Win32Display final : public WindowDisplay {
 public:
  // Posted to the dialog when changes wait; its handler calls OnApplyMessage.
  static constexpr UINT kApplyMessage = WM_APP + 1;
  // The dialog's timer for changes that wait; its WM_TIMER calls ApplyPending.
  static constexpr UINT_PTR kTimerId = 1;
  static constexpr DWORD kRepaintInterval = 250;  // milliseconds
  // At most this many characters go into the box in one call.
  static constexpr std::size_t kSliceChars = 8 * 1024;
  // Slices of one update stop after this long, leaving the rest for the
  // timer (kSliceDelay later), so painting comes in between.
  static constexpr DWORD kUpdateBudget = 50;  // milliseconds
  static constexpr DWORD kSliceDelay = USER_TIMER_MINIMUM;

  // The dialog whose controls show the changes. Set before the first change.
  void Attach(HWND dialog) { dialog_ = dialog; }
  // kApplyMessage came: carries out the changes now, or arms the timer.
  void OnApplyMessage();
  // Carries out every recorded change now (the box's text perhaps only in
  // part). The dialog's thread only.
  void ApplyPending();

 protected:
  bool RequestApply() override;

 private:
  void Apply(const Changes& changes);
  // Appends slices of backlog_ until input waits or the budget is spent.
  void AppendBacklog();

  HWND dialog_ = nullptr;
  DWORD lastApply_ = 0;  // GetTickCount of the last ApplyPending
  Text backlog_;         // report text not yet in the box
  bool backlogIsReport_ = false;
  bool followEnd_ = false;  // the box's text changed since it last showed its end
  Changes held_;            // changes of the other controls that wait for the backlog
};

}  // namespace velkscan
