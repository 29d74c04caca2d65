// The host's event channels: notification socket service, message handler,
// heartbeat client calls and heartbeat watch.
#include "notify_service.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "dbus_proxy_api.h"
#include "host_api.h"
#include "mib_store.h"
#include "sys_files.h"
#include "sys_paths.h"

namespace igd1::host {
namespace {

// Connections that wait to be accepted while the library's handler works.
constexpr int kNotifyBacklog = 16;
// A heartbeat client sends at once; one that does not is dropped after this.
constexpr auto kHeartbeatReceiveTimeout = std::chrono::seconds(1);
constexpr char kHeartbeatMessage[] = {'w', 0, 0, 0};
// Longest client text echoed in a reply.
constexpr int kEchoMax = 64;
constexpr char kObjectRoot[] = "/com/wqx/igd1";
constexpr char kNetworkInfoPath[] = "/com/wqx/igd1/Info/Network";
constexpr char kNetworkInfoInterface[] = "com.wqx.igd1.NetworkInfo";

// ---- the notification service --------------------------------------------------------

// Reached from the library's threads, which outlive any host and run until
// the process ends; never destroyed, so that a late message finds it intact.
struct Service {
  std::mutex mutex;  // held while a message is handled
  const ModuleLibrary *library = nullptr;  // set while the service is on
  std::string socket_file;
};

Service &service() {
  static auto *instance = new Service;
  return *instance;
}

HeartbeatMonitor *g_monitor = nullptr;
std::mutex g_heartbeat_mutex;
bool g_library_heartbeat_started = false;

struct Reply {
  bool ok = false;
  std::string text;
};

Reply ok(std::string detail = {}) { return {true, std::move(detail)}; }

Reply refuse(const char *format, ...) G_GNUC_PRINTF(1, 2);
Reply refuse(const char *format, ...) {
  va_list args;
  va_start(args, format);
  g_autofree gchar *text = g_strdup_vprintf(format, args);
  va_end(args);
  return {false, text};
}

// Splits off the next space-separated word of `rest`.
std::string_view next_word(std::string_view &rest) {
  size_t end = rest.find(' ');
  std::string_view word = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  return word;
}


// ---- row-inserted / row-removed ----------------------------------------------------

Reply announce_row(std::string_view args, bool inserted) {
  const char *command = inserted ? "row-inserted" : "row-removed";
  std::string table_name(next_word(args));
  std::string_view instance_text = next_word(args);
  if (table_name.empty() || instance_text.empty() || !args.empty())
    return refuse("usage: %s TABLE INSTANCE", command);
  const mib::TableDef *table = mib::find_table(table_name);
  if (table == nullptr) return refuse("unknown table %.*s", kEchoMax, table_name.c_str());
  // Within the table's own range: a number is never cut to fit a row.
  std::optional<mib::RowKey> key = mib::parse_key_text(instance_text);
  if (!key || !mib::key_fits(*table, *key))
    return refuse("bad instance %.*s", kEchoMax, std::string(instance_text).c_str());
  const std::string number = mib::key_text(*key);
  bool present = mib::table_row(*table, *key).has_value();
  if (inserted && !present) return refuse("no row %s in %s", number.c_str(), table->name);
  if (!inserted && present) return refuse("row %s is still in %s", number.c_str(), table->name);
  mib::row_noticed(*table, *key, inserted);
  if (!queue_row_callback(*table, *key, inserted))
    return refuse("%s has no module that takes its rows", table->name);
  return ok();
}

Reply announce_inserted(std::string_view args, const ModuleLibrary &) {
  return announce_row(args, true);
}

Reply announce_removed(std::string_view args, const ModuleLibrary &) {
  return announce_row(args, false);
}

// ---- value-changed ------------------------------------------------------------------

struct ServedInterface {
  GDBusInterfaceInfo *info = nullptr;
  std::string node_path;  // the node that declares it
};

bool find_in_node(GDBusNodeInfo *node, const std::string &node_path, const std::string &name,
                  ServedInterface *found) {
  for (GDBusInterfaceInfo **i = node->interfaces; i != nullptr && *i != nullptr; ++i) {
    if (name == (*i)->name) {
      *found = {*i, node_path};
      return true;
    }
  }
  for (GDBusNodeInfo **child = node->nodes; child != nullptr && *child != nullptr; ++child) {
    const char *child_name = (*child)->path != nullptr ? (*child)->path : "";
    std::string child_path = child_name[0] == '/' ? child_name : node_path + "/" + child_name;
    if (find_in_node(*child, child_path, name, found)) return true;
  }
  return false;
}

// The interface among those the modules registered.  The caller holds the
// service lock, which keeps the descriptions alive.
bool find_interface(const std::string &name, ServedInterface *found) {
  for (GDBusNodeInfo *node : node_infos())
    if (find_in_node(node, node->path != nullptr ? node->path : "", name, found)) return true;
  return false;
}

bool at_or_below(const std::string &path, const std::string &base) {
  return path == base || (path.size() > base.size() && path.compare(0, base.size(), base) == 0 &&
                          path[base.size()] == '/');
}

Reply announce_value(std::string_view args, const ModuleLibrary &library) {
  std::string path(next_word(args));
  std::string interface_name(next_word(args));
  std::string property(next_word(args));
  std::string value_text(args);
  if (value_text.empty()) return refuse("usage: value-changed PATH INTERFACE PROPERTY VALUE");
  if (!g_variant_is_object_path(path.c_str()) || !at_or_below(path, kObjectRoot))
    return refuse("bad object path %.*s", kEchoMax, path.c_str());
  // The value has the type of the interface served at the path now (an
  // object of the engine may follow the service type).
  GDBusInterfaceInfo *now = nullptr;
  const bool published = g_pIdg1_connection != nullptr &&
                         served_at(g_pIdg1_connection, path.c_str(), interface_name.c_str(), &now);
  std::unique_ptr<GDBusInterfaceInfo, decltype(&g_dbus_interface_info_unref)> owned(
      now, g_dbus_interface_info_unref);
  ServedInterface served{now, path};
  if (now == nullptr) {
    // The refusal tells an interface no module declares from one declared
    // for other paths and from a path where nothing is published.
    if (!find_interface(interface_name, &served))
      return refuse("unknown interface %.*s", kEchoMax, interface_name.c_str());
    if (!at_or_below(path, served.node_path) || published)
      return refuse("%s is not served at %s", interface_name.c_str(), path.c_str());
    // A change of an object nobody can read is no change: a row that is
    // gone or never was.
    if (g_pIdg1_connection == nullptr) return refuse("not connected to the bus");
    return refuse("no object at %s", path.c_str());
  }
  GDBusPropertyInfo *info = g_dbus_interface_info_lookup_property(served.info, property.c_str());
  if (info == nullptr)
    return refuse("unknown property %s.%.*s", interface_name.c_str(), kEchoMax, property.c_str());

  g_autoptr(GError) parse_error = nullptr;
  const char *end = value_text.c_str() + value_text.size();
  const char *stop = nullptr;
  g_autoptr(GVariant) value = g_variant_parse(G_VARIANT_TYPE(info->signature), value_text.c_str(),
                                              end, &stop, &parse_error);
  if (value == nullptr)
    return refuse("bad value for %s (type %s): %s", property.c_str(), info->signature,
                  parse_error->message);

  auto build = reinterpret_cast<decltype(&dbusproxy_build_properties_changed_signal)>(
      library.symbol("dbusproxy_build_properties_changed_signal"));
  auto emit = reinterpret_cast<decltype(&dbusproxy_emit_properties_changed_signal_only)>(
      library.symbol("dbusproxy_emit_properties_changed_signal_only"));
  if (build == nullptr || emit == nullptr) return refuse("the library has no change signal");
  if (g_pIdg1_connection == nullptr) return refuse("not connected to the bus");
  GVariantBuilder *builder = nullptr;
  build(&builder, nullptr, property.c_str(), DBUSPROXY_TYPE_VARIANT, value);
  emit(&builder, path.c_str(), interface_name.c_str());
  return ok();
}

// ---- debug-level --------------------------------------------------------------------

Reply reread_debug_level(std::string_view args, const ModuleLibrary &library) {
  if (!args.empty()) return refuse("usage: debug-level");
  auto reread = reinterpret_cast<int (*)(int, int)>(library.symbol("dbus_proxy_debug_set_signal"));
  // Looked up process-wide: a program that uses the mask itself holds the one
  // copy that the library's code reads and writes.
  auto *mask = static_cast<uint32_t *>(dlsym(RTLD_DEFAULT, "gui_dbusProxyDbg"));
  if (reread == nullptr || mask == nullptr) return refuse("the library has no debug level");
  reread(0, 0);
  g_autofree gchar *detail =
      g_strdup_printf("mask 0x%08x", std::atomic_ref<uint32_t>(*mask).load(std::memory_order_relaxed));
  return ok(detail);
}

// ---- event --------------------------------------------------------------------------

Reply send_event(std::string_view args, const ModuleLibrary &) {
  std::string answer;
  if (run_event(args, &answer)) return ok();
  return refuse("%s", answer.c_str());
}

// ---- messages -----------------------------------------------------------------------

struct Command {
  const char *name;
  Reply (*run)(std::string_view args, const ModuleLibrary &library);
};

constexpr Command kCommands[] = {
    {"row-inserted", announce_inserted},
    {"row-removed", announce_removed},
    {"value-changed", announce_value},
    {"debug-level", reread_debug_level},
    {"event", send_event},
};

Reply handle_message(std::string_view text, const ModuleLibrary &library) {
  const size_t received = text.size();
  if (text.ends_with('\n')) text.remove_suffix(1);
  if (text.ends_with('\r')) text.remove_suffix(1);
  if (text.size() > kNotifyMessageMax) return refuse("message too long (%zu bytes)", received);
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return refuse("message is not one line of text");
  std::string command(next_word(text));
  if (command.empty()) return refuse("empty message");
  for (const Command &known : kCommands)
    if (command == known.name) return known.run(text, library);
  return refuse("unknown command %.*s", kEchoMax, command.c_str());
}

// ---- heartbeat ----------------------------------------------------------------------

double seconds(std::chrono::steady_clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

}  // namespace

// ---- HeartbeatMonitor ---------------------------------------------------------------

bool HeartbeatMonitor::start(const std::string &fixed_path, std::chrono::milliseconds timeout,
                             std::string *error) {
  stop();
  listen_fd_ = listen_private_socket(fixed_path, kNotifyBacklog, error);
  if (listen_fd_ < 0) return false;
  // The watch takes every waiting connection at each wake-up, then waits.
  fcntl(listen_fd_, F_SETFL, fcntl(listen_fd_, F_GETFL) | O_NONBLOCK);
  socket_file_ = sys_path(fixed_path);
  wake_fd_ = eventfd(0, EFD_CLOEXEC);
  if (wake_fd_ < 0) {
    *error = std::string("cannot watch the heartbeat: ") + g_strerror(errno);
    stop();
    return false;
  }
  timeout_ = timeout;
  thread_ = std::thread([this] { run(); });
  return true;
}

void HeartbeatMonitor::stop() {
  if (thread_.joinable()) {
    uint64_t one = 1;
    if (write(wake_fd_, &one, sizeof one) < 0) g_warning("cannot wake the heartbeat watch");
    thread_.join();
  }
  for (int *fd : {&listen_fd_, &wake_fd_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  if (!socket_file_.empty()) unlink(socket_file_.c_str());
  socket_file_.clear();
}

// Each beat is one wake-up: the thread wakes when a connection is waiting,
// accepts it and takes whatever it sent so far without waiting.  A caller
// that connected before it sent (the watch ran between the two, common on a
// busy machine) is read again at the next wake-up, the next beat's or the
// time-out's, and its beat counts from its connection; only once the beats
// are missing is such a caller watched until its message is whole, it
// closes, or kHeartbeatReceiveTimeout passed, so that a resumed beat is
// noted at once.
void HeartbeatMonitor::run() {
  pthread_setname_np(pthread_self(), "heartbeat_watch");
  using Clock = std::chrono::steady_clock;
  Clock::time_point last = Clock::now();
  bool warned = false;
  std::vector<Caller> callers;
  for (;;) {
    Clock::time_point due = Clock::time_point::max();
    if (!warned) due = last + timeout_;
    std::vector<pollfd> watch = {{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    if (warned) {
      for (const Caller &caller : callers) {
        due = std::min(due, caller.accepted + kHeartbeatReceiveTimeout);
        watch.push_back({caller.fd, POLLIN, 0});
      }
    }
    int wait_ms = -1;
    if (due != Clock::time_point::max()) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
      wait_ms = int(std::max<int64_t>(0, left.count()));
    }
    if (poll(watch.data(), nfds_t(watch.size()), wait_ms) < 0 && errno != EINTR) break;
    if (watch[1].revents != 0) break;
    if ((watch[0].revents & POLLIN) != 0) {
      for (int fd; (fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
        if (peer_may_send(fd))
          callers.push_back({.fd = fd, .accepted = Clock::now()});
        else
          close(fd);
      }
    }
    Clock::time_point now = Clock::now();
    std::optional<Clock::time_point> beat;
    std::erase_if(callers, [&](Caller &caller) {
      std::optional<bool> said = caller.read(now - caller.accepted >= kHeartbeatReceiveTimeout);
      if (!said) return false;
      if (*said) beat = std::max(beat.value_or(caller.accepted), caller.accepted);
      close(caller.fd);
      return true;
    });
    if (beat && *beat > last) {
      if (warned) host_log(LOG_LEVEL_INFO, "heartbeat from the module library resumed after %.1f s",
                           seconds(*beat - last));
      warned = false;
      last = *beat;
    }
    if (!warned && now - last >= timeout_) {
      host_log(LOG_LEVEL_WARN, "no heartbeat from the module library for %.1f s", seconds(now - last));
      warned = true;
    }
  }
  for (const Caller &caller : callers) close(caller.fd);
}

std::optional<bool> HeartbeatMonitor::Caller::read(bool last_chance) {
  for (;;) {
    ssize_t count = recv(fd, message + received, sizeof message - received, MSG_DONTWAIT);
    if (count > 0) {
      received += size_t(count);
      // A fifth byte makes it something else than a beat.
      if (received < sizeof message) continue;
      return false;
    }
    if (count < 0 && errno == EINTR) continue;
    const bool whole = received == sizeof kHeartbeatMessage &&
                       std::memcmp(message, kHeartbeatMessage, sizeof kHeartbeatMessage) == 0;
    // Closed, failed, or all four bytes are in: the caller has said its piece.
    if (count == 0 || (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) ||
        received == sizeof kHeartbeatMessage || last_chance)
      return whole;
    return std::nullopt;
  }
}

// ---- starting and stopping ------------------------------------------------------------

bool start_event_channels(const Options &options, const ModuleLibrary &library,
                          std::string *error) {
  if (options.heartbeat) {
    auto *monitor = new HeartbeatMonitor;
    if (!monitor->start(path::kDaemonSocket, std::chrono::milliseconds(options.heartbeat_timeout_ms),
                        error)) {
      delete monitor;
      return false;
    }
    g_monitor = monitor;
    // The library's heartbeat has no stop: one thread serves every host of
    // the process (it follows the root folder on each beat).
    std::lock_guard lock(g_heartbeat_mutex);
    if (!g_library_heartbeat_started) {
      auto start = reinterpret_cast<int (*)()>(library.symbol("dbus_proxy_heartbeat_thread_create_func"));
      if (start == nullptr || start() != 0) {
        *error = library.file() + ": cannot start the heartbeat thread";
        return false;
      }
      g_library_heartbeat_started = true;
    }
  }
  if (options.notify_socket) {
    auto start = reinterpret_cast<int (*)()>(library.symbol("dbus_proxy_uds_thread_create_func"));
    auto reread = reinterpret_cast<int (*)(int, int)>(library.symbol("dbus_proxy_debug_set_signal"));
    if (start == nullptr || reread == nullptr) {
      *error = library.file() + " lacks the notification socket threads";
      return false;
    }
    {
      std::lock_guard lock(service().mutex);
      service().library = &library;
    }
    // The stored debug level applies from the start.
    reread(0, 0);
    if (start() != 0) {
      *error = "cannot start the notification socket thread";
      return false;
    }
  }
  return true;
}

void stop_event_channels() {
  {
    std::lock_guard lock(service().mutex);
    service().library = nullptr;
    if (!service().socket_file.empty()) unlink(service().socket_file.c_str());
    service().socket_file.clear();
  }
  delete g_monitor;
  g_monitor = nullptr;
}

}  // namespace igd1::host

using namespace igd1::host;

int init_dbus_proxy_uds_socket(int *fd) {
  if (fd == nullptr) return -1;
  std::lock_guard lock(service().mutex);
  // A service that was stopped meanwhile gets no socket: the library's
  // accepting thread then gives up.
  if (service().library == nullptr) return -1;
  std::string error;
  int sock = igd1::listen_private_socket(igd1::path::kNotifySocket, kNotifyBacklog, &error);
  if (sock < 0) {
    host_log(LOG_LEVEL_ERROR, "%s", error.c_str());
    return -1;
  }
  service().socket_file = igd1::sys_path(igd1::path::kNotifySocket);
  *fd = sock;
  return 0;
}

int dbus_proxy_uds_msg_handle_func(int fd, char *data, int length) {
  if (data == nullptr || length <= 0) return -1;
  Reply reply;
  {
    std::lock_guard lock(service().mutex);
    if (service().library != nullptr)
      reply = handle_message(std::string_view(data, size_t(length)), *service().library);
    else
      reply = refuse("service stopped");
  }
  std::string line = (reply.ok ? "OK" : "ERR") + (reply.text.empty() ? "" : " " + reply.text);
  host_log(reply.ok ? LOG_LEVEL_DETAIL : LOG_LEVEL_WARN, "notification message: %s", line.c_str());
  line += '\n';
  // The client waits for this line; one that went away costs nothing.
  send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  return reply.ok ? 0 : -1;
}

int dbus_proxy_uds_client_conn(const char *path) {
  if (path == nullptr) return -1;
  sockaddr_un address;
  if (!igd1::sys_socket_address(path, &address)) return -1;
  int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return -1;
  if (connect(sock, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(sock);
    return -1;
  }
  return sock;
}

int dbus_proxy_uds_send_client_msg(int fd, const void *data, int length) {
  if (data == nullptr || length < 0) return -1;
  return int(send(fd, data, size_t(length), MSG_NOSIGNAL));
}

// A test signal for clients that watch the network information object: an
// empty change of com.wqx.igd1.NetworkInfo, so that a client can see that
// change signals reach it once logging is switched on.
void dbus_proxy_networkinfo_test_signal(guint32 mask) {
  host_log(LOG_LEVEL_INFO, "network information test signal, mask %#x", mask);
  GDBusConnection *connection = g_pIdg1_connection;
  if (connection == nullptr) return;
  GVariant *body = g_variant_new("(s@a{sv}@as)", kNetworkInfoInterface,
                                 g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0),
                                 g_variant_new_strv(nullptr, 0));
  g_autoptr(GError) error = nullptr;
  if (!g_dbus_connection_emit_signal(connection, nullptr, kNetworkInfoPath,
                                     DBUSPROXY_PROPERTIES_INTERFACE, DBUSPROXY_PROPERTIES_CHANGED,
                                     body, &error))
    host_log(LOG_LEVEL_WARN, "network information test signal: %s", error->message);
}
