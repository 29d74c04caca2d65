// The special-service routes: /com/wqx/igd1/SpecialServiceVR lists, one
// read-only child each, the address lists forwarded over a chosen WAN
// connection.  The routes belong to the gateway's services; the manager is
// a plain object manager, without AddObject or DeleteObject.
#include <cstddef>

#include "host_api.h"
#include "mib_network_tables.h"
#include "wanconnectioninfo.h"

namespace {

using igd1::Field;
using Route = special_service_vr_row;

#define ROUTE_TEXT(prop, member)                                                               \
  {.name = prop, .field = Field::Text, .offset = uint16_t(offsetof(Route, member)),            \
   .size = uint16_t(sizeof(Route::member))}
constexpr igd1::RowProperty kProperties[] = {
    ROUTE_TEXT("Index", index),
    ROUTE_TEXT("WANName", wan_name),
    ROUTE_TEXT("IfName", if_name),
    ROUTE_TEXT("IPForwardList", ip_forward_list),
};
#undef ROUTE_TEXT

void start_up() {
  igd1::use_row_action("SpecialServiceVR", add_del_SpecialServiceVR_interface_by_mib_action);
}

bool log_export(const igd1::CallContext &call, igd1::RowEvent event, const char *) {
  if (event != igd1::RowEvent::Exported) return false;
  DBUS_LOG(LOG_LEVEL_INFO, "add interface for SpecialServiceVR");
  DBUS_LOG(LOG_LEVEL_INFO, "add interface:%s", call.object_path);
  return true;
}

// The module's own wording of the engine's texts.
const char *wording(igd1::RowText text) {
  using enum igd1::RowText;
  switch (text) {
    case GetNoRow: return "invalid object path %s";
    default: return nullptr;
  }
}

constexpr igd1::RowModule kModule = {
    .manager_path = "/com/wqx/igd1/SpecialServiceVR",
    .properties = kProperties,
    .table = {.store = &SpecialServiceVR_table},
    // A path without a route is named like a path that is not a child.
    .texts = {.wording = wording, .log = log_export},
    .add = igd1::Adding::none(),
    .on = igd1::at_step<igd1::RowStep::Started, start_up>,
};

}  // namespace

IGD1_ROW_COLLECTION(SpecialServiceVR, SpecialServiceVR_introspection_data, "SpecialServiceVR",
                    SpecialServiceVR_handle_get_property, SpecialServiceVR_handle_set_property,
                    SpecialServiceVR_handle_set_multi_properties,
                    SpecialServiceVR_handle_object_mng_call, kModule, SpecialServiceVR)

int add_del_SpecialServiceVR_interface_by_mib_action(unsigned int instance, int action) {
  if (action == DBUS_PROXY_ROW_ADDED) return SpecialServiceVR_add_interface(instance);
  DBUS_LOG(LOG_LEVEL_INFO, "del interface for SpecialServiceVR");
  DBUS_LOG(LOG_LEVEL_INFO, "del interface:/com/wqx/igd1/SpecialServiceVR/%u", instance);
  return SpecialServiceVR_del_interface(instance);
}
