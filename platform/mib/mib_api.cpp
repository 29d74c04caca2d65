// The C functions of the configuration library that the module library calls.
#include "mib_api.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "mib_internal.h"
#include "mib_store.h"

namespace {

// Accessor name under which mib_get and mib_get_s can be made to fail; the
// index is the entry id.
constexpr char kGetAccessor[] = "mib_get";

const igd1::mib::Item *readable_entry(int id) {
  if (igd1::mib::should_fail(kGetAccessor, id)) return nullptr;
  return igd1::mib::find_entry(id);
}

}  // namespace

// A change bit may first apply its data (store a changed row); services learn
// about changes from the journal, so a notice is accepted once it is recorded
// there.  What it applies and its journal entry are one commit (or part of
// the caller's transaction): both stand or neither does.
int dbus_mib_update_cfg(uint32_t module_bit, void *data, int action) {
  if (!igd1::mib::store_is_open() || !igd1::mib::begin_transaction()) return 0;
  if (!igd1::mib::detail::apply_notice(module_bit, data, action)) {
    igd1::mib::rollback_transaction();
    return 0;
  }
  std::string text = igd1::mib::detail::notice_text(module_bit, data);
  if (!igd1::mib::detail::append_journal_entry(module_bit, action, text)) {
    igd1::mib::rollback_transaction();
    return 0;
  }
  return igd1::mib::commit_transaction() ? 1 : 0;
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

int mib_get(int id, void *buffer) {
  if (buffer == nullptr) return 0;
  const igd1::mib::Item *item = readable_entry(id);
  if (item == nullptr) return 0;
  return igd1::mib::read_item(*item, buffer) ? 1 : 0;
}

int mib_get_s(int id, void *buffer, int size) {
  if (buffer == nullptr || size < 0) return 0;
  const igd1::mib::Item *item = readable_entry(id);
  if (item == nullptr || static_cast<size_t>(size) < item->size) return 0;
  return igd1::mib::read_item(*item, buffer) ? 1 : 0;
}

// Every write is committed to the database when it is made, so there is no
// pending value to save.  What remains is to fold the write-ahead log back
// into the database file, which keeps the log from growing on flash; the
// checkpoint thread does that shortly, so the caller never waits for it.
int dbus_do_ExtraMIB2flash(void) { return igd1::mib::detail::checkpoint_store() ? 1 : 0; }
