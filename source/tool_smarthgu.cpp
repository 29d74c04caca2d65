// Local sockets shared with the remote-management (TR-069) side.  Nothing in
// the library calls these: they are entry points for the host daemon and for
// processes that load the library.  Each operation tries once.
#include "tool_smarthgu.h"

#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>

#include "sys_paths.h"

static_assert(sizeof(smarthgu_notify_msg) == 1036, "a notice is 1036 bytes");
static_assert(offsetof(smarthgu_notify_msg, pid) == 8, "the process id sits at offset 8");

namespace {

int new_local_socket() { return socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0); }

// Connects to a fixed path and sends one message of `size` bytes.
int connect_and_send(const char *fixed_path, const void *message, int size) {
  int fd = smarthgu_TR069_socket_client_conn(fixed_path);
  if (fd < 0) return SMARTHGU_SOCKET_FAILED;
  int result = send_client_msg(fd, message, size);
  if (result == SMARTHGU_OK) close(fd);  // a failed send has closed it already
  return result;
}

}  // namespace

int init_smarthgu_server_socket(int *fd) {
  if (fd == nullptr) return SMARTHGU_SOCKET_FAILED;
  struct sockaddr_un address;
  bool fits = igd1::sys_socket_address(igd1::path::kSmartSocket, &address);
  int sock = new_local_socket();
  if (sock < 0) {
    if (fits) unlink(address.sun_path);
    return SMARTHGU_SOCKET_FAILED;
  }
  if (fits) unlink(address.sun_path);
  int reuse = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  if (!fits || bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      listen(sock, 2) != 0) {
    close(sock);
    return SMARTHGU_SOCKET_FAILED;
  }
  *fd = sock;
  return SMARTHGU_OK;
}

int smarthgu_TR069_socket_client_conn(const char *path) {
  if (path == nullptr) return SMARTHGU_CONNECT_FAILED;
  int sock = new_local_socket();
  if (sock < 0) {
    perror("socket");
    return SMARTHGU_CONNECT_FAILED;
  }
  struct sockaddr_un address;
  if (!igd1::sys_socket_address(path, &address) ||
      connect(sock, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(sock);
    return SMARTHGU_CONNECT_FAILED;
  }
  return sock;
}

int send_client_msg(int fd, const void *bytes, int count) {
  // MSG_NOSIGNAL: a peer that went away is a failed send, not the end of the
  // calling process.
  if (send(fd, bytes, count > 0 ? size_t(count) : 0, MSG_NOSIGNAL) < 0) {
    close(fd);
    return SMARTHGU_SEND_FAILED;
  }
  return SMARTHGU_OK;
}

int smarthgu_TR069_socket_client_conn_send_dbus(const void *message) {
  return connect_and_send(igd1::path::kDbusSocket, message, SMARTHGU_DBUS_MSG_SIZE);
}

int smarthgu_notify_dbus_api(smarthgu_notify_msg *message) {
  message->pid = int32_t(getpid());
  return connect_and_send(igd1::path::kSdkSocket, message, int(sizeof *message));
}
