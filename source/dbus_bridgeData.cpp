// The bridged session of the data path: /com/wqx/igd1/Ovatrix/BridgeData.
// Read only.  Its access list is the collection below this path.
#include "mib_services.h"
#include "small_objects.h"

namespace {

using igd1::OnFailure;
using igd1::Property;
using igd1::Raw;

constexpr char kFailed[] = "Get %s failed";
constexpr OnFailure Error = OnFailure::Error;

constexpr Property kProperties[] = {
    {.name = "InterfaceName", .index = 0, .on_failure = Error, .failure_log = kFailed,
     .failure_error = kFailed},
    {.name = "SMAC", .index = 1, .on_failure = Error, .failure_log = kFailed, .failure_error = kFailed},
    {.name = "DMAC", .index = 2, .on_failure = Error, .failure_log = kFailed, .failure_error = kFailed},
    {.name = "SessionID", .type = "u", .index = 3, .raw = Raw::U32, .on_failure = Error,
     .failure_log = kFailed, .failure_error = kFailed},
    {.name = "IP", .index = 4, .on_failure = Error, .failure_log = kFailed, .failure_error = kFailed},
    {.name = "DNS", .index = 5, .on_failure = Error, .failure_log = kFailed, .failure_error = kFailed},
};

constexpr igd1::SingleObject kObject = {
    .path = "/com/wqx/igd1/Ovatrix/BridgeData",
    .xml_file = "BridgeData.xml",
    .properties = kProperties,
    .get = BridgeData_get_property,
};

}  // namespace

IGD1_READ_HANDLER(BridgeData_handle_get_property, kObject)
IGD1_SINGLE_OBJECT(BridgeData, BridgeData_introspection_data, kObject, nullptr,
                   BridgeData_handle_get_property, nullptr, nullptr)
