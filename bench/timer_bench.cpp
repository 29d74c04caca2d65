// The sleep timers: one AddObject + DeleteObject pair with the table one
// short of full, and one timer write against one DHCP server write, both
// through igd1 on the same bus, from the same client, in turns.
#include <chrono>
#include <string>
#include <vector>

#include "bench_world.h"

namespace {

using namespace igd1::bench;

constexpr char kTimers[] = "/com/wqx/igd1/Config/Power/SleepTimers";
constexpr char kTimer[] = "/com/wqx/igd1/Config/Power/SleepTimers/1";
constexpr char kDhcp[] = "/com/wqx/igd1/Config/DHCPServer";
constexpr int kTimeoutMs = 5000;
constexpr unsigned kFullTable = 99;

GVariant *call(const char *path, const char *interface, const char *method, GVariant *args) {
  return g_dbus_connection_call_sync(world().client, kIgd1Name, path, interface, method, args,
                                     nullptr, G_DBUS_CALL_FLAGS_NONE, kTimeoutMs, nullptr, nullptr);
}

bool succeeded(GVariant *reply) {
  if (reply != nullptr) g_variant_unref(reply);
  return reply != nullptr;
}

GVariant *manager_call(const char *method, GVariant *args) {
  return call(kTimers, "com.wqx.igd1.ObjectManager", method, args);
}

// Timers 1 to `count` exist (the table is filled once per run).
bool timers_up_to(unsigned count) {
  static unsigned made = 0;
  while (made < count) {
    if (!succeeded(manager_call("AddObject", nullptr))) return false;
    ++made;
  }
  return true;
}

double micros_since(std::chrono::steady_clock::time_point begin) {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin).count();
}

void BM_SleepTimer_AddObject_DeleteObject(benchmark::State &state) {
  if (!timers_up_to(kFullTable - 1)) return state.SkipWithError("the timers could not be made");
  std::vector<double> pairs;
  const double cpu_before = loop_cpu_us();
  for (auto _ : state) {
    const auto begin = std::chrono::steady_clock::now();
    GVariant *added = manager_call("AddObject", nullptr);
    if (added == nullptr) return state.SkipWithError("AddObject failed");
    const gchar *path = nullptr;
    g_variant_get(added, "(&o)", &path);
    const bool deleted = succeeded(manager_call("DeleteObject", g_variant_new("(o)", path)));
    g_variant_unref(added);
    if (!deleted) return state.SkipWithError("DeleteObject failed");
    pairs.push_back(micros_since(begin));
  }
  if (pairs.empty()) return;
  state.counters["cpu_us"] = (loop_cpu_us() - cpu_before) / double(pairs.size());
  state.counters["p50_us"] = percentile(pairs, 50);
  state.counters["p99_us"] = percentile(pairs, 99);
}
BENCHMARK(BM_SleepTimer_AddObject_DeleteObject)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Every write changes its value: two values taken in turns.
bool set_timer(size_t iteration) {
  return succeeded(call(kTimer, "org.freedesktop.DBus.Properties", "Set",
                        g_variant_new("(ssv)", "com.wqx.igd1.SleepTimer", "Time",
                                      g_variant_new_string(iteration & 1 ? "7:05" : "7:06"))));
}
bool set_dhcp(size_t iteration) {
  return succeeded(call(kDhcp, "org.freedesktop.DBus.Properties", "Set",
                        g_variant_new("(ssv)", "com.wqx.igd1.DHCPServer", "LeaseTime",
                                      g_variant_new_uint32(iteration & 1 ? 3600 : 86400))));
}

// One timer Set and one DHCP Set per iteration, the order swapping each
// time.  Counters: each one's median wall time and loop-thread CPU, and the
// ratios timer / DHCP.
void BM_SleepTimer_Set_vs_DHCP_Set(benchmark::State &state) {
  if (!timers_up_to(1)) return state.SkipWithError("no timer");
  std::vector<double> timer_wall, dhcp_wall, timer_cpu, dhcp_cpu;
  size_t iteration = 0;
  auto measure = [&](bool (*request)(size_t), std::vector<double> &wall, std::vector<double> &cpu) {
    const double cpu_before = loop_cpu_us();
    const auto begin = std::chrono::steady_clock::now();
    const bool ok = request(iteration);
    wall.push_back(micros_since(begin));
    cpu.push_back(loop_cpu_us() - cpu_before);
    return ok;
  };
  for (auto _ : state) {
    const bool timer_first = iteration % 2 == 0;
    bool ok = true;
    if (timer_first) ok = measure(set_timer, timer_wall, timer_cpu);
    ok = ok && measure(set_dhcp, dhcp_wall, dhcp_cpu);
    if (!timer_first) ok = ok && measure(set_timer, timer_wall, timer_cpu);
    if (!ok) return state.SkipWithError("a write failed");
    ++iteration;
  }
  if (timer_wall.empty() || dhcp_wall.empty()) return;
  const double timer_p50 = percentile(timer_wall, 50), dhcp_p50 = percentile(dhcp_wall, 50);
  const double timer_cpu_p50 = percentile(timer_cpu, 50), dhcp_cpu_p50 = percentile(dhcp_cpu, 50);
  state.counters["timer_p50_us"] = timer_p50;
  state.counters["dhcp_p50_us"] = dhcp_p50;
  state.counters["ratio_p50"] = timer_p50 / dhcp_p50;
  state.counters["timer_cpu_us"] = timer_cpu_p50;
  state.counters["dhcp_cpu_us"] = dhcp_cpu_p50;
  state.counters["ratio_cpu"] = dhcp_cpu_p50 > 0 ? timer_cpu_p50 / dhcp_cpu_p50 : 0;
}
BENCHMARK(BM_SleepTimer_Set_vs_DHCP_Set)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
