// Conversions between the text a setting is stored as and the bytes a module's
// accessor reads, and the accessors built on them.
#include <arpa/inet.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <system_error>
#include <vector>

#include "mib_internal.h"
#include "mib_store.h"

namespace igd1::mib {

namespace detail {

namespace {

struct KindInfo {
  ValueKind kind;
  const char *name;
  size_t size;    // the binary size, or the smallest one when `at_least`
  bool at_least;  // texts: any buffer of at least `size` bytes
};

constexpr KindInfo kKinds[] = {
    {ValueKind::Text, "Text", 1, true},
    {ValueKind::Bool, "Bool", 4, false},
    {ValueKind::U8, "U8", 1, false},
    {ValueKind::U16, "U16", 2, false},
    {ValueKind::U32, "U32", 4, false},
    {ValueKind::I32, "I32", 4, false},
    {ValueKind::IPv4, "IPv4", 4, false},
    {ValueKind::Mac, "Mac", 6, false},
    {ValueKind::Double, "Double", 8, false},
    {ValueKind::U64, "U64", 8, false},
    {ValueKind::IPv4Text, "IPv4Text", INET_ADDRSTRLEN, true},
    {ValueKind::IPv6, "IPv6", 16, false},
};

const KindInfo *kind_info(ValueKind kind) {
  for (const KindInfo &info : kKinds) {
    if (info.kind == kind) return &info;
  }
  return nullptr;
}

}  // namespace

bool kind_size_ok(ValueKind kind, size_t size) {
  const KindInfo *info = kind_info(kind);
  if (info == nullptr) return false;
  return info->at_least ? size >= info->size : size == info->size;
}

const char *kind_name(ValueKind kind) {
  const KindInfo *info = kind_info(kind);
  return info != nullptr ? info->name : "?";
}

std::optional<ValueKind> kind_from_name(std::string_view name) {
  for (const KindInfo &info : kKinds) {
    if (name == info.name) return info.kind;
  }
  return std::nullopt;
}

}  // namespace detail

namespace {

// Puts the number of type T that `text` is (parse_whole) into `buffer`,
// which is untouched when refused.
template <typename T>
bool parse_number(std::string_view text, void *buffer) {
  const std::optional<T> value = parse_whole<T>(text);
  if (value) std::memcpy(buffer, &*value, sizeof *value);
  return value.has_value();
}

// Dotted form of an address in network order; settings are read far more
// often than written, and this is much cheaper than inet_ntop.
void ipv4_text(const void *address, char out[INET_ADDRSTRLEN]) {
  const auto *bytes = static_cast<const uint8_t *>(address);
  char *end = out;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) *end++ = '.';
    end = std::to_chars(end, out + INET_ADDRSTRLEN, static_cast<unsigned>(bytes[i])).ptr;
  }
  *end = '\0';
}

// Parses an IPv4 address text (exactly four decimal parts of 0 to 255) into
// network order.
bool parse_ipv4(std::string_view text, in_addr *address) {
  char copy[INET_ADDRSTRLEN];
  if (text.size() >= sizeof copy || text.find('\0') != std::string_view::npos) return false;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return inet_pton(AF_INET, copy, address) == 1;
}

// Canonical dotted form of an IPv4 address text; false when it is not exactly
// four decimal parts of 0 to 255.
bool canonical_ipv4(std::string_view text, char out[INET_ADDRSTRLEN]) {
  in_addr address;
  if (!parse_ipv4(text, &address)) return false;
  ipv4_text(&address, out);
  return true;
}

bool parse_mac(std::string_view text, uint8_t out[6]) {
  if (text.size() != 17) return false;
  for (size_t i = 0; i < 6; ++i) {
    int high = hex_digit(text[i * 3]);
    int low = hex_digit(text[i * 3 + 1]);
    if (high < 0 || low < 0) return false;
    if (i < 5 && text[i * 3 + 2] != ':') return false;
    out[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

template <typename T>
std::string decimal(T value) {
  char text[32];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  (void)ec;  // 32 characters always hold an integer or a shortest double
  return std::string(text, end);
}

}  // namespace

std::string format_value(ValueKind kind, const void *buffer, size_t size) {
  if (buffer == nullptr || !detail::kind_size_ok(kind, size)) return {};
  const auto *bytes = static_cast<const uint8_t *>(buffer);
  switch (kind) {
    case ValueKind::Text:
      return std::string(static_cast<const char *>(buffer),
                         strnlen(static_cast<const char *>(buffer), size));
    case ValueKind::Bool:
      return load<int32_t>(buffer) != 0 ? "1" : "0";
    case ValueKind::U8:
      return decimal(static_cast<unsigned>(bytes[0]));
    case ValueKind::U16:
      return decimal(load<uint16_t>(buffer));
    case ValueKind::U32:
      return decimal(load<uint32_t>(buffer));
    case ValueKind::I32:
      return decimal(load<int32_t>(buffer));
    case ValueKind::IPv4: {
      char text[INET_ADDRSTRLEN];
      ipv4_text(buffer, text);
      return text;
    }
    case ValueKind::Mac: {
      char text[18];
      std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1],
                    bytes[2], bytes[3], bytes[4], bytes[5]);
      return text;
    }
    case ValueKind::Double:
      // Shortest text that reads back as the same double.
      return decimal(load<double>(buffer));
    case ValueKind::U64:
      return decimal(load<uint64_t>(buffer));
    case ValueKind::IPv4Text: {
      // Only an address is a value of this kind: anything else formats as ""
      // which no parse accepts, so write_item refuses it.
      char text[INET_ADDRSTRLEN];
      std::string_view given(static_cast<const char *>(buffer),
                             strnlen(static_cast<const char *>(buffer), size));
      return canonical_ipv4(given, text) ? std::string(text) : std::string();
    }
    case ValueKind::IPv6: {
      char text[INET6_ADDRSTRLEN] = "";
      inet_ntop(AF_INET6, buffer, text, sizeof text);
      return text;
    }
  }
  return {};
}

bool parse_value(ValueKind kind, std::string_view text, void *buffer, size_t size) {
  if (buffer == nullptr || !detail::kind_size_ok(kind, size)) return false;
  // Each branch parses completely before touching `buffer`, so a refused text
  // leaves the caller's bytes as they were.
  switch (kind) {
    case ValueKind::Text: {
      if (text.size() > size - 1 || text.find('\0') != std::string_view::npos) return false;
      std::memset(buffer, 0, size);
      std::memcpy(buffer, text.data(), text.size());
      return true;
    }
    case ValueKind::Bool: {
      const bool on = text == "1" || text == "true";
      if (!on && text != "0" && text != "false") return false;
      store(buffer, int32_t(on));
      return true;
    }
    case ValueKind::U8:
      return parse_number<uint8_t>(text, buffer);
    case ValueKind::U16:
      return parse_number<uint16_t>(text, buffer);
    case ValueKind::U32:
      return parse_number<uint32_t>(text, buffer);
    case ValueKind::I32:
      return parse_number<int32_t>(text, buffer);
    case ValueKind::IPv4: {
      in_addr address;
      if (!parse_ipv4(text, &address)) return false;
      std::memcpy(buffer, &address, sizeof address);
      return true;
    }
    case ValueKind::Mac: {
      uint8_t mac[6];
      if (!parse_mac(text, mac)) return false;
      std::memcpy(buffer, mac, sizeof mac);
      return true;
    }
    case ValueKind::Double:
      return parse_number<double>(text, buffer);
    case ValueKind::U64:
      return parse_number<uint64_t>(text, buffer);
    case ValueKind::IPv4Text: {
      char canonical[INET_ADDRSTRLEN];
      if (!canonical_ipv4(text, canonical)) return false;
      std::memset(buffer, 0, size);
      std::memcpy(buffer, canonical, std::strlen(canonical));
      return true;
    }
    case ValueKind::IPv6: {
      const std::string copy(text);
      in6_addr address;
      if (copy.size() != std::strlen(copy.c_str()) ||
          inet_pton(AF_INET6, copy.c_str(), &address) != 1)
        return false;
      std::memcpy(buffer, &address, sizeof address);
      return true;
    }
  }
  return false;
}

bool read_item(const Item &item, void *buffer) {
  if (item.name == nullptr) return false;
  std::optional<std::string> text = get_setting(item.name);
  if (!text) return false;
  return parse_value(item.kind, *text, buffer, item.size);
}

namespace {

// The stored text of a value the item takes.
std::optional<std::string> taken_text(const Item &item, const void *buffer) {
  if (item.name == nullptr || buffer == nullptr || !detail::kind_size_ok(item.kind, item.size))
    return std::nullopt;
  std::string text = format_value(item.kind, buffer, item.size);
  // A value whose text does not read back (an unterminated text field) would
  // be stored and then fail every later read: refuse it here instead.
  std::vector<uint8_t> check(item.size);
  if (!parse_value(item.kind, text, check.data(), check.size())) return std::nullopt;
  if (item.accepts != nullptr && !item.accepts(buffer)) return std::nullopt;
  return text;
}

}  // namespace

bool item_takes(const Item &item, const void *buffer) { return taken_text(item, buffer).has_value(); }

bool write_item(const Item &item, const void *buffer) {
  const std::optional<std::string> text = taken_text(item, buffer);
  return text && set_setting(item.name, *text);
}

bool write_changed(const Item &item, const void *buffer, bool *changed) {
  const std::optional<std::string> text = taken_text(item, buffer);
  if (!text) return false;
  // Compared in binary form, so that "true" and "1" or padding never differ.
  std::vector<uint8_t> stored(item.size), wanted(item.size);
  *changed = !read_item(item, stored.data()) ||
             !parse_value(item.kind, *text, wanted.data(), wanted.size()) || stored != wanted;
  return !*changed || set_setting(item.name, *text);
}

bool read_indexed(const char *accessor, const Item *items, size_t count, int index, void *buffer) {
  if (items == nullptr || index < 0 || static_cast<size_t>(index) >= count) return false;
  if (accessor != nullptr && should_fail(accessor, index)) return false;
  return read_item(items[index], buffer);
}

bool write_indexed(const char *accessor, const Item *items, size_t count, int index,
                   const void *buffer) {
  if (items == nullptr || index < 0 || static_cast<size_t>(index) >= count) return false;
  if (accessor != nullptr && should_fail(accessor, index)) return false;
  return write_item(items[index], buffer);
}

}  // namespace igd1::mib
