// The configuration store: value conversions, settings, tables, journal
// and failure injection.  Durability is checked end to end in daemon_test.

#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mib_api.h"
#include "store_fixture.h"

namespace mib = igd1::mib;
using K = mib::ValueKind;

namespace {

using igd1::mib::test::StoreTest;

// Accepted text reads back in canonical form; refused text (out == nullptr)
// leaves the buffer untouched.
TEST(ValueConversion, ParseFormatTable) {
  const struct { K kind; size_t size; const char *in, *out; } cases[] = {
      {K::Text, 6, "abcdef", nullptr},  // no room for the terminator
      {K::Bool, 4, "yes", nullptr},
      {K::U32, 4, "007", "7"},
      {K::U32, 4, "4294967296", nullptr},
      {K::U32, 4, "-1", nullptr},
      {K::U32, 4, "12a", nullptr},
      {K::U32, 2, "1", nullptr},  // size does not suit the kind
      {K::I32, 4, "-2147483648", "-2147483648"},
      {K::I32, 4, "2147483648", nullptr},
      {K::I32, 4, "+1", nullptr},
      {K::U8, 1, "255", "255"},
      {K::U8, 1, "256", nullptr},
      {K::U16, 2, "65536", nullptr},
      {K::U32, 4, "", nullptr},
      {K::U32, 4, " 1", nullptr},
      {K::Double, 8, "-2.5", "-2.5"},
      {K::Double, 8, "1e", nullptr},
      {K::U64, 8, "18446744073709551615", "18446744073709551615"},
      {K::U64, 8, "18446744073709551616", nullptr},
      {K::IPv4, 4, "192.168.1.300", nullptr},
      {K::IPv4, 4, "255.255.255.255", "255.255.255.255"},
      {K::IPv4, 4, "0.0.0.0", "0.0.0.0"},
      {K::IPv4, 4, "01.2.3.4", nullptr},
      {K::IPv4, 4, "1.2.3", nullptr},
      {K::IPv4Text, 16, "10.20.3.40", "10.20.3.40"},
      {K::Mac, 6, "A4:3E:51:0C:22:1F", "a4:3e:51:0c:22:1f"},
      {K::Mac, 6, "a4-3e-51-0c-22-10", nullptr},
      {K::Double, 8, "0.1", "0.1"},
      {K::IPv4Text, 16, "host.lan", nullptr},
      {K::IPv4Text, 15, "1.1.1.1", nullptr},
  };
  for (const auto &c : cases) {
    std::vector<uint8_t> buffer(c.size, 0xee);
    const bool ok = mib::parse_value(c.kind, c.in, buffer.data(), buffer.size());
    ASSERT_EQ(ok, c.out != nullptr) << c.in;
    if (ok) {
      EXPECT_EQ(mib::format_value(c.kind, buffer.data(), buffer.size()), c.out) << c.in;
    } else {
      EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xee), static_cast<long>(c.size)) << c.in;
    }
  }
  double value = 0.1 + 0.2, back = 0;  // needs all digits to read back the same
  ASSERT_TRUE(mib::parse_value(K::Double, mib::format_value(K::Double, &value, 8), &back, 8));
  EXPECT_EQ(back, value);
}

TEST_F(StoreTest, SettingsPersistAndReopenRestoresOnlyMissingDefaults) {
  ASSERT_TRUE(mib::set_setting("lan.IPAddress", "10.0.0.1"));
  const std::optional<std::string> lease = mib::get_setting("dhcpserver.LeaseTime");
  ASSERT_TRUE(lease && mib::remove_setting("dhcpserver.LeaseTime"));
  EXPECT_FALSE(mib::remove_setting("dhcpserver.LeaseTime"));
  mib::close_store();
  EXPECT_FALSE(mib::get_setting("lan.IPAddress"));
  EXPECT_FALSE(mib::set_setting("lan.IPAddress", "10.0.0.2"));
  ASSERT_TRUE(reopen());
  EXPECT_EQ(mib::get_setting("lan.IPAddress"), "10.0.0.1");
  EXPECT_EQ(mib::get_setting("dhcpserver.LeaseTime"), lease);
}

// Every setting of a new store has a declaration whose first value is the
// stored one and reads as the declared kind.
TEST_F(StoreTest, ANewStoreHoldsEveryDeclaredSettingAsItsKindReadsIt) {
  const auto settings = mib::all_settings();
  ASSERT_FALSE(settings.empty());
  for (const auto &[name, value] : settings) {
    const mib::Item *item = mib::default_item(name);
    ASSERT_NE(item, nullptr) << name;
    EXPECT_EQ(value, item->initial) << name;
    std::vector<uint8_t> buffer(item->size);
    EXPECT_TRUE(mib::parse_value(item->kind, value, buffer.data(), buffer.size()))
        << name << " = " << value;
  }
}

TEST_F(StoreTest, ItemsAndNumericEntriesUseTheBinaryForm) {
  uint32_t seconds = 3600;
  ASSERT_TRUE(mib::write_item({"dhcpserver.LeaseTime", K::U32, 4}, &seconds));
  EXPECT_EQ(mib::get_setting("dhcpserver.LeaseTime"), "3600");
  // Unterminated text is refused; text too long for the buffer fails the read.
  ASSERT_TRUE(mib::set_setting("test.Name", "abcd"));
  char four[4] = {'w', 'x', 'y', 'z'};
  EXPECT_FALSE(mib::write_item({"test.Name", K::Text, 4}, four));
  EXPECT_FALSE(mib::read_item({"test.Name", K::Text, 4}, four));
  EXPECT_FALSE(mib::read_item({"test.Name", K::IPv4, 4}, four));
  EXPECT_EQ(four[0], 'w');
  EXPECT_EQ(mib::get_setting("test.Name"), "abcd");

  uint32_t level = 0;
  EXPECT_EQ(mib_get_s(9001, &level, 3), 0);
  EXPECT_EQ(level, 0u);
  mib::register_entry(9900, {"dhcpserver.LeaseTime", K::U32, 4});
  mib::fail_accessor("mib_get", 9900);  // the bus tests inject failures into the module accessors
  EXPECT_EQ(mib_get_s(9900, &level, 4), 0);
  mib::clear_failures();
  EXPECT_EQ(mib_get(9900, &level), 1);
  EXPECT_EQ(level, 3600u);
}

// A value the item's check refuses is never stored, and item_takes answers
// what write_item would do without writing.
bool digits_only(const void *value) {
  const std::string_view text(static_cast<const char *>(value));
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

TEST_F(StoreTest, AnItemStoresOnlyTheValuesItsCheckAccepts) {
  const mib::Item level = {"test.Level", K::I32, 4, nullptr, mib::within<int32_t, -127, 0>};
  for (const int32_t refused : {-128, 1, INT32_MIN, INT32_MAX}) {
    EXPECT_FALSE(mib::item_takes(level, &refused)) << refused;
    EXPECT_FALSE(mib::write_item(level, &refused)) << refused;
  }
  EXPECT_EQ(mib::get_setting("test.Level"), std::nullopt);
  for (const int32_t taken : {-127, -70, 0}) {
    EXPECT_TRUE(mib::item_takes(level, &taken)) << taken;
    ASSERT_TRUE(mib::write_item(level, &taken)) << taken;
    EXPECT_EQ(mib::get_setting("test.Level"), std::to_string(taken));
  }

  const mib::Item number = {"test.Number", K::Text, 4, nullptr, digits_only};
  ASSERT_TRUE(mib::write_item(number, "123"));
  EXPECT_FALSE(mib::item_takes(number, "12a"));
  EXPECT_FALSE(mib::write_item(number, "12a"));
  // A text that does not fit is refused before the check reads it.
  const char unterminated[4] = {'1', '2', '3', '4'};
  EXPECT_FALSE(mib::item_takes(number, unterminated));
  EXPECT_FALSE(mib::write_item(number, unterminated));
  EXPECT_EQ(mib::get_setting("test.Number"), "123");
}

TEST_F(StoreTest, FailuresFromTheEnvironment) {
  mib::close_store();
  setenv("IGD1_MIB_FAIL", "acc_a:3,,acc_b", 1);
  EXPECT_TRUE(reopen());
  EXPECT_TRUE(mib::should_fail("acc_a", 3));
  EXPECT_FALSE(mib::should_fail("acc_a", 4));
  EXPECT_TRUE(mib::should_fail("acc_b", 77));
  EXPECT_FALSE(mib::should_fail("acc_c", 0));
  mib::close_store();
  setenv("IGD1_MIB_FAIL", "acc_a:x", 1);
  std::string error;
  EXPECT_FALSE(reopen(&error));
  unsetenv("IGD1_MIB_FAIL");
  EXPECT_NE(error.find("acc_a:x"), std::string::npos) << error;
}

// inst | gap | port | client | enable | description | gap
//  0   |  1  | 2-3  |  4-7   |  8-11  |    12-19    | 20-23
const mib::Column kMapColumns[] = {
    {"ExternalPort", K::U16, 2, 2},
    {"InternalClient", K::IPv4, 4, 4},
    {"Enable", K::Bool, 8, 4},
    {"Description", K::Text, 12, 8},
};
const mib::TableDef kMapTable{"testmap", "TestMap", 24, kMapColumns, 4, 3};

std::vector<uint8_t> map_row(uint8_t port, const char *description) {
  std::vector<uint8_t> row(24, 0);
  row[2] = port;
  const uint8_t client[4] = {192, 168, 1, 10};
  std::memcpy(&row[4], client, 4);
  row[8] = 1;
  std::memcpy(&row[12], description, std::min<size_t>(std::strlen(description), 7));
  return row;
}

class TableTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_TRUE(mib::register_table(kMapTable));
  }
};

TEST_F(TableTest, InsertTakesLowestFreeInstanceUntilFull) {
  for (unsigned expected = 1; expected <= 3; ++expected) {
    std::vector<uint8_t> row = map_row(static_cast<uint8_t>(expected), "x");
    ASSERT_TRUE(mib::table_insert(kMapTable, row.data()));
    EXPECT_EQ(row[0], expected);
  }
  std::vector<uint8_t> extra = map_row(90, "full");
  extra[0] = 0x77;
  EXPECT_FALSE(mib::table_insert(kMapTable, extra.data()));
  EXPECT_EQ(extra[0], 0x77);
  ASSERT_TRUE(mib::table_remove(kMapTable, 2));
  EXPECT_FALSE(mib::table_remove(kMapTable, 2));
  ASSERT_TRUE(mib::table_insert(kMapTable, extra.data()));
  EXPECT_EQ(extra[0], 2);
  std::vector<std::vector<uint8_t>> rows = mib::table_rows(kMapTable);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1], extra);
  EXPECT_EQ(rows[2][0], 3);
}

TEST_F(TableTest, RecordRoundTripsByteExactlyWithReadableColumns) {
  std::vector<uint8_t> row = map_row(80, "web cam");
  row[1] = 0xab;
  const uint8_t tail[4] = {0xde, 0xad, 0xbe, 0xef};
  std::memcpy(&row[20], tail, 4);
  ASSERT_TRUE(mib::table_insert(kMapTable, row.data()));
  mib::close_store();
  ASSERT_TRUE(reopen());
  EXPECT_EQ(mib::table_row(kMapTable, 1), row);
  EXPECT_EQ(mib::get_cell("testmap", 1, "InternalClient"), "192.168.1.10");
  EXPECT_EQ(mib::get_cell("testmap", 1, "Description"), "web cam");
  EXPECT_EQ(mib::get_cell("testmap", 1, "extra"), "abdeadbeef");
  EXPECT_FALSE(mib::get_cell("testmap", 2, "ExternalPort"));
  EXPECT_FALSE(mib::get_cell("settings", 1, "value"));
}

TEST_F(TableTest, UpdateAndCellWritesAreValidated) {
  std::vector<uint8_t> row = map_row(80, "cam");
  ASSERT_TRUE(mib::table_insert(kMapTable, row.data()));
  EXPECT_FALSE(mib::set_cell("testmap", 1, "ExternalPort", "70000"));
  EXPECT_FALSE(mib::set_cell("testmap", 1, "InternalClient", "192.168.1.300"));
  EXPECT_FALSE(mib::set_cell("testmap", 2, "ExternalPort", "1"));
  ASSERT_TRUE(mib::set_cell("testmap", 1, "ExternalPort", "258"));
  ASSERT_TRUE(mib::set_cell("testmap", 1, "Enable", "false"));
  row[2] = 2, row[3] = 1, row[8] = 0;
  EXPECT_EQ(mib::table_row(kMapTable, 1), row);

  std::vector<uint8_t> replaced = map_row(22, "ssh");
  replaced[0] = 2;
  EXPECT_FALSE(mib::table_update(kMapTable, replaced.data()));
  replaced[0] = 1;
  ASSERT_TRUE(mib::table_update(kMapTable, replaced.data()));
  EXPECT_EQ(mib::table_row(kMapTable, 1), replaced);
  std::memset(&replaced[12], 'z', 8);  // unterminated text column
  EXPECT_FALSE(mib::table_insert(kMapTable, replaced.data()));
  EXPECT_EQ(mib::table_rows(kMapTable).size(), 1u);
}

struct Seen {
  std::vector<uint8_t> row;
  bool inserted;
  std::optional<std::vector<uint8_t>> stored_at_call;
  bool operator==(const Seen &) const = default;
};
std::vector<Seen> g_seen;

TEST_F(TableTest, ListenerSeesCommittedInsertAndRemove) {
  g_seen.clear();
  // Reads the store from inside the listener: the change must be committed
  // and the store unlocked by then.
  mib::set_row_listener([](const mib::TableDef &table, const uint8_t *row, bool inserted) {
    g_seen.push_back({{row, row + table.row_size}, inserted, mib::table_row(table, row[0])});
  });
  std::vector<uint8_t> row = map_row(44, "tls");
  ASSERT_TRUE(mib::table_insert(kMapTable, row.data()));
  EXPECT_FALSE(mib::table_remove(kMapTable, 3));
  ASSERT_TRUE(mib::table_remove(kMapTable, 1));
  EXPECT_EQ(g_seen, (std::vector<Seen>{{row, true, row}, {row, false, std::nullopt}}));
}

TEST_F(StoreTest, RegisterRefusesUnusableLayoutsAndAddsNewColumns) {
  const mib::Column bad[][2] = {
      {{"A", K::U32, 1, 4}, {"B", K::U8, 4, 1}},  // overlap
      {{"A", K::U8, 0, 1}, {"B", K::U8, 1, 1}},   // on the instance byte
      {{"A", K::U32, 6, 4}, {"B", K::U8, 1, 1}},  // past the end
      {{"A", K::IPv4, 1, 6}, {"B", K::U8, 7, 1}},  // size does not suit the kind
      {{"extra", K::U8, 1, 1}, {"B", K::U8, 2, 1}},
      {{"A\"B", K::U8, 1, 1}, {"B", K::U8, 2, 1}},
  };
  for (const auto &columns : bad) EXPECT_FALSE(mib::register_table({"grown", "M", 8, columns, 2, 4}));
  const mib::Column v2[] = {{"Port", K::U16, 2, 2}, {"Flags", K::U8, 6, 1}};
  EXPECT_FALSE(mib::register_table({"settings", "M", 8, v2, 1, 4}));
  EXPECT_FALSE(mib::register_table({"grown", "M", 8, v2, 1, 256}));
  EXPECT_EQ(mib::find_table("grown"), nullptr);

  const mib::TableDef old_def{"grown", "Grown", 8, v2, 1, 4};
  ASSERT_TRUE(mib::register_table(old_def));
  std::vector<uint8_t> row{0, 0, 0x50, 0, 0x11, 0, 0, 0};  // byte 4 kept in extra
  ASSERT_TRUE(mib::table_insert(old_def, row.data()));
  mib::close_store();
  const mib::TableDef new_def{"grown", "Grown", 8, v2, 2, 4};
  ASSERT_TRUE(mib::register_table(new_def));
  ASSERT_TRUE(reopen());
  EXPECT_EQ(mib::get_cell("grown", 1, "Flags"), "");
  ASSERT_TRUE(mib::set_cell("grown", 1, "Flags", "7"));
  row[6] = 7;
  EXPECT_EQ(mib::table_row(new_def, 1), row);
}

// The change bit kept spare (no service uses it), so that this formatter
// leaves the library's own alone.
constexpr uint32_t kPoolBit = 0x80000000;

TEST_F(StoreTest, NoticesAreJournalledInOrder) {
  mib::register_notice_formatter(kPoolBit, [](const void *data) {
    return std::string("pool=") + static_cast<const char *>(data);
  });
  char pool[] = "lan";
  EXPECT_EQ(dbus_mib_update_cfg(kPoolBit, pool, 1), 1);
  EXPECT_EQ(dbus_mib_update_cfg(0x40, pool, 2), 1);
  EXPECT_EQ(dbus_mib_update_cfg(0x40, nullptr, -1), 1);
  mib::register_notice_formatter(kPoolBit, nullptr);
  EXPECT_EQ(dbus_mib_update_cfg(kPoolBit, pool, 3), 1);

  std::vector<mib::JournalEntry> entries = mib::journal();
  ASSERT_EQ(entries.size(), 4u);
  std::vector<std::string> seen;  // times and their order are checked in mib_cli_test
  for (const mib::JournalEntry &entry : entries)
    seen.push_back(std::to_string(entry.bit) + " " + std::to_string(entry.action) + " " + entry.data);
  EXPECT_EQ(seen, (std::vector<std::string>{"2147483648 1 pool=lan", "64 2 <data>", "64 -1 ",
                                            "2147483648 3 <data>"}));
  EXPECT_EQ(mib::journal(entries[1].seq).front().seq, entries[2].seq);
  mib::close_store();
  EXPECT_EQ(dbus_mib_update_cfg(0x40, nullptr, 0), 0);
  EXPECT_EQ(dbus_do_ExtraMIB2flash(), 0);
}

// Notices are recorded after their transaction, by the store's own thread:
// those of a rolled back transaction never, the others without any reader
// asking (another connection sees them), and those still waiting when the
// store closes before it closes.
TEST_F(StoreTest, NoticesAreRecordedOnlyWhenTheirTransactionCommits) {
  auto recorded_elsewhere = [this](int action) {
    sqlite3 *db = nullptr;
    int count = -1;
    if (sqlite3_open_v2((dir_ + "/mib.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_stmt *stmt = nullptr;
      sqlite3_prepare_v2(db, "SELECT count(*) FROM journal WHERE action = ?1", -1, &stmt, nullptr);
      sqlite3_bind_int(stmt, 1, action);
      if (sqlite3_step(stmt) == SQLITE_ROW) count = sqlite3_column_int(stmt, 0);
      sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return count;
  };
  ASSERT_EQ(mib_transaction_begin(), 1);
  EXPECT_EQ(dbus_mib_update_cfg(0x40, nullptr, 11), 1);
  mib_transaction_rollback();
  ASSERT_EQ(mib_transaction_begin(), 1);
  EXPECT_EQ(dbus_mib_update_cfg(0x40, nullptr, 12), 1);
  ASSERT_EQ(mib_transaction_commit(), 1);
  int seen = 0;
  igd1::test::eventually([&] { return (seen = recorded_elsewhere(12)) != 0; });
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(recorded_elsewhere(11), 0);

  EXPECT_EQ(dbus_mib_update_cfg(0x40, nullptr, 13), 1);
  mib::close_store();
  EXPECT_EQ(recorded_elsewhere(13), 1);
  ASSERT_TRUE(reopen());
  std::vector<int> actions;
  for (const mib::JournalEntry &entry : mib::journal()) actions.push_back(entry.action);
  EXPECT_EQ(actions, (std::vector<int>{12, 13}));
}

}  // namespace
