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

    // LAN host manager; Seeded turns 1 once the first devices were put in the table.
    {"lanhost.Seeded", K::U8, 1, "0"},

    // The DNS servers the DHCP server of the home network hands out.
    {"dhcpserver.DNSServers", K::Text, 64, "192.168.1.1"},

    // Quality of service: whether the priority queues and the applications
    // have had their first rules.
    {"qos.SeededPriorityQueue", K::U8, 1, "0"},
    {"qos.SeededApp", K::U8, 1, "0"},

    // The LAN switch's port speeds (Mbit/s while a link is up).
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
