// Transactions of the configuration store, its behaviour when another
// connection holds the write lock, and the row copies it hands out.

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "mib_api.h"
#include "store_fixture.h"

namespace igd1::mib::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kExternalPort = 12;  // 16-bit field of a port-mapping record

uint16_t external_port(const void *row) {
  uint16_t port = 0;
  std::memcpy(&port, static_cast<const uint8_t *>(row) + kExternalPort, sizeof port);
  return port;
}

void set_external_port(void *row, uint16_t port) {
  std::memcpy(static_cast<uint8_t *>(row) + kExternalPort, &port, sizeof port);
}

struct Heard {
  int inserted = 0;
  int removed = 0;
};
Heard g_heard;

void count_rows(const TableDef &, const uint8_t *, bool inserted) {
  (inserted ? g_heard.inserted : g_heard.removed) += 1;
}

class TransactionTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    g_heard = {};
    set_row_listener(count_rows);
    ASSERT_TRUE(portmapping_update_all());
  }
  // Adds a port mapping with `port`; returns its instance number.
  unsigned add_row(uint16_t port) {
    std::vector<uint8_t> row(PORTMAPPING_ROW_SIZE, 0);
    set_external_port(row.data(), port);
    if (portmapping_insert_entry(row.data()) == 0) return 0;
    return row[0];
  }
  // The port of a row as the row list hands it out, 0 when there is no row.
  static uint16_t listed_port(unsigned instance) {
    mib_list_node *node = portmapping_get_list_by_instnum(instance, nullptr);
    return node != nullptr ? external_port(node->data) : 0;
  }
  static uint16_t stored_port(unsigned instance) {
    auto row = table_row(*find_table("portmapping"), instance);
    return row ? external_port(row->data()) : 0;
  }
};

TEST_F(TransactionTest, NestedLevelsCommitOnceAndAnnounceRowsAfterTheCommit) {
  ASSERT_TRUE(mib_transaction_begin());
  EXPECT_TRUE(in_transaction());
  ASSERT_TRUE(mib_transaction_begin());
  EXPECT_TRUE(set_setting("test.first", "1"));
  unsigned instance = add_row(8000);
  ASSERT_NE(instance, 0u);
  EXPECT_TRUE(mib_transaction_commit());  // inner level: nothing committed yet
  EXPECT_EQ(g_heard.inserted, 0);
  // Another thread cannot see or write anything until the end.
  std::string seen_by_other;
  std::thread other([&] { seen_by_other = get_setting("test.first").value_or("<missing>"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(set_setting("test.second", "2"));
  EXPECT_TRUE(mib_transaction_commit());
  other.join();
  EXPECT_EQ(seen_by_other, "1");
  EXPECT_FALSE(in_transaction());
  EXPECT_EQ(g_heard.inserted, 1);
  EXPECT_EQ(stored_port(instance), 8000);

  ASSERT_TRUE(reopen());
  EXPECT_EQ(setting("test.first"), "1");
  EXPECT_EQ(setting("test.second"), "2");
  EXPECT_EQ(mib_transaction_commit(), 0);  // no level open
}

TEST_F(TransactionTest, RollbackAtAnyLevelUndoesEveryWriteAndEveryCopy) {
  unsigned kept = add_row(1000);
  ASSERT_NE(kept, 0u);
  EXPECT_EQ(g_heard.inserted, 1);
  const int64_t journal_before = journal().empty() ? 0 : journal().back().seq;

  ASSERT_TRUE(mib_transaction_begin());
  EXPECT_TRUE(set_setting("test.value", "changed"));
  std::vector<uint8_t> row(PORTMAPPING_ROW_SIZE, 0);
  std::memcpy(row.data(), portmapping_get_list_by_instnum(kept, nullptr)->data, row.size());
  set_external_port(row.data(), 2000);
  EXPECT_EQ(dbus_mib_update_cfg(MIB_CFG_PORTMAPPING, row.data(), 0), 1);
  EXPECT_EQ(listed_port(kept), 2000);  // the transaction sees its own write
  unsigned added = add_row(3000);
  uint32_t position = 0;
  mib_list_node *node = portmapping_get_list_by_instnum(kept, &position);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(portmapping_remove_entry(position, node), 1);
  ASSERT_TRUE(mib_transaction_begin());
  mib_transaction_rollback();  // an inner level fails: the whole transaction goes
  EXPECT_EQ(mib_transaction_commit(), 0);

  EXPECT_EQ(g_heard.inserted, 1);
  EXPECT_EQ(g_heard.removed, 0);
  EXPECT_EQ(setting("test.value"), "<missing>");
  EXPECT_EQ(stored_port(kept), 1000);
  EXPECT_EQ(listed_port(kept), 1000);
  EXPECT_EQ(listed_port(added), 0);
  EXPECT_EQ(portmapping_get_list(0)->next, nullptr);
  std::vector<JournalEntry> after = journal(journal_before);
  EXPECT_TRUE(after.empty());
}

// A cell written by name (as igd1-mib writes) inside a transaction that is
// rolled back does not stay in the rows the table hands out.
TEST_F(TransactionTest, ACellWrittenByNameAndRolledBackIsNotListedAfterwards) {
  const unsigned kept = add_row(1000);
  ASSERT_NE(kept, 0u);
  ASSERT_TRUE(mib_transaction_begin());
  ASSERT_TRUE(set_cell("portmapping", kept, "ExternalPort", "2000"));
  EXPECT_EQ(listed_port(kept), 2000);
  mib_transaction_rollback();
  EXPECT_EQ(stored_port(kept), 1000);
  EXPECT_EQ(listed_port(kept), 1000);
}

TEST_F(TransactionTest, WritesFailWithinTheBusyTimeoutWhileAnotherConnectionHoldsTheLock) {
  unsigned instance = add_row(80);
  ASSERT_NE(instance, 0u);
  sqlite3 *other = nullptr;
  ASSERT_EQ(sqlite3_open(store_path().c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

  std::vector<uint8_t> row(PORTMAPPING_ROW_SIZE, 0);
  std::memcpy(row.data(), portmapping_get_list_by_instnum(instance, nullptr)->data, row.size());
  set_external_port(row.data(), 8080);
  // Each refusal comes after the busy time-out (100 ms), not the old 2 s;
  // the upper bound leaves room for a loaded machine.
  auto refused_in_time = [](auto write) {
    auto start = Clock::now();
    bool accepted = write();
    auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(90));
    EXPECT_LT(took, std::chrono::milliseconds(400));
    return !accepted;
  };
  EXPECT_TRUE(refused_in_time([&] { return dbus_mib_update_cfg(MIB_CFG_PORTMAPPING, row.data(), 0) != 0; }));
  EXPECT_TRUE(refused_in_time([] { return set_setting("test.value", "1"); }));
  EXPECT_TRUE(refused_in_time([] { return mib_transaction_begin() != 0; }));
  EXPECT_FALSE(in_transaction());
  EXPECT_EQ(listed_port(instance), 80);
  EXPECT_EQ(add_row(1), 0u);

  ASSERT_EQ(sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  EXPECT_EQ(dbus_mib_update_cfg(MIB_CFG_PORTMAPPING, row.data(), 0), 1);
  EXPECT_EQ(listed_port(instance), 8080);
  EXPECT_EQ(stored_port(instance), 8080);
}

TEST_F(TransactionTest, HandedOutRowsAreCopiesPrivateToTheThread) {
  unsigned first = add_row(100);
  unsigned second = add_row(200);
  mib_list_node *node = portmapping_get_list_by_instnum(first, nullptr);
  ASSERT_NE(node, nullptr);
  // A module scribbles over the record and never stores it.
  set_external_port(node->data, 9999);
  EXPECT_EQ(listed_port(first), 100);
  EXPECT_EQ(portmapping_get_list(0)->data != nullptr ? external_port(portmapping_get_list(0)->data) : 0,
            100);

  // Another thread reloads and changes the table; this thread's node stays
  // where it was, with the record as it was handed out.
  mib_list_node *mine = portmapping_get_list_by_instnum(second, nullptr);
  std::thread other([&] {
    portmapping_update_all();
    std::vector<uint8_t> row(PORTMAPPING_ROW_SIZE, 0);
    std::memcpy(row.data(), portmapping_get_list_by_instnum(second, nullptr)->data, row.size());
    set_external_port(row.data(), 222);
    dbus_mib_update_cfg(MIB_CFG_PORTMAPPING, row.data(), 1);
    add_row(300);
  });
  other.join();
  EXPECT_EQ(external_port(mine->data), 200);
  EXPECT_EQ(listed_port(second), 222);
}

}  // namespace
}  // namespace igd1::mib::test
