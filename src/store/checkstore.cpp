#include "store/checkstore.h"

#include <sys/stat.h>
#include <xxhash.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

namespace velkscan::store {

namespace {

// How long a store locked by another program is waited for.
constexpr int kBusyWaitMs = 60000;
// Gathered records are committed after this long, or at this many.
constexpr auto kCommitInterval = std::chrono::seconds(1);
constexpr std::size_t kCommitRecords = 1000;

// Version 1. A path is found by the 64-bit hash of its bytes (a small
// index), then compared whole.
constexpr const char* kSchema1 = R"sql(
CREATE TABLE checks (
  id INTEGER PRIMARY KEY,
  path_key INTEGER NOT NULL,
  path BLOB NOT NULL,
  device INTEGER NOT NULL,
  inode INTEGER NOT NULL,
  size INTEGER NOT NULL,
  modified_ns INTEGER NOT NULL,
  changed_ns INTEGER NOT NULL,
  checked_at INTEGER NOT NULL,
  version TEXT NOT NULL,
  action TEXT NOT NULL,
  status TEXT NOT NULL,
  good_frames INTEGER NOT NULL,
  declared_frames INTEGER NOT NULL,
  sample_rate REAL NOT NULL,
  hash BLOB,
  damage TEXT
);
CREATE INDEX checks_by_path ON checks (path_key, id);
)sql";

constexpr const char* kColumns =
    "path, device, inode, size, modified_ns, changed_ns, checked_at, version, action, status, good_frames, "
    "declared_frames, sample_rate, hash, damage";

int64_t PathKey(std::string_view path) {
  return static_cast<int64_t>(XXH3_64bits(path.data(), path.size()));
}

// A statement that finalizes itself.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) { sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr); }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return stmt_; }
  explicit operator bool() const { return stmt_ != nullptr; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

std::string Text(sqlite3_stmt* stmt, int column) {
  const auto* bytes = static_cast<const char*>(sqlite3_column_blob(stmt, column));
  return bytes == nullptr ? std::string()
                          : std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
}

CheckRecord ReadRecord(sqlite3_stmt* stmt) {
  CheckRecord record;
  record.path = Text(stmt, 0);
  record.stamp.file.device = static_cast<uint64_t>(sqlite3_column_int64(stmt, 1));
  record.stamp.file.file = static_cast<uint64_t>(sqlite3_column_int64(stmt, 2));
  record.stamp.file.size = static_cast<uint64_t>(sqlite3_column_int64(stmt, 3));
  record.stamp.modifiedNs = sqlite3_column_int64(stmt, 4);
  record.stamp.changedNs = sqlite3_column_int64(stmt, 5);
  record.checkedAt = sqlite3_column_int64(stmt, 6);
  record.version = Text(stmt, 7);
  record.action = Text(stmt, 8);
  record.status = Text(stmt, 9);
  record.goodFrames = static_cast<uint32_t>(sqlite3_column_int64(stmt, 10));
  record.declaredFrames = static_cast<uint32_t>(sqlite3_column_int64(stmt, 11));
  record.sampleRate = sqlite3_column_double(stmt, 12);
  const std::string hash = Text(stmt, 13);
  if (hash.size() == 16) {
    ContentHash value;
    std::memcpy(value.data(), hash.data(), 16);
    record.hash = value;
  }
  record.damage = Text(stmt, 14);
  return record;
}

}  // namespace

CheckStore::~CheckStore() {
  Flush();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    EndRead();
    sqlite3_finalize(select_);
  }
  sqlite3_close(db_);
}

std::string CheckStore::DefaultPath() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/velkscan/checks.sqlite";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.local/state/velkscan/checks.sqlite";
  return "";
}

bool CheckStore::Fail(const char* what) {
  error_ = std::string(what) + ": " + (db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory");
  return false;
}

bool CheckStore::Exec(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// The wait for a store another program holds: a few milliseconds at a time,
// up to kBusyWaitMs, or until the owner gives up.
int CheckStore::WaitWhileBusy(void* self, int tries) {
  auto* store = static_cast<CheckStore*>(self);
  const auto now = std::chrono::steady_clock::now();
  if (tries == 0) store->busySince_ = now;
  if (now - store->busySince_ >= std::chrono::milliseconds(kBusyWaitMs)) return 0;
  if (store->giveUp_ && store->giveUp_()) return 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(tries < 10 ? 1 : 10));
  return 1;
}

bool CheckStore::Open(const std::string& path, std::function<bool()> giveUp) {
  std::lock_guard<std::mutex> lock(mutex_);
  giveUp_ = std::move(giveUp);
  struct stat status;
  const bool exists = ::stat(path.c_str(), &status) == 0;
  if (exists && !S_ISREG(status.st_mode)) {
    error_ = "not a file";
    return false;
  }
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX;
  if (!exists) {
    // A new store: its folder too (the default one is new on first use).
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    flags |= SQLITE_OPEN_CREATE;
  }
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) return Fail("cannot open it");
  if (sqlite3_db_readonly(db_, "main") == 1) {
    error_ = "it is read-only";
    return false;
  }
  sqlite3_busy_handler(db_, WaitWhileBusy, this);
  sqlite3_extended_result_codes(db_, 1);
  // Read before anything is written: a file that is no store, or a damaged
  // one, is left exactly as it is.
  int version = -1;
  {
    Statement read(db_, "PRAGMA user_version");
    if (!read || sqlite3_step(read.get()) != SQLITE_ROW) return Fail("not a store of checks");
    version = sqlite3_column_int(read.get(), 0);
  }
  if (version > kSchemaVersion) {
    error_ = "written by a newer version of velkscan (schema " + std::to_string(version) + ")";
    return false;
  }
  {
    Statement check(db_, "PRAGMA quick_check");
    if (!check || sqlite3_step(check.get()) != SQLITE_ROW) return Fail("it cannot be read whole");
    if (Text(check.get(), 0) != "ok") {
      error_ = "it is damaged (" + Text(check.get(), 0) + ")";
      return false;
    }
  }
  if (!Exec("PRAGMA journal_mode=WAL")) return Fail("cannot switch it to WAL mode");
  Exec("PRAGMA synchronous=NORMAL");
  // The write lock once, now: a store locked past the wait or that cannot
  // be written is found before any file is checked.
  if (!Exec("BEGIN IMMEDIATE")) return Fail("cannot write it");
  if (!Migrate()) {
    Exec("ROLLBACK");
    return false;
  }
  if (!Exec("COMMIT")) {
    Fail("cannot write it");
    Exec("ROLLBACK");
    return false;
  }
  giveUp_ = nullptr;  // from here on a store that is busy is waited for
  return true;
}

// Brings a store of an older schema up to this one, step by step, inside
// the open's transaction. Version 0 is a new, empty store.
bool CheckStore::Migrate() {
  // Read again under the write lock: two programs may create one new store
  // at once, and only the first makes its tables.
  int version = 0;
  {
    Statement read(db_, "PRAGMA user_version");
    if (!read || sqlite3_step(read.get()) != SQLITE_ROW) return Fail("cannot read its schema");
    version = sqlite3_column_int(read.get(), 0);
  }
  const int found = version;
  if (version == 0) {
    if (!Exec(kSchema1)) return Fail("cannot create its tables");
    version = 1;
  }
  // Later versions add their steps here: if (version == 1) { ...; version = 2; }
  if (version == found) return true;  // nothing written
  const std::string set = "PRAGMA user_version=" + std::to_string(version);
  if (!Exec(set.c_str())) return Fail("cannot write its schema version");
  return true;
}

std::optional<CheckRecord> CheckStore::Last(std::string_view path) {
  std::vector<CheckRecord> newest = Select(path, 1);
  if (newest.empty()) return std::nullopt;
  return std::move(newest.front());
}

std::vector<CheckRecord> CheckStore::History(std::string_view path) {
  return Select(path, -1);
}

void CheckStore::EndRead() {
  if (!reading_) return;
  reading_ = false;
  Exec("COMMIT");
}

std::vector<CheckRecord> CheckStore::Select(std::string_view path, int limit) {
  std::vector<CheckRecord> records;
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return records;
  if (select_ == nullptr) {
    const std::string sql = std::string("SELECT ") + kColumns +
                            " FROM checks WHERE path_key = ?1 AND path = ?2 ORDER BY id DESC LIMIT ?3";
    if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &select_, nullptr) != SQLITE_OK)
      return records;
  }
  const auto now = std::chrono::steady_clock::now();
  if (reading_ && (readLookups_ >= kCommitRecords || now - readSince_ >= kCommitInterval)) EndRead();
  if (!reading_ && Exec("BEGIN")) {
    reading_ = true;
    readSince_ = now;
    readLookups_ = 0;
  }
  ++readLookups_;
  sqlite3_bind_int64(select_, 1, PathKey(path));
  sqlite3_bind_blob(select_, 2, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
  sqlite3_bind_int(select_, 3, limit);
  while (sqlite3_step(select_) == SQLITE_ROW) records.push_back(ReadRecord(select_));
  sqlite3_reset(select_);
  sqlite3_clear_bindings(select_);
  return records;
}

bool CheckStore::Record(CheckRecord record) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr || failed()) return false;
  // A file was read since the last lookup: the snapshot is let go, so a
  // long check never holds one.
  EndRead();
  pending_.push_back(std::move(record));
  if (pending_.size() < kCommitRecords && std::chrono::steady_clock::now() - lastCommit_ < kCommitInterval)
    return true;
  return Commit();
}

bool CheckStore::Flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  EndRead();
  if (db_ == nullptr || failed()) return !failed();
  return Commit();
}

bool CheckStore::Commit() {
  lastCommit_ = std::chrono::steady_clock::now();
  if (pending_.empty()) return true;
  EndRead();  // the lookups' snapshot would keep this connection from writing
  if (!Exec("BEGIN IMMEDIATE")) return Fail("cannot write it");
  Statement insert(db_,
                   std::string("INSERT INTO checks (path_key, ") + kColumns +
                       ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16)");
  bool ok = static_cast<bool>(insert);
  for (const CheckRecord& r : pending_) {
    if (!ok) break;
    sqlite3_stmt* s = insert.get();
    sqlite3_bind_int64(s, 1, PathKey(r.path));
    sqlite3_bind_blob(s, 2, r.path.data(), static_cast<int>(r.path.size()), SQLITE_STATIC);
    sqlite3_bind_int64(s, 3, static_cast<int64_t>(r.stamp.file.device));
    sqlite3_bind_int64(s, 4, static_cast<int64_t>(r.stamp.file.file));
    sqlite3_bind_int64(s, 5, static_cast<int64_t>(r.stamp.file.size));
    sqlite3_bind_int64(s, 6, r.stamp.modifiedNs);
    sqlite3_bind_int64(s, 7, r.stamp.changedNs);
    sqlite3_bind_int64(s, 8, r.checkedAt);
    sqlite3_bind_text(s, 9, r.version.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(s, 10, r.action.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(s, 11, r.status.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_int64(s, 12, r.goodFrames);
    sqlite3_bind_int64(s, 13, r.declaredFrames);
    sqlite3_bind_double(s, 14, r.sampleRate);
    if (r.hash) {
      sqlite3_bind_blob(s, 15, r.hash->data(), 16, SQLITE_STATIC);
    } else {
      sqlite3_bind_null(s, 15);
    }
    if (r.damage.empty()) {
      sqlite3_bind_null(s, 16);
    } else {
      sqlite3_bind_text(s, 16, r.damage.c_str(), -1, SQLITE_STATIC);
    }
    ok = sqlite3_step(s) == SQLITE_DONE;
    sqlite3_reset(s);
  }
  if (ok && Exec("COMMIT")) {
    pending_.clear();
    return true;
  }
  Fail("cannot write it");
  Exec("ROLLBACK");
  return false;
}

}  // namespace velkscan::store
