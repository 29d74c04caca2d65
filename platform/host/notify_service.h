// The host's event channels: the notification socket through which other
// processes change the bus tree (served by the library's threads, messages
// interpreted here), and the watch on the library's heartbeat.
//
// Notification messages are one line of text; each connection carries one
// message and gets one line back, "OK[ detail]" or "ERR reason":
//
//   row-inserted TABLE INSTANCE      the row exists now: <Module>_add_interface
//   row-removed TABLE INSTANCE       the row is gone: <Module>_del_interface
//   value-changed PATH INTERFACE PROPERTY VALUE
//                                    PropertiesChanged with VALUE, in GVariant
//                                    text form, of the property's declared type
//   debug-level                      re-read the debug level ("OK mask 0x...")
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "host.h"

namespace igd1::host {

// Longest message line the handler accepts, line end excluded.
inline constexpr size_t kNotifyMessageMax = 1024;

// Starts what `options` asks for (nothing unless notify_socket or heartbeat
// is set).  Call after the module entries ran.
bool start_event_channels(const Options &options, const ModuleLibrary &library,
                          std::string *error);
// Stops answering notification messages and watching the heartbeat.  The
// library's threads live on (they end with the process); a message that
// arrives now is answered "ERR service stopped".
void stop_event_channels();

// Listens on a local socket for heartbeat messages and logs a warning when
// none has arrived for `timeout`, and a recovery line when they resume.
class HeartbeatMonitor {
 public:
  HeartbeatMonitor() = default;
  HeartbeatMonitor(const HeartbeatMonitor &) = delete;
  HeartbeatMonitor &operator=(const HeartbeatMonitor &) = delete;
  ~HeartbeatMonitor() { stop(); }

  // Listens at the fixed path `socket_file` (under the root folder); what is
  // found there is replaced.  Only root and the daemon's user are heard.
  bool start(const std::string &socket_file, std::chrono::milliseconds timeout, std::string *error);
  void stop();

 private:
  // A connection accepted and what it sent so far.
  struct Caller {
    int fd = -1;
    std::chrono::steady_clock::time_point accepted;
    char message[5] = {};  // a beat's four bytes and room to see a fifth
    size_t received = 0;
    // Reads what is there without waiting: whether the connection carried a
    // heartbeat once it has said all it will (closed, four bytes in, or
    // `last_chance`), nothing while it may still send.
    std::optional<bool> read(bool last_chance);
  };
  void run();

  std::string socket_file_;
  std::chrono::milliseconds timeout_{0};
  int listen_fd_ = -1;
  int wake_fd_ = -1;
  std::thread thread_;
};

}  // namespace igd1::host
