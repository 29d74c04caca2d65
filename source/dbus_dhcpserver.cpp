// The DHCP server of the home network: /com/wqx/igd1/Config/DHCPServer.
//
// Every property is read from and written to the configuration library on
// each call.  Writes are refused while the write-permission item is zero;
// every accepted request is followed by the DHCP update notice, and a change
// of the LAN address is bracketed by notices of its own.
#include "dhcpserver.h"

#include "mib_api.h"

namespace {

using igd1::CallContext;
using igd1::Property;
using igd1::Raw;
using igd1::SingleObject;
using igd1::Stored;
using igd1::WriteFlags;

constexpr int kLanAddressCopyIndex = 4;
constexpr int kWritePermissionIndex = 7;
constexpr unsigned kReadBuffer = 50;
constexpr uint32_t kLeaseTimes[] = {60, 3600, 86400, 604800};
constexpr char kBadAddress[] = "Invalid parameter value ,path %s";

// The LAN address is stored twice; the services hear that a change begins,
// that it was stored, and which address to apply.
bool write_lan_address(const CallContext &call, const SingleObject &object,
                       const Property &property, const char *name, GVariant *value,
                       WriteFlags *flags) {
  uint8_t address[4];
  const char *text = g_variant_get_string(value, nullptr);
  if (!igd1::parse_ipv4_classic(text, address)) {
    igd1::set_invalid_args(call.error, kBadAddress, text);
    return false;
  }
  dbus_mib_update_cfg(MIB_CFG_DHCP, nullptr, MIB_ACTION_LAN_ADDRESS_BEGIN);
  dhcpserver_set_mib_property(kLanAddressCopyIndex, address);
  if (!igd1::store_value(call, object, property, name, value, flags)) return false;
  dbus_mib_update_cfg(MIB_CFG_DHCP, nullptr, MIB_ACTION_LAN_ADDRESS_STORED);
  dbus_mib_update_cfg(MIB_CFG_DHCP, const_cast<char *>(text), MIB_ACTION_LAN_ADDRESS_APPLY);
  return true;
}

constexpr Property kProperties[] = {
    {.name = "DHCPServerEnable", .alias = "Enable", .type = "b", .index = 0, .raw = Raw::I32,
     .write = igd1::store_value, .true_stored = 2, .write_log = "Enable [%d]."},
    {.name = "DHCPStartIP", .alias = "MinAddress", .index = 1, .write = igd1::store_value,
     .stored = Stored::IPv4Classic, .refused = kBadAddress, .write_log = "MinAddress [%s]."},
    {.name = "DHCPEndIP", .alias = "MaxAddress", .index = 2, .write = igd1::store_value,
     .stored = Stored::IPv4Classic, .refused = kBadAddress, .write_log = "MaxAddress [%s]."},
    {.name = "LocalIP", .alias = "IPAddr", .index = 3, .write = write_lan_address,
     .stored = Stored::IPv4Classic, .refused = kBadAddress, .write_log = "IPAddr [%s]."},
    {.name = "Submask", .alias = "SubnetMask", .index = 5, .write = igd1::store_value,
     .stored = Stored::IPv4Classic, .refused = kBadAddress, .write_log = "SubnetMask [%s]."},
    {.name = "DHCPDuration", .alias = "LeaseTime", .type = "u", .index = 6, .raw = Raw::U32,
     .write = igd1::store_value, .stored = Stored::U32, .allowed = kLeaseTimes,
     .refused = "Invalid parameter value ,path %d", .write_log = "leasetime [%d]."},
};

igd1::Begin write_permitted(const CallContext &call, const SingleObject &) {
  uint8_t permission[kReadBuffer] = {};
  dhcpserver_get_mib_property(kWritePermissionIndex, permission);
  if (permission[0] != 0) return igd1::Begin::Apply;
  DBUS_LOG(LOG_LEVEL_WARN, "Request denied");
  igd1::set_invalid_args(call.error, "Request denied ,path %s", call.object_path);
  return igd1::Begin::Refuse;
}

bool notify_services(const CallContext &, const SingleObject &, const WriteFlags &) {
  dbus_mib_update_cfg(MIB_CFG_DHCP, nullptr, MIB_ACTION_APPLY);
  return true;
}

// The object's own wording of the engine's texts.
const char *wording(igd1::ObjectText text, int *level) {
  using enum igd1::ObjectText;
  switch (text) {
    case ReadLog: return "func [%s], line [%d]";
    default: return igd1::names_written_property(text, level);
  }
}

constexpr SingleObject kObject = {
    .path = "/com/wqx/igd1/Config/DHCPServer",
    .xml_file = "DHCPServer.xml",
    .properties = kProperties,
    .get = dhcpserver_get_mib_property,
    .read_buffer = kReadBuffer,
    .set = dhcpserver_set_mib_property,
    .wording = wording,
    .transaction = {.begin = write_permitted, .commit = notify_services},
};

}  // namespace

IGD1_READ_HANDLER(dhcpserver_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(dhcpserver_handle_set_property, dhcp_server_handle_set_multi_properties,
                    kObject)
IGD1_SINGLE_OBJECT(dhcp_server, dhcp_server_introspection_data, kObject, nullptr,
                   dhcpserver_handle_get_property, dhcpserver_handle_set_property,
                   dhcp_server_handle_set_multi_properties)

gboolean dhcpserver_set_property(const gchar *property_name, GVariant *value, int *changed,
                                 GError **error) {
  WriteFlags flags;
  const bool ok = igd1::object_write(kObject, property_name, value, &flags, error);
  if (ok && changed != nullptr) *changed = flags.changed;
  return ok;
}
