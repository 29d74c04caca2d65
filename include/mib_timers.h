// The configuration library's timers: the sleep timers, the WiFi timer and
// the extended WiFi timers.  Included by mib_api.h.
//
// Rows are reached through row handles: a check call copies a row into a
// new handle, get and set calls read and change the copy, an update
// stores it (the row must still be where it was), and the handle is always
// released by its free call.  A set call refuses a value the row cannot hold
// (a number out of range, a text that does not fit or is not a time) and
// says in *changed whether the copy now differs from what it held.  A
// released handle is refused.
//
// The update calls put the timers into effect: they hand the schedules to
// the store's wall-clock runner, which switches the gateway at each edge and
// after the clock is set.  What a switch does is recorded in the settings
// and the journal (see below), where the services (and tests) read it.
#pragma once

#include <stdint.h>

#include "igd1_export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct timer_row TIMER_ROW;

// ---- sleep timers ----------------------------------------------------------------
// Table "sleeptimer", instance numbers 1 to 99 chosen by the caller.
// Property 0 the day mask (one byte: exactly 1 every day, otherwise bit n
// for weekday n, 1 Monday to 7 Sunday), 1 the time of day ("H:MM" or
// "HH:MM", hour 0-23; read into a buffer of at least 6 bytes), 2 the active
// flag (32-bit, 0 or 1: 1 enters sleep at that time, 0 leaves it), 3 enable
// (32-bit on read, one byte on write).
enum { SLEEPTIMER_DAY = 0, SLEEPTIMER_TIME = 1, SLEEPTIMER_ACTIVE = 2, SLEEPTIMER_ENABLE = 3 };
// Every change of the gateway's sleep mode is recorded in the setting
// "deviceinfo.HGUSleep" ("1" asleep, as the device information and the
// lights read it) and journalled under MIB_JOURNAL_POWER with
// "sleep" or "wake": action 1 when the timers were updated, 2 at an edge.
inline constexpr uint64_t MIB_JOURNAL_POWER = uint64_t(1) << 32;
enum { TIMER_APPLIED_BY_UPDATE = 1, TIMER_APPLIED_AT_EDGE = 2 };

IGD1_API int sleeptimer_get_total_num(void);
// Non-zero when a row is at `position`; its instance number in *instance.
IGD1_API int sleeptimer_check_entry(uint32_t position, int *instance);
// Non-zero when a row carries `instance`: a new handle on a copy of it in
// *row, and its position in *index unless index is null.
IGD1_API int sleeptimer_check_instnum(uint32_t instance, uint32_t *index, TIMER_ROW **row);
IGD1_API int sleeptimer_get_property(int number, void *output, TIMER_ROW **row);
IGD1_API int sleeptimer_set_property(int number, const void *value, TIMER_ROW **row, int *changed);
// Stores the handle's copy over the row at `index`; non-zero on success.
IGD1_API int sleeptimer_set_property_update(TIMER_ROW **row, uint32_t index);
IGD1_API void sleeptimer_set_entry_free(TIMER_ROW **row);
// Adds a disabled timer (no day, "00:00", leaving sleep) under `instance`;
// 1 on success, 0 when the number is taken or out of range.
IGD1_API int sleeptimer_add_entry(uint32_t instance);
// Removes the row at `position` when it carries `instance`; 1 on success.
IGD1_API int sleeptimer_del_entry(uint32_t position, uint32_t instance);
// Gives the row at `position` the instance number `instance` (no other row
// may carry it); non-zero on success.
IGD1_API int sleeptimer_init_entry_index(uint32_t position, uint32_t instance);
// Puts the stored timers into effect; non-zero on success.
IGD1_API int sleeptimer_update(void);

// ---- WiFi timer ------------------------------------------------------------------
// One daily window (table "wifitimer", one row): while enabled, the SSIDs of
// the mask are on from the start to the end of the window (over midnight
// when the start is later; all day when both are equal) and off outside it.
// Property 0 start and 1 end ("HH:MM", hour 0-24, 24:00 being midnight), 2
// the control cycle (one byte, 1 daily, the only cycle), 3 enable (32-bit
// on read, one byte on write), 4 the SSID mask (32-bit, bit n-1 for SSID n).
enum {
  WIFITIMER_START = 0,
  WIFITIMER_END = 1,
  WIFITIMER_CYCLE = 2,
  WIFITIMER_ENABLE = 3,
  WIFITIMER_SSID_MASK = 4,
};
// What the WiFi timers allow is recorded per SSID in the settings
// "wlan.<n>.TimerOn" and "wlan.<n>.ExTimerOn" ("1" on) and journalled under
// MIB_JOURNAL_WIFI_TIMER with "timer <n> on|off" or "extimer <n> on|off";
// actions as for the sleep timers.  An SSID is on while both allow it.
inline constexpr uint64_t MIB_JOURNAL_WIFI_TIMER = uint64_t(1) << 33;
typedef struct wifi_timer WIFI_TIMER;

// Creates the module's handle on the timer (the row is made when missing);
// non-zero on success.
IGD1_API int wifitimer_init_entry(WIFI_TIMER **timer);
IGD1_API void wifitimer_free_entry(WIFI_TIMER **timer);
// A new handle on a copy of the timer's row; non-zero on success.
IGD1_API int wifitimer_check_instnum(TIMER_ROW **row);
IGD1_API int wifitimer_get_property(int number, void *output, TIMER_ROW **row);
IGD1_API int wifitimer_set_property(int number, const void *value, TIMER_ROW **row,
                                    WIFI_TIMER *timer, int *changed);
IGD1_API int wifitimer_set_property_update(TIMER_ROW **row);
IGD1_API void wifitimer_set_entry_free(TIMER_ROW **row);
// Puts the stored window into effect; non-zero on success.
IGD1_API int wifitimer_update_entry(WIFI_TIMER *timer);

// ---- extended WiFi timers --------------------------------------------------------
// Table "wifitimer_ex", instance numbers 1 to 100.  Property 0 the weekday
// mask (bit n for weekday n, 1 Monday to 7 Sunday), 1 the time ("H:MM",
// hour 0-24, kept as written), 2 the active flag (32-bit: 1 switches the
// SSIDs of the mask on at that time, 0 off; other values switch nothing),
// 3 enable (32-bit on read, one byte on write), 4 the SSID mask (32-bit).
enum {
  WIFITIMER1_WEEKDAY = 0,
  WIFITIMER1_TIME = 1,
  WIFITIMER1_ACTIVE = 2,
  WIFITIMER1_ENABLE = 3,
  WIFITIMER1_SSID_MASK = 4,
};
IGD1_API int wifitimer1_get_total_num(void);
IGD1_API int wifitimer1_check_entry(uint32_t position, int *instance);
IGD1_API int wifitimer1_check_instnum(uint32_t instance, uint32_t *index, TIMER_ROW **row);
IGD1_API int wifitimer1_get_property(int number, void *output, TIMER_ROW **row);
IGD1_API int wifitimer1_set_property(int number, const void *value, TIMER_ROW **row);
IGD1_API int wifitimer1_set_property_update(TIMER_ROW **row, uint32_t index);
IGD1_API void wifitimer1_set_property_free(TIMER_ROW **row);
// As sleeptimer_add_entry (the new timer: no day, "00:00", off, disabled, no
// SSID); 1 on success, 0 on failure.
IGD1_API int wifitimer1_add_entry(uint32_t instance);
IGD1_API int wifitimer1_del_entry(uint32_t position, uint32_t instance);
IGD1_API int wifitimer1_init_entry_index(uint32_t position, uint32_t instance);
IGD1_API int wifitimer1_update(void);

#ifdef __cplusplus
}
#endif
