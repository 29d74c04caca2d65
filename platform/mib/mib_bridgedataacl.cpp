// The bridge data access list: the table "bridgedataacl", one 64-byte record
// per rule (layout in mib_api.h).  Values are checked here, before anything
// is stored, because they feed the bridge's filter rules: an address is IPv4
// or IPv6 text, a port a decimal number from 1 to 65535 without sign or
// leading zero, a protocol one of a fixed set.
#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "mib_api.h"
#include "mib_rowlist.h"
#include "mib_store.h"
#include "mib_table_rows.h"

namespace {

using K = igd1::mib::ValueKind;

constexpr igd1::mib::Column kColumns[] = {
    {"IP", K::Text, BRIDGE_DATA_ACL_IP_OFFSET, BRIDGE_DATA_ACL_IP_SIZE},
    {"Port", K::Text, BRIDGE_DATA_ACL_PORT_OFFSET, BRIDGE_DATA_ACL_PORT_SIZE},
    {"Protocol", K::Text, BRIDGE_DATA_ACL_PROTOCOL_OFFSET, BRIDGE_DATA_ACL_PROTOCOL_SIZE},
};

constexpr igd1::mib::TableDef kTable = {
    .name = "bridgedataacl",
    .module = "BridgeDataAcl",
    .row_size = BRIDGE_DATA_ACL_ROW_SIZE,
    .columns = kColumns,
    .column_count = std::size(kColumns),
    .max_rows = BRIDGE_DATA_ACL_MAX_ROWS,
};

igd1::mib::RowList &rows() { return igd1::mib::table_rows_of<kTable>(); }
const bool kRegistered = (rows(), true);

constexpr const char *kProtocols[] = {"TCP", "UDP", "ICMP", "ALL"};

bool valid_address(const char *text) {
  uint8_t address[16];
  return inet_pton(AF_INET, text, address) == 1 || inet_pton(AF_INET6, text, address) == 1;
}

bool valid_port(std::string_view text) {
  if (text.empty() || text.size() > 5 || text.front() == '0') return false;
  unsigned port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    port = port * 10 + unsigned(c - '0');
  }
  return port <= 65535;
}

bool valid_protocol(std::string_view text) {
  for (const char *protocol : kProtocols)
    if (text == protocol) return true;
  return false;
}

struct Item {
  size_t offset;
  size_t size;
  bool (*valid)(const char *text);
};

const Item kItems[] = {
    {BRIDGE_DATA_ACL_IP_OFFSET, BRIDGE_DATA_ACL_IP_SIZE, valid_address},
    {BRIDGE_DATA_ACL_PORT_OFFSET, BRIDGE_DATA_ACL_PORT_SIZE,
     [](const char *text) { return valid_port(text); }},
    {BRIDGE_DATA_ACL_PROTOCOL_OFFSET, BRIDGE_DATA_ACL_PROTOCOL_SIZE,
     [](const char *text) { return valid_protocol(text); }},
};

const Item *item_of(int item) {
  return item >= 0 && size_t(item) < std::size(kItems) ? &kItems[item] : nullptr;
}

bool fails(const char *accessor, int index = 0) { return igd1::mib::should_fail(accessor, index); }

}  // namespace

int BridgeDataAcl_init(void) {
  if (fails("BridgeDataAcl_init")) return 0;
  rows().reload();
  return 1;
}

mib_list_node *BridgeDataAcl_get_list_by_instnum(uint32_t instance, uint32_t *index) {
  if (fails("BridgeDataAcl_get_list_by_instnum")) return nullptr;
  if (instance == 0) {
    if (index != nullptr) *index = 0;
    return rows().head();
  }
  return rows().find(instance, index);
}

uint32_t BridgeDataAclList_get_instnum(const void *row) {
  return row != nullptr ? static_cast<const uint8_t *>(row)[0] : 0;
}

int BridgeDataAcl_get_mib_property(int item, void *output, const void *row) {
  const Item *field = item_of(item);
  if (field == nullptr || output == nullptr || row == nullptr ||
      fails("BridgeDataAcl_get_mib_property", item))
    return 0;
  const char *text = static_cast<const char *>(row) + field->offset;
  const size_t length = strnlen(text, field->size - 1);
  std::memcpy(output, text, length);
  static_cast<char *>(output)[length] = '\0';
  return 1;
}

int BridgeDataAcl_set_mib_property(int item, const void *value, void *row) {
  const Item *field = item_of(item);
  if (field == nullptr || value == nullptr || row == nullptr ||
      fails("BridgeDataAcl_set_mib_property", item))
    return 0;
  const char *text = static_cast<const char *>(value);
  if (strnlen(text, field->size) >= field->size || !field->valid(text)) return 0;
  char *stored = static_cast<char *>(row) + field->offset;
  std::memset(stored, 0, field->size);
  std::memcpy(stored, text, std::strlen(text));
  return 1;
}

void *BridgeDataAcl_backup_entry(const void *row) {
  if (row == nullptr || fails("BridgeDataAcl_backup_entry")) return nullptr;
  void *copy = std::malloc(BRIDGE_DATA_ACL_ROW_SIZE);
  if (copy != nullptr) std::memcpy(copy, row, BRIDGE_DATA_ACL_ROW_SIZE);
  return copy;
}

void BridgeDataAcl_free_backup_entry(void *copy) { std::free(copy); }

int BridgeDataAcl_update_entry_mib(const void *copy) {
  if (copy == nullptr || fails("BridgeDataAcl_update_entry_mib")) return 0;
  // The record's own checks hold for every stored value: a copy that got
  // past them in another way is refused as a whole.
  const auto *row = static_cast<const uint8_t *>(copy);
  for (const Item &field : kItems) {
    const char *text = reinterpret_cast<const char *>(row + field.offset);
    const size_t length = strnlen(text, field.size);
    if (length == field.size || (length > 0 && !field.valid(text))) return 0;
  }
  return rows().store(row) ? 1 : 0;
}

int BridgeDataAcl_insert_entry(void *row) {
  if (row == nullptr || fails("BridgeDataAcl_insert_entry")) return 0;
  return rows().insert(static_cast<uint8_t *>(row)) ? 1 : 0;
}

int BridgeDataAcl_remove_entry(uint32_t index, mib_list_node *node) {
  if (fails("BridgeDataAcl_remove_entry")) return 0;
  mib_list_node *at = rows().at(index);
  if (at == nullptr || (node != nullptr && node->data != nullptr &&
                        static_cast<uint8_t *>(node->data)[0] != static_cast<uint8_t *>(at->data)[0]))
    return 0;
  return rows().remove(static_cast<uint8_t *>(at->data)[0]) ? 1 : 0;
}

int BridgeDataAcl_apply_change(void) {
  if (fails("BridgeDataAcl_apply_change")) return 0;
  igd1::mib::journal_append(MIB_CFG_BRIDGE_DATA_ACL, MIB_ACTION_APPLY,
                            std::to_string(rows().size()) + " rules");
  return 1;
}
