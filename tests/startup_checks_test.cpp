// igd1d's checks before any module starts: introspection files and the
// store's folder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "harness/bus_fixture.h"
#include "harness/recorded_call.h"
#include "harness/supervisor.h"
#include "sys_paths.h"

extern "C" const char *const igd1_introspection_files;

namespace igd1::test {
namespace {

using testing::HasSubstr;
using testing::Not;

struct DaemonRun {
  int status = -1;
  std::string output;
};

DaemonRun run_daemon(std::vector<std::string> args) {
  args.insert(args.begin(), {IGD1_BUILD_DIR "/igd1d", "--address", PrivateBus::address()});
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  g_autofree gchar *out = nullptr, *err = nullptr;
  gint wait_status = 0;
  EXPECT_TRUE(g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, &out,
                           &err, &wait_status, nullptr));
  return {WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status),
          std::string(out != nullptr ? out : "") + (err != nullptr ? err : "")};
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
    DaemonRun run = run_daemon({"--root", root.dir()});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_THAT(run.output, HasSubstr(file));
    EXPECT_THAT(run.output, HasSubstr(c.said));
    // Stopped before the store was opened and any module started.
    EXPECT_FALSE(std::filesystem::exists(root.path(path::kStoreFile)));
    EXPECT_THAT(run.output, Not(HasSubstr("loaded")));
  }
}

TEST(StartupCheckTest, AStoreInAMissingFolderIsRefusedAndNothingCreated) {
  TempRoot root;
  const std::string folder = root.dir() + "/no/such";
  DaemonRun run = run_daemon({"--root", root.dir(), "--store", folder + "/mib.db"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.output, HasSubstr("the folder " + folder + " does not exist"));
  EXPECT_FALSE(std::filesystem::exists(root.dir() + "/no"));

  DaemonRun version = run_daemon({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.output, "igd1d " IGD1_VERSION "\n");
}

// A message bus of the test's own, so that it can be taken away.
struct OwnBus {
  GPid pid = 0;
  std::string address;
  OwnBus() {
    const gchar *argv[] = {"dbus-daemon", "--session", "--nofork", "--print-address=1", nullptr};
    gint out_fd = -1;
    EXPECT_TRUE(g_spawn_async_with_pipes(nullptr, const_cast<gchar **>(argv), nullptr,
                                         GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD |
                                                     G_SPAWN_STDERR_TO_DEV_NULL),
                                         nullptr, nullptr, &pid, nullptr, &out_fd, nullptr, nullptr));
    g_autoptr(GIOChannel) out = g_io_channel_unix_new(out_fd);
    g_io_channel_set_close_on_unref(out, TRUE);
    g_autofree gchar *line = nullptr;
    gsize end = 0;
    g_io_channel_read_line(out, &line, nullptr, &end, nullptr);
    if (line != nullptr) address.assign(line, end);
  }
  void kill_now() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      pid = 0;
    }
  }
  ~OwnBus() { kill_now(); }
};

GDBusConnection *connect_to(const std::string &address) {
  return g_dbus_connection_new_for_address_sync(
      address.c_str(),
      GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                           G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
}

GPid spawn_daemon(const std::string &address, const std::string &root, const std::string &output) {
  std::vector<std::string> args = {IGD1_BUILD_DIR "/igd1d", "--address", address, "--root", root};
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  GPid pid = 0;
  EXPECT_TRUE(g_spawn_async_with_fds(nullptr, argv.data(), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                                     nullptr, &pid, -1, fd, fd, nullptr));
  close(fd);
  return pid;
}

// Exit status of `pid` within `timeout`, -1 when it still runs.
int exit_status(GPid pid, std::chrono::milliseconds timeout) {
  for (auto deadline = std::chrono::steady_clock::now() + timeout;;) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// A lost bus connection ends igd1d at once with status 1 and its reason.
TEST(StartupCheckTest, ALostBusEndsTheDaemonAtOnceWithItsReason) {
  TempRoot root;
  const std::string output = root.path("/tmp/igd1d.out");
  OwnBus bus;
  GDBusConnection *client = connect_to(bus.address);
  ASSERT_NE(client, nullptr);
  g_dbus_connection_set_exit_on_close(client, FALSE);
  GPid daemon = spawn_daemon(bus.address, root.dir(), output);
  ASSERT_TRUE(wait_for_name(client, host::kServiceName));
  g_object_unref(client);
  bus.kill_now();
  int status = exit_status(daemon, std::chrono::seconds(2));
  if (status < 0) kill(daemon, SIGKILL), waitpid(daemon, nullptr, 0);
  EXPECT_EQ(status, 1);
  EXPECT_THAT(read_text_file(output), HasSubstr("igd1d: the bus connection closed: "));
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

// Under the unit's restart rule: a call that GDBus cannot decode ends igd1d,
// the supervisor starts it again after the unit's delay, and it answers
// within a second of that start with every write it had answered.
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
    return Variant(g_dbus_connection_call_sync(client, host::kServiceName, path, "org.freedesktop.DBus.Properties",
                                               method, args, nullptr, G_DBUS_CALL_FLAGS_NONE, timeout_ms,
                                               nullptr, nullptr));
  };
  for (const Write &w : writes) {
    GVariant *value = g_variant_parse(nullptr, w.value, nullptr, nullptr, nullptr);
    ASSERT_TRUE(call(w.path, "Set", g_variant_new("(ssv)", w.interface, w.name, value), 5000)) << w.name;
  }

  EXPECT_FALSE(send_recorded_call(client, undecodable, 5000, nullptr));
  ASSERT_TRUE(supervisor.wait_for_runs(2, std::chrono::seconds(5)));
  Variant reply;
  while (!reply && std::chrono::steady_clock::now() - supervisor.runs()[1].started < std::chrono::seconds(3)) {
    reply = call(writes[0].path, "Get", g_variant_new("(ss)", writes[0].interface, writes[0].name), 1000);
    if (!reply) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const auto answered = std::chrono::steady_clock::now();
  const std::vector<Supervisor::Run> runs = supervisor.runs();
  ASSERT_TRUE(runs[0].wait_status.has_value());
  EXPECT_TRUE(WIFEXITED(*runs[0].wait_status) && WEXITSTATUS(*runs[0].wait_status) == 1);
  EXPECT_GE(runs[1].started - runs[0].ended, rule->delay);
  EXPECT_LT(answered - runs[1].started, std::chrono::seconds(1));
  EXPECT_THAT(read_text_file(root.path("/tmp/igd1d.out")), HasSubstr(undecodable.reason));
  for (const Write &w : writes) {
    Variant value = call(w.path, "Get", g_variant_new("(ss)", w.interface, w.name), 5000);
    EXPECT_EQ(printed(value.get()), "(<" + std::string(w.value) + ">,)") << w.name;
  }
  g_object_unref(client);
}

}  // namespace
}  // namespace igd1::test
