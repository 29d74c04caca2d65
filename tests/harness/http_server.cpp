#include "harness/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace igd1::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPollMs = 50;

uint64_t content_length(std::string_view headers) {
  std::string lower(headers);
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  const size_t at = lower.find("\r\ncontent-length:");
  if (at == std::string::npos) return 0;
  return std::strtoull(lower.c_str() + at + 17, nullptr, 10);
}

}  // namespace

HttpTestServer::HttpTestServer(Options options) : options_(options) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      listen(listener_, 16) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
    return;
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { accept_loop(); });
}

HttpTestServer::~HttpTestServer() {
  stop_.store(true);
  if (acceptor_.joinable()) acceptor_.join();
  for (std::thread &connection : connections_) connection.join();
  if (listener_ >= 0) close(listener_);
}

std::string HttpTestServer::url(const std::string &path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<HttpTestServer::Transfer> HttpTestServer::transfers() {
  std::lock_guard lock(mutex_);
  return transfers_;
}

int HttpTestServer::requests(const std::string &method) {
  std::lock_guard lock(mutex_);
  return int(std::count(methods_.begin(), methods_.end(), method));
}

double HttpTestServer::rate(const std::string &method) {
  uint64_t bytes = 0;
  Clock::time_point first = Clock::time_point::max(), last = Clock::time_point::min();
  for (const Transfer &t : transfers()) {
    if (t.method != method) continue;
    bytes += t.bytes;
    first = std::min(first, t.first);
    last = std::max(last, t.last);
  }
  if (bytes == 0 || last <= first) return 0;
  return double(bytes) * 8 / std::chrono::duration<double>(last - first).count();
}

bool HttpTestServer::wait_readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  while (!stop_.load())
    if (poll(&p, 1, kPollMs) > 0) return true;
  return false;
}

bool HttpTestServer::send_all(int fd, const char *data, size_t size) {
  while (size > 0 && !stop_.load()) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return size == 0;
}

void HttpTestServer::accept_loop() {
  while (wait_readable(listener_)) {
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard lock(mutex_);
    connections_.emplace_back([this, fd] {
      serve(fd);
      close(fd);
    });
  }
}

// Requests one after the other on one connection until the client closes it.
void HttpTestServer::serve(int fd) {
  std::string buffer;
  std::vector<char> block(std::max<size_t>(options_.chunk, 4096));
  while (true) {
    size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
      if (!wait_readable(fd)) return;
      const ssize_t n = recv(fd, block.data(), block.size(), 0);
      if (n <= 0) return;
      buffer.append(block.data(), size_t(n));
    }
    Transfer transfer;
    transfer.headers = buffer.substr(0, end + 4);
    buffer.erase(0, end + 4);
    transfer.method = transfer.headers.substr(0, transfer.headers.find(' '));
    {
      std::lock_guard lock(mutex_);
      methods_.push_back(transfer.method);
    }

    if (transfer.method == "POST") {
      const uint64_t expected = content_length(transfer.headers);
      uint64_t got = std::min<uint64_t>(buffer.size(), expected);
      buffer.erase(0, got);
      transfer.first = transfer.last = Clock::now();
      while (got < expected) {
        if (!wait_readable(fd)) return;
        const ssize_t n = recv(fd, block.data(), std::min<uint64_t>(options_.chunk, expected - got), 0);
        if (n <= 0) return;
        got += uint64_t(n);
        transfer.last = Clock::now();
        if (options_.upload_pause.count() > 0) std::this_thread::sleep_for(options_.upload_pause);
      }
      transfer.bytes = got;
      const char answer[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
      if (!send_all(fd, answer, sizeof answer - 1)) return;
    } else {
      const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                               "Content-Length: " + std::to_string(options_.body_bytes) + "\r\n\r\n";
      if (!send_all(fd, head.data(), head.size())) return;
      if (transfer.method == "HEAD") continue;
      std::fill(block.begin(), block.end(), 'd');
      transfer.first = Clock::now();
      uint64_t sent = 0;
      while (sent < options_.body_bytes) {
        if (sent >= options_.stall_after) {
          while (!stop_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
          return;
        }
        const size_t n = size_t(std::min<uint64_t>({options_.chunk, options_.body_bytes - sent,
                                                    options_.stall_after - sent}));
        if (!send_all(fd, block.data(), n)) return;
        sent += n;
        transfer.last = Clock::now();
        if (options_.pause.count() > 0 && sent < options_.body_bytes)
          std::this_thread::sleep_for(options_.pause);
      }
      transfer.bytes = sent;
    }
    transfer.seconds = std::chrono::duration<double>(transfer.last - transfer.first).count();
    std::lock_guard lock(mutex_);
    transfers_.push_back(transfer);
  }
}

}  // namespace igd1::test
