// The port-mapping collection over the bus: the object manager, its
// children, property checks and signals, against the SQLite store.

#include "harness/bus_fixture.h"
#include "store_fixture.h"

namespace igd1::test {
namespace {

constexpr char kManager[] = "/com/wqx/igd1/Config/PortMapping";
constexpr char kInterface[] = "com.wqx.igd1.PortMapping";

class PortMappingTest : public BusTest {
 protected:
  void configure(host::Options &options) override { options.service_type = service_type_; }

  // AddObject, then waits until the child is on the bus.
  std::string add_object() { return add_child(kManager); }

  std::string text(const std::string &child, const char *name) {
    return BusTest::text(child, kInterface, name);
  }
  Error set(const std::string &child, const char *name, GVariant *value) {
    return write(child, kInterface, name, value);
  }
  Error set_multi(const std::string &child, GVariant *properties) {
    return BusTest::set_multi(child, kInterface, properties);
  }
  static std::string cell(unsigned row, const char *column) {
    return BusTest::cell("portmapping", row, column);
  }

  int service_type_ = 0;
};

TEST_F(PortMappingTest, AddObjectExportsTheNewRowAndDeleteObjectRemovesIt) {
  std::string first = add_object();
  std::string second = add_object();
  EXPECT_EQ(first, std::string(kManager) + "/1");
  EXPECT_EQ(second, std::string(kManager) + "/2");

  EXPECT_THAT(managed(kManager),
              HasSubstr("'" + first + "': {'com.wqx.igd1.PortMapping': {'PortMappingEnabled': "
                        "<false>, 'Enable': <false>, 'PortMappingLeaseDuration': <uint32 0>"));
  EXPECT_THAT(introspect(kManager), HasSubstr("<interface name=\"com.wqx.igd1.ObjectManager\">"));

  SignalWatcher removed(client(), kFreedesktopManager, "InterfacesRemoved", kManager);
  ASSERT_EQ(remove(kManager, first), Error());
  EXPECT_THAT(printed(removed.wait().body.get()), HasSubstr(first));
  EXPECT_FALSE(mib::table_row(*mib::find_table("portmapping"), 1).has_value());

  // The freed number is the lowest free one again.
  EXPECT_EQ(add_object(), first);
}

// Damage found while serving is what a client hears of, not a complaint
// about the value it sent.
TEST_F(PortMappingTest, StoreDamagedWhileServingAnswersThatTheStoreIsDamaged) {
  std::string child = add_object();
  ASSERT_EQ(set(child, "ExternalPort", g_variant_new_uint32(8080)), Error());
  mib::test::damage_table(mib::store_path(), "portmapping");
  Error answer = set(child, "ExternalPort", g_variant_new_uint32(8081));
  EXPECT_EQ(answer.first, kFailed);
  EXPECT_THAT(answer.second, HasSubstr("the configuration store is damaged"));
  answer = set(child, "Description", g_variant_new_string("after the damage"));
  EXPECT_EQ(answer.first, kFailed);
}

// Paths of other objects, and numbers that are cut, wrapped or spelled
// otherwise, never reach a row; neither does a number whose row is gone.
TEST_F(PortMappingTest, DeleteObjectRefusesEveryPathThatNamesNoRow) {
  const mib::TableDef &table = *mib::find_table("portmapping");
  for (int n = 0; n < 255; ++n) {
    std::vector<uint8_t> row(table.row_size, 0);
    ASSERT_TRUE(mib::table_insert(table, row.data()));
  }
  ASSERT_EQ(mib::table_rows(table).size(), 255u);
  const std::string manager = kManager;
  const Error path_error(kManagerError, "DeleteObject object path error");
  for (const std::string &path :
       std::vector<std::string>{manager + "s/1", "/com/wqx/igd1/Config/1", manager, manager + "/0",
                                manager + "/4294967297", manager + "/4294967551", manager + "/256",
                                manager + "/01", manager + "/1x",
                                manager + "/0255", manager + "/" + std::string(168, '9'),
                                manager + "/" + std::string(167, '0') + "1"}) {
    EXPECT_EQ(remove(kManager, path), path_error) << path;
  }
  EXPECT_EQ(mib::table_rows(table).size(), 255u);
  EXPECT_TRUE(mib::table_row(table, 1).has_value());

  // The canonical path still is answered, once.
  ASSERT_EQ(remove(kManager, manager + "/255"), Error());
  EXPECT_FALSE(mib::table_row(table, 255).has_value());
  EXPECT_EQ(remove(kManager, manager + "/255"), path_error);

  // A method the collection does not serve is answered, not left to time out.
  EXPECT_EQ(failure_of(kManager, kManagerInterface, "RemoveAllObjects", nullptr).first,
            "org.freedesktop.DBus.Error.UnknownMethod");
}

TEST_F(PortMappingTest, RemovingAnEnabledRuleWithdrawsItsForwardingUnlessATestRuns) {
  std::string enabled = add_object();
  std::string disabled = add_object();
  std::string during_test = add_object();
  for (const std::string *child : {&enabled, &during_test})
    ASSERT_TRUE(set_property(child->c_str(), kInterface, "Enable", g_variant_new_boolean(TRUE)));

  auto withdrawals_after_delete = [&](const std::string &child) {
    int64_t start = journal_end();
    EXPECT_EQ(remove(kManager, child), Error());
    int withdrawals = 0;
    for (const auto &[bit, action] : notices_since(start))
      withdrawals += bit == mib::kPortForwardingNoticeBit && action == 3;
    return withdrawals;
  };
  EXPECT_EQ(withdrawals_after_delete(enabled), 1);
  EXPECT_EQ(withdrawals_after_delete(disabled), 0);
  write_text_file(root().path(path::kCtsMarker), "");
  EXPECT_EQ(withdrawals_after_delete(during_test), 0);
  EXPECT_TRUE(mib::table_rows(*mib::find_table("portmapping")).empty());
}

TEST_F(PortMappingTest, WritesAreCheckedStoredAndAnnounced) {
  std::string child = add_object();
  SignalWatcher changes(client(), "com.wqx.igd1.Properties", "PropertiesChanged", child.c_str());

  ASSERT_TRUE(set_property(child.c_str(), kInterface, "ExternalPort", g_variant_new_uint32(8080)));
  EXPECT_EQ(cell(1, "ExternalPort"), "8080");
  EXPECT_EQ(changes.next(), change_body(kInterface, "{'ExternalPort': <uint32 8080>}"));

  for (uint32_t port : {0u, 65536u}) {
    EXPECT_EQ(set(child, "ExternalPort", g_variant_new_uint32(port)),
              InvalidArgs("Invalid parameter value"));
  }
  EXPECT_EQ(set(child, "InternalClient", g_variant_new_string("")),
            InvalidArgs("Invalid parameter value"));
  EXPECT_EQ(set(child, "PortMappingProtocol", g_variant_new_string("Tcp")),
            InvalidArgs("Invalid parameter value"));
  EXPECT_EQ(cell(1, "ExternalPort"), "8080");

  // The same value again: nothing stored, nothing announced.
  int64_t start = journal_end();
  ASSERT_TRUE(set_property(child.c_str(), kInterface, "ExternalPort", g_variant_new_uint32(8080)));
  EXPECT_TRUE(notices_since(start).empty());

  ASSERT_TRUE(set_property(child.c_str(), kInterface, "PortMappingProtocol",
                           g_variant_new_string("both")));
  EXPECT_EQ(text(child, "PortMappingProtocol"), "BOTH");
  ASSERT_TRUE(set_property(child.c_str(), kInterface, "RemoteHost", g_variant_new_string("10.0.0.9")));
  ASSERT_TRUE(set_property(child.c_str(), kInterface, "RemoteHost", g_variant_new_string("")));
  EXPECT_EQ(text(child, "RemoteHost"), "0.0.0.0");
  const std::string long_text(70, 'd');
  ASSERT_TRUE(set_property(child.c_str(), kInterface, "Description",
                           g_variant_new_string(long_text.c_str())));
  EXPECT_EQ(text(child, "PortMappingDescription"), long_text.substr(0, 58));
  std::vector<std::pair<uint32_t, int>> notices = notices_since(start);
  EXPECT_EQ(std::count(notices.begin(), notices.end(), std::make_pair(uint32_t{0x2000}, 0)), 4);

  // The long lease name is for reading only.
  EXPECT_EQ(changes.pending(), 4u);
  EXPECT_EQ(set_multi(child, dictionary({{"PortMappingLeaseDuration", g_variant_new_uint32(5)}})),
            InvalidArgs("invalid property PortMappingLeaseDuration"));
}

TEST_F(PortMappingTest, MultiWriteIsAllOrNothingWithOneSignal) {
  std::string child = add_object();
  SignalWatcher changes(client(), "com.wqx.igd1.Properties", "PropertiesChanged", child.c_str());
  std::vector<uint8_t> before = *mib::table_row(*mib::find_table("portmapping"), 1);

  EXPECT_EQ(set_multi(child, dictionary({{"InternalPort", g_variant_new_uint32(80)},
                                         {"ExternalPort", g_variant_new_uint32(0)},
                                         {"Enable", g_variant_new_boolean(TRUE)}})),
            InvalidArgs("Invalid parameter value"));
  EXPECT_EQ(*mib::table_row(*mib::find_table("portmapping"), 1), before);

  ASSERT_EQ(set_multi(child, dictionary({{"InternalPort", g_variant_new_uint32(80)},
                                         {"InternalClient", g_variant_new_string("192.168.1.20")},
                                         {"LeaseDuration", g_variant_new_uint32(0)}})),
            Error());
  EXPECT_EQ(printed(changes.wait().body.get()),
            "('com.wqx.igd1.PortMapping', {'InternalPort': <uint32 80>, 'InternalClient': "
            "<'192.168.1.20'>}, @as [])");
  EXPECT_EQ(changes.pending(), 0u);
  EXPECT_EQ(cell(1, "InternalClient"), "192.168.1.20");
}

class PortMappingServiceType1Test : public PortMappingTest {
 protected:
  PortMappingServiceType1Test() { service_type_ = 1; }
};

TEST_F(PortMappingServiceType1Test, WritesAreStoredButNotAnnounced) {
  std::string child = add_object();
  SignalWatcher changes(client(), "com.wqx.igd1.Properties", "PropertiesChanged", child.c_str());
  ASSERT_TRUE(set_property(child.c_str(), kInterface, "InternalPort", g_variant_new_uint32(443)));
  ASSERT_EQ(set_multi(child, dictionary({{"ExternalPort", g_variant_new_uint32(8443)}})), Error());
  EXPECT_EQ(cell(1, "InternalPort"), "443");
  EXPECT_EQ(cell(1, "ExternalPort"), "8443");
  EXPECT_EQ(changes.wait(std::chrono::milliseconds(200)).body, nullptr);
}

}  // namespace
}  // namespace igd1::test
