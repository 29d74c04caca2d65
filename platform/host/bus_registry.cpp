// The host's bus layer for objects the library registers directly.
//
// The library registers its single-instance objects with GDBus's own
// g_dbus_connection_register_object.  The host stands between the two (this
// definition is found before GIO's when the library's symbols are bound) and
// keeps a record of every interface with its vtable, so that it can offer the
// multi-property write: every path that carries a module interface also
// answers com.wqx.igd1.Properties.SetMulti(s interface, a{sv} properties),
// which reaches the fourth vtable slot of the named interface.
#include <dlfcn.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "dbus_vtable.h"
#include "host.h"

namespace igd1::host {
namespace {

constexpr char kPropertiesXml[] =
    "<node>"
    "  <interface name='" IGD1_PROPERTIES_INTERFACE "'>"
    "    <method name='" IGD1_SET_MULTI_METHOD "'>"
    "      <arg name='interface_name' type='s' direction='in'/>"
    "      <arg name='properties' type='a{sv}' direction='in'/>"
    "    </method>"
    "    <signal name='" IGD1_PROPERTIES_CHANGED "'>"
    "      <arg name='interface_name' type='s'/>"
    "      <arg name='changed_properties' type='a{sv}'/>"
    "      <arg name='invalidated_properties' type='as'/>"
    "    </signal>"
    "  </interface>"
    "</node>";

using RegisterFn = guint (*)(GDBusConnection *, const gchar *, GDBusInterfaceInfo *,
                             const GDBusInterfaceVTable *, gpointer, GDestroyNotify, GError **);
using UnregisterFn = gboolean (*)(GDBusConnection *, guint);

struct Registration {
  GDBusConnection *connection;
  std::string path;
  std::string interface_name;
  const GDBusInterfaceVTable *vtable;
  gpointer user_data;
  guint id;
};

// The Properties interface exported on one path of one connection.
struct PropertiesObject {
  GDBusConnection *connection;
  std::string path;
  guint id;
};

std::mutex g_mutex;
std::vector<Registration> g_registrations;
std::vector<PropertiesObject> g_properties_objects;

RegisterFn real_register() {
  static auto fn = reinterpret_cast<RegisterFn>(dlsym(RTLD_NEXT, "g_dbus_connection_register_object"));
  return fn;
}

UnregisterFn real_unregister() {
  static auto fn =
      reinterpret_cast<UnregisterFn>(dlsym(RTLD_NEXT, "g_dbus_connection_unregister_object"));
  return fn;
}

GDBusInterfaceInfo *properties_interface() {
  static GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(kPropertiesXml, nullptr);
  return node->interfaces[0];
}

bool find_registration(GDBusConnection *connection, const char *path, const char *interface_name,
                       Registration *found) {
  std::lock_guard lock(g_mutex);
  for (const Registration &r : g_registrations) {
    if (r.connection == connection && r.path == path && r.interface_name == interface_name) {
      *found = r;
      return true;
    }
  }
  return false;
}

void handle_properties_call(GDBusConnection *connection, const gchar *sender,
                            const gchar *object_path, const gchar *, const gchar *method_name,
                            GVariant *parameters, GDBusMethodInvocation *invocation, gpointer) {
  if (g_strcmp0(method_name, IGD1_SET_MULTI_METHOD) != 0) {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                          "No such method %s", method_name);
    return;
  }
  const gchar *interface_name = nullptr;
  GVariant *properties = nullptr;
  g_variant_get(parameters, "(&s@a{sv})", &interface_name, &properties);
  g_autoptr(GVariant) owned = properties;

  Registration target{};
  if (!find_registration(connection, object_path, interface_name, &target)) {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                          "No such interface %s on object at path %s",
                                          interface_name, object_path);
    return;
  }
  Igd1SetMultiPropertiesFunc handler = igd1_set_multi_handler(target.vtable);
  if (handler == nullptr) {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_NOT_SUPPORTED,
                                          "Interface %s does not write several properties",
                                          interface_name);
    return;
  }
  GError *error = nullptr;
  if (handler(connection, sender, object_path, interface_name, properties, &error,
              target.user_data)) {
    // The write was accepted as a whole; what a single entry reported
    // stays in the log.
    if (error != nullptr) {
      host_log(LOG_LEVEL_WARN, "SetMulti %s on %s: %s", interface_name, object_path,
               error->message);
      g_error_free(error);
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (error != nullptr) {
    g_dbus_method_invocation_take_error(invocation, error);
  } else {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_FAILED,
                                          "SetMulti of %s refused", interface_name);
  }
}

const GDBusInterfaceVTable kPropertiesVTable = {handle_properties_call, nullptr, nullptr, {nullptr}};

// Called with the lock held.
void export_properties_locked(GDBusConnection *connection, const char *path) {
  for (const PropertiesObject &o : g_properties_objects)
    if (o.connection == connection && o.path == path) return;
  guint id = real_register()(connection, path, properties_interface(), &kPropertiesVTable, nullptr,
                             nullptr, nullptr);
  if (id > 0) g_properties_objects.push_back({connection, path, id});
}

}  // namespace

bool has_registration(GDBusConnection *connection, const char *path) {
  std::lock_guard lock(g_mutex);
  return std::any_of(g_registrations.begin(), g_registrations.end(), [&](const Registration &r) {
    return r.connection == connection && r.path == path;
  });
}

void forget_connection(GDBusConnection *connection) {
  std::lock_guard lock(g_mutex);
  std::erase_if(g_registrations, [&](const Registration &r) { return r.connection == connection; });
  std::erase_if(g_properties_objects,
                [&](const PropertiesObject &o) { return o.connection == connection; });
}

}  // namespace igd1::host

using namespace igd1::host;

extern "C" guint g_dbus_connection_register_object(GDBusConnection *connection,
                                                   const gchar *object_path,
                                                   GDBusInterfaceInfo *interface_info,
                                                   const GDBusInterfaceVTable *vtable,
                                                   gpointer user_data,
                                                   GDestroyNotify user_data_free_func,
                                                   GError **error) {
  guint id = real_register()(connection, object_path, interface_info, vtable, user_data,
                             user_data_free_func, error);
  if (id == 0 || interface_info == nullptr) return id;
  std::lock_guard lock(g_mutex);
  g_registrations.push_back({connection, object_path, interface_info->name, vtable, user_data, id});
  // Interfaces without handlers (the root marker) have nothing to write.
  if (vtable != nullptr) export_properties_locked(connection, object_path);
  return id;
}

extern "C" gboolean g_dbus_connection_unregister_object(GDBusConnection *connection,
                                                        guint registration_id) {
  std::string path;
  guint properties_id = 0;
  {
    std::lock_guard lock(g_mutex);
    auto it = std::find_if(g_registrations.begin(), g_registrations.end(), [&](const Registration &r) {
      return r.connection == connection && r.id == registration_id;
    });
    if (it != g_registrations.end()) {
      path = it->path;
      g_registrations.erase(it);
      bool path_still_used =
          std::any_of(g_registrations.begin(), g_registrations.end(), [&](const Registration &r) {
            return r.connection == connection && r.path == path && r.vtable != nullptr;
          });
      if (!path_still_used) {
        auto p = std::find_if(g_properties_objects.begin(), g_properties_objects.end(),
                              [&](const PropertiesObject &o) {
                                return o.connection == connection && o.path == path;
                              });
        if (p != g_properties_objects.end()) {
          properties_id = p->id;
          g_properties_objects.erase(p);
        }
      }
    }
  }
  gboolean result = real_unregister()(connection, registration_id);
  if (properties_id != 0) real_unregister()(connection, properties_id);
  return result;
}
