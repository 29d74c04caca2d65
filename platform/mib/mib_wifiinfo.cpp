// The radio-wide WiFi state, band steering, roaming and the associated
// stations, answered from the emulated radios (mib_devices.h).  Operations
// that act on the radios run the radios' control program first
// (wifi_radio_run), so that they take the time a real radio takes.
#include <glib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mib_api.h"
#include "mib_devices.h"
#include "mib_internal.h"
#include "mib_store.h"
#include "mib_wifi.h"
#include "sys_paths.h"
#include "sys_run.h"

namespace {

using igd1::devices::Mac;
using igd1::devices::Radios;
using igd1::devices::Station;

constexpr size_t kMessageSize = 64;
constexpr int kRadioTimeoutMs = 30000;

// The radios, unless a failure is injected for `accessor` and `index`.
Radios *radios_for(const char *accessor, int index) {
  if (igd1::mib::should_fail(accessor, index)) return nullptr;
  return igd1::mib::served_radios();
}

void put_message(char *message, const std::string &text) {
  if (message != nullptr) g_strlcpy(message, text.c_str(), kMessageSize);
}

// Puts `text` in the caller's message and answers `result` (the roaming
// methods answer 1 for a refusal, the others 0 for a failure).
int answer(char *message, const std::string &text, int result) {
  put_message(message, text);
  return result;
}

// The band of the SSID a station is associated with (0: none).
uint32_t band_of(Radios &radios, const Station &station) {
  const std::optional<igd1::devices::Ssid> ssid = radios.ssid(station.ssid);
  return ssid ? ssid->band : 0;
}

void fill_record(Radios &radios, const Station &station, sta_info_record *record) {
  *record = {};
  record->number = station.number;
  std::copy(station.mac.begin(), station.mac.end(), record->mac);
  record->ssid = station.ssid;
  if (const auto band = radios.band(band_of(radios, station))) {
    record->channel = band->channel_in_use;
    std::copy(band->bssid.begin(), band->bssid.end(), record->bssid);
  }
  record->bss_transition = station.bss_transition ? 1 : 0;
  record->beacon_report = station.beacon_report ? 1 : 0;
  record->rssi = station.rssi;
}

std::vector<Station> stations_by_number(Radios &radios) {
  std::vector<Station> stations = radios.stations();
  std::sort(stations.begin(), stations.end(),
            [](const Station &a, const Station &b) { return a.number < b.number; });
  return stations;
}

Mac mac_from(const uint8_t *bytes) {
  Mac mac{};
  std::copy(bytes, bytes + 6, mac.begin());
  return mac;
}

// Twelve upper-case hex digits, as the wireless objects show addresses.
std::string digits(const uint8_t *mac) { return igd1::devices::mac_digits(mac_from(mac)); }

}  // namespace

// ---- the radios' control program ----

int wifi_radio_state_flush(char *why, size_t size) {
  Radios *radios = igd1::mib::served_radios();
  std::string failure;
  if (radios == nullptr || radios->flush(&failure)) return 1;
  if (why != nullptr && size > 0) g_strlcpy(why, failure.c_str(), size);
  return 0;
}

void wifi_radio_run(const char *operation, const char *argument, wifi_radio_done done, void *data) {
  std::vector<std::string> argv{igd1::program::kRadioCtl, operation != nullptr ? operation : ""};
  if (argument != nullptr) argv.emplace_back(argument);
  igd1::run_async(argv, {.env = {}, .timeout_ms = kRadioTimeoutMs}, [done, data](const igd1::RunResult &result) {
    if (done != nullptr) done(igd1::run_succeeded(result) ? 1 : 0, data);
  });
}

// ---- stations ----

int STAInfo_list_init(void) { return igd1::mib::served_radios() != nullptr ? 1 : 0; }

int STAInfo_dbus_num(void) {
  Radios *radios = radios_for("STAInfo_dbus_num", 0);
  return radios != nullptr ? int(radios->stations().size()) : 0;
}

int STAInfo_entry_at(uint32_t position, sta_info_record *record) {
  Radios *radios = igd1::mib::served_radios();
  if (radios == nullptr || record == nullptr) return 0;
  const std::vector<Station> stations = stations_by_number(*radios);
  if (position >= stations.size()) return 0;
  fill_record(*radios, stations[position], record);
  return 1;
}

int STAInfo_find(uint32_t number, uint32_t *position, sta_info_record *record) {
  Radios *radios = igd1::mib::served_radios();
  if (radios == nullptr || record == nullptr) return 0;
  const std::vector<Station> stations = stations_by_number(*radios);
  for (size_t i = 0; i < stations.size(); ++i) {
    if (stations[i].number != number) continue;
    if (position != nullptr) *position = uint32_t(i);
    fill_record(*radios, stations[i], record);
    return 1;
  }
  return 0;
}

int STAInfo_get_entry(sta_info_record *record) {
  if (record == nullptr || radios_for("STAInfo_get_entry", int(record->number)) == nullptr) return 0;
  return STAInfo_find(record->number, nullptr, record);
}

int STAInfo_get_property(int item, void *output, const sta_info_record *record) {
  if (output == nullptr || record == nullptr || igd1::mib::should_fail("STAInfo_get_property", item)) return 0;
  return igd1::mib::put_numbered<13>(item, output, digits(record->mac), record->channel,
                                     digits(record->bssid), uint8_t(record->bss_transition != 0),
                                     uint8_t(record->beacon_report != 0), record->rssi);
}

int STAInfo_SetSTADeassociationRequest(const char *text, sta_info_record *record, uint32_t,
                                       char *message) {
  if (text == nullptr || record == nullptr || std::strlen(text) >= kMessageSize)
    return answer(message, "invalid reason", 1);
  Radios *radios = radios_for("STAInfo_SetSTADeassociationRequest", int(record->number));
  if (radios == nullptr) return answer(message, "the radios do not answer", 1);
  std::string why;
  if (!radios->remove_station(mac_from(record->mac), &why)) return answer(message, why, 1);
  return answer(message, "success", 0);
}

// ---- band steering ----

namespace {

using igd1::mib::Item;
using igd1::mib::load;
using K = igd1::mib::ValueKind;

using igd1::mib::within;
constexpr auto kRssi = within<int32_t, -127, 0>;

// Off; a station is weak below -70 dBm on 2.4 GHz and -75 dBm on 5 GHz.
constexpr Item kSteering[] = {
    {"bandsteering.Enable", K::U8, 1, "0", within<uint8_t, 0, 1>},
    {nullptr, K::U32, 4},  // both bands present
    {"bandsteering.RSSIThreshold", K::I32, 4, "-70", kRssi},
    {"bandsteering.RSSIThreshold5G", K::I32, 4, "-75", kRssi},
    {nullptr, K::U32, 4},  // the 5 GHz radio's air time in use
    {"bandsteering.ChannelUtilizationThreshold5G", K::U32, 4, "80", within<uint32_t, 0, 100>},
    {"bandsteering.STALoadThreshold2G", K::U32, 4, "32", within<uint32_t, 0, 256>},
    {"bandsteering.SteeringDetectInterval", K::U32, 4, "30", within<uint32_t, 1, 3600>},
};
const igd1::mib::Defaults kSteeringDefaults(kSteering);

bool steering_item(int item) { return item >= 0 && item < int(std::size(kSteering)); }

}  // namespace

int WiFiBandSteering_get_property(int item, void *output) {
  if (output == nullptr || !steering_item(item) ||
      igd1::mib::should_fail("WiFiBandSteering_get_property", item))
    return 0;
  if (kSteering[item].name != nullptr) return igd1::mib::read_item(kSteering[item], output) ? 1 : 0;
  Radios *radios = igd1::mib::served_radios();
  if (radios == nullptr) return 0;
  const auto high = radios->band(2);
  const uint32_t value = item == 1 ? uint32_t(radios->band(1) && high) : high ? high->utilization : 0;
  std::memcpy(output, &value, sizeof value);
  return 1;
}

int WiFiBandSteering_check_property_value(int item, const void *value) {
  return steering_item(item) && kSteering[item].name != nullptr && igd1::mib::item_takes(kSteering[item], value)
             ? 1
             : 0;
}

int WiFiBandSteering_set_property(int item, const void *value) {
  if (WiFiBandSteering_check_property_value(item, value) == 0 ||
      igd1::mib::should_fail("WiFiBandSteering_set_property", item))
    return 0;
  return igd1::mib::write_item(kSteering[item], value) ? 1 : 0;
}

int WiFiBandSteering_set_property_update(void) {
  igd1::mib::journal_append(MIB_CFG_WIFI_INFO, MIB_ACTION_APPLY, "band steering");
  return 1;
}

// ---- roaming ----

namespace {

constexpr const char *kBandNames[] = {"2G", "5G"};
// Per band: off, from the start (a second of the day), thresholds in dBm.
constexpr auto kRoamingEnable = within<uint32_t, 0, 1>;
constexpr auto kDaySecond = within<uint32_t, 0, 86400>;
constexpr Item kRoaming[2][4] = {
    {{"roaming.2G.Enable", K::Bool, 4, "0", kRoamingEnable},
     {"roaming.2G.StartTime", K::U32, 4, "0", kDaySecond},
     {"roaming.2G.Threshold1RSSI", K::I32, 4, "-70", kRssi},
     {"roaming.2G.Threshold2RSSI", K::I32, 4, "-80", kRssi}},
    {{"roaming.5G.Enable", K::Bool, 4, "0", kRoamingEnable},
     {"roaming.5G.StartTime", K::U32, 4, "0", kDaySecond},
     {"roaming.5G.Threshold1RSSI", K::I32, 4, "-72", kRssi},
     {"roaming.5G.Threshold2RSSI", K::I32, 4, "-82", kRssi}},
};
const igd1::mib::Defaults kRoamingDefaults(kRoaming[0]), kRoaming5GDefaults(kRoaming[1]);

bool valid_band(uint32_t band) { return band == 1 || band == 2; }

// The query each band runs: the station or stations asked about, the
// access points a station is to measure.
struct Query {
  bool started = false;
  Mac station{};
  std::vector<Mac> macs;      // access points (AP query) or stations (station query)
  uint32_t expected = 0;      // the access point count the caller gave
};
struct Transition {
  bool asked = false;
  Mac station{};
  uint32_t target_band = 0;
};
std::mutex g_queries_mutex;
Query g_ap_query[2], g_sta_query[2];
Transition g_transition[2];

// An address with separators or as twelve hex digits.
bool mac_from_text(const char *text, Mac *mac) { return text != nullptr && igd1::devices::parse_mac(text, mac); }

// A band's query, taken out of its slot.
Query taken(Query &slot) {
  std::lock_guard lock(g_queries_mutex);
  return std::exchange(slot, {});
}

// The records of `levels` in the caller's form, at most ROAMING_MAX_RECORDS.
void put_records(const std::vector<igd1::devices::SignalRecord> &levels, roaming_rssi_record *records,
                 uint32_t *count) {
  *count = 0;
  for (const igd1::devices::SignalRecord &level : levels) {
    if (*count == ROAMING_MAX_RECORDS) break;
    roaming_rssi_record &r = records[(*count)++];
    r = {};
    std::copy(level.mac.begin(), level.mac.end(), r.mac);
    r.rssi = level.rssi;
    r.valid = level.valid;
  }
}

}  // namespace

int Roaming_band_check(const char *band) {
  for (uint32_t id = 1; id <= 2; ++id) {
    if (band == nullptr || std::strcmp(band, kBandNames[id - 1]) != 0) continue;
    Radios *radios = radios_for("Roaming_band_check", int(id));
    return radios != nullptr && radios->band(id) ? 1 : 0;
  }
  return 0;
}

int Roaming_get_property(int item, void *output, uint32_t band) {
  if (output == nullptr || !valid_band(band) || item < 0 || item > 4 ||
      igd1::mib::should_fail("Roaming_get_property", item))
    return 0;
  if (item > 0) return igd1::mib::read_item(kRoaming[band - 1][item - 1], output) ? 1 : 0;
  Radios *radios = igd1::mib::served_radios();
  const auto b = radios != nullptr ? radios->band(band) : std::nullopt;
  if (!b) return 0;
  igd1::mib::put_value<13>(output, igd1::devices::mac_digits(b->bssid));
  return 1;
}

int Roaming_set_property(int item, const void *value, uint32_t band) {
  if (value == nullptr || !valid_band(band) || item < 1 || item > 4 ||
      igd1::mib::should_fail("Roaming_set_property", item))
    return 0;
  return igd1::mib::write_item(kRoaming[band - 1][item - 1], value) ? 1 : 0;
}

int Roaming_set_property_update(uint32_t band) {
  if (!valid_band(band)) return 0;
  igd1::mib::journal_append(MIB_CFG_WIFI_INFO, MIB_ACTION_APPLY, std::string("roaming ") + kBandNames[band - 1]);
  return 1;
}

void Roaming_StartAPRSSIQuery_reset(uint32_t band) {
  if (!valid_band(band)) return;
  std::lock_guard lock(g_queries_mutex);
  g_ap_query[band - 1] = {};
}

int Roaming_StartAPRSSIQuery_setup_method(uint32_t band, const char *ap_mac, uint32_t channel, uint32_t position,
                                          uint32_t ap_count, char *message) {
  Mac mac{};
  if (!valid_band(band) || !mac_from_text(ap_mac, &mac))
    return answer(message, "invalid access point address", 1);
  if (!igd1::devices::valid_channel(band, channel))
    return answer(message, "invalid channel " + std::to_string(channel), 1);
  std::lock_guard lock(g_queries_mutex);
  Query &query = g_ap_query[band - 1];
  if (position != query.macs.size() || position >= ap_count || ap_count > ROAMING_MAX_RECORDS)
    return answer(message, "too many access points", 1);
  query.macs.push_back(mac);
  query.expected = ap_count;
  return 0;
}

int Roaming_StartAPRSSIQuery_method(uint32_t band, const char *sta_mac, char *message) {
  Mac station{};
  if (!valid_band(band) || !mac_from_text(sta_mac, &station))
    return answer(message, "invalid station address", 1);
  Radios *radios = radios_for("Roaming_StartAPRSSIQuery_method", int(band));
  std::vector<igd1::devices::SignalRecord> probe;
  if (radios == nullptr || !radios->access_point_levels(band, station, {}, &probe))
    return answer(message, "the station is not associated with this band", 1);
  std::lock_guard lock(g_queries_mutex);
  Query &query = g_ap_query[band - 1];
  query.station = station;
  query.started = true;
  return answer(message, "query started", 0);
}

int Roaming_APRSSIQuery_report(uint32_t band, uint32_t *result, uint8_t *ap_mac, roaming_rssi_record *records,
                               uint32_t *count, char *errdesc) {
  if (!valid_band(band) || result == nullptr || ap_mac == nullptr || records == nullptr || count == nullptr)
    return 0;
  const Query query = taken(g_ap_query[band - 1]);
  if (!query.started) return 0;
  Radios *radios = igd1::mib::served_radios();
  const auto b = radios != nullptr ? radios->band(band) : std::nullopt;
  std::vector<igd1::devices::SignalRecord> levels;
  *count = 0;
  if (!b || !radios->access_point_levels(band, query.station, query.macs, &levels)) {
    *result = 1;
    put_message(errdesc, "the station left before it answered");
    if (b) std::copy(b->bssid.begin(), b->bssid.end(), ap_mac);
    return 1;
  }
  std::copy(b->bssid.begin(), b->bssid.end(), ap_mac);
  put_records(levels, records, count);
  *result = 0;
  return answer(errdesc, "", 1);
}

int Roaming_GetSTARSSIQuery_check_status(uint32_t band, char *message) {
  if (!valid_band(band)) return answer(message, "no such band", 1);
  std::lock_guard lock(g_queries_mutex);
  if (!g_sta_query[band - 1].started) {
    g_sta_query[band - 1] = {};
    return 0;
  }
  return answer(message, "a station query is running", 1);
}

int Roaming_GetSTARSSIQuery_setup_method(uint32_t band, const char *sta_mac, uint32_t channel, uint32_t position) {
  Mac mac{};
  if (!valid_band(band) || !mac_from_text(sta_mac, &mac) || !igd1::devices::valid_channel(band, channel))
    return 1;
  std::lock_guard lock(g_queries_mutex);
  Query &query = g_sta_query[band - 1];
  if (position != query.macs.size() || position >= ROAMING_MAX_RECORDS) return 1;
  query.macs.push_back(mac);
  return 0;
}

int Roaming_GetSTARSSIQuery_method(uint32_t band, uint32_t count, char *message) {
  if (!valid_band(band) || radios_for("Roaming_GetSTARSSIQuery_method", int(band)) == nullptr)
    return answer(message, "the radios do not answer", 1);
  std::lock_guard lock(g_queries_mutex);
  Query &query = g_sta_query[band - 1];
  if (count == 0 || count != query.macs.size()) {
    query = {};
    return answer(message, "no station to query", 1);
  }
  query.started = true;
  return answer(message, "query started", 0);
}

int Roaming_STARSSIQuery_report(uint32_t band, uint32_t *result, roaming_rssi_record *records, uint32_t *count,
                                char *errdesc) {
  if (!valid_band(band) || result == nullptr || records == nullptr || count == nullptr) return 0;
  const Query query = taken(g_sta_query[band - 1]);
  Radios *radios = igd1::mib::served_radios();
  if (!query.started || radios == nullptr) return 0;
  put_records(radios->station_levels(band, query.macs), records, count);
  *result = 0;
  return answer(errdesc, "", 1);
}

int Roaming_StartSTABSSTransitionRequest_method(uint32_t band, const char *sta_mac, uint32_t channel,
                                                const char *target_bssid, char *message) {
  Mac station{}, target{};
  if (!valid_band(band) || !mac_from_text(sta_mac, &station))
    return answer(message, "invalid station address", 1);
  Radios *radios = radios_for("Roaming_StartSTABSSTransitionRequest_method", int(band));
  const auto st = radios != nullptr ? radios->station(station) : std::nullopt;
  if (!st || band_of(*radios, *st) != band)
    return answer(message, "the station is not associated with this band", 1);
  if (!st->bss_transition) return answer(message, "the station does not take transition requests", 1);
  uint32_t target_band = 0;
  for (uint32_t id = 1; id <= 2; ++id) {
    const auto b = radios->band(id);
    if (b && mac_from_text(target_bssid, &target) && b->bssid == target && b->channel_in_use == channel)
      target_band = id;
  }
  if (target_band == 0) return answer(message, "no access point of this gateway on that channel", 1);
  std::lock_guard lock(g_queries_mutex);
  g_transition[band - 1] = {true, station, target_band};
  return answer(message, "request sent", 0);
}

int Roaming_STABSSTransition_report(uint32_t band, const char *sta_mac, uint32_t *status, char *errdesc) {
  Mac station{};
  if (!valid_band(band) || status == nullptr || !mac_from_text(sta_mac, &station)) return 0;
  Transition transition;
  {
    std::lock_guard lock(g_queries_mutex);
    if (!g_transition[band - 1].asked || g_transition[band - 1].station != station) return 0;
    transition = std::exchange(g_transition[band - 1], {});
  }
  Radios *radios = igd1::mib::served_radios();
  std::string why;
  if (radios == nullptr || !radios->transition_station(station, transition.target_band, &why)) {
    *status = 1;
    return answer(errdesc, why.empty() ? "the radios do not answer" : why, 1);
  }
  *status = 0;
  return answer(errdesc, "", 1);
}

int Roaming_station_check(uint32_t band, const char *sta_mac) {
  Mac station{};
  Radios *radios = igd1::mib::served_radios();
  if (!valid_band(band) || radios == nullptr || !mac_from_text(sta_mac, &station)) return 0;
  return radios->station_levels(band, {station}).front().valid == 1 ? 1 : 0;
}

// ---- radio-wide WiFi information ----

namespace {

constexpr size_t kResultSize = 256;

constexpr auto kFlag = igd1::mib::within<uint8_t, 0, 1>;

// Items kept as settings (the others come from the radios): both radios on,
// the counters since the radios started.
constexpr Item kInfoSettings[] = {
    {"wifiinfo.Enable2G", K::U8, 1, "1", kFlag},   {"wifiinfo.Enable5G", K::U8, 1, "1", kFlag},
    {"wifiinfo.Enable", K::U8, 1, "1", kFlag},     {nullptr, K::Text, 0},
    {nullptr, K::U32, 4},                     {"wifiinfo.SupportedBeaconType", K::Text, 65, "None,Basic,WPA,11i,WPAand11i"},
    {"wifiinfo.MAPAgent", K::U8, 1, "0", kFlag},          {"wifiinfo.SameSSIDStatus", K::U32, 4, "0"},
    {"wifiinfo.RxBytes", K::U64, 8, "1843300112"},          {"wifiinfo.RxPkts", K::U64, 8, "1520331"},
    {"wifiinfo.RxErrorPkts", K::U64, 8, "12"},      {"wifiinfo.RxDropPkts", K::U64, 8, "0"},
    {"wifiinfo.TxBytes", K::U64, 8, "7311200871"},          {"wifiinfo.TxPkts", K::U64, 8, "5402112"},
    {"wifiinfo.TxErrorPkts", K::U64, 8, "0"},      {"wifiinfo.TxDropPkts", K::U64, 8, "0"},
    {"wifiinfo.RatePriority", K::U32, 4, "0"},     {"wifiinfo.RatePriority5G", K::U32, 4, "0"},
    {nullptr, K::U8, 1},                      {nullptr, K::Text, 32},
    {nullptr, K::U8, 1},                      {nullptr, K::Text, 32},
    {nullptr, K::I32, 2},                     {nullptr, K::I32, 2},
    {"wifiinfo.EnWifiQualityCollection", K::U32, 4, "0"},
};
constexpr Item kSameSsidPair = {"wifiinfo.SameSSIDPair", K::Text, 16, ""};
const igd1::mib::Defaults kInfoDefaults(kInfoSettings), kPairDefault({kSameSsidPair});
std::atomic<uint32_t> g_token{0};

bool info_item(int item) { return item >= 0 && item < int(std::size(kInfoSettings)); }

// What the radios say of a band for the items they answer.
bool band_item(Radios &radios, int item, void *output) {
  const uint32_t band = item == 20 || item == 21 || item == 23 ? 2 : 1;
  const auto b = radios.band(band);
  switch (item) {
    case 3: {
      const auto low = radios.band(1), high = radios.band(2);
      if (!low || !high) return false;
      g_strlcpy(static_cast<char *>(output), (low->standard + "," + high->standard).c_str(), 128);
      return true;
    }
    case 4: {
      const uint32_t dual = radios.band(1) && radios.band(2) ? 1 : 0;
      std::memcpy(output, &dual, sizeof dual);
      return true;
    }
    case 18:
    case 20:
      if (!b) return false;
      *static_cast<uint8_t *>(output) = uint8_t(b->scan_state);
      return true;
    case 19:
    case 21:
      if (!b) return false;
      g_strlcpy(static_cast<char *>(output), b->scan_finish_time.c_str(), 32);
      return true;
    case 22:
    case 23: {
      if (!b) return false;
      const int16_t noise = int16_t(b->noise);
      std::memcpy(output, &noise, sizeof noise);
      return true;
    }
    default: return false;
  }
}

// A band's last scan result, best score first, and how many scored.
std::vector<std::pair<uint32_t, std::string>> scored_entries(const igd1::devices::RadioBand &band) {
  std::vector<std::pair<uint32_t, std::string>> entries;
  for (const std::string &entry : band.scan_result) {
    const size_t colon = entry.find(':');
    guint64 score = 0;
    if (colon == std::string::npos ||
        !g_ascii_string_to_unsigned(entry.c_str() + colon + 1, 10, 0, 100, &score, nullptr))
      continue;
    entries.emplace_back(uint32_t(score), entry);
  }
  std::stable_sort(entries.begin(), entries.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
  return entries;
}

bool parse_ssid_number(const char *text, uint32_t *number) {
  guint64 value = 0;
  if (text == nullptr || !g_ascii_string_to_unsigned(text, 10, 1, 16, &value, nullptr)) return false;
  *number = uint32_t(value);
  return true;
}

}  // namespace

int wifiinfo_get_property(int item, void *output) {
  if (output == nullptr || !info_item(item) || igd1::mib::should_fail("wifiinfo_get_property", item)) return 0;
  if (kInfoSettings[item].name != nullptr) return igd1::mib::read_item(kInfoSettings[item], output) ? 1 : 0;
  Radios *radios = igd1::mib::served_radios();
  return radios != nullptr && band_item(*radios, item, output) ? 1 : 0;
}

int wifiinfo_set_property(int item, const void *value, int *changed, uint32_t *token) {
  if (value == nullptr || changed == nullptr || token == nullptr || !info_item(item) ||
      igd1::mib::should_fail("wifiinfo_set_property", item))
    return 0;
  *changed = 0;
  if (item == 18 || item == 20) {
    Radios *radios = igd1::mib::served_radios();
    const auto band = radios != nullptr ? radios->band(item == 18 ? 1 : 2) : std::nullopt;
    std::string why;
    if (!band || load<uint8_t>(value) != 0) return 0;
    if (band->scan_state == igd1::devices::ScanState::Idle) return 1;
    if (!radios->clear_scan(item == 18 ? 1 : 2, &why)) return 0;
    *changed = 1;
  } else {
    const bool writable = item <= 2 || item == 6 || item == 16 || item == 17 || item == 24;
    bool written = false;
    if (!writable || !igd1::mib::write_changed(kInfoSettings[item], value, &written)) return 0;
    if (!written) return 1;
    *changed = 1;
  }
  *token = ++g_token;
  return 1;
}

int wifiinfo_set_property_update(uint32_t token) {
  igd1::mib::journal_append(MIB_CFG_WIFI_INFO, MIB_ACTION_APPLY, "wifi information " + std::to_string(token));
  return 1;
}

int wifiinfo_KickOutDevice(const char *mac, const char *ssid_index, int *result, char *message) {
  Mac station{};
  uint32_t ssid = 0;
  if (result == nullptr) return 0;
  *result = 0;
  if (!mac_from_text(mac, &station) || !parse_ssid_number(ssid_index, &ssid))
    return answer(message, "invalid MAC or SSID index", 0);
  Radios *radios = radios_for("wifiinfo_KickOutDevice", int(ssid));
  std::string why;
  if (radios == nullptr || !radios->kick_station(station, ssid, &why))
    return answer(message, radios == nullptr ? "the radios do not answer" : why, 0);
  *result = 1;
  return 1;
}

int wifiinfo_GetWLANNeighbor(const char *radio_type, char **text) {
  if (text == nullptr) return 1;
  *text = nullptr;
  uint32_t band = 0;
  if (radio_type != nullptr && (g_ascii_strcasecmp(radio_type, "2.4G") == 0 || g_ascii_strcasecmp(radio_type, "2G") == 0))
    band = 1;
  else if (radio_type != nullptr && g_ascii_strcasecmp(radio_type, "5G") == 0)
    band = 2;
  Radios *radios = radios_for("wifiinfo_GetWLANNeighbor", int(band));
  const auto b = radios != nullptr && band != 0 ? radios->band(band) : std::nullopt;
  if (!b) {
    *text = g_strdup("unknown radio type");
    return 1;
  }
  std::string joined;
  for (const std::string &entry : b->neighbours) joined += (joined.empty() ? "" : ";") + entry;
  *text = g_strdup(joined.c_str());
  return 0;
}

int wifiinfo_SetSameSSID(const char *index24, const char *index58, char *message) {
  uint32_t low = 0, high = 0;
  Radios *radios = radios_for("wifiinfo_SetSameSSID", 0);
  const auto ssid24 = radios != nullptr && parse_ssid_number(index24, &low) ? radios->ssid(low) : std::nullopt;
  const auto ssid58 = radios != nullptr && parse_ssid_number(index58, &high) ? radios->ssid(high) : std::nullopt;
  if (!ssid24 || !ssid58 || ssid24->band != 1 || ssid58->band != 2)
    return answer(message, "the indexes name no 2.4 GHz and 5 GHz SSID", 0);
  const uint32_t paired = 1;
  const std::string pair = std::to_string(low) + "," + std::to_string(high);
  if (!igd1::mib::write_item(kSameSsidPair, pair.c_str()) || !igd1::mib::write_item(kInfoSettings[7], &paired))
    return answer(message, "the store did not take the pair", 0);
  igd1::mib::journal_append(MIB_CFG_WIFI_INFO, 0, "same SSID " + pair);
  return 1;
}

int wifiinfo_CancelSameSSID(void) {
  uint32_t paired = 0;
  if (igd1::mib::should_fail("wifiinfo_CancelSameSSID", 0) || !igd1::mib::read_item(kInfoSettings[7], &paired) ||
      paired == 0)
    return 0;
  paired = 0;
  if (!igd1::mib::write_item(kSameSsidPair, "") || !igd1::mib::write_item(kInfoSettings[7], &paired)) return 0;
  igd1::mib::journal_append(MIB_CFG_WIFI_INFO, 0, "same SSID cancelled");
  return 1;
}

int wifiinfo_ChannelSwitch(uint32_t band, char *message) {
  Radios *radios = radios_for("wifiinfo_ChannelSwitch", int(band));
  std::string why;
  if (radios == nullptr || !radios->switch_channel(band, &why))
    return answer(message, radios == nullptr ? "the radios do not answer" : why, 0);
  const auto b = radios->band(band);
  return answer(message, "channel " + std::to_string(b ? b->channel_in_use : 0), 1);
}

int wifiinfo_ChannelSanResult(uint32_t band, char *result, uint32_t *count, char *message) {
  if (result == nullptr || count == nullptr) return 0;
  *result = '\0';
  *count = 0;
  Radios *radios = radios_for("wifiinfo_ChannelSanResult", int(band));
  const auto b = radios != nullptr ? radios->band(band) : std::nullopt;
  if (!b || b->scan_state != igd1::devices::ScanState::Done) {
    const bool scanning = b && b->scan_state == igd1::devices::ScanState::Running;
    return answer(message, !b ? "no such band" : scanning ? "scanning" : "no scan result", 0);
  }
  std::string text;
  for (const auto &[score, entry] : scored_entries(*b)) {
    if (text.size() + entry.size() + 1 >= kResultSize) break;
    text += (text.empty() ? "" : ",") + entry;
    if (score > 0) ++*count;
  }
  g_strlcpy(result, text.c_str(), kResultSize);
  return 1;
}

int wifiinfo_ChannelSan(uint32_t band, char *message) {
  Radios *radios = radios_for("wifiinfo_ChannelSan", int(band));
  std::string why;
  if (radios == nullptr || !radios->start_scan(band, &why))
    return answer(message, radios == nullptr ? "the radios do not answer" : why, 0);
  return answer(message, "scan started", 1);
}
