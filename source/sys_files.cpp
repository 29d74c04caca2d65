#include "sys_files.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sys_paths.h"

namespace igd1 {
namespace {

constexpr mode_t kPrivateMode = 0600;
// A socket path that someone re-creates between our removal and our bind
// is removed again this many times before we give up.
constexpr int kBindAttempts = 3;

std::string describe(const std::string &path, const char *what, int error) {
  return path + ": " + what + ": " + std::strerror(error);
}

// Removes the entry at `path` whatever it is, without following a link.
// True when nothing is there afterwards.
bool remove_entry(const std::string &path) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  if (errno == EISDIR || errno == EPERM) return rmdir(path.c_str()) == 0;
  return false;
}

void clear_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK); }

bool own_single_file(const struct stat &status) {
  return S_ISREG(status.st_mode) && status.st_uid == geteuid() && status.st_nlink == 1;
}

}  // namespace

bool trusted_owner(uid_t owner) {
  return owner == 0 || (!root_dir().empty() && owner == geteuid());
}

bool trusted_marker(std::string_view fixed_path) {
  struct stat status;
  if (lstat(sys_path(fixed_path).c_str(), &status) != 0) return false;
  return S_ISREG(status.st_mode) && trusted_owner(status.st_uid);
}

int open_private_file(std::string_view fixed_path, std::string_view previous_fixed_path,
                      std::string *error) {
  const std::string path = sys_path(fixed_path);
  // A file of our own found there cannot be swapped by another user in a
  // sticky directory, so it is opened after the check; the descriptor is
  // checked again to be the same file.
  struct stat found;
  if (lstat(path.c_str(), &found) == 0 && own_single_file(found)) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    struct stat opened;
    const bool same = fd >= 0 && fstat(fd, &opened) == 0 && opened.st_dev == found.st_dev &&
                      opened.st_ino == found.st_ino && own_single_file(opened);
    if (same) fchmod(fd, kPrivateMode);
    if (same && previous_fixed_path.empty()) return fd;
    if (fd >= 0) close(fd);
    // Only a file of our own is worth keeping, and kept private; a failed
    // rename leaves it to be removed below.
    if (same) rename(path.c_str(), sys_path(previous_fixed_path).c_str());
  }
  if (!remove_entry(path)) {
    *error = describe(path, "cannot remove what is there", errno);
    return -1;
  }
  // O_EXCL never follows a link and fails if anything was put back meanwhile.
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                kPrivateMode);
  if (fd < 0) {
    *error = describe(path, "cannot create", errno);
    return -1;
  }
  // The umask may have taken bits away; the mode is exactly 0600.
  fchmod(fd, kPrivateMode);
  return fd;
}

bool write_private_file(std::string_view fixed_path, std::string_view contents, std::string *error) {
  const std::string path = sys_path(fixed_path);
  // mkostemp creates a new file of its own (O_EXCL) beside the target.
  std::string temporary = path + ".XXXXXX";
  int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    *error = describe(path, "cannot create a new copy", errno);
    return false;
  }
  fchmod(fd, kPrivateMode);
  bool written = true;
  for (std::string_view rest = contents; written && !rest.empty();) {
    ssize_t count = write(fd, rest.data(), rest.size());
    if (count < 0 && errno == EINTR) continue;
    written = count > 0;
    if (written) rest.remove_prefix(size_t(count));
  }
  int saved = errno;
  close(fd);
  // rename() replaces a link or file at the name; a directory is removed first.
  if (written && rename(temporary.c_str(), path.c_str()) != 0) {
    saved = errno;
    written = remove_entry(path) && rename(temporary.c_str(), path.c_str()) == 0;
    if (!written) saved = errno;
  }
  if (!written) {
    unlink(temporary.c_str());
    *error = describe(path, "cannot write", saved);
  }
  return written;
}

int open_own_file(std::string_view fixed_path) {
  int fd = open(sys_path(fixed_path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid()) {
    close(fd);
    return -1;
  }
  clear_nonblocking(fd);
  return fd;
}

int listen_private_socket(std::string_view fixed_path, int backlog, std::string *error) {
  sockaddr_un address;
  if (!sys_socket_address(fixed_path, &address)) {
    *error = "socket path too long: " + sys_path(fixed_path);
    return -1;
  }
  const std::string path = address.sun_path;
  int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) {
    *error = describe(path, "socket", errno);
    return -1;
  }
  // bind() creates the entry itself and never follows a link: it fails when
  // anything is there, so what is there is removed first.
  int bound = -1;
  for (int attempt = 0; attempt < kBindAttempts && bound != 0; ++attempt) {
    if (!remove_entry(path)) break;
    bound = bind(sock, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    if (bound != 0 && errno != EADDRINUSE) break;
  }
  // In a sticky directory nobody else can replace the entry we just made,
  // so the path still names our socket here.  Connecting needs write
  // permission on it: 0600 keeps other users out.
  struct stat status;
  if (bound != 0 || lstat(path.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode) ||
      status.st_uid != geteuid() || chmod(path.c_str(), kPrivateMode) != 0 || listen(sock, backlog) != 0) {
    *error = describe(path, "cannot listen", errno);
    close(sock);
    return -1;
  }
  return sock;
}

bool is_journal_stream(int fd) {
  const char *stream = std::getenv("JOURNAL_STREAM");
  unsigned long long device = 0, inode = 0;
  char extra = 0;
  if (stream == nullptr || std::sscanf(stream, "%llu:%llu%c", &device, &inode, &extra) != 2) return false;
  struct stat status;
  return fstat(fd, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

bool peer_may_send(int fd) {
  struct ucred peer;
  socklen_t length = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || length != sizeof peer) return false;
  return peer.uid == 0 || peer.uid == geteuid();
}

}  // namespace igd1
