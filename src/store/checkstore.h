// The store of remembered checks: one SQLite database (a file of its own,
// no server) that keeps every check of every file, so that a library can be
// checked again by what changed, and a change that the frame check cannot
// see (a flipped sample bit) is found by the content hash.
//
// Rows are only ever added. Writes are gathered and committed together (at
// most one commit a second or per 1,000 rows), in WAL mode, so a kill loses
// at most the rows not yet committed, never a finished one's consistency,
// and a second program on the same store waits for its turn instead of
// failing.
#pragma once

#include <sqlite3.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/filetimes.h"

namespace velkscan::store {

// The schema this program writes; a store of a newer one is refused.
inline constexpr int kSchemaVersion = 2;
// SQLite's application id of a store of checks ("VkSc"): with the schema
// version, the mark a file must carry to be written as a store. A store of
// version 1 carries none, and is known by its exact tables instead.
inline constexpr uint32_t kApplicationId = 0x566B5363;

using ContentHash = std::array<uint8_t, 16>;

// What a record says was done, as the store, the history and the JSON name it.
inline constexpr std::string_view kCheckAction = "check";
inline constexpr std::string_view kRepairAction = "repair";  // a header was rewritten
inline constexpr std::string_view kUndoAction = "undo";      // a repair was undone
inline constexpr std::string_view kAcceptAction = "accept";  // the user accepted the content as it is
// The status of an undo's record: the header is as it was before the repair.
inline constexpr std::string_view kRestoredStatus = "restored";

// One check of one file, as recorded.
struct CheckRecord {
  std::string path;  // its bytes exactly, as given to the program
  FileStamp stamp;
  int64_t checkedAt = 0;  // seconds since 1970
  std::string version;    // of the program that checked
  std::string action;     // one of the k...Action names above
  std::string status;     // StatusName (store/remembered.h), or kRestoredStatus
  uint32_t goodFrames = 0;
  uint32_t declaredFrames = 0;
  double sampleRate = 0;
  std::optional<ContentHash> hash;  // of the whole file, when it was read whole
  std::string damage;               // the damage map as JSON, when one was made
  // The content differs from the one last accepted though its size and
  // modification time do not; until an "accept" record, the file is flagged.
  bool silentChange = false;
};

class CheckStore {
 public:
  CheckStore() = default;
  CheckStore(const CheckStore&) = delete;
  CheckStore& operator=(const CheckStore&) = delete;
  ~CheckStore();  // commits what is gathered

  // $XDG_STATE_HOME/velkscan/checks.sqlite, else ~/.local/state/...; empty
  // (why says so) when neither variable is an absolute path.
  static std::string DefaultPath(std::string* why = nullptr);

  // Opens the store, creating it (and a missing parent folder) when there is
  // none: a new store is made whole beside and linked into place, never over
  // a file. An existing file is written only when it carries the mark of a
  // store of checks, read before anything is written. False, with error()
  // saying why, for a file that is no store (another program's database
  // included), a store that is corrupt, of a newer schema, locked past the
  // wait, or cannot be written; such a file is left exactly as it was.
  // giveUp, when given, is asked as long as the store is open while another
  // program holds it: true ends the wait (a Stop), the write waited for
  // fails, and gaveUp() says so.
  bool Open(const std::string& path, std::function<bool()> giveUp = nullptr);

  // The newest record of a path; nullopt when there is none (or on error).
  // A run of lookups shares one read transaction, let go at the next
  // record or commit and at least once a second or per 1,000 lookups: one
  // snapshot for a run of unchanged files instead of one each, and the log
  // is never kept from its checkpoint for long (WAL readers do not block
  // writers).
  std::optional<CheckRecord> Last(std::string_view path);
  // The same as far as a recall needs it (the stamp, checkedAt, action,
  // status, frames, sample rate and the silent-change flag; path, version,
  // hash and damage are left as they were), into a record the caller keeps
  // from lookup to lookup: nothing to allocate per file. False when there is
  // none, or the read failed.
  bool LastBrief(std::string_view path, CheckRecord& record);
  // Every record of a path, newest first.
  std::vector<CheckRecord> History(std::string_view path);
  // The newest record of a path that is not flagged as a silent change: the
  // content last accepted.
  std::optional<CheckRecord> LastAccepted(std::string_view path);

  // Gathers a record; commits when a second has passed since the last
  // commit or 1,000 records wait. False once a commit has failed.
  bool Record(CheckRecord record);
  // Commits what is gathered. False when it failed (error() says why).
  bool Flush();

  const std::string& error() const { return error_; }
  bool failed() const { return !error_.empty(); }
  // A write failed because giveUp ended the wait for another program.
  bool gaveUp() const { return gaveUp_; }

 private:
  static int WaitWhileBusy(void* self, int tries);
  bool Exec(const char* sql);
  bool Fail(const char* what);
  bool Commit();
  bool Migrate(bool fresh);
  bool Create(const std::string& path);
  bool IsOwn(const std::string& path);
  void EndRead();
  // The newest records of a path first; limit < 0: all of them.
  std::vector<CheckRecord> Select(std::string_view path, int limit, bool onlyAccepted = false);
  // The lookup statement (kind: of any record, of an accepted one, brief),
  // prepared once, bound to path in the run's read transaction; null when
  // it cannot be prepared.
  enum Lookup { kAny, kAccepted, kBrief };
  sqlite3_stmt* StartLookup(Lookup kind, std::string_view path);

  std::mutex mutex_;
  sqlite3* db_ = nullptr;
  std::vector<CheckRecord> pending_;
  std::chrono::steady_clock::time_point lastCommit_ = std::chrono::steady_clock::now();
  std::string error_;
  std::function<bool()> giveUp_;
  std::chrono::steady_clock::time_point busySince_;
  bool gaveUp_ = false;
  sqlite3_stmt* select_[3] = {};  // by Lookup
  bool reading_ = false;          // a read transaction is open
  std::chrono::steady_clock::time_point readSince_;
  std::size_t readLookups_ = 0;
};

}  // namespace velkscan::store
