// A line of the repair journal, as text.
//
// A journal opens with kJournalHeading, so that "a journal of ours" is a
// fact: a file that holds anything else is never appended to. (Journals of
// earlier versions have no heading; their first line is a repair line.)
// A repair line is "velkscan-repair", the header offset, the 32 header bytes before
// and after the rewrite in hex, and the absolute path, separated by tabs and
// ended by "\n". The path is written with "\\", "\t", "\n" and "\r" escaped,
// so any file name survives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "stream/streaminfo.h"

namespace velkscan::journal {

struct JournalEntry {
  std::string path;
  uint32_t offset = 0;
  uint8_t before[kHeaderBlockSize] = {};
  uint8_t after[kHeaderBlockSize] = {};
};

inline constexpr std::string_view kJournalHeading =
    "# velkscan-cli repair journal: velkscan-cli --undo FILE puts the old header bytes back";

std::string FormatJournalLine(const JournalEntry& entry);  // with its "\n"
std::optional<JournalEntry> ParseJournalLine(std::string_view line);

// Longest journal line taken: a path of 4096 bytes escaped, and the rest.
inline constexpr std::size_t kMaxJournalLine = 2 * 4096 + 256;
// Most lines taken from one journal.
inline constexpr std::size_t kMaxJournalEntries = 1 << 20;

// Whether the text (a journal's first line, without its line end) opens a
// journal of ours: the heading, or a repair line of an older journal.
bool IsJournalFirstLine(std::string_view line);

}  // namespace velkscan::journal
