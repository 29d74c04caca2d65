// The application filters' list methods and listing.
//
// * BM_StrvMerge_2048_into_2048, BM_StrvSlice_2048_from_2048: the list tools
//   the methods run, in process, on lists of 2,048 names.
// * BM_AppFilterList_2048: AddAppFilterList of 2,048 destinations at their
//   longest ("<IPv6 text>/128", 49 characters) into an empty DestIPList,
//   and the DeleteAppFilterList that empties it again, over the bus: each
//   merges (slices), joins, and commits the row of about 200 KB that holds
//   the lists at their limits.
// * BM_AppFilterDomains_256: the same with 256 domains of 253 characters.
// * BM_AppFilterGetManagedObjects_255: the module-built listing of 255
//   filters against a bare GDBus object manager exporting 255 objects that
//   serve the same properties from memory; same bus, same client, same run.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_world.h"
#include "dbus_proxy_api.h"
#include "mib_filters.h"
#include "mib_store.h"

namespace {

using namespace igd1::bench;

constexpr char kManager[] = "/com/wqx/igd1/AppFilter";
constexpr char kInterface[] = "com.wqx.igd1.AppFilter";
constexpr unsigned kRows = 255;
constexpr int kNames = 2048;

std::vector<std::string> names(int count, int first) {
  std::vector<std::string> list;
  for (int i = first; i < first + count; ++i) list.push_back("app" + std::to_string(i) + ".example");
  return list;
}

gchar **strv(const std::vector<std::string> &list) {
  gchar **out = g_new0(gchar *, list.size() + 1);
  for (size_t i = 0; i < list.size(); ++i) out[i] = g_strdup(list[i].c_str());
  return out;
}

// ---- the list tools -------------------------------------------------------------------

void BM_StrvMerge_2048_into_2048(benchmark::State &state) {
  const std::vector<std::string> stored = names(kNames, 0);
  g_auto(GStrv) additions = strv(names(kNames, kNames / 2));  // half of them new
  for (auto _ : state) {
    state.PauseTiming();
    gchar **list = strv(stored);
    state.ResumeTiming();
    gchar **added = nullptr;
    benchmark::DoNotOptimize(dbus_proxy_strvmerge(&list, additions, &added));
    state.PauseTiming();
    g_strfreev(list);
    g_strfreev(added);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_StrvMerge_2048_into_2048)->Unit(benchmark::kMicrosecond);

void BM_StrvSlice_2048_from_2048(benchmark::State &state) {
  const std::vector<std::string> stored = names(kNames, 0);
  g_auto(GStrv) removals = strv(names(kNames, kNames / 2));
  for (auto _ : state) {
    state.PauseTiming();
    gchar **list = strv(stored);
    state.ResumeTiming();
    gchar **removed = nullptr;
    benchmark::DoNotOptimize(dbus_proxy_strvslice(&list, removals, &removed));
    state.PauseTiming();
    g_strfreev(list);
    g_strfreev(removed);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_StrvSlice_2048_from_2048)->Unit(benchmark::kMicrosecond);

// ---- the methods over the bus ----------------------------------------------------------

// A filter with empty lists; its path.
std::string empty_filter() {
  static const std::string path = [] {
    std::vector<uint8_t> row(APPFILTER_ROW_SIZE, 0);
    const int instance = appfilter_insert_entry(row.data());
    if (instance == 0) return std::string();
    return std::string(kManager) + "/" + std::to_string(instance);
  }();
  return path;
}

std::vector<std::string> longest_destinations(int count) {
  std::vector<std::string> list;
  char text[64];
  for (int i = 0; i < count; ++i) {
    g_snprintf(text, sizeof text, "ffff:ffff:ffff:ffff:ffff:%04x:255.255.255.255/128", i);
    list.push_back(text);
  }
  return list;
}

std::vector<std::string> longest_domains(int count) {
  std::vector<std::string> list;
  for (const std::string &name : names(count, 0))
    list.push_back(std::string(253 - name.size(), 'a') + name);
  return list;
}

// (result, message) of one list method call; false when the call failed.
bool list_method(const std::string &path, const char *method, guint32 type, GVariant *names_value) {
  GVariant *reply = g_dbus_connection_call_sync(
      world().client, kIgd1Name, path.c_str(), kInterface, method,
      g_variant_new("(u@as)", type, names_value), G_VARIANT_TYPE("(us)"), G_DBUS_CALL_FLAGS_NONE,
      10000, nullptr, nullptr);
  if (reply == nullptr) return false;
  guint32 result = 1;
  g_variant_get(reply, "(u&s)", &result, nullptr);
  g_variant_unref(reply);
  return result == 0;
}

// Adds `list` to the list `type` of an empty filter and deletes it again.
void add_and_delete(benchmark::State &state, guint32 type, const std::vector<std::string> &list) {
  const std::string path = empty_filter();
  if (path.empty()) {
    state.SkipWithError("no application filter to edit");
    return;
  }
  std::vector<const char *> pointers;
  for (const std::string &name : list) pointers.push_back(name.c_str());
  GVariant *value = g_variant_ref_sink(g_variant_new_strv(pointers.data(), gssize(pointers.size())));
  std::vector<double> adds, deletes;
  for (auto _ : state) {
    auto begin = std::chrono::steady_clock::now();
    const bool added = list_method(path, "AddAppFilterList", type, value);
    auto middle = std::chrono::steady_clock::now();
    const bool deleted = list_method(path, "DeleteAppFilterList", type, value);
    auto end = std::chrono::steady_clock::now();
    if (!added || !deleted) {
      state.SkipWithError("a list method failed");
      break;
    }
    adds.push_back(std::chrono::duration<double, std::milli>(middle - begin).count());
    deletes.push_back(std::chrono::duration<double, std::milli>(end - middle).count());
  }
  g_variant_unref(value);
  if (adds.empty()) return;
  state.counters["add_p50_ms"] = percentile(adds, 50);
  state.counters["add_p99_ms"] = percentile(adds, 99);
  state.counters["delete_p50_ms"] = percentile(deletes, 50);
  state.counters["delete_p99_ms"] = percentile(deletes, 99);
}

void BM_AppFilterList_2048(benchmark::State &state) {
  add_and_delete(state, 0, longest_destinations(kNames));
}
BENCHMARK(BM_AppFilterList_2048)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_AppFilterDomains_256(benchmark::State &state) { add_and_delete(state, 1, longest_domains(256)); }
BENCHMARK(BM_AppFilterDomains_256)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- the listing -----------------------------------------------------------------------

// A bare object: one interface whose properties are a dictionary in memory.
struct BareFilter {
  GDBusInterfaceSkeleton parent_instance;
  GVariant *properties;  // a{sv}
};
struct BareFilterClass {
  GDBusInterfaceSkeletonClass parent_class;
};

GDBusInterfaceInfo *bare_info() {
  static GDBusInterfaceInfo *info = interface_from_file("AppFilter.xml");
  return info;
}

GVariant *bare_get_property(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                            const gchar *name, GError **, gpointer skeleton) {
  return g_variant_lookup_value(reinterpret_cast<BareFilter *>(skeleton)->properties, name,
                                nullptr);
}
const GDBusInterfaceVTable kBareVTable = {nullptr, bare_get_property, nullptr, {nullptr}};

GType bare_filter_get_type() {
  static GType type = [] {
    auto class_init = [](gpointer klass, gpointer) {
      auto *skeleton = G_DBUS_INTERFACE_SKELETON_CLASS(klass);
      skeleton->get_info = [](GDBusInterfaceSkeleton *) { return bare_info(); };
      skeleton->get_vtable = [](GDBusInterfaceSkeleton *) {
        return const_cast<GDBusInterfaceVTable *>(&kBareVTable);
      };
      skeleton->get_properties = [](GDBusInterfaceSkeleton *skeleton) {
        return g_variant_ref(reinterpret_cast<BareFilter *>(skeleton)->properties);
      };
      skeleton->flush = [](GDBusInterfaceSkeleton *) {};
      G_OBJECT_CLASS(klass)->finalize = [](GObject *object) {
        g_clear_pointer(&reinterpret_cast<BareFilter *>(object)->properties, g_variant_unref);
        G_OBJECT_CLASS(g_type_class_peek_parent(G_OBJECT_GET_CLASS(object)))->finalize(object);
      };
    };
    const GTypeInfo info = {sizeof(BareFilterClass), nullptr, nullptr, class_init, nullptr,
                            nullptr, sizeof(BareFilter), 0, nullptr, nullptr};
    return g_type_register_static(G_TYPE_DBUS_INTERFACE_SKELETON, "BenchBareAppFilter", &info,
                                  static_cast<GTypeFlags>(0));
  }();
  return type;
}

GVariant *listing(const char *service) {
  GVariant *reply = g_dbus_connection_call_sync(
      world().client, service, kManager, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects",
      nullptr, G_VARIANT_TYPE("(a{oa{sa{sv}}})"), G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
  if (reply == nullptr) return nullptr;
  GVariant *objects = g_variant_get_child_value(reply, 0);
  g_variant_unref(reply);
  return objects;
}

size_t listed(const char *service) {
  GVariant *objects = listing(service);
  if (objects == nullptr) return 0;
  const size_t count = g_variant_n_children(objects);
  g_variant_unref(objects);
  return count;
}

// 255 realistic filters in the store, then the same objects on the bare
// service, each serving the dictionary igd1 lists for it.
bool set_up_filters() {
  static bool done = [] {
    const size_t present = igd1::mib::table_rows(*igd1::mib::find_table("appfilter")).size();
    for (size_t i = present; i < kRows; ++i) {
      uint8_t row[APPFILTER_ROW_SIZE] = {};
      const int instance = appfilter_insert_entry(row);
      if (instance == 0) return false;
      const std::string n = std::to_string(instance);
      igd1::mib::set_cell("appfilter", uint32_t(instance), "AppId", "3" + n);
      igd1::mib::set_cell("appfilter", uint32_t(instance), "Name", "application " + n);
      igd1::mib::set_cell("appfilter", uint32_t(instance), "DomainList",
                          "app" + n + ".example;cdn.app" + n + ".example");
      igd1::mib::set_cell("appfilter", uint32_t(instance), "DestIPList", "198.51.100." + n);
    }
    for (int tries = 0; listed(kIgd1Name) < kRows && tries < 500; ++tries) g_usleep(10000);
    GVariant *objects = listing(kIgd1Name);
    if (objects == nullptr || g_variant_n_children(objects) != kRows) return false;
    World &w = world();
    w.loop.run([&] {
      GDBusObjectManagerServer *bare = g_dbus_object_manager_server_new(kManager);
      GVariantIter iter;
      const gchar *path = nullptr;
      GVariant *interfaces = nullptr;
      g_variant_iter_init(&iter, objects);
      while (g_variant_iter_next(&iter, "{&o@a{sa{sv}}}", &path, &interfaces)) {
        GDBusObjectSkeleton *object = g_dbus_object_skeleton_new(path);
        auto *filter = static_cast<BareFilter *>(g_object_new(bare_filter_get_type(), nullptr));
        filter->properties = g_variant_lookup_value(interfaces, kInterface, G_VARIANT_TYPE("a{sv}"));
        g_dbus_object_skeleton_add_interface(object, G_DBUS_INTERFACE_SKELETON(filter));
        g_dbus_object_manager_server_export(bare, object);
        g_object_unref(filter);
        g_object_unref(object);
        g_variant_unref(interfaces);
      }
      g_dbus_object_manager_server_set_connection(bare, w.bare);
    });
    g_variant_unref(objects);
    return listed(kBareName) == kRows;
  }();
  return done;
}

void BM_AppFilterGetManagedObjects_255(benchmark::State &state, Client client) {
  if (!set_up_filters()) {
    state.SkipWithError("the filters could not be set up");
    return;
  }
  compare(state, [client](const char *service, size_t) {
    return listed_objects(client, service, kManager) == kRows;
  });
}
BENCHMARK_CAPTURE(BM_AppFilterGetManagedObjects_255, gdbus, Client::GDBus)
    ->UseRealTime()->Unit(benchmark::kMillisecond);
#ifdef IGD1_HAVE_SDBUS
BENCHMARK_CAPTURE(BM_AppFilterGetManagedObjects_255, sdbus, Client::SdBus)
    ->UseRealTime()->Unit(benchmark::kMillisecond);
#endif

}  // namespace
