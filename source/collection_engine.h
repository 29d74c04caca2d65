// What the units of the collection engine share among themselves: row
// look-up, the working copy of a write, the kept listing's invalidation and
// the pieces of publishing that listings read.  Modules include
// collection.h only.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "collection.h"
#include "tool.h"

namespace igd1 {

struct UnrefValue {
  void operator()(GVariant *value) const { g_variant_unref(value); }
};
using OwnedValue = std::unique_ptr<GVariant, UnrefValue>;
inline OwnedValue owned(GVariant *value) {
  return OwnedValue(value != nullptr ? g_variant_ref_sink(value) : nullptr);
}

// Log lines name the module's handler rather than the engine's function.
#define COLLECTION_LOG(level, function, ...) \
  sys_log(LOG_MODULE_DBUS, (level), LOG_CATEGORY_DEBUG, __FILE__, __LINE__, (function), __VA_ARGS__)

// ---- the skeleton type ----

// A new skeleton of the collection's type serving `info`.
GDBusInterfaceSkeleton *new_child_skeleton(const Collection &collection, GDBusInterfaceInfo *info);

// ---- rows ----

uint32_t instance_of(const RowModule &module, const void *row);
// The bytes a field takes in the record (0: an item, which is not in it).
size_t field_width(const RowProperty &property);
void set_instance(const RowModule &module, uint32_t instance, uint8_t *row);
mib_list_node *first_row(const mib_table_ops &table);
// The module's own hook where it has one, otherwise the table's.
template <typename Hook>
Hook own_or(Hook own, Hook table) {
  return own != nullptr ? own : table;
}

// Calls visit(row, index) for every row, in table order.  Rows of a table
// reached by position are copies that live for the call.
template <typename Visit>
void each_row(const RowModule &module, Visit visit) {
  const mib_table_ops &table = *module.table.store;
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
uint32_t outer_number(const RowModule &module, ChildKey instance);
uint32_t inner_number(const RowModule &module, ChildKey instance);
bool find_row(const RowModule &module, ChildKey instance, FoundRow *found);
// What a hook is told of a call on the child `instance` at `path`, whose
// row is at position `index`.
CallContext row_context(const RowModule &module, const char *path, ChildKey instance,
                        uint32_t index, CallKind kind, GError **error = nullptr);
// Whether the module wrote its own log line of `event` (RowTexts::log).
inline bool module_logged(const RowModule &module, const CallContext &call, RowEvent event,
                          const char *function) {
  return module.texts.log != nullptr && module.texts.log(call, event, function);
}
// Brings the live fields of a found row up to date before it is read.
void refresh_found(const RowModule &module, FoundRow *found);

// The position of the table's stand-in row, or -1.
int stand_in_position(const RowTable &table);
// Whether a change of `property` is announced now.
bool announces(const RowModule &module, const RowProperty &property);
// `text`, or `fallback` with the collection's noun.
std::string noun_text(const char *text, const char *fallback, const char *noun);

// The working copy of one write: a plain copy, or the table's backup.
class WorkingCopy {
 public:
  WorkingCopy(const RowModule &module, const void *row) : module_(module) {
    if (module.table.store->backup_entry != nullptr) {
      backup_ = static_cast<uint8_t *>(module.table.store->backup_entry(row));
    } else {
      plain_.assign(static_cast<const uint8_t *>(row),
                    static_cast<const uint8_t *>(row) + module.table.store->row_size);
    }
  }
  ~WorkingCopy() {
    if (backup_ != nullptr) module_.table.store->free_backup_entry(backup_);
  }
  WorkingCopy(const WorkingCopy &) = delete;
  WorkingCopy &operator=(const WorkingCopy &) = delete;
  uint8_t *data() { return backup_ != nullptr ? backup_ : (plain_.empty() ? nullptr : plain_.data()); }

 private:
  const RowModule &module_;
  std::vector<uint8_t> plain_;
  uint8_t *backup_ = nullptr;
};

// ---- publishing ----

// The documents of the children that follow the service type.
std::span<const InterfaceVariant> child_variants(const Collection &collection);
// Whether the child of `instance` carries the interface.
bool carries(const Collection &collection, ChildKey instance, const GDBusInterfaceInfo *info);
// Whether the engine registers the children itself (outside the manager's
// path, or with a document that follows the service type).
bool publishes_itself(const Collection &collection);
// The children's document for the current service type.
GDBusNodeInfo *current_node(const Collection &collection);

// ---- listings ----

// Every readable property of one interface of a child, as an a{sv} value.
GVariant *child_properties(const Collection &collection, GDBusConnection *connection,
                           const char *path, const GDBusInterfaceInfo *info, gpointer user_data);
// Drops the kept reply; returns the generation that a build started now
// must still find to be kept.
uint64_t drop_listing(ListingCache &cache);
// The table or its children changed here: the kept reply no longer holds.
void listing_changed(const RowCollection &rows);

}  // namespace igd1
