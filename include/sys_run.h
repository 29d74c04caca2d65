// The one place that starts external programs.
//
// A command is an argument vector, never a shell line: nothing a client sends
// can be interpreted by a shell.  The program is looked up under the root
// folder (see sys_paths.h), so tests and the emulator run harmless stand-ins.
#pragma once

#include <gio/gio.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace igd1 {

struct RunOptions {
  // Extra environment entries (name, value) for this call only.
  std::vector<std::pair<std::string, std::string>> env;
  // Give up waiting after this many milliseconds and kill the child (0: wait).
  int timeout_ms = 0;
};

struct RunResult {
  bool started = false;       // the program could be executed
  int exit_status = -1;       // exit code; 128 + signal number when killed
  bool timed_out = false;
  std::string output;         // standard output and standard error, in order
  std::string error;          // why it could not be started
};

// Finds the program: an absolute path is taken under the root; a bare name is
// searched in bin/, sbin/, usr/bin/ and usr/sbin/ of the root.  Returns "" when
// no executable file is found.
std::string resolve_program(const std::string &program);

// Runs the command and waits for it on the calling thread.  A child still
// running at options.timeout_ms is killed with its process group and
// reported with timed_out set.
RunResult run_command(const std::vector<std::string> &argv, const RunOptions &options = {});

// Called once a command run by run_async has ended, was killed at its
// time-out, or could not be started.
using RunDone = std::function<void(const RunResult &)>;

// Hands the command to a thread kept for starting programs and returns at
// once: the start, the wait, the output and the time-out (as in run_command)
// all happen there, never on the main loop; the program is looked up under
// the root in effect at this call.  `done` (may be empty) runs
// exactly once on the default main context with the result, always after
// run_async has returned.  Callable from any thread.
void run_async(const std::vector<std::string> &argv, const RunOptions &options, RunDone done);

// ---- operations of several steps, from the main loop -----------------------------

// One command of a chain.
struct ChainStep {
  std::vector<std::string> argv;
  RunOptions options;
};

// Called once a chain has ended: with the result of the last command run
// (the first that failed, or the last of all) and its position.  A chain
// stopped by its cancellable reports the step it did not start, with
// `started` false and the error "cancelled".
using ChainDone = std::function<void(const RunResult &result, size_t step)>;

// Runs the commands one after another, each once the one before succeeded,
// with run_async: nothing waits.  `done` runs exactly once, on the default
// main context.  A cancelled `cancellable` (may be null) stops the chain
// before its next command; the one running is let finish.
void run_chain(std::vector<ChainStep> steps, GCancellable *cancellable, ChainDone done);

// Asks `ready` every interval_ms on the default main context, at most
// `limit` times (the first time after one interval); `done(true)` as soon as
// it holds, `done(false)` after the last try or once `cancellable` (may be
// null) is cancelled.  `done` runs exactly once.
void poll_until(unsigned interval_ms, unsigned limit, std::function<bool()> ready,
                GCancellable *cancellable, std::function<void(bool)> done);

// The long operations of one module, run one at a time in the order they
// were queued: two formats, or a mount and an unmount, never interleave.
// Used from the main loop.
class JobQueue {
 public:
  // A job is given `finished`, which it calls exactly once when it is done
  // (at once or later); the next job starts then.
  using Job = std::function<void(std::function<void()> finished)>;
  void push(Job job);
  // Jobs queued or running.
  size_t pending() const { return waiting_.size() + (running_ ? 1 : 0); }

 private:
  void start_next();
  std::deque<Job> waiting_;
  bool running_ = false;
};

// A cancellable that is cancelled once `sender` (a unique bus name) has left
// `connection`, for the steps of an operation that are pointless once the
// caller is gone.  The watch ends with the last reference.
class CallerWatch {
 public:
  static std::shared_ptr<CallerWatch> start(GDBusConnection *connection, const char *sender);
  ~CallerWatch();
  CallerWatch(const CallerWatch &) = delete;
  CallerWatch &operator=(const CallerWatch &) = delete;
  GCancellable *cancellable() const { return cancellable_; }

 private:
  CallerWatch() = default;
  GCancellable *cancellable_ = nullptr;
  guint watch_ = 0;
};

// Whether a finished command did its work: started, not killed, exit status 0.
bool run_succeeded(const RunResult &result);

// A short account of a failed command for logs and error replies, e.g.
// "date exited with status 1" or "date was killed after 5000 ms".
std::string run_failure(const std::string &program, const RunResult &result,
                        const RunOptions &options);

}  // namespace igd1
