// A stand-in for the service manager where tests have none: runs igd1d and
// starts it again by the restart rule of the service unit (Restart= and
// RestartSec= read from the unit file, as systemd reads them).
#pragma once

#include <glib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace igd1::test {

struct RestartRule {
  std::string restart = "no";  // no, always, on-success, on-failure, on-abnormal, on-abort
  std::chrono::milliseconds delay{100};

  // Whether a process that ended with `wait_status` (from waitpid) is started again.
  bool restarts_after(int wait_status) const;
};

// Restart= and RestartSec= of the [Service] section of `unit_file`; nullopt
// with `problem` set when the file cannot be read or a value is malformed.
std::optional<RestartRule> read_restart_rule(const std::string &unit_file, std::string *problem);

class Supervisor {
 public:
  Supervisor(RestartRule rule, std::vector<std::string> argv, std::string output_file);
  // Stops the running process with SIGTERM; no restart follows.
  ~Supervisor();
  Supervisor(const Supervisor &) = delete;
  Supervisor &operator=(const Supervisor &) = delete;

  struct Run {
    std::chrono::steady_clock::time_point started;
    std::optional<int> wait_status;  // how it ended, while it runs nullopt
    std::chrono::steady_clock::time_point ended;
  };
  // Sends `signal` to the running process (a crash where it is SIGKILL).
  void signal_running(int signal);
  // Waits until at least `count` runs were started (false on time-out).
  bool wait_for_runs(size_t count, std::chrono::milliseconds timeout);
  std::vector<Run> runs();

 private:
  void supervise();

  const RestartRule rule_;
  const std::vector<std::string> argv_;
  const std::string output_file_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Run> runs_;
  GPid pid_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace igd1::test
