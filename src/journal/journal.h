// The repair journal: one line per header rewrite (journalline.h), written
// and synced before the rewrite, enough to put the old bytes back (undo.h).
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "journal/journalline.h"

namespace velkscan::journal {

// The path made absolute against the working folder, as it is otherwise (no
// link resolved); nullopt when the working folder cannot be had.
std::optional<std::string> AbsolutePath(const std::string& path);

// Why journalPath may not take repair lines for a job over these paths, or
// "" when it may: a Velk file name, one of the paths to check, a folder, or
// an existing file with other content than a journal of ours. Reads only.
std::string RefuseJournalPath(const std::string& journalPath, const std::vector<std::string>& paths);

// Makes a new journal at path, which must not exist: its heading is written
// and synced under a name of its own, which only then becomes path (never in
// place of a file that got there meanwhile), so the journal appears whole or
// not at all. "" when made, else the reason (EEXIST's text when path exists).
std::string CreateJournal(const std::string& path);

class JournalWriter {
 public:
  JournalWriter() = default;
  JournalWriter(const JournalWriter&) = delete;
  JournalWriter& operator=(const JournalWriter&) = delete;
  ~JournalWriter();

  // Opens (creates) the journal for appending, and writes the heading into
  // an empty one; false with error() set.
  bool Open(const std::string& path);
  // Writes the entry's line, then syncs the journal to the disk: only then
  // may the header be rewritten. False (error() says why) when any of it
  // failed; every later call then fails too. Safe from several threads.
  bool Append(JournalEntry entry);
  std::string error();

 private:
  bool WriteAndSync(const std::string& text);

  std::mutex mutex_;
  int fd_ = -1;
  std::string error_;
};

}  // namespace velkscan::journal
