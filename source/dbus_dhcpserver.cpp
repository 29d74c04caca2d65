// The DHCP server of the home network: /com/wqx/igd1/Config/DHCPServer.
//
// Every property is read from and written to the configuration library on
// each call.  Writes are refused while the write-permission item is zero;
// every accepted request is followed by the DHCP update notice, and a change
// of the LAN address is bracketed by notices of its own.
#include "dhcpserver.h"

#include "mib_api.h"
#include "single_object.h"

namespace {

using igd1::OnFailure;
using igd1::Property;
using igd1::Raw;
using igd1::SingleObject;
using igd1::WriteFlags;

constexpr char kPath[] = "/com/wqx/igd1/Config/DHCPServer";
constexpr int kLanAddressCopyIndex = 4;
constexpr int kWritePermissionIndex = 7;
constexpr unsigned kReadBuffer = 50;
constexpr uint32_t kLeaseTimes[] = {60, 3600, 86400, 604800};

bool store(const Property &property, const char *name, void *value, WriteFlags *flags,
           GError **error) {
  if (dhcpserver_set_mib_property(property.index, value) == 0) {
    igd1::set_invalid_args(error, "set %s fail", name);
    return false;
  }
  flags->changed = 1;
  return true;
}

bool write_enable(const SingleObject &, const Property &property, const char *name,
                  GVariant *value, WriteFlags *flags, GError **error) {
  const gboolean enable = g_variant_get_boolean(value);
  DBUS_LOG(LOG_LEVEL_INFO, "going to line [%d], Enable [%d].", __LINE__, enable);
  uint8_t stored = enable ? 2 : 0;
  return store(property, name, &stored, flags, error);
}

bool parse_address(GVariant *value, uint8_t address[4], GError **error) {
  const char *text = g_variant_get_string(value, nullptr);
  DBUS_LOG(LOG_LEVEL_INFO, "going to line [%d], MinAddress [%s].", __LINE__, text);
  if (igd1::parse_ipv4_classic(text, address)) return true;
  DBUS_LOG(LOG_LEVEL_WARN, "Invalid parameter value\n");
  igd1::set_invalid_args(error, "Invalid parameter value ,path %s", text);
  return false;
}

bool write_address(const SingleObject &, const Property &property, const char *name,
                   GVariant *value, WriteFlags *flags, GError **error) {
  uint8_t address[4];
  return parse_address(value, address, error) && store(property, name, address, flags, error);
}

// The LAN address is stored twice; the services hear that a change begins,
// that it was stored, and which address to apply.
bool write_lan_address(const SingleObject &, const Property &property, const char *name,
                       GVariant *value, WriteFlags *flags, GError **error) {
  uint8_t address[4];
  if (!parse_address(value, address, error)) return false;
  dbus_mib_update_cfg(MIB_CFG_DHCP, nullptr, MIB_ACTION_LAN_ADDRESS_BEGIN);
  dhcpserver_set_mib_property(kLanAddressCopyIndex, address);
  if (!store(property, name, address, flags, error)) return false;
  dbus_mib_update_cfg(MIB_CFG_DHCP, nullptr, MIB_ACTION_LAN_ADDRESS_STORED);
  dbus_mib_update_cfg(MIB_CFG_DHCP, const_cast<char *>(g_variant_get_string(value, nullptr)),
                      MIB_ACTION_LAN_ADDRESS_APPLY);
  return true;
}

bool write_lease_time(const SingleObject &, const Property &property, const char *name,
                      GVariant *value, WriteFlags *flags, GError **error) {
  uint32_t seconds = g_variant_get_uint32(value);
  DBUS_LOG(LOG_LEVEL_INFO, "going to line [%d], leasetime [%d].", __LINE__, int(seconds));
  for (uint32_t allowed : kLeaseTimes)
    if (seconds == allowed) return store(property, name, &seconds, flags, error);
  DBUS_LOG(LOG_LEVEL_WARN, "Invalid parameter value");
  igd1::set_invalid_args(error, "Invalid parameter value ,path %d", int(seconds));
  return false;
}

constexpr Property kProperties[] = {
    {.name = "DHCPServerEnable", .alias = "Enable", .type = "b", .index = 0, .raw = Raw::I32,
     .write = write_enable},
    {.name = "DHCPStartIP", .alias = "MinAddress", .index = 1, .write = write_address},
    {.name = "DHCPEndIP", .alias = "MaxAddress", .index = 2, .write = write_address},
    {.name = "LocalIP", .alias = "IPAddr", .index = 3, .write = write_lan_address},
    {.name = "Submask", .alias = "SubnetMask", .index = 5, .write = write_address},
    {.name = "DHCPDuration", .alias = "LeaseTime", .type = "u", .index = 6, .raw = Raw::U32,
     .write = write_lease_time},
};

bool may_write(const SingleObject &, const char *object_path, GError **error) {
  uint8_t permission[kReadBuffer] = {};
  dhcpserver_get_mib_property(kWritePermissionIndex, permission);
  if (permission[0] != 0) return true;
  DBUS_LOG(LOG_LEVEL_WARN, "Request denied");
  igd1::set_invalid_args(error, "Request denied ,path %s", object_path);
  return false;
}

bool notify_services(const SingleObject &, const WriteFlags &, GError **) {
  dbus_mib_update_cfg(MIB_CFG_DHCP, nullptr, MIB_ACTION_APPLY);
  return true;
}

constexpr SingleObject kObject = {
    .path = kPath,
    .xml_file = "DHCPServer.xml",
    .properties = kProperties,
    .get = dhcpserver_get_mib_property,
    .read_buffer = kReadBuffer,
    .read_log = "func [%s], line [%d]",
    .write_log = "func [%s], line [%d],property_name:%s",
    .may_write = may_write,
    .finish = notify_services,
};
const igd1::PublishObject kPublished(kObject);

const GDBusInterfaceVTable kVTable = {nullptr, dhcpserver_handle_get_property,
                                      dhcpserver_handle_set_property,
                                      IGD1_SET_MULTI_SLOT(dhcp_server_handle_set_multi_properties)};

}  // namespace

GDBusNodeInfo *dhcp_server_introspection_data = nullptr;

IGD1_DEFINE_GET_HANDLER(dhcpserver_handle_get_property, kObject)

gboolean dhcpserver_set_property(const gchar *property_name, GVariant *value, int *changed,
                                 GError **error) {
  WriteFlags flags;
  bool ok = igd1::object_write(kObject, property_name, value, &flags, error);
  if (ok && changed != nullptr) *changed = flags.changed;
  return ok;
}

IGD1_DEFINE_SET_HANDLER(dhcpserver_handle_set_property, kObject)

IGD1_DEFINE_SET_MULTI_HANDLER(dhcp_server_handle_set_multi_properties, kObject)

void dhcp_server_on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer user_data) {
  const igd1::SingleObjectRegistration registration{
      "DHCPServer.xml", &dhcp_server_introspection_data, "dhcp_server_introspection_data", kPath,
      &kVTable};
  IGD1_REGISTER_SINGLE_OBJECT(registration, connection, user_data);
}
