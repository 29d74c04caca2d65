// The two voice lines: /com/wqx/igd1/Info/VoIP.  Read only; every read loads
// the voice configuration first, and the directory numbers need it loaded.
#include "mib_services.h"
#include "small_objects.h"

namespace {

using igd1::CallContext;
using igd1::Property;
using igd1::SingleObject;

constexpr int kFirstStatusIndex = 2;
constexpr size_t kText = 64;

GVariant *read_voice(const CallContext &call, const SingleObject &, const Property &property) {
  const bool loaded = DBUS_flash_get() == 0;
  if (!loaded && property.index < kFirstStatusIndex) {
    DBUS_LOG(LOG_LEVEL_WARN, "get  pVoIPCfg fail!");
    igd1::set_invalid_args(call.error, "get pVoIPCfg fail!");
    return nullptr;
  }
  char text[kText] = {};
  if (voipinfo_get_mib_property(property.index, text) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d],get %s failed!", __func__, __LINE__,
             property.name);
    igd1::set_invalid_args(call.error, "get %s failed!", property.name);
    return nullptr;
  }
  return igd1::text_value(text, sizeof text, property.name, call.error);
}

constexpr Property kProperties[] = {
    {.name = "VoIPName1", .index = 0, .read = read_voice},
    {.name = "VoIPName2", .index = 1, .read = read_voice},
    {.name = "Line1Status", .index = 2, .read = read_voice},
    {.name = "Line2Status", .index = 3, .read = read_voice},
};

constexpr SingleObject kObject = {
    .path = "/com/wqx/igd1/Info/VoIP",
    .xml_file = "VoIPInfo.xml",
    .properties = kProperties,
};

}  // namespace

IGD1_READ_HANDLER(voipinfo_handle_get_property, kObject)
IGD1_SINGLE_OBJECT(voipinfo, voipinfo_introspection_data, kObject, nullptr,
                   voipinfo_handle_get_property, nullptr, nullptr)
