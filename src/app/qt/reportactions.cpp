// The report's actions: save it, copy a line's path, open its folder, undo
// the repairs of the latest run.
#include <QAction>
#include <QClipboard>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QUrl>

#include "journal/undo.h"
#include "qt/maindialog.h"
#include "qt/reportfile.h"
#include "qt/resultsview.h"

namespace velkscan {

void MainDialog::AskWhereToSave() {
  if (!saveAction_->isEnabled()) return;
  auto* chooser = new QFileDialog(this, QStringLiteral("Save the report"));
  chooser->setObjectName(QStringLiteral("saveReportDialog"));
  chooser->setAttribute(Qt::WA_DeleteOnClose);
  chooser->setAcceptMode(QFileDialog::AcceptSave);
  // Asked below, where a failed save can say so.
  chooser->setOption(QFileDialog::DontConfirmOverwrite);
  chooser->selectFile(QStringLiteral("velkscan-report.txt"));
  connect(chooser, &QFileDialog::fileSelected, this, [this](const QString& path) {
    if (!QFileInfo::exists(path)) return SaveReport(path);
    auto* ask = new QMessageBox(QMessageBox::Question, windowTitle(),
                                QStringLiteral("%1 exists. Replace it with the report?").arg(path),
                                QMessageBox::Yes | QMessageBox::No, this);
    ask->setObjectName(QStringLiteral("replaceFileBox"));
    ask->setDefaultButton(QMessageBox::No);
    ask->setAttribute(Qt::WA_DeleteOnClose);
    connect(ask, &QMessageBox::finished, this, [this, path](int answer) {
      if (answer == QMessageBox::Yes) SaveReport(path);
    });
    ask->open();
  });
  chooser->open();
}

void MainDialog::SaveReport(const QString& path) {
  const std::string error = ReplaceFileWhole(ToText(path), ReportFileText(shown_));
  if (!error.empty()) {
    Warn(QStringLiteral("saveFailedBox"),
         QStringLiteral("The report was not saved to %1 (%2).").arg(path, QString::fromStdString(error)));
  }
}

Text MainDialog::PathOfCaretLine() const {
  if (Text row = results_->FocusedPath(); !row.empty()) return row;
  // The caret's line of the box is that line of the text as it came.
  const int line = reportBox_->document()->findBlock(reportBox_->textCursor().selectionStart()).blockNumber();
  std::size_t start = 0;
  for (int i = 0; i < line && start != Text::npos; ++i) {
    start = shown_.find('\n', start);
    if (start != Text::npos) ++start;
  }
  if (start == Text::npos || !saveAction_->isEnabled()) return {};
  const TextView text(shown_);
  return PathOfReportLine(text.substr(start, text.find('\n', start) - start));
}

void MainDialog::CopyPath() {
  const Text path = PathOfCaretLine();
  if (!path.empty()) QGuiApplication::clipboard()->setText(ToQString(path));
}

void MainDialog::OpenFolder() {
  const Text path = PathOfCaretLine();
  if (path.empty()) return;
  const QFileInfo file(ToQString(path));
  QDesktopServices::openUrl(QUrl::fromLocalFile(file.absolutePath()));
}

void MainDialog::ShowReportMenu(const QPoint& at) {
  // A right click outside the selection moves the caret there: the menu's
  // line is the one clicked.
  QTextCursor clicked = reportBox_->cursorForPosition(at);
  const QTextCursor caret = reportBox_->textCursor();
  if (clicked.position() < caret.selectionStart() || clicked.position() > caret.selectionEnd()) {
    const int scrolled = reportBox_->verticalScrollBar()->value();
    reportBox_->setTextCursor(clicked);
    reportBox_->verticalScrollBar()->setValue(scrolled);
  }
  QMenu* menu = reportBox_->createStandardContextMenu(at);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->setObjectName(QStringLiteral("reportMenu"));
  menu->addSeparator();
  const bool hasPath = !PathOfCaretLine().empty();
  copyPathAction_->setEnabled(hasPath);
  openFolderAction_->setEnabled(hasPath);
  menu->addActions({copyPathAction_, openFolderAction_, saveAction_});
  acceptAction_->setEnabled(!job_.running() && remembering_.HasFlagged());
  if (acceptAction_->isEnabled()) menu->addAction(acceptAction_);
  menu->addSeparator();
  const QString journal = ToQString(journal_.path());
  undoRepairsAction_->setEnabled(!journal.isEmpty() && !job_.running() && !results_->work().Busy());
  menu->addAction(undoRepairsAction_);
  // Where the journal is, for velkscan-cli --undo or to remove it.
  QAction* where = menu->addAction(journal.isEmpty() ? QStringLiteral("No repair of this run is journalled")
                                                     : QStringLiteral("Journal: %1").arg(journal));
  where->setObjectName(QStringLiteral("journalPathItem"));
  where->setEnabled(false);
  connect(menu, &QMenu::aboutToHide, this, [this] {
    copyPathAction_->setEnabled(true);
    openFolderAction_->setEnabled(true);
  });
  menu->popup(reportBox_->viewport()->mapToGlobal(at));
}

void MainDialog::UndoRepairs() {
  if (job_.running() || journal_.path().empty() || results_->work().Busy()) return;
  // On the window's thread: a small write per repaired file, and no Scan nor
  // action on a row can start meanwhile.
  QGuiApplication::setOverrideCursor(Qt::WaitCursor);
  const RepairJournal::Undone undone = journal_.Undo();
  QGuiApplication::restoreOverrideCursor();
  const QString journal = ToQString(journal_.path());
  const QString text = undone.status == journal::kUndoDone
                           ? QStringLiteral("The repairs of this run were undone from the journal %1.")
                       : undone.status == journal::kUndoRefused
                           ? QStringLiteral(
                                 "Some repairs of this run were not undone (see the details); the "
                                 "journal is %1.")
                           : QStringLiteral("The journal %1 could not be read: nothing was undone.");
  auto* box =
      new QMessageBox(undone.status == journal::kUndoDone ? QMessageBox::Information : QMessageBox::Warning,
                      windowTitle(), text.arg(journal), QMessageBox::Ok, this);
  box->setObjectName(QStringLiteral("undoneBox"));
  box->setDetailedText(ToQString(undone.lines));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setModal(false);
  box->show();
}

}  // namespace velkscan
