// velkscan-cli --map and --salvage: after a file's report lines, the map of
// every damaged stretch of a broken file, and its salvaged copy.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "scan/filecheck.h"

namespace velkscan::cli {

struct RecoveryOptions {
  bool map = false;
  std::string salvageDir;          // empty: no salvaged copies
  std::vector<std::string> roots;  // the paths given, for a file's place under salvageDir
  std::function<bool()> stopped;   // the job was stopped: leave the file alone
  // How a path appears in the lines, as in the report (see ScanJob::reportPath); null: as it is.
  std::string (*shownPath)(std::string_view path) = nullptr;

  bool active() const { return map || !salvageDir.empty(); }

  // Set when a broken file's salvaged copy was asked for and not written.
  mutable std::atomic<bool> salvageFailed{false};
  // The folders already looked into for copies a killed run left behind.
  mutable std::mutex foldersMutex;
  mutable std::set<std::string> foldersLooked;
};

// Where the salvaged copy of a listed file goes: its path below the
// directory it was found in, or its name when it was given itself or when
// that path would climb out of the directory (a "..").
std::string SalvagePath(const RecoveryOptions& options, const std::string& listedPath);

// The lines to print under the file's report line ("\n"-terminated) and the
// fields to add to its JSON object. Reads the file again (read-only) and
// writes only the salvaged copy.
void RecoverFile(const RecoveryOptions& options, const FileOutcome& outcome, const std::string& path,
                 std::string& lines, nlohmann::ordered_json& fields);

}  // namespace velkscan::cli
