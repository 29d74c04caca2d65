// igd1-mib, run as a separate program on a temporary database.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "harness/program.h"
#include "mib_store.h"

namespace mib = igd1::mib;

namespace {

using Result = igd1::test::ProgramRun;

// Runs igd1-mib with `args` (no shell), optionally with IGD1_ROOT set.
Result run_cli(std::vector<std::string> args, const std::string &root = "") {
  args.insert(args.begin(), IGD1_BUILD_DIR "/igd1-mib");
  return igd1::test::run_program(args, {{"IGD1_MIB_FAIL", ""}, {"IGD1_ROOT", root}});
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
  // set refuses `value` for `key` with the bus's text and leaves the value
  // as it was; with --force it stores it.
  void expect_refused_unless_forced(const std::string &key, const std::string &value,
                                    const std::string &bus_text) {
    const std::string before = cli({"get", key}).out;
    const Result result = cli({"set", key, value});
    EXPECT_EQ(result.status, 1) << key;
    EXPECT_EQ(result.err, "igd1-mib: refused value '" + value + "' for " + key + ": " + bus_text + "\n");
    EXPECT_EQ(cli({"get", key}).out, before) << key;
    const Result forced = cli({"set", key, value, "--force"});
    EXPECT_EQ(forced.status, 0) << key << forced.err;
    EXPECT_EQ(cli({"get", key}).out, value + "\n") << key;
  }
  void expect_accepted(const std::string &key, const std::string &value) {
    const Result result = cli({"set", key, value});
    EXPECT_EQ(result.status, 0) << key << result.err;
    EXPECT_EQ(cli({"get", key}).out, value + "\n") << key;
  }

  std::string dir_;
  std::string store_;
};

TEST_F(CliTest, GetAndSetExitCodes) {
  // A store that does not exist is refused, and nothing is created, unless
  // --create asks for it.
  Result missing_store = run_cli({"--store", dir_ + "/no/such/mib.db", "get", "lan.IPAddress"});
  EXPECT_EQ(missing_store.status, 1);
  EXPECT_NE(missing_store.err.find("no store at " + dir_ + "/no/such/mib.db"), std::string::npos);
  EXPECT_EQ(cli({"get", "lan.IPAddress"}).status, 1);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/no"));
  EXPECT_FALSE(std::filesystem::exists(store_));
  EXPECT_EQ(run_cli({"--create", "--store", store_, "set", "lan.IPAddress", "10.0.0.1"}).status, 0);
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

// The program's own options may follow the command; other words, values that
// start with '-' included, stay words, and "--" ends the options.
TEST_F(CliTest, OptionsMayFollowTheCommand) {
  ASSERT_EQ(run_cli({"--create", "--store", store_, "get", "lan.IPAddress"}).status, 0);
  const Result before = cli({"--json", "get", "lan.IPAddress"});
  ASSERT_EQ(before.status, 0);
  EXPECT_EQ(cli({"get", "lan.IPAddress", "--json"}).out, before.out);
  EXPECT_EQ(run_cli({"get", "lan.IPAddress", "--store", store_, "--json"}).out, before.out);
  EXPECT_EQ(run_cli({"get", "lan.IPAddress", "--store=" + store_}).status, 0);
  EXPECT_NE(cli({"dump", "--show-secrets"}).out.find("Password"), std::string::npos);
  // Not options of the program: words, refused as values or keys.
  EXPECT_EQ(cli({"set", "dbusproxy.DebugLevel", "-1"}).status, 1);
  EXPECT_EQ(cli({"get", "--", "--json"}).status, 1);
  EXPECT_NE(cli({"get", "--", "--json"}).err.find("'--json'"), std::string::npos);
  // --parent is the add command's word, not an option: it reaches the
  // command, which refuses it for a table without a parent.
  const Result parent = cli({"add", "portmapping", "--parent", "1"});
  EXPECT_EQ(parent.status, 1) << parent.err;
  EXPECT_EQ(cli({"dump", "--bogus"}).status, 2);
}

TEST_F(CliTest, BadCommandLinesExitWithUsage) {
  const std::vector<std::string> bad[] = {{},           {"frobnicate"},       {"get"},    {"set", "x"},
                                          {"dump", "x"}, {"--bogus", "dump"}, {"--store"}};
  for (const std::vector<std::string> &args : bad) {
    Result result = run_cli(args);
    EXPECT_EQ(result.status, 2) << (args.empty() ? "(none)" : args[0]);
    EXPECT_NE(result.err.find("igd1-mib --help"), std::string::npos) << result.err;
  }
  for (const char *help_option : {"--help", "-h"}) {
    Result help = run_cli({help_option});
    EXPECT_EQ(help.status, 0);
    for (const char *listed :
         {"--store", "--create", "--json", "--show-secrets", "--force", "--version", "journal"})
      EXPECT_NE(help.out.find(listed), std::string::npos) << listed;
  }
  Result version = run_cli({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "igd1-mib " IGD1_VERSION "\n");
}

TEST_F(CliTest, DefaultStoreLivesBelowTheRootAndIsSharedWithAnOpenProcess) {
  std::filesystem::create_directories(dir_ + "/var/lib/igd1");
  ASSERT_TRUE(mib::open_store(dir_ + "/var/lib/igd1/mib.db"));
  ASSERT_TRUE(mib::set_setting("lan.IPAddress", "10.9.9.9"));
  EXPECT_EQ(run_cli({"get", "lan.IPAddress"}, dir_).out, "10.9.9.9\n");
  ASSERT_EQ(run_cli({"set", "lan.SubnetMask", "255.255.0.0"}, dir_).status, 0);
  EXPECT_EQ(mib::get_setting("lan.SubnetMask"), "255.255.0.0");
}

// Reading commands open the store for reading only: they answer while
// another process holds the write lock throughout (and see what it
// committed; a reader that waited for the lock would fail), and
// they read a store whose file and folder the user cannot write, leaving
// nothing behind; a write there is refused.  Run as root, the read-only
// store is read as nobody (root writes any file).
TEST_F(CliTest, ReadingTakesNoLockAndWorksOnAReadOnlyStore) {
  ASSERT_TRUE(mib::open_store(store_));
  ASSERT_TRUE(mib::set_setting("lan.IPAddress", "10.0.0.7"));
  ASSERT_TRUE(mib::begin_transaction());
  ASSERT_TRUE(mib::set_setting("lan.IPAddress", "10.0.0.8"));
  EXPECT_EQ(cli({"get", "lan.IPAddress"}).out, "10.0.0.7\n");
  EXPECT_NE(cli({"dump"}).out.find("\nlan.IPAddress=10.0.0.7\n"), std::string::npos);
  EXPECT_EQ(cli({"journal"}).status, 0);
  EXPECT_TRUE(mib::commit_transaction());
  mib::close_store();

  const bool as_root = geteuid() == 0;
  ASSERT_EQ(chmod(store_.c_str(), as_root ? 0644 : 0444), 0);
  ASSERT_EQ(chmod(dir_.c_str(), as_root ? 0755 : 0555), 0);
  const auto before = std::distance(std::filesystem::directory_iterator(dir_), {});
  auto reader = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {IGD1_BUILD_DIR "/igd1-mib", "--store", store_});
    if (as_root) args.insert(args.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    return igd1::test::run_program(args, {{"IGD1_MIB_FAIL", ""}});
  };
  const Result got = reader({"get", "lan.IPAddress"});
  EXPECT_EQ(got.status, 0) << got.err;
  EXPECT_EQ(got.out, "10.0.0.8\n");
  const Result dump = reader({"dump", "--json"});
  EXPECT_EQ(dump.status, 0) << dump.err;
  EXPECT_NE(dump.out.find("\"lan.IPAddress\": \"10.0.0.8\""), std::string::npos);
  EXPECT_EQ(reader({"journal"}).status, 0);
  const Result refused = reader({"set", "lan.IPAddress", "10.0.0.9"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("cannot open the store"), std::string::npos) << refused.err;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), before);
  ASSERT_EQ(chmod(dir_.c_str(), 0700), 0);
  EXPECT_EQ(cli({"get", "lan.IPAddress"}).out, "10.0.0.8\n");
}

// What jq prints for `filter` applied to the output of a run (raw strings).
std::string json_query(const Result &run, const std::string &filter) {
  EXPECT_EQ(run.status, 0) << run.err;
  g_autofree gchar *file = nullptr;
  int fd = g_file_open_tmp("igd1-mib-json-XXXXXX", &file, nullptr);
  EXPECT_GE(fd, 0);
  close(fd);
  EXPECT_TRUE(g_file_set_contents(file, run.out.c_str(), gssize(run.out.size()), nullptr));
  Result jq = igd1::test::run_program({"jq", "-r", filter, file});
  unlink(file);
  EXPECT_EQ(jq.status, 0) << "jq: " << jq.err << "\n" << run.out;
  return jq.out;
}

TEST_F(CliTest, DumpMasksPasswordsUnlessAskedToShowThem) {
  ASSERT_TRUE(mib::open_store(store_));
  ASSERT_TRUE(mib::set_setting("ftp.DefaultPassword", "Ftp#secret"));
  ASSERT_TRUE(mib::set_setting("device.InitUAPwd", "ua-secret"));
  ASSERT_TRUE(mib::set_setting("telnet.UserName", "admin"));
  mib::close_store();
  Result masked = cli({"dump"});
  EXPECT_NE(masked.out.find("\nftp.DefaultPassword=********\n"), std::string::npos);
  EXPECT_NE(masked.out.find("\ndevice.InitUAPwd=********\n"), std::string::npos);
  EXPECT_NE(masked.out.find("\ntelnet.UserName=admin\n"), std::string::npos);
  EXPECT_EQ(masked.out.find("secret"), std::string::npos);
  EXPECT_EQ(json_query(cli({"--json", "dump"}), R"(."ftp.DefaultPassword")"), "********\n");
  Result shown = cli({"--show-secrets", "dump"});
  EXPECT_NE(shown.out.find("\nftp.DefaultPassword=Ftp#secret\n"), std::string::npos);
  EXPECT_NE(shown.out.find("\ndevice.InitUAPwd=ua-secret\n"), std::string::npos);
  // Asked for by name, a password is printed.
  EXPECT_EQ(cli({"get", "ftp.DefaultPassword"}).out, "Ftp#secret\n");
}

// set checks a value as a bus write of the property stored under the key
// would: a refused one fails with the bus's text and changes nothing, and
// --force stores it all the same.  Values in the store's own form that the
// bus reads differently (a light's 0 is "off", a protocol's 2 is "UDP") are
// taken as such, and a key no property reads is set as before.
TEST_F(CliTest, SetRefusesWhatTheBusRefusesUnlessForced) {
  ASSERT_EQ(run_cli({"--create", "--store", store_, "add", "portmapping"}).out, "1\n");
  ASSERT_TRUE(mib::open_store(store_));
  ASSERT_TRUE(mib::set_setting("cli.Unread", "7"));
  mib::close_store();
  struct Refused {
    const char *key;
    std::string value;
    const char *bus_text;
  };
  const Refused refused[] = {
      {"dhcpserver.LeaseTime", "5", "Invalid parameter value ,path 5"},
      {"led.StartTime", "25:00", "Invalid parameter value!"},
      {"led.EndTime", "7:60", "Invalid parameter value!"},
      {"platform.SSN", std::string(100, 's'), "Invalid parameter value"},
      {"portmapping[1].ExternalPort", "0", "Invalid parameter value"},
      {"portmapping[1].Protocol", "9", "Invalid parameter value"},
  };
  for (const Refused &c : refused) expect_refused_unless_forced(c.key, c.value, c.bus_text);
  // What the store cannot hold at all, --force does not store either.
  EXPECT_EQ(cli({"--force", "set", "dhcpserver.LeaseTime", "-1"}).status, 1);
  for (const auto &[key, value] : {std::pair{"led.Status", "0"}, {"portmapping[1].Protocol", "2"},
                                   {"led.StartTime", "06:30"}, {"cli.Unread", "anything"}})
    expect_accepted(key, value);
}

// The same checks reach values that no field of a published row holds: an
// item of a row, which its table's accessor checks; an item of a row of a
// nested table; a value of an object registered once per instance (a
// band's roaming settings, an SSID's row); and a row of a table that
// reports its rows to no collection (the WiFi timer, read by one object).
TEST_F(CliTest, SetRefusesWhatTheBusRefusesBeyondTheFieldsOfPublishedRows) {
  ASSERT_EQ(run_cli({"--create", "--store", store_, "add", "bridgedataacl"}).out, "1\n");
  ASSERT_EQ(cli({"add", "qosclassification"}).out, "1\n");
  ASSERT_EQ(cli({"add", "qosclassificationtype", "--parent", "1"}).out, "1/1\n");
  ASSERT_EQ(cli({"add", "wifitimer"}).out, "1\n");
  ASSERT_EQ(cli({"add", "wlan"}).out, "1\n");
  expect_refused_unless_forced("bridgedataacl[1].Port", "http", "Invalid parameter value");
  expect_refused_unless_forced("qosclassificationtype[1/1].Type", "COLOUR", "Invalid parameter value");
  expect_refused_unless_forced("roaming.5G.Threshold1RSSI", "5", "set Threshold1_RSSI failed 5");
  expect_refused_unless_forced("wlan[1].Channel", "999", "Invalid parameter value");
  expect_refused_unless_forced("wifitimer[1].StartTime", "25:00", "Invalid parameter value ,path 25:00");
  // Values the bus takes are stored; a check that put the value in place
  // leaves every reader seeing the stored value again (the WiFi timer's row
  // would otherwise read as if its new start time were stored already).
  for (const auto &[key, value] :
       {std::pair{"bridgedataacl[1].Port", "8080"}, {"qosclassificationtype[1/1].Type", "DSCP"},
        {"roaming.5G.Threshold1RSSI", "-70"}, {"wlan[1].Channel", "6"},
        {"wifitimer[1].StartTime", "06:30"}})
    expect_accepted(key, value);
}

// A value every bus check takes may still leave an SSID its radio cannot
// run, which a bus write's commit refuses with the radio's reason: set
// refuses it the same way.  A record that does not run yet (a new, empty
// one) is filled in a value at a time.
TEST_F(CliTest, SetRefusesAnSsidTheRadioCannotRun) {
  ASSERT_EQ(run_cli({"--create", "--store", store_, "add", "wlan"}).out, "1\n");
  for (const auto &[key, value] :
       {std::pair{"wlan[1].SSID", "home"}, {"wlan[1].PWD", "long enough"}, {"wlan[1].Channel", "14"}})
    expect_accepted(key, value);
  expect_refused_unless_forced("wlan[1].ChannelWidth", "1", "channel 14 cannot carry channel width 1 on band 1");
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

  // JSON: the raw values, which a JSON parser gets back exactly.
  EXPECT_EQ(json_query(cli({"--json", "dump"}), R"(."aaa.Multi", ."clifwd[1].ExternalPort")"),
            "two\nlines\\\n9090\n");
  EXPECT_EQ(json_query(cli({"--json", "get", "aaa.Multi"}), R"(."aaa.Multi")"), "two\nlines\\\n");
  EXPECT_EQ(json_query(cli({"--json", "journal"}), R"jq(.[] | "\(.bit) \(.action) \(.data)")jq"),
            "8 1 pool=lan\n512 -1 line\nbreak\n");

  // One line per notice: sequence, time, bit, action, data (escaped).
  Result listed = cli({"journal"});
  ASSERT_EQ(listed.status, 0) << listed.err;
  const std::regex form(R"((\d+)\t\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\t0x8\t1\tpool=lan\n)"
                        R"((\d+)\t\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\t0x200\t-1\tline\\nbreak\n)");
  std::smatch seq;
  ASSERT_TRUE(std::regex_match(listed.out, seq, form)) << listed.out;
  EXPECT_LT(std::stoll(seq[1]), std::stoll(seq[2]));
}

// Keys wider than a byte and keys of nested rows, as the CLI takes and shows
// them: "[4294967295]", "[258/1]"; a number that does not fit is refused,
// never cut to another row.
TEST_F(CliTest, WideAndNestedKeysNameTheirOwnRow) {
  const mib::Column value[] = {{"Value", mib::ValueKind::U32, 8, 4}};
  const mib::TableDef wide{"cliwide", nullptr, 12, value, 1, 4, 4, UINT32_MAX};
  const mib::TableDef nested{"clinest", nullptr, 12, value, 1, 4, 1, 0, 4};
  ASSERT_TRUE(mib::open_store(store_));
  ASSERT_TRUE(mib::register_table(wide));
  ASSERT_TRUE(mib::register_table(nested));
  std::vector<uint8_t> row(12, 0);
  for (mib::RowKey key : {mib::RowKey(255), mib::RowKey(4294967295u)}) {
    mib::set_row_key(wide, row.data(), key);
    ASSERT_TRUE(mib::table_insert_at(wide, row.data()));
  }
  for (mib::RowKey key : {mib::row_key(258, 1), mib::row_key(2, 1)}) {
    mib::set_row_key(nested, row.data(), key);
    ASSERT_TRUE(mib::table_insert_at(nested, row.data()));
  }
  mib::close_store();

  ASSERT_EQ(cli({"set", "cliwide[4294967295].Value", "7"}).status, 0);
  ASSERT_EQ(cli({"set", "clinest[258/1].Value", "9"}).status, 0);
  EXPECT_EQ(cli({"get", "cliwide[4294967296].Value"}).status, 1);
  EXPECT_EQ(cli({"get", "clinest[0258/1].Value"}).status, 1);
  Result dump = cli({"dump"});
  for (const char *line : {"\ncliwide[255].Value=0\n", "\ncliwide[4294967295].Value=7\n",
                           "\nclinest[2/1].Value=0\n", "\nclinest[258/1].Value=9\n"}) {
    EXPECT_NE(dump.out.find(line), std::string::npos) << line << dump.out;
  }

  // Rows are removed by tables the CLI serves itself.
  Result added = cli({"add", "portmapping"});
  ASSERT_EQ(added.status, 0) << added.err;
  EXPECT_EQ(added.out, "1\n");
  for (const char *number : {"257", "4294967297", "01", "-1", "1x"})
    EXPECT_EQ(cli({"remove", "portmapping", number}).status, 1) << number;
  EXPECT_EQ(cli({"get", "portmapping[1].ExternalPort"}).status, 0);
  EXPECT_EQ(cli({"remove", "portmapping", "1"}).status, 0);
  EXPECT_EQ(cli({"get", "portmapping[1].ExternalPort"}).status, 1);
}

}  // namespace
