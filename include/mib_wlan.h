// What the module library calls in the configuration library for the
// wireless networks: one record per SSID ("wlan", instance numbers 1 to 16,
// the number in byte 0) and its WPS settings ("wps", one row per SSID under
// the same number).  Included by mib_api.h.
//
// Items are reached by record index (the instance number - 1) except where a
// call says instance.  A write goes through the working record the store
// keeps for the row: a backup call opens it (a single write and a write of
// several values have snapshots of their own), set calls change it, and the
// update call stores it and puts it into effect on the radio, or the
// failed-update call of the same kind puts the snapshot back.
//
// Item encodings (out-parameter of get, value of set and check):
//   text pointer: get stores a `const char *` to a text the store owns (valid
//     until the calling thread's next get); set and check take the text.
//     Items 0 SSID (1-32 bytes), 16 PWD (0-63), and the coded items 4
//     BeaconType, 6 WEPEncryptionLevel, 7 BasicAuthenticationMode,
//     8 WPAEncryptionModes.
//   buffer of n (WLAN_*_SIZE): get fills it with a terminated text; set and
//     check take the text.  Items 5 Standard (coded), 25, 26, 27, 30, 34,
//     36, 37, 39, 45.
//   byte: 1 (get), 9 (get and set: the low byte), 33, 38, 40, 44.
//   32-bit: 1 (set), 2, 3, 10, 11, 12, 13, 14, 15, 28, 29, 31, 32, 46, 47;
//     41 signed on get.  64-bit: 17 to 24, 42, 41 on set.
// Coded items: check_valid_property_value with a `code` out-parameter
// turns a name into its one-byte code; set takes either the code (one byte
// below 32) or, in a conformance run, the name itself.  The codes are those
// of README ("WLAN settings").
#pragma once

#include <stdint.h>

#include "igd1_export.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  WLAN_MAX_SSIDS = 16,
  WLAN_SSID_MAX = 32,          // bytes of an SSID
  WLAN_PASSWORD_MAX = 63,      // bytes of a key or passphrase
  WLAN_STANDARD_SIZE = 32,
  WLAN_TEXT_SIZE = 64,         // alias, owner, service
  WLAN_ALLOWED_IP_PORT_SIZE = 257,
  WLAN_BSSID_SIZE = 13,
  WLAN_CHANNELS_IN_USE_SIZE = 1025,
  WLAN_NETWORK_TYPE_SIZE = 7,
  WLAN_BIND_SIZE = 33,
  WLAN_IFNAME_SIZE = 32,
  WLAN_DEVINFO_SIZE = 128,
};

enum wlan_item {
  WLAN_ITEM_SSID = 0, WLAN_ITEM_ENABLE = 1, WLAN_ITEM_CHANNEL = 2, WLAN_ITEM_CHANNEL_IN_USE = 3,
  WLAN_ITEM_BEACON_TYPE = 4, WLAN_ITEM_STANDARD = 5, WLAN_ITEM_WEP_LEVEL = 6,
  WLAN_ITEM_AUTH_MODE = 7, WLAN_ITEM_WPA_MODES = 8, WLAN_ITEM_HIDE = 9, WLAN_ITEM_BAND = 10,
  WLAN_ITEM_WIDTH = 11, WLAN_ITEM_GUARD_INTERVAL = 12, WLAN_ITEM_RETRY_TIMEOUT = 13,
  WLAN_ITEM_POWER_LEVEL = 14, WLAN_ITEM_POWER_VALUE = 15, WLAN_ITEM_PASSWORD = 16,
  WLAN_ITEM_RX_BYTES = 17, WLAN_ITEM_TX_DROP_PKTS = 24, WLAN_ITEM_ALIAS = 25,
  WLAN_ITEM_OWNER = 26, WLAN_ITEM_SERVICE = 27, WLAN_ITEM_MAC_ACCESS_MODE = 28,
  WLAN_ITEM_ACCESS_RULE = 29, WLAN_ITEM_ALLOWED_IP_PORT = 30, WLAN_ITEM_US_BANDWIDTH = 31,
  WLAN_ITEM_DS_BANDWIDTH = 32, WLAN_ITEM_ENCRYPTION_MODE = 33, WLAN_ITEM_BSSID = 34,
  WLAN_ITEM_CHANNELS_IN_USE = 36, WLAN_ITEM_NETWORK_TYPE = 37, WLAN_ITEM_ZV_MODE = 38,
  WLAN_ITEM_BIND = 39, WLAN_ITEM_IS_GUEST = 40, WLAN_ITEM_DURATION = 41,
  WLAN_ITEM_REMAIN_DURATION = 42, WLAN_ITEM_AUTO_CHANNEL = 44, WLAN_ITEM_IFNAME = 45,
  WLAN_ITEM_MAX_STA = 46, WLAN_ITEM_ONLINE_STA = 47,
};

// The change bit under which a committed SSID is put into effect; the
// journal shows the SSID's settings without its key.
enum { MIB_CFG_WLAN = 0x10000000 };

IGD1_API int wlanconfiguration_interface_init(void);
// Non-zero when an SSID carries instance number `instance`.
IGD1_API int wlanconfiguration_check_instnum(int instance);
// Non-zero when SSID `instance` is the backhaul between gateways.
IGD1_API int wlanconfiguration_check_backhaul(int instance);
IGD1_API int is_wlan_guest_network(int index);
IGD1_API int wlanconfiguration_get_property(int item, void *output, int index);
IGD1_API int wlanconfiguration_set_property(int item, const void *value, int index, int *changed);
// Non-zero when `value` may be stored under `item` in the working record
// (else the stored record) of SSID `index`; coded items fill *code.
IGD1_API int wlanconfiguration_check_valid_property_value(int item, const void *value, int index,
                                                          uint8_t *code);
IGD1_API int wlanconfiguration_set_property_backup(int index);
IGD1_API int wlanconfiguration_set_property_failed_update(int index);
IGD1_API int wlanconfiguration_set_properties_backup(int index);
IGD1_API int wlanconfiguration_set_properties_failed_update(int index);
// Stores the working record of SSID `index` and puts it into effect.  0 on
// success; otherwise non-zero with *message (owned by the store, valid until
// the thread's next call) saying why, and the stored record unchanged.
IGD1_API int wlanconfiguration_set_properties_update(int index, const char **message);
// A new SSID (off, open, on the 2.4 GHz radio) under the lowest free number.
IGD1_API int wlanconfiguration_insert_entry(int *instance);
IGD1_API int wlanconfiguration_delete_entry(int instance);

// ---- WPS, per SSID (index: the instance number) ----
// Items: 0 Enable (32-bit), 1 WPSStatus (byte: 0 idle, 1 in progress,
// 2 success, 3 failed, 4 timed out), 2 DevInfo (buffer of WLAN_DEVINFO_SIZE:
// ';'-separated records, the enrolling device's "Name:<text>" then one
// "MAC:aa:bb:cc:dd:ee:ff" record per device enrolled).
enum { WPS_ITEM_ENABLE = 0, WPS_ITEM_STATUS = 1, WPS_ITEM_DEVINFO = 2 };
enum { WPS_IDLE = 0, WPS_IN_PROGRESS = 1, WPS_SUCCESS = 2, WPS_FAILED = 3, WPS_TIMED_OUT = 4 };
IGD1_API int wps_init(void);
IGD1_API int wps_get_property(int item, void *output, int index);
IGD1_API int wps_set_property(int item, const void *value, int index, int *changed);
// Starts an enrolment on SSID `index`: mode 0 push button, 1 PIN (`value`
// the 8-digit PIN); *result 0 once started.  0 (with `errdesc`, 64 bytes)
// when refused: WPS off, the SSID off, open or WEP, or an enrolment running.
IGD1_API int wps_setWPS(int mode, uint32_t value, int index, uint32_t *result, char *errdesc);

#ifdef __cplusplus
}
#endif
