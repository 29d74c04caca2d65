// Operations and maintenance: /com/wqx/igd1/Ovatrix/OMDiag with its readings,
// thresholds and optical alarms, and the watch lists of services below it
// (.../Resource with CPU and memory limits, .../Process).  Every value and
// row is the configuration library's, reached through OMDiag_handle_action;
// the module keeps the managers and the documents only.  Nothing here is
// announced: readings change without writes.
#include <array>
#include <cstring>
#include <string>
#include <utility>

#include "mib_diag.h"
#include "omdiag.h"

namespace {

using igd1::CallContext;
using igd1::Property;
using igd1::SingleObject;

constexpr char kInvalidValue[] = "Invalid parameter value";

// The reply of an action (a floating parameter is taken), or nullptr.
GVariant *act(uint32_t code, GVariant *parameter) {
  g_autoptr(GVariant) held = parameter != nullptr ? g_variant_ref_sink(parameter) : nullptr;
  GVariant *reply = nullptr;
  if (OMDiag_handle_action(code, parameter, &reply) == 0) return nullptr;
  return reply;
}

// ---- the object ----------------------------------------------------------------------

struct Reading {
  const char *name;
  const char *type;
  uint32_t read;
  uint32_t write;  // 0: read only
  const char *log;
  const char *error;
};

constexpr Reading kReadings[] = {
    {"CPUTemperature", "u", 6, 0, "Get OMD OMDIAG_GETCPUTEMP failed!",
     "Get OMD OMDIAG_GETCPUTEMP failed!"},
    {"CPUTempThreshold", "u", 17, 21, "mib_get OMD OMDIAG_GETCPUTEMPTHRES failed!",
     "Get OMD CPUTempThreshold failed!"},
    {"PONTempThreshold", "u", 18, 22, "mib_get OMD OMDIAG_GETPONTEMPTHRES failed!",
     "Get OMD OMDIAG_GETPONTEMPTHRES failed!"},
    {"SystemFlashThreshold", "u", 19, 14, "mib_get OMD OMDIAG_SETSYSTEMFLASHTHRESHOLD failed!",
     "Get OMD OMDIAG_SETSYSTEMFLASHTHRESHOLD failed!"},
    {"ConntrackNumber", "u", 13, 0, "mib_get OMD OMDIAG_GETCONNCONNTRACKNNUM failed!",
     "Get OMD OMDIAG_GETCONNCONNTRACKNNUM failed!"},
    {"ConnNumThreshold", "u", 20, 12, "mib_get OMD OMDIAG_GETMAXCONNNNUM failed!",
     "Get OMD OMDIAG_GETMAXCONNNNUM failed!"},
    {"LAN1NegoRate", "u", 8, 0, "mib_get OMD OMDIAG_GETLAN1PORTRATE failed!",
     "Get OMD OMDIAG_GETLAN1PORTRATE failed!"},
    {"LAN2NegoRate", "u", 9, 0, "mib_get OMD OMDIAG_GETLAN2PORTRATE failed!",
     "Get OMD OMDIAG_GETLAN2PORTRATE failed!"},
    {"LAN3NegoRate", "u", 10, 0, "mib_get OMD OMDIAG_GETLAN3PORTRATE failed!",
     "Get OMD OMDIAG_GETLAN3PORTRATE failed!"},
    {"LAN4NegoRate", "u", 11, 0, "mib_get OMD OMDIAG_GETLAN4PORTRATE failed!",
     "Get OMD OMDIAG_GETLAN4PORTRATE failed!"},
    {"DnOptTxPWREnable", "b", 41, 48, "mib_get OMD OMDIAG_GETDNOPTTXPWRENABLE failed!",
     "Get OMD OMDIAG_GETDNOPTTXPWRENABLE failed!"},
    {"DnOptTxPower", "d", 42, 0, "mib_get OMD OMDIAG_GETDNOPTTXPOWER failed!",
     "Get OMD OMDIAG_GETDNOPTTXPOWER failed!"},
    {"DnOptTxPWRThresholdH", "d", 43, 49, "mib_get OMD OMDIAG_GETDNOPTTXPWRTHRESHOLDH failed!",
     "Get OMD OMDIAG_GETDNOPTTXPWRTHRESHOLDH failed!"},
    {"DnOptTxPWRThresholdL", "d", 44, 50, "mib_get OMD OMDIAG_GETDNOPTTXPWRTHRESHOLDL failed!",
     "Get OMD OMDIAG_GETDNOPTTXPWRTHRESHOLDL failed!"},
    {"DnOptRxPWREnable", "b", 45, 51, "mib_get OMD OMDIAG_GETDNOPTRXPWRENABLE failed!",
     "Get OMD OMDIAG_GETDNOPTRXPWRENABLE failed!"},
    {"DnOptRxPWRThresholdH", "d", 46, 52, "mib_get OMD OMDIAG_GETDNOPTRXPWRTHRESHOLDH failed!",
     "Get OMD OMDIAG_GETDNOPTRXPWRTHRESHOLDH failed!"},
    {"DnOptRxPWRThresholdL", "d", 47, 53, "mib_get OMD OMDIAG_GETDNOPTRXPWRTHRESHOLDL failed!",
     "Get OMD OMDIAG_GETDNOPTRXPWRTHRESHOLDL failed!"},
};
constexpr size_t kReadingCount = std::size(kReadings);

const Reading &reading_of(const Property &property);

// The value of a reply: the one element of (u), (b) and (d), the first of
// (uus); it must have the property's type.
GVariant *read_reading(const CallContext &call, const SingleObject &, const Property &property) {
  const Reading &reading = reading_of(property);
  g_autoptr(GVariant) reply = act(reading.read, nullptr);
  if (reply == nullptr || g_variant_n_children(reply) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "%s", reading.log);
    igd1::set_invalid_args(call.error, "%s", reading.error);
    return nullptr;
  }
  g_autoptr(GVariant) value = g_variant_get_child_value(reply, 0);
  if (std::strcmp(g_variant_get_type_string(value), reading.type) != 0) {
    igd1::set_invalid_args(call.error, "invalid UTF-8 sting value of %s", reading.name);
    return nullptr;
  }
  switch (reading.type[0]) {
    case 'u': {
      const uint32_t number = g_variant_get_uint32(value);
      DBUS_LOG(LOG_LEVEL_DETAIL, "%s value: %u", reading.name, number);
      return g_variant_new_uint32(number);
    }
    case 'b': {
      const gboolean on = g_variant_get_boolean(value);
      DBUS_LOG(LOG_LEVEL_DETAIL, "%s value: %d", reading.name, on);
      return g_variant_new_boolean(on);
    }
    default: {
      const double real = g_variant_get_double(value);
      DBUS_LOG(LOG_LEVEL_DETAIL, "%s value: %lf", reading.name, real);
      return g_variant_new_double(real);
    }
  }
}

bool write_reading(const CallContext &call, const SingleObject &, const Property &property,
                   const char *name, GVariant *value, igd1::WriteFlags *flags) {
  const Reading &reading = reading_of(property);
  if (reading.type[0] == 'u') DBUS_LOG(LOG_LEVEL_INFO, "set %s value: %u", name, g_variant_get_uint32(value));
  g_autoptr(GVariant) parameter = g_variant_ref_sink(g_variant_new_tuple(&value, 1));
  g_autoptr(GVariant) reply = act(reading.write, parameter);
  if (reply == nullptr) {
    igd1::set_invalid_args(call.error, kInvalidValue);
    return false;
  }
  flags->changed = 1;
  return true;
}

constexpr Property property_of(const Reading &reading) {
  return {.name = reading.name,
          .type = reading.type,
          .index = int(reading.read),
          .on_failure = igd1::OnFailure::Error,
          .failure_log = reading.log,
          .failure_error = reading.error,
          .read = read_reading,
          .write = reading.write != 0 ? write_reading : nullptr,
          .change_signal = igd1::ChangeSignal::Never};
}

template <size_t... I>
constexpr std::array<Property, kReadingCount> properties_of(std::index_sequence<I...>) {
  return {property_of(kReadings[I])...};
}
constexpr std::array<Property, kReadingCount> kProperties =
    properties_of(std::make_index_sequence<kReadingCount>());

const Reading &reading_of(const Property &property) {
  return kReadings[size_t(&property - kProperties.data())];
}

// The four methods hand their arguments to their action and its reply back.
template <uint32_t Code>
void pass_through(const igd1::PendingCall &call, GVariant *parameters) {
  g_autoptr(GVariant) reply = act(Code, parameters);
  if (reply == nullptr) {
    call.fail_named("com.wqx.igd1.OMDiag", kInvalidValue);
    return;
  }
  call.reply(reply);
}

constexpr igd1::Method kMethods[] = {
    {.name = "CollectWiFiInfo", .handler = pass_through<1>},
    {.name = "GetWiFiProcess", .handler = pass_through<38>},
    {.name = "GetServicePID", .handler = pass_through<39>},
    {.name = "GetServiceProcess", .handler = pass_through<40>},
};

constexpr char kPath[] = "/com/wqx/igd1/Ovatrix/OMDiag";
constexpr char kWithWiFi[] = "OMDiag_fttr_master.xml";
constexpr char kWithoutWiFi[] = "OMDiag_no_wifi.xml";

// The gateway's capability chooses the document: without WiFi the object
// has no WiFi methods.  A capability that cannot be read counts as none.
const igd1::StartChoice *document_for_capability() {
  static constexpr igd1::StartChoice kWiFi = {.xml_file = kWithWiFi};
  static constexpr igd1::StartChoice kNoWiFi = {.xml_file = kWithoutWiFi};
  uint32_t with_wifi = 0;
  device_capability_handler(1, &with_wifi);
  return with_wifi != 0 ? &kWiFi : &kNoWiFi;
}

constexpr SingleObject kObject = {
    .path = kPath,
    .xml_file = kWithWiFi,
    .properties = kProperties,
    .wording = igd1::logs_methods,
    .multi_failure = igd1::MultiFailure::Stop,
    .choose = document_for_capability,
    .methods = kMethods,
};

// ---- the watch lists -----------------------------------------------------------------

struct WatchList;
const WatchList &list_of(const char *object_path);
constexpr char kNoIdleIndex[] = "AddObject NO idle index for MIB_PROCESS_EXCEP_TBL";
constexpr size_t kSingleWriteName = 32;
constexpr size_t kMultiWriteName = 63;
constexpr uint32_t kHighestIndex = kOmdTableFull - 1;

// A row's field (Property::index is the field's number in the actions),
// read for the row the call's instance names.
GVariant *read_field(const CallContext &call, const SingleObject &, const Property &property);
bool write_field(const CallContext &call, const SingleObject &, const Property &property,
                 const char *name, GVariant *value, igd1::WriteFlags *flags);

constexpr Property list_field(const char *name, const char *type, int field, const char *log,
                              const char *error) {
  return {.name = name, .type = type, .index = field, .on_failure = igd1::OnFailure::Error,
          .failure_log = log, .failure_error = error, .read = read_field, .write = write_field,
          .change_signal = igd1::ChangeSignal::Never};
}

constexpr Property kResourceFields[] = {
    list_field("ServiceName", "s", 1, "mib_get OMD OMDIAG_GETRESOURCE ServiceName failed!",
               "mib_get OMD OMDIAG_GETRESOURCE ServiceName failed!"),
    list_field("CPUPercentage", "u", 2, "mib_get OMD OMDIAG_GETRESOURCE CPUPercentage failed!",
               "mib_get OMD OMDIAG_GETRESOURCE CPUPercentage failed!"),
    list_field("MEMPercentage", "u", 3, "mib_get OMD OMDIAG_GETRESOURCE MEMPercentage failed!",
               "mib_get OMD OMDIAG_GETRESOURCE MEMPercentage failed!"),
};
constexpr Property kProcessFields[] = {
    list_field("ServiceName", "s", 1, "mib_get OMD OMDIAG_PROCESSGETINFO failed!",
               "Get OMD OMDIAG_PROCESSGETINFO failed!"),
};

constexpr char kResourcePath[] = "/com/wqx/igd1/Ovatrix/OMDiag/Resource";
constexpr char kProcessPath[] = "/com/wqx/igd1/Ovatrix/OMDiag/Process";

// The rows' wording of the engine's texts.
const char *row_wording(igd1::ObjectText text, int *) {
  return text == igd1::ObjectText::UnknownLog ? igd1::kUnknownLineWithStop : nullptr;
}

// The rows' interfaces, served per row with the row's index as the instance.
constexpr SingleObject kResourceRow = {
    .path = kResourcePath,
    .xml_file = "OMDiagResource.xml",
    .properties = kResourceFields,
    .wording = row_wording,
};
constexpr SingleObject kProcessRow = {
    .path = kProcessPath,
    .xml_file = "OMDiagProcess.xml",
    .properties = kProcessFields,
    .wording = row_wording,
};

struct WatchList {
  const igd1::Collection &collection;
  const SingleObject &row;
  // Actions: row count, index at a position, free index, create, delete,
  // read a field, write fields.
  uint32_t count, index_at, free_index, create, remove, read, write;
  bool count_first;  // AddObject and DeleteObject begin with the row count
  const char *count_failed;
  const char *index_failed;
  const char *total_log;
  const char *full_log;
  const char *create_failed;
  const char *delete_failed;
};

// The row a child path names, or 0 (logged) for a path that names none.
uint32_t row_of(const WatchList &list, const char *object_path, const char *function) {
  const uint32_t index = uint32_t(igd1::child_instance(list.collection, object_path));
  if (index == 0)
    DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d], get object path error invalid object path %s",
             function, __LINE__, object_path);
  return index;
}

GVariant *read_field(const CallContext &call, const SingleObject &, const Property &property) {
  const WatchList &list = list_of(call.object_path);
  g_autoptr(GVariant) reply =
      act(list.read, g_variant_new("(uu)", uint32_t(property.index), call.instance));
  g_autoptr(GVariant) value =
      reply != nullptr && g_variant_n_children(reply) == 1 ? g_variant_get_child_value(reply, 0) : nullptr;
  if (value == nullptr || std::strcmp(g_variant_get_type_string(value), property.type) != 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "%s", property.failure_log);
    igd1::set_invalid_args(call.error, "%s", property.failure_error);
    return nullptr;
  }
  return property.type[0] == 's' ? g_variant_new_string(g_variant_get_string(value, nullptr))
                                 : g_variant_new_uint32(g_variant_get_uint32(value));
}

// The first `most` characters of `text`.
std::string first_characters(const char *text, size_t most) {
  const char *end = text;
  for (size_t n = 0; n < most && *end != '\0'; ++n) end = g_utf8_next_char(end);
  return std::string(text, end);
}

// A single write sends its one field; a name keeps 32 characters.
bool write_field(const CallContext &call, const SingleObject &, const Property &property,
                 const char *name, GVariant *value, igd1::WriteFlags *flags) {
  const WatchList &list = list_of(call.object_path);
  GVariant *parameter = nullptr;
  if (property.type[0] == 's') {
    const std::string text = first_characters(g_variant_get_string(value, nullptr), kSingleWriteName);
    DBUS_LOG(LOG_LEVEL_INFO, "set %s value: [%s]", name, text.c_str());
    parameter = g_variant_new("(uus)", 1u, call.instance, text.c_str());
  } else {
    const uint32_t number = g_variant_get_uint32(value);
    DBUS_LOG(LOG_LEVEL_INFO, "set %s value: %u", name, number);
    parameter = g_variant_new("(uuu)", uint32_t(property.index), call.instance, number);
  }
  g_autoptr(GVariant) reply = act(list.write, parameter);
  if (reply == nullptr) {
    igd1::set_invalid_args(call.error, kInvalidValue);
    return false;
  }
  flags->changed = 1;
  return true;
}

GVariant *row_get(GDBusConnection *, const gchar *, const gchar *object_path, const gchar *,
                  const gchar *property_name, GError **error, gpointer) {
  const WatchList &list = list_of(object_path);
  const uint32_t index = row_of(list, object_path, __func__);
  if (index == 0) {
    igd1::set_invalid_args(error, "invalid object path %s", object_path);
    return nullptr;
  }
  return igd1::object_get(list.row, __func__, object_path, property_name, error, index);
}

gboolean row_set(GDBusConnection *connection, const gchar *, const gchar *object_path,
                 const gchar *interface_name, const gchar *property_name, GVariant *value,
                 GError **error, gpointer) {
  const WatchList &list = list_of(object_path);
  const uint32_t index = row_of(list, object_path, __func__);
  if (index == 0) {
    igd1::set_invalid_args(error, "invalid object path %s", object_path);
    return FALSE;
  }
  return igd1::object_set(list.row, __func__, connection, object_path, interface_name,
                          property_name, value, error, index);
}

// Runs a write action inside the call's store transaction; false with
// "Invalid parameter value" when it gives no reply.
bool run_write(uint32_t code, GVariant *parameter, GError **error) {
  igd1::StoreTransaction transaction;
  if (!transaction.began(error)) return false;
  g_autoptr(GVariant) reply = act(code, parameter);
  if (reply == nullptr) {
    igd1::set_invalid_args(error, kInvalidValue);
    return false;
  }
  return transaction.commit(error);
}

// A multi-write sends every field of the list at once; the ones the
// request leaves out go as 0 and "".
gboolean row_set_multi(GDBusConnection *, const gchar *, const gchar *object_path, const gchar *,
                       GVariant *entries, GError **error, gpointer) {
  const WatchList &list = list_of(object_path);
  const uint32_t index = row_of(list, object_path, __func__);
  if (index == 0) {
    igd1::set_invalid_args(error, "invalid object path %s", object_path);
    return FALSE;
  }
  std::string name;
  uint32_t cpu = 0, memory = 0;
  GVariantIter iter;
  g_variant_iter_init(&iter, entries);
  const gchar *key = nullptr;
  GVariant *boxed = nullptr;
  while (g_variant_iter_next(&iter, "{&sv}", &key, &boxed)) {
    g_autoptr(GVariant) value = boxed;
    DBUS_LOG(LOG_LEVEL_DETAIL, "Item property_name '%s' has type '%s'\n", key,
             g_variant_get_type_string(value));
    const Property *field = igd1::find_property(list.row, key);
    if (field == nullptr) continue;
    if (!g_variant_is_of_type(value, G_VARIANT_TYPE(field->type))) {
      igd1::set_invalid_args(error, kInvalidValue);
      return FALSE;
    }
    if (field->index == 1) {
      name = first_characters(g_variant_get_string(value, nullptr), kMultiWriteName);
      DBUS_LOG(LOG_LEVEL_INFO, "set multi: UserName value:%s ", name.c_str());
    } else if (field->index == 2) {
      cpu = g_variant_get_uint32(value);
      DBUS_LOG(LOG_LEVEL_INFO, "set multi: CPUPercentage value:%d ", int(cpu));
    } else {
      memory = g_variant_get_uint32(value);
      DBUS_LOG(LOG_LEVEL_INFO, "set multi: MEMPercentage value:%d ", int(memory));
    }
  }
  GVariant *parameter = list.row.properties.size() > 1
                            ? g_variant_new("(uuuus)", 4u, index, cpu, memory, name.c_str())
                            : g_variant_new("(uus)", 1u, index, name.c_str());
  return run_write(list.write, parameter, error);
}

const GDBusInterfaceVTable kRowVTable = {nullptr, row_get, row_set,
                                         {igd1_set_multi_slot(row_set_multi)}};

void manager_call(GDBusConnection *, const gchar *, const gchar *object_path, const gchar *,
                  const gchar *method_name, GVariant *parameters,
                  GDBusMethodInvocation *invocation, gpointer);
const GDBusInterfaceVTable kManagerVTable = {manager_call, nullptr, nullptr, {nullptr}};

// Fails the call with the object-manager error: the text is logged, and
// answered where the list has nothing else to say.
void refuse(GDBusMethodInvocation *invocation, const char *logged, const char *answered) {
  DBUS_LOG(LOG_LEVEL_WARN, "%s", logged);
  igd1::return_manager_error(invocation, "%s", answered);
}

void add_row(const WatchList &list, GVariant *parameters, GDBusMethodInvocation *invocation) {
  g_autoptr(GVariant) free_reply = act(list.free_index, parameters);
  uint32_t index = 0;
  if (free_reply == nullptr || !g_variant_is_of_type(free_reply, G_VARIANT_TYPE("(u)")))
    return refuse(invocation, "Get OMD Process Free index failed!", kNoIdleIndex);
  g_variant_get(free_reply, "(u)", &index);
  if (index == kOmdTableFull) return refuse(invocation, list.full_log, kNoIdleIndex);
  if (index == 0 || index > kHighestIndex)
    return refuse(invocation, "Get OMD Process Free index failed!", kNoIdleIndex);
  DBUS_LOG(LOG_LEVEL_INFO, "AddObject the idle index %d", int(index));
  g_autofree gchar *initial = g_strdup_printf("invalid%d", int(index));
  igd1::StoreTransaction transaction;
  g_autoptr(GError) error = nullptr;
  if (!transaction.began(&error))
    return refuse(invocation, error->message, error->message);
  g_autoptr(GVariant) created = act(list.create, g_variant_new("(us)", index, initial));
  if (created == nullptr) return refuse(invocation, list.create_failed, list.create_failed);
  if (!transaction.commit(&error)) return refuse(invocation, error->message, error->message);
  igd1::collection_export_child(list.collection, index);
  igd1::collection_attach(list.collection, list.collection.state->connection, &kManagerVTable);
  const std::string path = igd1::collection_child_path(list.collection, index);
  DBUS_LOG(LOG_LEVEL_WARN, "going to [%s] line [%d] add path_name is %s", __func__, __LINE__,
           path.c_str());
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", path.c_str()));
}

void delete_row(const WatchList &list, GVariant *parameters, GDBusMethodInvocation *invocation) {
  const char *path = nullptr;
  g_variant_get(parameters, "(&o)", &path);
  const uint32_t index = row_of(list, path, __func__);
  if (index == 0) return igd1::return_manager_error(invocation, "DeleteObject object path error");
  DBUS_LOG(LOG_LEVEL_INFO, "delete index is %d, path [%s]", int(index), path);
  igd1::StoreTransaction transaction;
  g_autoptr(GError) error = nullptr;
  if (!transaction.began(&error)) return refuse(invocation, error->message, error->message);
  g_autoptr(GVariant) removed = act(list.remove, parameters);
  if (removed == nullptr) return refuse(invocation, list.delete_failed, list.delete_failed);
  if (!transaction.commit(&error)) return refuse(invocation, error->message, error->message);
  igd1::collection_unexport_child(list.collection, index);
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

void manager_call(GDBusConnection *, const gchar *, const gchar *object_path, const gchar *,
                  const gchar *method_name, GVariant *parameters,
                  GDBusMethodInvocation *invocation, gpointer) {
  const WatchList &list = list_of(object_path);
  if (list.count_first) {
    g_autoptr(GVariant) count = act(list.count, nullptr);
    if (count == nullptr) return refuse(invocation, list.count_failed, list.count_failed);
  }
  if (std::strcmp(method_name, "AddObject") == 0) return add_row(list, parameters, invocation);
  if (std::strcmp(method_name, "DeleteObject") == 0) return delete_row(list, parameters, invocation);
  g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                        "Unknown method %s", method_name);
}

igd1::CollectionState g_resource_state;
igd1::CollectionState g_process_state;

const igd1::Collection kResourceCollection = {
    .noun = "OMDiagResource",
    .manager_path = kResourcePath,
    .type_name = "OMDiagResourceInterface",
    .xml_file = "OMDiagResource.xml",
    .builtin_xml = nullptr,
    .introspection_data = &OMDiagResource_introspection_data,
    .introspection_name = "OMDiagResource_introspection_data",
    .vtable = &kRowVTable,
    .state = &g_resource_state,
    .max_instance = kHighestIndex,
};
const igd1::Collection kProcessCollection = {
    .noun = "OMDiagProcess",
    .manager_path = kProcessPath,
    .type_name = "OMDiagProcessInterface",
    .xml_file = "OMDiagProcess.xml",
    .builtin_xml = nullptr,
    .introspection_data = &OMDiagProcess_introspection_data,
    .introspection_name = "OMDiagProcess_introspection_data",
    .vtable = &kRowVTable,
    .state = &g_process_state,
    .max_instance = kHighestIndex,
};

const WatchList kResources = {
    .collection = kResourceCollection,
    .row = kResourceRow,
    .count = 23, .index_at = 35, .free_index = 25, .create = 27, .remove = 29, .read = 31, .write = 33,
    .count_first = false,
    .count_failed = "mib_get OMD OMDIAG_GETRESOURCENUM failed!",
    .index_failed = "mib_get OMD OMDIAG_RESOURCEGETINDEX failed!",
    .total_log = "OMDIAG_GETRESOURCENUM total is %d ",
    .full_log = "NO idle index for MIB_CPUMEM_INFO_TBL",
    .create_failed = "Get OMD Resource Free index failed!",
    .delete_failed = "OMDIAG_RESOURCECHECKINSTUM failed!",
};
const WatchList kProcesses = {
    .collection = kProcessCollection,
    .row = kProcessRow,
    .count = 24, .index_at = 36, .free_index = 26, .create = 28, .remove = 30, .read = 32, .write = 34,
    .count_first = true,
    .count_failed = "mib_get OMD OMDIAG_GETPROCESSNUM failed!",
    .index_failed = "mib_get OMD OMDIAG_PROCESSGETINDEX failed!",
    .total_log = "OMDIAG_GETPROCESSNUM total is %d ",
    .full_log = "NO idle index for MIB_PROCESS_EXCEP_TBL",
    .create_failed = "Get OMD Process Free index failed!",
    .delete_failed = "OMDIAG_PROCESSCHECKINSTUM failed!",
};

const WatchList &list_of(const char *object_path) {
  return g_str_has_prefix(object_path, kResourcePath) ? kResources : kProcesses;
}

// Publishes the list's rows and attaches its manager; false, with the
// manager left unattached, when the rows cannot be listed.
bool start_list(const WatchList &list, GDBusConnection *connection) {
  igd1::collection_create_manager(list.collection);
  igd1::collection_load_interface(list.collection);
  // Rows change without writes (the watch, other processes): clients are
  // told to read again rather than to wait for signals.
  for (GDBusInterfaceInfo **interface = (*list.collection.introspection_data)->interfaces;
       *interface != nullptr; ++interface)
    igd1::mark_unannounced(*interface, [](const char *) { return false; });
  g_autoptr(GVariant) count = act(list.count, nullptr);
  if (count == nullptr || !g_variant_is_of_type(count, G_VARIANT_TYPE("(u)"))) {
    DBUS_LOG(LOG_LEVEL_WARN, "%s", list.count_failed);
    return false;
  }
  uint32_t total = 0;
  g_variant_get(count, "(u)", &total);
  DBUS_LOG(LOG_LEVEL_INFO, list.total_log, int(total));
  for (uint32_t position = 0; position < total; ++position) {
    g_autoptr(GVariant) at = act(list.index_at, g_variant_new("(u)", position));
    uint32_t index = 0;
    if (at != nullptr && g_variant_is_of_type(at, G_VARIANT_TYPE("(u)"))) g_variant_get(at, "(u)", &index);
    if (index == 0 || index > kHighestIndex) {
      DBUS_LOG(LOG_LEVEL_WARN, "%s", list.index_failed);
      return false;
    }
    DBUS_LOG(LOG_LEVEL_INFO, "g_strdup_printf index is %d ", int(index));
    igd1::collection_export_child(list.collection, index);
  }
  igd1::collection_attach(list.collection, connection, &kManagerVTable);
  return true;
}

const igd1::PublishObject kPublished(kObject);
const igd1::PublishObject kPublishedResource(kResourceRow);
const igd1::PublishObject kPublishedProcess(kProcessRow);

}  // namespace

GDBusNodeInfo *OMDiag_introspection_data = nullptr;
GDBusNodeInfo *OMDiagResource_introspection_data = nullptr;
GDBusNodeInfo *OMDiagProcess_introspection_data = nullptr;

const char OMDiagResource_introspection_xml[] =
    "<node name=\"/com/wqx/igd1/Ovatrix/OMDiag/Resource\">"
    "  <interface name=\"com.wqx.igd1.OMDiagResource\">"
    "    <property name=\"ServiceName\" type=\"s\" access=\"readwrite\"/>"
    "    <property name=\"CPUPercentage\" type=\"u\" access=\"readwrite\"/>"
    "    <property name=\"MEMPercentage\" type=\"u\" access=\"readwrite\"/>"
    "  </interface>"
    "</node>";

IGD1_READ_HANDLER(OMDiag_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(OMDiag_handle_set_property, OMDiag_handle_set_multi_properties, kObject)
IGD1_METHOD_HANDLER(OMDiag_handle_method_call, kObject)

GType OMDiag_resource_interface_get_type(void) {
  return igd1::collection_interface_type(kResourceCollection);
}
GType OMDiag_process_interface_get_type(void) {
  return igd1::collection_interface_type(kProcessCollection);
}

namespace {
const GDBusInterfaceVTable kObjectVTable = {
    OMDiag_handle_method_call, OMDiag_handle_get_property, OMDiag_handle_set_property,
    {igd1_set_multi_slot(OMDiag_handle_set_multi_properties)}};
}  // namespace

// The object, then the two lists in turn, then the watch.
void OMDiag_on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer user_data) {
  const igd1::SingleObjectRegistration registration{
      .xml_file = kObject.xml_file,
      .introspection_data = &OMDiag_introspection_data,
      .introspection_name = "OMDiag_introspection_data",
      .object_path = kPath,
      .vtable = &kObjectVTable,
      .object = &kObject};
  igd1::register_single_object(registration, connection, user_data);

  DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d] Init OMDiag Resource", __func__, __LINE__);
  if (!start_list(kResources, connection)) return;
  DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d] Init OMDiag Process", __func__, __LINE__);
  if (!start_list(kProcesses, connection)) return;
  init_OMD_info();
}
