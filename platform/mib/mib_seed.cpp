// The settings a new gateway starts with, and the numeric entry ids that
// mib_get() serves.
//
// A setting that a module's file reads is declared there, with its initial
// value, and registered with Defaults; kDefaults holds the others.  Every
// open of the store inserts the defaults it does not hold yet, so existing
// databases pick a new one up at the next start without losing what the
// user changed.
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mib_internal.h"
#include "mib_store.h"

namespace igd1::mib {

namespace detail {

namespace {

using K = ValueKind;

constexpr Item kDefaults[] = {
    // Identity of the gateway.
    {"device.MAC", K::Mac, 6, "a4:3e:51:0c:22:10"},

    // Addressing of the home network side.
    {"lan.SubnetMask", K::IPv4, 4, "255.255.255.0"},
    {"lan.IPv6Address", K::Text, 64, "2001:db8:3c4d:1500::1"},

    // LAN host manager; Seeded turns 1 once the first devices were put in the table.
    {"lanhost.Seeded", K::U8, 1, "0"},

    // The DNS servers the DHCP server of the home network hands out.
    {"dhcpserver.DNSServers", K::Text, 64, "192.168.1.1"},

    // Firmware upgrade and restore.  Stage times are those of the emulated
    // upgrade and line registration.
    {"upgrade.URL", K::Text, 256, ""},
    {"upgrade.NeedReboot", K::U8, 1, "0"},
    {"upgrade.StartMs", K::U64, 8, "0"},
    {"upgrade.StageMs", K::U32, 4, "2000"},
    {"system.RestorePending", K::U32, 4, "0"},  // restore mode to apply at start
    {"system.LastRebootCause", K::I32, 4, "0"},
    {"system.HardwareCheck", K::U8, 1, "0"},

    // Line registration: where it stands, and the operator's side of it (the
    // LOID and password the line is provisioned for, whether the management
    // server answers, how many services it delivers).
    {"register.Status", K::I32, 4, "200"},
    {"register.StatusText", K::Text, 64, "2"},
    {"register.Complete", K::U8, 1, "1"},
    {"register.Running", K::U8, 1, "0"},
    {"register.StartMs", K::U64, 8, "0"},
    {"register.StageMs", K::U32, 4, "1500"},
    {"register.FailedAttempts", K::U32, 4, "0"},
    {"register.OLTLOID", K::Text, 64, "0755210344"},
    {"register.OLTPassword", K::Text, 64, "88412210"},
    {"register.ITMSReachable", K::U8, 1, "1"},
    {"register.ServiceCount", K::U32, 4, "2"},

    // Credentials printed on the device's label.
    {"device.InitUserPassword", K::Text, 64, "Wqx2210ua"},
    {"device.InitSSIDPassword", K::Text, 64, "k7m3p9x2"},

    // Operator service platforms: where they are, their versions and errors.
    {"platform.DistAddr", K::Text, 256, "https://dist.example.net:8443"},
    {"platform.Version", K::Text, 256, "2.1.0"},
    {"platform.SSN", K::Text, 256, ""},
    {"platform.DistErrorMsg", K::Text, 256, ""},
    {"platform.OperAddr", K::Text, 256, "oper.example.net:9090"},
    {"platform.OperErrorMsg", K::Text, 256, ""},
    {"platform.PluginAddr", K::Text, 256, "https://plugin.example.net"},
    {"platform.PluginErrorMsg", K::Text, 256, ""},
    {"platform.BSSAddr", K::Text, 256, "bss.example.net:8080"},

    // File and shell servers: the shell's account, and the FTP default
    // account that stands in while no user account exists.
    {"telnet.UserName", K::Text, 31, "telnetadmin"},
    {"telnet.Password", K::Text, 31, "Tn#4A3E51c2"},
    {"ftp.DefaultUserName", K::Text, 30, "ftpadmin"},
    {"ftp.DefaultPassword", K::Text, 30, "Ftp#0C2210"},

    // DNS servers of the relay, per address family ("" for none).
    {"dns.Server1", K::Text, 47, "202.96.128.86"},
    {"dns.Server2", K::Text, 47, "202.96.134.133"},
    {"dnsv6.Server1", K::Text, 47, "2001:db8:3c4d::53"},
    {"dnsv6.Server2", K::Text, 47, ""},

    // IPv6 on the home network side: address and DNS servers from the
    // internet connection, the prefix it is delegated; lifetimes in seconds.
    {"ipv6lan.ConfigType", K::Text, 64, "WANConnection"},
    {"ipv6lan.DNSWAN", K::Text, 64, "2_INTERNET_R_VID_41"},
    {"ipv6lan.Servers", K::Text, 256, ""},
    {"ipv6lan.PrefixMode", K::Text, 64, "WANDelegated"},
    {"ipv6lan.DelegatedWAN", K::Text, 64, "2_INTERNET_R_VID_41"},
    {"ipv6lan.Prefix", K::Text, 64, "2001:db8:3c4d:1500::/64"},
    {"ipv6lan.PreferredLifeTime", K::U32, 4, "3600"},
    {"ipv6lan.ValidLifeTime", K::U32, 4, "7200"},
    {"dhcpv6.Enable", K::U8, 1, "1"},
    {"dhcpv6.MinAddress", K::Text, 47, "::2"},
    {"dhcpv6.MaxAddress", K::Text, 47, "::fffe"},
    {"dhcpv6.PreferredLifeTime", K::U32, 4, "3600"},
    {"dhcpv6.ValidLifeTime", K::U32, 4, "7200"},
    {"dhcpv6.Option16Enable", K::U8, 1, "0"},
    {"dhcpv6.Option17Enable", K::U8, 1, "0"},
    {"ra.Enable", K::U8, 1, "1"},
    {"ra.MaxRtrAdvInterval", K::U32, 4, "600"},
    {"ra.MinRtrAdvInterval", K::U32, 4, "200"},
    {"ra.AdvManagedFlag", K::U8, 1, "0"},
    {"ra.AdvOtherConfigFlag", K::U8, 1, "1"},

    // Indicator lights: on, dark at night while the daily window is enabled.
    {"led.StartTime", K::Text, 6, "07:00"},
    {"led.EndTime", K::Text, 6, "22:30"},

    // The simulated call's number and DTMF confirmation.
    {"voicetest.CalledNumber", K::Text, 33, "075512345688"},
    {"voicetest.DialDTMFConfirmNumber", K::Text, 33, ""},

    // Speed tests: where they measure (set by the operator; a test without a
    // server is refused), and the state and results of the last run of each
    // (0 success, 1 failed or never run, 2 running).
    {"httptest.Result", K::Text, 1024, ""},
    {"httptest.URL", K::Text, 1024, ""},
    {"speedff.URL", K::Text, 1024, ""},
    {"speedlocal.URL", K::Text, 1024, ""},

    // Quality of service: whether the priority queues and the applications
    // have had their first rules.
    {"qos.SeededPriorityQueue", K::U8, 1, "0"},
    {"qos.SeededApp", K::U8, 1, "0"},

    // Operations and maintenance: the watch's round in seconds (0: off) and
    // the LAN switch's port speeds (Mbit/s while a link is up).
    {"omdiag.WatchInterval", K::U32, 4, "10"},
    {"lan.Port1Speed", K::U32, 4, "1000"},
    {"lan.Port2Speed", K::U32, 4, "1000"},
    {"lan.Port3Speed", K::U32, 4, "100"},
    {"lan.Port4Speed", K::U32, 4, "1000"},

    // Bus service itself.
    {"dbusproxy.DebugLevel", K::U32, 4, "2"},
};

// Settings mib_get() serves by number.
struct DefaultEntry {
  int id;
  Item item;
};
constexpr DefaultEntry kEntries[] = {
    {9001, {"dbusproxy.DebugLevel", K::U32, 4}},
    {20045, {"deviceinfo.HGUSleep", K::U8, 1}},  // 1 while the gateway sleeps
};

// Filled while the library loads, read only afterwards.
std::vector<Item> &registered() {
  static auto *items = new std::vector<Item>;
  return *items;
}

const Defaults kStoreDefaults(kDefaults);

}  // namespace

std::span<const Item> default_settings() { return registered(); }

}  // namespace detail

void Defaults::add(const Item &item) {
  if (item.initial != nullptr) detail::registered().push_back(item);
}

const Item *default_item(std::string_view name) {
  for (const Item &item : detail::default_settings()) {
    if (name == item.name) return &item;
  }
  return nullptr;
}

// ---- numeric entry ids -----------------------------------------------------

namespace {

// An entry keeps its own copy of the setting name so that callers may
// register items whose name lives in a temporary buffer.
struct OwnedEntry {
  std::string name;
  Item item;
};

struct Entries {
  std::mutex mutex;
  std::map<int, std::unique_ptr<OwnedEntry>> by_id;
};

void put_entry(Entries &entries, int id, const Item &item) {
  std::unique_ptr<OwnedEntry> &slot = entries.by_id[id];
  if (!slot) slot = std::make_unique<OwnedEntry>();
  // Updated in place: a pointer handed out by find_entry stays valid.
  slot->name = item.name != nullptr ? item.name : "";
  slot->item = item;
  slot->item.name = slot->name.c_str();
}

// Created on first use with the default entries already in it.
Entries &entries() {
  static Entries *instance = [] {
    auto *created = new Entries;
    for (const detail::DefaultEntry &entry : detail::kEntries) put_entry(*created, entry.id, entry.item);
    return created;
  }();
  return *instance;
}

}  // namespace

void register_entry(int id, const Item &item) {
  Entries &all = entries();
  std::lock_guard lock(all.mutex);
  put_entry(all, id, item);
}

const Item *find_entry(int id) {
  Entries &all = entries();
  std::lock_guard lock(all.mutex);
  auto found = all.by_id.find(id);
  return found != all.by_id.end() ? &found->second->item : nullptr;
}

}  // namespace igd1::mib
