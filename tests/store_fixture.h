// Tests of the configuration store alone: a fresh database in its own
// temporary folder for every test, closed and deleted after it, with no
// injected failure, row listener or root folder left behind.
#pragma once

#include <glib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "mib_store.h"
#include "sys_paths.h"

namespace igd1::mib::test {

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_autofree gchar *dir = g_dir_make_tmp("igd1-mib-XXXXXX", nullptr);
    ASSERT_NE(dir, nullptr);
    dir_ = dir;
    ASSERT_TRUE(reopen());
  }
  void TearDown() override {
    close_store();
    clear_failures();
    set_row_listener(nullptr);
    igd1::set_root_dir("");
    std::filesystem::remove_all(dir_);
  }
  bool reopen(std::string *error = nullptr) { return open_store(dir_ + "/mib.db", error); }
  static std::string setting(const char *name) { return get_setting(name).value_or("<missing>"); }

  std::string dir_;
};

}  // namespace igd1::mib::test
