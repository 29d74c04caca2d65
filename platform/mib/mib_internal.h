// Pieces shared between the files of the configuration store; not part of its
// interface.
#pragma once

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>

#include "mib_store.h"

namespace igd1::mib {

// Set while any failure is injected (mib_store.cpp).
extern std::atomic<bool> g_failures_injected;
// One atomic load, so that a caller skips building an accessor's name.
inline bool failures_injected() { return g_failures_injected.load(std::memory_order_relaxed); }

// A value of type T in bytes of any alignment, such as a field of a stored row.
template <typename T>
T load(const void *bytes) {
  T value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}
template <typename T>
void store(void *bytes, T value) {
  std::memcpy(bytes, &value, sizeof value);
}
// An item's value as a number of type T; nothing when it cannot be read.
template <typename T>
std::optional<T> read_number(const Item &item) {
  T value{};
  if (!read_item(item, &value)) return std::nullopt;
  return value;
}
// An item's text; "" when it cannot be read.
inline std::string read_text(const Item &item) {
  std::string text(item.size, '\0');
  if (!read_item(item, text.data())) return "";
  text.resize(strnlen(text.c_str(), text.size()));
  return text;
}
// The text in a field of `size` bytes: up to its terminator, or the whole
// field when it has none.
inline std::string_view text_in(const void *field, size_t size) {
  const auto *text = static_cast<const char *>(field);
  return {text, strnlen(text, size)};
}

// Puts one value into an accessor's buffer: a number at its width, a text
// with its terminator, cut to fit `TextSize` bytes.
template <size_t TextSize, typename Number>
  requires std::is_arithmetic_v<Number>
void put_value(void *output, Number value) {
  std::memcpy(output, &value, sizeof value);
}
template <size_t TextSize>
void put_value(void *output, std::string_view text) {
  const size_t length = std::min(strnlen(text.data(), text.size()), TextSize - 1);
  std::memcpy(output, text.data(), length);
  static_cast<char *>(output)[length] = '\0';
}

// Puts the value numbered `index` among `values` (an item number of a record
// the store does not keep): 1, or 0 for a number past them.
template <size_t TextSize, typename... Values>
int put_numbered(int index, void *output, const Values &...values) {
  int at = 0, done = 0;
  ((at++ == index ? (put_value<TextSize>(output, values), done = 1) : 0), ...);
  return done;
}

// The number of type T that the whole of `text` is (no blanks, no '+', a '-'
// only for signed types and doubles); nothing for any other text, and for a
// value that T cannot hold.
template <typename T>
std::optional<T> parse_whole(std::string_view text) {
  T value{};
  const char *end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || stop != end) return std::nullopt;
  return value;
}

// The value of a hexadecimal digit, or -1.
inline int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace igd1::mib

namespace igd1::mib::detail {

// ---- values (mib_values.cpp) ----------------------------------------------

// True when `size` bytes is a valid binary size for `kind` (Text: at least the
// terminator; the others: exactly their fixed width).
bool kind_size_ok(ValueKind kind, size_t size);
// "Text", "Bool", "U8", ... and back.
const char *kind_name(ValueKind kind);
std::optional<ValueKind> kind_from_name(std::string_view name);

// ---- defaults (mib_seed.cpp) -----------------------------------------------

// Every registered item with an initial value (see Defaults).
std::span<const Item> default_settings();

// ---- speed tests (mib_speedtest.cpp) ----------------------------------------

// Stops every running speed test and waits for its worker; updates still on
// their way are dropped.
void stop_speed_tests();

// ---- store (mib_store.cpp) -------------------------------------------------

// Appends a journal entry; false when the store is closed or the write fails.
bool append_journal_entry(uint64_t bit, int action, const std::string &data);
// Runs the applier registered for `bit`; true when there is none.
bool apply_notice(uint32_t bit, const void *data, int action);
// Text recorded for a notice of `bit`: "" when there is no data, otherwise
// the registered formatter's output, or "<data>" when the bit has none.
std::string notice_text(uint32_t bit, const void *data);
// Asks for a checkpoint (see schedule_checkpoint).  False when the store is
// closed.
bool checkpoint_store();

// Holds the store's connection mutex (recursive): what a cache of the store
// takes around its own state, so that its state and the store's never wait
// for each other in opposite orders.
std::unique_lock<std::recursive_mutex> lock_store();

// Calls `callback(data, committed, counter_before)` at the end of the calling
// thread's open transaction, once per `key`, with the counter of `table`.
// False when no transaction is open.
bool on_transaction_end(const void *key, const TableDef &table, TransactionEnd callback,
                        void *data);

}  // namespace igd1::mib::detail
