// The system command object: device commands, line registration, passwords
// and uploads at /com/wqx/igd1/Ovatrix/System.
#pragma once

#include <gio/gio.h>
#include <stdint.h>

#include "igd1_export.h"

IGD1_API GDBusNodeInfo *syscmd_introspection_data;

// Monotonic-clock time at which the last RegisterLOID started.
typedef struct {
  int64_t tv_sec;
  int64_t tv_nsec;
} syscmd_time;
IGD1_API syscmd_time wqregtime_start;

IGD1_API void syscmd_on_bus_acquired(GDBusConnection *connection, const gchar *name,
                                     gpointer user_data);
IGD1_API void syscmd_handle_method_call(GDBusConnection *connection, const gchar *sender,
                                        const gchar *object_path, const gchar *interface_name,
                                        const gchar *method_name, GVariant *parameters,
                                        GDBusMethodInvocation *invocation, gpointer user_data);
IGD1_API GVariant *syscmd_handle_get_property(GDBusConnection *connection, const gchar *sender,
                                              const gchar *object_path,
                                              const gchar *interface_name,
                                              const gchar *property_name, GError **error,
                                              gpointer user_data);
IGD1_API gboolean syscmd_handle_set_property(GDBusConnection *connection, const gchar *sender,
                                             const gchar *object_path,
                                             const gchar *interface_name,
                                             const gchar *property_name, GVariant *value,
                                             GError **error, gpointer user_data);
IGD1_API gboolean syscmd_handle_set_multi_properties(GDBusConnection *connection,
                                                     const gchar *sender,
                                                     const gchar *object_path,
                                                     const gchar *interface_name,
                                                     GVariant *properties, GError **error,
                                                     gpointer user_data);
