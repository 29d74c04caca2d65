// The FTP service: server settings and the table "ftpaccount".
//
// Server settings (index: setting, one byte each):
//   0  ftp.Enable          MIB_ACCESS_* (0 off, 1 LAN, 2 WAN, 3 both)
//   1  ftp.AllowAnonymous  0 or 1
//
// Account records as the table keeps them:
//   offset  width  column     form
//   0       1      (key)      the store's row key
//   1       30     UserName   NUL-terminated text
//   31      30     Password   NUL-terminated text
//   61      4      Instance   32-bit instance number of the bus object
//   65      1      IsDefault  1 for the default account
// Callers see ftp_account_row instead: the FTP module chooses the instance
// numbers itself and exports its objects itself, so the table has no row
// callbacks, and its key (the position order) is not the instance number.
//
// Account changes are announced by the FTP module (dbus_mib_update_cfg with
// MIB_CFG_FTP); applying server settings records a notice of its own.
#include <cctype>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "mib_api.h"
#include "mib_internal.h"
#include "mib_store.h"
#include "mib_table.h"

namespace {

using igd1::mib::Item;
using K = igd1::mib::ValueKind;

constexpr Item kServerItems[] = {
    {"ftp.Enable", K::U8, 1, "1", igd1::mib::within<uint8_t, MIB_ACCESS_OFF, MIB_ACCESS_LAN_WAN>},
    {"ftp.AllowAnonymous", K::U8, 1, "0", igd1::mib::within<uint8_t, 0, 1>},
};
const igd1::mib::Defaults kServerItemsDefaults(kServerItems);
constexpr const char *kServerNames[] = {"Enable", "AllowAnonymous"};
constexpr Item kDefaultLogin[] = {
    {"ftp.DefaultUserName", K::Text, FTP_ACCOUNT_FIELD_SIZE, "ftpadmin"},
    {"ftp.DefaultPassword", K::Text, FTP_ACCOUNT_FIELD_SIZE, "Ftp#0C2210"},
};
const igd1::mib::Defaults kDefaultLoginDefaults(kDefaultLogin);

constexpr size_t kField = FTP_ACCOUNT_FIELD_SIZE;
constexpr size_t kUserOffset = 1;
constexpr size_t kPasswordOffset = kUserOffset + kField;
constexpr size_t kInstanceOffset = kPasswordOffset + kField;
constexpr size_t kDefaultOffset = kInstanceOffset + 4;
constexpr size_t kRecordSize = kDefaultOffset + 1;
constexpr int kRemoveIndex = 4;
constexpr uint32_t kMaxInstance = 255;
constexpr std::string_view kPlaceholderMark = "invalid";

constexpr igd1::mib::Column kColumns[] = {
    {"UserName", K::Text, kUserOffset, kField},
    {"Password", K::Text, kPasswordOffset, kField},
    {"Instance", K::U32, kInstanceOffset, 4},
    {"IsDefault", K::U8, kDefaultOffset, 1},
};

// The accounts have no bus callbacks of the store's: the FTP module exports
// them itself.
constexpr igd1::mib::TableSpec kSpec = {
    .def = igd1::mib::record_table("ftpaccount", nullptr, kRecordSize, kColumns,
                                   FTP_ACCOUNT_MAX_ROWS),
    .prefix = "ftpaccount",
};
igd1::mib::Table g_table(kSpec);
igd1::mib::RowList &rows() { return g_table.rows(); }

bool fails(const char *accessor, int index = 0) { return igd1::mib::should_fail(accessor, index); }

bool terminated(const char *text) { return strnlen(text, kField) < kField; }

struct Record {
  uint8_t bytes[kRecordSize] = {};

  uint32_t instance() const { return igd1::mib::load<uint32_t>(bytes + kInstanceOffset); }
  bool is_default() const { return bytes[kDefaultOffset] != 0; }

  void to_row(ftp_account_row *row) const {
    std::memcpy(row->username, bytes + kUserOffset, kField);
    std::memcpy(row->password, bytes + kPasswordOffset, kField);
    row->instnum = instance();
  }
  // False when a text of `row` does not end inside its field.
  bool from_row(const ftp_account_row &row) {
    if (!terminated(row.username) || !terminated(row.password)) return false;
    std::memcpy(bytes + kUserOffset, row.username, kField);
    std::memcpy(bytes + kPasswordOffset, row.password, kField);
    igd1::mib::store(bytes + kInstanceOffset, row.instnum);
    return true;
  }
};

std::optional<Record> record_at(int position) {
  if (position < 0) return std::nullopt;
  mib_list_node *node = rows().at(size_t(position));
  if (node == nullptr) return std::nullopt;
  Record record;
  std::memcpy(record.bytes, node->data, kRecordSize);
  return record;
}

// Position of the row carrying `instance` (or of the default account), or -1.
template <typename Match>
int find_position(Match match) {
  int position = 0;
  for (mib_list_node *node = rows().head(); node != nullptr; node = node->next, ++position) {
    Record record;
    std::memcpy(record.bytes, node->data, kRecordSize);
    if (match(record)) return position;
  }
  return -1;
}

int position_of(uint32_t instance) {
  return find_position([instance](const Record &r) { return r.instance() == instance; });
}

bool insert(const ftp_account_row &row, bool is_default) {
  Record record;
  if (!record.from_row(row)) return false;
  record.bytes[kDefaultOffset] = is_default ? 1 : 0;
  return rows().insert(record.bytes);
}

// Copies the row at `position` out, and its instance number into `instance`
// when given; the shared body of the position readers.
int copy_out(const char *accessor, ftp_account_row *row, int position, uint32_t *instance = nullptr) {
  if (row == nullptr || fails(accessor, position)) return 0;
  std::optional<Record> record = record_at(position);
  if (!record) return 0;
  record->to_row(row);
  if (instance != nullptr) *instance = row->instnum;
  return 1;
}

bool user_name_char(unsigned char c) {
  return std::isalnum(c) != 0 || c == '.' || c == '_' || c == '-';
}

}  // namespace

int ftpserverinfo_get_property(int index, void *buffer) {
  return igd1::mib::read_at("ftpserverinfo_get_property", kServerItems, index, buffer) ? 1 : 0;
}

int ftpserverinfo_set_property(int index, void *value) {
  return igd1::mib::write_at("ftpserverinfo_set_property", kServerItems, index, value) ? 1 : 0;
}

int ftpserverinfo_set_property_update(int enable, int anonymous, int which) {
  if (which != 1 && which != 2) return 0;
  if (fails("ftpserverinfo_set_property_update", which)) return 0;
  const int value = which == 1 ? enable : anonymous;
  return igd1::mib::detail::append_journal_entry(
             MIB_CFG_FTP, MIB_ACTION_APPLY,
             std::string(kServerNames[which - 1]) + "=" + std::to_string(value))
             ? 1
             : 0;
}

int ftpaccountinfo_get_property(int index) {
  if (index != 0 || fails("ftpaccountinfo_get_property", index)) return -1;
  return int(rows().size());
}

int ftpaccountinfo_set_property(int index, const ftp_account_row *row, int position) {
  if (index != kRemoveIndex || row == nullptr || fails("ftpaccountinfo_set_property", index))
    return 0;
  std::optional<Record> record = record_at(position);
  if (!record || record->instance() != row->instnum) return 0;
  return rows().remove(record->bytes[0]) ? 1 : 0;
}

uint32_t ftpaccount_getindex(int position) {
  if (fails("ftpaccount_getindex", position)) return 0;
  std::optional<Record> record = record_at(position);
  return record ? record->instance() : 0;
}

int ftpaccount_compare_index(ftp_account_row *row, int position, uint32_t *instance,
                             uint32_t candidate) {
  return copy_out("ftpaccount_compare_index", row, position, instance) && row->instnum == candidate ? 1 : 0;
}

int ftpaccount_set_account(ftp_account_row *row, uint32_t instance) {
  if (row == nullptr || instance < 1 || instance > kMaxInstance) return 0;
  if (fails("ftpaccount_set_account")) return 0;
  if (rows().size() >= FTP_ACCOUNT_MAX_ROWS || position_of(instance) >= 0) return 0;
  ftp_account_row stored = *row;
  stored.instnum = instance;
  if (!insert(stored, false)) return 0;
  row->instnum = instance;
  return 1;
}

int ftpaccount_get_account(ftp_account_row *row, uint32_t *instance, int position) {
  return copy_out("ftpaccount_get_account", row, position, instance);
}

int ftpaccount_getuserinfo(uint32_t instance, ftp_account_row *row, int *position) {
  if (row == nullptr || fails("ftpaccount_getuserinfo")) return 0;
  const int found = position_of(instance);
  if (found < 0 || !copy_out("ftpaccount_getuserinfo", row, found)) return 0;
  if (position != nullptr) *position = found;
  return 1;
}

int ftpaccount_getuserinfo2(ftp_account_row *row, int position) {
  return copy_out("ftpaccount_getuserinfo2", row, position);
}

int ftpaccount_set_property_check(int which, const char *text, int position) {
  if (text == nullptr || (which != 0 && which != 1)) return 0;
  if (fails("ftpaccount_set_property_check", which)) return 0;
  const std::string_view value(text);
  if (value.empty() || value.size() >= kField || value.find(kPlaceholderMark) != value.npos)
    return 0;
  for (unsigned char c : value) {
    if (c <= ' ' || c > '~') return 0;
    if (which == 0 && !user_name_char(c)) return 0;
  }
  if (which == 1) return 1;
  int other = 0;
  for (mib_list_node *node = rows().head(); node != nullptr; node = node->next, ++other) {
    const char *name = static_cast<const char *>(node->data) + kUserOffset;
    if (other != position && value == igd1::mib::text_in(name, kField)) return 0;
  }
  return 1;
}

// A user who edits the default account makes it an ordinary one.
int ftpaccount_update_account(const ftp_account_row *row, int position) {
  if (row == nullptr || fails("ftpaccount_update_account")) return 0;
  std::optional<Record> record = record_at(position);
  if (!record || record->instance() != row->instnum || !record->from_row(*row)) return 0;
  record->bytes[kDefaultOffset] = 0;
  return rows().store(record->bytes) ? 1 : 0;
}

int ftpaccount_add_default(void) {
  if (fails("ftpaccount_add_default")) return 0;
  if (find_position([](const Record &r) { return r.is_default(); }) >= 0) return 1;
  ftp_account_row row = {};
  if (!igd1::mib::read_item(kDefaultLogin[0], row.username) ||
      !igd1::mib::read_item(kDefaultLogin[1], row.password))
    return 0;
  uint32_t instance = 1;
  while (position_of(instance) >= 0) ++instance;
  if (instance > kMaxInstance) return 0;
  row.instnum = instance;
  return insert(row, true) ? 1 : 0;
}

int ftpaccount_delete_default(void) {
  if (fails("ftpaccount_delete_default")) return 0;
  std::optional<Record> record =
      record_at(find_position([](const Record &r) { return r.is_default(); }));
  return record && rows().remove(record->bytes[0]) ? 1 : 0;
}

int ftpaccount_default_position(void) {
  if (fails("ftpaccount_default_position")) return -1;
  return find_position([](const Record &r) { return r.is_default(); });
}
