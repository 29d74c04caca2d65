// The FTP default account across a restart of igd1d: it stays out of sight,
// and the next AddObject takes it out of the table, as without the restart.

#include <signal.h>

#include "harness/bus_fixture.h"
#include "mib_api.h"

namespace igd1::test {
namespace {

constexpr char kManager[] = "/com/wqx/igd1/Storage/Ftpserver/Accounts";
// AddObject's reply when it made the first account.
const std::string kFirstAdded = std::string("(objectpath '") + kManager + "/1',)";

class FtpRestartTest : public DaemonTest {
 protected:
  // The reply printed, or "error: <name>".
  std::string printed_call(const std::string &path, const char *interface, const char *method, GVariant *args) {
    g_autoptr(GError) error = nullptr;
    Variant reply = call(path, interface, method, args, &error, 5000);
    return reply != nullptr ? printed(reply.get()) : "error: " + remote_error(error).first;
  }
  std::string manager_call(const char *method, GVariant *args) {
    return printed_call(kManager, "com.wqx.igd1.ObjectManager", method, args);
  }
  std::string managed() {
    return printed_call(kManager, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", nullptr);
  }
  // A run of igd1d that adds an account and deletes it again.
  void add_and_delete_in_a_first_run() {
    DaemonProcess daemon({"--root", root_.dir()});
    ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
    ASSERT_EQ(manager_call("AddObject", nullptr), kFirstAdded);
    ASSERT_EQ(manager_call("DeleteObject", g_variant_new("(o)", (std::string(kManager) + "/1").c_str())),
              "()");
    EXPECT_EQ(daemon.stop(SIGTERM), 0);
  }
  // The user names in the table, in position order.
  std::string stored_names() {
    EXPECT_TRUE(mib::open_store(root_.path(path::kStoreFile)));
    std::string names;
    const int count = ftpaccountinfo_get_property(0);
    for (int position = 0; position < count; ++position) {
      ftp_account_row row = {};
      if (ftpaccount_getuserinfo2(&row, position) != 0) names += std::string(row.username) + ";";
    }
    mib::close_store();
    return names;
  }
};

TEST_F(FtpRestartTest, DefaultAccountStaysHiddenAndGivesWayAfterARestart) {
  ASSERT_NO_FATAL_FAILURE(add_and_delete_in_a_first_run());
  EXPECT_EQ(stored_names(), "ftpadmin;");
  {
    DaemonProcess daemon({"--root", root_.dir()});
    ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
    EXPECT_THAT(managed(), Not(HasSubstr(std::string(kManager) + "/")));
    EXPECT_THAT(printed_call(std::string(kManager) + "/1", "org.freedesktop.DBus.Properties",
                     "GetAll", g_variant_new("(s)", "com.wqx.igd1.FTPAccount")),
                HasSubstr("error: "));
    EXPECT_EQ(manager_call("AddObject", nullptr), kFirstAdded);
    EXPECT_EQ(daemon.stop(SIGTERM), 0);
  }
  EXPECT_EQ(stored_names(), "invalid1;");
}

// An AddObject whose insert fails after the default account was taken out
// of the table leaves the default there: after the error, and after a
// restart, where the next AddObject takes it out as usual.
TEST_F(FtpRestartTest, AFailedAddObjectKeepsTheDefaultAccount) {
  ASSERT_NO_FATAL_FAILURE(add_and_delete_in_a_first_run());
  ASSERT_EQ(stored_names(), "ftpadmin;");
  {
    setenv("IGD1_MIB_FAIL", "ftpaccount_set_account", 1);
    DaemonProcess daemon({"--root", root_.dir()});
    unsetenv("IGD1_MIB_FAIL");
    ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
    EXPECT_EQ(manager_call("AddObject", nullptr), "error: com.wqx.igd1.ObjectManager.Error");
    EXPECT_THAT(managed(), Not(HasSubstr(std::string(kManager) + "/")));
    EXPECT_EQ(daemon.stop(SIGKILL), 128 + SIGKILL);
  }
  EXPECT_EQ(stored_names(), "ftpadmin;");
  {
    DaemonProcess daemon({"--root", root_.dir()});
    ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
    EXPECT_EQ(manager_call("AddObject", nullptr), kFirstAdded);
    EXPECT_EQ(daemon.stop(SIGTERM), 0);
  }
  EXPECT_EQ(stored_names(), "invalid1;");
}

}  // namespace
}  // namespace igd1::test
