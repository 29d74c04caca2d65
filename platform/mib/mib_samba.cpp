// The Samba service: server settings and the table "sambaaccount".
//
// Server settings (index: setting, one byte each):
//   0  samba.Enable          any value, 0 off
//   1  samba.AllowAnonymous  0 or 1
//
// Account records, SAMBA_ACCOUNT_ROW_SIZE bytes:
//   offset  width  column     form
//   0       1      (instance) 1-SAMBA_ACCOUNT_MAX_ROWS
//   1       31     UserName   NUL-terminated text, at most 30 characters
//   32      31     Password   NUL-terminated text, at most 30 characters
//
// Rows are inserted and removed through this file only; the store calls the
// host back for each one (module "samba_account"), which exports or removes
// the row's bus object.  Applying the settings or a changed account records a
// notice under MIB_CFG_SAMBA; passwords never reach the journal.
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "mib_api.h"
#include "mib_internal.h"
#include "mib_store.h"
#include "mib_table_rows.h"

namespace {

using igd1::mib::Item;
using K = igd1::mib::ValueKind;

constexpr Item kServerItems[] = {
    {"samba.Enable", K::U8, 1},
    {"samba.AllowAnonymous", K::U8, 1},
};
constexpr int kAllowAnonymousIndex = 1;

constexpr size_t kTextSize = SAMBA_ACCOUNT_TEXT_MAX + 1;
constexpr size_t kFieldOffsets[] = {SAMBA_ACCOUNT_USERNAME_OFFSET, SAMBA_ACCOUNT_PASSWORD_OFFSET};

constexpr igd1::mib::Column kColumns[] = {
    {"UserName", K::Text, SAMBA_ACCOUNT_USERNAME_OFFSET, kTextSize},
    {"Password", K::Text, SAMBA_ACCOUNT_PASSWORD_OFFSET, kTextSize},
};
static_assert(SAMBA_ACCOUNT_PASSWORD_OFFSET + kTextSize == SAMBA_ACCOUNT_ROW_SIZE);

constexpr igd1::mib::TableDef kTable = {
    .name = "sambaaccount",
    .module = "samba_account",
    .row_size = SAMBA_ACCOUNT_ROW_SIZE,
    .columns = kColumns,
    .column_count = std::size(kColumns),
    .max_rows = SAMBA_ACCOUNT_MAX_ROWS,
};

igd1::mib::RowList &rows() { return igd1::mib::table_rows_of<kTable>(); }

// The table exists from the first open of the store on.
[[maybe_unused]] const bool kRegistered = (rows(), true);

bool fails(const char *accessor, int index = 0) { return igd1::mib::should_fail(accessor, index); }

const char *field(const void *row, int index) {
  return static_cast<const char *>(row) + kFieldOffsets[index];
}

bool field_index_ok(int index) { return index >= 0 && size_t(index) < std::size(kFieldOffsets); }

bool terminated(const char *text) { return strnlen(text, kTextSize) < kTextSize; }

std::string server_text() {
  uint8_t enable = 0;
  uint8_t anonymous = 0;
  igd1::mib::read_item(kServerItems[0], &enable);
  igd1::mib::read_item(kServerItems[kAllowAnonymousIndex], &anonymous);
  return "Enable=" + std::to_string(enable) + " AllowAnonymous=" + std::to_string(anonymous);
}

// Why the last update_entry on this thread was refused.
thread_local std::string t_reason;

int refuse(const char **reason, std::string text) {
  t_reason = std::move(text);
  if (reason != nullptr) *reason = t_reason.c_str();
  return 0;
}

}  // namespace

int sambaserverinfo_get_progerty(int index, void *buffer) {
  if (buffer == nullptr) return 0;
  return igd1::mib::read_indexed("sambaserverinfo_get_progerty", kServerItems,
                                 std::size(kServerItems), index, buffer)
             ? 1
             : 0;
}

int sambaserverinfo_set_progerty(int index, void *value) {
  if (value == nullptr || index < 0 || size_t(index) >= std::size(kServerItems)) return 0;
  if (fails("sambaserverinfo_set_progerty", index)) return 0;
  const uint8_t wanted = *static_cast<const uint8_t *>(value);
  if (index == kAllowAnonymousIndex && wanted > 1) return 0;
  uint8_t current = 0;
  if (igd1::mib::read_item(kServerItems[index], &current) && current == wanted) return 2;
  return igd1::mib::write_item(kServerItems[index], &wanted) ? 1 : 0;
}

int sambaserverinfo_set_property_update(void) {
  if (fails("sambaserverinfo_set_property_update")) return 0;
  return igd1::mib::detail::append_journal_entry(MIB_CFG_SAMBA, MIB_ACTION_APPLY, server_text())
             ? 1
             : 0;
}

int sambaserver_update_all(void) {
  if (fails("sambaserver_update_all")) return 0;
  rows().reload();
  return igd1::mib::detail::append_journal_entry(
             MIB_CFG_SAMBA, MIB_ACTION_APPLY,
             server_text() + " accounts=" + std::to_string(rows().size()))
             ? 1
             : 0;
}

int sambaAccount_update_all(void) {
  if (fails("sambaAccount_update_all")) return 0;
  rows().reload();
  return 1;
}

mib_list_node *sambaAccount_get_list(int) {
  if (fails("sambaAccount_get_list")) return nullptr;
  return rows().head();
}

uint32_t sambaAccount_get_instnum(void) {
  uint32_t instance = 1;
  // Rows come in instance order: the first gap is the lowest free number.
  for (mib_list_node *node = rows().head(); node != nullptr; node = node->next) {
    if (static_cast<const uint8_t *>(node->data)[0] != instance) break;
    ++instance;
  }
  return instance <= SAMBA_ACCOUNT_MAX_ROWS ? instance : 0;
}

mib_list_node *sambaAccount_get_list_by_instnum(uint32_t instance, uint32_t *index) {
  if (fails("sambaAccount_get_list_by_instnum")) return nullptr;
  return rows().find(instance, index);
}

uint32_t sambaAccount_insert_entry(const void *row) {
  if (fails("sambaAccount_insert_entry")) return 0;
  uint8_t record[SAMBA_ACCOUNT_ROW_SIZE] = {};
  if (row != nullptr) {
    std::memcpy(record, row, sizeof record);
    if (!terminated(field(record, 0)) || !terminated(field(record, 1))) return 0;
  }
  return rows().insert(record) ? record[0] : 0;
}

int sambaAccount_remove_entry(uint32_t index, mib_list_node *node) {
  if (fails("sambaAccount_remove_entry")) return 0;
  mib_list_node *at = rows().at(index);
  if (at == nullptr) return 0;
  const uint8_t instance = static_cast<const uint8_t *>(at->data)[0];
  if (node != nullptr && node->data != nullptr &&
      static_cast<const uint8_t *>(node->data)[0] != instance)
    return 0;
  return rows().remove(instance) ? 1 : 0;
}

int sambaAccount_get_mib_property(int index, void *buffer, const void *row) {
  if (buffer == nullptr || row == nullptr || !field_index_ok(index)) return 0;
  if (fails("sambaAccount_get_mib_property", index)) return 0;
  const char *text = field(row, index);
  if (!terminated(text)) return 0;
  std::memcpy(buffer, text, std::strlen(text) + 1);
  return 1;
}

int sambaAccount_set_mib_property(int index, const void *value, void *row) {
  if (value == nullptr || row == nullptr || !field_index_ok(index)) return 0;
  if (fails("sambaAccount_set_mib_property", index)) return 0;
  const auto *text = static_cast<const char *>(value);
  const size_t length = strnlen(text, kTextSize);
  if (length > SAMBA_ACCOUNT_TEXT_MAX) return 0;
  char *target = static_cast<char *>(row) + kFieldOffsets[index];
  std::memset(target, 0, kTextSize);
  std::memcpy(target, text, length);
  return 1;
}

void *sambaAccount_backup_entry(const void *row) {
  if (row == nullptr || fails("sambaAccount_backup_entry")) return nullptr;
  void *copy = std::malloc(SAMBA_ACCOUNT_ROW_SIZE);
  if (copy != nullptr) std::memcpy(copy, row, SAMBA_ACCOUNT_ROW_SIZE);
  return copy;
}

void sambaAccount_free_backup_entry(void *copy) { std::free(copy); }

int sambaAccount_update_entry(const void *row, uint32_t index, const char **reason, int) {
  if (reason != nullptr) *reason = nullptr;
  if (row == nullptr) return refuse(reason, "no account given");
  if (fails("sambaAccount_update_entry")) return refuse(reason, "store refused the account");
  const auto *record = static_cast<const uint8_t *>(row);
  mib_list_node *at = rows().at(index);
  if (at == nullptr || static_cast<const uint8_t *>(at->data)[0] != record[0])
    return refuse(reason, "account " + std::to_string(record[0]) + " does not exist");
  const char *user = field(record, 0);
  if (!terminated(user) || !terminated(field(record, 1)))
    return refuse(reason, "user name or password too long");
  if (user[0] != '\0') {
    for (mib_list_node *node = rows().head(); node != nullptr; node = node->next) {
      const auto *other = static_cast<const uint8_t *>(node->data);
      if (other[0] != record[0] && std::strcmp(field(other, 0), user) == 0)
        return refuse(reason, "user name " + std::string(user) + " is taken by account " +
                                  std::to_string(other[0]));
    }
  }
  if (!rows().store(record)) return refuse(reason, "store refused the account");
  igd1::mib::detail::append_journal_entry(
      MIB_CFG_SAMBA, int(index),
      igd1::mib::one_line("inst=" + std::to_string(record[0]) + " user=" + user));
  return 1;
}

int sambaAccount_save_mib(void) {
  if (fails("sambaAccount_save_mib")) return 0;
  return dbus_do_ExtraMIB2flash();
}
