// Device information items: identity, versions, hardware figures and live
// load, read by index into buffers whose sizes the device information object
// fixes (the Item sizes below).  Only the device name is writable.
//
// The live load (CPU, memory and flash usage, uptime) is measured on the
// running system and written to the store, so that igd1-mib shows the same
// figures as the bus: at deviceinfo_interface_init and, at most once every
// kLiveRefreshInterval, when one of them is read.  A figure that cannot be
// measured keeps its stored value.
//
// Applying written values (deviceinfo_set_property_update) records a notice
// under kDeviceInfoNoticeBit with action MIB_ACTION_APPLY and the data
// "DevName=<name>".
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>

#include "mib_api.h"
#include "mib_internal.h"
#include "mib_store.h"
#include "system_view.h"

namespace {

using igd1::mib::Item;
using K = igd1::mib::ValueKind;

constexpr char kGetAccessor[] = "deviceinfo_get_property";

constexpr int kDevNameIndex = 18;
constexpr int kCpuUsageIndex = 19;
constexpr int kMemUsageIndex = 20;
constexpr int kFlashUsageIndex = 21;
constexpr int kUpTimeIndex = 22;

constexpr Item kItems[] = {
    /* 0 */ {"deviceinfo.BusinessStatus", K::U8, 1, "1"},  // 1: services provisioned
    /* 1 */ {"device.Manufacturer", K::Text, 64, "Wqx Networks"},
    /* 2 */ {"device.MAC", K::Text, 32},  // stored as a MAC, read as its text
    /* 3 */ {"deviceinfo.WQEI", K::Text, 15, "86730412210465"},
    /* 4 */ {"lan.IPAddress", K::IPv4Text, 64},
    /* 5 */ {"device.SoftwareVersion", K::Text, 64, "V3.1.2.0041"},
    /* 6 */ {"device.HardwareVersion", K::Text, 64, "HG8G4.A"},
    /* 7 */ {"deviceinfo.ITMSProtocolVersion", K::Text, 64, "Q/WQ 2271-2014|a1.0"},
    /* 8 */ {"deviceinfo.SpecVersion", K::Text, 64, "Q/WQ 2603-2018"},
    /* 9 */ {"deviceinfo.DBusInterfaceVersion", K::Text, 64, "1.2"},
    /* 10 */ {"device.ProductClass", K::Text, 64, "HG8G4"},
    /* 11 */ {"deviceinfo.CPUClass", K::Text, 64, "WQ7521"},
    /* 12 */ {"deviceinfo.DevType", K::Text, 64, "HGU"},
    /* 13 */ {"deviceinfo.DevType1", K::Text, 64, "GPON"},
    /* 14 */ {"deviceinfo.DevType2", K::Text, 64, "Lumora_2.0"},
    /* 15 */ {"deviceinfo.Capability", K::Text, 64, "4GE+1POTS+WiFi2.4G+WiFi5G+USB"},
    /* 16 */ {"deviceinfo.FlashSize", K::U32, 4, "134217728"},
    /* 17 */ {"deviceinfo.RamSize", K::U32, 4, "268435456"},
    /* 18 */ {"deviceinfo.DevName", K::Text, 128, "HG8-G4 Home Gateway"},
    /* 19 */ {"deviceinfo.CPUUsage", K::U8, 1, "7"},  // percent
    /* 20 */ {"deviceinfo.MEMUsage", K::U8, 1, "38"},  // percent
    /* 21 */ {"deviceinfo.FlashUsage", K::U8, 1, "27"},  // percent
    /* 22 */ {"deviceinfo.UpTime", K::U32, 4, "0"},  // seconds, refreshed while running
    /* 23 */ {"deviceinfo.HGUSleep", K::U8, 1, "0"},
    /* 24 */ {"pon.SN", K::Text, 64},
    /* 25 */ {"device.ModelName", K::Text, 64, "HG8-G4"},
    /* 26 */ {"deviceinfo.POTSNum", K::U32, 4, "1"},
    /* 27 */ {"device.ManufacturerOUI", K::Text, 64, "A43E51"},
    /* 28 */ {"device.SerialNumber", K::Text, 64, "WQX4A3E510C2210"},
    /* 29 */ {"deviceinfo.DevStyle", K::Text, 33, "Desktop"},
    /* 30 */ {"deviceinfo.DevWiFi", K::U8, 1, "1"},
    /* 31 */ {"deviceinfo.DevUSB", K::U8, 1, "1"},
    /* 32 */ {"deviceinfo.LANNum", K::U32, 4, "4"},
    /* 33 */ {"deviceinfo.WiFiVersion", K::U8, 1, "6"},
    /* 34 */ {"deviceinfo.KernelVersion", K::Text, 64, "4.4.140"},
    /* 35 */ {"deviceinfo.KernelBit", K::U32, 4, "32"},
    /* 36 */ {"deviceinfo.IfName", K::Text, 32, "br0"},
    /* 37 */ {"deviceinfo.DevTypeCode", K::U8, 1, "1"},  // numeric device type: 1 home gateway
    /* 38 */ {"deviceinfo.WorkMode", K::U8, 1, "0"},  // 0 routing, 1 bridging
    /* 39 */ {"deviceinfo.MarkType", K::U8, 1, "1"},  // 1 printed label, 2 electronic label
    /* 40 */ {"deviceinfo.SignDeviceModel", K::Text, 64, "HG8-G4"},
    /* 41 */ {"deviceinfo.NASN", K::Text, 64, "02-A127-214433"},
};
const igd1::mib::Defaults kItemsDefaults(kItems);

// ---- live load ---------------------------------------------------------------

constexpr std::chrono::seconds kLiveRefreshInterval{30};

struct LiveState {
  std::mutex mutex;
  std::optional<std::chrono::steady_clock::time_point> last;
};

LiveState &live_state() {
  static LiveState *state = new LiveState;
  return *state;
}

bool is_live(int index) {
  return index == kCpuUsageIndex || index == kMemUsageIndex || index == kFlashUsageIndex ||
         index == kUpTimeIndex;
}

uint8_t percent(double part, double whole) {
  if (whole <= 0) return 0;
  double value = part * 100.0 / whole + 0.5;
  return static_cast<uint8_t>(std::clamp(value, 0.0, 100.0));
}

// Seconds since the system started, suspended time included.
std::optional<uint32_t> uptime_seconds() {
  timespec now{};
  if (clock_gettime(CLOCK_BOOTTIME, &now) != 0 || now.tv_sec < 0) return std::nullopt;
  return static_cast<uint32_t>(std::min<int64_t>(now.tv_sec, UINT32_MAX));
}

// Memory in use: what the kernel could not hand out without swapping.
std::optional<uint8_t> memory_usage() {
  const std::optional<uint64_t> total = igd1::mib::memory_kb("MemTotal");
  const std::optional<uint64_t> available = igd1::mib::memory_kb("MemAvailable");
  if (!total || !available || *total == 0 || *available > *total) return std::nullopt;
  return percent(static_cast<double>(*total - *available), static_cast<double>(*total));
}

// One-minute load average over the processors, as a percentage.
std::optional<uint8_t> cpu_usage() {
  double load = 0;
  long processors = sysconf(_SC_NPROCESSORS_ONLN);
  if (getloadavg(&load, 1) != 1 || processors < 1) return std::nullopt;
  return percent(load, static_cast<double>(processors));
}

// Use of the file system that holds the configuration store.
std::optional<uint8_t> flash_usage() {
  std::string store = igd1::mib::store_path();
  if (store.empty()) return std::nullopt;
  std::filesystem::path folder = std::filesystem::path(store).parent_path();
  if (folder.empty()) folder = ".";
  struct statvfs info {};
  if (statvfs(folder.c_str(), &info) != 0 || info.f_blocks == 0) return std::nullopt;
  return percent(static_cast<double>(info.f_blocks - info.f_bfree),
                 static_cast<double>(info.f_blocks));
}

template <typename T>
void store_figure(int index, const std::optional<T> &value) {
  if (value) igd1::mib::write_item(kItems[index], &*value);
}

// Measures and stores the live figures; unless `force`, only when the last
// measurement is older than kLiveRefreshInterval.
void refresh_live(bool force) {
  LiveState &state = live_state();
  std::lock_guard lock(state.mutex);
  auto now = std::chrono::steady_clock::now();
  if (!force && state.last && now - *state.last < kLiveRefreshInterval) return;
  state.last = now;
  store_figure(kCpuUsageIndex, cpu_usage());
  store_figure(kMemUsageIndex, memory_usage());
  store_figure(kFlashUsageIndex, flash_usage());
  store_figure(kUpTimeIndex, uptime_seconds());
}

}  // namespace

int deviceinfo_get_property(int index, void *buffer) {
  if (buffer == nullptr) return 0;
  if (is_live(index) && !igd1::mib::should_fail(kGetAccessor, index)) refresh_live(false);
  return igd1::mib::read_at(kGetAccessor, kItems, index, buffer) ? 1 : 0;
}

// The device name arrives as a NUL-terminated text; one that does not end
// within the 128 bytes of its item (more than 127 characters) is refused.
int deviceinfo_set_property(int index, void *value) {
  if (index != kDevNameIndex || value == nullptr) return 0;
  return igd1::mib::write_at("deviceinfo_set_property", kItems, index, value) ? 1 : 0;
}

int deviceinfo_set_property_update(void) {
  if (igd1::mib::should_fail("deviceinfo_set_property_update", igd1::mib::kEveryIndex)) return 0;
  std::string name = igd1::mib::get_setting(kItems[kDevNameIndex].name).value_or("");
  return igd1::mib::detail::append_journal_entry(igd1::mib::kDeviceInfoNoticeBit, MIB_ACTION_APPLY,
                                                 "DevName=" + name)
             ? 1
             : 0;
}

int deviceinfo_interface_init(void) {
  refresh_live(true);
  return 1;
}
