// What the module library calls in the configuration library for the VPN
// tunnels.  The table hands its rows out as mib_list_node chains of the
// record below (byte 0: the instance number); a node stays valid until the
// same thread calls into the table again.  A record is close to a megabyte:
// callers keep copies of it on the heap.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "igd1_export.h"
#include "mib_api.h"

enum {
  VPN_MAX_TUNNELS = 4,
  VPN_NAME_SIZE = 30,       // tunnel name and user id: 29 characters
  VPN_ADDRESS_SIZE = 120,   // account proxy and server address: 119 characters
  VPN_ACCOUNT_SIZE = 128,   // account and password: 127 characters
  VPN_LIST_SIZE = 327713,   // a ";"-joined list of 327,712 characters
  VPN_WAN_NAME_SIZE = 64,   // as the WAN connection database names connections
  VPN_STATUS_SLOTS = 20,    // lines of vpnConn_get_status
};
enum { VPN_TYPE_NONE = 0, VPN_TYPE_L2TP = 1, VPN_TYPE_PPTP = 2 };
enum { VPN_MODE_STEADY = 0, VPN_MODE_RANDOM = 1 };

typedef struct vpn_connection_row {
  uint8_t instance;
  uint8_t marks[2];        // 255, 255 in a row made by AddObject
  uint8_t type;            // VPN_TYPE_*
  char tunnel_name[VPN_NAME_SIZE];
  char user_id[VPN_NAME_SIZE];
  uint8_t enable;          // 0 or 1
  uint8_t status;          // the tunnel's, never written by the bus
  uint8_t mode;            // VPN_MODE_*
  uint8_t priority;        // 0 to 7
  int32_t idle_time;       // seconds, 0 or more
  char account_proxy[VPN_ADDRESS_SIZE];
  char server_address[VPN_ADDRESS_SIZE];
  char account[VPN_ACCOUNT_SIZE];
  char password[VPN_ACCOUNT_SIZE];
  int32_t port;            // 0 to 65535
  uint8_t attach_mode;     // 0, 1 or 2
  char domains[VPN_LIST_SIZE];
  char ips[VPN_LIST_SIZE];
  char terminal_macs[VPN_LIST_SIZE];
  char wan_name[VPN_WAN_NAME_SIZE];
} vpn_connection_row;

// Reads the table again.  Non-zero on success.
IGD1_API int vpnConn_update_all(void);
// The table's calls as one value, for the bus modules.
IGD1_API const mib_table_ops vpnConn_table;
IGD1_API mib_list_node *vpnConn_get_list(int which);
IGD1_API mib_list_node *vpnConn_get_list_by_instnum(uint32_t instance, uint32_t *index);
// The number of tunnels.
IGD1_API int vpnConn_get_list_totalnum(void);
// Inserts `row` under the lowest free number (written into byte 0).
IGD1_API int vpnConn_insert_entry(void *row);
IGD1_API int vpnConn_remove_entry(uint32_t index, mib_list_node *node);
// Stores `row` over the tunnel `instance`.  Non-zero on success.
IGD1_API int vpnConn_update_entry(const void *row, uint32_t instance, int flags);
// Whether a tunnel may ride on the WAN connection `name` (non-zero: yes).
IGD1_API int vpnConn_check_wan_name(const char *name);
// Fills `slots` with the status lines of tunnel `instance`, each an
// allocated text ("" for an unused slot) the caller releases with g_free.
// Non-zero on success; on failure no slot holds anything.
IGD1_API int vpnConn_get_status(uint32_t instance, char *slots[VPN_STATUS_SLOTS]);
