#include "sys_run.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

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

// Spawns `program` (argv[0] as resolve_program found it) with stdin from
// /dev/null and stdout+stderr into `out_fd`.  Returns the child's pid or -1
// with `error` set.
pid_t spawn(const std::string &program, const std::vector<std::string> &argv, const RunOptions &options,
            int out_fd, std::string *error, bool own_group) {
  if (argv.empty() || argv[0].empty()) {
    *error = "empty command";
    return -1;
  }
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
  posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out_fd, STDERR_FILENO);
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

namespace {

// Starts the command and waits for its end on the calling thread, reading its
// output meanwhile.  The child's end is watched through a descriptor of its
// own, so that a descendant still holding the output pipe is not waited for.
RunResult execute(const std::string &program, const std::vector<std::string> &argv,
                  const RunOptions &options) {
  RunResult result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    result.error = std::string("pipe: ") + std::strerror(errno);
    return result;
  }
  const bool group = options.timeout_ms > 0;
  const pid_t pid = spawn(program, argv, options, fds[1], &result.error, group);
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return result;
  }
  result.started = true;
  // Without it (a kernel before 5.3) the end of the output stands for the
  // child's end.
  const int ended_fd = int(syscall(SYS_pidfd_open, pid, 0));

  const int64_t deadline = options.timeout_ms > 0 ? now_ms() + options.timeout_ms : 0;
  bool output_open = true;
  char chunk[4096];
  for (;;) {
    int wait_ms = -1;
    if (deadline != 0 && !result.timed_out) {
      const int64_t left = deadline - now_ms();
      if (left <= 0) {
        kill(group ? -pid : pid, SIGKILL);
        result.timed_out = true;
        continue;
      }
      wait_ms = int(left);
    }
    struct pollfd watched[2] = {{output_open ? fds[0] : -1, POLLIN, 0}, {ended_fd, POLLIN, 0}};
    const int ready = poll(watched, 2, wait_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;  // only the wait below is left
    if (watched[0].revents != 0) {
      const ssize_t n = read(fds[0], chunk, sizeof chunk);
      if (n > 0) result.output.append(chunk, size_t(n));
      else if (!(n < 0 && errno == EINTR)) output_open = false;
    }
    if (watched[1].revents != 0 || (!output_open && ended_fd < 0)) break;
  }
  // Everything the child wrote before it ended is in the pipe.
  if (output_open && g_unix_set_fd_nonblocking(fds[0], TRUE, nullptr)) {
    for (;;) {
      const ssize_t n = read(fds[0], chunk, sizeof chunk);
      if (n > 0) result.output.append(chunk, size_t(n));
      else if (!(n < 0 && errno == EINTR)) break;
    }
  }
  close(fds[0]);
  if (ended_fd >= 0) close(ended_fd);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_status = decode_status(status);
  return result;
}

// The threads that start and wait for the programs of run_async, kept for the
// whole process.  Starting a program stops the starting thread until the
// child has replaced itself (milliseconds on a loaded machine), so the main
// loop never does it: runs reach these threads through one queue and come
// back through another, each behind its own lock, emptied by one source of
// the default main context per burst.
//
// One thread always waits ready for the next run while there is room: the
// thread that takes a run starts another when none is left waiting, so a
// long program never delays a short one, and the main loop makes a thread
// only for the very first run.  Beyond kMaxLaunchers busy threads, runs wait
// for the first thread that is done.
constexpr size_t kMaxLaunchers = 16;

struct LaunchedRun {
  std::string program;
  std::vector<std::string> argv;
  RunOptions options;
  RunDone done;  // runs, and is destroyed, on the main loop
  RunResult result;
};

class Launcher {
 public:
  // Never destroyed: its threads serve until the process ends.
  static Launcher &instance() {
    static auto *launcher = new Launcher;
    return *launcher;
  }

  void push(std::unique_ptr<LaunchedRun> run) {
    {
      std::lock_guard lock(waiting_mutex_);
      if (threads_ == 0 && !add_thread(&run->result.error)) {
        hand_back(std::move(run));
        return;
      }
      waiting_.push_back(std::move(run));
    }
    work_.notify_one();
  }

 private:
  // With waiting_mutex_ held.
  bool add_thread(std::string *error) {
    try {
      std::thread([this] { serve(); }).detach();
    } catch (const std::system_error &e) {
      *error = std::string("cannot start a thread: ") + e.what();
      return false;
    }
    ++threads_;
    ++idle_;
    return true;
  }

  void serve() {
    pthread_setname_np(pthread_self(), "igd1_launcher");
    for (;;) {
      std::unique_ptr<LaunchedRun> run;
      {
        std::unique_lock lock(waiting_mutex_);
        work_.wait(lock, [this] { return !waiting_.empty(); });
        run = std::move(waiting_.front());
        waiting_.pop_front();
        --idle_;
        std::string ignored;  // the threads there are serve meanwhile
        if (idle_ == 0 && threads_ < kMaxLaunchers) add_thread(&ignored);
      }
      run->result = execute(run->program, run->argv, run->options);
      {
        std::lock_guard lock(waiting_mutex_);
        ++idle_;
      }
      hand_back(std::move(run));
    }
  }

  void hand_back(std::unique_ptr<LaunchedRun> run) {
    std::lock_guard lock(ended_mutex_);
    ended_.push_back(std::move(run));
    if (report_scheduled_) return;
    report_scheduled_ = true;
    g_idle_add_full(G_PRIORITY_DEFAULT, report, this, nullptr);
  }

  // On the main loop: every run that ended since the last report.
  static gboolean report(gpointer self) {
    auto *launcher = static_cast<Launcher *>(self);
    std::vector<std::unique_ptr<LaunchedRun>> ended;
    {
      std::lock_guard lock(launcher->ended_mutex_);
      ended.swap(launcher->ended_);
      launcher->report_scheduled_ = false;
    }
    for (const auto &run : ended)
      if (run->done) run->done(run->result);
    return G_SOURCE_REMOVE;
  }

  std::mutex waiting_mutex_;
  std::condition_variable work_;
  std::deque<std::unique_ptr<LaunchedRun>> waiting_;
  size_t threads_ = 0;
  size_t idle_ = 0;  // threads waiting for a run, or about to
  std::mutex ended_mutex_;
  std::vector<std::unique_ptr<LaunchedRun>> ended_;
  bool report_scheduled_ = false;
};

}  // namespace

namespace {

// The program is found under the root in effect when the run is asked for,
// not when a thread gets to it.
std::string program_of(const std::vector<std::string> &argv) {
  return argv.empty() ? std::string() : resolve_program(argv[0]);
}

}  // namespace

RunResult run_command(const std::vector<std::string> &argv, const RunOptions &options) {
  return execute(program_of(argv), argv, options);
}

void run_async(const std::vector<std::string> &argv, const RunOptions &options, RunDone done) {
  Launcher::instance().push(
      std::make_unique<LaunchedRun>(LaunchedRun{program_of(argv), argv, options, std::move(done), {}}));
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
