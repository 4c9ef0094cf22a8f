// MainDialog: the program's one window. A report box, the progress line
// under it (with the file in hand), the choices, the Add Files... and Add
// Folder... buttons, a progress bar and one button ("Scan" while idle,
// "Stop" during a scan). It opens at the size of dialog template 101 (in the
// font's units, so scaled for the screen) and may be resized and maximised:
// the report box takes the room, the controls stay at the bottom; its size
// and place are kept between runs. It takes dropped files, the file
// dialogs' and forwarded command lines, during a scan too, which they join;
// Stop keeps the report; after a run the report stays until the next Scan,
// the files waiting named under it. It drives the ScanJob; every rule of the job
// lives in the job, the window only forwards commands and shows what it is
// told. The report can be saved, and a line's path copied or its folder
// opened (keys and the report's context menu); the report's menu also undoes
// the repairs of the latest run from their journal (qt/repairjournal.h).
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
#include "qt/repairjournal.h"
#include "scan/scanjob.h"

class QAction;
class QCheckBox;
class QLabel;
class QMimeData;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSplitter;

namespace velkscan {

class ResultsView;

class MainDialog : public QDialog {
  Q_OBJECT

 public:
  // paths: the program's own arguments, each taken as a dropped path.
  explicit MainDialog(const std::vector<Text>& paths = {}, QWidget* parent = nullptr);
  ~MainDialog() override;

  ScanJob& job() { return job_; }
  QPlainTextEdit* reportBox() const { return reportBox_; }
  // The table of results above the report (qt/resultsview.h), and the
  // splitter that shares the room between the two.
  ResultsView* results() const { return results_; }
  QSplitter* splitter() const { return splitter_; }
  QProgressBar* progressBar() const { return progressBar_; }
  // Files, megabytes, speed and time left of the running (or last) job.
  QLabel* figuresLine() const { return figuresLine_; }
  QPushButton* button() const { return button_; }
  // Ctrl+O and Ctrl+D: the file dialogs ("addFilesDialog", "addFolderDialog").
  QPushButton* addFilesButton() const { return addFilesButton_; }
  QPushButton* addFolderButton() const { return addFolderButton_; }
  // Skip files unchanged since a check that found them whole; the choice
  // is kept between runs.
  QCheckBox* skipUnchangedBox() const { return skipBox_; }
  // What becomes of broken files, and how many files are checked at once.
  Choices* choices() const { return choices_; }
  // Ctrl+S; Ctrl+Shift+C: the path of the caret's line; Ctrl+Shift+O: its folder.
  QAction* saveAction() const { return saveAction_; }
  QAction* copyPathAction() const { return copyPathAction_; }
  QAction* openFolderAction() const { return openFolderAction_; }
  // In the report's menu after a run that found files changed silently:
  // their content now accepted, a box says how it went.
  QAction* acceptAction() const { return acceptAction_; }

 public slots:
  // The paths forwarded by a second start, each taken as a dropped path
  // (during a scan they join it).
  void AddForwardedPaths(const QByteArrayList& paths);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  // "\r\n" as the report box breaks lines.
  static QString WithNewlines(QString text);
  // Carried out on the window's thread, for QtDisplay.
  friend class QtDisplay;
  void Apply(const QtDisplay::Changes& changes);
  // The window's part in each job: the store of checks, the choices, the
  // journal and the input fence.
  ScanHooks JobHooks();

  // Dialog units of template 101 in pixels of the window's font, as the
  // platform maps a dialog rectangle.
  QRect MapDialogRect(int x, int y, int width, int height) const;
  // The place and size the window was left at, within a screen; at a first
  // start templateSize, made tall enough for 25 lines of the report.
  void Place(const QSize& templateSize);
  void PressButton();
  bool TakesDrop(const QMimeData* data) const;
  // Paths the job refused as too long since the last notice, if any.
  void TellOverlongPaths();
  void AddPaths(const std::vector<Text>& paths);
  // A file dialog for files or a folder; what it gives is added.
  void AskWhatToAdd(bool folder);
  void Warn(const QString& objectName, const QString& text);

  // The report as the box shows it, "\n" line ends: asks where, then
  // whether to replace a file that is there.
  void AskWhereToSave();
  void SaveReport(const QString& path);
  // The path of the table's current row while the table has the focus,
  // else the one the report names on the caret's line; empty when none.
  Text PathOfCaretLine() const;
  void CopyPath();
  void OpenFolder();
  void ShowReportMenu(const QPoint& at);
  void UndoRepairs();

  QPlainTextEdit* reportBox_;
  ResultsView* results_;
  QSplitter* splitter_;
  QProgressBar* progressBar_;
  QLabel* figuresLine_;
  QPushButton* button_;
  QPushButton* addFilesButton_;
  QPushButton* addFolderButton_;
  QString addFrom_;              // the folder the last file dialog was left in
  bool boxHoldsReport_ = false;  // a report is in the box: messages go under it
  QCheckBox* skipBox_;
  Choices* choices_;
  QAction* saveAction_;
  QAction* copyPathAction_;
  QAction* openFolderAction_;
  QAction* acceptAction_;
  QAction* undoRepairsAction_;  // the report's menu: the latest run's repairs undone
  bool heldLineBreak_ = false;  // the box's text lacks its last line break
  bool shaped_ = true;          // the box's font goes through the text shaper
  // The box's text as it came, bytes and "\r\n": what a save writes, and
  // the paths of its lines as the file system knows them.
  Text shown_;
  // Before each header rewrite the worker waits at the fence: a Stop, Enter
  // or close the display server holds is served before another file changes.
  InputFence inputFence_;
  Remembering remembering_;  // the worker's last call at a job's end reaches it
  RepairJournal journal_;    // and its repairs'
  // The job is declared last so it goes first: its destructor stops a
  // running worker while the display it posts to still exists.
  QtDisplay display_;
  ScanJob job_;
};

}  // namespace velkscan
