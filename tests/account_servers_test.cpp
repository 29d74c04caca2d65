// The Samba, Telnet and FTP server objects over the bus, against the store.

#include "harness/bus_fixture.h"
#include "mib_api.h"

namespace igd1::test {
namespace {

constexpr auto kQuiet = std::chrono::milliseconds(200);

struct Server {
  const char *path;
  const char *interface;
};
constexpr Server kSamba = {"/com/wqx/igd1/Storage/SambaServer", "com.wqx.igd1.SambaServer"};
constexpr Server kTelnet = {"/com/wqx/igd1/Network/Telnetserver", "com.wqx.igd1.TelnetServer"};
constexpr Server kFtp = {"/com/wqx/igd1/Storage/Ftpserver", "com.wqx.igd1.FTPServer"};

class AccountServersTest : public BusTest {
 protected:
  std::string get(const Server &server, const char *name) {
    return shown(server.path, server.interface, name);
  }
  Error set_failure(const Server &server, const char *name, GVariant *value) {
    return write(server.path, server.interface, name, value);
  }
  std::vector<std::string> notice_data_since(int64_t seq) {
    std::vector<std::string> data;
    for (const auto &entry : mib::journal(seq)) data.push_back(entry.data);
    return data;
  }
};

TEST_F(AccountServersTest, ReadsGiveFixedPortsStoredValuesOrTheFailedStoreEntry) {
  ASSERT_TRUE(mib::set_setting("samba.AllowAnonymous", "1"));
  mib::fail_accessor("telnetserverinfo_get_property");
  mib::fail_accessor("ftpserverinfo_get_property");
  const struct { const Server &server; const char *name, *expected; } reads[] = {
      {kTelnet, "LANPort", "uint32 23"}, {kTelnet, "WANPort", "uint32 23"}, {kFtp, "Port", "uint32 21"},
      {kSamba, "AllowAnonymous", "true"}, {kSamba, "Anonymous", "true"},
      {kTelnet, "Enable", "error: mib_get MIB_ACC_TBL failed!"},
      {kFtp, "Enable", "error: mib get MIB_VSFTP_ENABLE failed"},
      {kFtp, "AllowAnonymous", "error: mib get MIB_VSFTP_ANNONYMOUS failed"},
  };
  for (const auto &r : reads) EXPECT_EQ(get(r.server, r.name), r.expected) << r.name;
  EXPECT_EQ(set_failure(kTelnet, "Enable", g_variant_new_byte(2)),
            InvalidArgs("get MIB_ACC_TBL failed"));
}

TEST_F(AccountServersTest, TelnetAppliesOnlyAModeThatChanges) {
  SignalWatcher watcher(client(), kProps, "PropertiesChanged", kTelnet.path);
  ASSERT_TRUE(mib::set_setting("telnet.Enable", "1"));
  int64_t before = journal_end();
  EXPECT_EQ(set_failure(kTelnet, "Enable", g_variant_new_byte(4)),
            InvalidArgs("Invalid parameter value"));
  ASSERT_TRUE(set_property(kTelnet.path, kTelnet.interface, "Enable", g_variant_new_byte(1)));
  EXPECT_THAT(notices_since(before), IsEmpty());
  EXPECT_FALSE(watcher.wait(kQuiet).body);

  ASSERT_TRUE(set_property(kTelnet.path, kTelnet.interface, "Enable", g_variant_new_byte(3)));
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(MIB_CFG_TELNET, MIB_ACTION_APPLY)));
  EXPECT_THAT(notice_data_since(before), ElementsAre("Enable=3"));
  EXPECT_EQ(watcher.next(), change_body("com.wqx.igd1.TelnetServer", "{'Enable': <byte 0x03>}"));
  EXPECT_EQ(get(kTelnet, "Enable"), "byte 0x03");
}

TEST_F(AccountServersTest, TelnetMultiWriteLogsTheModeAndApplies) {
  int64_t before = journal_end();
  ASSERT_EQ(set_multi(kTelnet.path, kTelnet.interface,
                      dictionary({{"Enable", g_variant_new_byte(2)}})), Error());
  EXPECT_EQ(mib::get_setting("telnet.Enable"), "2");
  EXPECT_THAT(notice_data_since(before), ElementsAre("Enable=2"));
  EXPECT_THAT(syslog(), HasSubstr("set multi:enable [2]."));
}

TEST_F(AccountServersTest, FtpAppliesAndAnnouncesEveryAcceptedWrite) {
  SignalWatcher watcher(client(), kProps, "PropertiesChanged", kFtp.path);
  ASSERT_TRUE(mib::set_setting("ftp.Enable", "1"));
  int64_t before = journal_end();
  EXPECT_EQ(set_failure(kFtp, "Enable", g_variant_new_byte(4)),
            InvalidArgs("Invalid parameter value"));
  // The stored value again, then a new one: both applied, both announced.
  ASSERT_TRUE(set_property(kFtp.path, kFtp.interface, "Enable", g_variant_new_byte(1)));
  ASSERT_TRUE(
      set_property(kFtp.path, kFtp.interface, "AllowAnonymous", g_variant_new_boolean(TRUE)));
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(MIB_CFG_FTP, MIB_ACTION_APPLY),
                                                 Pair(MIB_CFG_FTP, MIB_ACTION_APPLY)));
  EXPECT_THAT(notice_data_since(before), ElementsAre("Enable=1", "AllowAnonymous=1"));
  for (const char *expected : {"{'Enable': <byte 0x01>}", "{'AllowAnonymous': <true>}"})
    EXPECT_THAT(printed(watcher.wait().body.get()), HasSubstr(expected));
  EXPECT_EQ(mib::get_setting("ftp.AllowAnonymous"), "1");
}

TEST_F(AccountServersTest, SambaAnnouncesAndAppliesOnlyChanges) {
  // Start-up applied the whole configuration once.
  bool applied_at_start = false;
  for (const auto &entry : mib::journal())
    applied_at_start |=
        entry.bit == MIB_CFG_SAMBA && entry.data.find("accounts=0") != std::string::npos;
  EXPECT_TRUE(applied_at_start);

  SignalWatcher watcher(client(), kProps, "PropertiesChanged", kSamba.path);
  int64_t before = journal_end();
  ASSERT_TRUE(
      set_property(kSamba.path, kSamba.interface, "AllowAnonymous", g_variant_new_boolean(FALSE)));
  EXPECT_FALSE(watcher.wait(kQuiet).body);
  EXPECT_THAT(notices_since(before), IsEmpty());

  ASSERT_TRUE(
      set_property(kSamba.path, kSamba.interface, "Anonymous", g_variant_new_boolean(TRUE)));
  EXPECT_EQ(watcher.next(), change_body("com.wqx.igd1.SambaServer", "{'Anonymous': <true>}"));
  EXPECT_THAT(notice_data_since(before), ElementsAre("Enable=1 AllowAnonymous=1"));

  mib::fail_accessor("sambaserverinfo_set_progerty", 0);
  EXPECT_EQ(set_failure(kSamba, "Enable", g_variant_new_byte(0)), InvalidArgs("set Enable fail"));
  EXPECT_EQ(get(kSamba, "Enable"), "byte 0x01");
}

}  // namespace
}  // namespace igd1::test
