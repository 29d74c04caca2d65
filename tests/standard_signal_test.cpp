// A change goes out as com.wqx.igd1.Properties.PropertiesChanged and, unless
// the host is told not to, also as org.freedesktop.DBus.Properties.PropertiesChanged
// with the same body, so that generic client caches follow the values.

#include <mutex>

#include "dbus_proxy_api.h"
#include "harness/bus_fixture.h"

namespace igd1::test {
namespace {

constexpr char kPath[] = "/com/wqx/igd1/Config/DHCPServer";
constexpr char kInterface[] = "com.wqx.igd1.DHCPServer";
constexpr char kStandard[] = "org.freedesktop.DBus.Properties";

class NoStandardSignalTest : public BusTest {
  void configure(host::Options &options) override { options.standard_signals = false; }
};

// Without standard signals a write is announced once, on the API's own interface.
TEST_F(NoStandardSignalTest, AWriteIsAnnouncedByOneSignalOnly) {
  SignalWatcher any(client(), nullptr, "PropertiesChanged", kPath);
  ASSERT_TRUE(set_property(kPath, kInterface, "LeaseTime", g_variant_new_uint32(86400)));
  EXPECT_EQ(any.next(), change_body(kInterface, "{'LeaseTime': <uint32 86400>}"));
  // A round trip after the write: its signals have all arrived by its answer.
  EXPECT_EQ(printed(get_property(kPath, kInterface, "LeaseTime").get()), "uint32 86400");
  EXPECT_EQ(any.wait(std::chrono::milliseconds(200)).body.get(), nullptr);
}

// The default.
using StandardSignalTest = BusTest;

TEST_F(StandardSignalTest, ObjectWritesAndBuiltSignalsGoOutOnBothInterfaces) {
  SignalWatcher own(client(), DBUSPROXY_PROPERTIES_INTERFACE, "PropertiesChanged", kPath);
  SignalWatcher standard(client(), kStandard, "PropertiesChanged", kPath);
  ASSERT_TRUE(set_property(kPath, kInterface, "LeaseTime", g_variant_new_uint32(3600)));
  const std::string written = "('com.wqx.igd1.DHCPServer', {'LeaseTime': <uint32 3600>}, @as [])";
  EXPECT_EQ(printed(own.wait().body.get()), written);
  EXPECT_EQ(printed(standard.wait().body.get()), written);

  // The framework's builders, used by the modules and the notification
  // service, take the same path.
  loop_->run([&] {
    const uint32_t value = 7;
    EXPECT_EQ(dbusproxy_emit_properties_changed_signal(kPath, "com.wqx.igd1.Test", "Seven",
                                                       DBUSPROXY_TYPE_UINT32, &value), 1);
  });
  const std::string built = "('com.wqx.igd1.Test', {'Seven': <uint32 7>}, @as [])";
  EXPECT_EQ(printed(own.wait().body.get()), built);
  EXPECT_EQ(printed(standard.wait().body.get()), built);
  EXPECT_EQ(standard.pending(), 0u);
}

// A GDBusProxy caches the properties and updates them only from the standard
// signal.
TEST_F(StandardSignalTest, AProxyCacheFollowsAWrite) {
  GMainContext *context = g_main_context_new();
  g_main_context_push_thread_default(context);
  g_autoptr(GError) error = nullptr;
  GDBusProxy *proxy = g_dbus_proxy_new_sync(client(), G_DBUS_PROXY_FLAGS_NONE, nullptr,
                                            host::kServiceName, kPath, kInterface, nullptr, &error);
  g_main_context_pop_thread_default(context);
  ASSERT_NE(proxy, nullptr) << error->message;
  Variant before(g_dbus_proxy_get_cached_property(proxy, "MinAddress"));
  EXPECT_EQ(printed(before.get()), "'192.168.1.2'");

  ASSERT_TRUE(set_property(kPath, kInterface, "MinAddress", g_variant_new_string("192.168.1.40")));
  std::string cached;
  eventually([&] {
    while (g_main_context_iteration(context, FALSE)) continue;
    Variant now(g_dbus_proxy_get_cached_property(proxy, "MinAddress"));
    return (cached = printed(now.get())) == "'192.168.1.40'";
  });
  EXPECT_EQ(cached, "'192.168.1.40'");
  g_object_unref(proxy);
  while (g_main_context_iteration(context, FALSE)) continue;
  g_main_context_unref(context);
}

// The API's own signal of a write is sent before its reply, the standard
// copy after the reply and before the loop handles another call: a client
// that writes and then reads has both before the read's answer.  The client
// records the order of what comes back over five such rounds.
TEST_F(StandardSignalTest, OwnSignalPrecedesTheReplyAndTheStandardCopyTheNextAnswer) {
  struct Arrivals {
    std::mutex mutex;
    std::vector<std::string> seen;
  } arrivals;
  auto record = [](GDBusConnection *, GDBusMessage *message, gboolean incoming,
                   gpointer data) -> GDBusMessage * {
    auto *a = static_cast<Arrivals *>(data);
    std::string what;
    if (!incoming) return message;
    switch (g_dbus_message_get_message_type(message)) {
      case G_DBUS_MESSAGE_TYPE_METHOD_RETURN:
        what = "reply " + std::to_string(g_dbus_message_get_reply_serial(message));
        break;
      case G_DBUS_MESSAGE_TYPE_SIGNAL:
        if (g_strcmp0(g_dbus_message_get_path(message), kPath) != 0) return message;
        what = std::string("signal ") + g_dbus_message_get_interface(message) + " " +
               printed(g_dbus_message_get_body(message));
        break;
      default:
        return message;
    }
    std::lock_guard lock(a->mutex);
    a->seen.push_back(what);
    return message;
  };
  SignalWatcher own(client(), DBUSPROXY_PROPERTIES_INTERFACE, "PropertiesChanged", kPath);
  SignalWatcher standard(client(), kStandard, "PropertiesChanged", kPath);
  const guint filter = g_dbus_connection_add_filter(client(), record, &arrivals, nullptr);

  // Sends one call and waits for its answer; the answer's place in the record.
  auto round_trip = [&](const char *method, GVariant *body) {
    g_autoptr(GDBusMessage) call = g_dbus_message_new_method_call(
        host::kServiceName, kPath, "org.freedesktop.DBus.Properties", method);
    g_dbus_message_set_body(call, body);
    g_autoptr(GError) error = nullptr;
    g_autoptr(GDBusMessage) reply = g_dbus_connection_send_message_with_reply_sync(
        client(), call, G_DBUS_SEND_MESSAGE_FLAGS_NONE, 3000, nullptr, nullptr, &error);
    EXPECT_NE(reply, nullptr) << error->message;
    return "reply " + std::to_string(g_dbus_message_get_serial(call));
  };
  std::vector<std::string> expected;
  for (guint32 lease : {60, 3600, 86400, 604800, 60}) {
    const std::string body = "('com.wqx.igd1.DHCPServer', {'LeaseTime': <uint32 " +
                             std::to_string(lease) + ">}, @as [])";
    expected.push_back(std::string("signal ") + DBUSPROXY_PROPERTIES_INTERFACE + " " + body);
    expected.push_back(round_trip("Set", g_variant_new("(ssv)", kInterface, "LeaseTime",
                                                       g_variant_new_uint32(lease))));
    expected.push_back(std::string("signal ") + kStandard + " " + body);
    expected.push_back(round_trip("Get", g_variant_new("(ss)", kInterface, "LeaseTime")));
  }
  for (int i = 0; i < 5; ++i) {
    ASSERT_NE(own.wait().body.get(), nullptr);
    ASSERT_NE(standard.wait().body.get(), nullptr);
  }
  g_dbus_connection_remove_filter(client(), filter);
  std::lock_guard lock(arrivals.mutex);
  EXPECT_THAT(arrivals.seen, testing::ElementsAreArray(expected));
}

}  // namespace
}  // namespace igd1::test
