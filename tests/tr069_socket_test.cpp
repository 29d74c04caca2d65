// The local sockets shared with the remote-management side.

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

#include "local_socket.h"
#include "tool_smarthgu.h"

namespace igd1::test {
namespace {

class Tr069SocketTest : public testing::Test {
 protected:
  TempRoot root_;
};

TEST_F(Tr069SocketTest, ServerSocketReplacesAStaleFileAndAccepts) {
  const std::string file = root_.path(path::kSmartSocket);
  write_text_file(file, "stale");
  int fd = -1;
  ASSERT_EQ(init_smarthgu_server_socket(&fd), SMARTHGU_OK);
  ASSERT_GE(fd, 0);
  struct stat info;
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  int client = smarthgu_TR069_socket_client_conn(path::kSmartSocket);
  EXPECT_GE(client, 0);
  EXPECT_EQ(send_client_msg(client, "hi", 2), SMARTHGU_OK);
  EXPECT_EQ(accept_message(fd, 1s, 2), "hi");
  close(client);
  close(fd);
}

TEST_F(Tr069SocketTest, ServerSocketFailsWhenThePathCannotBeBound) {
  // A folder in the socket's place can be neither removed nor bound over.
  ASSERT_EQ(mkdir(root_.path(path::kSmartSocket).c_str(), 0755), 0);
  int fd = -7;
  EXPECT_EQ(init_smarthgu_server_socket(&fd), SMARTHGU_SOCKET_FAILED);
  EXPECT_EQ(fd, -7);
}

TEST_F(Tr069SocketTest, MessagesReachTheirPeersWhole) {
  int bus_peer = listen_local(path::kDbusSocket);
  int sdk_peer = listen_local(path::kSdkSocket);
  ASSERT_GE(bus_peer, 0);
  ASSERT_GE(sdk_peer, 0);

  std::string bus_message(SMARTHGU_DBUS_MSG_SIZE, '\0');
  for (size_t i = 0; i < bus_message.size(); ++i) bus_message[i] = char('a' + i % 26);
  EXPECT_EQ(smarthgu_TR069_socket_client_conn_send_dbus(bus_message.data()), SMARTHGU_OK);
  EXPECT_EQ(accept_message(bus_peer, 1s), bus_message);

  smarthgu_notify_msg notice = {};
  notice.table_id = 12;
  notice.signal_id = 3;
  std::strcpy(notice.payload, "payload");
  EXPECT_EQ(smarthgu_notify_dbus_api(&notice), SMARTHGU_OK);
  std::string received = accept_message(sdk_peer, 1s);
  ASSERT_EQ(received.size(), sizeof notice);
  EXPECT_EQ(std::memcmp(received.data(), &notice, sizeof notice), 0);
  EXPECT_EQ(notice.pid, getpid());
  close(bus_peer);
  close(sdk_peer);
}

TEST_F(Tr069SocketTest, UnreachablePeersAndFailedSendsAreReported) {
  smarthgu_notify_msg notice = {};
  EXPECT_EQ(smarthgu_notify_dbus_api(&notice), SMARTHGU_SOCKET_FAILED);
  EXPECT_EQ(notice.pid, getpid()) << "stamped before connecting";
  char message[SMARTHGU_DBUS_MSG_SIZE] = {};
  EXPECT_EQ(smarthgu_TR069_socket_client_conn_send_dbus(message), SMARTHGU_SOCKET_FAILED);
  EXPECT_EQ(smarthgu_TR069_socket_client_conn(path::kDbusSocket), SMARTHGU_CONNECT_FAILED);

  // A peer that went away: the send fails and the descriptor is closed.
  int peer = listen_local(path::kDbusSocket);
  int fd = smarthgu_TR069_socket_client_conn(path::kDbusSocket);
  ASSERT_GE(fd, 0);
  close(accept(peer, nullptr, nullptr));
  close(peer);
  std::this_thread::sleep_for(50ms);
  int result = send_client_msg(fd, message, sizeof message);
  if (result == SMARTHGU_OK) result = send_client_msg(fd, message, sizeof message);
  EXPECT_EQ(result, SMARTHGU_SEND_FAILED);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "descriptor left open";
}

}  // namespace
}  // namespace igd1::test
