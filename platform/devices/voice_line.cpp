#include "voice_line.h"

#include <cstring>

namespace igd1::devices {

namespace {

constexpr char kGeneral[] = "voice";
constexpr char kLinePrefix[] = "line ";
constexpr char kRecordPrefix[] = "call ";
constexpr uint32_t kMaxTestDelayMs = 600000;

bool registered(const VoiceLine &line) { return line.status == "Up"; }

}  // namespace

VoiceService::VoiceService(std::string state_path, Clock clock)
    : file_(std::move(state_path)), clock_(std::move(clock)) {
  seed();
}

void VoiceService::seed() {
  lines_[0] = {"075512345601", "Up", true, false};
  lines_[1] = {"075512345602", "Disabled", false, false};
  // Two calls of a busy morning that the line judged poor: a congested
  // uplink (delay and jitter) and a lossy one (lost packets, low MOS).
  CallRecord congested;
  congested.stat_time = "2026-01-01 08:00:00";
  congested.tx_packets = 15000;
  congested.rx_packets = 14870;
  congested.mean_delay = 180;
  congested.mean_jitter = 42;
  congested.fraction_loss = 3;
  congested.local_address = "10.20.0.2";
  congested.local_port = 5004;
  congested.far_address = "10.30.0.9";
  congested.far_port = 16384;
  congested.mos = 31;
  congested.codec = "G.711A";
  CallRecord lossy = congested;
  lossy.stat_time = "2026-01-01 09:12:40";
  lossy.tx_packets = 9120;
  lossy.rx_packets = 8395;
  lossy.mean_delay = 95;
  lossy.mean_jitter = 18;
  lossy.fraction_loss = 8;
  lossy.local_port = 5006;
  lossy.far_address = "10.30.0.14";
  lossy.far_port = 16402;
  lossy.mos = 26;
  lossy.codec = "G.729";
  records_ = {congested, lossy};
  test_delay_ms_ = 2000;
}

bool VoiceService::open(std::string *why) {
  std::lock_guard lock(mutex_);
  return open_state(
      file_, why, [this] { seed(); }, [this](std::string *w) { return read_state(w); },
      [this](std::string *w) { return write_state(w); });
}

bool VoiceService::read_state(std::string *why) {
  GKeyFile *keys = file_.keys();
  FieldReader general(keys, kGeneral);
  const uint64_t default_delay = 2000;
  const uint32_t delay = uint32_t(general.number("test_delay_ms", 0, kMaxTestDelayMs, &default_delay));
  if (!general.ok()) {
    *why = file_.path() + ": " + general.error();
    return false;
  }
  VoiceLine lines[2];
  for (uint32_t n = 1; n <= 2; ++n) {
    FieldReader f(keys, kLinePrefix + std::to_string(n));
    lines[n - 1].name = f.text("name", kVoiceTextMax);
    lines[n - 1].status = f.text("status", kVoiceTextMax);
    lines[n - 1].phone_connected = f.flag("phone_connected");
    lines[n - 1].off_hook = f.flag("off_hook");
    if (!f.ok()) {
      *why = file_.path() + ": " + f.error();
      return false;
    }
  }
  std::vector<CallRecord> records;
  for (const std::string &group : groups_with_prefix(keys, kRecordPrefix)) {
    FieldReader f(keys, group);
    CallRecord r;
    r.stat_time = f.text("stat_time", kVoiceTextMax);
    r.tx_packets = f.number("tx_packets", 0, UINT64_MAX);
    r.rx_packets = f.number("rx_packets", 0, UINT64_MAX);
    r.mean_delay = uint32_t(f.number("mean_delay", 0, UINT32_MAX));
    r.mean_jitter = uint32_t(f.number("mean_jitter", 0, UINT32_MAX));
    r.fraction_loss = uint32_t(f.number("fraction_loss", 0, 100));
    r.local_address = f.text("local_address", kVoiceTextMax);
    r.local_port = uint32_t(f.number("local_port", 0, 65535));
    r.far_address = f.text("far_address", kVoiceTextMax);
    r.far_port = uint32_t(f.number("far_port", 0, 65535));
    r.mos = uint32_t(f.number("mos", 0, 50));
    r.codec = f.text("codec", kVoiceTextMax);
    if (!f.ok()) {
      *why = file_.path() + ": " + f.error();
      return false;
    }
    records.push_back(std::move(r));
  }
  if (records.size() > kMaxCallRecords) {
    *why = file_.path() + ": more than " + std::to_string(kMaxCallRecords) + " call records";
    return false;
  }
  test_delay_ms_ = delay;
  lines_[0] = lines[0];
  lines_[1] = lines[1];
  records_ = std::move(records);
  return true;
}

bool VoiceService::write_state(std::string *why) {
  file_.clear();
  GKeyFile *keys = file_.keys();
  g_key_file_set_uint64(keys, kGeneral, "test_delay_ms", test_delay_ms_);
  for (uint32_t n = 1; n <= 2; ++n) {
    const std::string g = kLinePrefix + std::to_string(n);
    const VoiceLine &l = lines_[n - 1];
    g_key_file_set_string(keys, g.c_str(), "name", l.name.c_str());
    g_key_file_set_string(keys, g.c_str(), "status", l.status.c_str());
    g_key_file_set_boolean(keys, g.c_str(), "phone_connected", l.phone_connected);
    g_key_file_set_boolean(keys, g.c_str(), "off_hook", l.off_hook);
  }
  for (size_t i = 0; i < records_.size(); ++i) {
    // Zero-padded so that the groups keep the records' order when sorted.
    char group[16];
    g_snprintf(group, sizeof group, "%s%03zu", kRecordPrefix, i + 1);
    const CallRecord &r = records_[i];
    g_key_file_set_string(keys, group, "stat_time", r.stat_time.c_str());
    g_key_file_set_uint64(keys, group, "tx_packets", r.tx_packets);
    g_key_file_set_uint64(keys, group, "rx_packets", r.rx_packets);
    g_key_file_set_uint64(keys, group, "mean_delay", r.mean_delay);
    g_key_file_set_uint64(keys, group, "mean_jitter", r.mean_jitter);
    g_key_file_set_uint64(keys, group, "fraction_loss", r.fraction_loss);
    g_key_file_set_string(keys, group, "local_address", r.local_address.c_str());
    g_key_file_set_uint64(keys, group, "local_port", r.local_port);
    g_key_file_set_string(keys, group, "far_address", r.far_address.c_str());
    g_key_file_set_uint64(keys, group, "far_port", r.far_port);
    g_key_file_set_uint64(keys, group, "mos", r.mos);
    g_key_file_set_string(keys, group, "codec", r.codec.c_str());
  }
  return file_.save(why);
}

void VoiceService::finish_due_tests() {
  const int64_t now = clock_();
  const VoiceLine &line = lines_[0];
  if (registration_.state == TestState::Running && now >= registration_due_) {
    registration_.state = TestState::Done;
    registration_.result = registered(line) ? 0 : 1;
    registration_.reason = registered(line) ? 0 : 2;
  }
  if (call_.state == TestState::Running && now >= call_due_) {
    call_.state = TestState::Done;
    call_.status = "Complete";
    const bool calls = call_.type != 1, is_called = call_.type != 0;
    const bool dialled = !call_.called_number.empty();
    const bool passed = registered(line) && (!calls || dialled) && (!is_called || line.phone_connected);
    call_.conclusion = passed ? 0 : 1;
    call_.caller_fail_reason = registered(line) ? "" : "line not registered";
    call_.called_fail_reason = calls && !dialled                         ? "no number dialled"
                               : is_called && !line.phone_connected ? "no phone answered"
                                                                     : "";
    call_.response_code = passed ? 200 : !registered(line) ? 503 : calls && !dialled ? 404 : 480;
    if (call_.dtmf_confirm)
      call_.dtmf_result = passed && !call_.dtmf_number.empty() ? DtmfResult::Confirmed : DtmfResult::Failed;
  }
  if (connectivity_.state == TestState::Running && now >= connectivity_due_) {
    connectivity_.state = TestState::Done;
    connectivity_.connected = line.phone_connected;
    connectivity_.off_hook_alarm = line.phone_connected && line.off_hook;
  }
}

std::optional<VoiceLine> VoiceService::line(uint32_t number) {
  std::lock_guard lock(mutex_);
  if (number < 1 || number > 2) return std::nullopt;
  return lines_[number - 1];
}

RegistrationTest VoiceService::registration_test() {
  std::lock_guard lock(mutex_);
  finish_due_tests();
  return registration_;
}

CallTest VoiceService::call_test() {
  std::lock_guard lock(mutex_);
  finish_due_tests();
  return call_;
}

ConnectivityTest VoiceService::connectivity_test() {
  std::lock_guard lock(mutex_);
  finish_due_tests();
  return connectivity_;
}

std::vector<CallRecord> VoiceService::call_records() {
  std::lock_guard lock(mutex_);
  return records_;
}

bool VoiceService::start_registration_test(uint32_t type, std::string *message) {
  std::lock_guard lock(mutex_);
  finish_due_tests();
  if (type != 1 && type != 2) {
    *message = "test type 1 or 2";
    return false;
  }
  if (registration_.state == TestState::Running) {
    *message = "a registration test is running";
    return false;
  }
  registration_ = {TestState::Running, 1, 5};
  registration_due_ = clock_() + test_delay_ms_;
  *message = "test started";
  return true;
}

bool VoiceService::start_call_test(uint32_t type, const std::string &called_number, std::string *message,
                                   const std::string *dtmf_number) {
  std::lock_guard lock(mutex_);
  finish_due_tests();
  if (type > 2) {
    *message = "test type 0 to 2";
    return false;
  }
  if (called_number.size() > 32 || (dtmf_number != nullptr && dtmf_number->size() > 32)) {
    *message = "a called or confirmation number has at most 32 characters";
    return false;
  }
  if (call_.state == TestState::Running) {
    *message = "a call test is running";
    return false;
  }
  call_ = CallTest{};
  call_.state = TestState::Running;
  call_.type = type;
  call_.called_number = called_number;
  call_.dtmf_confirm = dtmf_number != nullptr;
  if (dtmf_number != nullptr) call_.dtmf_number = *dtmf_number;
  call_.status = "Testing";
  call_due_ = clock_() + test_delay_ms_;
  *message = "test started";
  return true;
}

bool VoiceService::start_connectivity_test(std::string *message) {
  std::lock_guard lock(mutex_);
  finish_due_tests();
  if (connectivity_.state == TestState::Running) {
    *message = "a connectivity test is running";
    return false;
  }
  connectivity_ = {TestState::Running, false, true};
  connectivity_due_ = clock_() + test_delay_ms_;
  *message = "test started";
  return true;
}

bool VoiceService::set_line(uint32_t number, const VoiceLine &line, std::string *why) {
  std::lock_guard lock(mutex_);
  if (number < 1 || number > 2) {
    *why = "line 1 or 2";
    return false;
  }
  if (line.name.size() > kVoiceTextMax || line.status.empty() || line.status.size() > kVoiceTextMax) {
    *why = "a line has a status and texts of at most " + std::to_string(kVoiceTextMax) + " bytes";
    return false;
  }
  // A test that is running sees the line as it is when the test ends.
  return change_written(lines_[number - 1], line, [&] { return write_state(why); });
}

bool VoiceService::add_call_record(const CallRecord &record, std::string *why) {
  std::lock_guard lock(mutex_);
  if (record.stat_time.empty() || record.stat_time.size() > kVoiceTextMax ||
      record.local_address.size() > kVoiceTextMax || record.far_address.size() > kVoiceTextMax ||
      record.codec.size() > kVoiceTextMax || record.fraction_loss > 100 || record.mos > 50 ||
      record.local_port > 65535 || record.far_port > 65535) {
    *why = "a call record has a time, texts of at most 63 bytes, a loss up to 100, a MOS up to 50 and ports";
    return false;
  }
  const std::vector<CallRecord> before = records_;
  // The oldest record makes room once the table is full.
  if (records_.size() >= kMaxCallRecords) records_.erase(records_.begin());
  records_.push_back(record);
  if (write_state(why)) return true;
  records_ = before;
  return false;
}

bool VoiceService::set_test_delay(uint32_t ms, std::string *why) {
  std::lock_guard lock(mutex_);
  if (ms > kMaxTestDelayMs) {
    *why = "a test takes at most " + std::to_string(kMaxTestDelayMs) + " ms";
    return false;
  }
  return change_written(test_delay_ms_, ms, [&] { return write_state(why); });
}

}  // namespace igd1::devices
