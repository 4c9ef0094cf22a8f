// Choices: the window's row of choices for a Scan, kept between runs in the
// window's settings beside the skip choice.
// - What becomes of a broken file: its header repaired (the default), a copy
//   of its good frames saved into a folder the user picks (velkscan-cli --map
//   --salvage: the map and the copy's line under the file's line), or only
//   reported (its one line, as velkscan-cli without --repair writes it).
//   Moving through the choices (keys, wheel) only shows them; the folder is
//   asked for when the copy is confirmed (picked from the open list), by the
//   folder button, or at a Scan that needs one and has none.
// - How many files are checked at once: every processor, unless lowered.
// A Scan takes them as it starts (Apply), so the worker never reads a widget.
#pragma once

#include <QString>
#include <QWidget>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "platform/text.h"
#include "recover/recovery.h"
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
  // The folder dialog ("salvageFolderDialog", not modal to the program);
  // then(true) once a folder is chosen, then(false) when it is cancelled.
  void PickFolder(std::function<void(bool)> then = {});
  // Whether a Scan can start with these choices: copies need a folder.
  bool Ready() const;

  // The job that takes listed paths only while idle (it goes before this
  // object).
  void Attach(const ScanJob& job);
  // Paths listed for the next Scan: a copy keeps its place below the folder
  // it was found in.
  void Listed(const std::vector<Text>& paths);
  // At Scan, while idle: the job's settings from the choices.
  void Apply(ScanJob& job);
  // After a file's lines (ScanHooks::afterFile): a broken file's copy or
  // the line that it was only reported.
  Text AfterFile(TextView path, const FileOutcome& outcome);
  // What the running (or last) job does with broken files.
  Broken broken() const { return broken_; }
  // After a broken file's copy was tried (the worker's thread).
  std::function<void(TextView path, const FileRecovery& recovery)> recovered;

 private:
  void BrokenMoved(int index);
  void BrokenConfirmed(int index);
  void ShowFolder();

  QComboBox* brokenBox_;
  QToolButton* folderButton_;
  QSpinBox* checkersBox_;
  QString salvageFolder_;
  int shownBroken_ = kRepair;        // the last choice that can be used
  std::vector<std::string> listed_;  // paths listed since the last Scan
  // Taken at Scan; read by the worker during the job.
  Broken broken_ = kRepair;
  RecoveryOptions recovery_;
  const ScanJob* job_ = nullptr;
};

}  // namespace velkscan
