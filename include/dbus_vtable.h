// The interface vtable as the library and the host share it: GDBus's three
// handlers, and in the first spare slot the handler that writes several
// properties of one interface in one request.
//
// An object manager's vtable (see g_dbus_object_manager_server_set_connection_expand)
// uses the method slot for the methods of com.wqx.igd1.ObjectManager and may
// put in its second spare slot a method handler that answers GetManagedObjects
// in place of GDBus, and in its third the handler of RemoveAllObjects (a
// manager without one does not declare that method).
#pragma once

#include <gio/gio.h>

typedef gboolean (*Igd1SetMultiPropertiesFunc)(GDBusConnection *connection, const gchar *sender,
                                               const gchar *object_path,
                                               const gchar *interface_name, GVariant *properties,
                                               GError **error, gpointer user_data);

// The spare slot of a vtable holding the multi-property handler `handler`.
inline gpointer igd1_set_multi_slot(Igd1SetMultiPropertiesFunc handler) {
  return reinterpret_cast<gpointer>(handler);
}

inline Igd1SetMultiPropertiesFunc igd1_set_multi_handler(const GDBusInterfaceVTable *vtable) {
  return vtable != nullptr ? reinterpret_cast<Igd1SetMultiPropertiesFunc>(vtable->padding[0])
                           : nullptr;
}

// Runs a multi-property write and answers the call with its outcome: success
// (an error the writer reported for one entry of a write accepted as a whole
// goes to `skipped`, which frees it), the writer's error, or Failed.
inline void igd1_answer_set_multi(Igd1SetMultiPropertiesFunc write, GDBusConnection *connection,
                                  const gchar *sender, const gchar *object_path,
                                  const gchar *interface_name, GVariant *properties,
                                  gpointer user_data, GDBusMethodInvocation *invocation,
                                  void (*skipped)(const gchar *path, const gchar *interface_name,
                                                  GError *error)) {
  GError *error = nullptr;
  if (write(connection, sender, object_path, interface_name, properties, &error, user_data)) {
    if (error != nullptr) skipped(object_path, interface_name, error);
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (error != nullptr) {
    g_dbus_method_invocation_take_error(invocation, error);
  } else {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_FAILED,
                                          "SetMulti of %s refused", interface_name);
  }
}

// Interface and method through which a client writes several properties,
// the signal that announces changes, and the interface's document.
inline constexpr char kIgd1PropertiesInterface[] = "com.wqx.igd1.Properties";
inline constexpr char kIgd1SetMultiMethod[] = "SetMulti";
inline constexpr char kIgd1PropertiesChanged[] = "PropertiesChanged";
inline constexpr char kIgd1PropertiesXml[] =
    "<node><interface name='com.wqx.igd1.Properties'>"
    "<method name='SetMulti'>"
    "<arg name='interface_name' type='s' direction='in'/>"
    "<arg name='properties' type='a{sv}' direction='in'/></method>"
    "<signal name='PropertiesChanged'><arg name='interface_name' type='s'/>"
    "<arg name='changed_properties' type='a{sv}'/><arg name='invalidated_properties' type='as'/>"
    "</signal></interface></node>";

inline GDBusInterfaceMethodCallFunc igd1_get_managed_objects_handler(
    const GDBusInterfaceVTable *vtable) {
  return vtable != nullptr ? reinterpret_cast<GDBusInterfaceMethodCallFunc>(vtable->padding[1])
                           : nullptr;
}

inline GDBusInterfaceMethodCallFunc igd1_remove_all_objects_handler(
    const GDBusInterfaceVTable *vtable) {
  return vtable != nullptr ? reinterpret_cast<GDBusInterfaceMethodCallFunc>(vtable->padding[2])
                           : nullptr;
}

// The methods a collection adds to its object manager.
inline constexpr char kIgd1ObjectManagerInterface[] = "com.wqx.igd1.ObjectManager";
