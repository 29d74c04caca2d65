// Identity, versions, hardware figures and live load of the gateway:
// /com/wqx/igd1/Info/Device.  The device name is the one writable property.
#include "deviceinfo.h"

#include <cstdio>
#include <cstring>

#include "host_api.h"
#include "mib_api.h"
#include "single_object.h"
#include "sys_paths.h"

namespace {

using igd1::CallContext;
using igd1::OnFailure;
using igd1::Property;
using igd1::Raw;
using igd1::SingleObject;
using igd1::Variant;
using igd1::WriteFlags;

constexpr char kPath[] = "/com/wqx/igd1/Info/Device";
constexpr int kDevNameIndex = 18;
constexpr int kDevType2Index = 14;
constexpr size_t kDevNameMax = 127;

// Names the product answers with when its own record cannot be read.
constexpr char kDefaultManufacturer[] = "Wqx Networks";
constexpr char kDefaultChipClass[] = "WQ9607";

// The device name answers "" when it cannot be read or is not UTF-8.
GVariant *read_dev_name(const CallContext &, const SingleObject &, const Property &property) {
  char name[kDevNameMax + 1] = {};
  if (deviceinfo_get_property(property.index, name) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "Get DEVICE_INFO_DEVNAME failed!");
    return g_variant_new_string("");
  }
  name[kDevNameMax] = '\0';
  if (!g_utf8_validate(name, -1, nullptr)) {
    DBUS_LOG(LOG_LEVEL_WARN, "DevName error");
    return g_variant_new_string("");
  }
  return g_variant_new_string(name);
}

bool write_dev_name(const CallContext &call, const SingleObject &, const Property &property,
                    const char *name, GVariant *value, WriteFlags *flags) {
  gsize length = 0;
  const char *text = g_variant_get_string(value, &length);
  DBUS_LOG(LOG_LEVEL_INFO, "set DevName [%s].", text);
  if (length > kDevNameMax) {
    igd1::set_invalid_args(call.error, "Invalid parameter value");
    return false;
  }
  char stored[kDevNameMax + 1] = {};
  std::memcpy(stored, text, length);
  if (deviceinfo_set_property(property.index, stored) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d], set %s failed!", __func__, __LINE__, name);
    igd1::set_invalid_args(call.error, "set %s failed!", name);
    return false;
  }
  flags->changed = 1;
  return true;
}

constexpr OnFailure Error = OnFailure::Error;
constexpr OnFailure Fallback = OnFailure::Fallback;

constexpr Property kProperties[] = {
    {.name = "BusinessStatus", .type = "y", .index = 0, .raw = Raw::U8},
    {.name = "Vendor", .alias = "Manufacturer", .index = 1, .on_failure = Fallback,
     .failure_log = "Get DEVICE_INFO_MANUFACTURER failed!", .fallback_text = kDefaultManufacturer},
    {.name = "MAC", .index = 2, .buffer = 32, .on_failure = Error,
     .failure_error = "Get DEVICE_INFO_MAC failed!"},
    {.name = "WQEI", .index = 3, .buffer = 15, .on_failure = Error,
     .failure_error = "Get DEVICE_INFO_WQEI failed!"},
    {.name = "ipaddr", .index = 4, .on_failure = Error,
     .failure_error = "Get DEVICE_INFO_IPADDR failed!"},
    {.name = "SWVersion", .index = 5, .on_failure = Error,
     .failure_error = "Get DEVICE_INFO_SWVERSION failed!"},
    {.name = "HDVersion", .index = 6, .on_failure = Error,
     .failure_error = "Get DEVICE_INFO_HDVERSION failed!"},
    {.name = "ITMSProtocolVersion", .index = 7, .on_failure = Fallback,
     .failure_log = "Get DEVICE_INFO_ITMSPROTOCOLVERSION failed!",
     .fallback_text = "Q/WQ 2271-2014|a1.0"},
    {.name = "SpecVersion", .index = 8, .on_failure = Fallback,
     .failure_log = "Get DEVICE_INFO_SPECVERSION failed!", .fallback_text = "Q/WQ 2603-2018"},
    {.name = "DBusInterfaceVersion", .index = 9, .on_failure = Fallback,
     .failure_log = "Get DEVICE_INFO_DBUSINTERFACEVERSION failed!", .fallback_text = "1.2"},
    {.name = "ProductClass", .index = 10, .on_failure = Error,
     .failure_error = "Get DEVICE_INFO_PRODUCTCLASS failed!"},
    {.name = "MainChipClass", .alias = "CPUClass", .index = 11, .on_failure = Fallback,
     .failure_log = "Get DEVICE_INFO_CPUCLASS failed!", .fallback_text = kDefaultChipClass},
    {.name = "DevType", .index = 12, .on_failure = Error,
     .failure_error = "Get DEVICE_INFO_DEVTYPE failed!", .variant = Variant::NotServiceType1},
    {.name = "DevType1", .index = 13, .on_failure = Error,
     .failure_error = "Get DEVICE_INFO_DEVTYPE1 failed!"},
    {.name = "DevType2", .index = 14, .on_failure = Fallback,
     .failure_log = "Get DEVICE_INFO_DEVTYPE2 failed!", .fallback_text = "Lumora_2.0"},
    {.name = "Capability", .index = 15, .on_failure = Error,
     .failure_error = "Get DEVICE_INFO_CAPABILITY failed!"},
    {.name = "FlashSize", .type = "u", .index = 16, .raw = Raw::U32, .on_failure = Fallback,
     .failure_log = "Get DEVICE_INFO_FLASHSIZE failed!", .fallback_number = 134217728},
    {.name = "RamSize", .type = "u", .index = 17, .raw = Raw::U32, .on_failure = Fallback,
     .failure_log = "Get DEVICE_INFO_RAMSIZE failed!", .fallback_number = 268435456},
    {.name = "DevName", .index = kDevNameIndex, .buffer = 128, .read = read_dev_name,
     .write = write_dev_name},
    {.name = "CPUUsage", .type = "y", .index = 19, .raw = Raw::U8},
    {.name = "MEMUsage", .type = "y", .index = 20, .raw = Raw::U8},
    {.name = "FlashUsage", .type = "y", .index = 21, .raw = Raw::U8},
    {.name = "UpTime", .alias = "SysDuration", .type = "u", .index = 22, .raw = Raw::U32},
    {.name = "HGUSleep", .alias = "HGWSleep", .type = "y", .index = 23, .raw = Raw::U8},
    {.name = "GPONSN", .index = 24, .on_failure = Error, .failure_error = "Get DEVICE_INFO_OUI failed!"},
    {.name = "ModelName", .index = 25, .on_failure = Error,
     .failure_error = "Get DEVICE_INFO_MODELNAME failed!"},
    {.name = "POTSNum", .type = "u", .index = 26, .raw = Raw::U32},
    {.name = "ManufacturerOUI", .index = 27, .on_failure = Error,
     .failure_error = "Get DEVICE_INFO_OUI failed!"},
    {.name = "SerialNumber", .index = 28, .on_failure = Error,
     .failure_error = "Get DEVICE_INFO_SN failed!"},
    {.name = "DevStyle", .index = 29, .buffer = 33, .on_failure = Error,
     .failure_error = "Get DEVICE_INFO_DEVSTYLE failed!"},
    {.name = "DevWiFi", .type = "y", .index = 30, .raw = Raw::U8},
    {.name = "DevUSB", .type = "y", .index = 31, .raw = Raw::U8},
    {.name = "LANNum", .type = "u", .index = 32, .raw = Raw::U32},
    {.name = "WiFiVersion", .type = "y", .index = 33, .raw = Raw::U8},
    {.name = "KernelVersion", .index = 34, .on_failure = Error,
     .failure_error = "Get DEVICE_INFO_KERNELVERSION failed!"},
    {.name = "KernelBit", .type = "u", .index = 35, .raw = Raw::U32},
    {.name = "IfName", .index = 36, .buffer = 32, .on_failure = Error,
     .failure_error = "Get DEVICE_INFO_IFNAME failed!"},
    {.name = "DevType", .type = "y", .index = 37, .raw = Raw::U8, .variant = Variant::ServiceType1},
    {.name = "WorkMode", .type = "y", .index = 38, .raw = Raw::U8},
};

bool commit(const CallContext &, const SingleObject &, const WriteFlags &) {
  deviceinfo_set_property_update();
  return true;
}

// Other processes read the second device type from a file.
void publish_dev_type2() {
  deviceinfo_interface_init();
  char dev_type2[127] = {};
  if (deviceinfo_get_property(kDevType2Index, dev_type2) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "Get DEVICE_INFO_DEVTYPE2 failed!");
    dev_type2[0] = '\0';
  }
  dev_type2[sizeof dev_type2 - 1] = '\0';
  FILE *file = std::fopen(igd1::sys_path(igd1::path::kDevType2Value).c_str(), "w");
  if (file == nullptr) {
    std::printf("***** Open file /var/run/.devtype2_value failed !");
    return;
  }
  std::fputs(dev_type2, file);
  std::fclose(file);
}

// The object's own wording of the engine's texts.
const char *wording(igd1::ObjectText text, int *level) {
  using enum igd1::ObjectText;
  switch (text) {
    case MultiLog: *level = LOG_LEVEL_INFO; return "func [%s], object_path:%s";
    case UnknownLog: return igd1::kUnknownLineWithStop;
    default: return nullptr;
  }
}

constexpr SingleObject kObject = {
    .path = kPath,
    .xml_file = "DeviceInfo.xml",
    .properties = kProperties,
    .get = deviceinfo_get_property,
    .wording = wording,
    .transaction = {.commit = commit},
    .announce = igd1::Announce::ServiceType0,  // changes are announced on service type 0 only
    .multi_failure = igd1::MultiFailure::Stop,
    .multi_announce = igd1::MultiAnnounce::Always,
    .start = igd1::on_registered<publish_dev_type2>,
};

}  // namespace

IGD1_READ_HANDLER(deviceinfo_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(deviceinfo_handle_set_property, deviceinfo_handle_set_multi_properties, kObject)
IGD1_SINGLE_OBJECT(devinfo, devinfo_introspection_data, kObject, nullptr,
                   deviceinfo_handle_get_property, deviceinfo_handle_set_property,
                   deviceinfo_handle_set_multi_properties)

int deviceinfo_set_props_func(const gchar *property_name, GVariant *value, GError **error) {
  WriteFlags flags;
  return igd1::object_write(kObject, property_name, value, &flags, error) ? 1 : 0;
}

