// QoS classifications: /com/wqx/igd1/Network/QoS/Classification, one child
// per traffic class (its queue and its DSCP and 802.1p marks), and under
// each child a manager ".../Classification/N/Type" of its match types (what
// to match and between which bounds), children ".../Type/M".
//
// A type's values live in its classification's record: a write works on a
// working copy of the classification, stores it only when a value changed
// and then applies the QoS configuration.  The type manager comes up with
// its classification's child (before AddObject replies) and goes with it.
// Nothing is announced.
#include "qos.h"

#include "mib_api.h"

namespace {

using igd1::Field;

constexpr char kManagerPath[] = "/com/wqx/igd1/Network/QoS/Classification";

constexpr char kClassificationXml[] =
    "<node name='/com/wqx/igd1/Network/QoS/Classification/{i}'>"
    "<interface name='com.wqx.igd1.QoSClassification'>"
    "<property name='ClassQueue' type='u' access='readwrite'/>\t"
    "<property name='DSCPMarkValue' type='u' access='readwrite'/>\t"
    "<property name='VLAN8021PValue' type='u' access='readwrite'/>"
    "</interface></node>";

constexpr char kTypeXml[] =
    "<node name='/com/wqx/igd1/Network/QoS/Classification/{i}/Type/{i}'>"
    "<interface name='com.wqx.igd1.QoSClassificationType'>"
    "<property name='Type' type='s' access='readwrite'/>\t"
    "<property name='Max' type='s' access='readwrite'/>\t"
    "<property name='Min' type='s' access='readwrite'/>\t"
    "<property name='ProtocolList' type='s' access='readwrite'/>"
    "</interface></node>";

// ---- match types ----

constexpr igd1::RowProperty kTypeProperties[] = {
    {.name = "Type", .field = Field::Item, .size = 64, .write_log = "set Type value:%s", .item = 0},
    {.name = "Max", .field = Field::Item, .size = 512, .write_log = "set Max value:%s", .item = 1},
    {.name = "Min", .field = Field::Item, .size = 512, .write_log = "set Min value:%s", .item = 2},
    {.name = "ProtocolList", .field = Field::Item, .size = 32,
     .write_log = "set ProtocolList value:%s", .item = 3},
};

igd1::NestedManagers g_type_managers = {.suffix = "Type"};

constexpr char kTypeAddFailed[] = "AddObject QoSClassificationType object fail";
constexpr char kTypeDeletePath[] = "DeleteObject QoSClassificationType object path error";
constexpr char kTypeDeleteFailed[] = "Delete QoSClassificationType Object error";
// A type manager whose classification is gone refuses AddObject as a path error.
constexpr char kTypeAddPath[] = "AddObject QoSClassificationType object path error";

// Types are reached through their classification's record and working copy.
constexpr igd1::RowModule types_module() {
  igd1::RowModule module = igd1::qos::table_module(
      kManagerPath, kTypeProperties,
      {.store = &QoSClassification_table,
       .inner = {.get_item = QoSClassificationType_get_mib_property,
                 .set_item = QoSClassificationType_set_mib_property,
                 .insert = QoSClassificationType_insert_entry,
                 .remove = QoSClassificationType_remove_entry,
                 .init = QoSClassificationType_init_entry,
                 .parent_offset = QOS_TYPE_PARENT_OFFSET}},
      igd1::qos::table_wording<kTypeAddFailed, kTypeDeletePath, kTypeDeleteFailed, kTypeAddPath>,
      kTypeXml);
  module.nested = &g_type_managers;
  return module;
}
constexpr igd1::RowModule kTypes = types_module();

// ---- classifications ----

constexpr igd1::RowProperty kProperties[] = {
    {.name = "ClassQueue", .type = "u", .field = Field::Item,
     .write_log = "set ClassQueue value:%d", .item = 0},
    {.name = "DSCPMarkValue", .type = "u", .field = Field::Item,
     .write_log = "set DSCPMarkValue value:%d", .item = 1},
    {.name = "VLAN8021PValue", .type = "u", .field = Field::Item,
     .write_log = "set VLAN8021PValue value:%d", .item = 2},
};

constexpr igd1::RowModule with_type_managers(igd1::RowModule module) {
  module.nested = &g_type_managers;
  return module;
}

constexpr char kAddFailed[] = "AddObject QoSClassification object fail";
constexpr char kDeletePath[] = "DeleteObject QoSClassification object path error";
constexpr char kDeleteFailed[] = "Delete QoSClassification Object error";
constexpr igd1::RowModule kClassifications = with_type_managers(igd1::qos::table_module(
    kManagerPath, kProperties, igd1::RowTable{.store = &QoSClassification_table},
    igd1::qos::table_wording<kAddFailed, kDeletePath, kDeleteFailed>,
    kClassificationXml));

}  // namespace

IGD1_ROW_COLLECTION(QoSClassificationType, QoSClassificationType_introspection_data,
                    "QoSClassificationType", QoSClassificationType_handle_get_property,
                    QoSClassificationType_handle_set_property,
                    QoSClassificationType_handle_set_multi_properties,
                    QoSClassificationType_handle_object_mng_call, kTypes)
IGD1_NESTED_ROW_COLLECTION(QoSClassificationType, kTypes)
IGD1_ROW_COLLECTION(QoSClassification, QoSClassification_introspection_data, "QoSClassification",
                    QoSClassification_handle_get_property, QoSClassification_handle_set_property,
                    QoSClassification_handle_set_multi_properties,
                    QoSClassification_handle_object_mng_call, kClassifications, QoSClassification)
