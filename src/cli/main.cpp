// velkscan-cli: checks Velk files from the command line with the scan job of
// the window. Checks only unless asked to repair.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "cli/journal.h"
#include "cli/terminal.h"
#include "platform/priority.h"
#include "scan/scanjob.h"
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

static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set from a signal handler");
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
    "(path too long); 4 a repair failed or could not be journalled;\n"
    "2 bad usage, no file with a Velk extension, or a journal that cannot be read;\n"
    "130 stopped (Ctrl-C, SIGTERM, SIGHUP, SIGQUIT); 141 standard output was closed.\n"
    "--undo: 0 every line restored (or already back), 1 some lines refused.";

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
  velkscan::cli::RecoveryOptions recovery;

  app.add_option("PATH", paths, "Files and directories to check");
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
                 "set) under DIR; the original is only read")
      ->type_name("DIR")
      ->excludes(repairOption)
      ->excludes(undoOption);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? 0 : kExitUsage;
  }
  if (keepTimes && !repair && undoPath.empty()) {
    std::fprintf(stderr, "velkscan-cli: --keep-times needs --repair or --undo\n");
    return kExitUsage;
  }
  if (!undoPath.empty() && !paths.empty()) {
    std::fprintf(stderr, "velkscan-cli: --undo takes no PATH\n");
    return kExitUsage;
  }
  if (undoPath.empty() && paths.empty()) {
    std::fprintf(stderr, "velkscan-cli: no PATH given\nRun with --help for more information.\n");
    return kExitUsage;
  }

  // First, before any thread exists: threads inherit the priority.
  if (priority == "idle") velkscan::LowerProcessPriority();
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);

  if (!undoPath.empty()) return velkscan::cli::UndoJournal(undoPath, keepTimes, stdout, stderr);

  TerminalOptions options;
  options.json = json;
  options.progress = isatty(STDERR_FILENO) != 0;
  velkscan::cli::JournalWriter journal;
  if (!journalPath.empty() && !journal.Open(journalPath)) {
    std::fprintf(stderr, "velkscan-cli: cannot open the journal %s: %s\n", journalPath.c_str(),
                 journal.error().c_str());
    return kExitUsage;
  }

  TerminalDisplay display(stdout, stderr, options);
  display.onOutputFailed = StopOnOutputFailure;
  recovery.roots = paths;
  if (recovery.active()) display.recovery = &recovery;
  int status = kExitWhole;
  {
    ScanJob job(display);
    job.repair = repair;
    job.keepTimes = keepTimes;
    job.checkers = jobs;
    job.idlePriority = priority == "idle";
    job.reportOverlongPaths = true;
    if (!json && isatty(STDOUT_FILENO) != 0)
      job.reportPath = recovery.shownPath = velkscan::cli::EscapeForTerminal;
    if (!journalPath.empty()) {
      job.beforeRewrite = [&journal](velkscan::TextView path, const velkscan::FileOutcome& planned) {
        velkscan::cli::JournalEntry entry;
        entry.path = std::string(path);
        entry.offset = static_cast<uint32_t>(planned.headerPos);
        std::copy(std::begin(planned.headerBefore), std::end(planned.headerBefore), entry.before);
        std::copy(std::begin(planned.headerAfter), std::end(planned.headerAfter), entry.after);
        return journal.Append(std::move(entry));
      };
    }

    // Each argument of the shell is one path, taken as the window takes a
    // dropped one.
    job.AddPaths(std::vector<velkscan::Text>(paths.begin(), paths.end()));
    const auto notChecked = static_cast<uint32_t>(job.files().overlongPaths.size());
    if (job.fileCount() == 0 && notChecked == 0) {
      std::fprintf(stderr, "velkscan-cli: no file with a .vlk, .vkq or .vqk extension in the given paths\n");
      return kExitUsage;
    }

    g_job.store(&job);
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
    g_job.store(nullptr);
    display.Finish(ended, job.endedFileCount(), job.endedErrorCount(), notChecked);

    if (job.rewriteRefused()) {
      std::fprintf(
          stderr,
          "velkscan-cli: cannot write the journal %s (%s): the file was not repaired and the job stopped\n",
          journalPath.c_str(), journal.error().c_str());
    }
    if (display.outputFailed()) {
      status = kExitPipe;
    } else if (job.rewriteRefused() || display.repairFailed() || recovery.salvageFailed) {
      status = kExitRepairFailed;
    } else if (!ended) {
      status = kExitStopped;
    } else if (display.damaged()) {
      status = kExitDamaged;
    } else if (display.openFailed() || notChecked > 0) {
      status = kExitOpenFailed;
    }
  }
  return status;
}
