// The Telnet account collection: /com/wqx/igd1/Network/Telnetserver/Accounts
// with its two fixed children, 1 (LAN side) and 2 (WAN side).
#pragma once

#include <gio/gio.h>

#include "igd1_export.h"

IGD1_API GDBusNodeInfo *telnet_account_introspection_data;

IGD1_API void telnet_account_on_bus_acquired(GDBusConnection *connection, const gchar *name,
                                             gpointer user_data);
IGD1_API GVariant *telnet_account_handle_get_property(GDBusConnection *connection,
                                                      const gchar *sender, const gchar *object_path,
                                                      const gchar *interface_name,
                                                      const gchar *property_name, GError **error,
                                                      gpointer user_data);
IGD1_API void telnet_account_handle_object_mng_call(GDBusConnection *connection,
                                                    const gchar *sender, const gchar *object_path,
                                                    const gchar *interface_name,
                                                    const gchar *method_name, GVariant *parameters,
                                                    GDBusMethodInvocation *invocation,
                                                    gpointer user_data);
