// USB storage and NAS: Get on another object while a mount waits for the
// media server to stop (against Get when nothing waits), ListFolder of a
// folder of 10,000 files, and a 256 MB Copy against cp on the same disk,
// with its progress read all along.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_world.h"
#include "harness/program.h"
#include "mib_usb.h"

namespace {

using namespace igd1::bench;
using Clock = std::chrono::steady_clock;
using igd1::test::Variant;

constexpr char kDevice1[] = "/com/wqx/igd1/Storage/usb/devices/1";
constexpr char kDevice2[] = "/com/wqx/igd1/Storage/usb/devices/2";
constexpr char kFs[] = "com.wqx.igd1.usb.FileSystem";
constexpr char kNas[] = "/com/wqx/igd1/Storage/NAS";
constexpr char kNasInterface[] = "com.wqx.igd1.NASAccess";

double ms_since(Clock::time_point begin) {
  return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
}

Variant call(const char *path, const char *interface, const char *method, GVariant *args) {
  return igd1::test::call_service(world().client, path, interface, method, args, nullptr, 60000);
}

// Get of the printer's model until `until`: each one's time in ms.
std::vector<double> gets_until(Clock::time_point until) {
  std::vector<double> samples;
  while (Clock::now() < until) {
    const Clock::time_point begin = Clock::now();
    call(kDevice2, "org.freedesktop.DBus.Properties", "Get",
         g_variant_new("(ss)", "com.wqx.igd1.usb.Device", "Model"));
    samples.push_back(ms_since(begin));
  }
  return samples;
}

Variant mount() { return call(kDevice1, kFs, "Mount", g_variant_new_parsed("(@a{sv} {},)")); }

bool server_runs() {
  for (int i = 0; i < 300 && read_pid(MINIDLNAPID) <= 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return read_pid(MINIDLNAPID) > 0;
}

void BM_UsbGetWhileAMountWaitsForTheMediaServer(benchmark::State &state) {
  // The root's media server, which takes 1.5 s to stop.
  const std::string sbin = world().root.path("/usr/sbin");
  std::filesystem::create_directories(sbin);
  std::error_code ignored;
  std::filesystem::copy_file(IGD1_BUILD_DIR "/root/usr/sbin/media-server", sbin + "/media-server",
                             std::filesystem::copy_options::overwrite_existing, ignored);
  if (mount() == nullptr || !server_runs()) {
    state.SkipWithError("the media server does not run");
    return;
  }
  for (auto _ : state) {
    std::vector<double> idle = gets_until(Clock::now() + std::chrono::seconds(1));
    double mount_ms = 0;
    std::thread mounting([&] {
      const Clock::time_point begin = Clock::now();
      mount();
      mount_ms = ms_since(begin);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::vector<double> busy = gets_until(Clock::now() + std::chrono::seconds(1));
    mounting.join();
    server_runs();
    state.counters["mount_ms"] = mount_ms;
    state.counters["get_p99_idle_ms"] = percentile(idle, 99);
    state.counters["get_p99_busy_ms"] = percentile(busy, 99);
    state.counters["get_p50_idle_ms"] = percentile(idle, 50);
    state.counters["get_p50_busy_ms"] = percentile(busy, 50);
  }
}
BENCHMARK(BM_UsbGetWhileAMountWaitsForTheMediaServer)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_NasListFolderOf10000Files(benchmark::State &state) {
  const std::string folder = world().root.path("/mnt/usb1_1/many");
  if (!std::filesystem::exists(folder + "/file09999.txt")) {
    std::filesystem::create_directories(folder);
    for (int i = 0; i < 10000; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "/file%05d.txt", i);
      std::ofstream(folder + name) << i;
    }
  }
  std::vector<double> samples, loop_cpu;
  for (auto _ : state) {
    const double cpu_before = loop_cpu_us();
    const Clock::time_point begin = Clock::now();
    Variant listed = call(kNas, kNasInterface, "ListFolder", g_variant_new("(suu)", "usb1_1/many", 0u, 0u));
    samples.push_back(ms_since(begin));
    loop_cpu.push_back((loop_cpu_us() - cpu_before) / 1000);
    GVariant *entries = listed != nullptr ? g_variant_get_child_value(listed.get(), 2) : nullptr;
    if (entries == nullptr || g_variant_n_children(entries) != 10000) state.SkipWithError("not 10,000 entries");
    if (entries != nullptr) g_variant_unref(entries);
  }
  state.counters["p50_ms"] = percentile(samples, 50);
  state.counters["p99_ms"] = percentile(samples, 99);
  // The service's own work (the listing, its reply and sending it), which
  // the machine's load does not inflate as it does the wall time.
  state.counters["loop_cpu_p50_ms"] = percentile(loop_cpu, 50);
}
BENCHMARK(BM_NasListFolderOf10000Files)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same listing built by the store alone, without the bus: what the
// reply costs to make against what it costs to carry.
void BM_NasListFolderOf10000FilesInTheStore(benchmark::State &state) {
  for (auto _ : state) {
    GVariant *reply = nullptr;
    GVariant *parameters = g_variant_ref_sink(g_variant_new("(suu)", "usb1_1/many", 0u, 0u));
    homeNAS_handle_action(1, parameters, &reply);
    g_variant_unref(parameters);
    if (reply == nullptr) state.SkipWithError("no listing");
    else g_variant_unref(reply);
  }
}
BENCHMARK(BM_NasListFolderOf10000FilesInTheStore)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_NasCopyOf256MBAgainstCp(benchmark::State &state) {
  constexpr uint64_t kSize = uint64_t(256) << 20;
  const std::string disk = world().root.path("/mnt/usb1_1");
  {
    std::ofstream big(disk + "/big.bin", std::ios::binary | std::ios::trunc);
    std::string block(1 << 20, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = char(i * 7);
    for (uint64_t n = 0; n < kSize >> 20; ++n) big << block;
  }
  std::filesystem::create_directories(disk + "/copies");
  // Each copy starts with nothing left to write back, so that neither pays
  // for the other's dirty pages.
  std::vector<double> cp_times, copy_times;
  int reads = 0, partial = 0;
  for (auto _ : state) {
    std::filesystem::remove(disk + "/copies/big.bin");
    std::filesystem::remove(disk + "/cp-big.bin");
    sync();
    Clock::time_point begin = Clock::now();
    igd1::test::run_program({"cp", disk + "/big.bin", disk + "/cp-big.bin"}, {});
    cp_times.push_back(ms_since(begin));
    sync();
    begin = Clock::now();
    Variant started = call(kNas, kNasInterface, "Copy", g_variant_new("(ss)", "usb1_1/big.bin", "usb1_1/copies"));
    guint32 result = 1, id = 0;
    const gchar *message = nullptr;
    if (started != nullptr) g_variant_get(started.get(), "(u&su)", &result, &message, &id);
    if (result != 0) {
      state.SkipWithError("Copy refused");
      return;
    }
    for (;;) {
      Variant progress = call(kNas, kNasInterface, "GetCopyProgress", g_variant_new("(u)", id));
      ++reads;
      const gchar *what = nullptr, *copy_state = nullptr;
      guint64 copied = 0, total = 0;
      g_variant_get(progress.get(), "(u&s&stt)", &result, &what, &copy_state, &copied, &total);
      if (std::string(copy_state) != "running") break;
      partial += copied > 0 && copied < total ? 1 : 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    copy_times.push_back(ms_since(begin));
  }
  const double cp_ms = percentile(cp_times, 50), copy_ms = percentile(copy_times, 50);
  state.counters["cp_MBps_p50"] = double(kSize >> 20) / (cp_ms / 1000);
  state.counters["copy_MBps_p50"] = double(kSize >> 20) / (copy_ms / 1000);
  state.counters["copy_vs_cp"] = cp_ms / copy_ms;
  state.counters["progress_reads"] = reads;
  state.counters["progress_partial"] = partial;
  std::filesystem::remove(disk + "/big.bin");
  std::filesystem::remove(disk + "/cp-big.bin");
  std::filesystem::remove_all(disk + "/copies");
}
BENCHMARK(BM_NasCopyOf256MBAgainstCp)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
