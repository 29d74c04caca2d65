// The root folder and the command runner.

#include <algorithm>
#include <cstdio>
#include <future>
#include <mutex>
#include <thread>

#include "harness/bus_fixture.h"
#include "harness/standin.h"
#include "host_api.h"
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
  std::string standin_log() { return test::standin_log(root_); }
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
  control_standin(root_, "umount", "out", "umount: /mnt/usb1: busy\n");
  control_standin(root_, "umount", "status", "32");
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
  RunResult result = run_command({"sleep", "3600"}, RunOptions{{}, 200});
  auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_TRUE(result.timed_out);
  EXPECT_EQ(result.exit_status, 128 + SIGKILL);
  EXPECT_LT(took, kPatience);
}

// Commands run from the main loop: the loop keeps serving while a child
// runs, results come back on the loop, a hung child is killed at its
// time-out.
class AsyncRunnerTest : public RunnerTest {
 protected:
  // Starts the command from this thread (not the loop's); its report comes
  // into `reported`.
  void start(const std::vector<std::string> &argv, const RunOptions &options,
             std::promise<RunResult> &reported) {
    run_async(argv, options, [&](const RunResult &r) {
      reported_on_ = g_thread_self();
      reported.set_value(r);
    });
  }
  RunResult run_and_wait(const std::vector<std::string> &argv, const RunOptions &options) {
    std::promise<RunResult> reported;
    auto result = reported.get_future();
    start(argv, options, reported);
    if (result.wait_for(kPatience) != std::future_status::ready) {
      ADD_FAILURE() << argv[0] << " was never reported";
      return {};
    }
    return result.get();
  }
  GThread *loop_thread() {
    GThread *thread = nullptr;
    loop_.run([&] { thread = g_thread_self(); });
    return thread;
  }
  bool started(const std::string &program) {
    return eventually([&] { return standin_log().find(program) != std::string::npos; });
  }

  MainLoopThread loop_;
  GThread *reported_on_ = nullptr;
};

// The program is held until the loop has run a task of the test's, so the
// task cannot have waited for the program.
TEST_F(AsyncRunnerTest, TheLoopServesWhileAProgramRuns) {
  control_standin(root_, "umount", "hold");
  std::promise<RunResult> reported;
  auto result = reported.get_future();
  start({"umount", "/dev/sda1"}, {}, reported);
  ASSERT_TRUE(started("umount"));
  auto served = std::async(std::launch::async, [&] {
    bool running = false;
    loop_.run([&] { running = result.wait_for(0s) != std::future_status::ready; });
    return running;
  });
  const bool loop_answered = served.wait_for(kPatience) == std::future_status::ready;
  release_standin(root_, "umount");
  EXPECT_TRUE(loop_answered) << "the loop waited for the program";
  EXPECT_TRUE(served.get()) << "the report came before the program ended";
  ASSERT_EQ(result.wait_for(kPatience), std::future_status::ready);
  EXPECT_TRUE(run_succeeded(result.get()));
  EXPECT_EQ(reported_on_, loop_thread());
}

// The start is held inside the child before it has become the program, where
// the starting thread waits; the loop serves meanwhile.
TEST_F(AsyncRunnerTest, TheLoopServesWhileAProgramIsStarting) {
  HeldStart held("umount");
  std::promise<RunResult> reported;
  auto result = reported.get_future();
  start({"umount", "/dev/sda1"}, {}, reported);
  ASSERT_TRUE(held.waiting());
  auto served = std::async(std::launch::async, [&] { loop_.run([] {}); });
  const bool loop_answered = served.wait_for(kPatience) == std::future_status::ready;
  held.release();
  EXPECT_TRUE(loop_answered) << "the loop waited for the program's start";
  ASSERT_EQ(result.wait_for(kPatience), std::future_status::ready);
  EXPECT_TRUE(run_succeeded(result.get()));
  EXPECT_EQ(standin_log(), "umount /dev/sda1\n");
}

// Programs that do not end keep their threads; one more is always ready for
// the next run, so a short program is reported while the long ones still run.
TEST_F(AsyncRunnerTest, ALongProgramNeverDelaysAShortOne) {
  constexpr int kLong = 6;
  control_standin(root_, "umount", "hold");
  std::promise<void> long_ones_done;
  auto all_long_done = long_ones_done.get_future();
  int long_reported = 0;  // on the loop
  loop_.run([&] {
    for (int i = 0; i < kLong; ++i)
      run_async({"umount", "/dev/sd" + std::string(1, char('a' + i))}, {}, [&](const RunResult &r) {
        EXPECT_TRUE(run_succeeded(r));
        if (++long_reported == kLong) long_ones_done.set_value();
      });
  });
  // Every one of them runs at once.
  EXPECT_TRUE(eventually([&] {
    const std::string log = standin_log();
    return std::count(log.begin(), log.end(), '\n') == kLong;
  })) << standin_log();
  RunResult result = run_and_wait({program::kRadioCtl, "status"}, {});
  EXPECT_TRUE(run_succeeded(result));
  bool long_ones_running = false;
  loop_.run([&] { long_ones_running = long_reported == 0; });
  EXPECT_TRUE(long_ones_running);
  release_standin(root_, "umount");
  EXPECT_EQ(all_long_done.wait_for(kPatience), std::future_status::ready);
}

TEST_F(AsyncRunnerTest, AHungProgramIsKilledAtItsTimeOut) {
  ASSERT_EQ(symlink("/bin/sleep", root_.path("/bin/sleep").c_str()), 0);
  const RunOptions options{{}, 1000};
  auto begin = std::chrono::steady_clock::now();
  RunResult result = run_and_wait({"sleep", "3600"}, options);
  EXPECT_TRUE(result.started);
  EXPECT_TRUE(result.timed_out);
  EXPECT_EQ(result.exit_status, 128 + SIGKILL);
  EXPECT_FALSE(run_succeeded(result));
  EXPECT_EQ(run_failure("sleep", result, options), "sleep was killed after 1000 ms");
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1000));
  EXPECT_EQ(reported_on_, loop_thread());
}

TEST_F(AsyncRunnerTest, ReportsOutputStatusAndProgramsThatCannotStart) {
  control_standin(root_, "umount", "out", "umount: /mnt/usb1: busy\n");
  control_standin(root_, "umount", "status", "32");
  RunResult result = run_and_wait({"umount", "/dev/sda1"}, {});
  EXPECT_TRUE(result.started);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_status, 32);
  EXPECT_EQ(result.output, "umount: /mnt/usb1: busy\n");
  EXPECT_EQ(run_failure(program::kUmount, result, {}), "umount exited with status 32");

  result = run_and_wait({program::kDate, "-s", "$(reboot)"}, {{}, 5000});
  EXPECT_TRUE(run_succeeded(result)) << run_failure(program::kDate, result, {});
  EXPECT_EQ(standin_log(), "umount /dev/sda1\ndate -s $(reboot)\n");

  // Reported on the loop, not from inside run_async.
  result = run_and_wait({"no-such-program"}, {});
  EXPECT_FALSE(result.started);
  EXPECT_EQ(run_failure("no-such-program", result, {}), "program not found: no-such-program");
  EXPECT_EQ(reported_on_, loop_thread());
}

// Operations of several steps: a chain of commands with one report, a
// bounded poll, a queue that never lets two long jobs of a module overlap,
// and a cancellable that follows the caller off the bus.
class StepsTest : public AsyncRunnerTest {
 protected:
  template <typename T>
  T wait(std::future<T> &result) {
    EXPECT_EQ(result.wait_for(kPatience), std::future_status::ready);
    return result.get();
  }
  struct Report {
    RunResult result;
    size_t step;
  };
  Report chain(std::vector<ChainStep> steps, GCancellable *cancellable = nullptr) {
    auto reports = std::make_shared<int>(0);
    std::promise<Report> reported;
    auto result = reported.get_future();
    loop_.run([&] {
      run_chain(steps, cancellable, [&, reports](const RunResult &r, size_t step) {
        if (++*reports == 1) reported.set_value({r, step});
      });
    });
    Report report = wait(result);
    loop_.run([] {});  // a second report would have come by now
    EXPECT_EQ(*reports, 1);
    return report;
  }
};

TEST_F(StepsTest, AChainRunsItsCommandsInOrderAndReportsOnceTheFirstThatFails) {
  const std::vector<ChainStep> steps = {
      {{"mkdir", "/mnt/usb1_1"}, {}}, {{"mount", "/dev/sda1", "/mnt/usb1_1"}, {}}, {{"usbmount"}, {}}};
  Report report = chain(steps);
  EXPECT_TRUE(run_succeeded(report.result));
  EXPECT_EQ(report.step, 2u);

  control_standin(root_, "mount", "status", "32");
  report = chain(steps);
  EXPECT_EQ(report.step, 1u);
  EXPECT_EQ(report.result.exit_status, 32);
  EXPECT_EQ(standin_log(),
            "mkdir /mnt/usb1_1\nmount /dev/sda1 /mnt/usb1_1\nusbmount\n"
            "mkdir /mnt/usb1_1\nmount /dev/sda1 /mnt/usb1_1\n");

  // Cancelled while its first command runs: that one finishes, no other starts.
  control_standin(root_, "mount", "status", "0");
  std::remove(root_.path(path::kStandinLog).c_str());
  control_standin(root_, "mkdir", "hold");
  GCancellable *cancel = g_cancellable_new();
  std::thread canceller([&] {
    if (started("mkdir")) g_cancellable_cancel(cancel);
    release_standin(root_, "mkdir");
  });
  report = chain(steps, cancel);
  canceller.join();
  EXPECT_FALSE(report.result.started);
  EXPECT_EQ(report.result.error, "cancelled");
  EXPECT_EQ(report.step, 1u);
  EXPECT_EQ(standin_log(), "mkdir /mnt/usb1_1\n");
  g_object_unref(cancel);
}

TEST_F(StepsTest, APollStopsWhenItsConditionHoldsOrAtItsLimit) {
  for (const int holds_at : {3, 0}) {
    int asked = 0;
    std::promise<bool> reported;
    auto result = reported.get_future();
    const auto begin = std::chrono::steady_clock::now();
    loop_.run([&] {
      poll_until(20, 5, [&] { return ++asked == holds_at; }, nullptr, [&](bool held) { reported.set_value(held); });
    });
    EXPECT_EQ(wait(result), holds_at != 0);
    EXPECT_EQ(asked, holds_at != 0 ? holds_at : 5);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(20 * asked));
  }
}

TEST_F(StepsTest, QueuedJobsOfAModuleNeverOverlap) {
  JobQueue queue;
  size_t running_after_first = 0;
  std::mutex mutex;
  std::vector<std::string> events;
  std::promise<void> all_done;
  auto done = all_done.get_future();
  auto job = [&](const std::string &name, bool last) {
    return [&, name, last](std::function<void()> finished) {
      {
        std::lock_guard lock(mutex);
        events.push_back("start " + name);
      }
      run_async({"usbformat", name}, {}, [&, name, last, finished](const RunResult &) {
        {
          std::lock_guard lock(mutex);
          events.push_back("end " + name);
        }
        finished();
        finished();  // a second report changes nothing
        if (!last) running_after_first = queue.pending();
        if (last) all_done.set_value();
      });
    };
  };
  loop_.run([&] {
    queue.push(job("sda1", false));
    queue.push(job("sdb1", true));
    EXPECT_EQ(queue.pending(), 2u);
  });
  EXPECT_EQ(done.wait_for(kPatience), std::future_status::ready);
  loop_.run([&] { EXPECT_EQ(queue.pending(), 0u); });
  EXPECT_EQ(running_after_first, 1u) << "the second job runs";
  EXPECT_EQ(events, (std::vector<std::string>{"start sda1", "end sda1", "start sdb1", "end sdb1"}));
}

// The first format is held until the test has seen that the second waits
// for it; the calls returned meanwhile, so they never wait for a format.
TEST_F(StepsTest, TheHostFormatsInTheBackgroundOneDiskAtATime) {
  control_standin(root_, "usbformat", "hold");
  const char *first[] = {program::kUsbFormat, "/dev/sda1", "/mnt/usb1_1", "fat", nullptr};
  const char *second[] = {"usbformat", "/dev/sdb1", "/mnt/usb2_1", "exfat", nullptr};
  const char *other[] = {program::kMount, "/dev/sda1", nullptr};
  const char *none[] = {nullptr};
  EXPECT_EQ(dbus_proxy_usbformat_thread_create_func(first), 1);
  EXPECT_EQ(dbus_proxy_usbformat_thread_create_func(second), 1);
  EXPECT_EQ(dbus_proxy_usbformat_thread_create_func(other), 0);
  EXPECT_EQ(dbus_proxy_usbformat_thread_create_func(none), 0);

  EXPECT_TRUE(started("sda1"));
  std::this_thread::sleep_for(100ms);  // room for a second format that would not wait
  EXPECT_EQ(standin_log(), "usbformat /dev/sda1 /mnt/usb1_1 fat\n");
  release_standin(root_, "usbformat");
  EXPECT_TRUE(started("sdb1"));
  EXPECT_EQ(standin_log(), "usbformat /dev/sda1 /mnt/usb1_1 fat\nusbformat /dev/sdb1 /mnt/usb2_1 exfat\n");
}

TEST_F(StepsTest, ACallersWatchIsCancelledWhenTheCallerLeavesTheBus) {
  auto connect = [] {
    return g_dbus_connection_new_for_address_sync(
        PrivateBus::address().c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
  };
  GDBusConnection *service = connect();
  GDBusConnection *caller = connect();
  ASSERT_TRUE(service && caller);
  std::shared_ptr<CallerWatch> watch;
  loop_.run([&] { watch = CallerWatch::start(service, g_dbus_connection_get_unique_name(caller)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(g_cancellable_is_cancelled(watch->cancellable())) << "the caller is still there";
  g_dbus_connection_close_sync(caller, nullptr, nullptr);
  EXPECT_TRUE(eventually([&] { return g_cancellable_is_cancelled(watch->cancellable()) != FALSE; }));
  loop_.run([&] { watch.reset(); });
  g_object_unref(caller);
  g_object_unref(service);
}

}  // namespace
}  // namespace igd1::test
