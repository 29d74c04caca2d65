// A small HTTP/1.1 server on 127.0.0.1 for the speed tests: it serves a body
// of a chosen size at a chosen pace, takes uploads at a chosen pace, can
// stop answering part way, and measures what it sent and received itself.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace igd1::test {

class HttpTestServer {
 public:
  struct Options {
    uint64_t body_bytes = 1 << 20;       // size of every GET answer
    size_t chunk = 64 * 1024;            // bytes sent or read at once
    std::chrono::microseconds pause{0};         // after every chunk sent
    std::chrono::microseconds upload_pause{0};  // after every chunk received
    // A GET answer stops after this many body bytes and the connection then
    // stays silent until the server ends.
    uint64_t stall_after = std::numeric_limits<uint64_t>::max();
  };
  // What one request moved, as the server measured it: from its first body
  // byte to its last.
  struct Transfer {
    std::string method;
    uint64_t bytes = 0;
    double seconds = 0;
    std::string headers;
    std::chrono::steady_clock::time_point first, last;
  };

  explicit HttpTestServer(Options options);
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer &) = delete;
  HttpTestServer &operator=(const HttpTestServer &) = delete;

  uint16_t port() const { return port_; }
  std::string url(const std::string &path = "/speed.bin") const;
  // Completed GET and POST requests (a stalled one is never complete).
  std::vector<Transfer> transfers();
  int requests(const std::string &method);
  // Bits per second of the GETs or POSTs together: bytes over the time from
  // the earliest first byte to the latest last byte.
  double rate(const std::string &method);

 private:
  void accept_loop();
  void serve(int fd);
  bool wait_readable(int fd);
  bool send_all(int fd, const char *data, size_t size);

  Options options_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::thread> connections_;
  std::vector<Transfer> transfers_;
  std::vector<std::string> methods_;
};

}  // namespace igd1::test
