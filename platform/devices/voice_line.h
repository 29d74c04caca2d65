// An emulated voice service: two phone lines with their registration state,
// the three line tests (registration, simulated call, phone connectivity)
// whose results arrive some time after they were started, and the records of
// poor-quality calls.
//
// A test's outcome follows from the lines' state when it finishes: a
// registration test passes when line 1 is registered; a simulated call of
// type 0 (the line calls) when line 1 is registered and a number was
// dialled, of type 1 (the line is called) when it is registered and a phone
// answers, of type 2 when both hold; a DTMF confirmation asked for with the
// call is confirmed when the call passed and a confirmation number was
// given; the connectivity test sees the phone that is plugged in.  Events from outside
// change the lines and add call records.  Callable from any thread.
#pragma once

#include <mutex>
#include <optional>

#include "state_file.h"

namespace igd1::devices {

inline constexpr size_t kVoiceTextMax = 63;
inline constexpr size_t kMaxCallRecords = 64;

struct VoiceLine {
  std::string name;              // directory number shown for the line
  std::string status;            // "Up", "Registering", "Error", "Disabled" ...
  bool phone_connected = true;   // a phone is plugged into the port
  bool off_hook = false;
};

enum class TestState : uint8_t { Idle = 0, Running = 1, Done = 2 };

// The registration test: result 0 registered, 1 not; reason 0 none,
// 2 no answer from the server, 5 not tested.
struct RegistrationTest {
  TestState state = TestState::Idle;
  uint32_t result = 1;
  uint32_t reason = 5;
};

enum class DtmfResult : uint8_t { NotTested = 0, Confirmed = 1, Failed = 2 };

struct CallTest {
  TestState state = TestState::Idle;
  uint32_t type = 0;
  std::string called_number;
  bool dtmf_confirm = false;
  std::string dtmf_number;
  DtmfResult dtmf_result = DtmfResult::NotTested;
  std::string status = "None";   // "None", "Testing", "Complete"
  uint8_t conclusion = 0;        // 0 passed, 1 failed
  std::string caller_fail_reason;
  std::string called_fail_reason;
  uint32_t response_code = 0;
};

struct ConnectivityTest {
  TestState state = TestState::Idle;
  bool connected = false;
  bool off_hook_alarm = true;
};

struct CallRecord {
  std::string stat_time;
  uint64_t tx_packets = 0, rx_packets = 0;
  uint32_t mean_delay = 0, mean_jitter = 0, fraction_loss = 0;
  std::string local_address;
  uint32_t local_port = 0;
  std::string far_address;
  uint32_t far_port = 0;
  uint32_t mos = 0;
  std::string codec;
};

class VoiceService {
 public:
  explicit VoiceService(std::string state_path, Clock clock = monotonic_ms);

  // Reads the state file; a missing one is seeded (line 1 registered, line 2
  // disabled, two poor-quality call records) and written.
  bool open(std::string *why);

  std::optional<VoiceLine> line(uint32_t number);  // 1 or 2
  RegistrationTest registration_test();
  CallTest call_test();
  ConnectivityTest connectivity_test();
  std::vector<CallRecord> call_records();

  bool start_registration_test(uint32_t type, std::string *message);  // 1 or 2
  // Type 0 to 2; with `dtmf_number` the call also asks for a DTMF
  // confirmation with that number.
  bool start_call_test(uint32_t type, const std::string &called_number, std::string *message,
                       const std::string *dtmf_number = nullptr);
  bool start_connectivity_test(std::string *message);

  // Changes from outside.
  bool set_line(uint32_t number, const VoiceLine &line, std::string *why);
  // Keeps the newest kMaxCallRecords records: a full table drops its oldest.
  bool add_call_record(const CallRecord &record, std::string *why);
  bool set_test_delay(uint32_t ms, std::string *why);

 private:
  void finish_due_tests();
  void seed();
  bool read_state(std::string *why);
  bool write_state(std::string *why);

  std::mutex mutex_;
  StateFile file_;
  Clock clock_;
  uint32_t test_delay_ms_ = 2000;
  VoiceLine lines_[2];
  std::vector<CallRecord> records_;
  RegistrationTest registration_;
  CallTest call_;
  ConnectivityTest connectivity_;
  int64_t registration_due_ = 0, call_due_ = 0, connectivity_due_ = 0;
};

}  // namespace igd1::devices
