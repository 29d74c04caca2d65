// The operations-and-maintenance object and its watch lists over the bus,
// reading a made-up kernel (process table, thermal zone, connection
// tracking, memory) under a folder of the test's own.
#include <glib/gstdio.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "mib_diag.h"
#include "object_client.h"
#include "omdiag_watch.h"

namespace igd1::test {
namespace {

constexpr ObjectUnderTest kOmd{"/com/wqx/igd1/Ovatrix/OMDiag", "com.wqx.igd1.OMDiag"};
constexpr char kResources[] = "/com/wqx/igd1/Ovatrix/OMDiag/Resource";
constexpr char kProcesses[] = "/com/wqx/igd1/Ovatrix/OMDiag/Process";
constexpr char kResource[] = "com.wqx.igd1.OMDiagResource";
constexpr char kProcess[] = "com.wqx.igd1.OMDiagProcess";
constexpr char kNoIdleIndex[] = "AddObject NO idle index for MIB_PROCESS_EXCEP_TBL";

std::string invalid(const std::string &message) {
  return "<org.freedesktop.DBus.Error.InvalidArgs: " + message + ">";
}

// A kernel of the test's own: files below a temporary folder.
class FakeKernel {
 public:
  FakeKernel() : dir_(g_dir_make_tmp("igd1-kernel-XXXXXX", nullptr)) {
    set_kernel_root_dir(dir_);
    put("/proc/meminfo", "MemTotal:        1000000 kB\nMemFree:          500000 kB\n");
    put("/proc/sys/net/netfilter/nf_conntrack_count", "1234\n");
    put("/proc/sys/net/netfilter/nf_conntrack_max", "65536\n");
    put("/sys/class/thermal/thermal_zone0/type", "acpitz\n");
    put("/sys/class/thermal/thermal_zone1/type", "x86_pkg_temp\n");
    put("/sys/class/thermal/thermal_zone1/temp", "47600\n");
  }
  ~FakeKernel() {
    set_kernel_root_dir("");
    run_program({"rm", "-rf", dir_}, {});
  }
  void put(const std::string &file, const std::string &text) const {
    const std::string path = dir_ + file;
    g_autofree gchar *folder = g_path_get_dirname(path.c_str());
    g_mkdir_with_parents(folder, 0755);
    write_text_file(path, text);
  }
  void drop(const std::string &file) const { g_unlink((dir_ + file).c_str()); }
  // A process with its stat file as the kernel writes it.
  void process(uint32_t pid, const std::string &name, uint64_t start, uint64_t cpu_ticks = 0,
               uint64_t rss_pages = 100, uint32_t threads = 1) const {
    put("/proc/" + std::to_string(pid) + "/stat",
        std::to_string(pid) + " (" + name + ") S 1 1 1 0 -1 4194560 10 0 0 0 " +
            std::to_string(cpu_ticks) + " 0 0 0 20 0 " + std::to_string(threads) + " 0 " +
            std::to_string(start) + " 1000000 " + std::to_string(rss_pages) + " 18446744073709551615\n");
  }

 private:
  std::string dir_;
};

class OMDiagTest : public ObjectTest {
 protected:
  using BusTest::set_multi;
  using BusTest::write;
  using ObjectTest::set_multi;
  using ObjectTest::write;
  // The rounds the tests make are the only ones.
  void SetUp() override {
    ObjectTest::SetUp();
    mib::service_watch().stop();
  }
  std::string resource(unsigned row, const char *property) {
    return shown(std::string(kResources) + "/" + std::to_string(row), kResource, property);
  }
  std::string call_omd(const char *method, GVariant *args) { return invoke(kOmd, method, args); }

  FakeKernel kernel_;
};

// Each reading as the machine shows it, and the emulated board's where the
// machine lacks the kernel file; a failed action answers the Part's text.
TEST_F(OMDiagTest, ReadingsComeFromTheMachineOrTheBoard) {
  EXPECT_EQ(read(kOmd, "CPUTemperature"), "uint32 48");
  EXPECT_EQ(read(kOmd, "ConntrackNumber"), "uint32 1234");
  EXPECT_EQ(read(kOmd, "LAN1NegoRate"), "uint32 1000");
  EXPECT_EQ(read(kOmd, "LAN2NegoRate"), "uint32 0") << "port 2 has no link";
  EXPECT_EQ(read(kOmd, "LAN3NegoRate"), "uint32 100");
  EXPECT_EQ(read(kOmd, "DnOptTxPower"), "2.1000000000000001") << "the PON module's reading";
  kernel_.drop("/sys/class/thermal/thermal_zone1/temp");
  kernel_.drop("/proc/sys/net/netfilter/nf_conntrack_count");
  EXPECT_EQ(read(kOmd, "CPUTemperature"), "uint32 52");
  EXPECT_EQ(read(kOmd, "ConntrackNumber"), "uint32 356");

  const struct {
    const char *name;
    int code;
    const char *error;
  } failures[] = {
      {"CPUTemperature", 6, "Get OMD OMDIAG_GETCPUTEMP failed!"},
      {"CPUTempThreshold", 17, "Get OMD CPUTempThreshold failed!"},
      {"SystemFlashThreshold", 19, "Get OMD OMDIAG_SETSYSTEMFLASHTHRESHOLD failed!"},
      {"LAN4NegoRate", 11, "Get OMD OMDIAG_GETLAN4PORTRATE failed!"},
      {"DnOptRxPWRThresholdL", 47, "Get OMD OMDIAG_GETDNOPTRXPWRTHRESHOLDL failed!"},
  };
  for (const auto &f : failures) {
    SCOPED_TRACE(f.name);
    mib::fail_accessor("OMDiag_handle_action", f.code);
    EXPECT_EQ(read(kOmd, f.name), invalid(f.error));
    mib::clear_failures();
  }
  EXPECT_THAT(syslog(),
              HasSubstr("mib_get OMD OMDIAG_GETDNOPTRXPWRTHRESHOLDL failed!"));
}

// Writes go to the store through their action and are never announced; a
// refused value, and a multi-write's first refused entry, answer "Invalid
// parameter value" with the entries before it kept.
TEST_F(OMDiagTest, ThresholdsAreCheckedStoredAndNotAnnounced) {
  SignalWatcher changes(client(), "org.freedesktop.DBus.Properties", "PropertiesChanged", kOmd.path);
  EXPECT_EQ(write(kOmd, "CPUTempThreshold", "uint32 90"), Failure());
  EXPECT_EQ(read(kOmd, "CPUTempThreshold"), "uint32 90");
  EXPECT_EQ(setting("omdiag.CPUTempThreshold"), "90");
  EXPECT_EQ(write(kOmd, "PONTempThreshold", "uint32 126"), InvalidArgs("Invalid parameter value"));
  EXPECT_EQ(write(kOmd, "ConnNumThreshold", "uint32 65537"), InvalidArgs("Invalid parameter value"))
      << "above the kernel's table";
  EXPECT_EQ(write(kOmd, "ConnNumThreshold", "uint32 65536"), Failure());
  EXPECT_EQ(write(kOmd, "DnOptRxPWRThresholdH", "-30.0"), InvalidArgs("Invalid parameter value"))
      << "below its low threshold";
  EXPECT_EQ(write(kOmd, "DnOptTxPWREnable", "true"), Failure());
  EXPECT_EQ(read(kOmd, "DnOptTxPWREnable"), "true");
  EXPECT_EQ(set_multi(kOmd, dictionary({{"ConntrackNumber", g_variant_new_uint32(1)}})),
            InvalidArgs("invalid property ConntrackNumber"));
  EXPECT_EQ(set_multi(kOmd, dictionary({{"SystemFlashThreshold", g_variant_new_uint32(80)},
                                        {"CPUTempThreshold", g_variant_new_uint32(200)},
                                        {"PONTempThreshold", g_variant_new_uint32(60)}})),
            InvalidArgs("Invalid parameter value"));
  EXPECT_EQ(read(kOmd, "SystemFlashThreshold"), "uint32 80");
  EXPECT_EQ(read(kOmd, "PONTempThreshold"), "uint32 70");
  mib::fail_accessor("OMDiag_handle_action", 14);
  EXPECT_EQ(write(kOmd, "SystemFlashThreshold", "uint32 70"), InvalidArgs("Invalid parameter value"));
  EXPECT_EQ(changes.next(300ms), "<null>");
}

// The methods hand their arguments to the store; a service name that could
// reach outside the process table is refused and runs nothing.
TEST_F(OMDiagTest, ServiceMethodsReadTheProcessTable) {
  kernel_.process(310, "dnsmasq", 9000, 12, 200, 1);
  kernel_.process(120, "dnsmasq", 4000, 5, 300, 2);
  kernel_.process(77, "ntpd", 100);
  kernel_.process(501, "odd) name", 100);
  kernel_.process(502, "hostapd", 100);
  EXPECT_EQ(call_omd("GetServicePID", g_variant_new("(s)", "dnsmasq")), "(uint32 120,)")
      << "the oldest process of the service";
  EXPECT_EQ(call_omd("GetServicePID", g_variant_new("(s)", "telnetd")), "(uint32 0,)");
  const long page_kb = sysconf(_SC_PAGESIZE) / 1024;
  EXPECT_EQ(call_omd("GetServiceProcess", g_variant_new("(s)", "dnsmasq")),
            "([(uint32 120, 'dnsmasq', uint32 " + std::to_string(300 * page_kb) +
                ", uint32 2), (310, 'dnsmasq', " + std::to_string(200 * page_kb) + ", 1)],)");
  EXPECT_THAT(call_omd("GetServiceProcess", g_variant_new("(s)", "")), HasSubstr("'odd) name'"));
  EXPECT_EQ(call_omd("GetWiFiProcess", nullptr), "([(uint32 502, 'hostapd')],)");
  EXPECT_THAT(call_omd("CollectWiFiInfo", nullptr), StartsWith("(uint32 0, 'status=1;mode="));
  for (const std::string &name : std::vector<std::string>{"../1", "a/b", "x;reboot", "$(id)", "..", "",
                                                          std::string(300, 'a')}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(call_omd("GetServicePID", g_variant_new("(s)", name.c_str())),
              "<com.wqx.igd1.OMDiag: Invalid parameter value>");
  }
  EXPECT_EQ(read_text_file(root().path(path::kStandinLog)), "") << "no program ran";
  mib::fail_accessor("OMDiag_handle_action", 39);
  EXPECT_EQ(call_omd("GetServicePID", g_variant_new("(s)", "ntpd")),
            "<com.wqx.igd1.OMDiag: Invalid parameter value>");
}

// The seeded rows are published at start-up; a new row is numbered by the
// store and named "invalid<n>"; a single write keeps 32 characters of a
// name, a multi-write sends all three fields; DeleteObject takes the row.
TEST_F(OMDiagTest, ResourceListAddsWritesAndDeletesRows) {
  EXPECT_EQ(resource(1, "ServiceName"), "'dnsmasq'");
  EXPECT_EQ(resource(3, "MEMPercentage"), "uint32 5");
  const std::string child = add_child(kResources);
  EXPECT_EQ(child, std::string(kResources) + "/4");
  EXPECT_EQ(resource(4, "ServiceName"), "'invalid4'");
  EXPECT_EQ(cell("omdiag_resource", 4, "ServiceName"), "invalid4");

  const std::string forty(40, 'd');
  EXPECT_EQ(write(child, kResource, "ServiceName", g_variant_new_string(forty.c_str())), Error());
  EXPECT_EQ(resource(4, "ServiceName"), "'" + forty.substr(0, 32) + "'");
  EXPECT_EQ(write(child, kResource, "CPUPercentage", g_variant_new_uint32(101)),
            InvalidArgs("Invalid parameter value"));
  EXPECT_EQ(write(child, kResource, "MEMPercentage", g_variant_new_uint32(25)), Error());
  EXPECT_EQ(write(child, kResource, "ServiceName", g_variant_new_string("a;b")),
            InvalidArgs("Invalid parameter value"));

  EXPECT_EQ(set_multi(child, kResource, dictionary({{"CPUPercentage", g_variant_new_uint32(55)}})),
            Error());
  EXPECT_EQ(resource(4, "CPUPercentage"), "uint32 55");
  EXPECT_EQ(resource(4, "MEMPercentage"), "uint32 0") << "an absent field is sent as 0";
  EXPECT_EQ(resource(4, "ServiceName"), "'" + forty.substr(0, 32) + "'")
      << "an empty name keeps the stored one";

  EXPECT_EQ(remove(kResources, std::string(kResources) + "/x"),
            Error(kManagerError, "DeleteObject object path error"));
  mib::fail_accessor("OMDiag_handle_action", 29);
  EXPECT_EQ(remove(kResources, child), Error(kManagerError, "OMDIAG_RESOURCECHECKINSTUM failed!"));
  mib::clear_failures();
  EXPECT_EQ(remove(kResources, child), Error());
  EXPECT_EQ(cell("omdiag_resource", 4, "ServiceName"), "<missing>");
  EXPECT_THAT(managed(kResources), Not(HasSubstr("Resource/4")));
  EXPECT_EQ(get_all(std::string(kResources) + "/2", kResource),
            "({'ServiceName': <'igd1d'>, 'CPUPercentage': <uint32 40>, 'MEMPercentage': <uint32 20>},)");
}

// Index 100 from the store is a full table on both lists; the process list
// asks for its row count before every change.
TEST_F(OMDiagTest, FullTablesAndFailedStepsAnswerTheManagerError) {
  for (const char *table : {"omdiag_resource", "omdiag_process"}) {
    const mib::TableDef *def = mib::find_table(table);
    ASSERT_NE(def, nullptr);
    std::vector<uint8_t> row(def->row_size, 0);
    std::memcpy(row.data() + 4, "filler", 6);
    for (uint32_t index = 1; index < kOmdTableFull; ++index) {
      row[0] = uint8_t(index);
      if (!mib::table_row(*def, index).has_value()) {
        ASSERT_TRUE(mib::table_insert_at(*def, row.data()));
      }
    }
  }
  EXPECT_EQ(add(kResources).second, Error(kManagerError, kNoIdleIndex));
  EXPECT_EQ(add(kProcesses).second, Error(kManagerError, kNoIdleIndex));
  const std::string log = syslog();
  EXPECT_THAT(log, HasSubstr("NO idle index for MIB_CPUMEM_INFO_TBL"));
  EXPECT_THAT(log, HasSubstr("NO idle index for MIB_PROCESS_EXCEP_TBL"));

  ASSERT_TRUE(mib::table_remove(*mib::find_table("omdiag_process"), 50));
  mib::fail_accessor("OMDiag_handle_action", 24);
  EXPECT_EQ(add(kProcesses).second, Error(kManagerError, "mib_get OMD OMDIAG_GETPROCESSNUM failed!"));
  EXPECT_EQ(remove(kProcesses, std::string(kProcesses) + "/1"),
            Error(kManagerError, "mib_get OMD OMDIAG_GETPROCESSNUM failed!"));
  mib::clear_failures();
  mib::fail_accessor("OMDiag_handle_action", 28);
  EXPECT_EQ(add(kProcesses).second, Error(kManagerError, "Get OMD Process Free index failed!"));
  EXPECT_FALSE(mib::table_row(*mib::find_table("omdiag_process"), 50).has_value())
      << "nothing was created";
  mib::clear_failures();
  EXPECT_EQ(add(kProcesses), std::make_pair(std::string(kProcesses) + "/50", Error()));
  EXPECT_EQ(shown(std::string(kProcesses) + "/50", kProcess, "ServiceName"), "'invalid50'");
  mib::fail_accessor("OMDiag_handle_action", 32);
  EXPECT_EQ(shown(std::string(kProcesses) + "/50", kProcess, "ServiceName"),
            "error: Get OMD OMDIAG_PROCESSGETINFO failed!");
}

// A failure while listing the rows stops the start-up there: no manager for
// that list, no process list, no watch.
class OMDiagStartTest : public OMDiagTest {
 protected:
  void configure(host::Options &) override { mib::fail_accessor("OMDiag_handle_action", 35); }
};

TEST_F(OMDiagStartTest, AListingFailureStopsTheStartUp) {
  EXPECT_EQ(read(kOmd, "CPUTempThreshold"), "uint32 85");
  EXPECT_THAT(introspect(kResources), Not(HasSubstr(kManagerInterface)));
  EXPECT_THAT(introspect(kProcesses), Not(HasSubstr(kManagerInterface)));
  EXPECT_THAT(introspect(kProcesses), Not(HasSubstr(kProcess)));
  EXPECT_THAT(syslog(),
              HasSubstr("mib_get OMD OMDIAG_RESOURCEGETINDEX failed!"));
}

// A gateway without WiFi publishes the document without the WiFi methods.
class OMDiagWithoutWiFiTest : public OMDiagTest {
 protected:
  void configure(host::Options &) override { mib::fail_accessor("device_capability_handler"); }
};

TEST_F(OMDiagWithoutWiFiTest, TheCapabilityChoosesTheDocument) {
  const std::string xml = introspect(kOmd.path);
  EXPECT_THAT(xml, HasSubstr("GetServicePID"));
  EXPECT_THAT(xml, Not(HasSubstr("CollectWiFiInfo")));
  EXPECT_EQ(call_omd("CollectWiFiInfo", nullptr).substr(0, 40),
            "<org.freedesktop.DBus.Error.UnknownMetho");
}

TEST_F(OMDiagTest, TheCapabilityIsKeptInTheStore) {
  uint32_t with_wifi = 7;
  ASSERT_EQ(device_capability_handler(1, &with_wifi), 1);
  EXPECT_EQ(with_wifi, 1u);
  ASSERT_TRUE(mib::set_setting("omdiag.FTTRMasterWiFi", "0"));
  ASSERT_EQ(device_capability_handler(1, &with_wifi), 1);
  EXPECT_EQ(with_wifi, 0u);
  EXPECT_EQ(device_capability_handler(2, &with_wifi), 0);
  EXPECT_THAT(introspect(kOmd.path), HasSubstr("CollectWiFiInfo"));
}

// The watch compares each round with the one before: a service over its
// limits is journalled once when it goes over, a watched process that ends
// is journalled, and a new process that is given its pid is another one.
TEST_F(OMDiagTest, TheWatchJournalsServicesOverLimitsAndProcessesThatEnd) {
  mib::ServiceWatch watch;
  const double capacity_per_second = double(mib::ticks_per_second()) * mib::cpu_count();
  auto dnsmasq = [&](uint64_t ticks, uint64_t rss_kb) {
    return mib::ProcessInfo{.pid = 120, .start_ticks = 4000, .name = "dnsmasq", .state = 'S',
                            .cpu_ticks = ticks, .rss_kb = rss_kb, .threads = 1};
  };
  auto ntpd = [](uint32_t pid, uint64_t start) {
    return mib::ProcessInfo{.pid = pid, .start_ticks = start, .name = "ntpd", .state = 'S',
                            .cpu_ticks = 300, .rss_kb = 2048, .threads = 1};
  };
  const int64_t seq = journal_end();
  watch.round({dnsmasq(0, 50000), ntpd(77, 100)}, 0);
  // 10 s later dnsmasq used 60 % of the machine (limit 30) and 15 % of its memory (limit 10).
  const uint64_t busy = uint64_t(0.6 * 10 * capacity_per_second);
  watch.round({dnsmasq(busy, 150000), ntpd(77, 100)}, 10000);
  watch.round({dnsmasq(busy * 2, 150000), ntpd(77, 100)}, 20000);  // still over: said once
  watch.round({dnsmasq(busy * 2, 150000), ntpd(77, 9100)}, 30000);  // pid 77 given to a new ntpd
  watch.round({dnsmasq(busy * 2, 150000)}, 40000);                  // and that one ends
  std::vector<std::string> lines;
  for (const auto &entry : mib::journal(seq))
    if (entry.bit == MIB_JOURNAL_OMDIAG) lines.push_back(std::to_string(entry.action) + " " + entry.data);
  g_autofree gchar *gone =
      g_strdup_printf("3 ntpd pid 77 gone after %.1f s cpu, rss 2048 kB", 300.0 / mib::ticks_per_second());
  EXPECT_THAT(lines, ElementsAre("1 dnsmasq cpu 60.0% over 30% pids 120",
                                 "2 dnsmasq memory 15.0% over 10% rss 150000 kB", gone, gone))
      << "each ntpd is journalled when it ends, the second one although it had the first's pid";
}

// How often the watch's thread slept and woke so far (nothing without one).
// The watch thread's state letter and how often it has gone to sleep.
struct WatchThread {
  char state;
  uint64_t wakes;
};
std::optional<WatchThread> watch_thread() {
  for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
    const std::string dir = task.path();
    if (read_text_file(dir + "/comm") != "omdiag_watch\n") continue;
    const std::string status = read_text_file(dir + "/status");
    const size_t state = status.find("State:\t");
    const size_t at = status.find("voluntary_ctxt_switches:");
    if (state != std::string::npos && at != std::string::npos)
      return WatchThread{status[state + 7], std::stoull(status.substr(at + 24))};
  }
  return std::nullopt;
}
std::optional<uint64_t> watch_wakes() {
  const std::optional<WatchThread> thread = watch_thread();
  return thread ? std::optional(thread->wakes) : std::nullopt;
}
// The watch's wake-ups once it has gone to sleep after what it was doing:
// asleep, and not woken over a while.  A thread that waits for the
// processor on a loaded machine is not asleep.
std::optional<uint64_t> wakes_once_asleep() {
  std::optional<uint64_t> settled;
  eventually([&] {
    const std::optional<WatchThread> before = watch_thread();
    std::this_thread::sleep_for(300ms);
    const std::optional<WatchThread> after = watch_thread();
    if (!before || !after || after->state != 'S' || after->wakes != before->wakes) return false;
    settled = after->wakes;
    return true;
  });
  return settled;
}

// While neither list watches anything the watch sleeps through its
// interval; a row another process adds to a list wakes it, and its rounds
// then see the listed process end.
TEST_F(OMDiagTest, TheWatchSleepsUntilAListWatchesSomething) {
  ASSERT_TRUE(mib::set_setting("omdiag.WatchInterval", "1"));
  const mib::TableDef &resources = *mib::find_table("omdiag_resource");
  const mib::TableDef &processes = *mib::find_table("omdiag_process");
  const std::optional<std::vector<uint8_t>> ntpd = mib::table_row(processes, 2);
  ASSERT_TRUE(ntpd.has_value());
  for (const auto &row : mib::table_rows(resources))
    ASSERT_TRUE(mib::table_remove(resources, mib::row_key_of(resources, row.data())));
  for (const auto &row : mib::table_rows(processes))
    ASSERT_TRUE(mib::table_remove(processes, mib::row_key_of(processes, row.data())));
  kernel_.process(77, "ntpd", 100);
  const int64_t seq = journal_end();

  mib::ServiceWatch watch;
  watch.start();
  const std::optional<uint64_t> wakes = wakes_once_asleep();
  ASSERT_TRUE(wakes.has_value());
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(watch_wakes(), wakes) << "woke while nothing was watched";

  ASSERT_TRUE(mib::table_insert_at(processes, ntpd->data()));
  EXPECT_TRUE(eventually([&] { return watch_wakes() > wakes; }));
  wakes_once_asleep();  // after the first round, which took note of pid 77
  kernel_.drop("/proc/77/stat");
  std::vector<std::string> lines;
  eventually([&] {
    lines = journal_lines(seq, MIB_JOURNAL_OMDIAG);
    return !lines.empty();
  });
  EXPECT_THAT(lines, ElementsAre(StartsWith("ntpd pid 77 gone after ")));
  watch.stop();
}

// The thresholds the watch uses are the store's rows: a client's write
// reaches the next round.
TEST_F(OMDiagTest, TheWatchFollowsTheWrittenLimits) {
  mib::ServiceWatch watch;
  const std::string ntpd = std::string(kResources) + "/3";
  EXPECT_EQ(write(ntpd, kResource, "MEMPercentage", g_variant_new_uint32(1)), Error());
  const int64_t seq = journal_end();
  const mib::ProcessInfo process{.pid = 77, .start_ticks = 1, .name = "ntpd", .cpu_ticks = 0,
                                 .rss_kb = 20000};
  watch.round({process}, 0);
  const auto entries = mib::journal(seq);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries.back().data, "ntpd memory 2.0% over 1% rss 20000 kB");
}

}  // namespace
}  // namespace igd1::test
