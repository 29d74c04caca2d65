// LAN hosts: the table "lanhost", one LAN_HOST_ROW_SIZE-byte record per
// device (layout in mib_lanhost.h), and the manager's settings "lanhost.*".
//
// A new gateway's table holds a household: phones, laptops, a TV, a set-top
// box, a camera and a smart plug, wired and wireless, some of them away.  A
// discovery (lanhost_observe) adds the devices it sees, keeps their state and
// removes those gone for long; a device's control status follows its access
// and bandwidth settings whenever its record is stored.
#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "mib_api.h"
#include "mib_lanhost.h"
#include "mib_lanhost_feed.h"
#include "mib_rowlist.h"
#include "mib_store.h"
#include "mib_table.h"

namespace {

using K = igd1::mib::ValueKind;

constexpr igd1::mib::Column kColumns[] = {
    {"Active", K::U8, LAN_HOST_ACTIVE, 1},
    {"ControlStatus", K::U8, LAN_HOST_CONTROL_STATUS, 1},
    {"InternetAccess", K::U8, LAN_HOST_INTERNET_ACCESS, 1},
    {"StorageAccess", K::U8, LAN_HOST_STORAGE_ACCESS, 1},
    {"DevType", K::U8, LAN_HOST_DEVICE_TYPE, 1},
    {"ConnectionType", K::U8, LAN_HOST_CONNECTION_TYPE, 1},
    {"Port", K::U8, LAN_HOST_PORT, 1},
    {"MAC", K::Mac, LAN_HOST_MAC, 6},
    {"DeviceOnlineNofication", K::U8, LAN_HOST_ONLINE_NOTIFY, 1},
    {"Speedupstate", K::U8, LAN_HOST_SPEEDUP, 1},
    {"IP", K::IPv4, LAN_HOST_IP, 4},
    {"MaxUSBandwidth", K::U32, LAN_HOST_MAX_US, 4},
    {"MaxDSBandwidth", K::U32, LAN_HOST_MAX_DS, 4},
    {"UsGuaranteeBandwidth", K::U32, LAN_HOST_US_GUARANTEE, 4},
    {"DsGuaranteeBandwidth", K::U32, LAN_HOST_DS_GUARANTEE, 4},
    {"OnlineTime", K::U32, LAN_HOST_ONLINE_TIME, 4},
    {"NegoRate", K::U32, LAN_HOST_NEGO_RATE, 4},
    {"PowerLevel", K::I32, LAN_HOST_POWER_LEVEL, 4},
    {"Channel", K::U32, LAN_HOST_CHANNEL, 4},
    {"Noise", K::I32, LAN_HOST_NOISE, 4},
    {"SNR", K::I32, LAN_HOST_SNR, 4},
    {"ConnectDevice", K::U8, LAN_HOST_CONNECT_DEVICE, 1},
    {"RxBytes", K::U64, LAN_HOST_RX_BYTES, 8},
    {"TxBytes", K::U64, LAN_HOST_TX_BYTES, 8},
    {"UpSpeed", K::U64, LAN_HOST_UP_SPEED, 8},
    {"DownSpeed", K::U64, LAN_HOST_DOWN_SPEED, 8},
    {"DevName", K::Text, LAN_HOST_DEV_NAME, LAN_HOST_DEV_NAME_SIZE},
    {"HostName", K::Text, LAN_HOST_HOST_NAME, LAN_HOST_HOST_NAME_SIZE},
    {"Brand", K::Text, LAN_HOST_BRAND, LAN_HOST_BRAND_SIZE},
    {"Model", K::Text, LAN_HOST_MODEL, LAN_HOST_MODEL_SIZE},
    {"OS", K::Text, LAN_HOST_OS, LAN_HOST_OS_SIZE},
    {"IPv6", K::Text, LAN_HOST_IPV6, LAN_HOST_IPV6_SIZE},
    {"LatestActiveTime", K::Text, LAN_HOST_LATEST_ACTIVE, LAN_HOST_LATEST_ACTIVE_SIZE},
    {"LatestInactiveTime", K::Text, LAN_HOST_LATEST_INACTIVE, LAN_HOST_LATEST_INACTIVE_SIZE},
    {"HostClass", K::Text, LAN_HOST_HOST_CLASS, LAN_HOST_HOST_CLASS_SIZE},
    {"ConnectInterface", K::Text, LAN_HOST_CONNECT_INTERFACE, LAN_HOST_CONNECT_INTERFACE_SIZE},
    {"SSIDName", K::Text, LAN_HOST_SSID_NAME, LAN_HOST_SSID_NAME_SIZE},
};

// Device types by number.
constexpr const char *kDeviceTypes[] = {"Other", "Phone", "Pad",    "PC",
                                        "STB",   "TV",    "Camera", "SmartPlug"};
constexpr uint8_t kPhone = 1, kPad = 2, kPC = 3, kSTB = 4, kTV = 5, kCamera = 6, kPlug = 7;

bool fails(const char *accessor, int index = 0) { return igd1::mib::should_fail(accessor, index); }

using igd1::mib::load;
using igd1::mib::store;
void put_text(uint8_t *row, size_t offset, size_t size, std::string_view text) {
  std::memset(row + offset, 0, size);
  std::memcpy(row + offset, text.data(), std::min(text.size(), size - 1));
}

// Under control: internet access other than plainly allowed, or a bandwidth limit.
uint8_t control_status(const uint8_t *row) {
  return row[LAN_HOST_INTERNET_ACCESS] != 1 || load<uint32_t>(row + LAN_HOST_MAX_US) != 0 ||
                 load<uint32_t>(row + LAN_HOST_MAX_DS) != 0
             ? 1
             : 0;
}

std::string time_text(time_t when) {
  struct tm local {};
  localtime_r(&when, &local);
  char text[LAN_HOST_LATEST_ACTIVE_SIZE] = "";
  strftime(text, sizeof text, "%F %T", &local);
  return text;
}

// ---- the household of a new gateway ----

struct Household {
  const char *name, *host_name, *brand, *model, *os;
  uint8_t type;
  bool wireless;
  bool active;
  uint8_t mac[6];
  uint8_t host_octet;
  uint8_t port;           // wired: LAN port
  uint32_t rate_kbps;     // negotiated rate
  int32_t rssi;           // wireless: dBm
  uint64_t rx, tx;
  const char *ssid;
};

constexpr Household kHousehold[] = {
    {"Mia's phone", "mia-phone", "Kestrel", "K20 Pro", "Android 14", kPhone, true, true,
     {0xa8, 0x5b, 0x10, 0x2c, 0x44, 0x01}, 23, 0, 866000, -48, 1843300112, 210455810, "Home-5G"},
    {"Work laptop", "work-laptop", "Norden", "Slate 14", "Windows 11", kPC, false, true,
     {0x3c, 0x52, 0x82, 0x6e, 0x10, 0x9a}, 31, 1, 1000000, 0, 9310022410, 1220883001, ""},
    {"Living room TV", "tv-livingroom", "Vistar", "QV55", "VistarOS 6", kTV, false, true,
     {0x5c, 0x49, 0x7d, 0x11, 0x83, 0x2e}, 40, 2, 100000, 0, 48200117342, 312004455, ""},
    {"Kitchen plug", "plug-kitchen", "Brightly", "SP-10", "RTOS", kPlug, true, true,
     {0x24, 0x0a, 0xc4, 0x9f, 0x1b, 0x7c}, 52, 0, 72000, -67, 1204433, 988120, "Home-2.4G"},
    {"Kids tablet", "kids-tab", "Kestrel", "Tab S8", "Android 13", kPad, true, false,
     {0x8c, 0x79, 0xf5, 0x20, 0x61, 0xd3}, 27, 0, 0, 0, 0, 0, "Home-5G"},
    {"Dad's laptop", "dad-thinkbook", "Norden", "Book 16", "Ubuntu 24.04", kPC, true, true,
     {0xf0, 0x9e, 0x4a, 0x33, 0x07, 0xb5}, 35, 0, 1201000, -55, 7311200871, 902113442, "Home-5G"},
    {"Grandma's phone", "gran-phone", "Orchard", "O12", "OrchardOS 17", kPhone, true, false,
     {0x4c, 0x32, 0x75, 0x0e, 0xaa, 0x12}, 28, 0, 0, 0, 0, 0, "Home-2.4G"},
    {"IPTV box", "stb-iptv", "Vistar", "B860", "Linux 4.9", kSTB, false, true,
     {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}, 45, 3, 100000, 0, 66120455120, 401220118, ""},
    {"Door camera", "cam-door", "Watchly", "C3", "RTOS", kCamera, true, true,
     {0x7c, 0xdd, 0x90, 0x41, 0x22, 0x08}, 60, 0, 144000, -61, 20331022, 4409912031, "Home-2.4G"},
    {"Game console", "console", "Playon", "P5", "PlayonOS", 0, false, false,
     {0x70, 0x9e, 0x29, 0x5a, 0xc1, 0x64}, 38, 4, 0, 0, 0, 0, ""},
};

std::vector<uint8_t> household() {
  const time_t now = time(nullptr);
  std::vector<uint8_t> rows(std::size(kHousehold) * LAN_HOST_ROW_SIZE, 0);
  uint8_t *row = rows.data();
  for (const Household &h : kHousehold) {
    row[LAN_HOST_ACTIVE] = h.active ? 1 : 0;
    row[LAN_HOST_INTERNET_ACCESS] = 1;
    row[LAN_HOST_STORAGE_ACCESS] = 1;
    row[LAN_HOST_DEVICE_TYPE] = h.type;
    row[LAN_HOST_CONNECTION_TYPE] = h.wireless ? 1 : 0;
    row[LAN_HOST_PORT] = h.port;
    std::memcpy(row + LAN_HOST_MAC, h.mac, 6);
    const uint8_t address[4] = {192, 168, 1, h.host_octet};
    std::memcpy(row + LAN_HOST_IP, address, 4);
    store<uint32_t>(row + LAN_HOST_ONLINE_TIME, h.active ? 3600u * h.host_octet : 0u);
    store<uint32_t>(row + LAN_HOST_NEGO_RATE, h.rate_kbps);
    store<int32_t>(row + LAN_HOST_POWER_LEVEL, h.rssi);
    store<uint64_t>(row + LAN_HOST_RX_BYTES, h.rx);
    store<uint64_t>(row + LAN_HOST_TX_BYTES, h.tx);
    store<uint64_t>(row + LAN_HOST_PKT_TOTAL, (h.rx + h.tx) / 1200);
    if (h.wireless) {
      store<uint32_t>(row + LAN_HOST_CHANNEL, std::strstr(h.ssid, "5G") != nullptr ? 36u : 6u);
      store<int32_t>(row + LAN_HOST_NOISE, -92);
      store<int32_t>(row + LAN_HOST_SNR, h.rssi + 92);
      put_text(row, LAN_HOST_SSID_NAME, LAN_HOST_SSID_NAME_SIZE, h.ssid);
      put_text(row, LAN_HOST_RADIO_TYPE, LAN_HOST_RADIO_TYPE_SIZE,
               std::strstr(h.ssid, "5G") != nullptr ? "5G" : "2.4G");
      put_text(row, LAN_HOST_CONNECT_INTERFACE, LAN_HOST_CONNECT_INTERFACE_SIZE,
               std::strstr(h.ssid, "5G") != nullptr ? "SSID5" : "SSID1");
    } else {
      char port[8];
      std::snprintf(port, sizeof port, "LAN%u", h.port);
      put_text(row, LAN_HOST_CONNECT_INTERFACE, LAN_HOST_CONNECT_INTERFACE_SIZE, port);
    }
    put_text(row, LAN_HOST_DEV_NAME, LAN_HOST_DEV_NAME_SIZE, h.name);
    put_text(row, LAN_HOST_HOST_NAME, LAN_HOST_HOST_NAME_SIZE, h.host_name);
    put_text(row, LAN_HOST_BRAND, LAN_HOST_BRAND_SIZE, h.brand);
    put_text(row, LAN_HOST_MODEL, LAN_HOST_MODEL_SIZE, h.model);
    put_text(row, LAN_HOST_OS, LAN_HOST_OS_SIZE, h.os);
    put_text(row, LAN_HOST_HOST_CLASS, LAN_HOST_HOST_CLASS_SIZE, kDeviceTypes[h.type]);
    put_text(row, LAN_HOST_LATEST_ACTIVE, LAN_HOST_LATEST_ACTIVE_SIZE,
             time_text(now - (h.active ? 3600 * h.host_octet : 86400)));
    if (!h.active)
      put_text(row, LAN_HOST_LATEST_INACTIVE, LAN_HOST_LATEST_INACTIVE_SIZE,
               time_text(now - 7200));
    row[LAN_HOST_CONTROL_STATUS] = control_status(row);
    row += LAN_HOST_ROW_SIZE;
  }
  return rows;
}

constexpr igd1::mib::TableSpec kSpec = {
    .def = igd1::mib::record_table("lanhost", "lan_host", LAN_HOST_ROW_SIZE, kColumns,
                                   LAN_HOST_MAX_ROWS),
    .prefix = "lan_host",
    .seed_marker = "lanhost.Seeded",
    .seed = household,
};
igd1::mib::Table g_hosts(kSpec);
igd1::mib::RowList &rows() { return g_hosts.rows(); }

const igd1::mib::Item kManagerItems[] = {
    {"lanhost.EnableStats", K::U8, 1, "1"},
    {"lanhost.LANHostMaxNumber", K::U32, 4, "255"},
    {"lanhost.ControlListMaxNumber", K::U32, 4, "32"},
};
const igd1::mib::Defaults kManagerItemsDefaults(kManagerItems);
constexpr int kPushEnable = 5;
const igd1::mib::Item kPushItem = {"lanhost.LANDevPushEnable", K::U8, 1, "1"};
const igd1::mib::Defaults kOwnDefaults({kPushItem});

const igd1::mib::Item *manager_item(int item) {
  if (item >= 0 && item < 3) return &kManagerItems[item];
  return item == kPushEnable ? &kPushItem : nullptr;
}

// ---- what the discovery keeps between observations ----

std::mutex g_seen_mutex;
std::map<uint64_t, time_t> g_last_seen;  // by MAC
std::atomic<void (*)()> g_refresher{nullptr};

uint64_t mac_key(const uint8_t *mac) {
  uint64_t key = 0;
  for (int i = 0; i < 6; ++i) key = key << 8 | mac[i];
  return key;
}

}  // namespace

int lan_host_update_all(void) { return g_hosts.init() ? 1 : 0; }

int lan_host_notify_change_all(void) {
  if (fails("lan_host_notify_change_all")) return 0;
  igd1::mib::journal_append(MIB_CFG_LANHOST, MIB_ACTION_APPLY,
                            std::to_string(rows().size()) + " hosts");
  return 1;
}

mib_list_node *lan_host_get_list(int) { return g_hosts.list(); }

mib_list_node *lan_host_get_list_by_instnum(uint32_t instance, uint32_t *index) {
  return g_hosts.find(instance, index);
}

uint32_t lan_host_get_instnum(const void *row) { return g_hosts.instance_of(row); }

int lan_host_get_active(const void *row) {
  return row != nullptr && static_cast<const uint8_t *>(row)[LAN_HOST_ACTIVE] != 0 ? 1 : 0;
}

int lan_host_get_controlstatus(const void *row) {
  return row != nullptr && static_cast<const uint8_t *>(row)[LAN_HOST_CONTROL_STATUS] != 0 ? 1 : 0;
}

int lan_host_check_valid_property_value(int item, const char *text, const void *,
                                        uint8_t *type) {
  if (item != LAN_HOST_ITEM_DEVICE_TYPE || text == nullptr) return 0;
  for (size_t n = 0; n < std::size(kDeviceTypes); ++n) {
    if (std::strcmp(kDeviceTypes[n], text) != 0) continue;
    if (type != nullptr) *type = uint8_t(n);
    return 1;
  }
  return 0;
}

int lan_host_get_devicetype_num(const void *row) {
  return row != nullptr ? static_cast<const uint8_t *>(row)[LAN_HOST_DEVICE_TYPE] : -1;
}

int lan_host_get_mib_property(int item, void *output, const void *row) {
  if (item != LAN_HOST_ITEM_DEVICE_TYPE || output == nullptr || row == nullptr ||
      fails("lan_host_get_mib_property", item))
    return 0;
  const uint8_t type = static_cast<const uint8_t *>(row)[LAN_HOST_DEVICE_TYPE];
  const char *name = type < std::size(kDeviceTypes) ? kDeviceTypes[type] : kDeviceTypes[0];
  std::memcpy(output, name, std::strlen(name) + 1);
  return 1;
}

int lan_host_set_mib_property(int item, const void *value, void *row) {
  uint8_t type = 0;
  if (value == nullptr || row == nullptr || fails("lan_host_set_mib_property", item) ||
      !lan_host_check_valid_property_value(item, static_cast<const char *>(value), row, &type))
    return 0;
  static_cast<uint8_t *>(row)[LAN_HOST_DEVICE_TYPE] = type;
  return 1;
}

void *lan_host_backup_entry(const void *row) { return g_hosts.backup(row); }

void lan_host_free_backup_entry(void *copy) { igd1::mib::Table::free_copy(copy); }

// The control status follows from what the copy holds.
int lan_host_update_entry_mib(const void *copy, uint32_t index) {
  if (copy == nullptr) return 0;
  uint8_t row[LAN_HOST_ROW_SIZE];
  std::memcpy(row, copy, sizeof row);
  row[LAN_HOST_CONTROL_STATUS] = control_status(row);
  return g_hosts.update_at(row, index) == nullptr ? 1 : 0;
}

int lan_host_remove_entry(uint32_t index, mib_list_node *node) {
  return g_hosts.remove(index, node) ? 1 : 0;
}

int lan_host_save_mib(void) { return g_hosts.save() ? 1 : 0; }

int lan_host_update_info_immediately(int) {
  if (void (*refresh)() = g_refresher.load()) refresh();
  return 1;
}

int lanhostmanager_get_mib_property(int item, void *output) {
  if (output == nullptr || fails("lanhostmanager_get_mib_property", item)) return 0;
  if (const igd1::mib::Item *setting = manager_item(item))
    return igd1::mib::read_item(*setting, output) ? 1 : 0;
  uint32_t count = 0;
  switch (item) {
    case 3: count = uint32_t(rows().size()); break;
    case 4:
    case 6:
    case 7:
      for (mib_list_node *node = rows().head(); node != nullptr; node = node->next) {
        const auto *row = static_cast<const uint8_t *>(node->data);
        count += item == 4 ? row[LAN_HOST_CONTROL_STATUS] != 0 : row[LAN_HOST_ACTIVE] != 0;
      }
      break;
    default: return 0;
  }
  std::memcpy(output, &count, sizeof count);
  return 1;
}

int lanhostmanager_set_mib_property(int item, void *value) {
  const igd1::mib::Item *setting = manager_item(item);
  if (setting == nullptr || value == nullptr || fails("lanhostmanager_set_mib_property", item))
    return 0;
  bool changed = false;
  if (!igd1::mib::write_changed(*setting, value, &changed)) return 0;
  return changed ? 1 : 2;
}

namespace igd1::mib {

bool lanhost_observe(const std::vector<Sighting> &seen, time_t now, time_t max_age) {
  std::lock_guard lock(g_seen_mutex);
  bool changed = false;
  std::map<uint64_t, const Sighting *> by_mac;
  for (const Sighting &sighting : seen) by_mac[mac_key(sighting.mac)] = &sighting;
  std::vector<uint8_t> row(LAN_HOST_ROW_SIZE);
  std::vector<std::vector<uint8_t>> known;
  for (mib_list_node *node = rows().head(); node != nullptr; node = node->next) {
    const auto *data = static_cast<const uint8_t *>(node->data);
    known.emplace_back(data, data + LAN_HOST_ROW_SIZE);
  }
  for (std::vector<uint8_t> &stored : known) {
    const uint64_t key = mac_key(stored.data() + LAN_HOST_MAC);
    row = stored;
    auto found = by_mac.find(key);
    if (found != by_mac.end()) {
      const Sighting &s = *found->second;
      if (row[LAN_HOST_ACTIVE] == 0) {
        row[LAN_HOST_ACTIVE] = 1;
        put_text(row.data(), LAN_HOST_LATEST_ACTIVE, LAN_HOST_LATEST_ACTIVE_SIZE, time_text(now));
        store<uint32_t>(row.data() + LAN_HOST_ONLINE_TIME, 0);
      } else if (auto last = g_last_seen.find(key); last != g_last_seen.end() && now > last->second) {
        store<uint32_t>(row.data() + LAN_HOST_ONLINE_TIME,
                        load<uint32_t>(row.data() + LAN_HOST_ONLINE_TIME) + uint32_t(now - last->second));
      }
      if (s.ipv4 != 0) std::memcpy(row.data() + LAN_HOST_IP, &s.ipv4, 4);
      if (!s.ipv6.empty()) put_text(row.data(), LAN_HOST_IPV6, LAN_HOST_IPV6_SIZE, s.ipv6);
      if (!s.host_name.empty())
        put_text(row.data(), LAN_HOST_HOST_NAME, LAN_HOST_HOST_NAME_SIZE, s.host_name);
      g_last_seen[key] = now;
      by_mac.erase(found);
    } else {
      if (row[LAN_HOST_ACTIVE] != 0) {
        row[LAN_HOST_ACTIVE] = 0;
        put_text(row.data(), LAN_HOST_LATEST_INACTIVE, LAN_HOST_LATEST_INACTIVE_SIZE,
                 time_text(now));
      }
      // Only what this discovery has watched ages: its first look starts the clock.
      auto last = g_last_seen.try_emplace(key, now).first;
      if (now - last->second > max_age) {
        changed = rows().remove(row[LAN_HOST_INSTANCE]) || changed;
        g_last_seen.erase(last);
        continue;
      }
    }
    if (row != stored) changed = rows().store(row.data()) || changed;
  }
  // Devices seen for the first time, in MAC order.
  for (const auto &[key, sighting] : by_mac) {
    std::fill(row.begin(), row.end(), 0);
    const Sighting &s = *sighting;
    row[LAN_HOST_ACTIVE] = 1;
    row[LAN_HOST_INTERNET_ACCESS] = 1;
    row[LAN_HOST_STORAGE_ACCESS] = 1;
    row[LAN_HOST_CONNECTION_TYPE] = s.wireless ? 1 : 0;
    std::memcpy(row.data() + LAN_HOST_MAC, s.mac, 6);
    std::memcpy(row.data() + LAN_HOST_IP, &s.ipv4, 4);
    put_text(row.data(), LAN_HOST_IPV6, LAN_HOST_IPV6_SIZE, s.ipv6);
    put_text(row.data(), LAN_HOST_HOST_NAME, LAN_HOST_HOST_NAME_SIZE, s.host_name);
    put_text(row.data(), LAN_HOST_DEV_NAME, LAN_HOST_DEV_NAME_SIZE, s.host_name);
    put_text(row.data(), LAN_HOST_CONNECT_INTERFACE, LAN_HOST_CONNECT_INTERFACE_SIZE, s.interface);
    put_text(row.data(), LAN_HOST_HOST_CLASS, LAN_HOST_HOST_CLASS_SIZE, kDeviceTypes[0]);
    put_text(row.data(), LAN_HOST_LATEST_ACTIVE, LAN_HOST_LATEST_ACTIVE_SIZE, time_text(now));
    if (!rows().insert(row.data())) break;  // the table is full
    g_last_seen[key] = now;
    changed = true;
  }
  return changed;
}

void lanhost_forget_sightings() {
  std::lock_guard lock(g_seen_mutex);
  g_last_seen.clear();
}

void set_lanhost_refresher(void (*refresher)()) { g_refresher.store(refresher); }

bool lanhost_set_inactive(const uint8_t mac[6]) {
  std::lock_guard lock(g_seen_mutex);
  for (mib_list_node *node = rows().head(); node != nullptr; node = node->next) {
    const auto *row = static_cast<const uint8_t *>(node->data);
    if (std::memcmp(row + LAN_HOST_MAC, mac, 6) != 0) continue;
    if (row[LAN_HOST_ACTIVE] == 0) return true;
    std::vector<uint8_t> copy(row, row + LAN_HOST_ROW_SIZE);
    copy[LAN_HOST_ACTIVE] = 0;
    put_text(copy.data(), LAN_HOST_LATEST_INACTIVE, LAN_HOST_LATEST_INACTIVE_SIZE, time_text(time(nullptr)));
    return rows().store(copy.data());
  }
  return false;
}

bool lanhost_set_speedup(const uint8_t mac[6], uint8_t flag) {
  for (mib_list_node *node = rows().head(); node != nullptr; node = node->next) {
    auto *row = static_cast<uint8_t *>(node->data);
    if (std::memcmp(row + LAN_HOST_MAC, mac, 6) != 0) continue;
    if (row[LAN_HOST_SPEEDUP] == flag) return true;
    std::vector<uint8_t> copy(row, row + LAN_HOST_ROW_SIZE);
    copy[LAN_HOST_SPEEDUP] = flag;
    return rows().store(copy.data());
  }
  return false;
}

}  // namespace igd1::mib

const mib_table_ops lan_host_table = igd1::mib::table_ops<g_hosts, kSpec>(
    {.save_mib = lan_host_save_mib,
     .get_item = lan_host_get_mib_property,
     .set_item = lan_host_set_mib_property});
