// Every change signal also goes out as the standard
// org.freedesktop.DBus.Properties.PropertiesChanged with the same body, so that
// standard client caches follow the values.
#include <gtest/gtest.h>

#include "dbus_proxy_api.h"
#include "harness/bus_fixture.h"

namespace igd1::test {
namespace {

constexpr char kPath[] = "/com/wqx/igd1/Config/DHCPServer";
constexpr char kInterface[] = "com.wqx.igd1.DHCPServer";
constexpr char kStandard[] = "org.freedesktop.DBus.Properties";

class StandardSignalTest : public BusTest {};

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
  for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
       cached != "'192.168.1.40'" && std::chrono::steady_clock::now() < deadline;) {
    if (!g_main_context_iteration(context, FALSE))
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Variant now(g_dbus_proxy_get_cached_property(proxy, "MinAddress"));
    cached = printed(now.get());
  }
  EXPECT_EQ(cached, "'192.168.1.40'");
  g_object_unref(proxy);
  while (g_main_context_iteration(context, FALSE)) continue;
  g_main_context_unref(context);
}

}  // namespace
}  // namespace igd1::test
