// Client steering over the bus on the emulated radios: the associated
// stations, roaming per band with its queries and result signals, and band
// steering.
#include <thread>

#include "mib_wifi.h"
#include "object_client.h"
#include "radio_test.h"

namespace igd1::test {
namespace {

constexpr char kStations[] = "/com/wqx/igd1/Config/WLAN/STA";
constexpr char kStation[] = "com.wqx.igd1.STAInfo";
constexpr char kWeakStation[] = "02:00:00:00:00:09";
// Mia's phone among the seeded LAN hosts (row 1).
constexpr char kHouseholdPhone[] = "a8:5b:10:2c:44:01";

class SteeringTest : public RadioTest<ObjectTest> {
 protected:
  std::string station(unsigned number, const char *property) {
    return shown(std::string(kStations) + "/" + std::to_string(number), kStation, property);
  }
  std::string station_call(unsigned number, const char *method, GVariant *args) {
    const ObjectUnderTest object{nullptr, kStation};
    const std::string path = std::string(kStations) + "/" + std::to_string(number);
    return invoke({path.c_str(), object.interface}, method, args);
  }
};

// The seeded stations are there with what the radios say of them, read
// again at every request; the manager takes no AddObject or DeleteObject.
TEST_F(SteeringTest, StationsAreTheRadiosAssociatedStations) {
  EXPECT_EQ(listed_paths(kStations), (std::vector<std::string>{std::string(kStations) + "/1",
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
  EXPECT_EQ(listed_paths(kStations).size(), 3u);
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
  radioctl("status", "1");
  EXPECT_EQ(station_call(4, "SetSTADeassociationRequest", g_variant_new("(s)", "steered")),
            "(uint32 1, 'the radio control program failed')");
  EXPECT_EQ(station(4, "MAC_STA"), "'A85B102C4401'");
  radioctl("status", "0");
  EXPECT_EQ(station_call(4, "SetSTADeassociationRequest", g_variant_new("(s)", std::string(64, 'r').c_str())),
            "(uint32 1, 'reason too long')");
  EXPECT_EQ(station_call(4, "SetSTADeassociationRequest", g_variant_new("(s)", "steered")),
            "(uint32 0, 'success')");
  EXPECT_EQ(standin_log(), "radioctl deauth A85B102C4401\nradioctl deauth A85B102C4401\n");
  EXPECT_EQ(listed_paths(kStations).size(), 3u);
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
  EXPECT_EQ(listed_paths(kStations).size(), 3u);
  // Each watcher hears its thousand signals, and no more.
  for (SignalWatcher *watcher : {&added, &removed, &alarms}) {
    size_t heard = 0;
    while (heard < 1000 && watcher->wait().body) ++heard;
    EXPECT_EQ(heard, 1000u);
    EXPECT_EQ(watcher->next(100ms), "<null>");
  }
}

constexpr ObjectUnderTest kRoaming2G{"/com/wqx/igd1/Config/WLAN/2G/Roaming", "com.wqx.igd1.Roaming"};
constexpr ObjectUnderTest kRoaming5G{"/com/wqx/igd1/Config/WLAN/5G/Roaming", "com.wqx.igd1.Roaming"};
constexpr ObjectUnderTest kSteering{"/com/wqx/igd1/Config/WLAN/BandSteering", "com.wqx.igd1.WiFiBandSteering"};

GVariant *entries(std::initializer_list<std::pair<const char *, uint32_t>> list) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{su}"));
  for (const auto &[mac, channel] : list) g_variant_builder_add(&builder, "{su}", mac, channel);
  return g_variant_builder_end(&builder);
}

// Each band's thresholds take values of their own type only, are checked by
// the store, and a request is applied once, when it is done; a refused
// entry of a multi-write keeps those before it unapplied.
TEST_F(SteeringTest, RoamingWritesAreTypedCheckedAndAppliedOncePerRequest) {
  EXPECT_EQ(read(kRoaming2G, "BSSID"), "'021018000001'");
  EXPECT_EQ(read(kRoaming5G, "BSSID"), "'021018000002'");
  EXPECT_EQ(read(kRoaming5G, "Threshold1_RSSI"), "-72");
  int64_t seq = journal_end();
  EXPECT_EQ(set_multi(kRoaming2G, g_variant_new_parsed("{'Threshold1_RSSI': <uint32 60>}")),
            InvalidArgs("Invalid parameter value"));
  EXPECT_EQ(write(kRoaming2G, "Threshold1_RSSI", "-60"), Failure());
  EXPECT_EQ(setting("roaming.2G.Threshold1RSSI"), "-60");
  EXPECT_EQ(setting("roaming.5G.Threshold1RSSI"), "-72");
  EXPECT_EQ(write(kRoaming2G, "Threshold2_RSSI", "-200"), InvalidArgs("set Threshold2_RSSI failed -200"));
  EXPECT_EQ(write(kRoaming2G, "Start_time", "uint32 90000"), InvalidArgs("set Start_time failed 90000"));
  EXPECT_EQ(applies_since(seq, MIB_CFG_WIFI_INFO), 1);

  seq = journal_end();
  EXPECT_EQ(set_multi(kRoaming5G, g_variant_new_parsed("{'Enable': <true>, 'Start_time': <uint32 3600>}")),
            Failure());
  EXPECT_EQ(applies_since(seq, MIB_CFG_WIFI_INFO), 1);
  EXPECT_EQ(read(kRoaming5G, "Enable"), "true");
  seq = journal_end();
  EXPECT_EQ(set_multi(kRoaming5G, g_variant_new_parsed("{'Start_time': <uint32 60>, 'Threshold1_RSSI': <5>}")),
            InvalidArgs("set Threshold1_RSSI failed 5"));
  EXPECT_EQ(set_multi(kRoaming5G, g_variant_new_parsed("{'BSSID': <'x'>}")), InvalidArgs("invalid property BSSID"));
  EXPECT_EQ(applies_since(seq, MIB_CFG_WIFI_INFO), 0);
  EXPECT_EQ(read(kRoaming5G, "Start_time"), "uint32 60");

  mib::fail_accessor("Roaming_set_property", 1);
  EXPECT_EQ(write(kRoaming2G, "Enable", "true"), InvalidArgs("set Enable failed 1"));
  mib::fail_accessor("Roaming_get_property", 3);
  EXPECT_EQ(read(kRoaming2G, "Threshold1_RSSI"),
            "<org.freedesktop.DBus.Error.InvalidArgs: get Threshold1_RSSI failed!>");
}

// A station's view of the listed access points arrives as a signal once the
// radio answered: the band's own and a neighbour heard, an unknown one left
// out; the count must match the list.
TEST_F(SteeringTest, AccessPointQueryReportsWhatTheStationHears) {
  SignalWatcher results(client(), "com.wqx.igd1.Roaming", "APRSSIQueryResult");
  EXPECT_EQ(invoke(kRoaming5G, "StartAPRSSIQuery",
                   g_variant_new("(su@a{su})", "3C22FB100003", 3u,
                                 entries({{"021018000002", 36}, {"02:20:30:40:50:03", 149}}))),
            "(uint32 1, 'Invalid parameters!')");
  EXPECT_EQ(invoke(kRoaming2G, "StartAPRSSIQuery",
                   g_variant_new("(su@a{su})", "3C22FB100003", 1u, entries({{"021018000001", 6}}))),
            "(uint32 1, 'the station is not associated with this band')");
  EXPECT_EQ(invoke(kRoaming5G, "StartAPRSSIQuery",
                   g_variant_new("(su@a{su})", "3C22FB100003", 1u, entries({{"021018000002", 6}}))),
            "(uint32 1, 'invalid channel 6')");
  EXPECT_EQ(results.next(200ms), "<null>");

  // The call and other objects are answered while the radio is held.
  radioctl("hold", "");
  EXPECT_EQ(invoke(kRoaming5G, "StartAPRSSIQuery",
                   g_variant_new("(su@a{su})", "3C22FB100003", 3u,
                                 entries({{"021018000002", 36}, {"02:20:30:40:50:03", 149},
                                          {"029999999999", 44}}))),
            "(uint32 0, 'query started')");
  EXPECT_EQ(read(kRoaming2G, "BSSID"), "'021018000001'");
  release_radioctl();
  SignalWatcher::Signal result = results.wait();
  EXPECT_EQ(result.path, kRoaming5G.path);
  EXPECT_EQ(printed(result.body.get()),
            "(uint32 0, '021018000002', {'021018000002': -55, '022030405003': -77}, '')");
  EXPECT_NE(standin_log().find("radioctl ap-rssi-query 3C22FB100003"), std::string::npos);
}

// This band's view of the listed stations: a station of the other band is
// not heard and left out; one query at a time.
TEST_F(SteeringTest, StationQueryReportsTheStationsOfTheBand) {
  SignalWatcher results(client(), "com.wqx.igd1.Roaming", "STARSSIQueryResult");
  EXPECT_EQ(invoke(kRoaming2G, "GetSTARSSIQuery", g_variant_new("(@a{su})", entries({{"zz", 6}}))),
            "(uint32 1, 'Invalid parameters!')");
  radioctl("hold", "");
  EXPECT_EQ(invoke(kRoaming2G, "GetSTARSSIQuery",
                   g_variant_new("(@a{su})", entries({{"3C22FB100001", 6}, {"3C22FB100003", 6}}))),
            "(uint32 0, 'query started')");
  EXPECT_EQ(invoke(kRoaming2G, "GetSTARSSIQuery", g_variant_new("(@a{su})", entries({{"3C22FB100001", 6}}))),
            "(uint32 1, 'a station query is running')");
  release_radioctl();
  SignalWatcher::Signal result = results.wait();
  EXPECT_EQ(result.path, kRoaming2G.path);
  EXPECT_EQ(printed(result.body.get()), "(uint32 0, {'3C22FB100001': -48}, '')");
}

// A station that takes transition requests moves to the band of the target
// access point once the radio answered; one that does not is refused.
TEST_F(SteeringTest, CompletedTransitionMovesTheStation) {
  SignalWatcher results(client(), "com.wqx.igd1.Roaming", "STABSSTransitionResult");
  EXPECT_EQ(invoke(kRoaming2G, "StartSTABSSTransitionRequest",
                   g_variant_new("(sus)", "3C22FB100001", 36u, "021018000002")),
            "(uint32 1, 'the station does not take transition requests')");
  EXPECT_EQ(invoke(kRoaming2G, "StartSTABSSTransitionRequest",
                   g_variant_new("(sus)", "3c:22:fb:10:00:02", 44u, "021018000002")),
            "(uint32 1, 'no access point of this gateway on that channel')");
  EXPECT_EQ(station(2, "Channel"), "uint32 6");
  EXPECT_EQ(invoke(kRoaming2G, "StartSTABSSTransitionRequest",
                   g_variant_new("(sus)", "3c:22:fb:10:00:02", 36u, "021018000002")),
            "(uint32 0, 'request sent')");
  EXPECT_EQ(results.next(), "(uint32 0, '3C22FB100002', uint32 0, '')");
  EXPECT_EQ(station(2, "Channel"), "uint32 36");
  EXPECT_EQ(station(2, "BSSID"), "'021018000002'");
}

// Results other processes report reach the signals only for a band with a
// roaming object and a station associated with it; a result of 0 carries
// no error text, and a level not measured is left out.
TEST_F(SteeringTest, ReportedResultsNeedTheirBandAndStation) {
  SignalWatcher levels(client(), "com.wqx.igd1.Roaming", "STARSSIQueryResult");
  SignalWatcher answers(client(), "com.wqx.igd1.Roaming", "STABSSTransitionResult");
  EXPECT_EQ(refused_event("Roaming sta-rssi-result 3 3c:22:fb:10:00:03 -50 1"), "no roaming object for band 3");
  EXPECT_EQ(refused_event("Roaming sta-rssi-result 1 3c:22:fb:10:00:03 -50 1"),
            "no station 3C22FB100003 on band 1");
  EXPECT_EQ(refused_event("Roaming bss-transition-result 2 02:00:00:00:00:77 0 gone"),
            "no station 020000000077 on band 2");
  EXPECT_EQ(levels.next(200ms), "<null>");
  EXPECT_EQ(answers.next(1ms), "<null>");
  event("Roaming sta-rssi-result 2 3c:22:fb:10:00:03 -50 2");
  EXPECT_EQ(levels.next(), "(uint32 0, @a{si} {}, '')");
  event("Roaming sta-rssi-result 2 3c:22:fb:10:00:03 -50 1");
  EXPECT_EQ(levels.next(), "(uint32 0, {'3C22FB100003': -50}, '')");
  event("Roaming bss-transition-result 2 3c:22:fb:10:00:03 0 ignored");
  EXPECT_EQ(answers.next(), "(uint32 0, '3C22FB100003', uint32 0, '')");
  event("Roaming bss-transition-result 2 3c:22:fb:10:00:03 7 declined");
  EXPECT_EQ(answers.next(), "(uint32 1, '3C22FB100003', uint32 7, 'declined')");
}

class NoFiveGhzTest : public SteeringTest {
 protected:
  void configure(host::Options &) override { mib::fail_accessor("Roaming_band_check", 2); }
};

// A band the radios do not report at the start has no roaming object, and
// results for it are refused.
TEST_F(NoFiveGhzTest, OnlyTheBandsThatPassTheirCheckHaveRoaming) {
  EXPECT_EQ(read(kRoaming2G, "BSSID"), "'021018000001'");
  EXPECT_NE(read(kRoaming5G, "BSSID").find("Object does not exist"), std::string::npos);
  EXPECT_EQ(refused_event("Roaming sta-rssi-result 2 3c:22:fb:10:00:03 -50 1"), "no roaming object for band 2");
}

// Band steering: checked, then stored, applied once per request, never
// announced; a read of Enable that fails is an error, of the others 0.
TEST_F(SteeringTest, BandSteeringChecksStoresAndAppliesOnce) {
  SignalWatcher changes(client(), "org.freedesktop.DBus.Properties", "PropertiesChanged", kSteering.path);
  EXPECT_EQ(read(kSteering, "Enable"), "false");
  EXPECT_EQ(read(kSteering, "Capability"), "true");
  EXPECT_EQ(read(kSteering, "RSSIThreshold"), "-70");
  EXPECT_EQ(read(kSteering, "ChannelUtilization5G"), "uint32 11");
  int64_t seq = journal_end();
  EXPECT_EQ(write(kSteering, "RSSIThreshold", "-65"), Failure());
  EXPECT_EQ(setting("bandsteering.RSSIThreshold"), "-65");
  EXPECT_EQ(write(kSteering, "RSSIThreshold", "5"), InvalidArgs("set RSSIThreshold failed!"));
  EXPECT_EQ(write(kSteering, "SteeringDetectInterval", "uint32 0"), InvalidArgs("set SteeringDetectInterval failed!"));
  EXPECT_EQ(applies_since(seq, MIB_CFG_WIFI_INFO), 1);
  seq = journal_end();
  EXPECT_EQ(set_multi(kSteering, g_variant_new_parsed("{'Enable': <true>, 'STALoadThreshold2G': <uint32 300>}")),
            InvalidArgs("set STALoadThreshold2G failed!"));
  EXPECT_EQ(set_multi(kSteering, g_variant_new_parsed("{'Capability': <false>}")),
            InvalidArgs("invalid property Capability"));
  EXPECT_EQ(applies_since(seq, MIB_CFG_WIFI_INFO), 0);
  EXPECT_EQ(read(kSteering, "Enable"), "true");
  EXPECT_EQ(set_multi(kSteering, g_variant_new_parsed("{'Enable': <false>, 'STALoadThreshold2G': <uint32 20>}")),
            Failure());
  EXPECT_EQ(applies_since(seq, MIB_CFG_WIFI_INFO), 1);
  EXPECT_EQ(changes.next(200ms), "<null>");

  mib::fail_accessor("WiFiBandSteering_set_property", 2);
  EXPECT_EQ(write(kSteering, "RSSIThreshold", "-60"), InvalidArgs("set RSSIThreshold failed!"));
  mib::fail_accessor("WiFiBandSteering_get_property");
  EXPECT_EQ(read(kSteering, "Enable"), "<org.freedesktop.DBus.Error.InvalidArgs: get Enable failed!>");
  EXPECT_EQ(read(kSteering, "RSSIThreshold"), "0");
}

}  // namespace
}  // namespace igd1::test
