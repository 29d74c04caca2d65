// The root folder and the command runner.

#include <future>

#include "harness/bus_fixture.h"
#include "sys_run.h"

namespace igd1::test {
namespace {

TEST(SysPathTest, FixedPathsMoveUnderTheRoot) {
  set_root_dir("/srv/gw/");
  EXPECT_EQ(root_dir(), "/srv/gw");
  EXPECT_EQ(sys_path(path::kSyslog), "/srv/gw/tmp/syslog.txt");

  char small[16];
  EXPECT_FALSE(sys_path_into(path::kSyslog, small, sizeof small));
  EXPECT_STREQ(small, "");
  char exact[sizeof "/srv/gw/tmp/syslog.txt"];
  EXPECT_TRUE(sys_path_into(path::kSyslog, exact, sizeof exact));
  EXPECT_STREQ(exact, "/srv/gw/tmp/syslog.txt");

  // The production layout: paths are used as written.
  set_root_dir("/");
  EXPECT_EQ(sys_path(path::kSyslog), "/tmp/syslog.txt");
  set_root_dir("");
  EXPECT_EQ(sys_path(path::kDbusXmlDir), "/etc/dbusxml/");
}

class RunnerTest : public testing::Test {
 protected:
  std::string standin_log() { return read_text_file(root_.path(path::kStandinLog)); }
  TempRoot root_;
};

// Bare names are searched in the root's program folders; shell syntax in an
// argument stays one literal argument.
TEST_F(RunnerTest, RunsTheProgramUnderTheRootWithArgumentsVerbatim) {
  EXPECT_EQ(resolve_program("clock"), root_.path("/sbin/clock"));
  EXPECT_EQ(resolve_program("restore"), root_.path("/bin/restore"));
  EXPECT_EQ(resolve_program("../bin/date"), "");
  RunResult result = run_command({program::kDate, "-s", "2026-01-01 00:00:00'; reboot; '$(id)"});
  ASSERT_TRUE(result.started) << result.error;
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(standin_log(), "date -s 2026-01-01 00:00:00'; reboot; '$(id)\n");
  result = run_command({"no-such-program"});
  EXPECT_FALSE(result.started);
  EXPECT_NE(result.error.find("no-such-program"), std::string::npos);
}

TEST_F(RunnerTest, CapturesOutputAndExitStatus) {
  write_text_file(root_.path("/var/lib/igd1-standin/umount.out"), "umount: /mnt/usb1: busy\n");
  write_text_file(root_.path("/var/lib/igd1-standin/umount.status"), "32");
  RunResult result = run_command({"umount", "/dev/sda1"});
  ASSERT_TRUE(result.started);
  EXPECT_EQ(result.exit_status, 32);
  EXPECT_EQ(result.output, "umount: /mnt/usb1: busy\n");
}

TEST_F(RunnerTest, PassesExtraEnvironmentToTheChildOnly) {
  // A stand-in that prints its environment is the kernel's own env reader.
  ASSERT_EQ(symlink("/usr/bin/env", root_.path("/bin/env").c_str()), 0);
  RunResult result = run_command({"env"}, RunOptions{{{"ACTION", "remove"}, {"DEVPATH", "sda1"}}});
  ASSERT_TRUE(result.started) << result.error;
  EXPECT_NE(result.output.find("ACTION=remove\n"), std::string::npos);
  EXPECT_NE(result.output.find("DEVPATH=sda1\n"), std::string::npos);
  EXPECT_EQ(g_getenv("ACTION"), nullptr);

  // The stand-in programs record the environment they were given.
  result = run_command({program::kUsbMount}, RunOptions{{{"ACTION", "add"}, {"DEVPATH", "sdb1"}}});
  ASSERT_TRUE(run_succeeded(result)) << result.error;
  const std::string recorded = read_text_file(root_.path(path::kStandinEnvLog));
  EXPECT_EQ(recorded.rfind("usbmount\t", 0), 0u) << recorded;
  EXPECT_NE(recorded.find("\tACTION=add\t"), std::string::npos) << recorded;
  EXPECT_NE(recorded.find("\tDEVPATH=sdb1"), std::string::npos) << recorded;
}

TEST_F(RunnerTest, KillsAChildThatOutlivesItsTimeOut) {
  ASSERT_EQ(symlink("/bin/sleep", root_.path("/bin/sleep").c_str()), 0);
  auto begin = std::chrono::steady_clock::now();
  RunResult result = run_command({"sleep", "5"}, RunOptions{{}, 200});
  auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_TRUE(result.timed_out);
  EXPECT_EQ(result.exit_status, 128 + SIGKILL);
  EXPECT_LT(took, std::chrono::seconds(4));
}

// Commands run from the main loop: the loop keeps serving while a child
// runs, results come back on the loop, a hung child is killed at its
// time-out.
class AsyncRunnerTest : public RunnerTest {
 protected:
  // Runs the command from this thread (not the loop's) and waits for its
  // report, measuring meanwhile how long the loop takes to run a task.
  RunResult run_and_watch(const std::vector<std::string> &argv, const RunOptions &options) {
    std::promise<RunResult> reported;
    auto result = reported.get_future();
    run_async(argv, options, [&](const RunResult &r) {
      reported_on_ = g_thread_self();
      reported.set_value(r);
    });
    slowest_loop_task_ = std::chrono::milliseconds(0);
    while (result.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
      auto begin = std::chrono::steady_clock::now();
      loop_.run([] {});
      slowest_loop_task_ = std::max(slowest_loop_task_, std::chrono::steady_clock::now() - begin);
    }
    return result.get();
  }
  GThread *loop_thread() {
    GThread *thread = nullptr;
    loop_.run([&] { thread = g_thread_self(); });
    return thread;
  }

  MainLoopThread loop_;
  GThread *reported_on_ = nullptr;
  std::chrono::steady_clock::duration slowest_loop_task_{};
};

TEST_F(AsyncRunnerTest, AHungProgramIsKilledAtItsTimeOutWhileTheLoopServes) {
  ASSERT_EQ(symlink("/bin/sleep", root_.path("/bin/sleep").c_str()), 0);
  const RunOptions options{{}, 1000};
  auto begin = std::chrono::steady_clock::now();
  RunResult result = run_and_watch({"sleep", "3600"}, options);
  auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_TRUE(result.started);
  EXPECT_TRUE(result.timed_out);
  EXPECT_EQ(result.exit_status, 128 + SIGKILL);
  EXPECT_FALSE(run_succeeded(result));
  EXPECT_EQ(run_failure("sleep", result, options), "sleep was killed after 1000 ms");
  EXPECT_GE(took, std::chrono::milliseconds(1000));
  EXPECT_LT(took, std::chrono::milliseconds(2500));
  EXPECT_LT(slowest_loop_task_, std::chrono::milliseconds(100));
  EXPECT_EQ(reported_on_, loop_thread());
}

TEST_F(AsyncRunnerTest, ReportsOutputStatusAndProgramsThatCannotStart) {
  write_text_file(root_.path("/var/lib/igd1-standin/umount.out"), "umount: /mnt/usb1: busy\n");
  write_text_file(root_.path("/var/lib/igd1-standin/umount.status"), "32");
  RunResult result = run_and_watch({"umount", "/dev/sda1"}, {});
  EXPECT_TRUE(result.started);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_status, 32);
  EXPECT_EQ(result.output, "umount: /mnt/usb1: busy\n");
  EXPECT_EQ(run_failure(program::kUmount, result, {}), "umount exited with status 32");

  result = run_and_watch({program::kDate, "-s", "$(reboot)"}, {{}, 5000});
  EXPECT_TRUE(run_succeeded(result)) << run_failure(program::kDate, result, {});
  EXPECT_EQ(standin_log(), "umount /dev/sda1\ndate -s $(reboot)\n");

  // Reported on the loop, not from inside run_async.
  result = run_and_watch({"no-such-program"}, {});
  EXPECT_FALSE(result.started);
  EXPECT_EQ(run_failure("no-such-program", result, {}), "program not found: no-such-program");
  EXPECT_EQ(reported_on_, loop_thread());
}

}  // namespace
}  // namespace igd1::test
