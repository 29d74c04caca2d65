// The FTP server: /com/wqx/igd1/Storage/Ftpserver.
//
// Enable is the service's access mode (0 off, 1 LAN side, 2 WAN side, 3
// both); AllowAnonymous admits anonymous logins; the port is fixed.  Every
// accepted write is applied to the service and announced, whether or not the
// value changed, so that a client can restart the service by writing again.
#include "ftpserver.h"

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

constexpr char kPath[] = "/com/wqx/igd1/Storage/Ftpserver";
constexpr int kEnableIndex = 0;
constexpr int kAnonymousIndex = 1;
constexpr uint32_t kFtpPort = 21;
// ftpserverinfo_set_property_update: which value changed.
constexpr int kApplyEnable = 1;
constexpr int kApplyAnonymous = 2;

bool write_setting(const CallContext &call, const SingleObject &, const Property &property,
                   const char *name, GVariant *value, WriteFlags *flags) {
  const bool is_enable = property.index == kEnableIndex;
  uint8_t stored = is_enable ? g_variant_get_byte(value) : (g_variant_get_boolean(value) ? 1 : 0);
  DBUS_LOG(LOG_LEVEL_INFO, "set %s [%d].", name, stored);
  if (is_enable && !igd1::file_servers::check_access_mode(name, stored, call.error)) return false;
  if (ftpserverinfo_set_property(property.index, &stored) == 0)
    return igd1::file_servers::store_refused(name, call.error);

  // The service hears both settings: the one written and the other as stored.
  uint8_t other[4] = {};
  ftpserverinfo_get_property(is_enable ? kAnonymousIndex : kEnableIndex, other);
  const int enable = is_enable ? stored : other[0];
  const int anonymous = is_enable ? other[0] : stored;
  if (ftpserverinfo_set_property_update(enable, anonymous,
                                        is_enable ? kApplyEnable : kApplyAnonymous) == 0)
    DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d], apply ftp server failed!", __func__, __LINE__);
  flags->changed = 1;
  return true;
}

constexpr OnFailure Error = OnFailure::Error;

constexpr Property kProperties[] = {
    {.name = "Enable", .type = "y", .index = kEnableIndex, .raw = Raw::U8, .on_failure = Error,
     .failure_log = "mib get MIB_VSFTP_ENABLE failed",
     .failure_error = "mib get MIB_VSFTP_ENABLE failed", .write = write_setting},
    {.name = "AllowAnonymous", .type = "b", .index = kAnonymousIndex, .raw = Raw::U8,
     .on_failure = Error, .failure_log = "mib get MIB_VSFTP_ANNONYMOUS failed",
     .failure_error = "mib get MIB_VSFTP_ANNONYMOUS failed", .write = write_setting},
    {.name = "Port", .type = "u", .fallback_number = kFtpPort,
     .read = igd1::file_servers::read_fixed_number},
};

constexpr SingleObject kObject = {
    .path = kPath,
    .xml_file = "FTPServer.xml",
    .properties = kProperties,
    .get = ftpserverinfo_get_property,
    .wording = igd1::names_written_property,
};
}  // namespace

IGD1_READ_HANDLER(ftpserver_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(ftpserver_handle_set_property, ftpserver_handle_set_multi_properties, kObject)
IGD1_SINGLE_OBJECT(ftp_server, ftpserver_introspection_data, kObject, nullptr,
                   ftpserver_handle_get_property, ftpserver_handle_set_property,
                   ftpserver_handle_set_multi_properties)
