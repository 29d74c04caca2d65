// A local user floods igd1d with the kept fuzz inputs while another client
// keeps writing: the writer is answered throughout (short gaps while igd1d
// connects again), every acknowledged write is in the store afterwards and
// igd1d is still running.
//
// The bus is configured like the system bus, with the shipped policy.  Run
// as root, the flood comes from nobody (the policy lets every user read);
// otherwise from the test's own user, which the test's bus then lets own
// the name and write as root may.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <sstream>
#include <thread>

#include "harness/bus_fixture.h"

namespace igd1::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The flood: 100 inputs in 15 s, four times the rate of 100 a minute.
constexpr int kFloodCalls = 100;
constexpr double kFloodSeconds = 15;
// A gap this long between two acknowledged writes is reported.
constexpr auto kReportedGap = milliseconds(100);
constexpr uid_t kNobody = 65534;
constexpr char kDhcp[] = "/com/wqx/igd1/Config/DHCPServer";
constexpr char kDhcpInterface[] = "com.wqx.igd1.DHCPServer";

// A bus configured as a system bus (method calls denied unless a policy
// allows them) that includes the shipped policy of com.wqx.igd1.
std::string system_like_config(const std::string &dir) {
  std::string config =
      "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
      " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
      "<busconfig>\n"
      "  <type>system</type>\n"
      "  <listen>unix:path=" + dir + "/bus</listen>\n"
      "  <auth>EXTERNAL</auth>\n"
      "  <policy context=\"default\">\n"
      "    <allow user=\"*\"/>\n"
      "    <deny own=\"*\"/>\n"
      "    <deny send_type=\"method_call\"/>\n"
      "    <allow send_type=\"signal\"/>\n"
      "    <allow send_requested_reply=\"true\" send_type=\"method_return\"/>\n"
      "    <allow send_requested_reply=\"true\" send_type=\"error\"/>\n"
      "    <allow receive_type=\"method_call\"/>\n"
      "    <allow receive_type=\"method_return\"/>\n"
      "    <allow receive_type=\"error\"/>\n"
      "    <allow receive_type=\"signal\"/>\n"
      "    <allow send_destination=\"org.freedesktop.DBus\" send_interface=\"org.freedesktop.DBus\"/>\n"
      "  </policy>\n"
      "  <include>" IGD1_BUILD_DIR "/dist/com.wqx.igd1.conf</include>\n";
  if (geteuid() != 0)
    config += "  <policy user=\"" + std::to_string(geteuid()) +
              "\">\n    <allow own=\"com.wqx.igd1\"/>\n"
              "    <allow send_destination=\"com.wqx.igd1\"/>\n  </policy>\n";
  return config + "</busconfig>\n";
}

// The n-th value the writer offers: each write is a new LAN address, which
// the store journals with the notice that applies it.
std::string lan_address(int n) {
  return "10.1." + std::to_string(n / 250) + "." + std::to_string(n % 250 + 1);
}

struct WriterLog {
  std::vector<std::string> acknowledged;
  int failed = 0;
  std::vector<milliseconds> gaps;  // those of kReportedGap or longer
  milliseconds longest{};
};

class FloodTest : public testing::Test {
 protected:
  void SetUp() override {
    g_autofree gchar *dir = g_dir_make_tmp("igd1-flood-XXXXXX", nullptr);
    ASSERT_NE(dir, nullptr);
    dir_ = dir;
    // nobody reaches the bus socket in here.
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    write_text_file(dir_ + "/bus.conf", system_like_config(dir_));
    bus_ = std::make_unique<MessageBus>(dir_ + "/bus.conf");
    ASSERT_FALSE(bus_->address().empty()) << "dbus-daemon did not start";
    daemon_ = std::make_unique<DaemonProcess>(std::vector<std::string>{"--root", root_.dir()},
                                              bus_->address());
    client_ = connect_bus(bus_->address());
    ASSERT_NE(client_, nullptr);
    ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
  }
  void TearDown() override {
    if (client_ != nullptr) g_object_unref(client_);
    daemon_.reset();
    bus_.reset();
    std::filesystem::remove_all(dir_);
  }

  // The flood, as nobody when this test may switch users.
  GPid start_flood(const std::string &output) {
    std::vector<std::string> args;
    if (geteuid() == 0) args = {"setpriv", "--reuid=" + std::to_string(kNobody),
                                "--regid=" + std::to_string(kNobody), "--clear-groups"};
    args.insert(args.end(), {IGD1_BUILD_DIR "/igd1_flood_sender", bus_->address(),
                             std::to_string(kFloodCalls), std::to_string(kFloodSeconds)});
    for (const auto &entry : std::filesystem::directory_iterator(IGD1_FUZZ_INPUTS_DIR))
      args.push_back(entry.path());
    const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const GPid pid = spawn_with_output(std::move(args), fd, "the flood");
    close(fd);
    return pid;
  }

  std::string dir_;
  TempRoot root_;
  std::unique_ptr<MessageBus> bus_;
  std::unique_ptr<DaemonProcess> daemon_;
  GDBusConnection *client_ = nullptr;
};

TEST_F(FloodTest, TheWriterIsAnsweredAndNothingAcknowledgedIsLost) {
  std::atomic<bool> flooding{true};
  WriterLog log;
  std::thread writer([&] {
    GDBusConnection *own = connect_bus(bus_->address());
    ASSERT_NE(own, nullptr);
    Clock::time_point last_ack = Clock::now();
    // The last write is acknowledged, so that it is what the store holds.
    bool answered = false;
    for (int n = 0; flooding.load() || !answered; ++n) {
      const std::string address = lan_address(n);
      g_autoptr(GError) error = nullptr;
      Variant reply = call_service(own, kDhcp, "org.freedesktop.DBus.Properties", "Set",
                                   g_variant_new("(ssv)", kDhcpInterface, "IPAddr",
                                                 g_variant_new_string(address.c_str())),
                                   &error, 2000);
      answered = reply != nullptr;
      if (!reply) {
        ++log.failed;
        std::this_thread::sleep_for(milliseconds(5));
        continue;
      }
      const Clock::time_point now = Clock::now();
      const auto gap = std::chrono::duration_cast<milliseconds>(now - last_ack);
      if (gap >= kReportedGap) log.gaps.push_back(gap);
      log.longest = std::max(log.longest, gap);
      last_ack = now;
      log.acknowledged.push_back(address);
      // A steady writer, not a second flood.
      std::this_thread::sleep_for(milliseconds(20));
    }
    g_object_unref(own);
  });

  const std::string flood_output = dir_ + "/flood.out";
  const GPid flood = start_flood(flood_output);
  int flood_status = -1;
  if (flood > 0) waitpid(flood, &flood_status, 0);
  flooding = false;
  writer.join();
  const std::string sent = read_text_file(flood_output);
  EXPECT_TRUE(WIFEXITED(flood_status) && WEXITSTATUS(flood_status) == 0) << sent;

  const std::string output = read_text_file(daemon_->output_file());
  std::string gaps;
  for (milliseconds gap : log.gaps) gaps += " " + std::to_string(gap.count());
  std::printf("flood from %s: %s", geteuid() == 0 ? "nobody" : "the test's user", sent.c_str());
  std::printf("writer: %zu acknowledged, %d unanswered, longest gap %lld ms, gaps of %lld ms or more (ms):%s\n",
              log.acknowledged.size(), log.failed, static_cast<long long>(log.longest.count()),
              static_cast<long long>(kReportedGap.count()), gaps.c_str());
  RecordProperty("writes_acknowledged", int(log.acknowledged.size()));
  RecordProperty("longest_gap_ms", int(log.longest.count()));
  RecordProperty("gaps_over_100ms", int(log.gaps.size()));

  // The flood reached igd1d: the undecodable inputs closed its connection
  // (their calls went unanswered), and it connected again each time.
  EXPECT_THAT(sent, ContainsRegex("unanswered [1-9]"));
  EXPECT_THAT(output, HasSubstr("the bus connection closed"));
  EXPECT_EQ(daemon_->wait_exit(milliseconds(0)), -1) << "igd1d ended:\n" << output;
  // A writer kept waiting by the flood would see gaps as long as the flood
  // (15 s); the figures are printed above.
  EXPECT_GT(log.acknowledged.size(), 10u);
  EXPECT_LT(log.longest, std::chrono::milliseconds(7500));

  // Every acknowledged address was journaled, in the order written, and the
  // last is the one stored.  The daemon records its notices a few
  // milliseconds after the write they belong to: the journal is read again
  // for a while until it holds them all.
  ASSERT_FALSE(log.acknowledged.empty());
  size_t next = 0;
  eventually([&] {
    const ProgramRun journal =
        run_program({IGD1_BUILD_DIR "/igd1-mib", "--store", root_.path(path::kStoreFile), "journal"});
    EXPECT_EQ(journal.status, 0) << journal.err;
    next = 0;
    std::istringstream lines(journal.out);
    for (std::string line; std::getline(lines, line) && next < log.acknowledged.size();)
      if (line.ends_with("\t0x8\t3\t" + log.acknowledged[next])) ++next;
    return journal.status != 0 || next == log.acknowledged.size();
  });
  EXPECT_EQ(next, log.acknowledged.size())
      << "acknowledged but not journaled: " << log.acknowledged[std::min(next, log.acknowledged.size() - 1)];
  const ProgramRun stored =
      run_program({IGD1_BUILD_DIR "/igd1-mib", "--store", root_.path(path::kStoreFile), "get", "lan.IPAddress"});
  EXPECT_EQ(stored.out, log.acknowledged.back() + "\n");
}

}  // namespace
}  // namespace igd1::test
