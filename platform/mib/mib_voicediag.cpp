// The voice tests and the poor-quality call records, answered from the
// emulated voice line (mib_devices.h); the simulated call's number and DTMF
// confirmation are settings:
//   voicetest.CalledNumber (text, 33), voicetest.DialDTMFConfirmEnable
//   (Bool), voicetest.DialDTMFConfirmNumber (text, 33)
#include <atomic>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>

#include "mib_devices.h"
#include "mib_diag.h"
#include "mib_store.h"

namespace {

using igd1::devices::VoiceService;
using igd1::mib::Item;
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

void put_text(char *buffer, size_t size, const std::string &text) {
  g_strlcpy(buffer, text.c_str(), size);
}

// Started (0) or refused (1), with the line's text.
int started(bool ok, const std::string &message, char *text) {
  if (text != nullptr) put_text(text, kText, message);
  return ok ? 0 : 1;
}

std::string setting_text(const Item &item) {
  char text[kNumberMax + 1] = {};
  return igd1::mib::read_item(item, text) ? text : "";
}

void put_u32(void *buffer, uint32_t value) { std::memcpy(buffer, &value, sizeof value); }
void put_u64(void *buffer, uint64_t value) { std::memcpy(buffer, &value, sizeof value); }

}  // namespace

namespace igd1::mib {

void serve_voice(devices::VoiceService *voice) { g_voice.store(voice); }

}  // namespace igd1::mib

int IADDiagnostics_interface_init(void) { return g_voice.load() != nullptr ? 1 : 0; }

int IADDiagnostics_get_property(int index, void *value) {
  VoiceService *voice = voice_for("IADDiagnostics_get_property", index);
  if (voice == nullptr || value == nullptr || index < 0 || index > 1) return 0;
  const igd1::devices::RegistrationTest test = voice->registration_test();
  put_u32(value, index == 0 ? test.result : test.reason);
  return 1;
}

int IADDiagnostics_StartIADDiagTest(uint32_t type, char *text) {
  VoiceService *voice = voice_for("IADDiagnostics_StartIADDiagTest", int(type));
  if (voice == nullptr) return started(false, "the voice line does not answer", text);
  std::string message;
  const bool ok = voice->start_registration_test(type, &message);
  return started(ok, message, text);
}

int VOIPSimulateTest_get_property(int index, void *buffer) {
  if (buffer == nullptr || igd1::mib::should_fail("VOIPSimulateTest_get_property", index)) return 0;
  if (index >= kCalledNumber && index <= kDtmfNumber)
    return igd1::mib::read_item(kCallSettings[index], buffer) ? 1 : 0;
  VoiceService *voice = g_voice.load();
  if (voice == nullptr) return 0;
  const igd1::devices::CallTest test = voice->call_test();
  auto *bytes = static_cast<uint8_t *>(buffer);
  switch (index) {
    case 3: *bytes = uint8_t(test.dtmf_result); return 1;
    case 4: put_text(static_cast<char *>(buffer), kText, test.status); return 1;
    case 5: *bytes = test.conclusion; return 1;
    case 6: put_text(static_cast<char *>(buffer), kText, test.caller_fail_reason); return 1;
    case 7: put_text(static_cast<char *>(buffer), kText, test.called_fail_reason); return 1;
    case 8: put_u32(buffer, test.response_code); return 1;
    default: return 0;
  }
}

int VOIPSimulateTest_set_property(int index, const void *value) {
  if (value == nullptr || index < kCalledNumber || index > kDtmfNumber ||
      igd1::mib::should_fail("VOIPSimulateTest_set_property", index))
    return 0;
  return igd1::mib::write_item(kCallSettings[index], value) ? 1 : 0;
}

int VOIPSimulateTest_StartTest(uint32_t type, char *text) {
  VoiceService *voice = voice_for("VOIPSimulateTest_StartTest", int(type));
  if (voice == nullptr) return started(false, "the voice line does not answer", text);
  int32_t confirm = 0;
  igd1::mib::read_item(kCallSettings[kDtmfEnable], &confirm);
  const std::string dtmf = setting_text(kCallSettings[kDtmfNumber]);
  std::string message;
  const bool ok = voice->start_call_test(type, setting_text(kCallSettings[kCalledNumber]), &message,
                                         confirm != 0 ? &dtmf : nullptr);
  return started(ok, message, text);
}

int PhoneConnectivity_interface_init(void) { return g_voice.load() != nullptr ? 1 : 0; }

int PhoneConnectivity_get_property(int index, void *value) {
  VoiceService *voice = voice_for("PhoneConnectivity_get_property", index);
  if (voice == nullptr || value == nullptr || index < 0 || index > 1) return 0;
  const igd1::devices::ConnectivityTest test = voice->connectivity_test();
  put_u32(value, index == 0 ? test.connected : test.off_hook_alarm);
  return 1;
}

int PhoneConnectivity_StartTest(char *text) {
  VoiceService *voice = voice_for("PhoneConnectivity_StartTest", 0);
  if (voice == nullptr) return started(false, "the voice line does not answer", text);
  std::string message;
  const bool ok = voice->start_connectivity_test(&message);
  return started(ok, message, text);
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
  auto *text = static_cast<char *>(buffer);
  switch (index) {
    case 0: put_text(text, kText, r.stat_time); return 1;
    case 1: put_u64(buffer, r.tx_packets); return 1;
    case 2: put_u64(buffer, r.rx_packets); return 1;
    case 3: put_u32(buffer, r.mean_delay); return 1;
    case 4: put_u32(buffer, r.mean_jitter); return 1;
    case 5: put_u32(buffer, r.fraction_loss); return 1;
    case 6: put_text(text, kText, r.local_address); return 1;
    case 7: put_u32(buffer, r.local_port); return 1;
    case 8: put_text(text, kText, r.far_address); return 1;
    case 9: put_u32(buffer, r.far_port); return 1;
    case 10: put_u32(buffer, r.mos); return 1;
    case 11: put_text(text, kText, r.codec); return 1;
    default: return 0;
  }
}
