// The IPTV, DNS speed limit, HTTP server and PPPoE objects over the bus.

#include "mib_services.h"
#include "object_client.h"
#include "service_objects.h"

namespace igd1::test {
namespace {

constexpr ObjectUnderTest kIptv{"/com/wqx/igd1/Network/IPTV", "com.wqx.igd1.IPTV"};
constexpr ObjectUnderTest kLimit{"/com/wqx/igd1/Network/DNSSpeedLimit",
                                 "com.wqx.igd1.DNSSpeedLimit"};
constexpr ObjectUnderTest kHttp{"/com/wqx/igd1/Network/HTTPServer", "com.wqx.igd1.HTTPServer"};
constexpr ObjectUnderTest kPppoe{"/com/wqx/igd1/Ovatrix/PPPoE", "com.wqx.igd1.PPPoE"};

using ServiceObjectsTest = ObjectTest;

// The error a write handler answers when called as the host calls it.
std::string handler_error(GDBusInterfaceSetPropertyFunc handler, const ObjectUnderTest &object,
                          const char *name, GVariant *value) {
  GError *error = nullptr;
  g_autoptr(GVariant) owned = g_variant_ref_sink(value);
  EXPECT_FALSE(handler(nullptr, nullptr, object.path, object.interface, name, owned, &error,
                       nullptr));
  std::string message = error != nullptr ? error->message : "";
  g_clear_error(&error);
  return message;
}

TEST_F(ServiceObjectsTest, HttpServerPasswordEnableAndTheirFailures) {
  SignalWatcher watcher(client(), "com.wqx.igd1.Properties", "PropertiesChanged", kHttp.path);
  const std::string thirty(30, 'p');
  EXPECT_EQ(write(kHttp, "AdminPassword", ("'" + thirty + "x'").c_str()),
            InvalidArgs("Invalid parameter value"));
  int64_t before = journal_end();
  EXPECT_EQ(write(kHttp, "AdminPassword", ("'" + thirty + "'").c_str()), Failure());
  EXPECT_EQ(read(kHttp, "AdminPassword"), "'" + thirty + "'");
  EXPECT_EQ(mib::journal(before).back().data, "update");
  EXPECT_THAT(printed(watcher.wait().body.get()), HasSubstr("{'AdminPassword': <'" + thirty));

  EXPECT_EQ(write(kHttp, "Enable", "byte 2"), InvalidArgs("Invalid parameter value"));
  before = journal_end();
  EXPECT_EQ(write(kHttp, "Enable", "byte 0"), Failure());
  ASSERT_EQ(mib::journal(before).size(), 2u);
  EXPECT_EQ(mib::journal(before)[0].data, "Access=0");
  EXPECT_EQ(mib::get_setting("http.Access"), "0");
  // Declared write-only: the bus refuses the read before the module sees it.
  EXPECT_THAT(read(kHttp, "Enable"), testing::StartsWith("<" + std::string(kInvalidArgs) + ": "));
  EXPECT_THAT(read(kHttp, "Enable"), testing::HasSubstr("Enable"));
  EXPECT_EQ(get_all(kHttp.path, kHttp.interface), "({'AdminPassword': <'" + thirty + "'>},)");

  // The three failures of the access table, and of the password.
  mib::fail_accessor("httpserver_getconfig", 0);
  EXPECT_EQ(write(kHttp, "Enable", "byte 1"), InvalidArgs("mib chain get MIB_ACC_TBL failed!"));
  mib::clear_failures();
  mib::fail_accessor("httpserver_getconfig", 1);
  EXPECT_EQ(write(kHttp, "Enable", "byte 1"), InvalidArgs("mib_set MIB_ACC_TBL failed!"));
  mib::fail_accessor("httpserver_set_password");
  EXPECT_EQ(write(kHttp, "AdminPassword", "'x'"), InvalidArgs("mib_set MIB_SUSER_PASSWORD failed!"));
  mib::fail_accessor("httpserver_get_password");
  EXPECT_EQ(read(kHttp, "AdminPassword"),
            "<" + std::string(kInvalidArgs) + ": mib_get MIB_SUSER_PASSWORD failed!>");
  mib::clear_failures();
  EXPECT_EQ(mib::get_setting("http.Access"), "0");

  // A multi-write logs each entry under its own prefix.
  EXPECT_EQ(set_multi(kHttp, dictionary({{"Enable", g_variant_new_byte(1)}})), Failure());
  EXPECT_EQ(mib::get_setting("http.Access"), "1");
  EXPECT_THAT(syslog(), HasSubstr("set_multi:set enable [1]."));
}

TEST_F(ServiceObjectsTest, IptvDetectionTakesTwoToSixtySeconds) {
  const std::string refused = "<com.wqx.igd1.IPTV: Invalid parameter value>";
  EXPECT_EQ(invoke(kIptv, "StartDetectiTVLineStatus", g_variant_new("(u)", 1u)), refused);
  EXPECT_EQ(invoke(kIptv, "StartDetectiTVLineStatus", g_variant_new("(u)", 61u)), refused);
  EXPECT_EQ(read(kIptv, "iTVLineStatus"), "uint32 1");
  const int64_t before = journal_end();
  EXPECT_EQ(invoke(kIptv, "StartDetectiTVLineStatus", g_variant_new("(u)", 60u)),
            "(uint32 0, 'none!')");
  EXPECT_EQ(mib::journal(before).back().data, "detect=60");
  EXPECT_EQ(read(kIptv, "iTVLineStatus"), "uint32 2");
  EXPECT_EQ(invoke(kIptv, "StartDetectiTVLineStatus", g_variant_new("(u)", 2u)),
            "(uint32 9001, 'Request denied')");
  ASSERT_TRUE(mib::set_setting("iptv.DetectUntil", "0"));
  EXPECT_EQ(invoke(kIptv, "StartDetectiTVLineStatus", g_variant_new("(u)", 2u)),
            "(uint32 0, 'none!')");
  mib::fail_accessor("IPTV_StartDetectiTVLineStatus");
  EXPECT_EQ(invoke(kIptv, "StartDetectiTVLineStatus", g_variant_new("(u)", 30u)),
            "<com.wqx.igd1.IPTV: msg_proc_handle return failed>");
}

TEST_F(ServiceObjectsTest, IptvSwitchesAreWrittenOnlyWhereWritable) {
  SignalWatcher watcher(client(), "com.wqx.igd1.Properties", "PropertiesChanged", kIptv.path);
  EXPECT_EQ(write(kIptv, "NoStbEnable", "true"), Failure());
  EXPECT_EQ(read(kIptv, "NoStbEnable"), "true");
  EXPECT_EQ(watcher.next(), change_body("com.wqx.igd1.IPTV", "{'NoStbEnable': <true>}"));
  mib::fail_accessor("IPTV_set_property", 1);
  EXPECT_EQ(write(kIptv, "ProxyEnable", "false"), InvalidArgs("set ProxyEnable failed!"));
  EXPECT_EQ(read(kIptv, "ProxyEnable"), "true");
  loop_->run([&] {
    EXPECT_EQ(handler_error(IPTV_handle_set_property, kIptv, "IGMPEnable",
                            g_variant_new_boolean(FALSE)),
              "invalid property IGMPEnable");
  });
}

TEST_F(ServiceObjectsTest, DnsSpeedLimitCutsToItsBuffersAndNamesUnknownPropertiesWithACapital) {
  std::string domains;
  while (domains.size() < 2000) domains += "video.example.com;";
  const int64_t before = journal_end();
  EXPECT_EQ(write(kLimit, "Domain", ("'" + domains + "'").c_str()), Failure());
  EXPECT_EQ(read(kLimit, "Domain"), "'" + domains.substr(0, 1023) + "'");
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(0x1000u, 255)));
  EXPECT_EQ(write(kLimit, "LimitAction", ("'" + std::string(40, 'D') + "'").c_str()), Failure());
  EXPECT_EQ(read(kLimit, "LimitAction"), "'" + std::string(32, 'D') + "'");
  // A cut never splits a character: 20 two-byte characters keep 16.
  std::string accents;
  for (int i = 0; i < 20; ++i) accents += "\u00e9";
  std::string kept;
  for (int i = 0; i < 16; ++i) kept += "\u00e9";
  EXPECT_EQ(write(kLimit, "LimitAction", ("'" + accents + "'").c_str()), Failure());
  EXPECT_EQ(read(kLimit, "LimitAction"), "'" + kept + "'");
  EXPECT_EQ(write(kLimit, "Domain", "'bad domain!'"), InvalidArgs("Invalid parameter value"));
  EXPECT_THAT(read(kLimit, "Domain"), HasSubstr("video.example.com;"));

  loop_->run([&] {
    EXPECT_EQ(handler_error(DNSSpeedLimit_handle_set_property, kLimit, "HgwInfo",
                            g_variant_new_string("x")),
              "Invalid property HgwInfo");
  });
  mib::fail_accessor("DNSSpeedLimit_get_mib_property", 2);
  EXPECT_EQ(read(kLimit, "HgwInfo"), "<" + std::string(kInvalidArgs) + ": Get HgwInfo failed>");
  mib::fail_accessor("DNSSpeedLimit_get_mib_property", 0);
  EXPECT_EQ(read(kLimit, "Domain"), "<" + std::string(kInvalidArgs) + ": Get Domain failed>");
}

// However the read ends, the WAN entry it took is given back.
TEST_F(ServiceObjectsTest, PppoeReleasesTheWanEntryOnEveryPath) {
  ASSERT_EQ(pppoe_wan_entries_held(), 0);
  EXPECT_EQ(read(kPppoe, "PPPoEUserName"), "'07552103448@wqx'");
  EXPECT_EQ(pppoe_wan_entries_held(), 0);
  mib::fail_accessor("pppoe_get_mib_property");
  EXPECT_EQ(read(kPppoe, "PPPoEUserName"),
            "<" + std::string(kInvalidArgs) + ": get PPPoEUserName failed!>");
  EXPECT_EQ(pppoe_wan_entries_held(), 0);
  mib::clear_failures();
  ASSERT_TRUE(mib::set_setting("wan.InternetMode", "DHCP"));
  EXPECT_EQ(read(kPppoe, "PPPoEUserName"), "<" + std::string(kInvalidArgs) + ": get wan entry failed!>");
  EXPECT_EQ(pppoe_wan_entries_held(), 0);
  EXPECT_EQ(set_multi(kPppoe, dictionary({})).first, "org.freedesktop.DBus.Error.NotSupported");
}

}  // namespace
}  // namespace igd1::test
