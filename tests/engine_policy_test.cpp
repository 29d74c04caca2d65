// A test-only collection over a table reached by position, proving the
// engine's row policies: numbers chosen up to a row limit, placeholder texts,
// a stand-in row, DeleteObject by number, texts checked by the table, values
// stored again unchanged, and error names a table sets.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "collection.h"
#include "harness/bus_fixture.h"
#include "sys_paths.h"

IGD1_DECLARE_ROW_COLLECTION(EnginePolicy, EnginePolicy_handle_set_multi_properties);

namespace {

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

constexpr char kXml[] =
    "<node><interface name='com.wqx.igd1.Test.EnginePolicy'>"
    "<property name='Name' type='s' access='readwrite'/>"
    "<property name='Secret' type='s' access='readwrite'/>"
    "</interface></node>";

constexpr igd1::RowProperty kProperties[] = {
    {.name = "Name", .field = igd1::Field::Text, .offset = offsetof(Account, name), .size = 12,
     .write_log = "set Name %s", .overlong = igd1::Overlong::Refuse, .item = 0,
     .refused = "%s refused by the table", .placeholder = "unset"},
    {.name = "Secret", .field = igd1::Field::Text, .offset = offsetof(Account, secret),
     .size = 12, .write_log = "set Secret %s", .overlong = igd1::Overlong::Refuse, .item = 1,
     .refused = "Secret refused", .secret = true, .placeholder = "unset"},
};

constexpr igd1::RowModule kModule = {
    .manager_path = "/com/wqx/igd1/Test/Policy/Accounts",
    .properties = kProperties,
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
    .builtin_xml = kXml,
    .max_rows = 4,
    .store_unchanged = true,
    .refuse_wrong_type = true,
    .delete_by_number = true,
    .commit_error = "org.freedesktop.DBus.Error.InvalidArgs",
    .delete_no_row_error = "org.freedesktop.DBus.Error.Failed",
};

}  // namespace

IGD1_ROW_COLLECTION(EnginePolicy, EnginePolicy_handle_set_multi_properties, kModule)

namespace igd1::test {
namespace {

using testing::HasSubstr;
using testing::Not;
using Error = std::pair<std::string, std::string>;

constexpr char kManager[] = "/com/wqx/igd1/Test/Policy/Accounts";
constexpr char kInterface[] = "com.wqx.igd1.Test.EnginePolicy";
constexpr char kManagerError[] = "com.wqx.igd1.ObjectManager.Error";
constexpr char kInvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";

class EnginePolicyTest : public BusTest {
 protected:
  // The table starts with its stand-in row only.
  void SetUp() override {
    g_accounts.clear();
    g_stand_in = -1;
    g_updates = 0;
    g_refuse_update = false;
    g_refuse_insert = false;
    add_stand_in();
    BusTest::SetUp();
    loop_->run([&] { EnginePolicy_on_bus_acquired(host_->connection(), nullptr, nullptr); });
  }
  std::string child(int number) { return std::string(kManager) + "/" + std::to_string(number); }
  std::pair<std::string, Error> add() {
    g_autoptr(GError) error = nullptr;
    Variant reply = call(kManager, "com.wqx.igd1.ObjectManager", "AddObject", nullptr, &error);
    if (reply == nullptr) return {"", remote_error(error)};
    const gchar *path = nullptr;
    g_variant_get(reply.get(), "(&o)", &path);
    return {path, Error()};
  }
  Error remove(const std::string &path) {
    g_autoptr(GError) error = nullptr;
    Variant reply = call(kManager, "com.wqx.igd1.ObjectManager", "DeleteObject",
                         g_variant_new("(o)", path.c_str()), &error);
    return reply != nullptr ? Error() : remote_error(error);
  }
  std::string managed() {
    g_autoptr(GError) error = nullptr;
    Variant reply =
        call(kManager, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", nullptr, &error);
    return reply != nullptr ? printed(reply.get()) : "error";
  }
  std::string text(const std::string &path, const char *name) {
    g_autoptr(GError) error = nullptr;
    Variant value = get_property(path.c_str(), kInterface, name, &error);
    return value ? g_variant_get_string(value.get(), nullptr) : "error: " + remote_error(error).second;
  }
  Error set_text(const std::string &path, const char *name, const char *value) {
    g_autoptr(GError) error = nullptr;
    return set_property(path.c_str(), kInterface, name, g_variant_new_string(value), &error)
               ? Error()
               : remote_error(error);
  }
};

TEST_F(EnginePolicyTest, SelfNumbersUpToTheRowLimitAroundAStandInRow) {
  // The stand-in row has no child; the first AddObject takes it out and its
  // number is free again.
  EXPECT_THAT(managed(), Not(HasSubstr(std::string(kManager) + "/")));
  EXPECT_EQ(add().first, child(1));
  EXPECT_EQ(g_stand_in, -1);
  ASSERT_EQ(g_accounts.size(), 1u);
  EXPECT_STREQ(g_accounts[0].name, "unset1");
  EXPECT_STREQ(g_accounts[0].secret, "unset1");
  EXPECT_EQ(text(child(1), "Name"), "");
  EXPECT_THAT(read_text_file(root().path(path::kSyslog)),
              HasSubstr("added by [EnginePolicy_handle_object_mng_call] line ["));

  // Numbers run out before rows do; then a foreign row fills the table.
  EXPECT_EQ(add().first, child(2));
  EXPECT_EQ(add().first, child(3));
  EXPECT_EQ(add().second, Error(kManagerError, "no number left"));
  g_accounts.push_back({"foreign", "x", 7});
  EXPECT_EQ(add().second, Error(kManagerError, "account table is full"));
  g_accounts.pop_back();
  // What is logged differs from what is answered; the export is logged as declared.
  std::string log = read_text_file(root().path(path::kSyslog));
  EXPECT_THAT(log, HasSubstr("]: no number is idle\r\n"));
  EXPECT_THAT(log, HasSubstr("]: exporting " + child(3) + "\r\n"));
  EXPECT_THAT(log, HasSubstr("]: of type ComWqxIgd1EnginePolicyInterface \r\n"));
  EXPECT_THAT(log, Not(HasSubstr("Add EnginePolicy interface")));

  // DeleteObject reads the number from the last segment.
  EXPECT_EQ(remove("/com/wqx/igd1/Test/Policy/Elsewhere/2"),
            Error(kManagerError, "not this account's path"));
  EXPECT_EQ(remove(std::string(kManager) + "/02"),
            Error(kManagerError, "DeleteObject object path error"));
  ASSERT_EQ(remove(child(2)), Error());
  EXPECT_EQ(remove(child(2)), Error("org.freedesktop.DBus.Error.Failed", "no such account"));
  g_refuse_insert = true;
  EXPECT_EQ(add().second, Error(kManagerError, "no number left"));
  EXPECT_THAT(read_text_file(root().path(path::kSyslog)), HasSubstr("]: the table refused the row\r\n"));
  g_refuse_insert = false;
  EXPECT_EQ(add().first, child(2));

  // Deleting the last row puts the stand-in back, without a child.
  for (int number : {1, 2}) ASSERT_EQ(remove(child(number)), Error()) << number;
  EXPECT_EQ(g_stand_in, -1);
  ASSERT_EQ(remove(child(3)), Error());
  ASSERT_EQ(g_stand_in, 0);
  EXPECT_STREQ(g_accounts[0].name, "guest");
  EXPECT_THAT(managed(), Not(HasSubstr(std::string(kManager) + "/")));
  EXPECT_EQ(add().first, child(1));
  EXPECT_EQ(g_accounts.size(), 1u);
}

TEST_F(EnginePolicyTest, WritesAreCheckedByTheTableAndStoredAgainWhenUnchanged) {
  ASSERT_EQ(add().first, child(1));
  ASSERT_EQ(add().first, child(2));
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
    EXPECT_EQ(printed(signal.body.get()), "('" + std::string(kInterface) + "', {'Name': <'ann'>}, @as [])");
  }
  // The table's check sees the row's position: another row's name is refused.
  EXPECT_EQ(set_text(child(2), "Name", "ann"), Error(kInvalidArgs, "Name refused by the table"));

  // All or nothing, and a refused update answers the table's error name.
  g_autoptr(GError) error = nullptr;
  EXPECT_EQ(call(child(1).c_str(), "com.wqx.igd1.Properties", "SetMulti",
                 g_variant_new("(s@a{sv})", kInterface,
                               dictionary({{"Name", g_variant_new_string("bob")},
                                           {"Secret", g_variant_new_string("bad")}})),
                 &error),
            nullptr);
  EXPECT_EQ(remote_error(error), Error(kInvalidArgs, "Secret refused"));
  // A value of another type is refused like a value the table refuses.
  g_clear_error(&error);
  EXPECT_EQ(call(child(1).c_str(), "com.wqx.igd1.Properties", "SetMulti",
                 g_variant_new("(s@a{sv})", kInterface, dictionary({{"Name", g_variant_new_uint32(5)}})),
                 &error),
            nullptr);
  EXPECT_EQ(remote_error(error), Error(kInvalidArgs, "Name refused by the table"));
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
