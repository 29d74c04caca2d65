// The introspection files are the published contract: every file parses,
// and every object's property table agrees with its file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>
#include <string>

#include "harness/bus_fixture.h"
#include "collection.h"
#include "single_object.h"

namespace igd1::test {
namespace {

GDBusNodeInfo *parse_xml_file(const std::string &file, std::string *problem) {
  std::string text = read_text_file(std::string(IGD1_SOURCE_XML_DIR) + "/" + file);
  if (text.empty()) {
    *problem = "missing or empty";
    return nullptr;
  }
  g_autoptr(GError) error = nullptr;
  GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(text.c_str(), &error);
  if (node == nullptr) *problem = error->message;
  return node;
}

TEST(XmlContractTest, EveryFileIsIntrospectionDataWithAnInterface) {
  GDir *dir = g_dir_open(IGD1_SOURCE_XML_DIR, 0, nullptr);
  ASSERT_NE(dir, nullptr);
  int files = 0;
  while (const gchar *name = g_dir_read_name(dir)) {
    if (!g_str_has_suffix(name, ".xml")) continue;
    ++files;
    std::string problem;
    GDBusNodeInfo *node = parse_xml_file(name, &problem);
    ASSERT_NE(node, nullptr) << name << ": " << problem;
    EXPECT_NE(node->interfaces[0], nullptr) << name << " declares no interface";
    if (node->interfaces[0] != nullptr) {
      EXPECT_TRUE(g_str_has_prefix(node->interfaces[0]->name, "com.wqx.igd1"))
          << name << ": " << node->interfaces[0]->name;
    }
    g_dbus_node_info_unref(node);
  }
  g_dir_close(dir);
  EXPECT_GT(files, 0);
}

// Rows a client of service type 0 sees (the files describe that form).
bool default_form(const Property &p) { return p.variant != igd1::Variant::ServiceType1; }

TEST(XmlContractTest, PropertyTablesMatchTheirFiles) {
  ASSERT_FALSE(published_objects().empty());
  for (const SingleObject *object : published_objects()) {
    SCOPED_TRACE(object->xml_file);
    std::string problem;
    GDBusNodeInfo *node = parse_xml_file(object->xml_file, &problem);
    ASSERT_NE(node, nullptr) << problem;
    GDBusInterfaceInfo *interface = node->interfaces[0];
    ASSERT_NE(interface, nullptr);

    std::set<std::string> declared;
    for (GDBusPropertyInfo **p = interface->properties; p != nullptr && *p != nullptr; ++p) {
      const GDBusPropertyInfo *info = *p;
      declared.insert(info->name);
      const Property *row = nullptr;
      for (const Property &candidate : object->properties) {
        if (!default_form(candidate)) continue;
        if (g_strcmp0(candidate.name, info->name) == 0 || g_strcmp0(candidate.alias, info->name) == 0) {
          row = &candidate;
          break;
        }
      }
      ASSERT_NE(row, nullptr) << info->name << " is declared but has no table row";
      EXPECT_STREQ(info->signature, row->type) << info->name;
      const bool writable = (info->flags & G_DBUS_PROPERTY_INFO_FLAGS_WRITABLE) != 0;
      const bool readable = (info->flags & G_DBUS_PROPERTY_INFO_FLAGS_READABLE) != 0;
      EXPECT_EQ(writable, row->write != nullptr) << info->name;
      EXPECT_TRUE(readable) << info->name;
    }
    for (const Property &row : object->properties) {
      if (!default_form(row)) continue;
      EXPECT_TRUE(declared.count(row.name)) << row.name << " is missing from the file";
      if (row.alias != nullptr) {
        EXPECT_TRUE(declared.count(row.alias)) << row.alias;
      }
    }
    g_dbus_node_info_unref(node);
  }
}

TEST(XmlContractTest, RowCollectionTablesMatchTheirFiles) {
  ASSERT_FALSE(published_collections().empty());
  for (const RowCollection *rows : published_collections()) {
    SCOPED_TRACE(rows->collection.noun);
    std::string problem;
    GDBusNodeInfo *node = nullptr;
    if (rows->collection.xml_file != nullptr) {
      node = parse_xml_file(rows->collection.xml_file, &problem);
    } else {
      g_autoptr(GError) error = nullptr;
      node = g_dbus_node_info_new_for_xml(rows->collection.builtin_xml, &error);
      if (node == nullptr) problem = error->message;
    }
    ASSERT_NE(node, nullptr) << problem;
    ASSERT_NE(node->interfaces[0], nullptr);
    std::set<std::string> declared;
    // A child may carry every interface of its document.
    for (GDBusInterfaceInfo **i = node->interfaces; *i != nullptr; ++i) {
      for (GDBusPropertyInfo **p = (*i)->properties; p != nullptr && *p != nullptr; ++p) {
        declared.insert((*p)->name);
        const RowProperty *row = find_row_property(rows->module.properties, (*p)->name);
        ASSERT_NE(row, nullptr) << (*p)->name << " is declared but has no table row";
        EXPECT_STREQ((*p)->signature, row->type) << (*p)->name;
        const bool writable = ((*p)->flags & G_DBUS_PROPERTY_INFO_FLAGS_WRITABLE) != 0;
        EXPECT_EQ(writable,
                  find_writable_row_property(rows->module.properties, (*p)->name) != nullptr)
            << (*p)->name;
      }
    }
    for (const RowProperty &row : rows->module.properties) {
      EXPECT_TRUE(declared.count(row.name)) << row.name << " is missing from the file";
      if (row.alias != nullptr) {
        EXPECT_TRUE(declared.count(row.alias)) << row.alias;
      }
    }
    g_dbus_node_info_unref(node);
  }
}

// Every (path, interface) pair the modules publish, with the collections'
// children as "<prefix>/*".  Two modules with the same pair would abort the
// daemon's start, so every pair is published once.
std::vector<std::string> published_pairs() {
  std::vector<std::string> pairs;
  for (const SingleObject *object : published_objects()) {
    std::string problem;
    GDBusNodeInfo *node = parse_xml_file(object->xml_file, &problem);
    if (node == nullptr) continue;
    const char *path = object->path != nullptr ? object->path : node->path;
    for (GDBusInterfaceInfo **i = node->interfaces; *i != nullptr; ++i)
      pairs.push_back(std::string(path != nullptr ? path : "?") + " " + (*i)->name);
    g_dbus_node_info_unref(node);
  }
  for (const RowCollection *rows : published_collections()) {
    const Collection &c = rows->collection;
    std::string problem;
    GDBusNodeInfo *node = c.xml_file != nullptr
                              ? parse_xml_file(c.xml_file, &problem)
                              : g_dbus_node_info_new_for_xml(c.builtin_xml, nullptr);
    if (node == nullptr) continue;
    const std::string children =
        std::string(c.child_prefix != nullptr ? c.child_prefix : c.manager_path) + "/*";
    for (GDBusInterfaceInfo **i = node->interfaces; *i != nullptr; ++i)
      pairs.push_back(children + " " + (*i)->name);
    g_dbus_node_info_unref(node);
  }
  return pairs;
}

std::vector<std::string> repeated(std::vector<std::string> pairs) {
  std::sort(pairs.begin(), pairs.end());
  std::vector<std::string> twice;
  for (size_t i = 1; i < pairs.size(); ++i)
    if (pairs[i] == pairs[i - 1] && (twice.empty() || twice.back() != pairs[i]))
      twice.push_back(pairs[i]);
  return twice;
}

TEST(XmlContractTest, NoTwoModulesPutTheSameInterfaceOnTheSamePath) {
  const std::vector<std::string> pairs = published_pairs();
  EXPECT_GT(pairs.size(), 10u);
  EXPECT_THAT(repeated(pairs), testing::IsEmpty());
  EXPECT_THAT(repeated({"/a x", "/b x", "/a x", "/a y"}), testing::ElementsAre("/a x"));
}

// What a client sees: every interface the running host publishes under the
// root (modules, account collections, interfaces built in code), each
// property declared readable answers Get with a value of its declared type.
class PublishedTreeTest : public BusTest {
 protected:
  void walk(const std::string &path, std::set<std::string> *interfaces, int *properties) {
    g_autoptr(GError) error = nullptr;
    GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(introspect(path.c_str()).c_str(), &error);
    ASSERT_NE(node, nullptr) << path << ": " << error->message;
    for (GDBusInterfaceInfo **i = node->interfaces; i != nullptr && *i != nullptr; ++i) {
      const std::string name = (*i)->name;
      if (!g_str_has_prefix(name.c_str(), "com.wqx.igd1")) continue;
      interfaces->insert(name);
      for (GDBusPropertyInfo **p = (*i)->properties; p != nullptr && *p != nullptr; ++p) {
        if (((*p)->flags & G_DBUS_PROPERTY_INFO_FLAGS_READABLE) == 0) continue;
        g_autoptr(GError) get_error = nullptr;
        Variant value = get_property(path.c_str(), name.c_str(), (*p)->name, &get_error);
        // A store entry that cannot be read answers its own error; the
        // type of what does answer must be the declared one.
        if (value == nullptr) continue;
        ++*properties;
        EXPECT_STREQ(g_variant_get_type_string(value.get()), (*p)->signature)
            << path << " " << name << "." << (*p)->name;
      }
    }
    for (GDBusNodeInfo **child = node->nodes; child != nullptr && *child != nullptr; ++child)
      walk(path == "/" ? "/" + std::string((*child)->path) : path + "/" + (*child)->path,
           interfaces, properties);
    g_dbus_node_info_unref(node);
  }
};

TEST_F(PublishedTreeTest, EveryPublishedPropertyAnswersWithItsDeclaredType) {
  std::set<std::string> interfaces;
  int properties = 0;
  walk("/com/wqx/igd1", &interfaces, &properties);
  for (const char *expected :
       {"com.wqx.igd1.DHCPServer", "com.wqx.igd1.TelnetAccount", "com.wqx.igd1.SysCmd",
        "com.wqx.igd1.ObjectManager", "com.wqx.igd1.Properties"})
    EXPECT_TRUE(interfaces.count(expected)) << expected;
  EXPECT_GT(properties, 50);
}

}  // namespace
}  // namespace igd1::test
