// Port mappings: /com/wqx/igd1/Config/PortMapping, one child per rule, over
// the 92-byte records of the configuration library's table:
//
//   0 instance   1 enable   4 lease (u32)   8 remote host (IPv4)
//   12 external port (u16)   14 internal port (u16)   16 protocol
//   17 internal client (IPv4, unaligned)   21 description (59 bytes)
//
// A changed rule is stored and announced to the services as a whole row.
// Removing an enabled rule also withdraws its forwarding.
#include "portmapping.h"

#include <arpa/inet.h>

#include <cstring>

#include "mib_api.h"

namespace {

using igd1::Field;

constexpr igd1::Choice kProtocols[] = {
    {1, "TCP", "tcp"},
    {2, "UDP", "udp"},
    {3, "BOTH", "both"},
    {0, "BOTH", nullptr},  // rows made before a protocol was chosen
};

// An empty remote host stands for any host: the any address is stored.
bool write_remote_host(const igd1::CallContext &call, const igd1::RowProperty &property,
                       GVariant *value, uint8_t *row, bool *changed) {
  const char *text = g_variant_get_string(value, nullptr);
  in_addr address{};
  if (text[0] != '\0' && inet_pton(AF_INET, text, &address) != 1) {
    DBUS_LOG(LOG_LEVEL_WARN, "Invalid parameter value");
    igd1::set_invalid_args(call.error, "Invalid parameter value");
    return false;
  }
  *changed = std::memcmp(row + property.offset, &address, sizeof address) != 0;
  std::memcpy(row + property.offset, &address, sizeof address);
  return true;
}

constexpr igd1::RowProperty kProperties[] = {
    {.name = "PortMappingEnabled", .alias = "Enable", .type = "b", .field = Field::Flag,
     .offset = 1, .write_log = "set Enable value:%d "},
    // The long name reads only, as the document declares it.
    {.name = "LeaseDuration", .alias = "PortMappingLeaseDuration", .type = "u",
     .field = Field::Number, .offset = 4, .size = 4, .write_log = "set LeaseDuration value:%d "},
    {.name = "RemoteHost", .field = Field::IPv4, .offset = 8,
     .write_log = "set RemoteHost value:%s ", .write = write_remote_host},
    {.name = "ExternalPort", .type = "u", .field = Field::Number, .offset = 12, .size = 2,
     .write_log = "set ExternalPort value:%d ", .min = 1, .max = 65535},
    {.name = "InternalPort", .type = "u", .field = Field::Number, .offset = 14, .size = 2,
     .write_log = "set InternalPort value:%d ", .min = 1, .max = 65535},
    {.name = "PortMappingProtocol", .field = Field::Choice, .offset = 16,
     .write_log = "set PortMappingProtocolvalue:%s ", .choices = kProtocols},
    {.name = "InternalClient", .field = Field::IPv4, .offset = 17,
     .write_log = "set InternalClient value:%s "},
    // Longer descriptions are cut to 58 characters.
    {.name = "PortMappingDescription", .alias = "Description", .field = Field::Text, .offset = 21,
     .size = 59, .write_log = "set Description value:%s "},
};

constexpr int kWithdrawRule = 3;

// A removed rule that was enabled leaves the forwarding table too, unless a
// conformance run only checks the bus.
igd1::Begin withdraw_forwarding(const igd1::CallContext &call, igd1::RowStep step,
                                const uint8_t *row, GVariant *) {
  if (step == igd1::RowStep::Deleted && row[1] != 0 && !call.test_run())
    apply_PortForwarding(kWithdrawRule, static_cast<int>(call.index), 0);
  return igd1::Begin::Apply;
}

// A changed rule is handed back whole: the store keeps and applies it.
int store_mapping(const void *row, uint32_t index, const char **, int) {
  return dbus_mib_update_cfg(MIB_CFG_PORTMAPPING, const_cast<void *>(row), int(index));
}

// The module's own wording of the engine's texts.
const char *wording(igd1::RowText text) {
  using enum igd1::RowText;
  switch (text) {
    case GetNoRow: return "func [%s] :invalid list num  %d ";
    default: return nullptr;
  }
}

constexpr igd1::RowModule kModule = {
    .manager_path = "/com/wqx/igd1/Config/PortMapping",
    .properties = kProperties,
    .table = {.store = &portmapping_table, .update_entry = store_mapping},
    .texts = {.wording = wording},
    .on = withdraw_forwarding,
};

}  // namespace

IGD1_ROW_COLLECTION(PortMapping, PortMapping_introspection_data, "PortMapping",
                    PortMapping_handle_get_property, PortMapping_handle_set_property,
                    portmapping_handle_set_multi_properties, PortMapping_handle_object_mng_call,
                    kModule, PortMapping)
