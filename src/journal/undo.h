// --undo: a repair journal read back, newest line first, and each header
// whose line still holds put back as it was.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "journal/exitstatus.h"

namespace velkscan::journal {

// Exit statuses of UndoJournal, by the names of its outcomes: every line
// restored (or already back); some refused, the rest done; the journal not
// read, nothing changed; out not writable, stopped before the next line.
inline constexpr int kUndoDone = Code(ExitStatus::kWhole);
inline constexpr int kUndoRefused = Code(ExitStatus::kDamaged);
inline constexpr int kUndoUnread = Code(ExitStatus::kUsage);
inline constexpr int kUndoOutputFailed = Code(ExitStatus::kOutputFailed);

// Puts the old bytes back, newest line first, wherever all of this holds:
// the path is absolute and has a Velk extension; the file's stream header,
// read afresh, is at the journalled offset and of a version this program
// repairs; the journalled old and new blocks differ only inside that
// version's frame-count field; and the file holds the new block now. A line
// that fails any of it is refused with its reason, and the rest go on.
// Prints a line per journal line on out, journal faults on err after the
// program's name, every name as shown() gives it (as it is when null). A line that cannot be printed
// stops the undo there: no further line is undone.
// restored (when set) is told each path whose header was put back. With
// only set, the lines of other paths (and lines that are none) are passed
// over in silence: one file's repairs undone.
using ShowName = std::string (*)(std::string_view);
using Restored = std::function<void(const std::string& path)>;
using OnlyPath = std::function<bool(const std::string& path)>;
int UndoJournal(const std::string& journalPath, bool keepTimes, std::FILE* out, std::FILE* err,
                ShowName shown = nullptr, const Restored& restored = {}, const char* program = "velkscan-cli",
                const OnlyPath& only = {});

}  // namespace velkscan::journal
