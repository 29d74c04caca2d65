// The speed tests: settings, live state and results of five test kinds, and
// the tests themselves.
//
// A start operation (called on the bus main loop) checks the settings,
// marks the test as running in the store and hands a copy of what the test
// needs to a worker thread, which measures over HTTP (speed_measure.h).  The
// worker never touches the store: it sends copies of its progress and its
// results to the main context of the thread that started it, where they are
// written as settings, so that a client sees them by reading the
// properties again.  Updates of a run that was superseded or stopped are
// dropped.
//
//   kind           settings prefix    start           test
//   plain          httptest.          duration 0-30   download
//   full-featured  speedff.           duration 0-30   delays, download and/or upload
//   local          speedlocal.        (10 s)          download and/or upload, when enabled
//   section        sectiontest.       (10 s)          download or upload, 1-10 streams
//   multi-section  sectionmulti.      (10 s)          download and/or upload, one-second report
//
// Speed types: 1 download, 2 upload, 3 both.  Section speed modes: 1
// download, 2 upload (0, both, for the multi-section test).  Protocol 0 is
// http, 1 https.  Rates are texts in Mbit/s with two decimals, delays in ms,
// times local "%F %T".  Results: 0 success, 1 failed (or never run), 2
// running; the plain test's Status: 0 never run, 1 running, 2 done, 3
// failed, with a readable Result text.
#include <arpa/inet.h>
#include <pthread.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <glib.h>

#include "mib_api.h"
#include "mib_internal.h"
#include "mib_store.h"
#include "speed_measure.h"

namespace {

using igd1::mib::Item;
using K = igd1::mib::ValueKind;
namespace speed = igd1::mib::speed;
using igd1::mib::read_at;
using igd1::mib::read_number;
using igd1::mib::read_text;
using igd1::mib::within;
using igd1::mib::write_at;

constexpr size_t kUrlBuffer = 1024;
constexpr uint32_t kDefaultSeconds = 10;
constexpr int kDelayProbes = 5;
constexpr uint64_t kUploadCap = 64ull << 20;

// ---- the settings of each kind, by accessor index ---------------------------------
//
// A test measures where its URL points: the operator sets it, a new store
// has none, and a test without one is refused.  Items a client writes carry
// their checks.

// A ticket: at most 80 characters, printable ASCII only (it travels in a
// request header).
bool ticket(const void *value) {
  const std::string_view ticket = igd1::mib::text_in(value, 81);
  return ticket.size() <= 80 &&
         std::all_of(ticket.begin(), ticket.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
}

// A server: a literal IPv4 or IPv6 address, or a host name.
bool valid_server(const void *value) {
  const auto *text = static_cast<const char *>(value);
  const size_t length = strnlen(text, 46);
  if (length == 0 || length > 45) return false;
  unsigned char address[16];
  if (inet_pton(AF_INET, text, address) == 1 || inet_pton(AF_INET6, text, address) == 1) return true;
  for (size_t i = 0; i < length; ++i)
    if (!(g_ascii_isalnum(text[i]) || text[i] == '.' || text[i] == '-')) return false;
  return true;
}

bool url(const void *value) {
  return speed::acceptable_url(static_cast<const char *>(value), kUrlBuffer - 1);
}
constexpr auto kSpeedType = within<uint8_t, 1, 3>;

constexpr Item kPlain[] = {
    {"httptest.Status", K::U32, 4, "0"},
    {"httptest.Result", K::Text, kUrlBuffer, ""},
    {"httptest.URL", K::Text, kUrlBuffer, "", url},
};
const igd1::mib::Defaults kPlainDefaults(kPlain);
constexpr Item kPlainWanRate = {"httptest.WanRate", K::U32, 4, "0"};
const igd1::mib::Defaults kOwnDefaults({kPlainWanRate});
// The WAN rate figure (kbit/s) that every read of the plain test's properties
// refreshes: the rate of the last download this process measured, the stored
// one until then.  Kept in memory so that those reads ask the store nothing
// more than any other object's.
std::atomic<uint32_t> g_wan_rate{0};
enum { kPlainStatus = 0, kPlainResult = 1, kPlainUrl = 2 };

constexpr Item kFull[] = {
    {"speedff.TestingStatus", K::Bool, 4, "0"},
    {"speedff.Ticket", K::Text, 81, "", ticket},
    {"speedff.SpeedType", K::U8, 1, "3", kSpeedType},
    {"speedff.URL", K::Text, kUrlBuffer, "", url},
    {"speedff.Result", K::U32, 4, "1"},         {"speedff.DownMaxRate", K::Text, 32, ""},
    {"speedff.DownRate", K::Text, 32, ""},      {"speedff.UpMaxRate", K::Text, 32, ""},
    {"speedff.UpRate", K::Text, 32, ""},        {"speedff.BeginTime", K::Text, 32, ""},
    {"speedff.EndTime", K::Text, 32, ""},       {"speedff.MaxDelay", K::Text, 32, ""},
    {"speedff.MinDelay", K::Text, 32, ""},      {"speedff.AvgDelay", K::Text, 32, ""},
    {"speedff.Jitter", K::Text, 32, ""},
};
const igd1::mib::Defaults kFullDefaults(kFull);
enum {
  kFullTesting = 0, kFullTicket, kFullSpeedType, kFullUrl, kFullResult, kFullDownMax, kFullDown,
  kFullUpMax, kFullUp, kFullBegin, kFullEnd, kFullMaxDelay, kFullMinDelay, kFullAvgDelay,
  kFullJitter
};
constexpr size_t kTicketReadBuffer = 64;

constexpr Item kLocal[] = {
    {"speedlocal.Enable", K::Bool, 4, "0", within<int32_t, 0, 1>},
    {"speedlocal.TestingStatus", K::Bool, 4, "0"},
    {"speedlocal.Result", K::U32, 4, "1"},
    {"speedlocal.SpeedType", K::U8, 1, "1", kSpeedType},
    {"speedlocal.URL", K::Text, kUrlBuffer, ""}, {"speedlocal.DownMaxRate", K::Text, 17, ""},
    {"speedlocal.DownRate", K::Text, 17, ""}, {"speedlocal.UpMaxRate", K::Text, 17, ""},
    {"speedlocal.UpRate", K::Text, 17, ""},   {"speedlocal.BeginTime", K::Text, 33, ""},
    {"speedlocal.EndTime", K::Text, 33, ""},  {"speedlocal.RFU1", K::Text, 33, ""},
    {"speedlocal.RFU2", K::Text, 33, ""},
};
const igd1::mib::Defaults kLocalDefaults(kLocal);
enum {
  kLocalEnable = 0, kLocalTesting, kLocalResult, kLocalSpeedType, kLocalUrl, kLocalDownMax,
  kLocalDown, kLocalUpMax, kLocalUp, kLocalBegin, kLocalEnd, kLocalRfu1, kLocalRfu2
};

constexpr Item kSection[] = {
    {"sectiontest.TestingStatus", K::U8, 1, "0"},     {"sectiontest.Result", K::U8, 1, "1"},
    {"sectiontest.SpeedMode", K::U8, 1, "1", within<uint8_t, 0, 2>},
    {nullptr, K::U8, 1},
    {"sectiontest.Protocol", K::U8, 1, "0", within<uint8_t, 0, 1>},
    {"sectiontest.Streams", K::U8, 1, "4", within<uint8_t, 1, 10>},
    {"sectiontest.ServerIP", K::Text, 46, "", valid_server},
    {"sectiontest.ServerPort", K::U32, 4, "8080", within<uint32_t, 1, 65535>},
    {"sectiontest.PayloadLength", K::U32, 4, "1500", within<uint32_t, 1500, 9000>},
    {"sectiontest.MaxRate", K::Text, 32, ""},
    {"sectiontest.MinRate", K::Text, 32, ""},         {"sectiontest.Rate", K::Text, 32, ""},
};
const igd1::mib::Defaults kSectionDefaults(kSection);
enum {
  kSectionTesting = 0, kSectionResult, kSectionMode, kSectionProtocol = 4, kSectionStreams,
  kSectionServer, kSectionPort, kSectionPayload, kSectionMax, kSectionMin, kSectionRate
};

constexpr Item kMulti[] = {
    {"sectionmulti.TestingStatus", K::U8, 1, "0"},
    {"sectionmulti.Result", K::U8, 1, "1"},
    {"sectiontest.SpeedMode", K::U8, 1},
    {"sectionmulti.Report", K::Text, 900, ""},
};
const igd1::mib::Defaults kMultiDefaults(kMulti);
enum { kMultiTesting = 0, kMultiResult, kMultiMode, kMultiReport };

constexpr const char *kRunning = "2";
constexpr const char *kFailed = "1";
constexpr const char *kSucceeded = "0";

std::string two_decimals(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

std::string mbits(double bits_per_second) { return two_decimals(bits_per_second / 1e6); }

std::string now_text() {
  time_t now = time(nullptr);
  struct tm parts {};
  localtime_r(&now, &parts);
  char text[32];
  strftime(text, sizeof text, "%F %T", &parts);
  return text;
}

// ---- runs and their updates -------------------------------------------------------

using Update = std::vector<std::pair<std::string, std::string>>;

// One test kind's worker.  `run` numbers the current run; updates of any
// other run are dropped.
struct Runner {
  std::mutex mutex;  // guards `worker`
  std::thread worker;
  std::atomic<bool> busy{false};
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> run{0};

  ~Runner() { finish(); }
  void finish() {
    run.fetch_add(1);
    stop.store(true);
    std::lock_guard lock(mutex);
    if (worker.joinable()) worker.join();
    stop.store(false);
  }
};

enum Kind { kPlainKind, kFullKind, kLocalKind, kSectionKind, kMultiKind, kKinds };
Runner g_runners[kKinds];

void write_update(const Update &update) {
  if (!igd1::mib::begin_transaction()) return;
  for (const auto &[name, value] : update) igd1::mib::set_setting(name, value);
  igd1::mib::commit_transaction();
}

// What a worker sends back: its run, its main context, and copies.
class Reporter {
 public:
  Reporter(Runner &runner, uint64_t run)
      : runner_(runner), run_(run), context_(g_main_context_ref_thread_default()) {}
  ~Reporter() { g_main_context_unref(context_); }
  Reporter(const Reporter &) = delete;
  Reporter &operator=(const Reporter &) = delete;

  void send(Update update) const {
    struct Posted {
      Runner *runner;
      uint64_t run;
      Update update;
    };
    auto *posted = new Posted{&runner_, run_, std::move(update)};
    GSource *source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(
        source,
        +[](gpointer data) -> gboolean {
          const auto *p = static_cast<const Posted *>(data);
          if (p->runner->run.load() == p->run) write_update(p->update);
          return G_SOURCE_REMOVE;
        },
        posted, +[](gpointer data) { delete static_cast<Posted *>(data); });
    g_source_attach(source, context_);
    g_source_unref(source);
  }
  const std::atomic<bool> *stop() const { return &runner_.stop; }
  // The last update of a run: the kind is free again before it is seen.
  void last(Update update) const {
    runner_.busy.store(false);
    send(std::move(update));
  }

 private:
  Runner &runner_;
  uint64_t run_;
  GMainContext *context_;
};

// Starts `body` on the kind's worker thread after writing `first` (the
// running state) to the store.  False when a run is going on or no thread
// can be made.
template <typename Body>
bool launch(Kind kind, const Update &first, Body body) {
  Runner &runner = g_runners[kind];
  bool expected = false;
  if (!runner.busy.compare_exchange_strong(expected, true)) return false;
  std::lock_guard lock(runner.mutex);
  if (runner.worker.joinable()) runner.worker.join();
  const uint64_t run = runner.run.fetch_add(1) + 1;
  write_update(first);
  try {
    auto reporter = std::make_shared<Reporter>(runner, run);
    runner.worker = std::thread([reporter, body = std::move(body)] {
      pthread_setname_np(pthread_self(), "mib_speedtest");
      body(*reporter);
    });
  } catch (const std::system_error &) {
    runner.busy.store(false);
    return false;
  }
  return true;
}

bool busy(Kind kind) { return g_runners[kind].busy.load(); }

// Why a test of a kind that measures with a URL and a speed type cannot
// start: 1 one is running, 2 no usable URL, 3 no speed type; 0 when it can.
uint32_t transfer_refusal(Kind kind, const std::string &url, uint8_t type) {
  if (busy(kind)) return 1;
  if (!speed::acceptable_url(url.c_str(), kUrlBuffer - 1)) return 2;
  return kSpeedType(&type) ? 0 : 3;
}

// The start of every kind but the plain one: a refusal code (0: none) is
// handed back as the result with 0; a started test answers non-zero.
template <typename Body>
int start_or_refuse(Kind kind, uint32_t refusal, const Update &first, Body body, uint32_t *result) {
  if (refusal == 0 && !launch(kind, first, std::move(body))) refusal = 1;
  *result = refusal;
  return refusal == 0 ? 1 : 0;
}

// The running state of a kind: testing, result 2 and its results cleared.
Update running_state(const Item *items, int testing, int result, std::initializer_list<int> cleared) {
  Update first = {{items[testing].name, "1"}, {items[result].name, kRunning}};
  for (int index : cleared) first.emplace_back(items[index].name, "");
  return first;
}

speed::Transfer transfer_to(const std::string &url, std::chrono::milliseconds limit,
                            const Reporter &reporter) {
  speed::Transfer transfer;
  transfer.url = url;
  transfer.limit = limit;
  transfer.stop = reporter.stop();
  return transfer;
}

// One direction of a test with its live rate under `live`; the result.
speed::Measured measure(speed::Transfer transfer, const Reporter &reporter, const char *live) {
  transfer.progress = [&reporter, live](double rate, uint64_t) {
    reporter.send({{live, mbits(rate)}});
  };
  return speed::run_transfer(transfer);
}

// ---- the tests ---------------------------------------------------------------------

struct DirectionNames {
  const char *rate;
  const char *max_rate;
};

// Download and/or upload by speed type (1, 2, 3); the upload after a
// download moves as many bytes as came down.  Writes the rates; the error
// of the first failed direction, or "".
std::string both_directions(const std::string &url, const std::string &header, uint8_t type,
                            std::chrono::milliseconds limit, const Reporter &reporter,
                            DirectionNames down, DirectionNames up) {
  uint64_t upload = kUploadCap;
  for (const bool upward : {false, true}) {
    if (type != 3 && type != (upward ? 2 : 1)) continue;
    const DirectionNames &names = upward ? up : down;
    speed::Transfer transfer = transfer_to(url, limit, reporter);
    transfer.header = header;
    transfer.upload = upward;
    transfer.upload_bytes = upload;
    const speed::Measured m = measure(transfer, reporter, names.rate);
    if (!m.ok) return m.error;
    reporter.send({{names.rate, mbits(m.rate)}, {names.max_rate, mbits(m.max_rate)}});
    upload = std::min(std::max<uint64_t>(m.bytes, 1), kUploadCap);
  }
  return "";
}

std::chrono::milliseconds seconds_or_default(uint32_t duration) {
  return std::chrono::seconds(duration == 0 ? kDefaultSeconds : duration);
}

void plain_test(const Reporter &reporter, std::string url, uint32_t duration) {
  speed::Transfer transfer = transfer_to(url, seconds_or_default(duration), reporter);
  transfer.progress = [&reporter](double rate, uint64_t bytes) {
    char text[96];
    std::snprintf(text, sizeof text, "testing: %s Mbit/s, %llu bytes", mbits(rate).c_str(),
                  static_cast<unsigned long long>(bytes));
    reporter.send({{kPlain[kPlainResult].name, text}});
  };
  const speed::Measured m = speed::run_transfer(transfer);
  if (!m.ok) {
    reporter.last({{kPlain[kPlainStatus].name, "3"},
                   {kPlain[kPlainResult].name, "failed: " + m.error}});
    return;
  }
  char text[160];
  std::snprintf(text, sizeof text, "rate=%s Mbit/s, bytes=%llu, seconds=%.3f",
                mbits(m.rate).c_str(), static_cast<unsigned long long>(m.bytes), m.seconds);
  g_wan_rate.store(uint32_t(m.rate / 1000), std::memory_order_relaxed);
  reporter.last({{kPlain[kPlainStatus].name, "2"},
                 {kPlain[kPlainResult].name, text},
                 {kPlainWanRate.name, std::to_string(uint64_t(m.rate / 1000))}});
}

void full_test(const Reporter &reporter, std::string url, std::string ticket, uint8_t type,
               uint32_t duration) {
  const std::string header = ticket.empty() ? "" : "X-Ticket: " + ticket;
  std::string error;
  const speed::Delays delays = speed::probe_delays(url, header, kDelayProbes, reporter.stop());
  if (!delays.ok) {
    error = delays.error;
  } else {
    reporter.send({{kFull[kFullMaxDelay].name, two_decimals(delays.max_ms)},
                   {kFull[kFullMinDelay].name, two_decimals(delays.min_ms)},
                   {kFull[kFullAvgDelay].name, two_decimals(delays.avg_ms)},
                   {kFull[kFullJitter].name, two_decimals(delays.jitter_ms)}});
    error = both_directions(url, header, type, seconds_or_default(duration), reporter,
                            {kFull[kFullDown].name, kFull[kFullDownMax].name},
                            {kFull[kFullUp].name, kFull[kFullUpMax].name});
  }
  reporter.last({{kFull[kFullTesting].name, "0"},
                 {kFull[kFullResult].name, error.empty() ? kSucceeded : kFailed},
                 {kFull[kFullEnd].name, now_text()}});
}

void local_test(const Reporter &reporter, std::string url, uint8_t type) {
  const std::string error =
      both_directions(url, "", type, std::chrono::seconds(kDefaultSeconds), reporter,
                      {kLocal[kLocalDown].name, kLocal[kLocalDownMax].name},
                      {kLocal[kLocalUp].name, kLocal[kLocalUpMax].name});
  reporter.last({{kLocal[kLocalTesting].name, "0"},
                 {kLocal[kLocalResult].name, error.empty() ? kSucceeded : kFailed},
                 {kLocal[kLocalEnd].name, now_text()}});
}

// What the section tests need, read on the main loop.
struct SectionPlan {
  std::string url;
  uint8_t mode = 0;
  int streams = 1;
  size_t payload = 1500;
};

speed::Transfer section_transfer(const SectionPlan &plan, bool upload, const Reporter &reporter) {
  speed::Transfer transfer = transfer_to(plan.url, std::chrono::seconds(kDefaultSeconds), reporter);
  transfer.streams = plan.streams;
  transfer.upload = upload;
  transfer.upload_bytes = kUploadCap;
  transfer.chunk = plan.payload;
  return transfer;
}

void section_test(const Reporter &reporter, SectionPlan plan) {
  const speed::Measured m =
      measure(section_transfer(plan, plan.mode == 2, reporter), reporter, kSection[kSectionRate].name);
  Update last = {{kSection[kSectionTesting].name, "0"},
                 {kSection[kSectionResult].name, m.ok ? kSucceeded : kFailed}};
  if (m.ok) {
    last.emplace_back(kSection[kSectionRate].name, mbits(m.rate));
    last.emplace_back(kSection[kSectionMax].name, mbits(m.max_rate));
    last.emplace_back(kSection[kSectionMin].name, mbits(m.min_rate));
  }
  reporter.last(std::move(last));
}

// One line of the report: the direction's rate, its extremes and the rate
// of every one-second section.
std::string report_line(const char *direction, const speed::Measured &m) {
  std::string line = std::string(direction) + ": rate=" + mbits(m.rate) +
                     " max=" + mbits(m.max_rate) + " min=" + mbits(m.min_rate) + " sections=";
  const size_t per_section = size_t(std::chrono::seconds(1) / speed::kWindow);
  for (size_t i = 0; i < m.window_rates.size(); i += per_section) {
    double sum = 0;
    size_t n = 0;
    for (; n < per_section && i + n < m.window_rates.size(); ++n) sum += m.window_rates[i + n];
    line += (i == 0 ? "" : ",") + mbits(sum / double(n));
  }
  return line;
}

void multi_test(const Reporter &reporter, SectionPlan plan) {
  std::string report;
  bool ok = true;
  for (const bool upload : {false, true}) {
    if (plan.mode == (upload ? 1 : 2)) continue;
    const speed::Measured m =
        measure(section_transfer(plan, upload, reporter), reporter, kSection[kSectionRate].name);
    if (!report.empty()) report += "\n";
    report += m.ok ? report_line(upload ? "up" : "down", m)
                   : std::string(upload ? "up" : "down") + ": failed: " + m.error;
    ok = ok && m.ok;
  }
  // The report fits its 900-byte buffer; it is ASCII, so any cut is whole characters.
  if (report.size() > kMulti[kMultiReport].size - 1) report.resize(kMulti[kMultiReport].size - 1);
  reporter.last({{kMulti[kMultiTesting].name, "0"},
                 {kMulti[kMultiResult].name, ok ? kSucceeded : kFailed},
                 {kMulti[kMultiReport].name, report}});
}

// The section server's URL from the stored protocol, address and port.
bool section_plan(SectionPlan *plan) {
  const std::string server = read_text(kSection[kSectionServer]);
  const uint8_t protocol = read_number<uint8_t>(kSection[kSectionProtocol]).value_or(0);
  const uint32_t port = read_number<uint32_t>(kSection[kSectionPort]).value_or(0);
  if (server.empty() || protocol > 1 || port < 1 || port > 65535) return false;
  const bool ipv6 = server.find(':') != std::string::npos;
  plan->url = std::string(protocol == 1 ? "https" : "http") + "://" + (ipv6 ? "[" : "") + server +
              (ipv6 ? "]" : "") + ":" + std::to_string(port) + "/";
  plan->mode = read_number<uint8_t>(kSection[kSectionMode]).value_or(0);
  plan->streams = read_number<uint8_t>(kSection[kSectionStreams]).value_or(1);
  plan->payload = read_number<uint32_t>(kSection[kSectionPayload]).value_or(1500);
  return speed::acceptable_url(plan->url.c_str(), kUrlBuffer - 1);
}

// A test left running by a process that ended is failed at start-up: not
// testing, result failed.
int fail_interrupted(const Item *items, int testing, int result) {
  // Wide enough for every kind's testing flag, which is a number.
  uint64_t flag = 0;
  if (igd1::mib::read_item(items[testing], &flag) && flag != 0)
    write_update({{items[testing].name, "0"}, {items[result].name, kFailed}});
  return 1;
}

}  // namespace

namespace igd1::mib::detail {
void stop_speed_tests() {
  for (Runner &runner : g_runners) runner.finish();
}
}  // namespace igd1::mib::detail

// ---- plain download test ------------------------------------------------------------

int httpdownloadtest_get_property(int index, void *buffer) {
  return read_at("httpdownloadtest_get_property", kPlain, index, buffer) ? 1 : 0;
}

int httpdownloadtest_set_property(int index, void *value) {
  return index == kPlainUrl && write_at("httpdownloadtest_set_property", kPlain, index, value) ? 0 : 1;
}

int httpdownloadtest_StartTest(uint32_t duration, uint32_t *result) {
  if (result == nullptr || igd1::mib::should_fail("httpdownloadtest_StartTest", 0)) return 1;
  const std::string url = read_text(kPlain[kPlainUrl]);
  if (!speed::acceptable_url(url.c_str(), kUrlBuffer - 1)) {
    *result = 9007;
    return 0;
  }
  const Update first = {{kPlain[kPlainStatus].name, "1"}, {kPlain[kPlainResult].name, "testing"}};
  if (!launch(kPlainKind, first,
              [url, duration](const Reporter &r) { plain_test(r, url, duration); })) {
    if (!busy(kPlainKind)) return 1;
    *result = 9001;
    return 0;
  }
  *result = 0;
  return 0;
}

int httpdownloadtest_wanrate(void) { return int(g_wan_rate.load(std::memory_order_relaxed)); }

int httpdownloadtest_interface_init(void) {
  g_wan_rate.store(read_number<uint32_t>(kPlainWanRate).value_or(0), std::memory_order_relaxed);
  if (read_number<uint32_t>(kPlain[kPlainStatus]).value_or(0) == 1)
    write_update({{kPlain[kPlainStatus].name, "3"}, {kPlain[kPlainResult].name, "failed: interrupted"}});
  return 1;
}

// ---- full-featured speed test --------------------------------------------------------

int httpdownloadtestff_get_property(int index, void *buffer) {
  if (index != kFullTicket) return read_at("httpdownloadtestff_get_property", kFull, index, buffer) ? 1 : 0;
  // The ticket is read into a 64-byte buffer: a longer one is cut at a
  // character boundary.
  char ticket[81] = {};
  if (!read_at("httpdownloadtestff_get_property", kFull, index, ticket)) return 0;
  const char *end = ticket;
  while (*end != '\0' && size_t(g_utf8_next_char(end) - ticket) < kTicketReadBuffer)
    end = g_utf8_next_char(end);
  std::memcpy(buffer, ticket, size_t(end - ticket));
  static_cast<char *>(buffer)[end - ticket] = '\0';
  return 1;
}

int httpdownloadtestff_set_property(int index, void *value) {
  const bool writable = index == kFullTicket || index == kFullSpeedType || index == kFullUrl;
  return writable && write_at("httpdownloadtestff_set_property", kFull, index, value) ? 1 : 0;
}

int httpdownloadtestff_StartTest(uint32_t duration, uint32_t *result) {
  if (result == nullptr || igd1::mib::should_fail("httpdownloadtestff_StartTest", 0)) return 0;
  const std::string url = read_text(kFull[kFullUrl]);
  const std::string ticket = read_text(kFull[kFullTicket]);
  const uint8_t type = read_number<uint8_t>(kFull[kFullSpeedType]).value_or(0);
  const uint32_t refusal = transfer_refusal(kFullKind, url, type);
  Update first = running_state(kFull, kFullTesting, kFullResult,
                               {kFullDownMax, kFullDown, kFullUpMax, kFullUp, kFullEnd,
                                kFullMaxDelay, kFullMinDelay, kFullAvgDelay, kFullJitter});
  first.emplace_back(kFull[kFullBegin].name, now_text());
  return start_or_refuse(
      kFullKind, refusal, first,
      [=](const Reporter &r) { full_test(r, url, ticket, type, duration); }, result);
}

int httpdownloadtestff_interface_init(void) { return fail_interrupted(kFull, kFullTesting, kFullResult); }

// ---- local speed test ----------------------------------------------------------------

int httpdownloadtestlocal_get_property(int index, void *buffer) {
  return read_at("httpdownloadtestlocal_get_property", kLocal, index, buffer) ? 1 : 0;
}

int httpdownloadtestlocal_set_property(int index, void *value) {
  const bool writable = index == kLocalEnable || index == kLocalSpeedType || index == kLocalRfu1 ||
                        index == kLocalRfu2;
  return writable && write_at("httpdownloadtestlocal_set_property", kLocal, index, value) ? 1 : 0;
}

int httpdownloadtestlocal_StartTest(uint32_t, uint32_t *result) {
  if (result == nullptr || igd1::mib::should_fail("httpdownloadtestlocal_StartTest", 0)) return 0;
  const std::string url = read_text(kLocal[kLocalUrl]);
  const uint8_t type = read_number<uint8_t>(kLocal[kLocalSpeedType]).value_or(0);
  const bool enabled = read_number<int32_t>(kLocal[kLocalEnable]).value_or(0) != 0;
  const uint32_t refusal = enabled ? transfer_refusal(kLocalKind, url, type) : 4;
  Update first = running_state(kLocal, kLocalTesting, kLocalResult,
                               {kLocalDownMax, kLocalDown, kLocalUpMax, kLocalUp, kLocalEnd});
  first.emplace_back(kLocal[kLocalBegin].name, now_text());
  return start_or_refuse(kLocalKind, refusal, first,
                         [=](const Reporter &r) { local_test(r, url, type); }, result);
}

int httpdownloadtestlocal_interface_init(void) {
  return fail_interrupted(kLocal, kLocalTesting, kLocalResult);
}

// ---- section speed tests ----------------------------------------------------------

int sectionSpeedtest_get_property(int index, void *buffer) {
  return read_at("sectionSpeedtest_get_property", kSection, index, buffer) ? 1 : 0;
}

int sectionSpeedtest_set_property(int index, void *value) {
  const bool writable = index == kSectionMode || (index >= kSectionProtocol && index <= kSectionPayload);
  return writable && write_at("sectionSpeedtest_set_property", kSection, index, value) ? 1 : 0;
}

int sectionSpeedtest_StartTest(uint32_t *result) {
  if (result == nullptr || igd1::mib::should_fail("sectionSpeedtest_StartTest", 0)) return 0;
  SectionPlan plan;
  const uint32_t refusal = busy(kSectionKind)                ? 1
                           : !section_plan(&plan)            ? 2
                           : plan.mode != 1 && plan.mode != 2 ? 3
                                                              : 0;
  return start_or_refuse(
      kSectionKind, refusal,
      running_state(kSection, kSectionTesting, kSectionResult, {kSectionMax, kSectionMin, kSectionRate}),
      [plan](const Reporter &r) { section_test(r, plan); }, result);
}

int sectionSpeedtest_interface_init(void) {
  return fail_interrupted(kSection, kSectionTesting, kSectionResult);
}

int sectionSpeedtestMulti_get_property(int index, void *buffer) {
  return read_at("sectionSpeedtestMulti_get_property", kMulti, index, buffer) ? 1 : 0;
}

int sectionSpeedtestMulti_StartTest(uint32_t *result) {
  if (result == nullptr || igd1::mib::should_fail("sectionSpeedtestMulti_StartTest", 0)) return 0;
  SectionPlan plan;
  const uint32_t refusal = busy(kMultiKind) ? 1 : !section_plan(&plan) ? 2 : 0;
  return start_or_refuse(kMultiKind, refusal,
                         running_state(kMulti, kMultiTesting, kMultiResult, {kMultiReport}),
                         [plan](const Reporter &r) { multi_test(r, plan); }, result);
}

int sectionSpeedtestMulti_interface_init(void) {
  return fail_interrupted(kMulti, kMultiTesting, kMultiResult);
}
