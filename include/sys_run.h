// The one place that starts external programs.
//
// A command is an argument vector, never a shell line: nothing a client sends
// can be interpreted by a shell.  The program is looked up under the root
// folder (see sys_paths.h), so tests and the emulator run harmless stand-ins.
#pragma once

#include <functional>
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

// Runs the command and waits for it.
RunResult run_command(const std::vector<std::string> &argv, const RunOptions &options = {});

// Called once a command run by run_async has ended, was killed at its
// time-out, or could not be started.
using RunDone = std::function<void(const RunResult &)>;

// Starts the command and returns at once, never waiting for the child: the
// child's end, its output and its time-out are watched from the default main
// context, and `done` (may be empty) runs there, always after run_async has
// returned.  A child still running at options.timeout_ms is killed with its
// process group and reported with timed_out set.  Callable from any thread.
void run_async(const std::vector<std::string> &argv, const RunOptions &options, RunDone done);

// Whether a finished command did its work: started, not killed, exit status 0.
bool run_succeeded(const RunResult &result);

// A short account of a failed command for logs and error replies, e.g.
// "date exited with status 1" or "date was killed after 5000 ms".
std::string run_failure(const std::string &program, const RunResult &result,
                        const RunOptions &options);

}  // namespace igd1
