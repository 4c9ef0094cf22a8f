// velkscan-cli: checks Velk files from the command line with the scan job of
// the window. Checks only unless asked to repair.
#include <fcntl.h>
#include <fnmatch.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/remembered.h"
#include "cli/terminal.h"
#include "cli/usage.h"
#include "journal/exitstatus.h"
#include "journal/journal.h"
#include "journal/undo.h"
#include "platform/priority.h"
#include "scan/scanjob.h"
#include "store/checkstore.h"
#include "store/contenthash.h"
#include "velkscan_version.h"

namespace {

using velkscan::Code;
using velkscan::ExitStatus;
using velkscan::ScanJob;
using velkscan::cli::TerminalDisplay;
using velkscan::cli::TerminalOptions;

constexpr int kExitUsage = Code(ExitStatus::kUsage);
constexpr int kExitRepairFailed = Code(ExitStatus::kRepairFailed);

static_assert(std::atomic<ScanJob*>::is_always_lock_free, "read in a signal handler");

// The job, for the signal handlers; null before it exists.
std::atomic<ScanJob*> g_job{nullptr};
volatile sig_atomic_t g_stopRequested = 0;

// Stop like the Stop button: the worker ends between frames. Before the job
// exists nothing has been written, so the program just ends.
extern "C" void OnStopSignal(int) {
  g_stopRequested = 1;
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

// A store that failed during the run: what was checked from there on was
// not recorded.
int StoreFailed(const std::string& shownPath, const velkscan::store::CheckStore& store, int status) {
  std::fprintf(stderr,
               "velkscan-cli: the store %s failed (%s): the results of this run are not all recorded\n",
               shownPath.c_str(), store.error().c_str());
  return status;
}

// What the command line asked for.
struct Options {
  std::vector<std::string> paths;  // the PATH arguments, then the names of the file list
  std::string filesFrom;           // "-": standard input
  bool nullSeparated = false;
  std::vector<std::string> excludes;
  bool oneFileSystem = false;
  unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
  std::string priority = "idle";
  bool repair = false;
  std::string journalPath;
  std::string undoPath;
  bool keepTimes = false;
  bool map = false;
  std::string salvageDir;
  std::string dbPath;
  bool remember = false;
  bool changed = false;
  bool listUnchanged = false;
  bool verify = false;
  bool history = false;
  bool accept = false;
  bool json = false;

  bool storeGiven() const { return !dbPath.empty() || remember || accept; }
};

// ----- Parse: the command line into Options -----

constexpr const char* kUsage = "Usage: velkscan-cli [OPTIONS] [--] [PATH...]";

constexpr const char* kDescription =
    "Checks Velk files (.vlk, .vkq, .vqk) frame by frame and reports the damaged ones. Folders are walked "
    "recursively. No file is written but the headers of broken files with --repair, its journal, the store "
    "of checks (--db, --remember) and the salvaged copies (--salvage). Put -- before paths that may start "
    "with '-': velkscan-cli -r -- *";

// The footer: its paragraphs, then every exit status from the one table.
std::string Footer() {
  std::string footer =
      "A PATTERN of --exclude (shell style: * ? [...]) without a slash matches the name of a file or "
      "folder at any depth below a folder given; with one, the path below that folder, or its end at a "
      "slash (a leading slash: only the whole path); one that ends in a slash matches folders only. An "
      "excluded file or folder is not read and not counted.\n"
      "\n"
      "On a terminal, control characters, backslashes and bytes that are not UTF-8 in names are shown as "
      "\\xHH (a backslash as \\\\); --json keeps the exact name, and adds \"pathHex\" (its bytes in hex) "
      "when it is not UTF-8.\n"
      "\n"
      "With --journal, each repair's line is written and synced before the header is; when it cannot be, "
      "that file is not repaired and the job stops (exit 4).\n"
      "\n"
      "The store (--db, --remember) is written only when it is a store of checks (SQLite's application id "
      "and schema version, read first) or a new one, made whole beside and linked into place; any other "
      "file is refused (exit 2) and left as it is. Its FILE has no Velk extension, is none of the paths nor "
      "inside a folder to check, and is not \":memory:\" or a \"file:\" name.\n"
      "\n"
      "Exit status:\n";
  for (const velkscan::ExitStatusMeaning& meaning : velkscan::kExitStatusMeanings) {
    std::string code = std::to_string(Code(meaning.status));
    code.resize(5, ' ');
    footer += "  " + code + meaning.text + "\n";
  }
  return footer;
}

// --help, --version and bad usage end the program here, with their status.
std::optional<int> Parse(int argc, char** argv, Options& o) {
  CLI::App app(kDescription, "velkscan-cli");
  app.formatter(std::make_shared<velkscan::cli::GroupedHelp>(kUsage));
  app.footer(Footer());
  app.set_help_flag();  // added last, in its group

  const char* checking = "Checking";
  app.add_option("PATH", o.paths,
                 "Files and folders to check (links to folders walked, each real folder once)")
      ->group(checking);
  CLI::Option* filesFrom =
      app.add_option("--files-from", o.filesFrom,
                     "Also check the paths named in FILE (- for standard input), one a line, each taken "
                     "exactly as its bytes and as a PATH is")
          ->type_name("FILE")
          ->group(checking);
  app.add_flag("--null", o.nullSeparated, "With --files-from: the names end in NUL bytes (find -print0)")
      ->needs(filesFrom)
      ->group(checking);
  app.add_option("--exclude", o.excludes,
                 "Leave out the files and folders below a folder given that PATTERN matches (see below; "
                 "repeatable)")
      ->type_name("PATTERN")
      ->allow_extra_args(false)
      ->group(checking);
  app.add_flag("-x,--one-file-system", o.oneFileSystem,
               "Do not walk into a folder of another file system than the folder given; each such folder "
               "is said not checked")
      ->group(checking);
  app.add_option("-j,--jobs", o.jobs, "Files checked at a time (default: the number of processors)")
      ->check(CLI::Range(1u, 1024u))
      ->type_name("N")
      ->group(checking);
  app.add_option("--priority", o.priority, "idle (default): lowest CPU and I/O priority; normal: unchanged")
      ->check(CLI::IsMember({"idle", "normal"}))
      ->type_name("LEVEL")
      ->group(checking);

  const char* repairing = "Repairing";
  CLI::Option* repair =
      app.add_flag("-r,--repair", o.repair,
                   "Open files for writing and rewrite the frame count of broken headers to the frames that "
                   "passed")
          ->group(repairing);
  app.add_option("--journal", o.journalPath, "With --repair: append one line per repair to FILE")
      ->type_name("FILE")
      ->needs(repair)
      ->group(repairing);
  CLI::Option* undo =
      app.add_option(
             "--undo", o.undoPath,
             "Put back the header bytes recorded in journal FILE, newest first; a line is refused (and "
             "said why) unless its file is a Velk file whose header is where the line says and holds "
             "the repaired bytes, which differ from the old ones only in the frame count")
          ->type_name("FILE")
          ->excludes(repair)
          ->group(repairing);
  app.add_flag("--keep-times", o.keepTimes,
               "With --repair or --undo: a changed file keeps its access and modification times")
      ->group(repairing);

  const char* recovering = "Recovering";
  app.add_flag("--map", o.map,
               "For a broken file, go on past the first failed frame and list every damaged stretch; the "
               "search costs at most about 50 checks of the file, and where it stopped at that limit the "
               "line says \"(search limit)\"")
      ->group(recovering);
  app.add_option("--salvage", o.salvageDir,
                 "For a broken file, write a copy of the frames that pass (behind its header, frame count "
                 "set) under DIR; the original is only read, no link inside DIR is followed and no byte is "
                 "written outside it")
      ->type_name("DIR")
      ->excludes(repair)
      ->excludes(undo)
      ->group(recovering);

  const char* remembering = "Remembering";
  CLI::Option* db =
      app.add_option("--db", o.dbPath,
                     "Record every check in the store FILE (SQLite), and read it for --changed, "
                     "--verify and --history")
          ->type_name("FILE")
          ->group(remembering);
  app.add_flag("--remember", o.remember,
               "Record every check in the default store ($XDG_STATE_HOME/velkscan/checks.sqlite, else "
               "~/.local/state/velkscan/checks.sqlite)")
      ->excludes(db)
      ->group(remembering);
  CLI::Option* changed =
      app.add_flag("--changed", o.changed,
                   "With a store: check only files that are new or whose size, times, device or inode "
                   "changed since their last recorded check; the others are not read, and are counted in "
                   "the summary (a broken one keeps its line)")
          ->group(remembering);
  app.add_flag("--list-unchanged", o.listUnchanged,
               "With --changed: also give each unchanged whole file its line")
      ->needs(changed)
      ->group(remembering);
  app.add_flag("--verify", o.verify,
               "With a store: also compare each file's content hash with the last one recorded, and report a "
               "file changed though its size and modification time are not (exit status 1); such a file "
               "stays flagged, in every later --verify and --history, until --accept")
      ->group(remembering);
  CLI::Option* history = app.add_flag("--history", o.history,
                                      "Print every recorded check of each PATH, newest first (the store of "
                                      "--db, else the default)")
                             ->excludes(repair)
                             ->excludes(undo)
                             ->group(remembering);
  app.add_flag("--accept", o.accept,
               "Accept the content of each flagged PATH as it is now (it must be what its last --verify "
               "read); later checks compare with it, and the records before are kept. Exit 1 when one "
               "was not accepted")
      ->excludes(repair)
      ->excludes(undo)
      ->excludes(history)
      ->group(remembering);

  const char* output = "Output";
  app.add_flag("--json", o.json,
               "Instead of the report, one JSON object per file in list order, then a summary object")
      ->group(output);
  app.set_help_flag("-h,--help", "Print this help and exit")->group(output);
  app.set_version_flag("--version", std::string("velkscan-cli ") + VELKSCAN_VERSION)
      ->description("Print the version and exit")
      ->group(output);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return velkscan::cli::ReportParseError(app, e, "velkscan-cli", kExitUsage);
  }
  // An empty value is what an unset shell variable gives: never "no journal".
  for (const char* option : {"--journal", "--undo", "--salvage", "--db", "--files-from"}) {
    if (app.count(option) > 0 && app[option]->as<std::string>().empty()) {
      std::fprintf(stderr, "velkscan-cli: %s needs a name, not an empty one\n", option);
      return kExitUsage;
    }
  }
  return std::nullopt;
}

// ----- Options: what they ask for together, and the file list -----

// The names of a file list, each exactly as its bytes, ended by a line end
// or a NUL (the last one perhaps by the end); empty ones name nothing.
bool ReadFileList(const std::string& from, bool nullSeparated, std::vector<std::string>& names,
                  std::string& error) {
  const int fd = from == "-" ? STDIN_FILENO : ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  std::string all;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error = std::strerror(errno);
    if (got <= 0) break;
    all.append(buffer, static_cast<std::size_t>(got));
  }
  if (fd != STDIN_FILENO) ::close(fd);
  if (!error.empty()) return false;
  const char end = nullSeparated ? '\0' : '\n';
  for (std::size_t start = 0; start < all.size();) {
    std::size_t stop = all.find(end, start);
    if (stop == std::string::npos) stop = all.size();
    if (stop > start) names.emplace_back(all, start, stop - start);
    start = stop + 1;
  }
  return true;
}

// One --exclude pattern against a path below a folder given.
bool Excludes(const std::string& pattern, const std::string& below, bool folder) {
  std::string own = pattern;
  if (own.size() > 1 && own.back() == '/') {
    if (!folder) return false;
    own.pop_back();
  }
  const bool anchored = own[0] == '/';
  if (anchored) own.erase(0, 1);
  // "**" crosses slashes; "*" and "?" do not.
  const int flags = own.find("**") != std::string::npos ? 0 : FNM_PATHNAME;
  if (!anchored && own.find('/') == std::string::npos) {
    const std::size_t slash = below.rfind('/');
    return fnmatch(own.c_str(), below.c_str() + (slash == std::string::npos ? 0 : slash + 1), 0) == 0;
  }
  for (std::size_t at = 0;;) {
    if (fnmatch(own.c_str(), below.c_str() + at, flags) == 0) return true;
    if (anchored || (at = below.find('/', at)) == std::string::npos) return false;
    ++at;
  }
}

// What the options ask for together; a usage error ends the program here.
std::optional<int> Settle(Options& o) {
  auto refuse = [](const char* message) {
    std::fprintf(stderr, "velkscan-cli: %s\n", message);
    return kExitUsage;
  };
  if (o.keepTimes && !o.repair && o.undoPath.empty()) return refuse("--keep-times needs --repair or --undo");
  if (!o.undoPath.empty() && (!o.paths.empty() || !o.filesFrom.empty()))
    return refuse("--undo takes no PATH");
  if ((o.changed || o.verify) && !o.storeGiven())
    return refuse("--changed and --verify need a store: --db FILE or --remember");
  for (const std::string& pattern : o.excludes)
    if (pattern.empty() || pattern == "/") return refuse("--exclude needs a pattern, not an empty one");
  if (!o.filesFrom.empty()) {
    std::string error;
    if (!ReadFileList(o.filesFrom, o.nullSeparated, o.paths, error)) {
      std::fprintf(stderr, "velkscan-cli: cannot read the file list %s: %s\n",
                   o.filesFrom == "-" ? "on standard input" : o.filesFrom.c_str(), error.c_str());
      return kExitUsage;
    }
  } else if (o.undoPath.empty() && o.paths.empty()) {
    return refuse("no PATH given\nRun 'velkscan-cli --help' for more information.");
  }
  return std::nullopt;
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
  if (!refused.empty() || !store.Open(o.dbPath, [] { return g_stopRequested != 0; })) {
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
      return std::any_of(o.excludes.begin(), o.excludes.end(),
                         [&](const std::string& pattern) { return Excludes(pattern, path, folder); });
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
  if (g_stopRequested != 0) job.RequestStop();
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
  if (const std::optional<int> end = Parse(argc, argv, options)) return *end;
  if (const std::optional<int> end = Settle(options)) return *end;
  return Run(options);
}
