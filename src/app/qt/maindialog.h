// MainDialog: the program's one window. A report box, a progress bar and
// one button ("Scan" while idle, "Stop" during a scan), laid out as dialog
// template 101 lays them out. It takes dropped files and forwarded command
// lines while idle and drives the ScanJob; every rule of the job lives in
// the job, the window only forwards commands and shows what it is told.
#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QDialog>
#include <QString>
#include <cstddef>
#include <vector>

#include "platform/text.h"
#include "qt/choices.h"
#include "qt/inputfence.h"
#include "qt/qtdisplay.h"
#include "qt/remembering.h"
#include "scan/scanjob.h"

class QCheckBox;
class QMimeData;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace velkscan {

class MainDialog : public QDialog {
  Q_OBJECT

 public:
  // paths: the program's own arguments, each taken as a dropped path.
  explicit MainDialog(const std::vector<Text>& paths = {}, QWidget* parent = nullptr);
  ~MainDialog() override;

  ScanJob& job() { return job_; }
  QPlainTextEdit* reportBox() const { return reportBox_; }
  QProgressBar* progressBar() const { return progressBar_; }
  QPushButton* button() const { return button_; }
  // Skip files unchanged since a check that found them whole; the choice
  // is kept between runs.
  QCheckBox* skipUnchangedBox() const { return skipBox_; }
  // What becomes of broken files, and how many files are checked at once.
  Choices* choices() const { return choices_; }

 public slots:
  // The paths forwarded by a second start, each taken as a dropped path
  // while idle; during a scan they are dropped, and the sender is not told.
  void AddForwardedPaths(const QByteArrayList& paths);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  // Carried out on the window's thread, for QtDisplay.
  friend class QtDisplay;
  void Apply(const QtDisplay::Changes& changes);

  // Dialog units of template 101 in pixels of the window's font, as the
  // platform maps a dialog rectangle.
  QRect MapDialogRect(int x, int y, int width, int height) const;
  void PressButton();
  bool TakesDrop(const QMimeData* data) const;
  // Paths the job refused as too long since the last notice, if any.
  void TellOverlongPaths();
  void AddPaths(const std::vector<Text>& paths);

  QPlainTextEdit* reportBox_;
  QProgressBar* progressBar_;
  QPushButton* button_;
  QCheckBox* skipBox_;
  Choices* choices_;
  bool heldLineBreak_ = false;  // the box's text lacks its last line break
  // Before each header rewrite the worker waits at the fence: a Stop, Enter
  // or close the display server holds is served before another file changes.
  InputFence inputFence_;
  Remembering remembering_;  // the worker's last call at a job's end reaches it
  // The job is declared last so it goes first: its destructor stops a
  // running worker while the display it posts to still exists.
  QtDisplay display_;
  ScanJob job_;
};

}  // namespace velkscan
