// Hardware-acceleration cancel over the bus: the feature's object with its
// inverted store convention, rules published outside their manager's path,
// each rule change stored, announced, saved and applied, and flushes that
// reach the packet engine and the journal.

#include "harness/bus_fixture.h"
#include "mib_api.h"
#include "mib_filters.h"

namespace igd1::test {
namespace {

constexpr char kFeature[] = "/com/wqx/igd1/HardAccCancel";
constexpr char kFeatureInterface[] = "com.wqx.igd1.HardAccCancelManager";
constexpr char kManager[] = "/com/wqx/igd1/Config/HardAccCancel";
constexpr char kRuleInterface[] = "com.wqx.igd1.HardAccCancel";

class HardAccTest : public BusTest {
 protected:
  Error read_error(const std::string &path, const char *interface, const char *name) {
    g_autoptr(GError) error = nullptr;
    Variant value = get_property(path.c_str(), interface, name, &error);
    return value == nullptr ? remote_error(error) : Error();
  }
  std::pair<uint32_t, std::string> flush(const char *method, GVariant *args) {
    Variant reply = call(kFeature, kFeatureInterface, method, args, nullptr);
    if (reply == nullptr) return {0, "<error>"};
    guint32 result = 0;
    const gchar *message = nullptr;
    g_variant_get(reply.get(), "(u&s)", &result, &message);
    return {result, message};
  }
};

TEST_F(HardAccTest, TheFeatureSwitchAndLimitAreStoredAnnouncedAndSavedOnce) {
  EXPECT_EQ(shown(kFeature, kFeatureInterface, "HACancelMaxNumber"), "uint32 32");
  // A new store holds one (disabled) rule.
  EXPECT_EQ(shown(kFeature, kFeatureInterface, "HACancelListNumber"), "uint32 1");

  SignalWatcher changes(client(), "com.wqx.igd1.Properties", "PropertiesChanged", kFeature);
  int64_t start = journal_end();
  ASSERT_EQ(write(kFeature, kFeatureInterface, "HACancelMaxNumber", g_variant_new_uint32(8)),
            Error());
  EXPECT_EQ(changes.next(), change_body(kFeatureInterface, "{'HACancelMaxNumber': <uint32 8>}"));
  EXPECT_EQ(changes.wait(200ms).body, nullptr);
  std::vector<std::string> lines = journal_lines(start, MIB_CFG_HARDACC);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "hardacc Enable=0 MaxNumber=8");
  EXPECT_THAT(lines[1], HasSubstr("saved"));
  EXPECT_EQ(shown(kFeature, kFeatureInterface, "HACancelMaxNumber"), "uint32 8");

  // The store refuses a limit outside 1-64; a multi-write keeps the other pair.
  EXPECT_EQ(write(kFeature, kFeatureInterface, "HACancelMaxNumber", g_variant_new_uint32(65)),
            Error(kInvalidArgs, "set HACancelMaxNumber fail"));
  EXPECT_EQ(set_multi(kFeature, kFeatureInterface,
                      dictionary({{"HACancelListNumber", g_variant_new_uint32(3)}})),
            Error());  // the pair is left out; nothing else to store
  EXPECT_EQ(shown(kFeature, kFeatureInterface, "HACancelListNumber"), "uint32 1");
  start = journal_end();
  ASSERT_EQ(set_multi(kFeature, kFeatureInterface,
                      dictionary({{"Enable", g_variant_new_boolean(TRUE)},
                                  {"HACancelMaxNumber", g_variant_new_uint32(0)}})),
            Error());
  EXPECT_EQ(changes.next(), change_body(kFeatureInterface, "{'Enable': <true>}"));
  EXPECT_EQ(journal_lines(start, MIB_CFG_HARDACC).size(), 2u);

  mib::fail_accessor("HardAccCancelManager_get_mib_property");
  EXPECT_EQ(read_error(kFeature, kFeatureInterface, "Enable"),
            Error(kInvalidArgs, "invalid value of Enable"));
  mib::clear_failures();
}

TEST_F(HardAccTest, FlushesReachThePacketEngineAndTheJournal) {
  const int64_t start = journal_end();
  EXPECT_EQ(flush("FlushHardAccAll", nullptr), std::make_pair(0u, std::string()));
  EXPECT_EQ(flush("FlushHardAccEntry",
                  g_variant_new("(susus)", "192.168.1.20", 5060u, "198.51.100.7", 5060u, "UDP")),
            std::make_pair(0u, std::string()));
  EXPECT_THAT(journal_lines(start, MIB_CFG_HARDACC),
              ElementsAre("flush all", "flush UDP 192.168.1.20:5060 -> 198.51.100.7:5060"));
  EXPECT_THAT(journal_lines(start, MIB_JOURNAL_HWNAT),
              ElementsAre("hwnat flush mode=2", "hwnat flush mode=1"));

  // Arguments the store refuses are answered with its result, nothing flushed.
  const int64_t refused = journal_end();
  EXPECT_EQ(flush("FlushHardAccEntry", g_variant_new("(susus)", "10.0.0.300", 1u, "", 0u, "TCP"))
                .first,
            1u);
  EXPECT_EQ(flush("FlushHardAccEntry", g_variant_new("(susus)", "", 70000u, "", 0u, "TCP")).first,
            1u);
  EXPECT_EQ(flush("FlushHardAccEntry", g_variant_new("(susus)", "", 0u, "", 0u, "SCTP")).first, 1u);
  EXPECT_TRUE(journal_lines(refused, MIB_JOURNAL_HWNAT).empty());
  mib::fail_accessor("HardAccCancel_handle_flush_all_flow");
  EXPECT_EQ(flush("FlushHardAccAll", nullptr), std::make_pair(1u, std::string()));
  mib::clear_failures();
}

TEST_F(HardAccTest, RulesLiveOutsideTheManagerPathAndAreCheckedStoredAnnouncedAndSaved) {
  const std::string rule = add_child(kManager);
  ASSERT_EQ(rule, std::string(kFeature) + "/2");
  // Introspection of the feature's path lists its rules; so does the manager.
  EXPECT_THAT(introspect(kFeature), HasSubstr("<node name=\"2\""));
  EXPECT_THAT(introspect(kFeature), HasSubstr("com.wqx.igd1.HardAccCancelManager"));
  Variant listing = call(kManager, kFreedesktopManager, "GetManagedObjects", nullptr, nullptr);
  ASSERT_NE(listing, nullptr);
  EXPECT_THAT(printed(listing.get()), HasSubstr("'" + rule + "': {'com.wqx.igd1.HardAccCancel'"));
  EXPECT_THAT(printed(listing.get()), HasSubstr("'Index': <'sip-signalling'>"));

  SignalWatcher changes(client(), "com.wqx.igd1.Properties", "PropertiesChanged", rule.c_str());
  const int64_t start = journal_end();
  ASSERT_EQ(set_multi(rule, kRuleInterface,
                      dictionary({{"SrcAddress", g_variant_new_string("192.168.1.30")},
                                  {"DestPort", g_variant_new_uint32(443)},
                                  {"Protocol", g_variant_new_string("TCP")}})),
            Error());
  const std::string announced = printed(changes.wait().body.get());
  EXPECT_THAT(announced, HasSubstr("'SrcAddress': <'192.168.1.30'>"));
  EXPECT_THAT(announced, HasSubstr("'DestPort': <uint32 443>"));
  std::vector<std::string> lines = journal_lines(start, MIB_CFG_HARDACC);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], HasSubstr("hardacccancel[2] Enable=0 SrcPort=0 DestPort=443"));
  EXPECT_THAT(lines[0], HasSubstr("SrcAddress=192.168.1.30"));
  EXPECT_THAT(lines[1], HasSubstr("saved"));

  // Addresses, ports and protocols are refused before anything is stored.
  const int64_t refused = journal_end();
  const Error invalid_address(kInvalidArgs, "invalid value of DestAddress");
  for (const char *address : {"10.0.0", "fe80::1::2", "example.com", "10.0.0.1 "})
    EXPECT_EQ(write(rule, kRuleInterface, "DestAddress", g_variant_new_string(address)),
              invalid_address)
        << address;
  EXPECT_EQ(write(rule, kRuleInterface, "SrcPort", g_variant_new_uint32(65536)),
            Error(kInvalidArgs, "invalid value of SrcPort"));
  EXPECT_EQ(write(rule, kRuleInterface, "Protocol", g_variant_new_string("tcp")),
            Error(kInvalidArgs, "invalid value of Protocol"));
  EXPECT_EQ(set_multi(rule, kRuleInterface, dictionary({{"Mask", g_variant_new_string("x")}})),
            Error(kInvalidArgs, "invalid property Mask"));
  EXPECT_TRUE(journal_lines(refused, MIB_CFG_HARDACC).empty());
  EXPECT_EQ(changes.wait(200ms).body, nullptr);

  // A rule whose store read fails, and paths without a rule.
  mib::fail_accessor("HardAccCancel_get_mib_property", 3);
  EXPECT_EQ(read_error(rule, kRuleInterface, "SrcAddress"),
            Error(kInvalidArgs, "invalid value of SrcAddress"));
  mib::clear_failures();
  mib::fail_accessor("HardAccCancel_update_entry");
  EXPECT_EQ(write(rule, kRuleInterface, "Enable", g_variant_new_boolean(TRUE)),
            Error("org.freedesktop.DBus.Error.Failed",
                  "HardAccCancel_update_entry fail (the table refused the rule)"));
  mib::clear_failures();
  EXPECT_EQ(shown(rule, kRuleInterface, "Enable"), "false");
}

TEST_F(HardAccTest, AddAndDeleteFollowTheTableAndItsLimit) {
  const Error path_error(kManagerError, "DeleteObject object path error");
  EXPECT_EQ(remove(kManager, std::string(kFeature) + "/7"), path_error);
  EXPECT_EQ(remove(kManager, std::string(kManager) + "/1"), path_error);

  ASSERT_EQ(write(kFeature, kFeatureInterface, "HACancelMaxNumber", g_variant_new_uint32(2)),
            Error());
  const std::string second = add_child(kManager);
  EXPECT_EQ(add(kManager).second, Error(kManagerError, "Add HardAccCancel object fail !!"));

  SignalWatcher removed(client(), kFreedesktopManager, "InterfacesRemoved", kManager);
  const int64_t start = journal_end();
  ASSERT_EQ(remove(kManager, second), Error());
  EXPECT_THAT(printed(removed.wait().body.get()), HasSubstr(second));
  const std::vector<std::string> lines = journal_lines(start, MIB_CFG_HARDACC);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], HasSubstr("removed"));
  EXPECT_THAT(lines[1], HasSubstr("saved, 1 rules"));
  EXPECT_EQ(shown(kFeature, kFeatureInterface, "HACancelListNumber"), "uint32 1");
}

}  // namespace
}  // namespace igd1::test
