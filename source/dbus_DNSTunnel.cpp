// The DNS tunnels: the name queries for a list of domains go to a chosen
// server.  The manager shares /com/wqx/igd1/Network/dns with the IPv4 DNS
// server object, which starts it between its node and its own
// registration; children are /com/wqx/igd1/Network/dns/<n>.
//
// The domain list is stored joined with ";" in 511 characters: each domain
// must be shorter than the room left when its turn comes, and every domain
// after the first also takes its separator.  A new tunnel is saved at once;
// a removed one goes with the next save.
#include "dnstunnel.h"

#include <cstddef>

#include "joined_lists.h"
#include "mib_network_tables.h"

namespace {

using igd1::Field;
using Tunnel = dns_tunnel_row;

constexpr char kRefused[] = "Invalid parameter value for %s";
constexpr size_t kDomainRoom = DNS_TUNNEL_DOMAINS_SIZE - 1;

constexpr igd1::RowProperty kProperties[] = {
    {.name = "ServerIP", .field = Field::Text, .offset = uint16_t(offsetof(Tunnel, server_ip)),
     .size = DNS_TUNNEL_SERVER_SIZE, .write_log = "set ServerIP value:%s",
     .overlong = igd1::Overlong::Refuse, .refused = kRefused},
    {.name = "DomainName", .type = "as", .field = Field::List,
     .offset = uint16_t(offsetof(Tunnel, domains)), .size = DNS_TUNNEL_DOMAINS_SIZE,
     .write_log = "set DomainName value:%s", .overlong = igd1::Overlong::Refuse,
     .refused = kRefused, .read = igd1::read_domain_list,
     .accepts = igd1::fits_running_room<kDomainRoom>},
};

// The row is stored over the caller's current record of the same tunnel.
int store_tunnel(const void *copy, uint32_t, const char **, int) {
  const uint32_t instance = static_cast<const uint8_t *>(copy)[0];
  mib_list_node *node = dnsTunnel_get_list_by_instnum(instance, nullptr);
  return node != nullptr && dnsTunnel_update_entry(node->data, instance, copy) != 0 ? 1 : 0;
}

// The module's own wording of the engine's texts.
const char *wording(igd1::RowText text) {
  using enum igd1::RowText;
  switch (text) {
    case GetNoRow: return "func [%s] :invalid list num  %d ";
    case AddFailed: return "Add DNS Tunnel object fail !!";
    default: return nullptr;
  }
}

constexpr igd1::RowModule kModule = {
    .manager_path = "/com/wqx/igd1/Network/dns",
    .properties = kProperties,
    .table = {.store = &dnsTunnel_table, .update_entry = store_tunnel},
    .texts = {.wording = wording},
    .announce = igd1::Announce::Never,
};

}  // namespace

IGD1_ROW_COLLECTION(DNSTunnel, DNSTunnel_introspection_data, "DNSTunnel",
                    DNSTunnel_handle_get_property, DNSTunnel_handle_set_property,
                    DNSTunnel_handle_set_multi_properties, DNSTunnel_handle_object_mng_call,
                    kModule, DNSTunnel)
