// NAS file access: every method is one action of the configuration library,
// which does the file work and builds the whole reply; this object only
// routes the call and answers the library's reply as it is.
#include "homenas.h"

#include <cstring>
#include <iterator>

#include "mib_usb.h"

namespace {

constexpr char kError[] = "com.wqx.igd1.NASAccess";

// The action codes, by method name.
constexpr const char *kActions[] = {"GetFileNum", "ListFolder", "CreateFolder",
                                    "Rename",     "Remove",     "Move",
                                    "Copy",       "GetCopyProgress", "GetDiscInfo"};

void run_action(const igd1::PendingCall &call, GVariant *parameters) {
  int code = -1;
  for (size_t i = 0; i < std::size(kActions); ++i)
    if (std::strcmp(call.method(), kActions[i]) == 0) code = int(i);
  if (code < 0) {
    call.fail_named(kError, "Invalid method");
    return;
  }
  GVariant *reply = nullptr;
  if (homeNAS_handle_action(code, parameters, &reply) == 0 || reply == nullptr) {
    call.fail_named(kError, "Invalid parameter value");
    return;
  }
  call.reply(reply);
  g_variant_unref(reply);
}

constexpr igd1::Method kMethods[] = {
    {.name = "GetFileNum", .handler = run_action},   {.name = "ListFolder", .handler = run_action},
    {.name = "CreateFolder", .handler = run_action}, {.name = "Rename", .handler = run_action},
    {.name = "Remove", .handler = run_action},       {.name = "Move", .handler = run_action},
    {.name = "Copy", .handler = run_action},         {.name = "GetCopyProgress", .handler = run_action},
    {.name = "GetDiscInfo", .handler = run_action},
};

constexpr igd1::SingleObject kObject = {
    .path = nullptr,
    .xml_file = "NASAccess.xml",
    .properties = {},
    .methods = kMethods,
    .method_log = "func [%s], line [%d],method_name:%s",
};

}  // namespace

IGD1_DEFINE_METHOD_HANDLER(nas_handle_method_call, kObject)
IGD1_SINGLE_OBJECT_ENTRY(nas, nas_introspection_data, nas_handle_method_call, nullptr, nullptr, nullptr,
                         kObject)
