// Samba accounts: /com/wqx/igd1/Storage/SambaServer/Accounts, one child per
// account, with UserName and Password of at most 30 characters each.
//
// AddObject asks the configuration library for a new account; the child
// appears when the host calls samba_account_add_interface for it, and goes
// through samba_account_del_interface.  A write works on a copy of the
// account and hands the copy back only when every value was accepted; the
// library may still refuse the account as a whole (a user name that another
// account has), which fails the write with its reason.
#include "sambaaccount.h"

#include <cstring>
#include <string>

#include "account_collections.h"
#include "collection.h"
#include "mib_api.h"
#include "single_object.h"

namespace {

constexpr char kInterfaceXml[] =
    "<node>"
    "  <interface name='com.wqx.igd1.SambaAccount'>"
    "    <property name='UserName' type='s' access='readwrite'/>"
    "    <property name='Password' type='s' access='readwrite'/>"
    "  </interface>"
    "</node>";

struct AccountField {
  const char *name;
  int index;             // of sambaAccount_get_mib_property / _set_mib_property
  const char *too_long;  // refusal of a text above SAMBA_ACCOUNT_TEXT_MAX characters
  bool secret;           // kept out of the log
};
constexpr AccountField kFields[] = {
    {"UserName", 0, "UserName value len is err", false},
    {"Password", 1, "Password value len is err", true},
};

const AccountField *find_field(const char *name) {
  for (const AccountField &field : kFields)
    if (g_strcmp0(field.name, name) == 0) return &field;
  return nullptr;
}

const GDBusInterfaceVTable kVTable = {
    nullptr, samba_account_handle_get_property, samba_account_handle_set_property,
    IGD1_SET_MULTI_SLOT(samba_account_handle_set_multi_properties)};
const GDBusInterfaceVTable kManagerVTable = {
    samba_account_handle_object_mng_call, nullptr, nullptr, {nullptr}};

igd1::CollectionState g_state;

const igd1::Collection kCollection = {
    .noun = "SambaAccount",
    .manager_path = "/com/wqx/igd1/Storage/SambaServer/Accounts",
    .child_format = "%d",
    .type_name = "ComWqxIgd1SambaAccountInterface",
    .xml_file = nullptr,
    .builtin_xml = kInterfaceXml,
    .introspection_data = &samba_account_introspection_data,
    .introspection_name = "samba_account_introspection_data",
    .vtable = &kVTable,
    .state = &g_state,
};

// The account of a child path and its position, or nullptr with `error` set.
mib_list_node *account_row(const char *function, const char *object_path, uint32_t *index,
                           GError **error) {
  const uint32_t instance = igd1::accounts::child_instance(function, kCollection, object_path, error);
  if (instance == 0) return nullptr;
  mib_list_node *node = sambaAccount_get_list_by_instnum(instance, index);
  if (node != nullptr && node->data != nullptr) return node;
  DBUS_LOG(LOG_LEVEL_WARN, "func [%s] :invalid list num  %d ", function, instance);
  igd1::set_invalid_args(error, "func [%s] :invalid list num  %d ", function, instance);
  return nullptr;
}

// Applies the entries of `entries` (a{sv}) to a copy of the account at
// `object_path`, stores the copy when it changed and announces the entries
// that changed it.
gboolean write_account(const char *function, GDBusConnection *connection, const char *object_path,
                       const char *interface_name, GVariant *entries, GError **error) {
  uint32_t index = 0;
  mib_list_node *node = account_row(function, object_path, &index, error);
  if (node == nullptr) return FALSE;
  void *copy = sambaAccount_backup_entry(node->data);
  if (copy == nullptr) {
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "Config SambaAccount error (%s)",
                "no working copy");
    return FALSE;
  }
  auto apply = [copy](const char *name, GVariant *value, int *notify, int *changed, GError **e) {
    return samba_account_set_property(name, value, notify, changed, e, copy) != FALSE;
  };
  auto commit = [copy, index](GError **e) {
    const char *reason = nullptr;
    if (sambaAccount_update_entry(copy, index, &reason, 0) == 0) {
      if (reason == nullptr) reason = "";
      DBUS_LOG(LOG_LEVEL_WARN, "Config SambaAccount error (%s)", reason);
      g_set_error(e, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "Config SambaAccount error (%s)", reason);
      return false;
    }
    sambaAccount_save_mib();
    return true;
  };
  const gboolean ok = igd1::accounts::write_entries(function, connection, object_path,
                                                    interface_name, entries, apply, commit, error);
  sambaAccount_free_backup_entry(copy);
  return ok;
}

void add_object(GDBusMethodInvocation *invocation) {
  const uint32_t instance = sambaAccount_insert_entry(nullptr);
  if (instance == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "Add SambaAccount object fail !!");
    igd1::return_manager_error(invocation, "Add SambaAccount object fail !!");
    return;
  }
  const std::string path = igd1::collection_child_path(kCollection, instance);
  DBUS_LOG(LOG_LEVEL_INFO, "Add SambaAccount object success, object path %s", path.c_str());
  sambaAccount_save_mib();
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", path.c_str()));
}

void delete_object(GVariant *parameters, GDBusMethodInvocation *invocation) {
  const char *path = nullptr;
  g_variant_get(parameters, "(&o)", &path);
  DBUS_LOG(LOG_LEVEL_INFO, "DeleteObject, path_name %s", path);
  const uint32_t instance = igd1::child_instance(kCollection, path);
  uint32_t index = 0;
  mib_list_node *node = instance > 0 ? sambaAccount_get_list_by_instnum(instance, &index) : nullptr;
  if (node == nullptr || node->data == nullptr) {
    DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d], invalid object path %s", __func__, __LINE__,
             path);
    igd1::return_manager_error(invocation, "DeleteObject object path error");
    return;
  }
  DBUS_LOG(LOG_LEVEL_INFO, "delete index is %d", int(instance));
  if (sambaAccount_remove_entry(index, node) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "Delete SambaAccount Object error, object path %s!!", path);
    igd1::return_manager_error(invocation, "Delete SambaAccount Object error !!");
    return;
  }
  DBUS_LOG(LOG_LEVEL_INFO, "Delete SambaAccount Object success, object path %s!!", path);
  sambaAccount_save_mib();
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

}  // namespace

GDBusNodeInfo *samba_account_introspection_data = nullptr;

void samba_account_on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer) {
  DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d]", __func__, __LINE__);
  igd1::collection_create_manager(kCollection);
  igd1::collection_load_interface(kCollection);
  igd1::collection_attach(kCollection, connection, &kManagerVTable);
  sambaAccount_update_all();
  for (mib_list_node *node = sambaAccount_get_list(0); node != nullptr; node = node->next)
    if (node->data != nullptr) samba_account_add_interface(static_cast<uint8_t *>(node->data)[0]);
}

int samba_account_add_interface(uint32_t instance) {
  DBUS_LOG(LOG_LEVEL_INFO, "Add SambaAccount interface, index is %d ", int(instance));
  igd1::collection_export_child(kCollection, instance);
  return 1;
}

int samba_account_del_interface(uint32_t instance) {
  DBUS_LOG(LOG_LEVEL_INFO, "Delete SambaAccount interface, index is %d ", int(instance));
  igd1::collection_unexport_child(kCollection, instance);
  return 1;
}

GType samba_account_interface_get_type(void) {
  return igd1::collection_interface_type(kCollection);
}

GVariant *samba_account_handle_get_property(GDBusConnection *, const gchar *,
                                            const gchar *object_path, const gchar *,
                                            const gchar *property_name, GError **error, gpointer) {
  DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d],instnum:%d property_name:%s", __func__, __LINE__,
           int(igd1::child_instance(kCollection, object_path)), property_name);
  mib_list_node *node = account_row(__func__, object_path, nullptr, error);
  if (node == nullptr) return nullptr;
  const AccountField *field = find_field(property_name);
  if (field == nullptr) {
    igd1::accounts::unknown_property(__func__, property_name, error);
    return nullptr;
  }
  char text[SAMBA_ACCOUNT_TEXT_MAX + 1] = {};
  if (sambaAccount_get_mib_property(field->index, text, node->data) == 0 ||
      !g_utf8_validate(text, -1, nullptr)) {
    igd1::set_invalid_args(error, "invalid UTF-8 sting value of %s", property_name);
    return nullptr;
  }
  return g_variant_new_string(text);
}

gboolean samba_account_set_property(const gchar *property_name, GVariant *value, int *notify,
                                    int *changed, GError **error, void *row) {
  *notify = 0;
  *changed = 0;
  const AccountField *field = find_field(property_name);
  if (field == nullptr || !g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) {
    igd1::accounts::unknown_property(__func__, property_name, error);
    return FALSE;
  }
  gsize length = 0;
  const char *text = g_variant_get_string(value, &length);
  DBUS_LOG(LOG_LEVEL_INFO, "set %s value:%s ", field->name, field->secret ? "******" : text);
  if (length > SAMBA_ACCOUNT_TEXT_MAX) {
    DBUS_LOG(LOG_LEVEL_WARN, "%s", field->too_long);
    igd1::set_invalid_args(error, "%s", field->too_long);
    return FALSE;
  }
  char stored[SAMBA_ACCOUNT_TEXT_MAX + 1] = {};
  if (sambaAccount_get_mib_property(field->index, stored, row) == 0) {
    igd1::set_invalid_args(error, "get property %s failed", property_name);
    return FALSE;
  }
  if (std::strcmp(stored, text) == 0) return TRUE;
  if (sambaAccount_set_mib_property(field->index, text, row) == 0) {
    igd1::set_invalid_args(error, "set property %s failed", property_name);
    return FALSE;
  }
  *notify = 1;
  *changed = 1;
  return TRUE;
}

IGD1_DEFINE_ACCOUNT_WRITE_HANDLERS(samba_account_handle_set_property,
                                   samba_account_handle_set_multi_properties, write_account)

IGD1_DEFINE_ACCOUNT_MANAGER_HANDLER(samba_account_handle_object_mng_call, add_object, delete_object)
