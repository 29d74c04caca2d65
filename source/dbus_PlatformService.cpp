// The gateway's connection to the operator's service platforms:
// /com/wqx/igd1/Ovatrix/PlatformService.  Properties only.
//
// Every accepted request is followed by the platform service notice; only
// the addresses, ports and the capability switch are announced on the bus.
#include "platformservice.h"

#include <cstring>
#include <iterator>

#include "mib_api.h"
#include "single_object.h"

namespace {

using igd1::CallContext;
using igd1::Property;
using igd1::Raw;
using igd1::SingleObject;
using igd1::WriteFlags;

constexpr char kPath[] = "/com/wqx/igd1/Ovatrix/PlatformService";
constexpr size_t kBuffer = 256;
constexpr size_t kTextMax = kBuffer - 1;

// How a write of each index is checked.
struct WriteRule {
  const char *log;       // the value, as it is offered
  uint32_t min = 0;      // numbers: accepted range
  uint32_t max = UINT32_MAX;
};

constexpr WriteRule kRules[] = {
    /* 0-3: read only */ {}, {}, {}, {},
    /* 4 */ {.log = "set DistAddr value:%s "},
    /* 5 */ {.log = "set Port value:%d "},
    /* 6 */ {.log = "set Heartbeat value:%d "},
    /* 7 */ {.log = "set Ability value:%d ", .min = 0, .max = 1},
    /* 8 */ {.log = "set LocalPort value:%d "},
    /* 9 */ {.log = "set Version value:%s "},
    /* 10 */ {.log = "set SSN value:%s "},
    /* 11 */ {.log = "set DistStatus value:%d ", .min = 1, .max = 5},
    /* 12 */ {.log = "set DistErrorMsg value:%s"},
    /* 13 */ {.log = "set OperAddr value:%s"},
    /* 14 */ {.log = "set OperStatus value:%d ", .min = 1, .max = 6},
    /* 15 */ {.log = "set OperErrorMsg value:%s"},
    /* 16 */ {.log = "set PluginAddr value:%s"},
    /* 17 */ {.log = "set PluginStatus value:%d ", .min = 1, .max = 6},
    /* 18 */ {.log = "set PluginErrorMsg value:%s"},
    /* 19 */ {.log = "set BSSAddr value:%s"},
};

bool refuse(GError **error) {
  DBUS_LOG(LOG_LEVEL_WARN, "Invalid parameter value");
  igd1::set_invalid_args(error, "Invalid parameter value");
  return false;
}

bool write_value(const CallContext &call, const SingleObject &, const Property &property,
                 const char *name, GVariant *value, WriteFlags *flags) {
  const WriteRule &rule = kRules[property.index];
  uint8_t buffer[kBuffer] = {};
  if (property.raw == Raw::Text) {
    gsize length = 0;
    const char *text = g_variant_get_string(value, &length);
    DBUS_LOG(LOG_LEVEL_INFO, rule.log, text);
    if (length > kTextMax || platformservice_check_valid_property_value(property.index, text) == 0)
      return refuse(call.error);
    std::memcpy(buffer, text, length);
  } else {
    const uint32_t number = property.raw == Raw::U8 ? g_variant_get_byte(value) : g_variant_get_uint32(value);
    DBUS_LOG(LOG_LEVEL_INFO, rule.log, int(number));
    if (number < rule.min || number > rule.max) return refuse(call.error);
    if (property.raw == Raw::U8)
      buffer[0] = uint8_t(number);
    else
      std::memcpy(buffer, &number, sizeof number);
  }
  if (platformservice_set_mib_property(property.index, buffer) == 0) {
    igd1::set_invalid_args(call.error, "set %s fail", name);
    return false;
  }
  flags->changed = 1;
  return true;
}

// Every accepted write is stored; only the addresses, the ports and the
// capability switch are announced.
constexpr auto kAnnounced = igd1::ChangeSignal::OnWrite;
constexpr auto kSilent = igd1::ChangeSignal::Never;
#define TEXT(prop, idx, signal) {.name = prop, .index = idx, .write = write_value, .change_signal = signal}
#define NUMBER(prop, idx, signal) \
  {.name = prop, .type = "u", .index = idx, .raw = Raw::U32, .write = write_value, .change_signal = signal}
#define STATUS(prop, idx, signal) \
  {.name = prop, .type = "y", .index = idx, .raw = Raw::U8, .write = write_value, .change_signal = signal}

constexpr Property kProperties[] = {
    {.name = "Appmodel", .type = "y", .index = 0, .raw = Raw::U8},
    {.name = "InitUAPwd", .index = 1},
    {.name = "InitSSID", .index = 2},
    {.name = "InitSSIDPwd", .index = 3},
    TEXT("DistAddr", 4, kAnnounced),
    NUMBER("Port", 5, kAnnounced),
    NUMBER("Heartbeat", 6, kSilent),
    NUMBER("Ability", 7, kAnnounced),
    NUMBER("LocalPort", 8, kAnnounced),
    TEXT("Version", 9, kSilent),
    TEXT("SSN", 10, kSilent),
    STATUS("DistStatus", 11, kSilent),
    TEXT("DistErrorMsg", 12, kSilent),
    TEXT("OperAddr", 13, kSilent),
    STATUS("OperStatus", 14, kSilent),
    TEXT("OperErrorMsg", 15, kSilent),
    TEXT("PluginAddr", 16, kSilent),
    STATUS("PluginStatus", 17, kSilent),
    TEXT("PluginErrorMsg", 18, kSilent),
    TEXT("BSSAddr", 19, kAnnounced),
};
static_assert(std::size(kProperties) == std::size(kRules));

#undef TEXT
#undef NUMBER
#undef STATUS

bool notify_services(const CallContext &, const SingleObject &, const WriteFlags &) {
  dbus_mib_update_cfg(MIB_CFG_PLATFORM_SERVICE, nullptr, MIB_ACTION_APPLY);
  return true;
}

// The object's own wording of the engine's texts.
const char *wording(igd1::ObjectText text, int *level) {
  using enum igd1::ObjectText;
  switch (text) {
    case ReadLog: *level = LOG_LEVEL_DETAIL; return nullptr;
    case UnknownLog: return igd1::kUnknownLineWithStop;
    default: return igd1::names_written_property(text, level);
  }
}

constexpr SingleObject kObject = {
    .path = kPath,
    .xml_file = "PlatformService.xml",
    .properties = kProperties,
    .get = platformservice_get_mib_property,
    .read_buffer = kBuffer,
    .wording = wording,
    .transaction = {.commit = notify_services},
};
}  // namespace

IGD1_READ_HANDLER(platformservice_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(platformservice_handle_set_property,
                    platformservice_handle_set_multi_properties, kObject)
IGD1_SINGLE_OBJECT(PlatformService, platformservice_introspection_data, kObject, nullptr,
                   platformservice_handle_get_property, platformservice_handle_set_property,
                   platformservice_handle_set_multi_properties)
