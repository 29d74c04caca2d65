#include "host.h"

#include <dlfcn.h>
#include <glib/gstdio.h>

#include <algorithm>
#include <cstdarg>
#include <mutex>
#include <utility>

#include "host_api.h"
#include "lan_neighbours.h"
#include "mib_store.h"
#include "notify_service.h"
#include "sys_introspection.h"
#include "sys_paths.h"

namespace igd1::host {
namespace {

std::mutex g_node_mutex;
std::vector<GDBusNodeInfo *> g_node_infos;

using NameCallback = void (*)(GDBusConnection *, const gchar *, gpointer);

}  // namespace

Settings &settings() {
  static Settings values;
  return values;
}

bool register_node_info(GDBusNodeInfo *node_info) {
  if (node_info == nullptr) return false;
  // Generic clients look for EmitsChangedSignal on each property.  Without
  // the standard signal no property emits it.
  if (settings().standard_signals)
    spell_out_emits_changed(node_info);
  else
    mark_node_never_emitted(node_info);
  std::lock_guard lock(g_node_mutex);
  g_node_infos.push_back(g_dbus_node_info_ref(node_info));
  return true;
}

std::vector<GDBusNodeInfo *> node_infos() {
  std::lock_guard lock(g_node_mutex);
  return g_node_infos;
}

void clear_node_infos() {
  std::lock_guard lock(g_node_mutex);
  for (GDBusNodeInfo *node : g_node_infos) g_dbus_node_info_unref(node);
  g_node_infos.clear();
}

void host_log(int level, const char *format, ...) {
  using SysLog = int (*)(int, int, int, const char *, int, const char *, const char *, ...);
  auto sys_log = reinterpret_cast<SysLog>(dlsym(RTLD_DEFAULT, "sys_log"));
  va_list args;
  va_start(args, format);
  g_autofree gchar *text = g_strdup_vprintf(format, args);
  va_end(args);
  if (sys_log != nullptr)
    sys_log(5, level, 255, __FILE__, __LINE__, __func__, "%s", text);
  else
    g_printerr("igd1d: %s\n", text);
}

namespace {

// A private connection of its own (never GIO's shared bus singleton), so
// that a lost one can be replaced by a fresh one.
GDBusConnection *connect_bus(const Options &options, GError **error) {
  g_autofree gchar *address = nullptr;
  switch (options.bus) {
    case BusKind::Session:
      address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, error);
      break;
    case BusKind::System:
      address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, error);
      break;
    case BusKind::Address:
      address = g_strdup(options.address.c_str());
      break;
  }
  if (address == nullptr) return nullptr;
  GDBusConnection *connection = g_dbus_connection_new_for_address_sync(
      address,
      GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                           G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, error);
  if (connection != nullptr) g_dbus_connection_set_exit_on_close(connection, FALSE);
  return connection;
}

// A new connection is tried at once, then after these pauses; after the
// last one the host gives up.
constexpr guint kRetryPausesMs[] = {10, 20, 50, 100, 200, 400, 800};
constexpr int64_t kLossLogIntervalUs = 60 * G_USEC_PER_SEC;

}  // namespace

bool Host::start(const Options &options, std::string *error) {
  settings().service_type = options.service_type;
  settings().province = options.province;
  settings().standard_signals = options.standard_signals;

  if (!mib::store_is_open()) {
    std::string store = options.store.empty() ? sys_path(path::kStoreFile) : options.store;
    g_autofree gchar *dir = g_path_get_dirname(store.c_str());
    g_mkdir_with_parents(dir, 0755);
    mib::set_store_logger([](const char *message) { host_log(4, "store: %s", message); });
    if (!mib::open_store(store, error, mib::DamagedStore::UseLastGoodCopy)) return false;
    opened_store_ = true;
  }

  if (!library_.load(options.library.empty() ? default_library_path() : options.library, error))
    return false;
  auto root_entry = reinterpret_cast<BusAcquiredFn>(library_.symbol("IGD1_on_bus_acquired"));
  auto name_acquired = reinterpret_cast<NameCallback>(library_.symbol("IGD1_on_name_acquired"));
  auto name_lost = reinterpret_cast<NameCallback>(library_.symbol("IGD1_on_name_lost"));
  if (root_entry == nullptr || name_acquired == nullptr || name_lost == nullptr) {
    *error = library_.file() + " lacks the root entry or the name callbacks";
    return false;
  }
  std::vector<EntryPoint> entries;
  if (!library_.module_entries(options.modules, &entries, error)) return false;

  options_ = options;
  g_autoptr(GError) bus_error = nullptr;
  connection_ = connect_bus(options, &bus_error);
  if (connection_ == nullptr) {
    *error = std::string("cannot connect to the bus: ") + bus_error->message;
    return false;
  }
  modules_connection_ = G_DBUS_CONNECTION(g_object_ref(connection_));
  watch_connection();

  route_row_callbacks(true);
  start_emulated_devices();
  publish_on(connection_);

  // Bus acquired: the connection is published first because modules use it
  // outside bus calls, then the root object, then every module.
  g_pIdg1_connection = connection_;
  declared_start_order().clear();
  root_entry(connection_, kServiceName, nullptr);
  // A library that registers with GDBus itself cannot be served again on a
  // new connection, nor have its multi-property writes routed.
  if (!has_registration(connection_, "/com/wqx/igd1")) {
    *error = "the library does not publish its root object through the host";
    return false;
  }
  if (!order_entries(declared_start_order(), &entries, error)) return false;
  for (const auto &entry : entries) entry.function(connection_, kServiceName, nullptr);

  name_acquired_ = name_acquired;
  name_lost_ = name_lost;
  if (!request_name(error, false)) return false;
  if (options.system_lan_hosts) start_system_lan_hosts(library_);
  return start_event_channels(options, library_, error);
}

// The name is asked for directly rather than through GIO's name owning, which
// reports a refusal only as a lost name: a client must see why.
bool Host::request_name(std::string *error, bool wait_in_queue) {
  constexpr guint32 kDoNotQueue = 4;
  constexpr guint32 kPrimaryOwner = 1;
  constexpr guint32 kInQueue = 2;
  // Subscribed first, so that a loss right after the grant is not missed.
  name_subscription_ = g_dbus_connection_signal_subscribe(
      connection_, "org.freedesktop.DBus", "org.freedesktop.DBus", nullptr, "/org/freedesktop/DBus",
      kServiceName, G_DBUS_SIGNAL_FLAGS_NONE, on_name_signal, this, nullptr);
  g_autoptr(GError) bus_error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "RequestName", g_variant_new("(su)", kServiceName, wait_in_queue ? 0u : kDoNotQueue), G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &bus_error);
  if (reply == nullptr) {
    g_autofree gchar *name = g_dbus_error_get_remote_error(bus_error);
    g_dbus_error_strip_remote_error(bus_error);
    *error = std::string("cannot own the name ") + kServiceName + ": " +
             (name != nullptr ? std::string(name) + ": " : std::string()) + bus_error->message;
    // Said before the name callback, which ends the process.
    host_log(LOG_LEVEL_ERROR, "%s", error->c_str());
    g_printerr("igd1d: %s\n", error->c_str());
    name_lost_(connection_, kServiceName, nullptr);
    return false;
  }
  guint32 answer = 0;
  g_variant_get(reply, "(u)", &answer);
  if (answer == kInQueue && wait_in_queue) {
    // The bus has not yet seen the old connection go; the name follows
    // when it does (NameAcquired).
    waiting_for_name_ = true;
    return true;
  }
  if (answer != kPrimaryOwner) {
    g_printerr("igd1d: the name %s is owned by another connection\n", kServiceName);
    name_lost_(connection_, kServiceName, nullptr);
    *error = std::string("the name ") + kServiceName + " is owned by another connection";
    return false;
  }
  owns_name_ = true;
  name_acquired_(connection_, kServiceName, nullptr);
  return true;
}

void Host::on_name_signal(GDBusConnection *connection, const gchar *, const gchar *,
                          const gchar *, const gchar *signal, GVariant *parameters,
                          gpointer self) {
  auto *host = static_cast<Host *>(self);
  const gchar *name = nullptr;
  if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(s)"))) return;
  g_variant_get(parameters, "(&s)", &name);
  if (g_strcmp0(name, kServiceName) != 0) return;
  if (g_strcmp0(signal, "NameAcquired") == 0 && host->waiting_for_name_) {
    host->waiting_for_name_ = false;
    host->owns_name_ = true;
    host->name_acquired_(connection, name, nullptr);
    host->served_again();
    return;
  }
  if (g_strcmp0(signal, "NameLost") != 0 || !host->owns_name_) return;
  host->owns_name_ = false;
  host->name_lost_(connection, name, nullptr);
}

void Host::watch_connection() {
  closed_handler_ = g_signal_connect(connection_, "closed", G_CALLBACK(on_closed), this);
}

void Host::on_closed(GDBusConnection *connection, gboolean remote_peer_vanished, GError *error,
                     gpointer self) {
  auto *host = static_cast<Host *>(self);
  if (connection != host->connection_ || host->stopping_) return;
  host->connection_lost(error != nullptr        ? error->message
                        : remote_peer_vanished ? "the bus went away"
                                               : "closed by igd1d");
}

// One line for the first loss, then at most one a minute, which counts the
// losses in between: a client that makes the connection close again and
// again must not fill the log.
void Host::log_loss(const std::string &why) {
  const int64_t now = g_get_monotonic_time();
  if (loss_logged_at_us_ != 0 && now - loss_logged_at_us_ < kLossLogIntervalUs) {
    ++unlogged_losses_;
    return;
  }
  host_log(LOG_LEVEL_ERROR, "the bus connection closed: %s; connecting again (%u more losses since the last report)",
           why.c_str(), unlogged_losses_);
  g_printerr("igd1d: the bus connection closed: %s; connecting again\n", why.c_str());
  loss_logged_at_us_ = now;
  unlogged_losses_ = 0;
}

void Host::connection_lost(const std::string &why) {
  loss_reason_ = why;
  lost_at_us_ = g_get_monotonic_time();
  reconnect_attempt_ = 0;
  log_loss(why);
  try_reconnect();
}

void Host::try_reconnect() {
  std::string problem;
  if (reconnect(&problem)) {
    if (!waiting_for_name_) served_again();
    return;
  }
  if (reconnect_attempt_ >= G_N_ELEMENTS(kRetryPausesMs)) {
    const std::string reason = loss_reason_ + "; no new connection: " + problem;
    host_log(LOG_LEVEL_ERROR, "the bus connection closed: %s", reason.c_str());
    if (options_.on_connection_lost) options_.on_connection_lost(reason);
    return;
  }
  retry_source_ = g_timeout_add(kRetryPausesMs[reconnect_attempt_++], [](gpointer self) {
    auto *host = static_cast<Host *>(self);
    host->retry_source_ = 0;
    host->try_reconnect();
    return G_SOURCE_REMOVE;
  }, this);
}

void Host::served_again() {
  ++reconnections_;
  last_reconnect_us_ = g_get_monotonic_time() - lost_at_us_;
}

// Everything the library published goes onto a fresh connection with its
// state as it is (rows, kept listings, the objects' data); calls that were
// waiting on the old connection were answered with an error by the bus.
bool Host::reconnect(std::string *error) {
  // GDBus stops using a connection whose messages it cannot read but keeps
  // its socket open; the bus releases the name only once the socket goes.
  if (GIOStream *stream = g_dbus_connection_get_stream(connection_); !g_io_stream_is_closed(stream))
    g_io_stream_close(stream, nullptr, nullptr);
  g_autoptr(GError) bus_error = nullptr;
  GDBusConnection *fresh = connect_bus(options_, &bus_error);
  if (fresh == nullptr) {
    *error = bus_error->message;
    return false;
  }
  g_signal_handler_disconnect(connection_, closed_handler_);
  if (name_subscription_ != 0) g_dbus_connection_signal_unsubscribe(connection_, name_subscription_);
  name_subscription_ = 0;
  owns_name_ = false;
  move_registrations(fresh);
  GDBusConnection *previous = std::exchange(connection_, fresh);
  g_atomic_pointer_set(&g_pIdg1_connection, fresh);
  if (retired_ != nullptr) g_object_unref(retired_);
  retired_ = previous;
  watch_connection();
  return request_name(error, true);
}

void Host::stop() {
  stopping_ = true;
  waiting_for_name_ = false;
  if (retry_source_ != 0) g_source_remove(retry_source_);
  retry_source_ = 0;
  if (connection_ != nullptr && closed_handler_ != 0)
    g_signal_handler_disconnect(connection_, closed_handler_);
  closed_handler_ = 0;
  stop_system_lan_hosts();
  stop_event_channels();
  if (name_subscription_ != 0) {
    g_dbus_connection_signal_unsubscribe(connection_, name_subscription_);
    name_subscription_ = 0;
  }
  if (owns_name_) {
    // Answered before the connection goes, so that a host started next on
    // the same bus finds the name free.
    owns_name_ = false;
    g_autoptr(GVariant) released = g_dbus_connection_call_sync(
        connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "ReleaseName", g_variant_new("(s)", kServiceName), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000,
        nullptr, nullptr);
  }
  if (connection_ != nullptr) {
    route_row_callbacks(false);
    if (g_pIdg1_connection == connection_) g_pIdg1_connection = nullptr;
    g_dbus_connection_flush_sync(connection_, nullptr, nullptr);
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    drop_registrations();
    g_object_unref(connection_);
    connection_ = nullptr;
  }
  g_clear_object(&retired_);
  g_clear_object(&modules_connection_);
  stopping_ = false;
  clear_node_infos();
  forget_row_callbacks();
  stop_emulated_devices();
  forget_events();
  if (opened_store_) {
    mib::close_store();
    opened_store_ = false;
  }
}

}  // namespace igd1::host
