// The DHCP server object.
#pragma once

#include <gio/gio.h>

#include "igd1_export.h"

IGD1_API GDBusNodeInfo *dhcp_server_introspection_data;

IGD1_API void dhcp_server_on_bus_acquired(GDBusConnection *connection, const gchar *name,
                                          gpointer user_data);
IGD1_API GVariant *dhcpserver_handle_get_property(GDBusConnection *connection, const gchar *sender,
                                                  const gchar *object_path,
                                                  const gchar *interface_name,
                                                  const gchar *property_name, GError **error,
                                                  gpointer user_data);
// Validates and stores one value; *changed becomes 1 when it was stored.
IGD1_API gboolean dhcpserver_set_property(const gchar *property_name, GVariant *value,
                                          int *changed, GError **error);
IGD1_API gboolean dhcpserver_handle_set_property(GDBusConnection *connection, const gchar *sender,
                                                 const gchar *object_path,
                                                 const gchar *interface_name,
                                                 const gchar *property_name, GVariant *value,
                                                 GError **error, gpointer user_data);
IGD1_API gboolean dhcp_server_handle_set_multi_properties(GDBusConnection *connection,
                                                          const gchar *sender,
                                                          const gchar *object_path,
                                                          const gchar *interface_name,
                                                          GVariant *properties, GError **error,
                                                          gpointer user_data);
