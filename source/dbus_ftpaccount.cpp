// FTP accounts: /com/wqx/igd1/Storage/Ftpserver/Accounts, one child per
// account, at most six.
//
// This module chooses the instance numbers (the lowest free one from 1 to
// 99) and exports and removes the children itself.  A new account holds the
// placeholder texts "invalid<n>", which read as "" until a client writes a
// user name and password.  While no user account exists the service keeps
// a default account in the table; it has no child, and the next AddObject
// takes it out again.
#include "ftpaccount.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "account_collections.h"
#include "collection.h"
#include "mib_api.h"
#include "single_object.h"

namespace {

constexpr char kPlaceholderMark[] = "invalid";
constexpr uint32_t kHighestInstance = 99;
constexpr int kMostRowsBeforeAdding = FTP_ACCOUNT_MAX_ROWS - 1;
constexpr int kRemoveRow = 4;
constexpr int kRowCount = 0;

struct AccountField {
  const char *name;
  int which;            // of ftpaccount_set_property_check
  size_t offset;        // in ftp_account_row
  const char *refused;  // error of a text the check refuses (may name the property)
  const char *log;
  bool secret;  // kept out of the log
};
constexpr AccountField kFields[] = {
    {"UserName", 0, offsetof(ftp_account_row, username), "Invalid parameter value",
     "property UserName value:%s ", false},
    {"Password", 1, offsetof(ftp_account_row, password), "Invalid parameter %s",
     "property Password value:%s ", true},
};

const AccountField *find_field(const char *name) {
  for (const AccountField &field : kFields)
    if (g_strcmp0(field.name, name) == 0) return &field;
  return nullptr;
}

const GDBusInterfaceVTable kVTable = {nullptr, ftp_account_handle_get_property,
                                      ftp_account_handle_set_property,
                                      IGD1_SET_MULTI_SLOT(ftp_account_handle_set_multi_properties)};
const GDBusInterfaceVTable kManagerVTable = {
    ftp_account_handle_object_mng_call, nullptr, nullptr, {nullptr}};

igd1::CollectionState g_state;

const igd1::Collection kCollection = {
    .noun = "FTPAccount",
    .manager_path = "/com/wqx/igd1/Storage/Ftpserver/Accounts",
    .child_format = "%d",
    .type_name = "ComWqxIgd1FTPAccountInterface",
    .xml_file = "FTPAccount.xml",
    .builtin_xml = nullptr,
    .introspection_data = &ftpaccount_introspection_data,
    .introspection_name = "ftpaccount_introspection_data",
    .vtable = &kVTable,
    .state = &g_state,
    .max_instance = kHighestInstance,
};

// Set when this module put the default account into the table after the
// last account was deleted; the next AddObject removes it first.
bool g_default_account = false;

void notify_service() { dbus_mib_update_cfg(MIB_CFG_FTP, nullptr, MIB_ACTION_APPLY); }

// The account of a child path (found by scanning the positions) and its
// position, or -1 with `error` set.
int account_of(const char *function, const char *object_path, ftp_account_row *row,
               GError **error) {
  const uint32_t instance = igd1::accounts::child_instance(function, kCollection, object_path, error);
  if (instance == 0) return -1;
  const int count = ftpaccountinfo_get_property(kRowCount);
  for (int position = 0; position < count; ++position) {
    if (ftpaccount_getuserinfo2(row, position) != 0 && row->instnum == uint32_t(instance))
      return position;
  }
  DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d], get ftp account entry failed with instnum %d .",
           function, __LINE__, instance);
  igd1::set_invalid_args(error, "invalid object path %s", object_path);
  return -1;
}

// A text field as clients see it: "" for a placeholder, nullptr when it is
// not UTF-8.
GVariant *shown_text(const char *field) {
  char text[FTP_ACCOUNT_FIELD_SIZE + 1] = {};
  std::memcpy(text, field, FTP_ACCOUNT_FIELD_SIZE);
  if (std::strstr(text, kPlaceholderMark) != nullptr) return g_variant_new_string("");
  return g_utf8_validate(text, -1, nullptr) ? g_variant_new_string(text) : nullptr;
}

// The lowest instance number from 1 to 99 that no row carries, 0 when none.
uint32_t idle_instance(int count) {
  for (uint32_t candidate = 1; candidate <= kHighestInstance; ++candidate) {
    bool taken = false;
    for (int position = 0; position < count && !taken; ++position) {
      ftp_account_row row = {};
      uint32_t instance = 0;
      taken = ftpaccount_compare_index(&row, position, &instance, candidate) != 0;
    }
    if (!taken) return candidate;
  }
  return 0;
}

void add_object(GDBusMethodInvocation *invocation) {
  if (g_default_account) {
    ftpaccount_delete_default();
    g_default_account = false;
  }
  const int count = ftpaccountinfo_get_property(kRowCount);
  if (count > kMostRowsBeforeAdding) {
    DBUS_LOG(LOG_LEVEL_WARN, "ftp account table is full, %d accounts", count);
    igd1::return_manager_error(invocation, "ftp account table is full");
    return;
  }
  const uint32_t instance = count >= 0 ? idle_instance(count) : 0;
  if (instance == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "NO idle index for ftp account");
    igd1::return_manager_error(invocation, "AddObject NO idle index for ftp account");
    return;
  }
  ftp_account_row row = {};
  std::snprintf(row.username, sizeof row.username, "%s%u", kPlaceholderMark, instance);
  std::snprintf(row.password, sizeof row.password, "%s%u", kPlaceholderMark, instance);
  if (ftpaccount_set_account(&row, instance) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "add ftp account failed");
    igd1::return_manager_error(invocation, "AddObject NO idle index for ftp account");
    return;
  }
  notify_service();
  igd1::collection_export_child(kCollection, instance);
  const std::string path = igd1::collection_child_path(kCollection, instance);
  DBUS_LOG(LOG_LEVEL_INFO, "going to [%s] line [%d] add path_name is %s", __func__, __LINE__,
           path.c_str());
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", path.c_str()));
}

void delete_object(GVariant *parameters, GDBusMethodInvocation *invocation) {
  const char *path = nullptr;
  g_variant_get(parameters, "(&o)", &path);
  DBUS_LOG(LOG_LEVEL_INFO, "DeleteObject, path_name %s", path);
  // The number is read from the last segment alone: a path elsewhere that
  // names an existing account is told apart below.
  const char *last = std::strrchr(path, '/');
  const uint32_t instance = last != nullptr ? igd1::parse_instance(last + 1, kHighestInstance) : 0;
  if (instance == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d], get object path error invalid object path %s",
             __func__, __LINE__, path);
    igd1::return_manager_error(invocation, "DeleteObject object path error");
    return;
  }
  DBUS_LOG(LOG_LEVEL_INFO, "delete index is %d", int(instance));
  const int count = ftpaccountinfo_get_property(kRowCount);
  for (int position = 0; position < count; ++position) {
    ftp_account_row row = {};
    uint32_t carried = 0;
    if (ftpaccount_get_account(&row, &carried, position) == 0 || carried != instance)
      continue;
    if (igd1::collection_child_path(kCollection, carried) != path) {
      DBUS_LOG(LOG_LEVEL_WARN, "path_name is error!");
      igd1::return_manager_error(invocation, "path_name is error");
      return;
    }
    if (ftpaccountinfo_set_property(kRemoveRow, &row, position) != 1) {
      DBUS_LOG(LOG_LEVEL_WARN, "Delete chain %d record error!", position);
      igd1::return_manager_error(invocation, "Delete chain record error");
      return;
    }
    igd1::collection_unexport_child(kCollection, carried);
    notify_service();
    g_dbus_method_invocation_return_value(invocation, nullptr);
    if (ftpaccountinfo_get_property(kRowCount) == 0 && ftpaccount_add_default() != 0)
      g_default_account = true;
    return;
  }
  g_dbus_method_invocation_return_error_literal(invocation, G_DBUS_ERROR, G_DBUS_ERROR_FAILED,
                                                "this entry not exist");
}

// One write of a child: applies the entries to a copy of the account and
// stores the copy.
gboolean write_account(const char *function, GDBusConnection *connection, const char *object_path,
                       const char *interface_name, GVariant *entries, GError **error) {
  ftp_account_row row = {};
  const int position = account_of(function, object_path, &row, error);
  if (position < 0) return FALSE;
  auto apply = [&row, position](const char *name, GVariant *value, int *notify, int *changed,
                                GError **e) {
    return ftp_account_set_props_func(name, value, notify, changed, e, &row, position) != FALSE;
  };
  auto commit = [&row, position](GError **e) {
    if (ftpaccount_update_account(&row, position) == 0) {
      DBUS_LOG(LOG_LEVEL_WARN, "ftp account db update failure");
      igd1::set_invalid_args(e, "ftp account db update failure");
      return false;
    }
    DBUS_LOG(LOG_LEVEL_INFO, "ftp account db update success");
    notify_service();
    return true;
  };
  return igd1::accounts::write_entries(function, connection, object_path, interface_name, entries,
                                       apply, commit, error);
}

}  // namespace

GDBusNodeInfo *ftpaccount_introspection_data = nullptr;

void ftp_account_on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer) {
  DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d]", __func__, __LINE__);
  igd1::collection_create_manager(kCollection);
  igd1::collection_load_interface(kCollection);
  // A default account left by the previous run keeps its part: no child,
  // and the next AddObject takes it out.
  const int default_position = ftpaccount_default_position();
  g_default_account = default_position >= 0;
  const int count = ftpaccountinfo_get_property(kRowCount);
  for (int position = 0; position < count; ++position) {
    const uint32_t instance = ftpaccount_getindex(position);
    if (instance != 0 && position != default_position)
      igd1::collection_export_child(kCollection, instance);
  }
  igd1::collection_attach(kCollection, connection, &kManagerVTable);
}

GType ftp_account_interface_get_type(void) { return igd1::collection_interface_type(kCollection); }

GVariant *ftp_account_handle_get_property(GDBusConnection *, const gchar *,
                                          const gchar *object_path, const gchar *,
                                          const gchar *property_name, GError **error, gpointer) {
  DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d],property_name:%s", __func__, __LINE__,
           property_name);
  ftp_account_row row = {};
  if (account_of(__func__, object_path, &row, error) < 0) return nullptr;
  const AccountField *field = find_field(property_name);
  if (field == nullptr) {
    igd1::accounts::unknown_property(__func__, property_name, error);
    return nullptr;
  }
  GVariant *value = shown_text(reinterpret_cast<const char *>(&row) + field->offset);
  if (value == nullptr)
    igd1::set_invalid_args(error, "invalid UTF-8 sting value of %s", property_name);
  return value;
}

gboolean ftp_account_set_props_func(const gchar *property_name, GVariant *value, int *notify,
                                    int *changed, GError **error, ftp_account_row *row,
                                    int position) {
  *notify = 0;
  *changed = 0;
  const AccountField *field = find_field(property_name);
  if (field == nullptr || !g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) {
    igd1::accounts::unknown_property(__func__, property_name, error);
    return FALSE;
  }
  gsize length = 0;
  const char *text = g_variant_get_string(value, &length);
  if (length >= FTP_ACCOUNT_FIELD_SIZE ||
      ftpaccount_set_property_check(field->which, text, position) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d], %s refused", __func__, __LINE__, field->name);
    igd1::set_invalid_args(error, field->refused, field->name);
    return FALSE;
  }
  sys_log(LOG_MODULE_DBUS, LOG_LEVEL_INFO, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, __func__,
          field->log, field->secret ? "******" : text);
  char *target = reinterpret_cast<char *>(row) + field->offset;
  std::memset(target, 0, FTP_ACCOUNT_FIELD_SIZE);
  std::memcpy(target, text, length);
  *notify = 1;
  *changed = 1;
  return TRUE;
}

IGD1_DEFINE_ACCOUNT_WRITE_HANDLERS(ftp_account_handle_set_property,
                                   ftp_account_handle_set_multi_properties, write_account)

IGD1_DEFINE_ACCOUNT_MANAGER_HANDLER(ftp_account_handle_object_mng_call, add_object, delete_object)
