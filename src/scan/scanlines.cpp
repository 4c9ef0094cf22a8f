// The report lines of a file and its end, written here for the serial worker
// and the parallel job alike.
#include "scan/scanjob.h"

namespace velkscan {

Text ScanJob::ShownPath(const FileOutcome& outcome) const {
  return hooks.reportPath != nullptr ? hooks.reportPath(PathOf(outcome)) : PathOf(outcome);
}

void ScanJob::ApplySeparatorRule() {
  if (id3Count == 0 && errorCount == 0) report.AppendReport(kSeparatorLine, {});
}

void ScanJob::ReportSetupFailure(const FileOutcome& outcome) {
  if (outcome.status == FileStatus::kReadError) {  // the header could not be read: as CommitOutcome
    if (outcome.id3()) ReportId3(outcome);
    ReportFramesLine(kReadErrorLine, outcome);
    return;
  }
  // No separator before these two lines.
  if (outcome.status == FileStatus::kOpenFailed) {
    report.AppendReport(kOpenFailedLine, {ShownPath(outcome)});
  } else {
    report.AppendReport(kUnrecognizedLine, {ShownPath(outcome), UnrecognizedCode(outcome.headerResult)});
  }
  ShowReport();
  ++errorCount;
}

bool ScanJob::Recall(FileOutcome& outcome) {
  if (!hooks.recall) return false;
  if (outcome.index < fileList.stamps.size() && fileList.stamps[outcome.index]) {
    outcome.stamp = *fileList.stamps[outcome.index];
  }
  if (!hooks.recall(PathOf(outcome), outcome)) {
    outcome.stamp.reset();  // the check reads the file's own
    return false;
  }
  outcome.recalled = true;
  return true;
}

void ScanJob::ReportRecalled(const FileOutcome& outcome) {
  Text result = kRecalledWhole;
  if (outcome.status == FileStatus::kBroken) {
    result = FormatText(kRecalledBroken, {outcome.goodFrames, outcome.declaredFrames,
                                          PlayTimeText(outcome.goodFrames, outcome.sampleRate)});
    ++errorCount;
  } else if (outcome.status != FileStatus::kOk) {
    result = kRecalledUnrecognized;
    ++errorCount;
  }
  report.AppendReport(kUnchangedLine, {ShownPath(outcome), LocalDateText(outcome.recalledAt), result});
  ShowReport();
  ++recalledCount;
}

void ScanJob::ReportId3(const FileOutcome& outcome) {
  ApplySeparatorRule();
  report.AppendReport(kId3Line, {ShownPath(outcome)});
  ShowReport();
  ++id3Count;
}

// "broken after frame" and "read error after frame": an error with the
// good frames, the declared frames and their play time.
void ScanJob::ReportFramesLine(TextView line, const FileOutcome& outcome) {
  const Text time = PlayTimeText(outcome.goodFrames, outcome.sampleRate);
  ApplySeparatorRule();
  ++errorCount;
  report.AppendReport(line, {ShownPath(outcome), outcome.goodFrames, outcome.declaredFrames, time});
  ShowReport();
}

void ScanJob::ReportRepair(const FileOutcome& outcome) {
  switch (outcome.repair) {
    // A header that holds the good frames' count already (it declared none,
    // or another repair came first) gets no line: nothing was left to write.
    case RepairOutcome::kNone:
    case RepairOutcome::kRepaired:
    case RepairOutcome::kAlreadyRepaired:
      return;
    case RepairOutcome::kReadOnly:
      report.AppendReport(kNotRepairedLine, {ShownPath(outcome)});
      break;
    case RepairOutcome::kJournalFailed:
      report.AppendReport(kRepairFailedLine, {ShownPath(outcome), kJournalFailedReason});
      break;
    case RepairOutcome::kWriteFailed:
      report.AppendReport(kRepairFailedLine, {ShownPath(outcome), kWriteFailedReason});
      break;
    case RepairOutcome::kChanged:
      report.AppendReport(kChangedLine, {ShownPath(outcome)});
      break;
  }
  ShowReport();
}

void ScanJob::AfterRepair(const FileOutcome& outcome) {
  if (outcome.repair != RepairOutcome::kJournalFailed) return;
  rewriteRefused_.store(true);
  if (settings.stopAtRefusedRewrite) running_.store(false);
}

void ScanJob::EndFile(const FileOutcome& outcome) {
  // The length field is signed 32-bit; taken unsigned, as the list measures
  // sizes, so a file of 2 GiB or more does not count backwards.
  if (outcome.opened()) bytesDone += static_cast<uint32_t>(outcome.fileLength);
  const bool checked = !outcome.recalled && outcome.status != FileStatus::kStopped;
  const std::size_t before = report.text.size();
  Text finding;
  if (hooks.lateFinding && checked) finding = hooks.lateFinding(PathOf(outcome), outcome);
  if (!finding.empty()) {
    report.AppendReport(VTEXT("%s: %s\r\n"), {ShownPath(outcome), finding});
    ++errorCount;
  }
  if (hooks.afterFile && checked)
    report.AppendReport(VTEXT("%s"), {hooks.afterFile(PathOf(outcome), outcome)});
  if (report.text.size() != before) ShowReport();
  if (finding.empty()) return display_.FileReported(outcome, PathOf(outcome));
  FileOutcome found = outcome;
  found.silentChange = true;
  display_.FileReported(found, PathOf(outcome));
}

void ScanJob::CommitOutcome(const FileOutcome& outcome, ShownAhead shown) {
  if (outcome.recalled) {
    ReportRecalled(outcome);
  } else if (outcome.opened()) {
    if (outcome.id3() && shown == ShownAhead::kNothing) ReportId3(outcome);
    if (outcome.status == FileStatus::kBroken) {
      if (shown != ShownAhead::kBrokenLine) ReportFramesLine(kBrokenLine, outcome);
      ReportRepair(outcome);
    }
    if (outcome.status == FileStatus::kReadError) ReportFramesLine(kReadErrorLine, outcome);
  } else {
    ReportSetupFailure(outcome);
  }
  EndFile(outcome);
  if (currentIndex < fileList.count()) ++currentIndex;
}

}  // namespace velkscan
