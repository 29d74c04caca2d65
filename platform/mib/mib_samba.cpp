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
#include <cstring>
#include <iterator>
#include <string>

#include "mib_api.h"
#include "mib_internal.h"
#include "mib_store.h"
#include "mib_table.h"

namespace {

using igd1::mib::Item;
using K = igd1::mib::ValueKind;

constexpr Item kServerItems[] = {
    {"samba.Enable", K::U8, 1, "1"},
    {"samba.AllowAnonymous", K::U8, 1, "0", igd1::mib::within<uint8_t, 0, 1>},
};
const igd1::mib::Defaults kServerItemsDefaults(kServerItems);
constexpr int kAllowAnonymousIndex = 1;

constexpr size_t kTextSize = SAMBA_ACCOUNT_TEXT_MAX + 1;

constexpr igd1::mib::Column kColumns[] = {
    {"UserName", K::Text, SAMBA_ACCOUNT_USERNAME_OFFSET, kTextSize},
    {"Password", K::Text, SAMBA_ACCOUNT_PASSWORD_OFFSET, kTextSize},
};
static_assert(SAMBA_ACCOUNT_PASSWORD_OFFSET + kTextSize == SAMBA_ACCOUNT_ROW_SIZE);

constexpr igd1::mib::TableItem kItems[] = {{.column = 0}, {.column = 1}};

constexpr igd1::mib::TableSpec kSpec = {
    .def = igd1::mib::record_table("sambaaccount", "samba_account", SAMBA_ACCOUNT_ROW_SIZE, kColumns,
                                   SAMBA_ACCOUNT_MAX_ROWS),
    .prefix = "sambaAccount",
    .items = kItems,
};
igd1::mib::Table g_table(kSpec);

bool fails(const char *accessor, int index = 0) { return igd1::mib::should_fail(accessor, index); }

const char *field(const void *row, int index) {
  return static_cast<const char *>(row) + kColumns[index].offset;
}

std::string server_text() {
  const auto setting = [](int index) {
    return std::to_string(igd1::mib::read_number<uint8_t>(kServerItems[index]).value_or(0));
  };
  return "Enable=" + setting(0) + " AllowAnonymous=" + setting(kAllowAnonymousIndex);
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
  return igd1::mib::read_at("sambaserverinfo_get_progerty", kServerItems, index, buffer) ? 1 : 0;
}

int sambaserverinfo_set_progerty(int index, void *value) {
  if (value == nullptr || index < 0 || size_t(index) >= std::size(kServerItems)) return 0;
  if (fails("sambaserverinfo_set_progerty", index)) return 0;
  bool changed = false;
  if (!igd1::mib::write_changed(kServerItems[index], value, &changed)) return 0;
  return changed ? 1 : 2;
}

int sambaserverinfo_set_property_update(void) {
  if (fails("sambaserverinfo_set_property_update")) return 0;
  return igd1::mib::detail::append_journal_entry(MIB_CFG_SAMBA, MIB_ACTION_APPLY, server_text())
             ? 1
             : 0;
}

int sambaserver_update_all(void) {
  if (fails("sambaserver_update_all")) return 0;
  g_table.rows().reload();
  return igd1::mib::detail::append_journal_entry(
             MIB_CFG_SAMBA, MIB_ACTION_APPLY,
             server_text() + " accounts=" + std::to_string(g_table.rows().size()))
             ? 1
             : 0;
}

int sambaAccount_update_all(void) { return g_table.init() ? 1 : 0; }

mib_list_node *sambaAccount_get_list(int) { return g_table.list(); }

uint32_t sambaAccount_get_instnum(void) {
  uint32_t instance = 1;
  // Rows come in instance order: the first gap is the lowest free number.
  for (mib_list_node *node = g_table.rows().head(); node != nullptr; node = node->next) {
    if (static_cast<const uint8_t *>(node->data)[0] != instance) break;
    ++instance;
  }
  return instance <= SAMBA_ACCOUNT_MAX_ROWS ? instance : 0;
}

mib_list_node *sambaAccount_get_list_by_instnum(uint32_t instance, uint32_t *index) {
  return g_table.find(instance, index);
}

uint32_t sambaAccount_insert_entry(const void *row) {
  uint8_t record[SAMBA_ACCOUNT_ROW_SIZE] = {};
  if (row != nullptr) std::memcpy(record, row, sizeof record);
  return g_table.refused(record) == nullptr && g_table.insert(record) ? record[0] : 0;
}

int sambaAccount_remove_entry(uint32_t index, mib_list_node *node) {
  return g_table.remove(index, node) ? 1 : 0;
}

int sambaAccount_get_mib_property(int index, void *buffer, const void *row) {
  return g_table.get(index, buffer, row) ? 1 : 0;
}

int sambaAccount_set_mib_property(int index, const void *value, void *row) {
  return g_table.set(index, value, row) ? 1 : 0;
}

void *sambaAccount_backup_entry(const void *row) { return g_table.backup(row); }

void sambaAccount_free_backup_entry(void *copy) { igd1::mib::Table::free_copy(copy); }

int sambaAccount_update_entry(const void *row, uint32_t index, const char **reason, int) {
  if (reason != nullptr) *reason = nullptr;
  if (row == nullptr) return refuse(reason, "no account given");
  if (g_table.fails("update_entry")) return refuse(reason, "store refused the account");
  const auto *record = static_cast<const uint8_t *>(row);
  const uint8_t instance = record[0];  // before the look-up rebuilds this thread's nodes
  mib_list_node *at = g_table.rows().at(index);
  if (at == nullptr || static_cast<const uint8_t *>(at->data)[0] != instance)
    return refuse(reason, "account " + std::to_string(instance) + " does not exist");
  const char *user = field(record, 0);
  if (g_table.refused(record) != nullptr) return refuse(reason, "user name or password too long");
  if (user[0] != '\0') {
    for (mib_list_node *node = g_table.rows().head(); node != nullptr; node = node->next) {
      const auto *other = static_cast<const uint8_t *>(node->data);
      if (other[0] != record[0] && std::strcmp(field(other, 0), user) == 0)
        return refuse(reason, "user name " + std::string(user) + " is taken by account " +
                                  std::to_string(other[0]));
    }
  }
  if (!g_table.rows().store(record)) return refuse(reason, "store refused the account");
  igd1::mib::detail::append_journal_entry(
      MIB_CFG_SAMBA, int(index),
      igd1::mib::one_line("inst=" + std::to_string(record[0]) + " user=" + user));
  return 1;
}

int sambaAccount_save_mib(void) { return g_table.save() ? 1 : 0; }

const mib_table_ops sambaAccount_table = igd1::mib::table_ops<g_table, kSpec>(
    {.save_mib = sambaAccount_save_mib, .update_entry = sambaAccount_update_entry});
