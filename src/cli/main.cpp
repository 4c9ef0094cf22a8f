// velkscan-cli: checks Velk files from the command line with the scan job of
// the window. Checks only unless asked to repair.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "cli/remembered.h"
#include "cli/terminal.h"
#include "journal/journal.h"
#include "journal/undo.h"
#include "platform/priority.h"
#include "scan/scanjob.h"
#include "store/checkstore.h"
#include "store/contenthash.h"
#include "velkscan_version.h"

namespace {

using velkscan::ScanJob;
using velkscan::cli::TerminalDisplay;
using velkscan::cli::TerminalOptions;

// Exit statuses.
constexpr int kExitWhole = 0;
constexpr int kExitDamaged = 1;
constexpr int kExitUsage = 2;
constexpr int kExitOpenFailed = 3;
constexpr int kExitRepairFailed = 4;
constexpr int kExitStopped = 130;
constexpr int kExitPipe = 141;

static_assert(std::atomic<ScanJob*>::is_always_lock_free, "read in a signal handler");

// The job, for the signal handlers; null before it exists.
std::atomic<ScanJob*> g_job{nullptr};
volatile sig_atomic_t g_stopRequested = 0;

// Stop like the Stop button: the worker ends between frames. Before the job
// exists nothing has been written, so the program just ends.
extern "C" void OnStopSignal(int) {
  g_stopRequested = 1;
  ScanJob* job = g_job.load();
  if (job == nullptr) _exit(kExitStopped);
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
  g_stopRequested = 1;
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

constexpr const char* kDescription =
    "Checks Velk files (.vlk, .vkq, .vqk) frame by frame and reports the damaged ones.\n"
    "Directories are walked recursively. Without --repair nothing is written. Put -- before\n"
    "paths that may start with '-': velkscan-cli -r -- *";

constexpr const char* kFooter =
    "On a terminal, control characters, backslashes and bytes that are not UTF-8 in\n"
    "names are shown as \\xHH (a backslash as \\\\); --json keeps the exact name, and adds\n"
    "\"pathHex\" (its bytes in hex) when it is not UTF-8.\n"
    "With --journal, each repair's line is written and synced before the header is;\n"
    "when it cannot be, that file is not repaired and the job stops (exit 4).\n"
    "Exit status: 0 every file was checked and found whole; 1 a file is broken or of\n"
    "unrecognised format; 3 no file is damaged but some could not be opened or read\n"
    "(a read error is not damage: such a file is never written) or were not checked\n"
    "(a path missing, too long or unreadable); 4 a repair failed, could not be journalled,\n"
    "found the file changed during the check or read-only, a salvaged copy was not\n"
    "written, or the store failed; 2 bad usage (also an empty\n"
    "FILE, or a journal that is a Velk file, a path to check or another file), no file\n"
    "with a Velk extension, or a journal that cannot be read, or a store that cannot\n"
    "serve; 130 stopped (Ctrl-C, SIGTERM, SIGHUP, SIGQUIT; also while another program\n"
    "holds the store: its last records are then not written); 141 standard output was\n"
    "closed or could not be written. --undo: 0 every line restored (or already back),\n"
    "1 some lines refused. --accept: 0 every PATH accepted, 1 some not.\n"
    "The store (--db, --remember) is written only when it is a store of checks (SQLite's\n"
    "application id and schema version, read first) or a new one, made whole beside\n"
    "and linked into place; any other file is refused (exit 2) and left as it is. Its\n"
    "FILE has no Velk extension, is none of the paths nor inside a folder to check,\n"
    "and is not \":memory:\" or a \"file:\" name.";

// A store that failed during the run: what was checked from there on was
// not recorded.
int StoreFailed(const std::string& shownPath, const velkscan::store::CheckStore& store, int status) {
  std::fprintf(stderr,
               "velkscan-cli: the store %s failed (%s): the results of this run are not all recorded\n",
               shownPath.c_str(), store.error().c_str());
  return status;
}

// "--" ends the options: what follows is a path even when it starts with "-".
class UsageWithDashes : public CLI::Formatter {
 public:
  std::string make_usage(const CLI::App*, std::string) const override {
    return "Usage: velkscan-cli [OPTIONS] [--] [PATH...]\n";
  }
};

}  // namespace

int main(int argc, char** argv) {
  // At once: a stop asked for before the job exists just ends the program.
  SetStopSignals(true);
  CLI::App app(kDescription, "velkscan-cli");
  app.formatter(std::make_shared<UsageWithDashes>());
  app.footer(kFooter);
  app.set_version_flag("--version", std::string("velkscan-cli ") + VELKSCAN_VERSION);

  std::vector<std::string> paths;
  bool repair = false;
  unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
  bool json = false;
  std::string journalPath;
  std::string undoPath;
  bool keepTimes = false;
  std::string priority = "idle";
  velkscan::RecoveryOptions recovery;
  std::string dbPath;
  bool remember = false;
  velkscan::cli::RememberOptions remembered;
  bool history = false;
  bool accept = false;

  app.add_option("PATH", paths,
                 "Files and directories to check (links to directories walked, each real directory once)");
  CLI::Option* repairOption = app.add_flag(
      "-r,--repair", repair,
      "Open files for writing and rewrite the frame count of broken headers to the frames that passed");
  app.add_option("-j,--jobs", jobs, "Files checked at a time (default: the number of processors)")
      ->type_name("N")
      ->check(CLI::Range(1u, 1024u));
  app.add_flag("--json", json,
               "Instead of the report, one JSON object per file in list order, then a summary object");
  app.add_option("--journal", journalPath, "With --repair: append one line per repair to FILE")
      ->type_name("FILE")
      ->needs(repairOption);
  CLI::Option* undoOption =
      app.add_option(
             "--undo", undoPath,
             "Put back the header bytes recorded in journal FILE, newest first; a line is refused (and "
             "said why) unless its file is a Velk file whose header is where the line says and holds the "
             "repaired bytes, which differ from the old ones only in the frame count")
          ->type_name("FILE");
  undoOption->excludes(repairOption);
  app.add_flag("--keep-times", keepTimes,
               "With --repair or --undo: a changed file keeps its access and modification times");
  app.add_option("--priority", priority, "idle (default): lowest CPU and I/O priority; normal: unchanged")
      ->type_name("LEVEL")
      ->check(CLI::IsMember({"idle", "normal"}));

  app.add_flag("--map", recovery.map,
               "For a broken file, go on past the first failed frame and list every damaged stretch");
  app.add_option("--salvage", recovery.salvageDir,
                 "For a broken file, write a copy of the frames that pass (behind its header, frame count "
                 "set) under DIR; the original is only read, no link inside DIR is followed and no byte is "
                 "written outside it")
      ->type_name("DIR")
      ->excludes(repairOption)
      ->excludes(undoOption);

  CLI::Option* dbOption =
      app.add_option("--db", dbPath,
                     "Record every check in the store FILE (SQLite), and read it for --changed, --verify and "
                     "--history")
          ->type_name("FILE");
  CLI::Option* rememberOption =
      app.add_flag("--remember", remember,
                   "Record every check in the default store ($XDG_STATE_HOME/velkscan/checks.sqlite, else "
                   "~/.local/state/velkscan/checks.sqlite)");
  rememberOption->excludes(dbOption);
  app.add_flag("--changed", remembered.changed,
               "With a store: check only files that are new or whose size, times, device or inode changed "
               "since their last recorded check; the others are not read, and their line gives that result");
  app.add_flag("--verify", remembered.verify,
               "With a store: also compare each file's content hash with the last one recorded, and report a "
               "file changed though its size and modification time are not (exit status 1); such a file "
               "stays flagged, in every later --verify and --history, until --accept");
  CLI::Option* historyOption =
      app.add_flag(
             "--history", history,
             "Print every recorded check of each PATH, newest first (the store of --db, else the default)")
          ->excludes(repairOption)
          ->excludes(undoOption);
  app.add_flag("--accept", accept,
               "Accept the content of each flagged PATH as it is now (it must be what its last --verify "
               "read); later checks compare with it, and the records before are kept. Exit 1 when one "
               "was not accepted")
      ->excludes(repairOption)
      ->excludes(undoOption)
      ->excludes(historyOption);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? 0 : kExitUsage;
  }
  // An empty value is what an unset shell variable gives: never "no journal".
  for (const char* option : {"--journal", "--undo", "--salvage", "--db"}) {
    if (app.count(option) > 0 && app[option]->as<std::string>().empty()) {
      std::fprintf(stderr, "velkscan-cli: %s needs a name, not an empty one\n", option);
      return kExitUsage;
    }
  }
  if (keepTimes && !repair && undoPath.empty()) {
    std::fprintf(stderr, "velkscan-cli: --keep-times needs --repair or --undo\n");
    return kExitUsage;
  }
  if (!undoPath.empty() && !paths.empty()) {
    std::fprintf(stderr, "velkscan-cli: --undo takes no PATH\n");
    return kExitUsage;
  }
  const bool storeGiven = !dbPath.empty() || remember || accept;
  if ((remembered.changed || remembered.verify) && !storeGiven) {
    std::fprintf(stderr, "velkscan-cli: --changed and --verify need a store: --db FILE or --remember\n");
    return kExitUsage;
  }
  if (undoPath.empty() && paths.empty()) {
    std::fprintf(stderr, "velkscan-cli: no PATH given\nRun with --help for more information.\n");
    return kExitUsage;
  }

  // Names on a terminal are shown escaped, on every line that carries one.
  const velkscan::journal::ShowName shownOut =
      isatty(STDOUT_FILENO) != 0 && !json ? velkscan::cli::EscapeForTerminal : nullptr;
  const velkscan::journal::ShowName shownErr =
      isatty(STDERR_FILENO) != 0 ? velkscan::cli::EscapeForTerminal : nullptr;
  auto errName = [shownErr](const std::string& name) { return shownErr ? shownErr(name) : name; };
  if (!journalPath.empty()) {
    const std::string refused = velkscan::journal::RefuseJournalPath(journalPath, paths);
    if (!refused.empty()) {
      std::fprintf(stderr, "velkscan-cli: %s cannot be the journal: %s\n", errName(journalPath).c_str(),
                   refused.c_str());
      return kExitUsage;
    }
  }

  // The store, before any file is touched: one that cannot serve ends the
  // run here. Its wait for another program ends at a stop.
  velkscan::store::CheckStore store;
  if (storeGiven || history) {
    std::string refused;
    if (!dbPath.empty()) {
      refused =
          velkscan::cli::RefuseStorePath(dbPath, (history || accept) ? std::vector<std::string>() : paths);
    } else {
      dbPath = velkscan::store::CheckStore::DefaultPath(&refused);
      // Its place is fixed, with no Velk extension: a home folder to check keeps it.
      if (!dbPath.empty() && !history && !accept) refused = velkscan::cli::RefuseStorePath(dbPath, {});
    }
    struct stat existing;
    if (refused.empty() && (history || accept) && ::stat(dbPath.c_str(), &existing) != 0) {
      std::fprintf(stderr, "velkscan-cli: no store of checks at %s\n", errName(dbPath).c_str());
      return kExitUsage;
    }
    if (!refused.empty() || !store.Open(dbPath, [] { return g_stopRequested != 0; })) {
      std::fprintf(stderr, "velkscan-cli: cannot use the %s: %s\n",
                   dbPath.empty() ? "default store of checks" : ("store " + errName(dbPath)).c_str(),
                   refused.empty() ? store.error().c_str() : refused.c_str());
      return kExitUsage;
    }
    remembered.store = &store;
    remembered.repair = repair;
  }
  if (history) return velkscan::cli::PrintHistory(store, paths, json, stdout, shownOut);
  if (accept) {
    const int accepted = velkscan::cli::AcceptPaths(store, paths, stdout, shownOut);
    return store.Flush() ? accepted : StoreFailed(errName(dbPath), store, kExitRepairFailed);
  }

  // First, before any thread exists: threads inherit the priority.
  if (priority == "idle") velkscan::LowerProcessPriority();
  signal(SIGPIPE, SIG_IGN);
  // A file size limit fails a write with EFBIG, as a full disk does, instead
  // of ending the program in the middle of the job.
  signal(SIGXFSZ, SIG_IGN);

  if (!undoPath.empty()) {
    const int undone = velkscan::journal::UndoJournal(
        undoPath, keepTimes, stdout, stderr, shownOut,
        remembered.store == nullptr ? velkscan::journal::Restored() : [&store](const std::string& path) {
          velkscan::cli::RememberUndo(store, path);
        });
    if (remembered.store != nullptr && !store.Flush())
      return StoreFailed(errName(dbPath), store, kExitRepairFailed);
    return undone;
  }

  TerminalOptions options;
  options.json = json;
  options.progress = isatty(STDERR_FILENO) != 0;
  velkscan::journal::JournalWriter journal;
  if (!journalPath.empty() && !journal.Open(journalPath)) {
    std::fprintf(stderr, "velkscan-cli: cannot open the journal %s: %s\n", errName(journalPath).c_str(),
                 journal.error().c_str());
    return kExitUsage;
  }

  TerminalDisplay display(stdout, stderr, options);
  display.onOutputFailed = StopOnOutputFailure;
  recovery.roots = paths;
  if (recovery.active()) display.recovery = &recovery;
  if (remembered.store != nullptr) display.remember = &remembered;
  int status = kExitWhole;
  {
    velkscan::ScanSettings settings;
    settings.repair = repair;
    settings.keepTimes = keepTimes;
    settings.checkers = jobs;
    settings.idlePriority = priority == "idle";
    velkscan::ScanHooks hooks;
    if (remembered.store != nullptr) {
      hooks.makeHasher = velkscan::store::MakeXxh3Hasher;
      if (remembered.verify) {
        hooks.lateFinding = [&remembered](velkscan::TextView path, const velkscan::FileOutcome& outcome) {
          return velkscan::cli::FindSilentChange(remembered, std::string(path), outcome);
        };
      }
      if (remembered.changed) {
        hooks.recall = [&remembered](velkscan::TextView path, velkscan::FileOutcome& outcome) {
          return velkscan::cli::RecallFile(remembered, std::string(path), outcome);
        };
      }
    }
    if (!json && isatty(STDOUT_FILENO) != 0)
      hooks.reportPath = recovery.shownPath = velkscan::cli::EscapeForTerminal;
    if (!journalPath.empty()) {
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

    // Each argument of the shell is one path, taken as the window takes a
    // dropped one.
    job.AddPaths(std::vector<velkscan::Text>(paths.begin(), paths.end()));
    const auto notChecked = static_cast<uint32_t>(job.files().notChecked.size());
    if (job.fileCount() == 0 && notChecked == 0) {
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
    if (g_stopRequested != 0) job.RequestStop();
    job.WaitForWorker();
    SetStopSignals(false);
    const bool ended = job.ended();
    if (!ended) job.StopScan();
    display.Finish(ended, job.endedFileCount(), job.endedErrorCount(), notChecked);

    if (job.rewriteRefused()) {
      std::fprintf(
          stderr,
          "velkscan-cli: cannot write the journal %s (%s): the file was not repaired and the job stopped\n",
          errName(journalPath).c_str(), journal.error().c_str());
    }
    const bool storeFailed = remembered.store != nullptr && !store.Flush();
    if (storeFailed && store.gaveUp()) {
      std::fprintf(stderr,
                   "velkscan-cli: stopped while another program held the store %s: the last records of this "
                   "run were not written\n",
                   errName(dbPath).c_str());
    } else if (storeFailed) {
      StoreFailed(errName(dbPath), store, kExitRepairFailed);
    }
    if (display.outputFailed()) {
      status = kExitPipe;
    } else if (storeFailed && !store.gaveUp()) {
      status = kExitRepairFailed;
    } else if (job.rewriteRefused() || display.repairFailed() || recovery.salvageFailed) {
      status = kExitRepairFailed;
    } else if (!ended || store.gaveUp()) {
      status = kExitStopped;
    } else if (display.damaged()) {
      status = kExitDamaged;
    } else if (display.openFailed() || notChecked > 0) {
      status = kExitOpenFailed;
    }
  }
  return status;
}
