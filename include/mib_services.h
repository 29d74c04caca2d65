// What the smaller service objects (IPTV, DNS speed limit, HTTP server,
// PPPoE, ...) call in the configuration library.
#pragma once

#include <stdint.h>

#include <glib.h>

#include "igd1_export.h"

// Change bits of dbus_mib_update_cfg used by these services.
enum {
  MIB_CFG_IPTV = 0x20,
  MIB_CFG_DNS_SPEED_LIMIT = 0x1000,
  MIB_CFG_HTTP = 0x10000,
  MIB_CFG_INCOMING_FILTER = 0x20000,
  MIB_CFG_CWMP = 0x800,
};

// ---- IPTV ---------------------------------------------------------------------
// 0 IGMP enable, 1 IGMP proxy, 2 IGMP snooping, 5 forwarding without a set-top
// box (one byte each, 0 or 1); 3 set-top boxes seen and 4 line status (32
// bits: 0 no IPTV line, 1 IPTV line up, 2 a detection is running).  Only 1, 2
// and 5 are written.  Non-zero on success.
IGD1_API int IPTV_get_property(int index, void *buffer);
IGD1_API int IPTV_set_property(int index, void *value);
// Watches the line for IPTV traffic for `duration` seconds (2 to 60); the
// line status reads 2 meanwhile.  Returns 0 when the request reached the
// multicast service, with *result_code 0, or 9001 while a detection runs.
IGD1_API int IPTV_StartDetectiTVLineStatus(uint32_t duration, uint32_t *result_code);

// ---- DNS speed limit ------------------------------------------------------------
// 0 limited domains (text, 1024 bytes), 1 action on a domain over its limit
// (text, 33 bytes), 2 the gateway's identity and 3 the last limited device
// as the DNS service reports them (texts, 256 bytes).  Only 0 and 1 are
// written; the domains are host names separated by ',' or ';', the action
// printable text.  Non-zero on success.
IGD1_API int DNSSpeedLimit_get_mib_property(int index, void *buffer);
IGD1_API int DNSSpeedLimit_set_mib_property(int index, void *value);

// ---- HTTP server ------------------------------------------------------------------
// The administrator's password (a text of at most 30 characters; the
// buffer holds 64 bytes).  Non-zero on success.
IGD1_API int httpserver_get_password(char *buffer);
IGD1_API int httpserver_set_password(const char *text);
// The remote-access word with the web server's LAN access set to `enable`
// (0 or 1), stored: the word, or -1 when the access table cannot be read,
// -2 for another `enable`, -3 when storing the word failed.
IGD1_API int httpserver_getconfig(int enable);
// Starts or stops the web server as the access word says; 1 on success.
IGD1_API int httpserverinfo_enable_httpd(int config);
// Tells the web server that its settings changed; 1 on success.
IGD1_API int httpserverinfo_set_property_update(int which);

// ---- PPPoE --------------------------------------------------------------------------
// The WAN connection of a service (4: the internet connection) while it dials
// with PPPoE.  The entry belongs to the caller until pppoe_free_wan_entry.
typedef struct pppoe_wan_entry pppoe_wan_entry;
enum { PPPOE_SERVICE_INTERNET = 4 };
// 1 with *entry set, 0 when no connection of that service uses PPPoE.
IGD1_API int pppoe_get_wan_entry(int service, pppoe_wan_entry **entry);
IGD1_API void pppoe_free_wan_entry(pppoe_wan_entry *entry);
// Index 0: the PPPoE user name of the connection (text, 65 bytes).
IGD1_API int pppoe_get_mib_property(int index, void *buffer);
// Entries handed out and not yet freed.
IGD1_API int pppoe_wan_entries_held(void);

// ---- feature flags, cloud VR, bridge data, VoIP -------------------------------------
// Feature flags: 0 H.248 voice, 1 port binding, 2 VLAN binding, 3 dialling
// on demand, each a 32-bit 0 or 1.  Non-zero on success.
IGD1_API int featureflag_get_property(int index, void *value);
// Cloud VR: 0 enable (32 bits), 1 user ID (the product class and serial
// number, text of 128 bytes), 2 password (text of 64 bytes).
IGD1_API int CloudVR_get_property(int index, void *value);
// The bridged session of the data path: 0 interface name, 1 source MAC, 2
// destination MAC (texts of 64 bytes), 3 PPPoE session id (32 bits), 4 IP
// address and 5 DNS server (texts of 64 bytes).
IGD1_API int BridgeData_get_property(int index, void *buffer);
// Loads the voice configuration for the reads that follow; 0 on success.
IGD1_API int DBUS_flash_get(void);
// 0 and 1 the directory numbers of lines 1 and 2, 2 and 3 their states
// ("Up", "Registering", "Error", "Disabled" ...), texts of 64 bytes.
IGD1_API int voipinfo_get_mib_property(int index, void *buffer);

// ---- CWMP ---------------------------------------------------------------------------
// Runs a management action on the configuration's parameter tree, whose
// names are "Device." followed by a setting name (Device.dhcpserver.LeaseTime)
// or by a table, an instance and a column (Device.portmapping.3.ExternalPort);
// a name ending in "." names everything below it.
//   0 AddObject (s table path)            -> (ui) instance, status 0
//   1 DeleteObject (s row path)           -> (i) status 0
//   2 SetParameterValues (a(ss))          -> (i) status 0, all or nothing
//   3 GetParameterValues (as)             -> (a(ss)); passwords read ""
//   4 GetParameterNames (s path, b next)  -> (a(sb)) name, writable
// Returns 1 with *result set (a new reference), 0 for unknown names, refused
// values or a failed store.  Changes are recorded under MIB_CFG_CWMP with the
// action's name.

IGD1_API int CWMP_handle_action(int code, GVariant *parameters, GVariant **result);

// ---- incoming filter ------------------------------------------------------------------
// Traffic from the WAN or LAN side let in to the gateway itself.
typedef struct __attribute__((packed)) {
  uint8_t instance;     // assigned on insertion
  uint8_t family;       // 4 or 6; an empty address matches both
  uint8_t protocol;     // 0 TCP, 1 UDP, 2 both
  uint8_t interface;    // 0 LAN side, 1 WAN side
  uint32_t port;        // 0 to 65535
  char remote[64];      // remote address text, "" for any
  uint8_t reserved[4];
} incoming_filter_entry;
enum { INCOMING_FILTER_MAX_ENTRIES = 32 };
// 1 inserted, 2 an equal entry exists, 3 the table is full, 0 the store failed.
// The rule's fields must be checked by the caller.
IGD1_API int incomingFilter_insert_entry(incoming_filter_entry *entry);
// 1 removed, 4 no equal entry, 0 the store failed.
IGD1_API int incomingFilter_del_entry(const incoming_filter_entry *entry);
// The text of a result other than 1.
IGD1_API const char *incomingFilter_result_text(int result);
// Commits the table and applies it to the firewall; 1 on success.
IGD1_API int incomingFilter_save_mib(void);

// ---- downstream optimisation and sub-IPTV support -----------------------------------
// Downstream optimisation: 0 enable (32 bits), 1 mode (text, 16 bytes: "Off",
// "Auto", "Video", "Gaming"), 2 flows optimised now (32 bits), 3 flows and 4
// bytes optimised since start (64 bits).
IGD1_API int DnOptInfo_get_property(int index, void *buffer);
// Sub-IPTV support: 0 supported (32 bits), 1 enable (one byte), 2 VLAN of the
// IPTV service (32 bits, 1 to 4094), 3 sub-devices carrying IPTV (32 bits).
// Writes: 1 (refused while not supported) and 2.
IGD1_API int SubIPTVSupport_get_property(int index, void *buffer);
IGD1_API int SubIPTVSupport_set_property(int index, void *value);
