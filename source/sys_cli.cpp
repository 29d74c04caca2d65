#include "sys_cli.h"

#include <cstdio>
#include <string_view>

namespace igd1 {

int cli_usage_error(const CliProgram &program, const std::string &problem) {
  std::fprintf(stderr, "%s: %s\nRun %s --help for %s.\n", program.name, problem.c_str(),
               program.name, program.help_topic);
  return kCliExitUsage;
}

int cli_parse(const CliProgram &program, const GOptionEntry *entries, int argc, char **argv,
              std::vector<std::string> *words) {
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
