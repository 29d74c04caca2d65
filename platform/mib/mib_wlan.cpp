// The wireless networks: one record per SSID ("wlan") and its WPS settings
// ("wps"), eight SSIDs on a new store, four per radio (the home network, the
// guest network with a duration on 2.4 GHz, the hidden backhaul on 5 GHz,
// two spare networks per radio, off).
//
// A write is the working record's transaction (mib_working.h).  Its update
// checks the record against what the radio can run (a record the radio
// would refuse is not stored, and the caller hears why), stores it, gives
// the other SSIDs of the radio the same channel, automatic channel and width
// (a radio has one channel) and journals it under MIB_CFG_WLAN without its
// key.  The radio follows once its control program ran ("radioctl ssid N",
// never waited for): it then runs what the store holds for the SSID, or
// takes the SSID off the air when the store has none, so that records added
// or removed here, by AddObject or DeleteObject, or by another process (its
// row notice) all reach it the same way.  A control program that fails
// leaves the radio as it was and is logged; the next change of the SSID
// puts the stored record into effect again.
//
// A WPS enrolment runs in the radio for its time; when the radio reports
// the device that enrolled, its record is added to DevInfo and the status
// says success.
#include <glib.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <mutex>
#include <set>
#include <span>
#include <string>

#include "mib_devices.h"
#include "mib_internal.h"
#include "mib_network_seed.h"
#include "mib_store.h"
#include "mib_table.h"
#include "mib_wifi.h"
#include "mib_wlan.h"
#include "mib_working.h"
#include "radios.h"

namespace {

using K = igd1::mib::ValueKind;
using igd1::mib::Snapshot;

struct SsidRecord {
  uint8_t instance;
  uint8_t enable;
  uint8_t hide;
  uint8_t zv_mode;
  uint8_t guest;
  uint8_t auto_channel;
  uint8_t backhaul;
  uint32_t band;  // 0: 2.4 GHz, 1: 5 GHz
  uint32_t channel;
  uint32_t channel_in_use;
  uint32_t width;
  uint32_t guard_interval;
  uint32_t retry_timeout;
  uint32_t power_level;
  uint32_t power_value;
  uint32_t mac_access_mode;
  uint32_t access_rule;
  uint32_t us_bandwidth;
  uint32_t ds_bandwidth;
  uint32_t max_sta;
  uint32_t online_sta;
  int32_t duration;      // minutes a guest network stays on (0: no limit)
  uint64_t guest_until;  // wall-clock seconds the guest network's duration ends
  uint64_t counters[8];
  char ssid[WLAN_SSID_MAX + 1];
  char password[WLAN_PASSWORD_MAX + 1];
  char beacon[32];
  char standard[WLAN_STANDARD_SIZE];
  char wep_level[64];
  char auth_mode[16];
  char wpa_modes[32];
  char alias[WLAN_TEXT_SIZE];
  char owner[WLAN_TEXT_SIZE];
  char service[WLAN_TEXT_SIZE];
  char allowed_ip_port[WLAN_ALLOWED_IP_PORT_SIZE];
  char bssid[WLAN_BSSID_SIZE];
  char bind[WLAN_BIND_SIZE];
  char ifname[WLAN_IFNAME_SIZE];
};

#define COLUMN(name, kind, member) MIB_MEMBER_COLUMN(SsidRecord, name, kind, member)
#define COUNTER(name, n) {name, K::U64, offsetof(SsidRecord, counters) + 8 * (n), 8}
constexpr igd1::mib::Column kColumns[] = {
    COLUMN("Enable", K::U8, enable), COLUMN("SSIDHide", K::U8, hide),
    COLUMN("ZVMode", K::U8, zv_mode), COLUMN("IsGuest", K::U8, guest),
    COLUMN("AutoChannel", K::U8, auto_channel), COLUMN("Backhaul", K::U8, backhaul),
    COLUMN("RFBand", K::U32, band), COLUMN("Channel", K::U32, channel),
    COLUMN("ChannelInUse", K::U32, channel_in_use), COLUMN("ChannelWidth", K::U32, width),
    COLUMN("GuardInterval", K::U32, guard_interval), COLUMN("RetryTimeout", K::U32, retry_timeout),
    COLUMN("PowerLevel", K::U32, power_level), COLUMN("PowerValue", K::U32, power_value),
    COLUMN("MACAccessMode", K::U32, mac_access_mode), COLUMN("AccessRule", K::U32, access_rule),
    COLUMN("USBandwidth", K::U32, us_bandwidth), COLUMN("DSBandwidth", K::U32, ds_bandwidth),
    COLUMN("MaxSta", K::U32, max_sta), COLUMN("OnlineSta", K::U32, online_sta),
    COLUMN("Duration", K::I32, duration), COLUMN("GuestUntil", K::U64, guest_until),
    COUNTER("RxBytes", 0), COUNTER("RxPkts", 1), COUNTER("RxErrorPkts", 2), COUNTER("RxDropPkts", 3),
    COUNTER("TxBytes", 4), COUNTER("TxPkts", 5), COUNTER("TxErrorPkts", 6), COUNTER("TxDropPkts", 7),
    COLUMN("SSID", K::Text, ssid), COLUMN("PWD", K::Text, password),
    COLUMN("BeaconType", K::Text, beacon), COLUMN("Standard", K::Text, standard),
    COLUMN("WEPEncryptionLevel", K::Text, wep_level),
    COLUMN("BasicAuthenticationMode", K::Text, auth_mode),
    COLUMN("WPAEncryptionModes", K::Text, wpa_modes), COLUMN("SSIDAlias", K::Text, alias),
    COLUMN("Owner", K::Text, owner), COLUMN("Service", K::Text, service),
    COLUMN("AllowedIPPort", K::Text, allowed_ip_port), COLUMN("BSSID", K::Text, bssid),
    COLUMN("Bind", K::Text, bind), COLUMN("IfName", K::Text, ifname),
};
#undef COLUMN
#undef COUNTER

// ---- items ----

using igd1::mib::load;
using igd1::mib::store;

// The names of a coded item by code; a name is stored, the code is what a
// check hands out (README, "WLAN settings").
constexpr const char *kBeaconTypes[] = {"None", "Basic", "WPA", "11i", "WPAand11i", "WPA3", "11iandWPA3"};
constexpr const char *kStandards[] = {"b", "g", "n", "b/g", "b/g/n", "b/g/n/ax",
                                      "a", "a/n", "a/n/ac", "a/n/ac/ax"};
constexpr uint8_t kFirst5GStandard = 6;
constexpr const char *kWepLevels[] = {"Disabled", "40-bit", "104-bit"};
constexpr const char *kAuthModes[] = {"None", "OpenSystem", "SharedKey", "Both"};
constexpr const char *kWpaModes[] = {"TKIPEncryption", "AESEncryption", "TKIPandAESEncryption"};

bool owner_text(const char *text) {
  if (!g_utf8_validate(text, -1, nullptr)) return false;
  for (const char *c = text; *c != '\0'; ++c)
    if (uint8_t(*c) < 0x20) return false;
  return true;
}

// Empty, or entries "a.b.c.d" or "a.b.c.d:port" separated by ','.
bool ip_port_list(const char *text) {
  if (*text == '\0') return true;
  g_auto(GStrv) entries = g_strsplit(text, ",", -1);
  for (gchar **entry = entries; *entry != nullptr; ++entry) {
    const char *colon = std::strchr(*entry, ':');
    g_autofree gchar *address = g_strndup(*entry, colon != nullptr ? size_t(colon - *entry) : std::strlen(*entry));
    g_auto(GStrv) octets = g_strsplit(address, ".", -1);
    if (g_strv_length(octets) != 4) return false;
    for (gchar **octet = octets; *octet != nullptr; ++octet) {
      guint64 v = 0;
      if (!g_ascii_string_to_unsigned(*octet, 10, 0, 255, &v, nullptr)) return false;
    }
    guint64 port = 0;
    if (colon != nullptr && !g_ascii_string_to_unsigned(colon + 1, 10, 1, 65535, &port, nullptr))
      return false;
  }
  return true;
}

// An SSID is a text of at least one byte, in UTF-8.
bool ssid_text(const char *text) { return text[0] != '\0' && g_utf8_validate(text, -1, nullptr); }

constexpr size_t column(std::string_view name) {
  for (size_t i = 0; i < std::size(kColumns); ++i)
    if (name == kColumns[i].name) return i;
  throw "no such column";
}

// The items by number.  Flags are one byte (Enable is written as 32 bits,
// see write_item), numbers 32 bits, counters 64; the items without a column
// are the module's own.
constexpr igd1::mib::TableItem kItems[] = {
    {.column = column("SSID"), .valid = ssid_text, .by_pointer = true},
    {column("Enable"), 0, 1},
    {column("Channel"), 0, 177},
    {.column = column("ChannelInUse"), .read_only = true},
    {.column = column("BeaconType"), .by_pointer = true, .names = kBeaconTypes},
    {.column = column("Standard"), .names = kStandards},
    {.column = column("WEPEncryptionLevel"), .by_pointer = true, .names = kWepLevels},
    {.column = column("BasicAuthenticationMode"), .by_pointer = true, .names = kAuthModes},
    {.column = column("WPAEncryptionModes"), .by_pointer = true, .names = kWpaModes},
    {column("SSIDHide"), 0, 1},
    {column("RFBand"), 0, 1},
    {column("ChannelWidth"), 0, igd1::devices::kWidth160},
    {column("GuardInterval"), 0, 1},
    {column("RetryTimeout")},
    {column("PowerLevel"), 1, 100},
    {.column = column("PowerValue"), .read_only = true},
    {.column = column("PWD"), .by_pointer = true},
    {.column = column("RxBytes"), .read_only = true},
    {.column = column("RxPkts"), .read_only = true},
    {.column = column("RxErrorPkts"), .read_only = true},
    {.column = column("RxDropPkts"), .read_only = true},
    {.column = column("TxBytes"), .read_only = true},
    {.column = column("TxPkts"), .read_only = true},
    {.column = column("TxErrorPkts"), .read_only = true},
    {.column = column("TxDropPkts"), .read_only = true},
    {.column = column("SSIDAlias"), .read_only = true},
    {.column = column("Owner"), .valid = owner_text},
    {.column = column("Service"), .valid = owner_text},
    {column("MACAccessMode"), 0, 2},
    {column("AccessRule"), 0, 1},
    {.column = column("AllowedIPPort"), .valid = ip_port_list},
    {column("USBandwidth"), 0, 1000000},
    {column("DSBandwidth"), 0, 1000000},
    {igd1::mib::kNoColumn},  // EncryptionMode
    {.column = column("BSSID"), .read_only = true},
    {igd1::mib::kNoColumn},
    {igd1::mib::kNoColumn},  // ChannelsInUse
    {igd1::mib::kNoColumn},  // NetworkType
    {column("ZVMode"), 0, 1},
    {column("Bind")},
    {column("IsGuest"), 0, 1},
    {igd1::mib::kNoColumn},  // Duration
    {igd1::mib::kNoColumn},  // RemainDuration
    {igd1::mib::kNoColumn},
    {column("AutoChannel"), 0, 1},
    {.column = column("IfName"), .read_only = true},
    {.column = column("MaxSta"), .read_only = true},
    {.column = column("OnlineSta"), .read_only = true},
};
static_assert(std::size(kItems) == WLAN_ITEM_ONLINE_STA + 1);

uint32_t radio_band(const SsidRecord &record) { return record.band + 1; }

// ---- the seed ----

// An SSID off the air on the radio of `band` (0: 2.4 GHz), open, its
// channel chosen automatically.
SsidRecord new_record(uint32_t band) {
  SsidRecord r{};
  r.band = band;
  r.auto_channel = 1;
  r.width = band == 0 ? igd1::devices::kWidthAuto40 : igd1::devices::kWidth80;
  r.power_level = 100;
  r.max_sta = 32;
  g_strlcpy(r.beacon, "None", sizeof r.beacon);
  g_strlcpy(r.standard, band == 0 ? "b/g/n/ax" : "a/n/ac/ax", sizeof r.standard);
  g_strlcpy(r.wep_level, "Disabled", sizeof r.wep_level);
  g_strlcpy(r.auth_mode, "None", sizeof r.auth_mode);
  g_strlcpy(r.wpa_modes, "AESEncryption", sizeof r.wpa_modes);
  return r;
}

std::vector<uint8_t> seed() {
  std::vector<SsidRecord> rows;
  struct Default {
    uint8_t instance;
    uint32_t band;
    const char *name, *key;
    bool enabled, guest, backhaul;
  };
  constexpr Default kDefaults[] = {
      {1, 0, "igd1-2G", "wqx-2g-secret", true, false, false},
      {2, 0, "igd1-guest", "wqx-guest-pass", true, true, false},
      {3, 1, "igd1-5G", "wqx-5g-secret", true, false, false},
      {4, 1, "igd1-backhaul", "wqx-backhaul-key", true, false, true},
      {5, 0, "igd1-2G-3", "wqx-2g-3-secret", false, false, false},
      {6, 0, "igd1-2G-4", "wqx-2g-4-secret", false, false, false},
      {7, 1, "igd1-5G-3", "wqx-5g-3-secret", false, false, false},
      {8, 1, "igd1-5G-4", "wqx-5g-4-secret", false, false, false},
  };
  for (const Default &d : kDefaults) {
    SsidRecord r = new_record(d.band);
    r.instance = d.instance;
    r.enable = d.enabled;
    r.guest = d.guest;
    r.backhaul = d.backhaul;
    r.hide = d.backhaul;
    r.channel_in_use = d.band == 0 ? 6 : 36;
    r.power_value = d.band == 0 ? 20 : 23;
    r.retry_timeout = 7;
    r.max_sta = d.guest ? 8 : d.backhaul ? 4 : 32;
    r.duration = d.guest ? 240 : 0;
    g_strlcpy(r.ssid, d.name, sizeof r.ssid);
    g_strlcpy(r.password, d.key, sizeof r.password);
    g_strlcpy(r.beacon, "11i", sizeof r.beacon);
    g_strlcpy(r.alias, d.name, sizeof r.alias);
    g_snprintf(r.bssid, sizeof r.bssid, "021018%02X%02X%02X", d.band + 1, 0, d.instance);
    g_snprintf(r.ifname, sizeof r.ifname, "%s%u", d.band == 0 ? "ra" : "rai", (d.instance - 1) / 2);
    rows.push_back(r);
  }
  return igd1::mib::records(rows);
}

// A record nothing can run.
constexpr igd1::mib::RangeCheck kSsidRanges[] = {
    {column("RFBand"), 0, 1},  {column("Enable"), 0, 1},  {column("SSIDHide"), 0, 1},
    {column("IsGuest"), 0, 1}, {column("ChannelWidth"), 0, igd1::devices::kWidth160},
    {column("Duration"), 0, INT32_MAX},
};

std::string radio_refusal(const uint8_t *row);

constexpr igd1::mib::TableSpec kSsids = {
    .def = igd1::mib::record_table("wlan", "WLANConfiguration", sizeof(SsidRecord), kColumns,
                                   WLAN_MAX_SSIDS),
    .prefix = "wlanconfiguration",
    .items = kItems,
    .ranges = kSsidRanges,
    .unrunnable = radio_refusal,
    .seed_marker = "wlan.Seeded",
    .seed = seed,
};
igd1::mib::Table g_ssids(kSsids);
igd1::mib::WorkingRecords g_working(g_ssids);

// ---- WPS ----

struct WpsRecord {
  uint8_t instance;  // the SSID's
  uint8_t status;
  uint32_t enable;
  uint32_t mode;
  uint32_t pin;
  char devinfo[WLAN_DEVINFO_SIZE];
};
constexpr igd1::mib::Column kWpsColumns[] = {
    MIB_MEMBER_COLUMN(WpsRecord, "Enable", K::U32, enable),
    MIB_MEMBER_COLUMN(WpsRecord, "WPSStatus", K::U8, status),
    MIB_MEMBER_COLUMN(WpsRecord, "Mode", K::U32, mode),
    MIB_MEMBER_COLUMN(WpsRecord, "PIN", K::U32, pin),
    MIB_MEMBER_COLUMN(WpsRecord, "DevInfo", K::Text, devinfo),
};

constexpr igd1::mib::RangeCheck kWpsRanges[] = {{0, 0, 1}, {1, 0, WPS_TIMED_OUT}};
// Enable, WPSStatus and DevInfo by item number.
constexpr igd1::mib::TableItem kWpsItems[] = {{0}, {1}, {4}};

constexpr igd1::mib::TableSpec kWps = {
    .def = igd1::mib::record_table("wps", "", sizeof(WpsRecord), kWpsColumns, WLAN_MAX_SSIDS),
    .prefix = "wps",
    .items = kWpsItems,
    .ranges = kWpsRanges,
};
igd1::mib::Table g_wps(kWps);

std::atomic<igd1::devices::Radios *> g_radios{nullptr};

// ---- records ----

// Callers name an SSID by its record index, its instance number less one;
// the rows are kept by position, which differs once a record before it is
// gone.  The position of the record of `index`, or false.
bool position_of(int index, uint32_t *position) {
  return index >= 0 && index < WLAN_MAX_SSIDS && g_ssids.find(uint32_t(index) + 1, position) != nullptr;
}

// The stored record at `index`, or false.
bool stored(int index, SsidRecord *record) {
  return index >= 0 && g_ssids.load_row(uint32_t(index) + 1, record);
}

// Takes, or puts back, the snapshot `which` of the working record of `index`.
bool snapshot(int index, Snapshot which, bool restore) {
  uint32_t position = 0;
  return position_of(index, &position) &&
         (restore ? g_working.restore(which, position) : g_working.backup(which, position));
}

// The working record of `index` while a write is open, or nullptr.
uint8_t *working_record(int index) {
  uint32_t position = 0;
  return position_of(index, &position) ? g_working.record(position) : nullptr;
}

// The record a check looks at: the working one during a write, else the stored one.
bool current(int index, SsidRecord *record) {
  if (const uint8_t *working = working_record(index); working != nullptr) {
    *record = load<SsidRecord>(working);
    return true;
  }
  return stored(index, record);
}

// The 20 MHz channels the SSID's radio occupies, from its channel in use
// upwards across its width.
std::string channels_in_use(const SsidRecord &r) {
  using namespace igd1::devices;
  if (r.channel_in_use == 0) return "";
  const uint32_t span = r.width == kWidth20                            ? 1
                        : r.width <= kWidthAuto40 || r.band == 0       ? 2
                        : r.width == kWidth160 || r.width == kWidthAuto160 ? 8
                                                                       : 4;
  std::string list;
  for (uint32_t i = 0, c = r.channel_in_use; i < span && channel_fits(radio_band(r), kWidth20, c);
       ++i, c += 4) {
    if (!list.empty()) list += ',';
    list += std::to_string(c);
  }
  return list;
}

uint64_t remaining_seconds(const SsidRecord &r) {
  if (r.guest == 0 || r.duration == 0 || r.guest_until == 0) return 0;
  const uint64_t now = uint64_t(g_get_real_time() / G_USEC_PER_SEC);
  return r.guest_until > now ? r.guest_until - now : 0;
}

// The items without a column; the others as the table reads them.
bool read_item(int item, void *output, const SsidRecord &r) {
  switch (item) {
    case WLAN_ITEM_ENCRYPTION_MODE:
      store<uint8_t>(output, uint8_t(g_ssids.code_of(WLAN_ITEM_BEACON_TYPE, r.beacon) + 1));
      return true;
    case WLAN_ITEM_CHANNELS_IN_USE:
      igd1::mib::put_value<WLAN_CHANNELS_IN_USE_SIZE>(output, channels_in_use(r));
      return true;
    case WLAN_ITEM_NETWORK_TYPE:
      igd1::mib::put_value<WLAN_NETWORK_TYPE_SIZE>(output, r.backhaul ? "bhaul" : r.guest ? "guest" : "home");
      return true;
    case WLAN_ITEM_DURATION: store(output, r.duration); return true;
    case WLAN_ITEM_REMAIN_DURATION: store(output, remaining_seconds(r)); return true;
    default: return g_ssids.get(item, output, &r);
  }
}

// Writes `value` (encoded as the item's set takes it) into `r`; false when
// the record cannot hold it.  Coded items take a code below 32 or a name.
bool write_item(int item, const void *value, SsidRecord &r) {
  switch (item) {
    case WLAN_ITEM_DURATION: {
      const uint64_t v = load<uint64_t>(value);
      if (r.guest == 0 || v > uint64_t(INT32_MAX)) return false;
      r.duration = int32_t(v);
      return true;
    }
    case WLAN_ITEM_ENABLE: {
      // Written as 32 bits, kept in one byte.
      const uint32_t v = load<uint32_t>(value);
      const auto flag = uint8_t(v);
      return v <= 1 && g_ssids.set(item, &flag, &r);
    }
    // A radio's SSIDs stay on it.
    case WLAN_ITEM_BAND: return load<uint32_t>(value) == r.band;
    default: return g_ssids.set(item, value, &r);
  }
}

// Whether `value` may be stored under `item` in `r`.
bool valid_value(int item, const void *value, const SsidRecord &r, uint8_t *code) {
  switch (item) {
    case WLAN_ITEM_CHANNEL: {
      // ",<channel>," as the channel lists of the radios are written.
      const auto *text = static_cast<const char *>(value);
      const size_t length = strnlen(text, 8);
      if (length < 3 || length >= 8 || text[0] != ',' || text[length - 1] != ',') return false;
      const std::string digits(text + 1, length - 2);
      guint64 channel = 0;
      if (!g_ascii_string_to_unsigned(digits.c_str(), 10, 0, 177, &channel, nullptr)) return false;
      return channel == 0 || igd1::devices::channel_fits(radio_band(r), r.width, uint32_t(channel));
    }
    case WLAN_ITEM_WIDTH:
      return igd1::devices::width_on_band(radio_band(r), load<uint32_t>(value));
    case WLAN_ITEM_PASSWORD: {
      const auto *key = static_cast<const char *>(value);
      return std::strlen(key) <= WLAN_PASSWORD_MAX &&
             igd1::devices::key_refusal(r.beacon, r.wep_level, key).empty();
    }
    default: break;
  }
  // A coded item takes a name (a standard of its radio) and gives out its code.
  if (item >= 0 && size_t(item) < std::size(kItems) && !kItems[item].names.empty()) {
    const int found = g_ssids.code_of(item, static_cast<const char *>(value));
    if (found < 0 || (item == WLAN_ITEM_STANDARD && (found >= kFirst5GStandard) != (r.band == 1))) return false;
    if (code != nullptr) *code = uint8_t(found);
    return true;
  }
  SsidRecord copy = r;
  return write_item(item, value, copy);
}

// ---- putting a record into effect ----

igd1::devices::Ssid radio_ssid(const SsidRecord &r) {
  igd1::devices::Ssid s;
  s.instance = r.instance;
  s.band = radio_band(r);
  s.name = r.ssid;
  s.password = r.password;
  s.enabled = r.enable != 0;
  s.hidden = r.hide != 0;
  s.guest = r.guest != 0;
  s.backhaul = r.backhaul != 0;
  s.max_stations = std::max<uint32_t>(1, std::min<uint32_t>(r.max_sta, 256));
  s.security = r.beacon;
  s.wep_level = r.wep_level;
  s.width = r.width;
  return s;
}

// What the radio says of the record `row` (its channel counts when it is not
// chosen automatically): "" when it can run it.
std::string radio_refusal(const uint8_t *row) {
  const SsidRecord r = load<SsidRecord>(row);
  return igd1::devices::ssid_refusal(radio_ssid(r), r.auto_channel != 0 ? 0 : r.channel);
}

// The journal's form of a committed SSID: its settings without the key.
std::string ssid_notice(const void *data) {
  const SsidRecord r = load<SsidRecord>(data);
  g_autofree gchar *text = g_strdup_printf(
      "ssid %u band %u name \"%s\" enable %u hidden %u security %s channel %u%s width %u guest %u",
      unsigned(r.instance), radio_band(r), r.ssid, unsigned(r.enable), unsigned(r.hide), r.beacon,
      r.channel, r.auto_channel ? " (auto)" : "", r.width, unsigned(r.guest));
  return text;
}
const bool kFormatter = [] {
  igd1::mib::register_notice_formatter(MIB_CFG_WLAN, ssid_notice);
  return true;
}();

// The other SSIDs of the radio take its channel settings.
bool share_channel(const SsidRecord &r) {
  return g_ssids.update_each<SsidRecord>([&r](SsidRecord &other) {
    if (other.instance == r.instance || other.band != r.band) return false;
    if (other.channel == r.channel && other.auto_channel == r.auto_channel && other.width == r.width &&
        other.channel_in_use == r.channel_in_use)
      return false;
    other.channel = r.channel;
    other.auto_channel = r.auto_channel;
    other.width = r.width;
    other.channel_in_use = r.channel_in_use;
    return true;
  });
}

// ---- the radio follows the store ----

void log_radio(const char *format, ...) G_GNUC_PRINTF(1, 2);
void log_radio(const char *format, ...) {
  va_list args;
  va_start(args, format);
  g_autofree gchar *text = g_strdup_vprintf(format, args);
  va_end(args);
  igd1::mib::journal_append(MIB_CFG_WLAN, 0, text);
}

// SSIDs whose control program runs, and those of them committed again
// meanwhile: a burst of commits of one SSID runs the program once more after
// the running one, not once per commit.
std::mutex g_effect_mutex;
std::set<uint32_t> g_effect_running, g_effect_again;

void run_radio_program(uint32_t instance);

void radio_ran(int ok, void *data) {
  const auto instance = uint32_t(reinterpret_cast<uintptr_t>(data));
  igd1::devices::Radios *radios = g_radios.load();
  if (radios != nullptr && ok == 0)
    log_radio("ssid %u: the radio's control program failed; the radio keeps what it ran", unsigned(instance));
  if (radios != nullptr && ok != 0) {
    SsidRecord r;
    std::string why;
    if (!stored(int(instance) - 1, &r))
      radios->remove_ssid(instance);
    else if (!radios->configure_ssid(radio_ssid(r), r.auto_channel != 0 ? 0 : r.channel, &why))
      log_radio("ssid %u: the radio refused it: %s", unsigned(instance), why.c_str());
  }
  bool again = false;
  {
    std::lock_guard lock(g_effect_mutex);
    again = g_effect_again.erase(instance) != 0;
    if (!again) g_effect_running.erase(instance);
  }
  if (again) run_radio_program(instance);
}

// Starts the control program once the loop has nothing more urgent to do,
// so that the caller of the commit is answered first.
void run_radio_program(uint32_t instance) {
  g_idle_add_full(
      G_PRIORITY_LOW,
      [](gpointer data) {
        const auto n = uint32_t(reinterpret_cast<uintptr_t>(data));
        wifi_radio_run("ssid", std::to_string(n).c_str(), radio_ran, data);
        return G_SOURCE_REMOVE;
      },
      reinterpret_cast<void *>(uintptr_t(instance)), nullptr);
}

// The radio puts SSID `instance` as the store has it then into effect once
// its control program ran.
void put_into_effect(uint32_t instance) {
  if (g_radios.load() == nullptr) return;
  {
    std::lock_guard lock(g_effect_mutex);
    if (!g_effect_running.insert(instance).second) {
      g_effect_again.insert(instance);
      return;
    }
  }
  run_radio_program(instance);
}

thread_local std::string g_message;

int refuse_update(const std::string &why, const char **message) {
  g_message = why;
  if (message != nullptr) *message = g_message.c_str();
  return 1;
}

// ---- WPS records ----

// The WPS row of SSID `instance`.
bool wps_row(int instance, WpsRecord *record) {
  return instance > 0 && instance <= WLAN_MAX_SSIDS && g_wps.load_row(uint32_t(instance), record);
}

// The radio reports the device an enrolment of SSID `ssid` let in: the
// enrolment succeeded, and the device's address follows the records in
// DevInfo (a device name record first when there are none); the list keeps
// the newest devices that fit.  An enrolment stopped meanwhile is left so.
void enrolled(uint32_t ssid, const igd1::devices::Mac &device) {
  WpsRecord r;
  if (!wps_row(int(ssid), &r) || r.status != WPS_IN_PROGRESS) return;
  r.status = WPS_SUCCESS;
  g_autofree gchar *mac = g_strdup_printf("MAC:%02x:%02x:%02x:%02x:%02x:%02x", device[0], device[1], device[2],
                                          device[3], device[4], device[5]);
  std::string records = r.devinfo[0] != '\0' ? r.devinfo : "Name:WPS-enrollee";
  if (records.size() + 1 + std::strlen(mac) >= sizeof r.devinfo) records = records.substr(0, records.find(';'));
  records += ';';
  records += mac;
  igd1::mib::put_text(r.devinfo, records.c_str());
  if (g_wps.update(&r) != nullptr) log_radio("ssid %u: the store did not take the enrolled device", unsigned(ssid));
}

// Every SSID has its WPS row, and no WPS row outlives its SSID.
bool match_wps_rows() {
  for (mib_list_node *node = g_ssids.list(); node != nullptr; node = node->next) {
    const uint32_t instance = g_ssids.instance_of(node->data);
    if (g_wps.find(instance, nullptr) != nullptr) continue;
    WpsRecord r{};
    r.instance = uint8_t(instance);
    if (!g_wps.rows().insert_at(reinterpret_cast<uint8_t *>(&r))) return false;
  }
  for (mib_list_node *node = g_wps.list(); node != nullptr;) {
    mib_list_node *next = node->next;
    uint32_t position = 0;
    const uint32_t instance = g_wps.instance_of(node->data);
    if (g_ssids.find(instance, nullptr) == nullptr && g_wps.find(instance, &position) != nullptr &&
        !g_wps.remove(position, nullptr))
      return false;
    node = next;
  }
  return true;
}

// An enrolment that was running when the radios last stopped has timed out.
bool end_stale_enrolments() {
  return g_wps.update_each<WpsRecord>([](WpsRecord &r) {
    if (r.status != WPS_IN_PROGRESS) return false;
    r.status = WPS_TIMED_OUT;
    return true;
  });
}

// A record another process added or removed: its WPS row follows at once,
// and the radio runs the record or takes the SSID off the air.
void ssid_noticed(igd1::mib::RowKey key, bool) {
  if (!igd1::mib::run_in_transaction(match_wps_rows)) log_radio("the WPS rows did not follow the SSIDs");
  put_into_effect(igd1::mib::key_instance(key));
}

}  // namespace

namespace igd1::mib {

void serve_radios(devices::Radios *radios) {
  if (radios != nullptr) radios->set_enrolment_listener(enrolled);
  g_radios.store(radios);
}

devices::Radios *served_radios() { return g_radios.load(); }

}  // namespace igd1::mib

// ---- SSIDs ----

int wlanconfiguration_interface_init(void) {
  if (!g_ssids.init() || !g_wps.init()) return 0;
  if (!igd1::mib::run_in_transaction(match_wps_rows) || !igd1::mib::run_in_transaction(end_stale_enrolments)) return 0;
  igd1::mib::register_row_notice_handler(kSsids.def, ssid_noticed);
  // The SSIDs there are now reach the module like rows inserted later.
  igd1::mib::announce_rows(kSsids.def, 0);
  return 1;
}

int wlanconfiguration_check_instnum(int instance) {
  if (instance <= 0 || g_ssids.fails("check_instnum")) return 0;
  return g_ssids.find(uint32_t(instance), nullptr) != nullptr ? 1 : 0;
}

int wlanconfiguration_check_backhaul(int instance) {
  SsidRecord r;
  if (instance <= 0 || g_ssids.fails("check_backhaul")) return 0;
  return stored(instance - 1, &r) && r.backhaul != 0 ? 1 : 0;
}

int is_wlan_guest_network(int index) {
  SsidRecord r;
  return stored(index, &r) && r.guest != 0 ? 1 : 0;
}

int wlanconfiguration_get_property(int item, void *output, int index) {
  SsidRecord r;
  if (output == nullptr || g_ssids.fails("get_property", item) || !stored(index, &r)) return 0;
  return read_item(item, output, r) ? 1 : 0;
}

int wlanconfiguration_set_property(int item, const void *value, int index, int *changed) {
  if (value == nullptr || index < 0 || g_ssids.fails("set_property", item)) return 0;
  uint8_t *working = working_record(index);
  if (working == nullptr) return 0;
  SsidRecord r = load<SsidRecord>(working);
  if (!write_item(item, value, r)) return 0;
  if (changed != nullptr) *changed = std::memcmp(working, &r, sizeof r) != 0 ? 1 : 0;
  std::memcpy(working, &r, sizeof r);
  return 1;
}

int wlanconfiguration_check_valid_property_value(int item, const void *value, int index,
                                                 uint8_t *code) {
  SsidRecord r;
  if (value == nullptr || g_ssids.fails("check_valid_property_value", item) || !current(index, &r))
    return 0;
  return valid_value(item, value, r, code) ? 1 : 0;
}

int wlanconfiguration_set_property_backup(int index) {
  return !g_ssids.fails("set_property_backup") && snapshot(index, Snapshot::Single, false) ? 1 : 0;
}

int wlanconfiguration_set_property_failed_update(int index) {
  return snapshot(index, Snapshot::Single, true) ? 1 : 0;
}

int wlanconfiguration_set_properties_backup(int index) {
  return !g_ssids.fails("set_properties_backup") && snapshot(index, Snapshot::Multi, false) ? 1 : 0;
}

int wlanconfiguration_set_properties_failed_update(int index) {
  return snapshot(index, Snapshot::Multi, true) ? 1 : 0;
}

int wlanconfiguration_set_properties_update(int index, const char **message) {
  if (message != nullptr) *message = nullptr;
  uint32_t position = 0;
  uint8_t *working = position_of(index, &position) ? g_working.record(position) : nullptr;
  if (working == nullptr) return refuse_update("no write of this SSID is open", message);
  SsidRecord r = load<SsidRecord>(working);
  SsidRecord before;
  if (!stored(index, &before)) return refuse_update("the SSID is gone", message);
  auto end_write = [&] {
    g_working.restore(Snapshot::Single, position);
    g_working.restore(Snapshot::Multi, position);
  };
  if (g_ssids.fails("set_properties_update")) {
    end_write();
    return refuse_update("the store refused the SSID", message);
  }
  // A guest network's duration runs from the commit that set it.
  if (r.guest != 0 && r.duration != before.duration)
    r.guest_until = r.duration > 0 ? uint64_t(g_get_real_time() / G_USEC_PER_SEC) + uint64_t(r.duration) * 60 : 0;
  if (r.auto_channel == 0 && r.channel != 0) r.channel_in_use = r.channel;
  // What the radio cannot run is refused here, before anything is stored:
  // the radio only ever gets records it takes.
  if (g_radios.load() != nullptr) {
    if (const std::string refusal = radio_refusal(reinterpret_cast<const uint8_t *>(&r)); !refusal.empty()) {
      end_write();
      return refuse_update(refusal, message);
    }
  }
  std::memcpy(working, &r, sizeof r);
  if (!igd1::mib::begin_transaction()) return refuse_update("the store is busy", message);
  std::string why;
  const char *reason = g_working.commit(position);
  if (reason != nullptr) why = reason;
  if (why.empty() && !share_channel(r)) why = "the other SSIDs of the radio refused its channel";
  if (why.empty() && dbus_mib_update_cfg(MIB_CFG_WLAN, &r, r.instance) == 0)
    why = "the wireless service refused the SSID";
  if (!why.empty()) {
    igd1::mib::rollback_transaction();
    return refuse_update(why, message);
  }
  if (!igd1::mib::commit_transaction()) return refuse_update("the store refused the SSID", message);
  put_into_effect(r.instance);
  return 0;
}

int wlanconfiguration_insert_entry(int *instance) {
  if (instance == nullptr) return 0;
  SsidRecord r = new_record(0);
  const bool done = igd1::mib::run_in_transaction([&] {
    if (!g_ssids.insert(&r)) return false;
    g_snprintf(r.ssid, sizeof r.ssid, "igd1-ssid-%u", unsigned(r.instance));
    g_snprintf(r.ifname, sizeof r.ifname, "ra%u", unsigned(r.instance) + 8);
    g_snprintf(r.bssid, sizeof r.bssid, "02101801%02X%02X", 0, unsigned(r.instance));
    return g_ssids.update(&r) == nullptr && match_wps_rows();
  });
  if (!done) return 0;
  *instance = r.instance;
  put_into_effect(r.instance);
  return 1;
}

int wlanconfiguration_delete_entry(int instance) {
  uint32_t position = 0;
  if (instance <= 0 || g_ssids.find(uint32_t(instance), &position) == nullptr) return 0;
  if (!igd1::mib::run_in_transaction([&] { return g_ssids.remove(position, nullptr) && match_wps_rows(); }))
    return 0;
  put_into_effect(uint32_t(instance));
  return 1;
}

// ---- WPS ----

int wps_init(void) { return g_wps.init() ? 1 : 0; }

int wps_get_property(int item, void *output, int index) {
  WpsRecord r;
  if (output == nullptr || g_wps.fails("get_property", item) || !wps_row(index, &r)) return 0;
  return g_wps.get(item, output, &r) ? 1 : 0;
}

int wps_set_property(int item, const void *value, int index, int *changed) {
  WpsRecord r;
  if (value == nullptr || item != WPS_ITEM_ENABLE || g_wps.fails("set_property", item) ||
      !wps_row(index, &r))
    return 0;
  const uint32_t enable = load<uint32_t>(value);
  if (enable > 1) return 0;
  if (changed != nullptr) *changed = enable != r.enable;
  if (enable == r.enable) return 1;
  r.enable = enable;
  const bool stops = enable == 0 && r.status == WPS_IN_PROGRESS;
  if (stops) r.status = WPS_FAILED;
  if (g_wps.update(&r) != nullptr) return 0;
  igd1::devices::Radios *radios = g_radios.load();
  if (stops && radios != nullptr) radios->cancel_enrolment(uint32_t(index));
  return 1;
}

int wps_setWPS(int mode, uint32_t value, int index, uint32_t *result, char *errdesc) {
  auto refuse = [errdesc](const char *why) {
    if (errdesc != nullptr) g_strlcpy(errdesc, why, 64);
    return 0;
  };
  WpsRecord r;
  SsidRecord ssid;
  if (result == nullptr || g_wps.fails("setWPS") || !wps_row(index, &r)) return refuse("no such WPS");
  if (!stored(index - 1, &ssid)) return refuse("no such SSID");
  if (mode != 0 && mode != 1) return refuse("mode is 0 (push button) or 1 (PIN)");
  if (mode == 1 && (value < 1 || value > 99999999)) return refuse("a PIN is 8 digits");
  if (r.enable == 0) return refuse("WPS is off");
  if (ssid.enable == 0) return refuse("the SSID is off");
  if (std::strcmp(ssid.beacon, "None") == 0 || std::strcmp(ssid.beacon, "Basic") == 0)
    return refuse("WPS needs WPA security");
  if (r.status == WPS_IN_PROGRESS) return refuse("an enrolment is running");
  igd1::devices::Radios *radios = g_radios.load();
  if (radios == nullptr) return refuse("the radios do not answer");
  r.status = WPS_IN_PROGRESS;
  r.mode = uint32_t(mode);
  r.pin = value;
  if (g_wps.update(&r) != nullptr) return refuse("the store refused the enrolment");
  std::string why;
  if (!radios->start_enrolment(uint32_t(index), r.mode, r.pin, &why)) {
    r.status = WPS_FAILED;
    g_wps.update(&r);
    return refuse(why.c_str());
  }
  *result = 0;
  if (errdesc != nullptr) g_strlcpy(errdesc, "success", 64);
  return 1;
}
