// What the diagnostics modules call in the configuration library: the
// operations-and-maintenance actions and the voice tests.
#pragma once

#include <stdint.h>

#include <gio/gio.h>

#include "igd1_export.h"

// ---- operations and maintenance ----------------------------------------------------
// Runs action `code` with `parameter` (a bus value or null).  1 with *reply
// a new reference the caller releases, or 0 with *reply null: an unknown
// code, a parameter of another type, a refused value or a failed store.
//
//   1 CollectWiFiInfo ()        -> (us) 0 and "status=..;mode=..;tx=..;rx=.."
//   6 CPU temperature           -> (uus) degrees Celsius, 0 from a thermal zone
//                                  or 1 emulated (omdiag.CPUTemperature), the zone
//   8-11 LAN port 1-4 rate      -> (uus) Mbit/s (0 without link), link 0/1, "Full" or ""
//   13 connection tracking      -> (uus) entries in use, table size, "kernel" or
//                                  "emulated" (omdiag.ConntrackCount/Max)
//   12, 14, 21, 22 (u)          write the connection-number (1 to the table size),
//                                  flash (0-100 %), CPU and PON temperature
//                                  (0-125 degrees) thresholds -> (b)
//   17-20                       read them back (CPU, PON, flash, connection) -> (u)
//   23, 24 / 35, 36 (u)         resource / process rows: count -> (u); index at a
//                                  position -> (u)
//   25, 26                      lowest free resource / process index -> (u),
//                                  kOmdTableFull when every index is taken
//   27, 28 (us)                 create the row of that index with that name -> (b)
//   29, 30 (o)                  delete the row the path's last number names -> (b)
//   31 (uu) field, index        resource field: 1 -> (s), 2 CPU, 3 memory -> (u)
//   32 (uu) 1, index            process service name -> (s)
//   33 (uus) 1, index, name / (uuu) 2 or 3, index, percent /
//      (uuuus) 4, index, CPU, memory, name: all three (an empty name keeps
//      the stored one) -> (b)
//   34 (uus) 1, index, name     -> (b)
//   38 GetWiFiProcess ()        -> (a(us)) pid and name of the WiFi daemons
//   39 GetServicePID (s)        -> (u) pid of the oldest process of the service, 0: none
//   40 GetServiceProcess (s)    -> (a(usuu)) pid, name, resident kB, threads of
//                                  each process of the service ("": every process)
//   41-47                       optical settings: transmit enable (b), transmit
//                                  power (d, the PON module's), transmit high and
//                                  low (d), receive enable (b), receive high and
//                                  low (d)
//   48-53                       write them (all but the power): thresholds in dBm,
//                                  -50 to 10, each high not below its low -> (b)
//
// Service names are 1 to 32 letters, digits and "._+-", not starting with
// "." and without ".."; a process is of a service when its kernel name is
// the service name's first 15 characters.  Percentages are 0 to 100; a
// limit of 0 is not watched.
enum { kOmdTableFull = 100 };
IGD1_API int OMDiag_handle_action(uint32_t code, GVariant *parameter, GVariant **reply);

// Capability 1: whether the gateway is an FTTR master with WiFi (0: no
// WiFi).  1 with *value set, 0 for another capability or a failed read.
IGD1_API int device_capability_handler(int capability, uint32_t *value);

// Starts the watch of the listed services (again, for a store opened since):
// every omdiag.WatchInterval seconds (0: no watch) a resource whose
// processes together use more CPU (of all cores) or memory than its limit,
// and a process of the process list that is gone, is journalled under
// MIB_JOURNAL_OMDIAG with the figures.
inline constexpr uint64_t MIB_JOURNAL_OMDIAG = uint64_t(1) << 34;
enum {
  OMD_JOURNAL_CPU_OVER = 1,     // "<service> cpu <x.y>% over <n>% pids <p,...>"
  OMD_JOURNAL_MEMORY_OVER = 2,  // "<service> memory <x.y>% over <n>% rss <kB> kB"
  OMD_JOURNAL_GONE = 3,         // "<service> pid <p> gone after <s> s cpu, rss <kB> kB"
};
IGD1_API void init_OMD_info(void);

// ---- voice tests ------------------------------------------------------------------------
// The tests run on the emulated voice line: each takes the line's test time
// and then reports what the line showed when it ended.  Start operations
// return 0 when the test started and 1 when it was refused, with a text of
// at most 63 characters in `text` (64 bytes, zero-filled by the caller).
// Reads return non-zero on success.

// Registration test: 0 RegistResult (0 registered, 1 not), 1 Reason (0
// none, 2 no answer from the server, 5 not tested), 32 bits each.  Types 1
// and 2.
IGD1_API int IADDiagnostics_interface_init(void);
IGD1_API int IADDiagnostics_get_property(int index, void *value);
IGD1_API int IADDiagnostics_StartIADDiagTest(uint32_t type, char *text);

// Simulated call: 0 CalledNumber (text, 33 bytes), 1 DialDTMFConfirmEnable
// (32 bits, 0 or 1), 2 DialDTMFConfirmNumber (text, 33 bytes) are stored
// settings, written with the same forms (numbers of at most 32 digits, "*",
// "#" and "+"); 3 DialDTMFConfirmResult (byte: 0 not tested, 1 confirmed,
// 2 failed), 4 Status (text, 64 bytes: "None", "Testing", "Complete"), 5
// Conclusion (byte: 0 passed, 1 failed), 6 CallerFailReason and 7
// CalledFailReason (texts, 64 bytes), 8 FailedResponseCode (32 bits, a SIP
// status) describe the last test.  Types 0 (the line calls CalledNumber), 1
// (the line is called), 2 (both).
IGD1_API int VOIPSimulateTest_get_property(int index, void *buffer);
IGD1_API int VOIPSimulateTest_set_property(int index, const void *value);
IGD1_API int VOIPSimulateTest_StartTest(uint32_t type, char *text);

// Phone connectivity: 0 PhoneConnectivity (a phone answered the last test),
// 1 OffHookAlarmStatus (it was left off hook), 32 bits each.
IGD1_API int PhoneConnectivity_interface_init(void);
IGD1_API int PhoneConnectivity_get_property(int index, void *value);
IGD1_API int PhoneConnectivity_StartTest(char *text);

// Poor-quality calls, rows 1 to VoicePoorQualityStats_dbus_num(), oldest
// first: 0 StatTime (text, 64 bytes), 1 TxPackets and 2 RxPackets (64
// bits), 3 MeanDelay (ms), 4 MeanJitter (ms), 5 FractionLoss (percent), 7
// LocalUDPPort, 9 FarEndUDPPort, 10 MosLq (MOS times 10) (32 bits), 6
// LocalIPAddress, 8 FarEndIPAddress, 11 Codec (texts, 64 bytes).
IGD1_API int VoicePoorQualityStats_dbus_num(void);
IGD1_API int VoicePoorQualityStats_get_property(int index, void *buffer, uint32_t row);
