// The port-mapping collection: /com/wqx/igd1/Config/PortMapping and one
// child per rule.
#pragma once

#include <gio/gio.h>
#include <stdint.h>

#include "igd1_export.h"

IGD1_API GDBusNodeInfo *PortMapping_introspection_data;

IGD1_API void PortMapping_on_bus_acquired(GDBusConnection *connection, const gchar *name,
                                          gpointer user_data);
// Export and unexport the child of one rule.  Both return 1.
IGD1_API int PortMapping_add_interface(uint32_t instance);
IGD1_API int PortMapping_del_interface(uint32_t instance);
IGD1_API GType PortMapping_interface_get_type(void);
IGD1_API GVariant *PortMapping_interface_get_properties(GDBusInterfaceSkeleton *skeleton);

IGD1_API GVariant *PortMapping_handle_get_property(GDBusConnection *connection, const gchar *sender,
                                                   const gchar *object_path,
                                                   const gchar *interface_name,
                                                   const gchar *property_name, GError **error,
                                                   gpointer user_data);
// Applies one property to a row copy; *notify and *changed become 1 when the
// copy changed.
IGD1_API gboolean PortMapping_set_property(const gchar *property_name, GVariant *value,
                                           int *notify, int *changed, GError **error, void *row);
IGD1_API gboolean PortMapping_handle_set_property(GDBusConnection *connection, const gchar *sender,
                                                  const gchar *object_path,
                                                  const gchar *interface_name,
                                                  const gchar *property_name, GVariant *value,
                                                  GError **error, gpointer user_data);
IGD1_API gboolean portmapping_handle_set_multi_properties(GDBusConnection *connection,
                                                          const gchar *sender,
                                                          const gchar *object_path,
                                                          const gchar *interface_name,
                                                          GVariant *properties, GError **error,
                                                          gpointer user_data);
IGD1_API void PortMapping_handle_object_mng_call(GDBusConnection *connection, const gchar *sender,
                                                 const gchar *object_path,
                                                 const gchar *interface_name,
                                                 const gchar *method_name, GVariant *parameters,
                                                 GDBusMethodInvocation *invocation,
                                                 gpointer user_data);
