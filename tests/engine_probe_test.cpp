// Small test-only collections that prove the engine's kinds and publishing:
// self-numbered and refusing AddObject, children with several (and
// conditional) interfaces, children outside their manager's path, and the
// in-process listing against GetManagedObjects.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "collection.h"
#include "harness/bus_fixture.h"
#include "memory_table.h"
#include "mib_store.h"

IGD1_DECLARE_ROW_COLLECTION(EngineSelf, EngineSelf_handle_set_multi_properties);
IGD1_DECLARE_ROW_COLLECTION(EngineRefuse, EngineRefuse_handle_set_multi_properties);
IGD1_DECLARE_ROW_COLLECTION(EngineOutside, EngineOutside_handle_set_multi_properties);
IGD1_DECLARE_ROW_COLLECTION(EngineNest, EngineNest_handle_set_multi_properties);

namespace {

using igd1::test::MemoryTable;

constexpr char kItemXml[] =
    "<node>"
    "  <interface name='com.wqx.igd1.Test.EngineItem'>"
    "    <property name='Name' type='s' access='readwrite'/>"
    "  </interface>"
    "  <interface name='com.wqx.igd1.Test.EngineExtra'>"
    "    <property name='Weight' type='q' access='read'/>"
    "  </interface>"
    "</node>";

constexpr igd1::RowProperty kProperties[] = {
    {.name = "Name", .field = igd1::Field::Text, .offset = 1, .size = 16,
     .write_log = "set Name value:%s "},
    {.name = "Weight", .type = "q", .field = igd1::Field::Number, .offset = 20, .size = 2},
};

// Only odd rows carry the second interface.
bool odd_rows_weigh(uint32_t instance, const char *interface_name) {
  return std::strcmp(interface_name, "com.wqx.igd1.Test.EngineExtra") != 0 || instance % 2 == 1;
}

using SelfTable = MemoryTable<1>;
using RefuseTable = MemoryTable<2>;
using OutsideTable = MemoryTable<3>;
using NestTable = MemoryTable<4>;

// The manager of EngineSelf carries an interface of its own.
char g_label[32] = "";
int summary_get(int index, void *buffer) {
  if (index == 0) {
    const uint32_t limit = 3;
    std::memcpy(buffer, &limit, sizeof limit);
  } else {
    std::memcpy(buffer, g_label, sizeof g_label);
  }
  return 1;
}
int summary_set(int index, void *value) {
  if (index != 1 || std::strlen(static_cast<const char *>(value)) >= sizeof g_label) return 0;
  std::strcpy(g_label, static_cast<const char *>(value));
  return 1;
}
constexpr igd1::Property kSummaryProperties[] = {
    {.name = "Limit", .type = "u", .index = 0, .raw = igd1::Raw::U32},
    {.name = "Label", .index = 1, .write = igd1::store_value, .stored = igd1::Stored::Text},
};
constexpr igd1::SingleObject kSummary = {
    .path = "/com/wqx/igd1/Test/Engine/Self",
    .xml_file = nullptr,
    .properties = kSummaryProperties,
    .get = summary_get,
    .set = summary_set,
    .multi_failure = igd1::MultiFailure::Stop,
};

constexpr igd1::RowModule kSelf = {
    .manager_path = "/com/wqx/igd1/Test/Engine/Self",
    .properties = kProperties,
    .table = SelfTable::table(),
    .texts = {.table_full = "EngineSelf table is full"},
    .commit = igd1::Commit::BackupUpdate,
    .announce = igd1::Announce::Always,
    .add = igd1::AddKind::Self,
    .max_instance = 3,
    .builtin_xml = kItemXml,
    .carries = odd_rows_weigh,
    .manager_object = &kSummary,
    .manager_xml = "<node><interface name='com.wqx.igd1.Test.EngineSummary'>"
                   "<property name='Limit' type='u' access='read'/>"
                   "<property name='Label' type='s' access='readwrite'/></interface></node>",
};

constexpr igd1::RowModule kRefuse = {
    .manager_path = "/com/wqx/igd1/Test/Engine/Refuse",
    .properties = kProperties,
    .table = RefuseTable::table(),
    .texts = {.add_failed = "not support to add object"},
    .add = igd1::AddKind::Refuse,
    .builtin_xml = kItemXml,
    .refuse_error = "com.wqx.igd1.Test.Error",
};

constexpr igd1::RowModule kOutside = {
    .manager_path = "/com/wqx/igd1/Test/Engine/Config/Outside",
    .properties = kProperties,
    .table = OutsideTable::table(),
    .commit = igd1::Commit::BackupUpdate,
    .add = igd1::AddKind::Self,
    .builtin_xml = kItemXml,
    .child_prefix = "/com/wqx/igd1/Test/Engine/Outside",
};

// Managers nested under the rows of EngineNest, at "<row>/Type"; their
// children carry the two numbers of their path.
constexpr char kNestManager[] = "/com/wqx/igd1/Test/Engine/Nest";

GVariant *type_key(GDBusConnection *, const gchar *, const gchar *path, const gchar *,
                   const gchar *, GError **, gpointer) {
  return g_variant_new_uint32(igd1::nested_child_key(kNestManager, "Type", path));
}
const GDBusInterfaceVTable kTypeVTable = {nullptr, type_key, nullptr, {nullptr}};
GDBusNodeInfo *g_type_introspection = nullptr;
igd1::CollectionState g_type_state;
const igd1::Collection kTypes = {
    .noun = "EngineType",
    .manager_path = kNestManager,
    .child_format = "%u",
    .type_name = "ComWqxIgd1EngineTypeInterface",
    .xml_file = nullptr,
    .builtin_xml = "<node><interface name='com.wqx.igd1.Test.EngineType'>"
                   "<property name='Key' type='u' access='read'/></interface></node>",
    .introspection_data = &g_type_introspection,
    .introspection_name = "g_type_introspection",
    .vtable = &kTypeVTable,
    .state = &g_type_state,
};

void add_type(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *method,
              GVariant *, GDBusMethodInvocation *invocation, gpointer user_data) {
  if (g_strcmp0(method, "AddObject") != 0) return;
  auto *manager = static_cast<GDBusObjectManagerServer *>(user_data);
  GDBusObjectManager *as_manager = G_DBUS_OBJECT_MANAGER(manager);
  GList *objects = g_dbus_object_manager_get_objects(as_manager);
  g_autofree gchar *path = g_strdup_printf("%s/%u", g_dbus_object_manager_get_object_path(as_manager),
                                           g_list_length(objects) + 1);
  g_list_free_full(objects, g_object_unref);
  GDBusObjectSkeleton *object = g_dbus_object_skeleton_new(path);
  auto *skeleton = static_cast<GDBusInterfaceSkeleton *>(
      g_object_new(igd1::collection_interface_type(kTypes), nullptr));
  g_dbus_object_skeleton_add_interface(object, skeleton);
  g_dbus_object_manager_server_export(manager, object);
  g_object_unref(skeleton);
  g_object_unref(object);
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", path));
}
const GDBusInterfaceVTable kTypeManagerVTable = {add_type, nullptr, nullptr, {nullptr}};
igd1::NestedManagers g_nested = {.suffix = "Type", .manager_vtable = &kTypeManagerVTable};

constexpr igd1::RowModule kNest = {
    .manager_path = kNestManager,
    .properties = kProperties,
    .table = NestTable::table(),
    .add = igd1::AddKind::Self,
    .builtin_xml = kItemXml,
    .carries = odd_rows_weigh,
    .nested = &g_nested,
};

}  // namespace

IGD1_ROW_COLLECTION(EngineNest, EngineNest_handle_set_multi_properties, kNest)
IGD1_ROW_COLLECTION(EngineSelf, EngineSelf_handle_set_multi_properties, kSelf)
IGD1_ROW_COLLECTION(EngineRefuse, EngineRefuse_handle_set_multi_properties, kRefuse)
IGD1_ROW_COLLECTION(EngineOutside, EngineOutside_handle_set_multi_properties, kOutside)

namespace igd1::test {
namespace {

using testing::HasSubstr;
using testing::Not;
using Error = std::pair<std::string, std::string>;

constexpr char kManagerInterface[] = "com.wqx.igd1.ObjectManager";
constexpr char kFreedesktopManager[] = "org.freedesktop.DBus.ObjectManager";
constexpr char kManagerError[] = "com.wqx.igd1.ObjectManager.Error";

class EngineProbeTest : public BusTest {
 protected:
  void SetUp() override {
    SelfTable::clear();
    RefuseTable::clear();
    OutsideTable::clear();
    NestTable::clear();
    BusTest::SetUp();
    loop_->run([&] {
      collection_load_interface(kTypes);
      EngineNest_on_bus_acquired(host_->connection(), nullptr, nullptr);
      EngineSelf_on_bus_acquired(host_->connection(), nullptr, nullptr);
      EngineRefuse_on_bus_acquired(host_->connection(), nullptr, nullptr);
      EngineOutside_on_bus_acquired(host_->connection(), nullptr, nullptr);
    });
  }

  // AddObject: the child path, or the error.
  std::pair<std::string, Error> add(const char *manager) {
    g_autoptr(GError) error = nullptr;
    Variant reply = call(manager, kManagerInterface, "AddObject", nullptr, &error);
    if (reply == nullptr) return {"", remote_error(error)};
    const gchar *path = nullptr;
    g_variant_get(reply.get(), "(&o)", &path);
    return {path, Error()};
  }
  Error remove(const char *manager, const std::string &path) {
    g_autoptr(GError) error = nullptr;
    Variant reply = call(manager, kManagerInterface, "DeleteObject",
                         g_variant_new("(o)", path.c_str()), &error);
    return reply != nullptr ? Error() : remote_error(error);
  }
  std::string managed(const char *manager) {
    g_autoptr(GError) error = nullptr;
    Variant reply = call(manager, kFreedesktopManager, "GetManagedObjects", nullptr, &error);
    return reply != nullptr ? printed(reply.get()) : "error: " + remote_error(error).second;
  }
};

TEST_F(EngineProbeTest, SelfKindTakesTheLowestFreeNumberUpToItsMaximum) {
  const char *manager = "/com/wqx/igd1/Test/Engine/Self";
  const std::string base = std::string(manager) + "/";
  for (const char *number : {"1", "2", "3"}) EXPECT_EQ(add(manager).first, base + number);
  EXPECT_EQ(add(manager).second, Error(kManagerError, "EngineSelf table is full"));
  EXPECT_EQ(SelfTable::rows.size(), 3u);

  SignalWatcher removed(client(), kFreedesktopManager, "InterfacesRemoved", manager);
  ASSERT_EQ(remove(manager, base + "2"), Error());
  EXPECT_THAT(printed(removed.wait().body.get()), HasSubstr(base + "2"));
  EXPECT_EQ(add(manager).first, base + "2");

  // Odd rows carry the second interface, even ones do not.
  EXPECT_THAT(introspect((base + "1").c_str()), HasSubstr("com.wqx.igd1.Test.EngineExtra"));
  EXPECT_THAT(introspect((base + "2").c_str()), Not(HasSubstr("com.wqx.igd1.Test.EngineExtra")));
  EXPECT_THAT(introspect((base + "2").c_str()), HasSubstr("com.wqx.igd1.Test.EngineItem"));
  ASSERT_TRUE(set_property((base + "3").c_str(), "com.wqx.igd1.Test.EngineItem", "Name",
                           g_variant_new_string("third")));
  const std::string listing = managed(manager);
  EXPECT_THAT(listing, HasSubstr("'com.wqx.igd1.Test.EngineItem': {'Name': <'third'>}"));
  EXPECT_THAT(listing, HasSubstr("'" + base + "3': {'com.wqx.igd1.Test.EngineExtra': {'Weight': "
                                 "<uint16 0>}"));
  EXPECT_THAT(listing, HasSubstr("'" + base + "2': {'com.wqx.igd1.Test.EngineItem': {'Name': <''>}}"));
}

TEST_F(EngineProbeTest, AManagerPathCarriesAnInterfaceOfItsOwn) {
  const char *manager = "/com/wqx/igd1/Test/Engine/Self";
  const char *summary = "com.wqx.igd1.Test.EngineSummary";
  g_label[0] = '\0';
  Variant limit = get_property(manager, summary, "Limit");
  ASSERT_NE(limit, nullptr);
  EXPECT_EQ(g_variant_get_uint32(limit.get()), 3u);
  ASSERT_TRUE(set_property(manager, summary, "Label", g_variant_new_string("three at most")));
  EXPECT_STREQ(g_label, "three at most");
  g_autoptr(GError) error = nullptr;
  EXPECT_EQ(call(manager, "com.wqx.igd1.Properties", "SetMulti",
                 g_variant_new("(s@a{sv})", summary,
                               dictionary({{"Label", g_variant_new_string(std::string(40, 'x').c_str())}})),
                 &error),
            nullptr);
  EXPECT_EQ(remote_error(error), Error("org.freedesktop.DBus.Error.InvalidArgs", "set Label fail"));
  EXPECT_STREQ(g_label, "three at most");
  // The manager's own methods and listing are unchanged.
  EXPECT_EQ(add(manager).first, std::string(manager) + "/1");
  EXPECT_THAT(managed(manager), HasSubstr(std::string(manager) + "/1"));
  EXPECT_THAT(introspect(manager), HasSubstr(summary));
}

TEST_F(EngineProbeTest, RefuseKindAnswersItsOwnErrorNameAndText) {
  EXPECT_EQ(add("/com/wqx/igd1/Test/Engine/Refuse").second,
            Error("com.wqx.igd1.Test.Error", "not support to add object"));
  EXPECT_TRUE(RefuseTable::rows.empty());
}

TEST_F(EngineProbeTest, ChildOutsideItsManagersPathIsServedListedAndRemoved) {
  const char *manager = "/com/wqx/igd1/Test/Engine/Config/Outside";
  SignalWatcher added(client(), kFreedesktopManager, "InterfacesAdded", manager);
  const std::string child = add(manager).first;
  ASSERT_EQ(child, "/com/wqx/igd1/Test/Engine/Outside/1");
  EXPECT_THAT(printed(added.wait().body.get()), HasSubstr(child));

  EXPECT_THAT(introspect(child.c_str()), HasSubstr("com.wqx.igd1.Test.EngineItem"));
  ASSERT_TRUE(set_property(child.c_str(), "com.wqx.igd1.Test.EngineItem", "Name",
                           g_variant_new_string("far")));
  Variant name = get_property(child.c_str(), "com.wqx.igd1.Test.EngineItem", "Name");
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(g_variant_get_string(name.get(), nullptr), "far");
  g_autoptr(GError) error = nullptr;
  ASSERT_NE(call(child.c_str(), "com.wqx.igd1.Properties", "SetMulti",
                 g_variant_new("(s@a{sv})", "com.wqx.igd1.Test.EngineItem",
                               dictionary({{"Name", g_variant_new_string("farther")}})),
                 &error),
            nullptr)
      << error->message;
  EXPECT_THAT(managed(manager),
              HasSubstr("'" + child + "': {'com.wqx.igd1.Test.EngineItem': {'Name': <'farther'>}"));
  EXPECT_EQ(remove(manager, "/com/wqx/igd1/Test/Engine/Config/Outside/1"),
            Error(kManagerError, "DeleteObject object path error"));

  SignalWatcher removed(client(), kFreedesktopManager, "InterfacesRemoved", manager);
  ASSERT_EQ(remove(manager, child), Error());
  EXPECT_THAT(printed(removed.wait().body.get()), HasSubstr(child));
  EXPECT_THAT(introspect(child.c_str()), Not(HasSubstr("com.wqx.igd1.Test.EngineItem")));
  EXPECT_EQ(get_property(child.c_str(), "com.wqx.igd1.Test.EngineItem", "Name"), nullptr);
  EXPECT_EQ(managed(manager), "(@a{oa{sa{sv}}} {},)");
}

// A manager that lives and dies with its row: created and removed many
// times, it leaves no node behind, and a call on its old path is refused.
TEST_F(EngineProbeTest, NestedManagersComeAndGoWithTheirRows) {
  const std::string row = std::string(kNestManager) + "/1";
  const std::string types = row + "/Type";
  for (int round = 0; round < 100; ++round) {
    ASSERT_EQ(add(kNestManager).first, row) << round;
    ASSERT_EQ(add(types.c_str()).first, types + "/1") << round;
    if (round == 0) {
      ASSERT_EQ(add(types.c_str()).first, types + "/2");
      Variant key = get_property((types + "/2").c_str(), "com.wqx.igd1.Test.EngineType", "Key");
      ASSERT_NE(key, nullptr);
      EXPECT_EQ(g_variant_get_uint32(key.get()), 1u | 2u << 8);
      EXPECT_THAT(introspect(row.c_str()), HasSubstr("<node name=\"Type\"/>"));
      EXPECT_THAT(managed(types.c_str()), HasSubstr(types + "/2"));
    }
    ASSERT_EQ(remove(kNestManager, row), Error()) << round;
  }
  EXPECT_THAT(introspect(kNestManager), Not(HasSubstr("<node name=\"1\"/>")));
  EXPECT_THAT(introspect(row.c_str()), Not(HasSubstr("Type")));
  EXPECT_EQ(get_property((types + "/1").c_str(), "com.wqx.igd1.Test.EngineType", "Key"), nullptr);
  const auto [path, error] = add(types.c_str());
  EXPECT_EQ(path, "");
  EXPECT_THAT(error.first, HasSubstr("org.freedesktop.DBus.Error.Unknown"));
}

// Every object's interfaces and properties, printed value by value.
std::map<std::string, std::map<std::string, std::map<std::string, std::string>>> tree(
    GVariant *objects) {
  std::map<std::string, std::map<std::string, std::map<std::string, std::string>>> result;
  GVariantIter o;
  g_variant_iter_init(&o, objects);
  const gchar *path = nullptr;
  GVariant *interfaces = nullptr;
  while (g_variant_iter_next(&o, "{&o@a{sa{sv}}}", &path, &interfaces)) {
    GVariantIter i;
    g_variant_iter_init(&i, interfaces);
    const gchar *interface = nullptr;
    GVariant *properties = nullptr;
    while (g_variant_iter_next(&i, "{&s@a{sv}}", &interface, &properties)) {
      GVariantIter p;
      g_variant_iter_init(&p, properties);
      const gchar *name = nullptr;
      GVariant *value = nullptr;
      while (g_variant_iter_next(&p, "{&sv}", &name, &value)) {
        result[path][interface][name] = printed(value);
        g_variant_unref(value);
      }
      g_variant_unref(properties);
    }
    g_variant_unref(interfaces);
  }
  return result;
}

TEST_F(EngineProbeTest, InProcessListingOfAFullTableEqualsGetManagedObjects) {
  const mib::TableDef &table = *mib::find_table("portmapping");
  for (int n = 0; n < 255; ++n) {
    std::vector<uint8_t> row(table.row_size, 0);
    row[1] = uint8_t(n % 2);
    row[12] = uint8_t(n);
    std::snprintf(reinterpret_cast<char *>(row.data()) + 21, 59, "rule %d", n);
    ASSERT_TRUE(mib::table_insert(table, row.data()));
  }
  const char *manager = "/com/wqx/igd1/Config/PortMapping";
  // The children appear through the row callbacks on the loop.
  for (int tries = 0; tries < 200 && managed(manager).find("/PortMapping/255'") == std::string::npos;
       ++tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));

  const RowCollection *rows = nullptr;
  for (const RowCollection *candidate : published_collections())
    if (std::strcmp(candidate->collection.noun, "PortMapping") == 0) rows = candidate;
  ASSERT_NE(rows, nullptr);
  Variant local;
  loop_->run([&] { local.reset(g_variant_ref_sink(row_managed_objects(*rows))); });
  g_autoptr(GError) error = nullptr;
  Variant reply = call(manager, kFreedesktopManager, "GetManagedObjects", nullptr, &error);
  ASSERT_NE(reply, nullptr) << error->message;
  g_autoptr(GVariant) remote = g_variant_get_child_value(reply.get(), 0);
  const auto expected = tree(remote);
  EXPECT_EQ(expected.size(), 255u);
  EXPECT_EQ(tree(local.get()), expected);
  EXPECT_EQ(expected.at(std::string(manager) + "/255").at("com.wqx.igd1.PortMapping").at(
                "PortMappingDescription"),
            "'rule 254'");
}

}  // namespace
}  // namespace igd1::test
