// The collection engine: object manager, child objects and their skeleton
// type, and the property handlers of collections of fixed-size records.
#include "collection.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "dbus_proxy_api.h"
#include "host_api.h"
#include "igd1_assert.h"
#include "single_object.h"

namespace igd1 {
namespace {

struct UnrefValue {
  void operator()(GVariant *value) const { g_variant_unref(value); }
};
using OwnedValue = std::unique_ptr<GVariant, UnrefValue>;
OwnedValue owned(GVariant *value) {
  return OwnedValue(value != nullptr ? g_variant_ref_sink(value) : nullptr);
}

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
  GDBusInterfaceInfo *info;  // the interface this skeleton serves (null: the first)
};

const Collection &collection_of(GDBusInterfaceSkeleton *skeleton) {
  return *reinterpret_cast<CollectionSkeletonClass *>(G_OBJECT_GET_CLASS(skeleton))->collection;
}

GDBusInterfaceInfo *skeleton_get_info(GDBusInterfaceSkeleton *skeleton) {
  GDBusInterfaceInfo *own = reinterpret_cast<CollectionSkeleton *>(skeleton)->info;
  if (own != nullptr) return own;
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

// ---- fields ------------------------------------------------------------------------

constexpr size_t kItemBuffer = 1024;

size_t field_width(const RowProperty &property) {
  switch (property.field) {
    case Field::Flag:
    case Field::Choice: return 1;
    case Field::IPv4: return 4;
    case Field::IPv6: return 16;
    case Field::MAC: return 6;
    case Field::Number:
    case Field::Text:
    case Field::List:
    case Field::MacText: return property.size;
    case Field::Item: return 0;
  }
  return 0;
}

int64_t load_number(const RowProperty &property, const uint8_t *row) {
  uint64_t raw = 0;
  std::memcpy(&raw, row + property.offset, property.size);  // little-endian host
  if (property.is_signed && property.size < 8) {
    const uint64_t sign = uint64_t{1} << (8 * property.size - 1);
    raw = (raw ^ sign) - sign;
  }
  return int64_t(raw) - property.bias;
}

GVariant *number_value(const char *type, int64_t number) {
  switch (type[0]) {
    case 'y': return g_variant_new_byte(guchar(number));
    case 'b': return g_variant_new_boolean(number != 0);
    case 'n': return g_variant_new_int16(gint16(number));
    case 'q': return g_variant_new_uint16(guint16(number));
    case 'i': return g_variant_new_int32(gint32(number));
    case 'u': return g_variant_new_uint32(guint32(number));
    case 'x': return g_variant_new_int64(number);
    case 't': return g_variant_new_uint64(uint64_t(number));
    case 'd': return g_variant_new_double(double(number));
    default: return nullptr;
  }
}

// The number a value of a numeric bus type carries; false for a real that
// is not whole.
bool number_of(GVariant *value, int64_t *number) {
  switch (g_variant_get_type_string(value)[0]) {
    case 'y': *number = g_variant_get_byte(value); return true;
    case 'b': *number = g_variant_get_boolean(value) ? 1 : 0; return true;
    case 'n': *number = g_variant_get_int16(value); return true;
    case 'q': *number = g_variant_get_uint16(value); return true;
    case 'i': *number = g_variant_get_int32(value); return true;
    case 'u': *number = g_variant_get_uint32(value); return true;
    case 'x': *number = g_variant_get_int64(value); return true;
    case 't': {
      const uint64_t wide = g_variant_get_uint64(value);
      if (wide > uint64_t(INT64_MAX)) return false;
      *number = int64_t(wide);
      return true;
    }
    case 'd': {
      const double real = g_variant_get_double(value);
      if (!(real >= -9.2e18 && real <= 9.2e18) || real != double(int64_t(real))) return false;
      *number = int64_t(real);
      return true;
    }
    default: return false;
  }
}

bool store_number(const RowProperty &property, int64_t number, uint8_t *bytes) {
  if (property.max > property.min && (number < property.min || number > property.max))
    return false;
  const int64_t stored = number + property.bias;
  if (property.size < 8) {
    const int bits = 8 * property.size;
    const int64_t low = property.is_signed ? -(int64_t{1} << (bits - 1)) : 0;
    const int64_t high = property.is_signed ? (int64_t{1} << (bits - 1)) - 1
                                            : (int64_t{1} << bits) - 1;
    if (stored < low || stored > high) return false;
  } else if (!property.is_signed && stored < 0) {
    return false;
  }
  const uint64_t raw = uint64_t(stored);
  std::memcpy(bytes, &raw, property.size);
  return true;
}

bool parse_mac(const char *text, uint8_t mac[6]) {
  const size_t length = std::strlen(text);
  const bool colons = length == 17;
  if (!colons && length != 12) return false;
  for (int i = 0; i < 6; ++i) {
    const char *pair = text + (colons ? 3 * i : 2 * i);
    if (colons && i < 5 && pair[2] != ':') return false;
    const int high = g_ascii_xdigit_value(pair[0]);
    const int low = g_ascii_xdigit_value(pair[1]);
    if (high < 0 || low < 0) return false;
    mac[i] = uint8_t(high << 4 | low);
  }
  return true;
}

// The address a MacText field holds; false (all zero) when it holds none.
bool stored_mac(const RowProperty &property, const uint8_t *at, uint8_t mac[6]) {
  g_autofree gchar *text = g_strndup(reinterpret_cast<const char *>(at), property.size);
  if (parse_mac(text, mac)) return true;
  std::memset(mac, 0, 6);
  return false;
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

// Copies `text` into a field of `size` bytes (terminator included); a longer
// text is cut at a character boundary or refused.
bool store_text(const RowProperty &property, const char *text, uint8_t *bytes) {
  size_t length = std::strlen(text);
  if (length >= property.size) {
    if (property.overlong == Overlong::Refuse) return false;
    length = property.size - 1u;
    while (length > 0 && (uint8_t(text[length]) & 0xC0) == 0x80) --length;
  }
  std::memset(bytes, 0, property.size);
  std::memcpy(bytes, text, length);
  return true;
}

// The new bytes of the field for `value`; false when the value is refused.
bool encode_field(const RowProperty &property, GVariant *value, uint8_t *bytes) {
  switch (property.field) {
    case Field::Flag:
      bytes[0] = (g_variant_get_boolean(value) != 0) != property.inverted ? 1 : 0;
      return true;
    case Field::Number: {
      int64_t number = 0;
      return number_of(value, &number) && store_number(property, number, bytes);
    }
    case Field::IPv4:
    case Field::IPv6: {
      const char *text = g_variant_get_string(value, nullptr);
      const size_t width = field_width(property);
      if (text[0] == '\0' && property.empty_is_any) {
        std::memset(bytes, 0, width);
        return true;
      }
      return inet_pton(property.field == Field::IPv4 ? AF_INET : AF_INET6, text, bytes) == 1;
    }
    case Field::MAC: return parse_mac(g_variant_get_string(value, nullptr), bytes);
    case Field::Text: return store_text(property, g_variant_get_string(value, nullptr), bytes);
    case Field::Choice: {
      const Choice *choice = choice_named(property, g_variant_get_string(value, nullptr));
      if (choice == nullptr) return false;
      bytes[0] = choice->stored;
      return true;
    }
    case Field::List: {
      // An entry with the separator, or an empty one, would not read back
      // as itself; a list longer than its field is refused, never cut.
      g_autofree const gchar **entries = g_variant_get_strv(value, nullptr);
      for (const gchar **entry = entries; *entry != nullptr; ++entry)
        if (**entry == '\0' || std::strchr(*entry, ';') != nullptr) return false;
      g_autofree gchar *joined = g_strjoinv(";", const_cast<gchar **>(entries));
      return std::strlen(joined) < property.size && store_text(property, joined, bytes);
    }
    case Field::MacText: {
      uint8_t mac[6];
      if (!parse_mac(g_variant_get_string(value, nullptr), mac)) return false;
      std::memset(bytes, 0, property.size);
      g_snprintf(reinterpret_cast<char *>(bytes), property.size, "%02x:%02x:%02x:%02x:%02x:%02x",
                 mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
      return true;
    }
    case Field::Item: return false;
  }
  return false;
}

GVariant *text_value(const char *text, size_t size) {
  const size_t length = strnlen(text, size);
  if (!g_utf8_validate(text, gssize(length), nullptr)) return nullptr;
  g_autofree gchar *copy = g_strndup(text, length);
  return g_variant_new_string(copy);
}

// Items of a bus type other than s travel in the type's own width.
size_t item_width(const char *type) {
  switch (type[0]) {
    case 'b':
    case 'y': return 1;
    case 'n':
    case 'q': return 2;
    case 'i':
    case 'u': return 4;
    case 'x':
    case 't':
    case 'd': return 8;
    default: return 0;
  }
}

template <typename T>
T load_as(const uint8_t *bytes) {
  T value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

GVariant *item_value(const char *type, const uint8_t *bytes) {
  switch (type[0]) {
    case 'b': return g_variant_new_boolean(bytes[0] != 0);
    case 'y': return g_variant_new_byte(bytes[0]);
    case 'n': return g_variant_new_int16(load_as<int16_t>(bytes));
    case 'q': return g_variant_new_uint16(load_as<uint16_t>(bytes));
    case 'i': return g_variant_new_int32(load_as<int32_t>(bytes));
    case 'u': return g_variant_new_uint32(load_as<uint32_t>(bytes));
    case 'x': return g_variant_new_int64(load_as<int64_t>(bytes));
    case 't': return g_variant_new_uint64(load_as<uint64_t>(bytes));
    case 'd': return g_variant_new_double(load_as<double>(bytes));
    default: return nullptr;
  }
}

// The bytes of a value of the item's own type (checked by the caller).
void item_bytes(GVariant *value, uint8_t *bytes) {
  auto put = [bytes](auto number) { std::memcpy(bytes, &number, sizeof number); };
  switch (g_variant_get_type_string(value)[0]) {
    case 'b': bytes[0] = g_variant_get_boolean(value) ? 1 : 0; break;
    case 'y': bytes[0] = g_variant_get_byte(value); break;
    case 'n': put(g_variant_get_int16(value)); break;
    case 'q': put(g_variant_get_uint16(value)); break;
    case 'i': put(g_variant_get_int32(value)); break;
    case 'u': put(g_variant_get_uint32(value)); break;
    case 'x': put(g_variant_get_int64(value)); break;
    case 't': put(g_variant_get_uint64(value)); break;
    case 'd': put(g_variant_get_double(value)); break;
    default: break;
  }
}

// Numbers compare by value: two spellings of one real are one value.
bool same_item(const char *type, const uint8_t *a, const uint8_t *b) {
  if (type[0] == 'd') return load_as<double>(a) == load_as<double>(b);
  return std::memcmp(a, b, item_width(type)) == 0;
}

// The item accessors of a row, or of a nested row's outer row with its inner number.
int get_item(const RowModule &module, int item, void *output, const uint8_t *row,
             uint32_t inner) {
  if (module.nested_in != nullptr) return module.table.get_inner_item(item, row, inner, output);
  return module.table.get_item(item, output, row);
}
int set_item(const RowModule &module, int item, const void *value, uint8_t *row,
             uint32_t inner) {
  if (module.nested_in != nullptr) return module.table.set_inner_item(item, row, inner, value);
  return module.table.set_item(item, value, row);
}

void log_write(const RowProperty &property, GVariant *value) {
  const char *type = g_variant_get_type_string(value);
  if (type[0] == 's') {
    COLLECTION_LOG(LOG_LEVEL_INFO, "apply_row_property", property.write_log,
                   g_variant_get_string(value, nullptr));
  } else if (type[0] == 'a') {
    g_autofree gchar *text = g_variant_print(value, FALSE);
    COLLECTION_LOG(LOG_LEVEL_INFO, "apply_row_property", property.write_log, text);
  } else if (type[0] == 'd') {
    COLLECTION_LOG(LOG_LEVEL_INFO, "apply_row_property", property.write_log,
                   int(g_variant_get_double(value)));
  } else {
    int64_t number = 0;
    number_of(value, &number);
    COLLECTION_LOG(LOG_LEVEL_INFO, "apply_row_property", property.write_log, int(number));
  }
}

// A row text: the instance number, after the handler's name when the text
// names it; a text without a number names the object path.
void set_row_error(GError **error, const char *format, const char *function, uint32_t instance,
                   const char *object_path) {
  const bool names = std::strstr(format, "%s") != nullptr;
  if (std::strstr(format, "%d") == nullptr)
    set_invalid_args(error, format, object_path);
  else if (names)
    set_invalid_args(error, format, function, int(instance));
  else
    set_invalid_args(error, format, int(instance));
}

void set_failed(GError **error, const char *format, const char *argument) {
  g_autofree gchar *message = g_strdup_printf(format, argument);
  g_set_error_literal(error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, message);
}

// ---- rows ---------------------------------------------------------------------------

std::vector<const RowCollection *> &collections() {
  static std::vector<const RowCollection *> *list = new std::vector<const RowCollection *>;
  return *list;
}

uint32_t instance_of(const RowModule &module, const void *row) {
  const RowTable &table = module.table;
  if (table.instance_of != nullptr) return table.instance_of(row);
  uint32_t instance = 0;
  std::memcpy(&instance, static_cast<const uint8_t *>(row) + table.instance_offset,
              table.instance_size);  // little-endian host
  return instance;
}

void set_instance(const RowModule &module, uint32_t instance, uint8_t *row) {
  std::memcpy(row + module.table.instance_offset, &instance, module.table.instance_size);
}

mib_list_node *first_row(const RowTable &table) {
  return table.get_list != nullptr ? table.get_list(0) : table.get_list_by_instnum(0, nullptr);
}

// Calls visit(row, index) for every row, in table order.  Rows of a table
// reached by position are copies that live for the call.
template <typename Visit>
void each_row(const RowModule &module, Visit visit) {
  const RowTable &table = module.table;
  if (table.row_at == nullptr) {
    uint32_t index = 0;
    for (mib_list_node *node = first_row(table); node != nullptr; node = node->next, ++index)
      if (node->data != nullptr) visit(static_cast<const uint8_t *>(node->data), index);
    return;
  }
  std::vector<uint8_t> row(table.row_size);
  const int count = table.row_count();
  for (int position = 0; position < count; ++position) {
    std::fill(row.begin(), row.end(), 0);
    if (table.row_at(uint32_t(position), row.data()) != 0) visit(row.data(), uint32_t(position));
  }
}

// The row of one instance number: the table's own record, or a copy.
struct FoundRow {
  const uint8_t *data = nullptr;
  uint32_t index = 0;
  mib_list_node *node = nullptr;
  std::vector<uint8_t> copy;
};

// The row a child number names: its own, or for a nested row its outer row.
uint32_t outer_number(const RowModule &module, uint32_t instance) {
  return module.nested_in != nullptr ? instance & 0xFF : instance;
}
uint32_t inner_number(const RowModule &module, uint32_t instance) {
  return module.nested_in != nullptr ? instance >> 8 : 0;
}

bool find_row(const RowModule &module, uint32_t instance, FoundRow *found) {
  instance = outer_number(module, instance);
  if (module.table.row_at == nullptr) {
    found->node = module.table.get_list_by_instnum(instance, &found->index);
    found->data = found->node != nullptr ? static_cast<const uint8_t *>(found->node->data) : nullptr;
    return found->data != nullptr;
  }
  each_row(module, [&](const uint8_t *row, uint32_t index) {
    if (found->data != nullptr || instance_of(module, row) != instance) return;
    found->copy.assign(row, row + module.table.row_size);
    found->index = index;
    found->data = found->copy.data();
  });
  return found->data != nullptr;
}

// Brings the live fields of a found row up to date before it is read.
void refresh_found(const RowModule &module, FoundRow *found) {
  if (module.table.refresh_row == nullptr) return;
  if (module.refresh_skipped_in_test_run && check_dbus_cts_running()) return;
  uint8_t *row = found->node != nullptr ? static_cast<uint8_t *>(found->node->data)
                                        : found->copy.data();
  module.table.refresh_row(row);
}

void log_no_row(const RowModule &module, const char *function, int line, uint32_t instance) {
  if (module.texts.no_row_log != nullptr)
    COLLECTION_LOG(LOG_LEVEL_WARN, function, module.texts.no_row_log, function, line,
                   int(instance));
  else
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "func [%s] :invalid list num  %d ", function,
                   int(instance));
}

int stand_in_position(const RowTable &table) {
  return table.stand_in_position != nullptr ? table.stand_in_position() : -1;
}

// Whether a change of `property` is announced now.
bool announces(const RowModule &module, const RowProperty &property) {
  return announce_allowed(property.announce != Announce::AsModule ? property.announce
                                                                  : module.announce);
}

std::string noun_text(const char *text, const char *fallback, const char *noun) {
  if (text != nullptr) return text;
  g_autofree gchar *formatted = g_strdup_printf(fallback, noun);
  return formatted;
}

// The working copy of one write: a plain copy, or the table's backup.
class WorkingCopy {
 public:
  WorkingCopy(const RowModule &module, const void *row) : module_(module) {
    if (module.commit == Commit::BackupUpdate && module.table.backup_entry != nullptr) {
      backup_ = static_cast<uint8_t *>(module.table.backup_entry(row));
    } else {
      plain_.assign(static_cast<const uint8_t *>(row),
                    static_cast<const uint8_t *>(row) + module.table.row_size);
    }
  }
  ~WorkingCopy() {
    if (backup_ != nullptr) module_.table.free_backup_entry(backup_);
  }
  WorkingCopy(const WorkingCopy &) = delete;
  WorkingCopy &operator=(const WorkingCopy &) = delete;
  uint8_t *data() { return backup_ != nullptr ? backup_ : (plain_.empty() ? nullptr : plain_.data()); }

 private:
  const RowModule &module_;
  std::vector<uint8_t> plain_;
  uint8_t *backup_ = nullptr;
};

// Stores a changed working copy; every result is checked.
bool commit_row(const RowModule &module, uint8_t *copy, uint32_t index, const char *object_path,
                GError **error) {
  const char *reason = nullptr;
  const RowTable &table = module.table;
  const int stored = module.commit == Commit::CopyBack
                         ? dbus_mib_update_cfg(table.change_bit, copy, int(index))
                     : table.update_entry != nullptr ? table.update_entry(copy, index, &reason, 0)
                                                     : table.update_entry_mib(copy);
  if (stored != 0) return true;
  const char *detail = module.commit_failure_names_path ? object_path
                       : reason != nullptr                ? reason
                                                          : "";
  g_autofree gchar *message = g_strdup_printf(module.texts.commit_failed, detail);
  if (module.commit_error != nullptr && error != nullptr) {
    // A name GDBus knows maps to its own error domain; its message then
    // needs no name prefix to reach the caller as given.
    g_dbus_error_set_dbus_error(error, module.commit_error, message, nullptr);
    if (!g_error_matches(*error, G_IO_ERROR, G_IO_ERROR_DBUS_ERROR))
      g_dbus_error_strip_remote_error(*error);
  } else
    g_set_error_literal(error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, message);
  return false;
}

// A refusal of AddObject or DeleteObject.
void refuse_call(const RowModule &module, const char *function, const char *text,
                 GDBusMethodInvocation *invocation) {
  COLLECTION_LOG(LOG_LEVEL_WARN, function, "%s", text);
  if (module.refuse_error != nullptr)
    g_dbus_method_invocation_return_dbus_error(invocation, module.refuse_error, text);
  else
    g_dbus_method_invocation_return_error_literal(invocation, G_DBUS_ERROR,
                                                  G_DBUS_ERROR_INVALID_ARGS, text);
}

// Self kind: the lowest instance number no row carries, from 1 to
// `max_instance`, into `row`; false with the call answered when the table
// takes no more rows.
bool choose_number(const RowCollection &rows, const std::string &failed, uint8_t *row,
                   GDBusMethodInvocation *invocation) {
  const RowModule &module = rows.module;
  std::vector<bool> taken(module.max_instance + 1, false);
  uint32_t count = 0;
  each_row(module, [&](const uint8_t *stored, uint32_t) {
    ++count;
    const uint32_t number = instance_of(module, stored);
    if (number <= module.max_instance) taken[number] = true;
  });
  uint32_t free_number = 0;
  for (uint32_t n = 1; n <= module.max_instance && free_number == 0; ++n)
    if (!taken[n]) free_number = n;
  const bool full = module.max_rows != 0 ? count >= module.max_rows : free_number == 0;
  if (full || free_number == 0) {
    const char *text = full && module.texts.table_full != nullptr ? module.texts.table_full
                                                                  : failed.c_str();
    const char *log = !full && module.texts.no_number_log != nullptr ? module.texts.no_number_log
                                                                     : text;
    COLLECTION_LOG(LOG_LEVEL_WARN, rows.names.manager, "%s", log);
    return_manager_error(invocation, "%s", text);
    return false;
  }
  set_instance(module, free_number, row);
  for (const RowProperty &property : module.properties)
    if (property.placeholder != nullptr)
      g_snprintf(reinterpret_cast<char *>(row + property.offset), property.size, "%s%u",
                 property.placeholder, free_number);
  return true;
}

// The outer row number of a nested manager's path "<manager>/<outer>/<suffix>",
// or 0.
uint32_t nested_manager_number(const Collection &collection, const char *path) {
  std::string_view rest(path != nullptr ? path : "");
  const std::string_view base(collection.manager_path);
  const std::string_view suffix(collection.nested_in->suffix);
  if (!rest.starts_with(base) || rest.size() <= base.size() + 1 || rest[base.size()] != '/')
    return 0;
  rest.remove_prefix(base.size() + 1);
  if (!rest.ends_with(suffix) || rest.size() <= suffix.size() + 1 ||
      rest[rest.size() - suffix.size() - 1] != '/')
    return 0;
  return parse_instance(rest.substr(0, rest.size() - suffix.size() - 1), 255);
}

// AddObject on a nested manager: a new inner row under the outer row the
// manager belongs to; the store's pair callback exports its child.
void add_inner_object(const RowCollection &rows, const char *manager_path,
                      GDBusMethodInvocation *invocation) {
  const RowModule &module = rows.module;
  const char *function = rows.names.manager;
  const std::string failed =
      noun_text(module.texts.add_failed, "Add %s object fail !!", rows.collection.noun);
  const uint32_t outer = nested_manager_number(rows.collection, manager_path);
  FoundRow found;
  if (outer == 0 || !find_row(module, outer, &found)) {
    const char *text = module.texts.add_path != nullptr ? module.texts.add_path : failed.c_str();
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "%s, path %s", text, manager_path);
    return return_manager_error(invocation, "%s", text);
  }
  uint32_t inner = 0;
  if (module.table.insert_inner(const_cast<uint8_t *>(found.data), outer, &inner) == 0 ||
      inner == 0 || inner > 255) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "%s", failed.c_str());
    return return_manager_error(invocation, "%s", failed.c_str());
  }
  g_autofree gchar *path = g_strdup_printf("%s/%d", manager_path, int(inner));
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "Add %s object success, object path %s",
                 rows.collection.noun, path);
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", path));
}

void add_object(const RowCollection &rows, const char *manager_path, const char *method_name,
                GDBusMethodInvocation *invocation) {
  const RowModule &module = rows.module;
  const char *function = rows.names.manager;
  const char *noun = rows.collection.noun;
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "func [%s], line [%d],method_name:%s", function,
                 __LINE__, method_name);
  const std::string failed = noun_text(module.texts.add_failed, "Add %s object fail !!", noun);
  if (module.add == AddKind::Custom) return module.add_object(invocation);
  if (module.nested_in != nullptr) return add_inner_object(rows, manager_path, invocation);
  if (module.add == AddKind::Refuse) return refuse_call(module, function, failed.c_str(), invocation);
  if (stand_in_position(module.table) >= 0) module.table.remove_stand_in();
  std::vector<uint8_t> row(module.table.row_size, 0);
  if (module.add == AddKind::Self && !choose_number(rows, failed, row.data(), invocation)) return;
  if (!module.table.insert_entry(row.data())) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "%s",
                   module.texts.add_refused_log != nullptr ? module.texts.add_refused_log
                                                           : failed.c_str());
    return return_manager_error(invocation, "%s", failed.c_str());
  }
  const uint32_t instance = instance_of(module, row.data());
  if (module.add == AddKind::Self) row_export(rows, instance);
  // The new row's nested manager takes calls as soon as the caller has the
  // reply, even when the row callback reaches the loop later.
  if (module.nested != nullptr)
    nested_manager_add(*module.nested, g_dbus_method_invocation_get_connection(invocation),
                       instance, false);
  std::string path = collection_child_path(rows.collection, instance);
  if (module.texts.add_log != nullptr)
    COLLECTION_LOG(LOG_LEVEL_INFO, function, module.texts.add_log, function, __LINE__, path.c_str());
  else
    COLLECTION_LOG(LOG_LEVEL_INFO, function, "Add %s object success, object path %s", noun,
                   path.c_str());
  if (module.table.save_mib != nullptr) module.table.save_mib();
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", path.c_str()));
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "out of func [%s]", function);
}

// DeleteObject on a nested manager: only a child of this very manager, with
// its outer row present, names an inner row to remove.
void delete_inner_object(const RowCollection &rows, const char *manager_path, const char *path,
                         GDBusMethodInvocation *invocation) {
  const RowModule &module = rows.module;
  const char *function = rows.names.manager;
  const char *last = std::strrchr(path, '/');
  const bool own = last != nullptr && std::string_view(path, size_t(last - path)) == manager_path;
  const uint32_t key = own ? child_instance(rows.collection, path) : 0;
  FoundRow found;
  if (key == 0 || !find_row(module, key, &found)) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "object path %s is error", path);
    return g_dbus_method_invocation_return_dbus_error(invocation, kObjectManagerError,
                                                      module.texts.delete_path);
  }
  std::vector<uint8_t> outer_row(found.data, found.data + module.table.row_size);
  if (module.table.remove_inner(const_cast<uint8_t *>(found.data), key & 0xFF, key >> 8) == 0) {
    const std::string failed =
        noun_text(module.texts.delete_failed, "Delete %s Object error !!", rows.collection.noun);
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "%s, object path %s", failed.c_str(), path);
    return g_dbus_method_invocation_return_dbus_error(invocation, kObjectManagerError,
                                                      failed.c_str());
  }
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "Delete %s Object success, object path %s!!",
                 rows.collection.noun, path);
  if (module.after_delete != nullptr && (module.delete_hook_in_test_run || !check_dbus_cts_running()))
    module.after_delete(outer_row.data(), found.index);
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

void delete_object(const RowCollection &rows, const char *manager_path, GVariant *parameters,
                   GDBusMethodInvocation *invocation) {
  const RowModule &module = rows.module;
  const char *function = rows.names.manager;
  const char *noun = rows.collection.noun;
  const char *path = nullptr;
  g_variant_get(parameters, "(&o)", &path);
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "DeleteObject, path_name %s", path);
  if (module.texts.delete_refused != nullptr)
    return refuse_call(module, function, module.texts.delete_refused, invocation);
  if (module.nested_in != nullptr) return delete_inner_object(rows, manager_path, path, invocation);

  // Every way out replies and logs the end.
  auto finish_with_error = [&](const std::string &message, const char *name = nullptr) {
    g_dbus_method_invocation_return_dbus_error(
        invocation, name != nullptr ? name : kObjectManagerError, message.c_str());
    COLLECTION_LOG(LOG_LEVEL_INFO, function, "out of func [%s]", function);
  };
  uint32_t instance = child_instance(rows.collection, path);
  const char *last = std::strrchr(path, '/');
  if (instance == 0 && module.delete_by_number && last != nullptr)
    instance = parse_instance(last + 1, module.max_instance);
  if (instance == 0) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "object path %s is error", path);
    return finish_with_error(module.texts.delete_path);
  }
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "delete index is %d", int(instance));
  FoundRow found;
  if (!find_row(module, instance, &found)) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "func [%s] :invalid list num  %d ", function,
                   int(instance));
    const char *missing = module.texts.delete_no_row;
    return finish_with_error(missing != nullptr ? missing : module.texts.delete_path,
                             module.delete_no_row_error);
  }
  if (module.delete_by_number && collection_child_path(rows.collection, instance) != path) {
    const char *wrong = module.texts.delete_wrong_path != nullptr ? module.texts.delete_wrong_path
                                                                  : module.texts.delete_path;
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "%s!", wrong);
    return finish_with_error(wrong);
  }
  if (module.may_delete != nullptr && !check_dbus_cts_running() && !module.may_delete(found.data)) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "%s", module.texts.delete_guarded);
    return finish_with_error(module.texts.delete_guarded);
  }
  const uint32_t index = found.index;
  std::vector<uint8_t> removed(found.data, found.data + module.table.row_size);
  if (!module.table.remove_entry(index, found.node)) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "Delete %s Object error, object path %s!!", noun,
                   path);
    return finish_with_error(
        noun_text(module.texts.delete_failed, "Delete %s Object error !!", noun));
  }
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "Delete %s Object success, object path %s!!", noun,
                 path);
  if (module.add == AddKind::Self) row_unexport(rows, instance);
  // A conformance run checks the bus behaviour only: nothing is applied or saved.
  if (module.delete_hook_in_test_run || !check_dbus_cts_running()) {
    if (module.after_delete != nullptr) module.after_delete(removed.data(), index);
    if (module.save_after_delete && module.table.save_mib != nullptr) module.table.save_mib();
  }
  if (module.table.add_stand_in != nullptr) {
    uint32_t left = 0;
    each_row(module, [&left](const uint8_t *, uint32_t) { ++left; });
    if (left == 0) module.table.add_stand_in();
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

namespace {

bool readable(const GDBusPropertyInfo *property) {
  return (property->flags & G_DBUS_PROPERTY_INFO_FLAGS_READABLE) != 0;
}

GVariant *dict_entry(const char *name, GVariant *value) {
  return g_variant_new_dict_entry(g_variant_new_string(name), g_variant_new_variant(value));
}

// Every readable property of `info` that the row's table holds, read from
// the record `row`, as an a{sv} value.
GVariant *row_dictionary(const RowModule &module, const GDBusInterfaceInfo *info,
                         const uint8_t *row, uint32_t inner) {
  std::vector<GVariant *> entries;
  for (GDBusPropertyInfo **p = info->properties; p != nullptr && *p != nullptr; ++p) {
    const RowProperty *property = find_row_property(module.properties, (*p)->name);
    if (!readable(*p) || property == nullptr) continue;
    g_autoptr(GError) error = nullptr;
    if (GVariant *value = read_row_property(module, *property, row, &error, inner))
      entries.push_back(dict_entry((*p)->name, value));
  }
  return g_variant_new_array(G_VARIANT_TYPE("{sv}"), entries.data(), entries.size());
}


}  // namespace

// Every readable property of one interface of a child, as an a{sv} value.
// A row's properties are read from one look-up of the row, as a Get of
// each would read them; other children ask their vtable for each.
GVariant *child_properties(const Collection &collection, GDBusConnection *connection,
                           const char *path, const GDBusInterfaceInfo *info, gpointer user_data) {
  if (collection.rows != nullptr) {
    const RowModule &module = collection.rows->module;
    const uint32_t instance = child_instance(collection, path);
    FoundRow found;
    if (instance != 0 && find_row(module, instance, &found)) {
      refresh_found(module, &found);
      return row_dictionary(module, info, found.data, inner_number(module, instance));
    }
    return g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0);
  }
  std::vector<GVariant *> entries;
  auto add = [&](const char *name, GVariant *value) { entries.push_back(dict_entry(name, value)); };
  {
    for (GDBusPropertyInfo **p = info->properties; p != nullptr && *p != nullptr; ++p) {
      if (!readable(*p)) continue;
      GVariant *value = collection.vtable->get_property(connection, nullptr, path, info->name,
                                                        (*p)->name, nullptr, user_data);
      if (value != nullptr) add((*p)->name, value);
    }
  }
  return g_variant_new_array(G_VARIANT_TYPE("{sv}"), entries.data(), entries.size());
}

GVariant *collection_interface_properties(GDBusInterfaceSkeleton *skeleton) {
  return child_properties(collection_of(skeleton), g_dbus_interface_skeleton_get_connection(skeleton),
                          g_dbus_interface_skeleton_get_object_path(skeleton),
                          g_dbus_interface_skeleton_get_info(skeleton), skeleton);
}

// ---- start-up and children -------------------------------------------------------------

void collection_create_manager(const Collection &collection) {
  // A start on a new connection (tests start the host again) begins afresh.
  delete collection.state->outside;
  collection.state->outside = nullptr;
  collection.state->connection = nullptr;
  collection.state->manager = g_dbus_object_manager_server_new(collection.manager_path);
}

namespace {

// The parsed documents of the interface variants (the engine's, for the
// life of the process).
std::map<const InterfaceVariant *, GDBusNodeInfo *> &variant_nodes() {
  static auto *nodes = new std::map<const InterfaceVariant *, GDBusNodeInfo *>;
  return *nodes;
}

}  // namespace

void collection_load_interface(const Collection &collection) {
  GDBusNodeInfo *node = collection.xml_file != nullptr
                            ? dbus_proxy_readxml(collection.xml_file)
                            : g_dbus_node_info_new_for_xml(collection.builtin_xml, nullptr);
  // A host that starts again reads the document again; the previous one is
  // held by whatever registrations still use it.
  if (GDBusNodeInfo *previous = std::exchange(*collection.introspection_data, node))
    g_dbus_node_info_unref(previous);
  g_autofree gchar *missing = g_strdup_printf("%s != NULL", collection.introspection_name);
  IGD1_ASSERT_TEXT(node != nullptr, missing);
  // Nested rows are described to the host by their outer collection.
  if (collection.nested_in == nullptr) dbus_proxy_node_info_reg(node);
  for (const InterfaceVariant &variant : collection.variants) {
    GDBusNodeInfo *&parsed = variant_nodes()[&variant];
    if (parsed == nullptr) parsed = g_dbus_node_info_new_for_xml(variant.builtin_xml, nullptr);
    IGD1_ASSERT(parsed != nullptr && parsed->interfaces[0] != nullptr);
    dbus_proxy_node_info_reg(parsed);
  }
}

void collection_attach(const Collection &collection, GDBusConnection *connection,
                       const GDBusInterfaceVTable *manager_vtable) {
  collection.state->connection = connection;
  g_dbus_object_manager_server_set_connection_expand(collection.state->manager, connection,
                                                     manager_vtable, collection.state->manager);
}

const char *child_prefix(const Collection &collection) {
  return collection.child_prefix != nullptr ? collection.child_prefix : collection.manager_path;
}

std::string collection_child_path(const Collection &collection, unsigned instance) {
  if (collection.nested_in != nullptr) {
    g_autofree gchar *path =
        g_strdup_printf("%s/%u/%s/%u", collection.manager_path, instance & 0xFFu,
                        collection.nested_in->suffix, instance >> 8);
    return path;
  }
  g_autofree gchar *number = g_strdup_printf(collection.child_format, instance);
  return std::string(child_prefix(collection)) + "/" + number;
}

namespace {

bool carries(const Collection &collection, unsigned instance, const GDBusInterfaceInfo *info) {
  return collection.carries == nullptr || collection.carries(instance, info->name);
}

bool publishes_itself(const Collection &collection) {
  return collection.child_prefix != nullptr || !collection.variants.empty();
}

// The children's document for the current service type.
GDBusNodeInfo *current_node(const Collection &collection) {
  for (const InterfaceVariant &variant : collection.variants)
    if (serves_service_type(variant.when)) return variant_nodes().at(&variant);
  return *collection.introspection_data;
}

GVariant *outside_child_interfaces(const Collection &collection, const char *path,
                                   unsigned instance) {
  GVariantBuilder interfaces;
  g_variant_builder_init(&interfaces, G_VARIANT_TYPE("a{sa{sv}}"));
  GDBusNodeInfo *node = current_node(collection);
  for (GDBusInterfaceInfo **i = node->interfaces; i != nullptr && *i != nullptr; ++i)
    if (carries(collection, instance, *i))
      g_variant_builder_add(&interfaces, "{s@a{sv}}", (*i)->name,
                            child_properties(collection, collection.state->connection, path, *i, nullptr));
  return g_variant_builder_end(&interfaces);
}

void announce_on_manager(const Collection &collection, const char *member, GVariant *body) {
  g_autoptr(GError) error = nullptr;
  g_dbus_connection_emit_signal(collection.state->connection, nullptr, collection.manager_path,
                                "org.freedesktop.DBus.ObjectManager", member, body, &error);
  IGD1_ASSERT(error == nullptr);
}

// ---- children whose document follows the service type ----
//
// GDBus fixes an object's interface info when the object is registered; a
// subtree is asked for it at every request instead.  Each such child is a
// subtree of its own (with no nodes below it), which also serves the
// multi-property write, since the host only sees plain registrations.

const Collection &variant_collection(gpointer user_data) {
  return *static_cast<const Collection *>(user_data);
}

// The interface of the child at `path` named `name` in the current document.
GDBusInterfaceInfo *child_interface(const Collection &collection, const char *path,
                                     const char *name) {
  const uint32_t instance = child_instance(collection, path);
  GDBusNodeInfo *node = current_node(collection);
  for (GDBusInterfaceInfo **i = node->interfaces; i != nullptr && *i != nullptr; ++i)
    if (g_strcmp0((*i)->name, name) == 0 && carries(collection, instance, *i)) return *i;
  return nullptr;
}

gchar **variant_enumerate(GDBusConnection *, const gchar *, const gchar *, gpointer) {
  return g_new0(gchar *, 1);
}

GDBusInterfaceInfo **variant_introspect(GDBusConnection *, const gchar *, const gchar *path,
                                        const gchar *node, gpointer user_data) {
  if (node != nullptr) return nullptr;
  const Collection &collection = variant_collection(user_data);
  const uint32_t instance = child_instance(collection, path);
  GPtrArray *infos = g_ptr_array_new();
  GDBusNodeInfo *document = current_node(collection);
  for (GDBusInterfaceInfo **i = document->interfaces; i != nullptr && *i != nullptr; ++i)
    if (carries(collection, instance, *i)) g_ptr_array_add(infos, g_dbus_interface_info_ref(*i));
  g_ptr_array_add(infos, g_dbus_interface_info_ref(set_multi_interface()));
  g_ptr_array_add(infos, nullptr);
  return reinterpret_cast<GDBusInterfaceInfo **>(g_ptr_array_free(infos, FALSE));
}

void variant_set_multi(GDBusConnection *connection, const gchar *sender, const gchar *path,
                       const gchar *, const gchar *, GVariant *parameters,
                       GDBusMethodInvocation *invocation, gpointer user_data) {
  const Collection &collection = variant_collection(user_data);
  const gchar *interface_name = nullptr;
  g_variant_get_child(parameters, 0, "&s", &interface_name);
  const bool served = child_interface(collection, path, interface_name) != nullptr;
  answer_set_multi_call(served ? collection.vtable : nullptr, nullptr, connection, sender, path,
                        parameters, invocation);
}

const GDBusInterfaceVTable kVariantSetMultiVTable = {variant_set_multi, nullptr, nullptr,
                                                     {nullptr}};

const GDBusInterfaceVTable *variant_dispatch(GDBusConnection *, const gchar *, const gchar *,
                                             const gchar *interface_name, const gchar *,
                                             gpointer *out_user_data, gpointer user_data) {
  *out_user_data = user_data;
  if (g_strcmp0(interface_name, IGD1_PROPERTIES_INTERFACE) == 0) return &kVariantSetMultiVTable;
  return variant_collection(user_data).vtable;
}

const GDBusSubtreeVTable kVariantSubtree = {variant_enumerate, variant_introspect,
                                            variant_dispatch, {nullptr}};

guint register_variant_child(const Collection &collection, const char *path) {
  g_autoptr(GError) error = nullptr;
  const guint id = g_dbus_connection_register_subtree(
      collection.state->connection, path, &kVariantSubtree, G_DBUS_SUBTREE_FLAGS_NONE,
      const_cast<Collection *>(&collection), nullptr, &error);
  IGD1_ASSERT(id > 0);
  return id;
}

// A child whose path is not below the manager's (or whose document follows
// the service type): registered here, announced on the manager path.
void export_outside(const Collection &collection, unsigned instance) {
  CollectionState &state = *collection.state;
  if (state.connection == nullptr) return;
  if (state.outside == nullptr) state.outside = new std::map<uint32_t, std::vector<guint>>;
  if (state.outside->count(instance) != 0) return;
  const std::string path = collection_child_path(collection, instance);
  std::vector<guint> ids;
  if (!collection.variants.empty()) {
    ids.push_back(register_variant_child(collection, path.c_str()));
  } else {
    GDBusNodeInfo *node = *collection.introspection_data;
    for (GDBusInterfaceInfo **i = node->interfaces; i != nullptr && *i != nullptr; ++i) {
      if (!carries(collection, instance, *i)) continue;
      const guint id = g_dbus_connection_register_object(state.connection, path.c_str(), *i,
                                                         collection.vtable, nullptr, nullptr,
                                                         nullptr);
      IGD1_ASSERT(id > 0);
      ids.push_back(id);
    }
  }
  (*state.outside)[instance] = ids;
  announce_on_manager(collection, "InterfacesAdded",
                      g_variant_new("(o@a{sa{sv}})", path.c_str(),
                                    outside_child_interfaces(collection, path.c_str(), instance)));
}

void unexport_outside(const Collection &collection, unsigned instance) {
  CollectionState &state = *collection.state;
  if (state.outside == nullptr || state.connection == nullptr) return;
  auto found = state.outside->find(instance);
  if (found == state.outside->end()) return;
  for (guint id : found->second) {
    if (collection.variants.empty())
      g_dbus_connection_unregister_object(state.connection, id);
    else
      g_dbus_connection_unregister_subtree(state.connection, id);
  }
  state.outside->erase(found);
  const std::string path = collection_child_path(collection, instance);
  GVariantBuilder names;
  g_variant_builder_init(&names, G_VARIANT_TYPE("as"));
  GDBusNodeInfo *node = current_node(collection);
  for (GDBusInterfaceInfo **i = node->interfaces; i != nullptr && *i != nullptr; ++i)
    if (carries(collection, instance, *i)) g_variant_builder_add(&names, "s", (*i)->name);
  announce_on_manager(collection, "InterfacesRemoved",
                      g_variant_new("(o@as)", path.c_str(), g_variant_builder_end(&names)));
}

}  // namespace

namespace {

// The manager a child is exported on: the collection's, or for a nested
// row its outer row's.
GDBusObjectManagerServer *manager_of(const Collection &collection, unsigned instance) {
  if (collection.nested_in != nullptr) return nested_manager(*collection.nested_in, instance & 0xFF);
  return collection.state->manager;
}

}  // namespace

void collection_export_child(const Collection &collection, unsigned instance) {
  if (publishes_itself(collection)) return export_outside(collection, instance);
  GDBusObjectManagerServer *manager = manager_of(collection, instance);
  if (manager == nullptr) return;
  std::string path = collection_child_path(collection, instance);
  // A row announced twice (a callback for a row the start-up walk already
  // found) keeps its child as it is.
  if (GDBusObject *present = g_dbus_object_manager_get_object(
          G_DBUS_OBJECT_MANAGER(manager), path.c_str())) {
    g_object_unref(present);
    return;
  }
  GDBusObjectSkeleton *object = g_dbus_object_skeleton_new(path.c_str());
  GDBusNodeInfo *node = *collection.introspection_data;
  for (GDBusInterfaceInfo **i = node->interfaces; i != nullptr && *i != nullptr; ++i) {
    if (!carries(collection, instance, *i)) continue;
    auto *interface = static_cast<GDBusInterfaceSkeleton *>(
        g_object_new(collection_interface_type(collection), nullptr));
    reinterpret_cast<CollectionSkeleton *>(interface)->info = *i;
    g_dbus_object_skeleton_add_interface(object, interface);
    g_object_unref(interface);
  }
  g_dbus_object_manager_server_export(manager, object);
  g_object_unref(object);
}

void collection_unexport_child(const Collection &collection, unsigned instance) {
  if (publishes_itself(collection)) return unexport_outside(collection, instance);
  GDBusObjectManagerServer *manager = manager_of(collection, instance);
  if (manager == nullptr) return;
  std::string path = collection_child_path(collection, instance);
  g_dbus_object_manager_server_unexport(manager, path.c_str());
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
  if (collection.nested_in != nullptr)
    return nested_child_key(collection.manager_path, collection.nested_in->suffix, object_path);
  return child_instance_of(child_prefix(collection), object_path, collection.max_instance);
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

// ---- row collections ------------------------------------------------------------------

RowCollection::RowCollection(const RowModule &row_module, const char *name,
                             GDBusNodeInfo **introspection_data, const char *introspection_name,
                             const GDBusInterfaceVTable *vtable, CollectionState *state,
                             RowHandlerNames handler_names,
                             const GDBusInterfaceVTable *row_manager_vtable,
                             InnerRowEntries entries)
    : type_name_(std::string("ComWqxIgd1") + name + "Interface"),
      xml_file_(row_module.xml_file != nullptr ? row_module.xml_file : std::string(name) + ".xml"),
      module(row_module),
      collection{.noun = name,
                 .manager_path = row_module.manager_path,
                 .child_format = row_module.child_format,
                 .type_name = type_name_.c_str(),
                 .xml_file = row_module.builtin_xml != nullptr ? nullptr : xml_file_.c_str(),
                 .builtin_xml = row_module.builtin_xml,
                 .introspection_data = introspection_data,
                 .introspection_name = introspection_name,
                 .vtable = vtable,
                 .state = state,
                 .max_instance = row_module.max_instance,
                 .child_prefix = row_module.child_prefix,
                 .carries = row_module.carries,
                 .variants = row_module.variants,
                 .rows = this,
                 .nested_in = row_module.nested_in},
      names(handler_names),
      manager_vtable(row_manager_vtable),
      inner_entries(entries) {
  if (row_module.nested != nullptr) row_module.nested->outer = this;
  if (row_module.nested_in != nullptr) row_module.nested_in->inner = this;
  collections().push_back(this);
}

std::span<const RowCollection *const> published_collections() { return collections(); }

const RowProperty *find_writable_row_property(std::span<const RowProperty> properties,
                                              const char *name) {
  if (name == nullptr) return nullptr;
  for (const RowProperty &property : properties) {
    if (std::strcmp(property.name, name) == 0 ||
        (property.alias_writes && property.alias != nullptr &&
         std::strcmp(property.alias, name) == 0))
      return property.write_log != nullptr && serves_service_type(property.writes_on) ? &property
                                                                                      : nullptr;
  }
  return nullptr;
}

bool row_property_announced(const RowModule &module, const char *name) {
  // Whatever service type writes it: the documents are marked once.
  const RowProperty *property = find_row_property(module.properties, name);
  return property != nullptr && std::strcmp(property->name, name) == 0 &&
         (property->write_log != nullptr || property->derived) && announces(module, *property);
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

GVariant *read_row_property(const RowModule &module, const RowProperty &property,
                            const uint8_t *row, GError **error, uint32_t inner) {
  GVariant *value = nullptr;
  const uint8_t *at = row + property.offset;
  if (property.read != nullptr) {
    value = property.read(property, row);
    if (value == nullptr) set_invalid_args(error, module.texts.invalid_utf8, property.name);
    return value;
  }
  switch (property.field) {
    case Field::Flag:
      return g_variant_new_boolean((at[0] != 0) != property.inverted);
    case Field::Number:
      return number_value(property.type, load_number(property, row));
    case Field::IPv4:
    case Field::IPv6: {
      char text[INET6_ADDRSTRLEN] = "";
      inet_ntop(property.field == Field::IPv4 ? AF_INET : AF_INET6, at, text, sizeof text);
      return g_variant_new_string(text);
    }
    case Field::MAC: {
      g_autofree gchar *text = g_strdup_printf("%02X:%02X:%02X:%02X:%02X:%02X", at[0], at[1],
                                               at[2], at[3], at[4], at[5]);
      return g_variant_new_string(text);
    }
    case Field::Choice: {
      const Choice *choice = choice_stored(property, at[0]);
      return g_variant_new_string(choice != nullptr && choice->name != nullptr ? choice->name : "");
    }
    case Field::Text: {
      const char *text = reinterpret_cast<const char *>(at);
      if (property.placeholder != nullptr &&
          g_strstr_len(text, gssize(strnlen(text, property.size)), property.placeholder) != nullptr)
        return g_variant_new_string("");
      value = text_value(text, property.size);
      break;
    }
    case Field::List: {
      // An entry that is not UTF-8 is left out; the others still read.
      g_autofree gchar *copy = g_strndup(reinterpret_cast<const char *>(at), property.size);
      g_auto(GStrv) entries = copy[0] == '\0' ? g_new0(gchar *, 1) : g_strsplit(copy, ";", -1);
      GStrvBuilder *valid = g_strv_builder_new();
      for (gchar **entry = entries; *entry != nullptr; ++entry) {
        if (g_utf8_validate(*entry, -1, nullptr))
          g_strv_builder_add(valid, *entry);
        else
          COLLECTION_LOG(LOG_LEVEL_WARN, "read_row_property", "methodlist error");
      }
      g_auto(GStrv) kept = g_strv_builder_end(valid);
      g_strv_builder_unref(valid);
      return g_variant_new_strv(kept, -1);
    }
    case Field::MacText: {
      uint8_t mac[6] = {};
      stored_mac(property, at, mac);
      g_autofree gchar *text = g_strdup_printf("%02X%02X%02X%02X%02X%02X", mac[0], mac[1],
                                               mac[2], mac[3], mac[4], mac[5]);
      return g_variant_new_string(text);
    }
    case Field::Item: {
      if (const size_t width = item_width(property.type); width != 0) {
        uint8_t bytes[8] = {};
        if (get_item(module, property.item, bytes, row, inner) == 0) {
          set_invalid_args(error, module.texts.read_failed, property.name);
          return nullptr;
        }
        return item_value(property.type, bytes);
      }
      const size_t size = property.size != 0 ? property.size : kItemBuffer;
      std::vector<char> buffer(size + 1, '\0');
      if (get_item(module, property.item, buffer.data(), row, inner) == 0) {
        if (module.unreadable_text_empty) return g_variant_new_string("");
        set_invalid_args(error, module.texts.read_failed, property.name);
        return nullptr;
      }
      value = text_value(buffer.data(), size);
      break;
    }
  }
  if (value == nullptr && module.unreadable_text_empty) return g_variant_new_string("");
  if (value == nullptr) set_invalid_args(error, module.texts.invalid_utf8, property.name);
  return value;
}

gboolean write_row_property(const RowModule &module, const char *name, GVariant *value,
                            int *changed, GError **error, void *row, uint32_t index) {
  bool stored = false;
  const bool ok = apply_row_property(module, name, value, &stored, error,
                                     static_cast<uint8_t *>(row), index);
  *changed = stored ? 1 : 0;
  return ok ? TRUE : FALSE;
}

bool apply_row_property(const RowModule &module, const char *name, GVariant *value,
                        bool *changed, GError **error, uint8_t *row, uint32_t index,
                        uint32_t inner) {
  *changed = false;
  const RowProperty *property = find_writable_row_property(module.properties, name);
  if (property == nullptr) {
    set_invalid_args(error, module.texts.write_property, name);
    return false;
  }
  auto refuse = [&] {
    const char *refused =
        property->refused != nullptr ? property->refused : module.texts.invalid_value;
    COLLECTION_LOG(LOG_LEVEL_WARN, "apply_row_property", refused, property->name);
    set_invalid_args(error, refused, property->name);
    return false;
  };
  if (!g_variant_is_of_type(value, G_VARIANT_TYPE(property->type))) {
    if (module.refuse_wrong_type) return refuse();
    if (property->wrong_type != nullptr) {
      set_invalid_args(error, property->wrong_type, property->name);
      return false;
    }
  }
  if (!check_value_type(value, name, property->type, error)) return false;
  if (property->secret)
    COLLECTION_LOG(LOG_LEVEL_INFO, "apply_row_property", property->write_log, "******");
  else
    log_write(*property, value);
  if (property->accepts != nullptr && !property->accepts(value)) return refuse();
  if (property->field == Field::Item) {
    // Texts travel as themselves, other types in their own width; both are
    // compared with the current value before anything is stored.
    const bool typed = item_width(property->type) != 0;
    const char *text = typed ? nullptr : g_variant_get_string(value, nullptr);
    if (!typed && property->size != 0 && std::strlen(text) >= property->size) return refuse();
    std::vector<char> current(kItemBuffer + 1, '\0');
    uint8_t wanted[8] = {};
    if (get_item(module, property->item, current.data(), row, inner) == 0) {
      set_invalid_args(error, module.texts.current_failed, name);
      return false;
    }
    if (typed) item_bytes(value, wanted);
    const bool same = typed ? same_item(property->type,
                                        reinterpret_cast<const uint8_t *>(current.data()), wanted)
                            : std::strcmp(current.data(), text) == 0;
    if (same) {
      *changed = module.store_unchanged;
      return true;
    }
    if (set_item(module, property->item, typed ? static_cast<const void *>(wanted) : text, row,
                 inner) == 0) {
      const char *refused = module.texts.item_set_failed != nullptr ? module.texts.item_set_failed
                                                                    : module.texts.invalid_value;
      set_invalid_args(error, refused, name);
      return false;
    }
    *changed = true;
    return true;
  }
  if (property->field == Field::List && property->max_entries != 0 &&
      g_variant_n_children(value) > property->max_entries) {
    const char *text = property->too_many != nullptr ? property->too_many : property->refused;
    set_invalid_args(error, text != nullptr ? text : module.texts.invalid_value, property->name);
    return false;
  }
  const size_t width = field_width(*property);
  std::vector<uint8_t> bytes(std::max<size_t>(width, 16), 0);
  if (!encode_field(*property, value, bytes.data())) return refuse();
  if (property->field == Field::Text && module.table.check_text != nullptr &&
      module.table.check_text(property->item, reinterpret_cast<const char *>(bytes.data()), index) == 0)
    return refuse();
  bool differs = std::memcmp(row + property->offset, bytes.data(), width) != 0;
  uint8_t old_mac[6], new_mac[6];
  // A MAC in another spelling is the same MAC: nothing to store.
  if (differs && property->field == Field::MacText &&
      stored_mac(*property, row + property->offset, old_mac) &&
      stored_mac(*property, bytes.data(), new_mac))
    differs = std::memcmp(old_mac, new_mac, 6) != 0;
  // A value that did not change is not checked again (it was accepted once).
  if (differs && property->valid != nullptr &&
      !property->valid(reinterpret_cast<const char *>(bytes.data()))) {
    if (property->invalid_text == nullptr) return refuse();
    set_invalid_args(error, property->invalid_text, property->name);
    return false;
  }
  *changed = module.store_unchanged || differs;
  if (differs) std::memcpy(row + property->offset, bytes.data(), width);
  return true;
}

namespace {
uint64_t drop_listing(ListingCache &cache);
}  // namespace

void row_collection_start(const RowCollection &rows, GDBusConnection *connection,
                          const GDBusInterfaceVTable *manager_vtable) {
  const RowTable &table = rows.module.table;
  // A reply kept for an earlier connection (tests start the host again) is stale.
  if (rows.module.listing_cache != nullptr) drop_listing(*rows.module.listing_cache);
  collection_create_manager(rows.collection);
  collection_load_interface(rows.collection);
  std::vector<GDBusNodeInfo *> documents{*rows.collection.introspection_data};
  for (const InterfaceVariant &variant : rows.module.variants)
    documents.push_back(variant_nodes().at(&variant));
  for (GDBusNodeInfo *document : documents)
    for (GDBusInterfaceInfo **i = document->interfaces; *i != nullptr; ++i)
      mark_unannounced(*i, [&rows](const char *name) {
        return row_property_announced(rows.module, name);
      });
  // Rows nested under these rows: their document, and the store's pair
  // callbacks that export and remove their children.
  if (rows.module.nested != nullptr && rows.module.nested->inner != nullptr) {
    const RowCollection &inner = *rows.module.nested->inner;
    collection_load_interface(inner.collection);
    for (GDBusInterfaceInfo **i = (*inner.collection.introspection_data)->interfaces; *i != nullptr;
         ++i)
      mark_unannounced(*i, [&inner](const char *name) {
        return row_property_announced(inner.module, name);
      });
    dbus_proxy_row_callbacks callbacks{};
    callbacks.shape = DBUS_PROXY_ROW_PAIR;
    callbacks.add_pair = inner.inner_entries.add;
    callbacks.del_pair = inner.inner_entries.del;
    callbacks.parent_offset = inner.module.table.inner_parent_offset;
    IGD1_ASSERT(dbus_proxy_row_callbacks_reg(inner.collection.noun, &callbacks) != 0);
  }
  // Children the engine registers itself, and managers nested under rows,
  // need the connection first: before the table is loaded, whose rows (a
  // first start's seed) may be reported at once, nested rows with them.
  // Nested managers of an earlier connection (tests start the host again)
  // are gone with it.
  const bool outside = publishes_children_itself(rows.module) || rows.module.nested != nullptr ||
                       rows.module.sibling != nullptr;
  if (rows.module.nested != nullptr && rows.module.nested->managers != nullptr)
    rows.module.nested->managers->clear();
  if (rows.module.sibling != nullptr && rows.module.sibling->registrations != nullptr)
    rows.module.sibling->registrations->clear();
  auto attach = [&] {
    if (rows.module.manager_methods) {
      collection_attach(rows.collection, connection, manager_vtable);
    } else {
      rows.collection.state->connection = connection;
      g_dbus_object_manager_server_set_connection(rows.collection.state->manager, connection);
    }
  };
  if (outside) attach();
  if (table.update_all != nullptr) table.update_all();
  // A stand-in row has no child.  The numbers are taken first: exporting a
  // row with nested rows reads the table again.
  const int stand_in = stand_in_position(table);
  std::vector<uint32_t> instances;
  each_row(rows.module, [&](const uint8_t *row, uint32_t index) {
    if (int(index) != stand_in) instances.push_back(instance_of(rows.module, row));
  });
  for (uint32_t instance : instances) row_export(rows, instance);
  if (!outside) attach();
  if (rows.module.manager_object != nullptr && rows.module.manager_xml_file != nullptr) {
    GDBusNodeInfo *node = dbus_proxy_readxml(rows.module.manager_xml_file);
    g_autofree gchar *missing = g_strdup_printf("%s != NULL", rows.collection.introspection_name);
    IGD1_ASSERT_TEXT(node != nullptr, missing);
    const guint id = register_described_node(*rows.module.manager_object, node, connection,
                                             rows.collection.manager_path);
    IGD1_ASSERT_TEXT(id > 0, "registration_id > 0");
    g_dbus_node_info_unref(node);
  } else if (rows.module.manager_object != nullptr && rows.module.manager_xml == nullptr) {
    register_object_from_file(*rows.module.manager_object, connection);
  } else if (rows.module.manager_object != nullptr) {
    register_described_object(*rows.module.manager_object, rows.module.manager_xml, connection,
                              rows.collection.manager_path);
  }
  if (rows.module.start_up != nullptr) rows.module.start_up(connection);
}

GDBusObjectManagerServer *nested_manager(const NestedManagers &nested, uint32_t outer) {
  if (nested.managers == nullptr) return nullptr;
  auto found = nested.managers->find(outer);
  return found != nested.managers->end() ? found->second : nullptr;
}

void nested_manager_add(const NestedManagers &const_nested, GDBusConnection *connection,
                        uint32_t outer, bool always_init) {
  // The map is the engine's run-time state beside the module's declaration.
  NestedManagers &nested = const_cast<NestedManagers &>(const_nested);
  if (nested.outer == nullptr || connection == nullptr) return;
  const RowCollection &rows = *nested.outer;
  FoundRow found;
  if (outer == 0 || outer > 255 || !find_row(rows.module, outer, &found)) return;
  bool created = false;
  if (nested_manager(nested, outer) == nullptr) {
    if (nested.managers == nullptr)
      nested.managers = new std::map<uint32_t, GDBusObjectManagerServer *>;
    const std::string path = collection_child_path(rows.collection, outer) + "/" + nested.suffix;
    GDBusObjectManagerServer *manager = g_dbus_object_manager_server_new(path.c_str());
    const GDBusInterfaceVTable *vtable =
        nested.manager_vtable != nullptr ? nested.manager_vtable
        : nested.inner != nullptr        ? nested.inner->manager_vtable
                                         : nullptr;
    g_dbus_object_manager_server_set_connection_expand(manager, connection, vtable, manager);
    (*nested.managers)[outer] = manager;
    created = true;
  }
  if ((created || always_init) && nested.inner != nullptr &&
      nested.inner->module.table.init_inner != nullptr)
    nested.inner->module.table.init_inner(const_cast<uint8_t *>(found.data), outer);
}

void nested_manager_delete(const NestedManagers &const_nested, uint32_t outer) {
  NestedManagers &nested = const_cast<NestedManagers &>(const_nested);
  GDBusObjectManagerServer *manager = nested_manager(nested, outer);
  if (manager == nullptr) return;
  nested.managers->erase(outer);
  // Detaching unregisters the manager and every child it published.
  g_dbus_object_manager_server_set_connection_expand(manager, nullptr, nullptr, nullptr);
  g_object_unref(manager);
}

namespace {

// ---- siblings ----

// The row a sibling's path belongs to, with its context; false when the
// path names no row.
bool sibling_context(const RowCollection &rows, const char *object_path, CallContext *context) {
  const std::string_view suffix = rows.module.sibling->suffix;
  std::string_view path(object_path != nullptr ? object_path : "");
  if (path.size() <= suffix.size() + 1 || !path.ends_with(suffix) ||
      path[path.size() - suffix.size() - 1] != '/')
    return false;
  const std::string row_path(path.substr(0, path.size() - suffix.size() - 1));
  const uint32_t instance = child_instance(rows.collection, row_path.c_str());
  FoundRow row;
  if (instance == 0 || !find_row(rows.module, instance, &row)) return false;
  *context = {.object_path = object_path, .instance = instance, .index = row.index,
              .user_data = rows.module.user_data};
  return true;
}

const RowCollection &sibling_rows(gpointer user_data) {
  return *static_cast<const RowCollection *>(user_data);
}

GVariant *sibling_get(GDBusConnection *, const gchar *, const gchar *object_path, const gchar *,
                      const gchar *property_name, GError **error, gpointer user_data) {
  const RowCollection &rows = sibling_rows(user_data);
  CallContext context{};
  if (!sibling_context(rows, object_path, &context)) {
    set_invalid_args(error, rows.module.texts.get_invalid_path, object_path);
    return nullptr;
  }
  return rows.module.sibling->get(context, property_name, error);
}

void sibling_method_call(GDBusConnection *, const gchar *, const gchar *object_path,
                         const gchar *interface_name, const gchar *method_name,
                         GVariant *parameters, GDBusMethodInvocation *invocation,
                         gpointer user_data) {
  const RowCollection &rows = sibling_rows(user_data);
  CallContext context{};
  if (!sibling_context(rows, object_path, &context)) {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                          rows.module.texts.set_invalid_path, object_path);
    return;
  }
  dispatch_method(rows.module.sibling->methods, context, interface_name, method_name, parameters,
                  invocation);
}

const GDBusInterfaceVTable kSiblingVTable = {sibling_method_call, sibling_get, nullptr,
                                             {nullptr}};

void create_sibling(const RowCollection &rows, uint32_t instance) {
  Sibling &sibling = *rows.module.sibling;
  GDBusConnection *connection = rows.collection.state->connection;
  if (connection == nullptr) return;
  if (sibling.registrations == nullptr) sibling.registrations = new std::map<uint32_t, guint>;
  if (sibling.registrations->count(instance) != 0) return;
  if (sibling.node == nullptr) {
    sibling.node = g_dbus_node_info_new_for_xml(sibling.xml, nullptr);
    IGD1_ASSERT(sibling.node != nullptr && sibling.node->interfaces[0] != nullptr);
    dbus_proxy_node_info_reg(sibling.node);
  }
  const std::string path =
      collection_child_path(rows.collection, instance) + "/" + sibling.suffix;
  g_autoptr(GError) error = nullptr;
  const guint id = g_dbus_connection_register_object(
      connection, path.c_str(), sibling.node->interfaces[0], &kSiblingVTable,
      const_cast<RowCollection *>(&rows), nullptr, &error);
  IGD1_ASSERT_TEXT(id > 0, "registrationid > 0");
  (*sibling.registrations)[instance] = id;
}

void destroy_sibling(const RowCollection &rows, uint32_t instance) {
  Sibling &sibling = *rows.module.sibling;
  if (sibling.registrations == nullptr) return;
  auto found = sibling.registrations->find(instance);
  if (found == sibling.registrations->end()) return;
  g_dbus_connection_unregister_object(rows.collection.state->connection, found->second);
  sibling.registrations->erase(found);
}

}  // namespace

// ---- listings ----

bool row_exported(const RowCollection &rows, uint32_t instance) {
  const CollectionState &state = *rows.collection.state;
  if (publishes_itself(rows.collection))
    return state.outside != nullptr && state.outside->count(instance) != 0;
  if (state.manager == nullptr) return false;
  const std::string path = collection_child_path(rows.collection, instance);
  GDBusObject *object =
      g_dbus_object_manager_get_object(G_DBUS_OBJECT_MANAGER(state.manager), path.c_str());
  if (object == nullptr) return false;
  g_object_unref(object);
  return true;
}

GVariant *row_listing(const RowCollection &rows, bool (*keep)(const uint8_t *row)) {
  const RowModule &module = rows.module;
  const Collection &collection = rows.collection;
  GDBusNodeInfo *node = current_node(collection);
  std::vector<GVariant *> objects;
  const bool refresh = module.table.refresh_row != nullptr &&
                       !(module.refresh_skipped_in_test_run && check_dbus_cts_running());
  std::vector<uint8_t> refreshed;
  if (module.listing_flag != nullptr) *module.listing_flag = 1;
  // One walk of the table: every record comes from the same view of it.
  each_row(module, [&](const uint8_t *stored, uint32_t) {
    const uint8_t *row = stored;
    if (refresh) {
      refreshed.assign(stored, stored + module.table.row_size);
      module.table.refresh_row(refreshed.data());
      row = refreshed.data();
    }
    if (keep != nullptr && !keep(row)) return;
    const uint32_t instance = instance_of(module, row);
    if (!row_exported(rows, instance)) return;
    std::vector<GVariant *> interfaces;
    for (GDBusInterfaceInfo **i = node->interfaces; i != nullptr && *i != nullptr; ++i)
      if (carries(collection, instance, *i))
        interfaces.push_back(g_variant_new_dict_entry(g_variant_new_string((*i)->name),
                                                      row_dictionary(module, *i, row, inner_number(module, instance))));
    const std::string path = collection_child_path(collection, instance);
    objects.push_back(g_variant_new_dict_entry(
        g_variant_new_object_path(path.c_str()),
        g_variant_new_array(G_VARIANT_TYPE("{sa{sv}}"), interfaces.data(), interfaces.size())));
  });
  if (module.listing_flag != nullptr) *module.listing_flag = 0;
  return g_variant_new_array(G_VARIANT_TYPE("{oa{sa{sv}}}"), objects.data(), objects.size());
}

namespace {

GVariant *build_listing_reply(const RowCollection &rows) {
  return g_variant_ref_sink(g_variant_new("(@a{oa{sa{sv}}})", row_managed_objects(rows)));
}

// Drops the kept reply; returns the generation that a build started now
// must still find to be kept.
uint64_t drop_listing(ListingCache &cache) {
  GVariant *dropped = nullptr;
  uint64_t generation = 0;
  {
    std::lock_guard lock(cache.mutex);
    dropped = cache.reply;
    cache.reply = nullptr;
    generation = ++cache.generation;
  }
  if (dropped != nullptr) g_variant_unref(dropped);
  return generation;
}

// The table's commit count (0 for a table that does not count them).
uint64_t commit_count_of(const RowModule &module) {
  return module.table.commit_count != nullptr ? module.table.commit_count() : 0;
}

// What a reply shows: the service type and the table's commit count when
// its build began (a commit during the build makes it stale at once).
struct ListingBasis {
  int service_type;
  uint64_t commit_count;
};

ListingBasis listing_basis(const RowModule &module) {
  return {dbus_proxy_get_service_type(), commit_count_of(module)};
}

// Keeps `reply`, built on `basis`, unless the table changed since
// `generation` was taken.
void keep_listing(ListingCache &cache, GVariant *reply, uint64_t generation, ListingBasis basis) {
  std::lock_guard lock(cache.mutex);
  if (cache.generation != generation || cache.reply != nullptr) return;
  cache.reply = g_variant_ref(reply);
  cache.service_type = basis.service_type;
  cache.commit_count = basis.commit_count;
}

gboolean rebuild_listing(gpointer data) {
  const RowCollection &rows = *static_cast<const RowCollection *>(data);
  ListingCache &cache = *rows.module.listing_cache;
  uint64_t generation = 0;
  {
    std::lock_guard lock(cache.mutex);
    cache.rebuild_queued = false;
    if (cache.reply != nullptr) return G_SOURCE_REMOVE;
    generation = cache.generation;
  }
  const ListingBasis basis = listing_basis(rows.module);
  GVariant *reply = build_listing_reply(rows);
  keep_listing(cache, reply, generation, basis);
  g_variant_unref(reply);
  return G_SOURCE_REMOVE;
}

// Builds a new reply on the main loop once it is idle; several requests
// before then make one build.
void queue_listing_build(const RowCollection &rows) {
  ListingCache &cache = *rows.module.listing_cache;
  {
    std::lock_guard lock(cache.mutex);
    if (cache.rebuild_queued) return;
    cache.rebuild_queued = true;
  }
  g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, rebuild_listing, const_cast<RowCollection *>(&rows),
                  nullptr);
}

// The table or its children changed here: the kept reply no longer holds.
void listing_changed(const RowCollection &rows) {
  if (rows.module.listing_cache == nullptr) return;
  drop_listing(*rows.module.listing_cache);
  queue_listing_build(rows);
}

}  // namespace

GVariant *row_listing_refresh(const RowCollection &rows, bool keep) {
  ListingCache *cache = rows.module.listing_cache;
  if (cache == nullptr) return nullptr;
  const uint64_t generation = drop_listing(*cache);
  if (!keep) return nullptr;
  if (!g_main_context_is_owner(g_main_context_default())) {
    queue_listing_build(rows);
    return nullptr;
  }
  const ListingBasis basis = listing_basis(rows.module);
  GVariant *reply = build_listing_reply(rows);
  keep_listing(*cache, reply, generation, basis);
  return reply;
}

void row_export(const RowCollection &rows, uint32_t instance) {
  const RowTexts &texts = rows.module.texts;
  if (texts.export_log != nullptr)
    COLLECTION_LOG(LOG_LEVEL_INFO, rows.names.manager, texts.export_log, rows.collection.noun,
                   int(instance));
  if (texts.export_path_log != nullptr)
    COLLECTION_LOG(LOG_LEVEL_INFO, rows.names.manager, texts.export_path_log,
                   collection_child_path(rows.collection, instance).c_str());
  if (texts.export_type_log != nullptr)
    COLLECTION_LOG(LOG_LEVEL_INFO, rows.names.manager, texts.export_type_log,
                   rows.collection.type_name);
  collection_export_child(rows.collection, instance);
  if (rows.module.nested != nullptr)
    nested_manager_add(*rows.module.nested, rows.collection.state->connection, instance, false);
  if (rows.module.sibling != nullptr) create_sibling(rows, instance);
  listing_changed(rows);
}

void row_unexport(const RowCollection &rows, uint32_t instance) {
  COLLECTION_LOG(LOG_LEVEL_INFO, rows.names.manager, "Delete %s interface, index is %d ",
                 rows.collection.noun, int(instance));
  if (rows.module.sibling != nullptr) destroy_sibling(rows, instance);
  if (rows.module.nested != nullptr) nested_manager_delete(*rows.module.nested, instance);
  collection_unexport_child(rows.collection, instance);
  listing_changed(rows);
}

int nested_row_export(const RowCollection &rows, uint32_t outer, uint32_t inner, bool add) {
  const RowModule &module = rows.module;
  const char *function = rows.names.manager;
  FoundRow found;
  if (outer == 0 || outer > 255 || inner == 0 || inner > 255 || !find_row(module, outer, &found)) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "%s", module.texts.no_outer_log);
    return 0;
  }
  GDBusObjectManagerServer *manager = nested_manager(*module.nested_in, outer);
  if (manager == nullptr) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "%s", module.texts.no_manager_log);
    return 0;
  }
  // A child already published (the store reports a manager's rows again
  // when it is brought up to date) stays as it is.
  const uint32_t key = outer | inner << 8;
  if (add)
    row_export(rows, key);
  else
    row_unexport(rows, key);
  return 1;
}

GVariant *row_get_property(const RowCollection &rows, const char *object_path,
                           const char *property_name, GError **error) {
  const RowModule &module = rows.module;
  const char *function = rows.names.get;
  COLLECTION_LOG(LOG_LEVEL_DEBUG, function, "func [%s], line [%d],property_name:%s", function,
                 __LINE__, property_name);
  const uint32_t instance = child_instance(rows.collection, object_path);
  if (instance == 0) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function,
                   "func [%s], line [%d], get object path error invalid object path %s", function,
                   __LINE__, object_path);
    set_invalid_args(error, module.texts.get_invalid_path, object_path);
    return nullptr;
  }
  FoundRow found;
  if (!find_row(module, instance, &found)) {
    log_no_row(module, function, __LINE__, outer_number(module, instance));
    set_row_error(error, module.texts.get_no_row, function, outer_number(module, instance),
                  object_path);
    return nullptr;
  }
  const RowProperty *property = find_row_property(module.properties, property_name);
  if (property == nullptr) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "func [%s], line [%d], invalid property %s",
                   function, __LINE__, property_name);
    set_invalid_args(error, module.texts.read_property, property_name);
    return nullptr;
  }
  refresh_found(module, &found);
  return read_row_property(module, *property, found.data, error, inner_number(module, instance));
}

gboolean row_write(const RowCollection &rows, const char *function, GDBusConnection *connection,
                   const char *object_path, const char *interface_name, GVariant *entries,
                   GError **error, bool multi) {
  const RowModule &module = rows.module;
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "func [%s],object_path:%s", function, object_path);
  const uint32_t instance = child_instance(rows.collection, object_path);
  if (instance == 0) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function,
                   "func [%s], line [%d], get object path error invalid object path %s", function,
                   __LINE__, object_path);
    set_invalid_args(error, module.texts.set_invalid_path, object_path);
    return FALSE;
  }
  FoundRow found;
  if (!find_row(module, instance, &found)) {
    log_no_row(module, function, __LINE__, outer_number(module, instance));
    set_row_error(error, module.texts.set_no_row, function, outer_number(module, instance),
                  object_path);
    return FALSE;
  }
  const uint32_t index = found.index;
  WorkingCopy copy(module, found.data);
  if (copy.data() == nullptr) {
    set_failed(error, module.texts.commit_failed, "no working copy");
    return FALSE;
  }
  bool any_change = false;
  std::vector<const RowProperty *> announced;
  auto apply = [&](const char *name, GVariant *value, GVariant *, GError **entry_error) {
    bool changed = false;
    if (module.write_property != nullptr) {
      int written = 0;
      if (!module.write_property(name, value, &written, entry_error, copy.data(), index))
        return false;
      changed = written != 0;
    } else if (!apply_row_property(module, name, value, &changed, entry_error, copy.data(), index,
                                   inner_number(module, instance))) {
      return false;
    }
    any_change = any_change || changed;
    const RowProperty *property = changed ? find_row_property(module.properties, name) : nullptr;
    if (property != nullptr && announces(module, *property) &&
        std::find(announced.begin(), announced.end(), property) == announced.end())
      announced.push_back(property);
    return true;
  };
  const bool ordered = std::any_of(module.properties.begin(), module.properties.end(),
                                   [](const RowProperty &p) { return p.apply_order != 0; });
  const EntryOrder order = [&module](const char *name) {
    const RowProperty *property = find_row_property(module.properties, name);
    return property != nullptr ? int(property->apply_order) : 0;
  };
  // Unless the module continues past a refused entry of a multi-write, the
  // copy is all or nothing: a refused entry ends the call before anything is stored.
  g_autoptr(GError) skipped = nullptr;
  if (!walk_entries(function, LOG_LEVEL_INFO, entries,
                    multi ? module.multi_failure : MultiFailure::Stop, apply, &skipped, error,
                    ordered ? &order : nullptr))
    return FALSE;
  if (skipped != nullptr)
    COLLECTION_LOG(LOG_LEVEL_WARN, function, "func [%s]: entry skipped: %s", function,
                   skipped->message);
  // Values the table works out when the row is stored, as they were before.
  std::vector<std::pair<const RowProperty *, OwnedValue>> derived;
  for (const RowProperty &property : module.properties)
    if (property.derived && any_change && announces(module, property))
      derived.emplace_back(&property, owned(read_row_property(module, property, copy.data(),
                                                              nullptr)));
  auto announce = [&] {
    ChangeList changes;
    for (const RowProperty *property : announced) {
      GVariant *value = read_row_property(module, *property, copy.data(), nullptr,
                                          inner_number(module, instance));
      if (value != nullptr) changes.add(property->name, value);
    }
    FoundRow stored;
    if (!derived.empty() && find_row(module, instance, &stored)) {
      for (auto &[property, before] : derived) {
        OwnedValue now = owned(read_row_property(module, *property, stored.data, nullptr));
        if (now && (!before || !g_variant_equal(before.get(), now.get())))
          changes.add(property->name, now.get());
      }
    }
    if (changes.empty()) return;
    emit_changes(connection, object_path, interface_name, std::move(changes));
  };

  // Modules that announce before the commit tell listeners even when the
  // store then refuses the row.
  if (module.announce_at == AnnounceAt::BeforeCommit) announce();
  if (any_change) {
    // The row and what follows its commit stand or fall together.
    StoreTransaction transaction;
    if (!transaction.began(error)) return FALSE;
    if (!commit_row(module, copy.data(), index, object_path, error)) {
      COLLECTION_LOG(LOG_LEVEL_ERROR, function, "func [%s]: row %d not stored", function,
                     int(instance));
      return FALSE;
    }
    const CallContext call{.object_path = object_path, .instance = instance, .index = index,
                           .user_data = module.user_data};
    if (module.after_commit != nullptr && !module.after_commit(call, error)) return FALSE;
    if (module.save_after_write && module.table.save_mib != nullptr) module.table.save_mib();
    if (!transaction.commit(error)) return FALSE;
    listing_changed(rows);
  }
  if (module.announce_at == AnnounceAt::AfterCommit) announce();
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "out of func [%s]", function);
  return TRUE;
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

void row_method_call(const RowCollection &rows, const char *object_path,
                     const char *interface_name, const char *method_name, GVariant *parameters,
                     GDBusMethodInvocation *invocation) {
  const RowModule &module = rows.module;
  const uint32_t instance = child_instance(rows.collection, object_path);
  FoundRow row;
  if (instance == 0 || !find_row(module, instance, &row)) {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                          module.texts.set_invalid_path, object_path);
    return;
  }
  const CallContext context{.object_path = object_path, .instance = instance,
                            .index = row.index, .user_data = module.user_data};
  dispatch_method(module.methods, context, interface_name, method_name, parameters, invocation);
}

void row_remove_all(const RowCollection &rows, const char *object_path,
                    const char *interface_name, const char *method_name, GVariant *parameters,
                    GDBusMethodInvocation *invocation) {
  const RowModule &module = rows.module;
  const CallContext context{.object_path = object_path, .user_data = module.user_data};
  if (module.remove_all != nullptr) {
    const Method remove_all[] = {{.name = method_name, .handler = module.remove_all}};
    return dispatch_method(remove_all, context, interface_name, method_name, parameters,
                           invocation);
  }
  // The table removes its rows; their children leave through the row callbacks.
  COLLECTION_LOG(LOG_LEVEL_INFO, rows.names.manager, "func [%s], line [%d],method_name:%s",
                 rows.names.manager, __LINE__, method_name);
  StoreTransaction transaction;
  g_autoptr(GError) error = nullptr;
  if (!transaction.began(&error) || module.table.remove_all() == 0 ||
      (module.table.save_mib != nullptr && module.table.save_mib() == 0) ||
      !transaction.commit(&error)) {
    if (error != nullptr) return g_dbus_method_invocation_return_gerror(invocation, error);
    return return_manager_error(invocation, "RemoveAllObjects %s fail", rows.collection.noun);
  }
  listing_changed(rows);
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

namespace {

// The entries of a stored list text (empty text: none).
GStrv split_list(const RowProperty &property, const uint8_t *row) {
  g_autofree gchar *text = g_strndup(reinterpret_cast<const char *>(row + property.offset),
                                     property.size);
  return text[0] == '\0' ? g_new0(gchar *, 1) : g_strsplit(text, ";", -1);
}

}  // namespace

void row_edit_list(const RowCollection &rows, const ListMethods &lists, ListEdit edit,
                   const PendingCall &call, GVariant *parameters) {
  const RowModule &module = rows.module;
  const CallContext &context = call.context();
  guint32 type = 0;
  g_autofree const gchar **entries = nullptr;
  g_variant_get(parameters, "(u^a&s)", &type, &entries);
  COLLECTION_LOG(LOG_LEVEL_INFO, rows.names.manager, "func [%s], type %u, %u entries",
                 call.method(), type, g_strv_length(const_cast<gchar **>(entries)));
  auto invalid = [&] {
    call.reply(g_variant_new("(us)", G_MAXUINT32, lists.invalid_text));
  };
  auto unchanged = [&] { call.reply(g_variant_new("(us)", 0u, "")); };
  const RowProperty *property =
      type < lists.lists.size() ? find_row_property(module.properties, lists.lists[type]) : nullptr;
  FoundRow found;
  if (property == nullptr || property->field != Field::List) return invalid();
  if (!find_row(module, context.instance, &found)) return invalid();
  WorkingCopy copy(module, found.data);
  if (copy.data() == nullptr) return invalid();
  g_auto(GStrv) list = split_list(*property, copy.data());
  const bool was_empty = list[0] == nullptr;
  g_auto(GStrv) touched = nullptr;
  gchar **given = const_cast<gchar **>(entries);
  const int count = edit == ListEdit::Merge ? dbus_proxy_strvmerge(&list, given, &touched)
                                            : dbus_proxy_strvslice(&list, given, &touched);
  if (count < 0 || uint32_t(count) > lists.max_entries) return invalid();
  g_autofree gchar *joined = g_strjoinv(";", list);
  const char *stored = reinterpret_cast<const char *>(copy.data() + property->offset);
  // A list that does not fit its field is not stored, like an unchanged one.
  if (std::strncmp(joined, stored, property->size) == 0 || std::strlen(joined) >= property->size)
    return unchanged();
  std::memset(copy.data() + property->offset, 0, property->size);
  std::memcpy(copy.data() + property->offset, joined, std::strlen(joined));
  const int flag = !was_empty && list[0] != nullptr ? 1 : 0;
  StoreTransaction transaction;
  g_autoptr(GError) error = nullptr;
  const char *reason = nullptr;
  if (!transaction.began(&error) ||
      module.table.update_entry(copy.data(), found.index, &reason, flag) == 0) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, rows.names.manager, "%s %s", lists.commit_failed,
                   reason != nullptr ? reason : "");
    return void(call.fail_named(lists.error_name, lists.commit_failed));
  }
  if (flag != 0 && touched != nullptr && touched[0] != nullptr && lists.handle_action != nullptr)
    lists.handle_action(int(type), int(edit), touched);
  if (module.table.save_mib != nullptr) module.table.save_mib();
  if (!transaction.commit(&error)) return void(call.fail_named(lists.error_name, lists.commit_failed));
  listing_changed(rows);
  unchanged();
}

void row_manager_call(const RowCollection &rows, const char *manager_path,
                      const char *method_name, GVariant *parameters,
                      GDBusMethodInvocation *invocation) {
  if (rows.module.manager_quiet_in_test_run && check_dbus_cts_running()) return;
  if (g_strcmp0(method_name, "AddObject") == 0) {
    add_object(rows, manager_path, method_name, invocation);
  } else if (g_strcmp0(method_name, "DeleteObject") == 0) {
    delete_object(rows, manager_path, parameters, invocation);
  }
  // Other methods are not answered here; the host answers them as unknown.
}

GVariant *row_managed_objects(const RowCollection &rows) {
  if (rows.module.builds_listing || publishes_itself(rows.collection))
    return row_listing(rows, nullptr);
  GVariantBuilder objects;
  g_variant_builder_init(&objects, G_VARIANT_TYPE("a{oa{sa{sv}}}"));
  GDBusObjectManagerServer *manager = rows.collection.state->manager;
  GList *list = manager != nullptr
                    ? g_dbus_object_manager_get_objects(G_DBUS_OBJECT_MANAGER(manager))
                    : nullptr;
  for (GList *o = list; o != nullptr; o = o->next) {
    GDBusObject *object = G_DBUS_OBJECT(o->data);
    GVariantBuilder interfaces;
    g_variant_builder_init(&interfaces, G_VARIANT_TYPE("a{sa{sv}}"));
    GList *skeletons = g_dbus_object_get_interfaces(object);
    for (GList *i = skeletons; i != nullptr; i = i->next) {
      GDBusInterfaceSkeleton *skeleton = G_DBUS_INTERFACE_SKELETON(i->data);
      g_variant_builder_add(&interfaces, "{s@a{sv}}",
                            g_dbus_interface_skeleton_get_info(skeleton)->name,
                            g_dbus_interface_skeleton_get_properties(skeleton));
    }
    g_list_free_full(skeletons, g_object_unref);
    g_variant_builder_add(&objects, "{o@a{sa{sv}}}", g_dbus_object_get_object_path(object),
                          g_variant_builder_end(&interfaces));
  }
  g_list_free_full(list, g_object_unref);
  return g_variant_builder_end(&objects);
}

void row_answer_managed_objects(const RowCollection &rows, GDBusMethodInvocation *invocation) {
  ListingCache *cache = rows.module.listing_cache;
  GVariant *reply = nullptr;
  if (cache != nullptr) {
    // A reply of another service type shows the other form of the children;
    // one built before the table's last commit shows an older table.
    const ListingBasis now = listing_basis(rows.module);
    std::lock_guard lock(cache->mutex);
    if (cache->reply != nullptr && cache->service_type == now.service_type &&
        cache->commit_count == now.commit_count)
      reply = g_variant_ref(cache->reply);
  }
  // A table that counts its commits tells when a reply goes stale: the one
  // built for this call is kept.  Without the count a reply is kept only
  // when the module asks for it (it is told of other processes' writes).
  if (reply == nullptr && cache != nullptr && rows.module.table.commit_count != nullptr)
    reply = row_listing_refresh(rows, true);
  if (reply == nullptr) reply = build_listing_reply(rows);
  g_dbus_method_invocation_return_value(invocation, reply);
  g_variant_unref(reply);
}

void use_row_action(const char *table_module, int (*action)(unsigned int, int)) {
  dbus_proxy_row_callbacks callbacks{};
  callbacks.shape = DBUS_PROXY_ROW_ACTION;
  callbacks.row_action = action;
  dbus_proxy_row_callbacks_reg(table_module, &callbacks);
}

GVariant *single_entry(const char *name, GVariant *value) {
  GVariantBuilder entry;
  g_variant_builder_init(&entry, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&entry, "{sv}", name, value);
  return g_variant_ref_sink(g_variant_builder_end(&entry));
}

}  // namespace igd1
