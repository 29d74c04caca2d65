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

namespace {

using igd1::Field;

int notify_service() { return dbus_mib_update_cfg(MIB_CFG_FTP, nullptr, MIB_ACTION_APPLY); }

int add_account(void *row) {
  auto *account = static_cast<ftp_account_row *>(row);
  return ftpaccount_set_account(account, account->instnum) != 0 ? 1 : 0;
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

constexpr igd1::RowProperty kProperties[] = {
    {.name = "UserName", .field = Field::Text, .offset = offsetof(ftp_account_row, username),
     .size = FTP_ACCOUNT_FIELD_SIZE, .write_log = "property UserName value:%s ",
     .overlong = igd1::Overlong::Refuse, .item = 0, .refused = "Invalid parameter value",
     .placeholder = "invalid", .wrong_type = "Invalid parameter value"},
    {.name = "Password", .field = Field::Text, .offset = offsetof(ftp_account_row, password),
     .size = FTP_ACCOUNT_FIELD_SIZE, .write_log = "property Password value:%s ",
     .overlong = igd1::Overlong::Refuse, .item = 1, .refused = "Invalid parameter %s",
     .secret = true, .placeholder = "invalid", .wrong_type = "Invalid parameter %s"},
};

constexpr igd1::RowModule kModule = {
    .manager_path = "/com/wqx/igd1/Storage/Ftpserver/Accounts",
    .properties = kProperties,
    .table = {.row_size = sizeof(ftp_account_row), .insert_entry = add_account,
              .remove_entry = remove_account,
              .save_mib = notify_service,
              .instance_offset = offsetof(ftp_account_row, instnum), .instance_size = 4,
              .row_count = [] { return ftpaccountinfo_get_property(0); },
              .row_at = [](uint32_t position, void *row) {
                return ftpaccount_getuserinfo2(static_cast<ftp_account_row *>(row), int(position));
              },
              .check_text = [](int item, const char *text, uint32_t position) {
                return ftpaccount_set_property_check(item, text, int(position));
              },
              .stand_in = {.position = ftpaccount_default_position,
                           .add = ftpaccount_add_default,
                           .remove = ftpaccount_delete_default},
              .update_entry = update_account},
    .texts = {.get_no_row = "invalid object path %s",
              .set_no_row = "invalid object path %s",
              .no_row_log = "func [%s], line [%d], get ftp account entry failed with instnum %d .",
              .commit_failed = "ftp account db update failure",
              .add_failed = "AddObject NO idle index for ftp account",
              .table_full = "ftp account table is full",
              .add_log = "going to [%s] line [%d] add path_name is %s",
              .no_number_log = "NO idle index for ftp account",
              .add_refused_log = "add ftp account failed",
              .delete_no_row = "this entry not exist",
              .delete_wrong_path = "path_name is error",
              .delete_failed = "Delete chain record error"},
    .announce = igd1::Announce::Always,
    .add = igd1::AddKind::Self,
    .max_instance = 99,
    .xml_file = "FTPAccount.xml",
    .max_rows = FTP_ACCOUNT_MAX_ROWS,
    .unchanged = igd1::Unchanged::Repeat,
    .delete_by_number = true,
    .commit_error = "org.freedesktop.DBus.Error.InvalidArgs",
    .delete_no_row_error = "org.freedesktop.DBus.Error.Failed",
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
