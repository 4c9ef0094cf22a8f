#include "scan/scanjob.h"

#include <algorithm>
#include <new>
#include <system_error>

#include "platform/priority.h"
#include "scan/parallel.h"

namespace velkscan {

namespace {

// No percentage takes this value, so the first good frame of a job always
// sets the bar.
constexpr uint32_t kNoPercent = 0xFFFFFFFFu;

// Good frames between two looks at the clock for the figures.
constexpr uint32_t kFramesPerFigureCheck = 256;
constexpr auto kFigureInterval = std::chrono::milliseconds(250);

// A checker may run this many files per checker ahead of the oldest file not
// yet reported: results wait in a ring of slots, allocated once.
constexpr uint32_t kSlotsPerChecker = 64;
constexpr auto kParallelWakeInterval = std::chrono::milliseconds(100);

// A notice names this many overlong paths and sums up the rest in one line.
constexpr std::size_t kOverlongPathsListed = 10;
constexpr const Char* kOverlongNoticeText =
    VTEXT("These paths are too long to be opened and were not added:\r\n");

}  // namespace

ScanJob::~ScanJob() {
  if (worker_.joinable()) {
    idle.store(1);
    worker_.join();
  }
  CloseScanFile();
}

// --- The window's side ---

void ScanJob::ShowInitialState() {
  display_.AcceptDrops(true);
  display_.SetProgress(0);
  display_.SetButtonText(kScanButtonText);
  display_.ShowMessage(kPromptText);
  display_.EnableButton(false);
  if (HasWork()) {
    ShowQueuedCount();
    display_.EnableButton(true);
    display_.FocusButton();
  }
}

bool ScanJob::AfterAdding(uint32_t before, std::size_t notCheckedBefore) {
  // Paths that will not be checked make a job too: its report says so.
  if (fileList.count() <= before && fileList.notChecked.size() <= notCheckedBefore) return false;
  ShowQueuedCount();
  if (before == 0 && notCheckedBefore == 0) {
    display_.EnableButton(true);
    display_.FocusButton();
  }
  return true;
}

bool ScanJob::AddPaths(const std::vector<Text>& paths) {
  if (!AcceptsFiles()) return false;
  const uint32_t before = fileList.count();
  const std::size_t notCheckedBefore = fileList.notChecked.size();
  fileList.AddPaths(paths);
  return AfterAdding(before, notCheckedBefore);
}

bool ScanJob::AddCommandLine(TextView text, bool isOwnCommandLine) {
  if (!AcceptsFiles()) return false;
  const uint32_t before = fileList.count();
  const std::size_t notCheckedBefore = fileList.notChecked.size();
  fileList.AddCommandLine(text, isOwnCommandLine);
  return AfterAdding(before, notCheckedBefore);
}

Text ScanJob::TakeOverlongNotice() {
  // Nothing is added during a scan, and the worker clears the list at its end.
  if (running()) return Text();
  const std::vector<NotCheckedPath>& notChecked = fileList.notChecked;
  if (notChecked.size() <= overlongTold_) return Text();
  std::vector<const Text*> refused;
  for (std::size_t i = overlongTold_; i < notChecked.size(); ++i) {
    if (notChecked[i].reason == NotCheckedReason::kTooLong) refused.push_back(&notChecked[i].path);
  }
  overlongTold_ = notChecked.size();
  if (refused.empty()) return Text();
  Text text = kOverlongNoticeText;
  std::size_t listed = 0;
  for (; listed < refused.size() && listed < kOverlongPathsListed; ++listed) {
    text += VTEXT("\r\n");
    text += *refused[listed];
  }
  if (const std::size_t rest = refused.size() - listed; rest > 0) {
    AppendFormat(text, VTEXT("\r\n... and %u more"), {static_cast<uint32_t>(rest)});
  }
  return text;
}

bool ScanJob::PressButton() {
  if (running()) {
    StopScan();
    return true;
  }
  // Just after a job has ended the button may still read "Stop" (the change
  // is on its way) while the list is already empty: nothing to start.
  if (!HasWork()) return true;
  return StartScan();
}

void ScanJob::Close() {
  if (running()) StopScan();
  WaitForWorker();
}

void ScanJob::WaitForWorker() {
  if (worker_.joinable()) worker_.join();
}

bool ScanJob::StartScan() {
  display_.AcceptDrops(false);
  WaitForWorker();
  try {
    report.Allocate(fileList.count());
    report.StartReport(fileList.count());
    for (const NotCheckedPath& path : fileList.notChecked) {
      report.AppendReport(kNotCheckedLine, {reportPath != nullptr ? reportPath(path.path) : path.path,
                                            NotCheckedReasonText(path.reason)});
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  ended_ = false;
  rewriteRefused_.store(false);
  // Never read, so never "no errors found"; and no separator after them, as
  // after a file that could not be opened.
  errorCount = static_cast<uint32_t>(fileList.notChecked.size());
  display_.SetButtonText(kStopButtonText);
  display_.BeginReport();
  // Running from here on, so a stop that the first report line brings about
  // (a closed standard output) holds for the worker.
  idle.store(0);
  for (const NotCheckedPath& path : fileList.notChecked) display_.PathNotChecked(path.path, path.reason);
  ShowReport();
  try {
    worker_ = startThread([this] { ScanWorker(); });
  } catch (const std::system_error&) {
    idle.store(1);
    return false;
  }
  return true;
}

void ScanJob::ResetCounters() {
  errorCount = 0;
  id3Count = 0;
  recalledCount = 0;
  fileList.totalBytes = 0;
  bytesDone = 0;
  currentIndex = 0;
  overlongTold_ = 0;  // the list, and the paths not checked with it, are gone
}

void ScanJob::StopScan() {
  idle.store(1);
  WaitForWorker();
  CloseScanFile();
  fileList.ClearFileList();
  ResetCounters();
  display_.SetButtonText(kScanButtonText);
  display_.ShowMessage(kPromptText);
  display_.SetProgress(0);
  display_.EnableButton(false);
  display_.AcceptDrops(true);
}

// --- Report lines ---

Text ScanJob::ShownPath(const FileOutcome& outcome) const {
  return reportPath != nullptr ? reportPath(PathOf(outcome)) : PathOf(outcome);
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
  if (!recall) return false;
  if (outcome.index < fileList.stamps.size() && fileList.stamps[outcome.index]) {
    outcome.stamp = *fileList.stamps[outcome.index];
    outcome.stampKnown = true;
  }
  if (!recall(PathOf(outcome), outcome)) {
    outcome.stampKnown = false;  // the check reads the file's own
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

void ScanJob::ReportRepairNote(const FileOutcome& outcome) {
  switch (outcome.repairNote) {
    case RepairNote::kNone:
      return;
    case RepairNote::kReadOnly:
      report.AppendReport(kNotRepairedLine, {ShownPath(outcome)});
      break;
    case RepairNote::kJournalFailed:
      report.AppendReport(kRepairFailedLine, {ShownPath(outcome), kJournalFailedReason});
      break;
    case RepairNote::kWriteFailed:
      report.AppendReport(kRepairFailedLine, {ShownPath(outcome), kWriteFailedReason});
      break;
    case RepairNote::kChanged:
      report.AppendReport(kChangedLine, {ShownPath(outcome)});
      break;
    case RepairNote::kAlreadyRepaired:
      report.AppendReport(kAlreadyRepairedLine, {ShownPath(outcome)});
      break;
  }
  ShowReport();
}

void ScanJob::AfterRepair(const FileOutcome& outcome) {
  if (outcome.repairNote != RepairNote::kJournalFailed) return;
  rewriteRefused_.store(true);
  idle.store(1);
}

void ScanJob::EndFile(const FileOutcome& outcome) {
  // The length field is signed 32-bit; taken unsigned, as the list measures
  // sizes, so a file of 2 GiB or more does not count backwards.
  if (outcome.opened()) bytesDone += static_cast<uint32_t>(outcome.fileLength);
  if (lateFinding && !outcome.recalled && outcome.status != FileStatus::kStopped) {
    const Text finding = lateFinding(PathOf(outcome), outcome);
    if (!finding.empty()) {
      report.AppendReport(VTEXT("%s: %s\r\n"), {ShownPath(outcome), finding});
      ShowReport();
      ++errorCount;
      FileOutcome found = outcome;
      found.silentChange = true;
      display_.FileReported(found, PathOf(outcome));
      return;
    }
  }
  display_.FileReported(outcome, PathOf(outcome));
}

void ScanJob::CommitOutcome(const FileOutcome& outcome) {
  if (outcome.recalled) {
    ReportRecalled(outcome);
  } else if (outcome.opened()) {
    if (outcome.id3()) ReportId3(outcome);
    if (outcome.status == FileStatus::kBroken) {
      ReportFramesLine(kBrokenLine, outcome);
      ReportRepairNote(outcome);
    }
    if (outcome.status == FileStatus::kReadError) ReportFramesLine(kReadErrorLine, outcome);
  } else {
    ReportSetupFailure(outcome);
  }
  EndFile(outcome);
  if (currentIndex < fileList.count()) ++currentIndex;
}

// --- Progress ---

void ScanJob::UpdateProgress(uint64_t bytesOfCurrent, uint32_t& lastPercent) {
  if (fileList.totalBytes == 0) return;
  const uint32_t percent = ProgressPercent(bytesDone + bytesOfCurrent, fileList.totalBytes);
  if (percent == lastPercent) return;
  lastPercent = percent;
  display_.SetProgress(percent > 100 ? 100 : percent);
}

void ScanJob::MaybeShowFigures(uint64_t bytesChecked) {
  const auto now = std::chrono::steady_clock::now();
  if (now < nextFigures_) return;
  nextFigures_ = now + kFigureInterval;
  display_.ShowFigures(JobFigures{currentIndex, fileList.count(), bytesChecked, fileList.totalBytes});
}

// --- The worker ---

int ScanJob::OpenScanFile(uint32_t index) {
  if (index >= fileList.count()) return 1;
  currentOutcome_ = FileOutcome{};
  currentOutcome_.index = index;
  if (Recall(currentOutcome_)) {
    ReportRecalled(currentOutcome_);
    EndFile(currentOutcome_);
    return 1;
  }
  if (current.Open(fileList.paths[index], CheckOptions(), currentOutcome_)) return 0;
  ReportSetupFailure(currentOutcome_);
  EndFile(currentOutcome_);
  return 1;
}

void ScanJob::EndOfJob() {
  CloseScanFile();
  const uint32_t fileCount = fileList.count();
  const uint32_t errorFiles = errorCount;
  fileList.ClearFileList();
  display_.SetProgress(0);
  display_.SetButtonText(kScanButtonText);
  jobEndCalled_ = true;
  if (atJobEnd) {
    if (const Text lines = atJobEnd(); !lines.empty()) report.AppendReport(VTEXT("%s"), {lines});
  }
  report.AppendSummary(fileCount, errorFiles, recalledCount);
  ResetCounters();
  ended_ = true;
  endedFileCount_ = fileCount;
  endedErrorCount_ = errorFiles;
  ShowReport();
  display_.EnableButton(false);
  idle.store(1);
  display_.AcceptDrops(true);
}

int ScanJob::ScanWorker() {
  if (idlePriority) LowerThreadPriority();
  nextFigures_ = std::chrono::steady_clock::now();
  jobEndCalled_ = false;
  if (atJobStart) {
    if (const Text lines = atJobStart(); !lines.empty()) {
      report.AppendReport(VTEXT("%s"), {lines});
      ShowReport();
    }
  }
  const int result = checkers > 1 ? ScanWorkerParallel() : ScanWorkerSerial();
  if (!jobEndCalled_ && atJobEnd) atJobEnd();  // stopped: nothing more is shown
  return result;
}

int ScanJob::ScanWorkerSerial() {
  uint32_t lastPercent = kNoPercent;
  uint32_t framesToFigures = kFramesPerFigureCheck;
  while (idle.load() == 0) {
    if (!current.open()) {
      const int result = OpenScanFile(currentIndex);
      if (result != 0 && currentIndex < fileList.count()) ++currentIndex;
      if (result == 0 && currentOutcome_.id3()) ReportId3(currentOutcome_);
      if (!current.open()) {
        // The end also of a list that was empty or has been emptied.
        if (currentIndex >= fileList.count()) {
          EndOfJob();
        } else {
          MaybeShowFigures(bytesDone);
        }
        continue;
      }
    }
    // The first frame of a file is checked in the turn that opened it.
    const FileCheck::Step step = current.CheckFrame(currentOutcome_);
    if (step == FileCheck::Step::kPassed) {
      UpdateProgress(current.BytesConsumed(), lastPercent);
      if (--framesToFigures == 0) {
        framesToFigures = kFramesPerFigureCheck;
        MaybeShowFigures(bytesDone + current.BytesConsumed());
      }
      continue;
    }
    if (step == FileCheck::Step::kBroken) {
      ReportFramesLine(kBrokenLine, currentOutcome_);
      current.Repair(currentOutcome_);
      ReportRepairNote(currentOutcome_);
      AfterRepair(currentOutcome_);
    }
    if (step == FileCheck::Step::kReadError) ReportFramesLine(kReadErrorLine, currentOutcome_);
    CloseScanFile();
    EndFile(currentOutcome_);
    if (currentIndex < fileList.count()) ++currentIndex;
    MaybeShowFigures(bytesDone);
  }
  return 0;
}

// Checker threads take whole files in list order and leave each result with
// the ParallelOrder; the worker reports them in list order, so the report and
// the counters come out as with one frame per turn. Each file is opened,
// checked, repaired and closed by one checker alone. At Stop the checkers end
// between frames, leaving their files untouched; the files that were
// finished (and perhaps repaired) still get their lines, in list order, but
// no summary.
int ScanJob::ScanWorkerParallel() {
  const uint32_t fileCount = fileList.count();
  const uint32_t threadCount = std::min(checkers, fileCount);
  ParallelOrder order(fileCount, checkers, kSlotsPerChecker);
  std::vector<std::atomic<uint64_t>> bytesRead(threadCount);
  const FileCheckOptions options = CheckOptions();

  auto checker = [&](uint32_t self) {
    if (idlePriority) LowerThreadPriority();
    FileOutcome outcome;
    uint32_t index;
    while (order.Take(index)) {
      outcome = FileOutcome{};
      outcome.index = index;
      if (Recall(outcome)) {
        order.Put(outcome, 0);
        continue;
      }
      CheckWholeFile(fileList.paths[index], options, idle, bytesRead[self], outcome);
      if (outcome.status == FileStatus::kStopped) return;
      AfterRepair(outcome);
      bytesRead[self].store(0, std::memory_order_relaxed);
      order.Put(outcome, outcome.opened() ? static_cast<uint32_t>(outcome.fileLength) : 0);
    }
  };

  std::vector<std::thread> threads;
  threads.reserve(threadCount);
  for (uint32_t i = 0; i < threadCount; ++i) {
    try {
      threads.push_back(startThread([&checker, i] { checker(i); }));
    } catch (const std::system_error&) {
      break;  // fewer checkers than asked: the ones there are take every file
    }
  }
  // Not even one: the worker checks the files itself, one frame per turn.
  if (threads.empty() && fileCount > 0) return ScanWorkerSerial();
  auto joinCheckers = [&] {
    order.Stop();
    for (std::thread& thread : threads) thread.join();
  };

  uint32_t lastPercent = kNoPercent;
  uint64_t shownBytes = 0;
  // The bytes read of files still in progress are summed only when the
  // worker has waited (that costs a look at every checker), so the bar is
  // kept from going back in between.
  auto showProgress = [&](uint64_t inProgress) {
    shownBytes = std::max(shownBytes, bytesDone + inProgress);
    UpdateProgress(shownBytes - bytesDone, lastPercent);
    MaybeShowFigures(shownBytes);
  };
  FileOutcome outcome;
  while (idle.load() == 0) {
    if (currentIndex >= fileCount) {
      joinCheckers();
      EndOfJob();
      return 0;
    }
    if (order.Next(currentIndex, outcome, kParallelWakeInterval)) {
      CommitOutcome(outcome);
      showProgress(order.FinishedBytes());
      continue;
    }
    uint64_t inProgress = order.FinishedBytes();
    for (const std::atomic<uint64_t>& bytes : bytesRead) inProgress += bytes.load(std::memory_order_relaxed);
    showProgress(inProgress);
  }

  // Stopped.
  joinCheckers();
  for (uint32_t index = currentIndex, end = order.taken(); index < end; ++index) {
    if (order.Leftover(index, outcome)) CommitOutcome(outcome);
  }
  return 0;
}

}  // namespace velkscan
