// The root object, introspection loading and single-object registration.

#include <sys/stat.h>

#include "dbus_igd1.h"
#include "dbus_proxy_api.h"
#include "harness/bus_fixture.h"
#include "single_object.h"

namespace igd1::test {
namespace {

constexpr char kProbeXml[] = R"(<node name="/com/wqx/igd1/Test/Probe">
  <interface name="com.wqx.igd1.Probe">
    <property name="Answer" type="u" access="read"/>
  </interface>
</node>)";

// ---- dbus_proxy_readxml ---------------------------------------------------------

TEST(ReadXmlTest, LoadsAGoodDocumentAndReportsEachFailure) {
  TempRoot root;
  const std::string dir = root.path("/etc/dbusxml/");
  write_text_file(dir + "Probe.xml", kProbeXml);
  write_text_file(dir + "Empty.xml", "");
  write_text_file(dir + "Broken.xml", "<node><interface name=");
  write_text_file(dir + "Locked.xml", kProbeXml);
  chmod((dir + "Locked.xml").c_str(), 0);
  const struct { const char *file; std::string printed; } cases[] = {
      {"Probe.xml", dir + "Probe.xml loaded !\n"},
      {"Absent.xml", "Get " + dir + "Absent.xml size failed \n "},
      {"Empty.xml", ""},  // refused by the parser, with a warning
      {"Broken.xml", ""},
      {"Locked.xml", geteuid() == 0 ? dir + "Locked.xml loaded !\n"  // root reads any file
                                    : "open file " + dir + "Locked.xml failed\n"},
  };
  for (const auto &c : cases) {
    testing::internal::CaptureStdout();
    GDBusNodeInfo *node = dbus_proxy_readxml(c.file);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
    ASSERT_EQ(node != nullptr, c.printed.ends_with("loaded !\n")) << c.file;
    if (node == nullptr) continue;
    EXPECT_STREQ(node->path, "/com/wqx/igd1/Test/Probe");
    EXPECT_STREQ(node->interfaces[0]->name, "com.wqx.igd1.Probe");
    g_dbus_node_info_unref(node);
  }
}

// ---- root type ------------------------------------------------------------------

TEST(RootTypeTest, IsAPlainGObject) {
  GType type = com_wqx_igd1_object_get_type();
  EXPECT_STREQ(g_type_name(type), "ComWqxIgd1Object");
  EXPECT_EQ(g_type_parent(type), G_TYPE_OBJECT);
  GTypeQuery query;
  g_type_query(type, &query);
  EXPECT_EQ(query.class_size, sizeof(GObjectClass));
  EXPECT_EQ(query.instance_size, sizeof(GObject));
  g_object_unref(g_object_new(type, nullptr));
}

// ---- on the bus -----------------------------------------------------------------

using RootObjectTest = BusTest;

TEST_F(RootObjectTest, RootPathCarriesTheRootInterface) {
  EXPECT_THAT(introspect("/com/wqx/igd1"), HasSubstr("<interface name=\"com.wqx.igd1\">"));
  // The parents of the root answer too, so that tools can walk down to it.
  EXPECT_THAT(introspect("/com/wqx"), HasSubstr("<node name=\"igd1\"/>"));
}

// Answers its one property with the user data of the registration.
GVariant *probe_get(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
                    GError **, gpointer user_data) {
  return g_variant_new_uint32(GPOINTER_TO_UINT(user_data));
}

const GDBusInterfaceVTable kProbeVTable = {nullptr, probe_get, nullptr, {nullptr}};
GDBusNodeInfo *probe_introspection_data = nullptr;
int probe_start_ups = 0;
// The probe's table: no rows of its own; its start hook counts the start-up work.
constexpr SingleObject kProbeObject = {
    .path = nullptr,
    .xml_file = "Probe.xml",
    .properties = {},
    .start = [](StartStep step, GDBusConnection *, const gchar *, gpointer) {
      if (step == StartStep::Registered) ++probe_start_ups;
      return true;
    }};

class SingleObjectTest : public BusTest {
 protected:
  guint register_probe(const char *fixed_path) {
    SingleObjectRegistration registration{.xml_file = "Probe.xml",
                                          .introspection_data = &probe_introspection_data,
                                          .introspection_name = "probe_introspection_data",
                                          .object_path = fixed_path,
                                          .vtable = &kProbeVTable,
                                          .object = &kProbeObject};
    guint id = 0;
    loop_->run([&] {
      id = register_single_object(registration, host_->connection(), GUINT_TO_POINTER(42),
                                  "probe_on_bus_acquired", 77);
    });
    return id;
  }
};

// Registered at the document's root node unless the module fixes a path.
TEST_F(SingleObjectTest, RegistersAtTheXmlRootNodeOrTheFixedPathAndHandsTheNodeToTheHost) {
  write_text_file(root().path("/etc/dbusxml/Probe.xml"), kProbeXml);
  probe_start_ups = 0;
  size_t nodes_before = host::node_infos().size();
  EXPECT_GT(register_probe(nullptr), 0u);
  EXPECT_EQ(probe_start_ups, 1);
  ASSERT_EQ(host::node_infos().size(), nodes_before + 1);
  EXPECT_EQ(host::node_infos().back(), probe_introspection_data);
  EXPECT_GT(register_probe("/com/wqx/igd1/Config/Probe"), 0u);

  for (const char *path : {"/com/wqx/igd1/Test/Probe", "/com/wqx/igd1/Config/Probe"}) {
    Variant answer = get_property(path, "com.wqx.igd1.Probe", "Answer");
    EXPECT_EQ(printed(answer.get()), "uint32 42") << path;
  }
  EXPECT_THAT(read_text_file(root().path("/tmp/syslog.txt")),
              HasSubstr("[DBUS][INFO]: func [probe_on_bus_acquired], line [77]\r\n"));
}

// The fatal paths stop before anything reaches the bus, so they run without
// one: the death-test child must not compete for the service name.
class SingleObjectDeathTest : public testing::Test {
 protected:
  void register_probe_offline() {
    SingleObjectRegistration registration{"Probe.xml", &probe_introspection_data,
                                          "probe_introspection_data", nullptr, &kProbeVTable};
    igd1::register_single_object(registration, nullptr, nullptr);
  }
  TempRoot root_;
};

TEST_F(SingleObjectDeathTest, MissingDocumentOrUnnamedRootNodeIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(register_probe_offline(), "probe_introspection_data != NULL");
  write_text_file(root_.path("/etc/dbusxml/Probe.xml"),
                  "<node><interface name=\"com.wqx.igd1.Probe\"/></node>");
  EXPECT_DEATH(register_probe_offline(), "registration_id > 0");
}

// A read buffer larger than the engine's is a fault of the table, found
// whether the property or the object's default asks for it; a property read
// by a hook of its own needs none.  A registration with such a table stops
// the start, naming the property.
GVariant *read_by_hook(const igd1::CallContext &, const igd1::SingleObject &,
                       const igd1::Property &) {
  return g_variant_new_string("");
}
constexpr Property kSizedProperties[] = {
    {.name = "Own", .index = 0, .buffer = kMaxReadBuffer},
    {.name = "Default", .index = 1},
    {.name = "Hooked", .index = 2, .buffer = 4 * kMaxReadBuffer, .read = read_by_hook},
};
constexpr Property kWideProperties[] = {
    {.name = "Narrow", .index = 0, .buffer = 8},
    {.name = "Wide", .index = 1, .buffer = kMaxReadBuffer + 1},
};
constexpr SingleObject kSized = {.path = "/p", .xml_file = nullptr, .properties = kSizedProperties};
constexpr SingleObject kWideDefault = {.path = "/p", .xml_file = nullptr,
                                       .properties = kSizedProperties,
                                       .read_buffer = kMaxReadBuffer + 1};
constexpr SingleObject kWide = {.path = "/p", .xml_file = nullptr, .properties = kWideProperties};

TEST_F(SingleObjectDeathTest, ReadBuffersLargerThanTheEnginesAreFoundAndStopTheStart) {
  EXPECT_EQ(oversized_read(kSized), nullptr);
  EXPECT_EQ(oversized_read(kWideDefault), &kSizedProperties[1]);
  EXPECT_EQ(oversized_read(kWide), &kWideProperties[1]);

  GTEST_FLAG_SET(death_test_style, "threadsafe");
  write_text_file(root_.path("/etc/dbusxml/Probe.xml"),
                  "<node><interface name=\"com.wqx.igd1.Probe\"/></node>");
  SingleObjectRegistration registration{"Probe.xml", &probe_introspection_data,
                                        "probe_introspection_data", nullptr, &kProbeVTable};
  registration.object = &kWide;
  EXPECT_DEATH(register_single_object(registration, nullptr, nullptr), "read buffer of Wide");
}

}  // namespace
}  // namespace igd1::test
