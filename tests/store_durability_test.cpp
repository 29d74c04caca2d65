// igd1d killed in the middle of a stream of writes, again and again: every
// write the bus answered with success is in the store at the next start, and
// the database stays whole.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>

#include "harness/bus_fixture.h"
#include "host.h"
#include "mib_store.h"
#include "sys_paths.h"

namespace igd1::test {
namespace {

constexpr char kManager[] = "/com/wqx/igd1/Config/PortMapping";
constexpr char kInterface[] = "com.wqx.igd1.PortMapping";
constexpr int kRounds = 20;

class StoreDurabilityTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(client_, nullptr); }
  void TearDown() override {
    if (client_ != nullptr) g_object_unref(client_);
  }
  // The new row's path, "" when AddObject failed.
  std::string add_object() {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        client_, host::kServiceName, kManager, "com.wqx.igd1.ObjectManager", "AddObject", nullptr,
        nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    if (reply == nullptr) return {};
    const gchar *path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    return path;
  }
  bool set_port(const std::string &path, uint32_t port) {
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        client_, host::kServiceName, path.c_str(), "org.freedesktop.DBus.Properties", "Set",
        g_variant_new("(ssv)", kInterface, "ExternalPort", g_variant_new_uint32(port)), nullptr,
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    return reply != nullptr;
  }

  GDBusConnection *client_ = connect_private_bus();
  TempRoot root_;
};

TEST_F(StoreDurabilityTest, AnsweredWritesSurviveTwentyKillsInTheMiddleOfAWriteLoop) {
  std::mt19937 random(12345);
  uint32_t next_port = 1;
  std::vector<std::pair<unsigned, uint32_t>> answered;  // (instance, last answered port)
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    DaemonProcess daemon({"--root", root_.dir()});
    ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
    std::string path = add_object();
    ASSERT_FALSE(path.empty());
    unsigned instance = static_cast<unsigned>(std::stoul(path.substr(path.rfind('/') + 1)));

    std::atomic<uint32_t> last_answered{0};
    std::atomic<int> writes{0};
    std::thread writer([&] {
      for (uint32_t port = next_port; port <= 65535; ++port) {
        if (!set_port(path, port)) return;
        last_answered.store(port);
        writes.fetch_add(1);
      }
    });
    // Kill at a random moment once some writes went through.
    for (int i = 0; i < 400 && writes.load() < 5; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40));
    EXPECT_EQ(daemon.stop(SIGKILL), 128 + SIGKILL);
    writer.join();
    ASSERT_GE(writes.load(), 5);
    answered.emplace_back(instance, last_answered.load());
    next_port = last_answered.load() + 2;  // past a write that may have been in flight

    ASSERT_TRUE(mib::open_store(root_.path(path::kStoreFile)));
    std::string report;
    EXPECT_TRUE(mib::check_integrity(&report)) << report;
    for (const auto &[row, port] : answered) {
      std::string stored = mib::get_cell("portmapping", row, "ExternalPort").value_or("0");
      // The write in flight at the kill may have been stored without an answer.
      EXPECT_GE(std::stoul(stored), port) << "row " << row;
      EXPECT_LE(std::stoul(stored), port + 1) << "row " << row;
    }
    mib::close_store();
  }
}

}  // namespace
}  // namespace igd1::test
