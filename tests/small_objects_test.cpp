// The small single objects over the bus: feature flags, Cloud VR, network
// access sign, bridge data, VoIP information, CWMP, incoming filter,
// downstream optimisation and sub-IPTV support.

#include "object_client.h"

namespace igd1::test {
namespace {

constexpr ObjectUnderTest kFeatures{"/com/wqx/igd1/Ovatrix/FeatureFlag", "com.wqx.igd1.FeatureFlag"};
constexpr ObjectUnderTest kCloudVR{"/com/wqx/igd1/Ovatrix/CloudVR", "com.wqx.igd1.CloudVR"};
constexpr ObjectUnderTest kSign{"/com/wqx/igd1/Info/Device", "com.wqx.igd1.NetworkAccessSign"};
constexpr ObjectUnderTest kDevice{"/com/wqx/igd1/Info/Device", "com.wqx.igd1.DeviceInfo"};
constexpr ObjectUnderTest kBridge{"/com/wqx/igd1/Ovatrix/BridgeData", "com.wqx.igd1.BridgeData"};
constexpr ObjectUnderTest kVoip{"/com/wqx/igd1/Info/VoIP", "com.wqx.igd1.VoIPInfo"};
constexpr ObjectUnderTest kCwmp{"/com/wqx/igd1/Ovatrix/CWMP", "com.wqx.igd1.CWMP"};
constexpr ObjectUnderTest kFilter{"/com/wqx/igd1/Config/IncomingFilter",
                                  "com.wqx.igd1.IncomingFilter"};
constexpr ObjectUnderTest kDnOpt{"/com/wqx/igd1/Info/DnOpt", "com.wqx.igd1.DnOptInfo"};
constexpr ObjectUnderTest kSubIptv{"/com/wqx/igd1/Network/SubIPTV", "com.wqx.igd1.SubIPTVSupport"};

std::string invalid(const std::string &message) {
  return "<org.freedesktop.DBus.Error.InvalidArgs: " + message + ">";
}

using SmallObjectsTest = ObjectTest;

// Each read-only value as a new gateway has it, and the text of its failed
// read (the accessor failing at the property's index).
TEST_F(SmallObjectsTest, ReadOnlyValuesAndTheirFailedReads) {
  const struct {
    const ObjectUnderTest &object;
    const char *name, *value, *accessor;
    int index;
    const char *failure;
  } cases[] = {
      {kFeatures, "H248", "false", "featureflag_get_property", 0, "get H248 failed!"},
      {kFeatures, "PortBind", "true", "featureflag_get_property", 1, "get PortBind failed!"},
      {kCloudVR, "Enable", "true", "CloudVR_get_property", 0, "get Enable failed!"},
      {kCloudVR, "UserID", "'HG8G4-WQX4A3E510C2210'", "CloudVR_get_property", 1,
       "Get DEVICE_INFO_PRODUCTCLASS failed!"},
      {kCloudVR, "Password", "'Vr#0C2210'", "CloudVR_get_property", 2, "get Password failed!"},
      {kSign, "DeviceModel", "'HG8-G4'", "deviceinfo_get_property", 40,
       "Get NETWORKACCESSSIGN_DEVICEMODEL failed!"},
      {kSign, "NASN", "'02-A127-214433'", "deviceinfo_get_property", 41,
       "Get NETWORKACCESSSIGN_NASN failed!"},
      {kBridge, "SessionID", "uint32 4711", "BridgeData_get_property", 3, "Get SessionID failed"},
      {kBridge, "DMAC", "'00:1e:73:2a:91:c4'", "BridgeData_get_property", 2, "Get DMAC failed"},
      {kVoip, "VoIPName1", "'075521034481'", "voipinfo_get_mib_property", 0,
       "get VoIPName1 failed!"},
      {kVoip, "Line2Status", "'Disabled'", "voipinfo_get_mib_property", 3,
       "get Line2Status failed!"},
      {kDnOpt, "Mode", "'Auto'", "DnOptInfo_get_property", 1, "get Mode failed!"},
      {kDnOpt, "OptimisedBytes", "uint64 96351220418", "DnOptInfo_get_property", 4,
       "get OptimisedBytes failed!"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.object.interface) + "." + c.name);
    EXPECT_EQ(read(c.object, c.name), c.value);
    mib::fail_accessor(c.accessor, c.index);
    EXPECT_EQ(read(c.object, c.name), invalid(c.failure));
    mib::clear_failures();
  }
  EXPECT_EQ(read(kSign, "MarkType"), "byte 0x01");
}

// Without the voice configuration only the directory numbers fail.
TEST_F(SmallObjectsTest, VoiceNumbersNeedTheVoiceConfiguration) {
  mib::fail_accessor("DBUS_flash_get");
  EXPECT_EQ(read(kVoip, "VoIPName2"), invalid("get pVoIPCfg fail!"));
  EXPECT_EQ(read(kVoip, "Line1Status"), "'Up'");
  EXPECT_THAT(syslog(), HasSubstr("get  pVoIPCfg fail!"));
}

// Two objects on one path, each with its own interface: both answer, and a
// multi-write reaches the one it names.
TEST_F(SmallObjectsTest, NetworkAccessSignSitsBesideTheDeviceInformation) {
  const std::string xml = introspect(kSign.path);
  EXPECT_THAT(xml, HasSubstr("<interface name=\"com.wqx.igd1.NetworkAccessSign\">"));
  EXPECT_THAT(xml, HasSubstr("<interface name=\"com.wqx.igd1.DeviceInfo\">"));
  EXPECT_EQ(set_multi(kDevice, dictionary({{"DevName", g_variant_new_string("attic")}})), Failure());
  EXPECT_EQ(read(kDevice, "DevName"), "'attic'");
  EXPECT_EQ(set_multi(kSign, dictionary({{"NASN", g_variant_new_string("x")}})).first,
            "org.freedesktop.DBus.Error.NotSupported");
  EXPECT_EQ(read(kSign, "NASN"), "'02-A127-214433'");
}

// The Cloud VR method is taken in and never answered: a caller that waits
// meets its own time-out, not an error of the service.
TEST_F(SmallObjectsTest, CloudVrMethodIsNeverAnswered) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      client(), "com.wqx.igd1", kCloudVR.path, kCloudVR.interface, "Connect", nullptr, nullptr,
      G_DBUS_CALL_FLAGS_NONE, 500, nullptr, &error);
  EXPECT_EQ(reply, nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_TRUE(g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) << error->message;
  const std::string log = syslog();
  EXPECT_THAT(log, HasSubstr("method_name:Connect"));
  EXPECT_THAT(log, Not(HasSubstr("Connect on /com/wqx/igd1/Ovatrix/CloudVR was not answered")));
  // The service goes on answering.
  EXPECT_EQ(read(kCloudVR, "Enable"), "true");
}

TEST_F(SmallObjectsTest, CwmpActionsWorkOnTheStoreAllOrNothing) {
  const std::string refused = "<com.wqx.igd1.CWMP: Invalid parameter value>";
  EXPECT_EQ(invoke(kCwmp, "GetParameterValues",
                   g_variant_new_parsed("(['Device.dhcpserver.LeaseTime', 'Device.telnet.'],)")),
            "([('Device.dhcpserver.LeaseTime', '86400'), ('Device.telnet.Enable', '0'), "
            "('Device.telnet.Password', ''), ('Device.telnet.UserName', 'telnetadmin')],)");
  EXPECT_EQ(invoke(kCwmp, "GetParameterValues", g_variant_new_parsed("(['Device.nothing'],)")),
            refused);
  // One refused value stores nothing.
  EXPECT_EQ(invoke(kCwmp, "SetParameterValues",
                   g_variant_new_parsed("([('Device.dhcpserver.LeaseTime', '3600'), "
                                        "('Device.dhcpserver.MinAddress', '192.168.1.300')],)")),
            refused);
  EXPECT_EQ(mib::get_setting("dhcpserver.LeaseTime"), "86400");
  EXPECT_EQ(invoke(kCwmp, "SetParameterValues",
                   g_variant_new_parsed("([('Device.dhcpserver.LeaseTime', '3600')],)")),
            "(0,)");
  EXPECT_EQ(read({"/com/wqx/igd1/Config/DHCPServer", "com.wqx.igd1.DHCPServer"}, "LeaseTime"),
            "uint32 3600");

  // A row added here is a row of the table: its child appears on the bus.
  EXPECT_EQ(invoke(kCwmp, "AddObject", g_variant_new_parsed("('Device.portmapping.',)")),
            "(uint32 1, 0)");
  EXPECT_EQ(invoke(kCwmp, "SetParameterValues",
                   g_variant_new_parsed("([('Device.portmapping.1.ExternalPort', '8080')],)")),
            "(0,)");
  EXPECT_THAT(invoke(kCwmp, "GetParameterNames", g_variant_new_parsed("('Device.', true)")),
              HasSubstr("('Device.portmapping.', false)"));
  EXPECT_EQ(invoke(kCwmp, "DeleteObject", g_variant_new_parsed("('Device.portmapping.1.',)")),
            "(0,)");
  EXPECT_EQ(invoke(kCwmp, "DeleteObject", g_variant_new_parsed("('Device.portmapping.1.',)")),
            refused);
  EXPECT_EQ(invoke(kCwmp, "AddObject", g_variant_new_parsed("('Device.nothing.',)")), refused);
}

TEST_F(SmallObjectsTest, IncomingFilterChecksRulesAndKeepsThemOnce) {
  const struct {
    const char *method, *address;
    guint8 protocol;
    guint32 port;
    guint8 interface;
    const char *answer;
  } cases[] = {
      {"AddIncomingEntry", "", 0, 80, 0, "(uint32 0, 'Success')"},
      {"AddIncomingEntry", "2001:db8::1", 1, 443, 1, "(uint32 0, 'Success')"},
      {"AddIncomingEntry", "192.168.7.9", 2, 0, 1, "(uint32 0, 'Success')"},
      {"AddIncomingEntry", "2001:db8::1", 1, 443, 1,
       "<com.wqx.igd1.IncomingFilter: entry exists>"},
      {"AddIncomingEntry", "host.example", 0, 80, 0,
       "<com.wqx.igd1.IncomingFilter: Invalid parameter value>"},
      {"AddIncomingEntry", "", 3, 80, 0, "<com.wqx.igd1.IncomingFilter: Invalid parameter value>"},
      {"AddIncomingEntry", "", 0, 65536, 0,
       "<com.wqx.igd1.IncomingFilter: Invalid parameter value>"},
      {"AddIncomingEntry", "", 0, 80, 2, "<com.wqx.igd1.IncomingFilter: Invalid parameter value>"},
      {"DelIncomingEntry", "", 0, 80, 0, "(uint32 0, 'Success')"},
      {"DelIncomingEntry", "", 0, 80, 0, "<com.wqx.igd1.IncomingFilter: no such entry>"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.address);
    EXPECT_EQ(invoke(kFilter, c.method,
                     g_variant_new("(syuy)", c.address, c.protocol, c.port, c.interface)),
              c.answer);
  }
  const std::string long_address(64, '1');
  EXPECT_EQ(invoke(kFilter, "AddIncomingEntry",
                   g_variant_new("(syuy)", long_address.c_str(), 0, 80u, 0)),
            "<com.wqx.igd1.IncomingFilter: Invalid parameter value>");
  const auto rows = mib::table_rows(*mib::find_table("incomingfilter"));
  EXPECT_EQ(rows.size(), 2u);
  EXPECT_EQ(mib::journal().back().data, "rules=2");
}

// The host starts what the library exports under the module table's names.
TEST(ModuleEntriesTest, EveryObjectIsExportedUnderItsEntryName) {
  std::vector<std::string> names;
  std::string problem;
  ASSERT_TRUE(host::exported_entry_names(IGD1_BUILD_DIR "/libigd1.so", &names, &problem)) << problem;
  for (const char *entry :
       {"DNSServerConfig", "DNSV6ServerConfig", "DNSTunnel", "IPV6LANConfig", "DHCPV6Server",
        "RouterAdvertisement", "IPTV", "DNSSpeedLimit", "http_server", "pppoe_object",
        "featureflag", "CloudVR", "NetworkAccessSign", "BridgeData", "voipinfo", "CWMP",
        "IncomingFilter", "DnOptInfo", "SubIPTVSupport", "wan_connection_info", "SpecialServiceVR",
        "DDNSServerConfig", "SubDeviceInfo"})
    EXPECT_THAT(names, Contains(std::string(entry) + "_on_bus_acquired"));
}

TEST_F(SmallObjectsTest, SubIptvSwitchesOnOnlyWhereSupported) {
  EXPECT_EQ(write(kSubIptv, "Enable", "true"), Failure());
  EXPECT_EQ(read(kSubIptv, "Enable"), "true");
  EXPECT_EQ(write(kSubIptv, "VLANID", "uint32 4095"), InvalidArgs("Invalid parameter value"));
  EXPECT_EQ(write(kSubIptv, "VLANID", "uint32 4094"), Failure());
  ASSERT_TRUE(mib::set_setting("subiptv.Supported", "0"));
  EXPECT_EQ(write(kSubIptv, "Enable", "false"), Failure());
  EXPECT_EQ(write(kSubIptv, "Enable", "true"), InvalidArgs("Invalid parameter value"));
  EXPECT_EQ(read(kSubIptv, "Supported"), "false");
}

}  // namespace
}  // namespace igd1::test
