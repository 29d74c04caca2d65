// Quality of service: the settings "qos.*" and four tables.
//
//   qosclassification      416-byte records: 0 instance (32 bits), 16 ClassQueue,
//                          20 DSCPMarkValue, 24 VLAN8021PValue (32 bits each)
//   qosclassificationtype  a classification's match types, nested under it:
//                          0 instance, 4 classification (32 bits each), 8 Type[64],
//                          72 Max[512], 584 Min[512], 1096 ProtocolList[32]
//   qospriorityqueue       54-byte records: 0 instance (32 bits), 4 Enable,
//                          5 Priority, 9 Weight (32 bits), 13 Car (32 bits signed)
//   qosapp                 0 instance (one byte), 2 ClassQueue (32 bits),
//                          6 AppName[17]; the first 6 bytes are the record a
//                          caller hands the insert call
//
// Values are checked before they are stored: they become classifier rules.
// A match type's bounds are checked against its kind when it is set (if the
// kind is known by then) and again, with the order of the bounds, when the
// working copy is stored, so that a request may set kind and bounds in any
// order.  The first start seeds a household's rules: voice and IPTV
// classified by DSCP mark, port and group address, and an online game.
#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mib_api.h"
#include "mib_store.h"
#include "mib_table.h"

namespace {

using igd1::mib::decimal;
using igd1::mib::Item;
using igd1::mib::RowKey;
using K = igd1::mib::ValueKind;

// ---- layouts ----

constexpr size_t kClassQueueOffset = 16;
constexpr size_t kDscpOffset = 20;
constexpr size_t kVlanPriorityOffset = 24;

constexpr size_t kTypeRowSize = 1128;

constexpr size_t kQueueEnableOffset = 4, kQueuePriorityOffset = 5, kQueueWeightOffset = 9,
                 kQueueCarOffset = 13;

constexpr size_t kAppRowSize = 24;
constexpr size_t kAppQueueOffset = 2, kAppNameOffset = 6, kAppNameSize = 17;

// A table whose records start with a 32-bit instance number, 1 to 255.
constexpr igd1::mib::TableDef wide_table(const char *name, const char *module, size_t row_size,
                                         std::span<const igd1::mib::Column> columns,
                                         unsigned max_rows) {
  igd1::mib::TableDef def = igd1::mib::record_table(name, module, row_size, columns, max_rows, 255);
  def.instance_size = 4;
  return def;
}

constexpr igd1::mib::Column kClassificationColumns[] = {
    {"ClassQueue", K::U32, kClassQueueOffset, 4},
    {"DSCPMarkValue", K::U32, kDscpOffset, 4},
    {"VLAN8021PValue", K::U32, kVlanPriorityOffset, 4},
};
constexpr igd1::mib::TableItem kClassificationItems[] = {
    {.column = 0, .low = 1, .high = QOS_MAX_QUEUES},
    {.column = 1, .low = 0, .high = 63},
    {.column = 2, .low = 0, .high = 7},
};
// A classification as it may be stored (0: a field not set yet).
constexpr igd1::mib::RangeCheck kClassificationRanges[] = {
    {0, 0, QOS_MAX_QUEUES}, {1, 0, 63}, {2, 0, 7}};
constexpr igd1::mib::TableSpec kClassifications = {
    .def = wide_table("qosclassification", "QoSClassification", QOS_CLASSIFICATION_ROW_SIZE,
                      kClassificationColumns, QOS_MAX_CLASSIFICATIONS),
    .prefix = "QoSClassification",
    .items = kClassificationItems,
    .ranges = kClassificationRanges,
};

// A match type's items are its columns, in this order.
enum TypeItem { kKind, kMax, kMin, kProtocolList };
constexpr igd1::mib::Column kTypeColumns[] = {
    {"Type", K::Text, 8, 64},
    {"Max", K::Text, 72, 512},
    {"Min", K::Text, 584, 512},
    {"ProtocolList", K::Text, 1096, 32},
};
constexpr igd1::mib::TableItem kTypeItems[] = {{.column = kKind}, {.column = kMax}, {.column = kMin},
                                               {.column = kProtocolList}};
// Nested under their classification.
constexpr igd1::mib::TableDef type_table() {
  igd1::mib::TableDef def = wide_table("qosclassificationtype", "QoSClassificationType",
                                       kTypeRowSize, kTypeColumns, QOS_MAX_TYPES);
  def.parent_offset = QOS_TYPE_PARENT_OFFSET;
  def.parent_table = "qosclassification";
  return def;
}
constexpr igd1::mib::TableSpec kTypes = {
    .def = type_table(), .prefix = "QoSClassificationType", .items = kTypeItems};

constexpr igd1::mib::Column kQueueColumns[] = {
    {"Enable", K::U8, kQueueEnableOffset, 1},
    {"Priority", K::U32, kQueuePriorityOffset, 4},
    {"Weight", K::U32, kQueueWeightOffset, 4},
    {"Car", K::I32, kQueueCarOffset, 4},
};
constexpr igd1::mib::TableItem kQueueItems[] = {
    {.column = 0, .low = 0, .high = 1},
    {.column = 1, .low = 1, .high = 8},
    {.column = 2, .low = 0, .high = 100},
    {.column = 3, .low = -1, .high = 10000000},
};
// A queue as it may be stored (0: a priority not set yet).
constexpr igd1::mib::RangeCheck kQueueRanges[] = {{0, 0, 1}, {1, 0, 8}, {2, 0, 100}, {3, -1, 10000000}};
std::vector<uint8_t> seed_queues();
constexpr igd1::mib::TableSpec kQueues = {
    .def = wide_table("qospriorityqueue", "QoSPriorityQueue", QOS_PRIORITY_QUEUE_ROW_SIZE,
                      kQueueColumns, QOS_MAX_QUEUES),
    .prefix = "QoSPriorityQueue",
    .items = kQueueItems,
    .ranges = kQueueRanges,
    .seed_marker = "qos.SeededPriorityQueue",
    .seed = seed_queues,
};

constexpr igd1::mib::Column kAppColumns[] = {
    {"ClassQueue", K::U32, kAppQueueOffset, 4},
    {"AppName", K::Text, kAppNameOffset, kAppNameSize},
};
bool valid_app_name(std::string_view name);
constexpr igd1::mib::TableItem kAppItems[] = {
    {.column = 1, .valid = [](const char *name) { return valid_app_name(name); }},
    {.column = 0, .low = 1, .high = QOS_MAX_QUEUES},
};
constexpr igd1::mib::TextCheck kAppChecks[] = {{1, valid_app_name}};
constexpr igd1::mib::RangeCheck kAppRanges[] = {{0, 0, QOS_MAX_QUEUES}};
std::vector<uint8_t> seed_apps();
constexpr igd1::mib::TableSpec kApps = {
    .def = igd1::mib::record_table("qosapp", "QoSApp", kAppRowSize, kAppColumns, QOS_MAX_APPS),
    .prefix = "QoSApp",
    .items = kAppItems,
    .checks = kAppChecks,
    .ranges = kAppRanges,
    .seed_marker = "qos.SeededApp",
    .seed = seed_apps,
};

igd1::mib::Table g_classifications(kClassifications);
igd1::mib::Table g_queues(kQueues);
igd1::mib::Table g_apps(kApps);
igd1::mib::Table g_types(kTypes);

bool fails(const char *accessor, int index = 0) { return igd1::mib::should_fail(accessor, index); }

// One text of a match type.
std::string type_text(const uint8_t *row, TypeItem item) {
  return std::string(igd1::mib::text_in(row + kTypeColumns[item].offset, kTypeColumns[item].size));
}

// ---- match types ----

enum class Bound { Number, Hex, Address, Mac, LanPort, WanName };

struct MatchKind {
  const char *name;
  Bound bound;
  long low = 0, high = 0;
};

constexpr MatchKind kKinds[] = {
    {"SMAC", Bound::Mac},        {"DMAC", Bound::Mac},
    {"SIP", Bound::Address},     {"DIP", Bound::Address},
    {"SPORT", Bound::Number, 1, 65535}, {"DPORT", Bound::Number, 1, 65535},
    {"DSCP", Bound::Number, 0, 63},     {"TOS", Bound::Number, 0, 255},
    {"8021P", Bound::Number, 0, 7},     {"ETHERTYPE", Bound::Hex, 0, 0xFFFF},
    {"LANInterface", Bound::LanPort},   {"WANInterface", Bound::WanName},
};

const MatchKind *kind_named(std::string_view name) {
  for (const MatchKind &kind : kKinds)
    if (name == kind.name) return &kind;
  return nullptr;
}

// A bound of `kind` in a form that orders like its value ("" when invalid).
std::string bound_key(const MatchKind &kind, const std::string &text) {
  switch (kind.bound) {
    case Bound::Number: {
      std::optional<long> value = decimal(text, kind.low, kind.high);
      return value ? std::string(1, '\x01') + std::string(9 - std::to_string(*value).size(), '0') +
                         std::to_string(*value)
                   : "";
    }
    case Bound::Hex: {
      if (text.size() != 6 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return "";
      for (size_t i = 2; i < 6; ++i)
        if (!g_ascii_isxdigit(text[i])) return "";
      std::string key = "\x01";
      for (size_t i = 2; i < 6; ++i) key += char(g_ascii_toupper(text[i]));
      return key;
    }
    case Bound::Address: {
      uint8_t bytes[16] = {};
      if (inet_pton(AF_INET, text.c_str(), bytes) == 1) return "4" + std::string(bytes, bytes + 4);
      if (inet_pton(AF_INET6, text.c_str(), bytes) == 1) return "6" + std::string(bytes, bytes + 16);
      return "";
    }
    case Bound::Mac: {
      if (text.size() != 17) return "";
      std::string key = "\x01";
      for (size_t i = 0; i < 17; ++i) {
        if (i % 3 == 2 ? text[i] != ':' : !g_ascii_isxdigit(text[i])) return "";
        if (i % 3 != 2) key += char(g_ascii_toupper(text[i]));
      }
      return key;
    }
    case Bound::LanPort: {
      const std::string_view view(text);
      if (view.starts_with("LAN") && decimal(view.substr(3), 1, 4)) return "\x01" + text;
      if (view.starts_with("SSID") && decimal(view.substr(4), 1, 8)) return "\x01" + text;
      return "";
    }
    case Bound::WanName: {
      if (text.empty() || text.size() > 63) return "";
      for (char c : text)
        if (!g_ascii_isalnum(c) && c != '_' && c != '-' && c != '.') return "";
      return "\x01" + text;
    }
  }
  return "";
}

constexpr const char *kProtocols[] = {"TCP", "UDP", "ICMP", "RTP", "ALL"};

bool valid_protocols(std::string_view list) {
  return igd1::mib::every_entry(list, ',',
                                [](std::string_view name) { return igd1::mib::one_of(name, kProtocols); });
}

// A whole match type as it may be stored: a known kind (or none yet), bounds
// of that kind (or not yet given), the lower bound not above the upper one,
// known protocols.
bool valid_type_row(const uint8_t *row) {
  const std::string kind_name = type_text(row, kKind);
  const std::string max = type_text(row, kMax);
  const std::string min = type_text(row, kMin);
  if (!valid_protocols(type_text(row, kProtocolList))) return false;
  if (kind_name.empty()) return true;
  const MatchKind *kind = kind_named(kind_name);
  if (kind == nullptr) return false;
  const std::string low = min.empty() ? "" : bound_key(*kind, min);
  const std::string high = max.empty() ? "" : bound_key(*kind, max);
  if ((!min.empty() && low.empty()) || (!max.empty() && high.empty())) return false;
  if (low.empty() || high.empty()) return true;
  // Bounds of one family, in order (the first byte tells the family).
  return low[0] == high[0] && low <= high;
}

// Checks one value of a type, set in `row`, against what the row holds.
bool valid_type_value(int item, const uint8_t *row, const char *text) {
  switch (item) {
    case kKind: return text[0] == '\0' || kind_named(text) != nullptr;
    case kMax:
    case kMin: {
      const MatchKind *kind = kind_named(type_text(row, kKind));
      return text[0] == '\0' || kind == nullptr || !bound_key(*kind, text).empty();
    }
    default: return valid_protocols(text);
  }
}

// ---- working copies of classifications ----
//
// A classification's working copy carries copies of its match types; the
// type calls given a working copy read and change those, and storing the
// copy stores the types changed in it.

struct TypeCopy {
  std::vector<uint8_t> row;
  bool changed = false;
};
// The match types of each working copy, by copy and then by type number.
struct Copies {
  std::mutex mutex;
  std::map<const void *, std::map<uint32_t, TypeCopy>> types;
};
Copies &copies() {
  static auto *all = new Copies;
  return *all;
}

std::vector<std::vector<uint8_t>> types_of(uint32_t classification) {
  std::vector<std::vector<uint8_t>> rows;
  for (std::vector<uint8_t> &row : igd1::mib::table_rows(kTypes.def))
    if (igd1::mib::key_parent(igd1::mib::row_key_of(kTypes.def, row.data())) == classification)
      rows.push_back(std::move(row));
  return rows;
}

// The row of type `type` as the caller sees it through `record`: from the
// working copy, or from the store.  `copy` is set when it is a working copy's.
std::optional<std::vector<uint8_t>> type_row(const void *record, uint32_t type, TypeCopy **copy) {
  *copy = nullptr;
  if (record == nullptr) return std::nullopt;
  {
    std::lock_guard lock(copies().mutex);
    auto found = copies().types.find(record);
    if (found != copies().types.end()) {
      auto typed = found->second.find(type);
      if (typed == found->second.end()) return std::nullopt;
      *copy = &typed->second;
      return typed->second.row;
    }
  }
  const uint32_t classification = g_classifications.instance_of(record);
  return igd1::mib::table_row(kTypes.def, igd1::mib::row_key(classification, type));
}

// Whether a type call names `classification` through its record, and no
// failure is injected for it.
bool names_classification(const void *record, uint32_t classification, const char *call) {
  return record != nullptr && !g_types.fails(call) &&
         g_classifications.instance_of(record) == classification;
}

bool valid_app_name(std::string_view name) {
  if (name.size() >= kAppNameSize || !g_utf8_validate(name.data(), gssize(name.size()), nullptr)) return false;
  return std::none_of(name.begin(), name.end(), [](char c) { return uint8_t(c) < 0x20 || c == 0x7F; });
}

// ---- the settings ----

constexpr const char *kPlans[] = {"priority", "weight", "car"};
bool known_plan(const void *value) { return igd1::mib::one_of(static_cast<const char *>(value), kPlans); }
constexpr auto kFlag = igd1::mib::within<uint8_t, 0, 1>;

// Bandwidth: the whole line in kbit/s, shared by priority.
constexpr Item kSettings[] = {
    {"qos.Mode", K::Text, 64, "INTERNET,TR069,VOIP,IPTV"},
    {"qos.Enable", K::U8, 1, "1", kFlag},
    {"qos.Bandwidth", K::U32, 4, "1000000"},
    {"qos.Plan", K::Text, 32, "priority", known_plan},
    {"qos.EnableForceWeight", K::U8, 1, "0", kFlag},
    {"qos.EnableDSCPMark", K::U8, 1, "1", kFlag},
    {"qos.Enable8021P", K::U8, 1, "2", igd1::mib::within<uint8_t, 0, 2>},
};
const igd1::mib::Defaults kSettingsDefaults(kSettings);
enum { kMode, kEnable, kBandwidth, kPlan, kForceWeight, kDscpMark, kVlanMark };

std::string setting(int item) {
  const Item &stored = kSettings[item];
  char buffer[64] = {};
  return igd1::mib::read_item(stored, buffer) ? igd1::mib::format_value(stored.kind, buffer, stored.size) : "?";
}

// ---- the household's rules ----

struct SeedType {
  const char *kind, *min, *max, *protocols;
};
struct SeedClassification {
  uint32_t queue, dscp, vlan_priority;
  std::vector<SeedType> types;
};

// Set once the table has had its first rules, so that rules a user removed
// stay removed.  The classifications seed their match types with them.
constexpr Item kSeededClassifications = {"qos.SeededClassification", K::U8, 1, "0"};
const igd1::mib::Defaults kOwnDefaults({kSeededClassifications});

void seed_classifications() {
  uint8_t done = 0;
  if (!igd1::mib::store_is_open() || !igd1::mib::read_item(kSeededClassifications, &done) ||
      done != 0 || g_classifications.rows().size() != 0)
    return;
  const SeedClassification seeds[] = {
      // Voice: expedited forwarding, and SIP signalling by port.
      {1, 46, 6, {{"DSCP", "46", "46", "UDP"}, {"DPORT", "5060", "5061", "UDP,TCP"}}},
      // IPTV: multicast groups and the broadcaster's assured-forwarding mark.
      {2, 34, 5, {{"DIP", "224.0.0.0", "239.255.255.255", "UDP"}, {"DSCP", "34", "34", "UDP"}}},
      // The console's online games by their port range.
      {3, 26, 4, {{"SPORT", "3074", "3079", "UDP,TCP"}}},
  };
  if (mib_transaction_begin() == 0) return;
  for (const SeedClassification &seed : seeds) {
    uint8_t row[QOS_CLASSIFICATION_ROW_SIZE] = {};
    igd1::mib::store<uint32_t>(row + kClassQueueOffset, seed.queue);
    igd1::mib::store<uint32_t>(row + kDscpOffset, seed.dscp);
    igd1::mib::store<uint32_t>(row + kVlanPriorityOffset, seed.vlan_priority);
    if (!g_classifications.rows().insert(row)) break;
    const uint32_t classification = igd1::mib::load<uint32_t>(row);
    for (const SeedType &type : seed.types) {
      uint8_t type_row[kTypeRowSize] = {};
      igd1::mib::store<uint32_t>(type_row + QOS_TYPE_PARENT_OFFSET, classification);
      g_types.set(kKind, type.kind, type_row);
      g_types.set(kMin, type.min, type_row);
      g_types.set(kMax, type.max, type_row);
      g_types.set(kProtocolList, type.protocols, type_row);
      igd1::mib::table_insert(kTypes.def, type_row);
    }
  }
  done = 1;
  igd1::mib::write_item(kSeededClassifications, &done);
  mib_transaction_commit();
}

// Strict priority for voice, weights for the rest, no rate caps.
std::vector<uint8_t> seed_queues() {
  return igd1::mib::seed_records(
      kQueues.def, {{{"Enable", "1"}, {"Priority", "1"}, {"Weight", "40"}, {"Car", "-1"}},
                    {{"Enable", "1"}, {"Priority", "2"}, {"Weight", "30"}, {"Car", "-1"}},
                    {{"Enable", "1"}, {"Priority", "3"}, {"Weight", "20"}, {"Car", "-1"}},
                    {{"Enable", "1"}, {"Priority", "4"}, {"Weight", "10"}, {"Car", "-1"}}});
}

std::vector<uint8_t> seed_apps() {
  return igd1::mib::seed_records(kApps.def, {{{"ClassQueue", "3"}, {"AppName", "OnlineGaming"}}});
}

// What applying the configuration applies, as one line of text.
std::string applied_text() {
  std::string text = "enable=" + setting(kEnable) + " mode=" + setting(kMode) +
                     " plan=" + setting(kPlan) + " bandwidth=" + setting(kBandwidth) +
                     " forceweight=" + setting(kForceWeight) + " dscpmark=" + setting(kDscpMark) +
                     " 8021p=" + setting(kVlanMark) + "; queues";
  for (const std::vector<uint8_t> &row : igd1::mib::table_rows(kQueues.def))
    text += " " + std::to_string(igd1::mib::load<uint32_t>(row.data())) + ":" +
            (row[kQueueEnableOffset] != 0 ? "on" : "off") + "/p" +
            std::to_string(igd1::mib::load<uint32_t>(&row[kQueuePriorityOffset])) + "/w" +
            std::to_string(igd1::mib::load<uint32_t>(&row[kQueueWeightOffset])) + "/car" +
            std::to_string(int32_t(igd1::mib::load<uint32_t>(&row[kQueueCarOffset])));
  text += "; classes";
  for (const std::vector<uint8_t> &row : igd1::mib::table_rows(kClassifications.def)) {
    const uint32_t number = igd1::mib::load<uint32_t>(row.data());
    text += " " + std::to_string(number) + ":q" + std::to_string(igd1::mib::load<uint32_t>(&row[kClassQueueOffset])) +
            "/dscp" + std::to_string(igd1::mib::load<uint32_t>(&row[kDscpOffset])) + "/p" +
            std::to_string(igd1::mib::load<uint32_t>(&row[kVlanPriorityOffset])) + "[";
    bool first = true;
    for (const std::vector<uint8_t> &type : types_of(number)) {
      text += (first ? "" : "|") + type_text(type.data(), kKind) + " " + type_text(type.data(), kMin) +
              "-" + type_text(type.data(), kMax) + " " + type_text(type.data(), kProtocolList);
      first = false;
    }
    text += "]";
  }
  text += "; apps";
  for (const std::vector<uint8_t> &row : igd1::mib::table_rows(kApps.def))
    text += " " + std::to_string(row[0]) + ":" +
            std::string(igd1::mib::text_in(&row[kAppNameOffset], kAppNameSize)) + "/q" +
            std::to_string(igd1::mib::load<uint32_t>(&row[kAppQueueOffset]));
  return text;
}

}  // namespace

// ---- the QoS object ----

int QoS_init(void) { return fails("QoS_init") ? 0 : 1; }

int QoS_get_mib_property(int item, void *output) {
  return igd1::mib::read_at("QoS_get_mib_property", kSettings, item, output) ? 1 : 0;
}

int QoS_set_mib_property(int item, void *value) {
  if (value == nullptr) return 0;
  if (item != kVlanMark) return igd1::mib::write_at("QoS_set_mib_property", kSettings, item, value) ? 1 : 0;
  // The 802.1p mark is written as 32 bits and kept as one byte.
  const uint32_t mark = igd1::mib::load<uint32_t>(value);
  const uint8_t byte = uint8_t(mark);
  return mark == byte && igd1::mib::write_at("QoS_set_mib_property", kSettings, item, &byte) ? 1 : 0;
}

int QoS_apply_change(void) {
  if (fails("QoS_apply_change")) return 0;
  igd1::mib::journal_append(MIB_CFG_QOS, MIB_ACTION_APPLY, applied_text());
  return 1;
}

// ---- classifications ----

int QoSClassification_init(void) {
  if (g_classifications.fails("init")) return 0;
  seed_classifications();
  return g_classifications.init() ? 1 : 0;
}

mib_list_node *QoSClassification_get_list_by_instnum(uint32_t instance, uint32_t *position) {
  return g_classifications.find(instance, position);
}

uint32_t QoSClassificationList_get_instnum(const void *record) {
  return g_classifications.instance_of(record);
}

int QoSClassification_get_mib_property(int item, void *output, const void *record) {
  return g_classifications.get(item, output, record) ? 1 : 0;
}

int QoSClassification_set_mib_property(int item, const void *value, void *record) {
  return g_classifications.set(item, value, record) ? 1 : 0;
}

void *QoSClassification_backup_entry(const void *record) {
  void *copy = g_classifications.backup(record);
  if (copy == nullptr) return nullptr;
  std::map<uint32_t, TypeCopy> types;
  for (std::vector<uint8_t> &row : types_of(g_classifications.instance_of(record))) {
    const uint32_t number = igd1::mib::key_instance(igd1::mib::row_key_of(kTypes.def, row.data()));
    types[number].row = std::move(row);
  }
  std::lock_guard lock(copies().mutex);
  copies().types[copy] = std::move(types);
  return copy;
}

void QoSClassification_free_backup_entry(void *copy) {
  {
    std::lock_guard lock(copies().mutex);
    copies().types.erase(copy);
  }
  igd1::mib::Table::free_copy(copy);
}

int QoSClassification_update_entry_mib(const void *copy) {
  if (copy == nullptr || g_classifications.fails("update_entry_mib")) return 0;
  const auto *row = static_cast<const uint8_t *>(copy);
  if (g_classifications.refused(row) != nullptr) return 0;
  std::vector<std::vector<uint8_t>> changed;
  {
    std::lock_guard lock(copies().mutex);
    auto found = copies().types.find(copy);
    if (found != copies().types.end())
      for (const auto &[number, type] : found->second)
        if (type.changed) changed.push_back(type.row);
  }
  for (const std::vector<uint8_t> &type : changed)
    if (!valid_type_row(type.data())) return 0;
  const auto store_with_types = [&] {
    bool stored = g_classifications.rows().store(row);
    for (const std::vector<uint8_t> &type : changed)
      stored = stored && igd1::mib::table_update(kTypes.def, type.data());
    return stored;
  };
  // The classification and its types stand or fall together.
  return igd1::mib::run_in_transaction(store_with_types) ? 1 : 0;
}

int QoSClassification_insert_entry(void *record) { return g_classifications.insert(record) ? 1 : 0; }

int QoSClassification_remove_entry(uint32_t position, mib_list_node *node) {
  // The caller's node lies in this thread's view, which the look-up rebuilds.
  const uint32_t named = node != nullptr ? g_classifications.instance_of(node->data) : 0;
  mib_list_node *at = g_classifications.rows().at(position);
  if (at == nullptr) return 0;
  const uint32_t classification = g_classifications.instance_of(at->data);
  if (named != 0 && named != classification) return 0;
  const auto remove_with_types = [&] {
    bool removed = true;
    for (const std::vector<uint8_t> &type : types_of(classification))
      removed = removed && igd1::mib::table_remove(kTypes.def, igd1::mib::row_key_of(kTypes.def, type.data()));
    return removed && g_classifications.remove(position, nullptr);
  };
  return igd1::mib::run_in_transaction(remove_with_types) ? 1 : 0;
}

// ---- match types ----

int QoSClassificationType_get_mib_property(int item, const void *record, uint32_t type,
                                           void *output) {
  TypeCopy *copy = nullptr;
  std::optional<std::vector<uint8_t>> row = type_row(record, type, &copy);
  return row && g_types.get(item, output, row->data()) ? 1 : 0;
}

int QoSClassificationType_set_mib_property(int item, void *record, uint32_t type,
                                           const void *value) {
  TypeCopy *copy = nullptr;
  std::optional<std::vector<uint8_t>> row = type_row(record, type, &copy);
  if (!row || !g_types.set(item, value, row->data()) ||
      !valid_type_value(item, row->data(), static_cast<const char *>(value)))
    return 0;
  if (copy == nullptr)
    return valid_type_row(row->data()) && igd1::mib::table_update(kTypes.def, row->data()) ? 1 : 0;
  std::lock_guard lock(copies().mutex);
  copy->row = std::move(*row);
  copy->changed = true;
  return 1;
}

int QoSClassificationType_insert_entry(void *record, uint32_t classification, uint32_t *type) {
  if (type == nullptr || !names_classification(record, classification, "insert_entry")) return 0;
  uint8_t row[kTypeRowSize] = {};
  igd1::mib::store<uint32_t>(row + QOS_TYPE_PARENT_OFFSET, classification);
  if (!igd1::mib::table_insert(kTypes.def, row)) return 0;
  *type = igd1::mib::load<uint32_t>(row);
  return 1;
}

int QoSClassificationType_remove_entry(void *record, uint32_t classification, uint32_t type) {
  if (!names_classification(record, classification, "remove_entry")) return 0;
  return igd1::mib::table_remove(kTypes.def, igd1::mib::row_key(classification, type)) ? 1 : 0;
}

int QoSClassificationType_init_entry(void *record, uint32_t classification) {
  if (!names_classification(record, classification, "init_entry")) return 0;
  igd1::mib::announce_rows(kTypes.def, classification);
  return 1;
}

// ---- priority queues ----

int QoSPriorityQueue_init(void) { return g_queues.init() ? 1 : 0; }

mib_list_node *QoSPriorityQueue_get_list_by_instnum(uint32_t instance, uint32_t *position) {
  return g_queues.find(instance, position);
}

uint32_t QoSPriorityQueueList_get_instnum(const void *record) { return g_queues.instance_of(record); }

void *QoSPriorityQueue_backup_entry(const void *record) { return g_queues.backup(record); }

void QoSPriorityQueue_free_backup_entry(void *copy) { igd1::mib::Table::free_copy(copy); }

int QoSPriorityQueue_update_entry_mib(const void *copy) {
  return g_queues.update(copy) == nullptr ? 1 : 0;
}

int QoSPriorityQueue_insert_entry(void *record) { return g_queues.insert(record) ? 1 : 0; }

int QoSPriorityQueue_remove_entry(uint32_t position, mib_list_node *node) {
  return g_queues.remove(position, node) ? 1 : 0;
}

// ---- applications ----

int QoSApp_init(void) { return g_apps.init() ? 1 : 0; }

mib_list_node *QoSApp_get_list_by_instnum(uint32_t instance, uint32_t *position) {
  return g_apps.find(instance, position);
}

uint32_t QoSAppList_get_instnum(const void *record) { return g_apps.instance_of(record); }

void *QoSApp_backup_entry(const void *record) { return g_apps.backup(record); }

void QoSApp_free_backup_entry(void *copy) { igd1::mib::Table::free_copy(copy); }

int QoSApp_update_entry_mib(const void *copy) { return g_apps.update(copy) == nullptr ? 1 : 0; }

// The caller's record is the first bytes of a row: only the instance number
// goes back into it.
int QoSApp_insert_entry(void *record) {
  const uint32_t instance = record != nullptr ? g_apps.insert_empty() : 0;
  if (instance == 0) return 0;
  std::memset(record, 0, QOS_APP_ROW_SIZE);
  static_cast<uint8_t *>(record)[0] = uint8_t(instance);
  return 1;
}

int QoSApp_remove_entry(uint32_t position, mib_list_node *node) {
  return g_apps.remove(position, node) ? 1 : 0;
}

// A classification travels with its match types: its own read, removal,
// working copies and update.
const mib_table_ops QoSClassification_table = igd1::mib::table_ops<g_classifications,
                                                                   kClassifications>(
    {.update_all = QoSClassification_init,
     .remove_entry = QoSClassification_remove_entry,
     .backup_entry = QoSClassification_backup_entry,
     .free_backup_entry = QoSClassification_free_backup_entry,
     .update_entry = [](const void *copy, uint32_t, const char **, int) {
       return QoSClassification_update_entry_mib(copy);
     }});
const mib_table_ops QoSPriorityQueue_table = igd1::mib::table_ops<g_queues, kQueues>();
const mib_table_ops QoSApp_table =
    igd1::mib::table_ops<g_apps, kApps>({.insert_entry = QoSApp_insert_entry});
