// What the kernel shows of the machine the store runs on: the CPU's
// temperature, connection tracking, memory and the process table.  Every
// file is reached through kernel_path(), so tests read a tree of their own;
// nothing is written and no program is run.  Callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace igd1::mib {

// The kernel keeps a process's name (comm) to this many characters.
inline constexpr size_t kCommMax = 15;
// The longest service name a caller may name.
inline constexpr size_t kServiceNameMax = 32;

// Whether `name` may name a service: 1 to kServiceNameMax characters of
// letters, digits and "._+-", not starting with "." and without "..".
// Otherwise false with the reason in *why.
bool valid_service_name(std::string_view name, std::string *why);

// One process as its stat file shows it.
struct ProcessInfo {
  uint32_t pid = 0;
  // Clock ticks after boot at which it started: with the pid, what tells
  // it from a later process that is given the same pid.
  uint64_t start_ticks = 0;
  std::string name;         // comm, at most kCommMax characters
  char state = '?';
  uint64_t cpu_ticks = 0;   // user and system time, clock ticks
  uint64_t rss_kb = 0;
  uint32_t threads = 0;
};

// Every process whose name is the first kCommMax characters of `service`
// ("" : every process), in the order of the process folder.
std::vector<ProcessInfo> list_processes(std::string_view service);

// The CPU's temperature in whole degrees Celsius from the thermal zones: the
// first zone whose type names the CPU or the package ("cpu", "x86_pkg",
// "soc"), else the first zone.  Nothing when there is no readable zone.
// The zone found is kept until a read of it fails.
struct Temperature {
  uint32_t celsius;
  std::string zone;  // e.g. "thermal_zone0"
};
std::optional<Temperature> cpu_temperature();

// Connection tracking: the entries in use and the table's size.  Nothing
// when the kernel has no connection tracking.
struct Conntrack {
  uint32_t count;
  uint32_t max;
};
std::optional<Conntrack> conntrack();

// A figure of the kernel's memory summary in kB ("MemTotal", "MemAvailable"),
// or nothing.
std::optional<uint64_t> memory_kb(std::string_view field);
inline std::optional<uint64_t> memory_total_kb() { return memory_kb("MemTotal"); }

// Clock ticks per second and online CPUs, as the process figures count them.
long ticks_per_second();
unsigned cpu_count();

}  // namespace igd1::mib
