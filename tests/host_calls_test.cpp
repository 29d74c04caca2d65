// Calls that a handler answers after it returned: the host leaves them to
// the handler, answers them exactly once, and keeps serving meanwhile.

#include <atomic>

#include "dbus_vtable.h"
#include "harness/bus_fixture.h"
#include "host_api.h"

namespace igd1::test {
namespace {

constexpr char kSlowPath[] = "/com/wqx/igd1/Test/Slow";
constexpr char kSlowInterface[] = "com.wqx.igd1.Test.Slow";
constexpr char kSlowXml[] =
    "<node><interface name='com.wqx.igd1.Test.Slow'>"
    "<method name='Wait'><arg name='said' type='s' direction='out'/></method>"
    "</interface></node>";

// The call the handler kept, answered when the test says (loop thread only).
GDBusMethodInvocation *g_kept = nullptr;

void keep_call(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
               GVariant *, GDBusMethodInvocation *invocation, gpointer) {
  dbus_proxy_invocation_keep(invocation);
  g_kept = invocation;
}

const GDBusInterfaceVTable kSlowVTable = {keep_call, nullptr, nullptr, {nullptr}};

// A serial of our own for the kept call, so that its replies can be counted.
constexpr guint32 kSlowCallSerial = 0x7ffff001;

// Counts the replies (returns and errors) the host sends to the kept call.
GDBusMessage *count_replies(GDBusConnection *, GDBusMessage *message, gboolean incoming,
                            gpointer counter) {
  GDBusMessageType type = g_dbus_message_get_message_type(message);
  if (!incoming && g_dbus_message_get_reply_serial(message) == kSlowCallSerial &&
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
    registration = dbus_proxy_object_reg(host_->connection(), kSlowPath, node->interfaces[0],
                                         &kSlowVTable, nullptr, nullptr, nullptr);
  });
  ASSERT_GT(registration, 0u);
  std::atomic<int> replies{0};
  guint filter = g_dbus_connection_add_filter(host_->connection(), count_replies, &replies, nullptr);

  g_autoptr(GDBusMessage) message =
      g_dbus_message_new_method_call(host::kServiceName, kSlowPath, kSlowInterface, "Wait");
  g_dbus_message_set_serial(message, kSlowCallSerial);
  GDBusMessage *reply = nullptr;
  std::thread caller([&] {
    reply = g_dbus_connection_send_message_with_reply_sync(
        client(), message, G_DBUS_SEND_MESSAGE_FLAGS_PRESERVE_SERIAL, int(kPatience.count()), nullptr,
        nullptr, nullptr);
  });
  EXPECT_TRUE(eventually([&] {
    bool kept = false;
    loop_->run([&] { kept = g_kept != nullptr; });
    return kept;
  }));
  // Other calls are served while the call is kept, and the host does not
  // answer it for the handler.
  for (int i = 0; i < 20; ++i)
    EXPECT_TRUE(get_property("/com/wqx/igd1/Info/Device", "com.wqx.igd1.DeviceInfo", "DevName"));
  EXPECT_EQ(replies.load(), 0);
  loop_->run([] {
    if (g_kept != nullptr) g_dbus_method_invocation_return_value(g_kept, g_variant_new("(s)", "waited"));
    g_kept = nullptr;
  });
  caller.join();
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(g_dbus_message_get_message_type(reply), G_DBUS_MESSAGE_TYPE_METHOD_RETURN)
      << g_dbus_message_get_error_name(reply);
  EXPECT_EQ(printed(g_dbus_message_get_body(reply)), "('waited',)");
  g_object_unref(reply);

  // A late second answer would have gone out by the time a later call is
  // answered.
  ASSERT_TRUE(get_property("/com/wqx/igd1/Info/Device", "com.wqx.igd1.DeviceInfo", "DevName"));
  EXPECT_EQ(replies.load(), 1);

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
