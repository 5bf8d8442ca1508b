// A prepared SQLite statement that is finalized when it goes out of scope, with the bindings and
// column reads the store uses.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>

namespace vireo::record {

// Finalizes a statement when it goes out of scope.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK)
      stmt_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  explicit operator bool() const { return stmt_ != nullptr; }
  sqlite3_stmt* get() const { return stmt_; }
  void Bind(int i, int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
  void Bind(int i, double v) { sqlite3_bind_double(stmt_, i, v); }
  void Bind(int i, const std::string& v) {
    sqlite3_bind_text(stmt_, i, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  }
  void Bind(int i, const std::optional<int64_t>& v) {
    if (v)
      Bind(i, *v);
    else
      sqlite3_bind_null(stmt_, i);
  }
  void BindNull(int i) { sqlite3_bind_null(stmt_, i); }
  // Runs a statement that returns no rows and makes it ready for the next bindings.
  int Run() {
    const int rc = sqlite3_step(stmt_);
    sqlite3_reset(stmt_);
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? SQLITE_OK : rc;
  }
  bool Step() { return sqlite3_step(stmt_) == SQLITE_ROW; }
  // Makes a query ready to run again with new bindings.
  void Reset() { sqlite3_reset(stmt_); }
  int64_t Int(int i) const { return sqlite3_column_int64(stmt_, i); }
  double Real(int i) const { return sqlite3_column_double(stmt_, i); }
  bool IsNull(int i) const { return sqlite3_column_type(stmt_, i) == SQLITE_NULL; }
  std::string Text(int i) const {
    const auto* t = sqlite3_column_text(stmt_, i);
    return t ? reinterpret_cast<const char*>(t) : "";
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace vireo::record
