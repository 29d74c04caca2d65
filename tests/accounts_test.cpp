// The Samba, Telnet and FTP account collections over the bus, against the
// store: the three kinds of AddObject, the account checks and the FTP
// default account.

#include "ftpaccount.h"
#include "harness/bus_fixture.h"
#include "mib_api.h"
#include "telnetaccount.h"

namespace igd1::test {
namespace {

struct Accounts {
  const char *manager;
  const char *interface;
};
constexpr Accounts kSamba = {"/com/wqx/igd1/Storage/SambaServer/Accounts",
                             "com.wqx.igd1.SambaAccount"};
constexpr Accounts kTelnet = {"/com/wqx/igd1/Network/Telnetserver/Accounts",
                              "com.wqx.igd1.TelnetAccount"};
constexpr Accounts kFtp = {"/com/wqx/igd1/Storage/Ftpserver/Accounts", "com.wqx.igd1.FTPAccount"};

class AccountsTest : public BusTest {
 protected:
  std::string add_object(const Accounts &accounts) { return add_child(accounts.manager); }
  Error add_failure(const Accounts &accounts) { return add(accounts.manager).second; }
  // DeleteObject: "" on success, otherwise the error.
  Error delete_object(const Accounts &accounts, const std::string &path) {
    return remove(accounts.manager, path);
  }
  std::string text(const Accounts &accounts, const std::string &child, const char *name) {
    return BusTest::text(child, accounts.interface, name);
  }
  Error set_text(const Accounts &accounts, const std::string &child, const char *name,
                 const std::string &value) {
    return write(child, accounts.interface, name, g_variant_new_string(value.c_str()));
  }
  std::string managed(const Accounts &accounts) { return BusTest::managed(accounts.manager); }
};

// ---- Samba -----------------------------------------------------------------------

TEST_F(AccountsTest, SambaAccountsComeFromTheStoreAndGoThroughIt) {
  const std::string first = add_object(kSamba);
  EXPECT_EQ(first, std::string(kSamba.manager) + "/1");
  EXPECT_EQ(text(kSamba, first, "UserName"), "");

  // A row that another process inserts appears as well.
  SignalWatcher added(client(), kFreedesktopManager, "InterfacesAdded", kSamba.manager);
  ASSERT_EQ(sambaAccount_insert_entry(nullptr), 2u);
  const std::string second = std::string(kSamba.manager) + "/2";
  EXPECT_THAT(printed(added.wait().body.get()), HasSubstr(second));
  EXPECT_THAT(managed(kSamba), HasSubstr("'" + second + "': {'com.wqx.igd1.SambaAccount'"));

  const Error path_error(kManagerError, "DeleteObject object path error");
  for (const std::string &path :
       {std::string("/com/wqx/igd1/Storage/Other/1"), std::string(kSamba.manager) + "/0",
        std::string(kSamba.manager) + "/9", std::string(kSamba.manager) + "/01",
        std::string(kSamba.manager) + "/Other/1", std::string(kSamba.manager) + "/257"})
    EXPECT_EQ(delete_object(kSamba, path), path_error) << path;

  SignalWatcher removed(client(), kFreedesktopManager, "InterfacesRemoved", kSamba.manager);
  EXPECT_EQ(delete_object(kSamba, first), Error());
  EXPECT_THAT(printed(removed.wait().body.get()), HasSubstr(first));
  EXPECT_FALSE(mib::table_row(*mib::find_table("sambaaccount"), 1).has_value());
}

TEST_F(AccountsTest, SambaTextsStopAtThirtyCharactersAndNamesAreUnique) {
  const std::string child = add_object(kSamba);
  const std::string other = add_object(kSamba);
  SignalWatcher changes(client(), "com.wqx.igd1.Properties", "PropertiesChanged", child.c_str());
  const std::string thirty(30, 'n');

  EXPECT_EQ(set_text(kSamba, child, "UserName", thirty + "n"),
            Error(kInvalidArgs, "UserName value len is err"));
  EXPECT_EQ(set_text(kSamba, child, "Password", thirty + "p"),
            Error(kInvalidArgs, "Password value len is err"));
  int64_t before = journal_end();
  ASSERT_EQ(set_text(kSamba, child, "UserName", thirty), Error());
  EXPECT_EQ(text(kSamba, child, "UserName"), thirty);
  EXPECT_EQ(printed(changes.wait().body.get()),
            "('com.wqx.igd1.SambaAccount', {'UserName': <'" + thirty + "'>}, @as [])");
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(MIB_CFG_SAMBA, 0)));
  EXPECT_EQ(mib::journal().back().data, "inst=1 user=" + thirty);  // never the password

  // The stored value again changes nothing.
  before = journal_end();
  ASSERT_EQ(set_text(kSamba, child, "UserName", thirty), Error());
  EXPECT_TRUE(notices_since(before).empty());
  EXPECT_FALSE(changes.wait(std::chrono::milliseconds(200)).body);

  // A multi-write stores all of its values or none.
  EXPECT_EQ(set_multi(child, kSamba.interface,
                      dictionary({{"Password", g_variant_new_string("pw")},
                                  {"UserName", g_variant_new_string("")},
                                  {"Nickname", g_variant_new_string("x")}})),
            Error(kInvalidArgs, "invalid property Nickname"));
  EXPECT_EQ(mib::get_cell("sambaaccount", 1, "Password"), "");

  EXPECT_EQ(
      set_text(kSamba, other, "UserName", thirty),
      Error(kFailed, "Config SambaAccount error (user name " + thirty + " is taken by account 1)"));
  EXPECT_EQ(text(kSamba, other, "UserName"), "");
}

// ---- Telnet ------------------------------------------------------------------------

TEST_F(AccountsTest, TelnetShowsTheOneLoginTwiceAndRefusesChanges) {
  const std::string lan = std::string(kTelnet.manager) + "/1";
  const std::string wan = std::string(kTelnet.manager) + "/2";
  EXPECT_EQ(text(kTelnet, lan, "Type"), "LAN");
  EXPECT_EQ(text(kTelnet, wan, "Type"), "WAN");
  ASSERT_TRUE(mib::set_setting("telnet.UserName", "maint"));
  for (const std::string &child : {lan, wan}) {
    EXPECT_EQ(text(kTelnet, child, "UserName"), "maint");
    EXPECT_EQ(text(kTelnet, child, "Password"), "Tn#4A3E51c2");
  }
  EXPECT_THAT(managed(kTelnet), Not(HasSubstr(std::string(kTelnet.manager) + "/3")));
  // The export is logged in the module's own words only.
  const std::string log = syslog();
  EXPECT_THAT(log, HasSubstr("]: g_strdup_printf s is " + wan + "\r\n"));
  EXPECT_THAT(log, HasSubstr("]: g_object_new : ComWqxIgd1TelnetAccountInterface \r\n"));
  EXPECT_THAT(log, Not(HasSubstr("Add TelnetAccount interface")));

  // No child 3 is exported; the handler refuses its path all the same.
  g_autoptr(GError) error = nullptr;
  const std::string third = std::string(kTelnet.manager) + "/3";
  EXPECT_EQ(telnet_account_handle_get_property(nullptr, nullptr, third.c_str(), kTelnet.interface,
                                               "UserName", &error, nullptr),
            nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error->message), "invalid object path " + third);

  EXPECT_EQ(set_multi(lan, kTelnet.interface, dictionary({{"UserName", g_variant_new_string("x")}}))
                .first,
            "org.freedesktop.DBus.Error.NotSupported");

  EXPECT_EQ(add_failure(kTelnet), Error(kManagerError, "not support to add object"));
  EXPECT_EQ(delete_object(kTelnet, lan), Error(kManagerError, "not support to del object"));
  // During a conformance run the calls are left unanswered by the module.
  write_text_file(root().path(path::kCtsMarker), "");
  EXPECT_EQ(delete_object(kTelnet, lan).first, "org.freedesktop.DBus.Error.UnknownMethod");
}

// ---- FTP -------------------------------------------------------------------------------

TEST_F(AccountsTest, FtpAccountsStartAsPlaceholdersAndTakeCheckedTexts) {
  int64_t before = journal_end();
  const std::string child = add_object(kFtp);
  EXPECT_EQ(child, std::string(kFtp.manager) + "/1");
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(MIB_CFG_FTP, MIB_ACTION_APPLY)));
  EXPECT_EQ(text(kFtp, child, "UserName"), "");
  EXPECT_EQ(text(kFtp, child, "Password"), "");
  EXPECT_EQ(mib::get_cell("ftpaccount", 1, "UserName"), "invalid1");
  EXPECT_THAT(syslog(),
              HasSubstr("going to [ftp_account_handle_object_mng_call] line ["));

  SignalWatcher changes(client(), "com.wqx.igd1.Properties", "PropertiesChanged", child.c_str());
  EXPECT_EQ(set_text(kFtp, child, "UserName", "not valid"),
            Error(kInvalidArgs, "Invalid parameter value"));
  EXPECT_EQ(set_text(kFtp, child, "Password", "invalid2"),
            Error(kInvalidArgs, "Invalid parameter Password"));
  // A value of another type is refused like a text the table refuses.
  EXPECT_EQ(set_multi(child, kFtp.interface, dictionary({{"UserName", g_variant_new_uint32(5)}})),
            Error(kInvalidArgs, "Invalid parameter value"));
  before = journal_end();
  ASSERT_EQ(set_text(kFtp, child, "UserName", "erin"), Error());
  EXPECT_EQ(text(kFtp, child, "UserName"), "erin");
  EXPECT_EQ(text(kFtp, child, "Password"), "");
  EXPECT_EQ(changes.next(), change_body("com.wqx.igd1.FTPAccount", "{'UserName': <'erin'>}"));
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(MIB_CFG_FTP, MIB_ACTION_APPLY)));

  // The same name again is stored, applied and announced again.
  before = journal_end();
  ASSERT_EQ(set_text(kFtp, child, "UserName", "erin"), Error());
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(MIB_CFG_FTP, MIB_ACTION_APPLY)));
  EXPECT_EQ(changes.next(), change_body("com.wqx.igd1.FTPAccount", "{'UserName': <'erin'>}"));
  mib::fail_accessor("ftpaccount_update_account");
  EXPECT_EQ(set_text(kFtp, child, "Password", "pw"),
            Error(kInvalidArgs, "ftp account db update failure"));
  EXPECT_EQ(mib::get_cell("ftpaccount", 1, "Password"), "invalid1");
  mib::clear_failures();

  // A second account cannot take the name.
  const std::string second = add_object(kFtp);
  EXPECT_EQ(set_text(kFtp, second, "UserName", "erin"),
            Error(kInvalidArgs, "Invalid parameter value"));

  // The exported writer checks a text for the row at a position and puts it
  // into the caller's copy; the copy stays the caller's to store.
  ftp_account_row row = {};
  ASSERT_EQ(ftpaccount_getuserinfo2(&row, 1), 1);
  int notify = -1;
  int changed = -1;
  g_autoptr(GError) error = nullptr;
  Variant erin(g_variant_ref_sink(g_variant_new_string("erin")));
  EXPECT_FALSE(ftp_account_set_props_func("UserName", erin.get(), &notify, &changed, &error,
                                          &row, 1));
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(error->message, "Invalid parameter value");
  EXPECT_EQ(notify + changed, 0);
  g_clear_error(&error);
  EXPECT_TRUE(ftp_account_set_props_func("UserName", erin.get(), &notify, &changed, &error, &row,
                                         0));
  EXPECT_STREQ(row.username, "erin");
  EXPECT_EQ(notify + changed, 2);
  EXPECT_EQ(mib::get_cell("ftpaccount", 2, "UserName"), "invalid2");
}

TEST_F(AccountsTest, FtpTableTakesSixAccountsAndKeepsADefaultWhenEmpty) {
  std::vector<std::string> children;
  for (int i = 0; i < FTP_ACCOUNT_MAX_ROWS; ++i) children.push_back(add_object(kFtp));
  EXPECT_EQ(children.back(), std::string(kFtp.manager) + "/6");
  EXPECT_EQ(add_failure(kFtp), Error(kManagerError, "ftp account table is full"));
  ASSERT_EQ(delete_object(kFtp, children[2]), Error());
  mib::fail_accessor("ftpaccount_set_account");
  EXPECT_EQ(add_failure(kFtp), Error(kManagerError, "AddObject NO idle index for ftp account"));
  EXPECT_THAT(syslog(), HasSubstr("]: add ftp account failed"));
  mib::clear_failures();
  // The lowest free number is taken again.
  EXPECT_EQ(add_object(kFtp), children[2]);

  EXPECT_EQ(delete_object(kFtp, "/com/wqx/igd1/Storage/Other/3"),
            Error(kManagerError, "path_name is error"));
  EXPECT_EQ(delete_object(kFtp, std::string(kFtp.manager) + "/9"),
            Error(kFailed, "this entry not exist"));
  for (const char *number : {"/01", "/1x", "/4294967297"})
    EXPECT_EQ(delete_object(kFtp, std::string(kFtp.manager) + number),
              Error(kManagerError, "DeleteObject object path error"))
        << number;
  for (const std::string &child : children) ASSERT_EQ(delete_object(kFtp, child), Error()) << child;

  // The bus shows no account; the table holds the default one.
  EXPECT_THAT(managed(kFtp), Not(HasSubstr(std::string(kFtp.manager) + "/")));
  ASSERT_EQ(ftpaccountinfo_get_property(0), 1);
  ftp_account_row row = {};
  ASSERT_EQ(ftpaccount_getuserinfo2(&row, 0), 1);
  EXPECT_STREQ(row.username, "ftpadmin");

  // The next account replaces it.
  EXPECT_EQ(add_object(kFtp), std::string(kFtp.manager) + "/1");
  ASSERT_EQ(ftpaccountinfo_get_property(0), 1);
  ASSERT_EQ(ftpaccount_getuserinfo2(&row, 0), 1);
  EXPECT_STREQ(row.username, "invalid1");
}

}  // namespace
}  // namespace igd1::test
