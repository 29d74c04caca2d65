// The simulated call: /com/wqx/igd1/Diagnostics/VoiceSimulateTest.  The
// number to call and the DTMF confirmation are settings; StartTest (type 0
// to 2) runs a call on the voice line, and the other properties describe
// the last one once it ended.  Writes are not announced.
#include "mib_diag.h"
#include "voice_diag.h"

namespace {

using igd1::CallContext;
using igd1::Property;
using igd1::SingleObject;

constexpr char kInterface[] = "com.wqx.igd1.VOIPSimulateTest";
constexpr char kInvalidValue[] = "Invalid parameter value";
constexpr size_t kText = 64;
constexpr long kNumberMax = 32;
constexpr uint32_t kHighestType = 2;

// No test starts during a conformance run: it is answered as started.
void start_test(const igd1::PendingCall &call, GVariant *parameters) {
  uint32_t type = 0;
  g_variant_get(parameters, "(u)", &type);
  if (type > kHighestType) {
    call.fail_named(kInterface, kInvalidValue);
    return;
  }
  if (call.context().test_run()) {
    call.reply(g_variant_new("(us)", 0u, ""));
    return;
  }
  char text[kText] = {};
  const int result = VOIPSimulateTest_StartTest(type, text);
  call.reply(g_variant_new("(us)", uint32_t(result), text));
}

constexpr igd1::Method kMethods[] = {{.name = "StartTest", .handler = start_test}};

bool write_setting(const CallContext &call, const SingleObject &, const Property &property,
                   const char *name, GVariant *value, igd1::WriteFlags *flags) {
  if (property.type[0] == 's') {
    const char *text = g_variant_get_string(value, nullptr);
    if (g_utf8_strlen(text, -1) > kNumberMax) {
      igd1::set_invalid_args(call.error, kInvalidValue);
      return false;
    }
    if (VOIPSimulateTest_set_property(property.index, text) == 0) {
      igd1::set_invalid_args(call.error, "set %s failed %s", name, text);
      return false;
    }
  } else {
    const int32_t on = g_variant_get_boolean(value) ? 1 : 0;
    if (VOIPSimulateTest_set_property(property.index, &on) == 0) {
      igd1::set_invalid_args(call.error, "set %s failed %d", name, on);
      return false;
    }
  }
  flags->changed = 1;
  return true;
}

constexpr auto kSilent = igd1::ChangeSignal::Never;
constexpr Property kProperties[] = {
    {.name = "CalledNumber", .type = "s", .index = 0, .buffer = 33, .write = write_setting,
     .change_signal = kSilent},
    {.name = "DialDTMFConfirmEnable", .type = "b", .index = 1, .raw = igd1::Raw::U32, .buffer = 4,
     .write = write_setting, .change_signal = kSilent},
    {.name = "DialDTMFConfirmNumber", .type = "s", .index = 2, .buffer = 33, .write = write_setting,
     .change_signal = kSilent},
    {.name = "DialDTMFConfirmResult", .type = "y", .index = 3, .raw = igd1::Raw::U8, .buffer = 1},
    {.name = "Status", .type = "s", .index = 4},
    {.name = "Conclusion", .type = "y", .index = 5, .raw = igd1::Raw::U8, .buffer = 1},
    {.name = "CallerFailReason", .type = "s", .index = 6},
    {.name = "CalledFailReason", .type = "s", .index = 7},
    {.name = "FailedResponseCode", .type = "u", .index = 8, .raw = igd1::Raw::U32, .buffer = 4},
};

constexpr SingleObject kObject = {
    .path = "/com/wqx/igd1/Diagnostics/VoiceSimulateTest",
    .xml_file = "VOIPSimulateTest.xml",
    .properties = kProperties,
    .get = VOIPSimulateTest_get_property,
    .read_buffer = kText,
    .wording = igd1::logs_methods,
    .multi_failure = igd1::MultiFailure::Stop,
    .methods = kMethods,
};

}  // namespace

IGD1_METHOD_HANDLER(VOIPSimulateTest_handle_method_call, kObject)
IGD1_READ_HANDLER(VOIPSimulateTest_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(VOIPSimulateTest_handle_set_property,
                    VOIPSimulateTest_handle_set_multi_properties, kObject)
IGD1_SINGLE_OBJECT(VOIPSimulateTest, VOIPSimulateTest_introspection_data, kObject,
                   VOIPSimulateTest_handle_method_call, VOIPSimulateTest_handle_get_property,
                   VOIPSimulateTest_handle_set_property,
                   VOIPSimulateTest_handle_set_multi_properties)
