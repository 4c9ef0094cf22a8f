// What becomes of a broken file after its check, for every front end that
// offers it (velkscan-cli --map and --salvage, the window's choice for broken
// files): the map of every damaged stretch, and the copy that keeps the good
// frames. The lines under the file's report line are the same text in each;
// the facts behind them are there for a front end's own record (the
// terminal's JSON).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "recover/damagemap.h"
#include "scan/filecheck.h"

namespace velkscan {

struct RecoveryOptions {
  bool map = false;
  std::string salvageDir;          // empty: no salvaged copies
  std::vector<std::string> roots;  // the paths given, for a file's place under salvageDir
  std::function<bool()> stopped;   // the job was stopped: leave the file alone
  // How a path appears in the lines, as in the report (see ScanHooks::reportPath); null: as it is.
  std::string (*shownPath)(std::string_view path) = nullptr;

  bool active() const { return map || !salvageDir.empty(); }

  // Set when a broken file's salvaged copy was asked for and not written.
  mutable std::atomic<bool> salvageFailed{false};
  // The folders already looked into for copies a killed run left behind.
  mutable std::mutex foldersMutex;
  mutable std::set<std::string> foldersLooked;
};

// One damaged stretch of the map, as its line gives it (frames from 1).
struct DamagedStretch {
  uint64_t firstFrame = 0;
  uint64_t lastFrame = 0;
  bool estimated = false;  // the count of frames in it is a guess
  ByteSpan bytes;
  bool searchLimited = false;
  double startSeconds = 0;
  double endSeconds = 0;
  uint64_t goodFramesFollowing = 0;
};

// What the recovery of a broken file did. Nothing at all (no lines, no
// map, no salvage) for a file that is not broken, or when it was stopped.
struct FileRecovery {
  // The lines under the file's report line, without their line ends.
  std::vector<std::string> lines;

  // With map: made (a whole map or one cut short), or none, because the file
  // could not be read again or its frames are not checked.
  bool mapAsked = false;
  bool mapped = false;
  std::optional<uint64_t> undeclaredFrames;  // the frames behind a header that declares none
  std::vector<DamagedStretch> damage;
  DamageMap::End end = DamageMap::End::kComplete;
  uint64_t stopByte = 0;  // where a map cut short stopped
  uint64_t goodFramesAfter = 0;
  double goodSecondsAfter = 0;

  // With a salvage folder: the copies a killed run left in the copy's folder
  // (once a run and folder), and the copy.
  bool salvageAsked = false;
  std::vector<std::string> leftovers;
  bool written = false;
  std::string salvagePath;  // where the copy went (when written)
  uint64_t keptFrames = 0;
};

// Where the salvaged copy of a listed file goes: its path below the
// directory it was found in, or its name when it was given itself or when
// that path would climb out of the directory (a "..").
std::string SalvagePath(const RecoveryOptions& options, const std::string& listedPath);

// Reads a broken file again (read-only) and writes only its salvaged copy.
FileRecovery RecoverFile(const RecoveryOptions& options, const FileOutcome& outcome, const std::string& path);

}  // namespace velkscan
