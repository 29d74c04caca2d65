// Small test-only collections that prove the engine's kinds, policies and
// publishing: self-numbered and refusing AddObject, row policies over a table
// reached by position, children with several (and conditional) interfaces,
// children outside their manager's path, nested managers, and the in-process
// listing against GetManagedObjects.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "collection.h"
#include "engine_fixture.h"
#include "memory_table.h"
#include "mib_store.h"
#include "sys_paths.h"

IGD1_DECLARE_ROW_COLLECTION(EngineSelf, EngineSelf_handle_set_multi_properties);
IGD1_DECLARE_ROW_COLLECTION(EngineRefuse, EngineRefuse_handle_set_multi_properties);
IGD1_DECLARE_ROW_COLLECTION(EngineOutside, EngineOutside_handle_set_multi_properties);
IGD1_DECLARE_ROW_COLLECTION(EngineNest, EngineNest_handle_set_multi_properties);
IGD1_DECLARE_ROW_COLLECTION(EnginePolicy, EnginePolicy_handle_set_multi_properties);

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

// ---- accounts: a table reached by position ----
//
// Numbers chosen up to a row limit, placeholder texts, a stand-in row,
// DeleteObject by number, texts checked by the table, values stored again
// unchanged, error names and log lines a table sets.

struct Account {
  char name[12];
  char secret[12];
  uint32_t number;
};

// The table: rows by position, one of them possibly the stand-in.
std::vector<Account> g_accounts;
int g_stand_in = -1;
int g_updates = 0;
bool g_refuse_update = false;
bool g_refuse_insert = false;

uint32_t lowest_free_number() {
  for (uint32_t n = 1;; ++n) {
    bool taken = false;
    for (const Account &account : g_accounts) taken = taken || account.number == n;
    if (!taken) return n;
  }
}

int add_stand_in() {
  if (g_stand_in >= 0) return 1;
  g_accounts.push_back({"guest", "guest", lowest_free_number()});
  g_stand_in = int(g_accounts.size()) - 1;
  return 1;
}

int remove_stand_in() {
  if (g_stand_in < 0) return 0;
  g_accounts.erase(g_accounts.begin() + g_stand_in);
  g_stand_in = -1;
  return 1;
}

int remove_row(uint32_t position, mib_list_node *) {
  if (position >= g_accounts.size()) return 0;
  g_accounts.erase(g_accounts.begin() + position);
  return 1;
}

// A name another row has, and the text "bad", are refused.
int check_text(int item, const char *text, uint32_t position) {
  if (std::strcmp(text, "bad") == 0) return 0;
  for (size_t p = 0; p < g_accounts.size(); ++p)
    if (item == 0 && p != position && std::strcmp(g_accounts[p].name, text) == 0) return 0;
  return 1;
}

int update_row(const void *row, uint32_t position, const char **, int) {
  if (g_refuse_update || position >= g_accounts.size()) return 0;
  std::memcpy(&g_accounts[position], row, sizeof(Account));
  ++g_updates;
  return 1;
}

constexpr char kAccountXml[] =
    "<node><interface name='com.wqx.igd1.Test.EnginePolicy'>"
    "<property name='Name' type='s' access='readwrite'/>"
    "<property name='Secret' type='s' access='readwrite'/>"
    "</interface></node>";

constexpr igd1::RowProperty kAccountProperties[] = {
    {.name = "Name", .field = igd1::Field::Text, .offset = offsetof(Account, name), .size = 12,
     .write_log = "set Name %s", .overlong = igd1::Overlong::Refuse, .item = 0,
     .refused = "%s refused by the table", .placeholder = "unset"},
    {.name = "Secret", .field = igd1::Field::Text, .offset = offsetof(Account, secret),
     .size = 12, .write_log = "set Secret %s", .overlong = igd1::Overlong::Refuse, .item = 1,
     .refused = "Secret refused", .secret = true, .placeholder = "unset"},
};

constexpr igd1::RowModule kAccounts = {
    .manager_path = "/com/wqx/igd1/Test/Policy/Accounts",
    .properties = kAccountProperties,
    .table = {.row_size = sizeof(Account),
              .insert_entry = [](void *row) {
                if (g_refuse_insert) return 0;
                g_accounts.push_back(*static_cast<Account *>(row));
                return 1;
              },
              .remove_entry = remove_row,
              .instance_offset = offsetof(Account, number),
              .instance_size = 4,
              .row_count = [] { return int(g_accounts.size()); },
              .row_at = [](uint32_t position, void *row) {
                if (position >= g_accounts.size()) return 0;
                std::memcpy(row, &g_accounts[position], sizeof(Account));
                return 1;
              },
              .check_text = check_text,
              .stand_in_position = [] { return g_stand_in; },
              .add_stand_in = add_stand_in,
              .remove_stand_in = remove_stand_in,
              .update_entry = update_row},
    .texts = {.get_no_row = "no such object %s",
              .set_no_row = "no such object %s",
              .no_row_log = "[%s] line [%d]: no account %d",
              .commit_failed = "update refused",
              .add_failed = "no number left",
              .table_full = "account table is full",
              .add_log = "added by [%s] line [%d]: %s",
              .no_number_log = "no number is idle",
              .add_refused_log = "the table refused the row",
              .export_log = nullptr,
              .export_path_log = "exporting %s",
              .export_type_log = "of type %s ",
              .delete_no_row = "no such account",
              .delete_wrong_path = "not this account's path"},
    .commit = igd1::Commit::BackupUpdate,
    .announce = igd1::Announce::Always,
    .add = igd1::AddKind::Self,
    .max_instance = 3,
    .builtin_xml = kAccountXml,
    .max_rows = 4,
    .store_unchanged = true,
    .refuse_wrong_type = true,
    .delete_by_number = true,
    .commit_error = "org.freedesktop.DBus.Error.InvalidArgs",
    .delete_no_row_error = "org.freedesktop.DBus.Error.Failed",
};

}  // namespace

IGD1_ROW_COLLECTION(EngineNest, EngineNest_handle_set_multi_properties, kNest)
IGD1_ROW_COLLECTION(EngineSelf, EngineSelf_handle_set_multi_properties, kSelf)
IGD1_ROW_COLLECTION(EngineRefuse, EngineRefuse_handle_set_multi_properties, kRefuse)
IGD1_ROW_COLLECTION(EngineOutside, EngineOutside_handle_set_multi_properties, kOutside)
IGD1_ROW_COLLECTION(EnginePolicy, EnginePolicy_handle_set_multi_properties, kAccounts)

namespace igd1::test {
namespace {

using testing::HasSubstr;
using testing::Not;
constexpr char kFreedesktopManager[] = "org.freedesktop.DBus.ObjectManager";
constexpr char kManagerError[] = "com.wqx.igd1.ObjectManager.Error";
constexpr char kInvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";
constexpr char kAccountManager[] = "/com/wqx/igd1/Test/Policy/Accounts";
constexpr char kAccountInterface[] = "com.wqx.igd1.Test.EnginePolicy";

class EngineProbeTest : public EngineTest {
 protected:
  // The account table starts with its stand-in row only.
  void SetUp() override {
    g_accounts.clear();
    g_stand_in = -1;
    g_updates = 0;
    g_refuse_update = false;
    g_refuse_insert = false;
    add_stand_in();
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
      EnginePolicy_on_bus_acquired(host_->connection(), nullptr, nullptr);
    });
  }
  std::string child(int number) { return std::string(kAccountManager) + "/" + std::to_string(number); }
  std::pair<std::string, Error> add_account() { return add(kAccountManager); }
  Error remove_account(const std::string &path) { return remove(kAccountManager, path); }
  std::string text(const std::string &path, const char *name) {
    g_autoptr(GError) error = nullptr;
    Variant value = get_property(path.c_str(), kAccountInterface, name, &error);
    return value ? g_variant_get_string(value.get(), nullptr) : "error: " + remote_error(error).second;
  }
  Error set_text(const std::string &path, const char *name, const char *value) {
    g_autoptr(GError) error = nullptr;
    return set_property(path.c_str(), kAccountInterface, name, g_variant_new_string(value), &error)
               ? Error()
               : remote_error(error);
  }
};

TEST_F(EngineProbeTest, SelfKindNumbersUpToItsMaximumAndRefuseKindAnswersItsOwnError) {
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

  EXPECT_EQ(add("/com/wqx/igd1/Test/Engine/Refuse").second,
            Error("com.wqx.igd1.Test.Error", "not support to add object"));
  EXPECT_TRUE(RefuseTable::rows.empty());
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
  ASSERT_EQ(set_multi(child, "com.wqx.igd1.Test.EngineItem",
                      dictionary({{"Name", g_variant_new_string("farther")}})),
            Error());
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

TEST_F(EngineProbeTest, SelfNumbersUpToTheRowLimitAroundAStandInRow) {
  // The stand-in row has no child; the first AddObject takes it out and its
  // number is free again.
  EXPECT_THAT(managed(kAccountManager), Not(HasSubstr(std::string(kAccountManager) + "/")));
  EXPECT_EQ(add_account().first, child(1));
  EXPECT_EQ(g_stand_in, -1);
  ASSERT_EQ(g_accounts.size(), 1u);
  EXPECT_STREQ(g_accounts[0].name, "unset1");
  EXPECT_STREQ(g_accounts[0].secret, "unset1");
  EXPECT_EQ(text(child(1), "Name"), "");
  EXPECT_THAT(read_text_file(root().path(path::kSyslog)),
              HasSubstr("added by [EnginePolicy_handle_object_mng_call] line ["));

  // Numbers run out before rows do; then a foreign row fills the table.
  EXPECT_EQ(add_account().first, child(2));
  EXPECT_EQ(add_account().first, child(3));
  EXPECT_EQ(add_account().second, Error(kManagerError, "no number left"));
  g_accounts.push_back({"foreign", "x", 7});
  EXPECT_EQ(add_account().second, Error(kManagerError, "account table is full"));
  g_accounts.pop_back();
  // What is logged differs from what is answered; the export is logged as declared.
  std::string log = read_text_file(root().path(path::kSyslog));
  EXPECT_THAT(log, HasSubstr("]: no number is idle\r\n"));
  EXPECT_THAT(log, HasSubstr("]: exporting " + child(3) + "\r\n"));
  EXPECT_THAT(log, HasSubstr("]: of type ComWqxIgd1EnginePolicyInterface \r\n"));
  EXPECT_THAT(log, Not(HasSubstr("Add EnginePolicy interface")));

  // DeleteObject reads the number from the last segment.
  EXPECT_EQ(remove_account("/com/wqx/igd1/Test/Policy/Elsewhere/2"),
            Error(kManagerError, "not this account's path"));
  EXPECT_EQ(remove_account(std::string(kAccountManager) + "/02"),
            Error(kManagerError, "DeleteObject object path error"));
  ASSERT_EQ(remove_account(child(2)), Error());
  EXPECT_EQ(remove_account(child(2)), Error("org.freedesktop.DBus.Error.Failed", "no such account"));
  g_refuse_insert = true;
  EXPECT_EQ(add_account().second, Error(kManagerError, "no number left"));
  EXPECT_THAT(read_text_file(root().path(path::kSyslog)), HasSubstr("]: the table refused the row\r\n"));
  g_refuse_insert = false;
  EXPECT_EQ(add_account().first, child(2));

  // Deleting the last row puts the stand-in back, without a child.
  for (int number : {1, 2}) ASSERT_EQ(remove_account(child(number)), Error()) << number;
  EXPECT_EQ(g_stand_in, -1);
  ASSERT_EQ(remove_account(child(3)), Error());
  ASSERT_EQ(g_stand_in, 0);
  EXPECT_STREQ(g_accounts[0].name, "guest");
  EXPECT_THAT(managed(kAccountManager), Not(HasSubstr(std::string(kAccountManager) + "/")));
  EXPECT_EQ(add_account().first, child(1));
  EXPECT_EQ(g_accounts.size(), 1u);
}

TEST_F(EngineProbeTest, WritesAreCheckedByTheTableAndStoredAgainWhenUnchanged) {
  ASSERT_EQ(add_account().first, child(1));
  ASSERT_EQ(add_account().first, child(2));
  SignalWatcher changes(client(), "com.wqx.igd1.Properties", "PropertiesChanged",
                        child(1).c_str());

  EXPECT_EQ(set_text(child(1), "Name", "bad"), Error(kInvalidArgs, "Name refused by the table"));
  EXPECT_EQ(set_text(child(1), "Name", "twelve chars"),
            Error(kInvalidArgs, "Name refused by the table"));
  EXPECT_EQ(set_text(child(1), "Secret", "bad"), Error(kInvalidArgs, "Secret refused"));
  EXPECT_EQ(g_updates, 0);

  // A value equal to the stored one is stored and announced again.
  for (int round = 1; round <= 2; ++round) {
    ASSERT_EQ(set_text(child(1), "Name", "ann"), Error()) << round;
    EXPECT_EQ(g_updates, round);
    auto signal = changes.wait();
    ASSERT_TRUE(signal.body) << round;
    EXPECT_EQ(printed(signal.body.get()), "('" + std::string(kAccountInterface) + "', {'Name': <'ann'>}, @as [])");
  }
  // The table's check sees the row's position: another row's name is refused.
  EXPECT_EQ(set_text(child(2), "Name", "ann"), Error(kInvalidArgs, "Name refused by the table"));

  // All or nothing, and a refused update answers the table's error name.
  EXPECT_EQ(set_multi(child(1), kAccountInterface,
                      dictionary({{"Name", g_variant_new_string("bob")},
                                  {"Secret", g_variant_new_string("bad")}})),
            Error(kInvalidArgs, "Secret refused"));
  // A value of another type is refused like a value the table refuses.
  EXPECT_EQ(set_multi(child(1), kAccountInterface, dictionary({{"Name", g_variant_new_uint32(5)}})),
            Error(kInvalidArgs, "Name refused by the table"));
  g_refuse_update = true;
  EXPECT_EQ(set_text(child(1), "Name", "cid"), Error(kInvalidArgs, "update refused"));
  EXPECT_EQ(text(child(1), "Name"), "ann");
  EXPECT_EQ(g_updates, 2);

  // A row that is gone answers with its path.
  remove_row(1, nullptr);
  EXPECT_EQ(text(child(2), "Name"), "error: no such object " + child(2));
  EXPECT_EQ(set_text(child(2), "Name", "dee"), Error(kInvalidArgs, "no such object " + child(2)));
  const std::string log = read_text_file(root().path(path::kSyslog));
  EXPECT_THAT(log, HasSubstr("[EnginePolicy_handle_get_property] line ["));
  EXPECT_THAT(log, HasSubstr("]: no account 2"));
}

}  // namespace
}  // namespace igd1::test
