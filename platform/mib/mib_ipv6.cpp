// IPv6 on the home network side: the LAN configuration, the DHCPv6 server
// and the router advertisements.  Every write is checked against the form
// the services need, including the rules that tie two settings together (a
// preferred lifetime within the valid one, the advertisement intervals of
// RFC 4861); a refused value stores nothing.
#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "mib_api.h"
#include "mib_store.h"
#include "mib_table.h"

namespace {

using igd1::mib::Item;
using K = igd1::mib::ValueKind;

const char *text_of(const void *value) { return static_cast<const char *>(value); }
uint32_t number_of(const void *value) {
  uint32_t number;
  std::memcpy(&number, value, sizeof number);
  return number;
}

bool ipv6_address(std::string_view text) {
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return false;
  const std::string copy(text);
  in6_addr address{};
  return inet_pton(AF_INET6, copy.c_str(), &address) == 1;
}

constexpr auto flag = igd1::mib::within<uint8_t, 0, 1>;
bool address(const void *value) { return ipv6_address(text_of(value)); }

// A WAN connection name as the WAN side lists it: printable, without spaces
// at either end; "" names none.
bool connection_name(const void *value) {
  const std::string_view text = text_of(value);
  for (const char c : text)
    if (c < 0x20 || c == 0x7f) return false;
  return text.empty() || (text.front() != ' ' && text.back() != ' ');
}

bool dns_source(const void *value) {
  const std::string_view text = text_of(value);
  return text == "WANConnection" || text == "Static";
}

bool prefix_source(const void *value) {
  const std::string_view text = text_of(value);
  return text == "WANDelegated" || text == "Static";
}

// IPv6 addresses separated by commas; "" when there are none.
bool server_list(const void *value) {
  return igd1::mib::every_entry(text_of(value), ',', ipv6_address);
}

// address/length with a length from 1 to 128; "" when there is none.
bool prefix(const void *value) {
  const std::string_view text = text_of(value);
  if (text.empty()) return true;
  const size_t slash = text.find('/');
  return slash != std::string_view::npos && ipv6_address(text.substr(0, slash)) &&
         igd1::mib::decimal(text.substr(slash + 1), 1, 128).has_value();
}

uint32_t stored_number(const char *name) {
  uint32_t number = 0;
  igd1::mib::read_item({name, K::U32, 4}, &number);
  return number;
}

// Lifetimes: the preferred one never exceeds the valid one.
constexpr char kLanPreferred[] = "ipv6lan.PreferredLifeTime";
constexpr char kLanValid[] = "ipv6lan.ValidLifeTime";
constexpr char kDhcpPreferred[] = "dhcpv6.PreferredLifeTime";
constexpr char kDhcpValid[] = "dhcpv6.ValidLifeTime";
bool lan_preferred(const void *value) { return number_of(value) <= stored_number(kLanValid); }
bool lan_valid(const void *value) { return number_of(value) >= stored_number(kLanPreferred); }
bool dhcp_preferred(const void *value) { return number_of(value) <= stored_number(kDhcpValid); }
bool dhcp_valid(const void *value) { return number_of(value) >= stored_number(kDhcpPreferred); }

// Advertisement intervals: the maximum 4 to 1800 s, the minimum 3 s to
// three quarters of the maximum.
constexpr char kMaxInterval[] = "ra.MaxRtrAdvInterval";
constexpr char kMinInterval[] = "ra.MinRtrAdvInterval";
bool max_interval(const void *value) {
  const uint32_t max = number_of(value);
  return max >= 4 && max <= 1800 && uint64_t(stored_number(kMinInterval)) * 4 <= uint64_t(max) * 3;
}
bool min_interval(const void *value) {
  const uint32_t min = number_of(value);
  return min >= 3 && uint64_t(min) * 4 <= uint64_t(stored_number(kMaxInterval)) * 3;
}

constexpr size_t kText = 64;
constexpr size_t kPoolBound = 47;

// A new store takes its address and DNS servers from the internet
// connection and the prefix it is delegated; lifetimes in seconds.
constexpr Item kLan[] = {
    {"lan.IPv6Address", K::Text, kText, "2001:db8:3c4d:1500::1", address},
    {"ipv6lan.ConfigType", K::Text, kText, "WANConnection", dns_source},
    {"ipv6lan.DNSWAN", K::Text, kText, "2_INTERNET_R_VID_41", connection_name},
    {"ipv6lan.Servers", K::Text, 256, "", server_list},
    {"ipv6lan.PrefixMode", K::Text, kText, "WANDelegated", prefix_source},
    {"ipv6lan.DelegatedWAN", K::Text, kText, "2_INTERNET_R_VID_41", connection_name},
    {"ipv6lan.Prefix", K::Text, kText, "2001:db8:3c4d:1500::/64", prefix},
    {kLanPreferred, K::U32, 4, "3600", lan_preferred},
    {kLanValid, K::U32, 4, "7200", lan_valid},
};

constexpr Item kDhcp[] = {
    {"dhcpv6.Enable", K::U8, 1, "1", flag},
    {"dhcpv6.MinAddress", K::Text, kPoolBound, "::2", address},
    {"dhcpv6.MaxAddress", K::Text, kPoolBound, "::fffe", address},
    {kDhcpPreferred, K::U32, 4, "3600", dhcp_preferred},
    {kDhcpValid, K::U32, 4, "7200", dhcp_valid},
    {"dhcpv6.Option16Enable", K::U8, 1, "0", flag},
    {"dhcpv6.Option17Enable", K::U8, 1, "0", flag},
};

constexpr Item kRa[] = {
    {"ra.Enable", K::U8, 1, "1", flag},
    {kMaxInterval, K::U32, 4, "600", max_interval},
    {kMinInterval, K::U32, 4, "200", min_interval},
    {"ra.AdvManagedFlag", K::U8, 1, "0", flag},
    {"ra.AdvOtherConfigFlag", K::U8, 1, "1", flag},
};
const igd1::mib::Defaults kLanDefaults(kLan), kDhcpDefaults(kDhcp), kRaDefaults(kRa);

}  // namespace

int IPV6LANConfig_get_mib_property(int index, void *buffer) {
  return igd1::mib::read_at("IPV6LANConfig_get_mib_property", kLan, index, buffer) ? 1 : 0;
}
int IPV6LANConfig_set_mib_property(int index, void *value) {
  return igd1::mib::write_at("IPV6LANConfig_set_mib_property", kLan, index, value) ? 1 : 0;
}
int DHCPV6Server_get_mib_property(int index, void *buffer) {
  return igd1::mib::read_at("DHCPV6Server_get_mib_property", kDhcp, index, buffer) ? 1 : 0;
}
int DHCPV6Server_set_mib_property(int index, void *value) {
  return igd1::mib::write_at("DHCPV6Server_set_mib_property", kDhcp, index, value) ? 1 : 0;
}
int RouterAdvertisement_get_mib_property(int index, void *buffer) {
  return igd1::mib::read_at("RouterAdvertisement_get_mib_property", kRa, index, buffer) ? 1 : 0;
}
int RouterAdvertisement_set_mib_property(int index, void *value) {
  return igd1::mib::write_at("RouterAdvertisement_set_mib_property", kRa, index, value) ? 1 : 0;
}
