// The WAN connection database and the special-service routes over the bus:
// values that depend on a family being up, the look-ups of the manager's own
// interface, the refusals of the manager, the live counters, and children
// that follow the store's rows.

#include "harness/bus_fixture.h"
#include "wanconnectioninfo.h"

namespace igd1::test {
namespace {

constexpr char kDb[] = "/com/wqx/igd1/Info/Network/WANConnectionDb";
constexpr char kChild[] = "com.wqx.igd1.WANConnectionInfo";
constexpr char kDbInterface[] = "com.wqx.igd1.WANConnectionDb";
constexpr char kRoutes[] = "/com/wqx/igd1/SpecialServiceVR";

class WanDbTest : public BusTest {
 protected:
  std::string child(int instance) { return std::string(kDb) + "/" + std::to_string(instance); }
  std::string read(int instance, const char *name) { return shown(child(instance), kChild, name); }
  uint64_t counter(int instance, const char *name) {
    Variant value = get_property(child(instance).c_str(), kChild, name);
    return value ? g_variant_get_uint64(value.get()) : 0;
  }
  void set_cell(int instance, const char *column, const char *value) {
    ASSERT_TRUE(mib::set_cell("wanconn", instance, column, value)) << column;
  }
  uint64_t stored(int instance, const char *column) {
    return std::stoull(mib::get_cell("wanconn", instance, column).value_or("0"));
  }
  std::string lookup(const char *method, GVariant *args) { return answer(kDb, kDbInterface, method, args); }
};

TEST_F(WanDbTest, AddressesAndDetailsReadAsZeroWhileTheirFamilyIsDown) {
  const struct { int row; const char *name, *value; } reads[] = {
      // The internet connection: both families up.
      {1, "Index", "'1'"}, {1, "WANName", "'1_TR069_INTERNET_R_VID_41'"},
      {1, "ConnectionStatus", "'Connected'"}, {1, "IPAddress", "'100.72.18.44'"},
      {1, "Gateway", "'100.72.0.1'"}, {1, "IPv6_Prefix", "'240e:3a1:4c2:b100::/56'"},
      {1, "IPv6_PrefixLength", "'56'"}, {1, "IPv6_PrefixOrigin", "'PrefixDelegation'"},
      {1, "IPv6_PrefixVltime", "uint32 7200"}, {1, "ServiceList", "'TR069_INTERNET'"},
      {2, "VLANID", "uint32 45"}, {2, "VLAN8021P", "uint32 5"}, {1, "NPTv6Enable", "false"},
      // IPTV: IPv4 still connecting, IPv6 up.
      {3, "ConnectionStatus", "'Connecting'"}, {3, "IPAddress", "'0.0.0.0'"},
      {3, "SubnetMask", "'0.0.0.0'"}, {3, "IPv6_IPAddress", "'240e:3a1:9000:12::77'"},
      // Voice: IPv6 down.
      {2, "IPv6_ConnectionStatus", "'Disconnected'"}, {2, "IPv6_Prefix", "'::/0'"},
      {2, "IPv6_PrefixLength", "'0'"}, {2, "IPv6_IPAddress", "'::'"}, {2, "IPv6_Gateway", "'::'"},
      {2, "IPv6_AddressOrigin", "''"}, {2, "IPv6_PrefixPltime", "uint32 0"},
      {2, "DSLite_AftrMode", "byte 0x00"},
  };
  for (const auto &r : reads) EXPECT_EQ(read(r.row, r.name), r.value) << r.row << " " << r.name;
  // Counters count on either family.
  EXPECT_GE(counter(3, "RxBytes"), stored(3, "RxBytes"));
  EXPECT_GT(stored(3, "RxBytes"), 0u);

  // Both families down: no traffic.  An up family without an address, a
  // prefix of length 0, a pass-through flag other than 1.
  set_cell(2, "IPv4Status", "6");
  EXPECT_EQ(read(2, "RxBytes"), "uint64 0");
  EXPECT_EQ(read(2, "TxPkts"), "uint64 0");
  set_cell(1, "IPAddress", "0.0.0.0");
  set_cell(1, "IPv6PrefixLength", "0");
  set_cell(1, "PPPoEPassthrough", "2");
  EXPECT_EQ(read(1, "IPAddress"), "''");
  EXPECT_EQ(read(1, "IPv6_PrefixLength"), "''");
  EXPECT_EQ(read(1, "PPPoEPassthrough"), "false");
  set_cell(1, "PPPoEPassthrough", "1");
  EXPECT_EQ(read(1, "PPPoEPassthrough"), "true");
}

TEST_F(WanDbTest, LookupsAnswerThePathOrFailed) {
  const std::string found = "(objectpath '" + child(2) + "', uint32 0, 'success')";
  const std::string none = "(objectpath '/', uint32 1, 'failed')";
  EXPECT_EQ(lookup("GetWANConnByName", g_variant_new("(s)", "2_VOIP_R_VID_45")), found);
  EXPECT_EQ(lookup("GetWANConnByName", g_variant_new("(s)", "nosuch")), none);
  EXPECT_EQ(lookup("GetWANConnByName", g_variant_new("(s)", "2_VOIP_R_VID_4")), none);

  const std::string internet = "(objectpath '" + child(1) + "', uint32 0, 'success')";
  EXPECT_EQ(lookup("GetInternetConnIndex", nullptr), internet);
  // Down on both families it is still the only internet connection.
  set_cell(1, "IPv4Status", "1");
  set_cell(1, "IPv6Status", "1");
  EXPECT_EQ(lookup("GetInternetConnIndex", nullptr), internet);

  // A connection the gateway drops leaves the bus and the look-ups.
  SignalWatcher removed(client(), "org.freedesktop.DBus.ObjectManager", "InterfacesRemoved", kDb);
  ASSERT_TRUE(mib::table_remove(*mib::find_table("wanconn"), 1));
  EXPECT_THAT(printed(removed.wait().body.get()), HasSubstr(child(1)));
  EXPECT_EQ(lookup("GetInternetConnIndex", nullptr), none);
  EXPECT_THAT(managed(kDb), Not(HasSubstr(child(1) + "'")));
  EXPECT_THAT(managed(kDb), HasSubstr(child(3)));
}

TEST_F(WanDbTest, TheManagerRefusesChangesAndCarriesItsOwnInterface) {
  EXPECT_EQ(add(kDb).second,
            Error(kFailed, "##########not support to AddObject yet"));
  EXPECT_EQ(remove(kDb, child(1)),
            Error(kFailed, "##########not support to DeleteObject yet"));
  const std::string xml = introspect(kDb);
  EXPECT_THAT(xml, HasSubstr("com.wqx.igd1.WANConnectionDb"));
  EXPECT_THAT(xml, HasSubstr("com.wqx.igd1.ObjectManager"));
  g_autoptr(GError) error = nullptr;
  EXPECT_FALSE(set_property(child(1).c_str(), kChild, "IPAddress", g_variant_new_string("1.2.3.4"),
                            &error));
  EXPECT_EQ(mib::get_cell("wanconn", 1, "IPAddress"), "100.72.18.44");
}

// The reader the manager's children are served by names a path that
// carries no connection (the bus itself never routes such a path to it).
TEST_F(WanDbTest, AReadOfAPathWithoutAConnectionNamesThePath) {
  loop_->run([&] {
    for (const std::string &path : {child(9), child(0), std::string(kDb) + "/1/x"}) {
      g_autoptr(GError) error = nullptr;
      GVariant *value = wan_connection_info_interface_get_property(
          nullptr, nullptr, path.c_str(), kChild, "Index", &error, nullptr);
      EXPECT_EQ(value, nullptr) << path;
      ASSERT_NE(error, nullptr) << path;
      EXPECT_STREQ(error->message, ("invalid object path " + path).c_str());
    }
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) index = wan_connection_info_interface_get_property(
        nullptr, nullptr, child(2).c_str(), kChild, "Index", &error, nullptr);
    ASSERT_NE(index, nullptr);
    EXPECT_STREQ(g_variant_get_string(index, nullptr), "2");
  });
}

// Every read brings the counters of a connection that is up to what the
// line carried; a conformance run sees the stored values.
TEST_F(WanDbTest, CountersAreLiveExceptDuringAConformanceRun) {
  const uint64_t before = stored(1, "RxBytes");
  EXPECT_GT(counter(1, "RxBytes"), before);
  EXPECT_GT(counter(1, "TxBytes"), stored(1, "TxBytes"));
  EXPECT_THAT(managed(kDb), Not(HasSubstr("uint64 " + std::to_string(before) + ">")));

  write_text_file(root().path(path::kCtsMarker), "");
  EXPECT_EQ(counter(1, "RxBytes"), before);
  EXPECT_THAT(managed(kDb), HasSubstr("<uint64 " + std::to_string(before) + ">"));
}

TEST_F(WanDbTest, SpecialServiceRoutesAreReadOnlyChildrenOfAPlainManager) {
  const std::string routes = managed(kRoutes);
  EXPECT_THAT(routes, HasSubstr("'IPForwardList': <'10.98.0.0/16,10.99.12.0/24'>"));
  EXPECT_THAT(routes, HasSubstr("'WANName': <'3_IPTV_R_VID_43'>"));
  EXPECT_THAT(introspect(kRoutes), Not(HasSubstr("com.wqx.igd1.ObjectManager")));
  EXPECT_NE(add(kRoutes).second, Error());

  // A route the gateway adds appears on the bus.
  SignalWatcher added(client(), "org.freedesktop.DBus.ObjectManager", "InterfacesAdded", kRoutes);
  const mib::TableDef &table = *mib::find_table("specialservicevr");
  std::vector<uint8_t> row(table.row_size, 0);
  row[0] = 7;
  ASSERT_TRUE(mib::table_insert_at(table, row.data()));
  ASSERT_TRUE(mib::set_cell("specialservicevr", 7, "IfName", "nas0_3"));
  EXPECT_THAT(printed(added.wait().body.get()), HasSubstr(std::string(kRoutes) + "/7"));
  Variant name = get_property((std::string(kRoutes) + "/7").c_str(), "com.wqx.igd1.SpecialServiceVR",
                              "IfName");
  ASSERT_TRUE(name);
  EXPECT_STREQ(g_variant_get_string(name.get(), nullptr), "nas0_3");
}

}  // namespace
}  // namespace igd1::test
