// Vendor-specific information elements over the bus: the transmit tables
// (rules of their values, their managers' counts, enabled elements handed
// to the radios and journalled as bytes), the capture filters with their
// record managers, and records captured from probe requests.

#include <string>
#include <thread>
#include <vector>

#include "harness/bus_fixture.h"
#include "harness/program.h"
#include "local_socket.h"
#include "mib_vsie.h"
#include "radio_test.h"

namespace igd1::test {
namespace {

constexpr char kBeacons[] = "/com/wqx/igd1/VSIE/BeaconTxVSIE";
constexpr char kResponses[] = "/com/wqx/igd1/VSIE/ProbeRspTxVSIE";
constexpr char kFilters[] = "/com/wqx/igd1/VSIE/ProbeRxVSIE";
constexpr char kBeacon[] = "com.wqx.igd1.BeaconTxVSIE";
constexpr char kResponse[] = "com.wqx.igd1.ProbeRspTxVSIE";
constexpr char kFilter[] = "com.wqx.igd1.ProbeRxVSIE";
constexpr char kRecord[] = "com.wqx.igd1.ProbeRxVSIERecord";
constexpr char kRecordManager[] = "com.wqx.igd1.ProbeRxVSIERecordManager";

std::string child(const char *manager, unsigned n) { return std::string(manager) + "/" + std::to_string(n); }
std::string records(unsigned filter) { return child(kFilters, filter) + "/Records"; }
std::string record(unsigned filter, unsigned n) { return records(filter) + "/" + std::to_string(n); }

class VsieTest : public BusTest {
 protected:
  void configure(host::Options &options) override { options.notify_socket = true; }
  void SetUp() override {
    BusTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(wait_for_notify_socket());
  }

  Error set(const std::string &path, const char *interface, const char *name, const std::string &text) {
    return write(path, interface, name, g_variant_new_string(text.c_str()));
  }
  // The last journalled elements of a frame ("beacon", "probe-response").
  std::string applied(const std::string &frame) {
    std::string last = "<none>";
    for (const mib::JournalEntry &entry : mib::journal())
      if (entry.bit == MIB_CFG_VSIE && entry.action == MIB_ACTION_APPLY &&
          entry.data.rfind(frame + " ", 0) == 0)
        last = entry.data.substr(frame.size() + 1);
    return last;
  }
  std::string radios() { return radio_state_file(root()); }
  std::string probe(const std::string &mac, unsigned band, unsigned channel, int rssi,
                    const std::string &oui, const std::string &data) {
    return exchange("event radio probe-request " + mac + " " + std::to_string(band) + " " +
                    std::to_string(channel) + " " + std::to_string(rssi) + " " + oui + " " + data);
  }
  // A filter of `oui` on `band`, enabled, keeping `kept` records.
  void add_filter(unsigned n, const char *oui, const char *band, uint32_t kept) {
    ASSERT_EQ(add_child(kFilters), child(kFilters, n));
    ASSERT_EQ(set_multi(child(kFilters, n), kFilter,
                        dictionary({{"OUI", g_variant_new_string(oui)},
                                    {"Band", g_variant_new_string(band)},
                                    {"MaxRecords", g_variant_new_uint32(kept)},
                                    {"Enable", g_variant_new_boolean(true)}})),
              Error());
  }
  std::string record_count(unsigned filter) {
    return shown(records(filter), kRecordManager, "NumberOfRecords");
  }
};

TEST_F(VsieTest, ElementValuesKeepTheirFormAndTheTableItsLimit) {
  for (const auto &[manager, interface] : {std::pair{kBeacons, kBeacon}, std::pair{kResponses, kResponse}}) {
    const std::string first = add_child(manager);
    ASSERT_EQ(first, child(manager, 1));
    EXPECT_EQ(shown(first, interface, "Band"), "'All'");
    EXPECT_EQ(shown(first, interface, "Enable"), "false");
    const struct {
      const char *name;
      std::string written;
      const char *reads;  // null: refused
    } cases[] = {
        {"OUI", "00:11:22", nullptr},  {"OUI", "0011223", nullptr}, {"OUI", "GGGGGG", nullptr},
        {"OUI", "00a0c6", "'00A0C6'"}, {"OUI", "", nullptr},
        {"Data", "abc", nullptr},      {"Data", std::string(506, 'a'), nullptr},
        {"Data", "0x12", nullptr},     {"Data", "dd0a", "'DD0A'"},
        {"Data", "", "''"},            {"Data", std::string(504, 'f'), nullptr /* checked below */},
        {"Band", "5G", "'5G'"},        {"Band", "5g", nullptr}, {"Band", "2.4G", "'2.4G'"},
    };
    for (const auto &c : cases) {
      const Error answer = set(first, interface, c.name, c.written);
      if (c.reads != nullptr) {
        EXPECT_EQ(answer, Error()) << c.name << " " << c.written;
        EXPECT_EQ(shown(first, interface, c.name), c.reads);
      } else if (c.written.size() == 504) {
        EXPECT_EQ(answer, Error());
        EXPECT_EQ(text(first, interface, "Data"), std::string(504, 'F'));
      } else {
        EXPECT_EQ(answer, InvalidArgs(std::string("Invalid parameter value ,") + c.name + ": " + c.written))
            << c.written;
      }
    }
    EXPECT_EQ(write(first, interface, "SSIDIndex", g_variant_new_uint32(9)),
              InvalidArgs("Invalid parameter value ,SSIDIndex: 9"));
    EXPECT_EQ(write(first, interface, "SSIDIndex", g_variant_new_uint32(8)), Error());

    std::string manager_interface = std::string(interface) + "Manager";
    EXPECT_EQ(shown(manager, manager_interface.c_str(), "MaxEntries"), "uint32 16");
    EXPECT_EQ(shown(manager, manager_interface.c_str(), "NumberOfEntries"), "uint32 1");
    for (unsigned n = 2; n <= 16; ++n) ASSERT_EQ(add_child(manager), child(manager, n));
    EXPECT_EQ(add(manager).second, Error(kManagerError, "Error! Table Full."));
    EXPECT_EQ(shown(manager, manager_interface.c_str(), "NumberOfEntries"), "uint32 16");
  }
}

TEST_F(VsieTest, EnabledElementsReachTheRadiosAsTheBytesTheyAdd) {
  const std::string beacon = add_child(kBeacons);
  SignalWatcher changes(client(), kProps, "PropertiesChanged", beacon.c_str());
  ASSERT_EQ(set_multi(beacon, kBeacon,
                      dictionary({{"OUI", g_variant_new_string("00a0c6")},
                                  {"Data", g_variant_new_string("0102")},
                                  {"Band", g_variant_new_string("5G")},
                                  {"SSIDIndex", g_variant_new_uint32(3)}})),
            Error());
  EXPECT_EQ(changes.next(), change_body(kBeacon, "{'OUI': <'00A0C6'>, 'Data': <'0102'>, 'Band': <'5G'>, "
                                                 "'SSIDIndex': <uint32 3>}"));
  EXPECT_EQ(applied("beacon"), "");  // stored, not enabled: nothing on air
  ASSERT_EQ(write(beacon, kBeacon, "Enable", g_variant_new_boolean(true)), Error());
  EXPECT_EQ(applied("beacon"), "2:3:DD0500A0C60102");
  EXPECT_THAT(radios(), HasSubstr("beacon_elements=3:DD0500A0C60102\n"));

  // An element for both bands is carried by both; removing it takes it off the air.
  const std::string response = add_child(kResponses);
  ASSERT_EQ(set_multi(response, kResponse,
                      dictionary({{"OUI", g_variant_new_string("506F9A")},
                                  {"Enable", g_variant_new_boolean(true)}})),
            Error());
  EXPECT_EQ(applied("probe-response"), "3:0:DD03506F9A");
  const std::string state = radios();
  const size_t low = state.find("probe_response_elements=0:DD03506F9A\n");
  ASSERT_NE(low, std::string::npos);
  EXPECT_NE(state.find("probe_response_elements=0:DD03506F9A\n", low + 1), std::string::npos);
  ASSERT_EQ(remove(kResponses, response), Error());
  EXPECT_EQ(applied("probe-response"), "");
  EXPECT_THAT(radios(), Not(HasSubstr("DD03506F9A")));

  // A refused apply refuses the write, and nothing of it is stored.
  mib::fail_accessor("beaconTxVSIE_apply");
  EXPECT_EQ(set(beacon, kBeacon, "Data", "0304"), Error(kFailed, "Fail to apply change"));
  mib::clear_failures();
  EXPECT_EQ(text(beacon, kBeacon, "Data"), "0102");
  mib::fail_accessor("beaconTxVSIE_update_entry");
  EXPECT_EQ(set(beacon, kBeacon, "Data", "0304").first, kFailed);
  mib::clear_failures();
  EXPECT_EQ(cell("beacontxvsie", 1, "Data"), "0102");
}

TEST_F(VsieTest, FiltersKeepTheirNewestRecordsUnderARecordManagerThatGoesWithThem) {
  add_filter(1, "00A0C6", "All", 2);
  EXPECT_EQ(record_count(1), "uint32 0");
  EXPECT_EQ(managed(records(1).c_str()), "(@a{oa{sa{sv}}} {},)");

  EXPECT_EQ(probe("02:00:00:00:00:01", 1, 6, -40, "00a0c6", "aa01"), "OK");
  EXPECT_EQ(probe("02:00:00:00:00:02", 2, 36, -50, "00A0C6", "aa02"), "OK");
  EXPECT_EQ(probe("02:00:00:00:00:03", 1, 6, -60, "112233", "aa03"), "OK");  // no filter of that OUI
  EXPECT_EQ(text(record(1, 1), kRecord, "MAC"), "020000000001");
  EXPECT_EQ(shown(record(1, 2), kRecord, "RSSI"), "-50");
  EXPECT_EQ(text(record(1, 2), kRecord, "Band"), "5G");
  EXPECT_EQ(shown(record(1, 2), kRecord, "Channel"), "uint32 36");
  EXPECT_EQ(text(record(1, 2), kRecord, "Data"), "AA02");
  EXPECT_THAT(text(record(1, 2), kRecord, "Time"),
              testing::MatchesRegex("20[0-9][0-9]-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-5][0-9]Z"));
  EXPECT_EQ(record_count(1), "uint32 2");

  // Full: the oldest goes (the first record's number is free again and is taken).
  EXPECT_EQ(probe("02:00:00:00:00:04", 1, 11, -45, "00A0C6", "aa04"), "OK");
  EXPECT_EQ(record_count(1), "uint32 2");
  EXPECT_EQ(text(record(1, 2), kRecord, "Data"), "AA02");
  EXPECT_EQ(text(record(1, 1), kRecord, "Data"), "AA04");

  // Refused events keep nothing.
  EXPECT_EQ(probe("02:00:00:00:00:05", 1, 36, -45, "00A0C6", "aa05"),
            "ERR CHANNEL is no channel of BAND (1: 2.4 GHz, 2: 5 GHz)");
  EXPECT_EQ(probe("02:00:00:00:00:05", 1, 6, -45, "00A0C6", "aa0"),
            "ERR OUI is six hex digits, DATA an even number of hex digits");

  // A record manager takes no AddObject; DeleteObject removes one record.
  EXPECT_EQ(add(records(1).c_str()).second, Error(kManagerError, "not support to add object"));
  ASSERT_EQ(remove(records(1), record(1, 2)), Error());
  EXPECT_EQ(record_count(1), "uint32 1");
  EXPECT_THAT(shown(record(1, 2), kRecord, "Data"), StartsWith("error: "));

  // A disabled filter keeps nothing; a filter deleted takes its records and
  // manager along, and one added back starts empty.
  ASSERT_EQ(write(child(kFilters, 1), kFilter, "Enable", g_variant_new_boolean(false)), Error());
  EXPECT_EQ(probe("02:00:00:00:00:06", 1, 6, -45, "00A0C6", "aa06"), "OK");
  EXPECT_EQ(record_count(1), "uint32 1");
  ASSERT_EQ(remove(kFilters, child(kFilters, 1)), Error());
  EXPECT_THAT(record_count(1), StartsWith("error: "));
  EXPECT_EQ(probeRxVSIERecord_count(1), 0);
  add_filter(1, "00A0C6", "2.4G", 4);
  EXPECT_EQ(record_count(1), "uint32 0");
  EXPECT_EQ(managed(records(1).c_str()), "(@a{oa{sa{sv}}} {},)");
}

// A filter another process removes takes its record manager and records
// along, so that one added back under its number starts empty; records are
// found through the managers there are.
TEST_F(VsieTest, AFilterAnotherProcessRemovesTakesItsRecordsAlong) {
  add_filter(1, "00A0C6", "All", 4);
  add_filter(2, "00A0C6", "5G", 4);
  EXPECT_EQ(probe("02:00:00:00:00:01", 2, 36, -40, "00A0C6", "aa01"), "OK");
  EXPECT_EQ(record_count(1), "uint32 1");
  EXPECT_EQ(record_count(2), "uint32 1");

  ASSERT_EQ(mib_tool({"remove", "proberxvsie", "1"}).status, 0);
  EXPECT_EQ(exchange("row-removed proberxvsie 1"), "OK");
  eventually([&] { return record_count(1).find("error") != std::string::npos; });
  EXPECT_THAT(record_count(1), StartsWith("error: "));
  EXPECT_THAT(text(record(1, 1), kRecord, "Data"), StartsWith("error: "));
  EXPECT_EQ(probeRxVSIERecord_count(1), 0);
  EXPECT_EQ(text(record(2, 1), kRecord, "Data"), "AA01");  // the other filter keeps its own

  add_filter(1, "00A0C6", "All", 4);
  EXPECT_EQ(record_count(1), "uint32 0");
  EXPECT_EQ(managed(records(1).c_str()), "(@a{oa{sa{sv}}} {},)");
  EXPECT_EQ(probe("02:00:00:00:00:02", 1, 6, -40, "00A0C6", "aa02"), "OK");
  EXPECT_EQ(text(record(1, 1), kRecord, "Data"), "AA02");
  EXPECT_EQ(record_count(2), "uint32 1");
}

TEST_F(VsieTest, FilterValuesAndTheirCountsFollowTheirRules) {
  add_filter(1, "00A0C6", "All", 4);
  EXPECT_EQ(write(child(kFilters, 1), kFilter, "MaxRecords", g_variant_new_uint32(0)),
            InvalidArgs("Invalid parameter value ,MaxRecords: 0"));
  EXPECT_EQ(write(child(kFilters, 1), kFilter, "MaxRecords", g_variant_new_uint32(65)),
            InvalidArgs("Invalid parameter value ,MaxRecords: 65"));
  EXPECT_EQ(set(child(kFilters, 1), kFilter, "OUI", "00:A0:C6"), InvalidArgs("Invalid parameter value ,OUI: 00:A0:C6"));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(probe("02:00:00:00:00:01", 2, 44, -40, "00A0C6", "01"), "OK");
  // A lower MaxRecords drops the oldest at once.
  ASSERT_EQ(write(child(kFilters, 1), kFilter, "MaxRecords", g_variant_new_uint32(1)), Error());
  EXPECT_EQ(record_count(1), "uint32 1");
  EXPECT_EQ(shown(kFilters, "com.wqx.igd1.ProbeRxVSIEManager", "NumberOfEntries"), "uint32 1");
  EXPECT_EQ(shown(kFilters, "com.wqx.igd1.ProbeRxVSIEManager", "MaxEntries"), "uint32 8");
  for (unsigned n = 2; n <= 8; ++n) ASSERT_EQ(add_child(kFilters), child(kFilters, n));
  EXPECT_EQ(add(kFilters).second, Error(kManagerError, "Error! Table Full."));
}

}  // namespace
}  // namespace igd1::test
