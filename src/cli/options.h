// velkscan-cli's options: the command line read into Options (Parse), then
// what they ask for together and the file list (Settle). A usage error, --help
// and --version end the program with the status these return.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace velkscan::cli {

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

std::optional<int> Parse(int argc, char** argv, Options& o);
std::optional<int> Settle(Options& o);

// One --exclude pattern against a path below a folder given.
bool Excludes(const std::string& pattern, const std::string& below, bool folder);

}  // namespace velkscan::cli
