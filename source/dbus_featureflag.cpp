// Which optional features this gateway's firmware carries: at the path its
// introspection file names.  Read only.
#include "mib_services.h"
#include "small_objects.h"

namespace {

using igd1::OnFailure;
using igd1::Property;
using igd1::Raw;

constexpr char kFailed[] = "get %s failed!";

constexpr Property kProperties[] = {
    {.name = "H248", .type = "b", .index = 0, .raw = Raw::I32, .on_failure = OnFailure::Error,
     .failure_log = kFailed, .failure_error = kFailed},
    {.name = "PortBind", .type = "b", .index = 1, .raw = Raw::I32, .on_failure = OnFailure::Error,
     .failure_log = kFailed, .failure_error = kFailed},
    {.name = "VlanBind", .type = "b", .index = 2, .raw = Raw::I32, .on_failure = OnFailure::Error,
     .failure_log = kFailed, .failure_error = kFailed},
    {.name = "OnDemandDialin", .type = "b", .index = 3, .raw = Raw::I32,
     .on_failure = OnFailure::Error, .failure_log = kFailed, .failure_error = kFailed},
};

constexpr igd1::SingleObject kObject = {
    .path = nullptr,
    .xml_file = "featureflag.xml",
    .properties = kProperties,
    .get = featureflag_get_property,
};

}  // namespace

IGD1_READ_HANDLER(featureflag_handle_get_property, kObject)
IGD1_SINGLE_OBJECT(featureflag, featureflag_introspection_data, kObject, nullptr,
                   featureflag_handle_get_property, nullptr, nullptr)
