// Network information items and the shared record gNetworkinfo.
//
// The items (networkinfo_get_property) are kItems below, by index; the
// indices in between are not served and read as failures.
//
// gNetworkinfo mirrors the settings network.LAN<n>Status, network.WAN{Tx,Rx}Bytes,
// network.WiFi{Tx,Rx}Bytes and network.LAN<n>{Tx,Rx}Bytes; the WAN and WiFi
// totals are the sums of sent and received.  networkinfo_interface_init fills
// it at once and starts a thread that refreshes it after a commit of the
// settings, by this process or another, at most once a second (so that a
// stream of writes does not wake it for each one); an idle gateway leaves
// the thread asleep.  A refresh builds a copy under a mutex and replaces the
// record in one copy; a field whose setting is missing or unreadable keeps
// its previous value.
#include <pthread.h>

#include <chrono>
#include <cstddef>
#include <thread>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>

#include "mib_api.h"
#include "mib_internal.h"
#include "mib_store.h"

networkinfo_record gNetworkinfo = {};

namespace {

using igd1::mib::Item;
using K = igd1::mib::ValueKind;

constexpr int kElinkSyncIndex = 35;
constexpr Item kNone = {nullptr, K::Text, 0};

// UPLink: 1 PON, 2 Ethernet; UPLinkType: 1 GPON, 2 EPON, 3 Ethernet.
constexpr Item kItems[] = {
    /* 0 */ {"network.UPLink", K::U8, 1, "1"},
    /* 1 */ kNone,
    /* 2 */ kNone,
    /* 3 */ {"network.WiFiMode", K::Text, 64, "802.11b/802.11g/802.11n/802.11ac/802.11ax"},
    /* 4 */ {"network.PONDuration", K::U32, 4, "264913"},  // seconds
    /* 5 */ {"network.PPPoEDuration", K::U32, 4, "264850"},  // seconds
    /* 6-17 */ kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone,
    /* 18 */ {"network.WANLinkStatus", K::Text, 64, "1"},
    /* 19 */ {"network.WiFiModuleStatus", K::Text, 64, "1"},
    /* 20 */ {"network.WANConnectionStatus", K::Text, 64, "Connected"},
    /* 21 */ {"network.PPPoEDialReason", K::Text, 64, "ERROR_NONE"},
    /* 22 */ {"network.IPv6WANConnectionStatus", K::Text, 64, "Connected"},
    /* 23 */ {"network.IPv6PPPoEDialReason", K::Text, 64, "ERROR_NONE"},
    /* 24 */ {"lan.IPAddress", K::IPv4, 4},
    /* 25 */ {"network.WANIPAddr", K::Text, 64, "100.72.18.35"},
    /* 26 */ {"network.WANIPv6Addr", K::Text, 64, "2001:db8:3c4d:15::1a2f"},
    /* 27-32 */ kNone, kNone, kNone, kNone, kNone, kNone,
    /* 33 */ {"network.UPLinkType", K::U32, 4, "1"},
    /* 34 */ {"network.CloudCPEEnable", K::U8, 1, "1"},
    /* 35 */ {"network.ElinkSync", K::U8, 1, "0"},
};
const igd1::mib::Defaults kItemsDefaults(kItems);
constexpr size_t kItemCount = std::size(kItems);
static_assert(kItemCount == 36);

// ---- the shared record -------------------------------------------------------

struct RecordField {
  Item item;
  size_t offset;
};

constexpr size_t kLanBytes = offsetof(networkinfo_record, lan_bytes);
constexpr size_t kLanStatus = offsetof(networkinfo_record, lan_status);

// Port status: 0 no link, 1 link up.  Traffic in bytes; the totals are the
// sums of these.
constexpr RecordField kRecordFields[] = {
    {{"network.LAN1Status", K::U8, 1, "1"}, kLanStatus + 0},
    {{"network.LAN2Status", K::U8, 1, "0"}, kLanStatus + 1},
    {{"network.LAN3Status", K::U8, 1, "1"}, kLanStatus + 2},
    {{"network.LAN4Status", K::U8, 1, "0"}, kLanStatus + 3},
    {{"network.WANTxBytes", K::U64, 8, "18364529137"}, offsetof(networkinfo_record, wan_tx_bytes)},
    {{"network.WANRxBytes", K::U64, 8, "214738662905"}, offsetof(networkinfo_record, wan_rx_bytes)},
    {{"network.WiFiTxBytes", K::U64, 8, "131052278644"}, offsetof(networkinfo_record, wifi_tx_bytes)},
    {{"network.WiFiRxBytes", K::U64, 8, "12480935716"}, offsetof(networkinfo_record, wifi_rx_bytes)},
    {{"network.LAN1TxBytes", K::U64, 8, "61827342210"}, kLanBytes + 0 * 8},
    {{"network.LAN1RxBytes", K::U64, 8, "4918264032"}, kLanBytes + 1 * 8},
    {{"network.LAN2TxBytes", K::U64, 8, "0"}, kLanBytes + 2 * 8},
    {{"network.LAN2RxBytes", K::U64, 8, "0"}, kLanBytes + 3 * 8},
    {{"network.LAN3TxBytes", K::U64, 8, "9360127785"}, kLanBytes + 4 * 8},
    {{"network.LAN3RxBytes", K::U64, 8, "811492503"}, kLanBytes + 5 * 8},
    {{"network.LAN4TxBytes", K::U64, 8, "0"}, kLanBytes + 6 * 8},
    {{"network.LAN4RxBytes", K::U64, 8, "0"}, kLanBytes + 7 * 8},
};
const igd1::mib::Defaults kRecordDefaults(std::span<const RecordField>(kRecordFields),
                                         &RecordField::item);

std::mutex &record_mutex() {
  static std::mutex *mutex = new std::mutex;
  return *mutex;
}

// The least time between two refreshes: commits within it are taken in by
// the next refresh, without waking the thread.
constexpr auto kRefreshGap = std::chrono::seconds(1);

void refresh_record() {
  std::lock_guard lock(record_mutex());
  networkinfo_record fresh;
  std::memcpy(&fresh, &gNetworkinfo, sizeof fresh);
  auto *bytes = reinterpret_cast<unsigned char *>(&fresh);
  for (const RecordField &field : kRecordFields) {
    // read_item leaves the bytes alone when the setting does not read.
    igd1::mib::read_item(field.item, bytes + field.offset);
  }
  fresh.wan_bytes = fresh.wan_tx_bytes + fresh.wan_rx_bytes;
  fresh.wifi_bytes = fresh.wifi_tx_bytes + fresh.wifi_rx_bytes;
  std::memcpy(&gNetworkinfo, &fresh, sizeof fresh);
}

}  // namespace

int networkinfo_get_property(int index, void *buffer) {
  return igd1::mib::read_at("networkinfo_get_property", kItems, index, buffer) ? 1 : 0;
}

int networkinfo_set_property(int index, void *value, int *commit_needed, int *changed) {
  if (commit_needed != nullptr) *commit_needed = 0;
  if (changed != nullptr) *changed = 0;
  if (index != kElinkSyncIndex || value == nullptr) return 0;
  if (igd1::mib::should_fail("networkinfo_set_property", index)) return 0;
  bool written = false;
  if (!igd1::mib::write_changed(kItems[index], value, &written)) return 0;
  if (commit_needed != nullptr) *commit_needed = written ? 1 : 0;
  if (changed != nullptr) *changed = written ? 1 : 0;
  return 1;
}

int networkinfo_set_property_update(const char **message) {
  const auto answer = [message](const char *refusal) {
    if (message != nullptr) *message = refusal;
    return refusal == nullptr ? 1 : 0;
  };
  if (igd1::mib::should_fail("networkinfo_set_property_update", igd1::mib::kEveryIndex))
    return answer("commit refused");
  const std::string sync = igd1::mib::get_setting(kItems[kElinkSyncIndex].name).value_or("");
  return answer(igd1::mib::detail::append_journal_entry(igd1::mib::kNetworkInfoNoticeBit,
                                                        MIB_ACTION_APPLY, "ElinkSync=" + sync)
                    ? nullptr
                    : "configuration store unavailable");
}

int networkinfo_interface_init(void) {
  // Counted before the refresh: a commit that races with it wakes the thread.
  const uint64_t counted = igd1::mib::settings_commit_count();
  refresh_record();
  static std::once_flag started;
  std::call_once(started, [counted] {
    std::thread([seen = counted]() mutable {
      pthread_setname_np(pthread_self(), "mib_netinfo");
      for (;;) {
        seen = igd1::mib::wait_settings_commit(seen);
        if (igd1::mib::store_is_open()) refresh_record();
        std::this_thread::sleep_for(kRefreshGap);
      }
    }).detach();
  });
  return 1;
}
