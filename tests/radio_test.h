// What the wireless tests do to the emulated radios, on top of a bus
// fixture: events from outside ("radio station-join ..."), the stand-in of
// the radios' control program (its exit status, its time, the calls it
// recorded) and the radios' state file.
#pragma once

#include <chrono>
#include <string>
#include <thread>

#include "harness/bus_fixture.h"
#include "harness/standin.h"
#include "mib_wifi.h"
#include "sys_paths.h"

namespace igd1::test {

// The radios' state file under the root with every change made so far in
// it (the radios write it from a thread of their own).
inline std::string radio_state_file(const TempRoot &root) {
  char why[256] = "";
  EXPECT_EQ(wifi_radio_state_flush(why, sizeof why), 1) << why;
  return read_text_file(root.path(std::string(path::kDeviceStateDir) + "radios.ini"));
}

template <class Fixture>
class RadioTest : public Fixture {
 protected:
  void event(const std::string &words) {
    std::string answer;
    ASSERT_TRUE(host::run_event(words, &answer)) << words << ": " << answer;
  }
  // The reason an event is refused with.
  std::string refused_event(const std::string &words) {
    std::string answer;
    EXPECT_FALSE(host::run_event(words, &answer)) << words;
    return answer;
  }
  // What the control program's stand-in does from now on (control_standin).
  void radioctl(const char *what, const std::string &text) { control_standin(this->root(), "radioctl", what, text); }
  void release_radioctl() { release_standin(this->root(), "radioctl"); }
  std::string standin_log() { return test::standin_log(this->root()); }
  std::string radios() { return radio_state_file(this->root()); }
  // Waits until the radios' state file holds `text` (or no longer does):
  // the radios act once their control program ran.
  bool radios_hold(const std::string &text, bool wanted = true) {
    return eventually([&] { return (radios().find(text) != std::string::npos) == wanted; });
  }
};

}  // namespace igd1::test
