// The sleep timers and the extended WiFi timers over the bus, against the
// store: numbers the module chooses, renumbering when the host starts
// again, the values' checks and announcements, and the schedules they put
// into effect.
#include <algorithm>
#include <cstdlib>

#include "harness/bus_fixture.h"
#include "local_socket.h"
#include "mib_api.h"
#include "sleeptimer.h"
#include "wifitimer1.h"

namespace igd1::test {
namespace {

constexpr char kSleep[] = "/com/wqx/igd1/Config/Power/SleepTimers";
constexpr char kSleepInterface[] = "com.wqx.igd1.SleepTimer";
constexpr char kExtended[] = "/com/wqx/igd1/Config/WLAN/ExTimers";
constexpr char kExtendedInterface[] = "com.wqx.igd1.WiFiTimer1";

GVariant *days(std::initializer_list<const char *> entries) {
  GVariantBuilder list;
  g_variant_builder_init(&list, G_VARIANT_TYPE("as"));
  for (const char *entry : entries) g_variant_builder_add(&list, "s", entry);
  return g_variant_builder_end(&list);
}

std::string child(const char *manager, int instance) {
  return std::string(manager) + "/" + std::to_string(instance);
}

class TimerCollectionsTest : public BusTest {
 protected:
  void configure(host::Options &options) override { options.modules = {"SleepTimer", "WiFiTimer1"}; }
  // The children a manager lists, as their numbers in order ("1 2 4").
  std::string listed(const char *manager) {
    const std::vector<std::string> paths = listed_paths(manager);
    if (paths == std::vector<std::string>{"<error>"}) return "<error>";
    std::vector<int> instances;
    for (const std::string &path : paths) instances.push_back(std::atoi(path.c_str() + path.rfind('/') + 1));
    std::sort(instances.begin(), instances.end());
    std::string numbers;
    for (int n : instances) numbers += (numbers.empty() ? "" : " ") + std::to_string(n);
    return numbers;
  }
  // The store's instance numbers of a timer table, in order.
  static std::string stored(int (*check_entry)(uint32_t, int *), int (*total)()) {
    std::string numbers;
    for (int position = 0; position < total(); ++position) {
      int instance = 0;
      if (check_entry(uint32_t(position), &instance) != 0)
        numbers += (numbers.empty() ? "" : " ") + std::to_string(instance);
    }
    return numbers;
  }
  // Journal lines under `bit` since `seq`, as their texts, once `last` is
  // the last of them.
  std::vector<std::string> switches(int64_t seq, uint64_t bit, const std::string &last) {
    std::vector<std::string> lines;
    eventually([&] {
      lines = journal_lines(seq, bit);
      return !lines.empty() && lines.back() == last;
    });
    return lines;
  }
};

// ---- sleep timers ------------------------------------------------------------------

TEST_F(TimerCollectionsTest, SleepTimerDaysAreAMaskWithAnEveryDayValue) {
  const std::string timer = add_child(kSleep);
  ASSERT_EQ(timer, child(kSleep, 1));
  EXPECT_EQ(shown(timer, kSleepInterface, "Day"), "@as []");
  EXPECT_EQ(shown(timer, kSleepInterface, "Time"), "'00:00'");
  EXPECT_EQ(shown(timer, kSleepInterface, "Active"), "'0'");
  EXPECT_EQ(shown(timer, kSleepInterface, "Enable"), "false");

  const struct {
    std::initializer_list<const char *> written;
    const char *reads;
    const char *stored;
  } cases[] = {
      {{"1", "3", "5"}, "['1', '3', '5']", "42"},
      {{"3", "0", "5"}, "['0']", "1"},
      {{"8", "-1"}, "@as []", "0"},
      {{"2", "2"}, "['2']", "4"},
      {{"7", "x", "1"}, "['0']", "1"},
      {{"99999999999999999999", "7"}, "['7']", "128"},
  };
  for (const auto &c : cases) {
    ASSERT_EQ(write(timer, kSleepInterface, "Day", days(c.written)), Error()) << c.reads;
    EXPECT_EQ(shown(timer, kSleepInterface, "Day"), c.reads);
    EXPECT_EQ(cell("sleeptimer", 1, "Day"), c.stored) << c.reads;
  }
  EXPECT_EQ(set_multi(timer, kSleepInterface, dictionary({{"Day", g_variant_new_string("1")}})),
            InvalidArgs("WeekDay value type is err"));
}

TEST_F(TimerCollectionsTest, SleepTimerTimesAreCheckedKeptAsWrittenAndAnnouncedInTwoDigits) {
  const std::string timer = add_child(kSleep);
  SignalWatcher changes(client(), kProps, "PropertiesChanged", timer.c_str());
  ASSERT_EQ(write(timer, kSleepInterface, "Time", g_variant_new_string("7:05")), Error());
  EXPECT_EQ(changes.next(), change_body(kSleepInterface, "{'Time': <'07:05'>}"));
  EXPECT_EQ(text(timer, kSleepInterface, "Time"), "7:05");
  EXPECT_EQ(cell("sleeptimer", 1, "Time"), "7:05");

  const std::string shape = "Invalid parameter value, object path " + timer;
  const std::pair<const char *, std::string> refused[] = {
      {"24:00", "Invalid parameter value!"}, {"12:60", "Invalid parameter value!"},
      {"1a:00", "Invalid parameter value!"}, {"1200", shape},
      {"123:45", shape},                     {"12:", "Invalid parameter value ,path 12:"},
      {":30", "Invalid parameter value ,path :30"},
  };
  for (const auto &[time, message] : refused)
    EXPECT_EQ(write(timer, kSleepInterface, "Time", g_variant_new_string(time)),
              InvalidArgs(message))
        << time;
  EXPECT_EQ(cell("sleeptimer", 1, "Time"), "7:05");
  EXPECT_EQ(changes.next(200ms), "<null>");

  // Active is "0" or "1" exactly; a value of another type is refused.
  for (const char *active : {"01", "true", ""})
    EXPECT_EQ(write(timer, kSleepInterface, "Active", g_variant_new_string(active)),
              InvalidArgs("Invalid parameter value ,path " + timer))
        << active;
  EXPECT_EQ(set_multi(timer, kSleepInterface, dictionary({{"Enable", g_variant_new_string("1")}})),
            InvalidArgs(shape));
  ASSERT_EQ(write(timer, kSleepInterface, "Active", g_variant_new_string("1")), Error());
  EXPECT_EQ(changes.next(), change_body(kSleepInterface, "{'Active': <'1'>}"));
  ASSERT_EQ(write(timer, kSleepInterface, "Active", g_variant_new_string("1")), Error());
  EXPECT_EQ(changes.next(200ms), "<null>") << "an unchanged value is not announced";
}

TEST_F(TimerCollectionsTest, SleepTimerWritesAreAllOrNothingAndEveryStoreFailureIsAnswered) {
  const std::string timer = add_child(kSleep);
  SignalWatcher changes(client(), kProps, "PropertiesChanged", timer.c_str());
  const uint64_t before = commits("sleeptimer");
  EXPECT_EQ(set_multi(timer, kSleepInterface,
                      dictionary({{"Day", days({"1"})},
                                  {"Enable", g_variant_new_boolean(TRUE)},
                                  {"Time", g_variant_new_string("25:00")}})),
            InvalidArgs("Invalid parameter value!"));
  EXPECT_EQ(commits("sleeptimer"), before);
  EXPECT_EQ(shown(timer, kSleepInterface, "Day"), "@as []");
  EXPECT_EQ(changes.next(200ms), "<null>");

  ASSERT_EQ(set_multi(timer, kSleepInterface,
                      dictionary({{"Day", days({"6", "7"})}, {"Time", g_variant_new_string("9:30")},
                                  {"Enable", g_variant_new_boolean(TRUE)}})),
            Error());
  EXPECT_EQ(changes.next(), change_body(kSleepInterface, "{'Day': <['6', '7']>, 'Time': "
                                                         "<'09:30'>, 'Enable': <true>}"));

  const struct {
    const char *call;
    Error answer;
  } failures[] = {
      {"sleeptimer_set_property_update", InvalidArgs("MIB_SLEEP_MODE_SCHED_TBL db update failure")},
      {"sleeptimer_set_property", InvalidArgs("set Time failed!")},
      {"sleeptimer_check_instnum", InvalidArgs("invalid object path " + timer)},
  };
  for (const auto &f : failures) {
    mib::fail_accessor(f.call);
    EXPECT_EQ(write(timer, kSleepInterface, "Time", g_variant_new_string("10:00")), f.answer)
        << f.call;
    mib::clear_failures();
    EXPECT_EQ(cell("sleeptimer", 1, "Time"), "9:30") << f.call;
  }
  mib::fail_accessor("sleeptimer_get_property");
  EXPECT_EQ(shown(timer, kSleepInterface, "Time"), "error: invalid object path " + timer);
  mib::clear_failures();
  EXPECT_EQ(changes.next(200ms), "<null>");

  // A write that changes nothing is stored all the same, unannounced: the
  // store's refusal of it answers.
  const uint64_t stored_before = commits("sleeptimer");
  ASSERT_EQ(write(timer, kSleepInterface, "Time", g_variant_new_string("9:30")), Error());
  EXPECT_GT(commits("sleeptimer"), stored_before);
  mib::fail_accessor("sleeptimer_set_property_update");
  EXPECT_EQ(set_multi(timer, kSleepInterface,
                      dictionary({{"Day", days({"6", "7"})}, {"Enable", g_variant_new_boolean(TRUE)}})),
            InvalidArgs("MIB_SLEEP_MODE_SCHED_TBL db update failure"));
  mib::clear_failures();
  EXPECT_EQ(changes.next(200ms), "<null>");
}

TEST_F(TimerCollectionsTest, SleepTimerNumbersFillTheLowestGapUpToNinetyNine) {
  for (int n = 1; n <= 4; ++n) ASSERT_EQ(add_child(kSleep), child(kSleep, n));
  ASSERT_EQ(remove(kSleep, child(kSleep, 3)), Error());
  EXPECT_EQ(listed(kSleep), "1 2 4");
  uint32_t idle = 0;
  loop_->run([&] { ASSERT_EQ(sleeptimer_get_idle_idx(&idle), 1); });
  EXPECT_EQ(idle, 3u);
  EXPECT_EQ(add(kSleep), std::make_pair(child(kSleep, 3), Error()));

  mib::fail_accessor("sleeptimer_add_entry");
  EXPECT_EQ(add(kSleep).second,
            Error(kManagerError, "AddObject NO idle index for MIB_SLEEP_MODE_SCHED_TBL"));
  mib::clear_failures();
  for (int n = 5; n <= 99; ++n) ASSERT_EQ(add(kSleep).first, child(kSleep, n));
  EXPECT_EQ(add(kSleep).second,
            Error(kManagerError, "add index for MIB_SLEEP_MODE_SCHED_TBL is err"));
  loop_->run([&] { EXPECT_EQ(sleeptimer_get_idle_idx(&idle), 0); });
}

TEST_F(TimerCollectionsTest, SleepTimerDeleteObjectAnswersAnEmptyTableFirst) {
  EXPECT_EQ(remove(kSleep, "/not/a/timer"),
            Error("org.freedesktop.DBus.Error.NoReply", "no sleep timer instance"));
  ASSERT_EQ(add_child(kSleep), child(kSleep, 1));
  EXPECT_EQ(remove(kSleep, child(kSleep, 2)), Error(kFailed, "this entry not exist"));
  for (const std::string &path : {std::string("/not/a/timer"), child(kSleep, 0), child(kSleep, 100),
                                  std::string(kSleep) + "/01", child(kExtended, 1)})
    EXPECT_EQ(remove(kSleep, path), Error(kManagerError, "DeleteObject object path error")) << path;
  mib::fail_accessor("sleeptimer_del_entry");
  EXPECT_EQ(remove(kSleep, child(kSleep, 1)), Error(kManagerError, "Delete chain record error"));
  mib::clear_failures();
  EXPECT_EQ(listed(kSleep), "1");
  SignalWatcher removed(client(), kFreedesktopManager, "InterfacesRemoved", kSleep);
  EXPECT_EQ(remove(kSleep, child(kSleep, 1)), Error());
  EXPECT_THAT(removed.next(), HasSubstr(child(kSleep, 1)));
  EXPECT_EQ(stored(sleeptimer_check_entry, sleeptimer_get_total_num), "");
}

TEST_F(TimerCollectionsTest, RowsOfAnotherWriterAreFollowedAndRenumberedWhenTheHostStartsAgain) {
  SignalWatcher added(client(), kFreedesktopManager, "InterfacesAdded", kSleep);
  // Rows added beside the bus (igd1-mib) reach the module's row callbacks.
  for (uint32_t n : {2u, 5u, 9u}) ASSERT_EQ(sleeptimer_add_entry(n), 1);
  for (int n : {2, 5, 9}) EXPECT_THAT(added.next(), HasSubstr(child(kSleep, n)));
  ASSERT_EQ(write(child(kSleep, 5), kSleepInterface, "Time", g_variant_new_string("6:15")), Error());
  ASSERT_EQ(wifitimer1_add_entry(40), 1);
  ASSERT_EQ(wifitimer1_add_entry(100), 1);

  ASSERT_NO_FATAL_FAILURE(restart_host());
  EXPECT_EQ(listed(kSleep), "1 2 3");
  EXPECT_EQ(stored(sleeptimer_check_entry, sleeptimer_get_total_num), "1 2 3");
  EXPECT_EQ(text(child(kSleep, 2), kSleepInterface, "Time"), "6:15") << "the rows keep their values";
  EXPECT_EQ(listed(kExtended), "1 2");

  // The host side's wrappers: children by number, and the instance list.
  loop_->run([&] { sleeptimer_unexport_object(3); });
  EXPECT_EQ(listed(kSleep), "1 2");
  loop_->run([&] { sleeptimer_export_new_object(3); });
  EXPECT_EQ(listed(kSleep), "1 2 3");
  const uint32_t first = 7, second = 8;
  void *record = nullptr;
  loop_->run([&] {
    EXPECT_EQ(sleeptimer_get_dbus_proxy_list_index(0, &record), 0);
    EXPECT_EQ(sleeptimer_dbus_proxy_list_improve(&first, sizeof first), 1);
    EXPECT_EQ(sleeptimer_dbus_proxy_list_improve(&first, sizeof first), 1);
    sleeptimer_dbus_proxy_list_node_update(&second, 1, sizeof second);
    sleeptimer_dbus_proxy_list_delete(0);
    ASSERT_EQ(sleeptimer_get_dbus_proxy_list_index(0, &record), 1);
    EXPECT_EQ(*static_cast<uint32_t *>(record), second);
    sleeptimer_dbus_proxy_list_delete(0);
    EXPECT_EQ(sleeptimer_get_dbus_proxy_list_index(0, &record), 0);
  });
}

TEST_F(TimerCollectionsTest, ARowTheStartCannotRenumberKeepsItsNumberWithoutAChild) {
  for (uint32_t n : {2u, 5u, 9u}) ASSERT_EQ(sleeptimer_add_entry(n), 1);
  mib::fail_accessor("sleeptimer_init_entry_index", 1);
  ASSERT_NO_FATAL_FAILURE(restart_host());
  mib::clear_failures();
  EXPECT_EQ(stored(sleeptimer_check_entry, sleeptimer_get_total_num), "1 3 5");
  EXPECT_EQ(listed(kSleep), "1 3");
  // Its number stays taken, and the row can still be deleted by it.
  EXPECT_EQ(add(kSleep).first, child(kSleep, 2));
  EXPECT_EQ(remove(kSleep, child(kSleep, 5)), Error());
  EXPECT_EQ(stored(sleeptimer_check_entry, sleeptimer_get_total_num), "1 2 3");
  EXPECT_EQ(add(kSleep).first, child(kSleep, 4));
  EXPECT_EQ(listed(kSleep), "1 2 3 4");
}

TEST_F(TimerCollectionsTest, AddingATimerAndWritingItsDaysAreLogged) {
  const std::string sleep = add_child(kSleep);
  ASSERT_EQ(write(sleep, kSleepInterface, "Day", days({"1", "3", "5"})), Error());
  EXPECT_EQ(set_multi(sleep, kSleepInterface, dictionary({{"Day", g_variant_new_string("1")}})),
            InvalidArgs("WeekDay value type is err"));
  ASSERT_EQ(add_child(kExtended), child(kExtended, 1));
  ASSERT_EQ(add_child(kExtended), child(kExtended, 2));
  const std::string log = syslog();
  EXPECT_THAT(log, HasSubstr("Add path_name " + sleep + "\r\n"));
  EXPECT_THAT(log, HasSubstr("value len:3\r\n"));
  EXPECT_THAT(log, HasSubstr("Value with type 's' does not match '(as)'"));
  EXPECT_THAT(log, HasSubstr("total=0 \r\n"));
  EXPECT_THAT(log, HasSubstr("total=1 \r\n"));
}

TEST_F(TimerCollectionsTest, TimesAreNormalisedToTwoDigitsAndNothingElseIsTaken) {
  for (const auto &[written, normalised] :
       {std::pair<const char *, const char *>{"7:5", "07:05"}, {"24:00", "24:00"}, {"0:00", "00:00"}}) {
    char *result = nullptr;
    ASSERT_EQ(sleeptimer_time(written, &result), 1) << written;
    EXPECT_STREQ(result, normalised);
    g_free(result);
  }
  for (const char *bad : {"-1:5", "7", "7:5x", "123:4", ""}) {
    char *result = nullptr;
    EXPECT_EQ(sleeptimer_time(bad, &result), 0) << bad;
    EXPECT_EQ(result, nullptr);
  }
}

// ---- extended WiFi timers ------------------------------------------------------------

TEST_F(TimerCollectionsTest, ExtendedTimersKeepWhatIsWrittenAndAnnounceEveryAcceptedWrite) {
  const std::string timer = add_child(kExtended);
  ASSERT_EQ(timer, child(kExtended, 1));
  SignalWatcher changes(client(), kProps, "PropertiesChanged", timer.c_str());
  ASSERT_EQ(write(timer, kExtendedInterface, "WeekDay", days({"0"})), Error());
  EXPECT_EQ(shown(timer, kExtendedInterface, "WeekDay"), "@as []") << "no every-day value";
  EXPECT_EQ(changes.next(), change_body(kExtendedInterface, "{'WeekDay': <@as []>}"))
      << "announced although unchanged";
  ASSERT_EQ(write(timer, kExtendedInterface, "WeekDay", days({"7", "x", "1", "8"})), Error());
  EXPECT_EQ(shown(timer, kExtendedInterface, "WeekDay"), "['1', '7']");
  changes.next();

  ASSERT_EQ(write(timer, kExtendedInterface, "Time", g_variant_new_string("7:5")), Error());
  EXPECT_EQ(changes.next(), change_body(kExtendedInterface, "{'Time': <'7:5'>}"));
  EXPECT_EQ(cell("wifitimer_ex", 1, "Time"), "7:5");
  ASSERT_EQ(write(timer, kExtendedInterface, "Time", g_variant_new_string("24:00")), Error());
  changes.next();
  for (const char *bad : {"25:00", "1200", "12:", "7:60", "123:45"})
    EXPECT_EQ(write(timer, kExtendedInterface, "Time", g_variant_new_string(bad)),
              InvalidArgs(std::string("Invalid parameter value ,path ") + bad))
        << bad;
  EXPECT_EQ(write(timer, kExtendedInterface, "Active", g_variant_new_string("2")),
            InvalidArgs("Invalid parameter value ,path " + timer));
  EXPECT_EQ(changes.next(200ms), "<null>");

  ASSERT_TRUE(mib::set_cell("wifitimer_ex", 1, "Active", "2"));
  EXPECT_EQ(shown(timer, kExtendedInterface, "Active"), "''");

  host::settings().service_type = 1;
  ASSERT_EQ(set_multi(timer, kExtendedInterface,
                      dictionary({{"SSIDMask", g_variant_new_uint32(6)},
                                  {"Enable", g_variant_new_boolean(FALSE)}})),
            Error());
  EXPECT_EQ(changes.next(), change_body(kExtendedInterface,
                                        "{'SSIDMask': <uint32 6>, 'Enable': <false>}"));
  mib::fail_accessor("wifitimer1_set_property_update");
  EXPECT_EQ(write(timer, kExtendedInterface, "SSIDMask", g_variant_new_uint32(1)),
            InvalidArgs("MIB_WIFI_TIMER_EX_TBL db update failure"));
  EXPECT_EQ(changes.next(200ms), "<null>");
  EXPECT_EQ(cell("wifitimer_ex", 1, "SSIDMask"), "6");
}

TEST_F(TimerCollectionsTest, ExtendedTimersNumberUpToNinetyNineAndDeleteWithoutAnEmptyTableCheck) {
  EXPECT_EQ(remove(kExtended, child(kExtended, 1)), Error(kFailed, "this entry not exist"));
  for (int n = 1; n <= 99; ++n) ASSERT_EQ(add(kExtended).first, child(kExtended, n));
  EXPECT_EQ(add(kExtended).second,
            Error(kManagerError, "AddObject NO idle index for MIB_WIFI_TIMER_EX_TBL"));
  uint32_t idle = 0;
  loop_->run([&] { EXPECT_EQ(wifitimer1_get_idle_idx(&idle), 0); });

  // Another writer's 100th row has a child; freeing a number below it
  // makes room again.
  SignalWatcher added(client(), kFreedesktopManager, "InterfacesAdded", kExtended);
  ASSERT_EQ(wifitimer1_add_entry(100), 1);
  EXPECT_THAT(added.next(), HasSubstr(child(kExtended, 100)));
  ASSERT_EQ(remove(kExtended, child(kExtended, 50)), Error());
  mib::fail_accessor("wifitimer1_add_entry");
  EXPECT_EQ(add(kExtended).second,
            Error(kManagerError, "AddObject NO idle index for MIB_WIFI_TIMER_EX_TBL"));
  mib::clear_failures();
  EXPECT_EQ(add(kExtended).first, child(kExtended, 50));
}

// ---- the schedules -----------------------------------------------------------------------

TEST_F(TimerCollectionsTest, ATimerChangePutsTheScheduleIntoEffectAtOnce) {
  // One enabled edge alone gives its state at every hour of the week.
  const std::string timer = add_child(kSleep);
  int64_t seq = journal_end();
  ASSERT_EQ(set_multi(timer, kSleepInterface,
                      dictionary({{"Day", days({"0"})}, {"Time", g_variant_new_string("3:00")},
                                  {"Active", g_variant_new_string("1")},
                                  {"Enable", g_variant_new_boolean(TRUE)}})),
            Error());
  EXPECT_THAT(switches(seq, MIB_JOURNAL_POWER, "sleep"), ElementsAre("sleep"));
  EXPECT_EQ(setting("deviceinfo.HGUSleep"), "1");
  seq = journal_end();
  ASSERT_EQ(write(timer, kSleepInterface, "Active", g_variant_new_string("0")), Error());
  EXPECT_THAT(switches(seq, MIB_JOURNAL_POWER, "wake"), ElementsAre("wake"));
  EXPECT_EQ(setting("deviceinfo.HGUSleep"), "0");

  const std::string radio = add_child(kExtended);
  seq = journal_end();
  ASSERT_EQ(set_multi(radio, kExtendedInterface,
                      dictionary({{"WeekDay", days({"1", "2", "3", "4", "5", "6", "7"})},
                                  {"Active", g_variant_new_string("0")},
                                  {"SSIDMask", g_variant_new_uint32(2)},
                                  {"Enable", g_variant_new_boolean(TRUE)}})),
            Error());
  EXPECT_THAT(switches(seq, MIB_JOURNAL_WIFI_TIMER, "extimer 2 off"), ElementsAre("extimer 2 off"));
  EXPECT_EQ(setting("wlan.2.ExTimerOn"), "0");
  // Its row gone, the SSID is back on.
  seq = journal_end();
  ASSERT_EQ(remove(kExtended, radio), Error());
  EXPECT_THAT(switches(seq, MIB_JOURNAL_WIFI_TIMER, "extimer 2 on"), ElementsAre("extimer 2 on"));
  EXPECT_EQ(setting("wlan.2.ExTimerOn"), "1");
}

// Timers that igd1-mib writes in a process of its own, announced with the
// notification socket's row notices.
class TimersOfAnotherWriterTest : public TimerCollectionsTest {
 protected:
  void configure(host::Options &options) override {
    TimerCollectionsTest::configure(options);
    options.notify_socket = true;
  }
  void SetUp() override {
    TimerCollectionsTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(wait_for_notify_socket());
  }
  std::string mib(std::vector<std::string> args) {
    args.insert(args.begin(), {IGD1_BUILD_DIR "/igd1-mib", "--store", root().path(path::kStoreFile)});
    ProgramRun run = run_program(args);
    return run.status == 0 ? run.out : "failed: " + run.output();
  }
};

TEST_F(TimersOfAnotherWriterTest, AnAnnouncedTimerIsPublishedAndActs) {
  ASSERT_EQ(mib({"add", "sleeptimer"}), "1\n");
  for (const auto &[cell, value] : {std::pair<const char *, const char *>{"sleeptimer[1].Day", "1"},
                                    {"sleeptimer[1].Time", "4:00"},
                                    {"sleeptimer[1].Active", "1"},
                                    {"sleeptimer[1].Enable", "1"}})
    ASSERT_EQ(mib({"set", cell, value}), "") << cell;
  const int64_t seq = journal_end();
  SignalWatcher added(client(), kFreedesktopManager, "InterfacesAdded", kSleep);
  EXPECT_EQ(exchange("row-inserted sleeptimer 1"), "OK");
  EXPECT_THAT(added.next(), HasSubstr(child(kSleep, 1)));
  EXPECT_EQ(text(child(kSleep, 1), kSleepInterface, "Time"), "4:00");
  EXPECT_THAT(switches(seq, MIB_JOURNAL_POWER, "sleep"), ElementsAre("sleep"));

  ASSERT_EQ(mib({"remove", "sleeptimer", "1"}), "");
  SignalWatcher removed(client(), kFreedesktopManager, "InterfacesRemoved", kSleep);
  EXPECT_EQ(exchange("row-removed sleeptimer 1"), "OK");
  EXPECT_THAT(removed.next(), HasSubstr(child(kSleep, 1)));
  EXPECT_THAT(switches(seq, MIB_JOURNAL_POWER, "wake"), ElementsAre("sleep", "wake"));
}

}  // namespace
}  // namespace igd1::test
