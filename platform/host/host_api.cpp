// The operations the module library calls in the host.
#include "host_api.h"

#include "host.h"

GDBusConnection *g_pIdg1_connection = nullptr;

int dbus_proxy_node_info_reg(GDBusNodeInfo *node_info) {
  return igd1::host::register_node_info(node_info) ? 1 : 0;
}

int dbus_proxy_get_service_type(void) { return igd1::host::settings().service_type; }

int dbus_proxy_get_province(void) { return igd1::host::settings().province; }
