// Local-socket helpers of the event channel tests: a listener standing in for
// a peer, and a client of the notification socket.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>
#include <thread>

#include "harness/bus_fixture.h"
#include "host_api.h"
#include "sys_paths.h"

namespace igd1::test {

// Listens on the socket at a fixed path (under the root); -1 on failure.
inline int listen_local(const char *fixed_path) {
  sockaddr_un address;
  if (!sys_socket_address(fixed_path, &address)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  unlink(address.sun_path);
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(fd, 4) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline bool readable(int fd, std::chrono::milliseconds timeout) {
  pollfd watch = {fd, POLLIN, 0};
  return poll(&watch, 1, int(timeout.count())) > 0;
}

// Accepts one connection within `timeout` and reads what it sends until it
// closes (at most `limit` bytes); with an `answer`, only up to the first line
// end, which the answer then follows.  "" when nobody connected.
inline std::string accept_message(int listen_fd, std::chrono::milliseconds timeout,
                                  size_t limit = 4096, std::string_view answer = {}) {
  if (!readable(listen_fd, timeout)) return {};
  int fd = accept(listen_fd, nullptr, nullptr);
  if (fd < 0) return {};
  std::string bytes;
  char chunk[512];
  ssize_t count;
  while (bytes.size() < limit && (answer.empty() || bytes.find('\n') == std::string::npos) &&
         readable(fd, std::chrono::seconds(2)) && (count = recv(fd, chunk, sizeof chunk, 0)) > 0)
    bytes.append(chunk, size_t(count));
  if (!answer.empty()) send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
  close(fd);
  return bytes;
}

// One connection to the notification socket of the current root.
class NotifyClient {
 public:
  NotifyClient() : fd_(dbus_proxy_uds_client_conn(path::kNotifySocket)) {}
  ~NotifyClient() {
    if (fd_ >= 0) close(fd_);
  }
  NotifyClient(const NotifyClient &) = delete;
  NotifyClient &operator=(const NotifyClient &) = delete;

  bool connected() const { return fd_ >= 0; }
  bool send(std::string_view message) {
    return dbus_proxy_uds_send_client_msg(fd_, message.data(), int(message.size())) ==
           int(message.size());
  }
  // The reply line without its line end; "" when none came within `timeout`.
  // The line is consumed only once it is complete.
  std::string reply(std::chrono::milliseconds timeout = kPatience) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (received_.find('\n') == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !readable(fd_, left)) return {};
      char chunk[256];
      ssize_t count = recv(fd_, chunk, sizeof chunk, 0);
      if (count <= 0) return {};
      received_.append(chunk, size_t(count));
    }
    std::string line = received_.substr(0, received_.find('\n'));
    received_.erase(0, line.size() + 1);
    return line;
  }
  // True once the daemon closed the connection (within `timeout`).
  bool closed(std::chrono::milliseconds timeout) {
    char byte;
    return readable(fd_, timeout) && recv(fd_, &byte, 1, 0) == 0;
  }

 private:
  int fd_;
  std::string received_;
};

// Sends one message on a new connection and returns the reply line.
inline std::string exchange(std::string_view message) {
  NotifyClient client;
  if (!client.connected() || !client.send(message)) return "<no connection>";
  return client.reply();
}

// Waits until the notification socket of the current root answers (the
// library's thread creates it a moment after the host started).
inline bool wait_for_notify_socket() {
  return eventually([] { return exchange("\n") == "ERR empty message"; });
}

}  // namespace igd1::test
