// What the benchmarks share: one private bus, the host running the module
// library in this process, a bare GDBus service connection, and one client.
// Every comparison asks both services in turns through that client.
#pragma once

#include <benchmark/benchmark.h>

#include <gio/gio.h>

#include <functional>

#include "harness/bus_fixture.h"
#include "host.h"

namespace igd1::bench {

inline constexpr char kIgd1Name[] = "com.wqx.igd1";
inline constexpr char kBareName[] = "com.wqx.bench.Bare";

struct World {
  World();
  igd1::test::TempRoot root;
  igd1::test::MainLoopThread loop;
  igd1::host::Host host;
  GDBusConnection *bare = nullptr;    // owns kBareName
  GDBusConnection *client = nullptr;
};
World &world();

// Introspection data of one of the project's XML files (never freed).
GDBusInterfaceInfo *interface_from_file(const char *file);

// One request to a service; false when it failed.
using Request = std::function<bool(const char *service, size_t iteration)>;

// Both services answer in turns, the order swapping every iteration, so
// that whatever else the machine does weighs on both alike.  The iteration
// time is the pair; the counters give each service's mean and the ratio.
void compare(benchmark::State &state, const Request &request);

}  // namespace igd1::bench
