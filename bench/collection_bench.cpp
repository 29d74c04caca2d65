// GetManagedObjects of the port-mapping collection with a full table
// (255 rules) against a bare GDBus object manager exporting 255 objects
// with the same properties from memory, same bus, same client, same run;
// and the time of one AddObject + DeleteObject pair.
#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_world.h"
#include "mib_api.h"
#include "mib_store.h"

namespace {

using namespace igd1::bench;

constexpr char kManager[] = "/com/wqx/igd1/Config/PortMapping";
constexpr char kManagerInterface[] = "com.wqx.igd1.ObjectManager";
constexpr unsigned kRows = 255;

// ---- the bare collection: one skeleton per rule, values in memory ---------------

struct Rule {
  bool enable;
  guint32 lease;
  std::string remote_host;
  guint32 external_port;
  guint32 internal_port;
  std::string protocol;
  std::string internal_client;
  std::string description;
};

Rule rule_for(unsigned instance) {
  char client[32];
  std::snprintf(client, sizeof client, "192.168.1.%u", 2 + instance % 250);
  return {instance % 2 == 0, 0, "0.0.0.0", 10000 + instance, 80 + instance, "TCP", client,
          "rule " + std::to_string(instance)};
}

GDBusInterfaceInfo *bare_info() {
  static GDBusInterfaceInfo *info = interface_from_file("PortMapping.xml");
  return info;
}

GVariant *bare_value(gpointer data, const char *name) {
  const Rule &r = *static_cast<const Rule *>(data);
  if (!std::strcmp(name, "PortMappingEnabled") || !std::strcmp(name, "Enable"))
    return g_variant_new_boolean(r.enable);
  if (!std::strcmp(name, "PortMappingLeaseDuration") || !std::strcmp(name, "LeaseDuration"))
    return g_variant_new_uint32(r.lease);
  if (!std::strcmp(name, "RemoteHost")) return g_variant_new_string(r.remote_host.c_str());
  if (!std::strcmp(name, "ExternalPort")) return g_variant_new_uint32(r.external_port);
  if (!std::strcmp(name, "InternalPort")) return g_variant_new_uint32(r.internal_port);
  if (!std::strcmp(name, "PortMappingProtocol")) return g_variant_new_string(r.protocol.c_str());
  if (!std::strcmp(name, "InternalClient")) return g_variant_new_string(r.internal_client.c_str());
  if (!std::strcmp(name, "PortMappingDescription") || !std::strcmp(name, "Description"))
    return g_variant_new_string(r.description.c_str());
  return nullptr;
}

// ---- the igd1 rows: the same rules in the store -------------------------------------

void store_rule(uint8_t *row, const Rule &r) {
  row[1] = r.enable ? 1 : 0;
  std::memcpy(row + 4, &r.lease, 4);
  inet_pton(AF_INET, r.remote_host.c_str(), row + 8);
  uint16_t external = static_cast<uint16_t>(r.external_port);
  uint16_t internal = static_cast<uint16_t>(r.internal_port);
  std::memcpy(row + 12, &external, 2);
  std::memcpy(row + 14, &internal, 2);
  row[16] = 1;
  inet_pton(AF_INET, r.internal_client.c_str(), row + 17);
  std::snprintf(reinterpret_cast<char *>(row + 21), 59, "%s", r.description.c_str());
}

size_t managed_objects(const char *service) {
  return listed_objects(Client::GDBus, service, kManager);
}

// Fills both collections once; false when they cannot be filled.
bool set_up_rules() {
  static bool done = [] {
    World &w = world();
    w.loop.run([&] {
      GDBusObjectManagerServer *bare = g_dbus_object_manager_server_new(kManager);
      for (unsigned i = 1; i <= kRows; ++i) {
        g_autofree gchar *path = g_strdup_printf("%s/%u", kManager, i);
        GDBusObjectSkeleton *object = g_dbus_object_skeleton_new(path);
        GDBusInterfaceSkeleton *rule = bare_skeleton(bare_info(), bare_value, new Rule(rule_for(i)),
                                                     [](gpointer p) { delete static_cast<Rule *>(p); });
        g_dbus_object_skeleton_add_interface(object, rule);
        g_dbus_object_manager_server_export(bare, object);
        g_object_unref(rule);
        g_object_unref(object);
      }
      g_dbus_object_manager_server_set_connection(bare, w.bare);
    });
    // Rows inserted into the store reach PortMapping_add_interface on the loop.
    for (unsigned i = 1; i <= kRows; ++i) {
      uint8_t row[PORTMAPPING_ROW_SIZE] = {};
      store_rule(row, rule_for(i));
      if (!portmapping_insert_entry(row)) {
        std::fprintf(stderr, "cannot insert rule %u\n", i);
        return false;
      }
      if (dbus_mib_update_cfg(MIB_CFG_PORTMAPPING, row, static_cast<int>(i - 1)) == 0) {
        std::fprintf(stderr, "cannot store rule %u\n", i);
        return false;
      }
    }
    for (int tries = 0; managed_objects(kIgd1Name) < kRows && tries < 500; ++tries)
      g_usleep(10000);
    return managed_objects(kIgd1Name) == kRows && managed_objects(kBareName) == kRows;
  }();
  return done;
}

void BM_GetManagedObjects_255(benchmark::State &state, Client client) {
  if (!set_up_rules()) {
    state.SkipWithError("the collections could not be filled");
    return;
  }
#ifdef IGD1_HAVE_SDBUS
  if (client == Client::SdBus) {
    compare(state, [](const char *service, size_t) {
      return listed_objects(Client::SdBus, service, kManager) == kRows;
    });
    return;
  }
#endif
  (void)client;
  compare(state, [](const char *service, size_t) { return managed_objects(service) == kRows; });
}
BENCHMARK_CAPTURE(BM_GetManagedObjects_255, gdbus, Client::GDBus)
    ->UseRealTime()->Unit(benchmark::kMillisecond);
#ifdef IGD1_HAVE_SDBUS
BENCHMARK_CAPTURE(BM_GetManagedObjects_255, sdbus, Client::SdBus)
    ->UseRealTime()->Unit(benchmark::kMillisecond);
#endif

GVariant *manager_call(const char *method, GVariant *args) {
  return g_dbus_connection_call_sync(world().client, kIgd1Name, kManager, kManagerInterface, method,
                                     args, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
}

// One AddObject and one DeleteObject of the new row, with the table one
// short of full.  Counters: the pair's median and 99th percentile, and the
// CPU the loop thread spent on it (library, store and GDBus dispatch).
void BM_AddObject_DeleteObject(benchmark::State &state) {
  if (!set_up_rules()) {
    state.SkipWithError("the collections could not be filled");
    return;
  }
  g_autofree gchar *last = g_strdup_printf("%s/%u", kManager, kRows);
  if (GVariant *freed = manager_call("DeleteObject", g_variant_new("(o)", last))) g_variant_unref(freed);
  std::vector<double> pairs;
  const double cpu_before = loop_cpu_us();
  for (auto _ : state) {
    auto begin = std::chrono::steady_clock::now();
    GVariant *added = manager_call("AddObject", nullptr);
    if (added == nullptr) {
      state.SkipWithError("AddObject failed");
      break;
    }
    const gchar *path = nullptr;
    g_variant_get(added, "(&o)", &path);
    GVariant *deleted = manager_call("DeleteObject", g_variant_new("(o)", path));
    g_variant_unref(added);
    if (deleted == nullptr) {
      state.SkipWithError("DeleteObject failed");
      break;
    }
    g_variant_unref(deleted);
    pairs.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin).count());
  }
  const double cpu = loop_cpu_us() - cpu_before;
  // Full again for the next run.
  if (GVariant *refill = manager_call("AddObject", nullptr)) g_variant_unref(refill);
  if (pairs.empty()) return;
  state.counters["cpu_us"] = cpu / double(pairs.size());
  state.counters["p50_us"] = percentile(pairs, 50);
  state.counters["p99_us"] = percentile(pairs, 99);
}
BENCHMARK(BM_AddObject_DeleteObject)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
