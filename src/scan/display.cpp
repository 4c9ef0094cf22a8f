#include "scan/display.h"

#include <utility>

#include "scan/progress.h"

namespace velkscan {

template <typename Record>
void WindowDisplay::Change(bool urgent, Record record) {
  bool request = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    record(pending_);
    urgent_ = urgent_ || urgent;
    request = !requested_ || (urgent && !requestedUrgent_);
    requested_ = true;
    requestedUrgent_ = requestedUrgent_ || urgent;
  }
  if (request && !RequestApply()) {
    std::lock_guard<std::mutex> lock(mutex_);
    requested_ = requestedUrgent_ = false;
  }
}

WindowDisplay::Changes WindowDisplay::TakeChanges() {
  Changes changes;
  std::lock_guard<std::mutex> lock(mutex_);
  std::swap(changes, pending_);
  requested_ = requestedUrgent_ = urgent_ = false;
  return changes;
}

bool WindowDisplay::urgentWaiting() {
  std::lock_guard<std::mutex> lock(mutex_);
  return urgent_;
}

void WindowDisplay::BeginReport() {
  std::lock_guard<std::mutex> lock(mutex_);
  boxHoldsReport_ = false;
  jobStart_ = std::chrono::steady_clock::now();
}

void WindowDisplay::ShowReport(TextView report) {
  Change(false, [&](Changes& p) {
    // A new report (or one shorter than what was taken) replaces the box.
    if (!boxHoldsReport_ || report.size() < reportTaken_) {
      p.replaceBox = true;
      p.boxText.assign(report);
    } else {
      p.boxText.append(report.substr(reportTaken_));
    }
    p.boxChanged = p.boxIsReport = true;
    boxHoldsReport_ = true;
    reportTaken_ = report.size();
  });
}

void WindowDisplay::ShowMessage(TextView text) {
  Change(true, [&](Changes& p) {
    p.boxChanged = p.replaceBox = true;
    p.boxIsReport = false;
    p.boxText.assign(text);
    boxHoldsReport_ = false;
    reportTaken_ = 0;
    p.figuresLine.emplace();
    p.fileInHand.clear();
  });
}

void WindowDisplay::SetProgress(uint32_t position) {
  Change(false, [&](Changes& p) { p.progress = position; });
}

void WindowDisplay::ShowFigures(const JobFigures& figures) {
  Change(false, [&](Changes& p) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - jobStart_).count();
    p.figuresLine = ProgressLineText(figures, elapsed);
    p.fileInHand.assign(figures.fileInHand);
  });
}

void WindowDisplay::SetButtonText(TextView text) {
  Change(true, [&](Changes& p) { p.buttonText = Text(text); });
}

void WindowDisplay::EnableButton(bool enabled) {
  Change(true, [&](Changes& p) { p.buttonEnabled = enabled; });
}

void WindowDisplay::FocusButton() {
  Change(true, [&](Changes& p) { p.focusButton = true; });
}

void WindowDisplay::AcceptDrops(bool accept) {
  Change(true, [&](Changes& p) { p.acceptDrops = accept; });
}

}  // namespace velkscan
