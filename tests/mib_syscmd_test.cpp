// The configuration-library side of the system command and platform service
// objects: value rules, how a line registration ends, restores, upgrades and
// log uploads.

#include <chrono>
#include <thread>
#include <vector>

#include "mib_api.h"
#include "store_fixture.h"

namespace mib = igd1::mib;

namespace {

class SysCmdStoreTest : public igd1::mib::test::StoreTest {
 protected:
  static std::string last_system_action() {
    std::string text;
    for (const mib::JournalEntry &entry : mib::journal())
      if (entry.bit == MIB_JOURNAL_SYSTEM) text = entry.data;
    return text;
  }
};

int check(int index, std::string text) { return syscmd_set_mib_property_check(index, text.data()); }
int check(int index, uint8_t byte) { return syscmd_set_mib_property_check(index, &byte); }

TEST_F(SysCmdStoreTest, ValueRulesOfTheSystemCommands) {
  struct Case {
    int index;
    std::string text;
    int expected;
  } texts[] = {
      {6, "", 0}, {6, std::string(24, 'L'), 1}, {6, std::string(25, 'L'), 0},
      {6, "has space", 0}, {6, "tab\tbed", 0}, {6, "caf\xc3\xa9", 0}, {6, "a-B_9@x", 1},
      {8, "", 1}, {8, std::string(12, 'p'), 1}, {8, std::string(13, 'p'), 0},
      {3, std::string(63, 'p'), 1}, {3, std::string(64, 'p'), 0},
      {0, "1", 0}, {13, "x", 0}, {11, "x", 0}, {-1, "x", 0}, {17, "x", 0},
  };
  for (const Case &c : texts) EXPECT_EQ(check(c.index, c.text), c.expected) << c.index << " " << c.text;
  const struct {
    int index;
    uint8_t byte;
    int expected;
  } bytes[] = {{4, 0, 1}, {4, 1, 1}, {4, 2, 0}, {5, 0, 0}, {5, 1, 1}, {5, 100, 1}, {5, 101, 0}};
  for (const auto &c : bytes) EXPECT_EQ(check(c.index, c.byte), c.expected) << c.index << " " << int(c.byte);
}

TEST_F(SysCmdStoreTest, PlatformServiceTextRules) {
  const struct {
    int index;
    std::string text;
    int expected;
  } cases[] = {
      // Addresses.
      {4, "", 1}, {4, "dist.example.net", 1}, {13, "oper.example.net:9090", 1},
      {16, "192.168.1.10:80", 1}, {19, "[2001:db8::1]:443", 1},
      {4, "https://user:pw@dist.example.net:8443/a/b?c=d", 1}, {4, "http://10.0.0.1", 1},
      {4, "host:0", 0}, {4, "host:70000", 0}, {4, "-bad.example", 0}, {4, "1.2.3", 0},
      {4, "ftp://dist.example.net", 0}, {4, "https://", 0}, {4, "a b", 0},
      {4, "http://h.example/with space", 0}, {4, "h.example:80:81", 0}, {4, "[::1", 0},
      // Version and serial number.
      {9, "2.1.0", 1}, {9, "V3_1-beta", 1}, {9, "", 0}, {9, std::string(33, '1'), 0},
      {9, "2.1 beta", 0}, {10, "", 1}, {10, "AB-12", 1}, {10, std::string(65, 'a'), 0},
      {10, "a_b", 0},
      // Messages.
      {12, "connection refused", 1}, {15, "caf\xc3\xa9", 1}, {18, "line\nbreak", 0},
      {12, "\xff", 0}, {12, std::string(255, 'm'), 1}, {12, std::string(256, 'm'), 0},
      // Not texts, or not writable.
      {5, "8080", 0}, {1, "x", 0}, {20, "x", 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(platformservice_check_valid_property_value(c.index, c.text.c_str()), c.expected)
        << c.index << " '" << c.text << "'";
}

// ---- line registration -------------------------------------------------------------

// Stages far longer than the checks take on any machine: a registration's
// time passes when the test moves its start back.
constexpr int kStageMs = 600000;

// Starts a registration and reports where it stands once its time is over.
std::pair<int, std::string> register_line() {
  dbus_mib_update_cfg(MIB_CFG_LINE_REGISTRATION, nullptr, MIB_ACTION_APPLY);
  char text[64];
  EXPECT_EQ(checkLOID(text), 201);
  EXPECT_EQ(check_Register_Loid(), 1);
  const uint64_t started = std::stoull(mib::get_setting("register.StartMs").value_or("0"));
  EXPECT_TRUE(mib::set_setting("register.StartMs", std::to_string(started - 3 * kStageMs)));
  const int code = checkLOID(text);
  EXPECT_EQ(check_Register_Loid(), 0);
  return {code, text};
}

TEST_F(SysCmdStoreTest, RegistrationEndsAsTheLineAnswers) {
  ASSERT_TRUE(mib::set_setting("register.StageMs", std::to_string(kStageMs)));
  ASSERT_TRUE(mib::set_setting("register.Complete", "0"));
  const struct {
    std::vector<std::pair<const char *, const char *>> settings;
    int code;
    const char *text;
  } cases[] = {
      {{}, 200, "2"},
      {{{"pon.LOID", "0755210345"}}, 410, ""},
      {{{"pon.LOID", ""}}, 410, ""},
      {{{"pon.Password", "wrong"}}, 404, "1"},
      {{{"pon.Password", "wrong"}}, 404, "2"},
      {{{"pon.Password", "wrong"}}, 405, "3"},
      {{{"register.ITMSReachable", "0"}}, 205, ""},
      {{{"pon.GPONLinkState", "0"}}, 403, ""},
      {{{"pon.PONType", "2"}, {"pon.EPONLinkState", "2"}, {"register.ServiceCount", "3"}}, 200, "3"},
  };
  for (const auto &c : cases) {
    std::vector<std::pair<std::string, std::string>> saved;
    for (const auto &[name, value] : c.settings) {
      saved.emplace_back(name, setting(name));
      ASSERT_TRUE(mib::set_setting(name, value));
    }
    EXPECT_EQ(register_line(), std::make_pair(c.code, std::string(c.text)))
        << (c.settings.empty() ? "defaults" : c.settings[0].first);
    for (const auto &[name, value] : saved) ASSERT_TRUE(mib::set_setting(name, value));
  }
  // Only a registration that went through counts as complete, and it resets
  // the count of refused passwords.
  EXPECT_EQ(get_complete_Register(), 1);
  EXPECT_EQ(setting("register.FailedAttempts"), "0");
}

// ---- restore, upgrade, logs ------------------------------------------------------

TEST_F(SysCmdStoreTest, RestoreTakesEffectAtTheNextStart) {
  static const mib::Column kColumns[] = {{"Name", mib::ValueKind::Text, 1, 16}};
  static const mib::TableDef kConfig = {"syscmdprobe", "SysCmdProbe", 17, kColumns, 1, 8};
  static const mib::TableDef kData = {"syscmdprobedata", nullptr, 17, kColumns, 1, 8};
  ASSERT_TRUE(mib::register_table(kConfig));
  ASSERT_TRUE(mib::register_table(kData));
  uint8_t row[17] = {};
  ASSERT_TRUE(mib::table_insert(kConfig, row));
  ASSERT_TRUE(mib::table_insert(kData, row));

  // A local recovery (6) keeps the line, a full restore (8) does not; neither
  // touches the operator's side or what is measured.
  const struct {
    const char *name, *changed, *after_recovery, *after_restore;
  } settings[] = {{"syscmd.MemLimit", "50", "90", "90"},
                  {"dhcpserver.LeaseTime", "3600", "86400", "86400"},
                  {"leftover.Setting", "1", "<missing>", "<missing>"},
                  {"pon.LOID", "L-1", "L-1", "0755210344"},
                  {"syscmd.Province", "BJ", "BJ", ""},
                  {"register.OLTLOID", "L-1", "L-1", "L-1"},
                  {"pon.RXPower", "-21.5", "-21.5", "-21.5"},
                  {"syscmd.RestoreStatus", "6", "6", "6"}};
  for (const auto &c : settings) ASSERT_TRUE(mib::set_setting(c.name, c.changed));
  EXPECT_EQ(reset_cs_to_default(3), 0);
  for (int mode : {6, 8}) {
    ASSERT_EQ(reset_cs_to_default(mode), 1);
    for (const auto &c : settings)  // nothing changes before the start
      EXPECT_EQ(setting(c.name), mode == 6 ? c.changed : c.after_recovery) << c.name << " " << mode;
    ASSERT_EQ(init_Poll_UpgradeStatus_chg(), 1);
    for (const auto &c : settings)
      EXPECT_EQ(setting(c.name), mode == 6 ? c.after_recovery : c.after_restore) << c.name << " " << mode;
    EXPECT_EQ(setting("system.RestorePending"), "0");
  }
  EXPECT_TRUE(mib::table_rows(kConfig).empty());
  EXPECT_EQ(mib::table_rows(kData).size(), 1u);
  EXPECT_EQ(last_system_action(), "defaults restored, mode 8");
}

TEST_F(SysCmdStoreTest, UpgradeIsRefusedForBadUrlsAndWhileOneRuns) {
  EXPECT_EQ(UpgradeFirmeare(("http://fw.example.net/" + std::string(240, 'a')).c_str(), 1, 1, 0), 0);
  ASSERT_EQ(UpgradeFirmeare("http://fw.example.net/HG8G4_V3.1.3.0002.bin?t=1", 2, 3, 1), 1);
  EXPECT_EQ(setting("syscmd.UpgradeStatus"), "1");
  EXPECT_EQ(setting("syscmd.UpgradeSWVersion"), "V3.1.3.0002");
  EXPECT_EQ(UpgradeFirmeare("http://fw.example.net/other.bin", 1, 1, 0), 0);
  char text[256] = {};
  EXPECT_EQ(clearUpgradeFirmeareStatus(text), 1);
  EXPECT_STREQ(text, "upgrade in progress");

  ASSERT_TRUE(mib::set_setting("syscmd.UpgradeStatus", "3"));
  ASSERT_EQ(Syetem_cmd_get_sw_version(0), 1);  // the start after the upgrade
  EXPECT_EQ(setting("device.SoftwareVersion"), "V3.1.3.0002");
  EXPECT_EQ(clearUpgradeFirmeareStatus(text), 0);
  EXPECT_EQ(setting("syscmd.UpgradeStatus"), "0");
  ASSERT_EQ(UpgradeFirmeare("ftp://u:p@fw.example.net/pub/image.img", 1, 1, 0), 1);
  EXPECT_EQ(setting("syscmd.UpgradeSWVersion"), "image");
}

TEST_F(SysCmdStoreTest, LogUploadCountsTheLinesOfItsPeriod) {
  igd1::set_root_dir(dir_);
  std::filesystem::create_directories(dir_ + "/tmp");
  std::ofstream(igd1::sys_path(igd1::path::kSyslog))
      << "2026-01-01 08:00:00 [DBUS][INFO]: a\r\n"
      << "2026-01-01 09:30:00 [DBUS][INFO]: b\r\n"
      << "continued\r\n"
      << "2026-01-01 12:00:01 [DBUS][INFO]: c\r\n";
  const char *url = "https://logs.example.net/up";
  EXPECT_EQ(get_log("2026-01-01 08:00:00", "2026-01-01 12:00:00", url), 0);
  EXPECT_EQ(last_system_action(),
            "log upload to https://logs.example.net/up from '2026-01-01 08:00:00' to "
            "'2026-01-01 12:00:00' lines 2");
  EXPECT_EQ(get_log("", "", url), 0);
  EXPECT_EQ(last_system_action().substr(last_system_action().size() - 7), "lines 3");
  EXPECT_EQ(get_log("2026-01-02 00:00:00", "2026-01-01 00:00:00", url), 1);
  EXPECT_EQ(get_log("2026-01-01", "", url), 1);
  EXPECT_EQ(get_log("", "", "/tmp/log"), 2);

  // A link planted at the log's name is not followed.
  const std::string elsewhere = dir_ + "/elsewhere.txt";
  std::filesystem::rename(igd1::sys_path(igd1::path::kSyslog), elsewhere);
  std::filesystem::create_symlink(elsewhere, igd1::sys_path(igd1::path::kSyslog));
  EXPECT_EQ(get_log("", "", url), 0);
  EXPECT_EQ(last_system_action().substr(last_system_action().size() - 7), "lines 0");
}

}  // namespace
