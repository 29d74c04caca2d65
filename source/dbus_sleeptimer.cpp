// Sleep timers: /com/wqx/igd1/Config/Power/SleepTimers, one child per timer.
// On the timer's days, at its time, the gateway enters or leaves sleep mode;
// the configuration library keeps the table and applies the schedule.
//
// The module numbers the timers itself: 1..n after every start, and the
// lowest free number from 1 to 99 for a new one.  Day ["0"] means every day;
// a time is checked as hour 0-23 and minute 0-59, kept as written and
// announced as "HH:MM".  DeleteObject on an empty table is answered before
// the path is looked at.
#include "sleeptimer.h"

#include <cstdio>
#include <cstring>

#include "timer_rows.h"

namespace {

using igd1::CallContext;
using igd1::Field;
using igd1::RowProperty;
namespace timers = igd1::timers;

timers::FamilyState g_state;

constexpr timers::Family kFamily = {
    .total = sleeptimer_get_total_num,
    .check_entry = sleeptimer_check_entry,
    .check_instnum = sleeptimer_check_instnum,
    .get = sleeptimer_get_property,
    .set = sleeptimer_set_property,
    .update = sleeptimer_set_property_update,
    .release = sleeptimer_set_entry_free,
    .add = sleeptimer_add_entry,
    .remove = sleeptimer_del_entry,
    .renumber = sleeptimer_init_entry_index,
    .apply = sleeptimer_update,
    .has_ssid_mask = false,
    .every_day = true,
    .highest = 99,
    .state = &g_state,
    .total_log = "MIB_SLEEP_MODE_SCHED_TBL total %d",
    .renumbered = "MIB_SLEEP_MODE_SCHED_TBL db update success",
    .renumber_failed = "MIB_SLEEP_MODE_SCHED_TBL db update failure",
    .export_log = "g_strdup_printf index is %d ",
    .commit_done = "MIB_SLEEP_MODE_SCHED_TBL db update success",
};

bool write_time(const CallContext &call, const RowProperty &property, GVariant *value,
                uint8_t *row, bool *changed) {
  const char *text = g_variant_get_string(value, nullptr);
  switch (timers::time_fault(text, 23)) {
    case timers::TimeFault::None:
      return timers::store_time(call, property, text, row, changed);
    case timers::TimeFault::Shape:
      DBUS_LOG(LOG_LEVEL_WARN, "Invalid parameter value");
      igd1::set_invalid_args(call.error, "Invalid parameter value, object path %s",
                             call.object_path);
      return false;
    case timers::TimeFault::MissingPart:
      igd1::set_invalid_args(call.error, "Invalid parameter value ,path %s", text);
      return false;
    case timers::TimeFault::OutOfRange:
      igd1::set_invalid_args(call.error, "Invalid parameter value!");
      return false;
  }
  return false;
}

GVariant *announced_time(GVariant *stored) {
  char *normalised = nullptr;
  if (sleeptimer_time(g_variant_get_string(stored, nullptr), &normalised) == 0) return nullptr;
  GVariant *value = g_variant_new_string(normalised);
  g_free(normalised);
  return value;
}

GVariant *read_active(const CallContext &, const RowProperty &, const uint8_t *row) {
  return g_variant_new_string(timers::record_of(row).active == 0 ? "0" : "1");
}

constexpr char kWrongType[] = "Invalid parameter value, object path {path}";

constexpr RowProperty kProperties[] = {
    {.name = "Day", .type = "as", .field = Field::List, .write_log = "set Day value :%s",
     .read = timers::read_days, .write = timers::write_days,
     .wrong_type = "WeekDay value type is err"},
    {.name = "Time", .offset = offsetof(timers::TimerRecord, time), .size = timers::kTimeBuffer,
     .write_log = "set Time value :%.6s", .write = write_time, .announced = announced_time,
     .wrong_type = kWrongType},
    {.name = "Active", .write_log = "set Active value :%s", .read = read_active,
     .write = timers::write_active, .wrong_type = kWrongType},
    {.name = "Enable", .type = "b", .field = Field::Flag, .write_log = "set Enable value :%d",
     .read = timers::read_enable, .write = timers::write_enable, .wrong_type = kWrongType},
};

constexpr uint32_t kHighest = 99;

// DeleteObject on an empty table is refused before its path is read.
igd1::Begin guard(const CallContext &call, igd1::RowStep step, const uint8_t *,
                  GVariant *parameters) {
  if (step != igd1::RowStep::DeleteObject || sleeptimer_get_total_num() > 0)
    return timers::refuse_missing_row(call, step, parameters, kHighest);
  DBUS_LOG(LOG_LEVEL_WARN, "no sleep timer instance");
  g_set_error_literal(call.error, G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY, "no sleep timer instance");
  return igd1::Begin::Refuse;
}

bool log_event(const CallContext &call, igd1::RowEvent event, const char *function) {
  switch (event) {
    case igd1::RowEvent::NoRow:
      DBUS_LOG(LOG_LEVEL_WARN,
               "func [%s], line [%d], get MIB_SLEEP_MODE_SCHED_TBL entry failed with instnum %d",
               function, __LINE__, int(call.instance));
      return true;
    case igd1::RowEvent::Added:
      DBUS_LOG(LOG_LEVEL_INFO, "Add path_name %s", call.object_path);
      return true;
    case igd1::RowEvent::AddRefused:
      DBUS_LOG(LOG_LEVEL_ERROR, "mib chain add MIB_SLEEP_MODE_SCHED_TBL failed");
      return true;
    case igd1::RowEvent::NoNumber:
    case igd1::RowEvent::Exported:
      return false;
  }
  return false;
}

// The family's own wording of the engine's texts.
const char *wording(igd1::RowText text) {
  using enum igd1::RowText;
  switch (text) {
    case CommitFailed: return "MIB_SLEEP_MODE_SCHED_TBL db update failure";
    case AddFailed: return "AddObject NO idle index for MIB_SLEEP_MODE_SCHED_TBL";
    case TableFull: return "add index for MIB_SLEEP_MODE_SCHED_TBL is err";
    default: return timers::shared_wording(text);
  }
}

constexpr igd1::RowModule kModule = [] {
  igd1::RowModule module = timers::module<kFamily>(
      "/com/wqx/igd1/Config/Power/SleepTimers", kProperties,
      {.wording = wording, .log = log_event},
      kHighest);
  module.on = guard;
  return module;
}();

}  // namespace

IGD1_ROW_COLLECTION(SleepTimer, SleepTimer_introspection_data, "SleepTimer",
                    SleepTimer_handle_get_property, SleepTimer_handle_set_property,
                    sleep_timer_handle_set_multi_properties, SleepTimer_handle_object_mng_call,
                    kModule)

IGD1_TIMER_WRAPPERS(sleeptimer, SleepTimer, kFamily)

int sleeptimer_time(const char *value, char **result) {
  constexpr int kAnyTwoDigits = 99;
  int hour = 0, minute = 0;
  if (result == nullptr || !parse_clock_time(value, kAnyTwoDigits, &hour, &minute)) return 0;
  *result = static_cast<char *>(g_malloc(6));
  std::snprintf(*result, 6, "%02d:%02d", hour, minute);
  return 1;
}
