// A module library for measuring an idle igd1d: its one entry starts every
// module of the real library, as igd1d does, and gives the schedule runner
// nine schedules beside the lights' daily window.  bench/idle_wakeups.sh
// runs igd1d with it and counts how often the process wakes.
#include <gio/gio.h>

#include <string>
#include <vector>

#include "host.h"
#include "igd1_export.h"
#include "mib_api.h"

namespace {
constexpr int kExtraSchedules = 9;
LED_ENTRY *g_schedules[kExtraSchedules] = {};
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
  for (const auto &entry : entries) entry.function(connection, name, user_data);
  for (LED_ENTRY *&schedule : g_schedules) LED_init_entry(&schedule);
}
