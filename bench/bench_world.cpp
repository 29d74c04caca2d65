#include "bench_world.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace igd1::bench {

World::World() {
  igd1::host::Options options;
  options.bus = igd1::host::BusKind::Address;
  options.address = igd1::test::PrivateBus::address();
  options.library = IGD1_BUILD_DIR "/libigd1.so";
  options.modules = {"dhcp_server", "PortMapping"};
  std::string error;
  bool started = false;
  loop.run([&] { started = host.start(options, &error); });
  if (!started) {
    std::fprintf(stderr, "host: %s\n", error.c_str());
    std::exit(1);
  }
  bare = igd1::test::connect_private_bus();
  loop.run([&] {
    g_bus_own_name_on_connection(bare, kBareName, G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, nullptr,
                                 nullptr, nullptr);
  });
  client = igd1::test::connect_private_bus();
  igd1::test::wait_for_name(client, kIgd1Name);
  igd1::test::wait_for_name(client, kBareName);
}

World &world() {
  static World *w = new World;
  return *w;
}

GDBusInterfaceInfo *interface_from_file(const char *file) {
  std::string xml = igd1::test::read_text_file(std::string(IGD1_SOURCE_XML_DIR "/") + file);
  GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(xml.c_str(), nullptr);
  return node != nullptr ? node->interfaces[0] : nullptr;
}

void compare(benchmark::State &state, const Request &request) {
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

}  // namespace igd1::bench

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  igd1::bench::world();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
