#include "store/remembered.h"

#include <algorithm>
#include <ctime>

#include "platform/filetimes.h"
#include "scan/report.h"
#include "velkscan_version.h"

namespace velkscan::store {

namespace {

std::optional<FileStatus> StatusFromName(const std::string& name) {
  for (FileStatus status : {FileStatus::kOk, FileStatus::kBroken, FileStatus::kUnrecognized}) {
    if (name == StatusName(status)) return status;
  }
  return std::nullopt;
}

}  // namespace

const char* StatusName(FileStatus status) {
  switch (status) {
    case FileStatus::kOk:
      return "ok";
    case FileStatus::kBroken:
      return "broken";
    case FileStatus::kOpenFailed:
      return "open-failed";
    case FileStatus::kUnrecognized:
      return "unrecognized";
    case FileStatus::kReadError:
      return "read-error";
    case FileStatus::kStopped:
      break;
  }
  return "stopped";
}

bool RecallFile(const RememberOptions& options, const std::string& key, const std::string& path,
                FileOutcome& outcome) {
  if (options.store == nullptr) return false;
  FileStamp now = outcome.stamp;
  if (!(outcome.stampKnown && options.listedStampIsFresh) && !ReadPathStamp(path, now)) return false;
  const std::optional<CheckRecord> last = options.store->Last(key);
  if (!last || !(last->stamp == now)) return false;
  // Only a finished check stands for another: not a read error, not a file
  // that did not open, not an undo; and under --repair not a broken file
  // that no repair has touched yet.
  const std::optional<FileStatus> status = StatusFromName(last->status);
  if (!status) return false;
  if (options.onlyWhole && *status != FileStatus::kOk) return false;
  if (*status == FileStatus::kBroken && options.repair && last->action != "repair") return false;
  outcome.status = *status;
  outcome.goodFrames = last->goodFrames;
  outcome.declaredFrames = last->declaredFrames;
  outcome.sampleRate = last->sampleRate;
  outcome.recalledAt = last->checkedAt;
  return true;
}

std::optional<CheckRecord> RecordOf(const FileOutcome& outcome, const std::string& key) {
  if (outcome.recalled || outcome.status == FileStatus::kStopped || !outcome.stampKnown) return std::nullopt;
  CheckRecord record;
  record.path = key;
  record.stamp = outcome.stamp;
  record.checkedAt = static_cast<int64_t>(std::time(nullptr));
  record.version = VELKSCAN_VERSION;
  record.action = outcome.repair == RepairOutcome::kRepaired ? "repair" : "check";
  record.status = StatusName(outcome.status);
  record.goodFrames = outcome.goodFrames;
  record.declaredFrames = outcome.declaredFrames;
  record.sampleRate = outcome.sampleRate;
  if (outcome.hashed) {
    ContentHash hash;
    std::copy(std::begin(outcome.contentHash), std::end(outcome.contentHash), hash.begin());
    record.hash = hash;
  }
  return record;
}

}  // namespace velkscan::store
