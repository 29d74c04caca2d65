// The configuration-library side of the DHCP server, device, network and PON
// information objects: what the bus tests cannot see — byte layouts at exact
// offsets, buffer bounds, indexes outside each accessor's table and the PON
// history arguments a bus call cannot carry.

#include <cstddef>
#include <cstdint>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "mib_api.h"
#include "mib_diag.h"
#include "mib_filters.h"
#include "mib_lanhost.h"
#include "mib_network_tables.h"
#include "mib_qos.h"
#include "mib_services.h"
#include "mib_timers.h"
#include "harness/program.h"
#include "store_fixture.h"

namespace mib = igd1::mib;

namespace {

using ModulesTest = igd1::mib::test::StoreTest;

template <typename T>
T at(const void *base, size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const uint8_t *>(base) + offset, sizeof value);
  return value;
}

TEST_F(ModulesTest, DhcpFieldsKeepTheirWidths) {
  uint8_t buffer[50];
  uint8_t on = 2;  // a byte written, a 32-bit number read back
  ASSERT_EQ(dhcpserver_set_mib_property(0, &on), 1);
  std::memset(buffer, 0xee, sizeof buffer);
  ASSERT_EQ(dhcpserver_get_mib_property(0, buffer), 1);
  EXPECT_EQ(at<int32_t>(buffer, 0), 2);
  std::memset(buffer, 0xee, sizeof buffer);  // the permission is one byte
  ASSERT_EQ(dhcpserver_get_mib_property(7, buffer), 1);
  EXPECT_EQ(buffer[0], 1);
  EXPECT_EQ(buffer[1], 0xee);

  // The gateway copy is stored but never read back; a stored address that
  // is no address fails the read instead of passing the text on.
  const uint8_t copy[4] = {192, 168, 8, 254};
  ASSERT_EQ(dhcpserver_set_mib_property(4, const_cast<uint8_t *>(copy)), 1);
  EXPECT_EQ(mib::get_setting("dhcpserver.GatewayAddress"), "192.168.8.254");
  EXPECT_EQ(dhcpserver_get_mib_property(4, buffer), 0);
  ASSERT_TRUE(mib::set_setting("dhcpserver.MaxAddress", "192.168.1.300"));
  EXPECT_EQ(dhcpserver_get_mib_property(2, buffer), 0);
}

TEST_F(ModulesTest, IndexesOutsideEachTableAreRefused) {
  alignas(8) uint8_t buffer[256] = {1};
  int commit = 0, changed = 0;
  EXPECT_EQ(dhcpserver_get_mib_property(8, buffer), 0);
  EXPECT_EQ(dhcpserver_set_mib_property(-1, buffer), 0);
  EXPECT_EQ(deviceinfo_get_property(42, buffer), 0);
  EXPECT_EQ(deviceinfo_get_property(-1, buffer), 0);
  EXPECT_EQ(deviceinfo_set_property(17, buffer), 0);  // only the device name is written
  EXPECT_EQ(networkinfo_set_property(34, buffer, &commit, &changed), 0);  // only ElinkSync
  EXPECT_EQ(poninfo_get_mib_property(19, buffer), 0);
  EXPECT_EQ(IPV6LANConfig_get_mib_property(9, buffer), 0);
}

TEST_F(ModulesTest, DeviceInfoEveryIndexStaysWithinItsBuffer) {
  const size_t sizes[] = {
      1,  64, 32, 15, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 4, 4,  128, 1,
      1,  1,  4,  1,  64, 64, 4,  64, 64, 33, 1,  1,  4,  1,  64, 4, 32, 1,  1};
  for (int index = 0; index < 39; ++index) {
    const size_t size = sizes[index];
    std::vector<uint8_t> buffer(size + 16, 0xa5);
    std::memset(buffer.data(), 0, size);
    ASSERT_EQ(deviceinfo_get_property(index, buffer.data()), 1) << index;
    for (size_t i = size; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xa5) << index;
    if (size > 4) {
      EXPECT_LT(strnlen(reinterpret_cast<char *>(buffer.data()), size), size) << index;
    }
  }
  // Fifteen characters leave no room for the terminator in a 15-byte field.
  char wqei[32];
  std::memset(wqei, 'x', sizeof wqei);
  ASSERT_TRUE(mib::set_setting("deviceinfo.WQEI", "123456789012345"));
  EXPECT_EQ(deviceinfo_get_property(3, wqei), 0);
  EXPECT_EQ(wqei[0], 'x');
}

TEST_F(ModulesTest, NetworkRecordFollowsTheStoredCounters) {
  const char *settings[][2] = {
      {"network.LAN2Status", "1"},          {"network.WANTxBytes", "5000000000"},
      {"network.WANRxBytes", "7000000001"}, {"network.WiFiTxBytes", "30"},
      {"network.WiFiRxBytes", "12"},        {"network.LAN1TxBytes", "42"},
      {"network.LAN4RxBytes", "123456789012"},
  };
  for (const auto &[name, value] : settings) ASSERT_TRUE(mib::set_setting(name, value));
  ASSERT_EQ(networkinfo_interface_init(), 1);
  const void *record = &gNetworkinfo;
  EXPECT_EQ(at<uint8_t>(record, 1), 1);
  EXPECT_EQ(at<uint64_t>(record, 8), 12000000001u);  // WAN total, then sent, received
  EXPECT_EQ(at<uint64_t>(record, 24), 7000000001u);
  EXPECT_EQ(at<uint64_t>(record, 48), 42u);  // WiFi total, then sent, received
  EXPECT_EQ(at<uint64_t>(record, 64), 12u);
  EXPECT_EQ(at<uint64_t>(record, 72), 42u);  // LAN1 sent
  EXPECT_EQ(at<uint64_t>(record, 128), 123456789012u);  // LAN4 received

  // A setting that no longer parses keeps the field's last good value.
  ASSERT_TRUE(mib::set_setting("network.LAN4RxBytes", "123456789013"));
  ASSERT_TRUE(mib::set_setting("network.LAN1TxBytes", "lots"));
  ASSERT_EQ(networkinfo_interface_init(), 1);
  EXPECT_EQ(at<uint64_t>(record, 128), 123456789013u);
  EXPECT_EQ(at<uint64_t>(record, 72), 42u);
}

// The record follows a commit of the settings by another process, without a
// call of this one: the refresh sleeps until the store's counter moves.
TEST_F(ModulesTest, NetworkRecordFollowsAnotherProcesssCommit) {
  ASSERT_EQ(networkinfo_interface_init(), 1);
  const auto cli = igd1::test::run_program(
      {IGD1_BUILD_DIR "/igd1-mib", "--store", dir_ + "/mib.db", "set", "network.WiFiRxBytes", "987654321"},
      {{"IGD1_MIB_FAIL", ""}});
  ASSERT_EQ(cli.status, 0) << cli.err;
  const void *record = &gNetworkinfo;
  igd1::test::eventually([&] { return at<uint64_t>(record, 64) == 987654321u; });
  EXPECT_EQ(at<uint64_t>(record, 64), 987654321u);  // WiFi received
}

// The counts and ranges of the history are checked over the bus; here, what
// only a direct caller can hand the action.
TEST_F(ModulesTest, PonHistoryRefusesOtherArgumentsAndActions) {
  ASSERT_EQ(poninfo_interface_init(), 1);
  const struct { int action; GVariant *parameters; } refused[] = {
      {0, g_variant_new("(i)", 2)}, {0, g_variant_new("(uu)", 2u, 2u)}, {0, g_variant_new_uint32(2)},
      {0, nullptr}, {1, g_variant_new("(u)", 2u)}};
  for (const auto &c : refused) {
    GVariant *result = reinterpret_cast<GVariant *>(0x1);
    g_autoptr(GVariant) parameters = c.parameters ? g_variant_ref_sink(c.parameters) : nullptr;
    EXPECT_EQ(poninfo_handle_action(c.action, parameters, &result), 0) << c.action;
    EXPECT_EQ(result, nullptr);
  }
  GVariant *result = nullptr;
  g_autoptr(GVariant) two = g_variant_ref_sink(g_variant_new("(u)", 2u));
  ASSERT_EQ(poninfo_handle_action(0, two, &result), 1);
  EXPECT_STREQ(g_variant_get_type_string(result), "(a(ttt))");
  g_variant_unref(result);
}

}  // namespace

namespace {

// The bus side only sees values through the item setter; these are the
// guards behind it: a refused value leaves the record as it was, a copy
// whose texts got past the setter in another way is not stored, and the
// texts never run past their fields.
TEST_F(ModulesTest, BridgeDataAclRecordsHoldOnlyCheckedValues) {
  uint8_t row[BRIDGE_DATA_ACL_ROW_SIZE] = {};
  ASSERT_EQ(BridgeDataAcl_insert_entry(row), 1);
  ASSERT_EQ(row[0], 1);
  ASSERT_EQ(BridgeDataAcl_set_mib_property(1, "65535", row), 1);
  const std::string too_long(BRIDGE_DATA_ACL_IP_SIZE, '1');
  for (const char *refused : {"65536", "0", "1e3", too_long.c_str()})
    EXPECT_EQ(BridgeDataAcl_set_mib_property(1, refused, row), 0) << refused;
  EXPECT_EQ(BridgeDataAcl_set_mib_property(0, too_long.c_str(), row), 0);
  EXPECT_EQ(BridgeDataAcl_set_mib_property(3, "TCP", row), 0);
  char text[BRIDGE_DATA_ACL_IP_SIZE] = {};
  ASSERT_EQ(BridgeDataAcl_get_mib_property(1, text, row), 1);
  EXPECT_STREQ(text, "65535");
  ASSERT_EQ(BridgeDataAcl_update_entry_mib(row), 1);
  EXPECT_EQ(mib::get_cell("bridgedataacl", 1, "Port"), "65535");

  std::memcpy(row + BRIDGE_DATA_ACL_PROTOCOL_OFFSET, "SCTP", 5);
  EXPECT_EQ(BridgeDataAcl_update_entry_mib(row), 0);
  std::memset(row + BRIDGE_DATA_ACL_PROTOCOL_OFFSET, 'A', BRIDGE_DATA_ACL_PROTOCOL_SIZE);
  EXPECT_EQ(BridgeDataAcl_update_entry_mib(row), 0);
  EXPECT_EQ(mib::get_cell("bridgedataacl", 1, "Protocol"), "");

  // A row that is gone takes no update.
  uint32_t index = 0;
  mib_list_node *node = BridgeDataAcl_get_list_by_instnum(1, &index);
  ASSERT_NE(node, nullptr);
  ASSERT_EQ(BridgeDataAcl_remove_entry(index, node), 1);
  ASSERT_EQ(BridgeDataAcl_set_mib_property(2, "UDP", row), 1);
  EXPECT_EQ(BridgeDataAcl_update_entry_mib(row), 0);
  EXPECT_EQ(BridgeDataAcl_get_list_by_instnum(0, nullptr), nullptr);
}

// Each service hears its own changes: a bit two services shared would make
// each apply the other's notices too.
TEST(ChangeBitsTest, EveryServiceHasABitOfItsOwn) {
  const std::pair<const char *, uint32_t> bits[] = {
      {"DHCP", MIB_CFG_DHCP}, {"port mapping", MIB_CFG_PORTMAPPING},
      {"LED schedule", MIB_CFG_LED_SCHEDULE}, {"LED status", MIB_CFG_LED_STATUS},
      {"trouble locating", MIB_CFG_TROUBLE_LOCATING}, {"debug collection", MIB_CFG_DEBUG_COLLECTION},
      {"user password", MIB_CFG_USER_PASSWORD}, {"platform service", MIB_CFG_PLATFORM_SERVICE},
      {"line registration", MIB_CFG_LINE_REGISTRATION},
      {"Samba", MIB_CFG_SAMBA}, {"Telnet", MIB_CFG_TELNET}, {"FTP", MIB_CFG_FTP},
      {"bridge data list", MIB_CFG_BRIDGE_DATA_ACL}, {"DNS", MIB_CFG_DNS}, {"dynamic DNS", MIB_CFG_DDNS},
      {"QoS", MIB_CFG_QOS}, {"IPTV", MIB_CFG_IPTV}, {"DNS speed limit", MIB_CFG_DNS_SPEED_LIMIT},
      {"HTTP server", MIB_CFG_HTTP}, {"incoming filter", MIB_CFG_INCOMING_FILTER},
      {"CWMP", MIB_CFG_CWMP}, {"LAN hosts", MIB_CFG_LANHOST}, {"filters", MIB_CFG_FILTERS},
      {"hardware acceleration", MIB_CFG_HARDACC},
      {"device information", mib::kDeviceInfoNoticeBit},
      {"network information", mib::kNetworkInfoNoticeBit},
      {"port forwarding", mib::kPortForwardingNoticeBit},
  };
  uint32_t seen = 0;
  for (const auto &[name, bit] : bits) {
    SCOPED_TRACE(name);
    EXPECT_EQ(bit & (bit - 1), 0u) << "not a single bit";
    EXPECT_EQ(seen & bit, 0u) << "shared with another service";
    seen |= bit;
  }
  // Sources that only journal stay above the change bits and apart.
  uint64_t journal_only = 0;
  for (uint64_t bit : {MIB_JOURNAL_POWER, MIB_JOURNAL_WIFI_TIMER, MIB_JOURNAL_OMDIAG, MIB_JOURNAL_LED,
                       MIB_JOURNAL_SDN, MIB_JOURNAL_SYSTEM, MIB_JOURNAL_HWNAT}) {
    EXPECT_GE(bit, uint64_t(1) << 32);
    EXPECT_EQ(journal_only & bit, 0u);
    journal_only |= bit;
  }
}

}  // namespace
