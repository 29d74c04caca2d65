// Values written into the configuration store from outside the bus (by
// igd1-mib) checked as a bus write of the property that stores them would
// be: both ways of changing the store refuse the same values with the same
// texts.  Nothing is stored, announced or applied by a check; the store
// writes a checked property's writer makes are rolled back.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "igd1_export.h"

// One changed cell of a table row.
typedef struct {
  const char *table;      // the table, e.g. "portmapping"
  const char *column;     // the column, e.g. "ExternalPort"
  const char *module;     // the module the table reports its rows to, or null
  const void *row;        // the row as stored
  const void *candidate;  // the same row with the new value in the column
  size_t row_size;        // bytes of both
  size_t offset;          // the column's first byte in the row
  size_t size;            // the column's bytes
  uint32_t parent;        // a nested row: the instance number of its parent row (else 0)
  uint32_t instance;      // the row's instance number
  uint32_t position;      // the row's position in its table (key order)
  const char *value;      // the new value as the store holds it
} igd1_cell_change;

// Checks `value`, in the form the store holds it, for the setting `key`
// against every writable property of a single object whose read depends
// on that setting, each taking it as a bus write of its own type.  Returns
// 1 when all of them accept it (and when no property reads the setting);
// 0 when one refuses it, with the message a bus client would get in
// `error` (`size` bytes with the terminator; a longer message is cut).
IGD1_API int igd1_check_setting(const char *key, const char *value, char *error, size_t size);

// The same for a table cell: the writable properties of the module's rows
// whose field holds the column's first byte or whose item reads otherwise
// with the new value (in a nested row too), and the writable properties of
// single objects, each instance of a declaration registered per instance
// included, that read otherwise with the new value in the store; each takes
// the value it reads with the new value (or, where it reads as none, the
// value's text).
IGD1_API int igd1_check_cell(const igd1_cell_change *change, char *error, size_t size);
