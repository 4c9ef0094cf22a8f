#include "store/checkstore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "store/sqlitecalls.h"
#include "store/storemark.h"

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

// Version 2: a check that found a silent change keeps the file flagged.
constexpr const char* kSchema2 = "ALTER TABLE checks ADD COLUMN silent_change INTEGER NOT NULL DEFAULT 0";

constexpr const char* kColumns =
    "path, device, inode, size, modified_ns, changed_ns, checked_at, version, action, status, good_frames, "
    "declared_frames, sample_rate, hash, damage, silent_change";

// What a recall reads of a record (ReadBrief).
constexpr const char* kBriefColumns =
    "device, inode, size, modified_ns, changed_ns, checked_at, action, status, good_frames, declared_frames, "
    "sample_rate, silent_change";

int64_t PathKey(std::string_view path) {
  return static_cast<int64_t>(XXH3_64bits(path.data(), path.size()));
}

// The stamp a record was checked with and when, from column first on (device, inode, size, modified_ns,
// changed_ns, checked_at).
void ReadStamp(sqlite3_stmt* stmt, int first, CheckRecord& record) {
  record.stamp.file.device = static_cast<uint64_t>(sqlite3_column_int64(stmt, first));
  record.stamp.file.file = static_cast<uint64_t>(sqlite3_column_int64(stmt, first + 1));
  record.stamp.file.size = static_cast<uint64_t>(sqlite3_column_int64(stmt, first + 2));
  record.stamp.modifiedNs = sqlite3_column_int64(stmt, first + 3);
  record.stamp.changedNs = sqlite3_column_int64(stmt, first + 4);
  record.checkedAt = sqlite3_column_int64(stmt, first + 5);
}

CheckRecord ReadRecord(sqlite3_stmt* stmt) {
  CheckRecord record;
  record.path = Text(stmt, 0);
  ReadStamp(stmt, 1, record);
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
  record.silentChange = sqlite3_column_int(stmt, 15) != 0;
  return record;
}

// Texts into a string that keeps its room: no allocation for a short one.
void AssignText(sqlite3_stmt* stmt, int column, std::string& into) {
  const auto* bytes = static_cast<const char*>(sqlite3_column_blob(stmt, column));
  into.assign(bytes == nullptr ? "" : bytes, static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
}

void ReadBrief(sqlite3_stmt* stmt, CheckRecord& record) {
  ReadStamp(stmt, 0, record);
  AssignText(stmt, 6, record.action);
  AssignText(stmt, 7, record.status);
  record.goodFrames = static_cast<uint32_t>(sqlite3_column_int64(stmt, 8));
  record.declaredFrames = static_cast<uint32_t>(sqlite3_column_int64(stmt, 9));
  record.sampleRate = sqlite3_column_double(stmt, 10);
  record.silentChange = sqlite3_column_int(stmt, 11) != 0;
}

}  // namespace

CheckStore::~CheckStore() {
  Flush();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    EndRead();
    for (sqlite3_stmt* select : select_) sqlite3_finalize(select);
  }
  sqlite3_close(db_);
}

std::string CheckStore::DefaultPath(std::string* why) {
  // A relative one would name a different store in every working folder.
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/velkscan/checks.sqlite";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/velkscan/checks.sqlite";
  if (why != nullptr) *why = "neither XDG_STATE_HOME nor HOME is set to an absolute path";
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
  if (store->giveUp_ && store->giveUp_()) {
    store->gaveUp_ = true;
    return 0;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(tries < 10 ? 1 : 10));
  return 1;
}

// Made whole under a name of its own beside, then linked to its name: a
// kill or a failure leaves no store half made, and a file that came there
// meanwhile is never replaced (a second program's new store is used).
bool CheckStore::IsOwn(const std::string& path) {
  error_ = WhyNotAStore(path);
  return error_.empty();
}

bool CheckStore::Create(const std::string& path) {
  std::error_code ignored;
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  std::filesystem::create_directories(folder, ignored);
  std::string made = path + ".new-XXXXXX";
  const int fd = ::mkostemp(made.data(), O_CLOEXEC);
  if (fd < 0) {
    error_ = std::string("cannot create it: ") + std::strerror(errno);
    return false;
  }
  ::close(fd);
  bool ok = sqlite3_open_v2(made.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
            Exec("BEGIN IMMEDIATE") && Migrate(true) && Exec("COMMIT") && Exec("PRAGMA journal_mode=WAL");
  if (!ok && error_.empty()) Fail("cannot create it");
  sqlite3_close(db_);  // the log is played into the file and removed
  db_ = nullptr;
  if (ok && ::link(made.c_str(), path.c_str()) != 0 && errno != EEXIST &&
      ::renameat2(AT_FDCWD, made.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0 && errno != EEXIST) {
    error_ = std::string("cannot create it: ") + std::strerror(errno);
    ok = false;
  }
  for (const char* end : {"", "-journal", "-wal", "-shm"}) ::unlink((made + end).c_str());
  const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return ok;
}

bool CheckStore::Open(const std::string& path, std::function<bool()> giveUp) {
  // Before SQLite's first use in the process (later it changes nothing):
  // its count of the memory in use would take a global lock at every
  // allocation, several a lookup, and nothing here reads it.
  static const int kNoMemoryCount = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  (void)kNoMemoryCount;
  std::lock_guard<std::mutex> lock(mutex_);
  giveUp_ = std::move(giveUp);
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) {
    if (errno != ENOENT) {
      error_ = std::string("cannot read it: ") + std::strerror(errno);
      return false;
    }
    if (!Create(path)) return false;
  } else if (!S_ISREG(status.st_mode)) {
    error_ = S_ISDIR(status.st_mode) ? "it is a folder" : "not a file";
    return false;
  }
  if (!IsOwn(path)) return false;
  // Never created here: a store that went away meanwhile is not made again.
  // Every call on the connection is made under mutex_: SQLite's own lock
  // around each call (a dozen a lookup) would be a second one.
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
    return Fail("cannot open it");
  if (sqlite3_db_readonly(db_, "main") == 1) {
    error_ = "it is read-only";
    return false;
  }
  sqlite3_busy_handler(db_, WaitWhileBusy, this);
  sqlite3_extended_result_codes(db_, 1);
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
  // Room for the path index of some 100,000 records (a lookup by path
  // lands anywhere in it), so a re-check reads each page of it once, not
  // once per lookup; what a run touches, up to this, and no more.
  Exec("PRAGMA cache_size=-4096");
  // The write lock once, now: a store locked past the wait or that cannot
  // be written is found before any file is checked.
  if (!Exec("BEGIN IMMEDIATE")) return Fail("cannot write it");
  if (!Migrate(false)) {
    Exec("ROLLBACK");
    return false;
  }
  if (!Exec("COMMIT")) {
    Fail("cannot write it");
    Exec("ROLLBACK");
    return false;
  }
  return true;
}

// Brings a store of an older schema up to this one, step by step, inside
// the open's transaction; fresh: a new, empty one being made.
bool CheckStore::Migrate(bool fresh) {
  // Read again under the write lock: two programs may upgrade one store at
  // once, and only the first does.
  const int64_t found = ReadPragma(db_, "PRAGMA user_version");
  const int64_t id = ReadPragma(db_, "PRAGMA application_id");
  if (found > kSchemaVersion) {
    error_ = NewerSchema(found);
    return false;
  }
  if (!(fresh ? found == 0 : found >= 1) || (id != kApplicationId && !(id == 0 && found <= 1))) {
    error_ = kNoStore;
    return false;
  }
  int64_t version = found;
  if (version == 0) {
    if (!Exec(kSchema1)) return Fail("cannot create its tables");
    version = 1;
  }
  if (version == 1) {
    if (!Exec(kSchema2)) return Fail("cannot add its columns");
    version = 2;
  }
  // Later versions add their steps here: if (version == 2) { ...; version = 3; }
  if (version == found && id == kApplicationId) return true;  // nothing written
  const std::string mark = "PRAGMA application_id=" + std::to_string(kApplicationId) +
                           "; PRAGMA user_version=" + std::to_string(version);
  if (!Exec(mark.c_str())) return Fail("cannot write its schema version");
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

std::optional<CheckRecord> CheckStore::LastAccepted(std::string_view path) {
  std::vector<CheckRecord> newest = Select(path, 1, true);
  if (newest.empty()) return std::nullopt;
  return std::move(newest.front());
}

void CheckStore::EndRead() {
  if (!reading_) return;
  reading_ = false;
  Exec("COMMIT");
}

sqlite3_stmt* CheckStore::StartLookup(Lookup kind, std::string_view path) {
  if (db_ == nullptr) return nullptr;
  sqlite3_stmt*& select = select_[kind];
  if (select == nullptr) {
    const std::string sql = std::string("SELECT ") + (kind == kBrief ? kBriefColumns : kColumns) +
                            " FROM checks WHERE path_key = ?1 AND path = ?2" +
                            (kind == kAccepted ? " AND silent_change = 0" : "") +
                            " ORDER BY id DESC LIMIT ?3";
    if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &select, nullptr) != SQLITE_OK)
      return nullptr;
  }
  // The clock once every few lookups (a run of them takes well under a
  // millisecond each) rather than at each one.
  if (reading_ &&
      (readLookups_ >= kCommitRecords ||
       (readLookups_ % 16 == 0 && std::chrono::steady_clock::now() - readSince_ >= kCommitInterval)))
    EndRead();
  if (!reading_ && Exec("BEGIN")) {
    reading_ = true;
    readSince_ = std::chrono::steady_clock::now();
    readLookups_ = 0;
  }
  ++readLookups_;
  sqlite3_bind_int64(select, 1, PathKey(path));
  sqlite3_bind_blob(select, 2, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
  return select;
}

std::vector<CheckRecord> CheckStore::Select(std::string_view path, int limit, bool onlyAccepted) {
  std::vector<CheckRecord> records;
  std::lock_guard<std::mutex> lock(mutex_);
  sqlite3_stmt* select = StartLookup(onlyAccepted ? kAccepted : kAny, path);
  if (select == nullptr) return records;
  sqlite3_bind_int(select, 3, limit);
  while (sqlite3_step(select) == SQLITE_ROW) records.push_back(ReadRecord(select));
  sqlite3_reset(select);
  sqlite3_clear_bindings(select);
  return records;
}

bool CheckStore::LastBrief(std::string_view path, CheckRecord& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  sqlite3_stmt* select = StartLookup(kBrief, path);
  if (select == nullptr) return false;
  sqlite3_bind_int(select, 3, 1);
  const bool found = sqlite3_step(select) == SQLITE_ROW;
  if (found) ReadBrief(select, record);
  sqlite3_reset(select);
  sqlite3_clear_bindings(select);
  return found;
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
  Statement insert(
      db_, std::string("INSERT INTO checks (path_key, ") + kColumns +
               ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17)");
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
    sqlite3_bind_int(s, 17, r.silentChange ? 1 : 0);
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
