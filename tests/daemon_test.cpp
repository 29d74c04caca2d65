// igd1d as a process on the private bus.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <signal.h>

#include "harness/bus_fixture.h"
#include "host.h"
#include "mib_store.h"
#include "sys_paths.h"

namespace igd1::test {
namespace {

using testing::HasSubstr;

std::string run_tool(const std::vector<std::string> &args, int *status) {
  std::vector<char *> argv;
  std::vector<std::string> copy(args);
  for (auto &a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  g_autofree gchar *out = nullptr;
  g_autofree gchar *err = nullptr;
  gint wait_status = 0;
  g_autoptr(GError) error = nullptr;
  if (!g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, &out, &err,
                    &wait_status, &error)) {
    ADD_FAILURE() << error->message;
    return {};
  }
  *status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  return std::string(out) + err;
}

std::string wait_for_log(const std::string &file, const std::string &needle) {
  std::string log;
  for (int i = 0; i < 300 && log.find(needle) == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    log = read_text_file(file);
  }
  return log;
}

class DaemonTest : public testing::Test {
 protected:
  void SetUp() override {
    client_ = connect_private_bus();
    ASSERT_NE(client_, nullptr);
  }
  void TearDown() override {
    if (client_ != nullptr) g_object_unref(client_);
  }
  GDBusConnection *client_ = nullptr;
  TempRoot root_;
};

TEST_F(DaemonTest, OwnsTheNameServesTheRootAndLogsTheAcquisition) {
  DaemonProcess daemon({"--root", root_.dir()});
  ASSERT_TRUE(daemon.started());
  ASSERT_TRUE(wait_for_name(client_, host::kServiceName));

  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      client_, host::kServiceName, "/com/wqx/igd1", "org.freedesktop.DBus.Introspectable",
      "Introspect", nullptr, G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
  ASSERT_NE(reply, nullptr) << error->message;
  const gchar *xml = nullptr;
  g_variant_get(reply, "(&s)", &xml);
  EXPECT_THAT(xml, HasSubstr("<interface name=\"com.wqx.igd1\">"));

  std::string log = wait_for_log(root_.path(path::kSyslog), "Acquired");
  EXPECT_THAT(log, testing::ContainsRegex(
                       "(^|\n)[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} "
                       "\\[DBUS\\]\\[INFO\\]: Acquired the name com\\.wqx\\.igd1\r\n"));

  // The default store was created under the root and seeded.
  int status = -1;
  std::string value = run_tool({IGD1_BUILD_DIR "/igd1-mib", "--store",
                                root_.path(path::kStoreFile), "get", "lan.IPAddress"},
                               &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(value, "192.168.1.1\n");

  EXPECT_EQ(daemon.stop(SIGTERM), 0);
}

TEST_F(DaemonTest, ASecondInstanceLosesTheNameAndExitsWithStatusOne) {
  DaemonProcess first({"--root", root_.dir()});
  ASSERT_TRUE(wait_for_name(client_, host::kServiceName));

  TempRoot second_root;  // its own log and store
  DaemonProcess second({"--root", second_root.dir()});
  EXPECT_EQ(second.wait_exit(std::chrono::seconds(10)), 1);
  EXPECT_THAT(read_text_file(second_root.path(path::kSyslog)),
              testing::ContainsRegex("\\[DBUS\\]\\[Warn\\]: IGD1 Lost the name com\\.wqx\\.igd1\r\n"));
  // The first keeps serving.
  EXPECT_TRUE(wait_for_name(client_, host::kServiceName, std::chrono::milliseconds(100)));
  EXPECT_EQ(first.stop(SIGINT), 0);
}

// What the bus has reported as written survives a SIGKILL of the daemon, and
// collections export their rows again at the next start.
TEST_F(DaemonTest, AcceptedWritesSurviveAKilledDaemon) {
  constexpr char kPath[] = "/com/wqx/igd1/Config/DHCPServer";
  constexpr char kInterface[] = "com.wqx.igd1.DHCPServer";
  constexpr char kRule[] = "/com/wqx/igd1/Config/PortMapping/1";
  constexpr char kRuleInterface[] = "com.wqx.igd1.PortMapping";
  auto call_at = [&](const char *path, const char *interface, const char *method, GVariant *args) {
    g_autoptr(GError) error = nullptr;
    GVariant *reply = g_dbus_connection_call_sync(client_, host::kServiceName, path, interface,
                                                  method, args, nullptr, G_DBUS_CALL_FLAGS_NONE,
                                                  5000, nullptr, &error);
    EXPECT_NE(reply, nullptr) << method << ": " << (error != nullptr ? error->message : "");
    return Variant(reply);
  };
  auto call = [&](const char *method, GVariant *args) {
    return call_at(kPath, "org.freedesktop.DBus.Properties", method, args);
  };
  {
    DaemonProcess daemon({"--root", root_.dir()});
    ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
    call("Set", g_variant_new("(ssv)", kInterface, "LeaseTime", g_variant_new_uint32(604800)));
    call("Set", g_variant_new("(ssv)", kInterface, "MinAddress", g_variant_new_string("192.168.1.50")));
    Variant added = call_at("/com/wqx/igd1/Config/PortMapping", "com.wqx.igd1.ObjectManager",
                            "AddObject", nullptr);
    ASSERT_TRUE(added);
    EXPECT_EQ(printed(added.get()), std::string("(objectpath '") + kRule + "',)");
    call_at(kRule, "com.wqx.igd1.Properties", "SetMulti",
            g_variant_new("(s@a{sv})", kRuleInterface,
                          dictionary({{"ExternalPort", g_variant_new_uint32(2222)},
                                      {"InternalClient", g_variant_new_string("192.168.1.9")}})));
    EXPECT_EQ(daemon.stop(SIGKILL), 128 + SIGKILL);
  }
  int status = -1;
  EXPECT_EQ(run_tool({IGD1_BUILD_DIR "/igd1-mib", "--store", root_.path(path::kStoreFile), "get",
                      "dhcpserver.LeaseTime"},
                     &status),
            "604800\n");
  {
    DaemonProcess daemon({"--root", root_.dir()});
    ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
    Variant reply = call("Get", g_variant_new("(ss)", kInterface, "MinAddress"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(printed(reply.get()), "(<'192.168.1.50'>,)");
    Variant rule = call_at(kRule, "org.freedesktop.DBus.Properties", "GetAll",
                           g_variant_new("(s)", kRuleInterface));
    ASSERT_TRUE(rule);
    EXPECT_THAT(printed(rule.get()), HasSubstr("'ExternalPort': <uint32 2222>"));
    EXPECT_THAT(printed(rule.get()), HasSubstr("'InternalClient': <'192.168.1.9'>"));
    EXPECT_EQ(daemon.stop(SIGTERM), 0);
  }
  std::string report;
  ASSERT_TRUE(mib::open_store(root_.path(path::kStoreFile)));
  EXPECT_TRUE(mib::check_integrity(&report)) << report;
  mib::close_store();
}

TEST_F(DaemonTest, RefusesUnknownModulesAndBadOptions) {
  int status = -1;
  std::string out = run_tool({IGD1_BUILD_DIR "/igd1d", "--address", PrivateBus::address(),
                              "--root", root_.dir(), "--modules", "no_such_module"},
                             &status);
  EXPECT_EQ(status, 1);
  EXPECT_THAT(out, HasSubstr("unknown module no_such_module"));

  out = run_tool({IGD1_BUILD_DIR "/igd1d", "--session", "--system"}, &status);
  EXPECT_EQ(status, 2);
  out = run_tool({IGD1_BUILD_DIR "/igd1d", "--service-type", "x"}, &status);
  EXPECT_EQ(status, 2);

  out = run_tool({IGD1_BUILD_DIR "/igd1d", "--help"}, &status);
  EXPECT_EQ(status, 0);
  for (const char *option : {"--session", "--system", "--address", "--root", "--store",
                             "--service-type", "--province", "--modules", "--library"})
    EXPECT_THAT(out, HasSubstr(option));
}

// ---- the module library as the host sees it ----------------------------------------

TEST(ModuleLibraryTest, FindsExportedEntriesAndKeepsTheRootOutOfTheModuleList) {
  std::vector<std::string> names;
  std::string error;
  ASSERT_TRUE(host::exported_entry_names(IGD1_BUILD_DIR "/libigd1.so", &names, &error)) << error;
  EXPECT_THAT(names, testing::Contains("IGD1_on_bus_acquired"));
  for (const auto &name : names) EXPECT_THAT(name, testing::EndsWith("_on_bus_acquired"));

  host::ModuleLibrary library;
  ASSERT_TRUE(library.load(IGD1_BUILD_DIR "/libigd1.so", &error)) << error;
  std::vector<host::EntryPoint> entries;
  ASSERT_TRUE(library.module_entries({}, &entries, &error)) << error;
  for (const auto &entry : entries) {
    EXPECT_NE(entry.name, "IGD1_on_bus_acquired");
    EXPECT_NE(entry.name, "DNSTunnel_on_bus_acquired");
    EXPECT_NE(entry.function, nullptr);
  }
  EXPECT_FALSE(library.module_entries({"nothing_like_this"}, &entries, &error));
  EXPECT_EQ(error, "unknown module nothing_like_this");
  // The root entry named explicitly is accepted and still not a module.
  EXPECT_TRUE(library.module_entries({"IGD1"}, &entries, &error));
  EXPECT_TRUE(entries.empty());

  EXPECT_FALSE(host::exported_entry_names(IGD1_SOURCE_XML_DIR "/../README.md", &names, &error));
}

}  // namespace
}  // namespace igd1::test
