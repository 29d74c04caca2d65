// Vendor-specific information elements: the elements beacons carry
// ("beacontxvsie") and probe responses carry ("proberesptxvsie"), 16 each;
// the filters that capture elements of received probe requests
// ("proberxvsie", 8) and what they captured ("proberxvsierecord", nested
// under the filters, at most 64 each).
//
// Applying a frame's elements hands every enabled one to the radios as the
// bytes it adds (221, its length, the OUI, the data), journalled under the
// frame's change bit.  A capture is kept by every enabled filter of the
// band and OUI, in one transaction with the removal of the oldest records
// that make room for it.  A new store starts with no element and no filter.
#include <glib.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

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
bool valid_band(uint8_t band) { return band >= VSIE_BAND_24G && band <= VSIE_BAND_ALL; }

#define TX_COLUMN(name, kind, member) {name, kind, offsetof(Tx, member), sizeof(Tx::member)}
constexpr igd1::mib::Column kTxColumns[] = {
    TX_COLUMN("Enable", K::U8, enable),    TX_COLUMN("Band", K::U8, band),
    TX_COLUMN("SSIDIndex", K::U32, ssid_index), TX_COLUMN("OUI", K::Text, oui),
    TX_COLUMN("Data", K::Text, data),
};
#undef TX_COLUMN
constexpr igd1::mib::TextCheck kTxChecks[] = {{3, valid_oui}, {4, valid_data}};

const char *unfit_element(const uint8_t *row) {
  Tx tx;
  std::memcpy(&tx, row, sizeof tx);
  if (tx.enable > 1) return "Enable";
  if (!valid_band(tx.band)) return "Band";
  if (tx.ssid_index > VSIE_MAX_SSID_INDEX) return "SSIDIndex";
  return nullptr;
}

constexpr igd1::mib::TableSpec kBeacon = {
    .def = igd1::mib::record_table("beacontxvsie", "BeaconTxVSIE", sizeof(Tx), kTxColumns,
                                   VSIE_MAX_TX_ROWS),
    .prefix = "beaconTxVSIE",
    .checks = kTxChecks,
    .refused = unfit_element,
};
constexpr igd1::mib::TableSpec kProbeResponse = {
    .def = igd1::mib::record_table("proberesptxvsie", "ProbeRspTxVSIE", sizeof(Tx), kTxColumns,
                                   VSIE_MAX_TX_ROWS),
    .prefix = "probeRspTxVSIE",
    .checks = kTxChecks,
    .refused = unfit_element,
};
igd1::mib::Table g_tx[] = {igd1::mib::Table(kBeacon), igd1::mib::Table(kProbeResponse)};
constexpr const char *kFrameNames[] = {"beacon", "probe-response"};

igd1::mib::Table *tx_table(vsie_frame frame) {
  return frame == VSIE_BEACON || frame == VSIE_PROBE_RESPONSE ? &g_tx[frame] : nullptr;
}

// ---- filters and records ----

#define FILTER_COLUMN(name, kind, member) {name, kind, offsetof(Filter, member), sizeof(Filter::member)}
constexpr igd1::mib::Column kFilterColumns[] = {
    FILTER_COLUMN("Enable", K::U8, enable), FILTER_COLUMN("Band", K::U8, band),
    FILTER_COLUMN("MaxRecords", K::U32, max_records), FILTER_COLUMN("OUI", K::Text, oui),
};
#undef FILTER_COLUMN
constexpr igd1::mib::TextCheck kFilterChecks[] = {{3, valid_oui}};

const char *unfit_filter(const uint8_t *row) {
  Filter filter;
  std::memcpy(&filter, row, sizeof filter);
  if (filter.enable > 1) return "Enable";
  if (!valid_band(filter.band)) return "Band";
  if (filter.max_records < 1 || filter.max_records > VSIE_MAX_RECORDS) return "MaxRecords";
  return nullptr;
}

constexpr igd1::mib::TableSpec kFilters = {
    .def = igd1::mib::record_table("proberxvsie", "ProbeRxVSIE", sizeof(Filter), kFilterColumns,
                                   VSIE_MAX_FILTERS),
    .prefix = "probeRxVSIE",
    .checks = kFilterChecks,
    .refused = unfit_filter,
};
igd1::mib::Table g_filters(kFilters);

#define RECORD_COLUMN(name, kind, member) {name, kind, offsetof(Record, member), sizeof(Record::member)}
constexpr igd1::mib::Column kRecordColumns[] = {
    RECORD_COLUMN("Band", K::U8, band),         RECORD_COLUMN("Sequence", K::U64, sequence),
    RECORD_COLUMN("RSSI", K::I32, rssi),        RECORD_COLUMN("Channel", K::U32, channel),
    RECORD_COLUMN("MAC", K::Text, mac),         RECORD_COLUMN("Time", K::Text, time),
    RECORD_COLUMN("Data", K::Text, data),
};
#undef RECORD_COLUMN
constexpr igd1::mib::TableDef kRecords = {
    .name = "proberxvsierecord",
    .module = "ProbeRxVSIERecord",
    .row_size = sizeof(Record),
    .columns = kRecordColumns,
    .column_count = std::size(kRecordColumns),
    .max_rows = VSIE_MAX_RECORDS,
    .max_instance = 255,
    .parent_offset = VSIE_RECORD_FILTER_OFFSET,
    .parent_table = "proberxvsie",
};
const bool kRecordsRegistered = igd1::mib::register_table(kRecords);

igd1::mib::RowList &records() {
  static auto *list = new igd1::mib::RowList(*igd1::mib::find_table(kRecords.name));
  return *list;
}

Record record_at(const mib_list_node *node) {
  Record record;
  std::memcpy(&record, node->data, sizeof record);
  return record;
}

// The records of `filter`, oldest first.
std::vector<Record> records_of(uint32_t filter) {
  std::vector<Record> kept;
  for (mib_list_node *node = records().head(); node != nullptr; node = node->next) {
    Record record = record_at(node);
    if (record.filter == filter) kept.push_back(record);
  }
  std::sort(kept.begin(), kept.end(),
            [](const Record &a, const Record &b) { return a.sequence < b.sequence; });
  return kept;
}

// Removes the oldest records of `filter` until it holds at most `keep`.
bool trim_records(uint32_t filter, size_t keep) {
  std::vector<Record> kept = records_of(filter);
  for (size_t i = 0; i + keep < kept.size(); ++i)
    if (!records().remove(igd1::mib::row_key(filter, kept[i].instance))) return false;
  return true;
}

uint64_t next_sequence() {
  static std::atomic<uint64_t> last{0};
  uint64_t seen = last.load();
  if (seen == 0)
    for (mib_list_node *node = records().head(); node != nullptr; node = node->next)
      seen = std::max(seen, record_at(node).sequence);
  uint64_t next = seen + 1;
  last.store(next);
  return next;
}

std::string upper(std::string_view text) {
  std::string out(text);
  for (char &c : out) c = g_ascii_toupper(c);
  return out;
}

template <size_t N>
void put(char (&field)[N], const std::string &text) {
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), std::min(text.size(), N - 1));
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

int vsieTx_update_all(vsie_frame frame) {
  igd1::mib::Table *table = tx_table(frame);
  return table != nullptr && table->init() ? 1 : 0;
}

mib_list_node *vsieTx_get_list(vsie_frame frame) {
  igd1::mib::Table *table = tx_table(frame);
  return table != nullptr ? table->list() : nullptr;
}

mib_list_node *vsieTx_get_list_by_instnum(vsie_frame frame, uint32_t instance, uint32_t *index) {
  igd1::mib::Table *table = tx_table(frame);
  return table != nullptr ? table->find(instance, index) : nullptr;
}

int vsieTx_get_list_totalnum(vsie_frame frame) {
  igd1::mib::Table *table = tx_table(frame);
  if (table == nullptr || table->fails("get_list_totalnum")) return 0;
  return int(table->rows().size());
}

int vsieTx_insert_entry(vsie_frame frame, void *row) {
  igd1::mib::Table *table = tx_table(frame);
  return table != nullptr && table->insert(row) ? 1 : 0;
}

int vsieTx_remove_entry(vsie_frame frame, uint32_t index, mib_list_node *node) {
  igd1::mib::Table *table = tx_table(frame);
  return table != nullptr && table->remove(index, node) ? 1 : 0;
}

int vsieTx_update_entry(vsie_frame frame, const void *row, uint32_t instance) {
  igd1::mib::Table *table = tx_table(frame);
  return table != nullptr && row != nullptr && table->instance_of(row) == instance &&
                 table->update(row) == nullptr
             ? 1
             : 0;
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
    Tx tx;
    std::memcpy(&tx, node->data, sizeof tx);
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

int probeRxVSIE_update_all(void) { return g_filters.init() ? 1 : 0; }

mib_list_node *probeRxVSIE_get_list(int) { return g_filters.list(); }

mib_list_node *probeRxVSIE_get_list_by_instnum(uint32_t instance, uint32_t *index) {
  return g_filters.find(instance, index);
}

int probeRxVSIE_get_list_totalnum(void) {
  if (g_filters.fails("get_list_totalnum")) return 0;
  return int(g_filters.rows().size());
}

int probeRxVSIE_insert_entry(void *row) { return g_filters.insert(row) ? 1 : 0; }

int probeRxVSIE_remove_entry(uint32_t index, mib_list_node *node) {
  if (node == nullptr || g_filters.fails("remove_entry")) return 0;
  const uint32_t filter = g_filters.instance_of(node->data);
  if (!igd1::mib::begin_transaction()) return 0;
  if (!trim_records(filter, 0) || !g_filters.remove(index, node)) {
    igd1::mib::rollback_transaction();
    igd1::mib::commit_transaction();
    return 0;
  }
  return igd1::mib::commit_transaction() ? 1 : 0;
}

int probeRxVSIE_update_entry(const void *row, uint32_t instance) {
  if (row == nullptr || g_filters.instance_of(row) != instance) return 0;
  Filter filter;
  std::memcpy(&filter, row, sizeof filter);
  if (!igd1::mib::begin_transaction()) return 0;
  const bool stored = g_filters.update(row) == nullptr && trim_records(instance, filter.max_records);
  if (!stored) igd1::mib::rollback_transaction();
  return igd1::mib::commit_transaction() && stored ? 1 : 0;
}

// ---- records ----

int probeRxVSIERecord_get_item(int item, const void *filter, uint32_t record, void *output) {
  if (filter == nullptr || output == nullptr || igd1::mib::should_fail("probeRxVSIERecord_get_item", item))
    return 0;
  const uint32_t parent = g_filters.instance_of(filter);
  mib_list_node *node = records().find(igd1::mib::row_key(parent, record));
  if (node == nullptr) return 0;
  const Record r = record_at(node);
  auto text = [output](const char *value) {
    std::memcpy(output, value, std::strlen(value) + 1);
    return 1;
  };
  switch (item) {
    case VSIE_RECORD_MAC: return text(r.mac);
    case VSIE_RECORD_RSSI: std::memcpy(output, &r.rssi, sizeof r.rssi); return 1;
    case VSIE_RECORD_BAND: return text(r.band == VSIE_BAND_24G ? "2.4G" : "5G");
    case VSIE_RECORD_CHANNEL: std::memcpy(output, &r.channel, sizeof r.channel); return 1;
    case VSIE_RECORD_TIME: return text(r.time);
    case VSIE_RECORD_DATA: return text(r.data);
    default: return 0;
  }
}

int probeRxVSIERecord_count(uint32_t filter) {
  if (igd1::mib::should_fail("probeRxVSIERecord_count", 0)) return -1;
  return int(records_of(filter).size());
}

int probeRxVSIERecord_remove(uint32_t filter, uint32_t record) {
  if (igd1::mib::should_fail("probeRxVSIERecord_remove", 0)) return 0;
  return records().remove(igd1::mib::row_key(filter, record)) ? 1 : 0;
}

int probeRxVSIERecord_announce(uint32_t filter) {
  if (!kRecordsRegistered || igd1::mib::should_fail("probeRxVSIERecord_announce", 0)) return 0;
  igd1::mib::announce_rows(records().table(), filter);
  return 1;
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
  put(record.mac, mac_text);
  put(record.time, utc_now());
  put(record.data, upper(data));
  std::vector<Filter> catching;
  for (mib_list_node *node = g_filters.list(); node != nullptr; node = node->next) {
    Filter filter;
    std::memcpy(&filter, node->data, sizeof filter);
    if (filter.enable != 0 && (filter.band == band || filter.band == VSIE_BAND_ALL) &&
        g_ascii_strcasecmp(filter.oui, oui) == 0)
      catching.push_back(filter);
  }
  if (catching.empty()) return 0;
  if (!igd1::mib::begin_transaction()) return -1;
  bool kept = true;
  for (const Filter &filter : catching) {
    record.filter = filter.instance;
    record.instance = 0;
    record.sequence = next_sequence();
    const size_t room = filter.max_records > 0 ? filter.max_records - 1 : 0;
    kept = kept && trim_records(filter.instance, room) &&
           records().insert(reinterpret_cast<uint8_t *>(&record));
  }
  if (!kept) igd1::mib::rollback_transaction();
  return igd1::mib::commit_transaction() && kept ? int(catching.size()) : -1;
}
