// Framework services shared by the object modules.
#include "dbus_proxy_api.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host_api.h"
#include "igd1_assert.h"
#include "mib_api.h"
#include "sys_files.h"
#include "sys_paths.h"
#include "tool.h"

GDBusNodeInfo *dbus_proxy_readxml(const char *file_name) {
  // Production paths fit the gateway's 128-byte buffers; under a root folder
  // they grow, so the path is built without a fixed limit.
  std::string path = igd1::sys_path(std::string(igd1::path::kDbusXmlDir) + file_name);

  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    std::printf("Get %s size failed \n ", path.c_str());
    return nullptr;
  }
  FILE *stream = std::fopen(path.c_str(), "r");
  if (stream == nullptr) {
    std::printf("open file %s failed\n", path.c_str());
    return nullptr;
  }
  const size_t size = size_t(st.st_size);
  g_autofree gchar *text = static_cast<gchar *>(g_malloc0(size + 1));
  size_t got = std::fread(text, 1, size, stream);
  text[got] = '\0';
  std::fclose(stream);

  g_autoptr(GError) error = nullptr;
  GDBusNodeInfo *retNodeInfo = g_dbus_node_info_new_for_xml(text, &error);
  if (error != nullptr) {
    g_warning("D-Bus server init failed: %s", error->message);
    if (retNodeInfo != nullptr) g_dbus_node_info_unref(retNodeInfo);
    return nullptr;
  }
  IGD1_ASSERT(retNodeInfo != NULL);
  std::printf("%s loaded !\n", path.c_str());
  return retNodeInfo;
}

// ---- property-change signals ----------------------------------------------------

namespace {

constexpr char kStandardInterface[] = "org.freedesktop.DBus.Properties";

GVariant *change_body(const char *interface_name, const igd1::ChangeList &changes) {
  // Typed constructors rather than a format string: cheaper to put together.
  GVariant *items[] = {g_variant_new_string(interface_name), changes.end(),
                       g_variant_new_array(G_VARIANT_TYPE_STRING, nullptr, 0)};
  return g_variant_ref_sink(g_variant_new_tuple(items, G_N_ELEMENTS(items)));
}

// Sends one PropertiesChanged; false when the connection is closed.
bool emit_one(GDBusConnection *connection, const char *path, const char *interface,
              GVariant *body) {
  GError *local_error = nullptr;
  g_dbus_connection_emit_signal(connection, nullptr, path, interface, "PropertiesChanged", body,
                                &local_error);
  // A closed connection has nobody to tell: the host replaces it, and
  // clients read the values again from the new one.
  if (g_error_matches(local_error, G_IO_ERROR, G_IO_ERROR_CLOSED)) {
    g_error_free(local_error);
    return false;
  }
  IGD1_ASSERT(local_error == NULL);
  return true;
}

// The standard copies of the signals raised by the call being handled on
// the main loop, in order; only the main loop touches them.
struct StandardCopy {
  GDBusConnection *connection;  // held
  std::string path;
  GVariant *body;  // held
};
std::vector<StandardCopy> g_standard_copies;

gboolean send_standard_copies(gpointer) {
  std::vector<StandardCopy> copies;
  copies.swap(g_standard_copies);
  for (StandardCopy &copy : copies) {
    emit_one(copy.connection, copy.path.c_str(), kStandardInterface, copy.body);
    g_variant_unref(copy.body);
    g_object_unref(copy.connection);
  }
  return G_SOURCE_REMOVE;
}

}  // namespace

// The API's own signal leaves at once, inside the handler, so it is on the
// wire before the call's reply, as from any service that announces a change
// where it makes it.  When the host asks for it, the standard signal with
// the same (interface, changes, invalidated) body follows, so that generic
// client caches (GDBusProxy and the like) follow the values too: on the main
// loop right after the reply, from a source of high priority that runs
// before the loop handles another call (other threads send it at once).
// Both before the reply, the answer of every write waited for a second
// signal's serialisation; both after it, their work competed with the bus
// daemon and the client for two processors while the reply and the next
// call were on their way.
void emit_change_signal(GDBusConnection *connection, const char *path, const char *interface,
                        GVariant *body) {
  if (!emit_one(connection, path, interface, body) || dbus_proxy_get_standard_signals() == 0)
    return;
  if (!g_main_context_is_owner(g_main_context_default())) {
    emit_one(connection, path, kStandardInterface, body);
    return;
  }
  if (g_standard_copies.empty()) {
    GSource *source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_HIGH);
    g_source_set_callback(source, send_standard_copies, nullptr, nullptr);
    g_source_set_static_name(source, "igd1 standard change signals");
    g_source_attach(source, g_main_context_default());
    g_source_unref(source);
  }
  g_standard_copies.push_back(
      {G_DBUS_CONNECTION(g_object_ref(connection)), path, g_variant_ref(body)});
}

namespace igd1 {

ChangeList::~ChangeList() {
  for (GVariant *entry : entries_) g_variant_unref(entry);
}

void ChangeList::add(const char *name, GVariant *value) {
  GVariant *owned = g_variant_ref_sink(value);
  entries_.push_back(g_variant_ref_sink(
      g_variant_new_dict_entry(g_variant_new_string(name), g_variant_new_variant(owned))));
  g_variant_unref(owned);
}

void ChangeList::add_entry(GVariant *entry) { entries_.push_back(g_variant_ref_sink(entry)); }

GVariant *ChangeList::end() const {
  return g_variant_new_array(G_VARIANT_TYPE("{sv}"), entries_.data(), entries_.size());
}

void emit_changes(GDBusConnection *connection, const char *path, const char *interface_name,
                  ChangeList &&changes) {
  GVariant *body = change_body(interface_name, changes);
  emit_change_signal(connection, path, DBUSPROXY_PROPERTIES_INTERFACE, body);
  g_variant_unref(body);
}

}  // namespace igd1

namespace {

// The raw value behind `value` as a floating bus value, or NULL for a type
// code this converter does not handle (the variant code included).
GVariant *raw_to_variant(int type, const void *value) {
  switch (type) {
    case DBUSPROXY_TYPE_BOOLEAN:
      return g_variant_new_boolean(*static_cast<const int32_t *>(value) != 0);
    case DBUSPROXY_TYPE_BYTE:
      return g_variant_new_byte(*static_cast<const uint8_t *>(value));
    case DBUSPROXY_TYPE_INT16:
      return g_variant_new_int16(*static_cast<const int16_t *>(value));
    case DBUSPROXY_TYPE_UINT16:
      return g_variant_new_uint16(*static_cast<const uint16_t *>(value));
    case DBUSPROXY_TYPE_INT32:
      return g_variant_new_int32(*static_cast<const int32_t *>(value));
    case DBUSPROXY_TYPE_UINT32:
      return g_variant_new_uint32(*static_cast<const uint32_t *>(value));
    case DBUSPROXY_TYPE_STRING: {
      // Texts come from the configuration store, which may hold bytes in
      // another character set; a bus string must be UTF-8.
      const char *text = static_cast<const char *>(value);
      if (g_utf8_validate(text, -1, nullptr)) return g_variant_new_string(text);
      g_autofree gchar *valid = g_utf8_make_valid(text, -1);
      return g_variant_new_string(valid);
    }
    default:
      return nullptr;
  }
}

// The change dictionary.  Its type is fixed rather than inferred from the
// first entry, so that a builder whose first entry was refused still ends in
// a valid (empty) dictionary.
GVariantBuilder *new_change_builder() { return g_variant_builder_new(G_VARIANT_TYPE("a{sv}")); }

// Sends the dictionary of `builder` and releases the builder.
void emit_and_release(GVariantBuilder *builder, const char *object_path,
                      const char *interface_name) {
  GDBusConnection *connection = g_pIdg1_connection;
  if (connection != nullptr) {
    DBUS_LOG(LOG_LEVEL_DETAIL, "emit signal: to %s::%s ", object_path, interface_name);
    GVariant *body = g_variant_ref_sink(g_variant_new(
        "(s@a{sv}@as)", interface_name, g_variant_builder_end(builder), g_variant_new_strv(nullptr, 0)));
    emit_change_signal(connection, object_path, DBUSPROXY_PROPERTIES_INTERFACE, body);
    g_variant_unref(body);
  } else {
    DBUS_LOG(LOG_LEVEL_DEBUG, "dbus_proxy_uds_send_signal: error pconnect(NULL) ");
  }
  g_variant_builder_unref(builder);
}

}  // namespace

int dbusproxy_build_properties_changed_signal(GVariantBuilder **builder, void * /*reserved*/,
                                              const char *property_name, int type,
                                              const void *value) {
  if (*builder == nullptr) *builder = new_change_builder();
  GVariant *converted = nullptr;
  if (type == DBUSPROXY_TYPE_VARIANT) {
    converted = static_cast<GVariant *>(const_cast<void *>(value));
  } else {
    converted = raw_to_variant(type, value);
  }
  if (converted == nullptr) {
    DBUS_LOG(LOG_LEVEL_DEBUG, "error property type %d  ", type);
    return 0;
  }
  g_variant_builder_add(*builder, "{sv}", property_name, converted);
  return 1;
}

void dbusproxy_emit_properties_changed_signal_only(GVariantBuilder **builder,
                                                   const char *object_path,
                                                   const char *interface_name) {
  if (builder == nullptr || *builder == nullptr) return;
  emit_and_release(*builder, object_path, interface_name);
}

int dbusproxy_emit_properties_changed_signal(const char *object_path, const char *interface_name,
                                             const char *property_name, int type,
                                             const void *value) {
  GVariantBuilder *builder = new_change_builder();
  GVariant *converted = raw_to_variant(type, value);
  if (converted == nullptr) {
    DBUS_LOG(LOG_LEVEL_DEBUG, "error property type %d  ", type);
    g_variant_builder_unref(builder);
    return 0;
  }
  g_variant_builder_add(builder, "{sv}", property_name, converted);
  emit_and_release(builder, object_path, interface_name);
  return 1;
}

int dbusproxy_build_array_variant(GVariantBuilder **builder, int type, const void *value,
                                  int finish, GVariant **result) {
  if (finish == 0) {
    if (type != DBUSPROXY_TYPE_STRING) return 0;
    if (*builder == nullptr) *builder = g_variant_builder_new(G_VARIANT_TYPE_STRING_ARRAY);
    GVariant *text = raw_to_variant(type, value);
    g_variant_builder_add_value(*builder, text);
    return 1;
  }
  if (*builder == nullptr) return 0;
  *result = g_variant_ref_sink(g_variant_builder_end(*builder));
  g_variant_builder_unref(*builder);
  *builder = nullptr;
  return 1;
}

// ---- shared tools ---------------------------------------------------------------

int check_dbus_cts_running(void) {
  // The marker switches checks off, so only one that root put there counts:
  // in /tmp any user could create it.
  return igd1::trusted_marker(igd1::path::kCtsMarker) ? 1 : 0;
}

// Both tools look entries up in a hash set, so that lists of thousands of
// entries merge and slice in linear time.
int dbus_proxy_strvmerge(gchar ***list, gchar **additions, gchar ***added) {
  if (list == nullptr) return 0;
  const guint n = *list != nullptr ? g_strv_length(*list) : 0;
  const guint m = additions != nullptr ? g_strv_length(additions) : 0;
  if (m == 0) return int(n);

  gchar **target = g_renew(gchar *, *list, n + m + 1);
  gchar **out = nullptr;
  if (added != nullptr) {
    out = g_new0(gchar *, m + 1);
    *added = out;
  }
  std::unordered_set<std::string_view> present(target, target + n);
  guint count = n;
  guint out_count = 0;
  for (guint i = 0; i < m; i++) {
    if (!present.insert(additions[i]).second) continue;
    target[count++] = g_strdup(additions[i]);
    if (out != nullptr) out[out_count++] = g_strdup(additions[i]);
  }
  for (guint k = count; k <= n + m; k++) target[k] = nullptr;
  *list = target;
  return int(count);
}

int dbus_proxy_strvslice(gchar ***list, gchar **removals, gchar ***removed) {
  if (list == nullptr || removals == nullptr) return 0;
  const guint n = *list != nullptr ? g_strv_length(*list) : 0;
  const guint m = g_strv_length(removals);
  if (n == 0 || m == 0) return int(n);

  // Each removal text and the position of its first occurrence.
  std::unordered_map<std::string_view, guint> wanted;
  wanted.reserve(m);
  for (guint j = 0; j < m; j++) wanted.emplace(removals[j], j);
  std::vector<bool> found(m, false);
  gchar **old = *list;
  gchar **kept = g_new(gchar *, n + 1);
  guint count = 0;
  for (guint i = 0; i < n; i++) {
    auto hit = wanted.find(old[i]);
    if (hit == wanted.end()) {
      kept[count++] = old[i];
      continue;
    }
    found[hit->second] = true;
    g_free(old[i]);
  }
  kept[count] = nullptr;
  if (removed != nullptr) {
    gchar **out = g_new0(gchar *, m + 1);
    guint out_count = 0;
    for (guint j = 0; j < m; j++)
      if (found[j]) out[out_count++] = g_strdup(removals[j]);
    if (out_count == 0) g_clear_pointer(&out, g_free);
    *removed = out;
  }
  g_free(old);
  *list = kept;
  return int(count);
}

// ---- delayed save of the extra configuration values -------------------------------

namespace {

constexpr unsigned kExtraMibSaveDelayMs = 10000;
// Room of the record line, as the gateway's fixed buffer had it.
constexpr size_t kSaveRecordSize = 128;

std::atomic<unsigned> g_save_delay_ms{kExtraMibSaveDelayMs};
// Source of the pending save, 0 when none is.
std::mutex g_save_mutex;
guint g_save_source_id = 0;
// Saves completed since the process started.
std::atomic<uint32_t> g_save_count{0};

// Writes "[<time>] write <count>" to the record file.  The time is in the
// classic ctime form, which ends in a line feed, so the record spans two
// lines.
void write_save_record(uint32_t count) {
  time_t now = time(nullptr);
  char when[32] = "";
  if (ctime_r(&now, when) == nullptr) when[0] = '\0';
  char record[kSaveRecordSize];
  int length = std::snprintf(record, sizeof record, "[%s] write %u\n", when, unsigned(count));
  if (length < 0) return;
  size_t size = std::min(size_t(length), sizeof record - 1);

  // The record lives in a directory every user may write: it is replaced
  // as a whole, never written through a link planted there.
  std::string error;
  if (!igd1::write_private_file(igd1::path::kExtraMibSaveRecord, std::string_view(record, size), &error))
    DBUS_LOG(LOG_LEVEL_ERROR, "cannot write %s", error.c_str());
}

}  // namespace

static gboolean _do_save_extra_mib(gpointer /*data*/) {
  {
    // This source is finished; forget it unless a newer save replaced it.
    std::lock_guard lock(g_save_mutex);
    GSource *self = g_main_current_source();
    if (self != nullptr && g_source_get_id(self) == g_save_source_id) g_save_source_id = 0;
  }
  DBUS_LOG(LOG_LEVEL_EMERGENCY, "Do save extra MIB...");
  dbus_do_ExtraMIB2flash();
  uint32_t count = g_save_count.fetch_add(1) + 1;
  write_save_record(count);
  return G_SOURCE_REMOVE;
}

void dbus_proxy_save_extra_mib(void) {
  std::lock_guard lock(g_save_mutex);
  if (g_save_source_id != 0) {
    GSource *pending = g_main_context_find_source_by_id(nullptr, g_save_source_id);
    if (pending != nullptr) g_source_destroy(pending);
  }
  g_save_source_id = g_timeout_add(g_save_delay_ms.load(), _do_save_extra_mib, nullptr);
}

unsigned igd1::set_extra_mib_save_delay(unsigned milliseconds) {
  return g_save_delay_ms.exchange(milliseconds);
}

// ---- hardware flow table ----------------------------------------------------------

namespace {
// Flush mode asked of the platform: the whole table.
constexpr int kHwnatFlushAll = 2;
}  // namespace

int dbus_proxy_flush_hwnat(void) { return ykr_fc_flow_flush2(kHwnatFlushAll); }
