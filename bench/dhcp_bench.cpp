// Property read and write on the DHCP server object against a bare GDBus
// service answering the same interface, on the same private bus, through
// the same client, in the same run.
//
//   build/igd1_bench [--benchmark_min_time=2]
//
// After the runs it prints, for Get of MinAddress and Set of LeaseTime, the
// time of both services and their ratio.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "harness/bus_fixture.h"
#include "host.h"

namespace {

using igd1::test::Variant;

constexpr char kIgd1Name[] = "com.wqx.igd1";
constexpr char kBareName[] = "com.wqx.bench.Bare";
constexpr char kPath[] = "/com/wqx/igd1/Config/DHCPServer";
constexpr char kInterface[] = "com.wqx.igd1.DHCPServer";

// ---- the bare service: values in memory, the same signal on a write ----------

struct BareValues {
  std::string min_address = "192.168.1.2";
  guint32 lease_time = 86400;
} g_bare;

GVariant *bare_get(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                   const gchar *property, GError **error, gpointer) {
  if (g_strcmp0(property, "MinAddress") == 0) return g_variant_new_string(g_bare.min_address.c_str());
  if (g_strcmp0(property, "LeaseTime") == 0) return g_variant_new_uint32(g_bare.lease_time);
  g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "invalid property %s", property);
  return nullptr;
}

gboolean bare_set(GDBusConnection *connection, const gchar *, const gchar *path,
                  const gchar *interface, const gchar *property, GVariant *value, GError **error,
                  gpointer) {
  if (g_strcmp0(property, "LeaseTime") != 0) {
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "invalid property %s", property);
    return FALSE;
  }
  g_bare.lease_time = g_variant_get_uint32(value);
  GVariantBuilder changes;
  g_variant_builder_init(&changes, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&changes, "{sv}", property, value);
  g_dbus_connection_emit_signal(connection, nullptr, path, "com.wqx.igd1.Properties",
                                "PropertiesChanged",
                                g_variant_new("(sa{sv}as)", interface, &changes, nullptr), nullptr);
  return TRUE;
}

const GDBusInterfaceVTable kBareVTable = {nullptr, bare_get, bare_set, {nullptr}};

// ---- the shared set-up ---------------------------------------------------------

struct World {
  igd1::test::TempRoot root;
  igd1::test::MainLoopThread loop;
  igd1::host::Host host;
  GDBusConnection *bare = nullptr;
  GDBusConnection *client = nullptr;

  World() {
    igd1::host::Options options;
    options.bus = igd1::host::BusKind::Address;
    options.address = igd1::test::PrivateBus::address();
    options.library = IGD1_BUILD_DIR "/libigd1.so";
    options.modules = {"dhcp_server"};
    std::string error;
    bool started = false;
    loop.run([&] { started = host.start(options, &error); });
    if (!started) {
      std::fprintf(stderr, "host: %s\n", error.c_str());
      std::exit(1);
    }
    bare = igd1::test::connect_private_bus();
    loop.run([&] {
      std::string xml = igd1::test::read_text_file(IGD1_SOURCE_XML_DIR "/DHCPServer.xml");
      GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(xml.c_str(), nullptr);
      g_dbus_connection_register_object(bare, kPath, node->interfaces[0], &kBareVTable, nullptr,
                                        nullptr, nullptr);
      g_bus_own_name_on_connection(bare, kBareName, G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, nullptr,
                                   nullptr, nullptr);
    });
    client = igd1::test::connect_private_bus();
    igd1::test::wait_for_name(client, kIgd1Name);
    igd1::test::wait_for_name(client, kBareName);
  }
};

World &world() {
  static World *w = new World;
  return *w;
}

void get_min_address(benchmark::State &state, const char *service) {
  GDBusConnection *client = world().client;
  for (auto _ : state) {
    GVariant *reply = g_dbus_connection_call_sync(
        client, service, kPath, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", kInterface, "MinAddress"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (reply == nullptr) {
      state.SkipWithError("Get failed");
      break;
    }
    g_variant_unref(reply);
  }
}

void set_lease_time(benchmark::State &state, const char *service) {
  GDBusConnection *client = world().client;
  guint32 values[] = {3600, 86400};
  size_t i = 0;
  for (auto _ : state) {
    GVariant *reply = g_dbus_connection_call_sync(
        client, service, kPath, "org.freedesktop.DBus.Properties", "Set",
        g_variant_new("(ssv)", kInterface, "LeaseTime", g_variant_new_uint32(values[i++ & 1])),
        nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (reply == nullptr) {
      state.SkipWithError("Set failed");
      break;
    }
    g_variant_unref(reply);
  }
}

void BM_Get_MinAddress_igd1(benchmark::State &state) { get_min_address(state, kIgd1Name); }
void BM_Get_MinAddress_bare(benchmark::State &state) { get_min_address(state, kBareName); }
void BM_Set_LeaseTime_igd1(benchmark::State &state) { set_lease_time(state, kIgd1Name); }
void BM_Set_LeaseTime_bare(benchmark::State &state) { set_lease_time(state, kBareName); }

BENCHMARK(BM_Get_MinAddress_bare);
BENCHMARK(BM_Get_MinAddress_igd1);
BENCHMARK(BM_Set_LeaseTime_bare);
BENCHMARK(BM_Set_LeaseTime_igd1);

// Keeps each run's time per iteration to print the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs)
      if (!run.error_occurred) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void print_ratios() const {
    std::printf("\n%-22s %12s %12s %8s\n", "operation", "bare (us)", "igd1 (us)", "ratio");
    for (const char *op : {"Get_MinAddress", "Set_LeaseTime"}) {
      auto bare = times_.find(std::string("BM_") + op + "_bare");
      auto igd1 = times_.find(std::string("BM_") + op + "_igd1");
      if (bare == times_.end() || igd1 == times_.end()) continue;
      std::printf("%-22s %12.1f %12.1f %8.3f\n", op, bare->second / 1000, igd1->second / 1000,
                  igd1->second / bare->second);
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  world();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratios();
  benchmark::Shutdown();
  return 0;
}
