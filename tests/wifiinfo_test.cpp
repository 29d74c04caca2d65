// The radios as a whole over the bus on the emulated radios: switches with
// their apply token, read rules, channel scans and switches, neighbours,
// kick-out and same-SSID pairing.
#include <thread>

#include "mib_wifi.h"
#include "object_client.h"
#include "radio_test.h"

namespace igd1::test {
namespace {

constexpr ObjectUnderTest kInfo{"/com/wqx/igd1/Info/WiFi", "com.wqx.igd1.WiFiInfo"};
constexpr ObjectUnderTest kStation1{"/com/wqx/igd1/Config/WLAN/STA/1", "com.wqx.igd1.STAInfo"};

class WiFiInfoTest : public RadioTest<ObjectTest> {
 protected:
  using BusTest::write;
  using ObjectTest::write;
  std::string band_call(const char *method, const char *band) {
    return invoke(kInfo, method, g_variant_new("(s)", band));
  }
};

// Reads: failures that answer an error, failures that read as defaults, the
// mode's fallback text; values from the radios.
TEST_F(WiFiInfoTest, ReadsFollowTheirFailureRules) {
  EXPECT_EQ(read(kInfo, "Enable2G"), "true");
  EXPECT_EQ(read(kInfo, "WiFiMode"), "'802.11b/g/n/ax,802.11a/n/ac/ax'");
  EXPECT_EQ(read(kInfo, "DualBand"), "true");
  EXPECT_EQ(read(kInfo, "BgNoise2G"), "int16 -92");
  EXPECT_EQ(read(kInfo, "BgNoise5G"), "int16 -95");
  EXPECT_EQ(read(kInfo, "ChannelScanStatus"), "byte 0x00");
  EXPECT_EQ(read(kInfo, "ChannelScanScore"), "@as []");
  mib::fail_accessor("wifiinfo_get_property");
  EXPECT_EQ(read(kInfo, "Enable5G"), "<org.freedesktop.DBus.Error.InvalidArgs: get Enable5G failed!>");
  EXPECT_EQ(read(kInfo, "SupportedBeaconType"),
            "<org.freedesktop.DBus.Error.InvalidArgs: get SupportedBeaconType failed!>");
  EXPECT_EQ(read(kInfo, "MAPAgent"), "<org.freedesktop.DBus.Error.InvalidArgs: get MAPAgent failed!>");
  EXPECT_EQ(read(kInfo, "WiFiMode"), "'802.11b/802.11g/802.11n/802.11ac'");
  EXPECT_EQ(read(kInfo, "DualBand"), "false");
  EXPECT_EQ(read(kInfo, "RxBytes"), "uint64 0");
  EXPECT_EQ(read(kInfo, "ChannelScanFinishTime"), "''");
  EXPECT_EQ(read(kInfo, "BgNoise2G"), "int16 0");
}

// Switches are stored with the store's token and applied once per request
// that changed something; a refused entry leaves the request unapplied.
TEST_F(WiFiInfoTest, SwitchesAreAppliedOncePerRequest) {
  SignalWatcher changes(client(), "com.wqx.igd1.Properties", "PropertiesChanged", kInfo.path);
  int64_t seq = journal_end();
  EXPECT_EQ(write(kInfo, "Enable5G", "false"), Failure());
  EXPECT_EQ(setting("wifiinfo.Enable5G"), "0");
  EXPECT_EQ(applies_since(seq, MIB_CFG_WIFI_INFO), 1);
  EXPECT_NE(changes.next().find("'Enable5G': <false>"), std::string::npos);
  seq = journal_end();
  EXPECT_EQ(write(kInfo, "Enable5G", "false"), Failure());
  EXPECT_EQ(applies_since(seq, MIB_CFG_WIFI_INFO), 0);
  EXPECT_EQ(write(kInfo, "MAPAgent", "byte 2"), InvalidArgs("set MAPAgent failed!"));
  EXPECT_EQ(set_multi(kInfo, g_variant_new_parsed("{'WiFiMode': <'x'>}")), InvalidArgs("invalid property WiFiMode"));

  EXPECT_EQ(set_multi(kInfo, g_variant_new_parsed("{'RatePriority': <true>, 'EnWifiQualityCollection': <uint32 3>}")),
            Failure());
  EXPECT_EQ(applies_since(seq, MIB_CFG_WIFI_INFO), 1);
  seq = journal_end();
  mib::fail_accessor("wifiinfo_set_property", 17);
  EXPECT_EQ(set_multi(kInfo, g_variant_new_parsed("{'Enable': <false>, 'RatePriority5G': <true>}")),
            InvalidArgs("set RatePriority5G failed!"));
  EXPECT_EQ(applies_since(seq, MIB_CFG_WIFI_INFO), 0);
  EXPECT_EQ(setting("wifiinfo.Enable"), "0");
}

// A scan runs in the radio behind its control program: answered at once,
// its result there once it finished, best score first and cut to the
// entries that scored; the status can be set back to idle only.
TEST_F(WiFiInfoTest, ScanResultsAppearWhenTheScanFinishes) {
  // Long beside the calls made while the scan runs, however loaded the
  // machine; the test waits for its end.
  event("radio scan-delay 3000");
  event("radio scan-result 1 3 0");
  event("radio scan-result 1 9 0");
  EXPECT_EQ(band_call("ChannelCollection", "2.4g"), "('', uint32 1, 'no scan result')");
  EXPECT_EQ(band_call("ChannelCollectionRequest", "6G"), "(uint32 1, 'Unknown Band 6G')");
  EXPECT_EQ(band_call("ChannelCollectionRequest", "2.x"), "(uint32 0, 'scan started')");
  EXPECT_EQ(read(kInfo, "ChannelScanStatus"), "byte 0x01");
  EXPECT_EQ(band_call("ChannelCollectionRequest", "2G"), "(uint32 1, 'a scan is already running')");
  EXPECT_EQ(band_call("ChannelCollection", "2.4G"), "('', uint32 1, 'scanning')");
  EXPECT_TRUE(eventually([&] { return read(kInfo, "ChannelScanStatus") == "byte 0x02"; }));
  EXPECT_EQ(band_call("ChannelCollection", "2.4G"), "('6:81,1:62,11:47,3:0,9:0', uint32 0, 'success')");
  EXPECT_EQ(read(kInfo, "ChannelScanScore"), "['6:81', '1:62', '11:47']");
  EXPECT_EQ(read(kInfo, "ChannelScanScore5G"), "@as []");
  EXPECT_NE(read(kInfo, "ChannelScanFinishTime"), "''");
  EXPECT_EQ(standin_log(), "radioctl scan 1\nradioctl scan 1\n");

  EXPECT_EQ(write(kInfo, "ChannelScanStatus", "byte 1"), InvalidArgs("set ChannelScanStatus failed!"));
  EXPECT_EQ(write(kInfo, "ChannelScanStatus", "byte 0"), Failure());
  EXPECT_EQ(read(kInfo, "ChannelScanStatus"), "byte 0x00");
}

// A scan or a slow radio never holds the loop: Get on other objects is
// answered while the control program is held in its start (before the child
// has become the program, which is where the starting thread waits) and
// while it runs.
TEST_F(WiFiInfoTest, SlowRadioDoesNotHoldOtherCalls) {
  GDBusConnection *connection = client();
  auto scan = [connection](const char *band) {
    return std::thread([connection, band] {
      g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
          connection, "com.wqx.igd1", kInfo.path, kInfo.interface, "ChannelCollectionRequest",
          g_variant_new("(s)", band), nullptr, G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, nullptr);
      EXPECT_NE(reply, nullptr);
    });
  };
  HeldStart held("radioctl");
  std::thread starting = scan("5G");
  EXPECT_TRUE(held.waiting());
  EXPECT_EQ(read(kStation1, "MAC_STA"), "'3C22FB100001'") << "answered while the program starts";
  held.release();
  starting.join();

  radioctl("hold", "");
  std::thread running = scan("2G");
  EXPECT_TRUE(eventually([&] { return standin_log() == "radioctl scan 2\nradioctl scan 1\n"; })) << standin_log();
  EXPECT_EQ(read(kStation1, "MAC_STA"), "'3C22FB100001'") << "answered while the program runs";
  release_radioctl();
  running.join();
}

// A channel switch takes the best channel of the band's last scan; band
// names are matched on their first characters in any case.
TEST_F(WiFiInfoTest, ChannelSwitchTakesTheBestScannedChannel) {
  EXPECT_EQ(band_call("ChannelSwitch", "wifi"), "(uint32 1, 'Unknown Band wifi')");
  EXPECT_EQ(band_call("ChannelSwitch", "2.x"), "(uint32 1, 'Unknown Band 2.x')");
  EXPECT_EQ(band_call("ChannelSwitch", "5g"), "(uint32 1, 'no channel scan result')");
  event("radio scan-delay 0");
  EXPECT_EQ(band_call("ChannelCollectionRequest", "5G"), "(uint32 0, 'scan started')");
  EXPECT_EQ(band_call("ChannelSwitch", "5gHz"), "(uint32 0, 'channel 36')");
  event("radio scan-result 2 149 95");
  EXPECT_EQ(band_call("ChannelCollectionRequest", "5G"), "(uint32 0, 'scan started')");
  EXPECT_EQ(band_call("ChannelSwitch", "5G"), "(uint32 0, 'channel 149')");
  EXPECT_EQ(read({"/com/wqx/igd1/Config/WLAN/STA/3", "com.wqx.igd1.STAInfo"}, "Channel"), "uint32 149");
  radioctl("status", "2");
  EXPECT_EQ(band_call("ChannelSwitch", "2.4G"), "(uint32 1, 'the radio control program failed')");
  EXPECT_EQ(standin_log(),
            "radioctl channel-switch 2\nradioctl scan 2\nradioctl channel-switch 2\nradioctl scan 2\n"
            "radioctl channel-switch 2\nradioctl channel-switch 1\n");
}

// Kick-out sends the station away once the control program ran, and a text
// that is no MAC never reaches the program; the neighbour survey; same-SSID
// pairing and its cancel, whose failure answers as an unknown method.
TEST_F(WiFiInfoTest, StationsNeighboursAndSameSsid) {
  for (const char *mac : {"--help", "3C22FB10000", "3C:22:FB:10:00:0G", "3C22FB100001 x", "3C:22:FB:10:00;01"})
    EXPECT_EQ(invoke(kInfo, "KickOutDevice", g_variant_new("(ss)", mac, "1")),
              "(uint32 1, 'invalid MAC or SSID index')")
        << mac;
  EXPECT_EQ(standin_log(), "");
  EXPECT_EQ(invoke(kInfo, "KickOutDevice", g_variant_new("(ss)", "3C22FB100001", "3")),
            "(uint32 1, 'no such station on SSID 3')");
  EXPECT_EQ(invoke(kInfo, "KickOutDevice", g_variant_new("(ss)", "3C22FB100001", "1")), "(uint32 0, 'success')");
  EXPECT_NE(read(kStation1, "MAC_STA").find("Object does not exist"), std::string::npos);
  EXPECT_EQ(invoke(kInfo, "GetWLANNeighbor", g_variant_new("(s)", "")), "(uint32 4, 'get radio type failed')");
  EXPECT_EQ(invoke(kInfo, "GetWLANNeighbor", g_variant_new("(s)", "5G")),
            "(uint32 0, 'Neighbour-5G,02:20:30:40:50:03,149,-77')");
  EXPECT_EQ(invoke(kInfo, "GetWLANNeighbor", g_variant_new("(s)", "60G")), "(uint32 1, 'unknown radio type')");

  EXPECT_EQ(invoke(kInfo, "CancelSameSSID", nullptr),
            "<org.freedesktop.DBus.Error.UnknownMethod: Unknown method CancelSameSSID>");
  EXPECT_EQ(invoke(kInfo, "SetSameSSID", g_variant_new("(ss)", "3", "1")),
            "(uint32 1, 'the indexes name no 2.4 GHz and 5 GHz SSID')");
  EXPECT_EQ(invoke(kInfo, "SetSameSSID", g_variant_new("(ss)", "1", "3")), "(uint32 0, 'success')");
  EXPECT_EQ(read(kInfo, "SameSSIDStatus"), "true");
  EXPECT_EQ(invoke(kInfo, "CancelSameSSID", nullptr), "(uint32 0, 'success')");
  EXPECT_EQ(read(kInfo, "SameSSIDStatus"), "false");
}

}  // namespace
}  // namespace igd1::test
