// A module library for measuring an idle igd1d: its one entry starts every
// module of the real library, as igd1d does, and gives the schedule runner
// nine schedules beside the lights' daily window.  bench/idle_wakeups.sh
// runs igd1d with it and counts how often the process wakes.  With
// IGD1_IDLE_TIMERS set, the store first holds 99 enabled sleep timers and 99
// enabled extended WiFi timers, spread over the hours of every day.
#include <gio/gio.h>

#include <string>
#include <vector>

#include "host.h"
#include "igd1_export.h"
#include "mib_api.h"

namespace {
constexpr int kExtraSchedules = 9;
LED_ENTRY *g_schedules[kExtraSchedules] = {};
constexpr uint32_t kTimers = 99;

// Timer n acts every day at hour n % 24, minute 7n % 60, entering and
// leaving its state in turns; extended timers on SSIDs 1 and 2 by turns.
void fill_timers() {
  for (uint32_t n = 1; n <= kTimers; ++n) {
    char at[6];
    g_snprintf(at, sizeof at, "%u:%02u", n % 24, 7 * n % 60);
    const int32_t active = int32_t(n % 2);
    const uint8_t on = 1, every_day = 1, weekdays = 0xfe;
    const uint32_t ssids = n % 2 + 1;
    TIMER_ROW *row = nullptr;
    uint32_t index = 0;
    int changed = 0;
    if (sleeptimer_add_entry(n) == 1 && sleeptimer_check_instnum(n, &index, &row) == 1) {
      sleeptimer_set_property(SLEEPTIMER_DAY, &every_day, &row, &changed);
      sleeptimer_set_property(SLEEPTIMER_TIME, at, &row, &changed);
      sleeptimer_set_property(SLEEPTIMER_ACTIVE, &active, &row, &changed);
      sleeptimer_set_property(SLEEPTIMER_ENABLE, &on, &row, &changed);
      sleeptimer_set_property_update(&row, index);
      sleeptimer_set_entry_free(&row);
    }
    if (wifitimer1_add_entry(n) == 1 && wifitimer1_check_instnum(n, &index, &row) == 1) {
      wifitimer1_set_property(WIFITIMER1_WEEKDAY, &weekdays, &row);
      wifitimer1_set_property(WIFITIMER1_TIME, at, &row);
      wifitimer1_set_property(WIFITIMER1_ACTIVE, &active, &row);
      wifitimer1_set_property(WIFITIMER1_ENABLE, &on, &row);
      wifitimer1_set_property(WIFITIMER1_SSID_MASK, &ssids, &row);
      wifitimer1_set_property_update(&row, index);
      wifitimer1_set_property_free(&row);
    }
  }
}
}  // namespace

IGD1_API void IdleGateway_on_bus_acquired(GDBusConnection *connection, const gchar *name,
                                          gpointer user_data) {
  igd1::host::ModuleLibrary library;
  std::string error;
  std::vector<igd1::host::EntryPoint> entries;
  if (!library.load(IGD1_LIBRARY_FILE, &error) || !library.module_entries({}, &entries, &error)) {
    g_printerr("idle module: %s\n", error.c_str());
    return;
  }
  if (g_getenv("IGD1_IDLE_TIMERS") != nullptr) fill_timers();
  for (const auto &entry : entries) entry.function(connection, name, user_data);
  for (LED_ENTRY *&schedule : g_schedules) LED_init_entry(&schedule);
}
