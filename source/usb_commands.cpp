#include "usb_commands.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "sys_paths.h"

namespace igd1::usb {
namespace {

constexpr char kAbsent[] = "NULL";
constexpr char kMountRoot[] = "/mnt/";
constexpr char kInvalid[] = "Invalid parameter value";
constexpr size_t kLineMax = 60;

// What mount is given with -t, and the options it is given with -o.
constexpr const char *kMountTypes[] = {"auto", "vfat", "fat", "msdos", "ntfs", "ntfs3", "exfat"};
constexpr const char *kMountOptions[] = {
    "ro",        "rw",       "sync",     "async",    "noatime",          "nodiratime",
    "relatime",  "noexec",   "nosuid",   "nodev",    "utf8",             "iocharset=utf8",
    "umask=0",   "umask=000", "umask=022", "fmask=0", "dmask=0",         "uid=0",
    "gid=0",     "flush",    "shortname=mixed"};
constexpr const char *kUnmountFlags[] = {"-l", "-f"};
// The formatter's names of the file systems, by the record's type.
struct FormatType {
  uint8_t fs_type;
  const char *name;
};
constexpr FormatType kFormatTypes[] = {{USB_FS_FAT, "fat"}, {USB_FS_NTFS, "ntfs"}, {USB_FS_EXFAT, "exfat"}};

template <size_t N>
bool listed(const char *const (&names)[N], std::string_view word) {
  return std::any_of(std::begin(names), std::end(names), [&](const char *n) { return word == n; });
}

const char *format_name(uint8_t fs_type) {
  for (const FormatType &t : kFormatTypes)
    if (t.fs_type == fs_type) return t.name;
  return nullptr;
}

bool format_type_name(std::string_view word) {
  return std::any_of(std::begin(kFormatTypes), std::end(kFormatTypes),
                     [&](const FormatType &t) { return word == t.name; });
}

bool safe_name_char(char c) { return g_ascii_isalnum(c) || c == '.' || c == '_' || c == '-'; }

// Every option of a comma-separated list is known; they are added to
// `options` once each, in order.
bool read_options(std::string_view list, std::vector<std::string> *options) {
  if (list.empty()) return false;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t end = std::min(list.find(',', start), list.size());
    const std::string option(list.substr(start, end - start));
    if (!listed(kMountOptions, option)) return false;
    if (std::find(options->begin(), options->end(), option) == options->end()) options->push_back(option);
    start = end + 1;
  }
  return true;
}

bool refuse(Refusal *refusal, const char *text, bool as_result = false) {
  refusal->text = text;
  refusal->as_result = as_result;
  return false;
}

// A path word names the record's device, or a mount point; a second,
// different one of either is refused.
bool take_path(const std::string &word, const usb_info_record &record, Command *command,
               Refusal *refusal) {
  if (word.rfind("/dev/", 0) == 0) {
    if (word != record.device_name || (!command->device.empty() && command->device != word))
      return refuse(refusal, kInvalid);
    command->device = word;
    return true;
  }
  if (word.rfind(kMountRoot, 0) == 0) {
    if (!valid_mount_point(word) || (!command->mount_point.empty() && command->mount_point != word))
      return refuse(refusal, kInvalid);
    command->mount_point = word;
    return true;
  }
  return refuse(refusal, kInvalid);
}

size_t joined_size(const std::vector<std::string> &argv) {
  size_t size = 0;
  for (const std::string &word : argv) size += word.size() + 1;
  return size == 0 ? 0 : size - 1;
}

bool read_mount(const std::vector<std::string> &words, const usb_info_record &record,
                bool add_record_target, Command *command, Refusal *refusal) {
  std::vector<std::string> options = {"umask=0"};
  std::string type, access;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string &word = words[i];
    if (word == "-t" || word == "-o") {
      if (i + 1 == words.size()) return refuse(refusal, kInvalid);
      const std::string &value = words[++i];
      if (word == "-t" ? !listed(kMountTypes, value) || !type.empty() : !read_options(value, &options))
        return refuse(refusal, kInvalid);
      if (word == "-t") type = value;
    } else if (word == "-w" || word == "-r") {
      if (!access.empty() && access != word) return refuse(refusal, kInvalid);
      access = word;
    } else if (!take_path(word, record, command, refusal)) {
      return false;
    }
  }
  if (add_record_target) {
    if (access.empty()) access = "-w";
    if (command->device.empty()) command->device = record.device_name;
    if (command->mount_point.empty()) {
      if (!valid_mount_point(record.mount_point)) return refuse(refusal, "err mnt name", true);
      command->mount_point = record.mount_point;
    }
  }
  if (command->device.empty()) return refuse(refusal, "no dev name", true);
  if (command->mount_point.empty()) return refuse(refusal, "err mnt name", true);
  std::string joined;
  for (const std::string &option : options) joined += (joined.empty() ? "" : ",") + option;
  std::vector<std::string> argv = {"mount", "-o", joined};
  if (!type.empty()) argv.insert(argv.end(), {"-t", type});
  if (!access.empty()) argv.push_back(access);
  argv.insert(argv.end(), {command->device, command->mount_point});
  command->hotplug = {{"usbmount"}, {.env = {{"DEVPATH", command->device}, {"ACTION", "remove"}}}};
  command->steps = {{{"mkdir", command->mount_point}, {}}, {std::move(argv), {}}};
  return true;
}

bool read_unmount(const std::vector<std::string> &words, const usb_info_record &record,
                  Command *command, Refusal *refusal) {
  std::vector<std::string> argv = {"umount"};
  for (const std::string &word : words) {
    if (listed(kUnmountFlags, word)) {
      if (std::find(argv.begin(), argv.end(), word) == argv.end()) argv.push_back(word);
    } else if (word.rfind("/dev/", 0) != 0) {
      return refuse(refusal, kInvalid);
    } else if (!take_path(word, record, command, refusal)) {
      return false;
    }
  }
  if (command->device.empty()) return refuse(refusal, "no dev name", true);
  argv.push_back(command->device);
  command->mount_point = record.mount_point;
  command->hotplug = {{"usbmount"}, {.env = {{"DEVPATH", command->device}, {"ACTION", "add"}}}};
  command->steps = {{std::move(argv), {}}};
  return true;
}

bool read_format(const std::vector<std::string> &words, const usb_info_record &record,
                 Command *command, Refusal *refusal) {
  std::string type;
  for (const std::string &word : words) {
    if (format_type_name(word)) {
      if (!type.empty() && type != word) return refuse(refusal, kInvalid);
      type = word;
    } else if (!take_path(word, record, command, refusal)) {
      return false;
    }
  }
  if (command->device.empty()) command->device = record.device_name;
  if (command->mount_point.empty()) {
    if (!valid_mount_point(record.mount_point)) return refuse(refusal, kInvalid);
    command->mount_point = record.mount_point;
  }
  if (type.empty()) {
    const char *name = format_name(record.fs_type);
    if (name == nullptr) return refuse(refusal, "usb_format is not support!");
    type = name;
  }
  command->steps = {{{"usbformat", command->device, command->mount_point, type}, {}}};
  return true;
}

}  // namespace

bool dictionary_words(GVariant *options, std::vector<std::string> *words) {
  GVariantIter iter;
  g_variant_iter_init(&iter, options);
  const gchar *key = nullptr;
  GVariant *value = nullptr;
  while (g_variant_iter_next(&iter, "{&sv}", &key, &value)) {
    g_autoptr(GVariant) held = value;
    if (!g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) return false;
    const gchar *text = g_variant_get_string(value, nullptr);
    if (std::strlen(key) > kWordMax || std::strlen(text) > kWordMax) return false;
    if (std::strcmp(key, kAbsent) != 0) words->emplace_back(key);
    if (std::strcmp(text, kAbsent) != 0) words->emplace_back(text);
  }
  return true;
}

bool default_words(Verb verb, const usb_info_record &record, std::vector<std::string> *words) {
  switch (verb) {
    case Verb::Mount:
      *words = {"-t", "auto", "-w", record.device_name, record.mount_point};
      return true;
    case Verb::Unmount:
      *words = {record.device_name};
      return true;
    case Verb::Format:
      if (format_name(record.fs_type) == nullptr) return false;
      *words = {record.device_name, record.mount_point, format_name(record.fs_type)};
      return true;
  }
  return false;
}

bool read_words(Verb verb, const std::vector<std::string> &words, const usb_info_record &record,
                bool add_record_target, Command *command, Refusal *refusal) {
  *command = Command{};
  command->verb = verb;
  refusal->text.clear();
  bool read = false;
  switch (verb) {
    case Verb::Mount: read = read_mount(words, record, add_record_target, command, refusal); break;
    case Verb::Unmount: read = read_unmount(words, record, command, refusal); break;
    case Verb::Format: read = read_format(words, record, command, refusal); break;
  }
  if (!read) return false;
  for (const ChainStep &step : command->steps)
    if (joined_size(step.argv) > kCommandMax) return refuse(refusal, kInvalid);
  return true;
}

bool command_line_words(const char *line, std::vector<std::string> *words) {
  if (line == nullptr || std::strlen(line) > kCommandMax) return false;
  for (const char *c = line; *c != '\0'; ++c)
    if (*c != ' ' && *c != '/' && *c != ',' && *c != '=' && !safe_name_char(*c)) return false;
  g_auto(GStrv) parts = g_strsplit(line, " ", -1);
  for (gchar **part = parts; *part != nullptr; ++part)
    if (**part != '\0') words->emplace_back(*part);
  return true;
}

bool valid_mount_point(const std::string &path) {
  if (path.rfind(kMountRoot, 0) != 0 || path.size() >= USB_MOUNT_POINT_SIZE) return false;
  size_t start = std::strlen(kMountRoot);
  std::string walked = "/mnt";
  struct stat st;
  bool exists = lstat(sys_path(walked).c_str(), &st) == 0;
  if (exists && !S_ISDIR(st.st_mode)) return false;
  while (start <= path.size()) {
    const size_t end = std::min(path.find('/', start), path.size());
    const std::string_view segment(path.data() + start, end - start);
    if (segment.empty() || segment == "." || segment == ".." ||
        !std::all_of(segment.begin(), segment.end(), safe_name_char))
      return false;
    walked += "/";
    walked += segment;
    // Below a folder that does not exist yet nothing can be a link.
    if (exists) {
      exists = lstat(sys_path(walked).c_str(), &st) == 0;
      if (exists && !S_ISDIR(st.st_mode)) return false;
    }
    start = end + 1;
  }
  return true;
}

std::string first_line(const std::string &output) {
  std::string line = output.substr(0, output.find('\n'));
  if (line.size() <= kLineMax) return line;
  size_t cut = kLineMax;
  while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
  return line.substr(0, cut);
}

}  // namespace igd1::usb
