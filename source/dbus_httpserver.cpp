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
// Prefixes the write log lines while a multi-write runs.
const char *g_log_prefix = "";

bool write_enable(const CallContext &call, const SingleObject &, const Property &, const char *,
                  GVariant *value, WriteFlags *flags) {
  const int enable = g_variant_get_byte(value);
  DBUS_LOG(LOG_LEVEL_INFO, "%sset enable [%d].", g_log_prefix, enable);
  if (enable != 0 && enable != 1) {
    igd1::set_invalid_args(call.error, "Invalid parameter value");
    return false;
  }
  const int config = httpserver_getconfig(enable);
  if (config < 0) {
    const char *reason = config == -1   ? "mib chain get MIB_ACC_TBL failed!"
                         : config == -2 ? "Invalid parameter value"
                                        : "mib_set MIB_ACC_TBL failed!";
    DBUS_LOG(LOG_LEVEL_WARN, "%s%s", g_log_prefix, reason);
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
  DBUS_LOG(LOG_LEVEL_WARN, "%sset AdminPassword [%s].", g_log_prefix, text);
  if (length > kPasswordMax) {
    igd1::set_invalid_args(call.error, "Invalid parameter value");
    return false;
  }
  if (httpserver_set_password(text) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "%smib_set MIB_SUSER_PASSWORD failed!", g_log_prefix);
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
    .write_log = "func [%s], line [%d],property_name:%s",
    .commit = update_server,
};

}  // namespace

IGD1_DEFINE_GET_HANDLER(http_server_handle_get_property, kObject)
IGD1_DEFINE_SET_HANDLER(http_server_handle_set_property, kObject)

gboolean http_server_handle_set_multi_properties(GDBusConnection *connection, const gchar *,
                                                 const gchar *object_path,
                                                 const gchar *interface_name,
                                                 GVariant *properties, GError **error, gpointer) {
  g_log_prefix = "set_multi:";
  const gboolean done = igd1::object_set_multi(kObject, __func__, connection, object_path,
                                               interface_name, properties, error);
  g_log_prefix = "";
  return done;
}

IGD1_SINGLE_OBJECT_ENTRY(http_server, http_server_introspection_data, nullptr,
                         http_server_handle_get_property, http_server_handle_set_property,
                         http_server_handle_set_multi_properties, kObject)
