#include "sys_cli.h"

#include <cstdio>
#include <string_view>

namespace igd1 {

int cli_usage_error(const CliProgram &program, const std::string &problem) {
  std::fprintf(stderr, "%s: %s\nRun %s --help for %s.\n", program.name, problem.c_str(),
               program.name, program.help_topic);
  return kCliExitUsage;
}

namespace {

// The entry whose long option `word` names ("--name" or "--name=value"), or
// nullptr.
const GOptionEntry *long_option(const GOptionEntry *entries, std::string_view word) {
  if (!word.starts_with("--")) return nullptr;
  word.remove_prefix(2);
  word = word.substr(0, word.find('='));
  for (const GOptionEntry *entry = entries; entry->long_name != nullptr; ++entry)
    if (word == entry->long_name) return entry;
  return nullptr;
}

// argv with the program's options found among its words moved in front of
// the first word, and "--" between the options and the words, so that the
// strict parse below reads them all and leaves every other word alone.
std::vector<char *> options_first(const GOptionEntry *entries, int argc, char **argv) {
  std::vector<char *> options{argv[0]}, words;
  bool in_words = false, ended = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (ended) {
      words.push_back(argv[i]);
      continue;
    }
    if (word == "--") {
      ended = true;
      continue;
    }
    const GOptionEntry *entry = long_option(entries, word);
    const bool help = word == "--help" || word == "-h" || word == "-?" || word == "--version";
    if (!in_words && word.starts_with("-") && entry == nullptr) {
      options.push_back(argv[i]);  // before the words: GOption judges it
      continue;
    }
    if (entry == nullptr && !help) {
      in_words = true;
      words.push_back(argv[i]);
      continue;
    }
    options.push_back(argv[i]);
    // An option that takes a value as the next word keeps it.
    if (entry != nullptr && entry->arg != G_OPTION_ARG_NONE && word.find('=') == std::string_view::npos &&
        i + 1 < argc)
      options.push_back(argv[++i]);
  }
  options.push_back(const_cast<char *>("--"));
  options.insert(options.end(), words.begin(), words.end());
  options.push_back(nullptr);  // argv's terminator, not counted
  return options;
}

}  // namespace

int cli_parse(const CliProgram &program, const GOptionEntry *entries, int argc, char **argv,
              std::vector<std::string> *words) {
  std::vector<char *> reordered;
  if (program.options_among_words) {
    reordered = options_first(entries, argc, argv);
    argc = int(reordered.size()) - 1;
    argv = reordered.data();
  }
  gboolean version = FALSE;
  const GOptionEntry common[] = {
      {"version", 0, 0, G_OPTION_ARG_NONE, &version, "Print the version and exit", nullptr},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
  g_autoptr(GOptionContext) context = g_option_context_new(program.parameters);
  g_option_context_set_summary(context, program.summary);
  g_option_context_set_description(context, program.description);
  g_option_context_add_main_entries(context, entries, nullptr);
  g_option_context_add_main_entries(context, common, nullptr);
  g_option_context_set_strict_posix(context, TRUE);
  g_autoptr(GError) error = nullptr;
  if (!g_option_context_parse(context, &argc, &argv, &error))
    return cli_usage_error(program, error->message);
  if (version) {
    std::printf("%s %s\n", program.name, program.version);
    return kCliExitOk;
  }
  int first = 1;
  if (first < argc && std::string_view(argv[first]) == "--") ++first;
  words->assign(argv + first, argv + argc);
  return -1;
}

}  // namespace igd1
