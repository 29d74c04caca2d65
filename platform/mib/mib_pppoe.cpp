// The PPPoE side of the WAN connections: the internet connection's name, its
// mode ("PPPoE", "DHCP" or "Static") and the PPPoE user name.
//
// Entries handed out are counted until they are freed, so that a caller
// that forgets one shows.
#include <atomic>
#include <cstring>
#include <new>

#include "mib_services.h"
#include "mib_store.h"

struct pppoe_wan_entry {
  int service;
  char name[64];
};

namespace {

using igd1::mib::Item;
using K = igd1::mib::ValueKind;

constexpr Item kName = {"wan.InternetName", K::Text, 64, "2_INTERNET_R_VID_41"};
constexpr Item kMode = {"wan.InternetMode", K::Text, 16, "PPPoE"};
constexpr Item kUserName = {"pppoe.UserName", K::Text, 65, "07552103448@wqx"};
const igd1::mib::Defaults kOwnDefaults({kName, kMode, kUserName});

std::atomic<int> g_held{0};

}  // namespace

int pppoe_get_wan_entry(int service, pppoe_wan_entry **entry) {
  if (entry == nullptr) return 0;
  *entry = nullptr;
  char mode[16] = {};
  if (service != PPPOE_SERVICE_INTERNET || igd1::mib::should_fail("pppoe_get_wan_entry", 0) ||
      !igd1::mib::read_item(kMode, mode) || std::strcmp(mode, "PPPoE") != 0)
    return 0;
  auto *found = new (std::nothrow) pppoe_wan_entry{service, {}};
  if (found == nullptr) return 0;
  if (!igd1::mib::read_item(kName, found->name)) {
    delete found;
    return 0;
  }
  ++g_held;
  *entry = found;
  return 1;
}

void pppoe_free_wan_entry(pppoe_wan_entry *entry) {
  if (entry == nullptr) return;
  delete entry;
  --g_held;
}

int pppoe_get_mib_property(int index, void *buffer) {
  if (buffer == nullptr || index != 0 || igd1::mib::should_fail("pppoe_get_mib_property", index))
    return 0;
  return igd1::mib::read_item(kUserName, buffer) ? 1 : 0;
}

int pppoe_wan_entries_held(void) { return g_held.load(); }
