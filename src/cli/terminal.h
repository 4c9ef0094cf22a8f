// The terminal as the display of a scan job: the report on standard output
// (line ends "\n"), or one JSON object per file and a summary with --json; a
// progress line on standard error when it is a terminal; and the tallies
// the exit status is made of.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "cli/recovery.h"
#include "cli/remembered.h"
#include "scan/display.h"

namespace velkscan::cli {

struct TerminalOptions {
  bool json = false;
  bool progress = false;  // draw the progress line on standard error
  // After the summary, what the run did: "Repaired N files." (with the
  // journal, shown as the report shows names, and its undo), "Salvaged N
  // copies under DIR."; after a stop each only when it is not none.
  bool repair = false;
  std::string journal;  // absolute; empty: none
  std::string salvageDir;
  std::string (*shownPath)(std::string_view path) = nullptr;
};

// How a job came to its end, for Finish.
struct JobEnd {
  bool ended = false;       // false: stopped
  uint32_t listed = 0;      // files the job had to check
  uint32_t errorFiles = 0;  // the job's count, when it ended
  uint32_t notChecked = 0;  // paths listed as not checked
};

using store::StatusName;

// A path as a terminal shows it: control characters (C0, DEL, C1), bytes
// that are not UTF-8 and the backslash as \xHH (a backslash as \\), so
// no name can move the cursor, recolour the screen or start a new line.
Text EscapeForTerminal(TextView path);
// True when the text is UTF-8 throughout; its bytes in lower-case hex, for
// the JSON "pathHex" of a name that is not.
bool IsUtf8(TextView text);
std::string Hex(TextView text);

class TerminalDisplay : public ScanDisplay {
 public:
  TerminalDisplay(std::FILE* out, std::FILE* err, const TerminalOptions& options);

  void ShowReport(TextView report) override;
  void ShowMessage(TextView) override {}
  void SetProgress(uint32_t) override {}
  void SetButtonText(TextView) override {}
  void EnableButton(bool) override {}
  void AcceptDrops(bool) override {}
  void FileReported(const FileOutcome& outcome, TextView path) override;
  void PathNotChecked(TextView path, NotCheckedReason reason) override;
  void ShowFigures(const JobFigures& figures) override;

  // After the job, the progress line gone: the JSON summary ("stopped" and
  // the tallies so far after a stop), or the lines of what the run did; a
  // stop says on standard error how far it came.
  void Finish(const JobEnd& end);

  bool damaged() const { return damaged_; }            // a file broken or unrecognised
  bool openFailed() const { return openFailed_; }      // a file that could not be opened or read
  bool repairFailed() const { return repairFailed_; }  // a header that should have been rewritten was not
  bool outputFailed() const { return outputFailed_; }  // standard output went away

  // Called when standard output can no longer be written (a closed pipe).
  void (*onOutputFailed)() = nullptr;
  // --map and --salvage: what to add under each file's lines; null: nothing.
  const RecoveryOptions* recovery = nullptr;
  // The store of remembered checks: each file recorded (and compared); null: none.
  const RememberOptions* remember = nullptr;

 private:
  void Write(const std::string& text);
  void ClearProgressLine();

  std::FILE* out_;
  std::FILE* err_;
  TerminalOptions options_;
  std::size_t printed_ = 0;  // characters of the report already on standard output
  bool progressShown_ = false;
  bool repairFailed_ = false;
  bool damaged_ = false;
  bool openFailed_ = false;
  bool outputFailed_ = false;
  uint32_t unchanged_ = 0, silentChanges_ = 0;
  uint32_t ok_ = 0, broken_ = 0, unrecognized_ = 0, openFailures_ = 0, tagged_ = 0, repaired_ = 0;
  uint32_t reported_ = 0, errorFiles_ = 0, salvaged_ = 0;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace velkscan::cli
