// Vendor-specific information elements: the elements beacons carry
// ("beacontxvsie") and probe responses carry ("proberesptxvsie"), 16 each;
// the filters that capture elements of received probe requests
// ("proberxvsie", 8) and what they captured (records nested under the
// filters, at most 64 each, held in memory).
//
// Applying a frame's elements hands every enabled one to the radios as the
// bytes it adds (221, its length, the OUI, the data), journalled under the
// frame's change bit.  A capture is kept by every enabled filter of the
// band and OUI, the oldest record of a full filter making room for it.  A
// new store starts with no element and no filter.
#include <glib.h>

#include <algorithm>
#include <bitset>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "mib_internal.h"
#include "mib_network_seed.h"
#include "mib_table.h"
#include "mib_vsie.h"

namespace {

using K = igd1::mib::ValueKind;
using igd1::mib::RowKey;
using Tx = vsie_tx_row;
using Filter = vsie_filter_row;
using Record = vsie_record_row;

constexpr uint8_t kVendorSpecific = 221;

bool hex_digits(std::string_view text) {
  for (char c : text)
    if (!g_ascii_isxdigit(c)) return false;
  return true;
}
bool valid_oui(std::string_view text) { return text.size() == 6 && hex_digits(text); }
bool valid_data(std::string_view text) {
  return text.size() % 2 == 0 && text.size() < VSIE_DATA_SIZE && hex_digits(text);
}

constexpr igd1::mib::Column kTxColumns[] = {
    MIB_MEMBER_COLUMN(Tx, "Enable", K::U8, enable),
    MIB_MEMBER_COLUMN(Tx, "Band", K::U8, band),
    MIB_MEMBER_COLUMN(Tx, "SSIDIndex", K::U32, ssid_index),
    MIB_MEMBER_COLUMN(Tx, "OUI", K::Text, oui),
    MIB_MEMBER_COLUMN(Tx, "Data", K::Text, data),
};
constexpr igd1::mib::TextCheck kTxChecks[] = {{3, valid_oui}, {4, valid_data}};

constexpr igd1::mib::RangeCheck kTxRanges[] = {
    {.column = 0, .low = 0, .high = 1},                           // Enable
    {.column = 1, .low = VSIE_BAND_24G, .high = VSIE_BAND_ALL},  // Band
    {.column = 2, .low = 0, .high = VSIE_MAX_SSID_INDEX},        // SSIDIndex
};

// The elements of one kind of frame.
constexpr igd1::mib::TableSpec tx_spec(const char *name, const char *module, const char *prefix) {
  return {.def = igd1::mib::record_table(name, module, sizeof(Tx), kTxColumns, VSIE_MAX_TX_ROWS),
          .prefix = prefix,
          .checks = kTxChecks,
          .ranges = kTxRanges};
}
constexpr igd1::mib::TableSpec kBeacon = tx_spec("beacontxvsie", "BeaconTxVSIE", "beaconTxVSIE");
constexpr igd1::mib::TableSpec kProbeResponse =
    tx_spec("proberesptxvsie", "ProbeRspTxVSIE", "probeRspTxVSIE");
igd1::mib::Table g_beacon(kBeacon), g_probe_response(kProbeResponse);
constexpr const char *kFrameNames[] = {"beacon", "probe-response"};

igd1::mib::Table *tx_table(vsie_frame frame) {
  return frame == VSIE_BEACON           ? &g_beacon
         : frame == VSIE_PROBE_RESPONSE ? &g_probe_response
                                        : nullptr;
}

// ---- filters and records ----

constexpr igd1::mib::Column kFilterColumns[] = {
    MIB_MEMBER_COLUMN(Filter, "Enable", K::U8, enable),
    MIB_MEMBER_COLUMN(Filter, "Band", K::U8, band),
    MIB_MEMBER_COLUMN(Filter, "MaxRecords", K::U32, max_records),
    MIB_MEMBER_COLUMN(Filter, "OUI", K::Text, oui),
};
constexpr igd1::mib::TextCheck kFilterChecks[] = {{3, valid_oui}};

constexpr igd1::mib::RangeCheck kFilterRanges[] = {
    {.column = 0, .low = 0, .high = 1},                           // Enable
    {.column = 1, .low = VSIE_BAND_24G, .high = VSIE_BAND_ALL},  // Band
    {.column = 2, .low = 1, .high = VSIE_MAX_RECORDS},           // MaxRecords
};

constexpr igd1::mib::TableSpec kFilters = {
    .def = igd1::mib::record_table("proberxvsie", "ProbeRxVSIE", sizeof(Filter), kFilterColumns,
                                   VSIE_MAX_FILTERS),
    .prefix = "probeRxVSIE",
    .checks = kFilterChecks,
    .ranges = kFilterRanges,
};
igd1::mib::Table g_filters(kFilters);

// Records are what the radios heard lately: they are kept in memory, in
// the order they came, and not in the database.  A capture then costs no
// write and no transaction, however many arrive; records do not survive a
// restart of the process, as a radio's capture buffer does not.  The row
// listener learns of every record that comes or goes, as it does of rows
// of the database.
constexpr igd1::mib::TableDef kRecords = {
    .name = "proberxvsierecord",
    .module = "ProbeRxVSIERecord",
    .row_size = sizeof(Record),
    .columns = nullptr,
    .column_count = 0,
    .max_rows = VSIE_MAX_RECORDS,
    .max_instance = 255,
    .parent_offset = VSIE_RECORD_FILTER_OFFSET,
    .parent_table = "proberxvsie",
};

struct RecordChange {
  Record record;
  bool inserted;
};

// The records of each filter, oldest first.
std::mutex g_records_mutex;
std::map<uint32_t, std::vector<Record>> g_records;

// Tells the row listener; never with the mutex held (the listener reads
// records back).
void report(const std::vector<RecordChange> &changes) {
  for (const RecordChange &change : changes)
    igd1::mib::report_row(kRecords, reinterpret_cast<const uint8_t *>(&change.record),
                          change.inserted);
}

// Removes the oldest records of `filter` until it holds at most `keep`.
void trim_locked(uint32_t filter, size_t keep, std::vector<RecordChange> *changes) {
  auto found = g_records.find(filter);
  if (found == g_records.end()) return;
  std::vector<Record> &kept = found->second;
  if (kept.size() > keep) {
    const auto gone = kept.begin() + std::ptrdiff_t(kept.size() - keep);
    if (changes != nullptr)
      for (auto r = kept.begin(); r != gone; ++r) changes->push_back({*r, false});
    kept.erase(kept.begin(), gone);
  }
  if (kept.empty()) g_records.erase(found);
}

// Adds `record` under the lowest number its filter does not use.
void add_locked(Record record, std::vector<RecordChange> *changes) {
  std::vector<Record> &kept = g_records[record.filter];
  std::bitset<256> used;
  for (const Record &r : kept) used.set(r.instance);
  uint32_t number = 1;
  while (used.test(number)) ++number;
  record.instance = uint8_t(number);
  kept.push_back(record);
  changes->push_back({record, true});
}

void trim_records(uint32_t filter, size_t keep) {
  std::vector<RecordChange> changes;
  {
    std::lock_guard lock(g_records_mutex);
    trim_locked(filter, keep, &changes);
  }
  report(changes);
}

std::string upper(std::string_view text) {
  std::string out(text);
  for (char &c : out) c = g_ascii_toupper(c);
  return out;
}

std::string utc_now() {
  g_autoptr(GDateTime) now = g_date_time_new_now_utc();
  g_autofree gchar *text = g_date_time_format(now, "%Y-%m-%dT%H:%M:%SZ");
  return text;
}

// The journal shows the elements as text.
std::string element_notice(const void *data) { return static_cast<const char *>(data); }
const bool kFormatter = [] {
  igd1::mib::register_notice_formatter(MIB_CFG_VSIE, element_notice);
  return true;
}();

}  // namespace

// ---- transmitted elements ----

int vsieTx_get_list_totalnum(vsie_frame frame) {
  igd1::mib::Table *table = tx_table(frame);
  return table != nullptr ? table->count("get_list_totalnum") : 0;
}

// The frame's name, a space, and "<band>:<ssid>:<element>" for every
// enabled element, joined with ";": the element is 221, its length, the OUI
// and the data, in hex.
int vsieTx_apply(vsie_frame frame) {
  igd1::mib::Table *table = tx_table(frame);
  if (table == nullptr || table->fails("apply")) return 0;
  std::string elements;
  const std::string name = std::string(kFrameNames[frame]) + " ";
  for (mib_list_node *node = table->list(); node != nullptr; node = node->next) {
    const Tx tx = igd1::mib::load<Tx>(node->data);
    if (tx.enable == 0) continue;
    const size_t length = 3 + std::strlen(tx.data) / 2;
    g_autofree gchar *element = g_strdup_printf("%u:%u:%02X%02X%s%s", unsigned(tx.band),
                                                tx.ssid_index, kVendorSpecific, unsigned(length),
                                                upper(tx.oui).c_str(), upper(tx.data).c_str());
    if (!elements.empty()) elements += ';';
    elements += element;
  }
  std::string notice = name + elements;
  return dbus_mib_update_cfg(MIB_CFG_VSIE, notice.data(), MIB_ACTION_APPLY);
}

// ---- filters ----

int probeRxVSIE_get_list_totalnum(void) { return g_filters.count("get_list_totalnum"); }

int probeRxVSIE_insert_entry(void *row) { return g_filters.insert(row) ? 1 : 0; }

int probeRxVSIE_remove_entry(uint32_t index, mib_list_node *node) {
  if (node == nullptr || g_filters.fails("remove_entry")) return 0;
  const uint32_t filter = g_filters.instance_of(node->data);
  if (!g_filters.remove(index, node)) return 0;
  trim_records(filter, 0);
  return 1;
}

int probeRxVSIE_update_entry(const void *row, uint32_t instance) {
  if (row == nullptr || g_filters.instance_of(row) != instance) return 0;
  const uint32_t keep = igd1::mib::load<Filter>(row).max_records;
  if (g_filters.update(row) != nullptr) return 0;
  trim_records(instance, keep);
  return 1;
}

// ---- records ----

int probeRxVSIERecord_get_item(int item, uint32_t parent, uint32_t record, void *output) {
  if (output == nullptr || igd1::mib::should_fail("probeRxVSIERecord_get_item", item)) return 0;
  Record r;
  {
    std::lock_guard lock(g_records_mutex);
    auto kept = g_records.find(parent);
    if (kept == g_records.end()) return 0;
    auto found = std::find_if(kept->second.begin(), kept->second.end(),
                              [record](const Record &k) { return k.instance == record; });
    if (found == kept->second.end()) return 0;
    r = *found;
  }
  // In the order of VSIE_RECORD_MAC to VSIE_RECORD_DATA.
  return igd1::mib::put_numbered<sizeof r.data>(item, output, r.mac, r.rssi,
                                                r.band == VSIE_BAND_24G ? "2.4G" : "5G", r.channel,
                                                r.time, r.data);
}

int probeRxVSIERecord_count(uint32_t filter) {
  if (igd1::mib::should_fail("probeRxVSIERecord_count", 0)) return -1;
  std::lock_guard lock(g_records_mutex);
  auto kept = g_records.find(filter);
  return kept != g_records.end() ? int(kept->second.size()) : 0;
}

int probeRxVSIERecord_remove(uint32_t filter, uint32_t record) {
  if (igd1::mib::should_fail("probeRxVSIERecord_remove", 0)) return 0;
  std::vector<RecordChange> changes;
  {
    std::lock_guard lock(g_records_mutex);
    auto kept = g_records.find(filter);
    if (kept == g_records.end()) return 0;
    auto found = std::find_if(kept->second.begin(), kept->second.end(),
                              [record](const Record &k) { return k.instance == record; });
    if (found == kept->second.end()) return 0;
    changes.push_back({*found, false});
    kept->second.erase(found);
    if (kept->second.empty()) g_records.erase(kept);
  }
  report(changes);
  return 1;
}

int probeRxVSIERecord_announce(uint32_t filter) {
  if (igd1::mib::should_fail("probeRxVSIERecord_announce", 0)) return 0;
  std::vector<RecordChange> changes;
  {
    std::lock_guard lock(g_records_mutex);
    if (auto kept = g_records.find(filter); kept != g_records.end())
      for (const Record &record : kept->second) changes.push_back({record, true});
  }
  report(changes);
  return 1;
}

void probeRxVSIERecord_forget(uint32_t filter) {
  std::lock_guard lock(g_records_mutex);
  g_records.erase(filter);
}

int probeRxVSIE_capture(const uint8_t mac[6], uint32_t band, uint32_t channel, int32_t rssi,
                        const char *oui, const char *data) {
  if (mac == nullptr || oui == nullptr || data == nullptr ||
      (band != VSIE_BAND_24G && band != VSIE_BAND_5G) || !valid_oui(oui) || !valid_data(data))
    return -1;
  if (igd1::mib::should_fail("probeRxVSIE_capture", 0)) return -1;
  Record record{};
  record.band = uint8_t(band);
  record.rssi = rssi;
  record.channel = channel;
  g_autofree gchar *mac_text = g_strdup_printf("%02X%02X%02X%02X%02X%02X", mac[0], mac[1], mac[2],
                                               mac[3], mac[4], mac[5]);
  igd1::mib::put_text(record.mac, mac_text);
  igd1::mib::put_text(record.time, utc_now().c_str());
  igd1::mib::put_text(record.data, upper(data).c_str());
  std::vector<Filter> catching;
  std::bitset<256> present;
  for (mib_list_node *node = g_filters.list(); node != nullptr; node = node->next) {
    const Filter filter = igd1::mib::load<Filter>(node->data);
    present.set(filter.instance);
    if (filter.enable != 0 && (filter.band == band || filter.band == VSIE_BAND_ALL) &&
        g_ascii_strcasecmp(filter.oui, oui) == 0)
      catching.push_back(filter);
  }
  std::vector<RecordChange> changes;
  {
    std::lock_guard lock(g_records_mutex);
    // Records of a filter another process removed go with it.
    std::erase_if(g_records, [&](const auto &kept) { return kept.first > 255 || !present.test(kept.first); });
    for (const Filter &filter : catching) {
      record.filter = filter.instance;
      trim_locked(filter.instance, filter.max_records > 0 ? filter.max_records - 1 : 0, &changes);
      add_locked(record, &changes);
    }
  }
  report(changes);
  return int(catching.size());
}

const mib_table_ops probeRxVSIE_table =
    igd1::mib::table_ops<g_filters, kFilters>({.remove_entry = probeRxVSIE_remove_entry});

const mib_table_ops vsieTx_beacon_table = igd1::mib::table_ops<g_beacon, kBeacon>();
const mib_table_ops vsieTx_probe_response_table =
    igd1::mib::table_ops<g_probe_response, kProbeResponse>();
