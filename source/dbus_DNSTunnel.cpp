// The manager of the DNS tunnels at /com/wqx/igd1/Network/dns, beside the
// IPv4 DNS server object.  The tunnel table itself is not served yet: the
// manager lists no children, and AddObject and DeleteObject answer the
// manager's errors, so that clients meet the path and the interfaces they
// will use.
#include "collection.h"
#include "dns_servers.h"
#include "host_api.h"
#include "igd1_assert.h"

namespace {

constexpr char kManagerPath[] = "/com/wqx/igd1/Network/dns";

void handle_manager_call(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                         const gchar *method_name, GVariant *, GDBusMethodInvocation *invocation,
                         gpointer) {
  DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d],method_name:%s", __func__, __LINE__, method_name);
  const bool add = g_strcmp0(method_name, "AddObject") == 0;
  if (add) DBUS_LOG(LOG_LEVEL_WARN, "Add DNS Tunnel object fail !!");
  g_dbus_method_invocation_return_dbus_error(
      invocation, igd1::kObjectManagerError,
      add ? "Add DNS Tunnel object fail !!" : "DeleteObject object path error");
}

const GDBusInterfaceVTable kManagerVTable = {handle_manager_call, nullptr, nullptr, {nullptr}};

}  // namespace

void DNSTunnel_on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer) {
  DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d]", __func__, __LINE__);
  GDBusObjectManagerServer *manager = g_dbus_object_manager_server_new(kManagerPath);
  IGD1_ASSERT(manager != nullptr);
  // The manager lives as long as the process.
  g_dbus_object_manager_server_set_connection_expand(manager, connection, &kManagerVTable, manager);
}
