// The network access sign of the gateway's type approval, beside the device
// information object on /com/wqx/igd1/Info/Device with an interface of its
// own.  Read only, from the device information items.
#include "mib_api.h"
#include "small_objects.h"

namespace {

using igd1::OnFailure;
using igd1::Property;
using igd1::Raw;

constexpr Property kProperties[] = {
    {.name = "MarkType", .type = "y", .index = 39, .raw = Raw::U8},
    {.name = "DeviceModel", .index = 40, .on_failure = OnFailure::Error,
     .failure_log = "Get NETWORKACCESSSIGN_DEVICEMODEL failed!",
     .failure_error = "Get NETWORKACCESSSIGN_DEVICEMODEL failed!"},
    {.name = "NASN", .index = 41, .on_failure = OnFailure::Error,
     .failure_log = "Get NETWORKACCESSSIGN_NASN failed!",
     .failure_error = "Get NETWORKACCESSSIGN_NASN failed!"},
};

constexpr igd1::SingleObject kObject = {
    .path = "/com/wqx/igd1/Info/Device",
    .xml_file = "NetworkAccessSign.xml",
    .properties = kProperties,
    .get = deviceinfo_get_property,
};

}  // namespace

IGD1_READ_HANDLER(NetworkAccessSign_handle_get_property, kObject)
IGD1_SINGLE_OBJECT(NetworkAccessSign, NetworkAccessSign_introspection_data, kObject, nullptr,
                   NetworkAccessSign_handle_get_property, nullptr, nullptr)
