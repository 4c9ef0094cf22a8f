#include "cli/remembered.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "cli/terminal.h"
#include "journal/journal.h"
#include "platform/filetimes.h"
#include "scan/filelist.h"
#include "scan/report.h"
#include "velkscan_version.h"

namespace velkscan::cli {

namespace {

std::string HexOf(const store::ContentHash& hash) {
  return Hex(TextView(reinterpret_cast<const char*>(hash.data()), hash.size()));
}

}  // namespace

std::string StorePath(const std::string& path) {
  return journal::AbsolutePath(path).value_or(path);
}

bool RecallFile(const RememberOptions& options, const std::string& path, FileOutcome& outcome) {
  return store::RecallFile(options, StorePath(path), path, outcome);
}

std::string FindSilentChange(const RememberOptions& options, const std::string& path,
                             const FileOutcome& outcome) {
  if (options.store == nullptr) return "";
  return store::FindSilentChange(*options.store, StorePath(path), outcome);
}

std::string RefuseStorePath(const std::string& storePath, const std::vector<std::string>& paths) {
  if (HasVelkExtension(storePath)) return "its name has a Velk file extension";
  if (storePath == ":memory:" || storePath.rfind("file:", 0) == 0)
    return "SQLite takes that name for another kind of store";
  struct stat store;
  const bool exists = ::stat(storePath.c_str(), &store) == 0;
  if (exists && S_ISDIR(store.st_mode)) return "it is a folder";
  // The store's own folder, or the nearest one of its folders that exists.
  std::error_code error;
  std::filesystem::path folder = std::filesystem::absolute(storePath, error).parent_path();
  while (!folder.empty() && !std::filesystem::exists(folder, error) && folder != folder.root_path())
    folder = folder.parent_path();
  folder = std::filesystem::canonical(folder, error);
  for (const std::string& path : paths) {
    struct stat checked;
    if (path == storePath || (exists && ::stat(path.c_str(), &checked) == 0 &&
                              checked.st_dev == store.st_dev && checked.st_ino == store.st_ino))
      return "it is one of the paths to check";
    if (::stat(path.c_str(), &checked) != 0 || !S_ISDIR(checked.st_mode) || error) continue;
    for (std::filesystem::path up = folder; !up.empty(); up = up.parent_path()) {
      struct stat above;
      if (::stat(up.c_str(), &above) == 0 && above.st_dev == checked.st_dev && above.st_ino == checked.st_ino)
        return "it is inside a folder to check";
      if (up == up.root_path()) break;
    }
  }
  return "";
}

int AcceptPaths(store::CheckStore& store, const std::vector<std::string>& paths, std::FILE* out,
                std::string (*shownPath)(std::string_view)) {
  int status = 0;
  for (const std::string& path : paths) {
    const std::string why = store::AcceptContent(store, StorePath(path), path);
    const std::string shown = shownPath != nullptr ? shownPath(path) : path;
    if (why.empty()) {
      std::fprintf(out, "%s: its content now is accepted.\n", shown.c_str());
    } else {
      std::fprintf(out, "%s: not accepted: %s.\n", shown.c_str(), why.c_str());
      status = 1;
    }
  }
  std::fflush(out);
  return status;
}

void RememberFile(const RememberOptions& options, const FileOutcome& outcome, const std::string& path,
                  const nlohmann::ordered_json& damage, nlohmann::ordered_json& fields) {
  if (options.store == nullptr) return;
  if (outcome.recalled) {
    fields["unchanged"] = true;
    fields["checkedAt"] = outcome.recalledAt;
    return;
  }
  if (options.verify) fields["silentChange"] = outcome.silentChange;
  std::optional<store::CheckRecord> record = store::RecordOf(outcome, StorePath(path));
  if (!record) return;
  if (record->hash) fields["contentHash"] = HexOf(*record->hash);
  if (!damage.is_null()) record->damage = damage.dump();
  options.store->Record(std::move(*record));
}

void RememberUndo(store::CheckStore& store, const std::string& path) {
  store::CheckRecord record;
  record.path = StorePath(path);
  if (!ReadPathStamp(path, record.stamp)) return;
  record.checkedAt = static_cast<int64_t>(std::time(nullptr));
  record.version = VELKSCAN_VERSION;
  record.action = store::kUndoAction;
  record.status = store::kRestoredStatus;
  store.Record(std::move(record));
}

int PrintHistory(store::CheckStore& store, const std::vector<std::string>& paths, bool json, std::FILE* out,
                 std::string (*shownPath)(std::string_view)) {
  int status = 0;
  for (const std::string& path : paths) {
    const std::vector<store::CheckRecord> records = store.History(StorePath(path));
    const std::string shown = shownPath != nullptr ? shownPath(path) : path;
    if (records.empty()) status = 2;
    if (json) {
      nlohmann::ordered_json checks = nlohmann::ordered_json::array();
      for (const store::CheckRecord& r : records) {
        checks.push_back({{"checkedAt", r.checkedAt},
                          {"action", r.action},
                          {"status", r.status},
                          {"goodFrames", r.goodFrames},
                          {"declaredFrames", r.declaredFrames},
                          {"size", r.stamp.file.size},
                          {"contentHash", r.hash ? nlohmann::ordered_json(HexOf(*r.hash)) : nullptr},
                          {"silentChange", r.silentChange},
                          {"version", r.version}});
      }
      const nlohmann::ordered_json object = {{"type", "history"}, {"path", path}, {"checks", checks}};
      std::fprintf(out, "%s\n",
                   object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
      continue;
    }
    if (records.empty()) {
      std::fprintf(out, "%s: no check recorded.\n", shown.c_str());
      continue;
    }
    std::fprintf(out, "%s:\n", shown.c_str());
    for (const store::CheckRecord& r : records) {
      std::string result = r.status;
      if (r.status == StatusName(FileStatus::kBroken) || r.status == StatusName(FileStatus::kReadError))
        result += " after frame " + std::to_string(r.goodFrames) + "/" + std::to_string(r.declaredFrames);
      if (r.silentChange) result += ", changed silently";
      std::fprintf(out, "    %s  %-7s %-28s %s  velkscan %s\n", LocalDateText(r.checkedAt).c_str(),
                   r.action.c_str(), result.c_str(),
                   r.hash ? HexOf(*r.hash).c_str() : "(no hash)                       ", r.version.c_str());
    }
  }
  std::fflush(out);
  return status;
}

}  // namespace velkscan::cli
