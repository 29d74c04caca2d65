// The maintenance object over a made-up kernel of 300 processes, a thermal
// zone and connection tracking: the main loop's CPU per property Get over
// the bus, GetServiceProcess over the whole process table, and one round of
// the watch with 20 watched services.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstring>
#include <string>

#include "bench_world.h"
#include "mib_diag.h"
#include "omdiag_watch.h"

namespace {

using namespace igd1::bench;
constexpr char kPath[] = "/com/wqx/igd1/Ovatrix/OMDiag";
constexpr char kInterface[] = "com.wqx.igd1.OMDiag";
constexpr int kProcesses = 300;
constexpr int kWatched = 20;
constexpr double kWatchRoundSeconds = 10;  // omdiag.WatchInterval of a new store

// The kernel's files below a folder of the run's own, and 20 more watched
// services in each list.
struct FakeKernel {
  std::string dir;
  FakeKernel() : dir(g_dir_make_tmp("igd1-bench-kernel-XXXXXX", nullptr)) {
    igd1::set_kernel_root_dir(dir);
    put("/proc/meminfo", "MemTotal:        1000000 kB\n");
    put("/proc/sys/net/netfilter/nf_conntrack_count", "1234\n");
    put("/proc/sys/net/netfilter/nf_conntrack_max", "65536\n");
    put("/sys/class/thermal/thermal_zone0/type", "cpu-thermal\n");
    put("/sys/class/thermal/thermal_zone0/temp", "51200\n");
    for (int pid = 1; pid <= kProcesses; ++pid) {
      const std::string name = "svc" + std::to_string(pid % 40);
      put("/proc/" + std::to_string(pid) + "/stat",
          std::to_string(pid) + " (" + name + ") S 1 1 1 0 -1 4194560 10 0 0 0 " +
              std::to_string(pid * 3) + " 7 0 0 20 0 1 0 " + std::to_string(1000 + pid) +
              " 1000000 250 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0\n");
    }
    world().loop.run([] {
      for (const char *table : {"omdiag_resource", "omdiag_process"}) {
        const igd1::mib::TableDef *def = igd1::mib::find_table(table);
        std::vector<uint8_t> row(def->row_size, 0);
        for (int n = 0; n < kWatched; ++n) {
          row[0] = uint8_t(10 + n);
          const std::string name = "svc" + std::to_string(n);
          std::memset(row.data() + 4, 0, 64);
          std::memcpy(row.data() + 4, name.data(), name.size());
          igd1::mib::table_insert_at(*def, row.data());
        }
      }
    });
  }
  void put(const std::string &file, const std::string &text) const {
    const std::string path = dir + file;
    g_autofree gchar *folder = g_path_get_dirname(path.c_str());
    g_mkdir_with_parents(folder, 0755);
    g_file_set_contents(path.c_str(), text.c_str(), -1, nullptr);
  }
};

const FakeKernel &kernel() {
  static const FakeKernel *fake = new FakeKernel;
  return *fake;
}

double thread_cpu_us() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) * 1e6 + double(now.tv_nsec) / 1e3;
}

// One property Get over the bus; the counter is the loop thread's CPU per
// Get, the reading of /proc and /sys included.
void BM_OMDiag_Get(benchmark::State &state, const char *property) {
  kernel();
  const double cpu_before = loop_cpu_us();
  size_t gets = 0;
  for (auto _ : state) {
    GVariant *reply = g_dbus_connection_call_sync(
        world().client, kIgd1Name, kPath, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", kInterface, property), G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE,
        5000, nullptr, nullptr);
    if (reply == nullptr) {
      state.SkipWithError("Get failed");
      return;
    }
    g_variant_unref(reply);
    ++gets;
  }
  state.counters["loop_cpu_us"] = (loop_cpu_us() - cpu_before) / double(gets);
}
BENCHMARK_CAPTURE(BM_OMDiag_Get, CPUTemperature, "CPUTemperature")->UseRealTime();
BENCHMARK_CAPTURE(BM_OMDiag_Get, ConntrackNumber, "ConntrackNumber")->UseRealTime();
BENCHMARK_CAPTURE(BM_OMDiag_Get, LAN1NegoRate, "LAN1NegoRate")->UseRealTime();
BENCHMARK_CAPTURE(BM_OMDiag_Get, CPUTempThreshold, "CPUTempThreshold")->UseRealTime();
BENCHMARK_CAPTURE(BM_OMDiag_Get, DnOptRxPWRThresholdL, "DnOptRxPWRThresholdL")->UseRealTime();

// The whole process table: what GetServiceProcess("") answers.
void BM_OMDiag_GetServiceProcess_300(benchmark::State &state) {
  kernel();
  for (auto _ : state) {
    GVariant *reply = nullptr;
    if (OMDiag_handle_action(40, g_variant_new("(s)", ""), &reply) == 0) {
      state.SkipWithError("action 40 failed");
      return;
    }
    g_autoptr(GVariant) processes = g_variant_get_child_value(reply, 0);
    benchmark::DoNotOptimize(g_variant_n_children(processes));
    g_variant_unref(reply);
  }
}
BENCHMARK(BM_OMDiag_GetServiceProcess_300)->Unit(benchmark::kMillisecond);

// One round of the watch: 20 resources and 20 processes over 300
// processes.  core_percent is the share of one core the watch takes at its
// round of 10 seconds.
void BM_OMDiag_WatchRound_20(benchmark::State &state) {
  kernel();
  igd1::mib::ServiceWatch watch;
  double cpu = 0;
  size_t rounds = 0;
  for (auto _ : state) {
    const double before = thread_cpu_us();
    watch.round_now();
    cpu += thread_cpu_us() - before;
    ++rounds;
  }
  state.counters["round_cpu_us"] = cpu / double(rounds);
  state.counters["core_percent"] = cpu / double(rounds) / (kWatchRoundSeconds * 1e6) * 100;
}
BENCHMARK(BM_OMDiag_WatchRound_20)->Unit(benchmark::kMillisecond);

}  // namespace
