#include "win32/win32display.h"

#include <commctrl.h>
#include <shellapi.h>

#include <iterator>
#include <utility>

#include "win32/resource.h"

namespace velkscan {

void Win32Display::Queue(Change change) {
  bool post = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Supersede(change.kind);
    pending_.push_back(std::move(change));
    post = !posted_;
    posted_ = true;
  }
  if (post && !PostMessage(dialog_, kApplyMessage, 0, 0)) {
    // The window is gone (its changes no longer matter) or its queue is
    // full: let the next change try again.
    std::lock_guard<std::mutex> lock(mutex_);
    posted_ = false;
  }
}

void Win32Display::Supersede(Change::Kind kind) {
  // Each change of the report box shows a whole text, and each progress
  // change a whole position: one still waiting for the same control is
  // void and is dropped. A dialog that falls behind the worker so catches
  // up at once instead of showing every step, and never holds more than
  // one copy of the report.
  const bool box = kind == Change::Kind::kReport || kind == Change::Kind::kMessage;
  if (!box && kind != Change::Kind::kProgress) return;
  for (auto it = pending_.rbegin(); it != pending_.rend(); ++it) {
    const bool sameControl = box ? it->kind == Change::Kind::kReport || it->kind == Change::Kind::kMessage
                                 : it->kind == Change::Kind::kProgress;
    if (sameControl) {
      pending_.erase(std::next(it).base());
      return;
    }
  }
}

void Win32Display::ApplyPending() {
  std::vector<Change> changes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    changes.swap(pending_);
    posted_ = false;
  }
  for (const Change& change : changes) Apply(change);
}

void Win32Display::Apply(const Change& change) {
  switch (change.kind) {
    case Change::Kind::kReport: {
      SetDlgItemText(dialog_, IDC_REPORT, change.text.c_str());
      // The newest lines in view.
      const LRESULT length = SendDlgItemMessageW(dialog_, IDC_REPORT, WM_GETTEXTLENGTH, 0, 0);
      SendDlgItemMessageW(dialog_, IDC_REPORT, EM_SETSEL, static_cast<WPARAM>(length), length);
      SendDlgItemMessageW(dialog_, IDC_REPORT, EM_SCROLLCARET, 0, 0);
      break;
    }
    case Change::Kind::kMessage:
      SetDlgItemText(dialog_, IDC_REPORT, change.text.c_str());
      break;
    case Change::Kind::kProgress:
      SendDlgItemMessageW(dialog_, IDC_PROGRESS, PBM_SETPOS, change.value, 0);
      break;
    case Change::Kind::kButtonText:
      SetDlgItemText(dialog_, IDC_SCAN, change.text.c_str());
      break;
    case Change::Kind::kButtonEnabled:
      EnableWindow(GetDlgItem(dialog_, IDC_SCAN), change.value != 0);
      break;
    case Change::Kind::kButtonFocus:
      SetFocus(GetDlgItem(dialog_, IDC_SCAN));
      break;
    case Change::Kind::kAcceptDrops:
      DragAcceptFiles(dialog_, change.value != 0);
      break;
  }
}

void Win32Display::ShowReport(TextView report) {
  Queue(Change{Change::Kind::kReport, Text(report)});
}

void Win32Display::ShowMessage(TextView text) {
  Queue(Change{Change::Kind::kMessage, Text(text)});
}

void Win32Display::SetProgress(uint32_t position) {
  Queue(Change{Change::Kind::kProgress, Text(), position});
}

void Win32Display::SetButtonText(TextView text) {
  Queue(Change{Change::Kind::kButtonText, Text(text)});
}

void Win32Display::EnableButton(bool enabled) {
  Queue(Change{Change::Kind::kButtonEnabled, Text(), enabled ? 1u : 0u});
}

void Win32Display::FocusButton() {
  Queue(Change{Change::Kind::kButtonFocus, Text()});
}

void Win32Display::AcceptDrops(bool accept) {
  Queue(Change{Change::Kind::kAcceptDrops, Text(), accept ? 1u : 0u});
}

}  // namespace velkscan
