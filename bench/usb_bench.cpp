// USB storage and NAS: Get on another object while a mount waits for the
// media server to stop (against Get when nothing waits), ListFolder of a
// folder of 10,000 files, and a 256 MB Copy against cp on the same disk,
// with its progress read all along.
#include <benchmark/benchmark.h>
#include <time.h>
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

double process_cpu_ms() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

double ms_since(Clock::time_point begin) {
  return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
}

Variant call(const char *path, const char *interface, const char *method, GVariant *args) {
  return igd1::test::call_service(world().client, path, interface, method, args, nullptr, 60000);
}

// The printer's Model, asked of igd1 and of a bare GDBus object, the
// baseline that the machine's load weighs on as on igd1.
constexpr GetTarget kPrinterModel = {kDevice2, kDevice2, "com.wqx.igd1.usb.Device", "Model"};

bool register_bare_device() {
  return register_bare_constant(kDevice2, interface_from_file("usb.Device.xml"), "Line Printer");
}

Variant mount() { return call(kDevice1, kFs, "Mount", g_variant_new_parsed("(@a{sv} {},)")); }

bool server_runs() {
  for (int i = 0; i < 300 && read_pid(MINIDLNAPID) <= 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return read_pid(MINIDLNAPID) > 0;
}

// Rounds of a second of Gets with nothing waiting, then Gets while a mount
// waits for the media server (1.5 s to stop): from 0.2 s after the mount
// began, when its programs have run, to 1.4 s.  The p99 of each, pooled
// over the rounds, for igd1 and for the bare service asked in the same
// windows.
void BM_UsbGetWhileAMountWaitsForTheMediaServer(benchmark::State &state) {
  constexpr int kRounds = 5;
  const std::string sbin = world().root.path("/usr/sbin");
  std::filesystem::create_directories(sbin);
  std::error_code ignored;
  std::filesystem::copy_file(IGD1_BUILD_DIR "/root/usr/sbin/media-server", sbin + "/media-server",
                             std::filesystem::copy_options::overwrite_existing, ignored);
  if (!register_bare_device() || mount() == nullptr || !server_runs()) {
    state.SkipWithError("the media server or the bare object does not run");
    return;
  }
  for (auto _ : state) {
    PairedGets idle, waiting;
    std::vector<double> mount_ms;
    for (int round = 0; round < kRounds; ++round) {
      paired_gets_until(kPrinterModel, Clock::now() + std::chrono::seconds(1), &idle);
      const Clock::time_point began = Clock::now();
      std::thread mounting([&] {
        mount();
        mount_ms.push_back(ms_since(began));
      });
      std::this_thread::sleep_until(began + std::chrono::milliseconds(200));
      paired_gets_until(kPrinterModel, began + std::chrono::milliseconds(1400), &waiting);
      mounting.join();
      server_runs();
    }
    state.counters["mount_ms_p50"] = percentile(mount_ms, 50);
    window_counters(state, "waiting", idle, waiting);
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
  std::vector<double> samples, loop_cpu, process_cpu;
  for (auto _ : state) {
    const double loop_before = loop_cpu_us(), process_before = process_cpu_ms();
    const Clock::time_point begin = Clock::now();
    Variant listed = call(kNas, kNasInterface, "ListFolder", g_variant_new("(suu)", "usb1_1/many", 0u, 0u));
    samples.push_back(ms_since(begin));
    loop_cpu.push_back((loop_cpu_us() - loop_before) / 1000);
    process_cpu.push_back(process_cpu_ms() - process_before);
    GVariant *entries = listed != nullptr ? g_variant_get_child_value(listed.get(), 2) : nullptr;
    if (entries == nullptr || g_variant_n_children(entries) != 10000) state.SkipWithError("not 10,000 entries");
    if (entries != nullptr) g_variant_unref(entries);
  }
  state.counters["p50_ms"] = percentile(samples, 50);
  state.counters["p99_ms"] = percentile(samples, 99);
  // What the listing costs in CPU, which the machine's load does not
  // inflate as it does the wall time: on the main loop (nothing but handing
  // the call to the file worker), and in the whole process (the listing,
  // the reply's serialization, and the client's reading of it; not the bus
  // daemon's share).
  state.counters["loop_cpu_p50_ms"] = percentile(loop_cpu, 50);
  state.counters["process_cpu_p50_ms"] = percentile(process_cpu, 50);
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
