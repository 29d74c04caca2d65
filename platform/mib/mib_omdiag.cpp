// Operations-and-maintenance diagnostics: the readings of the machine, the
// thresholds and optical alarm settings, and the two watch lists.
//
// The watch lists are tables whose columns are declared below (instance
// number in byte 0, 1 to 99; 100 is the table-full mark).
//
// Readings come from the kernel (system_view.h) where the machine has them
// and otherwise from the emulated board's settings (omdiag.CPUTemperature,
// omdiag.ConntrackCount, omdiag.ConntrackMax); the LAN ports' rates from the
// switch's settings (lan.Port<n>Speed while network.LAN<n>Status is up).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string>

#include "mib_actions.h"
#include "mib_diag.h"
#include "mib_store.h"
#include "mib_table.h"
#include "omdiag_watch.h"
#include "system_view.h"

namespace {

using igd1::mib::Action;
using igd1::mib::Item;
using igd1::mib::read_number;
using K = igd1::mib::ValueKind;

constexpr uint32_t kMaxIndex = kOmdTableFull - 1;
constexpr size_t kNameSize = 64;
constexpr size_t kSingleWriteName = 32;

// ---- the watch lists ---------------------------------------------------------------

bool service_name_fits(std::string_view name) {
  std::string why;
  return igd1::mib::valid_service_name(name, &why);
}

constexpr igd1::mib::Column kResourceColumns[] = {
    {"ServiceName", K::Text, 4, kNameSize},
    {"CPUPercentage", K::U32, 68, 4},
    {"MEMPercentage", K::U32, 72, 4},
};
constexpr igd1::mib::TextCheck kNameCheck[] = {{.column = 0, .valid = service_name_fits}};

constexpr igd1::mib::RangeCheck kPercentRanges[] = {
    {.column = 1, .low = 0, .high = 100},  // CPUPercentage
    {.column = 2, .low = 0, .high = 100},  // MEMPercentage
};

std::vector<uint8_t> resource_seed();
constexpr igd1::mib::TableSpec kResourceSpec = {
    // No module: the diagnostics number and export their rows themselves.
    .def = igd1::mib::record_table("omdiag_resource", nullptr, 76, kResourceColumns, kMaxIndex,
                                   kMaxIndex),
    .prefix = "omdiag_resource",
    .checks = kNameCheck,
    .ranges = kPercentRanges,
    .seed_marker = "omdiag.ResourceSeeded",
    .seed = resource_seed,
};
igd1::mib::Table g_resources(kResourceSpec);

constexpr igd1::mib::Column kProcessColumns[] = {{"ServiceName", K::Text, 4, kNameSize}};
std::vector<uint8_t> process_seed();
constexpr igd1::mib::TableSpec kProcessSpec = {
    .def = igd1::mib::record_table("omdiag_process", nullptr, 68, kProcessColumns, kMaxIndex,
                                   kMaxIndex),
    .prefix = "omdiag_process",
    .checks = kNameCheck,
    .seed_marker = "omdiag.ProcessSeeded",
    .seed = process_seed,
};
igd1::mib::Table g_processes(kProcessSpec);

// The resolver, the daemon itself and the clock keep their limits; the
// resolver and the clock must keep running.
std::vector<uint8_t> resource_seed() {
  return igd1::mib::seed_records(
      kResourceSpec.def,
      {{{"ServiceName", "dnsmasq"}, {"CPUPercentage", "30"}, {"MEMPercentage", "10"}},
       {{"ServiceName", "igd1d"}, {"CPUPercentage", "40"}, {"MEMPercentage", "20"}},
       {{"ServiceName", "ntpd"}, {"CPUPercentage", "10"}, {"MEMPercentage", "5"}}});
}
std::vector<uint8_t> process_seed() {
  return igd1::mib::seed_records(kProcessSpec.def,
                                 {{{"ServiceName", "dnsmasq"}}, {{"ServiceName", "ntpd"}}});
}

igd1::mib::Table &list_of(bool resources) { return resources ? g_resources : g_processes; }

igd1::mib::RowList &rows_of(bool resources) { return list_of(resources).rows(); }

std::string name_in(const uint8_t *row) {
  return std::string(igd1::mib::text_in(row + 4, kNameSize));
}

bool put_name(uint8_t *row, std::string_view name) {
  if (name.size() >= kNameSize) return false;
  std::memset(row + 4, 0, kNameSize);
  std::memcpy(row + 4, name.data(), name.size());
  return true;
}

GVariant *ok() { return g_variant_new("(b)", TRUE); }

// Counting the rows is what a start-up asks first: a new store is seeded then.
GVariant *row_count(bool resources) {
  if (!list_of(resources).init()) return nullptr;
  return g_variant_new("(u)", uint32_t(rows_of(resources).size()));
}

GVariant *index_at(bool resources, GVariant *parameter) {
  uint32_t position = 0;
  g_variant_get(parameter, "(u)", &position);
  const mib_list_node *node = rows_of(resources).at(position);
  if (node == nullptr) return nullptr;
  return g_variant_new("(u)", uint32_t(*static_cast<const uint8_t *>(node->data)));
}

GVariant *free_index(bool resources) {
  igd1::mib::RowList &rows = rows_of(resources);
  for (uint32_t index = 1; index <= kMaxIndex; ++index)
    if (rows.find(index) == nullptr) return g_variant_new("(u)", index);
  return g_variant_new("(u)", uint32_t(kOmdTableFull));
}

GVariant *create_row(bool resources, GVariant *parameter) {
  uint32_t index = 0;
  const char *name = nullptr;
  g_variant_get(parameter, "(u&s)", &index, &name);
  if (index < 1 || index > kMaxIndex) return nullptr;
  std::vector<uint8_t> row(list_of(resources).spec().def.row_size, 0);
  row[0] = uint8_t(index);
  if (!put_name(row.data(), name) || list_of(resources).refused(row.data()) != nullptr)
    return nullptr;
  return rows_of(resources).insert_at(row.data()) ? ok() : nullptr;
}

// The row a path's last segment names ("/.../Resource/3" is 3): digits
// without a leading zero, 1 to kMaxIndex; 0 for anything else.
uint32_t index_of_path(const char *path) {
  return uint32_t(igd1::mib::decimal(std::strrchr(path, '/') + 1, 1, kMaxIndex).value_or(0));
}

GVariant *delete_row(bool resources, GVariant *parameter) {
  const char *path = nullptr;
  g_variant_get(parameter, "(&o)", &path);
  const uint32_t index = index_of_path(path);
  if (index == 0 || rows_of(resources).find(index) == nullptr) return nullptr;
  return rows_of(resources).remove(index) ? ok() : nullptr;
}

// A copy of the row of `index`, or an empty vector.
std::vector<uint8_t> row_copy(bool resources, uint32_t index) {
  const mib_list_node *node = index >= 1 && index <= kMaxIndex ? rows_of(resources).find(index) : nullptr;
  if (node == nullptr) return {};
  const auto *data = static_cast<const uint8_t *>(node->data);
  return std::vector<uint8_t>(data, data + list_of(resources).spec().def.row_size);
}

constexpr size_t kCpuOffset = 68, kMemoryOffset = 72;

GVariant *read_field(bool resources, GVariant *parameter) {
  uint32_t field = 0, index = 0;
  g_variant_get(parameter, "(uu)", &field, &index);
  const std::vector<uint8_t> row = row_copy(resources, index);
  if (row.empty()) return nullptr;
  if (field == 1) return g_variant_new("(s)", name_in(row.data()).c_str());
  if (!resources || (field != 2 && field != 3)) return nullptr;
  return g_variant_new("(u)",
                       igd1::mib::load<uint32_t>(row.data() + (field == 2 ? kCpuOffset : kMemoryOffset)));
}

// A change of one row: its name (field 1) in either list; a resource's
// CPU (2) or memory (3) limit, or both limits and a name unless empty (4).
GVariant *write_row(bool resources, GVariant *parameter) {
  const char *type = g_variant_get_type_string(parameter);
  uint32_t field = 0, index = 0;
  std::vector<uint8_t> row;
  if (std::strcmp(type, "(uus)") == 0) {
    const char *name = nullptr;
    g_variant_get(parameter, "(uu&s)", &field, &index, &name);
    row = row_copy(resources, index);
    if (field != 1 || row.empty() || !put_name(row.data(), name)) return nullptr;
  } else if (!resources) {
    return nullptr;
  } else if (std::strcmp(type, "(uuu)") == 0) {
    uint32_t percent = 0;
    g_variant_get(parameter, "(uuu)", &field, &index, &percent);
    row = row_copy(true, index);
    if ((field != 2 && field != 3) || row.empty()) return nullptr;
    std::memcpy(row.data() + (field == 2 ? kCpuOffset : kMemoryOffset), &percent, sizeof percent);
  } else if (std::strcmp(type, "(uuuus)") == 0) {
    uint32_t cpu = 0, memory = 0;
    const char *name = nullptr;
    g_variant_get(parameter, "(uuuu&s)", &field, &index, &cpu, &memory, &name);
    row = row_copy(true, index);
    if (field != 4 || row.empty() || (*name != '\0' && !put_name(row.data(), name))) return nullptr;
    std::memcpy(row.data() + kCpuOffset, &cpu, sizeof cpu);
    std::memcpy(row.data() + kMemoryOffset, &memory, sizeof memory);
  } else {
    return nullptr;
  }
  if (list_of(resources).refused(row.data()) != nullptr) return nullptr;
  return rows_of(resources).store(row.data()) ? ok() : nullptr;
}

// ---- thresholds, optical settings, the board's readings ------------------------------

constexpr uint32_t kMaxDegrees = 125;
constexpr auto kDegrees = igd1::mib::within<uint32_t, 0, kMaxDegrees>;
constexpr Item kCpuTempThreshold = {"omdiag.CPUTempThreshold", K::U32, 4, "85", kDegrees};
constexpr Item kPonTempThreshold = {"omdiag.PONTempThreshold", K::U32, 4, "70", kDegrees};
constexpr Item kFlashThreshold = {"omdiag.SystemFlashThreshold", K::U32, 4, "90",
                                  igd1::mib::within<uint32_t, 0, 100>};  // percent
constexpr Item kConnThreshold = {"omdiag.ConnNumThreshold", K::U32, 4, "12000",
                                 igd1::mib::within<uint32_t, 1, UINT32_MAX>};
constexpr Item kEmulatedTemperature = {"omdiag.CPUTemperature", K::U32, 4, "52"};
constexpr Item kEmulatedConntrackCount = {"omdiag.ConntrackCount", K::U32, 4, "356"};
constexpr Item kEmulatedConntrackMax = {"omdiag.ConntrackMax", K::U32, 4, "16384"};
constexpr Item kCapabilityWiFi = {"omdiag.FTTRMasterWiFi", K::U32, 4, "1"};
const igd1::mib::Defaults kOwnDefaults({kCpuTempThreshold, kPonTempThreshold, kFlashThreshold,
                                        kConnThreshold, kEmulatedTemperature,
                                        kEmulatedConntrackCount, kEmulatedConntrackMax,
                                        kCapabilityWiFi});

// The optical settings by read code 41 to 47; the write codes 48 to 53
// reach all but the transmit power (42), which is the PON module's reading.
constexpr Item kOptical[] = {
    {"omdiag.DnOptTxPWREnable", K::Bool, 4, "0"},
    {"pon.TXPower", K::Double, 8},
    {"omdiag.DnOptTxPWRThresholdH", K::Double, 8, "7"},
    {"omdiag.DnOptTxPWRThresholdL", K::Double, 8, "0.5"},
    {"omdiag.DnOptRxPWREnable", K::Bool, 4, "1"},
    {"omdiag.DnOptRxPWRThresholdH", K::Double, 8, "-8"},
    {"omdiag.DnOptRxPWRThresholdL", K::Double, 8, "-27"},
};
const igd1::mib::Defaults kOpticalDefaults(kOptical);
constexpr uint32_t kFirstOpticalRead = 41, kFirstOpticalWrite = 48;
constexpr double kLowestDbm = -50, kHighestDbm = 10;

GVariant *read_threshold(const Item &item) {
  const std::optional<uint32_t> value = read_number<uint32_t>(item);
  return value ? g_variant_new("(u)", *value) : nullptr;
}

// Writes a number the item takes (its declared range, and at most `high`).
GVariant *write_number(const Item &item, GVariant *parameter, uint32_t high = UINT32_MAX) {
  uint32_t value = 0;
  g_variant_get(parameter, "(u)", &value);
  if (value > high) return nullptr;
  return igd1::mib::write_item(item, &value) ? ok() : nullptr;
}

// The connection-tracking table as the kernel has it, or as the board's
// settings emulate it.
std::optional<igd1::mib::Conntrack> tracked_connections(bool *emulated) {
  *emulated = false;
  if (std::optional<igd1::mib::Conntrack> kernel = igd1::mib::conntrack()) return kernel;
  *emulated = true;
  const std::optional<uint32_t> count = read_number<uint32_t>(kEmulatedConntrackCount);
  const std::optional<uint32_t> max = read_number<uint32_t>(kEmulatedConntrackMax);
  if (!count || !max) return std::nullopt;
  return igd1::mib::Conntrack{*count, *max};
}

GVariant *conntrack_reading() {
  bool emulated = false;
  const std::optional<igd1::mib::Conntrack> table = tracked_connections(&emulated);
  if (!table) return nullptr;
  return g_variant_new("(uus)", table->count, table->max, emulated ? "emulated" : "kernel");
}

GVariant *write_conn_threshold(GVariant *parameter) {
  bool emulated = false;
  const std::optional<igd1::mib::Conntrack> table = tracked_connections(&emulated);
  return table ? write_number(kConnThreshold, parameter, table->max) : nullptr;
}

GVariant *cpu_temperature() {
  if (std::optional<igd1::mib::Temperature> measured = igd1::mib::cpu_temperature())
    return g_variant_new("(uus)", measured->celsius, 0u, measured->zone.c_str());
  const std::optional<uint32_t> emulated = read_number<uint32_t>(kEmulatedTemperature);
  return emulated ? g_variant_new("(uus)", *emulated, 1u, "emulated") : nullptr;
}

// The action that runs `run` for the number `N` its code stands for.
template <GVariant *(*run)(uint32_t, GVariant *), uint32_t N>
GVariant *numbered(GVariant *parameter, GError **) {
  return run(N, parameter);
}

GVariant *port_rate(uint32_t port, GVariant *) {
  const std::string n = std::to_string(port);
  const std::string status_name = "network.LAN" + n + "Status";
  const std::string speed_name = "lan.Port" + n + "Speed";
  const Item status = {status_name.c_str(), K::U8, 1};
  const Item speed = {speed_name.c_str(), K::U32, 4};
  uint8_t up = 0;
  uint32_t rate = 0;
  if (!igd1::mib::read_item(status, &up) || !igd1::mib::read_item(speed, &rate)) return nullptr;
  return g_variant_new("(uus)", up != 0 ? rate : 0u, up != 0 ? 1u : 0u, up != 0 ? "Full" : "");
}

GVariant *read_optical(uint32_t code, GVariant *) {
  const Item &item = kOptical[code - kFirstOpticalRead];
  if (item.kind == K::Bool) {
    int32_t on = 0;
    return igd1::mib::read_item(item, &on) ? g_variant_new("(b)", gboolean(on != 0)) : nullptr;
  }
  double value = 0;
  return igd1::mib::read_item(item, &value) ? g_variant_new("(d)", value) : nullptr;
}

// Write code 48 + n reaches the setting after the transmit power for n > 0.
const Item &optical_written(uint32_t code) {
  const uint32_t n = code - kFirstOpticalWrite;
  return kOptical[n == 0 ? 0 : n + 1];
}

GVariant *write_optical(uint32_t code, GVariant *parameter) {
  const Item &item = optical_written(code);
  if (item.kind == K::Bool) {
    gboolean on = FALSE;
    g_variant_get(parameter, "(b)", &on);
    const int32_t stored = on ? 1 : 0;
    return igd1::mib::write_item(item, &stored) ? ok() : nullptr;
  }
  double value = 0;
  g_variant_get(parameter, "(d)", &value);
  if (!std::isfinite(value) || value < kLowestDbm || value > kHighestDbm) return nullptr;
  // A high threshold never falls below its low one.
  const std::string_view name = item.name;
  const bool high = name.back() == 'H';
  const std::string other = std::string(name.substr(0, name.size() - 1)) + (high ? "L" : "H");
  double paired = 0;
  if (igd1::mib::read_item({other.c_str(), K::Double, 8}, &paired) &&
      (high ? value < paired : value > paired))
    return nullptr;
  return igd1::mib::write_item(item, &value) ? ok() : nullptr;
}

// ---- methods -------------------------------------------------------------------------

GVariant *collect_wifi_info() {
  char status[64] = {}, mode[64] = {};
  uint64_t tx = 0, rx = 0;
  if (!igd1::mib::read_item({"network.WiFiModuleStatus", K::Text, 64}, status) ||
      !igd1::mib::read_item({"network.WiFiMode", K::Text, 64}, mode) ||
      !igd1::mib::read_item({"network.WiFiTxBytes", K::U64, 8}, &tx) ||
      !igd1::mib::read_item({"network.WiFiRxBytes", K::U64, 8}, &rx))
    return nullptr;
  g_autofree gchar *text = g_strdup_printf("status=%s;mode=%s;tx=%" G_GUINT64_FORMAT
                                           ";rx=%" G_GUINT64_FORMAT,
                                           status, mode, tx, rx);
  return g_variant_new("(us)", 0u, text);
}

constexpr const char *kWiFiDaemons[] = {"hostapd", "wpa_supplicant", "wifid"};

GVariant *wifi_processes() {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(us)"));
  for (const igd1::mib::ProcessInfo &process : igd1::mib::list_processes("")) {
    if (std::find(std::begin(kWiFiDaemons), std::end(kWiFiDaemons), process.name) != std::end(kWiFiDaemons))
      g_variant_builder_add(&builder, "(us)", process.pid, process.name.c_str());
  }
  return g_variant_new("(a(us))", &builder);
}

// The service a method names, checked; false with the reason for a name
// that may not name one.
bool service_named(GVariant *parameter, const char **name, bool empty_allowed, GError **error) {
  g_variant_get(parameter, "(&s)", name);
  if (empty_allowed && **name == '\0') return true;
  std::string why;
  if (igd1::mib::valid_service_name(*name, &why)) return true;
  g_set_error(error, igd1::mib::action_error_quark(), int(igd1::mib::ActionError::WrongParameter),
              "OMDiag_handle_action: %s", why.c_str());
  return false;
}

GVariant *service_pid(GVariant *parameter, GError **error) {
  const char *name = nullptr;
  if (!service_named(parameter, &name, false, error)) return nullptr;
  uint32_t pid = 0;
  uint64_t earliest = UINT64_MAX;
  for (const igd1::mib::ProcessInfo &process : igd1::mib::list_processes(name)) {
    if (process.start_ticks < earliest) {
      earliest = process.start_ticks;
      pid = process.pid;
    }
  }
  return g_variant_new("(u)", pid);
}

GVariant *service_processes(GVariant *parameter, GError **error) {
  const char *name = nullptr;
  if (!service_named(parameter, &name, true, error)) return nullptr;
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(usuu)"));
  for (const igd1::mib::ProcessInfo &process : igd1::mib::list_processes(name)) {
    g_variant_builder_add(&builder, "(usuu)", process.pid, process.name.c_str(),
                          uint32_t(std::min<uint64_t>(process.rss_kb, UINT32_MAX)), process.threads);
  }
  return g_variant_new("(a(usuu))", &builder);
}

constexpr Action kActions[] = {
    {1, nullptr, [](GVariant *, GError **) { return collect_wifi_info(); }},
    {6, nullptr, [](GVariant *, GError **) { return cpu_temperature(); }},
    {8, nullptr, numbered<port_rate, 1>},
    {9, nullptr, numbered<port_rate, 2>},
    {10, nullptr, numbered<port_rate, 3>},
    {11, nullptr, numbered<port_rate, 4>},
    {12, "(u)", [](GVariant *p, GError **) { return write_conn_threshold(p); }},
    {13, nullptr, [](GVariant *, GError **) { return conntrack_reading(); }},
    {14, "(u)", [](GVariant *p, GError **) { return write_number(kFlashThreshold, p); }},
    {17, nullptr, [](GVariant *, GError **) { return read_threshold(kCpuTempThreshold); }},
    {18, nullptr, [](GVariant *, GError **) { return read_threshold(kPonTempThreshold); }},
    {19, nullptr, [](GVariant *, GError **) { return read_threshold(kFlashThreshold); }},
    {20, nullptr, [](GVariant *, GError **) { return read_threshold(kConnThreshold); }},
    {21, "(u)", [](GVariant *p, GError **) { return write_number(kCpuTempThreshold, p); }},
    {22, "(u)", [](GVariant *p, GError **) { return write_number(kPonTempThreshold, p); }},
    {23, nullptr, [](GVariant *, GError **) { return row_count(true); }},
    {24, nullptr, [](GVariant *, GError **) { return row_count(false); }},
    {25, nullptr, [](GVariant *, GError **) { return free_index(true); }},
    {26, nullptr, [](GVariant *, GError **) { return free_index(false); }},
    {27, "(us)", [](GVariant *p, GError **) { return create_row(true, p); }},
    {28, "(us)", [](GVariant *p, GError **) { return create_row(false, p); }},
    {29, "(o)", [](GVariant *p, GError **) { return delete_row(true, p); }},
    {30, "(o)", [](GVariant *p, GError **) { return delete_row(false, p); }},
    {31, "(uu)", [](GVariant *p, GError **) { return read_field(true, p); }},
    {32, "(uu)", [](GVariant *p, GError **) { return read_field(false, p); }},
    {33, "r", [](GVariant *p, GError **) { return write_row(true, p); }},
    {34, "(uus)", [](GVariant *p, GError **) { return write_row(false, p); }},
    {35, "(u)", [](GVariant *p, GError **) { return index_at(true, p); }},
    {36, "(u)", [](GVariant *p, GError **) { return index_at(false, p); }},
    {38, nullptr, [](GVariant *, GError **) { return wifi_processes(); }},
    {39, "(s)", service_pid},
    {40, "(s)", service_processes},
    {41, nullptr, numbered<read_optical, 41>},
    {42, nullptr, numbered<read_optical, 42>},
    {43, nullptr, numbered<read_optical, 43>},
    {44, nullptr, numbered<read_optical, 44>},
    {45, nullptr, numbered<read_optical, 45>},
    {46, nullptr, numbered<read_optical, 46>},
    {47, nullptr, numbered<read_optical, 47>},
    {48, "(b)", numbered<write_optical, 48>},
    {49, "(d)", numbered<write_optical, 49>},
    {50, "(d)", numbered<write_optical, 50>},
    {51, "(b)", numbered<write_optical, 51>},
    {52, "(d)", numbered<write_optical, 52>},
    {53, "(d)", numbered<write_optical, 53>},
};
constexpr igd1::mib::Actions kDispatcher("OMDiag_handle_action", kActions);

}  // namespace

namespace igd1::mib {

std::vector<WatchedResource> watched_resources() {
  std::vector<WatchedResource> watched;
  RowList &rows = rows_of(true);
  for (const mib_list_node *node = rows.head(); node != nullptr; node = node->next) {
    const auto *row = static_cast<const uint8_t *>(node->data);
    watched.push_back({name_in(row), load<uint32_t>(row + kCpuOffset), load<uint32_t>(row + kMemoryOffset)});
  }
  return watched;
}

std::vector<const TableDef *> watch_list_tables() { return {&kResourceSpec.def, &kProcessSpec.def}; }

std::vector<std::string> watched_processes() {
  std::vector<std::string> watched;
  RowList &rows = rows_of(false);
  for (const mib_list_node *node = rows.head(); node != nullptr; node = node->next)
    watched.push_back(name_in(static_cast<const uint8_t *>(node->data)));
  return watched;
}

}  // namespace igd1::mib

int OMDiag_handle_action(uint32_t code, GVariant *parameter, GVariant **reply) {
  return kDispatcher.handle(code, parameter, reply);
}

int device_capability_handler(int capability, uint32_t *value) {
  if (value == nullptr || capability != 1 || igd1::mib::should_fail("device_capability_handler", capability))
    return 0;
  return igd1::mib::read_item(kCapabilityWiFi, value) ? 1 : 0;
}

void init_OMD_info(void) { igd1::mib::service_watch().start(); }
