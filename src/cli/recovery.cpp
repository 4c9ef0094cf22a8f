#include "cli/recovery.h"

#include "cli/terminal.h"

namespace velkscan::cli {

namespace {

using json = nlohmann::ordered_json;

void AddMap(const FileRecovery& recovery, json& fields) {
  if (!recovery.mapped) {
    fields["damage"] = nullptr;
    fields["damageMapComplete"] = false;
    fields["goodFramesAfter"] = nullptr;
    fields["goodSecondsAfter"] = nullptr;
    return;
  }
  if (recovery.undeclaredFrames) fields["undeclaredFrames"] = *recovery.undeclaredFrames;
  json damage = json::array();
  for (const DamagedStretch& d : recovery.damage) {
    damage.push_back({{"firstFrame", d.firstFrame},
                      {"lastFrame", d.lastFrame},
                      {"framesEstimated", d.estimated},
                      {"firstByte", d.bytes.first},
                      {"lastByte", d.bytes.last},
                      {"startSeconds", d.startSeconds},
                      {"endSeconds", d.endSeconds},
                      {"goodFramesFollowing", d.goodFramesFollowing},
                      {"searchLimited", d.searchLimited}});
  }
  json stop = nullptr;
  if (recovery.end == DamageMap::End::kReadError) {
    stop = {{"reason", "read-error"}, {"byte", recovery.stopByte}};
  } else if (recovery.end == DamageMap::End::kOutOfReach) {
    stop = {{"reason", "4-gib-limit"}, {"byte", recovery.stopByte}};
  }
  fields["damage"] = damage;
  fields["damageMapComplete"] = recovery.end == DamageMap::End::kComplete;
  fields["damageMapStop"] = stop;
  fields["goodFramesAfter"] = recovery.goodFramesAfter;
  fields["goodSecondsAfter"] = recovery.goodSecondsAfter;
}

void AddSalvage(const FileRecovery& recovery, json& fields) {
  json found = json::array();
  for (const std::string& path : recovery.leftovers) {
    json entry = {{"path", path}};
    if (!IsUtf8(path)) entry["pathHex"] = Hex(path);
    found.push_back(entry);
  }
  if (!found.empty()) fields["interruptedSalvages"] = found;
  const std::string& newPath = recovery.salvagePath;
  json salvage = {{"path", recovery.written ? json(newPath) : json(nullptr)}};
  if (recovery.written && !IsUtf8(newPath)) salvage["pathHex"] = Hex(newPath);
  salvage["keptFrames"] = recovery.keptFrames;
  salvage["written"] = recovery.written;
  fields["salvage"] = salvage;
}

}  // namespace

void RecoverFile(const RecoveryOptions& options, const FileOutcome& outcome, const std::string& path,
                 std::string& lines, json& fields) {
  if (!options.active() || outcome.status == FileStatus::kStopped) return;
  if (options.map && outcome.status != FileStatus::kBroken) {
    const bool ok = outcome.status == FileStatus::kOk;
    fields["damage"] = ok ? json::array() : json(nullptr);
    fields["damageMapComplete"] = ok ? json(true) : json(nullptr);
    fields["goodFramesAfter"] = ok ? json(0) : json(nullptr);
    fields["goodSecondsAfter"] = ok ? json(0.0) : json(nullptr);
  }
  const FileRecovery recovery = velkscan::RecoverFile(options, outcome, path);
  for (const std::string& line : recovery.lines) lines += line + "\n";
  if (recovery.mapAsked) AddMap(recovery, fields);
  if (recovery.salvageAsked) AddSalvage(recovery, fields);
}

}  // namespace velkscan::cli
