#include "host.h"

#include <dlfcn.h>
#include <glib/gstdio.h>

#include <cstdarg>

#include <mutex>

#include "host_api.h"
#include "mib_store.h"
#include "notify_service.h"
#include "sys_paths.h"

namespace igd1::host {
namespace {

std::mutex g_node_mutex;
std::vector<GDBusNodeInfo *> g_node_infos;

using NameCallback = void (*)(GDBusConnection *, const gchar *, gpointer);
using RowCallback = int (*)(unsigned int);

const ModuleLibrary *g_row_library = nullptr;

struct RowEvent {
  RowCallback callback;
  unsigned int instance;
};

RowCallback row_callback(const ModuleLibrary &library, const mib::TableDef &table, bool inserted) {
  if (table.module == nullptr) return nullptr;
  std::string name = std::string(table.module) + (inserted ? "_add_interface" : "_del_interface");
  return reinterpret_cast<RowCallback>(library.symbol(name));
}

gboolean deliver_row_event(gpointer data) {
  auto *event = static_cast<RowEvent *>(data);
  event->callback(event->instance);
  return G_SOURCE_REMOVE;
}

void on_row_changed(const mib::TableDef &table, const uint8_t *row, bool inserted) {
  if (g_row_library == nullptr) return;
  // A change made by a bus call on the main loop shows at once, so that the
  // child exists when the caller gets the reply and can be used right away.
  // Changes from other threads reach the loop through a queue.
  if (g_main_context_is_owner(g_main_context_default())) {
    if (RowCallback callback = row_callback(*g_row_library, table, inserted)) callback(row[0]);
    return;
  }
  if (!queue_row_callback(*g_row_library, table, row[0], inserted))
    g_debug("no %s callback for table %s", inserted ? "add" : "del", table.name);
}

}  // namespace

bool queue_row_callback(const ModuleLibrary &library, const mib::TableDef &table,
                        unsigned instance, bool inserted) {
  RowCallback callback = row_callback(library, table, inserted);
  if (callback == nullptr) return false;
  auto *event = new RowEvent{callback, instance};
  GSource *source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, deliver_row_event, event, [](gpointer p) { delete static_cast<RowEvent *>(p); });
  g_source_attach(source, nullptr);
  g_source_unref(source);
  return true;
}

Settings &settings() {
  static Settings values;
  return values;
}

bool register_node_info(GDBusNodeInfo *node_info) {
  if (node_info == nullptr) return false;
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

void route_row_callbacks(const ModuleLibrary *library) {
  g_row_library = library;
  mib::set_row_listener(library != nullptr ? on_row_changed : nullptr);
}

bool Host::start(const Options &options, std::string *error) {
  settings().service_type = options.service_type;
  settings().province = options.province;

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

  g_autoptr(GError) bus_error = nullptr;
  switch (options.bus) {
    case BusKind::Session:
      connection_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &bus_error);
      break;
    case BusKind::System:
      connection_ = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &bus_error);
      break;
    case BusKind::Address:
      connection_ = g_dbus_connection_new_for_address_sync(
          options.address.c_str(),
          GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                               G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
          nullptr, nullptr, &bus_error);
      break;
  }
  if (connection_ == nullptr) {
    *error = std::string("cannot connect to the bus: ") + bus_error->message;
    return false;
  }
  // Losing the bus is losing the name: the name callback ends the process.
  g_dbus_connection_set_exit_on_close(connection_, FALSE);

  route_row_callbacks(&library_);

  // Bus acquired: the connection is published first because modules use it
  // outside bus calls, then the root object, then every module.
  g_pIdg1_connection = connection_;
  root_entry(connection_, kServiceName, nullptr);
  // The host must see the library's registrations to route multi-property
  // writes; if the dynamic linker bound them past the host, say so now.
  if (!has_registration(connection_, "/com/wqx/igd1")) {
    *error = "the library's object registrations do not reach the host's bus layer";
    return false;
  }
  for (const auto &entry : entries) entry.function(connection_, kServiceName, nullptr);

  owner_id_ = g_bus_own_name_on_connection(connection_, kServiceName,
                                           G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE, name_acquired,
                                           name_lost, nullptr, nullptr);
  return start_event_channels(options, library_, error);
}

void Host::stop() {
  stop_event_channels();
  if (owner_id_ != 0) {
    g_bus_unown_name(owner_id_);
    owner_id_ = 0;
  }
  if (connection_ != nullptr) {
    route_row_callbacks(nullptr);
    if (g_pIdg1_connection == connection_) g_pIdg1_connection = nullptr;
    g_dbus_connection_flush_sync(connection_, nullptr, nullptr);
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    forget_connection(connection_);
    g_object_unref(connection_);
    connection_ = nullptr;
  }
  clear_node_infos();
  if (opened_store_) {
    mib::close_store();
    opened_store_ = false;
  }
}

}  // namespace igd1::host
