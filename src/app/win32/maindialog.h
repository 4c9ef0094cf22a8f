// The main dialog (template 101): the report box, the progress bar and the
// Scan/Stop button over the scan job.
#pragma once

#include <cstddef>

#include "platform/win32/winapi.h"
#include "scan/scanjob.h"
#include "win32/win32display.h"

namespace velkscan {

class MainDialog {
 public:
  // Asks the dialog to tell about paths too long to be added; posted, so
  // that the WM_COPYDATA that brought them is answered first.
  static constexpr UINT kTellOverlongMessage = WM_APP + 2;

  MainDialog() : job_(display_) {}
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

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);

  INT_PTR Initialise();
  void PressButton();
  void Close();
  void AskToTellOverlong();
  void TellOverlongPaths();

  // Declared before the job, which calls it until it is destroyed.
  Win32Display display_;
  ScanJob job_;
  HWND window_ = nullptr;
  HINSTANCE instance_ = nullptr;
  Text overlongNotice_;  // a notice of overlong paths on its way
};

}  // namespace velkscan
