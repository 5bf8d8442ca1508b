// Reads a store the way a user's sqlite3 shell would: on a read-only connection of its own.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

namespace vireo::testing {

// The first column of each row of a query, as text ("NULL" for a null).
inline std::vector<std::string> StoreColumn(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  std::vector<std::string> rows;
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* s = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), SQLITE_OK) << sql;
  while (s && sqlite3_step(s) == SQLITE_ROW) {
    const auto* t = sqlite3_column_text(s, 0);
    rows.push_back(t ? reinterpret_cast<const char*>(t) : "NULL");
  }
  sqlite3_finalize(s);
  sqlite3_close(db);
  return rows;
}

}  // namespace vireo::testing
