// Other programs run by the tests: a program run to its end, and a message
// bus daemon of a test's own.  Needs GLib only, so that the store's tests
// use it too.
#pragma once

#include <glib.h>

#include <map>
#include <string>
#include <vector>

namespace igd1::test {

// How a program ended (its exit status, 128 + the signal when one ended it,
// -1 when it could not be started) and what it printed.
struct ProgramRun {
  int status = -1;
  std::string out, err;
  std::string output() const { return out + err; }
};

// Runs `argv` (a program name without a slash is looked up in PATH) to its
// end, without a shell.  `environment` sets variables for the program only;
// an empty value removes the variable.
ProgramRun run_program(std::vector<std::string> argv,
                       const std::map<std::string, std::string> &environment = {});

// A dbus-daemon of its own, ended with the object (or with the thread that
// started it): a session bus, or the bus `config_file` describes.  An empty
// address when it did not start.
class MessageBus {
 public:
  explicit MessageBus(const std::string &config_file = "");
  ~MessageBus() { stop(); }
  MessageBus(const MessageBus &) = delete;
  MessageBus &operator=(const MessageBus &) = delete;

  const std::string &address() const { return address_; }
  // Ends the daemon at once (SIGKILL) and reaps it.
  void stop();

 private:
  GPid pid_ = 0;
  std::string address_;
};

}  // namespace igd1::test
