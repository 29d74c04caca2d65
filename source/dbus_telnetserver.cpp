// The Telnet server: /com/wqx/igd1/Network/Telnetserver.
//
// Enable is the service's access mode (0 off, 1 LAN side, 2 WAN side, 3
// both), kept in the remote-access settings; the ports are fixed.  A mode
// equal to the current one is accepted without touching the service.
#include "telnetserver.h"

#include "file_servers.h"
#include "mib_api.h"
#include "single_object.h"

namespace {

using igd1::CallContext;
using igd1::OnFailure;
using igd1::Property;
using igd1::Raw;
using igd1::SingleObject;
using igd1::WriteFlags;

constexpr char kPath[] = "/com/wqx/igd1/Network/Telnetserver";
constexpr int kEnableIndex = 0;
constexpr int kEnableWriteIndex = 3;
constexpr uint32_t kTelnetPort = 23;

bool write_enable(const CallContext &call, const SingleObject &, const Property &, const char *name,
                  GVariant *value, WriteFlags *flags) {
  uint8_t mode = g_variant_get_byte(value);
  if (!igd1::file_servers::check_access_mode(name, mode, call.error)) return false;
  uint8_t current[4] = {};
  if (telnetserverinfo_get_property(kEnableIndex, current) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "get MIB_ACC_TBL failed");
    igd1::set_invalid_args(call.error, "get MIB_ACC_TBL failed");
    return false;
  }
  if (current[0] == mode) return true;
  if (telnetserverinfo_set_property(kEnableWriteIndex, &mode, 0) == 0)
    return igd1::file_servers::store_refused(name, call.error);
  if (telnetserverinfo_set_property_update(mode) == 0)
    DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d], apply telnet mode %d failed!", __func__,
             __LINE__, mode);
  flags->changed = 1;
  return true;
}

constexpr Property kProperties[] = {
    {.name = "Enable", .type = "y", .index = kEnableIndex, .raw = Raw::U8,
     .on_failure = OnFailure::Error, .failure_log = "mib_get MIB_ACC_TBL failed!",
     .failure_error = "mib_get MIB_ACC_TBL failed!", .write = write_enable,
     .write_log = "set enable [%d].", .multi_write_log = "set multi:enable [%d]."},
    {.name = "LANPort", .type = "u", .fallback_number = kTelnetPort,
     .read = igd1::file_servers::read_fixed_number},
    {.name = "WANPort", .type = "u", .fallback_number = kTelnetPort,
     .read = igd1::file_servers::read_fixed_number},
};

constexpr SingleObject kObject = {
    .path = kPath,
    .xml_file = "TelnetServer.xml",
    .properties = kProperties,
    .get = telnetserverinfo_get_property,
    .wording = igd1::names_written_property,
};
}  // namespace

IGD1_READ_HANDLER(telnetserver_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(telnetserver_handle_set_property, telnetserver_handle_set_multi_properties,
                    kObject)
IGD1_SINGLE_OBJECT(telnet_server, telnetserver_introspection_data, kObject, nullptr,
                   telnetserver_handle_get_property, telnetserver_handle_set_property,
                   telnetserver_handle_set_multi_properties)
