// Small test-only collections that prove the engine's self-numbered
// AddObject, children with several (and conditional) interfaces, a manager
// path with an interface of its own, and the in-process listing against
// GetManagedObjects.  The policies of tables reached by position, children
// outside their manager's path and nested managers are proven by the
// modules that use them (FTP accounts, hardware-acceleration rules, QoS
// match types).

#include <cstring>
#include <map>

#include "collection.h"
#include "harness/bus_fixture.h"
#include "memory_table.h"

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
    .texts = {.wording = [](igd1::RowText text) -> const char * {
      return text == igd1::RowText::TableFull ? "EngineSelf table is full" : nullptr;
    }},
    .announce = igd1::Announce::Always,
    .add = igd1::Adding::self_numbered(),
    .max_instance = 3,
    .xml = kItemXml,
    .carries = odd_rows_weigh,
    .manager_interface = {.object = &kSummary,
                          .xml = "<node><interface name='com.wqx.igd1.Test.EngineSummary'>"
                              "<property name='Limit' type='u' access='read'/>"
                              "<property name='Label' type='s' access='readwrite'/>"
                              "</interface></node>"},
};

}  // namespace

IGD1_ROW_COLLECTION(EngineSelf, EngineSelf_introspection_data, "EngineSelf",
                    EngineSelf_handle_get_property, EngineSelf_handle_set_property,
                    EngineSelf_handle_set_multi_properties, EngineSelf_handle_object_mng_call,
                    kSelf, EngineSelf)

namespace igd1::test {
namespace {

class EngineProbeTest : public BusTest {
 protected:
  void SetUp() override {
    SelfTable::clear();
    BusTest::SetUp();
    loop_->run([&] { EngineSelf_on_bus_acquired(host_->connection(), nullptr, nullptr); });
  }
};

TEST_F(EngineProbeTest, SelfKindNumbersUpToItsMaximumFromTheLowestFreeNumber) {
  const char *manager = "/com/wqx/igd1/Test/Engine/Self";
  const std::string base = std::string(manager) + "/";
  for (const char *number : {"1", "2", "3"}) EXPECT_EQ(add(manager).first, base + number);
  EXPECT_EQ(add(manager).second, Error(kManagerError, "EngineSelf table is full"));
  EXPECT_EQ(SelfTable::rows.size(), 3u);
  ASSERT_EQ(remove(manager, base + "2"), Error());
  EXPECT_EQ(add(manager).first, base + "2");

  // Odd rows carry the second interface, even ones do not.
  EXPECT_THAT(introspect((base + "1").c_str()), HasSubstr("com.wqx.igd1.Test.EngineExtra"));
  EXPECT_THAT(introspect((base + "2").c_str()), Not(HasSubstr("com.wqx.igd1.Test.EngineExtra")));
  EXPECT_THAT(introspect((base + "2").c_str()), HasSubstr("com.wqx.igd1.Test.EngineItem"));
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
  EXPECT_EQ(set_multi(manager, summary,
                      dictionary({{"Label", g_variant_new_string(std::string(40, 'x').c_str())}})),
            Error("org.freedesktop.DBus.Error.InvalidArgs", "set Label fail"));
  EXPECT_STREQ(g_label, "three at most");
  // The manager's own methods and listing are unchanged.
  EXPECT_EQ(add(manager).first, std::string(manager) + "/1");
  EXPECT_THAT(managed(manager), HasSubstr(std::string(manager) + "/1"));
  EXPECT_THAT(introspect(manager), HasSubstr(summary));
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
  eventually([&] { return managed(manager).find("/PortMapping/255'") != std::string::npos; });

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

// The document of the object beside the rows is read when the collection
// starts; a missing one stops the start before anything reaches the bus,
// naming the document.
void start_rows_whose_neighbour_has_no_document() {
  static constexpr igd1::Property kNeighbourProperties[] = {{.name = "Seen", .type = "b", .index = 0,
                                                             .raw = igd1::Raw::U8}};
  static constexpr igd1::SingleObject kNeighbour = {.path = nullptr,
                                                    .xml_file = "EngineNeighbour.xml",
                                                    .properties = kNeighbourProperties};
  static constexpr igd1::Sibling kBeside = {.suffix = "Neighbour", .object = &kNeighbour,
                                            .introspection_name = "neighbour_introspection_data"};
  static constexpr igd1::RowModule kModule = {.manager_path = "/com/wqx/igd1/Test/Engine/Beside",
                                              .properties = kProperties,
                                              .table = SelfTable::table(),
                                              .xml = kItemXml,
                                              .sibling = &kBeside};
  static igd1::CollectionState state;
  static GDBusNodeInfo *data = nullptr;
  static const GDBusInterfaceVTable vtable{};
  static const igd1::RowCollection rows(kModule, "Beside", &data, "beside_introspection_data",
                                        &vtable, &state, {"get", "set", "multi", "manager"},
                                        &vtable);
  igd1::row_collection_start(rows, nullptr, nullptr);
}

TEST(SiblingDeathTest, AMissingDocumentOfTheObjectBesideTheRowsStopsTheStart) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempRoot root;
  EXPECT_DEATH(start_rows_whose_neighbour_has_no_document(), "neighbour_introspection_data != NULL");
}

}  // namespace
}  // namespace igd1::test
