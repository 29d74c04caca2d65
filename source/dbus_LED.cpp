// The indicator lights: /com/wqx/igd1/Config/Peripheral/LED.
//
// Two property sets by service type: on 0 the lights are switched with the
// text Status ("ON"/"OFF") and every change is applied and announced; on 1
// with the byte LEDStatus, whose change is applied without a signal, while
// the window's settings are only stored.  The daily window (StartTime,
// EndTime, Enable) is applied by the configuration library's schedule.
//
// The lights are never switched off while the gateway sleeps (they already
// are): such a write succeeds and changes nothing.  During a conformance run
// a change is handed to the services as a notice instead of being applied.
#include "led.h"

#include <cstring>
#include <string_view>

#include "dbus_proxy_api.h"
#include "host_api.h"

namespace {

using igd1::CallContext;
using igd1::OnFailure;
using igd1::Property;
using igd1::Raw;
using igd1::SingleObject;
using igd1::Variant;
using igd1::WriteFlags;

LED_ENTRY *g_led = nullptr;

constexpr char kRefused[] = "Invalid parameter value!";
constexpr int kSleepModeEntry = 20045;

// What a request changed, for what follows the writes.
enum Mark : unsigned { kLightsChanged = 1, kWindowChanged = 2 };

enum Number { kStatus = 0, kStartTime = 1, kEndTime = 2, kControlCycle = 3, kEnable = 4 };

bool service_type_zero() { return dbus_proxy_get_service_type() == 0; }

bool sleeping() {
  uint8_t mode = 0;
  return mib_get_s(kSleepModeEntry, &mode, sizeof mode) != 0 && mode == 1;
}

// Stores one value; a value equal to the stored one is no change.
bool store(const Property &property, void *value, unsigned mark, WriteFlags *flags,
           GError **error) {
  int changed = 0;
  if (LED_set_property(property.index, value, nullptr, &changed) == 0) {
    igd1::set_invalid_args(error, "invalid property %s", property.name);
    return false;
  }
  if (changed != 0) {
    flags->changed = 1;
    flags->marks |= mark;
  }
  return true;
}

bool refuse(GError **error) {
  DBUS_LOG(LOG_LEVEL_WARN, "%s", kRefused);
  igd1::set_invalid_args(error, "%s", kRefused);
  return false;
}

GVariant *read_status(const CallContext &call, const SingleObject &, const Property &property) {
  uint8_t lit = 0;
  if (LED_get_property(kStatus, &lit, nullptr) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "%s", property.failure_error);
    igd1::set_invalid_args(call.error, "%s", property.failure_error);
    return nullptr;
  }
  return g_variant_new_string(lit != 0 ? "ON" : "OFF");
}

bool write_status(const CallContext &call, const SingleObject &, const Property &property,
                  const char *, GVariant *value, WriteFlags *flags) {
  const std::string_view text = g_variant_get_string(value, nullptr);
  uint8_t lit = 0;
  if (text == "ON" || text == "on")
    lit = 1;
  else if (text != "OFF" && text != "off")
    return refuse(call.error);
  if (lit == 0 && sleeping()) {
    DBUS_LOG(LOG_LEVEL_INFO, "sleepmode, do not set LED_STATUS = 0");
    return true;
  }
  return store(property, &lit, kLightsChanged, flags, call.error);
}

bool write_led_status(const CallContext &call, const SingleObject &, const Property &property,
                      const char *, GVariant *value, WriteFlags *flags) {
  uint8_t lit = g_variant_get_byte(value);
  return store(property, &lit, kLightsChanged, flags, call.error);
}

// "H:MM" or "HH:MM" of a 24-hour clock, at most 5 characters.
bool valid_time(const char *text) { return parse_clock_time(text, 23, nullptr, nullptr); }

bool write_time(const CallContext &call, const SingleObject &, const Property &property,
                const char *, GVariant *value, WriteFlags *flags) {
  const char *text = g_variant_get_string(value, nullptr);
  if (!valid_time(text)) return refuse(call.error);
  return store(property, const_cast<char *>(text), kWindowChanged, flags, call.error);
}

GVariant *read_cycle(const CallContext &, const SingleObject &, const Property &) {
  return g_variant_new_string("DAY");
}

bool write_cycle(const CallContext &call, const SingleObject &, const Property &property,
                 const char *, GVariant *value, WriteFlags *flags) {
  if (std::strcmp(g_variant_get_string(value, nullptr), "DAY") != 0) return refuse(call.error);
  uint8_t daily = 1;
  return store(property, &daily, kWindowChanged, flags, call.error);
}

bool write_enable(const CallContext &call, const SingleObject &, const Property &property,
                  const char *, GVariant *value, WriteFlags *flags) {
  uint8_t enable = g_variant_get_boolean(value) ? 1 : 0;
  return store(property, &enable, kWindowChanged, flags, call.error);
}

constexpr Property kProperties[] = {
    {.name = "LEDStatus", .type = "y", .index = kStatus, .raw = Raw::U8,
     .on_failure = OnFailure::Error, .failure_log = "get LED_STATUS failed!",
     .failure_error = "get LED_STATUS failed!", .write = write_led_status,
     .variant = Variant::ServiceType1},
    {.name = "Status", .index = kStatus, .failure_error = "mib_get MIB_LED_STATUS failed!",
     .read = read_status, .write = write_status, .variant = Variant::NotServiceType1,
     .write_log = "setvalue LEDStatus (%s)"},
    {.name = "StartTime", .index = kStartTime, .on_failure = OnFailure::Error,
     .failure_log = "get LED_STARTTIME failed!", .failure_error = "get LED_STARTTIME failed!",
     .write = write_time, .write_log = "StartTime: (%s)"},
    {.name = "EndTime", .index = kEndTime, .on_failure = OnFailure::Error,
     .failure_log = "get LED_ENDTIME failed!", .failure_error = "get LED_ENDTIME failed!",
     .write = write_time, .write_log = "set EndTime: (%s)"},
    {.name = "ControlCycle", .index = kControlCycle, .read = read_cycle, .write = write_cycle,
     .write_log = "set ControlCycle value (%s)"},
    {.name = "Enable", .type = "b", .index = kEnable, .raw = Raw::U8,
     .on_failure = OnFailure::Error, .failure_log = "get LED_ENABLE failed!",
     .failure_error = "get LED_ENABLE failed!", .write = write_enable},
};

bool apply_failed(GError **error, const char *what) {
  g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "%s", what);
  return false;
}

// Applies what the request changed: on service type 1 only a switch of the
// lights, on 0 a switch and a changed window.  A conformance run leaves
// applying to the services.
bool apply_change(const CallContext &call, const SingleObject &, const WriteFlags &flags) {
  const bool zero = service_type_zero();
  const bool lights = (flags.marks & kLightsChanged) != 0;
  const bool window = zero && (flags.marks & kWindowChanged) != 0;
  if (check_dbus_cts_running()) {
    if (lights) dbus_mib_update_cfg(MIB_CFG_LED_STATUS, nullptr, MIB_ACTION_APPLY);
    if (window) dbus_mib_update_cfg(MIB_CFG_LED_SCHEDULE, nullptr, MIB_ACTION_APPLY);
    return true;
  }
  if (lights && LED_status_update(zero ? g_led : nullptr) == 0)
    return apply_failed(call.error, "LED status update failed");
  if (window && LED_set_update() == 0) return apply_failed(call.error, "LED schedule update failed");
  return true;
}

// The lights' entry is made once the object is on the bus and released
// with its connection.
bool start(igd1::StartStep step, GDBusConnection *, const gchar *, gpointer user_data) {
  if (step == igd1::StartStep::Registered) LED_init_entry(&g_led);
  if (step == igd1::StartStep::Released) led_timer_user_data_free(user_data);
  return true;
}

constexpr SingleObject kObject = {
    .path = "/com/wqx/igd1/Config/Peripheral/LED",
    .xml_file = "LED.xml",
    .properties = kProperties,
    .get = [](int number, void *buffer) { return LED_get_property(number, buffer, nullptr); },
    .transaction = {.commit = apply_change,
                    .abort = [](const CallContext &, const SingleObject &) { LED_set_failed(); }},
    .announce = igd1::Announce::ServiceType0,
    .multi_failure = igd1::MultiFailure::Stop,
    .start = start,
};

}  // namespace

IGD1_READ_HANDLER(led_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(led_handle_set_property, led_handle_set_multi_properties, kObject)
IGD1_SINGLE_OBJECT(LED, LED_introspection_data, kObject, nullptr, led_handle_get_property,
                   led_handle_set_property, led_handle_set_multi_properties)

void led_timer_user_data_free(gpointer) { LED_free_entry(&g_led); }

void LED_entry_get(LED_ENTRY **handle) {
  if (handle != nullptr) *handle = g_led;
}
