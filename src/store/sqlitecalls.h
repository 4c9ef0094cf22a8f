// The few SQLite calls the store's files share, as small owning helpers.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace velkscan::store {

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

inline std::string Text(sqlite3_stmt* stmt, int column) {
  const auto* bytes = static_cast<const char*>(sqlite3_column_blob(stmt, column));
  return bytes == nullptr ? std::string()
                          : std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
}

inline int64_t ReadPragma(sqlite3* db, const char* sql) {
  Statement read(db, sql);
  return read && sqlite3_step(read.get()) == SQLITE_ROW ? sqlite3_column_int64(read.get(), 0) : -1;
}

}  // namespace velkscan::store
