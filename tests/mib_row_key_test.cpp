// Row keys of the configuration store: tables whose instance numbers are
// wider than one byte, nested tables keyed by (parent, instance), and the
// strict text form of a key.  Each row must be reached by its own key only:
// no number is ever cut or wrapped onto another row.

#include <cstring>
#include <optional>
#include <vector>

#include "mib_rowlist.h"
#include "store_fixture.h"

namespace igd1::mib::test {
namespace {

using K = ValueKind;

// inst (4 bytes) | Name (12) | Value (4) | kept byte
constexpr Column kWideColumns[] = {
    {"Name", K::Text, 4, 12},
    {"Value", K::U32, 16, 4},
};
// Eight rows numbered anywhere from 1 to 4294967295.
constexpr TableDef kWideTable = {"widehosts", nullptr, 21, kWideColumns, 2, 8, 4, UINT32_MAX};

std::vector<uint8_t> wide_row(uint32_t instance, const char *name, uint32_t value) {
  std::vector<uint8_t> row(kWideTable.row_size, 0);
  std::memcpy(row.data(), &instance, 4);
  std::strncpy(reinterpret_cast<char *>(&row[4]), name, 11);
  std::memcpy(&row[16], &value, 4);
  row[20] = static_cast<uint8_t>(value);
  return row;
}

uint32_t value_of(const std::vector<uint8_t> &row) {
  uint32_t value = 0;
  std::memcpy(&value, &row[16], 4);
  return value;
}

// Instances whose low bytes or low 16 bits equal those of another: any cut
// of a number would land on the wrong row.
constexpr uint32_t kWideInstances[] = {1, 232, 1000, 255, 4294967295u, 65536, 65537};

class WideTableTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_TRUE(register_table(kWideTable));
    for (uint32_t instance : kWideInstances) {
      std::vector<uint8_t> row = wide_row(instance, ("h" + std::to_string(instance)).c_str(), instance ^ 0x5a5a);
      ASSERT_TRUE(table_insert_at(kWideTable, row.data())) << instance;
    }
  }
};

TEST_F(WideTableTest, RowsAboveByteRangeAreStoredListedUpdatedAndDeletedByTheirOwnKey) {
  std::vector<std::vector<uint8_t>> rows = table_rows(kWideTable);
  std::vector<RowKey> keys;
  for (const auto &row : rows) keys.push_back(row_key_of(kWideTable, row.data()));
  EXPECT_EQ(keys, (std::vector<RowKey>{1, 232, 255, 1000, 65536, 65537, 4294967295u}));
  for (uint32_t instance : kWideInstances) {
    std::optional<std::vector<uint8_t>> row = table_row(kWideTable, instance);
    ASSERT_TRUE(row) << instance;
    EXPECT_EQ(*row, wide_row(instance, ("h" + std::to_string(instance)).c_str(), instance ^ 0x5a5a));
  }
  // Keys beyond 32 bits are no instance of a table that is not nested.
  EXPECT_FALSE(table_row(kWideTable, (RowKey(1) << 32) + 1000));
  EXPECT_FALSE(table_remove(kWideTable, (RowKey(1) << 32) + 1));
  EXPECT_FALSE(table_row(kWideTable, 0));

  std::vector<uint8_t> changed = wide_row(65536, "changed", 7);
  ASSERT_TRUE(table_update(kWideTable, changed.data()));
  ASSERT_TRUE(table_remove(kWideTable, 4294967295u));
  EXPECT_FALSE(table_remove(kWideTable, 4294967295u));
  close_store();
  ASSERT_TRUE(reopen());
  EXPECT_EQ(table_row(kWideTable, 65536), changed);
  EXPECT_FALSE(table_row(kWideTable, 4294967295u));
  for (uint32_t untouched : {1u, 255u, 65537u}) EXPECT_EQ(value_of(*table_row(kWideTable, untouched)), untouched ^ 0x5a5a);
  EXPECT_EQ(get_cell("widehosts", 65537, "Name"), "h65537");
  ASSERT_TRUE(set_cell("widehosts", 1000, "Value", "4000000000"));
  EXPECT_EQ(value_of(*table_row(kWideTable, 1000)), 4000000000u);
  EXPECT_EQ(value_of(*table_row(kWideTable, 232)), 232u ^ 0x5a5a);

  // The lowest free number, then the row limit.
  std::vector<uint8_t> fresh = wide_row(0, "fresh", 1);
  ASSERT_TRUE(table_insert(kWideTable, fresh.data()));
  EXPECT_EQ(row_key_of(kWideTable, fresh.data()), 2u);
  std::vector<uint8_t> taken = wide_row(1000, "again", 1);
  EXPECT_FALSE(table_insert_at(kWideTable, taken.data()));
  std::vector<uint8_t> last = wide_row(4294967295u, "last", 1);
  ASSERT_TRUE(table_insert_at(kWideTable, last.data()));
  EXPECT_FALSE(table_insert(kWideTable, fresh.data()));  // eight rows: full
  EXPECT_EQ(table_rows(kWideTable).size(), 8u);
}

TEST_F(WideTableTest, RowListFindsAndChangesOnlyTheAskedRow) {
  RowList list(*find_table(kWideTable.name));
  uint32_t position = 99;
  mib_list_node *node = list.find(65536, &position);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(position, 4u);
  EXPECT_EQ(row_key_of(kWideTable, static_cast<uint8_t *>(node->data)), 65536u);
  EXPECT_EQ(list.find(65536 + 256), nullptr);
  EXPECT_EQ(list.find(1000 + (RowKey(1) << 32)), nullptr);

  std::vector<uint8_t> changed = wide_row(1000, "moved", 11);
  ASSERT_TRUE(list.store(changed.data()));
  EXPECT_EQ(value_of(*table_row(kWideTable, 232)), 232u ^ 0x5a5a);
  ASSERT_TRUE(list.remove(232));
  node = list.find(1000, &position);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(position, 2u);
  EXPECT_EQ(std::memcmp(node->data, changed.data(), changed.size()), 0);

  std::vector<uint8_t> inserted = wide_row(70000, "new", 3);
  ASSERT_TRUE(list.insert_at(inserted.data()));
  EXPECT_FALSE(list.insert_at(inserted.data()));
  std::vector<RowKey> keys;
  for (mib_list_node *n = list.head(); n != nullptr; n = n->next)
    keys.push_back(row_key_of(kWideTable, static_cast<uint8_t *>(n->data)));
  EXPECT_EQ(keys, (std::vector<RowKey>{1, 255, 1000, 65536, 65537, 70000, 4294967295u}));
}

// A nested table: the parent's number sits at byte 4.
constexpr Column kTypeColumns[] = {{"Type", K::Text, 8, 8}};
// Three rows per parent, numbered 1 to 300.
constexpr TableDef kTypeTable = {"nestedtypes", nullptr, 16, kTypeColumns, 1, 3, 4, 300, 4};

std::vector<uint8_t> type_row(uint32_t parent, uint32_t instance, const char *type) {
  std::vector<uint8_t> row(kTypeTable.row_size, 0);
  set_row_key(kTypeTable, row.data(), row_key(parent, instance));
  std::strncpy(reinterpret_cast<char *>(&row[8]), type, 7);
  return row;
}

TEST_F(StoreTest, NestedRowsOfDifferentParentsNeverShareAKey) {
  ASSERT_TRUE(register_table(kTypeTable));
  // 258 and 2 agree in their low byte.
  for (uint32_t parent : {258u, 2u, 2147483653u, 4294967295u}) {
    std::vector<uint8_t> row = type_row(parent, 0, ("p" + std::to_string(parent)).c_str());
    ASSERT_TRUE(table_insert(kTypeTable, row.data())) << parent;
    EXPECT_EQ(row_key_of(kTypeTable, row.data()), row_key(parent, 1));
  }
  std::vector<uint8_t> second = type_row(2, 0, "second");
  ASSERT_TRUE(table_insert(kTypeTable, second.data()));
  EXPECT_EQ(row_key_of(kTypeTable, second.data()), row_key(2, 2));
  std::vector<uint8_t> high = type_row(258, 300, "high");
  ASSERT_TRUE(table_insert_at(kTypeTable, high.data()));
  std::vector<uint8_t> beyond = type_row(258, 301, "beyond");
  EXPECT_FALSE(table_insert_at(kTypeTable, beyond.data()));
  std::vector<uint8_t> orphan = type_row(0, 0, "orphan");
  EXPECT_FALSE(table_insert(kTypeTable, orphan.data()));

  // In the order of (parent, instance), parents with the top bit included.
  std::vector<std::string> listed;
  for (const auto &row : table_rows(kTypeTable)) listed.push_back(key_text(row_key_of(kTypeTable, row.data())));
  EXPECT_EQ(listed, (std::vector<std::string>{"2/1", "2/2", "258/1", "258/300", "2147483653/1",
                                              "4294967295/1"}));
  ASSERT_TRUE(table_remove(kTypeTable, row_key(258, 1)));
  EXPECT_EQ(get_cell("nestedtypes", row_key(2, 1), "Type"), "p2");
  EXPECT_FALSE(table_row(kTypeTable, row_key(258, 1)));
  EXPECT_FALSE(table_row(kTypeTable, 1));  // no parent: no row of a nested table

  RowList list(*find_table(kTypeTable.name));
  uint32_t position = 0;
  mib_list_node *node = list.find(row_key(4294967295u, 1), &position);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(position, 4u);
  EXPECT_STREQ(static_cast<const char *>(node->data) + 8, "p429496");
  ASSERT_NE(list.find(row_key(2147483653u, 1)), nullptr);
  EXPECT_EQ(list.find(row_key(2, 3)), nullptr);
}

TEST_F(StoreTest, DefinitionsWhoseKeyCannotHoldTheirRowsAreRefused) {
  const Column one[] = {{"A", K::U8, 5, 1}};
  const TableDef refused[] = {
      {"badkey", nullptr, 8, one, 1, 4, /*instance_size=*/3},
      {"badkey", nullptr, 8, one, 1, 4, 1, /*max_instance=*/256},
      {"badkey", nullptr, 8, one, 1, 256, 1},
      {"badkey", nullptr, 8, one, 1, 4, 2, 65536},
      {"badkey", nullptr, 8, one, 1, 9, 4, /*max_instance below max_rows=*/8},
      {"badkey", nullptr, 8, one, 1, 4, 4, 0, /*parent on the instance=*/2},
      {"badkey", nullptr, 8, one, 1, 4, 1, 0, /*parent on column A=*/4},
      {"badkey", nullptr, 8, one, 1, 4, 1, 0, /*parent past the end=*/6},
      {"badkey", nullptr, 3, nullptr, 0, 4, 4},
  };
  for (const TableDef &table : refused) EXPECT_FALSE(register_table(table)) << &table - refused;
  EXPECT_EQ(find_table("badkey"), nullptr);
  EXPECT_TRUE(register_table({"badkey", nullptr, 8, one, 1, 4, 2, 65535}));
}

// A table of one-byte instance numbers is created as it always was, and
// numbers beyond its range reach no row.
TEST_F(StoreTest, OneByteTablesKeepTheirFormAndRefuseWiderNumbers) {
  const Column port[] = {{"Port", K::U16, 2, 2}};
  const TableDef narrow{"narrowmap", "Narrow", 4, port, 1, 255};
  ASSERT_TRUE(register_table(narrow));
  std::vector<uint8_t> row{0, 0, 80, 0};
  ASSERT_TRUE(table_insert(narrow, row.data()));
  EXPECT_EQ(row[0], 1);
  for (RowKey wrapped : {RowKey(257), RowKey(65537), RowKey(4294967297u), RowKey(0)}) {
    EXPECT_FALSE(table_row(narrow, wrapped)) << wrapped;
    EXPECT_FALSE(table_remove(narrow, wrapped)) << wrapped;
    EXPECT_FALSE(get_cell("narrowmap", wrapped, "Port")) << wrapped;
  }
  EXPECT_TRUE(table_row(narrow, 1));

  EXPECT_EQ(sql_text(store_path(), "SELECT sql FROM sqlite_master WHERE name = 'narrowmap'"),
            "CREATE TABLE \"narrowmap\" (inst INTEGER PRIMARY KEY CHECK (inst BETWEEN 1 AND 255), "
            "\"Port\" TEXT, extra TEXT NOT NULL DEFAULT '')");
}

TEST(RowKeyText, ParsesOnlyCanonicalNumbersWithinThirtyTwoBits) {
  const struct {
    const char *text;
    std::optional<RowKey> key;
  } cases[] = {
      {"1", 1},
      {"4294967295", 4294967295u},
      {"258/1", row_key(258, 1)},
      {"4294967295/4294967295", row_key(4294967295u, 4294967295u)},
      {"4294967296", std::nullopt},
      {"4294967297", std::nullopt},
      {"01", std::nullopt},
      {"-1", std::nullopt},
      {"+1", std::nullopt},
      {"1x", std::nullopt},
      {" 1", std::nullopt},
      {"", std::nullopt},
      {"0/1", std::nullopt},
      {"1/", std::nullopt},
      {"/1", std::nullopt},
      {"1/2/3", std::nullopt},
      {"99999999999999999999999999999999999999999999999999", std::nullopt},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(parse_key_text(c.text), c.key) << c.text;
    if (c.key) {
      EXPECT_EQ(key_text(*c.key), c.text);
    }
  }
}

}  // namespace
}  // namespace igd1::mib::test
