// Read accessors of the small information objects, and the sub-IPTV switch;
// the VoIP names and line states are read after DBUS_flash_get.
#include <cstring>
#include <iterator>
#include <string>

#include "mib_services.h"
#include "mib_store.h"

namespace {

using igd1::mib::Item;
using K = igd1::mib::ValueKind;

constexpr Item kFeatures[] = {
    {"feature.H248", K::Bool, 4, "0"},
    {"feature.PortBind", K::Bool, 4, "1"},
    {"feature.VlanBind", K::Bool, 4, "1"},
    {"feature.OnDemandDialin", K::Bool, 4, "0"},
};
const igd1::mib::Defaults kFeaturesDefaults(kFeatures);

constexpr size_t kUserIdSize = 128;
constexpr int kUserId = 1;  // made of the product class and serial number
constexpr Item kCloudVR[] = {
    {"cloudvr.Enable", K::Bool, 4, "1"},
    {nullptr, K::Text, kUserIdSize},
    {"cloudvr.Password", K::Text, 64, "Vr#0C2210"},
};
const igd1::mib::Defaults kCloudVRDefaults(kCloudVR);
constexpr Item kProductClass = {"device.ProductClass", K::Text, 64};
constexpr Item kSerialNumber = {"device.SerialNumber", K::Text, 64};

constexpr Item kBridge[] = {
    {"bridge.InterfaceName", K::Text, 64, "nas0_1"},
    {"bridge.SMAC", K::Text, 64, "a4:3e:51:0c:22:11"},
    {"bridge.DMAC", K::Text, 64, "00:1e:73:2a:91:c4"},
    {"bridge.SessionID", K::U32, 4, "4711"},
    {"bridge.IP", K::Text, 64, "100.72.18.36"},
    {"bridge.DNS", K::Text, 64, "202.96.128.86"},
};
const igd1::mib::Defaults kBridgeDefaults(kBridge);

constexpr Item kVoip[] = {
    {"voip.Name1", K::Text, 64, "075521034481"},
    {"voip.Name2", K::Text, 64, ""},
    {"voip.Line1Status", K::Text, 64, "Up"},
    {"voip.Line2Status", K::Text, 64, "Disabled"},
};
const igd1::mib::Defaults kVoipDefaults(kVoip);

// Mode: "Off", "Auto", "Video" or "Gaming".
constexpr Item kDnOpt[] = {
    {"dnopt.Enable", K::Bool, 4, "1"},   {"dnopt.Mode", K::Text, 16, "Auto"},
    {"dnopt.ActiveFlows", K::U32, 4, "3"}, {"dnopt.Flows", K::U64, 8, "18244"},
    {"dnopt.Bytes", K::U64, 8, "96351220418"},
};
const igd1::mib::Defaults kDnOptDefaults(kDnOpt);

constexpr Item kSubIptvSupported = {"subiptv.Supported", K::Bool, 4, "1"};
// Enabled only where the gateway supports it.
bool sub_iptv_enable(const void *value) {
  int32_t supported = 0;
  const uint8_t enable = *static_cast<const uint8_t *>(value);
  return enable == 0 || (enable == 1 && igd1::mib::read_item(kSubIptvSupported, &supported) && supported);
}
constexpr Item kSubIptv[] = {
    kSubIptvSupported,
    {"subiptv.Enable", K::U8, 1, "0", sub_iptv_enable},
    {"subiptv.VLANID", K::U32, 4, "45", igd1::mib::within<uint32_t, 1, 4094>},
    {"subiptv.SubDevices", K::U32, 4, "0"},
};
const igd1::mib::Defaults kSubIptvDefaults(kSubIptv);
constexpr int kSubIptvEnable = 1;
constexpr int kSubIptvVlan = 2;

}  // namespace

int featureflag_get_property(int index, void *value) {
  return igd1::mib::read_at("featureflag_get_property", kFeatures, index, value) ? 1 : 0;
}

int CloudVR_get_property(int index, void *value) {
  if (index != kUserId) return igd1::mib::read_at("CloudVR_get_property", kCloudVR, index, value) ? 1 : 0;
  if (value == nullptr || igd1::mib::should_fail("CloudVR_get_property", index)) return 0;
  char product[64] = {}, serial[64] = {};
  if (!igd1::mib::read_item(kProductClass, product) || !igd1::mib::read_item(kSerialNumber, serial))
    return 0;
  const std::string id = std::string(product) + "-" + serial;
  if (id.size() >= kUserIdSize) return 0;
  std::memcpy(value, id.c_str(), id.size() + 1);
  return 1;
}

int BridgeData_get_property(int index, void *buffer) {
  return igd1::mib::read_at("BridgeData_get_property", kBridge, index, buffer) ? 1 : 0;
}

int DBUS_flash_get(void) { return igd1::mib::should_fail("DBUS_flash_get", 0) ? -1 : 0; }

int voipinfo_get_mib_property(int index, void *buffer) {
  return igd1::mib::read_at("voipinfo_get_mib_property", kVoip, index, buffer) ? 1 : 0;
}

int DnOptInfo_get_property(int index, void *buffer) {
  return igd1::mib::read_at("DnOptInfo_get_property", kDnOpt, index, buffer) ? 1 : 0;
}

int SubIPTVSupport_get_property(int index, void *buffer) {
  return igd1::mib::read_at("SubIPTVSupport_get_property", kSubIptv, index, buffer) ? 1 : 0;
}

int SubIPTVSupport_set_property(int index, void *value) {
  const bool writable = index == kSubIptvEnable || index == kSubIptvVlan;
  return writable && igd1::mib::write_at("SubIPTVSupport_set_property", kSubIptv, index, value) ? 1 : 0;
}
