// Row callbacks: a module declares the shape of its <Module>_add_interface
// and _del_interface (dbus_proxy_row_callbacks_reg), and rows of the store's
// tables, or devices that come and go, reach it through that shape on the
// main loop.  Nothing is looked up by name: a module that declared nothing
// is not called.
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>

#include "host.h"
#include "mib_store.h"
#include "tool.h"

namespace igd1::host {
namespace {

std::mutex g_callbacks_mutex;
std::unordered_map<std::string, dbus_proxy_row_callbacks> g_registered_callbacks;
// Modules already reported as having declared nothing.
std::set<std::string, std::less<>> g_undeclared_logged;
std::atomic<bool> g_routing{false};

// One row change on its way to its module, holding copies of the values.
struct RowEvent {
  dbus_proxy_row_callbacks callbacks;
  unsigned instance = 0;
  unsigned parent = 0;
  int flag = 0;
  bool inserted = false;
  std::vector<uint8_t> record;
};

bool fits_shape(const dbus_proxy_row_callbacks &c) {
  switch (c.shape) {
    case DBUS_PROXY_ROW_INSTANCE: return c.add_instance != nullptr || c.del_instance != nullptr;
    case DBUS_PROXY_ROW_PAIR: return c.add_pair != nullptr || c.del_pair != nullptr;
    case DBUS_PROXY_ROW_ACTION: return c.row_action != nullptr;
    case DBUS_PROXY_ROW_RECORD: return c.add_record != nullptr || c.del_record != nullptr;
    case DBUS_PROXY_ROW_INDEX_FLAG: return c.add_flagged != nullptr || c.del_index != nullptr;
  }
  return false;
}

bool serves(const dbus_proxy_row_callbacks &c, bool inserted) {
  switch (c.shape) {
    case DBUS_PROXY_ROW_INSTANCE: return (inserted ? c.add_instance : c.del_instance) != nullptr;
    case DBUS_PROXY_ROW_PAIR: return (inserted ? c.add_pair : c.del_pair) != nullptr;
    case DBUS_PROXY_ROW_ACTION: return true;
    case DBUS_PROXY_ROW_RECORD: return (inserted ? c.add_record : c.del_record) != nullptr;
    case DBUS_PROXY_ROW_INDEX_FLAG: return inserted ? c.add_flagged != nullptr : c.del_index != nullptr;
  }
  return false;
}

// The callbacks `module` declared for this change; false when it declared
// none (logged once per module) or none for this direction.
bool declared_callbacks(const char *module, bool inserted, dbus_proxy_row_callbacks *callbacks) {
  if (module == nullptr || *module == '\0') return false;
  {
    std::lock_guard lock(g_callbacks_mutex);
    auto found = g_registered_callbacks.find(module);
    if (found != g_registered_callbacks.end()) {
      *callbacks = found->second;
      return serves(*callbacks, inserted);
    }
    if (!g_undeclared_logged.insert(module).second) return false;
  }
  host_log(LOG_LEVEL_WARN, "module %s declared no row callbacks; its rows are not announced to it",
           module);
  return false;
}

// Reads the bytes the declaration points at, when the record holds them.
template <typename T>
std::optional<T> field_at(const std::vector<uint8_t> &record, size_t offset) {
  if (offset > record.size() || record.size() - offset < sizeof(T)) return std::nullopt;
  T value{};
  std::memcpy(&value, record.data() + offset, sizeof value);
  return value;
}

// A copy of everything the callback is given: the store's row is its own
// and may be gone or changed by the time the loop gets to it.
RowEvent row_event(const dbus_proxy_row_callbacks &callbacks, const mib::TableDef &table,
                   const uint8_t *row, mib::RowKey key, bool inserted) {
  RowEvent event{callbacks, mib::key_instance(key), 0, 0, inserted, {}};
  if (row != nullptr) {
    event.record.assign(row, row + table.row_size);
  } else {
    event.record.assign(table.row_size, 0);
    mib::set_row_key(table, event.record.data(), key);
  }
  if (callbacks.shape == DBUS_PROXY_ROW_PAIR)
    event.parent = field_at<uint32_t>(event.record, callbacks.parent_offset).value_or(0);
  if (callbacks.shape == DBUS_PROXY_ROW_INDEX_FLAG)
    event.flag = field_at<uint8_t>(event.record, callbacks.flag_offset) == callbacks.flag_value;
  return event;
}

void deliver(const RowEvent &event) {
  const dbus_proxy_row_callbacks &c = event.callbacks;
  switch (c.shape) {
    case DBUS_PROXY_ROW_INSTANCE:
      (event.inserted ? c.add_instance : c.del_instance)(event.instance);
      break;
    case DBUS_PROXY_ROW_PAIR:
      (event.inserted ? c.add_pair : c.del_pair)(event.parent, event.instance);
      break;
    case DBUS_PROXY_ROW_ACTION:
      c.row_action(event.instance, event.inserted ? DBUS_PROXY_ROW_ADDED : DBUS_PROXY_ROW_REMOVED);
      break;
    case DBUS_PROXY_ROW_RECORD:
      (event.inserted ? c.add_record : c.del_record)(event.record.data(), event.record.size());
      break;
    case DBUS_PROXY_ROW_INDEX_FLAG:
      if (event.inserted)
        c.add_flagged(int(event.instance), event.flag);
      else
        c.del_index(int(event.instance));
      break;
  }
}

void queue_row_event(RowEvent event) {
  GSource *source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(
      source,
      [](gpointer data) {
        deliver(*static_cast<RowEvent *>(data));
        return G_SOURCE_REMOVE;
      },
      new RowEvent(std::move(event)), [](gpointer p) { delete static_cast<RowEvent *>(p); });
  g_source_attach(source, nullptr);
  g_source_unref(source);
}

// A change made by a bus call on the main loop shows at once, so that the
// child exists when the caller gets the reply and can be used right away.
// Changes from other threads reach the loop through a queue.
void deliver_or_queue(RowEvent event) {
  if (g_main_context_is_owner(g_main_context_default())) {
    deliver(event);
    return;
  }
  queue_row_event(std::move(event));
}

void on_row_changed(const mib::TableDef &table, const uint8_t *row, bool inserted) {
  dbus_proxy_row_callbacks callbacks{};
  if (!declared_callbacks(table.module, inserted, &callbacks)) return;
  deliver_or_queue(row_event(callbacks, table, row, mib::row_key_of(table, row), inserted));
}

}  // namespace

bool queue_row_callback(const mib::TableDef &table, uint64_t key, bool inserted) {
  dbus_proxy_row_callbacks callbacks{};
  if (!declared_callbacks(table.module, inserted, &callbacks)) return false;
  // An announced insertion carries the row as the store has it now; a
  // removed row is gone and only its key is known.
  std::optional<std::vector<uint8_t>> row;
  if (inserted) row = mib::table_row(table, key);
  queue_row_event(row_event(callbacks, table, row ? row->data() : nullptr, key, inserted));
  return true;
}

bool announce_device(const char *module, uint32_t index, bool flag, bool inserted) {
  if (!g_routing) return false;
  dbus_proxy_row_callbacks callbacks{};
  if (!declared_callbacks(module, inserted, &callbacks)) return false;
  if (callbacks.shape == DBUS_PROXY_ROW_RECORD) {
    host_log(LOG_LEVEL_WARN, "module %s takes records, which a device does not have", module);
    return false;
  }
  RowEvent event{callbacks, index, 0, flag ? 1 : 0, inserted, {}};
  deliver_or_queue(std::move(event));
  return true;
}

bool register_row_callbacks(const char *module, const dbus_proxy_row_callbacks *callbacks) {
  if (module == nullptr || *module == '\0') return false;
  std::lock_guard lock(g_callbacks_mutex);
  if (callbacks == nullptr) {
    g_registered_callbacks.erase(module);
    return true;
  }
  if (!fits_shape(*callbacks)) return false;
  g_registered_callbacks[module] = *callbacks;
  return true;
}

void route_row_callbacks(bool on) {
  g_routing = on;
  mib::set_row_listener(on ? on_row_changed : nullptr);
}

void forget_row_callbacks() {
  std::lock_guard lock(g_callbacks_mutex);
  g_registered_callbacks.clear();
  g_undeclared_logged.clear();
}

}  // namespace igd1::host
