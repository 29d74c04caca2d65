// The operations the module library calls in the host.
#include "host_api.h"

#include "host.h"

#include <cstring>

GDBusConnection *g_pIdg1_connection = nullptr;

int dbus_proxy_node_info_reg(GDBusNodeInfo *node_info) {
  return igd1::host::register_node_info(node_info) ? 1 : 0;
}

int dbus_proxy_get_service_type(void) { return igd1::host::settings().service_type; }

int dbus_proxy_get_province(void) { return igd1::host::settings().province; }

int dbus_proxy_get_standard_signals(void) {
  return igd1::host::settings().standard_signals ? 1 : 0;
}

namespace igd1::host {
namespace {

GQuark kept_quark() {
  static const GQuark quark = g_quark_from_static_string("igd1-invocation-kept");
  return quark;
}

}  // namespace

void mark_kept(GDBusMethodInvocation *invocation) {
  if (invocation != nullptr)
    g_object_set_qdata(G_OBJECT(invocation), kept_quark(), GINT_TO_POINTER(1));
}

bool is_kept(GDBusMethodInvocation *invocation) {
  return g_object_get_qdata(G_OBJECT(invocation), kept_quark()) != nullptr;
}

}  // namespace igd1::host

void dbus_proxy_invocation_keep(GDBusMethodInvocation *invocation) {
  igd1::host::mark_kept(invocation);
}

int dbus_proxy_row_callbacks_reg(const char *module, const dbus_proxy_row_callbacks *callbacks) {
  return igd1::host::register_row_callbacks(module, callbacks) ? 1 : 0;
}

int dbus_proxy_start_order_reg(const char *module, const char *after) {
  if (module == nullptr || after == nullptr || *module == '\0' || *after == '\0' ||
      std::strcmp(module, after) == 0)
    return 0;
  igd1::host::declared_start_order().emplace_back(module, after);
  return 1;
}
