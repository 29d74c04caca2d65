#include "sys_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "sys_paths.h"

extern char **environ;

namespace igd1 {
namespace {

bool is_executable_file(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Environment of the child: ours plus the call's extra entries.
std::vector<std::string> child_environment(const RunOptions &options) {
  std::vector<std::string> env;
  for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    bool overridden = false;
    for (const auto &[name, value] : options.env) {
      if (text.size() > name.size() && text.compare(0, name.size(), name) == 0 &&
          text[name.size()] == '=') {
        overridden = true;
        break;
      }
    }
    if (!overridden) env.emplace_back(text);
  }
  for (const auto &[name, value] : options.env) env.push_back(name + "=" + value);
  return env;
}

std::vector<char *> pointers(std::vector<std::string> &strings) {
  std::vector<char *> result;
  result.reserve(strings.size() + 1);
  for (auto &s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

int64_t now_ms() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int decode_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Spawns argv with stdin from /dev/null and stdout+stderr into `out_fd`
// (or /dev/null when -1).  Returns the child's pid or -1 with `error` set.
pid_t spawn(const std::vector<std::string> &argv, const RunOptions &options, int out_fd,
            std::string *error) {
  if (argv.empty() || argv[0].empty()) {
    *error = "empty command";
    return -1;
  }
  std::string program = resolve_program(argv[0]);
  if (program.empty()) {
    *error = "program not found: " + argv[0];
    return -1;
  }
  std::vector<std::string> args(argv);
  std::vector<std::string> env = child_environment(options);
  std::vector<char *> arg_ptrs = pointers(args);
  std::vector<char *> env_ptrs = pointers(env);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (out_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out_fd, STDERR_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The child starts with default signal handling whatever the parent blocks.
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);

  pid_t pid = -1;
  int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, arg_ptrs.data(), env_ptrs.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    *error = std::string("cannot start ") + program + ": " + std::strerror(rc);
    return -1;
  }
  return pid;
}

}  // namespace

std::string resolve_program(const std::string &program) {
  if (program.empty()) return {};
  if (program.front() == '/') {
    std::string path = sys_path(program);
    return is_executable_file(path) ? path : std::string();
  }
  if (program.find('/') != std::string::npos) return {};
  for (const char *dir : {"/bin/", "/sbin/", "/usr/bin/", "/usr/sbin/"}) {
    std::string path = sys_path(std::string(dir) + program);
    if (is_executable_file(path)) return path;
  }
  return {};
}

RunResult run_command(const std::vector<std::string> &argv, const RunOptions &options) {
  RunResult result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    result.error = std::string("pipe: ") + std::strerror(errno);
    return result;
  }
  pid_t pid = spawn(argv, options, fds[1], &result.error);
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return result;
  }
  result.started = true;

  const int64_t deadline = options.timeout_ms > 0 ? now_ms() + options.timeout_ms : 0;
  char chunk[4096];
  for (;;) {
    int wait_ms = -1;
    if (deadline != 0) {
      int64_t left = deadline - now_ms();
      if (left <= 0) {
        kill(pid, SIGKILL);
        result.timed_out = true;
        break;
      }
      wait_ms = int(left);
    }
    struct pollfd pfd {fds[0], POLLIN, 0};
    int ready = poll(&pfd, 1, wait_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) continue;  // deadline check at the top
    ssize_t n = read(fds[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(chunk, size_t(n));
  }
  close(fds[0]);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_status = decode_status(status);
  return result;
}

bool run_background(const std::vector<std::string> &argv, const RunOptions &options) {
  std::string error;
  pid_t pid = spawn(argv, options, -1, &error);
  if (pid < 0) return false;
  // Reap the child whenever it ends so that it never lingers as a zombie.
  std::thread([pid] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

}  // namespace igd1
