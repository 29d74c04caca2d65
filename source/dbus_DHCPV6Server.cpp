// The DHCPv6 server of the home network: /com/wqx/igd1/Config/IPV6/DHCPV6S.
// Pool bounds are stored cut to 46 characters; the configuration library
// checks the addresses and the lifetimes against each other.
#include "ipv6_lan.h"

#include "mib_api.h"

namespace {

using igd1::Property;
using igd1::Raw;
using igd1::Stored;

constexpr auto store = igd1::store_value;
constexpr unsigned kBoundLength = 46;

constexpr Property kProperties[] = {
    {.name = "Enable", .type = "b", .index = 0, .raw = Raw::U8, .write = store,
     .write_log = "Enable [%d]."},
    {.name = "MinAddress", .index = 1, .write = store, .stored = Stored::Text,
     .write_log = "MinAddress [%s].", .cut_at = kBoundLength},
    {.name = "MaxAddress", .index = 2, .write = store, .stored = Stored::Text,
     .write_log = "MaxAddress [%s].", .cut_at = kBoundLength},
    {.name = "PreferredLifeTime", .type = "u", .index = 3, .raw = Raw::U32, .write = store,
     .stored = Stored::U32, .write_log = "PreferredLifeTime [%d]."},
    {.name = "ValidLifeTime", .type = "u", .index = 4, .raw = Raw::U32, .write = store,
     .stored = Stored::U32, .write_log = "ValidLifeTime [%d]."},
    {.name = "Option16Enable", .type = "b", .index = 5, .raw = Raw::U8, .write = store,
     .write_log = "Option16Enable [%d]."},
    {.name = "Option17Enable", .type = "b", .index = 6, .raw = Raw::U8, .write = store,
     .write_log = "Option17Enable [%d]."},
};

constexpr igd1::SingleObject kObject = {
    .path = "/com/wqx/igd1/Config/IPV6/DHCPV6S",
    .xml_file = "DHCPv6Server.xml",
    .properties = kProperties,
    .get = DHCPV6Server_get_mib_property,
    .set = DHCPV6Server_set_mib_property,
    .wording = igd1::names_written_property,
};

}  // namespace

IGD1_READ_HANDLER(DHCPV6Server_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(DHCPV6Server_handle_set_property, DHCPV6Server_handle_set_multi_properties,
                    kObject)
IGD1_SINGLE_OBJECT(DHCPV6Server, DHCPV6Server_introspection_data, kObject, nullptr,
                   DHCPV6Server_handle_get_property, DHCPV6Server_handle_set_property,
                   DHCPV6Server_handle_set_multi_properties)
