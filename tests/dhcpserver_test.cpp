// The DHCP server object over the bus, against the SQLite store.

#include "dhcpserver.h"
#include "object_client.h"

namespace igd1::test {
namespace {

constexpr char kPath[] = "/com/wqx/igd1/Config/DHCPServer";
constexpr char kInterface[] = "com.wqx.igd1.DHCPServer";
constexpr ObjectUnderTest kServer{kPath, kInterface};

class DhcpServerTest : public OneObjectTest<kServer> {
 protected:
  // Writes `value` (GVariant text); returns the InvalidArgs message, "" when accepted.
  std::string write(const char *name, const char *value) {
    g_autoptr(GError) error = nullptr;
    if (set_property(kPath, kInterface, name, g_variant_new_parsed(value), &error)) return "";
    auto [code, message] = remote_error(error);
    EXPECT_EQ(code, kInvalidArgs) << name;
    return message;
  }
};

// Each write, under either name: refused with its text (nothing stored,
// noticed or announced) or stored, noticed once and announced as written.
TEST_F(DhcpServerTest, WritesAreCheckedStoredNoticedAndAnnounced) {
  const struct { const char *name, *value, *error, *read_as, *reads; } cases[] = {
      {"Enable", "true", "", "DHCPServerEnable", "true"},
      {"DHCPServerEnable", "false", "", "Enable", "false"},
      {"LeaseTime", "uint32 7200", "Invalid parameter value ,path 7200", "DHCPDuration", "uint32 86400"},
      {"DHCPDuration", "uint32 60", "", "LeaseTime", "uint32 60"},
      {"LeaseTime", "uint32 604800", "", "LeaseTime", "uint32 604800"},
      {"MinAddress", "'192.168.1.300'", "Invalid parameter value ,path 192.168.1.300", "MinAddress",
       "'192.168.1.2'"},
      {"SubnetMask", "''", "Invalid parameter value ,path ", "Submask", "'255.255.255.0'"},
      {"MinAddress", "'0x0A.1'", "", "DHCPStartIP", "'10.0.0.1'"},  // the classic parser
      {"MaxAddress", "'10.0.0.200'", "", "DHCPEndIP", "'10.0.0.200'"},
  };
  SignalWatcher watcher(client(), kProps, "PropertiesChanged", kPath);
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.name) + " = " + c.value);
    const int64_t before = journal_end();
    EXPECT_EQ(write(c.name, c.value), c.error);
    EXPECT_EQ(read(c.read_as), c.reads);
    if (*c.error != '\0') {
      EXPECT_THAT(notices_since(before), IsEmpty());
      continue;
    }
    EXPECT_THAT(notices_since(before), ElementsAre(Pair(8u, 255)));
    EXPECT_EQ(printed(watcher.wait().body.get()),
              std::string("('com.wqx.igd1.DHCPServer', {'") + c.name + "': <" + c.value + ">}, @as [])");
  }
  EXPECT_FALSE(watcher.wait(200ms).body);
  // Enable is stored as 2; any non-zero value reads true.
  ASSERT_EQ(write("Enable", "true"), "");
  EXPECT_EQ(setting("dhcpserver.Enable"), "2");
  ASSERT_TRUE(mib::set_setting("dhcpserver.Enable", "1"));
  EXPECT_EQ(read("Enable"), "true");
}

TEST_F(DhcpServerTest, LanAddressChangeIsBracketedByItsNotices) {
  int64_t before = journal_end();
  ASSERT_EQ(write("IPAddr", "'192.168.8.1'"), "");
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(8u, 1), Pair(8u, 2), Pair(8u, 3), Pair(8u, 255)));
  EXPECT_EQ(mib::journal(before)[2].data, "192.168.8.1");
  EXPECT_EQ(read("LocalIP"), "'192.168.8.1'");

  // The main address failing fails the call as a whole: its opening notice
  // and the stored copy are rolled back with it.
  const std::string copy = setting("dhcpserver.GatewayAddress");
  mib::fail_accessor("dhcpserver_set_mib_property", 3);
  before = journal_end();
  EXPECT_EQ(write("LocalIP", "'192.168.9.1'"), "set LocalIP fail");
  EXPECT_THAT(notices_since(before), IsEmpty());
  EXPECT_EQ(read("IPAddr"), "'192.168.8.1'");
  EXPECT_EQ(setting("dhcpserver.GatewayAddress"), copy);
  mib::clear_failures();

  // The address copy failing alone does not stop the write.
  mib::fail_accessor("dhcpserver_set_mib_property", 4);
  ASSERT_EQ(write("LocalIP", "'192.168.9.1'"), "");
  EXPECT_EQ(read("IPAddr"), "'192.168.9.1'");
}

TEST_F(DhcpServerTest, WritePermissionZeroRefusesEveryWrite) {
  ASSERT_TRUE(mib::set_setting("dhcpserver.WritePermission", "0"));
  const int64_t before = journal_end();
  const char denied[] = "Request denied ,path /com/wqx/igd1/Config/DHCPServer";
  EXPECT_EQ(write("LeaseTime", "uint32 60"), denied);
  EXPECT_EQ(set_multi(dictionary({{"LeaseTime", g_variant_new_uint32(60)}})), InvalidArgs(denied));
  EXPECT_EQ(setting("dhcpserver.LeaseTime"), "86400");
  EXPECT_THAT(notices_since(before), IsEmpty());
}

// The other entries are stored and announced in one signal; the request
// succeeds and the first failure is logged by the host.
TEST_F(DhcpServerTest, MultiWriteStoresWhatItCanAndAnnouncesItOnce) {
  SignalWatcher watcher(client(), kProps, "PropertiesChanged", kPath);
  int64_t before = journal_end();
  ASSERT_EQ(set_multi(dictionary({{"Enable", g_variant_new_boolean(TRUE)},
                                  {"NoSuchThing", g_variant_new_uint32(1)},
                                  {"LeaseTime", g_variant_new_uint32(7)},
                                  {"MaxAddress", g_variant_new_string("192.168.1.99")}})),
            Error());
  EXPECT_EQ(printed(watcher.wait().body.get()),
            "('com.wqx.igd1.DHCPServer', {'Enable': <true>, 'MaxAddress': <'192.168.1.99'>}, @as [])");
  EXPECT_FALSE(watcher.wait(200ms).body);
  EXPECT_EQ(setting("dhcpserver.Enable"), "2");
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(8u, 255)));
  const std::string log = syslog();
  EXPECT_THAT(log, HasSubstr("SetMulti com.wqx.igd1.DHCPServer on " + std::string(kPath) +
                             ": invalid property NoSuchThing\r\n"));
  EXPECT_THAT(log, Not(HasSubstr(": Invalid parameter value ,path 7")));

  // The handler answers success alone: what an entry reported is logged, not
  // left in the error location beside a TRUE.
  loop_->run([&] {
    GError *direct = nullptr;
    g_autoptr(GVariant) entries =
        g_variant_ref_sink(dictionary({{"NoSuchThing", g_variant_new_uint32(1)}}));
    EXPECT_TRUE(dhcp_server_handle_set_multi_properties(client(), nullptr, kPath, kInterface,
                                                        entries, &direct, nullptr));
    EXPECT_EQ(direct, nullptr) << direct->message;
    g_clear_error(&direct);
  });

  // Nothing stored: the notice still goes out, no signal does.
  before = journal_end();
  ASSERT_EQ(set_multi(dictionary({{"LeaseTime", g_variant_new_uint32(5)}})), Error());
  EXPECT_FALSE(watcher.wait(200ms).body);
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(8u, 255)));
}

TEST_F(DhcpServerTest, PublishesSetMultiAndAnswersGetAllUnderBothNames) {
  std::string xml = introspect(kPath);
  EXPECT_THAT(xml, HasSubstr("<interface name=\"com.wqx.igd1.Properties\">"));
  EXPECT_THAT(xml, HasSubstr("<method name=\"SetMulti\">"));
  EXPECT_THAT(xml, HasSubstr("<signal name=\"PropertiesChanged\">"));
  EXPECT_EQ(BusTest::set_multi(kPath, "com.wqx.igd1.Nothing", dictionary({})).first, kInvalidArgs);

  const std::string all = get_all(kPath, kInterface);
  EXPECT_THAT(all, HasSubstr("'Submask': <'255.255.255.0'>"));
  EXPECT_THAT(all, HasSubstr("'SubnetMask': <'255.255.255.0'>"));
}

}  // namespace
}  // namespace igd1::test
