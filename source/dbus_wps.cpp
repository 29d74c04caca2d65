// WPS of each SSID: ".../Config/WLAN/Devices/<n>/WPS", published beside the
// SSID's object by the WLAN module through the slots this module fills
// when it starts (after the WLAN module, whatever order the host has).
//
// Enable is the only value written (a multi-write skips what it cannot
// store); DevInfo reads the store's device records with each address
// rewritten as twelve upper-case hex digits; SetWPS starts an enrolment,
// which the radio finishes some seconds later.
#include "wps.h"

#include <cstring>
#include <string>
#include <utility>

#include "host_api.h"
#include "igd1_assert.h"
#include "mib_api.h"
#include "wlanconfiguration.h"

namespace {

using igd1::CallContext;
using igd1::Property;
using igd1::SingleObject;

const igd1::StartsAfter kAfterWLAN("wps", "WLANConfiguration");

int get_item(uint32_t instance, int item, void *buffer) {
  return wps_get_property(item, buffer, int(instance));
}

constexpr char kMacMark[] = "MAC:";
// "aa:bb:cc:dd:ee:ff": the two digits of each byte and a separator.
constexpr size_t kMacText = 17;

// A record "MAC:aa:bb:cc:dd:ee:ff..." as "MAC:AABBCCDDEEFF"; other records as they are.
std::string rewritten(const char *record) {
  const char *mark = std::strstr(record, kMacMark);
  if (mark == nullptr) return record;
  const char *mac = mark + std::strlen(kMacMark);
  if (std::strlen(mac) < kMacText) return record;
  std::string digits = kMacMark;
  for (size_t i = 0; i < kMacText; i += 3) {
    digits += g_ascii_toupper(mac[i]);
    digits += g_ascii_toupper(mac[i + 1]);
  }
  return digits;
}

// The records joined with ';' after each, in WLAN_DEVINFO_SIZE bytes: a
// record that would not fit is left out with those after it, never cut.
GVariant *read_devinfo(const CallContext &call, const SingleObject &, const Property &property) {
  char stored[WLAN_DEVINFO_SIZE] = {};
  if (get_item(call.instance, property.index, stored) == 0) {
    igd1::set_invalid_args(call.error, "get %s failed!", property.name);
    return nullptr;
  }
  stored[sizeof stored - 1] = '\0';
  std::string text;
  if (stored[0] != '\0') {
    g_auto(GStrv) records = g_strsplit(stored, ";", -1);
    for (gchar **record = records; *record != nullptr; ++record) {
      if (**record == '\0') continue;
      const std::string shown = record == records ? std::string(*record) : rewritten(*record);
      if (text.size() + shown.size() + 1 >= WLAN_DEVINFO_SIZE) break;
      text += shown + ";";
    }
  }
  if (!g_utf8_validate(text.c_str(), -1, nullptr)) return g_variant_new_strv(nullptr, 0);
  const char *one[] = {text.c_str()};
  return g_variant_new_strv(one, 1);
}

bool write_enable(const CallContext &call, const SingleObject &, const Property &property,
                  const char *, GVariant *value, igd1::WriteFlags *flags) {
  const uint32_t enable = g_variant_get_boolean(value) ? 1 : 0;
  int changed = 0;
  if (wps_set_property(property.index, &enable, int(call.instance), &changed) == 0) {
    igd1::set_invalid_args(call.error, "invalid property %s", property.name);
    return false;
  }
  flags->changed = changed != 0;
  return true;
}

void set_wps(const igd1::PendingCall &call, GVariant *parameters) {
  gint32 mode = 0;
  guint32 value = 0;
  g_variant_get(parameters, "(iu)", &mode, &value);
  uint32_t result = 0;
  char errdesc[64] = {};
  if (wps_setWPS(mode, value, int(call.context().instance), &result, errdesc) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "SetWPS on %s refused: %s", call.context().object_path, errdesc);
    call.fail_named("com.wqx.igd1.WPS", "Invalid parameter value");
    return;
  }
  errdesc[sizeof errdesc - 1] = '\0';
  call.reply(g_variant_new("(us)", result, g_utf8_validate(errdesc, -1, nullptr) ? errdesc : ""));
}

constexpr Property kProperties[] = {
    {.name = "Enable", .type = "b", .index = WPS_ITEM_ENABLE, .raw = igd1::Raw::U32,
     .on_failure = igd1::OnFailure::Error, .failure_error = "get %s failed!", .write = write_enable,
     .write_log = "set Enable = %d"},
    {.name = "WPSStatus", .type = "y", .index = WPS_ITEM_STATUS, .raw = igd1::Raw::U8,
     .on_failure = igd1::OnFailure::Error, .failure_error = "get %s failed!"},
    {.name = "DevInfo", .type = "as", .index = WPS_ITEM_DEVINFO, .read = read_devinfo},
};
constexpr igd1::Method kMethods[] = {{.name = "SetWPS", .handler = set_wps}};

constexpr SingleObject kObject = {
    .path = nullptr,
    .xml_file = "WPS.xml",
    .properties = kProperties,
    .get_at = get_item,
    .multi_failure = igd1::MultiFailure::Continue,
    .methods = kMethods,
};
static_assert(igd1::oversized_read_when_compiled(kObject) == nullptr,
              "a read buffer of kObject is larger than the engine's");
const igd1::PublishObject kPublished(kObject);

}  // namespace

GDBusNodeInfo *wps_introspection_data = nullptr;

void wps_on_bus_acquired(GDBusConnection *, const gchar *, gpointer) {
  DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d]", __func__, __LINE__);
  wps_init();
  GDBusNodeInfo *node = dbus_proxy_readxml(kObject.xml_file);
  if (GDBusNodeInfo *previous = std::exchange(wps_introspection_data, node))
    g_dbus_node_info_unref(previous);
  IGD1_ASSERT(wps_introspection_data != nullptr);
  dbus_proxy_node_info_reg(wps_introspection_data);
  wps_interface_func.add = wps_add_interface;
  wps_interface_func.del = wps_del_interface;
  WLANConfiguration_publish_wps();
}

guint wps_add_interface(GDBusConnection *connection, int instance) {
  if (connection == nullptr || instance <= 0 || wps_introspection_data == nullptr) return 0;
  g_autofree gchar *path = g_strdup_printf("/com/wqx/igd1/Config/WLAN/Devices/%d/WPS", instance);
  return igd1::register_described_node(kObject, wps_introspection_data, connection, path,
                                       uint32_t(instance));
}

gboolean wps_del_interface(GDBusConnection *connection, guint registration) {
  return connection != nullptr && registration != 0 && dbus_proxy_object_unreg(connection, registration);
}
