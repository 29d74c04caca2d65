// igd1d as a process on the private bus.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "harness/bus_fixture.h"

namespace igd1::test {
namespace {

// A call that must succeed.
Variant call_ok(GDBusConnection *client, const char *path, const char *interface, const char *method,
                GVariant *args) {
  g_autoptr(GError) error = nullptr;
  Variant reply = call_service(client, path, interface, method, args, &error, 5000);
  EXPECT_NE(reply, nullptr) << method << ": " << (error != nullptr ? error->message : "");
  return reply;
}

// The first instance owns the name and logs it; a second one loses it and ends.
TEST_F(DaemonTest, OwnsTheNameAndASecondInstanceExitsWithStatusOne) {
  DaemonProcess first({"--root", root_.dir()});
  ASSERT_TRUE(first.started());
  ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
  EXPECT_THAT(wait_for_text(root_.path(path::kSyslog), "Acquired"), ContainsRegex("(^|\n)[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} "
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
    call_ok(client_, kPath, kProperties, "Set",
         g_variant_new("(ssv)", kInterface, "LeaseTime", g_variant_new_uint32(604800)));
    call_ok(client_, kPath, kProperties, "Set",
         g_variant_new("(ssv)", kInterface, "MinAddress", g_variant_new_string("192.168.1.50")));
    // The child is exported just after the reply.
    SignalWatcher exported(client_, "org.freedesktop.DBus.ObjectManager", "InterfacesAdded");
    Variant added =
        call_ok(client_, "/com/wqx/igd1/Config/PortMapping", "com.wqx.igd1.ObjectManager", "AddObject", nullptr);
    EXPECT_EQ(printed(added.get()), std::string("(objectpath '") + kRule + "',)");
    ASSERT_NE(exported.wait().body, nullptr);
    call_ok(client_, kRule, "com.wqx.igd1.Properties", "SetMulti",
         g_variant_new("(s@a{sv})", kRuleInterface,
                       dictionary({{"ExternalPort", g_variant_new_uint32(2222)},
                                   {"InternalClient", g_variant_new_string("192.168.1.9")}})));
    EXPECT_EQ(daemon.stop(SIGKILL), 128 + SIGKILL);
  }
  ProgramRun lease = run_program({IGD1_BUILD_DIR "/igd1-mib", "--store", root_.path(path::kStoreFile),
                                  "get", "dhcpserver.LeaseTime"});
  EXPECT_EQ(lease.status, 0);
  EXPECT_EQ(lease.out, "604800\n");
  {
    DaemonProcess daemon({"--root", root_.dir()});
    ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
    Variant reply = call_ok(client_, kPath, kProperties, "Get", g_variant_new("(ss)", kInterface, "MinAddress"));
    EXPECT_EQ(printed(reply.get()), "(<'192.168.1.50'>,)");
    Variant rule = call_ok(client_, kRule, kProperties, "GetAll", g_variant_new("(s)", kRuleInterface));
    EXPECT_THAT(printed(rule.get()), HasSubstr("'ExternalPort': <uint32 2222>"));
    EXPECT_THAT(printed(rule.get()), HasSubstr("'InternalClient': <'192.168.1.9'>"));
    EXPECT_EQ(daemon.stop(SIGTERM), 0);
  }
  std::string report;
  ASSERT_TRUE(mib::open_store(root_.path(path::kStoreFile)));
  EXPECT_TRUE(mib::check_integrity(&report)) << report;
  mib::close_store();
}

// Whatever another user planted at the daemon's names in /tmp before it
// started is replaced, never written through; only root and the daemon's
// user are heard on its sockets.
TEST_F(DaemonTest, ReplacesWhatWasPlantedInTmpAndHearsOnlyItsOwnUsers) {
  const std::string secret = root_.path("/var/lib/igd1/secret");
  write_text_file(secret, "root only\n");
  ASSERT_EQ(symlink(secret.c_str(), root_.path(path::kSyslog).c_str()), 0);
  ASSERT_EQ(symlink(secret.c_str(), root_.path(path::kNotifySocket).c_str()), 0);
  ASSERT_EQ(mkdir(root_.path(path::kDaemonSocket).c_str(), 0777), 0);
  DaemonProcess daemon({"--root", root_.dir()});
  ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
  ProgramRun own = debug_level_once_listening();
  EXPECT_EQ(own.status, 0) << own.output();
  EXPECT_EQ(read_text_file(secret), "root only\n");
  struct stat status = {};
  ASSERT_EQ(lstat(root_.path(path::kSyslog).c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  for (const char *socket : {path::kNotifySocket, path::kDaemonSocket}) {
    ASSERT_EQ(lstat(root_.path(socket).c_str(), &status), 0) << socket;
    EXPECT_TRUE(S_ISSOCK(status.st_mode)) << socket;
    EXPECT_EQ(status.st_mode & 07777, 0600u) << socket;
  }
  if (geteuid() == 0) {
    chmod(root_.dir().c_str(), 0755);
    ProgramRun nobody = run_program({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                     IGD1_BUILD_DIR "/igd1-notify", "--root", root_.dir(), "debug-level"});
    EXPECT_EQ(nobody.status, 1) << nobody.output();
    EXPECT_THAT(nobody.output(), HasSubstr("Permission denied"));
  }
  EXPECT_EQ(daemon.stop(SIGTERM), 0);
}

TEST_F(DaemonTest, RefusesUnknownModulesAndBadOptions) {
  const std::string daemon = IGD1_BUILD_DIR "/igd1d";
  ProgramRun run = run_program({daemon, "--address", PrivateBus::address(), "--root", root_.dir(),
                                "--modules", "no_such_module"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.output(), HasSubstr("unknown module no_such_module"));
  EXPECT_EQ(run_program({daemon, "--session", "--system"}).status, 2);
  EXPECT_EQ(run_program({daemon, "--service-type", "x"}).status, 2);

  run = run_program({daemon, "--help"});
  EXPECT_EQ(run.status, 0);
  for (const char *option : {"--session", "--system", "--address", "--root", "--store",
                             "--service-type", "--province", "--modules", "--library"})
    EXPECT_THAT(run.output(), HasSubstr(option));
}

}  // namespace
}  // namespace igd1::test
