// The rows of one record table as the configuration library hands them to
// modules: a chain of mib_list_node, in instance order.
//
// The list keeps one copy of the table (the cache) and re-reads it when the
// table may have changed: at once after a write through this process, after
// a commit by another process that uses the store (its commit counter moved:
// one atomic load per call), and, as a safety net for writers that bypass the
// store, when the database's data version moved (checked at most every
// kDataVersionInterval).
//
// Nodes handed out are never the cache itself: each thread gets its own copy
// of the rows (its view), refreshed from the cache on each call.  A module may
// scribble over a node's record; the cache changes only through store(), and
// only once the database took the write, so a refused write leaves the cache
// equal to the database.  A node and its record stay valid until the same
// thread calls into the same table again; another thread's calls never move
// or free them.
//
// Tables whose rows are large (kLargeRowSize and up: lists of a megabyte)
// are not cached: the list keeps only their keys and reads a row from the
// database when it is asked for, into the calling thread's view, which holds
// the rows it was handed until that thread's next call into the table (a
// look-up of one row hands out that row alone, a node without neighbours).
// A few such rows would otherwise outweigh everything else the process keeps.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "mib_api.h"
#include "mib_store.h"

namespace igd1::mib {

class RowList {
 public:

  explicit RowList(const TableDef &table);
  RowList(const RowList &) = delete;
  RowList &operator=(const RowList &) = delete;

  const TableDef &table() const { return table_; }

  void reload();
  // The first node, or nullptr for an empty table.  Every node of the chain
  // holds the current record.
  mib_list_node *head();
  size_t size();
  // The node at zero-based `position`, or nullptr.
  mib_list_node *at(size_t position);
  // The node of the row with `key` and its position; nullptr when no row
  // has it.
  mib_list_node *find(RowKey key, uint32_t *position = nullptr);

  // Inserts `row` under the lowest free instance number (written into it).
  bool insert(uint8_t *row);
  // Inserts `row` under the key it carries (false when a row has it).
  bool insert_at(const uint8_t *row);
  // Stores `row` over the row with the same key.
  bool store(const uint8_t *row);
  bool remove(RowKey key);

 private:
  struct View;
  using Row = std::shared_ptr<const std::vector<uint8_t>>;
  View &view();
  // Lets go of the rows the calling thread was handed (large rows).
  void forget_view();
  // Hands the calling thread `rows` read from the database (large rows):
  // the first node, or nullptr when there are none.
  mib_list_node *hand_out(std::vector<std::vector<uint8_t>> rows);
  // The row with `key` read from the database for the calling thread.
  mib_list_node *read_row(RowKey key);
  // Brings the calling thread's view up to the cache and hands out its node
  // at `position`, whose row is copied again whatever its version; with
  // kAllRows every row is, and the first node (nullptr: none) comes back.
  static constexpr size_t kAllRows = SIZE_MAX;
  mib_list_node *sync(size_t position);
  void refresh_if_stale();
  bool is_current() const;
  // Position of the row with `key` among the keys, or -1.
  long position_of(RowKey key) const;
  // Runs `write(current)` (whether the cache was current before it) as one
  // transaction of the table, rolled back when it answers false.
  template <typename Write>
  bool write(Write write);
  // Inserts `row`: under the lowest free number written into `numbered`
  // (the same record), or with no `numbered` under the key `row` carries.
  bool add(uint8_t *numbered, const uint8_t *row);
  // After an own write: the cache now holds it (committed or not yet).
  void wrote(bool was_current);
  static void on_transaction_end(void *self, bool committed, uint64_t counter_before);

  const TableDef &table_;
  const uint64_t id_;
  std::vector<RowKey> keys_;               // every row's key, in instance order
  std::vector<Row> rows_;                  // the cache, in the same order (small rows)
  std::vector<uint64_t> row_versions_;     // changes with each change of a row
  uint64_t layout_version_ = 1;            // changes when rows come or go
  uint64_t next_row_version_ = 1;
  uint64_t write_count_ = 0;               // this process's writes seen
  uint64_t commit_count_ = 0;              // commit counter seen
  int64_t data_version_ = 0;
  std::chrono::steady_clock::time_point version_checked_;
  bool loaded_ = false;
  const bool caches_rows_;
};

}  // namespace igd1::mib
