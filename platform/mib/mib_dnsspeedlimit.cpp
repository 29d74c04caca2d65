// The DNS speed limit: which domains' queries are limited and what happens
// to a query over the limit, and what the DNS service reports back.
//
//   index  setting                form
//   0      dnslimit.Domain        text, 1024 bytes: host names separated by ',' or ';'
//   1      dnslimit.LimitAction   text, 33 bytes, printable
//   2      dnslimit.HgwInfo       text, 256 bytes, read only
//   3      dnslimit.DeviceInfo    text, 256 bytes, read only
#include <cstring>
#include <iterator>
#include <string_view>

#include "mib_services.h"
#include "mib_store.h"

namespace {

using igd1::mib::Item;
using K = igd1::mib::ValueKind;

bool host_names(const void *value) {
  return std::string_view(static_cast<const char *>(value))
             .find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                "0123456789-.*_,;") == std::string_view::npos;
}

bool printable(const void *value) {
  for (const char *c = static_cast<const char *>(value); *c != '\0'; ++c)
    if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f) return false;
  return true;
}

constexpr Item kItems[] = {
    {"dnslimit.Domain", K::Text, 1024, "", host_names},
    {"dnslimit.LimitAction", K::Text, 33, "Drop", printable},
    {"dnslimit.HgwInfo", K::Text, 256, "HG8-G4;A43E51;WQX4A3E510C2210"},
    {"dnslimit.DeviceInfo", K::Text, 256, ""},
};
const igd1::mib::Defaults kItemsDefaults(kItems);
constexpr int kDomain = 0;
constexpr int kLimitAction = 1;

}  // namespace

int DNSSpeedLimit_get_mib_property(int index, void *buffer) {
  return igd1::mib::read_at("DNSSpeedLimit_get_mib_property", kItems, index, buffer) ? 1 : 0;
}

int DNSSpeedLimit_set_mib_property(int index, void *value) {
  const bool writable = index == kDomain || index == kLimitAction;
  return writable && igd1::mib::write_at("DNSSpeedLimit_set_mib_property", kItems, index, value) ? 1 : 0;
}
