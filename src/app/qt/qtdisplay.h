// The window's side of ScanDisplay (see WindowDisplay).
//
// A request to apply is posted to the window's thread, even from that
// thread, so changes keep their order with the worker's (a Stop's reset
// lands after the worker's last update). There the changes are carried out
// once kRepaintInterval has passed since the last time, or at once when an
// urgent one waits: however fast the worker writes lines, the window takes
// them a few times a second and input and painting are never starved.
#pragma once

#include <QString>
#include <QTimer>
#include <chrono>
#include <cstddef>
#include <functional>

#include "platform/text.h"
#include "scan/display.h"

namespace velkscan {

class MainDialog;

// Paths and report texts are bytes as the file system gives them; Qt's
// file-name encoding turns them into text and back.
QString ToQString(TextView text);
Text ToText(const QString& path);

class QtDisplay final : public WindowDisplay {
 public:
  static constexpr std::chrono::milliseconds kRepaintInterval{250};
  // The most of a text put into the box in one go.
  static constexpr std::size_t kSliceBytes = 64 * 1024;

  // Made on the window's thread.
  explicit QtDisplay(MainDialog& dialog);

  // Carries out every recorded change now (the window's thread only).
  void Flush();

  // Called for each file reported, on the worker's thread.
  std::function<void(const FileOutcome&, TextView path)> fileReported;
  void FileReported(const FileOutcome& outcome, TextView path) override {
    if (fileReported) fileReported(outcome, path);
  }
  // Called for each path not checked, as a job starts.
  std::function<void(TextView path, NotCheckedReason reason)> pathNotChecked;
  void PathNotChecked(TextView path, NotCheckedReason reason) override {
    if (pathNotChecked) pathNotChecked(path, reason);
  }

 protected:
  bool RequestApply() override;

 private:
  void Schedule();

  MainDialog& dialog_;
  QTimer timer_;
  std::chrono::steady_clock::time_point lastFlush_{};
  Changes carry_;  // the rest of a long text, for the next slice
};

}  // namespace velkscan
