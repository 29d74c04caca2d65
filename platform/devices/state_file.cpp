#include "state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace igd1::devices {

int64_t monotonic_ms() { return g_get_monotonic_time() / 1000; }

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decimal digits with an optional leading '-': GLib's signed parser also
// takes a '+', which no state file writes.
bool plain_signed_decimal(const char *text) {
  if (*text == '-') ++text;
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text)
    if (*text < '0' || *text > '9') return false;
  return true;
}

}  // namespace

bool parse_mac(std::string_view text, Mac *mac) {
  const bool separated = text.size() == 17;
  if (!separated && text.size() != 12) return false;
  size_t at = 0;
  for (size_t i = 0; i < mac->size(); ++i) {
    if (separated && i > 0) {
      if (text[at] != ':' && text[at] != '-') return false;
      ++at;
    }
    const int high = hex_value(text[at]), low = hex_value(text[at + 1]);
    if (high < 0 || low < 0) return false;
    (*mac)[i] = uint8_t(high << 4 | low);
    at += 2;
  }
  return true;
}

std::string mac_digits(const Mac &mac) {
  char text[13];
  g_snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", mac[0], mac[1], mac[2], mac[3], mac[4],
             mac[5]);
  return text;
}

std::string mac_text(const Mac &mac) {
  char text[18];
  g_snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
  return text;
}

void FieldReader::fail(const char *key, const std::string &why) {
  if (error_.empty()) error_ = "[" + group_ + "] " + key + ": " + why;
}

gchar *FieldReader::raw(const char *key, bool optional) {
  if (!ok()) return nullptr;
  gchar *value = g_key_file_get_value(keys_, group_.c_str(), key, nullptr);
  if (value == nullptr && !optional) fail(key, "missing");
  return value;
}

std::string FieldReader::text(const char *key, size_t max_bytes, const char *fallback) {
  g_autofree gchar *value = raw(key, fallback != nullptr);
  if (value == nullptr) return ok() && fallback != nullptr ? fallback : "";
  // Key files keep texts escaped; the unescaped form is the one measured.
  g_autofree gchar *text = g_key_file_get_string(keys_, group_.c_str(), key, nullptr);
  if (text == nullptr || !g_utf8_validate(text, -1, nullptr)) {
    fail(key, "not a UTF-8 text");
    return "";
  }
  if (strlen(text) > max_bytes) {
    fail(key, "longer than " + std::to_string(max_bytes) + " bytes");
    return "";
  }
  return text;
}

uint64_t FieldReader::number(const char *key, uint64_t min, uint64_t max, const uint64_t *fallback) {
  g_autofree gchar *value = raw(key, fallback != nullptr);
  if (value == nullptr) return ok() && fallback != nullptr ? *fallback : 0;
  guint64 out = 0;
  if (!g_ascii_string_to_unsigned(value, 10, min, max, &out, nullptr)) {
    fail(key, "'" + std::string(value) + "' is not a number from " + std::to_string(min) + " to " +
                  std::to_string(max));
    return 0;
  }
  return out;
}

int64_t FieldReader::signed_number(const char *key, int64_t min, int64_t max,
                                   const int64_t *fallback) {
  g_autofree gchar *value = raw(key, fallback != nullptr);
  if (value == nullptr) return ok() && fallback != nullptr ? *fallback : 0;
  gint64 out = 0;
  if (!plain_signed_decimal(value) ||
      !g_ascii_string_to_signed(value, 10, min, max, &out, nullptr)) {
    fail(key, "'" + std::string(value) + "' is not a number from " + std::to_string(min) + " to " +
                  std::to_string(max));
    return 0;
  }
  return out;
}

bool FieldReader::flag(const char *key, const bool *fallback) {
  g_autofree gchar *value = raw(key, fallback != nullptr);
  if (value == nullptr) return ok() && fallback != nullptr && *fallback;
  if (strcmp(value, "true") == 0) return true;
  if (strcmp(value, "false") != 0) fail(key, "'" + std::string(value) + "' is not true or false");
  return false;
}

Mac FieldReader::mac(const char *key) {
  Mac mac{};
  g_autofree gchar *value = raw(key, false);
  if (value != nullptr && !parse_mac(value, &mac)) fail(key, "'" + std::string(value) + "' is not a MAC address");
  return mac;
}

std::vector<std::string> FieldReader::list(const char *key, size_t max_bytes) {
  std::vector<std::string> items;
  const std::string joined = text(key, SIZE_MAX, "");
  if (joined.empty()) return items;
  size_t start = 0;
  for (;;) {
    const size_t end = joined.find(';', start);
    std::string item = joined.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (item.size() > max_bytes) {
      fail(key, "an entry is longer than " + std::to_string(max_bytes) + " bytes");
      return {};
    }
    if (!item.empty()) items.push_back(std::move(item));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return items;
}

StateFile::~StateFile() { g_key_file_free(keys_); }

void StateFile::clear() {
  g_key_file_free(keys_);
  keys_ = g_key_file_new();
}

bool StateFile::load(bool *missing, std::string *why) {
  *missing = false;
  g_autoptr(GError) error = nullptr;
  clear();
  if (g_key_file_load_from_file(keys_, path_.c_str(), G_KEY_FILE_KEEP_COMMENTS, &error)) return true;
  if (g_error_matches(error, G_FILE_ERROR, G_FILE_ERROR_NOENT)) {
    *missing = true;
    return true;
  }
  *why = path_ + ": " + error->message;
  return false;
}

bool StateFile::save(std::string *why) {
  g_autofree gchar *folder = g_path_get_dirname(path_.c_str());
  if (g_mkdir_with_parents(folder, 0755) != 0) {
    *why = std::string(folder) + ": " + strerror(errno);
    return false;
  }
  gsize length = 0;
  g_autofree gchar *data = g_key_file_to_data(keys_, &length, nullptr);
  const std::string partial = path_ + ".tmp";
  const int fd = open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  bool ok = fd >= 0;
  size_t written = 0;
  while (ok && written < length) {
    const ssize_t n = write(fd, data + written, length - written);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) written += size_t(n);
  }
  const int error = errno;
  if (fd >= 0 && close(fd) != 0 && ok) ok = false;
  if (ok && rename(partial.c_str(), path_.c_str()) == 0) return true;
  *why = path_ + ": cannot write the state: " + strerror(ok ? errno : error);
  unlink(partial.c_str());
  return false;
}

std::vector<std::string> groups_with_prefix(GKeyFile *keys, std::string_view prefix) {
  std::vector<std::string> found;
  g_auto(GStrv) groups = g_key_file_get_groups(keys, nullptr);
  for (gchar **group = groups; group != nullptr && *group != nullptr; ++group)
    if (std::string_view(*group).substr(0, prefix.size()) == prefix) found.emplace_back(*group);
  return found;
}

std::string join_list(const std::vector<std::string> &items) {
  std::string joined;
  for (const std::string &item : items) {
    if (!joined.empty()) joined += ';';
    joined += item;
  }
  return joined;
}

}  // namespace igd1::devices
