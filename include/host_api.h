// What the module library calls in the host daemon.  The host resolves these
// names in its own process before it loads the library.
#pragma once

#include <gio/gio.h>

#include "igd1_export.h"

// The host's bus connection, set before the first module entry runs; used
// for signals raised outside a bus call.
IGD1_API GDBusConnection *g_pIdg1_connection;

// Tells the host about one parsed introspection document, before its objects
// are registered.  The result carries no meaning for the library.
IGD1_API int dbus_proxy_node_info_reg(GDBusNodeInfo *node_info);

// The service type (0 or 1) that selects module variants.
IGD1_API int dbus_proxy_get_service_type(void);

// The province code of the gateway's operator region.
IGD1_API int dbus_proxy_get_province(void);

// Flushes the hardware-accelerated flow table of the packet engine; mode 2
// flushes every flow.  Returns 0 on success, non-zero on failure.
IGD1_API int ykr_fc_flow_flush2(int mode);
