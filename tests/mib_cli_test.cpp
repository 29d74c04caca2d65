// igd1-mib, run as a separate program on a temporary database.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "mib_store.h"

namespace mib = igd1::mib;

namespace {

struct Result {
  int status = -1;
  std::string out, err;
};

// Runs igd1-mib with `args` (no shell), optionally with IGD1_ROOT set.
Result run_cli(std::vector<std::string> args, const std::string &root = "") {
  args.insert(args.begin(), IGD1_BUILD_DIR "/igd1-mib");
  std::vector<char *> argv;
  for (std::string &arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  g_auto(GStrv) envp = g_environ_unsetenv(g_get_environ(), "IGD1_MIB_FAIL");
  envp = root.empty() ? g_environ_unsetenv(envp, "IGD1_ROOT")
                      : g_environ_setenv(envp, "IGD1_ROOT", root.c_str(), TRUE);
  g_autofree gchar *out = nullptr, *err = nullptr;
  gint wait_status = 0;
  EXPECT_TRUE(g_spawn_sync(nullptr, argv.data(), envp, G_SPAWN_DEFAULT, nullptr, nullptr, &out,
                           &err, &wait_status, nullptr));
  return {WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1, out != nullptr ? out : "",
          err != nullptr ? err : ""};
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_autofree gchar *dir = g_dir_make_tmp("igd1-mib-cli-XXXXXX", nullptr);
    ASSERT_NE(dir, nullptr);
    dir_ = dir;
    store_ = dir_ + "/mib.db";
  }
  void TearDown() override {
    mib::close_store();
    std::filesystem::remove_all(dir_);
  }
  Result cli(std::vector<std::string> args) {
    args.insert(args.begin(), {"--store", store_});
    return run_cli(args);
  }

  std::string dir_;
  std::string store_;
};

TEST_F(CliTest, GetAndSetExitCodes) {
  EXPECT_EQ(cli({"set", "lan.IPAddress", "10.0.0.1"}).status, 0);
  EXPECT_TRUE(std::filesystem::exists(store_));
  // A value that looks like an option after the command is a value.
  EXPECT_EQ(cli({"set", "lan.IPAddress", "192.168.1.300"}).status, 1);
  EXPECT_EQ(cli({"set", "dbusproxy.DebugLevel", "-1"}).status, 1);
  EXPECT_EQ(cli({"get", "lan.IPAddress"}).out, "10.0.0.1\n");

  Result missing = cli({"get", "lan.IPAdress"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_NE(missing.err.find("lan.IPAdress"), std::string::npos);
}

TEST_F(CliTest, BadCommandLinesExitWithUsage) {
  const std::vector<std::string> bad[] = {{},           {"frobnicate"},       {"get"},    {"set", "x"},
                                          {"dump", "x"}, {"--bogus", "dump"}, {"--store"}};
  for (const std::vector<std::string> &args : bad) {
    Result result = run_cli(args);
    EXPECT_EQ(result.status, 2) << (args.empty() ? "(none)" : args[0]);
    EXPECT_NE(result.err.find("usage:"), std::string::npos);
  }
  Result help = run_cli({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: igd1-mib", 0), 0u);
}

TEST_F(CliTest, DefaultStoreLivesBelowTheRootAndIsSharedWithAnOpenProcess) {
  std::filesystem::create_directories(dir_ + "/var/lib/igd1");
  ASSERT_TRUE(mib::open_store(dir_ + "/var/lib/igd1/mib.db"));
  ASSERT_TRUE(mib::set_setting("lan.IPAddress", "10.9.9.9"));
  EXPECT_EQ(run_cli({"get", "lan.IPAddress"}, dir_).out, "10.9.9.9\n");
  ASSERT_EQ(run_cli({"set", "lan.SubnetMask", "255.255.0.0"}, dir_).status, 0);
  EXPECT_EQ(mib::get_setting("lan.SubnetMask"), "255.255.0.0");
}

const mib::Column kFwdColumns[] = {{"ExternalPort", mib::ValueKind::U16, 2, 2}};
const mib::TableDef kFwdTable{"clifwd", "CliFwd", 8, kFwdColumns, 1, 8};

TEST_F(CliTest, TableCellsDumpAndJournal) {
  ASSERT_TRUE(mib::open_store(store_));
  ASSERT_TRUE(mib::register_table(kFwdTable));
  std::vector<uint8_t> row(8, 0);
  row[7] = 0x5a;
  ASSERT_TRUE(mib::table_insert(kFwdTable, row.data()));
  ASSERT_TRUE(mib::set_setting("aaa.Multi", "two\nlines\\"));
  mib::journal_append(0x8, 1, "pool=lan");
  mib::journal_append(0x200, -1, "line\nbreak");
  mib::close_store();

  EXPECT_EQ(cli({"get", "clifwd[2].ExternalPort"}).status, 1);
  EXPECT_EQ(cli({"get", "clifwd[x].ExternalPort"}).status, 1);
  EXPECT_EQ(cli({"set", "clifwd[1].ExternalPort", "70000"}).status, 1);
  ASSERT_EQ(cli({"set", "clifwd[1].ExternalPort", "9090"}).status, 0);
  Result dump = cli({"dump"});
  ASSERT_EQ(dump.status, 0) << dump.err;
  // Sorted, one line per value, the journal count last.
  EXPECT_EQ(dump.out.rfind("aaa.Multi=two\\nlines\\\\\n", 0), 0u) << dump.out;
  EXPECT_NE(dump.out.find("\nclifwd[1].ExternalPort=9090\n"), std::string::npos);
  EXPECT_TRUE(dump.out.ends_with("\nclifwd[1].extra=000000005a\njournal.entries=2\n")) << dump.out;

  // One line per notice: sequence, time, bit, action, data (escaped).
  Result listed = cli({"journal"});
  ASSERT_EQ(listed.status, 0) << listed.err;
  const std::regex form(R"((\d+)\t\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\t0x8\t1\tpool=lan\n)"
                        R"((\d+)\t\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\t0x200\t-1\tline\\nbreak\n)");
  std::smatch seq;
  ASSERT_TRUE(std::regex_match(listed.out, seq, form)) << listed.out;
  EXPECT_LT(std::stoll(seq[1]), std::stoll(seq[2]));
}

}  // namespace
