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
#include "mib_table_rows.h"

namespace {

using igd1::mib::put_text;
using K = igd1::mib::ValueKind;
using Client = ddns_server_row;
using Tunnel = dns_tunnel_row;

#define CLIENT_COLUMN(name, kind, member) \
  {name, kind, offsetof(Client, member), sizeof(Client::member)}
constexpr igd1::mib::Column kClientColumns[] = {
    CLIENT_COLUMN("Enabled", K::U8, enabled),
    CLIENT_COLUMN("Status", K::U8, status),
    CLIENT_COLUMN("ServicePort", K::U16, service_port),
    CLIENT_COLUMN("Provider", K::Text, provider),
    CLIENT_COLUMN("Username", K::Text, username),
    CLIENT_COLUMN("Password", K::Text, password),
    CLIENT_COLUMN("DomainName", K::Text, domain_name),
    CLIENT_COLUMN("HostName", K::Text, host_name),
    CLIENT_COLUMN("IP", K::Text, ip),
    CLIENT_COLUMN("ErrMsg", K::Text, err_msg),
};
#undef CLIENT_COLUMN

constexpr igd1::mib::TableDef kClientTable = {
    .name = "ddns",
    .module = "DDNSServerConfig",
    .row_size = sizeof(Client),
    .columns = kClientColumns,
    .column_count = std::size(kClientColumns),
    .max_rows = 8,
};

constexpr igd1::mib::Column kTunnelColumns[] = {
    {"ServerIP", K::Text, offsetof(Tunnel, server_ip), DNS_TUNNEL_SERVER_SIZE},
    {"DomainName", K::Text, offsetof(Tunnel, domains), DNS_TUNNEL_DOMAINS_SIZE},
};

constexpr igd1::mib::TableDef kTunnelTable = {
    .name = "dnstunnel",
    .module = "DNSTunnel",
    .row_size = DNS_TUNNEL_ROW_SIZE,
    .columns = kTunnelColumns,
    .column_count = std::size(kTunnelColumns),
    .max_rows = 32,
};

igd1::mib::RowList &clients() { return igd1::mib::table_rows_of<kClientTable>(); }
igd1::mib::RowList &tunnels() { return igd1::mib::table_rows_of<kTunnelTable>(); }
const bool kRegistered = (clients(), tunnels(), true);

bool fails(const char *accessor) { return igd1::mib::should_fail(accessor, 0); }

std::vector<Client> default_clients() {
  Client client{};
  client.instance = 1;
  client.enabled = 1;
  client.service_port = 80;
  put_text(client.provider, "wqxddns");
  put_text(client.username, "home4a3e51");
  put_text(client.password, "Vq7-mk2Lp");
  put_text(client.domain_name, "wqx-home.net");
  put_text(client.host_name, "home4a3e51");
  return {client};
}

std::vector<Tunnel> default_tunnels() {
  Tunnel tunnel{};
  tunnel.instance = 1;
  put_text(tunnel.server_ip, "10.98.0.53");
  put_text(tunnel.domains, "voip.wqx-net.cn;ims.wqx-net.cn");
  return {tunnel};
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

// The removable row at `position` (the one `node` names), or 0.
int remove_row(igd1::mib::RowList &list, uint32_t position, const mib_list_node *node) {
  const uint32_t instance = igd1::mib::removable_instance(list, position, node);
  return instance != 0 && list.remove(instance) ? 1 : 0;
}

}  // namespace

int ddnsServer_update_all(void) {
  if (fails("ddnsServer_update_all")) return 0;
  clients().reload();
  igd1::mib::seed_once(clients(), "ddns.Seeded", default_clients());
  return 1;
}

mib_list_node *ddnsServer_get_list(int) {
  if (fails("ddnsServer_get_list")) return nullptr;
  return clients().head();
}

mib_list_node *ddnsServer_get_list_by_instnum(uint32_t instance, uint32_t *index) {
  if (fails("ddnsServer_get_list_by_instnum")) return nullptr;
  return clients().find(instance, index);
}

int ddnsServer_insert_entry(void *row) {
  if (row == nullptr || fails("ddnsServer_insert_entry")) return 0;
  return clients().insert(static_cast<uint8_t *>(row)) ? 1 : 0;
}

int ddnsServer_remove_entry(uint32_t index, mib_list_node *node) {
  if (fails("ddnsServer_remove_entry")) return 0;
  return remove_row(clients(), index, node);
}

int ddnsServer_update_entry(const void *row, uint32_t instance, int) {
  if (row == nullptr || fails("ddnsServer_update_entry")) return 0;
  const auto *bytes = static_cast<const uint8_t *>(row);
  return bytes[0] == instance && clients().store(bytes) ? 1 : 0;
}

int ddnsServer_save_mib(void) {
  if (fails("ddnsServer_save_mib")) return 0;
  return dbus_do_ExtraMIB2flash();
}

void update_ddns_status(void *row) {
  if (row == nullptr || fails("update_ddns_status")) return;
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

int dnsTunnel_update_all(void) {
  if (fails("dnsTunnel_update_all")) return 0;
  tunnels().reload();
  igd1::mib::seed_once(tunnels(), "dnstunnel.Seeded", default_tunnels());
  return 1;
}

mib_list_node *dnsTunnel_get_list(int) {
  if (fails("dnsTunnel_get_list")) return nullptr;
  return tunnels().head();
}

mib_list_node *dnsTunnel_get_list_by_instnum(uint32_t instance, uint32_t *index) {
  if (fails("dnsTunnel_get_list_by_instnum")) return nullptr;
  return tunnels().find(instance, index);
}

int dnsTunnel_insert_entry(void *row) {
  if (row == nullptr || fails("dnsTunnel_insert_entry")) return 0;
  return tunnels().insert(static_cast<uint8_t *>(row)) ? 1 : 0;
}

int dnsTunnel_remove_entry(uint32_t index, mib_list_node *node) {
  if (fails("dnsTunnel_remove_entry")) return 0;
  return remove_row(tunnels(), index, node);
}

int dnsTunnel_update_entry(const void *stored, uint32_t instance, const void *copy) {
  if (stored == nullptr || copy == nullptr || fails("dnsTunnel_update_entry")) return 0;
  const auto *bytes = static_cast<const uint8_t *>(copy);
  return bytes[0] == instance && tunnels().store(bytes) ? 1 : 0;
}

int dnsTunnel_save_mib(void) {
  if (fails("dnsTunnel_save_mib")) return 0;
  return dbus_do_ExtraMIB2flash();
}
