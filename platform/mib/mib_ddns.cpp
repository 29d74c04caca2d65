// The dynamic DNS clients ("ddns") and the DNS tunnels ("dnstunnel").
//
// The status of a client is what it last achieved, worked out when it is
// asked for: off while disabled; its address registered while it has its
// credentials and the internet connection is up on IPv4; failed otherwise,
// with the reason.  A new store starts with one client and one tunnel.
#include <cstddef>
#include <cstring>
#include <iterator>
#include <string>

#include "mib_network_seed.h"
#include "mib_network_tables.h"
#include "mib_table.h"

namespace {

using igd1::mib::put_text;
using K = igd1::mib::ValueKind;
using Client = ddns_server_row;
using Tunnel = dns_tunnel_row;

constexpr igd1::mib::Column kClientColumns[] = {
    MIB_MEMBER_COLUMN(Client, "Enabled", K::U8, enabled),
    MIB_MEMBER_COLUMN(Client, "Status", K::U8, status),
    MIB_MEMBER_COLUMN(Client, "ServicePort", K::U16, service_port),
    MIB_MEMBER_COLUMN(Client, "Provider", K::Text, provider),
    MIB_MEMBER_COLUMN(Client, "Username", K::Text, username),
    MIB_MEMBER_COLUMN(Client, "Password", K::Text, password),
    MIB_MEMBER_COLUMN(Client, "DomainName", K::Text, domain_name),
    MIB_MEMBER_COLUMN(Client, "HostName", K::Text, host_name),
    MIB_MEMBER_COLUMN(Client, "IP", K::Text, ip),
    MIB_MEMBER_COLUMN(Client, "ErrMsg", K::Text, err_msg),
};

constexpr igd1::mib::Column kTunnelColumns[] = {
    {"ServerIP", K::Text, offsetof(Tunnel, server_ip), DNS_TUNNEL_SERVER_SIZE},
    {"DomainName", K::Text, offsetof(Tunnel, domains), DNS_TUNNEL_DOMAINS_SIZE},
};

std::vector<uint8_t> default_clients();
std::vector<uint8_t> default_tunnels();
constexpr igd1::mib::TableSpec kClients = {
    .def = igd1::mib::record_table("ddns", "DDNSServerConfig", sizeof(Client), kClientColumns, 8),
    .prefix = "ddnsServer",
    .seed_marker = "ddns.Seeded",
    .seed = default_clients,
};
constexpr igd1::mib::TableSpec kTunnels = {
    .def = igd1::mib::record_table("dnstunnel", "DNSTunnel", DNS_TUNNEL_ROW_SIZE, kTunnelColumns, 32),
    .prefix = "dnsTunnel",
    .seed_marker = "dnstunnel.Seeded",
    .seed = default_tunnels,
};
igd1::mib::Table g_clients(kClients), g_tunnels(kTunnels);

std::vector<uint8_t> default_clients() {
  return igd1::mib::seed_records(kClients.def, {{{"Enabled", "1"},
                                                 {"ServicePort", "80"},
                                                 {"Provider", "wqxddns"},
                                                 {"Username", "home4a3e51"},
                                                 {"Password", "Vq7-mk2Lp"},
                                                 {"DomainName", "wqx-home.net"},
                                                 {"HostName", "home4a3e51"}}});
}

std::vector<uint8_t> default_tunnels() {
  return igd1::mib::seed_records(
      kTunnels.def, {{{"ServerIP", "10.98.0.53"}, {"DomainName", "voip.wqx-net.cn;ims.wqx-net.cn"}}});
}

template <size_t N>
bool filled(const char (&text)[N]) {
  return text[0] != '\0';
}

// The address the client registers: the internet connection's, while its
// IPv4 side is up.
bool internet_address(char (&text)[46]) {
  mib_list_node *first = nullptr;
  mib_list_node *second = nullptr;
  wanconnectiondb_get_internet_entry(&first, &second);
  if (first == nullptr) return false;
  wan_connection_row wan;
  std::memcpy(&wan, first->data, sizeof wan);
  return wan.ipv4_status == WAN_STATUS_CONNECTED &&
         inet_ntop(AF_INET, wan.ipv4_address, text, sizeof text) != nullptr;
}

}  // namespace

int ddnsServer_update_all(void) { return g_clients.init() ? 1 : 0; }

mib_list_node *ddnsServer_get_list(int) { return g_clients.list(); }

int ddnsServer_insert_entry(void *row) { return g_clients.insert(row) ? 1 : 0; }

int ddnsServer_remove_entry(uint32_t index, mib_list_node *node) {
  return g_clients.remove(index, node) ? 1 : 0;
}

int ddnsServer_update_entry(const void *row, uint32_t instance, int) {
  return g_clients.instance_of(row) == instance && g_clients.update(row) == nullptr ? 1 : 0;
}

int ddnsServer_save_mib(void) { return g_clients.save() ? 1 : 0; }

void update_ddns_status(void *row) {
  if (row == nullptr || igd1::mib::should_fail("update_ddns_status", 0)) return;
  Client client;
  std::memcpy(&client, row, sizeof client);
  char address[46] = "";
  const char *reason = "";
  if (client.enabled == 0) {
    client.status = DDNS_STATUS_DISABLED;
  } else if (!filled(client.provider) || !filled(client.username) || !filled(client.password)) {
    client.status = DDNS_STATUS_FAILED;
    reason = "incomplete account";
  } else if (!filled(client.host_name) && !filled(client.domain_name)) {
    client.status = DDNS_STATUS_FAILED;
    reason = "no host name";
  } else if (!internet_address(address)) {
    client.status = DDNS_STATUS_FAILED;
    reason = "internet connection down";
  } else {
    client.status = DDNS_STATUS_UPDATED;
  }
  put_text(client.ip, address);
  put_text(client.err_msg, reason);
  std::memcpy(row, &client, sizeof client);
}

int dnsTunnel_update_all(void) { return g_tunnels.init() ? 1 : 0; }

mib_list_node *dnsTunnel_get_list(int) { return g_tunnels.list(); }

mib_list_node *dnsTunnel_get_list_by_instnum(uint32_t instance, uint32_t *index) {
  return g_tunnels.find(instance, index);
}

int dnsTunnel_insert_entry(void *row) { return g_tunnels.insert(row) ? 1 : 0; }

int dnsTunnel_remove_entry(uint32_t index, mib_list_node *node) {
  return g_tunnels.remove(index, node) ? 1 : 0;
}

int dnsTunnel_update_entry(const void *stored, uint32_t instance, const void *copy) {
  return stored != nullptr && g_tunnels.instance_of(copy) == instance &&
                 g_tunnels.update(copy) == nullptr
             ? 1
             : 0;
}

int dnsTunnel_save_mib(void) { return g_tunnels.save() ? 1 : 0; }

const mib_table_ops ddnsServer_table =
    igd1::mib::table_ops<g_clients, kClients>({.save_mib = ddnsServer_save_mib});
const mib_table_ops dnsTunnel_table =
    igd1::mib::table_ops<g_tunnels, kTunnels>({.save_mib = dnsTunnel_save_mib});
