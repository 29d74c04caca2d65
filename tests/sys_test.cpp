// The root folder and the command runner.
#include <gtest/gtest.h>

#include <chrono>

#include "harness/bus_fixture.h"
#include "sys_paths.h"
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

}  // namespace
}  // namespace igd1::test
