// Client steering over the bus on the emulated radios: the associated
// stations, roaming per band with its queries and result signals, and band
// steering.
#include <thread>

#include "mib_wifi.h"
#include "object_client.h"

namespace igd1::test {
namespace {

constexpr char kStations[] = "/com/wqx/igd1/Config/WLAN/STA";
constexpr char kStation[] = "com.wqx.igd1.STAInfo";
constexpr char kWeakStation[] = "02:00:00:00:00:09";
// Mia's phone among the seeded LAN hosts (row 1).
constexpr char kHouseholdPhone[] = "a8:5b:10:2c:44:01";

class SteeringTest : public ObjectTest {
 protected:
  void event(const std::string &words) {
    std::string answer;
    ASSERT_TRUE(host::run_event(words, &answer)) << words << ": " << answer;
  }
  std::string refused_event(const std::string &words) {
    std::string answer;
    EXPECT_FALSE(host::run_event(words, &answer)) << words;
    return answer;
  }
  std::string station(unsigned number, const char *property) {
    return shown(std::string(kStations) + "/" + std::to_string(number), kStation, property);
  }
  std::string station_call(unsigned number, const char *method, GVariant *args) {
    const ObjectUnderTest object{nullptr, kStation};
    const std::string path = std::string(kStations) + "/" + std::to_string(number);
    return invoke({path.c_str(), object.interface}, method, args);
  }
  void standin(const char *program, const char *what, const std::string &text) {
    write_text_file(root().path(std::string("/var/lib/igd1-standin/") + program + "." + what), text);
  }
  std::string standin_log() { return read_text_file(root().path(path::kStandinLog)); }
  // The children's numbers GetManagedObjects lists.
  std::vector<std::string> listed(const char *manager) {
    std::vector<std::string> paths;
    g_autoptr(GError) error = nullptr;
    Variant reply = call(manager, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", nullptr, &error);
    if (!reply) return {"error"};
    g_autoptr(GVariant) objects = g_variant_get_child_value(reply.get(), 0);
    GVariantIter iter;
    g_variant_iter_init(&iter, objects);
    const gchar *path = nullptr;
    while (g_variant_iter_next(&iter, "{&o@a{sa{sv}}}", &path, nullptr)) paths.emplace_back(path);
    std::sort(paths.begin(), paths.end());
    return paths;
  }
};

// The seeded stations are there with what the radios say of them, read
// again at every request; the manager takes no AddObject or DeleteObject.
TEST_F(SteeringTest, StationsAreTheRadiosAssociatedStations) {
  EXPECT_EQ(listed(kStations), (std::vector<std::string>{std::string(kStations) + "/1",
                                                         std::string(kStations) + "/2",
                                                         std::string(kStations) + "/3"}));
  EXPECT_EQ(station(3, "MAC_STA"), "'3C22FB100003'");
  EXPECT_EQ(station(3, "Channel"), "uint32 36");
  EXPECT_EQ(station(3, "BSSID"), "'021018000002'");
  EXPECT_EQ(station(3, "BSS_Transition"), "true");
  EXPECT_EQ(station(3, "Beacon_Report_Support"), "true");
  EXPECT_EQ(station(1, "BSS_Transition"), "false");
  EXPECT_EQ(station(1, "Channel"), "uint32 6");
  EXPECT_EQ(station(3, "RSSI"), "-55");
  event("radio station-signal 3c:22:fb:10:00:03 -61");
  EXPECT_EQ(station(3, "RSSI"), "-61");

  mib::fail_accessor("STAInfo_get_entry", 3);
  EXPECT_EQ(station(3, "RSSI"), "error: func [STAInfo_handle_get_property] :invalid list num  3");
  mib::clear_failures();

  EXPECT_EQ(add(kStations).second,
            Error("org.freedesktop.DBus.Error.Failed", "##########not support to AddObject yet"));
  EXPECT_EQ(remove(kStations, std::string(kStations) + "/1"),
            Error("org.freedesktop.DBus.Error.Failed", "##########not support to DeleteObject yet"));
  EXPECT_EQ(station(1, "MAC_STA"), "'3C22FB100001'");
}

// A station that joins gets the lowest free number and its object; moving
// keeps it; leaving takes it away.  A signal crossing the low mark is
// reported on the station's object, and not once the station is gone.
TEST_F(SteeringTest, StationsFollowTheRadios) {
  SignalWatcher added(client(), "org.freedesktop.DBus.ObjectManager", "InterfacesAdded", kStations);
  SignalWatcher alarms(client(), kStation, "STARSSILowAlarm");
  event(std::string("radio station-join ") + kWeakStation + " 3 -60");
  EXPECT_NE(added.next().find("/com/wqx/igd1/Config/WLAN/STA/4"), std::string::npos);
  EXPECT_EQ(station(4, "MAC_STA"), "'020000000009'");
  event(std::string("radio station-join ") + kWeakStation + " 1 -62");
  EXPECT_EQ(station(4, "Channel"), "uint32 6");
  EXPECT_EQ(added.next(200ms), "<null>");

  event(std::string("radio station-signal ") + kWeakStation + " -80");
  SignalWatcher::Signal alarm = alarms.wait();
  EXPECT_EQ(alarm.path, std::string(kStations) + "/4");
  EXPECT_EQ(printed(alarm.body.get()), "('020000000009', true, -80, uint32 4)");
  event(std::string("radio station-signal ") + kWeakStation + " -70");
  EXPECT_EQ(alarms.next(), "('020000000009', false, -70, uint32 4)");

  event(std::string("radio station-leave ") + kWeakStation);
  EXPECT_EQ(listed(kStations).size(), 3u);
  EXPECT_EQ(refused_event(std::string("radio station-signal ") + kWeakStation + " -90"),
            "no station 02:00:00:00:00:09");
  EXPECT_EQ(refused_event("STAInfo low-signal 4 02:00:00:00:00:09 1 -90"), "no such station");
  EXPECT_EQ(alarms.next(200ms), "<null>");
}

// A de-associated station leaves the radios once the control program is
// done, its object goes, and the LAN host table shows it inactive; a failed
// program leaves it where it is.
TEST_F(SteeringTest, DeassociatedStationLeavesRadiosAndLanHosts) {
  event(std::string("radio station-join ") + kHouseholdPhone + " 3 -50");
  ASSERT_EQ(cell("lanhost", 1, "Active"), "1");
  standin("radioctl", "status", "1");
  EXPECT_EQ(station_call(4, "SetSTADeassociationRequest", g_variant_new("(s)", "steered")),
            "(uint32 1, 'the radio control program failed')");
  EXPECT_EQ(station(4, "MAC_STA"), "'A85B102C4401'");
  standin("radioctl", "status", "0");
  EXPECT_EQ(station_call(4, "SetSTADeassociationRequest", g_variant_new("(s)", std::string(64, 'r').c_str())),
            "(uint32 1, 'reason too long')");
  EXPECT_EQ(station_call(4, "SetSTADeassociationRequest", g_variant_new("(s)", "steered")),
            "(uint32 0, 'success')");
  EXPECT_EQ(standin_log(), "radioctl deauth A85B102C4401\nradioctl deauth A85B102C4401\n");
  EXPECT_EQ(listed(kStations).size(), 3u);
  EXPECT_EQ(cell("lanhost", 1, "Active"), "0");
  EXPECT_EQ(refused_event(std::string("radio station-leave ") + kHouseholdPhone), "no station A8:5B:10:2C:44:01");
}

// A thousand stations join and leave from four processes at once: every
// object that appeared went again, and no alarm names a station that left.
TEST_F(SteeringTest, BurstOfStationsLeavesNothingBehind) {
  SignalWatcher added(client(), "org.freedesktop.DBus.ObjectManager", "InterfacesAdded", kStations);
  SignalWatcher removed(client(), "org.freedesktop.DBus.ObjectManager", "InterfacesRemoved", kStations);
  SignalWatcher alarms(client(), kStation, "STARSSILowAlarm");
  std::vector<std::thread> senders;
  std::atomic<int> failures{0};
  for (int sender = 0; sender < 4; ++sender) {
    senders.emplace_back([sender, &failures] {
      for (int i = 0; i < 250; ++i) {
        char mac[18];
        std::snprintf(mac, sizeof mac, "02:00:00:%02x:%02x:%02x", sender, i / 256, i % 256);
        std::string answer;
        const std::string ssid = sender % 2 == 0 ? " 1" : " 3";
        if (!host::run_event(std::string("radio station-join ") + mac + ssid + " -60", &answer)) ++failures;
        if (!host::run_event(std::string("radio station-signal ") + mac + " -90", &answer)) ++failures;
        if (!host::run_event(std::string("radio station-leave ") + mac, &answer)) ++failures;
        // Gone: its signal is refused at the socket.
        if (host::run_event(std::string("radio station-signal ") + mac + " -91", &answer)) ++failures;
      }
    });
  }
  for (std::thread &t : senders) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(listed(kStations).size(), 3u);
  size_t adds = 0, removes = 0, weak = 0;
  while (added.wait(2s).body) ++adds;
  while (removed.wait(100ms).body) ++removes;
  while (true) {
    SignalWatcher::Signal alarm = alarms.wait(100ms);
    if (!alarm.body) break;
    ++weak;
  }
  EXPECT_EQ(adds, 1000u);
  EXPECT_EQ(removes, 1000u);
  EXPECT_EQ(weak, 1000u);
}

}  // namespace
}  // namespace igd1::test
