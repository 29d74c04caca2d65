#include "schedule_runner.h"

#include <glib-unix.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>

namespace igd1::mib {

namespace {

constexpr int kDaysPerWeek = 7;
constexpr std::chrono::nanoseconds kPastTheEdge = std::chrono::milliseconds(20);
// A clock set back by more than this is a new start, not a correction.
constexpr time_t kLongestReplay = 24 * 60 * 60;

struct LocalMinute {
  int weekday;  // 0 Sunday
  int minute;   // of the day
  int second;
  struct tm tm;
};

LocalMinute local_minute(time_t when) {
  LocalMinute m{};
  localtime_r(&when, &m.tm);
  m.weekday = m.tm.tm_wday;
  m.minute = m.tm.tm_hour * 60 + m.tm.tm_min;
  m.second = m.tm.tm_sec;
  return m;
}

bool on_day(const ScheduleEdge &edge, int weekday) { return (edge.days >> weekday) & 1; }

struct Latest {
  int state;
  time_t since;
};

// The edge that gives the schedule its state at `when`, and when it fell.
std::optional<Latest> latest_edge(const std::vector<ScheduleEdge> &edges, time_t when) {
  const LocalMinute now = local_minute(when);
  std::optional<Latest> best;
  long best_back = 0;
  for (const ScheduleEdge &edge : edges) {
    if (edge.minute >= kMinutesPerDay) continue;
    // Minutes back to the edge's latest occurrence: today (if passed) up to
    // the same weekday a week ago.
    for (int days_back = 0; days_back <= kDaysPerWeek; ++days_back) {
      const long back = long(days_back) * kMinutesPerDay + now.minute - edge.minute;
      if (back < 0 || !on_day(edge, (now.weekday - days_back + kDaysPerWeek) % kDaysPerWeek)) continue;
      if (!best || back <= best_back) {
        best = Latest{edge.state, when - back * 60 - now.second};
        best_back = back;
      }
      break;
    }
  }
  return best;
}

}  // namespace

std::optional<uint16_t> day_minute(std::string_view text, int max_hour) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const auto number = [](std::string_view digits) -> std::optional<int> {
    if (digits.empty() || digits.size() > 2) return std::nullopt;
    int value = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + (c - '0');
    }
    return value;
  };
  const std::optional<int> hour = number(text.substr(0, colon));
  const std::optional<int> minute = number(text.substr(colon + 1));
  if (!hour || !minute || *hour > max_hour || *minute > 59) return std::nullopt;
  return uint16_t((*hour * 60 + *minute) % kMinutesPerDay);
}

uint8_t runner_days(uint8_t monday_first) {
  // Bits 1-6 (Monday to Saturday) are the runner's; Sunday, 7, is its bit 0.
  return uint8_t((monday_first & 0x7e) | ((monday_first >> 7) & 1));
}

std::optional<int> schedule_state_at(const std::vector<ScheduleEdge> &edges, time_t when) {
  const std::optional<Latest> latest = latest_edge(edges, when);
  if (!latest) return std::nullopt;
  return latest->state;
}

time_t next_schedule_edge(const std::vector<ScheduleEdge> &edges, time_t when) {
  const LocalMinute now = local_minute(when);
  time_t next = 0;
  for (const ScheduleEdge &edge : edges) {
    if (edge.minute >= kMinutesPerDay) continue;
    for (int days_ahead = 0; days_ahead <= kDaysPerWeek; ++days_ahead) {
      const long ahead = long(days_ahead) * kMinutesPerDay + edge.minute - now.minute;
      if (ahead <= 0 || !on_day(edge, (now.weekday + days_ahead) % kDaysPerWeek)) continue;
      // The local date and time of the edge; mktime settles daylight saving.
      struct tm at = now.tm;
      at.tm_mday += days_ahead;
      at.tm_hour = edge.minute / 60;
      at.tm_min = edge.minute % 60;
      at.tm_sec = 0;
      at.tm_isdst = -1;
      const time_t moment = mktime(&at);
      if (moment > when && (next == 0 || moment < next)) next = moment;
      break;
    }
  }
  return next;
}

// ---- the runner ------------------------------------------------------------------

ScheduleRunner::Schedule *ScheduleRunner::find(Id id) {
  auto at = std::find_if(schedules_.begin(), schedules_.end(), [&](const Schedule &s) { return s.id == id; });
  return at == schedules_.end() ? nullptr : &*at;
}

template <typename Step>
void ScheduleRunner::at_now(Step step) {
  std::vector<Due> due;
  {
    std::lock_guard lock(mutex_);
    const time_t now = clock_.now();
    observe_locked(now);
    step(now, due);
    rearm_locked(now);
  }
  run(due);
}

std::optional<ScheduleRunner::Due> ScheduleRunner::settle(Schedule &s, time_t now) {
  if (now < s.replayed_until) return std::nullopt;
  s.replayed_until = 0;
  const std::optional<Latest> latest = latest_edge(s.edges, now);
  if (!latest) {
    s.applied.reset();
    return std::nullopt;
  }
  if (s.applied == latest->state) return std::nullopt;
  s.applied = latest->state;
  return Due{latest->since, s.apply, latest->state};
}

void ScheduleRunner::observe_locked(time_t now) {
  if (now < last_seen_) {
    const bool correction = last_seen_ - now <= kLongestReplay;
    for (Schedule &s : schedules_)
      s.replayed_until = correction ? std::max(s.replayed_until, last_seen_) : 0;
  }
  last_seen_ = now;
}

void ScheduleRunner::rearm_locked(time_t now) {
  time_t earliest = 0;
  for (const Schedule &s : schedules_) {
    // Edges of a replay are not woken for: the first after it is.
    const time_t next = next_schedule_edge(s.edges, std::max(now, s.replayed_until));
    if (next != 0 && (earliest == 0 || next < earliest)) earliest = next;
  }
  clock_.arm(earliest);
}

void ScheduleRunner::run(std::vector<Due> &due) {
  std::stable_sort(due.begin(), due.end(), [](const Due &a, const Due &b) { return a.since < b.since; });
  for (const Due &d : due)
    if (d.apply) d.apply(d.state);
}

ScheduleRunner::Id ScheduleRunner::add(std::vector<ScheduleEdge> edges, Apply apply, bool apply_now) {
  Id id = 0;
  at_now([&](time_t now, std::vector<Due> &due) {
    id = next_id_++;
    schedules_.push_back({id, std::move(edges), std::move(apply), std::nullopt});
    if (std::optional<Due> d = settle(schedules_.back(), now); d && apply_now) due.push_back(*d);
  });
  return id;
}

void ScheduleRunner::change(Id id, std::vector<ScheduleEdge> edges, bool apply_now) {
  at_now([&](time_t now, std::vector<Due> &due) {
    Schedule *s = find(id);
    if (s == nullptr) return;
    // New edges have no history: the schedule takes the state of now.
    s->edges = std::move(edges);
    s->replayed_until = 0;
    if (std::optional<Due> d = settle(*s, now); d && apply_now) due.push_back(*d);
  });
}

void ScheduleRunner::remove(Id id) {
  std::lock_guard lock(mutex_);
  std::erase_if(schedules_, [&](const Schedule &s) { return s.id == id; });
  rearm_locked(clock_.now());
}

std::optional<int> ScheduleRunner::applied(Id id) {
  std::lock_guard lock(mutex_);
  const Schedule *s = find(id);
  return s != nullptr ? s->applied : std::nullopt;
}

void ScheduleRunner::wake() {
  at_now([this](time_t now, std::vector<Due> &due) {
    for (Schedule &s : schedules_)
      if (std::optional<Due> d = settle(s, now)) due.push_back(*d);
  });
}

// ---- the machine's clock -------------------------------------------------------------

RealTimeClock::RealTimeClock(GMainContext *context, std::function<void()> on_wake)
    : fd_(timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC)), on_wake_(std::move(on_wake)) {
  if (fd_ < 0) {
    g_warning("schedules: no real-time timer: %s", g_strerror(errno));
    return;
  }
  source_ = g_unix_fd_source_new(fd_, G_IO_IN);
  g_source_set_callback(source_, G_SOURCE_FUNC(on_ready), this, nullptr);
  g_source_attach(source_, context);
}

RealTimeClock::~RealTimeClock() {
  if (source_ != nullptr) {
    g_source_destroy(source_);
    g_source_unref(source_);
  }
  if (fd_ >= 0) close(fd_);
}

// The precise clock, not time()'s coarse one: at the timer's expiry this
// already reads the second the timer was armed for.
time_t RealTimeClock::now() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec;
}

void RealTimeClock::arm(time_t when) {
  if (fd_ < 0) return;
  struct itimerspec spec {};
  spec.it_value.tv_sec = when;
  // A moment past the edge: time(), which reads a clock up to a tick behind
  // the precise one, then already shows the edge's second in what the
  // schedule's work records (journal and log lines).
  if (when != 0) spec.it_value.tv_nsec = kPastTheEdge.count();
  // An absolute timer on the real-time clock is cancelled, and reported
  // readable, when the clock is set: the runner then looks again.
  timerfd_settime(fd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &spec, nullptr);
}

gboolean RealTimeClock::on_ready(gint fd, GIOCondition, gpointer data) {
  auto *self = static_cast<RealTimeClock *>(data);
  uint64_t expirations = 0;
  // Either the timer expired or the clock was set (ECANCELED); both call for
  // a look at the schedules.  Anything else (EAGAIN) was a spurious wake.
  const ssize_t n = read(fd, &expirations, sizeof expirations);
  if (n == ssize_t(sizeof expirations) || (n < 0 && errno == ECANCELED)) self->on_wake_();
  return G_SOURCE_CONTINUE;
}

ScheduleRunner &schedule_runner() {
  // Never destroyed: schedules may be touched while the process ends.
  static ScheduleRunner *runner = [] {
    static ScheduleRunner *self = nullptr;
    auto *clock = new RealTimeClock(g_main_context_get_thread_default() != nullptr
                                        ? g_main_context_get_thread_default()
                                        : g_main_context_default(),
                                    [] { self->wake(); });
    self = new ScheduleRunner(*clock);
    return self;
  }();
  return *runner;
}

}  // namespace igd1::mib
