// Checks of values written into the store from outside the bus.  Which
// property stores a setting is learnt from the store itself: each writable
// property of a single object is read once with the store watching, and
// those whose read asks for the setting own it.  A table cell belongs to
// the row properties whose field holds the column.  Each owner then runs
// its writer on the value inside a store transaction that is always rolled
// back, exactly as a Set on the bus would before it commits.
#include "store_checks.h"

#include <glib.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "collection_engine.h"
#include "mib_api.h"
#include "single_object.h"
#include "tool.h"

namespace igd1 {
namespace {

// The bus value of `text` for a property of bus type `type`, or nullptr
// when the text is no value of that type.  Numbers are strict decimal in
// the type's range; a boolean is true, false or a number (non-zero: true,
// as stored flags are); a list is the store's ";"-joined text.
GVariant *bus_value_of(const char *type, const char *text) {
  if (!g_utf8_validate(text, -1, nullptr)) return nullptr;
  auto whole = [text](bool is_signed, int64_t low, uint64_t high, int64_t *number) {
    if (is_signed) return g_ascii_string_to_signed(text, 10, low, int64_t(high), number, nullptr) != FALSE;
    guint64 unsigned_number = 0;
    if (!g_ascii_string_to_unsigned(text, 10, 0, high, &unsigned_number, nullptr)) return false;
    *number = int64_t(unsigned_number);
    return true;
  };
  int64_t number = 0;
  if (std::strcmp(type, "s") == 0) return g_variant_new_string(text);
  if (std::strcmp(type, "as") == 0) {
    g_auto(GStrv) entries = text[0] == '\0' ? g_new0(gchar *, 1) : g_strsplit(text, ";", -1);
    return g_variant_new_strv(entries, -1);
  }
  if (std::strlen(type) != 1) return nullptr;
  switch (type[0]) {
    case 'b':
      if (std::strcmp(text, "true") == 0 || std::strcmp(text, "false") == 0)
        return g_variant_new_boolean(text[0] == 't');
      if (!whole(true, INT64_MIN, INT64_MAX, &number)) return nullptr;
      return g_variant_new_boolean(number != 0);
    case 'y': return whole(false, 0, UINT8_MAX, &number) ? g_variant_new_byte(guchar(number)) : nullptr;
    case 'n':
      return whole(true, INT16_MIN, INT16_MAX, &number) ? g_variant_new_int16(gint16(number)) : nullptr;
    case 'q':
      return whole(false, 0, UINT16_MAX, &number) ? g_variant_new_uint16(guint16(number)) : nullptr;
    case 'i':
      return whole(true, INT32_MIN, INT32_MAX, &number) ? g_variant_new_int32(gint32(number)) : nullptr;
    case 'u':
      return whole(false, 0, UINT32_MAX, &number) ? g_variant_new_uint32(guint32(number)) : nullptr;
    case 'x': return whole(true, INT64_MIN, INT64_MAX, &number) ? g_variant_new_int64(number) : nullptr;
    case 't': {
      guint64 wide = 0;
      return g_ascii_string_to_unsigned(text, 10, 0, UINT64_MAX, &wide, nullptr)
                 ? g_variant_new_uint64(wide)
                 : nullptr;
    }
    case 'd': {
      char *end = nullptr;
      const double real = g_ascii_strtod(text, &end);
      if (text[0] == '\0' || *end != '\0' || !std::isfinite(real)) return nullptr;
      return g_variant_new_double(real);
    }
    default: return nullptr;
  }
}

// A check runs the engine's readers and writers in a process that is not
// the daemon: nothing it logs may reach the daemon's log or the caller's
// output, and every store write it causes is rolled back.
class DryRun {
 public:
  DryRun() : open_(mib_transaction_begin() != 0) { sys_log_mute(1); }
  ~DryRun() {
    if (open_) mib_transaction_rollback();
    sys_log_mute(0);
  }
  DryRun(const DryRun &) = delete;
  DryRun &operator=(const DryRun &) = delete;
  bool open() const { return open_; }

 private:
  bool open_;
};

// The outcome of a check: the first refusal, if any, in the caller's buffer.
int answer(const GError *refusal, char *error, size_t size) {
  if (refusal == nullptr) return 1;
  if (error != nullptr && size > 0) g_strlcpy(error, refusal->message, size);
  return 0;
}

GError *store_busy() {
  return g_error_new_literal(G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "The configuration store is busy");
}

// The refusal of a text that is no value of the property's bus type at all
// (which a bus client could not even send).
GError *not_of_type(const char *value, const char *type, const char *name) {
  return g_error_new(G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "'%s' is no value of type %s for %s",
                     value, type, name);
}

// ---- settings: single objects ----

const char *path_of(const SingleObject &object) { return object.path != nullptr ? object.path : ""; }

struct SettingOwner {
  const SingleObject *object;
  const Property *property;
};

// Whether reading `property` of `object` asks the store for `key`.
bool reads_setting(const SingleObject &object, const Property &property, const char *key) {
  struct Seen {
    const char *key;
    bool found = false;
  } seen{key};
  mib_watch_setting_reads(
      [](const char *name, void *data) {
        auto *s = static_cast<Seen *>(data);
        if (std::strcmp(name, s->key) == 0) s->found = true;
      },
      &seen);
  g_autoptr(GError) ignored = nullptr;
  g_autoptr(GVariant) value = object_get(object, "igd1_check_setting", path_of(object),
                                         property.name, &ignored);
  mib_watch_setting_reads(nullptr, nullptr);
  return seen.found;
}

std::vector<SettingOwner> setting_owners(const char *key) {
  std::vector<SettingOwner> owners;
  for (const SingleObject *object : published_objects()) {
    if (object->present != nullptr && !object->present()) continue;
    for (const Property &property : object->properties) {
      // Only what a client can write on this service type, read under its own name.
      if (property.write == nullptr || property.read == write_only ||
          find_property(*object, property.name) != &property)
        continue;
      if (reads_setting(*object, property, key)) owners.push_back({object, &property});
    }
  }
  return owners;
}

// The value a client reads from `owner` while the store holds `value` under
// `key`, so that a setting's own form (a light's 1 read as "ON") is taken as
// such; nullptr when it reads as none.
GVariant *read_as(const SettingOwner &owner, const char *key, const char *value) {
  DryRun dry_run;
  if (!dry_run.open() || mib_put_setting_text(key, value) == 0) return nullptr;
  g_autoptr(GError) unreadable = nullptr;
  return object_get(*owner.object, "igd1_check_setting", path_of(*owner.object),
                    owner.property->name, &unreadable);
}

// The refusal of a value a bus write could never leave in the store: a
// client reads it as `read` (a light's 7 as 'ON'), and writing that back
// stores another form (1).
GError *not_stored_as(const char *value, GVariant *read, const char *name) {
  g_autofree char *read_text = g_variant_print(read, FALSE);
  return g_error_new(G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                     "'%s' reads as %s, which a write of %s stores in another form", value,
                     read_text, name);
}

// Whether a read of `before` and one of `after` are the same value.
bool same_read(GVariant *before, GVariant *after) {
  return before != nullptr && after != nullptr && g_variant_equal(before, after);
}

std::string setting_text(const char *key) {
  char *text = mib_setting_text(key);
  std::string copy = text != nullptr ? text : "";
  free(text);
  return copy;
}

GError *refusal_of_setting(const SettingOwner &owner, const char *key, const char *value) {
  const Property &property = *owner.property;
  g_autoptr(GVariant) written = read_as(owner, key, value);
  if (written == nullptr) written = bus_value_of(property.type, value);
  if (written == nullptr) return not_of_type(value, property.type, property.name);
  g_variant_take_ref(written);
  DryRun dry_run;
  if (!dry_run.open()) return store_busy();
  const std::string before = setting_text(key);
  g_autoptr(GError) unreadable = nullptr;
  g_autoptr(GVariant) read_before = object_get(*owner.object, "igd1_check_setting",
                                               path_of(*owner.object), property.name, &unreadable);
  GError *refusal = nullptr;
  const CallContext call{.object_path = path_of(*owner.object), .user_data = owner.object->user_data,
                         .kind = CallKind::Set, .error = &refusal};
  WriteFlags flags;
  if (!object_write(call, *owner.object, property.name, written, &flags)) {
    if (refusal == nullptr)
      refusal = g_error_new(G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "set %s fail", property.name);
    return refusal;
  }
  // The write went through; the value must also be what it leaves in the
  // store.  Either the write stored another text, or it stored nothing
  // because the value reads as what is stored already: both are values no
  // client could store.  A write that leaves the setting alone and reads
  // otherwise owns it only through its read (a switch its read looks at).
  const std::string after = setting_text(key);
  if (after == value) return nullptr;
  if (after != before || (same_read(read_before, written) && before != value))
    return not_stored_as(value, written, property.name);
  return nullptr;
}

// ---- table cells: row collections ----

const RowCollection *collection_of_module(const char *module) {
  for (const RowCollection *rows : published_collections())
    if (std::strcmp(rows->collection.noun, module) == 0) return rows;
  return nullptr;
}

// Whether `property` is written through the record and holds the byte at `offset`.
bool holds_column(const RowModule &module, const RowProperty &property, size_t offset) {
  const size_t width = field_width(property);
  return width != 0 && property.write_log != nullptr &&
         find_writable_row_property(module, property.name) == &property &&
         offset >= property.offset && offset < property.offset + width;
}

// Whether rows `a` and `b` hold the same value in `property`'s field: a
// text up to its terminator (a write leaves what followed it), anything
// else byte for byte.
bool same_field(const RowProperty &property, const uint8_t *a, const uint8_t *b) {
  const size_t width = field_width(property);
  a += property.offset;
  b += property.offset;
  switch (property.field) {
    case Field::Text:
    case Field::List:
    case Field::MacText: {
      const size_t length = strnlen(reinterpret_cast<const char *>(a), width);
      return length == strnlen(reinterpret_cast<const char *>(b), width) &&
             std::memcmp(a, b, length) == 0;
    }
    default: return std::memcmp(a, b, width) == 0;
  }
}

GError *refusal_of_cell(const RowCollection &rows, const RowProperty &property,
                        const igd1_cell_change &change) {
  const RowModule &module = rows.module;
  const auto *stored = static_cast<const uint8_t *>(change.row);
  const uint32_t instance = instance_of(module, stored);
  const std::string path = collection_child_path(rows.collection, instance);
  GError *refusal = nullptr;
  // The value as a client would read it from the candidate row, so that a
  // field's own form (a protocol's number, a flag's byte) is taken as such.
  g_autoptr(GError) unreadable = nullptr;
  const CallContext read = row_context(module, path.c_str(), instance, change.position,
                                       CallKind::Get, &unreadable);
  g_autoptr(GVariant) written =
      read_row_property(module, property, static_cast<const uint8_t *>(change.candidate), read);
  if (written == nullptr) written = bus_value_of(property.type, change.value);
  if (written == nullptr) return not_of_type(change.value, property.type, property.name);
  g_variant_take_ref(written);
  std::vector<uint8_t> copy(stored, stored + change.row_size);
  const CallContext call =
      row_context(module, path.c_str(), instance, change.position, CallKind::Set, &refusal);
  bool changed = false;
  if (!apply_row_property(module, call, property.name, written, copy.data(), &changed)) {
    if (refusal == nullptr)
      refusal = g_error_new(G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "set %s fail", property.name);
    return refusal;
  }
  // As for settings: the write must leave the field as the candidate holds
  // it, or the value is one no client could store (a flag's 7 read as true
  // and stored as 1).
  const auto *candidate = static_cast<const uint8_t *>(change.candidate);
  if (same_field(property, copy.data(), candidate)) return nullptr;
  g_clear_error(&unreadable);
  g_autoptr(GVariant) read_stored = read_row_property(module, property, stored, read);
  if (!same_field(property, copy.data(), stored) || same_read(read_stored, written))
    return not_stored_as(change.value, written, property.name);
  return nullptr;
}

}  // namespace
}  // namespace igd1

int igd1_check_setting(const char *key, const char *value, char *error, size_t size) {
  if (key == nullptr || value == nullptr) return 0;
  std::vector<igd1::SettingOwner> owners;
  {
    igd1::DryRun dry_run;
    if (!dry_run.open()) {
      g_autoptr(GError) busy = igd1::store_busy();
      return igd1::answer(busy, error, size);
    }
    owners = igd1::setting_owners(key);
  }
  for (const igd1::SettingOwner &owner : owners) {
    g_autoptr(GError) refusal = igd1::refusal_of_setting(owner, key, value);
    if (refusal != nullptr) return igd1::answer(refusal, error, size);
  }
  return 1;
}

int igd1_check_cell(const igd1_cell_change *change, char *error, size_t size) {
  if (change == nullptr || change->module == nullptr || change->row == nullptr ||
      change->candidate == nullptr || change->value == nullptr)
    return 0;
  const igd1::RowCollection *rows = igd1::collection_of_module(change->module);
  if (rows == nullptr || change->row_size != rows->module.table.row_size) return 1;
  igd1::DryRun dry_run;
  if (!dry_run.open()) {
    g_autoptr(GError) busy = igd1::store_busy();
    return igd1::answer(busy, error, size);
  }
  for (const igd1::RowProperty &property : rows->module.properties) {
    if (!igd1::holds_column(rows->module, property, change->offset)) continue;
    g_autoptr(GError) refusal = igd1::refusal_of_cell(*rows, property, *change);
    if (refusal != nullptr) return igd1::answer(refusal, error, size);
  }
  return 1;
}
