// The collection engine's skeleton type and value codecs: how a property of
// a record is read as a bus value and how a bus value is checked and stored
// into a working copy of the record.
#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "collection_engine.h"
#include "dbus_proxy_api.h"
#include "single_object.h"

namespace igd1 {
namespace {

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

// The bytes an item accessor may write for a text property.
size_t item_text_size(const RowProperty &property) {
  return property.size != 0 ? property.size : kItemBuffer;
}


// Whether a Number field holds a signed integer: it does for the signed bus types.
bool is_signed(const RowProperty &property) {
  const char type = property.type[0];
  return type == 'n' || type == 'i' || type == 'x';
}

int64_t load_number(const RowProperty &property, const uint8_t *row) {
  uint64_t raw = 0;
  std::memcpy(&raw, row + property.offset, property.size);  // little-endian host
  if (is_signed(property) && property.size < 8) {
    const uint64_t sign = uint64_t{1} << (8 * property.size - 1);
    raw = (raw ^ sign) - sign;
  }
  return int64_t(raw);
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

bool store_number(const RowProperty &property, int64_t number, uint8_t *bytes) {
  if (property.max > property.min && (number < property.min || number > property.max))
    return false;
  const int64_t stored = number;
  if (property.size < 8) {
    const int bits = 8 * property.size;
    const bool sign = is_signed(property);
    const int64_t low = sign ? -(int64_t{1} << (bits - 1)) : 0;
    const int64_t high = sign ? (int64_t{1} << (bits - 1)) - 1 : (int64_t{1} << bits) - 1;
    if (stored < low || stored > high) return false;
  } else if (!is_signed(property) && stored < 0) {
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
      bytes[0] = g_variant_get_boolean(value) != 0 ? 1 : 0;
      return true;
    case Field::Number: {
      int64_t number = 0;
      return whole_number_of(value, &number) && store_number(property, number, bytes);
    }
    case Field::IPv4:
    case Field::IPv6: {
      const char *text = g_variant_get_string(value, nullptr);
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
  if (nested_in(module) != nullptr) return module.table.inner.get_item(item, row, inner, output);
  return module.table.store->get_item(item, output, row);
}
int set_item(const RowModule &module, int item, const void *value, uint8_t *row,
             uint32_t inner) {
  if (nested_in(module) != nullptr) return module.table.inner.set_item(item, row, inner, value);
  return module.table.store->set_item(item, value, row);
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
    whole_number_of(value, &number);
    COLLECTION_LOG(LOG_LEVEL_INFO, "apply_row_property", property.write_log, int(number));
  }
}

}  // namespace

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

GDBusInterfaceSkeleton *new_child_skeleton(const Collection &collection, GDBusInterfaceInfo *info) {
  auto *interface = static_cast<GDBusInterfaceSkeleton *>(
      g_object_new(collection_interface_type(collection), nullptr));
  reinterpret_cast<CollectionSkeleton *>(interface)->info = info;
  return interface;
}

GVariant *collection_interface_properties(GDBusInterfaceSkeleton *skeleton) {
  return child_properties(collection_of(skeleton), g_dbus_interface_skeleton_get_connection(skeleton),
                          g_dbus_interface_skeleton_get_object_path(skeleton),
                          g_dbus_interface_skeleton_get_info(skeleton), skeleton);
}

namespace {

// Whether the document the module's children serve now declares `name`
// writable; a module whose document does not follow the service type, or
// that has not read its documents yet, takes what its table takes (GDBus
// holds a Set to the document as well), except under an alias (`by_alias`),
// which takes writes only where the document says so.
bool writable_in_document_now(const RowModule &module, const char *name, bool by_alias) {
  if (module.variants.empty() && !by_alias) return true;
  for (const RowCollection *rows : published_collections()) {
    if (&rows->module != &module) continue;
    if (*rows->collection.introspection_data == nullptr) return true;
    GDBusNodeInfo *node = current_node(rows->collection);
    for (GDBusInterfaceInfo **i = node->interfaces; i != nullptr && *i != nullptr; ++i)
      if (GDBusPropertyInfo *declared = g_dbus_interface_info_lookup_property(*i, name))
        return (declared->flags & G_DBUS_PROPERTY_INFO_FLAGS_WRITABLE) != 0;
    return false;
  }
  return false;
}

}  // namespace

const RowProperty *find_writable_row_property(const RowModule &module, const char *name) {
  if (name == nullptr) return nullptr;
  for (const RowProperty &property : module.properties) {
    const bool by_alias = property.alias != nullptr && std::strcmp(property.alias, name) == 0;
    if (std::strcmp(property.name, name) == 0 || by_alias)
      return property.write_log != nullptr && writable_in_document_now(module, name, by_alias)
                 ? &property
                 : nullptr;
  }
  return nullptr;
}

bool row_property_announced(const RowModule &module, const char *name) {
  // Whatever service type writes it: the documents are marked once.
  const RowProperty *property = find_row_property(module.properties, name);
  return property != nullptr && std::strcmp(property->name, name) == 0 &&
         (property->write_log != nullptr || worked_out_by_table(*property)) &&
         announces(module, *property);
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

namespace {

// What an error text about property `name` of the call may name.
TextValues named(const CallContext &call, const char *name) {
  return {.name = name, .path = call.object_path, .instance = call.instance};
}

// Whether the module reads a stored text that is not UTF-8, or whose item
// read failed, as "" (its InvalidUtf8 text is empty).
bool unreadable_as_empty(const RowModule &module) {
  return row_text(module, RowText::InvalidUtf8)[0] == '\0';
}

// The error of a value that cannot be read: the module's InvalidUtf8 text,
// or the engine's when the module reads such texts as "".
void set_unreadable(const RowModule &module, const RowProperty &property, const CallContext &call) {
  const char *text =
      unreadable_as_empty(module) ? kInvalidUtf8 : row_text(module, RowText::InvalidUtf8);
  set_invalid_text(call.error, text, named(call, property.name), property.name);
}

}  // namespace

GVariant *read_row_property(const RowModule &module, const RowProperty &property,
                            const uint8_t *row, const CallContext &call) {
  GError **error = call.error;
  const uint32_t inner = call.inner;
  GVariant *value = nullptr;
  const uint8_t *at = row + property.offset;
  if (property.read != nullptr) {
    value = property.read(call, property, row);
    // A hook that set its own error is answered with it, as it is.
    if (value == nullptr && (error == nullptr || *error == nullptr))
      set_unreadable(module, property, call);
    return value;
  }
  switch (property.field) {
    case Field::Flag:
      return g_variant_new_boolean(at[0] != 0);
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
          set_invalid_text(error, row_text(module, RowText::ReadFailed), named(call, property.name),
                           property.name);
          return nullptr;
        }
        return item_value(property.type, bytes);
      }
      const size_t size = item_text_size(property);
      std::vector<char> buffer(size + 1, '\0');
      if (get_item(module, property.item, buffer.data(), row, inner) == 0) {
        if (unreadable_as_empty(module)) return g_variant_new_string("");
        set_invalid_text(error, row_text(module, RowText::ReadFailed), named(call, property.name),
                         property.name);
        return nullptr;
      }
      value = text_value(buffer.data(), size);
      break;
    }
  }
  if (value == nullptr && unreadable_as_empty(module)) return g_variant_new_string("");
  if (value == nullptr) set_unreadable(module, property, call);
  return value;
}

gboolean write_row_property(const RowModule &module, const char *name, GVariant *value,
                            int *changed, GError **error, void *row, uint32_t index) {
  bool stored = false;
  const CallContext call{.object_path = module.manager_path, .index = index,
                         .user_data = module.user_data, .kind = CallKind::Set, .error = error};
  const bool ok = apply_row_property(module, call, name, value, static_cast<uint8_t *>(row), &stored);
  *changed = stored ? 1 : 0;
  return ok ? TRUE : FALSE;
}

namespace {

// The engine's texts in the order of RowText (null: the caller names the
// collection, or another text answers).
constexpr const char *kEngineRowTexts[] = {
    "invalid object path %s",          // GetInvalidPath
    "invalid object path %s",          // SetInvalidPath
    "Fail to update entry",            // CommitFailed
    "invalid property %s",             // ReadProperty
    "invalid property %s",             // WriteProperty
    "Get %s failed",                   // ReadFailed
    "get property %s failed",          // CurrentFailed
    kInvalidUtf8,                      // InvalidUtf8
    "Invalid parameter value",         // InvalidValue
    "invalid list num  %d ",           // GetNoRow
    "invalid list num  %d ",           // SetNoRow
    nullptr,                           // ItemSetFailed
    nullptr,                           // AddFailed
    nullptr,                           // AddPath
    nullptr,                           // TableFull
    "DeleteObject object path error",  // DeletePath
    nullptr,                           // DeleteFailed
    nullptr,                           // DeleteRefused
};
static_assert(std::size(kEngineRowTexts) == kRowTextCount);

}  // namespace

const char *row_text(const RowModule &module, RowText text) {
  const char *worded = module.texts.wording != nullptr ? module.texts.wording(text) : nullptr;
  return worded != nullptr ? worded : kEngineRowTexts[size_t(text)];
}

std::string row_text_faults(const RowModule &module, const char *noun) {
  std::string faults;
  // The module's texts take printf arguments; its refusals, path and
  // property errors also placeholders.
  for (size_t n = 0; n < kRowTextCount; ++n) {
    const auto text = RowText(n);
    constexpr unsigned kNamed = kSuppliesName | kSuppliesPath | kSuppliesInstance;
    const unsigned supplied = text <= RowText::CommitFailed   ? kSuppliesPath
                              : text <= RowText::InvalidUtf8  ? kNamed
                              : text == RowText::InvalidValue ? kSuppliesAll
                                                              : kSuppliesNothing;
    check_text(&faults, noun, row_text(module, text), supplied);
  }
  for (const RowProperty &property : module.properties)
    for (const char *text : {property.refused, property.wrong_type})
      check_text(&faults, noun, text, kSuppliesAll);
  return faults;
}

bool apply_row_property(const RowModule &module, const CallContext &call, const char *name,
                        GVariant *value, uint8_t *row, bool *changed) {
  GError **error = call.error;
  const uint32_t inner = call.inner;
  *changed = false;
  const RowProperty *property = find_writable_row_property(module, name);
  if (property == nullptr) {
    set_invalid_text(error, row_text(module, RowText::WriteProperty), named(call, name), name);
    return false;
  }
  const TextValues said{.name = property->name, .value = value, .path = call.object_path,
                        .instance = call.instance};
  const bool unlogged = std::strchr(property->write_log, '%') == nullptr;
  auto refuse_with = [&](const char *text) {
    set_invalid_args(error, "%s", text_for(text, said, property->name).c_str());
    return false;
  };
  auto refuse = [&] {
    const char *refused =
        property->refused != nullptr ? property->refused : row_text(module, RowText::InvalidValue);
    // The caller is answered with what it sent; the log never shows a value
    // that the write's own line keeps out.
    TextValues logged = said;
    g_autoptr(GVariant) masked =
        unlogged ? g_variant_ref_sink(g_variant_new_string("******")) : nullptr;
    if (masked != nullptr) logged.value = masked;
    COLLECTION_LOG(LOG_LEVEL_WARN, "apply_row_property", "%s",
                   text_for(refused, logged, property->name).c_str());
    return refuse_with(refused);
  };
  if (!g_variant_is_of_type(value, G_VARIANT_TYPE(property->type))) {
    if (property->field == Field::List)
      COLLECTION_LOG(LOG_LEVEL_WARN, "apply_row_property", "Value with type '%s' does not match '(as)'",
                     g_variant_get_type_string(value));
    if (property->wrong_type != nullptr) return refuse_with(property->wrong_type);
  }
  if (!check_value_type(value, name, property->type, error)) return false;
  if (unlogged)
    COLLECTION_LOG(LOG_LEVEL_INFO, "apply_row_property", "%s", property->write_log);
  else
    log_write(*property, value);
  if (property->accepts != nullptr && !property->accepts(call, *property, value, row)) {
    // A rule that set its own error is answered with it.
    if (error != nullptr && *error != nullptr) return false;
    return refuse();
  }
  if (property->write != nullptr) return property->write(call, *property, value, row, changed);
  if (property->field == Field::Item) {
    // Texts travel as themselves, other types in their own width; both are
    // compared with the current value before anything is stored.
    const bool typed = item_width(property->type) != 0;
    const char *text = typed ? nullptr : g_variant_get_string(value, nullptr);
    if (!typed && property->size != 0 && std::strlen(text) >= property->size) return refuse();
    std::vector<char> current(std::max<size_t>(item_text_size(*property), 8) + 1, '\0');
    uint8_t wanted[8] = {};
    if (get_item(module, property->item, current.data(), row, inner) == 0) {
      set_invalid_text(error, row_text(module, RowText::CurrentFailed), named(call, name), name);
      return false;
    }
    if (typed) item_bytes(value, wanted);
    const bool same = typed ? same_item(property->type,
                                        reinterpret_cast<const uint8_t *>(current.data()), wanted)
                            : std::strcmp(current.data(), text) == 0;
    if (same) {
      *changed = holds(module.writes, RowWrites::RepeatUnchanged);
      return true;
    }
    if (set_item(module, property->item, typed ? static_cast<const void *>(wanted) : text, row,
                 inner) == 0) {
      const char *refused = row_text(module, RowText::ItemSetFailed);
      if (refused == nullptr) refused = row_text(module, RowText::InvalidValue);
      set_invalid_args(error, refused, name);
      return false;
    }
    *changed = true;
    return true;
  }
  const size_t width = field_width(*property);
  std::vector<uint8_t> bytes(std::max<size_t>(width, 16), 0);
  if (!encode_field(*property, value, bytes.data())) return refuse();
  bool differs = std::memcmp(row + property->offset, bytes.data(), width) != 0;
  uint8_t old_mac[6], new_mac[6];
  // A MAC in another spelling is the same MAC: nothing to store.
  if (differs && property->field == Field::MacText &&
      stored_mac(*property, row + property->offset, old_mac) &&
      stored_mac(*property, bytes.data(), new_mac))
    differs = std::memcmp(old_mac, new_mac, 6) != 0;
  *changed = holds(module.writes, RowWrites::RepeatUnchanged) || differs;
  if (differs) std::memcpy(row + property->offset, bytes.data(), width);
  return true;
}

}  // namespace igd1
