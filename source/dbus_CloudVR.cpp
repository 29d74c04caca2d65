// Cloud VR: the account of the cloud virtual-reality service, at the path
// its introspection file names.  Read only.  Its method is taken in and
// logged and never answered: a client that waits for a reply meets its own
// time-out, one that sends the call without expecting a reply meets nothing.
#include "mib_services.h"
#include "small_objects.h"

namespace {

using igd1::OnFailure;
using igd1::PendingCall;
using igd1::Property;
using igd1::Raw;

constexpr char kFailed[] = "get %s failed!";

constexpr Property kProperties[] = {
    {.name = "Enable", .type = "b", .index = 0, .raw = Raw::I32, .on_failure = OnFailure::Error,
     .failure_log = kFailed, .failure_error = kFailed},
    {.name = "UserID", .index = 1, .buffer = 128, .on_failure = OnFailure::Error,
     .failure_log = "Get DEVICE_INFO_PRODUCTCLASS failed!",
     .failure_error = "Get DEVICE_INFO_PRODUCTCLASS failed!"},
    {.name = "Password", .index = 2, .on_failure = OnFailure::Error, .failure_log = kFailed,
     .failure_error = kFailed},
};

void take_in(const PendingCall &call, GVariant *) {
  DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d],method_name:%s", __func__, __LINE__, call.method());
}

constexpr igd1::Method kMethods[] = {
    {.name = "Connect", .handler = take_in, .answer = igd1::Answer::Never},
};

constexpr igd1::SingleObject kObject = {
    .path = nullptr,
    .xml_file = "CloudVR.xml",
    .properties = kProperties,
    .get = CloudVR_get_property,
    .methods = kMethods,
};

}  // namespace

IGD1_READ_HANDLER(CloudVR_handle_get_property, kObject)
IGD1_METHOD_HANDLER(CloudVR_handle_method_call, kObject)
IGD1_SINGLE_OBJECT(CloudVR, CloudVR_introspection_data, kObject, CloudVR_handle_method_call,
                   CloudVR_handle_get_property, nullptr, nullptr)
