// LED control: the lights' switch and their daily window.
//
// The handle is what drives the lights: it remembers whether they are lit,
// and its window is a schedule of the shared runner, which calls it back at
// the window's edges (and after the clock is set).  Each switch is journaled,
// so the services (and tests) see what the lights show.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <optional>

#include "mib_api.h"
#include "mib_internal.h"
#include "mib_store.h"
#include "schedule_runner.h"

struct led_entry {
  igd1::mib::ScheduleRunner::Id window = 0;
  bool lit = false;
};

namespace {

using igd1::mib::Item;
using igd1::mib::read_number;
using igd1::mib::read_text;
using K = igd1::mib::ValueKind;

enum Number { kStatus = 0, kStartTime = 1, kEndTime = 2, kControlCycle = 3, kEnable = 4 };
constexpr size_t kTimeText = 6;

constexpr Item kItems[] = {
    {"led.Status", K::U8, 1, "1"},  // 0 off
    {"led.StartTime", K::Text, kTimeText, "07:00"},
    {"led.EndTime", K::Text, kTimeText, "22:30"},
    {"led.ControlCycle", K::U8, 1, "1"},  // 1 daily, the only cycle
    {"led.Enable", K::U8, 1, "0"},  // 1: the lights follow the window
};
const igd1::mib::Defaults kItemsDefaults(kItems);
constexpr size_t kCount = std::size(kItems);

// The handle that LED_set_update and a handle-less status update drive.
led_entry *g_current = nullptr;
std::atomic<unsigned> g_failed_writes{0};

// Minutes after midnight of a stored "H:MM" or "HH:MM"; nothing for any
// other text, which leaves the window unset.
std::optional<uint16_t> stored_minutes(Number number) {
  return igd1::mib::day_minute(read_text(kItems[number]));
}

// The window the lights follow, when it is enabled and both edges are set,
// as a schedule: inside (1) from its start, outside (0) from its end.  A
// window that starts where it ends is open all day: no edges.
std::vector<igd1::mib::ScheduleEdge> window_edges() {
  if (read_number<uint8_t>(kItems[kEnable]).value_or(0) == 0) return {};
  const std::optional<uint16_t> start = stored_minutes(kStartTime);
  const std::optional<uint16_t> end = stored_minutes(kEndTime);
  if (!start || !end || *start == *end) return {};
  return {{igd1::mib::kEveryDay, *start, 1}, {igd1::mib::kEveryDay, *end, 0}};
}

// Switches the lights as the store says now and journals what they show.
// Without a window (or with an open one) the switch alone decides.
void drive(led_entry *entry, int cause) {
  const std::optional<int> in_window =
      entry != nullptr ? igd1::mib::schedule_runner().applied(entry->window)
                       : igd1::mib::schedule_state_at(window_edges(), time(nullptr));
  const bool lit = read_number<uint8_t>(kItems[kStatus]).value_or(0) != 0 && (!in_window || *in_window == 1);
  if (entry != nullptr) entry->lit = lit;
  igd1::mib::journal_append(MIB_JOURNAL_LED, cause, lit ? "on" : "off");
}

}  // namespace

int LED_init_entry(LED_ENTRY **handle) {
  if (handle == nullptr) return 0;
  LED_free_entry(handle);
  auto *entry = new led_entry;
  entry->window = igd1::mib::schedule_runner().add(
      window_edges(), [entry](int) { drive(entry, LED_DRIVEN_AT_EDGE); }, false);
  *handle = entry;
  g_current = entry;
  drive(entry, LED_DRIVEN_BY_STATUS);
  return 1;
}

void LED_free_entry(LED_ENTRY **handle) {
  if (handle == nullptr || *handle == nullptr) return;
  led_entry *entry = *handle;
  igd1::mib::schedule_runner().remove(entry->window);
  if (g_current == entry) g_current = nullptr;
  delete entry;
  *handle = nullptr;
}

int LED_get_property(int number, void *output, LED_ENTRY *) {
  return igd1::mib::read_at("LED_get_property", kItems, number, output) ? 1 : 0;
}

int LED_set_property(int number, void *value, LED_ENTRY *, int *changed) {
  if (value == nullptr || number < 0 || size_t(number) >= kCount) return 0;
  if (igd1::mib::should_fail("LED_set_property", number)) return 0;
  // A text that does not fit is refused, never cut.
  bool written = false;
  if (!igd1::mib::write_changed(kItems[number], value, &written)) return 0;
  if (changed != nullptr) *changed = written ? 1 : 0;
  return 1;
}

void LED_set_failed(void) { ++g_failed_writes; }

unsigned LED_failed_writes(void) { return g_failed_writes.load(); }

int LED_status_update(LED_ENTRY *handle) {
  if (igd1::mib::should_fail("LED_status_update", 0)) return 0;
  drive(handle != nullptr ? handle : g_current, LED_DRIVEN_BY_STATUS);
  return 1;
}

int LED_set_update(void) {
  if (igd1::mib::should_fail("LED_set_update", 0)) return 0;
  if (g_current != nullptr) igd1::mib::schedule_runner().change(g_current->window, window_edges(), false);
  drive(g_current, LED_DRIVEN_BY_SCHEDULE);
  return 1;
}
