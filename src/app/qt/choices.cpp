#include "qt/choices.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QScopedValueRollback>
#include <QSettings>
#include <QSpinBox>
#include <QToolButton>
#include <QWheelEvent>
#include <algorithm>
#include <thread>

#include "qt/qtdisplay.h"
#include "qt/windowsettings.h"

namespace velkscan {

namespace {

const QString kBrokenKey = QStringLiteral("brokenFiles");
const QString kFolderKey = QStringLiteral("salvageFolder");
// Kept only when lowered: a machine with more processors later gets them all.
const QString kCheckersKey = QStringLiteral("checkers");
const char* const kBrokenNames[] = {"repair", "salvage", "report"};

int Processors() {
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// Keys and the wheel on the closed box only move through the choices (the
// box then says activated too); a choice picked from the open list is one
// confirmed.
class ChoiceBox : public QComboBox {
 public:
  using QComboBox::QComboBox;
  bool moving = false;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    const QScopedValueRollback<bool> move(moving, true);
    QComboBox::keyPressEvent(event);
  }
  void wheelEvent(QWheelEvent* event) override {
    const QScopedValueRollback<bool> move(moving, true);
    QComboBox::wheelEvent(event);
  }
};

void Keep(const QString& key, const QVariant& value) {
  QSettings settings = WindowSettings();
  if (value.isValid()) {
    settings.setValue(key, value);
  } else {
    settings.remove(key);
  }
  settings.sync();
}

}  // namespace

Choices::Choices(QWidget* parent)
    : QWidget(parent),
      brokenBox_(new ChoiceBox(this)),
      folderButton_(new QToolButton(this)),
      checkersBox_(new QSpinBox(this)) {
  setObjectName(QStringLiteral("choices"));
  brokenBox_->setObjectName(QStringLiteral("brokenFilesBox"));
  brokenBox_->addItems({QStringLiteral("Repair the header"), QStringLiteral("Save a copy of the good frames"),
                        QStringLiteral("Only report")});
  folderButton_->setObjectName(QStringLiteral("salvageFolderButton"));
  folderButton_->setText(QStringLiteral("Fo&lder..."));
  folderButton_->setAccessibleName(QStringLiteral("Folder for the copies"));
  brokenBox_->setAccessibleName(QStringLiteral("Broken files"));
  checkersBox_->setAccessibleName(QStringLiteral("Files checked at once"));
  checkersBox_->setObjectName(QStringLiteral("checkersBox"));
  checkersBox_->setRange(1, Processors());
  checkersBox_->setSuffix(QStringLiteral(" of %1").arg(Processors()));

  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setVerticalSpacing(2);
  auto* brokenLabel = new QLabel(QStringLiteral("&Broken files:"), this);
  brokenLabel->setBuddy(brokenBox_);
  auto* checkersLabel = new QLabel(QStringLiteral("&Files checked at once:"), this);
  checkersLabel->setBuddy(checkersBox_);
  grid->addWidget(brokenLabel, 0, 0);
  grid->addWidget(brokenBox_, 0, 1);
  grid->addWidget(folderButton_, 0, 2);
  grid->addWidget(checkersLabel, 1, 0);
  grid->addWidget(checkersBox_, 1, 1, Qt::AlignLeft);
  grid->setColumnStretch(1, 1);

  const QSettings settings = WindowSettings();
  salvageFolder_ = settings.value(kFolderKey).toString();
  const QString broken = settings.value(kBrokenKey).toString();
  for (int i = kRepair; i <= kReport; ++i) {
    if (broken == QLatin1String(kBrokenNames[i])) shownBroken_ = i;
  }
  // No folder to save into: the default.
  if (shownBroken_ == kSalvage && salvageFolder_.isEmpty()) shownBroken_ = kRepair;
  brokenBox_->setCurrentIndex(shownBroken_);
  checkersBox_->setValue(std::clamp(settings.value(kCheckersKey, Processors()).toInt(), 1, Processors()));
  ShowFolder();

  connect(brokenBox_, &QComboBox::currentIndexChanged, this, &Choices::BrokenMoved);
  connect(brokenBox_, &QComboBox::activated, this, [this](int index) {
    if (!static_cast<ChoiceBox*>(brokenBox_)->moving) BrokenConfirmed(index);
  });
  connect(folderButton_, &QToolButton::clicked, this, [this] { PickFolder(); });
  connect(checkersBox_, &QSpinBox::valueChanged, this,
          [](int count) { Keep(kCheckersKey, count < Processors() ? QVariant(count) : QVariant()); });
}

void Choices::BrokenMoved(int index) {
  // Copies without a folder are shown, not kept: a Scan asks for the folder.
  if (index != kSalvage || !salvageFolder_.isEmpty()) {
    shownBroken_ = index;
    Keep(kBrokenKey, QString::fromLatin1(kBrokenNames[index]));
  }
  ShowFolder();
}

void Choices::BrokenConfirmed(int index) {
  if (index != kSalvage) return;
  // Copies confirmed: where to, starting from the folder they went to last.
  // Cancelled, the choice stays when it has a folder, else the last one
  // that can be used comes back.
  PickFolder([this](bool picked) {
    if (!picked && salvageFolder_.isEmpty()) brokenBox_->setCurrentIndex(shownBroken_);
  });
}

bool Choices::Ready() const {
  return brokenBox_->currentIndex() != kSalvage || !salvageFolder_.isEmpty();
}

void Choices::PickFolder(std::function<void(bool)> then) {
  auto* dialog = new QFileDialog(this, QStringLiteral("Save copies of the good frames in"),
                                 salvageFolder_.isEmpty() ? QDir::homePath() : salvageFolder_);
  dialog->setObjectName(QStringLiteral("salvageFolderDialog"));
  dialog->setFileMode(QFileDialog::Directory);
  dialog->setOption(QFileDialog::ShowDirsOnly);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog, &QFileDialog::finished, this, [this, dialog, then](int result) {
    const QStringList chosen = dialog->selectedFiles();
    const bool picked = result == QDialog::Accepted && !chosen.isEmpty();
    if (picked) {
      SetSalvageFolder(chosen.front());
      BrokenMoved(brokenBox_->currentIndex());  // now it can be kept
    }
    if (then) then(picked);
  });
  dialog->open();
}

void Choices::SetSalvageFolder(const QString& folder) {
  salvageFolder_ = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
  Keep(kFolderKey, salvageFolder_);
  ShowFolder();
}

void Choices::ShowFolder() {
  // The folder is named where the choice is made; the report names each copy.
  brokenBox_->setItemText(kSalvage, salvageFolder_.isEmpty()
                                        ? QStringLiteral("Save a copy of the good frames")
                                        : QStringLiteral("Save the good frames in %1").arg(salvageFolder_));
  brokenBox_->setToolTip(brokenBox_->itemText(brokenBox_->currentIndex()));
  folderButton_->setToolTip(salvageFolder_);
  folderButton_->setEnabled(brokenBox_->currentIndex() == kSalvage);
}

void Choices::Attach(const ScanJob& job) {
  job_ = &job;
}

void Choices::Listed(const std::vector<Text>& paths) {
  // Names that join a running scan are not the next one's.
  if (job_ != nullptr && job_->running()) return;
  listed_.insert(listed_.end(), paths.begin(), paths.end());
}

void Choices::Apply(ScanJob& job) {
  broken_ = static_cast<Broken>(brokenBox_->currentIndex());
  job.settings.repair = broken_ == kRepair;
  job.settings.checkers = static_cast<uint32_t>(checkersBox_->value());
  recovery_.map = broken_ == kSalvage;
  recovery_.salvageDir = broken_ == kSalvage ? ToText(salvageFolder_) : std::string();
  // The list goes with the job that checks it.
  recovery_.roots = std::move(listed_);
  listed_.clear();
  recovery_.stopped = [&job] { return !job.running(); };
  recovery_.salvageFailed = false;
  recovery_.foldersLooked.clear();
}

Text Choices::AfterFile(TextView path, const FileOutcome& outcome) {
  if (outcome.status != FileStatus::kBroken || broken_ != kSalvage) return Text();
  const FileRecovery recovery = RecoverFile(recovery_, outcome, std::string(path));
  if (recovered) recovered(path, recovery);
  // The report's lines end as the window's own do.
  Text text;
  for (const std::string& line : recovery.lines) text += line + "\r\n";
  return text;
}

}  // namespace velkscan
