// Whether a phone answers on the voice port: /com/wqx/igd1/Info/PhoneConnectivity.
// StartTest rings the port; the two flags tell what the last test found.
#include "mib_diag.h"
#include "voice_diag.h"

namespace {

using igd1::Property;

constexpr size_t kText = 64;

void start_test(const igd1::PendingCall &call, GVariant *) {
  char text[kText] = {};
  const int result = PhoneConnectivity_StartTest(text);
  call.reply(g_variant_new("(us)", uint32_t(result), text));
}

constexpr igd1::Method kMethods[] = {{.name = "StartTest", .handler = start_test}};

// Until a test says otherwise there is no phone and the alarm stands.
constexpr Property kProperties[] = {
    {.name = "PhoneConnectivity", .type = "b", .index = 0, .raw = igd1::Raw::U32, .buffer = 4,
     .on_failure = igd1::OnFailure::Fallback, .failure_log = "get %s failed!", .fallback_number = 0},
    {.name = "OffHookAlarmStatus", .type = "b", .index = 1, .raw = igd1::Raw::U32, .buffer = 4,
     .on_failure = igd1::OnFailure::Fallback, .failure_log = "get %s failed!", .fallback_number = 1},
};

constexpr igd1::SingleObject kObject = {
    .path = "/com/wqx/igd1/Info/PhoneConnectivity",
    .xml_file = "PhoneConnectivity.xml",
    .properties = kProperties,
    .get = PhoneConnectivity_get_property,
    .wording = igd1::logs_methods,
    .start = igd1::on_registered<PhoneConnectivity_interface_init>,
    .methods = kMethods,
};

}  // namespace

IGD1_READ_HANDLER(PhoneConnectivity_handle_get_property, kObject)
IGD1_METHOD_HANDLER(PhoneConnectivity_handle_method_call, kObject)
IGD1_SINGLE_OBJECT(PhoneConnectivity, PhoneConnectivity_introspection_data, kObject,
                   PhoneConnectivity_handle_method_call, PhoneConnectivity_handle_get_property,
                   nullptr, nullptr)
