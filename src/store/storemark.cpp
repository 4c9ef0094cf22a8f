#include "store/storemark.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "store/checkstore.h"
#include "store/sqlitecalls.h"

namespace velkscan::store {

namespace {

// The columns of version 1 in their order: a store of that version carries
// no application id, and is known by these.
constexpr const char* kColumns1 =
    "id,path_key,path,device,inode,size,modified_ns,changed_ns,checked_at,version,action,status,good_frames,"
    "declared_frames,sample_rate,hash,damage";

// What a reading connection finds is a store of version 1: that version,
// no application id, and exactly its table, index and columns.
// Without a log beside it the file is read as immutable: no lock, no file
// made beside it (a reader of a file in WAL mode would leave two).
bool HasTablesOfVersion1(const std::string& path) {
  struct stat log;
  std::string name = path;
  if (::stat((path + "-wal").c_str(), &log) != 0) {
    name = "file:";
    for (const char c : path) {
      if (std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/-._~", c) != nullptr) {
        name += c;
      } else {
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
        name += escaped;
      }
    }
    name += "?immutable=1";
  }
  sqlite3* db = nullptr;
  bool same =
      sqlite3_open_v2(name.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) == SQLITE_OK;
  sqlite3_busy_timeout(db, 2000);
  std::string objects, columns;
  if (same) {
    Statement list(db, "SELECT type || ' ' || name || ' ' || tbl_name FROM sqlite_master ORDER BY name");
    while (list && sqlite3_step(list.get()) == SQLITE_ROW) objects += Text(list.get(), 0) + ";";
    Statement info(db, "PRAGMA table_info(checks)");
    while (info && sqlite3_step(info.get()) == SQLITE_ROW) {
      if (!columns.empty()) columns += ',';
      columns += Text(info.get(), 1);
    }
    same = ReadPragma(db, "PRAGMA user_version") == 1 && ReadPragma(db, "PRAGMA application_id") == 0 &&
           objects == "table checks checks;index checks_by_path checks;" && columns == kColumns1;
  }
  sqlite3_close(db);
  return same;
}

uint32_t BigEndian32(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

}  // namespace

std::string NewerSchema(int64_t version) {
  return "written by a newer version of velkscan (schema " + std::to_string(version) + ")";
}

// The mark, read from the file's first bytes: no SQLite connection ever
// opens a foreign file for writing (its journal or log would be played or
// its mode switched), nor a store of version 1 before its tables are known.
std::string WhyNotAStore(const std::string& path) {
  unsigned char head[100];
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const ssize_t got = fd < 0 ? -1 : ::pread(fd, head, sizeof head, 0);
  const int why = errno;
  if (fd >= 0) ::close(fd);
  if (got < 0) {
    return std::string("cannot read it: ") + std::strerror(why);
  }
  const uint32_t id = got == sizeof head ? BigEndian32(head + 68) : 0;
  const uint32_t version = got == sizeof head ? BigEndian32(head + 60) : 0;
  if (got == 0) return "it is an empty file, not a store of checks";
  if (got != sizeof head || std::memcmp(head, "SQLite format 3", 16) != 0) return kNoStore;
  if (id == kApplicationId)
    return version > static_cast<uint32_t>(kSchemaVersion) ? NewerSchema(version) : "";
  if (id != 0 || version > 1 || !HasTablesOfVersion1(path))
    return std::string(kNoStore) + " (a database of another kind)";
  return "";
}

}  // namespace velkscan::store
