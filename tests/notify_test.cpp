// The notification socket end to end: the library's threads serving the
// host's socket, the host's message handler, the debug level, the heartbeat
// and igd1d with igd1-notify.  Suites named *Slow* wait for real time-outs.

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

#include "dbus_proxy_api.h"
#include "dbus_proxy_uds_thread.h"
#include "local_socket.h"
#include "notify_service.h"
#include "radio_test.h"
#include "tool.h"

namespace igd1::test {
namespace {

// A message for the notification socket and the reply it gets.
struct Exchange {
  std::string message, reply;
};

// Changes a table as another process would: without telling this host.
template <typename Change>
void change_quietly(Change change) {
  host::route_row_callbacks(false);
  change();
  host::route_row_callbacks(true);
}

constexpr char kProbeLibrary[] = IGD1_BUILD_DIR "/libigd1_probe_module.so";
constexpr char kProbePath[] = "/com/wqx/igd1/Test/Probe";
constexpr char kNetworkPath[] = "/com/wqx/igd1/Info/Network";
const std::string kHeartbeat("w\0\0\0", 4);

int event_handler(const dbus_proxy_event_value *, char *, size_t) { return 1; }
constexpr dbus_proxy_event_func kEventHandler = event_handler;

// The probe module on a host that serves the notification socket.
class NotifyTest : public BusTest {
 protected:
  void configure(host::Options &options) override {
    write_text_file(root().path("/etc/dbusxml/Probe.xml"),
                    "<node name=\"/com/wqx/igd1/Test/Probe\"><interface name=\"com.wqx.igd1.Probe\">"
                    "<property name=\"Calls\" type=\"u\" access=\"read\"/></interface></node>");
    options.library = kProbeLibrary;
    options.modules = {"Probe"};
    options.notify_socket = true;
  }

  void SetUp() override {
    BusTest::SetUp();
    if (HasFatalFailure()) return;
    reinterpret_cast<void (*)()>(host_->library().symbol("probe_reset"))();
    ASSERT_TRUE(wait_for_notify_socket());
  }

  void TearDown() override {
    BusTest::TearDown();
    gui_dbusProxyDbg = DBUS_PROXY_DBG_DEFAULT;
  }

  std::vector<int> probe_calls(size_t count) {
    using Fn = std::vector<int> (*)(GThread **);
    auto calls = reinterpret_cast<Fn>(host_->library().symbol("probe_calls"));
    std::vector<int> seen;
    eventually([&] { return (seen = calls(nullptr)).size() >= count; });
    return seen;
  }
};

TEST_F(NotifyTest, RowAnnouncementsReachTheModuleOnlyForRowsThatMatch) {
  static const mib::Column kColumns[] = {{"Value", mib::ValueKind::U32, 4, 4}};
  static const mib::TableDef kTable = {"notify_rows", "Probe", 8, kColumns, 1, 4};
  static const mib::TableDef kSilent = {"notify_silent", "Silent", 8, kColumns, 1, 4};
  ASSERT_TRUE(mib::register_table(kTable));
  ASSERT_TRUE(mib::register_table(kSilent));
  uint8_t row[8] = {};
  change_quietly([&] {
    ASSERT_TRUE(mib::table_insert(kTable, row));
    ASSERT_TRUE(mib::table_insert(kSilent, row));
  });

  const Exchange refused[] = {
      {"row-removed notify_rows 1", "ERR row 1 is still in notify_rows"},
      {"row-inserted notify_rows 2", "ERR no row 2 in notify_rows"},
      {"row-inserted nosuch 1", "ERR unknown table nosuch"},
      {"row-inserted notify_rows 0", "ERR bad instance 0"},
      {"row-inserted notify_rows 256", "ERR bad instance 256"},
      {"row-inserted notify_rows +1", "ERR bad instance +1"},
      {"row-inserted notify_rows 01", "ERR bad instance 01"},
      {"row-inserted notify_rows 4294967297", "ERR bad instance 4294967297"},
      {"row-removed notify_rows 5", "ERR bad instance 5"},  // beyond the table's 4 rows
      {"row-inserted notify_rows", "ERR usage: row-inserted TABLE INSTANCE"},
      {"row-removed notify_rows 1 2", "ERR usage: row-removed TABLE INSTANCE"},
      {"row-inserted notify_silent 1", "ERR notify_silent has no module that takes its rows"},
  };
  for (const auto &c : refused) EXPECT_EQ(exchange(c.message), c.reply) << c.message;

  EXPECT_EQ(exchange("row-inserted notify_rows 1\n"), "OK");
  change_quietly([&] { ASSERT_TRUE(mib::table_remove(kTable, 1)); });
  EXPECT_EQ(exchange("row-removed  notify_rows  1\r\n"), "OK");
  EXPECT_THAT(probe_calls(2), ElementsAre(1, -1));
}

// A module's declared events: arguments parsed by their kinds, the handler
// run on the main loop; anything else refused with nothing called.
TEST_F(NotifyTest, EventsReachOnlyTheirModulesHandlersWithStrictlyParsedArguments) {
  using Events = std::vector<std::string> (*)(std::vector<GThread *> *);
  auto events = reinterpret_cast<Events>(host_->library().symbol("probe_row_events"));
  const Exchange refused[] = {
      {"event", "ERR usage: event MODULE NAME ARG..."},
      {"event Probe", "ERR usage: event MODULE NAME ARG..."},
      {"event Nosuch rename x", "ERR no module Nosuch takes events"},
      {"event Probe probe_reset", "ERR Probe has no event probe_reset"},
      {"event Probe rename", "ERR usage: event Probe rename NAME"},
      {"event Probe rename a b", "ERR usage: event Probe rename NAME"},
      {"event Probe rename ninechars", "ERR NAME is not UTF-8 of at most 8 bytes (usage: event Probe rename NAME)"},
      {"event Probe station-alarm aa:bb:cc:dd:ee -70 1 5",
       "ERR MAC is not a MAC address (usage: event Probe station-alarm MAC RSSI LOW VALUE)"},
      {"event Probe station-alarm aabbccddeeff -2147483649 1 5",
       "ERR RSSI is not a 32-bit number (usage: event Probe station-alarm MAC RSSI LOW VALUE)"},
      {"event Probe station-alarm aabbccddeeff +70 1 5",
       "ERR RSSI is not a 32-bit number (usage: event Probe station-alarm MAC RSSI LOW VALUE)"},
      {"event Probe station-alarm aabbccddeeff -70 yes 5",
       "ERR LOW is not 0, 1, true or false (usage: event Probe station-alarm MAC RSSI LOW VALUE)"},
      {"event Probe station-alarm aabbccddeeff -70 1 4294967296",
       "ERR VALUE is not a 32-bit unsigned number (usage: event Probe station-alarm MAC RSSI LOW VALUE)"},
      {"event Probe station-alarm aabbccddeeff -70 1 -1",
       "ERR VALUE is not a 32-bit unsigned number (usage: event Probe station-alarm MAC RSSI LOW VALUE)"},
      {"event Probe refuse", "ERR the probe refuses"},
  };
  for (const auto &c : refused) EXPECT_EQ(exchange(c.message), c.reply) << c.message;
  EXPECT_THAT(events(nullptr), IsEmpty()) << "nothing was called";

  EXPECT_EQ(exchange("event Probe station-alarm 3c-22-fb-10-00-0a -2147483648 true 4294967295"), "OK");
  EXPECT_EQ(exchange("event  Probe rename  eight_ch"), "OK");
  std::vector<GThread *> threads;
  EXPECT_THAT(events(&threads),
              ElementsAre("alarm 3C:22:FB:10:00:0A -2147483648 1 4294967295", "rename eight_ch"));
  ASSERT_EQ(threads.size(), 2u);
  GThread *loop_thread = nullptr;
  loop_->run([&] { loop_thread = g_thread_self(); });
  EXPECT_EQ(threads[0], loop_thread) << "handlers run on the main loop";

  // Malformed tables are refused at registration.
  const dbus_proxy_event twice[] = {{"a", kEventHandler, nullptr, 0}, {"a", kEventHandler, nullptr, 0}};
  const dbus_proxy_event_arg no_length[] = {{"T", DBUS_PROXY_ARG_TEXT, 0}};
  const dbus_proxy_event unbounded[] = {{"t", kEventHandler, no_length, 1}};
  const dbus_proxy_event spaced[] = {{"two words", kEventHandler, nullptr, 0}};
  EXPECT_EQ(dbus_proxy_events_reg("Other", twice, 2), 0);
  EXPECT_EQ(dbus_proxy_events_reg("Other", unbounded, 1), 0);
  EXPECT_EQ(dbus_proxy_events_reg("Other", spaced, 1), 0);
  EXPECT_EQ(exchange("event Other a"), "ERR no module Other takes events");
}

// The emulated devices: seeded when the host starts, changed by events, and
// each change reaches the store, the device's state file and the module the
// device reports to; an event the device cannot take changes nothing.
TEST_F(NotifyTest, EmulatedDevicesChangeThroughEventsAndReachTheirModules) {
  using Events = std::vector<std::string> (*)(std::vector<GThread *> *);
  auto events = reinterpret_cast<Events>(host_->library().symbol("probe_row_events"));
  const std::string seeded = radio_state_file(root());
  EXPECT_THAT(seeded, HasSubstr("[station 3C:22:FB:10:00:03]"));
  const Exchange refused[] = {
      {"event radio station-join 02:00:00:00:00:09 99 -60", "ERR no SSID 99"},
      {"event radio station-join 02:00:00:00:00:09 3 -200", "ERR a signal level is from -127 to 0 dBm"},
      {"event radio station-join 02:00:00:00:00:09 3",
       "ERR usage: event radio station-join MAC SSID RSSI"},
      {"event radio station-signal 02:00:00:00:00:09 -80", "ERR no station 02:00:00:00:00:09"},
      {"event radio station-leave 02:00:00:00:00:0", "ERR MAC is not a MAC address (usage: event radio station-leave MAC)"},
      {"event radio scan 3", "ERR no such band"},
      {"event radio scan-result 1 40 9", "ERR channel 40 is not a channel of band 1"},
      {"event usb plug /var/lib/igd1-devices/none Photos",
       "ERR the backing /var/lib/igd1-devices/none is not a folder or a file"},
      {"event usb plug ../escape Photos", "ERR the backing is an absolute path without . or .. segments"},
      {"event usb unplug 0", "ERR INDEX is from 1 to 32"},
      {"event usb unplug 9", "ERR no device 9"},
      {"event voice line 3 Up", "ERR LINE is 1 or 2"},
  };
  for (const auto &c : refused) EXPECT_EQ(exchange(c.message), c.reply) << c.message;
  EXPECT_THAT(events(nullptr), IsEmpty()) << "nothing reached a module";
  EXPECT_EQ(radio_state_file(root()), seeded) << "nothing changed";

  // A station joins (the seed has three), weakens, recovers and leaves.
  EXPECT_EQ(exchange("event radio station-join 02:00:00:00:00:09 3 -60"), "OK");
  EXPECT_EQ(exchange("event radio station-signal 02:00:00:00:00:09 -80"), "OK");
  EXPECT_EQ(exchange("event radio station-signal 02:00:00:00:00:09 -82"), "OK");  // still weak
  EXPECT_EQ(exchange("event radio station-signal 02:00:00:00:00:09 -70"), "OK");
  EXPECT_THAT(radio_state_file(root()), HasSubstr("[station 02:00:00:00:00:09]\nnumber=4\nssid=3\nrssi=-70"));
  EXPECT_EQ(exchange("event radio station-leave 02-00-00-00-00-09"), "OK");
  EXPECT_THAT(events(nullptr), ElementsAre("station + 4", "low-signal 4 020000000009 1 -80",
                                           "low-signal 4 020000000009 0 -70", "station - 4"));

  // A USB disk backed by a folder under the root arrives and leaves (the
  // seed has a disk and a printer).
  ASSERT_EQ(g_mkdir_with_parents(root().path("/var/lib/igd1-devices/photos").c_str(), 0755), 0);
  EXPECT_EQ(exchange("event usb plug /var/lib/igd1-devices/photos Photos"), "OK");
  EXPECT_THAT(read_text_file(root().path(std::string(path::kDeviceStateDir) + "usb.ini")),
              HasSubstr("label=Photos"));
  EXPECT_EQ(exchange("event usb unplug 3"), "OK");

  // The line's state reaches the store.
  EXPECT_EQ(exchange("event voice line 2 Registering"), "OK");
  EXPECT_EQ(setting("voip.Line2Status"), "Registering");

  // A scan answers at once; its results come after the delay, with the
  // main loop free meanwhile.
  EXPECT_EQ(exchange("event radio scan-delay 300"), "OK");
  EXPECT_EQ(exchange("event radio scan-result 1 13 99"), "OK");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(exchange("event radio scan 1"), "OK");
  loop_->run([] {});
  EXPECT_LT(std::chrono::steady_clock::now() - started, 250ms);
  std::vector<std::string> seen;
  eventually([&] { return (seen = events(nullptr)).size() >= 7; });
  EXPECT_THAT(seen, ElementsAre("station + 4", "low-signal 4 020000000009 1 -80",
                                "low-signal 4 020000000009 0 -70", "station - 4", "usb + 3 1", "usb - 3",
                                "scan-done 1 4"));
  EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
}

TEST_F(NotifyTest, ValueChangesGoOutAsPropertiesChangedOfTheDeclaredType) {
  SignalWatcher watcher(client(), DBUSPROXY_PROPERTIES_INTERFACE, DBUSPROXY_PROPERTIES_CHANGED);
  auto next_change = [&] {
    SignalWatcher::Signal signal = watcher.wait();
    return signal.path + " " + printed(signal.body.get());
  };
  const std::string prefix = std::string("value-changed ") + kProbePath + " com.wqx.igd1.Probe ";
  EXPECT_EQ(exchange(prefix + "Calls 7"), "OK");
  EXPECT_EQ(next_change(), std::string(kProbePath) + " ('com.wqx.igd1.Probe', {'Calls': <uint32 7>}, @as [])");

  const Exchange refused[] = {
      {prefix + "Calls 'seven'", "ERR bad value for Calls (type u): "},
      {prefix + "Calls 4294967296", "ERR bad value for Calls (type u): "},
      {prefix + "Other 7", "ERR unknown property com.wqx.igd1.Probe.Other"},
      {prefix + "Calls", "ERR usage: value-changed PATH INTERFACE PROPERTY VALUE"},
      {"value-changed /com/wqx/igd1/Test/Probe com.wqx.igd1.Nothing Calls 7",
       "ERR unknown interface com.wqx.igd1.Nothing"},
      {"value-changed /com/wqx/igd1/Test/Other com.wqx.igd1.Probe Calls 7",
       "ERR com.wqx.igd1.Probe is not served at /com/wqx/igd1/Test/Other"},
      {"value-changed /org/other com.wqx.igd1.Probe Calls 7", "ERR bad object path /org/other"},
      {"value-changed /com/wqx/igd1/Test/Probe/ com.wqx.igd1.Probe Calls 7",
       "ERR bad object path /com/wqx/igd1/Test/Probe/"},
      // Declared there, but no such object is published.
      {"value-changed /com/wqx/igd1/Test/Probe/3 com.wqx.igd1.Probe Calls 7",
       "ERR no object at /com/wqx/igd1/Test/Probe/3"},
  };
  for (const auto &c : refused) EXPECT_THAT(exchange(c.message), StartsWith(c.reply)) << c.message;

  // Once a child object of the declaring node is published, a value with a
  // space: the refused messages emitted nothing in between.
  static const GDBusInterfaceVTable kChildVTable = {
      nullptr, [](GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
                  GError **, gpointer) { return g_variant_new_uint32(0); },
      nullptr, {nullptr}};
  guint child = 0;
  loop_->run([&] {
    child = dbus_proxy_object_reg(host_->connection(), "/com/wqx/igd1/Test/Probe/3",
                                              host::node_infos().at(0)->interfaces[0],
                                              &kChildVTable, nullptr, nullptr, nullptr);
  });
  ASSERT_GT(child, 0u);
  EXPECT_EQ(exchange("value-changed /com/wqx/igd1/Test/Probe/3 com.wqx.igd1.Probe Calls  uint32 8"), "OK");
  EXPECT_EQ(next_change(), std::string(kProbePath) + "/3 ('com.wqx.igd1.Probe', {'Calls': <uint32 8>}, @as [])");
  loop_->run([&] { dbus_proxy_object_unreg(host_->connection(), child); });

  // The type is the one the path serves now, not the one the module's
  // document declares: a child published with another form of the
  // interface takes values of that form only.
  g_autoptr(GDBusNodeInfo) text_form = g_dbus_node_info_new_for_xml(
      "<node><interface name='com.wqx.igd1.Probe'>"
      "<property name='Calls' type='s' access='read'/></interface></node>",
      nullptr);
  ASSERT_NE(text_form, nullptr);
  loop_->run([&] {
    child = dbus_proxy_object_reg(host_->connection(), "/com/wqx/igd1/Test/Probe/3",
                                  text_form->interfaces[0], &kChildVTable, nullptr, nullptr,
                                  nullptr);
  });
  ASSERT_GT(child, 0u);
  EXPECT_THAT(exchange("value-changed /com/wqx/igd1/Test/Probe/3 com.wqx.igd1.Probe Calls 9"),
              StartsWith("ERR bad value for Calls (type s): "));
  EXPECT_EQ(exchange("value-changed /com/wqx/igd1/Test/Probe/3 com.wqx.igd1.Probe Calls 'nine'"), "OK");
  EXPECT_EQ(next_change(), std::string(kProbePath) + "/3 ('com.wqx.igd1.Probe', {'Calls': <'nine'>}, @as [])");
  loop_->run([&] { dbus_proxy_object_unreg(host_->connection(), child); });
}

TEST_F(NotifyTest, MalformedOrOversizedMessagesGetAnErrorLine) {
  const Exchange cases[] = {
      {"bogus", "ERR unknown command bogus"},
      {"debug-level now", "ERR usage: debug-level"},
      {std::string("debug-\0level", 12), "ERR message is not one line of text"},
      {"debug-level\nbogus\n", "ERR message is not one line of text"},
      {std::string(1025, 'x'), "ERR message too long (1025 bytes)"},
      // The transport hands over the first 2047 bytes and drops the rest.
      {std::string(3000, 'x'), "ERR message too long (2047 bytes)"},
  };
  for (const auto &c : cases) EXPECT_EQ(exchange(c.message), c.reply) << c.message.substr(0, 40);
}

TEST_F(NotifyTest, DebugLevelSetsTheLogMaskAndSignalsWhenLoggingIsOn) {
  SignalWatcher watcher(client(), DBUSPROXY_PROPERTIES_INTERFACE, DBUSPROXY_PROPERTIES_CHANGED,
                        kNetworkPath);
  const struct {
    const char *level;
    uint32_t mask;
  } cases[] = {
      {"0", 0x00000000u}, {"1", 0x0000FF00u}, {"2", 0x0000FFF0u}, {"3", 0x0000FFFFu},
      {"4", 0xFF00FFFFu}, {"5", 0xFFF0FFFFu}, {"7", 0x0000FFF0u}, {"99", 0x0000FFF0u},
      {"6", 0xFFFFFFFFu},
  };
  EXPECT_THAT(syslog(), Not(HasSubstr("[DBUS][Debug]")));
  size_t signals = 0;
  for (const auto &c : cases) {
    ASSERT_TRUE(mib::set_setting("dbusproxy.DebugLevel", c.level));
    testing::internal::CaptureStdout();
    std::string reply = exchange("debug-level");
    std::string out = testing::internal::GetCapturedStdout();
    g_autofree gchar *expected_reply = g_strdup_printf("OK mask 0x%08x", c.mask);
    g_autofree gchar *expected_line = g_strdup_printf("dbus_proxy_debug_set_signal:gui_dbusProxyDbg:%#x\n", c.mask);
    EXPECT_EQ(reply, expected_reply) << "level " << c.level;
    EXPECT_THAT(out, HasSubstr(expected_line)) << "level " << c.level;
    EXPECT_EQ(gui_dbusProxyDbg, c.mask) << "level " << c.level;
    if (c.mask != 0) ++signals;
  }
  // One empty test change per non-zero mask, none for level 0.
  for (size_t n = 0; n < signals; ++n)
    EXPECT_EQ(printed(watcher.wait().body.get()), "('com.wqx.igd1.NetworkInfo', @a{sv} {}, @as [])")
        << "signal " << n;
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(watcher.pending(), 0u);
  // Level 6 lets the debug lines of the socket threads reach the file.
  testing::internal::CaptureStdout();
  exchange("bogus");
  testing::internal::GetCapturedStdout();
  gui_dbusProxyDbg = DBUS_PROXY_DBG_DEFAULT;
  EXPECT_THAT(wait_for_text(root().path(path::kSyslog), "Accept successfully"),
              HasSubstr("[DBUS][Debug]: dbus_proxy_uds_process_func:"));
}

TEST_F(NotifyTest, ConnectionsAreServedOneAtATimeInArrivalOrder) {
  NotifyClient first, second;
  ASSERT_TRUE(first.connected() && second.connected());
  ASSERT_TRUE(second.send("second"));
  // The handler waits for the first connection's message.
  EXPECT_EQ(second.reply(300ms), "");
  ASSERT_TRUE(first.send("first"));
  EXPECT_EQ(first.reply(), "ERR unknown command first");
  EXPECT_EQ(second.reply(), "ERR unknown command second");
  EXPECT_TRUE(first.closed(kPatience));
  // The accepting thread started the LAN information poller.
  EXPECT_THAT(wait_for_text(root().path(path::kStandinLog), "poll_lanNetInfo"),
              HasSubstr("poll_lanNetInfo 1 2\n"));
}

TEST(HeartbeatMonitorTest, WarnsWhenBeatsStopAndNotesTheirReturn) {
  TempRoot root;
  constexpr char kWatchSocket[] = "/tmp/watch.sock";
  host::HeartbeatMonitor monitor;
  std::string error;
  // Beats 200 ms apart never miss a watch of two seconds, however loaded
  // the machine.
  ASSERT_TRUE(monitor.start(kWatchSocket, 2s, &error)) << error;
  auto send_beat = [&](const std::string &message) {
    int fd = dbus_proxy_uds_client_conn(kWatchSocket);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(dbus_proxy_uds_send_client_msg(fd, message.data(), int(message.size())), int(message.size()));
    close(fd);
  };
  const std::string log_file = root.path(path::kSyslog);
  for (int i = 0; i < 6; ++i) {
    send_beat(kHeartbeat);
    std::this_thread::sleep_for(200ms);
  }
  EXPECT_THAT(read_text_file(log_file), Not(HasSubstr("heartbeat")));
  // The warning tells how long the beats have been missing: at least the
  // watch's time.
  EXPECT_THAT(wait_for_text(log_file, "no heartbeat"),
              ContainsRegex(R"(\[DBUS\]\[Warn\]: no heartbeat from the module library for [2-9]\.[0-9] s)"));
  // Neither is a heartbeat: a wrong byte, one byte too many.
  send_beat("w\1\0\0");
  send_beat(std::string("w\0\0\0\0", 5));
  std::this_thread::sleep_for(300ms);
  EXPECT_THAT(read_text_file(log_file), Not(HasSubstr("resumed")));
  // A caller that connects well before it sends is still heard.
  int fd = dbus_proxy_uds_client_conn(kWatchSocket);
  ASSERT_GE(fd, 0);
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(dbus_proxy_uds_send_client_msg(fd, kHeartbeat.data(), 2), 2);
  std::this_thread::sleep_for(100ms);
  ASSERT_EQ(dbus_proxy_uds_send_client_msg(fd, kHeartbeat.data() + 2, 2), 2);
  EXPECT_THAT(wait_for_text(log_file, "resumed"),
              HasSubstr("[DBUS][INFO]: heartbeat from the module library resumed after "));
  close(fd);
  monitor.stop();
  EXPECT_FALSE(g_file_test(root.path(kWatchSocket).c_str(), G_FILE_TEST_EXISTS));
}

// ---- real time-outs ------------------------------------------------------------------

class NotifySlowTest : public NotifyTest {};

// Each connection's time counts from its acceptance: twenty silent clients
// ahead of a valid notice cost one time-out in all, not twenty.
TEST_F(NotifySlowTest, SilentClientsAreDroppedSixSecondsAfterConnectingAndTheNextIsServed) {
  std::vector<std::unique_ptr<NotifyClient>> silent;
  for (int i = 0; i < 20; ++i) {
    silent.push_back(std::make_unique<NotifyClient>());
    ASSERT_TRUE(silent.back()->connected());
  }
  auto start = std::chrono::steady_clock::now();
  NotifyClient next;
  ASSERT_TRUE(next.connected());
  ASSERT_TRUE(next.send("next"));
  EXPECT_EQ(next.reply(), "ERR unknown command next");
  // Two time-outs would be 12 s.
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GT(waited, 5.0);
  EXPECT_LT(waited, 11.5);
  for (auto &client : silent) EXPECT_TRUE(client->closed(kPatience)) << "a silent client was answered or kept";
}

// The heartbeat thread has no stop, so it runs in a child process that ends
// with the test.
void beat_in_child() {
  auto root = std::make_unique<TempRoot>();
  auto start = std::chrono::steady_clock::now();
  auto since_start = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  int created = dbus_proxy_heartbeat_thread_create_func();
  std::this_thread::sleep_for(500ms);  // the first beat found no socket
  int listener = listen_local(path::kDaemonSocket);
  std::string first = accept_message(listener, 6s);
  double first_at = since_start();
  std::string second = accept_message(listener, 7s);
  double second_at = since_start();
  close(listener);
  std::fprintf(stderr, "created %d, first beat %s after %.1f s, next %s %.1f s later\n", created,
               first == kHeartbeat ? "w000" : "wrong", first_at,
               second == kHeartbeat ? "w000" : "wrong", second_at - first_at);
  root.reset();
  std::_Exit(0);
}

TEST(HeartbeatSlowTest, BeatsEveryFiveSecondsWhetherOrNotTheSocketExists) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(beat_in_child(), testing::ExitedWithCode(0),
              "created 0, first beat w000 after [4-8]\\.[0-9] s, next w000 [4-8]\\.[0-9] s later");
}

using DaemonSlowTest = DaemonTest;

TEST_F(DaemonSlowTest, WatchesTheHeartbeatAndServesIgd1Notify) {
  {
    DaemonProcess daemon({"--root", root_.dir(), "--heartbeat-timeout", "3"});
    ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
    const std::string notify = IGD1_BUILD_DIR "/igd1-notify", mib_tool = IGD1_BUILD_DIR "/igd1-mib";
    ASSERT_TRUE(wait_for_notify_socket());

    ProgramRun run = run_program({notify, "--root", root_.dir(), "bogus", "word"});
    EXPECT_EQ(run.out, "ERR unknown command bogus\n");
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run_program({mib_tool, "set", "dbusproxy.DebugLevel", "6"}).status, 0);
    run = run_program({notify, "debug-level"});
    EXPECT_EQ(run.out, "OK mask 0xffffffff\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_THAT(wait_for_text(daemon.output_file(), "gui_dbusProxyDbg:0xffffffff"),
                HasSubstr("dbus_proxy_debug_set_signal:gui_dbusProxyDbg:0xffffffff\n"));

    // A row another process adds to the store appears once it is announced.
    EXPECT_EQ(run_program({mib_tool, "add", "portmapping"}).out, "1\n");
    run_program({mib_tool, "set", "portmapping[1].ExternalPort", "8080"});
    EXPECT_EQ(run_program({notify, "row-inserted", "portmapping", "1"}).out, "OK\n");
    Variant port;
    eventually([&] {
      port = call_service(client_, "/com/wqx/igd1/Config/PortMapping/1", "org.freedesktop.DBus.Properties", "Get",
                          g_variant_new("(ss)", "com.wqx.igd1.PortMapping", "ExternalPort"));
      return port != nullptr;
    });
    EXPECT_EQ(printed(port.get()), "(<uint32 8080>,)");

    // Beats come every 5 seconds: with a 3-second watch each gap is reported.
    std::string log = wait_for_text(root_.path(path::kSyslog), "resumed");
    EXPECT_THAT(log, ContainsRegex("\\[DBUS\\]\\[Warn\\]: no heartbeat from the module library for [3-8]\\.[0-9] s"
                                   ".*\\[DBUS\\]\\[INFO\\]: heartbeat from the module library resumed after [4-8]\\."));

    EXPECT_EQ(daemon.stop(SIGTERM), 0);
    EXPECT_FALSE(g_file_test(root_.path(path::kNotifySocket).c_str(), G_FILE_TEST_EXISTS));
  }
  EXPECT_EQ(run_program({IGD1_BUILD_DIR "/igd1-notify", "debug-level"}).status, 1) << "nobody listens any more";
}

}  // namespace
}  // namespace igd1::test
