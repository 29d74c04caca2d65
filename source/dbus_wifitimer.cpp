// The WiFi timer: /com/wqx/igd1/Config/WLAN/Timer, one daily window in
// which the SSIDs of its mask are on.
//
// The object is there only when the configuration library gives the module
// its handle on the timer at start-up; the handle is released with the
// object.  Every request works on a row handle: a read takes one for the
// call, a write takes one in its begin, writes its values into it and
// stores it once in its commit, after which the library puts the window
// into effect.  Times are kept as "HH:MM" and announced so; changes are
// announced on service type 0 only.
#include "wifitimer.h"

#include <cstdio>
#include <cstring>

#include "dbus_proxy_api.h"
#include "host_api.h"
#include "sleeptimer.h"
#include "tool.h"

namespace {

using igd1::Begin;
using igd1::CallContext;
using igd1::OnFailure;
using igd1::Property;
using igd1::Raw;
using igd1::SingleObject;
using igd1::WriteFlags;

constexpr char kReadFailed[] = "mib get MIB_WIFI_TIMER_TBL failed";
constexpr char kCommitFailed[] = "mib set MIB_WIFI_TIMER_TBL failed!";

WIFI_TIMER *g_timer = nullptr;
// The row handle of the write request in progress (requests run one at a
// time on the main loop).
TIMER_ROW *g_row = nullptr;

// A read: the value of `number` through a row handle of its own.
int read_item(int number, void *buffer) {
  TIMER_ROW *row = nullptr;
  if (wifitimer_check_instnum(&row) == 0) return 0;
  const int read = wifitimer_get_property(number, buffer, &row);
  wifitimer_set_entry_free(&row);
  return read;
}

// Puts one value into the request's row.
bool store(const Property &property, const void *value, WriteFlags *flags, GError **error) {
  int changed = 0;
  if (wifitimer_set_property(property.index, value, &g_row, g_timer, &changed) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d],set %s failed!", __func__, __LINE__,
             property.name);
    igd1::set_invalid_args(error, "set %s failed!", property.name);
    return false;
  }
  if (changed != 0) flags->changed = 1;
  return true;
}

bool write_enable(const CallContext &call, const SingleObject &, const Property &property,
                  const char *, GVariant *value, WriteFlags *flags) {
  const uint8_t enable = g_variant_get_boolean(value) ? 1 : 0;
  DBUS_LOG(LOG_LEVEL_INFO, "set Enable value:%d", enable);
  return store(property, &enable, flags, call.error);
}

// StartTime and EndTime: hour 0-24, minute 0-59, kept as "HH:MM".
bool write_time(const CallContext &call, const SingleObject &, const Property &property,
                const char *, GVariant *value, WriteFlags *flags) {
  const char *text = g_variant_get_string(value, nullptr);
  DBUS_LOG(LOG_LEVEL_INFO, "set %s value:%s", property.name, text);
  int hour = 0, minute = 0;
  if (!parse_clock_time(text, 24, &hour, &minute)) {
    igd1::set_invalid_args(call.error, "Invalid parameter value ,path %s", text);
    return false;
  }
  char normalised[6];
  std::snprintf(normalised, sizeof normalised, "%02d:%02d", hour, minute);
  return store(property, normalised, flags, call.error);
}

GVariant *read_cycle(const CallContext &, const SingleObject &, const Property &) {
  return g_variant_new_string("DAY");
}

bool write_cycle(const CallContext &call, const SingleObject &, const Property &property,
                 const char *, GVariant *value, WriteFlags *flags) {
  const char *text = g_variant_get_string(value, nullptr);
  DBUS_LOG(LOG_LEVEL_INFO, "set ControlCycle value:%s", text);
  if (std::strcmp(text, "DAY") != 0) {
    igd1::set_invalid_args(call.error, "Invalid parameter value");
    return false;
  }
  const uint8_t daily = 1;
  return store(property, &daily, flags, call.error);
}

bool write_mask(const CallContext &call, const SingleObject &, const Property &property,
                const char *, GVariant *value, WriteFlags *flags) {
  const uint32_t mask = g_variant_get_uint32(value);
  DBUS_LOG(LOG_LEVEL_INFO, "set %s value:%u", property.name, mask);
  return store(property, &mask, flags, call.error);
}

// A time is announced in its two-digit form.
GVariant *announced_time(GVariant *written) {
  char *normalised = nullptr;
  if (wifitimer_time(g_variant_get_string(written, nullptr), &normalised) == 0) return nullptr;
  GVariant *value = g_variant_new_string(normalised);
  g_free(normalised);
  return value;
}

constexpr Property kProperties[] = {
    {.name = "Enable", .type = "b", .index = WIFITIMER_ENABLE, .raw = Raw::I32,
     .on_failure = OnFailure::Error, .failure_log = kReadFailed, .failure_error = kReadFailed,
     .write = write_enable},
    {.name = "StartTime", .index = WIFITIMER_START, .on_failure = OnFailure::Error,
     .failure_log = kReadFailed, .failure_error = kReadFailed, .write = write_time,
     .announced = announced_time},
    {.name = "EndTime", .index = WIFITIMER_END, .on_failure = OnFailure::Error,
     .failure_log = kReadFailed, .failure_error = kReadFailed, .write = write_time,
     .announced = announced_time},
    {.name = "ControlCycle", .index = WIFITIMER_CYCLE, .read = read_cycle, .write = write_cycle},
    {.name = "SSIDMask", .type = "u", .index = WIFITIMER_SSID_MASK, .raw = Raw::U32,
     .on_failure = OnFailure::Error, .failure_log = kReadFailed, .failure_error = kReadFailed,
     .write = write_mask},
};

Begin begin(const CallContext &call, const SingleObject &) {
  if (wifitimer_check_instnum(&g_row) != 0) return Begin::Apply;
  DBUS_LOG(LOG_LEVEL_WARN, "%s", kReadFailed);
  igd1::set_invalid_args(call.error, "%s", kReadFailed);
  return Begin::Refuse;
}

// Stores the request's row once and puts the window into effect.
bool commit(const CallContext &call, const SingleObject &, const WriteFlags &) {
  const bool stored = wifitimer_set_property_update(&g_row) != 0;
  wifitimer_set_entry_free(&g_row);
  if (!stored) {
    DBUS_LOG(LOG_LEVEL_WARN, "%s", kCommitFailed);
    igd1::set_invalid_args(call.error, "%s", kCommitFailed);
    return false;
  }
  wifitimer_update_entry(g_timer);
  return true;
}

void abort(const CallContext &, const SingleObject &) { wifitimer_set_entry_free(&g_row); }

// The object is there when the store gives its entry, released with the
// connection.
bool start(igd1::StartStep step, GDBusConnection *, const gchar *, gpointer user_data) {
  if (step == igd1::StartStep::Released) wifi_timer_user_data_free(user_data);
  if (step != igd1::StartStep::Present || wifitimer_init_entry(&g_timer) != 0) return true;
  DBUS_LOG(LOG_LEVEL_WARN, "wifitimer_init_entry failed, no WiFi timer object");
  return false;
}

constexpr SingleObject kObject = {
    .path = "/com/wqx/igd1/Config/WLAN/Timer",
    .xml_file = "WiFiTimer.xml",
    .properties = kProperties,
    .get = read_item,
    .read_buffer = 256,
    .transaction = {.begin = begin, .commit = commit, .abort = abort},
    .announce = igd1::Announce::ServiceType0,
    .multi_failure = igd1::MultiFailure::Stop,
    .start = start,
};

}  // namespace

IGD1_READ_HANDLER(wifi_timer_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(wifi_timer_handle_set_property, wifi_timer_handle_set_multi_properties, kObject)
IGD1_SINGLE_OBJECT(wifi_timer, wifi_timer_introspection_data, kObject, nullptr,
                   wifi_timer_handle_get_property, wifi_timer_handle_set_property,
                   wifi_timer_handle_set_multi_properties)

void wifi_timer_user_data_free(gpointer) { wifitimer_free_entry(&g_timer); }

void wifitimer_entry_get(WIFI_TIMER **handle) {
  if (handle != nullptr) *handle = g_timer;
}

int wifitimer_time(const char *value, char **result) { return sleeptimer_time(value, result); }
