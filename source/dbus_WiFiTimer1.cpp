// Extended WiFi timers: /com/wqx/igd1/Config/WLAN/ExTimers, one child per
// timer.  On the timer's weekdays, at its time, the SSIDs of its mask are
// switched on or off; the configuration library keeps the table and applies
// the schedule.
//
// Numbered by the module like the sleep timers (1..n after every start,
// children up to 100, the lowest free number from 1 to 99 for a new one),
// with these differences: no every-day value, a time (hour 0-24) kept and
// announced as written, an Active the store holds as neither 0 nor 1 reads
// "", every accepted write stored and announced, DeleteObject on an empty
// table answered as for any other missing row.
#include "wifitimer1.h"

#include <cstring>

#include "timer_rows.h"

namespace {

using igd1::CallContext;
using igd1::Field;
using igd1::RowProperty;
namespace timers = igd1::timers;

timers::FamilyState g_state;

// The library does not say whether a value changed: every accepted one counts.
int set_property(int number, const void *value, TIMER_ROW **row, int *changed) {
  *changed = 1;
  return wifitimer1_set_property(number, value, row);
}

constexpr timers::Family kFamily = {
    .total = wifitimer1_get_total_num,
    .check_entry = wifitimer1_check_entry,
    .check_instnum = wifitimer1_check_instnum,
    .get = wifitimer1_get_property,
    .set = set_property,
    .update = wifitimer1_set_property_update,
    .release = wifitimer1_set_property_free,
    .add = wifitimer1_add_entry,
    .remove = wifitimer1_del_entry,
    .renumber = wifitimer1_init_entry_index,
    .apply = wifitimer1_update,
    .has_ssid_mask = true,
    .every_day = false,
    .highest = 99,
    .state = &g_state,
    .total_log = "MIB_WIFI_TIMER_EX_TBL total=%d",
    .renumbered = "MIB_WIFI_TIMER_EX_TBL db update success",
    .renumber_failed = "MIB_WIFI_TIMER_EX_TBL db update failure",
    .export_log = "g_strdup_printf entry.index=%d",
    .commit_done = "MIB_WIFI_TIMER_EX_TBL db update success",
};

// Every refusal of a time names the written value.
bool write_time(const CallContext &call, const RowProperty &property, GVariant *value,
                uint8_t *row, bool *changed) {
  const char *text = g_variant_get_string(value, nullptr);
  if (timers::time_fault(text, 24) != timers::TimeFault::None) {
    DBUS_LOG(LOG_LEVEL_WARN, "Invalid parameter value");
    igd1::set_invalid_args(call.error, "Invalid parameter value ,path %s", text);
    return false;
  }
  return timers::store_time(call, property, text, row, changed);
}

GVariant *read_active(const CallContext &, const RowProperty &, const uint8_t *row) {
  const int32_t active = timers::record_of(row).active;
  return g_variant_new_string(active == 0 ? "0" : active == 1 ? "1" : "");
}

constexpr char kWrongType[] = "Invalid parameter value, object path {path}";

constexpr RowProperty kProperties[] = {
    {.name = "WeekDay", .type = "as", .field = Field::List, .write_log = "set WeekDay value :%s",
     .read = timers::read_days, .write = timers::write_days,
     .wrong_type = "WeekDay value type is err"},
    {.name = "Time", .offset = offsetof(timers::TimerRecord, time), .size = timers::kTimeBuffer,
     .write_log = "set Time value :%.6s", .write = write_time, .wrong_type = kWrongType},
    {.name = "Active", .write_log = "set Active value :%s", .read = read_active,
     .write = timers::write_active, .wrong_type = kWrongType},
    {.name = "Enable", .type = "b", .field = Field::Flag, .write_log = "set Enable value :%d",
     .read = timers::read_enable, .write = timers::write_enable, .wrong_type = kWrongType},
    {.name = "SSIDMask", .type = "u", .field = Field::Number,
     .offset = offsetof(timers::TimerRecord, ssid_mask), .size = 4,
     .write_log = "set SSIDMask value:%u", .write = timers::write_ssid_mask,
     .wrong_type = kWrongType},
};

constexpr uint32_t kHighest = 100;

// AddObject starts by saying how many timers there are.
igd1::Begin log_total(const CallContext &call, igd1::RowStep step, const uint8_t *,
                      GVariant *parameters) {
  if (step == igd1::RowStep::AddObject)
    DBUS_LOG(LOG_LEVEL_INFO, "total=%d \r\n", wifitimer1_get_total_num());
  return timers::refuse_missing_row(call, step, parameters, kHighest);
}

bool log_event(const CallContext &call, igd1::RowEvent event, const char *function) {
  switch (event) {
    case igd1::RowEvent::NoRow:
      DBUS_LOG(LOG_LEVEL_WARN,
               "func [%s], line [%d], get MIB_WIFI_TIMER_EX_TBL entry failed with instnum %d",
               function, __LINE__, int(call.instance));
      return true;
    case igd1::RowEvent::Added:
      DBUS_LOG(LOG_LEVEL_INFO, "going to [%s] line [%d] path_name is %s", function, __LINE__,
               call.object_path);
      return true;
    case igd1::RowEvent::NoNumber:
      DBUS_LOG(LOG_LEVEL_WARN, "NO idle index for MIB_WIFI_TIMER_EX_TBL");
      return true;
    case igd1::RowEvent::AddRefused:
      DBUS_LOG(LOG_LEVEL_ERROR, "add MIB_WIFI_TIMER_EX_TBL failed");
      return true;
    case igd1::RowEvent::Exported:
      return false;
  }
  return false;
}

// The family's own wording of the engine's texts.
const char *wording(igd1::RowText text) {
  using enum igd1::RowText;
  switch (text) {
    case CommitFailed: return "MIB_WIFI_TIMER_EX_TBL db update failure";
    case AddFailed: return "AddObject NO idle index for MIB_WIFI_TIMER_EX_TBL";
    default: return timers::shared_wording(text);
  }
}

// Children for 1 to 100 (rows the store already holds), new ones up to 99.
constexpr igd1::RowModule kModule = [] {
  igd1::RowModule module = timers::module<kFamily>(
    "/com/wqx/igd1/Config/WLAN/ExTimers", kProperties,
    {.wording = wording, .log = log_event},
    kHighest);
  module.on = log_total;
  return module;
}();

}  // namespace

IGD1_ROW_COLLECTION(WiFiTimer1, WiFiTimer1_introspection_data, "WiFiTimer1",
                    WiFiTimer1_handle_get_property, WiFiTimer1_handle_set_property,
                    WiFiTimer1_handle_set_multi_properties, WiFiTimer1_handle_object_mng_call,
                    kModule)

IGD1_TIMER_WRAPPERS(wifitimer1, WiFiTimer1, kFamily)
