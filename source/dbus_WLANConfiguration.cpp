// The wireless networks: /com/wqx/igd1/Config/WLAN/Devices, one child per
// SSID record of the store, each with its WPS object beside it.
//
// Every value is read from the store by item on each call.  A write is one
// transaction of the store's working record: the backup of its kind (single
// or multi-write), the values applied (PWD last, so that its check sees the
// security written with it), then the update that stores the record and
// puts it into effect on the radio; a refused value restores the backup.
// The backhaul between gateways is not touched outside a conformance run:
// writes to it succeed and change nothing.  Service type 1 announces only
// IsGuest and takes no AddObject or DeleteObject.
#include "wlanconfiguration.h"

#include <cstring>
#include <string>
#include <vector>

#include "dbus_proxy_list.h"
#include "host_api.h"
#include "igd1_assert.h"
#include "mib_api.h"

wps_interface_slots wps_interface_func = {nullptr, nullptr};

namespace {

using igd1::CallContext;
using igd1::Property;
using igd1::Raw;
using igd1::SingleObject;
using igd1::WriteFlags;

constexpr char kManagerPath[] = "/com/wqx/igd1/Config/WLAN/Devices";
constexpr char kPathRefused[] = "Invalid parameter value, object path %s";

int record_index(const CallContext &call) { return int(call.instance) - 1; }

bool service_type_1() { return dbus_proxy_get_service_type() == 1; }

// ---- reads ----

int get_item(uint32_t instance, int item, void *buffer) {
  return wlanconfiguration_get_property(item, buffer, int(instance) - 1);
}

GVariant *read_failed(const CallContext &call, const Property &property) {
  igd1::set_invalid_args(call.error, "get %s failed!", property.name);
  return nullptr;
}

// Items the store hands out as a pointer to its own text; PWD may be none.
GVariant *read_text_pointer(const CallContext &call, const SingleObject &,
                            const Property &property) {
  const char *text = nullptr;
  if (get_item(call.instance, property.index, &text) == 0) return read_failed(call, property);
  return igd1::text_value(text != nullptr ? text : "", std::strlen(text != nullptr ? text : "") + 1,
                          property.name, call.error);
}

// Texts larger than the engine's read buffer (ChannelsInUse, AllowedIPPort).
GVariant *read_large_buffer(const CallContext &call, const SingleObject &,
                            const Property &property) {
  std::vector<char> buffer(property.buffer, '\0');
  if (get_item(call.instance, property.index, buffer.data()) == 0)
    return read_failed(call, property);
  return igd1::text_value(buffer.data(), buffer.size(), property.name, call.error);
}

// With automatic channel selection service type 1 sees the channel in use.
GVariant *read_channel(const CallContext &call, const SingleObject &, const Property &property) {
  uint8_t automatic = 0;
  get_item(call.instance, WLAN_ITEM_AUTO_CHANNEL, &automatic);
  const int item = service_type_1() && automatic == 1 ? WLAN_ITEM_CHANNEL_IN_USE : WLAN_ITEM_CHANNEL;
  uint32_t channel = 0;
  if (get_item(call.instance, item, &channel) == 0) return read_failed(call, property);
  return g_variant_new_uint32(channel);
}

// Zero (not hidden) reads as advertised.
GVariant *read_advertised(const CallContext &call, const SingleObject &, const Property &property) {
  uint8_t hidden = 0;
  if (get_item(call.instance, property.index, &hidden) == 0) return read_failed(call, property);
  return g_variant_new_boolean(hidden == 0);
}

// Names of a 32-bit code: RadioType and FrequencyWidth.
constexpr const char *kRadioTypes[] = {"2.4GHz", "5.0GHz"};
constexpr const char *kWidths[] = {"20M", "40M", "Auto20M40M", "80M", "Auto20M40M80M160M",
                                   "80M+80M", "160M"};

template <size_t N>
GVariant *read_code_name(const CallContext &call, const Property &property,
                         const char *const (&names)[N]) {
  uint32_t code = 0;
  if (get_item(call.instance, property.index, &code) == 0) return read_failed(call, property);
  return g_variant_new_string(code < N ? names[code] : "");
}
GVariant *read_radio_type(const CallContext &call, const SingleObject &, const Property &property) {
  return read_code_name(call, property, kRadioTypes);
}
GVariant *read_width(const CallContext &call, const SingleObject &, const Property &property) {
  return read_code_name(call, property, kWidths);
}

// Duration, RemainDuration and PortIsolation exist on guest networks only;
// a Get elsewhere is an error, GetAll leaves them out.
bool guest(const CallContext &call) { return is_wlan_guest_network(record_index(call)) != 0; }

GVariant *not_guest(const CallContext &call, const Property &property) {
  igd1::set_invalid_args(call.error, "get %s failed, only guest ssid support it!", property.name);
  return nullptr;
}

GVariant *read_guest_number(const CallContext &call, const SingleObject &, const Property &property) {
  if (!guest(call)) return not_guest(call, property);
  if (property.raw == Raw::I32) {
    int32_t minutes = 0;
    if (get_item(call.instance, property.index, &minutes) == 0) return read_failed(call, property);
    return g_variant_new_uint64(uint64_t(int64_t(minutes)));
  }
  if (property.raw == Raw::U64) {
    uint64_t seconds = 0;
    if (get_item(call.instance, property.index, &seconds) == 0) return read_failed(call, property);
    return g_variant_new_uint64(seconds);
  }
  uint32_t on = 0;
  if (get_item(call.instance, property.index, &on) == 0) return read_failed(call, property);
  return g_variant_new_boolean(on != 0);
}

// ---- writes ----

bool refuse(const CallContext &call, const char *format) {
  igd1::set_invalid_args(call.error, format, call.object_path);
  return false;
}

// Stores `value` under `item`; `validated` asks the store's check first.
// The change is announced unless service type 1 is served (IsGuest aside).
bool apply(const CallContext &call, const Property &property, int item, const void *value,
           bool validated, WriteFlags *flags) {
  if (validated &&
      wlanconfiguration_check_valid_property_value(item, value, record_index(call), nullptr) == 0)
    return refuse(call, property.refused);
  int changed = 0;
  if (wlanconfiguration_set_property(item, value, record_index(call), &changed) == 0) {
    // The items of the hidden flag and of the band answer with the path.
    if (item == WLAN_ITEM_HIDE || item == WLAN_ITEM_BAND) return refuse(call, kPathRefused);
    igd1::set_invalid_args(call.error, "set %s failed!", property.name);
    return false;
  }
  const bool announced = !service_type_1() || property.index == WLAN_ITEM_IS_GUEST;
  if (changed != 0 && announced) flags->changed = 1;
  return true;
}

// Guest-only values: a single write elsewhere fails, a multi-write skips them.
bool guest_write_allowed(const CallContext &call, const Property &property, bool *skip) {
  *skip = false;
  if (guest(call)) return true;
  if (call.kind == igd1::CallKind::SetMulti) {
    *skip = true;
    return true;
  }
  g_set_error(call.error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "%s only can be configured by guest wlan.",
              property.name);
  return false;
}

// The text as the store takes it: at most `cut_at` bytes (0: as it is),
// cut before a character rather than inside it.
std::string copied(const Property &property, GVariant *value) {
  const char *text = g_variant_get_string(value, nullptr);
  size_t length = std::strlen(text);
  if (property.cut_at == 0 || length <= property.cut_at) return text;
  length = property.cut_at;
  while (length > 0 && (uint8_t(text[length]) & 0xc0) == 0x80) --length;
  return std::string(text, length);
}

bool write_ssid(const CallContext &call, const SingleObject &, const Property &property, const char *,
                GVariant *value, WriteFlags *flags) {
  gsize length = 0;
  const char *text = g_variant_get_string(value, &length);
  if (length < 1 || length > WLAN_SSID_MAX) return refuse(call, property.refused);
  return apply(call, property, property.index, text, false, flags);
}

// A switch stored as 32 bits (Enable, SSIDHide) or one byte (AutoChannelEnable, IsGuest).
bool write_switch(const CallContext &call, const SingleObject &, const Property &property, const char *,
                  GVariant *value, WriteFlags *flags) {
  const uint32_t on = g_variant_get_boolean(value) ? 1 : 0;
  if (property.stored == igd1::Stored::U32) return apply(call, property, property.index, &on, false, flags);
  const uint8_t byte = uint8_t(on);
  return apply(call, property, property.index, &byte, false, flags);
}

// SSIDAdvertisementEnabled: the hidden flag, inverted.
bool write_advertised(const CallContext &call, const SingleObject &, const Property &property,
                      const char *, GVariant *value, WriteFlags *flags) {
  const uint8_t hidden = g_variant_get_boolean(value) ? 0 : 1;
  return apply(call, property, property.index, &hidden, false, flags);
}

// Duration (minutes, 64 bits) and PortIsolation (a switch of 32 bits,
// checked by the store).
bool write_guest_only(const CallContext &call, const SingleObject &, const Property &property,
                      const char *, GVariant *value, WriteFlags *flags) {
  bool skip = false;
  if (!guest_write_allowed(call, property, &skip)) return false;
  if (skip) return true;
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_UINT64)) {
    const uint64_t minutes = g_variant_get_uint64(value);
    return apply(call, property, property.index, &minutes, false, flags);
  }
  const uint32_t on = g_variant_get_boolean(value) ? 1 : 0;
  return apply(call, property, property.index, &on, true, flags);
}

bool write_channel(const CallContext &call, const SingleObject &, const Property &property,
                   const char *, GVariant *value, WriteFlags *flags) {
  const uint32_t channel = g_variant_get_uint32(value);
  char listed[8] = {};
  g_snprintf(listed, sizeof listed, ",%u,", channel);
  if (wlanconfiguration_check_valid_property_value(property.index, listed, record_index(call), nullptr) == 0) {
    igd1::set_invalid_args(call.error, "%s", property.refused);
    return false;
  }
  return apply(call, property, property.index, &channel, false, flags);
}

// Texts the store turns into a one-byte code: the code is stored, or in a
// conformance run the text itself.  An empty BeaconType changes nothing.
bool write_coded(const CallContext &call, const SingleObject &, const Property &property,
                 const char *, GVariant *value, WriteFlags *flags) {
  const std::string text = copied(property, value);
  if (text.empty() && property.index == WLAN_ITEM_BEACON_TYPE) return true;
  uint8_t code = 0;
  if (wlanconfiguration_check_valid_property_value(property.index, text.c_str(), record_index(call), &code) == 0)
    return refuse(call, property.refused);
  if (call.test_run()) return apply(call, property, property.index, text.c_str(), false, flags);
  const char stored[2] = {char(code), '\0'};
  return apply(call, property, property.index, stored, false, flags);
}

// A 32-bit number, checked by the store first or not (RetryTimeout).
template <bool kChecked>
bool write_number(const CallContext &call, const SingleObject &, const Property &property,
                  const char *, GVariant *value, WriteFlags *flags) {
  const uint32_t number = g_variant_get_uint32(value);
  return apply(call, property, property.index, &number, kChecked, flags);
}

// ChannelWidth is not checked in a conformance run.
bool write_width_code(const CallContext &call, const SingleObject &, const Property &property,
                      const char *, GVariant *value, WriteFlags *flags) {
  const uint32_t width = g_variant_get_uint32(value);
  return apply(call, property, property.index, &width, !call.test_run(), flags);
}

// Texts as the caller wrote them or cut to their copy (`cut_at`), checked
// by the store first (Owner, Service, AllowedIPPort, PWD) or not (Bind).
template <bool kChecked>
bool write_text(const CallContext &call, const SingleObject &, const Property &property, const char *,
                GVariant *value, WriteFlags *flags) {
  const std::string text = copied(property, value);
  return apply(call, property, property.index, text.c_str(), kChecked, flags);
}

bool write_encryption_mode(const CallContext &call, const SingleObject &, const Property &property,
                           const char *, GVariant *value, WriteFlags *flags) {
  const uint8_t mode = g_variant_get_byte(value);
  if (mode < 1 || mode > 7) return refuse(call, property.refused);
  const char stored[2] = {char(mode - 1), '\0'};
  return apply(call, property, WLAN_ITEM_BEACON_TYPE, stored, false, flags);
}

bool write_zv_mode(const CallContext &call, const SingleObject &, const Property &property,
                   const char *, GVariant *value, WriteFlags *flags) {
  const uint8_t mode = g_variant_get_byte(value);
  if (mode > 1) return refuse(call, property.refused);
  return apply(call, property, property.index, &mode, false, flags);
}

// Only the first six characters of a radio type are compared.
bool write_radio_type(const CallContext &call, const SingleObject &, const Property &property,
                      const char *, GVariant *value, WriteFlags *flags) {
  const char *text = g_variant_get_string(value, nullptr);
  for (uint32_t code = 0; code < G_N_ELEMENTS(kRadioTypes); ++code)
    if (std::strncmp(text, kRadioTypes[code], 6) == 0)
      return apply(call, property, property.index, &code, false, flags);
  return refuse(call, property.refused);
}

bool write_frequency_width(const CallContext &call, const SingleObject &, const Property &property,
                           const char *, GVariant *value, WriteFlags *flags) {
  const std::string text = copied(property, value);
  for (uint32_t code = 0; code < G_N_ELEMENTS(kWidths); ++code)
    if (text == kWidths[code]) return apply(call, property, property.index, &code, true, flags);
  return refuse(call, property.refused);
}

// ---- the transaction ----

igd1::Begin begin(const CallContext &call, const SingleObject &) {
  if (wlanconfiguration_check_instnum(int(call.instance)) == 0) {
    igd1::set_invalid_args(call.error, "invalid parameter value ,object path %s", call.object_path);
    return igd1::Begin::Refuse;
  }
  if (!call.test_run() && wlanconfiguration_check_backhaul(int(call.instance)) != 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "Cannot modify object instnum %d, its backhaul SSID !!\n", int(call.instance));
    return igd1::Begin::Ignore;
  }
  const bool multi = call.kind == igd1::CallKind::SetMulti;
  const int backed_up = multi ? wlanconfiguration_set_properties_backup(record_index(call))
                              : wlanconfiguration_set_property_backup(record_index(call));
  if (backed_up == 0) {
    igd1::set_invalid_args(call.error, "invalid parameter value ,object path %s", call.object_path);
    return igd1::Begin::Refuse;
  }
  return igd1::Begin::Apply;
}

bool commit(const CallContext &call, const SingleObject &, const WriteFlags &) {
  const char *message = nullptr;
  if (wlanconfiguration_set_properties_update(record_index(call), &message) == 0) return true;
  g_set_error(call.error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "Config wireless fail (%s)",
              message != nullptr ? message : "");
  return false;
}

void abort_write(const CallContext &call, const SingleObject &) {
  if (call.kind == igd1::CallKind::SetMulti)
    wlanconfiguration_set_properties_failed_update(record_index(call));
  else
    wlanconfiguration_set_property_failed_update(record_index(call));
}

// ---- the table ----

// Read by the engine from the item's accessor: byte flags, numbers, buffers.
#define ITEM(prop, bus, item, raw_form, size)                                           \
  .name = prop, .type = bus, .index = item, .raw = raw_form, .buffer = size,           \
  .on_failure = igd1::OnFailure::Error, .failure_error = "get %s failed!"
#define NUMBER(prop, bus, item, raw_form) ITEM(prop, bus, item, raw_form, 0)
// Read by the module's own hook.
#define HOOKED(prop, bus, item, raw_form, size, reader) \
  .name = prop, .type = bus, .index = item, .raw = raw_form, .buffer = size, .read = reader
#define COUNTER(prop, item) {NUMBER(prop, "t", item, Raw::U64)}

constexpr Property kProperties[] = {
    {HOOKED("SSID", "s", WLAN_ITEM_SSID, Raw::Text, 0, read_text_pointer), .write = write_ssid,
     .refused = kPathRefused, .write_log = "set SSID = %s"},
    {NUMBER("Enable", "b", WLAN_ITEM_ENABLE, Raw::U8), .write = write_switch, .stored = igd1::Stored::U32,
     .write_log = "set Enable = %d"},
    {HOOKED("Channel", "u", WLAN_ITEM_CHANNEL, Raw::Text, 0, read_channel), .write = write_channel,
     .refused = "Invalid parameter value", .write_log = "set Channel = %d"},
    {NUMBER("ChannelInUse", "u", WLAN_ITEM_CHANNEL_IN_USE, Raw::U32)},
    {HOOKED("BeaconType", "s", WLAN_ITEM_BEACON_TYPE, Raw::Text, 0, read_text_pointer), .write = write_coded,
     .refused = kPathRefused, .write_log = "set BeaconType = %s", .cut_at = 31},
    {ITEM("Standard", "s", WLAN_ITEM_STANDARD, Raw::Text, WLAN_STANDARD_SIZE),
     .write = write_coded, .refused = kPathRefused, .write_log = "set Standard = %s", .cut_at = 31},
    {HOOKED("WEPEncryptionLevel", "s", WLAN_ITEM_WEP_LEVEL, Raw::Text, 0, read_text_pointer), .write = write_coded,
     .refused = "Invalid parameter value path %s", .write_log = "set WEPEncryptionLevel = %s",
     .cut_at = 63},
    {HOOKED("BasicAuthenticationMode", "s", WLAN_ITEM_AUTH_MODE, Raw::Text, 0, read_text_pointer),
     .write = write_coded, .refused = kPathRefused, .write_log = "set BasicAuthenticationMode = %s",
     .cut_at = 15},
    {HOOKED("WPAEncryptionModes", "s", WLAN_ITEM_WPA_MODES, Raw::Text, 0, read_text_pointer), .write = write_coded,
     .refused = kPathRefused, .write_log = "set WPAEncryptionModes = %s", .cut_at = 31},
    {NUMBER("SSIDHide", "b", WLAN_ITEM_HIDE, Raw::U8), .write = write_switch, .stored = igd1::Stored::U32,
     .write_log = "set SSIDHide = %d"},
    {NUMBER("RFBand", "u", WLAN_ITEM_BAND, Raw::U32), .write = write_number<true>, .refused = kPathRefused,
     .write_log = "set RFBand = %d"},
    {NUMBER("ChannelWidth", "u", WLAN_ITEM_WIDTH, Raw::U32), .write = write_width_code,
     .refused = kPathRefused, .write_log = "set ChannelWidth = %d"},
    {NUMBER("GuardInterval", "u", WLAN_ITEM_GUARD_INTERVAL, Raw::U32), .write = write_number<true>,
     .refused = kPathRefused, .write_log = "set GuardInterval = %d"},
    {NUMBER("RetryTimeout", "u", WLAN_ITEM_RETRY_TIMEOUT, Raw::U32), .write = write_number<false>,
     .write_log = "set RetryTimeout = %d"},
    {NUMBER("Powerlevel", "u", WLAN_ITEM_POWER_LEVEL, Raw::U32), .write = write_number<true>,
     .refused = kPathRefused, .write_log = "set Powerlevel = %d"},
    {NUMBER("PowerValue", "u", WLAN_ITEM_POWER_VALUE, Raw::U32)},
    // A key: never logged; applied after everything else of a multi-write.
    {HOOKED("PWD", "s", WLAN_ITEM_PASSWORD, Raw::Text, 0, read_text_pointer), .write = write_text<true>, .refused = kPathRefused, .cut_at = WLAN_PASSWORD_MAX,
     .apply_order = 1},
    COUNTER("RxBytes", 17), COUNTER("RxPkts", 18), COUNTER("RxErrorPkts", 19), COUNTER("RxDropPkts", 20),
    COUNTER("TxBytes", 21), COUNTER("TxPkts", 22), COUNTER("TxErrorPkts", 23), COUNTER("TxDropPkts", 24),
    {ITEM("SSIDAlias", "s", WLAN_ITEM_ALIAS, Raw::Text, WLAN_TEXT_SIZE)},
    {ITEM("Owner", "s", WLAN_ITEM_OWNER, Raw::Text, WLAN_TEXT_SIZE), .write = write_text<true>, .refused = kPathRefused, .write_log = "set Owner = %s"},
    {ITEM("Service", "s", WLAN_ITEM_SERVICE, Raw::Text, WLAN_TEXT_SIZE), .write = write_text<true>, .refused = kPathRefused, .write_log = "set Service = %s"},
    {NUMBER("MACAccessMode", "u", WLAN_ITEM_MAC_ACCESS_MODE, Raw::U32), .write = write_number<true>,
     .refused = kPathRefused, .write_log = "set MACAccessMode = %d"},
    {NUMBER("AccessRule", "u", WLAN_ITEM_ACCESS_RULE, Raw::U32), .write = write_number<true>,
     .refused = kPathRefused, .write_log = "set AccessRule = %d"},
    {HOOKED("AllowedIPPort", "s", WLAN_ITEM_ALLOWED_IP_PORT, Raw::Text, WLAN_ALLOWED_IP_PORT_SIZE, read_large_buffer), .write = write_text<true>,
     .refused = kPathRefused, .write_log = "set AllowedIPPort = %s"},
    {NUMBER("USBandwidth", "u", WLAN_ITEM_US_BANDWIDTH, Raw::U32), .write = write_number<true>,
     .refused = kPathRefused, .write_log = "set USBandwidth = %d"},
    {NUMBER("DSBandwidth", "u", WLAN_ITEM_DS_BANDWIDTH, Raw::U32), .write = write_number<true>,
     .refused = kPathRefused, .write_log = "set DSBandwidth = %d"},
    {ITEM("BSSID", "s", WLAN_ITEM_BSSID, Raw::Text, WLAN_BSSID_SIZE)},
    {NUMBER("EncryptionMode", "y", WLAN_ITEM_ENCRYPTION_MODE, Raw::U8), .write = write_encryption_mode,
     .refused = kPathRefused, .write_log = "set EncryptionMode = %d"},
    {NUMBER("TransmitPower", "u", WLAN_ITEM_POWER_LEVEL, Raw::U32), .write = write_number<true>,
     .refused = kPathRefused, .write_log = "set TransmitPower = %d"},
    {NUMBER("AutoChannelEnable", "b", WLAN_ITEM_AUTO_CHANNEL, Raw::U8), .write = write_switch,
     .write_log = "set AutoChannelEnable = %d"},
    {HOOKED("ChannelsInUse", "s", WLAN_ITEM_CHANNELS_IN_USE, Raw::Text, WLAN_CHANNELS_IN_USE_SIZE, read_large_buffer)},
    {ITEM("NetworkType", "s", WLAN_ITEM_NETWORK_TYPE, Raw::Text, WLAN_NETWORK_TYPE_SIZE)},
    {HOOKED("SSIDAdvertisementEnabled", "b", WLAN_ITEM_HIDE, Raw::Text, 0, read_advertised),
     .write = write_advertised, .write_log = "set SSIDAdvertisementEnabled = %d"},
    {HOOKED("RadioType", "s", WLAN_ITEM_BAND, Raw::Text, 0, read_radio_type), .write = write_radio_type,
     .refused = kPathRefused, .write_log = "set RadioType = %s"},
    {HOOKED("FrequencyWidth", "s", WLAN_ITEM_WIDTH, Raw::Text, 0, read_width), .write = write_frequency_width,
     .refused = kPathRefused, .write_log = "set FrequencyWidth = %s", .cut_at = 32},
    {NUMBER("RSSI", "u", WLAN_ITEM_POWER_VALUE, Raw::U32)},
    {NUMBER("X_ZV_Mode", "y", WLAN_ITEM_ZV_MODE, Raw::U8), .write = write_zv_mode,
     .refused = kPathRefused, .write_log = "set X_ZV_Mode = %d"},
    {ITEM("Bind", "s", WLAN_ITEM_BIND, Raw::Text, WLAN_BIND_SIZE), .write = write_text<false>, .write_log = "set Bind = %s", .cut_at = 32},
    {NUMBER("IsGuest", "b", WLAN_ITEM_IS_GUEST, Raw::U8), .write = write_switch,
     .write_log = "set IsGuest = %d"},
    {HOOKED("Duration", "t", WLAN_ITEM_DURATION, Raw::I32, 0, read_guest_number),
     .write = write_guest_only, .write_log = "set Duration = %d"},
    {HOOKED("RemainDuration", "t", WLAN_ITEM_REMAIN_DURATION, Raw::U64, 0, read_guest_number)},
    {HOOKED("PortIsolation", "b", WLAN_ITEM_ACCESS_RULE, Raw::U32, 0, read_guest_number),
     .write = write_guest_only, .refused = kPathRefused, .write_log = "set PortIsolation = %d"},
    COUNTER("TotalBytesReceived", 17), COUNTER("TotalPacketsReceived", 18),
    COUNTER("ErrorsReceived", 19), COUNTER("DiscardPacketsReceived", 20),
    COUNTER("TotalBytesSent", 21), COUNTER("TotalPacketsSent", 22), COUNTER("ErrorsSent", 23),
    COUNTER("DiscardPacketsSent", 24),
    {ITEM("IfName", "s", WLAN_ITEM_IFNAME, Raw::Text, WLAN_IFNAME_SIZE)},
    {NUMBER("MaxSta", "u", WLAN_ITEM_MAX_STA, Raw::U32)},
    {NUMBER("OnlineSta", "u", WLAN_ITEM_ONLINE_STA, Raw::U32)},
};
#undef ITEM
#undef NUMBER
#undef HOOKED
#undef COUNTER

// The object's own wording of the engine's texts.  A listing of the eight
// SSIDs reads about 500 values: their read lines are for the debug log only.
const char *wording(igd1::ObjectText text, int *level) {
  if (text == igd1::ObjectText::ReadLog) *level = LOG_LEVEL_DEBUG;
  return text == igd1::ObjectText::StoreRefused ? "set %s failed!" : nullptr;
}

constexpr SingleObject kSsid = {
    .path = nullptr,
    .xml_file = "WLANConfiguration.xml",
    .properties = kProperties,
    .get_at = get_item,
    .wording = wording,
    .transaction = {.begin = begin, .commit = commit, .abort = abort_write},
    .multi_failure = igd1::MultiFailure::Restore,
};
static_assert(igd1::oversized_read_when_compiled(kSsid) == nullptr,
              "a read buffer of kSsid is larger than the engine's");
const igd1::PublishObject kPublished(kSsid);

// ---- the collection ----

const GDBusInterfaceVTable kVTable = {
    nullptr, wlanconfiguration_handle_get_property, wlanconfiguration_handle_set_property,
    {igd1_set_multi_slot(wlanconfiguration_handle_set_multi_properties)}};
const GDBusInterfaceVTable kManagerVTable = {WLANConfiguration_handle_object_mng_call, nullptr,
                                             nullptr, {}};
igd1::CollectionState g_state;
const igd1::Collection kCollection = {
    .noun = "WLANConfiguration",
    .manager_path = kManagerPath,
    .type_name = "WLANConfigurationInterface",
    .xml_file = "WLANConfiguration.xml",
    .builtin_xml = nullptr,
    .introspection_data = &WLANConfiguration_introspection_data,
    .introspection_name = "WLANConfiguration_introspection_data",
    .vtable = &kVTable,
    .state = &g_state,
    .max_instance = WLAN_MAX_SSIDS,
};

// The WPS objects published, as {SSID instance, registration} records.
struct WpsRegistration {
  uint32_t instance;
  uint32_t registration;
};
dbus_proxy_list_node *g_wps_list = nullptr;

// The SSID a child path names (0: none).
uint32_t instance_of(const char *object_path) {
  return uint32_t(igd1::child_instance(kCollection, object_path));
}

bool wps_published(uint32_t instance) {
  for (dbus_proxy_list_node *node = g_wps_list; node != nullptr; node = node->next)
    if (static_cast<const WpsRegistration *>(node->data)->instance == instance) return true;
  return false;
}

void publish_wps(uint32_t instance) {
  if (wps_interface_func.add == nullptr || g_state.connection == nullptr || wps_published(instance))
    return;
  const guint registration = wps_interface_func.add(g_state.connection, int(instance));
  if (registration == 0) return;
  const WpsRegistration record{instance, registration};
  dbus_proxy_list_improve(&g_wps_list, &record, sizeof record);
}

void withdraw_wps(uint32_t instance) {
  if (wps_interface_func.del == nullptr) return;
  int position = 0;
  for (dbus_proxy_list_node *node = g_wps_list; node != nullptr; node = node->next, ++position) {
    const auto *record = static_cast<const WpsRegistration *>(node->data);
    if (record->instance != instance) continue;
    wps_interface_func.del(g_state.connection, record->registration);
    dbus_proxy_list_delete(&g_wps_list, position);
    return;
  }
}

// The instances of the SSIDs published now, in path order.
std::vector<uint32_t> published_ssids() {
  std::vector<uint32_t> instances;
  if (g_state.manager == nullptr) return instances;
  GList *objects = g_dbus_object_manager_get_objects(G_DBUS_OBJECT_MANAGER(g_state.manager));
  for (GList *o = objects; o != nullptr; o = o->next) {
    const uint32_t instance = instance_of(g_dbus_object_get_object_path(G_DBUS_OBJECT(o->data)));
    if (instance != 0) instances.push_back(instance);
  }
  g_list_free_full(objects, g_object_unref);
  return instances;
}

int add_row(unsigned int instance) { return WLANConfiguration_add_interface(int(instance)); }
int del_row(unsigned int instance) { return WLANConfiguration_del_interface(int(instance)); }

// The values `names` of SSID `instance` as a Get reads them (those that
// cannot be read are left out).
GVariant *ssid_values(uint32_t instance, const char *path, std::initializer_list<const char *> names) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
  for (const char *name : names)
    if (GVariant *value = igd1::object_get(kSsid, __func__, path, name, nullptr, instance))
      g_variant_builder_add(&builder, "{sv}", name, value);
  return g_variant_builder_end(&builder);
}

}  // namespace

GDBusNodeInfo *WLANConfiguration_introspection_data = nullptr;

// A listing (no error wanted) reads every value of the SSID in turn: the
// store is asked whether the SSID exists only when a value could not be
// read, since a read of an SSID that is gone fails anyway.
GVariant *wlanconfiguration_handle_get_property(GDBusConnection *, const gchar *, const gchar *path,
                                                const gchar *, const gchar *property, GError **error,
                                                gpointer) {
  const uint32_t instance = instance_of(path);
  if (error == nullptr) {
    GVariant *value = igd1::object_get(kSsid, __func__, path, property, nullptr, instance);
    if (value == nullptr && wlanconfiguration_check_instnum(int(instance)) == 0)
      DBUS_LOG(LOG_LEVEL_WARN, "Invalid parameter value");
    return value;
  }
  if (wlanconfiguration_check_instnum(int(instance)) == 0) {
    igd1::set_invalid_args(error, "invalid parameter value ,object path %s", path);
    return nullptr;
  }
  return igd1::object_get(kSsid, __func__, path, property, error, instance);
}

gboolean wlanconfiguration_handle_set_property(GDBusConnection *connection, const gchar *,
                                               const gchar *path, const gchar *interface_name,
                                               const gchar *property, GVariant *value,
                                               GError **error, gpointer) {
  return igd1::object_set(kSsid, __func__, connection, path, interface_name, property, value, error,
                          instance_of(path));
}

// Names the table does not write succeed without effect: only the others
// reach the transaction.
gboolean wlanconfiguration_handle_set_multi_properties(GDBusConnection *connection, const gchar *,
                                                       const gchar *path, const gchar *interface_name,
                                                       GVariant *entries, GError **error, gpointer) {
  GVariantBuilder writable;
  g_variant_builder_init(&writable, G_VARIANT_TYPE("a{sv}"));
  GVariantIter iter;
  g_variant_iter_init(&iter, entries);
  const gchar *name = nullptr;
  GVariant *value = nullptr;
  while (g_variant_iter_next(&iter, "{&sv}", &name, &value)) {
    const Property *property = igd1::find_property(kSsid, name);
    if (property != nullptr && property->write != nullptr)
      g_variant_builder_add(&writable, "{sv}", name, value);
    g_variant_unref(value);
  }
  g_autoptr(GVariant) kept = g_variant_ref_sink(g_variant_builder_end(&writable));
  return igd1::object_set_multi(kSsid, __func__, connection, path, interface_name, kept, error,
                                instance_of(path));
}

void WLANConfiguration_handle_object_mng_call(GDBusConnection *, const gchar *, const gchar *,
                                              const gchar *, const gchar *method,
                                              GVariant *parameters,
                                              GDBusMethodInvocation *invocation, gpointer) {
  const bool adds = std::strcmp(method, "AddObject") == 0;
  if (!adds && std::strcmp(method, "DeleteObject") != 0) {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                          "Unknown method %s", method);
    return;
  }
  if (service_type_1()) {
    igd1::return_manager_error(invocation, "Not allowed to add/delete wlan object.");
    return;
  }
  if (adds) {
    int instance = 0;
    if (wlanconfiguration_insert_entry(&instance) == 0) {
      igd1::return_manager_error(invocation, "Add WLANConfiguration object fail !!");
      return;
    }
    g_autofree gchar *path = g_strdup_printf("%s/%d", kManagerPath, instance);
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", path));
    return;
  }
  const gchar *path = nullptr;
  g_variant_get(parameters, "(&o)", &path);
  const char *slash = std::strrchr(path, '/');
  const bool under = slash != nullptr && size_t(slash - path) == std::strlen(kManagerPath) &&
                     std::strncmp(path, kManagerPath, size_t(slash - path)) == 0;
  const uint32_t instance = under ? igd1::parse_instance(slash + 1, WLAN_MAX_SSIDS) : 0;
  if (instance == 0) {
    igd1::return_manager_error(invocation, "DeleteObject object path error");
    return;
  }
  if (wlanconfiguration_delete_entry(int(instance)) == 0) {
    igd1::return_manager_error(invocation, "Delete WLANConfiguration object fail !!");
    return;
  }
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

void WLANConfiguration_on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer) {
  DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d]", __func__, __LINE__);
  igd1::collection_create_manager(kCollection);
  igd1::collection_load_interface(kCollection);
  igd1::collection_attach(kCollection, connection, &kManagerVTable);
  // WPS objects of an earlier start went with its connection: the SSIDs
  // published from now on get theirs anew.
  while (g_wps_list != nullptr) dbus_proxy_list_delete(&g_wps_list, 0);
  dbus_proxy_row_callbacks callbacks{};
  callbacks.shape = DBUS_PROXY_ROW_INSTANCE;
  callbacks.add_instance = add_row;
  callbacks.del_instance = del_row;
  IGD1_ASSERT(dbus_proxy_row_callbacks_reg("WLANConfiguration", &callbacks) != 0);
  wlanconfiguration_interface_init();
}

int WLANConfiguration_add_interface(int index) {
  if (index <= 0 || index > WLAN_MAX_SSIDS || g_state.manager == nullptr) return 1;
  igd1::collection_export_child(kCollection, uint32_t(index));
  publish_wps(uint32_t(index));
  return 1;
}

int WLANConfiguration_del_interface(int index) {
  if (index <= 0 || index > WLAN_MAX_SSIDS || g_state.manager == nullptr) return 1;
  withdraw_wps(uint32_t(index));
  igd1::collection_unexport_child(kCollection, uint32_t(index));
  return 1;
}

void WLANConfiguration_publish_wps(void) {
  for (uint32_t instance : published_ssids()) publish_wps(instance);
}

void WLANConfiguration_emit_all_signal(void) {
  GDBusConnection *connection = g_state.connection != nullptr ? g_state.connection : g_pIdg1_connection;
  if (connection == nullptr) return;
  for (uint32_t instance : published_ssids()) {
    g_autofree gchar *path = g_strdup_printf("%s/%u", kManagerPath, instance);
    GVariant *changed = ssid_values(instance, path, {"SSID", "PWD"});
    g_dbus_connection_emit_signal(connection, nullptr, path, "com.wqx.igd1.Properties",
                                  "PropertiesChanged",
                                  g_variant_new("(s@a{sv}as)", "com.wqx.igd1.WLANConfiguration",
                                                changed, nullptr),
                                  nullptr);
  }
}

GType WLANConfiguration_interface_get_type(void) {
  return igd1::collection_interface_type(kCollection);
}
