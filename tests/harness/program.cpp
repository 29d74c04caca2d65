#include "harness/program.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

namespace igd1::test {

ProgramRun run_program(std::vector<std::string> argv,
                       const std::map<std::string, std::string> &environment) {
  std::vector<char *> args;
  for (std::string &arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  g_auto(GStrv) envp = g_get_environ();
  for (const auto &[name, value] : environment)
    envp = value.empty() ? g_environ_unsetenv(envp, name.c_str())
                         : g_environ_setenv(envp, name.c_str(), value.c_str(), TRUE);
  g_autofree gchar *out = nullptr, *err = nullptr;
  g_autoptr(GError) error = nullptr;
  gint wait_status = 0;
  ProgramRun run;
  if (!g_spawn_sync(nullptr, args.data(), envp, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out, &err,
                    &wait_status, &error)) {
    run.err = error->message;
    return run;
  }
  run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  run.out = out != nullptr ? out : "";
  run.err = err != nullptr ? err : "";
  return run;
}

MessageBus::MessageBus(const std::string &config_file) {
  const std::string config = config_file.empty() ? "--session" : "--config-file=" + config_file;
  const gchar *argv[] = {"dbus-daemon", config.c_str(), "--nofork", "--print-address=1", nullptr};
  gint out_fd = -1;
  if (!g_spawn_async_with_pipes(nullptr, const_cast<gchar **>(argv), nullptr,
                                GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD |
                                            G_SPAWN_STDERR_TO_DEV_NULL),
                                [](gpointer) { prctl(PR_SET_PDEATHSIG, SIGTERM); }, nullptr, &pid_,
                                nullptr, &out_fd, nullptr, nullptr))
    return;
  g_autoptr(GIOChannel) out = g_io_channel_unix_new(out_fd);
  g_io_channel_set_close_on_unref(out, TRUE);
  g_autofree gchar *line = nullptr;
  gsize end = 0;  // where the line feed is
  g_io_channel_read_line(out, &line, nullptr, &end, nullptr);
  if (line != nullptr) address_.assign(line, end);
}

void MessageBus::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = 0;
}

}  // namespace igd1::test
