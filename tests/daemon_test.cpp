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

using testing::ContainsRegex;
using testing::HasSubstr;

// Exit status and output (standard output, then standard error) of a program run to its end.
std::pair<int, std::string> run_tool(std::vector<std::string> args) {
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  g_autofree gchar *out = nullptr, *err = nullptr;
  gint wait_status = 0;
  EXPECT_TRUE(g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, &out,
                           &err, &wait_status, nullptr)) << argv[0];
  return {WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1,
          std::string(out != nullptr ? out : "") + (err != nullptr ? err : "")};
}

class DaemonTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(client_, nullptr); }
  void TearDown() override {
    if (client_ != nullptr) g_object_unref(client_);
  }
  Variant call(const char *path, const char *interface, const char *method, GVariant *args) {
    g_autoptr(GError) error = nullptr;
    GVariant *reply = g_dbus_connection_call_sync(client_, host::kServiceName, path, interface, method,
                                                  args, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
                                                  &error);
    EXPECT_NE(reply, nullptr) << method << ": " << (error != nullptr ? error->message : "");
    return Variant(reply);
  }
  GDBusConnection *client_ = connect_private_bus();
  TempRoot root_;
};

// The first instance owns the name and logs it; a second one loses it and ends.
TEST_F(DaemonTest, OwnsTheNameAndASecondInstanceExitsWithStatusOne) {
  DaemonProcess first({"--root", root_.dir()});
  ASSERT_TRUE(first.started());
  ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
  std::string log;
  for (int i = 0; i < 300 && log.find("Acquired") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    log = read_text_file(root_.path(path::kSyslog));
  }
  EXPECT_THAT(log, ContainsRegex("(^|\n)[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} "
                                 "\\[DBUS\\]\\[INFO\\]: Acquired the name com\\.wqx\\.igd1\r\n"));

  TempRoot second_root;  // its own log and store
  DaemonProcess second({"--root", second_root.dir()});
  EXPECT_EQ(second.wait_exit(std::chrono::seconds(10)), 1);
  EXPECT_THAT(read_text_file(second_root.path(path::kSyslog)),
              ContainsRegex("\\[DBUS\\]\\[Warn\\]: IGD1 Lost the name com\\.wqx\\.igd1\r\n"));
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
  constexpr char kProperties[] = "org.freedesktop.DBus.Properties";
  {
    DaemonProcess daemon({"--root", root_.dir()});
    ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
    call(kPath, kProperties, "Set",
         g_variant_new("(ssv)", kInterface, "LeaseTime", g_variant_new_uint32(604800)));
    call(kPath, kProperties, "Set",
         g_variant_new("(ssv)", kInterface, "MinAddress", g_variant_new_string("192.168.1.50")));
    // The child is exported just after the reply.
    SignalWatcher exported(client_, "org.freedesktop.DBus.ObjectManager", "InterfacesAdded");
    Variant added =
        call("/com/wqx/igd1/Config/PortMapping", "com.wqx.igd1.ObjectManager", "AddObject", nullptr);
    EXPECT_EQ(printed(added.get()), std::string("(objectpath '") + kRule + "',)");
    ASSERT_NE(exported.wait().body, nullptr);
    call(kRule, "com.wqx.igd1.Properties", "SetMulti",
         g_variant_new("(s@a{sv})", kRuleInterface,
                       dictionary({{"ExternalPort", g_variant_new_uint32(2222)},
                                   {"InternalClient", g_variant_new_string("192.168.1.9")}})));
    EXPECT_EQ(daemon.stop(SIGKILL), 128 + SIGKILL);
  }
  EXPECT_EQ(run_tool({IGD1_BUILD_DIR "/igd1-mib", "--store", root_.path(path::kStoreFile), "get",
                      "dhcpserver.LeaseTime"}),
            std::make_pair(0, std::string("604800\n")));
  {
    DaemonProcess daemon({"--root", root_.dir()});
    ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
    Variant reply = call(kPath, kProperties, "Get", g_variant_new("(ss)", kInterface, "MinAddress"));
    EXPECT_EQ(printed(reply.get()), "(<'192.168.1.50'>,)");
    Variant rule = call(kRule, kProperties, "GetAll", g_variant_new("(s)", kRuleInterface));
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
  const std::string daemon = IGD1_BUILD_DIR "/igd1d";
  auto [status, out] = run_tool({daemon, "--address", PrivateBus::address(), "--root", root_.dir(),
                                 "--modules", "no_such_module"});
  EXPECT_EQ(status, 1);
  EXPECT_THAT(out, HasSubstr("unknown module no_such_module"));
  EXPECT_EQ(run_tool({daemon, "--session", "--system"}).first, 2);
  EXPECT_EQ(run_tool({daemon, "--service-type", "x"}).first, 2);

  std::tie(status, out) = run_tool({daemon, "--help"});
  EXPECT_EQ(status, 0);
  for (const char *option : {"--session", "--system", "--address", "--root", "--store",
                             "--service-type", "--province", "--modules", "--library"})
    EXPECT_THAT(out, HasSubstr(option));
}

}  // namespace
}  // namespace igd1::test
