// The scan job's worker: one frame per turn in one thread, or checker
// threads that take whole files while the worker reports them in list order.
#include <algorithm>
#include <system_error>

#include "platform/priority.h"
#include "scan/parallel.h"
#include "scan/scanjob.h"

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

}  // namespace

// --- Progress ---

void ScanJob::UpdateProgress(uint64_t bytesOfCurrent, uint32_t& lastPercent) {
  // The files recalled are not read: their bytes are out of the measure.
  const uint64_t toRead = fileList.totalBytes - std::min(bytesSkipped, fileList.totalBytes);
  if (toRead == 0) return;
  const uint32_t percent = ProgressPercent(bytesDone + bytesOfCurrent, toRead);
  if (percent == lastPercent) return;
  lastPercent = percent;
  display_.SetProgress(percent > 100 ? 100 : percent);
}

void ScanJob::MaybeShowFigures(uint64_t bytesChecked) {
  const auto now = std::chrono::steady_clock::now();
  if (now < nextFigures_) return;
  nextFigures_ = now + kFigureInterval;
  const TextView inHand =
      currentIndex < fileList.count() ? TextView(fileList.paths[currentIndex]) : TextView();
  display_.ShowFigures(
      JobFigures{currentIndex, fileList.count(), bytesChecked, fileList.totalBytes, bytesSkipped, inHand});
}

// --- Names that join a running job ---

void ScanJob::MergeJoined() {
  std::vector<FileList> batches;
  std::vector<uint32_t> added;
  {
    // The checkers copy their paths under the lock: the list may move.
    std::lock_guard<std::mutex> lock(joinMutex_);
    batches.swap(joining_);
    joinWaiting_.store(false);
    for (FileList& batch : batches) added.push_back(fileList.Join(batch));
  }
  for (std::size_t i = 0; i < batches.size(); ++i) {
    for (const NotCheckedPath& path : batches[i].notChecked) {
      report.AppendReport(kNotCheckedLine,
                          {hooks.reportPath != nullptr ? hooks.reportPath(path.path) : path.path,
                           NotCheckedReasonText(path.reason)});
      ++errorCount;
      display_.PathNotChecked(path.path, path.reason);
    }
    report.AppendReport(kJoinedLine, {added[i], added[i] == 1 ? VTEXT("file") : VTEXT("files")});
  }
  ShowReport();
}

bool ScanJob::NothingMoreJoins() {
  std::lock_guard<std::mutex> lock(joinMutex_);
  joinClosed_ = joining_.empty();
  return joinClosed_;
}

// --- The worker ---

bool ScanJob::OpenScanFile(uint32_t index) {
  currentOutcome_ = FileOutcome{};
  currentOutcome_.index = index;
  if (!Recall(fileList.paths[index], fileList.stamps[index], currentOutcome_) &&
      current.Open(fileList.paths[index], CheckOptions(), currentOutcome_))
    return true;
  CommitOutcome(currentOutcome_);
  return false;
}

void ScanJob::EndOfJob() {
  CloseScanFile();
  const uint32_t fileCount = fileList.count();
  const uint32_t errorFiles = errorCount;
  // The last figures whenever they were last shown: every file done.
  display_.ShowFigures(JobFigures{currentIndex, fileCount, bytesDone, fileList.totalBytes, bytesSkipped, {}});
  fileList.ClearFileList();
  display_.SetProgress(settings.keepResults ? 100 : 0);
  display_.SetButtonText(kScanButtonText);
  if (hooks.atJobEnd) {
    if (const Text lines = hooks.atJobEnd(); !lines.empty()) report.AppendReport(VTEXT("%s"), {lines});
  }
  report.AppendSummary(fileCount, errorFiles, recalledCount);
  ResetCounters();
  ended_ = true;
  endedFileCount_ = fileCount;
  endedErrorCount_ = errorFiles;
  ShowReport();
  display_.EnableButton(false);
  running_.store(false);
  display_.AcceptDrops(true);
}

void ScanJob::ScanWorker() {
  if (settings.idlePriority) LowerThreadPriority();
  nextFigures_ = std::chrono::steady_clock::now();
  if (hooks.atJobStart) {
    if (const Text lines = hooks.atJobStart(); !lines.empty()) {
      report.AppendReport(VTEXT("%s"), {lines});
      ShowReport();
    }
  }
  if (settings.checkers > 1) {
    ScanWorkerParallel();
  } else {
    ScanWorkerSerial();
  }
  if (!ended_ && hooks.atJobEnd) hooks.atJobEnd();  // stopped: nothing more is shown
}

void ScanJob::ScanWorkerSerial() {
  uint32_t lastPercent = kNoPercent;
  uint32_t framesToFigures = kFramesPerFigureCheck;
  while (running_.load()) {
    if (!current.open()) {
      if (joinWaiting_.load()) MergeJoined();
      // A file done at once (recalled, not opened, not accepted) has had its
      // lines; the end also of a list that was empty or has been emptied.
      if (currentIndex >= fileList.count() || !OpenScanFile(currentIndex)) {
        if (currentIndex < fileList.count()) {
          MaybeShowFigures(bytesDone);
        } else if (NothingMoreJoins()) {
          EndOfJob();
        }
        continue;
      }
      if (currentOutcome_.id3()) ReportId3(currentOutcome_);
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
    ShownAhead shown = ShownAhead::kOpening;
    if (step == FileCheck::Step::kBroken) {
      ReportFramesLine(kBrokenLine, currentOutcome_);
      shown = ShownAhead::kBrokenLine;
      current.Repair(currentOutcome_);
      AfterRepair(currentOutcome_);
    }
    CloseScanFile();
    CommitOutcome(currentOutcome_, shown);
    MaybeShowFigures(bytesDone);
  }
}

// Checker threads take whole files in list order and leave each result with
// the ParallelOrder (a file the worker recalls it settles itself, without a
// checker); the worker reports them in list order, so the report and
// the counters come out as with one frame per turn. Each file is opened,
// checked, repaired and closed by one checker alone. At Stop the checkers end
// between frames, leaving their files untouched; the files that were
// finished (and perhaps repaired) still get their lines, in list order, but
// no summary.
void ScanJob::ScanWorkerParallel() {
  const uint32_t fileCount = fileList.count();
  // Files that join later find every checker there.
  const uint32_t threadCount =
      settings.joinWhileRunning ? settings.checkers : std::min(settings.checkers, fileCount);
  // With a remembered result at hand the worker looks at each file first,
  // and a file it recalls is reported without going to a checker and back.
  const bool screened = static_cast<bool>(hooks.recall);
  ParallelOrder order(fileCount, settings.checkers, kSlotsPerChecker, settings.joinWhileRunning, screened);
  std::vector<std::atomic<uint64_t>> bytesRead(threadCount);
  const FileCheckOptions options = CheckOptions();

  auto checker = [&](uint32_t self) {
    if (settings.idlePriority) LowerThreadPriority();
    FileOutcome outcome;
    FileCheck check;  // one per checker, its decoder kept from file to file
    uint32_t index;
    Text path;
    while (order.Take(index)) {
      outcome = FileOutcome{};
      outcome.index = index;
      {
        std::lock_guard<std::mutex> lock(joinMutex_);  // the worker may be adding to the list
        path = fileList.paths[index];
      }
      CheckWholeFile(check, path, options, running_, bytesRead[self], outcome);
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
      threads.push_back(hooks.startThread([&checker, i] { checker(i); }));
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
  // The files the ring has room for, each recalled here or handed on.
  auto screen = [&] {
    for (uint32_t index; screened && order.Screen(index);) {
      outcome = FileOutcome{};
      outcome.index = index;
      if (Recall(fileList.paths[index], fileList.stamps[index], outcome)) {
        order.Settle(outcome);
      } else {
        order.Release(index);
      }
    }
  };
  while (running_.load()) {
    if (joinWaiting_.load()) {
      MergeJoined();
      order.Grow(fileList.count());
    }
    screen();
    if (currentIndex >= fileList.count()) {
      if (!NothingMoreJoins()) continue;
      joinCheckers();
      EndOfJob();
      return;
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
}

}  // namespace velkscan
