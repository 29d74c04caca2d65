// The interface vtable as the library and the host share it: GDBus's three
// handlers, and in the first spare slot the handler that writes several
// properties of one interface in one request.
//
// An object manager's vtable (see g_dbus_object_manager_server_set_connection_expand)
// uses the method slot for the methods of com.wqx.igd1.ObjectManager and may
// put in its second spare slot a method handler that answers GetManagedObjects
// in place of GDBus.
#pragma once

#include <gio/gio.h>

typedef gboolean (*Igd1SetMultiPropertiesFunc)(GDBusConnection *connection, const gchar *sender,
                                               const gchar *object_path,
                                               const gchar *interface_name, GVariant *properties,
                                               GError **error, gpointer user_data);

// Initialiser of the spare slots holding `handler`.
#define IGD1_SET_MULTI_SLOT(handler) \
  { reinterpret_cast<gpointer>(static_cast<Igd1SetMultiPropertiesFunc>(handler)) }

inline Igd1SetMultiPropertiesFunc igd1_set_multi_handler(const GDBusInterfaceVTable *vtable) {
  return vtable != nullptr ? reinterpret_cast<Igd1SetMultiPropertiesFunc>(vtable->padding[0])
                           : nullptr;
}

// Interface and method through which a client writes several properties.
#define IGD1_PROPERTIES_INTERFACE "com.wqx.igd1.Properties"
#define IGD1_SET_MULTI_METHOD "SetMulti"
#define IGD1_PROPERTIES_CHANGED "PropertiesChanged"

inline GDBusInterfaceMethodCallFunc igd1_get_managed_objects_handler(
    const GDBusInterfaceVTable *vtable) {
  return vtable != nullptr ? reinterpret_cast<GDBusInterfaceMethodCallFunc>(vtable->padding[1])
                           : nullptr;
}

// The methods a collection adds to its object manager.
#define IGD1_OBJECT_MANAGER_INTERFACE "com.wqx.igd1.ObjectManager"
