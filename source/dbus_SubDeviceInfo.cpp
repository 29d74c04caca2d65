// The sub-devices: /com/wqx/igd1/Config/SubDeviceInfo publishes each room
// unit attached to the gateway as a child.  Units write their own identity,
// load and optical readings; clients read them and may deactivate a unit.
// Units come and go with the store's table only: AddObject and DeleteObject
// are refused.  Only a new name and the IPTV switch are announced; the
// figures change all the time and are read when needed.  Every read first
// takes the gateway's own optical measurement of the unit, and a poll on
// the main loop stores those measurements once a minute.
#include "subdeviceinfo.h"

#include "mib_network_tables.h"
#include "tool.h"

namespace {

using igd1::Announce;
using igd1::Field;

constexpr guint kPollMs = 60000;
guint g_poll_source = 0;

#define UNIT(prop, bus_type, number) \
  {.name = prop, .type = bus_type, .field = Field::Item, .item = number}
#define WRITABLE(prop, bus_type, number, log) \
  {.name = prop, .type = bus_type, .field = Field::Item, .write_log = log, .item = number}
#define TEXT(prop, number, bytes)                                                        \
  {.name = prop, .field = Field::Item, .size = bytes, .write_log = "set " prop " value:%s", \
   .item = number}
#define ANNOUNCED(prop, bus_type, bytes, number, log)                                    \
  {.name = prop, .type = bus_type, .field = Field::Item, .size = bytes, .write_log = log,  \
   .announce = Announce::Always, .item = number}

constexpr igd1::RowProperty kProperties[] = {
    TEXT("Manufacturer", 0, 64),
    UNIT("MAC", "s", 1),
    TEXT("WQEI", 2, 16),
    TEXT("ProductClass", 3, 64),
    TEXT("SWVersion", 4, 64),
    TEXT("HDVersion", 5, 64),
    TEXT("SpecVersion", 6, 64),
    TEXT("DBusInterfaceVersion", 7, 16),
    TEXT("DevType", 8, 32),
    TEXT("Capability", 9, 64),
    WRITABLE("FlashSize", "u", 10, "set FlashSize value:%d"),
    WRITABLE("RamSize", "u", 11, "set RamSize value:%d"),
    ANNOUNCED("DevName", "s", 64, 12, "set DevName value:%s"),
    WRITABLE("CPUUsage", "y", 13, "set CPUUsage value:%d"),
    WRITABLE("MEMUsage", "y", 14, "set MEMUsage value:%d"),
    WRITABLE("FlashUsage", "y", 15, "set FlashUsage value:%d"),
    WRITABLE("SysDuration", "u", 16, "set SysDuration value:%d"),
    ANNOUNCED("IPTVEnable", "b", 0, 17, "set IPTVEnable value:%d"),
    UNIT("IPTVEthPort", "s", 18),
    UNIT("VlanID", "i", 19),
    WRITABLE("OptTemperature", "d", 20, "set OptTemperature value:%d"),
    WRITABLE("OptCurrent", "d", 21, "set OptCurrent value:%d"),
    WRITABLE("OptVoltage", "d", 22, "set OptVoltage value:%d"),
    WRITABLE("OptTxPower", "d", 23, "set OptTxPower value:%d"),
    WRITABLE("OptRxPower", "d", 24, "set OptRxPower value:%d"),
    UNIT("ONTDistance", "i", 25),
    UNIT("LastDownCause", "s", 26),
    UNIT("LastDownTime", "s", 27),
    UNIT("DnOptRxPower", "d", 28),
    UNIT("OptErrStatus", "b", 29),
    UNIT("PONSN", "s", 30),
    UNIT("Active", "b", 31),
};

#undef UNIT
#undef WRITABLE
#undef TEXT
#undef ANNOUNCED

void deactivate(const igd1::PendingCall &call, GVariant *parameters) {
  const char *path = nullptr;
  g_variant_get(parameters, "(&o)", &path);
  char errdesc[64] = "";
  subdeviceinfo_deactive_onu(path, errdesc, sizeof errdesc);
  DBUS_LOG(LOG_LEVEL_INFO, "errdesc [%s]", errdesc);
  call.reply(g_variant_new("(s)", errdesc));
}

constexpr igd1::Method kMethods[] = {{.name = "DeactiveONU", .handler = deactivate}};

int store_unit(const void *copy) {
  return subdeviceinfo_update_entry(copy, subdeviceinfo_get_instnum(copy));
}

// One poll per process: a start on a new connection replaces the last one.
void start_poll() {
  if (g_poll_source != 0 && g_main_context_find_source_by_id(nullptr, g_poll_source) != nullptr)
    g_source_remove(g_poll_source);
  g_poll_source = g_timeout_add(kPollMs, DnOpt_status, nullptr);
  g_source_set_name_by_id(g_poll_source, kSubDevicePollName);
}

// The module's own wording of the engine's texts.
const char *wording(igd1::RowText text) {
  using enum igd1::RowText;
  switch (text) {
    case GetNoRow: return "func [%s] :invalid list num  %d ";
    case SetNoRow: return "invalid list num %d";
    case ReadFailed: return "get property %s failed";
    case InvalidUtf8: return "invalid UTF-8 string value of %s";
    case InvalidValue: return "set property %s failed";
    case ItemSetFailed: return "set property %s failed";
    case AddFailed: return "No support add object !!";
    case DeleteRefused: return "No support delete object !!";
    default: return nullptr;
  }
}

constexpr igd1::RowModule kModule = {
    .manager_path = "/com/wqx/igd1/Config/SubDeviceInfo",
    .properties = kProperties,
    .table = {.store = &subdeviceinfo_table,
              .update_entry = igd1::store_copy<store_unit>,
              .refresh_row = subdeviceinfo_update_pon2entry},
    .texts = {.wording = wording},
    .announce = Announce::Never,
    .add = igd1::Adding::refuse(igd1::kObjectManagerError),
    .on = igd1::at_step<igd1::RowStep::Started, start_poll>,
    .methods = kMethods,
};

}  // namespace

IGD1_ROW_COLLECTION(SubDeviceInfo, SubDeviceInfo_introspection_data, "SubDeviceInfo",
                    SubDeviceInfo_handle_get_property, SubDeviceInfo_handle_set_property,
                    SubDeviceInfo_handle_set_multi_properties,
                    SubDeviceInfoManager_handle_method_call, kModule, SubDeviceInfo)
// The children's methods (DeactiveONU) also under a name of their own.
IGD1_METHOD_HANDLER(SubDeviceInfo_handle_method_call, kSubDeviceInfoRows)

gboolean SubDeviceInfo_set_props_func(const char *property_name, GVariant *value, int *changed,
                                      GError **error, void *row, uint32_t index) {
  return igd1::write_row_property(kModule, property_name, value, changed, error, row, index);
}
