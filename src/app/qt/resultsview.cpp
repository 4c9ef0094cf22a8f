#include "qt/resultsview.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QTableView>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <atomic>

#include "journal/undo.h"
#include "qt/damagestrip.h"
#include "qt/qtdisplay.h"
#include "qt/repairjournal.h"
#include "recover/recovery.h"

namespace velkscan {

namespace {

QAction* MakeAction(QWidget* owner, const char* name, const QString& text, const QKeySequence& keys) {
  auto* action = new QAction(text, owner);
  action->setObjectName(QString::fromLatin1(name));
  action->setShortcut(keys);
  action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  owner->addAction(action);
  return action;
}

}  // namespace

ResultsView::ResultsView(Hooks hooks, QWidget* parent)
    : QWidget(parent),
      hooks_(std::move(hooks)),
      model_(new ResultsModel(this)),
      filter_(new ResultsFilter(model_, this)),
      counts_(new QLabel(this)),
      workLine_(new QLabel(this)),
      showBox_(new QComboBox(this)),
      table_(new QTableView(this)),
      stripLabel_(new QLabel(this)),
      strip_(new DamageStrip(this)) {
  setObjectName(QStringLiteral("results"));
  counts_->setObjectName(QStringLiteral("countsLine"));
  counts_->setAccessibleName(QStringLiteral("Counts per verdict"));
  // Narrow, the counts wrap onto a second line rather than lose their end.
  counts_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  counts_->setWordWrap(true);
  workLine_->setObjectName(QStringLiteral("workLine"));
  workLine_->setAccessibleName(QStringLiteral("Actions at work"));
  workLine_->setTextFormat(Qt::PlainText);  // a name is never markup
  workLine_->hide();
  work_.changed = [this] { ShowWork(); };
  showBox_->setObjectName(QStringLiteral("showBox"));
  showBox_->addItems({QStringLiteral("Files that need attention"), QStringLiteral("All files checked"),
                      QStringLiteral("All files, unchanged ones too")});
  showBox_->setCurrentIndex(filter_->show());
  showBox_->setAccessibleName(QStringLiteral("Show"));
  auto* showLabel = new QLabel(QStringLiteral("Sho&w:"), this);
  showLabel->setBuddy(showBox_);

  table_->setObjectName(QStringLiteral("resultsTable"));
  table_->setAccessibleName(QStringLiteral("Results, a row per file"));
  table_->setModel(filter_);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setTabKeyNavigation(false);
  table_->setWordWrap(false);
  table_->setAlternatingRowColors(true);
  // Rows of one height, never measured: the cost of a view does not grow
  // with the rows below it.
  table_->verticalHeader()->hide();
  table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 6);
  QHeaderView* header = table_->horizontalHeader();
  header->setSectionResizeMode(QHeaderView::Interactive);
  header->setStretchLastSection(true);
  header->setSortIndicatorClearable(true);  // the third click: list order again
  header->setSortIndicator(-1, Qt::AscendingOrder);
  table_->setSortingEnabled(true);
  const int em = table_->fontMetrics().horizontalAdvance(QLatin1Char('M'));
  // Wide enough for the header, and for the usual texts below it.
  const int widths[] = {14, 14, 17, 0, 0, 0};
  for (int column = 0; column < ResultsModel::kDone; ++column) {
    const QString title = model_->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
    table_->setColumnWidth(
        column, std::max(widths[column] * em, header->fontMetrics().horizontalAdvance(title) + 2 * em));
  }
  table_->setContextMenuPolicy(Qt::CustomContextMenu);
  table_->installEventFilter(this);

  stripLabel_->setObjectName(QStringLiteral("stripLabel"));
  stripLabel_->setBuddy(strip_);
  stripLabel_->hide();
  strip_->hide();

  auto* top = new QHBoxLayout;
  top->setContentsMargins(0, 0, 0, 0);
  top->addWidget(counts_, 1);
  top->addWidget(workLine_);
  top->addWidget(showLabel);
  top->addWidget(showBox_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
  layout->addLayout(top);
  layout->addWidget(table_, 1);
  layout->addWidget(stripLabel_);
  layout->addWidget(strip_);
  setTabOrder(showBox_, table_);
  setTabOrder(table_, strip_);

  damageAction_ = MakeAction(table_, "damageAction", QStringLiteral("Show where the damage is"),
                             QKeySequence(Qt::CTRL | Qt::Key_M));
  salvageAction_ = MakeAction(table_, "salvageRowAction", QStringLiteral("Save a copy of the good frames..."),
                              QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_G));
  undoAction_ = MakeAction(table_, "undoRowAction", QStringLiteral("Undo this file's repair"),
                           QKeySequence(Qt::CTRL | Qt::Key_Z));
  checkAgainAction_ =
      MakeAction(table_, "checkAgainAction", QStringLiteral("Check again"), QKeySequence(Qt::Key_F5));
  connect(damageAction_, &QAction::triggered, this, &ResultsView::ShowDamage);
  connect(salvageAction_, &QAction::triggered, this, &ResultsView::Salvage);
  connect(undoAction_, &QAction::triggered, this, &ResultsView::UndoRepair);
  connect(checkAgainAction_, &QAction::triggered, this, &ResultsView::CheckAgain);

  connect(showBox_, &QComboBox::currentIndexChanged, this, [this](int index) {
    filter_->SetShow(static_cast<ResultsFilter::Show>(index));
    ShowCounts();
  });
  connect(model_, &ResultsModel::countsChanged, this, &ResultsView::ShowCounts);
  connect(table_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    const QModelIndex index = table_->indexAt(at);
    if (index.isValid()) table_->setCurrentIndex(index);
    ShowMenu(at);
  });
  connect(table_, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex&) {
    const int row = CurrentRow();
    if (row < 0) return;
    if (model_->row(row).verdict == Verdict::kBroken) return ShowDamage();
    if (openFolderAction != nullptr) openFolderAction->trigger();
  });
  connect(table_->selectionModel(), &QItemSelectionModel::currentChanged, this, &ResultsView::EnableActions);
  ShowCounts();
  EnableActions();
}

void ResultsView::BeginRun(BrokenMode mode) {
  model_->BeginRun(mode);
  strip_->hide();
  stripLabel_->hide();
  if (filter_->show() == ResultsFilter::kAttention) showBox_->setCurrentIndex(ResultsFilter::kChecked);
}

void ResultsView::RunEnded() {
  if (filter_->show() == ResultsFilter::kChecked) showBox_->setCurrentIndex(ResultsFilter::kAttention);
  EnableActions();
}

void ResultsView::ShowCounts() {
  QString text = model_->CountsText();
  const int unchanged = model_->counts()[static_cast<int>(Verdict::kUnchanged)];
  if (unchanged > 0 && filter_->show() != ResultsFilter::kEverything)
    text += QStringLiteral(" (unchanged ones not listed)");
  counts_->setText(text);
  counts_->setToolTip(text);
  // Its name says what it is; the description, what it says now.
  counts_->setAccessibleDescription(text);
}

int ResultsView::CurrentRow() const {
  const QModelIndex index = table_->currentIndex();
  return index.isValid() ? filter_->SourceRow(index.row()) : -1;
}

Text ResultsView::FocusedPath() const {
  const int row = CurrentRow();
  if (row < 0) return {};
  // The table has the window's focus (the row menu it opened leaves it there).
  return table_->window()->focusWidget() == table_ ? model_->row(row).path : Text();
}

void ResultsView::EnableActions() {
  const int row = CurrentRow();
  const bool idle = !hooks_.busy || !hooks_.busy();
  const ResultRow* r = row < 0 || work_.Busy(model_->row(row).path) ? nullptr : &model_->row(row);
  const bool broken = r != nullptr && r->verdict == Verdict::kBroken;
  damageAction_->setEnabled(broken);
  salvageAction_->setEnabled(broken && idle);
  undoAction_->setEnabled(r != nullptr && idle && r->done == Done::kRepaired &&
                          r->outcome.repair == RepairOutcome::kRepaired && hooks_.journal != nullptr &&
                          !hooks_.journal->path().empty());
  checkAgainAction_->setEnabled(r != nullptr && idle && r->verdict != Verdict::kNotChecked);
}

QMenu* ResultsView::ShowMenu(const QPoint& at) {
  EnableActions();
  auto* menu = new QMenu(table_);
  menu->setObjectName(QStringLiteral("rowMenu"));
  menu->setAttribute(Qt::WA_DeleteOnClose);
  const bool row = CurrentRow() >= 0;
  for (QAction* action : {openFolderAction, copyPathAction}) {
    if (action == nullptr) continue;
    menu->addAction(action);
    action->setEnabled(row);
  }
  menu->addSeparator();
  menu->addActions({damageAction_, salvageAction_, undoAction_, checkAgainAction_});
  connect(menu, &QMenu::aboutToHide, this, [this] {
    for (QAction* action : {openFolderAction, copyPathAction})
      if (action != nullptr) action->setEnabled(true);
  });
  menu->popup(table_->viewport()->mapToGlobal(at));
  return menu;
}

bool ResultsView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == table_ && (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease)) {
    auto* key = static_cast<QKeyEvent*>(event);
    const bool menuKey =
        key->key() == Qt::Key_Menu || (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier);
    if (menuKey) {
      // At the current row, or at the top of the table without one.
      if (event->type() == QEvent::KeyPress) {
        const QRect place = table_->visualRect(table_->currentIndex());
        ShowMenu(place.isValid() ? place.center() : QPoint(0, 0));
      }
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

int ResultsView::RowOf(const Text& path) const {
  for (int i = 0; i < model_->rowCount(); ++i)
    if (model_->row(i).path == path) return i;
  return -1;
}

void ResultsView::ShowWork() {
  const QString doing = work_.Doing();
  workLine_->setText(doing);
  workLine_->setVisible(!doing.isEmpty());
  if (doing.isEmpty()) {
    table_->viewport()->unsetCursor();
  } else {
    table_->viewport()->setCursor(Qt::BusyCursor);
  }
  EnableActions();
}

void ResultsView::ShowDamage() {
  const int row = CurrentRow();
  if (row < 0 || model_->row(row).verdict != Verdict::kBroken) return;
  const ResultRow& r = model_->row(row);
  work_.Start(r.path, QStringLiteral("Finding the damage in %1...").arg(r.name),
              [this, path = r.path, outcome = r.outcome, name = r.name](const std::atomic<bool>& running) {
                DamageTrack track = MapTrack(path, outcome, [&running] { return !running; });
                return [this, name, track = std::move(track)] { ShowTrack(name, track); };
              });
}

void ResultsView::ShowTrack(const QString& name, DamageTrack track) {
  strip_->Show(name, std::move(track));
  // The stretches in words beside the strip too, when they are few.
  const DamageTrack& shown = strip_->track();
  QStringList stretches;
  for (const DamageTrack::Stretch& stretch : shown.stretches) stretches << shown.Describe(stretch);
  const int n = static_cast<int>(stretches.size());
  QString text = QStringLiteral("&Damage in %1 (%2 frames): ").arg(name).arg(shown.frames);
  text +=
      n <= 2 ? stretches.join(QStringLiteral("; ")) : QStringLiteral("%1 stretches (hover for each)").arg(n);
  if (!shown.error.isEmpty()) text += QStringLiteral("; ") + shown.error;
  stripLabel_->setText(text);
  stripLabel_->show();
  strip_->show();
}

void ResultsView::Salvage() {
  const int row = CurrentRow();
  if (row < 0 || !salvageAction_->isEnabled()) return;
  const QString folder = hooks_.salvageFolder ? hooks_.salvageFolder() : QString();
  const Text path = model_->row(row).path;
  if (!folder.isEmpty()) return SalvageInto(path, folder);
  auto* chooser = new QFileDialog(this, QStringLiteral("Save the copy of the good frames in"));
  chooser->setObjectName(QStringLiteral("salvageRowDialog"));
  chooser->setAttribute(Qt::WA_DeleteOnClose);
  chooser->setFileMode(QFileDialog::Directory);
  chooser->setOption(QFileDialog::ShowDirsOnly);
  connect(chooser, &QFileDialog::fileSelected, this,
          [this, path](const QString& chosen) { SalvageInto(path, chosen); });
  chooser->open();
}

void ResultsView::SalvageInto(const Text& path, const QString& folder) {
  const int row = RowOf(path);
  if (row < 0 || (hooks_.busy && hooks_.busy())) return;
  const ResultRow& r = model_->row(row);
  work_.Start(path, QStringLiteral("Saving a copy of the good frames of %1...").arg(r.name),
              [this, path, outcome = r.outcome, folder](const std::atomic<bool>& running) {
                RecoveryOptions options;
                options.salvageDir = ToText(folder);
                options.stopped = [&running] { return !running; };
                return [this, path, recovery = RecoverFile(options, outcome, path)] {
                  TakeSalvage(path, recovery);
                };
              });
}

void ResultsView::TakeSalvage(const Text& path, const FileRecovery& recovery) {
  const int row = RowOf(path);
  if (row < 0) return;
  ResultRow r = model_->row(row);
  const bool written = recovery.written;
  // The copy's line, without the path and its end.
  std::string line = recovery.lines.empty() ? std::string() : recovery.lines.back();
  if (line.compare(0, r.path.size() + 2, r.path + ": ") == 0) line = line.substr(r.path.size() + 2);
  if (!line.empty() && line.back() == '.') line.pop_back();
  std::string lines;
  for (const std::string& each : recovery.lines) lines += each + "\n";
  r.done = written ? Done::kSalvaged : Done::kNotSalvaged;
  r.doneText =
      written ? QStringLiteral("salvaged to %1").arg(ToQString(recovery.salvagePath)) : ToQString(line);
  model_->Update(row, std::move(r));
  if (!written) Tell(QStringLiteral("salvageFailedBox"), ToQString(lines));
  EnableActions();
}

void ResultsView::UndoRepair() {
  const int row = CurrentRow();
  if (row < 0 || !undoAction_->isEnabled()) return;
  ResultRow r = model_->row(row);
  QGuiApplication::setOverrideCursor(Qt::WaitCursor);
  const RepairJournal::Undone undone = hooks_.journal->UndoFile(r.path);
  QGuiApplication::restoreOverrideCursor();
  if (undone.status == journal::kUndoDone) {
    r.done = Done::kUndone;
    r.doneText = QStringLiteral("repair undone");
    model_->Update(row, std::move(r));
  } else {
    Tell(QStringLiteral("undoneBox"),
         QStringLiteral("The repair of %1 was not undone; the journal is %2.")
             .arg(ToQString(r.path), ToQString(hooks_.journal->path())),
         ToQString(undone.lines));
  }
  EnableActions();
}

void ResultsView::CheckAgain() {
  const int row = CurrentRow();
  if (row < 0 || !checkAgainAction_->isEnabled()) return;
  const ResultRow& r = model_->row(row);
  work_.Start(r.path, QStringLiteral("Checking %1 again...").arg(r.name),
              [this, path = r.path, index = r.outcome.index](const std::atomic<bool>& running) {
                FileCheck check;
                FileCheckOptions options;
                options.forWriting = false;
                std::atomic<uint64_t> bytesRead{0};
                FileOutcome outcome;
                outcome.index = index;
                CheckWholeFile(check, path, options, running, bytesRead, outcome);
                return [this, path, outcome] {
                  const int row = RowOf(path);
                  if (row < 0) return;
                  const ResultRow& old = model_->row(row);
                  ResultRow fresh = model_->MakeRow(outcome, path);
                  // What the run did stays (the check again changes nothing).
                  fresh.outcome.repair = old.outcome.repair;
                  fresh.done = old.done;
                  fresh.doneText = old.doneText;
                  fresh.verdictText += QStringLiteral(" (checked again)");
                  model_->Update(row, std::move(fresh));
                };
              });
}

void ResultsView::Tell(const QString& objectName, const QString& text, const QString& details) {
  auto* box = new QMessageBox(QMessageBox::Warning, window()->windowTitle(), text, QMessageBox::Ok, this);
  box->setObjectName(objectName);
  if (!details.isEmpty()) box->setDetailedText(details);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setModal(false);
  box->show();
}

}  // namespace velkscan
