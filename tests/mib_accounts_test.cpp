// The configuration-library side of the Samba and FTP accounts: the FTP row
// limit, placeholders and default account, and the refusals the bus objects
// rely on (the text limits and the Telnet login are checked over the bus).

#include <cstring>

#include "mib_api.h"
#include "store_fixture.h"

namespace mib = igd1::mib;

namespace {

using AccountsStoreTest = igd1::mib::test::StoreTest;

ftp_account_row ftp_row(const char *user, const char *password) {
  ftp_account_row row = {};
  g_strlcpy(row.username, user, sizeof row.username);
  g_strlcpy(row.password, password, sizeof row.password);
  return row;
}

// Adds placeholder accounts the way the FTP object does: "invalid<n>".
void add_placeholder(uint32_t instance) {
  const std::string text = "invalid" + std::to_string(instance);
  ftp_account_row row = ftp_row(text.c_str(), text.c_str());
  ASSERT_EQ(ftpaccount_set_account(&row, instance), 1) << instance;
  EXPECT_EQ(row.instnum, instance);
}

TEST_F(AccountsStoreTest, FtpTableHoldsAtMostSixRowsUnderTheirOwnInstanceNumbers) {
  for (uint32_t instance : {7u, 2u, 40u, 3u, 99u, 5u}) add_placeholder(instance);
  EXPECT_EQ(ftpaccountinfo_get_property(0), FTP_ACCOUNT_MAX_ROWS);
  ftp_account_row row = ftp_row("one", "more");
  EXPECT_EQ(ftpaccount_set_account(&row, 8), 0);

  // Positions follow the table; the instance numbers are the callers'.
  EXPECT_EQ(ftpaccount_getindex(0), 7u);
  EXPECT_EQ(ftpaccount_getindex(5), 5u);
  EXPECT_EQ(ftpaccount_getindex(6), 0u);
  uint32_t instance = 0;
  EXPECT_EQ(ftpaccount_compare_index(&row, 1, &instance, 2), 1);
  EXPECT_EQ(ftpaccount_compare_index(&row, 1, &instance, 7), 0);
  EXPECT_EQ(instance, 2u);
  EXPECT_STREQ(row.username, "invalid2");

  // Removing needs the row's own instance number; the rows after it move up.
  row.instnum = 9;
  EXPECT_EQ(ftpaccountinfo_set_property(4, &row, 1), 0);
  row.instnum = 2;
  EXPECT_EQ(ftpaccountinfo_set_property(3, &row, 1), 0);
  ASSERT_EQ(ftpaccountinfo_set_property(4, &row, 1), 1);
  EXPECT_EQ(ftpaccount_getindex(1), 40u);

  // A taken instance number is refused even with room in the table.
  row = ftp_row("again", "again");
  EXPECT_EQ(ftpaccount_set_account(&row, 40), 0);
  EXPECT_EQ(ftpaccount_set_account(&row, 0), 0);
  EXPECT_EQ(ftpaccount_set_account(&row, 2), 1);
  int position = -1;
  ASSERT_EQ(ftpaccount_getuserinfo(2, &row, &position), 1);
  EXPECT_STREQ(row.password, "again");
  EXPECT_EQ(ftpaccount_getindex(position), 2u);
}

TEST_F(AccountsStoreTest, FtpDefaultAccountStandsInAndGoesAgain) {
  EXPECT_EQ(ftpaccount_delete_default(), 0);
  ASSERT_EQ(ftpaccount_add_default(), 1);
  ASSERT_EQ(ftpaccount_add_default(), 1);  // still one default account
  ASSERT_EQ(ftpaccountinfo_get_property(0), 1);
  EXPECT_EQ(ftpaccount_getindex(0), 1u);

  add_placeholder(2);
  ASSERT_EQ(ftpaccount_delete_default(), 1);
  ASSERT_EQ(ftpaccountinfo_get_property(0), 1);
  EXPECT_EQ(ftpaccount_getindex(0), 2u);

  // Edited by a user, the default account becomes an ordinary one.
  ASSERT_EQ(ftpaccount_add_default(), 1);
  ftp_account_row row = {};
  int position = -1;
  ASSERT_EQ(ftpaccount_getuserinfo(1, &row, &position), 1);
  g_strlcpy(row.username, "alice", sizeof row.username);
  ASSERT_EQ(ftpaccount_update_account(&row, position), 1);
  EXPECT_EQ(ftpaccount_delete_default(), 0);
  EXPECT_EQ(ftpaccountinfo_get_property(0), 2);
}

TEST_F(AccountsStoreTest, FtpChecksRefusePlaceholdersAndTakenNames) {
  add_placeholder(1);
  ftp_account_row row = ftp_row("bob", "pw");
  ASSERT_EQ(ftpaccount_set_account(&row, 2), 1);
  const std::string longest(FTP_ACCOUNT_FIELD_SIZE - 1, 'a');
  const std::string too_long(FTP_ACCOUNT_FIELD_SIZE, 'a');
  const struct {
    int which;
    const char *text;
    int position;
    int accepted;
  } cases[] = {
      {0, "carol", 0, 1},     {0, "bob", 0, 0},           {0, "bob", 1, 1},
      {0, "invalid7", 0, 0},  {1, "myinvalidpw", 0, 0},   {0, "", 0, 0},
      {0, "two words", 0, 0}, {0, "a/b", 0, 0},           {1, "p@ss/w0rd!", 0, 1},
      {1, "pass word", 0, 0}, {0, longest.c_str(), 0, 1}, {0, too_long.c_str(), 0, 0},
      {2, "carol", 0, 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(ftpaccount_set_property_check(c.which, c.text, c.position), c.accepted)
        << c.which << " '" << c.text << "' at " << c.position;

  // An update keeps the instance number of its position.
  ASSERT_EQ(ftpaccount_getuserinfo2(&row, 0), 1);
  row.instnum = 2;
  EXPECT_EQ(ftpaccount_update_account(&row, 0), 0);
  std::memset(row.username, 'x', sizeof row.username);  // not terminated
  row.instnum = 1;
  EXPECT_EQ(ftpaccount_update_account(&row, 0), 0);
}

TEST_F(AccountsStoreTest, SambaUpdateRefusesATakenNameAndAGoneRow) {
  ASSERT_EQ(sambaAccount_insert_entry(nullptr), 1u);
  ASSERT_EQ(sambaAccount_insert_entry(nullptr), 2u);
  uint8_t row[SAMBA_ACCOUNT_ROW_SIZE] = {1};
  ASSERT_EQ(sambaAccount_set_mib_property(0, "dave", row), 1);
  const char *reason = nullptr;
  ASSERT_EQ(sambaAccount_update_entry(row, 0, &reason, 0), 1);

  row[0] = 2;
  EXPECT_EQ(sambaAccount_update_entry(row, 1, &reason, 0), 0);
  EXPECT_STREQ(reason, "user name dave is taken by account 1");
  EXPECT_EQ(sambaAccount_update_entry(row, 0, &reason, 0), 0);  // position 0 is account 1
  EXPECT_STREQ(reason, "account 2 does not exist");

  uint32_t position = 0;
  mib_list_node *node = sambaAccount_get_list_by_instnum(1, &position);
  ASSERT_EQ(sambaAccount_remove_entry(position, node), 1);
  EXPECT_EQ(sambaAccount_get_instnum(), 1u);
  EXPECT_EQ(sambaAccount_get_list_by_instnum(1, nullptr), nullptr);
}

}  // namespace
