#include "system_view.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <mutex>

#include "sys_paths.h"

namespace igd1::mib {

namespace {

// Reads a small file (at most size - 1 bytes) into `buffer`, terminated;
// the bytes read, or -1.  `dir` is a folder descriptor `name` is relative
// to, or AT_FDCWD.
ssize_t read_small(int dir, const char *name, char *buffer, size_t size) {
  const int fd = openat(dir, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return -1;
  size_t used = 0;
  while (used + 1 < size) {
    const ssize_t got = read(fd, buffer + used, size - 1 - used);
    if (got < 0) {
      close(fd);
      return -1;
    }
    if (got == 0) break;
    used += size_t(got);
  }
  close(fd);
  buffer[used] = '\0';
  return ssize_t(used);
}

// The decimal number that `text` holds, ignoring one trailing newline.
template <typename Number>
std::optional<Number> number_of(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  Number value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

template <typename Number>
std::optional<Number> read_number(const std::string &file) {
  char buffer[64];
  const ssize_t got = read_small(AT_FDCWD, file.c_str(), buffer, sizeof buffer);
  if (got <= 0) return std::nullopt;
  return number_of<Number>(std::string_view(buffer, size_t(got)));
}

// The fields of a stat file after the name: the state is field 0 here,
// utime 11, stime 12, num_threads 17, starttime 19 and rss (pages) 21.
constexpr size_t kStateField = 0, kUtimeField = 11, kStimeField = 12, kThreadsField = 17,
                 kStartField = 19, kRssField = 21;

bool parse_stat(std::string_view stat, ProcessInfo *info) {
  const size_t open = stat.find('(');
  // The name may hold ")" itself: it ends at the last one.
  const size_t close = stat.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open ||
      close + 2 > stat.size())
    return false;
  info->name.assign(stat.substr(open + 1, close - open - 1));
  std::string_view rest = stat.substr(close + 2);
  uint64_t utime = 0, stime = 0, rss_pages = 0;
  for (size_t field = 0; field <= kRssField; ++field) {
    const size_t space = rest.find(' ');
    const std::string_view word = rest.substr(0, space);
    if (word.empty()) return false;
    std::optional<uint64_t> number;
    if (field != kStateField) number = number_of<uint64_t>(word);
    switch (field) {
      case kStateField: info->state = word.front(); break;
      case kUtimeField: utime = number.value_or(0); break;
      case kStimeField: stime = number.value_or(0); break;
      case kThreadsField: info->threads = uint32_t(number.value_or(0)); break;
      case kStartField:
        if (!number) return false;
        info->start_ticks = *number;
        break;
      case kRssField: rss_pages = number.value_or(0); break;
      default: break;
    }
    if (space == std::string_view::npos) {
      if (field != kRssField) return false;
      break;
    }
    rest.remove_prefix(space + 1);
  }
  info->cpu_ticks = utime + stime;
  static const uint64_t page_kb = uint64_t(sysconf(_SC_PAGESIZE)) / 1024;
  info->rss_kb = rss_pages * page_kb;
  return true;
}

// The thermal zone in use, found once per kernel root.
struct ZoneChoice {
  std::mutex mutex;
  std::string root;  // the zones' folder it was found in
  std::string zone;  // "" : none found yet
};

ZoneChoice &zone_choice() {
  static ZoneChoice *choice = new ZoneChoice;
  return *choice;
}

std::string find_zone(const std::string &zones) {
  DIR *dir = opendir(zones.c_str());
  if (dir == nullptr) return {};
  std::vector<std::string> names;
  while (const dirent *entry = readdir(dir))
    if (std::strncmp(entry->d_name, "thermal_zone", 12) == 0) names.emplace_back(entry->d_name);
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    char type[64];
    if (read_small(AT_FDCWD, (zones + "/" + name + "/type").c_str(), type, sizeof type) <= 0)
      continue;
    for (const char *mark : {"cpu", "x86_pkg", "soc"})
      if (std::strstr(type, mark) != nullptr) return name;
  }
  return names.empty() ? std::string() : names.front();
}

}  // namespace

bool valid_service_name(std::string_view name, std::string *why) {
  if (name.empty() || name.size() > kServiceNameMax) {
    *why = "a service name has 1 to " + std::to_string(kServiceNameMax) + " characters";
    return false;
  }
  for (const char ch : name) {
    const bool plain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                       (ch >= '0' && ch <= '9') || ch == '.' || ch == '_' || ch == '+' || ch == '-';
    if (!plain) {
      *why = "a service name holds letters, digits and \"._+-\" only";
      return false;
    }
  }
  if (name.front() == '.' || name.find("..") != std::string_view::npos) {
    *why = "a service name neither starts with \".\" nor holds \"..\"";
    return false;
  }
  return true;
}

std::vector<ProcessInfo> list_processes(std::string_view service) {
  std::vector<ProcessInfo> found;
  const std::string_view comm = service.substr(0, kCommMax);
  DIR *dir = opendir(kernel_path(kernel::kProc).c_str());
  if (dir == nullptr) return found;
  const int dir_fd = dirfd(dir);
  char stat[1024];
  std::string name;
  while (const dirent *entry = readdir(dir)) {
    // A pid has at most 10 digits; anything else is no process.
    const std::optional<uint32_t> pid = number_of<uint32_t>(entry->d_name);
    if (!pid || std::strlen(entry->d_name) > 10) continue;
    name.assign(entry->d_name).append("/stat");
    const ssize_t got = read_small(dir_fd, name.c_str(), stat, sizeof stat);
    // A process that ended meanwhile has no stat any more.
    if (got <= 0) continue;
    ProcessInfo info;
    if (!parse_stat(std::string_view(stat, size_t(got)), &info)) continue;
    if (!comm.empty() && info.name != comm) continue;
    info.pid = *pid;
    found.push_back(std::move(info));
  }
  closedir(dir);
  return found;
}

std::optional<Temperature> cpu_temperature() {
  ZoneChoice &choice = zone_choice();
  const std::string zones = kernel_path(kernel::kThermalZones);
  std::lock_guard lock(choice.mutex);
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (choice.root != zones || choice.zone.empty()) {
      choice.root = zones;
      choice.zone = find_zone(zones);
      if (choice.zone.empty()) return std::nullopt;
    }
    const std::optional<int64_t> milli = read_number<int64_t>(zones + "/" + choice.zone + "/temp");
    if (milli) {
      // A zone below freezing reads as 0: the property is unsigned.
      const int64_t celsius = std::max<int64_t>(0, (*milli + 500) / 1000);
      return Temperature{uint32_t(std::min<int64_t>(celsius, UINT32_MAX)), choice.zone};
    }
    choice.zone.clear();  // look again: zones come and go with drivers
  }
  return std::nullopt;
}

std::optional<Conntrack> conntrack() {
  const std::optional<uint32_t> count = read_number<uint32_t>(kernel_path(kernel::kConntrackCount));
  const std::optional<uint32_t> max = read_number<uint32_t>(kernel_path(kernel::kConntrackMax));
  if (!count || !max) return std::nullopt;
  return Conntrack{*count, *max};
}

std::optional<uint64_t> memory_kb(std::string_view field) {
  char buffer[512];
  const ssize_t got =
      read_small(AT_FDCWD, kernel_path(kernel::kMemInfo).c_str(), buffer, sizeof buffer);
  if (got <= 0) return std::nullopt;
  for (std::string_view rest(buffer, size_t(got)); !rest.empty();) {
    std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(std::min(rest.size(), line.size() + 1));
    if (!line.starts_with(field) || line.substr(field.size(), 1) != ":") continue;
    line.remove_prefix(field.size() + 1);
    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    return number_of<uint64_t>(line.substr(0, line.find(' ')));
  }
  return std::nullopt;
}

long ticks_per_second() {
  static const long ticks = sysconf(_SC_CLK_TCK);
  return ticks > 0 ? ticks : 100;
}

unsigned cpu_count() {
  static const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  return cpus > 0 ? unsigned(cpus) : 1;
}

}  // namespace igd1::mib
