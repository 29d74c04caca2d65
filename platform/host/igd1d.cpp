// igd1d: the host daemon.  Connects to a bus, owns com.wqx.igd1, loads the
// module library and serves its objects until SIGTERM or SIGINT.
#include <glib-unix.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "host.h"
#include "sys_files.h"
#include "sys_paths.h"

namespace {

struct CommandLine {
  gboolean session = FALSE;
  gboolean system = FALSE;
  gchar *address = nullptr;
  gchar *root = nullptr;
  gchar *store = nullptr;
  gboolean create = FALSE;
  gchar *library = nullptr;
  gint service_type = 0;
  gint province = 0;
  gchar *modules = nullptr;
  gchar *lan_hosts = nullptr;
  gboolean no_standard_signals = FALSE;
  gint heartbeat_timeout = 15;
  gboolean version = FALSE;
  // Every way out of main frees what the parser filled in.
  ~CommandLine() {
    for (gchar *text : {address, root, store, library, modules, lan_hosts}) g_free(text);
  }
};

struct Quit {
  GMainLoop *loop;
  const char *signal_name;
};

gboolean quit_loop(gpointer data) {
  auto *quit = static_cast<Quit *>(data);
  std::fprintf(stderr, "igd1d: %s received, stopping\n", quit->signal_name);
  g_main_loop_quit(quit->loop);
  return G_SOURCE_CONTINUE;
}

// The module library: beside igd1d in the build tree, in the library folder
// once installed (relative to igd1d, so that any prefix and DESTDIR work).
std::string module_library_path() {
  std::string beside = igd1::host::default_library_path();
  if (beside.find('/') != std::string::npos) return beside;
  g_autofree gchar *self = g_file_read_link("/proc/self/exe", nullptr);
  if (self == nullptr) return beside;
  g_autofree gchar *dir = g_path_get_dirname(self);
  g_autofree gchar *relative = g_build_filename(dir, IGD1_INSTALLED_LIBRARY, nullptr);
  g_autofree gchar *installed = g_canonicalize_filename(relative, nullptr);
  return access(installed, R_OK) == 0 ? std::string(installed) : beside;
}

// Every introspection file the library's modules read must exist and parse
// before any module starts: a module cannot serve without its file.  A
// library that does not name its files is not checked.
bool check_introspection_files(const std::string &library_file, std::string *problem) {
  igd1::host::ModuleLibrary library;
  std::string ignored;
  if (!library.load(library_file, &ignored)) return true;  // the host start reports it
  auto *names = static_cast<const char *const *>(library.symbol("igd1_introspection_files"));
  if (names == nullptr) return true;
  g_auto(GStrv) files = g_strsplit(*names, " ", -1);
  for (gchar **name = files; *name != nullptr; ++name) {
    if (**name == '\0') continue;
    std::string file = igd1::sys_path(std::string(igd1::path::kDbusXmlDir) + *name);
    g_autofree gchar *text = nullptr;
    g_autoptr(GError) error = nullptr;
    if (!g_file_get_contents(file.c_str(), &text, nullptr, &error)) {
      *problem = error->message;
      return false;
    }
    g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(text, &error);
    if (node == nullptr) {
      *problem = file + ": " + error->message;
      return false;
    }
    if (node->interfaces == nullptr || node->interfaces[0] == nullptr) {
      *problem = file + ": declares no interface";
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  // Under the service manager the journal takes warnings and errors from the
  // logger with their priorities; what the modules print on standard output
  // (a line per introspection file at start-up, debug lines) stays out of it.
  if (igd1::is_journal_stream(STDOUT_FILENO)) {
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
      dup2(null, STDOUT_FILENO);
      close(null);
    }
  }
  CommandLine cl;
  const GOptionEntry entries[] = {
      {"system", 0, 0, G_OPTION_ARG_NONE, &cl.system, "Use the system bus (default)", nullptr},
      {"session", 0, 0, G_OPTION_ARG_NONE, &cl.session, "Use the session bus", nullptr},
      {"address", 0, 0, G_OPTION_ARG_STRING, &cl.address, "Use the bus at this address", "ADDR"},
      {"root", 0, 0, G_OPTION_ARG_FILENAME, &cl.root,
       "Put every fixed path of the system under DIR (default /)", "DIR"},
      {"store", 0, 0, G_OPTION_ARG_FILENAME, &cl.store,
       "Configuration database (default ROOT/var/lib/igd1/mib.db, created when missing); a "
       "given FILE must exist unless --create is given", "FILE"},
      {"create", 0, 0, G_OPTION_ARG_NONE, &cl.create,
       "Create the store given with --store, with the defaults, when it does not exist", nullptr},
      {"library", 0, 0, G_OPTION_ARG_FILENAME, &cl.library,
       "Module library to load (default libigd1.so beside igd1d)", "FILE"},
      {"service-type", 0, 0, G_OPTION_ARG_INT, &cl.service_type,
       "Service type reported to the modules (default 0)", "N"},
      {"province", 0, 0, G_OPTION_ARG_INT, &cl.province,
       "Province code reported to the modules (default 0)", "N"},
      {"modules", 0, 0, G_OPTION_ARG_STRING, &cl.modules,
       "Start only these modules, e.g. dhcp_server,devinfo (default: all)", "NAME,..."},
      {"lan-hosts", 0, 0, G_OPTION_ARG_STRING, &cl.lan_hosts,
       "Where the LAN hosts come from: seeded (the store's table, default) or system (this "
       "machine's neighbour table)", "SOURCE"},
      {"no-standard-signals", 0, 0, G_OPTION_ARG_NONE, &cl.no_standard_signals,
       "Send changes only as com.wqx.igd1.Properties.PropertiesChanged, not also as "
       "org.freedesktop.DBus.Properties.PropertiesChanged (introspection then says so)", nullptr},
      {"heartbeat-timeout", 0, 0, G_OPTION_ARG_INT, &cl.heartbeat_timeout,
       "Warn when the library's heartbeat is missing this long (default 15)", "SECONDS"},
      {"version", 0, 0, G_OPTION_ARG_NONE, &cl.version, "Print the version and exit", nullptr},
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
  // igd1d takes options only: a stray word is most likely a mistyped one.
  if (argc > 1) {
    std::fprintf(stderr, "igd1d: unexpected argument %s (igd1d takes options only; see --help)\n", argv[1]);
    return 2;
  }
  if (cl.create && cl.store == nullptr) {
    std::fprintf(stderr, "igd1d: --create needs --store (the default store is created when missing)\n");
    return 2;
  }
  if (cl.version) {
    std::printf("igd1d %s\n", IGD1_VERSION);
    return 0;
  }
  if (int(cl.session) + int(cl.system) + int(cl.address != nullptr) > 1) {
    std::fprintf(stderr, "igd1d: choose one of --session, --system and --address\n");
    return 2;
  }

  igd1::host::Options options;
  options.bus = cl.session ? igd1::host::BusKind::Session : igd1::host::BusKind::System;
  if (cl.address != nullptr) {
    options.bus = igd1::host::BusKind::Address;
    options.address = cl.address;
  }
  if (cl.root != nullptr) igd1::set_root_dir(cl.root);
  if (cl.store != nullptr) {
    // A mistyped folder must not silently get a fresh store of defaults.
    g_autofree gchar *dir = g_path_get_dirname(cl.store);
    if (!g_file_test(dir, G_FILE_TEST_IS_DIR)) {
      std::fprintf(stderr, "igd1d: --store %s: the folder %s does not exist\n", cl.store, dir);
      return 1;
    }
    if (!cl.create && !g_file_test(cl.store, G_FILE_TEST_EXISTS)) {
      std::fprintf(stderr, "igd1d: no store at %s (--create makes a new one)\n", cl.store);
      return 1;
    }
    options.store = cl.store;
  }
  options.library = cl.library != nullptr ? std::string(cl.library) : module_library_path();
  if (cl.heartbeat_timeout <= 0) {
    std::fprintf(stderr, "igd1d: --heartbeat-timeout must be positive\n");
    return 2;
  }
  if (cl.lan_hosts != nullptr && g_strcmp0(cl.lan_hosts, "system") != 0 &&
      g_strcmp0(cl.lan_hosts, "seeded") != 0) {
    std::fprintf(stderr, "igd1d: --lan-hosts is seeded or system, not %s\n", cl.lan_hosts);
    return 2;
  }
  options.system_lan_hosts = g_strcmp0(cl.lan_hosts, "system") == 0;
  options.notify_socket = true;
  options.heartbeat = true;
  options.heartbeat_timeout_ms = unsigned(cl.heartbeat_timeout) * 1000u;
  options.service_type = cl.service_type;
  options.province = cl.province;
  options.standard_signals = !cl.no_standard_signals;
  if (cl.modules != nullptr) {
    g_auto(GStrv) names = g_strsplit(cl.modules, ",", -1);
    for (gchar **name = names; *name != nullptr; ++name)
      if (**name != '\0') options.modules.emplace_back(g_strstrip(*name));
  }

  std::string problem;
  if (!check_introspection_files(options.library, &problem)) {
    std::fprintf(stderr, "igd1d: cannot start: %s\n", problem.c_str());
    return 1;
  }

  // Before anything under the root is touched: a second daemon must leave the
  // running one's log, sockets and store alone.
  igd1::host::InstanceLock instance;
  if (std::string reason; !instance.acquire(&reason)) {
    std::fprintf(stderr, "igd1d: %s\n", reason.c_str());
    return 1;
  }

  GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
  Quit on_term{loop, "SIGTERM"}, on_int{loop, "SIGINT"};
  g_unix_signal_add(SIGTERM, quit_loop, &on_term);
  g_unix_signal_add(SIGINT, quit_loop, &on_int);

  int status = 0;
  // A lost connection is replaced by a new one; only when none can be made
  // does igd1d end with status 1, for the service manager to start it again
  // (every answered write is in the store).
  options.on_connection_lost = [&](const std::string &reason) {
    std::fprintf(stderr, "igd1d: the bus connection closed: %s; exiting\n", reason.c_str());
    status = 1;
    g_main_loop_quit(loop);
  };
  {
    igd1::host::Host host;
    std::string reason;
    if (host.start(options, &reason)) {
      std::fprintf(stderr, "igd1d %s: serving with %s\n", IGD1_VERSION, options.library.c_str());
      g_main_loop_run(loop);
    } else {
      std::fprintf(stderr, "igd1d: %s\n", reason.c_str());
      status = 1;
    }
  }
  g_main_loop_unref(loop);
  return status;
}
