// The engine of single-instance objects: registration, reads, writes,
// multi-writes and their change signal, driven by each module's table.
#include "single_object.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "dbus_proxy_api.h"
#include "host_api.h"
#include "igd1_assert.h"
#include "single_object_engine.h"
#include "sys_introspection.h"
#include "texts.h"

namespace igd1 {
int current_service_type() { return dbus_proxy_get_service_type(); }

bool serves(const Property &property, int service_type) {
  switch (property.variant) {
    case Variant::Any: return true;
    case Variant::ServiceType1: return service_type == 1;
    case Variant::NotServiceType1: return service_type != 1;
  }
  return false;
}

namespace {

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

}  // namespace

// The properties of `object` whose changes the current service type does not
// announce are marked so in its introspection data.
void mark_object_unannounced(const SingleObject &object, GDBusInterfaceInfo *interface) {
  mark_unannounced(interface, [&object](const char *name) {
    const Property *row = find_property(object, name);
    return row == nullptr || property_announced(object, *row);
  });
}

GVariant *text_value(const char *text, size_t size, const char *name, GError **error) {
  if (strnlen(text, size) == size || !g_utf8_validate(text, -1, nullptr)) {
    set_invalid_args(error, "invalid UTF-8 sting value of %s", name);
    return nullptr;
  }
  return g_variant_new_string(text);
}

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

namespace {

// object_text, inlined where a request asks with a fixed text.
inline const char *text_of(const SingleObject &object, ObjectText text, int *level = nullptr) {
  const char *engine = nullptr;
  int engine_level = LOG_LEVEL_INFO;
  switch (text) {
    case ObjectText::UnknownRead:
    case ObjectText::UnknownWrite: engine = "invalid property %s"; break;
    case ObjectText::StoreRefused: engine = "set %s fail"; break;
    case ObjectText::ReadLog: engine = "func [%s], line [%d],property_name:%s"; break;
    case ObjectText::WriteLog: engine = "func [%s], line [%d]"; break;
    case ObjectText::MultiLog:
      engine = "func [%s],object_path:%s";
      engine_level = LOG_LEVEL_DETAIL;
      break;
    case ObjectText::UnknownLog:
      engine = "func [%s], line [%d], invalid property %s";
      engine_level = LOG_LEVEL_WARN;
      break;
    case ObjectText::FailureLog: engine_level = LOG_LEVEL_WARN; break;
    case ObjectText::UnknownMethod:
    case ObjectText::MethodLog: break;
  }
  if (level != nullptr) *level = engine_level;
  const char *worded = object.wording != nullptr ? object.wording(text, level) : nullptr;
  return worded != nullptr ? worded : engine;
}

}  // namespace

const char *object_text(const SingleObject &object, ObjectText text, int *level) {
  return text_of(object, text, level);
}

const char *names_written_property(ObjectText text, int *) {
  return text == ObjectText::WriteLog ? kWriteLineNamingProperty : nullptr;
}

const char *logs_methods(ObjectText text, int *) {
  return text == ObjectText::MethodLog ? kMethodLine : nullptr;
}

std::string object_text_faults(const SingleObject &object) {
  std::string faults;
  const char *owner = object.path != nullptr ? object.path : object.xml_file;
  constexpr unsigned kNamed = kSuppliesName | kSuppliesPath | kSuppliesInstance;
  for (size_t n = 0; n < kObjectTextCount; ++n) {
    const auto text = ObjectText(n);
    int level = 0;
    const unsigned supplied = text <= ObjectText::UnknownMethod  ? kNamed
                              : text <= ObjectText::StoreRefused ? kSuppliesAll
                                                                 : kSuppliesNothing;
    const char *worded = object_text(object, text, text >= ObjectText::ReadLog ? &level : nullptr);
    check_text(&faults, owner, worded, supplied);
  }
  for (const Property &property : object.properties) {
    // The engine's writer fills its refusal; a module's writer uses it itself.
    check_text(&faults, owner, property.refused,
               property.write == store_value ? kSuppliesAll : kSuppliesNothing);
    for (const char *text : {property.failure_log, property.write_log, property.multi_write_log})
      check_text(&faults, owner, text, kSuppliesNothing);
    check_text(&faults, owner, property.failure_error, kNamed);
  }
  return faults;
}

bool announce_allowed(Announce policy) {
  switch (policy) {
    case Announce::Never: return false;
    case Announce::ServiceType0: return dbus_proxy_get_service_type() == 0;
    case Announce::Always: return true;
    case Announce::AsModule: return false;  // a module's own policy is never AsModule
  }
  return false;
}

bool property_announced(const SingleObject &object, const Property &property) {
  switch (property.change_signal) {
    case ChangeSignal::Never: return false;
    case ChangeSignal::ByModule: return true;
    case ChangeSignal::OnWrite:
      return property.write != nullptr && announce_allowed(object.announce);
  }
  return false;
}

void mark_unannounced(GDBusInterfaceInfo *interface,
                      const std::function<bool(const char *name)> &announced) {
  const char *inherited = g_dbus_annotation_info_lookup(interface->annotations, kEmitsChangedSignal);
  for (GDBusPropertyInfo **p = interface->properties; p != nullptr && *p != nullptr; ++p) {
    GDBusPropertyInfo *property = *p;
    if (announced(property->name)) continue;
    // A property's own annotation overrides its interface's.
    const bool own = g_dbus_annotation_info_lookup(property->annotations, kEmitsChangedSignal) != nullptr;
    if (own || g_strcmp0(inherited, "false") != 0) mark_never_emitted(property);
  }
}

void object_method_call(const SingleObject &object, const char *function, const char *object_path,
                        const char *interface_name, const char *method_name, GVariant *parameters,
                        GDBusMethodInvocation *invocation, uint32_t instance) {
  int level = 0;
  const char *line = text_of(object, ObjectText::MethodLog, &level);
  if (line != nullptr)
    sys_log(LOG_MODULE_DBUS, level, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function, line,
            function, __LINE__, method_name);
  const CallContext context{
      .object_path = object_path, .instance = instance, .user_data = object.user_data};
  dispatch_method(object.methods, context, interface_name, method_name, parameters, invocation,
                  text_of(object, ObjectText::UnknownMethod));
  if (line != nullptr)
    sys_log(LOG_MODULE_DBUS, level, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function,
            "out of func [%s]", function);
}

// ---- shared helpers -----------------------------------------------------------------

bool check_value_type(GVariant *value, const char *name, const char *type, GError **error) {
  if (g_variant_is_of_type(value, G_VARIANT_TYPE(type))) return true;
  set_invalid_args(error, "invalid type '%s' of %s, expected '%s'",
                   g_variant_get_type_string(value), name, type);
  return false;
}

void set_invalid_text(GError **error, const char *text, const TextValues &values,
                      const char *legacy) {
  set_invalid_args(error, "%s", text_for(text, values, legacy).c_str());
}

// A damaged store fails every call that reaches it; the client then learns
// that, not a complaint about the value it sent.
void set_invalid_args(GError **error, const char *format, ...) {
  if (const char *damage = mib_store_damage()) {
    g_set_error_literal(error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, damage);
    return;
  }
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

namespace {

// The names and aliases of a large table in order, each with its row's
// position, so that a name is found in a few comparisons rather than by a
// walk through every row (an SSID has about sixty values, and a listing
// looks each of them up).  Built once per table, never changed, never freed.
class NameIndex {
 public:
  explicit NameIndex(const SingleObject &object) {
    for (size_t i = 0; i < object.properties.size(); ++i) {
      const Property &property = object.properties[i];
      entries_.push_back({property.name, i});
      if (property.alias != nullptr) entries_.push_back({property.alias, i});
    }
    // Equal names keep the order of their rows: the first row that serves wins.
    std::stable_sort(entries_.begin(), entries_.end(), [](const Entry &a, const Entry &b) {
      return std::strcmp(a.name, b.name) < 0;
    });
  }

  const Property *find(const SingleObject &object, const char *name, int service_type) const {
    auto at = std::lower_bound(entries_.begin(), entries_.end(), name,
                               [](const Entry &entry, const char *wanted) {
                                 return std::strcmp(entry.name, wanted) < 0;
                               });
    for (; at != entries_.end() && std::strcmp(at->name, name) == 0; ++at) {
      const Property &property = object.properties[at->position];
      if (serves(property, service_type)) return &property;
    }
    return nullptr;
  }

 private:
  struct Entry {
    const char *name;
    size_t position;
  };
  std::vector<Entry> entries_;
};

// Below this many rows a walk is as quick as the index.
constexpr size_t kIndexedRows = 16;

const NameIndex &name_index(const SingleObject &object) {
  // The last table asked for on this thread: a listing asks for one table
  // many times in a row.
  thread_local const SingleObject *last = nullptr;
  thread_local const NameIndex *last_index = nullptr;
  if (last == &object) return *last_index;
  static std::mutex mutex;
  static auto *indexes = new std::map<const SingleObject *, const NameIndex *>;
  std::lock_guard lock(mutex);
  const NameIndex *&index = (*indexes)[&object];
  if (index == nullptr) index = new NameIndex(object);
  last = &object;
  last_index = index;
  return *index;
}

}  // namespace

const Property *find_property(const SingleObject &object, const char *name) {
  if (name == nullptr) return nullptr;
  const int service_type = current_service_type();
  if (object.properties.size() >= kIndexedRows)
    return name_index(object).find(object, name, service_type);
  // Most names differ from the wanted one in their first letter: checking it
  // inline spares a call per property on every request.
  const char first = name[0];
  for (const Property &property : object.properties) {
    if (!serves(property, service_type)) continue;
    if ((property.name[0] == first && std::strcmp(property.name, name) == 0) ||
        (property.alias != nullptr && property.alias[0] == first &&
         std::strcmp(property.alias, name) == 0))
      return &property;
  }
  return nullptr;
}

// ---- reading ------------------------------------------------------------------------

GVariant *write_only(const CallContext &, const SingleObject &, const Property &) { return nullptr; }

GVariant *object_get(const SingleObject &object, const char *function, const char *object_path,
                     const char *property_name, GError **error, uint32_t instance) {
  int level = 0;
  const char *line = text_of(object, ObjectText::ReadLog, &level);
  sys_log(LOG_MODULE_DBUS, level, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function, line, function,
          __LINE__, property_name);

  GVariant *value = nullptr;
  bool no_value = false;
  const Property *property = find_property(object, property_name);
  if (property == nullptr) {
    no_value = true;
  } else if (property->read != nullptr) {
    const CallContext call{.object_path = object_path, .instance = instance,
                           .user_data = object.user_data, .kind = CallKind::Get, .error = error};
    value = property->read(call, object, *property);
    no_value = value == nullptr && (error == nullptr || *error == nullptr);
  } else {
    std::array<uint8_t, kMaxReadBuffer> buffer{};
    const size_t size = property->buffer != 0 ? property->buffer : object.read_buffer;
    const bool read = (object.get_at != nullptr
                           ? object.get_at(instance, property->index, buffer.data())
                           : object.get(property->index, buffer.data())) != 0;
    if (read || property->on_failure == OnFailure::Unchecked) {
      value = build_value(*property, buffer.data(), size);
      if (value == nullptr)
        set_invalid_args(error, "invalid UTF-8 sting value of %s", property_name);
    } else if (property->on_failure == OnFailure::Error) {
      if (property->failure_log != nullptr) {
        int failure_level = 0;
        text_of(object, ObjectText::FailureLog, &failure_level);
        sys_log(LOG_MODULE_DBUS, failure_level, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function,
                property->failure_log, property_name);
      }
      set_invalid_text(error, property->failure_error,
                       {.name = property_name, .path = object_path, .instance = instance},
                       property_name);
    } else if (property->on_failure == OnFailure::Fallback) {
      DBUS_LOG(LOG_LEVEL_WARN, property->failure_log, property_name);
      value = property->raw == Raw::Text || property->raw == Raw::IPv4
                  ? g_variant_new_string(property->fallback_text)
                  : value_of_number(*property, property->fallback_number,
                                    double(property->fallback_number));
    } else {
      no_value = true;
    }
  }

  if (no_value) {
    int unknown_level = 0;
    const char *unknown = text_of(object, ObjectText::UnknownLog, &unknown_level);
    sys_log(LOG_MODULE_DBUS, unknown_level, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function,
            unknown, function, __LINE__, property_name);
    if (error == nullptr || *error == nullptr)
      set_invalid_text(error, text_of(object, ObjectText::UnknownRead),
                       {.name = property_name, .path = object_path, .instance = instance},
                       property_name);
  }
  // The line that closes a read goes where the line that opened it went.
  sys_log(LOG_MODULE_DBUS, level, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function,
          "out of func [%s]", function);
  return value;
}

// ---- writing ------------------------------------------------------------------------

std::vector<gsize> entry_sequence(GVariant *entries, const EntryOrder &order) {
  const gsize count = g_variant_n_children(entries);
  std::vector<std::pair<int, gsize>> ranked;
  ranked.reserve(count);
  for (gsize i = 0; i < count; ++i) {
    const gchar *name = nullptr;
    g_variant_get_child(entries, i, "{&sv}", &name, nullptr);
    ranked.emplace_back(order(name), i);
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto &a, const auto &b) { return a.first < b.first; });
  std::vector<gsize> sequence;
  sequence.reserve(count);
  for (const auto &[rank, i] : ranked) sequence.push_back(i);
  return sequence;
}

bool whole_number_of(GVariant *value, int64_t *number) {
  switch (g_variant_classify(value)) {
    case G_VARIANT_CLASS_BOOLEAN: *number = g_variant_get_boolean(value) ? 1 : 0; return true;
    case G_VARIANT_CLASS_BYTE: *number = g_variant_get_byte(value); return true;
    case G_VARIANT_CLASS_INT16: *number = g_variant_get_int16(value); return true;
    case G_VARIANT_CLASS_UINT16: *number = g_variant_get_uint16(value); return true;
    case G_VARIANT_CLASS_INT32: *number = g_variant_get_int32(value); return true;
    case G_VARIANT_CLASS_UINT32: *number = g_variant_get_uint32(value); return true;
    case G_VARIANT_CLASS_INT64: *number = g_variant_get_int64(value); return true;
    case G_VARIANT_CLASS_UINT64: {
      const uint64_t wide = g_variant_get_uint64(value);
      if (wide > uint64_t(INT64_MAX)) return false;
      *number = int64_t(wide);
      return true;
    }
    case G_VARIANT_CLASS_DOUBLE: {
      const double real = g_variant_get_double(value);
      if (!(real >= -9.2e18 && real <= 9.2e18) || real != double(int64_t(real))) return false;
      *number = int64_t(real);
      return true;
    }
    default: return false;
  }
}

bool store_value(const CallContext &call, const SingleObject &object, const Property &property,
                 const char *name, GVariant *value, WriteFlags *flags) {
  GError **error = call.error;
  const bool is_text = g_variant_classify(value) == G_VARIANT_CLASS_STRING;
  const char *text = is_text ? g_variant_get_string(value, nullptr) : nullptr;
  int64_t number = 0;
  const bool whole = !is_text && whole_number_of(value, &number);
  auto refuse = [&] {
    DBUS_LOG(LOG_LEVEL_WARN, "Invalid parameter value");
    if (has_placeholders(property.refused)) {
      const TextValues said{.name = name, .value = value, .path = call.object_path,
                            .instance = call.instance};
      set_invalid_args(error, "%s", fill_text(property.refused, said).c_str());
    } else if (is_text)
      set_invalid_args(error, property.refused, text);
    else
      set_invalid_args(error, property.refused, int(number));
    return false;
  };
  if (g_variant_classify(value) == G_VARIANT_CLASS_BOOLEAN && number != 0)
    number = property.true_stored;
  // A value the stored form cannot hold is refused, never stored cut down.
  uint8_t bytes[4] = {};
  uint32_t wide = 0;
  void *stored = bytes;
  switch (property.stored) {
    case Stored::Byte:
      if (!whole || number < 0 || number > UINT8_MAX) return refuse();
      bytes[0] = uint8_t(number);
      break;
    case Stored::U32:
      if (!whole || number < 0 || number > int64_t(UINT32_MAX)) return refuse();
      wide = uint32_t(number);
      if (!property.allowed.empty() &&
          std::find(property.allowed.begin(), property.allowed.end(), wide) == property.allowed.end())
        return refuse();
      stored = &wide;
      break;
    case Stored::IPv4Classic:
      if (!is_text || !parse_ipv4_classic(text, bytes)) return refuse();
      break;
    case Stored::Text:
      if (!is_text) return refuse();
      stored = const_cast<char *>(text);
      break;
  }
  std::string cut;
  if (property.stored == Stored::Text && property.cut_at != 0 && std::strlen(text) > property.cut_at) {
    const char *end = text;
    while (*end != '\0' && size_t(g_utf8_next_char(end) - text) <= property.cut_at)
      end = g_utf8_next_char(end);
    cut.assign(text, end);
    stored = cut.data();
  }
  const int accepted = object.set(property.index, stored);
  if (accepted == 0) {
    set_invalid_text(error, text_of(object, ObjectText::StoreRefused),
                     {.name = name, .value = value, .path = call.object_path,
                      .instance = call.instance},
                     name);
    return false;
  }
  flags->changed = 1;
  return true;
}

namespace {

// A written value in a log line: a text, or a number (formats take "%d").
void log_written(const char *format, GVariant *value) {
  int number = 0;
  switch (g_variant_classify(value)) {
    case G_VARIANT_CLASS_STRING:
      DBUS_LOG(LOG_LEVEL_INFO, format, g_variant_get_string(value, nullptr));
      return;
    case G_VARIANT_CLASS_BOOLEAN: number = g_variant_get_boolean(value) ? 1 : 0; break;
    case G_VARIANT_CLASS_BYTE: number = g_variant_get_byte(value); break;
    case G_VARIANT_CLASS_INT16: number = g_variant_get_int16(value); break;
    case G_VARIANT_CLASS_UINT16: number = g_variant_get_uint16(value); break;
    case G_VARIANT_CLASS_INT32: number = g_variant_get_int32(value); break;
    case G_VARIANT_CLASS_UINT32: number = int(g_variant_get_uint32(value)); break;
    case G_VARIANT_CLASS_INT64: number = int(g_variant_get_int64(value)); break;
    case G_VARIANT_CLASS_UINT64: number = int(g_variant_get_uint64(value)); break;
    case G_VARIANT_CLASS_DOUBLE: number = int(g_variant_get_double(value)); break;
    default: break;
  }
  DBUS_LOG(LOG_LEVEL_INFO, format, number);
}

}  // namespace

bool object_write(const CallContext &call, const SingleObject &object, const char *name,
                  GVariant *value, WriteFlags *flags) {
  GError **error = call.error;
  const Property *property = find_property(object, name);
  if (property == nullptr || property->write == nullptr) {
    int level = 0;
    const char *unknown = text_of(object, ObjectText::UnknownLog, &level);
    sys_log(LOG_MODULE_DBUS, level, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, __func__, unknown,
            __func__, __LINE__, name);
    set_invalid_text(error, text_of(object, ObjectText::UnknownWrite),
                     {.name = name, .value = value, .path = call.object_path,
                      .instance = call.instance},
                     name);
    return false;
  }
  if (!check_value_type(value, name, property->type, error)) return false;
  const char *log = call.kind == CallKind::SetMulti && property->multi_write_log != nullptr
                        ? property->multi_write_log
                        : property->write_log;
  if (log != nullptr) log_written(log, value);
  return property->write(call, object, *property, name, value, flags);
}

bool object_write(const SingleObject &object, const char *name, GVariant *value,
                  WriteFlags *flags, GError **error) {
  const CallContext call{.object_path = object.path, .user_data = object.user_data,
                         .kind = CallKind::Set, .error = error};
  return object_write(call, object, name, value, flags);
}

namespace {

// A change of `property` as clients hear of it: the value as written, or
// what the property's announce hook makes of it.
void add_change(ChangeList &changes, const Property &property, const char *name, GVariant *value,
                GVariant *request_entry) {
  if (property.announced != nullptr) {
    if (GVariant *announced = property.announced(value)) {
      changes.add(name, announced);
      return;
    }
  }
  if (request_entry != nullptr)
    changes.add_entry(request_entry);
  else
    changes.add(name, value);
}

}  // namespace

namespace {

// The object's begin of a request: true when its entries are to be
// applied; otherwise *answer is the request's answer (success for a
// request ignored, failure with the hook's error for one refused).
bool begins(const SingleObject &object, const CallContext &call, const char *function,
            gboolean *answer) {
  const Transaction &hooks = object.transaction;
  const Begin begin = hooks.begin != nullptr ? hooks.begin(call, object) : Begin::Apply;
  if (begin == Begin::Apply) return true;
  if (begin == Begin::Ignore)
    sys_log(LOG_MODULE_DBUS, LOG_LEVEL_INFO, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function,
            "func [%s]: %s ignored", function, call.object_path);
  *answer = begin == Begin::Ignore;
  return false;
}

// A request that failed after its begin: the module's abort runs before the
// error answers.
gboolean aborted(const SingleObject &object, const CallContext &call) {
  if (object.transaction.abort != nullptr) object.transaction.abort(call, object);
  return FALSE;
}

}  // namespace

gboolean object_set(const SingleObject &object, const char *function, GDBusConnection *connection,
                    const char *object_path, const char *interface_name,
                    const char *property_name, GVariant *value, GError **error,
                    uint32_t instance) {
  int level = 0;
  const char *line = text_of(object, ObjectText::WriteLog, &level);
  sys_log(LOG_MODULE_DBUS, level, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function, line, function,
          __LINE__, property_name);
  StoreTransaction transaction;
  if (!transaction.began(error)) return FALSE;
  const CallContext call{.object_path = object_path, .instance = instance,
                         .user_data = object.user_data, .kind = CallKind::Set, .error = error};
  gboolean answer = FALSE;
  if (!begins(object, call, function, &answer)) return answer;

  WriteFlags flags;
  if (!object_write(call, object, property_name, value, &flags)) return aborted(object, call);
  const Transaction &hooks = object.transaction;
  if (hooks.commit != nullptr && !hooks.commit(call, object, flags)) return aborted(object, call);
  if (!transaction.commit(error)) return aborted(object, call);

  const Property *written = find_property(object, property_name);
  if (flags.changed && written != nullptr && property_announced(object, *written)) {
    ChangeList change;
    add_change(change, *written, property_name, value, nullptr);
    emit_changes(connection, object_path, interface_name, std::move(change));
  }
  sys_log(LOG_MODULE_DBUS, LOG_LEVEL_INFO, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function,
          "out of func [%s]", function);
  return TRUE;
}

gboolean object_set_multi(const SingleObject &object, const char *function,
                          GDBusConnection *connection, const char *object_path,
                          const char *interface_name, GVariant *properties, GError **error,
                          uint32_t instance) {
  int level = 0;
  const char *line = text_of(object, ObjectText::MultiLog, &level);
  sys_log(LOG_MODULE_DBUS, level, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function, line, function,
          object_path);
  StoreTransaction transaction;
  if (!transaction.began(error)) return FALSE;
  const CallContext call{.object_path = object_path, .instance = instance,
                         .user_data = object.user_data, .kind = CallKind::SetMulti, .error = error};
  gboolean answer = FALSE;
  if (!begins(object, call, function, &answer)) return answer;

  ChangeList changes;
  bool any_changed = false;
  WriteFlags request;
  // The first failure of a walk that continues; it is logged, not answered,
  // since the request as a whole succeeds.
  g_autoptr(GError) skipped = nullptr;

  auto apply = [&](const char *name, GVariant *value, GVariant *request_entry,
                   GError **entry_error) {
    WriteFlags entry;
    CallContext entry_call = call;
    entry_call.error = entry_error;
    if (!object_write(entry_call, object, name, value, &entry)) return false;
    request.commit_needed |= entry.commit_needed;
    request.marks |= entry.marks;
    if (entry.changed) {
      request.changed = 1;
      const Property &written = *find_property(object, name);
      if (written.change_signal != ChangeSignal::Never) {
        any_changed = true;
        add_change(changes, written, name, value, request_entry);
      }
    }
    return true;
  };
  const bool ordered = std::any_of(object.properties.begin(), object.properties.end(),
                                   [](const Property &p) { return p.apply_order != 0; });
  const EntryOrder order = [&object](const char *name) {
    const Property *property = find_property(object, name);
    return property != nullptr ? int(property->apply_order) : 0;
  };
  if (!walk_entries(function, level, properties, object.multi_failure, apply,
                    &skipped, error, ordered ? &order : nullptr)) {
    // What was stored before the refused entry stays stored unless the
    // object restores: then the store's transaction is rolled back.
    if (object.multi_failure != MultiFailure::Restore) {
      g_autoptr(GError) ignored = nullptr;
      transaction.commit(&ignored);
    }
    return aborted(object, call);
  }

  const Transaction &hooks = object.transaction;
  if (hooks.commit != nullptr && !hooks.commit(call, object, request)) return aborted(object, call);
  if (!transaction.commit(error)) return aborted(object, call);
  if (skipped != nullptr)
    sys_log(LOG_MODULE_DBUS, LOG_LEVEL_WARN, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function,
            "SetMulti %s on %s: %s", interface_name, object_path, skipped->message);
  const bool announcing = object.multi_announce == MultiAnnounce::Always ||
                          (object.multi_announce == MultiAnnounce::Changed && any_changed);
  if (announcing && announce_allowed(object.announce)) {
    emit_changes(connection, object_path, interface_name, std::move(changes));
  }
  sys_log(LOG_MODULE_DBUS, level, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function,
          "out of func [%s]", function);
  return TRUE;
}

}  // namespace igd1
