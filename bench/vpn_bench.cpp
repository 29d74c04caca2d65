// VPN tunnels and captured probe records:
//  * one Set to a tunnel whose three lists are full (the record of about a
//    megabyte copied, checked and stored), p50 and p99 in ms;
//  * a Get of such a tunnel against a Get of the DHCP server: p50, p99 and
//    the main loop's time per Get;
//  * igd1d as a process before and after four tunnels with full lists: how
//    much its resident set grew once settled, in kB, also after reading
//    them;
//  * 1,000 probe requests within one second over eight capture filters, in
//    rounds that alternate with idle seconds: how many records the filters
//    hold afterwards (each keeps its newest MaxRecords), the p99 of Get on
//    another object while they arrive against the same Get when idle, with
//    a bare GDBus object asked in the same seconds as the control, and the
//    time igd1d's main loop spends per request.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

// Time igd1d's main thread (the bus main loop) has run, in ms.
double main_loop_cpu_ms(GPid pid) {
  std::ifstream schedstat("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                          "/schedstat");
  double ns = -1;
  schedstat >> ns;
  return ns / 1e6;
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

// The daemon's first tunnel, its lists full.
const std::string &first_full_tunnel() {
  static const std::string tunnel = daemon().ready ? full_tunnel(daemon().client) : "";
  return tunnel;
}

void BM_VpnWriteToAFullTunnel(benchmark::State &state) {
  GDBusConnection *client = daemon().client;
  const std::string &tunnel = first_full_tunnel();
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

// Get of a full tunnel's tunnel_name against Get of the DHCP server's
// MinAddress, in blocks of 50 taking turns: p50 and p99 of each, and the
// main loop's time per Get of each.
void BM_VpnGetOfAFullTunnel(benchmark::State &state) {
  GDBusConnection *client = daemon().client;
  const std::string &tunnel = first_full_tunnel();
  if (tunnel.empty()) {
    state.SkipWithError("no tunnel");
    return;
  }
  const GPid pid = daemon().process.pid();
  struct Kind {
    std::string path;
    const char *interface, *property;
    std::vector<double> samples;
    double loop_ms = 0;
  } kinds[2] = {{tunnel, kVpn, "tunnel_name", {}, 0},
                {"/com/wqx/igd1/Config/DHCPServer", "com.wqx.igd1.DHCPServer", "MinAddress", {}, 0}};
  for (auto _ : state) {
    for (Kind &kind : kinds) {
      const double loop_begin = main_loop_cpu_ms(pid);
      for (int i = 0; i < 50; ++i) {
        const Clock::time_point begin = Clock::now();
        Variant value = call(client, kind.path, "org.freedesktop.DBus.Properties", "Get",
                             g_variant_new("(ss)", kind.interface, kind.property));
        kind.samples.push_back(ms_since(begin));
        if (value == nullptr) state.SkipWithError("Get failed");
      }
      kind.loop_ms += main_loop_cpu_ms(pid) - loop_begin;
    }
  }
  for (int k = 0; k < 2; ++k) {
    const std::string name = k == 0 ? "tunnel" : "dhcp";
    state.counters[name + "_p50_ms"] = percentile(kinds[k].samples, 50);
    state.counters[name + "_p99_ms"] = percentile(kinds[k].samples, 99);
    state.counters[name + "_loop_ms_per_get"] = kinds[k].loop_ms / double(kinds[k].samples.size());
  }
}
BENCHMARK(BM_VpnGetOfAFullTunnel)->UseRealTime()->Iterations(8);

long rss_kb(GPid pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// igd1d's resident set once it stopped moving: sampled every 100 ms until
// ten samples in a row lie within 64 kB of the one before (at most 10 s),
// so that memory the store gives back after a pause is not counted.
long settled_rss_kb(GPid pid) {
  const Clock::time_point give_up = Clock::now() + std::chrono::seconds(10);
  long last = rss_kb(pid);
  for (int steady = 0; steady < 10 && Clock::now() < give_up;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long now = rss_kb(pid);
    steady = std::labs(now - last) <= 64 ? steady + 1 : 0;
    last = now;
  }
  return last;
}

// igd1d on a bus of its own, four full tunnels added through it: how much
// its resident set grew once settled, and once more after every tunnel and
// its statistics were read.
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
    const long before = settled_rss_kb(daemon.pid());
    std::vector<std::string> tunnels;
    for (int n = 0; n < 4; ++n) tunnels.push_back(full_tunnel(client));
    if (std::count(tunnels.begin(), tunnels.end(), "") != 0) state.SkipWithError("a tunnel was refused");
    const long after = settled_rss_kb(daemon.pid());
    for (const std::string &tunnel : tunnels) {
      call(client, tunnel, "org.freedesktop.DBus.Properties", "Get",
           g_variant_new("(ss)", kVpn, "tunnel_name"));
      call(client, tunnel + "/Stats", "org.freedesktop.DBus.Properties", "Get",
           g_variant_new("(ss)", "com.wqx.igd1.VPNConnectionStats", "data"));
    }
    const long read = settled_rss_kb(daemon.pid());
    state.counters["rss_before_kB"] = double(before);
    state.counters["rss_growth_kB"] = double(after - before);
    state.counters["rss_growth_after_reads_kB"] = double(read - before);
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

// The DHCP server's MinAddress of igd1d, and a bare GDBus object on the
// benchmarks' own bus as the control: the machine's load weighs on both,
// the records on igd1d alone.
constexpr char kControlPath[] = "/com/wqx/bench/DHCPServer";
GetTarget other_object() {
  return {"/com/wqx/igd1/Config/DHCPServer", kControlPath, "com.wqx.igd1.DHCPServer", "MinAddress",
          daemon().client};
}

const char *const kOuis[] = {"00A0C6", "506F9A", "0050F2", "001018"};

// 1,000 probe requests spread over one second, the four OUIs in turn: two
// filters keep each.  How many the daemon took.
int send_probe_requests(int round) {
  int accepted = 0;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 1000; ++i) {
    std::this_thread::sleep_until(start + std::chrono::microseconds(i * 1000));
    char message[160];
    std::snprintf(message, sizeof message,
                  "event radio probe-request 02:00:00:%02x:%02x:%02x %d %d -50 %s %04x", round & 0xff,
                  i / 256, i % 256, i % 2 + 1, i % 2 == 0 ? 6 : 36, kOuis[i % 4], i);
    accepted += notify(message).rfind("OK", 0) == 0 ? 1 : 0;
  }
  return accepted;
}

// Rounds of a second of Gets with no requests arriving followed by a second
// in which 1,000 arrive, igd1d's DHCP server and the control asked in turns
// in both: the p99 of each kind of second, pooled over the rounds, for
// igd1d against the control; and the main loop's time per request.
void BM_ProbeRecordsInOneSecond(benchmark::State &state) {
  constexpr int kRounds = 5;
  if (!daemon().ready ||
      !register_bare_constant(kControlPath, interface_from_file("DHCPServer.xml"), "192.168.1.2")) {
    state.SkipWithError("igd1d or the control did not start");
    return;
  }
  GDBusConnection *client = daemon().client;
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
    g_variant_builder_add(&entries, "{sv}", "OUI", g_variant_new_string(kOuis[n % 4]));
    g_variant_builder_add(&entries, "{sv}", "MaxRecords", g_variant_new_uint32(n % 2 == 0 ? 64 : 32));
    g_variant_builder_add(&entries, "{sv}", "Enable", g_variant_new_boolean(true));
    call(client, path, "com.wqx.igd1.Properties", "SetMulti", g_variant_new("(sa{sv})", "com.wqx.igd1.ProbeRxVSIE", &entries));
  }
  const GPid pid = daemon().process.pid();
  for (auto _ : state) {
    PairedGets idle, busy;
    double loop_idle_ms = 0, loop_busy_ms = 0;
    int accepted = 0;
    for (int round = 0; round < kRounds; ++round) {
      const double idle_begin = main_loop_cpu_ms(pid);
      paired_gets_until(other_object(), Clock::now() + std::chrono::seconds(1), &idle);
      const double busy_begin = main_loop_cpu_ms(pid);
      loop_idle_ms += busy_begin - idle_begin;
      std::thread sender([&] { accepted += send_probe_requests(round); });
      paired_gets_until(other_object(), Clock::now() + std::chrono::seconds(1), &busy);
      sender.join();
      loop_busy_ms += main_loop_cpu_ms(pid) - busy_begin;
    }
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
    window_counters(state, "busy", idle, busy);
    // The loop's time per request: its time in the busy seconds less what
    // the Gets there cost at the idle seconds' rate.
    const double per_get_ms = loop_idle_ms / double(std::max<size_t>(idle.igd1.size(), 1));
    state.counters["loop_ms_per_request"] =
        (loop_busy_ms - per_get_ms * double(busy.igd1.size())) / double(std::max(accepted, 1));
  }
}

BENCHMARK(BM_ProbeRecordsInOneSecond)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
