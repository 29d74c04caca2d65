// The single-object engine's registration: what a module chooses and in
// which order modules start, the checks of a table when its object is
// registered, and the registrations of an object (from its module's entry,
// from its own file, or of one declaration at several paths).
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
namespace {

// What a declaration without a choice of its own chose.
constexpr StartChoice kNothingChosen{};

std::vector<const SingleObject *> &publications() {
  static std::vector<const SingleObject *> objects;
  return objects;
}

}  // namespace

namespace {

// A table whose reads would overrun the engine's buffer, or whose texts
// have placeholders the engine does not supply, is a defect of the module:
// it stops the start, naming the property or the text.
void check_table(const SingleObject &object) {
  const std::string faults = object_text_faults(object);
  igd1::fatal_unless(faults.empty(), faults.c_str());
  const Property *oversized = oversized_read(object);
  if (oversized == nullptr) return;
  g_autofree gchar *text = g_strdup_printf("read buffer of %s (%s) <= %u", oversized->name,
                                           object.path != nullptr ? object.path : "?",
                                           kMaxReadBuffer);
  igd1::fatal_unless(false, text);
}

}  // namespace

// ---- registration ---------------------------------------------------------------------------

guint register_single_object(const SingleObjectRegistration &registration,
                             GDBusConnection *connection, gpointer user_data, const char *caller,
                             int caller_line) {
  sys_log(LOG_MODULE_DBUS, LOG_LEVEL_INFO, LOG_CATEGORY_DEBUG, __FILE__, caller_line,
          caller, "func [%s], line [%d]", caller, caller_line);
  const SingleObject *object = registration.object;
  const StartChoice &choice =
      object != nullptr ? make_start_choice(object, object->choose) : kNothingChosen;
  const auto start = [&](StartStep step) {
    return object == nullptr || object->start == nullptr ||
           object->start(step, connection, registration.bus_name, user_data);
  };
  if (!start(StartStep::Present)) return 0;

  GDBusNodeInfo *node =
      choice.xml_file != nullptr ? dbus_proxy_readxml(choice.xml_file)
      : registration.builtin_xml != nullptr
          ? g_dbus_node_info_new_for_xml(registration.builtin_xml, nullptr)
          : dbus_proxy_readxml(registration.xml_file);
  // A host that starts again reads the document again; the previous one is
  // held by whatever registrations still use it.
  if (GDBusNodeInfo *previous = std::exchange(*registration.introspection_data, node))
    g_dbus_node_info_unref(previous);
  g_autofree gchar *missing = g_strdup_printf("%s != NULL", registration.introspection_name);
  igd1::fatal_unless(node != nullptr, missing);

  dbus_proxy_node_info_reg(node);
  if (object != nullptr) check_table(*object);
  const bool varies = object != nullptr && varies_by_service_type(*object);
  // The file describes service type 0; an object whose interface does not
  // vary announces the same on every service type.
  if (object != nullptr && !varies && node->interfaces != nullptr && node->interfaces[0] != nullptr)
    mark_object_unannounced(*object, node->interfaces[0]);
  start(StartStep::Documented);

  // Objects whose path is not fixed in the library take it from the
  // document's root node; a root node without a name cannot be registered.
  const char *path = choice.path != nullptr                ? choice.path
                     : registration.object_path != nullptr ? registration.object_path
                                                           : node->path;
  guint registration_id = 0;
  if (path != nullptr && g_variant_is_object_path(path) && node->interfaces != nullptr &&
      node->interfaces[0] != nullptr) {
    registration_id = publish_at_path(connection, path,
                                      {.declared = node->interfaces[0],
                                       .vtable = registration.vtable,
                                       .user_data = user_data,
                                       .serving = varies ? object_serving : nullptr,
                                       .declaration = object});
  }
  IGD1_ASSERT(registration_id > 0);
  // The object lives as long as the process; its data is released only
  // when the connection goes.
  if (registration.user_data_free != nullptr ||
      (object != nullptr && object->start != nullptr)) {
    struct Release {
      GDestroyNotify free_data;
      const SingleObject *object;
      gpointer user_data;
    };
    g_object_weak_ref(G_OBJECT(connection),
                      [](gpointer data, GObject *) {
                        auto *release = static_cast<Release *>(data);
                        if (release->object != nullptr && release->object->start != nullptr)
                          release->object->start(StartStep::Released, nullptr, nullptr,
                                                 release->user_data);
                        if (release->free_data != nullptr) release->free_data(release->user_data);
                        delete release;
                      },
                      new Release{registration.user_data_free, object, user_data});
  }

  start(StartStep::Registered);
  return registration_id;
}

namespace {

// What a registration of a declaration serves: the declaration, and the
// instance its hooks are told of.
struct Described {
  const SingleObject *object;
  uint32_t instance;
};

const Described &described(gpointer user_data) { return *static_cast<const Described *>(user_data); }

GVariant *described_get(GDBusConnection *, const gchar *, const gchar *object_path, const gchar *,
                        const gchar *property_name, GError **error, gpointer user_data) {
  const Described &at = described(user_data);
  return object_get(*at.object, __func__, object_path, property_name, error, at.instance);
}

gboolean described_set(GDBusConnection *connection, const gchar *, const gchar *object_path,
                       const gchar *interface_name, const gchar *property_name, GVariant *value,
                       GError **error, gpointer user_data) {
  const Described &at = described(user_data);
  return object_set(*at.object, __func__, connection, object_path, interface_name, property_name,
                    value, error, at.instance);
}

gboolean described_set_multi(GDBusConnection *connection, const gchar *, const gchar *object_path,
                             const gchar *interface_name, GVariant *properties, GError **error,
                             gpointer user_data) {
  const Described &at = described(user_data);
  return object_set_multi(*at.object, __func__, connection, object_path, interface_name,
                          properties, error, at.instance);
}

void described_method_call(GDBusConnection *, const gchar *, const gchar *object_path,
                           const gchar *interface_name, const gchar *method_name,
                           GVariant *parameters, GDBusMethodInvocation *invocation,
                           gpointer user_data) {
  const Described &at = described(user_data);
  object_method_call(*at.object, __func__, object_path, interface_name, method_name, parameters,
                     invocation, at.instance);
}

void free_described(gpointer user_data) { delete static_cast<Described *>(user_data); }

const GDBusInterfaceVTable kDescribedVTable = {described_method_call, described_get,
                                               described_set,
                                               {igd1_set_multi_slot(described_set_multi)}};

}  // namespace

guint register_described_object(const SingleObject &object, const char *xml,
                                GDBusConnection *connection, const char *path, uint32_t instance) {
  g_autoptr(GError) error = nullptr;
  GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(xml, &error);
  IGD1_ASSERT(node != nullptr && node->interfaces[0] != nullptr);
  const guint id = register_described_node(object, node, connection, path, instance);
  g_dbus_node_info_unref(node);
  return id;
}

guint register_described_node(const SingleObject &object, GDBusNodeInfo *node,
                              GDBusConnection *connection, const char *path, uint32_t instance) {
  IGD1_ASSERT(node != nullptr && node->interfaces[0] != nullptr);
  check_table(object);
  mark_object_unannounced(object, node->interfaces[0]);
  dbus_proxy_node_info_reg(node);
  return register_described_interface(object, node->interfaces[0], connection, path, instance);
}

guint register_described_interface(const SingleObject &object, GDBusInterfaceInfo *interface,
                                   GDBusConnection *connection, const char *path,
                                   uint32_t instance) {
  g_autoptr(GError) error = nullptr;
  // The registration keeps its own reference to the interface.
  auto *at = new Described{&object, instance};
  const guint id = dbus_proxy_object_reg(connection, path, interface, &kDescribedVTable, at,
                                         free_described, &error);
  if (id == 0) {
    DBUS_LOG(LOG_LEVEL_ERROR, "cannot register %s: %s", path, error->message);
    delete at;
  }
  return id;
}

GDBusNodeInfo *load_described_document(const SingleObject &object, const char *introspection_name) {
  GDBusNodeInfo *node = dbus_proxy_readxml(object.xml_file);
  g_autofree gchar *missing = g_strdup_printf(
      "%s != NULL", introspection_name != nullptr ? introspection_name : object.xml_file);
  igd1::fatal_unless(node != nullptr, missing);
  IGD1_ASSERT(node->interfaces != nullptr && node->interfaces[0] != nullptr);
  check_table(object);
  mark_object_unannounced(object, node->interfaces[0]);
  dbus_proxy_node_info_reg(node);
  return node;
}

guint register_object_from_file(const SingleObject &object, GDBusConnection *connection) {
  // One document per object for the life of the process (a new connection
  // reads it again).
  static auto *documents = new std::map<const SingleObject *, GDBusNodeInfo *>;
  GDBusNodeInfo *&node = (*documents)[&object];
  g_clear_pointer(&node, g_dbus_node_info_unref);
  const SingleObjectRegistration registration{.xml_file = object.xml_file,
                                              .introspection_data = &node,
                                              .introspection_name = object.xml_file,
                                              .object_path = object.path,
                                              .vtable = &kDescribedVTable,
                                              .user_data_free = free_described,
                                              .object = &object};
  return register_single_object(registration, connection, new Described{&object, 0}, __func__,
                                __LINE__);
}

std::span<const SingleObject *const> published_objects() { return publications(); }

PublishObject::PublishObject(const SingleObject &object) { publications().push_back(&object); }

namespace {

std::mutex g_choices_mutex;
std::map<const void *, const StartChoice *> &start_choices() {
  static auto *choices = new std::map<const void *, const StartChoice *>;
  return *choices;
}

}  // namespace

const StartChoice &chosen_by(const void *declaration) {
  std::lock_guard lock(g_choices_mutex);
  auto found = start_choices().find(declaration);
  return found != start_choices().end() ? *found->second : kNothingChosen;
}

const StartChoice &chosen(const SingleObject &object) { return chosen_by(&object); }

const StartChoice &make_start_choice(const void *declaration, const StartChoice *(*choose)()) {
  const StartChoice *choice = choose != nullptr ? choose() : nullptr;
  std::lock_guard lock(g_choices_mutex);
  if (choice == nullptr) {
    start_choices().erase(declaration);
    return kNothingChosen;
  }
  start_choices()[declaration] = choice;
  return *choice;
}

namespace {

std::vector<std::pair<const char *, const char *>> &start_order() {
  static std::vector<std::pair<const char *, const char *>> order;
  return order;
}

}  // namespace

StartsAfter::StartsAfter(const char *module, const char *after) {
  start_order().emplace_back(module, after);
}

void declare_start_order() {
  for (const auto &[module, after] : start_order())
    IGD1_ASSERT(dbus_proxy_start_order_reg(module, after) != 0);
}

}  // namespace igd1
