#include "mib_working.h"

namespace igd1::mib {

namespace {

// Applies one item to `record` through the table's checks.
bool set_item(const Table &table, std::vector<uint8_t> &record, int item, const void *value,
              bool *changed) {
  const std::vector<uint8_t> before = record;
  if (!table.set(item, value, record.data())) return false;
  if (changed != nullptr) *changed = record != before;
  return true;
}

}  // namespace

// ---- working records ---------------------------------------------------------------

WorkingRecords::Working *WorkingRecords::working(uint32_t position) {
  auto found = rows_.find(position);
  return found != rows_.end() ? &found->second : nullptr;
}

bool WorkingRecords::backup(Snapshot which, uint32_t position) {
  std::lock_guard lock(mutex_);
  mib_list_node *node = table_.rows().at(position);
  if (node == nullptr) return false;
  const auto *stored = static_cast<const uint8_t *>(node->data);
  const RowKey key = row_key_of(table_.spec().def, stored);
  Working *w = working(position);
  // A working record of a row that has since moved away is stale, and so is
  // one that no snapshot holds open any more (its write was restored): the
  // row may have changed since.
  if (w == nullptr || w->key != key || (!w->snapshots[0] && !w->snapshots[1])) {
    w = &(rows_[position] = Working{key, {stored, stored + table_.spec().def.row_size}, {}});
  }
  w->snapshots[size_t(which)] = w->record;
  return true;
}

uint8_t *WorkingRecords::record(uint32_t position) {
  std::lock_guard lock(mutex_);
  Working *w = working(position);
  return w != nullptr ? w->record.data() : nullptr;
}

bool WorkingRecords::set(uint32_t position, int item, const void *value, bool *changed) {
  std::lock_guard lock(mutex_);
  Working *w = working(position);
  return w != nullptr && set_item(table_, w->record, item, value, changed);
}

bool WorkingRecords::restore(Snapshot which, uint32_t position) {
  std::lock_guard lock(mutex_);
  Working *w = working(position);
  if (w == nullptr || !w->snapshots[size_t(which)]) return false;
  w->record = std::move(*w->snapshots[size_t(which)]);
  w->snapshots[size_t(which)].reset();
  return true;
}

const char *WorkingRecords::commit(uint32_t position) {
  std::lock_guard lock(mutex_);
  Working *w = working(position);
  if (w == nullptr) return "no working record";
  const char *reason = table_.update_at(w->record.data(), position);
  rows_.erase(position);
  return reason;
}

// ---- row handles -------------------------------------------------------------------

std::vector<uint8_t> *RowHandles::copy_of(RowHandle handle) {
  auto found = copies_.find(reinterpret_cast<uintptr_t>(handle));
  return found != copies_.end() ? &found->second : nullptr;
}

RowHandle RowHandles::create(uint32_t instance, uint32_t *position) {
  if (instance == 0) return nullptr;
  std::lock_guard lock(mutex_);
  mib_list_node *node = table_.find(instance, position);
  if (node == nullptr) return nullptr;
  const auto *row = static_cast<const uint8_t *>(node->data);
  const uintptr_t id = next_++;
  copies_.emplace(id, std::vector<uint8_t>(row, row + table_.spec().def.row_size));
  return reinterpret_cast<RowHandle>(id);
}

bool RowHandles::read(RowHandle handle, int item, void *output) {
  std::lock_guard lock(mutex_);
  const std::vector<uint8_t> *copy = copy_of(handle);
  return copy != nullptr && table_.get(item, output, copy->data());
}

bool RowHandles::write(RowHandle handle, int item, const void *value, bool *changed) {
  std::lock_guard lock(mutex_);
  std::vector<uint8_t> *copy = copy_of(handle);
  return copy != nullptr && set_item(table_, *copy, item, value, changed);
}

const char *RowHandles::commit(RowHandle handle, uint32_t position) {
  std::lock_guard lock(mutex_);
  std::vector<uint8_t> *copy = copy_of(handle);
  return copy != nullptr ? table_.update_at(copy->data(), position) : "released row handle";
}

bool RowHandles::release(RowHandle handle) {
  std::lock_guard lock(mutex_);
  return copies_.erase(reinterpret_cast<uintptr_t>(handle)) > 0;
}

size_t RowHandles::live() const {
  std::lock_guard lock(mutex_);
  return copies_.size();
}

}  // namespace igd1::mib
