// Property read and write on the DHCP server object against a bare GDBus
// service answering the same interface, on the same private bus, through
// the same client, in the same run.
//
//   build/igd1_bench --benchmark_repetitions=5
//
// After the runs it prints, for Get of MinAddress and Set of LeaseTime, the
// time of both services (the median over the repetitions) and their ratio.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <chrono>
#include <string>

#include "harness/bus_fixture.h"
#include "host.h"
#include "dhcpserver.h"

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

// One request to a service; false when it failed.
using Request = bool (*)(const char *service, size_t iteration);

bool get_min_address(const char *service, size_t) {
  GVariant *reply = g_dbus_connection_call_sync(
      world().client, service, kPath, "org.freedesktop.DBus.Properties", "Get",
      g_variant_new("(ss)", kInterface, "MinAddress"), G_VARIANT_TYPE("(v)"),
      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  if (reply != nullptr) g_variant_unref(reply);
  return reply != nullptr;
}

bool set_lease_time(const char *service, size_t iteration) {
  static const guint32 kValues[] = {3600, 86400};
  GVariant *reply = g_dbus_connection_call_sync(
      world().client, service, kPath, "org.freedesktop.DBus.Properties", "Set",
      g_variant_new("(ssv)", kInterface, "LeaseTime", g_variant_new_uint32(kValues[iteration & 1])),
      nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  if (reply != nullptr) g_variant_unref(reply);
  return reply != nullptr;
}

// Both services answer in turns, the order swapping every iteration, so
// that whatever else the machine does weighs on both alike.  The
// iteration time is the pair; the counters give each service's mean.
void compare(benchmark::State &state, Request request) {
  using Clock = std::chrono::steady_clock;
  Clock::duration spent[2] = {};
  const char *services[2] = {kBareName, kIgd1Name};
  size_t iteration = 0;
  for (auto _ : state) {
    for (int k = 0; k < 2; ++k) {
      int which = (iteration & 1) ? 1 - k : k;
      auto begin = Clock::now();
      if (!request(services[which], iteration)) {
        state.SkipWithError("request failed");
        return;
      }
      spent[which] += Clock::now() - begin;
    }
    ++iteration;
  }
  auto mean_us = [&](int which) {
    return std::chrono::duration<double, std::micro>(spent[which]).count() / double(iteration);
  };
  state.counters["bare_us"] = mean_us(0);
  state.counters["igd1_us"] = mean_us(1);
  state.counters["ratio"] = mean_us(1) / mean_us(0);
}

void BM_Get_MinAddress(benchmark::State &state) { compare(state, get_min_address); }
void BM_Set_LeaseTime(benchmark::State &state) { compare(state, set_lease_time); }

BENCHMARK(BM_Get_MinAddress)->UseRealTime();
BENCHMARK(BM_Set_LeaseTime)->UseRealTime();

// The write handler alone, without the bus: what the library and the store
// add to a Set.
void BM_SetHandler_direct(benchmark::State &state) {
  World &w = world();
  GVariant *values[] = {g_variant_ref_sink(g_variant_new_uint32(3600)),
                        g_variant_ref_sink(g_variant_new_uint32(86400))};
  w.loop.run([&] {
    size_t i = 0;
    for (auto _ : state) {
      GError *error = nullptr;
      if (!dhcpserver_handle_set_property(w.host.connection(), nullptr, kPath, kInterface,
                                          "LeaseTime", values[i++ & 1], &error, nullptr)) {
        state.SkipWithError(error->message);
        g_error_free(error);
        break;
      }
    }
  });
  for (GVariant *v : values) g_variant_unref(v);
}
BENCHMARK(BM_SetHandler_direct)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  world();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
