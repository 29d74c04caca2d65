// GetManagedObjects of the LAN host manager with 255 devices, answered from
// the kept reply, against GDBus's own object manager exporting 255 objects
// with the same properties (each skeleton reading its values one by one, as
// a generated skeleton does), same bus, same client, same run; GDBus's own
// serialising and parsing of the kept reply; and the time of
// GetOnlineDeviceList with the 255 devices active.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench_world.h"
#include "lanhost.h"
#include "mib_lanhost.h"
#include "mib_store.h"

namespace {

using namespace igd1::bench;

constexpr char kManager[] = "/com/wqx/igd1/Config/LANHosts";
constexpr char kDevice[] = "com.wqx.igd1.LANHost";
constexpr unsigned kHosts = 255;

// ---- the bare devices: values in memory, read one by one ----

struct BareHost {
  GDBusInterfaceSkeleton parent_instance;
  std::map<std::string, GVariant *> *values;
};
struct BareHostClass {
  GDBusInterfaceSkeletonClass parent_class;
};

GDBusInterfaceInfo *g_device_info = nullptr;

GVariant *bare_get_property(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                            const gchar *name, GError **, gpointer skeleton) {
  auto &values = *reinterpret_cast<BareHost *>(skeleton)->values;
  auto found = values.find(name);
  return found != values.end() ? g_variant_ref(found->second) : nullptr;
}

const GDBusInterfaceVTable kBareVTable = {nullptr, bare_get_property, nullptr, {nullptr}};

GDBusInterfaceInfo *bare_get_info(GDBusInterfaceSkeleton *) { return g_device_info; }
GDBusInterfaceVTable *bare_get_vtable(GDBusInterfaceSkeleton *) {
  return const_cast<GDBusInterfaceVTable *>(&kBareVTable);
}
GVariant *bare_get_properties(GDBusInterfaceSkeleton *skeleton) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
  for (GDBusPropertyInfo **p = g_device_info->properties; *p != nullptr; ++p) {
    GVariant *value = bare_get_property(nullptr, nullptr, nullptr, nullptr, (*p)->name, nullptr,
                                        skeleton);
    if (value == nullptr) continue;
    g_variant_builder_add(&builder, "{sv}", (*p)->name, value);
    g_variant_unref(value);
  }
  return g_variant_builder_end(&builder);
}
void bare_flush(GDBusInterfaceSkeleton *) {}

void bare_class_init(gpointer klass, gpointer) {
  auto *skeleton = G_DBUS_INTERFACE_SKELETON_CLASS(klass);
  skeleton->get_info = bare_get_info;
  skeleton->get_vtable = bare_get_vtable;
  skeleton->get_properties = bare_get_properties;
  skeleton->flush = bare_flush;
}

GType bare_host_get_type() {
  static GType type = [] {
    const GTypeInfo info = {sizeof(BareHostClass), nullptr, nullptr, bare_class_init, nullptr,
                            nullptr, sizeof(BareHost), 0, nullptr, nullptr};
    return g_type_register_static(G_TYPE_DBUS_INTERFACE_SKELETON, "BenchBareLanHost", &info,
                                  static_cast<GTypeFlags>(0));
  }();
  return type;
}

GVariant *listing(const char *service) {
  return g_dbus_connection_call_sync(world().client, service, kManager,
                                     "org.freedesktop.DBus.ObjectManager", "GetManagedObjects",
                                     nullptr, G_VARIANT_TYPE("(a{oa{sa{sv}}})"),
                                     G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
}

size_t managed_objects(const char *service) {
  return listed_objects(Client::GDBus, service, kManager);
}

// 255 active devices in the store, and the bare manager exporting the
// values igd1 lists for them.
bool set_up_hosts() {
  static bool done = [] {
    const igd1::mib::TableDef *table = igd1::mib::find_table("lanhost");
    if (table == nullptr) return false;
    for (unsigned n = 1; n <= 10; ++n) igd1::mib::set_cell("lanhost", n, "Active", "1");
    for (unsigned n = 11; n <= kHosts; ++n) {
      uint8_t row[LAN_HOST_ROW_SIZE] = {};
      row[LAN_HOST_ACTIVE] = 1;
      row[LAN_HOST_INTERNET_ACCESS] = 1;
      const uint8_t mac[6] = {0x02, 0x42, 0, 0, 1, uint8_t(n)};
      std::memcpy(row + LAN_HOST_MAC, mac, 6);
      const uint8_t address[4] = {10, 0, 1, uint8_t(n)};
      std::memcpy(row + LAN_HOST_IP, address, 4);
      std::snprintf(reinterpret_cast<char *>(row + LAN_HOST_DEV_NAME), LAN_HOST_DEV_NAME_SIZE,
                    "device %u", n);
      std::snprintf(reinterpret_cast<char *>(row + LAN_HOST_HOST_NAME), LAN_HOST_HOST_NAME_SIZE,
                    "host-%u", n);
      if (!igd1::mib::table_insert(*table, row)) return false;
    }
    for (int tries = 0; managed_objects(kIgd1Name) < kHosts && tries < 500; ++tries)
      g_usleep(10000);
    GVariant *reply = listing(kIgd1Name);
    if (reply == nullptr) return false;
    g_autoptr(GVariant) objects = g_variant_get_child_value(reply, 0);
    g_variant_unref(reply);
    if (g_variant_n_children(objects) != kHosts) return false;

    g_device_info = nullptr;
    World &w = world();
    w.loop.run([&] {
      GDBusObjectManagerServer *bare = g_dbus_object_manager_server_new(kManager);
      GVariantIter iter;
      g_variant_iter_init(&iter, objects);
      const char *path = nullptr;
      GVariant *interfaces = nullptr;
      while (g_variant_iter_next(&iter, "{&o@a{sa{sv}}}", &path, &interfaces)) {
        g_autoptr(GVariant) properties = g_variant_lookup_value(interfaces, kDevice, nullptr);
        g_variant_unref(interfaces);
        if (g_device_info == nullptr) {
          // The interface as igd1 lists it: the same names and types.
          std::string xml = "<node><interface name='com.wqx.igd1.LANHost'>";
          GVariantIter each;
          g_variant_iter_init(&each, properties);
          const char *name = nullptr;
          GVariant *value = nullptr;
          while (g_variant_iter_next(&each, "{&sv}", &name, &value)) {
            xml += std::string("<property name='") + name + "' type='" +
                   g_variant_get_type_string(value) + "' access='read'/>";
            g_variant_unref(value);
          }
          g_device_info = interface_from_xml((xml + "</interface></node>").c_str());
        }
        auto *values = new std::map<std::string, GVariant *>;  // lives with the process
        GVariantIter each;
        g_variant_iter_init(&each, properties);
        const char *name = nullptr;
        GVariant *value = nullptr;
        while (g_variant_iter_next(&each, "{&sv}", &name, &value)) (*values)[name] = value;
        GDBusObjectSkeleton *object = g_dbus_object_skeleton_new(path);
        auto *device = static_cast<BareHost *>(g_object_new(bare_host_get_type(), nullptr));
        device->values = values;
        g_dbus_object_skeleton_add_interface(object, G_DBUS_INTERFACE_SKELETON(device));
        g_dbus_object_manager_server_export(bare, object);
        g_object_unref(device);
        g_object_unref(object);
      }
      g_dbus_object_manager_server_set_connection(bare, w.bare);
    });
    // The kept reply is built on the loop once it is idle.
    if (GVariant *kept = update_lan_host_send_cache(1)) g_variant_unref(kept);
    w.loop.run([] {
      if (GVariant *kept = update_lan_host_send_cache(0)) g_variant_unref(kept);
    });
    return managed_objects(kBareName) == kHosts;
  }();
  return done;
}

void BM_LanHosts_GetManagedObjects_255(benchmark::State &state, Client client) {
  if (!set_up_hosts()) {
    state.SkipWithError("the LAN hosts could not be set up");
    return;
  }
#ifdef IGD1_HAVE_SDBUS
  if (client == Client::SdBus) {
    compare(state, [](const char *service, size_t) {
      return listed_objects(Client::SdBus, service, kManager) == kHosts;
    });
    return;
  }
#endif
  (void)client;
  compare(state, [](const char *service, size_t) { return managed_objects(service) == kHosts; });
}
BENCHMARK_CAPTURE(BM_LanHosts_GetManagedObjects_255, gdbus, Client::GDBus)
    ->UseRealTime()->Unit(benchmark::kMillisecond);
#ifdef IGD1_HAVE_SDBUS
BENCHMARK_CAPTURE(BM_LanHosts_GetManagedObjects_255, sdbus, Client::SdBus)
    ->UseRealTime()->Unit(benchmark::kMillisecond);
#endif

// What GDBus itself spends on the kept reply at every call, with nothing of
// igd1's around it: serialising the kept body into the reply message (every
// send does it, however the body is kept) and the GDBus client's parsing of
// that message (and dropping it), as CPU time of the thread doing it.  The service's loop
// cannot spend less than `serialise_cpu_us` on a GetManagedObjects (compare
// the `igd1_cpu_us` of BM_LanHosts_GetManagedObjects_255), and a GDBus
// client spends `parse_cpu_us` on every reply, whoever sends it.
void BM_LanHosts_ReplyCodec_255(benchmark::State &state) {
  if (!set_up_hosts()) {
    state.SkipWithError("the LAN hosts could not be set up");
    return;
  }
  GVariant *kept = nullptr;
  world().loop.run([&] { kept = update_lan_host_send_cache(0); });
  if (kept == nullptr) {
    state.SkipWithError("no kept reply");
    return;
  }
  GDBusMessage *call = g_dbus_message_new_method_call(kIgd1Name, kManager,
                                                      "org.freedesktop.DBus.ObjectManager",
                                                      "GetManagedObjects");
  g_dbus_message_set_serial(call, 1);
  GDBusMessage *reply = g_dbus_message_new_method_reply(call);
  g_dbus_message_set_body(reply, kept);
  g_dbus_message_set_serial(reply, 2);
  auto thread_cpu_us = [] {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e6 + double(now.tv_nsec) / 1e3;
  };
  double serialise = 0, parse = 0;
  size_t size = 0;
  for (auto _ : state) {
    const double begin = thread_cpu_us();
    guchar *blob = g_dbus_message_to_blob(reply, &size, G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
    const double serialised = thread_cpu_us();
    GDBusMessage *parsed = blob != nullptr ? g_dbus_message_new_from_blob(
                                                 blob, size, G_DBUS_CAPABILITY_FLAGS_NONE, nullptr)
                                           : nullptr;
    const bool whole = parsed != nullptr && g_dbus_message_get_body(parsed) != nullptr;
    if (parsed != nullptr) g_object_unref(parsed);  // a client drops the reply too
    parse += thread_cpu_us() - serialised;
    serialise += serialised - begin;
    g_free(blob);
    if (!whole) {
      state.SkipWithError("the reply did not go through GDBus's codec");
      break;
    }
  }
  g_object_unref(reply);
  g_object_unref(call);
  g_variant_unref(kept);
  if (state.iterations() == 0) return;
  state.counters["serialise_cpu_us"] = serialise / double(state.iterations());
  state.counters["parse_cpu_us"] = parse / double(state.iterations());
  state.counters["bytes"] = double(size);
}
BENCHMARK(BM_LanHosts_ReplyCodec_255)->UseRealTime()->Unit(benchmark::kMillisecond);

// Every property of the 255 active devices, built at each call.
void BM_LanHosts_GetOnlineDeviceList_255(benchmark::State &state) {
  if (!set_up_hosts()) {
    state.SkipWithError("the LAN hosts could not be set up");
    return;
  }
  std::vector<double> calls;
  const double cpu_before = loop_cpu_us();
  for (auto _ : state) {
    const auto begin = std::chrono::steady_clock::now();
    GVariant *reply = g_dbus_connection_call_sync(
        world().client, kIgd1Name, kManager, "com.wqx.igd1.LANHostManager", "GetOnlineDeviceList",
        nullptr, G_VARIANT_TYPE("(a{oa{sa{sv}}}us)"), G_DBUS_CALL_FLAGS_NONE, 10000, nullptr,
        nullptr);
    if (reply == nullptr) {
      state.SkipWithError("GetOnlineDeviceList failed");
      break;
    }
    g_autoptr(GVariant) devices = g_variant_get_child_value(reply, 0);
    const size_t count = g_variant_n_children(devices);
    g_variant_unref(reply);
    if (count != kHosts) {
      state.SkipWithError("GetOnlineDeviceList did not list every device");
      break;
    }
    calls.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin).count());
  }
  if (calls.empty()) return;
  state.counters["cpu_us"] = (loop_cpu_us() - cpu_before) / double(calls.size());
  state.counters["p50_us"] = percentile(calls, 50);
}
BENCHMARK(BM_LanHosts_GetOnlineDeviceList_255)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
