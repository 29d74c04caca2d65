// IPTV: /com/wqx/igd1/Network/IPTV.  The multicast switches, the set-top
// boxes seen, the state of the IPTV line and a method that watches the line
// for IPTV traffic for a while.
#include "mib_services.h"
#include "service_objects.h"
#include "tool.h"

namespace {

using igd1::PendingCall;
using igd1::Property;
using igd1::Raw;

constexpr char kError[] = "com.wqx.igd1.IPTV";
constexpr uint32_t kShortestDetection = 2;
constexpr uint32_t kLongestDetection = 60;

constexpr auto store = igd1::store_value;

constexpr Property kProperties[] = {
    {.name = "IGMPEnable", .type = "b", .index = 0, .raw = Raw::U8},
    {.name = "ProxyEnable", .type = "b", .index = 1, .raw = Raw::U8, .write = store,
     .write_log = "set ProxyEnable value:%d"},
    {.name = "SnoopingEnable", .type = "b", .index = 2, .raw = Raw::U8, .write = store,
     .write_log = "set SnoopingEnable value:%d"},
    {.name = "STBNumber", .type = "u", .index = 3, .raw = Raw::U32},
    {.name = "iTVLineStatus", .type = "u", .index = 4, .raw = Raw::U32},
    {.name = "NoStbEnable", .type = "b", .index = 5, .raw = Raw::U8, .write = store},
};

void start_detection(const PendingCall &call, GVariant *parameters) {
  guint32 duration = 0;
  g_variant_get(parameters, "(u)", &duration);
  if (duration < kShortestDetection || duration > kLongestDetection) {
    DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d], Invalid parameter value.", __func__, __LINE__);
    call.fail_named(kError, "Invalid parameter value");
    return;
  }
  uint32_t result = 0;
  if (IPTV_StartDetectiTVLineStatus(duration, &result) != 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d], call msg_proc_handle failed.", __func__,
             __LINE__);
    call.fail_named(kError, "msg_proc_handle return failed");
    return;
  }
  char description[64] = {};
  call.reply(g_variant_new("(us)", result, geterrdesc(int(result), description)));
}

constexpr igd1::Method kMethods[] = {
    {.name = "StartDetectiTVLineStatus", .handler = start_detection},
};

// The object's own wording of the engine's texts.
const char *wording(igd1::ObjectText text, int *level) {
  using enum igd1::ObjectText;
  switch (text) {
    case StoreRefused: return "set %s failed!";
    default: return igd1::names_written_property(text, level);
  }
}

constexpr igd1::SingleObject kObject = {
    .path = "/com/wqx/igd1/Network/IPTV",
    .xml_file = "IPTV.xml",
    .properties = kProperties,
    .get = IPTV_get_property,
    .set = IPTV_set_property,
    .wording = wording,
    .methods = kMethods,
};

}  // namespace

IGD1_METHOD_HANDLER(IPTV_handle_method_call, kObject)
IGD1_READ_HANDLER(IPTV_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(IPTV_handle_set_property, IPTV_handle_set_multi_properties, kObject)
IGD1_SINGLE_OBJECT(IPTV, IPTV_introspection_data, kObject, IPTV_handle_method_call,
                   IPTV_handle_get_property, IPTV_handle_set_property,
                   IPTV_handle_set_multi_properties)
