// The configuration store: value conversions, settings, tables, journal,
// failure injection and durability.
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "mib_api.h"
#include "mib_store.h"

namespace mib = igd1::mib;

namespace {

// A fresh database in its own temporary folder, closed and deleted after.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GError *error = nullptr;
    gchar *dir = g_dir_make_tmp("igd1-mib-XXXXXX", &error);
    ASSERT_NE(dir, nullptr) << (error != nullptr ? error->message : "");
    dir_ = dir;
    g_free(dir);
    path_ = dir_ + "/mib.db";
    ASSERT_TRUE(reopen());
  }
  void TearDown() override {
    mib::close_store();
    mib::clear_failures();
    mib::set_row_listener(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  bool reopen() {
    std::string error;
    bool ok = mib::open_store(path_, &error);
    EXPECT_TRUE(ok) << error;
    return ok;
  }

  std::string dir_;
  std::string path_;
};

// ---- value conversions --------------------------------------------------------

TEST(ValueConversion, CanonicalTextRoundTrips) {
  struct Case {
    mib::ValueKind kind;
    size_t size;
    const char *in;
    const char *out;
  };
  const Case cases[] = {
      {mib::ValueKind::Text, 8, "abc", "abc"},
      {mib::ValueKind::Text, 8, "", ""},
      {mib::ValueKind::Bool, 4, "true", "1"},
      {mib::ValueKind::Bool, 4, "false", "0"},
      {mib::ValueKind::U8, 1, "255", "255"},
      {mib::ValueKind::U16, 2, "8080", "8080"},
      {mib::ValueKind::U32, 4, "4294967295", "4294967295"},
      {mib::ValueKind::U32, 4, "007", "7"},
      {mib::ValueKind::I32, 4, "-2147483648", "-2147483648"},
      {mib::ValueKind::IPv4, 4, "192.168.1.10", "192.168.1.10"},
      {mib::ValueKind::Mac, 6, "A4:3E:51:0C:22:1F", "a4:3e:51:0c:22:1f"},
      {mib::ValueKind::Double, 8, "2.5", "2.5"},
      {mib::ValueKind::Double, 8, "0.1", "0.1"},
      {mib::ValueKind::U64, 8, "18446744073709551615", "18446744073709551615"},
      {mib::ValueKind::IPv4Text, 16, "255.255.255.255", "255.255.255.255"},
      {mib::ValueKind::IPv4Text, 64, "10.0.0.1", "10.0.0.1"},
  };
  for (const Case &c : cases) {
    std::vector<uint8_t> buffer(c.size, 0xee);
    ASSERT_TRUE(mib::parse_value(c.kind, c.in, buffer.data(), buffer.size())) << c.in;
    EXPECT_EQ(mib::format_value(c.kind, buffer.data(), buffer.size()), c.out) << c.in;
  }
}

TEST(ValueConversion, RefusedTextLeavesBufferUntouched) {
  struct Case {
    mib::ValueKind kind;
    size_t size;
    const char *text;
  };
  const Case cases[] = {
      {mib::ValueKind::Text, 6, "abcdef"},  // one character more than fits
      {mib::ValueKind::Bool, 4, "2"},
      {mib::ValueKind::Bool, 4, "yes"},
      {mib::ValueKind::U8, 1, "256"},
      {mib::ValueKind::U16, 2, "65536"},
      {mib::ValueKind::U32, 4, "4294967296"},
      {mib::ValueKind::U32, 4, "-1"},
      {mib::ValueKind::U32, 4, "+1"},
      {mib::ValueKind::U32, 4, " 1"},
      {mib::ValueKind::U32, 4, "12a"},
      {mib::ValueKind::U32, 4, ""},
      {mib::ValueKind::I32, 4, "2147483648"},
      {mib::ValueKind::IPv4, 4, "192.168.1.300"},
      {mib::ValueKind::IPv4, 4, "192.168.1"},
      {mib::ValueKind::IPv4, 4, "192.168.1.1 "},
      {mib::ValueKind::Mac, 6, "a4:3e:51:0c:22"},
      {mib::ValueKind::Mac, 6, "a4-3e-51-0c-22-10"},
      {mib::ValueKind::Mac, 6, "a4:3e:51:0c:22:1g"},
      {mib::ValueKind::Double, 8, "2.5x"},
      {mib::ValueKind::Double, 8, ""},
      {mib::ValueKind::U64, 8, "18446744073709551616"},
      {mib::ValueKind::U64, 8, "-1"},
      {mib::ValueKind::IPv4Text, 16, "10.0.0"},
      {mib::ValueKind::IPv4Text, 16, "host.lan"},
      {mib::ValueKind::U32, 2, "1"},  // size does not suit the kind
      {mib::ValueKind::IPv4Text, 15, "1.1.1.1"},
  };
  for (const Case &c : cases) {
    std::vector<uint8_t> buffer(c.size, 0xee);
    EXPECT_FALSE(mib::parse_value(c.kind, c.text, buffer.data(), buffer.size())) << c.text;
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0xee; }))
        << c.text;
  }
}

TEST(ValueConversion, BinaryLayouts) {
  uint8_t address[4];
  ASSERT_TRUE(mib::parse_value(mib::ValueKind::IPv4, "192.168.1.10", address, 4));
  EXPECT_EQ(std::vector<uint8_t>(address, address + 4), (std::vector<uint8_t>{192, 168, 1, 10}));

  char text[6];
  ASSERT_TRUE(mib::parse_value(mib::ValueKind::Text, "abcde", text, sizeof text));
  EXPECT_EQ(text[5], '\0');

  int32_t flag = 5;
  EXPECT_EQ(mib::format_value(mib::ValueKind::Bool, &flag, 4), "1");

  double value = 0.1 + 0.2;  // needs all digits to read back the same
  double back = 0;
  ASSERT_TRUE(mib::parse_value(mib::ValueKind::Double,
                               mib::format_value(mib::ValueKind::Double, &value, 8), &back, 8));
  EXPECT_EQ(back, value);
}

// ---- settings ----------------------------------------------------------------------

TEST_F(StoreTest, SettingsPersistAcrossReopen) {
  ASSERT_TRUE(mib::set_setting("lan.IPAddress", "10.0.0.1"));
  ASSERT_TRUE(mib::set_setting("test.Empty", ""));
  mib::close_store();
  EXPECT_FALSE(mib::get_setting("lan.IPAddress"));
  EXPECT_FALSE(mib::set_setting("lan.IPAddress", "10.0.0.2"));
  ASSERT_TRUE(reopen());
  EXPECT_EQ(mib::get_setting("lan.IPAddress"), "10.0.0.1");
  EXPECT_EQ(mib::get_setting("test.Empty"), "");
}

TEST_F(StoreTest, ReopenAddsMissingDefaultsAndKeepsUserValues) {
  ASSERT_TRUE(mib::set_setting("lan.IPAddress", "10.0.0.1"));
  ASSERT_TRUE(mib::remove_setting("dhcpserver.LeaseTime"));
  EXPECT_FALSE(mib::remove_setting("dhcpserver.LeaseTime"));
  mib::close_store();
  ASSERT_TRUE(reopen());
  EXPECT_EQ(mib::get_setting("dhcpserver.LeaseTime"), "86400");
  EXPECT_EQ(mib::get_setting("lan.IPAddress"), "10.0.0.1");
}

TEST_F(StoreTest, EveryDefaultParsesAsItsKind) {
  size_t defaults = 0;
  for (const auto &[name, value] : mib::all_settings()) {
    const mib::Item *item = mib::default_item(name);
    ASSERT_NE(item, nullptr) << name;
    std::vector<uint8_t> buffer(item->size);
    EXPECT_TRUE(mib::read_item(*item, buffer.data())) << name << "=" << value;
    ++defaults;
  }
  EXPECT_GE(defaults, 15u);
  EXPECT_EQ(mib::default_item("no.Such"), nullptr);
}

TEST_F(StoreTest, ItemsReadAndWriteTheirBinaryForm) {
  const mib::Item lease{"dhcpserver.LeaseTime", mib::ValueKind::U32, 4};
  uint32_t seconds = 0;
  ASSERT_TRUE(mib::read_item(lease, &seconds));
  EXPECT_EQ(seconds, 86400u);
  seconds = 3600;
  ASSERT_TRUE(mib::write_item(lease, &seconds));
  EXPECT_EQ(mib::get_setting("dhcpserver.LeaseTime"), "3600");

  // A text field without terminator is refused and changes nothing.
  const mib::Item model{"device.ModelName", mib::ValueKind::Text, 4};
  char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_FALSE(mib::write_item(model, unterminated));
  EXPECT_EQ(mib::get_setting("device.ModelName"), "HG8-G4");

  // A stored text that does not fit the reader's buffer is a failed read.
  char small[4] = {'x', 'x', 'x', 'x'};
  EXPECT_FALSE(mib::read_item(model, small));
  EXPECT_EQ(small[0], 'x');

  ASSERT_TRUE(mib::set_setting("lan.IPAddress", "not an address"));
  uint8_t address[4];
  EXPECT_FALSE(mib::read_item({"lan.IPAddress", mib::ValueKind::IPv4, 4}, address));
  EXPECT_FALSE(mib::read_item({"no.Such", mib::ValueKind::U32, 4}, &seconds));
}

TEST_F(StoreTest, NumericEntriesServeMibGet) {
  ASSERT_TRUE(mib::set_setting("dbusproxy.DebugLevel", "5"));
  uint32_t level = 0;
  EXPECT_EQ(mib_get(9001, &level), 1);
  EXPECT_EQ(level, 5u);

  uint32_t guarded = 0;
  EXPECT_EQ(mib_get_s(9001, &guarded, 3), 0);
  EXPECT_EQ(guarded, 0u);
  EXPECT_EQ(mib_get_s(9001, &guarded, 4), 1);
  EXPECT_EQ(guarded, 5u);
  EXPECT_EQ(mib_get(123456, &level), 0);

  mib::register_entry(9900, {"lan.IPAddress", mib::ValueKind::IPv4, 4});
  uint8_t address[4] = {};
  EXPECT_EQ(mib_get(9900, address), 1);
  EXPECT_EQ(address[0], 192);
}

// ---- failure injection ------------------------------------------------------------------

TEST_F(StoreTest, InjectedFailuresHitOneIndexOrEvery) {
  const mib::Item items[] = {
      {"lan.IPAddress", mib::ValueKind::IPv4, 4},
      {"lan.SubnetMask", mib::ValueKind::IPv4, 4},
  };
  uint8_t address[4];
  EXPECT_TRUE(mib::read_indexed("lan_get", items, 2, 1, address));
  EXPECT_FALSE(mib::read_indexed("lan_get", items, 2, 2, address));
  EXPECT_FALSE(mib::read_indexed("lan_get", items, 2, -1, address));

  mib::fail_accessor("lan_get", 1);
  EXPECT_TRUE(mib::read_indexed("lan_get", items, 2, 0, address));
  EXPECT_FALSE(mib::read_indexed("lan_get", items, 2, 1, address));
  EXPECT_TRUE(mib::read_indexed("lan_other", items, 2, 1, address));
  const uint8_t mask[4] = {255, 255, 0, 0};
  EXPECT_TRUE(mib::write_indexed("lan_set", items, 2, 1, mask));
  EXPECT_EQ(mib::get_setting("lan.SubnetMask"), "255.255.0.0");

  mib::fail_accessor("lan_set");
  EXPECT_FALSE(mib::write_indexed("lan_set", items, 2, 0, mask));
  EXPECT_EQ(mib::get_setting("lan.IPAddress"), "192.168.1.1");

  mib::fail_accessor("mib_get", 9001);
  uint32_t level = 0;
  EXPECT_EQ(mib_get(9001, &level), 0);
  EXPECT_EQ(mib_get_s(9001, &level, 4), 0);

  mib::clear_failures();
  EXPECT_TRUE(mib::read_indexed("lan_get", items, 2, 1, address));
  EXPECT_EQ(mib_get(9001, &level), 1);
}

TEST_F(StoreTest, FailuresFromTheEnvironment) {
  mib::close_store();
  setenv("IGD1_MIB_FAIL", "acc_a:3,,acc_b", 1);
  bool opened = reopen();
  unsetenv("IGD1_MIB_FAIL");
  ASSERT_TRUE(opened);
  EXPECT_TRUE(mib::should_fail("acc_a", 3));
  EXPECT_FALSE(mib::should_fail("acc_a", 4));
  EXPECT_TRUE(mib::should_fail("acc_b", 0));
  EXPECT_TRUE(mib::should_fail("acc_b", 77));
  EXPECT_FALSE(mib::should_fail("acc_c", 0));

  mib::close_store();
  setenv("IGD1_MIB_FAIL", "acc_a:x", 1);
  std::string error;
  EXPECT_FALSE(mib::open_store(path_, &error));
  unsetenv("IGD1_MIB_FAIL");
  EXPECT_NE(error.find("acc_a:x"), std::string::npos) << error;
}

// ---- tables -----------------------------------------------------------------------------

// inst | gap | port | client | enable | description | gap
//  0   |  1  | 2-3  |  4-7   |  8-11  |    12-19    | 20-23
const mib::Column kMapColumns[] = {
    {"ExternalPort", mib::ValueKind::U16, 2, 2},
    {"InternalClient", mib::ValueKind::IPv4, 4, 4},
    {"Enable", mib::ValueKind::Bool, 8, 4},
    {"Description", mib::ValueKind::Text, 12, 8},
};
const mib::TableDef kMapTable{"testmap", "TestMap", 24, kMapColumns, 4, 3};

std::vector<uint8_t> map_row(uint16_t port, const char *client, const char *description) {
  std::vector<uint8_t> row(24, 0);
  std::memcpy(&row[2], &port, 2);
  EXPECT_TRUE(mib::parse_value(mib::ValueKind::IPv4, client, &row[4], 4));
  int32_t enable = 1;
  std::memcpy(&row[8], &enable, 4);
  EXPECT_TRUE(mib::parse_value(mib::ValueKind::Text, description, &row[12], 8));
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
    std::vector<uint8_t> row = map_row(static_cast<uint16_t>(8000 + expected), "192.168.1.10", "x");
    ASSERT_TRUE(mib::table_insert(kMapTable, row.data()));
    EXPECT_EQ(row[0], expected);
  }
  std::vector<uint8_t> extra = map_row(9000, "192.168.1.11", "full");
  extra[0] = 0x77;
  EXPECT_FALSE(mib::table_insert(kMapTable, extra.data()));
  EXPECT_EQ(extra[0], 0x77);

  ASSERT_TRUE(mib::table_remove(kMapTable, 2));
  EXPECT_FALSE(mib::table_remove(kMapTable, 2));
  ASSERT_TRUE(mib::table_insert(kMapTable, extra.data()));
  EXPECT_EQ(extra[0], 2);

  std::vector<std::vector<uint8_t>> rows = mib::table_rows(kMapTable);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0][0], 1);
  EXPECT_EQ(rows[1], extra);
  EXPECT_EQ(rows[2][0], 3);
}

TEST_F(TableTest, RecordRoundTripsByteExactlyWithReadableColumns) {
  std::vector<uint8_t> row = map_row(8080, "192.168.1.10", "web cam");
  row[1] = 0xab;
  row[20] = 0xde;
  row[21] = 0xad;
  row[22] = 0xbe;
  row[23] = 0xef;
  ASSERT_TRUE(mib::table_insert(kMapTable, row.data()));
  mib::close_store();
  ASSERT_TRUE(reopen());

  EXPECT_EQ(mib::table_row(kMapTable, row[0]), row);
  EXPECT_EQ(mib::get_cell("testmap", 1, "ExternalPort"), "8080");
  EXPECT_EQ(mib::get_cell("testmap", 1, "InternalClient"), "192.168.1.10");
  EXPECT_EQ(mib::get_cell("testmap", 1, "Description"), "web cam");
  EXPECT_EQ(mib::get_cell("testmap", 1, "extra"), "abdeadbeef");
  EXPECT_FALSE(mib::get_cell("testmap", 2, "ExternalPort"));
  EXPECT_FALSE(mib::get_cell("testmap", 1, "NoSuch"));
  EXPECT_FALSE(mib::get_cell("settings", 1, "value"));
}

TEST_F(TableTest, UpdateAndCellWritesAreValidated) {
  std::vector<uint8_t> row = map_row(8080, "192.168.1.10", "cam");
  ASSERT_TRUE(mib::table_insert(kMapTable, row.data()));

  EXPECT_FALSE(mib::set_cell("testmap", 1, "ExternalPort", "70000"));
  EXPECT_FALSE(mib::set_cell("testmap", 1, "InternalClient", "192.168.1.300"));
  EXPECT_EQ(mib::table_row(kMapTable, 1), row);

  ASSERT_TRUE(mib::set_cell("testmap", 1, "ExternalPort", "9090"));
  ASSERT_TRUE(mib::set_cell("testmap", 1, "Enable", "false"));
  EXPECT_EQ(mib::get_cell("testmap", 1, "Enable"), "0");
  std::optional<std::vector<uint8_t>> stored = mib::table_row(kMapTable, 1);
  ASSERT_TRUE(stored);
  uint16_t port = 0;
  std::memcpy(&port, &(*stored)[2], 2);
  EXPECT_EQ(port, 9090);
  EXPECT_EQ((*stored)[8], 0);
  EXPECT_FALSE(mib::set_cell("testmap", 2, "ExternalPort", "1"));

  std::vector<uint8_t> replaced = map_row(22, "192.168.1.20", "ssh");
  replaced[0] = 1;
  ASSERT_TRUE(mib::table_update(kMapTable, replaced.data()));
  EXPECT_EQ(mib::table_row(kMapTable, 1), replaced);
  replaced[0] = 2;
  EXPECT_FALSE(mib::table_update(kMapTable, replaced.data()));

  // An unterminated text column refuses the record.
  std::vector<uint8_t> bad = map_row(1, "192.168.1.30", "");
  std::memset(&bad[12], 'z', 8);
  EXPECT_FALSE(mib::table_insert(kMapTable, bad.data()));
  EXPECT_EQ(mib::table_rows(kMapTable).size(), 1u);
}

struct Seen {
  std::vector<uint8_t> row;
  bool inserted;
  std::optional<std::vector<uint8_t>> stored_at_call;
  std::string module;
};
std::vector<Seen> g_seen;

void record_row(const mib::TableDef &table, const uint8_t *row, bool inserted) {
  // Reading the store from inside the listener must work: the change is
  // committed and the store is not locked any more.
  g_seen.push_back({std::vector<uint8_t>(row, row + table.row_size), inserted,
                    mib::table_row(table, row[0]), table.module});
}

TEST_F(TableTest, ListenerSeesCommittedInsertAndRemove) {
  g_seen.clear();
  mib::set_row_listener(record_row);
  std::vector<uint8_t> row = map_row(443, "192.168.1.40", "tls");
  ASSERT_TRUE(mib::table_insert(kMapTable, row.data()));
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_TRUE(g_seen[0].inserted);
  EXPECT_EQ(g_seen[0].row, row);
  EXPECT_EQ(g_seen[0].stored_at_call, row);
  EXPECT_EQ(g_seen[0].module, "TestMap");

  EXPECT_FALSE(mib::table_remove(kMapTable, 3));
  ASSERT_EQ(g_seen.size(), 1u);
  ASSERT_TRUE(mib::table_remove(kMapTable, 1));
  ASSERT_EQ(g_seen.size(), 2u);
  EXPECT_FALSE(g_seen[1].inserted);
  EXPECT_EQ(g_seen[1].row, row);
  EXPECT_FALSE(g_seen[1].stored_at_call);
}

TEST_F(StoreTest, RegisterRefusesUnusableLayouts) {
  const mib::Column overlap[] = {{"A", mib::ValueKind::U32, 1, 4}, {"B", mib::ValueKind::U8, 4, 1}};
  const mib::Column on_instance[] = {{"A", mib::ValueKind::U8, 0, 1}};
  const mib::Column past_end[] = {{"A", mib::ValueKind::U32, 6, 4}};
  const mib::Column wrong_size[] = {{"A", mib::ValueKind::IPv4, 1, 6}};
  const mib::Column reserved[] = {{"extra", mib::ValueKind::U8, 1, 1}};
  const mib::Column bad_name[] = {{"A\"B", mib::ValueKind::U8, 1, 1}};
  const mib::Column good[] = {{"A", mib::ValueKind::U8, 1, 1}};
  EXPECT_FALSE(mib::register_table({"t1", "M", 8, overlap, 2, 4}));
  EXPECT_FALSE(mib::register_table({"t2", "M", 8, on_instance, 1, 4}));
  EXPECT_FALSE(mib::register_table({"t3", "M", 8, past_end, 1, 4}));
  EXPECT_FALSE(mib::register_table({"t4", "M", 8, wrong_size, 1, 4}));
  EXPECT_FALSE(mib::register_table({"t5", "M", 8, reserved, 1, 4}));
  EXPECT_FALSE(mib::register_table({"t6", "M", 8, bad_name, 1, 4}));
  EXPECT_FALSE(mib::register_table({"settings", "M", 8, good, 1, 4}));
  EXPECT_FALSE(mib::register_table({"t7", "M", 8, good, 1, 256}));
  EXPECT_EQ(mib::find_table("t1"), nullptr);
  ASSERT_TRUE(mib::register_table({"t8", "M", 8, good, 1, 4}));
  const mib::TableDef *found = mib::find_table("t8");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->row_size, 8u);
  EXPECT_STREQ(found->columns[0].name, "A");
}

TEST_F(StoreTest, ANewColumnJoinsAnExistingTable) {
  const mib::Column v1[] = {{"Port", mib::ValueKind::U16, 2, 2}};
  const mib::TableDef old_def{"grown", "Grown", 8, v1, 1, 4};
  ASSERT_TRUE(mib::register_table(old_def));
  std::vector<uint8_t> row(8, 0);
  row[2] = 0x50;
  row[4] = 0x11;  // not a column yet: kept in extra
  ASSERT_TRUE(mib::table_insert(old_def, row.data()));
  mib::close_store();

  const mib::Column v2[] = {{"Port", mib::ValueKind::U16, 2, 2}, {"Flags", mib::ValueKind::U8, 6, 1}};
  const mib::TableDef new_def{"grown", "Grown", 8, v2, 2, 4};
  ASSERT_TRUE(mib::register_table(new_def));
  ASSERT_TRUE(reopen());
  EXPECT_EQ(mib::get_cell("grown", 1, "Flags"), "");
  ASSERT_TRUE(mib::set_cell("grown", 1, "Flags", "7"));
  std::optional<std::vector<uint8_t>> stored = mib::table_row(new_def, 1);
  ASSERT_TRUE(stored);
  EXPECT_EQ((*stored)[2], 0x50);
  EXPECT_EQ((*stored)[6], 7);
}

// ---- journal and dump -------------------------------------------------------------------

// A bit no service uses, so that registering and dropping its formatter
// leaves the library's own formatters alone.
constexpr uint32_t kPoolBit = 0x40000000;

std::string format_pool(const void *data) {
  return std::string("pool=") + static_cast<const char *>(data);
}

TEST_F(StoreTest, NoticesAreJournalled) {
  mib::register_notice_formatter(kPoolBit, format_pool);
  char pool[] = "lan";
  int other = 0;
  EXPECT_EQ(dbus_mib_update_cfg(kPoolBit, pool, 1), 1);
  EXPECT_EQ(dbus_mib_update_cfg(0x40, &other, 2), 1);
  EXPECT_EQ(dbus_mib_update_cfg(0x40, nullptr, -1), 1);
  mib::register_notice_formatter(kPoolBit, nullptr);
  EXPECT_EQ(dbus_mib_update_cfg(kPoolBit, pool, 3), 1);

  std::vector<mib::JournalEntry> entries = mib::journal();
  ASSERT_EQ(entries.size(), 4u);
  const std::regex time_form(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_TRUE(std::regex_match(entries[i].time, time_form)) << entries[i].time;
    if (i > 0) {
      EXPECT_GT(entries[i].seq, entries[i - 1].seq);
    }
  }
  EXPECT_EQ(entries[0].bit, kPoolBit);
  EXPECT_EQ(entries[0].action, 1);
  EXPECT_EQ(entries[0].data, "pool=lan");
  EXPECT_EQ(entries[1].data, "<data>");
  EXPECT_EQ(entries[2].data, "");
  EXPECT_EQ(entries[2].action, -1);
  EXPECT_EQ(entries[3].data, "<data>");

  std::vector<mib::JournalEntry> later = mib::journal(entries[1].seq);
  ASSERT_EQ(later.size(), 2u);
  EXPECT_EQ(later[0].seq, entries[2].seq);

  mib::close_store();
  EXPECT_EQ(dbus_mib_update_cfg(0x40, nullptr, 0), 0);
  EXPECT_EQ(dbus_do_ExtraMIB2flash(), 0);
}

TEST_F(StoreTest, FlushCheckpointsTheLog) {
  ASSERT_TRUE(mib::set_setting("lan.IPAddress", "10.1.1.1"));
  EXPECT_TRUE(std::filesystem::exists(path_ + "-wal"));
  EXPECT_EQ(dbus_do_ExtraMIB2flash(), 1);
  EXPECT_EQ(mib::get_setting("lan.IPAddress"), "10.1.1.1");
}

TEST_F(TableTest, DumpIsSortedAndOneLinePerValue) {
  ASSERT_TRUE(mib::set_setting("aaa.Multi", "two\nlines\\"));
  std::vector<uint8_t> row = map_row(80, "192.168.1.9", "http");
  ASSERT_TRUE(mib::table_insert(kMapTable, row.data()));
  mib::journal_append(1, 0, "x");

  std::vector<std::string> lines = mib::dump_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "aaa.Multi=two\\nlines\\\\");
  EXPECT_EQ(lines.back(), "journal.entries=1");
  auto at = [&](const std::string &line) {
    return std::find(lines.begin(), lines.end(), line) - lines.begin();
  };
  EXPECT_LT(at("lan.IPAddress=192.168.1.1"), at("lan.SubnetMask=255.255.255.0"));
  EXPECT_LT(at("lan.SubnetMask=255.255.255.0"), at("testmap[1].ExternalPort=80"));
  EXPECT_LT(at("testmap[1].ExternalPort=80"), at("testmap[1].Description=http"));
  EXPECT_LT(at("testmap[1].Description=http"), static_cast<long>(lines.size()) - 1);
  EXPECT_EQ(mib::dump_lines(), lines);
}

// ---- durability and concurrency ------------------------------------------------------------

TEST_F(StoreTest, CommittedValueSurvivesSigkill) {
  mib::close_store();
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    if (!mib::open_store(path_) || !mib::set_setting("lan.IPAddress", "172.16.0.1") ||
        !mib::set_setting("test.Killed", "yes")) {
      _exit(1);
    }
    char byte = 'k';
    if (write(ready[1], &byte, 1) != 1) _exit(1);
    for (;;) pause();
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  ASSERT_EQ(kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));

  ASSERT_TRUE(reopen());
  EXPECT_EQ(mib::get_setting("lan.IPAddress"), "172.16.0.1");
  EXPECT_EQ(mib::get_setting("test.Killed"), "yes");
  std::string report;
  EXPECT_TRUE(mib::check_integrity(&report)) << report;
  EXPECT_EQ(report, "ok");
}

TEST_F(StoreTest, ConcurrentWritersLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kWrites = 50;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < kWrites; ++i) {
        std::string name = "test.t" + std::to_string(t) + "_" + std::to_string(i);
        if (!mib::set_setting(name, std::to_string(i))) ++failures;
        if (mib::get_setting(name) != std::to_string(i)) ++failures;
        if (dbus_mib_update_cfg(static_cast<uint32_t>(t), nullptr, i) != 1) ++failures;
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(mib::journal().size(), static_cast<size_t>(kThreads * kWrites));
  EXPECT_EQ(mib::get_setting("test.t3_49"), "49");
}

}  // namespace
