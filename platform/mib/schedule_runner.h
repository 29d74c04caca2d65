// One wall-clock runner for every schedule of the gateway (the lights'
// daily window, sleep timers, WiFi timers).
//
// A schedule is a set of weekly edges: at a minute of the chosen weekdays its
// state becomes the edge's state.  Its state at any moment is that of the
// latest edge at or before it, so the runner never replays edges: after a
// wake-up, a clock set forward or a suspend it applies to each schedule the
// state it should have at the new time, once, and only when that differs
// from the state applied last (edges skipped over are not applied one by
// one).  A clock set back by at most a day goes over edges that were applied
// already: they are not applied again, neither at once nor when the time
// passes them a second time; each schedule keeps its state until the time
// is past the moment the clock was set back from (or the schedule is
// changed).  A clock set back further is a new start: each schedule gets
// the state of the new time.  Schedules due together are applied in the
// order of the edges that gave them their state.  The runner asks its clock
// for one wake-up, at the earliest next edge of all schedules: an idle
// process is woken at edges and clock changes only, never to poll.
#pragma once

#include <glib.h>
#include <time.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

namespace igd1::mib {

// Bit 0 Sunday ... bit 6 Saturday, as struct tm counts weekdays.
inline constexpr uint8_t kEveryDay = 0x7f;
inline constexpr uint16_t kMinutesPerDay = 24 * 60;

struct ScheduleEdge {
  uint8_t days = kEveryDay;
  uint16_t minute = 0;  // of the day, local time
  int state = 0;
  bool operator==(const ScheduleEdge &) const = default;
};

// The minute of the day a time of day "H:MM" or "HH:MM" names (one or two
// digits each side of the colon, minute 0-59, hour 0 to `max_hour`); hour
// 24 is the midnight that ends the day (24:30 falls at 00:30).  Nothing for
// any other text.
std::optional<uint16_t> day_minute(std::string_view text, int max_hour = 23);
// Weekdays as the runner counts them from a mask with bit n for weekday n,
// 1 Monday to 7 Sunday (bit 0 and bits above 7 are ignored).
uint8_t runner_days(uint8_t monday_first);

// The state a schedule has at `when` (local time): that of its latest edge
// at or before it, over the week; of two edges at the same minute the later
// one in the list.  Nothing when the schedule has no edge on any day.
std::optional<int> schedule_state_at(const std::vector<ScheduleEdge> &edges, time_t when);
// The first moment after `when` at which one of the edges falls; 0 when none.
time_t next_schedule_edge(const std::vector<ScheduleEdge> &edges, time_t when);

// The wall clock a runner reads and the one wake-up it asks of it.
class WallClock {
 public:
  virtual ~WallClock() = default;
  virtual time_t now() = 0;
  // Asks for one call of the runner's wake() at `when`, replacing the last
  // request (0: none), and one whenever the wall clock is set.
  virtual void arm(time_t when) = 0;
};

// The machine's wall clock: a real-time timer whose expiry, or the clock
// being set, calls `on_wake` on `context`.  A suspended machine's timer fires
// on resume when its time has passed.
class RealTimeClock : public WallClock {
 public:
  RealTimeClock(GMainContext *context, std::function<void()> on_wake);
  ~RealTimeClock() override;
  RealTimeClock(const RealTimeClock &) = delete;
  RealTimeClock &operator=(const RealTimeClock &) = delete;
  time_t now() override;
  void arm(time_t when) override;

 private:
  static gboolean on_ready(gint fd, GIOCondition, gpointer self);
  int fd_ = -1;
  GSource *source_ = nullptr;
  std::function<void()> on_wake_;
};

class ScheduleRunner {
 public:
  using Apply = std::function<void(int state)>;
  using Id = uint32_t;

  explicit ScheduleRunner(WallClock &clock) : clock_(clock) {}
  ScheduleRunner(const ScheduleRunner &) = delete;
  ScheduleRunner &operator=(const ScheduleRunner &) = delete;

  // Adds a schedule.  With apply_now its state at this moment is applied at
  // once; otherwise it is taken as applied already (its owner has just set
  // what it shows).  `apply` runs on the thread that calls wake().
  Id add(std::vector<ScheduleEdge> edges, Apply apply, bool apply_now);
  // Replaces a schedule's edges, with apply_now as for add.
  void change(Id id, std::vector<ScheduleEdge> edges, bool apply_now);
  void remove(Id id);
  // The state applied last (nothing when the schedule has no edges).
  std::optional<int> applied(Id id);

  // Applies what the time has changed, then asks for the next wake-up.
  void wake();

 private:
  struct Schedule {
    Id id;
    std::vector<ScheduleEdge> edges;
    Apply apply;
    std::optional<int> applied;
    // Edges up to this moment were applied before the clock was set back.
    time_t replayed_until = 0;
  };
  struct Due {
    time_t since;  // when the edge that set the state fell
    Apply apply;
    int state;
  };
  Schedule *find(Id id);
  // Runs `step(now, due)` under the lock with the time read now, asks for
  // the next wake-up, then applies what `step` found due.
  template <typename Step>
  void at_now(Step step);
  // Notes the state of `s` at `now` as applied; returns it when it changed.
  std::optional<Due> settle(Schedule &s, time_t now);
  void rearm_locked(time_t now);
  // Notes the time read now; a clock set back opens the schedules' replays.
  void observe_locked(time_t now);
  static void run(std::vector<Due> &due);

  WallClock &clock_;
  std::mutex mutex_;  // never held while a schedule is applied
  std::vector<Schedule> schedules_;
  Id next_id_ = 1;
  time_t last_seen_ = 0;  // the latest time the runner read
};

// The process's runner on the main context of the thread that first asks for
// it, woken by a real-time timer that also fires when the clock is set.
ScheduleRunner &schedule_runner();

}  // namespace igd1::mib
