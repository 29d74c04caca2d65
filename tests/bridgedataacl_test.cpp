// The bridge data access list over the bus: rules checked by the store
// before anything is stored, each stored change applied once, nothing
// announced, all-or-nothing multi-writes, strict child paths.

#include "harness/bus_fixture.h"
#include "mib_api.h"

namespace igd1::test {
namespace {

constexpr char kManager[] = "/com/wqx/igd1/Ovatrix/BridgeData/ACL";
constexpr char kInterface[] = "com.wqx.igd1.BridgeDataAcl";

class BridgeDataAclTest : public BusTest {
 protected:
  std::string add_object() { return add_child(kManager); }
  Error delete_object(const std::string &path) { return remove(kManager, path); }
  Error set(const std::string &child, const char *name, const char *value) {
    return write(child, kInterface, name, g_variant_new_string(value));
  }
  Error set_multi(const std::string &child, GVariant *entries) {
    return BusTest::set_multi(child, kInterface, entries);
  }
  std::string text(const std::string &child, const char *name) {
    return BusTest::text(child, kInterface, name);
  }
  static std::string cell(unsigned row, const char *column) {
    return BusTest::cell("bridgedataacl", row, column);
  }
  // How often the list was applied since `seq`.
  int applied_since(int64_t seq) { return applies_since(seq, MIB_CFG_BRIDGE_DATA_ACL); }
  static uint64_t commits() { return BusTest::commits("bridgedataacl"); }
};

TEST_F(BridgeDataAclTest, ChangedValuesAreStoredAndAppliedOnceAndNeverAnnounced) {
  const std::string rule = add_object();
  EXPECT_EQ(rule, std::string(kManager) + "/1");
  EXPECT_EQ(text(rule, "IP"), "");
  SignalWatcher changes(client(), "com.wqx.igd1.Properties", "PropertiesChanged", rule.c_str());

  int64_t start = journal_end();
  ASSERT_EQ(set(rule, "Port", "8080"), Error());
  EXPECT_EQ(applied_since(start), 1);
  EXPECT_EQ(cell(1, "Port"), "8080");

  // The current value again: accepted, no commit, nothing applied.
  start = journal_end();
  const uint64_t before = commits();
  ASSERT_EQ(set(rule, "Port", "8080"), Error());
  EXPECT_EQ(commits(), before);
  EXPECT_EQ(applied_since(start), 0);

  for (const char *address : {"192.168.1.10", "fe80::1", "2001:db8::8:800:200c:417a"}) {
    ASSERT_EQ(set(rule, "IP", address), Error()) << address;
    EXPECT_EQ(text(rule, "IP"), address);
  }
  for (const char *protocol : {"TCP", "UDP", "ICMP", "ALL"})
    ASSERT_EQ(set(rule, "Protocol", protocol), Error()) << protocol;
  EXPECT_EQ(changes.wait(200ms).body, nullptr);
}

// These values feed the bridge's filter rules: the store refuses them
// before anything is stored or applied.
TEST_F(BridgeDataAclTest, TheStoreRefusesAddressesPortsAndProtocolsOutsideItsRules) {
  const std::string rule = add_object();
  ASSERT_EQ(set_multi(rule, dictionary({{"IP", g_variant_new_string("10.0.0.1")},
                                        {"Port", g_variant_new_string("53")},
                                        {"Protocol", g_variant_new_string("UDP")}})),
            Error());
  const int64_t start = journal_end();
  const Error refused(kInvalidArgs, "Invalid parameter value");
  const struct {
    const char *name;
    std::vector<const char *> values;
  } cases[] = {
      {"IP", {"abc", "", "300.1.1.1", "10.0.0", "10.0.0.1 ", "fe80::1::2", "10.0.0.1/24"}},
      {"Port", {"0", "65536", "abc", "", "080", "+80", "-1", " 80", "80 ", "99999999999"}},
      {"Protocol", {"tcp", "SCTP", "", "TCP ", "BOTH"}},
  };
  for (const auto &c : cases)
    for (const char *value : c.values) EXPECT_EQ(set(rule, c.name, value), refused) << value;
  EXPECT_EQ(cell(1, "IP"), "10.0.0.1");
  EXPECT_EQ(cell(1, "Port"), "53");
  EXPECT_EQ(cell(1, "Protocol"), "UDP");
  EXPECT_EQ(applied_since(start), 0);

  EXPECT_EQ(set_multi(rule, dictionary({{"Mask", g_variant_new_string("x")}})),
            Error(kInvalidArgs, "Invalid property Mask"));
  EXPECT_EQ(set_multi(rule, dictionary({{"Port", g_variant_new_uint32(80)}})).first, kInvalidArgs);
}

TEST_F(BridgeDataAclTest, MultiWriteIsAllOrNothingAndAppliesOnce) {
  const std::string rule = add_object();
  ASSERT_EQ(set(rule, "IP", "192.168.1.2"), Error());
  int64_t start = journal_end();
  EXPECT_EQ(set_multi(rule, dictionary({{"IP", g_variant_new_string("192.168.1.3")},
                                        {"Port", g_variant_new_string("abc")}})),
            Error(kInvalidArgs, "Invalid parameter value"));
  EXPECT_EQ(text(rule, "IP"), "192.168.1.2");
  EXPECT_EQ(cell(1, "IP"), "192.168.1.2");
  EXPECT_EQ(applied_since(start), 0);

  start = journal_end();
  ASSERT_EQ(set_multi(rule, dictionary({{"IP", g_variant_new_string("192.168.1.3")},
                                        {"Port", g_variant_new_string("443")},
                                        {"Protocol", g_variant_new_string("TCP")}})),
            Error());
  EXPECT_EQ(applied_since(start), 1);
  EXPECT_EQ(cell(1, "IP"), "192.168.1.3");
  EXPECT_EQ(cell(1, "Port"), "443");
  EXPECT_EQ(cell(1, "Protocol"), "TCP");
}

// A refused commit answers an error; the bus, the cache and the database
// keep the old value.
TEST_F(BridgeDataAclTest, ARefusedCommitIsAnErrorAndLeavesTheOldValue) {
  const std::string rule = add_object();
  ASSERT_EQ(set(rule, "Port", "22"), Error());
  const int64_t start = journal_end();
  mib::fail_accessor("BridgeDataAcl_update_entry_mib");
  EXPECT_EQ(set(rule, "Port", "23"),
            Error("org.freedesktop.DBus.Error.Failed", "Fail to update entry"));
  mib::clear_failures();
  EXPECT_EQ(text(rule, "Port"), "22");
  EXPECT_EQ(cell(1, "Port"), "22");
  EXPECT_EQ(applied_since(start), 0);
  ASSERT_EQ(set(rule, "Port", "23"), Error());
  EXPECT_EQ(text(rule, "Port"), "23");

  // A list that cannot be applied is reported too, and the rule stays as
  // it was: the row and its application stand or fall together.
  mib::fail_accessor("BridgeDataAcl_apply_change");
  EXPECT_EQ(set(rule, "Port", "24"),
            Error("org.freedesktop.DBus.Error.Failed", "Fail to apply change"));
  mib::clear_failures();
  EXPECT_EQ(cell(1, "Port"), "23");
  EXPECT_EQ(text(rule, "Port"), "23");
}

TEST_F(BridgeDataAclTest, DeleteObjectChecksThePathAndReappliesTheList) {
  const std::string rule = add_object();
  const std::string manager = kManager;
  const Error path_error(kManagerError, "DeleteObject BridgeDataAcl object path error");
  int64_t start = journal_end();
  for (const std::string &path : {manager + "/0", manager + "/01", manager + "/2",
                                  manager + "/257", manager + "/4294967297",
                                  std::string("/com/wqx/igd1/Ovatrix/BridgeData/1")})
    EXPECT_EQ(delete_object(path), path_error) << path;
  EXPECT_EQ(applied_since(start), 0);
  EXPECT_TRUE(mib::table_row(*mib::find_table("bridgedataacl"), 1).has_value());

  mib::fail_accessor("BridgeDataAcl_remove_entry");
  EXPECT_EQ(delete_object(rule), Error(kManagerError, "Delete BridgeDataAcl Object error"));
  mib::clear_failures();

  SignalWatcher removed(client(), kFreedesktopManager, "InterfacesRemoved", kManager);
  ASSERT_EQ(delete_object(rule), Error());
  EXPECT_THAT(printed(removed.wait().body.get()), HasSubstr(rule));
  EXPECT_EQ(applied_since(start), 1);
  EXPECT_FALSE(mib::table_row(*mib::find_table("bridgedataacl"), 1).has_value());

  mib::fail_accessor("BridgeDataAcl_insert_entry");
  EXPECT_EQ(add(kManager).second, Error(kManagerError, "AddObject BridgeDataAcl object fail"));
  mib::clear_failures();
}

}  // namespace
}  // namespace igd1::test
