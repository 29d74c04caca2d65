// The access filters: six tables of fixed-size records (layouts in
// mib_filters.h) that share one set of calls.  A row is checked as a whole
// before it is stored, because the filters feed the gateway's firewall and
// DNS relay: MAC texts, address lists, host-name lists and schedules must
// parse.  Every stored row is applied at once and journalled under
// MIB_CFG_FILTERS with the table, the row and what it holds; so are saves,
// removals and the entries handed to a running application filter.
//
// A new store holds a few realistic rules, all disabled, so that the tables
// are not empty on a fresh gateway; a table that was emptied stays empty.
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "mib_filters.h"
#include "mib_store.h"
#include "mib_table.h"

namespace {

using K = igd1::mib::ValueKind;
using igd1::mib::Column;
using igd1::mib::every_entry;
using igd1::mib::record_table;
using igd1::mib::seed_records;
using igd1::mib::Table;
using igd1::mib::TableDef;
using igd1::mib::TableSpec;
using igd1::mib::TextCheck;

constexpr unsigned kMaxRows = 255;

// ---- value checks ----------------------------------------------------------------

bool valid_mac(std::string_view text) {
  const bool colons = text.size() == 17;
  if (!colons && text.size() != 12) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (colons && i % 3 == 2) {
      if (text[i] != ':') return false;
    } else if (!g_ascii_isxdigit(text[i])) {
      return false;
    }
  }
  return true;
}

// An address, or an address with a prefix length ("192.168.1.0/24").
bool valid_destination(std::string_view text) {
  const size_t slash = text.find('/');
  const std::string_view address = text.substr(0, slash);
  if (!igd1::mib::ip_address(address)) return false;
  const long most_bits = address.find(':') != std::string_view::npos ? 128 : 32;
  return slash == std::string_view::npos || igd1::mib::decimal(text.substr(slash + 1), 0, most_bits);
}

// A host name or domain, possibly with a leading wildcard label ("*.example.com").
bool valid_host(std::string_view text) {
  if (text.starts_with("*.")) text.remove_prefix(2);
  if (text.empty() || text.size() > 253 || text.front() == '.' || text.back() == '.') return false;
  for (char c : text)
    if (!g_ascii_isalnum(c) && c != '-' && c != '.' && c != '_') return false;
  return true;
}

// A URL pattern: printable, no blanks.
bool valid_url(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (uint8_t(c) <= ' ' || uint8_t(c) == 0x7f) return false;
  return true;
}

// "HH:MM", both with two digits.
bool valid_clock(std::string_view text) {
  if (text.size() != 5 || text[2] != ':') return false;
  const auto hours = igd1::mib::parse_whole<unsigned>(text.substr(0, 2));
  const auto minutes = igd1::mib::parse_whole<unsigned>(text.substr(3));
  return hours && minutes && *hours <= 23 && *minutes <= 59;
}

// Week days: "" (every day) or days 1 (Monday) to 7 joined by ','.
bool valid_weekdays(std::string_view text) {
  if (text.empty()) return true;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool day_place = i % 2 == 0;
    if (day_place ? (text[i] < '1' || text[i] > '7') : text[i] != ',') return false;
  }
  return text.size() % 2 == 1;
}

bool valid_time(std::string_view text) {
  return every_entry(text, ',', [](std::string_view window) {
    return window.size() == 11 && window[5] == '-' && valid_clock(window.substr(0, 5)) &&
           valid_clock(window.substr(6));
  });
}

// ---- the tables -----------------------------------------------------------------

bool mac_or_empty(std::string_view text) { return text.empty() || valid_mac(text); }
bool hex_mac(std::string_view text) { return text.empty() || (text.size() == 12 && valid_mac(text)); }
// Lists joined by ';'.
bool hosts(std::string_view text) { return every_entry(text, ';', valid_host); }
bool urls(std::string_view text) { return every_entry(text, ';', valid_url); }
bool destinations(std::string_view text) { return every_entry(text, ';', valid_destination); }
bool macs(std::string_view text) { return every_entry(text, ';', valid_mac); }

constexpr Column kDnsColumns[] = {
    {"Enable", K::U8, 1, 1},        {"Action", K::U8, 2, 1},
    {"Mode", K::U8, 3, 1},          {"BlockedTimes", K::U32, 4, 4},
    {"Name", K::Text, 8, 64},       {"Hostname", K::Text, 72, 256},
    {"MAC", K::Text, 328, 13},      {"WeekDays", K::Text, 341, 33},
    {"Time", K::Text, 374, 65},     {"HostNameList", K::Text, 439, FILTER_LIST_SIZE},
};
constexpr TextCheck kDnsChecks[] = {
    {6, hex_mac}, {7, valid_weekdays}, {8, valid_time}, {9, hosts}};

constexpr Column kUrlColumns[] = {
    {"Enable", K::U8, 1, 1},      {"Mode", K::U8, 2, 1},      {"BlockedTimes", K::U32, 4, 4},
    {"URL", K::Text, 8, 256},     {"MAC", K::Text, 264, 512}, {"Name", K::Text, 776, 64},
    {"WeekDays", K::Text, 840, 33}, {"Time", K::Text, 873, 65},
    {"URLList", K::Text, 938, FILTER_LIST_SIZE},
};
constexpr TextCheck kUrlChecks[] = {{6, valid_weekdays}, {7, valid_time}, {8, urls}};

constexpr Column kBlockColumns[] = {
    {"BlockedTimes", K::U32, 4, 4}, {"MAC", K::Text, 8, 18}, {"Name", K::Text, 26, 64}};
constexpr TextCheck kBlockChecks[] = {{1, mac_or_empty}};

constexpr Column kWhiteColumns[] = {{"MAC", K::Text, 1, 18}, {"Name", K::Text, 19, 64}};
constexpr TextCheck kWhiteChecks[] = {{0, mac_or_empty}};

constexpr Column kAppFilterColumns[] = {
    {"Enable", K::U8, 1, 1},          {"Mode", K::U8, 2, 1},
    {"DomainAction", K::U8, 3, 1},    {"DestIPAction", K::U8, 4, 1},
    {"SignalEnable", K::U8, 5, 1},    {"BlockedTimes", K::U32, 8, 4},
    {"AppId", K::Text, 12, 33},       {"Name", K::Text, 45, 64},
    {"WeekDays", K::Text, 109, 33},   {"Time", K::Text, 142, 65},
    {"DomainList", K::Text, APPFILTER_DOMAIN_LIST_AT, FILTER_DOMAIN_LIST_SIZE},
    {"DestIPList", K::Text, APPFILTER_DESTINATION_LIST_AT, FILTER_DESTINATION_LIST_SIZE},
    {"MACList", K::Text, APPFILTER_MAC_LIST_AT, FILTER_MAC_LIST_SIZE},
};
constexpr TextCheck kAppFilterChecks[] = {
    {8, valid_weekdays}, {9, valid_time}, {10, hosts}, {11, destinations}, {12, macs}};

constexpr Column kAppRouteColumns[] = {
    {"Enable", K::U8, 1, 1},           {"MatchType", K::U8, 2, 1},
    {"DSCPMarkValue_UP", K::U8, 3, 1}, {"DSCPMarkValue_DOWN", K::U8, 4, 1},
    {"AppId", K::Text, 5, 33},         {"Name", K::Text, 38, 64},
    {"IfName", K::Text, 102, 33},
    {"DomainList", K::Text, APPROUTE_DOMAIN_LIST_AT, FILTER_DOMAIN_LIST_SIZE},
    {"DestIPList", K::Text, APPROUTE_DESTINATION_LIST_AT, FILTER_DESTINATION_LIST_SIZE},
    {"MACList", K::Text, APPROUTE_MAC_LIST_AT, FILTER_MAC_LIST_SIZE},
};
constexpr TextCheck kAppRouteChecks[] = {{7, hosts}, {8, destinations}, {9, macs}};

// ---- the rules of a new store -------------------------------------------------------

constexpr TableDef kDnsDef = record_table("dnsfilter", "DNSFilter", DNSFILTER_ROW_SIZE, kDnsColumns, kMaxRows);
constexpr TableDef kUrlDef = record_table("urlfilter", "URLFilter", URLFILTER_ROW_SIZE, kUrlColumns, kMaxRows);
constexpr TableDef kBlockDef =
    record_table("macblocklist", "MACBlockList", MACBLOCKLIST_ROW_SIZE, kBlockColumns, kMaxRows);
constexpr TableDef kWhiteDef =
    record_table("macwhitelist", "MACWhiteList", MACWHITELIST_ROW_SIZE, kWhiteColumns, kMaxRows);
constexpr TableDef kAppFilterDef =
    record_table("appfilter", "AppFilter", APPFILTER_ROW_SIZE, kAppFilterColumns, kMaxRows);
constexpr TableDef kAppRouteDef =
    record_table("approute", "AppRoute", APPROUTE_ROW_SIZE, kAppRouteColumns, kMaxRows);

std::vector<uint8_t> dns_seed() {
  return seed_records(kDnsDef, {{{"Name", "Advertising"}, {"Action", "1"}, {"WeekDays", "1,2,3,4,5,6,7"},
                                 {"HostNameList", "ads.example.net;*.doubleclick.example;tracker.example.org"}}});
}
std::vector<uint8_t> url_seed() {
  return seed_records(kUrlDef, {{{"Name", "Homework hours"}, {"Mode", "0"}, {"WeekDays", "1,2,3,4,5"},
                                 {"Time", "16:00-18:30"},
                                 {"URLList", "video.example.com;games.example.com/play"}}});
}
std::vector<uint8_t> block_seed() {
  return seed_records(kBlockDef, {{{"Name", "Old tablet"}, {"MAC", "02:1a:2b:3c:4d:5e"}}});
}
std::vector<uint8_t> app_filter_seed() {
  return seed_records(
      kAppFilterDef,
      {{{"AppId", "1001"}, {"Name", "Video streaming"}, {"Mode", "1"}, {"DomainAction", "1"},
        {"WeekDays", "1,2,3,4,5"}, {"Time", "23:00-23:59,00:00-06:00"},
        {"DomainList", "video.example.com;cdn.video.example.com"},
        {"DestIPList", "203.0.113.0/24;198.51.100.17"}},
       {{"AppId", "1002"}, {"Name", "Online games"}, {"Mode", "1"}, {"DestIPAction", "1"},
        {"DomainList", "play.games.example.net"}, {"DestIPList", "192.0.2.44;2001:db8:77::/48"},
        {"MACList", "02:aa:bb:cc:dd:01"}}});
}
std::vector<uint8_t> app_route_seed() {
  return seed_records(kAppRouteDef,
                      {{{"AppId", "2001"}, {"Name", "Work VPN"}, {"MatchType", "1"}, {"IfName", "wan1"},
                        {"DSCPMarkValue_UP", "46"}, {"DSCPMarkValue_DOWN", "46"},
                        {"DomainList", "vpn.corp.example"}, {"DestIPList", "198.51.100.0/24"}}});
}

constexpr TableSpec kDns = {.def = kDnsDef, .prefix = "dnsfilter", .checks = kDnsChecks,
                            .seed_marker = "dnsfilter.seeded", .seed = dns_seed};
constexpr TableSpec kUrl = {.def = kUrlDef, .prefix = "urlfilter", .checks = kUrlChecks,
                            .seed_marker = "urlfilter.seeded", .seed = url_seed};
constexpr TableSpec kBlock = {.def = kBlockDef, .prefix = "macblocklist", .checks = kBlockChecks,
                              .seed_marker = "macblocklist.seeded", .seed = block_seed};
constexpr TableSpec kWhite = {.def = kWhiteDef, .prefix = "macwhitelist", .checks = kWhiteChecks};
constexpr TableSpec kAppFilter = {.def = kAppFilterDef, .prefix = "appfilter",
                                  .checks = kAppFilterChecks, .seed_marker = "appfilter.seeded",
                                  .seed = app_filter_seed};
constexpr TableSpec kAppRoute = {.def = kAppRouteDef, .prefix = "approute",
                                 .checks = kAppRouteChecks, .seed_marker = "approute.seeded",
                                 .seed = app_route_seed};

Table g_dns(kDns), g_url(kUrl), g_block(kBlock), g_white(kWhite), g_app_filter(kAppFilter),
    g_app_route(kAppRoute);

// ---- the calls ---------------------------------------------------------------------

void journal(const Table &table, int action, const std::string &what) {
  igd1::mib::journal_append(MIB_CFG_FILTERS, action, std::string(table.spec().def.name) + what);
}

int update_entry(Table &table, const void *copy, uint32_t position, const char **message,
                 int flags) {
  if (const char *why = table.update_at(copy, position)) {
    if (message != nullptr) *message = why;
    return 0;
  }
  igd1::mib::journal_append(MIB_CFG_FILTERS, flags != 0 ? 1 : MIB_ACTION_APPLY,
                            table.describe(static_cast<const uint8_t *>(copy)));
  return 1;
}

int insert_entry(Table &table, void *record) {
  const uint32_t instance = table.insert_empty();
  if (instance != 0 && record != nullptr)
    std::memcpy(record, table.find(instance, nullptr)->data, table.spec().def.row_size);
  return int(instance);
}

int remove_entry(Table &table, uint32_t position, mib_list_node *node) {
  igd1::mib::RowKey removed = 0;
  if (!table.remove(position, node, &removed)) return 0;
  journal(table, MIB_ACTION_APPLY, "[" + igd1::mib::key_text(removed) + "] removed");
  return 1;
}

int save_mib(Table &table) {
  if (table.fails("save_mib")) return 0;
  journal(table, MIB_ACTION_APPLY, " saved, " + std::to_string(table.rows().size()) + " rules");
  return dbus_do_ExtraMIB2flash();
}

int remove_objects(Table &table) {
  if (table.fails("remove_objects")) return 0;
  while (mib_list_node *head = table.rows().head())
    if (!table.rows().remove(table.instance_of(head->data))) return 0;
  journal(table, MIB_ACTION_APPLY, " all removed");
  return 1;
}

int handle_action_entry(Table &table, int type, int action, gchar **entries) {
  if (table.fails("handle_action_entry") || entries == nullptr) return 0;
  g_autofree gchar *joined = g_strjoinv(";", entries);
  journal(table, action,
          " list " + std::to_string(type) + (action == 0 ? " added " : " removed ") + joined);
  return 1;
}

}  // namespace

#define IGD1_FILTER_TABLE(p, t, spec, removes)                                                         \
  int p##_update_all(void) { return t.init() ? 1 : 0; }                                    \
  mib_list_node *p##_get_list(int) { return t.find(0, nullptr); }                          \
  mib_list_node *p##_get_list_by_instnum(uint32_t instance, uint32_t *position) {              \
    return t.find(instance, position);                                                     \
  }                                                                                            \
  uint32_t p##_get_instnum(const void *record) { return t.instance_of(record); }           \
  void *p##_backup_entry(const void *record) { return t.backup(record); }                  \
  void p##_free_backup_entry(void *copy) { Table::free_copy(copy); }                           \
  int p##_update_entry(const void *copy, uint32_t position, const char **message, int flags) { \
    return update_entry(t, copy, position, message, flags);                                \
  }                                                                                            \
  int p##_insert_entry(void *record) { return insert_entry(t, record); }                   \
  int p##_remove_entry(uint32_t position, mib_list_node *node) {                               \
    return remove_entry(t, position, node);                                                \
  }                                                                                            \
  int p##_save_mib(void) { return save_mib(t); }                                           \
  uint64_t p##_commit_count(void) { return igd1::mib::table_commit_count(t.rows().table()); } \
  const mib_table_ops p##_table = igd1::mib::table_ops<t, spec>(                             \
      {.insert_entry = p##_insert_entry, .remove_entry = p##_remove_entry,                    \
       .save_mib = p##_save_mib, .update_entry = p##_update_entry, .remove_all = removes});

IGD1_FILTER_TABLE(dnsfilter, g_dns, kDns, nullptr)
IGD1_FILTER_TABLE(urlfilter, g_url, kUrl, nullptr)
IGD1_FILTER_TABLE(macblocklist, g_block, kBlock, nullptr)
IGD1_FILTER_TABLE(macwhitelist, g_white, kWhite, nullptr)
IGD1_FILTER_TABLE(appfilter, g_app_filter, kAppFilter, AppFilter_remove_objects)
IGD1_FILTER_TABLE(AppRoute, g_app_route, kAppRoute, AppRoute_remove_objects)

int AppFilter_remove_objects(void) { return remove_objects(g_app_filter); }
int AppRoute_remove_objects(void) { return remove_objects(g_app_route); }
int appfilter_handle_action_entry(int type, int action, gchar **entries) {
  return handle_action_entry(g_app_filter, type, action, entries);
}
int AppRoute_handle_action_entry(int type, int action, gchar **entries) {
  return handle_action_entry(g_app_route, type, action, entries);
}

int isValidTime(const char *text) { return text != nullptr && valid_time(text) ? 1 : 0; }
