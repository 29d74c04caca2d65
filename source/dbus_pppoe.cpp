// PPPoE: /com/wqx/igd1/Ovatrix/PPPoE, the user name the internet connection
// dials with.  The connection's entry is held only while the name is read
// and released on every path.
#include <memory>

#include "mib_services.h"
#include "service_objects.h"

namespace {

using igd1::CallContext;
using igd1::Property;
using igd1::SingleObject;

constexpr unsigned kUserNameBuffer = 65;

struct EntryRelease {
  void operator()(pppoe_wan_entry *entry) const { pppoe_free_wan_entry(entry); }
};

GVariant *read_user_name(const CallContext &call, const SingleObject &, const Property &property) {
  pppoe_wan_entry *fetched = nullptr;
  const int found = pppoe_get_wan_entry(PPPOE_SERVICE_INTERNET, &fetched);
  const std::unique_ptr<pppoe_wan_entry, EntryRelease> entry(fetched);
  if (found == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "get wan entry failed!");
    igd1::set_invalid_args(call.error, "get wan entry failed!");
    return nullptr;
  }
  char name[kUserNameBuffer] = {};
  if (pppoe_get_mib_property(property.index, name) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "get %s failed!", property.name);
    igd1::set_invalid_args(call.error, "get %s failed!", property.name);
    return nullptr;
  }
  return igd1::text_value(name, sizeof name, property.name, call.error);
}

constexpr Property kProperties[] = {
    {.name = "PPPoEUserName", .index = 0, .read = read_user_name},
};

constexpr SingleObject kObject = {
    .path = "/com/wqx/igd1/Ovatrix/PPPoE",
    .xml_file = "PPPoE.xml",
    .properties = kProperties,
};

}  // namespace

IGD1_READ_HANDLER(pppoe_handle_get_property, kObject)
IGD1_SINGLE_OBJECT(pppoe_object, pppoe_introspection_data, kObject, nullptr,
                   pppoe_handle_get_property, nullptr, nullptr)
