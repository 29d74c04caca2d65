// The emulated radios, USB storage and voice line as igd1d serves them: each
// keeps its state file under the root (seeded when missing), other
// processes change them through events ("event radio station-join ..."), and
// every change reaches the store's state and the modules as a real device's
// would: a station or a USB device that comes or goes reaches the row
// callbacks its module declared, a finished scan and a signal that crosses
// the low mark reach the events a module declared, a line's state reaches
// the store's voice settings.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "host.h"
#include "mib_devices.h"
#include "mib_lanhost_feed.h"
#include "mib_store.h"
#include "mib_vsie.h"
#include "radios.h"
#include "sys_paths.h"
#include "usb_storage.h"
#include "voice_line.h"

namespace igd1::host {
namespace {

using devices::Mac;

// Where device changes go: the module of the station objects, of the USB
// devices, and the events the radios raise there.
constexpr char kStationModule[] = "STAInfo";
constexpr char kScanModule[] = "WiFiInfo";
constexpr char kPoorCallModule[] = "VoicePoorQualityStats";
constexpr char kScanDoneEvent[] = "scan-done";
constexpr char kLowSignalEvent[] = "low-signal";
// A station whose signal falls below this level is reported weak, and again
// when it rises back to it or above.
constexpr int32_t kLowSignalDbm = -75;
// What a plugged disk backed by a folder holds (an image file is its own size).
constexpr uint64_t kPluggedFolderBytes = uint64_t(8) << 30;

struct Devices {
  devices::Radios radios;
  devices::UsbStorage usb;
  devices::VoiceService voice;
  guint scan_timer = 0;
  bool scanning[2] = {};  // by band (1, 2): a scan this host started and has not reported

  explicit Devices(const std::string &dir)
      : radios(dir + "radios.ini"), usb(dir + "usb.ini"), voice(dir + "voice.ini") {}
};

std::unique_ptr<Devices> g_devices;

int refuse(char *reason, size_t size, const std::string &why) {
  g_strlcpy(reason, why.c_str(), size);
  return 0;
}

Mac mac_of(const dbus_proxy_event_value &value) {
  Mac mac{};
  std::copy(value.mac, value.mac + 6, mac.begin());
  return mac;
}

// ---- radios ----

int station_join(const dbus_proxy_event_value *v, char *reason, size_t size) {
  devices::Station station;
  station.mac = mac_of(v[0]);
  station.ssid = uint32_t(v[1].number);
  station.rssi = int32_t(v[2].number);
  std::string why;
  if (!g_devices->radios.add_station(station, &why)) return refuse(reason, size, why);
  return 1;
}

int station_leave(const dbus_proxy_event_value *v, char *reason, size_t size) {
  std::string why;
  if (!g_devices->radios.remove_station(mac_of(v[0]), &why)) return refuse(reason, size, why);
  return 1;
}

// However a station comes or goes (an event, a kick, a de-association by a
// bus call), its object follows; one that left is inactive among the LAN
// hosts from then on.
void station_changed(const devices::Station &station, bool joined) {
  announce_device(kStationModule, station.number, false, joined);
  if (!joined) mib::lanhost_set_inactive(station.mac.data());
}

int station_signal(const dbus_proxy_event_value *v, char *reason, size_t size) {
  const Mac mac = mac_of(v[0]);
  const int32_t rssi = int32_t(v[1].number);
  std::optional<devices::Station> before = g_devices->radios.station(mac);
  std::string why;
  if (!g_devices->radios.set_station_rssi(mac, rssi, &why)) return refuse(reason, size, why);
  const bool weak = rssi < kLowSignalDbm;
  if (weak != (before->rssi < kLowSignalDbm)) {
    dbus_proxy_event_value values[4] = {};
    values[0].number = before->number;
    std::copy(mac.begin(), mac.end(), values[1].mac);
    values[2].number = weak ? 1 : 0;
    values[3].number = rssi;
    raise_event(kStationModule, kLowSignalEvent,
                {DBUS_PROXY_ARG_UINT32, DBUS_PROXY_ARG_MAC, DBUS_PROXY_ARG_BOOL, DBUS_PROXY_ARG_INT32},
                values);
  }
  return 1;
}

// A scan's results arrive when its time has come: one timer on the main
// loop for the earliest running scan, never a wait.
void arm_scan_timer();

gboolean scans_due(gpointer) {
  g_devices->scan_timer = 0;
  for (uint32_t band : {1u, 2u}) {
    std::optional<devices::RadioBand> b = g_devices->radios.band(band);
    if (!g_devices->scanning[band - 1] || !b || b->scan_state != devices::ScanState::Done) continue;
    g_devices->scanning[band - 1] = false;
    dbus_proxy_event_value values[2] = {};
    values[0].number = band;
    values[1].number = int64_t(b->scan_result.size());
    raise_event(kScanModule, kScanDoneEvent, {DBUS_PROXY_ARG_UINT32, DBUS_PROXY_ARG_UINT32}, values);
  }
  arm_scan_timer();
  return G_SOURCE_REMOVE;
}

void arm_scan_timer() {
  const int64_t due_in = g_devices->radios.next_scan_due_in();
  if (due_in < 0 || g_devices->scan_timer != 0) return;
  g_devices->scan_timer = g_timeout_add(guint(due_in) + 1, scans_due, nullptr);
}

int scan(const dbus_proxy_event_value *v, char *reason, size_t size) {
  std::string message;
  const auto band = uint32_t(v[0].number);
  if (!g_devices->radios.start_scan(band, &message)) return refuse(reason, size, message);
  g_devices->scanning[band - 1] = true;
  arm_scan_timer();
  return 1;
}

int scan_result(const dbus_proxy_event_value *v, char *reason, size_t size) {
  std::string why;
  if (!g_devices->radios.add_scan_result(uint32_t(v[0].number), uint32_t(v[1].number),
                                         uint32_t(v[2].number), &why))
    return refuse(reason, size, why);
  return 1;
}

int scan_delay(const dbus_proxy_event_value *v, char *reason, size_t size) {
  std::string why;
  if (!g_devices->radios.set_scan_delay(uint32_t(v[0].number), &why)) return refuse(reason, size, why);
  return 1;
}

// A probe request carrying a vendor-specific element: kept by the capture
// filters of its band and OUI.
int probe_request(const dbus_proxy_event_value *v, char *reason, size_t size) {
  const auto band = uint32_t(v[1].number);
  const auto channel = uint32_t(v[2].number);
  if (!devices::valid_channel(band, channel))
    return refuse(reason, size, "CHANNEL is no channel of BAND (1: 2.4 GHz, 2: 5 GHz)");
  if (probeRxVSIE_capture(v[0].mac, band, channel, int32_t(v[3].number), v[4].text, v[5].text) < 0)
    return refuse(reason, size, "OUI is six hex digits, DATA an even number of hex digits");
  return 1;
}

// The elements a frame carries, as the store applies them (the frame's
// name, a space, "<band>:<ssid>:<bytes>" joined with ";", band 3 for both),
// go to the radios' bands.
bool apply_elements(const void *data, int) {
  if (g_devices == nullptr || data == nullptr) return false;
  const std::string_view notice = static_cast<const char *>(data);
  const size_t space = notice.find(' ');
  if (space == std::string_view::npos) return false;
  const std::string_view frame_name = notice.substr(0, space);
  devices::ElementFrame frame;
  if (frame_name == "beacon")
    frame = devices::ElementFrame::Beacon;
  else if (frame_name == "probe-response")
    frame = devices::ElementFrame::ProbeResponse;
  else
    return false;
  std::vector<std::string> by_band[2];
  g_auto(GStrv) entries = g_strsplit(notice.data() + space + 1, ";", -1);
  for (gchar **entry = entries; *entry != nullptr; ++entry) {
    if (**entry == '\0') continue;
    const char *rest = std::strchr(*entry, ':');
    if (rest == nullptr || rest - *entry != 1 || (**entry < '1' || **entry > '3')) return false;
    const int band = **entry - '0';
    for (int b = 1; b <= 2; ++b)
      if ((band & b) != 0) by_band[b - 1].emplace_back(rest + 1);
  }
  std::string why;
  for (uint32_t band = 1; band <= 2; ++band) {
    if (!g_devices->radios.set_elements(band, frame, std::move(by_band[band - 1]), &why)) {
      host_log(LOG_LEVEL_WARN, "radios: %s", why.c_str());
      return false;
    }
  }
  return true;
}

constexpr dbus_proxy_event_arg kJoinArgs[] = {
    {"MAC", DBUS_PROXY_ARG_MAC, 0}, {"SSID", DBUS_PROXY_ARG_UINT32, 0}, {"RSSI", DBUS_PROXY_ARG_INT32, 0}};
constexpr dbus_proxy_event_arg kMacArg[] = {{"MAC", DBUS_PROXY_ARG_MAC, 0}};
constexpr dbus_proxy_event_arg kSignalArgs[] = {{"MAC", DBUS_PROXY_ARG_MAC, 0},
                                                {"RSSI", DBUS_PROXY_ARG_INT32, 0}};
constexpr dbus_proxy_event_arg kBandArg[] = {{"BAND", DBUS_PROXY_ARG_UINT32, 0}};
constexpr dbus_proxy_event_arg kResultArgs[] = {{"BAND", DBUS_PROXY_ARG_UINT32, 0},
                                                {"CHANNEL", DBUS_PROXY_ARG_UINT32, 0},
                                                {"SCORE", DBUS_PROXY_ARG_UINT32, 0}};
constexpr dbus_proxy_event_arg kDelayArg[] = {{"MS", DBUS_PROXY_ARG_UINT32, 0}};
constexpr dbus_proxy_event_arg kProbeArgs[] = {{"MAC", DBUS_PROXY_ARG_MAC, 0},
                                               {"BAND", DBUS_PROXY_ARG_UINT32, 0},
                                               {"CHANNEL", DBUS_PROXY_ARG_UINT32, 0},
                                               {"RSSI", DBUS_PROXY_ARG_INT32, 0},
                                               {"OUI", DBUS_PROXY_ARG_TEXT, VSIE_OUI_SIZE - 1},
                                               {"DATA", DBUS_PROXY_ARG_TEXT, VSIE_DATA_SIZE - 1}};
constexpr dbus_proxy_event kRadioEvents[] = {
    {"probe-request", probe_request, kProbeArgs, 6},
    {"station-join", station_join, kJoinArgs, 3},
    {"station-leave", station_leave, kMacArg, 1},
    {"station-signal", station_signal, kSignalArgs, 2},
    {"scan", scan, kBandArg, 1},
    {"scan-result", scan_result, kResultArgs, 3},
    {"scan-delay", scan_delay, kDelayArg, 1},
};

// ---- USB storage ----

// The kernel's names of disks: sda ... sdz, then sdaa ...
std::string disk_name(int32_t index) {
  std::string letters;
  for (int32_t n = index; n > 0; n = (n - 1) / 26) letters.insert(letters.begin(), char('a' + (n - 1) % 26));
  return "/dev/sd" + letters + "1";
}

int usb_plug(const dbus_proxy_event_value *v, char *reason, size_t size) {
  const std::vector<devices::UsbDevice> present = g_devices->usb.devices();
  devices::UsbDevice device;
  device.index = 1;
  while (std::any_of(present.begin(), present.end(), [&](const auto &d) { return d.index == device.index; }))
    ++device.index;
  device.vendor = "Emulated";
  device.model = "USB disk";
  device.device_name = disk_name(device.index);
  device.mount_point = "/mnt/usb" + std::to_string(device.index);
  device.backing = v[0].text;
  device.capacity = kPluggedFolderBytes;
  device.label = v[1].text;
  std::string why;
  int32_t index = 0;
  if (!g_devices->usb.add_device(device, &index, &why)) return refuse(reason, size, why);
  // The store's device list follows; its row callbacks publish the device.
  std::optional<devices::UsbDevice> added = g_devices->usb.device(index);
  if (!added || !mib::usb_device_arrived(*added)) return refuse(reason, size, "the store did not take the device");
  return 1;
}

int usb_unplug(const dbus_proxy_event_value *v, char *reason, size_t size) {
  if (v[0].number < 1 || v[0].number > devices::kMaxUsbDevices)
    return refuse(reason, size, "INDEX is from 1 to " + std::to_string(devices::kMaxUsbDevices));
  std::string why;
  if (!g_devices->usb.remove_device(int32_t(v[0].number), &why)) return refuse(reason, size, why);
  mib::usb_device_left(int32_t(v[0].number));
  return 1;
}

constexpr dbus_proxy_event_arg kPlugArgs[] = {{"BACKING", DBUS_PROXY_ARG_TEXT, devices::kMountPointMax},
                                              {"LABEL", DBUS_PROXY_ARG_TEXT, devices::kLabelMax}};
constexpr dbus_proxy_event_arg kIndexArg[] = {{"INDEX", DBUS_PROXY_ARG_UINT32, 0}};
constexpr dbus_proxy_event kUsbEvents[] = {
    {"plug", usb_plug, kPlugArgs, 2},
    {"unplug", usb_unplug, kIndexArg, 1},
};

// ---- voice line ----

int voice_line(const dbus_proxy_event_value *v, char *reason, size_t size) {
  const auto number = uint32_t(v[0].number);
  std::optional<devices::VoiceLine> line = g_devices->voice.line(number);
  if (!line) return refuse(reason, size, "LINE is 1 or 2");
  line->status = v[1].text;
  std::string why;
  if (!g_devices->voice.set_line(number, *line, &why)) return refuse(reason, size, why);
  const std::string setting = "voip.Line" + std::to_string(number) + "Status";
  if (!mib::set_setting(setting, line->status))
    return refuse(reason, size, "the store did not take " + setting);
  return 1;
}

// A poor-quality call the line recorded: a new row while the table has
// room (a full table drops its oldest, so its rows stay).
int call_record(const dbus_proxy_event_value *v, char *reason, size_t size) {
  devices::CallRecord record;
  record.stat_time = v[0].text;
  if (const size_t t = record.stat_time.find('T'); t != std::string::npos) record.stat_time[t] = ' ';
  record.tx_packets = uint64_t(v[1].number);
  record.rx_packets = uint64_t(v[2].number);
  record.mean_delay = uint32_t(v[3].number);
  record.mean_jitter = uint32_t(v[4].number);
  record.fraction_loss = uint32_t(v[5].number);
  record.local_address = v[6].text;
  record.local_port = uint32_t(v[7].number);
  record.far_address = v[8].text;
  record.far_port = uint32_t(v[9].number);
  record.mos = uint32_t(v[10].number);
  record.codec = v[11].text;
  const size_t before = g_devices->voice.call_records().size();
  std::string why;
  if (!g_devices->voice.add_call_record(record, &why)) return refuse(reason, size, why);
  const size_t after = g_devices->voice.call_records().size();
  if (after > before) announce_device(kPoorCallModule, uint32_t(after), false, true);
  return 1;
}

int test_delay(const dbus_proxy_event_value *v, char *reason, size_t size) {
  std::string why;
  if (!g_devices->voice.set_test_delay(uint32_t(v[0].number), &why)) return refuse(reason, size, why);
  return 1;
}

constexpr dbus_proxy_event_arg kLineArgs[] = {{"LINE", DBUS_PROXY_ARG_UINT32, 0},
                                              {"STATUS", DBUS_PROXY_ARG_TEXT, devices::kVoiceTextMax}};
// The date and the time of a record are two words: TIME is "YYYY-MM-DDThh:mm:ss".
constexpr dbus_proxy_event_arg kRecordArgs[] = {
    {"TIME", DBUS_PROXY_ARG_TEXT, devices::kVoiceTextMax}, {"TX", DBUS_PROXY_ARG_UINT32, 0},
    {"RX", DBUS_PROXY_ARG_UINT32, 0},                      {"DELAY", DBUS_PROXY_ARG_UINT32, 0},
    {"JITTER", DBUS_PROXY_ARG_UINT32, 0},                  {"LOSS", DBUS_PROXY_ARG_UINT32, 0},
    {"LOCAL", DBUS_PROXY_ARG_TEXT, devices::kVoiceTextMax}, {"LOCALPORT", DBUS_PROXY_ARG_UINT32, 0},
    {"FAR", DBUS_PROXY_ARG_TEXT, devices::kVoiceTextMax},  {"FARPORT", DBUS_PROXY_ARG_UINT32, 0},
    {"MOS", DBUS_PROXY_ARG_UINT32, 0},                     {"CODEC", DBUS_PROXY_ARG_TEXT, devices::kVoiceTextMax}};
constexpr dbus_proxy_event kVoiceEvents[] = {{"line", voice_line, kLineArgs, 2},
                                             {"call-record", call_record, kRecordArgs, 12},
                                             {"test-delay", test_delay, kDelayArg, 1}};

template <size_t N>
void declare(const char *device, const dbus_proxy_event (&events)[N]) {
  register_events(device, events, N);
}

}  // namespace

void start_emulated_devices() {
  stop_emulated_devices();
  g_devices = std::make_unique<Devices>(sys_path(path::kDeviceStateDir));
  // A state file that cannot be read leaves its device with the seeded
  // state, in memory only, and says why.
  std::string why;
  if (!g_devices->radios.open(&why)) host_log(LOG_LEVEL_WARN, "radios: %s", why.c_str());
  if (!g_devices->usb.open(&why)) host_log(LOG_LEVEL_WARN, "USB storage: %s", why.c_str());
  if (!g_devices->voice.open(&why)) host_log(LOG_LEVEL_WARN, "voice line: %s", why.c_str());
  mib::serve_voice(&g_devices->voice);
  mib::serve_usb(&g_devices->usb);
  g_devices->radios.set_station_listener(station_changed);
  mib::serve_radios(&g_devices->radios);
  declare("radio", kRadioEvents);
  mib::register_notice_applier(MIB_CFG_VSIE, apply_elements);
  declare("usb", kUsbEvents);
  declare("voice", kVoiceEvents);
}

void stop_emulated_devices() {
  if (g_devices == nullptr) return;
  for (const char *device : {"radio", "usb", "voice"}) register_events(device, nullptr, 0);
  mib::register_notice_applier(MIB_CFG_VSIE, nullptr);
  mib::serve_voice(nullptr);
  mib::serve_usb(nullptr);
  mib::serve_radios(nullptr);
  if (g_devices->scan_timer != 0) g_source_remove(g_devices->scan_timer);
  g_devices.reset();
}

}  // namespace igd1::host
