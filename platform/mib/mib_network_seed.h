// Filling the fixed-size fields of records: texts cut to fit, addresses from text.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace igd1::mib {

template <size_t N>
void put_text(char (&field)[N], const char *text) {
  std::memset(field, 0, N);
  std::memcpy(field, text, std::min(std::strlen(text), N - 1));
}

inline void put_ipv4(uint8_t (&field)[4], const char *text) { inet_pton(AF_INET, text, field); }
inline void put_ipv6(uint8_t (&field)[16], const char *text) { inet_pton(AF_INET6, text, field); }

}  // namespace igd1::mib
