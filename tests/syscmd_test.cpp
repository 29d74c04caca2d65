// The system command object over the bus, against the SQLite store, on
// hosts of service type 0 and 1.

#include <cstdio>
#include <tuple>

#include "harness/standin.h"
#include "mib_api.h"
#include "object_client.h"
#include "syscmd.h"

namespace igd1::test {
namespace {

constexpr char kPath[] = "/com/wqx/igd1/Ovatrix/System";
constexpr char kInterface[] = "com.wqx.igd1.SysCmd";
using Reply = std::pair<uint32_t, std::string>;
const Reply kRefused{~0u, std::string(kInterface) + ": Invalid parameter value"};
constexpr ObjectUnderTest kSystem{kPath, kInterface};

class SysCmdTest : public OneObjectTest<kSystem> {
 protected:
  void use_service_type(int type) { host::settings().service_type = type; }

  // A command's (result, text), or (~0, error name: message) when it fails.
  Reply command(const char *method, GVariant *args = nullptr) {
    g_autoptr(GError) error = nullptr;
    Variant out = call(kPath, kInterface, method, args, &error);
    if (!out) {
      auto [name, message] = remote_error(error);
      return {~0u, name + ": " + message};
    }
    guint32 result = 0;
    const gchar *text = nullptr;
    g_variant_get(out.get(), "(u&s)", &result, &text);
    return {result, text};
  }
  std::string printed_call(const char *method) {
    return printed(call(kPath, kInterface, method, nullptr, nullptr).get());
  }
  static void set(const char *name, const std::string &value) { ASSERT_TRUE(mib::set_setting(name, value)); }
  std::string standin_log() { return test::standin_log(root()); }
};

GVariant *text_args(const std::string &text) { return g_variant_new("(s)", text.c_str()); }

// ---- line registration -----------------------------------------------------------------

TEST_F(SysCmdTest, RegistrationStatusTextsDependOnTheServiceType) {
  const struct {
    int service_type;
    int code;
    const char *store_text;
    bool complete;
    Reply expected;
  } cases[] = {
      {0, 205, "", false, {205, "RegisterStatus=ITMS_NOT_REACHABLE"}},
      {1, 205, "", false, {500, ""}},
      {0, 201, "35", false, {201, "RegisterStatus=REGISTER_OLT&PERCENTAGE=35"}},
      {1, 201, "35", false, {201, "RegisterStatus=REGISTER_OLT&RegisterResult=35"}},
      {1, 410, "", true, {201, "RegisterStatus=REGISTER_OLT&RegisterResult=20"}},
      {1, 410, "", false, {410, "RegisterStatus=REGISTER_OLT_FAIL"}},
      {0, 410, "", true, {410, "RegisterStatus=REGISTER_OLT_FAIL"}},
      {0, 405, "3", false, {405, "RegisterStatus=REGISTER_NOMATCH_LIMITED"}},
      {1, 405, "3", false, {405, "RegisterStatus=REGISTER_NOMATCH_LIMITED&RegisterResult=3"}},
      {0, 200, "2", true, {200, "RegisterStatus=REGISTER_OK&BUSINESS_NUMBER=2"}},
      {0, 500, "x", false, {500, ""}},
      {0, 999, "x", false, {500, ""}},
  };
  for (const auto &c : cases) {
    use_service_type(c.service_type);
    set("register.Status", std::to_string(c.code));
    set("register.StatusText", c.store_text);
    set("register.Complete", c.complete ? "1" : "0");
    EXPECT_EQ(command(c.service_type == 1 ? "RegisterGetStat" : "CheckLOID"), c.expected)
        << "type " << c.service_type << " code " << c.code;
  }
}

TEST_F(SysCmdTest, ADarkLineOverridesTheRegistrationStatus) {
  set("register.Status", "200");
  set("register.StatusText", "2");
  const Reply registered{200, "RegisterStatus=REGISTER_OK&BUSINESS_NUMBER=2"};
  const Reply dark{401, "RegisterStatus=REGISTER_DEFAULT"};
  const Reply cut{410, "RegisterStatus=REGISTER_OLT_FAIL"};
  const struct {
    int service_type, province, pon_mode, gpon, epon;
    const char *power;
    Reply expected;
  } cases[] = {
      {0, 14, 1, 0, 1, "-40.0", cut},
      {0, 14, 1, 0, 1, "-35.0", dark},
      {0, 14, 1, 0, 1, "-20.0", registered},
      {0, 14, 1, 1, 0, "-40.0", registered},
      {0, 14, 2, 1, 2, "-40.0", registered},
      {0, 14, 2, 1, 3, "-40.0", cut},
      {0, 14, 3, 1, 1, "-40.0", cut},  // an unknown mode has no link
      {0, 0, 1, 0, 1, "-40.0", dark},
      {1, 14, 1, 0, 1, "-40.0", {401, "RegisterStatus=REGISTER_DEFAULT"}},
  };
  for (const auto &c : cases) {
    use_service_type(c.service_type);
    host::settings().province = c.province;
    set("pon.PONType", std::to_string(c.pon_mode));
    set("pon.GPONLinkState", std::to_string(c.gpon));
    set("pon.EPONLinkState", std::to_string(c.epon));
    set("pon.RXPower", c.power);
    const Reply expected =
        c.service_type == 1 && c.expected == registered
            ? Reply{200, "RegisterStatus=REGISTER_OK&RegisterServiceResult=2"}
            : c.expected;
    EXPECT_EQ(command(c.service_type == 1 ? "RegisterGetStat" : "CheckLOID"), expected)
        << "type " << c.service_type << " province " << c.province << " mode " << c.pon_mode
        << " power " << c.power;
  }
}

// The registration's stages last ten minutes: the test moves its start back
// to let a stage pass.
TEST_F(SysCmdTest, LineRegistrationOnServiceTypeZeroCanBeWatched) {
  constexpr uint64_t kStageMs = 600000;
  set("register.StageMs", std::to_string(kStageMs));
  int64_t before = journal_end();
  EXPECT_EQ(command("SetLOID", g_variant_new("(sss)", "0755210344", "88412210", "GD")),
            Reply(0, "none!"));
  EXPECT_TRUE(notices_since(before).empty());
  EXPECT_EQ(read("Province"), "'GD'");

  before = journal_end();
  EXPECT_EQ(command("RegisterLOID"), Reply(0, ""));
  EXPECT_TRUE(wqregtime_start.tv_sec != 0 || wqregtime_start.tv_nsec != 0);
  EXPECT_THAT(notices_since(before), Contains(Pair(uint32_t(MIB_CFG_LINE_REGISTRATION), 255)));
  // What a client polling the registration sees as its stages pass.
  const auto stage_passes = [&] {
    set("register.StartMs", std::to_string(std::stoull(setting("register.StartMs")) - kStageMs));
  };
  Reply now = command("CheckLOID");
  EXPECT_EQ(now.first, 201u);
  EXPECT_THAT(now.second, StartsWith("RegisterStatus=REGISTER_OLT&PERCENTAGE="));
  stage_passes();
  now = command("CheckLOID");
  EXPECT_EQ(now.first, 202u);
  EXPECT_THAT(now.second, StartsWith("RegisterStatus=REGISTER_OK_DOWN_BUSINESS&PERCENTAGE="));
  stage_passes();
  EXPECT_EQ(command("CheckLOID"), Reply(200, "RegisterStatus=REGISTER_OK&BUSINESS_NUMBER=2"));
}

TEST_F(SysCmdTest, RegisterOnServiceTypeOneStoresAndStartsOnce) {
  use_service_type(1);
  set("register.StageMs", "5000");
  EXPECT_EQ(command("Register", g_variant_new("(sss)", std::string(25, 'L').c_str(), "", "BJ")),
            kRefused);
  EXPECT_EQ(setting("pon.LOID"), "0755210344");

  int64_t before = journal_end();
  EXPECT_EQ(command("Register", g_variant_new("(sss)", "0755210344", "88412210", "BJ")),
            Reply(0, "none!"));
  EXPECT_EQ(read("Province"), "'BJ'");
  EXPECT_EQ(command("RegisterGetStat").first, 201u);
  // While it runs, a second request stores nothing and starts nothing.
  EXPECT_EQ(command("Register", g_variant_new("(sss)", "OTHER", "", "SH")), Reply(0, "none!"));
  EXPECT_EQ(setting("pon.LOID"), "0755210344");
  EXPECT_EQ(read("Province"), "'BJ'");
  int starts = 0;
  for (const auto &[bit, action] : notices_since(before)) starts += bit == MIB_CFG_LINE_REGISTRATION;
  EXPECT_EQ(starts, 1);
}

TEST_F(SysCmdTest, SetLoidKeepsThePreviousCredentialsWhenAsked) {
  const struct {
    const char *keep;
    int province;
    bool kept;
  } cases[] = {{"0", 0, false}, {"1", 0, true}, {"0", 3, true}};
  for (const auto &c : cases) {
    set("syscmd.PreviousLOID", "");
    set("syscmd.KeepPreviousLOID", c.keep);
    host::settings().province = c.province;
    ASSERT_EQ(command("SetLOID", g_variant_new("(sss)", "L-2", "pw", "")), Reply(0, "none!"));
    EXPECT_EQ(setting("syscmd.PreviousLOID"), c.kept ? "L-2" : "") << c.keep << c.province;
    EXPECT_EQ(setting("syscmd.PreviousLOIDPassword"), c.kept ? "pw" : "") << c.keep << c.province;
  }
  // A failed store is reported; the other stores still happen.
  mib::fail_accessor("syscmd_set_mib_property", 6);
  EXPECT_EQ(command("SetLOID", g_variant_new("(sss)", "L-3", "pw3", "")), Reply(9002, "Internal error"));
  EXPECT_EQ(setting("pon.Password"), "pw3");
  EXPECT_EQ(setting("pon.LOID"), "L-2");
}

// ---- passwords --------------------------------------------------------------------

TEST_F(SysCmdTest, PasswordsHaveOneToThirtyCharacters) {
  for (const char *method : {"CheckUAPasswd", "SetUAPasswd", "CheckTAPasswd"}) {
    EXPECT_EQ(command(method, text_args("")), kRefused) << method;
    EXPECT_EQ(command(method, text_args(std::string(31, 'p'))), kRefused) << method;
  }
  const std::string thirty(30, 'p');
  EXPECT_EQ(command("CheckUAPasswd", text_args(thirty)), Reply(1, "CheckUAPasswd failed!"));
  int64_t before = journal_end();
  EXPECT_EQ(command("SetUAPasswd", text_args(thirty)), Reply(0, "none!"));
  EXPECT_THAT(notices_since(before), Contains(Pair(uint32_t(MIB_CFG_USER_PASSWORD), 255)));
  EXPECT_EQ(command("CheckUAPasswd", text_args(thirty)), Reply(0, "none!"));
  EXPECT_EQ(printed_call("GetUAPasswd"), "('" + thirty + "', uint32 0, 'get GetUAPasswd success')");

  mib::fail_accessor("syscmd_set_mib_property", 12);
  before = journal_end();
  EXPECT_EQ(command("SetUAPasswd", text_args("other")), Reply(9002, "Internal error"));
  EXPECT_TRUE(notices_since(before).empty());
  mib::fail_accessor("syscmd_get_mib_property", 12);
  EXPECT_EQ(command("CheckUAPasswd", text_args(thirty)), Reply(1, "CheckUAPasswd failed!"));
  EXPECT_EQ(printed_call("GetUAPasswd"), "('', uint32 1, 'get GetUAPasswd failed')");
}

TEST_F(SysCmdTest, SuperUserPasswordIsCheckedByTheStore) {
  EXPECT_EQ(command("CheckTAPasswd", text_args("WqxAdm2210")), Reply(0, "none!"));
  EXPECT_EQ(command("CheckTAPasswd", text_args("WqxAdm22100")), Reply(2, "CheckTAPasswd failed!"));
  EXPECT_EQ(printed_call("GetTAPasswd"), "('WqxAdm2210', uint32 0, 'get GetTAPasswd success')");
  mib::fail_accessor("syscmd_get_mib_property", 13);
  EXPECT_EQ(command("CheckTAPasswd", text_args("WqxAdm2210")), Reply(1, "Get MIB_SUSER_PASSWORD fail!"));
  EXPECT_EQ(printed_call("GetTAPasswd"), "('', uint32 1, 'get GetTAPasswd failed')");
}

// ---- uploads ----------------------------------------------------------------------

TEST_F(SysCmdTest, UploadsTakeKnownCategoriesAndBoundedUrls) {
  const std::string url = "https://diag.example.net/upload";
  int64_t before = journal_end();
  for (const char *category : {"all", "ALL ", "", "EVERYTHING"}) {
    EXPECT_EQ(command("UploadTroubleLocatingInfo", g_variant_new("(ss)", url.c_str(), category)),
              kRefused) << category;
    EXPECT_EQ(command("StartCollectionDebugInfo", g_variant_new("(ssq)", url.c_str(), category, 30)),
              kRefused) << category;
  }
  const std::string long_url = "https://diag.example.net/" + std::string(231, 'u');
  EXPECT_EQ(command("UploadTroubleLocatingInfo", g_variant_new("(ss)", long_url.c_str(), "ALL")),
            kRefused);
  EXPECT_TRUE(notices_since(before).empty());

  // The receiver's answer decides the reply.
  const struct {
    std::string url;
    bool fail;
    Reply expected;
  } uploads[] = {{url, false, {0, "success"}},
                 {"tftp://10.0.0.9/trace", false, {0, "success"}},
                 {"diag.example.net", false, {1, "unsupported upload URL"}},
                 {url, true, {1, "upload server did not answer"}}};
  for (const auto &u : uploads) {
    if (u.fail) mib::fail_accessor("trouble_locating_upload");
    EXPECT_EQ(command("UploadTroubleLocatingInfo", g_variant_new("(ss)", u.url.c_str(), "VOICE")),
              u.expected);
    EXPECT_EQ(mib::journal(before).back().data,
              "url=" + u.url + " category=VOICE result=" + std::to_string(u.expected.first));
  }

  before = journal_end();
  EXPECT_EQ(command("StartCollectionDebugInfo", g_variant_new("(ssq)", url.c_str(), "WIFI", 600)),
            Reply(0, "success"));
  ASSERT_EQ(mib::journal(before).size(), 1u);
  EXPECT_EQ(mib::journal(before)[0].bit, uint32_t(MIB_CFG_DEBUG_COLLECTION));
  EXPECT_EQ(mib::journal(before)[0].data, "url=" + url + " category=WIFI timeout=600");
}

// ---- clock, reboot, restore ---------------------------------------------------------------

TEST_F(SysCmdTest, SetDateTimeRunsDateAndClockWithoutAShell) {
  for (const std::string &time :
       {std::string("2026-03-01 12:00' ; reboot '"), std::string("$(reboot)"),
        std::string("12:00;reboot"), std::string("a\tb"), std::string(54, '1'), std::string(),
        std::string("   "), std::string("-h"), std::string("--help"), std::string("-s 12:00"),
        std::string("next monday"), std::string("2026-02-29"), std::string("2026-13-01"),
        std::string("2026-03-01 24:00"), std::string("12:60"), std::string("12:00:60"),
        std::string("2026-03-01T12:00"), std::string("2026-03-01 12:00 "), std::string("1:00"),
        std::string("20260301")}) {
    EXPECT_EQ(command("SetDateTime", text_args(time)), kRefused) << time;
  }
  EXPECT_EQ(standin_log(), "");
  EXPECT_EQ(command("SetDateTime", text_args("2028-02-29")), Reply(0, "none!"));
  EXPECT_EQ(command("SetDateTime", text_args("23:59")), Reply(0, "none!"));
  EXPECT_EQ(command("SetDateTime", text_args("2026-03-01 12:00:00")), Reply(0, "none!"));
  EXPECT_EQ(standin_log(), "date -s 2028-02-29\nclock cmos\ndate -s 23:59\nclock cmos\n"
                           "date -s 2026-03-01 12:00:00\nclock cmos\n");

  // A date program that fails answers an error and the clock is left alone.
  control_standin(root(), "date", "status", "1");
  EXPECT_EQ(command("SetDateTime", text_args("2026-03-01 12:00:00")),
            Reply(~0u, std::string(kInterface) + ": Internal error: date exited with status 1"));
  EXPECT_EQ(standin_log(), "date -s 2028-02-29\nclock cmos\ndate -s 23:59\nclock cmos\n"
                           "date -s 2026-03-01 12:00:00\nclock cmos\ndate -s 2026-03-01 12:00:00\n");
}

TEST_F(SysCmdTest, RestoreAndRecoveryAreAnnouncedAndCleared) {
  SignalWatcher watcher(client(), kProps, "PropertiesChanged", kPath);
  int64_t before = journal_end();
  EXPECT_EQ(command("Restore"), Reply(0, "none!"));
  EXPECT_EQ(printed(watcher.wait().body.get()), "('com.wqx.igd1.SysCmd', {'RestoreStatus': <byte 0x05>}, @as [])");
  EXPECT_EQ(read("RestoreStatus"), "byte 0x05");
  eventually([&] { return !standin_log().empty(); });
  EXPECT_EQ(standin_log(), "restore\n");

  EXPECT_EQ(command("ClearRestoreStatus"), Reply(0, "ClearRestoreStatus success"));
  EXPECT_EQ(printed(watcher.wait().body.get()), "('com.wqx.igd1.SysCmd', {'RestoreStatus': <byte 0x00>}, @as [])");
  EXPECT_EQ(read("RestoreStatus"), "byte 0x07");

  EXPECT_EQ(command("LocalRecovery"), Reply(0, "none!"));
  EXPECT_EQ(read("RestoreStatus"), "byte 0x06");
  EXPECT_EQ(setting("system.RestorePending"), "6");
  EXPECT_EQ(command("Reboot"), Reply(0, "none!"));
  EXPECT_EQ(setting("system.LastRebootCause"), "4");
  EXPECT_EQ(journal_lines(before, MIB_JOURNAL_SYSTEM).back(), "reboot");
}

TEST_F(SysCmdTest, RestoreOnServiceTypeOneResetsTheStoreAtTheNextStart) {
  use_service_type(1);
  // During a conformance test the store is left alone.
  write_text_file(root().path(path::kCtsMarker), "");
  EXPECT_EQ(command("Restore"), Reply(0, "none!"));
  // The restore goes on after the reply; the next call is served after it.
  EXPECT_EQ(read("RestoreStatus"), "byte 0x00");
  EXPECT_EQ(setting("system.RestorePending"), "0");
  std::remove(root().path(path::kCtsMarker).c_str());

  ASSERT_TRUE(set_property(kPath, kInterface, "MemLimit", g_variant_new_byte(50)));
  set("pon.LOID", "L-9");
  int64_t before = journal_end();
  EXPECT_EQ(command("Restore"), Reply(0, "none!"));
  EXPECT_EQ(read("MemLimit"), "byte 0x32");
  EXPECT_EQ(journal_lines(before, MIB_JOURNAL_SYSTEM),
            (std::vector<std::string>{"restore to defaults at the next start, mode 8", "reboot"}));

  // The next start.
  host::Options options = private_bus_host();
  options.service_type = 1;
  std::string error;
  bool started = false;
  loop_->run([&] {
    host_->stop();
    started = host_->start(options, &error);
  });
  ASSERT_TRUE(started) << error;
  ASSERT_TRUE(wait_for_name(client(), host::kServiceName));
  EXPECT_EQ(read("MemLimit"), "byte 0x5a");
  EXPECT_EQ(setting("pon.LOID"), "0755210344");
  EXPECT_EQ(read("RestoreStatus"), "byte 0x00");
}

// ---- upgrade -----------------------------------------------------------------------------

TEST_F(SysCmdTest, UpgradeWalksThroughItsStatesOnTheBus) {
  set("upgrade.StageMs", "150");
  EXPECT_EQ(command("Upgrade", g_variant_new("(suub)", "fw.example.net/x.bin", 1, 1, FALSE)),
            Reply(9011, "Upload failure"));
  SignalWatcher watcher(client(), kProps, "PropertiesChanged", kPath);
  int64_t before = journal_end();
  EXPECT_EQ(command("Upgrade", g_variant_new("(suub)", "http://fw.example.net/HG8G4_V3.1.3.0002.bin",
                                             1, 2, TRUE)),
            Reply(0, "Upload suceess"));
  for (int status : {1, 2, 3}) {
    auto signal = watcher.wait();
    ASSERT_TRUE(signal.body) << status;
    EXPECT_EQ(printed(signal.body.get()),
              "('com.wqx.igd1.SysCmd', {'UpgradeStatus': <byte 0x0" + std::to_string(status) +
                  ">}, @as [])");
  }
  EXPECT_EQ(read("UpgradeSWVersion"), "'V3.1.3.0002'");
  EXPECT_EQ(journal_lines(before, MIB_JOURNAL_SYSTEM).back(), "reboot");  // it asked for one
  use_service_type(1);
  EXPECT_EQ(printed_call("GetUpgradeVersion"), "('V3.1.3.0002', '', uint32 0, 'none!')");
  use_service_type(0);
  EXPECT_EQ(command("ClearUpgradeStatus"), Reply(0, "ClearUpgradeStatus success"));
  EXPECT_EQ(read("UpgradeStatus"), "byte 0x00");
  EXPECT_EQ(read("UpgradeSWVersion"), "'V3.1.2.0041'");
}

// ---- the rest ------------------------------------------------------------------------

TEST_F(SysCmdTest, EachServiceTypeServesItsOwnMethods) {
  use_service_type(0);
  EXPECT_EQ(command("RegisterGetStat"),
            Reply(~0u, "org.freedesktop.DBus.Error.UnknownMethod: Method RegisterGetStat of interface "
                       "com.wqx.igd1.SysCmd is not served on /com/wqx/igd1/Ovatrix/System"));
  use_service_type(1);
  EXPECT_THAT(command("CheckLOID").second, StartsWith("org.freedesktop.DBus.Error.UnknownMethod:"));
  EXPECT_EQ(printed_call("GetDeviceDefaultSSID1Name"),
            "('WQX-2210', uint32 0, 'get GetDeviceDefaultSSID1Name success')");
  EXPECT_EQ(command("CheckHardwareStart"), Reply(0, "none!"));
  EXPECT_EQ(setting("system.HardwareCheck"), "1");
  EXPECT_EQ(command("InformNotifyVersion", text_args("V9")), Reply(0, "none!"));
  EXPECT_EQ(command("InformUpgrade", text_args("x")), Reply(0, "none!"));
  EXPECT_EQ(command("GetLog", g_variant_new("(sss)", "", "", "https://logs.example.net/up")),
            Reply(0, "get log success"));
  EXPECT_EQ(command("GetLog", g_variant_new("(sss)", "", "", "nowhere")), Reply(2, "get log failed"));
  mib::fail_accessor("syscmd_get_mib_property", 16);
  EXPECT_EQ(printed_call("GetDeviceDefaultSSID1Name"),
            "('', uint32 1, 'get GetDeviceDefaultSSID1Name failed')");
}

TEST_F(SysCmdTest, MemorySettingsAreCheckedSavedAndNotAnnounced) {
  SignalWatcher watcher(client(), kProps, "PropertiesChanged", kPath);
  ASSERT_TRUE(set_property(kPath, kInterface, "MemAlarm", g_variant_new_byte(1)));
  EXPECT_EQ(setting("syscmd.MemAlarm"), "1");
  EXPECT_EQ(write(kPath, kInterface, "MemAlarm", g_variant_new_byte(2)),
            InvalidArgs("Invalid parameter value"));
  ASSERT_EQ(set_multi(kPath, kInterface, dictionary({{"MemLimit", g_variant_new_byte(0)},
                                                    {"MemAlarm", g_variant_new_byte(0)},
                                                    {"Province", g_variant_new_string("x")}})),
            Error());
  EXPECT_EQ(setting("syscmd.MemAlarm"), "0");
  EXPECT_EQ(setting("syscmd.MemLimit"), "90");
  EXPECT_FALSE(watcher.wait(std::chrono::milliseconds(200)).body);
}

}  // namespace
}  // namespace igd1::test
