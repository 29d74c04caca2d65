// The collection engine: object manager, child objects and their skeleton
// type, and the property handlers of collections of fixed-size records.
#include "collection.h"

#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "dbus_proxy_api.h"
#include "host_api.h"
#include "igd1_assert.h"
#include "single_object.h"

namespace igd1 {
namespace {

// Log lines name the module's handler rather than this file's function.
#define COLLECTION_LOG(level, function, ...) \
  sys_log(LOG_MODULE_DBUS, (level), LOG_CATEGORY_DEBUG, __FILE__, __LINE__, (function), __VA_ARGS__)

// ---- the skeleton type -------------------------------------------------------------

struct CollectionSkeletonClass {
  GDBusInterfaceSkeletonClass parent_class;
  const Collection *collection;
};

struct CollectionSkeleton {
  GDBusInterfaceSkeleton parent_instance;
};

const Collection &collection_of(GDBusInterfaceSkeleton *skeleton) {
  return *reinterpret_cast<CollectionSkeletonClass *>(G_OBJECT_GET_CLASS(skeleton))->collection;
}

GDBusInterfaceInfo *skeleton_get_info(GDBusInterfaceSkeleton *skeleton) {
  GDBusNodeInfo *node = *collection_of(skeleton).introspection_data;
  return node != nullptr ? node->interfaces[0] : nullptr;
}

GDBusInterfaceVTable *skeleton_get_vtable(GDBusInterfaceSkeleton *skeleton) {
  // GDBus's signature is not const; nothing writes through it.
  return const_cast<GDBusInterfaceVTable *>(collection_of(skeleton).vtable);
}

// Properties are read when asked for; there is nothing to flush.
void skeleton_flush(GDBusInterfaceSkeleton *) {}

void skeleton_class_init(gpointer klass, gpointer class_data) {
  auto *own = static_cast<CollectionSkeletonClass *>(klass);
  own->collection = static_cast<const Collection *>(class_data);
  auto *skeleton = G_DBUS_INTERFACE_SKELETON_CLASS(klass);
  skeleton->get_info = skeleton_get_info;
  skeleton->get_vtable = skeleton_get_vtable;
  skeleton->get_properties = collection_interface_properties;
  skeleton->flush = skeleton_flush;
}

// ---- record fields --------------------------------------------------------------------

size_t field_width(const RowProperty &property) {
  switch (property.field) {
    case Field::Flag:
    case Field::Choice:
      return 1;
    case Field::U16:
      return 2;
    case Field::U32:
    case Field::IPv4:
      return 4;
    case Field::Text:
      return property.size;
  }
  return 0;
}

uint32_t load_number(const RowProperty &property, const uint8_t *row) {
  if (property.field == Field::U16) {
    uint16_t value;
    std::memcpy(&value, row + property.offset, sizeof value);
    return value;
  }
  uint32_t value;
  std::memcpy(&value, row + property.offset, sizeof value);
  return value;
}

const Choice *choice_stored(const RowProperty &property, uint8_t stored) {
  for (const Choice &choice : property.choices)
    if (choice.stored == stored) return &choice;
  return nullptr;
}

const Choice *choice_named(const RowProperty &property, const char *text) {
  for (const Choice &choice : property.choices) {
    if (choice.name == nullptr) continue;
    if (std::strcmp(choice.name, text) == 0 ||
        (choice.other_name != nullptr && std::strcmp(choice.other_name, text) == 0))
      return &choice;
  }
  return nullptr;
}

std::vector<const RowCollection *> &collections() {
  static std::vector<const RowCollection *> *list = new std::vector<const RowCollection *>;
  return *list;
}

const RowProperty *find_writable(std::span<const RowProperty> properties, const char *name) {
  for (const RowProperty &property : properties) {
    if (std::strcmp(property.name, name) == 0 ||
        (property.alias_writes && property.alias != nullptr &&
         std::strcmp(property.alias, name) == 0))
      return property.write_log != nullptr ? &property : nullptr;
  }
  return nullptr;
}

// The new bytes of the field for `value`; false when the value is refused.
bool encode_field(const RowProperty &property, GVariant *value, uint8_t *bytes) {
  switch (property.field) {
    case Field::Flag:
      bytes[0] = g_variant_get_boolean(value) ? 1 : 0;
      return true;
    case Field::U16:
    case Field::U32: {
      uint32_t number = g_variant_get_uint32(value);
      if (property.max != 0 && (number < property.min || number > property.max)) return false;
      if (property.field == Field::U16) {
        if (number > UINT16_MAX) return false;
        uint16_t narrow = static_cast<uint16_t>(number);
        std::memcpy(bytes, &narrow, sizeof narrow);
      } else {
        std::memcpy(bytes, &number, sizeof number);
      }
      return true;
    }
    case Field::IPv4: {
      const char *text = g_variant_get_string(value, nullptr);
      if (text[0] == '\0' && property.empty_is_any) {
        std::memset(bytes, 0, 4);
        return true;
      }
      return inet_pton(AF_INET, text, bytes) == 1;
    }
    case Field::Text: {
      // Longer texts are cut to the buffer.
      const char *text = g_variant_get_string(value, nullptr);
      std::memset(bytes, 0, property.size);
      std::memcpy(bytes, text, strnlen(text, property.size - 1u));
      return true;
    }
    case Field::Choice: {
      const Choice *choice = choice_named(property, g_variant_get_string(value, nullptr));
      if (choice == nullptr) return false;
      bytes[0] = choice->stored;
      return true;
    }
  }
  return false;
}

void log_write(const RowProperty &property, GVariant *value) {
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) {
    COLLECTION_LOG(LOG_LEVEL_INFO, "apply_row_property", property.write_log,
                   g_variant_get_string(value, nullptr));
  } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN)) {
    COLLECTION_LOG(LOG_LEVEL_INFO, "apply_row_property", property.write_log,
                   g_variant_get_boolean(value));
  } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32)) {
    COLLECTION_LOG(LOG_LEVEL_INFO, "apply_row_property", property.write_log,
                   static_cast<int>(g_variant_get_uint32(value)));
  }
}

// ---- rows ---------------------------------------------------------------------------

// The row of the child at `object_path`: its node and position.  Fails with
// the texts of the handler named `function`.
mib_list_node *child_row(const RowCollection &rows, const char *function, const char *object_path,
                         uint32_t *index, GError **error) {
  const uint32_t instance = child_instance(rows.collection, object_path);
  if (instance == 0) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function,
                   "func [%s], line [%d], get object path error invalid object path %s", function,
                   __LINE__, object_path);
    set_invalid_args(error, "invalid object path %s", object_path);
    return nullptr;
  }
  mib_list_node *node = rows.table.get_list_by_instnum(instance, index);
  if (node == nullptr || node->data == nullptr) {
    if (index == nullptr) {
      COLLECTION_LOG(LOG_LEVEL_ERROR, function, "func [%s] :invalid list num  %d ", function,
                     instance);
      set_invalid_args(error, "func [%s] :invalid list num  %d ", function, instance);
    } else {
      COLLECTION_LOG(LOG_LEVEL_ERROR, function, "func [%s]: invalid list num %d ", function,
                     instance);
      set_invalid_args(error, "invalid list num  %d ", instance);
    }
    return nullptr;
  }
  return node;
}

// Copies the working copy back over the row and announces it.
void store_working_copy(const RowCollection &rows, mib_list_node *node, uint32_t index) {
  std::memcpy(node->data, rows.working_copy, rows.table.row_size);
  dbus_mib_update_cfg(rows.table.change_bit, rows.working_copy, static_cast<int>(index));
}

void add_object(const RowCollection &rows, const char *method_name,
                GDBusMethodInvocation *invocation) {
  const char *function = rows.names.manager;
  const char *noun = rows.collection.noun;
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "func [%s], line [%d],method_name:%s", function,
                 __LINE__, method_name);
  std::vector<uint8_t> row(rows.table.row_size, 0);
  if (!rows.table.insert_entry(row.data())) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "Add %s object fail !!", noun);
    return_manager_error(invocation, "Add %s object fail !!", noun);
    return;
  }
  std::string path = collection_child_path(rows.collection, row[0]);
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "Add %s object success, object path %s", noun,
                 path.c_str());
  rows.table.save_mib();
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", path.c_str()));
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "out of func [%s]", function);
}

void delete_object(const RowCollection &rows, GVariant *parameters,
                   GDBusMethodInvocation *invocation) {
  const char *function = rows.names.manager;
  const char *noun = rows.collection.noun;
  const char *path = nullptr;
  g_variant_get(parameters, "(&o)", &path);
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "DeleteObject, path_name %s", path);

  // Every way out replies and logs the end.
  auto finish_with_error = [&](const char *message) {
    return_manager_error(invocation, "%s", message);
    COLLECTION_LOG(LOG_LEVEL_INFO, function, "out of func [%s]", function);
  };
  const uint32_t instance = child_instance(rows.collection, path);
  if (instance == 0) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "object path %s is error", path);
    return finish_with_error("DeleteObject object path error");
  }
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "delete index is %d", int(instance));
  uint32_t index = 0;
  mib_list_node *node = rows.table.get_list_by_instnum(instance, &index);
  if (node == nullptr || node->data == nullptr) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "func [%s] :invalid list num  %d ", function,
                   instance);
    return finish_with_error("DeleteObject object path error");
  }
  std::vector<uint8_t> removed(static_cast<uint8_t *>(node->data),
                               static_cast<uint8_t *>(node->data) + rows.table.row_size);
  if (!rows.table.remove_entry(index, node)) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "Delete %s Object error, object path %s!!", noun,
                   path);
    g_autofree gchar *message = g_strdup_printf("Delete %s Object error !!", noun);
    return finish_with_error(message);
  }
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "Delete %s Object success, object path %s!!", noun,
                 path);
  // A conformance run checks the bus behaviour only: nothing is applied or saved.
  if (!check_dbus_cts_running()) {
    if (rows.after_delete != nullptr) rows.after_delete(removed.data(), index);
    rows.table.save_mib();
  }
  g_dbus_method_invocation_return_value(invocation, nullptr);
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "out of func [%s]", function);
}

}  // namespace

// ---- the skeleton type ---------------------------------------------------------------

GType collection_interface_type(const Collection &collection) {
  if (g_once_init_enter(&collection.state->type)) {
    const GTypeInfo info = {
        sizeof(CollectionSkeletonClass),
        nullptr,
        nullptr,
        skeleton_class_init,
        nullptr,
        &collection,
        sizeof(CollectionSkeleton),
        0,
        nullptr,
        nullptr,
    };
    GType type = g_type_register_static(G_TYPE_DBUS_INTERFACE_SKELETON, collection.type_name, &info,
                                        static_cast<GTypeFlags>(0));
    g_once_init_leave(&collection.state->type, type);
  }
  return collection.state->type;
}

GVariant *collection_interface_properties(GDBusInterfaceSkeleton *skeleton) {
  GDBusInterfaceInfo *info = g_dbus_interface_skeleton_get_info(skeleton);
  GDBusInterfaceVTable *vtable = g_dbus_interface_skeleton_get_vtable(skeleton);
  g_return_val_if_fail(vtable->get_property != NULL, NULL);

  GDBusConnection *connection = g_dbus_interface_skeleton_get_connection(skeleton);
  const gchar *path = g_dbus_interface_skeleton_get_object_path(skeleton);
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
  for (GDBusPropertyInfo **p = info->properties; p != nullptr && *p != nullptr; ++p) {
    if (((*p)->flags & G_DBUS_PROPERTY_INFO_FLAGS_READABLE) == 0) continue;
    GVariant *value =
        vtable->get_property(connection, nullptr, path, info->name, (*p)->name, nullptr, skeleton);
    if (value == nullptr) continue;
    g_variant_take_ref(value);
    g_variant_builder_add(&builder, "{sv}", (*p)->name, value);
    g_variant_unref(value);
  }
  return g_variant_builder_end(&builder);
}

// ---- start-up and children -------------------------------------------------------------

void collection_create_manager(const Collection &collection) {
  collection.state->manager = g_dbus_object_manager_server_new(collection.manager_path);
}

void collection_load_interface(const Collection &collection) {
  GDBusNodeInfo *node = collection.xml_file != nullptr
                            ? dbus_proxy_readxml(collection.xml_file)
                            : g_dbus_node_info_new_for_xml(collection.builtin_xml, nullptr);
  *collection.introspection_data = node;
  g_autofree gchar *missing = g_strdup_printf("%s != NULL", collection.introspection_name);
  IGD1_ASSERT_TEXT(node != nullptr, missing);
  dbus_proxy_node_info_reg(node);
}

void collection_attach(const Collection &collection, GDBusConnection *connection,
                       const GDBusInterfaceVTable *manager_vtable) {
  g_dbus_object_manager_server_set_connection_expand(collection.state->manager, connection,
                                                     manager_vtable, collection.state->manager);
}

std::string collection_child_path(const Collection &collection, unsigned instance) {
  g_autofree gchar *number = g_strdup_printf(collection.child_format, instance);
  return std::string(collection.manager_path) + "/" + number;
}

void collection_export_child(const Collection &collection, unsigned instance) {
  if (collection.state->manager == nullptr) return;
  std::string path = collection_child_path(collection, instance);
  GDBusObjectSkeleton *object = g_dbus_object_skeleton_new(path.c_str());
  auto *interface =
      static_cast<GDBusInterfaceSkeleton *>(g_object_new(collection_interface_type(collection), nullptr));
  g_dbus_object_skeleton_add_interface(object, interface);
  g_dbus_object_manager_server_export(collection.state->manager, object);
  g_object_unref(interface);
  g_object_unref(object);
}

void collection_unexport_child(const Collection &collection, unsigned instance) {
  if (collection.state->manager == nullptr) return;
  std::string path = collection_child_path(collection, instance);
  g_dbus_object_manager_server_unexport(collection.state->manager, path.c_str());
}

// ---- paths and errors ------------------------------------------------------------------------

uint32_t parse_instance(std::string_view segment, uint32_t highest) {
  if (segment.empty() || segment.front() == '0') return 0;
  uint64_t number = 0;
  for (char c : segment) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + uint64_t(c - '0');
    if (number > highest) return 0;  // also ends long digit runs before they could wrap
  }
  return uint32_t(number);
}

uint32_t child_instance_of(std::string_view manager_path, const char *object_path,
                           uint32_t highest) {
  if (object_path == nullptr) return 0;
  std::string_view path(object_path);
  if (path.size() <= manager_path.size() + 1 || !path.starts_with(manager_path) ||
      path[manager_path.size()] != '/')
    return 0;
  return parse_instance(path.substr(manager_path.size() + 1), highest);
}

uint32_t child_instance(const Collection &collection, const char *object_path) {
  return child_instance_of(collection.manager_path, object_path, collection.max_instance);
}

uint32_t nested_child_key(std::string_view manager_path, std::string_view middle,
                          const char *object_path) {
  if (object_path == nullptr) return 0;
  std::string_view path(object_path);
  if (path.size() <= manager_path.size() + 1 || !path.starts_with(manager_path) ||
      path[manager_path.size()] != '/')
    return 0;
  path.remove_prefix(manager_path.size() + 1);
  const size_t slash = path.find('/');
  if (slash == std::string_view::npos) return 0;
  const uint32_t outer = parse_instance(path.substr(0, slash), 255);
  path.remove_prefix(slash + 1);
  if (outer == 0 || !path.starts_with(middle) || path.size() <= middle.size() + 1 ||
      path[middle.size()] != '/')
    return 0;
  const uint32_t inner = parse_instance(path.substr(middle.size() + 1), 255);
  return inner == 0 ? 0 : outer | inner << 8;
}

void return_manager_error(GDBusMethodInvocation *invocation, const char *format, ...) {
  va_list args;
  va_start(args, format);
  g_autofree gchar *message = g_strdup_vprintf(format, args);
  va_end(args);
  g_dbus_method_invocation_return_dbus_error(invocation, kObjectManagerError, message);
}

// ---- collections of fixed-size records ----------------------------------------------------------

std::span<const RowCollection *const> published_collections() { return collections(); }

PublishCollection::PublishCollection(const RowCollection &rows) { collections().push_back(&rows); }

const RowProperty *find_writable_row_property(std::span<const RowProperty> properties,
                                              const char *name) {
  return name != nullptr ? find_writable(properties, name) : nullptr;
}

const RowProperty *find_row_property(std::span<const RowProperty> properties, const char *name) {
  if (name == nullptr) return nullptr;
  for (const RowProperty &property : properties) {
    if (std::strcmp(property.name, name) == 0 ||
        (property.alias != nullptr && std::strcmp(property.alias, name) == 0))
      return &property;
  }
  return nullptr;
}

GVariant *read_row_property(const RowProperty &property, const uint8_t *row) {
  switch (property.field) {
    case Field::Flag:
      return g_variant_new_boolean(row[property.offset] != 0);
    case Field::U16:
    case Field::U32:
      return g_variant_new_uint32(load_number(property, row));
    case Field::IPv4: {
      char text[INET_ADDRSTRLEN] = "";
      inet_ntop(AF_INET, row + property.offset, text, sizeof text);
      return g_variant_new_string(text);
    }
    case Field::Text: {
      const char *text = reinterpret_cast<const char *>(row + property.offset);
      size_t length = strnlen(text, property.size);
      if (!g_utf8_validate(text, static_cast<gssize>(length), nullptr)) return nullptr;
      g_autofree gchar *copy = g_strndup(text, length);
      return g_variant_new_string(copy);
    }
    case Field::Choice: {
      const Choice *choice = choice_stored(property, row[property.offset]);
      return g_variant_new_string(choice != nullptr && choice->name != nullptr ? choice->name : "");
    }
  }
  return nullptr;
}

bool apply_row_property(std::span<const RowProperty> properties, const char *name, GVariant *value,
                        int *notify, int *changed, GError **error, uint8_t *row) {
  *notify = 0;
  *changed = 0;
  const RowProperty *property = find_writable(properties, name);
  if (property == nullptr) {
    set_invalid_args(error, "invalid property %s", name);
    return false;
  }
  if (!check_value_type(value, name, property->type, error)) return false;
  log_write(*property, value);
  uint8_t bytes[256];
  size_t width = field_width(*property);
  IGD1_ASSERT(width <= sizeof bytes);
  if (!encode_field(*property, value, bytes)) {
    set_invalid_args(error, "Invalid parameter value");
    return false;
  }
  if (std::memcmp(row + property->offset, bytes, width) != 0) {
    std::memcpy(row + property->offset, bytes, width);
    *notify = 1;
    *changed = 1;
  }
  return true;
}

void row_collection_start(const RowCollection &rows, GDBusConnection *connection,
                          const GDBusInterfaceVTable *manager_vtable,
                          int (*add_interface)(uint32_t instance)) {
  collection_create_manager(rows.collection);
  rows.table.update_all();
  collection_load_interface(rows.collection);
  for (mib_list_node *node = rows.table.get_list(0); node != nullptr; node = node->next) {
    if (node->data != nullptr) add_interface(static_cast<uint8_t *>(node->data)[0]);
  }
  collection_attach(rows.collection, connection, manager_vtable);
}

GVariant *row_get_property(const RowCollection &rows, const char *object_path,
                           const char *property_name, GError **error) {
  const char *function = rows.names.get;
  COLLECTION_LOG(LOG_LEVEL_DEBUG, function, "func [%s], line [%d],property_name:%s", function,
                 __LINE__, property_name);
  mib_list_node *node = child_row(rows, function, object_path, nullptr, error);
  if (node == nullptr) return nullptr;
  const RowProperty *property = find_row_property(rows.properties, property_name);
  if (property == nullptr) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "func [%s], line [%d], invalid property %s",
                   function, __LINE__, property_name);
    set_invalid_args(error, "invalid property %s", property_name);
    return nullptr;
  }
  GVariant *value = read_row_property(*property, static_cast<const uint8_t *>(node->data));
  if (value == nullptr) set_invalid_args(error, "invalid UTF-8 sting value of %s", property_name);
  return value;
}

gboolean row_set_property(const RowCollection &rows, GDBusConnection *connection,
                          const char *object_path, const char *interface_name,
                          const char *property_name, GVariant *value, GError **error) {
  const char *function = rows.names.set;
  uint32_t index = 0;
  mib_list_node *node = child_row(rows, function, object_path, &index, error);
  if (node == nullptr) return FALSE;
  std::memcpy(rows.working_copy, node->data, rows.table.row_size);
  int notify = 0;
  int changed = 0;
  if (!apply_row_property(rows.properties, property_name, value, &notify, &changed, error,
                          rows.working_copy)) {
    return FALSE;
  }
  if (changed) store_working_copy(rows, node, index);
  if (dbus_proxy_get_service_type() == 0 && notify) {
    GVariantBuilder changes;
    g_variant_builder_init(&changes, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&changes, "{sv}", property_name,
                          read_row_property(*find_row_property(rows.properties, property_name),
                                            rows.working_copy));
    emit_properties_changed(connection, object_path, interface_name,
                            g_variant_builder_end(&changes));
  }
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "out of func [%s]", function);
  return TRUE;
}

gboolean row_set_multi(const RowCollection &rows, GDBusConnection *connection,
                       const char *object_path, const char *interface_name, GVariant *properties,
                       GError **error) {
  const char *function = rows.names.multi;
  const int service_type = dbus_proxy_get_service_type();
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "func [%s],object_path:%s", function, object_path);
  uint32_t index = 0;
  mib_list_node *node = child_row(rows, function, object_path, &index, error);
  if (node == nullptr) return FALSE;
  std::memcpy(rows.working_copy, node->data, rows.table.row_size);

  GVariantBuilder changes;
  g_variant_builder_init(&changes, G_VARIANT_TYPE("a{sv}"));
  bool any_change = false;
  bool any_listed = false;
  GVariantIter iter;
  g_variant_iter_init(&iter, properties);
  const gchar *name = nullptr;
  GVariant *value = nullptr;
  while (g_variant_iter_next(&iter, "{&sv}", &name, &value)) {
    g_autoptr(GVariant) owned = value;
    COLLECTION_LOG(LOG_LEVEL_INFO, function, "Item property_name '%s' has type '%s'\n", name,
                   g_variant_get_type_string(value));
    int notify = 0;
    int changed = 0;
    if (!apply_row_property(rows.properties, name, value, &notify, &changed, error,
                            rows.working_copy)) {
      g_variant_builder_clear(&changes);
      return FALSE;
    }
    any_change = any_change || changed;
    if (service_type == 0 && notify) {
      g_variant_builder_add(&changes, "{sv}", name,
                            read_row_property(*find_row_property(rows.properties, name),
                                              rows.working_copy));
      any_listed = true;
    }
  }
  if (any_change) store_working_copy(rows, node, index);
  if (any_listed) {
    emit_properties_changed(connection, object_path, interface_name,
                            g_variant_builder_end(&changes));
  } else {
    g_variant_builder_clear(&changes);
  }
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "out of func [%s]", function);
  return TRUE;
}

void row_manager_call(const RowCollection &rows, const char *method_name, GVariant *parameters,
                      GDBusMethodInvocation *invocation) {
  if (g_strcmp0(method_name, "AddObject") == 0) {
    add_object(rows, method_name, invocation);
  } else if (g_strcmp0(method_name, "DeleteObject") == 0) {
    delete_object(rows, parameters, invocation);
  }
  // Other methods are not answered here; the host answers them as unknown.
}

}  // namespace igd1
