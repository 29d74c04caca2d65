// A table in memory with the configuration library's shape, for the test
// collections of the engine probes: rows of kMemoryRowSize bytes with the
// instance number in byte 0, kept sorted, and a commit that can be refused.
#pragma once

#include <glib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "collection.h"

namespace igd1::test {

inline constexpr size_t kMemoryRowSize = 32;

template <int Tag>
struct MemoryTable {
  static inline std::vector<std::vector<uint8_t>> rows;
  static inline std::vector<mib_list_node> nodes;
  static inline bool refuse_commit = false;

  static void relink() {
    std::sort(rows.begin(), rows.end());
    nodes.assign(rows.size(), mib_list_node{});
    for (size_t i = 0; i < rows.size(); ++i) {
      nodes[i].data = rows[i].data();
      nodes[i].prev = i > 0 ? &nodes[i - 1] : nullptr;
      nodes[i].next = i + 1 < rows.size() ? &nodes[i + 1] : nullptr;
    }
  }
  // The row carrying `instance`, or with 0 the first row, as the store answers.
  static mib_list_node *find(uint32_t instance, uint32_t *index) {
    if (instance == 0) {
      if (index != nullptr) *index = 0;
      return nodes.empty() ? nullptr : &nodes[0];
    }
    for (size_t i = 0; i < rows.size(); ++i) {
      if (rows[i][0] != instance) continue;
      if (index != nullptr) *index = uint32_t(i);
      return &nodes[i];
    }
    return nullptr;
  }
  // Self kind: the engine chose the number in byte 0.
  static int insert(void *row) {
    rows.emplace_back(static_cast<uint8_t *>(row), static_cast<uint8_t *>(row) + kMemoryRowSize);
    relink();
    return 1;
  }
  static int remove(uint32_t index, mib_list_node *) {
    if (index >= rows.size()) return 0;
    rows.erase(rows.begin() + index);
    relink();
    return 1;
  }
  // Takes a changed row, unless commits are refused.
  static int store(const void *data) {
    if (refuse_commit) return 0;
    const auto *row = static_cast<const uint8_t *>(data);
    for (auto &stored : rows)
      if (stored[0] == row[0]) std::memcpy(stored.data(), row, kMemoryRowSize);
    return 1;
  }
  static void clear() {
    rows.clear();
    relink();
    refuse_commit = false;
  }
  // The table's functions for a backup/update commit.
  static constexpr mib_table_ops kOps = {
      .row_size = kMemoryRowSize, .get_list_by_instnum = find,
      .insert_entry = insert, .remove_entry = remove,
      .backup_entry = [](const void *row) -> void * { return g_memdup2(row, kMemoryRowSize); },
      .free_backup_entry = g_free, .update_entry = store_copy<store>};
  static constexpr RowTable table() { return {.store = &kOps}; }
};

}  // namespace igd1::test
