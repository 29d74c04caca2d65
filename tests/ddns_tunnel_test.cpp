// Dynamic DNS clients and DNS tunnels over the bus: the length, emptiness and
// range rules, what a write stores and hands to the services, the client's
// status read fresh, the tunnel manager beside the DNS server object.

#include "ddnsserverconfig.h"
#include "harness/bus_fixture.h"
#include "mib_network_tables.h"

namespace igd1::test {
namespace {

constexpr char kClients[] = "/com/wqx/igd1/Network/ddns";
constexpr char kClient[] = "/com/wqx/igd1/Network/ddns/1";
constexpr char kDdns[] = "com.wqx.igd1.DDNSServerConfig";
constexpr char kDns[] = "/com/wqx/igd1/Network/dns";
constexpr char kTunnel[] = "/com/wqx/igd1/Network/dns/1";
constexpr char kTunnelInterface[] = "com.wqx.igd1.DNSTunnel";

class DdnsTunnelTest : public BusTest {
 protected:
  Error set_client(const char *name, const std::string &text) {
    return write(kClient, kDdns, name, g_variant_new_string(text.c_str()));
  }
  int applied_since(int64_t seq) { return applies_since(seq, MIB_CFG_DDNS); }
};

TEST_F(DdnsTunnelTest, ClientValuesKeepTheirLengthEmptinessAndRangeRules) {
  const std::string name32(32, 'u');
  EXPECT_EQ(set_client("DDNSUsername", name32 + "u"),
            Error(kInvalidArgs, "Invalid parameter DDNSUsername"));
  EXPECT_EQ(set_client("DDNSUsername", name32), Error());
  EXPECT_EQ(cell("ddns", 1, "Username"), name32);
  EXPECT_EQ(set_client("DDNSProvider", std::string(65, 'p')),
            Error(kInvalidArgs, "Invalid parameter DDNSProvider"));
  EXPECT_EQ(set_client("DDNSProvider", ""), Error(kInvalidArgs, "Invalid parameter DDNSProvider"));
  EXPECT_EQ(set_client("DDNSPassword", ""), Error(kInvalidArgs, "Invalid parameter DDNSPassword"));
  EXPECT_EQ(set_client("DDNSHostName", ""), Error());
  EXPECT_EQ(cell("ddns", 1, "HostName"), "");
  EXPECT_EQ(cell("ddns", 1, "Provider"), "wqxddns");

  // 65536 would be 0 in 16 bits: it is refused before it is cut.
  EXPECT_EQ(write(kClient, kDdns, "ServicePort", g_variant_new_uint32(65536)),
            Error(kInvalidArgs, "Invalid parameter ServicePort"));
  EXPECT_EQ(cell("ddns", 1, "ServicePort"), "80");
  EXPECT_EQ(write(kClient, kDdns, "ServicePort", g_variant_new_uint32(65535)), Error());
  EXPECT_EQ(shown(kClient, kDdns, "ServicePort"), "uint32 65535");

  // Read-only: refused by name, also where the bus's own check does not stand
  // in front.
  EXPECT_EQ(set_multi(kClient, kDdns, dictionary({{"DDNSStatus", g_variant_new_byte(1)}})),
            Error(kInvalidArgs, "invalid property DDNSStatus"));
  EXPECT_EQ(set_multi(kClient, kDdns, dictionary({{"DDNSIP", g_variant_new_string("1.2.3.4")}})),
            Error(kInvalidArgs, "invalid property DDNSIP"));
  EXPECT_EQ(write(kClient, kDdns, "DDNSStatus", g_variant_new_byte(1)).first, kInvalidArgs);
}

TEST_F(DdnsTunnelTest, AChangedClientIsStoredAndAppliedOnceWithoutASignal) {
  SignalWatcher changes(client(), "com.wqx.igd1.Properties", "PropertiesChanged", kClient);
  int64_t start = journal_end();
  ASSERT_EQ(set_client("DDNSDomainName", "example-home.net"), Error());
  EXPECT_EQ(applied_since(start), 1);
  EXPECT_EQ(cell("ddns", 1, "DomainName"), "example-home.net");

  start = journal_end();
  ASSERT_EQ(set_client("DDNSDomainName", "example-home.net"), Error());
  EXPECT_EQ(applied_since(start), 0);
  EXPECT_EQ(changes.wait(200ms).body, nullptr);

  mib::fail_accessor("ddnsServer_update_entry");
  EXPECT_EQ(set_client("DDNSDomainName", "other.net"),
            Error("org.freedesktop.DBus.Error.Failed",
                  std::string("fail to update mib for object patch ") + kClient));
  mib::clear_failures();
  EXPECT_EQ(shown(kClient, kDdns, "DDNSDomainName"), "'example-home.net'");
  EXPECT_EQ(applied_since(start), 0);
}

// Reads and writes are served by the module's own handlers and writer.
TEST_F(DdnsTunnelTest, TheModulesNamedHandlersServeItsClients) {
  g_autoptr(GError) error = nullptr;
  const std::string gone = std::string(kClients) + "/9";
  EXPECT_EQ(DDNSServer_handle_get_property(nullptr, nullptr, gone.c_str(), kDdns, "DDNSIP", &error,
                                           nullptr),
            nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(error->message, "func [DDNSServer_handle_get_property] :invalid list num  9 ");
  g_clear_error(&error);
  ddns_server_row row = {};
  int changed = -1;
  Variant empty(g_variant_ref_sink(g_variant_new_string("")));
  EXPECT_FALSE(DDNSServer_set_property("DDNSProvider", empty.get(), &changed, &error, &row, 0));
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(error->message, "Invalid parameter DDNSProvider");
  Variant port(g_variant_ref_sink(g_variant_new_uint32(8080)));
  EXPECT_TRUE(DDNSServer_set_property("ServicePort", port.get(), &changed, nullptr, &row, 0));
  EXPECT_EQ(changed, 1);
  EXPECT_EQ(row.service_port, 8080);
}

// The status fields are the client's: every read asks for them anew.
TEST_F(DdnsTunnelTest, TheStatusIsReadFromTheClientAtEveryRead) {
  EXPECT_EQ(shown(kClient, kDdns, "DDNSStatus"), "byte 0x01");
  EXPECT_EQ(shown(kClient, kDdns, "DDNSIP"), "'100.72.18.44'");
  ASSERT_TRUE(mib::set_cell("wanconn", 1, "IPv4Status", "1"));
  EXPECT_EQ(shown(kClient, kDdns, "DDNSStatus"), "byte 0x02");
  EXPECT_EQ(shown(kClient, kDdns, "DDNSErrMsg"), "'internet connection down'");
  ASSERT_EQ(write(kClient, kDdns, "DDNSCfgEnabled", g_variant_new_boolean(false)), Error());
  EXPECT_EQ(shown(kClient, kDdns, "DDNSStatus"), "byte 0x00");
  EXPECT_EQ(shown(kClient, kDdns, "DDNSIP"), "''");
}

TEST_F(DdnsTunnelTest, DeletingAClientAppliesOnlyWhenItWasEnabled) {
  const std::string added = add_child(kClients);
  ASSERT_EQ(added, std::string(kClients) + "/2");
  int64_t start = journal_end();
  ASSERT_EQ(remove(kClients, added), Error());
  EXPECT_EQ(applied_since(start), 0);
  EXPECT_FALSE(mib::table_row(*mib::find_table("ddns"), 2).has_value());

  start = journal_end();
  ASSERT_EQ(remove(kClients, kClient), Error());
  EXPECT_EQ(applied_since(start), 1);
  EXPECT_EQ(remove(kClients, kClient),
            Error(kManagerError, "DeleteObject object path error"));
  mib::fail_accessor("ddnsServer_insert_entry");
  EXPECT_EQ(add(kClients).second,
            Error(kManagerError, "Add DDNSServer object fail !!"));
}

TEST_F(DdnsTunnelTest, TunnelServerAndDomainsKeepTheirRoom) {
  const std::string server31(31, '1');
  EXPECT_EQ(write(kTunnel, kTunnelInterface, "ServerIP", g_variant_new_string((server31 + "1").c_str())),
            Error(kInvalidArgs, "Invalid parameter value for ServerIP"));
  EXPECT_EQ(write(kTunnel, kTunnelInterface, "ServerIP", g_variant_new_string(server31.c_str())),
            Error());
  EXPECT_EQ(cell("dnstunnel", 1, "ServerIP"), server31);

  auto domains = [&](std::initializer_list<std::string> list) {
    std::vector<const char *> items;
    for (const std::string &item : list) items.push_back(item.c_str());
    return write(kTunnel, kTunnelInterface, "DomainName",
               g_variant_new_strv(items.data(), gssize(items.size())));
  };
  const Error refused(kInvalidArgs, "Invalid parameter value for DomainName");
  EXPECT_EQ(domains({std::string(511, 'a')}), refused);
  EXPECT_EQ(domains({std::string(256, 'a'), std::string(255, 'b')}), refused);
  EXPECT_EQ(domains({"a;b"}), refused);
  EXPECT_EQ(cell("dnstunnel", 1, "DomainName"), "voip.wqx-net.cn;ims.wqx-net.cn");
  EXPECT_EQ(domains({std::string(510, 'a')}), Error());
  // Two domains may fill the room with their separator.
  EXPECT_EQ(domains({std::string(255, 'a'), std::string(255, 'b')}), Error());
  EXPECT_EQ(cell("dnstunnel", 1, "DomainName").size(), 511u);
  EXPECT_EQ(domains({"a.example", "b.example"}), Error());
  EXPECT_EQ(shown(kTunnel, kTunnelInterface, "DomainName"), "['a.example', 'b.example']");

  // A domain that is not valid text is left out of the list.
  ASSERT_TRUE(mib::set_cell("dnstunnel", 1, "DomainName", "a.example;b\xff;c.example"));
  EXPECT_EQ(shown(kTunnel, kTunnelInterface, "DomainName"), "['a.example', 'c.example']");
}

TEST_F(DdnsTunnelTest, TunnelsAreAddedAndDeletedBesideTheDnsServerObject) {
  const std::string added = add_child(kDns);
  ASSERT_EQ(added, std::string(kDns) + "/2");
  EXPECT_EQ(shown(added.c_str(), kTunnelInterface, "DomainName"), "@as []");
  ASSERT_EQ(remove(kDns, added), Error());
  EXPECT_FALSE(mib::table_row(*mib::find_table("dnstunnel"), 2).has_value());
  EXPECT_EQ(remove(kDns, "/com/wqx/igd1/Network/dnsv6/1"),
            Error(kManagerError, "DeleteObject object path error"));
}

}  // namespace
}  // namespace igd1::test
