#include "mib_rowlist.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>

#include "mib_internal.h"

namespace igd1::mib {

namespace {

// How often a list asks the database whether a writer that bypasses the
// store's commit counters changed it.
constexpr auto kDataVersionInterval = std::chrono::milliseconds(250);

std::atomic<uint64_t> g_next_list_id{1};

// Chains `count` new nodes, the i-th holding `data(i)`.
template <typename Data>
void chain(std::vector<mib_list_node> &nodes, size_t count, Data data) {
  nodes.assign(count, mib_list_node{});
  for (size_t i = 0; i < count; ++i) {
    nodes[i].data = data(i);
    nodes[i].prev = i > 0 ? &nodes[i - 1] : nullptr;
    nodes[i].next = i + 1 < count ? &nodes[i + 1] : nullptr;
  }
}

}  // namespace

struct RowList::View {
  uint64_t layout = 0;  // the cache's layout version copied, 0: none
  uint64_t content = 0;  // the cache's next row version when last caught up
  std::vector<uint64_t> versions;
  std::vector<uint8_t> bytes;  // the rows, back to back (copied from the cache)
  std::vector<std::vector<uint8_t>> held;  // large rows read for this thread
  std::vector<mib_list_node> nodes;
};

RowList::RowList(const TableDef &table)
    : table_(table), id_(g_next_list_id.fetch_add(1)), caches_rows_(table.row_size < kLargeRowSize) {}

RowList::View &RowList::view() {
  // Lists live as long as the process; a view is keyed by the list's id so
  // that a thread never mistakes one list's view for another's.
  thread_local std::unordered_map<uint64_t, std::unique_ptr<View>> views;
  std::unique_ptr<View> &slot = views[id_];
  if (!slot) slot = std::make_unique<View>();
  return *slot;
}

void RowList::forget_view() {
  View &v = view();
  v.held.clear();
  v.held.shrink_to_fit();
  v.nodes.clear();
}

mib_list_node *RowList::hand_out(std::vector<std::vector<uint8_t>> rows) {
  View &v = view();
  v.held = std::move(rows);
  chain(v.nodes, v.held.size(), [&v](size_t i) { return v.held[i].data(); });
  return v.nodes.empty() ? nullptr : &v.nodes[0];
}

mib_list_node *RowList::read_row(RowKey key) {
  // What the thread held goes first: two large rows need not meet in memory.
  forget_view();
  std::optional<std::vector<uint8_t>> row = table_row(table_, key);
  if (!row) return nullptr;
  std::vector<std::vector<uint8_t>> rows;
  rows.push_back(std::move(*row));
  return hand_out(std::move(rows));
}

mib_list_node *RowList::sync(size_t position) {
  View &v = view();
  const size_t size = table_.row_size;
  size_t fresh = position;
  if (v.layout != layout_version_) {
    v.layout = layout_version_;
    v.bytes.assign(rows_.size() * size, 0);
    v.versions.assign(rows_.size(), 0);
    chain(v.nodes, rows_.size(), [&v, size](size_t i) { return v.bytes.data() + i * size; });
    fresh = kAllRows;
  }
  if (fresh != kAllRows && v.content == next_row_version_) {
    // No row of the cache changed since this view last caught up: only the
    // row asked for is copied again, since its caller may have written over
    // it.  Keeps a look-up constant in the size of the table.
    std::memcpy(v.bytes.data() + fresh * size, rows_[fresh]->data(), size);
    return &v.nodes[fresh];
  }
  for (size_t i = 0; i < rows_.size(); ++i) {
    if (fresh == kAllRows || fresh == i || v.versions[i] != row_versions_[i]) {
      std::memcpy(v.bytes.data() + i * size, rows_[i]->data(), size);
      v.versions[i] = row_versions_[i];
    }
  }
  v.content = next_row_version_;
  return v.nodes.empty() ? nullptr : &v.nodes[position == kAllRows ? 0 : position];
}

void RowList::reload() {
  auto lock = detail::lock_store();
  // Counters first: a commit between them and the read shows next time.
  commit_count_ = table_commit_count(table_);
  write_count_ = table_write_count(table_);
  data_version_ = data_version();
  version_checked_ = std::chrono::steady_clock::now();
  rows_.clear();
  if (caches_rows_) {
    keys_.clear();
    for (std::vector<uint8_t> &row : table_rows(table_)) {
      keys_.push_back(row_key_of(table_, row.data()));
      rows_.push_back(std::make_shared<const std::vector<uint8_t>>(std::move(row)));
    }
  } else {
    keys_ = table_keys(table_);
  }
  row_versions_.assign(rows_.size(), next_row_version_++);
  loaded_ = true;
  ++layout_version_;
}

bool RowList::is_current() const {
  return loaded_ && table_write_count(table_) == write_count_ &&
         table_commit_count(table_) == commit_count_;
}

void RowList::refresh_if_stale() {
  if (!is_current()) return reload();
  auto now = std::chrono::steady_clock::now();
  if (now - version_checked_ < kDataVersionInterval) return;
  version_checked_ = now;
  if (data_version() != data_version_) reload();
}

long RowList::position_of(RowKey key) const {
  auto found = std::lower_bound(keys_.begin(), keys_.end(), key);
  if (found == keys_.end() || *found != key) return -1;
  return found - keys_.begin();
}

mib_list_node *RowList::head() {
  auto lock = detail::lock_store();
  refresh_if_stale();
  if (!caches_rows_) {
    forget_view();
    return hand_out(table_rows(table_));
  }
  return sync(kAllRows);
}

size_t RowList::size() {
  auto lock = detail::lock_store();
  refresh_if_stale();
  return keys_.size();
}

mib_list_node *RowList::at(size_t position) {
  auto lock = detail::lock_store();
  refresh_if_stale();
  if (position >= keys_.size()) return nullptr;
  if (!caches_rows_) return read_row(keys_[position]);
  return sync(position);
}

mib_list_node *RowList::find(RowKey key, uint32_t *position) {
  auto lock = detail::lock_store();
  refresh_if_stale();
  long found = position_of(key);
  if (found < 0) return nullptr;
  if (position != nullptr) *position = static_cast<uint32_t>(found);
  if (!caches_rows_) return read_row(key);
  return sync(static_cast<size_t>(found));
}

void RowList::on_transaction_end(void *self, bool committed, uint64_t counter_before) {
  auto *list = static_cast<RowList *>(self);
  // The cache took the transaction's writes as they were made: it is right
  // when they stand and nobody else committed to the table since it looked.
  if (committed && list->loaded_ && counter_before == list->commit_count_) {
    list->commit_count_ = counter_before + 1;
  } else {
    list->loaded_ = false;
  }
}

void RowList::wrote(bool was_current) {
  // A write is a call into the table: the large rows this thread was handed
  // go, rather than stay beside the copy the caller wrote.
  if (!caches_rows_) forget_view();
  if (was_current) {
    write_count_ = table_write_count(table_);
  } else {
    loaded_ = false;
  }
  detail::on_transaction_end(this, table_, &RowList::on_transaction_end, this);
}

bool RowList::insert(uint8_t *row) { return add(row, row); }

bool RowList::insert_at(const uint8_t *row) { return add(nullptr, row); }

template <typename Write>
bool RowList::write(Write write) {
  auto lock = detail::lock_store();
  if (!begin_transaction()) return false;
  const bool current = is_current();
  if (!write(current)) {
    rollback_transaction();
    return false;
  }
  wrote(current);
  return commit_transaction();
}

bool RowList::add(uint8_t *numbered, const uint8_t *row) {
  return row != nullptr && write([&](bool current) {
    std::vector<uint8_t> stored;
    std::vector<uint8_t> *kept = caches_rows_ ? &stored : nullptr;
    const bool added = numbered != nullptr ? table_insert(table_, numbered, kept)
                                           : table_insert_at(table_, row, kept);
    if (!added || !current) return added;
    // The insert wrote the number it chose into `numbered`.
    const RowKey key = row_key_of(table_, numbered != nullptr ? numbered : row);
    const size_t at = size_t(std::upper_bound(keys_.begin(), keys_.end(), key) - keys_.begin());
    keys_.insert(keys_.begin() + long(at), key);
    if (caches_rows_) {
      row_versions_.insert(row_versions_.begin() + long(at), next_row_version_++);
      rows_.insert(rows_.begin() + long(at), std::make_shared<const std::vector<uint8_t>>(std::move(stored)));
    }
    ++layout_version_;
    return true;
  });
}

bool RowList::store(const uint8_t *row) {
  return row != nullptr && write([&](bool current) {
    std::vector<uint8_t> stored;
    if (!table_update(table_, row, caches_rows_ ? &stored : nullptr)) return false;
    long position = current && caches_rows_ ? position_of(row_key_of(table_, row)) : -1;
    if (position >= 0) {
      rows_[static_cast<size_t>(position)] =
          std::make_shared<const std::vector<uint8_t>>(std::move(stored));
      row_versions_[static_cast<size_t>(position)] = next_row_version_++;
    }
    return true;
  });
}

bool RowList::remove(RowKey key) {
  return write([&](bool current) {
    if (!table_remove(table_, key)) return false;
    long position = current ? position_of(key) : -1;
    if (position >= 0) {
      keys_.erase(keys_.begin() + position);
      if (caches_rows_) {
        rows_.erase(rows_.begin() + position);
        row_versions_.erase(row_versions_.begin() + position);
      }
      ++layout_version_;
    }
    return true;
  });
}

}  // namespace igd1::mib
