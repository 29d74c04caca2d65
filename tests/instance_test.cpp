// Start-up safety of igd1d: one daemon per root, and a bus that refuses the
// name is reported with its own words.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "harness/bus_fixture.h"
#include "host.h"
#include "sys_paths.h"

namespace igd1::test {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;

// Exit status and standard error of igd1d run to its end (at most 20 s).
std::pair<int, std::string> run_daemon(std::vector<std::string> args) {
  args.insert(args.begin(), IGD1_BUILD_DIR "/igd1d");
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  g_autofree gchar *err = nullptr;
  gint wait_status = 0;
  EXPECT_TRUE(g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_STDOUT_TO_DEV_NULL, nullptr,
                           nullptr, nullptr, &err, &wait_status, nullptr));
  return {WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1, err != nullptr ? err : ""};
}

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

TEST(InstanceTest, ASecondDaemonOnTheSameRootLeavesTheFirstUntouched) {
  TempRoot root;
  GDBusConnection *client = connect_private_bus();
  ASSERT_NE(client, nullptr);
  DaemonProcess first({"--root", root.dir()});
  ASSERT_TRUE(wait_for_name(client, host::kServiceName));
  const std::string owner = name_owner(client);
  const std::string log_file = root.path(path::kSyslog);
  std::string log_before;
  for (int i = 0; i < 300 && log_before.find("Acquired") == std::string::npos; ++i) {
    std::this_thread::sleep_for(10ms);
    log_before = read_text_file(log_file);
  }
  ASSERT_THAT(log_before, HasSubstr("Acquired the name"));
  EXPECT_EQ(read_text_file(root.path(path::kDaemonPidFile)), std::to_string(first.pid()) + "\n");
  const FileState heartbeat = state_of(root.path(path::kDaemonSocket));
  const FileState notify = state_of(root.path(path::kNotifySocket));
  const FileState store = state_of(root.path(path::kStoreFile));
  ASSERT_TRUE(heartbeat.exists && notify.exists && store.exists);

  auto [status, err] = run_daemon({"--address", PrivateBus::address(), "--root", root.dir()});
  EXPECT_EQ(status, 1);
  EXPECT_THAT(err, HasSubstr("another igd1d (pid " + std::to_string(first.pid()) + ") is running"));

  // The first daemon's files are the same files (its heartbeat socket was
  // not replaced), its log was not cut and it still owns the name.
  EXPECT_EQ(state_of(root.path(path::kDaemonSocket)).inode, heartbeat.inode);
  EXPECT_EQ(state_of(root.path(path::kNotifySocket)).inode, notify.inode);
  EXPECT_EQ(state_of(root.path(path::kStoreFile)).inode, store.inode);
  EXPECT_EQ(read_text_file(root.path(path::kDaemonPidFile)), std::to_string(first.pid()) + "\n");
  const std::string log_after = read_text_file(log_file);
  EXPECT_EQ(log_after.compare(0, log_before.size(), log_before), 0) << "the log was rewritten";
  EXPECT_EQ(log_after.find('\0'), std::string::npos);
  EXPECT_EQ(name_owner(client), owner);
  EXPECT_EQ(first.stop(SIGTERM), 0);

  // Once it has ended, the next daemon starts.
  DaemonProcess next({"--root", root.dir()});
  EXPECT_TRUE(wait_for_name(client, host::kServiceName));
  EXPECT_EQ(next.stop(SIGTERM), 0);
  g_object_unref(client);
}

// A bus whose policy lets nobody own the service name.
class RefusingBus {
 public:
  explicit RefusingBus(const TempRoot &root) {
    const std::string config = root.path("/tmp/refusing-bus.conf");
    write_text_file(config,
                    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\""
                    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">"
                    "<busconfig><type>session</type><listen>unix:dir=" + root.path("/tmp") +
                        "</listen><auth>EXTERNAL</auth>"
                        "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                        "<allow eavesdrop=\"true\"/>"
                        "<allow own=\"*\"/><deny own=\"com.wqx.igd1\"/></policy></busconfig>");
    const std::string config_arg = "--config-file=" + config;
    const gchar *argv[] = {"dbus-daemon", config_arg.c_str(), "--nofork", "--print-address=1", nullptr};
    gint out_fd = -1;
    g_autoptr(GError) error = nullptr;
    if (!g_spawn_async_with_pipes(nullptr, const_cast<gchar **>(argv), nullptr,
                                  GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDERR_TO_DEV_NULL),
                                  nullptr, nullptr, &pid_, nullptr, &out_fd, nullptr, &error)) {
      ADD_FAILURE() << error->message;
      return;
    }
    g_autoptr(GIOChannel) out = g_io_channel_unix_new(out_fd);
    g_io_channel_set_close_on_unref(out, TRUE);
    g_autofree gchar *line = nullptr;
    gsize end = 0;
    g_io_channel_read_line(out, &line, nullptr, &end, nullptr);
    if (line != nullptr) address_.assign(line, end);
  }
  ~RefusingBus() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  const std::string &address() const { return address_; }

 private:
  GPid pid_ = 0;
  std::string address_;
};

TEST(InstanceTest, ANameTheBusRefusesIsReportedWithTheBusError) {
  TempRoot root;
  RefusingBus bus(root);
  ASSERT_FALSE(bus.address().empty());
  auto [status, err] = run_daemon({"--address", bus.address(), "--root", root.dir()});
  EXPECT_EQ(status, 1);
  EXPECT_THAT(err, HasSubstr("cannot own the name com.wqx.igd1: "
                             "org.freedesktop.DBus.Error.AccessDenied: "));
  EXPECT_THAT(err, HasSubstr("is not allowed to own the service \"com.wqx.igd1\""));
}

}  // namespace
}  // namespace igd1::test
