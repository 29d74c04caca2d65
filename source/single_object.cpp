// The engine of single-instance objects: registration, reads, writes,
// multi-writes and their change signal, driven by each module's table.
#include "single_object.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "dbus_proxy_api.h"
#include "host_api.h"
#include "igd1_assert.h"

namespace igd1 {
namespace {

// Room for the largest value any accessor fills.
constexpr size_t kMaxReadBuffer = 256;

std::vector<const SingleObject *> &publications() {
  static std::vector<const SingleObject *> objects;
  return objects;
}

int current_service_type() { return dbus_proxy_get_service_type(); }

bool serves(const Property &property, int service_type) {
  switch (property.variant) {
    case Variant::Any: return true;
    case Variant::ServiceType1: return service_type == 1;
    case Variant::NotServiceType1: return service_type != 1;
  }
  return false;
}

// Bus value of the raw form in `buffer`, or nullptr for a text that is not
// UTF-8.
GVariant *build_value(const Property &property, const uint8_t *buffer, size_t size) {
  uint64_t number = 0;
  double real = 0;
  switch (property.raw) {
    case Raw::Text: {
      const char *text = reinterpret_cast<const char *>(buffer);
      if (strnlen(text, size) == size || !g_utf8_validate(text, -1, nullptr)) return nullptr;
      return g_variant_new_string(text);
    }
    case Raw::IPv4: {
      char text[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, buffer, text, sizeof text);
      return g_variant_new_string(text);
    }
    case Raw::U8: number = buffer[0]; break;
    case Raw::I32: {
      int32_t v;
      std::memcpy(&v, buffer, sizeof v);
      number = uint64_t(int64_t(v));
      break;
    }
    case Raw::U32: {
      uint32_t v;
      std::memcpy(&v, buffer, sizeof v);
      number = v;
      break;
    }
    case Raw::U64: std::memcpy(&number, buffer, sizeof number); break;
    case Raw::Double: std::memcpy(&real, buffer, sizeof real); break;
  }
  return value_of_number(property, number, real);
}

// Property types in the document describe service type 0; a table row that
// serves the current service type in another form replaces the declared
// signature, so that GDBus checks values against the form actually served.
void declare_service_type_forms(const SingleObject &object, GDBusInterfaceInfo *interface) {
  for (GDBusPropertyInfo **p = interface->properties; p != nullptr && *p != nullptr; ++p) {
    const Property *row = find_property(object, (*p)->name);
    if (row == nullptr || g_strcmp0(row->type, (*p)->signature) == 0) continue;
    g_free((*p)->signature);
    (*p)->signature = g_strdup(row->type);
  }
}

// The properties of `object` whose changes the current service type does not
// announce are marked so in its introspection data.
void mark_object_unannounced(const SingleObject &object, GDBusInterfaceInfo *interface) {
  mark_unannounced(interface, [&object](const char *name) {
    const Property *row = find_property(object, name);
    return row == nullptr || property_announced(object, *row);
  });
}

}  // namespace

GVariant *value_of_number(const Property &property, uint64_t number, double real) {
  switch (property.type[0]) {
    case 'b': return g_variant_new_boolean(number != 0);
    case 'y': return g_variant_new_byte(guchar(number));
    case 'n': return g_variant_new_int16(gint16(number));
    case 'q': return g_variant_new_uint16(guint16(number));
    case 'i': return g_variant_new_int32(gint32(number));
    case 'u': return g_variant_new_uint32(guint32(number));
    case 'x': return g_variant_new_int64(gint64(number));
    case 't': return g_variant_new_uint64(number);
    case 'd': return g_variant_new_double(property.raw == Raw::Double ? real : double(number));
    default: return nullptr;
  }
}

// ---- registration -------------------------------------------------------------------

guint register_single_object(const SingleObjectRegistration &registration,
                             GDBusConnection *connection, gpointer user_data, const char *caller,
                             int caller_line) {
  sys_log(LOG_MODULE_DBUS, registration.entry_log_level, LOG_CATEGORY_DEBUG, __FILE__, caller_line,
          caller, "func [%s], line [%d]", caller, caller_line);

  GDBusNodeInfo *node = dbus_proxy_readxml(registration.xml_file);
  *registration.introspection_data = node;
  g_autofree gchar *missing = g_strdup_printf("%s != NULL", registration.introspection_name);
  IGD1_ASSERT_TEXT(node != nullptr, missing);

  dbus_proxy_node_info_reg(node);
  if (registration.object != nullptr && node->interfaces != nullptr && node->interfaces[0] != nullptr) {
    const SingleObject &object = *registration.object;
    declare_service_type_forms(object, node->interfaces[0]);
    // The file describes service type 0; another type may announce less.
    mark_object_unannounced(object, node->interfaces[0]);
  }
  if (registration.nested_entry != nullptr)
    registration.nested_entry(connection, registration.bus_name, user_data);

  // Objects whose path is not fixed in the library take it from the
  // document's root node; a root node without a name cannot be registered.
  const char *path = registration.object_path != nullptr ? registration.object_path : node->path;
  guint registration_id = 0;
  if (path != nullptr && g_variant_is_object_path(path) && node->interfaces != nullptr &&
      node->interfaces[0] != nullptr) {
    registration_id = g_dbus_connection_register_object(connection, path, node->interfaces[0],
                                                        registration.vtable, user_data,
                                                        registration.user_data_free, nullptr);
  }
  IGD1_ASSERT(registration_id > 0);

  if (registration.start_up != nullptr) registration.start_up();
  return registration_id;
}

namespace {

const SingleObject &described(gpointer user_data) {
  return *static_cast<const SingleObject *>(user_data);
}

GVariant *described_get(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                        const gchar *property_name, GError **error, gpointer user_data) {
  return object_get(described(user_data), __func__, property_name, error);
}

gboolean described_set(GDBusConnection *connection, const gchar *, const gchar *object_path,
                       const gchar *interface_name, const gchar *property_name, GVariant *value,
                       GError **error, gpointer user_data) {
  return object_set(described(user_data), __func__, connection, object_path, interface_name,
                    property_name, value, error);
}

gboolean described_set_multi(GDBusConnection *connection, const gchar *, const gchar *object_path,
                             const gchar *interface_name, GVariant *properties, GError **error,
                             gpointer user_data) {
  return object_set_multi(described(user_data), __func__, connection, object_path,
                          interface_name, properties, error);
}

void described_method_call(GDBusConnection *, const gchar *, const gchar *object_path,
                           const gchar *interface_name, const gchar *method_name,
                           GVariant *parameters, GDBusMethodInvocation *invocation,
                           gpointer user_data) {
  object_method_call(described(user_data), object_path, interface_name, method_name, parameters,
                     invocation);
}

const GDBusInterfaceVTable kDescribedVTable = {described_method_call, described_get,
                                               described_set,
                                               IGD1_SET_MULTI_SLOT(described_set_multi)};

}  // namespace

guint register_described_object(const SingleObject &object, const char *xml,
                                GDBusConnection *connection, const char *path) {
  g_autoptr(GError) error = nullptr;
  GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(xml, &error);
  IGD1_ASSERT(node != nullptr && node->interfaces[0] != nullptr);
  mark_object_unannounced(object, node->interfaces[0]);
  dbus_proxy_node_info_reg(node);
  // The registration keeps its own reference to the interface.
  const guint id = g_dbus_connection_register_object(connection, path, node->interfaces[0],
                                                     &kDescribedVTable,
                                                     const_cast<SingleObject *>(&object), nullptr,
                                                     &error);
  if (id == 0) DBUS_LOG(LOG_LEVEL_ERROR, "cannot register %s: %s", path, error->message);
  g_dbus_node_info_unref(node);
  return id;
}

std::span<const SingleObject *const> published_objects() { return publications(); }

bool property_announced(const SingleObject &object, const Property &property) {
  switch (property.change_signal) {
    case ChangeSignal::Never: return false;
    case ChangeSignal::ByModule: return true;
    case ChangeSignal::OnWrite:
      return property.write != nullptr && (object.announce == nullptr || object.announce());
  }
  return false;
}

void mark_unannounced(GDBusInterfaceInfo *interface,
                      const std::function<bool(const char *name)> &announced) {
  static constexpr char kKey[] = "org.freedesktop.DBus.Property.EmitsChangedSignal";
  const char *inherited = g_dbus_annotation_info_lookup(interface->annotations, kKey);
  for (GDBusPropertyInfo **p = interface->properties; p != nullptr && *p != nullptr; ++p) {
    GDBusPropertyInfo *property = *p;
    if (announced(property->name)) continue;
    // A property's own annotation overrides its interface's.
    guint count = 0;
    for (; property->annotations != nullptr && property->annotations[count] != nullptr; ++count) {
      GDBusAnnotationInfo *own = property->annotations[count];
      if (g_strcmp0(own->key, kKey) != 0) continue;
      g_free(own->value);
      own->value = g_strdup("false");
      break;
    }
    if (property->annotations != nullptr && property->annotations[count] != nullptr) continue;
    if (g_strcmp0(inherited, "false") == 0) continue;
    // The list is NULL-terminated and freed with the node.
    property->annotations = g_renew(GDBusAnnotationInfo *, property->annotations, count + 2);
    GDBusAnnotationInfo *annotation = g_new0(GDBusAnnotationInfo, 1);
    annotation->ref_count = 1;
    annotation->key = g_strdup(kKey);
    annotation->value = g_strdup("false");
    property->annotations[count] = annotation;
    property->annotations[count + 1] = nullptr;
  }
}

void object_method_call(const SingleObject &object, const char *object_path,
                        const char *interface_name, const char *method_name, GVariant *parameters,
                        GDBusMethodInvocation *invocation) {
  const CallContext context{.object_path = object_path, .user_data = object.user_data};
  dispatch_method(object.methods, context, interface_name, method_name, parameters, invocation);
}

PublishObject::PublishObject(const SingleObject &object) { publications().push_back(&object); }

// ---- shared helpers -----------------------------------------------------------------

bool check_value_type(GVariant *value, const char *name, const char *type, GError **error) {
  if (g_variant_is_of_type(value, G_VARIANT_TYPE(type))) return true;
  set_invalid_args(error, "invalid type '%s' of %s, expected '%s'",
                   g_variant_get_type_string(value), name, type);
  return false;
}

void set_invalid_args(GError **error, const char *format, ...) {
  va_list args;
  va_start(args, format);
  g_autofree gchar *message = g_strdup_vprintf(format, args);
  va_end(args);
  g_set_error_literal(error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, message);
}

bool parse_ipv4_classic(const char *text, uint8_t address[4]) {
  struct in_addr parsed {};
  if (text == nullptr || inet_aton(text, &parsed) == 0) return false;
  std::memcpy(address, &parsed.s_addr, 4);
  return true;
}

// Values are put together with the typed constructors rather than format
// strings: a change signal is on the path of every write, and parsing a
// format costs more than the value itself.
void emit_properties_changed(GDBusConnection *connection, const char *path,
                             const char *interface_name, GVariant *changes) {
  GVariant *items[] = {g_variant_new_string(interface_name), changes,
                       g_variant_new_array(G_VARIANT_TYPE_STRING, nullptr, 0)};
  GVariant *body = g_variant_ref_sink(g_variant_new_tuple(items, G_N_ELEMENTS(items)));
  emit_with_standard_copy(connection, path, IGD1_PROPERTIES_INTERFACE, body);
  g_variant_unref(body);
}

GVariant *change_entry(const char *name, GVariant *value) {
  return g_variant_new_dict_entry(g_variant_new_string(name), g_variant_new_variant(value));
}

ChangeList::~ChangeList() {
  for (GVariant *entry : entries_) g_variant_unref(entry);
}

void ChangeList::add(const char *name, GVariant *value) {
  entries_.push_back(g_variant_ref_sink(change_entry(name, value)));
}

GVariant *ChangeList::end() {
  return g_variant_new_array(G_VARIANT_TYPE("{sv}"), entries_.data(), entries_.size());
}

const Property *find_property(const SingleObject &object, const char *name) {
  if (name == nullptr) return nullptr;
  const int service_type = current_service_type();
  for (const Property &property : object.properties) {
    if (!serves(property, service_type)) continue;
    if (std::strcmp(property.name, name) == 0 ||
        (property.alias != nullptr && std::strcmp(property.alias, name) == 0))
      return &property;
  }
  return nullptr;
}

// ---- reading ------------------------------------------------------------------------

GVariant *object_get(const SingleObject &object, const char *function, const char *property_name,
                     GError **error) {
  sys_log(LOG_MODULE_DBUS, object.read_log_level, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function,
          object.read_log, function, __LINE__, property_name);

  GVariant *value = nullptr;
  bool no_value = false;
  const Property *property = find_property(object, property_name);
  if (property == nullptr) {
    no_value = true;
  } else if (property->read != nullptr) {
    value = property->read(object, *property, error);
    no_value = value == nullptr && (error == nullptr || *error == nullptr);
  } else {
    std::array<uint8_t, kMaxReadBuffer> buffer{};
    const size_t size = property->buffer != 0 ? property->buffer : object.read_buffer;
    IGD1_ASSERT(size <= buffer.size());
    const bool read = object.get(property->index, buffer.data()) != 0;
    if (read || property->on_failure == OnFailure::Unchecked) {
      value = build_value(*property, buffer.data(), size);
      if (value == nullptr)
        set_invalid_args(error, "invalid UTF-8 sting value of %s", property_name);
    } else if (property->on_failure == OnFailure::Error) {
      if (property->failure_log != nullptr)
        sys_log(LOG_MODULE_DBUS, object.failure_log_level, LOG_CATEGORY_DEBUG, __FILE__, __LINE__,
                function, property->failure_log, property_name);
      set_invalid_args(error, property->failure_error, property_name);
    } else if (property->on_failure == OnFailure::Fallback) {
      DBUS_LOG(LOG_LEVEL_WARN, property->failure_log, property_name);
      value = property->raw == Raw::Text || property->raw == Raw::IPv4
                  ? g_variant_new_string(property->fallback_text)
                  : value_of_number(*property, property->fallback_number, property->fallback_double);
    } else {
      no_value = true;
    }
  }

  if (no_value) {
    sys_log(LOG_MODULE_DBUS, LOG_LEVEL_WARN, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function,
            object.unknown_log, function, __LINE__, property_name);
    if (error == nullptr || *error == nullptr)
      set_invalid_args(error, "invalid property %s", property_name);
  }
  sys_log(LOG_MODULE_DBUS, LOG_LEVEL_INFO, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function,
          "out of func [%s]", function);
  return value;
}

// ---- writing ------------------------------------------------------------------------

bool store_value(const SingleObject &object, const Property &property, const char *name,
                 GVariant *value, WriteFlags *flags, GError **error) {
  const GVariantClass kind = g_variant_classify(value);
  const bool is_text = kind == G_VARIANT_CLASS_STRING;
  const char *text = is_text ? g_variant_get_string(value, nullptr) : nullptr;
  uint64_t number = 0;
  switch (kind) {
    case G_VARIANT_CLASS_BOOLEAN: number = g_variant_get_boolean(value) ? property.true_stored : 0; break;
    case G_VARIANT_CLASS_BYTE: number = g_variant_get_byte(value); break;
    case G_VARIANT_CLASS_UINT32: number = g_variant_get_uint32(value); break;
    default: break;
  }
  if (property.write_log != nullptr) {
    if (is_text)
      DBUS_LOG(LOG_LEVEL_INFO, property.write_log, text);
    else
      DBUS_LOG(LOG_LEVEL_INFO, property.write_log, int(number));
  }
  auto refuse = [&] {
    DBUS_LOG(LOG_LEVEL_WARN, "Invalid parameter value");
    if (is_text)
      set_invalid_args(error, property.refused, text);
    else
      set_invalid_args(error, property.refused, int(number));
    return false;
  };
  uint8_t bytes[4] = {};
  uint32_t wide = uint32_t(number);
  void *stored = bytes;
  switch (property.stored) {
    case Stored::Byte: bytes[0] = uint8_t(number); break;
    case Stored::U32:
      if (!property.allowed.empty() &&
          std::find(property.allowed.begin(), property.allowed.end(), wide) == property.allowed.end())
        return refuse();
      stored = &wide;
      break;
    case Stored::IPv4Classic:
      if (!parse_ipv4_classic(text, bytes)) return refuse();
      break;
    case Stored::Text: stored = const_cast<char *>(text); break;
  }
  std::string cut;
  if (property.stored == Stored::Text && property.cut_at != 0 && std::strlen(text) > property.cut_at) {
    const char *end = text;
    while (*end != '\0' && size_t(g_utf8_next_char(end) - text) <= property.cut_at)
      end = g_utf8_next_char(end);
    cut.assign(text, end);
    stored = cut.data();
  }
  if (object.set(property.index, stored) == 0) {
    set_invalid_args(error, object.store_refused, name);
    return false;
  }
  flags->changed = 1;
  return true;
}

bool object_write(const SingleObject &object, const char *name, GVariant *value,
                  WriteFlags *flags, GError **error) {
  const Property *property = find_property(object, name);
  if (property == nullptr || property->write == nullptr) {
    DBUS_LOG(LOG_LEVEL_WARN, object.unknown_log, __func__, __LINE__, name);
    set_invalid_args(error, object.unknown_write, name);
    return false;
  }
  if (!check_value_type(value, name, property->type, error)) return false;
  return property->write(object, *property, name, value, flags, error);
}

gboolean object_set(const SingleObject &object, const char *function, GDBusConnection *connection,
                    const char *object_path, const char *interface_name,
                    const char *property_name, GVariant *value, GError **error) {
  sys_log(LOG_MODULE_DBUS, LOG_LEVEL_INFO, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function,
          object.write_log, function, __LINE__, property_name);
  StoreTransaction transaction;
  if (!transaction.began(error)) return FALSE;
  if (object.may_write != nullptr && !object.may_write(object, object_path, error)) return FALSE;

  WriteFlags flags;
  if (!object_write(object, property_name, value, &flags, error)) return FALSE;
  if (object.finish != nullptr && !object.finish(object, flags, error)) return FALSE;
  if (!transaction.commit(error)) return FALSE;

  const Property *written = find_property(object, property_name);
  if (flags.changed && written != nullptr && property_announced(object, *written)) {
    GVariant *entry = change_entry(property_name, value);
    emit_properties_changed(connection, object_path, interface_name,
                            g_variant_new_array(G_VARIANT_TYPE("{sv}"), &entry, 1));
  }
  sys_log(LOG_MODULE_DBUS, LOG_LEVEL_INFO, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function,
          "out of func [%s]", function);
  return TRUE;
}

gboolean object_set_multi(const SingleObject &object, const char *function,
                          GDBusConnection *connection, const char *object_path,
                          const char *interface_name, GVariant *properties, GError **error) {
  sys_log(LOG_MODULE_DBUS, object.multi_log_level, LOG_CATEGORY_DEBUG, __FILE__, __LINE__,
          function, object.multi_log, function, object_path);
  StoreTransaction transaction;
  if (!transaction.began(error)) return FALSE;
  if (object.may_write != nullptr && !object.may_write(object, object_path, error)) return FALSE;

  ChangeList changes;
  bool any_changed = false;
  WriteFlags request;
  // The first failure of a walk that continues; it is logged, not answered,
  // since the request as a whole succeeds.
  g_autoptr(GError) skipped = nullptr;

  auto apply = [&](const char *name, GVariant *value, GError **entry_error) {
    WriteFlags entry;
    if (!object_write(object, name, value, &entry, entry_error)) return false;
    request.commit_needed |= entry.commit_needed;
    if (entry.changed) {
      request.changed = 1;
      if (find_property(object, name)->change_signal != ChangeSignal::Never) {
        any_changed = true;
        changes.add(name, value);
      }
    }
    return true;
  };
  if (!walk_entries(function, object.multi_log_level, properties, object.multi_failure, apply,
                    &skipped, error)) {
    // What was stored before the refused entry stays stored, as the object says.
    g_autoptr(GError) ignored = nullptr;
    transaction.commit(&ignored);
    return FALSE;
  }

  if (object.finish != nullptr && !object.finish(object, request, error)) return FALSE;
  if (!transaction.commit(error)) return FALSE;
  if (skipped != nullptr)
    sys_log(LOG_MODULE_DBUS, LOG_LEVEL_WARN, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function,
            "SetMulti %s on %s: %s", interface_name, object_path, skipped->message);
  if ((any_changed || object.announce_empty_multi) &&
      (object.announce == nullptr || object.announce())) {
    emit_properties_changed(connection, object_path, interface_name, changes.end());
  }
  sys_log(LOG_MODULE_DBUS, object.multi_log_level, LOG_CATEGORY_DEBUG, __FILE__, __LINE__,
          function, "out of func [%s]", function);
  return TRUE;
}

}  // namespace igd1
