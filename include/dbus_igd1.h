// The root object "/com/wqx/igd1" and the bus-name callbacks.
#pragma once

#include <gio/gio.h>

#include "igd1_export.h"

IGD1_API void IGD1_on_bus_acquired(GDBusConnection *connection, const gchar *name,
                                   gpointer user_data);
IGD1_API void IGD1_on_name_acquired(GDBusConnection *connection, const gchar *name,
                                    gpointer user_data);
IGD1_API void IGD1_on_name_lost(GDBusConnection *connection, const gchar *name,
                                gpointer user_data);

// GType "ComWqxIgd1Object": a plain GObject subtype kept for the host.
IGD1_API GType com_wqx_igd1_object_get_type(void);

inline constexpr char kIgd1RootObjectPath[] = "/com/wqx/igd1";
inline constexpr char kIgd1RootInterface[] = "com.wqx.igd1";
