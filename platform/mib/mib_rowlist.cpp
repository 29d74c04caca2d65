#include "mib_rowlist.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace igd1::mib {

namespace {
constexpr auto kVersionCheckInterval = std::chrono::milliseconds(1);
}

void RowList::reload() {
  write_count_ = table_write_count(table_);
  data_version_ = data_version();
  version_checked_ = std::chrono::steady_clock::now();
  rows_ = table_rows(table_);
  loaded_ = true;
  rebuild_chain();
}

void RowList::refresh_if_stale() {
  if (!loaded_ || table_write_count(table_) != write_count_) return reload();
  auto now = std::chrono::steady_clock::now();
  if (now - version_checked_ < kVersionCheckInterval) return;
  version_checked_ = now;
  if (data_version() != data_version_) reload();
}

void RowList::rebuild_chain() {
  positions_.fill(-1);
  for (size_t i = 0; i < rows_.size(); ++i) positions_[rows_[i][0]] = static_cast<int16_t>(i);
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
  if (instance >= positions_.size() || positions_[instance] < 0) return nullptr;
  if (position != nullptr) *position = static_cast<uint32_t>(positions_[instance]);
  return &nodes_[static_cast<size_t>(positions_[instance])];
}

bool RowList::insert(uint8_t *row) {
  bool current = is_current();
  if (!table_insert(table_, row)) return false;
  // The row listener may have read the table again already.
  if (is_current()) return true;
  std::optional<std::vector<uint8_t>> stored = current ? table_row(table_, row[0]) : std::nullopt;
  if (!stored) {
    loaded_ = false;
    return true;
  }
  // Only our own write happened since the last read: add the row in place
  // instead of reading the whole table again.
  write_count_ = table_write_count(table_);
  auto at = std::find_if(rows_.begin(), rows_.end(),
                         [&](const std::vector<uint8_t> &r) { return r[0] > row[0]; });
  rows_.insert(at, std::move(*stored));
  rebuild_chain();
  return true;
}

bool RowList::store(const uint8_t *row) {
  bool current = is_current();
  if (!table_update(table_, row)) return false;
  if (!current) {
    loaded_ = false;
    return true;
  }
  write_count_ = table_write_count(table_);
  for (std::vector<uint8_t> &stored : rows_) {
    if (stored[0] == row[0]) {
      std::memcpy(stored.data(), row, stored.size());
      break;
    }
  }
  return true;
}

bool RowList::remove(unsigned instance) {
  bool current = is_current();
  if (!table_remove(table_, instance)) return false;
  if (is_current()) return true;  // read again by the row listener
  if (!current) {
    loaded_ = false;
    return true;
  }
  write_count_ = table_write_count(table_);
  std::erase_if(rows_, [&](const std::vector<uint8_t> &r) { return r[0] == instance; });
  rebuild_chain();
  return true;
}

bool RowList::is_current() const {
  return loaded_ && table_write_count(table_) == write_count_;
}

}  // namespace igd1::mib
