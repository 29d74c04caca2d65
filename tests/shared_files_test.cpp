// The log, the markers and the sockets in /tmp, where every local user may
// plant a link, a directory or a file of their own before the daemon starts.
// Cases about another user's files need root to create them as `nobody`.
#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "dbus_proxy_api.h"
#include "harness/bus_fixture.h"
#include "sys_files.h"
#include "tool.h"

namespace igd1::test {
namespace {

constexpr uid_t kNobody = 65534;

struct stat status_of(const std::string &file) {
  struct stat status = {};
  EXPECT_EQ(lstat(file.c_str(), &status), 0) << file;
  return status;
}

void plant_file(const std::string &file, const std::string &text, mode_t mode, uid_t owner) {
  write_text_file(file, text);
  ASSERT_EQ(chmod(file.c_str(), mode), 0);
  ASSERT_EQ(chown(file.c_str(), owner, owner), 0);
}

#define NEEDS_ROOT() \
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user"

class SharedFilesTest : public testing::Test {
 protected:
  std::string log_file() const { return root_.path(path::kSyslog); }

  // One line through the log writer, waited for.
  void log_line(const char *text) {
    DBUS_LOG(LOG_LEVEL_ERROR, "%s", text);
    sys_log_flush();
  }

  // The log afterwards is a regular file of ours, readable by us alone,
  // holding exactly what was logged since it was opened.
  void expect_private_log(const std::string &logged) {
    struct stat status = status_of(log_file());
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_uid, geteuid());
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(status.st_nlink, 1u);
    const std::string text = read_text_file(log_file());
    EXPECT_NE(text.find(logged), std::string::npos) << text;
    EXPECT_EQ(text.find("planted"), std::string::npos) << text;
  }

  TempRoot root_;
};

// Whatever stands at the log's name is replaced, never written through.
TEST_F(SharedFilesTest, TheLogReplacesLinksDirectoriesAndFifosPlantedAtItsName) {
  const std::string target = root_.path("/var/lib/igd1/secret");
  write_text_file(target, "root only\n");
  ASSERT_EQ(symlink(target.c_str(), log_file().c_str()), 0);
  log_line("through a link");
  expect_private_log("through a link");
  EXPECT_EQ(read_text_file(target), "root only\n");

  struct Planted {
    const char *what;
    std::function<int(const char *)> plant;
  } const cases[] = {
      {"empty directory", [](const char *file) { return mkdir(file, 0777); }},
      {"fifo", [](const char *file) { return mkfifo(file, 0666); }},
      {"dangling link", [](const char *file) { return symlink("/nonexistent/igd1", file); }},
  };
  for (const Planted &planted : cases) {
    SCOPED_TRACE(planted.what);
    sys_log_reopen();
    std::filesystem::remove(log_file());
    ASSERT_EQ(planted.plant(log_file().c_str()), 0);
    log_line(planted.what);
    expect_private_log(planted.what);
  }
}

TEST_F(SharedFilesTest, AFileOfAnotherUserOrWithASecondNameIsReplaced) {
  NEEDS_ROOT();
  // A 0666 file of nobody's: nobody would read every line written into it.
  plant_file(log_file(), "planted\n", 0666, kNobody);
  sys_log_reopen();
  log_line("password line");
  expect_private_log("password line");
  EXPECT_FALSE(std::filesystem::exists(root_.path(path::kSyslogPrevious)))
      << "another user's file is not kept as the previous log";

  // A second name of one of our own files, made by someone who may write it.
  const std::string ours = root_.path("/var/lib/igd1/kept");
  write_text_file(ours, "kept\n");
  sys_log_reopen();
  std::filesystem::remove(log_file());
  ASSERT_EQ(link(ours.c_str(), log_file().c_str()), 0);
  log_line("after a hard link");
  expect_private_log("after a hard link");
  EXPECT_EQ(read_text_file(ours), "kept\n");
}

// A record replaced as a whole takes the place of whatever was planted at
// its name, a link above all, and is private afterwards.
TEST_F(SharedFilesTest, ARecordReplacesWhatIsPlantedAtItsName) {
  const std::string record = root_.path(path::kExtraMibSaveRecord);
  const std::string target = root_.path("/var/lib/igd1/secret");
  write_text_file(target, "root only\n");
  ASSERT_EQ(symlink(target.c_str(), record.c_str()), 0);
  std::string error;
  ASSERT_TRUE(write_private_file(path::kExtraMibSaveRecord, "first\n", &error)) << error;
  EXPECT_EQ(read_text_file(target), "root only\n");
  EXPECT_EQ(read_text_file(record), "first\n");
  std::filesystem::remove(record);
  ASSERT_EQ(mkdir(record.c_str(), 0777), 0);
  ASSERT_TRUE(write_private_file(path::kExtraMibSaveRecord, "second\n", &error)) << error;
  EXPECT_EQ(read_text_file(record), "second\n");
  const struct stat status = status_of(record);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  // No new copy is left beside it.
  for (const auto &entry : std::filesystem::directory_iterator(root_.path("/tmp")))
    EXPECT_FALSE(entry.path().string().starts_with(record + ".")) << entry.path();
}

// One earlier log survives a restart, private like the log itself.
TEST_F(SharedFilesTest, ThePreviousRunsLogIsKeptOnce) {
  log_line("first run");
  chmod(log_file().c_str(), 0644);
  sys_log_reopen();
  log_line("second run");
  const std::string previous = root_.path(path::kSyslogPrevious);
  EXPECT_NE(read_text_file(previous).find("first run"), std::string::npos);
  EXPECT_EQ(status_of(previous).st_mode & 07777, 0600u);
  expect_private_log("second run");
  EXPECT_EQ(read_text_file(log_file()).find("first run"), std::string::npos);

  sys_log_reopen();
  log_line("third run");
  EXPECT_EQ(read_text_file(previous).find("first run"), std::string::npos) << "one copy only";
  EXPECT_NE(read_text_file(previous).find("second run"), std::string::npos);
}

// The cap counts what is on disk: lines another writer added count too.
TEST_F(SharedFilesTest, TheCapIsMeasuredOnDisk) {
  log_line("before");
  {
    int fd = open(log_file().c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    const std::string filler(SYS_LOG_FILE_CAP, 'z');
    ASSERT_EQ(write(fd, filler.data(), filler.size()), ssize_t(filler.size()));
    close(fd);
  }
  log_line("after the cap");
  const std::string text = read_text_file(log_file());
  EXPECT_LT(text.size(), 300u);
  EXPECT_NE(text.find("after the cap"), std::string::npos);
}

// A log that cannot be opened (a directory with something in it) costs one
// complaint, not one per line.
TEST_F(SharedFilesTest, ALogThatCannotBeOpenedIsReportedOnce) {
  ASSERT_EQ(mkdir(log_file().c_str(), 0755), 0);
  write_text_file(log_file() + "/inside", "x");
  sys_log_reopen();
  testing::internal::CaptureStderr();
  for (int i = 0; i < 5; ++i) log_line("lost line");
  const std::string complaints = testing::internal::GetCapturedStderr();
  size_t count = 0;
  for (size_t at = complaints.find("log file"); at != std::string::npos; at = complaints.find("log file", at + 1))
    ++count;
  EXPECT_EQ(count, 1u) << complaints;
}

TEST_F(SharedFilesTest, TheConformanceMarkerCountsOnlyAsARegularFileOfRoot) {
  const std::string marker = root_.path(path::kCtsMarker);
  const std::string elsewhere = root_.path("/var/lib/igd1/marker");
  write_text_file(elsewhere, "");
  ASSERT_EQ(check_dbus_cts_running(), 0);
  ASSERT_EQ(symlink(elsewhere.c_str(), marker.c_str()), 0);
  EXPECT_EQ(check_dbus_cts_running(), 0) << "a link";
  std::filesystem::remove(marker);
  ASSERT_EQ(mkdir(marker.c_str(), 0755), 0);
  EXPECT_EQ(check_dbus_cts_running(), 0) << "a directory";
  std::filesystem::remove(marker);
  write_text_file(marker, "");
  EXPECT_EQ(check_dbus_cts_running(), 1) << "our own file under the test root";
  if (geteuid() == 0) {
    ASSERT_EQ(chown(marker.c_str(), kNobody, kNobody), 0);
    EXPECT_EQ(check_dbus_cts_running(), 0) << "a file of nobody's";
  }
}

// Runs `body` in a child process as `nobody`; its exit status.
int as_nobody(const std::function<int()> &body) {
  pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0)
      _exit(90);
    _exit(body());
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int connect_to(const std::string &file) {
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", file.c_str());
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  if (connect(sock, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    int error = errno;
    close(sock);
    errno = error;
    return -1;
  }
  return sock;
}

TEST_F(SharedFilesTest, SocketsReplaceWhatIsPlantedAndHearOnlyRootAndTheirOwner) {
  constexpr char kSocket[] = "/tmp/test.sock";
  const std::string file = root_.path(kSocket);
  const std::string target = root_.path("/var/lib/igd1/target");
  write_text_file(target, "kept\n");
  ASSERT_EQ(symlink(target.c_str(), file.c_str()), 0);
  std::string error;
  int listening = listen_private_socket(kSocket, 4, &error);
  ASSERT_GE(listening, 0) << error;
  struct stat status = status_of(file);
  EXPECT_TRUE(S_ISSOCK(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  EXPECT_EQ(read_text_file(target), "kept\n");

  int own = connect_to(file);
  ASSERT_GE(own, 0);
  int accepted = accept(listening, nullptr, nullptr);
  EXPECT_TRUE(peer_may_send(accepted));
  close(accepted);
  close(own);

  if (geteuid() == 0) {
    // The mode keeps nobody out; with the mode opened up, the credentials do.
    chmod(root_.dir().c_str(), 0755);
    EXPECT_EQ(as_nobody([&] { return connect_to(file) < 0 && errno == EACCES ? 0 : 1; }), 0);
    ASSERT_EQ(chmod(file.c_str(), 0777), 0);
    // The connection waits in the backlog with the credentials it was made
    // with after its process has gone.
    EXPECT_EQ(as_nobody([&] { return connect_to(file) >= 0 ? 0 : 1; }), 0);
    accepted = accept(listening, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    EXPECT_FALSE(peer_may_send(accepted));
    close(accepted);
  }
  close(listening);
}

}  // namespace
}  // namespace igd1::test
