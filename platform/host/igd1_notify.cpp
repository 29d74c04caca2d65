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

#include <glib.h>

#include <algorithm>
#include <clocale>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "sys_cli.h"
#include "sys_paths.h"

namespace {

constexpr int kExitOk = igd1::kCliExitOk;
constexpr int kExitFailed = igd1::kCliExitFailed;

// The daemon serves one connection at a time and waits up to 6 seconds for a
// silent client, so a reply may take a while when others are queued.
constexpr int kReplyTimeoutS = 30;

constexpr char kMessages[] =
    "The words of MESSAGE are joined with spaces into one line:\n"
    "  row-inserted TABLE INSTANCE                   a row was added to a store table\n"
    "  row-removed TABLE INSTANCE                    a row was removed\n"
    "  value-changed PATH INTERFACE PROPERTY VALUE   announce a new value (GVariant text)\n"
    "  debug-level                                   re-read the debug level\n"
    "\n"
    "The socket is ROOT/tmp/igd1_notify_socket, ROOT being --root, else $IGD1_ROOT,\n"
    "else /: the root folder igd1d runs with.\n"
    "\n"
    "Exit status: 0 the reply was OK, 1 it was ERR or no reply came, 2 the command\n"
    "line is wrong.\n";

int failed(const std::string &what) {
  std::fprintf(stderr, "igd1-notify: %s: %s\n", what.c_str(), std::strerror(errno));
  return kExitFailed;
}

// Name, version, words after the options, summary, help text, what --help lists.
constexpr igd1::CliProgram kProgram = {"igd1-notify", IGD1_VERSION, "MESSAGE...",
                                       "Tells a running igd1d about a change made by another process "
                                       "and prints its reply.",
                                       kMessages, "the messages and options"};

}  // namespace

int main(int argc, char **argv) {
  std::setlocale(LC_ALL, "");
  gchar *root = nullptr;
  const GOptionEntry entries[] = {
      {"root", 0, 0, G_OPTION_ARG_FILENAME, &root,
       "The root folder of igd1d (default: $IGD1_ROOT, else /)", "DIR"},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
  std::vector<std::string> words;
  if (const int status = igd1::cli_parse(kProgram, entries, argc, argv, &words); status >= 0) return status;
  if (root != nullptr) {
    igd1::set_root_dir(root);
    g_free(root);
  }
  std::string message;
  for (const std::string &word : words) {
    if (!message.empty()) message += ' ';
    message += word;
  }
  if (message.empty()) return igd1::cli_usage_error(kProgram, "no message");
  message += '\n';

  sockaddr_un address;
  if (!igd1::sys_socket_address(igd1::path::kNotifySocket, &address)) {
    errno = ENAMETOOLONG;
    return failed(igd1::sys_path(igd1::path::kNotifySocket));
  }
  int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return failed("socket");
  if (connect(sock, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    const int reason = errno;
    const std::string root_dir = igd1::root_dir();
    std::fprintf(stderr,
                 "igd1-notify: no igd1d listens on %s (%s).\n"
                 "igd1d creates this socket below its root folder once its modules have started; "
                 "the root is --root DIR, else $IGD1_ROOT, else / (here: %s).\n",
                 address.sun_path, std::strerror(reason), root_dir.empty() ? "/" : root_dir.c_str());
    close(sock);
    return kExitFailed;
  }
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
