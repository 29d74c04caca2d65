// The voice line's registration test: /com/wqx/igd1/Diagnostics/IADTest.  A
// test of type 1 or 2 runs on the line for a while; its result and reason
// read "not registered, not tested" until it ends.
#include "mib_diag.h"
#include "voice_diag.h"

namespace {

using igd1::Property;

constexpr char kInterface[] = "com.wqx.igd1.IADDiagnostics";
constexpr size_t kText = 64;

void start_test(const igd1::PendingCall &call, GVariant *parameters) {
  uint32_t type = 0;
  g_variant_get(parameters, "(u)", &type);
  if (type != 1 && type != 2) {
    call.fail_named(kInterface, "Invalid parameter value");
    return;
  }
  char text[kText] = {};
  const int result = IADDiagnostics_StartIADDiagTest(type, text);
  call.reply(g_variant_new("(us)", uint32_t(result), text));
}

constexpr igd1::Method kMethods[] = {{.name = "StartIADDiagTest", .handler = start_test}};

constexpr Property kProperties[] = {
    {.name = "RegistResult", .type = "u", .index = 0, .raw = igd1::Raw::U32, .buffer = 4,
     .on_failure = igd1::OnFailure::Fallback, .failure_log = "get %s failed!", .fallback_number = 1},
    {.name = "Reason", .type = "u", .index = 1, .raw = igd1::Raw::U32, .buffer = 4,
     .on_failure = igd1::OnFailure::Fallback, .failure_log = "get %s failed!", .fallback_number = 5},
};

constexpr igd1::SingleObject kObject = {
    .path = "/com/wqx/igd1/Diagnostics/IADTest",
    .xml_file = "IADDiagnostics.xml",
    .properties = kProperties,
    .get = IADDiagnostics_get_property,
    .wording = igd1::logs_methods,
    .start = igd1::on_registered<IADDiagnostics_interface_init>,
    .methods = kMethods,
};

}  // namespace

IGD1_READ_HANDLER(IADDiagnostics_handle_get_property, kObject)
IGD1_METHOD_HANDLER(IADDiagnostics_handle_method_call, kObject)
IGD1_SINGLE_OBJECT(IADDiagnostics, IADDiagnostics_introspection_data, kObject,
                   IADDiagnostics_handle_method_call, IADDiagnostics_handle_get_property, nullptr,
                   nullptr)
