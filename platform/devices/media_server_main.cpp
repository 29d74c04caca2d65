// Stand-in for the gateway's media server: it serves nothing, but keeps its
// pid file as the real server does and, asked to stop, takes a while to end
// (a real server first finishes writing its media database), so that the
// code that restarts it after a mount waits for it the way it must on a
// gateway.
//
//   media-server --pid-file PATH [--stop-ms N]
//
// While a file PATH.hold exists, a stop takes longer still: a test holds
// the server for as long as it needs and lets it go by removing the file.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

int main(int argc, char **argv) {
  const char *pid_file = nullptr;
  long stop_ms = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--pid-file") == 0) {
      pid_file = argv[i + 1];
    } else if (std::strcmp(argv[i], "--stop-ms") == 0) {
      char *end = nullptr;
      stop_ms = std::strtol(argv[i + 1], &end, 10);
      if (*end != '\0' || stop_ms < 0 || stop_ms > 60000) pid_file = nullptr;
    }
  }
  if (pid_file == nullptr || argc % 2 == 0) {
    std::fprintf(stderr, "usage: %s --pid-file PATH [--stop-ms 0..60000]\n", argv[0]);
    return 2;
  }

  // The signals are taken synchronously below; block them before anything
  // can arrive.
  sigset_t stopping;
  sigemptyset(&stopping);
  sigaddset(&stopping, SIGTERM);
  sigaddset(&stopping, SIGINT);
  sigprocmask(SIG_BLOCK, &stopping, nullptr);

  const int fd = open(pid_file, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::perror(pid_file);
    return 1;
  }
  const std::string pid = std::to_string(getpid()) + "\n";
  const bool written = write(fd, pid.data(), pid.size()) == ssize_t(pid.size());
  close(fd);
  if (!written) {
    unlink(pid_file);
    return 1;
  }

  int signal_number = 0;
  sigwait(&stopping, &signal_number);
  std::this_thread::sleep_for(std::chrono::milliseconds(stop_ms));
  const std::string hold = std::string(pid_file) + ".hold";
  while (access(hold.c_str(), F_OK) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  unlink(pid_file);
  return 0;
}
