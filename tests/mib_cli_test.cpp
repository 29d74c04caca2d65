// igd1-mib, run as a separate program on a temporary database.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "mib_store.h"

namespace mib = igd1::mib;

namespace {

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs igd1-mib with `args` (no shell); `extra_env` entries are "NAME=value".
Result run_cli(const std::vector<std::string> &args, const std::vector<std::string> &extra_env = {}) {
  std::vector<std::string> argv_text{IGD1_BUILD_DIR "/igd1-mib"};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);

  gchar **envp = g_get_environ();
  envp = g_environ_unsetenv(envp, "IGD1_ROOT");
  envp = g_environ_unsetenv(envp, "IGD1_MIB_FAIL");
  for (const std::string &entry : extra_env) {
    size_t equals = entry.find('=');
    envp = g_environ_setenv(envp, entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), TRUE);
  }

  Result result;
  gchar *out = nullptr;
  gchar *err = nullptr;
  gint wait_status = 0;
  GError *error = nullptr;
  gboolean spawned = g_spawn_sync(nullptr, argv.data(), envp, G_SPAWN_DEFAULT, nullptr, nullptr, &out,
                                  &err, &wait_status, &error);
  g_strfreev(envp);
  EXPECT_TRUE(spawned) << (error != nullptr ? error->message : "");
  if (error != nullptr) g_error_free(error);
  if (spawned && WIFEXITED(wait_status)) result.status = WEXITSTATUS(wait_status);
  result.out = out != nullptr ? out : "";
  result.err = err != nullptr ? err : "";
  g_free(out);
  g_free(err);
  return result;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GError *error = nullptr;
    gchar *dir = g_dir_make_tmp("igd1-mib-cli-XXXXXX", &error);
    ASSERT_NE(dir, nullptr) << (error != nullptr ? error->message : "");
    dir_ = dir;
    g_free(dir);
    store_ = dir_ + "/mib.db";
  }
  void TearDown() override {
    mib::close_store();
    mib::clear_failures();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  Result cli(std::vector<std::string> args) {
    args.insert(args.begin(), {"--store", store_});
    return run_cli(args);
  }

  std::string dir_;
  std::string store_;
};

TEST_F(CliTest, GetPrintsTheValueAloneAndCreatesTheStore) {
  Result got = cli({"get", "lan.IPAddress"});
  EXPECT_EQ(got.status, 0) << got.err;
  EXPECT_EQ(got.out, "192.168.1.1\n");
  EXPECT_TRUE(std::filesystem::exists(store_));

  Result missing = cli({"get", "lan.NoSuch"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_NE(missing.err.find("lan.NoSuch"), std::string::npos);
}

TEST_F(CliTest, SetChecksNamesAndValues) {
  Result set = cli({"set", "lan.IPAddress", "10.0.0.1"});
  EXPECT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(cli({"get", "lan.IPAddress"}).out, "10.0.0.1\n");

  Result refused = cli({"set", "lan.IPAddress", "192.168.1.300"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(cli({"get", "lan.IPAddress"}).out, "10.0.0.1\n");

  Result typo = cli({"set", "lan.IPAdress", "10.0.0.2"});
  EXPECT_EQ(typo.status, 1);
  EXPECT_EQ(cli({"get", "lan.IPAdress"}).status, 1);

  // Stored in canonical form.
  EXPECT_EQ(cli({"set", "device.MAC", "A4:3E:51:0C:22:FF"}).status, 0);
  EXPECT_EQ(cli({"get", "device.MAC"}).out, "a4:3e:51:0c:22:ff\n");
  EXPECT_EQ(cli({"set", "pon.SupportPONStatusQuery", "false"}).status, 0);
  EXPECT_EQ(cli({"get", "pon.SupportPONStatusQuery"}).out, "0\n");

  // A value that looks like an option after the command is a value.
  EXPECT_EQ(cli({"set", "dbusproxy.DebugLevel", "-1"}).status, 1);
  EXPECT_EQ(cli({"get", "dbusproxy.DebugLevel"}).out, "2\n");
}

TEST_F(CliTest, BadCommandLinesExitWithUsage) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"get"},
      {"set", "lan.IPAddress"},
      {"dump", "extra"},
      {"--bogus", "dump"},
      {"--store"},
  };
  for (const std::vector<std::string> &args : bad) {
    Result result = run_cli(args);
    EXPECT_EQ(result.status, 2) << (args.empty() ? "(none)" : args[0]);
    EXPECT_NE(result.err.find("usage:"), std::string::npos);
  }
  Result help = run_cli({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: igd1-mib", 0), 0u);
}

TEST_F(CliTest, DefaultStoreLivesBelowTheRoot) {
  std::filesystem::create_directories(dir_ + "/var/lib/igd1");
  Result set = run_cli({"set", "lan.SubnetMask", "255.255.0.0"}, {"IGD1_ROOT=" + dir_});
  ASSERT_EQ(set.status, 0) << set.err;
  ASSERT_TRUE(mib::open_store(dir_ + "/var/lib/igd1/mib.db"));
  EXPECT_EQ(mib::get_setting("lan.SubnetMask"), "255.255.0.0");
}

TEST_F(CliTest, WritesWhileAnotherProcessHoldsTheStore) {
  ASSERT_TRUE(mib::open_store(store_));
  ASSERT_TRUE(mib::set_setting("lan.IPAddress", "10.9.9.9"));
  EXPECT_EQ(cli({"get", "lan.IPAddress"}).out, "10.9.9.9\n");
  ASSERT_EQ(cli({"set", "lan.IPAddress", "10.8.8.8"}).status, 0);
  EXPECT_EQ(mib::get_setting("lan.IPAddress"), "10.8.8.8");
}

const mib::Column kFwdColumns[] = {
    {"ExternalPort", mib::ValueKind::U16, 2, 2},
    {"InternalClient", mib::ValueKind::IPv4, 4, 4},
};
const mib::TableDef kFwdTable{"clifwd", "CliFwd", 12, kFwdColumns, 2, 8};

TEST_F(CliTest, TableCellsAndDump) {
  ASSERT_TRUE(mib::open_store(store_));
  ASSERT_TRUE(mib::register_table(kFwdTable));
  std::vector<uint8_t> row(12, 0);
  uint16_t port = 8080;
  std::memcpy(&row[2], &port, 2);
  ASSERT_TRUE(mib::parse_value(mib::ValueKind::IPv4, "192.168.1.10", &row[4], 4));
  row[11] = 0x5a;
  ASSERT_TRUE(mib::table_insert(kFwdTable, row.data()));
  mib::journal_append(0x8, 1, "a\tb");
  mib::close_store();

  EXPECT_EQ(cli({"get", "clifwd[1].InternalClient"}).out, "192.168.1.10\n");
  EXPECT_EQ(cli({"get", "clifwd[2].InternalClient"}).status, 1);
  EXPECT_EQ(cli({"get", "clifwd[x].InternalClient"}).status, 1);
  EXPECT_EQ(cli({"set", "clifwd[1].ExternalPort", "70000"}).status, 1);
  ASSERT_EQ(cli({"set", "clifwd[1].ExternalPort", "9090"}).status, 0);

  Result dump = cli({"dump"});
  ASSERT_EQ(dump.status, 0) << dump.err;
  std::vector<std::string> lines = lines_of(dump.out);
  auto has = [&](const std::string &line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  EXPECT_TRUE(has("lan.IPAddress=192.168.1.1"));
  EXPECT_TRUE(has("clifwd[1].ExternalPort=9090"));
  EXPECT_TRUE(has("clifwd[1].InternalClient=192.168.1.10"));
  EXPECT_TRUE(has("clifwd[1].extra=000000005a"));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "journal.entries=1");

  ASSERT_TRUE(mib::open_store(store_));
  std::optional<std::vector<uint8_t>> stored = mib::table_row(kFwdTable, 1);
  ASSERT_TRUE(stored);
  std::memcpy(&port, &(*stored)[2], 2);
  EXPECT_EQ(port, 9090);
  EXPECT_EQ((*stored)[11], 0x5a);
}

TEST_F(CliTest, JournalListsOneTabSeparatedLinePerEntry) {
  ASSERT_TRUE(mib::open_store(store_));
  mib::journal_append(0x8, 1, "pool=lan");
  mib::journal_append(0x200, -1, "line\nbreak");
  mib::close_store();

  Result listed = cli({"journal"});
  ASSERT_EQ(listed.status, 0) << listed.err;
  std::vector<std::string> lines = lines_of(listed.out);
  ASSERT_EQ(lines.size(), 2u);
  const std::regex form(R"((\d+)\t\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\t(0x[0-9a-f]+)\t(-?\d+)\t(.*))");
  std::smatch first;
  ASSERT_TRUE(std::regex_match(lines[0], first, form)) << lines[0];
  EXPECT_EQ(first[2], "0x8");
  EXPECT_EQ(first[3], "1");
  EXPECT_EQ(first[4], "pool=lan");
  std::smatch second;
  ASSERT_TRUE(std::regex_match(lines[1], second, form)) << lines[1];
  EXPECT_EQ(second[2], "0x200");
  EXPECT_EQ(second[3], "-1");
  EXPECT_EQ(second[4], "line\\nbreak");
  EXPECT_LT(std::stoll(first[1]), std::stoll(second[1]));
}

}  // namespace
