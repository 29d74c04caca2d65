// Start-up safety of igd1d: one daemon per root, and a bus that refuses the
// name is reported with its own words.

#include <signal.h>
#include <sys/stat.h>

#include "harness/bus_fixture.h"

namespace igd1::test {
namespace {

// What identifies a file on disk, and how much it holds.
struct FileState {
  bool exists = false;
  ino_t inode = 0;
  off_t size = 0;
};

FileState state_of(const std::string &file) {
  struct stat info {};
  if (stat(file.c_str(), &info) != 0) return {};
  return {true, info.st_ino, info.st_size};
}

std::string name_owner(GDBusConnection *connection) {
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "GetNameOwner", g_variant_new("(s)", host::kServiceName), G_VARIANT_TYPE("(s)"),
      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  const gchar *owner = "";
  if (reply != nullptr) g_variant_get(reply, "(&s)", &owner);
  return owner;
}

using InstanceTest = DaemonTest;

TEST_F(InstanceTest, ASecondDaemonOnTheSameRootLeavesTheFirstUntouched) {
  DaemonProcess first({"--root", root_.dir()});
  ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
  const std::string owner = name_owner(client_);
  const std::string log_file = root_.path(path::kSyslog);
  const std::string log_before = wait_for_text(log_file, "Acquired");
  ASSERT_THAT(log_before, HasSubstr("Acquired the name"));
  EXPECT_EQ(read_text_file(root_.path(path::kDaemonPidFile)), std::to_string(first.pid()) + "\n");
  // The sockets are made just after the name is acquired: wait for them.
  FileState heartbeat, notify, store;
  eventually([&] {
    heartbeat = state_of(root_.path(path::kDaemonSocket));
    notify = state_of(root_.path(path::kNotifySocket));
    store = state_of(root_.path(path::kStoreFile));
    return heartbeat.exists && notify.exists && store.exists;
  });
  ASSERT_TRUE(heartbeat.exists && notify.exists && store.exists);

  ProgramRun second = run_program({IGD1_BUILD_DIR "/igd1d", "--address", PrivateBus::address(), "--root", root_.dir()});
  EXPECT_EQ(second.status, 1);
  EXPECT_THAT(second.err, HasSubstr("another igd1d (pid " + std::to_string(first.pid()) + ") is running"));

  // The first daemon's files are the same files (its heartbeat socket was
  // not replaced), its log was not cut and it still owns the name.
  EXPECT_EQ(state_of(root_.path(path::kDaemonSocket)).inode, heartbeat.inode);
  EXPECT_EQ(state_of(root_.path(path::kNotifySocket)).inode, notify.inode);
  EXPECT_EQ(state_of(root_.path(path::kStoreFile)).inode, store.inode);
  EXPECT_EQ(read_text_file(root_.path(path::kDaemonPidFile)), std::to_string(first.pid()) + "\n");
  const std::string log_after = read_text_file(log_file);
  EXPECT_EQ(log_after.compare(0, log_before.size(), log_before), 0) << "the log was rewritten";
  EXPECT_EQ(log_after.find('\0'), std::string::npos);
  EXPECT_EQ(name_owner(client_), owner);
  EXPECT_EQ(first.stop(SIGTERM), 0);

  // Once it has ended, the next daemon starts.
  DaemonProcess next({"--root", root_.dir()});
  EXPECT_TRUE(wait_for_name(client_, host::kServiceName));
  EXPECT_EQ(next.stop(SIGTERM), 0);
}

// A bus whose policy lets nobody own the service name: the bus's own refusal is reported.
TEST_F(InstanceTest, ANameTheBusRefusesIsReportedWithTheBusError) {
  const std::string config = root_.path("/tmp/refusing-bus.conf");
  write_text_file(config,
                  "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\""
                  " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">"
                  "<busconfig><type>session</type><listen>unix:dir=" + root_.path("/tmp") +
                      "</listen><auth>EXTERNAL</auth>"
                      "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                      "<allow eavesdrop=\"true\"/>"
                      "<allow own=\"*\"/><deny own=\"com.wqx.igd1\"/></policy></busconfig>");
  MessageBus bus(config);
  ASSERT_FALSE(bus.address().empty());
  ProgramRun run = run_program({IGD1_BUILD_DIR "/igd1d", "--address", bus.address(), "--root", root_.dir()});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("cannot own the name com.wqx.igd1: "
                                 "org.freedesktop.DBus.Error.AccessDenied: "));
  EXPECT_THAT(run.err, HasSubstr("is not allowed to own the service \"com.wqx.igd1\""));
}

}  // namespace
}  // namespace igd1::test
