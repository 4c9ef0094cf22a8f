// The main dialog (template 101): the report box, the progress bar and the
// Scan/Stop button over the scan job.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/win32/winapi.h"
#include "scan/scanjob.h"
#include "win32/win32display.h"

namespace velkscan {

class MainDialog {
 public:
  // Asks the dialog to tell about paths too long to be added; posted, so
  // that the WM_COPYDATA that brought them is answered first.
  static constexpr UINT kTellOverlongMessage = WM_APP + 2;

  // Asks the dialog to note that no input waits (see NoteInputServed).
  static constexpr UINT kInputCheckMessage = WM_APP + 3;

  MainDialog() : job_(display_, ScanSettings{}, JobHooks()) {}
  MainDialog(const MainDialog&) = delete;
  MainDialog& operator=(const MainDialog&) = delete;

  // Files named at start-up: listed before the dialog exists, so that its
  // initialisation shows them.
  ScanJob& job() { return job_; }

  // The modeless dialog from template 101, without owner: a Unicode window
  // in both builds. Null on failure.
  HWND Create(HINSTANCE instance);
  HWND window() const { return window_; }
  // A message of the loop that must go nowhere (before IsDialogMessage).
  bool SwallowsKey(const MSG& message) const;
  // The loop after each message: when no input or posted message waits for
  // the dialog's thread (and no gesture is half given), every input given
  // so far has been served.
  void NoteInputServed();

 private:
  // Before each header rewrite, the input that waits is served first.
  ScanHooks JobHooks() {
    ScanHooks hooks;
    hooks.beforeRewrite = [this](TextView, const FileOutcome&) { return WaitForInputServed(); };
    return hooks;
  }
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);

  INT_PTR Initialise();
  void PressButton();
  void Close();
  // The worker, before a header rewrite: waits until the dialog's thread
  // has found no input waiting (the user may be stopping the scan). A busy
  // dialog is slow to reach its input, so the worker would otherwise go on
  // changing files after a Stop or a close was given. False: the scan was
  // stopped meanwhile, and the file is left as it is. Milliseconds at most:
  static constexpr int kInputWaitLimit = 500;
  bool WaitForInputServed();
  void AskToTellOverlong();
  // A forwarded command line: its names added as dropped paths are, or
  // noted for the next report when they cannot be (during a scan; outside
  // the narrow build's code page when the text was not `exact`, without a
  // Velk extension), with a line under a running scan at once.
  void TakeForwarded(TextView text, bool exact);
  void TellOverlongPaths();

  // Declared before the job, which calls them until it is destroyed.
  std::mutex inputMutex_;
  std::condition_variable inputServed_;
  uint64_t servedCount_ = 0;  // guarded by inputMutex_: how often no input waited
  Win32Display display_;
  ScanJob job_;
  HWND window_ = nullptr;
  HINSTANCE instance_ = nullptr;
  Text overlongNotice_;  // a notice of overlong paths on its way
};

}  // namespace velkscan
