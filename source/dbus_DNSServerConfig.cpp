// The DNS servers of the IPv4 side: /com/wqx/igd1/Network/dns.  The DNS
// tunnel manager is started on the same path between the document's node
// registration and this object's registration.
#include "dns_servers.h"

namespace {

constexpr int kRecord = igd1::dns_servers::kIPv4;

// The tunnels' manager shares this object's path: it starts once the
// document is handed to the host, before the object is registered.
bool start(igd1::StartStep step, GDBusConnection *connection, const gchar *name,
           gpointer user_data) {
  if (step == igd1::StartStep::Documented) DNSTunnel_on_bus_acquired(connection, name, user_data);
  return true;
}

constexpr igd1::SingleObject kObject = {
    .path = "/com/wqx/igd1/Network/dns",
    .xml_file = "DNSServerConfig.xml",
    .properties = igd1::dns_servers::kProperties,
    .wording = igd1::names_written_property,
    .transaction = {.commit = igd1::dns_servers::notify_services},
    .start = start,
    .methods = igd1::dns_servers::kMethods,
    .user_data = const_cast<int *>(&kRecord),
};

}  // namespace

IGD1_METHOD_HANDLER(DNSServer_handle_method_call, kObject)
IGD1_READ_HANDLER(DNSServer_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(DNSServer_handle_set_property, DNSServer_handle_set_multi_properties, kObject)
IGD1_SINGLE_OBJECT(DNSServerConfig, DNSServerConfig_introspection_data, kObject,
                   DNSServer_handle_method_call, DNSServer_handle_get_property,
                   DNSServer_handle_set_property, DNSServer_handle_set_multi_properties)
