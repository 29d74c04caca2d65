// DNS servers of the gateway's relay, one record per address family:
//
//   index  settings                          form of each field
//   0      dns.Server1, dns.Server2          dotted IPv4 text
//   1      dnsv6.Server1, dnsv6.Server2      IPv6 text
//
// An empty field means no server.  A field is refused when it holds a
// character that no address of its family has; a server the relay cannot
// reach is its own business.  Reloading the relay records a notice under
// MIB_CFG_DNS with the data "reload".
#include <cstring>
#include <iterator>

#include "mib_api.h"
#include "mib_internal.h"
#include "mib_store.h"

namespace {

using igd1::mib::Item;
using K = igd1::mib::ValueKind;

constexpr size_t kField = sizeof(dnsserver_record::server1);
static_assert(sizeof(dnsserver_record) == 94);

// A new store relays to the operator's servers ("" for none).
constexpr Item kServers[][2] = {
    {{"dns.Server1", K::Text, kField, "202.96.128.86"},
     {"dns.Server2", K::Text, kField, "202.96.134.133"}},
    {{"dnsv6.Server1", K::Text, kField, "2001:db8:3c4d::53"}, {"dnsv6.Server2", K::Text, kField, ""}},
};
const igd1::mib::Defaults kV4Defaults(kServers[0]), kV6Defaults(kServers[1]);
constexpr char kIPv4Characters[] = "0123456789.";
constexpr char kIPv6Characters[] = "0123456789abcdefABCDEF:.";

bool valid_index(int index) { return index >= 0 && size_t(index) < std::size(kServers); }

bool address_characters(const char *field, const char *allowed) {
  const size_t length = strnlen(field, kField);
  return length < kField && std::strspn(field, allowed) == length;
}

}  // namespace

int dnsserver_get_mib_property(int index, void *record) {
  if (record == nullptr || !valid_index(index) ||
      igd1::mib::should_fail("dnsserver_get_mib_property", index))
    return 0;
  auto *servers = static_cast<dnsserver_record *>(record);
  return igd1::mib::read_item(kServers[index][0], servers->server1) &&
                 igd1::mib::read_item(kServers[index][1], servers->server2)
             ? 1
             : 0;
}

int dnsserver_set_mib_property(int index, void *record) {
  if (record == nullptr || !valid_index(index)) return 0;
  const auto *servers = static_cast<const dnsserver_record *>(record);
  const char *allowed = index == 0 ? kIPv4Characters : kIPv6Characters;
  if (!address_characters(servers->server1, allowed) ||
      !address_characters(servers->server2, allowed))
    return 0;
  if (igd1::mib::should_fail("dnsserver_set_mib_property", index)) return 2;
  return igd1::mib::write_item(kServers[index][0], servers->server1) &&
                 igd1::mib::write_item(kServers[index][1], servers->server2)
             ? 1
             : 2;
}

int reloadDnsRelay(void) {
  if (igd1::mib::should_fail("reloadDnsRelay", 0)) return 0;
  return igd1::mib::detail::append_journal_entry(MIB_CFG_DNS, MIB_ACTION_APPLY, "reload") ? 1 : 0;
}
