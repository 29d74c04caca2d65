#include "bench_world.h"

#include <dlfcn.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>

namespace igd1::bench {
namespace {

World *g_world = nullptr;

}  // namespace

World::World() {
  igd1::host::Options options = igd1::test::private_bus_host();
  options.modules = {"dhcp_server", "PortMapping", "lan_host_manager", "AppFilter", "SleepTimer",
                     "OMDiag", "usb_device", "nas", "WLANConfiguration", "wps", "STAInfo",
                     "wifiinfo", "Roaming", "syscmd"};
  std::string error;
  bool started = false;
  loop.run([&] {
    started = host.start(options, &error);
    loop_thread = pthread_self();
  });
  if (!started) {
    std::fprintf(stderr, "host: %s\n", error.c_str());
    return;
  }
  bare = igd1::test::connect_private_bus();
  client = igd1::test::connect_private_bus();
  if (bare == nullptr || client == nullptr) return;
  loop.run([&] {
    g_bus_own_name_on_connection(bare, kBareName, G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, nullptr,
                                 nullptr, nullptr);
  });
  if (!igd1::test::wait_for_name(client, kIgd1Name) || !igd1::test::wait_for_name(client, kBareName)) {
    std::fprintf(stderr, "the services did not take their names\n");
    return;
  }
#ifdef IGD1_HAVE_SDBUS
  int r = sd_bus_new(&sd);
  if (r >= 0) r = sd_bus_set_address(sd, igd1::test::PrivateBus::address().c_str());
  if (r >= 0) r = sd_bus_set_bus_client(sd, 1);
  if (r >= 0) r = sd_bus_start(sd);
  if (r < 0) {
    std::fprintf(stderr, "sd-bus client: %s\n", std::strerror(-r));
    return;
  }
#endif
  ready = true;
}

World::~World() {
#ifdef IGD1_HAVE_SDBUS
  if (sd != nullptr) sd_bus_flush_close_unref(sd);
#endif
  if (client != nullptr) {
    g_dbus_connection_close_sync(client, nullptr, nullptr);
    g_object_unref(client);
  }
  // The bare objects and the host's are served on the loop: end them there,
  // while the bus is still up, so that no name is lost behind their back.
  loop.run([&] {
    if (bare != nullptr) {
      g_dbus_connection_close_sync(bare, nullptr, nullptr);
      g_object_unref(bare);
    }
    host.stop();
  });
}

World &world() { return *g_world; }

GDBusInterfaceInfo *interface_from_xml(const char *xml) {
  GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(xml, nullptr);
  return node != nullptr ? node->interfaces[0] : nullptr;
}

GDBusInterfaceInfo *interface_from_file(const char *file) {
  std::string xml = igd1::test::read_text_file(std::string(IGD1_SOURCE_XML_DIR "/") + file);
  return interface_from_xml(xml.c_str());
}

namespace {

// GIO's own registration, past the host's (see bare_register_object).
using Register = decltype(&g_dbus_connection_register_object);
Register gio_register() {
  static Register registers = [] {
    void *gio = dlopen("libgio-2.0.so.0", RTLD_LAZY | RTLD_NOLOAD);
    return gio != nullptr ? reinterpret_cast<Register>(dlsym(gio, "g_dbus_connection_register_object"))
                          : nullptr;
  }();
  return registers;
}

}  // namespace

guint bare_register_object(GDBusConnection *connection, const char *path,
                           GDBusInterfaceInfo *info, const GDBusInterfaceVTable *vtable) {
  if (gio_register() == nullptr) return 0;
  return gio_register()(connection, path, info, vtable, nullptr, nullptr, nullptr);
}

double loop_cpu_us() {
  clockid_t clock;
  timespec now{};
  if (pthread_getcpuclockid(world().loop_thread, &clock) != 0 || clock_gettime(clock, &now) != 0)
    return 0;
  return double(now.tv_sec) * 1e6 + double(now.tv_nsec) / 1e3;
}

size_t listed_objects(Client client, const char *service, const char *path) {
#ifdef IGD1_HAVE_SDBUS
  if (client == Client::SdBus) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *reply = nullptr;
    size_t count = 0;
    int r = sd_bus_call_method(world().sd, service, path, "org.freedesktop.DBus.ObjectManager",
                               "GetManagedObjects", &error, &reply, "");
    if (r >= 0) r = sd_bus_message_enter_container(reply, 'a', "{oa{sa{sv}}}");
    while (r >= 0 && sd_bus_message_at_end(reply, 0) == 0) {
      r = sd_bus_message_skip(reply, "{oa{sa{sv}}}");
      if (r >= 0) ++count;
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return r >= 0 ? count : 0;
  }
#endif
  (void)client;
  GVariant *reply = g_dbus_connection_call_sync(
      world().client, service, path, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects",
      nullptr, G_VARIANT_TYPE("(a{oa{sa{sv}}})"), G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
  if (reply == nullptr) return 0;
  g_autoptr(GVariant) objects = g_variant_get_child_value(reply, 0);
  const size_t count = g_variant_n_children(objects);
  g_variant_unref(reply);
  return count;
}

double percentile(std::vector<double> &samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  size_t rank = size_t(std::ceil(p / 100.0 * double(samples.size())));
  return samples[std::clamp<size_t>(rank, 1, samples.size()) - 1];
}

void compare_pair(benchmark::State &state, const char *const (&names)[2], const PairRequest &request) {
  using Clock = std::chrono::steady_clock;
  std::vector<double> wall[2];   // µs per request
  double cpu[2] = {};            // loop-thread µs, summed
  size_t iteration = 0;
  for (auto _ : state) {
    for (int k = 0; k < 2; ++k) {
      int which = (iteration & 1) ? 1 - k : k;
      double cpu_before = loop_cpu_us();
      auto begin = Clock::now();
      if (!request(which, iteration)) {
        state.SkipWithError((std::string("request to ") + names[which] + " failed").c_str());
        return;
      }
      wall[which].push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
      cpu[which] += loop_cpu_us() - cpu_before;
    }
    ++iteration;
  }
  if (iteration == 0) return;
  auto mean = [&](int which) {
    double sum = 0;
    for (double t : wall[which]) sum += t;
    return sum / double(wall[which].size());
  };
  const double means[2] = {mean(0), mean(1)};
  const double p50[2] = {percentile(wall[0], 50), percentile(wall[1], 50)};
  for (int which = 0; which < 2; ++which) {
    state.counters[std::string(names[which]) + "_us"] = means[which];
    state.counters[std::string(names[which]) + "_cpu_us"] = cpu[which] / double(iteration);
  }
  state.counters["ratio"] = means[1] / means[0];
  state.counters["ratio_p50"] = p50[1] / p50[0];
}

void compare(benchmark::State &state, const Request &request) {
  const char *const services[2] = {kBareName, kIgd1Name};
  const char *const names[2] = {"bare", "igd1"};
  compare_pair(state, names, [&](int which, size_t iteration) { return request(services[which], iteration); });
}

// ---- bare skeletons ----

namespace {

struct BareSkeleton {
  GDBusInterfaceSkeleton parent_instance;
  GDBusInterfaceInfo *info;
  BareValue value;
  gpointer data;
  GDestroyNotify free_data;
};
struct BareSkeletonClass {
  GDBusInterfaceSkeletonClass parent_class;
};

BareSkeleton *bare_of(gpointer skeleton) { return reinterpret_cast<BareSkeleton *>(skeleton); }

GVariant *bare_get_property(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *name,
                            GError **, gpointer skeleton) {
  return bare_of(skeleton)->value(bare_of(skeleton)->data, name);
}
const GDBusInterfaceVTable kBareVTable = {nullptr, bare_get_property, nullptr, {nullptr}};

GType bare_skeleton_get_type() {
  static GType type = [] {
    const GTypeInfo info = {
        sizeof(BareSkeletonClass), nullptr, nullptr,
        [](gpointer klass, gpointer) {
          auto *skeleton = G_DBUS_INTERFACE_SKELETON_CLASS(klass);
          skeleton->get_info = [](GDBusInterfaceSkeleton *s) { return bare_of(s)->info; };
          skeleton->get_vtable = [](GDBusInterfaceSkeleton *) {
            return const_cast<GDBusInterfaceVTable *>(&kBareVTable);
          };
          skeleton->get_properties = [](GDBusInterfaceSkeleton *s) {
            GVariantBuilder builder;
            g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
            for (GDBusPropertyInfo **p = bare_of(s)->info->properties; *p != nullptr; ++p)
              if (GVariant *value = bare_of(s)->value(bare_of(s)->data, (*p)->name))
                g_variant_builder_add(&builder, "{sv}", (*p)->name, value);
            return g_variant_builder_end(&builder);
          };
          skeleton->flush = [](GDBusInterfaceSkeleton *) {};
          G_OBJECT_CLASS(klass)->finalize = [](GObject *object) {
            if (bare_of(object)->free_data != nullptr) bare_of(object)->free_data(bare_of(object)->data);
            G_OBJECT_CLASS(g_type_class_peek_parent(G_OBJECT_GET_CLASS(object)))->finalize(object);
          };
        },
        nullptr, nullptr, sizeof(BareSkeleton), 0, nullptr, nullptr};
    return g_type_register_static(G_TYPE_DBUS_INTERFACE_SKELETON, "BenchBareSkeleton", &info,
                                  static_cast<GTypeFlags>(0));
  }();
  return type;
}

}  // namespace

GDBusInterfaceSkeleton *bare_skeleton(GDBusInterfaceInfo *info, BareValue value, gpointer data,
                                      GDestroyNotify free_data) {
  auto *skeleton = bare_of(g_object_new(bare_skeleton_get_type(), nullptr));
  skeleton->info = info;
  skeleton->value = value;
  skeleton->data = data;
  skeleton->free_data = free_data;
  return G_DBUS_INTERFACE_SKELETON(skeleton);
}

std::vector<double> gets_until(GDBusConnection *client, std::chrono::steady_clock::time_point until) {
  std::vector<double> samples;
  while (std::chrono::steady_clock::now() < until) {
    const auto begin = std::chrono::steady_clock::now();
    GVariant *value = g_dbus_connection_call_sync(
        client, kIgd1Name, "/com/wqx/igd1/Config/DHCPServer", "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "com.wqx.igd1.DHCPServer", "MinAddress"), nullptr, G_DBUS_CALL_FLAGS_NONE, 10000,
        nullptr, nullptr);
    if (value == nullptr) continue;
    g_variant_unref(value);
    samples.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count());
  }
  return samples;
}

namespace {

GVariant *bare_constant(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
                        GError **, gpointer text) {
  return g_variant_new_string(static_cast<const char *>(text));
}
const GDBusInterfaceVTable kBareConstantVTable = {nullptr, bare_constant, nullptr, {nullptr}};

}  // namespace

bool register_bare_constant(const char *bare_path, GDBusInterfaceInfo *info, const char *text) {
  static std::map<std::string, bool> registered;
  auto known = registered.find(bare_path);
  if (known != registered.end()) return known->second;
  bool ok = false;
  World &w = world();
  w.loop.run([&] {
    ok = info != nullptr && gio_register() != nullptr &&
         gio_register()(w.bare, bare_path, info, &kBareConstantVTable, g_strdup(text), g_free, nullptr) != 0;
  });
  registered[bare_path] = ok;
  return ok;
}

void paired_gets_until(const GetTarget &target, std::chrono::steady_clock::time_point until,
                       PairedGets *times) {
  while (std::chrono::steady_clock::now() < until) {
    for (const char *service : {kIgd1Name, kBareName}) {
      const bool igd1 = service == kIgd1Name;
      const auto begin = std::chrono::steady_clock::now();
      GDBusConnection *client =
          igd1 && target.igd1_client != nullptr ? target.igd1_client : world().client;
      GVariant *value = g_dbus_connection_call_sync(
          client, service, igd1 ? target.path : target.bare_path, "org.freedesktop.DBus.Properties",
          "Get", g_variant_new("(ss)", target.interface, target.property), nullptr, G_DBUS_CALL_FLAGS_NONE,
          10000, nullptr, nullptr);
      if (value == nullptr) continue;
      g_variant_unref(value);
      (igd1 ? times->igd1 : times->bare)
          .push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count());
    }
  }
}

void window_counters(benchmark::State &state, const char *busy, PairedGets &idle, PairedGets &busy_times) {
  const std::string b = busy;
  const double idle_p99 = percentile(idle.igd1, 99), busy_p99 = percentile(busy_times.igd1, 99);
  const double bare_idle_p99 = percentile(idle.bare, 99), bare_busy_p99 = percentile(busy_times.bare, 99);
  state.counters["get_p99_idle_ms"] = idle_p99;
  state.counters["get_p99_" + b + "_ms"] = busy_p99;
  state.counters["get_p99_" + b + "_vs_idle"] = busy_p99 / idle_p99;
  state.counters["bare_p99_idle_ms"] = bare_idle_p99;
  state.counters["bare_p99_" + b + "_ms"] = bare_busy_p99;
  state.counters["bare_p99_" + b + "_vs_idle"] = bare_busy_p99 / bare_idle_p99;
  state.counters["get_p50_idle_ms"] = percentile(idle.igd1, 50);
  state.counters["get_p50_" + b + "_ms"] = percentile(busy_times.igd1, 50);
  state.counters["gets"] = double(idle.igd1.size() + busy_times.igd1.size());
}

namespace {

class BusyClient {
 public:
  BusyClient(GDBusConnection *client, const BusyCall &call)
      : thread_([this, client, call] {
          while (!stop_) {
            if (GVariant *reply = call(client, calls_)) g_variant_unref(reply);
            ++calls_;
          }
        }) {}
  // Stops after the call under way: how many were made.
  int stop() {
    stop_ = true;
    thread_.join();
    return calls_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> calls_{0};
  std::thread thread_;
};

}  // namespace

void gets_against_busy_client(benchmark::State &state, const GetTarget &target, int rounds,
                              std::chrono::milliseconds settle, const BusyCall &call) {
  using Clock = std::chrono::steady_clock;
  GDBusConnection *busy_client = igd1::test::connect_bus(igd1::test::PrivateBus::address());
  for (auto _ : state) {
    PairedGets idle, busy;
    int calls = 0, alone = 0;
    double alone_cpu_us = 0;
    for (int round = 0; round < rounds; ++round) {
      std::this_thread::sleep_for(settle);
      paired_gets_until(target, Clock::now() + std::chrono::seconds(1), &idle);
      BusyClient work(busy_client, call);
      paired_gets_until(target, Clock::now() + std::chrono::seconds(1), &busy);
      calls += work.stop();
      std::this_thread::sleep_for(settle);
      const double before = loop_cpu_us();
      BusyClient unwatched(busy_client, call);
      std::this_thread::sleep_for(std::chrono::seconds(1));
      alone += unwatched.stop();
      std::this_thread::sleep_for(settle);
      alone_cpu_us += loop_cpu_us() - before;
    }
    window_counters(state, "busy", idle, busy);
    state.counters["busy_calls"] = calls;
    state.counters["loop_cpu_us_per_busy_call"] = alone_cpu_us / alone;
  }
  g_object_unref(busy_client);
}

}  // namespace igd1::bench

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  int status = 1;
  {
    auto world = std::make_unique<igd1::bench::World>();
    if (world->ready) {
      igd1::bench::g_world = world.get();
      benchmark::RunSpecifiedBenchmarks();
      igd1::bench::g_world = nullptr;
      status = 0;
    }
  }
  benchmark::Shutdown();
  return status;
}
