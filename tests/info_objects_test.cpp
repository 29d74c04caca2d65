// The device, network and PON information objects over the bus.

#include "mib_api.h"
#include "object_client.h"

namespace igd1::test {
namespace {

// An information object on a host of a given service type.
template <const ObjectUnderTest &kObject, int kServiceType = 0>
class InfoObjectTest : public OneObjectTest<kObject> {
 protected:
  void configure(host::Options &options) override { options.service_type = kServiceType; }

  Error read_failure(const char *name) {
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(this->get_property(path_, interface_, name, &error)) << name;
    return remote_error(error);
  }

  static constexpr const char *path_ = kObject.path, *interface_ = kObject.interface;
};

const Error kAccepted;
constexpr ObjectUnderTest kDevice{"/com/wqx/igd1/Info/Device", "com.wqx.igd1.DeviceInfo"};
constexpr ObjectUnderTest kNetwork{"/com/wqx/igd1/Info/Network", "com.wqx.igd1.NetworkInfo"};
constexpr ObjectUnderTest kPon{"/com/wqx/igd1/Info/PON", "com.wqx.igd1.PONInfo"};

// ---- device information ---------------------------------------------------------

using DeviceInfoTest = InfoObjectTest<kDevice>;

TEST_F(DeviceInfoTest, ReadsFallBackOrFailAsEachPropertySays) {
  mib::fail_accessor("deviceinfo_get_property", 9);
  mib::fail_accessor("deviceinfo_get_property", 2);
  EXPECT_EQ(read("DBusInterfaceVersion"), "'1.2'");
  EXPECT_THAT(syslog(),
              HasSubstr("[DBUS][Warn]: Get DEVICE_INFO_DBUSINTERFACEVERSION failed!\r\n"));
  EXPECT_EQ(read_failure("MAC"), InvalidArgs("Get DEVICE_INFO_MAC failed!"));
  // Untouched rows still read from the store; a name that is not UTF-8 reads empty.
  EXPECT_EQ(read("Manufacturer"), "'Wqx Networks'");
  ASSERT_TRUE(mib::set_setting("deviceinfo.DevName", "caf\xe9"));
  EXPECT_EQ(read("DevName"), "''");
  // The second device type is also published in a file at start-up.
  EXPECT_EQ(read_text_file(root().path(path::kDevType2Value)), "Lumora_2.0");
}

TEST_F(DeviceInfoTest, DeviceNameTakesAtMost127CharactersAndIsAnnounced) {
  SignalWatcher watcher(client(), kProps, "PropertiesChanged", path_);
  int64_t before = journal_end();
  EXPECT_EQ(write("DevName", g_variant_new_string(std::string(128, 'n').c_str())),
            InvalidArgs("Invalid parameter value"));
  EXPECT_THAT(notices_since(before), IsEmpty());

  const std::string longest(127, 'n');
  ASSERT_EQ(write("DevName", g_variant_new_string(longest.c_str())), kAccepted);
  EXPECT_EQ(read("DevName"), "'" + longest + "'");
  EXPECT_EQ(printed(watcher.wait().body.get()),
            "('com.wqx.igd1.DeviceInfo', {'DevName': <'" + longest + "'>}, @as [])");
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(mib::kDeviceInfoNoticeBit, 255)));
}

TEST_F(DeviceInfoTest, MultiWriteStopsAtTheFirstRefusal) {
  SignalWatcher watcher(client(), kProps, "PropertiesChanged", path_);
  int64_t before = journal_end();
  EXPECT_EQ(set_multi(dictionary({{"DevName", g_variant_new_string("kitchen")},
                                  {"SerialNumber", g_variant_new_string("x")},
                                  {"DevName", g_variant_new_string("hall")}})),
            InvalidArgs("invalid property SerialNumber"));
  EXPECT_EQ(read("DevName"), "'kitchen'");
  EXPECT_FALSE(watcher.wait(200ms).body);
  EXPECT_THAT(notices_since(before), IsEmpty());

  // An empty request still commits and announces (an empty change).
  ASSERT_EQ(set_multi(dictionary({})), kAccepted);
  EXPECT_EQ(printed(watcher.wait().body.get()), "('com.wqx.igd1.DeviceInfo', @a{sv} {}, @as [])");
}

using DeviceInfoServiceType1Test = InfoObjectTest<kDevice, 1>;

TEST_F(DeviceInfoServiceType1Test, DeviceTypeIsAByte) {
  ASSERT_TRUE(mib::set_setting("deviceinfo.DevTypeCode", "3"));
  EXPECT_EQ(read("DevType"), "byte 0x03");
  EXPECT_THAT(introspect(path_), HasSubstr("<property type=\"y\" name=\"DevType\""));
}

using DeviceInfoServiceType2Test = InfoObjectTest<kDevice, 2>;

TEST_F(DeviceInfoServiceType2Test, WritesCommitWithoutASignal) {
  SignalWatcher watcher(client(), kProps, "PropertiesChanged", path_);
  int64_t before = journal_end();
  ASSERT_EQ(write("DevName", g_variant_new_string("attic")), kAccepted);
  EXPECT_FALSE(watcher.wait(300ms).body);
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(mib::kDeviceInfoNoticeBit, 255)));
}

// ---- network information --------------------------------------------------------

using NetworkInfoTest = InfoObjectTest<kNetwork>;

TEST_F(NetworkInfoTest, ConstantsRulesAndRecordFields) {
  const char *settings[][2] = {{"network.UPLinkType", "3"}, {"network.LAN3Status", "1"},
                               {"network.LAN3RxBytes", "123456789012"}, {"network.WANTxBytes", "1000"},
                               {"network.WANRxBytes", "24"}};
  for (const auto &[name, value] : settings) ASSERT_TRUE(mib::set_setting(name, value));
  // The configuration library refreshes the live record every second and
  // whenever the object starts; start-up is the prompt way.
  networkinfo_interface_init();
  const char *reads[][2] = {{"UPLinkType", "uint32 1"},  {"IPv6", "byte 0x02"},
                            {"VLANbind", "byte 0x01"},   {"LANIPAddr", "'192.168.1.1'"},
                            {"UPLink", "uint32 1"},      {"LAN3Status", "byte 0x01"},
                            {"LAN3RXByte", "uint64 123456789012"}, {"WANBytes", "uint64 1024"}};
  for (const auto &[name, value] : reads) EXPECT_EQ(read(name), value) << name;
  ASSERT_TRUE(mib::set_setting("network.UPLinkType", "2"));  // types 1 and 2 read 0
  EXPECT_EQ(read("UPLinkType"), "uint32 0");
}

TEST_F(NetworkInfoTest, FailedReadsAnswerAsEachRowSays) {
  for (int index : {25, 0, 3, 24}) mib::fail_accessor("networkinfo_get_property", index);
  EXPECT_EQ(read_failure("WANIPAddr"), InvalidArgs("invalid property WANIPAddr"));
  EXPECT_EQ(read_failure("UPLink"), InvalidArgs("get UPLink failed!"));
  EXPECT_EQ(read("WiFiMode"), "'802.11b/802.11g/802.11n/802.11ac'");
  EXPECT_EQ(read("LANIPAddr"), "''");
}

TEST_F(NetworkInfoTest, ElinkSyncIsStoredAsOneAndAnnouncedOnlyWhenItChanges) {
  SignalWatcher watcher(client(), kProps, "PropertiesChanged", path_);
  int64_t before = journal_end();
  ASSERT_EQ(write("ElinkSync", g_variant_new_boolean(TRUE)), kAccepted);
  EXPECT_EQ(mib::get_setting("network.ElinkSync"), "1");
  EXPECT_EQ(watcher.next(), change_body("com.wqx.igd1.NetworkInfo", "{'ElinkSync': <true>}"));
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(mib::kNetworkInfoNoticeBit, 255)));

  // The same value again: nothing stored, nothing to commit or announce.
  before = journal_end();
  ASSERT_EQ(write("ElinkSync", g_variant_new_boolean(TRUE)), kAccepted);
  EXPECT_FALSE(watcher.wait(200ms).body);
  EXPECT_THAT(notices_since(before), IsEmpty());
}

TEST_F(NetworkInfoTest, RefusedStoreCommitAndNamesFailTheRequest) {
  mib::fail_accessor("networkinfo_set_property", 35);
  EXPECT_EQ(write("ElinkSync", g_variant_new_boolean(TRUE)), InvalidArgs("set ElinkSync failed!"));
  EXPECT_EQ(mib::get_setting("network.ElinkSync"), "0");
  mib::clear_failures();
  mib::fail_accessor("networkinfo_set_property_update");
  EXPECT_EQ(write("ElinkSync", g_variant_new_boolean(TRUE)),
            InvalidArgs("Config networkinfo error, commit refused"));
  EXPECT_EQ(set_multi(dictionary({{"WANIPAddr", g_variant_new_string("1.2.3.4")}})),
            InvalidArgs("invalid property WANIPAddr"));
}

using NetworkInfoServiceType1Test = InfoObjectTest<kNetwork, 1>;

TEST_F(NetworkInfoServiceType1Test, UplinkAndWanLinkAreBytes) {
  EXPECT_EQ(read("UPLink"), "byte 0x01");
  ASSERT_TRUE(mib::set_setting("network.WANLinkStatus", "1"));
  EXPECT_EQ(read("WANLinkStatus"), "byte 0x01");
  ASSERT_TRUE(mib::set_setting("network.WANLinkStatus", "Up"));
  EXPECT_EQ(read("WANLinkStatus"), "byte 0x00");
}

// ---- PON information ------------------------------------------------------------

class PonInfoTest : public InfoObjectTest<kPon> {
 protected:
  // Hours of traffic history the method answers, or -1 with its error checked.
  int history_hours(guint32 hours) {
    g_autoptr(GError) error = nullptr;
    Variant reply = call(path_, interface_, "GetPONHistoryTraffic", g_variant_new("(u)", hours), &error);
    if (!reply) {
      EXPECT_EQ(remote_error(error), Error(kPon.interface, "Invalid parameter value"));
      return -1;
    }
    g_autoptr(GVariant) samples = g_variant_get_child_value(reply.get(), 0);
    guint64 previous = 0, hour, sent, received;
    for (size_t i = 0; i < g_variant_n_children(samples); ++i) {  // hour starts, oldest first
      g_variant_get_child(samples, i, "(ttt)", &hour, &sent, &received);
      EXPECT_GT(hour, previous);
      EXPECT_EQ(hour % 3600, 0u);
      previous = hour;
    }
    return int(g_variant_n_children(samples));
  }
};

TEST_F(PonInfoTest, OpticsReadingsCountersAndFailures) {
  Variant power = get_property(path_, interface_, "RXPower");
  ASSERT_TRUE(power);
  EXPECT_EQ(g_variant_get_double(power.get()), -18.6);
  ASSERT_TRUE(mib::set_setting("pon.BytesReceived", "18446744073709551615"));
  EXPECT_EQ(read("BytesReceived"), "uint64 18446744073709551615");
  mib::fail_accessor("poninfo_get_mib_property", 8);
  EXPECT_EQ(read_failure("RXPower"), InvalidArgs("mib get failed"));
}

TEST_F(PonInfoTest, TrafficHistoryTakesOneTo24StoredHours) {
  EXPECT_EQ(history_hours(3), 3);
  EXPECT_EQ(history_hours(24), 24);
  EXPECT_EQ(history_hours(0), -1);
  EXPECT_EQ(history_hours(25), -1);
  // The reply comes from the stored rows: a missing hour refuses a full day.
  const mib::TableDef *table = mib::find_table("ponhistory");
  ASSERT_NE(table, nullptr);
  ASSERT_TRUE(mib::table_remove(*table, 1));
  EXPECT_EQ(history_hours(24), -1);
  EXPECT_EQ(history_hours(23), 23);
  mib::fail_accessor("poninfo_handle_action");
  EXPECT_EQ(history_hours(2), -1);
}

}  // namespace
}  // namespace igd1::test
