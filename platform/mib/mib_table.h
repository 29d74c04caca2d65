// One accessor over a table definition: the calls that every record table of
// the configuration library answers (init, list, find, instance number, get,
// set, backup, free, update, insert, remove).  A table is its definition, the
// checks of its values and records, and the records a new store starts with;
// its exported functions hand their arguments to the accessor in one line
// each.  Every call honours failures injected under "<prefix>_<call>".
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mib_api.h"
#include "mib_internal.h"
#include "mib_rowlist.h"
#include "mib_store.h"

namespace igd1::mib {

// One value the get and set calls reach by item number: a column of the row.
struct TableItem {
  size_t column;  // index into the definition's columns, or kNoColumn
  // Numbers: the accepted range (both 0: any value of the column's width).
  int64_t low = 0, high = 0;
  // Texts: accepts a text that fits its column (nullptr: any that fits).
  bool (*valid)(const char *text) = nullptr;
  bool read_only = false;
  // Texts: get hands out a `const char *` to a copy the table keeps (valid
  // until the calling thread's next get of the item) instead of filling
  // the caller's buffer.
  bool by_pointer = false;
  // A coded text: its names by code.  Set takes a code (one byte below 32)
  // or a text.
  std::span<const char *const> names = {};
};

// The column of an item number the table does not serve (a gap in the
// numbering, or a value its module works out): get and set refuse it.
inline constexpr size_t kNoColumn = SIZE_MAX;

// A text column whose value must pass `valid` for its record to be stored.
struct TextCheck {
  size_t column;  // index into the definition's columns
  bool (*valid)(std::string_view text);
};

// A number column whose value must lie in [low, high] for its record to be
// stored.
struct RangeCheck {
  size_t column;  // index into the definition's columns
  int64_t low, high;
};

struct TableSpec {
  TableDef def;
  const char *prefix;  // names of injected failures: "<prefix>_update_all", ...
  std::span<const TableItem> items = {};
  std::span<const TextCheck> checks = {};
  std::span<const RangeCheck> ranges = {};
  // The name of the field that makes a whole record unfit to store, or
  // nullptr.  Texts that do not end inside their column are refused anyway.
  const char *(*refused)(const uint8_t *row) = nullptr;
  // Why the device that runs the table's records could not run `row` ("":
  // it could), or nullptr when no device runs them.  The table's commit asks
  // it, and so does igd1-mib before it changes a cell of a record that runs.
  std::string (*unrunnable)(const uint8_t *row) = nullptr;
  // Records of a new store, back to back: put in once, into an empty table,
  // and `seed_marker` set so that a table its users emptied stays empty.  A
  // record that carries no instance number gets the lowest free one.
  const char *seed_marker = nullptr;
  std::vector<uint8_t> (*seed)() = nullptr;
};

// A column over the member `member` of the record type `Record`, at its
// offset and with its size.
#define MIB_MEMBER_COLUMN(Record, name, kind, member) \
  igd1::mib::Column { name, kind, offsetof(Record, member), sizeof(Record::member) }

// The definition of a table of up to `max_rows` records numbered from 1 to
// `max_instance` (0: to max_rows), the number in the first byte.
constexpr TableDef record_table(const char *name, const char *module, size_t row_size,
                                std::span<const Column> columns, unsigned max_rows,
                                uint32_t max_instance = 0) {
  return {.name = name, .module = module, .row_size = row_size, .columns = columns.data(),
          .column_count = columns.size(), .max_rows = max_rows, .max_instance = max_instance};
}

// A seed of records given as column texts ({"Name", "Advertising"}, ...),
// each parsed as its column's kind.
struct SeedValue {
  const char *column;
  const char *text;
};
std::vector<uint8_t> seed_records(const TableDef &def,
                                  std::initializer_list<std::initializer_list<SeedValue>> records);

// Why changing the stored `row` of the table `name` into `candidate` is
// refused: the candidate is a record the table's device cannot run while
// the stored row is one it can.  "" otherwise, a record that does not run
// yet included, so that it can be filled in a value at a time.
std::string change_refusal(std::string_view name, const uint8_t *row, const uint8_t *candidate);

class Table {
 public:
  // Registers the table with the store (it exists from the store's next open).
  explicit Table(const TableSpec &spec);
  Table(const Table &) = delete;
  Table &operator=(const Table &) = delete;

  const TableSpec &spec() const { return spec_; }
  RowList &rows() { return *rows_; }

  // True when a failure is injected for "<prefix>_<call>" and `index`.
  bool fails(const char *call, int index = 0) const {
    return failures_injected() && fails_named(call, index);
  }

  // Reads the table again and seeds a new store.
  bool init();
  mib_list_node *list();
  // The node of `instance` and its position; instance 0 names the head.
  mib_list_node *find(uint32_t instance, uint32_t *position);
  uint32_t instance_of(const void *record) const;
  // One item of `record`: a text with its terminator, a number at its width.
  bool get(int item, void *output, const void *record) const;
  // Checks `value` and writes it into `record` (a working copy).
  bool set(int item, const void *value, void *record) const;
  // The code of the name `text` of a coded item, or -1.
  int code_of(int item, const char *text) const;
  // A copy of `record` that the caller releases with free_copy.
  void *backup(const void *record) const;
  static void free_copy(void *copy);
  // Why `row` may not be stored, or nullptr.
  const char *refused(const uint8_t *row) const;
  // One line naming the row and every column's value: "name[1] Enable=1 ...".
  std::string describe(const uint8_t *row) const;
  // Stores `copy` over the row with its key; at `position` only when the
  // row there has that key.  Null once stored, otherwise the reason (valid
  // until the calling thread's next update).
  const char *update(const void *copy);
  const char *update_at(const void *copy, uint32_t position);
  // The stored record of `instance` (1 or more) copied into `record`; false
  // when there is none.
  template <typename Record>
  bool load_row(uint32_t instance, Record *record) {
    mib_list_node *node = instance != 0 ? find(instance, nullptr) : nullptr;
    if (node != nullptr) *record = load<Record>(node->data);
    return node != nullptr;
  }
  // Stores every record that `change` (Record &) alters and says so of;
  // false at the first one the table refuses.
  template <typename Record, typename Change>
  bool update_each(Change change) {
    for (mib_list_node *node = list(); node != nullptr; node = node->next) {
      Record record = load<Record>(node->data);
      if (change(record) && update(&record) != nullptr) return false;
    }
    return true;
  }
  // The number of rows; 0 when a failure is injected for "<prefix>_<call>".
  int count(const char *call) const { return fails(call) ? 0 : int(rows_->size()); }
  // Commits the table to persistent storage.
  bool save() const { return !fails("save_mib") && dbus_do_ExtraMIB2flash() != 0; }
  // Inserts `record` under the lowest free instance number, written into it.
  bool insert(void *record);
  // Inserts a zeroed record; its instance number, or 0.
  uint32_t insert_empty();
  // Removes the row at `position` when `node` (if given) names the same row;
  // `removed` receives its key.
  bool remove(uint32_t position, const mib_list_node *node, RowKey *removed = nullptr);

 private:
  bool fails_named(const char *call, int index) const;

  const TableSpec &spec_;
  RowList *rows_;
};

// The operations `table` answers itself, as the bus modules reach them: read
// again, find, number, items, working copies, update, insert and remove.  A
// table whose call differs (its own insert, say), or that is saved after a
// change, names that call in `own`.
template <Table &table, const TableSpec &spec>
constexpr mib_table_ops table_ops(const mib_table_ops &own = {}) {
  mib_table_ops ops = {
      .row_size = spec.def.row_size,
      .update_all = [] { return table.init() ? 1 : 0; },
      .get_list_by_instnum = [](uint32_t instance, uint32_t *position) {
        return table.find(instance, position);
      },
      .insert_entry = [](void *record) { return table.insert(record) ? 1 : 0; },
      .remove_entry = [](uint32_t position, mib_list_node *node) {
        return table.remove(position, node) ? 1 : 0;
      },
      .save_mib = own.save_mib,
      .instance_of = [](const void *record) { return table.instance_of(record); },
      .get_item = [](int item, void *output, const void *record) {
        return table.get(item, output, record) ? 1 : 0;
      },
      .set_item = [](int item, const void *value, void *record) {
        return table.set(item, value, record) ? 1 : 0;
      },
      .backup_entry = [](const void *record) { return table.backup(record); },
      .free_backup_entry = Table::free_copy,
      .update_entry = [](const void *copy, uint32_t, const char **, int) {
        return table.update(copy) == nullptr ? 1 : 0;
      },
      .remove_all = own.remove_all};
  const auto mine = [](auto call, auto &member) {
    if (call != nullptr) member = call;
  };
  mine(own.update_all, ops.update_all);
  mine(own.insert_entry, ops.insert_entry);
  mine(own.remove_entry, ops.remove_entry);
  mine(own.get_item, ops.get_item);
  mine(own.set_item, ops.set_item);
  mine(own.backup_entry, ops.backup_entry);
  mine(own.free_backup_entry, ops.free_backup_entry);
  mine(own.update_entry, ops.update_entry);
  return ops;
}

// Whether every entry of `list`, joined by `separator`, passes `valid` (an
// empty entry included); an empty text is an empty list.
template <typename Valid>
bool every_entry(std::string_view list, char separator, Valid valid) {
  if (list.empty()) return true;
  while (true) {
    const size_t end = list.find(separator);
    if (!valid(list.substr(0, end))) return false;
    if (end == std::string_view::npos) return true;
    list.remove_prefix(end + 1);
  }
}

// Whether `text` is an IPv4 or IPv6 address.
bool ip_address(std::string_view text);
// The value of `text` when it is decimal digits only, with no sign or
// leading zero, within [low, high].
std::optional<long> decimal(std::string_view text, long low, long high);
// Whether `text` is one of `names`.
inline bool one_of(std::string_view text, std::span<const char *const> names) {
  for (const char *name : names)
    if (text == name) return true;
  return false;
}

// Records of a seed, back to back, from typed rows.
template <typename Row>
std::vector<uint8_t> records(const std::vector<Row> &rows) {
  std::vector<uint8_t> bytes(rows.size() * sizeof(Row));
  if (!rows.empty()) std::memcpy(bytes.data(), rows.data(), bytes.size());
  return bytes;
}

}  // namespace igd1::mib
