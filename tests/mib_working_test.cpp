// What the configuration library keeps for its callers across calls: the
// working records with their two snapshots, row handles, and the actions
// that speak bus values.
#include <cstring>
#include <iterator>
#include <string>

#include "mib_actions.h"
#include "mib_working.h"
#include "store_fixture.h"

namespace igd1::mib::test {
namespace {

using K = ValueKind;

constexpr Column kColumns[] = {{"Channel", K::U32, 4, 4}, {"SSID", K::Text, 8, 33}};
constexpr TableItem kItems[] = {{.column = 0, .low = 1, .high = 165}, {.column = 1}};
const char *no_empty_ssid(const uint8_t *row) { return row[8] == '\0' ? "SSID" : nullptr; }
std::vector<uint8_t> two_networks() {
  std::vector<uint8_t> rows(2 * 44, 0);
  rows[4] = 6;
  std::memcpy(&rows[8], "home", 5);
  rows[44 + 4] = 36;
  std::memcpy(&rows[44 + 8], "home-5g", 8);
  return rows;
}
constexpr TableSpec kSpec = {
    .def = {.name = "workingtest", .module = nullptr, .row_size = 44, .columns = kColumns,
            .column_count = std::size(kColumns), .max_rows = 4},
    .prefix = "workingtest",
    .items = kItems,
    .refused = no_empty_ssid,
    .seed_marker = "workingtest.Seeded",
    .seed = two_networks,
};

class WorkingTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_TRUE(table().init());
  }
  static Table &table() {
    static Table *table = new Table(kSpec);
    return *table;
  }
  static std::string ssid_of(const uint8_t *row) { return reinterpret_cast<const char *>(row + 8); }
  static uint32_t channel_of(const uint8_t *row) {
    uint32_t channel;
    std::memcpy(&channel, row + 4, sizeof channel);
    return channel;
  }
  static const uint8_t *stored(uint32_t instance) {
    return static_cast<const uint8_t *>(table().find(instance, nullptr)->data);
  }
};

// ---- working records ----

TEST_F(WorkingTest, RestoringAFailedMultiWriteKeepsTheSingleSnapshot) {
  WorkingRecords records(table());
  const uint32_t eleven = 11, forty = 40, too_high = 200;
  bool changed = false;
  ASSERT_TRUE(records.backup(Snapshot::Single, 0));
  ASSERT_TRUE(records.set(0, 0, &eleven, &changed));
  EXPECT_TRUE(changed);
  ASSERT_TRUE(records.backup(Snapshot::Multi, 0));
  ASSERT_TRUE(records.set(0, 1, "guest", &changed));
  ASSERT_TRUE(records.set(0, 0, &forty, &changed));
  EXPECT_FALSE(records.set(0, 0, &too_high, &changed));
  ASSERT_TRUE(records.restore(Snapshot::Multi, 0));
  EXPECT_EQ(channel_of(records.record(0)), 11u);
  EXPECT_EQ(ssid_of(records.record(0)), "home");
  EXPECT_FALSE(records.restore(Snapshot::Multi, 0));
  ASSERT_TRUE(records.restore(Snapshot::Single, 0));
  EXPECT_EQ(channel_of(records.record(0)), 6u);
  EXPECT_EQ(channel_of(stored(1)), 6u);  // nothing reached the store
}

TEST_F(WorkingTest, ACommitStoresTheWorkingRecordAndEndsIt) {
  WorkingRecords records(table());
  const uint32_t eleven = 11;
  bool changed = true;
  EXPECT_FALSE(records.set(1, 0, &eleven, &changed));  // no backup opened it
  EXPECT_STREQ(records.commit(1), "no working record");
  ASSERT_TRUE(records.backup(Snapshot::Multi, 1));
  ASSERT_TRUE(records.set(1, 1, "home-5g", &changed));
  EXPECT_FALSE(changed);
  ASSERT_TRUE(records.set(1, 0, &eleven, &changed));
  EXPECT_EQ(records.commit(1), nullptr);
  EXPECT_EQ(channel_of(stored(2)), 11u);
  EXPECT_EQ(records.record(1), nullptr);
  EXPECT_FALSE(records.restore(Snapshot::Multi, 1));
  EXPECT_FALSE(records.backup(Snapshot::Single, 2));  // no third row
}

TEST_F(WorkingTest, ARefusedCommitLeavesNothingForTheNextWrite) {
  WorkingRecords records(table());
  ASSERT_TRUE(records.backup(Snapshot::Single, 0));
  ASSERT_TRUE(records.set(0, 1, "", nullptr));
  EXPECT_STREQ(records.commit(0), "invalid SSID");
  EXPECT_EQ(ssid_of(stored(1)), "home");
  ASSERT_TRUE(records.backup(Snapshot::Single, 0));
  EXPECT_EQ(ssid_of(records.record(0)), "home");
  fail_accessor("workingtest_update_entry");
  EXPECT_STREQ(records.commit(0), "the table refused the row");
  EXPECT_EQ(records.record(0), nullptr);
}

// ---- row handles ----

TEST_F(WorkingTest, AHandleWritesItsOwnCopyUntilItCommits) {
  RowHandles handles(table());
  EXPECT_EQ(handles.create(3), nullptr);
  EXPECT_EQ(handles.create(0), nullptr);
  uint32_t position = 9;
  RowHandle handle = handles.create(2, &position);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(position, 1u);
  bool changed = false;
  ASSERT_TRUE(handles.write(handle, 1, "attic", &changed));
  EXPECT_TRUE(changed);
  char ssid[33] = "";
  ASSERT_TRUE(handles.read(handle, 1, ssid));
  EXPECT_STREQ(ssid, "attic");
  EXPECT_EQ(ssid_of(stored(2)), "home-5g");
  EXPECT_STREQ(handles.commit(handle, 0), "no row at position 0");
  EXPECT_EQ(handles.commit(handle, 1), nullptr);
  EXPECT_EQ(ssid_of(stored(2)), "attic");
  EXPECT_TRUE(handles.release(handle));
  EXPECT_EQ(handles.live(), 0u);
}

TEST_F(WorkingTest, AReleasedHandleIsRefusedAlsoOnceAnotherIsCreated) {
  RowHandles handles(table());
  RowHandle first = handles.create(1);
  ASSERT_TRUE(handles.release(first));
  RowHandle second = handles.create(1);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  const uint32_t channel = 1;
  char ssid[33] = "";
  EXPECT_FALSE(handles.read(first, 1, ssid));
  EXPECT_FALSE(handles.write(first, 0, &channel, nullptr));
  EXPECT_STREQ(handles.commit(first, 0), "released row handle");
  EXPECT_FALSE(handles.release(first));
  EXPECT_TRUE(handles.read(second, 1, ssid));
  EXPECT_STREQ(ssid, "home");
  EXPECT_EQ(channel_of(stored(1)), 6u);
  EXPECT_TRUE(handles.release(second));
}

// ---- actions ----

GVariant *echo(GVariant *parameter, GError **) {
  guint32 value = 0;
  g_variant_get(parameter, "(u)", &value);
  return g_variant_new("(u)", value + 1);
}
GVariant *count(GVariant *parameter, GError **) {
  return parameter == nullptr ? g_variant_new("(u)", 2u) : nullptr;
}
GVariant *busy(GVariant *, GError **error) {
  g_set_error(error, G_IO_ERROR, G_IO_ERROR_BUSY, "disk busy");
  return nullptr;
}
GVariant *silent(GVariant *, GError **) { return nullptr; }
constexpr Action kActions[] = {{1, "(u)", echo}, {23, nullptr, count}, {7, nullptr, busy},
                               {8, nullptr, silent}};
constexpr Actions kDispatcher("test_handle_action", kActions);

// The error of dispatching `code` with `parameter` (consumed), "" for none.
std::string refusal(uint32_t code, GVariant *parameter, int expected_code) {
  g_autoptr(GVariant) owned = parameter != nullptr ? g_variant_ref_sink(parameter) : nullptr;
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = kDispatcher.dispatch(code, owned, &error);
  if (reply != nullptr || error == nullptr) return "";
  EXPECT_EQ(error->code, expected_code);
  return error->message;
}

TEST_F(WorkingTest, ActionsRefuseUnknownCodesAndOtherParametersWithTheReason) {
  EXPECT_EQ(refusal(99, nullptr, int(ActionError::UnknownAction)),
            "test_handle_action: unknown action 99");
  EXPECT_EQ(refusal(1, g_variant_new("(i)", 4), int(ActionError::WrongParameter)),
            "test_handle_action: action 1 takes (u), not (i)");
  EXPECT_EQ(refusal(1, nullptr, int(ActionError::WrongParameter)),
            "test_handle_action: action 1 takes (u), not nothing");
  EXPECT_EQ(refusal(7, nullptr, G_IO_ERROR_BUSY), "disk busy");
  EXPECT_EQ(refusal(8, nullptr, int(ActionError::Failed)), "test_handle_action: action 8 failed");
  fail_accessor("test_handle_action", 1);
  EXPECT_EQ(refusal(1, g_variant_new("(u)", 4u), int(ActionError::Failed)),
            "test_handle_action: action 1 refused by an injected failure");

  GVariant *reply = reinterpret_cast<GVariant *>(0x1);
  EXPECT_EQ(kDispatcher.handle(99, nullptr, &reply), 0);
  EXPECT_EQ(reply, nullptr);
}

TEST_F(WorkingTest, AnActionsReplyBelongsToTheCaller) {
  g_autoptr(GVariant) four = g_variant_ref_sink(g_variant_new("(u)", 4u));
  GVariant *reply = nullptr;
  ASSERT_EQ(kDispatcher.handle(1, four, &reply), 1);
  EXPECT_FALSE(g_variant_is_floating(reply));
  guint32 value = 0;
  g_variant_get(reply, "(u)", &value);
  EXPECT_EQ(value, 5u);
  g_variant_unref(reply);
  // An action that takes nothing never sees a parameter given anyway.
  g_autoptr(GVariant) counted = kDispatcher.dispatch(23, four, nullptr);
  ASSERT_NE(counted, nullptr);
}

}  // namespace
}  // namespace igd1::mib::test
