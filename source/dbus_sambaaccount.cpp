// Samba accounts: /com/wqx/igd1/Storage/SambaServer/Accounts, one child per
// account, with UserName and Password of at most 30 characters each.
//
// AddObject asks the configuration library for a new account; the child
// appears when the host calls samba_account_add_interface for it, and goes
// through samba_account_del_interface.  A write works on a copy of the
// account and hands the copy back only when every value was accepted; the
// library may still refuse the account as a whole (a user name that another
// account has), which fails the write with its reason.
#include "sambaaccount.h"

#include "mib_api.h"

namespace {

using igd1::Field;

constexpr char kInterfaceXml[] =
    "<node>"
    "  <interface name='com.wqx.igd1.SambaAccount'>"
    "    <property name='UserName' type='s' access='readwrite'/>"
    "    <property name='Password' type='s' access='readwrite'/>"
    "  </interface>"
    "</node>";

constexpr igd1::RowProperty kProperties[] = {
    {.name = "UserName", .field = Field::Item, .size = SAMBA_ACCOUNT_TEXT_MAX + 1,
     .write_log = "set UserName value:%s ", .item = 0, .refused = "UserName value len is err"},
    {.name = "Password", .field = Field::Item, .size = SAMBA_ACCOUNT_TEXT_MAX + 1,
     .write_log = "set Password value:****** ", .item = 1,
     .refused = "Password value len is err"},
};

// The library numbers the new account itself and answers that number.
int insert_account(void *row) {
  const uint32_t instance = sambaAccount_insert_entry(nullptr);
  static_cast<uint8_t *>(row)[0] = uint8_t(instance);
  return instance != 0 ? 1 : 0;
}

// The module's own wording of the engine's texts.
const char *wording(igd1::RowText text) {
  using enum igd1::RowText;
  switch (text) {
    case GetNoRow: return "func [%s] :invalid list num  %d ";
    case SetNoRow: return "func [%s] :invalid list num  %d ";
    case ReadFailed: return "invalid UTF-8 sting value of %s";
    case CommitFailed: return "Config SambaAccount error (%s)";
    case ItemSetFailed: return "set property %s failed";
    default: return nullptr;
  }
}

constexpr igd1::RowModule kModule = {
    .manager_path = "/com/wqx/igd1/Storage/SambaServer/Accounts",
    .properties = kProperties,
    .table = {.store = &sambaAccount_table, .insert_entry = insert_account},
    .texts = {.wording = wording},
    .announce = igd1::Announce::Always,
    .xml = kInterfaceXml,
    .on = igd1::at_step<igd1::RowStep::Committed, sambaAccount_save_mib>,
};

}  // namespace

IGD1_ROW_COLLECTION(samba_account, samba_account_introspection_data, "SambaAccount",
                    samba_account_handle_get_property, samba_account_handle_set_property,
                    samba_account_handle_set_multi_properties, samba_account_handle_object_mng_call,
                    kModule, samba_account)
