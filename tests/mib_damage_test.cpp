// A damaged database file: refused with a reason, or replaced by the last
// good copy the store keeps, with the damaged file kept aside and a log line.

#include <cstdio>
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

}  // namespace
}  // namespace igd1::mib::test
