// One igd1d per root folder: the daemon holds an exclusive lock on its pid
// file for as long as it runs.  The lock is taken before anything else of the
// root is touched, so a second daemon leaves the running one's log, sockets
// and store exactly as they were.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <glib.h>

#include "host.h"
#include "sys_paths.h"

namespace igd1::host {
namespace {

// The pid the file holds, or "" when it cannot be read.
std::string pid_in(int fd) {
  char text[32] = {};
  ssize_t count = pread(fd, text, sizeof text - 1, 0);
  if (count <= 0) return {};
  std::string pid(text, size_t(count));
  while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
  return pid;
}

}  // namespace

bool InstanceLock::acquire(std::string *error) {
  const std::string file = sys_path(path::kDaemonPidFile);
  g_autofree gchar *dir = g_path_get_dirname(file.c_str());
  g_mkdir_with_parents(dir, 0755);
  // Opened without truncation: the file is only written once it is ours.
  int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot open " + file + ": " + std::strerror(errno);
    return false;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int lock_error = errno;
    if (lock_error == EWOULDBLOCK) {
      std::string pid = pid_in(fd);
      *error = "another igd1d" + (pid.empty() ? std::string() : " (pid " + pid + ")") +
               " is running on this root (" + file + " is locked)";
    } else {
      *error = "cannot lock " + file + ": " + std::strerror(lock_error);
    }
    close(fd);
    return false;
  }
  std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) != ssize_t(pid.size())) {
    *error = "cannot write " + file + ": " + std::strerror(errno);
    close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void InstanceLock::release() {
  if (fd_ < 0) return;
  // The file stays: removing it could let two later daemons lock two
  // different files.  Emptied, it names no running daemon.
  if (ftruncate(fd_, 0) != 0) g_debug("cannot empty the pid file");
  close(fd_);
  fd_ = -1;
}

}  // namespace igd1::host
