// The dynamic DNS clients: /com/wqx/igd1/Network/ddns, one child per client.
// Texts must fit their fields (a longer one is refused, never cut), the
// provider and the account must not be empty, the port must fit 16 bits.
// A changed client is stored, saved and handed to the running client; the
// status fields are the client's own and read as it last reported them.
#include "ddnsserverconfig.h"

#include <cstddef>
#include <cstring>

#include "mib_network_tables.h"

namespace {

using igd1::Field;
using igd1::Overlong;
using Client = ddns_server_row;

constexpr char kRefused[] = "Invalid parameter %s";

bool not_empty(const igd1::CallContext &, const igd1::RowProperty &, GVariant *value,
               const uint8_t *) {
  return *g_variant_get_string(value, nullptr) != '\0';
}

#define AT(member) .offset = uint16_t(offsetof(Client, member)), .size = uint16_t(sizeof(Client::member))
#define SETTING(prop, member, rule)                                                          \
  {.name = prop, .field = Field::Text, AT(member), .write_log = "set " prop " value:%s",    \
   .overlong = Overlong::Refuse, .refused = kRefused, .accepts = rule}

constexpr igd1::RowProperty kProperties[] = {
    SETTING("DDNSProvider", provider, not_empty),
    SETTING("DDNSUsername", username, not_empty),
    {.name = "DDNSPassword", .field = Field::Text, AT(password),
     .write_log = "set DDNSPassword value:******", .overlong = Overlong::Refuse,
     .refused = kRefused, .accepts = not_empty},
    {.name = "DDNSCfgEnabled", .type = "b", .field = Field::Flag, AT(enabled),
     .write_log = "set DDNSCfgEnabled value:%d"},
    // The range is checked on the bus value, before it is cut to 16 bits.
    {.name = "ServicePort", .type = "u", .field = Field::Number, AT(service_port),
     .write_log = "set ServicePort value:%d", .min = 0, .max = 65535, .refused = kRefused},
    SETTING("DDNSDomainName", domain_name, nullptr),
    SETTING("DDNSHostName", host_name, nullptr),
    {.name = "DDNSStatus", .type = "y", .field = Field::Number, AT(status)},
    {.name = "DDNSIP", .field = Field::Text, AT(ip)},
    {.name = "DDNSErrMsg", .field = Field::Text, AT(err_msg)},
};

#undef AT
#undef SETTING

int store_client(const void *copy, uint32_t, const char **, int flags) {
  return ddnsServer_update_entry(copy, static_cast<const uint8_t *>(copy)[0], flags);
}

// The running client picks the change up.
bool apply_clients(GError **error) {
  if (ddnsServer_save_mib() != 0 && dbus_mib_update_cfg(MIB_CFG_DDNS, nullptr, MIB_ACTION_APPLY) != 0)
    return true;
  g_set_error_literal(error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "Fail to apply change");
  return false;
}

// A stored change reaches the running client; a removed client that was
// running stops.
igd1::Begin on_step(const igd1::CallContext &call, igd1::RowStep step, const uint8_t *row,
                    GVariant *) {
  if (step == igd1::RowStep::Committed && !apply_clients(call.error)) return igd1::Begin::Refuse;
  if (step == igd1::RowStep::Deleted) {
    Client client;
    std::memcpy(&client, row, sizeof client);
    if (client.enabled != 0) dbus_mib_update_cfg(MIB_CFG_DDNS, nullptr, MIB_ACTION_APPLY);
  }
  return igd1::Begin::Apply;
}

// The module's own wording of the engine's texts.
const char *wording(igd1::RowText text) {
  using enum igd1::RowText;
  switch (text) {
    case GetNoRow: return "func [%s] :invalid list num  %d ";
    case CommitFailed: return "fail to update mib for object patch {path}";
    case AddFailed: return "Add DDNSServer object fail !!";
    case DeleteFailed: return "Delete DDNSServer Object error !!";
    default: return nullptr;
  }
}

constexpr igd1::RowModule kModule = {
    .manager_path = "/com/wqx/igd1/Network/ddns",
    .properties = kProperties,
    .table = {.store = &ddnsServer_table,
              .update_entry = store_client,
              .refresh_row = update_ddns_status},
    .texts = {.wording = wording},
    .announce = igd1::Announce::Never,
    .on = on_step,
};

}  // namespace

IGD1_ROW_COLLECTION(DDNSServerConfig, DDNSServerConfig_introspection_data, "DDNSServerConfig",
                    DDNSServer_handle_get_property, DDNSServer_handle_set_property,
                    ddns_serverconfig_handle_set_multi_properties,
                    DDNSServerConfig_handle_object_mng_call, kModule, DDNSServerConfig)

gboolean DDNSServer_set_property(const char *property_name, GVariant *value, int *changed,
                                 GError **error, void *row, uint32_t index) {
  return igd1::write_row_property(kModule, property_name, value, changed, error, row, index);
}
