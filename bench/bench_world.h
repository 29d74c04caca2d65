// What the benchmarks share: one private bus, the host running the module
// library in this process, a bare GDBus service connection, and two clients
// (a GDBus connection and, when libsystemd is present, a lean sd-bus one).
// Every comparison asks both services in turns through one client.
#pragma once

#include <benchmark/benchmark.h>

#include <gio/gio.h>
#include <pthread.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "harness/bus_fixture.h"
#include "host.h"

#ifdef IGD1_HAVE_SDBUS
#include <systemd/sd-bus.h>
#endif

namespace igd1::bench {

inline constexpr char kIgd1Name[] = "com.wqx.igd1";
inline constexpr char kBareName[] = "com.wqx.bench.Bare";

// Which client library sends the requests.
enum class Client { GDBus, SdBus };

struct World {
  World();
  ~World();
  World(const World &) = delete;
  World &operator=(const World &) = delete;

  bool ready = false;
  // Destroyed in reverse order: the host stops before the loop ends, and the
  // root folder goes last.
  igd1::test::TempRoot root;
  igd1::test::MainLoopThread loop;
  igd1::host::Host host;
  pthread_t loop_thread{};            // serves both services
  GDBusConnection *bare = nullptr;    // owns kBareName
  GDBusConnection *client = nullptr;
#ifdef IGD1_HAVE_SDBUS
  sd_bus *sd = nullptr;
#endif
};
// The world of this run (created by main before any benchmark runs).
World &world();

// Introspection data of one of the project's XML files (never freed).
GDBusInterfaceInfo *interface_from_file(const char *file);
// Introspection data of a literal XML text (never freed).
GDBusInterfaceInfo *interface_from_xml(const char *xml);

// GDBus's own g_dbus_connection_register_object.  The host layer linked into
// this process stands in front of that function for every connection (it
// adds the multi-property write to each path); the bare service must not
// get anything of the host's, so it registers through GIO directly.
guint bare_register_object(GDBusConnection *connection, const char *path,
                           GDBusInterfaceInfo *info, const GDBusInterfaceVTable *vtable);

// CPU time the loop thread (where both services run) has used so far, in µs.
double loop_cpu_us();

// GetManagedObjects of the manager at `path` of `service` through the client
// library, every entry walked as a reader would: how many objects it lists
// (0 when the call failed).
size_t listed_objects(Client client, const char *service, const char *path);

// p-th percentile (0..100) of samples, which it sorts.
double percentile(std::vector<double> &samples, double p);

// One request to a service; false when it failed.
using Request = std::function<bool(const char *service, size_t iteration)>;

// Both services answer in turns, the order swapping every iteration, so
// that whatever else the machine does weighs on both alike.  The iteration
// time is the pair; the counters give each service's mean and median wall
// time per request, the loop thread's CPU per request (the service's own
// work, without the client's), and the ratios igd1 / bare.
void compare(benchmark::State &state, const Request &request);

// The same for two kinds of request to igd1 itself: `request(which,
// iteration)` sends kind 0 or 1, named `names` in the counters; the ratios
// are kind 1 / kind 0.
using PairRequest = std::function<bool(int which, size_t iteration)>;
void compare_pair(benchmark::State &state, const char *const (&names)[2], const PairRequest &request);

// A GDBus skeleton of `info` whose properties `value(data, name)` builds at
// every request, as a service keeping its values in memory would (a name
// without a value is left out of GetAll); GDBus's own object manager serves it.  `free_data` (may be null) frees `data`.
using BareValue = GVariant *(*)(gpointer data, const char *name);
GDBusInterfaceSkeleton *bare_skeleton(GDBusInterfaceInfo *info, BareValue value, gpointer data,
                                      GDestroyNotify free_data);

// Get of a DHCP server property on igd1 through `client`, one after the
// other until `until`: each one's time in ms.
std::vector<double> gets_until(GDBusConnection *client, std::chrono::steady_clock::time_point until);

// ---- Get latency while igd1 works, against the bare service as control ----
// A benchmark that asks how much some work of igd1 delays a Get on another
// object measures, in the same windows, a bare GDBus object that the work
// does not touch: whatever the machine's load does to both shows in the
// control, and only what the work costs igd1's main loop shows in igd1.

// The property asked: at `path` of igd1 and at `bare_path` of the bare
// service, whose object (registered by register_bare_constant) answers it.
// igd1 is asked through `igd1_client`, the world's client when null (igd1d
// as a process is on a bus of its own).
struct GetTarget {
  const char *path;
  const char *bare_path;
  const char *interface;
  const char *property;
  GDBusConnection *igd1_client = nullptr;
};
// Registers, once per bare path, an object of `info` on the bare service
// whose every property reads the string `text`; false when GDBus refused it.
bool register_bare_constant(const char *bare_path, GDBusInterfaceInfo *info, const char *text);

// Each Get's time in ms, by service.
struct PairedGets {
  std::vector<double> igd1, bare;
};
// Gets of `target` from igd1 and from the bare service in turns until `until`.
void paired_gets_until(const GetTarget &target, std::chrono::steady_clock::time_point until,
                       PairedGets *times);
// The counters of quiet windows against busy ones (`busy` names them):
// get_p99_idle_ms, get_p99_<busy>_ms, get_p99_<busy>_vs_idle, the same
// ratio of the bare service (bare_p99_<busy>_vs_idle, the machine's share),
// the p50s and how many Gets were made.
void window_counters(benchmark::State &state, const char *busy, PairedGets &idle, PairedGets &busy_times);

// One call of a client that keeps igd1 busy; `n` counts its calls so far.
// The reply, or null when the call failed.
using BusyCall = std::function<GVariant *(GDBusConnection *client, int n)>;
// Rounds of a quiet second of paired Gets of `target`, a second of them
// while a client of its own makes `call` after `call` (each answered before
// the next is sent), and a second of the calls without Gets, which gives the
// main loop's CPU per call (the Gets' CPU would drown it); `settle` passes
// before each window, so that the calls of the one before have ended.  The
// counters of window_counters ("busy"), busy_calls (made while Gets ran) and
// loop_cpu_us_per_busy_call.
void gets_against_busy_client(benchmark::State &state, const GetTarget &target, int rounds,
                              std::chrono::milliseconds settle, const BusyCall &call);

}  // namespace igd1::bench
