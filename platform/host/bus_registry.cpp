// The host's registry of everything the library publishes on the bus.
//
// The library never registers with GDBus itself: it hands each object
// (path, interface, vtable, user data, free function), each subtree and each
// object manager to the host (dbus_proxy_object_reg and its kin), and the
// host registers them on its connection.  The registry is what lets the
// host
//  - serve the multi-property write: every path that carries a module
//    interface also answers com.wqx.igd1.Properties.SetMulti(s interface,
//    a{sv} properties), which reaches the fourth vtable slot of the named
//    interface, on plain objects and on the children of attached managers;
//  - serve com.wqx.igd1.ObjectManager on a manager's path, and
//    GetManagedObjects itself where the module builds the listing;
//  - publish the same objects again, with the library's state untouched,
//    on a new connection after the old one was lost (move_registrations).
//
// The library holds registration ids of the host's, which stay valid across
// connections.  Calls into the library (handlers, subtree callbacks, free
// functions) are never made while the registry's lock is held.
//
// Method handlers of the library answer before they return, or keep the
// call to answer it later (dbus_proxy_invocation_keep).  A call that a
// handler neither answers nor keeps (for example a method of another service
// type) is answered here with UnknownMethod, so that no caller waits for its
// time-out.
#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dbus_vtable.h"
#include "host.h"

namespace igd1::host {
namespace {

// The manager interface in two forms: with or without RemoveAllObjects.
#define IGD1_MANAGER_METHODS                        \
  "    <method name='AddObject'>"                   \
  "      <arg name='object_path' type='o' direction='out'/>" \
  "    </method>"                                   \
  "    <method name='DeleteObject'>"                \
  "      <arg name='object_path' type='o' direction='in'/>" \
  "    </method>"
// A manager that removes all its objects says so in a property that reads true.
#define IGD1_REMOVE_ALL \
  "    <method name='RemoveAllObjects'/><property name='RemoveAllObjects' type='b' access='read'>" \
  "      <annotation name='org.freedesktop.DBus.Property.EmitsChangedSignal' value='false'/>" \
  "    </property>"
// The interface named kIgd1ObjectManagerInterface.
#define IGD1_MANAGER(methods) "<interface name='com.wqx.igd1.ObjectManager'>" methods "</interface>"

constexpr char kFreedesktopObjectManager[] = "org.freedesktop.DBus.ObjectManager";

// The standard manager interface, for managers whose module answers
// GetManagedObjects: the host serves it on their path in place of GDBus.
constexpr char kObjectManagerXml[] =
    "<node>" IGD1_MANAGER(IGD1_MANAGER_METHODS) IGD1_MANAGER(IGD1_MANAGER_METHODS IGD1_REMOVE_ALL)
    "<interface name='org.freedesktop.DBus.ObjectManager'>"
    "  <method name='GetManagedObjects'>"
    "    <arg name='object_paths_interfaces_and_properties' type='a{oa{sa{sv}}}' direction='out'/>"
    "  </method>"
    "  <signal name='InterfacesAdded'>"
    "    <arg name='object_path' type='o'/>"
    "    <arg name='interfaces_and_properties' type='a{sa{sv}}'/>"
    "  </signal>"
    "  <signal name='InterfacesRemoved'>"
    "    <arg name='object_path' type='o'/>"
    "    <arg name='interfaces' type='as'/>"
    "  </signal>"
    "</interface></node>";

GDBusInterfaceInfo *properties_interface() {
  static GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(kIgd1PropertiesXml, nullptr);
  return node->interfaces[0];
}

GDBusNodeInfo *manager_node() {
  static GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(kObjectManagerXml, nullptr);
  return node;
}
GDBusInterfaceInfo *manager_interface(bool with_remove_all) {
  return manager_node()->interfaces[with_remove_all ? 1 : 0];
}
GDBusInterfaceInfo *freedesktop_manager_interface() { return manager_node()->interfaces[2]; }

// ---- the records ---------------------------------------------------------------

// One interface on one path, or one subtree, as the library handed it over.
struct Registration {
  guint id;  // the library's handle
  bool subtree;
  std::string path;
  GDBusInterfaceInfo *info;  // a reference of ours (objects)
  const GDBusInterfaceVTable *vtable;
  GDBusInterfaceVTable guarded;  // what GDBus is given for an object with methods
  GDBusSubtreeVTable subtree_vtable;
  GDBusSubtreeFlags flags;
  gpointer user_data;
  GDestroyNotify user_data_free;
  guint bus_id = 0;  // GDBus's registration on the current connection
};

// An interface served at a path, found by the multi-property write.
struct Served {
  std::string interface_name;
  const GDBusInterfaceVTable *vtable;
  gpointer user_data;
  guint id;  // the registration's, 0 for a child of a manager
};

struct PathRecord {
  std::vector<Served> interfaces;
  guint properties_id = 0;  // our com.wqx.igd1.Properties
};

// The module's manager handler, and its GetManagedObjects and
// RemoveAllObjects handlers.
struct ManagerHandlers {
  GDBusInterfaceMethodCallFunc methods;
  GDBusInterfaceMethodCallFunc get_managed_objects;
  GDBusInterfaceMethodCallFunc remove_all;
  gpointer user_data;
};

// An object manager attached through the host.
struct Manager {
  GDBusObjectManagerServer *manager;  // a reference of ours
  std::string path;
  // Without a vtable the manager is GDBus's alone: no methods of ours and
  // no multi-property write on its children.
  bool plain;
  ManagerHandlers handlers;
  guint methods_id = 0;  // com.wqx.igd1.ObjectManager
  guint listing_id = 0;  // org.freedesktop.DBus.ObjectManager, when the module answers it
};

bool serves_listing(const Manager &m) { return m.handlers.get_managed_objects != nullptr; }

std::mutex g_mutex;
GDBusConnection *g_connection = nullptr;  // where everything is published now
guint g_last_id = 0;
std::unordered_map<guint, std::unique_ptr<Registration>> g_registrations;
struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
};
std::unordered_map<std::string, PathRecord, StringHash, std::equal_to<>> g_paths;
std::vector<std::unique_ptr<Manager>> g_managers;

PathRecord *path_locked(std::string_view path) {
  auto found = g_paths.find(path);
  return found != g_paths.end() ? &found->second : nullptr;
}

// ---- unanswered calls ----------------------------------------------------------

void return_not_served(GDBusMethodInvocation *invocation, const gchar *object_path,
                       const gchar *interface_name, const gchar *method_name) {
  g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                        "Method %s of interface %s is not served on %s",
                                        method_name, interface_name, object_path);
}

// A call its handler returned from without keeping it, looked at again
// once GDBus has let go of it: an answer released it by then, so one that
// is still there was never answered.
struct AnswerWatch {
  GWeakRef invocation;
  std::string path, interface_name, method_name;
};

gboolean check_answered(gpointer data) {
  auto *watch = static_cast<AnswerWatch *>(data);
  auto *left = static_cast<GDBusMethodInvocation *>(g_weak_ref_get(&watch->invocation));
  if (left == nullptr) return G_SOURCE_REMOVE;
  host_log(LOG_LEVEL_WARN, "%s.%s on %s was not answered", watch->interface_name.c_str(),
           watch->method_name.c_str(), watch->path.c_str());
  // Takes the reference the handler left behind.
  return_not_served(left, watch->path.c_str(), watch->interface_name.c_str(),
                    watch->method_name.c_str());
  g_object_unref(left);
  return G_SOURCE_REMOVE;
}

// Runs a library method handler.  A call the handler kept is its own; any
// other must be answered when the handler returns, which the watch checks
// right after GDBus's dispatch of the call (it holds the invocation until
// then).  The watch holds no reference of its own.
void call_answered(GDBusInterfaceMethodCallFunc handler, GDBusConnection *connection,
                   const gchar *sender, const gchar *object_path, const gchar *interface_name,
                   const gchar *method_name, GVariant *parameters,
                   GDBusMethodInvocation *invocation, gpointer user_data) {
  auto *watch = new AnswerWatch{{}, object_path, interface_name, method_name};
  g_weak_ref_init(&watch->invocation, invocation);
  handler(connection, sender, object_path, interface_name, method_name, parameters, invocation,
          user_data);
  auto *still = static_cast<GDBusMethodInvocation *>(g_weak_ref_get(&watch->invocation));
  const bool kept = still != nullptr && is_kept(still);
  if (still != nullptr) g_object_unref(still);
  auto free_watch = [](gpointer data) {
    auto *w = static_cast<AnswerWatch *>(data);
    g_weak_ref_clear(&w->invocation);
    delete w;
  };
  if (kept || still == nullptr) {
    free_watch(watch);
    return;
  }
  g_idle_add_full(G_PRIORITY_HIGH, check_answered, watch, free_watch);
}

void guarded_method_call(GDBusConnection *connection, const gchar *sender,
                         const gchar *object_path, const gchar *interface_name,
                         const gchar *method_name, GVariant *parameters,
                         GDBusMethodInvocation *invocation, gpointer data) {
  auto *r = static_cast<Registration *>(data);
  call_answered(r->vtable->method_call, connection, sender, object_path, interface_name,
                method_name, parameters, invocation, r->user_data);
}

GVariant *guarded_get_property(GDBusConnection *connection, const gchar *sender,
                               const gchar *object_path, const gchar *interface_name,
                               const gchar *property_name, GError **error, gpointer data) {
  auto *r = static_cast<Registration *>(data);
  return r->vtable->get_property(connection, sender, object_path, interface_name, property_name,
                                 error, r->user_data);
}

gboolean guarded_set_property(GDBusConnection *connection, const gchar *sender,
                              const gchar *object_path, const gchar *interface_name,
                              const gchar *property_name, GVariant *value, GError **error,
                              gpointer data) {
  auto *r = static_cast<Registration *>(data);
  return r->vtable->set_property(connection, sender, object_path, interface_name, property_name,
                                 value, error, r->user_data);
}

// ---- the multi-property write --------------------------------------------------

bool find_served(const char *path, const char *interface_name, Served *found) {
  std::lock_guard lock(g_mutex);
  const PathRecord *record = path_locked(path);
  if (record == nullptr) return false;
  for (const Served &s : record->interfaces) {
    if (s.interface_name == interface_name) {
      *found = s;
      return true;
    }
  }
  return false;
}

void handle_properties_call(GDBusConnection *connection, const gchar *sender,
                            const gchar *object_path, const gchar *, const gchar *method_name,
                            GVariant *parameters, GDBusMethodInvocation *invocation, gpointer) {
  if (g_strcmp0(method_name, kIgd1SetMultiMethod) != 0) {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                          "No such method %s", method_name);
    return;
  }
  // Taken apart without a format string: parsing "(&s@a{sv})" costs more
  // than the rest of the dispatch.  GDBus has checked the signature.
  g_autoptr(GVariant) interface_value = g_variant_get_child_value(parameters, 0);
  g_autoptr(GVariant) properties = g_variant_get_child_value(parameters, 1);
  const gchar *interface_name = g_variant_get_string(interface_value, nullptr);

  Served target{};
  if (!find_served(object_path, interface_name, &target)) {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                          "No such interface %s on object at path %s",
                                          interface_name, object_path);
    return;
  }
  Igd1SetMultiPropertiesFunc handler = igd1_set_multi_handler(target.vtable);
  if (handler == nullptr) {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_NOT_SUPPORTED,
                                          "Interface %s does not write several properties",
                                          interface_name);
    return;
  }
  // The write was accepted as a whole; what a single entry reported stays
  // in the log.
  igd1_answer_set_multi(handler, connection, sender, object_path, interface_name, properties,
                        target.user_data, invocation,
                        [](const gchar *path, const gchar *interface, GError *error) {
                          host_log(LOG_LEVEL_WARN, "SetMulti %s on %s: %s", interface, path,
                                   error->message);
                          g_error_free(error);
                        });
}

const GDBusInterfaceVTable kPropertiesVTable = {handle_properties_call, nullptr, nullptr, {nullptr}};

guint register_properties(GDBusConnection *connection, const std::string &path) {
  if (connection == nullptr) return 0;
  return g_dbus_connection_register_object(connection, path.c_str(), properties_interface(),
                                           &kPropertiesVTable, nullptr, nullptr, nullptr);
}

// Records an interface at `path`; the Properties object comes with the
// first one that has handlers.  Called with the lock held.
void add_served_locked(const std::string &path, Served served) {
  PathRecord &record = g_paths[path];
  if (served.vtable != nullptr && record.properties_id == 0)
    record.properties_id = register_properties(g_connection, path);
  record.interfaces.push_back(std::move(served));
}

// Drops the interfaces at `path` that `remove` selects, and the Properties
// object once nothing with handlers is left.  Called with the lock held.
template <typename Predicate>
void remove_served_locked(const std::string &path, Predicate remove) {
  auto found = g_paths.find(path);
  if (found == g_paths.end()) return;
  PathRecord &record = found->second;
  std::erase_if(record.interfaces, remove);
  const bool handlers_left = std::any_of(record.interfaces.begin(), record.interfaces.end(),
                                         [](const Served &s) { return s.vtable != nullptr; });
  if (!handlers_left && record.properties_id != 0) {
    if (g_connection != nullptr) g_dbus_connection_unregister_object(g_connection, record.properties_id);
    record.properties_id = 0;
  }
  if (record.interfaces.empty()) g_paths.erase(found);
}

// ---- objects and subtrees ------------------------------------------------------
//
// The registry changes only on the main loop's thread; the notification
// thread reads it under the lock.  GDBus calls that may reach library code
// (a skeleton's info, vtable and properties are the library's) are made
// with the lock released.

// Registers `r` with GDBus on `connection`; GDBus calls nothing of the
// library while it registers.
guint publish(GDBusConnection *connection, Registration &r, GError **error) {
  if (connection == nullptr) return 0;
  if (r.subtree)
    return g_dbus_connection_register_subtree(connection, r.path.c_str(), &r.subtree_vtable,
                                              r.flags, r.user_data, nullptr, error);
  if (r.vtable != nullptr && r.vtable->method_call != nullptr)
    return g_dbus_connection_register_object(connection, r.path.c_str(), r.info, &r.guarded, &r,
                                             nullptr, error);
  return g_dbus_connection_register_object(connection, r.path.c_str(), r.info, r.vtable,
                                           r.user_data, nullptr, error);
}

void withdraw(GDBusConnection *connection, const Registration &r) {
  if (connection == nullptr || r.bus_id == 0) return;
  if (r.subtree)
    g_dbus_connection_unregister_subtree(connection, r.bus_id);
  else
    g_dbus_connection_unregister_object(connection, r.bus_id);
}

GDBusConnection *connection_now() {
  std::lock_guard lock(g_mutex);
  return g_connection;
}

guint add_registration(std::unique_ptr<Registration> r, GError **error) {
  GDBusConnection *connection = connection_now();
  if (connection == nullptr) {
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_NOT_CONNECTED, "the host has no bus connection");
    return 0;
  }
  r->bus_id = publish(connection, *r, error);
  if (r->bus_id == 0) return 0;
  std::lock_guard lock(g_mutex);
  r->id = ++g_last_id;
  // Interfaces without handlers (the root marker) have nothing to write.
  if (!r->subtree) add_served_locked(r->path, {r->info->name, r->vtable, r->user_data, r->id});
  const guint id = r->id;
  g_registrations.emplace(id, std::move(r));
  return id;
}

// Takes the registration out of the registry and off the bus; the caller
// releases what the library gave with it.
std::unique_ptr<Registration> take_registration(guint id, bool subtree) {
  std::unique_ptr<Registration> r;
  GDBusConnection *connection = nullptr;
  {
    std::lock_guard lock(g_mutex);
    auto found = g_registrations.find(id);
    if (found == g_registrations.end() || found->second->subtree != subtree) return nullptr;
    r = std::move(found->second);
    g_registrations.erase(found);
    if (!subtree) remove_served_locked(r->path, [id](const Served &s) { return s.id == id; });
    connection = g_connection;
  }
  withdraw(connection, *r);
  return r;
}

void release(std::unique_ptr<Registration> r) {
  if (r == nullptr) return;
  if (r->info != nullptr) g_dbus_interface_info_unref(r->info);
  if (r->user_data_free != nullptr) r->user_data_free(r->user_data);
}

// ---- children of object managers -----------------------------------------------

template <typename Visit>
void each_skeleton(GDBusObject *object, Visit visit) {
  GList *interfaces = g_dbus_object_get_interfaces(object);
  for (GList *l = interfaces; l != nullptr; l = l->next)
    if (G_IS_DBUS_INTERFACE_SKELETON(l->data)) visit(G_DBUS_INTERFACE_SKELETON(l->data));
  g_list_free_full(interfaces, g_object_unref);
}

template <typename Visit>
void each_child(GDBusObjectManagerServer *manager, Visit visit) {
  GList *objects = g_dbus_object_manager_get_objects(G_DBUS_OBJECT_MANAGER(manager));
  for (GList *l = objects; l != nullptr; l = l->next) visit(G_DBUS_OBJECT(l->data));
  g_list_free_full(objects, g_object_unref);
}

// The child's interfaces, as the multi-property write finds them.
struct Child {
  std::string path;
  std::vector<Served> interfaces;
};

Child child_of(GDBusObject *object) {
  Child child{g_dbus_object_get_object_path(object), {}};
  each_skeleton(object, [&](GDBusInterfaceSkeleton *skeleton) {
    GDBusInterfaceInfo *info = g_dbus_interface_skeleton_get_info(skeleton);
    // GDBus hands each skeleton's handlers the skeleton itself.
    if (info != nullptr)
      child.interfaces.push_back({info->name, g_dbus_interface_skeleton_get_vtable(skeleton), skeleton, 0});
  });
  return child;
}

std::vector<Child> children_of(GDBusObjectManagerServer *manager) {
  std::vector<Child> children;
  each_child(manager, [&](GDBusObject *object) { children.push_back(child_of(object)); });
  return children;
}

void track(std::vector<Child> children) {
  std::lock_guard lock(g_mutex);
  for (Child &child : children)
    for (Served &served : child.interfaces) add_served_locked(child.path, std::move(served));
}

void untrack_locked(const std::string &path) {
  remove_served_locked(path, [](const Served &s) { return s.id == 0; });
}

// A manager whose module answers GetManagedObjects is not attached to the
// connection (GDBus would serve the listing there); the host exports its
// children's interfaces and announces them as GDBus would.
void export_child(GDBusConnection *connection, GDBusObject *object) {
  each_skeleton(object, [&](GDBusInterfaceSkeleton *skeleton) {
    g_autoptr(GError) error = nullptr;
    if (!g_dbus_interface_skeleton_export(skeleton, connection, g_dbus_object_get_object_path(object), &error))
      host_log(LOG_LEVEL_ERROR, "cannot export %s: %s", g_dbus_object_get_object_path(object),
               error->message);
  });
}

void unexport_child(GDBusConnection *connection, GDBusObject *object) {
  each_skeleton(object, [&](GDBusInterfaceSkeleton *skeleton) {
    if (g_dbus_interface_skeleton_has_connection(skeleton, connection))
      g_dbus_interface_skeleton_unexport_from_connection(skeleton, connection);
  });
}

void announce_child(GDBusConnection *connection, const std::string &manager_path, GDBusObject *object,
                    bool added) {
  GVariantBuilder interfaces;
  g_variant_builder_init(&interfaces, added ? G_VARIANT_TYPE("a{sa{sv}}") : G_VARIANT_TYPE("as"));
  each_skeleton(object, [&](GDBusInterfaceSkeleton *skeleton) {
    const char *name = g_dbus_interface_skeleton_get_info(skeleton)->name;
    if (added)
      g_variant_builder_add(&interfaces, "{s@a{sv}}", name, g_dbus_interface_skeleton_get_properties(skeleton));
    else
      g_variant_builder_add(&interfaces, "s", name);
  });
  const char *path = g_dbus_object_get_object_path(object);
  GVariant *body = added ? g_variant_new("(o@a{sa{sv}})", path, g_variant_builder_end(&interfaces))
                         : g_variant_new("(o@as)", path, g_variant_builder_end(&interfaces));
  g_dbus_connection_emit_signal(connection, nullptr, manager_path.c_str(), kFreedesktopObjectManager,
                                added ? "InterfacesAdded" : "InterfacesRemoved", body, nullptr);
}

// ---- the manager path ------------------------------------------------------------

void handle_manager_call(GDBusConnection *connection, const gchar *sender,
                         const gchar *object_path, const gchar *interface_name,
                         const gchar *method_name, GVariant *parameters,
                         GDBusMethodInvocation *invocation, gpointer data) {
  auto *handlers = static_cast<ManagerHandlers *>(data);
  GDBusInterfaceMethodCallFunc handler =
      g_strcmp0(method_name, "GetManagedObjects") == 0  ? handlers->get_managed_objects
      : g_strcmp0(method_name, "RemoveAllObjects") == 0 ? handlers->remove_all
                                                        : handlers->methods;
  if (handler == nullptr) {
    return_not_served(invocation, object_path, interface_name, method_name);
    return;
  }
  call_answered(handler, connection, sender, object_path, interface_name, method_name,
                parameters, invocation, handlers->user_data);
}

// The only manager property is RemoveAllObjects, declared where it is served.
GVariant *read_manager_property(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                                const gchar *, GError **, gpointer) {
  return g_variant_new_boolean(TRUE);
}

const GDBusInterfaceVTable kManagerVTable = {handle_manager_call, read_manager_property, nullptr,
                                             {nullptr}};

// Puts the manager and its children on `connection`.
void publish_manager(GDBusConnection *connection, Manager &m) {
  if (m.plain) {
    g_dbus_object_manager_server_set_connection(m.manager, connection);
    return;
  }
  g_autoptr(GError) error = nullptr;
  m.methods_id = g_dbus_connection_register_object(
      connection, m.path.c_str(), manager_interface(m.handlers.remove_all != nullptr),
      &kManagerVTable, &m.handlers, nullptr, &error);
  if (m.methods_id == 0)
    host_log(LOG_LEVEL_ERROR, "cannot serve %s on %s: %s", kIgd1ObjectManagerInterface,
             m.path.c_str(), error->message);
  if (!serves_listing(m)) {
    g_dbus_object_manager_server_set_connection(m.manager, connection);
    return;
  }
  g_clear_error(&error);
  m.listing_id = g_dbus_connection_register_object(connection, m.path.c_str(),
                                                   freedesktop_manager_interface(), &kManagerVTable,
                                                   &m.handlers, nullptr, &error);
  if (m.listing_id == 0)
    host_log(LOG_LEVEL_ERROR, "cannot serve %s on %s: %s", kFreedesktopObjectManager,
             m.path.c_str(), error->message);
  each_child(m.manager, [&](GDBusObject *child) { export_child(connection, child); });
}

void withdraw_manager(GDBusConnection *connection, Manager &m) {
  if (connection == nullptr) return;
  if (m.methods_id != 0) g_dbus_connection_unregister_object(connection, m.methods_id);
  if (m.listing_id != 0) g_dbus_connection_unregister_object(connection, m.listing_id);
  m.methods_id = m.listing_id = 0;
  if (m.plain || !serves_listing(m))
    g_dbus_object_manager_server_set_connection(m.manager, nullptr);
  else
    each_child(m.manager, [&](GDBusObject *child) { unexport_child(connection, child); });
}

Manager *find_manager(GDBusObjectManagerServer *manager) {
  std::lock_guard lock(g_mutex);
  for (auto &m : g_managers)
    if (m->manager == manager) return m.get();
  return nullptr;
}

void attach_manager(GDBusObjectManagerServer *manager, const GDBusInterfaceVTable *vtable,
                    gpointer user_data) {
  GDBusConnection *connection = connection_now();
  if (find_manager(manager) != nullptr || connection == nullptr) return;
  auto m = std::make_unique<Manager>();
  m->manager = G_DBUS_OBJECT_MANAGER_SERVER(g_object_ref(manager));
  m->path = g_dbus_object_manager_get_object_path(G_DBUS_OBJECT_MANAGER(manager));
  m->plain = vtable == nullptr;
  m->handlers = {vtable != nullptr ? vtable->method_call : nullptr,
                 igd1_get_managed_objects_handler(vtable), igd1_remove_all_objects_handler(vtable),
                 user_data};
  publish_manager(connection, *m);
  // Children exported before the manager was attached.
  if (!m->plain) track(children_of(manager));
  std::lock_guard lock(g_mutex);
  g_managers.push_back(std::move(m));
}

void detach_manager(GDBusObjectManagerServer *manager) {
  std::unique_ptr<Manager> m;
  GDBusConnection *connection = nullptr;
  std::vector<Child> children;
  if (Manager *found = find_manager(manager); found != nullptr && !found->plain)
    children = children_of(manager);
  {
    std::lock_guard lock(g_mutex);
    auto found = std::find_if(g_managers.begin(), g_managers.end(),
                              [&](const auto &each) { return each->manager == manager; });
    if (found == g_managers.end()) return;
    m = std::move(*found);
    g_managers.erase(found);
    for (const Child &child : children) untrack_locked(child.path);
    connection = g_connection;
  }
  withdraw_manager(connection, *m);
  g_object_unref(m->manager);
}

void export_object(GDBusObjectManagerServer *manager, GDBusObjectSkeleton *object) {
  g_dbus_object_manager_server_export(manager, object);
  Manager *m = find_manager(manager);
  if (m == nullptr || m->plain) return;
  track({child_of(G_DBUS_OBJECT(object))});
  GDBusConnection *connection = connection_now();
  if (serves_listing(*m) && connection != nullptr) {
    export_child(connection, G_DBUS_OBJECT(object));
    announce_child(connection, m->path, G_DBUS_OBJECT(object), true);
  }
}

bool unexport_object(GDBusObjectManagerServer *manager, const gchar *object_path) {
  Manager *m = find_manager(manager);
  if (m != nullptr && !m->plain) {
    {
      std::lock_guard lock(g_mutex);
      untrack_locked(object_path);
    }
    g_autoptr(GDBusObject) child =
        g_dbus_object_manager_get_object(G_DBUS_OBJECT_MANAGER(manager), object_path);
    GDBusConnection *connection = connection_now();
    if (child != nullptr && serves_listing(*m) && connection != nullptr) {
      unexport_child(connection, child);
      announce_child(connection, m->path, child, false);
    }
  }
  return g_dbus_object_manager_server_unexport(manager, object_path);
}

// ---- subtrees, read from other threads --------------------------------------------

struct SubtreeView {
  std::string path;
  GDBusSubtreeVTable vtable;
  GDBusSubtreeFlags flags;
  gpointer user_data;
};

std::vector<SubtreeView> subtrees() {
  std::vector<SubtreeView> views;
  std::lock_guard lock(g_mutex);
  for (const auto &[id, r] : g_registrations)
    if (r->subtree) views.push_back({r->path, r->subtree_vtable, r->flags, r->user_data});
  return views;
}

// The subtree serving `path` and the node it names there (empty at the
// root).  Asks the library's enumerate callbacks, so never under the lock.
bool subtree_of(GDBusConnection *connection, std::string_view path, SubtreeView *serving,
                std::string *node) {
  for (SubtreeView &subtree : subtrees()) {
    if (path == subtree.path) {
      node->clear();
      *serving = std::move(subtree);
      return true;
    }
    if (path.size() <= subtree.path.size() + 1 || !path.starts_with(subtree.path) ||
        path[subtree.path.size()] != '/')
      continue;
    std::string_view name = path.substr(subtree.path.size() + 1);
    if (name.find('/') != std::string_view::npos) continue;
    bool listed = (subtree.flags & G_DBUS_SUBTREE_FLAGS_DISPATCH_TO_UNENUMERATED_NODES) != 0;
    if (!listed && subtree.vtable.enumerate != nullptr) {
      g_auto(GStrv) nodes =
          subtree.vtable.enumerate(connection, nullptr, subtree.path.c_str(), subtree.user_data);
      for (gchar **n = nodes; n != nullptr && *n != nullptr && !listed; ++n) listed = name == *n;
    }
    if (!listed) continue;
    node->assign(name);
    *serving = std::move(subtree);
    return true;
  }
  return false;
}

bool current_connection(GDBusConnection *connection) {
  std::lock_guard lock(g_mutex);
  return connection != nullptr && connection == g_connection;
}

}  // namespace

// ---- the host's side ----------------------------------------------------------------

void publish_on(GDBusConnection *connection) {
  std::lock_guard lock(g_mutex);
  g_connection = connection;
}

void move_registrations(GDBusConnection *connection) {
  GDBusConnection *old = nullptr;
  std::vector<Registration *> registrations;
  std::vector<Manager *> managers;
  {
    std::lock_guard lock(g_mutex);
    old = g_connection;
    g_connection = connection;
    for (auto &[id, r] : g_registrations) registrations.push_back(r.get());
    for (auto &m : g_managers) managers.push_back(m.get());
    // The Properties objects move with the lock held: GDBus calls nothing
    // of the library for them.
    for (auto &[path, record] : g_paths) {
      if (old != nullptr && record.properties_id != 0)
        g_dbus_connection_unregister_object(old, record.properties_id);
      const bool handlers = std::any_of(record.interfaces.begin(), record.interfaces.end(),
                                        [](const Served &s) { return s.vtable != nullptr; });
      record.properties_id = handlers ? register_properties(connection, path) : 0;
    }
  }
  // Everything leaves the old connection first: GDBus keeps the
  // registrations of a closed connection until they are withdrawn.  Then
  // they come back in the order the library made them (a subtree before
  // the objects registered below it later).
  for (Manager *m : managers) withdraw_manager(old, *m);
  std::sort(registrations.begin(), registrations.end(), [](auto *a, auto *b) { return a->id < b->id; });
  for (Registration *r : registrations) {
    withdraw(old, *r);
    g_autoptr(GError) error = nullptr;
    r->bus_id = publish(connection, *r, &error);
    if (r->bus_id == 0)
      host_log(LOG_LEVEL_ERROR, "cannot publish %s again: %s", r->path.c_str(),
               error != nullptr ? error->message : "");
  }
  for (Manager *m : managers) publish_manager(connection, *m);
}

void drop_registrations() {
  std::vector<std::unique_ptr<Registration>> dropped;
  std::vector<std::unique_ptr<Manager>> managers;
  GDBusConnection *connection = nullptr;
  {
    std::lock_guard lock(g_mutex);
    connection = g_connection;
    for (auto &[id, r] : g_registrations) dropped.push_back(std::move(r));
    g_registrations.clear();
    for (auto &[path, record] : g_paths)
      if (connection != nullptr && record.properties_id != 0)
        g_dbus_connection_unregister_object(connection, record.properties_id);
    g_paths.clear();
    managers = std::move(g_managers);
    g_managers.clear();
    g_connection = nullptr;
  }
  // A manager stays with the connection it was on: its children go with it.
  for (auto &m : managers) g_object_unref(m->manager);
  for (auto &r : dropped) {
    withdraw(connection, *r);
    release(std::move(r));
  }
}

bool has_registration(GDBusConnection *connection, const char *path) {
  if (path == nullptr || !current_connection(connection)) return false;
  {
    std::lock_guard lock(g_mutex);
    if (path_locked(path) != nullptr) return true;
  }
  SubtreeView subtree;
  std::string node;
  return subtree_of(connection, path, &subtree, &node);
}

bool served_at(GDBusConnection *connection, const char *path, const char *interface_name,
               GDBusInterfaceInfo **interface) {
  *interface = nullptr;
  if (path == nullptr || !current_connection(connection)) return false;
  {
    std::lock_guard lock(g_mutex);
    if (const PathRecord *record = path_locked(path)) {
      for (const Served &served : record->interfaces) {
        if (served.interface_name != interface_name) continue;
        // A registration's own interface, or a manager child's skeleton's,
        // which the manager keeps while the child is tracked.
        auto found = g_registrations.find(served.id);
        GDBusInterfaceInfo *info =
            served.id != 0 ? (found != g_registrations.end() ? found->second->info : nullptr)
                           : g_dbus_interface_skeleton_get_info(
                                 G_DBUS_INTERFACE_SKELETON(served.user_data));
        if (info != nullptr) *interface = g_dbus_interface_info_ref(info);
        break;
      }
      return true;
    }
  }
  // A subtree declares what it serves at each request.
  SubtreeView subtree;
  std::string node;
  if (!subtree_of(connection, path, &subtree, &node)) return false;
  if (subtree.vtable.introspect == nullptr) return true;
  GDBusInterfaceInfo **infos = subtree.vtable.introspect(
      connection, nullptr, subtree.path.c_str(), node.empty() ? nullptr : node.c_str(),
      subtree.user_data);
  for (GDBusInterfaceInfo **i = infos; i != nullptr && *i != nullptr; ++i) {
    if (*interface == nullptr && g_strcmp0((*i)->name, interface_name) == 0)
      *interface = g_dbus_interface_info_ref(*i);
    g_dbus_interface_info_unref(*i);
  }
  g_free(infos);
  return true;
}

}  // namespace igd1::host

using namespace igd1::host;

// ---- what the library calls -----------------------------------------------------------

extern "C" void g_dbus_object_manager_server_set_connection_expand(
    GDBusObjectManagerServer *manager, GDBusConnection *connection,
    const GDBusInterfaceVTable *vtable, gpointer user_data) {
  if (manager == nullptr) return;
  if (connection == nullptr) return detach_manager(manager);
  attach_manager(manager, vtable, user_data);
}

void dbus_proxy_object_export(GDBusObjectManagerServer *manager, GDBusObjectSkeleton *object) {
  if (manager != nullptr && object != nullptr) export_object(manager, object);
}

gboolean dbus_proxy_object_unexport(GDBusObjectManagerServer *manager, const gchar *object_path) {
  if (manager == nullptr || object_path == nullptr) return FALSE;
  return unexport_object(manager, object_path);
}

guint dbus_proxy_object_reg(GDBusConnection *, const gchar *object_path,
                            GDBusInterfaceInfo *interface_info, const GDBusInterfaceVTable *vtable,
                            gpointer user_data, GDestroyNotify user_data_free, GError **error) {
  if (object_path == nullptr || !g_variant_is_object_path(object_path) || interface_info == nullptr) {
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_ARGUMENT, "no object path or interface");
    return 0;
  }
  auto r = std::make_unique<Registration>();
  r->subtree = false;
  r->path = object_path;
  r->info = g_dbus_interface_info_ref(interface_info);
  r->vtable = vtable;
  r->guarded = {guarded_method_call,
                vtable != nullptr && vtable->get_property != nullptr ? guarded_get_property : nullptr,
                vtable != nullptr && vtable->set_property != nullptr ? guarded_set_property : nullptr,
                {nullptr}};
  r->user_data = user_data;
  r->user_data_free = user_data_free;
  GDBusInterfaceInfo *info = r->info;
  const guint id = add_registration(std::move(r), error);
  // The library's data stays the library's when nothing was registered.
  if (id == 0) g_dbus_interface_info_unref(info);
  return id;
}

gboolean dbus_proxy_object_unreg(GDBusConnection *, guint registration_id) {
  std::unique_ptr<Registration> r = take_registration(registration_id, false);
  if (r == nullptr) return FALSE;
  release(std::move(r));
  return TRUE;
}

guint dbus_proxy_subtree_reg(GDBusConnection *, const gchar *object_path,
                             const GDBusSubtreeVTable *vtable, GDBusSubtreeFlags flags,
                             gpointer user_data, GDestroyNotify user_data_free, GError **error) {
  if (object_path == nullptr || !g_variant_is_object_path(object_path) || vtable == nullptr) {
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_ARGUMENT, "no object path or subtree vtable");
    return 0;
  }
  auto r = std::make_unique<Registration>();
  r->subtree = true;
  r->path = object_path;
  r->info = nullptr;
  r->vtable = nullptr;
  r->guarded = {};
  r->subtree_vtable = *vtable;
  r->flags = flags;
  r->user_data = user_data;
  r->user_data_free = user_data_free;
  return add_registration(std::move(r), error);
}

gboolean dbus_proxy_subtree_unreg(GDBusConnection *, guint registration_id) {
  std::unique_ptr<Registration> r = take_registration(registration_id, true);
  if (r == nullptr) return FALSE;
  release(std::move(r));
  return TRUE;
}
