// What the WiFi information, band-steering, roaming and station objects call
// in the configuration library.  Every value comes from the radios or from
// the store's settings; changes are recorded under MIB_CFG_WIFI_INFO.
#pragma once

#include <stdint.h>

#include "igd1_export.h"

enum { MIB_CFG_WIFI_INFO = 0x20000000 };

// ---- radio operations ----------------------------------------------------------------
// Runs the radios' control program with `operation` and `argument` (may be
// null) and returns at once; `done` runs on the main loop once the program
// ended (ok 1 when it succeeded).  The operation itself is then made by the
// call of the object that asked for it.
typedef void (*wifi_radio_done)(int ok, void *data);
IGD1_API void wifi_radio_run(const char *operation, const char *argument, wifi_radio_done done,
                             void *data);

// ---- stations ------------------------------------------------------------------------
// A station as the store reports it.  `number` names its object and stays
// the station's while it is associated.
typedef struct sta_info_record {
  uint32_t number;
  uint8_t mac[6];
  uint8_t bssid[6];
  uint32_t ssid;
  uint32_t channel;
  uint32_t bss_transition;
  uint32_t beacon_report;
  int32_t rssi;
} sta_info_record;

// 1 when the radios answer.
IGD1_API int STAInfo_list_init(void);
// Associated stations, and the one at a position (in number order).
IGD1_API int STAInfo_dbus_num(void);
IGD1_API int STAInfo_entry_at(uint32_t position, sta_info_record *record);
// The station with `number` and its position; 0 when none has it.
IGD1_API int STAInfo_find(uint32_t number, uint32_t *position, sta_info_record *record);
// Refreshes `record` (found by its number) from the radios; 0 when the
// station has left.
IGD1_API int STAInfo_get_entry(sta_info_record *record);
// Items: 0 MAC (13-byte text, twelve upper-case hex digits), 1 channel (u32),
// 2 BSSID (13-byte text), 3 BSS transition and 4 beacon reports (one byte,
// 0 or 1), 5 RSSI (i32).
IGD1_API int STAInfo_get_property(int item, void *output, const sta_info_record *record);
// De-associates the station of `record` (reason text `text`, at most 63
// bytes): it leaves the radios.  0 when done, else 1 with `message` (64 bytes).
IGD1_API int STAInfo_SetSTADeassociationRequest(const char *text, sta_info_record *record,
                                                uint32_t position, char *message);
