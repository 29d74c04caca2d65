// What the module library calls in the configuration library.
#pragma once

#include <stdint.h>

#include <glib.h>

#include "igd1_export.h"

// Change bits of dbus_mib_update_cfg, one per service.
enum {
  MIB_CFG_DHCP = 0x8,
  MIB_CFG_PORTMAPPING = 0x2000,
};
// Actions of dbus_mib_update_cfg.
enum {
  MIB_ACTION_LAN_ADDRESS_BEGIN = 1,   // a LAN address change is about to be stored
  MIB_ACTION_LAN_ADDRESS_STORED = 2,  // it was stored
  MIB_ACTION_LAN_ADDRESS_APPLY = 3,   // apply the new address (data: its text)
  MIB_ACTION_APPLY = 255,             // apply the module's settings
};

// Announces to the running services that a module's settings changed.
// `data` is optional (a text or a row, by module); `action` is an action code
// or a row position.  Returns non-zero when the notice was accepted.
IGD1_API int dbus_mib_update_cfg(uint32_t module_bit, void *data, int action);

// Reads the configuration entry `id` into `buffer` in its binary form.
// Returns 1 on success, 0 when the id is unknown or the read fails.
IGD1_API int mib_get(int id, void *buffer);
// Same, refusing to write more than `size` bytes.
IGD1_API int mib_get_s(int id, void *buffer, int size);

// Writes the pending extra configuration values to flash.
IGD1_API int dbus_do_ExtraMIB2flash(void);

// ---- DHCP server --------------------------------------------------------------
// Index: 0 enable, 1 start address, 2 end address, 3 LAN address, 4 LAN address
// (companion copy, write only), 5 subnet mask, 6 lease seconds, 7 write permission.
// Reads fill a zero-filled buffer of at least 50 bytes: 0 as a 32-bit number,
// 1-3 and 5 as dotted text, 6 as a 32-bit number, 7 as one byte.
// Writes take: 0 one byte, 1-5 four bytes in network order, 6 a 32-bit number.
// Both return non-zero on success.
IGD1_API int dhcpserver_get_mib_property(int index, void *buffer);
IGD1_API int dhcpserver_set_mib_property(int index, void *value);

// ---- device information -------------------------------------------------------
// Index 0-38 as the device information object lists them.  Texts fill the
// caller's zero-filled buffer (its size is the object's for that index),
// bytes one byte, numbers 32 bits.  Non-zero on success.
IGD1_API int deviceinfo_get_property(int index, void *buffer);
// Only index 18 (device name, a NUL-terminated text of at most 127 characters).
IGD1_API int deviceinfo_set_property(int index, void *value);
// Applies the written values.
IGD1_API int deviceinfo_set_property_update(void);
IGD1_API int deviceinfo_interface_init(void);

// ---- network information ------------------------------------------------------
// Index 0 uplink (one byte), 3 WiFi mode (64-byte text), 4 PON duration and
// 5 PPPoE duration (32 bits), 18-23 and 25-26 texts (64 bytes), 24 LAN
// address (4 bytes, network order), 33 uplink type (32 bits), 34 cloud CPE
// enable and 35 ElinkSync (one byte each).  Non-zero on success.
IGD1_API int networkinfo_get_property(int index, void *buffer);
// Only index 35 (one byte).  Sets *commit_needed and *changed (32-bit flags).
IGD1_API int networkinfo_set_property(int index, void *value, int *commit_needed, int *changed);
// Applies what the writes asked for.  Returns 0 on failure with *message
// pointing to a reason owned by the library (valid until the next call).
IGD1_API int networkinfo_set_property_update(const char **message);
IGD1_API int networkinfo_interface_init(void);
// LAN IPv6 address: index 0, text of up to 64 bytes.  Non-zero on success.
IGD1_API int IPV6LANConfig_get_mib_property(int index, void *buffer);

// Live port and traffic figures, kept current by the configuration library.
typedef struct __attribute__((packed)) {
  uint8_t lan_status[4];          // LAN ports 1-4
  uint8_t reserved1[4];
  uint64_t wan_bytes;             // total, sent, received
  uint64_t wan_tx_bytes;
  uint64_t wan_rx_bytes;
  uint8_t reserved2[16];
  uint64_t wifi_bytes;            // total, sent, received
  uint64_t wifi_tx_bytes;
  uint64_t wifi_rx_bytes;
  uint64_t lan_bytes[4][2];       // LAN ports 1-4: sent, received
} networkinfo_record;
IGD1_API networkinfo_record gNetworkinfo;

// ---- PON information ----------------------------------------------------------
// Index 0 PON type (one byte), 1-3 and 10 texts (64 bytes), 4-8 optics
// readings (64-bit floating point), 9 status query support (32 bits),
// 11-18 counters (64 bits).  Non-zero on success.
IGD1_API int poninfo_get_mib_property(int index, void *buffer);
IGD1_API int poninfo_interface_init(void);
// Action 0: the PON traffic history.  On success *result holds the reply
// value (a new reference) and the call returns non-zero.
IGD1_API int poninfo_handle_action(int action, GVariant *parameters, GVariant **result);

// ---- record tables ------------------------------------------------------------
// Rows of a record table are handed out as a chain of nodes owned by the
// configuration library.  A node and its record stay valid until the next
// call into the same table; a module writes a changed record back over
// `data` and then announces it with dbus_mib_update_cfg.
typedef struct mib_list_node {
  void *data;                  // the row's record
  struct mib_list_node *prev;  // null at the head
  struct mib_list_node *next;  // null at the tail
} mib_list_node;

// ---- port mappings -------------------------------------------------------------
// Records of PORTMAPPING_ROW_SIZE bytes (layout in dbus_PortMapping.cpp).
enum { PORTMAPPING_ROW_SIZE = 92 };
// Re-reads the table.  Non-zero on success.
IGD1_API int portmapping_update_all(void);
// The first row (argument 0), or null for an empty table.
IGD1_API mib_list_node *portmapping_get_list(int which);
// The row of `instance` and, when `index` is not null, its position.
IGD1_API mib_list_node *portmapping_get_list_by_instnum(uint32_t instance, uint32_t *index);
// Inserts a zero-filled record under the lowest free instance number (1-255),
// written into its first byte.  Non-zero on success, 0 when the table is full.
IGD1_API int portmapping_insert_entry(void *row);
// Removes the row at `index` (`node` is that row).  Non-zero on success.
IGD1_API int portmapping_remove_entry(uint32_t index, mib_list_node *node);
// Commits the table to flash.  Non-zero on success.
IGD1_API int portmapping_host_save_mib(void);
// Applies (or with action 3 withdraws) the forwarding rule of row `index`.
IGD1_API int apply_PortForwarding(int action, int index, int flag);
