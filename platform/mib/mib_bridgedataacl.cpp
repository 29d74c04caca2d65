// The bridge data access list: the table "bridgedataacl", one 64-byte record
// per rule (layout in mib_api.h).  Values are checked here, before anything
// is stored, because they feed the bridge's filter rules: an address is IPv4
// or IPv6 text, a port a decimal number from 1 to 65535 without sign or
// leading zero, a protocol one of a fixed set.
#include <string>
#include <string_view>

#include "mib_api.h"
#include "mib_store.h"
#include "mib_table.h"

namespace {

using K = igd1::mib::ValueKind;

constexpr igd1::mib::Column kColumns[] = {
    {"IP", K::Text, BRIDGE_DATA_ACL_IP_OFFSET, BRIDGE_DATA_ACL_IP_SIZE},
    {"Port", K::Text, BRIDGE_DATA_ACL_PORT_OFFSET, BRIDGE_DATA_ACL_PORT_SIZE},
    {"Protocol", K::Text, BRIDGE_DATA_ACL_PROTOCOL_OFFSET, BRIDGE_DATA_ACL_PROTOCOL_SIZE},
};

constexpr const char *kProtocols[] = {"TCP", "UDP", "ICMP", "ALL"};

bool valid_port(std::string_view text) { return igd1::mib::decimal(text, 1, 65535).has_value(); }
bool valid_protocol(std::string_view text) { return igd1::mib::one_of(text, kProtocols); }

constexpr igd1::mib::TableItem kItems[] = {
    {.column = 0, .valid = [](const char *text) { return igd1::mib::ip_address(text); }},
    {.column = 1, .valid = [](const char *text) { return valid_port(text); }},
    {.column = 2, .valid = [](const char *text) { return valid_protocol(text); }},
};

// Every stored value passes its item's check (an empty one stands for none
// given yet): a copy that got past them in another way is refused whole.
template <bool (*valid)(std::string_view)>
bool empty_or(std::string_view text) {
  return text.empty() || valid(text);
}
constexpr igd1::mib::TextCheck kChecks[] = {
    {0, empty_or<igd1::mib::ip_address>}, {1, empty_or<valid_port>}, {2, empty_or<valid_protocol>}};

constexpr igd1::mib::TableSpec kSpec = {
    .def = igd1::mib::record_table("bridgedataacl", "BridgeDataAcl", BRIDGE_DATA_ACL_ROW_SIZE,
                                   kColumns, BRIDGE_DATA_ACL_MAX_ROWS),
    .prefix = "BridgeDataAcl",
    .items = kItems,
    .checks = kChecks,
};
igd1::mib::Table g_table(kSpec);

}  // namespace

int BridgeDataAcl_init(void) { return g_table.init() ? 1 : 0; }

mib_list_node *BridgeDataAcl_get_list_by_instnum(uint32_t instance, uint32_t *index) {
  return g_table.find(instance, index);
}

uint32_t BridgeDataAclList_get_instnum(const void *row) { return g_table.instance_of(row); }

int BridgeDataAcl_get_mib_property(int item, void *output, const void *row) {
  return g_table.get(item, output, row) ? 1 : 0;
}

int BridgeDataAcl_set_mib_property(int item, const void *value, void *row) {
  return g_table.set(item, value, row) ? 1 : 0;
}

void *BridgeDataAcl_backup_entry(const void *row) { return g_table.backup(row); }

void BridgeDataAcl_free_backup_entry(void *copy) { igd1::mib::Table::free_copy(copy); }

int BridgeDataAcl_update_entry_mib(const void *copy) { return g_table.update(copy) == nullptr ? 1 : 0; }

int BridgeDataAcl_insert_entry(void *row) { return g_table.insert(row) ? 1 : 0; }

int BridgeDataAcl_remove_entry(uint32_t index, mib_list_node *node) {
  return g_table.remove(index, node) ? 1 : 0;
}

int BridgeDataAcl_apply_change(void) {
  if (g_table.fails("apply_change")) return 0;
  igd1::mib::journal_append(MIB_CFG_BRIDGE_DATA_ACL, MIB_ACTION_APPLY,
                            std::to_string(g_table.rows().size()) + " rules");
  return 1;
}

const mib_table_ops BridgeDataAcl_table = igd1::mib::table_ops<g_table, kSpec>();
