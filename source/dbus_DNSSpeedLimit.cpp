// The DNS speed limit: /com/wqx/igd1/Network/DNSSpeedLimit.  Which domains
// are limited and what happens over the limit are written (cut to fit their
// buffers); what the DNS service reports is read only.  Accepted writes are
// noticed to the DNS service.

#include "mib_api.h"
#include "mib_services.h"
#include "service_objects.h"

namespace {

using igd1::CallContext;
using igd1::OnFailure;
using igd1::Property;
using igd1::SingleObject;
using igd1::Stored;
using igd1::WriteFlags;

constexpr char kReadFailed[] = "Get %s failed";
constexpr unsigned kDomainBuffer = 1024;

// The domain list is larger than the engine's read buffer.
GVariant *read_domain(const CallContext &call, const SingleObject &, const Property &property) {
  char text[kDomainBuffer] = {};
  if (DNSSpeedLimit_get_mib_property(property.index, text) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, kReadFailed, property.name);
    igd1::set_invalid_args(call.error, kReadFailed, property.name);
    return nullptr;
  }
  return igd1::text_value(text, sizeof text, property.name, call.error);
}

bool notify_services(const CallContext &, const SingleObject &, const WriteFlags &flags) {
  if (flags.changed) dbus_mib_update_cfg(MIB_CFG_DNS_SPEED_LIMIT, nullptr, MIB_ACTION_APPLY);
  return true;
}

constexpr Property kProperties[] = {
    {.name = "Domain", .index = 0, .read = read_domain, .write = igd1::store_value,
     .stored = Stored::Text, .write_log = "set Domain = %s", .cut_at = kDomainBuffer - 1},
    {.name = "LimitAction", .index = 1, .buffer = 33, .on_failure = OnFailure::Error,
     .failure_log = kReadFailed, .failure_error = kReadFailed, .write = igd1::store_value,
     .stored = Stored::Text, .write_log = "set LimitAction = %s", .cut_at = 32},
    {.name = "HgwInfo", .index = 2, .buffer = 256, .on_failure = OnFailure::Error,
     .failure_log = kReadFailed, .failure_error = kReadFailed},
    {.name = "DeviceInfo", .index = 3, .buffer = 256, .on_failure = OnFailure::Error,
     .failure_log = kReadFailed, .failure_error = kReadFailed},
};

// The object's own wording of the engine's texts.
const char *wording(igd1::ObjectText text, int *level) {
  using enum igd1::ObjectText;
  switch (text) {
    case UnknownWrite: return "Invalid property %s";
    case StoreRefused: return "Invalid parameter value";
    default: return igd1::names_written_property(text, level);
  }
}

constexpr SingleObject kObject = {
    .path = "/com/wqx/igd1/Network/DNSSpeedLimit",
    .xml_file = "DNSSpeedLimit.xml",
    .properties = kProperties,
    .get = DNSSpeedLimit_get_mib_property,
    .set = DNSSpeedLimit_set_mib_property,
    .wording = wording,
    .transaction = {.commit = notify_services},
};

}  // namespace

IGD1_READ_HANDLER(DNSSpeedLimit_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(DNSSpeedLimit_handle_set_property, DNSSpeedLimit_handle_set_multi_properties,
                    kObject)
IGD1_SINGLE_OBJECT(DNSSpeedLimit, DNSSpeedLimit_introspection_data, kObject, nullptr,
                   DNSSpeedLimit_handle_get_property, DNSSpeedLimit_handle_set_property,
                   DNSSpeedLimit_handle_set_multi_properties)
