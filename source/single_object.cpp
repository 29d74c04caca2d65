#include "single_object.h"

#include "dbus_proxy_api.h"
#include "host_api.h"
#include "igd1_assert.h"

namespace igd1 {

guint register_single_object(const SingleObjectRegistration &registration,
                             GDBusConnection *connection, gpointer user_data, const char *caller,
                             int caller_line) {
  sys_log(LOG_MODULE_DBUS, registration.entry_log_level, LOG_CATEGORY_DEBUG, __FILE__, caller_line,
          caller, "func [%s], line [%d]", caller, caller_line);

  GDBusNodeInfo *node = dbus_proxy_readxml(registration.xml_file);
  *registration.introspection_data = node;
  g_autofree gchar *missing = g_strdup_printf("%s != NULL", registration.introspection_name);
  IGD1_ASSERT_TEXT(node != nullptr, missing);

  dbus_proxy_node_info_reg(node);

  // Objects whose path is not fixed in the library take it from the
  // document's root node; a root node without a name cannot be registered.
  const char *path = registration.object_path != nullptr ? registration.object_path : node->path;
  guint registration_id = 0;
  if (path != nullptr && g_variant_is_object_path(path) && node->interfaces != nullptr &&
      node->interfaces[0] != nullptr) {
    registration_id = g_dbus_connection_register_object(connection, path, node->interfaces[0],
                                                        registration.vtable, user_data,
                                                        registration.user_data_free, nullptr);
  }
  IGD1_ASSERT(registration_id > 0);

  if (registration.start_up != nullptr) registration.start_up();
  return registration_id;
}

}  // namespace igd1
