#include "joined_lists.h"

#include <cstring>
#include <vector>

#include "tool.h"

namespace igd1 {

bool fits_running_room(GVariant *value, size_t room) {
  g_autofree const gchar **elements = g_variant_get_strv(value, nullptr);
  for (size_t i = 0; elements[i] != nullptr; ++i) {
    const size_t length = std::strlen(elements[i]);
    if (length >= room) return false;
    room -= length + (i > 0 ? 1 : 0);
  }
  return true;
}

GVariant *read_domain_list(const CallContext &, const RowProperty &property, const uint8_t *row) {
  const char *text = reinterpret_cast<const char *>(row + property.offset);
  g_autofree gchar *joined = g_strndup(text, strnlen(text, property.size));
  g_auto(GStrv) pieces = joined[0] == '\0' ? g_new0(gchar *, 1) : g_strsplit(joined, ";", -1);
  std::vector<const gchar *> valid;
  for (gchar **piece = pieces; *piece != nullptr; ++piece) {
    if (g_utf8_validate(*piece, -1, nullptr))
      valid.push_back(*piece);
    else
      DBUS_LOG(LOG_LEVEL_WARN, "DomainName error");
  }
  valid.push_back(nullptr);
  return g_variant_new_strv(valid.data(), -1);
}

}  // namespace igd1
