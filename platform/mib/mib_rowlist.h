// The rows of one record table as the configuration library hands them to
// modules: a chain of mib_list_node, in instance order, kept in memory and
// re-read whenever the table may have changed: at once after a write through
// this process, within a millisecond after a commit by another process (the
// check for those costs a database lock, so it is made at most once per
// millisecond: a bus request that reads every row pays it once).
//
// A module may write a changed record over a node's data; the owner of the
// table stores it with store().  Nodes are rebuilt by every re-read, so a
// module holds a node only within one call, as the table functions promise.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "mib_api.h"
#include "mib_store.h"

namespace igd1::mib {

class RowList {
 public:
  explicit RowList(const TableDef &table) : table_(table) {}
  RowList(const RowList &) = delete;
  RowList &operator=(const RowList &) = delete;

  const TableDef &table() const { return table_; }

  // Re-reads every row from the store.
  void reload();
  // The first node, or nullptr for an empty table.
  mib_list_node *head();
  size_t size();
  // The node at zero-based `position`, or nullptr.
  mib_list_node *at(size_t position);
  // The node of `instance` and its position; nullptr when no row has it.
  mib_list_node *find(unsigned instance, uint32_t *position = nullptr);

  // Inserts `row` under the lowest free instance number (written to byte 0).
  bool insert(uint8_t *row);
  // Stores `row` over the row with the same instance number (byte 0).
  bool store(const uint8_t *row);
  bool remove(unsigned instance);

 private:
  void refresh_if_stale();
  // True when the copy holds every write this process made to the table;
  // the process's own writes then update it in place.
  bool is_current() const;
  void rebuild_chain();

  const TableDef &table_;
  std::vector<std::vector<uint8_t>> rows_;
  std::vector<mib_list_node> nodes_;
  // Position of each instance number's row, -1 when there is none.
  std::array<int16_t, 256> positions_;
  uint64_t write_count_ = 0;
  int64_t data_version_ = 0;
  std::chrono::steady_clock::time_point version_checked_;
  bool loaded_ = false;
};

}  // namespace igd1::mib
