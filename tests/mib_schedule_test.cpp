// The schedule runner: weekly edges in local time, one wake-up at the
// earliest edge, and after a clock change each schedule put once into the
// state the new time gives it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <vector>

#include "schedule_runner.h"

namespace igd1::mib {
namespace {

constexpr uint8_t kWeekdays = 0x3e;  // Monday to Friday

// UTC for the whole suite, so that the times below are plain arithmetic.
class ScheduleTest : public ::testing::Test {
 protected:
  ScheduleTest() {
    const char *zone = getenv("TZ");
    if (zone != nullptr) saved_zone_ = zone;
    had_zone_ = zone != nullptr;
    setenv("TZ", "UTC0", 1);
    tzset();
  }
  ~ScheduleTest() override {
    if (had_zone_)
      setenv("TZ", saved_zone_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

  // Monday 2026-12-07 00:00 UTC plus days, hours and minutes.
  static time_t at(int day, int hour, int minute) {
    return time_t(1796601600) + day * 86400 + hour * 3600 + minute * 60;
  }

  std::string saved_zone_;
  bool had_zone_ = false;
};

static_assert(1796601600 % 86400 == 0);

TEST_F(ScheduleTest, StateIsTheLatestEdgeOverTheWeekAndTheNextEdgeFollowsTheDays) {
  const std::vector<ScheduleEdge> office = {{kWeekdays, 7 * 60, 1}, {kWeekdays, 23 * 60, 0}};
  EXPECT_EQ(schedule_state_at(office, at(0, 6, 59)), 0) << "Monday morning: Friday's 23:00 still holds";
  EXPECT_EQ(schedule_state_at(office, at(0, 7, 0)), 1) << "from the first second of the minute";
  EXPECT_EQ(schedule_state_at(office, at(5, 10, 0)), 0) << "Saturday";
  EXPECT_EQ(next_schedule_edge(office, at(5, 10, 0)), at(7, 7, 0)) << "Saturday to Monday";
  EXPECT_EQ(next_schedule_edge(office, at(0, 7, 0)), at(0, 23, 0)) << "an edge is after, not at, now";
  EXPECT_EQ(next_schedule_edge(office, at(4, 23, 30)), at(7, 7, 0));

  // A window over midnight, and an edge on one day of the week only.
  const std::vector<ScheduleEdge> night = {{kEveryDay, 22 * 60, 1}, {kEveryDay, 6 * 60, 0}};
  EXPECT_EQ(schedule_state_at(night, at(2, 1, 0)), 1);
  EXPECT_EQ(schedule_state_at(night, at(2, 12, 0)), 0);
  const std::vector<ScheduleEdge> sunday = {{1u << 0, 12 * 60, 5}};
  EXPECT_EQ(schedule_state_at(sunday, at(6, 11, 59)), 5) << "last Sunday's, a week back";
  EXPECT_EQ(next_schedule_edge(sunday, at(6, 12, 0)), at(13, 12, 0)) << "a week on";

  // Two edges at one minute: the later in the list holds.  No day, no state.
  EXPECT_EQ(schedule_state_at({{kEveryDay, 60, 1}, {kEveryDay, 60, 2}}, at(0, 1, 0)), 2);
  EXPECT_FALSE(schedule_state_at({{0, 60, 1}}, at(0, 2, 0)));
  EXPECT_EQ(next_schedule_edge({{0, 60, 1}}, at(0, 2, 0)), 0);
  EXPECT_FALSE(schedule_state_at({}, at(0, 2, 0)));
}

// A clock the test sets by hand; it records the wake-up asked for.
class HandClock : public WallClock {
 public:
  time_t now() override { return now_; }
  void arm(time_t when) override {
    armed = when;
    ++arms;
  }
  time_t now_ = 0;
  time_t armed = -1;
  int arms = 0;
};

struct Applied {
  char schedule;
  int state;
  bool operator==(const Applied &) const = default;
};

class ScheduleRunnerTest : public ScheduleTest {
 protected:
  ScheduleRunner::Apply record(char schedule) {
    return [this, schedule](int state) { applied_.push_back({schedule, state}); };
  }
  HandClock clock_;
  ScheduleRunner runner_{clock_};
  std::vector<Applied> applied_;
};

TEST_F(ScheduleRunnerTest, WakesOnlyAtTheEarliestEdgeAndAppliesEachChangeOnce) {
  clock_.now_ = at(0, 7, 30);
  const auto a = runner_.add({{kEveryDay, 8 * 60, 1}, {kEveryDay, 9 * 60, 0}}, record('A'), true);
  runner_.add({{kEveryDay, 8 * 60 + 30, 1}, {kEveryDay, 20 * 60, 0}}, record('B'), false);
  EXPECT_EQ(applied_, (std::vector<Applied>{{'A', 0}})) << "B's owner had set it already";
  EXPECT_EQ(clock_.armed, at(0, 8, 0));

  clock_.now_ = at(0, 8, 0);
  runner_.wake();
  EXPECT_EQ(applied_.back(), (Applied{'A', 1}));
  EXPECT_EQ(clock_.armed, at(0, 8, 30));
  const size_t count = applied_.size();
  runner_.wake();  // a second look at the same moment changes nothing
  EXPECT_EQ(applied_.size(), count);

  // A changed schedule is re-armed; the owner applies it or asks for it.
  clock_.now_ = at(0, 8, 10);
  runner_.change(a, {{kEveryDay, 8 * 60 + 15, 7}}, true);
  EXPECT_EQ(applied_.back(), (Applied{'A', 7})) << "08:15 yesterday is its latest edge";
  EXPECT_EQ(clock_.armed, at(0, 8, 15));
  runner_.remove(a);
  EXPECT_EQ(clock_.armed, at(0, 8, 30));
  EXPECT_FALSE(runner_.applied(a));
}

TEST_F(ScheduleRunnerTest, AClockSetForwardAppliesTheNewStateOnceInTheOrderOfItsEdges) {
  clock_.now_ = at(0, 7, 50);
  runner_.add({{kEveryDay, 8 * 60, 1}, {kEveryDay, 9 * 60, 0}}, record('A'), false);
  runner_.add({{kEveryDay, 8 * 60 + 30, 1}, {kEveryDay, 20 * 60, 0}}, record('B'), false);
  runner_.add({{kEveryDay, 7 * 60, 0}, {kEveryDay, 8 * 60 + 5, 1}}, record('C'), false);
  ASSERT_TRUE(applied_.empty());

  // To 08:40: A's and C's 08:00 and 08:05 and B's 08:30 fell inside the
  // jump; each schedule is applied once, in the order of those edges.
  clock_.now_ = at(0, 8, 40);
  runner_.wake();
  EXPECT_EQ(applied_, (std::vector<Applied>{{'A', 1}, {'C', 1}, {'B', 1}}));
  EXPECT_EQ(clock_.armed, at(0, 9, 0));

  // A day on: four of A's edges fell inside, and it is applied once, with
  // the state of the latest.  B's and C's edges brought them back where
  // they were: nothing to apply.
  applied_.clear();
  clock_.now_ = at(1, 9, 30);
  runner_.wake();
  EXPECT_EQ(applied_, (std::vector<Applied>{{'A', 0}}));
  runner_.wake();
  EXPECT_EQ(applied_.size(), 1u) << "a second look at the same moment changes nothing";
}

TEST_F(ScheduleRunnerTest, EdgesGoneOverAgainAfterTheClockWasSetBackAreNotAppliedTwice) {
  clock_.now_ = at(0, 9, 10);
  const auto a = runner_.add({{kEveryDay, 8 * 60, 1}, {kEveryDay, 9 * 60, 0}}, record('A'), false);
  runner_.add({{kEveryDay, 8 * 60 + 30, 1}, {kEveryDay, 20 * 60, 0}}, record('B'), false);

  // An hour back, to 08:10: A's 09:00 and B's 08:30 were applied already.
  // Neither schedule goes back, and passing those edges again applies
  // nothing; the runner does not even wake for them.
  clock_.now_ = at(0, 8, 10);
  runner_.wake();
  EXPECT_TRUE(applied_.empty());
  EXPECT_EQ(clock_.armed, at(0, 20, 0)) << "the first edge after 09:10, B's";
  for (const time_t moment : {at(0, 8, 30), at(0, 9, 0), at(0, 9, 10)}) {
    clock_.now_ = moment;
    runner_.wake();
  }
  EXPECT_TRUE(applied_.empty());
  // Past the moment the clock was set back from, edges act again.
  clock_.now_ = at(0, 20, 0);
  runner_.wake();
  EXPECT_EQ(applied_, (std::vector<Applied>{{'B', 0}}));

  // A schedule changed during a replay takes the state of now at once.
  applied_.clear();
  clock_.now_ = at(1, 8, 10);
  runner_.wake();
  EXPECT_EQ(applied_, (std::vector<Applied>{{'A', 1}}));
  clock_.now_ = at(1, 7, 0);
  runner_.wake();
  runner_.change(a, {{kEveryDay, 6 * 60, 0}}, true);
  EXPECT_EQ(applied_, (std::vector<Applied>{{'A', 1}, {'A', 0}}));

  // Set back more than a day is a new start: every schedule gets the state
  // of the new time.
  applied_.clear();
  clock_.now_ = at(-2, 12, 0);
  runner_.wake();
  EXPECT_EQ(applied_, (std::vector<Applied>{{'B', 1}}));
}

TEST_F(ScheduleTest, TheMachinesClockWakesTheRunnerOnItsContext) {
  GMainContext *context = g_main_context_new();
  int woken = 0;
  bool gave_up = false;
  GSource *limit = g_timeout_source_new_seconds(3);
  g_source_set_callback(
      limit, [](gpointer flag) { return *static_cast<bool *>(flag) = true, G_SOURCE_REMOVE; }, &gave_up, nullptr);
  g_source_attach(limit, context);
  {
    RealTimeClock clock(context, [&] { ++woken; });
    const time_t armed = clock.now() + 1;
    clock.arm(armed);
    while (woken == 0 && !gave_up) g_main_context_iteration(context, TRUE);
    EXPECT_EQ(woken, 1);
    EXPECT_GE(clock.now(), armed) << "never before its time";
  }
  g_source_destroy(limit);
  g_source_unref(limit);
  g_main_context_unref(context);
}

}  // namespace
}  // namespace igd1::mib
