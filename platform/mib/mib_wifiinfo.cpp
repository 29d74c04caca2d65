// The radio-wide WiFi state, band steering, roaming and the associated
// stations, answered from the emulated radios (mib_devices.h).  Operations
// that act on the radios run the radios' control program first
// (wifi_radio_run), so that they take the time a real radio takes.
#include <glib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "mib_devices.h"
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

// Twelve upper-case hex digits, as the wireless objects show addresses.
void put_digits(char *output, const uint8_t *mac) {
  std::snprintf(output, 13, "%02X%02X%02X%02X%02X%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
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

}  // namespace

void wifi_radio_run(const char *operation, const char *argument, wifi_radio_done done, void *data) {
  std::vector<std::string> argv = {igd1::program::kRadioCtl, operation != nullptr ? operation : ""};
  if (argument != nullptr) argv.emplace_back(argument);
  igd1::run_async(argv, {.env = {}, .timeout_ms = kRadioTimeoutMs},
                  [done, data](const igd1::RunResult &result) {
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
  if (record == nullptr) return 0;
  Radios *radios = radios_for("STAInfo_get_entry", int(record->number));
  if (radios == nullptr) return 0;
  for (const Station &station : radios->stations()) {
    if (station.number != record->number) continue;
    fill_record(*radios, station, record);
    return 1;
  }
  return 0;
}

int STAInfo_get_property(int item, void *output, const sta_info_record *record) {
  if (output == nullptr || record == nullptr || igd1::mib::should_fail("STAInfo_get_property", item)) return 0;
  switch (item) {
    case 0: put_digits(static_cast<char *>(output), record->mac); return 1;
    case 1: std::memcpy(output, &record->channel, 4); return 1;
    case 2: put_digits(static_cast<char *>(output), record->bssid); return 1;
    case 3: *static_cast<uint8_t *>(output) = record->bss_transition != 0; return 1;
    case 4: *static_cast<uint8_t *>(output) = record->beacon_report != 0; return 1;
    case 5: std::memcpy(output, &record->rssi, 4); return 1;
    default: return 0;
  }
}

int STAInfo_SetSTADeassociationRequest(const char *text, sta_info_record *record, uint32_t,
                                       char *message) {
  if (text == nullptr || record == nullptr || std::strlen(text) >= kMessageSize) {
    put_message(message, "invalid reason");
    return 1;
  }
  Radios *radios = radios_for("STAInfo_SetSTADeassociationRequest", int(record->number));
  if (radios == nullptr) {
    put_message(message, "the radios do not answer");
    return 1;
  }
  std::string why;
  if (!radios->remove_station(mac_from(record->mac), &why)) {
    put_message(message, why);
    return 1;
  }
  put_message(message, "success");
  return 0;
}
