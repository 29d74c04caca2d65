// What the module library calls in the configuration library for the WAN
// connection database, the special-service routes, the dynamic DNS clients,
// the DNS tunnels and the sub-devices.  Each table hands its rows out as
// mib_list_node chains of the records below (byte 0: the instance number);
// a node stays valid until the same thread calls into the same table again.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <glib.h>

#include "igd1_export.h"
#include "mib_api.h"

// ---- WAN connections (read-only for the bus) ---------------------------------------
// A connection is up on a family when its status is WAN_STATUS_CONNECTED.
enum { WAN_STATUS_CONNECTED = 5 };
// The items of wanconnectioninfo_get_property: texts for 3, 4 and 7, 32-bit
// numbers for 5, 6, 12, 13 and 28, one byte for 23.
enum {
  WAN_ITEM_SERVICE_LIST = 3,
  WAN_ITEM_CONNECTION_TYPE = 4,
  WAN_ITEM_VLAN_ID = 5,
  WAN_ITEM_VLAN_8021P = 6,
  WAN_ITEM_PROTOCOL = 7,
  WAN_ITEM_SPEED_LIMIT_UP = 12,
  WAN_ITEM_SPEED_LIMIT_DOWN = 13,
  WAN_ITEM_NPTV6_ENABLE = 23,
  WAN_ITEM_IF_INDEX = 28,
};
typedef struct wan_connection_row {
  uint8_t instance;
  uint8_t display_index;
  uint8_t pppoe_passthrough;   // 1: on
  uint8_t ipv6_prefix_length;
  int32_t ipv4_status;
  int32_t ipv6_status;
  uint8_t ipv4_address[4];     // network order
  uint8_t subnet_mask[4];
  uint8_t gateway[4];
  uint8_t ipv6_address[16];
  uint8_t ipv6_gateway[16];
  uint8_t ipv6_prefix[16];
  uint64_t rx_bytes;
  uint64_t tx_bytes;
  uint64_t rx_packets;
  uint64_t tx_packets;
  uint32_t prefix_pltime;
  uint32_t prefix_vltime;
  uint32_t vlan_id;
  uint32_t vlan_8021p;
  uint32_t speed_limit_up;
  uint32_t speed_limit_down;
  uint32_t if_index;
  uint8_t dslite_enable;
  uint8_t aftr_mode;
  uint8_t nptv6_enable;
  char dns1[46];
  char dns2[46];
  char ipv6_dns1[46];
  char ipv6_dns2[46];
  char if_name[32];
  char wan_name[64];
  char ipv6_address_origin[24];
  char ipv6_prefix_origin[24];
  char aftr[64];
  char service_list[32];
  char connection_type[24];
  char protocol[16];
} wan_connection_row;

// Loads the connection list (a new store starts with the gateway's
// connections).  Non-zero on success.
IGD1_API int wanconnectioninfo_dbus_entry_init(void);
// The table's calls as one value, for the bus modules.
IGD1_API const mib_table_ops wanconnectioninfo_table;
IGD1_API mib_list_node *wanconnectioninfo_get_list_by_instnum(uint32_t instance, uint32_t *index);
// One item of a row into `output` (texts: at least 64 bytes).  Non-zero on success.
IGD1_API int wanconnectioninfo_get_property(int item, void *output, const void *row);
// Brings a row's live data (status, addresses, traffic counters) up to date.
IGD1_API void wan_connection_if_status_update(void *row);
IGD1_API const char *getWANConnStatusStr(int status);
// The connection named `name` (exact), or null.
IGD1_API mib_list_node *wanconnectiondb_get_entry_by_name(const char *name);
// The two candidates for the internet connection: an internet connection
// that is up on either family, and any internet connection.  Either may be
// null.  Non-zero when one exists.
IGD1_API int wanconnectiondb_get_internet_entry(mib_list_node **first, mib_list_node **second);
// Reads the WAN information again.  Non-zero on success.
IGD1_API int Poll_get_wan_info(void);

// ---- special-service routes (read-only for the bus) ------------------------------------
typedef struct special_service_vr_row {
  uint8_t instance;
  char index[8];
  char wan_name[64];
  char if_name[32];
  char ip_forward_list[256];  // addresses and networks, joined with ","
} special_service_vr_row;

IGD1_API int SpecialServiceVR_dbus_entry_init(void);
// The table's calls as one value, for the bus modules.
IGD1_API const mib_table_ops SpecialServiceVR_table;
IGD1_API mib_list_node *SpecialServiceVR_get_list_by_instnum(uint32_t instance, uint32_t *index);
IGD1_API uint32_t SpecialServiceVR_get_instnum(const void *row);

// ---- dynamic DNS clients ----------------------------------------------------------------
enum { MIB_CFG_DDNS = 0x40000 };
// Status of a client as update_ddns_status reports it.
enum { DDNS_STATUS_DISABLED = 0, DDNS_STATUS_UPDATED = 1, DDNS_STATUS_FAILED = 2 };
typedef struct ddns_server_row {
  uint8_t instance;
  uint8_t enabled;
  uint8_t status;
  uint8_t reserved;
  uint16_t service_port;
  char provider[65];
  char username[33];
  char password[33];
  char domain_name[65];
  char host_name[65];
  char ip[46];
  char err_msg[128];
} ddns_server_row;

IGD1_API int ddnsServer_update_all(void);
// The table's calls as one value, for the bus modules.
IGD1_API const mib_table_ops ddnsServer_table;
IGD1_API mib_list_node *ddnsServer_get_list(int which);
// Inserts a row under the lowest free number (written into byte 0).
IGD1_API int ddnsServer_insert_entry(void *row);
IGD1_API int ddnsServer_remove_entry(uint32_t index, mib_list_node *node);
// Stores `row` over the row of `instance`.  Non-zero on success.
IGD1_API int ddnsServer_update_entry(const void *row, uint32_t instance, int flags);
IGD1_API int ddnsServer_save_mib(void);
// Fills the status, the current address and the last error from the client.
IGD1_API void update_ddns_status(void *row);

// ---- DNS tunnels ---------------------------------------------------------------------------
enum { DNS_TUNNEL_ROW_SIZE = 545, DNS_TUNNEL_SERVER_SIZE = 32, DNS_TUNNEL_DOMAINS_SIZE = 512 };
typedef struct dns_tunnel_row {
  uint8_t instance;
  char server_ip[DNS_TUNNEL_SERVER_SIZE];
  char domains[DNS_TUNNEL_DOMAINS_SIZE];  // joined with ";"
} dns_tunnel_row;

IGD1_API int dnsTunnel_update_all(void);
// The table's calls as one value, for the bus modules.
IGD1_API const mib_table_ops dnsTunnel_table;
IGD1_API mib_list_node *dnsTunnel_get_list(int which);
IGD1_API mib_list_node *dnsTunnel_get_list_by_instnum(uint32_t instance, uint32_t *index);
IGD1_API int dnsTunnel_insert_entry(void *row);
IGD1_API int dnsTunnel_remove_entry(uint32_t index, mib_list_node *node);
// Stores `copy` as the row of `instance` (`stored` is the caller's current
// record).  Non-zero on success.
IGD1_API int dnsTunnel_update_entry(const void *stored, uint32_t instance, const void *copy);
IGD1_API int dnsTunnel_save_mib(void);

// ---- sub-devices ---------------------------------------------------------------------------
// Items 0-31 of subdeviceinfo_get_property / _set_property, in the order of
// the fields below from `manufacturer` on: texts (at least 64 bytes), 32-bit
// numbers (u, i), bytes (y, b) and doubles.
enum { SUBDEVICE_ITEM_COUNT = 32 };
typedef struct subdevice_row {
  uint8_t instance;
  uint8_t cpu_usage;
  uint8_t mem_usage;
  uint8_t flash_usage;
  uint8_t iptv_enable;
  uint8_t opt_err_status;
  uint8_t active;
  uint8_t reserved;
  uint32_t flash_size;
  uint32_t ram_size;
  uint32_t sys_duration;
  int32_t vlan_id;
  int32_t ont_distance;  // metres
  uint32_t reserved2;
  double opt_temperature;
  double opt_current;
  double opt_voltage;
  double opt_tx_power;
  double opt_rx_power;
  double dn_opt_rx_power;
  char manufacturer[64];
  char mac[18];
  char wqei[16];
  char product_class[64];
  char sw_version[64];
  char hd_version[64];
  char spec_version[64];
  char dbus_interface_version[16];
  char dev_type[32];
  char capability[64];
  char dev_name[64];
  char iptv_eth_port[16];
  char last_down_cause[64];
  char last_down_time[24];
  char pon_sn[24];
} subdevice_row;

IGD1_API int subdeviceinfo_update_all(void);
// The table's calls as one value, for the bus modules.
IGD1_API const mib_table_ops subdeviceinfo_table;
IGD1_API mib_list_node *subdeviceinfo_get_list(int which);
IGD1_API mib_list_node *subdeviceinfo_get_list_by_instnum(uint32_t instance, uint32_t *index);
IGD1_API uint32_t subdeviceinfo_get_instnum(const void *row);
IGD1_API int subdeviceinfo_get_property(int item, void *output, const void *row);
IGD1_API int subdeviceinfo_set_property(int item, const void *value, void *row);
IGD1_API void *subdeviceinfo_backup_entry(const void *row);
// Stores a changed copy as the unit of `instance`.  Non-zero on success.
IGD1_API int subdeviceinfo_update_entry(const void *copy, uint32_t instance);
// Refreshes a unit's optical readings as the gateway measures them.
IGD1_API void subdeviceinfo_update_pon2entry(void *row);
// Deactivates the unit at `path`; `errdesc` (`size` bytes) receives the outcome.
IGD1_API int subdeviceinfo_deactive_onu(const char *path, char *errdesc, size_t size);
// The periodic downstream-optimisation status poll (a main-loop source callback).
IGD1_API gboolean DnOpt_status(gpointer data);
