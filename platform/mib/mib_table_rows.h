// The row list of a record table that a file of the configuration library
// serves: the table is registered with the store on first use, which the
// file triggers at load time so that the table exists from the first open.
#pragma once

#include "mib_rowlist.h"
#include "mib_store.h"

namespace igd1::mib {

template <const TableDef &Table>
RowList &table_rows_of() {
  static RowList *list = [] {
    register_table(Table);
    return new RowList(*find_table(Table.name));
  }();
  return *list;
}

}  // namespace igd1::mib
