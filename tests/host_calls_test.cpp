// Calls that a handler answers after it returned: the host leaves them to
// the handler, answers them exactly once, and keeps serving meanwhile.

#include <algorithm>
#include <atomic>

#include "dbus_vtable.h"
#include "harness/bus_fixture.h"
#include "host_api.h"

namespace igd1::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kSlowPath[] = "/com/wqx/igd1/Test/Slow";
constexpr char kSlowInterface[] = "com.wqx.igd1.Test.Slow";
constexpr char kSlowXml[] =
    "<node><interface name='com.wqx.igd1.Test.Slow'>"
    "<method name='Wait'><arg name='ms' type='u' direction='in'/>"
    "<arg name='said' type='s' direction='out'/></method>"
    "</interface></node>";

// Keeps the call and answers it from a timer, after `ms`.
void wait_then_answer(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                      const gchar *, GVariant *parameters, GDBusMethodInvocation *invocation,
                      gpointer) {
  guint32 ms = 0;
  g_variant_get(parameters, "(u)", &ms);
  dbus_proxy_invocation_keep(invocation);
  g_timeout_add(ms, [](gpointer data) {
    g_dbus_method_invocation_return_value(G_DBUS_METHOD_INVOCATION(data),
                                          g_variant_new("(s)", "waited"));
    return G_SOURCE_REMOVE;
  }, invocation);
}

const GDBusInterfaceVTable kSlowVTable = {wait_then_answer, nullptr, nullptr, {nullptr}};

// Serials of our own for the slow calls (one per attempt), so that their
// replies can be counted.
constexpr guint32 kSlowCallSerial = 0x7ffff001;
constexpr int kAttempts = 3;

// Counts the replies (returns and errors) the host sends to the slow calls.
GDBusMessage *count_replies(GDBusConnection *, GDBusMessage *message, gboolean incoming,
                            gpointer counter) {
  GDBusMessageType type = g_dbus_message_get_message_type(message);
  const guint32 serial = g_dbus_message_get_reply_serial(message);
  if (!incoming && serial >= kSlowCallSerial && serial < kSlowCallSerial + kAttempts &&
      (type == G_DBUS_MESSAGE_TYPE_METHOD_RETURN || type == G_DBUS_MESSAGE_TYPE_ERROR))
    static_cast<std::atomic<int> *>(counter)->fetch_add(1);
  return message;
}

class KeptCallTest : public BusTest {};

TEST_F(KeptCallTest, AKeptCallIsAnsweredOnceByItsHandlerWhileOthersAreServed) {
  GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(kSlowXml, nullptr);
  ASSERT_NE(node, nullptr);
  guint registration = 0;
  loop_->run([&] {
    registration = dbus_proxy_object_reg(host_->connection(), kSlowPath,
                                                     node->interfaces[0], &kSlowVTable, nullptr,
                                                     nullptr, nullptr);
  });
  ASSERT_GT(registration, 0u);
  std::atomic<int> replies{0};
  guint filter = g_dbus_connection_add_filter(host_->connection(), count_replies, &replies, nullptr);

  // Gets on another object for `period`: their latencies in ms, sorted.
  auto time_gets = [&](std::chrono::milliseconds period) {
    std::vector<double> latencies_ms;
    for (Clock::time_point end = Clock::now() + period; Clock::now() < end;) {
      Clock::time_point begin = Clock::now();
      Variant value = get_property("/com/wqx/igd1/Info/Device", "com.wqx.igd1.DeviceInfo", "DevName");
      latencies_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
      EXPECT_TRUE(value);
    }
    std::sort(latencies_ms.begin(), latencies_ms.end());
    return latencies_ms;
  };
  auto p99 = [](const std::vector<double> &sorted) { return sorted.at(sorted.size() * 99 / 100); };

  // While the call waits, other calls are served at once: within 5 ms at the
  // 99th percentile, or (on a machine too busy for that even without a kept
  // call, measured just before and after) no slower than three times that
  // figure.  Other work on the machine can spoil one such measurement; a
  // host that holds its loop for the kept call spoils every one (its Gets
  // wait for the answer, 2 s), so the measurement is made up to three times.
  double waiting_p99 = 0, idle_p99 = 0;
  int attempts = 0;
  while (attempts < kAttempts && (attempts == 0 || waiting_p99 >= std::max(5.0, 3 * idle_p99))) {
    const std::vector<double> idle = time_gets(std::chrono::milliseconds(500));
    g_autoptr(GDBusMessage) message =
        g_dbus_message_new_method_call(host::kServiceName, kSlowPath, kSlowInterface, "Wait");
    g_dbus_message_set_body(message, g_variant_new("(u)", 2000u));
    g_dbus_message_set_serial(message, kSlowCallSerial + guint32(attempts++));
    Clock::time_point sent = Clock::now();
    Clock::duration answered_after{};
    GDBusMessage *reply = nullptr;
    std::thread caller([&] {
      reply = g_dbus_connection_send_message_with_reply_sync(
          client(), message, G_DBUS_SEND_MESSAGE_FLAGS_PRESERVE_SERIAL, 10000, nullptr, nullptr,
          nullptr);
      answered_after = Clock::now() - sent;
    });
    const std::vector<double> waiting = time_gets(std::chrono::milliseconds(1500));
    caller.join();
    const std::vector<double> idle_after = time_gets(std::chrono::milliseconds(500));
    ASSERT_GE(waiting.size(), 100u);
    waiting_p99 = p99(waiting);
    idle_p99 = std::max(p99(idle), p99(idle_after));

    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(g_dbus_message_get_message_type(reply), G_DBUS_MESSAGE_TYPE_METHOD_RETURN)
        << g_dbus_message_get_error_name(reply);
    EXPECT_EQ(printed(g_dbus_message_get_body(reply)), "('waited',)");
    EXPECT_GE(answered_after, std::chrono::milliseconds(1900));
    g_object_unref(reply);
  }
  RecordProperty("attempts", attempts);
  RecordProperty("get_p99_us_while_kept", int(waiting_p99 * 1000));
  RecordProperty("get_p99_us_idle", int(idle_p99 * 1000));
  EXPECT_LT(waiting_p99, std::max(5.0, 3 * idle_p99))
      << "in each of " << attempts << " attempts; the last p99 without a kept call " << idle_p99 << " ms";

  // A late second answer would have gone out by the time a later call is
  // answered.
  ASSERT_TRUE(get_property("/com/wqx/igd1/Info/Device", "com.wqx.igd1.DeviceInfo", "DevName"));
  EXPECT_EQ(replies.load(), attempts);

  g_dbus_connection_remove_filter(host_->connection(), filter);
  loop_->run([&] { dbus_proxy_object_unreg(host_->connection(), registration); });
  g_dbus_node_info_unref(node);
}

// ---- the record of registrations -----------------------------------------------

constexpr char kSharedPath[] = "/com/wqx/igd1/Test/Shared";
constexpr char kFirstXml[] =
    "<node><interface name='com.wqx.igd1.Test.First'>"
    "<property name='A' type='u' access='readwrite'/></interface></node>";
constexpr char kSecondXml[] =
    "<node><interface name='com.wqx.igd1.Test.Second'>"
    "<property name='A' type='u' access='readwrite'/></interface></node>";

// Each multi-write handler answers with its own tag, so that a test sees
// which registration a call reached.
gboolean refuse_as_first(GDBusConnection *, const gchar *, const gchar *, const gchar *, GVariant *,
                         GError **error, gpointer) {
  g_set_error_literal(error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "first");
  return FALSE;
}
gboolean refuse_as_second(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                          GVariant *, GError **error, gpointer) {
  g_set_error_literal(error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "second");
  return FALSE;
}
void no_method(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
               GVariant *, GDBusMethodInvocation *invocation, gpointer) {
  g_dbus_method_invocation_return_value(invocation, nullptr);
}
const GDBusInterfaceVTable kFirstVTable = {no_method, nullptr, nullptr,
                                           {igd1_set_multi_slot(refuse_as_first)}};
const GDBusInterfaceVTable kSecondVTable = {no_method, nullptr, nullptr,
                                            {igd1_set_multi_slot(refuse_as_second)}};

class RegistryTest : public BusTest {
 protected:
  // What SetMulti of `interface` on the shared path answers: the handler's
  // tag, or the error's name when no handler was reached.
  std::string set_multi(const char *interface) {
    g_autoptr(GError) error = nullptr;
    Variant reply = call(kSharedPath, kIgd1PropertiesInterface, kIgd1SetMultiMethod,
                         g_variant_new("(sa{sv})", interface, nullptr), &error);
    if (error == nullptr) return "answered";
    auto [name, message] = remote_error(error);
    return name == "org.freedesktop.DBus.Error.Failed" ? message : name;
  }
  bool registered() {
    bool found = false;
    loop_->run([&] { found = host::has_registration(host_->connection(), kSharedPath); });
    return found;
  }
  guint register_xml(const char *xml, const GDBusInterfaceVTable *vtable) {
    GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(xml, nullptr);
    guint id = 0;
    loop_->run([&] {
      id = dbus_proxy_object_reg(host_->connection(), kSharedPath, node->interfaces[0],
                                             vtable, nullptr, nullptr, nullptr);
    });
    g_dbus_node_info_unref(node);
    return id;
  }
  void unregister(guint id) {
    loop_->run([&] { dbus_proxy_object_unreg(host_->connection(), id); });
  }
};

// Two interfaces on one path: each multi-write reaches its own handler;
// taking one away leaves the other served, and the path's multi-write
// interface goes with the last one.
TEST_F(RegistryTest, InterfacesOnOnePathComeAndGoOneByOne) {
  EXPECT_FALSE(registered());
  guint first = register_xml(kFirstXml, &kFirstVTable);
  guint second = register_xml(kSecondXml, &kSecondVTable);
  ASSERT_GT(first, 0u);
  ASSERT_GT(second, 0u);
  EXPECT_TRUE(registered());
  EXPECT_EQ(set_multi("com.wqx.igd1.Test.First"), "first");
  EXPECT_EQ(set_multi("com.wqx.igd1.Test.Second"), "second");
  EXPECT_EQ(set_multi("com.wqx.igd1.Test.Third"), "org.freedesktop.DBus.Error.InvalidArgs");

  unregister(first);
  EXPECT_TRUE(registered());
  EXPECT_EQ(set_multi("com.wqx.igd1.Test.First"), "org.freedesktop.DBus.Error.InvalidArgs");
  EXPECT_EQ(set_multi("com.wqx.igd1.Test.Second"), "second");
  EXPECT_NE(introspect(kSharedPath).find(kIgd1PropertiesInterface), std::string::npos);

  unregister(second);
  EXPECT_FALSE(registered());
  EXPECT_EQ(introspect(kSharedPath).find(kIgd1PropertiesInterface), std::string::npos);
  EXPECT_NE(set_multi("com.wqx.igd1.Test.Second"), "second");

  // The same path registered again is served afresh.
  guint again = register_xml(kSecondXml, &kSecondVTable);
  ASSERT_GT(again, 0u);
  EXPECT_EQ(set_multi("com.wqx.igd1.Test.Second"), "second");
  unregister(again);
}

}  // namespace
}  // namespace igd1::test
