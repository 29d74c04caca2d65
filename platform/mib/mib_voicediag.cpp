// The voice tests and the poor-quality call records, answered from the
// emulated voice line (mib_devices.h); the simulated call's number and DTMF
// confirmation are settings (kCallSettings).
#include <atomic>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>

#include "mib_devices.h"
#include "mib_diag.h"
#include "mib_internal.h"
#include "mib_store.h"

namespace {

using igd1::devices::VoiceService;
using igd1::mib::Item;
using igd1::mib::put_numbered;
using igd1::mib::read_text;
using K = igd1::mib::ValueKind;

std::atomic<VoiceService *> g_voice{nullptr};

constexpr size_t kText = 64;
constexpr size_t kNumberMax = 32;

// Digits and the keys *, # and +.
bool dial_number(const void *value) {
  for (const char *c = static_cast<const char *>(value); *c != '\0'; ++c)
    if (!g_ascii_isdigit(*c) && *c != '*' && *c != '#' && *c != '+') return false;
  return true;
}

// The simulated call's number, and the DTMF confirmation, off.
constexpr Item kCallSettings[] = {
    {"voicetest.CalledNumber", K::Text, kNumberMax + 1, "075512345688", dial_number},
    {"voicetest.DialDTMFConfirmEnable", K::Bool, 4, "0", igd1::mib::within<int32_t, 0, 1>},
    {"voicetest.DialDTMFConfirmNumber", K::Text, kNumberMax + 1, "", dial_number},
};
const igd1::mib::Defaults kCallSettingsDefaults(kCallSettings);
constexpr int kCalledNumber = 0, kDtmfEnable = 1, kDtmfNumber = 2;

// The voice line, unless a failure is injected for `accessor` and `index`.
VoiceService *voice_for(const char *accessor, int index) {
  if (igd1::mib::should_fail(accessor, index)) return nullptr;
  return g_voice.load();
}

// Starts a test on the voice line (`start` answers whether it started and
// the line's text): 0 started or 1 refused, the text in `text`.
template <typename Start>
int start_test(const char *accessor, int index, char *text, Start start) {
  VoiceService *voice = voice_for(accessor, index);
  std::string message = "the voice line does not answer";
  const bool ok = voice != nullptr && start(*voice, &message);
  if (text != nullptr) g_strlcpy(text, message.c_str(), kText);
  return ok ? 0 : 1;
}

}  // namespace

namespace igd1::mib {

void serve_voice(devices::VoiceService *voice) { g_voice.store(voice); }

}  // namespace igd1::mib

int IADDiagnostics_interface_init(void) { return g_voice.load() != nullptr ? 1 : 0; }

int IADDiagnostics_get_property(int index, void *value) {
  VoiceService *voice = voice_for("IADDiagnostics_get_property", index);
  if (voice == nullptr || value == nullptr) return 0;
  const igd1::devices::RegistrationTest test = voice->registration_test();
  return put_numbered<kText>(index, value, test.result, test.reason);
}

int IADDiagnostics_StartIADDiagTest(uint32_t type, char *text) {
  return start_test("IADDiagnostics_StartIADDiagTest", int(type), text,
                    [type](VoiceService &voice, std::string *message) {
                      return voice.start_registration_test(type, message);
                    });
}

int VOIPSimulateTest_get_property(int index, void *buffer) {
  if (buffer == nullptr || igd1::mib::should_fail("VOIPSimulateTest_get_property", index)) return 0;
  if (index >= kCalledNumber && index <= kDtmfNumber)
    return igd1::mib::read_item(kCallSettings[index], buffer) ? 1 : 0;
  VoiceService *voice = g_voice.load();
  if (voice == nullptr) return 0;
  const igd1::devices::CallTest test = voice->call_test();
  // The line's results follow the settings.
  return put_numbered<kText>(index - kDtmfNumber - 1, buffer, uint8_t(test.dtmf_result),
                             test.status, test.conclusion, test.caller_fail_reason,
                             test.called_fail_reason, test.response_code);
}

int VOIPSimulateTest_set_property(int index, const void *value) {
  if (value == nullptr || index < kCalledNumber || index > kDtmfNumber ||
      igd1::mib::should_fail("VOIPSimulateTest_set_property", index))
    return 0;
  return igd1::mib::write_item(kCallSettings[index], value) ? 1 : 0;
}

int VOIPSimulateTest_StartTest(uint32_t type, char *text) {
  return start_test("VOIPSimulateTest_StartTest", int(type), text,
                    [type](VoiceService &voice, std::string *message) {
                      int32_t confirm = 0;
                      igd1::mib::read_item(kCallSettings[kDtmfEnable], &confirm);
                      const std::string dtmf = read_text(kCallSettings[kDtmfNumber]);
                      return voice.start_call_test(type, read_text(kCallSettings[kCalledNumber]),
                                                   message, confirm != 0 ? &dtmf : nullptr);
                    });
}

int PhoneConnectivity_interface_init(void) { return g_voice.load() != nullptr ? 1 : 0; }

int PhoneConnectivity_get_property(int index, void *value) {
  VoiceService *voice = voice_for("PhoneConnectivity_get_property", index);
  if (voice == nullptr || value == nullptr) return 0;
  const igd1::devices::ConnectivityTest test = voice->connectivity_test();
  return put_numbered<kText>(index, value, uint32_t(test.connected), uint32_t(test.off_hook_alarm));
}

int PhoneConnectivity_StartTest(char *text) {
  return start_test("PhoneConnectivity_StartTest", 0, text, [](VoiceService &voice, std::string *message) {
    return voice.start_connectivity_test(message);
  });
}

int VoicePoorQualityStats_dbus_num(void) {
  VoiceService *voice = voice_for("VoicePoorQualityStats_dbus_num", 0);
  return voice != nullptr ? int(voice->call_records().size()) : 0;
}

int VoicePoorQualityStats_get_property(int index, void *buffer, uint32_t row) {
  VoiceService *voice = voice_for("VoicePoorQualityStats_get_property", index);
  if (voice == nullptr || buffer == nullptr) return 0;
  const std::vector<igd1::devices::CallRecord> records = voice->call_records();
  if (row < 1 || row > records.size()) return 0;
  const igd1::devices::CallRecord &r = records[row - 1];
  return put_numbered<kText>(index, buffer, r.stat_time, r.tx_packets, r.rx_packets,
                             r.mean_delay, r.mean_jitter, r.fraction_loss, r.local_address,
                             r.local_port, r.far_address, r.far_port, r.mos, r.codec);
}
