#include "qt/maindialog.h"

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QSpinBox>
#include <QSplitter>
#include <QTableView>
#include <QVBoxLayout>
#include <QtMath>
#include <algorithm>
#include <string>
#include <vector>

#include "qt/damagestrip.h"
#include "qt/resultsview.h"
#include "qt/windowsettings.h"

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
// The margin, the button's size, the bar's height, the space between rows.
constexpr int kMargin = 7, kButtonWidth = 50, kRowHeight = 14, kChoiceHeight = 10, kGap = 1;

// Rounded as the platform's MulDiv rounds.
int MulDiv(int number, int numerator, int denominator) {
  const long long product = static_cast<long long>(number) * numerator;
  return static_cast<int>((product + denominator / 2) / denominator);
}

const QString kSkipUnchangedKey = QStringLiteral("skipUnchanged");
// The window's place and size in device-independent pixels, and whether it
// was maximised (its place then the one it goes back to).
const QString kPlaceKey = QStringLiteral("place");
const QString kMaximizedKey = QStringLiteral("maximized");
// Lines of the report a first start shows, as far as its screen allows.
constexpr int kFirstRows = 25;
constexpr int kFirstReportLines = 6;

}  // namespace

QString MainDialog::WithNewlines(QString text) {
  // The report box is a plain-text view: "\r\n" becomes its line break.
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return text;
}

MainDialog::MainDialog(const std::vector<Text>& paths, QWidget* parent)
    : QDialog(parent),
      reportBox_(new QPlainTextEdit(this)),
      results_(new ResultsView(
          {[this] { return job_.running(); }, [this] { return choices_->salvageFolder(); }, &journal_},
          this)),
      splitter_(new QSplitter(Qt::Vertical, this)),
      progressBar_(new QProgressBar(this)),
      figuresLine_(new QLabel(this)),
      button_(new QPushButton(QString::fromUtf8(kScanButtonText), this)),
      addFilesButton_(new QPushButton(QStringLiteral("&Add Files..."), this)),
      addFolderButton_(new QPushButton(QStringLiteral("Add Fol&der..."), this)),
      skipBox_(
          new QCheckBox(QStringLiteral("S&kip files unchanged since a check that found them whole"), this)),
      choices_(new Choices(this)),
      saveAction_(new QAction(QStringLiteral("Save the report..."), this)),
      copyPathAction_(new QAction(QStringLiteral("Copy the path"), this)),
      openFolderAction_(new QAction(QStringLiteral("Open the folder"), this)),
      undoRepairsAction_(new QAction(QStringLiteral("Undo the repairs of this run"), this)),
      inputFence_(*this, [this] { return button_->isDown(); }),
      display_(*this),
      // A repair refused goes on being refused with its reason, and the rest
      // of the files still get their check.
      // Names that come during a scan join it, Stop keeps what was found, and
      // files skipped as unchanged are counted, not listed.
      job_(display_,
           ScanSettings{.stopAtRefusedRewrite = false,
                        .joinWhileRunning = true,
                        .keepResults = true,
                        .listUnchanged = false},
           JobHooks()) {
  setObjectName(QStringLiteral("mainDialog"));
  setWindowTitle(QStringLiteral("Velkscan"));
  LoadResources();
  setWindowIcon(QIcon(QStringLiteral(":/velkscan/velkscan.png")));
  // Caption, system menu, minimize and maximize boxes; above other windows.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
  remembering_.Attach(job_);
  choices_->Attach(job_);
  display_.fileReported = [this](const FileOutcome& outcome, TextView path) {
    remembering_.FileReported(outcome, path);
    results_->model()->Post(outcome, path);
  };
  display_.pathNotChecked = [this](TextView path, NotCheckedReason reason) {
    results_->model()->PostNotChecked(path, reason);
  };
  choices_->recovered = [this](TextView path, const FileRecovery& recovery) {
    if (recovery.salvageAsked)
      results_->model()->NoteSalvage(path, recovery.written, recovery.salvagePath,
                                     recovery.lines.empty() ? std::string() : recovery.lines.back());
  };
  results_->copyPathAction = copyPathAction_;
  results_->openFolderAction = openFolderAction_;

  reportBox_->setObjectName(QStringLiteral("reportBox"));
  reportBox_->setAccessibleName(QStringLiteral("Report"));
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
  progressBar_->setAccessibleName(QStringLiteral("Progress"));
  figuresLine_->setObjectName(QStringLiteral("figuresLine"));
  figuresLine_->setAccessibleName(QStringLiteral("Files, megabytes, speed, time left and the file in hand"));
  figuresLine_->setTextFormat(Qt::PlainText);  // a path is never markup
  // A new text four times a second lays out nothing else: the line's width
  // is the window's.
  figuresLine_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);

  button_->setObjectName(QStringLiteral("scanButton"));
  button_->setDefault(true);
  connect(button_, &QPushButton::clicked, this, &MainDialog::PressButton);

  skipBox_->setObjectName(QStringLiteral("skipUnchangedBox"));
  skipBox_->setAccessibleName(QStringLiteral("Skip files unchanged since a check that found them whole"));
  addFilesButton_->setObjectName(QStringLiteral("addFilesButton"));
  addFilesButton_->setAccessibleName(QStringLiteral("Add files"));
  addFilesButton_->setToolTip(QStringLiteral("Add files to check (Ctrl+O)"));
  addFolderButton_->setObjectName(QStringLiteral("addFolderButton"));
  addFolderButton_->setAccessibleName(QStringLiteral("Add a folder"));
  addFolderButton_->setToolTip(QStringLiteral("Add a folder to check, with its subfolders (Ctrl+D)"));
  connect(addFilesButton_, &QPushButton::clicked, this, [this] { AskWhatToAdd(false); });
  connect(addFolderButton_, &QPushButton::clicked, this, [this] { AskWhatToAdd(true); });
  auto* addFiles = new QAction(this);
  addFiles->setShortcut(QKeySequence::Open);
  connect(addFiles, &QAction::triggered, this, [this] { AskWhatToAdd(false); });
  auto* addFolder = new QAction(this);
  addFolder->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
  connect(addFolder, &QAction::triggered, this, [this] { AskWhatToAdd(true); });
  addActions({addFiles, addFolder});
  skipBox_->setChecked(WindowSettings().value(kSkipUnchangedKey, false).toBool());
  remembering_.skipUnchanged = skipBox_->isChecked();
  connect(skipBox_, &QCheckBox::toggled, this, [this](bool on) {
    remembering_.skipUnchanged = on;  // for the next Scan
    QSettings settings = WindowSettings();
    settings.setValue(kSkipUnchangedKey, on);
    settings.sync();
  });

  // The actions, by key anywhere in the window and in the report's menu.
  saveAction_->setObjectName(QStringLiteral("saveAction"));
  saveAction_->setShortcut(QKeySequence::Save);
  connect(saveAction_, &QAction::triggered, this, &MainDialog::AskWhereToSave);
  copyPathAction_->setObjectName(QStringLiteral("copyPathAction"));
  copyPathAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C));
  connect(copyPathAction_, &QAction::triggered, this, &MainDialog::CopyPath);
  openFolderAction_->setObjectName(QStringLiteral("openFolderAction"));
  openFolderAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
  connect(openFolderAction_, &QAction::triggered, this, &MainDialog::OpenFolder);
  undoRepairsAction_->setObjectName(QStringLiteral("undoRepairsAction"));
  connect(undoRepairsAction_, &QAction::triggered, this, &MainDialog::UndoRepairs);
  addActions({saveAction_, copyPathAction_, openFolderAction_});
  acceptAction_ = new QAction(QStringLiteral("Accept the new content of the changed files"), this);
  acceptAction_->setObjectName(QStringLiteral("acceptAction"));
  connect(acceptAction_, &QAction::triggered, this, [this] {
    if (job_.running() || !remembering_.HasFlagged()) return;
    auto* box = new QMessageBox(QMessageBox::Information, windowTitle(),
                                QString::fromStdString(remembering_.AcceptFlagged()), QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("acceptedBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
  });
  reportBox_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(reportBox_, &QWidget::customContextMenuRequested, this, &MainDialog::ShowReportMenu);

  // The report box takes the room; below it the progress line, the choices,
  // and the bar and the button at the bottom, in the template's units.
  const QRect unit = MapDialogRect(0, 0, kMargin, kRowHeight);
  const QRect gap = MapDialogRect(0, 0, kGap, kGap);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(unit.width(), unit.width(), unit.width(), unit.width());
  layout->setSpacing(gap.height());
  // The table above the report; the splitter shares the room between them.
  splitter_->setObjectName(QStringLiteral("resultsSplitter"));
  splitter_->setChildrenCollapsible(false);
  splitter_->addWidget(results_);
  splitter_->addWidget(reportBox_);
  splitter_->setStretchFactor(0, 3);
  splitter_->setStretchFactor(1, 2);
  layout->addWidget(splitter_, 1);
  layout->addWidget(figuresLine_);
  auto* choices = new QVBoxLayout;
  choices->setSpacing(gap.height());
  skipBox_->setFixedHeight(MapDialogRect(0, 0, 0, kChoiceHeight).height());
  choices->addWidget(skipBox_);
  choices->addWidget(choices_);
  // Further choices go here, a row each.
  layout->addLayout(choices);
  auto* bottom = new QHBoxLayout;
  bottom->setSpacing(MapDialogRect(0, 0, 2, 0).width());
  progressBar_->setFixedHeight(unit.height());
  button_->setFixedSize(MapDialogRect(0, 0, kButtonWidth, kRowHeight).size());
  for (QPushButton* add : {addFilesButton_, addFolderButton_}) {
    add->setFixedHeight(unit.height());
    bottom->addWidget(add);
  }
  bottom->addWidget(progressBar_, 1);
  bottom->addWidget(button_);
  layout->addLayout(bottom);
  // Tab order: the table (the choice of rows, the rows, the strip), the
  // report, the choices, the add buttons, the button.
  setTabOrder(results_->strip(), reportBox_);
  setTabOrder(reportBox_, skipBox_);
  setTabOrder(skipBox_, choices_->brokenBox());
  setTabOrder(choices_->checkersBox(), addFilesButton_);
  setTabOrder(addFilesButton_, addFolderButton_);
  setTabOrder(addFolderButton_, button_);

  // The first start: half as wide again as the template (the progress line
  // names the file in hand), tall enough for the report's first lines on the
  // screen it opens on; then as the window was left.
  Place(MapDialogRect(0, 0, kDialogWidth * 3 / 2, kDialogHeight).size() +
        QSize(0, figuresLine_->sizeHint().height() + gap.height()));

  // Files named at start-up are listed before the window shows anything.
  AddPaths(paths);
  job_.ShowInitialState();
  // Carried out at once, so the first paint is already right.
  display_.Flush();
  TellOverlongPaths();
}

ScanHooks MainDialog::JobHooks() {
  ScanHooks hooks;
  // A Stop the display server holds comes first; then the line that lets
  // the repair be taken back, on the disk before the header is written.
  hooks.beforeRewrite = [this](TextView path, const FileOutcome& planned) {
    return inputFence_.Wait([this] { return job_.running(); }) && journal_.Append(path, planned);
  };
  hooks.atJobStart = [this] { return remembering_.AtJobStart(); };
  hooks.atJobEnd = [this] { return remembering_.AtJobEnd(); };
  hooks.makeHasher = [this] { return remembering_.MakeHasher(); };
  hooks.recall = [this](TextView path, FileOutcome& outcome) { return remembering_.Recall(path, outcome); };
  hooks.lateFinding = [this](TextView path, const FileOutcome& outcome) {
    return remembering_.LateFinding(path, outcome);
  };
  hooks.afterFile = [this](TextView path, const FileOutcome& outcome) {
    return choices_->AfterFile(path, outcome) + journal_.WhyNotJournalled(outcome);
  };
  return hooks;
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

void MainDialog::Place(const QSize& templateSize) {
  const QSettings settings = WindowSettings();
  const QRect place = settings.value(kPlaceKey).toRect();
  QScreen* screen = place.isValid() ? QGuiApplication::screenAt(place.center()) : nullptr;
  if (screen == nullptr) screen = this->screen();
  // Room for the window's frame too, which the window system adds.
  const QRect room = screen->availableGeometry().adjusted(0, 0, 0, -2 * fontMetrics().height());
  const QSize least = minimumSizeHint();
  if (!place.isValid()) {
    // Room for kFirstRows rows of the table and a few lines of the report.
    const QTableView* table = results_->table();
    const int rows = kFirstRows * table->verticalHeader()->defaultSectionSize() +
                     table->horizontalHeader()->sizeHint().height() + 2 * table->frameWidth();
    const int tablePart = results_->minimumSizeHint().height() - table->minimumSizeHint().height() + rows;
    const int box = kFirstReportLines * QFontMetrics(reportBox_->font()).lineSpacing() +
                    2 * (reportBox_->frameWidth() + qCeil(reportBox_->document()->documentMargin()));
    const int others = least.height() - splitter_->minimumSizeHint().height() + splitter_->handleWidth();
    resize(
        templateSize.expandedTo(QSize(0, others + tablePart + box)).boundedTo(room.size()).expandedTo(least));
    splitter_->setSizes({tablePart, box});
    return;
  }
  QRect kept(place.topLeft(), place.size().boundedTo(room.size()).expandedTo(least));
  kept.moveLeft(std::clamp(kept.left(), room.left(), std::max(room.left(), room.right() + 1 - kept.width())));
  kept.moveTop(std::clamp(kept.top(), room.top(), std::max(room.top(), room.bottom() + 1 - kept.height())));
  setGeometry(kept);
  if (settings.value(kMaximizedKey).toBool()) setWindowState(windowState() | Qt::WindowMaximized);
}

// --- Commands ---

void MainDialog::PressButton() {
  // The report or the worker cannot be had: the program ends, as the
  // dialog does when its report buffer cannot be allocated.
  if (!job_.running()) {
    // A scan reads and writes the files an action on a row may be reading.
    if (results_->work().Busy()) {
      figuresLine_->setText(QStringLiteral("Not scanning yet: %1").arg(results_->work().Doing()));
      return;
    }
    // Copies need a folder: asked for first, and the Scan starts once there is one.
    if (!choices_->Ready())
      return choices_->PickFolder([this](bool picked) {
        if (picked && !job_.running()) PressButton();
      });
    choices_->Apply(job_);
    // A Scan that starts is a new run: the last one's journal stays on the disk.
    if (job_.fileCount() > 0 || !job_.files().notChecked.empty()) {
      journal_.Begin();
      results_->BeginRun(static_cast<BrokenMode>(choices_->broken()));
    }
  }
  if (!job_.PressButton()) close();
}

void MainDialog::AddPaths(const std::vector<Text>& paths) {
  choices_->Listed(paths);
  job_.AddPaths(paths);
}

void MainDialog::AskWhatToAdd(bool folder) {
  auto* dialog = new QFileDialog(
      this, folder ? QStringLiteral("Add a folder to check") : QStringLiteral("Add files to check"),
      addFrom_.isEmpty() ? QDir::homePath() : addFrom_);
  dialog->setObjectName(folder ? QStringLiteral("addFolderDialog") : QStringLiteral("addFilesDialog"));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  if (folder) {
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
  } else {
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setNameFilters({QStringLiteral("Velk files (*.vlk *.vkq *.vqk *.VLK *.VKQ *.VQK)"),
                            QStringLiteral("All files (*)")});
  }
  connect(dialog, &QFileDialog::accepted, this, [this, dialog] {
    addFrom_ = dialog->directory().absolutePath();
    std::vector<Text> paths;
    for (const QString& path : dialog->selectedFiles())
      paths.push_back(ToText(QDir::cleanPath(QFileInfo(path).absoluteFilePath())));
    AddPaths(paths);
    TellOverlongPaths();
  });
  dialog->open();
}

void MainDialog::AddForwardedPaths(const QByteArrayList& paths) {
  std::vector<Text> list;
  for (const QByteArray& path : paths) list.emplace_back(path.constData(), static_cast<size_t>(path.size()));
  AddPaths(list);
  TellOverlongPaths();
}

void MainDialog::TellOverlongPaths() {
  const Text notice = job_.TakeOverlongNotice();
  if (!notice.empty()) Warn(QStringLiteral("overlongPathsBox"), WithNewlines(ToQString(notice)));
}

void MainDialog::Warn(const QString& objectName, const QString& text) {
  auto* box = new QMessageBox(QMessageBox::Warning, windowTitle(), text, QMessageBox::Ok, this);
  box->setObjectName(objectName);
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
  // An action on a row stops too: a copy it writes is finished first, or never begun.
  results_->work().Close();
  QSettings settings = WindowSettings();
  const QRect normal = isMaximized() ? normalGeometry() : geometry();
  if (normal.isValid()) settings.setValue(kPlaceKey, normal);
  settings.setValue(kMaximizedKey, isMaximized());
  settings.sync();
  QDialog::closeEvent(event);
}

}  // namespace velkscan
