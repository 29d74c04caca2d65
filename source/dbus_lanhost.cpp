// LAN hosts: the manager /com/wqx/igd1/Config/LANHosts (its own interface
// from LANHostManager.xml, DeleteObject, GetManagedObjects from a kept
// reply) and one child per device of the configuration library's table
// (record layout in mib_lanhost.h).  Devices are never added over the bus.
//
// A child shows the basic device interface, or on service type 1 the
// extended one; the choice is made at every request.  Writes apply to one
// working copy; a multi-write skips refused entries.  The table works out a
// device's control status when its record is stored, and a write that
// changes it announces it with the written properties.
#include "lanhost.h"

#include <cstring>

#include "dbus_proxy_api.h"
#include "host_api.h"
#include "mib_lanhost.h"

namespace {

using igd1::Announce;
using igd1::Field;
using igd1::Overlong;
using igd1::Variant;

constexpr char kDeviceInterface[] = "com.wqx.igd1.LANHost";
constexpr char kManagerPath[] = "/com/wqx/igd1/Config/LANHosts";

bool stats_enabled() {
  uint8_t enabled = 0;
  return lanhostmanager_get_mib_property(0, &enabled) != 0 && enabled != 0;
}

// Figures the table refreshes on demand; a conformance run reads them as stored.
void refresh_device(void *) {
  if (!check_dbus_cts_running()) lan_host_update_info_immediately(5);
}

// 12 upper-case hex digits, no separators.
GVariant *read_mac(const igd1::CallContext &, const igd1::RowProperty &property, const uint8_t *row) {
  const uint8_t *m = row + property.offset;
  char text[13];
  g_snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
  return g_variant_new_string(text);
}

// Byte counters read 0 while the manager's statistics are off.
GVariant *read_counter(const igd1::CallContext &, const igd1::RowProperty &property, const uint8_t *row) {
  uint64_t bytes = 0;
  if (stats_enabled()) std::memcpy(&bytes, row + property.offset, sizeof bytes);
  return g_variant_new_uint64(bytes);
}

// The negotiated rate (kbit/s) in Mbit/s; "" when none was measured.
GVariant *read_speed(const igd1::CallContext &, const igd1::RowProperty &property, const uint8_t *row) {
  uint32_t rate = 0;
  std::memcpy(&rate, row + property.offset, sizeof rate);
  if (rate == 0) return g_variant_new_string("");
  g_autofree gchar *text = g_strdup_printf("%dM", int(rate / 1000));
  return g_variant_new_string(text);
}

// An active device, or one under control, stays, unless a conformance run
// is going on.
igd1::Begin may_delete(const igd1::CallContext &call, igd1::RowStep step, const uint8_t *,
                       GVariant *) {
  if (step != igd1::RowStep::DeleteObject || call.instance == 0 || call.test_run())
    return igd1::Begin::Apply;
  uint32_t index = 0;
  const mib_list_node *node = lan_host_get_list_by_instnum(call.instance, &index);
  const auto *row = node != nullptr ? static_cast<const uint8_t *>(node->data) : nullptr;
  if (row == nullptr || (lan_host_get_active(row) == 0 && lan_host_get_controlstatus(row) == 0))
    return igd1::Begin::Apply;
  g_dbus_error_set_dbus_error(call.error, igd1::kObjectManagerError,
                              "the Active of this dev is ture,not support to del!", nullptr);
  return igd1::Begin::Refuse;
}

int store_copy(const void *copy, uint32_t index, const char **, int) {
  return lan_host_update_entry_mib(copy, index);
}

// The 57 properties by number; offsets and sizes in mib_lanhost.h.  Which
// of them a service type reads and writes is what its document declares.

#define LAN_TEXT(name_, field_, ...)                                                       \
  {.name = name_, .field = Field::Text, .offset = LAN_HOST_##field_,                      \
   .size = LAN_HOST_##field_##_SIZE, __VA_ARGS__}
#define LAN_NUMBER(name_, type_, field_, size_, ...)                                       \
  {.name = name_, .type = type_, .field = Field::Number, .offset = LAN_HOST_##field_,     \
   .size = size_, __VA_ARGS__}

constexpr igd1::RowProperty kProperties[] = {
    {.name = "MAC", .field = Field::MAC, .offset = LAN_HOST_MAC, .read = read_mac},
    LAN_TEXT("DevName", DEV_NAME, .write_log = "set DevName value : %s",
             .overlong = Overlong::Refuse),
    {.name = "ControlStatus", .type = "b", .field = Field::Flag,
     .offset = LAN_HOST_CONTROL_STATUS, .announce = Announce::Always},
    LAN_NUMBER("InternetAccess", "y", INTERNET_ACCESS, 1,
               .write_log = "set InternetAccess value : %d", .min = 0, .max = 2,
               .refused = "InternetAccess value is err"),
    {.name = "StorageAccess", .type = "b", .field = Field::Flag,
     .offset = LAN_HOST_STORAGE_ACCESS, .write_log = "set StorageAccess value : %d"},
    LAN_NUMBER("MaxUSBandwidth", "u", MAX_US, 4, .write_log = "set MaxUSBandwidth value : %d"),
    LAN_NUMBER("MaxDSBandwidth", "u", MAX_DS, 4, .write_log = "set maxDsBandwidth value : %d"),
    // The type's name; the table refuses a name of no type.
    {.name = "DevType", .field = Field::Item, .write_log = "set DevType value : %s",
     .announce = Announce::Never, .item = LAN_HOST_ITEM_DEVICE_TYPE},
    {.name = "IP", .field = Field::IPv4, .offset = LAN_HOST_IP},
    LAN_TEXT("IPv6", IPV6),
    LAN_NUMBER("ConnectionType", "y", CONNECTION_TYPE, 1),
    LAN_NUMBER("Port", "y", PORT, 1),
    LAN_TEXT("Brand", BRAND, .write_log = "set Brand value : %s", .overlong = Overlong::Refuse,
             .announce = Announce::Never),
    LAN_TEXT("Model", MODEL, .write_log = "set Model value : %s", .overlong = Overlong::Refuse,
             .announce = Announce::Never),
    LAN_TEXT("OS", OS, .write_log = "set OS value : %s", .overlong = Overlong::Refuse,
             .announce = Announce::Never),
    {.name = "Active", .type = "b", .field = Field::Flag, .offset = LAN_HOST_ACTIVE},
    LAN_TEXT("LatestActiveTime", LATEST_ACTIVE),
    LAN_TEXT("LatestInactiveTime", LATEST_INACTIVE),
    LAN_NUMBER("OnlineTime", "u", ONLINE_TIME, 4),
    LAN_NUMBER("RxBytes", "t", RX_BYTES, 8, .read = read_counter),
    LAN_NUMBER("TxBytes", "t", TX_BYTES, 8, .read = read_counter),
    LAN_NUMBER("PowerLevel", "i", POWER_LEVEL, 4),
    {.name = "DeviceOnlineNofication", .type = "b", .field = Field::Flag,
     .offset = LAN_HOST_ONLINE_NOTIFY, .write_log = "set DeviceOnlineNofication value : %d",
     .announce = Announce::Never},
    LAN_TEXT("HostName", HOST_NAME),
    LAN_NUMBER("NegoRate", "u", NEGO_RATE, 4),
    LAN_NUMBER("StaRxPktFail", "t", STA_RX_PKT_FAIL, 8),
    LAN_NUMBER("StaTxPktFail", "t", STA_TX_PKT_FAIL, 8),
    LAN_NUMBER("StaRxPktRetry", "t", STA_RX_PKT_RETRY, 8),
    LAN_NUMBER("StaTxPktRetry", "t", STA_TX_PKT_RETRY, 8),
    LAN_NUMBER("PktTotal", "t", PKT_TOTAL, 8),
    LAN_NUMBER("PktLoss", "t", PKT_LOSS, 8),
    LAN_NUMBER("StaTxPktTotal", "t", STA_TX_PKT_TOTAL, 8),
    LAN_NUMBER("StaRxPktTotal", "t", STA_RX_PKT_TOTAL, 8),
    LAN_TEXT("HostClass", HOST_CLASS),
    LAN_TEXT("ConnectInterface", CONNECT_INTERFACE),
    LAN_TEXT("Antenna", ANTENNA),
    LAN_TEXT("Protocol", PROTOCOL),
    LAN_TEXT("RadioType", RADIO_TYPE),
    LAN_TEXT("FrequencyWidth", FREQUENCY_WIDTH),
    LAN_NUMBER("Speedupstate", "y", SPEEDUP, 1, .write_log = "set Speedupstate value : %d"),
    // The power level under the extended interface's name.
    LAN_NUMBER("RSSI", "i", POWER_LEVEL, 4),
    LAN_NUMBER("Speed", "s", NEGO_RATE, 4, .read = read_speed),
    // The bandwidth limits under the extended interface's names.
    LAN_NUMBER("UsBandwidth", "u", MAX_US, 4, .write_log = "set UsBandwidth value : %d"),
    LAN_NUMBER("DsBandwidth", "u", MAX_DS, 4, .write_log = "set DsBandwidth value : %d"),
    LAN_NUMBER("UsGuaranteeBandwidth", "u", US_GUARANTEE, 4,
               .write_log = "set UsGuaranteeBandwidth value : %d"),
    LAN_NUMBER("DsGuaranteeBandwidth", "u", DS_GUARANTEE, 4,
               .write_log = "set DsGuaranteeBandwidth value : %d"),
    LAN_NUMBER("UpSpeed", "t", UP_SPEED, 8),
    LAN_NUMBER("DownSpeed", "t", DOWN_SPEED, 8),
    LAN_TEXT("SWVersion", SW_VERSION),
    LAN_TEXT("KernelVersion", KERNEL_VERSION),
    LAN_NUMBER("ConnectDevice", "y", CONNECT_DEVICE, 1),
    LAN_TEXT("ConnectDeviceMAC", CONNECT_DEVICE_MAC),
    LAN_TEXT("ConnectDeviceSN", CONNECT_DEVICE_SN),
    LAN_TEXT("SSIDName", SSID_NAME),
    LAN_NUMBER("Channel", "u", CHANNEL, 4),
    LAN_NUMBER("Noise", "i", NOISE, 4),
    LAN_NUMBER("SNR", "i", SNR, 4),
};
static_assert(std::size(kProperties) == 57);

#undef LAN_TEXT
#undef LAN_NUMBER

#define R(name, type) "<property name='" name "' type='" type "' access='read'/>"
#define RW(name, type) "<property name='" name "' type='" type "' access='readwrite'/>"

constexpr char kBasicXml[] =
    "<node><interface name='com.wqx.igd1.LANHost'>"
    R("MAC", "s") R("HostName", "s") RW("DevName", "s") R("ControlStatus", "b")
    RW("InternetAccess", "y") RW("StorageAccess", "b") RW("MaxUSBandwidth", "u")
    RW("MaxDSBandwidth", "u") RW("DevType", "s") R("IP", "s") R("IPv6", "s")
    R("ConnectionType", "y") R("Port", "y") RW("Brand", "s") RW("Model", "s") RW("OS", "s")
    R("Active", "b") R("LatestActiveTime", "s") R("LatestInactiveTime", "s")
    R("OnlineTime", "u") R("RxBytes", "t") R("TxBytes", "t") R("PowerLevel", "i")
    RW("DeviceOnlineNofication", "b") R("NegoRate", "u") R("StaRxPktFail", "t")
    R("StaTxPktFail", "t") R("StaRxPktRetry", "t") R("StaTxPktRetry", "t") R("PktTotal", "t")
    R("PktLoss", "t") R("StaTxPktTotal", "t") R("StaRxPktTotal", "t")
    "</interface></node>";

constexpr char kExtendedXml[] =
    "<node><interface name='com.wqx.igd1.LANHost'>"
    "<method name='SetAttachSpeedup'><arg name='MAC' type='s' direction='in'/>"
    "<arg name='Speedup' type='y' direction='in'/><arg name='status' type='u' direction='out'/>"
    "<arg name='failreason' type='s' direction='out'/></method>"
    R("MAC", "s") R("HostClass", "s") R("HostName", "s") RW("DevName", "s") R("IP", "s")
    RW("DevType", "s") R("ConnectInterface", "s") R("ConnectionType", "y") R("Antenna", "s")
    R("Protocol", "s") R("RadioType", "s") R("FrequencyWidth", "s") RW("Speedupstate", "y")
    R("RSSI", "i") R("Speed", "s") R("Brand", "s") R("OS", "s") R("Model", "s")
    R("SWVersion", "s") R("KernelVersion", "s") R("OnlineTime", "u") RW("UsBandwidth", "u")
    RW("DsBandwidth", "u") RW("UsGuaranteeBandwidth", "u") RW("DsGuaranteeBandwidth", "u")
    R("UpSpeed", "t") R("DownSpeed", "t") R("RxBytes", "t") R("TxBytes", "t")
    R("ConnectDevice", "y") R("ConnectDeviceMAC", "s") R("ConnectDeviceSN", "s")
    R("SSIDName", "s") R("Channel", "u") R("Noise", "i") R("SNR", "i")
    "</interface></node>";

#undef R
#undef RW

constexpr Variant kExtended = Variant::ServiceType1;
constexpr igd1::InterfaceVariant kVariants[] = {{.when = kExtended, .builtin_xml = kExtendedXml}};

void set_attach_speedup(const igd1::PendingCall &call, GVariant *parameters);
constexpr igd1::Method kDeviceMethods[] = {
    {.name = "SetAttachSpeedup", .handler = set_attach_speedup, .variant = kExtended},
};

// ---- the manager's own interface ----

bool write_manager(const igd1::CallContext &call, const igd1::SingleObject &,
                   const igd1::Property &property, const char *name, GVariant *value,
                   igd1::WriteFlags *flags);
bool save_table(const igd1::CallContext &call, const igd1::SingleObject &, const igd1::WriteFlags &);
void online_snapshot(const igd1::PendingCall &call, GVariant *);
void online_list(const igd1::PendingCall &call, GVariant *);
void path_by_mac(const igd1::PendingCall &call, GVariant *parameters);

using igd1::OnFailure;
using igd1::Raw;

#define MANAGER_VALUE(name_, type_, index_, raw_, ...)                                       \
  {.name = name_, .type = type_, .index = index_, .raw = raw_,                              \
   .on_failure = OnFailure::Error, .failure_error = "invalid UTF-8 sting value of %s",      \
   __VA_ARGS__}

constexpr igd1::Property kManagerProperties[] = {
    MANAGER_VALUE("EnableStats", "b", 0, Raw::U8, .write = write_manager,
                  .write_log = "set EnableStats value :%u"),
    MANAGER_VALUE("LANHostMaxNumber", "u", 1, Raw::U32, .write = write_manager,
                  .write_log = "set LANHostMaxNumber value :%u"),
    MANAGER_VALUE("ControlListMaxNumber", "u", 2, Raw::U32, .write = write_manager,
                  .write_log = "set ControlListMaxNumber value :%u"),
    MANAGER_VALUE("LANHostNumber", "u", 3, Raw::U32),
    MANAGER_VALUE("ControlListNumber", "u", 4, Raw::U32),
    MANAGER_VALUE("LANDevPushEnable", "y", 5, Raw::U8, .write = write_manager,
                  .write_log = "set LANDevPushEnable value :%u"),
    MANAGER_VALUE("LANHostOnlineNumber", "u", 6, Raw::U32),
    MANAGER_VALUE("AllLANHostOnlineNumber", "u", 7, Raw::U32),
};

#undef MANAGER_VALUE

constexpr igd1::Method kManagerMethods[] = {
    {.name = "GetOnlineDevicesSnapShot", .handler = online_snapshot},
    {.name = "GetOnlineDeviceList", .handler = online_list},
    {.name = "GetLANHostPathbyMAC", .handler = path_by_mac},
};

int manager_value(int index, void *buffer) { return lanhostmanager_get_mib_property(index, buffer); }

// The manager object's wording of the engine's texts.
const char *manager_wording(igd1::ObjectText text, int *level) {
  using enum igd1::ObjectText;
  switch (text) {
    case UnknownLog: return igd1::kUnknownLineWithStop;
    default: return igd1::logs_methods(text, level);
  }
}

constexpr igd1::SingleObject kManager = {
    .path = kManagerPath,
    .xml_file = "LANHostManager.xml",
    .properties = kManagerProperties,
    .get = manager_value,
    .wording = manager_wording,
    .transaction = {.commit = save_table},
    .methods = kManagerMethods,
};
const igd1::PublishObject kManagerPublished(kManager);

igd1::ListingCache g_listing;

bool log_export(const igd1::CallContext &call, igd1::RowEvent event, const char *) {
  if (event != igd1::RowEvent::Exported) return false;
  DBUS_LOG(LOG_LEVEL_INFO, "get_lan_net_info index: %d", int(call.instance));
  DBUS_LOG(LOG_LEVEL_INFO, "object_path: %s", call.object_path);
  return true;
}

// The module's own wording of the engine's texts.
const char *wording(igd1::RowText text) {
  using enum igd1::RowText;
  switch (text) {
    case GetNoRow: return "func [%s] :invalid list num  %d ";
    case ReadProperty: return "invalid value of %s";
    // A name another process stored that is not UTF-8 reads as "".
    case InvalidUtf8: return "";
    case CommitFailed: return "fail to update MIB entry";
    case ItemSetFailed: return "invalid property value";
    case AddFailed: return "##########not support to AddObject yet";
    case DeleteFailed: return "Delete LAN host error !!";
    default: return nullptr;
  }
}

constexpr igd1::RowModule kModule = {
    .manager_path = kManagerPath,
    .properties = kProperties,
    .table = {.store = &lan_host_table,
              .update_entry = store_copy,
              .refresh_row = refresh_device},
    .texts = {.wording = wording, .log = log_export},
    .announce = Announce::Always,
    .add = igd1::Adding::refuse("org.freedesktop.DBus.Error.Failed"),
    .xml = kBasicXml,
    .manager_interface = {.object = &kManager, .xml = "LANHostManager.xml"},
    .on = may_delete,
    .writes = igd1::RowWrites::SkipRefused,
    .commit_error = "org.freedesktop.DBus.Error.InvalidArgs",
    .methods = kDeviceMethods,
    .variants = kVariants,
    .listing_cache = &g_listing,
};

}  // namespace

IGD1_ROW_COLLECTION(lan_host, lan_host_manager_introspection_data, "LANHost",
                    lan_host_handle_get_property, lan_host_handle_set_property,
                    lan_host_handle_set_multi_properties, lan_host_handle_object_mng_call, kModule,
                    lan_host_manager)

GVariant *update_lan_host_send_cache(uint8_t flag) {
  return igd1::row_listing_refresh(klan_hostRows, flag == 0);
}

GType lan_host_get_type(void) { return lan_host_interface_get_type(); }

namespace {

// ---- manager ----

bool write_manager(const igd1::CallContext &call, const igd1::SingleObject &,
                   const igd1::Property &property, const char *name, GVariant *value,
                   igd1::WriteFlags *flags) {
  uint32_t number = 0;
  switch (g_variant_classify(value)) {
    case G_VARIANT_CLASS_BOOLEAN: number = g_variant_get_boolean(value) ? 1 : 0; break;
    case G_VARIANT_CLASS_BYTE: number = g_variant_get_byte(value); break;
    default: number = g_variant_get_uint32(value); break;
  }
  const uint8_t byte = uint8_t(number);
  void *stored = property.raw == Raw::U8 ? static_cast<void *>(const_cast<uint8_t *>(&byte))
                                         : static_cast<void *>(&number);
  const int result = lanhostmanager_set_mib_property(property.index, stored);
  if (result == 0) {
    igd1::set_invalid_args(call.error, "set %s fail", name);
    return false;
  }
  if (result == 1) flags->changed = 1;
  return true;
}

bool save_table(const igd1::CallContext &call, const igd1::SingleObject &, const igd1::WriteFlags &) {
  if (lan_host_save_mib() != 0) return true;
  g_set_error_literal(call.error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "fail to save LAN hosts");
  return false;
}

bool is_active(const uint8_t *row) { return lan_host_get_active(row) == 1; }

void refresh_lists() {
  if (!check_dbus_cts_running()) lan_host_update_info_immediately(0);
}

GVariant *with_status(GVariant *devices) {
  return g_variant_new("(@a{oa{sa{sv}}}us)", devices, 0u, "success");
}

std::string device_path(uint32_t instance) {
  return std::string(kManagerPath) + "/" + std::to_string(instance);
}

// Every active device (exported or not) with a summary of its values.
void online_snapshot(const igd1::PendingCall &call, GVariant *) {
  refresh_lists();
  static constexpr const char *kCommon[] = {"MAC", "ConnectionType", "DevName", "DevType", "IP",
                                            "OS",  "OnlineTime",     "Brand"};
  static constexpr const char *kExtendedOnly[] = {"HostClass", "ConnectInterface"};
  static constexpr const char *kBasicOnly[] = {"HostName", "InternetAccess", "Port"};
  const bool extended = dbus_proxy_get_service_type() == 1;
  GVariantBuilder devices;
  g_variant_builder_init(&devices, G_VARIANT_TYPE("a{oa{sa{sv}}}"));
  for (mib_list_node *node = lan_host_get_list(0); node != nullptr; node = node->next) {
    const auto *row = static_cast<const uint8_t *>(node->data);
    if (row == nullptr || !is_active(row)) continue;
    const std::string path = device_path(lan_host_get_instnum(row));
    DBUS_LOG(LOG_LEVEL_DETAIL, "iter_object_path:%s\n", path.c_str());
    GVariantBuilder values;
    g_variant_builder_init(&values, G_VARIANT_TYPE("a{sv}"));
    auto add = [&](const char *name) {
      const igd1::RowProperty *property = igd1::find_row_property(kModule.properties, name);
      if (GVariant *value = igd1::read_row_property(kModule, *property, row, {.object_path = path.c_str()}))
        g_variant_builder_add(&values, "{sv}", name, value);
    };
    for (const char *name : kCommon) add(name);
    if (extended)
      for (const char *name : kExtendedOnly) add(name);
    else
      for (const char *name : kBasicOnly) add(name);
    GVariant *interface = g_variant_new_dict_entry(g_variant_new_string(kDeviceInterface),
                                                   g_variant_builder_end(&values));
    g_variant_builder_add(&devices, "{o@a{sa{sv}}}", path.c_str(),
                          g_variant_new_array(G_VARIANT_TYPE("{sa{sv}}"), &interface, 1));
  }
  call.reply(with_status(g_variant_builder_end(&devices)));
}

// Every active, published device with all its values.
void online_list(const igd1::PendingCall &call, GVariant *) {
  refresh_lists();
  call.reply(with_status(igd1::row_listing(klan_hostRows, is_active)));
}

void path_by_mac(const igd1::PendingCall &call, GVariant *parameters) {
  const char *mac = nullptr;
  g_variant_get(parameters, "(&s)", &mac);
  DBUS_LOG(LOG_LEVEL_INFO, "mac [%s].", mac);
  for (mib_list_node *node = lan_host_get_list(0); node != nullptr; node = node->next) {
    const auto *row = static_cast<const uint8_t *>(node->data);
    if (row == nullptr) continue;
    const uint8_t *m = row + LAN_HOST_MAC;
    char text[13];
    g_snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
    if (g_ascii_strncasecmp(text, mac, 12) != 0) continue;
    call.reply(g_variant_new("(ous)", device_path(lan_host_get_instnum(row)).c_str(), 0u, ""));
    return;
  }
  call.fail_named("com.wqx.igd1.LANHostManager", "the mac is not exist");
}

// ---- devices ----

void set_attach_speedup(const igd1::PendingCall &call, GVariant *parameters) {
  const char *mac = nullptr;
  guchar speedup = 0;
  g_variant_get(parameters, "(&sy)", &mac, &speedup);
  DBUS_LOG(LOG_LEVEL_INFO, "mac [%s],speedup[%hhu]", mac, speedup);
  auto answer = [&call](guint32 status, const char *reason) {
    call.reply(g_variant_new("(us)", status, reason));
  };
  if (speedup > 1) return answer(1, "invalid speedup value");
  unsigned char bytes[6];
  if (std::strlen(mac) != 12 || dbusproxy_string_to_hex(mac, bytes, 12) == 0)
    return answer(1, "invalid mac address");
  mib_list_node *node = lan_host_get_list_by_instnum(call.context().instance, nullptr);
  if (node == nullptr || node->data == nullptr) return answer(1, "host not exist");
  const auto *row = static_cast<const uint8_t *>(node->data);
  if (std::memcmp(row + LAN_HOST_MAC, bytes, sizeof bytes) != 0)
    return answer(1, "the mac is not match with the host under the object");
  if (SetDevSpeedUp(bytes, row, speedup) != 0) return answer(1, "failed to set dscp mark");
  // The row's speed-up state changed with the mark.
  if (GVariant *kept = update_lan_host_send_cache(0)) g_variant_unref(kept);
  answer(0, "success");
}

}  // namespace
