// Wireless networks over the bus: the eight SSIDs of a new store with their
// WPS objects, the write transaction (backup, apply, commit or restore),
// the rules of the values, what the radio refuses, the backhaul and the
// guest network, service type 1, rows of another process, and WPS.

#include <cstdio>
#include <string>
#include <vector>

#include "harness/bus_fixture.h"
#include "harness/program.h"
#include "local_socket.h"
#include "mib_wlan.h"
#include "radio_test.h"
#include "wlanconfiguration.h"

namespace igd1::test {
namespace {

constexpr char kDevices[] = "/com/wqx/igd1/Config/WLAN/Devices";
constexpr char kWlan[] = "com.wqx.igd1.WLANConfiguration";
constexpr char kWps[] = "com.wqx.igd1.WPS";
constexpr unsigned kHome2G = 1, kGuest = 2, kHome5G = 3, kBackhaul = 4;

std::string ssid(unsigned n) { return std::string(kDevices) + "/" + std::to_string(n); }
std::string wps(unsigned n) { return ssid(n) + "/WPS"; }
std::string path_refused(unsigned n) { return "Invalid parameter value, object path " + ssid(n); }

class WlanTest : public RadioTest<BusTest> {
 protected:
  void configure(host::Options &options) override { options.notify_socket = true; }
  void TearDown() override {
    set_service_type(0);
    BusTest::TearDown();
  }

  void set_service_type(int type) {
    if (loop_ != nullptr) loop_->run([type] { host::settings().service_type = type; });
  }
  Error set(unsigned n, const char *name, GVariant *value) { return write(ssid(n), kWlan, name, value); }
  Error set_text(unsigned n, const char *name, const std::string &text) {
    return set(n, name, g_variant_new_string(text.c_str()));
  }
  // Waits for the child to be published (row callbacks from other threads arrive through the loop).
  bool published(const std::string &path, bool wanted = true) {
    return eventually([&] { return (introspect(path.c_str()).find(kWlan) != std::string::npos) == wanted; });
  }
};

Error failed(const std::string &message) { return {kFailed, message}; }

TEST_F(WlanTest, ANewStoreHasEightSsidsFourPerRadioEachWithItsWpsObject) {
  for (unsigned n = 1; n <= 8; ++n) {
    ASSERT_TRUE(published(ssid(n))) << n;
    EXPECT_THAT(introspect(ssid(n).c_str()), HasSubstr("<node name=\"WPS\"/>")) << n;
    EXPECT_EQ(shown(wps(n), kWps, "WPSStatus"), "byte 0x00") << n;
    EXPECT_EQ(text(ssid(n), kWlan, "RadioType"), n == 1 || n == 2 || n == 5 || n == 6 ? "2.4GHz" : "5.0GHz");
  }
  EXPECT_TRUE(published(ssid(9), false));
  EXPECT_EQ(text(ssid(kGuest), kWlan, "NetworkType"), "guest");
  EXPECT_EQ(text(ssid(kBackhaul), kWlan, "NetworkType"), "bhaul");
  EXPECT_EQ(shown(ssid(kGuest), kWlan, "Duration"), "uint64 240");
  EXPECT_EQ(shown(ssid(kHome5G), kWlan, "EncryptionMode"), "byte 0x04");
  EXPECT_EQ(text(ssid(kHome5G), kWlan, "FrequencyWidth"), "80M");
  EXPECT_EQ(text(ssid(kHome5G), kWlan, "ChannelsInUse"), "36,40,44,48");
  EXPECT_EQ(shown(ssid(kBackhaul), kWlan, "SSIDAdvertisementEnabled"), "false");
  // Every SSID of the store is on the radios.
  EXPECT_THAT(radios(), HasSubstr("[ssid 8]\nband=2\nname=igd1-5G-4\n"));
  const std::string listing = managed(kDevices);
  for (unsigned n = 1; n <= 8; ++n) EXPECT_THAT(listing, HasSubstr("'" + ssid(n) + "'"));
}

TEST_F(WlanTest, AWriteIsCommittedAnnouncedPutIntoEffectAndJournalledWithoutItsKey) {
  SignalWatcher changes(client(), kProps, "PropertiesChanged", ssid(kHome2G).c_str());
  const int64_t before = journal_end();
  ASSERT_EQ(set_multi(ssid(kHome2G), kWlan,
                      dictionary({{"SSID", g_variant_new_string("Kitchen")},
                                  {"PWD", g_variant_new_string("correct horse battery")},
                                  {"BeaconType", g_variant_new_string("WPAand11i")}})),
            Error());
  EXPECT_EQ(changes.next(), change_body(kWlan, "{'SSID': <'Kitchen'>, 'BeaconType': <'WPAand11i'>, "
                                                "'PWD': <'correct horse battery'>}"));
  EXPECT_EQ(cell("wlan", kHome2G, "SSID"), "Kitchen");
  EXPECT_EQ(cell("wlan", kHome2G, "BeaconType"), "WPAand11i");
  EXPECT_EQ(shown(ssid(kHome2G), kWlan, "EncryptionMode"), "byte 0x05");
  EXPECT_TRUE(radios_hold("[ssid 1]\nband=1\nname=Kitchen\npassword=correct horse battery\n"));
  EXPECT_THAT(radios(), HasSubstr("security=WPAand11i"));
  EXPECT_THAT(standin_log(), HasSubstr("radioctl ssid 1\n"));
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(uint32_t(MIB_CFG_WLAN), 1)));
  std::string journalled;
  for (const mib::JournalEntry &entry : mib::journal(before)) journalled += entry.data + "\n";
  EXPECT_THAT(journalled, HasSubstr("name \"Kitchen\""));
  EXPECT_THAT(journalled, Not(HasSubstr("horse")));
  EXPECT_THAT(syslog(), Not(HasSubstr("horse")));

  // The same values again: stored again, nothing announced.
  ASSERT_EQ(set_text(kHome2G, "SSID", "Kitchen"), Error());
  EXPECT_EQ(changes.next(300ms), "<null>");
}

TEST_F(WlanTest, TheBackhaulTakesNoWritesOutsideAConformanceRun) {
  const uint64_t commits_before = commits("wlan");
  EXPECT_EQ(set_text(kBackhaul, "SSID", "taken over"), Error());
  EXPECT_EQ(set_multi(ssid(kBackhaul), kWlan, dictionary({{"SSID", g_variant_new_string("x")},
                                                          {"Channel", g_variant_new_uint32(999)}})),
            Error());
  EXPECT_EQ(text(ssid(kBackhaul), kWlan, "SSID"), "igd1-backhaul");
  EXPECT_EQ(commits("wlan"), commits_before);

  write_text_file(root().path(path::kCtsMarker), "");
  EXPECT_EQ(set_text(kBackhaul, "SSID", "taken over"), Error());
  EXPECT_EQ(text(ssid(kBackhaul), kWlan, "SSID"), "taken over");
  // A conformance run stores the coded text itself, not its code.
  EXPECT_EQ(set_text(kBackhaul, "WPAEncryptionModes", "TKIPandAESEncryption"), Error());
  EXPECT_EQ(cell("wlan", kBackhaul, "WPAEncryptionModes"), "TKIPandAESEncryption");
  std::remove(root().path(path::kCtsMarker).c_str());
}

TEST_F(WlanTest, SsidTextsAreOneToThirtyTwoBytesStoredExactly) {
  EXPECT_EQ(set_text(kHome2G, "SSID", std::string(33, 'a')), InvalidArgs(path_refused(kHome2G)));
  EXPECT_EQ(set_text(kHome2G, "SSID", ""), InvalidArgs(path_refused(kHome2G)));
  EXPECT_EQ(set_text(kHome2G, "SSID", std::string(32, 'a')), Error());
  EXPECT_EQ(text(ssid(kHome2G), kWlan, "SSID"), std::string(32, 'a'));
  // 16 two-byte characters fit; 11 three-byte characters (33 bytes) do not and are not cut.
  std::string accents;
  for (int i = 0; i < 16; ++i) accents += "\xc3\xa9";
  EXPECT_EQ(set_text(kHome2G, "SSID", accents), Error());
  EXPECT_EQ(text(ssid(kHome2G), kWlan, "SSID"), accents);
  std::string euros;
  for (int i = 0; i < 11; ++i) euros += "\xe2\x82\xac";
  EXPECT_EQ(set_text(kHome2G, "SSID", euros), InvalidArgs(path_refused(kHome2G)));
  EXPECT_EQ(text(ssid(kHome2G), kWlan, "SSID"), accents);
  // Texts the store keeps a copy of are cut before a character, not inside it.
  EXPECT_EQ(set_text(kHome2G, "Bind", std::string(31, 'b') + "\xc3\xa9"), Error());
  EXPECT_EQ(text(ssid(kHome2G), kWlan, "Bind"), std::string(31, 'b'));
  // The store itself takes no text that is not UTF-8.
  ASSERT_EQ(wlanconfiguration_set_property_backup(0), 1);
  EXPECT_EQ(wlanconfiguration_set_property(WLAN_ITEM_SSID, "bad\xff", 0, nullptr), 0);
  ASSERT_EQ(wlanconfiguration_set_property_failed_update(0), 1);
}

TEST_F(WlanTest, CodedValuesStoreTheirCodeAndAnEmptyBeaconTypeNothing) {
  const uint64_t commits_before = commits("wlan");
  EXPECT_EQ(set_text(kHome2G, "BeaconType", ""), Error());
  EXPECT_EQ(cell("wlan", kHome2G, "BeaconType"), "11i");
  EXPECT_EQ(set_text(kHome2G, "BeaconType", "WPA4"), InvalidArgs(path_refused(kHome2G)));
  EXPECT_EQ(set_text(kHome2G, "WEPEncryptionLevel", "56-bit"),
            InvalidArgs("Invalid parameter value path " + ssid(kHome2G)));
  // Standards belong to their radio.
  EXPECT_EQ(set_text(kHome2G, "Standard", "a/n/ac"), InvalidArgs(path_refused(kHome2G)));
  EXPECT_EQ(set_text(kHome2G, "Standard", "b/g/n"), Error());
  EXPECT_EQ(text(ssid(kHome2G), kWlan, "Standard"), "b/g/n");

  EXPECT_EQ(set(kHome2G, "EncryptionMode", g_variant_new_byte(3)), Error());
  EXPECT_EQ(cell("wlan", kHome2G, "BeaconType"), "WPA");
  EXPECT_EQ(text(ssid(kHome2G), kWlan, "BeaconType"), "WPA");
  EXPECT_EQ(shown(ssid(kHome2G), kWlan, "EncryptionMode"), "byte 0x03");
  EXPECT_EQ(set(kHome2G, "EncryptionMode", g_variant_new_byte(0)), InvalidArgs(path_refused(kHome2G)));
  EXPECT_EQ(set(kHome2G, "EncryptionMode", g_variant_new_byte(8)), InvalidArgs(path_refused(kHome2G)));
  EXPECT_EQ(cell("wlan", kHome2G, "BeaconType"), "WPA");

  // Radio types are compared on six characters; FrequencyWidth by whole names.
  EXPECT_EQ(set_text(kHome2G, "RadioType", "2.4GHz and more"), Error());
  EXPECT_EQ(set_text(kHome2G, "RadioType", "2.4GH"), InvalidArgs(path_refused(kHome2G)));
  EXPECT_EQ(set_text(kHome2G, "RadioType", "5.0GHz"), InvalidArgs(path_refused(kHome2G)));
  EXPECT_EQ(set_text(kHome5G, "FrequencyWidth", "160M"), Error());
  EXPECT_EQ(cell("wlan", kHome5G, "ChannelWidth"), "6");
  EXPECT_EQ(set_text(kHome5G, "FrequencyWidth", "160"), InvalidArgs(path_refused(kHome5G)));
  EXPECT_EQ(set_text(kHome2G, "FrequencyWidth", "80M"), InvalidArgs(path_refused(kHome2G)));
  EXPECT_GT(commits("wlan"), commits_before);
}

TEST_F(WlanTest, KeysSuitTheSecurityThePasswordIsAppliedLast) {
  // A 5-character WEP key needs the Basic security written with it: PWD
  // first in the request, yet applied after BeaconType.
  ASSERT_EQ(set_multi(ssid(kHome2G), kWlan,
                      dictionary({{"PWD", g_variant_new_string("k3y!5")},
                                  {"BeaconType", g_variant_new_string("Basic")},
                                  {"WEPEncryptionLevel", g_variant_new_string("40-bit")}})),
            Error());
  EXPECT_EQ(cell("wlan", kHome2G, "PWD"), "k3y!5");
  EXPECT_EQ(cell("wlan", kHome2G, "BeaconType"), "Basic");
  EXPECT_EQ(set_text(kHome2G, "PWD", "0123456789abcdef0123456789"), InvalidArgs(path_refused(kHome2G)));
  EXPECT_EQ(set_text(kHome2G, "WEPEncryptionLevel", "104-bit"),
            failed("Config wireless fail (a 104-bit WEP key is 13 characters or 26 hex digits)"));
  EXPECT_EQ(cell("wlan", kHome2G, "WEPEncryptionLevel"), "40-bit");
  // WPA passphrases are 8 to 63 characters; a longer text is cut to 63.
  ASSERT_EQ(set_text(kHome2G, "BeaconType", "None"), Error());
  EXPECT_EQ(set_multi(ssid(kHome2G), kWlan, dictionary({{"BeaconType", g_variant_new_string("11i")},
                                                        {"PWD", g_variant_new_string("short")}})),
            InvalidArgs(path_refused(kHome2G)));
  EXPECT_EQ(cell("wlan", kHome2G, "BeaconType"), "None");
  ASSERT_EQ(set_text(kHome2G, "BeaconType", "None"), Error());
  EXPECT_EQ(set_multi(ssid(kHome2G), kWlan,
                      dictionary({{"PWD", g_variant_new_string(std::string(70, 'p').c_str())},
                                  {"BeaconType", g_variant_new_string("11i")}})),
            Error());
  EXPECT_EQ(cell("wlan", kHome2G, "PWD"), std::string(63, 'p'));
}

TEST_F(WlanTest, AFailingEntryRestoresTheEntriesBeforeIt) {
  const uint64_t commits_before = commits("wlan");
  SignalWatcher changes(client(), kProps, "PropertiesChanged", ssid(kHome5G).c_str());
  EXPECT_EQ(set_multi(ssid(kHome5G), kWlan,
                      dictionary({{"SSID", g_variant_new_string("first")},
                                  {"Owner", g_variant_new_string("second")},
                                  {"Channel", g_variant_new_uint32(37)},
                                  {"Service", g_variant_new_string("fourth")}})),
            InvalidArgs("Invalid parameter value"));
  EXPECT_EQ(text(ssid(kHome5G), kWlan, "SSID"), "igd1-5G");
  EXPECT_EQ(text(ssid(kHome5G), kWlan, "Owner"), "");
  EXPECT_EQ(commits("wlan"), commits_before);
  EXPECT_EQ(changes.next(300ms), "<null>");
  // The restored record does not leak into the next write.
  ASSERT_EQ(set_text(kHome5G, "Service", "iptv"), Error());
  EXPECT_EQ(text(ssid(kHome5G), kWlan, "SSID"), "igd1-5G");
  EXPECT_EQ(text(ssid(kHome5G), kWlan, "Service"), "iptv");
  // Names not written by the table succeed without effect.
  EXPECT_EQ(set_multi(ssid(kHome5G), kWlan, dictionary({{"BSSID", g_variant_new_string("x")},
                                                        {"NoSuchName", g_variant_new_uint32(1)}})),
            Error());
}

TEST_F(WlanTest, ChannelsFollowTheRadioAndItsWidthAndTheRadioRefusesWhatItCannotRun) {
  EXPECT_EQ(set(kHome5G, "Channel", g_variant_new_uint32(165)), InvalidArgs("Invalid parameter value"));
  EXPECT_EQ(set(kHome2G, "Channel", g_variant_new_uint32(36)), InvalidArgs("Invalid parameter value"));
  ASSERT_EQ(set_multi(ssid(kHome5G), kWlan,
                      dictionary({{"AutoChannelEnable", g_variant_new_boolean(false)},
                                  {"FrequencyWidth", g_variant_new_string("20M")},
                                  {"Channel", g_variant_new_uint32(165)}})),
            Error());
  // The radio has one channel: its other SSIDs carry it too.
  EXPECT_EQ(cell("wlan", kBackhaul, "Channel"), "165");
  EXPECT_EQ(text(ssid(kHome5G), kWlan, "ChannelsInUse"), "165");
  EXPECT_TRUE(radios_hold("[band 2]\nenabled=true\nauto_channel=false\nchannel=165\n"));
  // 80 MHz passes the width's own check; the radio cannot run it on 165.
  EXPECT_EQ(set_text(kHome5G, "FrequencyWidth", "80M"),
            failed("Config wireless fail (channel 165 cannot carry channel width 3 on band 2)"));
  EXPECT_EQ(text(ssid(kHome5G), kWlan, "FrequencyWidth"), "20M");
  EXPECT_THAT(radios(), HasSubstr("channel=165"));

  // Service type 1 reads the channel in use while the channel is chosen automatically.
  ASSERT_EQ(set(kHome2G, "AutoChannelEnable", g_variant_new_boolean(true)), Error());
  ASSERT_EQ(set(kHome2G, "Channel", g_variant_new_uint32(11)), Error());
  set_service_type(1);
  EXPECT_EQ(shown(ssid(kHome2G), kWlan, "Channel"), "uint32 6");
  set_service_type(0);
  EXPECT_EQ(shown(ssid(kHome2G), kWlan, "Channel"), "uint32 11");
  ASSERT_EQ(set(kHome2G, "AutoChannelEnable", g_variant_new_boolean(false)), Error());
  set_service_type(1);
  EXPECT_EQ(shown(ssid(kHome2G), kWlan, "Channel"), "uint32 11");
}

TEST_F(WlanTest, GuestValuesExistOnTheGuestNetworkOnly) {
  const std::string all = get_all(ssid(kHome2G), kWlan);
  EXPECT_THAT(all, HasSubstr("'SSID': <'igd1-2G'>"));
  EXPECT_THAT(all, Not(HasSubstr("Duration")));
  EXPECT_THAT(all, Not(HasSubstr("PortIsolation")));
  EXPECT_THAT(get_all(ssid(kGuest), kWlan), HasSubstr("'RemainDuration': <uint64 "));
  EXPECT_EQ(shown(ssid(kHome2G), kWlan, "Duration"),
            "error: get Duration failed, only guest ssid support it!");
  EXPECT_EQ(set(kHome2G, "Duration", g_variant_new_uint64(30)),
            failed("Duration only can be configured by guest wlan."));
  EXPECT_EQ(set_multi(ssid(kHome2G), kWlan, dictionary({{"Duration", g_variant_new_uint64(30)},
                                                        {"Owner", g_variant_new_string("me")}})),
            Error());
  EXPECT_EQ(text(ssid(kHome2G), kWlan, "Owner"), "me");

  ASSERT_EQ(set(kGuest, "Duration", g_variant_new_uint64(30)), Error());
  EXPECT_EQ(shown(ssid(kGuest), kWlan, "Duration"), "uint64 30");
  Variant remain = get_property(ssid(kGuest).c_str(), kWlan, "RemainDuration");
  ASSERT_NE(remain, nullptr);
  EXPECT_GT(g_variant_get_uint64(remain.get()), 1700u);
  EXPECT_LE(g_variant_get_uint64(remain.get()), 1800u);
  EXPECT_EQ(set(kGuest, "Duration", g_variant_new_uint64(uint64_t(1) << 31)),
            InvalidArgs("set Duration failed!"));
  ASSERT_EQ(set(kGuest, "PortIsolation", g_variant_new_boolean(true)), Error());
  EXPECT_EQ(cell("wlan", kGuest, "AccessRule"), "1");
}

TEST_F(WlanTest, ServiceType1AnnouncesOnlyIsGuestAndKeepsTheTable) {
  set_service_type(1);
  SignalWatcher changes(client(), kProps, "PropertiesChanged", ssid(kHome2G).c_str());
  ASSERT_EQ(set_multi(ssid(kHome2G), kWlan, dictionary({{"SSID", g_variant_new_string("quiet")},
                                                        {"IsGuest", g_variant_new_boolean(true)},
                                                        {"PWD", g_variant_new_string("new secret")}})),
            Error());
  EXPECT_EQ(changes.next(), change_body(kWlan, "{'IsGuest': <true>}"));
  ASSERT_EQ(set_text(kHome2G, "SSID", "quieter"), Error());
  EXPECT_EQ(changes.next(300ms), "<null>");
  EXPECT_EQ(add(kDevices).second, Error(kManagerError, "Not allowed to add/delete wlan object."));
  EXPECT_EQ(remove(kDevices, ssid(5)), Error(kManagerError, "Not allowed to add/delete wlan object."));
  EXPECT_TRUE(published(ssid(5)));
}

TEST_F(WlanTest, AddObjectAndDeleteObjectChangeRecordsWhoseChildrenFollow) {
  auto [path, error] = add(kDevices);
  ASSERT_EQ(error, Error());
  EXPECT_EQ(path, ssid(9));
  ASSERT_TRUE(published(ssid(9)));
  EXPECT_EQ(shown(wps(9), kWps, "Enable"), "false");
  EXPECT_EQ(text(ssid(9), kWlan, "BeaconType"), "None");
  EXPECT_EQ(remove(kDevices, ssid(9) + "/WPS"), Error(kManagerError, "DeleteObject object path error"));
  EXPECT_EQ(remove(kDevices, std::string(kDevices) + "/0"), Error(kManagerError, "DeleteObject object path error"));
  EXPECT_EQ(remove(kDevices, "/com/wqx/igd1/Config/WLAN/Devicesx/9"),
            Error(kManagerError, "DeleteObject object path error"));
  EXPECT_EQ(remove(kDevices, ssid(12)), Error(kManagerError, "Delete WLANConfiguration object fail !!"));
  ASSERT_EQ(remove(kDevices, ssid(9)), Error());
  ASSERT_TRUE(published(ssid(9), false));
  EXPECT_THAT(shown(wps(9), kWps, "Enable"), StartsWith("error: "));
  EXPECT_THAT(shown(ssid(9), kWlan, "SSID"), StartsWith("error: "));
  // An SSID taken off the air takes its stations with it; the SSIDs after
  // it keep their own records.
  ASSERT_EQ(remove(kDevices, ssid(kHome2G)), Error());
  EXPECT_TRUE(radios_hold("[ssid 1]", false));
  EXPECT_THAT(radios(), Not(HasSubstr("ssid=1\n")));
  EXPECT_EQ(text(ssid(kGuest), kWlan, "SSID"), "igd1-guest");
  EXPECT_EQ(shown(ssid(kGuest), kWlan, "Duration"), "uint64 240");
  ASSERT_EQ(set_text(kHome5G, "SSID", "after the gap"), Error());
  EXPECT_EQ(cell("wlan", kHome5G, "SSID"), "after the gap");
  EXPECT_EQ(cell("wlan", kBackhaul, "SSID"), "igd1-backhaul");
  EXPECT_TRUE(radios_hold("[ssid 3]\nband=2\nname=after the gap\n"));
}

// A committed record reaches the radio through its control program, which
// the main loop never waits for; a program that fails leaves the radio
// running what it ran (the store keeps the record and the journal says so),
// and the next change puts the stored record into effect again.
TEST_F(WlanTest, CommittedSettingsReachTheRadioThroughItsControlProgram) {
  // The control program is held: the write and the next call are answered
  // meanwhile, and the radio runs the new record only once it has ended.
  radioctl("hold", "");
  ASSERT_EQ(set_text(kHome5G, "SSID", "slow radio"), Error());
  EXPECT_EQ(text(ssid(kHome2G), kWlan, "SSID"), "igd1-2G");
  EXPECT_THAT(radios(), HasSubstr("[ssid 3]\nband=2\nname=igd1-5G\n"));
  release_radioctl();
  EXPECT_TRUE(radios_hold("[ssid 3]\nband=2\nname=slow radio\n"));
  EXPECT_THAT(standin_log(), HasSubstr("radioctl ssid 3\n"));

  radioctl("status", "1");
  const int64_t before = journal_end();
  ASSERT_EQ(set_text(kHome5G, "SSID", "not on the air"), Error());
  EXPECT_EQ(cell("wlan", kHome5G, "SSID"), "not on the air");
  std::string journalled;
  eventually([&] {
    journalled.clear();
    for (const mib::JournalEntry &entry : mib::journal(before)) journalled += entry.data + "\n";
    return journalled.find("control program failed") != std::string::npos;
  });
  EXPECT_THAT(journalled, HasSubstr("ssid 3: the radio's control program failed; the radio keeps what it ran"));
  EXPECT_THAT(radios(), HasSubstr("name=slow radio\n"));
  radioctl("status", "0");
  ASSERT_EQ(set(kHome5G, "Enable", g_variant_new_boolean(true)), Error());
  EXPECT_TRUE(radios_hold("[ssid 3]\nband=2\nname=not on the air\n"));
}

TEST_F(WlanTest, InjectedStoreFailuresAnswerTheirErrors) {
  mib::fail_accessor("wlanconfiguration_get_property", WLAN_ITEM_SSID);
  EXPECT_EQ(shown(ssid(kHome2G), kWlan, "SSID"), "error: get SSID failed!");
  EXPECT_THAT(get_all(ssid(kHome2G), kWlan), Not(HasSubstr("'SSID'")));
  mib::clear_failures();
  mib::fail_accessor("wlanconfiguration_check_valid_property_value");
  EXPECT_EQ(set_text(kHome2G, "Owner", "me"), InvalidArgs(path_refused(kHome2G)));
  mib::clear_failures();
  mib::fail_accessor("wlanconfiguration_set_properties_update");
  EXPECT_EQ(set_text(kHome2G, "Owner", "me"), failed("Config wireless fail (the store refused the SSID)"));
  mib::clear_failures();
  EXPECT_EQ(text(ssid(kHome2G), kWlan, "Owner"), "");
  ASSERT_EQ(set_text(kHome2G, "Owner", "me"), Error());
  EXPECT_EQ(text(ssid(kHome2G), kWlan, "Owner"), "me");
}

TEST_F(WlanTest, SsidsOfAnotherProcessFollowItsNotices) {
  ASSERT_TRUE(wait_for_notify_socket());
  ProgramRun added = mib_tool({"add", "wlan"});
  ASSERT_EQ(added.status, 0) << added.output();
  EXPECT_EQ(added.out, "9\n");
  ASSERT_EQ(mib_tool({"set", "wlan[9].SSID", "from outside"}).status, 0);
  EXPECT_EQ(exchange("row-inserted wlan 9"), "OK");
  ASSERT_TRUE(published(ssid(9)));
  EXPECT_EQ(text(ssid(9), kWlan, "SSID"), "from outside");
  EXPECT_EQ(shown(wps(9), kWps, "WPSStatus"), "byte 0x00");
  // WPS values are cells like any other.
  ASSERT_EQ(mib_tool({"set", "wps[9].DevInfo", "Name:tv;MAC:0a:1b:2c:3d:4e:5f"}).status, 0);
  EXPECT_EQ(shown(wps(9), kWps, "DevInfo"), "['Name:tv;MAC:0A1B2C3D4E5F;']");
  ASSERT_EQ(mib_tool({"remove", "wlan", "9"}).status, 0);
  EXPECT_EQ(exchange("row-removed wlan 9"), "OK");
  // The WPS row goes with the notice, before the SSID's object.
  EXPECT_EQ(cell("wps", 9, "Enable"), "<missing>");
  ASSERT_TRUE(published(ssid(9), false));
  EXPECT_THAT(shown(wps(9), kWps, "WPSStatus"), StartsWith("error: "));
}

// An SSID another process removes while stations are associated with it:
// the radio takes it off the air with its stations, whose objects go, and
// no signal of them is taken or announced afterwards.
TEST_F(WlanTest, AnSsidAnotherProcessRemovesTakesItsStationsObjectsWithIt) {
  constexpr char kStations[] = "/com/wqx/igd1/Config/WLAN/STA";
  ASSERT_TRUE(wait_for_notify_socket());
  ASSERT_THAT(introspect(kStations), HasSubstr("<node name=\"2\"/>"));
  SignalWatcher alarms(client(), "com.wqx.igd1.STAInfo", "STARSSILowAlarm");
  ProgramRun removed = mib_tool({"remove", "wlan", "1"});
  ASSERT_EQ(removed.status, 0) << removed.output();
  EXPECT_EQ(exchange("row-removed wlan 1"), "OK");
  ASSERT_TRUE(published(ssid(kHome2G), false));
  std::string listing;
  eventually([&] {
    listing = introspect(kStations);
    return listing.find("<node name=\"1\"/>") == std::string::npos &&
           listing.find("<node name=\"2\"/>") == std::string::npos;
  });
  EXPECT_THAT(listing, Not(HasSubstr("<node name=\"1\"/>")));
  EXPECT_THAT(listing, Not(HasSubstr("<node name=\"2\"/>")));
  EXPECT_THAT(listing, HasSubstr("<node name=\"3\"/>"));
  EXPECT_TRUE(radios_hold("[ssid 1]", false));
  EXPECT_EQ(refused_event("radio station-signal 3c:22:fb:10:00:01 -90"), "no station 3C:22:FB:10:00:01");
  EXPECT_EQ(alarms.next(300ms), "<null>");
}

TEST_F(WlanTest, EveryPublishedSsidIsAnnouncedAgainWithoutABusCall) {
  SignalWatcher changes(client(), kProps, "PropertiesChanged");
  loop_->run([] { WLANConfiguration_emit_all_signal(); });
  std::vector<std::string> bodies;
  for (int i = 0; i < 8; ++i) bodies.push_back(changes.next());
  EXPECT_THAT(bodies, Contains(change_body(kWlan, "{'SSID': <'igd1-2G'>, 'PWD': <'wqx-2g-secret'>}")));
  EXPECT_THAT(bodies, Contains(change_body(kWlan, "{'SSID': <'igd1-5G-4'>, 'PWD': <'wqx-5g-4-secret'>}")));
  EXPECT_EQ(changes.next(300ms), "<null>");
}

// ---- WPS ----

// The library started again in the same process, on a new connection,
// publishes the WPS objects again with their SSIDs.
TEST_F(WlanTest, WpsObjectsComeBackWhenTheLibraryIsStartedAgain) {
  ASSERT_EQ(shown(wps(kHome2G), kWps, "WPSStatus"), "byte 0x00");
  ASSERT_NO_FATAL_FAILURE(restart_host());
  ASSERT_TRUE(published(ssid(kHome2G)));
  EXPECT_EQ(shown(wps(kHome2G), kWps, "WPSStatus"), "byte 0x00");
}

TEST_F(WlanTest, WpsDevInfoRewritesAddressesWithinItsBuffer) {
  EXPECT_EQ(shown(wps(kHome2G), kWps, "DevInfo"), "['']");
  ASSERT_TRUE(mib::set_cell("wps", kHome2G, "DevInfo", "Name:phone;MAC:aa:bb:cc:0d:ee:0f;Model:x1"));
  EXPECT_EQ(shown(wps(kHome2G), kWps, "DevInfo"), "['Name:phone;MAC:AABBCC0DEE0F;Model:x1;']");
  // The first record keeps its form, short "MAC:" records theirs.
  ASSERT_TRUE(mib::set_cell("wps", kHome2G, "DevInfo", "MAC:aa:bb:cc:dd:ee:ff;MAC:1:2"));
  EXPECT_EQ(shown(wps(kHome2G), kWps, "DevInfo"), "['MAC:aa:bb:cc:dd:ee:ff;MAC:1:2;']");
  // A record that would end past the 128 bytes (its ';' included) is left
  // out whole: 127 stored bytes whose last record gains a ';'.
  const std::string name = "Name:" + std::string(113, 'n');
  ASSERT_TRUE(mib::set_cell("wps", kHome2G, "DevInfo", name + ";Model:zz"));
  EXPECT_EQ(shown(wps(kHome2G), kWps, "DevInfo"), "['" + name + ";']");
  ASSERT_TRUE(mib::set_cell("wps", kHome2G, "DevInfo", name.substr(0, 105) + ";MAC:aa:bb:cc:dd:ee:04"));
  EXPECT_EQ(shown(wps(kHome2G), kWps, "DevInfo"), "['" + name.substr(0, 105) + ";MAC:AABBCCDDEE04;']");
  mib::fail_accessor("wps_get_property", WPS_ITEM_ENABLE);
  EXPECT_EQ(shown(wps(kHome2G), kWps, "Enable"), "error: get Enable failed!");
  mib::clear_failures();
}

TEST_F(WlanTest, WpsEnrolmentRunsForItsTimeThenFillsDevInfo) {
  Error refused_call = failure_of(wps(kHome2G), kWps, "SetWPS", g_variant_new("(iu)", 0, 0u));
  EXPECT_EQ(refused_call, Error(kWps, "Invalid parameter value"));
  // Enable is the only value written; a multi-write skips the others.
  EXPECT_EQ(set_multi(wps(kHome2G), kWps, dictionary({{"NoSuchName", g_variant_new_uint32(1)},
                                                      {"Enable", g_variant_new_boolean(true)}})),
            Error());
  EXPECT_EQ(cell("wps", kHome2G, "Enable"), "1");
  EXPECT_EQ(write(wps(kHome2G), kWps, "Enable", g_variant_new_boolean(true)), Error());
  mib::fail_accessor("wps_setWPS");
  EXPECT_EQ(failure_of(wps(kHome2G), kWps, "SetWPS", g_variant_new("(iu)", 0, 0u)),
            Error(kWps, "Invalid parameter value"));
  mib::clear_failures();
  EXPECT_EQ(answer(wps(kHome2G), kWps, "SetWPS", g_variant_new("(iu)", 1, 12345670u)),
            "(uint32 0, 'success')");
  EXPECT_EQ(shown(wps(kHome2G), kWps, "WPSStatus"), "byte 0x01");
  EXPECT_EQ(failure_of(wps(kHome2G), kWps, "SetWPS", g_variant_new("(iu)", 0, 0u)),
            Error(kWps, "Invalid parameter value"));
  // Other calls are served meanwhile.
  EXPECT_EQ(text(ssid(kHome2G), kWlan, "SSID"), "igd1-2G");
  // The radio ends the enrolment by itself: the stored status changes with
  // nobody reading it.
  EXPECT_TRUE(eventually([&] { return cell("wps", kHome2G, "WPSStatus") == "2"; }));
  EXPECT_EQ(shown(wps(kHome2G), kWps, "DevInfo"), "['Name:WPS-enrollee;MAC:3C22FB016146;']");

  // WPS switched off stops a running enrolment: no device gets in.
  ASSERT_EQ(answer(wps(kHome2G), kWps, "SetWPS", g_variant_new("(iu)", 0, 0u)), "(uint32 0, 'success')");
  ASSERT_EQ(write(wps(kHome2G), kWps, "Enable", g_variant_new_boolean(false)), Error());
  EXPECT_EQ(shown(wps(kHome2G), kWps, "WPSStatus"), "byte 0x03");
  std::this_thread::sleep_for(2500ms);  // longer than an enrolment runs
  EXPECT_EQ(shown(wps(kHome2G), kWps, "WPSStatus"), "byte 0x03");
  EXPECT_EQ(shown(wps(kHome2G), kWps, "DevInfo"), "['Name:WPS-enrollee;MAC:3C22FB016146;']");
}

}  // namespace
}  // namespace igd1::test
