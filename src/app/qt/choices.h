// Choices: the window's row of choices for a Scan, kept between runs in the
// window's settings beside the skip choice.
// - What becomes of a broken file: its header repaired (the default), a copy
//   of its good frames saved into a folder the user picks (velkscan-cli --map
//   --salvage: the map and the copy's line under the file's line), or only
//   reported (a line says it was left as it is).
// - How many files are checked at once: every processor, unless lowered.
// A Scan takes them as it starts (Apply), so the worker never reads a widget.
#pragma once

#include <QString>
#include <QWidget>
#include <atomic>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/recovery.h"
#include "platform/text.h"
#include "scan/scanjob.h"

class QComboBox;
class QSpinBox;
class QToolButton;

namespace velkscan {

class Choices : public QWidget {
  Q_OBJECT

 public:
  // The order of the broken-files box.
  enum Broken { kRepair, kSalvage, kReport };

  explicit Choices(QWidget* parent = nullptr);

  QComboBox* brokenBox() const { return brokenBox_; }
  QSpinBox* checkersBox() const { return checkersBox_; }
  QString salvageFolder() const { return salvageFolder_; }
  // The folder for copies, as the folder dialog gives it (kept).
  void SetSalvageFolder(const QString& folder);

  // Sets the job's hook for the lines under a broken file's (the job goes
  // before this object).
  void Attach(ScanJob& job);
  // Paths listed for the next Scan: a copy keeps its place below the folder
  // it was found in.
  void Listed(const std::vector<Text>& paths);
  // At Scan, while idle: the job's settings from the choices.
  void Apply(ScanJob& job);
  // What the running (or last) job does with broken files.
  Broken broken() const { return broken_; }
  // After a broken file's copy was tried (the worker's thread): its lines
  // and the fields velkscan-cli --json gives it.
  std::function<void(TextView path, const std::string& lines, const nlohmann::ordered_json& fields)>
      recovered;

 private:
  void BrokenChosen(int index);
  bool PickFolder();
  void ShowFolder();
  Text AfterFile(TextView path, const FileOutcome& outcome);

  QComboBox* brokenBox_;
  QToolButton* folderButton_;
  QSpinBox* checkersBox_;
  QString salvageFolder_;
  int shownBroken_ = kRepair;        // the choice before the one being made
  std::vector<std::string> listed_;  // paths listed since the last Scan
  // Taken at Scan; read by the worker during the job.
  Broken broken_ = kRepair;
  cli::RecoveryOptions recovery_;
  ScanJob* job_ = nullptr;
};

}  // namespace velkscan
