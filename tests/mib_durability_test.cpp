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

// What the log may reach while writes never pause (512 pages of 4 KiB before
// a restart is forced, plus what is written until the checkpoint thread gets
// to it on a loaded machine: 4 to 13 MiB measured), and what it is cut back
// to once they do.
constexpr uintmax_t kWalBoundDuringWrites = 16u << 20;
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
  ASSERT_TRUE(wait_for_checkpoints(std::chrono::seconds(10)));
  schedule_checkpoint();
  ASSERT_TRUE(wait_for_checkpoints(std::chrono::seconds(10)));
}

TEST_F(StoreTest, WriteAheadLogStaysBoundedOverTenThousandWritesAndShrinksAfter) {
  const std::string wal = store_path() + "-wal";
  std::vector<uint8_t> row(PORTMAPPING_ROW_SIZE, 0);
  ASSERT_EQ(portmapping_insert_entry(row.data()), 1);
  // How far the log grows under a stream of writes depends on how soon the
  // checkpoint thread gets the processor.  A machine busy with other work
  // can hold it off long enough to pass the bound (or to fill the log, and
  // have a write refused as busy) in one stream; a store that does not keep
  // the log bounded passes it in every stream.  So up to three streams are
  // written, each after a pause that lets the thread catch up.
  uintmax_t largest = 0;
  int notices = 0;
  for (int stream = 0; stream < 3 && (stream == 0 || largest > kWalBoundDuringWrites); ++stream) {
    if (stream > 0) pause_writes();
    largest = 0;
    for (int i = 1; i <= kWrites; ++i) {
      bool written = true;
      if (i % 2 == 0) {
        written = set_setting("test.counter", std::to_string(i));
      } else {
        uint16_t port = static_cast<uint16_t>(i);
        std::memcpy(row.data() + 12, &port, sizeof port);
        written = dbus_mib_update_cfg(MIB_CFG_PORTMAPPING, row.data(), 0) == 1;
        notices += written;
      }
      if (i % 50 == 0) largest = std::max(largest, file_size_or_zero(wal));
      if (!written) {
        largest = std::max<uintmax_t>(largest, kWalBoundDuringWrites + 1);
        break;
      }
    }
    RecordProperty("largest_wal_bytes_" + std::to_string(stream), std::to_string(largest));
  }
  EXPECT_LE(largest, kWalBoundDuringWrites) << "or a write was refused, in each of three streams";

  pause_writes();
  ASSERT_TRUE(set_setting("test.counter", "done"));
  EXPECT_LE(file_size_or_zero(wal), kWalBoundAfterPause);
  ASSERT_TRUE(wait_for_checkpoints(std::chrono::seconds(10)));

  // Everything is in the database file and the last good copy is whole.
  close_store();
  EXPECT_EQ(sql_text(dir_ + "/mib.db.good", "PRAGMA quick_check"), "ok");
  ASSERT_TRUE(reopen());
  EXPECT_EQ(setting("test.counter"), "done");
  EXPECT_EQ(journal().size(), std::min<size_t>(notices, kJournalKept));
}

}  // namespace
}  // namespace igd1::mib::test
