// igd1d killed in the middle of a stream of writes, again and again: every
// write the bus answered with success is in the store at the next start, and
// the database stays whole.

#include <signal.h>

#include <atomic>
#include <random>

#include "harness/bus_fixture.h"
#include "store_fixture.h"

namespace igd1::test {
namespace {

constexpr char kManager[] = "/com/wqx/igd1/Config/PortMapping";
constexpr char kInterface[] = "com.wqx.igd1.PortMapping";
constexpr int kRounds = 20;

class StoreDurabilityTest : public DaemonTest {
 protected:
  // The new row's path, "" when AddObject failed.
  std::string add_object() {
    Variant reply = call(kManager, "com.wqx.igd1.ObjectManager", "AddObject", nullptr, nullptr, 5000);
    if (reply == nullptr) return {};
    const gchar *path = nullptr;
    g_variant_get(reply.get(), "(&o)", &path);
    return path;
  }
  bool set_port(const std::string &path, uint32_t port) {
    return call(path, "org.freedesktop.DBus.Properties", "Set",
                g_variant_new("(ssv)", kInterface, "ExternalPort", g_variant_new_uint32(port)), nullptr,
                5000) != nullptr;
  }
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
    eventually([&] { return writes.load() >= 5; });
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

TEST_F(StoreDurabilityTest, DamagedStoreIsReportedAndServedOnlyFromTheLastGoodCopy) {
  const std::string store = root_.path(path::kStoreFile);
  {
    DaemonProcess daemon({"--root", root_.dir()});
    ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
    ASSERT_FALSE(add_object().empty());
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(store + ".good"); }));
    EXPECT_EQ(daemon.stop(SIGTERM), 0);
  }
  mib::test::damage_table(store, "journal");
  ProgramRun journal = run_program({IGD1_BUILD_DIR "/igd1-mib", "--store", store, "journal"});
  EXPECT_EQ(journal.status, 1);
  EXPECT_NE(journal.output().find("the store is damaged"), std::string::npos) << journal.output();
  {
    // The daemon puts the damaged file aside and serves the copy.
    DaemonProcess daemon({"--root", root_.dir()});
    ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
    EXPECT_FALSE(add_object().empty());
    EXPECT_TRUE(std::filesystem::exists(store + ".damaged"));
    EXPECT_EQ(daemon.stop(SIGTERM), 0);
    std::string said = read_text_file(daemon.output_file()) + read_text_file(root_.path(path::kSyslog));
    EXPECT_NE(said.find("continuing with the last good copy"), std::string::npos) << said;
  }
  // Without a copy to fall back on it refuses to serve.
  std::filesystem::remove(store + ".good");
  mib::test::damage_table(store, "journal");
  DaemonProcess daemon({"--root", root_.dir()});
  EXPECT_EQ(daemon.wait_exit(std::chrono::seconds(10)), 1);
  std::string said = read_text_file(daemon.output_file());
  EXPECT_NE(said.find("the store is damaged"), std::string::npos) << said;
  EXPECT_NE(said.find("there is no last good copy"), std::string::npos) << said;
}

}  // namespace
}  // namespace igd1::test
