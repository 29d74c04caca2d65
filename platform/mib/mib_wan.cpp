// The WAN connections ("wanconn") and the special-service routes
// ("specialservicevr"): tables the gateway's own services keep; the bus only
// reads them.  A new store starts with an internet connection (IPv4 and
// IPv6), a voice connection (IPv4 only) and an IPTV connection that has only
// its IPv6 side up, and with one route over each of the last two.
//
// Traffic counters are live: a connection that is up on either family
// carries traffic, so its counters grow from their stored values with the
// time since the store started serving this process (an emulated line at
// the connection's downstream speed, a tenth of it upstream, 1,000-byte
// packets).
#include <array>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <string_view>

#include "mib_network_seed.h"
#include "mib_network_tables.h"
#include "mib_table.h"

namespace {

using igd1::mib::put_ipv4;
using igd1::mib::put_ipv6;
using igd1::mib::put_text;
using K = igd1::mib::ValueKind;
using Row = wan_connection_row;

constexpr igd1::mib::Column kWanColumns[] = {
    MIB_MEMBER_COLUMN(Row, "DisplayIndex", K::U8, display_index),
    MIB_MEMBER_COLUMN(Row, "PPPoEPassthrough", K::U8, pppoe_passthrough),
    MIB_MEMBER_COLUMN(Row, "IPv6PrefixLength", K::U8, ipv6_prefix_length),
    MIB_MEMBER_COLUMN(Row, "IPv4Status", K::I32, ipv4_status),
    MIB_MEMBER_COLUMN(Row, "IPv6Status", K::I32, ipv6_status),
    MIB_MEMBER_COLUMN(Row, "IPAddress", K::IPv4, ipv4_address),
    MIB_MEMBER_COLUMN(Row, "SubnetMask", K::IPv4, subnet_mask),
    MIB_MEMBER_COLUMN(Row, "Gateway", K::IPv4, gateway),
    MIB_MEMBER_COLUMN(Row, "IPv6Address", K::IPv6, ipv6_address),
    MIB_MEMBER_COLUMN(Row, "IPv6Gateway", K::IPv6, ipv6_gateway),
    MIB_MEMBER_COLUMN(Row, "IPv6Prefix", K::IPv6, ipv6_prefix),
    MIB_MEMBER_COLUMN(Row, "RxBytes", K::U64, rx_bytes),
    MIB_MEMBER_COLUMN(Row, "TxBytes", K::U64, tx_bytes),
    MIB_MEMBER_COLUMN(Row, "RxPkts", K::U64, rx_packets),
    MIB_MEMBER_COLUMN(Row, "TxPkts", K::U64, tx_packets),
    MIB_MEMBER_COLUMN(Row, "PrefixPltime", K::U32, prefix_pltime),
    MIB_MEMBER_COLUMN(Row, "PrefixVltime", K::U32, prefix_vltime),
    MIB_MEMBER_COLUMN(Row, "VLANID", K::U32, vlan_id),
    MIB_MEMBER_COLUMN(Row, "VLAN8021P", K::U32, vlan_8021p),
    MIB_MEMBER_COLUMN(Row, "SpeedLimitUp", K::U32, speed_limit_up),
    MIB_MEMBER_COLUMN(Row, "SpeedLimitDown", K::U32, speed_limit_down),
    MIB_MEMBER_COLUMN(Row, "ifIndex", K::U32, if_index),
    MIB_MEMBER_COLUMN(Row, "DSLiteEnable", K::U8, dslite_enable),
    MIB_MEMBER_COLUMN(Row, "AftrMode", K::U8, aftr_mode),
    MIB_MEMBER_COLUMN(Row, "NPTv6Enable", K::U8, nptv6_enable),
    MIB_MEMBER_COLUMN(Row, "DNS1", K::Text, dns1),
    MIB_MEMBER_COLUMN(Row, "DNS2", K::Text, dns2),
    MIB_MEMBER_COLUMN(Row, "IPv6DNS1", K::Text, ipv6_dns1),
    MIB_MEMBER_COLUMN(Row, "IPv6DNS2", K::Text, ipv6_dns2),
    MIB_MEMBER_COLUMN(Row, "IfName", K::Text, if_name),
    MIB_MEMBER_COLUMN(Row, "WANName", K::Text, wan_name),
    MIB_MEMBER_COLUMN(Row, "IPv6AddressOrigin", K::Text, ipv6_address_origin),
    MIB_MEMBER_COLUMN(Row, "IPv6PrefixOrigin", K::Text, ipv6_prefix_origin),
    MIB_MEMBER_COLUMN(Row, "Aftr", K::Text, aftr),
    MIB_MEMBER_COLUMN(Row, "ServiceList", K::Text, service_list),
    MIB_MEMBER_COLUMN(Row, "ConnectionType", K::Text, connection_type),
    MIB_MEMBER_COLUMN(Row, "Protocol", K::Text, protocol),
};

using Route = special_service_vr_row;
constexpr igd1::mib::Column kRouteColumns[] = {
    MIB_MEMBER_COLUMN(Route, "Index", K::Text, index),
    MIB_MEMBER_COLUMN(Route, "WANName", K::Text, wan_name),
    MIB_MEMBER_COLUMN(Route, "IfName", K::Text, if_name),
    MIB_MEMBER_COLUMN(Route, "IPForwardList", K::Text, ip_forward_list),
};

bool fails(const char *accessor, int index = 0) { return igd1::mib::should_fail(accessor, index); }

struct Counters {
  uint64_t rx_bytes, tx_bytes, rx_packets, tx_packets;
};

Row connection(uint8_t instance, const char *name, const char *if_name, const char *services,
               const char *type, uint32_t vlan, uint32_t priority, uint32_t if_index,
               uint32_t down_kbps, Counters counters) {
  Row row{};
  row.instance = instance;
  row.display_index = instance;
  put_text(row.wan_name, name);
  put_text(row.if_name, if_name);
  put_text(row.service_list, services);
  put_text(row.connection_type, type);
  row.vlan_id = vlan;
  row.vlan_8021p = priority;
  row.if_index = if_index;
  row.speed_limit_down = down_kbps;
  row.speed_limit_up = down_kbps / 10;
  row.rx_bytes = counters.rx_bytes;
  row.tx_bytes = counters.tx_bytes;
  row.rx_packets = counters.rx_packets;
  row.tx_packets = counters.tx_packets;
  return row;
}

void ipv4_side(Row &row, const char *address, const char *mask, const char *gateway,
               const char *dns1, const char *dns2) {
  row.ipv4_status = WAN_STATUS_CONNECTED;
  put_ipv4(row.ipv4_address, address);
  put_ipv4(row.subnet_mask, mask);
  put_ipv4(row.gateway, gateway);
  put_text(row.dns1, dns1);
  put_text(row.dns2, dns2);
}

void ipv6_side(Row &row, const char *address, const char *gateway, const char *prefix,
               uint8_t prefix_length, const char *dns1, const char *dns2) {
  row.ipv6_status = WAN_STATUS_CONNECTED;
  put_ipv6(row.ipv6_address, address);
  put_ipv6(row.ipv6_gateway, gateway);
  put_ipv6(row.ipv6_prefix, prefix);
  row.ipv6_prefix_length = prefix_length;
  put_text(row.ipv6_dns1, dns1);
  put_text(row.ipv6_dns2, dns2);
  put_text(row.ipv6_address_origin, "DHCPv6");
  put_text(row.ipv6_prefix_origin, "PrefixDelegation");
  row.prefix_pltime = 3600;
  row.prefix_vltime = 7200;
}

std::vector<uint8_t> default_connections() {
  Row internet = connection(1, "1_TR069_INTERNET_R_VID_41", "ppp0", "TR069_INTERNET", "IP_Routed",
                            41, 0, 12, 1000000, {48213377409, 3902214470, 41622511, 12040933});
  put_text(internet.protocol, "IPv4/IPv6");
  ipv4_side(internet, "100.72.18.44", "255.255.255.255", "100.72.0.1", "202.96.128.86",
            "202.96.134.133");
  ipv6_side(internet, "240e:3a1:4c2:b10::1a2b", "fe80::1", "240e:3a1:4c2:b100::", 56,
            "240e:1f:1::1", "240e:1f:1::33");

  Row voice = connection(2, "2_VOIP_R_VID_45", "nas0_1", "VOIP", "IP_Routed", 45, 5, 13, 2048,
                         {18204411, 16920388, 98231, 97880});
  put_text(voice.protocol, "IPv4");
  ipv4_side(voice, "10.98.4.17", "255.255.240.0", "10.98.0.1", "10.98.0.53", "10.98.0.54");
  voice.ipv6_status = 6;

  // The IPTV platform is reached over IPv6; its IPv4 side is still asking
  // for an address.
  Row iptv = connection(3, "3_IPTV_R_VID_43", "nas0_2", "IPTV", "IP_Routed", 43, 4, 14, 30000,
                        {9120771554, 90331200, 6250881, 612004});
  put_text(iptv.protocol, "IPv4/IPv6");
  iptv.ipv4_status = 1;
  ipv6_side(iptv, "240e:3a1:9000:12::77", "fe80::2", "240e:3a1:9000:1200::", 64, "240e:1f:2::1",
            "240e:1f:2::2");
  return igd1::mib::records(std::vector<Row>{internet, voice, iptv});
}

std::vector<uint8_t> default_routes();

// The items the bus reads, by their numbers; the numbers between are not served.
constexpr auto kWanItems = [] {
  std::array<igd1::mib::TableItem, WAN_ITEM_IF_INDEX + 1> items{};
  for (igd1::mib::TableItem &item : items) item.column = igd1::mib::kNoColumn;
  items[WAN_ITEM_SERVICE_LIST].column = 34;
  items[WAN_ITEM_CONNECTION_TYPE].column = 35;
  items[WAN_ITEM_VLAN_ID].column = 17;
  items[WAN_ITEM_VLAN_8021P].column = 18;
  items[WAN_ITEM_PROTOCOL].column = 36;
  items[WAN_ITEM_SPEED_LIMIT_UP].column = 19;
  items[WAN_ITEM_SPEED_LIMIT_DOWN].column = 20;
  items[WAN_ITEM_NPTV6_ENABLE].column = 24;
  items[WAN_ITEM_IF_INDEX].column = 21;
  return items;
}();

constexpr igd1::mib::TableSpec kConnections = {
    .def = igd1::mib::record_table("wanconn", "WANConnectionDb", sizeof(Row), kWanColumns, 8),
    .prefix = "wanconnectioninfo",
    .items = kWanItems,
    .seed_marker = "wanconn.Seeded",
    .seed = default_connections,
};
constexpr igd1::mib::TableSpec kRoutes = {
    .def = igd1::mib::record_table("specialservicevr", "SpecialServiceVR", sizeof(Route),
                                   kRouteColumns, 32),
    .prefix = "SpecialServiceVR",
    .seed_marker = "specialservicevr.Seeded",
    .seed = default_routes,
};
igd1::mib::Table g_connections(kConnections), g_routes(kRoutes);

std::vector<uint8_t> default_routes() {
  return igd1::mib::seed_records(kRoutes.def, {{{"Index", "1"},
                                                {"WANName", "2_VOIP_R_VID_45"},
                                                {"IfName", "nas0_1"},
                                                {"IPForwardList", "10.98.0.0/16,10.99.12.0/24"}},
                                               {{"Index", "2"},
                                                {"WANName", "3_IPTV_R_VID_43"},
                                                {"IfName", "nas0_2"},
                                                {"IPForwardList", "239.1.0.0/16,183.59.160.0/20"}}});
}
igd1::mib::RowList &connections() { return g_connections.rows(); }

// When the line started carrying traffic, as this process sees it.
std::chrono::steady_clock::time_point line_start() {
  static const auto start = std::chrono::steady_clock::now();
  return start;
}

bool up(const Row &row) {
  return row.ipv4_status == WAN_STATUS_CONNECTED || row.ipv6_status == WAN_STATUS_CONNECTED;
}

}  // namespace

int wanconnectioninfo_dbus_entry_init(void) {
  if (fails("wanconnectioninfo_dbus_entry_init")) return 0;
  line_start();
  return g_connections.init() ? 1 : 0;
}

mib_list_node *wanconnectioninfo_get_list_by_instnum(uint32_t instance, uint32_t *index) {
  return g_connections.find(instance, index);
}

int wanconnectioninfo_get_property(int item, void *output, const void *data) {
  return !fails("wanconnectioninfo_get_property", item) && g_connections.get(item, output, data) ? 1 : 0;
}

void wan_connection_if_status_update(void *data) {
  if (data == nullptr || fails("wan_connection_if_status_update")) return;
  // The record holds the stored state (the caller has just fetched it);
  // the line carried traffic since.
  Row row = igd1::mib::load<Row>(data);
  if (up(row)) {
    const uint64_t micros = uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                                         std::chrono::steady_clock::now() - line_start())
                                         .count());
    // kbit/s is bits per millisecond: bytes per microsecond is a 8,000th of it.
    const uint64_t received = micros * (row.speed_limit_down + 8000) / 8000;
    row.rx_bytes += received;
    row.tx_bytes += received / 10;
    row.rx_packets += received / 1000;
    row.tx_packets += received / 10000;
  }
  std::memcpy(data, &row, sizeof row);
}

const char *getWANConnStatusStr(int status) {
  switch (status) {
    case 0: return "Unconfigured";
    case 1: return "Connecting";
    case 2: return "Authenticating";
    case 3: return "PendingDisconnect";
    case 4: return "Disconnecting";
    case WAN_STATUS_CONNECTED: return "Connected";
    default: return "Disconnected";
  }
}

mib_list_node *wanconnectiondb_get_entry_by_name(const char *name) {
  if (name == nullptr || fails("wanconnectiondb_get_entry_by_name")) return nullptr;
  for (mib_list_node *node = connections().head(); node != nullptr; node = node->next) {
    const auto *row = static_cast<const Row *>(node->data);
    if (strnlen(row->wan_name, sizeof row->wan_name) < sizeof row->wan_name &&
        std::strcmp(row->wan_name, name) == 0)
      return node;
  }
  return nullptr;
}

int wanconnectiondb_get_internet_entry(mib_list_node **first, mib_list_node **second) {
  if (first == nullptr || second == nullptr) return 0;
  *first = *second = nullptr;
  if (fails("wanconnectiondb_get_internet_entry")) return 0;
  for (mib_list_node *node = connections().head(); node != nullptr; node = node->next) {
    const auto *row = static_cast<const Row *>(node->data);
    const std::string_view services = igd1::mib::text_in(row->service_list, sizeof row->service_list);
    if (services.find("INTERNET") == std::string_view::npos) continue;
    if (*first == nullptr && up(*row)) *first = node;
    if (*second == nullptr) *second = node;
  }
  return *second != nullptr ? 1 : 0;
}

int Poll_get_wan_info(void) {
  if (fails("Poll_get_wan_info")) return 0;
  connections().reload();
  return 1;
}

int SpecialServiceVR_dbus_entry_init(void) {
  return !fails("SpecialServiceVR_dbus_entry_init") && g_routes.init() ? 1 : 0;
}

mib_list_node *SpecialServiceVR_get_list_by_instnum(uint32_t instance, uint32_t *index) {
  return g_routes.find(instance, index);
}

uint32_t SpecialServiceVR_get_instnum(const void *row) { return g_routes.instance_of(row); }

const mib_table_ops wanconnectioninfo_table = igd1::mib::table_ops<g_connections, kConnections>(
    {.update_all = wanconnectioninfo_dbus_entry_init, .get_item = wanconnectioninfo_get_property});
const mib_table_ops SpecialServiceVR_table =
    igd1::mib::table_ops<g_routes, kRoutes>({.update_all = SpecialServiceVR_dbus_entry_init});
