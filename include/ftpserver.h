// The FTP server object.
#pragma once

#include <gio/gio.h>

#include "igd1_export.h"

IGD1_API GDBusNodeInfo *ftpserver_introspection_data;

IGD1_API void ftp_server_on_bus_acquired(GDBusConnection *connection, const gchar *name,
                                         gpointer user_data);
IGD1_API GVariant *ftpserver_handle_get_property(GDBusConnection *connection, const gchar *sender,
                                                 const gchar *object_path,
                                                 const gchar *interface_name,
                                                 const gchar *property_name, GError **error,
                                                 gpointer user_data);
IGD1_API gboolean ftpserver_handle_set_property(GDBusConnection *connection, const gchar *sender,
                                                const gchar *object_path,
                                                const gchar *interface_name,
                                                const gchar *property_name, GVariant *value,
                                                GError **error, gpointer user_data);
IGD1_API gboolean ftpserver_handle_set_multi_properties(
    GDBusConnection *connection, const gchar *sender, const gchar *object_path,
    const gchar *interface_name, GVariant *properties, GError **error, gpointer user_data);
