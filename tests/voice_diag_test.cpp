// The voice tests over the bus on the emulated voice line: registration,
// simulated call, phone connectivity and the poor-quality call records.
#include "mib_diag.h"
#include "object_client.h"

namespace igd1::test {
namespace {

constexpr ObjectUnderTest kIad{"/com/wqx/igd1/Diagnostics/IADTest", "com.wqx.igd1.IADDiagnostics"};
constexpr ObjectUnderTest kCall{"/com/wqx/igd1/Diagnostics/VoiceSimulateTest",
                                "com.wqx.igd1.VOIPSimulateTest"};
constexpr ObjectUnderTest kPhone{"/com/wqx/igd1/Info/PhoneConnectivity",
                                 "com.wqx.igd1.PhoneConnectivity"};
constexpr char kRecords[] = "/com/wqx/igd1/Info/Voice/PoorQualityStats";
constexpr char kRecord[] = "com.wqx.igd1.VoicePoorQualityStats";
// Long beside the calls a test makes while one runs, however loaded the
// machine; a test's end is due this long after its start returned.
constexpr auto kTestTime = 2000ms;

class VoiceTest : public ObjectTest {
 protected:
  using BusTest::write;
  using ObjectTest::write;
  void SetUp() override {
    ObjectTest::SetUp();
    event("voice test-delay " + std::to_string(kTestTime.count()));
  }
  void event(const std::string &words) {
    std::string answer;
    ASSERT_TRUE(host::run_event(words, &answer)) << words << ": " << answer;
  }
  // Waits until the test's time has passed: its end was due at most
  // kTestTime after its start was answered.
  static void test_ends() { std::this_thread::sleep_for(kTestTime); }
  std::string record(unsigned row, const char *property) {
    return shown(std::string(kRecords) + "/" + std::to_string(row), kRecord, property);
  }
};

// Types 1 and 2 start the test; until it ends the result reads "not
// registered, not tested", then what the line showed; a failed read gives
// the defaults 1 and 5.
TEST_F(VoiceTest, RegistrationTestReportsTheLineWhenItEnds) {
  for (uint32_t type : {0u, 3u})
    EXPECT_EQ(invoke(kIad, "StartIADDiagTest", g_variant_new("(u)", type)),
              "<com.wqx.igd1.IADDiagnostics: Invalid parameter value>");
  EXPECT_EQ(invoke(kIad, "StartIADDiagTest", g_variant_new("(u)", 1u)), "(uint32 0, 'test started')");
  EXPECT_EQ(read(kIad, "RegistResult"), "uint32 1");
  EXPECT_EQ(read(kIad, "Reason"), "uint32 5");
  EXPECT_EQ(invoke(kIad, "StartIADDiagTest", g_variant_new("(u)", 2u)),
            "(uint32 1, 'a registration test is running')");
  test_ends();
  EXPECT_EQ(read(kIad, "RegistResult"), "uint32 0");
  EXPECT_EQ(read(kIad, "Reason"), "uint32 0");

  event("voice line 1 Error");
  EXPECT_EQ(invoke(kIad, "StartIADDiagTest", g_variant_new("(u)", 2u)), "(uint32 0, 'test started')");
  test_ends();
  EXPECT_EQ(read(kIad, "RegistResult"), "uint32 1");
  EXPECT_EQ(read(kIad, "Reason"), "uint32 2");
  mib::fail_accessor("IADDiagnostics_get_property", 1);
  EXPECT_EQ(read(kIad, "Reason"), "uint32 5");
  mib::fail_accessor("IADDiagnostics_get_property", 0);
  EXPECT_EQ(read(kIad, "RegistResult"), "uint32 1");
}

// The numbers are checked and stored, never announced; a call passes when
// the line is registered and the number dialled, and a DTMF confirmation
// asked for with it is confirmed.
TEST_F(VoiceTest, SimulatedCallDialsTheStoredNumber) {
  SignalWatcher changes(client(), "org.freedesktop.DBus.Properties", "PropertiesChanged", kCall.path);
  const std::string longest(32, '5');
  EXPECT_EQ(write(kCall, "CalledNumber", ("'" + longest + "6'").c_str()),
            InvalidArgs("Invalid parameter value"));
  EXPECT_EQ(write(kCall, "CalledNumber", "'12a'"), InvalidArgs("set CalledNumber failed 12a"));
  EXPECT_EQ(write(kCall, "CalledNumber", ("'" + longest + "'").c_str()), Failure());
  EXPECT_EQ(setting("voicetest.CalledNumber"), longest);
  EXPECT_EQ(write(kCall, "DialDTMFConfirmNumber", "'#1'"), Failure());
  mib::fail_accessor("VOIPSimulateTest_set_property", 1);
  EXPECT_EQ(write(kCall, "DialDTMFConfirmEnable", "true"),
            InvalidArgs("set DialDTMFConfirmEnable failed 1"));
  mib::clear_failures();
  EXPECT_EQ(write(kCall, "DialDTMFConfirmEnable", "true"), Failure());
  EXPECT_EQ(read(kCall, "DialDTMFConfirmEnable"), "true");
  EXPECT_EQ(changes.next(200ms), "<null>");

  EXPECT_EQ(invoke(kCall, "StartTest", g_variant_new("(u)", 3u)),
            "<com.wqx.igd1.VOIPSimulateTest: Invalid parameter value>");
  EXPECT_EQ(read(kCall, "Status"), "'None'");
  EXPECT_EQ(invoke(kCall, "StartTest", g_variant_new("(u)", 0u)), "(uint32 0, 'test started')");
  EXPECT_EQ(read(kCall, "Status"), "'Testing'");
  test_ends();
  EXPECT_EQ(read(kCall, "Status"), "'Complete'");
  EXPECT_EQ(read(kCall, "Conclusion"), "byte 0x00");
  EXPECT_EQ(read(kCall, "FailedResponseCode"), "uint32 200");
  EXPECT_EQ(read(kCall, "DialDTMFConfirmResult"), "byte 0x01");

  // With the line down the call fails at the caller's side.
  event("voice line 1 Down");
  EXPECT_EQ(invoke(kCall, "StartTest", g_variant_new("(u)", 2u)), "(uint32 0, 'test started')");
  test_ends();
  EXPECT_EQ(read(kCall, "Conclusion"), "byte 0x01");
  EXPECT_EQ(read(kCall, "CallerFailReason"), "'line not registered'");
  EXPECT_EQ(read(kCall, "FailedResponseCode"), "uint32 503");
  EXPECT_EQ(read(kCall, "DialDTMFConfirmResult"), "byte 0x02");
}

// During a conformance run StartTest answers as started and runs nothing.
TEST_F(VoiceTest, NoCallStartsDuringAConformanceRun) {
  write_text_file(root().path(path::kCtsMarker), "");
  EXPECT_EQ(invoke(kCall, "StartTest", g_variant_new("(u)", 1u)), "(uint32 0, '')");
  EXPECT_EQ(read(kCall, "Status"), "'None'");
}

TEST_F(VoiceTest, PhoneConnectivitySeesThePluggedPhone) {
  EXPECT_EQ(read(kPhone, "PhoneConnectivity"), "false");
  EXPECT_EQ(read(kPhone, "OffHookAlarmStatus"), "true");
  EXPECT_EQ(invoke(kPhone, "StartTest", nullptr), "(uint32 0, 'test started')");
  test_ends();
  EXPECT_EQ(read(kPhone, "PhoneConnectivity"), "true");
  EXPECT_EQ(read(kPhone, "OffHookAlarmStatus"), "false");
  mib::fail_accessor("PhoneConnectivity_get_property");
  EXPECT_EQ(read(kPhone, "PhoneConnectivity"), "false");
  EXPECT_EQ(read(kPhone, "OffHookAlarmStatus"), "true");
}

// The line's records are rows 1 to N; clients cannot add one, DeleteObject
// only withdraws a row from the bus, and a record the line adds appears.
TEST_F(VoiceTest, PoorQualityCallsAreTheLinesRecords) {
  EXPECT_EQ(record(1, "StatTime"), "'2026-01-01 08:00:00'");
  EXPECT_EQ(record(2, "MosLq"), "uint32 26");
  EXPECT_EQ(record(2, "Codec"), "'G.729'");
  EXPECT_EQ(record(1, "TxPackets"), "uint64 15000");
  EXPECT_EQ(add(kRecords).second, Error(kFailed, "##########not support to AddObject yet"));
  EXPECT_EQ(remove(kRecords, std::string(kRecords) + "/0"),
            Error(kManagerError, "DeleteObject object path error"));
  EXPECT_EQ(remove(kRecords, std::string(kRecords) + "/2"), Error());
  EXPECT_THAT(managed(kRecords), Not(HasSubstr("PoorQualityStats/2")));
  EXPECT_EQ(VoicePoorQualityStats_dbus_num(), 2) << "the line keeps its record";

  SignalWatcher added(client(), kFreedesktopManager, "InterfacesAdded", kRecords);
  event("voice call-record 2026-02-03T10:20:30 800 790 240 60 12 10.20.0.2 5008 10.30.0.20 16410 22 G.722");
  ASSERT_NE(added.next(), "<null>");
  EXPECT_EQ(record(3, "StatTime"), "'2026-02-03 10:20:30'");
  EXPECT_EQ(record(3, "FractionLoss"), "uint32 12");
  mib::fail_accessor("VoicePoorQualityStats_get_property", 11);
  EXPECT_EQ(record(3, "Codec"), "error: Get Codec failed");
  std::string answer;
  EXPECT_FALSE(host::run_event("voice call-record 2026-02-03T10:20:31 1 1 1 1 101 a 1 b 1 1 c", &answer))
      << "a loss above 100 %";
}

}  // namespace
}  // namespace igd1::test
