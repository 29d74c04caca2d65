// The FTP account collection: /com/wqx/igd1/Storage/Ftpserver/Accounts and
// one child per account.
#pragma once

#include <gio/gio.h>

#include "igd1_export.h"
#include "mib_api.h"

IGD1_API GDBusNodeInfo *ftpaccount_introspection_data;

IGD1_API void ftp_account_on_bus_acquired(GDBusConnection *connection, const gchar *name,
                                          gpointer user_data);
IGD1_API GType ftp_account_interface_get_type(void);

IGD1_API GVariant *ftp_account_handle_get_property(GDBusConnection *connection, const gchar *sender,
                                                   const gchar *object_path,
                                                   const gchar *interface_name,
                                                   const gchar *property_name, GError **error,
                                                   gpointer user_data);
// Checks one value for the account `row` at table position `position` and
// stores it into `row`; *notify and *changed become 1 when it was stored.
IGD1_API gboolean ftp_account_set_props_func(const gchar *property_name, GVariant *value,
                                             int *notify, int *changed, GError **error,
                                             ftp_account_row *row, int position);
IGD1_API gboolean ftp_account_handle_set_property(GDBusConnection *connection, const gchar *sender,
                                                  const gchar *object_path,
                                                  const gchar *interface_name,
                                                  const gchar *property_name, GVariant *value,
                                                  GError **error, gpointer user_data);
IGD1_API gboolean ftp_account_handle_set_multi_properties(
    GDBusConnection *connection, const gchar *sender, const gchar *object_path,
    const gchar *interface_name, GVariant *properties, GError **error, gpointer user_data);
IGD1_API void ftp_account_handle_object_mng_call(GDBusConnection *connection, const gchar *sender,
                                                 const gchar *object_path,
                                                 const gchar *interface_name,
                                                 const gchar *method_name, GVariant *parameters,
                                                 GDBusMethodInvocation *invocation,
                                                 gpointer user_data);
