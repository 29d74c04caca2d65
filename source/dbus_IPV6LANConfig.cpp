// IPv6 on the home network side: /com/wqx/igd1/Config/IPV6/LAN.  Every
// property is written as it comes; the configuration library checks the
// forms (addresses, prefix, sources) and the lifetimes against each other.
#include "ipv6_lan.h"

#include "mib_api.h"

namespace {

using igd1::Property;
using igd1::Raw;
using igd1::Stored;

constexpr auto store = igd1::store_value;

constexpr Property kProperties[] = {
    {.name = "LocalAddress", .index = 0, .write = store, .stored = Stored::Text,
     .write_log = "LocalAddress [%s]."},
    {.name = "ConfigType", .index = 1, .write = store, .stored = Stored::Text,
     .write_log = "ConfigType [%s]."},
    {.name = "DNSWAN", .index = 2, .write = store, .stored = Stored::Text,
     .write_log = "DNSWAN [%s]."},
    {.name = "Servers", .index = 3, .buffer = 256, .write = store, .stored = Stored::Text,
     .write_log = "Servers [%s]."},
    {.name = "PrefixMode", .index = 4, .write = store, .stored = Stored::Text,
     .write_log = "PrefixMode [%s]."},
    {.name = "DelegatedWAN", .index = 5, .write = store, .stored = Stored::Text,
     .write_log = "DelegatedWAN [%s]."},
    {.name = "Prefix", .index = 6, .write = store, .stored = Stored::Text,
     .write_log = "Prefix [%s]."},
    {.name = "PreferredLifeTime", .type = "u", .index = 7, .raw = Raw::U32, .write = store,
     .stored = Stored::U32, .write_log = "PreferredLifeTime [%d]."},
    {.name = "ValidLifeTime", .type = "u", .index = 8, .raw = Raw::U32, .write = store,
     .stored = Stored::U32, .write_log = "ValidLifeTime [%d]."},
};

constexpr igd1::SingleObject kObject = {
    .path = "/com/wqx/igd1/Config/IPV6/LAN",
    .xml_file = "IPv6LANConfig.xml",
    .properties = kProperties,
    .get = IPV6LANConfig_get_mib_property,
    .set = IPV6LANConfig_set_mib_property,
    .wording = igd1::names_written_property,
};

}  // namespace

IGD1_READ_HANDLER(IPV6LANConfig_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(IPV6LANConfig_handle_set_property, IPV6LANConfig_handle_set_multi_properties,
                    kObject)
IGD1_SINGLE_OBJECT(IPV6LANConfig, IPV6LANConfig_introspection_data, kObject, nullptr,
                   IPV6LANConfig_handle_get_property, IPV6LANConfig_handle_set_property,
                   IPV6LANConfig_handle_set_multi_properties)
