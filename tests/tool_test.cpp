// Logging, fault texts, instance keys of object paths and file-name conversion.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <latch>
#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness/bus_fixture.h"
#include "sys_paths.h"
#include "tool.h"

namespace igd1::test {
namespace {

constexpr char kHeaderPattern[] = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[DBUS\]\[INFO\]: )";

// A fresh root with an empty log for each test; the routing mask is put back afterwards.
class SysLogTest : public testing::Test {
 protected:
  void SetUp() override { gui_dbusProxyDbg = DBUS_PROXY_DBG_DEFAULT; }
  void TearDown() override { gui_dbusProxyDbg = saved_mask_; }

  std::string log_file() const { return root_.path(path::kSyslog); }
  std::string log_text() const { return read_text_file(log_file()); }

  // Logs one line and returns what reached standard output.
  template <typename... Args>
  std::string logged(int module, int level, int category, const char *format, Args... args) {
    testing::internal::CaptureStdout();
    sys_log(module, level, category, __FILE__, __LINE__, "test", format, args...);
    return testing::internal::GetCapturedStdout();
  }

  TempRoot root_;
  uint32_t saved_mask_ = gui_dbusProxyDbg;
};

TEST_F(SysLogTest, LinesCarryTheHeaderAndEndPerDestination) {
  gui_dbusProxyDbg = 0xFFFFFFFFu;
  std::string printed = logged(LOG_MODULE_DBUS, LOG_LEVEL_INFO, LOG_CATEGORY_DEBUG,
                               "func [%s], line [%d]", "dhcp_server_on_bus_acquired", 381);
  const std::string message = "func [dhcp_server_on_bus_acquired], line [381]";
  EXPECT_TRUE(std::regex_match(printed, std::regex(std::string("^") + kHeaderPattern + "func \\[" +
                                                   "dhcp_server_on_bus_acquired\\], line \\[381\\] \r\n$")))
      << printed;
  std::string text = printed.substr(0, printed.size() - 3);
  EXPECT_EQ(log_text(), text + "\r\n");

  // The time stamp is the local time of the call.
  struct tm stamp = {};
  ASSERT_NE(strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &stamp), nullptr);
  stamp.tm_isdst = -1;
  EXPECT_LE(std::abs(std::difftime(std::time(nullptr), std::mktime(&stamp))), 5.0);

  // Levels outside the table are named UNKNOWN and are never gated.
  gui_dbusProxyDbg = 0;
  printed = logged(LOG_MODULE_DBUS, 9, LOG_CATEGORY_DEBUG, "odd level");
  EXPECT_NE(printed.find(" [DBUS][UNKNOWN]: odd level \r\n"), std::string::npos) << printed;
  EXPECT_NE(log_text().find("[DBUS][UNKNOWN]: odd level\r\n"), std::string::npos);
}

TEST_F(SysLogTest, OnlyTheBusModuleAndKnownCategoriesAreOutput) {
  gui_dbusProxyDbg = 0xFFFFFFFFu;
  EXPECT_EQ(logged(4, LOG_LEVEL_ERROR, LOG_CATEGORY_DEBUG, "from SYS"), "");
  for (int category : {-1, 12, 254})
    EXPECT_EQ(logged(LOG_MODULE_DBUS, LOG_LEVEL_ERROR, category, "category %d", category), "");
  const char *no_format = nullptr;
  testing::internal::CaptureStdout();
  sys_log(LOG_MODULE_DBUS, LOG_LEVEL_ERROR, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, "test", no_format);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(g_file_test(log_file().c_str(), G_FILE_TEST_EXISTS)) << "filtered calls open the log";

  for (int category : {0, 11})
    EXPECT_NE(logged(LOG_MODULE_DBUS, LOG_LEVEL_ERROR, category, "category %d", category), "");
}

TEST_F(SysLogTest, MaskGroupsRouteLevelsFourToSeven) {
  struct Case {
    uint32_t mask;
    int level;
    bool to_stdout;
    bool to_file;
  };
  const Case cases[] = {
      // The initial mask: 4 to 6 to the file only, 7 nowhere, 0 to 3 both.
      {DBUS_PROXY_DBG_DEFAULT, LOG_LEVEL_DEBUG, false, false},
      {DBUS_PROXY_DBG_DEFAULT, LOG_LEVEL_DETAIL, false, true},
      {DBUS_PROXY_DBG_DEFAULT, LOG_LEVEL_INFO, false, true},
      {DBUS_PROXY_DBG_DEFAULT, LOG_LEVEL_WARN, false, true},
      {DBUS_PROXY_DBG_DEFAULT, LOG_LEVEL_ERROR, true, true},
      {DBUS_PROXY_DBG_DEFAULT, LOG_LEVEL_EMERGENCY, true, true},
      {0xFFFFFFFFu, LOG_LEVEL_DEBUG, true, true},
      // Any one bit of a group sets it.
      {0x00020000u, LOG_LEVEL_DEBUG, true, false},
      {0x00020000u, LOG_LEVEL_DETAIL, false, false},
      {0x80000000u, LOG_LEVEL_WARN, true, false},
      {0x00000400u, LOG_LEVEL_INFO, false, true},
      {0x00000400u, LOG_LEVEL_DETAIL, false, false},
      {0x01000000u, LOG_LEVEL_INFO, true, false},
      {0, LOG_LEVEL_CRITICAL, true, true},
  };
  int n = 0;
  for (const Case &c : cases) {
    gui_dbusProxyDbg = c.mask;
    std::string marker = "case " + std::to_string(n++) + ".";
    std::string printed = logged(LOG_MODULE_DBUS, c.level, LOG_CATEGORY_DEBUG, "%s", marker.c_str());
    EXPECT_EQ(printed.find(marker) != std::string::npos, c.to_stdout) << marker << printed;
    EXPECT_EQ(log_text().find(marker) != std::string::npos, c.to_file) << marker;
  }
}

TEST_F(SysLogTest, LongMessagesAreCutAt254Characters) {
  gui_dbusProxyDbg = 0xFFFFFFFFu;
  std::string printed = logged(LOG_MODULE_DBUS, LOG_LEVEL_INFO, LOG_CATEGORY_DEBUG, "%s",
                               std::string(400, 'x').c_str());
  ASSERT_GE(printed.size(), 3u);
  std::string text = printed.substr(0, printed.size() - 3);
  EXPECT_EQ(text.size(), 254u);
  EXPECT_TRUE(std::regex_match(text, std::regex(std::string(kHeaderPattern) + "x+"))) << text;
  EXPECT_EQ(printed.substr(254), " \r\n");
  EXPECT_EQ(log_text(), text + "\r\n");
}

TEST_F(SysLogTest, FileIsEmptiedOnceItExceedsTheCap) {
  DBUS_LOG(LOG_LEVEL_INFO, "first line");
  std::string first = log_text();
  ASSERT_FALSE(first.empty());

  // At the cap itself the file is kept and written on.
  ASSERT_EQ(truncate(log_file().c_str(), SYS_LOG_FILE_CAP), 0);
  DBUS_LOG(LOG_LEVEL_INFO, "second line");
  std::string kept = log_text();
  EXPECT_EQ(kept.size(), static_cast<size_t>(SYS_LOG_FILE_CAP));
  EXPECT_EQ(kept.compare(0, first.size(), first), 0);
  EXPECT_NE(kept.find("second line\r\n"), std::string::npos);

  ASSERT_EQ(truncate(log_file().c_str(), SYS_LOG_FILE_CAP + 1), 0);
  DBUS_LOG(LOG_LEVEL_INFO, "after the cap");
  EXPECT_TRUE(std::regex_match(log_text(), std::regex(std::string(kHeaderPattern) + "after the cap\r\n")))
      << log_text().substr(0, 300);
}

TEST_F(SysLogTest, ReopenTruncatesAndOpenFailuresAreRetried) {
  DBUS_LOG(LOG_LEVEL_INFO, "before reopen");
  sys_log_reopen();
  DBUS_LOG(LOG_LEVEL_INFO, "after reopen");
  EXPECT_EQ(log_text().find("before reopen"), std::string::npos);
  EXPECT_NE(log_text().find("after reopen\r\n"), std::string::npos);

  // Without its folder the file cannot be opened: the line still reaches
  // standard output and the failure is reported on standard error.
  sys_log_reopen();
  ASSERT_EQ(unlink(log_file().c_str()), 0);
  ASSERT_EQ(rmdir(root_.path("/tmp").c_str()), 0);
  testing::internal::CaptureStderr();
  std::string printed = logged(LOG_MODULE_DBUS, LOG_LEVEL_ERROR, LOG_CATEGORY_DEBUG, "lost line");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Can't open file: " + log_file() + "\nerrno: 2 | No such file or directory\n");
  EXPECT_NE(printed.find("lost line \r\n"), std::string::npos);

  ASSERT_EQ(mkdir(root_.path("/tmp").c_str(), 0755), 0);
  DBUS_LOG(LOG_LEVEL_INFO, "found again");
  EXPECT_NE(log_text().find("found again\r\n"), std::string::npos);
  EXPECT_EQ(log_text().find("lost line"), std::string::npos);
}

TEST_F(SysLogTest, ConcurrentLinesStayWhole) {
  constexpr int kLines = 400;
  // Both threads start together so that they also race to open the file.
  std::latch go(2);
  auto writer = [&go](char name) {
    go.arrive_and_wait();
    for (int i = 0; i < kLines; ++i)
      DBUS_LOG(LOG_LEVEL_INFO, "thread [%c] line %d %s", name, i, std::string(100, name).c_str());
  };
  std::thread a(writer, 'A');
  std::thread b(writer, 'B');
  a.join();
  b.join();

  std::string text = log_text();
  const std::regex line(std::string(kHeaderPattern) + "thread \\[([AB])\\] line (\\d+) ([AB])+");
  int next[2] = {0, 0};
  size_t start = 0;
  int total = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    std::string one = text.substr(start, end - start);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(one, match, line)) << one;
    int who = match[1].str()[0] - 'A';
    EXPECT_EQ(match[3].str()[0], match[1].str()[0]) << one;
    EXPECT_EQ(std::stoi(match[2].str()), next[who]++) << one;
    ++total;
  }
  EXPECT_EQ(start, text.size());
  EXPECT_EQ(total, 2 * kLines);
}

// ---- helpers -----------------------------------------------------------------------

TEST(ToolTest, GetDateIsTheLocalTimePerThread) {
  char *mine = get_date();
  EXPECT_TRUE(std::regex_match(mine, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))) << mine;
  char *theirs = nullptr;
  std::thread([&] { theirs = get_date(); }).join();
  EXPECT_NE(mine, theirs);
}

TEST(ToolTest, FaultTextsFitTheReplyBuffer) {
  char buffer[64];
  EXPECT_EQ(geterrdesc(9000, buffer), buffer);
  EXPECT_STREQ(buffer, "Method not supported");
  EXPECT_STREQ(geterrdesc(9013, buffer), "Unsupported protocol for file transfer");
  EXPECT_STREQ(geterrdesc(8999, buffer), "none!");
  EXPECT_STREQ(geterrdesc(9014, buffer), "none!");

  // The longest text fills 43 characters and its terminator, no more.
  std::memset(buffer, '#', sizeof buffer);
  geterrdesc(9012, buffer);
  EXPECT_STREQ(buffer, "File transfer server authentication failure");
  EXPECT_EQ(std::strlen(buffer), 43u);
  EXPECT_EQ(buffer[44], '#');
}

TEST(ToolTest, DigitStrings) {
  EXPECT_EQ(is_DigitalString(""), 1);
  EXPECT_EQ(is_DigitalString("0123456789"), 1);
  for (const char *text : {"12a", "a12", " 1", "-1", "1.5"}) EXPECT_EQ(is_DigitalString(text), -1) << text;
}

class ToolIndexTest : public SysLogTest {};

TEST_F(ToolIndexTest, NumericSegmentsArePackedBytewise) {
  EXPECT_EQ(get_index_from_str("/com/wqx/igd1/Config/LANHosts/12"), 12u);
  EXPECT_EQ(get_index_from_str("/com/wqx/igd1/Config/LANHosts"), 0u);
  EXPECT_EQ(get_index_from_str("/com/wqx/igd1/Config/Thing/300"), 300u);
  EXPECT_EQ(get_index_from_str("/com/wqx/igd1/Config/QoS/Classification/2/Type/5"), 0x0502u);
  EXPECT_EQ(get_index_from_str("//a//7//"), 7u);
  EXPECT_EQ(get_index_from_str("/a/1/b2/2/3/4/5"), 0x04030201u | 5u);
  EXPECT_EQ(get_index_from_str("/a/1/300"), 1u | (300u << 8));
}

TEST_F(ToolIndexTest, LongPathsGive255AndAWarning) {
  std::string path = "/com/wqx/igd1/Config/X/9";
  path.insert(1, 127 - path.size(), 'p');
  ASSERT_EQ(path.size(), 127u);
  EXPECT_EQ(get_index_from_str(path.c_str()), 9u);
  EXPECT_EQ(log_text().find("too lang"), std::string::npos);

  path.insert(1, "p");
  EXPECT_EQ(get_index_from_str(path.c_str()), 255u);
  EXPECT_NE(log_text().find("[DBUS][Warn]: object path too lang :" + path + "\r\n"), std::string::npos);
}

TEST_F(ToolIndexTest, DebugLinesNameTheFunctionAndTheKey) {
  gui_dbusProxyDbg = 0xFFFFFFFFu;
  testing::internal::CaptureStdout();
  get_index_from_str("/com/wqx/igd1/Config/QoS/Classification/2/Type/5");
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_NE(printed.find("[DBUS][Debug]: -------------------- End Function get_index_from_str path is "
                         "/com/wqx/igd1/Config/QoS/Classification/2/Type/5 -------------------- \r\n"),
            std::string::npos)
      << printed;
  EXPECT_TRUE(std::regex_search(printed, std::regex(R"(\[DBUS\]\[Debug\]: going to \[get_index_from_str\] )"
                                                    R"(line \[\d+\] mask 0x00000502 \r\n)")))
      << printed;
}

TEST(ToolTest, InstanceNumberBehindAKey) {
  const char *path = "/com/wqx/igd1/Config/WANConnectionDevice/3/WANPPPConnection/17.x";
  EXPECT_EQ(getInstNum(path, "WANConnectionDevice"), 3u);
  EXPECT_EQ(getInstNum(path, "WANPPPConnection"), 17u);
  EXPECT_EQ(getInstNum(path, "WANPPP"), 0u);
  EXPECT_EQ(getInstNum(path, "Config"), 0u);
  EXPECT_EQ(getInstNum(path, "LANHosts"), 0u);
  EXPECT_EQ(getInstNum(nullptr, "Config"), 0u);
  EXPECT_EQ(getInstNum(path, nullptr), 0u);

  std::string key(64, 'k');
  EXPECT_EQ(getInstNum(("/" + key + "/42").c_str(), key.c_str()), 42u);
  key += 'k';
  EXPECT_EQ(getInstNum(("/" + key + "/42").c_str(), key.c_str()), 0u);
}

TEST(ToolTest, FileNamesConvertBetweenUtf8AndGbk) {
  char name[] = "照片/假期 2024.jpg";
  const char gbk_expected[] = "\xD5\xD5\xC6\xAC/\xBC\xD9\xC6\xDA 2024.jpg";
  char gbk[64] = {};
  int in_length = static_cast<int>(std::strlen(name));
  int out_length = sizeof gbk;
  ASSERT_EQ(u2g(name, &in_length, gbk, &out_length), 0);
  EXPECT_STREQ(gbk, gbk_expected);
  EXPECT_EQ(in_length, static_cast<int>(std::strlen(name)));  // read, not updated

  char back[64] = {};
  int gbk_length = static_cast<int>(std::strlen(gbk));
  out_length = sizeof back;
  ASSERT_EQ(g2u(gbk, &gbk_length, back, &out_length), 0);
  EXPECT_STREQ(back, name);

  char small[4] = {};
  out_length = sizeof small;
  testing::internal::CaptureStdout();
  EXPECT_EQ(u2g(name, &in_length, small, &out_length), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "iconv fail");

  testing::internal::CaptureStdout();
  EXPECT_EQ(code_convert("NO-SUCH-SET", "UTF-8", name, &in_length, back, &out_length), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "iconv open fail, error 22:Invalid argument\n");
}

}  // namespace
}  // namespace igd1::test
