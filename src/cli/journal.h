// The repair journal: one line per header rewrite, written (and synced)
// before the rewrite, enough to put the old bytes back.
//
// A journal opens with kJournalHeading, so that "a journal of ours" is a
// fact: a file that holds anything else is never appended to. (Journals of
// earlier versions have no heading; their first line is a repair line.)
// A repair line is "velkscan-repair", the header offset, the 32 header bytes before
// and after the rewrite in hex, and the absolute path, separated by tabs and
// ended by "\n". The path is written with "\\", "\t", "\n" and "\r" escaped,
// so any file name survives.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stream/streaminfo.h"

namespace velkscan::cli {

struct JournalEntry {
  std::string path;
  uint32_t offset = 0;
  uint8_t before[kHeaderBlockSize] = {};
  uint8_t after[kHeaderBlockSize] = {};
};

inline constexpr std::string_view kJournalHeading =
    "# velkscan-cli repair journal: velkscan-cli --undo FILE puts the old header bytes back";

std::string FormatJournalLine(const JournalEntry& entry);  // with its "\n"

// The path made absolute against the working folder, as it is otherwise (no
// link resolved); nullopt when the working folder cannot be had.
std::optional<std::string> AbsolutePath(const std::string& path);
std::optional<JournalEntry> ParseJournalLine(std::string_view line);

// Longest journal line taken: a path of 4096 bytes escaped, and the rest.
inline constexpr std::size_t kMaxJournalLine = 2 * 4096 + 256;
// Most lines taken from one journal.
inline constexpr std::size_t kMaxJournalEntries = 1 << 20;

// Whether the text (a journal's first line, without its line end) opens a
// journal of ours: the heading, or a repair line of an older journal.
bool IsJournalFirstLine(std::string_view line);

// Why journalPath may not take repair lines for a job over these paths, or
// "" when it may: a Velk file name, one of the paths to check, a folder, or
// an existing file with other content than a journal of ours. Reads only.
std::string RefuseJournalPath(const std::string& journalPath, const std::vector<std::string>& paths);

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

// Exit statuses of UndoJournal.
inline constexpr int kUndoDone = 0;            // every line restored (or already back)
inline constexpr int kUndoRefused = 1;         // some lines were refused, the rest done
inline constexpr int kUndoUnread = 2;          // the journal could not be read: nothing changed
inline constexpr int kUndoOutputFailed = 141;  // out could not be written: stopped before the next line

// Puts the old bytes back, newest line first, wherever all of this holds:
// the path is absolute and has a Velk extension; the file's stream header,
// read afresh, is at the journalled offset and of a version this program
// repairs; the journalled old and new blocks differ only inside that
// version's frame-count field; and the file holds the new block now. A line
// that fails any of it is refused with its reason, and the rest go on.
// Prints a line per journal line on out, journal faults on err, every name
// as shown() gives it (as it is when null). A line that cannot be printed
// stops the undo there: no further line is undone.
// restored (when set) is told each path whose header was put back.
using ShowName = std::string (*)(std::string_view);
using Restored = std::function<void(const std::string& path)>;
int UndoJournal(const std::string& journalPath, bool keepTimes, std::FILE* out, std::FILE* err,
                ShowName shown = nullptr, const Restored& restored = {});

}  // namespace velkscan::cli
