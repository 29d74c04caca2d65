// The web server: its access word in the remote-access settings and the
// administrator's password.  Starting or stopping the server records a
// notice under MIB_CFG_HTTP with the data "Access=<word>", a settings update
// one with the data "update".
#include <cstring>
#include <string>

#include "mib_internal.h"
#include "mib_services.h"
#include "mib_store.h"

namespace {

using igd1::mib::Item;
using K = igd1::mib::ValueKind;

constexpr Item kAccess = {"http.Access", K::U8, 1, "1"};  // bit 0 LAN side, bit 1 WAN side
constexpr Item kPassword = {"syscmd.SuperUserPassword", K::Text, 64};
const igd1::mib::Defaults kOwnDefaults({kAccess});
constexpr size_t kPasswordMax = 30;
constexpr uint8_t kLanSide = 0x1;

}  // namespace

int httpserver_get_password(char *buffer) {
  if (buffer == nullptr || igd1::mib::should_fail("httpserver_get_password", 0)) return 0;
  return igd1::mib::read_item(kPassword, buffer) ? 1 : 0;
}

int httpserver_set_password(const char *text) {
  if (text == nullptr || strnlen(text, kPasswordMax + 1) > kPasswordMax ||
      igd1::mib::should_fail("httpserver_set_password", 0))
    return 0;
  return igd1::mib::write_item(kPassword, text) ? 1 : 0;
}

int httpserver_getconfig(int enable) {
  uint8_t access = 0;
  if (igd1::mib::should_fail("httpserver_getconfig", 0) || !igd1::mib::read_item(kAccess, &access))
    return -1;
  if (enable != 0 && enable != 1) return -2;
  access = enable != 0 ? uint8_t(access | kLanSide) : uint8_t(access & ~kLanSide);
  if (igd1::mib::should_fail("httpserver_getconfig", 1) || !igd1::mib::write_item(kAccess, &access))
    return -3;
  return access;
}

int httpserverinfo_enable_httpd(int config) {
  if (config < 0 || config > 3) return 0;
  return igd1::mib::detail::append_journal_entry(MIB_CFG_HTTP, 255,
                                                 "Access=" + std::to_string(config))
             ? 1
             : 0;
}

int httpserverinfo_set_property_update(int) {
  return igd1::mib::detail::append_journal_entry(MIB_CFG_HTTP, 255, "update") ? 1 : 0;
}
