#include "mib_rowlist.h"

#include <cstring>

namespace igd1::mib {

void RowList::reload() {
  generation_ = table_generation(table_);
  rows_ = table_rows(table_);
  loaded_ = true;
  rebuild_chain();
}

void RowList::refresh_if_stale() {
  if (!loaded_ || table_generation(table_) != generation_) reload();
}

void RowList::rebuild_chain() {
  nodes_.assign(rows_.size(), mib_list_node{});
  for (size_t i = 0; i < rows_.size(); ++i) {
    nodes_[i].data = rows_[i].data();
    nodes_[i].prev = i > 0 ? &nodes_[i - 1] : nullptr;
    nodes_[i].next = i + 1 < rows_.size() ? &nodes_[i + 1] : nullptr;
  }
}

mib_list_node *RowList::head() { return at(0); }

size_t RowList::size() {
  refresh_if_stale();
  return nodes_.size();
}

mib_list_node *RowList::at(size_t position) {
  refresh_if_stale();
  return position < nodes_.size() ? &nodes_[position] : nullptr;
}

mib_list_node *RowList::find(unsigned instance, uint32_t *position) {
  refresh_if_stale();
  for (size_t i = 0; i < rows_.size(); ++i) {
    if (rows_[i][0] != instance) continue;
    if (position != nullptr) *position = static_cast<uint32_t>(i);
    return &nodes_[i];
  }
  return nullptr;
}

bool RowList::insert(uint8_t *row) {
  bool ok = table_insert(table_, row);
  loaded_ = false;  // positions shift: read again on next use
  return ok;
}

bool RowList::store(const uint8_t *row) {
  bool current = loaded_ && table_generation(table_) == generation_;
  if (!table_update(table_, row)) return false;
  if (!current) {
    loaded_ = false;
    return true;
  }
  // Only our own write happened since the last read: patch the copy instead
  // of reading the whole table again.
  generation_ = table_generation(table_);
  for (std::vector<uint8_t> &stored : rows_) {
    if (stored[0] == row[0]) {
      std::memcpy(stored.data(), row, stored.size());
      break;
    }
  }
  return true;
}

bool RowList::remove(unsigned instance) {
  bool ok = table_remove(table_, instance);
  loaded_ = false;
  return ok;
}

}  // namespace igd1::mib
