// Port mappings: /com/wqx/igd1/Config/PortMapping, one child per rule.
//
// The rules are 92-byte records of the configuration library's table:
//
//   0 instance   1 enable   4 lease (u32)   8 remote host (IPv4)
//   12 external port (u16)   14 internal port (u16)   16 protocol
//   17 internal client (IPv4, unaligned)   21 description (59 bytes)
//
// AddObject asks the library for a new row; the child appears when the host
// calls PortMapping_add_interface for it.  Removing an enabled rule also
// withdraws its forwarding.
#include "portmapping.h"

#include <iterator>

#include "collection.h"
#include "mib_api.h"

namespace {

using igd1::Choice;
using igd1::Field;
using igd1::RowProperty;

constexpr Choice kProtocols[] = {
    {1, "TCP", "tcp"},
    {2, "UDP", "udp"},
    {3, "BOTH", "both"},
    {0, "BOTH", nullptr},  // rows made before a protocol was chosen
};

// name, alias, bus type, field, offset, size, write log, alias writes,
// min, max, "" is 0.0.0.0, choices
constexpr RowProperty kProperties[] = {
    {"PortMappingEnabled", "Enable", "b", Field::Flag, 1, 1, "set Enable value:%d "},
    // The long name reads only.
    {"LeaseDuration", "PortMappingLeaseDuration", "u", Field::U32, 4, 4,
     "set LeaseDuration value:%d ", false},
    {"RemoteHost", nullptr, "s", Field::IPv4, 8, 4, "set RemoteHost value:%s ", true, 0, 0, true},
    {"ExternalPort", nullptr, "u", Field::U16, 12, 2, "set ExternalPort value:%d ", true, 1, 65535},
    {"InternalPort", nullptr, "u", Field::U16, 14, 2, "set InternalPort value:%d ", true, 1, 65535},
    {"PortMappingProtocol", nullptr, "s", Field::Choice, 16, 1, "set PortMappingProtocolvalue:%s ",
     true, 0, 0, false, kProtocols},
    {"InternalClient", nullptr, "s", Field::IPv4, 17, 4, "set InternalClient value:%s "},
    // Longer descriptions are cut to 58 characters.
    {"PortMappingDescription", "Description", "s", Field::Text, 21, 59,
     "set Description value:%s "},
};

constexpr int kWithdrawRule = 3;

// A removed rule that was enabled leaves the forwarding table too.
void withdraw_forwarding(const uint8_t *removed, uint32_t index) {
  if (removed[1] != 0) apply_PortForwarding(kWithdrawRule, static_cast<int>(index), 0);
}

const GDBusInterfaceVTable kVTable = {
    nullptr, PortMapping_handle_get_property, PortMapping_handle_set_property,
    IGD1_SET_MULTI_SLOT(portmapping_handle_set_multi_properties)};
const GDBusInterfaceVTable kManagerVTable = {PortMapping_handle_object_mng_call, nullptr, nullptr,
                                             {nullptr}};

igd1::CollectionState g_state;
uint8_t g_working_copy[PORTMAPPING_ROW_SIZE];

const igd1::Collection kCollection = {
    .noun = "PortMapping",
    .manager_path = "/com/wqx/igd1/Config/PortMapping",
    .child_format = "%d",
    .type_name = "ComWqxIgd1PortMappingInterface",
    .xml_file = "PortMapping.xml",
    .builtin_xml = nullptr,
    .introspection_data = &PortMapping_introspection_data,
    .introspection_name = "PortMapping_introspection_data",
    .vtable = &kVTable,
    .state = &g_state,
};

const igd1::RowCollection kRows = {
    .collection = kCollection,
    .properties = kProperties,
    .table = {PORTMAPPING_ROW_SIZE, MIB_CFG_PORTMAPPING, portmapping_update_all,
              portmapping_get_list, portmapping_get_list_by_instnum, portmapping_insert_entry,
              portmapping_remove_entry, portmapping_host_save_mib},
    .names = {"PortMapping_handle_get_property", "PortMapping_handle_set_property",
              "portmapping_handle_set_multi_properties", "PortMapping_handle_object_mng_call"},
    .working_copy = g_working_copy,
    .after_delete = withdraw_forwarding,
};
const igd1::PublishCollection kPublished(kRows);

}  // namespace

GDBusNodeInfo *PortMapping_introspection_data = nullptr;

void PortMapping_on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer) {
  DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d]", __func__, __LINE__);
  igd1::row_collection_start(kRows, connection, &kManagerVTable, PortMapping_add_interface);
}

int PortMapping_add_interface(uint32_t instance) {
  DBUS_LOG(LOG_LEVEL_INFO, "Add PortMapping interface, index is %d ", static_cast<int>(instance));
  DBUS_LOG(LOG_LEVEL_INFO, "object_path: %s",
           igd1::collection_child_path(kCollection, instance).c_str());
  igd1::collection_export_child(kCollection, instance);
  return 1;
}

int PortMapping_del_interface(uint32_t instance) {
  DBUS_LOG(LOG_LEVEL_INFO, "Delete PortMapping interface, index is %d ", static_cast<int>(instance));
  igd1::collection_unexport_child(kCollection, instance);
  return 1;
}

GType PortMapping_interface_get_type(void) { return igd1::collection_interface_type(kCollection); }

GVariant *PortMapping_interface_get_properties(GDBusInterfaceSkeleton *skeleton) {
  return igd1::collection_interface_properties(skeleton);
}

gboolean PortMapping_set_property(const gchar *property_name, GVariant *value, int *notify,
                                  int *changed, GError **error, void *row) {
  return igd1::apply_row_property(kProperties, property_name, value, notify, changed, error,
                                  static_cast<uint8_t *>(row));
}

IGD1_DEFINE_ROW_GET_HANDLER(PortMapping_handle_get_property, kRows)
IGD1_DEFINE_ROW_SET_HANDLER(PortMapping_handle_set_property, kRows)
IGD1_DEFINE_ROW_SET_MULTI_HANDLER(portmapping_handle_set_multi_properties, kRows)
IGD1_DEFINE_ROW_MANAGER_HANDLER(PortMapping_handle_object_mng_call, kRows)
