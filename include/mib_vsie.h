// What the module library and the host call in the configuration library for
// the vendor-specific information elements: the elements added to beacons
// and to probe responses, the filters that capture elements of received
// probe requests, and the records they captured.  Each table hands its rows
// out as mib_list_node chains of the records below (byte 0: the instance
// number).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "igd1_export.h"
#include "mib_api.h"

enum {
  VSIE_MAX_TX_ROWS = 16,
  VSIE_MAX_FILTERS = 8,
  VSIE_MAX_RECORDS = 64,   // per filter
  VSIE_MAX_SSID_INDEX = 8,
  VSIE_OUI_SIZE = 7,       // six hex digits
  VSIE_DATA_SIZE = 505,    // 504 hex digits: 252 octets after the OUI fill the element's 255
  VSIE_MAC_SIZE = 13,      // twelve hex digits
  VSIE_TIME_SIZE = 21,     // "2026-12-07T01:02:03Z"
};
enum { VSIE_BAND_24G = 1, VSIE_BAND_5G = 2, VSIE_BAND_ALL = 3 };
// Change bit of dbus_mib_update_cfg for the elements of beacons and of
// probe responses (data: the frame and its enabled elements, see vsieTx_apply).
enum { MIB_CFG_VSIE = 0x10 };

typedef struct vsie_tx_row {
  uint8_t instance;
  uint8_t enable;
  uint8_t band;                   // VSIE_BAND_*
  uint8_t reserved;
  uint32_t ssid_index;            // 0: every SSID of the band, else 1 to 8
  char oui[VSIE_OUI_SIZE];        // upper-case hex digits
  char data[VSIE_DATA_SIZE];      // upper-case hex digits, an even number
} vsie_tx_row;

typedef struct vsie_filter_row {
  uint8_t instance;
  uint8_t enable;
  uint8_t band;                   // VSIE_BAND_*
  uint8_t reserved;
  uint32_t max_records;           // 1 to VSIE_MAX_RECORDS
  char oui[VSIE_OUI_SIZE];
} vsie_filter_row;

typedef struct vsie_record_row {
  uint8_t instance;               // its number under its filter
  uint8_t band;                   // VSIE_BAND_24G or VSIE_BAND_5G
  uint8_t reserved[2];
  uint32_t filter;                // the filter's instance number
  int32_t rssi;                   // dBm
  uint32_t channel;
  char mac[VSIE_MAC_SIZE];        // upper-case hex digits
  char time[VSIE_TIME_SIZE];      // UTC, ISO 8601
  char data[VSIE_DATA_SIZE];      // the element's content after the OUI, upper-case hex
} vsie_record_row;
#define VSIE_RECORD_FILTER_OFFSET offsetof(vsie_record_row, filter)

// Which table of transmitted elements a call names.
typedef enum { VSIE_BEACON = 0, VSIE_PROBE_RESPONSE = 1 } vsie_frame;

// Transmitted elements: a table per frame, its calls as one value each, for
// the bus modules, and its row count.
IGD1_API const mib_table_ops vsieTx_beacon_table, vsieTx_probe_response_table;
IGD1_API int vsieTx_get_list_totalnum(vsie_frame frame);
// Hands the enabled elements of `frame` to the radios, journalled as
// "beacon " or "probe-response " and the bytes each element adds.  Non-zero
// on success.
IGD1_API int vsieTx_apply(vsie_frame frame);

// Capture filters.  Removing a filter removes its records.  Their calls as
// one value, for the bus modules.
IGD1_API const mib_table_ops probeRxVSIE_table;
IGD1_API int probeRxVSIE_get_list_totalnum(void);
IGD1_API int probeRxVSIE_insert_entry(void *row);
IGD1_API int probeRxVSIE_remove_entry(uint32_t index, mib_list_node *node);
// Stores a filter; a lower MaxRecords drops its oldest records.
IGD1_API int probeRxVSIE_update_entry(const void *row, uint32_t instance);

// Records, reached by their filter's number and their own and held in
// memory only (they are gone after a restart): the items of a record (texts
// for MAC, band, time and data, 32-bit numbers for RSSI and channel).
enum {
  VSIE_RECORD_MAC = 0,
  VSIE_RECORD_RSSI = 1,
  VSIE_RECORD_BAND = 2,
  VSIE_RECORD_CHANNEL = 3,
  VSIE_RECORD_TIME = 4,
  VSIE_RECORD_DATA = 5,
};
IGD1_API int probeRxVSIERecord_get_item(int item, uint32_t filter, uint32_t record, void *output);
IGD1_API int probeRxVSIERecord_count(uint32_t filter);
IGD1_API int probeRxVSIERecord_remove(uint32_t filter, uint32_t record);
// Reports every record of `filter` to the record callbacks.
IGD1_API int probeRxVSIERecord_announce(uint32_t filter);
// Lets go of the records of `filter` without reporting them (their objects
// went with the filter's record manager).
IGD1_API void probeRxVSIERecord_forget(uint32_t filter);

// A probe request heard on `band` carrying an element of `oui` with `data`
// (hex digits, any case): kept by every enabled filter of that band (or of
// both) and OUI, the oldest record of a full filter going first.  Returns
// the number of filters that kept it, or -1 when an argument is not fit.
// Any thread; the record callbacks learn of every record kept or dropped.
IGD1_API int probeRxVSIE_capture(const uint8_t mac[6], uint32_t band, uint32_t channel,
                                 int32_t rssi, const char *oui, const char *data);
