// The store of checks as a file: its rows counted, SQLite files made, its write lock held by a second
// process.
#pragma once

#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

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

inline void ExecSql(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

// A second process holds the write lock while this lives; rows: the store's rows when it took it.
struct StoreLock {
  explicit StoreLock(const std::string& path) {
    int held[2];
    if (pipe(held) != 0) return;
    if ((child = fork()) == 0) {
      sqlite3* db = nullptr;
      sqlite3_open(path.c_str(), &db);
      rows =
          sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK ? StoreRows(path) : -1;
      if (write(held[1], &rows, sizeof rows) == sizeof rows) pause();
      _exit(1);
    }
    if (read(held[0], &rows, sizeof rows) != sizeof rows) rows = -1;
    close(held[0]), close(held[1]);
  }
  ~StoreLock() { kill(child, SIGKILL), waitpid(child, nullptr, 0); }  // the lock goes with the process
  pid_t child = -1;
  int64_t rows = -1;
};

}  // namespace velkscan::test
