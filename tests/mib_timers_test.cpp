// The timers of the configuration store: rows reached through working row
// handles, numbered by their users, and put into effect through the shared
// schedule runner (what a switch did is read back from the settings and the
// journal).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "mib_api.h"
#include "store_fixture.h"

namespace igd1::mib::test {
namespace {

class TimersTest : public StoreTest {
 protected:
  void SetUp() override {
    const char *zone = getenv("TZ");
    had_zone_ = zone != nullptr;
    if (had_zone_) saved_zone_ = zone;
    setenv("TZ", "UTC0", 1);
    tzset();
    StoreTest::SetUp();
  }
  void TearDown() override {
    StoreTest::TearDown();
    if (had_zone_)
      setenv("TZ", saved_zone_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

  // "HH:MM" of the current minute moved by `minutes`.
  static std::string minutes_from_now(int minutes) {
    const int now = int((time(nullptr) / 60) % 1440);
    const int at = ((now + minutes) % 1440 + 1440) % 1440;
    char text[8];
    snprintf(text, sizeof text, "%02d:%02d", at / 60, at % 60);
    return text;
  }

  // The journal lines under `bit` since the test began, as "action text".
  static std::vector<std::string> notices(uint64_t bit) {
    std::vector<std::string> lines;
    for (const JournalEntry &entry : journal())
      if (entry.bit == bit) lines.push_back(std::to_string(entry.action) + " " + entry.data);
    return lines;
  }

  // Writes one sleep-timer row through a handle, as the bus object does.
  static void write_sleep(uint32_t instance, uint8_t day, const char *time_text, int32_t active,
                          uint8_t enable) {
    TIMER_ROW *row = nullptr;
    uint32_t index = 0;
    ASSERT_EQ(sleeptimer_check_instnum(instance, &index, &row), 1);
    int changed = 0;
    EXPECT_EQ(sleeptimer_set_property(SLEEPTIMER_DAY, &day, &row, &changed), 1);
    EXPECT_EQ(sleeptimer_set_property(SLEEPTIMER_TIME, time_text, &row, &changed), 1);
    EXPECT_EQ(sleeptimer_set_property(SLEEPTIMER_ACTIVE, &active, &row, &changed), 1);
    EXPECT_EQ(sleeptimer_set_property(SLEEPTIMER_ENABLE, &enable, &row, &changed), 1);
    EXPECT_EQ(sleeptimer_set_property_update(&row, index), 1);
    sleeptimer_set_entry_free(&row);
    EXPECT_EQ(row, nullptr);
  }

  bool had_zone_ = false;
  std::string saved_zone_;
};

int sleep_instance_at(uint32_t position) {
  int instance = -1;
  return sleeptimer_check_entry(position, &instance) != 0 ? instance : -1;
}

TEST_F(TimersTest, SleepTimerRowsAreNumberedByTheirUsersAndChangedOnlyThroughAnUpdate) {
  EXPECT_EQ(sleeptimer_add_entry(0), 0);
  EXPECT_EQ(sleeptimer_add_entry(100), 0) << "numbers run from 1 to 99";
  for (uint32_t instance : {9u, 2u, 5u}) ASSERT_EQ(sleeptimer_add_entry(instance), 1);
  EXPECT_EQ(sleeptimer_add_entry(5), 0) << "a number in use";
  EXPECT_EQ(sleeptimer_get_total_num(), 3);
  EXPECT_EQ(sleep_instance_at(0), 2) << "rows are kept in instance order";
  EXPECT_EQ(sleep_instance_at(2), 9);
  EXPECT_EQ(sleep_instance_at(3), -1);

  TIMER_ROW *row = nullptr;
  uint32_t index = 0;
  EXPECT_EQ(sleeptimer_check_instnum(7, &index, &row), 0);
  EXPECT_EQ(row, nullptr);
  ASSERT_EQ(sleeptimer_check_instnum(5, &index, &row), 1);
  EXPECT_EQ(index, 1u);
  char text[256] = "unread";
  ASSERT_EQ(sleeptimer_get_property(SLEEPTIMER_TIME, text, &row), 1);
  EXPECT_STREQ(text, "00:00") << "a new timer";

  // Values the row cannot hold are refused and leave the copy as it was.
  int changed = -1;
  const int32_t two = 2;
  EXPECT_EQ(sleeptimer_set_property(SLEEPTIMER_ACTIVE, &two, &row, &changed), 0);
  for (const char *bad : {"24:00", "7:60", "123:45", "12:", "1200", "12:345"})
    EXPECT_EQ(sleeptimer_set_property(SLEEPTIMER_TIME, bad, &row, &changed), 0) << bad;
  EXPECT_EQ(sleeptimer_set_property(SLEEPTIMER_TIME, "00:00", &row, &changed), 1);
  EXPECT_EQ(changed, 0) << "the same value is no change";
  EXPECT_EQ(sleeptimer_set_property(SLEEPTIMER_TIME, "7:05", &row, &changed), 1);
  EXPECT_EQ(changed, 1);
  const uint8_t on = 1;
  ASSERT_EQ(sleeptimer_set_property(SLEEPTIMER_ENABLE, &on, &row, &changed), 1);
  int32_t enable = 0;
  ASSERT_EQ(sleeptimer_get_property(SLEEPTIMER_ENABLE, &enable, &row), 1);
  EXPECT_EQ(enable, 1) << "written as a byte, read as a 32-bit number";

  // Nothing reaches the store before the update.
  TIMER_ROW *other = nullptr;
  ASSERT_EQ(sleeptimer_check_instnum(5, nullptr, &other), 1);
  ASSERT_EQ(sleeptimer_get_property(SLEEPTIMER_TIME, text, &other), 1);
  EXPECT_STREQ(text, "00:00");
  sleeptimer_set_entry_free(&other);
  EXPECT_EQ(sleeptimer_set_property_update(&row, 0), 0) << "position 0 holds another row";
  ASSERT_EQ(sleeptimer_set_property_update(&row, index), 1);
  sleeptimer_set_entry_free(&row);
  EXPECT_EQ(sleeptimer_get_property(SLEEPTIMER_TIME, text, &row), 0) << "a released handle";

  ASSERT_EQ(sleeptimer_check_instnum(5, nullptr, &row), 1);
  ASSERT_EQ(sleeptimer_get_property(SLEEPTIMER_TIME, text, &row), 1);
  EXPECT_STREQ(text, "7:05");
  sleeptimer_set_entry_free(&row);

  // Deleting takes the position and the number that is there.
  EXPECT_EQ(sleeptimer_del_entry(0, 5), 0);
  EXPECT_EQ(sleeptimer_del_entry(1, 5), 1);
  EXPECT_EQ(sleeptimer_get_total_num(), 2);
}

TEST_F(TimersTest, RenumberingGivesRowsTheirPositionsAndKeepsTheirValuesAcrossARestart) {
  for (uint32_t instance : {2u, 5u, 9u}) ASSERT_EQ(sleeptimer_add_entry(instance), 1);
  write_sleep(9, 0x0a, "22:30", 1, 1);
  for (uint32_t position = 0; position < 3; ++position)
    ASSERT_EQ(sleeptimer_init_entry_index(position, position + 1), 1) << position;
  EXPECT_EQ(sleeptimer_init_entry_index(0, 2), 0) << "a number another row carries";
  EXPECT_EQ(sleeptimer_init_entry_index(3, 4), 0) << "no row there";

  ASSERT_TRUE(reopen());
  EXPECT_EQ(sleep_instance_at(0), 1);
  EXPECT_EQ(sleep_instance_at(1), 2);
  EXPECT_EQ(sleep_instance_at(2), 3);
  TIMER_ROW *row = nullptr;
  ASSERT_EQ(sleeptimer_check_instnum(3, nullptr, &row), 1);
  char text[256] = "";
  uint8_t day = 0;
  ASSERT_EQ(sleeptimer_get_property(SLEEPTIMER_TIME, text, &row), 1);
  ASSERT_EQ(sleeptimer_get_property(SLEEPTIMER_DAY, &day, &row), 1);
  EXPECT_STREQ(text, "22:30");
  EXPECT_EQ(day, 0x0a);
  sleeptimer_set_entry_free(&row);
}

TEST_F(TimersTest, TheSleepStateFollowsTheEnabledTimers) {
  // The first timer brings the sleep state under the timers: awake.
  ASSERT_EQ(sleeptimer_add_entry(1), 1);
  EXPECT_EQ(setting("deviceinfo.HGUSleep"), "0");
  ASSERT_EQ(sleeptimer_add_entry(2), 1);
  // Every day, a minute ago: asleep from the row's update on.  A disabled
  // timer and one without a day change nothing.
  write_sleep(1, 1, minutes_from_now(-1).c_str(), 1, 1);
  EXPECT_EQ(setting("deviceinfo.HGUSleep"), "1");
  write_sleep(2, 0, minutes_from_now(-1).c_str(), 0, 1);
  ASSERT_EQ(sleeptimer_update(), 1);
  EXPECT_EQ(setting("deviceinfo.HGUSleep"), "1");

  // Woken a minute later on every weekday (Monday to Sunday by bits).
  write_sleep(2, 0xfe, minutes_from_now(0).c_str(), 0, 1);
  ASSERT_EQ(sleeptimer_update(), 1);
  EXPECT_EQ(setting("deviceinfo.HGUSleep"), "0");
  ASSERT_EQ(sleeptimer_update(), 1) << "an update that changes nothing switches nothing";

  // Without enabled timers the gateway stays awake.
  write_sleep(2, 0xfe, minutes_from_now(0).c_str(), 0, 0);
  ASSERT_EQ(sleeptimer_update(), 1);
  EXPECT_EQ(setting("deviceinfo.HGUSleep"), "1");
  write_sleep(1, 1, minutes_from_now(-1).c_str(), 1, 0);
  ASSERT_EQ(sleeptimer_update(), 1);
  EXPECT_EQ(setting("deviceinfo.HGUSleep"), "0");
  EXPECT_EQ(notices(MIB_JOURNAL_POWER),
            (std::vector<std::string>{"1 wake", "1 sleep", "1 wake", "1 sleep", "1 wake"}));
}

TEST_F(TimersTest, ATimerChangeThatIsRolledBackIsUndoneFromTheRowsThatStayed) {
  ASSERT_EQ(sleeptimer_add_entry(1), 1);
  write_sleep(1, 1, minutes_from_now(-1).c_str(), 1, 1);
  ASSERT_EQ(setting("deviceinfo.HGUSleep"), "1");
  ASSERT_TRUE(begin_transaction());
  write_sleep(1, 1, minutes_from_now(-1).c_str(), 0, 1);
  EXPECT_EQ(setting("deviceinfo.HGUSleep"), "0") << "inside the transaction";
  rollback_transaction();
  EXPECT_FALSE(commit_transaction());
  EXPECT_EQ(setting("deviceinfo.HGUSleep"), "1") << "rolled back with the row";
  // The gateway is put to sleep again from the loop, not inside the
  // store's rollback: the journal says so.
  const size_t before = notices(MIB_JOURNAL_POWER).size();
  for (int turns = 0; turns < 100 && notices(MIB_JOURNAL_POWER).size() == before; ++turns)
    g_main_context_iteration(nullptr, FALSE);
  const std::vector<std::string> after = notices(MIB_JOURNAL_POWER);
  ASSERT_EQ(after.size(), before + 1);
  EXPECT_EQ(after.back(), "1 sleep");
  EXPECT_EQ(setting("deviceinfo.HGUSleep"), "1");
}

// Every call of the two numbered families can be made to fail by its name.
TEST_F(TimersTest, EveryTimerCallFailsOnDemandUnderItsOwnName) {
  ASSERT_EQ(sleeptimer_add_entry(1), 1);
  ASSERT_EQ(wifitimer1_add_entry(1), 1);
  const auto failing = [](const char *name, const std::function<int()> &call) {
    clear_failures();
    EXPECT_NE(call(), 0) << name << " works";
    fail_accessor(name);
    EXPECT_EQ(call(), 0) << name;
    clear_failures();
  };
  int instance = 0;
  char text[256] = "";
  const uint8_t byte = 1;
  const auto with_row = [](int (*open)(uint32_t, uint32_t *, TIMER_ROW **),
                           void (*close)(TIMER_ROW **), const std::function<int(TIMER_ROW **)> &use) {
    TIMER_ROW *row = nullptr;
    if (open(1, nullptr, &row) == 0) return 0;
    const int result = use(&row);
    close(&row);
    return result;
  };
  failing("sleeptimer_get_total_num", [] { return sleeptimer_get_total_num(); });
  failing("sleeptimer_check_entry", [&] { return sleeptimer_check_entry(0, &instance); });
  failing("sleeptimer_check_instnum", [&] {
    return with_row(sleeptimer_check_instnum, sleeptimer_set_entry_free, [](TIMER_ROW **) { return 1; });
  });
  failing("sleeptimer_get_property", [&] {
    return with_row(sleeptimer_check_instnum, sleeptimer_set_entry_free,
                    [&](TIMER_ROW **row) { return sleeptimer_get_property(SLEEPTIMER_TIME, text, row); });
  });
  failing("sleeptimer_set_property", [&] {
    return with_row(sleeptimer_check_instnum, sleeptimer_set_entry_free, [&](TIMER_ROW **row) {
      int changed = 0;
      return sleeptimer_set_property(SLEEPTIMER_ENABLE, &byte, row, &changed);
    });
  });
  failing("sleeptimer_set_property_update", [&] {
    return with_row(sleeptimer_check_instnum, sleeptimer_set_entry_free,
                    [](TIMER_ROW **row) { return sleeptimer_set_property_update(row, 0); });
  });
  failing("sleeptimer_update", [] { return sleeptimer_update(); });
  failing("sleeptimer_init_entry_index", [] { return sleeptimer_init_entry_index(0, 1); });
  failing("wifitimer1_get_total_num", [] { return wifitimer1_get_total_num(); });
  failing("wifitimer1_check_entry", [&] { return wifitimer1_check_entry(0, &instance); });
  failing("wifitimer1_check_instnum", [&] {
    return with_row(wifitimer1_check_instnum, wifitimer1_set_property_free, [](TIMER_ROW **) { return 1; });
  });
  failing("wifitimer1_get_property", [&] {
    return with_row(wifitimer1_check_instnum, wifitimer1_set_property_free,
                    [&](TIMER_ROW **row) { return wifitimer1_get_property(WIFITIMER1_TIME, text, row); });
  });
  failing("wifitimer1_set_property", [&] {
    return with_row(wifitimer1_check_instnum, wifitimer1_set_property_free,
                    [&](TIMER_ROW **row) { return wifitimer1_set_property(WIFITIMER1_ENABLE, &byte, row); });
  });
  failing("wifitimer1_set_property_update", [&] {
    return with_row(wifitimer1_check_instnum, wifitimer1_set_property_free,
                    [](TIMER_ROW **row) { return wifitimer1_set_property_update(row, 0); });
  });
  failing("wifitimer1_update", [] { return wifitimer1_update(); });
  failing("wifitimer1_init_entry_index", [] { return wifitimer1_init_entry_index(0, 1); });
  // Adding and removing, last: each works once.
  fail_accessor("sleeptimer_del_entry");
  EXPECT_EQ(sleeptimer_del_entry(0, 1), 0);
  fail_accessor("sleeptimer_add_entry");
  EXPECT_EQ(sleeptimer_add_entry(2), 0);
  fail_accessor("wifitimer1_del_entry");
  EXPECT_EQ(wifitimer1_del_entry(0, 1), 0);
  fail_accessor("wifitimer1_add_entry");
  EXPECT_EQ(wifitimer1_add_entry(2), 0);
  clear_failures();
  EXPECT_EQ(sleeptimer_del_entry(0, 1), 1);
  EXPECT_EQ(sleeptimer_add_entry(2), 1);
  EXPECT_EQ(wifitimer1_del_entry(0, 1), 1);
  EXPECT_EQ(wifitimer1_add_entry(2), 1);
}

TEST_F(TimersTest, TheWiFiTimerIsOneDailyWindowOverTheSsidsOfItsMask) {
  TIMER_ROW *row = nullptr;
  EXPECT_EQ(wifitimer_check_instnum(&row), 0) << "before the module's handle, no row";
  WIFI_TIMER *timer = nullptr;
  ASSERT_EQ(wifitimer_init_entry(&timer), 1);
  ASSERT_EQ(wifitimer_check_instnum(&row), 1);
  char text[256] = "";
  ASSERT_EQ(wifitimer_get_property(WIFITIMER_END, text, &row), 1);
  EXPECT_STREQ(text, "24:00");

  int changed = 0;
  const uint8_t weekly = 2, daily = 1, on = 1;
  EXPECT_EQ(wifitimer_set_property(WIFITIMER_CYCLE, &weekly, &row, timer, &changed), 0);
  EXPECT_EQ(wifitimer_set_property(WIFITIMER_CYCLE, &daily, &row, timer, &changed), 1);
  EXPECT_EQ(wifitimer_set_property(WIFITIMER_START, "25:00", &row, timer, &changed), 0);
  // Off since a minute ago (the window ended then), on SSIDs 1 and 3.
  const uint32_t mask = 0x5;
  ASSERT_EQ(wifitimer_set_property(WIFITIMER_START, minutes_from_now(-2).c_str(), &row, timer, &changed), 1);
  ASSERT_EQ(wifitimer_set_property(WIFITIMER_END, minutes_from_now(-1).c_str(), &row, timer, &changed), 1);
  ASSERT_EQ(wifitimer_set_property(WIFITIMER_SSID_MASK, &mask, &row, timer, &changed), 1);
  ASSERT_EQ(wifitimer_set_property(WIFITIMER_ENABLE, &on, &row, timer, &changed), 1);
  int32_t enable = 0;
  ASSERT_EQ(wifitimer_get_property(WIFITIMER_ENABLE, &enable, &row), 1);
  EXPECT_EQ(enable, 1);
  ASSERT_EQ(wifitimer_set_property_update(&row), 1);
  wifitimer_set_entry_free(&row);
  ASSERT_EQ(wifitimer_update_entry(timer), 1);
  EXPECT_EQ(setting("wlan.1.TimerOn"), "0");
  EXPECT_EQ(setting("wlan.2.TimerOn"), "<missing>") << "not in the mask";
  EXPECT_EQ(setting("wlan.3.TimerOn"), "0");

  // Inside the window again once it ends a minute from now.
  ASSERT_EQ(wifitimer_check_instnum(&row), 1);
  ASSERT_EQ(wifitimer_set_property(WIFITIMER_END, minutes_from_now(1).c_str(), &row, timer, &changed), 1);
  ASSERT_EQ(wifitimer_set_property_update(&row), 1);
  wifitimer_set_entry_free(&row);
  ASSERT_EQ(wifitimer_update_entry(timer), 1);
  EXPECT_EQ(setting("wlan.1.TimerOn"), "1");
  EXPECT_EQ(notices(MIB_JOURNAL_WIFI_TIMER),
            (std::vector<std::string>{"1 timer 1 off", "1 timer 3 off", "1 timer 1 on", "1 timer 3 on"}));
  wifitimer_free_entry(&timer);
  EXPECT_EQ(timer, nullptr);
}

TEST_F(TimersTest, ExtendedWiFiTimersSwitchTheirSsidsOnTheirWeekdays) {
  ASSERT_EQ(wifitimer1_add_entry(1), 1);
  ASSERT_EQ(wifitimer1_add_entry(2), 1);
  EXPECT_EQ(wifitimer1_add_entry(101), 0);
  const auto write = [](uint32_t instance, uint8_t days, const std::string &at, int32_t active,
                        uint32_t mask) {
    TIMER_ROW *row = nullptr;
    uint32_t index = 0;
    ASSERT_EQ(wifitimer1_check_instnum(instance, &index, &row), 1);
    const uint8_t on = 1;
    EXPECT_EQ(wifitimer1_set_property(WIFITIMER1_WEEKDAY, &days, &row), 1);
    EXPECT_EQ(wifitimer1_set_property(WIFITIMER1_TIME, at.c_str(), &row), 1);
    EXPECT_EQ(wifitimer1_set_property(WIFITIMER1_ACTIVE, &active, &row), 1);
    EXPECT_EQ(wifitimer1_set_property(WIFITIMER1_ENABLE, &on, &row), 1);
    EXPECT_EQ(wifitimer1_set_property(WIFITIMER1_SSID_MASK, &mask, &row), 1);
    EXPECT_EQ(wifitimer1_set_property_update(&row, index), 1);
    wifitimer1_set_property_free(&row);
  };
  // SSID 2 went off a minute ago on every weekday; a timer with the active
  // value 2 (stored by another writer) and one with no day switch nothing.
  const std::string earlier = minutes_from_now(-1);
  write(1, 0xfe, earlier, 0, 0x2);
  write(2, 0xfe, minutes_from_now(0), 2, 0x2);
  ASSERT_EQ(wifitimer1_update(), 1);
  EXPECT_EQ(setting("wlan.2.ExTimerOn"), "0");

  TIMER_ROW *row = nullptr;
  ASSERT_EQ(wifitimer1_check_instnum(1, nullptr, &row), 1);
  char text[256] = "";
  ASSERT_EQ(wifitimer1_get_property(WIFITIMER1_TIME, text, &row), 1);
  EXPECT_EQ(text, earlier) << "kept as written";
  wifitimer1_set_property_free(&row);

  // Its only timer gone, SSID 2 is back on.
  ASSERT_EQ(wifitimer1_del_entry(0, 1), 1);
  ASSERT_EQ(wifitimer1_update(), 1);
  EXPECT_EQ(setting("wlan.2.ExTimerOn"), "1");
  EXPECT_EQ(notices(MIB_JOURNAL_WIFI_TIMER),
            (std::vector<std::string>{"1 extimer 2 off", "1 extimer 2 on"}));
}

}  // namespace
}  // namespace igd1::mib::test
