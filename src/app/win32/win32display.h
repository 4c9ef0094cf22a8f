// The dialog's side of ScanDisplay.
//
// The job calls it from the worker thread during a scan and from the
// dialog's thread otherwise. No call ever waits for the dialog's thread: at
// Stop that thread waits for the worker, and a worker that waited for it in
// turn (as SendMessage or SetDlgItemText across threads would) would hang
// both. Each change is copied (texts as they are at the call) into a queue,
// and one posted message has the dialog's thread carry out everything
// queued, in order; a waiting change that a newer one of the same control
// makes void (a report, a progress position) is dropped. Changes asked for
// on the dialog's own thread go through the same queue, so a Stop's reset
// lands after the worker's last update.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/text.h"
#include "platform/win32/winapi.h"
#include "scan/display.h"

namespace velkscan {

class Win32Display final : public ScanDisplay {
 public:
  // Posted to the dialog when changes wait; its handler calls ApplyPending.
  static constexpr UINT kApplyMessage = WM_APP + 1;

  // The dialog whose controls show the changes. Set before the first change.
  void Attach(HWND dialog) { dialog_ = dialog; }
  // Carries out every queued change, in order. The dialog's thread only.
  void ApplyPending();

  void ShowReport(TextView report) override;
  void ShowMessage(TextView text) override;
  void SetProgress(uint32_t position) override;
  void SetButtonText(TextView text) override;
  void EnableButton(bool enabled) override;
  void FocusButton() override;
  void AcceptDrops(bool accept) override;

 private:
  struct Change {
    enum class Kind { kReport, kMessage, kProgress, kButtonText, kButtonEnabled, kButtonFocus, kAcceptDrops };
    Kind kind;
    Text text;
    uint32_t value = 0;
  };

  void Queue(Change change);
  void Supersede(Change::Kind kind);  // mutex_ held
  void Apply(const Change& change);

  HWND dialog_ = nullptr;
  std::mutex mutex_;
  std::vector<Change> pending_;  // guarded by mutex_
  bool posted_ = false;          // a kApplyMessage is on its way; guarded by mutex_
};

}  // namespace velkscan
