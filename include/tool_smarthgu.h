// Local sockets shared with the remote-management (TR-069) side: fixed-size
// messages over Unix-domain stream sockets in /tmp (under the root folder).
#pragma once

#include <stdint.h>

#include "igd1_export.h"

// Results of the operations below.
enum {
  SMARTHGU_OK = 0,
  SMARTHGU_CONNECT_FAILED = -1,  // smarthgu_TR069_socket_client_conn
  SMARTHGU_SOCKET_FAILED = -3,   // socket, bind or listen failed, or the peer is unreachable
  SMARTHGU_SEND_FAILED = -5,
};

// A bus-proxy message for "/tmp/dbussock": 1048 bytes whose layout belongs
// to the sender and the receiver.
#define SMARTHGU_DBUS_MSG_SIZE 1048

// A notice for "/tmp/sdk2dbusproxy".
typedef struct smarthgu_notify_msg {
  int32_t table_id;
  uint32_t signal_id;
  int32_t pid;  // the sender's process id, filled in by smarthgu_notify_dbus_api
  char payload[1024];
} smarthgu_notify_msg;

// Creates the listening socket "/tmp/smartsock" (a stale file there is
// removed first) and stores it in *fd.  Returns 0, or -3.
IGD1_API int init_smarthgu_server_socket(int *fd);

// Connects to the socket at the fixed path `path`.  Returns the descriptor,
// or -1.
IGD1_API int smarthgu_TR069_socket_client_conn(const char *path);

// Sends `count` bytes in one call.  Returns 0 (a short send included), or -5
// after closing `fd`.
IGD1_API int send_client_msg(int fd, const void *bytes, int count);

// Sends one bus-proxy message to "/tmp/dbussock".  Returns 0, -3 or -5.
IGD1_API int smarthgu_TR069_socket_client_conn_send_dbus(const void *message);

// Stamps the caller's process id into `message` and sends it to
// "/tmp/sdk2dbusproxy".  Returns 0, -3 or -5.
IGD1_API int smarthgu_notify_dbus_api(smarthgu_notify_msg *message);
