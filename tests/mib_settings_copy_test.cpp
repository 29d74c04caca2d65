// The process's copy of the settings: it follows writes of other processes
// and of writers that bypass the store, and it never holds a value that the
// database does not (a refused write, a rolled back transaction).

#include <atomic>
#include <chrono>
#include <thread>

#include "harness/program.h"
#include "store_fixture.h"

namespace igd1::mib::test {
namespace {

constexpr char kName[] = "dhcpserver.MinAddress";

class SettingsCopyTest : public StoreTest {
 protected:
  // The value as the database holds it, read through a connection of its own.
  static std::string database_value(const char *name) {
    return sql_text(store_path(), std::string("SELECT value FROM settings WHERE name = '") + name + "'",
                    "<missing>");
  }
  // Writes through a plain connection that knows nothing of the commit
  // counters, as a hand edit of the database would.
  static bool write_behind_the_store(const char *name, const char *value) {
    sqlite3 *db = nullptr;
    bool ok = sqlite3_open(store_path().c_str(), &db) == SQLITE_OK;
    std::string sql = std::string("UPDATE settings SET value = '") + value + "' WHERE name = '" + name + "'";
    ok = ok && sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
  }
};

// igd1-mib commits in its own process; the very next read here sees it, with
// no time for a periodic check to come round.  A writer that bypasses the
// store shows within the periodic check.
TEST_F(SettingsCopyTest, WritesOfOtherProcessesShowInTheNextRead) {
  for (const char *address : {"192.168.1.20", "192.168.1.21", "192.168.1.22"}) {
    ASSERT_NE(setting(kName), address);  // read, so that the copy holds the old value
    ASSERT_EQ(igd1::test::run_program({IGD1_BUILD_DIR "/igd1-mib", "--store", store_path(), "set", kName, address})
                  .status, 0);
    EXPECT_EQ(setting(kName), address);
  }

  ASSERT_TRUE(write_behind_the_store(kName, "192.168.1.30"));
  EXPECT_TRUE(eventually([&] { return setting(kName) == "192.168.1.30"; }));
}

TEST_F(SettingsCopyTest, RefusedAndRolledBackWritesLeaveTheCopyEqualToTheDatabase) {
  ASSERT_TRUE(set_setting(kName, "192.168.1.5"));
  ASSERT_TRUE(set_setting("test.gone", "here"));
  ASSERT_EQ(setting(kName), "192.168.1.5");

  // A transaction reads its own writes; a rollback at an inner level takes
  // them all back, in the copy as in the database.
  ASSERT_TRUE(begin_transaction());
  ASSERT_TRUE(set_setting(kName, "192.168.1.6"));
  ASSERT_TRUE(remove_setting("test.gone"));
  EXPECT_EQ(setting(kName), "192.168.1.6");
  EXPECT_EQ(setting("test.gone"), "<missing>");
  ASSERT_TRUE(begin_transaction());
  rollback_transaction();
  EXPECT_FALSE(commit_transaction());
  EXPECT_EQ(setting(kName), "192.168.1.5");
  EXPECT_EQ(setting("test.gone"), "here");
  EXPECT_EQ(database_value(kName), "192.168.1.5");

  // A write refused because another connection holds the write lock.
  sqlite3 *other = nullptr;
  ASSERT_EQ(sqlite3_open(store_path().c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_FALSE(set_setting(kName, "192.168.1.7"));
  EXPECT_FALSE(remove_setting("test.gone"));
  EXPECT_EQ(setting(kName), "192.168.1.5");
  EXPECT_EQ(setting("test.gone"), "here");
  ASSERT_EQ(sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);

  // A committed transaction: the copy takes every write of it.
  ASSERT_TRUE(begin_transaction());
  ASSERT_TRUE(set_setting(kName, "192.168.1.8"));
  ASSERT_TRUE(remove_setting("test.gone"));
  ASSERT_TRUE(set_setting("test.new", "fresh"));
  ASSERT_TRUE(commit_transaction());
  EXPECT_EQ(setting(kName), "192.168.1.8");
  EXPECT_EQ(setting("test.gone"), "<missing>");
  EXPECT_EQ(setting("test.new"), "fresh");
  EXPECT_EQ(database_value(kName), "192.168.1.8");
  EXPECT_EQ(database_value("test.gone"), "<missing>");

  // A reopen starts from the database, not from the copy of the last store.
  ASSERT_TRUE(write_behind_the_store(kName, "192.168.1.9"));
  close_store();
  ASSERT_TRUE(reopen());
  EXPECT_EQ(setting(kName), "192.168.1.9");
}

// A thread that reads while another writes, half of its transactions rolled
// back, never sees a value that was not committed.
TEST_F(SettingsCopyTest, ReadersOnOtherThreadsSeeOnlyCommittedValues) {
  ASSERT_TRUE(set_setting("test.counter", "c0"));
  std::atomic<bool> done{false};
  std::atomic<int> uncommitted_seen{0};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!done.load()) {
      std::string value = setting("test.counter");
      if (value.empty() || value[0] != 'c') ++uncommitted_seen;
      ++reads;
    }
  });
  bool wrote = true;
  for (int i = 1; i <= 200 && wrote; ++i) {
    wrote = begin_transaction() &&
            set_setting("test.counter", (i % 2 ? "r" : "c") + std::to_string(i));
    if (i % 2) {
      rollback_transaction();
    } else {
      wrote = commit_transaction() && wrote;
    }
    // The reader gets its turn after each transaction.
    const int seen = reads.load();
    while (reads.load() < seen + 2) std::this_thread::yield();
  }
  EXPECT_TRUE(wrote);
  done = true;
  reader.join();
  EXPECT_EQ(uncommitted_seen.load(), 0);
  EXPECT_EQ(setting("test.counter"), "c200");
  EXPECT_EQ(database_value("test.counter"), "c200");
}

}  // namespace
}  // namespace igd1::mib::test
