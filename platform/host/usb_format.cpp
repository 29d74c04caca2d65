// The background formatter of USB storage.  A format takes minutes: it runs
// as a child watched from the main loop, never on a caller's thread, and the
// formats queued one after another never overlap on the disks.
#include <string>
#include <vector>

#include "host.h"
#include "host_api.h"
#include "sys_paths.h"
#include "sys_run.h"

namespace {

// A format of a large disk is given this long before it is killed.
constexpr int kFormatTimeoutMs = 30 * 60 * 1000;

igd1::JobQueue &formats() {
  static auto *queue = new igd1::JobQueue;  // used until the process ends
  return *queue;
}

}  // namespace

int dbus_proxy_usbformat_thread_create_func(const char *const *argv) {
  if (argv == nullptr || argv[0] == nullptr) return 0;
  std::vector<std::string> command;
  for (const char *const *arg = argv; *arg != nullptr; ++arg) command.emplace_back(*arg);
  // Only the formatting tool may be started through this door.
  const std::string &program = command[0];
  const std::string tool = igd1::program::kUsbFormat;
  if (program != tool && program != tool.substr(tool.rfind('/') + 1)) return 0;

  auto *queued = new std::vector<std::string>(std::move(command));
  // The queue lives on the main loop; a caller on another thread hands over.
  g_main_context_invoke(
      nullptr,
      [](gpointer data) {
        std::vector<std::string> command = std::move(*static_cast<std::vector<std::string> *>(data));
        delete static_cast<std::vector<std::string> *>(data);
        formats().push([command](std::function<void()> finished) {
          const igd1::RunOptions options{.env = {}, .timeout_ms = kFormatTimeoutMs};
          igd1::run_async(command, options, [command, options, finished](const igd1::RunResult &result) {
            if (igd1::run_succeeded(result))
              igd1::host::host_log(5, "usbformat of %s done", command.size() > 1 ? command[1].c_str() : "");
            else
              igd1::host::host_log(4, "%s", igd1::run_failure(command[0], result, options).c_str());
            finished();
          });
        });
        return G_SOURCE_REMOVE;
      },
      queued);
  return 1;
}
