// Roaming per band: /com/wqx/igd1/Config/WLAN/2G/Roaming and .../5G/Roaming,
// one declaration registered for each band the radios have when the module
// starts.  Thresholds are written in their own type only; a write request
// is applied once, when it is done.  Queries and transition requests are
// answered at once; their results arrive as signals when the radio has
// answered (its control program ran) or when another process reports them.
#include <cstring>
#include <string>

#include "dbus_proxy_api.h"
#include "host_api.h"
#include "igd1_assert.h"
#include "roaming.h"
#include "wifi_radio.h"

namespace {

using igd1::OnFailure;
using igd1::PendingCall;
using igd1::Property;
using igd1::Raw;

constexpr char kInterface[] = "com.wqx.igd1.Roaming";
struct Band {
  uint32_t id;
  const char *name;
  const char *path;
};
constexpr Band kBands[] = {{1, "2G", "/com/wqx/igd1/Config/WLAN/2G/Roaming"},
                           {2, "5G", "/com/wqx/igd1/Config/WLAN/5G/Roaming"}};
constexpr size_t kMessageSize = 64;

// Bands whose object is registered (by id - 1).
bool g_registered[2] = {};

const char *path_of(uint32_t band) { return kBands[band - 1].path; }

int get_at(uint32_t band, int index, void *buffer) { return Roaming_get_property(index, buffer, band); }

bool store_typed(const igd1::CallContext &call, const igd1::SingleObject &, const Property &property,
                 const char *name, GVariant *value, igd1::WriteFlags *flags) {
  uint32_t stored = 0;
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN))
    stored = g_variant_get_boolean(value) ? 1 : 0;
  else if (g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32))
    stored = g_variant_get_uint32(value);
  else
    stored = uint32_t(g_variant_get_int32(value));
  if (Roaming_set_property(property.index, &stored, call.instance) == 0) {
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32))
      g_set_error(call.error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "set %s failed %u", name, stored);
    else
      g_set_error(call.error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "set %s failed %d", name,
                  int32_t(stored));
    return false;
  }
  flags->changed = 1;
  return true;
}

bool apply(const igd1::CallContext &call, const igd1::SingleObject &, const igd1::WriteFlags &) {
  if (Roaming_set_property_update(call.instance) != 0) return true;
  g_set_error_literal(call.error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "apply roaming failed");
  return false;
}

// ---- methods ----

void reply(const PendingCall &call, int result, const char *message) {
  call.reply(g_variant_new("(us)", uint32_t(result), message));
}

void report_ap_levels(uint32_t band) {
  uint32_t result = 1, count = 0;
  uint8_t ap[6] = {};
  roaming_rssi_record records[ROAMING_MAX_RECORDS];
  char errdesc[kMessageSize] = {};
  if (Roaming_APRSSIQuery_report(band, &result, ap, records, &count, errdesc) != 0)
    Roaming_APRSSIQueryResult_emit_signal(path_of(band), result, ap, records, count, errdesc);
}

void report_station_levels(uint32_t band) {
  uint32_t result = 1, count = 0;
  roaming_rssi_record records[ROAMING_MAX_RECORDS];
  char errdesc[kMessageSize] = {};
  if (Roaming_STARSSIQuery_report(band, &result, records, &count, errdesc) != 0)
    Roaming_STARSSIQueryResult_emit_signal(path_of(band), result, records, count, errdesc);
}

void report_transition(uint32_t band, const std::string &station) {
  uint32_t status = 1;
  char errdesc[kMessageSize] = {};
  if (Roaming_STABSSTransition_report(band, station.c_str(), &status, errdesc) != 0)
    Roaming_STABSSTransitionResult_emit_signal(path_of(band), status == 0 ? 0 : 1, station.c_str(), status,
                                               errdesc);
}

// The station's view of each listed access point; refused as a whole when
// an entry is, or when the list is not as long as the count says.
void start_ap_query(const PendingCall &call, GVariant *parameters) {
  const uint32_t band = call.context().instance;
  const char *station = nullptr;
  uint32_t ap_count = 0;
  g_autoptr(GVariant) aps = nullptr;
  g_variant_get(parameters, "(&su@a{su})", &station, &ap_count, &aps);
  char message[kMessageSize] = {};
  Roaming_StartAPRSSIQuery_reset(band);
  GVariantIter iter;
  g_variant_iter_init(&iter, aps);
  const char *ap = nullptr;
  uint32_t channel = 0, position = 0;
  while (g_variant_iter_next(&iter, "{&su}", &ap, &channel)) {
    if (Roaming_StartAPRSSIQuery_setup_method(band, ap, channel, position++, ap_count, message) == 1) {
      Roaming_StartAPRSSIQuery_reset(band);
      reply(call, 1, message);
      return;
    }
  }
  if (g_variant_n_children(aps) != ap_count) {
    Roaming_StartAPRSSIQuery_reset(band);
    reply(call, 1, "Invalid parameters!");
    return;
  }
  const int result = Roaming_StartAPRSSIQuery_method(band, station, message);
  reply(call, result, message);
  if (result == 0) igd1::radio_then("ap-rssi-query", station, [band](bool) { report_ap_levels(band); });
}

void start_transition(const PendingCall &call, GVariant *parameters) {
  const uint32_t band = call.context().instance;
  const char *station = nullptr, *target = nullptr;
  uint32_t channel = 0;
  g_variant_get(parameters, "(&su&s)", &station, &channel, &target);
  char message[kMessageSize] = {};
  const int result = Roaming_StartSTABSSTransitionRequest_method(band, station, channel, target, message);
  reply(call, result, message);
  if (result == 0)
    igd1::radio_then("bss-transition", station,
                     [band, mac = std::string(station)](bool) { report_transition(band, mac); });
}

// This band's view of each listed station.
void station_query(const PendingCall &call, GVariant *parameters) {
  const uint32_t band = call.context().instance;
  g_autoptr(GVariant) stations = nullptr;
  g_variant_get(parameters, "(@a{su})", &stations);
  char message[kMessageSize] = {};
  if (Roaming_GetSTARSSIQuery_check_status(band, message) == 1) {
    reply(call, 1, message);
    return;
  }
  GVariantIter iter;
  g_variant_iter_init(&iter, stations);
  const char *mac = nullptr;
  uint32_t channel = 0, position = 0;
  while (g_variant_iter_next(&iter, "{&su}", &mac, &channel)) {
    if (Roaming_GetSTARSSIQuery_setup_method(band, mac != nullptr ? mac : "", channel, position++) == 1) {
      reply(call, 1, "Invalid parameters!");
      return;
    }
  }
  const int result = Roaming_GetSTARSSIQuery_method(band, position, message);
  reply(call, result, message);
  if (result == 0) igd1::radio_then("sta-rssi-query", "", [band](bool) { report_station_levels(band); });
}

// ---- results other processes report ----

// BAND MAC: a band with a roaming object and a station associated with it.
bool reported_station(const dbus_proxy_event_value *v, std::string *mac, char *reason, size_t size) {
  const auto band = uint32_t(v[0].number);
  *mac = igd1::mac_digits(v[1].mac);
  if (band < 1 || band > 2 || !g_registered[band - 1]) {
    g_snprintf(reason, size, "no roaming object for band %u", band);
    return false;
  }
  if (Roaming_station_check(band, mac->c_str()) == 0) {
    g_snprintf(reason, size, "no station %s on band %u", mac->c_str(), band);
    return false;
  }
  return true;
}

// BAND MAC RSSI VALID: one station's level as the band measured it.
int station_level(const dbus_proxy_event_value *v, char *reason, size_t size) {
  std::string mac;
  if (!reported_station(v, &mac, reason, size)) return 0;
  roaming_rssi_record record{};
  std::memcpy(record.mac, v[1].mac, 6);
  record.rssi = int32_t(v[2].number);
  record.valid = uint32_t(v[3].number);
  Roaming_STARSSIQueryResult_emit_signal(path_of(uint32_t(v[0].number)), 0, &record, 1, "");
  return 1;
}

// BAND MAC STATUS TEXT: how a station answered a transition request.
int transition_answer(const dbus_proxy_event_value *v, char *reason, size_t size) {
  std::string mac;
  if (!reported_station(v, &mac, reason, size)) return 0;
  const auto status = uint32_t(v[2].number);
  Roaming_STABSSTransitionResult_emit_signal(path_of(uint32_t(v[0].number)), status == 0 ? 0 : 1, mac.c_str(),
                                             status, v[3].text);
  return 1;
}

constexpr dbus_proxy_event_arg kLevelArgs[] = {{"BAND", DBUS_PROXY_ARG_UINT32, 0},
                                               {"MAC", DBUS_PROXY_ARG_MAC, 0},
                                               {"RSSI", DBUS_PROXY_ARG_INT32, 0},
                                               {"VALID", DBUS_PROXY_ARG_UINT32, 0}};
constexpr dbus_proxy_event_arg kAnswerArgs[] = {{"BAND", DBUS_PROXY_ARG_UINT32, 0},
                                                {"MAC", DBUS_PROXY_ARG_MAC, 0},
                                                {"STATUS", DBUS_PROXY_ARG_UINT32, 0},
                                                {"TEXT", DBUS_PROXY_ARG_TEXT, kMessageSize - 1}};
constexpr dbus_proxy_event kEvents[] = {{"sta-rssi-result", station_level, kLevelArgs, 4},
                                        {"bss-transition-result", transition_answer, kAnswerArgs, 4}};

constexpr igd1::Method kMethods[] = {
    {.name = "StartAPRSSIQuery", .handler = start_ap_query},
    {.name = "StartSTABSSTransitionRequest", .handler = start_transition},
    {.name = "GetSTARSSIQuery", .handler = station_query},
};

constexpr auto kSilent = igd1::ChangeSignal::Never;
constexpr Property kProperties[] = {
    {.name = "BSSID", .index = 0, .buffer = 13, .on_failure = OnFailure::Error, .failure_error = "get %s failed!"},
    {.name = "Enable", .type = "b", .index = 1, .raw = Raw::U32, .on_failure = OnFailure::Error,
     .failure_error = "get %s failed!", .write = store_typed, .change_signal = kSilent},
    {.name = "Start_time", .type = "u", .index = 2, .raw = Raw::U32, .on_failure = OnFailure::Error,
     .failure_error = "get %s failed!", .write = store_typed, .change_signal = kSilent},
    {.name = "Threshold1_RSSI", .type = "i", .index = 3, .raw = Raw::I32, .on_failure = OnFailure::Error,
     .failure_error = "get %s failed!", .write = store_typed, .change_signal = kSilent},
    {.name = "Threshold2_RSSI", .type = "i", .index = 4, .raw = Raw::I32, .on_failure = OnFailure::Error,
     .failure_error = "get %s failed!", .write = store_typed, .change_signal = kSilent},
};

constexpr igd1::SingleObject kObject = {
    .path = kBands[0].path,
    .xml_file = "Roaming.xml",
    .properties = kProperties,
    .get_at = get_at,
    .transaction = {.commit = apply},
    .multi_failure = igd1::MultiFailure::Stop,
    .methods = kMethods,
};
const igd1::PublishObject kPublished(kObject);

uint32_t band_of(gpointer user_data) { return GPOINTER_TO_UINT(user_data); }

// A value of another type than the property's is refused before anything
// is stored.
bool typed_entries(GVariant *properties, GError **error) {
  GVariantIter iter;
  g_variant_iter_init(&iter, properties);
  const char *name = nullptr;
  GVariant *value = nullptr;
  while (g_variant_iter_next(&iter, "{&sv}", &name, &value)) {
    g_autoptr(GVariant) owned = value;
    for (const Property &property : kProperties) {
      if (std::strcmp(property.name, name) != 0 || property.write == nullptr) continue;
      if (!g_variant_is_of_type(owned, G_VARIANT_TYPE(property.type))) {
        g_set_error_literal(error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "Invalid parameter value");
        return false;
      }
    }
  }
  return true;
}

void send(const char *path, const char *signal, GVariant *body) {
  if (g_pIdg1_connection == nullptr || path == nullptr) {
    g_variant_unref(g_variant_ref_sink(body));
    return;
  }
  g_dbus_connection_emit_signal(g_pIdg1_connection, nullptr, path, kInterface, signal, body, nullptr);
}

GVariant *levels(const roaming_rssi_record *records, guint32 count) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{si}"));
  for (guint32 i = 0; records != nullptr && i < count; ++i)
    if (records[i].valid == 1)
      g_variant_builder_add(&builder, "{si}", igd1::mac_digits(records[i].mac).c_str(), records[i].rssi);
  return g_variant_builder_end(&builder);
}

const char *error_text(guint32 result, const char *errdesc) {
  return result == 0 || errdesc == nullptr ? "" : errdesc;
}

}  // namespace

GDBusNodeInfo *Roaming_introspection_data = nullptr;

GVariant *Roaming_handle_get_property(GDBusConnection *, const gchar *, const gchar *object_path, const gchar *,
                                      const gchar *property_name, GError **error, gpointer user_data) {
  return igd1::object_get(kObject, __func__, object_path, property_name, error, band_of(user_data));
}

gboolean Roaming_handle_set_property(GDBusConnection *connection, const gchar *, const gchar *object_path,
                                     const gchar *interface_name, const gchar *property_name, GVariant *value,
                                     GError **error, gpointer user_data) {
  return igd1::object_set(kObject, __func__, connection, object_path, interface_name, property_name, value,
                          error, band_of(user_data));
}

gboolean Roaming_handle_set_multi_properties(GDBusConnection *connection, const gchar *, const gchar *object_path,
                                             const gchar *interface_name, GVariant *properties, GError **error,
                                             gpointer user_data) {
  if (!typed_entries(properties, error)) return FALSE;
  return igd1::object_set_multi(kObject, __func__, connection, object_path, interface_name, properties, error,
                                band_of(user_data));
}

void Roaming_handle_method_call(GDBusConnection *, const gchar *, const gchar *object_path,
                                const gchar *interface_name, const gchar *method_name, GVariant *parameters,
                                GDBusMethodInvocation *invocation, gpointer user_data) {
  igd1::object_method_call(kObject, __func__, object_path, interface_name, method_name, parameters, invocation,
                           band_of(user_data));
}

namespace {
const GDBusInterfaceVTable kVTable = {Roaming_handle_method_call, Roaming_handle_get_property,
                                      Roaming_handle_set_property,
                                      {igd1_set_multi_slot(Roaming_handle_set_multi_properties)}};
}  // namespace

void Roaming_on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer) {
  GDBusNodeInfo *node = dbus_proxy_readxml(kObject.xml_file);
  if (GDBusNodeInfo *previous = std::exchange(Roaming_introspection_data, node))
    g_dbus_node_info_unref(previous);
  igd1::fatal_unless(node != nullptr && node->interfaces != nullptr && node->interfaces[0] != nullptr,
                   "introspection_data != NULL");
  dbus_proxy_node_info_reg(node);
  for (const Band &band : kBands) {
    g_registered[band.id - 1] = false;
    if (Roaming_band_check(band.name) == 0) continue;
    const guint id = dbus_proxy_object_reg(connection, band.path, node->interfaces[0], &kVTable,
                                           GUINT_TO_POINTER(band.id), nullptr, nullptr);
    IGD1_ASSERT(id > 0);
    g_registered[band.id - 1] = true;
  }
  dbus_proxy_events_reg("Roaming", kEvents, std::size(kEvents));
}

void Roaming_APRSSIQueryResult_emit_signal(const char *path, guint32 result, const uint8_t *ap_mac,
                                           const roaming_rssi_record *records, guint32 count, const char *errdesc) {
  if (ap_mac == nullptr) return;
  send(path, "APRSSIQueryResult",
       g_variant_new("(us@a{si}s)", result, igd1::mac_digits(ap_mac).c_str(), levels(records, count),
                     error_text(result, errdesc)));
}

void Roaming_STARSSIQueryResult_emit_signal(const char *path, guint32 result, const roaming_rssi_record *records,
                                            guint32 count, const char *errdesc) {
  send(path, "STARSSIQueryResult",
       g_variant_new("(u@a{si}s)", result, levels(records, count), error_text(result, errdesc)));
}

void Roaming_STABSSTransitionResult_emit_signal(const char *path, guint32 result, const char *sta_mac,
                                                guint32 statuscode, const char *errdesc) {
  if (sta_mac == nullptr) return;
  // Addresses go out without separators, in upper case.
  std::string digits;
  for (const char *c = sta_mac; *c != '\0' && digits.size() < 12; ++c)
    if (g_ascii_isxdigit(*c)) digits += g_ascii_toupper(*c);
  send(path, "STABSSTransitionResult",
       g_variant_new("(usus)", result, digits.c_str(), statuscode, error_text(result, errdesc)));
}
