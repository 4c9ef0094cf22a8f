// velkscan-cli: checks Velk files from the command line with the scan job of
// the window. Checks only unless asked to repair.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/remembered.h"
#include "cli/terminal.h"
#include "journal/exitstatus.h"
#include "journal/journal.h"
#include "journal/undo.h"
#include "platform/priority.h"
#include "scan/scanjob.h"
#include "store/checkstore.h"
#include "store/contenthash.h"

namespace {

using velkscan::Code;
using velkscan::ExitStatus;
using velkscan::ScanJob;
using velkscan::cli::Options;
using velkscan::cli::TerminalDisplay;
using velkscan::cli::TerminalOptions;

constexpr int kExitUsage = Code(ExitStatus::kUsage);
constexpr int kExitRepairFailed = Code(ExitStatus::kRepairFailed);

static_assert(std::atomic<ScanJob*>::is_always_lock_free, "read in a signal handler");
static_assert(std::atomic<bool>::is_always_lock_free, "written in a signal handler");

// The job, for the signal handlers; null before it exists.
std::atomic<ScanJob*> g_job{nullptr};
// A signal may land on any thread (the worker's too), so this is an atomic,
// not a volatile sig_atomic_t, which only orders within one thread.
std::atomic<bool> g_stopRequested{false};

// Stop like the Stop button: the worker ends between frames. Before the job
// exists nothing has been written, so the program just ends.
extern "C" void OnStopSignal(int) {
  g_stopRequested.store(true);
  ScanJob* job = g_job.load();
  if (job == nullptr) _exit(Code(ExitStatus::kStopped));
  job->RequestStop();
}

// Points the signal handlers at a job for as long as it lives. Made after
// the job, it is undone before the job is destroyed, on every way out (a
// failed start included), so a late signal never reaches a destroyed job.
class SignalTarget {
 public:
  explicit SignalTarget(ScanJob& job) { g_job.store(&job); }
  SignalTarget(const SignalTarget&) = delete;
  SignalTarget& operator=(const SignalTarget&) = delete;
  ~SignalTarget() { g_job.store(nullptr); }
};

// Standard output went away: stop the same way.
void StopOnOutputFailure() {
  g_stopRequested.store(true);
  if (ScanJob* job = g_job.load()) job->RequestStop();
}

void SetStopSignals(bool handle) {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigset_t signals;
  sigemptyset(&signals);
  // Closing the terminal (SIGHUP) and Ctrl-\ (SIGQUIT) too: a repair is
  // never cut short by the end of the program.
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&signals, signal);
  if (handle) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(signal, &action, nullptr);
  } else {
    // The job is over: what is left (the summary) is written whatever comes.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  }
}

// A store that failed during the run: what was checked from there on was
// not recorded.
int StoreFailed(const std::string& shownPath, const velkscan::store::CheckStore& store, int status) {
  std::fprintf(stderr,
               "velkscan-cli: the store %s failed (%s): the results of this run are not all recorded\n",
               shownPath.c_str(), store.error().c_str());
  return status;
}

// ----- Run -----

// Names as they are shown on each stream: escaped on a terminal.
struct Shown {
  velkscan::journal::ShowName out = nullptr;
  velkscan::journal::ShowName err = nullptr;
  std::string Err(const std::string& name) const { return err != nullptr ? err(name) : name; }
};

// The store, before any file is touched: one that cannot serve ends the run
// here. Its wait for another program ends at a stop.
std::optional<int> OpenStore(Options& o, velkscan::store::CheckStore& store, const Shown& shown) {
  std::string refused;
  if (!o.dbPath.empty()) {
    refused = velkscan::cli::RefuseStorePath(o.dbPath,
                                             (o.history || o.accept) ? std::vector<std::string>() : o.paths);
  } else {
    o.dbPath = velkscan::store::CheckStore::DefaultPath(&refused);
    // Its place is fixed, with no Velk extension: a home folder to check keeps it.
    if (!o.dbPath.empty() && !o.history && !o.accept) refused = velkscan::cli::RefuseStorePath(o.dbPath, {});
  }
  struct stat existing;
  if (refused.empty() && (o.history || o.accept) && ::stat(o.dbPath.c_str(), &existing) != 0) {
    std::fprintf(stderr, "velkscan-cli: no store of checks at %s\n", shown.Err(o.dbPath).c_str());
    return kExitUsage;
  }
  if (!refused.empty() || !store.Open(o.dbPath, [] { return g_stopRequested.load(); })) {
    std::fprintf(stderr, "velkscan-cli: cannot use the %s: %s\n",
                 o.dbPath.empty() ? "default store of checks" : ("store " + shown.Err(o.dbPath)).c_str(),
                 refused.empty() ? store.error().c_str() : refused.c_str());
    return kExitUsage;
  }
  return std::nullopt;
}

// The exit status of a check that ran (or was stopped).
// storeGaveUp: the store was held by another program until a stop.
int StatusOfScan(const ScanJob& job, const TerminalDisplay& display, bool storeFailed, bool storeGaveUp,
                 bool salvageFailed, uint32_t notChecked) {
  if (display.outputFailed()) return Code(ExitStatus::kOutputFailed);
  if (storeFailed && !storeGaveUp) return kExitRepairFailed;
  if (job.rewriteRefused() || display.repairFailed() || salvageFailed) return kExitRepairFailed;
  if (!job.ended() || storeGaveUp) return Code(ExitStatus::kStopped);
  if (display.damaged()) return Code(ExitStatus::kDamaged);
  if (display.openFailed() || notChecked > 0) return Code(ExitStatus::kNotAllChecked);
  return Code(ExitStatus::kWhole);
}

int RunScan(const Options& o, velkscan::store::CheckStore* store, const Shown& shown) {
  velkscan::cli::RememberOptions remembered;
  remembered.store = store;
  remembered.repair = o.repair;
  remembered.changed = o.changed;
  remembered.verify = o.verify;
  velkscan::RecoveryOptions recovery;
  recovery.map = o.map;
  recovery.salvageDir = o.salvageDir;
  recovery.roots = o.paths;

  TerminalOptions options;
  options.json = o.json;
  options.progress = isatty(STDERR_FILENO) != 0;
  options.repair = o.repair;
  options.salvageDir = o.salvageDir;
  options.shownPath = shown.out;
  velkscan::journal::JournalWriter journal;
  if (!o.journalPath.empty()) {
    if (!journal.Open(o.journalPath)) {
      std::fprintf(stderr, "velkscan-cli: cannot open the journal %s: %s\n", shown.Err(o.journalPath).c_str(),
                   journal.error().c_str());
      return kExitUsage;
    }
    options.journal = velkscan::journal::AbsolutePath(o.journalPath).value_or(o.journalPath);
  }

  TerminalDisplay display(stdout, stderr, options);
  display.onOutputFailed = StopOnOutputFailure;
  if (recovery.active()) display.recovery = &recovery;
  if (store != nullptr) display.remember = &remembered;
  velkscan::ScanSettings settings;
  settings.repair = o.repair;
  settings.keepTimes = o.keepTimes;
  settings.checkers = o.jobs;
  settings.idlePriority = o.priority == "idle";
  settings.listUnchanged = o.listUnchanged;
  velkscan::ScanHooks hooks;
  if (store != nullptr) {
    hooks.makeHasher = velkscan::store::MakeXxh3Hasher;
    if (o.verify) {
      hooks.lateFinding = [&remembered](velkscan::TextView path, const velkscan::FileOutcome& outcome) {
        return velkscan::cli::FindSilentChange(remembered, std::string(path), outcome);
      };
    }
    if (o.changed) {
      hooks.recall = [&remembered](velkscan::TextView path, velkscan::FileOutcome& outcome) {
        return velkscan::cli::RecallFile(remembered, std::string(path), outcome);
      };
    }
  }
  if (shown.out != nullptr) hooks.reportPath = recovery.shownPath = shown.out;
  if (!o.journalPath.empty()) {
    hooks.beforeRewrite = [&journal](velkscan::TextView path, const velkscan::FileOutcome& planned) {
      velkscan::journal::JournalEntry entry;
      entry.path = std::string(path);
      entry.offset = static_cast<uint32_t>(planned.headerPos);
      std::copy(std::begin(planned.headerBefore), std::end(planned.headerBefore), entry.before);
      std::copy(std::begin(planned.headerAfter), std::end(planned.headerAfter), entry.after);
      return journal.Append(std::move(entry));
    };
  }
  ScanJob job(display, settings, std::move(hooks));
  velkscan::FileList::WalkRules rules;
  rules.oneFileSystem = o.oneFileSystem;
  if (!o.excludes.empty()) {
    rules.leaveOut = [&o](velkscan::TextView below, bool folder) {
      const std::string path(below);
      return std::any_of(o.excludes.begin(), o.excludes.end(), [&](const std::string& pattern) {
        return velkscan::cli::Excludes(pattern, path, folder);
      });
    };
  }
  job.SetWalkRules(std::move(rules));

  // Each argument of the shell (and each name of the list) is one path,
  // taken as the window takes a dropped one.
  job.AddPaths(std::vector<velkscan::Text>(o.paths.begin(), o.paths.end()));
  const auto notChecked = static_cast<uint32_t>(job.files().notChecked.size());
  const uint32_t listed = job.fileCount();
  if (listed == 0 && notChecked == 0) {
    std::fprintf(stderr, "velkscan-cli: no file with a .vlk, .vkq or .vqk extension in the given paths\n");
    return kExitUsage;
  }

  const SignalTarget signalTarget(job);
  recovery.stopped = [&job] { return !job.running(); };
  if (!job.StartScan()) {
    std::fprintf(stderr, "velkscan-cli: out of memory\n");
    return kExitUsage;
  }
  // A stop asked for while the job was starting found it still idle.
  if (g_stopRequested.load()) job.RequestStop();
  job.WaitForWorker();
  SetStopSignals(false);
  const bool ended = job.ended();
  if (!ended) job.StopScan();
  display.Finish({ended, listed, job.endedErrorCount(), notChecked});

  if (job.rewriteRefused()) {
    std::fprintf(
        stderr,
        "velkscan-cli: cannot write the journal %s (%s): the file was not repaired and the job stopped\n",
        shown.Err(o.journalPath).c_str(), journal.error().c_str());
  }
  const bool storeFailed = store != nullptr && !store->Flush();
  if (storeFailed && store->gaveUp()) {
    std::fprintf(stderr,
                 "velkscan-cli: stopped while another program held the store %s: the last records of this "
                 "run were not written\n",
                 shown.Err(o.dbPath).c_str());
  } else if (storeFailed) {
    StoreFailed(shown.Err(o.dbPath), *store, kExitRepairFailed);
  }
  return StatusOfScan(job, display, storeFailed, store != nullptr && store->gaveUp(), recovery.salvageFailed,
                      notChecked);
}

int Run(Options& o) {
  // Names on a terminal are shown escaped, on every line that carries one.
  Shown shown;
  if (isatty(STDOUT_FILENO) != 0 && !o.json) shown.out = velkscan::cli::EscapeForTerminal;
  if (isatty(STDERR_FILENO) != 0) shown.err = velkscan::cli::EscapeForTerminal;
  if (!o.journalPath.empty()) {
    const std::string refused = velkscan::journal::RefuseJournalPath(o.journalPath, o.paths);
    if (!refused.empty()) {
      std::fprintf(stderr, "velkscan-cli: %s cannot be the journal: %s\n", shown.Err(o.journalPath).c_str(),
                   refused.c_str());
      return kExitUsage;
    }
  }
  velkscan::store::CheckStore store;
  const bool withStore = o.storeGiven() || o.history;
  if (withStore) {
    if (const std::optional<int> end = OpenStore(o, store, shown)) return *end;
  }
  if (o.history) return velkscan::cli::PrintHistory(store, o.paths, o.json, stdout, shown.out);
  if (o.accept) {
    const int accepted = velkscan::cli::AcceptPaths(store, o.paths, stdout, shown.out);
    return store.Flush() ? accepted : StoreFailed(shown.Err(o.dbPath), store, kExitRepairFailed);
  }

  // First, before any thread exists: threads inherit the priority.
  if (o.priority == "idle") velkscan::LowerProcessPriority();
  signal(SIGPIPE, SIG_IGN);
  // A file size limit fails a write with EFBIG, as a full disk does, instead
  // of ending the program in the middle of the job.
  signal(SIGXFSZ, SIG_IGN);

  if (!o.undoPath.empty()) {
    const int undone = velkscan::journal::UndoJournal(
        o.undoPath, o.keepTimes, stdout, stderr, shown.out,
        !withStore ? velkscan::journal::Restored()
                   : [&store](const std::string& path) { velkscan::cli::RememberUndo(store, path); });
    if (withStore && !store.Flush()) return StoreFailed(shown.Err(o.dbPath), store, kExitRepairFailed);
    return undone;
  }
  return RunScan(o, withStore ? &store : nullptr, shown);
}

}  // namespace

int main(int argc, char** argv) {
  // At once: a stop asked for before the job exists just ends the program.
  SetStopSignals(true);
  Options options;
  if (const std::optional<int> end = velkscan::cli::Parse(argc, argv, options)) return *end;
  if (const std::optional<int> end = velkscan::cli::Settle(options)) return *end;
  return Run(options);
}
