// Helpers of the network tables' files: building seed records and seeding a
// table once per store.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "mib_rowlist.h"
#include "mib_store.h"

namespace igd1::mib {

template <size_t N>
void put_text(char (&field)[N], const char *text) {
  std::memset(field, 0, N);
  std::memcpy(field, text, std::min(std::strlen(text), N - 1));
}

inline void put_ipv4(uint8_t (&field)[4], const char *text) { inet_pton(AF_INET, text, field); }
inline void put_ipv6(uint8_t (&field)[16], const char *text) { inet_pton(AF_INET6, text, field); }

// Fills an empty table with `rows` the first time a store serves it; the
// setting `marker` records that it did, so that a table its users emptied
// stays empty.
template <typename Row>
void seed_once(RowList &list, const char *marker, const std::vector<Row> &rows) {
  if (!store_is_open() || get_setting(marker).has_value()) return;
  if (list.size() == 0)
    for (const Row &row : rows) list.insert_at(reinterpret_cast<const uint8_t *>(&row));
  set_setting(marker, "1");
}

// The row at `position` of `list` when it is the one `node` names (or
// `node` is null); its instance number, or 0.
inline uint32_t removable_instance(RowList &list, uint32_t position, const mib_list_node *node) {
  mib_list_node *at = list.at(position);
  if (at == nullptr) return 0;
  const uint8_t instance = static_cast<const uint8_t *>(at->data)[0];
  if (node != nullptr && node->data != nullptr &&
      static_cast<const uint8_t *>(node->data)[0] != instance)
    return 0;
  return instance;
}

}  // namespace igd1::mib
