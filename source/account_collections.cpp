#include "account_collections.h"

namespace igd1::accounts {

uint32_t child_instance(const char *function, const Collection &collection,
                        const char *object_path, GError **error) {
  const uint32_t instance = igd1::child_instance(collection, object_path);
  if (instance != 0) return instance;
  sys_log(LOG_MODULE_DBUS, LOG_LEVEL_WARN, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function,
          "func [%s], line [%d], get object path error invalid object path %s", function, __LINE__,
          object_path);
  set_invalid_args(error, "invalid object path %s", object_path);
  return 0;
}

void unknown_property(const char *function, const char *name, GError **error) {
  sys_log(LOG_MODULE_DBUS, LOG_LEVEL_WARN, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function,
          "func [%s], line [%d], invalid property %s", function, __LINE__, name);
  set_invalid_args(error, "invalid property %s", name);
}

void manager_call(const char *function, const char *method_name, GVariant *parameters,
                  GDBusMethodInvocation *invocation, void (*add)(GDBusMethodInvocation *),
                  void (*remove)(GVariant *, GDBusMethodInvocation *)) {
  sys_log(LOG_MODULE_DBUS, LOG_LEVEL_INFO, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function,
          "func [%s], line [%d],method_name:%s", function, __LINE__, method_name);
  if (g_strcmp0(method_name, "AddObject") == 0) {
    add(invocation);
  } else if (g_strcmp0(method_name, "DeleteObject") == 0) {
    remove(parameters, invocation);
  }
  sys_log(LOG_MODULE_DBUS, LOG_LEVEL_INFO, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function,
          "out of func [%s]", function);
}

GVariant *one_entry(const char *name, GVariant *value) { return single_entry(name, value); }

}  // namespace igd1::accounts
