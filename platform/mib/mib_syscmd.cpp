// System command items and the device commands behind them.  The items
// (syscmd_get_mib_property) are kItems below, by index; the LOID and its
// password are the ones the PON information object shows.
//
// Nothing here touches the machine.  A reboot, a hardware check or a log
// upload is an entry in the journal under MIB_JOURNAL_SYSTEM; a restore to
// defaults is recorded as pending and carried out by the next start of the
// system command service (init_Poll_UpgradeStatus_chg); a firmware upgrade
// walks through its states on a timer of the bus main loop, and each change
// of state is announced on the bus as a change of UpgradeStatus.
#include <arpa/inet.h>
#include <unistd.h>
#include <dlfcn.h>
#include <glib.h>

#include <algorithm>
#include <optional>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "dbus_proxy_api.h"
#include "mib_api.h"
#include "mib_internal.h"
#include "mib_store.h"
#include "mib_syscmd.h"
#include "sys_files.h"
#include "sys_paths.h"

namespace igd1::mib::syscmd {

uint64_t now_ms() { return static_cast<uint64_t>(g_get_real_time() / 1000); }

uint64_t number_setting(const char *name, uint64_t fallback) {
  std::optional<std::string> text = get_setting(name);
  return text ? parse_whole<uint64_t>(*text).value_or(fallback) : fallback;
}

bool set_number_setting(const char *name, uint64_t value) {
  return set_setting(name, std::to_string(value));
}

void journal_action(const std::string &text) { journal_append(MIB_JOURNAL_SYSTEM, 0, text); }

namespace {

bool is_dns_name(std::string_view name) {
  if (name.empty() || name.size() > 253) return false;
  size_t start = 0;
  for (;;) {
    size_t dot = name.find('.', start);
    std::string_view label = name.substr(start, dot == std::string_view::npos ? dot : dot - start);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
    for (char c : label)
      if (!g_ascii_isalnum(c) && c != '-') return false;
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

bool is_address(int family, std::string_view text) {
  char copy[64] = {};
  if (text.size() >= sizeof copy) return false;
  std::memcpy(copy, text.data(), text.size());
  unsigned char address[16];
  return inet_pton(family, copy, address) == 1;
}

bool is_host(std::string_view host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    return is_address(AF_INET6, host.substr(1, host.size() - 2));
  // All digits and dots: only a complete dotted address will do.
  if (host.find_first_not_of("0123456789.") == std::string_view::npos) return is_address(AF_INET, host);
  return is_dns_name(host);
}

// Up to five digits, nothing else, naming 1 to 65535.
bool is_port(std::string_view port) {
  const std::optional<uint16_t> value = parse_whole<uint16_t>(port);
  return port.size() <= 5 && value && *value >= 1;
}

bool is_visible_ascii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

}  // namespace

bool is_host_port(std::string_view text) {
  size_t host_end = text.size();
  if (!text.empty() && text.front() == '[') {
    size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    host_end = close + 1;
  } else if (size_t colon = text.find(':'); colon != std::string_view::npos) {
    host_end = colon;
  }
  std::string_view rest = text.substr(host_end);
  if (!is_host(text.substr(0, host_end))) return false;
  return rest.empty() || (rest.front() == ':' && is_port(rest.substr(1)));
}

bool is_url(std::string_view text, std::string_view schemes) {
  size_t separator = text.find("://");
  if (separator == std::string_view::npos || separator == 0) return false;
  std::string_view scheme = text.substr(0, separator);
  bool known = false;
  for (size_t start = 0; start <= schemes.size();) {
    size_t comma = schemes.find(',', start);
    if (comma == std::string_view::npos) comma = schemes.size();
    known = known || schemes.substr(start, comma - start) == scheme;
    start = comma + 1;
  }
  if (!known) return false;
  std::string_view rest = text.substr(separator + 3);
  size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  std::string_view path = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
  if (size_t at = authority.rfind('@'); at != std::string_view::npos) {
    if (!is_visible_ascii(authority.substr(0, at))) return false;
    authority = authority.substr(at + 1);
  }
  return is_host_port(authority) && is_visible_ascii(path);
}

bool is_printable_text(std::string_view text) {
  if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) return false;
  return std::none_of(text.begin(), text.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

}  // namespace igd1::mib::syscmd

namespace {

namespace sys = igd1::mib::syscmd;
using igd1::mib::Item;
using igd1::mib::text_in;
using K = igd1::mib::ValueKind;

constexpr char kGetAccessor[] = "syscmd_get_mib_property";

constexpr char kUploadSchemes[] = "http,https,ftp,tftp";

enum Index {
  kUpgradeStatusIndex = 0,
  kUpgradeVersionIndex = 1,
  kSuperPasswordIndex = 13,
};

// LOID and LOID password limits.
constexpr size_t kLoidMax = 24;
constexpr size_t kLoidPasswordMax = 12;

// From `min` to `max` printable characters without spaces.
template <size_t min, size_t max>
bool credential(const void *value) {
  const std::string_view credential = text_in(value, max + 1);
  return credential.size() >= min && credential.size() <= max && sys::is_visible_ascii(credential);
}

constexpr Item kNone = {nullptr, K::Text, 0};
// UpgradeStatus: 0 none, 1 downloading, 2 writing the image, 3 done (the new
// version runs after the next start), 4 failed.  RestoreStatus: 0, 5 or 6
// while a restore or recovery starts, 7 cleared.
constexpr Item kItems[] = {
    /* 0 */ {"syscmd.UpgradeStatus", K::U8, 1, "0"},
    /* 1 */ {"syscmd.UpgradeSWVersion", K::Text, 256, "V3.1.2.0041"},
    /* 2 */ {"syscmd.RestoreStatus", K::U8, 1, "7"},
    /* 3 */ {"syscmd.Province", K::Text, 64, ""},
    /* 4 */ {"syscmd.MemAlarm", K::U8, 1, "0", igd1::mib::within<uint8_t, 0, 1>},
    /* 5 */ {"syscmd.MemLimit", K::U8, 1, "90", igd1::mib::within<uint8_t, 1, 100>},  // percent
    /* 6 */ {"pon.LOID", K::Text, 64, nullptr, credential<1, kLoidMax>},
    /* 7 */ {"syscmd.PreviousLOID", K::Text, 64, ""},
    /* 8 */ {"pon.Password", K::Text, 64, nullptr, credential<0, kLoidPasswordMax>},
    /* 9 */ {"syscmd.PreviousLOIDPassword", K::Text, 64, ""},
    /* 10 */ {"pon.PONType", K::I32, 4},
    /* 11 */ kNone,
    /* 12 */ {"syscmd.UserPassword", K::Text, 64, "Wqx2210ua"},
    /* 13 */ {"syscmd.SuperUserPassword", K::Text, 64, "WqxAdm2210"},
    /* 14 */ {"syscmd.KeepPreviousLOID", K::U8, 1, "0"},
    /* 15 */ kNone,
    /* 16 */ {"device.InitSSID", K::Text, 64, "WQX-2210"},
};
const igd1::mib::Defaults kItemsDefaults(kItems);
constexpr int kItemCount = static_cast<int>(std::size(kItems));
// Indexes the commands may write; the others belong to the store's services.
constexpr bool kWritable[] = {false, false, true, true, true, true, true,  true, true,
                              true,  false, false, true, false, true, false, false};
static_assert(std::size(kWritable) == std::size(kItems));

bool writable(int index) { return index >= 0 && index < kItemCount && kWritable[index]; }

// ---- upgrade ---------------------------------------------------------------------------

// No upgrade asked for; a stage takes as long as the emulated upgrade's.
const igd1::mib::Defaults kUpgradeDefaults({
    {"upgrade.URL", K::Text, 256, ""},
    {"upgrade.NeedReboot", K::U8, 1, "0"},
    {"upgrade.StartMs", K::U64, 8, "0"},
    {"upgrade.StageMs", K::U32, 4, "2000"},
});

enum UpgradeStatus : uint8_t {
  kUpgradeNone = 0,
  kUpgradeDownloading = 1,
  kUpgradeWriting = 2,
  kUpgradeDone = 3,
  kUpgradeFailed = 4,
};

constexpr char kUpgradeStatus[] = "syscmd.UpgradeStatus";
constexpr char kUpgradeVersion[] = "syscmd.UpgradeSWVersion";
constexpr char kRunningVersion[] = "device.SoftwareVersion";
constexpr size_t kVersionMax = 255;

bool upgrade_running(uint64_t status) {
  return status == kUpgradeDownloading || status == kUpgradeWriting;
}

// The version an image carries in its file name ("HG8G4_V3.1.3.0002.bin"
// gives "V3.1.3.0002"); the bare file name when it names none.
std::string version_from_url(std::string_view url) {
  url = url.substr(0, url.find_first_of("?#"));
  std::string_view name = url.substr(url.rfind('/') + 1);
  for (std::string_view suffix : {".bin", ".img"})
    if (name.size() > suffix.size() && name.substr(name.size() - suffix.size()) == suffix)
      name.remove_suffix(suffix.size());
  for (size_t i = 0; i + 1 < name.size(); ++i) {
    if ((name[i] == 'V' || name[i] == 'v') && g_ascii_isdigit(name[i + 1])) {
      name = name.substr(i);
      break;
    }
  }
  return std::string(name.empty() ? std::string_view("unknown") : name.substr(0, kVersionMax));
}

// One step of the upgrade: downloading for a stage, writing for a stage,
// then done (or failed when the image is refused).
void advance_upgrade() {
  if (!igd1::mib::store_is_open()) return;
  const uint64_t status = sys::number_setting(kUpgradeStatus);
  if (!upgrade_running(status)) return;
  const uint64_t stage = std::max<uint64_t>(1, sys::number_setting("upgrade.StageMs", 2000));
  const uint64_t elapsed = sys::now_ms() - std::min(sys::now_ms(), sys::number_setting("upgrade.StartMs"));
  uint64_t next = kUpgradeDownloading;
  if (elapsed >= 2 * stage)
    next = igd1::mib::should_fail("upgrade_image", 0) ? kUpgradeFailed : kUpgradeDone;
  else if (elapsed >= stage)
    next = kUpgradeWriting;
  if (next == status) return;
  sys::set_number_setting(kUpgradeStatus, next);
  sys::journal_action("upgrade status " + std::to_string(next));
  syscmd_build_send_signal(kUpgradeStatusIndex, 0);
  if (next == kUpgradeDone && sys::number_setting("upgrade.NeedReboot") != 0) cmd_reboot();
}

// Milliseconds until the running upgrade's next step; nothing when no
// upgrade runs.
std::optional<uint64_t> until_next_step() {
  if (!igd1::mib::store_is_open() || !upgrade_running(sys::number_setting(kUpgradeStatus))) return std::nullopt;
  const uint64_t stage = std::max<uint64_t>(1, sys::number_setting("upgrade.StageMs", 2000));
  const uint64_t elapsed = sys::now_ms() - std::min(sys::now_ms(), sys::number_setting("upgrade.StartMs"));
  if (elapsed < stage) return stage - elapsed;
  if (elapsed < 2 * stage) return 2 * stage - elapsed;
  return 0;
}

// The main loop is woken at the running upgrade's steps and at no other
// time.  It runs on the default main context, where the bus handlers run, so
// that its announcements never race the connection going away.
guint g_upgrade_step = 0;

void watch_upgrade();

gboolean on_upgrade_step(gpointer) {
  g_upgrade_step = 0;
  advance_upgrade();
  watch_upgrade();
  return G_SOURCE_REMOVE;
}

void watch_upgrade() {
  if (g_upgrade_step != 0) g_source_remove(g_upgrade_step);
  g_upgrade_step = 0;
  if (const std::optional<uint64_t> wait = until_next_step())
    g_upgrade_step = g_timeout_add(guint(std::min<uint64_t>(*wait, G_MAXUINT)), on_upgrade_step, nullptr);
}

// ---- restore ----------------------------------------------------------------------------

constexpr char kRestorePending[] = "system.RestorePending";
// No restore to apply at start, nothing known of the last start.
const igd1::mib::Defaults kSystemDefaults({
    {kRestorePending, K::U32, 4, "0"},
    {"system.LastRebootCause", K::I32, 4, "0"},
    {"system.HardwareCheck", K::U8, 1, "0"},
});
constexpr unsigned kRestoreEverything = 8;
constexpr unsigned kLocalRecovery = 6;

// Settings a restore leaves alone: the record of the device's own state
// (restore and upgrade status, bookkeeping), the measurements of the line and
// the operator's side of the registration.  A local recovery also keeps the
// line credentials and where the registration stands.
struct Kept {
  const char *prefix;
  bool recovery_only;
};
constexpr Kept kKept[] = {
    {"system.", false},
    {"syscmd.RestoreStatus", false},
    {"syscmd.Upgrade", false},
    {"upgrade.", false},
    {"register.OLT", false},
    {"register.ITMSReachable", false},
    {"register.ServiceCount", false},
    {"register.StageMs", false},
    {"pon.LOID", true},
    {"pon.Password", true},
    {"pon.", false},  // after the credentials: the rest of pon.* is measured
    {"syscmd.Province", true},
    {"syscmd.PreviousLOID", true},
    {"register.", true},
};

bool kept(std::string_view name, unsigned mode) {
  for (const Kept &rule : kKept) {
    if (name.substr(0, std::strlen(rule.prefix)) != rule.prefix) continue;
    return !rule.recovery_only || mode == kLocalRecovery;
  }
  return false;
}

void apply_pending_restore() {
  const uint64_t mode = sys::number_setting(kRestorePending);
  if (mode == 0) return;
  for (const auto &[name, value] : igd1::mib::all_settings()) {
    if (kept(name, static_cast<unsigned>(mode))) continue;
    const igd1::mib::Item *found = igd1::mib::default_item(name);
    if (found == nullptr)
      igd1::mib::remove_setting(name);
    else if (value != found->initial)
      igd1::mib::set_setting(name, found->initial);
  }
  // Configuration tables (those a bus object follows) start empty; data
  // tables such as the traffic history stay.
  for (const igd1::mib::TableDef *table : igd1::mib::registered_tables()) {
    if (table->module == nullptr || *table->module == '\0') continue;
    for (const std::vector<uint8_t> &row : igd1::mib::table_rows(*table))
      igd1::mib::table_remove(*table, igd1::mib::row_key_of(*table, row.data()));
  }
  sys::set_number_setting(kRestorePending, 0);
  sys::journal_action("defaults restored, mode " + std::to_string(mode));
}

// ---- notices answered by the store --------------------------------------------------

// The trouble-locating upload runs while its notice is taken, before
// dbus_mib_update_cfg returns: the answer is written into the request.
bool upload_trouble_locating_info(const void *data, int) {
  if (data == nullptr) return false;
  auto *request = static_cast<syscmd_trouble_locating_record *>(const_cast<void *>(data));
  const char *failure = nullptr;
  if (!sys::is_url(text_in(request->url, sizeof request->url), kUploadSchemes))
    failure = "unsupported upload URL";
  else if (igd1::mib::should_fail("trouble_locating_upload", 0))
    failure = "upload server did not answer";
  std::memset(request->error, 0, sizeof request->error);
  if (failure != nullptr) g_strlcpy(request->error, failure, sizeof request->error);
  request->result = failure != nullptr ? 1 : 0;
  return true;
}

std::string trouble_locating_notice(const void *data) {
  const auto *request = static_cast<const syscmd_trouble_locating_record *>(data);
  return "url=" + std::string(text_in(request->url, sizeof request->url)) +
         " category=" + std::string(text_in(request->category, sizeof request->category)) +
         " result=" + std::to_string(request->result);
}

std::string debug_collection_notice(const void *data) {
  const auto *request = static_cast<const syscmd_debug_collection_record *>(data);
  return "url=" + std::string(text_in(request->url, sizeof request->url)) +
         " category=" + std::string(text_in(request->category, sizeof request->category)) +
         " timeout=" + std::to_string(request->timeout);
}

const bool kNoticeRegistration = [] {
  igd1::mib::register_notice_applier(MIB_CFG_TROUBLE_LOCATING, upload_trouble_locating_info);
  igd1::mib::register_notice_formatter(MIB_CFG_TROUBLE_LOCATING, trouble_locating_notice);
  igd1::mib::register_notice_formatter(MIB_CFG_DEBUG_COLLECTION, debug_collection_notice);
  return true;
}();

// ---- logs ---------------------------------------------------------------------------------

constexpr size_t kLogTimeLength = 19;  // "YYYY-MM-DD HH:MM:SS"
constexpr size_t kLogArgumentMax = 256;

bool is_log_time(std::string_view text) {
  constexpr char kForm[] = "dddd-dd-dd dd:dd:dd";
  if (text.size() != kLogTimeLength) return false;
  for (size_t i = 0; i < kLogTimeLength; ++i)
    if (kForm[i] == 'd' ? !g_ascii_isdigit(text[i]) : text[i] != kForm[i]) return false;
  return true;
}

// Lines of the log file stamped within [start, end]; an empty bound is open.
size_t count_log_lines(std::string_view start, std::string_view end) {
  // The log lives in /tmp: only the daemon's own regular file is read, never
  // what a link planted there points to.
  const int fd = igd1::open_own_file(igd1::path::kSyslog);
  FILE *file = fd >= 0 ? fdopen(fd, "r") : nullptr;
  if (file == nullptr) {
    if (fd >= 0) close(fd);
    return 0;
  }
  size_t lines = 0;
  char *text = nullptr;
  size_t room = 0;
  for (ssize_t length; (length = getline(&text, &room, file)) >= 0;) {
    std::string_view line(text, size_t(length));
    if (line.size() < kLogTimeLength) continue;
    std::string_view stamp(line.data(), kLogTimeLength);
    if (!is_log_time(stamp)) continue;
    if ((start.empty() || stamp >= start) && (end.empty() || stamp <= end)) ++lines;
  }
  free(text);
  fclose(file);
  return lines;
}

std::string_view bounded(const char *text) {
  return text == nullptr ? std::string_view() : text_in(text, kLogArgumentMax);
}

}  // namespace

// ---- accessors -----------------------------------------------------------------------------

int syscmd_get_mib_property(int index, void *buffer) {
  if (buffer == nullptr) return 0;
  if (index == kSuperPasswordIndex && static_cast<const char *>(buffer)[0] != '\0') {
    // A candidate to compare with the stored password.
    char stored[64] = {};
    if (!igd1::mib::read_at(kGetAccessor, kItems, index, stored)) return 0;
    const size_t size = kItems[index].size;
    std::string_view candidate = text_in(static_cast<const char *>(buffer), size);
    return candidate == text_in(stored, size) ? 1 : 2;
  }
  return igd1::mib::read_at(kGetAccessor, kItems, index, buffer) ? 1 : 0;
}

int syscmd_set_mib_property(int index, void *value) {
  if (value == nullptr || !writable(index)) return 0;
  return igd1::mib::write_at("syscmd_set_mib_property", kItems, index, value) ? 1 : 0;
}

int syscmd_set_mib_property_check(int index, void *value) {
  return writable(index) && igd1::mib::item_takes(kItems[index], value) ? 1 : 0;
}

int syscmd_save_mib(void) { return igd1::mib::detail::checkpoint_store() ? 1 : 0; }

int syscmd_save_mib_all(void) { return syscmd_save_mib(); }

// ---- device commands ------------------------------------------------------------------

int cmd_reboot(void) {
  sys::journal_action("reboot");
  return 1;
}

int write_omd_reboot_log(int cause) {
  igd1::mib::set_setting("system.LastRebootCause", std::to_string(cause));
  sys::journal_action("reboot cause " + std::to_string(cause));
  return 1;
}

int reset_cs_to_default(int mode) {
  if (mode != static_cast<int>(kRestoreEverything) && mode != static_cast<int>(kLocalRecovery)) return 0;
  if (!sys::set_number_setting(kRestorePending, static_cast<uint64_t>(mode))) return 0;
  sys::journal_action("restore to defaults at the next start, mode " + std::to_string(mode));
  return 1;
}

int set_hardware_status_flag(int flag) {
  if (flag < 0 || flag > 255 || !sys::set_number_setting("system.HardwareCheck", static_cast<uint64_t>(flag)))
    return 0;
  sys::journal_action("hardware check flag " + std::to_string(flag));
  return 1;
}

int UpgradeFirmeare(const char *url, int mode, int method, int needreboot) {
  if (url == nullptr || igd1::mib::should_fail("UpgradeFirmeare", 0)) return 0;
  std::string_view location = text_in(url, kLogArgumentMax);
  if (location.size() >= kLogArgumentMax || !sys::is_url(location, kUploadSchemes)) return 0;
  if (upgrade_running(sys::number_setting(kUpgradeStatus))) return 0;
  igd1::mib::set_setting("upgrade.URL", location);
  sys::set_number_setting("upgrade.NeedReboot", needreboot != 0 ? 1 : 0);
  sys::set_number_setting("upgrade.StartMs", sys::now_ms());
  igd1::mib::set_setting(kUpgradeVersion, version_from_url(location));
  sys::set_number_setting(kUpgradeStatus, kUpgradeDownloading);
  sys::journal_action("upgrade from " + std::string(location) + " mode " + std::to_string(mode) +
                      " method " + std::to_string(method) + " reboot " + std::to_string(needreboot != 0));
  syscmd_build_send_signal(kUpgradeStatusIndex, 0);
  watch_upgrade();
  return 1;
}

int clearUpgradeFirmeareStatus(char *text) {
  constexpr size_t kTextSize = 256;
  if (upgrade_running(sys::number_setting(kUpgradeStatus))) {
    if (text != nullptr) g_strlcpy(text, "upgrade in progress", kTextSize);
    return 1;
  }
  const std::string running = igd1::mib::get_setting(kRunningVersion).value_or("");
  if (!sys::set_number_setting(kUpgradeStatus, kUpgradeNone) ||
      !igd1::mib::set_setting(kUpgradeVersion, running)) {
    if (text != nullptr) g_strlcpy(text, "configuration store unavailable", kTextSize);
    return 1;
  }
  syscmd_build_send_signal(kUpgradeStatusIndex, 0);
  return 0;
}

int get_log(const char *start, const char *end, const char *path) {
  std::string_view from = bounded(start), to = bounded(end), url = bounded(path);
  if ((!from.empty() && !is_log_time(from)) || (!to.empty() && !is_log_time(to)) ||
      (!from.empty() && !to.empty() && from > to))
    return 1;
  if (url.size() >= kLogArgumentMax || !sys::is_url(url, kUploadSchemes) ||
      igd1::mib::should_fail("get_log", 0))
    return 2;
  const size_t lines = count_log_lines(from, to);
  sys::journal_action("log upload to " + std::string(url) + " from '" + std::string(from) + "' to '" +
                      std::string(to) + "' lines " + std::to_string(lines));
  return 0;
}

int init_Poll_UpgradeStatus_chg(void) {
  if (!igd1::mib::store_is_open()) return 0;
  apply_pending_restore();
  // An upgrade that was running when the service stopped goes on.
  watch_upgrade();
  return 1;
}

int Syetem_cmd_get_sw_version(int mode) {
  if (mode != 0 || !igd1::mib::store_is_open()) return 0;
  const uint64_t status = sys::number_setting(kUpgradeStatus);
  if (upgrade_running(status)) return 1;
  if (status == kUpgradeDone) {
    // The start after a finished upgrade runs the new image.
    const std::string upgraded = igd1::mib::get_setting(kUpgradeVersion).value_or("");
    if (!upgraded.empty() && upgraded != igd1::mib::get_setting(kRunningVersion)) {
      igd1::mib::set_setting(kRunningVersion, upgraded);
      sys::journal_action("running software " + upgraded);
    }
    return 1;
  }
  return igd1::mib::set_setting(kUpgradeVersion, igd1::mib::get_setting(kRunningVersion).value_or(""))
             ? 1
             : 0;
}

int syscmd_build_send_signal(int index, int mode) {
  // The first items are announced, under their setting names without
  // "syscmd.": texts as strings, the others as bytes.
  constexpr int kAnnounced = 6;
  if (mode != 0 || index < 0 || index >= kAnnounced) return 0;
  char value[256] = {};
  if (!igd1::mib::read_at(nullptr, kItems, index, value)) return 0;
  // The emitter belongs to the module library; without it in the process
  // (the command-line tool, the store's own tests) there is no bus to tell.
  using Emitter = decltype(&dbusproxy_emit_properties_changed_signal);
  auto emit = reinterpret_cast<Emitter>(dlsym(RTLD_DEFAULT, "dbusproxy_emit_properties_changed_signal"));
  if (emit == nullptr) return 0;
  const Item &item = kItems[index];
  return emit("/com/wqx/igd1/Ovatrix/System", "com.wqx.igd1.SysCmd", item.name + std::strlen("syscmd."),
              item.kind == K::Text ? DBUSPROXY_TYPE_STRING : DBUSPROXY_TYPE_BYTE, value);
}
