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
#define MIB_JOURNAL_OMDIAG 0x80000000u
enum {
  OMD_JOURNAL_CPU_OVER = 1,     // "<service> cpu <x.y>% over <n>% pids <p,...>"
  OMD_JOURNAL_MEMORY_OVER = 2,  // "<service> memory <x.y>% over <n>% rss <kB> kB"
  OMD_JOURNAL_GONE = 3,         // "<service> pid <p> gone after <s> s cpu, rss <kB> kB"
};
IGD1_API void init_OMD_info(void);

