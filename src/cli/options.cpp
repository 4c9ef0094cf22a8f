#include "cli/options.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/usage.h"
#include "journal/exitstatus.h"
#include "velkscan_version.h"

namespace velkscan::cli {
namespace {

constexpr int kExitUsage = Code(ExitStatus::kUsage);

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

}  // namespace

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

}  // namespace velkscan::cli
