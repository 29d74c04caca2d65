// igd1-notify: sends one message to the notification socket of a running
// igd1d and prints its reply, so that scripts and other processes can tell
// the bus service about changes they made.
//
// Exit status: 0 the reply was "OK ...", 1 it was "ERR ..." or no reply came
// (no daemon listening, time-out), 2 the command line is wrong.
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "sys_paths.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The daemon serves one connection at a time and waits up to 6 seconds for a
// silent client, so a reply may take a while when others are queued.
constexpr int kReplyTimeoutS = 30;

constexpr char kUsage[] =
    "usage: igd1-notify [--root DIR] MESSAGE...\n"
    "\n"
    "The words of MESSAGE are joined with spaces into one line:\n"
    "  row-inserted TABLE INSTANCE                   a row was added to a store table\n"
    "  row-removed TABLE INSTANCE                    a row was removed\n"
    "  value-changed PATH INTERFACE PROPERTY VALUE   announce a new value (GVariant text)\n"
    "  debug-level                                   re-read the debug level\n"
    "\n"
    "options:\n"
    "  --root DIR   the daemon's root folder (default: $IGD1_ROOT, else /)\n"
    "  --help       show this text\n";

int usage_error(const char *problem) {
  std::fprintf(stderr, "igd1-notify: %s\n%s", problem, kUsage);
  return kExitUsage;
}

int failed(const std::string &what) {
  std::fprintf(stderr, "igd1-notify: %s: %s\n", what.c_str(), std::strerror(errno));
  return kExitFailed;
}

}  // namespace

int main(int argc, char **argv) {
  std::string message;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" && message.empty()) {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    if (arg == "--root" && message.empty()) {
      if (++i == argc) return usage_error("--root needs a folder");
      igd1::set_root_dir(argv[i]);
      continue;
    }
    if (!message.empty()) message += ' ';
    message += arg;
  }
  if (message.empty()) return usage_error("no message");
  message += '\n';

  sockaddr_un address;
  if (!igd1::sys_socket_address(igd1::path::kNotifySocket, &address)) {
    errno = ENAMETOOLONG;
    return failed(igd1::sys_path(igd1::path::kNotifySocket));
  }
  int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return failed("socket");
  if (connect(sock, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
    return failed(address.sun_path);
  if (send(sock, message.data(), message.size(), MSG_NOSIGNAL) < 0) return failed("send");

  struct timeval timeout = {kReplyTimeoutS, 0};
  setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string reply;
  char chunk[256];
  ssize_t count;
  while (reply.find('\n') == std::string::npos &&
         (count = recv(sock, chunk, sizeof chunk, 0)) > 0)
    reply.append(chunk, size_t(count));
  close(sock);
  if (reply.empty()) {
    std::fprintf(stderr, "igd1-notify: no reply from %s\n", address.sun_path);
    return kExitFailed;
  }
  reply.resize(std::min(reply.size(), reply.find('\n')));
  std::printf("%s\n", reply.c_str());
  return reply == "OK" || reply.starts_with("OK ") ? kExitOk : kExitFailed;
}
