// The repair journal: one line per header rewrite, enough to put the old
// bytes back.
//
// A line is "velkscan-repair", the header offset, the 32 header bytes before
// and after the rewrite in hex, and the path, separated by tabs. The path is
// written with "\\", "\t", "\n" and "\r" escaped, so any file name survives.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "stream/streaminfo.h"

namespace velkscan::cli {

struct JournalEntry {
  std::string path;
  uint32_t offset = 0;
  uint8_t before[kHeaderBlockSize] = {};
  uint8_t after[kHeaderBlockSize] = {};
};

std::string FormatJournalLine(const JournalEntry& entry);  // with its "\n"
std::optional<JournalEntry> ParseJournalLine(const std::string& line);

// Puts the old bytes back in every file of the journal that still holds the
// repaired ones, newest entry first, and prints what it did on out. 0 when
// every entry was restored, 1 when some were not, 2 when the journal cannot
// be read or has a line that is not an entry (nothing is changed then).
int UndoJournal(const std::string& journalPath, bool keepTimes, std::FILE* out, std::FILE* err);

}  // namespace velkscan::cli
