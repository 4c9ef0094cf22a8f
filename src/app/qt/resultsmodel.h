// ResultsModel: the table of a run's results, a row per file (or path not
// checked) with its folder and name, verdict, frames, play time and what was
// done; ResultsFilter: its sorted and filtered view.
//
// Rows are made on the worker's thread (Post: the texts of a row are built
// there, so the window's thread pays only for taking them) and taken by the
// window's thread in batches (TakePosted, at each display update): one
// beginInsertRows for a batch at the end, whatever the number of rows
// before it. The filter compares the rows themselves, not their display
// texts, so sorting or filtering 100,000 rows takes a fraction of a second
// (qt_display_bench prints it).
#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/text.h"
#include "scan/filecheck.h"
#include "scan/filelist.h"

namespace velkscan {

// What the check found, one kind per row; the order of the counts line.
enum class Verdict {
  kWhole,
  kBroken,
  kReadError,
  kUnrecognized,
  kOpenFailed,
  kNotChecked,
  kChanged,
  kUnchanged
};
inline constexpr int kVerdictKinds = 8;

// What became of a row's file.
enum class Done {
  kNothing,       // whole, or nothing asked for
  kRepaired,      // the header rewritten (journalled)
  kNotRepaired,   // a repair asked for and not made (the text says why)
  kSalvaged,      // a copy of the good frames written (doneText: where)
  kNotSalvaged,   // a copy asked for and not written (the text says why)
  kOnlyReported,  // "Only report": the file left as it is
  kUndone,        // the repair taken back from the journal
};

struct ResultRow {
  Text path;  // as listed
  QString folder, name;
  // Folder and name case-folded (UTF-8, folder first): the sort compares
  // these bytes.
  std::string pathKey, nameKey;
  Verdict verdict = Verdict::kWhole;
  bool tagged = false;  // an ID3v2 tag before the stream
  Done done = Done::kNothing;
  QString verdictText, doneText;
  double seconds = 0;  // play time of the good frames
  FileOutcome outcome;
  NotCheckedReason reason = NotCheckedReason::kMissing;
  bool touched = false;  // an action changed the row: it stays in view

  // Broken, unreadable, unrecognised, tagged, not checked or changed, or
  // touched by an action: the rows the attention filter keeps.
  bool NeedsAttention() const;
};

// What the run did with broken files, for a row's Done column.
enum class BrokenMode { kRepair, kSalvage, kReport };

class ResultsModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { kFolder, kName, kVerdict, kGood, kDeclared, kPlayTime, kDone, kColumns };

  explicit ResultsModel(QObject* parent = nullptr);

  // The worker's threads. Off: rows are not kept (the window as it was
  // without a table, for the benchmark).
  std::atomic<bool> fed{true};
  void Post(const FileOutcome& outcome, TextView path);
  void PostNotChecked(TextView path, NotCheckedReason reason);
  // Before Post for the same file, on the same thread: where its copy went,
  // or why not (the copy's line without the path).
  void NoteSalvage(TextView path, bool written, const Text& newPath, const Text& line);

  // The window's thread.
  // A new run: the table emptied; broken files get what mode says.
  void BeginRun(BrokenMode mode);
  // Takes the rows posted since the last call; true when there were any.
  bool TakePosted();

  const ResultRow& row(int index) const { return rows_[static_cast<std::size_t>(index)]; }
  // A row changed by an action (undone, checked again, salvaged): touched.
  void Update(int index, ResultRow row);
  // Rows of each verdict (unchanged ones included) and tagged files.
  const int* counts() const { return counts_; }
  int tagged() const { return tagged_; }
  QString CountsText() const;
  // The row of a file's outcome (any thread).
  ResultRow MakeRow(const FileOutcome& outcome, TextView path);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 signals:
  void countsChanged();

 private:
  void Count(const ResultRow& row, int by);

  std::vector<ResultRow> rows_;
  int counts_[kVerdictKinds] = {};
  int tagged_ = 0;

  std::mutex mutex_;  // guards what follows
  std::vector<ResultRow> posted_;
  BrokenMode mode_ = BrokenMode::kRepair;
  Text salvagePath_;  // NoteSalvage's file
  bool salvageWritten_ = false;
  Text salvageTo_, salvageLine_;
};

// The table's rows sorted by a column and filtered by what to show: a list
// of the model's rows in the order shown. A batch of rows appended is
// filtered alone, added at the end, and (when a column sorts) sorted alone
// and merged into the order in one pass; a sort or a filter is one sort of
// row numbers by the rows' own keys.
class ResultsFilter : public QAbstractTableModel {
  Q_OBJECT

 public:
  // The order of the window's "Show" choice.
  enum Show { kAttention, kChecked, kEverything };

  explicit ResultsFilter(ResultsModel* source, QObject* parent = nullptr);
  void SetShow(Show show);
  Show show() const { return show_; }
  // The model's row shown at a row of this one; -1 for none.
  int SourceRow(int row) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  // column -1: the list order.
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

 private:
  bool Accepts(int sourceRow) const;
  bool Before(int a, int b) const;  // in the order of column_ and order_
  void Appended(int first, int last);
  void Rebuild();
  // The rows put in a new order (the same rows), the view's places kept.
  void Reorder(std::vector<int> order);

  ResultsModel* source_;
  std::vector<int> shown_;  // source rows, in the order shown
  Show show_ = kChecked;
  int column_ = -1;
  Qt::SortOrder order_ = Qt::AscendingOrder;
};

}  // namespace velkscan
