// What the WiFi information, band-steering, roaming and station objects call
// in the configuration library.  Every value comes from the radios or from
// the store's settings; changes are recorded under MIB_CFG_WIFI_INFO.
#pragma once

#include <stddef.h>
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
// Waits until the radios' state file holds every change made so far (the
// radios write it from a thread of their own): 1, or 0 with the reason the
// last write failed in `why` (a buffer of `size`).  1 when no radios are
// served.
IGD1_API int wifi_radio_state_flush(char *why, size_t size);

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

// ---- band steering -------------------------------------------------------------------
// Items: 0 Enable (byte), 1 Capability (u32, both bands present), 2 RSSIThreshold
// and 3 RSSIThreshold5G (i32, -127 to 0 dBm), 4 ChannelUtilization5G (u32, the
// 5 GHz radio's), 5 ChannelUtilizationThreshold5G (u32, 0-100 %), 6
// STALoadThreshold2G (u32, 0-256 stations), 7 SteeringDetectInterval (u32,
// 1-3600 s).  Writable: 0, 2, 3, 5, 6, 7.  Non-zero on success.
IGD1_API int WiFiBandSteering_get_property(int item, void *output);
IGD1_API int WiFiBandSteering_check_property_value(int item, const void *value);
IGD1_API int WiFiBandSteering_set_property(int item, const void *value);
// Applies the stored settings (a notice under MIB_CFG_WIFI_INFO).
IGD1_API int WiFiBandSteering_set_property_update(void);

// ---- roaming, per band (1: 2.4 GHz, 2: 5 GHz) ------------------------------------------
// Non-zero when the radios have band "2G" or "5G".
IGD1_API int Roaming_band_check(const char *band);
// Items: 0 BSSID (13-byte text), 1 Enable (u32, 0 or 1), 2 Start_time (u32,
// seconds up to a day), 3 Threshold1_RSSI and 4 Threshold2_RSSI (i32, -127
// to 0 dBm).  Non-zero on success.
IGD1_API int Roaming_get_property(int item, void *output, uint32_t band);
IGD1_API int Roaming_set_property(int item, const void *value, uint32_t band);
IGD1_API int Roaming_set_property_update(uint32_t band);

// A signal level as the radios report it; only records with valid 1 hold
// a measurement.
typedef struct roaming_rssi_record {
  uint32_t reserved;
  uint8_t mac[6];
  int32_t rssi;
  uint32_t valid;
} roaming_rssi_record;
enum { ROAMING_MAX_RECORDS = 32 };

// An access-point query of a station: reset, one entry per access point
// (1 refuses it with `message`), then the start (0: started, else 1 with
// `message`); its report comes once the radios' control program ran.
IGD1_API void Roaming_StartAPRSSIQuery_reset(uint32_t band);
IGD1_API int Roaming_StartAPRSSIQuery_setup_method(uint32_t band, const char *ap_mac, uint32_t channel,
                                                   uint32_t position, uint32_t ap_count, char *message);
IGD1_API int Roaming_StartAPRSSIQuery_method(uint32_t band, const char *sta_mac, char *message);
// The measured levels of the started query (at most ROAMING_MAX_RECORDS):
// the band's own BSSID in `ap_mac`.  0 when no query was started.
IGD1_API int Roaming_APRSSIQuery_report(uint32_t band, uint32_t *result, uint8_t *ap_mac,
                                        roaming_rssi_record *records, uint32_t *count, char *errdesc);

// A station query: 1 with `message` while one runs; entries (1: refused);
// the start (0: started).
IGD1_API int Roaming_GetSTARSSIQuery_check_status(uint32_t band, char *message);
IGD1_API int Roaming_GetSTARSSIQuery_setup_method(uint32_t band, const char *sta_mac, uint32_t channel,
                                                  uint32_t position);
IGD1_API int Roaming_GetSTARSSIQuery_method(uint32_t band, uint32_t count, char *message);
IGD1_API int Roaming_STARSSIQuery_report(uint32_t band, uint32_t *result, roaming_rssi_record *records,
                                         uint32_t *count, char *errdesc);

// Asks station `sta_mac` to move to the access point `target_bssid` on
// `channel`; 0 when asked, else 1 with `message`.  The report moves it.
IGD1_API int Roaming_StartSTABSSTransitionRequest_method(uint32_t band, const char *sta_mac,
                                                         uint32_t channel, const char *target_bssid,
                                                         char *message);
IGD1_API int Roaming_STABSSTransition_report(uint32_t band, const char *sta_mac, uint32_t *status,
                                             char *errdesc);
// Non-zero when station `sta_mac` is associated with `band`.
IGD1_API int Roaming_station_check(uint32_t band, const char *sta_mac);

// ---- radio-wide WiFi information ---------------------------------------------------------
// Items: 0 Enable2G, 1 Enable5G, 2 Enable (byte); 3 WiFiMode (text of 128:
// each band's standards); 4 DualBand (u32); 5 SupportedBeaconType (text of
// 65); 6 MAPAgent (byte); 7 SameSSIDStatus (u32); 8-11 Rx bytes, packets,
// errors, drops and 12-15 the same for Tx (u64); 16 RatePriority, 17
// RatePriority5G (u32); 18 ChannelScanStatus (byte: 0 idle, 1 running, 2
// done); 19 ChannelScanFinishTime (text of 32); 20, 21 the same of 5 GHz;
// 22 BgNoise2G, 23 BgNoise5G (i16, dBm); 24 EnWifiQualityCollection (u32).
// Non-zero on success.
IGD1_API int wifiinfo_get_property(int item, void *output);
// Stores a writable item (0, 1, 2, 6 and 18, 20 as a byte; 16, 17, 24 as
// u32): *changed 1 when it differs, *token what wifiinfo_set_property_update
// applies.  A scan state takes only 0 (forget the finished scan).
IGD1_API int wifiinfo_set_property(int item, const void *value, int *changed, uint32_t *token);
// Applies the values stored up to `token` (a notice under MIB_CFG_WIFI_INFO).
IGD1_API int wifiinfo_set_property_update(uint32_t token);

// Sends station `mac` away from SSID `ssid_index`: *result 1 when done, else
// `message` (64 bytes) says why.
IGD1_API int wifiinfo_KickOutDevice(const char *mac, const char *ssid_index, int *result, char *message);
// The neighbouring networks band "2.4G" (or "2G") or "5G" hears, ';'-joined
// "name,MAC,channel,level" in *text (g_free it); 0 when done.
IGD1_API int wifiinfo_GetWLANNeighbor(const char *radio_type, char **text);
// Pairs SSID `index24` of 2.4 GHz with `index58` of 5 GHz; 0 when refused
// (`message`).  CancelSameSSID: 0 when nothing was paired.
IGD1_API int wifiinfo_SetSameSSID(const char *index24, const char *index58, char *message);
IGD1_API int wifiinfo_CancelSameSSID(void);
// Band 1 or 2 to the best channel of its last scan; 0 on failure.
IGD1_API int wifiinfo_ChannelSwitch(uint32_t band, char *message);
// The last scan's result, "channel:score" entries ','-joined best first
// (256 bytes), and how many of them scored above 0; 0 when there is none.
IGD1_API int wifiinfo_ChannelSanResult(uint32_t band, char *result, uint32_t *count, char *message);
// Starts a scan of the band; 0 on failure.
IGD1_API int wifiinfo_ChannelSan(uint32_t band, char *message);
