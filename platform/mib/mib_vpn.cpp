// The VPN tunnels ("vpn"): at most four, each with its settings, three lists
// of up to 327,712 characters and the WAN connection it rides on.
//
// The status lines of a tunnel are worked out when they are asked for: none
// while it is off; its type, server, WAN connection and lists while it is
// on, and whether it is up (its WAN connection up on IPv4 and a server set).
// A new store starts without tunnels.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "mib_network_tables.h"
#include "mib_table.h"
#include "mib_vpn.h"

namespace {

using K = igd1::mib::ValueKind;
using Tunnel = vpn_connection_row;

constexpr igd1::mib::Column kColumns[] = {
    {"Mark1", K::U8, offsetof(Tunnel, marks), 1},
    {"Mark2", K::U8, offsetof(Tunnel, marks) + 1, 1},
    MIB_MEMBER_COLUMN(Tunnel, "Type", K::U8, type),
    MIB_MEMBER_COLUMN(Tunnel, "TunnelName", K::Text, tunnel_name),
    MIB_MEMBER_COLUMN(Tunnel, "UserId", K::Text, user_id),
    MIB_MEMBER_COLUMN(Tunnel, "Enable", K::U8, enable),
    MIB_MEMBER_COLUMN(Tunnel, "Status", K::U8, status),
    MIB_MEMBER_COLUMN(Tunnel, "Mode", K::U8, mode),
    MIB_MEMBER_COLUMN(Tunnel, "Priority", K::U8, priority),
    MIB_MEMBER_COLUMN(Tunnel, "IdleTime", K::I32, idle_time),
    MIB_MEMBER_COLUMN(Tunnel, "AccountProxy", K::Text, account_proxy),
    MIB_MEMBER_COLUMN(Tunnel, "ServerAddress", K::Text, server_address),
    MIB_MEMBER_COLUMN(Tunnel, "Account", K::Text, account),
    MIB_MEMBER_COLUMN(Tunnel, "Password", K::Text, password),
    MIB_MEMBER_COLUMN(Tunnel, "Port", K::I32, port),
    MIB_MEMBER_COLUMN(Tunnel, "AttachMode", K::U8, attach_mode),
    MIB_MEMBER_COLUMN(Tunnel, "Domains", K::Text, domains),
    MIB_MEMBER_COLUMN(Tunnel, "IPs", K::Text, ips),
    MIB_MEMBER_COLUMN(Tunnel, "TerminalMACs", K::Text, terminal_macs),
    MIB_MEMBER_COLUMN(Tunnel, "WANName", K::Text, wan_name),
};

// A record the tunnel could not run with names its first unfit field.
constexpr igd1::mib::RangeCheck kRanges[] = {
    {.column = 2, .low = VPN_TYPE_NONE, .high = VPN_TYPE_PPTP},     // Type
    {.column = 5, .low = 0, .high = 1},                             // Enable
    {.column = 7, .low = VPN_MODE_STEADY, .high = VPN_MODE_RANDOM},  // Mode
    {.column = 8, .low = 0, .high = 7},                             // Priority
    {.column = 9, .low = 0, .high = INT32_MAX},                     // IdleTime
    {.column = 14, .low = 0, .high = 65535},                        // Port
    {.column = 15, .low = 0, .high = 2},                            // AttachMode
};

constexpr igd1::mib::TableSpec kTunnels = {
    .def = igd1::mib::record_table("vpn", "VPNConnection", sizeof(Tunnel), kColumns,
                                   VPN_MAX_TUNNELS),
    .prefix = "vpnConn",
    .ranges = kRanges,
};
igd1::mib::Table g_tunnels(kTunnels);

// The entries of a list joined by ';' ("" holds none).
size_t entries_of(std::string_view list) {
  return list.empty() ? 0 : 1 + size_t(std::count(list.begin(), list.end(), ';'));
}

// Whether the WAN connection `name` is up on IPv4.
bool wan_up(const char *name) {
  mib_list_node *node = wanconnectiondb_get_entry_by_name(name);
  if (node == nullptr) return false;
  wan_connection_row wan;
  std::memcpy(&wan, node->data, sizeof wan);
  return wan.ipv4_status == WAN_STATUS_CONNECTED;
}

std::vector<std::string> status_lines(const Tunnel &tunnel) {
  if (tunnel.enable == 0) return {};
  const char *type = tunnel.type == VPN_TYPE_L2TP   ? "L2TP"
                     : tunnel.type == VPN_TYPE_PPTP ? "PPTP"
                                                    : "none";
  const bool up = tunnel.server_address[0] != '\0' && wan_up(tunnel.wan_name);
  return {std::string("Type: ") + type,
          std::string("Server: ") + tunnel.server_address + ":" + std::to_string(tunnel.port),
          std::string("WAN: ") + tunnel.wan_name,
          std::string("State: ") + (up ? "Connected" : "Disconnected"),
          "Domains: " + std::to_string(entries_of(tunnel.domains)),
          "IPs: " + std::to_string(entries_of(tunnel.ips)),
          "Terminals: " + std::to_string(entries_of(tunnel.terminal_macs))};
}

}  // namespace

int vpnConn_update_all(void) { return g_tunnels.init() ? 1 : 0; }

mib_list_node *vpnConn_get_list(int) { return g_tunnels.list(); }

mib_list_node *vpnConn_get_list_by_instnum(uint32_t instance, uint32_t *index) {
  return g_tunnels.find(instance, index);
}

int vpnConn_get_list_totalnum(void) { return g_tunnels.count("get_list_totalnum"); }

int vpnConn_insert_entry(void *row) { return g_tunnels.insert(row) ? 1 : 0; }

int vpnConn_remove_entry(uint32_t index, mib_list_node *node) {
  return g_tunnels.remove(index, node) ? 1 : 0;
}

int vpnConn_update_entry(const void *row, uint32_t instance, int) {
  return row != nullptr && g_tunnels.instance_of(row) == instance && g_tunnels.update(row) == nullptr
             ? 1
             : 0;
}

int vpnConn_check_wan_name(const char *name) {
  if (name == nullptr || g_tunnels.fails("check_wan_name")) return 0;
  return wanconnectiondb_get_entry_by_name(name) != nullptr ? 1 : 0;
}

int vpnConn_get_status(uint32_t instance, char *slots[VPN_STATUS_SLOTS]) {
  if (slots == nullptr) return 0;
  for (int i = 0; i < VPN_STATUS_SLOTS; ++i) slots[i] = nullptr;
  if (g_tunnels.fails("get_status")) return 0;
  mib_list_node *node = g_tunnels.find(instance, nullptr);
  if (node == nullptr) return 0;
  const std::vector<std::string> lines = status_lines(*static_cast<const Tunnel *>(node->data));
  for (size_t i = 0; i < VPN_STATUS_SLOTS; ++i)
    slots[i] = g_strdup(i < lines.size() ? lines[i].c_str() : "");
  return 1;
}

const mib_table_ops vpnConn_table = igd1::mib::table_ops<g_tunnels, kTunnels>();
