// Checks of values written into the store from outside the bus.  Which
// property stores a value is learnt from the store itself: each writable
// property of a single object (at each instance of a declaration registered
// per instance) is read once with the store watching, and those whose read
// asks for the setting own it; a table cell belongs to the row properties
// whose field holds the column and to every property that reads otherwise
// once the cell holds the new value.  Each owner then runs its writer on
// the value inside a store transaction that is always rolled back, exactly
// as a Set on the bus would before it commits.
#include "store_checks.h"

#include <glib.h>

#include <cmath>
#include <cstring>
#include <memory>
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
// output (Muted, for the whole check), and every store write it causes is
// rolled back (DryRun).
class Muted {
 public:
  Muted() { sys_log_mute(1); }
  ~Muted() { sys_log_mute(0); }
  Muted(const Muted &) = delete;
  Muted &operator=(const Muted &) = delete;
};

class DryRun {
 public:
  DryRun() : open_(mib_transaction_begin() != 0) {}
  ~DryRun() {
    if (open_) mib_transaction_rollback();
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

// ---- values the checks read ----

struct Unref {
  void operator()(GVariant *value) const { g_variant_unref(value); }
};
using Value = std::unique_ptr<GVariant, Unref>;

// Holds a value an accessor returned, floating or not.
Value held(GVariant *value) { return Value(value != nullptr ? g_variant_take_ref(value) : nullptr); }

// Whether two reads are the same value; two reads of none are.
bool same_read(GVariant *a, GVariant *b) {
  return a == nullptr || b == nullptr ? a == b : g_variant_equal(a, b) != FALSE;
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

// Where a write left the value it was given: as the new value, as the value
// that was stored before, or in a third form.
enum class Left : uint8_t { AsNew, AsBefore, Otherwise };

// The outcome of a write of `written` (what the new value reads as) that
// left the value as `left`: a write that stored another form refuses the
// value, and so does one that stored nothing because the value reads as
// what is stored already.  A write that leaves the value alone and reads
// otherwise owns it only through its read (a switch its read looks at).
GError *outcome(Left left, GVariant *read_before, GVariant *written, const char *value,
                const char *name) {
  if (left == Left::AsNew) return nullptr;
  if (left == Left::Otherwise || same_read(read_before, written))
    return not_stored_as(value, written, name);
  return nullptr;
}

// ---- single objects ----

// A value in the store's own form: a setting, or a cell of a table row.
struct Place {
  const char *key = nullptr;  // the setting; null: the cell
  const igd1_cell_change *cell = nullptr;

  uint64_t row_key() const { return uint64_t(cell->parent) << 32 | cell->instance; }
  std::string text() const {
    char *text = key != nullptr ? mib_setting_text(key)
                                : mib_cell_text(cell->table, row_key(), cell->column);
    std::string copy = text != nullptr ? text : "";
    free(text);
    return copy;
  }
  bool put(const char *text) const {
    return (key != nullptr ? mib_put_setting_text(key, text)
                           : mib_put_cell_text(cell->table, row_key(), cell->column, text)) != 0;
  }
};

constexpr char kFunction[] = "igd1_check";

// A declaration registered once per instance (a band, an SSID) serves the
// instances up to this one of which it reads anything.  A removed row leaves
// a gap (SSID 3 deleted, SSID 4 still there), so every number is tried.
constexpr uint32_t kMostInstances = 255;

const char *path_of(const SingleObject &object) { return object.path != nullptr ? object.path : ""; }

// One writable property of a single object, at one instance of it.
struct Owner {
  const SingleObject *object;
  const Property *property;
  uint32_t instance;  // 0: an object of a path of its own
};

GVariant *read_property(const SingleObject &object, const char *name, uint32_t instance) {
  g_autoptr(GError) unreadable = nullptr;
  return object_get(object, kFunction, path_of(object), name, &unreadable, instance);
}

Value read_owner(const Owner &owner) {
  return held(read_property(*owner.object, owner.property->name, owner.instance));
}

bool reads_at(const SingleObject &object, uint32_t instance) {
  for (const Property &property : object.properties)
    if (held(read_property(object, property.name, instance)) != nullptr) return true;
  return false;
}

// Every property a client can write on this service type, read under its
// own name, of every object that is there, at every instance it serves.
std::vector<Owner> writable_properties() {
  std::vector<Owner> all;
  for (const SingleObject *object : published_objects()) {
    if (object->start != nullptr &&
        !object->start(StartStep::Present, nullptr, nullptr, nullptr))
      continue;
    std::vector<uint32_t> instances;
    if (object->get_at == nullptr) instances.push_back(0);
    for (uint32_t n = 1; object->get_at != nullptr && n <= kMostInstances; ++n)
      if (reads_at(*object, n)) instances.push_back(n);
    for (uint32_t instance : instances)
      for (const Property &property : object->properties)
        if (property.write != nullptr && property.read != write_only &&
            find_property(*object, property.name) == &property)
          all.push_back({object, &property, instance});
  }
  return all;
}

// Whether reading the owner asks the store for the setting `key`.
bool reads_setting(const Owner &owner, const char *key) {
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
  const Value value = read_owner(owner);
  mib_watch_setting_reads(nullptr, nullptr);
  return seen.found;
}

// What the owner reads while the store holds `value` at `place`, so that a
// value's own form (a light's 1 read as "ON") is taken as such; nullptr
// when it reads as none.
Value read_with(const Owner &owner, const Place &place, const char *value) {
  DryRun dry_run;
  if (!dry_run.open() || !place.put(value)) return nullptr;
  return read_owner(owner);
}

// The owner's writer run on `written` as a Set of its object would run it,
// from its request's begin to the write, and then abandoned.
GError *refusal_of_write(const Owner &owner, GVariant *written) {
  const SingleObject &object = *owner.object;
  GError *refusal = nullptr;
  const CallContext call{.object_path = path_of(object), .instance = owner.instance,
                         .user_data = object.user_data, .kind = CallKind::Set, .error = &refusal};
  const Transaction &transaction = object.transaction;
  const Begin begin = transaction.begin != nullptr ? transaction.begin(call, object) : Begin::Apply;
  if (begin == Begin::Apply) {
    WriteFlags flags;
    if (!object_write(call, object, owner.property->name, written, &flags) && refusal == nullptr)
      refusal = g_error_new(G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "set %s fail", owner.property->name);
  }
  if (begin != Begin::Ignore && transaction.abort != nullptr) transaction.abort(call, object);
  return refusal;
}

// Whether the owner takes `value` (the store's form of it) at `place` as a
// bus write of `written`, what it reads with the value in place (null:
// the value's text as its bus type).
GError *refusal_at(const Owner &owner, const Place &place, const char *value, GVariant *written) {
  const Property &property = *owner.property;
  Value own;
  if (written == nullptr) {
    own = held(bus_value_of(property.type, value));
    written = own.get();
  }
  if (written == nullptr) return not_of_type(value, property.type, property.name);
  DryRun dry_run;
  if (!dry_run.open()) return store_busy();
  const std::string before = place.text();
  const Value read_before = read_owner(owner);
  if (GError *refusal = refusal_of_write(owner, written)) return refusal;
  const std::string after = place.text();
  const Left left = after == value ? Left::AsNew : after == before ? Left::AsBefore : Left::Otherwise;
  return outcome(left, read_before.get(), written, value, property.name);
}

// The single objects' properties that read otherwise once the cell holds
// `value`, each with what it then reads; `stored` receives the value in the
// store's form.
struct Reading {
  Owner owner;
  Value value;
};
std::vector<Reading> cell_readers(const Place &place, const char *value, std::string *stored) {
  const std::vector<Owner> all = writable_properties();
  std::vector<Value> before;
  for (const Owner &owner : all) before.push_back(read_owner(owner));
  DryRun dry_run;
  if (!dry_run.open() || !place.put(value)) return {};
  *stored = place.text();
  std::vector<Reading> readers;
  for (size_t i = 0; i < all.size(); ++i) {
    Value after = read_owner(all[i]);
    if (!same_read(before[i].get(), after.get())) readers.push_back({all[i], std::move(after)});
  }
  return readers;
}

// ---- table cells: row collections ----

const RowCollection *collection_of_module(const char *module) {
  for (const RowCollection *rows : published_collections())
    if (std::strcmp(rows->collection.noun, module) == 0) return rows;
  return nullptr;
}

// Whether the values of `a` and `b` at `offset` are the same: a text up to
// its terminator (a write leaves what followed it), anything else byte for
// byte.
bool same_bytes(const uint8_t *a, const uint8_t *b, size_t offset, size_t width, bool text) {
  a += offset;
  b += offset;
  if (!text) return std::memcmp(a, b, width) == 0;
  const size_t length = strnlen(reinterpret_cast<const char *>(a), width);
  return length == strnlen(reinterpret_cast<const char *>(b), width) && std::memcmp(a, b, length) == 0;
}

bool is_text_field(const RowProperty &property) {
  return property.field == Field::Text || property.field == Field::List ||
         property.field == Field::MacText;
}

// One row of a collection as its properties see it: the row itself, or for
// a nested row the outer row with the nested row's number.
struct CheckedRow {
  const RowCollection &rows;
  const igd1_cell_change &change;
  Place place{.cell = &change};
  ChildKey child = 0;
  std::vector<uint8_t> stored = {};     // what the engine reads the row from
  std::vector<uint8_t> candidate = {};  // the same with the new value (not nested)
  std::string value = {};               // the new value in the store's form

  bool nested() const { return nested_in(rows.module) != nullptr; }
  CallContext context(CallKind kind, GError **error) const {
    path_ = collection_child_path(rows.collection, child);
    return row_context(rows.module, path_.c_str(), child, change.position, kind, error);
  }
  // What `property` reads from `row`, or with the new value in the store
  // for a nested row.
  Value read(const RowProperty &property, const std::vector<uint8_t> &row) const {
    g_autoptr(GError) unreadable = nullptr;
    return held(read_row_property(rows.module, property, row.data(), context(CallKind::Get, &unreadable)));
  }
  Value read_new(const RowProperty &property) const {
    if (!nested()) return read(property, candidate);
    DryRun dry_run;
    if (!dry_run.open() || !place.put(value.c_str())) return nullptr;
    return read(property, stored);
  }

  mutable std::string path_ = {};  // of the last context
};

// Whether `property` stores the column: its field holds the column's first
// byte, or it is an item that reads otherwise with the new value.
bool holds_column(const CheckedRow &row, const RowProperty &property) {
  const RowModule &module = row.rows.module;
  if (property.write_log == nullptr ||
      find_writable_row_property(module, property.name) != &property)
    return false;
  if (property.field != Field::Item) {
    const size_t width = field_width(property);
    return !row.nested() && width != 0 && row.change.offset >= property.offset &&
           row.change.offset < property.offset + width;
  }
  return !same_read(row.read(property, row.stored).get(), row.read_new(property).get());
}

// Where the write left the column: in the working copy for a field or an
// item of the row, in the store for an item of a nested row (its accessors
// write the nested row there).
Left left_by(const CheckedRow &row, const RowProperty &property, const std::vector<uint8_t> &copy,
             const std::string &before) {
  if (row.nested()) {
    const std::string after = row.place.text();
    return after == row.value ? Left::AsNew : after == before ? Left::AsBefore : Left::Otherwise;
  }
  const bool item = property.field == Field::Item;
  const size_t offset = item ? row.change.offset : property.offset;
  const size_t width = item ? row.change.size : field_width(property);
  const bool text = item ? std::strcmp(property.type, "s") == 0 : is_text_field(property);
  if (same_bytes(copy.data(), row.candidate.data(), offset, width, text)) return Left::AsNew;
  return same_bytes(copy.data(), row.stored.data(), offset, width, text) ? Left::AsBefore
                                                                          : Left::Otherwise;
}

GError *refusal_of_cell(const CheckedRow &row, const RowProperty &property) {
  const RowModule &module = row.rows.module;
  // The value as a client would read it with the new value, so that a
  // field's own form (a protocol's number, a flag's byte) is taken as such.
  Value written = row.read_new(property);
  if (written == nullptr) written = held(bus_value_of(property.type, row.change.value));
  if (written == nullptr) return not_of_type(row.change.value, property.type, property.name);
  DryRun dry_run;
  if (!dry_run.open()) return store_busy();
  const std::string before = row.place.text();
  const Value read_before = row.read(property, row.stored);
  std::vector<uint8_t> copy = row.stored;
  GError *refusal = nullptr;
  const CallContext call = row.context(CallKind::Set, &refusal);
  bool changed = false;
  if (!apply_row_property(module, call, property.name, written.get(), copy.data(), &changed)) {
    if (refusal == nullptr)
      refusal = g_error_new(G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "set %s fail", property.name);
    return refusal;
  }
  return outcome(left_by(row, property, copy, before), read_before.get(), written.get(),
                 row.change.value, property.name);
}

// The refusal of the collection whose rows the table reports to, if any.
GError *collection_refusal(const RowCollection &rows, const igd1_cell_change &change) {
  CheckedRow row{.rows = rows, .change = change};
  const RowModule &module = rows.module;
  if (row.nested()) {
    row.child = nested_key(change.parent, change.instance);
    FoundRow outer;
    if (!find_row(module, row.child, &outer)) return nullptr;
    row.stored.assign(outer.data, outer.data + module.table.store->row_size);
    DryRun dry_run;
    if (!dry_run.open() || !row.place.put(change.value)) return store_busy();
    row.value = row.place.text();
  } else {
    if (change.row_size != module.table.store->row_size) return nullptr;
    const auto *stored = static_cast<const uint8_t *>(change.row);
    const auto *candidate = static_cast<const uint8_t *>(change.candidate);
    row.child = instance_of(module, stored);
    row.stored.assign(stored, stored + change.row_size);
    row.candidate.assign(candidate, candidate + change.row_size);
  }
  for (const RowProperty &property : module.properties) {
    if (!holds_column(row, property)) continue;
    if (GError *refusal = refusal_of_cell(row, property)) return refusal;
  }
  return nullptr;
}

}  // namespace
}  // namespace igd1

int igd1_check_setting(const char *key, const char *value, char *error, size_t size) {
  if (key == nullptr || value == nullptr) return 0;
  const igd1::Muted muted;
  const igd1::Place place{.key = key};
  std::vector<igd1::Owner> owners;
  {
    igd1::DryRun dry_run;
    if (!dry_run.open()) {
      g_autoptr(GError) busy = igd1::store_busy();
      return igd1::answer(busy, error, size);
    }
    for (const igd1::Owner &owner : igd1::writable_properties())
      if (igd1::reads_setting(owner, key)) owners.push_back(owner);
  }
  for (const igd1::Owner &owner : owners) {
    const igd1::Value written = igd1::read_with(owner, place, value);
    g_autoptr(GError) refusal = igd1::refusal_at(owner, place, value, written.get());
    if (refusal != nullptr) return igd1::answer(refusal, error, size);
  }
  return 1;
}

int igd1_check_cell(const igd1_cell_change *change, char *error, size_t size) {
  if (change == nullptr || change->table == nullptr || change->column == nullptr ||
      change->row == nullptr || change->candidate == nullptr || change->value == nullptr)
    return 0;
  const igd1::Muted muted;
  if (const igd1::RowCollection *rows =
          change->module != nullptr ? igd1::collection_of_module(change->module) : nullptr) {
    g_autoptr(GError) refusal = igd1::collection_refusal(*rows, *change);
    if (refusal != nullptr) return igd1::answer(refusal, error, size);
  }
  const igd1::Place place{.cell = change};
  std::string stored;
  std::vector<igd1::Reading> readers = igd1::cell_readers(place, change->value, &stored);
  for (const igd1::Reading &reader : readers) {
    g_autoptr(GError) refusal =
        igd1::refusal_at(reader.owner, place, stored.c_str(), reader.value.get());
    if (refusal != nullptr) return igd1::answer(refusal, error, size);
  }
  return 1;
}
