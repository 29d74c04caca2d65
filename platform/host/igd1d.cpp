// igd1d: the host daemon.  Connects to a bus, owns com.wqx.igd1, loads the
// module library and serves its objects until SIGTERM or SIGINT.
#include <glib-unix.h>

#include <cstdio>
#include <string>

#include "host.h"
#include "sys_paths.h"

namespace {

struct CommandLine {
  gboolean session = FALSE;
  gboolean system = FALSE;
  gchar *address = nullptr;
  gchar *root = nullptr;
  gchar *store = nullptr;
  gchar *library = nullptr;
  gint service_type = 0;
  gint province = 0;
  gchar *modules = nullptr;
  gint heartbeat_timeout = 15;
};

gboolean quit_loop(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop *>(loop));
  return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char **argv) {
  CommandLine cl;
  const GOptionEntry entries[] = {
      {"session", 0, 0, G_OPTION_ARG_NONE, &cl.session, "Use the session bus (default)", nullptr},
      {"system", 0, 0, G_OPTION_ARG_NONE, &cl.system, "Use the system bus", nullptr},
      {"address", 0, 0, G_OPTION_ARG_STRING, &cl.address, "Use the bus at this address", "ADDR"},
      {"root", 0, 0, G_OPTION_ARG_FILENAME, &cl.root,
       "Put every fixed path of the system under DIR (default /)", "DIR"},
      {"store", 0, 0, G_OPTION_ARG_FILENAME, &cl.store,
       "Configuration database (default ROOT/var/lib/igd1/mib.db, created when missing)", "FILE"},
      {"library", 0, 0, G_OPTION_ARG_FILENAME, &cl.library,
       "Module library to load (default libigd1.so beside igd1d)", "FILE"},
      {"service-type", 0, 0, G_OPTION_ARG_INT, &cl.service_type,
       "Service type reported to the modules (default 0)", "N"},
      {"province", 0, 0, G_OPTION_ARG_INT, &cl.province,
       "Province code reported to the modules (default 0)", "N"},
      {"modules", 0, 0, G_OPTION_ARG_STRING, &cl.modules,
       "Start only these modules, e.g. dhcp_server,devinfo (default: all)", "NAME,..."},
      {"heartbeat-timeout", 0, 0, G_OPTION_ARG_INT, &cl.heartbeat_timeout,
       "Warn when the library's heartbeat is missing this long (default 15)", "SECONDS"},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};

  g_autoptr(GOptionContext) context = g_option_context_new("- gateway configuration bus service");
  g_option_context_set_summary(context,
                               "Owns the bus name com.wqx.igd1, loads the module library and "
                               "publishes the gateway's\nconfiguration under /com/wqx/igd1.");
  g_option_context_add_main_entries(context, entries, nullptr);
  g_autoptr(GError) error = nullptr;
  if (!g_option_context_parse(context, &argc, &argv, &error)) {
    std::fprintf(stderr, "igd1d: %s\n", error->message);
    return 2;
  }
  if (int(cl.session) + int(cl.system) + int(cl.address != nullptr) > 1) {
    std::fprintf(stderr, "igd1d: choose one of --session, --system and --address\n");
    return 2;
  }

  igd1::host::Options options;
  if (cl.system) options.bus = igd1::host::BusKind::System;
  if (cl.address != nullptr) {
    options.bus = igd1::host::BusKind::Address;
    options.address = cl.address;
  }
  if (cl.root != nullptr) igd1::set_root_dir(cl.root);
  if (cl.store != nullptr) options.store = cl.store;
  if (cl.library != nullptr) options.library = cl.library;
  if (cl.heartbeat_timeout <= 0) {
    std::fprintf(stderr, "igd1d: --heartbeat-timeout must be positive\n");
    return 2;
  }
  options.notify_socket = true;
  options.heartbeat = true;
  options.heartbeat_timeout_ms = unsigned(cl.heartbeat_timeout) * 1000u;
  options.service_type = cl.service_type;
  options.province = cl.province;
  if (cl.modules != nullptr) {
    g_auto(GStrv) names = g_strsplit(cl.modules, ",", -1);
    for (gchar **name = names; *name != nullptr; ++name)
      if (**name != '\0') options.modules.emplace_back(g_strstrip(*name));
  }

  GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
  g_unix_signal_add(SIGTERM, quit_loop, loop);
  g_unix_signal_add(SIGINT, quit_loop, loop);

  int status = 0;
  {
    igd1::host::Host host;
    std::string reason;
    if (host.start(options, &reason)) {
      g_main_loop_run(loop);
    } else {
      std::fprintf(stderr, "igd1d: %s\n", reason.c_str());
      status = 1;
    }
  }
  g_main_loop_unref(loop);
  g_free(cl.address);
  g_free(cl.root);
  g_free(cl.store);
  g_free(cl.library);
  g_free(cl.modules);
  return status;
}
