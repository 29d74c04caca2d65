#include "radios.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace igd1::devices {

namespace {

constexpr char kGeneral[] = "radios";
constexpr char kBandPrefix[] = "band ";
constexpr char kSsidPrefix[] = "ssid ";
constexpr char kStationPrefix[] = "station ";
constexpr uint32_t kMaxSsids = 16;
// Stations are numbered among all SSIDs: 16 SSIDs of at most 256 each.
constexpr uint32_t kMaxStationNumber = kMaxSsids * 256;
constexpr uint32_t kMaxScanDelayMs = 600000;

std::string local_time_text() {
  g_autoptr(GDateTime) now = g_date_time_new_now_local();
  g_autofree gchar *text = g_date_time_format(now, "%Y-%m-%d %H:%M:%S");
  return text;
}

Mac mac_of(uint8_t last) { return Mac{0x02, 0x10, 0x18, 0x00, 0x00, last}; }

// A list entry must not carry the list's separator.
bool fits_list(const std::string &text, size_t max_bytes) {
  return !text.empty() && text.size() <= max_bytes && text.find(';') == std::string::npos;
}

}  // namespace

// ---- SSID configuration ----

namespace {

// Four SSIDs per band: the home networks, the guest network (2.4 GHz), the
// hidden backhaul (5 GHz) and two spare networks per band, off.
std::vector<Ssid> default_ssids() {
  auto ssid = [](uint32_t instance, uint32_t band, const char *name, const char *key, bool enabled) {
    Ssid s;
    s.instance = instance;
    s.band = band;
    s.name = name;
    s.password = key;
    s.enabled = enabled;
    s.width = band == 1 ? kWidthAuto40 : kWidth80;
    return s;
  };
  std::vector<Ssid> ssids = {
      ssid(1, 1, "igd1-2G", "wqx-2g-secret", true),
      ssid(2, 1, "igd1-guest", "wqx-guest-pass", true),
      ssid(3, 2, "igd1-5G", "wqx-5g-secret", true),
      ssid(4, 2, "igd1-backhaul", "wqx-backhaul-key", true),
      ssid(5, 1, "igd1-2G-3", "wqx-2g-3-secret", false),
      ssid(6, 1, "igd1-2G-4", "wqx-2g-4-secret", false),
      ssid(7, 2, "igd1-5G-3", "wqx-5g-3-secret", false),
      ssid(8, 2, "igd1-5G-4", "wqx-5g-4-secret", false),
  };
  ssids[1].guest = true;
  ssids[1].max_stations = 8;
  ssids[3].hidden = true;
  ssids[3].backhaul = true;
  ssids[3].max_stations = 4;
  return ssids;
}

}  // namespace

bool width_on_band(uint32_t band, uint32_t width) {
  if (band == 1) return width <= kWidthAuto40;
  return band == 2 && width <= kWidth160;
}

namespace {

bool in_5g_grid(uint32_t channel) {
  if (channel % 4 != 0 && channel < 149) return false;
  return (channel >= 36 && channel <= 64) || (channel >= 100 && channel <= 144) ||
         (channel >= 149 && channel <= 165 && (channel - 149) % 4 == 0);
}

// The 5 GHz channels of a block of `span` 20 MHz channels all lie in the grid.
bool block_in_grid(uint32_t channel, uint32_t span) {
  const uint32_t base = channel >= 149 ? 149 : 36;
  const uint32_t first = channel - ((channel - base) / 4 % span) * 4;
  for (uint32_t c = first; c < first + 4 * span; c += 4)
    if (!in_5g_grid(c)) return false;
  return true;
}

bool printable(const std::string &text) {
  for (char c : text)
    if (c < 0x20 || c > 0x7e) return false;
  return true;
}

bool hex_text(const std::string &text) {
  for (char c : text)
    if (!g_ascii_isxdigit(c)) return false;
  return true;
}

}  // namespace

bool channel_fits(uint32_t band, uint32_t width, uint32_t channel) {
  if (!width_on_band(band, width)) return false;
  if (band == 1) return channel >= 1 && (channel <= 13 || (channel == 14 && width == kWidth20));
  if (!in_5g_grid(channel)) return false;
  switch (width) {
    case kWidth20: return true;
    case kWidth40: case kWidthAuto40: return block_in_grid(channel, 2);
    case kWidth80: case kWidth80Plus80: return block_in_grid(channel, 4);
    default: return channel < 149 && block_in_grid(channel, 8);
  }
}

std::string key_refusal(const std::string &security, const std::string &wep_level,
                        const std::string &key) {
  if (security == "None") return "";
  if (security == "Basic") {
    const size_t chars = wep_level == "104-bit" ? 13 : 5;
    if ((key.size() == chars && printable(key)) || (key.size() == 2 * chars && hex_text(key)))
      return "";
    return "a " + std::string(wep_level == "104-bit" ? "104" : "40") + "-bit WEP key is " +
           std::to_string(chars) + " characters or " + std::to_string(2 * chars) + " hex digits";
  }
  if (key.size() >= 8 && key.size() <= 63 && printable(key)) return "";
  return "a WPA passphrase is 8 to 63 printable characters";
}

bool valid_channel(uint32_t band, uint32_t channel) {
  if (band == 1) return channel >= 1 && channel <= 14;
  if (band == 2) return channel >= 36 && channel <= 177;
  return false;
}

Radios::Radios(std::string state_path, Clock clock)
    : file_(std::move(state_path)), clock_(std::move(clock)) {
  seed();
  writer_ = std::thread([this] { write_changes(); });
}

Radios::~Radios() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_writer_.notify_one();
  writer_.join();
  if (enrolment_timer_ != 0) g_source_remove(enrolment_timer_);
}

void Radios::changed() {
  ++changes_;
  wake_writer_.notify_one();
}

// Each round writes the state as it is when the round begins, with every
// change made so far; changes made while it writes wait for the next round.
// What is pending when the radios are destroyed is written before the
// thread ends.
void Radios::write_changes() {
  pthread_setname_np(pthread_self(), "radios_state");
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_writer_.wait(lock, [this] { return stopping_ || written_ != changes_; });
    if (written_ == changes_) return;
    const uint64_t round = changes_;
    const Snapshot snapshot{scan_delay_ms_, bands_, ssids_, stations_};
    lock.unlock();
    StateFile file(file_.path());
    write_snapshot(snapshot, file.keys());
    std::string why;
    const bool ok = file.save(&why);
    lock.lock();
    written_ = round;
    write_error_ = ok ? "" : why;
    written_cond_.notify_all();
  }
}

bool Radios::wait_written(std::unique_lock<std::mutex> &lock, std::string *why) {
  const uint64_t wanted = changes_;
  written_cond_.wait(lock, [&] { return written_ >= wanted; });
  if (write_error_.empty()) return true;
  *why = write_error_;
  return false;
}

bool Radios::flush(std::string *why) {
  std::unique_lock lock(mutex_);
  return wait_written(lock, why);
}

void Radios::seed() {
  RadioBand low;
  low.id = 1;
  low.channel_in_use = 6;
  low.bssid = mac_of(0x01);
  low.noise = -92;
  low.utilization = 23;
  low.standard = "802.11b/g/n/ax";
  low.neighbours = {"Neighbour-2G,02:20:30:40:50:01,1,-71", "Corner-Cafe,02:20:30:40:50:02,11,-80"};
  low.scan_plan = {"1:62", "6:81", "11:47"};
  RadioBand high;
  high.id = 2;
  high.channel_in_use = 36;
  high.bssid = mac_of(0x02);
  high.noise = -95;
  high.utilization = 11;
  high.standard = "802.11a/n/ac/ax";
  high.neighbours = {"Neighbour-5G,02:20:30:40:50:03,149,-77"};
  high.scan_plan = {"36:90", "44:77", "149:85"};
  bands_ = {low, high};
  scan_due_.assign(bands_.size(), 0);

  ssids_ = default_ssids();

  stations_.clear();
  stations_.push_back({Mac{0x3c, 0x22, 0xfb, 0x10, 0x00, 0x01}, 1, -48, false, false, 1});
  stations_.push_back({Mac{0x3c, 0x22, 0xfb, 0x10, 0x00, 0x02}, 1, -67, true, false, 2});
  stations_.push_back({Mac{0x3c, 0x22, 0xfb, 0x10, 0x00, 0x03}, 3, -55, true, true, 3});
  scan_delay_ms_ = 3000;
}

bool Radios::open(std::string *why) {
  std::unique_lock lock(mutex_);
  return open_state(
      file_, why, [this] { seed(); }, [this](std::string *w) { return read_state(w); },
      [&](std::string *w) {
        changed();
        return wait_written(lock, w);
      });
}

bool Radios::read_state(std::string *why) {
  GKeyFile *keys = file_.keys();
  FieldReader general(keys, kGeneral);
  const uint64_t default_delay = 3000;
  const uint32_t delay = uint32_t(general.number("scan_delay_ms", 0, kMaxScanDelayMs, &default_delay));
  if (!general.ok()) {
    *why = file_.path() + ": " + general.error();
    return false;
  }

  std::vector<RadioBand> bands;
  for (uint32_t id = 1; id <= 2; ++id) {
    FieldReader f(keys, kBandPrefix + std::to_string(id));
    RadioBand b;
    b.id = id;
    b.enabled = f.flag("enabled");
    b.auto_channel = f.flag("auto_channel");
    b.channel = uint32_t(f.number("channel", 0, 177));
    b.channel_in_use = uint32_t(f.number("channel_in_use", 0, 177));
    b.bssid = f.mac("bssid");
    b.noise = int32_t(f.signed_number("noise", -127, 0));
    b.utilization = uint32_t(f.number("utilization", 0, 100));
    b.standard = f.text("standard", 31);
    b.neighbours = f.list("neighbours", kNeighbourMax);
    b.scan_plan = f.list("scan_plan", kScanEntryMax);
    b.scan_result = f.list("scan_result", kScanEntryMax);
    b.scan_finish_time = f.text("scan_finish_time", 31, "");
    b.beacon_elements = f.list("beacon_elements", kElementEntryMax);
    b.probe_response_elements = f.list("probe_response_elements", kElementEntryMax);
    if (!f.ok()) {
      *why = file_.path() + ": " + f.error();
      return false;
    }
    bands.push_back(std::move(b));
  }

  std::vector<Ssid> ssids;
  for (const std::string &group : groups_with_prefix(keys, kSsidPrefix)) {
    FieldReader f(keys, group);
    Ssid s;
    guint64 instance = 0;
    if (!g_ascii_string_to_unsigned(group.c_str() + strlen(kSsidPrefix), 10, 1, kMaxSsids, &instance,
                                    nullptr)) {
      *why = file_.path() + ": [" + group + "] is not an SSID number from 1 to " + std::to_string(kMaxSsids);
      return false;
    }
    s.instance = uint32_t(instance);
    s.band = uint32_t(f.number("band", 1, 2));
    s.name = f.text("name", kSsidNameMax);
    s.password = f.text("password", kPasswordMax);
    s.enabled = f.flag("enabled");
    s.hidden = f.flag("hidden");
    s.guest = f.flag("guest");
    s.backhaul = f.flag("backhaul");
    s.max_stations = uint32_t(f.number("max_stations", 1, 256));
    s.security = f.text("security", 31, "11i");
    s.wep_level = f.text("wep_level", 15, "Disabled");
    const uint64_t default_width = kWidth20;
    s.width = uint32_t(f.number("width", 0, kWidth160, &default_width));
    if (!f.ok()) {
      *why = file_.path() + ": " + f.error();
      return false;
    }
    ssids.push_back(std::move(s));
  }

  std::vector<Station> stations;
  for (const std::string &group : groups_with_prefix(keys, kStationPrefix)) {
    FieldReader f(keys, group);
    Station st;
    if (!parse_mac(std::string_view(group).substr(strlen(kStationPrefix)), &st.mac)) {
      *why = file_.path() + ": [" + group + "] does not name a MAC address";
      return false;
    }
    st.number = uint32_t(f.number("number", 1, kMaxStationNumber));
    st.ssid = uint32_t(f.number("ssid", 1, kMaxSsids));
    st.rssi = int32_t(f.signed_number("rssi", -127, 0));
    st.bss_transition = f.flag("bss_transition");
    st.beacon_report = f.flag("beacon_report");
    if (!f.ok()) {
      *why = file_.path() + ": " + f.error();
      return false;
    }
    const bool known = std::any_of(ssids.begin(), ssids.end(), [&](const Ssid &s) { return s.instance == st.ssid; });
    if (!known) {
      *why = file_.path() + ": [" + group + "] is associated with SSID " + std::to_string(st.ssid) +
             ", which does not exist";
      return false;
    }
    const bool taken = std::any_of(stations.begin(), stations.end(),
                                   [&](const Station &other) { return other.number == st.number; });
    if (taken) {
      *why = file_.path() + ": [" + group + "] has the number " + std::to_string(st.number) +
             " of another station";
      return false;
    }
    stations.push_back(st);
  }

  scan_delay_ms_ = delay;
  bands_ = std::move(bands);
  scan_due_.assign(bands_.size(), 0);
  ssids_ = std::move(ssids);
  stations_ = std::move(stations);
  // A scan that was running when the process ended has had its time.
  for (RadioBand &b : bands_)
    b.scan_state = b.scan_result.empty() && b.scan_finish_time.empty() ? ScanState::Idle : ScanState::Done;
  return true;
}

void Radios::write_snapshot(const Snapshot &state, GKeyFile *keys) {
  g_key_file_set_uint64(keys, kGeneral, "scan_delay_ms", state.scan_delay_ms);
  for (const RadioBand &b : state.bands) {
    const std::string g = kBandPrefix + std::to_string(b.id);
    g_key_file_set_boolean(keys, g.c_str(), "enabled", b.enabled);
    g_key_file_set_boolean(keys, g.c_str(), "auto_channel", b.auto_channel);
    g_key_file_set_uint64(keys, g.c_str(), "channel", b.channel);
    g_key_file_set_uint64(keys, g.c_str(), "channel_in_use", b.channel_in_use);
    g_key_file_set_string(keys, g.c_str(), "bssid", mac_text(b.bssid).c_str());
    g_key_file_set_int64(keys, g.c_str(), "noise", b.noise);
    g_key_file_set_uint64(keys, g.c_str(), "utilization", b.utilization);
    g_key_file_set_string(keys, g.c_str(), "standard", b.standard.c_str());
    g_key_file_set_string(keys, g.c_str(), "neighbours", join_list(b.neighbours).c_str());
    g_key_file_set_string(keys, g.c_str(), "scan_plan", join_list(b.scan_plan).c_str());
    g_key_file_set_string(keys, g.c_str(), "scan_result", join_list(b.scan_result).c_str());
    g_key_file_set_string(keys, g.c_str(), "scan_finish_time", b.scan_finish_time.c_str());
    g_key_file_set_string(keys, g.c_str(), "beacon_elements", join_list(b.beacon_elements).c_str());
    g_key_file_set_string(keys, g.c_str(), "probe_response_elements",
                          join_list(b.probe_response_elements).c_str());
  }
  for (const Ssid &s : state.ssids) {
    const std::string g = kSsidPrefix + std::to_string(s.instance);
    g_key_file_set_uint64(keys, g.c_str(), "band", s.band);
    g_key_file_set_string(keys, g.c_str(), "name", s.name.c_str());
    g_key_file_set_string(keys, g.c_str(), "password", s.password.c_str());
    g_key_file_set_boolean(keys, g.c_str(), "enabled", s.enabled);
    g_key_file_set_boolean(keys, g.c_str(), "hidden", s.hidden);
    g_key_file_set_boolean(keys, g.c_str(), "guest", s.guest);
    g_key_file_set_boolean(keys, g.c_str(), "backhaul", s.backhaul);
    g_key_file_set_uint64(keys, g.c_str(), "max_stations", s.max_stations);
    g_key_file_set_string(keys, g.c_str(), "security", s.security.c_str());
    g_key_file_set_string(keys, g.c_str(), "wep_level", s.wep_level.c_str());
    g_key_file_set_uint64(keys, g.c_str(), "width", s.width);
  }
  for (const Station &st : state.stations) {
    const std::string g = kStationPrefix + mac_text(st.mac);
    g_key_file_set_uint64(keys, g.c_str(), "number", st.number);
    g_key_file_set_uint64(keys, g.c_str(), "ssid", st.ssid);
    g_key_file_set_int64(keys, g.c_str(), "rssi", st.rssi);
    g_key_file_set_boolean(keys, g.c_str(), "bss_transition", st.bss_transition);
    g_key_file_set_boolean(keys, g.c_str(), "beacon_report", st.beacon_report);
  }
}

RadioBand *Radios::find_band(uint32_t id) {
  for (RadioBand &b : bands_)
    if (b.id == id) return &b;
  return nullptr;
}

void Radios::complete_due_scans() {
  const int64_t now = clock_();
  bool finished = false;
  for (size_t i = 0; i < bands_.size(); ++i) {
    RadioBand &b = bands_[i];
    if (b.scan_state != ScanState::Running || now < scan_due_[i]) continue;
    b.scan_result = b.scan_plan;
    b.scan_state = ScanState::Done;
    b.scan_finish_time = local_time_text();
    finished = true;
  }
  if (finished) changed();
}

std::optional<RadioBand> Radios::band(uint32_t id) {
  std::lock_guard lock(mutex_);
  complete_due_scans();
  const RadioBand *b = find_band(id);
  if (b == nullptr) return std::nullopt;
  return *b;
}

std::vector<Ssid> Radios::ssids() {
  std::lock_guard lock(mutex_);
  return ssids_;
}

std::optional<Ssid> Radios::ssid(uint32_t instance) {
  std::lock_guard lock(mutex_);
  for (const Ssid &s : ssids_)
    if (s.instance == instance) return s;
  return std::nullopt;
}

std::vector<Station> Radios::stations() {
  std::lock_guard lock(mutex_);
  return stations_;
}

std::optional<Station> Radios::station(const Mac &mac) {
  std::lock_guard lock(mutex_);
  for (const Station &st : stations_)
    if (st.mac == mac) return st;
  return std::nullopt;
}

bool Radios::start_scan(uint32_t band, std::string *message) {
  std::lock_guard lock(mutex_);
  complete_due_scans();
  RadioBand *b = find_band(band);
  if (b == nullptr) {
    *message = "no such band";
    return false;
  }
  if (!b->enabled) {
    *message = "the radio is off";
    return false;
  }
  if (b->scan_state == ScanState::Running) {
    *message = "a scan is already running";
    return false;
  }
  b->scan_state = ScanState::Running;
  scan_due_[size_t(b - bands_.data())] = clock_() + scan_delay_ms_;
  return true;
}

int64_t Radios::next_scan_due_in() {
  std::lock_guard lock(mutex_);
  complete_due_scans();
  const int64_t now = clock_();
  int64_t earliest = -1;
  for (size_t i = 0; i < bands_.size(); ++i) {
    if (bands_[i].scan_state != ScanState::Running) continue;
    const int64_t left = std::max<int64_t>(0, scan_due_[i] - now);
    if (earliest < 0 || left < earliest) earliest = left;
  }
  return earliest;
}

uint32_t Radios::scan_delay_ms() {
  std::lock_guard lock(mutex_);
  return scan_delay_ms_;
}

bool Radios::kick_station(const Mac &mac, uint32_t ssid, std::string *message) {
  std::unique_lock lock(mutex_);
  auto at = std::find_if(stations_.begin(), stations_.end(),
                         [&](const Station &st) { return st.mac == mac && st.ssid == ssid; });
  if (at == stations_.end()) {
    *message = "no such station on SSID " + std::to_string(ssid);
    return false;
  }
  const Station kept = *at;
  stations_.erase(at);
  changed();
  lock.unlock();
  tell({{kept, false}});
  return true;
}

bool Radios::add_station(const Station &station, std::string *why, bool *joined) {
  std::unique_lock lock(mutex_);
  auto ssid = std::find_if(ssids_.begin(), ssids_.end(), [&](const Ssid &s) { return s.instance == station.ssid; });
  if (ssid == ssids_.end()) {
    *why = "no SSID " + std::to_string(station.ssid);
    return false;
  }
  if (station.rssi < -127 || station.rssi > 0) {
    *why = "a signal level is from -127 to 0 dBm";
    return false;
  }
  const auto associated = std::count_if(stations_.begin(), stations_.end(), [&](const Station &st) {
    return st.ssid == station.ssid && st.mac != station.mac;
  });
  if (uint32_t(associated) >= ssid->max_stations) {
    *why = "SSID " + std::to_string(station.ssid) + " already has its " +
           std::to_string(ssid->max_stations) + " stations";
    return false;
  }
  auto known = std::find_if(stations_.begin(), stations_.end(), [&](const Station &st) { return st.mac == station.mac; });
  const bool is_new = known == stations_.end();
  if (!is_new) {
    const uint32_t number = known->number;
    *known = station;
    known->number = number;
  } else {
    uint32_t number = 1;
    while (std::any_of(stations_.begin(), stations_.end(), [&](const Station &st) { return st.number == number; }))
      ++number;
    stations_.push_back(station);
    stations_.back().number = number;
  }
  if (joined != nullptr) *joined = is_new;
  changed();
  if (is_new) {
    const Station added = stations_.back();
    lock.unlock();
    tell({{added, true}});
  }
  return true;
}

bool Radios::remove_station(const Mac &mac, std::string *why) {
  std::unique_lock lock(mutex_);
  auto at = std::find_if(stations_.begin(), stations_.end(), [&](const Station &st) { return st.mac == mac; });
  if (at == stations_.end()) {
    *why = "no station " + mac_text(mac);
    return false;
  }
  const Station kept = *at;
  stations_.erase(at);
  changed();
  lock.unlock();
  tell({{kept, false}});
  return true;
}

bool Radios::set_station_rssi(const Mac &mac, int32_t rssi, std::string *why) {
  std::lock_guard lock(mutex_);
  if (rssi < -127 || rssi > 0) {
    *why = "a signal level is from -127 to 0 dBm";
    return false;
  }
  auto at = std::find_if(stations_.begin(), stations_.end(), [&](const Station &st) { return st.mac == mac; });
  if (at == stations_.end()) {
    *why = "no station " + mac_text(mac);
    return false;
  }
  at->rssi = rssi;
  changed();
  return true;
}

bool Radios::add_scan_result(uint32_t band, uint32_t channel, uint32_t score, std::string *why) {
  std::lock_guard lock(mutex_);
  RadioBand *b = find_band(band);
  if (b == nullptr) {
    *why = "no band " + std::to_string(band);
    return false;
  }
  if (!valid_channel(band, channel)) {
    *why = "channel " + std::to_string(channel) + " is not a channel of band " + std::to_string(band);
    return false;
  }
  if (score > 100) {
    *why = "a score is from 0 to 100";
    return false;
  }
  const std::string entry = std::to_string(channel) + ":" + std::to_string(score);
  const std::string prefix = std::to_string(channel) + ":";
  auto same = std::find_if(b->scan_plan.begin(), b->scan_plan.end(),
                           [&](const std::string &e) { return e.compare(0, prefix.size(), prefix) == 0; });
  if (same != b->scan_plan.end()) {
    *same = entry;
  } else if (b->scan_plan.size() >= kMaxScanEntries) {
    *why = "a scan finds at most " + std::to_string(kMaxScanEntries) + " channels";
    return false;
  } else {
    b->scan_plan.push_back(entry);
  }
  changed();
  return true;
}

bool Radios::set_scan_delay(uint32_t ms, std::string *why) {
  std::lock_guard lock(mutex_);
  if (ms > kMaxScanDelayMs) {
    *why = "a scan takes at most " + std::to_string(kMaxScanDelayMs) + " ms";
    return false;
  }
  scan_delay_ms_ = ms;
  changed();
  return true;
}

bool Radios::set_elements(uint32_t band, ElementFrame frame, std::vector<std::string> entries,
                          std::string *why) {
  std::lock_guard lock(mutex_);
  RadioBand *b = find_band(band);
  if (b == nullptr) {
    *why = "no such band";
    return false;
  }
  if (entries.size() > kMaxElements) {
    *why = "a band carries at most " + std::to_string(kMaxElements) + " elements";
    return false;
  }
  for (const std::string &entry : entries) {
    if (!fits_list(entry, kElementEntryMax)) {
      *why = "an element entry is empty, too long or holds ';'";
      return false;
    }
  }
  std::vector<std::string> &kept =
      frame == ElementFrame::Beacon ? b->beacon_elements : b->probe_response_elements;
  kept = std::move(entries);
  changed();
  return true;
}

// ---- SSID configuration ----

std::string ssid_refusal(const Ssid &wanted, uint32_t channel) {
  if (wanted.band != 1 && wanted.band != 2) return "no band " + std::to_string(wanted.band);
  if (wanted.instance == 0 || wanted.instance > kMaxSsids)
    return "SSIDs are numbered 1 to " + std::to_string(kMaxSsids);
  if (wanted.name.empty() || wanted.name.size() > kSsidNameMax)
    return "an SSID is 1 to " + std::to_string(kSsidNameMax) + " bytes";
  if (!width_on_band(wanted.band, wanted.width))
    return "band " + std::to_string(wanted.band) + " has no channel width " + std::to_string(wanted.width);
  if (channel != 0 && !channel_fits(wanted.band, wanted.width, channel))
    return "channel " + std::to_string(channel) + " cannot carry channel width " + std::to_string(wanted.width) +
           " on band " + std::to_string(wanted.band);
  return key_refusal(wanted.security, wanted.wep_level, wanted.password);
}

bool Radios::configure_ssid(const Ssid &wanted, uint32_t channel, std::string *why) {
  std::lock_guard lock(mutex_);
  if (std::string refusal = ssid_refusal(wanted, channel); !refusal.empty()) {
    *why = std::move(refusal);
    return false;
  }
  RadioBand *band = find_band(wanted.band);
  if (band == nullptr) {
    *why = "no band " + std::to_string(wanted.band);
    return false;
  }
  auto at = std::find_if(ssids_.begin(), ssids_.end(),
                         [&](const Ssid &s) { return s.instance == wanted.instance; });
  if (at == ssids_.end()) {
    ssids_.push_back(wanted);
  } else {
    const uint32_t max_stations = at->max_stations;
    *at = wanted;
    at->max_stations = max_stations;
  }
  band->auto_channel = channel == 0;
  if (channel != 0) {
    band->channel = channel;
    band->channel_in_use = channel;
  }
  changed();
  return true;
}

void Radios::remove_ssid(uint32_t instance) {
  std::vector<std::pair<Station, bool>> left;
  {
    std::lock_guard lock(mutex_);
    auto at = std::find_if(ssids_.begin(), ssids_.end(), [&](const Ssid &s) { return s.instance == instance; });
    if (at == ssids_.end()) return;
    ssids_.erase(at);
    for (const Station &st : stations_)
      if (st.ssid == instance) left.emplace_back(st, false);
    std::erase_if(stations_, [&](const Station &st) { return st.ssid == instance; });
    enrolments_.erase(instance);
    changed();
  }
  // The stations of the SSID left with it: whoever follows stations hears so.
  tell(left);
}

// ---- WPS ----

void Radios::set_enrolment_listener(EnrolmentListener listener) {
  std::lock_guard lock(mutex_);
  enrolment_listener_ = std::move(listener);
}

bool Radios::start_enrolment(uint32_t ssid, uint32_t mode, uint32_t pin, std::string *why) {
  std::lock_guard lock(mutex_);
  auto at = std::find_if(ssids_.begin(), ssids_.end(), [&](const Ssid &s) { return s.instance == ssid; });
  if (at == ssids_.end() || !at->enabled) {
    *why = "SSID " + std::to_string(ssid) + " is not on the air";
    return false;
  }
  if (enrolments_.count(ssid) != 0) {
    *why = "an enrolment is running";
    return false;
  }
  enrolments_[ssid] = {mode, pin, clock_() + kEnrolmentMs};
  arm_enrolment_timer();
  return true;
}

void Radios::cancel_enrolment(uint32_t ssid) {
  std::lock_guard lock(mutex_);
  enrolments_.erase(ssid);
}

void Radios::arm_enrolment_timer() {
  if (enrolment_timer_ != 0 || enrolments_.empty()) return;
  int64_t earliest = INT64_MAX;
  for (const auto &[ssid, e] : enrolments_) earliest = std::min(earliest, e.due);
  const int64_t wait = std::max<int64_t>(0, earliest - clock_());
  enrolment_timer_ = g_timeout_add(guint(wait) + 1, enrolments_due, this);
}

// The device of an enrolment: one of the gateway's own test devices, told
// apart by the SSID and by the PIN it was given or, by push button, by the
// SSID alone.
gboolean Radios::enrolments_due(gpointer self) {
  auto *radios = static_cast<Radios *>(self);
  std::vector<std::pair<uint32_t, Mac>> enrolled;
  EnrolmentListener listener;
  {
    std::lock_guard lock(radios->mutex_);
    radios->enrolment_timer_ = 0;
    const int64_t now = radios->clock_();
    for (auto at = radios->enrolments_.begin(); at != radios->enrolments_.end();) {
      if (at->second.due > now) {
        ++at;
        continue;
      }
      const uint32_t tag = at->second.mode == 1 ? at->second.pin % 0x10000 : at->first * 0x101;
      enrolled.emplace_back(at->first, Mac{0x3c, 0x22, 0xfb, uint8_t(at->first), uint8_t(tag >> 8), uint8_t(tag)});
      at = radios->enrolments_.erase(at);
    }
    radios->arm_enrolment_timer();
    listener = radios->enrolment_listener_;
  }
  if (listener)
    for (const auto &[ssid, device] : enrolled) listener(ssid, device);
  return G_SOURCE_REMOVE;
}

// ---- stations: who is told, steering and measurements ----

void Radios::set_station_listener(StationListener listener) {
  std::lock_guard lock(mutex_);
  station_listener_ = std::move(listener);
}

void Radios::tell(const std::vector<std::pair<Station, bool>> &changes) {
  StationListener listener;
  {
    std::lock_guard lock(mutex_);
    listener = station_listener_;
  }
  if (!listener) return;
  for (const auto &[station, joined] : changes) listener(station, joined);
}

bool Radios::transition_station(const Mac &mac, uint32_t band, std::string *why) {
  std::lock_guard lock(mutex_);
  auto at = std::find_if(stations_.begin(), stations_.end(), [&](const Station &st) { return st.mac == mac; });
  if (at == stations_.end()) {
    *why = "no station " + mac_text(mac);
    return false;
  }
  auto target = std::find_if(ssids_.begin(), ssids_.end(),
                             [&](const Ssid &s) { return s.band == band && s.enabled && !s.backhaul; });
  if (target == ssids_.end()) {
    *why = "band " + std::to_string(band) + " has no SSID to move to";
    return false;
  }
  at->ssid = target->instance;
  changed();
  return true;
}

std::vector<SignalRecord> Radios::station_levels(uint32_t band, const std::vector<Mac> &macs) {
  std::lock_guard lock(mutex_);
  std::vector<SignalRecord> records;
  for (const Mac &mac : macs) {
    SignalRecord record{mac, 0, 2};
    for (const Station &st : stations_) {
      if (st.mac != mac) continue;
      const bool on_band = std::any_of(ssids_.begin(), ssids_.end(),
                                       [&](const Ssid &s) { return s.instance == st.ssid && s.band == band; });
      if (on_band) record = {mac, st.rssi, 1};
    }
    records.push_back(record);
  }
  return records;
}

bool Radios::access_point_levels(uint32_t band, const Mac &station, const std::vector<Mac> &aps,
                                 std::vector<SignalRecord> *records) {
  std::lock_guard lock(mutex_);
  auto st = std::find_if(stations_.begin(), stations_.end(), [&](const Station &s) { return s.mac == station; });
  if (st == stations_.end()) return false;
  const bool on_band = std::any_of(ssids_.begin(), ssids_.end(),
                                   [&](const Ssid &s) { return s.instance == st->ssid && s.band == band; });
  if (!on_band) return false;
  records->clear();
  for (const Mac &ap : aps) {
    SignalRecord record{ap, 0, 2};
    for (const RadioBand &b : bands_) {
      if (b.bssid == ap) record = {ap, st->rssi, 1};
      // A survey entry is "name,MAC,channel,level".
      for (const std::string &entry : b.neighbours) {
        g_auto(GStrv) fields = g_strsplit(entry.c_str(), ",", 4);
        Mac heard{};
        gint64 level = 0;
        if (g_strv_length(fields) == 4 && parse_mac(fields[1], &heard) && heard == ap &&
            g_ascii_string_to_signed(fields[3], 10, -127, 0, &level, nullptr))
          record = {ap, int32_t(level), 1};
      }
    }
    records->push_back(record);
  }
  return true;
}

bool Radios::clear_scan(uint32_t band, std::string *why) {
  std::lock_guard lock(mutex_);
  complete_due_scans();
  RadioBand *b = find_band(band);
  if (b == nullptr || b->scan_state == ScanState::Running) {
    *why = b == nullptr ? "no such band" : "a scan is running";
    return false;
  }
  b->scan_state = ScanState::Idle;
  return true;
}

bool Radios::switch_channel(uint32_t band, std::string *why) {
  std::lock_guard lock(mutex_);
  complete_due_scans();
  RadioBand *b = find_band(band);
  if (b == nullptr) {
    *why = "no such band";
    return false;
  }
  if (!b->auto_channel) {
    *why = "the channel is set by hand";
    return false;
  }
  uint32_t best = 0, best_score = 0;
  for (const std::string &entry : b->scan_result) {
    guint64 channel = 0, score = 0;
    g_auto(GStrv) parts = g_strsplit(entry.c_str(), ":", 2);
    if (g_strv_length(parts) == 2 && g_ascii_string_to_unsigned(parts[0], 10, 1, 177, &channel, nullptr) &&
        g_ascii_string_to_unsigned(parts[1], 10, 0, 100, &score, nullptr) && (best == 0 || score > best_score)) {
      best = uint32_t(channel);
      best_score = uint32_t(score);
    }
  }
  if (best == 0) {
    *why = "no channel scan result";
    return false;
  }
  b->channel_in_use = best;
  changed();
  return true;
}

}  // namespace igd1::devices
