// Tests of the configuration store alone: a fresh database in its own
// temporary folder for every test, closed and deleted after it, with no
// injected failure, row listener or root folder left behind.
#pragma once

#include <glib.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "harness/waiting.h"
#include "mib_store.h"
#include "sys_paths.h"

namespace igd1::mib::test {

using igd1::test::eventually;
using igd1::test::kPatience;

// The first column of the first row `sql` yields from the database `file`
// (a path or a "file:" URI), read through a connection of its own;
// `otherwise` when there is none.
inline std::string sql_text(const std::string &file, const std::string &sql,
                            const std::string &otherwise = "<none>") {
  sqlite3 *db = nullptr;
  std::string result = otherwise;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) ==
      SQLITE_OK) {
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0) != nullptr)
      result = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return result;
}

// Overwrites the first page of `table`'s tree in the database file with
// garbage, as a failing flash block would.
inline void damage_table(const std::string &file, const char *table) {
  sqlite3 *db = nullptr;
  int64_t root = 0;
  int64_t page_size = 0;
  ASSERT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  sqlite3_busy_timeout(db, 2000);
  // Everything into the database file first: a newer page in the log would
  // hide the damage.  The store's own checkpoint thread may be folding the
  // log in at this moment, and a checkpoint that meets it answers "busy"
  // with pages left behind; try again until one finds the way clear.
  for (int attempt = 0;; ++attempt) {
    sqlite3_stmt *checkpoint = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA wal_checkpoint(TRUNCATE)", -1, &checkpoint, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(checkpoint), SQLITE_ROW);
    const int busy = sqlite3_column_int(checkpoint, 0);
    sqlite3_finalize(checkpoint);
    if (busy == 0) break;
    ASSERT_LT(attempt, 200) << "the write-ahead log stayed busy";
    g_usleep(10000);
  }
  sqlite3_stmt *stmt = nullptr;
  std::string sql = std::string("SELECT rootpage, (SELECT page_size FROM pragma_page_size) FROM ") +
                    "sqlite_master WHERE name = '" + table + "'";
  ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  root = sqlite3_column_int64(stmt, 0);
  page_size = sqlite3_column_int64(stmt, 1);
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  ASSERT_GT(root, 1);
  std::fstream out(file, std::ios::in | std::ios::out | std::ios::binary);
  out.seekp((root - 1) * page_size);
  std::string garbage(static_cast<size_t>(page_size), '\xa5');
  out.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
  ASSERT_TRUE(out.good());
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_autofree gchar *dir = g_dir_make_tmp("igd1-mib-XXXXXX", nullptr);
    ASSERT_NE(dir, nullptr);
    dir_ = dir;
    ASSERT_TRUE(reopen());
  }
  void TearDown() override {
    close_store();
    clear_failures();
    set_row_listener(nullptr);
    igd1::set_root_dir("");
    std::filesystem::remove_all(dir_);
  }
  bool reopen(std::string *error = nullptr) { return open_store(dir_ + "/mib.db", error); }
  static std::string setting(const char *name) { return get_setting(name).value_or("<missing>"); }

  std::string dir_;
};

}  // namespace igd1::mib::test
