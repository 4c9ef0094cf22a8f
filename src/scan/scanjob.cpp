#include "scan/scanjob.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>

#include "platform/priority.h"

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
  if (fileList.count() > 0) {
    ShowQueuedCount();
    display_.EnableButton(true);
    display_.FocusButton();
  }
}

bool ScanJob::AfterAdding(uint32_t before) {
  if (fileList.count() <= before) return false;
  ShowQueuedCount();
  if (before == 0) {
    display_.EnableButton(true);
    display_.FocusButton();
  }
  return true;
}

bool ScanJob::AddPaths(const std::vector<Text>& paths) {
  if (!AcceptsFiles()) return false;
  const uint32_t before = fileList.count();
  fileList.AddPaths(paths);
  return AfterAdding(before);
}

bool ScanJob::AddCommandLine(TextView text, bool isOwnCommandLine) {
  if (!AcceptsFiles()) return false;
  const uint32_t before = fileList.count();
  fileList.AddCommandLine(text, isOwnCommandLine);
  return AfterAdding(before);
}

Text ScanJob::TakeOverlongNotice() {
  const std::vector<Text>& refused = fileList.overlongPaths;
  if (refused.size() <= overlongTold_) return Text();
  const std::size_t first = overlongTold_;
  overlongTold_ = refused.size();
  Text text = kOverlongNoticeText;
  std::size_t listed = 0;
  for (std::size_t i = first; i < refused.size() && listed < kOverlongPathsListed; ++i, ++listed) {
    text += VTEXT("\r\n");
    text += refused[i];
  }
  if (const std::size_t rest = refused.size() - first - listed; rest > 0) {
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
  if (fileList.count() == 0) return true;
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
  } catch (const std::bad_alloc&) {
    return false;
  }
  ended_ = false;
  display_.SetButtonText(kStopButtonText);
  display_.BeginReport();
  ShowReport();
  idle.store(0);
  try {
    worker_ = std::thread([this] { ScanWorker(); });
  } catch (const std::system_error&) {
    idle.store(1);
    return false;
  }
  return true;
}

void ScanJob::ResetCounters() {
  errorCount = 0;
  id3Count = 0;
  fileList.totalBytes = 0;
  bytesDone = 0;
  currentIndex = 0;
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

void ScanJob::ApplySeparatorRule() {
  if (id3Count == 0 && errorCount == 0) report.AppendReport(kSeparatorLine, {});
}

void ScanJob::ReportSetupFailure(const FileOutcome& outcome) {
  // No separator before these two lines.
  if (outcome.status == FileStatus::kOpenFailed) {
    report.AppendReport(kOpenFailedLine, {PathOf(outcome)});
  } else {
    report.AppendReport(kUnrecognizedLine, {PathOf(outcome), static_cast<uint32_t>(outcome.headerCode)});
  }
  ShowReport();
  ++errorCount;
}

void ScanJob::ReportId3(const FileOutcome& outcome) {
  ApplySeparatorRule();
  report.AppendReport(kId3Line, {PathOf(outcome)});
  ShowReport();
  ++id3Count;
}

void ScanJob::ReportBroken(const FileOutcome& outcome) {
  const Text time = PlayTimeText(outcome.goodFrames, outcome.sampleRate);
  ApplySeparatorRule();
  ++errorCount;
  report.AppendReport(kBrokenLine, {PathOf(outcome), outcome.goodFrames, outcome.declaredFrames, time});
  ShowReport();
}

void ScanJob::ReportReadError(const FileOutcome& outcome) {
  const Text time = PlayTimeText(outcome.goodFrames, outcome.sampleRate);
  ApplySeparatorRule();
  ++errorCount;
  report.AppendReport(kReadErrorLine, {PathOf(outcome), outcome.goodFrames, outcome.declaredFrames, time});
  ShowReport();
}

void ScanJob::EndFile(const FileOutcome& outcome) {
  // The length field is signed 32-bit; taken unsigned, as the list measures
  // sizes, so a file of 2 GiB or more does not count backwards.
  if (outcome.opened()) bytesDone += static_cast<uint32_t>(outcome.fileLength);
  display_.FileReported(outcome, PathOf(outcome));
}

void ScanJob::CommitOutcome(const FileOutcome& outcome) {
  if (outcome.opened()) {
    if (outcome.id3()) ReportId3(outcome);
    if (outcome.status == FileStatus::kBroken) ReportBroken(outcome);
    if (outcome.status == FileStatus::kReadError) ReportReadError(outcome);
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
  report.AppendSummary(fileCount, errorFiles);
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
  if (checkers > 1) return ScanWorkerParallel();

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
      ReportBroken(currentOutcome_);
      current.Repair(currentOutcome_);
    }
    if (step == FileCheck::Step::kReadError) ReportReadError(currentOutcome_);
    CloseScanFile();
    EndFile(currentOutcome_);
    if (currentIndex < fileList.count()) ++currentIndex;
    MaybeShowFigures(bytesDone);
  }
  return 0;
}

// Checker threads take whole files in list order and leave each result in a
// slot; the worker reports the slots in list order, so the report and the
// counters come out as with one frame per turn. Each file is opened, checked,
// repaired and closed by one checker alone. At Stop the checkers end between
// frames, leaving their files untouched; the files that were finished (and
// perhaps repaired) still get their lines, in list order, but no summary.
int ScanJob::ScanWorkerParallel() {
  const uint32_t fileCount = fileList.count();
  const uint32_t threadCount = std::min(checkers, fileCount);
  const uint32_t slotCount = std::max<uint32_t>(1, checkers * kSlotsPerChecker);

  struct Slot {
    FileOutcome outcome;
    bool done = false;
  };
  std::mutex mutex;
  std::condition_variable resultReady;
  std::condition_variable slotFree;
  std::vector<Slot> slots(slotCount);
  std::vector<std::atomic<uint64_t>> bytesRead(threadCount);
  uint32_t next = 0;           // the next file a checker takes
  uint32_t head = 0;           // the oldest file not yet reported
  uint64_t finishedBytes = 0;  // lengths of files finished but not yet reported
  const FileCheckOptions options = CheckOptions();

  auto checker = [&](uint32_t self) {
    if (idlePriority) LowerThreadPriority();
    FileOutcome outcome;
    for (;;) {
      uint32_t index;
      {
        std::unique_lock<std::mutex> lock(mutex);
        while (next < fileCount && next >= head + slotCount && idle.load() == 0) slotFree.wait(lock);
        if (next >= fileCount || idle.load() != 0) return;
        index = next++;
      }
      outcome = FileOutcome{};
      outcome.index = index;
      CheckWholeFile(fileList.paths[index], options, idle, bytesRead[self], outcome);
      if (outcome.status == FileStatus::kStopped) return;
      {
        std::lock_guard<std::mutex> lock(mutex);
        bytesRead[self].store(0, std::memory_order_relaxed);
        if (outcome.opened()) finishedBytes += static_cast<uint32_t>(outcome.fileLength);
        Slot& slot = slots[index % slotCount];
        slot.outcome = outcome;
        slot.done = true;
      }
      resultReady.notify_one();
    }
  };

  std::vector<std::thread> threads;
  threads.reserve(threadCount);
  for (uint32_t i = 0; i < threadCount; ++i) {
    try {
      threads.emplace_back(checker, i);
    } catch (const std::system_error&) {
      // Fewer checkers than asked: the ones there are take every file.
      if (threads.empty()) checker(i);
      break;
    }
  }
  auto joinCheckers = [&] {
    slotFree.notify_all();
    for (std::thread& thread : threads) thread.join();
    threads.clear();
  };

  uint32_t lastPercent = kNoPercent;
  FileOutcome outcome;
  std::unique_lock<std::mutex> lock(mutex);
  while (idle.load() == 0) {
    if (currentIndex >= fileCount) {
      lock.unlock();
      joinCheckers();
      EndOfJob();
      return 0;
    }
    Slot& slot = slots[currentIndex % slotCount];
    if (slot.done) {
      outcome = slot.outcome;
      slot.done = false;
      if (outcome.opened()) finishedBytes -= static_cast<uint32_t>(outcome.fileLength);
      ++head;
      lock.unlock();
      slotFree.notify_all();
      CommitOutcome(outcome);
      lock.lock();
      continue;
    }
    resultReady.wait_for(lock, kParallelWakeInterval);
    uint64_t inProgress = finishedBytes;
    for (const std::atomic<uint64_t>& bytes : bytesRead) inProgress += bytes.load(std::memory_order_relaxed);
    lock.unlock();
    UpdateProgress(inProgress, lastPercent);
    MaybeShowFigures(bytesDone + inProgress);
    lock.lock();
  }

  // Stopped.
  lock.unlock();
  joinCheckers();
  for (uint32_t index = currentIndex; index < next; ++index) {
    Slot& slot = slots[index % slotCount];
    if (!slot.done) continue;
    slot.done = false;
    CommitOutcome(slot.outcome);
  }
  return 0;
}

}  // namespace velkscan
