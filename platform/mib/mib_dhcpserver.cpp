// DHCP server items.  Reads and writes use different forms of the same
// settings (an address is dotted text one way and 4 bytes in network order
// the other), so each direction has its own table.
//
// The enable byte is stored as written, so a stored 2 and a stored 1 both read
// back as a non-zero number.  Index 4 is the router address handed to DHCP
// clients; the server object keeps it equal to the LAN address and never reads
// it back.  Lease times are stored whatever their value: the server object
// decides which ones it accepts.
//
// Notices under MIB_CFG_DHCP carry data only when they name the LAN address
// to apply (action MIB_ACTION_LAN_ADDRESS_APPLY): the address text as the bus
// caller offered it, which the journal records as it is.
#include <cstring>
#include <iterator>
#include <string>

#include "mib_api.h"
#include "mib_store.h"

namespace {

using igd1::mib::Item;
using K = igd1::mib::ValueKind;

constexpr char kGetAccessor[] = "dhcpserver_get_mib_property";
constexpr char kSetAccessor[] = "dhcpserver_set_mib_property";

// Dotted text fits 16 bytes with its terminator; callers pass 50.
constexpr size_t kAddressText = 16;

constexpr Item kReadItems[] = {
    {"dhcpserver.Enable", K::U32, 4},
    {"dhcpserver.MinAddress", K::IPv4Text, kAddressText},
    {"dhcpserver.MaxAddress", K::IPv4Text, kAddressText},
    {"lan.IPAddress", K::IPv4Text, kAddressText},
    {nullptr, K::Text, 0},  // write only
    {"dhcpserver.SubnetMask", K::IPv4Text, kAddressText},
    {"dhcpserver.LeaseTime", K::U32, 4},
    {"dhcpserver.WritePermission", K::U8, 1},
};

// The stored forms, with the values of a new store.  Enable is the byte the
// server object writes (2 on, 0 off; 1 from older stores also means on).
constexpr Item kWriteItems[] = {
    {"dhcpserver.Enable", K::U8, 1, "1"},
    {"dhcpserver.MinAddress", K::IPv4, 4, "192.168.1.2"},
    {"dhcpserver.MaxAddress", K::IPv4, 4, "192.168.1.254"},
    {"lan.IPAddress", K::IPv4, 4, "192.168.1.1"},
    {"dhcpserver.GatewayAddress", K::IPv4, 4, "192.168.1.1"},
    {"dhcpserver.SubnetMask", K::IPv4, 4, "255.255.255.0"},
    {"dhcpserver.LeaseTime", K::U32, 4, "86400"},
    {"dhcpserver.WritePermission", K::U8, 1, "1"},
};
const igd1::mib::Defaults kWriteItemsDefaults(kWriteItems);

static_assert(std::size(kReadItems) == std::size(kWriteItems));

// An offered address is short; the cap only keeps a runaway text out of the
// journal.
constexpr size_t kNoticeTextMax = 255;

std::string dhcp_notice_text(const void *data) {
  const auto *text = static_cast<const char *>(data);
  return std::string(text, strnlen(text, kNoticeTextMax));
}

const bool kNoticeFormatter = [] {
  igd1::mib::register_notice_formatter(MIB_CFG_DHCP, dhcp_notice_text);
  return true;
}();

}  // namespace

int dhcpserver_get_mib_property(int index, void *buffer) {
  return igd1::mib::read_at(kGetAccessor, kReadItems, index, buffer) ? 1 : 0;
}

int dhcpserver_set_mib_property(int index, void *value) {
  return igd1::mib::write_at(kSetAccessor, kWriteItems, index, value) ? 1 : 0;
}
