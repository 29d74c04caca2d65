// QoS priority queues: /com/wqx/igd1/Network/QoS/PriorityQueue, one child per
// scheduler queue (on or off, strict priority, weight, rate cap).  A write
// works on a working copy, stores it only when a value changed and then
// applies the QoS configuration.  Nothing is announced.
#include "qos.h"

#include "mib_api.h"

namespace {

using igd1::Field;

constexpr char kXml[] =
    "<node name='/com/wqx/igd1/Network/QoS/PriorityQueue/{i}'>"
    "<interface name='com.wqx.igd1.QoSPriorityQueue'>"
    "<property name='Enable' type='b' access='readwrite'/>\t"
    "<property name='Priority' type='u' access='readwrite'/>\t"
    "<property name='Weight' type='u' access='readwrite'/>\t"
    "<property name='Car' type='i' access='readwrite'/>"
    "</interface></node>";

constexpr igd1::RowProperty kProperties[] = {
    {.name = "Enable", .type = "b", .field = Field::Item, .write_log = "set Enable value:%d",
     .item = 0},
    {.name = "Priority", .type = "u", .field = Field::Item,
     .write_log = "set Priority value:%d", .item = 1},
    {.name = "Weight", .type = "u", .field = Field::Item,
     .write_log = "set Weight value:%d", .item = 2},
    {.name = "Car", .type = "i", .field = Field::Item, .write_log = "set Car value:%d",
     .item = 3},
};

constexpr char kAddFailed[] = "AddObject QoSPriorityQueue object fail";
constexpr char kDeletePath[] = "DeleteObject QoSPriorityQueue object path error";
constexpr char kDeleteFailed[] = "Delete QoSPriorityQueue Object error";
constexpr igd1::RowModule kModule = igd1::qos::table_module(
    "/com/wqx/igd1/Network/QoS/PriorityQueue", kProperties,
    igd1::RowTable{.store = &QoSPriorityQueue_table},
    igd1::qos::table_wording<kAddFailed, kDeletePath, kDeleteFailed>,
    kXml);

}  // namespace

IGD1_ROW_COLLECTION(QoSPriorityQueue, QoSPriorityQueue_introspection_data, "QoSPriorityQueue",
                    QoSPriorityQueue_handle_get_property, QoSPriorityQueue_handle_set_property,
                    QoSPriorityQueue_handle_set_multi_properties,
                    QoSPriorityQueue_handle_object_mng_call, kModule, QoSPriorityQueue)
