// Uplink, LAN and WAN state, addresses and traffic counters:
// /com/wqx/igd1/Info/Network.  ElinkSync is the one writable property.
//
// Values come from the configuration accessor, from the LAN IPv6 accessor,
// and from the live record gNetworkinfo that the configuration library keeps
// current; for the record rows the table's index is the byte offset.
#include "networkinfo.h"

#include <cstddef>
#include <cstring>

#include "host_api.h"
#include "mib_api.h"
#include "single_object.h"

namespace {

using igd1::CallContext;
using igd1::OnFailure;
using igd1::Property;
using igd1::Raw;
using igd1::SingleObject;
using igd1::Variant;
using igd1::WriteFlags;

constexpr char kPath[] = "/com/wqx/igd1/Info/Network";
constexpr char kDefaultWiFiMode[] = "802.11b/802.11g/802.11n/802.11ac";

// Reads a number the way the uplink rows do: a failure is an error that
// names the property.
bool read_number(const Property &property, void *buffer, GError **error) {
  if (networkinfo_get_property(property.index, buffer) != 0) return true;
  DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d],get %s failed!", __func__, __LINE__, property.name);
  igd1::set_invalid_args(error, "get %s failed!", property.name);
  return false;
}

GVariant *read_checked(const CallContext &call, const SingleObject &, const Property &property) {
  uint8_t buffer[8] = {};
  if (!read_number(property, buffer, call.error)) return nullptr;
  uint32_t number = property.raw == Raw::U8 ? buffer[0] : 0;
  if (property.raw == Raw::U32) std::memcpy(&number, buffer, sizeof number);
  return igd1::value_of_number(property, number, 0);
}

// Uplink types 1 and 2 are reported as 0, every other type as 1.
GVariant *read_uplink_type(const CallContext &call, const SingleObject &,
                           const Property &property) {
  uint32_t type = 0;
  if (!read_number(property, &type, call.error)) return nullptr;
  return g_variant_new_uint32(type == 1 || type == 2 ? 0 : 1);
}

GVariant *read_pppoe_duration(const CallContext &, const SingleObject &, const Property &property) {
  uint32_t seconds = 0;
  return g_variant_new_uint32(networkinfo_get_property(property.index, &seconds) == 1 ? seconds : 0);
}

GVariant *read_constant(const CallContext &, const SingleObject &, const Property &property) {
  return g_variant_new_byte(guchar(property.fallback_number));
}

// Service type 1 reports the WAN link as a byte: 1 for the stored text "1".
GVariant *read_wan_link_byte(const CallContext &, const SingleObject &, const Property &property) {
  char text[64] = {};
  if (networkinfo_get_property(property.index, text) == 0) return nullptr;
  return g_variant_new_byte(std::strcmp(text, "1") == 0 ? 1 : 0);
}

GVariant *read_lan_ipv6(const CallContext &, const SingleObject &, const Property &) {
  char text[65] = {};
  if (IPV6LANConfig_get_mib_property(0, text) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "mib_get failed!");
    return g_variant_new_string("");
  }
  text[sizeof text - 1] = '\0';
  return g_utf8_validate(text, -1, nullptr) ? g_variant_new_string(text) : nullptr;
}

// Fields of the live record, by byte offset.
GVariant *read_record(const CallContext &, const SingleObject &, const Property &property) {
  const auto *record = reinterpret_cast<const uint8_t *>(&gNetworkinfo);
  if (property.raw == Raw::U8) return g_variant_new_byte(record[property.index]);
  uint64_t number = 0;
  std::memcpy(&number, record + property.index, sizeof number);
  return g_variant_new_uint64(number);
}

bool write_elink_sync(const CallContext &call, const SingleObject &, const Property &property,
                      const char *name, GVariant *value, WriteFlags *flags) {
  uint8_t stored = g_variant_get_boolean(value) ? 1 : 0;
  if (networkinfo_set_property(property.index, &stored, &flags->commit_needed, &flags->changed) ==
      0) {
    DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d],set %s failed!", __func__, __LINE__, name);
    igd1::set_invalid_args(call.error, "set %s failed!", name);
    return false;
  }
  return true;
}

// A commit the configuration library refuses fails the request: the value
// is stored but not in effect, and the client must know.
bool commit(const CallContext &call, const SingleObject &, const WriteFlags &flags) {
  if (!flags.commit_needed) return true;
  const char *message = nullptr;
  if (networkinfo_set_property_update(&message) != 0) return true;
  igd1::set_invalid_args(call.error, "Config networkinfo error, %s", message != nullptr ? message : "");
  return false;
}

constexpr OnFailure NoValue = OnFailure::NoValue;

#define RECORD_U64(prop, field) \
  {.name = prop, .type = "t", .index = int(offsetof(networkinfo_record, field)), .raw = Raw::U64, \
   .read = read_record}
#define RECORD_STATUS(prop, port) \
  {.name = prop, .type = "y", .index = int(offsetof(networkinfo_record, lan_status) + (port)), \
   .raw = Raw::U8, .read = read_record}
#define RECORD_LAN(tx, rx, port)                                                                  \
  {.name = tx, .type = "t",                                                                       \
   .index = int(offsetof(networkinfo_record, lan_bytes) + (port) * 16), .raw = Raw::U64,          \
   .read = read_record},                                                                          \
  {.name = rx, .type = "t",                                                                       \
   .index = int(offsetof(networkinfo_record, lan_bytes) + (port) * 16 + 8), .raw = Raw::U64,      \
   .read = read_record}

constexpr Property kProperties[] = {
    {.name = "UPLink", .type = "u", .index = 0, .raw = Raw::U8, .read = read_checked,
     .variant = Variant::NotServiceType1},
    {.name = "UPLink", .type = "y", .index = 0, .raw = Raw::U8, .read = read_checked,
     .variant = Variant::ServiceType1},
    {.name = "IPv6", .type = "y", .fallback_number = 2, .read = read_constant},
    {.name = "VLANbind", .type = "y", .fallback_number = 1, .read = read_constant},
    {.name = "WiFiMode", .index = 3, .on_failure = OnFailure::Fallback,
     .failure_log = "mib_get MIB_WIFIMODE_TBL failed!", .fallback_text = kDefaultWiFiMode},
    {.name = "UPLinkType", .type = "u", .index = 33, .raw = Raw::U32, .read = read_uplink_type},
    {.name = "PONDuration", .type = "u", .index = 4, .raw = Raw::U32},
    {.name = "PPPOEDuration", .type = "u", .index = 5, .raw = Raw::U32, .read = read_pppoe_duration},
    RECORD_STATUS("LAN1Status", 0),
    RECORD_STATUS("LAN2Status", 1),
    RECORD_STATUS("LAN3Status", 2),
    RECORD_STATUS("LAN4Status", 3),
    RECORD_LAN("LAN1TXByte", "LAN1RXByte", 0),
    RECORD_LAN("LAN2TXByte", "LAN2RXByte", 1),
    RECORD_LAN("LAN3TXByte", "LAN3RXByte", 2),
    RECORD_LAN("LAN4TXByte", "LAN4RXByte", 3),
    {.name = "WANLinkStatus", .index = 18, .on_failure = NoValue, .variant = Variant::NotServiceType1},
    {.name = "WANLinkStatus", .type = "y", .index = 18, .read = read_wan_link_byte,
     .variant = Variant::ServiceType1},
    {.name = "WIFIModuleStatus", .index = 19, .on_failure = NoValue},
    {.name = "WANConnectionStatus", .index = 20, .on_failure = NoValue},
    {.name = "PPPoEDialReason", .index = 21, .on_failure = NoValue},
    {.name = "IPv6_WANConnectionStatus", .index = 22, .on_failure = NoValue},
    {.name = "IPv6_PPPoEDialReason", .index = 23, .on_failure = NoValue},
    {.name = "LANIPAddr", .index = 24, .raw = Raw::IPv4, .on_failure = OnFailure::Fallback,
     .failure_log = "mib_get failed!", .fallback_text = ""},
    {.name = "LANIPv6Addr", .read = read_lan_ipv6},
    {.name = "WANIPAddr", .index = 25, .on_failure = NoValue},
    {.name = "WANIPv6Addr", .index = 26, .on_failure = NoValue},
    RECORD_U64("WiFiBytes", wifi_bytes),
    RECORD_U64("WiFiTxBytes", wifi_tx_bytes),
    RECORD_U64("WiFiRxBytes", wifi_rx_bytes),
    RECORD_U64("WANBytes", wan_bytes),
    RECORD_U64("WANTxBytes", wan_tx_bytes),
    RECORD_U64("WANRxBytes", wan_rx_bytes),
    {.name = "CloudCPE_Enable", .type = "b", .index = 34, .raw = Raw::U8, .on_failure = NoValue},
    {.name = "ElinkSync", .type = "b", .index = 35, .raw = Raw::U8, .read = read_checked,
     .write = write_elink_sync},
};

#undef RECORD_U64
#undef RECORD_STATUS
#undef RECORD_LAN

void start_up() { networkinfo_interface_init(); }

// The object's own wording of the engine's texts: its read lines name the
// property their own way, its multi-write lines are informational.
const char *wording(igd1::ObjectText text, int *level) {
  if (text == igd1::ObjectText::MultiLog) *level = LOG_LEVEL_INFO;
  return text == igd1::ObjectText::ReadLog ? "func [%s], line [%d], property name [%s]." : nullptr;
}

constexpr SingleObject kObject = {
    .path = kPath,
    .xml_file = "NetworkInfo.xml",
    .properties = kProperties,
    .get = networkinfo_get_property,
    .wording = wording,
    .transaction = {.commit = commit},
    .multi_failure = igd1::MultiFailure::StopInvalidProperty,
    .start = igd1::on_registered<start_up>,
};
}  // namespace

IGD1_READ_HANDLER(network_info_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(network_info_handle_set_property, network_info_handle_set_multi_properties,
                    kObject)
IGD1_SINGLE_OBJECT(network_info, networkinfo_introspection_data, kObject, nullptr,
                   network_info_handle_get_property, network_info_handle_set_property,
                   network_info_handle_set_multi_properties)

int networkinfo_set_props_func(const gchar *property_name, GVariant *value, GError **error,
                               int *commit_needed, int *changed) {
  WriteFlags flags;
  if (!igd1::object_write(kObject, property_name, value, &flags, error)) return 0;
  if (commit_needed != nullptr) *commit_needed = flags.commit_needed;
  if (changed != nullptr) *changed = flags.changed;
  return 1;
}

