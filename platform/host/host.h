// The host daemon's layer: bus connection and name, loading of the module
// library, start-up of its modules, and the operations the library calls in
// the host.  igd1d is a thin command line around it; the tests run the same
// layer inside their own process.
#pragma once

#include <gio/gio.h>

#include "host_api.h"
#include "tool.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace igd1::mib {
struct TableDef;
}

namespace igd1::host {

// Values the library reads from the host at run time.
struct Settings {
  int service_type = 0;
  int province = 0;
  bool standard_signals = true;
};
Settings &settings();

// Node descriptions handed over by the modules, in arrival order.
bool register_node_info(GDBusNodeInfo *node_info);
std::vector<GDBusNodeInfo *> node_infos();
void clear_node_infos();

// ---- the bus layer -------------------------------------------------------------

// The registry of what the library publishes (dbus_proxy_object_reg and its
// kin).  publish_on names the connection the library's registrations go
// to; move_registrations puts every registration, with the library's data
// untouched, on a new connection after the old one was lost;
// drop_registrations forgets them all (the host stops).  Main loop only.
void publish_on(GDBusConnection *connection);
void move_registrations(GDBusConnection *connection);
void drop_registrations();

// True when some interface is registered at `path` on `connection`: a plain
// registration, a subtree's root or a node a subtree lists.
bool has_registration(GDBusConnection *connection, const char *path);
// Whether anything is published at `path` (as has_registration); if so,
// *interface is the interface named `interface_name` served there now (a
// new reference), or nullptr: a plain registration's, a manager child's, or
// what a subtree declares at this request (the engine's objects that follow
// the service type).  The library's subtree callbacks are called from the
// caller's thread.
bool served_at(GDBusConnection *connection, const char *path, const char *interface_name,
               GDBusInterfaceInfo **interface);
// Marks a call that its handler answers later (dbus_proxy_invocation_keep),
// and tells whether a call was so marked.
void mark_kept(GDBusMethodInvocation *invocation);
bool is_kept(GDBusMethodInvocation *invocation);

// A line in the system log through the library's logger once it is loaded
// (standard error before that).  Levels as in tool.h.
void host_log(int level, const char *format, ...) G_GNUC_PRINTF(2, 3);

// ---- the module library -------------------------------------------------

using BusAcquiredFn = void (*)(GDBusConnection *, const gchar *, gpointer);

struct EntryPoint {
  std::string name;  // full symbol name, e.g. "dhcp_server_on_bus_acquired"
  BusAcquiredFn function;
};

// Names of the functions ending in "_on_bus_acquired" that an ELF shared
// object exports, read from its dynamic symbol table, sorted.
bool exported_entry_names(const std::string &file, std::vector<std::string> *names,
                          std::string *error);

class ModuleLibrary {
 public:
  ModuleLibrary() = default;
  ModuleLibrary(const ModuleLibrary &) = delete;
  ModuleLibrary &operator=(const ModuleLibrary &) = delete;
  ~ModuleLibrary();

  bool load(const std::string &file, std::string *error);
  bool loaded() const { return handle_ != nullptr; }
  const std::string &file() const { return file_; }
  void *symbol(const std::string &name) const;

  // Module entry functions to call at bus acquisition: every exported one,
  // or those named in `only` (with or without the "_on_bus_acquired" suffix),
  // in that order.  The root entry and the entry that its parent module calls
  // itself are never part of the list.
  bool module_entries(const std::vector<std::string> &only, std::vector<EntryPoint> *entries,
                      std::string *error) const;

 private:
  void *handle_ = nullptr;
  std::string file_;
};

// A module whose start-up waits for another's: (module, after).
using StartOrder = std::vector<std::pair<std::string, std::string>>;
// Puts `entries` into an order in which each module of `order` starts after
// the module it waits for (when both start), keeping their order otherwise.
// False, naming the modules, when some wait for each other.
bool order_entries(const StartOrder &order, std::vector<EntryPoint> *entries,
                   std::string *error);
// The order the library declared at its root entry (dbus_proxy_start_order_reg).
StartOrder &declared_start_order();

// The library next to the running executable, or "libigd1.so" for the
// dynamic loader's search.
std::string default_library_path();

// ---- the running host -------------------------------------------------------

enum class BusKind { Session, System, Address };

struct Options {
  BusKind bus = BusKind::Session;
  std::string address;        // with BusKind::Address
  std::string store;          // "" = the default store under the root
  std::string library;        // "" = default_library_path()
  int service_type = 0;
  int province = 0;
  // Every change signal also as org.freedesktop.DBus.Properties.PropertiesChanged.
  bool standard_signals = true;
  std::vector<std::string> modules;  // empty = every module
  // Event channels (igd1d turns both on): the notification socket served by
  // the library's threads, and the library's heartbeat with its watch.
  bool notify_socket = false;
  bool heartbeat = false;
  // The watch warns when no heartbeat came for this long.
  unsigned heartbeat_timeout_ms = 15000;
  // The LAN host table follows this machine's neighbour table.
  bool system_lan_hosts = false;
  // A lost bus connection is replaced by a new one with everything
  // published again; this runs (on the main loop) only when no new
  // connection could be made, with the reason.  The host serves nothing then.
  std::function<void(const std::string &reason)> on_connection_lost;
};

inline constexpr char kServiceName[] = "com.wqx.igd1";

// Brings the system up: opens the store, loads the library, connects to the
// bus, runs the root and module entry functions and asks for the service
// name.  Call it from the thread that runs the default main context.
class Host {
 public:
  Host() = default;
  Host(const Host &) = delete;
  Host &operator=(const Host &) = delete;
  ~Host() { stop(); }

  bool start(const Options &options, std::string *error);
  // Gives the name back and drops the connection and the store.
  void stop();

  GDBusConnection *connection() const { return connection_; }
  const ModuleLibrary &library() const { return library_; }
  // Connections made again after a loss, and how long the last one took
  // from the loss until the name was owned again with every object on it.
  unsigned reconnections() const { return reconnections_; }
  int64_t last_reconnect_us() const { return last_reconnect_us_; }

 private:
  ModuleLibrary library_;
  Options options_;
  void watch_connection();
  static void on_closed(GDBusConnection *connection, gboolean remote_peer_vanished, GError *error,
                        gpointer self);
  void connection_lost(const std::string &why);
  void try_reconnect();
  bool reconnect(std::string *error);
  void log_loss(const std::string &why);
  // Asks the bus for the service name; false with the bus's own error
  // when it refuses.
  // With `wait_in_queue` (a new connection) the name may come later, once
  // the bus has seen the previous connection go.
  bool request_name(std::string *error, bool wait_in_queue);
  void served_again();
  bool waiting_for_name_ = false;
  static void on_name_signal(GDBusConnection *connection, const gchar *sender,
                             const gchar *path, const gchar *interface, const gchar *signal,
                             GVariant *parameters, gpointer self);

  GDBusConnection *connection_ = nullptr;
  // The connection the modules were started with: they hold it and key
  // their records by it, so it lives until the host stops.
  GDBusConnection *modules_connection_ = nullptr;
  // The connection before the current one: another thread may still be
  // sending a signal on it, so it is released only at the next change.
  GDBusConnection *retired_ = nullptr;
  gulong closed_handler_ = 0;
  bool stopping_ = false;
  std::string loss_reason_;
  int64_t lost_at_us_ = 0;
  unsigned reconnect_attempt_ = 0;
  guint retry_source_ = 0;
  unsigned reconnections_ = 0;
  int64_t last_reconnect_us_ = 0;
  int64_t loss_logged_at_us_ = 0;
  unsigned unlogged_losses_ = 0;
  guint name_subscription_ = 0;
  bool owns_name_ = false;
  void (*name_acquired_)(GDBusConnection *, const gchar *, gpointer) = nullptr;
  void (*name_lost_)(GDBusConnection *, const gchar *, gpointer) = nullptr;
  bool opened_store_ = false;
};

// The single-instance lock of igd1d: an exclusive lock on the pid file under
// the root, held until release or the end of the process.
class InstanceLock {
 public:
  InstanceLock() = default;
  InstanceLock(const InstanceLock &) = delete;
  InstanceLock &operator=(const InstanceLock &) = delete;
  ~InstanceLock() { release(); }

  // False, with the reason, when another process holds the lock or the file
  // cannot be used; nothing else under the root is touched either way.
  bool acquire(std::string *error);
  void release();

 private:
  int fd_ = -1;
};

// Row callbacks, by the shape each module declared
// (dbus_proxy_row_callbacks_reg; NULL callbacks withdraw them).
// route_row_callbacks turns on or off the delivery of the store's row
// changes: the module's callback runs on the bus main loop for each.
// forget_row_callbacks drops every declaration.
bool register_row_callbacks(const char *module, const dbus_proxy_row_callbacks *callbacks);
void route_row_callbacks(bool on);
void forget_row_callbacks();

// Queues the module's callback for a row of the table that was inserted or
// removed (the row with `key`) on the default main context.  False, with
// nothing queued, when the module declared none.  Callable from any thread.
bool queue_row_callback(const mib::TableDef &table, uint64_t key, bool inserted);

// A device of `module` arrived (inserted) or left: its callback gets the
// device's index, and with the index-and-flag shape the flag.  False when
// rows are not routed or the module declared nothing that takes it.
bool announce_device(const char *module, uint32_t index, bool flag, bool inserted);

// Events modules declared (dbus_proxy_events_reg).  run_event takes the
// words after "event": MODULE NAME ARG...; it parses the arguments by their
// declared kinds, runs the handler on the default main context and waits for
// it.  True with the handler done; false with the reason in *answer.
// Callable from any thread but the main loop's.
bool register_events(const char *module, const dbus_proxy_event *events, unsigned count);
// Runs the event `name` that `module` declared with `values`, when it
// declared one whose arguments are of `kinds`; false otherwise (or when the
// handler refused).  For the host's own devices; main loop only.
bool raise_event(const char *module, const char *name, std::initializer_list<dbus_proxy_arg_kind> kinds,
                 const dbus_proxy_event_value *values);
bool run_event(std::string_view words, std::string *answer);
void forget_events();

// The emulated radios, USB storage and voice line: opened (their state
// files seeded when missing) and their events ("radio", "usb", "voice")
// declared; stop withdraws the events and drops the devices.  Main loop only.
void start_emulated_devices();
void stop_emulated_devices();

}  // namespace igd1::host
