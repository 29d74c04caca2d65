// VPN tunnels and captured probe records:
//  * one Set to a tunnel whose three lists are full (the record of about a
//    megabyte copied, checked and stored), p50 and p99 in ms;
//  * igd1d as a process before and after four tunnels with full lists: how
//    much its resident set grew, in kB;
//  * 1,000 probe requests within one second over eight capture filters:
//    how many records the filters hold afterwards (each keeps its newest
//    MaxRecords), and the p99 of Get on another object while they arrive
//    against the same Get when idle, with the time igd1d's main loop ran in
//    each second.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_world.h"
#include "harness/program.h"
#include "mib_vsie.h"
#include "sys_paths.h"

namespace {

using namespace igd1::bench;
using igd1::test::Variant;
using Clock = std::chrono::steady_clock;

constexpr char kTunnels[] = "/com/wqx/igd1/Network/VPN/Connection";
constexpr char kVpn[] = "com.wqx.igd1.VPNConnection";
constexpr char kFilters[] = "/com/wqx/igd1/VSIE/ProbeRxVSIE";
constexpr size_t kListRoom = 327712;

double ms_since(Clock::time_point begin) {
  return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
}

Variant call(GDBusConnection *client, const std::string &path, const char *interface,
             const char *method, GVariant *args) {
  return igd1::test::call_service(client, path, interface, method, args, nullptr, 60000);
}

// igd1d as a process with every module, on a bus and under a root of its
// own (the benchmarks' world keeps the process's root).
struct Daemon {
  igd1::test::TempRoot root;
  igd1::test::MessageBus bus;
  igd1::test::DaemonProcess process{{"--root", root.dir()}, bus.address()};
  GDBusConnection *client = igd1::test::connect_bus(bus.address());
  bool ready = client != nullptr && igd1::test::wait_for_name(client, kIgd1Name);
  Daemon() { igd1::set_root_dir(world().root.dir()); }
};
Daemon &daemon() {
  static Daemon *started = new Daemon;
  return *started;
}

// A list that fills its room: elements of 1,000 characters and a last one
// that takes what is left.
GVariant *full_list(char letter) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("as"));
  size_t room = kListRoom;
  for (bool first = true; room > 1; first = false) {
    const size_t taken = first ? 0 : 1;
    const size_t length = std::min<size_t>(1000, room - taken - 1);
    if (length == 0) break;
    g_variant_builder_add(&builder, "s", std::string(length, letter).c_str());
    room -= length + taken;
  }
  return g_variant_builder_end(&builder);
}

// Adds a tunnel and fills its three lists; its path, or "" when refused.
std::string full_tunnel(GDBusConnection *client) {
  Variant added = call(client, kTunnels, "com.wqx.igd1.ObjectManager", "AddObject", nullptr);
  if (added == nullptr) return "";
  const char *path = nullptr;
  g_variant_get(added.get(), "(&o)", &path);
  const std::string tunnel = path;
  GVariantBuilder entries;
  g_variant_builder_init(&entries, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&entries, "{sv}", "domains", full_list('d'));
  g_variant_builder_add(&entries, "{sv}", "ips", full_list('i'));
  g_variant_builder_add(&entries, "{sv}", "terminal_mac", full_list('m'));
  Variant stored = call(client, tunnel, "com.wqx.igd1.Properties", "SetMulti",
                        g_variant_new("(sa{sv})", kVpn, &entries));
  return stored != nullptr ? tunnel : "";
}

void BM_VpnWriteToAFullTunnel(benchmark::State &state) {
  if (!daemon().ready) {
    state.SkipWithError("igd1d did not start");
    return;
  }
  GDBusConnection *client = daemon().client;
  static const std::string tunnel = full_tunnel(client);
  if (tunnel.empty()) {
    state.SkipWithError("no tunnel");
    return;
  }
  std::vector<double> samples;
  size_t i = 0;
  for (auto _ : state) {
    const std::string name = "office " + std::to_string(i++ % 2);
    const Clock::time_point begin = Clock::now();
    Variant done = call(client, tunnel, "org.freedesktop.DBus.Properties", "Set",
                        g_variant_new("(ssv)", kVpn, "tunnel_name", g_variant_new_string(name.c_str())));
    samples.push_back(ms_since(begin));
    if (done == nullptr) state.SkipWithError("Set failed");
  }
  state.counters["p50_ms"] = percentile(samples, 50);
  state.counters["p99_ms"] = percentile(samples, 99);
}
BENCHMARK(BM_VpnWriteToAFullTunnel)->UseRealTime()->Iterations(200);

long rss_kb(GPid pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// igd1d on a bus of its own, four full tunnels added through it.
void BM_VpnDaemonMemoryWithFourFullTunnels(benchmark::State &state) {
  for (auto _ : state) {
    igd1::test::TempRoot root;
    igd1::test::MessageBus bus;
    GDBusConnection *client = igd1::test::connect_bus(bus.address());
    igd1::test::DaemonProcess daemon({"--root", root.dir()}, bus.address());
    igd1::set_root_dir(world().root.dir());
    if (client == nullptr || !igd1::test::wait_for_name(client, kIgd1Name)) {
      state.SkipWithError("igd1d did not start");
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long before = rss_kb(daemon.pid());
    for (int n = 0; n < 4; ++n)
      if (full_tunnel(client).empty()) state.SkipWithError("a tunnel was refused");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long after = rss_kb(daemon.pid());
    state.counters["rss_before_kB"] = double(before);
    state.counters["rss_growth_kB"] = double(after - before);
    daemon.stop(SIGTERM);
    g_object_unref(client);
  }
  igd1::set_root_dir(world().root.dir());
}
BENCHMARK(BM_VpnDaemonMemoryWithFourFullTunnels)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- probe records ----

// One message on the notification socket; its reply.
std::string notify(const std::string &message) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = daemon().root.path(igd1::path::kNotifySocket);
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
      write(fd, message.data(), message.size()) == ssize_t(message.size())) {
    shutdown(fd, SHUT_WR);
    char buffer[256];
    ssize_t got = 0;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) reply.append(buffer, size_t(got));
  }
  close(fd);
  return reply;
}

// Time igd1d's main thread (the bus main loop) has run, in ms.
double main_loop_cpu_ms(GPid pid) {
  std::ifstream schedstat("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                          "/schedstat");
  double ns = -1;
  schedstat >> ns;
  return ns / 1e6;
}

void BM_ProbeRecordsInOneSecond(benchmark::State &state) {
  if (!daemon().ready) {
    state.SkipWithError("igd1d did not start");
    return;
  }
  GDBusConnection *client = daemon().client;
  const char *ouis[] = {"00A0C6", "506F9A", "0050F2", "001018"};
  for (int n = 0; n < 8; ++n) {
    Variant added = call(client, kFilters, "com.wqx.igd1.ObjectManager", "AddObject", nullptr);
    const char *path = nullptr;
    if (added == nullptr) {
      state.SkipWithError("no filter");
      return;
    }
    g_variant_get(added.get(), "(&o)", &path);
    GVariantBuilder entries;
    g_variant_builder_init(&entries, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&entries, "{sv}", "OUI", g_variant_new_string(ouis[n % 4]));
    g_variant_builder_add(&entries, "{sv}", "MaxRecords", g_variant_new_uint32(n % 2 == 0 ? 64 : 32));
    g_variant_builder_add(&entries, "{sv}", "Enable", g_variant_new_boolean(true));
    call(client, path, "com.wqx.igd1.Properties", "SetMulti", g_variant_new("(sa{sv})", "com.wqx.igd1.ProbeRxVSIE", &entries));
  }
  const GPid pid = daemon().process.pid();
  for (auto _ : state) {
    const double idle_begin = main_loop_cpu_ms(pid);
    std::vector<double> idle = gets_until(client, Clock::now() + std::chrono::seconds(1));
    const double busy_begin = main_loop_cpu_ms(pid);
    // 1,000 requests spread over one second, each OUI alike: every one is
    // kept by two filters.
    int accepted = 0;
    std::thread sender([&] {
      const Clock::time_point start = Clock::now();
      for (int i = 0; i < 1000; ++i) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(i * 1000));
        char message[160];
        std::snprintf(message, sizeof message,
                      "event radio probe-request 02:00:00:00:%02x:%02x %d %d -50 %s %04x", i / 256,
                      i % 256, i % 2 + 1, i % 2 == 0 ? 6 : 36, ouis[i % 4], i);
        accepted += notify(message).rfind("OK", 0) == 0 ? 1 : 0;
      }
    });
    std::vector<double> busy = gets_until(client, Clock::now() + std::chrono::seconds(1));
    sender.join();
    const double busy_end = main_loop_cpu_ms(pid);
    size_t records = 0;
    for (int n = 1; n <= 8; ++n) {
      const std::string path = std::string(kFilters) + "/" + std::to_string(n) + "/Records";
      Variant count = call(client, path, "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", "com.wqx.igd1.ProbeRxVSIERecordManager", "NumberOfRecords"));
      if (count == nullptr) continue;
      GVariant *inner = nullptr;
      g_variant_get(count.get(), "(v)", &inner);
      records += g_variant_get_uint32(inner);
      g_variant_unref(inner);
    }
    state.counters["requests_taken"] = double(accepted);
    state.counters["records_kept"] = double(records);
    state.counters["get_p99_idle_ms"] = percentile(idle, 99);
    state.counters["get_p99_busy_ms"] = percentile(busy, 99);
    state.counters["get_p50_idle_ms"] = percentile(idle, 50);
    state.counters["get_p50_busy_ms"] = percentile(busy, 50);
    // What the main loop spent per Get when idle, and on the Gets and the
    // 1,000 requests together while they came.
    state.counters["loop_cpu_idle_ms"] = busy_begin - idle_begin;
    state.counters["loop_cpu_busy_ms"] = busy_end - busy_begin;
    state.counters["gets_idle"] = double(idle.size());
    state.counters["gets_busy"] = double(busy.size());
  }
}
BENCHMARK(BM_ProbeRecordsInOneSecond)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
