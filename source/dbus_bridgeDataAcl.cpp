// The bridge data access list: /com/wqx/igd1/Ovatrix/BridgeData/ACL, one
// child per rule (address, port, protocol) that lets given traffic pass over
// the bridged data path.  The configuration library checks every value;
// each stored change, and each removed rule, re-applies the whole list.
// Rule writes are not announced.
#include "bridgedataacl.h"

#include "mib_api.h"

namespace {

using igd1::Field;

constexpr igd1::RowProperty kProperties[] = {
    {.name = "IP", .field = Field::Item, .write_log = "set IP = %s", .item = 0},
    {.name = "Port", .field = Field::Item, .write_log = "set Port = %s", .item = 1},
    {.name = "Protocol", .field = Field::Item, .write_log = "set Protocol = %s", .item = 2},
};

// The list is applied after each stored change (refused when it cannot be)
// and after each removal.
igd1::Begin apply_list(const igd1::CallContext &call, igd1::RowStep step, const uint8_t *,
                       GVariant *) {
  if (step == igd1::RowStep::Deleted) BridgeDataAcl_apply_change();
  if (step != igd1::RowStep::Committed || BridgeDataAcl_apply_change() != 0)
    return igd1::Begin::Apply;
  g_set_error_literal(call.error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "Fail to apply change");
  return igd1::Begin::Refuse;
}

// The module's own wording of the engine's texts.
const char *wording(igd1::RowText text) {
  using enum igd1::RowText;
  switch (text) {
    case GetInvalidPath: return "Invalid object path %s";
    case GetNoRow: return "Invalid list num %d";
    case SetInvalidPath: return "Invalid parameter path";
    case SetNoRow: return "Invalid parameter path";
    case WriteProperty: return "Invalid property %s";
    case AddFailed: return "AddObject BridgeDataAcl object fail";
    case DeletePath: return "DeleteObject BridgeDataAcl object path error";
    case DeleteFailed: return "Delete BridgeDataAcl Object error";
    default: return nullptr;
  }
}

constexpr igd1::RowModule kModule = {
    .manager_path = "/com/wqx/igd1/Ovatrix/BridgeData/ACL",
    .properties = kProperties,
    .table = {.store = &BridgeDataAcl_table},
    .texts = {.wording = wording},
    .announce = igd1::Announce::Never,
    .on = apply_list,
};

}  // namespace

IGD1_ROW_COLLECTION(BridgeDataAcl, BridgeDataAcl_introspection_data, "BridgeDataAcl",
                    BridgeDataAcl_handle_get_property, BridgeDataAcl_handle_set_property,
                    BridgeDataAcl_handle_set_multi_properties, BridgeDataAcl_handle_object_mng_call,
                    kModule, BridgeDataAcl)
