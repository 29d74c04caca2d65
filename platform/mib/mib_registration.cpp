// Line registration and the PON link, as the gateway's registration service
// would report them.
//
// A registration starts with a notice of MIB_CFG_LINE_REGISTRATION
// (RegisterLOID, Register) and moves on as time passes; where it stands is
// worked out whenever someone asks.  With S = register.StageMs:
//
//   0 .. S     201, text the percentage 0-49: the line is being registered
//   at S       the operator's line terminal checks the line:
//                link down (pon_link_state not 1 or 2)      403, ends
//                LOID empty or not register.OLTLOID         410, ends
//                password not register.OLTPassword          404 (405 from the
//                                                           third failure on),
//                                                           text: failures so far
//                management server unreachable              205, ends
//                (register.ITMSReachable 0)
//   S .. 2S    202, text the percentage 50-99: services are being delivered
//   at 2S      200, text register.ServiceCount; the registration is complete
//
// Where it stands lives in register.Status and register.StatusText, so it
// survives a restart and a test may put the service in any state.
#include <glib.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>

#include "mib_api.h"
#include "mib_store.h"
#include "mib_syscmd.h"

namespace {

namespace sys = igd1::mib::syscmd;
using igd1::mib::Item;
using K = igd1::mib::ValueKind;

enum Code {
  kRegistered = 200,
  kRegistering = 201,
  kDelivering = 202,
  kServerUnreachable = 205,
  kNotRegistered = 401,
  kNoAnswer = 403,
  kPasswordRefused = 404,
  kPasswordRefusedLimited = 405,
  kLoidRefused = 410,
};

constexpr uint64_t kFailureLimit = 3;
constexpr size_t kStatusTextSize = 64;

constexpr char kStatus[] = "register.Status";
constexpr char kStatusText[] = "register.StatusText";
constexpr char kComplete[] = "register.Complete";
constexpr char kRunning[] = "register.Running";
constexpr char kStartMs[] = "register.StartMs";
constexpr char kFailures[] = "register.FailedAttempts";

// A new gateway's line is registered.  The operator's side of it: the LOID
// and password the line is provisioned for, whether the management server
// answers, how many services it delivers; the stage time is that of the
// emulated registration.
const igd1::mib::Defaults kRegistrationDefaults({
    {kStatus, K::I32, 4, "200"},
    {kStatusText, K::Text, kStatusTextSize, "2"},
    {kComplete, K::U8, 1, "1"},
    {kRunning, K::U8, 1, "0"},
    {kStartMs, K::U64, 8, "0"},
    {"register.StageMs", K::U32, 4, "1500"},
    {kFailures, K::U32, 4, "0"},
    {"register.OLTLOID", K::Text, 64, "0755210344"},
    {"register.OLTPassword", K::Text, 64, "88412210"},
    {"register.ITMSReachable", K::U8, 1, "1"},
    {"register.ServiceCount", K::U32, 4, "2"},
});

std::mutex &registration_mutex() {
  static std::mutex *mutex = new std::mutex;
  return *mutex;
}

std::string setting(const char *name) { return igd1::mib::get_setting(name).value_or(""); }

void report(int code, const std::string &text) {
  igd1::mib::set_setting(kStatus, std::to_string(code));
  igd1::mib::set_setting(kStatusText, text.substr(0, kStatusTextSize - 1));
}

void finish(int code, const std::string &text) {
  report(code, text);
  sys::set_number_setting(kRunning, 0);
  sys::journal_action("line registration ended with " + std::to_string(code));
}

std::string percent(uint64_t elapsed, uint64_t stage, unsigned base) {
  return std::to_string(base + std::min<uint64_t>(49, elapsed * 50 / stage));
}

// The line terminal's verdict on the stored credentials; true when it
// accepted them.
bool line_accepts() {
  const int link = sys::pon_link_state();
  const std::string loid = setting("pon.LOID");
  if (link != 1 && link != 2) {
    finish(kNoAnswer, "");
  } else if (loid.empty() || loid != setting("register.OLTLOID")) {
    finish(kLoidRefused, "");
  } else if (setting("pon.Password") != setting("register.OLTPassword")) {
    const uint64_t failures = sys::number_setting(kFailures) + 1;
    sys::set_number_setting(kFailures, failures);
    finish(failures >= kFailureLimit ? kPasswordRefusedLimited : kPasswordRefused,
           std::to_string(failures));
  } else if (sys::number_setting("register.ITMSReachable", 1) == 0) {
    finish(kServerUnreachable, "");
  } else {
    return true;
  }
  return false;
}

// The notice that starts a registration (a new one replaces one running).
bool start_registration(const void *, int) {
  std::lock_guard lock(registration_mutex());
  sys::set_number_setting(kStartMs, sys::now_ms());
  sys::set_number_setting(kRunning, 1);
  report(kRegistering, "0");
  sys::journal_action("line registration started for LOID " + setting("pon.LOID"));
  return true;
}

const bool kNoticeApplier = [] {
  igd1::mib::register_notice_applier(MIB_CFG_LINE_REGISTRATION, start_registration);
  return true;
}();

void advance() {
  if (!igd1::mib::store_is_open() || sys::number_setting(kRunning) == 0) return;
  const uint64_t stage = std::max<uint64_t>(1, sys::number_setting("register.StageMs", 1500));
  const uint64_t now = sys::now_ms();
  const uint64_t elapsed = now - std::min(now, sys::number_setting(kStartMs));
  if (elapsed < stage) {
    report(kRegistering, percent(elapsed, stage, 0));
  } else if (!line_accepts()) {
    return;
  } else if (elapsed < 2 * stage) {
    report(kDelivering, percent(elapsed - stage, stage, 50));
  } else {
    sys::set_number_setting(kComplete, 1);
    sys::set_number_setting(kFailures, 0);
    finish(kRegistered, setting("register.ServiceCount"));
  }
}

// Whether the flag `name` is set once the registration has moved on.
int flag_now(const char *name) {
  std::lock_guard lock(registration_mutex());
  advance();
  return sys::number_setting(name) != 0 ? 1 : 0;
}

// PON link state per mode: 0 down, 1 operating, 2 up and ranging.
constexpr Item kLinkItems[] = {
    {"pon.GPONLinkState", K::I32, 4, "1"},
    {"pon.EPONLinkState", K::I32, 4, "1"},
};
const igd1::mib::Defaults kLinkItemsDefaults(kLinkItems);

int link_state(int index, const char *accessor) {
  int32_t state = 0;
  if (!igd1::mib::read_at(accessor, kLinkItems, index, &state)) return 0;
  return state;
}

constexpr Item kOptics[] = {
    {nullptr, K::Double, 8},
    {"pon.Temperature", K::Double, 8},
    {"pon.Voltage", K::Double, 8},
    {"pon.Current", K::Double, 8},
    {"pon.TXPower", K::Double, 8},
    {"pon.RXPower", K::Double, 8},
};

}  // namespace

namespace igd1::mib::syscmd {

int pon_link_state() {
  switch (number_setting("pon.PONType")) {
    case 1: return DBUS_ifgponstate();
    case 2: return DBUS_ifponstate();
    default: return 0;
  }
}

}  // namespace igd1::mib::syscmd

int checkLOID(char *text) {
  std::lock_guard lock(registration_mutex());
  advance();
  if (text != nullptr) {
    std::memset(text, 0, kStatusTextSize);
    g_strlcpy(text, setting(kStatusText).c_str(), kStatusTextSize);
  }
  return static_cast<int>(sys::number_setting(kStatus, kNotRegistered));
}

int get_complete_Register(void) { return flag_now(kComplete); }

int check_Register_Loid(void) { return flag_now(kRunning); }

int DBUS_ifgponstate(void) { return link_state(0, "DBUS_ifgponstate"); }

int DBUS_ifponstate(void) { return link_state(1, "DBUS_ifponstate"); }

int DBUS_poninfo(int item, double *value) {
  return igd1::mib::read_at("DBUS_poninfo", kOptics, item, value) ? 1 : 0;
}
