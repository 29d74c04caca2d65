// Property-change signals, string-vector tools, the conformance-test marker,
// the delayed save of extra configuration values and the flow-table flush.

#include <optional>
#include <regex>
#include <thread>

#include "dbus_proxy_api.h"
#include "harness/bus_fixture.h"
#include "host_api.h"
#include "mib_api.h"
#include "tool.h"

namespace igd1::test {
namespace {

constexpr char kPath[] = "/com/wqx/igd1/Test/Signal";
constexpr char kInterface[] = "com.wqx.igd1.Test";

// ---- string vectors ------------------------------------------------------------

gchar **strv(std::initializer_list<const char *> items) {
  gchar **v = g_new0(gchar *, items.size() + 1), **at = v;
  for (const char *item : items) *at++ = g_strdup(item);
  return v;
}

std::vector<std::string> items(gchar **v) {
  std::vector<std::string> out;
  for (size_t i = 0; v != nullptr && v[i] != nullptr; i++) out.emplace_back(v[i]);
  return out;
}

// An out-location the tools must leave alone; never dereferenced.
gchar **const kUntouched = reinterpret_cast<gchar **>(uintptr_t{0x1});

TEST(StrvMergeTest, AppendsOnlyNewStringsAndIgnoresEmptyAdditions) {
  g_auto(GStrv) target = strv({"b"}), additions = strv({"a", "b", "a"}), empty = strv({});
  g_auto(GStrv) added = nullptr, again = nullptr, fresh = nullptr;
  EXPECT_EQ(dbus_proxy_strvmerge(&target, additions, &added), 2);
  EXPECT_THAT(items(target), ElementsAre("b", "a"));
  EXPECT_THAT(items(added), ElementsAre("a"));
  // Nothing new: the out-vector exists and is empty.
  EXPECT_EQ(dbus_proxy_strvmerge(&target, additions, &again), 2);
  ASSERT_NE(again, nullptr);
  EXPECT_THAT(items(again), IsEmpty());
  // NULL or empty additions change nothing; into NULL without an out-vector.
  gchar **before = target, **untouched = kUntouched;
  EXPECT_EQ(dbus_proxy_strvmerge(&target, nullptr, &untouched), 2);
  EXPECT_EQ(dbus_proxy_strvmerge(&target, empty, &untouched), 2);
  EXPECT_EQ(untouched, kUntouched);
  EXPECT_EQ(target, before);
  EXPECT_EQ(dbus_proxy_strvmerge(&fresh, nullptr, nullptr), 0);
  EXPECT_EQ(fresh, nullptr);
  EXPECT_EQ(dbus_proxy_strvmerge(&fresh, additions, nullptr), 2);
  EXPECT_THAT(items(fresh), ElementsAre("a", "b"));
}

TEST(StrvSliceTest, RemovesEveryCopyAndReportsEachRemovalOnce) {
  g_auto(GStrv) target = strv({"x", "z", "x"}), removals = strv({"x", "y"}), removed = nullptr;
  EXPECT_EQ(dbus_proxy_strvslice(&target, removals, &removed), 1);
  EXPECT_THAT(items(target), ElementsAre("z"));
  EXPECT_THAT(items(removed), ElementsAre("x"));
  // None present: the removed vector comes back NULL.
  gchar **none_removed = kUntouched;
  EXPECT_EQ(dbus_proxy_strvslice(&target, removals, &none_removed), 1);
  EXPECT_EQ(none_removed, nullptr);
  // Everything removed: an empty vector, not NULL.
  g_auto(GStrv) last = strv({"z"});
  EXPECT_EQ(dbus_proxy_strvslice(&target, last, nullptr), 0);
  ASSERT_NE(target, nullptr);
  EXPECT_EQ(target[0], nullptr);
  // Missing or empty vectors are left alone.
  g_auto(GStrv) ab = strv({"a", "b"}), empty = strv({}), none = nullptr;
  gchar **untouched = kUntouched;
  EXPECT_EQ(dbus_proxy_strvslice(nullptr, removals, &untouched), 0);
  EXPECT_EQ(dbus_proxy_strvslice(&ab, nullptr, &untouched), 0);
  EXPECT_EQ(dbus_proxy_strvslice(&ab, empty, &untouched), 2);
  EXPECT_EQ(dbus_proxy_strvslice(&none, removals, &untouched), 0);
  EXPECT_EQ(untouched, kUntouched);
  EXPECT_THAT(items(ab), ElementsAre("a", "b"));
}

// ---- string lists --------------------------------------------------------------

TEST(ArrayVariantTest, CollectsOnlyTextsAndFinishesAnOwnedList) {
  GVariantBuilder *builder = nullptr;
  int32_t number = 5;
  for (const char *text : {"wan", "lan", "wan"})
    EXPECT_EQ(dbusproxy_build_array_variant(&builder, DBUSPROXY_TYPE_STRING, text, 0, nullptr), 1);
  EXPECT_EQ(dbusproxy_build_array_variant(&builder, DBUSPROXY_TYPE_UINT32, &number, 0, nullptr), 0);
  g_autoptr(GVariant) list = nullptr;
  EXPECT_EQ(dbusproxy_build_array_variant(&builder, 0, nullptr, 1, &list), 1);
  EXPECT_EQ(builder, nullptr);
  ASSERT_FALSE(list == nullptr || g_variant_is_floating(list));
  EXPECT_EQ(printed(list), "['wan', 'lan', 'wan']");
}

// ---- signals -----------------------------------------------------------------------

class SignalTest : public BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    gui_dbusProxyDbg |= 0xFu;  // level-7 lines go to the log file
    watcher_.emplace(client(), DBUSPROXY_PROPERTIES_INTERFACE, DBUSPROXY_PROPERTIES_CHANGED);
  }
  void TearDown() override {
    watcher_.reset();
    gui_dbusProxyDbg = saved_mask_;
    BusTest::TearDown();
  }

  // The next signal's body printed, after checking its path and signature.
  std::string next_body() {
    auto signal = watcher_->wait();
    if (!signal.body) return "(no signal)";
    EXPECT_EQ(signal.path, kPath);
    EXPECT_STREQ(g_variant_get_type_string(signal.body.get()), "(sa{sv}as)");
    return printed(signal.body.get());
  }
  // The body expected for one changed dictionary.
  static std::string body(const std::string &changed) {
    return "('com.wqx.igd1.Test', " + changed + ", @as [])";
  }

  std::optional<SignalWatcher> watcher_;
  uint32_t saved_mask_ = gui_dbusProxyDbg;
};

TEST_F(SignalTest, BuiltDictionaryCarriesEveryTypeCodeInOneSignal) {
  // The low byte of raw is zero, so a boolean read narrower than 32 bits would
  // come out false; the other codes show their bus type and sign.
  alignas(8) const uint8_t raw[8] = {0x00, 0xFF, 0xFF, 0x7F, 0x11, 0x22, 0x33, 0x44};
  const int32_t zero = 0;
  const struct { const char *name; int type; const void *value; int taken; } entries[] = {
      {"On", DBUSPROXY_TYPE_BOOLEAN, raw, 1},   {"Off", DBUSPROXY_TYPE_BOOLEAN, &zero, 1},
      {"Byte", DBUSPROXY_TYPE_BYTE, raw, 1},    {"I16", DBUSPROXY_TYPE_INT16, raw, 1},
      {"U16", DBUSPROXY_TYPE_UINT16, raw, 1},   {"I32", DBUSPROXY_TYPE_INT32, raw, 1},
      {"U32", DBUSPROXY_TYPE_UINT32, raw, 1},   {"Bad", 7, raw, 0},  // refused: nothing added
      {"Name", DBUSPROXY_TYPE_STRING, "caf\xE9", 1},                 // not UTF-8, still sent
      {"Pair", DBUSPROXY_TYPE_VARIANT, g_variant_new("(ii)", 1, 2), 1}};
  loop_->run([&] {
    GVariantBuilder *builder = nullptr;
    for (const auto &e : entries)
      EXPECT_EQ(dbusproxy_build_properties_changed_signal(&builder, nullptr, e.name, e.type, e.value),
                e.taken) << e.name;
    dbusproxy_emit_properties_changed_signal_only(&builder, kPath, kInterface);
    // The single-value emitter converts alike.
    EXPECT_EQ(dbusproxy_emit_properties_changed_signal(kPath, kInterface, "I16",
                                                       DBUSPROXY_TYPE_INT16, raw), 1);
  });
  EXPECT_EQ(next_body(), body("{'On': <true>, 'Off': <false>, 'Byte': <byte 0x00>, 'I16': <int16 -256>, "
                              "'U16': <uint16 65280>, 'I32': <2147483392>, 'U32': <uint32 2147483392>, "
                              "'Name': <'caf\xEF\xBF\xBD'>, 'Pair': <(1, 2)>}"));
  EXPECT_EQ(next_body(), body("{'I16': <int16 -256>}"));
  EXPECT_EQ(watcher_->wait(200ms).body, nullptr);
}

TEST_F(SignalTest, RefusedCodesAndAMissingConnectionEmitNothing) {
  GVariant *prebuilt = g_variant_ref_sink(g_variant_new_int32(1));
  loop_->run([&] {
    const int32_t value = 1;
    for (int code : {0, 7, 10, -1})
      EXPECT_EQ(dbusproxy_emit_properties_changed_signal(kPath, kInterface, "V", code, &value), 0)
          << code;
    // A prebuilt value is only for the dictionary builder.
    EXPECT_EQ(dbusproxy_emit_properties_changed_signal(kPath, kInterface, "V",
                                                       DBUSPROXY_TYPE_VARIANT, prebuilt), 0);
    // A builder whose only entry was refused sends an empty dictionary; none at all without one.
    GVariantBuilder *builder = nullptr, *none = nullptr;
    EXPECT_EQ(dbusproxy_build_properties_changed_signal(&builder, nullptr, "V", 7, "x"), 0);
    ASSERT_NE(builder, nullptr);
    dbusproxy_emit_properties_changed_signal_only(&builder, kPath, kInterface);
    dbusproxy_emit_properties_changed_signal_only(&none, kPath, kInterface);
    // Without a connection both emitters drop the change.
    GDBusConnection *connection = std::exchange(g_pIdg1_connection, nullptr);
    builder = nullptr;
    dbusproxy_build_properties_changed_signal(&builder, nullptr, "V", DBUSPROXY_TYPE_INT32, &value);
    dbusproxy_emit_properties_changed_signal_only(&builder, kPath, kInterface);
    EXPECT_EQ(dbusproxy_emit_properties_changed_signal(kPath, kInterface, "V",
                                                       DBUSPROXY_TYPE_INT32, &value), 1);
    g_pIdg1_connection = connection;
  });
  g_variant_unref(prebuilt);
  // Signals arrive in order: the empty dictionary is the first and only one.
  EXPECT_EQ(next_body(), body("@a{sv} {}"));
  EXPECT_EQ(watcher_->wait(200ms).body, nullptr);
  EXPECT_THAT(syslog(), HasSubstr("[DBUS][Debug]: error property type 7  "));
  EXPECT_THAT(syslog(), HasSubstr("error property type 9  "));
  EXPECT_THAT(syslog(), ContainsRegex("send_signal: error pconnect\\(NULL\\) .*"
                                               "send_signal: error pconnect\\(NULL\\) "));
}

// A signal sent on a connection that closed meanwhile has nobody to tell:
// the host replaces the connection, so the process goes on (from another
// thread, where signals leave at once, as on the main loop).
TEST(SignalClosedTest, ASignalOnAClosedConnectionIsDropped) {
  GDBusConnection *closed = connect_private_bus();
  ASSERT_NE(closed, nullptr);
  g_dbus_connection_close_sync(closed, nullptr, nullptr);
  // The close returns before the connection counts as closed; a signal
  // sent in between is dropped without an error.
  eventually([&] { return g_dbus_connection_is_closed(closed) != FALSE; });
  ASSERT_TRUE(g_dbus_connection_is_closed(closed));
  GDBusConnection *before = g_pIdg1_connection;
  g_pIdg1_connection = closed;
  std::thread([] {
    const uint32_t value = 1;
    dbusproxy_emit_properties_changed_signal(kPath, kInterface, "V", DBUSPROXY_TYPE_UINT32, &value);
  }).join();
  g_pIdg1_connection = before;
  g_object_unref(closed);
}

// ---- delayed save and flow-table flush -------------------------------------------

class ExtraMibSaveTest : public BusTest {
 protected:
  static constexpr auto kDelay = 500ms;
  // Set before the host starts, put back after it stops.
  struct DelayGuard {
    unsigned previous = set_extra_mib_save_delay(unsigned(kDelay.count()));
    ~DelayGuard() { set_extra_mib_save_delay(previous); }
  } delay_;
  std::string record() const { return read_text_file(root().path(path::kExtraMibSaveRecord)); }
  // Waits for the record to differ from `before`; returns the new record.
  std::string next_record(const std::string &before) {
    std::string now;
    eventually([&] { return (now = record()) != before; });
    return now;
  }
  // Count written in a record "[<ctime text>\n] write <count>\n", or -1.
  static long count_of(const std::string &text) {
    static const std::regex form(
        R"(\[(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}\n\] write (\d+)\n)");
    std::smatch match;
    return std::regex_match(text, match, form) ? std::stol(match[2]) : -1;
  }
  void save() {
    loop_->run([] { dbus_proxy_save_extra_mib(); });
  }
};

TEST_F(ExtraMibSaveTest, BurstOfCallsLeadsToOneSaveAfterTheLast) {
  save();
  const std::string first = next_record("");
  const long count = count_of(first);
  ASSERT_GT(count, 0) << first;

  // The burst runs in one task of the loop, so that no timer can fire
  // between its calls however long the machine takes.
  std::chrono::steady_clock::time_point last;
  loop_->run([&] {
    dbus_proxy_save_extra_mib();
    std::this_thread::sleep_for(40ms);
    dbus_proxy_save_extra_mib();
    std::this_thread::sleep_for(40ms);
    last = std::chrono::steady_clock::now();
    dbus_proxy_save_extra_mib();
  });
  const std::string second = next_record(first);
  EXPECT_GE(std::chrono::steady_clock::now() - last, kDelay - 10ms);
  EXPECT_EQ(count_of(second), count + 1) << second;

  // The earlier timers were removed: no further save follows.
  std::this_thread::sleep_for(kDelay * 2);
  EXPECT_EQ(record(), second);
}

using FlushHwnatTest = BusTest;

TEST_F(FlushHwnatTest, FlushOfEveryFlowReachesThePlatform) {
  const int64_t end = journal_end();
  EXPECT_EQ(dbus_proxy_flush_hwnat(), 0);
  const auto after = mib::journal(end);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].bit, MIB_JOURNAL_HWNAT);
  EXPECT_EQ(after[0].data, "hwnat flush mode=2");
}

}  // namespace
}  // namespace igd1::test
