// Filters capturing vendor-specific elements of received probe requests:
// /com/wqx/igd1/VSIE/ProbeRxVSIE, at most 8, one child per filter and under
// each a record manager ".../<n>/Records" that comes and goes with it.  The
// radio's captures are records ".../Records/<m>": read-only, at most
// MaxRecords per filter (the oldest goes), removed one by one with
// DeleteObject; AddObject on a record manager is refused.  The module keeps
// the record managers in an instance list that records are found through.
#include "vsie.h"

#include <cstring>

#include "dbus_proxy_list.h"

namespace {

using igd1::Field;
using Filter = vsie_filter_row;

constexpr char kManagerPath[] = "/com/wqx/igd1/VSIE/ProbeRxVSIE";

// ---- records ----

GVariant *read_record_count(const igd1::CallContext &call, const igd1::SingleObject &,
                            const igd1::Property &) {
  const int count = probeRxVSIERecord_count(call.instance);
  if (count < 0) {
    igd1::set_invalid_args(call.error, "Get NumberOfRecords failed");
    return nullptr;
  }
  return g_variant_new_uint32(uint32_t(count));
}

constexpr igd1::Property kRecordManagerProperties[] = {
    {.name = "NumberOfRecords", .type = "u", .read = read_record_count},
};
constexpr igd1::SingleObject kRecordManager = {
    .path = nullptr,
    .xml_file = "ProbeRxVSIERecordManager.xml",
    .properties = kRecordManagerProperties,
};

const igd1::PublishObject kRecordManagerPublished(kRecordManager);

// The record managers the engine made for the filters, one element each in
// an instance list: the index records are found by, when they arrive and
// when they are read or deleted.  A record of a filter without a manager
// here is refused.
struct RecordManager {
  uint32_t filter;                     // its filter's number, the key
  guint registration;                  // its NumberOfRecords object
  GDBusObjectManagerServer *manager;   // the engine's, until it is withdrawn
  uint64_t reserved[3];                // zero
};
static_assert(sizeof(RecordManager) == 40, "the list's elements are 40 bytes");

dbus_proxy_list_node *g_record_managers_list = nullptr;

// The position of the element of `filter`, or -1.
int manager_position(uint32_t filter) {
  int position = 0;
  for (dbus_proxy_list_node *node = g_record_managers_list; node != nullptr;
       node = node->next, ++position)
    if (static_cast<const RecordManager *>(node->data)->filter == filter) return position;
  return -1;
}

void manager_made(const igd1::CallContext &call, GDBusObjectManagerServer *manager,
                  guint registration) {
  const RecordManager element{.filter = call.instance, .registration = registration,
                              .manager = manager, .reserved = {}};
  if (const int position = manager_position(call.instance); position >= 0)
    dbus_proxy_list_node_update(&g_record_managers_list, position, &element, sizeof element);
  else
    dbus_proxy_list_improve(&g_record_managers_list, &element, sizeof element);
}

// A manager goes with its children: the filter's records go from the store
// too (another process may have removed the filter, and one added back
// under its number starts empty).
void manager_gone(const igd1::CallContext &call, GDBusObjectManagerServer *, guint) {
  if (const int position = manager_position(call.instance); position >= 0)
    dbus_proxy_list_delete(&g_record_managers_list, position);
  probeRxVSIERecord_forget(call.instance);
}

igd1::NestedManagers g_record_managers = {.suffix = "Records",
                                          .object = &kRecordManager,
                                          .exported = manager_made,
                                          .unexported = manager_gone};

int manager_count(void) { return dbus_proxy_get_list_totalnum(&g_record_managers_list); }

int manager_at(uint32_t position, void *element) {
  dbus_proxy_list_node *node = dbus_proxy_get_node_by_recordnum(g_record_managers_list, int(position));
  if (node == nullptr || node->data == nullptr) return 0;
  std::memcpy(element, node->data, sizeof(RecordManager));
  return 1;
}

int find_manager(uint32_t filter, uint32_t *position, void *element) {
  const int found = manager_position(filter);
  if (found < 0) return 0;
  *position = uint32_t(found);
  return manager_at(*position, element);
}

#define RECORD_ITEM(prop, bus_type, item_number, bytes) \
  {.name = prop, .type = bus_type, .field = Field::Item, .size = bytes, .item = item_number}
constexpr igd1::RowProperty kRecordProperties[] = {
    RECORD_ITEM("MAC", "s", VSIE_RECORD_MAC, VSIE_MAC_SIZE),
    RECORD_ITEM("RSSI", "i", VSIE_RECORD_RSSI, 0),
    RECORD_ITEM("Band", "s", VSIE_RECORD_BAND, 8),
    RECORD_ITEM("Channel", "u", VSIE_RECORD_CHANNEL, 0),
    RECORD_ITEM("Time", "s", VSIE_RECORD_TIME, VSIE_TIME_SIZE),
    RECORD_ITEM("Data", "s", VSIE_RECORD_DATA, VSIE_DATA_SIZE),
};
#undef RECORD_ITEM

// One record manager per filter, reached by position.
constexpr mib_table_ops kRecordManagers = {.row_size = sizeof(RecordManager),
                                           .instance_offset = offsetof(RecordManager, filter),
                                           .instance_size = 4,
                                           .row_count = manager_count,
                                           .row_at = manager_at,
                                           .find_instance = find_manager};

int read_record(int item, const void *manager, uint32_t record, void *output) {
  return probeRxVSIERecord_get_item(item, static_cast<const RecordManager *>(manager)->filter,
                                    record, output);
}
int remove_record(void *, uint32_t filter, uint32_t record) {
  return probeRxVSIERecord_remove(filter, record);
}
int announce_records(void *, uint32_t filter) { return probeRxVSIERecord_announce(filter); }

// The records' own wording of the engine's texts.
const char *record_wording(igd1::RowText text) {
  using enum igd1::RowText;
  switch (text) {
    case GetNoRow: return "func [%s] :invalid list num  %d ";
    case AddFailed: return "not support to add object";
    default: return nullptr;
  }
}

constexpr igd1::RowModule kRecords = {
    .manager_path = kManagerPath,
    .properties = kRecordProperties,
    .table = {.store = &kRecordManagers,
              .inner = {.get_item = read_record,
                        .remove = remove_record,
                        .init = announce_records,
                        .parent_offset = VSIE_RECORD_FILTER_OFFSET}},
    .texts = {.wording = record_wording},
    .announce = igd1::Announce::Never,
    .add = igd1::Adding::refuse(igd1::kObjectManagerError),
    .nested = &g_record_managers,
};

// ---- filters ----

constexpr igd1::RowProperty kProperties[] = {
    {.name = "Enable", .type = "b", .field = Field::Flag, .offset = offsetof(Filter, enable),
     .write_log = "set Enable value:%d"},
    {.name = "Band", .field = Field::Choice, .offset = offsetof(Filter, band),
     .write_log = "set Band value:%s", .choices = igd1::vsie::kBands,
     .refused = "Invalid parameter value ,Band: {value}"},
    {.name = "OUI", .field = Field::Text, .offset = offsetof(Filter, oui), .size = VSIE_OUI_SIZE,
     .write_log = "set OUI value:%s", .refused = "Invalid parameter value ,OUI: {value}",
     .write = igd1::vsie::store_hex},
    {.name = "MaxRecords", .type = "u", .field = Field::Number,
     .offset = offsetof(Filter, max_records), .size = 4, .write_log = "set MaxRecords value:%d",
     .min = 1, .max = VSIE_MAX_RECORDS, .refused = "Invalid parameter value ,MaxRecords: {value}"},
};

igd1::vsie::RowCount g_count = {VSIE_MAX_FILTERS, probeRxVSIE_get_list_totalnum};

constexpr igd1::SingleObject kManager = {
    .path = kManagerPath,
    .xml_file = "ProbeRxVSIEManager.xml",
    .properties = igd1::vsie::kRowCountProperties,
    .user_data = &g_count,
};

const igd1::PublishObject kManagerPublished(kManager);

// A new filter is off, for both bands, and keeps 16 records.
int insert_filter(void *new_row) {
  auto *row = static_cast<uint8_t *>(new_row);
  row[offsetof(Filter, band)] = VSIE_BAND_ALL;
  const uint32_t kept = 16;
  std::memcpy(row + offsetof(Filter, max_records), &kept, sizeof kept);
  return probeRxVSIE_insert_entry(row);
}

int store_filter(const void *copy, uint32_t, const char **, int) {
  return probeRxVSIE_update_entry(copy, static_cast<const uint8_t *>(copy)[0]);
}

constexpr igd1::RowModule kModule = {
    .manager_path = kManagerPath,
    .properties = kProperties,
    .table = {.store = &probeRxVSIE_table, .insert_entry = insert_filter,
              .update_entry = store_filter},
    .texts = {.wording = igd1::vsie::table_wording},
    .add = igd1::Adding::insert(VSIE_MAX_FILTERS),
    .nested = &g_record_managers,
    .manager_interface = {.object = &kManager, .xml = "ProbeRxVSIEManager.xml"},
};

}  // namespace

IGD1_ROW_COLLECTION(ProbeRxVSIERecord, ProbeRxVSIERecord_introspection_data, "ProbeRxVSIERecord",
                    ProbeRxVSIERecord_handle_get_property, ProbeRxVSIERecord_handle_set_property,
                    ProbeRxVSIERecord_handle_set_multi_properties,
                    ProbeRxVSIERecord_handle_object_mng_call, kRecords)
IGD1_NESTED_ROW_COLLECTION(ProbeRxVSIERecord, kRecords)
IGD1_ROW_COLLECTION(ProbeRxVSIE, ProbeRxVSIE_introspection_data, "ProbeRxVSIE",
                    ProbeRxVSIE_handle_get_property, ProbeRxVSIE_handle_set_property,
                    ProbeRxVSIE_handle_set_multi_properties, ProbeRxVSIE_handle_object_mng_call,
                    kModule, ProbeRxVSIEmanager)
