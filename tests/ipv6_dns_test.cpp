// The DNS server objects of both families, the DNS tunnel manager beside the
// IPv4 one, and the IPv6 objects of the home network side, over the bus.

#include "object_client.h"

namespace igd1::test {
namespace {

constexpr ObjectUnderTest kDns{"/com/wqx/igd1/Network/dns", "com.wqx.igd1.DNSServerConfig"};
constexpr ObjectUnderTest kDnsV6{"/com/wqx/igd1/Network/dnsv6", "com.wqx.igd1.DNSv6ServerConfig"};
constexpr ObjectUnderTest kLan{"/com/wqx/igd1/Config/IPV6/LAN", "com.wqx.igd1.IPv6LANConfig"};
constexpr ObjectUnderTest kDhcpV6{"/com/wqx/igd1/Config/IPV6/DHCPV6S", "com.wqx.igd1.DHCPv6Server"};
constexpr ObjectUnderTest kRa{"/com/wqx/igd1/Config/IPV6/RA", "com.wqx.igd1.RouterAdvertisement"};
constexpr uint32_t kDnsNotice = 0x8000;

using DnsTest = ObjectTest;

// A write changes its own field of the family's record and leaves the other
// server as it was; it is noticed to the DNS service and announced.
TEST_F(DnsTest, WritingOneServerKeepsTheOtherAndCutsAt46) {
  SignalWatcher watcher(client(), "com.wqx.igd1.Properties", "PropertiesChanged", kDnsV6.path);
  int64_t before = journal_end();
  EXPECT_EQ(write(kDnsV6, "Server2", "'2001:db8::35'"), Failure());
  EXPECT_EQ(read(kDnsV6, "Server1"), "'2001:db8:3c4d::53'");
  EXPECT_EQ(read(kDnsV6, "Server2"), "'2001:db8::35'");
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(kDnsNotice, 255)));
  EXPECT_EQ(printed(watcher.wait().body.get()),
            "('com.wqx.igd1.DNSv6ServerConfig', {'Server2': <'2001:db8::35'>}, @as [])");
  // The IPv4 record is another one.
  EXPECT_EQ(read(kDns, "Server2"), "'202.96.134.133'");

  const std::string sixty(60, '1');
  EXPECT_EQ(write(kDns, "Server1", ("'" + sixty + "'").c_str()), Failure());
  EXPECT_EQ(read(kDns, "Server1"), "'" + sixty.substr(0, 46) + "'");
  EXPECT_EQ(read(kDns, "Server2"), "'202.96.134.133'");
}

TEST_F(DnsTest, RefusalsAndStoreFailuresAnswerTheirTexts) {
  const int64_t before = journal_end();
  // An IPv6 text on the IPv4 object, a name in place of an address.
  EXPECT_EQ(write(kDns, "Server1", "'2001:db8::1'"), InvalidArgs("Invalid parameter value"));
  EXPECT_EQ(write(kDnsV6, "Server1", "'dns.example'"), InvalidArgs("Invalid parameter value"));
  mib::fail_accessor("dnsserver_set_mib_property");
  EXPECT_EQ(write(kDns, "Server2", "'8.8.8.8'"), InvalidArgs("Error config DNS Server"));
  mib::fail_accessor("dnsserver_get_mib_property");
  EXPECT_EQ(write(kDns, "Server2", "'8.8.8.8'"), InvalidArgs("not found internet"));
  mib::clear_failures();
  EXPECT_EQ(read(kDns, "Server1"), "'202.96.128.86'");
  EXPECT_EQ(read(kDns, "Server2"), "'202.96.134.133'");
  EXPECT_EQ(read(kDnsV6, "Server1"), "'2001:db8:3c4d::53'");
  EXPECT_THAT(notices_since(before), IsEmpty());
}

TEST_F(DnsTest, ReloadAsksTheRelayAndReportsItsResult) {
  for (const ObjectUnderTest &object : {kDns, kDnsV6}) {
    SCOPED_TRACE(object.path);
    const int64_t before = journal_end();
    EXPECT_EQ(invoke(object, "Reload", nullptr), "(uint32 0, '')");
    ASSERT_THAT(notices_since(before), ElementsAre(Pair(kDnsNotice, 255)));
    EXPECT_EQ(mib::journal(before)[0].data, "reload");
    mib::fail_accessor("reloadDnsRelay");
    EXPECT_EQ(invoke(object, "Reload", nullptr), "(uint32 1, 'fail')");
    mib::clear_failures();
  }
}

// The tunnel manager is started inside the IPv4 object's start-up and
// shares its path: both answer, each with its own interfaces.
TEST_F(DnsTest, TunnelManagerSharesThePathOfTheIPv4Object) {
  const std::string xml = introspect(kDns.path);
  EXPECT_THAT(xml, HasSubstr("<interface name=\"com.wqx.igd1.DNSServerConfig\">"));
  EXPECT_THAT(xml, HasSubstr("<interface name=\"org.freedesktop.DBus.ObjectManager\">"));
  EXPECT_THAT(invoke({kDns.path, "org.freedesktop.DBus.ObjectManager"}, "GetManagedObjects", nullptr),
              HasSubstr("'/com/wqx/igd1/Network/dns/1': {'com.wqx.igd1.DNSTunnel'"));
  EXPECT_EQ(read(kDns, "Server1"), "'202.96.128.86'");
}

using Ipv6Test = ObjectTest;

// The objects store what the configuration library accepts; it checks the
// forms and the settings that bound each other.  Cases run in order.
TEST_F(Ipv6Test, WritesAreCheckedByTheStoreAndAnnounced) {
  const struct {
    const ObjectUnderTest &object;
    const char *name, *value, *error, *reads;
  } cases[] = {
      {kLan, "Prefix", "'2001:db8:1::/56'", "", "'2001:db8:1::/56'"},
      {kLan, "Prefix", "'2001:db8::/129'", "set Prefix fail", "'2001:db8:1::/56'"},
      {kLan, "ConfigType", "'Static'", "", "'Static'"},
      {kLan, "ConfigType", "'static'", "set ConfigType fail", "'Static'"},
      {kLan, "Servers", "'2001:db8::1,2001:db8::2'", "", "'2001:db8::1,2001:db8::2'"},
      {kLan, "Servers", "'2001:db8::1,'", "set Servers fail", "'2001:db8::1,2001:db8::2'"},
      {kLan, "LocalAddress", "'192.168.1.1'", "set LocalAddress fail", "'2001:db8:3c4d:1500::1'"},
      // The preferred lifetime stays within the valid one (7200).
      {kLan, "PreferredLifeTime", "uint32 9000", "set PreferredLifeTime fail", "uint32 3600"},
      {kLan, "ValidLifeTime", "uint32 10000", "", "uint32 10000"},
      {kLan, "PreferredLifeTime", "uint32 9000", "", "uint32 9000"},
      {kLan, "ValidLifeTime", "uint32 8000", "set ValidLifeTime fail", "uint32 10000"},
      {kDhcpV6, "MinAddress", "'::10'", "", "'::10'"},
      {kDhcpV6, "MaxAddress", "'fe80::zz'", "set MaxAddress fail", "'::fffe'"},
      {kDhcpV6, "Enable", "false", "", "false"},
      {kDhcpV6, "Option17Enable", "true", "", "true"},
      // Intervals: maximum 4 to 1800, minimum 3 to three quarters of it (600).
      {kRa, "MaxRtrAdvInterval", "uint32 1801", "set MaxRtrAdvInterval fail", "uint32 600"},
      {kRa, "MinRtrAdvInterval", "uint32 451", "set MinRtrAdvInterval fail", "uint32 200"},
      {kRa, "MinRtrAdvInterval", "uint32 450", "", "uint32 450"},
      {kRa, "MaxRtrAdvInterval", "uint32 599", "set MaxRtrAdvInterval fail", "uint32 600"},
      {kRa, "AdvManagedFlag", "true", "", "true"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.object.path) + " " + c.name + " = " + c.value);
    SignalWatcher watcher(client(), "com.wqx.igd1.Properties", "PropertiesChanged", c.object.path);
    EXPECT_EQ(write(c.object, c.name, c.value), *c.error ? InvalidArgs(c.error) : Failure());
    EXPECT_EQ(read(c.object, c.name), c.reads);
    if (*c.error != '\0') continue;
    EXPECT_EQ(printed(watcher.wait().body.get()), std::string("('") + c.object.interface +
                                                      "', {'" + c.name + "': <" + c.value +
                                                      ">}, @as [])");
  }
}

// A multi-write stores every acceptable entry and announces them at once.
TEST_F(Ipv6Test, MultiWriteKeepsGoingPastARefusedEntry) {
  SignalWatcher watcher(client(), "com.wqx.igd1.Properties", "PropertiesChanged", kRa.path);
  EXPECT_EQ(set_multi(kRa, dictionary({{"Enable", g_variant_new_boolean(FALSE)},
                                       {"MaxRtrAdvInterval", g_variant_new_uint32(2)},
                                       {"AdvOtherConfigFlag", g_variant_new_boolean(FALSE)}})),
            Failure());
  EXPECT_EQ(printed(watcher.wait().body.get()),
            "('com.wqx.igd1.RouterAdvertisement', {'Enable': <false>, 'AdvOtherConfigFlag': "
            "<false>}, @as [])");
  EXPECT_EQ(read(kRa, "MaxRtrAdvInterval"), "uint32 600");
  EXPECT_EQ(mib::get_setting("ra.Enable"), "0");
}

}  // namespace
}  // namespace igd1::test
