// Optical-line identity, optics readings and PON counters:
// /com/wqx/igd1/Info/PON, interface com.wqx.igd1.PONInfo.  Read-only, with
// one method for the traffic history.
#include "poninfo.h"

#include "mib_api.h"
#include "single_object.h"

namespace {

using igd1::OnFailure;
using igd1::Property;
using igd1::Raw;
using igd1::SingleObject;

constexpr char kPath[] = "/com/wqx/igd1/Info/PON";
constexpr char kInterface[] = "com.wqx.igd1.PONInfo";
constexpr char kReadFailed[] = "mib get failed";

#define PON_ROW(prop, bus_type, raw_form, idx, log)                                            \
  {.name = prop, .type = bus_type, .index = idx, .raw = raw_form, .on_failure = OnFailure::Error, \
   .failure_log = log, .failure_error = kReadFailed}

constexpr Property kProperties[] = {
    PON_ROW("PONType", "y", Raw::U8, 0, "Get PONINFO_PONType Failed!"),
    PON_ROW("SN", "s", Raw::Text, 1, "Get PONINFO_SN Failed!"),
    PON_ROW("LOID", "s", Raw::Text, 2, "Get %s Failed!"),
    PON_ROW("Password", "s", Raw::Text, 3, "Get %s Failed!"),
    PON_ROW("Temperature", "d", Raw::Double, 4, "Get %s Failed!"),
    PON_ROW("Voltage", "d", Raw::Double, 5, "Get %s Failed!"),
    PON_ROW("Current", "d", Raw::Double, 6, "Get %s Failed!"),
    PON_ROW("TXPower", "d", Raw::Double, 7, "Get %s Failed!"),
    PON_ROW("RXPower", "d", Raw::Double, 8, "Get %s Failed!"),
    PON_ROW("SupportPONStatusQuery", "b", Raw::I32, 9, "Get %s Failed!"),
    PON_ROW("PONStatus", "s", Raw::Text, 10, "Get %s Failed!"),
    PON_ROW("BytesSent", "t", Raw::U64, 11, "Get %s Failed!"),
    PON_ROW("BytesReceived", "t", Raw::U64, 12, "Get %s Failed!"),
    PON_ROW("PacketsSent", "t", Raw::U64, 13, "Get %s Failed!"),
    PON_ROW("PacketsReceived", "t", Raw::U64, 14, "Get %s Failed!"),
    PON_ROW("FECError", "t", Raw::U64, 15, "Get %s Failed!"),
    PON_ROW("DropPackets", "t", Raw::U64, 16, "Get %s Failed!"),
    PON_ROW("UpSpeed", "t", Raw::U64, 17, "Get %s Failed!"),
    PON_ROW("DownSpeed", "t", Raw::U64, 18, "Get %s Failed!"),
};

#undef PON_ROW

void start_up() { poninfo_interface_init(); }

// The object's own wording of the engine's texts.
const char *wording(igd1::ObjectText text, int *level) {
  using enum igd1::ObjectText;
  switch (text) {
    case FailureLog: *level = LOG_LEVEL_DEBUG; return nullptr;
    default: return nullptr;
  }
}

constexpr SingleObject kObject = {
    .path = kPath,
    .xml_file = "PONInfo.xml",
    .properties = kProperties,
    .get = poninfo_get_mib_property,
    .wording = wording,
    .start = igd1::on_registered<start_up>,
};

}  // namespace

IGD1_READ_HANDLER(poninfo_handle_get_property, kObject)

void poninfo_handle_method_call(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                                const gchar *method_name, GVariant *parameters,
                                GDBusMethodInvocation *invocation, gpointer) {
  DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d],method_name:%s", __func__, __LINE__, method_name);
  if (g_strcmp0(method_name, "GetPONHistoryTraffic") != 0) return;
  GVariant *result = nullptr;
  poninfo_handle_action(0, parameters, &result);
  if (result == nullptr) {
    g_dbus_method_invocation_return_dbus_error(invocation, kInterface, "Invalid parameter value");
    return;
  }
  g_dbus_method_invocation_return_value(invocation, result);
  g_variant_unref(result);
  DBUS_LOG(LOG_LEVEL_INFO, "out of func [%s]", __func__);
}

IGD1_SINGLE_OBJECT(poninfo, poninfo_introspection_data, kObject, poninfo_handle_method_call,
                   poninfo_handle_get_property, nullptr, nullptr)
