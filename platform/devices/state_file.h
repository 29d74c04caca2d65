// The state of an emulated device on disk, and the small types the devices
// share.
//
// Each device keeps one key file below the root folder.  It is written whole
// to a temporary file and renamed over the old one, so that a crash leaves
// the old state or the new one, never a mix; it is read strictly, so that a
// hand-edited file with a wrapped number or an overlong text is refused with
// the group and key named instead of being half taken.
#pragma once

#include <glib.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace igd1::devices {

// Milliseconds of a monotonic clock.  Devices take the clock as a parameter
// so that tests can move time on by hand.
using Clock = std::function<int64_t()>;
int64_t monotonic_ms();

using Mac = std::array<uint8_t, 6>;
// Takes "aa:bb:cc:dd:ee:ff" (either case, ':' or '-') or twelve hex digits.
bool parse_mac(std::string_view text, Mac *mac);
// Twelve upper-case hex digits, the form the bus shows.
std::string mac_digits(const Mac &mac);
// "AA:BB:CC:DD:EE:FF", the form the state files keep.
std::string mac_text(const Mac &mac);

// Reads the keys of one group strictly.  The first failure is kept (group,
// key and why); later reads return zero values, so a loader reads every
// field and checks ok() once.
class FieldReader {
 public:
  FieldReader(GKeyFile *keys, std::string group) : keys_(keys), group_(std::move(group)) {}

  // A text of at most max_bytes bytes; a longer one is refused, never cut.
  std::string text(const char *key, size_t max_bytes, const char *fallback = nullptr);
  uint64_t number(const char *key, uint64_t min, uint64_t max, const uint64_t *fallback = nullptr);
  int64_t signed_number(const char *key, int64_t min, int64_t max, const int64_t *fallback = nullptr);
  bool flag(const char *key, const bool *fallback = nullptr);
  Mac mac(const char *key);
  // A ';'-separated list of texts, each at most max_bytes bytes.
  std::vector<std::string> list(const char *key, size_t max_bytes);

  bool ok() const { return error_.empty(); }
  const std::string &error() const { return error_; }

 private:
  // The raw value, or nullptr (and the error set) when absent and no
  // fallback applies.
  gchar *raw(const char *key, bool optional);
  void fail(const char *key, const std::string &why);

  GKeyFile *keys_;
  std::string group_;
  std::string error_;
};

// One device's key file.
class StateFile {
 public:
  explicit StateFile(std::string path) : path_(std::move(path)) {}
  StateFile(const StateFile &) = delete;
  StateFile &operator=(const StateFile &) = delete;
  ~StateFile();

  const std::string &path() const { return path_; }
  // Reads the file.  *missing is set (and true returned) when there is none.
  bool load(bool *missing, std::string *why);
  // Writes the keys through a temporary file and a rename.
  bool save(std::string *why);
  // Drops every key, for a loader that writes the state afresh.
  void clear();
  GKeyFile *keys() { return keys_; }

 private:
  std::string path_;
  GKeyFile *keys_ = g_key_file_new();
};

// The groups of a key file that begin with `prefix`, in file order.
std::vector<std::string> groups_with_prefix(GKeyFile *keys, std::string_view prefix);

// Gives `field` its new value and writes the state with `write`; a failed
// write puts the old value back, so that memory and file agree.
template <typename T, typename Write>
bool change_written(T &field, T value, Write write) {
  T before = std::move(field);
  field = std::move(value);
  if (write()) return true;
  field = std::move(before);
  return false;
}

// Opens a device's state: reads the file, or seeds a missing one and writes
// it (`write_seeded`).  A malformed file is reported (false, with why) and the
// seeded defaults are kept in memory.
template <typename Seed, typename Read, typename WriteSeeded>
bool open_state(StateFile &file, std::string *why, Seed seed, Read read, WriteSeeded write_seeded) {
  bool missing = false;
  if (!file.load(&missing, why)) return false;
  if (missing) {
    seed();
    return write_seeded(why);
  }
  if (read(why)) return true;
  seed();
  return false;
}

// Joins texts with ';' for a list key.
std::string join_list(const std::vector<std::string> &items);

}  // namespace igd1::devices
