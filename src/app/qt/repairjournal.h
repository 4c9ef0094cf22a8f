// RepairJournal: the journal of the window's repairs, so that every one can
// be taken back.
//
// Each Scan that repairs gets a journal of its own in the user's state
// folder, $XDG_STATE_HOME/velkscan/journals (else ~/.local/state/velkscan/
// journals), named after the time the run's first repair came. It is the
// journal of velkscan-cli --repair --journal: made at that first repair and
// appearing whole with its heading, then a line per repair, each written and
// synced before its header is; velkscan-cli --undo reads it, and so does the
// report's menu (Undo). It is kept until the user removes it. A repair that
// cannot be journalled is not made: its line says so, the reason follows it
// once, and the run goes on checking.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "journal/journal.h"
#include "journal/undo.h"
#include "platform/text.h"
#include "scan/scanjob.h"

namespace velkscan {

class RepairJournal {
 public:
  // The folder of the window's journals; "" when neither XDG_STATE_HOME nor
  // HOME is an absolute path.
  static std::string Folder();

  // At Scan, while idle: a new run, with no journal yet.
  void Begin();
  // The worker's threads, before a header rewrite: its line written and
  // synced (the journal made first if need be). False: not journalled, and
  // every later call of this run fails too.
  bool Append(TextView path, const FileOutcome& planned);
  // The journal of the latest run; "" while that run has made none.
  std::string path() const;
  // After a file's lines (ScanHooks::afterFile): once a run, why its repairs
  // are no longer journalled.
  Text WhyNotJournalled(const FileOutcome& outcome);

  // What an undo of the latest run's repairs said, a line per journal line.
  struct Undone {
    int status;         // journal::kUndoDone, kUndoRefused or kUndoUnread
    std::string lines;  // "\n" line ends
  };
  // Puts back the old header of every repair of the run (velkscan-cli --undo).
  Undone Undo() const;
  // The same for the repairs of one file (as listed) only.
  Undone UndoFile(const Text& path) const;

 private:
  Undone UndoWhere(const journal::OnlyPath& only) const;

  mutable std::mutex mutex_;  // the worker's threads append, the window's thread asks and undoes
  std::string path_;
  std::unique_ptr<journal::JournalWriter> writer_;
  std::string error_;  // why this run's repairs are no longer journalled
  bool told_ = false;  // the report has had the reason
};

}  // namespace velkscan
