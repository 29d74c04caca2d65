// The row list of a record table that a file of the configuration library
// serves: the table is registered with the store on first use, which the
// file triggers at load time so that the table exists from the first open.
#pragma once

#include <cstdlib>
#include <cstring>

#include "mib_rowlist.h"
#include "mib_store.h"

namespace igd1::mib {

// A working copy of a record that the caller releases with std::free.
inline void *copy_record(const void *row, size_t size) {
  void *copy = row != nullptr ? std::malloc(size) : nullptr;
  if (copy != nullptr) std::memcpy(copy, row, size);
  return copy;
}

// Removes the row at `position` when `node` (if given) is that row, by the
// one-byte instance number records start with.
inline bool remove_at(RowList &rows, uint32_t position, const mib_list_node *node) {
  mib_list_node *at = rows.at(position);
  if (at == nullptr || (node != nullptr && node->data != nullptr &&
                        static_cast<const uint8_t *>(node->data)[0] !=
                            static_cast<const uint8_t *>(at->data)[0]))
    return false;
  return rows.remove(static_cast<const uint8_t *>(at->data)[0]);
}

template <const TableDef &Table>
RowList &table_rows_of() {
  static RowList *list = [] {
    register_table(Table);
    return new RowList(*find_table(Table.name));
  }();
  return *list;
}

}  // namespace igd1::mib
