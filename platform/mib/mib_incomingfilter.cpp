// The incoming filter: traffic let in to the gateway itself, one row per
// rule in the table "incomingfilter" (at most INCOMING_FILTER_MAX_ENTRIES).
// Two rules are equal when family, protocol, side, port and remote address
// are.  Saving records a notice under MIB_CFG_INCOMING_FILTER with the number
// of rules, for the firewall to apply them.
#include <cstddef>
#include <cstring>
#include <iterator>
#include <string>

#include "mib_internal.h"
#include "mib_services.h"
#include "mib_store.h"
#include "mib_table.h"

namespace {

using K = igd1::mib::ValueKind;
using Entry = incoming_filter_entry;
static_assert(sizeof(Entry) == 76);

constexpr igd1::mib::Column kColumns[] = {
    {"Family", K::U8, offsetof(Entry, family), 1},
    {"Protocol", K::U8, offsetof(Entry, protocol), 1},
    {"Interface", K::U8, offsetof(Entry, interface), 1},
    {"Port", K::U32, offsetof(Entry, port), 4},
    {"RemoteIP", K::Text, offsetof(Entry, remote), sizeof(Entry::remote)},
};

constexpr igd1::mib::TableSpec kSpec = {
    .def = igd1::mib::record_table("incomingfilter", "IncomingFilter", sizeof(Entry), kColumns,
                                   INCOMING_FILTER_MAX_ENTRIES),
    .prefix = "incomingFilter",
};
igd1::mib::Table g_table(kSpec);
constexpr const igd1::mib::TableDef &kTable = kSpec.def;

bool same_rule(const Entry &a, const Entry &b) {
  return a.family == b.family && a.protocol == b.protocol && a.interface == b.interface &&
         a.port == b.port && strncmp(a.remote, b.remote, sizeof a.remote) == 0;
}

// The row of a rule equal to `entry`, or 0.
uint32_t find_rule(const Entry &entry) {
  for (const std::vector<uint8_t> &row : igd1::mib::table_rows(kTable)) {
    Entry stored;
    std::memcpy(&stored, row.data(), sizeof stored);
    if (same_rule(stored, entry)) return stored.instance;
  }
  return 0;
}

}  // namespace

int incomingFilter_insert_entry(incoming_filter_entry *entry) {
  if (entry == nullptr || igd1::mib::should_fail("incomingFilter_insert_entry", 0)) return 0;
  if (find_rule(*entry) != 0) return 2;
  if (igd1::mib::table_rows(kTable).size() >= kTable.max_rows) return 3;
  return igd1::mib::table_insert(kTable, reinterpret_cast<uint8_t *>(entry)) ? 1 : 0;
}

int incomingFilter_del_entry(const incoming_filter_entry *entry) {
  if (entry == nullptr || igd1::mib::should_fail("incomingFilter_del_entry", 0)) return 0;
  const uint32_t instance = find_rule(*entry);
  if (instance == 0) return 4;
  return igd1::mib::table_remove(kTable, instance) ? 1 : 0;
}

const char *incomingFilter_result_text(int result) {
  switch (result) {
    case 1: return "Success";
    case 2: return "entry exists";
    case 3: return "table full";
    case 4: return "no such entry";
    default: return "store failed";
  }
}

int incomingFilter_save_mib(void) {
  if (igd1::mib::should_fail("incomingFilter_save_mib", 0)) return 0;
  const size_t rules = igd1::mib::table_rows(kTable).size();
  return igd1::mib::detail::append_journal_entry(MIB_CFG_INCOMING_FILTER, 255,
                                                 "rules=" + std::to_string(rules))
             ? 1
             : 0;
}
