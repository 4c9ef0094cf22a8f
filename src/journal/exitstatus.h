// The exit statuses of velkscan-cli (--undo's among them), each with the
// words its --help says for it. The help prints this table, and the manual
// page's EXIT STATUS is checked against that help (tests/package).
#pragma once

namespace velkscan {

enum class ExitStatus : int {
  kWhole = 0,           // every file checked and found whole; --undo: every line restored
  kDamaged = 1,         // a file broken or of unrecognised format; --undo, --accept: some refused
  kUsage = 2,           // bad usage, nothing to check, a journal or store that cannot serve
  kNotAllChecked = 3,   // nothing damaged, but a file not opened or read, or a path not checked
  kRepairFailed = 4,    // a repair or salvaged copy asked for did not happen, or the store failed
  kStopped = 130,       // a stop signal, or a wait for the store given up
  kOutputFailed = 141,  // standard output closed or not writable
};

constexpr int Code(ExitStatus status) {
  return static_cast<int>(status);
}

struct ExitStatusMeaning {
  ExitStatus status;
  const char* text;
};

inline constexpr ExitStatusMeaning kExitStatusMeanings[] = {
    {ExitStatus::kWhole,
     "every file was checked and found whole; --undo: every line restored (or already back)"},
    {ExitStatus::kDamaged,
     "a file is broken or of unrecognised format (also after its repair); --undo: some lines refused; "
     "--accept: some PATH not accepted"},
    {ExitStatus::kUsage,
     "bad usage (also an empty FILE or DIR, a journal or store that is a Velk file, a path to check or "
     "another program's file), no file with a Velk extension, a file list, journal or store that cannot be "
     "read or cannot serve; --history: a PATH has no record"},
    {ExitStatus::kNotAllChecked,
     "no file is damaged, but some could not be opened or read (a read error is not damage: such a file is "
     "never written) or a path was not checked (missing, unreadable, too long, another file system)"},
    {ExitStatus::kRepairFailed,
     "a repair failed, could not be journalled, found its file changed during the check or read-only; a "
     "salvaged copy was not written; or the store failed"},
    {ExitStatus::kStopped,
     "stopped (Ctrl-C, SIGTERM, SIGHUP, SIGQUIT; also while another program holds the store: its last "
     "records are then not written)"},
    {ExitStatus::kOutputFailed, "standard output was closed or could not be written"},
};

}  // namespace velkscan
