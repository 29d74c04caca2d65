// The stand-in programs of a test's root: the calls they recorded, what one
// of them does from its next run on, and holding a program's start.
#pragma once

#include <fcntl.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "harness/bus_fixture.h"
#include "sys_paths.h"
#include "sys_run.h"

namespace igd1::test {

inline std::string standin_log(const TempRoot &root) { return read_text_file(root.path(path::kStandinLog)); }

// `what` is "status" (its exit status), "out" (what it prints), "sleep_ms"
// (its time) or "hold" (it waits, once it has recorded its call, until
// release_standin).
inline void control_standin(const TempRoot &root, const std::string &program, const std::string &what,
                            const std::string &text = "") {
  write_text_file(root.path(std::string(path::kStandinControlDir) + program + "." + what), text);
}

inline void release_standin(const TempRoot &root, const std::string &program) {
  g_unlink(root.path(std::string(path::kStandinControlDir) + program + ".hold").c_str());
}

// Holds every start of `program` (under the test's root) inside the start
// itself, before the child has replaced itself with the program, which is
// where the thread that starts it waits: the program becomes a copy of the
// test's own under a write lease, and the kernel lets no one open it until
// release() (or until its lease-break time, 45 s by default, has passed).
class HeldStart {
 public:
  explicit HeldStart(const std::string &program) {
    namespace fs = std::filesystem;
    const fs::path file = resolve_program(program);
    const fs::path copy = file.string() + ".held";
    std::error_code error;
    fs::copy_file(file, copy, fs::copy_options::overwrite_existing, error);
    if (!error) fs::permissions(copy, fs::perms::owner_all, fs::perm_options::add, error);
    if (!error) fs::rename(copy, file, error);
    if (error) {
      ADD_FAILURE() << "cannot copy " << program << ": " << error.message();
      return;
    }
    fd_ = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0 || fcntl(fd_, F_SETLEASE, F_WRLCK) != 0) ADD_FAILURE() << "cannot lease " << file;
    // Nobody is signalled when a start breaks the lease; waiting() asks.
    fcntl(fd_, F_SETOWN, 0);
  }
  ~HeldStart() { release(); }
  HeldStart(const HeldStart &) = delete;
  HeldStart &operator=(const HeldStart &) = delete;

  // Whether a start came to wait for the program.
  bool waiting() const {
    return eventually([&] { return fcntl(fd_, F_GETLEASE) != F_WRLCK; });
  }
  void release() {
    if (fd_ < 0) return;
    fcntl(fd_, F_SETLEASE, F_UNLCK);
    close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

}  // namespace igd1::test
