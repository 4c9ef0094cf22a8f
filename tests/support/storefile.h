// The store of checks as a file: its rows counted, and one of a newer schema.
#pragma once

#include <sqlite3.h>

#include <string>

namespace velkscan::test {

inline int64_t StoreRows(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, "SELECT count(*) FROM checks", -1, &stmt, nullptr);
  const int64_t rows = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

inline void WriteNewerStore(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

}  // namespace velkscan::test
