// The one place that starts external programs.
//
// A command is an argument vector, never a shell line: nothing a client sends
// can be interpreted by a shell.  The program is looked up under the root
// folder (see sys_paths.h), so tests and the emulator run harmless stand-ins.
#pragma once

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

// Starts the command and returns at once; the child is reaped in the
// background.  Returns false when it could not be started.
bool run_background(const std::vector<std::string> &argv, const RunOptions &options = {});

}  // namespace igd1
