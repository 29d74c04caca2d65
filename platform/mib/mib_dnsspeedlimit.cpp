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

constexpr Item kItems[] = {
    {"dnslimit.Domain", K::Text, 1024, ""},
    {"dnslimit.LimitAction", K::Text, 33, "Drop"},
    {"dnslimit.HgwInfo", K::Text, 256, "HG8-G4;A43E51;WQX4A3E510C2210"},
    {"dnslimit.DeviceInfo", K::Text, 256, ""},
};
const igd1::mib::Defaults kItemsDefaults(kItems);
constexpr int kDomain = 0;
constexpr int kLimitAction = 1;

bool host_names(std::string_view text) {
  return text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                "0123456789-.*_,;") == std::string_view::npos;
}

bool printable(std::string_view text) {
  for (const char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  return true;
}

}  // namespace

int DNSSpeedLimit_get_mib_property(int index, void *buffer) {
  if (buffer == nullptr) return 0;
  return igd1::mib::read_indexed("DNSSpeedLimit_get_mib_property", kItems, std::size(kItems),
                                 index, buffer)
             ? 1
             : 0;
}

int DNSSpeedLimit_set_mib_property(int index, void *value) {
  if (value == nullptr || (index != kDomain && index != kLimitAction)) return 0;
  const char *text = static_cast<const char *>(value);
  const size_t length = strnlen(text, kItems[index].size);
  if (length == kItems[index].size) return 0;
  const std::string_view view(text, length);
  if (index == kDomain ? !host_names(view) : !printable(view)) return 0;
  return igd1::mib::write_indexed("DNSSpeedLimit_set_mib_property", kItems, std::size(kItems),
                                  index, value)
             ? 1
             : 0;
}
