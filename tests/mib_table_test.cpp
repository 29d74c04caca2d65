// The table accessor: what every record table's calls rely on (checked
// values and records, rows named by position and node, seeds put in once,
// injected failures by name), and the upgrade of a store written before the
// tables shared it: the same CREATE statements and the same rows.
#include <sqlite3.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "mib_api.h"
#include "mib_filters.h"
#include "mib_lanhost.h"
#include "mib_network_tables.h"
#include "mib_qos.h"
#include "mib_wlan.h"
#include "mib_table.h"
#include "store_fixture.h"

namespace igd1::mib::test {
namespace {

using K = ValueKind;

// ---- a table of the test's own ----

constexpr Column kColumns[] = {
    {"Level", K::U32, 4, 4},
    {"Offset", K::I32, 8, 4},
    {"Name", K::Text, 12, 8},
};
bool lower_case(const char *text) {
  for (const char *c = text; *c != '\0'; ++c)
    if (*c < 'a' || *c > 'z') return false;
  return true;
}
constexpr TableItem kItems[] = {
    {.column = 2, .valid = lower_case},
    {.column = 0, .low = 1, .high = 9},
    {.column = 1, .low = -5, .high = 5},
    {.column = kNoColumn},  // a number the table does not serve
};
constexpr RangeCheck kRanges[] = {{1, -5, 5}};
const char *level_set(const uint8_t *row) {
  uint32_t level;
  std::memcpy(&level, row + 4, sizeof level);
  return level == 0 ? "Level" : nullptr;
}
std::vector<uint8_t> two_seeds() {
  std::vector<uint8_t> rows(2 * 24, 0);
  rows[4] = 3;
  std::memcpy(&rows[12], "alpha", 6);
  rows[24 + 4] = 7;
  std::memcpy(&rows[24 + 12], "beta", 5);
  return rows;
}
constexpr TableSpec kSpec = {
    .def = {.name = "accessortest", .module = nullptr, .row_size = 24, .columns = kColumns,
            .column_count = std::size(kColumns), .max_rows = 4},
    .prefix = "accessortest",
    .items = kItems,
    .ranges = kRanges,
    .refused = level_set,
    .seed_marker = "accessortest.Seeded",
    .seed = two_seeds,
};

class TableAccessorTest : public StoreTest {
 protected:
  Table &table() {
    static Table *table = new Table(kSpec);
    return *table;
  }
  std::string name_of(uint32_t instance) {
    mib_list_node *node = table().find(instance, nullptr);
    return node != nullptr ? std::string(static_cast<const char *>(node->data) + 12) : "<none>";
  }
};

TEST_F(TableAccessorTest, SeedsANewStoreOnceAndAnEmptiedTableStaysEmpty) {
  ASSERT_TRUE(table().init());
  EXPECT_EQ(table().rows().size(), 2u);
  EXPECT_EQ(name_of(1), "alpha");
  EXPECT_EQ(name_of(2), "beta");
  ASSERT_TRUE(table().remove(0, nullptr));
  ASSERT_TRUE(table().remove(0, nullptr));
  ASSERT_TRUE(table().init());
  EXPECT_EQ(table().rows().size(), 0u);
  ASSERT_TRUE(reopen());
  ASSERT_TRUE(table().init());
  EXPECT_EQ(table().rows().size(), 0u);
}

TEST_F(TableAccessorTest, SetChecksEachValueAndLeavesTheRecordAsItWasOnRefusal) {
  ASSERT_TRUE(table().init());
  uint8_t row[24] = {};
  std::memcpy(row, table().find(2, nullptr)->data, sizeof row);
  uint8_t before[24];
  std::memcpy(before, row, sizeof row);
  const uint32_t too_high = 10;
  const int32_t too_low = -6;
  EXPECT_FALSE(table().set(0, "eightchr", row));  // no room for the terminator
  EXPECT_FALSE(table().set(0, "Upper", row));
  EXPECT_FALSE(table().set(1, &too_high, row));
  EXPECT_FALSE(table().set(2, &too_low, row));
  EXPECT_FALSE(table().set(3, "gamma", row));
  EXPECT_FALSE(table().set(4, "gamma", row));
  EXPECT_EQ(std::memcmp(row, before, sizeof row), 0);

  const int32_t lowest = -5;
  ASSERT_TRUE(table().set(0, "gamma", row));
  ASSERT_TRUE(table().set(2, &lowest, row));
  char name[8];
  int32_t offset = 0;
  ASSERT_TRUE(table().get(0, name, row));
  ASSERT_TRUE(table().get(2, &offset, row));
  EXPECT_STREQ(name, "gamma");
  EXPECT_EQ(offset, -5);
  EXPECT_FALSE(table().get(3, name, row));
}

TEST_F(TableAccessorTest, UpdateRefusesAnUnfitRecordOrAnotherPositionAndKeepsTheStoredRow) {
  ASSERT_TRUE(table().init());
  uint8_t row[24] = {};
  std::memcpy(row, table().find(2, nullptr)->data, sizeof row);
  std::memset(row + 12, 'x', 8);
  EXPECT_STREQ(table().update(row), "invalid Name");
  std::memcpy(row + 12, "gamma", 6);
  std::memset(row + 4, 0, 4);
  EXPECT_STREQ(table().update(row), "invalid Level");
  row[4] = 5;
  for (const int32_t offset : {6, -6, INT32_MIN}) {
    std::memcpy(row + 8, &offset, sizeof offset);
    EXPECT_STREQ(table().update(row), "invalid Offset") << offset;
  }
  const int32_t lowest = -5;
  std::memcpy(row + 8, &lowest, sizeof lowest);
  EXPECT_STREQ(table().update_at(row, 0), "no row at position 0");
  EXPECT_EQ(name_of(2), "beta");
  EXPECT_EQ(table().update_at(row, 1), nullptr);
  EXPECT_EQ(name_of(2), "gamma");
  EXPECT_EQ(table().describe(row), "accessortest[2] Level=5 Offset=-5 Name=gamma");
}

TEST_F(TableAccessorTest, RemoveRefusesANodeOfAnotherRow) {
  ASSERT_TRUE(table().init());
  mib_list_node first = *table().find(1, nullptr);
  EXPECT_FALSE(table().remove(1, &first));
  EXPECT_EQ(table().rows().size(), 2u);
  EXPECT_FALSE(table().remove(2, nullptr));
  mib_list_node second = *table().find(2, nullptr);
  EXPECT_TRUE(table().remove(1, &second));
  EXPECT_EQ(name_of(2), "<none>");
  EXPECT_EQ(name_of(1), "alpha");
}

// A node handed out lives in the calling thread's view of the rows, which
// the next call rebuilds when rows came or went meanwhile (here a write that
// bypasses the list): remove reads the node before that.
TEST_F(TableAccessorTest, RemoveReadsTheCallersNodeBeforeTheRowsAreReadAgain) {
  ASSERT_TRUE(table().init());
  mib_list_node *first = table().find(1, nullptr);
  uint8_t row[24] = {};
  row[4] = 2;
  ASSERT_TRUE(table_insert(kSpec.def, row));
  ASSERT_TRUE(table().remove(0, first));
  EXPECT_EQ(name_of(1), "<none>");
  EXPECT_EQ(table().rows().size(), 2u);
}

TEST_F(TableAccessorTest, InjectedFailuresRefuseTheCallTheyName) {
  ASSERT_TRUE(table().init());
  fail_accessor("accessortest_get_list_by_instnum");
  fail_accessor("accessortest_set_mib_property", 1);
  fail_accessor("accessortest_insert_entry");
  EXPECT_EQ(table().find(1, nullptr), nullptr);
  uint8_t row[24] = {};
  const uint32_t level = 4;
  EXPECT_FALSE(table().set(1, &level, row));
  EXPECT_TRUE(table().set(0, "delta", row));
  EXPECT_FALSE(table().insert(row));
  EXPECT_EQ(table().insert_empty(), 0u);
  clear_failures();
  EXPECT_EQ(table().rows().size(), 2u);
  ASSERT_TRUE(table().insert(row));
  EXPECT_EQ(table().instance_of(row), 3u);
}

// ---- a store written before the tables shared the accessor ----

std::vector<std::string> fixture_lines(const char *name) {
  std::ifstream in(std::string(IGD1_STORE_FIXTURES_DIR) + "/" + name);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && !line.starts_with("--")) lines.push_back(line);
  return lines;
}

constexpr std::string_view kCreate = "CREATE TABLE IF NOT EXISTS \"";

// The table a fixture statement creates, or "".
std::string created_table(const std::string &statement) {
  if (!statement.starts_with(kCreate)) return "";
  return statement.substr(kCreate.size(), statement.find('"', kCreate.size()) - kCreate.size());
}

using TableUpgradeTest = StoreTest;

TEST_F(TableUpgradeTest, EveryTableKeepsTheCreateStatementOfTheOldStore) {
  size_t compared = 0;
  for (const std::string &statement : fixture_lines("tables_before.sql")) {
    const std::string table = created_table(statement);
    if (table.empty()) continue;
    // The database keeps the statement without IF NOT EXISTS and the ';'.
    const std::string expected = "CREATE TABLE " + statement.substr(kCreate.size() - 1,
                                                                    statement.size() - kCreate.size());
    EXPECT_EQ(sql_text(store_path(), "SELECT sql FROM sqlite_master WHERE name = '" + table + "'"),
              expected)
        << table;
    ++compared;
  }
  EXPECT_EQ(compared, 22u);
}

TEST_F(TableUpgradeTest, RowsTheOldStoreWroteReadTheSame) {
  const std::string path = store_path();
  close_store();
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  for (const std::string &statement : fixture_lines("tables_before.sql")) {
    const std::string table = created_table(statement);
    if (!table.empty()) {
      ASSERT_EQ(sqlite3_exec(db, ("DROP TABLE \"" + table + "\"").c_str(), nullptr, nullptr, nullptr),
                SQLITE_OK);
    }
    ASSERT_EQ(sqlite3_exec(db, statement.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << statement.substr(0, 80) << ": " << sqlite3_errmsg(db);
  }
  sqlite3_close(db);
  ASSERT_TRUE(reopen());

  // Reading a table again seeds nothing into a table that holds rows.
  EXPECT_EQ(portmapping_update_all(), 1);
  EXPECT_EQ(BridgeDataAcl_init(), 1);
  EXPECT_EQ(QoSClassification_init(), 1);
  EXPECT_EQ(QoSPriorityQueue_init(), 1);
  EXPECT_EQ(QoSApp_init(), 1);
  for (int (*init)() : {dnsfilter_update_all, urlfilter_update_all, macblocklist_update_all,
                        macwhitelist_update_all, appfilter_update_all, AppRoute_update_all,
                        ddnsServer_update_all, dnsTunnel_update_all, sambaAccount_update_all,
                        subdeviceinfo_update_all, wanconnectioninfo_dbus_entry_init,
                        SpecialServiceVR_dbus_entry_init, lan_host_update_all})
    EXPECT_EQ(init(), 1);
  EXPECT_EQ(HardAccCancel_update_all(), 0);

  std::vector<std::string> rows;
  for (const std::string &line : dump_lines())
    if (line.find('[') != std::string::npos) rows.push_back(line);
  EXPECT_EQ(rows, fixture_lines("rows_before.txt"));

  // The accessors hand out the old records, bytes no column covers included.
  mib_list_node *mapping = portmapping_get_list_by_instnum(1, nullptr);
  ASSERT_NE(mapping, nullptr);
  const auto *record = static_cast<const uint8_t *>(mapping->data);
  uint16_t external = 0;
  std::memcpy(&external, record + 12, sizeof external);
  EXPECT_EQ(external, 8080);
  EXPECT_STREQ(reinterpret_cast<const char *>(record + 21), "web server");
  EXPECT_EQ(record[85], 0x5a);
  char address[BRIDGE_DATA_ACL_IP_SIZE] = "";
  ASSERT_EQ(BridgeDataAcl_get_mib_property(0, address,
                                           BridgeDataAcl_get_list_by_instnum(1, nullptr)->data),
            1);
  EXPECT_STREQ(address, "10.0.0.7");
  int32_t car = 0;
  ASSERT_EQ(QoSPriorityQueue_table.get_item(3, &car,
                                             QoSPriorityQueue_get_list_by_instnum(4, nullptr)->data),
            1);
  EXPECT_EQ(car, -1);
}

// ---- what a new store holds ----

// Every table's CREATE statement, the recorded kind and size of each column
// and every setting, one line each, and every row as the dump shows it.
std::vector<std::string> new_store_lines(const std::string &path) {
  const char *kQueries[] = {
      "SELECT 'table ' || name || ' ' || sql FROM sqlite_master WHERE type = 'table'",
      "SELECT 'meta ' || key || ' ' || value FROM meta WHERE key LIKE 'column.%'",
      "SELECT 'setting ' || name || '=' || value FROM settings",
  };
  std::vector<std::string> lines;
  sqlite3 *db = nullptr;
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  for (const char *query : kQueries) {
    sqlite3_stmt *stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, query, -1, &stmt, nullptr), SQLITE_OK) << query;
    while (sqlite3_step(stmt) == SQLITE_ROW)
      lines.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)));
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  for (const std::string &line : dump_lines())
    if (line.find("].") != std::string::npos) lines.push_back(line);
  return lines;
}

using NewStoreTest = StoreTest;

// Tables, columns, settings and seeded records may be added; none of those a
// new store held before may change, or a store written before would be read
// differently.
TEST_F(NewStoreTest, HoldsTheSchemaSettingsAndSeededRowsOfTheStoresBefore) {
  for (int (*init)() : {wlanconfiguration_interface_init, QoSClassification_init, QoSPriorityQueue_init,
                        QoSApp_init, dnsfilter_update_all, urlfilter_update_all, macblocklist_update_all,
                        macwhitelist_update_all, appfilter_update_all, AppRoute_update_all})
    ASSERT_EQ(init(), 1);
  ASSERT_EQ(HardAccCancel_update_all(), 0);
  const std::vector<std::string> lines = new_store_lines(store_path());
  const std::set<std::string> held(lines.begin(), lines.end());
  size_t compared = 0;
  for (const std::string &line : fixture_lines("new_store.txt")) {
    EXPECT_TRUE(held.contains(line)) << line;
    ++compared;
  }
  EXPECT_GT(compared, 700u);
}

}  // namespace
}  // namespace igd1::mib::test
