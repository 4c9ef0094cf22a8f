// The window's side of ScanDisplay.
//
// The job calls it from the worker thread during a scan and from the
// window's thread otherwise. Every change is posted to the window's thread
// and carried out there, never waited for: at Stop the window's thread waits
// for the worker, and a worker that waited for the window in turn would hang
// both. Posting everything, also from the window's own thread, keeps the
// changes in the order the job asked for them (a Stop's reset lands after
// the worker's last progress step, not before it).
#pragma once

#include <QByteArray>
#include <QString>

#include "platform/text.h"
#include "scan/display.h"

namespace velkscan {

class MainDialog;

// Paths and report texts are bytes as the file system gives them; Qt's
// file-name encoding turns them into text and back.
QString ToQString(TextView text);
Text ToText(const QString& path);

class QtDisplay final : public ScanDisplay {
 public:
  explicit QtDisplay(MainDialog& dialog) : dialog_(dialog) {}

  void ShowReport(TextView report) override;
  void ShowMessage(TextView text) override;
  void SetProgress(uint32_t position) override;
  void SetButtonText(TextView text) override;
  void EnableButton(bool enabled) override;
  void FocusButton() override;
  void AcceptDrops(bool accept) override;

 private:
  template <typename Change>
  void Post(Change&& change);

  MainDialog& dialog_;
};

}  // namespace velkscan
