// Device-level commands: /com/wqx/igd1/Ovatrix/System, interface
// com.wqx.igd1.SysCmd.  Reboot, restore and local recovery, firmware upgrade,
// the clock, line registration with the LOID, the local account passwords,
// log export and the upload of trouble-locating and debug information.
//
// The host's service type, read at every call, picks one of two method sets;
// a method the current set does not hold is answered with UnknownMethod.
//
// Commands reply (result, text); result 0 is success.  Parameters a client
// got wrong are the bus error "com.wqx.igd1.SysCmd" / "Invalid parameter
// value" and change nothing; a failed store does not stop a command, it
// turns the result into 9002.
#include "syscmd.h"

#include <time.h>

#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>

#include "dbus_proxy_api.h"
#include "host_api.h"
#include "mib_api.h"
#include "single_object.h"
#include "sys_paths.h"
#include "sys_run.h"

namespace {

using igd1::CallContext;
using igd1::ChangeSignal;
using igd1::Property;
using igd1::Raw;
using igd1::SingleObject;
using igd1::WriteFlags;

constexpr char kPath[] = "/com/wqx/igd1/Ovatrix/System";
constexpr char kInterface[] = "com.wqx.igd1.SysCmd";
constexpr char kParameterError[] = "Invalid parameter value";

constexpr size_t kValueBuffer = 64;
constexpr size_t kReplyBuffer = 256;
constexpr size_t kPropertyBuffer = 256;
constexpr size_t kDescriptionBuffer = 64;

enum Index {
  kUpgradeVersionIndex = 1,
  kRestoreStatusIndex = 2,
  kProvinceIndex = 3,
  kLoidIndex = 6,
  kPreviousLoidIndex = 7,
  kLoidPasswordIndex = 8,
  kPreviousLoidPasswordIndex = 9,
  kPonModeIndex = 10,
  kUserPasswordIndex = 12,
  kSuperPasswordIndex = 13,
  kKeepPreviousLoidIndex = 14,
  kDefaultSsidIndex = 16,
};

enum RestoreStatus : uint8_t {
  kRestoreStarted = 0,  // service type 1
  kRestoreRunning = 5,  // service type 0
  kLocalRecoveryStarted = 6,
  kRestoreCleared = 7,
};

constexpr int kStoreFailed = 9002;
constexpr int kCommandFailed = 9002;  // also "Internal error"
constexpr int kUpgradeRefused = 9011;
constexpr int kRebootCauseCommand = 4;
constexpr int kRestoreEverything = 8;
constexpr int kLocalRecovery = 6;
constexpr int kProvinceWithLineCheck = 14;

// A password a client checks or sets: 1 to 30 characters.
constexpr size_t kPasswordMax = 30;
// The clock command once was "date -s '%s'" in 64 bytes.
constexpr size_t kTimeMax = 53;
// Setting the clock takes a moment; a program still running after this is
// taken as hung.
constexpr int kClockCommandTimeoutMs = 5000;
constexpr size_t kUrlMax = 255;
constexpr size_t kCategoryMax = 16;
constexpr const char *kCategories[] = {"ALL",    "INTERNET", "VOICE",    "IPTV",
                                       "WIFI",   "SYSTEM",   "FRAMEWORK"};

// ---- replies --------------------------------------------------------------------

struct Description {
  char text[kDescriptionBuffer] = {};
  explicit Description(int code) { geterrdesc(code, text); }
};

// Texts from the store are passed on only when they are UTF-8.
const char *bus_text(const char *text) { return g_utf8_validate(text, -1, nullptr) ? text : ""; }

using igd1::PendingCall;

void reply(const PendingCall &call, int result, const char *text) {
  call.reply(g_variant_new("(us)", guint32(result), bus_text(text)));
}

void reply_described(const PendingCall &call, int result) {
  reply(call, result, Description(result).text);
}

void reply_with_value(const PendingCall &call, const char *value, int result, const char *text) {
  call.reply(g_variant_new("(sus)", bus_text(value), guint32(result), text));
}

void parameter_error(const PendingCall &call) {
  DBUS_LOG(LOG_LEVEL_WARN, "%s", kParameterError);
  call.fail_named(kInterface, kParameterError);
}

// ---- the store ---------------------------------------------------------------------

// Reads `index` into a zero-filled 64-byte buffer, always terminated.
struct Value {
  char text[kValueBuffer] = {};
  bool read = false;
  explicit Value(int index) {
    read = syscmd_get_mib_property(index, text) != 0;
    text[kValueBuffer - 1] = '\0';
  }
};

// Stores a client's text; one that does not fit the store's buffer is
// refused before it is copied.
bool store_text(int index, std::string_view text) {
  if (text.size() >= kValueBuffer) return false;
  char value[kValueBuffer] = {};
  std::memcpy(value, text.data(), text.size());
  return syscmd_set_mib_property(index, value) != 0;
}

// Stores and, on failure, logs `failure` and makes the result 9002.
void store_or_fail(int index, std::string_view text, const char *failure, int *result) {
  if (store_text(index, text)) return;
  DBUS_LOG(LOG_LEVEL_WARN, "%s", failure);
  *result = kStoreFailed;
}

// The restore status is stored and announced; 9002 when it cannot be stored.
int start_restore_status(uint8_t status) {
  int result = 0;
  if (syscmd_set_mib_property(kRestoreStatusIndex, &status) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "[ERR] Set restore status fail!!");
    result = kStoreFailed;
  }
  syscmd_build_send_signal(kRestoreStatusIndex, 0);
  return result;
}

// ---- arguments -------------------------------------------------------------------

struct Credentials {
  const char *loid;
  const char *password;
  const char *province;
};

// The (sss) of Register and SetLOID; false after the parameter error.
bool read_credentials(GVariant *parameters, const PendingCall &call,
                      Credentials *credentials) {
  g_variant_get(parameters, "(&s&s&s)", &credentials->loid, &credentials->password,
                &credentials->province);
  DBUS_LOG(LOG_LEVEL_INFO, "loid [%s],password [%s],province [%s]", credentials->loid,
           credentials->password, credentials->province);
  if (syscmd_set_mib_property_check(kLoidIndex, const_cast<char *>(credentials->loid)) == 0 ||
      syscmd_set_mib_property_check(kLoidPasswordIndex, const_cast<char *>(credentials->password)) == 0) {
    parameter_error(call);
    return false;
  }
  return true;
}

void store_credentials(const Credentials &credentials, int *result) {
  store_or_fail(kLoidIndex, credentials.loid, "[ERR] Set aucLOID fail!!", result);
  store_or_fail(kLoidPasswordIndex, credentials.password, "[ERR] Set aucPassword fail!!", result);
}

void store_province(const Credentials &credentials, int *result) {
  store_or_fail(kProvinceIndex, credentials.province, "[ERR] Set province fail!!", result);
}

// The one string argument of the password methods, when it has 1 to 30
// characters; otherwise the parameter error.
const char *read_password(GVariant *parameters, const PendingCall &call,
                          const char *log) {
  const char *password = nullptr;
  g_variant_get(parameters, "(&s)", &password);
  DBUS_LOG(LOG_LEVEL_INFO, log, password);
  const size_t length = strnlen(password, kPasswordMax + 1);
  if (length == 0 || length > kPasswordMax) {
    parameter_error(call);
    return nullptr;
  }
  return password;
}

bool is_category(const char *category) {
  for (const char *known : kCategories)
    if (std::strcmp(category, known) == 0) return true;
  return false;
}

// Fills the destination of an upload request, once the URL and category
// passed the checks; false after the parameter error.
template <typename Request>
bool address_upload(Request *request, const char *url, const char *category,
                    const PendingCall &call) {
  if (strnlen(url, kUrlMax + 1) > kUrlMax || strnlen(category, kCategoryMax + 1) > kCategoryMax ||
      !is_category(category)) {
    parameter_error(call);
    return false;
  }
  g_strlcpy(request->url, url, sizeof request->url);
  g_strlcpy(request->category, category, sizeof request->category);
  return true;
}

// Reads a fixed-width decimal field at the front of a text.
struct FieldReader {
  std::string_view rest;
  // The next `digits` digits as a number within [low, high], and then
  // `separator` unless it is '\0'.
  bool number(size_t digits, unsigned low, unsigned high, unsigned *value, char separator = '\0') {
    if (rest.size() < digits) return false;
    *value = 0;
    for (size_t i = 0; i < digits; ++i) {
      if (!g_ascii_isdigit(rest[i])) return false;
      *value = *value * 10 + unsigned(rest[i] - '0');
    }
    rest.remove_prefix(digits);
    if (*value < low || *value > high) return false;
    return separator == '\0' || take(separator);
  }
  bool take(char c) {
    if (rest.empty() || rest.front() != c) return false;
    rest.remove_prefix(1);
    return true;
  }
};

// "HH:MM" or "HH:MM:SS" and nothing after it.
bool read_clock(FieldReader &in) {
  unsigned hour, minute, second;
  if (!in.number(2, 0, 23, &hour, ':') || !in.number(2, 0, 59, &minute)) return false;
  if (in.take(':') && !in.number(2, 0, 59, &second)) return false;
  return in.rest.empty();
}

// A time the date program sets and nothing else: "YYYY-MM-DD HH:MM[:SS]",
// "YYYY-MM-DD" or "HH:MM[:SS]", each field within its range.  Any other
// text (an option such as "-h", a relative date, a shell word) is refused
// before a program sees it.
bool valid_time(std::string_view time) {
  if (time.size() > kTimeMax) return false;
  FieldReader in{time};
  if (time.size() > 2 && time[2] == ':') return read_clock(in);
  unsigned year, month, day;
  if (!in.number(4, 1970, 2099, &year, '-') || !in.number(2, 1, 12, &month, '-') ||
      !in.number(2, 1, 31, &day))
    return false;
  if (!g_date_valid_dmy(GDateDay(day), GDateMonth(month), GDateYear(year))) return false;
  return in.rest.empty() || (in.take(' ') && read_clock(in));
}

// ---- registration status ------------------------------------------------------------

// Texts of the status codes; "%s" takes the text the store wrote.  nullptr:
// the code is not one that service type reports.
struct StatusText {
  int code;
  const char *service_type1;
  const char *service_type0;
};

constexpr StatusText kStatusTexts[] = {
    {200, "RegisterStatus=REGISTER_OK&RegisterServiceResult=%s",
     "RegisterStatus=REGISTER_OK&BUSINESS_NUMBER=%s"},
    {201, "RegisterStatus=REGISTER_OLT&RegisterResult=%s",
     "RegisterStatus=REGISTER_OLT&PERCENTAGE=%s"},
    {202, "RegisterStatus=REGISTER_OK_DOWN_BUSINESS&RegisterProgressResult=%s",
     "RegisterStatus=REGISTER_OK_DOWN_BUSINESS&PERCENTAGE=%s"},
    {203, "RegisterStatus=REGISTER_OK_NOW_REBOOT",
     "RegisterStatus=REGISTER_OK_NOW_REBOOT&BUSINESS_NUMBER=%s"},
    {204, "RegisterStatus=REGISTER_POK", "RegisterStatus=REGISTER_POK"},
    {205, nullptr, "RegisterStatus=ITMS_NOT_REACHABLE"},
    {401, "RegisterStatus=REGISTER_DEFAULT", "RegisterStatus=REGISTER_DEFAULT"},
    {402, "RegisterStatus=REGISTER_REGISTED", "RegisterStatus=REGISTER_REGISTED"},
    {403, "RegisterStatus=REGISTER_TIMEOUT", "RegisterStatus=REGISTER_TIMEOUT"},
    {404, "RegisterStatus=REGISTER_NOMATCH_NOLIMITED&RegisterResult=%s",
     "RegisterStatus=REGISTER_NOMATCH_NOLIMITED&RETRY_COUNT=%s"},
    {405, "RegisterStatus=REGISTER_NOMATCH_LIMITED&RegisterResult=%s",
     "RegisterStatus=REGISTER_NOMATCH_LIMITED"},
    {406, "RegisterStatus=REGISTER_NOACCOUNT_NOLIMITED&RegisterResult=%s",
     "RegisterStatus=REGISTER_NOACCOUNT_NOLIMITED&RETRY_COUNT=%s"},
    {407, "RegisterStatus=REGISTER_NOACCOUNT_LIMITED", "RegisterStatus=REGISTER_NOACCOUNT_LIMITED"},
    {408, "RegisterStatus=REGISTER_NOUSER_NOLIMITED&RegisterResult=%s",
     "RegisterStatus=REGISTER_NOUSER_NOLIMITED&RETRY_COUNT=%s"},
    {409, "RegisterStatus=REGISTER_NOUSER_LIMITED", "RegisterStatus=REGISTER_NOUSER_LIMITED"},
    {410, "RegisterStatus=REGISTER_OLT_FAIL", "RegisterStatus=REGISTER_OLT_FAIL"},
    {500, "", ""},
};

constexpr int kUnknownStatus = 500;
constexpr int kRegistering = 201;
constexpr int kNotRegistered = 401;
constexpr int kLineRefused = 410;
constexpr char kStillOnTheLine[] = "RegisterStatus=REGISTER_OLT&RegisterResult=20";
constexpr char kNotRegisteredText[] = "RegisterStatus=REGISTER_DEFAULT";
constexpr char kLineRefusedText[] = "RegisterStatus=REGISTER_OLT_FAIL";
constexpr double kNoLight = -30.0;
constexpr double kLineCut = -38.0;

// Fills `text` with the status text of `code` (the code becomes 500 when it
// has none) and returns the code.
int status_text(int code, bool service_type1, const char *store_text, char *text) {
  for (const StatusText &row : kStatusTexts) {
    if (row.code != code) continue;
    const char *format = service_type1 ? row.service_type1 : row.service_type0;
    if (format == nullptr) break;
    // The formats name the store's text at most once.
    const char *slot = std::strstr(format, "%s");
    if (slot == nullptr) {
      g_strlcpy(text, format, kReplyBuffer);
    } else {
      g_snprintf(text, kReplyBuffer, "%.*s%s%s", int(slot - format), format, store_text, slot + 2);
    }
    return code;
  }
  text[0] = '\0';
  return kUnknownStatus;
}

// Where the line registration stands, corrected by what the PON line shows:
// a line without light is not registered, whatever the service reports.
void registration_status(const PendingCall &call, bool service_type1) {
  char store_text[kValueBuffer] = {};
  int code = checkLOID(store_text);
  store_text[kValueBuffer - 1] = '\0';
  char text[kReplyBuffer] = {};
  if (service_type1 && get_complete_Register() == 1 && code == kLineRefused) {
    code = kRegistering;
    g_strlcpy(text, kStillOnTheLine, sizeof text);
  } else {
    code = status_text(code, service_type1, store_text, text);
  }

  Value mode(kPonModeIndex);
  int32_t pon_mode = 0;
  std::memcpy(&pon_mode, mode.text, sizeof pon_mode);
  const int link = pon_mode == 1 ? DBUS_ifgponstate() : pon_mode == 2 ? DBUS_ifponstate() : 0;
  if (link != 1 && link != 2) {
    double power = 0;
    DBUS_poninfo(5, &power);
    if (power < kNoLight) {
      code = kNotRegistered;
      g_strlcpy(text, kNotRegisteredText, sizeof text);
    }
    if (!service_type1 && dbus_proxy_get_province() == kProvinceWithLineCheck) {
      DBUS_LOG(LOG_LEVEL_INFO, "dobuleVal = %lf\n", power);
      if (power < kLineCut) {
        code = kLineRefused;
        g_strlcpy(text, kLineRefusedText, sizeof text);
      }
    }
  }
  DBUS_LOG(LOG_LEVEL_INFO, "result [%d].", code);
  reply(call, code, text);
}

// ---- the methods ---------------------------------------------------------------------

void get_default_ssid1_name(const PendingCall &call, GVariant *) {
  Value name(kDefaultSsidIndex);
  reply_with_value(call, name.text, name.read ? 0 : 1,
                   name.read ? "get GetDeviceDefaultSSID1Name success"
                             : "get GetDeviceDefaultSSID1Name failed");
}

void reboot(const PendingCall &call, GVariant *) {
  write_omd_reboot_log(kRebootCauseCommand);
  cmd_reboot();
  reply_described(call, 0);
}

void restore_service_type1(const PendingCall &call, GVariant *) {
  reply_described(call, start_restore_status(kRestoreStarted));
  if (check_dbus_cts_running() != 0) return;
  reset_cs_to_default(kRestoreEverything);
  cmd_reboot();
}

// The restore program runs on its own after the reply; how it ends is only
// logged.
void restore_service_type0(const PendingCall &call, GVariant *) {
  reply_described(call, start_restore_status(kRestoreRunning));
  const igd1::RunOptions options;
  igd1::run_async({igd1::program::kRestore}, options, [options](const igd1::RunResult &result) {
    if (!igd1::run_succeeded(result))
      DBUS_LOG(LOG_LEVEL_WARN, "%s", igd1::run_failure(igd1::program::kRestore, result, options).c_str());
  });
}

void local_recovery(const PendingCall &call, GVariant *) {
  const int result = start_restore_status(kLocalRecoveryStarted);
  reset_cs_to_default(kLocalRecovery);
  cmd_reboot();
  reply_described(call, result);
}

void log_result(int result, const char *text) {
  DBUS_LOG(LOG_LEVEL_INFO, "result [%d].errdesc [%s]", result, text);
}

void register_line(const PendingCall &call, GVariant *parameters) {
  Credentials credentials{};
  if (!read_credentials(parameters, call, &credentials)) return;
  int result = 0;
  if (check_Register_Loid() == 0) {
    store_credentials(credentials, &result);
    store_province(credentials, &result);
    syscmd_save_mib();
    dbus_mib_update_cfg(MIB_CFG_LINE_REGISTRATION, nullptr, MIB_ACTION_APPLY);
  }
  Description description(result);
  log_result(result, description.text);
  reply(call, result, description.text);
}

void set_loid(const PendingCall &call, GVariant *parameters) {
  Credentials credentials{};
  if (!read_credentials(parameters, call, &credentials)) return;
  int result = 0;
  store_credentials(credentials, &result);
  Value keep(kKeepPreviousLoidIndex);
  if (keep.read && (keep.text[0] != 0 || dbus_proxy_get_province() != 0)) {
    if (store_text(kPreviousLoidIndex, credentials.loid)) {
      DBUS_LOG(LOG_LEVEL_INFO, "Set LOID_OLD directly!!");
    } else {
      DBUS_LOG(LOG_LEVEL_WARN, "[ERR] Set LOID_OLD fail!!");
      result = kStoreFailed;
    }
    if (store_text(kPreviousLoidPasswordIndex, credentials.password)) {
      DBUS_LOG(LOG_LEVEL_INFO, "Set LOIDPWDOLD directly!!");
    } else {
      DBUS_LOG(LOG_LEVEL_WARN, "[ERR] Set LOIDPWDOLD fail!!");
      result = kStoreFailed;
    }
  }
  store_province(credentials, &result);
  syscmd_save_mib();
  reply_described(call, result);
}

void register_loid(const PendingCall &call, GVariant *) {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  wqregtime_start.tv_sec = now.tv_sec;
  wqregtime_start.tv_nsec = now.tv_nsec;
  DBUS_LOG(LOG_LEVEL_INFO, "%s, Reg LOID Start Time = %d,%ld", __func__, int(now.tv_sec),
           long(now.tv_nsec));
  dbus_mib_update_cfg(MIB_CFG_LINE_REGISTRATION, nullptr, MIB_ACTION_APPLY);
  reply(call, 0, "");
}

void register_get_stat(const PendingCall &call, GVariant *) {
  registration_status(call, true);
}

void check_loid(const PendingCall &call, GVariant *) {
  registration_status(call, false);
}

void check_hardware_start(const PendingCall &call, GVariant *) {
  set_hardware_status_flag(1);
  reply_described(call, 0);
}

void get_log_method(const PendingCall &call, GVariant *parameters) {
  const char *start = nullptr, *end = nullptr, *path = nullptr;
  g_variant_get(parameters, "(&s&s&s)", &start, &end, &path);
  DBUS_LOG(LOG_LEVEL_INFO, "StartTime [%s],EndTime [%s],UploadPath [%s]", start, end, path);
  const int result = get_log(start, end, path);
  reply(call, result, result == 0 ? "get log success" : "get log failed");
}

void get_upgrade_version(const PendingCall &call, GVariant *) {
  char version[kPropertyBuffer] = {};
  syscmd_get_mib_property(kUpgradeVersionIndex, version);
  version[kPropertyBuffer - 1] = '\0';
  call.reply(g_variant_new("(ssus)", bus_text(version), "", 0u, Description(0).text));
}

void acknowledge(const PendingCall &call, GVariant *) { reply_described(call, 0); }

void set_date_time(const PendingCall &call, GVariant *parameters) {
  const char *time = nullptr;
  g_variant_get(parameters, "(&s)", &time);
  DBUS_LOG(LOG_LEVEL_INFO, " time [%s].", time);
  if (!valid_time(time)) {
    parameter_error(call);
    return;
  }
  DBUS_LOG(LOG_LEVEL_INFO, "CMD:[date -s '%s'] \n", time);
  // Both programs run while the loop serves other calls; the reply follows
  // the second, or the first that fails (a failed, hung or missing program
  // answers the interface's error).  A caller that leaves meanwhile does not
  // stop the chain: a clock set without its hardware copy would not last.
  const igd1::RunOptions options{.env = {}, .timeout_ms = kClockCommandTimeoutMs};
  std::vector<igd1::ChainStep> steps = {{{igd1::program::kDate, "-s", time}, options},
                                        {{igd1::program::kClock, "cmos"}, options}};
  igd1::run_chain(steps, nullptr, [call, steps](const igd1::RunResult &result, size_t step) {
    if (igd1::run_succeeded(result)) {
      reply_described(call, 0);
      return;
    }
    std::string failure = igd1::run_failure(steps[step].argv[0], result, steps[step].options);
    DBUS_LOG(LOG_LEVEL_WARN, "%s", failure.c_str());
    call.fail_named(kInterface, (Description(kCommandFailed).text + (": " + failure)).c_str());
  });
}

void upgrade(const PendingCall &call, GVariant *parameters) {
  const char *url = nullptr;
  guint32 mode = 0, method = 0;
  gboolean need_reboot = FALSE;
  g_variant_get(parameters, "(&suub)", &url, &mode, &method, &need_reboot);
  DBUS_LOG(LOG_LEVEL_INFO, "url:%s;mode:%d;method:%d;needreboot:%d", url, int(mode), int(method),
           int(need_reboot));
  const int started = UpgradeFirmeare(url, int(mode), int(method), need_reboot ? 1 : 0);
  DBUS_LOG(LOG_LEVEL_INFO, "ret_n of UpgradeFirmeare is :%d\n", started);
  if (started != 0) {
    reply(call, 0, "Upload suceess");
    return;
  }
  DBUS_LOG(LOG_LEVEL_WARN, "firmwareUpgradeConfigSet failed");
  Description description(kUpgradeRefused);
  DBUS_LOG(LOG_LEVEL_INFO, "result:%d;errdesc:%s", kUpgradeRefused, description.text);
  reply(call, kUpgradeRefused, description.text);
}

void clear_upgrade_status(const PendingCall &call, GVariant *) {
  char text[kReplyBuffer] = {};
  const int result = clearUpgradeFirmeareStatus(text);
  text[kReplyBuffer - 1] = '\0';
  if (result == 0 && text[0] == '\0') g_strlcpy(text, "ClearUpgradeStatus success", sizeof text);
  reply(call, result, text);
}

// Clients are told the status went back to 0 whatever is stored.
void clear_restore_status(const PendingCall &call, GVariant *) {
  uint8_t cleared = kRestoreCleared;
  if (syscmd_set_mib_property(kRestoreStatusIndex, &cleared) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "[ERR] Set restore status fail!!");
    reply_described(call, kStoreFailed);
    return;
  }
  const uint8_t announced = 0;
  dbusproxy_emit_properties_changed_signal(kPath, kInterface, "RestoreStatus", DBUSPROXY_TYPE_BYTE,
                                           &announced);
  reply(call, 0, "ClearRestoreStatus success");
}

void check_ua_password(const PendingCall &call, GVariant *parameters) {
  const char *candidate = read_password(parameters, call, " pass [%s].");
  if (candidate == nullptr) return;
  int result = 0;
  Value stored(kUserPasswordIndex);
  if (!stored.read) {
    DBUS_LOG(LOG_LEVEL_WARN, "[ERR] Get MIB_USER_PASSWORD fail!!");
    result = 1;
  } else if (std::strcmp(stored.text, candidate) != 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "[ERR] Check user password fail!!");
    result = 1;
  }
  const char *text = result == 0 ? "none!" : "CheckUAPasswd failed!";
  DBUS_LOG(LOG_LEVEL_INFO, " result [%d].errdesc [%s]", result, text);
  reply(call, result, text);
}

void set_ua_password(const PendingCall &call, GVariant *parameters) {
  const char *password = read_password(parameters, call, "pass1 [%s].");
  if (password == nullptr) return;
  int result = 0;
  if (!store_text(kUserPasswordIndex, password)) {
    DBUS_LOG(LOG_LEVEL_WARN, "[ERR] Set MIB_USER_PASSWORD fail!!");
    result = kStoreFailed;
  } else {
    syscmd_save_mib_all();
    dbus_mib_update_cfg(MIB_CFG_USER_PASSWORD, nullptr, MIB_ACTION_APPLY);
  }
  reply_described(call, result);
}

void check_ta_password(const PendingCall &call, GVariant *parameters) {
  const char *candidate = read_password(parameters, call, "pass2 [%s].");
  if (candidate == nullptr) return;
  char compared[kValueBuffer] = {};
  g_strlcpy(compared, candidate, sizeof compared);
  int result = 0;
  const char *text = "none!";
  switch (syscmd_get_mib_property(kSuperPasswordIndex, compared)) {
    case 0:
      DBUS_LOG(LOG_LEVEL_WARN, "[ERR] Get MIB_SUSER_PASSWORD fail!!");
      result = 1;
      text = "Get MIB_SUSER_PASSWORD fail!";
      break;
    case 2:
      result = 2;
      text = "CheckTAPasswd failed!";
      break;
    default: break;
  }
  DBUS_LOG(LOG_LEVEL_INFO, "result [%d].errdesc [%s].", result, text);
  reply(call, result, text);
}

void get_password(const PendingCall &call, int index, const char *success,
                  const char *failure) {
  Value password(index);
  reply_with_value(call, password.text, password.read ? 0 : 1,
                   password.read ? success : failure);
}

void get_ta_password(const PendingCall &call, GVariant *) {
  get_password(call, kSuperPasswordIndex, "get GetTAPasswd success", "get GetTAPasswd failed");
}

void get_ua_password(const PendingCall &call, GVariant *) {
  get_password(call, kUserPasswordIndex, "get GetUAPasswd success", "get GetUAPasswd failed");
}

void upload_trouble_locating_info(const PendingCall &call, GVariant *parameters) {
  const char *url = nullptr, *category = nullptr;
  g_variant_get(parameters, "(&s&s)", &url, &category);
  DBUS_LOG(LOG_LEVEL_INFO, "uploadurl [%s].password [%s]", url, category);
  syscmd_trouble_locating_record request{};
  if (!address_upload(&request, url, category, call)) return;
  DBUS_LOG(LOG_LEVEL_INFO, "before smarthgu_UploadTroubleLoactingInfo start");
  dbus_mib_update_cfg(MIB_CFG_TROUBLE_LOCATING, &request, MIB_ACTION_APPLY);
  DBUS_LOG(LOG_LEVEL_INFO, "after smarthgu_UploadTroubleLoactingInfo return result:[%d]",
           int(request.result));
  if (request.result == 0) {
    reply(call, 0, "success");
    return;
  }
  request.error[sizeof request.error - 1] = '\0';
  reply(call, 1, request.error);
}

void start_collection_debug_info(const PendingCall &call, GVariant *parameters) {
  const char *url = nullptr, *category = nullptr;
  guint16 timeout = 0;
  g_variant_get(parameters, "(&s&sq)", &url, &category, &timeout);
  DBUS_LOG(LOG_LEVEL_INFO, "uploadurl [%s].category [%s].timeout [%d]", url, category, int(timeout));
  syscmd_debug_collection_record request{};
  if (!address_upload(&request, url, category, call)) return;
  request.timeout = timeout;
  dbus_mib_update_cfg(MIB_CFG_DEBUG_COLLECTION, &request, MIB_ACTION_APPLY);
  reply(call, 0, "success");
}

using igd1::Variant;
constexpr Variant kType1 = Variant::ServiceType1;
constexpr Variant kType0 = Variant::NotServiceType1;

constexpr igd1::Method kMethods[] = {
    {.name = "GetDeviceDefaultSSID1Name", .handler = get_default_ssid1_name, .variant = kType1},
    {.name = "Reboot", .handler = reboot},
    {.name = "Restore", .handler = restore_service_type1, .variant = kType1},
    {.name = "Register", .handler = register_line, .variant = kType1},
    {.name = "RegisterGetStat", .handler = register_get_stat, .variant = kType1},
    {.name = "CheckHardwareStart", .handler = check_hardware_start, .variant = kType1},
    {.name = "GetLog", .handler = get_log_method, .variant = kType1},
    {.name = "GetUpgradeVersion", .handler = get_upgrade_version, .variant = kType1},
    {.name = "InformNotifyVersion", .handler = acknowledge, .variant = kType1},
    {.name = "InformUpgrade", .handler = acknowledge, .variant = kType1},
    {.name = "SetLOID", .handler = set_loid, .variant = kType0},
    {.name = "RegisterLOID", .handler = register_loid, .variant = kType0},
    {.name = "CheckLOID", .handler = check_loid, .variant = kType0},
    {.name = "SetDateTime", .handler = set_date_time, .variant = kType0, .answer = igd1::Answer::Later},
    {.name = "Restore", .handler = restore_service_type0, .variant = kType0},
    {.name = "LocalRecovery", .handler = local_recovery, .variant = kType0},
    {.name = "Upgrade", .handler = upgrade, .variant = kType0},
    {.name = "ClearUpgradeStatus", .handler = clear_upgrade_status, .variant = kType0},
    {.name = "ClearRestoreStatus", .handler = clear_restore_status, .variant = kType0},
    {.name = "CheckUAPasswd", .handler = check_ua_password, .variant = kType0},
    {.name = "SetUAPasswd", .handler = set_ua_password, .variant = kType0},
    {.name = "CheckTAPasswd", .handler = check_ta_password, .variant = kType0},
    {.name = "UploadTroubleLocatingInfo", .handler = upload_trouble_locating_info, .variant = kType0},
    {.name = "StartCollectionDebugInfo", .handler = start_collection_debug_info, .variant = kType0},
    {.name = "GetTAPasswd", .handler = get_ta_password, .variant = kType0},
    {.name = "GetUAPasswd", .handler = get_ua_password, .variant = kType0},
};

// ---- properties -----------------------------------------------------------------------

bool write_memory_setting(const CallContext &call, const SingleObject &, const Property &property,
                          const char *name, GVariant *value, WriteFlags *) {
  uint8_t byte = g_variant_get_byte(value);
  if (syscmd_set_mib_property_check(property.index, &byte) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "%s", kParameterError);
    igd1::set_invalid_args(call.error, "%s", kParameterError);
    return false;
  }
  if (syscmd_set_mib_property(property.index, &byte) == 0) {
    igd1::set_invalid_args(call.error, "set %s fail", name);
    return false;
  }
  return true;
}

constexpr Property kProperties[] = {
    // The upgrade worker and the restore methods announce the two statuses;
    // the memory alarm settings are stored without a signal.
    {.name = "UpgradeStatus", .type = "y", .index = 0, .raw = Raw::U8,
     .change_signal = ChangeSignal::ByModule},
    {.name = "UpgradeSWVersion", .index = kUpgradeVersionIndex},
    {.name = "RestoreStatus", .type = "y", .index = kRestoreStatusIndex, .raw = Raw::U8,
     .change_signal = ChangeSignal::ByModule},
    {.name = "Province", .index = kProvinceIndex},
    {.name = "MemAlarm", .type = "y", .index = 4, .raw = Raw::U8, .write = write_memory_setting,
     .change_signal = ChangeSignal::Never},
    {.name = "MemLimit", .type = "y", .index = 5, .raw = Raw::U8, .write = write_memory_setting,
     .change_signal = ChangeSignal::Never},
};

void start_up() {
  init_Poll_UpgradeStatus_chg();
  Syetem_cmd_get_sw_version(0);
}

bool save(const CallContext &, const SingleObject &, const WriteFlags &) {
  syscmd_save_mib();
  return true;
}

// The object's own wording of the engine's texts.
const char *wording(igd1::ObjectText text, int *) {
  using enum igd1::ObjectText;
  switch (text) {
    case WriteLog: return igd1::kWriteLineNamingProperty;
    case UnknownLog: return igd1::kUnknownLineWithStop;
    case MethodLog: return igd1::kMethodLine;
    default: return nullptr;
  }
}

constexpr SingleObject kObject = {
    .path = kPath,
    .xml_file = "SysCmd.xml",
    .properties = kProperties,
    .get = syscmd_get_mib_property,
    .read_buffer = kPropertyBuffer,
    .wording = wording,
    .transaction = {.commit = save},
    .start = igd1::on_registered<start_up>,
    .methods = kMethods,
};

}  // namespace

syscmd_time wqregtime_start = {0, 0};

IGD1_METHOD_HANDLER(syscmd_handle_method_call, kObject)

IGD1_READ_HANDLER(syscmd_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(syscmd_handle_set_property, syscmd_handle_set_multi_properties, kObject)
IGD1_SINGLE_OBJECT(syscmd, syscmd_introspection_data, kObject, syscmd_handle_method_call,
                   syscmd_handle_get_property, syscmd_handle_set_property,
                   syscmd_handle_set_multi_properties)
