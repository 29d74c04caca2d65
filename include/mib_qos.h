// What the quality-of-service modules call in the configuration library:
// the QoS settings, and the tables of classifications (each with its own
// table of match types), priority queues and applications.
//
// Every call returns non-zero on success.  Values are checked here before
// anything is stored, since they feed the traffic classifier: numbers
// against their ranges, match bounds against the kind of match (addresses,
// ports, MAC addresses, marks), protocol lists against the known protocols.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "igd1_export.h"
#include "mib_api.h"

enum {
  // Applying the QoS configuration records a notice under this bit, with
  // what was applied as its text.
  MIB_CFG_QOS = 0x80000,

  // Record buffers handed to the insert calls; the first bytes of every
  // record hold its instance number (32 bits for a classification and a
  // queue, one byte for an application).
  QOS_CLASSIFICATION_ROW_SIZE = 416,
  QOS_PRIORITY_QUEUE_ROW_SIZE = 54,
  QOS_APP_ROW_SIZE = 6,
  // Match types are rows of their own table, nested under their
  // classification: the classification's number sits at this offset.
  QOS_TYPE_PARENT_OFFSET = 4,

  QOS_MAX_CLASSIFICATIONS = 32,
  QOS_MAX_TYPES = 16,  // per classification
  QOS_MAX_QUEUES = 8,
  QOS_MAX_APPS = 32,
};

// The QoS object: 0 Mode (text, 64 bytes), 1 Enable (one byte), 2 Bandwidth
// (32 bits, kbit/s), 3 Plan (text, 32 bytes: "priority", "weight", "car"),
// 4 EnableForceWeight, 5 EnableDSCPMark (one byte each), 6 Enable8021P
// (read as one byte, written as 32 bits: 0 off, 1 keep, 2 remark).
IGD1_API int QoS_init(void);
IGD1_API int QoS_get_mib_property(int item, void *output);
IGD1_API int QoS_set_mib_property(int item, void *value);
// Applies the whole QoS configuration (journalled with what was applied).
IGD1_API int QoS_apply_change(void);

// Classifications: 0 ClassQueue (1 to QOS_MAX_QUEUES), 1 DSCPMarkValue
// (0 to 63), 2 VLAN8021PValue (0 to 7), each 32 bits.
IGD1_API int QoSClassification_init(void);
// The table's calls as one value, for the bus modules.
IGD1_API const mib_table_ops QoSClassification_table;
IGD1_API mib_list_node *QoSClassification_get_list_by_instnum(uint32_t instance, uint32_t *position);
IGD1_API uint32_t QoSClassificationList_get_instnum(const void *record);
IGD1_API int QoSClassification_get_mib_property(int item, void *output, const void *record);
IGD1_API int QoSClassification_set_mib_property(int item, const void *value, void *record);
// A working copy of a classification, its match types included.
IGD1_API void *QoSClassification_backup_entry(const void *record);
IGD1_API void QoSClassification_free_backup_entry(void *copy);
// Stores a working copy: the classification and every match type changed in
// it, after checking each type's bounds against its kind.
IGD1_API int QoSClassification_update_entry_mib(const void *copy);
IGD1_API int QoSClassification_insert_entry(void *record);
// Removes the classification at `position` with its match types.
IGD1_API int QoSClassification_remove_entry(uint32_t position, mib_list_node *node);

// Match types of a classification (`record` is the classification's record
// or working copy): 0 Type (text, 64 bytes: SMAC, DMAC, SIP, DIP, SPORT,
// DPORT, DSCP, TOS, 8021P, ETHERTYPE, LANInterface, WANInterface), 1 Max and
// 2 Min (text, 512 bytes each), 3 ProtocolList (text, 32 bytes: TCP, UDP,
// ICMP, RTP, ALL joined by ",").
IGD1_API int QoSClassificationType_get_mib_property(int item, const void *record, uint32_t type,
                                                    void *output);
IGD1_API int QoSClassificationType_set_mib_property(int item, void *record, uint32_t type,
                                                    const void *value);
IGD1_API int QoSClassificationType_insert_entry(void *record, uint32_t classification,
                                                uint32_t *type);
IGD1_API int QoSClassificationType_remove_entry(void *record, uint32_t classification,
                                                uint32_t type);
// Reports every match type of `classification` to the host as inserted, so
// that a new type manager publishes them.
IGD1_API int QoSClassificationType_init_entry(void *record, uint32_t classification);

// Priority queues: 0 Enable (one byte), 1 Priority (32 bits, 1 to 8),
// 2 Weight (32 bits, 0 to 100 percent), 3 Car (32 bits signed, kbit/s, -1
// for no limit).
IGD1_API int QoSPriorityQueue_init(void);
// The table's calls as one value, for the bus modules.
IGD1_API const mib_table_ops QoSPriorityQueue_table;
IGD1_API mib_list_node *QoSPriorityQueue_get_list_by_instnum(uint32_t instance, uint32_t *position);
IGD1_API uint32_t QoSPriorityQueueList_get_instnum(const void *record);
IGD1_API void *QoSPriorityQueue_backup_entry(const void *record);
IGD1_API void QoSPriorityQueue_free_backup_entry(void *copy);
IGD1_API int QoSPriorityQueue_update_entry_mib(const void *copy);
IGD1_API int QoSPriorityQueue_insert_entry(void *record);
IGD1_API int QoSPriorityQueue_remove_entry(uint32_t position, mib_list_node *node);

// Applications: 0 AppName (text, 17 bytes, at most 16 characters),
// 1 ClassQueue (32 bits, 1 to QOS_MAX_QUEUES).
IGD1_API int QoSApp_init(void);
// The table's calls as one value, for the bus modules.
IGD1_API const mib_table_ops QoSApp_table;
IGD1_API mib_list_node *QoSApp_get_list_by_instnum(uint32_t instance, uint32_t *position);
IGD1_API uint32_t QoSAppList_get_instnum(const void *record);
IGD1_API void *QoSApp_backup_entry(const void *record);
IGD1_API void QoSApp_free_backup_entry(void *copy);
IGD1_API int QoSApp_update_entry_mib(const void *copy);
IGD1_API int QoSApp_insert_entry(void *record);
IGD1_API int QoSApp_remove_entry(uint32_t position, mib_list_node *node);
