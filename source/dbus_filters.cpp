// The access filters, one collection each, all rows of the configuration
// library's tables (layouts in mib_filters.h):
//
//   DNSFilter     /com/wqx/igd1/Network/DNSFilter     host names a LAN device may not resolve
//   URLFilter     /com/wqx/igd1/Network/URLFilter     URLs it may not fetch
//   MACBlockList  /com/wqx/igd1/Network/MACBlackList  devices kept off the network
//   MACWhiteList  /com/wqx/igd1/Network/MACWhiteList  devices always let on
//   AppFilter     /com/wqx/igd1/AppFilter             per-application blocking
//   AppRoute      /com/wqx/igd1/AppRoute              per-application routing
//
// They share their kinds of field, their texts and their commit: a write is
// compared with the stored value, checked only when it differs, stored on a
// working copy and committed once (all or nothing).  Lists are one
// ";"-joined text of 1,024 characters: a list that does not fit, or an entry
// holding ";" (it would read back as two), is refused.  The MAC lists
// announce their changes and save after each; the application filters and
// routes save after each change and edit their lists through methods.
#include "filters.h"

#include <cstring>

#include "host_api.h"
#include "mib_filters.h"

namespace {

using igd1::Field;
using igd1::Overlong;
using igd1::RowProperty;

// ---- kinds of field ---------------------------------------------------------------

constexpr RowProperty flag(const char *name, uint16_t offset) {
  return {.name = name, .type = "b", .field = Field::Flag, .offset = offset,
          .write_log = "set property value:%d"};
}

constexpr RowProperty byte(const char *name, uint16_t offset, int64_t max = 0,
                           const char *refused = nullptr) {
  return {.name = name, .type = "y", .field = Field::Number, .offset = offset, .size = 1,
          .write_log = "set property value:%d", .max = max, .refused = refused};
}

constexpr RowProperty blocked_times(uint16_t offset) {
  return {.name = "BlockedTimes", .type = "u", .field = Field::Number, .offset = offset, .size = 4};
}

// A text of at most size - 1 characters; a longer one is refused.
constexpr RowProperty text(const char *name, uint16_t offset, uint16_t size,
                           const char *refused = nullptr) {
  return {.name = name, .field = Field::Text, .offset = offset, .size = size,
          .write_log = "set property value:%s", .overlong = Overlong::Refuse, .refused = refused};
}

constexpr char kListRefused[] = "Invalid parameter value for %s";

// A list of at most `Most` entries; more answer the text of a value of the
// wrong type.
template <gsize Most>
bool at_most(const igd1::CallContext &call, const RowProperty &property, GVariant *value,
             const uint8_t *) {
  if (g_variant_n_children(value) <= Most) return true;
  igd1::set_invalid_text(call.error, property.wrong_type,
                         {.name = property.name, .value = value, .path = call.object_path,
                          .instance = call.instance},
                         property.name);
  return false;
}

constexpr RowProperty list(const char *name, uint32_t offset, const char *wrong_type,
                           igd1::ValueRule entries = nullptr, uint32_t size = FILTER_LIST_SIZE) {
  return {.name = name, .type = "as", .field = Field::List, .offset = offset,
          .size = size, .write_log = "set property value:%s", .refused = kListRefused,
          .accepts = entries, .wrong_type = wrong_type};
}

// A text rule is checked on a changed value only (one equal to the stored
// text was accepted once); a text too long for its field is left to the
// field's refusal.
bool passes(bool (*rule)(const char *), const RowProperty &property, GVariant *value,
            const uint8_t *row) {
  const char *text = g_variant_get_string(value, nullptr);
  const char *stored = reinterpret_cast<const char *>(row + property.offset);
  return std::strlen(text) >= property.size || std::strncmp(text, stored, property.size) == 0 ||
         rule(text);
}

// Names and host names are stored in records that other services split on '|'.
bool without_bar(const char *value) { return std::strchr(value, '|') == nullptr; }

constexpr RowProperty text_without_bar(const char *name, uint16_t offset, uint16_t size) {
  RowProperty row = text(name, offset, size);
  row.accepts = [](const igd1::CallContext &, const RowProperty &property, GVariant *value,
                   const uint8_t *stored) { return passes(without_bar, property, value, stored); };
  return row;
}

constexpr RowProperty mac_text(uint16_t offset) {
  return {.name = "MAC", .field = Field::MacText, .offset = offset, .size = FILTER_MAC_TEXT_SIZE,
          .write_log = "set MAC value:%s"};
}

constexpr RowProperty list_name(uint16_t offset) { return text("Name", offset, FILTER_NAME_SIZE); }

bool valid_time(const char *value) { return isValidTime(value) != 0; }

bool valid_time_rule(const igd1::CallContext &call, const RowProperty &property, GVariant *value,
                     const uint8_t *row) {
  if (passes(valid_time, property, value, row)) return true;
  igd1::set_invalid_args(call.error, "%s", "Time value  is invalid");
  return false;
}

// ---- texts ------------------------------------------------------------------------

// The filters share their row and value texts; each table has its commit
// text, and the MAC lists their add and delete texts.  A MAC list reads a
// name another process stored that is not UTF-8 as "" (`unreadable_as_empty`).
template <const char *commit_failed, const char *add_failed = nullptr,
          const char *delete_failed = nullptr, bool unreadable_as_empty = false>
const char *wording(igd1::RowText text) {
  using enum igd1::RowText;
  switch (text) {
    case GetNoRow: return "func [%s] :invalid list num  %d";
    case SetNoRow: return "invalid list num  %d";
    case InvalidValue: return "invalid value of property %s";
    case CommitFailed: return commit_failed;
    case AddFailed: return add_failed;
    case DeleteFailed: return delete_failed;
    case InvalidUtf8: return unreadable_as_empty ? "" : nullptr;
    default: return nullptr;
  }
}
using Wording = const char *(*)(igd1::RowText text);

// ---- DNS and URL filters -------------------------------------------------------------

constexpr char kListTypeError[] = "DomainName value type is err";

constexpr RowProperty kDnsProperties[] = {
    flag("Enable", 1),
    text_without_bar("Name", 8, FILTER_NAME_SIZE),
    text_without_bar("Hostname", 72, 256),
    byte("Action", 2),
    text("MAC", 328, 13),
    blocked_times(4),
    byte("Mode", 3),
    list("HostNameList", 439, kListTypeError),
    text("WeekDays", 341, FILTER_WEEKDAYS_SIZE),
    text("Time", 374, FILTER_TIME_SIZE),
};

// The DNS and URL filters differ in their fields, table, commit text and file.
constexpr igd1::RowModule web_filter(const char *manager_path, std::span<const RowProperty> rows,
                                     igd1::RowTable table, Wording wording,
                                     const char *xml_file) {
  return {.manager_path = manager_path,
          .properties = rows,
          .table = table,
          .texts = {.wording = wording},
          .announce = igd1::Announce::Never,
          .xml = xml_file};
}

constexpr char kDnsCommitFailed[] = "Config DNS Filter error (%s)";
constexpr igd1::RowModule kDnsFilter =
    web_filter("/com/wqx/igd1/Network/DNSFilter", kDnsProperties,
               {.store = &dnsfilter_table}, wording<kDnsCommitFailed>,
               "DNSFilter_nivra4.xml");

constexpr RowProperty kUrlTime = [] {
  RowProperty row = text("Time", 873, FILTER_TIME_SIZE);
  row.accepts = valid_time_rule;
  return row;
}();

constexpr RowProperty kUrlProperties[] = {
    flag("Enable", 1),
    text("URL", 8, 256),
    text("MAC", 264, 512),
    text("Name", 776, FILTER_NAME_SIZE),
    blocked_times(4),
    byte("Mode", 2, 1, "Invalid parameter value"),
    list("URLList", 938, kListTypeError),
    text("WeekDays", 840, FILTER_WEEKDAYS_SIZE),
    kUrlTime,
};

constexpr char kUrlCommitFailed[] = "Config URL Filter error (%s)";
constexpr igd1::RowModule kUrlFilter =
    web_filter("/com/wqx/igd1/Network/URLFilter", kUrlProperties,
               {.store = &urlfilter_table}, wording<kUrlCommitFailed>,
               "URLFilter_nivra4.xml");

// ---- MAC lists --------------------------------------------------------------------

constexpr RowProperty kBlockProperties[] = {mac_text(8), list_name(26), blocked_times(4)};
constexpr RowProperty kWhiteProperties[] = {mac_text(1), list_name(19)};

// The MAC lists differ only in their table and names.  A changed row of the
// MAC lists and of the application rules is saved at once, within the
// write's transaction (`saved`).
constexpr char kMacCommitFailed[] = "fail to update MIB entry";
template <const char *add_failed, const char *delete_failed>
constexpr Wording kMacWording = wording<kMacCommitFailed, add_failed, delete_failed, true>;
constexpr igd1::RowModule mac_list(const char *manager_path, std::span<const RowProperty> rows,
                                   igd1::RowTable table, const char *xml_file, Wording wording,
                                   igd1::RowHook saved) {
  return {.manager_path = manager_path,
          .properties = rows,
          .table = table,
          .texts = {.wording = wording},
          .announce = igd1::Announce::Always,
          .xml = xml_file,
          .on = saved,
          .commit_error = "org.freedesktop.DBus.Error.InvalidArgs"};
}

constexpr char kBlockAddFailed[] = "Add MACBlackList object fail !!";
constexpr char kBlockDeleteFailed[] = "Delete MACBlackList Object error !!";
constexpr igd1::RowModule kMacBlockList =
    mac_list("/com/wqx/igd1/Network/MACBlackList", kBlockProperties,
             {.store = &macblocklist_table}, "MACBlackList.xml",
             kMacWording<kBlockAddFailed, kBlockDeleteFailed>,
             igd1::at_step<igd1::RowStep::Committed, macblocklist_save_mib>);
constexpr char kWhiteAddFailed[] = "Add MACWhiteList object fail !!";
constexpr char kWhiteDeleteFailed[] = "Delete MACWhiteList Object error !!";
constexpr igd1::RowModule kMacWhiteList =
    mac_list("/com/wqx/igd1/Network/MACWhiteList", kWhiteProperties,
             {.store = &macwhitelist_table}, "MACWhiteList.xml",
             kMacWording<kWhiteAddFailed, kWhiteDeleteFailed>,
             igd1::at_step<igd1::RowStep::Committed, macwhitelist_save_mib>);

// ---- application filters and routes -------------------------------------------------

constexpr char kSetFailed[] = "set property %s failed";

// The three lists of an application rule, from where they lie; the list
// methods name them by type: 0 DestIPList, 1 DomainList, 2 MACList.
constexpr RowProperty domains(uint32_t offset) {
  return list("DomainList", offset, kSetFailed, at_most<256>, FILTER_DOMAIN_LIST_SIZE);
}
constexpr RowProperty destinations(uint32_t offset) {
  return list("DestIPList", offset, kSetFailed, at_most<2048>, FILTER_DESTINATION_LIST_SIZE);
}
constexpr RowProperty macs(uint32_t offset) {
  return list("MACList", offset, kSetFailed, at_most<32>, FILTER_MAC_LIST_SIZE);
}
constexpr const char *kListTypes[] = {"DestIPList", "DomainList", "MACList"};

constexpr char kFilterLimit[] = "invalid value of property %s";

constexpr RowProperty kAppFilterProperties[] = {
    text("AppId", 12, 33, kFilterLimit),
    flag("Enable", 1),
    text("Name", 45, FILTER_NAME_SIZE, kFilterLimit),
    byte("Mode", 2),
    domains(APPFILTER_DOMAIN_LIST_AT),
    destinations(APPFILTER_DESTINATION_LIST_AT),
    macs(APPFILTER_MAC_LIST_AT),
    byte("DomainAction", 3),
    byte("DestIPAction", 4),
    text("WeekDays", 109, FILTER_WEEKDAYS_SIZE, "WeekDays value len is err"),
    text("Time", 142, FILTER_TIME_SIZE, "Time value len is err"),
    blocked_times(8),
    flag("SignalEnable", 5),
};

constexpr char kRouteLimit[] = "Invalid parameter value";

constexpr RowProperty kAppRouteProperties[] = {
    text("AppId", 5, 33, kRouteLimit),
    flag("Enable", 1),
    text("Name", 38, FILTER_NAME_SIZE, kRouteLimit),
    byte("MatchType", 2),
    text("IfName", 102, 33, kRouteLimit),
    byte("DSCPMarkValue_UP", 3, 63, kRouteLimit),
    byte("DSCPMarkValue_DOWN", 4, 63, kRouteLimit),
    domains(APPROUTE_DOMAIN_LIST_AT),
    destinations(APPROUTE_DESTINATION_LIST_AT),
    macs(APPROUTE_MAC_LIST_AT),
};

constexpr igd1::ListMethods kAppFilterLists = {
    .lists = kListTypes,
    .error_name = "com.wqx.igd1.AppFilter",
    .commit_failed = "appfilter_update_entry fail!",
    .handle_action = appfilter_handle_action_entry,
};
constexpr igd1::ListMethods kAppRouteLists = {
    .lists = kListTypes,
    .error_name = "com.wqx.igd1.AppRoute",
    .commit_failed = "AppRoute_update_entry fail!",
    .handle_action = AppRoute_handle_action_entry,
};

template <igd1::ListEdit edit>
void app_filter_list(const igd1::PendingCall &call, GVariant *parameters);
template <igd1::ListEdit edit>
void app_route_list(const igd1::PendingCall &call, GVariant *parameters);

constexpr igd1::Method kAppFilterMethods[] = {
    {.name = "AddAppFilterList", .handler = app_filter_list<igd1::ListEdit::Merge>},
    {.name = "DeleteAppFilterList", .handler = app_filter_list<igd1::ListEdit::Slice>},
};
constexpr igd1::Method kAppRouteMethods[] = {
    {.name = "AddAppRouteList", .handler = app_route_list<igd1::ListEdit::Merge>},
    {.name = "DeleteAppRouteList", .handler = app_route_list<igd1::ListEdit::Slice>},
};

// Another process's commit to a table makes its kept listing stale.
igd1::ListingCache g_app_filter_listing_cache(appfilter_commit_count);
igd1::ListingCache g_app_route_listing_cache(AppRoute_commit_count);

constexpr char kRuleCommitFailed[] = "Config application rule error (%s)";

// The application filters and routes differ in their fields, table and
// methods.  Their listing is built from the rows and kept until the table
// changes.
constexpr igd1::RowModule app_rules(const char *manager_path, std::span<const RowProperty> rows,
                                    igd1::RowTable table, std::span<const igd1::Method> methods,
                                    igd1::ListingCache *listing,
                                    igd1::RowHook saved) {
  return {.manager_path = manager_path,
          .properties = rows,
          .table = table,
          .texts = {.wording = wording<kRuleCommitFailed>},
          .announce = igd1::Announce::Never,
          .on = saved,
          .methods = methods,
          .listing_cache = listing};
}

constexpr igd1::RowModule kAppFilter = app_rules(
    "/com/wqx/igd1/AppFilter", kAppFilterProperties,
    {.store = &appfilter_table},
    kAppFilterMethods, &g_app_filter_listing_cache,
    igd1::at_step<igd1::RowStep::Committed, appfilter_save_mib>);
constexpr igd1::RowModule kAppRoute = app_rules(
    "/com/wqx/igd1/AppRoute", kAppRouteProperties,
    {.store = &AppRoute_table},
    kAppRouteMethods, &g_app_route_listing_cache,
    igd1::at_step<igd1::RowStep::Committed, AppRoute_save_mib>);

}  // namespace

IGD1_ROW_COLLECTION(DNSFilter, DNSFilter_introspection_data, "DNSFilter",
                    DNSFilter_handle_get_property, DNSFilter_handle_set_property,
                    DNSFilter_handle_set_multi_properties, DNSFilter_handle_object_mng_call,
                    kDnsFilter, DNSFilter)
IGD1_ROW_COLLECTION(URLFilter, URLFilter_introspection_data, "URLFilter",
                    URLFilter_handle_get_property, URLFilter_handle_set_property,
                    URLFilter_handle_set_multi_properties, URLFilter_handle_object_mng_call,
                    kUrlFilter, URLFilter)
IGD1_ROW_COLLECTION(MACBlockList, MACBlockList_introspection_data, "MACBlockList",
                    MACBlockList_handle_get_property, MACBlockList_handle_set_property,
                    MACBlockList_handle_set_multi_properties, MACBlockList_handle_object_mng_call,
                    kMacBlockList, MACBlockList)
IGD1_ROW_COLLECTION(MACWhiteList, MACWhiteList_introspection_data, "MACWhiteList",
                    MACWhiteList_handle_get_property, MACWhiteList_handle_set_property,
                    MACWhiteList_handle_set_multi_properties, MACWhiteList_handle_object_mng_call,
                    kMacWhiteList, MACWhiteList)
IGD1_ROW_COLLECTION(AppFilter, AppFilter_introspection_data, "AppFilter",
                    AppFilter_handle_get_property, AppFilter_handle_set_property,
                    AppFilter_handle_set_multi_properties, AppFilter_handle_object_mng_call,
                    kAppFilter, AppFilter)
IGD1_ROW_COLLECTION(AppRoute, AppRoute_introspection_data, "AppRoute", AppRoute_handle_get_property,
                    AppRoute_handle_set_property, AppRoute_handle_set_multi_properties,
                    AppRoute_handle_object_mng_call, kAppRoute, AppRoute)

namespace {

template <igd1::ListEdit edit>
void app_filter_list(const igd1::PendingCall &call, GVariant *parameters) {
  igd1::row_edit_list(kAppFilterRows, kAppFilterLists, edit, call, parameters);
}

template <igd1::ListEdit edit>
void app_route_list(const igd1::PendingCall &call, GVariant *parameters) {
  igd1::row_edit_list(kAppRouteRows, kAppRouteLists, edit, call, parameters);
}

}  // namespace

void AppFilter_Event_emit_signal(const char *path, const char *message) {
  GDBusConnection *connection = g_pIdg1_connection;
  if (connection == nullptr || path == nullptr || !g_variant_is_object_path(path)) return;
  if (message != nullptr && !g_utf8_validate(message, -1, nullptr)) {
    DBUS_LOG(LOG_LEVEL_ERROR, "AppFilterEvent at %s not sent: the message is not UTF-8", path);
    return;
  }
  g_autoptr(GError) error = nullptr;
  if (!g_dbus_connection_emit_signal(connection, nullptr, path, "com.wqx.igd1.AppFilter",
                                     "AppFilterEvent",
                                     g_variant_new("(s)", message != nullptr ? message : ""),
                                     &error))
    DBUS_LOG(LOG_LEVEL_ERROR, "AppFilterEvent at %s not sent: %s", path, error->message);
}

int AppFilter_handle_is_call_get_objects(void) {
  return igd1::row_listing_underway(kAppFilterRows) ? 1 : 0;
}
