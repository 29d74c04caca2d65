// igd1d with only the capabilities the service unit leaves it (no
// CAP_FOWNER, no CAP_DAC_OVERRIDE): it still replaces what another user put
// at its names in a sticky /tmp owned by root, keeps the earlier run's log,
// and serves.

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>

#include "harness/bus_fixture.h"

namespace igd1::test {
namespace {

constexpr uid_t kNobody = 65534;

// setpriv's options for the unit's CapabilityBoundingSet=, e.g.
// "--bounding-set=-all,+sys_admin,+sys_time".
std::string unit_bounding_set() {
  std::ifstream unit(IGD1_UNIT_FILE);
  std::string line, option = "--bounding-set=-all";
  while (std::getline(unit, line)) {
    if (!line.starts_with("CapabilityBoundingSet=")) continue;
    static const std::regex capability("CAP_([A-Z_]+)");
    for (std::sregex_iterator it(line.begin(), line.end(), capability), end; it != end; ++it) {
      std::string name = (*it)[1];
      for (char &c : name) c = char(g_ascii_tolower(c));
      option += ",+" + name;
    }
  }
  return option;
}

class UnitCapabilitiesTest : public DaemonTest {
 protected:
  // An entry of nobody's at a name igd1d uses.
  void plant(const char *fixed_path, const std::string &kind) {
    const std::string path = root_.path(fixed_path);
    if (kind == "dir") ASSERT_EQ(mkdir(path.c_str(), 0777), 0);
    else if (kind == "link") ASSERT_EQ(symlink(root_.path("/var/lib/igd1/secret").c_str(), path.c_str()), 0);
    else write_text_file(path, "planted\n");
    ASSERT_EQ(lchown(path.c_str(), kNobody, kNobody), 0) << path;
  }
};

TEST_F(UnitCapabilitiesTest, WithTheUnitsCapabilitiesItReplacesWhatOthersPutInTmp) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user and to drop capabilities";
  const std::string bounded = unit_bounding_set();
  ASSERT_NE(bounded.find("+sys_admin"), std::string::npos) << bounded;
  ASSERT_EQ(bounded.find("fowner"), std::string::npos) << bounded;
  ASSERT_EQ(chmod(root_.path("/tmp").c_str(), 01777), 0);  // sticky and root's, as /tmp is
  write_text_file(root_.path("/var/lib/igd1/secret"), "root only\n");
  write_text_file(root_.path(path::kSyslog), "earlier run\n");
  ASSERT_EQ(chmod(root_.path(path::kSyslog).c_str(), 0600), 0);
  plant(path::kSyslogPrevious, "file");
  plant(path::kNotifySocket, "link");
  plant(path::kDaemonSocket, "dir");

  DaemonProcess daemon({"--root", root_.dir()}, PrivateBus::address(),
                       {"setpriv", bounded, "--inh-caps=-all"});
  ASSERT_TRUE(wait_for_name(client_, host::kServiceName)) << read_text_file(daemon.output_file());
  ProgramRun told = debug_level_once_listening();
  EXPECT_EQ(told.status, 0) << told.output();
  // The earlier log took the place of nobody's file; the new one is root's.
  EXPECT_EQ(read_text_file(root_.path(path::kSyslogPrevious)), "earlier run\n");
  struct stat status = {};
  ASSERT_EQ(lstat(root_.path(path::kSyslogPrevious).c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, 0u);
  ASSERT_EQ(lstat(root_.path(path::kSyslog).c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_uid, 0u);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  for (const char *socket : {path::kNotifySocket, path::kDaemonSocket}) {
    ASSERT_EQ(lstat(root_.path(socket).c_str(), &status), 0) << socket;
    EXPECT_TRUE(S_ISSOCK(status.st_mode)) << socket;
    EXPECT_EQ(status.st_uid, 0u) << socket;
  }
  EXPECT_EQ(read_text_file(root_.path("/var/lib/igd1/secret")), "root only\n");
  EXPECT_EQ(daemon.stop(SIGTERM), 0);
}

}  // namespace
}  // namespace igd1::test
