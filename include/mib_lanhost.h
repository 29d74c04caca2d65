// The LAN host table of the configuration library: the devices seen on the
// LAN side, one record of LAN_HOST_ROW_SIZE bytes per device, and the
// manager's settings and counters.
#pragma once

#include <stdint.h>

#include "igd1_export.h"
#include "mib_api.h"

// Record layout (numbers little-endian, host order).
enum {
  LAN_HOST_INSTANCE = 0,          // u8, 1-255
  LAN_HOST_ACTIVE = 1,            // u8, 1 while the device is on the LAN
  LAN_HOST_CONTROL_STATUS = 2,    // u8, worked out by the table: 1 under control
  LAN_HOST_INTERNET_ACCESS = 3,   // u8: 0 blocked, 1 allowed, 2 allowed on schedule
  LAN_HOST_STORAGE_ACCESS = 4,    // u8
  LAN_HOST_DEVICE_TYPE = 5,       // u8, a type number (lan_host_device_type_name)
  LAN_HOST_CONNECTION_TYPE = 6,   // u8: 0 wired, 1 wireless
  LAN_HOST_PORT = 7,              // u8: LAN port 1-4, 0 for wireless
  LAN_HOST_MAC = 8,               // 6 bytes
  LAN_HOST_ONLINE_NOTIFY = 14,    // u8
  LAN_HOST_SPEEDUP = 15,          // u8
  LAN_HOST_IP = 16,               // IPv4, network order
  LAN_HOST_MAX_US = 20,           // u32, kbit/s, 0 unlimited
  LAN_HOST_MAX_DS = 24,           // u32
  LAN_HOST_US_GUARANTEE = 28,     // u32
  LAN_HOST_DS_GUARANTEE = 32,     // u32
  LAN_HOST_ONLINE_TIME = 36,      // u32, seconds
  LAN_HOST_NEGO_RATE = 40,        // u32, kbit/s
  LAN_HOST_POWER_LEVEL = 44,      // i32, dBm
  LAN_HOST_CHANNEL = 48,          // u32
  LAN_HOST_NOISE = 52,            // i32
  LAN_HOST_SNR = 56,              // i32
  LAN_HOST_CONNECT_DEVICE = 60,   // u8
  LAN_HOST_RX_BYTES = 64,         // u64 each from here to 152
  LAN_HOST_TX_BYTES = 72,
  LAN_HOST_STA_RX_PKT_FAIL = 80,
  LAN_HOST_STA_TX_PKT_FAIL = 88,
  LAN_HOST_STA_RX_PKT_RETRY = 96,
  LAN_HOST_STA_TX_PKT_RETRY = 104,
  LAN_HOST_PKT_TOTAL = 112,
  LAN_HOST_PKT_LOSS = 120,
  LAN_HOST_STA_TX_PKT_TOTAL = 128,
  LAN_HOST_STA_RX_PKT_TOTAL = 136,
  LAN_HOST_UP_SPEED = 144,
  LAN_HOST_DOWN_SPEED = 152,
  // Texts, NUL-terminated, at offset and of size (terminator included).
  LAN_HOST_DEV_NAME = 160, LAN_HOST_DEV_NAME_SIZE = 64,
  LAN_HOST_HOST_NAME = 224, LAN_HOST_HOST_NAME_SIZE = 64,
  LAN_HOST_BRAND = 288, LAN_HOST_BRAND_SIZE = 32,
  LAN_HOST_MODEL = 320, LAN_HOST_MODEL_SIZE = 32,
  LAN_HOST_OS = 352, LAN_HOST_OS_SIZE = 32,
  LAN_HOST_IPV6 = 384, LAN_HOST_IPV6_SIZE = 46,
  LAN_HOST_LATEST_ACTIVE = 430, LAN_HOST_LATEST_ACTIVE_SIZE = 20,
  LAN_HOST_LATEST_INACTIVE = 450, LAN_HOST_LATEST_INACTIVE_SIZE = 20,
  LAN_HOST_HOST_CLASS = 470, LAN_HOST_HOST_CLASS_SIZE = 32,
  LAN_HOST_CONNECT_INTERFACE = 502, LAN_HOST_CONNECT_INTERFACE_SIZE = 32,
  LAN_HOST_ANTENNA = 534, LAN_HOST_ANTENNA_SIZE = 16,
  LAN_HOST_PROTOCOL = 550, LAN_HOST_PROTOCOL_SIZE = 16,
  LAN_HOST_RADIO_TYPE = 566, LAN_HOST_RADIO_TYPE_SIZE = 16,
  LAN_HOST_FREQUENCY_WIDTH = 582, LAN_HOST_FREQUENCY_WIDTH_SIZE = 16,
  LAN_HOST_SW_VERSION = 598, LAN_HOST_SW_VERSION_SIZE = 32,
  LAN_HOST_KERNEL_VERSION = 630, LAN_HOST_KERNEL_VERSION_SIZE = 32,
  LAN_HOST_CONNECT_DEVICE_MAC = 662, LAN_HOST_CONNECT_DEVICE_MAC_SIZE = 18,
  LAN_HOST_CONNECT_DEVICE_SN = 680, LAN_HOST_CONNECT_DEVICE_SN_SIZE = 32,
  LAN_HOST_SSID_NAME = 712, LAN_HOST_SSID_NAME_SIZE = 33,
  LAN_HOST_ROW_SIZE = 752,
  LAN_HOST_MAX_ROWS = 255,
};

// Item number of the device type in the accessors below (its name as text).
enum { LAN_HOST_ITEM_DEVICE_TYPE = 7 };
// Change bit of the notices about LAN hosts.
enum { MIB_CFG_LANHOST = 0x40 };

IGD1_API int lan_host_update_all(void);
// The table's calls as one value, for the bus modules.
IGD1_API const mib_table_ops lan_host_table;
// Tells the services the whole table (once at start-up).
IGD1_API int lan_host_notify_change_all(void);
IGD1_API mib_list_node *lan_host_get_list(int which);
IGD1_API mib_list_node *lan_host_get_list_by_instnum(uint32_t instance, uint32_t *index);
IGD1_API uint32_t lan_host_get_instnum(const void *row);
IGD1_API int lan_host_get_active(const void *row);
IGD1_API int lan_host_get_controlstatus(const void *row);
// Item accessors: LAN_HOST_ITEM_DEVICE_TYPE reads the type's name into
// `output` (at least 32 bytes) and writes a name given as text, refusing one
// that names no type.  Non-zero on success.
IGD1_API int lan_host_get_mib_property(int item, void *output, const void *row);
IGD1_API int lan_host_set_mib_property(int item, const void *value, void *row);
// Non-zero when `text` names a device type; its number into *type.
IGD1_API int lan_host_check_valid_property_value(int item, const char *text, const void *row,
                                                 uint8_t *type);
IGD1_API int lan_host_get_devicetype_num(const void *row);
// A working copy of a record, and its release.
IGD1_API void *lan_host_backup_entry(const void *row);
IGD1_API void lan_host_free_backup_entry(void *copy);
// Stores a changed copy at row position `index`, working out its control
// status.  Non-zero on success.
IGD1_API int lan_host_update_entry_mib(const void *copy, uint32_t index);
IGD1_API int lan_host_remove_entry(uint32_t index, mib_list_node *node);
IGD1_API int lan_host_save_mib(void);
// Asks the discovery for fresh figures (0 before a listing, 5 before a
// device's values are read); returns at once.
IGD1_API int lan_host_update_info_immediately(int reason);
// Manager settings and counters: 0 EnableStats (u8), 1 LANHostMaxNumber,
// 2 ControlListMaxNumber (u32), 3 LANHostNumber, 4 ControlListNumber (u32,
// counted), 5 LANDevPushEnable (u8), 6 LANHostOnlineNumber,
// 7 AllLANHostOnlineNumber (u32, counted).  The setter returns 1 when the
// value changed, 2 when it was already stored, 0 on failure.
IGD1_API int lanhostmanager_get_mib_property(int item, void *output);
IGD1_API int lanhostmanager_set_mib_property(int item, void *value);
