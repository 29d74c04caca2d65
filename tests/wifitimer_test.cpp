// The WiFi timer object over the bus, against the SQLite store.
#include "mib_api.h"
#include "object_client.h"
#include "wifitimer.h"

namespace igd1::test {
namespace {

constexpr char kPath[] = "/com/wqx/igd1/Config/WLAN/Timer";
constexpr char kInterface[] = "com.wqx.igd1.WiFiTimer";

constexpr ObjectUnderTest kTimer{kPath, kInterface};

class WifiTimerTest : public OneObjectTest<kTimer> {
 protected:
  void configure(host::Options &options) override { options.modules = {"wifi_timer"}; }
};

TEST_F(WifiTimerTest, WritesAreCheckedStoredInTheirTwoDigitFormAndAnnounced) {
  EXPECT_EQ(read("StartTime"), "'07:00'");
  EXPECT_EQ(read("EndTime"), "'24:00'");
  EXPECT_EQ(read("ControlCycle"), "'DAY'");
  EXPECT_EQ(read("Enable"), "false");
  EXPECT_EQ(read("SSIDMask"), "uint32 3");

  SignalWatcher watcher(client(), kProps, "PropertiesChanged", kPath);
  ASSERT_EQ(write("StartTime", g_variant_new_string("7:5")), Error());
  EXPECT_EQ(read("StartTime"), "'07:05'");
  EXPECT_EQ(cell("wifitimer", 1, "StartTime"), "07:05");
  EXPECT_EQ(printed(watcher.wait().body.get()),
            "('com.wqx.igd1.WiFiTimer', {'StartTime': <'07:05'>}, @as [])");
  ASSERT_EQ(write("EndTime", g_variant_new_string("24:00")), Error()) << "hour 24 is accepted";
  EXPECT_FALSE(watcher.wait(200ms).body) << "an unchanged value is not announced";

  for (const char *bad : {"25:00", "7:60", "0700", "12:345", ":30", "7:"})
    EXPECT_EQ(write("EndTime", g_variant_new_string(bad)),
              InvalidArgs(std::string("Invalid parameter value ,path ") + bad))
        << bad;
  EXPECT_EQ(write("ControlCycle", g_variant_new_string("WEEK")), InvalidArgs("Invalid parameter value"));
  EXPECT_EQ(write("ControlCycle", g_variant_new_string("DAY")), Error());

  // A multi-write stops at its refused entry and stores nothing of it.
  EXPECT_EQ(set_multi(kPath, kInterface,
                      dictionary({{"SSIDMask", g_variant_new_uint32(4)},
                                  {"Enable", g_variant_new_boolean(TRUE)},
                                  {"StartTime", g_variant_new_string("99:00")}})),
            InvalidArgs("Invalid parameter value ,path 99:00"));
  EXPECT_EQ(read("SSIDMask"), "uint32 3");
  EXPECT_EQ(read("Enable"), "false");
  EXPECT_FALSE(watcher.wait(200ms).body);

  // An accepted one is stored at once, put into effect and announced once.
  const int64_t before = journal_end();
  ASSERT_EQ(set_multi(kPath, kInterface,
                      dictionary({{"SSIDMask", g_variant_new_uint32(4)},
                                  {"EndTime", g_variant_new_string("7:06")},
                                  {"Enable", g_variant_new_boolean(TRUE)}})),
            Error());
  EXPECT_EQ(printed(watcher.wait().body.get()),
            "('com.wqx.igd1.WiFiTimer', {'SSIDMask': <uint32 4>, 'EndTime': <'07:06'>, "
            "'Enable': <true>}, @as [])");
  EXPECT_EQ(setting("wlan.3.TimerOn").size(), 1u) << "SSID 3 follows the window";
  EXPECT_EQ(setting("wlan.1.TimerOn"), "<missing>");
  bool switched = false;
  for (const mib::JournalEntry &entry : mib::journal(before))
    switched |= entry.bit == MIB_JOURNAL_WIFI_TIMER;
  EXPECT_TRUE(switched);
}

TEST_F(WifiTimerTest, ServiceTypeOneStoresWithoutAnnouncingAndAFailedStoreIsAnswered) {
  host::settings().service_type = 1;
  SignalWatcher watcher(client(), kProps, "PropertiesChanged", kPath);
  ASSERT_EQ(write("StartTime", g_variant_new_string("6:30")), Error());
  EXPECT_EQ(cell("wifitimer", 1, "StartTime"), "06:30");
  EXPECT_FALSE(watcher.wait(200ms).body);

  mib::fail_accessor("wifitimer_update_entry");
  mib::fail_accessor("wifitimer_update_entry_mib");
  EXPECT_EQ(write("StartTime", g_variant_new_string("6:45")),
            InvalidArgs("mib set MIB_WIFI_TIMER_TBL failed!"));
  EXPECT_EQ(cell("wifitimer", 1, "StartTime"), "06:30");
  mib::clear_failures();
  mib::fail_accessor("wifitimer_get_list_by_instnum");
  EXPECT_EQ(read("Enable"), "error: mib get MIB_WIFI_TIMER_TBL failed");
}

class WifiTimerMissingTest : public WifiTimerTest {
 protected:
  void configure(host::Options &options) override {
    mib::fail_accessor("wifitimer_init_entry");
    WifiTimerTest::configure(options);
  }
};

TEST_F(WifiTimerMissingTest, IsNotRegisteredWhenTheTimerCannotBeHeld) {
  EXPECT_THAT(read("Enable"), HasSubstr("Object does not exist at path"));
}

}  // namespace
}  // namespace igd1::test
