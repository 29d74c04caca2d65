// Telnet accounts: /com/wqx/igd1/Network/Telnetserver/Accounts.  The service
// has one login, shown as two read-only children: 1 for the LAN side and 2
// for the WAN side, with the same user name and password.  Clients can
// neither add nor delete accounts; during a conformance run those calls are
// left to the host.
#include "telnetaccount.h"

#include <cstring>
#include <iterator>

namespace {

using igd1::Field;

// The login changes only through the service's own tools: never announced.
constexpr char kInterfaceXml[] =
    "<node>"
    "  <interface name='com.wqx.igd1.TelnetAccount'>"
    "    <annotation name='org.freedesktop.DBus.Property.EmitsChangedSignal' value='false'/>"
    "    <property name='UserName' type='s' access='read'/>"
    "    <property name='Password' type='s' access='read'/>"
    "    <property name='Type' type='s' access='read'/>"
    "  </interface>"
    "</node>";

// A row is its instance number alone, which also names its side.
constexpr igd1::Choice kSides[] = {{1, "LAN", nullptr}, {2, "WAN", nullptr}};
constexpr uint16_t kLoginBuffer = 64;

constexpr igd1::RowProperty kProperties[] = {
    {.name = "UserName", .field = Field::Item, .size = kLoginBuffer, .item = 0},
    {.name = "Password", .field = Field::Item, .size = kLoginBuffer, .item = 1},
    {.name = "Type", .field = Field::Choice, .choices = kSides},
};

// The login texts, whichever row asks.
int read_login(int which, void *output, const void *) {
  const char *text = telnetaccount_get_info(which);
  if (text == nullptr || std::strlen(text) >= kLoginBuffer) {
    DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d], get %s failed!", __func__, __LINE__,
             kProperties[which].name);
    return 0;
  }
  std::strcpy(static_cast<char *>(output), text);
  return 1;
}

// During a conformance run the accounts take no AddObject or DeleteObject:
// they are answered as methods nobody serves.
igd1::Begin not_served_in_test_run(const igd1::CallContext &call, igd1::RowStep step,
                                   const uint8_t *, GVariant *) {
  if ((step != igd1::RowStep::AddObject && step != igd1::RowStep::DeleteObject) ||
      !call.test_run())
    return igd1::Begin::Apply;
  g_set_error(call.error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
              "Method %s is not served on %s", igd1::step_method(step), call.object_path);
  return igd1::Begin::Refuse;
}

bool log_export(const igd1::CallContext &call, igd1::RowEvent event, const char *) {
  if (event != igd1::RowEvent::Exported) return false;
  DBUS_LOG(LOG_LEVEL_INFO, "g_strdup_printf s is %s", call.object_path);
  DBUS_LOG(LOG_LEVEL_INFO, "g_object_new : %s ", "ComWqxIgd1TelnetAccountInterface");
  return true;
}

// The module's own wording of the engine's texts.
const char *wording(igd1::RowText text) {
  using enum igd1::RowText;
  switch (text) {
    case ReadFailed: return "get property %s failed";
    case AddFailed: return "not support to add object";
    case DeleteRefused: return "not support to del object";
    default: return nullptr;
  }
}

// The sides as a table of one-byte rows reached by position.
constexpr mib_table_ops kSideRows = {.row_size = 1,
                                     .row_count = [] { return int(std::size(kSides)); },
                                     .row_at = [](uint32_t position, void *row) {
                                       static_cast<uint8_t *>(row)[0] = kSides[position].stored;
                                       return 1;
                                     },
                                     .get_item = read_login};

constexpr igd1::RowModule kModule = {
    .manager_path = "/com/wqx/igd1/Network/Telnetserver/Accounts",
    .properties = kProperties,
    .table = {.store = &kSideRows},
    .texts = {.wording = wording, .log = log_export},
    .add = igd1::Adding::refuse(igd1::kObjectManagerError),
    .max_instance = std::size(kSides),
    .xml = kInterfaceXml,
    .on = not_served_in_test_run,
};

}  // namespace

IGD1_ROW_COLLECTION(telnet_account, telnet_account_introspection_data, "TelnetAccount",
                    telnet_account_handle_get_property, telnet_account_handle_set_property,
                    telnet_account_handle_set_multi_properties,
                    telnet_account_handle_object_mng_call, kModule, telnet_account)
