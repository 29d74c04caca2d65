// Pieces shared by the Samba, Telnet and FTP account collections, whose rows
// are not plain records of the collection engine.
#pragma once

#include <gio/gio.h>

#include "collection.h"
#include "single_object.h"

namespace igd1::accounts {

// The instance number of a child path of `collection`, or 0 (logged under
// `function`) with "invalid object path %s" when the path names none.
uint32_t child_instance(const char *function, const Collection &collection,
                        const char *object_path, GError **error);

// Applies every entry of an a{sv} write to one working copy, in order, with
// `apply(name, value, &notify, &changed, error)`; stops at the first entry
// that fails.  Entries whose notify flag is set are collected into
// `changes` (an a{sv} builder).  Returns whether every entry was applied;
// *any_changed tells whether the copy changed.
template <typename Apply>
bool apply_entries(const char *function, GVariant *properties, Apply apply,
                   GVariantBuilder *changes, bool *any_changed, GError **error) {
  *any_changed = false;
  auto entry = [&](const char *name, GVariant *value, GError **entry_error) {
    int notify = 0;
    int changed = 0;
    if (!apply(name, value, &notify, &changed, entry_error)) return false;
    *any_changed = *any_changed || changed;
    if (notify) g_variant_builder_add(changes, "{sv}", name, value);
    return true;
  };
  return walk_entries(function, LOG_LEVEL_INFO, properties, MultiFailure::Stop, entry, nullptr,
                      error);
}

// Logs and reports a name that is no property of the account interface.
void unknown_property(const char *function, const char *name, GError **error);

// Answers AddObject and DeleteObject on a manager path with the module's
// functions; other methods are left to the host.
void manager_call(const char *function, const char *method_name, GVariant *parameters,
                  GDBusMethodInvocation *invocation, void (*add)(GDBusMethodInvocation *),
                  void (*remove)(GVariant *, GDBusMethodInvocation *));

// A one-entry a{sv} value (new reference) for a single-property write.
GVariant *one_entry(const char *name, GVariant *value);

// The write of one child: applies `entries` (a{sv}) to the module's working
// copy with apply_entries, then, when the copy changed, runs `commit(error)`
// to hand it back; when both succeed, announces the entries that changed it
// in one PropertiesChanged.  Nothing is announced on failure.
template <typename Apply, typename Commit>
gboolean write_entries(const char *function, GDBusConnection *connection, const char *object_path,
                       const char *interface_name, GVariant *entries, Apply apply, Commit commit,
                       GError **error) {
  GVariantBuilder changes;
  g_variant_builder_init(&changes, G_VARIANT_TYPE("a{sv}"));
  bool changed = false;
  StoreTransaction transaction;
  const bool ok = transaction.began(error) &&
                  apply_entries(function, entries, apply, &changes, &changed, error) &&
                  (!changed || commit(error)) && transaction.commit(error);
  g_autoptr(GVariant) announced = g_variant_ref_sink(g_variant_builder_end(&changes));
  if (ok && g_variant_n_children(announced) > 0)
    emit_properties_changed(connection, object_path, interface_name, announced);
  sys_log(LOG_MODULE_DBUS, LOG_LEVEL_INFO, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function,
          "out of func [%s]", function);
  return ok ? TRUE : FALSE;
}

}  // namespace igd1::accounts

// The single and multi-property write handlers of an account interface,
// both served by the module's `write(function, connection, object_path,
// interface_name, entries, error)`.
#define IGD1_DEFINE_ACCOUNT_WRITE_HANDLERS(set_handler, multi_handler, write)                    \
  gboolean set_handler(GDBusConnection *connection, const gchar *, const gchar *object_path,     \
                       const gchar *interface_name, const gchar *property_name, GVariant *value, \
                       GError **error, gpointer) {                                               \
    DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d],property_name:%s", __func__, __LINE__,        \
             property_name);                                                                     \
    g_autoptr(GVariant) entries = igd1::accounts::one_entry(property_name, value);               \
    return write(__func__, connection, object_path, interface_name, entries, error);             \
  }                                                                                              \
  gboolean multi_handler(GDBusConnection *connection, const gchar *, const gchar *object_path,   \
                         const gchar *interface_name, GVariant *properties, GError **error,      \
                         gpointer) {                                                             \
    DBUS_LOG(LOG_LEVEL_INFO, "func [%s],object_path:%s", __func__, object_path);                 \
    return write(__func__, connection, object_path, interface_name, properties, error);          \
  }

#define IGD1_DEFINE_ACCOUNT_MANAGER_HANDLER(handler, add, remove)                                 \
  void handler(GDBusConnection *, const gchar *, const gchar *, const gchar *,                    \
               const gchar *method_name, GVariant *parameters, GDBusMethodInvocation *invocation, \
               gpointer) {                                                                        \
    igd1::accounts::manager_call(__func__, method_name, parameters, invocation, add, remove);     \
  }
