// What the vendor-specific information-element tables share: OUIs and data
// as upper-case hex, the manager objects that count rows, new elements and
// handing a frame's elements to the radios.
#include <algorithm>
#include <cstring>
#include <string>

#include "texts.h"
#include "vsie.h"

namespace igd1::vsie {

bool store_hex(const CallContext &call, const RowProperty &property, GVariant *value,
               uint8_t *row, bool *changed) {
  const char *text = g_variant_get_string(value, nullptr);
  const size_t length = std::strlen(text);
  // An OUI has exactly as many digits as its field holds; data an even
  // number that fits its field.
  const bool is_oui = property.size == VSIE_OUI_SIZE;
  bool fits = is_oui ? length == property.size - 1 : length % 2 == 0 && length < property.size;
  std::string digits(text);
  for (char &c : digits) {
    fits = fits && g_ascii_isxdigit(c);
    c = g_ascii_toupper(c);
  }
  if (!fits) {
    set_invalid_args(call.error, "%s",
                     fill_text(property.refused, {.name = property.name, .value = value,
                                                  .path = call.object_path,
                                                  .instance = call.instance})
                         .c_str());
    return false;
  }
  char *stored = reinterpret_cast<char *>(row + property.offset);
  *changed = std::strcmp(stored, digits.c_str()) != 0;
  std::memset(stored, 0, property.size);
  std::memcpy(stored, digits.c_str(), length);
  return true;
}

GVariant *read_row_count(const CallContext &, const SingleObject &object, const Property &property) {
  const auto *rows = static_cast<const RowCount *>(object.user_data);
  if (std::strcmp(property.name, "MaxEntries") == 0) return g_variant_new_uint32(rows->max_entries);
  return g_variant_new_uint32(uint32_t(std::max(rows->count(), 0)));
}

void new_element(uint8_t *row) { row[offsetof(vsie_tx_row, band)] = VSIE_BAND_ALL; }

bool apply_elements(vsie_frame frame, GError **error) {
  if (vsieTx_apply(frame) != 0) return true;
  g_set_error_literal(error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "Fail to apply change");
  return false;
}

}  // namespace igd1::vsie
