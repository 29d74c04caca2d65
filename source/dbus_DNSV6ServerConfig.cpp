// The DNS servers of the IPv6 side: /com/wqx/igd1/Network/dnsv6.
#include "dns_servers.h"

namespace {

constexpr int kRecord = igd1::dns_servers::kIPv6;

constexpr igd1::SingleObject kObject = {
    .path = "/com/wqx/igd1/Network/dnsv6",
    .xml_file = "DNSv6ServerConfig.xml",
    .properties = igd1::dns_servers::kProperties,
    .wording = igd1::names_written_property,
    .transaction = {.commit = igd1::dns_servers::notify_services},
    .methods = igd1::dns_servers::kMethods,
    .user_data = const_cast<int *>(&kRecord),
};

}  // namespace

IGD1_METHOD_HANDLER(DNSV6Server_handle_method_call, kObject)
IGD1_READ_HANDLER(DNSV6Server_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(DNSV6Server_handle_set_property, DNSV6Server_handle_set_multi_properties,
                    kObject)
IGD1_SINGLE_OBJECT(DNSV6ServerConfig, DNSV6ServerConfig_introspection_data, kObject,
                   DNSV6Server_handle_method_call, DNSV6Server_handle_get_property,
                   DNSV6Server_handle_set_property, DNSV6Server_handle_set_multi_properties)
