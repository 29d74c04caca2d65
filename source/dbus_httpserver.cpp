// The web server: /com/wqx/igd1/Network/HTTPServer.  Enable switches its
// access from the home network (written, never read back); AdminPassword is
// the administrator's password.  A stored value is applied to the server
// and announced.
#include "mib_services.h"
#include "service_objects.h"

namespace {

using igd1::CallContext;
using igd1::OnFailure;
using igd1::Property;
using igd1::SingleObject;
using igd1::WriteFlags;

constexpr size_t kPasswordMax = 30;
// Prefixes the write log lines of a multi-write.
const char *log_prefix(const CallContext &call) {
  return call.kind == igd1::CallKind::SetMulti ? "set_multi:" : "";
}

bool write_enable(const CallContext &call, const SingleObject &, const Property &, const char *,
                  GVariant *value, WriteFlags *flags) {
  const int enable = g_variant_get_byte(value);
  DBUS_LOG(LOG_LEVEL_INFO, "%sset enable [%d].", log_prefix(call), enable);
  if (enable != 0 && enable != 1) {
    igd1::set_invalid_args(call.error, "Invalid parameter value");
    return false;
  }
  const int config = httpserver_getconfig(enable);
  if (config < 0) {
    const char *reason = config == -1   ? "mib chain get MIB_ACC_TBL failed!"
                         : config == -2 ? "Invalid parameter value"
                                        : "mib_set MIB_ACC_TBL failed!";
    DBUS_LOG(LOG_LEVEL_WARN, "%s%s", log_prefix(call), reason);
    igd1::set_invalid_args(call.error, "%s", reason);
    return false;
  }
  httpserverinfo_enable_httpd(config);
  flags->changed = 1;
  return true;
}

bool write_password(const CallContext &call, const SingleObject &, const Property &, const char *,
                    GVariant *value, WriteFlags *flags) {
  gsize length = 0;
  const char *text = g_variant_get_string(value, &length);
  DBUS_LOG(LOG_LEVEL_WARN, "%sset AdminPassword [%s].", log_prefix(call), text);
  if (length > kPasswordMax) {
    igd1::set_invalid_args(call.error, "Invalid parameter value");
    return false;
  }
  if (httpserver_set_password(text) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "%smib_set MIB_SUSER_PASSWORD failed!", log_prefix(call));
    igd1::set_invalid_args(call.error, "mib_set MIB_SUSER_PASSWORD failed!");
    return false;
  }
  flags->changed = 1;
  return true;
}

int read_password(int, void *buffer) { return httpserver_get_password(static_cast<char *>(buffer)); }

bool update_server(const CallContext &, const SingleObject &, const WriteFlags &flags) {
  if (flags.changed) httpserverinfo_set_property_update(0);
  return true;
}

constexpr Property kProperties[] = {
    {.name = "Enable", .type = "y", .read = igd1::write_only, .write = write_enable},
    {.name = "AdminPassword", .on_failure = OnFailure::Error,
     .failure_log = "mib_get MIB_SUSER_PASSWORD failed!",
     .failure_error = "mib_get MIB_SUSER_PASSWORD failed!", .write = write_password},
};

constexpr SingleObject kObject = {
    .path = "/com/wqx/igd1/Network/HTTPServer",
    .xml_file = "HTTPServer.xml",
    .properties = kProperties,
    .get = read_password,
    .wording = igd1::names_written_property,
    .transaction = {.commit = update_server},
};

}  // namespace

IGD1_READ_HANDLER(http_server_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(http_server_handle_set_property, http_server_handle_set_multi_properties,
                    kObject)
IGD1_SINGLE_OBJECT(http_server, http_server_introspection_data, kObject, nullptr,
                   http_server_handle_get_property, http_server_handle_set_property,
                   http_server_handle_set_multi_properties)
