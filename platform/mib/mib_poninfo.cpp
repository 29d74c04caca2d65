// PON information items (kItems below, by index) and the hourly traffic
// history.
//
// The history is the table "ponhistory": one row per hour with the hour's
// start (Unix time) and the bytes sent and received during it, at most
// kHistoryHours rows.  The first poninfo_interface_init on an empty table
// seeds it with the kHistoryHours hours completed before that start, shaped
// like a household's day (quiet at night, busiest in the evening).
//
// Action 0 answers the history: parameters "(u Hours)", 1 to the number of
// stored hours; the reply "(a(ttt))" lists (hour start, bytes sent, bytes
// received) for the last Hours hours, oldest first.  The caller owns the
// returned reference (not floating) and releases it with g_variant_unref.
#include <time.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <mutex>
#include <vector>

#include "mib_api.h"
#include "mib_actions.h"
#include "mib_internal.h"
#include "mib_store.h"
#include "mib_table.h"

namespace {

using igd1::mib::Item;
using K = igd1::mib::ValueKind;

constexpr int kHistoryAction = 0;

// PONType: 1 GPON, 2 EPON.  Optics in degrees Celsius, volts, milliamperes
// and dBm; speeds in bytes per second.
constexpr Item kItems[] = {
    /* 0 */ {"pon.PONType", K::U8, 1, "1"},
    /* 1 */ {"pon.SN", K::Text, 64, "WQXN510C2210"},
    /* 2 */ {"pon.LOID", K::Text, 64, "0755210344"},
    /* 3 */ {"pon.Password", K::Text, 64, "88412210"},
    /* 4 */ {"pon.Temperature", K::Double, 8, "45.2"},
    /* 5 */ {"pon.Voltage", K::Double, 8, "3.28"},
    /* 6 */ {"pon.Current", K::Double, 8, "12.5"},
    /* 7 */ {"pon.TXPower", K::Double, 8, "2.1"},
    /* 8 */ {"pon.RXPower", K::Double, 8, "-18.6"},
    /* 9 */ {"pon.SupportPONStatusQuery", K::Bool, 4, "1"},
    /* 10 */ {"pon.PONStatus", K::Text, 64, "O5"},  // operation state
    /* 11 */ {"pon.BytesSent", K::U64, 8, "18402716583"},
    /* 12 */ {"pon.BytesReceived", K::U64, 8, "215119843372"},
    /* 13 */ {"pon.PacketsSent", K::U64, 8, "96231174"},
    /* 14 */ {"pon.PacketsReceived", K::U64, 8, "402118653"},
    /* 15 */ {"pon.FECError", K::U64, 8, "1284"},
    /* 16 */ {"pon.DropPackets", K::U64, 8, "317"},
    /* 17 */ {"pon.UpSpeed", K::U64, 8, "48213"},
    /* 18 */ {"pon.DownSpeed", K::U64, 8, "731540"},
};
const igd1::mib::Defaults kItemsDefaults(kItems);

// ---- history -------------------------------------------------------------------

constexpr unsigned kHistoryHours = 24;
constexpr int64_t kHour = 3600;

// Row layout: instance, then three 64-bit numbers without padding.
constexpr size_t kStartOffset = 1;
constexpr size_t kSentOffset = 9;
constexpr size_t kReceivedOffset = 17;
constexpr size_t kHistoryRowSize = 25;

constexpr igd1::mib::Column kHistoryColumns[] = {
    {"HourStart", K::U64, kStartOffset, 8},
    {"BytesSent", K::U64, kSentOffset, 8},
    {"BytesReceived", K::U64, kReceivedOffset, 8},
};

// No module: no bus object follows its rows.
constexpr igd1::mib::TableDef kHistoryTable =
    igd1::mib::record_table("ponhistory", nullptr, kHistoryRowSize, kHistoryColumns, kHistoryHours);

struct Sample {
  uint64_t start;
  uint64_t sent;
  uint64_t received;
};

// Megabytes received in each hour of the local day.
constexpr uint64_t kReceivedMegabytes[24] = {
    420, 260, 140, 90,  70,  75,  120, 310, 380, 290,  260,  300,
    450, 380, 330, 350, 410, 560, 820, 1150, 1480, 1620, 1240, 760,
};

std::mutex &history_mutex() {
  static std::mutex *mutex = new std::mutex;
  return *mutex;
}

// The table is registered once per process; every later open of the store
// creates it from the registration.
const igd1::mib::TableDef *history_table() {
  static std::once_flag once;
  std::call_once(once, [] { igd1::mib::register_table(kHistoryTable); });
  return igd1::mib::find_table(kHistoryTable.name);
}

std::vector<Sample> stored_history(const igd1::mib::TableDef &table) {
  std::vector<Sample> samples;
  for (const std::vector<uint8_t> &row : igd1::mib::table_rows(table)) {
    if (row.size() != kHistoryRowSize) continue;
    samples.push_back({igd1::mib::load<uint64_t>(&row[kStartOffset]), igd1::mib::load<uint64_t>(&row[kSentOffset]),
                       igd1::mib::load<uint64_t>(&row[kReceivedOffset])});
  }
  std::sort(samples.begin(), samples.end(),
            [](const Sample &a, const Sample &b) { return a.start < b.start; });
  return samples;
}

// The hours completed before `now`, oldest first, with a small deterministic
// spread so that no two days look alike.
void seed_history(const igd1::mib::TableDef &table, time_t now) {
  const int64_t this_hour = static_cast<int64_t>(now) - static_cast<int64_t>(now) % kHour;
  for (unsigned i = 0; i < kHistoryHours; ++i) {
    const int64_t start = this_hour - static_cast<int64_t>(kHistoryHours - i) * kHour;
    const time_t start_time = static_cast<time_t>(start);
    struct tm local {};
    localtime_r(&start_time, &local);
    const uint64_t spread = 95 + (i * 37) % 11;  // 95 to 105 percent
    const uint64_t received =
        kReceivedMegabytes[local.tm_hour] * 1000000 * spread / 100 + (i * 7919) % 100000;
    const uint64_t sent = received / 11 + 4000000 + (i * 104729) % 1000000;
    uint8_t row[kHistoryRowSize] = {};
    igd1::mib::store<uint64_t>(row + kStartOffset, static_cast<uint64_t>(start));
    igd1::mib::store<uint64_t>(row + kSentOffset, sent);
    igd1::mib::store<uint64_t>(row + kReceivedOffset, received);
    if (!igd1::mib::table_insert(table, row)) return;
  }
}

GVariant *history_reply(GVariant *parameters, GError **) {
  guint32 hours = 0;
  g_variant_get(parameters, "(u)", &hours);
  if (hours == 0 || hours > kHistoryHours) return nullptr;
  const igd1::mib::TableDef *table = history_table();
  if (table == nullptr) return nullptr;
  std::vector<Sample> samples;
  {
    std::lock_guard lock(history_mutex());
    samples = stored_history(*table);
  }
  if (hours > samples.size()) return nullptr;
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(ttt)"));
  for (size_t i = samples.size() - hours; i < samples.size(); ++i) {
    g_variant_builder_add(&builder, "(ttt)", static_cast<guint64>(samples[i].start),
                          static_cast<guint64>(samples[i].sent),
                          static_cast<guint64>(samples[i].received));
  }
  return g_variant_new("(a(ttt))", &builder);
}

constexpr igd1::mib::Action kActions[] = {{kHistoryAction, "(u)", history_reply}};
constexpr igd1::mib::Actions kDispatcher("poninfo_handle_action", kActions);

}  // namespace

int poninfo_get_mib_property(int index, void *buffer) {
  return igd1::mib::read_at("poninfo_get_mib_property", kItems, index, buffer) ? 1 : 0;
}

int poninfo_interface_init(void) {
  const igd1::mib::TableDef *table = history_table();
  if (table != nullptr) {
    std::lock_guard lock(history_mutex());
    if (igd1::mib::store_is_open() && igd1::mib::table_rows(*table).empty()) {
      seed_history(*table, time(nullptr));
    }
  }
  return 1;
}

int poninfo_handle_action(int action, GVariant *parameters, GVariant **result) {
  return kDispatcher.handle(uint32_t(action), parameters, result);
}
