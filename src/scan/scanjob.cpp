// The scan job's window side: adding files, Scan, Stop and Close. The
// worker is in scanworker.cpp, the lines of a file in scanlines.cpp.
#include "scan/scanjob.h"

#include <new>
#include <system_error>

namespace velkscan {

namespace {

// A notice names this many overlong paths and sums up the rest in one line.
constexpr std::size_t kOverlongPathsListed = 10;
constexpr const Char* kOverlongNoticeText =
    VTEXT("These paths are too long to be opened and were not added:\r\n");

}  // namespace

ScanJob::~ScanJob() {
  if (worker_.joinable()) {
    running_.store(false);
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

bool ScanJob::Add(const std::vector<TextView>& names, const std::function<void()>& add) {
  if (!AcceptsFiles()) {
    for (TextView name : names) {
      if (!name.empty()) refused_.push_back({Text(name), NotCheckedReason::kBusy});
    }
    return false;
  }
  const uint32_t before = fileList.count();
  const std::size_t notCheckedBefore = fileList.notChecked.size();
  // The names refused during the last scan come first, as they came first.
  try {
    fileList.notChecked.insert(fileList.notChecked.end(), refused_.begin(), refused_.end());
    refused_.clear();
    if (add) add();
  } catch (const std::bad_alloc&) {
    fileList.ClearFileList();
  }
  return AfterAdding(before, notCheckedBefore);
}

bool ScanJob::AddPaths(const std::vector<Text>& paths) {
  return Add(std::vector<TextView>(paths.begin(), paths.end()), [&] { fileList.AddPaths(paths); });
}

bool ScanJob::AddCommandLine(TextView text, bool isOwnCommandLine) {
  return Add(CommandLineArguments(text, isOwnCommandLine),
             [&] { fileList.AddCommandLine(text, isOwnCommandLine); });
}

void ScanJob::NoteNotChecked(const Text& path, NotCheckedReason reason) {
  if (!AcceptsFiles()) {
    refused_.push_back({path, reason});
    return;
  }
  Add({}, [&] { fileList.notChecked.push_back({path, reason}); });
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
      report.AppendReport(kNotCheckedLine,
                          {hooks.reportPath != nullptr ? hooks.reportPath(path.path) : path.path,
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
  running_.store(true);
  for (const NotCheckedPath& path : fileList.notChecked) display_.PathNotChecked(path.path, path.reason);
  ShowReport();
  try {
    worker_ = hooks.startThread([this] { ScanWorker(); });
  } catch (const std::system_error&) {
    running_.store(false);
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
  running_.store(false);
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

}  // namespace velkscan
