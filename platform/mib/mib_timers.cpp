// Timers: the sleep timers, the WiFi timer (one row, instance 1) and the
// extended WiFi timers, each a table whose columns are declared below, the
// instance number in byte 0.
//
// Modules change rows through row handles (RowHandles: a numbered copy of
// the row); nothing reaches the store until an update call.
//
// Each family is one or more schedules of the shared wall-clock runner,
// rebuilt from the stored rows by its update call: the sleep timers make one
// schedule whose state is asleep or awake; each WiFi timer family makes one
// schedule per SSID its timers name.  A switch is recorded in a setting and
// journalled, which is what the gateway's services follow.
#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mib_api.h"
#include "mib_internal.h"
#include "mib_store.h"
#include "mib_table.h"
#include "mib_working.h"
#include "schedule_runner.h"

// The module's hold on the WiFi timer: the timer is in effect while one exists.
struct wifi_timer {
  int holders = 0;
};

namespace {

using igd1::mib::load;
using igd1::mib::text_in;
using igd1::mib::ScheduleEdge;
using igd1::mib::ScheduleRunner;
using K = igd1::mib::ValueKind;

constexpr size_t kTimeText = 6;
constexpr uint32_t kMaxSsids = 32;

bool sleep_time(const char *text) { return igd1::mib::day_minute(text, 23).has_value(); }
bool wifi_time(const char *text) { return igd1::mib::day_minute(text, 24).has_value(); }

// ---- sleep timers ----------------------------------------------------------------

constexpr igd1::mib::Column kSleepColumns[] = {
    {"Day", K::U8, 1, 1},
    {"Time", K::Text, 2, kTimeText},
    {"Active", K::I32, 8, 4},
    {"Enable", K::I32, 12, 4},
};
constexpr igd1::mib::TableItem kSleepItems[] = {
    {.column = 0},
    {.column = 1, .valid = sleep_time},
    {.column = 2, .low = 0, .high = 1},
    {.column = 3, .low = 0, .high = 1},
};
constexpr igd1::mib::TableSpec kSleepSpec = {
    .def = igd1::mib::record_table("sleeptimer", "SleepTimer", 16, kSleepColumns, 99, 99),
    .prefix = "sleeptimer",
    .items = kSleepItems,
};

// ---- WiFi timer ------------------------------------------------------------------

constexpr igd1::mib::Column kWifiColumns[] = {
    {"ControlCycle", K::U8, 1, 1},
    {"StartTime", K::Text, 2, kTimeText},
    {"EndTime", K::Text, 8, kTimeText},
    {"Enable", K::U8, 14, 1},
    {"SSIDMask", K::U32, 16, 4},
};
constexpr igd1::mib::TableItem kWifiItems[] = {
    {.column = 1, .valid = wifi_time},
    {.column = 2, .valid = wifi_time},
    {.column = 0, .low = 1, .high = 1},
    {.column = 3, .low = 0, .high = 1},
    {.column = 4},
};
std::vector<uint8_t> wifi_seed();
constexpr igd1::mib::TableSpec kWifiSpec = {
    .def = igd1::mib::record_table("wifitimer", nullptr, 20, kWifiColumns, 1),
    .prefix = "wifitimer",
    .items = kWifiItems,
    .seed_marker = "wifitimer.Seeded",
    .seed = wifi_seed,
};
igd1::mib::Table g_wifi(kWifiSpec);
igd1::mib::RowHandles g_wifi_rows(g_wifi);
constexpr uint32_t kWifiInstance = 1;  // the timer's one row

// Off from midnight to 07:00 on both bands' main SSIDs, not enabled.
std::vector<uint8_t> wifi_seed() {
  return igd1::mib::seed_records(kWifiSpec.def, {{{"ControlCycle", "1"},
                                                  {"StartTime", "07:00"},
                                                  {"EndTime", "24:00"},
                                                  {"Enable", "0"},
                                                  {"SSIDMask", "3"}}});
}

// ---- extended WiFi timers --------------------------------------------------------

constexpr igd1::mib::Column kWifiExColumns[] = {
    {"WeekDay", K::U8, 1, 1},
    {"Time", K::Text, 2, kTimeText},
    {"Active", K::I32, 8, 4},
    {"Enable", K::I32, 12, 4},
    {"SSIDMask", K::U32, 16, 4},
};
constexpr igd1::mib::TableItem kWifiExItems[] = {
    {.column = 0},
    {.column = 1, .valid = wifi_time},
    {.column = 2},
    {.column = 3, .low = 0, .high = 1},
    {.column = 4},
};
constexpr igd1::mib::TableSpec kWifiExSpec = {
    .def = igd1::mib::record_table("wifitimer_ex", "WiFiTimer1", 20, kWifiExColumns, 100, 100),
    .prefix = "wifitimer1",
    .items = kWifiExItems,
};

// ---- row handles -----------------------------------------------------------------

// The callers' handles are the row handles' numbers.
bool open_row(igd1::mib::RowHandles &rows, uint32_t instance, uint32_t *index, TIMER_ROW **row) {
  if (row == nullptr) return false;
  *row = static_cast<TIMER_ROW *>(rows.create(instance, index));
  return *row != nullptr;
}

void close_row(igd1::mib::RowHandles &rows, TIMER_ROW **row) {
  if (row == nullptr) return;
  rows.release(*row);
  *row = nullptr;
}

bool get_item(igd1::mib::RowHandles &rows, int number, void *output, TIMER_ROW **row) {
  return row != nullptr && rows.read(*row, number, output);
}

bool set_item(igd1::mib::RowHandles &rows, int number, const void *value, TIMER_ROW **row,
              int *changed) {
  bool differs = false;
  if (row == nullptr || !rows.write(*row, number, value, &differs)) return false;
  if (changed != nullptr) *changed = differs ? 1 : 0;
  return true;
}

bool update_row(igd1::mib::RowHandles &rows, TIMER_ROW **row, uint32_t index) {
  return row != nullptr && rows.commit(*row, index) == nullptr;
}

// A new row numbered `instance` from `record` (a zeroed record when empty).
bool add_row(igd1::mib::Table &table, uint32_t instance, std::vector<uint8_t> record) {
  const igd1::mib::TableDef &def = table.spec().def;
  record.resize(def.row_size);
  if (!igd1::mib::key_fits(def, igd1::mib::row_key(0, instance)) || table.fails("add_entry"))
    return false;
  igd1::mib::set_row_key(def, record.data(), igd1::mib::row_key(0, instance));
  return table.rows().insert_at(record.data());
}

mib_list_node *row_at(igd1::mib::Table &table, uint32_t position, uint32_t instance) {
  mib_list_node *node = table.rows().at(position);
  if (node == nullptr || node->data == nullptr) return nullptr;
  return table.instance_of(node->data) == instance || instance == 0 ? node : nullptr;
}

// Moves the row at `position` to `instance`: the old row out and the
// renumbered one in, as one change.
bool renumber_row(igd1::mib::Table &table, uint32_t position, uint32_t instance) {
  const igd1::mib::TableDef &def = table.spec().def;
  if (table.fails("init_entry_index", int(position))) return false;
  mib_list_node *node = row_at(table, position, 0);
  if (node == nullptr || !igd1::mib::key_fits(def, igd1::mib::row_key(0, instance))) return false;
  const auto *data = static_cast<const uint8_t *>(node->data);
  if (table.instance_of(data) == instance) return true;
  if (table.find(instance, nullptr) != nullptr) return false;
  std::vector<uint8_t> record(data, data + def.row_size);
  const igd1::mib::RowKey old_key = igd1::mib::row_key_of(def, record.data());
  igd1::mib::set_row_key(def, record.data(), igd1::mib::row_key(0, instance));
  return igd1::mib::run_in_transaction(
      [&] { return table.rows().remove(old_key) && table.rows().insert_at(record.data()); });
}

// ---- families of numbered timers -------------------------------------------------

// The sleep timers and the extended WiFi timers: rows their callers number
// and change through row handles, whose Enable item is written as one byte
// and kept as 32 bits.  Every change of the rows puts the family into
// effect at once; inside a transaction that is rolled back afterwards the
// switches it made are set right again from the rows that stayed, on the
// runner's loop.
class Timers {
 public:
  Timers(const igd1::mib::TableSpec &spec, int enable_item, void (*put_into_effect)())
      : table_(spec), rows_(table_), enable_item_(enable_item), put_into_effect_(put_into_effect) {}

  igd1::mib::Table &table() { return table_; }

  int total() { return table_.count("get_total_num"); }
  bool check_entry(uint32_t position, int *instance) {
    mib_list_node *node = table_.fails("check_entry") ? nullptr : row_at(table_, position, 0);
    if (node == nullptr) return false;
    if (instance != nullptr) *instance = int(table_.instance_of(node->data));
    return true;
  }
  bool check_instnum(uint32_t instance, uint32_t *index, TIMER_ROW **row) {
    return !table_.fails("check_instnum") && open_row(rows_, instance, index, row);
  }
  bool get(int number, void *output, TIMER_ROW **row) {
    return !table_.fails("get_property") && get_item(rows_, number, output, row);
  }
  bool set(int number, const void *value, TIMER_ROW **row, int *changed) {
    if (table_.fails("set_property")) return false;
    if (number != enable_item_) return set_item(rows_, number, value, row, changed);
    // Enable flags are read as 32-bit numbers but written as one byte.
    if (value == nullptr) return false;
    const int32_t flag = *static_cast<const uint8_t *>(value);
    return set_item(rows_, number, &flag, row, changed);
  }
  bool update(TIMER_ROW **row, uint32_t index) {
    return !table_.fails("set_property_update") && update_row(rows_, row, index) && changed();
  }
  void free(TIMER_ROW **row) { close_row(rows_, row); }
  // A new row at 00:00, not enabled.
  bool add(uint32_t instance) {
    return add_row(table_, instance, igd1::mib::seed_records(table_.spec().def, {{{"Time", "00:00"}}})) &&
           changed();
  }
  bool remove(uint32_t position, uint32_t instance) {
    if (table_.fails("del_entry")) return false;
    mib_list_node *node = row_at(table_, position, instance);
    return node != nullptr && table_.remove(position, node) && changed();
  }
  bool renumber(uint32_t position, uint32_t instance) { return renumber_row(table_, position, instance); }
  bool apply() {
    if (table_.fails("update")) return false;
    put_into_effect_();
    return true;
  }

 private:
  bool changed() {
    put_into_effect_();
    const auto after = [](void *data, bool committed, uint64_t) {
      if (committed) return;
      // Never from inside the store's end of the transaction: from the loop.
      g_idle_add_full(
          G_PRIORITY_HIGH,
          [](gpointer timers) {
            static_cast<Timers *>(timers)->put_into_effect_();
            return G_SOURCE_REMOVE;
          },
          data, nullptr);
    };
    igd1::mib::detail::on_transaction_end(this, table_.spec().def, after, this);
    return true;
  }

  igd1::mib::Table table_;
  igd1::mib::RowHandles rows_;
  const int enable_item_;
  void (*const put_into_effect_)();
};

void put_sleep_into_effect();
void put_wifi_ex_into_effect();
// Families live as long as the process, so the runner and the loop may hold on to them.
Timers g_sleep(kSleepSpec, SLEEPTIMER_ENABLE, put_sleep_into_effect);
Timers g_wifi_ex(kWifiExSpec, WIFITIMER1_ENABLE, put_wifi_ex_into_effect);

// ---- putting the timers into effect ----------------------------------------------

// One switch the runner applies: its schedule in the runner.
struct Switch {
  ScheduleRunner::Id id = 0;
  std::optional<int> shown;  // the state recorded last
  std::vector<ScheduleEdge> edges;  // handed to the runner last
};

// The sleep state, and each SSID's state under each WiFi timer family.
struct Effects {
  Switch sleep;
  std::map<uint32_t, Switch> wifi, wifi_ex;  // by SSID number
};

Effects &effects() {
  static auto *e = new Effects;
  return *e;
}

// Records what a switch did: its setting and a journal line.
void record_switch(const std::string &setting, bool on, int action, const std::string &notice,
                   uint64_t journal_bit) {
  igd1::mib::set_setting(setting, on ? "1" : "0");
  igd1::mib::journal_append(journal_bit, action, notice);
}

void apply_sleep(int state, int action) {
  record_switch("deviceinfo.HGUSleep", state == 1, action, state == 1 ? "sleep" : "wake",
                MIB_JOURNAL_POWER);
}

void apply_ssid(bool extended, uint32_t ssid, int state, int action) {
  const std::string prefix = extended ? "extimer " : "timer ";
  record_switch("wlan." + std::to_string(ssid) + (extended ? ".ExTimerOn" : ".TimerOn"),
                state == 1, action, prefix + std::to_string(ssid) + (state == 1 ? " on" : " off"),
                MIB_JOURNAL_WIFI_TIMER);
}

// Replaces a switch's schedule.  A switch whose schedule lost every edge
// goes back to its resting state (awake, SSID on) if it had left it.
void reschedule(Switch &sw, std::vector<ScheduleEdge> edges, int resting,
                const std::function<void(int state, int action)> &apply) {
  ScheduleRunner &runner = igd1::mib::schedule_runner();
  // Switches live as long as the process, so the runner may hold on to one.
  const auto record = [&sw, apply](int state, int action) {
    if (sw.shown == state) return;
    sw.shown = state;
    apply(state, action);
  };
  // The same edges again (a change of a disabled timer) leave the runner
  // and the switch as they are.
  if (sw.id != 0 && sw.shown && edges == sw.edges) return;
  if (sw.id == 0)
    sw.id = runner.add({}, [record](int state) { record(state, TIMER_APPLIED_AT_EDGE); }, false);
  sw.edges = edges;
  runner.change(sw.id, std::move(edges), false);
  record(runner.applied(sw.id).value_or(resting), TIMER_APPLIED_BY_UPDATE);
}

std::vector<ScheduleEdge> sleep_edges() {
  std::vector<ScheduleEdge> edges;
  for (const mib_list_node *node = g_sleep.table().list(); node != nullptr; node = node->next) {
    const auto *row = static_cast<const uint8_t *>(node->data);
    if (load<int32_t>(row + 12) != 1) continue;
    const std::optional<uint16_t> minute = igd1::mib::day_minute(text_in(row + 2, kTimeText), 23);
    const uint8_t mask = row[1];
    const uint8_t days = mask == 1 ? igd1::mib::kEveryDay : igd1::mib::runner_days(mask);
    if (!minute || days == 0) continue;
    edges.push_back({days, *minute, load<int32_t>(row + 8) == 1 ? 1 : 0});
  }
  return edges;
}

// Edges per SSID from rows that each name a mask of SSIDs.
using SsidEdges = std::map<uint32_t, std::vector<ScheduleEdge>>;

void add_for_mask(SsidEdges &by_ssid, uint32_t mask, const ScheduleEdge &edge) {
  for (uint32_t bit = 0; bit < kMaxSsids; ++bit)
    if ((mask >> bit) & 1u) by_ssid[bit + 1].push_back(edge);
}

SsidEdges wifi_edges() {
  SsidEdges by_ssid;
  for (const mib_list_node *node = g_wifi.list(); node != nullptr; node = node->next) {
    const auto *row = static_cast<const uint8_t *>(node->data);
    const uint32_t mask = load<uint32_t>(row + 16);
    if (row[14] != 1) continue;
    const std::optional<uint16_t> start = igd1::mib::day_minute(text_in(row + 2, kTimeText), 24);
    const std::optional<uint16_t> end = igd1::mib::day_minute(text_in(row + 8, kTimeText), 24);
    // A window that starts where it ends is open all day: no edges.
    if (!start || !end || *start == *end) continue;
    add_for_mask(by_ssid, mask, {igd1::mib::kEveryDay, *start, 1});
    add_for_mask(by_ssid, mask, {igd1::mib::kEveryDay, *end, 0});
  }
  return by_ssid;
}

SsidEdges wifi_ex_edges() {
  SsidEdges by_ssid;
  for (const mib_list_node *node = g_wifi_ex.table().list(); node != nullptr; node = node->next) {
    const auto *row = static_cast<const uint8_t *>(node->data);
    const int32_t active = load<int32_t>(row + 8);
    if (load<int32_t>(row + 12) != 1 || (active != 0 && active != 1)) continue;
    const std::optional<uint16_t> minute = igd1::mib::day_minute(text_in(row + 2, kTimeText), 24);
    const uint8_t days = igd1::mib::runner_days(row[1]);
    if (!minute || days == 0) continue;
    add_for_mask(by_ssid, load<uint32_t>(row + 16), {days, *minute, active});
  }
  return by_ssid;
}

// Gives every SSID switch of a family its new schedule; SSIDs no timer
// names any more keep a switch without edges (back on).
void reschedule_ssids(std::map<uint32_t, Switch> &switches, SsidEdges by_ssid, bool extended) {
  for (auto &[ssid, sw] : switches) by_ssid.try_emplace(ssid);
  for (auto &[ssid, edges] : by_ssid) {
    const uint32_t number = ssid;
    reschedule(switches[ssid], std::move(edges), 1,
               [extended, number](int state, int action) { apply_ssid(extended, number, state, action); });
  }
}

void put_sleep_into_effect() { reschedule(effects().sleep, sleep_edges(), 0, apply_sleep); }
void put_wifi_ex_into_effect() { reschedule_ssids(effects().wifi_ex, wifi_ex_edges(), true); }

}  // namespace

// ---- the numbered timers: sleep timers and extended WiFi timers, call by call ----

int sleeptimer_get_total_num(void) { return g_sleep.total(); }
int wifitimer1_get_total_num(void) { return g_wifi_ex.total(); }
int sleeptimer_check_entry(uint32_t position, int *instance) { return g_sleep.check_entry(position, instance); }
int wifitimer1_check_entry(uint32_t position, int *instance) { return g_wifi_ex.check_entry(position, instance); }
int sleeptimer_check_instnum(uint32_t instance, uint32_t *index, TIMER_ROW **row) {
  return g_sleep.check_instnum(instance, index, row);
}
int wifitimer1_check_instnum(uint32_t instance, uint32_t *index, TIMER_ROW **row) {
  return g_wifi_ex.check_instnum(instance, index, row);
}
int sleeptimer_get_property(int number, void *output, TIMER_ROW **row) { return g_sleep.get(number, output, row); }
int wifitimer1_get_property(int number, void *output, TIMER_ROW **row) { return g_wifi_ex.get(number, output, row); }
int sleeptimer_set_property_update(TIMER_ROW **row, uint32_t index) { return g_sleep.update(row, index); }
int wifitimer1_set_property_update(TIMER_ROW **row, uint32_t index) { return g_wifi_ex.update(row, index); }
int sleeptimer_add_entry(uint32_t instance) { return g_sleep.add(instance); }
int wifitimer1_add_entry(uint32_t instance) { return g_wifi_ex.add(instance); }
int sleeptimer_del_entry(uint32_t position, uint32_t instance) { return g_sleep.remove(position, instance); }
int wifitimer1_del_entry(uint32_t position, uint32_t instance) { return g_wifi_ex.remove(position, instance); }
int sleeptimer_init_entry_index(uint32_t position, uint32_t instance) { return g_sleep.renumber(position, instance); }
int wifitimer1_init_entry_index(uint32_t position, uint32_t instance) { return g_wifi_ex.renumber(position, instance); }
int sleeptimer_update(void) { return g_sleep.apply(); }
int wifitimer1_update(void) { return g_wifi_ex.apply(); }
int sleeptimer_set_property(int number, const void *value, TIMER_ROW **row, int *changed) {
  return g_sleep.set(number, value, row, changed);
}
int wifitimer1_set_property(int number, const void *value, TIMER_ROW **row) {
  return g_wifi_ex.set(number, value, row, nullptr);
}
void sleeptimer_set_entry_free(TIMER_ROW **row) { g_sleep.free(row); }
void wifitimer1_set_property_free(TIMER_ROW **row) { g_wifi_ex.free(row); }

// ---- WiFi timer ------------------------------------------------------------------

int wifitimer_init_entry(WIFI_TIMER **timer) {
  if (timer == nullptr || g_wifi.fails("init_entry") || !g_wifi.init()) return 0;
  if (g_wifi.rows().size() == 0) {
    // A store whose timer row was taken out gets the first one back.
    if (!add_row(g_wifi, kWifiInstance, wifi_seed())) return 0;
  }
  wifitimer_free_entry(timer);
  *timer = new wifi_timer;
  return 1;
}

void wifitimer_free_entry(WIFI_TIMER **timer) {
  if (timer == nullptr) return;
  delete *timer;
  *timer = nullptr;
}

int wifitimer_check_instnum(TIMER_ROW **row) {
  return !g_wifi.fails("check_instnum") && open_row(g_wifi_rows, kWifiInstance, nullptr, row) ? 1 : 0;
}

int wifitimer_get_property(int number, void *output, TIMER_ROW **row) {
  if (g_wifi.fails("get_property")) return 0;
  if (number == WIFITIMER_ENABLE) {
    uint8_t flag = 0;
    if (output == nullptr || !get_item(g_wifi_rows, number, &flag, row)) return 0;
    const int32_t wide = flag;
    std::memcpy(output, &wide, sizeof wide);
    return 1;
  }
  return get_item(g_wifi_rows, number, output, row) ? 1 : 0;
}

int wifitimer_set_property(int number, const void *value, TIMER_ROW **row, WIFI_TIMER *,
                           int *changed) {
  return !g_wifi.fails("set_property") && set_item(g_wifi_rows, number, value, row, changed) ? 1 : 0;
}

int wifitimer_set_property_update(TIMER_ROW **row) {
  return !g_wifi.fails("set_property_update") && update_row(g_wifi_rows, row, 0) ? 1 : 0;
}

void wifitimer_set_entry_free(TIMER_ROW **row) { close_row(g_wifi_rows, row); }

int wifitimer_update_entry(WIFI_TIMER *timer) {
  if (timer == nullptr || g_wifi.fails("apply")) return 0;
  reschedule_ssids(effects().wifi, wifi_edges(), false);
  return 1;
}
