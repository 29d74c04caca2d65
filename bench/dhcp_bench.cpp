// Property reads and writes on the DHCP server object against a bare GDBus
// service answering the same interface from memory, on the same private bus,
// through the same client, in the same run; and the library's handlers
// called directly, without the bus.
#include <benchmark/benchmark.h>

#include <string>

#include "bench_world.h"
#include "dbus_vtable.h"
#include "dhcpserver.h"
#include "ipv6_lan.h"
#include "speed_tests.h"

namespace {

using namespace igd1::bench;
constexpr char kPath[] = "/com/wqx/igd1/Config/DHCPServer";
constexpr char kInterface[] = "com.wqx.igd1.DHCPServer";
constexpr int kTimeoutMs = 5000;
constexpr uint64_t kTimeoutUs = 5000000;

// ---- the bare service: values in memory, the same signal on a write ----------

struct BareValues {
  bool enable = true;
  std::string min_address = "192.168.1.2";
  std::string max_address = "192.168.1.254";
  std::string subnet_mask = "255.255.255.0";
  guint32 lease_time = 86400;
} g_bare;

GVariant *bare_get(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                   const gchar *property, GError **error, gpointer) {
  if (g_strcmp0(property, "MinAddress") == 0) return g_variant_new_string(g_bare.min_address.c_str());
  if (g_strcmp0(property, "LeaseTime") == 0) return g_variant_new_uint32(g_bare.lease_time);
  g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "invalid property %s", property);
  return nullptr;
}

void bare_emit(GDBusConnection *connection, const char *path, const char *interface,
               GVariantBuilder *changes) {
  GVariant *body = g_variant_ref_sink(g_variant_new("(sa{sv}as)", interface, changes, nullptr));
  g_dbus_connection_emit_signal(connection, nullptr, path, kIgd1PropertiesInterface,
                                kIgd1PropertiesChanged, body, nullptr);
  g_variant_unref(body);
}

// Stores one value; false for a name or type it does not know.
bool bare_store(const char *name, GVariant *value) {
  if (g_strcmp0(name, "Enable") == 0 && g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN)) {
    g_bare.enable = g_variant_get_boolean(value);
  } else if (g_strcmp0(name, "LeaseTime") == 0 && g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32)) {
    g_bare.lease_time = g_variant_get_uint32(value);
  } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) {
    const char *text = g_variant_get_string(value, nullptr);
    if (g_strcmp0(name, "MinAddress") == 0) g_bare.min_address = text;
    else if (g_strcmp0(name, "MaxAddress") == 0) g_bare.max_address = text;
    else if (g_strcmp0(name, "SubnetMask") == 0) g_bare.subnet_mask = text;
    else return false;
  } else {
    return false;
  }
  return true;
}

gboolean bare_set(GDBusConnection *connection, const gchar *, const gchar *path,
                  const gchar *interface, const gchar *property, GVariant *value, GError **error,
                  gpointer) {
  if (!bare_store(property, value)) {
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "invalid property %s", property);
    return FALSE;
  }
  GVariantBuilder changes;
  g_variant_builder_init(&changes, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&changes, "{sv}", property, value);
  bare_emit(connection, path, interface, &changes);
  return TRUE;
}

const GDBusInterfaceVTable kBareVTable = {nullptr, bare_get, bare_set, {nullptr}};

// The multi-property write: (s interface, a{sv} values), every value stored,
// one signal with all of them.
void bare_set_multi(GDBusConnection *connection, const gchar *, const gchar *path, const gchar *,
                    const gchar *, GVariant *parameters, GDBusMethodInvocation *invocation,
                    gpointer) {
  const gchar *interface = nullptr;
  GVariantIter *entries = nullptr;
  g_variant_get(parameters, "(&sa{sv})", &interface, &entries);
  GVariantBuilder changes;
  g_variant_builder_init(&changes, G_VARIANT_TYPE("a{sv}"));
  const gchar *name = nullptr;
  GVariant *value = nullptr;
  bool ok = true;
  while (ok && g_variant_iter_next(entries, "{&sv}", &name, &value)) {
    ok = bare_store(name, value);
    if (ok) g_variant_builder_add(&changes, "{sv}", name, value);
    g_variant_unref(value);
  }
  g_variant_iter_free(entries);
  if (!ok) {
    g_variant_builder_clear(&changes);
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                          "invalid property %s", name);
    return;
  }
  bare_emit(connection, path, interface, &changes);
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

const GDBusInterfaceVTable kBareMultiVTable = {bare_set_multi, nullptr, nullptr, {nullptr}};


// Registered on the bare connection the first time a DHCP benchmark runs;
// false when GDBus refused.
bool register_bare_server() {
  static bool registered = [] {
    World &w = world();
    bool ok = false;
    w.loop.run([&] {
      ok = bare_register_object(w.bare, kPath, interface_from_file("DHCPServer.xml"), &kBareVTable) != 0 &&
           bare_register_object(w.bare, kPath, interface_from_xml(kIgd1PropertiesXml), &kBareMultiVTable) != 0;
    });
    return ok;
  }();
  return registered;
}

// Two sets of values, taken in turns, so that every write changes something.
const guint32 kLeaseTimes[] = {3600, 86400};
const char *const kMinAddresses[] = {"192.168.1.2", "192.168.1.3"};

bool call_ok(GVariant *reply) {
  if (reply != nullptr) g_variant_unref(reply);
  return reply != nullptr;
}

GVariant *multi_values(size_t iteration) {
  GVariantBuilder values;
  g_variant_builder_init(&values, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&values, "{sv}", "Enable", g_variant_new_boolean(TRUE));
  g_variant_builder_add(&values, "{sv}", "MinAddress", g_variant_new_string(kMinAddresses[iteration & 1]));
  g_variant_builder_add(&values, "{sv}", "MaxAddress", g_variant_new_string("192.168.1.254"));
  g_variant_builder_add(&values, "{sv}", "SubnetMask", g_variant_new_string("255.255.255.0"));
  g_variant_builder_add(&values, "{sv}", "LeaseTime", g_variant_new_uint32(kLeaseTimes[iteration & 1]));
  return g_variant_builder_end(&values);
}

// ---- GDBus client ------------------------------------------------------------

bool gdbus_get(const char *service, size_t) {
  return call_ok(g_dbus_connection_call_sync(
      world().client, service, kPath, "org.freedesktop.DBus.Properties", "Get",
      g_variant_new("(ss)", kInterface, "MinAddress"), G_VARIANT_TYPE("(v)"),
      G_DBUS_CALL_FLAGS_NONE, kTimeoutMs, nullptr, nullptr));
}

bool gdbus_set(const char *service, size_t iteration) {
  return call_ok(g_dbus_connection_call_sync(
      world().client, service, kPath, "org.freedesktop.DBus.Properties", "Set",
      g_variant_new("(ssv)", kInterface, "LeaseTime", g_variant_new_uint32(kLeaseTimes[iteration & 1])),
      nullptr, G_DBUS_CALL_FLAGS_NONE, kTimeoutMs, nullptr, nullptr));
}

bool gdbus_set_multi(const char *service, size_t iteration) {
  return call_ok(g_dbus_connection_call_sync(
      world().client, service, kPath, kIgd1PropertiesInterface, kIgd1SetMultiMethod,
      g_variant_new("(s@a{sv})", kInterface, multi_values(iteration)), nullptr,
      G_DBUS_CALL_FLAGS_NONE, kTimeoutMs, nullptr, nullptr));
}

// ---- sd-bus client -------------------------------------------------------------

#ifdef IGD1_HAVE_SDBUS
bool sd_ok(int r, sd_bus_message *reply, sd_bus_error *error) {
  sd_bus_message_unref(reply);
  sd_bus_error_free(error);
  return r >= 0;
}

bool sd_get(const char *service, size_t) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message *reply = nullptr;
  int r = sd_bus_call_method(world().sd, service, kPath, "org.freedesktop.DBus.Properties", "Get",
                             &error, &reply, "ss", kInterface, "MinAddress");
  return sd_ok(r, reply, &error);
}

bool sd_set(const char *service, size_t iteration) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message *reply = nullptr;
  int r = sd_bus_call_method(world().sd, service, kPath, "org.freedesktop.DBus.Properties", "Set",
                             &error, &reply, "ssv", kInterface, "LeaseTime", "u",
                             kLeaseTimes[iteration & 1]);
  return sd_ok(r, reply, &error);
}

bool sd_set_multi(const char *service, size_t iteration) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message *reply = nullptr;
  int r = sd_bus_call_method(world().sd, service, kPath, kIgd1PropertiesInterface,
                             kIgd1SetMultiMethod, &error, &reply, "sa{sv}", kInterface, 5,
                             "Enable", "b", 1, "MinAddress", "s", kMinAddresses[iteration & 1],
                             "MaxAddress", "s", "192.168.1.254", "SubnetMask", "s",
                             "255.255.255.0", "LeaseTime", "u", kLeaseTimes[iteration & 1]);
  return sd_ok(r, reply, &error);
}
#endif

const Request &pick(Client client, const Request &gdbus, [[maybe_unused]] const Request &sd) {
#ifdef IGD1_HAVE_SDBUS
  if (client == Client::SdBus) return sd;
#endif
  (void)client;
  return gdbus;
}

#ifdef IGD1_HAVE_SDBUS
#define SD_REQUEST(f) Request(f)
#else
#define SD_REQUEST(f) Request()
#endif

void BM_Get_MinAddress(benchmark::State &state, Client client) {
  if (!register_bare_server()) return state.SkipWithError("bare service not registered");
  compare(state, pick(client, gdbus_get, SD_REQUEST(sd_get)));
}
void BM_Set_LeaseTime(benchmark::State &state, Client client) {
  if (!register_bare_server()) return state.SkipWithError("bare service not registered");
  compare(state, pick(client, gdbus_set, SD_REQUEST(sd_set)));
}
void BM_SetMulti_5(benchmark::State &state, Client client) {
  if (!register_bare_server()) return state.SkipWithError("bare service not registered");
  compare(state, pick(client, gdbus_set_multi, SD_REQUEST(sd_set_multi)));
}

BENCHMARK_CAPTURE(BM_Get_MinAddress, gdbus, Client::GDBus)->UseRealTime();
BENCHMARK_CAPTURE(BM_Set_LeaseTime, gdbus, Client::GDBus)->UseRealTime();
BENCHMARK_CAPTURE(BM_SetMulti_5, gdbus, Client::GDBus)->UseRealTime();
#ifdef IGD1_HAVE_SDBUS
BENCHMARK_CAPTURE(BM_Get_MinAddress, sdbus, Client::SdBus)->UseRealTime();
BENCHMARK_CAPTURE(BM_Set_LeaseTime, sdbus, Client::SdBus)->UseRealTime();
BENCHMARK_CAPTURE(BM_SetMulti_5, sdbus, Client::SdBus)->UseRealTime();
#endif

// ---- the handlers alone ----------------------------------------------------------
// They run on the loop thread, as the host calls them; the benchmark's CPU
// column is that thread's CPU, i.e. what the library and the store cost.

// One property's get handler, called as the host calls it.
void get_directly(benchmark::State &state, GDBusInterfaceGetPropertyFunc handler, const char *path,
                  const char *interface, const char *name) {
  World &w = world();
  w.loop.run([&] {
    for (auto _ : state) {
      GError *error = nullptr;
      GVariant *value = handler(w.host.connection(), nullptr, path, interface, name, &error, nullptr);
      if (value == nullptr) {
        state.SkipWithError(error != nullptr ? error->message : "no value");
        g_clear_error(&error);
        break;
      }
      g_variant_unref(value);
    }
  });
}
void BM_GetHandler_direct(benchmark::State &state) {
  get_directly(state, dhcpserver_handle_get_property, kPath, kInterface, "MinAddress");
}
BENCHMARK(BM_GetHandler_direct);
// A text of the IPv6 LAN object, which the store checks on every write.
void BM_GetHandler_direct_IPv6LANPrefix(benchmark::State &state) {
  get_directly(state, IPV6LANConfig_handle_get_property, "/com/wqx/igd1/Config/IPV6/LAN",
               "com.wqx.igd1.IPv6LANConfig", "Prefix");
}
BENCHMARK(BM_GetHandler_direct_IPv6LANPrefix);
// A rate of the full-featured speed test, and the plain test's status, whose
// every read also refreshes the store's WAN rate figure.
void BM_GetHandler_direct_SpeedTestRate(benchmark::State &state) {
  get_directly(state, httpdownloadtestff_handle_get_property, igd1::speed_tests::kPath,
               "com.wqx.igd1.HttpDownloadTestFF", "DW_SPEED_RATE");
}
BENCHMARK(BM_GetHandler_direct_SpeedTestRate);
void BM_GetHandler_direct_HttpDownloadStatus(benchmark::State &state) {
  get_directly(state, httpdownloadtest_handle_get_property, igd1::speed_tests::kPath,
               "com.wqx.igd1.HttpDownloadTest", "Status");
}
BENCHMARK(BM_GetHandler_direct_HttpDownloadStatus);

void BM_SetHandler_direct(benchmark::State &state) {
  World &w = world();
  GVariant *values[] = {g_variant_ref_sink(g_variant_new_uint32(kLeaseTimes[0])),
                        g_variant_ref_sink(g_variant_new_uint32(kLeaseTimes[1]))};
  w.loop.run([&] {
    size_t i = 0;
    for (auto _ : state) {
      GError *error = nullptr;
      if (!dhcpserver_handle_set_property(w.host.connection(), nullptr, kPath, kInterface,
                                          "LeaseTime", values[i++ & 1], &error, nullptr)) {
        state.SkipWithError(error != nullptr ? error->message : "refused");
        g_clear_error(&error);
        break;
      }
    }
  });
  for (GVariant *v : values) g_variant_unref(v);
}
BENCHMARK(BM_SetHandler_direct)->UseRealTime();

void BM_SetMultiHandler_direct(benchmark::State &state) {
  World &w = world();
  GVariant *values[] = {g_variant_ref_sink(multi_values(0)), g_variant_ref_sink(multi_values(1))};
  w.loop.run([&] {
    size_t i = 0;
    for (auto _ : state) {
      GError *error = nullptr;
      if (!dhcp_server_handle_set_multi_properties(w.host.connection(), nullptr, kPath, kInterface,
                                                   values[i++ & 1], &error, nullptr)) {
        state.SkipWithError(error != nullptr ? error->message : "refused");
        g_clear_error(&error);
        break;
      }
    }
  });
  for (GVariant *v : values) g_variant_unref(v);
}
BENCHMARK(BM_SetMultiHandler_direct)->UseRealTime();

}  // namespace
