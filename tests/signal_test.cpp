// Property-change signals, string-vector tools, the conformance-test marker,
// the delayed save of extra configuration values and the flow-table flush.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "dbus_proxy_api.h"
#include "harness/bus_fixture.h"
#include "host_api.h"
#include "mib_store.h"
#include "sys_paths.h"
#include "tool.h"

namespace igd1::test {
namespace {

using namespace std::chrono_literals;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;

constexpr char kPath[] = "/com/wqx/igd1/Test/Signal";
constexpr char kInterface[] = "com.wqx.igd1.Test";
// Routing-mask group that sends level-7 lines to the log file.
constexpr uint32_t kLevel7ToFile = 0xFu;

// ---- string vectors ------------------------------------------------------------

struct Strv {
  gchar **v = nullptr;
  Strv() = default;
  explicit Strv(std::initializer_list<const char *> items) {
    v = g_new0(gchar *, items.size() + 1);
    size_t i = 0;
    for (const char *item : items) v[i++] = g_strdup(item);
  }
  ~Strv() { g_strfreev(v); }
  Strv(const Strv &) = delete;
  Strv &operator=(const Strv &) = delete;
};

std::vector<std::string> items(gchar **v) {
  std::vector<std::string> out;
  for (size_t i = 0; v != nullptr && v[i] != nullptr; i++) out.emplace_back(v[i]);
  return out;
}

// A location the tools must leave alone; never dereferenced.
gchar **untouched_marker() { return reinterpret_cast<gchar **>(uintptr_t{0x1}); }

TEST(StrvMergeTest, AppendsOnlyNewStringsAndReportsThem) {
  Strv target{"b"};
  Strv additions{"a", "b", "a"};
  Strv added;
  EXPECT_EQ(dbus_proxy_strvmerge(&target.v, additions.v, &added.v), 2);
  EXPECT_THAT(items(target.v), ElementsAre("b", "a"));
  EXPECT_THAT(items(added.v), ElementsAre("a"));
  // The additions are copied, not taken.
  EXPECT_THAT(items(additions.v), ElementsAre("a", "b", "a"));

  // Into no vector at all, and without an out-vector.
  Strv fresh;
  Strv two{"x", "y"};
  EXPECT_EQ(dbus_proxy_strvmerge(&fresh.v, two.v, nullptr), 2);
  EXPECT_THAT(items(fresh.v), ElementsAre("x", "y"));

  // Nothing new: the out-vector exists and is empty.
  Strv again;
  EXPECT_EQ(dbus_proxy_strvmerge(&fresh.v, two.v, &again.v), 2);
  ASSERT_NE(again.v, nullptr);
  EXPECT_THAT(items(again.v), IsEmpty());
}

TEST(StrvMergeTest, NullOrEmptyAdditionsChangeNothing) {
  Strv target{"a", "b"};
  gchar **before = target.v;
  Strv empty{std::initializer_list<const char *>{}};
  gchar **added = untouched_marker();
  EXPECT_EQ(dbus_proxy_strvmerge(&target.v, nullptr, &added), 2);
  EXPECT_EQ(dbus_proxy_strvmerge(&target.v, empty.v, &added), 2);
  EXPECT_EQ(added, untouched_marker());
  EXPECT_EQ(target.v, before);
  Strv none;
  EXPECT_EQ(dbus_proxy_strvmerge(&none.v, nullptr, nullptr), 0);
  EXPECT_EQ(none.v, nullptr);
}

TEST(StrvSliceTest, RemovesEveryCopyAndReportsEachRemovalOnce) {
  Strv target{"x", "z", "x"};
  Strv removals{"x", "y"};
  Strv removed;
  EXPECT_EQ(dbus_proxy_strvslice(&target.v, removals.v, &removed.v), 1);
  EXPECT_THAT(items(target.v), ElementsAre("z"));
  EXPECT_THAT(items(removed.v), ElementsAre("x"));
}

TEST(StrvSliceTest, RemovedVectorFollowsTheOrderOfTheRemovals) {
  Strv target{"a", "b", "c", "d"};
  Strv removals{"d", "q", "r", "a"};
  Strv removed;
  EXPECT_EQ(dbus_proxy_strvslice(&target.v, removals.v, &removed.v), 2);
  EXPECT_THAT(items(target.v), ElementsAre("b", "c"));
  EXPECT_THAT(items(removed.v), ElementsAre("d", "a"));

  // Everything removed: an empty vector, not NULL.
  Strv all{"b", "c"};
  EXPECT_EQ(dbus_proxy_strvslice(&target.v, all.v, nullptr), 0);
  ASSERT_NE(target.v, nullptr);
  EXPECT_EQ(target.v[0], nullptr);
}

TEST(StrvSliceTest, NothingFoundFreesTheRemovedVector) {
  Strv target{"a", "b"};
  Strv removals{"c"};
  gchar **removed = untouched_marker();
  EXPECT_EQ(dbus_proxy_strvslice(&target.v, removals.v, &removed), 2);
  EXPECT_EQ(removed, nullptr);
  EXPECT_THAT(items(target.v), ElementsAre("a", "b"));
}

TEST(StrvSliceTest, MissingOrEmptyVectorsAreLeftAlone) {
  Strv target{"a", "b"};
  Strv removals{"a"};
  Strv empty{std::initializer_list<const char *>{}};
  gchar **removed = untouched_marker();
  EXPECT_EQ(dbus_proxy_strvslice(nullptr, removals.v, &removed), 0);
  EXPECT_EQ(dbus_proxy_strvslice(&target.v, nullptr, &removed), 0);
  EXPECT_EQ(dbus_proxy_strvslice(&target.v, empty.v, &removed), 2);
  Strv none;
  EXPECT_EQ(dbus_proxy_strvslice(&none.v, removals.v, &removed), 0);
  EXPECT_EQ(removed, untouched_marker());
  EXPECT_THAT(items(target.v), ElementsAre("a", "b"));
}

// ---- string lists ------------------------------------------------------------------

TEST(ArrayVariantTest, CollectsTextsAndFinishesAnOwnedList) {
  GVariantBuilder *builder = nullptr;
  int32_t number = 5;
  EXPECT_EQ(dbusproxy_build_array_variant(&builder, DBUSPROXY_TYPE_INT32, &number, 0, nullptr), 0);
  EXPECT_EQ(builder, nullptr);
  for (const char *text : {"wan", "lan", "wan"})
    EXPECT_EQ(dbusproxy_build_array_variant(&builder, DBUSPROXY_TYPE_STRING, text, 0, nullptr), 1);
  EXPECT_EQ(dbusproxy_build_array_variant(&builder, DBUSPROXY_TYPE_UINT32, &number, 0, nullptr), 0);

  GVariant *list = nullptr;
  EXPECT_EQ(dbusproxy_build_array_variant(&builder, 0, nullptr, 1, &list), 1);
  EXPECT_EQ(builder, nullptr);
  ASSERT_NE(list, nullptr);
  EXPECT_FALSE(g_variant_is_floating(list));
  g_autofree gchar *text = g_variant_print(list, FALSE);
  EXPECT_STREQ(text, "['wan', 'lan', 'wan']");
  g_variant_unref(list);

  // Finishing without a builder leaves the result location alone.
  GVariant *kept = reinterpret_cast<GVariant *>(uintptr_t{0x1});
  EXPECT_EQ(dbusproxy_build_array_variant(&builder, DBUSPROXY_TYPE_STRING, nullptr, 1, &kept), 0);
  EXPECT_EQ(kept, reinterpret_cast<GVariant *>(uintptr_t{0x1}));
}

// ---- conformance-test marker ---------------------------------------------------

TEST(CtsMarkerTest, FollowsTheMarkerFileUnderTheRoot) {
  TempRoot root;
  EXPECT_EQ(check_dbus_cts_running(), 0);
  write_text_file(root.path(path::kCtsMarker), "");
  EXPECT_EQ(check_dbus_cts_running(), 1);
  unlink(root.path(path::kCtsMarker).c_str());
  EXPECT_EQ(check_dbus_cts_running(), 0);
}

// ---- signals -----------------------------------------------------------------------

class SignalTest : public BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    saved_mask_ = gui_dbusProxyDbg;
  }
  void TearDown() override {
    gui_dbusProxyDbg = saved_mask_;
    BusTest::TearDown();
  }
  std::string syslog() const { return read_text_file(root().path(path::kSyslog)); }

  // Checks the envelope of a received signal and returns its dictionary.
  static GVariant *changed_of(const SignalWatcher::Signal &signal) {
    EXPECT_EQ(signal.path, kPath);
    EXPECT_STREQ(g_variant_get_type_string(signal.body.get()), "(sa{sv}as)");
    g_autoptr(GVariant) interface = g_variant_get_child_value(signal.body.get(), 0);
    EXPECT_STREQ(g_variant_get_string(interface, nullptr), kInterface);
    g_autoptr(GVariant) invalidated = g_variant_get_child_value(signal.body.get(), 2);
    EXPECT_EQ(g_variant_n_children(invalidated), 0u);
    return g_variant_get_child_value(signal.body.get(), 1);
  }

  uint32_t saved_mask_ = 0;
};

TEST_F(SignalTest, BuiltDictionaryArrivesAsOneSignal) {
  SignalWatcher watcher(client(), DBUSPROXY_PROPERTIES_INTERFACE, DBUSPROXY_PROPERTIES_CHANGED);
  loop_->run([] {
    GVariantBuilder *builder = nullptr;
    int32_t enable = 7;
    uint32_t lease = 4000000000u;
    EXPECT_EQ(dbusproxy_build_properties_changed_signal(&builder, nullptr, "Enable",
                                                        DBUSPROXY_TYPE_BOOLEAN, &enable), 1);
    EXPECT_EQ(dbusproxy_build_properties_changed_signal(&builder, nullptr, "Lease",
                                                        DBUSPROXY_TYPE_UINT32, &lease), 1);
    EXPECT_EQ(dbusproxy_build_properties_changed_signal(&builder, nullptr, "Name",
                                                        DBUSPROXY_TYPE_STRING, "gw"), 1);
    // Refused code in the middle: nothing added.
    EXPECT_EQ(dbusproxy_build_properties_changed_signal(&builder, nullptr, "Bad", 7, &lease), 0);
    GVariant *pair = g_variant_new("(ii)", 1, 2);
    EXPECT_EQ(dbusproxy_build_properties_changed_signal(&builder, nullptr, "Pair",
                                                        DBUSPROXY_TYPE_VARIANT, pair), 1);
    dbusproxy_emit_properties_changed_signal_only(&builder, kPath, kInterface);
  });
  auto signal = watcher.wait();
  ASSERT_TRUE(signal.body);
  g_autoptr(GVariant) changed = changed_of(signal);
  g_autofree gchar *text = g_variant_print(changed, TRUE);
  EXPECT_STREQ(text,
               "{'Enable': <true>, 'Lease': <uint32 4000000000>, 'Name': <'gw'>, "
               "'Pair': <(1, 2)>}");
  EXPECT_EQ(watcher.wait(200ms).body, nullptr);
  EXPECT_THAT(syslog(), HasSubstr("emit signal: to /com/wqx/igd1/Test/Signal::com.wqx.igd1.Test "));
}

TEST_F(SignalTest, EachTypeCodeGivesItsBusTypeAndValue) {
  // Every code reads the same bytes.  The low byte is zero, so a boolean read
  // narrower than 32 bits would come out false; the other codes show their
  // bus type and sign.
  alignas(8) const uint8_t raw[8] = {0x00, 0xFF, 0xFF, 0x7F, 0x11, 0x22, 0x33, 0x44};
  struct Case {
    int type;
    const char *expected;
  };
  const Case cases[] = {
      {DBUSPROXY_TYPE_BOOLEAN, "true"},           {DBUSPROXY_TYPE_BYTE, "byte 0x00"},
      {DBUSPROXY_TYPE_INT16, "int16 -256"},       {DBUSPROXY_TYPE_UINT16, "uint16 65280"},
      {DBUSPROXY_TYPE_INT32, "2147483392"},       {DBUSPROXY_TYPE_UINT32, "uint32 2147483392"},
  };
  SignalWatcher watcher(client(), DBUSPROXY_PROPERTIES_INTERFACE, DBUSPROXY_PROPERTIES_CHANGED);
  for (const Case &c : cases) {
    int result = -1;
    loop_->run([&] {
      result = dbusproxy_emit_properties_changed_signal(kPath, kInterface, "V", c.type, raw);
    });
    EXPECT_EQ(result, 1);
    auto signal = watcher.wait();
    ASSERT_TRUE(signal.body) << c.type;
    g_autoptr(GVariant) changed = changed_of(signal);
    g_autoptr(GVariant) value = g_variant_lookup_value(changed, "V", nullptr);
    ASSERT_NE(value, nullptr);
    g_autofree gchar *text = g_variant_print(value, TRUE);
    EXPECT_STREQ(text, c.expected) << c.type;
  }
  // A zero 32-bit integer is false, and text that is not UTF-8 still goes out.
  const int32_t zero = 0;
  loop_->run([&] {
    dbusproxy_emit_properties_changed_signal(kPath, kInterface, "Off", DBUSPROXY_TYPE_BOOLEAN, &zero);
    dbusproxy_emit_properties_changed_signal(kPath, kInterface, "Name", DBUSPROXY_TYPE_STRING,
                                             "caf\xE9");
  });
  for (const char *expected : {"{'Off': <false>}", "{'Name': <'caf\xEF\xBF\xBD'>}"}) {
    auto signal = watcher.wait();
    ASSERT_TRUE(signal.body) << expected;
    g_autoptr(GVariant) changed = changed_of(signal);
    g_autofree gchar *text = g_variant_print(changed, TRUE);
    EXPECT_STREQ(text, expected);
  }
}

TEST_F(SignalTest, RefusedCodesEmitNothing) {
  gui_dbusProxyDbg |= kLevel7ToFile;
  SignalWatcher watcher(client(), DBUSPROXY_PROPERTIES_INTERFACE, DBUSPROXY_PROPERTIES_CHANGED);
  const int32_t value = 1;
  GVariant *prebuilt = g_variant_ref_sink(g_variant_new_int32(1));
  loop_->run([&] {
    for (int code : {0, 7, 10, -1})
      EXPECT_EQ(dbusproxy_emit_properties_changed_signal(kPath, kInterface, "V", code, &value), 0)
          << code;
    // The prebuilt value is only for the dictionary builder.
    EXPECT_EQ(dbusproxy_emit_properties_changed_signal(kPath, kInterface, "V",
                                                       DBUSPROXY_TYPE_VARIANT, prebuilt), 0);
  });
  g_variant_unref(prebuilt);
  EXPECT_EQ(watcher.wait(300ms).body, nullptr);
  std::string log = syslog();
  EXPECT_THAT(log, HasSubstr("[DBUS][Debug]: error property type 7  "));
  EXPECT_THAT(log, HasSubstr("error property type 9  "));
  EXPECT_THAT(log, Not(HasSubstr("emit signal:")));
}

TEST_F(SignalTest, BuilderWhoseOnlyEntryWasRefusedSendsAnEmptyDictionary) {
  SignalWatcher watcher(client(), DBUSPROXY_PROPERTIES_INTERFACE, DBUSPROXY_PROPERTIES_CHANGED);
  loop_->run([] {
    GVariantBuilder *builder = nullptr;
    EXPECT_EQ(dbusproxy_build_properties_changed_signal(&builder, nullptr, "V", 7, "x"), 0);
    ASSERT_NE(builder, nullptr);
    dbusproxy_emit_properties_changed_signal_only(&builder, kPath, kInterface);
    // Nothing at all without a builder.
    GVariantBuilder *none = nullptr;
    dbusproxy_emit_properties_changed_signal_only(&none, kPath, kInterface);
  });
  auto signal = watcher.wait();
  ASSERT_TRUE(signal.body);
  g_autoptr(GVariant) changed = changed_of(signal);
  EXPECT_EQ(g_variant_n_children(changed), 0u);
  EXPECT_EQ(watcher.wait(200ms).body, nullptr);
}

TEST_F(SignalTest, WithoutAConnectionTheChangeIsDropped) {
  gui_dbusProxyDbg |= kLevel7ToFile;
  SignalWatcher watcher(client(), DBUSPROXY_PROPERTIES_INTERFACE, DBUSPROXY_PROPERTIES_CHANGED);
  loop_->run([] {
    GDBusConnection *connection = g_pIdg1_connection;
    g_pIdg1_connection = nullptr;
    const uint32_t value = 3;
    GVariantBuilder *builder = nullptr;
    dbusproxy_build_properties_changed_signal(&builder, nullptr, "V", DBUSPROXY_TYPE_UINT32, &value);
    dbusproxy_emit_properties_changed_signal_only(&builder, kPath, kInterface);
    EXPECT_EQ(dbusproxy_emit_properties_changed_signal(kPath, kInterface, "V",
                                                       DBUSPROXY_TYPE_UINT32, &value), 1);
    g_pIdg1_connection = connection;
  });
  EXPECT_EQ(watcher.wait(300ms).body, nullptr);
  std::string log = syslog();
  const std::string line = "[DBUS][Debug]: dbus_proxy_uds_send_signal: error pconnect(NULL) ";
  size_t first = log.find(line);
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(log.find(line, first + line.size()), std::string::npos) << "one line per emitter";
}

TEST(SignalDeathTest, EmissionErrorIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempRoot root;
  EXPECT_DEATH(
      {
        GDBusConnection *connection = connect_private_bus();
        g_dbus_connection_close_sync(connection, nullptr, nullptr);
        g_pIdg1_connection = connection;
        const uint32_t value = 1;
        dbusproxy_emit_properties_changed_signal(kPath, kInterface, "V", DBUSPROXY_TYPE_UINT32,
                                                 &value);
      },
      "local_error == NULL");
}

// ---- delayed save ----------------------------------------------------------------

class ExtraMibSaveTest : public BusTest {
 protected:
  static constexpr auto kDelay = 200ms;
  void SetUp() override {
    previous_delay_ = set_extra_mib_save_delay(unsigned(kDelay.count()));
    BusTest::SetUp();
  }
  void TearDown() override {
    BusTest::TearDown();
    set_extra_mib_save_delay(previous_delay_);
  }
  std::string record() const { return read_text_file(root().path(path::kExtraMibSaveRecord)); }
  // Waits until the record file holds something other than `before`.
  bool wait_record_change(const std::string &before, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (record() != before) return true;
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }
  // Count written in a record "[<ctime text>\n] write <count>\n", or -1.
  static long count_of(const std::string &text) {
    static const std::regex form(
        R"(\[(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}\n\] write (\d+)\n)");
    std::smatch match;
    if (!std::regex_match(text, match, form)) return -1;
    return std::stol(match[2]);
  }
  void save() {
    loop_->run([] { dbus_proxy_save_extra_mib(); });
  }

  unsigned previous_delay_ = 0;
};

TEST_F(ExtraMibSaveTest, BurstOfCallsLeadsToOneSaveAfterTheLast) {
  save();
  ASSERT_TRUE(wait_record_change("", 3s));
  const std::string first = record();
  const long count = count_of(first);
  ASSERT_GT(count, 0) << first;

  auto start = std::chrono::steady_clock::now();
  save();
  std::this_thread::sleep_for(40ms);
  save();
  std::this_thread::sleep_for(40ms);
  auto last = std::chrono::steady_clock::now();
  save();
  ASSERT_TRUE(wait_record_change(first, 3s));
  auto saved = std::chrono::steady_clock::now();
  EXPECT_GE(saved - last, kDelay - 10ms);
  EXPECT_GE(saved - start, kDelay + 80ms - 10ms);
  const std::string second = record();
  EXPECT_EQ(count_of(second), count + 1) << second;

  // The earlier timers were removed: no further save follows.
  std::this_thread::sleep_for(kDelay * 2);
  EXPECT_EQ(record(), second);
  std::string log = read_text_file(root().path(path::kSyslog));
  size_t lines = 0;
  for (size_t at = log.find("Do save extra MIB..."); at != std::string::npos;
       at = log.find("Do save extra MIB...", at + 1))
    lines++;
  EXPECT_EQ(lines, 2u);
  EXPECT_THAT(log, HasSubstr("[DBUS][Emergency]: Do save extra MIB..."));
}

// ---- flow-table flush --------------------------------------------------------------

using FlushHwnatTest = BusTest;

TEST_F(FlushHwnatTest, FlushOfEveryFlowReachesThePlatform) {
  const auto before = mib::journal();
  const int64_t last = before.empty() ? 0 : before.back().seq;
  EXPECT_EQ(dbus_proxy_flush_hwnat(), 0);
  const auto after = mib::journal(last);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].bit, 0x80000000u);
  EXPECT_EQ(after[0].data, "hwnat flush mode=2");
}

}  // namespace
}  // namespace igd1::test
