// The single-object engine's publishing: the interface an object serves on
// the current service type, and the paths several objects share (a plain
// registration until one of them follows the service type, a subtree then).
#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "dbus_proxy_api.h"
#include "host_api.h"
#include "igd1_assert.h"
#include "single_object_engine.h"

namespace igd1 {

// ---- interfaces per service type ------------------------------------------------------

bool varies_by_service_type(const SingleObject &object) {
  if (object.announce == Announce::ServiceType0) return true;
  for (const Property &property : object.properties)
    if (property.variant != Variant::Any) return true;
  return false;
}

namespace {

std::mutex g_served_mutex;
// The interfaces built per object and service type.
std::map<std::pair<const SingleObject *, int>, GDBusNodeInfo *> &served_documents() {
  static auto *documents = new std::map<std::pair<const SingleObject *, int>, GDBusNodeInfo *>;
  return *documents;
}

bool has_row_named(const SingleObject &object, const char *name) {
  for (const Property &property : object.properties)
    if (g_strcmp0(property.name, name) == 0 || g_strcmp0(property.alias, name) == 0) return true;
  return false;
}

GDBusPropertyInfo *new_property_info(const char *name, const Property &row) {
  auto *info = g_new0(GDBusPropertyInfo, 1);
  info->ref_count = 1;
  info->name = g_strdup(name);
  info->signature = g_strdup(row.type);
  info->flags = static_cast<GDBusPropertyInfoFlags>(
      G_DBUS_PROPERTY_INFO_FLAGS_READABLE |
      (row.write != nullptr ? G_DBUS_PROPERTY_INFO_FLAGS_WRITABLE : 0));
  return info;
}

// A copy of `declared` that says what the table serves on the current
// service type.
GDBusNodeInfo *build_served(const SingleObject &object, GDBusInterfaceInfo *declared) {
  GString *xml = g_string_new("<node>");
  g_dbus_interface_info_generate_xml(declared, 0, xml);
  g_string_append(xml, "</node>");
  GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(xml->str, nullptr);
  g_string_free(xml, TRUE);
  IGD1_ASSERT(node != nullptr && node->interfaces[0] != nullptr);
  GDBusInterfaceInfo *interface = node->interfaces[0];
  std::vector<GDBusPropertyInfo *> served;
  for (GDBusPropertyInfo **p = interface->properties; p != nullptr && *p != nullptr; ++p) {
    const Property *row = find_property(object, (*p)->name);
    if (row == nullptr && has_row_named(object, (*p)->name)) {
      // Only other service types have it.
      g_dbus_property_info_unref(*p);
      continue;
    }
    if (row != nullptr && g_strcmp0(row->type, (*p)->signature) != 0) {
      g_free((*p)->signature);
      (*p)->signature = g_strdup(row->type);
    }
    served.push_back(*p);
  }
  const int service_type = current_service_type();
  for (const Property &row : object.properties) {
    if (!serves(row, service_type)) continue;
    for (const char *name : {row.name, row.alias}) {
      const bool declared_here = std::any_of(served.begin(), served.end(), [name](GDBusPropertyInfo *p) {
        return g_strcmp0(p->name, name) == 0;
      });
      if (name != nullptr && !declared_here) served.push_back(new_property_info(name, row));
    }
  }
  g_free(interface->properties);
  interface->properties = g_new0(GDBusPropertyInfo *, served.size() + 1);
  std::copy(served.begin(), served.end(), interface->properties);
  mark_object_unannounced(object, interface);
  return node;
}

}  // namespace

GDBusInterfaceInfo *served_interface(const SingleObject &object, GDBusInterfaceInfo *declared) {
  const std::pair<const SingleObject *, int> key{&object, current_service_type()};
  std::lock_guard lock(g_served_mutex);
  GDBusNodeInfo *&node = served_documents()[key];
  if (node == nullptr) node = build_served(object, declared);
  return node->interfaces[0];
}

// ---- the multi-property write of a subtree ---------------------------------------------------

GDBusInterfaceInfo *set_multi_interface() {
  static GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(kIgd1PropertiesXml, nullptr);
  return node->interfaces[0];
}

void answer_set_multi_call(const GDBusInterfaceVTable *vtable, gpointer user_data,
                           GDBusConnection *connection, const gchar *sender, const gchar *path,
                           GVariant *parameters, GDBusMethodInvocation *invocation) {
  const gchar *interface_name = nullptr;
  GVariant *entries = nullptr;
  g_variant_get(parameters, "(&s@a{sv})", &interface_name, &entries);
  g_autoptr(GVariant) owned = entries;
  if (vtable == nullptr) {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                          "No such interface %s on object at path %s",
                                          interface_name, path);
    return;
  }
  // A read-only interface at such a path answers as it does anywhere else.
  Igd1SetMultiPropertiesFunc write = igd1_set_multi_handler(vtable);
  if (write == nullptr) {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_NOT_SUPPORTED,
                                          "Interface %s does not write several properties",
                                          interface_name);
    return;
  }
  igd1_answer_set_multi(write, connection, sender, path, interface_name, entries, user_data,
                        invocation, [](const gchar *at, const gchar *interface, GError *skipped) {
                          DBUS_LOG(LOG_LEVEL_WARN, "SetMulti %s on %s: %s", interface, at,
                                   skipped->message);
                          g_error_free(skipped);
                        });
}

// ---- paths ---------------------------------------------------------------------------------
//
// Every interface registered here is recorded by connection and path.  While
// every entry at a path serves a fixed interface, each is a plain GDBus
// registration; the first that follows the service type turns the path into
// a subtree serving them all.  A withdrawn path keeps its (empty) record, so
// that a subtree callback running on another thread never reads a freed one;
// a path published again reuses it.

namespace {

struct SharedPath {
  GDBusConnection *connection;
  std::string path;
  std::vector<PathEntry> entries;
  guint subtree_id = 0;
};

std::mutex g_paths_mutex;
std::vector<SharedPath *> &shared_paths() {
  static auto *paths = new std::vector<SharedPath *>;
  return *paths;
}

// Paths of a connection that is gone are forgotten (tests connect again).
void forget_connection_paths(gpointer, GObject *gone) {
  std::lock_guard lock(g_paths_mutex);
  std::erase_if(shared_paths(), [gone](SharedPath *shared) {
    if (static_cast<gpointer>(shared->connection) != static_cast<gpointer>(gone)) return false;
    delete shared;
    return true;
  });
}

SharedPath *find_path_locked(GDBusConnection *connection, const char *path) {
  for (SharedPath *shared : shared_paths())
    if (shared->connection == connection && shared->path == path) return shared;
  return nullptr;
}

SharedPath *shared_path_locked(GDBusConnection *connection, const char *path) {
  if (SharedPath *found = find_path_locked(connection, path)) return found;
  const bool first_of_connection =
      std::none_of(shared_paths().begin(), shared_paths().end(),
                   [connection](SharedPath *shared) { return shared->connection == connection; });
  if (first_of_connection) g_object_weak_ref(G_OBJECT(connection), forget_connection_paths, nullptr);
  shared_paths().push_back(new SharedPath{connection, path, {}});
  return shared_paths().back();
}

GDBusInterfaceInfo *entry_interface(const PathEntry &entry, const char *path) {
  return entry.serving != nullptr ? entry.serving(entry.declaration, entry.declared, path)
                                  : entry.declared;
}

SharedPath &subtree_path(gpointer user_data) { return *static_cast<SharedPath *>(user_data); }

gchar **path_enumerate(GDBusConnection *, const gchar *, const gchar *, gpointer) {
  return g_new0(gchar *, 1);
}

GDBusInterfaceInfo **path_introspect(GDBusConnection *, const gchar *, const gchar *path,
                                     const gchar *node, gpointer user_data) {
  if (node != nullptr) return nullptr;
  GPtrArray *infos = g_ptr_array_new();
  {
    std::lock_guard lock(g_paths_mutex);
    for (const PathEntry &entry : subtree_path(user_data).entries)
      if (GDBusInterfaceInfo *now = entry_interface(entry, path))
        g_ptr_array_add(infos, g_dbus_interface_info_ref(now));
  }
  g_ptr_array_add(infos, g_dbus_interface_info_ref(set_multi_interface()));
  g_ptr_array_add(infos, nullptr);
  return reinterpret_cast<GDBusInterfaceInfo **>(g_ptr_array_free(infos, FALSE));
}

// The entry named `interface_name`, or nullptr.
const PathEntry *entry_named(const SharedPath &shared, const char *interface_name) {
  for (const PathEntry &entry : shared.entries)
    if (g_strcmp0(entry.declared->name, interface_name) == 0) return &entry;
  return nullptr;
}

// The entry serving `interface_name` at `path` now, or nullptr.
const PathEntry *entry_serving(const SharedPath &shared, const char *path,
                               const char *interface_name) {
  const PathEntry *entry = entry_named(shared, interface_name);
  return entry != nullptr && entry_interface(*entry, path) != nullptr ? entry : nullptr;
}

void path_set_multi(GDBusConnection *connection, const gchar *sender, const gchar *path,
                    const gchar *, const gchar *, GVariant *parameters,
                    GDBusMethodInvocation *invocation, gpointer user_data) {
  const gchar *interface_name = nullptr;
  g_variant_get_child(parameters, 0, "&s", &interface_name);
  const GDBusInterfaceVTable *vtable = nullptr;
  gpointer entry_data = nullptr;
  {
    std::lock_guard lock(g_paths_mutex);
    if (const PathEntry *entry = entry_serving(subtree_path(user_data), path, interface_name)) {
      vtable = entry->vtable;
      entry_data = entry->user_data;
    }
  }
  answer_set_multi_call(vtable, entry_data, connection, sender, path, parameters, invocation);
}

const GDBusInterfaceVTable kPathSetMultiVTable = {path_set_multi, nullptr, nullptr, {nullptr}};

const GDBusInterfaceVTable *path_dispatch(GDBusConnection *, const gchar *, const gchar *path,
                                          const gchar *interface_name, const gchar *,
                                          gpointer *out_user_data, gpointer user_data) {
  if (g_strcmp0(interface_name, kIgd1PropertiesInterface) == 0) {
    *out_user_data = user_data;
    return &kPathSetMultiVTable;
  }
  std::lock_guard lock(g_paths_mutex);
  const PathEntry *entry = entry_serving(subtree_path(user_data), path, interface_name);
  if (entry == nullptr) return nullptr;
  *out_user_data = entry->user_data;
  return entry->vtable;
}

const GDBusSubtreeVTable kPathSubtree = {path_enumerate, path_introspect, path_dispatch,
                                         {nullptr}};

}  // namespace

GDBusInterfaceInfo *object_serving(const void *object, GDBusInterfaceInfo *declared,
                                   const char *) {
  return served_interface(*static_cast<const SingleObject *>(object), declared);
}

guint publish_at_path(GDBusConnection *connection, const char *path, PathEntry entry) {
  std::unique_lock lock(g_paths_mutex);
  SharedPath &shared = *shared_path_locked(connection, path);
  if (entry_named(shared, entry.declared->name) != nullptr) return 0;
  if (shared.subtree_id == 0 && entry.serving == nullptr) {
    lock.unlock();
    const guint id = dbus_proxy_object_reg(connection, path, entry.declared, entry.vtable,
                                           entry.user_data, nullptr, nullptr);
    lock.lock();
    if (id == 0) return 0;
    entry.plain_id = id;
    shared.entries.push_back(entry);
    return id;
  }
  // The path becomes (or is) a subtree: plain registrations give way to it.
  std::vector<guint> plain;
  for (PathEntry &earlier : shared.entries) {
    if (earlier.plain_id != 0) plain.push_back(earlier.plain_id);
    earlier.plain_id = 0;
  }
  shared.entries.push_back(entry);
  if (shared.subtree_id != 0) return shared.subtree_id;
  lock.unlock();
  for (guint id : plain) dbus_proxy_object_unreg(connection, id);
  const guint id = dbus_proxy_subtree_reg(connection, path, &kPathSubtree,
                                          G_DBUS_SUBTREE_FLAGS_NONE, &shared, nullptr, nullptr);
  lock.lock();
  shared.subtree_id = id;
  return id;
}

void withdraw_path(GDBusConnection *connection, const char *path) {
  std::vector<guint> plain;
  guint subtree = 0;
  {
    std::lock_guard lock(g_paths_mutex);
    SharedPath *shared = find_path_locked(connection, path);
    if (shared == nullptr) return;
    for (const PathEntry &entry : shared->entries)
      if (entry.plain_id != 0) plain.push_back(entry.plain_id);
    shared->entries.clear();
    subtree = std::exchange(shared->subtree_id, 0);
  }
  for (guint id : plain) dbus_proxy_object_unreg(connection, id);
  if (subtree != 0) dbus_proxy_subtree_unreg(connection, subtree);
}

}  // namespace igd1
