// The host layer driving a module library: entry functions, node
// registration, settings, and row callbacks from the store.
#include <dlfcn.h>

#include <algorithm>
#include <future>

#include "harness/bus_fixture.h"
#include "host_api.h"

namespace igd1::test {
namespace {

constexpr char kProbeLibrary[] = IGD1_BUILD_DIR "/libigd1_probe_module.so";

class ProbeHostTest : public BusTest {
 protected:
  void configure(host::Options &options) override {
    write_text_file(root().path("/etc/dbusxml/Probe.xml"),
                    "<node name=\"/com/wqx/igd1/Test/Probe\">"
                    "<interface name=\"com.wqx.igd1.Probe\">"
                    "<property name=\"Calls\" type=\"u\" access=\"read\"/>"
                    "</interface></node>");
    options.library = kProbeLibrary;
    options.service_type = 1;
    options.province = 14;
  }

  void SetUp() override {
    BusTest::SetUp();
    if (HasFatalFailure()) return;
    auto reset = reinterpret_cast<void (*)()>(host_->library().symbol("probe_reset"));
    ASSERT_NE(reset, nullptr);
    reset();
  }

  std::vector<int> calls(GThread **thread = nullptr) {
    using Fn = std::vector<int> (*)(GThread **);
    auto fn = reinterpret_cast<Fn>(host_->library().symbol("probe_calls"));
    EXPECT_NE(fn, nullptr);
    return fn != nullptr ? fn(thread) : std::vector<int>{};
  }

  std::vector<int> wait_for_calls(size_t count, GThread **thread = nullptr) {
    std::vector<int> seen;
    eventually([&] { return (seen = calls(thread)).size() >= count; });
    return seen;
  }
};

// A manager attached through the host: its methods reach the module's
// handler, a method left unanswered is answered for it, and a handler in the
// second spare slot answers GetManagedObjects.
// Modules start after those they declared to wait for, in the given order
// otherwise; one waiting for a module that does not start is not held up;
// modules that wait for each other stop the start, naming them.
TEST(StartOrderTest, ModulesStartAfterThoseTheyWaitFor) {
  auto entries = [](std::initializer_list<const char *> modules) {
    std::vector<host::EntryPoint> list;
    for (const char *module : modules) list.push_back({std::string(module) + "_on_bus_acquired", nullptr});
    return list;
  };
  auto modules = [](const std::vector<host::EntryPoint> &list) {
    std::vector<std::string> names;
    for (const host::EntryPoint &entry : list)
      names.push_back(entry.name.substr(0, entry.name.find("_on_bus_acquired")));
    return names;
  };
  std::string error;
  auto list = entries({"wps", "LED", "WLANConfiguration", "usb"});
  ASSERT_TRUE(host::order_entries({{"wps", "WLANConfiguration"}}, &list, &error)) << error;
  EXPECT_THAT(modules(list), ElementsAre("LED", "WLANConfiguration", "wps", "usb"));

  list = entries({"wps", "LED"});
  ASSERT_TRUE(host::order_entries({{"wps", "WLANConfiguration"}}, &list, &error)) << error;
  EXPECT_THAT(modules(list), ElementsAre("wps", "LED"));

  list = entries({"c", "b", "a"});
  ASSERT_TRUE(host::order_entries({{"c", "b"}, {"b", "a"}}, &list, &error)) << error;
  EXPECT_THAT(modules(list), ElementsAre("a", "b", "c"));

  list = entries({"a", "b", "x"});
  EXPECT_FALSE(host::order_entries({{"a", "b"}, {"b", "a"}}, &list, &error));
  EXPECT_EQ(error, "modules wait for each other: a b");
}

TEST_F(ProbeHostTest, ObjectManagerMethodsReachTheModule) {
  constexpr char kItems[] = "/com/wqx/igd1/Test/Probe/Items";
  ASSERT_EQ(add(kItems), std::make_pair(std::string("/com/wqx/igd1/Test/Probe/Items/7"), Error()));
  EXPECT_EQ(remove(kItems, "/com/wqx/igd1/Test/Probe/Items/7"),
            Error("org.freedesktop.DBus.Error.UnknownMethod",
                  "Method DeleteObject of interface com.wqx.igd1.ObjectManager "
                  "is not served on /com/wqx/igd1/Test/Probe/Items"));
  EXPECT_EQ(managed(kItems),
            "({objectpath '/com/wqx/igd1/Test/Probe/Items/7': {'com.wqx.igd1.ProbeItem': "
            "{'Seen': <true>}}},)");
  EXPECT_THAT(introspect(kItems), HasSubstr("<method name=\"GetManagedObjects\">"));
}

TEST_F(ProbeHostTest, CallsTheModuleEntriesButNotTheNestedOne) {
  Variant value = get_property("/com/wqx/igd1/Test/Probe", "com.wqx.igd1.Probe", "Calls");
  ASSERT_TRUE(value);
  EXPECT_THAT(calls(), Not(Contains(-1000)));
  // The probe's node reached the host before its object was registered
  // (the engine probes of the same library hand over theirs too).
  auto nodes = host::node_infos();
  EXPECT_EQ(std::count_if(nodes.begin(), nodes.end(),
                          [](GDBusNodeInfo *node) {
                            return g_strcmp0(node->path, "/com/wqx/igd1/Test/Probe") == 0;
                          }),
            1);
  // The root object comes from the real library the probe links.
  EXPECT_NE(introspect("/com/wqx/igd1").find("com.wqx.igd1"), std::string::npos);
}

TEST_F(ProbeHostTest, ReportsItsSettingsToTheLibrary) {
  EXPECT_EQ(dbus_proxy_get_service_type(), 1);
  EXPECT_EQ(dbus_proxy_get_province(), 14);
  EXPECT_EQ(g_pIdg1_connection, host_->connection());
}

// Instance numbers, pairs, action flags and whole records reach their
// modules on the main loop, with the values the row had when it changed,
// from whatever thread changed it.
TEST_F(ProbeHostTest, RowCallbacksOfEveryShapeRunOnTheLoopWithCopiedValues) {
  static const mib::Column kColumns[] = {{"Parent", mib::ValueKind::U32, 4, 4}};
  static const mib::TableDef kNumbered = {"probe_rows", "Probe", 8, kColumns, 1, 4};
  static const mib::TableDef kPairs = {"probe_pairs", "ProbePair", 8, kColumns, 1, 8};
  static const mib::TableDef kFlagged = {"probe_flagged", "ProbeAction", 8, kColumns, 1, 8};
  static const mib::TableDef kRecords = {"probe_records", "ProbeRecord", 8, kColumns, 1, 8};
  static const mib::TableDef kDevices = {"probe_devices", "ProbeFlag", 8, kColumns, 1, 8};
  for (const mib::TableDef *table : {&kNumbered, &kPairs, &kFlagged, &kRecords, &kDevices})
    ASSERT_TRUE(mib::register_table(*table));
  using Events = std::vector<std::string> (*)(std::vector<GThread *> *);
  auto events = reinterpret_cast<Events>(host_->library().symbol("probe_row_events"));
  ASSERT_NE(events, nullptr);
  GThread *loop_thread = nullptr;
  loop_->run([&] { loop_thread = g_thread_self(); });

  auto change_tables = [] {
    uint8_t numbered[8] = {};
    ASSERT_TRUE(mib::table_insert(kNumbered, numbered));
    ASSERT_EQ(numbered[0], 1);
    ASSERT_TRUE(mib::table_insert(kNumbered, numbered));
    ASSERT_EQ(numbered[0], 2);
    ASSERT_TRUE(mib::table_remove(kNumbered, 1));
    uint8_t row[8] = {0, 0, 0, 0, 3, 0, 0, 0};  // parent 3
    ASSERT_TRUE(mib::table_insert(kPairs, row));
    ASSERT_TRUE(mib::table_insert(kFlagged, row));
    row[4] = 9;
    ASSERT_TRUE(mib::table_insert(kRecords, row));
    // Changed again before the loop got to the first change.
    row[4] = 10;
    ASSERT_TRUE(mib::table_update(kRecords, row));
    ASSERT_TRUE(mib::table_remove(kPairs, 1));
    ASSERT_TRUE(mib::table_remove(kFlagged, 1));
    // Index and flag: the flag is whether byte 4 holds the declared 8.
    uint8_t device[8] = {0, 0, 0, 0, 8, 0, 0, 0};
    ASSERT_TRUE(mib::table_insert(kDevices, device));
    device[4] = 7;
    ASSERT_TRUE(mib::table_insert(kDevices, device));
    ASSERT_TRUE(mib::table_remove(kDevices, 1));
  };
  // From another thread while the loop is busy: nothing is delivered before
  // the loop is free again.
  std::promise<void> started, release;
  std::shared_future<void> released = release.get_future().share();
  std::thread busy([&] {
    loop_->run([&] {
      started.set_value();
      released.wait();
    });
  });
  started.get_future().wait();
  std::thread changer(change_tables);
  changer.join();
  EXPECT_TRUE(events(nullptr).empty());
  EXPECT_TRUE(calls().empty());
  release.set_value();
  busy.join();

  std::vector<GThread *> threads;
  std::vector<std::string> seen;
  eventually([&] { return (seen = events(&threads)).size() >= 8; });
  EXPECT_THAT(seen, ElementsAre("pair + 3/1", "action 1 added", "record + 1 0 0 0 9 0 0 0",
                                "pair - 3/1", "action 1 removed", "flagged + 1 1", "flagged + 2 0",
                                "flagged - 1"));
  EXPECT_THAT(threads, testing::Each(loop_thread));
  GThread *callback_thread = nullptr;
  EXPECT_THAT(wait_for_calls(3, &callback_thread), ElementsAre(1, 2, -1));
  EXPECT_EQ(callback_thread, loop_thread);

  // On the loop itself (a bus call changing a table) the module hears of it
  // before the change returns.
  loop_->run([&] {
    ASSERT_TRUE(mib::table_remove(kRecords, 1));
    EXPECT_EQ(events(nullptr).back(), "record - 1 0 0 0 10 0 0 0");
  });
}

// A module is reached only through the shape it declared: a function that
// merely carries the callback's name is never called, and the module that
// declared nothing is named in the log once, however many rows change.
TEST_F(ProbeHostTest, ModulesThatDeclaredNoCallbacksAreNotCalledAndLoggedOnce) {
  static const mib::Column kColumns[] = {{"Value", mib::ValueKind::U8, 1, 1}};
  static const mib::TableDef kTable = {"undeclared_rows", "Undeclared", 2, kColumns, 1, 4};
  ASSERT_TRUE(mib::register_table(kTable));
  ASSERT_NE(host_->library().symbol("Undeclared_add_interface"), nullptr);
  uint8_t row[2] = {};
  ASSERT_TRUE(mib::table_insert(kTable, row));
  ASSERT_TRUE(mib::table_insert(kTable, row));
  loop_->run([&] { ASSERT_TRUE(mib::table_remove(kTable, 1)); });
  loop_->run([] {});  // a queued callback would have run by now
  EXPECT_TRUE(calls().empty());
  const std::string log = syslog();
  const std::string warning = "module Undeclared declared no row callbacks";
  const size_t first = log.find(warning);
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find(warning, first + 1), std::string::npos) << log;
}

class ProbeDaemonTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    write_text_file(root_.path("/etc/dbusxml/Probe.xml"),
                    "<node name=\"/com/wqx/igd1/Test/Probe\">"
                    "<interface name=\"com.wqx.igd1.Probe\"/></node>");
  }
  bool has_probe() {
    Variant reply = call("/com/wqx/igd1/Test/Probe", "org.freedesktop.DBus.Introspectable", "Introspect",
                         nullptr, nullptr, 5000);
    return reply != nullptr && printed(reply.get()).find("com.wqx.igd1.Probe") != std::string::npos;
  }
};

TEST_F(ProbeDaemonTest, ModulesOptionSelectsTheEntriesToCall) {
  {
    DaemonProcess daemon({"--root", root_.dir(), "--library", kProbeLibrary, "--modules", "Probe"});
    ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
    EXPECT_TRUE(has_probe());
    EXPECT_EQ(daemon.stop(SIGTERM), 0);
  }
  {
    // Naming only the root entry starts no module.
    DaemonProcess daemon({"--root", root_.dir(), "--library", kProbeLibrary, "--modules",
                          "IGD1_on_bus_acquired"});
    ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
    EXPECT_FALSE(has_probe());
    EXPECT_EQ(daemon.stop(SIGTERM), 0);
  }
}

}  // namespace
}  // namespace igd1::test
