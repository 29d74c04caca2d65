// The radios as a whole: /com/wqx/igd1/Info/WiFi.  Switches are stored with
// the token the store hands out and applied once per write request (never
// after a refused entry); scans, kick-outs and channel switches go through
// the radios' control program, and a scan's result is there once the radio
// has finished it.
#include <cstring>
#include <string>
#include <string_view>

#include "mib_wifi.h"
#include "wifi_radio.h"
#include "wifiinfo.h"

namespace {

using igd1::OnFailure;
using igd1::PendingCall;
using igd1::Property;
using igd1::Raw;

constexpr size_t kMessageSize = 64;
constexpr size_t kResultSize = 256;
constexpr int kScore2G = -1, kScore5G = -2;

// The token of the last value a request stored and changed.
uint32_t g_token = 0;

bool store_switch(const igd1::CallContext &call, const igd1::SingleObject &, const Property &property,
                  const char *name, GVariant *value, igd1::WriteFlags *flags) {
  uint32_t number = 0;
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN))
    number = g_variant_get_boolean(value) ? 1 : 0;
  else if (g_variant_is_of_type(value, G_VARIANT_TYPE_BYTE))
    number = g_variant_get_byte(value);
  else
    number = g_variant_get_uint32(value);
  const uint8_t byte = uint8_t(number);
  const void *stored = property.raw == Raw::U8 ? static_cast<const void *>(&byte) : &number;
  int changed = 0;
  uint32_t token = 0;
  if ((property.raw == Raw::U8 && number > 0xff) ||
      wifiinfo_set_property(property.index, stored, &changed, &token) == 0) {
    g_set_error(call.error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "set %s failed!", name);
    return false;
  }
  if (changed != 0) {
    flags->changed = 1;
    g_token = token;
  }
  return true;
}

bool apply(const igd1::CallContext &call, const igd1::SingleObject &, const igd1::WriteFlags &flags) {
  if (flags.changed == 0 || wifiinfo_set_property_update(g_token) != 0) return true;
  g_set_error_literal(call.error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "apply WiFi information failed");
  return false;
}

// The scan scores of a band: at most as many entries as the radio counted.
GVariant *scan_scores(const igd1::CallContext &, const igd1::SingleObject &, const Property &property) {
  const uint32_t band = property.index == kScore5G ? 2 : 1;
  char result[kResultSize] = {}, message[kMessageSize] = {};
  uint32_t count = 0;
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_STRING_ARRAY);
  if (wifiinfo_ChannelSanResult(band, result, &count, message) == 0 || result[0] == '\0' || count == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, band == 1 ? "[%s] Cannot do wlan channel scan on 2.4G!!!"
                                       : "[%s] Cannot do wlan channel scan on 5G!!!",
             __func__);
    return g_variant_builder_end(&builder);
  }
  g_auto(GStrv) entries = g_strsplit(result, ",", -1);
  for (uint32_t i = 0; entries[i] != nullptr && i < count; ++i) g_variant_builder_add(&builder, "s", entries[i]);
  return g_variant_builder_end(&builder);
}

// Background noise: a failed read is 0 dBm.
GVariant *noise(const igd1::CallContext &, const igd1::SingleObject &, const Property &property) {
  int16_t level = 0;
  if (wifiinfo_get_property(property.index, &level) == 0) level = 0;
  return g_variant_new_int16(level);
}

// ---- methods ----

// Band 1 (2.4 GHz) or 2 (5 GHz) by name, in any case; 0 for no band.  The
// scan request looks at two characters of "2.4G" only.
uint32_t band_named(const char *name, bool short_form) {
  if (g_ascii_strncasecmp(name, "5G", 2) == 0) return 2;
  if (g_ascii_strncasecmp(name, "2G", 2) == 0 || g_ascii_strncasecmp(name, "2.4G", short_form ? 2 : 4) == 0)
    return 1;
  return 0;
}

void reply(const PendingCall &call, uint32_t result, const char *message) {
  call.reply(g_variant_new("(us)", result, message));
}

const char *or_default(const char *message, const char *otherwise) {
  return message[0] != '\0' ? message : otherwise;
}

// Six pairs of hex digits, alone or split by ":" or "-": the only text that
// goes to the control program as a station.
bool mac_text(std::string_view text) {
  const bool split = text.size() == 17;
  if (!split && text.size() != 12) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool separator = split && i % 3 == 2;
    if (separator ? text[i] != ':' && text[i] != '-' : !g_ascii_isxdigit(text[i])) return false;
  }
  return true;
}

void kick_out(const PendingCall &call, GVariant *parameters) {
  const char *mac = nullptr, *ssid = nullptr;
  g_variant_get(parameters, "(&s&s)", &mac, &ssid);
  auto kick = [call, mac = std::string(mac), ssid = std::string(ssid)](bool ok) {
    char message[kMessageSize] = "the radio control program failed";
    int result = 0;
    if (ok) wifiinfo_KickOutDevice(mac.c_str(), ssid.c_str(), &result, message);
    if (result == 1)
      reply(call, 0, "success");
    else
      reply(call, 1, message);
  };
  // Any other text is answered by the library's own refusal, without
  // running the program.
  if (!mac_text(mac)) return kick(true);
  igd1::radio_then("kick", mac, std::move(kick));
}

void neighbours(const PendingCall &call, GVariant *parameters) {
  const char *radio = nullptr;
  g_variant_get(parameters, "(&s)", &radio);
  if (radio[0] == '\0') {
    reply(call, 4, "get radio type failed");
    return;
  }
  g_autofree char *text = nullptr;
  const int status = wifiinfo_GetWLANNeighbor(radio, &text);
  reply(call, uint32_t(status), text != nullptr ? text : "");
}

void same_ssid(const PendingCall &call, GVariant *parameters) {
  const char *low = nullptr, *high = nullptr;
  g_variant_get(parameters, "(&s&s)", &low, &high);
  char message[kMessageSize] = {};
  if (wifiinfo_SetSameSSID(low, high, message) == 0)
    reply(call, 1, message);
  else
    reply(call, 0, "success");
}

void cancel_same_ssid(const PendingCall &call, GVariant *) {
  if (wifiinfo_CancelSameSSID() != 0) {
    reply(call, 0, "success");
    return;
  }
  g_autofree gchar *text = g_strdup_printf("Unknown method %s", call.method());
  call.fail(G_DBUS_ERROR_UNKNOWN_METHOD, text);
}

// The band the call names, or the "Unknown Band" answer (true: answered).
bool unknown_band(const PendingCall &call, const char *name, uint32_t band) {
  if (band != 0) return false;
  g_autofree gchar *text = g_strdup_printf("Unknown Band %s", name);
  reply(call, 1, text);
  return true;
}

// A radio operation on a band after the control program ran: the library's
// 0 is (1, its message or "fail"), anything else (0, its message or "success").
void band_operation(const PendingCall &call, GVariant *parameters, const char *operation, bool short_form,
                    int (*run)(uint32_t band, char *message)) {
  const char *name = nullptr;
  g_variant_get(parameters, "(&s)", &name);
  const uint32_t band = band_named(name, short_form);
  if (unknown_band(call, name, band)) return;
  igd1::radio_then(operation, std::to_string(band), [call, band, run](bool ok) {
    char message[kMessageSize] = {};
    if (!ok) {
      reply(call, 1, "the radio control program failed");
    } else if (run(band, message) == 0) {
      reply(call, 1, or_default(message, "fail"));
    } else {
      reply(call, 0, or_default(message, "success"));
    }
  });
}

void channel_switch(const PendingCall &call, GVariant *parameters) {
  band_operation(call, parameters, "channel-switch", false, wifiinfo_ChannelSwitch);
}

void scan(const PendingCall &call, GVariant *parameters) {
  band_operation(call, parameters, "scan", true, wifiinfo_ChannelSan);
}

void scan_result(const PendingCall &call, GVariant *parameters) {
  const char *name = nullptr;
  g_variant_get(parameters, "(&s)", &name);
  const uint32_t band = band_named(name, false);
  if (band == 0) {
    g_autofree gchar *text = g_strdup_printf("Unknown Band %s", name);
    call.reply(g_variant_new("(sus)", "", 1u, text));
    return;
  }
  char result[kResultSize] = {}, message[kMessageSize] = {};
  uint32_t count = 0;
  if (wifiinfo_ChannelSanResult(band, result, &count, message) == 0)
    call.reply(g_variant_new("(sus)", "", 1u, or_default(message, "fail")));
  else
    call.reply(g_variant_new("(sus)", result, 0u, or_default(message, "success")));
}

constexpr igd1::Method kMethods[] = {
    {.name = "KickOutDevice", .handler = kick_out, .answer = igd1::Answer::Later},
    {.name = "GetWLANNeighbor", .handler = neighbours},
    {.name = "SetSameSSID", .handler = same_ssid},
    {.name = "CancelSameSSID", .handler = cancel_same_ssid},
    {.name = "ChannelSwitch", .handler = channel_switch, .answer = igd1::Answer::Later},
    {.name = "ChannelCollection", .handler = scan_result},
    {.name = "ChannelCollectionRequest", .handler = scan, .answer = igd1::Answer::Later},
};

constexpr const char *kGetFailed = "get %s failed!";
constexpr Property kProperties[] = {
    {.name = "Enable2G", .type = "b", .index = 0, .raw = Raw::U8, .on_failure = OnFailure::Error,
     .failure_error = kGetFailed, .write = store_switch},
    {.name = "Enable5G", .type = "b", .index = 1, .raw = Raw::U8, .on_failure = OnFailure::Error,
     .failure_error = kGetFailed, .write = store_switch},
    {.name = "Enable", .type = "b", .index = 2, .raw = Raw::U8, .on_failure = OnFailure::Error,
     .failure_error = kGetFailed, .write = store_switch},
    {.name = "WiFiMode", .index = 3, .buffer = 128, .on_failure = OnFailure::Fallback,
     .failure_log = "get %s failed", .fallback_text = "802.11b/802.11g/802.11n/802.11ac"},
    {.name = "DualBand", .type = "b", .index = 4, .raw = Raw::U32},
    {.name = "SupportedBeaconType", .index = 5, .buffer = 65, .on_failure = OnFailure::Error,
     .failure_error = kGetFailed},
    {.name = "MAPAgent", .type = "y", .index = 6, .raw = Raw::U8, .on_failure = OnFailure::Error,
     .failure_error = kGetFailed, .write = store_switch},
    {.name = "SameSSIDStatus", .type = "b", .index = 7, .raw = Raw::U32},
    {.name = "RxBytes", .type = "t", .index = 8, .raw = Raw::U64},
    {.name = "RxPkts", .type = "t", .index = 9, .raw = Raw::U64},
    {.name = "RxErrorPkts", .type = "t", .index = 10, .raw = Raw::U64},
    {.name = "RxDropPkts", .type = "t", .index = 11, .raw = Raw::U64},
    {.name = "TxBytes", .type = "t", .index = 12, .raw = Raw::U64},
    {.name = "TxPkts", .type = "t", .index = 13, .raw = Raw::U64},
    {.name = "TxErrorPkts", .type = "t", .index = 14, .raw = Raw::U64},
    {.name = "TxDropPkts", .type = "t", .index = 15, .raw = Raw::U64},
    {.name = "RatePriority", .type = "b", .index = 16, .raw = Raw::U32, .write = store_switch},
    {.name = "RatePriority5G", .type = "b", .index = 17, .raw = Raw::U32, .write = store_switch},
    {.name = "ChannelScanStatus", .type = "y", .index = 18, .raw = Raw::U8, .write = store_switch},
    {.name = "ChannelScanFinishTime", .index = 19, .buffer = 32},
    {.name = "ChannelScanScore", .type = "as", .index = kScore2G, .read = scan_scores},
    {.name = "ChannelScanStatus5G", .type = "y", .index = 20, .raw = Raw::U8, .write = store_switch},
    {.name = "ChannelScanFinishTime5G", .index = 21, .buffer = 32},
    {.name = "ChannelScanScore5G", .type = "as", .index = kScore5G, .read = scan_scores},
    {.name = "BgNoise2G", .type = "n", .index = 22, .read = noise},
    {.name = "BgNoise5G", .type = "n", .index = 23, .read = noise},
    {.name = "EnWifiQualityCollection", .type = "u", .index = 24, .raw = Raw::U32, .write = store_switch},
};

// The object's own wording of the engine's texts.
const char *wording(igd1::ObjectText text, int *) {
  using enum igd1::ObjectText;
  switch (text) {
    case StoreRefused: return "set %s failed!";
    default: return nullptr;
  }
}

constexpr igd1::SingleObject kObject = {
    .path = "/com/wqx/igd1/Info/WiFi",
    .xml_file = "WiFiInfo.xml",
    .properties = kProperties,
    .get = wifiinfo_get_property,
    .read_buffer = 8,
    .wording = wording,
    .transaction = {.commit = apply},
    .multi_failure = igd1::MultiFailure::Stop,
    .methods = kMethods,
};

}  // namespace

IGD1_READ_HANDLER(wifiinfo_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(wifiinfo_handle_set_property, wifiinfo_handle_set_multi_properties, kObject)
IGD1_METHOD_HANDLER(wifiinfo_handle_method_call, kObject)
IGD1_SINGLE_OBJECT(wifiinfo, wifiinfo_introspection_data, kObject, wifiinfo_handle_method_call,
                   wifiinfo_handle_get_property, wifiinfo_handle_set_property,
                   wifiinfo_handle_set_multi_properties)
