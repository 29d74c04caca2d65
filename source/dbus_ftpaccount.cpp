// FTP accounts: /com/wqx/igd1/Storage/Ftpserver/Accounts, one child per
// account, at most six, numbered by this module (the lowest free number from
// 1 to 99).  A new account holds the placeholder texts "invalid<n>", which
// read as "" until a client writes a user name and password; the table checks
// every text.  While no user account exists the table holds a default
// account without a child; the next AddObject takes it out again.  Every
// change is stored, applied and announced, even when a value is written
// again unchanged.
#include "ftpaccount.h"

#include <cstddef>
#include <cstring>

namespace {

using igd1::Field;

constexpr char kManagerPath[] = "/com/wqx/igd1/Storage/Ftpserver/Accounts";
constexpr uint32_t kHighestNumber = 99;

int notify_service() { return dbus_mib_update_cfg(MIB_CFG_FTP, nullptr, MIB_ACTION_APPLY); }

// A new account holds the placeholder mark followed by its number until a
// client writes its texts.
constexpr char kPlaceholder[] = "invalid";

int add_account(void *row) {
  auto *account = static_cast<ftp_account_row *>(row);
  g_snprintf(account->username, sizeof account->username, "%s%u", kPlaceholder, account->instnum);
  g_snprintf(account->password, sizeof account->password, "%s%u", kPlaceholder, account->instnum);
  return ftpaccount_set_account(account, account->instnum) != 0 ? 1 : 0;
}

// A text that holds the placeholder mark reads as "".
GVariant *read_text(const igd1::CallContext &call, const igd1::RowProperty &property,
                    const uint8_t *row) {
  const char *text = reinterpret_cast<const char *>(row + property.offset);
  if (g_strstr_len(text, gssize(strnlen(text, property.size)), kPlaceholder) != nullptr)
    return g_variant_new_string("");
  return igd1::text_value(text, property.size, property.name, call.error);
}

int remove_account(uint32_t position, mib_list_node *) {
  ftp_account_row row = {};
  constexpr int kRemoveRow = 4;
  if (ftpaccount_getuserinfo2(&row, int(position)) != 0 &&
      ftpaccountinfo_set_property(kRemoveRow, &row, int(position)) == 1)
    return 1;
  DBUS_LOG(LOG_LEVEL_WARN, "Delete chain %d record error!", int(position));
  return 0;
}

int update_account(const void *row, uint32_t position, const char **, int) {
  if (ftpaccount_update_account(static_cast<const ftp_account_row *>(row), int(position)) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "ftp account db update failure");
    return 0;
  }
  DBUS_LOG(LOG_LEVEL_INFO, "ftp account db update success");
  notify_service();
  return 1;
}

// Whether an account carries `number`.
bool account_held(uint32_t number) {
  const int count = ftpaccountinfo_get_property(0);
  for (int position = 0; position < count; ++position) {
    ftp_account_row row = {};
    if (ftpaccount_getuserinfo2(&row, position) != 0 && row.instnum == number) return true;
  }
  return false;
}

// DeleteObject also names an account by the number that ends any path: an
// account's number under a path other than its own is refused as a wrong
// path, a number no account carries as an entry that does not exist.  The
// engine answers the accounts' own paths and paths without a number.
igd1::Begin delete_by_number(const igd1::CallContext &call, igd1::RowStep step, const uint8_t *,
                             GVariant *parameters) {
  if (step != igd1::RowStep::DeleteObject || call.instance != 0) return igd1::Begin::Apply;
  const char *path = nullptr;
  g_variant_get(parameters, "(&o)", &path);
  const char *last = std::strrchr(path, '/');
  const uint32_t number = igd1::parse_instance(last + 1, kHighestNumber);
  if (number == 0) return igd1::Begin::Apply;
  if (igd1::child_instance_of(kManagerPath, path, kHighestNumber) == 0 && account_held(number))
    g_dbus_error_set_dbus_error(call.error, igd1::kObjectManagerError, "path_name is error",
                                nullptr);
  else
    g_set_error_literal(call.error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "this entry not exist");
  return igd1::Begin::Refuse;
}

// The table checks every new text of an account at the account's position;
// a text too long for its field is left to the field's refusal.
bool table_accepts(const igd1::CallContext &call, const igd1::RowProperty &property,
                   GVariant *value, const uint8_t *) {
  const char *text = g_variant_get_string(value, nullptr);
  return std::strlen(text) >= property.size ||
         ftpaccount_set_property_check(property.item, text, int(call.index)) != 0;
}

constexpr igd1::RowProperty kProperties[] = {
    {.name = "UserName", .field = Field::Text, .offset = offsetof(ftp_account_row, username),
     .size = FTP_ACCOUNT_FIELD_SIZE, .write_log = "property UserName value:%s ",
     .overlong = igd1::Overlong::Refuse, .item = 0, .refused = "Invalid parameter value",
     .read = read_text, .accepts = table_accepts, .wrong_type = "Invalid parameter value"},
    {.name = "Password", .field = Field::Text, .offset = offsetof(ftp_account_row, password),
     .size = FTP_ACCOUNT_FIELD_SIZE, .write_log = "property Password value:****** ",
     .overlong = igd1::Overlong::Refuse, .item = 1, .refused = "Invalid parameter %s",
     .read = read_text, .accepts = table_accepts,
     .wrong_type = "Invalid parameter %s"},
};

bool log_event(const igd1::CallContext &call, igd1::RowEvent event, const char *function) {
  switch (event) {
    case igd1::RowEvent::NoRow:
      DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d], get ftp account entry failed with instnum %d .",
               function, __LINE__, int(call.instance));
      return true;
    case igd1::RowEvent::Added:
      DBUS_LOG(LOG_LEVEL_INFO, "going to [%s] line [%d] add path_name is %s", function, __LINE__,
               call.object_path);
      return true;
    case igd1::RowEvent::NoNumber:
      DBUS_LOG(LOG_LEVEL_WARN, "NO idle index for ftp account");
      return true;
    case igd1::RowEvent::AddRefused:
      DBUS_LOG(LOG_LEVEL_ERROR, "add ftp account failed");
      return true;
    case igd1::RowEvent::Exported:
      return false;
  }
  return false;
}

// The module's own wording of the engine's texts.
const char *wording(igd1::RowText text) {
  using enum igd1::RowText;
  switch (text) {
    case GetNoRow: return "invalid object path %s";
    case SetNoRow: return "invalid object path %s";
    case CommitFailed: return "ftp account db update failure";
    case AddFailed: return "AddObject NO idle index for ftp account";
    case TableFull: return "ftp account table is full";
    case DeleteFailed: return "Delete chain record error";
    default: return nullptr;
  }
}

// The accounts as a table reached by position.
constexpr mib_table_ops kAccountRows = {
    .row_size = sizeof(ftp_account_row),
    .instance_offset = offsetof(ftp_account_row, instnum),
    .instance_size = 4,
    .row_count = [] { return ftpaccountinfo_get_property(0); },
    .row_at = [](uint32_t position, void *row) {
      return ftpaccount_getuserinfo2(static_cast<ftp_account_row *>(row), int(position));
    }};

constexpr igd1::RowModule kModule = {
    .manager_path = kManagerPath,
    .properties = kProperties,
    .table = {.store = &kAccountRows, .insert_entry = add_account,
              .remove_entry = remove_account,
              .save_mib = notify_service,
              .update_entry = update_account,
              .stand_in = {.position = ftpaccount_default_position,
                           .add = ftpaccount_add_default,
                           .remove = ftpaccount_delete_default}},
    .texts = {.wording = wording, .log = log_event},
    .announce = igd1::Announce::Always,
    .add = igd1::Adding::self_numbered(FTP_ACCOUNT_MAX_ROWS),
    .max_instance = kHighestNumber,
    .xml = "FTPAccount.xml",
    .on = delete_by_number,
    .writes = igd1::RowWrites::RepeatUnchanged,
    .commit_error = "org.freedesktop.DBus.Error.InvalidArgs",
};

}  // namespace

IGD1_ROW_COLLECTION(ftp_account, ftpaccount_introspection_data, "FTPAccount",
                    ftp_account_handle_get_property, ftp_account_handle_set_property,
                    ftp_account_handle_set_multi_properties, ftp_account_handle_object_mng_call,
                    kModule, ftp_account)

gboolean ftp_account_set_props_func(const gchar *property_name, GVariant *value, int *notify,
                                    int *changed, GError **error, ftp_account_row *row,
                                    int position) {
  const gboolean ok = igd1::write_row_property(kModule, property_name, value, changed, error, row,
                                               uint32_t(position));
  *notify = *changed;
  return ok;
}
