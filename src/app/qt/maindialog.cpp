#include "qt/maindialog.h"

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
#include <QUrl>
#include <vector>

#include "scan/report.h"

namespace velkscan {

namespace {

// Dialog template 101, in dialog units.
constexpr int kDialogWidth = 212, kDialogHeight = 114;
struct TemplateRect {
  int x, y, width, height;
};
constexpr TemplateRect kButtonRect{155, 93, 50, 14};
constexpr TemplateRect kReportRect{7, 7, 198, 85};
constexpr TemplateRect kProgressRect{7, 93, 146, 14};

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

// More than this many refused paths are summed up in one line.
constexpr qsizetype kOverlongPathsListed = 10;

}  // namespace

MainDialog::MainDialog(TextView commandLine, QWidget* parent)
    : QDialog(parent),
      reportBox_(new QPlainTextEdit(this)),
      progressBar_(new QProgressBar(this)),
      button_(new QPushButton(QString::fromUtf8(kScanButtonText), this)),
      display_(*this),
      job_(display_) {
  setObjectName(QStringLiteral("mainDialog"));
  setWindowTitle(QStringLiteral("Velkscan"));
  setWindowIcon(QIcon(QStringLiteral(":/velkscan/velkscan.png")));
  // Caption, system menu, minimize box, fixed frame; above other windows.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
  setSizeGripEnabled(false);

  reportBox_->setObjectName(QStringLiteral("reportBox"));
  reportBox_->setReadOnly(true);
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

  const QRect dialog = MapDialogRect(0, 0, kDialogWidth, kDialogHeight);
  setFixedSize(dialog.size());
  reportBox_->setGeometry(MapDialogRect(kReportRect.x, kReportRect.y, kReportRect.width, kReportRect.height));
  progressBar_->setGeometry(
      MapDialogRect(kProgressRect.x, kProgressRect.y, kProgressRect.width, kProgressRect.height));
  button_->setGeometry(MapDialogRect(kButtonRect.x, kButtonRect.y, kButtonRect.width, kButtonRect.height));
  // Tab order as in the template: button, then report box.
  setTabOrder(button_, reportBox_);

  // The template's texts, so the first paint is already right; the job's
  // initial display (posted) follows with the same and the queued count.
  reportBox_->setPlainText(QString::fromUtf8(kPromptText));
  button_->setEnabled(false);
  setAcceptDrops(true);

  // Files named at start-up are listed before the window shows anything.
  job_.fileList.AddCommandLine(commandLine, false);
  job_.ShowInitialState();
  TellOverlongPaths(0);
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
  if (job_.idle.load() == 0) {
    job_.StopScan();
    return;
  }
  // The button may still read "Stop" for a moment after the worker has
  // ended its job (the change is on its way): the list is empty then, and
  // there is nothing to start.
  if (job_.fileList.count() == 0) return;
  // The report or the worker cannot be had: the program ends, as the
  // dialog does when its report buffer cannot be allocated.
  if (!job_.StartScan()) close();
}

void MainDialog::AddForwardedCommandLine(const QByteArray& text) {
  const std::size_t before = job_.fileList.overlongPaths.size();
  job_.AddCommandLineWhileIdle(TextView(text.constData(), static_cast<size_t>(text.size())));
  TellOverlongPaths(before);
}

void MainDialog::TellOverlongPaths(std::size_t before) {
  const std::vector<Text>& refused = job_.fileList.overlongPaths;
  if (refused.size() <= before) return;
  QStringList lines;
  for (std::size_t i = before; i < refused.size() && lines.size() < kOverlongPathsListed; ++i)
    lines << ToQString(refused[i]);
  const std::size_t rest = refused.size() - before - static_cast<std::size_t>(lines.size());
  if (rest > 0) lines << tr("... and %n more", nullptr, static_cast<int>(rest));
  auto* box =
      new QMessageBox(QMessageBox::Warning, windowTitle(),
                      tr("These paths are too long to be opened and were not added:"), QMessageBox::Ok, this);
  box->setObjectName(QStringLiteral("overlongPathsBox"));
  box->setInformativeText(lines.join(QLatin1Char('\n')));
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
  if (job_.idle.load() == 0) job_.StopScan();
  job_.ReleaseWorker();
  QDialog::closeEvent(event);
}

bool MainDialog::TakesDrop(const QMimeData* data) const {
  // acceptDrops() follows the job's display changes and lags a little
  // behind them; idle is the job's own word.
  return acceptDrops() && job_.idle.load() == 1 && !LocalPaths(data).empty();
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
  const std::size_t before = job_.fileList.overlongPaths.size();
  job_.AddDroppedPaths(LocalPaths(event->mimeData()));
  event->acceptProposedAction();
  TellOverlongPaths(before);
}

// --- Display changes ---

namespace {

QString WithNewlines(QString text) {
  // The report box is a plain-text view: "\r\n" becomes its line break.
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return text;
}

}  // namespace

void MainDialog::ApplyReport(const QString& report) {
  reportText_ = report;
  reportBox_->setPlainText(WithNewlines(report));
}

void MainDialog::ApplyMessage(const QString& message) {
  reportBox_->setPlainText(WithNewlines(message));
}

void MainDialog::ApplyProgress(int position) {
  progressBar_->setValue(position);
}

void MainDialog::ApplyButtonText(const QString& caption) {
  button_->setText(caption);
}

void MainDialog::ApplyButtonEnabled(bool enabled) {
  button_->setEnabled(enabled);
}

void MainDialog::ApplyButtonFocus() {
  button_->setFocus(Qt::OtherFocusReason);
}

void MainDialog::ApplyAcceptDrops(bool accept) {
  setAcceptDrops(accept);
}

}  // namespace velkscan
