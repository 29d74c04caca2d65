// Quality of service: the QoS object /com/wqx/igd1/Network/QoS, and the
// collections of classifications (each with a manager of its match types at
// ".../Classification/N/Type"), priority queues and applications.
#pragma once

#include "collection.h"
#include "single_object.h"

namespace igd1::qos {

// Applies the whole QoS configuration after a stored change of a row
// (refused, with a Failed error, when it could not be applied: the change is
// then not kept either), and without a row that was removed.
Begin apply_change(const CallContext &call, RowStep step, const uint8_t *row, GVariant *parameters);

// The error texts of a QoS table; the manager errors name the table, and a
// table nested under another's rows may word AddObject under a row that is
// gone (`add_path`).
template <const char *add_failed, const char *delete_path, const char *delete_failed,
          const char *add_path = nullptr>
const char *table_wording(RowText text) {
  using enum RowText;
  switch (text) {
    case GetInvalidPath: return "Invalid object path %s";
    case GetNoRow: return "Invalid list num  %d";
    case SetInvalidPath:
    case SetNoRow: return "Invalid parameter path";
    case WriteProperty: return "Invalid property %s";
    case AddFailed: return add_failed;
    case AddPath: return add_path;
    case DeletePath: return delete_path;
    case DeleteFailed: return delete_failed;
    default: return nullptr;
  }
}

// A QoS table: changes on a working copy, stored only when a value changed
// and followed by an apply of the configuration, as are removals; nothing is
// announced.
constexpr RowModule table_module(const char *manager_path, std::span<const RowProperty> properties,
                                 RowTable table, const char *(*wording)(RowText text),
                                 const char *xml) {
  return {.manager_path = manager_path,
          .properties = properties,
          .table = table,
          .texts = {.wording = wording},
          .announce = Announce::Never,
          .xml = xml,
          .on = apply_change};
}

}  // namespace igd1::qos
