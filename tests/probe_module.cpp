// A small module library for the host tests: it links the real library (so
// the root entry and name callbacks are found through it) and adds one
// module of its own that records how the host drives it.
#include <gio/gio.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host_api.h"
#include "igd1_export.h"
#include "single_object.h"

namespace {

std::mutex g_mutex;
std::vector<int> g_calls;  // +instance for an add, -instance for a delete
GThread *g_last_thread = nullptr;
GDBusNodeInfo *probe_introspection_data = nullptr;

GVariant *probe_get(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                    const gchar *, GError **, gpointer) {
  std::lock_guard lock(g_mutex);
  return g_variant_new_uint32(guint32(g_calls.size()));
}

const GDBusInterfaceVTable kVTable = {nullptr, probe_get, nullptr, {nullptr}};

constexpr char kItems[] = "/com/wqx/igd1/Test/Probe/Items";

// A manager that answers AddObject only, and GetManagedObjects itself.
void probe_manager_call(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                        const gchar *method_name, GVariant *, GDBusMethodInvocation *invocation,
                        gpointer) {
  if (g_strcmp0(method_name, "AddObject") == 0)
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", "/com/wqx/igd1/Test/Probe/Items/7"));
}

void probe_get_managed_objects(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                               const gchar *, GVariant *, GDBusMethodInvocation *invocation,
                               gpointer) {
  g_dbus_method_invocation_return_value(
      invocation, g_variant_new_parsed("({objectpath '/com/wqx/igd1/Test/Probe/Items/7': "
                                       "{'com.wqx.igd1.ProbeItem': {'Seen': <true>}}},)"));
}

const GDBusInterfaceVTable kManagerVTable = {
    probe_manager_call, nullptr, nullptr,
    {nullptr, reinterpret_cast<gpointer>(probe_get_managed_objects)}};

void record(int call) {
  std::lock_guard lock(g_mutex);
  g_calls.push_back(call);
  g_last_thread = g_thread_self();
}

// Row callbacks of the other shapes, recorded as text.
std::vector<std::string> g_events;
std::vector<GThread *> g_event_threads;

int note(std::string event) {
  std::lock_guard lock(g_mutex);
  g_events.push_back(std::move(event));
  g_event_threads.push_back(g_thread_self());
  return 1;
}

int pair_added(unsigned parent, unsigned instance) {
  return note("pair + " + std::to_string(parent) + "/" + std::to_string(instance));
}
int pair_removed(unsigned parent, unsigned instance) {
  return note("pair - " + std::to_string(parent) + "/" + std::to_string(instance));
}
int action(unsigned instance, int added) {
  return note("action " + std::to_string(instance) + (added == DBUS_PROXY_ROW_ADDED ? " added" : " removed"));
}
std::string bytes(const void *record, size_t size) {
  std::string text;
  for (size_t i = 0; i < size; ++i) text += " " + std::to_string(static_cast<const uint8_t *>(record)[i]);
  return text;
}
int record_added(const void *record, size_t size) { return note("record +" + bytes(record, size)); }
int record_removed(const void *record, size_t size) { return note("record -" + bytes(record, size)); }

}  // namespace

IGD1_API void Probe_on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer user_data) {
  igd1::SingleObjectRegistration registration{"Probe.xml", &probe_introspection_data,
                                              "probe_introspection_data", nullptr, &kVTable};
  IGD1_REGISTER_SINGLE_OBJECT(registration, connection, user_data);
  GDBusObjectManagerServer *manager = g_dbus_object_manager_server_new(kItems);
  g_dbus_object_manager_server_set_connection_expand(manager, connection, &kManagerVTable, manager);

  dbus_proxy_row_callbacks pair{};
  pair.shape = DBUS_PROXY_ROW_PAIR;
  pair.add_pair = pair_added;
  pair.del_pair = pair_removed;
  pair.parent_offset = 4;
  dbus_proxy_row_callbacks flagged{};
  flagged.shape = DBUS_PROXY_ROW_ACTION;
  flagged.row_action = action;
  dbus_proxy_row_callbacks whole{};
  whole.shape = DBUS_PROXY_ROW_RECORD;
  whole.add_record = record_added;
  whole.del_record = record_removed;
  dbus_proxy_row_callbacks_reg("ProbePair", &pair);
  dbus_proxy_row_callbacks_reg("ProbeAction", &flagged);
  dbus_proxy_row_callbacks_reg("ProbeRecord", &whole);
}

// Started by another module, never by the host.
IGD1_API void DNSTunnel_on_bus_acquired(GDBusConnection *, const gchar *, gpointer) {
  record(-1000);
}

IGD1_API int Probe_add_interface(unsigned int instance) {
  record(int(instance));
  return 1;
}

IGD1_API int Probe_del_interface(unsigned int instance) {
  record(-int(instance));
  return 1;
}

IGD1_API void probe_reset() {
  std::lock_guard lock(g_mutex);
  g_calls.clear();
  g_last_thread = nullptr;
  g_events.clear();
  g_event_threads.clear();
}

IGD1_API std::vector<std::string> probe_row_events(std::vector<GThread *> *threads) {
  std::lock_guard lock(g_mutex);
  if (threads != nullptr) *threads = g_event_threads;
  return g_events;
}

IGD1_API std::vector<int> probe_calls(GThread **last_thread) {
  std::lock_guard lock(g_mutex);
  if (last_thread != nullptr) *last_thread = g_last_thread;
  return g_calls;
}
