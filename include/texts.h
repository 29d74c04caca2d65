// Texts with typed placeholders.  A refusal text of a table may name what it
// receives as {name} (the property), {value} (the value refused), {path}
// (the object's path) and {instance} (its row's or registration's number)
// instead of a printf format whose arguments the engine fixes.  A text
// without a "{" is a printf format of the system's own, used as before.
//
// Every table text is checked when its module starts (and by the contract
// tests): a placeholder that the place where the text is used does not
// supply stops the start, naming the module and the text.
#pragma once

#include <glib.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "igd1_export.h"

namespace igd1 {

// What a place that uses a text supplies.
enum TextSupplies : unsigned {
  kSuppliesNothing = 0,
  kSuppliesName = 1,
  kSuppliesValue = 2,
  kSuppliesPath = 4,
  kSuppliesInstance = 8,
  kSuppliesAll = 15,
};

struct TextValues {
  const char *name = nullptr;
  GVariant *value = nullptr;
  const char *path = nullptr;
  uint32_t instance = 0;
};

// Whether `text` uses placeholders rather than a printf format.
inline bool has_placeholders(const char *text) {
  return text != nullptr && std::string_view(text).find('{') != std::string_view::npos;
}

// The first placeholder of `text` that `supplied` lacks, or that is none of
// the four, as written ("{colour}"); "" when there is none.
IGD1_EXPORT std::string unsupplied_placeholder(const char *text, unsigned supplied);

// `text` with its placeholders filled in: a text value as it is, any other
// value as GVariant prints it, the instance in decimal.
IGD1_EXPORT std::string fill_text(const char *text, const TextValues &values);

// `text` filled from `values` when it has placeholders, else formatted with
// the one printf argument `legacy`.
IGD1_EXPORT std::string text_for(const char *text, const TextValues &values, const char *legacy);

// Checks `text` used where `supplied` holds; appends a line naming `owner`
// and the text to `faults` when a placeholder is not supplied.
IGD1_EXPORT void check_text(std::string *faults, const char *owner, const char *text,
                            unsigned supplied);

}  // namespace igd1
