// VPN tunnels: /com/wqx/igd1/Network/VPN/Connection, at most four, one
// child per tunnel and beside it a read-only statistics object ".../<n>/Stats"
// whose `data` lists the tunnel's status lines.
//
// A tunnel record is close to a megabyte (three lists of 327,712
// characters); a write works on one heap copy of it and stores the copy only
// when a value changed.  Texts longer than their fields are refused, never
// cut; numbers written as text take their canonical decimal form only.  A
// changed tunnel is announced on service type 0 like every collection's rows.
#include "vpnconnection.h"

#include <cstddef>
#include <cstring>

#include "host_api.h"
#include "igd1_assert.h"
#include "joined_lists.h"
#include "mib_vpn.h"

namespace {

using igd1::CallContext;
using igd1::Field;
using igd1::RowProperty;
using Tunnel = vpn_connection_row;

constexpr char kStatsSuffix[] = "Stats";
// The room a list's elements are joined in: each must be shorter than the
// room left at its turn, and takes one more for its separator unless it is
// the first.
constexpr size_t kListCapacity = VPN_LIST_SIZE - 1;

bool put_byte(uint8_t *at, uint8_t value, bool *changed) {
  *changed = *at != value;
  *at = value;
  return true;
}

// An unknown type is no type: it is stored as 0 and reads as "".
bool store_type(const CallContext &, const RowProperty &property, GVariant *value, uint8_t *row,
                bool *changed) {
  const char *text = g_variant_get_string(value, nullptr);
  uint8_t stored = VPN_TYPE_NONE;
  for (const igd1::Choice &choice : property.choices)
    if (std::strcmp(choice.name, text) == 0 ||
        (choice.other_name != nullptr && std::strcmp(choice.other_name, text) == 0))
      stored = choice.stored;
  return put_byte(row + property.offset, stored, changed);
}

// The refusal names the byte in decimal.
bool store_switch(const CallContext &call, const RowProperty &property, GVariant *value,
                  uint8_t *row, bool *changed) {
  const uint8_t wanted = g_variant_get_byte(value);
  if (wanted > 1) {
    igd1::set_invalid_args(call.error, "Invalid parameter value ,%s: %u", property.name,
                           unsigned(wanted));
    return false;
  }
  return put_byte(row + property.offset, wanted, changed);
}

bool refuse_text(const CallContext &call, const RowProperty &property, const char *text) {
  igd1::set_invalid_args(call.error, "Invalid parameter value ,%s: %s", property.name, text);
  return false;
}

// A number written as text is taken only in the form "%d" prints it: digits,
// no sign, no leading zero, within the property's range.
bool canonical_decimal(const char *text, int64_t max, int32_t *number) {
  const size_t length = std::strlen(text);
  if (length == 0 || length > 10 || (length > 1 && text[0] == '0')) return false;
  int64_t value = 0;
  for (const char *c = text; *c != '\0'; ++c) {
    if (!g_ascii_isdigit(*c)) return false;
    value = value * 10 + (*c - '0');
  }
  if (value > max) return false;
  *number = int32_t(value);
  return true;
}

GVariant *decimal_text(const CallContext &, const RowProperty &property, const uint8_t *row) {
  int32_t number = 0;
  std::memcpy(&number, row + property.offset, sizeof number);
  g_autofree gchar *text = g_strdup_printf("%d", number);
  return g_variant_new_string(text);
}

bool store_decimal(const CallContext &call, const RowProperty &property, GVariant *value,
                   uint8_t *row, bool *changed) {
  const char *text = g_variant_get_string(value, nullptr);
  int32_t wanted = 0;
  if (!canonical_decimal(text, property.max, &wanted)) return refuse_text(call, property, text);
  int32_t stored = 0;
  std::memcpy(&stored, row + property.offset, sizeof stored);
  *changed = stored != wanted;
  std::memcpy(row + property.offset, &wanted, sizeof wanted);
  return true;
}

// An empty name keeps the tunnel on its connection; any other must name a
// WAN connection the store accepts, unless a conformance run is going on.
bool store_wan_name(const CallContext &call, const RowProperty &property, GVariant *value,
                    uint8_t *row, bool *changed) {
  const char *text = g_variant_get_string(value, nullptr);
  *changed = false;
  if (*text == '\0') return true;
  const size_t length = std::strlen(text);
  if (length >= property.size || (!call.test_run() && vpnConn_check_wan_name(text) == 0))
    return refuse_text(call, property, text);
  char *stored = reinterpret_cast<char *>(row + property.offset);
  if (std::strcmp(stored, text) == 0) return true;
  std::memset(stored, 0, property.size);
  std::memcpy(stored, text, length);
  *changed = true;
  return true;
}

constexpr igd1::Choice kTypes[] = {
    {VPN_TYPE_L2TP, "l2tp", "L2TP"},
    {VPN_TYPE_PPTP, "pptp", "PPTP"},
};
constexpr igd1::Choice kModes[] = {{VPN_MODE_STEADY, "steady", nullptr},
                                   {VPN_MODE_RANDOM, "random", nullptr}};
constexpr igd1::Choice kPriorities[] = {{0, "0", nullptr}, {1, "1", nullptr}, {2, "2", nullptr},
                                        {3, "3", nullptr}, {4, "4", nullptr}, {5, "5", nullptr},
                                        {6, "6", nullptr}, {7, "7", nullptr}};
constexpr igd1::Choice kAttachModes[] = {{0, "0", nullptr}, {1, "1", nullptr}, {2, "2", nullptr}};

#define AT(member) .offset = uint32_t(offsetof(Tunnel, member)), .size = uint32_t(sizeof(Tunnel::member))
#define LOGGED(prop) .write_log = "set " prop " value:%s"
#define TEXT(prop, member)                                                               \
  {.name = prop, .field = Field::Text, AT(member), LOGGED(prop),                         \
   .overlong = igd1::Overlong::Refuse, .refused = "Invalid parameter value ," prop ": {value}"}
#define CHOICE(prop, member, table)                                                      \
  {.name = prop, .field = Field::Choice, AT(member), LOGGED(prop), .choices = table,   \
   .refused = "Invalid parameter value ," prop ": {value}"}
#define DECIMAL(prop, member, highest)                                                   \
  {.name = prop, .field = Field::Number, AT(member), LOGGED(prop), .max = highest,      \
   .read = decimal_text, .write = store_decimal}
#define LIST(prop, member)                                                               \
  {.name = prop, .type = "as", .field = Field::List, AT(member), LOGGED(prop),           \
   .refused = "Invalid parameter value for %s", .read = igd1::read_domain_list,         \
   .accepts = igd1::fits_running_room<kListCapacity>,                                   \
   .wrong_type = "DomainName value type is err"}

constexpr RowProperty kProperties[] = {
    {.name = "vpn_type", .field = Field::Choice, AT(type), LOGGED("vpn_type"),
     .choices = kTypes, .write = store_type},
    TEXT("tunnel_name", tunnel_name),
    {.name = "wan_name", .field = Field::Text, AT(wan_name), LOGGED("wan_name"),
     .write = store_wan_name},
    TEXT("user_id", user_id),
    {.name = "vpn_enable", .type = "y", .field = Field::Number, AT(enable),
     .write_log = "set vpn_enable value:%d", .write = store_switch},
    {.name = "vpn_status", .type = "y", .field = Field::Number, AT(status)},
    CHOICE("vpn_mode", mode, kModes),
    CHOICE("vpn_priority", priority, kPriorities),
    DECIMAL("vpn_idletime", idle_time, INT32_MAX),
    TEXT("account_proxy", account_proxy),
    TEXT("vpn_addr", server_address),
    TEXT("vpn_account", account),
    {.name = "vpn_pwd", .field = Field::Text, AT(password), .write_log = "set vpn_pwd value:******",
     .overlong = igd1::Overlong::Refuse, .refused = "Invalid parameter value ,vpn_pwd: {value}"},
    DECIMAL("vpn_port", port, 65535),
    CHOICE("attach_mode", attach_mode, kAttachModes),
    LIST("domains", domains),
    LIST("ips", ips),
    LIST("terminal_mac", terminal_macs),
};

#undef AT
#undef LOGGED
#undef TEXT
#undef CHOICE
#undef DECIMAL
#undef LIST

// ---- the statistics object ----

// The tunnel's status lines, those that are text; one empty line when the
// tunnel has none.
GVariant *read_status_lines(const CallContext &call, const igd1::SingleObject &,
                            const igd1::Property &property) {
  char *slots[VPN_STATUS_SLOTS] = {};
  if (vpnConn_get_status(call.instance, slots) == 0) {
    igd1::set_invalid_args(call.error, "Get %s failed", property.name);
    return nullptr;
  }
  GStrvBuilder *lines = g_strv_builder_new();
  if (slots[0] == nullptr || slots[0][0] == '\0') {
    g_strv_builder_add(lines, "");
  } else {
    for (char *slot : slots) {
      if (slot == nullptr || *slot == '\0') continue;
      if (g_utf8_validate(slot, -1, nullptr))
        g_strv_builder_add(lines, slot);
      else
        DBUS_LOG(LOG_LEVEL_WARN, "data error");
    }
  }
  for (char *slot : slots) g_free(slot);
  g_auto(GStrv) data = g_strv_builder_end(lines);
  g_strv_builder_unref(lines);
  return g_variant_new_strv(data, -1);
}

constexpr igd1::Property kStatsProperties[] = {
    {.name = "data", .type = "as", .read = read_status_lines},
};
constexpr igd1::SingleObject kStatsObject = {
    .path = nullptr,
    .xml_file = "VPNConnectionStats.xml",
    .properties = kStatsProperties,
};
constexpr igd1::Sibling kStats = {
    .suffix = kStatsSuffix,
    .object = &kStatsObject,
    .introspection_name = "vpn_connectionstatus_introspection_data",
};

// ---- the table ----

// A new tunnel: off, marked as made here, status 1.
int insert_tunnel(void *new_row) {
  auto *row = static_cast<uint8_t *>(new_row);
  row[offsetof(Tunnel, marks)] = 255;
  row[offsetof(Tunnel, marks) + 1] = 255;
  row[offsetof(Tunnel, status)] = 1;
  return vpnConn_insert_entry(row);
}

int store_tunnel(const void *copy, uint32_t, const char **, int flags) {
  return vpnConn_update_entry(copy, static_cast<const uint8_t *>(copy)[0], flags);
}

// The module's own wording of the engine's texts.
const char *wording(igd1::RowText text) {
  using enum igd1::RowText;
  switch (text) {
    case GetNoRow: return "func [%s] :invalid list num  %d ";
    case SetNoRow: return "func [%s] :invalid list num  %d ";
    case ReadProperty: return "invalid UTF-8 sting value of %s";
    case CommitFailed: return "fail to update mib for object patch {path}";
    case TableFull: return "Error! Table Full.";
    default: return nullptr;
  }
}

constexpr igd1::RowModule kModule = {
    .manager_path = "/com/wqx/igd1/Network/VPN/Connection",
    .properties = kProperties,
    .table = {.store = &vpnConn_table, .insert_entry = insert_tunnel, .update_entry = store_tunnel},
    .texts = {.wording = wording},
    .add = igd1::Adding::insert(VPN_MAX_TUNNELS),
    .commit_error = "org.freedesktop.DBus.Error.InvalidArgs",
    .sibling = &kStats,
};

}  // namespace

IGD1_ROW_COLLECTION(VPNConnection, VPNConnection_introspection_data, "VPNConnection",
                    VPNConnection_handle_get_property, VPNConnection_handle_set_property,
                    VPNConnection_handle_set_multi_properties, VPNConnection_handle_object_mng_call,
                    kModule)

namespace {

uint32_t tunnel_of(const void *record, size_t size) {
  return record != nullptr && size >= sizeof(Tunnel) ? static_cast<const Tunnel *>(record)->instance
                                                      : 0;
}

}  // namespace

// The store reports tunnels with their records.
void VPNConnection_on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer) {
  DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d]", __func__, __LINE__);
  dbus_proxy_row_callbacks callbacks{};
  callbacks.shape = DBUS_PROXY_ROW_RECORD;
  callbacks.add_record = VPNConnection_add_interface;
  callbacks.del_record = VPNConnection_del_interface;
  IGD1_ASSERT(dbus_proxy_row_callbacks_reg("VPNConnection", &callbacks) != 0);
  igd1::row_collection_start(kVPNConnectionRows, connection, &kVPNConnectionManagerVTable);
}

void VPNConnectionStats_on_bus_acquired(GDBusConnection *, const gchar *, gpointer) {
  DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d]", __func__, __LINE__);
}

int VPNConnection_add_interface(const void *record, size_t size) {
  const uint32_t instance = tunnel_of(record, size);
  if (instance == 0) return 0;
  igd1::row_export(kVPNConnectionRows, instance);
  return 1;
}

int VPNConnection_del_interface(const void *record, size_t size) {
  const uint32_t instance = tunnel_of(record, size);
  if (instance == 0) return 0;
  igd1::row_unexport(kVPNConnectionRows, instance);
  return 1;
}

gboolean VPNConnection_set_property(const char *property_name, GVariant *value, int *emit,
                                    int *changed, GError **error, void *copy) {
  const gboolean ok = igd1::write_row_property(kModule, property_name, value, changed, error,
                                               copy, 0);
  *emit = *changed != 0 && igd1::row_property_announced(kModule, property_name) ? 1 : 0;
  return ok;
}
