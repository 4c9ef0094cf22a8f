#include "qt/resultsmodel.h"

#include <QStringList>
#include <algorithm>
#include <iterator>
#include <utility>

#include "qt/qtdisplay.h"
#include "scan/report.h"

namespace velkscan {

namespace {

const char* const kHeaders[] = {"Folder", "Name", "Verdict", "Good frames", "Declared", "Play time", "Done"};
// The counts line's words, in the order of Verdict.
const char* const kKindWords[] = {"whole",       "broken",      "read error", "unrecognized",
                                  "open failed", "not checked", "changed",    "unchanged"};

QString Q(const Text& text) {
  return ToQString(text);
}

void SplitPath(TextView path, ResultRow& row) {
  const QString whole = ToQString(path);
  const qsizetype slash = whole.lastIndexOf(QLatin1Char('/'));
  row.folder = slash < 0 ? QString() : slash == 0 ? QStringLiteral("/") : whole.left(slash);
  row.name = whole.mid(slash + 1);
  row.nameKey = row.name.toCaseFolded().toStdString();
  row.pathKey = row.folder.toCaseFolded().toStdString() + '\0' + row.nameKey;
}

QString RepairText(RepairOutcome repair) {
  switch (repair) {
    case RepairOutcome::kRepaired:
      return QStringLiteral("repaired");
    case RepairOutcome::kAlreadyRepaired:
      return QStringLiteral("repaired before");
    case RepairOutcome::kReadOnly:
      return QStringLiteral("not repaired (read-only)");
    case RepairOutcome::kJournalFailed:
      return QStringLiteral("not repaired (%1)").arg(Q(kJournalFailedReason));
    case RepairOutcome::kWriteFailed:
      return QStringLiteral("not repaired (%1)").arg(Q(kWriteFailedReason));
    case RepairOutcome::kChanged:
      return QStringLiteral("not repaired (file changed during the check)");
    case RepairOutcome::kNone:
      break;
  }
  return QStringLiteral("not repaired (a header velkscan does not rewrite)");
}

}  // namespace

bool ResultRow::NeedsAttention() const {
  if (touched) return true;
  if (verdict == Verdict::kUnchanged) return outcome.status != FileStatus::kOk;
  return verdict != Verdict::kWhole || tagged;
}

ResultsModel::ResultsModel(QObject* parent) : QAbstractTableModel(parent) {}

ResultRow ResultsModel::MakeRow(const FileOutcome& outcome, TextView path) {
  ResultRow row;
  row.path = Text(path);
  SplitPath(path, row);
  row.outcome = outcome;
  const Text time = PlayTimeText(outcome.goodFrames, outcome.sampleRate);
  row.seconds =
      outcome.sampleRate > 0 ? double(outcome.goodFrames) * kSamplesPerFrame / outcome.sampleRate : 0;
  switch (outcome.status) {
    case FileStatus::kOk:
    case FileStatus::kStopped:
      row.verdict = Verdict::kWhole;
      row.verdictText = QStringLiteral("whole");
      break;
    case FileStatus::kBroken:
      row.verdict = Verdict::kBroken;
      row.verdictText = QStringLiteral("broken at %1").arg(Q(time));
      break;
    case FileStatus::kReadError:
      row.verdict = Verdict::kReadError;
      row.verdictText = QStringLiteral("read error at %1").arg(Q(time));
      row.doneText = QStringLiteral("not repaired");
      break;
    case FileStatus::kOpenFailed:
      row.verdict = Verdict::kOpenFailed;
      row.verdictText = QStringLiteral("open failed");
      break;
    case FileStatus::kUnrecognized:
      row.verdict = Verdict::kUnrecognized;
      row.verdictText =
          QStringLiteral("unrecognized format (%1)").arg(UnrecognizedCode(outcome.headerResult));
      break;
  }
  if (outcome.recalled) {
    row.verdict = Verdict::kUnchanged;
    row.verdictText =
        QStringLiteral("unchanged since %1").arg(Q(LocalDateText(outcome.recalledAt))) +
        (outcome.status == FileStatus::kOk ? QString() : QStringLiteral(", ") + row.verdictText);
    return row;
  }
  if (outcome.silentChange) {
    row.verdict = Verdict::kChanged;
    row.verdictText = QStringLiteral("changed since the last check, ") + row.verdictText;
  }
  row.tagged = outcome.id3() && outcome.opened();
  if (row.tagged) row.verdictText += QStringLiteral(", tagged");
  if (outcome.status != FileStatus::kBroken) return row;
  std::lock_guard<std::mutex> lock(mutex_);
  switch (mode_) {
    case BrokenMode::kRepair:
      row.done =
          outcome.repair == RepairOutcome::kRepaired || outcome.repair == RepairOutcome::kAlreadyRepaired
              ? Done::kRepaired
              : Done::kNotRepaired;
      row.doneText = RepairText(outcome.repair);
      break;
    case BrokenMode::kReport:
      row.done = Done::kOnlyReported;
      row.doneText = QStringLiteral("only reported");
      break;
    case BrokenMode::kSalvage:
      if (salvagePath_ == path) {
        row.done = salvageWritten_ ? Done::kSalvaged : Done::kNotSalvaged;
        row.doneText =
            salvageWritten_ ? QStringLiteral("salvaged to %1").arg(Q(salvageTo_)) : Q(salvageLine_);
      } else {
        row.done = Done::kNotSalvaged;
        row.doneText = QStringLiteral("not salvaged");
      }
      salvagePath_.clear();
      break;
  }
  return row;
}

void ResultsModel::Post(const FileOutcome& outcome, TextView path) {
  if (!fed) return;
  ResultRow row = MakeRow(outcome, path);
  std::lock_guard<std::mutex> lock(mutex_);
  posted_.push_back(std::move(row));
}

void ResultsModel::PostNotChecked(TextView path, NotCheckedReason reason) {
  if (!fed) return;
  ResultRow row;
  row.path = Text(path);
  SplitPath(path, row);
  row.verdict = Verdict::kNotChecked;
  row.reason = reason;
  row.outcome.status = FileStatus::kStopped;
  row.verdictText = QStringLiteral("not checked (%1)").arg(Q(NotCheckedReasonText(reason)));
  std::lock_guard<std::mutex> lock(mutex_);
  posted_.push_back(std::move(row));
}

void ResultsModel::NoteSalvage(TextView path, bool written, const Text& newPath, const Text& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  salvagePath_ = Text(path);
  salvageWritten_ = written;
  salvageTo_ = newPath;
  // The line without the path and its ": ", and without its end.
  Text rest = line.size() > path.size() + 2 ? line.substr(path.size() + 2) : line;
  while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r' || rest.back() == '.')) rest.pop_back();
  salvageLine_ = rest;
}

void ResultsModel::BeginRun(BrokenMode mode) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    posted_.clear();
    mode_ = mode;
    salvagePath_.clear();
  }
  beginResetModel();
  rows_.clear();
  for (int& count : counts_) count = 0;
  tagged_ = 0;
  endResetModel();
  emit countsChanged();
}

bool ResultsModel::TakePosted() {
  std::vector<ResultRow> taken;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    taken.swap(posted_);
  }
  if (taken.empty()) return false;
  const int first = static_cast<int>(rows_.size());
  beginInsertRows({}, first, first + static_cast<int>(taken.size()) - 1);
  for (ResultRow& row : taken) {
    Count(row, 1);
    rows_.push_back(std::move(row));
  }
  endInsertRows();
  emit countsChanged();
  return true;
}

void ResultsModel::Count(const ResultRow& row, int by) {
  counts_[static_cast<int>(row.verdict)] += by;
  if (row.tagged) tagged_ += by;
}

void ResultsModel::Update(int index, ResultRow row) {
  Count(rows_[static_cast<std::size_t>(index)], -1);
  Count(row, 1);
  row.touched = true;
  rows_[static_cast<std::size_t>(index)] = std::move(row);
  emit dataChanged(this->index(index, 0), this->index(index, kColumns - 1));
  emit countsChanged();
}

QString ResultsModel::CountsText() const {
  QStringList parts;
  for (int kind = 0; kind < kVerdictKinds; ++kind) {
    if (counts_[kind] > 0)
      parts << QStringLiteral("%1 %2").arg(counts_[kind]).arg(QLatin1String(kKindWords[kind]));
  }
  if (tagged_ > 0) parts << QStringLiteral("%1 tagged").arg(tagged_);
  const int files = static_cast<int>(rows_.size());
  if (files == 0) return QStringLiteral("No results yet");
  return QStringLiteral("%1 file%2: ").arg(files).arg(files == 1 ? "" : "s") +
         parts.join(QStringLiteral(", "));
}

int ResultsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int ResultsModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumns;
}

QVariant ResultsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const ResultRow& r = row(index.row());
  const bool frames = r.outcome.opened() || r.outcome.recalled;
  if (role == Qt::TextAlignmentRole) {
    const int column = index.column();
    return column == kGood || column == kDeclared || column == kPlayTime
               ? QVariant(Qt::AlignRight | Qt::AlignVCenter)
               : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
  }
  if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
  switch (index.column()) {
    case kFolder:
      return role == Qt::ToolTipRole ? Q(r.path) : r.folder;
    case kName:
      return role == Qt::ToolTipRole ? Q(r.path) : r.name;
    case kVerdict:
      return r.verdictText;
    case kGood:
      return frames ? QVariant(r.outcome.goodFrames) : QVariant();
    case kDeclared:
      return frames ? QVariant(r.outcome.declaredFrames) : QVariant();
    case kPlayTime:
      return frames ? QVariant(Q(PlayTimeText(r.outcome.goodFrames, r.outcome.sampleRate))) : QVariant();
    case kDone:
      return r.doneText;
    default:
      return {};
  }
}

QVariant ResultsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kColumns)
    return {};
  return QString::fromLatin1(kHeaders[section]);
}

ResultsFilter::ResultsFilter(ResultsModel* source, QObject* parent)
    : QAbstractTableModel(parent), source_(source) {
  connect(source_, &QAbstractItemModel::rowsInserted, this,
          [this](const QModelIndex&, int first, int last) { Appended(first, last); });
  connect(source_, &QAbstractItemModel::modelReset, this, &ResultsFilter::Rebuild);
  connect(source_, &QAbstractItemModel::dataChanged, this,
          [this](const QModelIndex& from, const QModelIndex&) {
            // An action's row: it stays where it is shown (touched rows pass the filter).
            const auto at = std::find(shown_.begin(), shown_.end(), from.row());
            if (at == shown_.end()) return;
            const int row = static_cast<int>(at - shown_.begin());
            emit dataChanged(index(row, 0), index(row, ResultsModel::kColumns - 1));
          });
  Rebuild();
}

void ResultsFilter::SetShow(Show show) {
  if (show == show_) return;
  show_ = show;
  Rebuild();
}

int ResultsFilter::SourceRow(int row) const {
  return row >= 0 && row < rowCount() ? shown_[static_cast<std::size_t>(row)] : -1;
}

bool ResultsFilter::Accepts(int sourceRow) const {
  const ResultRow& row = source_->row(sourceRow);
  switch (show_) {
    case kAttention:
      return row.NeedsAttention();
    case kChecked:
      return row.verdict != Verdict::kUnchanged || row.NeedsAttention();
    case kEverything:
      return true;
  }
  return true;
}

bool ResultsFilter::Before(int left, int right) const {
  if (order_ == Qt::DescendingOrder) std::swap(left, right);
  const ResultRow& a = source_->row(left);
  const ResultRow& b = source_->row(right);
  switch (column_) {
    case ResultsModel::kFolder:
      return a.pathKey < b.pathKey;
    case ResultsModel::kName:
      return a.nameKey != b.nameKey ? a.nameKey < b.nameKey : a.pathKey < b.pathKey;
    case ResultsModel::kVerdict:
      if (a.verdict != b.verdict) return a.verdict < b.verdict;
      return a.seconds < b.seconds;
    case ResultsModel::kGood:
      return a.outcome.goodFrames < b.outcome.goodFrames;
    case ResultsModel::kDeclared:
      return a.outcome.declaredFrames < b.outcome.declaredFrames;
    case ResultsModel::kPlayTime:
      return a.seconds < b.seconds;
    case ResultsModel::kDone:
      if (a.done != b.done) return a.done < b.done;
      return a.doneText < b.doneText;
    default:
      return left < right;
  }
}

void ResultsFilter::Rebuild() {
  beginResetModel();
  shown_.clear();
  for (int row = 0; row < source_->rowCount(); ++row)
    if (Accepts(row)) shown_.push_back(row);
  if (column_ >= 0)
    std::stable_sort(shown_.begin(), shown_.end(), [this](int a, int b) { return Before(a, b); });
  endResetModel();
}

void ResultsFilter::Appended(int first, int last) {
  std::vector<int> batch;
  for (int row = first; row <= last; ++row)
    if (Accepts(row)) batch.push_back(row);
  if (batch.empty()) return;
  // At the end first, then (sorted) merged into place.
  const auto before = static_cast<std::ptrdiff_t>(shown_.size());
  beginInsertRows({}, static_cast<int>(before), static_cast<int>(before + std::ssize(batch)) - 1);
  shown_.insert(shown_.end(), batch.begin(), batch.end());
  endInsertRows();
  if (column_ < 0) return;
  std::vector<int> order = shown_;
  auto less = [this](int a, int b) { return Before(a, b); };
  std::stable_sort(order.begin() + before, order.end(), less);
  std::inplace_merge(order.begin(), order.begin() + before, order.end(), less);
  Reorder(std::move(order));
}

void ResultsFilter::Reorder(std::vector<int> order) {
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  const QModelIndexList kept = persistentIndexList();
  std::vector<int> sources;
  for (const QModelIndex& index : kept) sources.push_back(SourceRow(index.row()));
  shown_ = std::move(order);
  // Where each source row is shown now.
  std::vector<int> place(static_cast<std::size_t>(source_->rowCount()), -1);
  for (std::size_t row = 0; row < shown_.size(); ++row)
    place[static_cast<std::size_t>(shown_[row])] = int(row);
  QModelIndexList moved;
  for (qsizetype i = 0; i < kept.size(); ++i) {
    const int source = sources[static_cast<std::size_t>(i)];
    moved << (source < 0 ? QModelIndex() : index(place[static_cast<std::size_t>(source)], kept[i].column()));
  }
  changePersistentIndexList(kept, moved);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void ResultsFilter::sort(int column, Qt::SortOrder order) {
  column_ = column;
  order_ = order;
  std::vector<int> sorted = shown_;
  if (column_ < 0) {
    std::sort(sorted.begin(), sorted.end());
  } else {
    std::stable_sort(sorted.begin(), sorted.end(), [this](int a, int b) { return Before(a, b); });
  }
  Reorder(std::move(sorted));
}

int ResultsFilter::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(shown_.size());
}

int ResultsFilter::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : ResultsModel::kColumns;
}

QVariant ResultsFilter::data(const QModelIndex& index, int role) const {
  const int source = index.isValid() ? SourceRow(index.row()) : -1;
  return source < 0 ? QVariant() : source_->data(source_->index(source, index.column()), role);
}

QVariant ResultsFilter::headerData(int section, Qt::Orientation orientation, int role) const {
  return source_->headerData(section, orientation, role);
}

}  // namespace velkscan
