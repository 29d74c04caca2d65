// igd1d's checks before any module starts: introspection files and the
// store's folder.

#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "harness/bus_fixture.h"
#include "harness/recorded_call.h"
#include "harness/supervisor.h"

extern "C" const char *const igd1_introspection_files;

namespace igd1::test {
namespace {

ProgramRun run_daemon(std::vector<std::string> args) {
  args.insert(args.begin(), {IGD1_BUILD_DIR "/igd1d", "--address", PrivateBus::address()});
  return run_program(args);
}

// The library names exactly the files that ship with it.
TEST(StartupCheckTest, TheLibraryNamesEveryShippedIntrospectionFile) {
  std::set<std::string> named;
  std::istringstream words(igd1_introspection_files);
  for (std::string word; words >> word;) named.insert(word);
  std::set<std::string> shipped;
  for (const auto &entry : std::filesystem::directory_iterator(IGD1_SOURCE_XML_DIR))
    if (entry.path().extension() == ".xml") shipped.insert(entry.path().filename());
  EXPECT_EQ(named, shipped);
}

// A missing, empty or malformed file ends igd1d with status 1 before any
// module starts, naming the file and what the parser said; no abort.
TEST(StartupCheckTest, ABrokenIntrospectionFileStopsTheStartWithItsName) {
  struct Case {
    const char *file;
    const char *text;  // nullptr: the file is removed
    const char *said;
  } cases[] = {
      {"DHCPServer.xml", "<node><interface name='com.wqx.igd1.DHCPServer'>", "Document ended unexpectedly"},
      {"FTPAccount.xml", nullptr, "No such file or directory"},
      {"PortMapping.xml", "", "Document was empty"},
      {"SysCmd.xml", "<node/>", "declares no interface"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.file);
    TempRoot root;
    const std::string file = root.path(std::string(path::kDbusXmlDir) + c.file);
    if (c.text != nullptr) write_text_file(file, c.text);
    else std::filesystem::remove(file);
    ProgramRun run = run_daemon({"--root", root.dir()});
    EXPECT_EQ(run.status, 1) << run.output();
    EXPECT_THAT(run.output(), HasSubstr(file));
    EXPECT_THAT(run.output(), HasSubstr(c.said));
    // Stopped before the store was opened and any module started.
    EXPECT_FALSE(std::filesystem::exists(root.path(path::kStoreFile)));
    EXPECT_THAT(run.output(), Not(HasSubstr("loaded")));
  }
}

TEST(StartupCheckTest, AStoreInAMissingFolderIsRefusedAndNothingCreated) {
  TempRoot root;
  const std::string folder = root.dir() + "/no/such";
  ProgramRun run = run_daemon({"--root", root.dir(), "--store", folder + "/mib.db"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.output(), HasSubstr("the folder " + folder + " does not exist"));
  EXPECT_FALSE(std::filesystem::exists(root.dir() + "/no"));

  // A store that is not there is created only when asked for.
  const std::string store = root.path("/var/lib/igd1/typo.db");
  run = run_daemon({"--root", root.dir(), "--store", store});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.output(), HasSubstr("no store at " + store + " (--create makes a new one)"));
  EXPECT_FALSE(std::filesystem::exists(store));

  ProgramRun version = run_daemon({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.output(), "igd1d " IGD1_VERSION "\n");
}

// Words that are not options, and --create without --store, are refused
// before anything starts.
TEST(StartupCheckTest, StrayArgumentsAreRefused) {
  TempRoot root;
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"--root", root.dir(), "system"},
        std::vector<std::string>{"--root", root.dir(), "--", "--store"},
        std::vector<std::string>{"--root", root.dir(), "--create"}}) {
    ProgramRun run = run_daemon(args);
    EXPECT_EQ(run.status, 2) << args.back() << ": " << run.output();
    EXPECT_THAT(run.output(), HasSubstr("igd1d: ")) << args.back();
  }
  EXPECT_FALSE(std::filesystem::exists(root.path(path::kStoreFile)));
}

// A bus that is gone for good ends igd1d with status 1 and its reason once
// it has tried to connect again for a while (under two seconds).
TEST(StartupCheckTest, ABusGoneForGoodEndsTheDaemonWithItsReason) {
  TempRoot root;
  MessageBus bus;  // of the test's own, so that it can be taken away
  GDBusConnection *client = connect_bus(bus.address());
  ASSERT_NE(client, nullptr);
  DaemonProcess daemon({"--root", root.dir()}, bus.address());
  ASSERT_TRUE(wait_for_name(client, host::kServiceName));
  g_object_unref(client);
  bus.stop();
  EXPECT_EQ(daemon.wait_exit(std::chrono::seconds(5)), 1);
  const std::string output = read_text_file(daemon.output_file());
  EXPECT_THAT(output, HasSubstr("igd1d: the bus connection closed: "));
  EXPECT_THAT(output, HasSubstr("no new connection: "));
  EXPECT_THAT(output, HasSubstr("; exiting"));
}

TEST(StartupCheckTest, TheUnitRestartsTheDaemonAfterAFailureOnly) {
  std::string problem;
  const std::optional<RestartRule> rule = read_restart_rule(IGD1_UNIT_FILE, &problem);
  ASSERT_TRUE(rule) << problem;
  EXPECT_EQ(rule->restart, "on-failure");
  EXPECT_GT(rule->delay.count(), 0);
  EXPECT_LT(rule->delay, std::chrono::seconds(1));
  auto exited = [](int code) { return code << 8; };  // a wait status
  EXPECT_TRUE(rule->restarts_after(exited(1)));
  EXPECT_TRUE(rule->restarts_after(SIGKILL));
  EXPECT_TRUE(rule->restarts_after(SIGABRT));
  EXPECT_FALSE(rule->restarts_after(exited(0)));
  EXPECT_FALSE(rule->restarts_after(SIGTERM));
}

// Under the unit's restart rule: a call that GDBus cannot decode only costs
// igd1d its connection, which it makes again; a crash ends it, the
// supervisor starts it again after the unit's delay, and it answers within a
// second of that start with every write it had answered.
TEST(StartupCheckTest, UnderTheUnitsRuleTheServiceComesBackWithItsValues) {
  std::string problem;
  const std::optional<RestartRule> rule = read_restart_rule(IGD1_UNIT_FILE, &problem);
  ASSERT_TRUE(rule) << problem;
  RecordedCall undecodable;
  ASSERT_TRUE(read_recorded_call(IGD1_FUZZ_INPUTS_DIR "/undecodable_setmulti.call", &undecodable, &problem))
      << problem;
  TempRoot root;
  GDBusConnection *client = connect_private_bus();
  ASSERT_NE(client, nullptr);
  Supervisor supervisor(*rule,
                        {IGD1_BUILD_DIR "/igd1d", "--address", PrivateBus::address(), "--root", root.dir()},
                        root.path("/tmp/igd1d.out"));
  ASSERT_TRUE(wait_for_name(client, host::kServiceName));

  struct Write {
    const char *path, *interface, *name, *value;
  } const writes[] = {
      {"/com/wqx/igd1/Config/DHCPServer", "com.wqx.igd1.DHCPServer", "LeaseTime", "uint32 604800"},
      {"/com/wqx/igd1/Config/DHCPServer", "com.wqx.igd1.DHCPServer", "MinAddress", "'192.168.1.50'"},
      {"/com/wqx/igd1/Info/Device", "com.wqx.igd1.DeviceInfo", "DevName", "'supervised'"},
      {"/com/wqx/igd1/Storage/SambaServer", "com.wqx.igd1.SambaServer", "Enable", "byte 0x00"},
      {"/com/wqx/igd1/Ovatrix/PlatformService", "com.wqx.igd1.PlatformService", "Heartbeat", "uint32 45"},
  };
  auto call = [&](const char *path, const char *method, GVariant *args, int timeout_ms) {
    return call_service(client, path, "org.freedesktop.DBus.Properties", method, args, nullptr, timeout_ms);
  };
  for (const Write &w : writes) {
    GVariant *value = g_variant_parse(nullptr, w.value, nullptr, nullptr, nullptr);
    ASSERT_TRUE(call(w.path, "Set", g_variant_new("(ssv)", w.interface, w.name, value), 5000)) << w.name;
  }

  EXPECT_FALSE(send_recorded_call(client, undecodable, 5000, nullptr));
  ASSERT_TRUE(wait_for_name(client, host::kServiceName));
  EXPECT_EQ(supervisor.runs().size(), 1u);
  EXPECT_THAT(read_text_file(root.path("/tmp/igd1d.out")), HasSubstr(undecodable.reason));
  supervisor.signal_running(SIGKILL);
  ASSERT_TRUE(supervisor.wait_for_runs(2, kPatience));
  eventually([&] {
    return bool(call(writes[0].path, "Get", g_variant_new("(ss)", writes[0].interface, writes[0].name), 1000));
  });
  const auto answered = std::chrono::steady_clock::now();
  const std::vector<Supervisor::Run> runs = supervisor.runs();
  ASSERT_TRUE(runs[0].wait_status.has_value());
  EXPECT_TRUE(WIFSIGNALED(*runs[0].wait_status) && WTERMSIG(*runs[0].wait_status) == SIGKILL);
  EXPECT_GE(runs[1].started - runs[0].ended, rule->delay);
  EXPECT_LT(answered - runs[1].started, kPatience / 3) << "the restarted daemon serves";
  for (const Write &w : writes) {
    Variant value = call(w.path, "Get", g_variant_new("(ss)", w.interface, w.name), 5000);
    EXPECT_EQ(printed(value.get()), "(<" + std::string(w.value) + ">,)") << w.name;
  }
  g_object_unref(client);
}

}  // namespace
}  // namespace igd1::test
