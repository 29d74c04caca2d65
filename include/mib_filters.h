// What the module library calls in the configuration library for the access
// filters (DNS, URL, MAC block and white lists, application filters and
// routes) and the hardware-acceleration cancel rules.
#pragma once

#include <stdint.h>

#include <glib.h>

#include "igd1_export.h"
#include "mib_api.h"

// Journal bits: every stored (applied) filter row, save and list action is
// recorded under the first; hardware-acceleration rules, switches and
// flushes under the second.
enum { MIB_CFG_FILTERS = 0x800000, MIB_CFG_HARDACC = 0x100 };

// ---- record layouts ------------------------------------------------------------
// Every record starts with its instance number (one byte, 1-255).  Texts are
// NUL-terminated within their field; a list is its entries joined with ';'
// in a field of FILTER_LIST_SIZE bytes (1,024 characters), except the lists
// of the application filters and routes, whose fields hold their most
// entries at their longest: 256 domains of up to 255 characters
// ("*." and 253), 2,048 destinations of up to 49 ("<IPv6 text>/128") and
// 2,048 MAC texts of 17 (a list method takes as many entries of any list),
// each followed by its ';' or the terminator.
enum {
  FILTER_LIST_SIZE = 1025,
  FILTER_DOMAIN_LIST_SIZE = 256 * 256,
  FILTER_DESTINATION_LIST_SIZE = 2048 * 50,
  FILTER_MAC_LIST_SIZE = 2048 * 18,
  FILTER_NAME_SIZE = 64,
  FILTER_WEEKDAYS_SIZE = 33,
  FILTER_TIME_SIZE = 65,
  FILTER_MAC_TEXT_SIZE = 18,

  // DNS filter: 1 Enable, 2 Action, 3 Mode, 4 BlockedTimes (u32), 8 Name,
  // 72 Hostname (256), 328 MAC (13), 341 WeekDays, 374 Time, 439 HostNameList.
  DNSFILTER_ROW_SIZE = 1464,
  // URL filter: 1 Enable, 2 Mode, 4 BlockedTimes, 8 URL (256), 264 MAC (512),
  // 776 Name, 840 WeekDays, 873 Time, 938 URLList.
  URLFILTER_ROW_SIZE = 1964,
  // MAC block list: 4 BlockedTimes, 8 MAC text, 26 Name.
  MACBLOCKLIST_ROW_SIZE = 92,
  // MAC white list: 1 MAC text, 19 Name.
  MACWHITELIST_ROW_SIZE = 84,
  // Application filter: 1 Enable, 2 Mode, 3 DomainAction, 4 DestIPAction,
  // 5 SignalEnable, 8 BlockedTimes, 12 AppId (33), 45 Name, 109 WeekDays,
  // 142 Time, then DomainList, DestIPList and MACList.
  APPFILTER_DOMAIN_LIST_AT = 207,
  APPFILTER_DESTINATION_LIST_AT = APPFILTER_DOMAIN_LIST_AT + FILTER_DOMAIN_LIST_SIZE,
  APPFILTER_MAC_LIST_AT = APPFILTER_DESTINATION_LIST_AT + FILTER_DESTINATION_LIST_SIZE,
  APPFILTER_ROW_SIZE = APPFILTER_MAC_LIST_AT + FILTER_MAC_LIST_SIZE,
  // Application route: 1 Enable, 2 MatchType, 3 DSCPMarkValue_UP,
  // 4 DSCPMarkValue_DOWN, 5 AppId (33), 38 Name, 102 IfName (33), then
  // DomainList, DestIPList and MACList.
  APPROUTE_DOMAIN_LIST_AT = 135,
  APPROUTE_DESTINATION_LIST_AT = APPROUTE_DOMAIN_LIST_AT + FILTER_DOMAIN_LIST_SIZE,
  APPROUTE_MAC_LIST_AT = APPROUTE_DESTINATION_LIST_AT + FILTER_DESTINATION_LIST_SIZE,
  APPROUTE_ROW_SIZE = APPROUTE_MAC_LIST_AT + FILTER_MAC_LIST_SIZE,
};

// The six tables share one set of calls, under the prefixes dnsfilter,
// urlfilter, macblocklist, macwhitelist, appfilter and AppRoute:
//   <p>_update_all()                      re-reads the table; non-zero on success
//   <p>_get_list(0)                       the first row, or null
//   <p>_get_list_by_instnum(N, &position) the row of N and its position, or null
//   <p>_get_instnum(record)               the record's instance number
//   <p>_backup_entry(record)              a working copy (free with the next call)
//   <p>_free_backup_entry(copy)
//   <p>_update_entry(copy, position, &message, flags)
//                                         checks the copy (addresses, MACs, lists,
//                                         schedule), stores and applies it; 0 with a
//                                         reason on refusal
//   <p>_insert_entry(record)              a zeroed row under the lowest free number,
//                                         written into `record` when given; returns
//                                         that number, 0 when full or failing
//   <p>_remove_entry(position, node)      non-zero on success
//   <p>_save_mib()                        commits the table to flash
//   <p>_commit_count()                    how many commits the table has seen,
//                                         by any process using the store
//   <p>_table                             these calls as the table's operations
namespace igd1::filter_table {
using UpdateAll = int(void);
using GetList = mib_list_node *(int which);
using GetListByInstance = mib_list_node *(uint32_t instance, uint32_t *position);
using GetInstance = uint32_t(const void *record);
using BackupEntry = void *(const void *record);
using FreeBackupEntry = void(void *copy);
using UpdateEntry = int(const void *copy, uint32_t position, const char **message, int flags);
using InsertEntry = int(void *record);
using RemoveEntry = int(uint32_t position, mib_list_node *node);
using SaveMib = int(void);
using CommitCount = uint64_t(void);
}  // namespace igd1::filter_table

IGD1_API igd1::filter_table::UpdateAll dnsfilter_update_all, urlfilter_update_all,
    macblocklist_update_all, macwhitelist_update_all, appfilter_update_all, AppRoute_update_all;
IGD1_API igd1::filter_table::GetList dnsfilter_get_list, urlfilter_get_list, macblocklist_get_list,
    macwhitelist_get_list, appfilter_get_list, AppRoute_get_list;
IGD1_API igd1::filter_table::GetListByInstance dnsfilter_get_list_by_instnum,
    urlfilter_get_list_by_instnum, macblocklist_get_list_by_instnum,
    macwhitelist_get_list_by_instnum, appfilter_get_list_by_instnum, AppRoute_get_list_by_instnum;
IGD1_API igd1::filter_table::GetInstance dnsfilter_get_instnum, urlfilter_get_instnum,
    macblocklist_get_instnum, macwhitelist_get_instnum, appfilter_get_instnum,
    AppRoute_get_instnum;
IGD1_API igd1::filter_table::BackupEntry dnsfilter_backup_entry, urlfilter_backup_entry,
    macblocklist_backup_entry, macwhitelist_backup_entry, appfilter_backup_entry,
    AppRoute_backup_entry;
IGD1_API igd1::filter_table::FreeBackupEntry dnsfilter_free_backup_entry,
    urlfilter_free_backup_entry, macblocklist_free_backup_entry, macwhitelist_free_backup_entry,
    appfilter_free_backup_entry, AppRoute_free_backup_entry;
IGD1_API igd1::filter_table::UpdateEntry dnsfilter_update_entry, urlfilter_update_entry,
    macblocklist_update_entry, macwhitelist_update_entry, appfilter_update_entry,
    AppRoute_update_entry;
IGD1_API igd1::filter_table::InsertEntry dnsfilter_insert_entry, urlfilter_insert_entry,
    macblocklist_insert_entry, macwhitelist_insert_entry, appfilter_insert_entry,
    AppRoute_insert_entry;
IGD1_API igd1::filter_table::RemoveEntry dnsfilter_remove_entry, urlfilter_remove_entry,
    macblocklist_remove_entry, macwhitelist_remove_entry, appfilter_remove_entry,
    AppRoute_remove_entry;
IGD1_API igd1::filter_table::SaveMib dnsfilter_save_mib, urlfilter_save_mib, macblocklist_save_mib,
    macwhitelist_save_mib, appfilter_save_mib, AppRoute_save_mib;
IGD1_API igd1::filter_table::CommitCount dnsfilter_commit_count, urlfilter_commit_count,
    macblocklist_commit_count, macwhitelist_commit_count, appfilter_commit_count,
    AppRoute_commit_count;
IGD1_API const mib_table_ops dnsfilter_table, urlfilter_table, macblocklist_table,
    macwhitelist_table, appfilter_table, AppRoute_table;

// Removes every application filter (route); non-zero on success.
IGD1_API int AppFilter_remove_objects(void);
IGD1_API int AppRoute_remove_objects(void);
// Hands the entries a list method added (action 0) or removed (action 1) to
// the running filter (route) of list `type` (0 DestIPList, 1 DomainList,
// 2 MACList); non-zero on success.
IGD1_API int appfilter_handle_action_entry(int type, int action, gchar **entries);
IGD1_API int AppRoute_handle_action_entry(int type, int action, gchar **entries);

// A schedule time text: "" (all day) or windows "HH:MM-HH:MM" joined by ','.
IGD1_API int isValidTime(const char *text);

// ---- hardware-acceleration cancel ------------------------------------------------
// Every call here returns 0 on success (HardAccCancel_insert_entry excepted).
//
// Rule records: 0 instance, 4 Enable, 8 SrcPort (u32), 12 DestPort (u32),
// 16 Index (33), 49 SrcAddress (46), 95 DestAddress (46), 141 Protocol (8).
enum {
  HARDACC_ROW_SIZE = 152,
  HARDACC_MAX_ROWS = 64,
  HARDACC_ADDRESS_SIZE = 46,
};
// Manager items: 1 Enable (1 byte), 2 HACancelListNumber (4 bytes, read
// only: the rules stored), 3 HACancelMaxNumber (4 bytes, 1-64).
IGD1_API int HardAccCancelManager_get_mib_property(int item, void *out, int width);
IGD1_API int HardAccCancelManager_set_mib_property(int item, const void *value, int width);
// Applies the switch and the limit.
IGD1_API int HardAccCancelManager_update_entry(void);
// Rule items: 1 Index, 2 Enable, 3 SrcAddress, 4 SrcPort, 5 DestAddress,
// 6 DestPort, 7 Protocol.  Width 8: a text, read as a pointer to the
// record's own text (`out` receives a const char *) and written from the
// caller's text; 1: a byte 0 or 1; 4: a 32-bit number.
IGD1_API int HardAccCancel_get_mib_property(int item, void *out, int width, const void *record);
IGD1_API int HardAccCancel_set_mib_property(int item, const void *value, int width, void *record);
IGD1_API int HardAccCancel_update_all(void);
IGD1_API mib_list_node *HardAccCancel_get_list(int which);
IGD1_API mib_list_node *HardAccCancel_get_list_by_instnum(uint32_t instance, uint32_t *position);
IGD1_API uint32_t HardAccCancel_get_instnum(const void *record);
IGD1_API int HardAccCancel_backup_entry(const void *record, void **copy);
IGD1_API void HardAccCancel_free_backup_entry(void **copy);
// Checks and stores a rule, then applies it; non-zero with a reason in
// *message on refusal.
IGD1_API int HardAccCancel_update_entry(const void *copy, uint32_t position, const char **message);
// A new empty rule: its instance number, 0 when the table is full or failing.
IGD1_API int HardAccCancel_insert_entry(int unused);
IGD1_API int HardAccCancel_remove_entry(uint32_t position, mib_list_node *node);
IGD1_API int HardAccCancel_save_mib(void);
// These calls as the table's operations (non-zero on success), for the bus
// modules.
IGD1_API const mib_table_ops HardAccCancel_table;
// Flushes the accelerated flows of one connection (source address and port,
// destination address and port, protocol), or every flow.
IGD1_API int HardAccCancel_handle_flush_flow(const char *src, uint32_t src_port, const char *dest,
                                             uint32_t dest_port, const char *protocol);
IGD1_API int HardAccCancel_handle_flush_all_flow(void);
