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

// One transaction for the store writes of one bus call, on the calling
// thread (the main loop).  Levels nest: only the outermost begin takes the
// database's write lock and only the outermost commit commits, so a handler
// may wrap writes that open levels of their own.  Every write and service
// notice between begin and commit stands or falls together; row callbacks of
// inserted and removed rows run after the commit, never after a rollback.
// mib_transaction_begin returns 0 when the store is busy (another process
// holds its write lock for more than 100 ms) or closed; then no level is
// open.  mib_transaction_commit returns 1 when the transaction (so far)
// stands, 0 when it was rolled back, by mib_transaction_rollback at any level
// or because the commit failed.  While a transaction is open, store calls of
// other threads wait for its end: keep it to one call.
IGD1_API int mib_transaction_begin(void);
IGD1_API int mib_transaction_commit(void);
IGD1_API void mib_transaction_rollback(void);

// Why a store call of the calling thread failed when the reason is the
// store's and not the value it was given: damage found in the database, or
// a write of the thread's current or last transaction that the disk refused
// ("the configuration store cannot write: no space left on the device ...").
// Null when neither happened.  mib_store_damage reports the damage only,
// which lasts until the store is opened again.  The text stays valid until
// the thread's next call of either function.
IGD1_API const char *mib_store_failure(void);
IGD1_API const char *mib_store_damage(void);

// Calls `seen(name, data)` with the name of every setting the calling
// thread reads from now on, until called again with a null `seen`: which
// settings a property's read depends on.
typedef void (*mib_setting_seen)(const char *name, void *data);
IGD1_API void mib_watch_setting_reads(mib_setting_seen seen, void *data);
// Stores `text` under the setting `name` as the store keeps it (a value's
// text, unchecked): how a check finds out what a property reads for a value
// it puts in place inside a transaction it rolls back.  Non-zero on success.
IGD1_API int mib_put_setting_text(const char *name, const char *text);
// The text the store keeps under the setting `name`, in memory the caller
// frees with free(); null when there is no such setting.
IGD1_API char *mib_setting_text(const char *name);
// The same for the cell `column` of the row with `key` (an instance number,
// or a nested row's key) in `table`, in the form the store shows it.
IGD1_API int mib_put_cell_text(const char *table, uint64_t key, const char *column, const char *text);
IGD1_API char *mib_cell_text(const char *table, uint64_t key, const char *column);

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

// ---- LED control -------------------------------------------------------------------
// Property 0 lights on (one byte, 0 off), 1 start and 2 end of the daily
// window ("H:MM" or "HH:MM", a text of at most 5 characters, read into 6
// bytes), 3 control cycle (one byte, 1 daily), 4 window enable (one byte).
// While the window is enabled the lights are lit only from its start to its
// end (over midnight when the start is later; all day when both are equal).
// The handle drives the lights and switches them at the window's edges.
enum {
  MIB_CFG_LED_SCHEDULE = 0x80,
  MIB_CFG_LED_STATUS = 0x4000,
};
// Every switch of the lights is recorded in the journal under MIB_JOURNAL_LED
// with "on" or "off": action 1 after a status update, 2 after a schedule
// update, 3 at an edge of the window.
inline constexpr uint64_t MIB_JOURNAL_LED = uint64_t(1) << 35;
enum { LED_DRIVEN_BY_STATUS = 1, LED_DRIVEN_BY_SCHEDULE = 2, LED_DRIVEN_AT_EDGE = 3 };
typedef struct led_entry LED_ENTRY;
// Creates the handle (replacing and releasing one *handle holds) and lights
// the lights as stored; its edge timer runs on the calling thread's main
// context.  Non-zero on success.
IGD1_API int LED_init_entry(LED_ENTRY **handle);
// Stops the handle's timer and releases it; *handle becomes null.
IGD1_API void LED_free_entry(LED_ENTRY **handle);
// Reads and writes come from and go to the store with or without a handle.
// A write stores only a value that differs and says so in *changed.
// Non-zero on success.
IGD1_API int LED_get_property(int number, void *output, LED_ENTRY *handle);
IGD1_API int LED_set_property(int number, void *value, LED_ENTRY *handle, int *changed);
// Counts a refused write (LED_failed_writes reads the count).
IGD1_API void LED_set_failed(void);
IGD1_API unsigned LED_failed_writes(void);
// Switches the lights as the stored status and window say (the handle
// given, or the last one created); non-zero on success.
IGD1_API int LED_status_update(LED_ENTRY *handle);
// Applies a changed window: switches the lights and sets the edge timer of
// the last handle created.  Non-zero on success.
IGD1_API int LED_set_update(void);

// ---- SDN agent -----------------------------------------------------------------
// Settings by position: 1 enable (32-bit signed, 0 or 1), 2 controller address
// ("tcp:" or "ssl:", a host and a port; 128 bytes), 3 OpenFlow WAN name (32
// bytes), 4 datapath id (64 bytes, read only).  `size` is the caller's buffer
// (read) or value (write) size.  These return 0 on success, non-zero on failure.
enum { WQXSDN_PARM_ENABLE = 1, WQXSDN_PARM_CONADDR = 2, WQXSDN_PARM_OFWAN = 3, WQXSDN_PARM_DPID = 4 };
IGD1_API int wqxsdn_get_mib_property(int position, void *buffer, int size);
IGD1_API int wqxsdn_set_mib_property(int position, void *value, int size);
// Checks a value without storing it.
IGD1_API int wqxsdn_set_mib_property_check(int position, void *value, int size);
// One port the SDN switch may take.
typedef struct {
  uint8_t type;      // 0 LAN port, 1 wireless network
  char name[64];     // e.g. "LAN1"
  char ifname[19];   // e.g. "eth0.2"
  uint32_t port;     // OpenFlow port number
  uint8_t in_sdn;    // non-zero while bound to the switch
} wqxsdn_intf;
// Points *array at the port list (owned by the library, valid until the next
// update) and returns its length.
IGD1_API int wqxsdn_get_ovs_avaliable_intfs(wqxsdn_intf **array);
IGD1_API int wqxsdn_update_ovs_avaliable_intfs(void);
// 0 while the agent runs (its pid file names a live process).
IGD1_API int wqxsdn_check_running(void);
// Port codes: 0 fine, 3 no port of that name and number, 4 already bound
// (adding), 5 not bound (removing).  Mode 0 adding, 1 removing.  "all" binds
// or unbinds every port.
IGD1_API int wqxsdn_check_port(const char *name, uint32_t port, int mode);
IGD1_API int wqxsdn_bind_port(const char *name, uint32_t port);
IGD1_API int wqxsdn_unbind_port(const char *name, uint32_t port);
// Restart the agent, or point it at the stored controller and WAN; run the
// agent's control program.  0 on success.
IGD1_API int wqxsdn_restart(void);
IGD1_API int wqxsdn_reconfig_controller(void);
// The same without waiting: `done(result, data)` runs on the default main
// context once the program ended (0 success), never before the call returned.
typedef void (*wqxsdn_done)(int result, void *data);
IGD1_API void wqxsdn_restart_async(wqxsdn_done done, void *data);
IGD1_API void wqxsdn_reconfig_controller_async(wqxsdn_done done, void *data);
// Commit the settings, or the settings and the port bindings: journaled
// under MIB_JOURNAL_SDN with action 1 or 2.  0 on success.
inline constexpr uint64_t MIB_JOURNAL_SDN = uint64_t(1) << 36;
IGD1_API int wqxsdn_save_mib(void);
IGD1_API int wqxsdn_save_mib_all(void);
// The text of a result code, into `buffer` of `size` bytes.
IGD1_API void wqxsdn_geterrdesc(int code, char *buffer, int size);

// ---- speed tests ---------------------------------------------------------------
// Five test kinds, each with settings and the state and results of its last
// run by index.  Starting a test returns at once: the test runs on a worker
// thread and its progress and results reach the store on the main context
// of the thread that started it.  Speed types: 1 download, 2 upload, 3 both;
// results: 0 success, 1 failed or never run, 2 running.  Rates are texts in
// Mbit/s, delays in ms, times "%F %T".  Reads fill a zero-filled buffer
// (texts: 1024 bytes for URLs and the plain result, 900 for the report, 64
// for the ticket, 32 or 16 for rates and times) and return non-zero on
// success.
//
// Plain download test: 0 status (32-bit: 0 never run, 1 running, 2 done, 3
// failed), 1 result text, 2 URL (http or https, the only writable one).  Its
// set returns 0 on success; StartTest returns 0 when the request was handled
// and fills *result: 0 started, 9001 a test is running, 9007 no usable URL.
// wanrate gives the last measured rate in kbit/s.
IGD1_API int httpdownloadtest_get_property(int index, void *buffer);
IGD1_API int httpdownloadtest_set_property(int index, void *value);
IGD1_API int httpdownloadtest_StartTest(uint32_t duration, uint32_t *result);
IGD1_API int httpdownloadtest_wanrate(void);
IGD1_API int httpdownloadtest_interface_init(void);
// Full-featured test: 0 testing (32-bit 0/1), 1 ticket (at most 80
// printable characters, sent as the X-Ticket header; read cut to 63 bytes),
// 2 speed type (byte), 3 URL, 4 result (32-bit), 5-8 download maximum and
// mean, upload maximum and mean rates, 9-10 begin and end, 11-13 maximum,
// minimum and mean delay, 14 delay variation.  StartTest(duration 0-30, 0:
// 10 s) returns non-zero when started; else *result: 1 running, 2 no usable
// URL, 3 no speed type.
IGD1_API int httpdownloadtestff_get_property(int index, void *buffer);
IGD1_API int httpdownloadtestff_set_property(int index, void *value);
IGD1_API int httpdownloadtestff_StartTest(uint32_t duration, uint32_t *result);
IGD1_API int httpdownloadtestff_interface_init(void);
// Local test: 0 enable (32-bit), 1 testing (32-bit), 2 result (32-bit), 3
// speed type, 4 URL (read only), 5-8 rates as above (16 characters), 9-10
// begin and end, 11-12 two free texts of at most 32 characters.  StartTest
// runs 10 s at most; refusals as above, and 4 while not enabled.
IGD1_API int httpdownloadtestlocal_get_property(int index, void *buffer);
IGD1_API int httpdownloadtestlocal_set_property(int index, void *value);
IGD1_API int httpdownloadtestlocal_StartTest(uint32_t duration, uint32_t *result);
IGD1_API int httpdownloadtestlocal_interface_init(void);
// Section test: bytes 0 testing, 1 result, 2 speed mode (1 download, 2
// upload; 0 both, for the multi-section test), 4 protocol (0 http, 1 https),
// 5 streams (1-10); 6 server address or name (at most 45 characters), 7 port
// (32-bit, 1-65535), 8 upload payload per write (32-bit, 1500-9000); 9-11
// maximum, minimum and mean rate.  Multi-section test: 0 testing, 1 result,
// 2 the shared speed mode, 3 report (one line per direction: its rates and
// the rate of each one-second section).  Both measure 10 s at most against
// http(s)://server:port/; StartTest returns non-zero when started, else
// *result: 1 running, 2 no usable server, 3 no speed mode.
IGD1_API int sectionSpeedtest_get_property(int index, void *buffer);
IGD1_API int sectionSpeedtest_set_property(int index, void *value);
IGD1_API int sectionSpeedtest_StartTest(uint32_t *result);
IGD1_API int sectionSpeedtest_interface_init(void);
IGD1_API int sectionSpeedtestMulti_get_property(int index, void *buffer);
IGD1_API int sectionSpeedtestMulti_StartTest(uint32_t *result);
IGD1_API int sectionSpeedtestMulti_interface_init(void);

// ---- device information -------------------------------------------------------
// Index 0-38 as the device information object lists them, 39-41 the network
// access sign (label kind, device model, sign number).  Texts fill the
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
// configuration library: copies private to the calling thread, valid until
// that thread's next call into the same table.  Writing over a node's
// `data` changes nothing stored: a module announces a changed record with
// dbus_mib_update_cfg (which stores it and returns 0 when the store refused
// it, leaving the stored row and every later read as they were).
typedef struct mib_list_node {
  void *data;                  // the row's record
  struct mib_list_node *prev;  // null at the head
  struct mib_list_node *next;  // null at the tail
} mib_list_node;

// The operations of one record table, as the bus modules reach them.  The
// configuration library exports one such value per table
// (`<prefix>_table`); a member a table does not answer is null.
typedef struct mib_table_ops {
  size_t row_size = 0;
  // Re-reads the table.  Non-zero on success.
  int (*update_all)(void) = nullptr;
  // The row carrying `instance` and its position; instance 0 gives the
  // first row, whose `next` links walk the table.
  mib_list_node *(*get_list_by_instnum)(uint32_t instance, uint32_t *index) = nullptr;
  // Inserts a new row, handed over zeroed (with its number when the caller
  // chose one).  Non-zero on success.
  int (*insert_entry)(void *row) = nullptr;
  int (*remove_entry)(uint32_t index, mib_list_node *node) = nullptr;
  int (*save_mib)(void) = nullptr;  // commits the table to flash
  // Instance number of a row (null: `instance_size` bytes at `instance_offset`).
  uint32_t (*instance_of)(const void *row) = nullptr;
  uint16_t instance_offset = 0;
  uint8_t instance_size = 1;  // 1 or 4
  // Tables reached by position (0 to the row count - 1) rather than as
  // lists: the row count and a copy of the row at a position (non-zero on
  // success).  The position is the row index the other functions take.
  int (*row_count)(void) = nullptr;
  int (*row_at)(uint32_t position, void *row) = nullptr;
  // A copy of the row carrying `instance` and its position (non-zero on
  // success), instead of a walk over every position before it.
  int (*find_instance)(uint32_t instance, uint32_t *position, void *row) = nullptr;
  // The number at a position without the row (non-zero on success).
  int (*instance_at)(uint32_t position, uint32_t *instance) = nullptr;
  // Item accessors: text into `output`, text from `value`.
  int (*get_item)(int item, void *output, const void *row) = nullptr;
  int (*set_item)(int item, const void *value, void *row) = nullptr;
  // A working copy of a row, its release, and its storing with the row's
  // index (which may name the reason of a refusal).
  void *(*backup_entry)(const void *row) = nullptr;
  void (*free_backup_entry)(void *copy) = nullptr;
  int (*update_entry)(const void *row, uint32_t index, const char **reason, int flags) = nullptr;
  // Removes every row.  Non-zero on success.
  int (*remove_all)(void) = nullptr;
} mib_table_ops;

// ---- port mappings -------------------------------------------------------------
// Records of PORTMAPPING_ROW_SIZE bytes (layout in dbus_PortMapping.cpp).
enum { PORTMAPPING_ROW_SIZE = 92 };
// Re-reads the table.  Non-zero on success.
IGD1_API int portmapping_update_all(void);
// The table's calls as one value, for the bus modules.
IGD1_API const mib_table_ops portmapping_table;
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

// ---- system commands ----------------------------------------------------------
// Change bits of the system command object (action MIB_ACTION_APPLY).
enum {
  MIB_CFG_TROUBLE_LOCATING = 0x200,    // data: syscmd_trouble_locating_record, answered in place
  MIB_CFG_DEBUG_COLLECTION = 0x400,    // data: syscmd_debug_collection_record
  MIB_CFG_USER_PASSWORD = 0x400000,    // the user account password changed
  MIB_CFG_PLATFORM_SERVICE = 0x1000000,
  MIB_CFG_LINE_REGISTRATION = 0x4000000,  // start the line registration with the stored LOID
};

// Upload of trouble-locating information.  The receiver of the notice runs
// the upload before dbus_mib_update_cfg returns and fills in `error` and
// `result` (0: uploaded).
typedef struct {
  char url[256];       // zero-terminated
  char category[16];   // zero-terminated
  char error[256];     // filled in by the receiver
  int32_t result;      // filled in by the receiver
} syscmd_trouble_locating_record;

// Collection of debug information, uploaded when done.
typedef struct {
  char url[256];
  char category[16];
  uint16_t timeout;    // seconds
} syscmd_debug_collection_record;

#ifdef __cplusplus
static_assert(sizeof(syscmd_trouble_locating_record) == 532, "record layout");
static_assert(sizeof(syscmd_debug_collection_record) == 274, "record layout");
#endif

// Index: 0 upgrade status (byte), 1 upgrade version (text, 256), 2 restore
// status (byte), 3 province (text, 64), 4 memory alarm switch (byte), 5 memory
// limit in percent (byte), 6 LOID, 7 previous LOID, 8 LOID password, 9
// previous LOID password, 10 PON mode (32 bits: 1 GPON, 2 EPON), 12 user
// password, 13 super-user password, 14 keep-previous-LOID flag (byte), 16
// default name of the first SSID (texts 6-16: 64 bytes).
// Reading index 13 with a buffer that holds a text compares it with the
// stored password instead: 1 when equal, 2 when not (the buffer is left
// alone); an empty buffer receives the password.  Non-zero on success.
IGD1_API int syscmd_get_mib_property(int index, void *buffer);
// Writable: 2-9, 12 and 14.  Non-zero on success.
IGD1_API int syscmd_set_mib_property(int index, void *value);
// 1 when the value may be stored at `index`, 0 when not: 4 is 0 or 1, 5 is 1
// to 100, 6 (LOID) 1 to 24 and 8 (LOID password) 0 to 12 printable ASCII
// characters without spaces; any other writable index takes what fits.
IGD1_API int syscmd_set_mib_property_check(int index, void *value);
// Every write is committed when it is made; these fold the write-ahead log
// into the database file.  1 on success.
IGD1_API int syscmd_save_mib(void);
IGD1_API int syscmd_save_mib_all(void);

// Line registration.  checkLOID writes the status text (64 bytes) and returns
// the status code: 401 not registered, 201 and 202 in progress (text: the
// percentage), 200 registered (text: the number of services delivered), 403
// no answer from the line, 404 and 405 LOID password refused (text: the
// number of failed attempts), 410 LOID refused, 205 management server not
// reachable.
IGD1_API int checkLOID(char *text);
// 1 once a registration has completed (until a restore), else 0.
IGD1_API int get_complete_Register(void);
// Non-zero while a registration is running.
IGD1_API int check_Register_Loid(void);

// PON link state of GPON and EPON mode: 1 and 2 mean the line is up.
IGD1_API int DBUS_ifgponstate(void);
IGD1_API int DBUS_ifponstate(void);
// Optics reading `item` (1 temperature, 2 supply voltage, 3 bias current, 4
// transmitted and 5 received optical power in dBm).  Non-zero on success.
IGD1_API int DBUS_poninfo(int item, double *value);

// Device commands.  None of them touches the machine: each is recorded in the
// journal under MIB_JOURNAL_SYSTEM and in the settings it changes.
inline constexpr uint64_t MIB_JOURNAL_SYSTEM = uint64_t(1) << 37;
// The packet engine's flow flushes and marks, which the host passes on.
inline constexpr uint64_t MIB_JOURNAL_HWNAT = uint64_t(1) << 38;
IGD1_API int cmd_reboot(void);
// Restores the defaults at the next start: mode 8 everything, mode 6 (local
// recovery) everything but the line credentials and registration.
IGD1_API int reset_cs_to_default(int mode);
IGD1_API int write_omd_reboot_log(int cause);
IGD1_API int set_hardware_status_flag(int flag);
// Starts a firmware upgrade from `url` (http, https, ftp or tftp).  Returns 0
// when it is refused (bad URL, an upgrade already running), 1 when started.
IGD1_API int UpgradeFirmeare(const char *url, int mode, int method, int needreboot);
// Clears a finished or failed upgrade's status: 0 on success; otherwise 1
// with a reason written to `text` (256 bytes).
IGD1_API int clearUpgradeFirmeareStatus(char *text);
// Uploads the log lines between `start` and `end` ("YYYY-MM-DD HH:MM:SS",
// empty for no bound) to the URL `path`: 0 on success, 1 bad times, 2 bad URL.
IGD1_API int get_log(const char *start, const char *end, const char *path);
// Start-up of the system command service: finishes a restore requested before
// the start and begins watching the upgrade status (changes of UpgradeStatus
// are announced on the bus).  1 on success.
IGD1_API int init_Poll_UpgradeStatus_chg(void);
// Mode 0, at start: the running software version becomes the upgrade version,
// or, when an upgrade finished before the start, the upgraded one runs.
IGD1_API int Syetem_cmd_get_sw_version(int mode);
// Announces the stored value of property `index` (0-5) of the system command
// object on the bus; `mode` 0.  1 when a signal went out.
IGD1_API int syscmd_build_send_signal(int index, int mode);

// ---- platform service ---------------------------------------------------------
// Index 0 application model (byte), 1-4 texts, 5-8 32-bit numbers, 9, 10, 12,
// 13, 15, 16, 18 and 19 texts, 11, 14 and 17 status bytes.  Values pass in a
// zero-filled 256-byte buffer.  Writable: 4-19.  Non-zero on success.
IGD1_API int platformservice_get_mib_property(int index, void *buffer);
IGD1_API int platformservice_set_mib_property(int index, void *value);
// 1 when `text` is a valid value of text property `index`: addresses (4, 13,
// 16, 19) empty, host[:port] or an http/https URL; the version (9) 1 to 32
// letters, digits and . - _; the SSN (10) up to 64 letters, digits and -; the
// error messages (12, 15, 18) printable UTF-8.  0 otherwise.
IGD1_API int platformservice_check_valid_property_value(int index, const char *text);

// ---- Samba server and accounts ------------------------------------------------
// Change bit of the Samba service: the server settings and the account table.
enum { MIB_CFG_SAMBA = 0x100000 };
// Index 0 Enable (one byte, any value; 0 is off), 1 AllowAnonymous (one byte,
// 0 or 1).  Reads fill one byte.  Non-zero on success.
IGD1_API int sambaserverinfo_get_progerty(int index, void *buffer);
// Stores the byte at `value`.  Returns 1 when the stored value changed, 2 when
// it already was that value (nothing written), 0 when refused.
IGD1_API int sambaserverinfo_set_progerty(int index, void *value);
// Applies the server settings to the running service (a notice under
// MIB_CFG_SAMBA, action MIB_ACTION_APPLY).  Non-zero on success.
IGD1_API int sambaserverinfo_set_property_update(void);
// Start-up of the service: re-reads the account table and applies the server
// settings with every account.  Non-zero on success.
IGD1_API int sambaserver_update_all(void);

// Account records of SAMBA_ACCOUNT_ROW_SIZE bytes: byte 0 the instance number,
// then the user name and the password, each a NUL-terminated text of at most
// SAMBA_ACCOUNT_TEXT_MAX characters in SAMBA_ACCOUNT_TEXT_MAX + 1 bytes.
enum {
  SAMBA_ACCOUNT_TEXT_MAX = 30,
  SAMBA_ACCOUNT_USERNAME_OFFSET = 1,
  SAMBA_ACCOUNT_PASSWORD_OFFSET = 32,
  SAMBA_ACCOUNT_ROW_SIZE = 63,
  SAMBA_ACCOUNT_MAX_ROWS = 16,
};
// Re-reads the table.  Non-zero on success.
IGD1_API int sambaAccount_update_all(void);
// The table's calls as one value, for the bus modules.
IGD1_API const mib_table_ops sambaAccount_table;
// The first row (argument 0), or null for an empty table.
IGD1_API mib_list_node *sambaAccount_get_list(int which);
// The instance number the next insertion gets, 0 when the table is full.
IGD1_API uint32_t sambaAccount_get_instnum(void);
// The row of `instance` and, when `index` is not null, its position.
IGD1_API mib_list_node *sambaAccount_get_list_by_instnum(uint32_t instance, uint32_t *index);
// Inserts `row` (null: an account with empty user name and password) under
// the lowest free instance number.  Returns that number, 0 on failure or
// when SAMBA_ACCOUNT_MAX_ROWS rows exist.
IGD1_API uint32_t sambaAccount_insert_entry(const void *row);
// Removes the row at position `index` (`node` is that row).  Non-zero on success.
IGD1_API int sambaAccount_remove_entry(uint32_t index, mib_list_node *node);
// Field `index` (0 user name, 1 password) of the record `row`: copied as
// text into `buffer` (SAMBA_ACCOUNT_TEXT_MAX + 1 bytes), or set from the
// NUL-terminated text `value`, which is refused beyond SAMBA_ACCOUNT_TEXT_MAX
// characters.  Neither touches the table.  Non-zero on success.
IGD1_API int sambaAccount_get_mib_property(int index, void *buffer, const void *row);
IGD1_API int sambaAccount_set_mib_property(int index, const void *value, void *row);
// A working copy of a record, and its release.  Null when out of memory.
IGD1_API void *sambaAccount_backup_entry(const void *row);
IGD1_API void sambaAccount_free_backup_entry(void *copy);
// Stores `row` over the row at position `index` (same instance number) and
// applies it (a notice under MIB_CFG_SAMBA, action: the position).  `flags`
// is 0.  Returns 0 on refusal with *reason (when not null) pointing to a text
// owned by the library until the next call on the same thread: the row is
// gone, or another account already has the user name.
IGD1_API int sambaAccount_update_entry(const void *row, uint32_t index, const char **reason,
                                       int flags);
// Commits the table.  Non-zero on success.
IGD1_API int sambaAccount_save_mib(void);

// ---- Telnet server and account ------------------------------------------------
// Change bit of the Telnet service.
enum { MIB_CFG_TELNET = 0x200000 };
// Access modes of the remote-login services (Telnet and FTP Enable).
enum {
  MIB_ACCESS_OFF = 0,
  MIB_ACCESS_LAN = 1,
  MIB_ACCESS_WAN = 2,
  MIB_ACCESS_LAN_WAN = 3,
};
// Index 0: the Telnet access mode, one byte (MIB_ACCESS_*).  Non-zero on success.
IGD1_API int telnetserverinfo_get_property(int index, void *buffer);
// Writes a field of the remote-access table; only index 3, the Telnet access
// mode (one byte, MIB_ACCESS_*), is served.  `flags` is 0.  Non-zero on success.
IGD1_API int telnetserverinfo_set_property(int index, void *value, int flags);
// Applies access mode `enable` to the service (a notice under MIB_CFG_TELNET,
// action MIB_ACTION_APPLY, data "Enable=N").  Non-zero on success.
IGD1_API int telnetserverinfo_set_property_update(int enable);
// The one Telnet login: 0 its user name, 1 its password.  The text is owned
// by the library and stays valid until the next call with the same `which`
// on the same thread; null on failure.
IGD1_API const char *telnetaccount_get_info(int which);

// ---- FTP server and accounts --------------------------------------------------
// Change bit of the FTP service: server settings and account table.
enum { MIB_CFG_FTP = 0x2000000 };
// Index 0 Enable (one byte, MIB_ACCESS_*), 1 AllowAnonymous (one byte, 0 or
// 1).  Reads fill one byte.  Non-zero on success.
IGD1_API int ftpserverinfo_get_property(int index, void *buffer);
// Stores the byte at `value`; Enable above MIB_ACCESS_LAN_WAN is refused.
// Non-zero on success.
IGD1_API int ftpserverinfo_set_property(int index, void *value);
// Applies the server settings: `which` 1 names `enable`, 2 `anonymous` as the
// value that changed (a notice under MIB_CFG_FTP, action MIB_ACTION_APPLY,
// data "Enable=N" or "AllowAnonymous=N").  Non-zero on success.
IGD1_API int ftpserverinfo_set_property_update(int enable, int anonymous, int which);

// One FTP account as the accessors exchange it.  Each text field holds a
// NUL-terminated text of at most FTP_ACCOUNT_FIELD_SIZE - 1 characters.
enum { FTP_ACCOUNT_FIELD_SIZE = 30, FTP_ACCOUNT_MAX_ROWS = 6 };
typedef struct {
  char username[FTP_ACCOUNT_FIELD_SIZE];
  char password[FTP_ACCOUNT_FIELD_SIZE];
  uint32_t instnum;  // 1-255, chosen by the caller of ftpaccount_set_account
} ftp_account_row;
// Rows are addressed by position, 0 to the row count - 1 (the default account
// included); the positions after a removed row move up by one.
// Index 0: the row count.  -1 on failure.
IGD1_API int ftpaccountinfo_get_property(int index);
// Index 4: removes the row at `position`; `row` must carry its instance
// number.  Returns 1 on success, 0 otherwise.
IGD1_API int ftpaccountinfo_set_property(int index, const ftp_account_row *row, int position);
// The instance number of the row at `position`, 0 when there is none.
IGD1_API uint32_t ftpaccount_getindex(int position);
// Copies the row at `position` into `row` and its instance number into
// *instance; non-zero when that number is `candidate`.
IGD1_API int ftpaccount_compare_index(ftp_account_row *row, int position, uint32_t *instance,
                                      uint32_t candidate);
// Adds `row` as a new account with instance number `instance` (also written
// to row->instnum).  Refused (0) when FTP_ACCOUNT_MAX_ROWS rows exist, when
// another row has that number, or when a text field is not terminated.
IGD1_API int ftpaccount_set_account(ftp_account_row *row, uint32_t instance);
// Copies the row at `position` into `row` and its instance number into
// *instance.  Non-zero on success.
IGD1_API int ftpaccount_get_account(ftp_account_row *row, uint32_t *instance, int position);
// The row carrying `instance`, and its position.  Non-zero when found.
IGD1_API int ftpaccount_getuserinfo(uint32_t instance, ftp_account_row *row, int *position);
// The row at `position` (its instance number in row->instnum).  Non-zero on success.
IGD1_API int ftpaccount_getuserinfo2(ftp_account_row *row, int position);
// 1 when `text` may become field `which` (0 user name, 1 password) of the
// row at `position`: 1 to FTP_ACCOUNT_FIELD_SIZE - 1 printable ASCII
// characters without blanks, never containing "invalid" (the mark of a
// placeholder); a user name also of letters, digits and . _ - only, and not
// the name of another row.  0 otherwise.
IGD1_API int ftpaccount_set_property_check(int which, const char *text, int position);
// Stores `row` over the row at `position` (same instance number).  Non-zero on success.
IGD1_API int ftpaccount_update_account(const ftp_account_row *row, int position);
// The default account, which stands in the table while no user account
// exists: added under the lowest free instance number with the name and
// password of the settings ftp.DefaultUserName and ftp.DefaultPassword
// (1 also when it is already there), and removed again (0 when it is not
// there).  Its row is an ordinary row for every other accessor.
IGD1_API int ftpaccount_add_default(void);
IGD1_API int ftpaccount_delete_default(void);
// The position of the default account, -1 when it does not stand in the
// table.  The mark is stored with the row, so it holds across restarts.
IGD1_API int ftpaccount_default_position(void);

// ---- bridge data access list ----------------------------------------------------
// Rules that let given traffic pass over the bridged data path.  Records of
// BRIDGE_DATA_ACL_ROW_SIZE bytes: byte 0 the instance number, then three
// NUL-terminated texts: the address (IPv4 or IPv6), the port (1 to 65535,
// decimal) and the protocol (TCP, UDP, ICMP or ALL).  A new rule has all
// three empty.  Applying the list is recorded under MIB_CFG_BRIDGE_DATA_ACL.
enum {
  MIB_CFG_BRIDGE_DATA_ACL = 0x8000000,
  BRIDGE_DATA_ACL_IP_OFFSET = 1,
  BRIDGE_DATA_ACL_IP_SIZE = 46,
  BRIDGE_DATA_ACL_PORT_OFFSET = 47,
  BRIDGE_DATA_ACL_PORT_SIZE = 6,
  BRIDGE_DATA_ACL_PROTOCOL_OFFSET = 53,
  BRIDGE_DATA_ACL_PROTOCOL_SIZE = 8,
  BRIDGE_DATA_ACL_ROW_SIZE = 64,
  BRIDGE_DATA_ACL_MAX_ROWS = 255,
};
// Re-reads the table.  Non-zero on success.
IGD1_API int BridgeDataAcl_init(void);
// The table's calls as one value, for the bus modules.
IGD1_API const mib_table_ops BridgeDataAcl_table;
// The row of `instance` and, when `index` is not null, its position;
// instance 0 gives the first row.  Null when there is none.
IGD1_API mib_list_node *BridgeDataAcl_get_list_by_instnum(uint32_t instance, uint32_t *index);
IGD1_API uint32_t BridgeDataAclList_get_instnum(const void *row);
// Item 0 address, 1 port, 2 protocol of the record `row`: copied as text into
// `output` (at least BRIDGE_DATA_ACL_IP_SIZE bytes), or checked and set from
// the text `value`.  A value the rules above refuse leaves the record as it
// was.  Neither touches the table.  Non-zero on success.
IGD1_API int BridgeDataAcl_get_mib_property(int item, void *output, const void *row);
IGD1_API int BridgeDataAcl_set_mib_property(int item, const void *value, void *row);
// A working copy of a record, and its release.  Null when out of memory.
IGD1_API void *BridgeDataAcl_backup_entry(const void *row);
IGD1_API void BridgeDataAcl_free_backup_entry(void *copy);
// Stores the copy over the row of the same instance number.  Non-zero on success.
IGD1_API int BridgeDataAcl_update_entry_mib(const void *copy);
// Inserts `row` under the lowest free instance number (written to byte 0).
IGD1_API int BridgeDataAcl_insert_entry(void *row);
// Removes the row at position `index` (`node` is that row).  Non-zero on success.
IGD1_API int BridgeDataAcl_remove_entry(uint32_t index, mib_list_node *node);
// Applies the whole list to the bridge.  Non-zero on success.
IGD1_API int BridgeDataAcl_apply_change(void);

// ---- DNS servers ----------------------------------------------------------------
enum { MIB_CFG_DNS = 0x8000 };
// The servers of one address family as one record: index 0 IPv4, 1 IPv6.
// Each field is a NUL-terminated text of at most 46 characters.
typedef struct {
  char server1[47];
  char server2[47];
} dnsserver_record;
// Fills *record; non-zero on success.
IGD1_API int dnsserver_get_mib_property(int index, void *record);
// Stores a whole record: 1 stored, 0 a field that is not an address of the
// index's family (nothing stored), 2 the store failed.
IGD1_API int dnsserver_set_mib_property(int index, void *record);
// Makes the DNS relay read its servers again; 1 on success.
IGD1_API int reloadDnsRelay(void);

// ---- IPv6 on the home network ---------------------------------------------------
// LAN configuration: 0 own address, 1 DNS source ("WANConnection" or
// "Static"), 2 WAN connection of the DNS servers, 3 static DNS servers
// (addresses separated by commas), 4 prefix source ("WANDelegated" or
// "Static"), 5 delegating WAN connection, 6 static prefix (address/length),
// 7 preferred and 8 valid lifetime (32-bit seconds).  Texts fill 64 bytes,
// the servers 256.  Writes take the same forms and are checked: a value of
// the wrong form, or a preferred lifetime above the valid one, is refused.
IGD1_API int IPV6LANConfig_get_mib_property(int index, void *buffer);
IGD1_API int IPV6LANConfig_set_mib_property(int index, void *value);
// DHCPv6 server: 0 enable (one byte), 1 and 2 pool bounds (texts of at most
// 46 characters: an IPv6 address or an interface identifier such as ::2),
// 3 preferred and 4 valid lifetime (32 bits), 5 and 6 options 16 and 17
// (one byte each).
IGD1_API int DHCPV6Server_get_mib_property(int index, void *buffer);
IGD1_API int DHCPV6Server_set_mib_property(int index, void *value);
// Router advertisement: 0 enable (one byte), 1 maximum interval 4-1800 s and
// 2 minimum interval 3 s to three quarters of the maximum (32 bits), 3
// managed and 4 other-configuration flag (one byte each).
IGD1_API int RouterAdvertisement_get_mib_property(int index, void *buffer);
IGD1_API int RouterAdvertisement_set_mib_property(int index, void *value);
#include "mib_qos.h"  // the quality-of-service tables
#include "mib_timers.h"  // the sleep and WiFi timers
#include "mib_wlan.h"  // the wireless networks and their WPS settings
