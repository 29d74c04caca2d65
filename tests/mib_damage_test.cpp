// A damaged, emptied or lost database file: refused with a reason, or
// replaced by the last good copy the store keeps, with the damaged file kept
// aside and a log line.  A full disk is no damage.  The copy follows the
// store; the journal of notices stays bounded.

#include <cerrno>
#include <cstdio>
#include <thread>
#include <vector>

#include "store_fixture.h"

namespace igd1::mib::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> g_logged;
void remember(const char *message) { g_logged.emplace_back(message); }

class DamageTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    g_logged.clear();
    set_store_logger(remember);
    ASSERT_TRUE(set_setting("test.kept", "before"));
    for (int i = 0; i < 300; ++i) journal_append(0x10, i, "a notice long enough to fill pages");
    // The last good copy is taken after the first checkpoint of an open.
    ASSERT_TRUE(reopen());
    ASSERT_TRUE(wait_for_checkpoints(std::chrono::seconds(10)));
    close_store();
    database_ = dir_ + "/mib.db";
  }
  void TearDown() override {
    set_store_logger(nullptr);
    StoreTest::TearDown();
  }
  static bool logged(const std::string &text) {
    for (const std::string &line : g_logged)
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
  std::string database_;
};

TEST_F(DamageTest, DamagedStoreIsRefusedWithItsReasonUnlessAGoodCopyTakesItsPlace) {
  ASSERT_TRUE(fs::exists(database_ + ".good"));
  damage_table(database_, "journal");

  std::string error;
  EXPECT_FALSE(open_store(database_, &error));
  EXPECT_NE(error.find("the store is damaged"), std::string::npos) << error;
  EXPECT_TRUE(logged("refusing to use it"));
  EXPECT_FALSE(store_is_open());

  ASSERT_TRUE(open_store(database_, &error, DamagedStore::UseLastGoodCopy)) << error;
  EXPECT_TRUE(logged("continuing with the last good copy"));
  EXPECT_TRUE(fs::exists(database_ + ".damaged"));
  EXPECT_TRUE(check_integrity());
  EXPECT_EQ(setting("test.kept"), "before");
  EXPECT_EQ(journal().size(), 300u);
  EXPECT_TRUE(set_setting("test.kept", "after"));
}

TEST_F(DamageTest, WithoutAUsableCopyTheDamagedStoreIsRefusedEvenWhenACopyIsWelcome) {
  fs::remove(database_ + ".good");
  damage_table(database_, "journal");
  std::string error;
  EXPECT_FALSE(open_store(database_, &error, DamagedStore::UseLastGoodCopy));
  EXPECT_NE(error.find("there is no last good copy"), std::string::npos) << error;

  // A damaged copy is no better.
  fs::copy_file(database_, database_ + ".good");
  EXPECT_FALSE(open_store(database_, &error, DamagedStore::UseLastGoodCopy));
  EXPECT_NE(error.find("is damaged too"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(database_ + ".damaged"));
}


// A disk without room, as SQLite meets it: while armed, every write fails
// with ENOSPC (SQLITE_FULL), and so does the growth of the shared-memory
// index, which a first read of a closed store needs.
class FullDisk {
 public:
  FullDisk() {
    base_ = sqlite3_vfs_find(nullptr);
    vfs_ = *base_;
    vfs_.zName = "igd1-full-disk";
    vfs_.szOsFile = static_cast<int>(sizeof(File)) + base_->szOsFile;
    vfs_.xOpen = open;
    sqlite3_vfs_register(&vfs_, 1);
  }
  ~FullDisk() {
    sqlite3_vfs_unregister(&vfs_);
    sqlite3_vfs_register(base_, 1);
    armed_ = false;
  }
  void fill() { armed_ = true; }
  void free_space() { armed_ = false; }

 private:
  // Static: a connection opened through this file system may outlive the
  // object that registered it.
  static inline sqlite3_vfs *base_ = nullptr;
  static inline std::atomic<bool> armed_{false};
  static inline sqlite3_vfs vfs_{};

  struct File {
    sqlite3_file file;
    sqlite3_file *real;
  };
  static sqlite3_file *real(sqlite3_file *file) { return reinterpret_cast<File *>(file)->real; }
  static const sqlite3_io_methods *methods(sqlite3_file *file) { return real(file)->pMethods; }

  static int open(sqlite3_vfs *, const char *name, sqlite3_file *file, int flags, int *out_flags) {
    auto *wrapped = reinterpret_cast<File *>(file);
    wrapped->real = reinterpret_cast<sqlite3_file *>(wrapped + 1);
    int rc = base_->xOpen(base_, name, wrapped->real, flags, out_flags);
    wrapped->file.pMethods = wrapped->real->pMethods != nullptr ? &kMethods : nullptr;
    return rc;
  }

  static constexpr sqlite3_io_methods kMethods = {
      .iVersion = 3,
      .xClose = [](sqlite3_file *f) { return methods(f)->xClose(real(f)); },
      .xRead = [](sqlite3_file *f, void *b, int n, sqlite3_int64 o) {
        return methods(f)->xRead(real(f), b, n, o);
      },
      .xWrite = [](sqlite3_file *f, const void *b, int n, sqlite3_int64 o) {
        if (!armed_) return methods(f)->xWrite(real(f), b, n, o);
        errno = ENOSPC;
        return SQLITE_FULL;
      },
      .xTruncate = [](sqlite3_file *f, sqlite3_int64 n) { return methods(f)->xTruncate(real(f), n); },
      .xSync = [](sqlite3_file *f, int flags) { return methods(f)->xSync(real(f), flags); },
      .xFileSize = [](sqlite3_file *f, sqlite3_int64 *n) { return methods(f)->xFileSize(real(f), n); },
      .xLock = [](sqlite3_file *f, int l) { return methods(f)->xLock(real(f), l); },
      .xUnlock = [](sqlite3_file *f, int l) { return methods(f)->xUnlock(real(f), l); },
      .xCheckReservedLock = [](sqlite3_file *f, int *r) {
        return methods(f)->xCheckReservedLock(real(f), r);
      },
      .xFileControl = [](sqlite3_file *f, int op, void *a) {
        return methods(f)->xFileControl(real(f), op, a);
      },
      .xSectorSize = [](sqlite3_file *f) { return methods(f)->xSectorSize(real(f)); },
      .xDeviceCharacteristics = [](sqlite3_file *f) {
        return methods(f)->xDeviceCharacteristics(real(f));
      },
      .xShmMap = [](sqlite3_file *f, int page, int size, int extend, void volatile **p) {
        if (!armed_) return methods(f)->xShmMap(real(f), page, size, extend, p);
        errno = ENOSPC;
        return SQLITE_IOERR_SHMSIZE;
      },
      .xShmLock = [](sqlite3_file *f, int o, int n, int flags) {
        return methods(f)->xShmLock(real(f), o, n, flags);
      },
      .xShmBarrier = [](sqlite3_file *f) { methods(f)->xShmBarrier(real(f)); },
      .xShmUnmap = [](sqlite3_file *f, int del) { return methods(f)->xShmUnmap(real(f), del); },
      .xFetch = [](sqlite3_file *f, sqlite3_int64 o, int n, void **p) {
        return methods(f)->xFetch(real(f), o, n, p);
      },
      .xUnfetch = [](sqlite3_file *f, sqlite3_int64 o, void *p) {
        return methods(f)->xUnfetch(real(f), o, p);
      },
  };

};

TEST_F(DamageTest, FullDiskAtStartIsReportedAsSuchAndLeavesStoreAndCopyAsTheyAre) {
  const auto store_before = fs::file_size(database_);
  FullDisk disk;
  disk.fill();
  std::string error;
  EXPECT_FALSE(open_store(database_, &error, DamagedStore::UseLastGoodCopy));
  EXPECT_NE(error.find("no space left on the device"), std::string::npos) << error;
  EXPECT_EQ(error.find("damaged"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(database_ + ".damaged"));
  EXPECT_EQ(fs::file_size(database_), store_before);

  disk.free_space();
  ASSERT_TRUE(open_store(database_, &error, DamagedStore::UseLastGoodCopy)) << error;
  EXPECT_EQ(setting("test.kept"), "before");
  EXPECT_FALSE(logged("continuing with the last good copy"));
}

TEST_F(DamageTest, FullDiskAtTheFirstStartLeavesNoFileThatALaterStartTakesForAStore) {
  const std::string fresh = dir_ + "/fresh.db";
  {
    FullDisk disk;
    disk.fill();
    std::string error;
    EXPECT_FALSE(open_store(fresh, &error));
    EXPECT_NE(error.find("no space left on the device"), std::string::npos) << error;
  }
  EXPECT_FALSE(fs::exists(fresh));
  std::string error;
  ASSERT_TRUE(open_store(fresh, &error)) << error;
  EXPECT_EQ(setting("test.kept"), "<missing>");
}

// Reads the last good copy without leaving files beside it.
std::string copied_setting(const std::string &copy, const std::string &name) {
  return sql_text("file:" + copy + "?immutable=1",
                  "SELECT value FROM settings WHERE name = '" + name + "'");
}

// The copy is refreshed within a second or so (kept as a figure): a test
// on a loaded machine can only require that it follows, also while a
// stream of writes never pauses.
TEST_F(DamageTest, LastGoodCopyFollowsTheStoreEvenWhileWritesGoOn) {
  ASSERT_TRUE(reopen());
  ASSERT_TRUE(wait_for_checkpoints(kPatience));
  const std::string copy = database_ + ".good";
  using Clock = std::chrono::steady_clock;
  // One write, then nothing.
  ASSERT_TRUE(set_setting("test.kept", "single"));
  EXPECT_TRUE(eventually([&] { return copied_setting(copy, "test.kept") == "single"; }));

  // A stream of writes that goes on until the copy holds one of them.
  std::vector<Clock::time_point> written;
  std::string held = "single";
  const auto give_up = Clock::now() + kPatience;
  while (held == "single" && Clock::now() < give_up) {
    ASSERT_TRUE(set_setting("test.kept", std::to_string(written.size())));
    written.push_back(Clock::now());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    held = copied_setting(copy, "test.kept");
  }
  ASSERT_NE(held, "single") << "the copy did not follow the stream";
  ASSERT_NE(held, "<none>");
  const size_t index = std::stoul(held);
  ASSERT_LT(index, written.size());
  RecordProperty("copy_behind_stream_start_ms",
                 int(std::chrono::duration_cast<std::chrono::milliseconds>(written[index] - written[0]).count()));
}

TEST_F(DamageTest, EmptiedStoreIsDamagedAndNeverReplacesTheGoodCopy) {
  fs::resize_file(database_, 0);
  std::string error;
  EXPECT_FALSE(open_store(database_, &error));
  EXPECT_NE(error.find("lacks the store's schema"), std::string::npos) << error;
  EXPECT_EQ(copied_setting(database_ + ".good", "test.kept"), "before");

  ASSERT_TRUE(open_store(database_, &error, DamagedStore::UseLastGoodCopy)) << error;
  EXPECT_EQ(setting("test.kept"), "before");
  EXPECT_TRUE(fs::exists(database_ + ".damaged"));
  EXPECT_EQ(fs::file_size(database_ + ".damaged"), 0u);
}

TEST_F(DamageTest, MissingStoreBesideItsCopyIsLostNotNew) {
  fs::remove(database_);
  std::string error;
  EXPECT_FALSE(open_store(database_, &error));
  EXPECT_NE(error.find("the store is missing"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(database_));

  ASSERT_TRUE(open_store(database_, &error, DamagedStore::UseLastGoodCopy)) << error;
  EXPECT_TRUE(logged("the store is missing; continuing with the last good copy"));
  EXPECT_EQ(setting("test.kept"), "before");
}

TEST_F(StoreTest, JournalKeepsTheNewestNoticesAndGoesOnCounting) {
  const int64_t written = kJournalKept + 50;
  for (int64_t i = 1; i <= written; ++i) journal_append(0x10, static_cast<int>(i), "");
  std::vector<JournalEntry> kept = journal();
  ASSERT_EQ(kept.size(), static_cast<size_t>(kJournalKept));
  EXPECT_EQ(kept.front().action, 51);
  EXPECT_EQ(kept.back().action, written);
  const int64_t last_seq = kept.back().seq;

  ASSERT_TRUE(reopen());
  journal_append(0x10, 0, "after");
  // A long notice keeps its start and says how much it left out; a cut
  // never splits a character.
  journal_append(0x10, 1, std::string(kJournalDataKept - 1, 'a') + "\u00e9" + std::string(100, 'b'));
  kept = journal(last_seq);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].data, "after");
  EXPECT_EQ(kept[1].data, std::string(kJournalDataKept - 1, 'a') + " ... (102 more bytes)");
  EXPECT_EQ(journal().size(), static_cast<size_t>(kJournalKept));
}

}  // namespace
}  // namespace igd1::mib::test
