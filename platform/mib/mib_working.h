// Working copies of rows that the configuration library keeps for its callers
// across calls, over a table of the accessor (mib_table.h):
//
// - WorkingRecords: one working record per row, written item by item and then
//   committed, with two snapshots of its own, one taken before a single
//   write and one before a write of several values, so that restoring the
//   one never loses the other (backup -> apply -> commit, or restore).
// - RowHandles: a caller holds a copy of one row by a handle (create, read,
//   write, commit, release).  A handle is a number that is never given out
//   twice, so a released handle is refused, also once its memory is reused.
//
// Both answer one call at a time per table (a mutex each); what they hand out
// stays valid until the same row's commit, restore or release.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "mib_table.h"

namespace igd1::mib {

enum class Snapshot { Single, Multi };

class WorkingRecords {
 public:
  explicit WorkingRecords(Table &table) : table_(table) {}

  // Snapshots the working record of the row at `position` (made from the
  // stored row when there is none).  False when there is no such row.
  bool backup(Snapshot which, uint32_t position);
  // The working record of the row at `position`, or nullptr when no backup
  // opened one.
  uint8_t *record(uint32_t position);
  // Writes one item into the working record; `changed` tells whether the
  // record differs afterwards.
  bool set(uint32_t position, int item, const void *value, bool *changed);
  // Puts the snapshot back as the working record and drops it; the other
  // snapshot stays.  False when there is no such snapshot.
  bool restore(Snapshot which, uint32_t position);
  // Stores the working record.  Either way the row's working record and
  // snapshots end, so that a refused record never reaches a later commit.
  // Null once stored, otherwise the reason.
  const char *commit(uint32_t position);

 private:
  struct Working {
    RowKey key;
    std::vector<uint8_t> record;
    std::optional<std::vector<uint8_t>> snapshots[2];
  };
  Working *working(uint32_t position);

  Table &table_;
  std::mutex mutex_;
  std::map<uint32_t, Working> rows_;  // by position
};

// A row handle as callers hold it: opaque, never dereferenced.
using RowHandle = void *;

class RowHandles {
 public:
  explicit RowHandles(Table &table) : table_(table) {}

  // A handle on a copy of the row of `instance`, and its position; nullptr
  // when there is no such row.
  RowHandle create(uint32_t instance, uint32_t *position = nullptr);
  bool read(RowHandle handle, int item, void *output);
  bool write(RowHandle handle, int item, const void *value, bool *changed);
  // Stores the copy over the row at `position`; null once stored, otherwise
  // the reason.  The handle stays valid.
  const char *commit(RowHandle handle, uint32_t position);
  // Ends the handle; false when it was not a live handle.
  bool release(RowHandle handle);
  size_t live() const;

 private:
  std::vector<uint8_t> *copy_of(RowHandle handle);

  Table &table_;
  mutable std::mutex mutex_;
  uintptr_t next_ = 1;
  std::map<uintptr_t, std::vector<uint8_t>> copies_;
};

}  // namespace igd1::mib
