// The station objects and the radios' operations: GetManagedObjects of 128
// stations against GDBus's own object manager serving 128 objects of the
// same interface from memory (same bus, same client, same run), and Get on
// another object while channel scans and signal queries keep the radios busy
// or while programs start, against a bare GDBus object asked in the same
// windows.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_world.h"
#include "harness/bus_fixture.h"
#include "host.h"
#include "sys_paths.h"

namespace {

using namespace igd1::bench;

constexpr char kStations[] = "/com/wqx/igd1/Config/WLAN/STA";
constexpr unsigned kStationCount = 128;
// The seeded radios carry three stations; SSIDs 1 and 3 take the others.
constexpr unsigned kSeeded = 3;

struct BareStation {
  unsigned number;
};

GVariant *station_value(gpointer data, const char *name) {
  const unsigned n = static_cast<BareStation *>(data)->number;
  char mac[13];
  std::snprintf(mac, sizeof mac, "0200000%05X", n);
  if (std::strcmp(name, "MAC_STA") == 0) return g_variant_new_string(mac);
  if (std::strcmp(name, "Channel") == 0) return g_variant_new_uint32(n % 2 == 0 ? 6 : 36);
  if (std::strcmp(name, "BSSID") == 0) return g_variant_new_string(n % 2 == 0 ? "021018000001" : "021018000002");
  if (std::strcmp(name, "BSS_Transition") == 0) return g_variant_new_boolean(n % 3 == 0);
  if (std::strcmp(name, "Beacon_Report_Support") == 0) return g_variant_new_boolean(n % 5 == 0);
  if (std::strcmp(name, "RSSI") == 0) return g_variant_new_int32(-40 - int32_t(n % 40));
  return nullptr;
}

bool event(const std::string &words) {
  std::string answer;
  if (igd1::host::run_event(words, &answer)) return true;
  std::fprintf(stderr, "%s: %s\n", words.c_str(), answer.c_str());
  return false;
}

// Room for 80 stations on SSIDs 1 and 3 (two of the seeded stations are on
// SSID 1), then 125 more stations, alternating; the bare manager exports as
// many objects.
bool set_up_stations() {
  static bool done = [] {
    World &w = world();
    const std::string radios = igd1::sys_path(igd1::path::kDeviceStateDir) + "radios.ini";
    w.loop.run([&] {
      igd1::host::stop_emulated_devices();
      g_autoptr(GKeyFile) keys = g_key_file_new();
      g_key_file_load_from_file(keys, radios.c_str(), G_KEY_FILE_KEEP_COMMENTS, nullptr);
      g_key_file_set_uint64(keys, "ssid 1", "max_stations", 80);
      g_key_file_set_uint64(keys, "ssid 3", "max_stations", 80);
      g_key_file_save_to_file(keys, radios.c_str(), nullptr);
      igd1::host::start_emulated_devices();
      GDBusObjectManagerServer *bare = g_dbus_object_manager_server_new(kStations);
      GDBusInterfaceInfo *info = interface_from_file("STAInfo.xml");
      for (unsigned n = 1; n <= kStationCount; ++n) {
        g_autofree gchar *path = g_strdup_printf("%s/%u", kStations, n);
        GDBusObjectSkeleton *object = g_dbus_object_skeleton_new(path);
        GDBusInterfaceSkeleton *station = bare_skeleton(info, station_value, new BareStation{n},
                                                        [](gpointer p) { delete static_cast<BareStation *>(p); });
        g_dbus_object_skeleton_add_interface(object, station);
        g_dbus_object_manager_server_export(bare, object);
        g_object_unref(station);
        g_object_unref(object);
      }
      g_dbus_object_manager_server_set_connection(bare, w.bare);
    });
    for (unsigned n = kSeeded + 1; n <= kStationCount; ++n) {
      char words[96];
      std::snprintf(words, sizeof words, "radio station-join 02:00:00:00:%02x:%02x %u %d", n / 256, n % 256,
                    n % 2 == 0 ? 1u : 3u, -40 - int(n % 40));
      if (!event(words)) return false;
    }
    return listed_objects(Client::GDBus, kIgd1Name, kStations) == kStationCount &&
           listed_objects(Client::GDBus, kBareName, kStations) == kStationCount;
  }();
  return done;
}

void BM_StationsGetManagedObjects_128(benchmark::State &state) {
  if (!set_up_stations()) {
    state.SkipWithError("the stations could not be set up");
    return;
  }
  compare(state, [](const char *service, size_t) {
    return listed_objects(Client::GDBus, service, kStations) == kStationCount;
  });
}
BENCHMARK(BM_StationsGetManagedObjects_128)->UseRealTime()->Unit(benchmark::kMillisecond);

// The DHCP server's MinAddress, an object the radios' work does not touch.
constexpr GetTarget kOtherObject = {"/com/wqx/igd1/Config/DHCPServer", "/com/wqx/bench/DHCPServer",
                                    "com.wqx.igd1.DHCPServer", "MinAddress"};

// Rounds of a second of Gets with the radios idle, then a second while a
// client keeps starting channel scans of the 5 GHz band and station signal
// queries in turns, whose control program takes 200 ms each; the bare
// service is asked in the same windows.  Before each window the operations
// of the one before have ended (the last query's control program and the
// last scan have had their time).
void BM_GetWhileTheRadiosWork(benchmark::State &state) {
  World &w = world();
  igd1::test::write_text_file(w.root.path("/var/lib/igd1-standin/radioctl.sleep_ms"), "200");
  if (!event("radio scan-delay 150") ||
      !register_bare_constant(kOtherObject.bare_path, interface_from_file("DHCPServer.xml"), "192.168.1.2")) {
    state.SkipWithError("the scan delay or the bare object was refused");
    return;
  }
  gets_against_busy_client(state, kOtherObject, 6, std::chrono::milliseconds(400),
                           [](GDBusConnection *client, int n) {
                             const bool scan = n % 2 == 0;
                             return g_dbus_connection_call_sync(
                                 client, kIgd1Name,
                                 scan ? "/com/wqx/igd1/Info/WiFi" : "/com/wqx/igd1/Config/WLAN/5G/Roaming",
                                 scan ? "com.wqx.igd1.WiFiInfo" : "com.wqx.igd1.Roaming",
                                 scan ? "ChannelCollectionRequest" : "GetSTARSSIQuery",
                                 scan ? g_variant_new("(s)", "5G")
                                      : g_variant_new_parsed("({'3C22FB100003': uint32 36},)"),
                                 nullptr, G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
                           });
}
BENCHMARK(BM_GetWhileTheRadiosWork)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same while a client keeps setting the clock: each SetDateTime starts
// two programs (date, then clock), stand-ins that end at once, so the
// client's calls are mostly program starts.
void BM_GetWhileProgramsStart(benchmark::State &state) {
  if (!register_bare_constant(kOtherObject.bare_path, interface_from_file("DHCPServer.xml"), "192.168.1.2")) {
    state.SkipWithError("the bare object was refused");
    return;
  }
  gets_against_busy_client(state, kOtherObject, 6, std::chrono::milliseconds(100), [](GDBusConnection *client, int) {
    return g_dbus_connection_call_sync(client, kIgd1Name, "/com/wqx/igd1/Ovatrix/System", "com.wqx.igd1.SysCmd",
                                       "SetDateTime", g_variant_new("(s)", "2026-03-01 12:00:00"), nullptr,
                                       G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
  });
}
BENCHMARK(BM_GetWhileProgramsStart)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
