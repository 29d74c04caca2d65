#include "mib_table.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

namespace igd1::mib {

namespace {

bool is_text(ValueKind kind) { return kind == ValueKind::Text || kind == ValueKind::IPv4Text; }

// Texts are kept zero-padded, so the last byte settles it but for a full one.
bool terminated(const void *text, size_t size) {
  const auto *bytes = static_cast<const char *>(text);
  return bytes[size - 1] == '\0' || strnlen(bytes, size) < size;
}

// The number a column holds at `at`, by its kind; false for kinds that are
// not whole numbers.
bool whole_number(ValueKind kind, const void *at, int64_t *value) {
  switch (kind) {
    case ValueKind::U8: *value = load<uint8_t>(at); return true;
    case ValueKind::U16: *value = load<uint16_t>(at); return true;
    case ValueKind::U32: *value = load<uint32_t>(at); return true;
    case ValueKind::I32:
    case ValueKind::Bool: *value = load<int32_t>(at); return true;
    default: return false;
  }
}

// Keeps the reason of the calling thread's last refused update.
const char *refusal(std::string text) {
  static thread_local std::string reason;
  reason = std::move(text);
  return reason.c_str();
}

// The item of `spec` that `item` numbers, when the table serves it itself.
const TableItem *served(const TableSpec &spec, int item) {
  if (item < 0 || size_t(item) >= spec.items.size() || spec.items[item].column == kNoColumn) return nullptr;
  return &spec.items[item];
}

// Every table of the process, for look-ups by name.
std::vector<const Table *> &all_tables() {
  static std::vector<const Table *> tables;
  return tables;
}

}  // namespace

std::string change_refusal(std::string_view name, const uint8_t *row, const uint8_t *candidate) {
  for (const Table *table : all_tables()) {
    const TableSpec &spec = table->spec();
    if (name == spec.def.name && spec.unrunnable != nullptr && spec.unrunnable(row).empty())
      return spec.unrunnable(candidate);
  }
  return "";
}

std::vector<uint8_t> seed_records(const TableDef &def,
                                  std::initializer_list<std::initializer_list<SeedValue>> records) {
  std::vector<uint8_t> bytes(records.size() * def.row_size, 0);
  uint8_t *row = bytes.data();
  for (const auto &record : records) {
    for (const SeedValue &value : record)
      for (size_t i = 0; i < def.column_count; ++i)
        if (std::strcmp(def.columns[i].name, value.column) == 0)
          parse_value(def.columns[i].kind, value.text, row + def.columns[i].offset,
                      def.columns[i].size);
    row += def.row_size;
  }
  return bytes;
}

bool ip_address(std::string_view text) {
  char copy[INET6_ADDRSTRLEN];
  if (text.size() >= sizeof copy || text.find('\0') != std::string_view::npos) return false;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  uint8_t address[16];
  return inet_pton(AF_INET, copy, address) == 1 || inet_pton(AF_INET6, copy, address) == 1;
}

std::optional<long> decimal(std::string_view text, long low, long high) {
  if (text.empty() || text.size() > 9 || (text.size() > 1 && text.front() == '0')) return std::nullopt;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

Table::Table(const TableSpec &spec) : spec_(spec) {
  register_table(spec.def);
  rows_ = new RowList(*find_table(spec.def.name));
  all_tables().push_back(this);
}

bool Table::fails_named(const char *call, int index) const {
  return should_fail(std::string(spec_.prefix) + "_" + call, index);
}

bool Table::init() {
  if (fails("update_all") || fails("init")) return false;
  rows_->reload();
  if (spec_.seed == nullptr || !store_is_open() ||
      get_setting(spec_.seed_marker).value_or("0") != "0")
    return true;
  // The records and the mark stand or fall together.
  if (!begin_transaction()) return false;
  if (rows_->size() == 0) {
    std::vector<uint8_t> seed = spec_.seed();
    const size_t size = spec_.def.row_size;
    for (size_t at = 0; at + size <= seed.size(); at += size) {
      uint8_t *record = seed.data() + at;
      if (refused(record) != nullptr) continue;
      if (key_instance(row_key_of(spec_.def, record)) == 0)
        rows_->insert(record);
      else
        rows_->insert_at(record);
    }
  }
  set_setting(spec_.seed_marker, "1");
  return commit_transaction();
}

mib_list_node *Table::list() { return fails("get_list") ? nullptr : rows_->head(); }

mib_list_node *Table::find(uint32_t instance, uint32_t *position) {
  if (fails("get_list_by_instnum")) return nullptr;
  if (instance != 0) return rows_->find(instance, position);
  if (position != nullptr) *position = 0;
  return rows_->head();
}

uint32_t Table::instance_of(const void *record) const {
  return record != nullptr ? key_instance(row_key_of(spec_.def, static_cast<const uint8_t *>(record)))
                           : 0;
}

bool Table::get(int item, void *output, const void *record) const {
  const TableItem *wanted = served(spec_, item);
  if (wanted == nullptr || output == nullptr || record == nullptr || fails("get_mib_property", item))
    return false;
  const Column &column = spec_.def.columns[wanted->column];
  const auto *at = static_cast<const uint8_t *>(record) + column.offset;
  if (!is_text(column.kind)) {
    std::memcpy(output, at, column.size);
    return true;
  }
  const size_t length = strnlen(reinterpret_cast<const char *>(at), column.size);
  if (length == column.size) return false;
  if (wanted->by_pointer) {
    thread_local std::map<std::pair<const Table *, int>, std::string> kept;
    std::string &copy = kept[{this, item}];
    copy.assign(reinterpret_cast<const char *>(at), length);
    store(output, copy.c_str());
    return true;
  }
  std::memcpy(output, at, length + 1);
  return true;
}

bool Table::set(int item, const void *value, void *record) const {
  const TableItem *found = served(spec_, item);
  if (found == nullptr || found->read_only || value == nullptr || record == nullptr ||
      fails("set_mib_property", item))
    return false;
  const TableItem &wanted = *found;
  const Column &column = spec_.def.columns[wanted.column];
  auto *at = static_cast<uint8_t *>(record) + column.offset;
  if (is_text(column.kind)) {
    const auto *text = static_cast<const char *>(value);
    // A coded text arrives as its code or as the text to store.
    if (const auto code = uint8_t(text[0]); !wanted.names.empty() && code < 0x20) {
      if (code >= wanted.names.size()) return false;
      text = wanted.names[code];
    }
    const size_t length = strnlen(text, column.size);
    if (length == column.size || (wanted.valid != nullptr && !wanted.valid(text))) return false;
    std::memset(at, 0, column.size);
    std::memcpy(at, text, length);
    return true;
  }
  int64_t number = 0;
  if ((wanted.low != 0 || wanted.high != 0) &&
      (!whole_number(column.kind, value, &number) || number < wanted.low || number > wanted.high))
    return false;
  std::memcpy(at, value, column.size);
  return true;
}

int Table::code_of(int item, const char *text) const {
  const TableItem *wanted = served(spec_, item);
  for (size_t i = 0; wanted != nullptr && i < wanted->names.size(); ++i)
    if (std::strcmp(wanted->names[i], text) == 0) return int(i);
  return -1;
}

void *Table::backup(const void *record) const {
  if (record == nullptr || fails("backup_entry")) return nullptr;
  void *copy = std::malloc(spec_.def.row_size);
  if (copy != nullptr) std::memcpy(copy, record, spec_.def.row_size);
  return copy;
}

void Table::free_copy(void *copy) { std::free(copy); }

const char *Table::refused(const uint8_t *row) const {
  for (const RangeCheck &range : spec_.ranges) {
    const Column &column = spec_.def.columns[range.column];
    int64_t number = 0;
    if (!whole_number(column.kind, row + column.offset, &number) || number < range.low ||
        number > range.high)
      return column.name;
  }
  for (size_t i = 0; i < spec_.def.column_count; ++i) {
    const Column &column = spec_.def.columns[i];
    if (is_text(column.kind) && !terminated(row + column.offset, column.size)) return column.name;
  }
  for (const TextCheck &check : spec_.checks) {
    const Column &column = spec_.def.columns[check.column];
    const char *text = reinterpret_cast<const char *>(row + column.offset);
    if (!check.valid(std::string_view(text, strnlen(text, column.size)))) return column.name;
  }
  return spec_.refused != nullptr ? spec_.refused(row) : nullptr;
}

std::string Table::describe(const uint8_t *row) const {
  std::string text = std::string(spec_.def.name) + "[" + key_text(row_key_of(spec_.def, row)) + "]";
  for (size_t i = 0; i < spec_.def.column_count; ++i) {
    const Column &column = spec_.def.columns[i];
    text += std::string(" ") + column.name + "=" + format_value(column.kind, row + column.offset, column.size);
  }
  return text;
}

const char *Table::update(const void *copy) {
  const auto *row = static_cast<const uint8_t *>(copy);
  if (row == nullptr) return "no row";
  if (fails("update_entry") || fails("update_entry_mib")) return "the table refused the row";
  if (const char *field = refused(row)) return refusal(std::string("invalid ") + field);
  return rows_->store(row) ? nullptr : "store write failed";
}

const char *Table::update_at(const void *copy, uint32_t position) {
  if (copy != nullptr) {
    const RowKey key = row_key_of(spec_.def, static_cast<const uint8_t *>(copy));
    mib_list_node *at = rows_->at(position);
    if (at == nullptr || row_key_of(spec_.def, static_cast<const uint8_t *>(at->data)) != key)
      return refusal("no row at position " + std::to_string(position));
  }
  return update(copy);
}

bool Table::insert(void *record) {
  return record != nullptr && !fails("insert_entry") &&
         rows_->insert(static_cast<uint8_t *>(record));
}

uint32_t Table::insert_empty() {
  std::vector<uint8_t> row(spec_.def.row_size, 0);
  return insert(row.data()) ? instance_of(row.data()) : 0;
}

bool Table::remove(uint32_t position, const mib_list_node *node, RowKey *removed) {
  if (fails("remove_entry")) return false;
  // The caller's node lies in this thread's view of the rows, which the
  // look-up below may rebuild: its key is read first.
  const bool named = node != nullptr && node->data != nullptr;
  const RowKey wanted = named ? row_key_of(spec_.def, static_cast<const uint8_t *>(node->data)) : 0;
  mib_list_node *at = rows_->at(position);
  if (at == nullptr) return false;
  const RowKey key = row_key_of(spec_.def, static_cast<const uint8_t *>(at->data));
  if ((named && wanted != key) || !rows_->remove(key)) return false;
  if (removed != nullptr) *removed = key;
  return true;
}

}  // namespace igd1::mib
