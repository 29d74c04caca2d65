// How the command-line tools read their options, the same way for each:
// GOption with -h/--help and --version; options come before the first word
// that is not one (a value such as "-1" after the command stays a word), and
// "--" ends them.  A program may also take its own long options after its
// words (igd1-mib dump --json).  A usage error names the program and points
// to --help.
#pragma once

#include <glib.h>

#include <string>
#include <vector>

namespace igd1 {

inline constexpr int kCliExitOk = 0;
inline constexpr int kCliExitFailed = 1;
inline constexpr int kCliExitUsage = 2;

struct CliProgram {
  const char *name;         // e.g. "igd1-mib", also the first word of --version
  const char *version;
  const char *parameters;   // the words after the options, e.g. "COMMAND [ARGUMENT...]"
  const char *summary;      // --help: above the options
  const char *description;  // --help: below the options
  const char *help_topic;   // what --help lists, e.g. "the commands and options"
  // The program's long options (and -h/--help) are also recognised among
  // its words, up to "--"; any other word stays a word, "-1" included.
  bool options_among_words = false;
};

// Parses `entries` (terminated by an entry without a long name; --version is
// added here) and leaves the words after the options in `words`.  Returns -1
// when the program goes on, otherwise its exit status: kCliExitOk after
// printing the version, kCliExitUsage after printing a usage error.
int cli_parse(const CliProgram &program, const GOptionEntry *entries, int argc, char **argv,
              std::vector<std::string> *words);

// Prints "<name>: <problem>" and where to find help; returns kCliExitUsage.
int cli_usage_error(const CliProgram &program, const std::string &problem);

}  // namespace igd1
