// The LED control object over the bus, against the SQLite store.
#include <time.h>

#include <cstdio>
#include <cstdlib>

#include "led.h"
#include "mib_api.h"
#include "object_client.h"

namespace igd1::test {
namespace {

constexpr char kPath[] = "/com/wqx/igd1/Config/Peripheral/LED";
constexpr char kInterface[] = "com.wqx.igd1.LED";
constexpr ObjectUnderTest kLed{kPath, kInterface};
constexpr char kRefused[] = "Invalid parameter value!";

class LedTest : public OneObjectTest<kLed> {
 protected:
  void configure(host::Options &options) override { options.modules = {"LED"}; }
  // What the lights were switched to since `seq`: (action, "on"/"off").
  std::vector<std::pair<int, std::string>> switches_since(int64_t seq) {
    std::vector<std::pair<int, std::string>> found;
    for (const mib::JournalEntry &entry : mib::journal(seq))
      if (entry.bit == MIB_JOURNAL_LED) found.emplace_back(entry.action, entry.data);
    return found;
  }
};

std::string clock_text(int minute_of_day) {
  minute_of_day %= 24 * 60;
  return std::to_string(minute_of_day / 60) + ":" + (minute_of_day % 60 < 10 ? "0" : "") +
         std::to_string(minute_of_day % 60);
}

int minute_now() {
  const time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  return local.tm_hour * 60 + local.tm_min;
}

// Service type 0: each write refused with its text (nothing stored, applied
// or announced), or stored, applied (a switch of the lights or of the
// window) and announced; a value equal to the stored one changes nothing.
TEST_F(LedTest, WritesOnServiceTypeZeroAreCheckedAppliedAndAnnounced) {
  const int now = minute_now();
  const std::string later = clock_text(now + 120), later_end = clock_text(now + 180);
  const std::string around = clock_text(now + 24 * 60 - 60), around_end = clock_text(now + 60);
  const struct {
    const char *name;
    GVariant *value;
    const char *error;
    const char *reads;
    std::vector<std::pair<int, std::string>> switches;
  } cases[] = {
      {"Status", g_variant_new_string("OFF"), "", "'OFF'", {{LED_DRIVEN_BY_STATUS, "off"}}},
      {"Status", g_variant_new_string("on"), "", "'ON'", {{LED_DRIVEN_BY_STATUS, "on"}}},
      {"Status", g_variant_new_string("ON"), "", "'ON'", {}},  // unchanged
      {"Status", g_variant_new_string("On"), kRefused, "'ON'", {}},
      {"Status", g_variant_new_string("ONx"), kRefused, "'ON'", {}},
      {"StartTime", g_variant_new_string("23:59"), "", "'23:59'", {{LED_DRIVEN_BY_SCHEDULE, "on"}}},
      {"StartTime", g_variant_new_string("24:00"), kRefused, "'23:59'", {}},
      {"StartTime", g_variant_new_string("7:60"), kRefused, "'23:59'", {}},
      {"StartTime", g_variant_new_string("0730"), kRefused, "'23:59'", {}},
      {"StartTime", g_variant_new_string("07:300"), kRefused, "'23:59'", {}},
      {"EndTime", g_variant_new_string(":30"), kRefused, "'22:30'", {}},
      {"EndTime", g_variant_new_string("7:-1"), kRefused, "'22:30'", {}},
      {"EndTime", g_variant_new_string("7:05"), "", "'7:05'", {{LED_DRIVEN_BY_SCHEDULE, "on"}}},
      {"ControlCycle", g_variant_new_string("DAY"), "", "'DAY'", {}},  // stored already
      {"ControlCycle", g_variant_new_string("WEEK"), kRefused, "'DAY'", {}},
      // With the window enabled the lights follow it.
      {"StartTime", g_variant_new_string(later.c_str()), "", nullptr, {{LED_DRIVEN_BY_SCHEDULE, "on"}}},
      {"EndTime", g_variant_new_string(later_end.c_str()), "", nullptr, {{LED_DRIVEN_BY_SCHEDULE, "on"}}},
      {"Enable", g_variant_new_boolean(TRUE), "", "true", {{LED_DRIVEN_BY_SCHEDULE, "off"}}},
      {"StartTime", g_variant_new_string(around.c_str()), "", nullptr, {{LED_DRIVEN_BY_SCHEDULE, "on"}}},
      {"EndTime", g_variant_new_string(around_end.c_str()), "", nullptr, {{LED_DRIVEN_BY_SCHEDULE, "on"}}},
  };
  SignalWatcher watcher(client(), kProps, "PropertiesChanged", kPath);
  for (const auto &c : cases) {
    g_autoptr(GVariant) value = g_variant_ref_sink(c.value);
    SCOPED_TRACE(std::string(c.name) + " = " + printed(value));
    const int64_t before = journal_end();
    EXPECT_EQ(write(c.name, value), *c.error != '\0' ? Error(kInvalidArgs, c.error) : Error());
    if (c.reads != nullptr) {
      EXPECT_EQ(read(c.name), c.reads);
    }
    EXPECT_EQ(switches_since(before), c.switches);
    EXPECT_THAT(notices_since(before), IsEmpty());
    if (c.switches.empty()) continue;
    EXPECT_EQ(printed(watcher.wait().body.get()),
              std::string("('com.wqx.igd1.LED', {'") + c.name + "': <" + printed(value) + ">}, @as [])");
  }
  EXPECT_FALSE(watcher.wait(200ms).body);
  EXPECT_EQ(setting("led.Status"), "1");
  EXPECT_EQ(setting("led.Enable"), "1");
  // The name of the other service type is not served, not even to the handler.
  EXPECT_THAT(read("LEDStatus"), HasSubstr("No such property"));
  loop_->run([] {
    g_autoptr(GError) error = nullptr;
    EXPECT_EQ(led_handle_get_property(nullptr, nullptr, kPath, kInterface, "LEDStatus", &error,
                                      nullptr),
              nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error->message, "invalid property LEDStatus");
  });
}

// The lights follow the window at its edges: on from the first second of
// its start minute, off from the first second of its end minute, and never
// before.  The process's time zone is moved so that an edge is seconds away.
class LedEdgeTest : public LedTest {
 protected:
  void TearDown() override {
    unsetenv("TZ");
    tzset();
    LedTest::TearDown();
  }
  // Shifts local time so that it is 57 seconds past a minute now; the minute.
  static int shortly_before_a_minute() {
    const int offset = int((57 - time(nullptr) % 60 + 60) % 60);
    char zone[32];
    std::snprintf(zone, sizeof zone, "EDG-00:00:%02d", offset);
    setenv("TZ", zone, 1);
    tzset();
    return minute_now();
  }
  // The minute of the day in which the lights were first set to `shown` at
  // an edge after `seq` (-1: not in time).  An
  // edge timer that fires a moment early leaves the lights as they were and
  // tries again.
  int minute_switched(int64_t seq, const std::string &shown) {
    int minute = -1;
    eventually([&] {
      for (const mib::JournalEntry &entry : mib::journal(seq)) {
        if (entry.bit != MIB_JOURNAL_LED || entry.action != LED_DRIVEN_AT_EDGE || entry.data != shown)
          continue;
        minute = std::atoi(entry.time.substr(11, 2).c_str()) * 60 + std::atoi(entry.time.substr(14, 2).c_str());
        return true;
      }
      return false;
    });
    return minute;
  }
};

TEST_F(LedEdgeTest, TheLightsSwitchAtTheWindowsEdges) {
  int now = shortly_before_a_minute();
  int64_t before = journal_end();
  ASSERT_EQ(set_multi(dictionary({{"StartTime", g_variant_new_string(clock_text(now + 1).c_str())},
                                  {"EndTime", g_variant_new_string(clock_text(now + 3).c_str())},
                                  {"Enable", g_variant_new_boolean(true)}})),
            Error());
  ASSERT_EQ(switches_since(before), (std::vector<std::pair<int, std::string>>{{2, "off"}}));
  EXPECT_EQ(minute_switched(before, "on"), (now + 1) % (24 * 60));

  now = shortly_before_a_minute();
  ASSERT_EQ(set_multi(dictionary({{"StartTime", g_variant_new_string(clock_text(now + 1430).c_str())},
                                  {"EndTime", g_variant_new_string(clock_text(now + 1).c_str())}})),
            Error());
  before = journal_end();
  EXPECT_EQ(minute_switched(before, "off"), (now + 1) % (24 * 60));
}

// Switching the lights off while the gateway sleeps succeeds and changes nothing.
TEST_F(LedTest, SleepModeKeepsTheLightsSwitchOn) {
  ASSERT_TRUE(mib::set_setting("deviceinfo.HGUSleep", "1"));
  SignalWatcher watcher(client(), kProps, "PropertiesChanged", kPath);
  int64_t before = journal_end();
  EXPECT_EQ(write("Status", g_variant_new_string("off")), Error());
  EXPECT_EQ(set_multi(dictionary({{"Status", g_variant_new_string("OFF")}})), Error());
  EXPECT_EQ(setting("led.Status"), "1");
  EXPECT_THAT(notices_since(before), IsEmpty());
  EXPECT_FALSE(watcher.wait(200ms).body);
  EXPECT_THAT(syslog(),
              HasSubstr("sleepmode, do not set LED_STATUS = 0"));

  ASSERT_TRUE(mib::set_setting("deviceinfo.HGUSleep", "0"));
  before = journal_end();
  EXPECT_EQ(write("Status", g_variant_new_string("off")), Error());
  EXPECT_EQ(setting("led.Status"), "0");
  EXPECT_EQ(switches_since(before), (std::vector<std::pair<int, std::string>>{{1, "off"}}));
}

// Service type 1: LEDStatus in place of Status; a switch is applied without
// the handle and nothing is announced; the window is only stored.
TEST_F(LedTest, ServiceTypeOneSwitchesWithLedStatusAndAnnouncesNothing) {
  host::settings().service_type = 1;
  const std::string xml = introspect(kPath);
  EXPECT_THAT(xml, HasSubstr("type=\"y\" name=\"LEDStatus\""));
  EXPECT_THAT(xml, Not(HasSubstr("\"Status\"")));
  EXPECT_THAT(read("Status"), HasSubstr("No such property"));
  EXPECT_EQ(read("LEDStatus"), "byte 0x01");

  SignalWatcher watcher(client(), kProps, "PropertiesChanged", kPath);
  int64_t before = journal_end();
  EXPECT_EQ(write("LEDStatus", g_variant_new_byte(0)), Error());
  EXPECT_EQ(switches_since(before), (std::vector<std::pair<int, std::string>>{{1, "off"}}));
  before = journal_end();
  EXPECT_EQ(set_multi(dictionary({{"StartTime", g_variant_new_string("6:00")},
                                  {"Enable", g_variant_new_boolean(TRUE)}})), Error());
  EXPECT_EQ(setting("led.StartTime"), "6:00");
  EXPECT_THAT(notices_since(before), IsEmpty());
  EXPECT_FALSE(watcher.wait(200ms).body);

  host::settings().service_type = 0;
  EXPECT_EQ(read("Status"), "'OFF'");
}

// During a conformance run changes go to the services as notices; they are
// still announced on service type 0, once per request.
TEST_F(LedTest, ConformanceRunHandsChangesToTheServices) {
  write_text_file(root().path(path::kCtsMarker), "");
  SignalWatcher watcher(client(), kProps, "PropertiesChanged", kPath);
  int64_t before = journal_end();
  EXPECT_EQ(set_multi(dictionary({{"Status", g_variant_new_string("off")},
                                  {"Enable", g_variant_new_boolean(TRUE)}})), Error());
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(MIB_CFG_LED_STATUS, MIB_ACTION_APPLY),
                                                 Pair(MIB_CFG_LED_SCHEDULE, MIB_ACTION_APPLY)));
  EXPECT_EQ(watcher.next(), change_body(kInterface, "{'Status': <'off'>, 'Enable': <true>}"));

  host::settings().service_type = 1;
  before = journal_end();
  EXPECT_EQ(write("LEDStatus", g_variant_new_byte(1)), Error());
  EXPECT_EQ(write("EndTime", g_variant_new_string("1:00")), Error());
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(MIB_CFG_LED_STATUS, MIB_ACTION_APPLY)));
  EXPECT_FALSE(watcher.wait(200ms).body);
}

// A refused entry fails the request (earlier entries stay stored, nothing
// is applied or announced); a failed switch of the lights fails the request
// and leaves the store as it was.  Each counts as a failed write.
TEST_F(LedTest, FailuresAreCountedAndAnswered) {
  SignalWatcher watcher(client(), kProps, "PropertiesChanged", kPath);
  unsigned failed = LED_failed_writes();
  int64_t before = journal_end();
  EXPECT_EQ(set_multi(dictionary({{"StartTime", g_variant_new_string("8:00")},
                                  {"EndTime", g_variant_new_string("25:00")},
                                  {"Status", g_variant_new_string("OFF")}})),
            Error(kInvalidArgs, kRefused));
  EXPECT_EQ(setting("led.StartTime"), "8:00");
  EXPECT_EQ(setting("led.Status"), "1");
  EXPECT_THAT(notices_since(before), IsEmpty());
  EXPECT_EQ(LED_failed_writes(), ++failed);
  EXPECT_EQ(set_multi(dictionary({{"Nothing", g_variant_new_string("x")}})),
            Error(kInvalidArgs, "invalid property Nothing"));
  EXPECT_EQ(LED_failed_writes(), ++failed);

  mib::fail_accessor("LED_set_property", 2);
  EXPECT_EQ(write("EndTime", g_variant_new_string("9:00")),
            Error(kInvalidArgs, "invalid property EndTime"));
  EXPECT_EQ(LED_failed_writes(), ++failed);

  mib::fail_accessor("LED_status_update", 0);
  EXPECT_EQ(write("Status", g_variant_new_string("OFF")),
            Error(kFailed, "LED status update failed"));
  EXPECT_EQ(setting("led.Status"), "1");
  EXPECT_EQ(LED_failed_writes(), ++failed);
  EXPECT_FALSE(watcher.wait(200ms).body);

  mib::fail_accessor("LED_get_property", 0);
  mib::fail_accessor("LED_get_property", 1);
  mib::fail_accessor("LED_get_property", 3);
  EXPECT_EQ(read("Status"), "error: mib_get MIB_LED_STATUS failed!");
  EXPECT_EQ(read("StartTime"), "error: get LED_STARTTIME failed!");
  EXPECT_EQ(read("EndTime"), "'22:30'");
  EXPECT_EQ(read("ControlCycle"), "'DAY'");
}

// The handle lights the lights as stored at start-up and is released with the
// object's connection.
TEST_F(LedTest, HandleIsCreatedAtStartUp) {
  auto entry_get = reinterpret_cast<void (*)(LED_ENTRY **)>(host_->library().symbol("LED_entry_get"));
  ASSERT_NE(entry_get, nullptr);
  LED_ENTRY *handle = nullptr;
  loop_->run([&] { entry_get(&handle); });
  EXPECT_NE(handle, nullptr);
  const std::vector<mib::JournalEntry> all = mib::journal(0);
  ASSERT_FALSE(all.empty());
  EXPECT_THAT(all, Contains(testing::Field(&mib::JournalEntry::bit, MIB_JOURNAL_LED)));
}

}  // namespace
}  // namespace igd1::test
