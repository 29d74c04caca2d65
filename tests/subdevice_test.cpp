// Sub-devices over the bus: typed values read and written through the
// store's items, the two announced properties, the gateway's own optical
// measurement taken at every read and stored by the poll, deactivation, and
// a manager that refuses changes.

#include "mib_network_tables.h"
#include "object_client.h"
#include "subdeviceinfo.h"

namespace igd1::test {
namespace {

constexpr char kManager[] = "/com/wqx/igd1/Config/SubDeviceInfo";
constexpr char kUnit[] = "/com/wqx/igd1/Config/SubDeviceInfo/1";
constexpr char kInterface[] = "com.wqx.igd1.SubDeviceInfo";
constexpr ObjectUnderTest kFirstUnit{kUnit, kInterface};

class SubDeviceTest : public OneObjectTest<kFirstUnit> {
 protected:
  static std::string cell(const char *column, unsigned row = 1) {
    return BusTest::cell("subdevice", row, column);
  }
  double real(const char *name) {
    Variant value = get_property(kUnit, kInterface, name);
    return value ? g_variant_get_double(value.get()) : 0.0;
  }
  static uint64_t commits() { return BusTest::commits("subdevice"); }
  std::string deactivate(const char *path) {
    return answer(kUnit, kInterface, "DeactiveONU", g_variant_new("(o)", path));
  }
};

TEST_F(SubDeviceTest, OnlyNameAndIptvChangesAreAnnounced) {
  SignalWatcher changes(client(), "com.wqx.igd1.Properties", "PropertiesChanged", kUnit);
  ASSERT_EQ(write("DevName", g_variant_new_string("Bedroom")), Error());
  EXPECT_THAT(printed(changes.wait().body.get()), HasSubstr("'DevName': <'Bedroom'>"));
  EXPECT_EQ(changes.wait(200ms).body, nullptr);
  EXPECT_EQ(cell("DevName"), "Bedroom");

  ASSERT_EQ(write("OptRxPower", g_variant_new_double(-16.25)), Error());
  EXPECT_EQ(cell("OptRxPower"), "-16.25");
  EXPECT_EQ(changes.wait(200ms).body, nullptr);

  // One write of several: one signal with the announced entries only.
  ASSERT_EQ(set_multi(dictionary({{"DevName", g_variant_new_string("Guest room")},
                                  {"CPUUsage", g_variant_new_byte(9)},
                                  {"IPTVEnable", g_variant_new_boolean(true)}})),
            Error());
  const std::string body = printed(changes.wait().body.get());
  EXPECT_THAT(body, HasSubstr("'DevName': <'Guest room'>"));
  EXPECT_THAT(body, HasSubstr("'IPTVEnable': <true>"));
  EXPECT_THAT(body, Not(HasSubstr("CPUUsage")));
  EXPECT_EQ(changes.wait(200ms).body, nullptr);

  // The stored value again: nothing committed, nothing announced.
  const uint64_t before = commits();
  ASSERT_EQ(write("DevName", g_variant_new_string("Guest room")), Error());
  EXPECT_EQ(commits(), before);
  EXPECT_EQ(changes.wait(200ms).body, nullptr);
}

TEST_F(SubDeviceTest, TypedValuesKeepTheirTypesAndTheStoresRules) {
  const char *reads[][2] = {{"FlashSize", "uint32 134217728"}, {"CPUUsage", "byte 0x04"},
                            {"IPTVEnable", "false"}, {"VlanID", "43"}, {"OptVoltage", "3.29"},
                            {"MAC", "'a4:3e:51:1c:02:41'"}, {"Active", "true"}};
  for (const auto &[name, value] : reads) EXPECT_EQ(read(name), value) << name;

  ASSERT_EQ(write("MEMUsage", g_variant_new_byte(57)), Error());
  EXPECT_EQ(cell("MEMUsage"), "57");
  ASSERT_EQ(write("SysDuration", g_variant_new_uint32(90061)), Error());
  EXPECT_EQ(read("SysDuration"), "uint32 90061");
  EXPECT_EQ(write("CPUUsage", g_variant_new_byte(101)),
            Error(kInvalidArgs, "set property CPUUsage failed"));
  EXPECT_EQ(write("DevName", g_variant_new_string(std::string(64, 'n').c_str())),
            Error(kInvalidArgs, "set property DevName failed"));
  for (const char *read_only : {"MAC", "VlanID", "Active", "DnOptRxPower"})
    EXPECT_EQ(set_multi(dictionary({{read_only, g_variant_new_string("x")}})),
              Error(kInvalidArgs, std::string("invalid property ") + read_only))
        << read_only;

  // A refused commit fails the write and keeps the old value.
  mib::fail_accessor("subdeviceinfo_update_entry");
  EXPECT_EQ(write("FlashUsage", g_variant_new_byte(50)).first, "org.freedesktop.DBus.Error.Failed");
  mib::clear_failures();
  EXPECT_EQ(read("FlashUsage"), "byte 0x16");
  EXPECT_EQ(cell("FlashUsage"), "22");
}

// The gateway's own reading follows the unit's transmit power at every
// read; the poll stores it.  A new store holds the units as measured, so
// the first poll of an idle gateway writes nothing.
TEST_F(SubDeviceTest, OpticalMeasurementsAreTakenAtEveryReadAndStoredByThePoll) {
  EXPECT_EQ(cell("DnOptRxPower"), "-8.41");  // 2.1 dBm less 10.5 dB and 18 m of fibre
  EXPECT_EQ(cell("DnOptRxPower", 2), "-8.71");
  uint64_t before = commits();
  DnOpt_status(nullptr);
  EXPECT_EQ(commits(), before);

  EXPECT_DOUBLE_EQ(real("DnOptRxPower"), -8.41);
  EXPECT_EQ(read("OptErrStatus"), "false");
  // Too strong for the gateway's receiver.
  ASSERT_EQ(write("OptTxPower", g_variant_new_double(3.0)), Error());
  EXPECT_DOUBLE_EQ(real("DnOptRxPower"), -7.51);
  EXPECT_EQ(read("OptErrStatus"), "true");
  EXPECT_EQ(cell("DnOptRxPower"), "-8.41");

  DnOpt_status(nullptr);
  EXPECT_EQ(cell("DnOptRxPower"), "-7.51");
  EXPECT_EQ(cell("OptErrStatus"), "1");
  EXPECT_EQ(cell("DnOptRxPower", 2), "-8.71");
}

// The live sources of the main loop's context named `name`, each with a
// reference of its own.  Ids are handed out in increasing order, so every
// live source has an id below that of a source attached now.  Run on the
// loop thread.
std::vector<GSource *> loop_sources_named(const char *name) {
  GMainContext *context = g_main_context_default();
  GSource *probe = g_idle_source_new();
  const guint newest = g_source_attach(probe, context);
  g_source_destroy(probe);
  g_source_unref(probe);
  std::vector<GSource *> found;
  for (guint id = 1; id < newest; ++id) {
    GSource *source = g_main_context_find_source_by_id(context, id);
    if (source != nullptr && g_strcmp0(g_source_get_name(source), name) == 0)
      found.push_back(g_source_ref(source));
  }
  return found;
}

// The poll is one repeating timer of the main loop, a minute apart: moving
// its time to now makes the loop store the measurements, and the next run
// is a minute after that.
TEST_F(SubDeviceTest, ThePollIsAMinuteLongTimerThatTheMainLoopRuns) {
  constexpr gint64 kMinuteUs = 60 * G_USEC_PER_SEC;
  ASSERT_EQ(write("OptTxPower", g_variant_new_double(3.0)), Error());
  ASSERT_EQ(cell("DnOptRxPower"), "-8.41");

  std::vector<GSource *> polls;
  gint64 due_in = 0;
  loop_->run([&] {
    polls = loop_sources_named(kSubDevicePollName);
    if (polls.size() == 1) due_in = g_source_get_ready_time(polls[0]) - g_get_monotonic_time();
  });
  ASSERT_EQ(polls.size(), 1u);
  GSource *poll = polls[0];
  EXPECT_EQ(g_source_get_context(poll), g_main_context_default());
  EXPECT_GT(due_in, kMinuteUs - 10 * G_USEC_PER_SEC);
  EXPECT_LE(due_in, kMinuteUs);

  loop_->run([&] { g_source_set_ready_time(poll, 0); });
  EXPECT_TRUE(eventually([&] { return cell("DnOptRxPower") == "-7.51"; }));
  EXPECT_EQ(cell("OptErrStatus"), "1");

  bool repeats = false;
  loop_->run([&] {
    repeats = !g_source_is_destroyed(poll);
    due_in = g_source_get_ready_time(poll) - g_get_monotonic_time();
  });
  EXPECT_TRUE(repeats);
  EXPECT_GT(due_in, kMinuteUs - 10 * G_USEC_PER_SEC);
  EXPECT_LE(due_in, kMinuteUs);
  g_source_unref(poll);
}

TEST_F(SubDeviceTest, DeactivationAndRefusedManagerCalls) {
  EXPECT_EQ(deactivate("/com/wqx/igd1/Config/SubDeviceInfo/9"), "('no such device',)");
  EXPECT_EQ(deactivate("/com/wqx/igd1/Config/SubDeviceInfo/01"), "('no such device',)");
  EXPECT_EQ(deactivate(kUnit), "('success',)");
  EXPECT_EQ(read("Active"), "false");
  EXPECT_EQ(read("LastDownCause"), "'Deactivated by the gateway'");
  EXPECT_EQ(deactivate(kUnit), "('device is not active',)");

  EXPECT_EQ(add(kManager).second, Error(kManagerError, "No support add object !!"));
  EXPECT_EQ(remove(kManager, kUnit), Error(kManagerError, "No support delete object !!"));
  EXPECT_TRUE(mib::table_row(*mib::find_table("subdevice"), 1).has_value());
}

}  // namespace
}  // namespace igd1::test
