// Logging, fault texts, instance keys of object paths and file-name conversion.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>

#include <cstring>
#include <latch>
#include <regex>

#include "harness/bus_fixture.h"
#include "tool.h"

namespace igd1::test {
namespace {

const std::string kHeader = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[DBUS\]\[INFO\]: )";

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

TEST_F(SysLogTest, OnlyTheBusModuleAndKnownCategoriesAreOutput) {
  gui_dbusProxyDbg = 0xFFFFFFFFu;
  EXPECT_EQ(logged(4, LOG_LEVEL_ERROR, LOG_CATEGORY_DEBUG, "from SYS"), "");
  for (int category : {-1, 12, 254})
    EXPECT_EQ(logged(LOG_MODULE_DBUS, LOG_LEVEL_ERROR, category, "category"), "") << category;
  EXPECT_FALSE(g_file_test(log_file().c_str(), G_FILE_TEST_EXISTS)) << "filtered calls open the log";
  for (int category : {0, 11})
    EXPECT_NE(logged(LOG_MODULE_DBUS, LOG_LEVEL_ERROR, category, "category"), "") << category;
}

TEST_F(SysLogTest, MaskGroupsRouteLevelsFourToSeven) {
  const struct { uint32_t mask; int level; bool to_stdout, to_file; } cases[] = {
      // Initially 7 goes nowhere, 4 to 6 to the file only, 0 to 3 to both.
      {DBUS_PROXY_DBG_DEFAULT, LOG_LEVEL_DEBUG, false, false},
      {DBUS_PROXY_DBG_DEFAULT, LOG_LEVEL_INFO, false, true},
      {DBUS_PROXY_DBG_DEFAULT, LOG_LEVEL_ERROR, true, true}, {0xFFFFFFFFu, LOG_LEVEL_DEBUG, true, true},
      // Any one bit of a group sets it; levels 0 to 3 are never gated.
      {0x00020000u, LOG_LEVEL_DEBUG, true, false}, {0x00020000u, LOG_LEVEL_DETAIL, false, false},
      {0x80000000u, LOG_LEVEL_WARN, true, false}, {0x00000400u, LOG_LEVEL_INFO, false, true},
      {0, LOG_LEVEL_CRITICAL, true, true},
  };
  for (size_t n = 0; n < std::size(cases); n++) {
    gui_dbusProxyDbg = cases[n].mask;
    const std::string marker = "case " + std::to_string(n) + ".";
    std::string printed =
        logged(LOG_MODULE_DBUS, cases[n].level, LOG_CATEGORY_DEBUG, "%s", marker.c_str());
    EXPECT_EQ(printed.find(marker) != std::string::npos, cases[n].to_stdout) << marker;
    EXPECT_EQ(log_text().find(marker) != std::string::npos, cases[n].to_file) << marker;
  }
}

// Standard output ends a line with " \r\n", the file with "\r\n"; both are cut.
TEST_F(SysLogTest, LinesAreFormattedCutAndTheFileIsEmptiedPastTheCap) {
  gui_dbusProxyDbg = 0xFFFFFFFFu;
  std::string printed = logged(LOG_MODULE_DBUS, LOG_LEVEL_INFO, LOG_CATEGORY_DEBUG,
                               "func [%s], line [%d] %s", "on_bus_acquired", 381,
                               std::string(400, 'x').c_str());
  const std::regex form(kHeader + R"(func \[on_bus_acquired\], line \[381\] x+ \r\n)");
  EXPECT_TRUE(std::regex_match(printed, form)) << printed;
  EXPECT_EQ(printed.size(), 254u + 3);
  const std::string first = log_text();
  EXPECT_EQ(first, printed.substr(0, 254) + "\r\n");

  // At the cap itself the file is kept and written on; past it, it starts
  // afresh.  Every full line is 256 bytes with its line end, so 4000 of
  // them fill the file exactly to the cap.
  const std::string full(400, 'f');
  for (int i = 1; i < 4000; ++i) DBUS_LOG(LOG_LEVEL_INFO, "%s", full.c_str());
  ASSERT_EQ(log_text().size(), static_cast<size_t>(SYS_LOG_FILE_CAP));
  DBUS_LOG(LOG_LEVEL_INFO, "second line");
  const std::string kept = log_text();
  EXPECT_EQ(kept.compare(0, first.size(), first), 0);
  EXPECT_TRUE(kept.ends_with("second line\r\n"));
  DBUS_LOG(LOG_LEVEL_INFO, "after the cap");
  EXPECT_TRUE(std::regex_match(log_text(), std::regex(kHeader + "after the cap\r\n")))
      << log_text().substr(0, 300);
}

// Messages are formatted by hand for the common conversions and by the C
// library for the others: either way a line reads as printf would write it,
// cut at the same place.
TEST_F(SysLogTest, MessagesReadAsPrintfWouldWriteThem) {
  gui_dbusProxyDbg = 0xFFFFFFFFu;
  const std::string long_text(300, 'y');
  auto message = [](const std::string &printed) {
    std::smatch header;
    EXPECT_TRUE(std::regex_search(printed, header, std::regex(kHeader))) << printed;
    return printed.substr(size_t(header.length(0)), printed.size() - size_t(header.length(0)) - 3);
  };
  auto expect_as_printf = [&](const char *format, auto... args) {
    const std::string printed = logged(LOG_MODULE_DBUS, LOG_LEVEL_INFO, LOG_CATEGORY_DEBUG, format, args...);
    char wanted[512];
    std::snprintf(wanted, sizeof wanted, format, args...);
    // What is left of a 254-character line after the header.
    const size_t room = 254 - (printed.size() - 3 - message(printed).size());
    EXPECT_EQ(message(printed), std::string(wanted).substr(0, room)) << format;
  };
  expect_as_printf("func [%s], line [%d],property_name:%s", "IPV6LANConfig_handle_get_property", 42, "Prefix");
  expect_as_printf("%d %d %u %u 100%% done", INT_MIN, -7, 0u, 4294967295u);
  expect_as_printf("Item property_name '%s' has type '%s'\n", "LeaseTime", "u");
  EXPECT_EQ(message(logged(LOG_MODULE_DBUS, LOG_LEVEL_INFO, LOG_CATEGORY_DEBUG, "null text [%s]",
                          static_cast<const char *>(nullptr))),
            "null text [(null)]");
  expect_as_printf("%s and %d after the cut", long_text.c_str(), 5);
  expect_as_printf("cut inside a number: %s%d", long_text.substr(0, 195).c_str(), 123456789);
  // Conversions the hand-made path leaves to the C library.
  expect_as_printf("mac %02X:%02x, %5d|%-4s|%ld|%.2f", 0xAB, 0x0c, 42, "ab", 123456789012L, 2.5);
  expect_as_printf("%s then %08x", "text first", 0xbeefu);
}

// The file is written by a thread of its own: a log file that takes nothing
// (a pipe nobody reads) does not hold up the callers, and every line reaches
// it once it takes them again.
// The file is made slow with a lease: while the test holds it, opening the
// log for writing waits, and so does the writer thread, but not the callers.
TEST_F(SysLogTest, CallersDoNotWaitForTheFile) {
  DBUS_LOG(LOG_LEVEL_INFO, "before");
  sys_log_reopen();  // the next line opens the file again, keeping it as the previous log
  write_text_file(log_file(), "");
  ASSERT_EQ(chmod(log_file().c_str(), 0600), 0);
  int holder = open(log_file().c_str(), O_RDONLY);
  ASSERT_GE(holder, 0);
  // The writer's open asks the holder to let go with SIGIO, which would end
  // the test process.
  struct sigaction ignore = {}, saved = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGIO, &ignore, &saved);
  if (fcntl(holder, F_SETLEASE, F_RDLCK) != 0) {
    sigaction(SIGIO, &saved, nullptr);
    close(holder);
    GTEST_SKIP() << "no file leases here: " << strerror(errno);
  }
  constexpr int kLines = 1000;
  const std::string filler(210, 'p');  // 256 bytes a line with header and line end
  auto begin = std::chrono::steady_clock::now();
  for (int i = 0; i < kLines; ++i) DBUS_LOG(LOG_LEVEL_INFO, "line %04d %s", i, filler.c_str());
  // A caller that waited for the file would wait for the lease to be
  // broken (45 s by default).
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(15));
  // The writer is still waiting for the file.  (Opening it again here would
  // wait for the lease as well: the holder's own descriptor tells.)
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  struct stat status;
  ASSERT_EQ(fstat(holder, &status), 0);
  EXPECT_EQ(status.st_size, 0);
  fcntl(holder, F_SETLEASE, F_UNLCK);
  close(holder);
  sys_log_flush();
  sigaction(SIGIO, &saved, nullptr);

  const std::string text = read_text_file(log_file());
  ASSERT_EQ(text.size(), size_t(kLines) * 256);
  for (int i = 0; i < kLines; i += 111) {
    char expected[16];
    std::snprintf(expected, sizeof expected, "line %04d ", i);
    EXPECT_EQ(text.compare(size_t(i) * 256 + 34, 10, expected), 0) << text.substr(size_t(i) * 256, 60);
  }
}

// Under the service manager standard error is the journal's stream: warnings
// and errors reach it whatever the mask, with their level as the priority
// and without the date (the journal keeps its own); other levels do not.
TEST_F(SysLogTest, WarningsAndErrorsReachTheJournalWithTheirPriority) {
  const std::string journal = root_.path("/var/log/journal-stream");
  write_text_file(journal, "");
  int stream = open(journal.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(stream, 0);
  struct stat status;
  ASSERT_EQ(fstat(stream, &status), 0);
  fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  dup2(stream, STDERR_FILENO);
  close(stream);
  auto log_all = [](const char *tag) {
    gui_dbusProxyDbg = 0;  // levels 4 to 7 to neither standard output nor the file
    sys_log(LOG_MODULE_DBUS, LOG_LEVEL_WARN, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, "test", "%s warned", tag);
    sys_log(LOG_MODULE_DBUS, LOG_LEVEL_ERROR, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, "test", "%s failed", tag);
    sys_log(LOG_MODULE_DBUS, LOG_LEVEL_INFO, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, "test", "%s informed", tag);
    fflush(stderr);
  };
  const std::string stream_name = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
  testing::internal::CaptureStdout();
  log_all("elsewhere");  // JOURNAL_STREAM unset: standard error is not the journal
  setenv("JOURNAL_STREAM", "1:2", 1);
  log_all("another stream");
  setenv("JOURNAL_STREAM", stream_name.c_str(), 1);
  log_all("journal");
  unsetenv("JOURNAL_STREAM");
  testing::internal::GetCapturedStdout();
  dup2(saved, STDERR_FILENO);
  close(saved);
  EXPECT_EQ(read_text_file(journal), "<4>[DBUS][Warn]: journal warned\n<3>[DBUS][Error]: journal failed\n");
}

// Lines still queued when the process ends normally are written first.  The
// dying process is a fresh run of this test, which finds the folder to log
// into in its environment.
constexpr char kExitRootEnv[] = "IGD1_TEST_EXIT_LOG_ROOT";

void log_then_exit(const std::string &root) {
  set_root_dir(root);
  sys_log_reopen();
  for (int i = 0; i < 5000; ++i) DBUS_LOG(LOG_LEVEL_INFO, "queued line %d", i);
  std::exit(0);
}

TEST(SysLogExitTest, NothingQueuedIsLostWhenTheProcessEnds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string root;
  if (const char *inherited = g_getenv(kExitRootEnv)) {
    root = inherited;
  } else {
    g_autofree gchar *dir = g_dir_make_tmp("igd1-exit-XXXXXX", nullptr);
    ASSERT_NE(dir, nullptr);
    root = dir;
    g_mkdir_with_parents((root + "/tmp").c_str(), 0755);
    g_setenv(kExitRootEnv, root.c_str(), TRUE);
  }
  EXPECT_EXIT(log_then_exit(root), testing::ExitedWithCode(0), "");
  g_unsetenv(kExitRootEnv);
  const std::string text = read_text_file(root + path::kSyslog);
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  EXPECT_TRUE(text.ends_with("queued line 4999\r\n")) << text.substr(text.size() > 100 ? text.size() - 100 : 0);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5000);
}

TEST_F(SysLogTest, ConcurrentLinesStayWhole) {
  constexpr int kLines = 400;
  std::latch go(2);  // both start together, so they also race to open the file
  auto writer = [&go](char name) {
    go.arrive_and_wait();
    for (int i = 0; i < kLines; ++i)
      DBUS_LOG(LOG_LEVEL_INFO, "thread [%c] line %d %s", name, i, std::string(100, name).c_str());
  };
  std::thread a(writer, 'A'), b(writer, 'B');
  a.join();
  b.join();
  const std::string text = log_text();
  // Every line whole, each thread's in order, nothing between or after them.
  const std::regex line(kHeader + R"(thread \[([AB])\] line (\d+) \1{100}\r\n)");
  int next[2] = {0, 0};
  size_t end = 0;
  for (std::sregex_iterator m(text.begin(), text.end(), line, std::regex_constants::match_continuous), stop;
       m != stop; end = size_t(m->position() + m->length()), ++m)
    EXPECT_EQ(std::stoi((*m)[2]), next[(*m)[1].str()[0] - 'A']++) << m->str();
  EXPECT_EQ(end, text.size()) << text.substr(end, 300);
  EXPECT_EQ(next[0] + next[1], 2 * kLines);
}

// ---- helpers -----------------------------------------------------------------------

TEST(ToolTest, FaultTextsFitTheReplyBuffer) {
  const struct { int code; const char *text; } cases[] = {
      {9000, "Method not supported"}, {9013, "Unsupported protocol for file transfer"},
      {9012, "File transfer server authentication failure"},  // the longest
      {8999, "none!"}, {9014, "none!"}};
  for (const auto &c : cases) {
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(geterrdesc(c.code, buffer), buffer);
    EXPECT_STREQ(buffer, c.text) << c.code;
    EXPECT_EQ(buffer[std::strlen(c.text) + 1], '#') << c.code;  // the terminator, no more
  }
}

TEST(ToolTest, DigitStrings) {
  for (const char *text : {"", "0123456789"}) EXPECT_EQ(is_DigitalString(text), 1) << text;
  for (const char *text : {"12a", "a12", " 1", "-1", "1.5"}) EXPECT_EQ(is_DigitalString(text), -1) << text;
}

using ToolIndexTest = SysLogTest;

TEST_F(ToolIndexTest, NumericSegmentsArePackedBytewiseUpTo127Characters) {
  const struct { const char *path; uint32_t index; } cases[] = {
      {"/com/wqx/igd1/Config/LANHosts/12", 12u}, {"/com/wqx/igd1/Config/LANHosts", 0u},
      {"/com/wqx/igd1/Config/Thing/300", 300u}, {"//a//7//", 7u},
      {"/com/wqx/igd1/Config/QoS/Classification/2/Type/5", 0x0502u},
      {"/a/1/b2/2/3/4/5", 0x04030201u | 5u}, {"/a/1/300", 1u | (300u << 8)}};
  for (const auto &c : cases) EXPECT_EQ(get_index_from_str(c.path), c.index) << c.path;

  std::string path = "/com/wqx/igd1/Config/X/9";
  path.insert(1, 127 - path.size(), 'p');
  EXPECT_EQ(get_index_from_str(path.c_str()), 9u);
  path.insert(1, "p");
  EXPECT_EQ(get_index_from_str(path.c_str()), 255u);
  EXPECT_NE(log_text().find("[DBUS][Warn]: object path too lang :" + path + "\r\n"), std::string::npos);
}

TEST(ToolTest, InstanceNumberBehindAKey) {
  const char *path = "/com/wqx/igd1/Config/WANConnectionDevice/3/WANPPPConnection/17.x";
  const struct { const char *path, *key; uint32_t number; } cases[] = {
      {path, "WANConnectionDevice", 3u}, {path, "WANPPPConnection", 17u}, {path, "WANPPP", 0u},
      {path, "Config", 0u}, {path, "LANHosts", 0u}, {nullptr, "Config", 0u}, {path, nullptr, 0u}};
  for (const auto &c : cases) EXPECT_EQ(getInstNum(c.path, c.key), c.number) << (c.key ? c.key : "null");
  std::string key(64, 'k');  // keys up to 64 characters
  EXPECT_EQ(getInstNum(("/" + key + "/42").c_str(), key.c_str()), 42u);
  key += 'k';
  EXPECT_EQ(getInstNum(("/" + key + "/42").c_str(), key.c_str()), 0u);
}

TEST(ToolTest, FileNamesConvertBetweenUtf8AndGbk) {
  char name[] = "照片/假期 2024.jpg", gbk[64] = {}, back[64] = {}, small[4] = {};
  int in_length = static_cast<int>(std::strlen(name)), out_length = sizeof gbk;
  ASSERT_EQ(u2g(name, &in_length, gbk, &out_length), 0);
  EXPECT_STREQ(gbk, "\xD5\xD5\xC6\xAC/\xBC\xD9\xC6\xDA 2024.jpg");
  int gbk_length = static_cast<int>(std::strlen(gbk));
  out_length = sizeof back;
  ASSERT_EQ(g2u(gbk, &gbk_length, back, &out_length), 0);
  EXPECT_STREQ(back, name);

  out_length = sizeof small;
  testing::internal::CaptureStdout();
  EXPECT_EQ(u2g(name, &in_length, small, &out_length), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "iconv fail");
}

}  // namespace
}  // namespace igd1::test
