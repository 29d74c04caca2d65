// The Samba account collection: /com/wqx/igd1/Storage/SambaServer/Accounts
// and one child per account.
#pragma once

#include <gio/gio.h>
#include <stdint.h>

#include "igd1_export.h"

IGD1_API GDBusNodeInfo *samba_account_introspection_data;

IGD1_API void samba_account_on_bus_acquired(GDBusConnection *connection, const gchar *name,
                                            gpointer user_data);
// Export and unexport the child of one account.  Both return 1.
IGD1_API int samba_account_add_interface(uint32_t instance);
IGD1_API int samba_account_del_interface(uint32_t instance);
IGD1_API GType samba_account_interface_get_type(void);

IGD1_API GVariant *samba_account_handle_get_property(GDBusConnection *connection,
                                                     const gchar *sender, const gchar *object_path,
                                                     const gchar *interface_name,
                                                     const gchar *property_name, GError **error,
                                                     gpointer user_data);
// Applies one property to a working copy of an account; *notify and *changed
// become 1 when the copy changed.
IGD1_API gboolean samba_account_set_property(const gchar *property_name, GVariant *value,
                                             int *notify, int *changed, GError **error, void *row);
IGD1_API gboolean samba_account_handle_set_property(GDBusConnection *connection,
                                                    const gchar *sender, const gchar *object_path,
                                                    const gchar *interface_name,
                                                    const gchar *property_name, GVariant *value,
                                                    GError **error, gpointer user_data);
IGD1_API gboolean samba_account_handle_set_multi_properties(
    GDBusConnection *connection, const gchar *sender, const gchar *object_path,
    const gchar *interface_name, GVariant *properties, GError **error, gpointer user_data);
IGD1_API void samba_account_handle_object_mng_call(GDBusConnection *connection, const gchar *sender,
                                                   const gchar *object_path,
                                                   const gchar *interface_name,
                                                   const gchar *method_name, GVariant *parameters,
                                                   GDBusMethodInvocation *invocation,
                                                   gpointer user_data);
