#include "store/remembered.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/filetimes.h"
#include "scan/report.h"
#include "store/contenthash.h"
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
  FileStamp now = outcome.stamp.value_or(FileStamp{});
  if (!(outcome.stamp && options.listedStampIsFresh) && !ReadPathStamp(path, now)) return false;
  CheckRecord brief;  // its texts short ones: nothing allocated
  const CheckRecord* last = options.store->LastBrief(key, brief) ? &brief : nullptr;
  // A flagged file is checked again, so that it stays flagged.
  if (last == nullptr || !(last->stamp == now) || last->silentChange) return false;
  // Only a finished check stands for another: not a read error, not a file
  // that did not open, not an undo; and under --repair not a broken file
  // that no repair has touched yet.
  const std::optional<FileStatus> status = StatusFromName(last->status);
  if (!status) return false;
  if (options.onlyWhole && *status != FileStatus::kOk) return false;
  if (*status == FileStatus::kBroken && options.repair && last->action != kRepairAction) return false;
  outcome.status = *status;
  outcome.goodFrames = last->goodFrames;
  outcome.declaredFrames = last->declaredFrames;
  outcome.sampleRate = last->sampleRate;
  outcome.recalledAt = last->checkedAt;
  return true;
}

std::optional<CheckRecord> RecordOf(const FileOutcome& outcome, const std::string& key) {
  if (outcome.recalled || outcome.status == FileStatus::kStopped || !outcome.stamp) return std::nullopt;
  CheckRecord record;
  record.path = key;
  record.stamp = *outcome.stamp;
  record.checkedAt = static_cast<int64_t>(std::time(nullptr));
  record.version = VELKSCAN_VERSION;
  record.action = outcome.repair == RepairOutcome::kRepaired ? kRepairAction : kCheckAction;
  record.status = StatusName(outcome.status);
  record.goodFrames = outcome.goodFrames;
  record.declaredFrames = outcome.declaredFrames;
  record.sampleRate = outcome.sampleRate;
  record.hash = outcome.contentHash;
  record.silentChange = outcome.silentChange;
  return record;
}

std::string FindSilentChange(CheckStore& store, const std::string& key, const FileOutcome& outcome) {
  if (!outcome.contentHash || !outcome.stamp) return "";
  const std::optional<CheckRecord> accepted = store.LastAccepted(key);
  if (!accepted || !accepted->hash || *accepted->hash == *outcome.contentHash) return "";
  const std::string since = LocalDateText(accepted->checkedAt);
  if (accepted->stamp.file.size == outcome.stamp->file.size &&
      accepted->stamp.modifiedNs == outcome.stamp->modifiedNs)
    return "changed since the check of " + since + ", though its size and modification time are the same.";
  const std::optional<CheckRecord> last = store.Last(key);
  if (!last || !last->silentChange) return "";  // changed as files change
  return "changed since the check of " + since +
         " without a change of its size or modification time, and no new content was accepted since.";
}

std::string AcceptContent(CheckStore& store, const std::string& key, const std::string& path) {
  std::optional<CheckRecord> last = store.Last(key);
  if (!last) return "no check of it is recorded";
  if (!last->silentChange) return "it is not flagged as changed";
  FileStamp before, after;
  std::unique_ptr<ContentHasher> hasher = MakeXxh3Hasher();
  const int fd = ReadPathStamp(path, before) ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC) : -1;
  if (fd < 0 || hasher == nullptr) return std::string("it cannot be read (") + std::strerror(errno) + ")";
  char buffer[1 << 16];
  ssize_t got = 0;
  while ((got = ::read(fd, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR))
    if (got > 0) hasher->Update(buffer, static_cast<std::size_t>(got));
  const int why = errno;
  ::close(fd);
  if (got < 0) return std::string("it cannot be read (") + std::strerror(why) + ")";
  ContentHash hash;
  uint8_t digest[16];
  hasher->Digest(digest);
  std::copy(std::begin(digest), std::end(digest), hash.begin());
  if (!ReadPathStamp(path, after) || !(after == before) || !last->hash || *last->hash != hash)
    return "it changed since its last check; check it again first";
  last->stamp = after;
  last->checkedAt = static_cast<int64_t>(std::time(nullptr));
  last->version = VELKSCAN_VERSION;
  last->action = kAcceptAction;
  last->silentChange = false;
  last->damage.clear();
  return store.Record(std::move(*last)) ? "" : "the store failed (" + store.error() + ")";
}

}  // namespace velkscan::store
