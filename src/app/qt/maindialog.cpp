#include "qt/maindialog.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFontMetrics>
#include <QIcon>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QTextCursor>
#include <QUrl>
#include <vector>

#include "scan/report.h"

// The icon lives in the program's resources, compiled into the static
// library: without a reference the linker leaves them out.
static void LoadResources() {
  Q_INIT_RESOURCE(velkscan);
}

namespace velkscan {

namespace {

// Dialog template 101, in dialog units.
constexpr int kDialogWidth = 212, kDialogHeight = 142;
struct TemplateRect {
  int x, y, width, height;
};
constexpr TemplateRect kButtonRect{155, 93, 50, 14};
constexpr TemplateRect kReportRect{7, 7, 198, 73};
// Below the report box, so the button and the bar stay where the template
// has them.
constexpr TemplateRect kSkipRect{7, 81, 198, 10};
constexpr TemplateRect kProgressRect{7, 93, 146, 14};
constexpr TemplateRect kChoicesRect{7, 111, 198, 26};

// Rounded as the platform's MulDiv rounds.
int MulDiv(int number, int numerator, int denominator) {
  const long long product = static_cast<long long>(number) * numerator;
  return static_cast<int>((product + denominator / 2) / denominator);
}

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

// The window's settings: $XDG_CONFIG_HOME/velkscan/velkscan.conf.
QSettings Settings() {
  return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("velkscan"),
                   QStringLiteral("velkscan"));
}
const QString kSkipUnchangedKey = QStringLiteral("skipUnchanged");

QString WithNewlines(QString text) {
  // The report box is a plain-text view: "\r\n" becomes its line break.
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return text;
}

}  // namespace

MainDialog::MainDialog(const std::vector<Text>& paths, QWidget* parent)
    : QDialog(parent),
      reportBox_(new QPlainTextEdit(this)),
      progressBar_(new QProgressBar(this)),
      button_(new QPushButton(QString::fromUtf8(kScanButtonText), this)),
      skipBox_(
          new QCheckBox(QStringLiteral("Skip files unchanged since a check that found them whole"), this)),
      choices_(new Choices(this)),
      inputFence_(*this, [this] { return button_->isDown(); }),
      display_(*this),
      job_(display_) {
  setObjectName(QStringLiteral("mainDialog"));
  setWindowTitle(QStringLiteral("Velkscan"));
  LoadResources();
  setWindowIcon(QIcon(QStringLiteral(":/velkscan/velkscan.png")));
  // Caption, system menu, minimize box, fixed frame; above other windows.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
  setSizeGripEnabled(false);
  job_.beforeRewrite = [this](TextView, const FileOutcome&) {
    return inputFence_.Wait([this] { return job_.running(); });
  };
  remembering_.Attach(job_);
  choices_->Attach(job_);
  display_.fileReported = [this](const FileOutcome& outcome, TextView path) {
    remembering_.FileReported(outcome, path);
  };

  reportBox_->setObjectName(QStringLiteral("reportBox"));
  reportBox_->setReadOnly(true);
  // Nothing is undone in a report; an undo record of every line would only
  // take memory.
  reportBox_->setUndoRedoEnabled(false);
  // Read-only, yet the keys move about it (Ctrl+End to the end).
  reportBox_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  reportBox_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  reportBox_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  reportBox_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  reportBox_->setTabChangesFocus(true);
  // Drops over the box belong to the window.
  reportBox_->setAcceptDrops(false);

  progressBar_->setObjectName(QStringLiteral("progressBar"));
  progressBar_->setRange(0, 100);
  progressBar_->setValue(0);
  progressBar_->setTextVisible(false);

  button_->setObjectName(QStringLiteral("scanButton"));
  button_->setDefault(true);
  connect(button_, &QPushButton::clicked, this, &MainDialog::PressButton);

  skipBox_->setObjectName(QStringLiteral("skipUnchangedBox"));
  skipBox_->setChecked(Settings().value(kSkipUnchangedKey, false).toBool());
  remembering_.skipUnchanged = skipBox_->isChecked();
  connect(skipBox_, &QCheckBox::toggled, this, [this](bool on) {
    remembering_.skipUnchanged = on;  // for the next Scan
    QSettings settings = Settings();
    settings.setValue(kSkipUnchangedKey, on);
    settings.sync();
  });

  const QRect dialog = MapDialogRect(0, 0, kDialogWidth, kDialogHeight);
  setFixedSize(dialog.size());
  reportBox_->setGeometry(MapDialogRect(kReportRect.x, kReportRect.y, kReportRect.width, kReportRect.height));
  progressBar_->setGeometry(
      MapDialogRect(kProgressRect.x, kProgressRect.y, kProgressRect.width, kProgressRect.height));
  button_->setGeometry(MapDialogRect(kButtonRect.x, kButtonRect.y, kButtonRect.width, kButtonRect.height));
  skipBox_->setGeometry(MapDialogRect(kSkipRect.x, kSkipRect.y, kSkipRect.width, kSkipRect.height));
  choices_->setGeometry(
      MapDialogRect(kChoicesRect.x, kChoicesRect.y, kChoicesRect.width, kChoicesRect.height));
  // Tab order as in the template: button, then report box; the choices last.
  setTabOrder(button_, reportBox_);
  setTabOrder(reportBox_, skipBox_);
  setTabOrder(skipBox_, choices_);

  // Files named at start-up are listed before the window shows anything.
  AddPaths(paths);
  job_.ShowInitialState();
  // Carried out at once, so the first paint is already right.
  display_.Flush();
  TellOverlongPaths();
}

MainDialog::~MainDialog() = default;

QRect MainDialog::MapDialogRect(int x, int y, int width, int height) const {
  // Base units: the average width of the Latin letters and the height of
  // the window's font; a dialog unit is a quarter of the one and an eighth
  // of the other.
  const QFontMetrics metrics(font());
  const int letters =
      metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  const int baseX = (letters / 26 + 1) / 2;
  const int baseY = metrics.height();
  const int left = MulDiv(x, baseX, 4), right = MulDiv(x + width, baseX, 4);
  const int top = MulDiv(y, baseY, 8), bottom = MulDiv(y + height, baseY, 8);
  return QRect(left, top, right - left, bottom - top);
}

// --- Commands ---

void MainDialog::PressButton() {
  // The report or the worker cannot be had: the program ends, as the
  // dialog does when its report buffer cannot be allocated.
  if (!job_.running()) choices_->Apply(job_);
  if (!job_.PressButton()) close();
}

void MainDialog::AddPaths(const std::vector<Text>& paths) {
  choices_->Listed(paths);
  job_.AddPaths(paths);
}

void MainDialog::AddForwardedPaths(const QByteArrayList& paths) {
  std::vector<Text> list;
  for (const QByteArray& path : paths) list.emplace_back(path.constData(), static_cast<size_t>(path.size()));
  AddPaths(list);
  TellOverlongPaths();
}

void MainDialog::TellOverlongPaths() {
  const Text notice = job_.TakeOverlongNotice();
  if (notice.empty()) return;
  auto* box = new QMessageBox(QMessageBox::Warning, windowTitle(), WithNewlines(ToQString(notice)),
                              QMessageBox::Ok, this);
  box->setObjectName(QStringLiteral("overlongPathsBox"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setModal(false);
  box->show();
}

// --- Events ---

void MainDialog::keyPressEvent(QKeyEvent* event) {
  // A dialog closes on Escape; this one does nothing. Enter goes on to the
  // dialog's handling, which presses the default button when it is enabled.
  if (event->matches(QKeySequence::Cancel)) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void MainDialog::closeEvent(QCloseEvent* event) {
  // The worker stops between frames before the program ends, so a header
  // rewrite is never cut short by the end of the process.
  job_.Close();
  QDialog::closeEvent(event);
}

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
  if (changes.boxChanged) {
    QScrollBar* bar = reportBox_->verticalScrollBar();
    // The report follows its end, unless the user has scrolled up to read
    // (Ctrl+End stops a line short of the scroll range's end).
    const bool follow = changes.boxIsReport && (changes.replaceBox || bar->value() >= bar->maximum() - 1);
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
    if (follow) bar->setValue(bar->maximum());
  }
  if (changes.progress) progressBar_->setValue(static_cast<int>(*changes.progress));
  if (changes.buttonText) button_->setText(ToQString(*changes.buttonText));
  if (changes.buttonEnabled) button_->setEnabled(*changes.buttonEnabled);
  if (changes.focusButton) button_->setFocus(Qt::OtherFocusReason);
  if (changes.acceptDrops) setAcceptDrops(*changes.acceptDrops);
}

}  // namespace velkscan
