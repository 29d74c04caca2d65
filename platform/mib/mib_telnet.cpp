// The Telnet service: its access mode in the remote-access settings and its
// one login.  The access mode is read at index 0 and written at index 3, its
// position in the remote-access table.  Applying a mode records a notice
// under MIB_CFG_TELNET with the data "Enable=N".
#include <iterator>
#include <string>

#include "mib_api.h"
#include "mib_internal.h"
#include "mib_store.h"

namespace {

using igd1::mib::Item;
using K = igd1::mib::ValueKind;

constexpr Item kEnable = {"telnet.Enable", K::U8, 1, "0",
                           igd1::mib::within<uint8_t, MIB_ACCESS_OFF, MIB_ACCESS_LAN_WAN>};
const igd1::mib::Defaults kOwnDefaults({kEnable});
constexpr int kEnableWriteIndex = 3;
constexpr size_t kTextSize = 31;
constexpr Item kLogin[] = {
    {"telnet.UserName", K::Text, kTextSize, "telnetadmin"},
    {"telnet.Password", K::Text, kTextSize, "Tn#4A3E51c2"},
};
const igd1::mib::Defaults kLoginDefaults(kLogin);

bool valid_mode(int mode) { return mode >= MIB_ACCESS_OFF && mode <= MIB_ACCESS_LAN_WAN; }

}  // namespace

int telnetserverinfo_get_property(int index, void *buffer) {
  if (buffer == nullptr) return 0;
  return igd1::mib::read_indexed("telnetserverinfo_get_property", &kEnable, 1, index, buffer) ? 1
                                                                                              : 0;
}

int telnetserverinfo_set_property(int index, void *value, int) {
  if (index != kEnableWriteIndex || value == nullptr) return 0;
  if (igd1::mib::should_fail("telnetserverinfo_set_property", index)) return 0;
  return igd1::mib::write_item(kEnable, value) ? 1 : 0;
}

int telnetserverinfo_set_property_update(int enable) {
  if (!valid_mode(enable) || igd1::mib::should_fail("telnetserverinfo_set_property_update", 0))
    return 0;
  return igd1::mib::detail::append_journal_entry(MIB_CFG_TELNET, MIB_ACTION_APPLY,
                                                 "Enable=" + std::to_string(enable))
             ? 1
             : 0;
}

const char *telnetaccount_get_info(int which) {
  thread_local char texts[std::size(kLogin)][kTextSize];
  if (which < 0 || size_t(which) >= std::size(kLogin)) return nullptr;
  if (!igd1::mib::read_at("telnetaccount_get_info", kLogin, which, texts[which])) return nullptr;
  return texts[which];
}
