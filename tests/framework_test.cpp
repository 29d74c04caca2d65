// The root object, introspection loading and single-object registration.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "dbus_igd1.h"
#include "dbus_proxy_api.h"
#include "harness/bus_fixture.h"
#include "host.h"
#include "single_object.h"

namespace igd1::test {
namespace {

constexpr char kProbeXml[] = R"(<node name="/com/wqx/igd1/Test/Probe">
  <interface name="com.wqx.igd1.Probe">
    <property name="Answer" type="u" access="read"/>
  </interface>
</node>)";

// ---- dbus_proxy_readxml ---------------------------------------------------------

class ReadXmlTest : public testing::Test {
 protected:
  TempRoot root_;
};

TEST_F(ReadXmlTest, LoadsAGoodDocumentAndReportsItsFullPath) {
  write_text_file(root_.path("/etc/dbusxml/Probe.xml"), kProbeXml);
  testing::internal::CaptureStdout();
  GDBusNodeInfo *node = dbus_proxy_readxml("Probe.xml");
  std::string printed = testing::internal::GetCapturedStdout();
  ASSERT_NE(node, nullptr);
  EXPECT_STREQ(node->path, "/com/wqx/igd1/Test/Probe");
  ASSERT_NE(node->interfaces[0], nullptr);
  EXPECT_STREQ(node->interfaces[0]->name, "com.wqx.igd1.Probe");
  EXPECT_EQ(printed, root_.path("/etc/dbusxml/Probe.xml") + " loaded !\n");
  g_dbus_node_info_unref(node);
}

TEST_F(ReadXmlTest, MissingEmptyAndMalformedDocumentsGiveNull) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(dbus_proxy_readxml("Absent.xml"), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Get " + root_.path("/etc/dbusxml/Absent.xml") + " size failed \n ");

  // Empty and malformed texts are refused by the parser with a warning.
  write_text_file(root_.path("/etc/dbusxml/Empty.xml"), "");
  write_text_file(root_.path("/etc/dbusxml/Broken.xml"), "<node><interface name=");
  for (const char *file : {"Empty.xml", "Broken.xml"}) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(dbus_proxy_readxml(file), nullptr) << file;
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("loaded"), std::string::npos) << file;
  }
}

TEST_F(ReadXmlTest, UnreadableFileReportsTheOpenFailure) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads any file";
  write_text_file(root_.path("/etc/dbusxml/Locked.xml"), kProbeXml);
  chmod(root_.path("/etc/dbusxml/Locked.xml").c_str(), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(dbus_proxy_readxml("Locked.xml"), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "open file " + root_.path("/etc/dbusxml/Locked.xml") + " failed\n");
}

// ---- root type ------------------------------------------------------------------

TEST(RootTypeTest, IsAPlainGObjectRegisteredOnce) {
  GType type = com_wqx_igd1_object_get_type();
  EXPECT_EQ(type, com_wqx_igd1_object_get_type());
  EXPECT_STREQ(g_type_name(type), "ComWqxIgd1Object");
  EXPECT_EQ(g_type_parent(type), G_TYPE_OBJECT);
  GTypeQuery query;
  g_type_query(type, &query);
  EXPECT_EQ(query.class_size, sizeof(GObjectClass));
  EXPECT_EQ(query.instance_size, sizeof(GObject));
  GObject *object = G_OBJECT(g_object_new(type, nullptr));
  g_object_unref(object);
}

// ---- on the bus -----------------------------------------------------------------

class RootObjectTest : public BusTest {};

TEST_F(RootObjectTest, RootPathCarriesTheRootInterface) {
  std::string xml = introspect("/com/wqx/igd1");
  EXPECT_NE(xml.find("<interface name=\"com.wqx.igd1\">"), std::string::npos) << xml;
  // The parents of the root answer too, so that tools can walk down to it.
  EXPECT_NE(introspect("/com/wqx").find("<node name=\"igd1\"/>"), std::string::npos);
}

TEST_F(RootObjectTest, NameAcquisitionIsLogged) {
  std::string log;
  for (int i = 0; i < 100 && log.find("Acquired the name") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    log = read_text_file(root().path("/tmp/syslog.txt"));
  }
  EXPECT_THAT(log, testing::ContainsRegex(
                       "(^|\n)[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} \\[DBUS\\]\\[INFO\\]: "
                       "Acquired the name com\\.wqx\\.igd1\r\n"));
}

GVariant *probe_get(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                    const gchar *property, GError **, gpointer user_data) {
  if (g_strcmp0(property, "Answer") != 0) return nullptr;
  return g_variant_new_uint32(GPOINTER_TO_UINT(user_data));
}

const GDBusInterfaceVTable kProbeVTable = {nullptr, probe_get, nullptr, {nullptr}};
GDBusNodeInfo *probe_introspection_data = nullptr;
int probe_start_ups = 0;

class SingleObjectTest : public BusTest {
 protected:
  guint register_probe(const char *fixed_path) {
    SingleObjectRegistration registration{"Probe.xml", &probe_introspection_data,
                                          "probe_introspection_data", fixed_path, &kProbeVTable,
                                          nullptr, [] { ++probe_start_ups; }};
    guint id = 0;
    loop_->run([&] {
      id = register_single_object(registration, host_->connection(), GUINT_TO_POINTER(42),
                                  "probe_on_bus_acquired", 77);
    });
    return id;
  }
};

TEST_F(SingleObjectTest, RegistersAtTheXmlRootNodeAndHandsTheNodeToTheHost) {
  write_text_file(root().path("/etc/dbusxml/Probe.xml"), kProbeXml);
  probe_start_ups = 0;
  size_t nodes_before = host::node_infos().size();
  EXPECT_GT(register_probe(nullptr), 0u);
  EXPECT_EQ(probe_start_ups, 1);
  ASSERT_EQ(host::node_infos().size(), nodes_before + 1);
  EXPECT_EQ(host::node_infos().back(), probe_introspection_data);

  g_autoptr(GError) error = nullptr;
  Variant answer = get_property("/com/wqx/igd1/Test/Probe", "com.wqx.igd1.Probe", "Answer", &error);
  ASSERT_TRUE(answer) << error->message;
  EXPECT_EQ(g_variant_get_uint32(answer.get()), 42u);

  std::string log = read_text_file(root().path("/tmp/syslog.txt"));
  EXPECT_NE(log.find("[DBUS][INFO]: func [probe_on_bus_acquired], line [77]\r\n"), std::string::npos)
      << log;
}

TEST_F(SingleObjectTest, AFixedPathWinsOverTheDocument) {
  write_text_file(root().path("/etc/dbusxml/Probe.xml"), kProbeXml);
  EXPECT_GT(register_probe("/com/wqx/igd1/Config/Probe"), 0u);
  Variant answer = get_property("/com/wqx/igd1/Config/Probe", "com.wqx.igd1.Probe", "Answer");
  ASSERT_TRUE(answer);
  EXPECT_EQ(g_variant_get_uint32(answer.get()), 42u);
}

// The fatal paths stop before anything reaches the bus, so they run without
// one: the death-test child must not compete for the service name.
class SingleObjectDeathTest : public testing::Test {
 protected:
  void register_probe_offline() {
    SingleObjectRegistration registration{"Probe.xml", &probe_introspection_data,
                                          "probe_introspection_data", nullptr, &kProbeVTable};
    IGD1_REGISTER_SINGLE_OBJECT(registration, nullptr, nullptr);
  }
  TempRoot root_;
};

TEST_F(SingleObjectDeathTest, MissingDocumentIsFatalAndNamesTheGlobal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(register_probe_offline(), "probe_introspection_data != NULL");
}

TEST_F(SingleObjectDeathTest, RootNodeWithoutANameIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  write_text_file(root_.path("/etc/dbusxml/Probe.xml"),
                  "<node><interface name=\"com.wqx.igd1.Probe\"/></node>");
  EXPECT_DEATH(register_probe_offline(), "registration_id > 0");
}

}  // namespace
}  // namespace igd1::test
