// The introspection files are the published contract: every file parses,
// and every object's property table agrees with its file.

#include <algorithm>
#include <set>

#include "harness/bus_fixture.h"
#include "collection.h"
#include "host_api.h"
#include "single_object.h"

namespace igd1::test {
namespace {

// A module's own writer: the engine does not fill its texts.
bool write_only_hook(const CallContext &, const SingleObject &, const Property &, const char *,
                     GVariant *, WriteFlags *) {
  return true;
}

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

// The document of a collection: its file, or the text built into the module.
GDBusNodeInfo *parse_document(const char *xml_file, const char *builtin_xml, std::string *problem) {
  if (xml_file != nullptr) return parse_xml_file(xml_file, problem);
  g_autoptr(GError) error = nullptr;
  GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(builtin_xml, &error);
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

// Whether introspection says that changes of `property` are not signalled:
// its own EmitsChangedSignal annotation, else its interface's (when given), is "false".
bool marked_unannounced(const GDBusInterfaceInfo *interface, const GDBusPropertyInfo *property) {
  constexpr char kKey[] = "org.freedesktop.DBus.Property.EmitsChangedSignal";
  const char *value = g_dbus_annotation_info_lookup(property->annotations, kKey);
  if (value == nullptr && interface != nullptr)
    value = g_dbus_annotation_info_lookup(interface->annotations, kKey);
  return g_strcmp0(value, "false") == 0;
}

// The files describe service type 0: each property is marked as not
// announced exactly when its module's table says its changes are not.
TEST(XmlContractTest, PropertyTablesMatchTheirFiles) {
  ASSERT_FALSE(published_objects().empty());
  ASSERT_EQ(dbus_proxy_get_service_type(), 0);
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
      EXPECT_EQ(readable, row->read != write_only) << info->name;
      EXPECT_EQ(marked_unannounced(interface, info), !property_announced(*object, *row)) << info->name;
    }
    for (const Property &row : object->properties) {
      if (!default_form(row)) continue;
      EXPECT_TRUE(declared.count(row.name)) << row.name << " is missing from the file";
      if (row.alias != nullptr) {
        EXPECT_TRUE(declared.count(row.alias)) << row.alias;
      }
    }
    // An object served from a method table declares exactly its rows.
    if (!object->methods.empty()) {
      std::set<std::string> methods, rows;
      for (GDBusMethodInfo **m = interface->methods; m != nullptr && *m != nullptr; ++m)
        methods.insert((*m)->name);
      for (const Method &method : object->methods) rows.insert(method.name);
      EXPECT_EQ(methods, rows);
    }
    g_dbus_node_info_unref(node);
  }
}

TEST(XmlContractTest, RowCollectionTablesMatchTheirFiles) {
  ASSERT_FALSE(published_collections().empty());
  ASSERT_EQ(dbus_proxy_get_service_type(), 0);
  for (const RowCollection *rows : published_collections()) {
    SCOPED_TRACE(rows->collection.noun);
    std::string problem;
    GDBusNodeInfo *node = parse_document(rows->collection.xml_file, rows->collection.builtin_xml, &problem);
    ASSERT_NE(node, nullptr) << problem;
    ASSERT_NE(node->interfaces[0], nullptr);
    // An alias takes the writes its module's document declares: the engine
    // reads the document as the module would have loaded it (a module with
    // documents per service type keeps them apart).
    GDBusNodeInfo *&loaded = *rows->collection.introspection_data;
    const bool lent = loaded == nullptr && rows->module.variants.empty();
    if (lent) loaded = node;
    std::set<std::string> declared;
    std::set<std::string> declared_writable;
    // A child may carry every interface of its document, or of the document
    // of another service type.
    std::vector<GDBusNodeInfo *> documents{node};
    // The service type each document is served on (writes follow it).
    std::vector<int> service_types{0};
    for (const InterfaceVariant &variant : rows->module.variants) {
      g_autoptr(GError) error = nullptr;
      documents.push_back(g_dbus_node_info_new_for_xml(variant.builtin_xml, &error));
      ASSERT_NE(documents.back(), nullptr) << error->message;
      service_types.push_back(variant.when == igd1::Variant::ServiceType1 ? 1 : 0);
    }
    for (size_t d = 0; d < documents.size(); ++d) {
      GDBusNodeInfo *document = documents[d];
      host::settings().service_type = service_types[d];
      for (GDBusInterfaceInfo **i = document->interfaces; *i != nullptr; ++i) {
        for (GDBusPropertyInfo **p = (*i)->properties; p != nullptr && *p != nullptr; ++p) {
          declared.insert((*p)->name);
          const RowProperty *row = find_row_property(rows->module.properties, (*p)->name);
          ASSERT_NE(row, nullptr) << (*p)->name << " is declared but has no table row";
          EXPECT_STREQ((*p)->signature, row->type) << (*p)->name;
          const bool writable = ((*p)->flags & G_DBUS_PROPERTY_INFO_FLAGS_WRITABLE) != 0;
          const bool table_writes =
              find_writable_row_property(rows->module, (*p)->name) != nullptr;
          if (writable) declared_writable.insert((*p)->name);
          // A document per service type says which names of the table take
          // writes there; any other document, exactly those of the table.
          if (rows->module.variants.empty() || writable) {
            EXPECT_EQ(writable, table_writes) << (*p)->name;
          }
          // Interfaces built in code are checked where they are served.
          if (rows->collection.xml_file != nullptr) {
            EXPECT_EQ(marked_unannounced(*i, *p),
                      !row_property_announced(rows->module, (*p)->name))
                << (*p)->name;
          }
        }
      }
    }
    host::settings().service_type = 0;
    for (const RowProperty &row : rows->module.properties) {
      EXPECT_TRUE(declared.count(row.name)) << row.name << " is missing from the file";
      if (row.write_log != nullptr) {
        EXPECT_TRUE(declared_writable.count(row.name))
            << row.name << " takes writes that no document declares";
      }
      if (row.alias != nullptr) {
        EXPECT_TRUE(declared.count(row.alias)) << row.alias;
      }
    }
    if (lent) loaded = nullptr;
    for (GDBusNodeInfo *document : documents) g_dbus_node_info_unref(document);
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
    GDBusNodeInfo *node = parse_document(c.xml_file, c.builtin_xml, &problem);
    if (node == nullptr) continue;
    const std::string children =
        std::string(rows->module.child_prefix != nullptr ? rows->module.child_prefix
                                                         : c.manager_path) +
        "/*";
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

// Every table text's placeholders are ones the engine supplies where the
// text is used; a fault names the module and the text.
TEST(XmlContractTest, TableTextsUseOnlyPlaceholdersTheEngineSupplies) {
  for (const SingleObject *object : published_objects()) EXPECT_EQ(object_text_faults(*object), "");
  for (const RowCollection *rows : published_collections())
    EXPECT_EQ(row_text_faults(rows->module, rows->collection.noun), "");

  static constexpr RowProperty kColoured[] = {
      {.name = "Hue", .write_log = "set Hue", .refused = "{value} is no {colour} for {name}"},
      {.name = "Tone", .write_log = "set Tone", .refused = "{value} is no tone for {name}"}};
  const RowModule kPalette = {.manager_path = "/com/wqx/igd1/Test/Palette",
                              .properties = kColoured,
                              .table = {},
                              .texts = {.wording = [](RowText text) -> const char * {
                                switch (text) {
                                  case RowText::GetInvalidPath: return "no row at {path}";
                                  case RowText::ReadProperty: return "no {name} in row {instance}";
                                  case RowText::WriteProperty: return "{value} is not for {name}";
                                  case RowText::DeleteFailed: return "row {instance} is in use";
                                  default: return nullptr;
                                }
                              }}};
  EXPECT_EQ(row_text_faults(kPalette, "Palette"),
            "Palette: text \"{value} is not for {name}\" has {value}, which the engine does "
            "not supply there\n"
            "Palette: text \"row {instance} is in use\" has {instance}, which the engine does "
            "not supply there\n"
            "Palette: text \"{value} is no {colour} for {name}\" has {colour}, which the engine "
            "does not supply there\n");
  static constexpr Property kLevels[] = {
      {.name = "Level", .type = "u", .write = store_value, .refused = "{value} for {name} at {path}"},
      {.name = "Step", .type = "u", .write = write_only_hook, .refused = "{value} for {name}"}};
  const SingleObject kMeter = {.path = "/com/wqx/igd1/Test/Meter", .xml_file = nullptr,
                               .properties = kLevels,
                               .wording = [](ObjectText text, int *) -> const char * {
                                 switch (text) {
                                   case ObjectText::UnknownRead: return "no {name} read at {path}";
                                   case ObjectText::UnknownWrite:
                                     return "{value} not written to {name}";
                                   case ObjectText::UnknownMethod: return "no {value} method";
                                   default: return nullptr;
                                 }
                               }};
  EXPECT_EQ(object_text_faults(kMeter),
            "/com/wqx/igd1/Test/Meter: text \"no {value} method\" has {value}, which the engine "
            "does not supply there\n"
            "/com/wqx/igd1/Test/Meter: text \"{value} for {name}\" has {value}, which the engine "
            "does not supply there\n");
}

TEST(XmlContractTest, NoTwoModulesPutTheSameInterfaceOnTheSamePath) {
  const std::vector<std::string> pairs = published_pairs();
  EXPECT_GT(pairs.size(), 10u);
  EXPECT_THAT(repeated(pairs), IsEmpty());
  // The five speed tests share one path, each with its own interface.
  EXPECT_EQ(std::count_if(pairs.begin(), pairs.end(), [](const std::string &pair) {
              return pair.starts_with("/com/wqx/igd1/Diagnostics/HttpDownload ");
            }), 5);
  EXPECT_THAT(repeated({"/a x", "/b x", "/a x", "/a y"}), ElementsAre("/a x"));
}

// What a client sees: every interface the running host publishes under the
// root (modules, account collections, interfaces built in code).
class PublishedTreeTest : public BusTest {
 protected:
  using Visit = std::function<void(const std::string &path, const GDBusInterfaceInfo *interface,
                                    const GDBusPropertyInfo *property)>;
  // Calls `visit` for every property of every com.wqx.igd1 interface at or below `path`.
  void walk(const std::string &path, const Visit &visit) {
    g_autoptr(GError) error = nullptr;
    GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(introspect(path.c_str()).c_str(), &error);
    ASSERT_NE(node, nullptr) << path << ": " << error->message;
    for (GDBusInterfaceInfo **i = node->interfaces; i != nullptr && *i != nullptr; ++i) {
      if (!g_str_has_prefix((*i)->name, "com.wqx.igd1")) continue;
      visit(path, *i, nullptr);
      for (GDBusPropertyInfo **p = (*i)->properties; p != nullptr && *p != nullptr; ++p)
        visit(path, *i, *p);
    }
    for (GDBusNodeInfo **child = node->nodes; child != nullptr && *child != nullptr; ++child)
      walk(path == "/" ? "/" + std::string((*child)->path) : path + "/" + (*child)->path, visit);
    g_dbus_node_info_unref(node);
  }

  // Checks the served EmitsChangedSignal marks against the modules' tables
  // for the host's service type.  Returns how many properties are marked as
  // not announced.
  int check_change_signal_marks() {
    int unannounced = 0;
    walk("/com/wqx/igd1", [&](const std::string &path, const GDBusInterfaceInfo *interface,
                              const GDBusPropertyInfo *property) {
      if (property == nullptr) return;
      bool announced = false;
      if (const SingleObject *object = object_serving(interface->name)) {
        const Property *row = find_property(*object, property->name);
        ASSERT_NE(row, nullptr) << property->name;
        announced = property_announced(*object, *row);
      } else if (const RowCollection *rows = collection_serving(interface->name)) {
        announced = row_property_announced(rows->module, property->name);
      } else if (g_strcmp0(interface->name, "com.wqx.igd1.ObjectManager") == 0) {
        announced = false;  // the host's RemoveAllObjects flag never changes
      } else {
        ADD_FAILURE() << "no table describes " << interface->name;
      }
      // Served, the mark is on the property itself: busctl and others read
      // nothing else.
      EXPECT_EQ(marked_unannounced(nullptr, property), !announced)
          << path << " " << interface->name << "." << property->name;
      unannounced += announced ? 0 : 1;
    });
    return unannounced;
  }

 private:
  static std::string interface_of(const char *xml_file, const char *builtin_xml) {
    std::string problem;
    GDBusNodeInfo *node = parse_document(xml_file, builtin_xml, &problem);
    if (node == nullptr) return "";
    std::string name = node->interfaces[0] != nullptr ? node->interfaces[0]->name : "";
    g_dbus_node_info_unref(node);
    return name;
  }
  static const SingleObject *object_serving(const char *interface) {
    for (const SingleObject *object : published_objects())
      if (interface_of(object->xml_file, nullptr) == interface) return object;
    return nullptr;
  }
  // A collection's children carry every interface of its document.
  static bool declares(const char *xml_file, const char *builtin_xml, const char *interface) {
    std::string problem;
    GDBusNodeInfo *node = parse_document(xml_file, builtin_xml, &problem);
    if (node == nullptr) return false;
    const bool found = g_dbus_node_info_lookup_interface(node, interface) != nullptr;
    g_dbus_node_info_unref(node);
    return found;
  }
  static const RowCollection *collection_serving(const char *interface) {
    for (const RowCollection *rows : published_collections())
      if (declares(rows->collection.xml_file, rows->collection.builtin_xml, interface)) return rows;
    return nullptr;
  }
};

// A manager declares RemoveAllObjects exactly when its collection has a
// handler for it.
TEST_F(PublishedTreeTest, OnlyCollectionsWithRemoveAllObjectsDeclareIt) {
  std::set<std::string> with, without;
  walk("/com/wqx/igd1", [&](const std::string &path, const GDBusInterfaceInfo *interface,
                            const GDBusPropertyInfo *property) {
    if (property != nullptr || g_strcmp0(interface->name, "com.wqx.igd1.ObjectManager") != 0)
      return;
    const bool declared = g_dbus_interface_info_lookup_method(
                              const_cast<GDBusInterfaceInfo *>(interface), "RemoveAllObjects") !=
                          nullptr;
    (declared ? with : without).insert(path);
  });
  std::set<std::string> expected;
  for (const RowCollection *rows : published_collections()) {
    const std::string path = rows->module.manager_path;
    const bool published = with.count(path) != 0 || without.count(path) != 0;
    if (removes_all(rows->module) && published) expected.insert(path);
  }
  EXPECT_EQ(with, expected);
  EXPECT_TRUE(without.count("/com/wqx/igd1/Config/PortMapping"));
}

// Each property declared readable answers Get with a value of its declared
// type; a write-only property is declared so and never read.
// Values some objects of an interface have and others not (the guest
// network's): refused elsewhere, answered on at least one object.
TEST_F(PublishedTreeTest, EveryReadablePropertyAnswersGetWithItsDeclaredType) {
  const std::set<std::string> some_objects_only = {
      "com.wqx.igd1.WLANConfiguration.Duration", "com.wqx.igd1.WLANConfiguration.RemainDuration",
      "com.wqx.igd1.WLANConfiguration.PortIsolation"};
  std::set<std::string> interfaces, answered;
  int properties = 0;
  walk("/com/wqx/igd1", [&](const std::string &path, const GDBusInterfaceInfo *interface,
                            const GDBusPropertyInfo *property) {
    interfaces.insert(interface->name);
    if (property == nullptr || (property->flags & G_DBUS_PROPERTY_INFO_FLAGS_READABLE) == 0) return;
    g_autoptr(GError) get_error = nullptr;
    Variant value = get_property(path.c_str(), interface->name, property->name, &get_error);
    const std::string name = std::string(interface->name) + "." + property->name;
    if (some_objects_only.count(name) != 0) {
      if (value == nullptr) return;
      answered.insert(name);
    }
    // The default store holds a value for everything readable.
    ASSERT_NE(value, nullptr) << path << " " << interface->name << "." << property->name << ": "
                              << (get_error != nullptr ? get_error->message : "no value");
    ++properties;
    EXPECT_STREQ(g_variant_get_type_string(value.get()), property->signature)
        << path << " " << interface->name << "." << property->name;
  });
  EXPECT_EQ(answered, some_objects_only);
  for (const char *expected :
       {"com.wqx.igd1.DHCPServer", "com.wqx.igd1.TelnetAccount", "com.wqx.igd1.SysCmd",
        "com.wqx.igd1.ObjectManager", "com.wqx.igd1.Properties"})
    EXPECT_TRUE(interfaces.count(expected)) << expected;
  EXPECT_GT(properties, 50);
}

// Introspection marks with EmitsChangedSignal "false" exactly the properties
// whose changes are never announced, so that a standard client cache knows
// which values it must read again.
TEST_F(PublishedTreeTest, PropertiesThatAreNeverAnnouncedAreMarked) {
  EXPECT_GT(check_change_signal_marks(), 60);
}

// Service types other than 0 announce neither device-name writes nor rule
// changes: the served introspection says so although the files do not.
class ServiceType1TreeTest : public PublishedTreeTest {
  void configure(host::Options &options) override { options.service_type = 1; }
};

TEST_F(ServiceType1TreeTest, PropertiesThatAreNeverAnnouncedAreMarked) {
  const std::string rule = add_child("/com/wqx/igd1/Config/PortMapping");
  ASSERT_FALSE(rule.empty());
  GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(introspect(rule.c_str()).c_str(), nullptr);
  ASSERT_NE(node, nullptr);
  const GDBusInterfaceInfo *interface = g_dbus_node_info_lookup_interface(node, "com.wqx.igd1.PortMapping");
  ASSERT_NE(interface, nullptr);
  for (GDBusPropertyInfo **p = interface->properties; *p != nullptr; ++p)
    EXPECT_TRUE(marked_unannounced(interface, *p)) << (*p)->name;
  g_dbus_node_info_unref(node);
  EXPECT_GT(check_change_signal_marks(), 60);
}

// Without the standard signal nothing emits it, and every served property
// says so itself, announced or not.
class NoStandardSignalTreeTest : public PublishedTreeTest {
  void configure(host::Options &options) override { options.standard_signals = false; }
};

TEST_F(NoStandardSignalTreeTest, EveryPropertySaysItEmitsNoChangedSignal) {
  ASSERT_FALSE(add_child("/com/wqx/igd1/Config/PortMapping").empty());
  int properties = 0;
  walk("/com/wqx/igd1", [&](const std::string &path, const GDBusInterfaceInfo *interface,
                            const GDBusPropertyInfo *property) {
    if (property == nullptr) return;
    ++properties;
    EXPECT_TRUE(marked_unannounced(nullptr, property)) << path << " " << interface->name << "." << property->name;
  });
  EXPECT_GT(properties, 200);
}

}  // namespace
}  // namespace igd1::test
