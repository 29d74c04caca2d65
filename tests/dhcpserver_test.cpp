// The DHCP server object over the bus, against the SQLite store.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dhcpserver.h"
#include "harness/bus_fixture.h"
#include "mib_store.h"

namespace igd1::test {
namespace {

using testing::ElementsAre;
using testing::Pair;

constexpr char kPath[] = "/com/wqx/igd1/Config/DHCPServer";
constexpr char kInterface[] = "com.wqx.igd1.DHCPServer";
// Where the store keeps what the object shows.
constexpr char kEnableSetting[] = "dhcpserver.Enable";
constexpr char kPermissionSetting[] = "dhcpserver.WritePermission";

class DhcpServerTest : public BusTest {
 protected:
  Variant get(const char *name) { return get_property(kPath, kInterface, name); }

  std::pair<std::string, std::string> set_failure(const char *name, GVariant *value) {
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(set_property(kPath, kInterface, name, value, &error)) << name;
    return remote_error(error);
  }

  Variant set_multi(GVariant *properties, GError **error) {
    return call(kPath, "com.wqx.igd1.Properties", "SetMulti",
                g_variant_new("(s@a{sv})", kInterface, properties), error);
  }

  std::string setting(const char *name) { return mib::get_setting(name).value_or("<missing>"); }
};

const std::pair<std::string, std::string> kInvalidArgs(const std::string &message) {
  return {"org.freedesktop.DBus.Error.InvalidArgs", message};
}

TEST_F(DhcpServerTest, EnableIsStoredAsByteTwoAndAnyNonZeroReadsTrue) {
  ASSERT_TRUE(set_property(kPath, kInterface, "Enable", g_variant_new_boolean(TRUE)));
  EXPECT_EQ(setting(kEnableSetting), "2");
  EXPECT_TRUE(g_variant_get_boolean(get("DHCPServerEnable").get()));

  ASSERT_TRUE(mib::set_setting(kEnableSetting, "1"));
  EXPECT_TRUE(g_variant_get_boolean(get("Enable").get()));

  ASSERT_TRUE(set_property(kPath, kInterface, "DHCPServerEnable", g_variant_new_boolean(FALSE)));
  EXPECT_EQ(setting(kEnableSetting), "0");
  EXPECT_FALSE(g_variant_get_boolean(get("Enable").get()));
}

TEST_F(DhcpServerTest, LeaseTimeTakesOnlyTheFourDurations) {
  EXPECT_EQ(set_failure("LeaseTime", g_variant_new_uint32(7200)),
            kInvalidArgs("Invalid parameter value ,path 7200"));
  EXPECT_EQ(g_variant_get_uint32(get("DHCPDuration").get()), 86400u);
  for (uint32_t seconds : {60u, 3600u, 604800u}) {
    ASSERT_TRUE(set_property(kPath, kInterface, "DHCPDuration", g_variant_new_uint32(seconds)));
    EXPECT_EQ(g_variant_get_uint32(get("LeaseTime").get()), seconds);
  }
}

TEST_F(DhcpServerTest, AddressesFollowTheClassicParser) {
  EXPECT_EQ(set_failure("MinAddress", g_variant_new_string("192.168.1.300")),
            kInvalidArgs("Invalid parameter value ,path 192.168.1.300"));
  EXPECT_EQ(set_failure("SubnetMask", g_variant_new_string("")),
            kInvalidArgs("Invalid parameter value ,path "));
  EXPECT_STREQ(g_variant_get_string(get("MinAddress").get(), nullptr), "192.168.1.2");

  ASSERT_TRUE(set_property(kPath, kInterface, "MinAddress", g_variant_new_string("0x0A.1")));
  EXPECT_STREQ(g_variant_get_string(get("DHCPStartIP").get(), nullptr), "10.0.0.1");
  ASSERT_TRUE(set_property(kPath, kInterface, "MaxAddress", g_variant_new_string("10.0.0.200")));
  EXPECT_STREQ(g_variant_get_string(get("DHCPEndIP").get(), nullptr), "10.0.0.200");
}

TEST_F(DhcpServerTest, AcceptedWritesAreNoticedAndAnnounced) {
  SignalWatcher watcher(client(), "com.wqx.igd1.Properties", "PropertiesChanged", kPath);
  int64_t before = journal_end();
  ASSERT_TRUE(set_property(kPath, kInterface, "LeaseTime", g_variant_new_uint32(3600)));

  auto signal = watcher.wait();
  ASSERT_TRUE(signal.body);
  g_autofree gchar *body = g_variant_print(signal.body.get(), TRUE);
  EXPECT_STREQ(body, "('com.wqx.igd1.DHCPServer', {'LeaseTime': <uint32 3600>}, @as [])");
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(8u, 255)));

  // A refused value changes nothing, announces nothing, notifies nothing.
  before = journal_end();
  set_failure("LeaseTime", g_variant_new_uint32(1));
  EXPECT_FALSE(watcher.wait(std::chrono::milliseconds(200)).body);
  EXPECT_TRUE(notices_since(before).empty());
}

TEST_F(DhcpServerTest, LanAddressChangeIsBracketedByItsNotices) {
  int64_t before = journal_end();
  ASSERT_TRUE(set_property(kPath, kInterface, "IPAddr", g_variant_new_string("192.168.8.1")));
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(8u, 1), Pair(8u, 2), Pair(8u, 3), Pair(8u, 255)));
  auto entries = mib::journal(before);
  EXPECT_EQ(entries[2].data, "192.168.8.1");
  EXPECT_STREQ(g_variant_get_string(get("LocalIP").get(), nullptr), "192.168.8.1");

  // The address copy failing alone does not stop the write; the main one does.
  mib::fail_accessor("dhcpserver_set_mib_property", 3);
  before = journal_end();
  EXPECT_EQ(set_failure("LocalIP", g_variant_new_string("192.168.9.1")),
            kInvalidArgs("set LocalIP fail"));
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(8u, 1)));
  EXPECT_STREQ(g_variant_get_string(get("IPAddr").get(), nullptr), "192.168.8.1");
}

TEST_F(DhcpServerTest, WritePermissionZeroRefusesEveryWrite) {
  ASSERT_TRUE(mib::set_setting(kPermissionSetting, "0"));
  int64_t before = journal_end();
  const auto denied = kInvalidArgs("Request denied ,path /com/wqx/igd1/Config/DHCPServer");
  EXPECT_EQ(set_failure("LeaseTime", g_variant_new_uint32(60)), denied);

  g_autoptr(GError) error = nullptr;
  GVariantBuilder properties;
  g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&properties, "{sv}", "LeaseTime", g_variant_new_uint32(60));
  EXPECT_FALSE(set_multi(g_variant_builder_end(&properties), &error));
  EXPECT_EQ(remote_error(error), denied);

  EXPECT_EQ(setting("dhcpserver.LeaseTime"), "86400");
  EXPECT_TRUE(notices_since(before).empty());
}

TEST_F(DhcpServerTest, MultiWriteStoresWhatItCanAndAnnouncesItOnce) {
  SignalWatcher watcher(client(), "com.wqx.igd1.Properties", "PropertiesChanged", kPath);
  int64_t before = journal_end();
  GVariantBuilder properties;
  g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&properties, "{sv}", "Enable", g_variant_new_boolean(TRUE));
  g_variant_builder_add(&properties, "{sv}", "NoSuchThing", g_variant_new_uint32(1));
  g_variant_builder_add(&properties, "{sv}", "MaxAddress", g_variant_new_string("192.168.1.99"));
  g_autoptr(GError) error = nullptr;
  ASSERT_TRUE(set_multi(g_variant_builder_end(&properties), &error)) << error->message;

  auto signal = watcher.wait();
  ASSERT_TRUE(signal.body);
  g_autofree gchar *body = g_variant_print(signal.body.get(), FALSE);
  EXPECT_STREQ(body,
               "('com.wqx.igd1.DHCPServer', {'Enable': <true>, 'MaxAddress': <'192.168.1.99'>}, [])");
  EXPECT_FALSE(watcher.wait(std::chrono::milliseconds(200)).body);
  EXPECT_EQ(setting(kEnableSetting), "2");
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(8u, 255)));

  // Nothing stored: the notice still goes out, no signal does.
  before = journal_end();
  g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&properties, "{sv}", "LeaseTime", g_variant_new_uint32(5));
  ASSERT_TRUE(set_multi(g_variant_builder_end(&properties), nullptr));
  EXPECT_FALSE(watcher.wait(std::chrono::milliseconds(200)).body);
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(8u, 255)));
}

TEST_F(DhcpServerTest, MultiWriteHandlerKeepsTheFirstFailure) {
  // The handler itself, as the host calls it: true, first error kept.
  GVariantBuilder properties;
  g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&properties, "{sv}", "Bogus", g_variant_new_uint32(1));
  g_variant_builder_add(&properties, "{sv}", "LeaseTime", g_variant_new_uint32(7));
  g_variant_builder_add(&properties, "{sv}", "Enable", g_variant_new_boolean(FALSE));
  GVariant *dict = g_variant_ref_sink(g_variant_builder_end(&properties));
  g_autoptr(GError) error = nullptr;
  gboolean ok = FALSE;
  loop_->run([&] {
    ok = dhcp_server_handle_set_multi_properties(host_->connection(), nullptr, kPath, kInterface,
                                                 dict, &error, nullptr);
  });
  g_variant_unref(dict);
  EXPECT_TRUE(ok);
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(error->message, "invalid property Bogus");
  EXPECT_EQ(setting(kEnableSetting), "0");
}

TEST_F(DhcpServerTest, SetMultiIsPublishedBesideTheObjectInterface) {
  std::string xml = introspect(kPath);
  EXPECT_THAT(xml, testing::HasSubstr("<interface name=\"com.wqx.igd1.Properties\">"));
  EXPECT_THAT(xml, testing::HasSubstr("<method name=\"SetMulti\">"));
  EXPECT_THAT(xml, testing::HasSubstr("<signal name=\"PropertiesChanged\">"));
  EXPECT_THAT(xml, testing::HasSubstr("<interface name=\"com.wqx.igd1.DHCPServer\">"));

  g_autoptr(GError) error = nullptr;
  EXPECT_FALSE(call(kPath, "com.wqx.igd1.Properties", "SetMulti",
                    g_variant_new("(s@a{sv})", "com.wqx.igd1.Nothing",
                                  g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
                    &error));
  EXPECT_EQ(remote_error(error).first, "org.freedesktop.DBus.Error.InvalidArgs");
}

TEST_F(DhcpServerTest, GetAllAnswersBothNamesOfEveryRow) {
  g_autoptr(GError) error = nullptr;
  Variant reply = call(kPath, "org.freedesktop.DBus.Properties", "GetAll",
                       g_variant_new("(s)", kInterface), &error);
  ASSERT_TRUE(reply) << error->message;
  g_autoptr(GVariant) all = g_variant_get_child_value(reply.get(), 0);
  EXPECT_EQ(g_variant_n_children(all), 12u);
  g_autoptr(GVariant) mask = g_variant_lookup_value(all, "Submask", G_VARIANT_TYPE_STRING);
  ASSERT_NE(mask, nullptr);
  EXPECT_STREQ(g_variant_get_string(mask, nullptr), "255.255.255.0");
}

TEST(DhcpServerHandlerTest, UnknownNamesAreRefusedByTheHandlers) {
  TempRoot root;
  g_autoptr(GError) error = nullptr;
  EXPECT_EQ(dhcpserver_handle_get_property(nullptr, nullptr, kPath, kInterface, "Bogus", &error,
                                           nullptr),
            nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(error->message, "invalid property Bogus");
  g_clear_error(&error);
  int changed = 7;
  g_autoptr(GVariant) one = g_variant_ref_sink(g_variant_new_uint32(1));
  EXPECT_FALSE(dhcpserver_set_property("Bogus", one, &changed, &error));
  EXPECT_EQ(changed, 7);
}

}  // namespace
}  // namespace igd1::test
