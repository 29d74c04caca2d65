// The settings a new gateway starts with, and the numeric entry ids that
// mib_get() serves.
//
// To add a setting, add a line to kDefaults: every open of the store inserts
// the defaults it does not hold yet, so existing databases pick the new line
// up at the next start without losing what the user changed.
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "mib_internal.h"
#include "mib_store.h"

namespace igd1::mib {

namespace detail {

namespace {

using K = ValueKind;

constexpr DefaultSetting kDefaults[] = {
    // Identity of the gateway.
    {{"device.Manufacturer", K::Text, 64}, "Wqx Networks"},
    {{"device.ModelName", K::Text, 64}, "HG8-G4"},
    {{"device.SerialNumber", K::Text, 64}, "WQX4A3E510C2210"},
    {{"device.HardwareVersion", K::Text, 64}, "HG8G4.A"},
    {{"device.SoftwareVersion", K::Text, 64}, "V3.1.2.0041"},
    {{"device.MAC", K::Mac, 6}, "a4:3e:51:0c:22:10"},

    // Addressing of the home network side.
    {{"lan.IPAddress", K::IPv4, 4}, "192.168.1.1"},
    {{"lan.SubnetMask", K::IPv4, 4}, "255.255.255.0"},

    // DHCP server of the home network.
    {{"dhcpserver.Enable", K::Bool, 4}, "1"},
    {{"dhcpserver.MinAddress", K::IPv4, 4}, "192.168.1.2"},
    {{"dhcpserver.MaxAddress", K::IPv4, 4}, "192.168.1.254"},
    {{"dhcpserver.SubnetMask", K::IPv4, 4}, "255.255.255.0"},
    {{"dhcpserver.LeaseTime", K::U32, 4}, "86400"},
    {{"dhcpserver.DNSServers", K::Text, 64}, "192.168.1.1"},

    // Bus service itself.
    {{"dbusproxy.DebugLevel", K::U32, 4}, "2"},
};

constexpr DefaultEntry kEntries[] = {
    {9001, {"dbusproxy.DebugLevel", K::U32, 4}},
};

}  // namespace

std::span<const DefaultSetting> default_settings() { return kDefaults; }

std::span<const DefaultEntry> default_entries() { return kEntries; }

}  // namespace detail

const Item *default_item(std::string_view name) {
  for (const detail::DefaultSetting &setting : detail::kDefaults) {
    if (name == setting.item.name) return &setting.item;
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
