// Property read and write on the DHCP server object against a bare GDBus
// service answering the same interface, on the same private bus, through
// the same client, in the same run.
//
//   build/igd1_bench --benchmark_repetitions=5
//
// After the runs it prints, for Get of MinAddress and Set of LeaseTime, the
// time of both services (the median over the repetitions) and their ratio.
#include <benchmark/benchmark.h>

#include <string>

#include "bench_world.h"
#include "dhcpserver.h"

namespace {

using namespace igd1::bench;
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

// Registered on the bare connection the first time a DHCP benchmark runs.
void register_bare_server() {
  static bool registered = [] {
    World &w = world();
    w.loop.run([&] {
      g_dbus_connection_register_object(w.bare, kPath, interface_from_file("DHCPServer.xml"),
                                        &kBareVTable, nullptr, nullptr, nullptr);
    });
    return true;
  }();
  (void)registered;
}

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

void BM_Get_MinAddress(benchmark::State &state) {
  register_bare_server();
  compare(state, get_min_address);
}
void BM_Set_LeaseTime(benchmark::State &state) {
  register_bare_server();
  compare(state, set_lease_time);
}

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
