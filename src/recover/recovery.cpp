#include "recover/recovery.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <system_error>

#include "decoder/framedecoder.h"
#include "platform/filestream.h"
#include "platform/newfile.h"
#include "recover/salvage.h"
#include "scan/report.h"

namespace velkscan {

namespace {

double SecondsOf(uint64_t frames, double sampleRate) {
  const double seconds = static_cast<double>(frames) * kSamplesPerFrame / sampleRate;
  return sampleRate > 0 && std::isfinite(seconds) ? seconds : 0;
}

std::string Clock(uint64_t frames, double sampleRate) {
  const auto s = static_cast<uint64_t>(SecondsOf(frames, sampleRate));
  return FormatTime(static_cast<uint32_t>(s / 3600), static_cast<uint32_t>(s / 60 % 60),
                    static_cast<uint32_t>(s % 60));
}

void AddMap(const DamageMap& map, const StreamInfo& info, const FileOutcome& outcome, uint64_t fileLength,
            FileRecovery& recovery) {
  std::vector<std::string>& lines = recovery.lines;
  // The header's count of 0 is not taken for the end: the frames that pass
  // behind it were followed to the end of the file.
  if (outcome.declaredFrames == 0) {
    const uint64_t kept = map.KeptFrames();
    lines.push_back("    its header declares no frames, but " + std::to_string(kept) + " frame" +
                    (kept == 1 ? "" : "s") + " (" + Clock(kept, outcome.sampleRate) +
                    ") pass up to the end of the file");
    recovery.undeclaredFrames = kept;
  }
  for (size_t i = 0; i < map.regions.size(); ++i) {
    const DamagedRegion& r = map.regions[i];
    DamagedStretch stretch;
    stretch.firstFrame = r.firstFrame + uint64_t{1};
    stretch.lastFrame = r.lastFrame + uint64_t{1};
    stretch.estimated = !r.countKnown;
    ByteSpan& bytes = stretch.bytes;
    bytes = BytesOfBits(info, r.beginBit, r.endBit, map.runs[i].align,
                        i + 1 < map.runs.size() ? map.runs[i + 1].align : map.runs[i].align);
    if (fileLength > 0) bytes.last = std::min(bytes.last, fileLength - 1);
    bytes.first = std::min(bytes.first, bytes.last);
    stretch.searchLimited = r.searchLimited;
    stretch.startSeconds = SecondsOf(r.firstFrame, outcome.sampleRate);
    stretch.endSeconds = SecondsOf(r.lastFrame + uint64_t{1}, outcome.sampleRate);
    const uint64_t follow = stretch.goodFramesFollowing =
        i + 1 < map.runs.size() ? map.runs[i + 1].frames : 0;
    lines.push_back(
        "    damaged: frames " + std::to_string(stretch.firstFrame) + "-" +
        std::to_string(stretch.lastFrame) + (r.countKnown ? "" : " (estimated)") + ", bytes " +
        std::to_string(bytes.first) + "-" + std::to_string(bytes.last) +
        (r.searchLimited ? " (search limit)" : "") + ", " + Clock(r.firstFrame, outcome.sampleRate) + "-" +
        Clock(r.lastFrame + uint64_t{1}, outcome.sampleRate) + "; " + std::to_string(follow) + " good frame" +
        (follow == 1 ? "" : "s") + " (" + Clock(follow, outcome.sampleRate) + ") follow");
    recovery.damage.push_back(stretch);
  }
  recovery.end = map.end;
  recovery.stopByte = map.readErrorByte;
  if (map.end == DamageMap::End::kReadError) {
    lines.push_back("    damage map incomplete: reading failed at byte " + std::to_string(map.readErrorByte));
  } else if (map.end == DamageMap::End::kOutOfReach) {
    lines.push_back("    damage map incomplete: stopped at byte " + std::to_string(map.readErrorByte) +
                    ", past the 4 GiB a file position reaches");
  }
  recovery.goodFramesAfter = map.GoodFramesAfter();
  recovery.goodSecondsAfter = SecondsOf(map.GoodFramesAfter(), outcome.sampleRate);
}

std::string SalvageLine(const RecoveryOptions& options, const std::string& listedPath,
                        const std::string& salvagePath, const SalvageResult& result,
                        const FileOutcome& outcome) {
  using Status = SalvageResult::Status;
  const std::string path = options.shownPath ? options.shownPath(listedPath) : listedPath;
  const std::string newPath = options.shownPath ? options.shownPath(salvagePath) : salvagePath;
  // Said only of a copy begun whose removal failed: what is said removed is gone.
  std::string left;
  if (result.partialLeft) {
    std::string partial =
        std::filesystem::path(salvagePath).parent_path().string() + '/' + result.partialName;
    if (options.shownPath) partial = options.shownPath(partial);
    left = ", and removing " + partial + " failed (" + result.removeError + ")";
  }
  switch (result.status) {
    case Status::kWritten:
      if (outcome.declaredFrames == 0)
        return path + ": salvaged " + std::to_string(result.keptFrames) + " frames (" +
               Clock(result.keptFrames, outcome.sampleRate) + ") to " + newPath +
               ", though its header declares none.";
      return path + ": salvaged " + std::to_string(result.keptFrames) + " of " +
             std::to_string(outcome.declaredFrames) + " frames (" +
             Clock(result.keptFrames, outcome.sampleRate) + ") to " + newPath + ".";
    case Status::kNothingKept:
      return path + ": not salvaged, no frame passed.";
    case Status::kNoneDeclared:
      return path + ": not salvaged, its header declares no frames.";
    case Status::kNotRewritten:
      return path + ": not salvaged, its header is not one velkscan rewrites.";
    case Status::kCountTooLarge:
      return path + ": not salvaged, its header cannot count " + std::to_string(result.keptFrames) +
             " frames.";
    case Status::kMapIncomplete:
      return path + ": not salvaged, the damage map is incomplete.";
    case Status::kReadFailed:
      return path + ": not salvaged, reading it failed.";
    case Status::kOutOfReach:
      return path + ": not salvaged, its frames go on past the 4 GiB a file position reaches.";
    case Status::kWriteFailed:
      return path + ": not salvaged, writing " + newPath + " failed (" + result.error + ")" + left + ".";
    case Status::kCheckFailed:
      return path + ": not salvaged, the copy " + newPath + " did not check whole" +
             (result.partialLeft ? left : " and was removed") + ".";
  }
  return {};
}

// The copies a killed run left half-written in folder, once per run and
// folder: a line and a path each.
void NoteLeftovers(const RecoveryOptions& options, const Folder& handle, const std::string& folder,
                   FileRecovery& recovery) {
  {
    const std::lock_guard<std::mutex> lock(options.foldersMutex);
    if (!options.foldersLooked.insert(folder).second) return;
  }
  const std::string ours = std::to_string(::getpid());
  std::vector<std::string> names;
  handle.Names(names);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (!IsPartialName(name)) continue;
    // NAME.PID[-N].velkscan-partial: a copy this run is writing is no leftover.
    std::string pid = name.substr(0, name.size() - std::string_view(kPartialSuffix).size());
    pid = pid.substr(pid.rfind('.') + 1);
    if (pid.substr(0, pid.find('-')) == ours) continue;
    const std::string path = folder + '/' + name;
    recovery.lines.push_back((options.shownPath ? options.shownPath(path) : path) +
                             ": left over from an interrupted salvage, not a salvaged copy.");
    recovery.leftovers.push_back(path);
  }
}

// The folder under DIR that `relative` (a path below it) goes into, each
// folder on the way opened (made when missing) inside the one before by
// name, never through a link; error names the one that is not a folder.
Folder OpenWithin(const std::string& dir, const std::filesystem::path& relative, std::string& error) {
  Folder folder = Folder::OpenPath(dir, error);
  std::string at = dir;
  for (const auto& part : relative.parent_path()) {
    if (!folder.open()) break;
    if (part.empty() || part == ".") continue;
    at += (at.back() == '/' ? "" : "/") + part.string();
    folder = folder.Child(part.string(), error);
    if (!folder.open()) error = at + ": " + error;
  }
  return folder;
}

// The copy's path below DIR.
std::string SalvageRelative(const RecoveryOptions& options, const std::string& listedPath) {
  // The deepest directory given that holds the file.
  std::string relative;
  size_t matched = 0;
  for (const std::string& root : options.roots) {
    if (root.empty() || !IsDirectory(root)) continue;
    const std::string prefix = root.back() == '/' ? root : root + '/';
    if (prefix.size() > matched && listedPath.size() > prefix.size() &&
        listedPath.compare(0, prefix.size(), prefix) == 0) {
      matched = prefix.size();
      relative = listedPath.substr(prefix.size());
    }
  }
  // A ".." would lead out of DIR: such a file goes in by its name.
  const std::filesystem::path parts(relative);
  bool climbs = parts.is_absolute();
  for (const auto& part : parts) climbs = climbs || part == "..";
  if (relative.empty() || climbs) relative = std::filesystem::path(listedPath).filename().string();
  return relative;
}

}  // namespace

std::string SalvagePath(const RecoveryOptions& options, const std::string& listedPath) {
  const std::string relative = SalvageRelative(options, listedPath);
  const std::string& dir = options.salvageDir;
  return dir.back() == '/' ? dir + relative : dir + '/' + relative;
}

FileRecovery RecoverFile(const RecoveryOptions& options, const FileOutcome& outcome,
                         const std::string& path) {
  FileRecovery recovery;
  if (!options.active() || outcome.status != FileStatus::kBroken) return recovery;

  // The file again, read-only, with the header as it was checked.
  FileStream stream(OpenFileForScan(path, false));
  StreamInfo info{};
  const bool readable =
      stream.handle() != kInvalidHandle && ReadStreamHeader(info, stream) == HeaderResult::kOk;
  DamageMap map;
  const bool mapped = readable && outcome.failAt.has_value();
  recovery.mapAsked = options.map;
  recovery.mapped = mapped;
  if (mapped) {
    map = MapDamage(stream, info, outcome.declaredFrames, outcome.goodFrames, outcome.failAt->bit,
                    options.stopped);
    if (map.end == DamageMap::End::kStopped) return FileRecovery();
    std::error_code error;
    const uint64_t size = std::filesystem::file_size(path, error);
    if (options.map) AddMap(map, info, outcome, error ? 0 : size, recovery);
  } else if (options.map) {
    recovery.lines.push_back(!readable
                                 ? "    no damage map: the file could not be read again"
                                 : "    no damage map: the frames of this stream version are not checked");
  }
  if (options.salvageDir.empty()) return recovery;

  recovery.salvageAsked = true;
  const std::string newPath = SalvagePath(options, path);
  const std::string folder = std::filesystem::path(newPath).parent_path().string();
  SalvageResult result;
  if (!readable) {
    result.status = SalvageResult::Status::kReadFailed;
  } else if (!mapped) {
    result.status = SalvageResult::Status::kNotRewritten;
  } else {
    // A link inside DIR is never followed: the folders are opened one in the
    // other, so that no link swapped in meanwhile carries a byte out of DIR.
    const std::filesystem::path relative = SalvageRelative(options, path);
    const Folder into = OpenWithin(options.salvageDir, relative, result.error);
    if (!into.open()) {
      result.status = SalvageResult::Status::kWriteFailed;
    } else {
      NoteLeftovers(options, into, folder, recovery);
      result =
          WriteSalvage(stream, info, map, into, relative.filename().string(), PermissionsOf(stream.handle()));
    }
  }
  recovery.lines.push_back(SalvageLine(options, path, newPath, result, outcome));
  recovery.written = result.status == SalvageResult::Status::kWritten;
  if (!recovery.written) options.salvageFailed = true;
  if (recovery.written) recovery.salvagePath = newPath;
  recovery.keptFrames = result.keptFrames;
  return recovery;
}

}  // namespace velkscan
