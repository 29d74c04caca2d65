// A small module library for the host tests: it links the real library (so
// the root entry and name callbacks are found through it) and adds one
// module of its own that records how the host drives it, and the engine
// probes below.
#include <gio/gio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "collection.h"
#include "host_api.h"
#include "igd1_export.h"
#include "memory_table.h"
#include "single_object.h"

namespace {

std::mutex g_mutex;
std::vector<int> g_calls;  // +instance for an add, -instance for a delete
GThread *g_last_thread = nullptr;
GDBusNodeInfo *probe_introspection_data = nullptr;

GVariant *probe_get(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                    const gchar *, GError **, gpointer) {
  std::lock_guard lock(g_mutex);
  return g_variant_new_uint32(guint32(g_calls.size()));
}

const GDBusInterfaceVTable kVTable = {nullptr, probe_get, nullptr, {nullptr}};

constexpr char kItems[] = "/com/wqx/igd1/Test/Probe/Items";

// A manager that answers AddObject only, and GetManagedObjects itself.
void probe_manager_call(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                        const gchar *method_name, GVariant *, GDBusMethodInvocation *invocation,
                        gpointer) {
  if (g_strcmp0(method_name, "AddObject") == 0)
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", "/com/wqx/igd1/Test/Probe/Items/7"));
}

void probe_get_managed_objects(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                               const gchar *, GVariant *, GDBusMethodInvocation *invocation,
                               gpointer) {
  g_dbus_method_invocation_return_value(
      invocation, g_variant_new_parsed("({objectpath '/com/wqx/igd1/Test/Probe/Items/7': "
                                       "{'com.wqx.igd1.ProbeItem': {'Seen': <true>}}},)"));
}

const GDBusInterfaceVTable kManagerVTable = {
    probe_manager_call, nullptr, nullptr,
    {nullptr, reinterpret_cast<gpointer>(probe_get_managed_objects)}};

void record(int call) {
  std::lock_guard lock(g_mutex);
  g_calls.push_back(call);
  g_last_thread = g_thread_self();
}

// Row callbacks of the other shapes, recorded as text.
std::vector<std::string> g_events;
std::vector<GThread *> g_event_threads;

int note(std::string event) {
  std::lock_guard lock(g_mutex);
  g_events.push_back(std::move(event));
  g_event_threads.push_back(g_thread_self());
  return 1;
}

int pair_added(unsigned parent, unsigned instance) {
  return note("pair + " + std::to_string(parent) + "/" + std::to_string(instance));
}
int pair_removed(unsigned parent, unsigned instance) {
  return note("pair - " + std::to_string(parent) + "/" + std::to_string(instance));
}
int action(unsigned instance, int added) {
  return note("action " + std::to_string(instance) + (added == DBUS_PROXY_ROW_ADDED ? " added" : " removed"));
}
std::string bytes(const void *record, size_t size) {
  std::string text;
  for (size_t i = 0; i < size; ++i) text += " " + std::to_string(static_cast<const uint8_t *>(record)[i]);
  return text;
}
int record_added(const void *record, size_t size) { return note("record +" + bytes(record, size)); }
int record_removed(const void *record, size_t size) { return note("record -" + bytes(record, size)); }
int flagged_added(int index, int flag) {
  return note("flagged + " + std::to_string(index) + " " + std::to_string(flag));
}
int flagged_removed(int index) { return note("flagged - " + std::to_string(index)); }

// Events other processes may send the probe.
int station_alarm(const dbus_proxy_event_value *values, char *, size_t) {
  char mac[18];
  g_snprintf(mac, sizeof mac, "%02X:%02X:%02X:%02X:%02X:%02X", values[0].mac[0], values[0].mac[1],
             values[0].mac[2], values[0].mac[3], values[0].mac[4], values[0].mac[5]);
  return note(std::string("alarm ") + mac + " " + std::to_string(values[1].number) + " " +
              std::to_string(values[2].number) + " " + std::to_string(values[3].number));
}
int rename_probe(const dbus_proxy_event_value *values, char *, size_t) {
  return note(std::string("rename ") + values[0].text);
}
int refuse_event(const dbus_proxy_event_value *, char *reason, size_t size) {
  g_strlcpy(reason, "the probe refuses", size);
  return 0;
}
constexpr dbus_proxy_event_arg kAlarmArgs[] = {{"MAC", DBUS_PROXY_ARG_MAC, 0},
                                               {"RSSI", DBUS_PROXY_ARG_INT32, 0},
                                               {"LOW", DBUS_PROXY_ARG_BOOL, 0},
                                               {"VALUE", DBUS_PROXY_ARG_UINT32, 0}};
constexpr dbus_proxy_event_arg kRenameArgs[] = {{"NAME", DBUS_PROXY_ARG_TEXT, 8}};
// What the emulated devices report: stations and USB devices that come and
// go, a station's weak signal, a finished scan.
int station_added(unsigned number) { return note("station + " + std::to_string(number)); }
int station_removed(unsigned number) { return note("station - " + std::to_string(number)); }
int usb_added(int index, int storage) {
  return note("usb + " + std::to_string(index) + " " + std::to_string(storage));
}
int usb_removed(int index) { return note("usb - " + std::to_string(index)); }
int low_signal(const dbus_proxy_event_value *values, char *, size_t) {
  char mac[13];
  g_snprintf(mac, sizeof mac, "%02X%02X%02X%02X%02X%02X", values[1].mac[0], values[1].mac[1],
             values[1].mac[2], values[1].mac[3], values[1].mac[4], values[1].mac[5]);
  return note("low-signal " + std::to_string(values[0].number) + " " + mac + " " +
              std::to_string(values[2].number) + " " + std::to_string(values[3].number));
}
int scan_done(const dbus_proxy_event_value *values, char *, size_t) {
  return note("scan-done " + std::to_string(values[0].number) + " " + std::to_string(values[1].number));
}
constexpr dbus_proxy_event_arg kLowSignalArgs[] = {{"NUMBER", DBUS_PROXY_ARG_UINT32, 0},
                                                   {"MAC", DBUS_PROXY_ARG_MAC, 0},
                                                   {"LOW", DBUS_PROXY_ARG_BOOL, 0},
                                                   {"RSSI", DBUS_PROXY_ARG_INT32, 0}};
constexpr dbus_proxy_event_arg kScanArgs[] = {{"BAND", DBUS_PROXY_ARG_UINT32, 0},
                                              {"RESULTS", DBUS_PROXY_ARG_UINT32, 0}};
constexpr dbus_proxy_event kStationEvents[] = {{"low-signal", low_signal, kLowSignalArgs, 4}};
constexpr dbus_proxy_event kWifiEvents[] = {{"scan-done", scan_done, kScanArgs, 2}};

constexpr dbus_proxy_event kEvents[] = {{"station-alarm", station_alarm, kAlarmArgs, 4},
                                        {"rename", rename_probe, kRenameArgs, 1},
                                        {"refuse", refuse_event, nullptr, 0}};

}  // namespace

IGD1_API int Probe_add_interface(unsigned int instance);
IGD1_API int Probe_del_interface(unsigned int instance);

IGD1_API void Probe_on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer user_data) {
  igd1::SingleObjectRegistration registration{"Probe.xml", &probe_introspection_data,
                                              "probe_introspection_data", nullptr, &kVTable};
  igd1::register_single_object(registration, connection, user_data);
  GDBusObjectManagerServer *manager = g_dbus_object_manager_server_new(kItems);
  g_dbus_object_manager_server_set_connection_expand(manager, connection, &kManagerVTable, manager);

  dbus_proxy_row_callbacks pair{};
  pair.shape = DBUS_PROXY_ROW_PAIR;
  pair.add_pair = pair_added;
  pair.del_pair = pair_removed;
  pair.parent_offset = 4;
  dbus_proxy_row_callbacks flagged{};
  flagged.shape = DBUS_PROXY_ROW_ACTION;
  flagged.row_action = action;
  dbus_proxy_row_callbacks whole{};
  whole.shape = DBUS_PROXY_ROW_RECORD;
  whole.add_record = record_added;
  whole.del_record = record_removed;
  // Flag 1 when the row's byte 4 is 8 (a storage device among USB devices).
  dbus_proxy_row_callbacks index_flag{};
  index_flag.shape = DBUS_PROXY_ROW_INDEX_FLAG;
  index_flag.add_flagged = flagged_added;
  index_flag.del_index = flagged_removed;
  index_flag.flag_offset = 4;
  index_flag.flag_value = 8;
  dbus_proxy_row_callbacks numbered{};
  numbered.shape = DBUS_PROXY_ROW_INSTANCE;
  numbered.add_instance = Probe_add_interface;
  numbered.del_instance = Probe_del_interface;
  dbus_proxy_row_callbacks_reg("Probe", &numbered);
  dbus_proxy_row_callbacks_reg("ProbePair", &pair);
  dbus_proxy_row_callbacks_reg("ProbeAction", &flagged);
  dbus_proxy_row_callbacks_reg("ProbeRecord", &whole);
  dbus_proxy_row_callbacks_reg("ProbeFlag", &index_flag);
  dbus_proxy_events_reg("Probe", kEvents, 3);
  dbus_proxy_row_callbacks stations{};
  stations.shape = DBUS_PROXY_ROW_INSTANCE;
  stations.add_instance = station_added;
  stations.del_instance = station_removed;
  dbus_proxy_row_callbacks usb{};
  usb.shape = DBUS_PROXY_ROW_INDEX_FLAG;
  usb.add_flagged = usb_added;
  usb.del_index = usb_removed;
  usb.flag_offset = 4;  // the device type: 8 for storage
  usb.flag_value = 8;
  dbus_proxy_row_callbacks_reg("STAInfo", &stations);
  dbus_proxy_row_callbacks_reg("usb_device", &usb);
  dbus_proxy_events_reg("STAInfo", kStationEvents, 1);
  dbus_proxy_events_reg("WiFiInfo", kWifiEvents, 1);
}

// Started by another module, never by the host.
IGD1_API void DNSTunnel_on_bus_acquired(GDBusConnection *, const gchar *, gpointer) {
  record(-1000);
}

IGD1_API int Probe_add_interface(unsigned int instance) {
  record(int(instance));
  return 1;
}

IGD1_API int Probe_del_interface(unsigned int instance) {
  record(-int(instance));
  return 1;
}

// Named like a row callback but never declared: the host must not call it.
IGD1_API int Undeclared_add_interface(unsigned int instance) {
  record(int(1000 + instance));
  return 1;
}

IGD1_API void probe_reset() {
  std::lock_guard lock(g_mutex);
  g_calls.clear();
  g_last_thread = nullptr;
  g_events.clear();
  g_event_threads.clear();
}

IGD1_API std::vector<std::string> probe_row_events(std::vector<GThread *> *threads) {
  std::lock_guard lock(g_mutex);
  if (threads != nullptr) *threads = g_event_threads;
  return g_events;
}

IGD1_API std::vector<int> probe_calls(GThread **last_thread) {
  std::lock_guard lock(g_mutex);
  if (last_thread != nullptr) *last_thread = g_last_thread;
  return g_calls;
}

// ---- engine probes ----------------------------------------------------------------
//
// Two row collections in memory that prove the engine's declarations over
// the bus: a method table with service-type variants and calls answered
// later, children whose document follows the service type, a statistics
// object beside every row, RemoveAllObjects, and announcing per property,
// before or after the commit.

namespace {

// Tags apart from the test binary's own tables.
using RowsTable = igd1::test::MemoryTable<101>;
using EarlyTable = igd1::test::MemoryTable<102>;
using PositionTable = igd1::test::MemoryTable<103>;

// The basic document, and the extended one served while the service type is 1.
#define PROBE_ROW_BASE                                                     \
  "<property name='Name' type='s' access='readwrite'/>"                    \
  "<property name='Weight' type='q' access='readwrite'/>"                  \
  "<method name='Echo'><arg name='said' type='s' direction='out'/></method>" \
  "<method name='Mode'><arg name='mode' type='s' direction='out'/></method>" \
  "<method name='Wait'><arg name='instance' type='u' direction='out'/></method>" \
  "<method name='Forget'/><method name='Twice'><arg name='n' type='u' direction='out'/></method>" \
  "<method name='Silent'/>"                                                 \
  "<property name='Note' type='s' access='readwrite'/>"                    \
  "<property name='Wake' type='s' access='readwrite'/>"
constexpr char kRowXml[] = "<node><interface name='com.wqx.igd1.Test.ProbeRow'>" PROBE_ROW_BASE
                           "</interface></node>";
constexpr char kRowExtendedXml[] =
    "<node><interface name='com.wqx.igd1.Test.ProbeRow'>" PROBE_ROW_BASE
    "<property name='Rank' type='u' access='read'/>"
    "<property name='Mood' type='s' access='read'/>"
    "<property name='Seen' type='s' access='read'/>"
    "<method name='Boost'><arg name='rank' type='u' direction='out'/></method>"
    "</interface></node>";
constexpr igd1::InterfaceVariant kVariants[] = {
    {.when = igd1::Variant::ServiceType1, .builtin_xml = kRowExtendedXml}};

constexpr uint16_t kNoteSize = 2048;

// Read hooks: one that tells what it was told of its call, one that fails
// with an error of its own.
GVariant *read_seen(const igd1::CallContext &call, const igd1::RowProperty &, const uint8_t *) {
  constexpr const char *kKinds[] = {"Get", "GetAll", "Set", "SetMulti", "Method"};
  g_autofree gchar *seen = g_strdup_printf("%s %u %u", kKinds[int(call.kind)], call.instance,
                                           call.index);
  return g_variant_new_string(seen);
}
GVariant *read_mood(const igd1::CallContext &call, const igd1::RowProperty &, const uint8_t *) {
  g_set_error(call.error, G_DBUS_ERROR, G_DBUS_ERROR_ACCESS_DENIED, "mood of %s is private",
              call.object_path);
  return nullptr;
}

// A time of day "H:M" (each one or two digits), as hour and minute.
bool parse_time(const char *text, uint8_t *hour, uint8_t *minute) {
  auto field = [&text](unsigned most, uint8_t *value) {
    unsigned number = 0, digits = 0;
    for (; g_ascii_isdigit(*text) && digits < 2; ++text, ++digits) number = number * 10 + unsigned(*text - '0');
    *value = uint8_t(number);
    return digits > 0 && number <= most;
  };
  if (!field(23, hour) || *text++ != ':') return false;
  return field(59, minute) && *text == '\0';
}
// A time is announced with two digits each, however it was written.
GVariant *padded_time(GVariant *value) {
  uint8_t hour = 0, minute = 0;
  if (!parse_time(g_variant_get_string(value, nullptr), &hour, &minute)) return nullptr;
  g_autofree gchar *padded = g_strdup_printf("%02u:%02u", hour, minute);
  return g_variant_new_string(padded);
}
// Wake is kept as hour and minute (bytes 28 and 29), which no field says:
// a write hook stores it, a read hook shows it as short as it goes.
bool write_wake(const igd1::CallContext &call, const igd1::RowProperty &,
                GVariant *value, uint8_t *row, bool *changed) {
  uint8_t hour = 0, minute = 0;
  if (!parse_time(g_variant_get_string(value, nullptr), &hour, &minute)) {
    g_set_error(call.error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "no time of day for %s",
                call.object_path);
    return false;
  }
  *changed = row[28] != hour || row[29] != minute;
  row[28] = hour;
  row[29] = minute;
  return true;
}
GVariant *read_wake(const igd1::CallContext &, const igd1::RowProperty &, const uint8_t *row) {
  g_autofree gchar *text = g_strdup_printf("%u:%u", row[28], row[29]);
  return g_variant_new_string(text);
}

// Name is announced whatever the module says; Weight follows the module;
// Wake is always announced.
constexpr igd1::RowProperty kRowProperties[] = {
    {.name = "Name", .field = igd1::Field::Text, .offset = 1, .size = 16,
     .write_log = "set Name value:%s ", .announce = igd1::Announce::Always},
    {.name = "Weight", .type = "q", .field = igd1::Field::Number, .offset = 20, .size = 2,
     .write_log = "set Weight value:%d ", .max = 1000,
     .refused = "{value} is no weight for {name} of row {instance} at {path}"},
    {.name = "Rank", .type = "u", .field = igd1::Field::Number, .offset = 24, .size = 4},
    {.name = "Note", .field = igd1::Field::Item, .size = kNoteSize, .write_log = "set Note",
     .item = 0},
    {.name = "Mood", .read = read_mood},
    {.name = "Seen", .read = read_seen},
    {.name = "Wake", .write_log = "set Wake value:%s ", .announce = igd1::Announce::Always,
     .read = read_wake, .write = write_wake, .announced = padded_time},
};

// Notes live beside the rows, by instance number: texts larger than the
// engine's usual item buffer.
std::map<uint8_t, std::string> g_notes;
int note_get(int, void *output, const void *row) {
  const std::string &note = g_notes[static_cast<const uint8_t *>(row)[0]];
  std::memcpy(output, note.c_str(), note.size() + 1);
  return 1;
}
int note_set(int, const void *value, void *row) {
  g_notes[static_cast<uint8_t *>(row)[0]] = static_cast<const char *>(value);
  return 1;
}
constexpr mib_table_ops kNotedRows = [] {
  mib_table_ops ops = RowsTable::kOps;
  ops.get_item = note_get;
  ops.set_item = note_set;
  return ops;
}();
constexpr igd1::RowTable rows_table() { return {.store = &kNotedRows}; }

// ---- methods ----

char g_said_to[] = "rows";  // the module's user data

void echo(const igd1::PendingCall &call, GVariant *) {
  const igd1::CallContext &context = call.context();
  g_autofree gchar *said =
      g_strdup_printf("%s %u %u %s", context.object_path, context.instance, context.index,
                      static_cast<const char *>(context.user_data));
  call.reply(g_variant_new("(s)", said));
}
void mode_basic(const igd1::PendingCall &call, GVariant *) {
  call.reply(g_variant_new("(s)", "basic"));
}
void mode_extended(const igd1::PendingCall &call, GVariant *) {
  call.reply(g_variant_new("(s)", "extended"));
}
void boost(const igd1::PendingCall &call, GVariant *) {
  call.reply(g_variant_new("(u)", call.context().instance * 100));
}
// Answered from a worker thread once the test lets the waiting calls go
// (probe_release_waits, and the reset after each test).
struct WaitingCalls {
  std::mutex mutex;
  std::condition_variable released;
  uint64_t releases = 0;
  int waiting = 0;
} g_waits;
void wait_then_answer(const igd1::PendingCall &call, GVariant *) {
  std::unique_lock lock(g_waits.mutex);
  const uint64_t seen = g_waits.releases;
  ++g_waits.waiting;
  std::thread([call, seen] {
    std::unique_lock lock(g_waits.mutex);
    g_waits.released.wait(lock, [seen] { return g_waits.releases != seen; });
    --g_waits.waiting;
    lock.unlock();
    call.reply(g_variant_new("(u)", call.context().instance));
  }).detach();
}
// Kept, then dropped without an answer.
void forget(const igd1::PendingCall &, GVariant *) {}
std::atomic<int> g_second_answers{0};
void twice(const igd1::PendingCall &call, GVariant *) {
  call.reply(g_variant_new("(u)", 1u));
  if (!call.reply(g_variant_new("(u)", 2u))) ++g_second_answers;
}
void silent(const igd1::PendingCall &, GVariant *) {}

void remove_all_rows(const igd1::PendingCall &call, GVariant *);
// The rows' methods, and the manager's RemoveAllObjects.
constexpr igd1::Method kRowMethods[] = {
    {.name = "Echo", .handler = echo},
    {.name = "Mode", .handler = mode_extended, .variant = igd1::Variant::ServiceType1},
    {.name = "Mode", .handler = mode_basic, .variant = igd1::Variant::NotServiceType1},
    {.name = "Boost", .handler = boost, .variant = igd1::Variant::ServiceType1},
    {.name = "Wait", .handler = wait_then_answer, .answer = igd1::Answer::Later},
    {.name = "Forget", .handler = forget, .answer = igd1::Answer::Later},
    {.name = "Twice", .handler = twice},
    {.name = "Silent", .handler = silent},
    {.name = "RemoveAllObjects", .handler = remove_all_rows},
};

// ---- the object beside every row ----
//
// A row's statistics: its lines name the row, and a limit and a label of
// its own are written through a working copy that the request's commit
// stores and its abort drops.  What the hooks were told is journaled.

struct StatsValues {
  uint32_t limit = 0;
  char label[16] = "";
};
std::map<uint32_t, StatsValues> g_stats;  // committed, by row number
StatsValues g_stats_working;              // the request's copy
std::vector<std::string> g_stats_journal;

void journal(const char *what, const igd1::CallContext &call) {
  g_stats_journal.push_back(std::string(what) + " " + std::to_string(call.instance));
}

GVariant *read_stats_data(const igd1::CallContext &call, const igd1::SingleObject &,
                          const igd1::Property &) {
  g_autofree gchar *line = g_strdup_printf("row %u", call.instance);
  const gchar *lines[] = {line, call.object_path, nullptr};
  return g_variant_new_strv(lines, -1);
}
int stats_get(uint32_t instance, int index, void *buffer) {
  const StatsValues &values = g_stats[instance];
  if (index == 0) std::memcpy(buffer, &values.limit, sizeof values.limit);
  else std::memcpy(buffer, values.label, sizeof values.label);
  return 1;
}
int stats_set(int index, void *value) {
  if (index == 0) std::memcpy(&g_stats_working.limit, value, sizeof g_stats_working.limit);
  else g_strlcpy(g_stats_working.label, static_cast<const char *>(value), sizeof g_stats_working.label);
  return 1;
}
igd1::Begin stats_begin(const igd1::CallContext &call, const igd1::SingleObject &) {
  journal("begin", call);
  g_stats_working = g_stats[call.instance];
  return igd1::Begin::Apply;
}
bool stats_commit(const igd1::CallContext &call, const igd1::SingleObject &,
                  const igd1::WriteFlags &) {
  journal("commit", call);
  g_stats[call.instance] = g_stats_working;
  return true;
}
void stats_abort(const igd1::CallContext &call, const igd1::SingleObject &) {
  journal("abort", call);
}
void stats_owner(const igd1::PendingCall &call, GVariant *) {
  call.reply(g_variant_new("(su)", call.context().object_path, call.context().instance));
}
void stats_exported(const igd1::CallContext &call, guint registration) {
  g_stats_journal.push_back("export " + std::to_string(call.instance) + " at " +
                            call.object_path + (registration > 0 ? "" : " unregistered"));
}
// A row added again starts afresh.
void stats_unexported(const igd1::CallContext &call, guint) {
  journal("unexport", call);
  g_stats.erase(call.instance);
}

constexpr uint32_t kStatsLimits[] = {1, 5, 10};
constexpr igd1::Property kStatsProperties[] = {
    {.name = "data", .type = "as", .read = read_stats_data},
    {.name = "Limit", .type = "u", .index = 0, .raw = igd1::Raw::U32, .write = igd1::store_value,
     .stored = igd1::Stored::U32, .allowed = kStatsLimits,
     .refused = "{value} is no limit of row {instance}"},
    {.name = "Label", .index = 1, .buffer = sizeof(StatsValues::label), .write = igd1::store_value,
     .stored = igd1::Stored::Text},
};
constexpr igd1::Method kStatsMethods[] = {
    {.name = "Owner", .handler = stats_owner},
    {.name = "Reset", .handler = stats_owner, .variant = igd1::Variant::ServiceType1},
};
const char *stats_wording(igd1::ObjectText text, int *) {
  switch (text) {
    case igd1::ObjectText::UnknownWrite: return "{name} of row {instance} takes no writes";
    case igd1::ObjectText::UnknownMethod: return "Unknown method {name}";
    default: return nullptr;
  }
}
constexpr igd1::SingleObject kStatsObject = {.path = nullptr,
                                             .xml_file = "ProbeRowStats.xml",
                                             .properties = kStatsProperties,
                                             .set = stats_set,
                                             .get_at = stats_get,
                                             .wording = stats_wording,
                                             .transaction = {.begin = stats_begin,
                                                             .commit = stats_commit,
                                                             .abort = stats_abort},
                                             .multi_failure = igd1::MultiFailure::Restore,
                                             .methods = kStatsMethods};
constexpr igd1::Sibling kStats = {.suffix = "Stats",
                                  .object = &kStatsObject,
                                  .introspection_name = "probe_stats_introspection_data",
                                  .exported = stats_exported,
                                  .unexported = stats_unexported};

// Writes to rows are ignored while the probe is told to ignore writes.
bool ignores_writes();
igd1::Begin rows_begin(const igd1::CallContext &, igd1::RowStep step, const uint8_t *, GVariant *) {
  return step == igd1::RowStep::Write && ignores_writes() ? igd1::Begin::Ignore
                                                          : igd1::Begin::Apply;
}

constexpr igd1::RowModule kRows = {
    .manager_path = "/com/wqx/igd1/Test/Engine/Rows",
    .properties = kRowProperties,
    .table = rows_table(),
    .texts = {.wording = [](igd1::RowText text) -> const char * {
      return text == igd1::RowText::WriteProperty ? "row {instance} has no {name} to write"
                                                  : nullptr;
    }},
    .announce = igd1::Announce::Never,
    .add = igd1::Adding::self_numbered(),
    .max_instance = 8,
    .xml = kRowXml,
    .on = rows_begin,
    .methods = kRowMethods,
    .user_data = g_said_to,
    .sibling = &kStats,
    .variants = kVariants,
};

constexpr char kEarlyPath[] = "/com/wqx/igd1/Test/Engine/Early";

// Reached by position: every row read is counted.
int g_row_reads = 0;
constexpr mib_table_ops kPositionRows = [] {
  mib_table_ops ops = PositionTable::kOps;
  ops.get_list_by_instnum = nullptr;
  ops.row_count = [] { return int(PositionTable::rows.size()); };
  ops.row_at = [](uint32_t position, void *row) {
    ++g_row_reads;
    if (position >= PositionTable::rows.size()) return 0;
    std::memcpy(row, PositionTable::rows[position].data(), igd1::test::kMemoryRowSize);
    return 1;
  };
  return ops;
}();
constexpr igd1::RowTable position_table() { return {.store = &kPositionRows}; }
constexpr igd1::RowModule kPositions = {
    .manager_path = "/com/wqx/igd1/Test/Engine/Positions",
    .properties = std::span(kRowProperties).first(2),
    .table = position_table(),
    .add = igd1::Adding::self_numbered(),
    .xml = kRowXml,
};

// Each early row carries a manager of parts that refuses AddObject; its
// table could insert (and counts the tries).
// Each manager of parts carries an interface of its own that names its row.
GVariant *read_owner(const igd1::CallContext &call, const igd1::SingleObject &,
                     const igd1::Property &) {
  g_autofree gchar *owner = g_strdup_printf("row %u at %s", call.instance, call.object_path);
  return g_variant_new_string(owner);
}
constexpr igd1::Property kPartManagerProperties[] = {{.name = "Owner", .read = read_owner}};
constexpr igd1::SingleObject kPartManager = {.path = nullptr,
                                             .xml_file = nullptr,
                                             .properties = kPartManagerProperties};
igd1::NestedManagers g_early_parts = {
    .suffix = "Part",
    .object = &kPartManager,
    .object_xml = "<node><interface name='com.wqx.igd1.Test.ProbePartManager'>"
                  "<property name='Owner' type='s' access='read'/></interface></node>"};

constexpr igd1::RowModule kEarly = {
    .manager_path = kEarlyPath,
    .properties = std::span(kRowProperties).first(2),  // no extended document
    .table = EarlyTable::table(),
    .announce = igd1::Announce::Always,
    .add = igd1::Adding::self_numbered(),
    .xml = kRowXml,
    .nested = &g_early_parts,
};

int g_part_inserts = 0;
int part_insert(void *, uint32_t, uint32_t *inner) {
  ++g_part_inserts;
  *inner = 1;
  return 1;
}
int part_get(int, const void *, uint32_t inner, void *output) {
  g_snprintf(static_cast<char *>(output), 16, "part %u", inner);
  return 1;
}
constexpr igd1::RowProperty kPartProperties[] = {
    {.name = "Label", .field = igd1::Field::Item, .size = 16, .item = 0},
};
constexpr igd1::RowModule kParts = {
    .manager_path = kEarlyPath,
    .properties = kPartProperties,
    .table = {.store = &EarlyTable::kOps,
              .inner = {.get_item = part_get, .insert = part_insert}},
    .add = igd1::Adding::refuse(),
    .xml = "<node><interface name='com.wqx.igd1.Test.ProbePart'>"
                   "<property name='Label' type='s' access='read'/></interface></node>",
    .nested = &g_early_parts,
};

}  // namespace

IGD1_ROW_COLLECTION(ProbeRows, ProbeRows_introspection_data, "ProbeRows",
                    ProbeRows_handle_get_property, ProbeRows_handle_set_property,
                    ProbeRows_handle_set_multi_properties, ProbeRows_handle_object_mng_call, kRows,
                    ProbeRows)
IGD1_ROW_COLLECTION(ProbeEarly, ProbeEarly_introspection_data, "ProbeEarly",
                    ProbeEarly_handle_get_property, ProbeEarly_handle_set_property,
                    ProbeEarly_handle_set_multi_properties, ProbeEarly_handle_object_mng_call,
                    kEarly, ProbeEarly)
IGD1_ROW_COLLECTION(ProbePositions, ProbePositions_introspection_data, "ProbePositions",
                    ProbePositions_handle_get_property, ProbePositions_handle_set_property,
                    ProbePositions_handle_set_multi_properties,
                    ProbePositions_handle_object_mng_call, kPositions, ProbePositions)
IGD1_ROW_COLLECTION(ProbeParts, ProbeParts_introspection_data, "ProbeParts",
                    ProbeParts_handle_get_property, ProbeParts_handle_set_property,
                    ProbeParts_handle_set_multi_properties, ProbeParts_handle_object_mng_call,
                    kParts)
IGD1_NESTED_ROW_COLLECTION(ProbeParts, kParts)

namespace {

void remove_all_rows(const igd1::PendingCall &call, GVariant *) {
  std::vector<uint32_t> instances;
  for (const auto &row : RowsTable::rows) instances.push_back(row[0]);
  for (uint32_t instance : instances) {
    uint32_t index = 0;
    mib_list_node *node = RowsTable::find(instance, &index);
    RowsTable::remove(index, node);
    ProbeRows_del_interface(instance);
  }
  call.reply(nullptr);
}

}  // namespace

// ---- manager operations ----
//
// A shelf of at most three rows that its table numbers (the insert kind):
// each new row starts from a template, a fourth is refused as full, service
// type 1 takes no AddObject or DeleteObject, DeleteObject on an empty shelf
// has an error of its own, and DeleteObject only takes the child off the bus.

IGD1_API int ProbeShelf_add_interface(uint32_t instance);
IGD1_API int ProbeShelf_del_interface(uint32_t instance);

namespace {

using ShelfTable = igd1::test::MemoryTable<104>;

// The table picks the lowest free number and reports the row, as the
// store's row callback does; it keeps the rest of the new row as it comes.
int shelf_insert(void *row) {
  uint8_t number = 1;
  while (ShelfTable::find(number, nullptr) != nullptr) ++number;
  static_cast<uint8_t *>(row)[0] = number;
  ShelfTable::insert(row);
  ProbeShelf_add_interface(number);
  return 1;
}
constexpr igd1::RowTable shelf_table() {
  igd1::RowTable table = ShelfTable::table();
  table.insert_entry = shelf_insert;  // the module's own, before the table's
  return table;
}
igd1::Begin shelf_guard(const igd1::CallContext &call, igd1::RowStep step, const uint8_t *,
                        GVariant *) {
  if (step != igd1::RowStep::AddObject && step != igd1::RowStep::DeleteObject)
    return igd1::Begin::Apply;
  if (dbus_proxy_get_service_type() == 1) {
    g_set_error(call.error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "##########not support to %s yet",
                igd1::step_method(step));
    return igd1::Begin::Refuse;
  }
  if (step == igd1::RowStep::DeleteObject && ShelfTable::rows.empty()) {
    g_set_error_literal(call.error, G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY, "no shelf instance");
    return igd1::Begin::Refuse;
  }
  return igd1::Begin::Apply;
}
extern const igd1::RowModule kShelf;
// What the delete hook was told: path, instance and position.
std::string g_shelf_deleted;
void unexport_only(const igd1::PendingCall &call, GVariant *) {
  const igd1::CallContext &context = call.context();
  g_shelf_deleted = std::string(context.object_path) + " " + std::to_string(context.instance) +
                    " " + std::to_string(context.index);
  if (context.instance == 0 || ShelfTable::find(context.instance, nullptr) == nullptr) {
    call.fail_named(igd1::chosen(kShelf).error_name, "DeleteObject object path error");
    return;
  }
  ProbeShelf_del_interface(context.instance);
  call.reply(nullptr);
}

// The shelf's names follow the service type it started with, as USB
// storage's do: service type 1 gives an upper-case path, a document of its
// own and an error name of its own.
constexpr igd1::StartChoice kShelfLower = {.error_name = igd1::kObjectManagerError};
constexpr igd1::StartChoice kShelfUpper = {.path = "/com/wqx/igd1/Test/Engine/SHELF",
                                           .xml_file = "ProbeShelfUpper.xml",
                                           .error_name = "com.wqx.igd1.Test.SHELF.Error"};
const igd1::StartChoice *shelf_names() {
  return dbus_proxy_get_service_type() == 1 ? &kShelfUpper : &kShelfLower;
}

constexpr igd1::RowProperty kShelfProperties[] = {
    {.name = "Mark", .type = "q", .field = igd1::Field::Number, .offset = 1, .size = 2},
    {.name = "Status", .type = "y", .field = igd1::Field::Number, .offset = 3, .size = 1},
};
constexpr igd1::Method kShelfMethods[] = {{.name = "DeleteObject", .handler = unexport_only}};

constexpr igd1::RowModule kShelf = {
    .manager_path = "/com/wqx/igd1/Test/Engine/Shelf",
    .properties = kShelfProperties,
    .table = shelf_table(),
    .texts = {.wording = [](igd1::RowText text) -> const char * {
      return text == igd1::RowText::TableFull ? "Error! Table Full." : nullptr;
    }},
    .add = igd1::Adding::insert(3),
    .xml = "<node><interface name='com.wqx.igd1.Test.ProbeShelf'>"
           "<property name='Mark' type='q' access='read'/>"
           "<property name='Status' type='y' access='read'/></interface></node>",
    .on = shelf_guard,
    .choose = shelf_names,
    .methods = kShelfMethods,
};

}  // namespace

IGD1_ROW_COLLECTION(ProbeShelf, ProbeShelf_introspection_data, "ProbeShelf",
                    ProbeShelf_handle_get_property, ProbeShelf_handle_set_property,
                    ProbeShelf_handle_set_multi_properties, ProbeShelf_handle_object_mng_call,
                    kShelf, ProbeShelf)

IGD1_API size_t probe_shelf_rows() { return ShelfTable::rows.size(); }
IGD1_API std::string probe_shelf_deleted() { return g_shelf_deleted; }

// Test controls of the engine probes.
// How many Wait calls wait for probe_release_waits.
IGD1_API int probe_waiting_calls() {
  std::lock_guard lock(g_waits.mutex);
  return g_waits.waiting;
}
IGD1_API void probe_release_waits() {
  std::lock_guard lock(g_waits.mutex);
  ++g_waits.releases;
  g_waits.released.notify_all();
}

IGD1_API void probe_engine_reset() {
  probe_release_waits();
  for (const auto &row : ShelfTable::rows) ProbeShelf_del_interface(row[0]);
  ShelfTable::clear();
  g_shelf_deleted.clear();
  for (const auto &row : RowsTable::rows) ProbeRows_del_interface(row[0]);
  for (const auto &row : EarlyTable::rows) ProbeEarly_del_interface(row[0]);
  for (const auto &row : PositionTable::rows) ProbePositions_del_interface(row[0]);
  RowsTable::clear();
  EarlyTable::clear();
  PositionTable::clear();
  g_second_answers = 0;
  g_notes.clear();
  g_part_inserts = 0;
  g_stats_journal.clear();
}
IGD1_API void probe_engine_refuse_commits(bool refuse) {
  RowsTable::refuse_commit = EarlyTable::refuse_commit = refuse;
}
IGD1_API size_t probe_engine_rows() { return RowsTable::rows.size(); }
// What the hooks of the objects beside the rows were told since the last call.
IGD1_API std::vector<std::string> probe_stats_journal() { return std::exchange(g_stats_journal, {}); }
IGD1_API int probe_engine_second_answers() { return g_second_answers; }
IGD1_API int probe_engine_part_inserts() { return g_part_inserts; }
// Rows read by position since the last call.
IGD1_API int probe_engine_row_reads() { return std::exchange(g_row_reads, 0); }

// ---- a single object with a method table ----

namespace {

char g_single_data[] = "single";

void which(const igd1::PendingCall &call, GVariant *) {
  call.reply(g_variant_new("(ss)", call.context().object_path,
                           static_cast<const char *>(call.context().user_data)));
}
// Answered from a timer on the main loop.
void slow(const igd1::PendingCall &call, GVariant *parameters) {
  guint32 ms = 0;
  g_variant_get(parameters, "(u)", &ms);
  auto *kept = new igd1::PendingCall(call);
  g_timeout_add(ms, [](gpointer data) {
    auto *pending = static_cast<igd1::PendingCall *>(data);
    pending->reply(g_variant_new("(s)", pending->method()));
    delete pending;
    return G_SOURCE_REMOVE;
  }, kept);
}

// Numbers of several bus types stored through the engine's writer in the
// forms the accessor takes (a byte or a 32-bit number).
uint32_t g_numbers[5] = {};
int numbers_get(int index, void *buffer) {
  if (index < 0 || index >= 5) return 0;
  std::memcpy(buffer, &g_numbers[index], sizeof g_numbers[index]);
  return 1;
}
int numbers_set(int index, void *value) {
  if (index < 0 || index >= 5) return 0;
  g_numbers[index] = index == 1 || index == 4 ? *static_cast<uint8_t *>(value)
                                               : *static_cast<uint32_t *>(value);
  return 1;
}
constexpr igd1::Property kSingleProperties[] = {
    {.name = "Level", .type = "i", .index = 0, .raw = igd1::Raw::U32, .write = igd1::store_value,
     .stored = igd1::Stored::U32},
    {.name = "Small", .type = "n", .index = 1, .raw = igd1::Raw::U32, .write = igd1::store_value,
     .stored = igd1::Stored::Byte},
    {.name = "Big", .type = "t", .index = 2, .raw = igd1::Raw::U32, .write = igd1::store_value,
     .stored = igd1::Stored::U32},
    {.name = "Ratio", .type = "d", .index = 3, .raw = igd1::Raw::U32, .write = igd1::store_value,
     .stored = igd1::Stored::U32},
    {.name = "Step", .type = "q", .index = 4, .raw = igd1::Raw::U32, .write = igd1::store_value,
     .stored = igd1::Stored::Byte},
};

constexpr igd1::Method kSingleMethods[] = {
    {.name = "Which", .handler = which},
    {.name = "Slow", .handler = slow, .answer = igd1::Answer::Later},
};
constexpr char kSingleXml[] =
    "<node><interface name='com.wqx.igd1.Test.ProbeSingle'>"
    "<method name='Which'><arg name='path' type='s' direction='out'/>"
    "<arg name='data' type='s' direction='out'/></method>"
    "<method name='Slow'><arg name='ms' type='u' direction='in'/>"
    "<arg name='method' type='s' direction='out'/></method>"
    "<property name='Level' type='i' access='readwrite'/>"
    "<property name='Small' type='n' access='readwrite'/>"
    "<property name='Big' type='t' access='readwrite'/>"
    "<property name='Ratio' type='d' access='readwrite'/>"
    "<property name='Step' type='q' access='readwrite'/>"
    "</interface></node>";
constexpr igd1::SingleObject kSingle = {
    .path = "/com/wqx/igd1/Test/Engine/Single",
    .xml_file = nullptr,
    .properties = kSingleProperties,
    .get = numbers_get,
    .set = numbers_set,
    .wording = [](igd1::ObjectText text, int *) -> const char * {
      return text == igd1::ObjectText::MethodLog ? "[%s] line [%d]: method %s" : nullptr;
    },
    .methods = kSingleMethods,
    .user_data = g_single_data,
};

// The modules of hand-written entries, in the order they started.
std::vector<std::string> g_started;
// The single object starts after the radios, whatever the host is told.
const igd1::StartsAfter kSingleAfterRadios("ProbeSingle", "ProbeRadios");

}  // namespace

// Registered from its table and built-in document.
IGD1_API void ProbeSingle_on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer) {
  g_started.push_back("ProbeSingle");
  igd1::register_described_object(kSingle, kSingleXml, connection, kSingle.path);
}
IGD1_API std::vector<std::string> probe_started() { return std::exchange(g_started, {}); }

// ---- one declaration registered at two paths ----
//
// Radios 1 and 2: each answers with its own instance in the hook context,
// keeps its own window and announces it padded; its secret is refused with
// the hook's own error.

namespace {

std::string g_windows[3];

GVariant *read_band(const igd1::CallContext &call, const igd1::SingleObject &,
                    const igd1::Property &) {
  g_autofree gchar *band = g_strdup_printf("radio %u at %s", call.instance, call.object_path);
  return g_variant_new_string(band);
}
GVariant *read_window(const igd1::CallContext &call, const igd1::SingleObject &,
                      const igd1::Property &) {
  return g_variant_new_string(g_windows[call.instance].c_str());
}
bool write_window(const igd1::CallContext &call, const igd1::SingleObject &,
                  const igd1::Property &, const char *, GVariant *value, igd1::WriteFlags *flags) {
  const char *text = g_variant_get_string(value, nullptr);
  uint8_t hour = 0, minute = 0;
  if (!parse_time(text, &hour, &minute)) {
    g_set_error(call.error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "no time of day for radio %u",
                call.instance);
    return false;
  }
  g_windows[call.instance] = text;
  flags->changed = 1;
  return true;
}
GVariant *read_secret(const igd1::CallContext &call, const igd1::SingleObject &,
                      const igd1::Property &) {
  g_set_error(call.error, G_DBUS_ERROR, G_DBUS_ERROR_ACCESS_DENIED, "secret of %s",
              call.object_path);
  return nullptr;
}

constexpr igd1::Property kRadioProperties[] = {
    {.name = "Band", .read = read_band},
    {.name = "Window", .read = read_window, .write = write_window, .announced = padded_time},
    {.name = "Secret", .read = read_secret},
};
constexpr char kRadioXml[] =
    "<node><interface name='com.wqx.igd1.Test.ProbeRadio'>"
    "<property name='Band' type='s' access='read'/>"
    "<property name='Window' type='s' access='readwrite'/>"
    "<property name='Secret' type='s' access='read'/>"
    "</interface></node>";
constexpr igd1::SingleObject kRadio = {.path = "/com/wqx/igd1/Test/Engine/Radio",
                                       .xml_file = nullptr,
                                       .properties = kRadioProperties};

}  // namespace

IGD1_API void ProbeRadios_on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer) {
  g_started.push_back("ProbeRadios");
  for (uint32_t radio = 1; radio <= 2; ++radio) {
    g_autofree gchar *path = g_strdup_printf("%s/%u", kRadio.path, radio);
    igd1::register_described_object(kRadio, kRadioXml, connection, path, radio);
  }
}
IGD1_API void probe_radios_reset() {
  for (std::string &window : g_windows) window.clear();
}

// ---- a request's transaction ----
//
// A ledger over three of the store's settings (the DHCP range and lease
// time): a failed multi-write stores nothing of itself, its begin may ignore
// a request (answered as a success), and the commits and aborts it reaches
// are counted.

namespace {

bool g_ignore_writes = false;
int g_ledger_commits = 0;
int g_ledger_aborts = 0;

igd1::Begin ledger_begin(const igd1::CallContext &, const igd1::SingleObject &) {
  return g_ignore_writes ? igd1::Begin::Ignore : igd1::Begin::Apply;
}
bool ledger_commit(const igd1::CallContext &, const igd1::SingleObject &,
                   const igd1::WriteFlags &) {
  ++g_ledger_commits;
  return true;
}
void ledger_abort(const igd1::CallContext &, const igd1::SingleObject &) { ++g_ledger_aborts; }

constexpr uint32_t kLedgerLeases[] = {60, 3600};
constexpr igd1::Property kLedgerProperties[] = {
    {.name = "First", .index = 1, .write = igd1::store_value, .stored = igd1::Stored::IPv4Classic},
    {.name = "Last", .index = 2, .write = igd1::store_value, .stored = igd1::Stored::IPv4Classic},
    {.name = "Lease", .type = "u", .index = 6, .raw = igd1::Raw::U32, .write = igd1::store_value,
     .stored = igd1::Stored::U32, .allowed = kLedgerLeases,
     .refused = "{value} is no lease for {name} at {path}"},
};
constexpr char kLedgerXml[] =
    "<node><interface name='com.wqx.igd1.Test.ProbeLedger'>"
    "<property name='First' type='s' access='readwrite'/>"
    "<property name='Last' type='s' access='readwrite'/>"
    "<property name='Lease' type='u' access='readwrite'/>"
    "</interface></node>";
constexpr igd1::SingleObject kLedger = {.path = "/com/wqx/igd1/Test/Engine/Ledger",
                                        .xml_file = nullptr,
                                        .properties = kLedgerProperties,
                                        .get = dhcpserver_get_mib_property,
                                        .set = dhcpserver_set_mib_property,
                                        .transaction = {.begin = ledger_begin,
                                                        .commit = ledger_commit,
                                                        .abort = ledger_abort},
                                        .multi_failure = igd1::MultiFailure::Restore};

}  // namespace

IGD1_API void ProbeLedger_on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer) {
  g_started.push_back("ProbeLedger");
  igd1::register_described_object(kLedger, kLedgerXml, connection, kLedger.path);
}
// Whether ledger and rows ignore writes from now on; the counts of the
// ledger's commits and aborts since the last call.
IGD1_API void probe_ignore_writes(bool ignore) { g_ignore_writes = ignore; }
namespace {
bool ignores_writes() { return g_ignore_writes; }
}  // namespace
IGD1_API std::pair<int, int> probe_ledger_ends() {
  return {std::exchange(g_ledger_commits, 0), std::exchange(g_ledger_aborts, 0)};
}

// ---- single objects whose interface follows the service type ----
//
// A lamp with two property sets by service type (Status on 0, LEDStatus on
// 1), a property whose bus type changes with it, and changes announced on
// service type 0 only; a switch shares its path.  Their files are written
// in their documents below (service type 0).

IGD1_API GDBusNodeInfo *ProbeLamp_introspection_data;
IGD1_API GDBusNodeInfo *ProbeSwitch_introspection_data;
IGD1_API igd1::BusEntry ProbeLamp_on_bus_acquired;
IGD1_API igd1::BusEntry ProbeSwitch_on_bus_acquired;

namespace {

// Index 0: the lamp's state text, 1: its state code, 2 and 3: its kind,
// 4: the switch, 5: the switch's pin.
char g_lamp_status[16] = "OFF";
char g_switch_pin[16] = "";
uint8_t g_lamp_code = 0;
uint8_t g_switch = 0;

int lamp_get(int index, void *buffer) {
  switch (index) {
    case 0: std::memcpy(buffer, g_lamp_status, sizeof g_lamp_status); return 1;
    case 1: static_cast<uint8_t *>(buffer)[0] = g_lamp_code; return 1;
    case 2: std::strcpy(static_cast<char *>(buffer), "desk"); return 1;
    case 3: static_cast<uint8_t *>(buffer)[0] = 7; return 1;
    case 4: static_cast<uint8_t *>(buffer)[0] = g_switch; return 1;
    case 5: std::memcpy(buffer, g_switch_pin, sizeof g_switch_pin); return 1;
    default: return 0;
  }
}

int lamp_set(int index, void *value) {
  switch (index) {
    case 0: g_strlcpy(g_lamp_status, static_cast<const char *>(value), sizeof g_lamp_status); return 1;
    case 1: g_lamp_code = *static_cast<uint8_t *>(value); return 1;
    case 4: g_switch = *static_cast<uint8_t *>(value); return 1;
    case 5: g_strlcpy(g_switch_pin, static_cast<const char *>(value), sizeof g_switch_pin); return 1;
    default: return 0;
  }
}

constexpr igd1::Property kLampProperties[] = {
    {.name = "Status", .index = 0, .write = igd1::store_value, .variant = igd1::Variant::NotServiceType1,
     .stored = igd1::Stored::Text},
    {.name = "LEDStatus", .type = "y", .index = 1, .raw = igd1::Raw::U8, .write = igd1::store_value,
     .variant = igd1::Variant::ServiceType1},
    {.name = "Kind", .index = 2, .variant = igd1::Variant::NotServiceType1},
    {.name = "Kind", .type = "y", .index = 3, .raw = igd1::Raw::U8, .variant = igd1::Variant::ServiceType1},
};
constexpr char kLampPath[] = "/com/wqx/igd1/Test/Engine/Lamp";
constexpr igd1::SingleObject kLamp = {.path = kLampPath, .xml_file = "ProbeLamp.xml",
                                      .properties = kLampProperties, .get = lamp_get,
                                      .set = lamp_set,
                                      .announce = igd1::Announce::ServiceType0};

constexpr igd1::Property kSwitchProperties[] = {
    {.name = "On", .type = "b", .index = 4, .raw = igd1::Raw::U8, .write = igd1::store_value},
    {.name = "Pin", .index = 5, .write = igd1::store_value, .stored = igd1::Stored::Text,
     .apply_order = 1},
};
constexpr igd1::SingleObject kSwitch = {.path = kLampPath, .xml_file = "ProbeSwitch.xml",
                                        .properties = kSwitchProperties, .get = lamp_get,
                                        .set = lamp_set};

constexpr char kLampXml[] =
    "<node><interface name='com.wqx.igd1.Test.ProbeLamp'>"
    "<property name='Status' type='s' access='readwrite'/>"
    "<property name='Kind' type='s' access='read'/></interface></node>";
constexpr char kSwitchXml[] =
    "<node><interface name='com.wqx.igd1.Test.ProbeSwitch'>"
    "<property name='On' type='b' access='readwrite'/>"
    "<property name='Pin' type='s' access='readwrite'/></interface></node>";

// Registered without being listed for the checks against the shipped files.
template <const igd1::SingleObject &kObject, const char *kXml>
void register_probe(GDBusConnection *connection, GDBusNodeInfo **data,
                    const GDBusInterfaceVTable *vtable) {
  const igd1::SingleObjectRegistration registration{.xml_file = kObject.xml_file,
                                                    .introspection_data = data,
                                                    .introspection_name = kObject.xml_file,
                                                    .object_path = kObject.path,
                                                    .vtable = vtable,
                                                    .object = &kObject,
                                                    .builtin_xml = kXml};
  igd1::register_single_object(registration, connection, nullptr);
}

}  // namespace

IGD1_READ_HANDLER(ProbeLamp_get, kLamp)
IGD1_WRITE_HANDLERS(ProbeLamp_set, ProbeLamp_set_multi, kLamp)
IGD1_READ_HANDLER(ProbeSwitch_get, kSwitch)
IGD1_WRITE_HANDLERS(ProbeSwitch_set, ProbeSwitch_set_multi, kSwitch)
GDBusNodeInfo *ProbeLamp_introspection_data = nullptr;
GDBusNodeInfo *ProbeSwitch_introspection_data = nullptr;

namespace {
const GDBusInterfaceVTable kLampVTable = {nullptr, ProbeLamp_get, ProbeLamp_set,
                                          {igd1_set_multi_slot(ProbeLamp_set_multi)}};
const GDBusInterfaceVTable kSwitchVTable = {nullptr, ProbeSwitch_get, ProbeSwitch_set,
                                            {igd1_set_multi_slot(ProbeSwitch_set_multi)}};
}  // namespace

void ProbeLamp_on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer) {
  register_probe<kLamp, kLampXml>(connection, &ProbeLamp_introspection_data, &kLampVTable);
}
void ProbeSwitch_on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer) {
  register_probe<kSwitch, kSwitchXml>(connection, &ProbeSwitch_introspection_data, &kSwitchVTable);
}

// ---- names chosen at the start ----
//
// An object whose path and document follow the service type it started
// with.

namespace {

constexpr igd1::StartChoice kChosenUpper = {.path = "/com/wqx/igd1/Test/Engine/CHOSEN",
                                            .xml_file = "ProbeChosenUpper.xml"};
const igd1::StartChoice *chosen_names() {
  return dbus_proxy_get_service_type() == 1 ? &kChosenUpper : nullptr;
}
GVariant *read_form(const igd1::CallContext &call, const igd1::SingleObject &,
                    const igd1::Property &) {
  return g_variant_new_string(call.object_path);
}
constexpr igd1::Property kChosenProperties[] = {{.name = "Form", .read = read_form}};
constexpr igd1::SingleObject kChosen = {.path = "/com/wqx/igd1/Test/Engine/Chosen",
                                        .xml_file = "ProbeChosen.xml",
                                        .properties = kChosenProperties,
                                        .choose = chosen_names};

}  // namespace

IGD1_READ_HANDLER(ProbeChosen_get, kChosen)
IGD1_WRITE_HANDLERS(ProbeChosen_set, ProbeChosen_set_multi, kChosen)
IGD1_SINGLE_OBJECT(ProbeChosen, ProbeChosen_introspection_data, kChosen, nullptr, ProbeChosen_get,
                   ProbeChosen_set, ProbeChosen_set_multi)
