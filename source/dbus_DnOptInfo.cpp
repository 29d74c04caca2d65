// Downstream optimisation: whether the gateway shapes its downstream
// traffic for latency, how, and how much it optimised; at the path its
// introspection file names.  Read only; the counters change by themselves.
#include "mib_services.h"
#include "small_objects.h"

namespace {

using igd1::OnFailure;
using igd1::Property;
using igd1::Raw;

constexpr char kFailed[] = "get %s failed!";
constexpr OnFailure Error = OnFailure::Error;

constexpr Property kProperties[] = {
    {.name = "Enable", .type = "b", .index = 0, .raw = Raw::I32, .on_failure = Error,
     .failure_log = kFailed, .failure_error = kFailed},
    {.name = "Mode", .index = 1, .buffer = 16, .on_failure = Error, .failure_log = kFailed,
     .failure_error = kFailed},
    {.name = "ActiveFlows", .type = "u", .index = 2, .raw = Raw::U32, .on_failure = Error,
     .failure_log = kFailed, .failure_error = kFailed},
    {.name = "OptimisedFlows", .type = "t", .index = 3, .raw = Raw::U64, .on_failure = Error,
     .failure_log = kFailed, .failure_error = kFailed},
    {.name = "OptimisedBytes", .type = "t", .index = 4, .raw = Raw::U64, .on_failure = Error,
     .failure_log = kFailed, .failure_error = kFailed},
};

constexpr igd1::SingleObject kObject = {
    .path = nullptr,
    .xml_file = "DnOptInfo.xml",
    .properties = kProperties,
    .get = DnOptInfo_get_property,
};

}  // namespace

IGD1_READ_HANDLER(DnOptInfo_handle_get_property, kObject)
IGD1_SINGLE_OBJECT(DnOptInfo, DnOptInfo_introspection_data, kObject, nullptr,
                   DnOptInfo_handle_get_property, nullptr, nullptr)
