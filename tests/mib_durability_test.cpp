// The write-ahead log and the last good copy of the store: the log stays
// bounded under a long stream of writes and shrinks once they pause; the
// copy is a whole database.

#include <algorithm>
#include <cstring>
#include <vector>

#include "mib_api.h"
#include "store_fixture.h"

namespace igd1::mib::test {
namespace {

namespace fs = std::filesystem;

// What the log may reach while writes never pause, whenever the checkpoint
// thread gets the processor: a writer waits while the log is full (5120
// pages of 4 KiB with their frame headers), so only the writes under way at
// that moment come on top.  Without the log starting over, the writes below
// would fill several times that.  Once writes pause, the log is cut back.
constexpr uintmax_t kWalBoundDuringWrites = 22u << 20;
constexpr uintmax_t kWalBoundAfterPause = 1u << 20;
constexpr int kWrites = 10000;

uintmax_t file_size_or_zero(const std::string &file) {
  std::error_code ec;
  uintmax_t size = fs::file_size(file, ec);
  return ec ? 0 : size;
}

// Lets the checkpoint thread fold in the whole log; the next writer then
// starts the log over and cuts the file back.
void pause_writes() {
  ASSERT_TRUE(wait_for_checkpoints(kPatience));
  schedule_checkpoint();
  ASSERT_TRUE(wait_for_checkpoints(kPatience));
}

TEST_F(StoreTest, WriteAheadLogStaysBoundedOverTenThousandWritesAndShrinksAfter) {
  const std::string wal = store_path() + "-wal";
  std::vector<uint8_t> row(PORTMAPPING_ROW_SIZE, 0);
  ASSERT_EQ(portmapping_insert_entry(row.data()), 1);
  // A write finds the log full when the checkpoint thread has not had the
  // processor for a while (a loaded machine): it is refused as busy, and
  // goes through once the thread has started the log over.
  uintmax_t largest = 0;
  int notices = 0, refused = 0;
  for (int i = 1; i <= kWrites; ++i) {
    auto write = [&] {
      if (i % 2 == 0) return set_setting("test.counter", std::to_string(i));
      uint16_t port = static_cast<uint16_t>(i);
      std::memcpy(row.data() + 12, &port, sizeof port);
      return dbus_mib_update_cfg(MIB_CFG_PORTMAPPING, row.data(), 0) == 1;
    };
    bool written = write();
    if (!written) {
      ++refused;
      pause_writes();
      written = write();
    }
    ASSERT_TRUE(written) << "write " << i << " refused with the log started over";
    notices += i % 2;
    largest = std::max(largest, file_size_or_zero(wal));
  }
  RecordProperty("largest_wal_bytes", std::to_string(largest));
  RecordProperty("writes_refused_at_a_full_log", std::to_string(refused));
  EXPECT_LE(largest, kWalBoundDuringWrites);

  pause_writes();
  ASSERT_TRUE(set_setting("test.counter", "done"));
  EXPECT_LE(file_size_or_zero(wal), kWalBoundAfterPause);
  ASSERT_TRUE(wait_for_checkpoints(kPatience));

  // Everything is in the database file and the last good copy is whole.
  close_store();
  EXPECT_EQ(sql_text(dir_ + "/mib.db.good", "PRAGMA quick_check"), "ok");
  ASSERT_TRUE(reopen());
  EXPECT_EQ(setting("test.counter"), "done");
  EXPECT_EQ(journal().size(), std::min<size_t>(notices, kJournalKept));
}

}  // namespace
}  // namespace igd1::mib::test
