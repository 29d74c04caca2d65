// QoS applications: /com/wqx/igd1/Network/QoS/App, one child per application
// name (at most 16 characters) and the class queue its traffic goes to.  A
// write works on a working copy, stores it only when a value changed and then
// applies the QoS configuration.  Nothing is announced.
#include "qos.h"

#include "mib_api.h"

namespace {

using igd1::Field;

constexpr char kXml[] =
    "<node name='/com/wqx/igd1/Network/QoS/App/{i}'>"
    "<interface name='com.wqx.igd1.QoSApp'>"
    "<property name='AppName' type='s' access='readwrite'/>\t"
    "<property name='ClassQueue' type='u' access='readwrite'/>"
    "</interface></node>";

constexpr igd1::RowProperty kProperties[] = {
    // A name that does not fit is refused as a wrong property, not cut.
    {.name = "AppName", .field = Field::Item, .size = 17, .write_log = "set AppName value:%s",
     .item = 0, .refused = "Invalid property %s"},
    {.name = "ClassQueue", .type = "u", .field = Field::Item,
     .write_log = "set ClassQueue value:%d", .item = 1},
};

constexpr char kAddFailed[] = "AddObject QoSApp object fail";
constexpr char kDeletePath[] = "DeleteObject QoSApp object path error";
constexpr char kDeleteFailed[] = "Delete QoSApp Object error";
constexpr igd1::RowModule kModule = igd1::qos::table_module(
    "/com/wqx/igd1/Network/QoS/App", kProperties, igd1::RowTable{.store = &QoSApp_table},
    igd1::qos::table_wording<kAddFailed, kDeletePath, kDeleteFailed>,
    kXml);

}  // namespace

IGD1_ROW_COLLECTION(QoSApp, QoSApp_introspection_data, "QoSApp", QoSApp_handle_get_property,
                    QoSApp_handle_set_property, QoSApp_handle_set_multi_properties,
                    QoSApp_handle_object_mng_call, kModule, QoSApp)
