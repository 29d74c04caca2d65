// Texts with typed placeholders: checking and filling them.
#include "texts.h"

#include <array>

namespace igd1 {
namespace {

struct Placeholder {
  std::string_view written;
  unsigned supplies;
};
constexpr std::array<Placeholder, 4> kPlaceholders = {{{"{name}", kSuppliesName},
                                                       {"{value}", kSuppliesValue},
                                                       {"{path}", kSuppliesPath},
                                                       {"{instance}", kSuppliesInstance}}};

const Placeholder *placeholder_at(std::string_view rest) {
  for (const Placeholder &placeholder : kPlaceholders)
    if (rest.starts_with(placeholder.written)) return &placeholder;
  return nullptr;
}

std::string printed_value(GVariant *value) {
  if (value == nullptr) return "";
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) return g_variant_get_string(value, nullptr);
  g_autofree gchar *printed = g_variant_print(value, FALSE);
  return printed;
}

}  // namespace

std::string unsupplied_placeholder(const char *text, unsigned supplied) {
  if (!has_placeholders(text)) return "";
  const std::string_view all(text);
  for (size_t at = all.find('{'); at != std::string_view::npos; at = all.find('{', at + 1)) {
    const std::string_view rest = all.substr(at);
    const Placeholder *placeholder = placeholder_at(rest);
    if (placeholder != nullptr && (placeholder->supplies & supplied) != 0) continue;
    const size_t end = rest.find('}');
    return std::string(rest.substr(0, end == std::string_view::npos ? rest.size() : end + 1));
  }
  return "";
}

std::string fill_text(const char *text, const TextValues &values) {
  std::string filled;
  const std::string_view all(text != nullptr ? text : "");
  for (size_t at = 0; at < all.size();) {
    const Placeholder *placeholder = all[at] == '{' ? placeholder_at(all.substr(at)) : nullptr;
    if (placeholder == nullptr) {
      filled += all[at++];
      continue;
    }
    switch (placeholder->supplies) {
      case kSuppliesName: filled += values.name != nullptr ? values.name : ""; break;
      case kSuppliesValue: filled += printed_value(values.value); break;
      case kSuppliesPath: filled += values.path != nullptr ? values.path : ""; break;
      case kSuppliesInstance: filled += std::to_string(values.instance); break;
    }
    at += placeholder->written.size();
  }
  return filled;
}

std::string text_for(const char *text, const TextValues &values, const char *legacy) {
  if (has_placeholders(text)) return fill_text(text, values);
  g_autofree gchar *formatted = g_strdup_printf(text, legacy);
  return formatted;
}

void check_text(std::string *faults, const char *owner, const char *text, unsigned supplied) {
  const std::string missing = unsupplied_placeholder(text, supplied);
  if (missing.empty()) return;
  *faults += std::string(owner) + ": text \"" + text + "\" has " + missing +
             ", which the engine does not supply there\n";
}

}  // namespace igd1
