// The remote-management agent's actions on the configuration:
// /com/wqx/igd1/Ovatrix/CWMP.  Each method hands its parameters to the
// configuration library's action of the same name and answers what it
// produced.
#include <cstring>

#include "mib_services.h"
#include "small_objects.h"

namespace {

using igd1::PendingCall;

constexpr char kError[] = "com.wqx.igd1.CWMP";
constexpr const char *kActions[] = {"AddObject", "DeleteObject", "SetParameterValues",
                                    "GetParameterValues", "GetParameterNames"};

void run_action(const PendingCall &call, GVariant *parameters) {
  DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d], method_name: %s", __func__, __LINE__,
           call.method());
  int code = 0;
  while (std::strcmp(kActions[code], call.method()) != 0) ++code;
  GVariant *result = nullptr;
  if (CWMP_handle_action(code, parameters, &result) != 0 && result != nullptr) {
    call.reply(result);
    g_variant_unref(result);
    return;
  }
  if (result != nullptr) g_variant_unref(result);
  call.fail_named(kError, "Invalid parameter value");
}

constexpr igd1::Method kMethods[] = {
    {.name = "AddObject", .handler = run_action},
    {.name = "DeleteObject", .handler = run_action},
    {.name = "SetParameterValues", .handler = run_action},
    {.name = "GetParameterValues", .handler = run_action},
    {.name = "GetParameterNames", .handler = run_action},
};

constexpr igd1::SingleObject kObject = {
    .path = "/com/wqx/igd1/Ovatrix/CWMP",
    .xml_file = "CWMP.xml",
    .properties = {},
    .methods = kMethods,
};

}  // namespace

IGD1_METHOD_HANDLER(CWMP_handle_method_call, kObject)
IGD1_SINGLE_OBJECT(CWMP, CWMP_introspection_data, kObject, CWMP_handle_method_call, nullptr,
                   nullptr, nullptr)
