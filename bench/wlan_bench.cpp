// The wireless networks: a five-entry SetMulti of an SSID (backup, apply,
// commit, radio, signal) against one of the DHCP server on the same igd1;
// GetManagedObjects of the eight SSIDs against GDBus's own object manager
// serving the same dictionaries from memory, with eight WPS objects beside
// them on both sides; and the re-announcement of every SSID's name and key.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <string>

#include "bench_world.h"
#include "dbus_vtable.h"
#include "wlanconfiguration.h"

namespace {

using namespace igd1::bench;

constexpr char kDevices[] = "/com/wqx/igd1/Config/WLAN/Devices";
constexpr char kWlan[] = "com.wqx.igd1.WLANConfiguration";
constexpr unsigned kSsids = 8;
constexpr int kTimeoutMs = 10000;

bool call_ok(GVariant *reply) {
  if (reply != nullptr) g_variant_unref(reply);
  return reply != nullptr;
}

bool set_multi(const char *path, const char *interface, GVariant *entries) {
  return call_ok(g_dbus_connection_call_sync(world().client, kIgd1Name, path, kIgd1PropertiesInterface,
                                             kIgd1SetMultiMethod, g_variant_new("(s@a{sv})", interface, entries),
                                             nullptr, G_DBUS_CALL_FLAGS_NONE, kTimeoutMs, nullptr, nullptr));
}

// Five entries each, two of which change at every request so that each one
// commits and announces something.
GVariant *dhcp_entries(size_t iteration) {
  return g_variant_new_parsed(iteration % 2 == 0
                                  ? "{'Enable': <true>, 'MinAddress': <'192.168.1.2'>, "
                                    "'MaxAddress': <'192.168.1.254'>, 'SubnetMask': <'255.255.255.0'>, "
                                    "'LeaseTime': <uint32 3600>}"
                                  : "{'Enable': <true>, 'MinAddress': <'192.168.1.3'>, "
                                    "'MaxAddress': <'192.168.1.254'>, 'SubnetMask': <'255.255.255.0'>, "
                                    "'LeaseTime': <uint32 86400>}");
}

GVariant *wlan_entries(size_t iteration) {
  return g_variant_new_parsed(iteration % 2 == 0
                                  ? "{'SSID': <'bench-home-a'>, 'Enable': <true>, 'RetryTimeout': <uint32 7>, "
                                    "'SSIDAdvertisementEnabled': <true>, 'Bind': <'lan1'>}"
                                  : "{'SSID': <'bench-home-b'>, 'Enable': <true>, 'RetryTimeout': <uint32 9>, "
                                    "'SSIDAdvertisementEnabled': <true>, 'Bind': <'lan1'>}");
}

void BM_WlanSetMulti_5_AgainstDhcp(benchmark::State &state) {
  const char *const names[2] = {"dhcp", "wlan"};
  const std::string ssid = std::string(kDevices) + "/1";
  compare_pair(state, names, [&](int which, size_t iteration) {
    return which == 0 ? set_multi("/com/wqx/igd1/Config/DHCPServer", "com.wqx.igd1.DHCPServer",
                                  dhcp_entries(iteration))
                      : set_multi(ssid.c_str(), kWlan, wlan_entries(iteration));
  });
}
BENCHMARK(BM_WlanSetMulti_5_AgainstDhcp)->UseRealTime()->Unit(benchmark::kMicrosecond);

// ---- GetManagedObjects ----

// The dictionary igd1 lists for one SSID, kept by the bare object, which
// builds each value afresh at every request as a service holding its values
// in its own structures would.
using Values = std::map<std::string, GVariant *>;

GVariant *kept_value(gpointer data, const char *name) {
  const Values &values = *static_cast<Values *>(data);
  const auto found = values.find(name);
  if (found == values.end()) return nullptr;
  GVariant *kept = found->second;
  switch (g_variant_get_type_string(kept)[0]) {
    case 's': return g_variant_new_string(g_variant_get_string(kept, nullptr));
    case 'b': return g_variant_new_boolean(g_variant_get_boolean(kept));
    case 'y': return g_variant_new_byte(g_variant_get_byte(kept));
    case 'u': return g_variant_new_uint32(g_variant_get_uint32(kept));
    case 't': return g_variant_new_uint64(g_variant_get_uint64(kept));
    default: return g_variant_ref(kept);
  }
}

void free_values(gpointer data) {
  auto *values = static_cast<Values *>(data);
  for (auto &entry : *values) g_variant_unref(entry.second);
  delete values;
}

GVariant *bare_wps_value(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *name,
                         GError **, gpointer) {
  if (std::strcmp(name, "Enable") == 0) return g_variant_new_boolean(TRUE);
  if (std::strcmp(name, "WPSStatus") == 0) return g_variant_new_byte(0);
  const char *none[] = {"", nullptr};
  return g_variant_new_strv(none, -1);
}
const GDBusInterfaceVTable kBareWpsVTable = {nullptr, bare_wps_value, nullptr, {nullptr}};

// The bare manager lists the dictionaries igd1 listed when it was set up.
bool set_up_bare_ssids() {
  static bool done = [] {
    World &w = world();
    GVariant *reply = g_dbus_connection_call_sync(
        w.client, kIgd1Name, kDevices, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", nullptr,
        G_VARIANT_TYPE("(a{oa{sa{sv}}})"), G_DBUS_CALL_FLAGS_NONE, kTimeoutMs, nullptr, nullptr);
    if (reply == nullptr) return false;
    g_autoptr(GVariant) objects = g_variant_get_child_value(reply, 0);
    g_variant_unref(reply);
    if (g_variant_n_children(objects) != kSsids) return false;
    bool ok = true;
    w.loop.run([&] {
      GDBusObjectManagerServer *bare = g_dbus_object_manager_server_new(kDevices);
      GDBusInterfaceInfo *info = interface_from_file("WLANConfiguration.xml");
      GDBusInterfaceInfo *wps = interface_from_file("WPS.xml");
      GVariantIter iter;
      g_variant_iter_init(&iter, objects);
      const gchar *path = nullptr;
      GVariant *interfaces = nullptr;
      while (g_variant_iter_next(&iter, "{&o@a{sa{sv}}}", &path, &interfaces)) {
        g_autoptr(GVariant) properties = g_variant_lookup_value(interfaces, kWlan, G_VARIANT_TYPE("a{sv}"));
        g_variant_unref(interfaces);
        if (properties == nullptr) {
          ok = false;
          continue;
        }
        auto *values = new Values;
        GVariantIter entries;
        g_variant_iter_init(&entries, properties);
        const gchar *name = nullptr;
        GVariant *value = nullptr;
        while (g_variant_iter_next(&entries, "{&sv}", &name, &value)) (*values)[name] = value;
        GDBusObjectSkeleton *object = g_dbus_object_skeleton_new(path);
        GDBusInterfaceSkeleton *skeleton = bare_skeleton(info, kept_value, values, free_values);
        g_dbus_object_skeleton_add_interface(object, skeleton);
        g_dbus_object_manager_server_export(bare, object);
        g_object_unref(skeleton);
        g_object_unref(object);
        g_autofree gchar *wps_path = g_strdup_printf("%s/WPS", path);
        ok = ok && bare_register_object(w.bare, wps_path, wps, &kBareWpsVTable) != 0;
      }
      g_dbus_object_manager_server_set_connection(bare, w.bare);
    });
    return ok && listed_objects(Client::GDBus, kBareName, kDevices) == kSsids;
  }();
  return done;
}

void BM_WlanGetManagedObjects_8(benchmark::State &state, Client client) {
  if (!set_up_bare_ssids()) return state.SkipWithError("the bare SSIDs could not be set up");
  compare(state, [client](const char *service, size_t) {
    return listed_objects(client, service, kDevices) == kSsids;
  });
}
BENCHMARK_CAPTURE(BM_WlanGetManagedObjects_8, gdbus, Client::GDBus)->UseRealTime()->Unit(benchmark::kMicrosecond);
#ifdef IGD1_HAVE_SDBUS
BENCHMARK_CAPTURE(BM_WlanGetManagedObjects_8, sdbus, Client::SdBus)->UseRealTime()->Unit(benchmark::kMicrosecond);
#endif

// ---- re-announcement ----

// What the host's connection sends, counted by a filter (outgoing messages
// pass it too).
struct Sent {
  std::atomic<unsigned> signals{0};
  std::atomic<unsigned> calls{0};
};

GDBusMessage *count_sent(GDBusConnection *, GDBusMessage *message, gboolean incoming, gpointer data) {
  if (incoming) return message;
  auto *sent = static_cast<Sent *>(data);
  const GDBusMessageType type = g_dbus_message_get_message_type(message);
  if (type == G_DBUS_MESSAGE_TYPE_SIGNAL) ++sent->signals;
  if (type == G_DBUS_MESSAGE_TYPE_METHOD_CALL) ++sent->calls;
  return message;
}

// Each call runs on the loop thread with the loop held: a request the
// module made to its own manager could not be answered and would wait for
// its time-out, so a call that returns in time made none.  The filter
// confirms it: per call, one signal per SSID and no method call.
void BM_WlanEmitAllSignal_8(benchmark::State &state) {
  World &w = world();
  Sent sent;
  const guint filter = g_dbus_connection_add_filter(w.host.connection(), count_sent, &sent, nullptr);
  double worst_ms = 0;
  size_t calls = 0;
  w.loop.run([&] {
    for (auto _ : state) {
      const auto begin = std::chrono::steady_clock::now();
      WLANConfiguration_emit_all_signal();
      worst_ms = std::max(worst_ms,
                          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count());
      ++calls;
    }
  });
  g_dbus_connection_flush_sync(w.host.connection(), nullptr, nullptr);
  g_dbus_connection_remove_filter(w.host.connection(), filter);
  if (calls == 0) return;
  state.counters["worst_ms"] = worst_ms;
  state.counters["signals_per_call"] = double(sent.signals) / double(calls);
  state.counters["method_calls"] = double(sent.calls);
}
BENCHMARK(BM_WlanEmitAllSignal_8)->Unit(benchmark::kMicrosecond);

}  // namespace
