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
#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <span>
#include <string_view>
#include <vector>

#include "mib_filters.h"
#include "mib_rowlist.h"
#include "mib_store.h"

namespace {

using K = igd1::mib::ValueKind;
using igd1::mib::Column;
using igd1::mib::RowList;
using igd1::mib::TableDef;

constexpr unsigned kMaxRows = 255;

// ---- value checks ----------------------------------------------------------------

bool is_digit(char c) { return c >= '0' && c <= '9'; }

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

bool valid_address(std::string_view text) {
  if (text.size() >= INET6_ADDRSTRLEN) return false;
  const std::string copy(text);
  uint8_t address[16];
  return inet_pton(AF_INET, copy.c_str(), address) == 1 ||
         inet_pton(AF_INET6, copy.c_str(), address) == 1;
}

// An address, or an address with a prefix length ("192.168.1.0/24").
bool valid_destination(std::string_view text) {
  const size_t slash = text.find('/');
  if (slash == std::string_view::npos) return valid_address(text);
  const std::string_view length = text.substr(slash + 1);
  if (length.empty() || length.size() > 3 || (length.size() > 1 && length[0] == '0')) return false;
  unsigned bits = 0;
  for (char c : length) {
    if (!is_digit(c)) return false;
    bits = bits * 10 + unsigned(c - '0');
  }
  const std::string_view address = text.substr(0, slash);
  return valid_address(address) && bits <= (address.find(':') != std::string_view::npos ? 128u : 32u);
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

bool valid_clock(std::string_view text) {
  if (text.size() != 5 || text[2] != ':' || !is_digit(text[0]) || !is_digit(text[1]) ||
      !is_digit(text[3]) || !is_digit(text[4]))
    return false;
  return (text[0] - '0') * 10 + (text[1] - '0') <= 23 && text[3] <= '5';
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
  if (text.empty()) return true;
  while (true) {
    const size_t comma = text.find(',');
    const std::string_view window = text.substr(0, comma);
    if (window.size() != 11 || window[5] != '-' || !valid_clock(window.substr(0, 5)) ||
        !valid_clock(window.substr(6)))
      return false;
    if (comma == std::string_view::npos) return true;
    text.remove_prefix(comma + 1);
  }
}

// Every entry of a ';'-joined list passes `valid`.
bool valid_list(std::string_view text, bool (*valid)(std::string_view)) {
  if (text.empty()) return true;
  while (true) {
    const size_t separator = text.find(';');
    if (!valid(text.substr(0, separator))) return false;
    if (separator == std::string_view::npos) return true;
    text.remove_prefix(separator + 1);
  }
}

// ---- the tables -----------------------------------------------------------------

// What a column must hold for its row to be stored.
enum class Check : uint8_t { Mac, MacOrEmpty, HexMac, Hosts, Urls, Destinations, Macs, WeekDays,
                             Time };

struct ColumnCheck {
  size_t column;  // index into the table's columns
  Check check;
};

struct Filter {
  TableDef def;
  std::span<const ColumnCheck> checks;
  const char *save_accessor;
};

bool passes(Check check, std::string_view text) {
  switch (check) {
    case Check::Mac: return valid_mac(text);
    case Check::MacOrEmpty: return text.empty() || valid_mac(text);
    case Check::HexMac: return text.empty() || (text.size() == 12 && valid_mac(text));
    case Check::Hosts: return valid_list(text, valid_host);
    case Check::Urls: return valid_list(text, valid_url);
    case Check::Destinations: return valid_list(text, valid_destination);
    case Check::Macs: return valid_list(text, valid_mac);
    case Check::WeekDays: return valid_weekdays(text);
    case Check::Time: return valid_time(text);
  }
  return false;
}

std::string_view column_text(const Column &column, const uint8_t *row) {
  const char *text = reinterpret_cast<const char *>(row + column.offset);
  return {text, strnlen(text, column.size)};
}

constexpr Column kDnsColumns[] = {
    {"Enable", K::U8, 1, 1},        {"Action", K::U8, 2, 1},
    {"Mode", K::U8, 3, 1},          {"BlockedTimes", K::U32, 4, 4},
    {"Name", K::Text, 8, 64},       {"Hostname", K::Text, 72, 256},
    {"MAC", K::Text, 328, 13},      {"WeekDays", K::Text, 341, 33},
    {"Time", K::Text, 374, 65},     {"HostNameList", K::Text, 439, FILTER_LIST_SIZE},
};
constexpr ColumnCheck kDnsChecks[] = {{6, Check::HexMac}, {7, Check::WeekDays},
                                      {8, Check::Time}, {9, Check::Hosts}};

constexpr Column kUrlColumns[] = {
    {"Enable", K::U8, 1, 1},      {"Mode", K::U8, 2, 1},      {"BlockedTimes", K::U32, 4, 4},
    {"URL", K::Text, 8, 256},     {"MAC", K::Text, 264, 512}, {"Name", K::Text, 776, 64},
    {"WeekDays", K::Text, 840, 33}, {"Time", K::Text, 873, 65},
    {"URLList", K::Text, 938, FILTER_LIST_SIZE},
};
constexpr ColumnCheck kUrlChecks[] = {{6, Check::WeekDays}, {7, Check::Time}, {8, Check::Urls}};

constexpr Column kBlockColumns[] = {
    {"BlockedTimes", K::U32, 4, 4}, {"MAC", K::Text, 8, 18}, {"Name", K::Text, 26, 64}};
constexpr ColumnCheck kBlockChecks[] = {{1, Check::MacOrEmpty}};

constexpr Column kWhiteColumns[] = {{"MAC", K::Text, 1, 18}, {"Name", K::Text, 19, 64}};
constexpr ColumnCheck kWhiteChecks[] = {{0, Check::MacOrEmpty}};

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
constexpr ColumnCheck kAppFilterChecks[] = {{8, Check::WeekDays},  {9, Check::Time},
                                            {10, Check::Hosts},    {11, Check::Destinations},
                                            {12, Check::Macs}};

constexpr Column kAppRouteColumns[] = {
    {"Enable", K::U8, 1, 1},           {"MatchType", K::U8, 2, 1},
    {"DSCPMarkValue_UP", K::U8, 3, 1}, {"DSCPMarkValue_DOWN", K::U8, 4, 1},
    {"AppId", K::Text, 5, 33},         {"Name", K::Text, 38, 64},
    {"IfName", K::Text, 102, 33},
    {"DomainList", K::Text, APPROUTE_DOMAIN_LIST_AT, FILTER_DOMAIN_LIST_SIZE},
    {"DestIPList", K::Text, APPROUTE_DESTINATION_LIST_AT, FILTER_DESTINATION_LIST_SIZE},
    {"MACList", K::Text, APPROUTE_MAC_LIST_AT, FILTER_MAC_LIST_SIZE},
};
constexpr ColumnCheck kAppRouteChecks[] = {{7, Check::Hosts}, {8, Check::Destinations},
                                           {9, Check::Macs}};

constexpr TableDef table(const char *name, const char *module, size_t row_size,
                         std::span<const Column> columns) {
  return {.name = name, .module = module, .row_size = row_size, .columns = columns.data(),
          .column_count = columns.size(), .max_rows = kMaxRows};
}

constexpr Filter kDns = {table("dnsfilter", "DNSFilter", DNSFILTER_ROW_SIZE, kDnsColumns),
                         kDnsChecks, "dnsfilter_save_mib"};
constexpr Filter kUrl = {table("urlfilter", "URLFilter", URLFILTER_ROW_SIZE, kUrlColumns),
                         kUrlChecks, "urlfilter_save_mib"};
constexpr Filter kBlock = {
    table("macblocklist", "MACBlockList", MACBLOCKLIST_ROW_SIZE, kBlockColumns), kBlockChecks,
    "macblocklist_save_mib"};
constexpr Filter kWhite = {
    table("macwhitelist", "MACWhiteList", MACWHITELIST_ROW_SIZE, kWhiteColumns), kWhiteChecks,
    "macwhitelist_save_mib"};
constexpr Filter kAppFilter = {
    table("appfilter", "AppFilter", APPFILTER_ROW_SIZE, kAppFilterColumns), kAppFilterChecks,
    "appfilter_save_mib"};
constexpr Filter kAppRoute = {table("approute", "AppRoute", APPROUTE_ROW_SIZE, kAppRouteColumns),
                              kAppRouteChecks, "AppRoute_save_mib"};

// ---- the rules of a new store -------------------------------------------------------

struct SeedValue {
  const char *column;
  const char *value;
};
using Seed = std::vector<SeedValue>;

const std::vector<Seed> &seeds_of(const Filter &filter) {
  static const std::vector<Seed> none;
  static const std::vector<Seed> dns = {
      {{"Name", "Advertising"}, {"Action", "1"}, {"WeekDays", "1,2,3,4,5,6,7"},
       {"HostNameList", "ads.example.net;*.doubleclick.example;tracker.example.org"}}};
  static const std::vector<Seed> url = {
      {{"Name", "Homework hours"}, {"Mode", "0"}, {"WeekDays", "1,2,3,4,5"},
       {"Time", "16:00-18:30"}, {"URLList", "video.example.com;games.example.com/play"}}};
  static const std::vector<Seed> block = {
      {{"Name", "Old tablet"}, {"MAC", "02:1a:2b:3c:4d:5e"}}};
  static const std::vector<Seed> apps = {
      {{"AppId", "1001"}, {"Name", "Video streaming"}, {"Mode", "1"}, {"DomainAction", "1"},
       {"WeekDays", "1,2,3,4,5"}, {"Time", "23:00-23:59,00:00-06:00"},
       {"DomainList", "video.example.com;cdn.video.example.com"},
       {"DestIPList", "203.0.113.0/24;198.51.100.17"}},
      {{"AppId", "1002"}, {"Name", "Online games"}, {"Mode", "1"}, {"DestIPAction", "1"},
       {"DomainList", "play.games.example.net"}, {"DestIPList", "192.0.2.44;2001:db8:77::/48"},
       {"MACList", "02:aa:bb:cc:dd:01"}}};
  static const std::vector<Seed> routes = {
      {{"AppId", "2001"}, {"Name", "Work VPN"}, {"MatchType", "1"}, {"IfName", "wan1"},
       {"DSCPMarkValue_UP", "46"}, {"DSCPMarkValue_DOWN", "46"},
       {"DomainList", "vpn.corp.example"}, {"DestIPList", "198.51.100.0/24"}}};
  if (&filter == &kDns) return dns;
  if (&filter == &kUrl) return url;
  if (&filter == &kBlock) return block;
  if (&filter == &kAppFilter) return apps;
  if (&filter == &kAppRoute) return routes;
  return none;
}

// ---- the calls ---------------------------------------------------------------------

// The table is registered with the store on first use.
template <const Filter &F>
RowList &rows() {
  static RowList *list = [] {
    igd1::mib::register_table(F.def);
    return new RowList(*igd1::mib::find_table(F.def.name));
  }();
  return *list;
}

bool fails(const char *table, const char *call) {
  return igd1::mib::should_fail(std::string(table) + "_" + call, 0);
}

// One line naming every column of a row, for the journal.
std::string describe(const Filter &filter, const uint8_t *row) {
  std::string text = std::string(filter.def.name) + "[" + std::to_string(row[0]) + "]";
  for (const Column &column : std::span(filter.def.columns, filter.def.column_count))
    text += std::string(" ") + column.name + "=" +
            igd1::mib::format_value(column.kind, row + column.offset, column.size);
  return text;
}

// The column that makes `row` unfit to store, or nullptr.
const char *refused_column(const Filter &filter, const uint8_t *row) {
  for (const Column &column : std::span(filter.def.columns, filter.def.column_count))
    if (column.kind == K::Text && strnlen(reinterpret_cast<const char *>(row + column.offset),
                                          column.size) == column.size)
      return column.name;
  for (const ColumnCheck &check : filter.checks) {
    const Column &column = filter.def.columns[check.column];
    if (!passes(check.check, column_text(column, row))) return column.name;
  }
  return nullptr;
}

template <const Filter &F>
void seed_new_store() {
  const std::string marker = std::string(F.def.name) + ".seeded";
  if (igd1::mib::get_setting(marker).has_value()) return;
  for (const Seed &seed : seeds_of(F)) {
    std::vector<uint8_t> row(F.def.row_size, 0);
    for (const SeedValue &value : seed)
      for (const Column &column : std::span(F.def.columns, F.def.column_count))
        if (std::strcmp(column.name, value.column) == 0)
          igd1::mib::parse_value(column.kind, value.value, row.data() + column.offset, column.size);
    if (refused_column(F, row.data()) == nullptr) rows<F>().insert(row.data());
  }
  igd1::mib::set_setting(marker, "1");
}

template <const Filter &F>
int update_all() {
  if (fails(F.def.name, "update_all")) return 0;
  rows<F>().reload();
  seed_new_store<F>();
  return 1;
}

template <const Filter &F>
mib_list_node *get_list_by_instnum(uint32_t instance, uint32_t *position) {
  if (fails(F.def.name, "get_list_by_instnum")) return nullptr;
  if (instance == 0) {
    if (position != nullptr) *position = 0;
    return rows<F>().head();
  }
  return rows<F>().find(instance, position);
}

template <const Filter &F>
void *backup_entry(const void *record) {
  if (record == nullptr || fails(F.def.name, "backup_entry")) return nullptr;
  void *copy = std::malloc(F.def.row_size);
  if (copy != nullptr) std::memcpy(copy, record, F.def.row_size);
  return copy;
}

template <const Filter &F>
int update_entry(const void *copy, uint32_t position, const char **message, int flags) {
  const auto *row = static_cast<const uint8_t *>(copy);
  const char *why = row == nullptr                         ? "no row"
                    : fails(F.def.name, "update_entry") ? "the table refused the row"
                    : igd1::mib::store_at(rows<F>(), position, row, refused_column(F, row));
  if (why != nullptr) {
    if (message != nullptr) *message = why;
    return 0;
  }
  igd1::mib::journal_append(MIB_CFG_FILTERS, flags != 0 ? 1 : MIB_ACTION_APPLY, describe(F, row));
  return 1;
}

template <const Filter &F>
int insert_entry(void *record) {
  if (fails(F.def.name, "insert_entry")) return 0;
  std::vector<uint8_t> row(F.def.row_size, 0);
  if (!rows<F>().insert(row.data())) return 0;
  if (record != nullptr) std::memcpy(record, row.data(), F.def.row_size);
  return row[0];
}

template <const Filter &F>
int remove_entry(uint32_t position, mib_list_node *node) {
  if (fails(F.def.name, "remove_entry")) return 0;
  mib_list_node *at = rows<F>().at(position);
  if (at == nullptr) return 0;
  const uint8_t instance = static_cast<const uint8_t *>(at->data)[0];
  if (node != nullptr && node->data != nullptr && static_cast<uint8_t *>(node->data)[0] != instance)
    return 0;
  if (!rows<F>().remove(instance)) return 0;
  igd1::mib::journal_append(MIB_CFG_FILTERS, MIB_ACTION_APPLY,
                            std::string(F.def.name) + "[" + std::to_string(instance) + "] removed");
  return 1;
}

template <const Filter &F>
int save_mib() {
  if (igd1::mib::should_fail(F.save_accessor, 0)) return 0;
  igd1::mib::journal_append(MIB_CFG_FILTERS, MIB_ACTION_APPLY,
                            std::string(F.def.name) + " saved, " +
                                std::to_string(rows<F>().size()) + " rules");
  return dbus_do_ExtraMIB2flash();
}

template <const Filter &F>
int remove_objects() {
  if (fails(F.def.name, "remove_objects")) return 0;
  while (mib_list_node *head = rows<F>().head())
    if (!rows<F>().remove(static_cast<const uint8_t *>(head->data)[0])) return 0;
  igd1::mib::journal_append(MIB_CFG_FILTERS, MIB_ACTION_APPLY,
                            std::string(F.def.name) + " all removed");
  return 1;
}

template <const Filter &F>
int handle_action_entry(int type, int action, gchar **entries) {
  if (fails(F.def.name, "handle_action_entry") || entries == nullptr) return 0;
  g_autofree gchar *joined = g_strjoinv(";", entries);
  igd1::mib::journal_append(MIB_CFG_FILTERS, action,
                            std::string(F.def.name) + " list " + std::to_string(type) +
                                (action == 0 ? " added " : " removed ") + joined);
  return 1;
}

// Tables are known to the store from the library's load on.
const bool kRegistered = (rows<kDns>(), rows<kUrl>(), rows<kBlock>(), rows<kWhite>(),
                          rows<kAppFilter>(), rows<kAppRoute>(), true);

}  // namespace

#define IGD1_FILTER_TABLE(p, filter)                                                          \
  int p##_update_all(void) { return update_all<filter>(); }                                   \
  mib_list_node *p##_get_list(int) { return get_list_by_instnum<filter>(0, nullptr); }        \
  mib_list_node *p##_get_list_by_instnum(uint32_t instance, uint32_t *position) {             \
    return get_list_by_instnum<filter>(instance, position);                                   \
  }                                                                                           \
  uint32_t p##_get_instnum(const void *record) {                                              \
    return record != nullptr ? static_cast<const uint8_t *>(record)[0] : 0;                   \
  }                                                                                           \
  void *p##_backup_entry(const void *record) { return backup_entry<filter>(record); }         \
  void p##_free_backup_entry(void *copy) { std::free(copy); }                                 \
  int p##_update_entry(const void *copy, uint32_t position, const char **message, int flags) { \
    return update_entry<filter>(copy, position, message, flags);                              \
  }                                                                                           \
  int p##_insert_entry(void *record) { return insert_entry<filter>(record); }                 \
  int p##_remove_entry(uint32_t position, mib_list_node *node) {                              \
    return remove_entry<filter>(position, node);                                              \
  }                                                                                           \
  int p##_save_mib(void) { return save_mib<filter>(); }                                      \
  uint64_t p##_commit_count(void) { return igd1::mib::table_commit_count(rows<filter>().table()); }

IGD1_FILTER_TABLE(dnsfilter, kDns)
IGD1_FILTER_TABLE(urlfilter, kUrl)
IGD1_FILTER_TABLE(macblocklist, kBlock)
IGD1_FILTER_TABLE(macwhitelist, kWhite)
IGD1_FILTER_TABLE(appfilter, kAppFilter)
IGD1_FILTER_TABLE(AppRoute, kAppRoute)

int AppFilter_remove_objects(void) { return remove_objects<kAppFilter>(); }
int AppRoute_remove_objects(void) { return remove_objects<kAppRoute>(); }
int appfilter_handle_action_entry(int type, int action, gchar **entries) {
  return handle_action_entry<kAppFilter>(type, action, entries);
}
int AppRoute_handle_action_entry(int type, int action, gchar **entries) {
  return handle_action_entry<kAppRoute>(type, action, entries);
}

int isValidTime(const char *text) { return text != nullptr && valid_time(text) ? 1 : 0; }
