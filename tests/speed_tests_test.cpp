// The speed-test family over the bus: five interfaces on one path, their
// write rules and texts, and real tests against a local HTTP server whose
// own measurements the reported rates must match.

#include <cstdlib>

#include "harness/bus_fixture.h"
#include "harness/http_server.h"
#include "speed_tests.h"

namespace igd1::test {
namespace {

constexpr char kPath[] = "/com/wqx/igd1/Diagnostics/HttpDownload";
constexpr char kPlain[] = "com.wqx.igd1.HttpDownloadTest";
constexpr char kFull[] = "com.wqx.igd1.HttpDownloadTestFF";
constexpr char kLocal[] = "com.wqx.igd1.HttpDownloadTestLocal";
constexpr char kSection[] = "com.wqx.igd1.HttpDownloadSectionSpeedtest";
constexpr char kMulti[] = "com.wqx.igd1.HttpDownloadSectionSpeedtestMulti";

// A body of 4 MiB in 64 KiB steps 15 ms apart: about a second at ~35 Mbit/s,
// long enough for both sides to measure the same rate.
HttpTestServer::Options paced() {
  return {.body_bytes = 4 << 20, .chunk = 64 * 1024, .pause = 15ms, .upload_pause = 15ms};
}

class SpeedTestsTest : public BusTest {
 protected:
  void configure(host::Options &options) override {
    options.modules = {"http_download_test", "http_download_testff", "http_download_testlocal",
                       "http_section_speedtest", "http_section_speedtest_multi"};
  }
  void TearDown() override {
    mib::clear_failures();
    BusTest::TearDown();
  }

  std::string get(const char *interface, const char *name) { return shown(kPath, interface, name); }
  // "ok", or the error's message.
  static std::string answer(const Error &error) { return error.first.empty() ? "ok" : error.second; }
  std::string set(const char *interface, const char *name, GVariant *value) {
    return answer(write(kPath, interface, name, value));
  }
  std::string set_multi(const char *interface, GVariant *entries) {
    return answer(BusTest::set_multi(kPath, interface, entries));
  }
  // The reply of StartTest, or "<error name>: <message>".
  std::string start(const char *interface, uint32_t duration) {
    g_autoptr(GError) error = nullptr;
    Variant reply = call(kPath, interface, "StartTest", g_variant_new("(u)", duration), &error);
    if (reply) return printed(reply.get());
    const auto [name, message] = remote_error(error);
    return name + ": " + message;
  }
  // Reads `name` until it is `value` (printed); the last value read.
  std::string wait_until(const char *interface, const char *name, const std::string &value) {
    std::string now;
    eventually([&] { return (now = get(interface, name)) == value; });
    return now;
  }
  // A rate property ('12.34', Mbit/s) in bits per second.
  double rate(const char *interface, const char *name) {
    const std::string text = get(interface, name);
    return std::strtod(text.c_str() + 1, nullptr) * 1e6;
  }
};

std::string text_of(size_t length, char c = 'x') { return "'" + std::string(length, c) + "'"; }

TEST_F(SpeedTestsTest, FiveInterfacesShareThePathAndEachWriteReachesItsOwnModule) {
  const std::string xml = introspect(kPath);
  for (const char *interface : {kPlain, kFull, kLocal, kSection, kMulti})
    EXPECT_THAT(xml, HasSubstr(std::string("<interface name=\"") + interface + "\"")) << interface;

  const std::string url = "http://127.0.0.1:1/file";
  EXPECT_EQ(set_multi(kPlain, dictionary({{"URL", g_variant_new_string(url.c_str())}})), "ok");
  EXPECT_EQ(set_multi(kFull, dictionary({{"SpeedType", g_variant_new_byte(2)}})), "ok");
  EXPECT_EQ(set_multi(kLocal, dictionary({{"RFU1", g_variant_new_string("note")}})), "ok");
  EXPECT_EQ(set_multi(kSection, dictionary({{"Streams", g_variant_new_byte(7)}})), "ok");
  EXPECT_EQ(set_multi(kMulti, dictionary({{"SpeedMode", g_variant_new_byte(0)}})), "ok");
  EXPECT_EQ(mib::get_setting("httptest.URL"), url);
  EXPECT_EQ(mib::get_setting("speedff.SpeedType"), "2");
  EXPECT_EQ(mib::get_setting("speedlocal.RFU1"), "note");
  EXPECT_EQ(mib::get_setting("sectiontest.Streams"), "7");
  EXPECT_EQ(mib::get_setting("sectiontest.SpeedMode"), "0");
  // A name of another member of the family is not this member's.
  EXPECT_EQ(set_multi(kPlain, dictionary({{"Streams", g_variant_new_byte(3)}})),
            "invalid property Streams");
  loop_->run([] {
    g_autoptr(GError) error = nullptr;
    EXPECT_EQ(sectionSpeedtest_handle_get_property(nullptr, nullptr, kPath, kSection, "URL", &error,
                                                   nullptr),
              nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error->message, "invalid property URL");
  });
}

TEST_F(SpeedTestsTest, WritesFollowTheirRulesAndTexts) {
  const struct {
    const char *interface, *name;
    GVariant *value;
    const char *answer;
  } cases[] = {
      {kPlain, "URL", g_variant_new_string(std::string(1024, 'u').c_str()), "Invalid parameter value"},
      {kPlain, "URL", g_variant_new_string("ftp://host/file"), "set url failed ftp://host/file"},
      {kFull, "Ticket", g_variant_new_string(std::string(80, 't').c_str()), "ok"},
      {kFull, "Ticket", g_variant_new_string(std::string(81, 't').c_str()),
       "Ticket Invalid parameter value ttttttttttttttttttttttttttttttttttttttttttttttttttttttttttttttt"
       "tttttttttttttttttt"},
      {kFull, "Ticket", g_variant_new_string("a\r\nX-Other: 1"), "set Ticket failed a\r\nX-Other: 1"},
      {kFull, "SpeedType", g_variant_new_byte(0), "SpeedType Invalid parameter value 0"},
      {kFull, "SpeedType", g_variant_new_byte(4), "SpeedType Invalid parameter value 4"},
      {kFull, "SpeedType", g_variant_new_byte(3), "ok"},
      {kLocal, "Enable", g_variant_new_boolean(true), "ok"},
      {kLocal, "RFU2", g_variant_new_string(std::string(33, 'r').c_str()),
       "RFU2 Invalid parameter value rrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrr"},
      {kSection, "Streams", g_variant_new_byte(0), "Streams Invalid parameter value 0"},
      {kSection, "Streams", g_variant_new_byte(11), "Streams Invalid parameter value 11"},
      {kSection, "Streams", g_variant_new_byte(1), "ok"},
      {kSection, "Streams", g_variant_new_byte(10), "ok"},
      {kSection, "ServerPort", g_variant_new_uint32(0), "ServerPort Invalid parameter value 0"},
      {kSection, "ServerPort", g_variant_new_uint32(65536), "ServerPort Invalid parameter value 65536"},
      {kSection, "PayloadLength", g_variant_new_uint32(1499), "PayloadLength Invalid parameter value 1499"},
      {kSection, "PayloadLength", g_variant_new_uint32(9001), "PayloadLength Invalid parameter value 9001"},
      {kSection, "PayloadLength", g_variant_new_uint32(1500), "ok"},
      {kSection, "PayloadLength", g_variant_new_uint32(9000), "ok"},
      {kSection, "SpeedMode", g_variant_new_byte(0), "SpeedMode Invalid parameter value 0"},
      {kMulti, "SpeedMode", g_variant_new_byte(0), "ok"},
      {kMulti, "SpeedMode", g_variant_new_byte(3), "SpeedMode Invalid parameter value 3"},
      {kSection, "ServerIP", g_variant_new_string(std::string(46, '1').c_str()),
       "ServerIP Invalid parameter value 1111111111111111111111111111111111111111111111"},
      {kSection, "ServerIP", g_variant_new_string("10.0.0.1;reboot"), "set ServerIP failed 10.0.0.1;reboot"},
      {kSection, "ServerIP", g_variant_new_string("fd00::8"), "ok"},
  };
  for (const auto &c : cases) {
    g_autoptr(GVariant) value = g_variant_ref_sink(c.value);
    SCOPED_TRACE(std::string(c.interface) + " " + c.name + " " + printed(value));
    EXPECT_EQ(set(c.interface, c.name, value), c.answer);
  }
  EXPECT_EQ(get(kFull, "Ticket"), text_of(63, 't'));  // read into 64 bytes
  EXPECT_EQ(mib::get_setting("speedff.Ticket"), std::string(80, 't'));
  EXPECT_EQ(get(kSection, "PayloadLength"), "uint32 9000");
  // Read-only names reach the handlers through the multi-write only.
  EXPECT_EQ(set_multi(kLocal, dictionary({{"URL", g_variant_new_string("http://127.0.0.1/")}})),
            "invalid property URL");
  EXPECT_EQ(set_multi(kPlain, dictionary({{"Status", g_variant_new_uint32(1)}})),
            "invalid property Status");
  EXPECT_EQ(get(kSection, "ServerIP"), "'fd00::8'");

  // A multi-write stops at its first refused entry; the ones before stay.
  EXPECT_EQ(set_multi(kFull, dictionary({{"SpeedType", g_variant_new_byte(2)},
                                         {"URL", g_variant_new_string(std::string(1024, 'u').c_str())},
                                         {"Ticket", g_variant_new_string("never")}})),
            "URL Invalid parameter value " + std::string(1024, 'u'));
  EXPECT_EQ(get(kFull, "SpeedType"), "byte 0x02");
  EXPECT_EQ(get(kFull, "Ticket"), text_of(63, 't'));
}

TEST_F(SpeedTestsTest, FailedReadsAnswerDefaultsAndTheReportReadsBackWhole) {
  for (const char *accessor : {"httpdownloadtest_get_property", "httpdownloadtestff_get_property",
                               "httpdownloadtestlocal_get_property", "sectionSpeedtest_get_property",
                               "sectionSpeedtestMulti_get_property"})
    mib::fail_accessor(accessor);
  const char *defaults[][3] = {
      {kPlain, "Status", "uint32 0"}, {kPlain, "URL", "''"}, {kFull, "Result", "uint32 1"},
      {kFull, "SpeedType", "byte 0x00"}, {kFull, "DW_SPEED_RATE", "''"},
      {kLocal, "Result", "uint32 1"}, {kLocal, "Enable", "false"},
      {kSection, "ServerPort", "uint32 1"}, {kSection, "Result", "byte 0x01"}, {kMulti, "Report", "''"}};
  for (const auto &[interface, name, value] : defaults)
    EXPECT_EQ(get(interface, name), value) << interface << "." << name;
  mib::clear_failures();

  EXPECT_EQ(get(kFull, "PACKET_LOSS"), "''");
  EXPECT_EQ(get(kSection, "ServerPort"), "uint32 8080");
  const std::string report(899, 'r');
  ASSERT_TRUE(mib::set_setting("sectionmulti.Report", report));
  EXPECT_EQ(get(kMulti, "Report"), "'" + report + "'");
}

TEST_F(SpeedTestsTest, StartTestChecksItsDurationAndReportsRefusals) {
  EXPECT_EQ(start(kPlain, 31), "com.wqx.igd1.HttpDownloadTest: Invalid parameter value");
  EXPECT_EQ(start(kFull, 31), "com.wqx.igd1.HttpDownloadTestFF: Invalid parameter value");
  EXPECT_EQ(start(kSection, 31), "com.wqx.igd1.httpDownloadSectionSpeedtest: Invalid parameter value");
  EXPECT_EQ(start(kMulti, 31), "com.wqx.igd1.httpDownloadSectionSpeedtest: Invalid parameter value");
  // The local test ignores its argument; it refuses while disabled.
  EXPECT_EQ(start(kLocal, 31), "(uint32 4, 'Invalid parameter value!')");
  ASSERT_TRUE(mib::set_setting("speedff.URL", ""));
  EXPECT_EQ(start(kFull, 30), "(uint32 2, 'Invalid parameter value!')");
  ASSERT_TRUE(mib::set_setting("httptest.URL", "file:///etc/passwd"));
  EXPECT_EQ(start(kPlain, 30), "(uint32 9007, 'Invalid parameter value')");
  mib::fail_accessor("httpdownloadtest_StartTest");
  EXPECT_EQ(start(kPlain, 30), "com.wqx.igd1.HttpDownloadTest: msg_proc_handle return failed");
  EXPECT_EQ(get(kPlain, "Status"), "uint32 0");
}

TEST_F(SpeedTestsTest, PlainDownloadMeasuresWhatTheServerSent) {
  HttpTestServer server(paced());
  SignalWatcher changes(client(), "com.wqx.igd1.Properties", "PropertiesChanged", kPath);
  ASSERT_EQ(set(kPlain, "URL", g_variant_new_string(server.url().c_str())), "ok");
  EXPECT_NE(changes.wait().body, nullptr);
  ASSERT_EQ(set_multi(kPlain, dictionary({{"URL", g_variant_new_string(server.url().c_str())}})), "ok");

  EXPECT_EQ(start(kPlain, 20), "(uint32 0, 'none!')");
  EXPECT_EQ(get(kPlain, "Status"), "uint32 1");
  EXPECT_EQ(start(kPlain, 20), "(uint32 9001, 'Request denied')");
  EXPECT_EQ(wait_until(kPlain, "Status", "uint32 2"), "uint32 2") << get(kPlain, "Result");

  ASSERT_EQ(server.transfers().size(), 1u);
  const double sent = server.rate("GET");
  const std::string result = get(kPlain, "Result");
  ASSERT_THAT(result, StartsWith("'rate="));
  const double measured = std::strtod(result.c_str() + 6, nullptr) * 1e6;
  EXPECT_NEAR(measured, sent, sent * 0.2) << result;
  EXPECT_THAT(result, HasSubstr("bytes=4194304,"));
  // Only the single write was announced.
  EXPECT_EQ(changes.pending(), 0u);
}

TEST_F(SpeedTestsTest, AServerThatStopsAnsweringFailsTheTestInBoundedTime) {
  HttpTestServer server({.body_bytes = 4 << 20, .chunk = 64 * 1024, .pause = 5ms,
                         .stall_after = 256 * 1024});
  ASSERT_EQ(set(kPlain, "URL", g_variant_new_string(server.url().c_str())), "ok");
  ASSERT_TRUE(mib::set_setting("speedff.URL", server.url()));
  ASSERT_TRUE(mib::set_setting("speedff.SpeedType", "1"));
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(start(kPlain, 30), "(uint32 0, 'none!')");
  EXPECT_EQ(start(kFull, 30), "(uint32 0, '')");
  EXPECT_EQ(wait_until(kPlain, "Status", "uint32 3"), "uint32 3");
  EXPECT_EQ(get(kPlain, "Result"), "'failed: the server stopped sending'");
  EXPECT_EQ(wait_until(kFull, "TestingStatus", "false"), "false");
  EXPECT_EQ(get(kFull, "Result"), "uint32 1");
  // Both ended on the stall limit (3 s), well before the 30 s asked for.
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 20s);
  EXPECT_TRUE(server.transfers().empty());
}

TEST_F(SpeedTestsTest, FullFeaturedTestMeasuresDelaysBothDirectionsAndSendsTheTicket) {
  HttpTestServer server(paced());
  ASSERT_EQ(set_multi(kFull, dictionary({{"URL", g_variant_new_string(server.url().c_str())},
                                         {"SpeedType", g_variant_new_byte(3)},
                                         {"Ticket", g_variant_new_string("T-2026-0815")}})),
            "ok");
  EXPECT_EQ(start(kFull, 20), "(uint32 0, '')");
  EXPECT_EQ(get(kFull, "TestingStatus"), "true");
  EXPECT_EQ(get(kFull, "Result"), "uint32 2");
  EXPECT_EQ(start(kFull, 20), "(uint32 1, 'Invalid parameter value!')");
  EXPECT_EQ(wait_until(kFull, "TestingStatus", "false"), "false");
  EXPECT_EQ(get(kFull, "Result"), "uint32 0");

  EXPECT_EQ(server.requests("HEAD"), 5);
  for (const HttpTestServer::Transfer &t : server.transfers())
    EXPECT_THAT(t.headers, HasSubstr("\r\nX-Ticket: T-2026-0815\r\n"));
  const double down = rate(kFull, "DW_SPEED_RATE"), sent = server.rate("GET");
  EXPECT_NEAR(down, sent, sent * 0.2);
  EXPECT_GE(rate(kFull, "DW_SPEED_MAX_RATE"), down * 0.9);
  // The upload moved as many bytes as came down.
  ASSERT_EQ(server.requests("POST"), 1);
  const double up = rate(kFull, "UP_SPEED_RATE"), received = server.rate("POST");
  EXPECT_EQ(server.transfers().back().bytes, uint64_t(4) << 20);
  EXPECT_NEAR(up, received, received * 0.2);
  for (const char *delay : {"MIN_TIME_DELAY", "AVG_TIME_DELAY", "MAX_TIME_DELAY", "PACKET_SHAKE"})
    EXPECT_THAT(get(kFull, delay), testing::MatchesRegex("'[0-9]+\\.[0-9][0-9]'")) << delay;
  EXPECT_LE(rate(kFull, "MIN_TIME_DELAY"), rate(kFull, "MAX_TIME_DELAY"));
  EXPECT_THAT(get(kFull, "BEGIN_TIME"), testing::MatchesRegex("'20[0-9-]+ [0-9:]+'"));
  EXPECT_NE(get(kFull, "END_TIME"), "''");
}

TEST_F(SpeedTestsTest, LocalTestRunsWhileEnabledAndShowsProgress) {
  // About four seconds of transfer: the test is still running when its
  // first rate shows.
  HttpTestServer server({.body_bytes = 12 << 20, .chunk = 64 * 1024, .pause = 20ms});
  ASSERT_TRUE(mib::set_setting("speedlocal.URL", server.url()));
  ASSERT_EQ(set(kLocal, "Enable", g_variant_new_boolean(true)), "ok");
  EXPECT_EQ(start(kLocal, 0), "(uint32 0, '')");
  // The live rate shows up while the test runs.
  EXPECT_TRUE(eventually([&] { return get(kLocal, "DW_SPEED_RATE") != "''"; }));
  EXPECT_EQ(get(kLocal, "TestingStatus"), "true");
  EXPECT_EQ(wait_until(kLocal, "TestingStatus", "false"), "false");
  EXPECT_EQ(get(kLocal, "Result"), "uint32 0");
  const double sent = server.rate("GET");
  EXPECT_NEAR(rate(kLocal, "DW_SPEED_RATE"), sent, sent * 0.2);
  EXPECT_EQ(server.requests("POST"), 0);
}

TEST_F(SpeedTestsTest, SectionTestsMeasureOverParallelStreamsAndReport) {
  HttpTestServer server(paced());
  ASSERT_EQ(set_multi(kSection, dictionary({{"ServerIP", g_variant_new_string("127.0.0.1")},
                                            {"ServerPort", g_variant_new_uint32(server.port())},
                                            {"Streams", g_variant_new_byte(2)},
                                            {"SpeedMode", g_variant_new_byte(1)}})),
            "ok");
  EXPECT_EQ(start(kSection, 30), "(uint32 0, '')");
  EXPECT_EQ(wait_until(kSection, "TestingStatus", "byte 0x00"), "byte 0x00");
  EXPECT_EQ(get(kSection, "Result"), "byte 0x00");
  EXPECT_EQ(server.transfers().size(), 2u);
  const double sent = server.rate("GET");
  EXPECT_NEAR(rate(kSection, "SPEED_RATE"), sent, sent * 0.2);
  EXPECT_LE(rate(kSection, "SPEED_MIN_RATE"), rate(kSection, "SPEED_MAX_RATE"));

  // Uploads run until the 10 s limit or 64 MiB: this server takes them at once.
  HttpTestServer fast({.body_bytes = 4 << 20, .chunk = 64 * 1024, .pause = 15ms});
  ASSERT_EQ(set(kMulti, "SpeedMode", g_variant_new_byte(0)), "ok");
  ASSERT_EQ(set(kSection, "Streams", g_variant_new_byte(1)), "ok");
  ASSERT_EQ(set(kSection, "ServerPort", g_variant_new_uint32(fast.port())), "ok");
  EXPECT_EQ(start(kMulti, 0), "(uint32 0, '')");
  EXPECT_EQ(wait_until(kMulti, "TestingStatus", "byte 0x00"), "byte 0x00");
  EXPECT_EQ(get(kMulti, "Result"), "byte 0x00");
  const std::string report = get(kMulti, "Report");
  EXPECT_THAT(report, testing::MatchesRegex("'down: rate=[0-9.]+ max=[0-9.]+ min=[0-9.]+ "
                                            "sections=[0-9.,]+\\\\nup: rate=.*'"));
  EXPECT_EQ(fast.requests("POST"), 1);

  // The multi-section test's mode 0 is no mode of the section test.
  EXPECT_EQ(start(kSection, 0), "(uint32 3, 'Invalid parameter value!')");
  // Nothing answers on a closed port: the test fails instead of waiting.
  ASSERT_EQ(set_multi(kSection, dictionary({{"ServerPort", g_variant_new_uint32(1)},
                                            {"SpeedMode", g_variant_new_byte(2)}})),
            "ok");
  EXPECT_EQ(start(kSection, 0), "(uint32 0, '')");
  EXPECT_EQ(wait_until(kSection, "TestingStatus", "byte 0x00"), "byte 0x00");
  EXPECT_EQ(get(kSection, "Result"), "byte 0x01");
}

}  // namespace
}  // namespace igd1::test
