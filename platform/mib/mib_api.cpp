// The C functions of the configuration library that the module library calls.
#include "mib_api.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "mib_internal.h"
#include "mib_store.h"

namespace {

// Accessor name under which mib_get and mib_get_s can be made to fail; the
// index is the entry id.
constexpr char kGetAccessor[] = "mib_get";

// Reads the setting of entry `id` into `buffer` when its value fits `room` bytes.
int read_entry(int id, void *buffer, size_t room) {
  if (buffer == nullptr || igd1::mib::should_fail(kGetAccessor, id)) return 0;
  const igd1::mib::Item *item = igd1::mib::find_entry(id);
  return item != nullptr && room >= item->size && igd1::mib::read_item(*item, buffer) ? 1 : 0;
}

}  // namespace

// A change bit may first apply its data (store a changed row); services learn
// about changes from the journal, so a notice is accepted once it is recorded
// there.  What it applies and its journal entry are one commit (or part of
// the caller's transaction): both stand or neither does.
int dbus_mib_update_cfg(uint32_t module_bit, void *data, int action) {
  using namespace igd1::mib::detail;
  const bool recorded = igd1::mib::store_is_open() && igd1::mib::run_in_transaction([&] {
    return apply_notice(module_bit, data, action) &&
           append_journal_entry(module_bit, action, notice_text(module_bit, data));
  });
  return recorded ? 1 : 0;
}

void mib_watch_setting_reads(mib_setting_seen seen, void *data) {
  if (seen == nullptr) {
    igd1::mib::watch_setting_reads(nullptr, nullptr);
    return;
  }
  // The C callback takes a terminated name; the store hands a view.
  struct Watch {
    mib_setting_seen seen;
    void *data;
  };
  thread_local Watch watch;
  watch = {seen, data};
  igd1::mib::watch_setting_reads(
      [](std::string_view name, void *held) {
        const auto *w = static_cast<const Watch *>(held);
        const std::string terminated(name);
        w->seen(terminated.c_str(), w->data);
      },
      &watch);
}

int mib_put_setting_text(const char *name, const char *text) {
  if (name == nullptr || text == nullptr) return 0;
  return igd1::mib::set_setting(name, text) ? 1 : 0;
}

char *mib_setting_text(const char *name) {
  if (name == nullptr) return nullptr;
  const std::optional<std::string> text = igd1::mib::get_setting(name);
  return text ? strdup(text->c_str()) : nullptr;
}

int mib_put_cell_text(const char *table, uint64_t key, const char *column, const char *text) {
  if (table == nullptr || column == nullptr || text == nullptr) return 0;
  return igd1::mib::set_cell(table, key, column, text) ? 1 : 0;
}

char *mib_cell_text(const char *table, uint64_t key, const char *column) {
  if (table == nullptr || column == nullptr) return nullptr;
  const std::optional<std::string> text = igd1::mib::get_cell(table, key, column);
  return text ? strdup(text->c_str()) : nullptr;
}

int mib_transaction_begin(void) { return igd1::mib::begin_transaction() ? 1 : 0; }
int mib_transaction_commit(void) { return igd1::mib::commit_transaction() ? 1 : 0; }
void mib_transaction_rollback(void) { igd1::mib::rollback_transaction(); }

namespace {

const char *failure_text(std::optional<std::string> failure) {
  thread_local std::string text;
  if (!failure) return nullptr;
  text = std::move(*failure);
  return text.c_str();
}

}  // namespace

const char *mib_store_failure(void) { return failure_text(igd1::mib::serving_failure(true)); }
const char *mib_store_damage(void) { return failure_text(igd1::mib::serving_failure(false)); }

int mib_get(int id, void *buffer) { return read_entry(id, buffer, SIZE_MAX); }

int mib_get_s(int id, void *buffer, int size) {
  return size < 0 ? 0 : read_entry(id, buffer, static_cast<size_t>(size));
}

// Every write is committed to the database when it is made, so there is no
// pending value to save.  What remains is to fold the write-ahead log back
// into the database file, which keeps the log from growing on flash; the
// checkpoint thread does that shortly, so the caller never waits for it.
int dbus_do_ExtraMIB2flash(void) { return igd1::mib::detail::checkpoint_store() ? 1 : 0; }
