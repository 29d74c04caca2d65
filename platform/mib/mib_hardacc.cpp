// Hardware-acceleration cancel: the switch and limit of the feature (the
// settings "hardacc.Enable" and "hardacc.MaxNumber") and the table
// "hardacccancel" of flows the packet engine must leave to software, one
// 152-byte record per rule (layout in mib_filters.h).  Unlike the other
// tables, every call returns 0 on success.
//
// Addresses, ports and protocols are checked before anything is stored or
// applied, both when a value is set into a working copy and when a copy is
// committed.  Every applied rule, switch change and flush is journalled under
// MIB_CFG_HARDACC; flushes also reach the packet engine's flow-table flush.
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "mib_filters.h"
#include "mib_store.h"
#include "mib_table.h"

// The packet engine lives in the host process; a store used without it
// (its own tools and tests) flushes nothing.
extern "C" int ykr_fc_flow_flush2(int mode) __attribute__((weak));

namespace {

using K = igd1::mib::ValueKind;

constexpr igd1::mib::Column kColumns[] = {
    {"Enable", K::U8, 4, 1},
    {"SrcPort", K::U32, 8, 4},
    {"DestPort", K::U32, 12, 4},
    {"Index", K::Text, 16, 33},
    {"SrcAddress", K::Text, 49, HARDACC_ADDRESS_SIZE},
    {"DestAddress", K::Text, 95, HARDACC_ADDRESS_SIZE},
    {"Protocol", K::Text, 141, 8},
};

constexpr char kEnableSetting[] = "hardacc.Enable";
constexpr char kMaxSetting[] = "hardacc.MaxNumber";
// The manager's writable items by number: a switch, and a limit of rules.
constexpr igd1::mib::Item kEnableItem = {kEnableSetting, K::U8, 1, nullptr,
                                         igd1::mib::within<uint8_t, 0, 1>};
constexpr igd1::mib::Item kMaxItem = {kMaxSetting, K::U32, 4, nullptr,
                                      igd1::mib::within<uint32_t, 1, HARDACC_MAX_ROWS>};
constexpr uint32_t kDefaultMax = 32;
constexpr int kFlushConnection = 1;
constexpr int kFlushAll = 2;

constexpr const char *kProtocols[] = {"", "TCP", "UDP", "ICMP", "ALL"};

// An IPv4 or IPv6 address; "" stands for any address.
bool valid_address(std::string_view text) { return text.empty() || igd1::mib::ip_address(text); }

bool valid_protocol(std::string_view text) { return igd1::mib::one_of(text, kProtocols); }

bool valid_port(uint32_t port) { return port <= 65535; }

bool fails(const char *call) { return igd1::mib::should_fail(call, 0); }

uint32_t setting_number(const char *name, uint32_t fallback) {
  const std::string text = igd1::mib::get_setting(name).value_or("");
  uint32_t value = 0;
  return igd1::mib::parse_value(K::U32, text, &value, sizeof value) ? value : fallback;
}

// The items of a rule (counting from 1) and the values a write accepts.
constexpr igd1::mib::TableItem kItems[] = {
    {.column = 3},
    {.column = 0, .low = 0, .high = 1},
    {.column = 4, .valid = [](const char *text) { return valid_address(text); }},
    {.column = 1, .low = 0, .high = 65535},
    {.column = 5, .valid = [](const char *text) { return valid_address(text); }},
    {.column = 2, .low = 0, .high = 65535},
    {.column = 6, .valid = [](const char *text) { return valid_protocol(text); }},
};

const igd1::mib::Column *rule_item(int item) {
  return item >= 1 && size_t(item) <= std::size(kItems) ? &kColumns[kItems[item - 1].column] : nullptr;
}

// A caller passes the address of a text (8 bytes) and a number at its width.
int width_of(const igd1::mib::Column &column) { return column.kind == K::Text ? 8 : int(column.size); }

// The fields that make a rule unfit to store.
constexpr igd1::mib::TextCheck kChecks[] = {{4, valid_address}, {5, valid_address}, {6, valid_protocol}};
constexpr igd1::mib::RangeCheck kRanges[] = {{0, 0, 1}, {1, 0, 65535}, {2, 0, 65535}};

std::vector<uint8_t> sip_rule();
constexpr igd1::mib::TableSpec kSpec = {
    .def = igd1::mib::record_table("hardacccancel", "HardAccCancel", HARDACC_ROW_SIZE, kColumns,
                                   HARDACC_MAX_ROWS),
    .prefix = "HardAccCancel",
    .items = kItems,
    .checks = kChecks,
    .ranges = kRanges,
    .seed_marker = "hardacccancel.seeded",
    .seed = sip_rule,
};
igd1::mib::Table g_table(kSpec);

// A new store holds one rule, disabled: SIP signalling, which some platforms
// must see in software to rewrite addresses.
std::vector<uint8_t> sip_rule() {
  return igd1::mib::seed_records(
      kSpec.def, {{{"Index", "sip-signalling"}, {"DestPort", "5060"}, {"Protocol", "UDP"}}});
}

}  // namespace

// ---- the switch and limit ---------------------------------------------------------

int HardAccCancelManager_get_mib_property(int item, void *out, int width) {
  if (out == nullptr || fails("HardAccCancelManager_get_mib_property")) return 1;
  if (item == 1 && width == 1) {
    *static_cast<uint8_t *>(out) = setting_number(kEnableSetting, 0) != 0 ? 1 : 0;
    return 0;
  }
  // 2: the number of rules, 3: their limit.
  if ((item != 2 && item != 3) || width != 4) return 1;
  const uint32_t value =
      item == 2 ? uint32_t(g_table.rows().size()) : setting_number(kMaxSetting, kDefaultMax);
  std::memcpy(out, &value, sizeof value);
  return 0;
}

int HardAccCancelManager_set_mib_property(int item, const void *value, int width) {
  if (value == nullptr || fails("HardAccCancelManager_set_mib_property")) return 1;
  const igd1::mib::Item *setting = item == 1 ? &kEnableItem : item == 3 ? &kMaxItem : nullptr;
  return setting != nullptr && width == int(setting->size) && igd1::mib::write_item(*setting, value)
             ? 0
             : 1;
}

int HardAccCancelManager_update_entry(void) {
  if (fails("HardAccCancelManager_update_entry")) return 1;
  igd1::mib::journal_append(MIB_CFG_HARDACC, MIB_ACTION_APPLY,
                            "hardacc Enable=" + std::to_string(setting_number(kEnableSetting, 0)) +
                                " MaxNumber=" +
                                std::to_string(setting_number(kMaxSetting, kDefaultMax)));
  return 0;
}

// ---- rules ------------------------------------------------------------------------

int HardAccCancel_get_mib_property(int item, void *out, int width, const void *record) {
  const igd1::mib::Column *field = rule_item(item);
  if (field == nullptr || out == nullptr || record == nullptr || width != width_of(*field) ||
      igd1::mib::should_fail("HardAccCancel_get_mib_property", item))
    return 1;
  const auto *row = static_cast<const uint8_t *>(record);
  if (width == 8)
    *static_cast<const char **>(out) = reinterpret_cast<const char *>(row + field->offset);
  else
    std::memcpy(out, row + field->offset, size_t(width));
  return 0;
}

int HardAccCancel_set_mib_property(int item, const void *value, int width, void *record) {
  const igd1::mib::Column *field = rule_item(item);
  if (field == nullptr || width != width_of(*field)) return 1;
  return g_table.set(item - 1, value, record) ? 0 : 1;
}

int HardAccCancel_update_all(void) { return g_table.init() ? 0 : 1; }

mib_list_node *HardAccCancel_get_list(int) { return g_table.list(); }

mib_list_node *HardAccCancel_get_list_by_instnum(uint32_t instance, uint32_t *position) {
  return g_table.find(instance, position);
}

uint32_t HardAccCancel_get_instnum(const void *record) { return g_table.instance_of(record); }

int HardAccCancel_backup_entry(const void *record, void **copy) {
  if (copy == nullptr) return 1;
  *copy = g_table.backup(record);
  return *copy != nullptr ? 0 : 1;
}

void HardAccCancel_free_backup_entry(void **copy) {
  if (copy == nullptr) return;
  igd1::mib::Table::free_copy(*copy);
  *copy = nullptr;
}

int HardAccCancel_update_entry(const void *copy, uint32_t position, const char **message) {
  const char *why = copy == nullptr                   ? "no rule"
                    : g_table.fails("update_entry") ? "the table refused the rule"
                                                    : g_table.update_at(copy, position);
  if (why != nullptr) {
    if (message != nullptr) *message = why;
    return 1;
  }
  igd1::mib::journal_append(MIB_CFG_HARDACC, MIB_ACTION_APPLY,
                            g_table.describe(static_cast<const uint8_t *>(copy)));
  return 0;
}

int HardAccCancel_insert_entry(int) {
  if (g_table.rows().size() >= setting_number(kMaxSetting, kDefaultMax)) return 0;
  return int(g_table.insert_empty());
}

int HardAccCancel_remove_entry(uint32_t position, mib_list_node *node) {
  igd1::mib::RowKey removed = 0;
  if (!g_table.remove(position, node, &removed)) return 1;
  igd1::mib::journal_append(MIB_CFG_HARDACC, MIB_ACTION_APPLY,
                            "hardacccancel[" + igd1::mib::key_text(removed) + "] removed");
  return 0;
}

int HardAccCancel_save_mib(void) {
  if (g_table.fails("save_mib")) return 1;
  igd1::mib::journal_append(MIB_CFG_HARDACC, MIB_ACTION_APPLY,
                            "hardacccancel saved, " + std::to_string(g_table.rows().size()) +
                                " rules");
  return dbus_do_ExtraMIB2flash() != 0 ? 0 : 1;
}

// ---- flushes ----------------------------------------------------------------------

int HardAccCancel_handle_flush_flow(const char *src, uint32_t src_port, const char *dest,
                                    uint32_t dest_port, const char *protocol) {
  if (src == nullptr || dest == nullptr || protocol == nullptr ||
      !valid_address(src) || !valid_address(dest) ||
      !valid_port(src_port) || !valid_port(dest_port) || !valid_protocol(protocol) ||
      fails("HardAccCancel_handle_flush_flow"))
    return 1;
  igd1::mib::journal_append(MIB_CFG_HARDACC, kFlushConnection,
                            std::string("flush ") + protocol + " " + src + ":" +
                                std::to_string(src_port) + " -> " + dest + ":" +
                                std::to_string(dest_port));
  return ykr_fc_flow_flush2 != nullptr ? ykr_fc_flow_flush2(kFlushConnection) : 0;
}

int HardAccCancel_handle_flush_all_flow(void) {
  if (fails("HardAccCancel_handle_flush_all_flow")) return 1;
  igd1::mib::journal_append(MIB_CFG_HARDACC, kFlushAll, "flush all");
  return ykr_fc_flow_flush2 != nullptr ? ykr_fc_flow_flush2(kFlushAll) : 0;
}

// The calls above answer 0 on success; the table's operations answer non-zero.
namespace {
template <auto call, typename... Args>
int zero_is_success(Args... args) {
  return call(args...) == 0 ? 1 : 0;
}
}  // namespace

// The generic operations, but for the insert limit, the journalled removal,
// rule texts handed out as the record's own text, and the checked update.
const mib_table_ops HardAccCancel_table = igd1::mib::table_ops<g_table, kSpec>(
    {// A new rule's number is written where the caller reads it.
     .insert_entry = [](void *row) {
       const int instance = HardAccCancel_insert_entry(0);
       if (instance <= 0) return 0;
       static_cast<uint8_t *>(row)[0] = uint8_t(instance);
       return 1;
     },
     .remove_entry = zero_is_success<HardAccCancel_remove_entry, uint32_t, mib_list_node *>,
     .save_mib = zero_is_success<HardAccCancel_save_mib>,
     .get_item = [](int item, void *output, const void *row) {
       const char *text = nullptr;
       if (HardAccCancel_get_mib_property(item, &text, 8, row) != 0 || text == nullptr) return 0;
       g_strlcpy(static_cast<char *>(output), text, HARDACC_ADDRESS_SIZE + 1);
       return 1;
     },
     .set_item = [](int item, const void *value, void *row) {
       return HardAccCancel_set_mib_property(item, value, 8, row) == 0 ? 1 : 0;
     },
     .update_entry = [](const void *copy, uint32_t position, const char **reason, int) {
       return HardAccCancel_update_entry(copy, position, reason) == 0 ? 1 : 0;
     }});
