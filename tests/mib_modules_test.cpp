// The configuration-library side of the DHCP server, device information,
// network information and PON information objects: byte layouts of each
// index, buffer limits, injected failures, the shared network record, the
// apply functions and the PON traffic history.
#include <glib.h>
#include <gtest/gtest.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "mib_api.h"
#include "mib_store.h"

namespace mib = igd1::mib;

namespace {

class ModulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GError *error = nullptr;
    gchar *dir = g_dir_make_tmp("igd1-mibmod-XXXXXX", &error);
    ASSERT_NE(dir, nullptr) << (error != nullptr ? error->message : "");
    dir_ = dir;
    g_free(dir);
    std::string why;
    ASSERT_TRUE(mib::open_store(dir_ + "/mib.db", &why)) << why;
  }
  void TearDown() override {
    mib::close_store();
    mib::clear_failures();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string dir_;
};

template <typename T>
T at(const void *base, size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const uint8_t *>(base) + offset, sizeof value);
  return value;
}

std::vector<mib::JournalEntry> journal_since(int64_t seq) { return mib::journal(seq); }

int64_t last_seq() {
  std::vector<mib::JournalEntry> all = mib::journal();
  return all.empty() ? 0 : all.back().seq;
}

// ---- DHCP server ------------------------------------------------------------------

TEST_F(ModulesTest, DhcpEnableByteReadsBackAsNonZeroNumber) {
  auto read_enable = [] {
    uint8_t buffer[50] = {};
    EXPECT_EQ(dhcpserver_get_mib_property(0, buffer), 1);
    return at<int32_t>(buffer, 0);
  };
  uint8_t on = 2;
  ASSERT_EQ(dhcpserver_set_mib_property(0, &on), 1);
  EXPECT_EQ(mib::get_setting("dhcpserver.Enable"), "2");
  EXPECT_EQ(read_enable(), 2);

  ASSERT_TRUE(mib::set_setting("dhcpserver.Enable", "1"));
  EXPECT_EQ(read_enable(), 1);

  uint8_t off = 0;
  ASSERT_EQ(dhcpserver_set_mib_property(0, &off), 1);
  EXPECT_EQ(read_enable(), 0);
}

TEST_F(ModulesTest, DhcpAddressesLeaseAndPermissionKeepTheirForms) {
  const uint8_t start[4] = {10, 0, 0, 10};
  ASSERT_EQ(dhcpserver_set_mib_property(1, const_cast<uint8_t *>(start)), 1);
  EXPECT_EQ(mib::get_setting("dhcpserver.MinAddress"), "10.0.0.10");
  char text[50] = {};
  ASSERT_EQ(dhcpserver_get_mib_property(1, text), 1);
  EXPECT_STREQ(text, "10.0.0.10");

  // The LAN address and its copy land in separate settings; the copy is
  // never read back.
  const uint8_t lan[4] = {192, 168, 8, 1};
  const uint8_t copy[4] = {192, 168, 8, 254};
  ASSERT_EQ(dhcpserver_set_mib_property(4, const_cast<uint8_t *>(copy)), 1);
  ASSERT_EQ(dhcpserver_set_mib_property(3, const_cast<uint8_t *>(lan)), 1);
  EXPECT_EQ(mib::get_setting("lan.IPAddress"), "192.168.8.1");
  EXPECT_EQ(mib::get_setting("dhcpserver.GatewayAddress"), "192.168.8.254");
  std::memset(text, 0, sizeof text);
  ASSERT_EQ(dhcpserver_get_mib_property(3, text), 1);
  EXPECT_STREQ(text, "192.168.8.1");
  EXPECT_EQ(dhcpserver_get_mib_property(4, text), 0);

  uint32_t lease = 604800;
  ASSERT_EQ(dhcpserver_set_mib_property(6, &lease), 1);
  uint8_t buffer[50] = {};
  ASSERT_EQ(dhcpserver_get_mib_property(6, buffer), 1);
  EXPECT_EQ(at<uint32_t>(buffer, 0), 604800u);

  // Writes are allowed until the permission byte is cleared; only one byte
  // of the read buffer is touched.
  std::memset(buffer, 0xee, sizeof buffer);
  ASSERT_EQ(dhcpserver_get_mib_property(7, buffer), 1);
  EXPECT_EQ(buffer[0], 1);
  EXPECT_EQ(buffer[1], 0xee);
  uint8_t denied = 0;
  ASSERT_EQ(dhcpserver_set_mib_property(7, &denied), 1);
  ASSERT_EQ(dhcpserver_get_mib_property(7, buffer), 1);
  EXPECT_EQ(buffer[0], 0);

  EXPECT_EQ(dhcpserver_get_mib_property(8, buffer), 0);
  EXPECT_EQ(dhcpserver_set_mib_property(-1, &lease), 0);

  // A stored address that is no address fails the read instead of passing
  // the text on.
  ASSERT_TRUE(mib::set_setting("dhcpserver.MaxAddress", "192.168.1.300"));
  EXPECT_EQ(dhcpserver_get_mib_property(2, text), 0);
}

TEST_F(ModulesTest, DhcpNoticesRecordTheAddressToApply) {
  int64_t seq = last_seq();
  char address[] = "192.168.8.1";
  ASSERT_EQ(dbus_mib_update_cfg(MIB_CFG_DHCP, nullptr, MIB_ACTION_LAN_ADDRESS_BEGIN), 1);
  ASSERT_EQ(dbus_mib_update_cfg(MIB_CFG_DHCP, address, MIB_ACTION_LAN_ADDRESS_APPLY), 1);
  std::vector<mib::JournalEntry> notices = journal_since(seq);
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[0].data, "");
  EXPECT_EQ(notices[1].action, MIB_ACTION_LAN_ADDRESS_APPLY);
  EXPECT_EQ(notices[1].data, "192.168.8.1");
}

// ---- injected failures, every module --------------------------------------------------

TEST_F(ModulesTest, InjectedFailuresHitTheNamedAccessorAndIndexOnly) {
  uint8_t buffer[128] = {};
  mib::fail_accessor("dhcpserver_get_mib_property", 1);
  EXPECT_EQ(dhcpserver_get_mib_property(1, buffer), 0);
  EXPECT_EQ(dhcpserver_get_mib_property(2, buffer), 1);

  mib::fail_accessor("dhcpserver_set_mib_property", 6);
  uint32_t lease = 3600;
  EXPECT_EQ(dhcpserver_set_mib_property(6, &lease), 0);
  EXPECT_EQ(mib::get_setting("dhcpserver.LeaseTime"), "86400");
  const uint8_t start[4] = {192, 168, 1, 20};
  EXPECT_EQ(dhcpserver_set_mib_property(1, const_cast<uint8_t *>(start)), 1);

  mib::fail_accessor("deviceinfo_get_property", 9);
  EXPECT_EQ(deviceinfo_get_property(9, buffer), 0);
  EXPECT_EQ(deviceinfo_get_property(8, buffer), 1);

  mib::fail_accessor("networkinfo_get_property", 25);
  EXPECT_EQ(networkinfo_get_property(25, buffer), 0);
  EXPECT_EQ(networkinfo_get_property(26, buffer), 1);

  mib::fail_accessor("IPV6LANConfig_get_mib_property");
  EXPECT_EQ(IPV6LANConfig_get_mib_property(0, buffer), 0);

  mib::fail_accessor("poninfo_get_mib_property", 8);
  EXPECT_EQ(poninfo_get_mib_property(8, buffer), 0);
  EXPECT_EQ(poninfo_get_mib_property(7, buffer), 1);

  mib::clear_failures();
  EXPECT_EQ(deviceinfo_get_property(9, buffer), 1);
  EXPECT_EQ(poninfo_get_mib_property(8, buffer), 1);
}

// ---- device information -----------------------------------------------------------------

TEST_F(ModulesTest, DeviceInfoEveryIndexFitsTheCallersBuffer) {
  struct Slot {
    size_t size;
    bool text;
  };
  constexpr Slot kB{1, false}, kU{4, false}, kT64{64, true};
  const Slot slots[] = {
      kB,   kT64, {32, true}, {15, true}, kT64, kT64, kT64, kT64,        kT64, kT64,  // 0-9
      kT64, kT64, kT64,       kT64,       kT64, kT64, kU,   kU,   {128, true}, kB,    // 10-19
      kB,   kB,   kU,         kB,         kT64, kT64, kU,   kT64, kT64,        {33, true},
      kB,   kB,   kU,         kB,         kT64, kU,   {32, true}, kB, kB,  // 30-38
  };
  ASSERT_EQ(std::size(slots), 39u);
  for (int index = 0; index < 39; ++index) {
    const Slot &slot = slots[index];
    std::vector<uint8_t> buffer(slot.size + 16, 0xa5);
    std::memset(buffer.data(), 0, slot.size);
    ASSERT_EQ(deviceinfo_get_property(index, buffer.data()), 1) << index;
    for (size_t i = slot.size; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xa5) << index;
    if (slot.text) {
      EXPECT_LT(strnlen(reinterpret_cast<char *>(buffer.data()), slot.size), slot.size) << index;
    }
  }
  uint8_t spare[128];
  EXPECT_EQ(deviceinfo_get_property(39, spare), 0);
  EXPECT_EQ(deviceinfo_get_property(-1, spare), 0);

  char text[64] = {};
  ASSERT_EQ(deviceinfo_get_property(2, text), 1);
  EXPECT_STREQ(text, "a4:3e:51:0c:22:10");
  ASSERT_EQ(deviceinfo_get_property(14, text), 1);
  EXPECT_STREQ(text, "Lumora_2.0");
  ASSERT_EQ(deviceinfo_get_property(4, text), 1);
  EXPECT_STREQ(text, "192.168.1.1");
}

TEST_F(ModulesTest, DeviceInfoShortFieldsAreTerminatedWithinTheirSize) {
  char wqei[32];
  std::memset(wqei, 'x', sizeof wqei);
  ASSERT_TRUE(mib::set_setting("deviceinfo.WQEI", "12345678901234"));
  ASSERT_EQ(deviceinfo_get_property(3, wqei), 1);
  EXPECT_STREQ(wqei, "12345678901234");
  EXPECT_EQ(wqei[15], 'x');

  // Fifteen characters leave no room for the terminator.
  std::memset(wqei, 'x', sizeof wqei);
  ASSERT_TRUE(mib::set_setting("deviceinfo.WQEI", "123456789012345"));
  EXPECT_EQ(deviceinfo_get_property(3, wqei), 0);
  EXPECT_EQ(wqei[0], 'x');
}

TEST_F(ModulesTest, DeviceNameTakesAtMost127CharactersAndApplyIsJournalled) {
  std::string longest(127, 'n');
  ASSERT_EQ(deviceinfo_set_property(18, longest.data()), 1);
  char name[128] = {};
  ASSERT_EQ(deviceinfo_get_property(18, name), 1);
  EXPECT_EQ(std::string(name), longest);

  std::string too_long(128, 'm');
  EXPECT_EQ(deviceinfo_set_property(18, too_long.data()), 0);
  EXPECT_EQ(mib::get_setting("deviceinfo.DevName"), longest);

  EXPECT_EQ(deviceinfo_set_property(1, const_cast<char *>("Other Maker")), 0);
  EXPECT_EQ(mib::get_setting("device.Manufacturer"), "Wqx Networks");

  mib::fail_accessor("deviceinfo_set_property", 18);
  EXPECT_EQ(deviceinfo_set_property(18, const_cast<char *>("kitchen")), 0);
  EXPECT_EQ(mib::get_setting("deviceinfo.DevName"), longest);
  mib::clear_failures();

  ASSERT_EQ(deviceinfo_set_property(18, const_cast<char *>("kitchen")), 1);
  int64_t seq = last_seq();
  ASSERT_EQ(deviceinfo_set_property_update(), 1);
  std::vector<mib::JournalEntry> notices = journal_since(seq);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].bit, mib::kDeviceInfoNoticeBit);
  EXPECT_EQ(notices[0].action, MIB_ACTION_APPLY);
  EXPECT_EQ(notices[0].data, "DevName=kitchen");

  mib::fail_accessor("deviceinfo_set_property_update");
  seq = last_seq();
  EXPECT_EQ(deviceinfo_set_property_update(), 0);
  EXPECT_TRUE(journal_since(seq).empty());
}

TEST_F(ModulesTest, DeviceInfoInitMeasuresTheUptime) {
  ASSERT_TRUE(mib::set_setting("deviceinfo.UpTime", "0"));
  ASSERT_TRUE(mib::set_setting("deviceinfo.FlashUsage", "255"));
  timespec before{};
  ASSERT_EQ(clock_gettime(CLOCK_BOOTTIME, &before), 0);
  ASSERT_EQ(deviceinfo_interface_init(), 1);
  timespec after{};
  ASSERT_EQ(clock_gettime(CLOCK_BOOTTIME, &after), 0);

  uint32_t uptime = 0;
  ASSERT_EQ(deviceinfo_get_property(22, &uptime), 1);
  EXPECT_GE(uptime, static_cast<uint32_t>(before.tv_sec));
  EXPECT_LE(uptime, static_cast<uint32_t>(after.tv_sec));
  uint8_t flash = 0;
  ASSERT_EQ(deviceinfo_get_property(21, &flash), 1);
  EXPECT_LE(flash, 100);
}

// ---- network information ------------------------------------------------------------------

static_assert(offsetof(networkinfo_record, wan_bytes) == 8);
static_assert(offsetof(networkinfo_record, wan_rx_bytes) == 24);
static_assert(offsetof(networkinfo_record, wifi_bytes) == 48);
static_assert(offsetof(networkinfo_record, lan_bytes) == 72);
static_assert(offsetof(networkinfo_record, lan_bytes[3][1]) == 128);

TEST_F(ModulesTest, NetworkRecordFollowsTheStoredCounters) {
  ASSERT_TRUE(mib::set_setting("network.LAN2Status", "1"));
  ASSERT_TRUE(mib::set_setting("network.LAN3Status", "0"));
  ASSERT_TRUE(mib::set_setting("network.WANTxBytes", "5000000000"));
  ASSERT_TRUE(mib::set_setting("network.WANRxBytes", "7000000001"));
  ASSERT_TRUE(mib::set_setting("network.WiFiTxBytes", "30"));
  ASSERT_TRUE(mib::set_setting("network.WiFiRxBytes", "12"));
  ASSERT_TRUE(mib::set_setting("network.LAN1TxBytes", "42"));
  ASSERT_TRUE(mib::set_setting("network.LAN4RxBytes", "123456789012"));
  ASSERT_EQ(networkinfo_interface_init(), 1);

  const void *record = &gNetworkinfo;
  EXPECT_EQ(at<uint8_t>(record, 1), 1);
  EXPECT_EQ(at<uint8_t>(record, 2), 0);
  EXPECT_EQ(at<uint64_t>(record, 8), 12000000001u);
  EXPECT_EQ(at<uint64_t>(record, 16), 5000000000u);
  EXPECT_EQ(at<uint64_t>(record, 24), 7000000001u);
  EXPECT_EQ(at<uint64_t>(record, 48), 42u);
  EXPECT_EQ(at<uint64_t>(record, 56), 30u);
  EXPECT_EQ(at<uint64_t>(record, 64), 12u);
  EXPECT_EQ(at<uint64_t>(record, 72), 42u);
  EXPECT_EQ(at<uint64_t>(record, 128), 123456789012u);

  // A refresh follows the settings; a setting that no longer parses keeps
  // the field's last good value.
  ASSERT_TRUE(mib::set_setting("network.LAN4RxBytes", "123456789013"));
  ASSERT_TRUE(mib::set_setting("network.LAN1TxBytes", "lots"));
  ASSERT_EQ(networkinfo_interface_init(), 1);
  EXPECT_EQ(at<uint64_t>(record, 128), 123456789013u);
  EXPECT_EQ(at<uint64_t>(record, 72), 42u);
}

TEST_F(ModulesTest, NetworkIndicesGiveTheirForms) {
  uint8_t address[4] = {};
  ASSERT_EQ(networkinfo_get_property(24, address), 1);
  EXPECT_EQ(std::vector<uint8_t>(address, address + 4), (std::vector<uint8_t>{192, 168, 1, 1}));

  ASSERT_TRUE(mib::set_setting("network.UPLinkType", "3"));
  uint32_t type = 0;
  ASSERT_EQ(networkinfo_get_property(33, &type), 1);
  EXPECT_EQ(type, 3u);

  char text[64] = {};
  ASSERT_EQ(networkinfo_get_property(20, text), 1);
  EXPECT_STREQ(text, "Connected");
  ASSERT_EQ(IPV6LANConfig_get_mib_property(0, text), 1);
  EXPECT_STREQ(text, "2001:db8:3c4d:1500::1");

  EXPECT_EQ(networkinfo_get_property(1, text), 0);
  EXPECT_EQ(networkinfo_get_property(36, text), 0);
  EXPECT_EQ(IPV6LANConfig_get_mib_property(1, text), 0);
}

TEST_F(ModulesTest, ElinkSyncReportsChangesAndApplyCanFail) {
  int commit = 7;
  int changed = 7;
  uint8_t same = 0;
  ASSERT_EQ(networkinfo_set_property(35, &same, &commit, &changed), 1);
  EXPECT_EQ(commit, 0);
  EXPECT_EQ(changed, 0);

  uint8_t on = 1;
  ASSERT_EQ(networkinfo_set_property(35, &on, &commit, &changed), 1);
  EXPECT_EQ(commit, 1);
  EXPECT_EQ(changed, 1);
  EXPECT_EQ(mib::get_setting("network.ElinkSync"), "1");
  uint8_t stored = 0;
  ASSERT_EQ(networkinfo_get_property(35, &stored), 1);
  EXPECT_EQ(stored, 1);

  ASSERT_EQ(networkinfo_set_property(35, &on, &commit, &changed), 1);
  EXPECT_EQ(changed, 0);

  EXPECT_EQ(networkinfo_set_property(34, &on, &commit, &changed), 0);
  mib::fail_accessor("networkinfo_set_property", 35);
  EXPECT_EQ(networkinfo_set_property(35, &same, &commit, &changed), 0);
  EXPECT_EQ(changed, 0);
  EXPECT_EQ(mib::get_setting("network.ElinkSync"), "1");
  mib::clear_failures();

  const char *message = "stale";
  int64_t seq = last_seq();
  ASSERT_EQ(networkinfo_set_property_update(&message), 1);
  EXPECT_EQ(message, nullptr);
  std::vector<mib::JournalEntry> notices = journal_since(seq);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].bit, mib::kNetworkInfoNoticeBit);
  EXPECT_EQ(notices[0].action, MIB_ACTION_APPLY);
  EXPECT_EQ(notices[0].data, "ElinkSync=1");

  mib::fail_accessor("networkinfo_set_property_update", mib::kEveryIndex);
  seq = last_seq();
  EXPECT_EQ(networkinfo_set_property_update(&message), 0);
  ASSERT_NE(message, nullptr);
  EXPECT_STREQ(message, "commit refused");
  EXPECT_TRUE(journal_since(seq).empty());
}

// ---- PON information ----------------------------------------------------------------------

TEST_F(ModulesTest, PonOpticsAreExactDoublesAndCountersUse64Bits) {
  const double expected[] = {45.2, 3.28, 12.5, 2.1, -18.6};
  for (int index = 4; index <= 8; ++index) {
    double value = 0;
    ASSERT_EQ(poninfo_get_mib_property(index, &value), 1) << index;
    EXPECT_EQ(value, expected[index - 4]) << index;
  }
  ASSERT_TRUE(mib::set_setting("pon.BytesReceived", "18446744073709551615"));
  uint64_t counter = 0;
  ASSERT_EQ(poninfo_get_mib_property(12, &counter), 1);
  EXPECT_EQ(counter, UINT64_MAX);

  int32_t supported = 0;
  ASSERT_EQ(poninfo_get_mib_property(9, &supported), 1);
  EXPECT_EQ(supported, 1);
  char text[64] = {};
  ASSERT_EQ(poninfo_get_mib_property(1, text), 1);
  EXPECT_STREQ(text, "WQXN510C2210");
  EXPECT_EQ(poninfo_get_mib_property(19, text), 0);
}

struct HourTraffic {
  uint64_t start;
  uint64_t sent;
  uint64_t received;
};

// Calls the history action; empty when it refuses (and then checks that no
// result was handed out).
std::vector<HourTraffic> history(GVariant *parameters, int action = 0) {
  GVariant *result = reinterpret_cast<GVariant *>(0x1);
  if (parameters != nullptr) g_variant_ref_sink(parameters);
  int ok = poninfo_handle_action(action, parameters, &result);
  if (parameters != nullptr) g_variant_unref(parameters);
  std::vector<HourTraffic> hours;
  if (ok == 0) {
    EXPECT_EQ(result, nullptr);
    return hours;
  }
  EXPECT_NE(result, nullptr);
  if (result == nullptr) return hours;
  EXPECT_FALSE(g_variant_is_floating(result));
  EXPECT_STREQ(g_variant_get_type_string(result), "(a(ttt))");
  GVariantIter *iter = nullptr;
  g_variant_get(result, "(a(ttt))", &iter);
  guint64 start, sent, received;
  while (g_variant_iter_next(iter, "(ttt)", &start, &sent, &received)) {
    hours.push_back({start, sent, received});
  }
  g_variant_iter_free(iter);
  g_variant_unref(result);
  return hours;
}

TEST_F(ModulesTest, PonHistoryListsTheLastHoursOldestFirst) {
  const time_t before = time(nullptr);
  ASSERT_EQ(poninfo_interface_init(), 1);
  const time_t after = time(nullptr);
  ASSERT_EQ(poninfo_interface_init(), 1);  // seeds only an empty history
  const mib::TableDef *table = mib::find_table("ponhistory");
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(mib::table_rows(*table).size(), 24u);

  std::vector<HourTraffic> day = history(g_variant_new("(u)", 24u));
  ASSERT_EQ(day.size(), 24u);
  EXPECT_GE(day.back().start, static_cast<uint64_t>(before - before % 3600 - 3600));
  EXPECT_LE(day.back().start, static_cast<uint64_t>(after - after % 3600 - 3600));
  for (size_t i = 0; i < day.size(); ++i) {
    EXPECT_GT(day[i].received, day[i].sent) << i;
    EXPECT_GT(day[i].sent, 0u) << i;
    if (i > 0) {
      EXPECT_EQ(day[i].start, day[i - 1].start + 3600) << i;
    }
  }

  // The reply comes from the stored rows.
  ASSERT_TRUE(mib::set_cell("ponhistory", 24, "BytesSent", "777"));
  std::vector<HourTraffic> last = history(g_variant_new("(u)", 1u));
  ASSERT_EQ(last.size(), 1u);
  EXPECT_EQ(last[0].start, day.back().start);
  EXPECT_EQ(last[0].sent, 777u);

  ASSERT_TRUE(mib::table_remove(*table, 1));
  EXPECT_TRUE(history(g_variant_new("(u)", 24u)).empty());
  EXPECT_EQ(history(g_variant_new("(u)", 23u)).size(), 23u);
}

TEST_F(ModulesTest, PonHistoryRefusesBadParameters) {
  ASSERT_EQ(poninfo_interface_init(), 1);
  ASSERT_EQ(history(g_variant_new("(u)", 2u)).size(), 2u);
  EXPECT_TRUE(history(g_variant_new("(u)", 0u)).empty());
  EXPECT_TRUE(history(g_variant_new("(u)", 25u)).empty());
  EXPECT_TRUE(history(g_variant_new("(i)", 2)).empty());
  EXPECT_TRUE(history(g_variant_new("(uu)", 2u, 2u)).empty());
  EXPECT_TRUE(history(g_variant_new_uint32(2)).empty());
  EXPECT_TRUE(history(nullptr).empty());
  EXPECT_TRUE(history(g_variant_new("(u)", 2u), 1).empty());

  mib::fail_accessor("poninfo_handle_action");
  EXPECT_TRUE(history(g_variant_new("(u)", 2u)).empty());
}

}  // namespace
