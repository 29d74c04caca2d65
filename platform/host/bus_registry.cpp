// The host's bus layer for objects the library registers directly.
//
// The library registers its single-instance objects with GDBus's own
// g_dbus_connection_register_object.  The host stands between the two (this
// definition is found before GIO's when the library's symbols are bound) and
// keeps a record of every interface with its vtable, so that it can offer the
// multi-property write: every path that carries a module interface also
// answers com.wqx.igd1.Properties.SetMulti(s interface, a{sv} properties),
// which reaches the fourth vtable slot of the named interface.
//
// Collections publish their children through GDBus object managers, whose
// registrations GIO makes internally; the host stands in front of the
// managers' export and unexport calls instead and gives every child of an
// attached manager the same multi-property write.  The manager itself gets com.wqx.igd1.ObjectManager
// (see g_dbus_object_manager_server_set_connection_expand).
//
// Method handlers of the library answer before they return, or keep the
// call to answer it later (dbus_proxy_invocation_keep).  A call that a
// handler neither answers nor keeps (for example a method of another service
// type) is answered here with UnknownMethod, so that no caller waits for its
// time-out.
#include <dlfcn.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dbus_vtable.h"
#include "host.h"

namespace igd1::host {
namespace {

constexpr char kPropertiesXml[] =
    "<node>"
    "  <interface name='" IGD1_PROPERTIES_INTERFACE "'>"
    "    <method name='" IGD1_SET_MULTI_METHOD "'>"
    "      <arg name='interface_name' type='s' direction='in'/>"
    "      <arg name='properties' type='a{sv}' direction='in'/>"
    "    </method>"
    "    <signal name='" IGD1_PROPERTIES_CHANGED "'>"
    "      <arg name='interface_name' type='s'/>"
    "      <arg name='changed_properties' type='a{sv}'/>"
    "      <arg name='invalidated_properties' type='as'/>"
    "    </signal>"
    "  </interface>"
    "</node>";

// GIO's own definition of a function this file stands in front of, looked
// up once per function.
#define GIO_ORIGINAL(function)                                                       \
  ([] {                                                                              \
    static auto original =                                                           \
        reinterpret_cast<decltype(&::function)>(dlsym(RTLD_NEXT, #function));        \
    return original;                                                                 \
  }())

auto real_register() { return GIO_ORIGINAL(g_dbus_connection_register_object); }
auto real_unregister() { return GIO_ORIGINAL(g_dbus_connection_unregister_object); }
auto real_export() { return GIO_ORIGINAL(g_dbus_object_manager_server_export); }
auto real_unexport() { return GIO_ORIGINAL(g_dbus_object_manager_server_unexport); }
auto real_register_subtree() { return GIO_ORIGINAL(g_dbus_connection_register_subtree); }
auto real_unregister_subtree() { return GIO_ORIGINAL(g_dbus_connection_unregister_subtree); }

// The manager interface in four forms: with or without RemoveAllObjects,
// with or without GetManagedObjects.
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
#define IGD1_GET_MANAGED                                              \
  "    <method name='GetManagedObjects'>"                             \
  "      <arg name='objects' type='a{oa{sa{sv}}}' direction='out'/>" \
  "    </method>"
#define IGD1_MANAGER(methods) "<interface name='" IGD1_OBJECT_MANAGER_INTERFACE "'>" methods "</interface>"

constexpr char kObjectManagerXml[] =
    "<node>" IGD1_MANAGER(IGD1_MANAGER_METHODS) IGD1_MANAGER(IGD1_MANAGER_METHODS IGD1_GET_MANAGED)
        IGD1_MANAGER(IGD1_MANAGER_METHODS IGD1_REMOVE_ALL)
            IGD1_MANAGER(IGD1_MANAGER_METHODS IGD1_REMOVE_ALL IGD1_GET_MANAGED) "</node>";

constexpr char kFreedesktopObjectManager[] = "org.freedesktop.DBus.ObjectManager";

// One interface on one path.  Children of object managers are recorded with
// id 0: GDBus registered them, not us.
struct Registration {
  GDBusConnection *connection;
  std::string path;
  std::string interface_name;
  const GDBusInterfaceVTable *vtable;
  gpointer user_data;
  guint id;
};

// An object manager attached through the host.
struct ManagerAttachment {
  GDBusConnection *connection;
  std::string path;
  GDBusObjectManagerServer *manager;
  guint id;                  // our com.wqx.igd1.ObjectManager registration
  bool answers_get_managed;  // GetManagedObjects goes to the module
};

// The Properties interface exported on one path of one connection.
struct PropertiesObject {
  GDBusConnection *connection;
  std::string path;
  guint id;
};

// The records are found by connection and path (method calls and notices
// look them up on every call), without copying the path asked for.
struct PathKey {
  GDBusConnection *connection;
  std::string path;
};
struct PathKeyView {
  GDBusConnection *connection;
  std::string_view path;
};
struct PathHash {
  using is_transparent = void;
  size_t operator()(const PathKeyView &key) const {
    return std::hash<std::string_view>()(key.path) ^ (std::hash<const void *>()(key.connection) << 1);
  }
  size_t operator()(const PathKey &key) const { return (*this)(PathKeyView{key.connection, key.path}); }
};
struct PathEqual {
  using is_transparent = void;
  template <typename A, typename B>
  bool operator()(const A &a, const B &b) const {
    return a.connection == b.connection && std::string_view(a.path) == std::string_view(b.path);
  }
};
template <typename Value>
using PathMap = std::unordered_map<PathKey, Value, PathHash, PathEqual>;

std::mutex g_mutex;
// The interfaces of each path, in the order they were registered.
PathMap<std::vector<Registration>> g_registrations;
// Where each registration of ours (id > 0) lies.
std::unordered_map<guint, PathKey> g_registration_paths;
PathMap<PropertiesObject> g_properties_objects;
PathMap<std::vector<ManagerAttachment>> g_managers;
// Attached managers whose module answers GetManagedObjects, per connection.
std::unordered_map<GDBusConnection *, int> g_redirecting_managers;

// A subtree the library registered: it publishes its root and the nodes its
// callbacks list, with the interfaces they declare at each request.
struct Subtree {
  GDBusConnection *connection;
  std::string path;
  GDBusSubtreeVTable vtable;
  GDBusSubtreeFlags flags;
  gpointer user_data;
  guint id;
};
std::vector<Subtree> g_subtrees;

// The subtree serving `path` and the node it names there (empty at the root).
const Subtree *subtree_of_locked(GDBusConnection *connection, std::string_view path,
                                 std::string *node) {
  for (const Subtree &subtree : g_subtrees) {
    if (subtree.connection != connection) continue;
    if (path == subtree.path) {
      node->clear();
      return &subtree;
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
    return &subtree;
  }
  return nullptr;
}

void add_registration_locked(const Registration &registration) {
  auto &interfaces = g_registrations[PathKey{registration.connection, registration.path}];
  interfaces.push_back(registration);
  if (registration.id != 0)
    g_registration_paths[registration.id] = PathKey{registration.connection, registration.path};
}

// The interfaces registered at `path`, or nullptr.
std::vector<Registration> *interfaces_locked(GDBusConnection *connection, std::string_view path) {
  auto found = g_registrations.find(PathKeyView{connection, path});
  return found != g_registrations.end() ? &found->second : nullptr;
}

// Drops the interfaces at `path` that `remove` selects.
template <typename Predicate>
void remove_registrations_locked(GDBusConnection *connection, std::string_view path, Predicate remove) {
  auto found = g_registrations.find(PathKeyView{connection, path});
  if (found == g_registrations.end()) return;
  std::erase_if(found->second, [&](const Registration &r) {
    if (!remove(r)) return false;
    if (r.id != 0) g_registration_paths.erase(r.id);
    return true;
  });
  if (found->second.empty()) g_registrations.erase(found);
}

GDBusInterfaceInfo *properties_interface() {
  static GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(kPropertiesXml, nullptr);
  return node->interfaces[0];
}

GDBusInterfaceInfo *object_manager_interface(bool with_get_managed, bool with_remove_all) {
  static GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(kObjectManagerXml, nullptr);
  return node->interfaces[(with_remove_all ? 2 : 0) + (with_get_managed ? 1 : 0)];
}

// ---- unanswered calls ----------------------------------------------------------

guint reference_count(GDBusMethodInvocation *invocation) {
  return g_atomic_int_get(&G_OBJECT(invocation)->ref_count);
}

void return_not_served(GDBusMethodInvocation *invocation, const gchar *object_path,
                       const gchar *interface_name, const gchar *method_name) {
  g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                        "Method %s of interface %s is not served on %s",
                                        method_name, interface_name, object_path);
}

// Runs a library method handler.  Answering a call releases the handler's
// reference to the invocation, so a count that did not drop means that the
// handler returned without an answer, unless it kept the call.  Our own
// reference keeps the invocation alive until the check is done, however
// early a kept call is answered on another thread.
void call_answered(GDBusInterfaceMethodCallFunc handler, GDBusConnection *connection,
                   const gchar *sender, const gchar *object_path, const gchar *interface_name,
                   const gchar *method_name, GVariant *parameters,
                   GDBusMethodInvocation *invocation, gpointer user_data) {
  g_object_ref(invocation);
  guint before = reference_count(invocation);
  handler(connection, sender, object_path, interface_name, method_name, parameters, invocation,
          user_data);
  if (!is_kept(invocation) && reference_count(invocation) >= before) {
    host_log(LOG_LEVEL_WARN, "%s.%s on %s was not answered", interface_name, method_name,
             object_path);
    // Takes the reference the handler kept.
    return_not_served(invocation, object_path, interface_name, method_name);
  }
  g_object_unref(invocation);
}

// A library registration with a method handler, as GDBus sees it.
struct Forward {
  const GDBusInterfaceVTable *vtable;
  gpointer user_data;
  GDestroyNotify user_data_free;
  GDBusInterfaceMethodCallFunc method;  // the handler to guard
  GDBusInterfaceVTable guarded;
};

void forward_method_call(GDBusConnection *connection, const gchar *sender,
                         const gchar *object_path, const gchar *interface_name,
                         const gchar *method_name, GVariant *parameters,
                         GDBusMethodInvocation *invocation, gpointer data) {
  auto *f = static_cast<Forward *>(data);
  call_answered(f->method, connection, sender, object_path, interface_name, method_name,
                parameters, invocation, f->user_data);
}

GVariant *forward_get_property(GDBusConnection *connection, const gchar *sender,
                               const gchar *object_path, const gchar *interface_name,
                               const gchar *property_name, GError **error, gpointer data) {
  auto *f = static_cast<Forward *>(data);
  return f->vtable->get_property(connection, sender, object_path, interface_name, property_name,
                                 error, f->user_data);
}

gboolean forward_set_property(GDBusConnection *connection, const gchar *sender,
                              const gchar *object_path, const gchar *interface_name,
                              const gchar *property_name, GVariant *value, GError **error,
                              gpointer data) {
  auto *f = static_cast<Forward *>(data);
  return f->vtable->set_property(connection, sender, object_path, interface_name, property_name,
                                 value, error, f->user_data);
}

void free_forward(gpointer data) {
  auto *f = static_cast<Forward *>(data);
  if (f->user_data_free != nullptr) f->user_data_free(f->user_data);
  delete f;
}

Forward *new_forward(GDBusInterfaceMethodCallFunc method, const GDBusInterfaceVTable *vtable,
                     gpointer user_data, GDestroyNotify user_data_free) {
  auto *f = new Forward{vtable, user_data, user_data_free, method, {}};
  f->guarded.method_call = forward_method_call;
  if (vtable != nullptr && vtable->get_property != nullptr) f->guarded.get_property = forward_get_property;
  if (vtable != nullptr && vtable->set_property != nullptr) f->guarded.set_property = forward_set_property;
  return f;
}

bool find_registration(GDBusConnection *connection, const char *path, const char *interface_name,
                       Registration *found) {
  std::lock_guard lock(g_mutex);
  const std::vector<Registration> *interfaces = interfaces_locked(connection, path);
  if (interfaces == nullptr) return false;
  for (const Registration &r : *interfaces) {
    if (r.interface_name == interface_name) {
      *found = r;
      return true;
    }
  }
  return false;
}

void handle_properties_call(GDBusConnection *connection, const gchar *sender,
                            const gchar *object_path, const gchar *, const gchar *method_name,
                            GVariant *parameters, GDBusMethodInvocation *invocation, gpointer) {
  if (g_strcmp0(method_name, IGD1_SET_MULTI_METHOD) != 0) {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                          "No such method %s", method_name);
    return;
  }
  // Taken apart without a format string: parsing "(&s@a{sv})" costs more
  // than the rest of the dispatch.  GDBus has checked the signature.
  g_autoptr(GVariant) interface_value = g_variant_get_child_value(parameters, 0);
  g_autoptr(GVariant) owned = g_variant_get_child_value(parameters, 1);
  const gchar *interface_name = g_variant_get_string(interface_value, nullptr);
  GVariant *properties = owned;

  Registration target{};
  if (!find_registration(connection, object_path, interface_name, &target)) {
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

// Called with the lock held.
void export_properties_locked(GDBusConnection *connection, const char *path) {
  if (g_properties_objects.find(PathKeyView{connection, path}) != g_properties_objects.end()) return;
  guint id = real_register()(connection, path, properties_interface(), &kPropertiesVTable, nullptr,
                             nullptr, nullptr);
  if (id > 0) g_properties_objects.emplace(PathKey{connection, path}, PropertiesObject{connection, path, id});
}

// Called with the lock held.  Returns the Properties registration to drop
// when nothing with handlers is left at `path` (0 when something is).
guint release_properties_locked(GDBusConnection *connection, const std::string &path) {
  const std::vector<Registration> *interfaces = interfaces_locked(connection, path);
  if (interfaces != nullptr &&
      std::any_of(interfaces->begin(), interfaces->end(),
                  [](const Registration &r) { return r.vtable != nullptr; }))
    return 0;
  auto p = g_properties_objects.find(PathKeyView{connection, path});
  if (p == g_properties_objects.end()) return 0;
  guint id = p->second.id;
  g_properties_objects.erase(p);
  return id;
}

// ---- children of object managers -----------------------------------------------

constexpr char kAttachedConnection[] = "igd1-host-connection";

GDBusConnection *attached_connection(GDBusObjectManager *manager) {
  return static_cast<GDBusConnection *>(g_object_get_data(G_OBJECT(manager), kAttachedConnection));
}

void track_object(GDBusConnection *connection, GDBusObject *object) {
  const gchar *path = g_dbus_object_get_object_path(object);
  GList *interfaces = g_dbus_object_get_interfaces(object);
  std::lock_guard lock(g_mutex);
  for (GList *l = interfaces; l != nullptr; l = l->next) {
    if (!G_IS_DBUS_INTERFACE_SKELETON(l->data)) continue;
    auto *skeleton = G_DBUS_INTERFACE_SKELETON(l->data);
    GDBusInterfaceInfo *info = g_dbus_interface_skeleton_get_info(skeleton);
    const GDBusInterfaceVTable *vtable = g_dbus_interface_skeleton_get_vtable(skeleton);
    if (info == nullptr) continue;
    // GDBus hands each skeleton's handlers the skeleton itself.
    add_registration_locked({connection, path, info->name, vtable, skeleton, 0});
    if (vtable != nullptr) export_properties_locked(connection, path);
  }
  g_list_free_full(interfaces, g_object_unref);
}

void untrack_object(GDBusConnection *connection, const std::string &path) {
  guint properties_id = 0;
  {
    std::lock_guard lock(g_mutex);
    remove_registrations_locked(connection, path, [](const Registration &r) { return r.id == 0; });
    properties_id = release_properties_locked(connection, path);
  }
  if (properties_id != 0) real_unregister()(connection, properties_id);
}

// ---- the manager path ------------------------------------------------------------

// GetManagedObjects of a manager whose module answers it is renamed on its
// way in to our interface on the same path, where the module's handler
// sits.  Runs on GDBus's worker thread.
GDBusMessage *redirect_get_managed_objects(GDBusConnection *connection, GDBusMessage *message,
                                           gboolean incoming, gpointer) {
  if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL ||
      g_strcmp0(g_dbus_message_get_member(message), "GetManagedObjects") != 0 ||
      g_strcmp0(g_dbus_message_get_interface(message), kFreedesktopObjectManager) != 0) {
    return message;
  }
  const gchar *path = g_dbus_message_get_path(message);
  bool redirect = false;
  if (path != nullptr) {
    std::lock_guard lock(g_mutex);
    auto found = g_managers.find(PathKeyView{connection, path});
    redirect = found != g_managers.end() &&
               std::any_of(found->second.begin(), found->second.end(),
                           [](const ManagerAttachment &m) { return m.answers_get_managed; });
  }
  if (!redirect) return message;
  GDBusMessage *copy = g_dbus_message_copy(message, nullptr);
  g_object_unref(message);
  if (copy != nullptr) g_dbus_message_set_interface(copy, IGD1_OBJECT_MANAGER_INTERFACE);
  return copy;
}

// The module's manager handler, and its GetManagedObjects and
// RemoveAllObjects handlers.
struct ManagerHandlers {
  GDBusInterfaceMethodCallFunc methods;
  GDBusInterfaceMethodCallFunc get_managed_objects;
  GDBusInterfaceMethodCallFunc remove_all;
  gpointer user_data;
};

void handle_manager_call(GDBusConnection *connection, const gchar *sender,
                         const gchar *object_path, const gchar *interface_name,
                         const gchar *method_name, GVariant *parameters,
                         GDBusMethodInvocation *invocation, gpointer data) {
  auto *handlers = static_cast<ManagerHandlers *>(data);
  bool get_managed = g_strcmp0(method_name, "GetManagedObjects") == 0;
  // The module sees the call under the interface its client used.
  const gchar *called_interface = get_managed ? kFreedesktopObjectManager : interface_name;
  GDBusInterfaceMethodCallFunc handler =
      get_managed                                           ? handlers->get_managed_objects
      : g_strcmp0(method_name, "RemoveAllObjects") == 0 ? handlers->remove_all
                                                            : handlers->methods;
  if (handler == nullptr) {
    return_not_served(invocation, object_path, called_interface, method_name);
    return;
  }
  call_answered(handler, connection, sender, object_path, called_interface, method_name,
                parameters, invocation, handlers->user_data);
}

// The only manager property is RemoveAllObjects, declared where it is served.
GVariant *read_manager_property(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                                const gchar *, GError **, gpointer) {
  return g_variant_new_boolean(TRUE);
}

const GDBusInterfaceVTable kManagerVTable = {handle_manager_call, read_manager_property, nullptr,
                                             {nullptr}};

void attach_manager(GDBusObjectManagerServer *manager, GDBusConnection *connection,
                    const GDBusInterfaceVTable *vtable, gpointer user_data) {
  GDBusObjectManager *as_manager = G_DBUS_OBJECT_MANAGER(manager);
  std::string path = g_dbus_object_manager_get_object_path(as_manager);
  GDBusInterfaceMethodCallFunc get_managed = igd1_get_managed_objects_handler(vtable);

  g_object_set_data(G_OBJECT(manager), kAttachedConnection, connection);
  g_dbus_object_manager_server_set_connection(manager, connection);

  GDBusInterfaceMethodCallFunc remove_all = igd1_remove_all_objects_handler(vtable);
  auto *handlers = new ManagerHandlers{vtable != nullptr ? vtable->method_call : nullptr,
                                       get_managed, remove_all, user_data};
  g_autoptr(GError) error = nullptr;
  guint id = real_register()(connection, path.c_str(),
                             object_manager_interface(get_managed != nullptr, remove_all != nullptr),
                             &kManagerVTable, handlers,
                             [](gpointer data) { delete static_cast<ManagerHandlers *>(data); },
                             &error);
  if (id == 0) {
    host_log(LOG_LEVEL_ERROR, "cannot serve %s on %s: %s", IGD1_OBJECT_MANAGER_INTERFACE,
             path.c_str(), error != nullptr ? error->message : "");
  }
  bool first_redirect = false;
  {
    std::lock_guard lock(g_mutex);
    if (get_managed != nullptr) first_redirect = g_redirecting_managers[connection]++ == 0;
    g_managers[PathKey{connection, path}].push_back({connection, path, manager, id, get_managed != nullptr});
  }
  if (first_redirect) {
    g_dbus_connection_add_filter(connection, redirect_get_managed_objects, nullptr, nullptr);
  }

  // Children exported before the manager was attached.
  GList *objects = g_dbus_object_manager_get_objects(as_manager);
  for (GList *l = objects; l != nullptr; l = l->next) {
    track_object(connection, G_DBUS_OBJECT(l->data));
  }
  g_list_free_full(objects, g_object_unref);
}

void detach_manager(GDBusObjectManagerServer *manager) {
  GDBusObjectManager *as_manager = G_DBUS_OBJECT_MANAGER(manager);
  GDBusConnection *connection = attached_connection(as_manager);
  if (connection == nullptr) return;
  guint id = 0;
  {
    std::lock_guard lock(g_mutex);
    auto found = g_managers.find(PathKeyView{connection, g_dbus_object_manager_get_object_path(as_manager)});
    if (found != g_managers.end()) {
      std::vector<ManagerAttachment> &attached = found->second;
      auto it = std::find_if(attached.begin(), attached.end(),
                             [&](const ManagerAttachment &m) { return m.manager == manager; });
      if (it != attached.end()) {
        id = it->id;
        if (it->answers_get_managed) --g_redirecting_managers[connection];
        attached.erase(it);
      }
      if (attached.empty()) g_managers.erase(found);
    }
  }
  GList *objects = g_dbus_object_manager_get_objects(as_manager);
  for (GList *l = objects; l != nullptr; l = l->next)
    untrack_object(connection, g_dbus_object_get_object_path(G_DBUS_OBJECT(l->data)));
  g_list_free_full(objects, g_object_unref);
  if (id != 0) real_unregister()(connection, id);
  g_object_set_data(G_OBJECT(manager), kAttachedConnection, nullptr);
  g_dbus_object_manager_server_set_connection(manager, nullptr);
}

}  // namespace

bool has_registration(GDBusConnection *connection, const char *path) {
  if (path == nullptr) return false;
  std::lock_guard lock(g_mutex);
  std::string node;
  return interfaces_locked(connection, path) != nullptr ||
         subtree_of_locked(connection, path, &node) != nullptr;
}

bool subtree_interface(GDBusConnection *connection, const char *path, const char *interface_name,
                       GDBusInterfaceInfo **interface) {
  *interface = nullptr;
  if (path == nullptr) return false;
  std::lock_guard lock(g_mutex);
  std::string node;
  const Subtree *subtree = subtree_of_locked(connection, path, &node);
  if (subtree == nullptr) return false;
  if (subtree->vtable.introspect == nullptr) return true;
  GDBusInterfaceInfo **infos = subtree->vtable.introspect(
      connection, nullptr, subtree->path.c_str(), node.empty() ? nullptr : node.c_str(),
      subtree->user_data);
  for (GDBusInterfaceInfo **i = infos; i != nullptr && *i != nullptr; ++i) {
    if (*interface == nullptr && g_strcmp0((*i)->name, interface_name) == 0)
      *interface = g_dbus_interface_info_ref(*i);
    g_dbus_interface_info_unref(*i);
  }
  g_free(infos);
  return true;
}

void forget_connection(GDBusConnection *connection) {
  std::lock_guard lock(g_mutex);
  auto of_connection = [&](const auto &entry) { return entry.first.connection == connection; };
  std::erase_if(g_registrations, of_connection);
  std::erase_if(g_registration_paths,
                [&](const auto &entry) { return entry.second.connection == connection; });
  std::erase_if(g_properties_objects, of_connection);
  for (const auto &[key, attached] : g_managers) {
    if (key.connection != connection) continue;
    for (const ManagerAttachment &m : attached)
      g_object_set_data(G_OBJECT(m.manager), kAttachedConnection, nullptr);
  }
  std::erase_if(g_managers, of_connection);
  g_redirecting_managers.erase(connection);
  std::erase_if(g_subtrees, [&](const Subtree &s) { return s.connection == connection; });
}

}  // namespace igd1::host

using namespace igd1::host;

extern "C" void g_dbus_object_manager_server_set_connection_expand(
    GDBusObjectManagerServer *manager, GDBusConnection *connection,
    const GDBusInterfaceVTable *vtable, gpointer user_data) {
  if (manager == nullptr) return;
  if (connection == nullptr) return detach_manager(manager);
  attach_manager(manager, connection, vtable, user_data);
}

extern "C" void g_dbus_object_manager_server_export(GDBusObjectManagerServer *manager,
                                                    GDBusObjectSkeleton *object) {
  real_export()(manager, object);
  GDBusConnection *connection = attached_connection(G_DBUS_OBJECT_MANAGER(manager));
  if (connection != nullptr) track_object(connection, G_DBUS_OBJECT(object));
}

extern "C" gboolean g_dbus_object_manager_server_unexport(GDBusObjectManagerServer *manager,
                                                          const gchar *object_path) {
  gboolean removed = real_unexport()(manager, object_path);
  GDBusConnection *connection = attached_connection(G_DBUS_OBJECT_MANAGER(manager));
  if (removed && connection != nullptr) untrack_object(connection, object_path);
  return removed;
}

extern "C" guint g_dbus_connection_register_object(GDBusConnection *connection,
                                                   const gchar *object_path,
                                                   GDBusInterfaceInfo *interface_info,
                                                   const GDBusInterfaceVTable *vtable,
                                                   gpointer user_data,
                                                   GDestroyNotify user_data_free_func,
                                                   GError **error) {
  guint id = 0;
  if (vtable != nullptr && vtable->method_call != nullptr) {
    Forward *forward = new_forward(vtable->method_call, vtable, user_data, user_data_free_func);
    id = real_register()(connection, object_path, interface_info, &forward->guarded, forward,
                         free_forward, error);
    // GDBus frees what it was given only once the registration exists.
    if (id == 0) delete forward;
  } else {
    id = real_register()(connection, object_path, interface_info, vtable, user_data,
                         user_data_free_func, error);
  }
  if (id == 0 || interface_info == nullptr) return id;
  std::lock_guard lock(g_mutex);
  add_registration_locked({connection, object_path, interface_info->name, vtable, user_data, id});
  // Interfaces without handlers (the root marker) have nothing to write.
  if (vtable != nullptr) export_properties_locked(connection, object_path);
  return id;
}

extern "C" gboolean g_dbus_connection_unregister_object(GDBusConnection *connection,
                                                        guint registration_id) {
  guint properties_id = 0;
  {
    std::lock_guard lock(g_mutex);
    auto where = g_registration_paths.find(registration_id);
    if (where != g_registration_paths.end() && where->second.connection == connection) {
      std::string path = where->second.path;
      remove_registrations_locked(connection, path,
                                  [&](const Registration &r) { return r.id == registration_id; });
      properties_id = release_properties_locked(connection, path);
    }
  }
  gboolean result = real_unregister()(connection, registration_id);
  if (properties_id != 0) real_unregister()(connection, properties_id);
  return result;
}

extern "C" guint g_dbus_connection_register_subtree(GDBusConnection *connection,
                                                    const gchar *object_path,
                                                    const GDBusSubtreeVTable *vtable,
                                                    GDBusSubtreeFlags flags, gpointer user_data,
                                                    GDestroyNotify user_data_free_func,
                                                    GError **error) {
  const guint id = real_register_subtree()(connection, object_path, vtable, flags, user_data,
                                           user_data_free_func, error);
  if (id == 0 || vtable == nullptr) return id;
  std::lock_guard lock(g_mutex);
  g_subtrees.push_back({connection, object_path, *vtable, flags, user_data, id});
  return id;
}

extern "C" gboolean g_dbus_connection_unregister_subtree(GDBusConnection *connection,
                                                         guint registration_id) {
  {
    std::lock_guard lock(g_mutex);
    std::erase_if(g_subtrees, [&](const Subtree &s) {
      return s.connection == connection && s.id == registration_id;
    });
  }
  return real_unregister_subtree()(connection, registration_id);
}
