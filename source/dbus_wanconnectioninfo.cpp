// The WAN connection database: /com/wqx/igd1/Info/Network/WANConnectionDb
// publishes every WAN connection of the gateway as a read-only child, and
// carries the manager interface com.wqx.igd1.WANConnectionDb with the
// look-ups by name and of the internet connection.  Connections belong to
// the gateway's services: AddObject and DeleteObject are refused.
//
// A connection's addresses and counters mean something only while it is up
// (status 5) on their family; otherwise they read as the family's zero
// value.  Every read first brings the row's live data up to date, except
// during a conformance run, which checks the stored values.
#include "wanconnectioninfo.h"

#include <arpa/inet.h>

#include <cstddef>
#include <cstring>

#include "dbus_proxy_api.h"
#include "host_api.h"
#include "mib_network_tables.h"

namespace {

using igd1::Field;
using igd1::CallContext;
using igd1::RowProperty;
using Row = wan_connection_row;

constexpr char kManagerPath[] = "/com/wqx/igd1/Info/Network/WANConnectionDb";

Row row_of(const uint8_t *bytes) {
  Row row;
  std::memcpy(&row, bytes, sizeof row);
  return row;
}

bool ipv4_up(const Row &row) { return row.ipv4_status == WAN_STATUS_CONNECTED; }
bool ipv6_up(const Row &row) { return row.ipv6_status == WAN_STATUS_CONNECTED; }

bool all_zero(const uint8_t *bytes, size_t size) {
  for (size_t i = 0; i < size; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

// An address of the given family at the property's offset: its text while
// the family is up, the family's any address while it is not, "" for an
// address that is not set.
GVariant *address_text(const uint8_t *at, int family, bool is_up) {
  const size_t width = family == AF_INET ? 4 : 16;
  if (!is_up) return g_variant_new_string(family == AF_INET ? "0.0.0.0" : "::");
  char text[INET6_ADDRSTRLEN] = "";
  if (all_zero(at, width) || inet_ntop(family, at, text, sizeof text) == nullptr)
    return g_variant_new_string("");
  return g_variant_new_string(text);
}

GVariant *read_ipv4_address(const CallContext &, const RowProperty &property, const uint8_t *row) {
  return address_text(row + property.offset, AF_INET, ipv4_up(row_of(row)));
}

GVariant *read_ipv6_address(const CallContext &, const RowProperty &property, const uint8_t *row) {
  return address_text(row + property.offset, AF_INET6, ipv6_up(row_of(row)));
}

GVariant *read_ipv6_prefix(const CallContext &, const RowProperty &, const uint8_t *bytes) {
  const Row row = row_of(bytes);
  if (!ipv6_up(row)) return g_variant_new_string("::/0");
  char text[INET6_ADDRSTRLEN] = "";
  if (all_zero(row.ipv6_prefix, sizeof row.ipv6_prefix) ||
      inet_ntop(AF_INET6, row.ipv6_prefix, text, sizeof text) == nullptr)
    return g_variant_new_string("");
  g_autofree gchar *prefix = g_strdup_printf("%s/%d", text, row.ipv6_prefix_length);
  return g_variant_new_string(prefix);
}

GVariant *read_ipv6_prefix_length(const CallContext &, const RowProperty &, const uint8_t *bytes) {
  const Row row = row_of(bytes);
  if (!ipv6_up(row)) return g_variant_new_string("0");
  if (row.ipv6_prefix_length == 0) return g_variant_new_string("");
  g_autofree gchar *length = g_strdup_printf("%u", unsigned(row.ipv6_prefix_length));
  return g_variant_new_string(length);
}

GVariant *read_ipv4_status(const CallContext &, const RowProperty &, const uint8_t *row) {
  return g_variant_new_string(getWANConnStatusStr(row_of(row).ipv4_status));
}

GVariant *read_ipv6_status(const CallContext &, const RowProperty &, const uint8_t *row) {
  return g_variant_new_string(getWANConnStatusStr(row_of(row).ipv6_status));
}

GVariant *read_display_index(const CallContext &, const RowProperty &, const uint8_t *row) {
  g_autofree gchar *text = g_strdup_printf("%d", int(row_of(row).display_index));
  return g_variant_new_string(text);
}

GVariant *read_passthrough(const CallContext &, const RowProperty &, const uint8_t *row) {
  return g_variant_new_boolean(row_of(row).pppoe_passthrough == 1);
}

// A field that only an IPv6 side that is up fills: its stored value then,
// the type's zero value otherwise.
GVariant *read_when_ipv6_up(const CallContext &, const RowProperty &property, const uint8_t *row) {
  const bool is_up = ipv6_up(row_of(row));
  const uint8_t *at = row + property.offset;
  switch (property.type[0]) {
    case 's': {
      if (!is_up) return g_variant_new_string("");
      const char *text = reinterpret_cast<const char *>(at);
      const size_t length = strnlen(text, property.size);
      if (!g_utf8_validate(text, gssize(length), nullptr)) return nullptr;
      g_autofree gchar *copy = g_strndup(text, length);
      return g_variant_new_string(copy);
    }
    case 'u': {
      uint32_t number = 0;
      if (is_up) std::memcpy(&number, at, sizeof number);
      return g_variant_new_uint32(number);
    }
    case 'b': return g_variant_new_boolean(is_up && at[0] != 0);
    case 'y': return g_variant_new_byte(is_up ? at[0] : 0);
    default: return nullptr;
  }
}

// Traffic counters count while either family is up.
GVariant *read_counter(const CallContext &, const RowProperty &property, const uint8_t *bytes) {
  const Row row = row_of(bytes);
  uint64_t count = 0;
  if (ipv4_up(row) || ipv6_up(row)) std::memcpy(&count, bytes + property.offset, sizeof count);
  return g_variant_new_uint64(count);
}

#define AT(member) .offset = uint16_t(offsetof(Row, member)), .size = uint16_t(sizeof(Row::member))
#define TEXT(prop, member) {.name = prop, .field = Field::Text, AT(member)}
#define ITEM(prop, bus_type, number) \
  {.name = prop, .type = bus_type, .field = Field::Item, .item = number}
#define DERIVED(prop, bus_type, member, reader) \
  {.name = prop, .type = bus_type, AT(member), .read = reader}

constexpr RowProperty kProperties[] = {
    DERIVED("Index", "s", display_index, read_display_index),
    TEXT("WANName", wan_name),
    TEXT("IfName", if_name),
    ITEM("ServiceList", "s", WAN_ITEM_SERVICE_LIST),
    ITEM("ConnectionType", "s", WAN_ITEM_CONNECTION_TYPE),
    DERIVED("PPPoEPassthrough", "b", pppoe_passthrough, read_passthrough),
    ITEM("VLANID", "u", WAN_ITEM_VLAN_ID),
    ITEM("VLAN8021P", "u", WAN_ITEM_VLAN_8021P),
    ITEM("Protocol", "s", WAN_ITEM_PROTOCOL),
    DERIVED("ConnectionStatus", "s", ipv4_status, read_ipv4_status),
    DERIVED("IPAddress", "s", ipv4_address, read_ipv4_address),
    DERIVED("SubnetMask", "s", subnet_mask, read_ipv4_address),
    DERIVED("Gateway", "s", gateway, read_ipv4_address),
    ITEM("SpeedLimit_UP", "u", WAN_ITEM_SPEED_LIMIT_UP),
    ITEM("SpeedLimit_DOWN", "u", WAN_ITEM_SPEED_LIMIT_DOWN),
    TEXT("DNS1", dns1),
    TEXT("DNS2", dns2),
    DERIVED("IPv6_ConnectionStatus", "s", ipv6_status, read_ipv6_status),
    DERIVED("IPv6_IPAddress", "s", ipv6_address, read_ipv6_address),
    DERIVED("IPv6_Gateway", "s", ipv6_gateway, read_ipv6_address),
    DERIVED("IPv6_PrefixLength", "s", ipv6_prefix_length, read_ipv6_prefix_length),
    DERIVED("IPv6_Prefix", "s", ipv6_prefix, read_ipv6_prefix),
    TEXT("IPv6_DNS1", ipv6_dns1),
    TEXT("IPv6_DNS2", ipv6_dns2),
    DERIVED("IPv6_AddressOrigin", "s", ipv6_address_origin, read_when_ipv6_up),
    DERIVED("IPv6_PrefixOrigin", "s", ipv6_prefix_origin, read_when_ipv6_up),
    DERIVED("IPv6_PrefixPltime", "u", prefix_pltime, read_when_ipv6_up),
    DERIVED("IPv6_PrefixVltime", "u", prefix_vltime, read_when_ipv6_up),
    DERIVED("DSLite_Enable", "b", dslite_enable, read_when_ipv6_up),
    DERIVED("DSLite_AftrMode", "y", aftr_mode, read_when_ipv6_up),
    DERIVED("DSLite_Aftr", "s", aftr, read_when_ipv6_up),
    ITEM("NPTv6Enable", "b", WAN_ITEM_NPTV6_ENABLE),
    DERIVED("RxBytes", "t", rx_bytes, read_counter),
    DERIVED("TxBytes", "t", tx_bytes, read_counter),
    DERIVED("RxPkts", "t", rx_packets, read_counter),
    DERIVED("TxPkts", "t", tx_packets, read_counter),
    ITEM("ifIndex", "u", WAN_ITEM_IF_INDEX),
};

#undef AT
#undef TEXT
#undef ITEM
#undef DERIVED

// ---- the manager's own interface ----

// ("path", 0, "success") for a connection's row, ("/", 1, "failed") without one.
void reply_connection(const igd1::PendingCall &call, const mib_list_node *node) {
  if (node == nullptr || node->data == nullptr) {
    call.reply(g_variant_new("(ous)", "/", 1u, "failed"));
    return;
  }
  g_autofree gchar *path =
      g_strdup_printf("%s/%d", kManagerPath, int(static_cast<const uint8_t *>(node->data)[0]));
  call.reply(g_variant_new("(ous)", path, 0u, "success"));
}

void get_by_name(const igd1::PendingCall &call, GVariant *parameters) {
  const char *name = nullptr;
  g_variant_get(parameters, "(&s)", &name);
  DBUS_LOG(LOG_LEVEL_INFO, "get wan name :[%s].", name);
  reply_connection(call, wanconnectiondb_get_entry_by_name(name));
}

void get_internet(const igd1::PendingCall &call, GVariant *) {
  mib_list_node *first = nullptr;
  mib_list_node *second = nullptr;
  wanconnectiondb_get_internet_entry(&first, &second);
  reply_connection(call, first != nullptr ? first : second);
}

constexpr igd1::Method kManagerMethods[] = {
    {.name = "GetWANConnByName", .handler = get_by_name},
    {.name = "GetInternetConnIndex", .handler = get_internet},
};

constexpr igd1::SingleObject kManagerObject = {
    .path = kManagerPath,
    .xml_file = nullptr,
    .properties = {},
    .wording = igd1::logs_methods,
    .methods = kManagerMethods,
};

constexpr char kManagerXml[] =
    "<node><interface name='com.wqx.igd1.WANConnectionDb'>"
    "<method name='GetWANConnByName'><arg name='WANName' type='s' direction='in'/>"
    "<arg name='Path' type='o' direction='out'/><arg name='Result' type='u' direction='out'/>"
    "<arg name='ErrDesc' type='s' direction='out'/></method>"
    "<method name='GetInternetConnIndex'><arg name='Path' type='o' direction='out'/>"
    "<arg name='Result' type='u' direction='out'/><arg name='ErrDesc' type='s' direction='out'/>"
    "</method></interface></node>";

// A connection's state is brought up to date when it is read; a conformance
// run reads it as stored.
void refresh_status(void *row) {
  if (!check_dbus_cts_running()) wan_connection_if_status_update(row);
}

// Connections appear and vanish through the configuration library.
void start_up() {
  igd1::use_row_action("WANConnectionDb", add_del_DB_interface_by_mib_action);
}

bool log_export(const CallContext &call, igd1::RowEvent event, const char *) {
  if (event != igd1::RowEvent::Exported) return false;
  DBUS_LOG(LOG_LEVEL_INFO, "add interface for wanconnectionDB");
  DBUS_LOG(LOG_LEVEL_INFO, "add interface:%s", call.object_path);
  return true;
}

// The module's own wording of the engine's texts.
const char *wording(igd1::RowText text) {
  using enum igd1::RowText;
  switch (text) {
    case GetNoRow: return "invalid object path %s";
    case AddFailed: return "##########not support to AddObject yet";
    case DeleteRefused: return "##########not support to DeleteObject yet";
    default: return nullptr;
  }
}

constexpr igd1::RowModule kModule = {
    .manager_path = kManagerPath,
    .properties = kProperties,
    .table = {.store = &wanconnectioninfo_table,
              .refresh_row = refresh_status},
    .texts = {.wording = wording, .log = log_export},
    .add = igd1::Adding::refuse("org.freedesktop.DBus.Error.Failed"),
    .xml = "WANConnectionInfo.xml",
    .manager_interface = {.object = &kManagerObject, .xml = kManagerXml},
    .on = igd1::at_step<igd1::RowStep::Started, start_up>,
};

}  // namespace

IGD1_ROW_COLLECTION(wan_connection_info, wan_connection_info_introspection_data,
                    "wan_connection_info", wan_connection_info_handle_get_property,
                    wan_connection_info_handle_set_property,
                    wan_connection_info_handle_set_multi_properties,
                    wan_connection_info_handle_object_mng_call, kModule, wan_connection_info)

GVariant *wan_connection_info_interface_get_property(GDBusConnection *connection,
                                                     const gchar *sender, const gchar *path,
                                                     const gchar *interface_name,
                                                     const gchar *property, GError **error,
                                                     gpointer user_data) {
  return wan_connection_info_handle_get_property(connection, sender, path, interface_name,
                                                 property, error, user_data);
}

int add_del_DB_interface_by_mib_action(unsigned int instance, int action) {
  g_autofree gchar *path = g_strdup_printf("%s/%u", kManagerPath, instance);
  if (action == DBUS_PROXY_ROW_ADDED) return wan_connection_info_add_interface(instance);
  DBUS_LOG(LOG_LEVEL_INFO, "del interface for wanconnectionDB");
  DBUS_LOG(LOG_LEVEL_INFO, "del interface:%s", path);
  return wan_connection_info_del_interface(instance);
}

void wan_connection_address_change_event(void) { Poll_get_wan_info(); }
