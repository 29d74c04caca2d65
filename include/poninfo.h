// The PON information object.
#pragma once

#include <gio/gio.h>

#include "igd1_export.h"

IGD1_API GDBusNodeInfo *poninfo_introspection_data;

IGD1_API void poninfo_on_bus_acquired(GDBusConnection *connection, const gchar *name,
                                      gpointer user_data);
IGD1_API GVariant *poninfo_handle_get_property(GDBusConnection *connection, const gchar *sender,
                                               const gchar *object_path,
                                               const gchar *interface_name,
                                               const gchar *property_name, GError **error,
                                               gpointer user_data);
IGD1_API void poninfo_handle_method_call(GDBusConnection *connection, const gchar *sender,
                                         const gchar *object_path, const gchar *interface_name,
                                         const gchar *method_name, GVariant *parameters,
                                         GDBusMethodInvocation *invocation, gpointer user_data);
