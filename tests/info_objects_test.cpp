// The device, network and PON information objects over the bus.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "deviceinfo.h"
#include "harness/bus_fixture.h"
#include "mib_store.h"
#include "mib_api.h"
#include "networkinfo.h"
#include "sys_paths.h"

namespace igd1::test {
namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using testing::Pair;

constexpr char kProps[] = "com.wqx.igd1.Properties";
const std::pair<std::string, std::string> InvalidArgs(const std::string &message) {
  return {"org.freedesktop.DBus.Error.InvalidArgs", message};
}

// An information object on a host of a given service type.
class InfoObjectTest : public BusTest {
 protected:
  InfoObjectTest(const char *path, const char *interface) : path_(path), interface_(interface) {}
  void configure(host::Options &options) override { options.service_type = service_type_; }

  Variant get(const char *name, GError **error = nullptr) {
    return get_property(path_, interface_, name, error);
  }
  std::pair<std::string, std::string> get_failure(const char *name) {
    g_autoptr(GError) error = nullptr;
    Variant value = get(name, &error);
    EXPECT_FALSE(value) << name << " = " << printed(value.get());
    return remote_error(error);
  }
  bool set_multi(GVariant *properties, GError **error) {
    return bool(call(path_, kProps, "SetMulti", g_variant_new("(s@a{sv})", interface_, properties),
                     error));
  }

  const char *path_;
  const char *interface_;
  int service_type_ = 0;
};

// ---- device information ---------------------------------------------------------

class DeviceInfoTest : public InfoObjectTest {
 protected:
  DeviceInfoTest() : InfoObjectTest("/com/wqx/igd1/Info/Device", "com.wqx.igd1.DeviceInfo") {}
};

TEST_F(DeviceInfoTest, FailedReadsFallBackOrFailAsEachPropertySays) {
  mib::fail_accessor("deviceinfo_get_property", 9);
  mib::fail_accessor("deviceinfo_get_property", 2);
  EXPECT_EQ(printed(get("DBusInterfaceVersion").get()), "'1.2'");
  EXPECT_THAT(read_text_file(root().path(path::kSyslog)),
              HasSubstr("[DBUS][Warn]: Get DEVICE_INFO_DBUSINTERFACEVERSION failed!\r\n"));
  EXPECT_EQ(get_failure("MAC"), InvalidArgs("Get DEVICE_INFO_MAC failed!"));
  // Untouched rows still read from the store.
  EXPECT_EQ(printed(get("Manufacturer").get()), "'Wqx Networks'");
  EXPECT_EQ(printed(get("DevType2").get()), "'Lumora_2.0'");
}

TEST_F(DeviceInfoTest, DeviceNameTakesAtMost127CharactersAndIsAnnounced) {
  SignalWatcher watcher(client(), kProps, "PropertiesChanged", path_);
  int64_t before = journal_end();
  g_autoptr(GError) error = nullptr;
  EXPECT_FALSE(set_property(path_, interface_, "DevName",
                            g_variant_new_string(std::string(128, 'n').c_str()), &error));
  EXPECT_EQ(remote_error(error), InvalidArgs("Invalid parameter value"));
  EXPECT_TRUE(notices_since(before).empty());

  const std::string longest(127, 'n');
  ASSERT_TRUE(set_property(path_, interface_, "DevName", g_variant_new_string(longest.c_str())));
  EXPECT_EQ(printed(get("DevName").get()), "'" + longest + "'");
  auto signal = watcher.wait();
  EXPECT_EQ(printed(signal.body.get()),
            "('com.wqx.igd1.DeviceInfo', {'DevName': <'" + longest + "'>}, @as [])");
  // The write was applied.
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(mib::kDeviceInfoNoticeBit, 255)));
}

TEST_F(DeviceInfoTest, DeviceNameThatIsNotUtf8ReadsEmpty) {
  ASSERT_TRUE(mib::set_setting("deviceinfo.DevName", "caf\xe9"));
  EXPECT_EQ(printed(get("DevName").get()), "''");
}

TEST_F(DeviceInfoTest, MultiWriteStopsAtTheFirstRefusal) {
  SignalWatcher watcher(client(), kProps, "PropertiesChanged", path_);
  int64_t before = journal_end();
  g_autoptr(GError) error = nullptr;
  EXPECT_FALSE(set_multi(dictionary({{"DevName", g_variant_new_string("kitchen")},
                                     {"SerialNumber", g_variant_new_string("x")},
                                     {"DevName", g_variant_new_string("hall")}}),
                         &error));
  EXPECT_EQ(remote_error(error), InvalidArgs("invalid property SerialNumber"));
  EXPECT_EQ(printed(get("DevName").get()), "'kitchen'");
  EXPECT_FALSE(watcher.wait(std::chrono::milliseconds(200)).body);
  EXPECT_TRUE(notices_since(before).empty());

  // An empty request still commits and announces (an empty change).
  ASSERT_TRUE(set_multi(dictionary({}), nullptr));
  EXPECT_EQ(printed(watcher.wait().body.get()), "('com.wqx.igd1.DeviceInfo', @a{sv} {}, @as [])");
}

TEST_F(DeviceInfoTest, SecondDeviceTypeIsPublishedInAFile) {
  EXPECT_EQ(read_text_file(root().path(path::kDevType2Value)), "Lumora_2.0");
}

class DeviceInfoServiceType1Test : public DeviceInfoTest {
 protected:
  DeviceInfoServiceType1Test() { service_type_ = 1; }
};

TEST_F(DeviceInfoServiceType1Test, DeviceTypeIsAByte) {
  ASSERT_TRUE(mib::set_setting("deviceinfo.DevTypeCode", "3"));
  EXPECT_EQ(printed(get("DevType").get()), "byte 0x03");
  EXPECT_THAT(introspect(path_), HasSubstr("<property type=\"y\" name=\"DevType\""));
}

class DeviceInfoServiceType2Test : public DeviceInfoTest {
 protected:
  DeviceInfoServiceType2Test() { service_type_ = 2; }
};

TEST_F(DeviceInfoServiceType2Test, WritesCommitWithoutASignal) {
  SignalWatcher watcher(client(), kProps, "PropertiesChanged", path_);
  int64_t before = journal_end();
  ASSERT_TRUE(set_property(path_, interface_, "DevName", g_variant_new_string("attic")));
  EXPECT_FALSE(watcher.wait(std::chrono::milliseconds(300)).body);
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(mib::kDeviceInfoNoticeBit, 255)));
}

TEST(DeviceInfoHandlerTest, OnlyTheDeviceNameIsWritable) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) text = g_variant_ref_sink(g_variant_new_string("x"));
  EXPECT_EQ(deviceinfo_set_props_func("SerialNumber", text, &error), 0);
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(error->message, "invalid property SerialNumber");
}

// ---- network information --------------------------------------------------------

class NetworkInfoTest : public InfoObjectTest {
 protected:
  NetworkInfoTest() : InfoObjectTest("/com/wqx/igd1/Info/Network", "com.wqx.igd1.NetworkInfo") {}
};

TEST_F(NetworkInfoTest, ConstantsRulesAndRecordFields) {
  ASSERT_TRUE(mib::set_setting("network.UPLinkType", "2"));
  EXPECT_EQ(printed(get("UPLinkType").get()), "uint32 0");
  ASSERT_TRUE(mib::set_setting("network.UPLinkType", "3"));
  EXPECT_EQ(printed(get("UPLinkType").get()), "uint32 1");
  EXPECT_EQ(printed(get("IPv6").get()), "byte 0x02");
  EXPECT_EQ(printed(get("VLANbind").get()), "byte 0x01");
  EXPECT_EQ(printed(get("LANIPAddr").get()), "'192.168.1.1'");
  EXPECT_EQ(printed(get("UPLink").get()), "uint32 1");

  ASSERT_TRUE(mib::set_setting("network.LAN3Status", "1"));
  ASSERT_TRUE(mib::set_setting("network.LAN3RxBytes", "123456789012"));
  ASSERT_TRUE(mib::set_setting("network.WANTxBytes", "1000"));
  ASSERT_TRUE(mib::set_setting("network.WANRxBytes", "24"));
  // The configuration library refreshes the live record every second and
  // whenever the object starts; start-up is the prompt way.
  networkinfo_interface_init();
  EXPECT_EQ(printed(get("LAN3Status").get()), "byte 0x01");
  EXPECT_EQ(printed(get("LAN3RXByte").get()), "uint64 123456789012");
  EXPECT_EQ(printed(get("WANBytes").get()), "uint64 1024");
}

TEST_F(NetworkInfoTest, FailedReadsAnswerAsEachRowSays) {
  mib::fail_accessor("networkinfo_get_property", 25);
  mib::fail_accessor("networkinfo_get_property", 0);
  mib::fail_accessor("networkinfo_get_property", 3);
  mib::fail_accessor("networkinfo_get_property", 24);
  EXPECT_EQ(get_failure("WANIPAddr"), InvalidArgs("invalid property WANIPAddr"));
  EXPECT_EQ(get_failure("UPLink"), InvalidArgs("get UPLink failed!"));
  EXPECT_EQ(printed(get("WiFiMode").get()), "'802.11b/802.11g/802.11n/802.11ac'");
  EXPECT_EQ(printed(get("LANIPAddr").get()), "''");
}

TEST_F(NetworkInfoTest, ElinkSyncIsStoredAsOneAndAnnouncedOnlyWhenItChanges) {
  SignalWatcher watcher(client(), kProps, "PropertiesChanged", path_);
  int64_t before = journal_end();
  ASSERT_TRUE(set_property(path_, interface_, "ElinkSync", g_variant_new_boolean(TRUE)));
  EXPECT_EQ(mib::get_setting("network.ElinkSync").value_or(""), "1");
  EXPECT_EQ(printed(watcher.wait().body.get()),
            "('com.wqx.igd1.NetworkInfo', {'ElinkSync': <true>}, @as [])");
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(mib::kNetworkInfoNoticeBit, 255)));

  // The same value again: nothing stored, nothing to commit or announce.
  before = journal_end();
  ASSERT_TRUE(set_property(path_, interface_, "ElinkSync", g_variant_new_boolean(TRUE)));
  EXPECT_FALSE(watcher.wait(std::chrono::milliseconds(200)).body);
  EXPECT_TRUE(notices_since(before).empty());
}

TEST_F(NetworkInfoTest, RefusedCommitAndRefusedNamesFailTheRequest) {
  mib::fail_accessor("networkinfo_set_property_update");
  g_autoptr(GError) error = nullptr;
  EXPECT_FALSE(set_property(path_, interface_, "ElinkSync", g_variant_new_boolean(TRUE), &error));
  EXPECT_EQ(remote_error(error), InvalidArgs("Config networkinfo error, commit refused"));
  g_clear_error(&error);

  mib::clear_failures();
  EXPECT_FALSE(set_multi(dictionary({{"WANIPAddr", g_variant_new_string("1.2.3.4")}}), &error));
  EXPECT_EQ(remote_error(error), InvalidArgs("invalid property WANIPAddr"));
}

class NetworkInfoServiceType1Test : public NetworkInfoTest {
 protected:
  NetworkInfoServiceType1Test() { service_type_ = 1; }
};

TEST_F(NetworkInfoServiceType1Test, UplinkAndWanLinkAreBytes) {
  EXPECT_EQ(printed(get("UPLink").get()), "byte 0x01");
  ASSERT_TRUE(mib::set_setting("network.WANLinkStatus", "1"));
  EXPECT_EQ(printed(get("WANLinkStatus").get()), "byte 0x01");
  ASSERT_TRUE(mib::set_setting("network.WANLinkStatus", "Up"));
  EXPECT_EQ(printed(get("WANLinkStatus").get()), "byte 0x00");
}

// ---- PON information ------------------------------------------------------------

class PonInfoTest : public InfoObjectTest {
 protected:
  PonInfoTest() : InfoObjectTest("/com/wqx/igd1/Info/PON", "com.wqx.igd1.PONInfo") {}
};

TEST_F(PonInfoTest, OpticsReadingsAndFailures) {
  Variant power = get("RXPower");
  ASSERT_TRUE(power);
  EXPECT_EQ(g_variant_get_double(power.get()), -18.6);
  mib::fail_accessor("poninfo_get_mib_property", 8);
  EXPECT_EQ(get_failure("RXPower"), InvalidArgs("mib get failed"));
}

TEST_F(PonInfoTest, TrafficHistoryComesOldestFirst) {
  g_autoptr(GError) error = nullptr;
  Variant reply = call(path_, interface_, "GetPONHistoryTraffic", g_variant_new("(u)", 3), &error);
  ASSERT_TRUE(reply) << error->message;
  g_autoptr(GVariant) samples = g_variant_get_child_value(reply.get(), 0);
  ASSERT_EQ(g_variant_n_children(samples), 3u);
  guint64 previous = 0;
  for (size_t i = 0; i < 3; ++i) {
    guint64 hour, sent, received;
    g_variant_get_child(samples, i, "(ttt)", &hour, &sent, &received);
    EXPECT_GT(hour, previous);
    EXPECT_EQ(hour % 3600, 0u);
    previous = hour;
  }

  EXPECT_FALSE(call(path_, interface_, "GetPONHistoryTraffic", g_variant_new("(u)", 0), &error));
  EXPECT_EQ(remote_error(error), std::make_pair(std::string("com.wqx.igd1.PONInfo"),
                                                std::string("Invalid parameter value")));
}

}  // namespace
}  // namespace igd1::test
