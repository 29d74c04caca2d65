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

#include <glib-unix.h>

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
            std::string *error, bool own_group = false) {
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
  short flags = POSIX_SPAWN_SETSIGMASK;
  // A child that may be killed at its time-out leads a group of its own, so
  // that whatever it started dies with it.
  if (own_group) {
    posix_spawnattr_setpgroup(&attr, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setflags(&attr, flags);

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

// ---- commands watched from the main loop ------------------------------------------

namespace {

// One command run by run_async, owned by its sources until it is reported.
struct AsyncRun {
  std::vector<std::string> argv;
  RunOptions options;
  pid_t pid = -1;
  int out_fd = -1;
  bool group = false;  // the child leads a process group of its own
  RunResult result;
  RunDone done;
  GSource *child = nullptr;
  GSource *output = nullptr;
  GSource *timeout = nullptr;
};

void drop_source(GSource **source) {
  if (*source == nullptr) return;
  g_source_destroy(*source);
  g_source_unref(*source);
  *source = nullptr;
}

// Reads what the child wrote so far; false once the pipe is at its end.
bool read_output(AsyncRun *run) {
  char chunk[4096];
  for (;;) {
    ssize_t n = read(run->out_fd, chunk, sizeof chunk);
    if (n > 0) {
      run->result.output.append(chunk, size_t(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && errno == EAGAIN;
  }
}

void close_output(AsyncRun *run) {
  drop_source(&run->output);
  if (run->out_fd >= 0) close(run->out_fd);
  run->out_fd = -1;
}

gboolean on_output(gint, GIOCondition, gpointer data) {
  auto *run = static_cast<AsyncRun *>(data);
  if (!read_output(run)) {
    close_output(run);
    return G_SOURCE_REMOVE;
  }
  return G_SOURCE_CONTINUE;
}

gboolean on_timeout(gpointer data) {
  auto *run = static_cast<AsyncRun *>(data);
  run->result.timed_out = true;
  kill(run->group ? -run->pid : run->pid, SIGKILL);
  g_source_unref(run->timeout);
  run->timeout = nullptr;
  return G_SOURCE_REMOVE;
}

void report(AsyncRun *run) {
  if (run->done) run->done(run->result);
  delete run;
}

void on_child_exit(GPid, gint status, gpointer data) {
  auto *run = static_cast<AsyncRun *>(data);
  g_source_unref(run->child);
  run->child = nullptr;
  drop_source(&run->timeout);
  // Everything the child wrote before it ended is in the pipe; a
  // descendant that still holds the pipe open is not waited for.
  if (run->out_fd >= 0) read_output(run);
  close_output(run);
  run->result.exit_status = decode_status(status);
  report(run);
}

gboolean report_later(gpointer data) {
  report(static_cast<AsyncRun *>(data));
  return G_SOURCE_REMOVE;
}

GSource *attach(GSource *source, GSourceFunc function, gpointer data) {
  g_source_set_callback(source, function, data, nullptr);
  g_source_attach(source, g_main_context_default());
  return source;
}

// Starts the child and its watches on the thread that runs the default main
// context, so that no callback can run before the watches are in place.
gboolean start_run(gpointer data) {
  auto *run = static_cast<AsyncRun *>(data);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    run->result.error = std::string("pipe: ") + std::strerror(errno);
    g_source_unref(attach(g_idle_source_new(), report_later, run));
    return G_SOURCE_REMOVE;
  }
  run->group = run->options.timeout_ms > 0;
  run->pid = spawn(run->argv, run->options, fds[1], &run->result.error, run->group);
  close(fds[1]);
  if (run->pid < 0) {
    close(fds[0]);
    g_source_unref(attach(g_idle_source_new(), report_later, run));
    return G_SOURCE_REMOVE;
  }
  run->result.started = true;
  run->out_fd = fds[0];
  g_unix_set_fd_nonblocking(run->out_fd, TRUE, nullptr);
  run->output = attach(g_unix_fd_source_new(run->out_fd, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR)),
                       G_SOURCE_FUNC(on_output), run);
  if (run->options.timeout_ms > 0)
    run->timeout = attach(g_timeout_source_new(guint(run->options.timeout_ms)), on_timeout, run);
  run->child = attach(g_child_watch_source_new(run->pid), G_SOURCE_FUNC(on_child_exit), run);
  return G_SOURCE_REMOVE;
}

}  // namespace

void run_async(const std::vector<std::string> &argv, const RunOptions &options, RunDone done) {
  auto *run = new AsyncRun;
  run->argv = argv;
  run->options = options;
  run->done = std::move(done);
  g_main_context_invoke(nullptr, start_run, run);
}

// ---- operations of several steps -----------------------------------------------------

namespace {

// Runs `work` from the default main context, always after the caller has
// returned.
void later(std::function<void()> work) {
  GSource *idle = g_idle_source_new();
  g_source_set_callback(
      idle,
      [](gpointer data) {
        (*static_cast<std::function<void()> *>(data))();
        return G_SOURCE_REMOVE;
      },
      new std::function<void()>(std::move(work)),
      [](gpointer data) { delete static_cast<std::function<void()> *>(data); });
  g_source_attach(idle, g_main_context_default());
  g_source_unref(idle);
}

bool cancelled(GCancellable *cancellable) {
  return cancellable != nullptr && g_cancellable_is_cancelled(cancellable);
}

struct Chain {
  std::vector<ChainStep> steps;
  GCancellable *cancellable = nullptr;  // a reference of the chain's own
  ChainDone done;
  ~Chain() {
    if (cancellable != nullptr) g_object_unref(cancellable);
  }
};

// Runs step `at` of the chain, on the main loop.
void run_step(const std::shared_ptr<Chain> &chain, size_t at) {
  if (cancelled(chain->cancellable)) {
    RunResult stopped;
    stopped.error = "cancelled";
    chain->done(stopped, at);
    return;
  }
  const ChainStep &step = chain->steps[at];
  run_async(step.argv, step.options, [chain, at](const RunResult &result) {
    if (!run_succeeded(result) || at + 1 == chain->steps.size()) {
      chain->done(result, at);
      return;
    }
    run_step(chain, at + 1);
  });
}

struct Poll {
  unsigned limit;
  unsigned tries = 0;
  std::function<bool()> ready;
  GCancellable *cancellable = nullptr;
  std::function<void(bool)> done;
  ~Poll() {
    if (cancellable != nullptr) g_object_unref(cancellable);
  }
};

gboolean poll_once(gpointer data) {
  auto *poll = static_cast<Poll *>(data);
  if (cancelled(poll->cancellable)) {
    poll->done(false);
    return G_SOURCE_REMOVE;
  }
  ++poll->tries;
  if (poll->ready()) {
    poll->done(true);
    return G_SOURCE_REMOVE;
  }
  if (poll->tries >= poll->limit) {
    poll->done(false);
    return G_SOURCE_REMOVE;
  }
  return G_SOURCE_CONTINUE;
}

void on_caller_vanished(GDBusConnection *, const gchar *, gpointer cancellable) {
  g_cancellable_cancel(G_CANCELLABLE(cancellable));
}

}  // namespace

void run_chain(std::vector<ChainStep> steps, GCancellable *cancellable, ChainDone done) {
  auto chain = std::make_shared<Chain>();
  chain->steps = std::move(steps);
  chain->cancellable = cancellable != nullptr ? G_CANCELLABLE(g_object_ref(cancellable)) : nullptr;
  chain->done = std::move(done);
  later([chain] {
    if (chain->steps.empty()) {
      RunResult nothing;
      nothing.started = true;
      nothing.exit_status = 0;
      chain->done(nothing, 0);
      return;
    }
    run_step(chain, 0);
  });
}

void poll_until(unsigned interval_ms, unsigned limit, std::function<bool()> ready,
                GCancellable *cancellable, std::function<void(bool)> done) {
  auto *poll = new Poll{limit, 0, std::move(ready),
                        cancellable != nullptr ? G_CANCELLABLE(g_object_ref(cancellable)) : nullptr,
                        std::move(done)};
  if (limit == 0) {
    later([poll] {
      poll->done(false);
      delete poll;
    });
    return;
  }
  GSource *timer = g_timeout_source_new(interval_ms);
  g_source_set_callback(timer, poll_once, poll, [](gpointer data) { delete static_cast<Poll *>(data); });
  g_source_attach(timer, g_main_context_default());
  g_source_unref(timer);
}

void JobQueue::push(Job job) {
  waiting_.push_back(std::move(job));
  if (!running_) start_next();
}

void JobQueue::start_next() {
  if (waiting_.empty()) {
    running_ = false;
    return;
  }
  running_ = true;
  Job job = std::move(waiting_.front());
  waiting_.pop_front();
  // A job that reports twice starts no second job.
  auto reported = std::make_shared<bool>(false);
  job([this, reported] {
    if (*reported) return;
    *reported = true;
    start_next();
  });
}

std::shared_ptr<CallerWatch> CallerWatch::start(GDBusConnection *connection, const char *sender) {
  std::shared_ptr<CallerWatch> watch(new CallerWatch);
  watch->cancellable_ = g_cancellable_new();
  if (connection != nullptr && sender != nullptr)
    watch->watch_ = g_bus_watch_name_on_connection(connection, sender, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                                   nullptr, on_caller_vanished,
                                                   g_object_ref(watch->cancellable_), g_object_unref);
  return watch;
}

CallerWatch::~CallerWatch() {
  if (watch_ != 0) g_bus_unwatch_name(watch_);
  g_object_unref(cancellable_);
}

bool run_succeeded(const RunResult &result) {
  return result.started && !result.timed_out && result.exit_status == 0;
}

std::string run_failure(const std::string &program, const RunResult &result,
                        const RunOptions &options) {
  const char *slash = std::strrchr(program.c_str(), '/');
  std::string name = slash != nullptr ? slash + 1 : program;
  if (!result.started) return result.error.empty() ? "cannot start " + name : result.error;
  if (result.timed_out)
    return name + " was killed after " + std::to_string(options.timeout_ms) + " ms";
  if (result.exit_status > 128)
    return name + " ended by signal " + std::to_string(result.exit_status - 128);
  return name + " exited with status " + std::to_string(result.exit_status);
}

}  // namespace igd1
