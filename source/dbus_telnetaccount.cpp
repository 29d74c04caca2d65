// Telnet accounts: /com/wqx/igd1/Network/Telnetserver/Accounts.  The service
// has one login, shown as two read-only children: 1 for the LAN side and 2
// for the WAN side, with the same user name and password.  Clients can
// neither add nor delete accounts.
#include "telnetaccount.h"

#include <string>

#include "account_collections.h"
#include "collection.h"
#include "dbus_proxy_api.h"
#include "mib_api.h"
#include "single_object.h"

namespace {

constexpr char kInterfaceXml[] =
    "<node>"
    "  <interface name='com.wqx.igd1.TelnetAccount'>"
    "    <property name='UserName' type='s' access='read'/>"
    "    <property name='Password' type='s' access='read'/>"
    "    <property name='Type' type='s' access='read'/>"
    "  </interface>"
    "</node>";

// The children, by instance number.
constexpr const char *kTypes[] = {nullptr, "LAN", "WAN"};
constexpr int kChildren = 2;

// Properties read from the service's login (telnetaccount_get_info).
struct LoginField {
  const char *name;
  int which;
};
constexpr LoginField kLogin[] = {{"UserName", 0}, {"Password", 1}};

const GDBusInterfaceVTable kVTable = {
    nullptr, telnet_account_handle_get_property, nullptr, {nullptr}};
const GDBusInterfaceVTable kManagerVTable = {
    telnet_account_handle_object_mng_call, nullptr, nullptr, {nullptr}};

igd1::CollectionState g_state;

const igd1::Collection kCollection = {
    .noun = "TelnetAccount",
    .manager_path = "/com/wqx/igd1/Network/Telnetserver/Accounts",
    .child_format = "%d",
    .type_name = "ComWqxIgd1TelnetAccountInterface",
    .xml_file = nullptr,
    .builtin_xml = kInterfaceXml,
    .introspection_data = &telnet_account_introspection_data,
    .introspection_name = "telnet_account_introspection_data",
    .vtable = &kVTable,
    .state = &g_state,
    .max_instance = kChildren,
};

GVariant *read_login(const LoginField &field, GError **error) {
  const char *text = telnetaccount_get_info(field.which);
  if (text == nullptr) {
    DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d], get %s failed!", __func__, __LINE__,
             field.name);
    igd1::set_invalid_args(error, "get property %s failed", field.name);
    return nullptr;
  }
  if (!g_utf8_validate(text, -1, nullptr)) {
    igd1::set_invalid_args(error, "invalid UTF-8 sting value of %s", field.name);
    return nullptr;
  }
  return g_variant_new_string(text);
}

}  // namespace

GDBusNodeInfo *telnet_account_introspection_data = nullptr;

void telnet_account_on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer) {
  DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d]", __func__, __LINE__);
  igd1::collection_create_manager(kCollection);
  igd1::collection_load_interface(kCollection);
  for (int instance = 1; instance <= kChildren; ++instance) {
    DBUS_LOG(LOG_LEVEL_INFO, "g_strdup_printf s is %s",
             igd1::collection_child_path(kCollection, unsigned(instance)).c_str());
    DBUS_LOG(LOG_LEVEL_INFO, "g_object_new : %s ", kCollection.type_name);
    igd1::collection_export_child(kCollection, unsigned(instance));
  }
  igd1::collection_attach(kCollection, connection, &kManagerVTable);
}

GVariant *telnet_account_handle_get_property(GDBusConnection *, const gchar *,
                                             const gchar *object_path, const gchar *,
                                             const gchar *property_name, GError **error, gpointer) {
  DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d],property_name:%s", __func__, __LINE__,
           property_name);
  const uint32_t instance = igd1::accounts::child_instance(__func__, kCollection, object_path, error);
  if (instance == 0) return nullptr;
  if (g_strcmp0(property_name, "Type") == 0) return g_variant_new_string(kTypes[instance]);
  for (const LoginField &field : kLogin)
    if (g_strcmp0(property_name, field.name) == 0) return read_login(field, error);
  igd1::accounts::unknown_property(__func__, property_name, error);
  return nullptr;
}

// During a conformance run the calls are left to the host, which answers
// them as unknown methods.
void telnet_account_handle_object_mng_call(GDBusConnection *, const gchar *, const gchar *,
                                           const gchar *, const gchar *method_name, GVariant *,
                                           GDBusMethodInvocation *invocation, gpointer) {
  DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d],method_name:%s", __func__, __LINE__, method_name);
  if (check_dbus_cts_running()) return;
  if (g_strcmp0(method_name, "AddObject") == 0) {
    igd1::return_manager_error(invocation, "not support to add object");
  } else if (g_strcmp0(method_name, "DeleteObject") == 0) {
    igd1::return_manager_error(invocation, "not support to del object");
  }
}
