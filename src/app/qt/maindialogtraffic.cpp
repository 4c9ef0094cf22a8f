// The main window's traffic with the outside: the drops it takes and what
// the job's display asks it to show.
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QUrl>
#include <algorithm>

#include "qt/maindialog.h"
#include "qt/resultsview.h"

namespace velkscan {

namespace {

// Local files and folders of a drop; other URLs (web pages, remote files)
// are not for the list.
std::vector<Text> LocalPaths(const QMimeData* data) {
  std::vector<Text> paths;
  if (data == nullptr || !data->hasUrls()) return paths;
  for (const QUrl& url : data->urls()) {
    if (url.isLocalFile()) paths.push_back(ToText(url.toLocalFile()));
  }
  return paths;
}

// Text of Latin letters, digits and signs (all below the combining marks)
// looks the same without the shaper, kerning included; anything else, marks,
// right-to-left or joining scripts, needs it.
bool NeedsShaping(const QString& text) {
  return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() >= 0x300; });
}

}  // namespace

bool MainDialog::TakesDrop(const QMimeData* data) const {
  // acceptDrops() follows the job's display changes and lags a little
  // behind them; idle is the job's own word.
  return acceptDrops() && job_.AcceptsFiles() && !LocalPaths(data).empty();
}

void MainDialog::dragEnterEvent(QDragEnterEvent* event) {
  if (TakesDrop(event->mimeData())) {
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

void MainDialog::dragMoveEvent(QDragMoveEvent* event) {
  if (TakesDrop(event->mimeData())) {
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

void MainDialog::dropEvent(QDropEvent* event) {
  if (!TakesDrop(event->mimeData())) {
    event->ignore();
    return;
  }
  AddPaths(LocalPaths(event->mimeData()));
  event->acceptProposedAction();
  TellOverlongPaths();
}

// --- Display changes ---

void MainDialog::Apply(const QtDisplay::Changes& changes) {
  // The rows of the files reported since the last update, in one go.
  results_->model()->TakePosted();
  // A run's report stays until the next one begins: the messages that would
  // replace it (the files waiting) go under it instead.
  const bool underReport = changes.boxChanged && !changes.boxIsReport && boxHoldsReport_;
  if (changes.boxChanged && !underReport) {
    boxHoldsReport_ = changes.boxIsReport;
    QScrollBar* bar = reportBox_->verticalScrollBar();
    // The report follows its end, unless the user has scrolled up to read
    // (Ctrl+End stops a line short of the scroll range's end).
    const bool follow = changes.boxIsReport && (changes.replaceBox || bar->value() >= bar->maximum() - 1);
    if (changes.replaceBox) shown_.clear();
    shown_ += changes.boxText;
    saveAction_->setEnabled(changes.boxIsReport);
    QString text = WithNewlines(ToQString(changes.boxText));
    // The last line break waits for the text after it: the box does not end
    // in an empty line, where the cursor would go.
    if (!changes.replaceBox && heldLineBreak_) text.prepend(QLatin1Char('\n'));
    heldLineBreak_ = text.endsWith(QLatin1Char('\n'));
    if (heldLineBreak_) text.chop(1);
    if (changes.replaceBox) {
      reportBox_->setPlainText(text);
    } else {
      // Only the new end: the cost is that of the lines added, whatever
      // the size of the report.
      const QTextCursor user = reportBox_->textCursor();
      const int anchor = user.anchor(), position = user.position();
      QTextCursor end(reportBox_->document());
      end.movePosition(QTextCursor::End);
      end.insertText(text);
      // A cursor or selection (Ctrl+A) that reached the old end stays
      // there instead of growing over the new lines.
      if (reportBox_->textCursor().position() != position) {
        QTextCursor kept(reportBox_->document());
        kept.setPosition(anchor);
        kept.setPosition(position, QTextCursor::KeepAnchor);
        const int scrolled = bar->value();
        reportBox_->setTextCursor(kept);
        bar->setValue(scrolled);
      }
    }
    // Under a flood most of the window's time went into shaping the lines in
    // view, anew after each append; a report of Latin paths skips it until a
    // line needs it, and the box is laid out again then, once.
    const bool shape = (!changes.replaceBox && shaped_) || NeedsShaping(text);
    if (shape != shaped_) {
      shaped_ = shape;
      QFont font = reportBox_->font();  // only the strategy changes
      font.setStyleStrategy(shape ? QFont::PreferDefault : QFont::PreferNoShaping);
      reportBox_->setFont(font);
    }
    if (follow) bar->setValue(bar->maximum());
  }
  if (changes.progress) progressBar_->setValue(static_cast<int>(*changes.progress));
  if (underReport) {
    figuresLine_->setText(WithNewlines(ToQString(changes.boxText)));
  } else if (changes.figuresLine) {
    QString line = QString::fromStdString(*changes.figuresLine);
    if (!changes.fileInHand.empty()) {
      // The file in hand in the room left, its middle given up first.
      const QString gap = QStringLiteral(" \u2014 ");
      const QFontMetrics metrics = figuresLine_->fontMetrics();
      const int room = figuresLine_->contentsRect().width() - metrics.horizontalAdvance(line + gap);
      line += gap + metrics.elidedText(ToQString(changes.fileInHand), Qt::ElideMiddle, std::max(room, 0));
    }
    figuresLine_->setText(line);
  }
  if (changes.buttonText) button_->setText(ToQString(*changes.buttonText));
  if (changes.buttonEnabled) button_->setEnabled(*changes.buttonEnabled);
  if (changes.focusButton) button_->setFocus(Qt::OtherFocusReason);
  if (changes.acceptDrops) setAcceptDrops(*changes.acceptDrops);
  // Drops are taken again once the job is over.
  if (changes.acceptDrops && *changes.acceptDrops) results_->RunEnded();
}

}  // namespace velkscan
