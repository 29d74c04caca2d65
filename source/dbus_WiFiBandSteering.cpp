// Band steering: /com/wqx/igd1/Config/WLAN/BandSteering.  A value is checked
// and then stored; a write request is applied once when it is done, never
// after a refused entry, and never announced.
#include <cstring>

#include "mib_wifi.h"
#include "wifibandsteering.h"

namespace {

using igd1::OnFailure;
using igd1::Property;
using igd1::Raw;

// The value in the width the store keeps it in: a byte for b, 32 bits for i and u.
bool store_checked(const igd1::CallContext &call, const igd1::SingleObject &, const Property &property,
                   const char *name, GVariant *value, igd1::WriteFlags *flags) {
  uint8_t byte = 0;
  int32_t number = 0;
  const void *stored = &number;
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN)) {
    byte = g_variant_get_boolean(value) ? 1 : 0;
    stored = &byte;
  } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_INT32)) {
    number = g_variant_get_int32(value);
  } else {
    const uint32_t unsigned_number = g_variant_get_uint32(value);
    std::memcpy(&number, &unsigned_number, sizeof number);
  }
  if (WiFiBandSteering_check_property_value(property.index, stored) == 0 ||
      WiFiBandSteering_set_property(property.index, stored) == 0) {
    g_set_error(call.error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "set %s failed!", name);
    return false;
  }
  flags->changed = 1;
  return true;
}

bool apply(const igd1::CallContext &call, const igd1::SingleObject &, const igd1::WriteFlags &) {
  if (WiFiBandSteering_set_property_update() != 0) return true;
  g_set_error_literal(call.error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "apply band steering failed");
  return false;
}

constexpr auto kSilent = igd1::ChangeSignal::Never;
constexpr Property kProperties[] = {
    {.name = "Enable", .type = "b", .index = 0, .raw = Raw::U8, .on_failure = OnFailure::Error,
     .failure_error = "get Enable failed!", .write = store_checked, .change_signal = kSilent},
    {.name = "Capability", .type = "b", .index = 1, .raw = Raw::U32},
    {.name = "RSSIThreshold", .type = "i", .index = 2, .raw = Raw::I32, .write = store_checked,
     .change_signal = kSilent},
    {.name = "RSSIThreshold5G", .type = "i", .index = 3, .raw = Raw::I32, .write = store_checked,
     .change_signal = kSilent},
    {.name = "ChannelUtilization5G", .type = "u", .index = 4, .raw = Raw::U32},
    {.name = "ChannelUtilizationThreshold5G", .type = "u", .index = 5, .raw = Raw::U32,
     .write = store_checked, .change_signal = kSilent},
    {.name = "STALoadThreshold2G", .type = "u", .index = 6, .raw = Raw::U32, .write = store_checked,
     .change_signal = kSilent},
    {.name = "SteeringDetectInterval", .type = "u", .index = 7, .raw = Raw::U32, .write = store_checked,
     .change_signal = kSilent},
};

constexpr igd1::SingleObject kObject = {
    .path = "/com/wqx/igd1/Config/WLAN/BandSteering",
    .xml_file = "WiFiBandSteering.xml",
    .properties = kProperties,
    .get = WiFiBandSteering_get_property,
    .transaction = {.commit = apply},
    .multi_failure = igd1::MultiFailure::Stop,
};

}  // namespace

IGD1_READ_HANDLER(WiFiBandSteering_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(WiFiBandSteering_handle_set_property,
                    WiFiBandSteering_handle_set_multi_properties, kObject)
IGD1_SINGLE_OBJECT(WiFiBandSteering, WiFiBandSteering_introspection_data, kObject, nullptr,
                   WiFiBandSteering_handle_get_property, WiFiBandSteering_handle_set_property,
                   WiFiBandSteering_handle_set_multi_properties)
