// Records of about a megabyte in the configuration store, and rows that an
// earlier version wrote with their kept bytes as hexadecimal text.

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "mib_rowlist.h"
#include "store_fixture.h"

namespace igd1::mib::test {
namespace {

using K = ValueKind;

// inst | Enable | three lists of 327,713 bytes | 64 KiB kept verbatim | Port
constexpr size_t kListSize = 327713;
constexpr size_t kListsOffset = 4;
constexpr size_t kKeptOffset = kListsOffset + 3 * kListSize;
constexpr size_t kKeptSize = 64 * 1024;
constexpr size_t kPortOffset = kKeptOffset + kKeptSize;
constexpr size_t kRowSize = kPortOffset + 4;

constexpr Column kColumns[] = {
    {"Enable", K::U8, 1, 1},
    {"Domains", K::Text, kListsOffset, kListSize},
    {"Ips", K::Text, kListsOffset + kListSize, kListSize},
    {"Macs", K::Text, kListsOffset + 2 * kListSize, kListSize},
    {"Port", K::U32, kPortOffset, 4},
};
constexpr TableDef kBigTable = {
    .name = "bigrows", .module = nullptr, .row_size = kRowSize, .columns = kColumns,
    .column_count = std::size(kColumns), .max_rows = 4};

// Lists filled to the last byte before their terminators; kept bytes of
// every value, zero included.
std::vector<uint8_t> big_record(unsigned seed) {
  std::vector<uint8_t> row(kRowSize, 0);
  for (size_t list = 0; list < 3; ++list) {
    uint8_t *text = &row[kListsOffset + list * kListSize];
    for (size_t i = 0; i + 1 < kListSize; ++i) text[i] = static_cast<uint8_t>('a' + (i * 7 + list + seed) % 26);
  }
  for (size_t i = 0; i < kKeptSize; ++i) row[kKeptOffset + i] = static_cast<uint8_t>(i * 31 + seed);
  row[2] = 0xff;  // a kept byte between the columns
  return row;
}

TEST_F(StoreTest, MegabyteRecordRoundTripsThroughAnUpdateAndARestart) {
  ASSERT_TRUE(register_table(kBigTable));
  RowList list(*find_table(kBigTable.name));
  std::vector<uint8_t> row = big_record(1);
  ASSERT_TRUE(list.insert(row.data()));
  ASSERT_EQ(row[0], 1);
  EXPECT_EQ(table_row(kBigTable, 1), row);

  // One field changes; every other byte stays.
  row[1] = 1;
  ASSERT_TRUE(list.store(row.data()));
  mib_list_node *node = list.find(1);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(std::memcmp(node->data, row.data(), kRowSize), 0);
  EXPECT_EQ(table_row(kBigTable, 1), row);

  // A second record next to it, with shorter lists.
  std::vector<uint8_t> other = big_record(5);
  std::memset(&other[kListsOffset + 10], 0, kListSize - 10);
  ASSERT_TRUE(list.insert(other.data()));

  close_store();
  ASSERT_TRUE(reopen());
  EXPECT_EQ(table_row(kBigTable, 1), row);
  EXPECT_EQ(table_row(kBigTable, 2), other);
  RowList reread(kBigTable);
  ASSERT_EQ(reread.size(), 2u);
  EXPECT_EQ(std::memcmp(reread.find(2)->data, other.data(), kRowSize), 0);

  // The kept bytes lie in the database as they are, not as text.
  EXPECT_EQ(sql_text(store_path(), "SELECT typeof(extra) || ' ' || length(extra) FROM bigrows WHERE inst = 1"),
            "blob " + std::to_string(kKeptSize + 2));
}

TEST_F(StoreTest, RecordsWithUnterminatedListsAreRefusedWhole) {
  ASSERT_TRUE(register_table(kBigTable));
  std::vector<uint8_t> row = big_record(2);
  ASSERT_TRUE(table_insert(kBigTable, row.data()));
  std::vector<uint8_t> broken = row;
  broken[kListsOffset + kListSize - 1] = 'x';  // no terminator left in the first list
  broken[1] = 1;
  EXPECT_FALSE(table_update(kBigTable, broken.data()));
  EXPECT_EQ(table_row(kBigTable, 1), row);
}

// Frames in the write-ahead log since it last started over, as a second
// connection sees them.
int log_frames(const std::string &file) {
  sqlite3 *db = nullptr;
  int frames = -1;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA wal_checkpoint(PASSIVE)", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
      frames = sqlite3_column_int(stmt, 1);
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return frames;
}

uintmax_t file_size_or_zero(const std::string &file) {
  std::error_code ec;
  uintmax_t size = std::filesystem::file_size(file, ec);
  return ec ? 0 : size;
}

// A changed field costs the pages it lies on, not the record: the row keeps
// its stored size, so the database overwrites it in place.  A list of another
// length rewrites the row; a stream of such writes still keeps the log within
// the bound that holds for small rows.
TEST_F(StoreTest, WritesToMegabyteRecordsCostWhatChangedAndKeepTheLogBounded) {
  ASSERT_TRUE(register_table(kBigTable));
  RowList list(*find_table(kBigTable.name));
  std::vector<uint8_t> row = big_record(3);
  ASSERT_TRUE(list.insert(row.data()));
  const std::string file = store_path();
  for (int attempt = 0; attempt < 3; ++attempt) {
    ASSERT_TRUE(wait_for_checkpoints(std::chrono::seconds(10)));
    row[1] ^= 1;
    ASSERT_TRUE(list.store(row.data()));
    const int frames = log_frames(file);
    if (frames >= 0 && frames <= 8) break;
    // The log starts over only at a write after a complete checkpoint: a
    // checkpoint that was still under way leaves earlier frames in it.
    ASSERT_LT(attempt, 2) << "one changed field wrote " << frames << " pages";
  }

  // The log's cap (5120 pages of 4 KiB and their frame headers) and one
  // record's write beyond it.
  constexpr uintmax_t kWalBound = 5120u * (4096 + 24) + (2u << 20);
  uintmax_t largest = 0;
  int refused = 0;
  std::vector<uint8_t> stored = row;
  for (int i = 0; i < 60; ++i) {
    // A first list of another length: the whole row is written again.
    const size_t length = kListSize - 1 - static_cast<size_t>(i % 5) * 1000;
    std::memset(&row[kListsOffset], 'a' + i % 26, length);
    std::memset(&row[kListsOffset + length], 0, kListSize - length);
    // A write the checkpoint cannot make room for is refused as busy.
    if (list.store(row.data())) {
      stored = row;
    } else {
      ++refused;
    }
    largest = std::max(largest, file_size_or_zero(file + "-wal"));
  }
  RecordProperty("largest_wal_bytes", std::to_string(largest));
  RecordProperty("refused_writes", std::to_string(refused));
  EXPECT_LE(largest, kWalBound);
  EXPECT_LT(refused, 30);
  EXPECT_EQ(table_row(kBigTable, 1), stored);
}

// The table as an earlier version created and wrote it: kept bytes as
// hexadecimal text, in either case, one row without any.
constexpr Column kOldColumns[] = {{"Port", K::U16, 2, 2}};
constexpr TableDef kOldTable = {
    .name = "oldform", .module = nullptr, .row_size = 8, .columns = kOldColumns, .column_count = 1,
    .max_rows = 8};

TEST_F(StoreTest, RowsStoredAsHexadecimalTextReadTheSameAndAreRewrittenAsBlobs) {
  const std::string file = store_path();
  close_store();
  {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE \"oldform\" (inst INTEGER PRIMARY KEY CHECK (inst BETWEEN 1 AND 255), "
                           "\"Port\" TEXT, extra TEXT NOT NULL DEFAULT '');"
                           "INSERT INTO oldform VALUES (1, '80', 'abdeadbeef');"
                           "INSERT INTO oldform VALUES (2, '443', '0102ABCDEF');"
                           "INSERT INTO oldform VALUES (3, '22', '');"
                           "INSERT INTO oldform VALUES (4, '25', '11zz');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  ASSERT_TRUE(register_table(kOldTable));
  ASSERT_TRUE(reopen());
  using Row = std::vector<uint8_t>;
  const Row one{1, 0xab, 80, 0, 0xde, 0xad, 0xbe, 0xef};
  const Row two{2, 0x01, 0xbb, 0x01, 0x02, 0xab, 0xcd, 0xef};
  const Row three{3, 0, 22, 0, 0, 0, 0, 0};
  const Row four{4, 0x11, 25, 0, 0, 0, 0, 0};  // read up to the first bad digit
  EXPECT_EQ(table_rows(kOldTable), (std::vector<Row>{one, two, three, four}));

  Row changed = one;
  changed[2] = 81;
  ASSERT_TRUE(table_update(kOldTable, changed.data()));
  EXPECT_EQ(get_cell("oldform", 1, "extra"), "abdeadbeef");
  EXPECT_EQ(get_cell("oldform", 2, "extra"), "0102ABCDEF");
  close_store();
  EXPECT_EQ(sql_text(file, "SELECT group_concat(typeof(extra), ' ') FROM oldform"), "blob text text text");
  ASSERT_TRUE(reopen());
  EXPECT_EQ(table_rows(kOldTable), (std::vector<Row>{changed, two, three, four}));
}

// Megabyte rows are not kept by the list: a look-up reads the row for the
// calling thread, which holds it until its next call into the table, so
// that another thread's write never changes a node under its reader; the
// list's keys follow inserts and removals of any thread.
TEST_F(StoreTest, MegabyteRowsAreReadForTheCallingThreadAndHeldUntilItsNextCall) {
  ASSERT_TRUE(register_table(kBigTable));
  RowList list(*find_table(kBigTable.name));
  std::vector<uint8_t> first = big_record(4);
  std::vector<uint8_t> second = big_record(6);
  ASSERT_TRUE(list.insert(first.data()));
  ASSERT_TRUE(list.insert(second.data()));
  const void *mine = list.find(1)->data;

  std::vector<uint8_t> changed = first;
  changed[kListsOffset] = 'Z';
  std::thread([&] {
    EXPECT_EQ(std::memcmp(list.find(1)->data, first.data(), kRowSize), 0);
    EXPECT_TRUE(list.store(changed.data()));
  }).join();
  EXPECT_EQ(std::memcmp(mine, first.data(), kRowSize), 0) << "a held node changed under its reader";
  mib_list_node *now = list.find(1);
  ASSERT_NE(now, nullptr);
  EXPECT_EQ(std::memcmp(now->data, changed.data(), kRowSize), 0);
  EXPECT_EQ(now->next, nullptr) << "a look-up hands out its row alone";

  // A walk sees every row in key order; a position names the row there.
  mib_list_node *head = list.head();
  ASSERT_NE(head, nullptr);
  ASSERT_NE(head->next, nullptr);
  EXPECT_EQ(head->next->next, nullptr);
  EXPECT_EQ(head->next->prev, head);
  EXPECT_EQ(std::memcmp(head->data, changed.data(), kRowSize), 0);
  EXPECT_EQ(std::memcmp(head->next->data, second.data(), kRowSize), 0);
  uint32_t position = 0;
  ASSERT_NE(list.find(2, &position), nullptr);
  EXPECT_EQ(position, 1u);
  EXPECT_EQ(std::memcmp(list.at(1)->data, second.data(), kRowSize), 0);

  // A row another thread removes, and one another writer changes without
  // the list, show at the next call.
  std::thread([&] { EXPECT_TRUE(list.remove(1)); }).join();
  std::vector<uint8_t> rewritten = second;
  rewritten[1] = 1;
  ASSERT_TRUE(table_update(kBigTable, rewritten.data()));
  EXPECT_EQ(list.size(), 1u);
  EXPECT_EQ(list.find(1), nullptr);
  ASSERT_NE(list.head(), nullptr);
  EXPECT_EQ(std::memcmp(list.head()->data, rewritten.data(), kRowSize), 0);
  EXPECT_EQ(list.head()->next, nullptr);
}

}  // namespace
}  // namespace igd1::mib::test
