// The QoS object: /com/wqx/igd1/Network/QoS.  Values are stored directly
// (no working copy, no comparison) and every accepted request applies the
// whole QoS configuration once; a multi-write stops at its first refused
// entry, keeps what it stored before it and applies nothing.  Nothing is
// announced.
#include "qos.h"

#include "mib_api.h"

namespace {

using igd1::OnFailure;
using igd1::Property;
using igd1::Raw;
using igd1::Stored;

constexpr auto store = igd1::store_value;
constexpr char kGetFailed[] = "Get %s failed";

constexpr Property kProperties[] = {
    {.name = "Mode", .index = 0, .on_failure = OnFailure::Error, .failure_error = kGetFailed,
     .write = store, .stored = Stored::Text, .write_log = "set Mode value:%s", .cut_at = 63},
    {.name = "Enable", .type = "b", .index = 1, .raw = Raw::U8, .on_failure = OnFailure::Error,
     .failure_error = kGetFailed, .write = store, .write_log = "set Enable value:%d"},
    {.name = "Bandwidth", .type = "u", .index = 2, .raw = Raw::U32, .on_failure = OnFailure::Error,
     .failure_error = kGetFailed, .write = store, .stored = Stored::U32,
     .write_log = "set Bandwidth value:%d"},
    {.name = "Plan", .index = 3, .on_failure = OnFailure::Error, .failure_error = kGetFailed,
     .write = store, .stored = Stored::Text, .write_log = "set Plan value:%s", .cut_at = 31},
    {.name = "EnableForceWeight", .type = "b", .index = 4, .raw = Raw::U8,
     .on_failure = OnFailure::Error, .failure_error = kGetFailed, .write = store,
     .write_log = "set EnableForceWeight value:%d"},
    {.name = "EnableDSCPMark", .type = "b", .index = 5, .raw = Raw::U8,
     .on_failure = OnFailure::Error, .failure_error = kGetFailed, .write = store,
     .write_log = "set EnableDSCPMark value:%d"},
    // Read as one byte, written as 32 bits.
    {.name = "Enable8021P", .type = "u", .index = 6, .raw = Raw::U8,
     .on_failure = OnFailure::Error, .failure_error = kGetFailed, .write = store,
     .stored = Stored::U32, .write_log = "set Enable8021P value:%d"},
};

bool applied(GError **error) {
  if (QoS_apply_change() != 0) return true;
  g_set_error_literal(error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "Fail to apply change");
  return false;
}

bool apply(const igd1::CallContext &call, const igd1::SingleObject &, const igd1::WriteFlags &) {
  return applied(call.error);
}

// The object's own wording of the engine's texts.
const char *wording(igd1::ObjectText text, int *) {
  using enum igd1::ObjectText;
  switch (text) {
    case UnknownWrite: return "Invalid property %s";
    case StoreRefused: return "Invalid parameter value";
    default: return nullptr;
  }
}

constexpr igd1::SingleObject kObject = {
    .path = "/com/wqx/igd1/Network/QoS",
    .xml_file = "QoS.xml",
    .properties = kProperties,
    .get = QoS_get_mib_property,
    .set = QoS_set_mib_property,
    .wording = wording,
    .transaction = {.commit = apply},
    .announce = igd1::Announce::Never,
    .multi_failure = igd1::MultiFailure::Stop,
    .start = igd1::on_registered<QoS_init>,
};

}  // namespace

IGD1_READ_HANDLER(QoS_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(QoS_handle_set_property, QoS_handle_set_multi_properties, kObject)
IGD1_SINGLE_OBJECT(QoS, QoS_introspection_data, kObject, nullptr, QoS_handle_get_property,
                   QoS_handle_set_property, QoS_handle_set_multi_properties)

igd1::Begin igd1::qos::apply_change(const CallContext &call, RowStep step, const uint8_t *,
                                    GVariant *) {
  if (step == RowStep::Committed && !applied(call.error)) return Begin::Refuse;
  if (step == RowStep::Deleted) QoS_apply_change();
  return Begin::Apply;
}
