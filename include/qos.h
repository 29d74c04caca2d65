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

// The error texts of a QoS table; the manager errors name the table.
constexpr RowTexts table_texts(const char *add_failed, const char *delete_path,
                               const char *delete_failed) {
  return {.get_invalid_path = "Invalid object path %s",
          .get_no_row = "Invalid list num  %d",
          .set_invalid_path = "Invalid parameter path",
          .set_no_row = "Invalid parameter path",
          .write_property = "Invalid property %s",
          .add_failed = add_failed,
          .delete_path = delete_path,
          .delete_failed = delete_failed};
}

// A QoS table: changes on a working copy, stored only when a value changed
// and followed by an apply of the configuration, as are removals; nothing is
// announced.
constexpr RowModule table_module(const char *manager_path, std::span<const RowProperty> properties,
                                 RowTable table, RowTexts texts, const char *xml) {
  return {.manager_path = manager_path,
          .properties = properties,
          .table = table,
          .texts = texts,
          .announce = Announce::Never,
          .xml = xml,
          .on = apply_change};
}

}  // namespace igd1::qos
