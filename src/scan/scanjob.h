// The scan job: its state, the rules every window follows (Scan/Stop, closing,
// files taken only while idle, the notice of overlong paths, the paths not
// checked) and the worker that checks the listed files (scanjob.cpp: the
// window's side; scanworker.cpp: the worker; scanlines.cpp: a file's lines).
// A window forwards commands and shows what the job tells its ScanDisplay; it
// asks running() instead of reading state.
//
// One ScanJob per process in practice, owned by the front end. Division of
// work between the front end's thread and the worker thread:
// - running_: written by the front end (set at Scan, cleared at Stop), by
//   RequestStop (any thread, or a signal handler) and by the worker (cleared
//   at the end of the job); the worker reads it afresh once per frame.
// - fileList: changed by the front end only while idle; read by the worker;
//   cleared by the worker at the end of the job, or at Stop after the worker
//   has ended. With joinWhileRunning the worker also appends to it while it
//   runs, and only under joinMutex_; the checker threads copy their file's
//   path under that lock, the worker reads without it (it is the
//   only writer then).
// - joining_ (joinWhileRunning): names added during a scan, listed by the
//   front end on its own thread into a FileList of their own and handed over
//   under joinMutex_; the worker takes them in between files (MergeJoined).
//   Once the worker has found nothing more to take it closes the door
//   (joinClosed_, under the lock) and ends the job; a front end that finds
//   the door closed waits for the worker and adds to the idle list instead.
// - the counters, the per-file objects and the report: written by the worker
//   while it runs; touched by the front end only before the worker starts and
//   after it has ended (thread start and join order them), or after it has
//   cleared running_ at the end of its job.
// Every display change goes through the ScanDisplay.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/text.h"
#include "scan/display.h"
#include "scan/filecheck.h"
#include "scan/filelist.h"
#include "scan/report.h"

namespace velkscan {

// How a job checks: a front end fills these once and hands them to the job
// (ScanJob's constructor), then changes them only while idle.
struct ScanSettings {
  // Open files for writing and repair broken headers (the window always
  // does; the terminal only when asked). Off: files are opened read-only.
  bool repair = true;
  // A repaired file keeps its access and modification times.
  bool keepTimes = false;
  // Files checked at once. 1: the worker checks one frame per turn itself.
  // More: checker threads take whole files and the worker writes their lines
  // in list order, so report, repairs and counters are those of 1. A Stop
  // still writes the lines of files the checkers had finished (and perhaps
  // repaired), in list order, but no summary.
  uint32_t checkers = 1;
  // The worker (and the checkers) run at idle thread priority.
  bool idlePriority = true;
  // With repair: a file that cannot be opened for writing is checked
  // read-only, and a broken one gets "not repaired (read-only)". The
  // Windows programs keep "file open failed." for it.
#ifdef _WIN32
  bool readOnlyFallback = false;
#else
  bool readOnlyFallback = true;
#endif
  // A rewrite refused by ScanHooks::beforeRewrite stops the job as at Stop;
  // off: it goes on to the next file.
  bool stopAtRefusedRewrite = true;
  // The Linux window's ways (the other front ends keep the defaults):
  // names added during a scan join it (AddPaths, AddCommandLine and
  // NoteNotChecked while running; each batch gets a line saying how many
  // files joined) instead of waiting for the next report as not checked;
  bool joinWhileRunning = false;
  // Stop keeps the report, ended by "Stopped after N of M files.", and the
  // bar where it stood, and the end of a job leaves the bar full, instead of
  // the prompt and an empty bar;
  bool keepResults = false;
  // a file recalled whole (ScanHooks::recall) gets its "unchanged since"
  // line; off, it is only counted in the summary ("(N unchanged)"); a
  // recalled broken one keeps its line either way.
  bool listUnchanged = true;
};

// What a front end adds to a job, each hook in its place; an empty one adds
// nothing. Given with the settings, changed only while idle.
struct ScanHooks {
  // Called before each header rewrite, from the thread that repairs (see
  // BeforeRewrite). False: that file is not repaired, its line says so, and
  // the job stops (ScanSettings::stopAtRefusedRewrite).
  BeforeRewrite beforeRewrite;
  // How a path appears in the report (the terminal escapes control
  // characters); null: as listed.
  Text (*reportPath)(TextView path) = nullptr;
  // Every file checked is also hashed whole, in the same pass (FileOutcome),
  // by the hasher this makes.
  MakeContentHasher makeHasher;
  // Before a file is opened: true when a remembered result stands for its
  // check (outcome filled with that result and recalledAt); the file is then
  // not read, and its line says it is unchanged. The outcome comes with the
  // stamp the listing found, when it found one. Called from the worker
  // thread, in list order (a parallel job's checkers get only the files it
  // did not recall).
  std::function<bool(TextView path, FileOutcome& remembered)> recall;
  // Called by the worker as a job begins, and as it ends (before the
  // summary; after a Stop too, when its lines are not shown): lines of the
  // front end's own for the report, "" for none. Not counted as errors.
  std::function<Text()> atJobStart;
  std::function<Text()> atJobEnd;
  // After a file's check: the rest of a line ("changed since ...") when
  // something beyond the frame check was found wrong with it, else empty.
  // The line counts as an error, and the outcome reported has silentChange.
  std::function<Text(TextView path, const FileOutcome& outcome)> lateFinding;
  // After a file's lines (not a recalled or stopped file's), by the worker in
  // list order: lines of the front end's own under them, "" for none.
  std::function<Text(TextView path, const FileOutcome& outcome)> afterFile;
  // Starts the worker or a checker thread; throws std::system_error when it
  // cannot. Without a worker the scan does not start; a parallel job that
  // gets no checker at all checks one frame per turn.
  std::thread (*startThread)(std::function<void()> run) = [](std::function<void()> run) {
    return std::thread(std::move(run));
  };
};

class ScanJob {
 public:
  // The display must outlive the job: a worker still running when the job
  // is destroyed is stopped first, and it may still show things until then.
  explicit ScanJob(ScanDisplay& display, ScanSettings settings = {}, ScanHooks hooks = {})
      : settings(settings), hooks(std::move(hooks)), display_(display) {}
  ScanJob(const ScanJob&) = delete;
  ScanJob& operator=(const ScanJob&) = delete;
  // A running worker is stopped between frames first, so no header write is
  // cut short by the end of the program.
  ~ScanJob();

  // Change them only while idle.
  ScanSettings settings;
  ScanHooks hooks;

  // --- State, for reading ---
  // A scan is under way: Scan started it, and neither Stop nor the end of the
  // job has come yet.
  bool running() const { return running_.load(); }
  // The files the next scan checks (stable only while idle).
  const FileList& files() const { return fileList; }
  uint32_t fileCount() const { return fileList.count(); }
  // Set by the end of a job (not by Stop), with the summary's numbers.
  bool ended() const { return ended_; }
  uint32_t endedFileCount() const { return endedFileCount_; }
  uint32_t endedErrorCount() const { return endedErrorCount_; }
  // A header was not written because hooks.beforeRewrite refused it.
  bool rewriteRefused() const { return rewriteRefused_.load(); }

  // --- The window's side (front end thread) ---
  // Initial display: progress 0, "Scan", the prompt, button disabled; with
  // files already listed, their count and the button enabled and focused.
  void ShowInitialState();
  // Drops, arguments and forwarded command lines are taken only while idle
  // (with joinWhileRunning also during a scan, which they join: true);
  // during a scan they are refused (false), and each name then gets a "not
  // checked" line at the start of the next job's report, as an error: a name
  // handed over is never lost in silence. Each path of AddPaths is a
  // directory to walk or a file; AddCommandLine splits a command line (the
  // first word left out when it is the process's own). True when files were
  // added; the display then shows the count.
  bool AcceptsFiles() const { return settings.joinWhileRunning || !running(); }
  bool AddPaths(const std::vector<Text>& paths);
  // What the walks of the folders added from now on leave alone.
  void SetWalkRules(FileList::WalkRules rules) { fileList.rules = std::move(rules); }
  bool AddCommandLine(TextView text, bool isOwnCommandLine = false);
  // A name the front end could not take (for a reason of its own), reported
  // at the start of the next job like the paths the list passes over.
  void NoteNotChecked(const Text& path, NotCheckedReason reason);
  // Paths refused as too long since the last call, as the text of a notice
  // for the user; empty when there are none.
  Text TakeOverlongNotice();
  // The button (or Enter): Stop while running, otherwise Scan when files are
  // listed or paths wait to be reported as not checked. The report starts
  // with a line for each of those, each counted as an error. False when a scan could not be started (no
  // memory for the report or no thread): the window then closes, as for a failed allocation.
  bool PressButton();
  // Scan: starts a new report and the worker. False when the report or the
  // thread cannot be had; the job is idle then.
  bool StartScan();
  // Stop: the worker ends between frames; the file in progress is closed
  // without a line or a repair, no summary is written; list and counters
  // are cleared and the display shows the prompt (keepResults: the report,
  // ended by the stopped line).
  void StopScan();
  // The window closes (or the session ends): a running scan is stopped
  // between frames and the worker waited for, so no header rewrite is cut
  // short by the end of the program.
  void Close();
  // Asks a running worker to end between frames, and nothing else; safe from
  // any thread and from a signal handler. StopScan or Close clean up after.
  void RequestStop() noexcept { running_.store(false); }
  // Waits for a worker that has ended (or is ending) its job.
  void WaitForWorker();

 private:
  void ScanWorker();
  // True: the file at index is open and positioned. False: it is done
  // (recalled, not openable, header not accepted), its line written.
  bool OpenScanFile(uint32_t index);
  void CloseScanFile() { current.Close(); }
  // The progress bar after a good frame: bytes of the current file consumed.
  void UpdateProgress(uint64_t bytesOfCurrent, uint32_t& lastPercent);

  void ScanWorkerSerial();
  void ScanWorkerParallel();
  // After a repair: a refused journal line stops the job (when it does).
  void AfterRepair(const FileOutcome& outcome);
  void EndOfJob();
  void ShowReport() { display_.ShowReport(report.text); }
  void ShowQueuedCount() { display_.ShowMessage(QueuedCountText(fileList.count())); }
  // Adds to the list while idle (true: something added); during a scan the
  // names join it (joinWhileRunning) or go to refused_.
  bool Add(const std::vector<TextView>& names, const std::function<void(FileList&)>& add);
  // During a scan: the names listed into a batch of their own and handed to
  // the worker (true), or false when the job was ending: then it has ended.
  bool Join(const std::function<void(FileList&)>& add);
  // The worker: the batches handed over go onto the list, each with its
  // lines. NothingMoreJoins: true when none waits, and none is taken after.
  void MergeJoined();
  bool NothingMoreJoins();
  bool AfterAdding(uint32_t before, std::size_t notCheckedBefore);
  bool HasWork() const { return fileList.count() > 0 || !fileList.notChecked.empty(); }
  void ResetCounters();
  FileCheckOptions CheckOptions() const {
    return FileCheckOptions{settings.repair,      settings.keepTimes, settings.readOnlyFallback,
                            &hooks.beforeRewrite, &rewriteTurn_,      &hooks.makeHasher};
  }
  const Text& PathOf(const FileOutcome& outcome) const { return fileList.paths[outcome.index]; }

  // The report lines of a file, shared by the worker and the parallel job.
  void ApplySeparatorRule();
  void ReportSetupFailure(const FileOutcome& outcome);
  void ReportId3(const FileOutcome& outcome);
  void ReportFramesLine(TextView line, const FileOutcome& outcome);
  void ReportRepair(const FileOutcome& outcome);
  // A remembered result for the file at path, listed with that stamp. True
  // when it was one (ReportRecalled then writes its line).
  bool Recall(TextView path, const std::optional<FileStamp>& listed, FileOutcome& outcome);
  void ReportRecalled(const FileOutcome& outcome);
  Text ShownPath(const FileOutcome& outcome) const;
  void EndFile(const FileOutcome& outcome);
  // The lines of a file that the serial worker showed while checking it, so
  // that the window has them while it waits: the ID3v2 line when the file
  // opened, and a broken line before the repair.
  enum class ShownAhead { kNothing, kOpening, kBrokenLine };
  // The lines of a finished file but those shown ahead, then the file is
  // done and the next one's turn.
  void CommitOutcome(const FileOutcome& outcome, ShownAhead shown = ShownAhead::kNothing);

  void MaybeShowFigures(uint64_t bytesChecked);

  ScanDisplay& display_;
  // Checkers take turns at the last look and the write (FileCheckOptions).
  mutable std::mutex rewriteTurn_;
  FileList fileList;
  ReportBuffer report;
  std::atomic<bool> running_{false};
  static_assert(std::atomic<bool>::is_always_lock_free, "RequestStop is called from signal handlers");
  uint32_t currentIndex = 0;
  uint32_t errorCount = 0;
  uint32_t id3Count = 0;
  uint32_t recalledCount = 0;
  uint64_t bytesDone = 0;
  uint64_t bytesSkipped = 0;  // listed sizes of the files recalled, not read
  FileCheck current;          // the current file's header record, stream and decoder
  std::atomic<bool> rewriteRefused_{false};
  bool ended_ = false;
  uint32_t endedFileCount_ = 0;
  uint32_t endedErrorCount_ = 0;
  std::size_t overlongTold_ = 0;  // overlong paths already in a notice
  // Names refused while a scan ran, in the order they came: they join the
  // list's notChecked at the next change of the list while idle. The front
  // end's thread only.
  std::vector<NotCheckedPath> refused_;
  std::mutex joinMutex_;
  std::vector<FileList> joining_;  // guarded by joinMutex_
  bool joinClosed_ = false;        // guarded by joinMutex_
  std::atomic<bool> joinWaiting_{false};
  std::thread worker_;
  FileOutcome currentOutcome_;
  std::chrono::steady_clock::time_point nextFigures_{};
};

}  // namespace velkscan
