#include "usb_storage.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "sys_paths.h"
#include "sys_run.h"

namespace igd1::devices {

namespace {

constexpr char kGeneral[] = "usb";
constexpr char kDevicePrefix[] = "device ";
constexpr uint32_t kMaxStopMs = 60000;
// A folder's used size is counted over at most this many entries, so that a
// huge tree cannot hold up a read.
constexpr size_t kMaxCountedEntries = 100000;

bool starts_with(const std::string &text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// A fixed absolute path without "." or ".." segments, so that it stays
// below the root once placed there.
bool confined_path(const std::string &path) {
  if (path.empty() || path[0] != '/') return false;
  size_t start = 1;
  while (start <= path.size()) {
    const size_t end = std::min(path.find('/', start), path.size());
    const std::string_view segment(path.data() + start, end - start);
    if (segment == "." || segment == "..") return false;
    start = end + 1;
  }
  return true;
}

void count_folder(const std::string &folder, uint64_t *bytes, size_t *entries) {
  g_autoptr(GDir) dir = g_dir_open(folder.c_str(), 0, nullptr);
  if (dir == nullptr) return;
  while (const gchar *name = g_dir_read_name(dir)) {
    if (++*entries > kMaxCountedEntries) return;
    const std::string path = folder + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode))
      count_folder(path, bytes, entries);
    else if (S_ISREG(st.st_mode))
      *bytes += uint64_t(st.st_blocks) * 512;
  }
}

// Moves a device's folder from one fixed path to another below the root;
// an empty folder at the target (a mount point) is replaced.  Nothing to
// move is no failure.
bool move_files(const std::string &from, const std::string &to, std::string *why) {
  const std::string source = sys_path(from), target = sys_path(to);
  struct stat st;
  if (lstat(source.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return true;
  g_autofree gchar *parent = g_path_get_dirname(target.c_str());
  g_mkdir_with_parents(parent, 0755);
  if (rename(source.c_str(), target.c_str()) == 0) return true;
  *why = from + " -> " + to + ": " + strerror(errno);
  return false;
}

}  // namespace

std::string data_path(const UsbDevice &device) {
  if (!device.mounted || device.mount_point.empty()) return device.backing;
  // An image stays where it is: what it holds is not looked into.
  struct stat st;
  if (lstat(sys_path(device.backing).c_str(), &st) == 0 && S_ISREG(st.st_mode)) return device.backing;
  return device.mount_point;
}

void measure_backing(UsbDevice *device) {
  device->total = device->used = device->free = 0;
  if (device->type != kStorageDevice || device->backing.empty()) return;
  const std::string real = sys_path(data_path(*device));
  struct stat st;
  if (lstat(real.c_str(), &st) != 0) return;
  if (S_ISREG(st.st_mode)) {
    // What an image holds is not looked into: it reads as empty.
    device->total = uint64_t(st.st_size);
    device->free = device->total;
  } else if (S_ISDIR(st.st_mode)) {
    size_t entries = 0;
    count_folder(real, &device->used, &entries);
    device->total = device->capacity;
    device->free = device->total > device->used ? device->total - device->used : 0;
  }
}

void UsbStorage::seed() {
  UsbDevice disk;
  disk.index = 1;
  disk.id = 1;
  disk.vendor = "WQX";
  disk.model = "Flash Disk 3.0";
  disk.device_name = "/dev/sda1";
  disk.mount_point = "/mnt/usb1_1";
  disk.fs_type = kFat;
  disk.label = "USBDISK";
  disk.backing = std::string(path::kDeviceStateDir) + "usb1";
  disk.capacity = uint64_t(8) << 30;
  UsbDevice printer;
  printer.index = 2;
  printer.type = 7;
  printer.id = 2;
  printer.vendor = "WQX";
  printer.model = "Line Printer";
  printer.mounted = false;
  printer.fs_type = 0;
  devices_ = {disk, printer};
  media_server_stop_ms_ = 1500;
}

bool UsbStorage::open(std::string *why) {
  std::lock_guard lock(mutex_);
  return open_state(
      file_, why, [this] { seed(); }, [this](std::string *w) { return read_state(w); },
      [this](std::string *w) {
        // The seeded disk's folder holds one file, so that it is not empty;
        // the disk is mounted, so the folder is at its mount point.
        const std::string folder = sys_path(data_path(devices_[0]));
        if (g_mkdir_with_parents(folder.c_str(), 0755) != 0) {
          *w = folder + ": " + strerror(errno);
          return false;
        }
        g_file_set_contents((folder + "/README.txt").c_str(), "A file on the emulated USB disk.\n", -1, nullptr);
        return write_state(w);
      });
}

bool UsbStorage::check_record(const UsbDevice &d, std::string *why) const {
  if (d.index < 0 || d.index > kMaxUsbDevices) {
    *why = "a device number is from 1 to " + std::to_string(kMaxUsbDevices);
    return false;
  }
  if (d.vendor.size() > kUsbTextMax || d.model.size() > kUsbTextMax || d.device_name.size() > kUsbTextMax) {
    *why = "vendor, model and device name are at most " + std::to_string(kUsbTextMax) + " bytes";
    return false;
  }
  if (d.mount_point.size() > kMountPointMax || d.label.size() > kLabelMax) {
    *why = "the mount point is at most " + std::to_string(kMountPointMax) + " bytes, the label " +
           std::to_string(kLabelMax);
    return false;
  }
  if (d.type != kStorageDevice) return true;
  if (!starts_with(d.device_name, "/dev/sd") || !starts_with(d.mount_point, "/mnt/")) {
    *why = "a storage device has a device name /dev/sd... and a mount point /mnt/...";
    return false;
  }
  if (d.fs_type != kFat && d.fs_type != kNtfs && d.fs_type != kExfat) {
    *why = "a storage device has the file system 1 (FAT), 2 (NTFS) or 4 (exFAT)";
    return false;
  }
  if (!confined_path(d.backing)) {
    *why = "the backing is an absolute path without . or .. segments";
    return false;
  }
  return true;
}

bool UsbStorage::check_new(const UsbDevice &d, std::string *why) const {
  if (!check_record(d, why)) return false;
  if (d.type != kStorageDevice) return true;
  struct stat st;
  const std::string real = sys_path(d.backing);
  if (lstat(real.c_str(), &st) != 0 || !(S_ISDIR(st.st_mode) || S_ISREG(st.st_mode))) {
    *why = "the backing " + d.backing + " is not a folder or a file";
    return false;
  }
  return true;
}

bool UsbStorage::read_state(std::string *why) {
  GKeyFile *keys = file_.keys();
  FieldReader general(keys, kGeneral);
  const uint64_t default_stop = 1500;
  const uint32_t stop_ms = uint32_t(general.number("media_server_stop_ms", 0, kMaxStopMs, &default_stop));
  if (!general.ok()) {
    *why = file_.path() + ": " + general.error();
    return false;
  }
  std::vector<UsbDevice> devices;
  for (const std::string &group : groups_with_prefix(keys, kDevicePrefix)) {
    FieldReader f(keys, group);
    UsbDevice d;
    guint64 index = 0;
    if (!g_ascii_string_to_unsigned(group.c_str() + strlen(kDevicePrefix), 10, 1, kMaxUsbDevices, &index, nullptr)) {
      *why = file_.path() + ": [" + group + "] is not a device number from 1 to " + std::to_string(kMaxUsbDevices);
      return false;
    }
    d.index = int32_t(index);
    d.type = uint8_t(f.number("type", 0, 255));
    d.id = int32_t(f.signed_number("id", INT32_MIN, INT32_MAX));
    d.vendor = f.text("vendor", kUsbTextMax);
    d.model = f.text("model", kUsbTextMax);
    d.writable = f.flag("writable");
    const bool storage = d.type == kStorageDevice;
    d.device_name = f.text("device_name", kUsbTextMax, storage ? nullptr : "");
    d.mount_point = f.text("mount_point", kMountPointMax, storage ? nullptr : "");
    const uint64_t no_fs = 0;
    d.fs_type = uint8_t(f.number("fs_type", 0, 4, storage ? nullptr : &no_fs));
    d.label = f.text("label", kLabelMax, "");
    const bool unmounted = false;
    d.mounted = f.flag("mounted", storage ? nullptr : &unmounted);
    d.backing = f.text("backing", kMountPointMax, storage ? nullptr : "");
    const uint64_t no_capacity = 0;
    d.capacity = f.number("capacity", 0, UINT64_MAX, &no_capacity);
    if (!f.ok()) {
      *why = file_.path() + ": " + f.error();
      return false;
    }
    // A backing that went away leaves a device that reads as empty, as a
    // disk pulled out between two runs would; the rest must still fit.
    std::string invalid;
    if (!check_record(d, &invalid)) {
      *why = file_.path() + ": [" + group + "] " + invalid;
      return false;
    }
    devices.push_back(std::move(d));
  }
  devices_ = std::move(devices);
  media_server_stop_ms_ = stop_ms;
  return true;
}

bool UsbStorage::write_state(std::string *why) {
  file_.clear();
  GKeyFile *keys = file_.keys();
  g_key_file_set_uint64(keys, kGeneral, "media_server_stop_ms", media_server_stop_ms_);
  for (const UsbDevice &d : devices_) {
    const std::string g = kDevicePrefix + std::to_string(d.index);
    g_key_file_set_uint64(keys, g.c_str(), "type", d.type);
    g_key_file_set_int64(keys, g.c_str(), "id", d.id);
    g_key_file_set_string(keys, g.c_str(), "vendor", d.vendor.c_str());
    g_key_file_set_string(keys, g.c_str(), "model", d.model.c_str());
    g_key_file_set_boolean(keys, g.c_str(), "writable", d.writable);
    g_key_file_set_string(keys, g.c_str(), "device_name", d.device_name.c_str());
    g_key_file_set_string(keys, g.c_str(), "mount_point", d.mount_point.c_str());
    g_key_file_set_uint64(keys, g.c_str(), "fs_type", d.fs_type);
    g_key_file_set_string(keys, g.c_str(), "label", d.label.c_str());
    g_key_file_set_boolean(keys, g.c_str(), "mounted", d.mounted);
    g_key_file_set_string(keys, g.c_str(), "backing", d.backing.c_str());
    g_key_file_set_uint64(keys, g.c_str(), "capacity", d.capacity);
  }
  return file_.save(why);
}

UsbDevice *UsbStorage::find(int32_t index) {
  for (UsbDevice &d : devices_)
    if (d.index == index) return &d;
  return nullptr;
}

std::vector<UsbDevice> UsbStorage::devices() {
  std::vector<UsbDevice> copies;
  {
    std::lock_guard lock(mutex_);
    copies = devices_;
  }
  // Measured outside the lock: a large folder takes a while.
  for (UsbDevice &d : copies) measure_backing(&d);
  return copies;
}

std::optional<UsbDevice> UsbStorage::device(int32_t index) {
  std::optional<UsbDevice> copy;
  {
    std::lock_guard lock(mutex_);
    if (const UsbDevice *d = find(index)) copy = *d;
  }
  if (copy) measure_backing(&*copy);
  return copy;
}

bool UsbStorage::add_device(UsbDevice device, int32_t *index, std::string *why) {
  std::lock_guard lock(mutex_);
  if (!check_new(device, why)) return false;
  if (device.index == 0) {
    for (int32_t n = 1; n <= kMaxUsbDevices && device.index == 0; ++n)
      if (find(n) == nullptr) device.index = n;
    if (device.index == 0) {
      *why = "all " + std::to_string(kMaxUsbDevices) + " device numbers are taken";
      return false;
    }
  } else if (find(device.index) != nullptr) {
    *why = "device " + std::to_string(device.index) + " is present";
    return false;
  }
  // A disk that arrives mounted shows its files at its mount point.
  if (device.type == kStorageDevice && device.mounted) {
    std::string unmoved;
    if (!move_files(device.backing, device.mount_point, &unmoved)) device.mounted = false;
  }
  devices_.push_back(device);
  std::sort(devices_.begin(), devices_.end(), [](const UsbDevice &a, const UsbDevice &b) { return a.index < b.index; });
  if (!write_state(why)) {
    devices_.erase(std::find_if(devices_.begin(), devices_.end(),
                                [&](const UsbDevice &d) { return d.index == device.index; }));
    return false;
  }
  *index = device.index;
  return true;
}

bool UsbStorage::remove_device(int32_t index, std::string *why) {
  std::lock_guard lock(mutex_);
  if (!reload(why)) return false;
  const std::vector<UsbDevice> before = devices_;
  auto at = std::find_if(devices_.begin(), devices_.end(), [&](const UsbDevice &d) { return d.index == index; });
  if (at == devices_.end()) {
    *why = "no device " + std::to_string(index);
    return false;
  }
  // A disk pulled out takes its files along.
  if (at->type == kStorageDevice && data_path(*at) == at->mount_point &&
      !move_files(at->mount_point, at->backing, why))
    return false;
  devices_.erase(at);
  if (write_state(why)) return true;
  devices_ = before;
  return false;
}

bool UsbStorage::set_label(int32_t index, const std::string &label, std::string *why) {
  std::lock_guard lock(mutex_);
  UsbDevice *d = find(index);
  if (d == nullptr || d->type != kStorageDevice) {
    *why = "no storage device " + std::to_string(index);
    return false;
  }
  if (label.size() > kLabelMax || !g_utf8_validate(label.data(), gssize(label.size()), nullptr)) {
    *why = "a label is UTF-8 text of at most " + std::to_string(kLabelMax) + " bytes";
    return false;
  }
  return change_written(d->label, label, [&] { return write_state(why); });
}

bool UsbStorage::set_mounted(int32_t index, bool mounted, std::string *why) {
  std::lock_guard lock(mutex_);
  UsbDevice *d = find(index);
  if (d == nullptr || d->type != kStorageDevice) {
    *why = "no storage device " + std::to_string(index);
    return false;
  }
  return change_written(d->mounted, mounted, [&] { return write_state(why); });
}

uint32_t UsbStorage::media_server_stop_ms() {
  std::lock_guard lock(mutex_);
  return media_server_stop_ms_;
}

bool UsbStorage::set_media_server_stop_ms(uint32_t ms, std::string *why) {
  std::lock_guard lock(mutex_);
  if (ms > kMaxStopMs) {
    *why = "the media server stops in at most " + std::to_string(kMaxStopMs) + " ms";
    return false;
  }
  return change_written(media_server_stop_ms_, ms, [&] { return write_state(why); });
}

bool UsbStorage::reload(std::string *why) {
  bool missing = false;
  if (!file_.load(&missing, why)) return false;
  return missing || read_state(why);
}

int32_t UsbStorage::index_of(const std::string &device_name) {
  std::lock_guard lock(mutex_);
  std::string ignored;
  reload(&ignored);
  for (const UsbDevice &d : devices_)
    if (d.type == kStorageDevice && d.device_name == device_name) return d.index;
  return 0;
}

bool UsbStorage::mount(int32_t index, const std::string &mount_point, std::string *why) {
  std::lock_guard lock(mutex_);
  if (!reload(why)) return false;
  UsbDevice *d = find(index);
  if (d == nullptr || d->type != kStorageDevice) {
    *why = "no storage device " + std::to_string(index);
    return false;
  }
  if (!starts_with(mount_point, "/mnt/") || !confined_path(mount_point) || mount_point.size() > kMountPointMax) {
    *why = "a mount point is a path below /mnt/";
    return false;
  }
  if (d->mounted && d->mount_point == mount_point) return true;
  const UsbDevice before = *d;
  if (!move_files(data_path(*d), mount_point, why)) return false;
  d->mounted = true;
  d->mount_point = mount_point;
  if (write_state(why)) return true;
  *d = before;
  std::string ignored;
  move_files(mount_point, data_path(before), &ignored);
  return false;
}

bool UsbStorage::unmount(int32_t index, std::string *why) {
  std::lock_guard lock(mutex_);
  if (!reload(why)) return false;
  UsbDevice *d = find(index);
  if (d == nullptr || d->type != kStorageDevice) {
    *why = "no storage device " + std::to_string(index);
    return false;
  }
  if (!d->mounted) return true;
  const bool moved = data_path(*d) == d->mount_point;
  if (moved && !move_files(d->mount_point, d->backing, why)) return false;
  // The mount point stays, empty, as after a real unmount.
  g_mkdir_with_parents(sys_path(d->mount_point).c_str(), 0755);
  d->mounted = false;
  if (write_state(why)) return true;
  d->mounted = true;
  std::string ignored;
  if (moved) move_files(d->backing, d->mount_point, &ignored);
  return false;
}

bool UsbStorage::erase(int32_t index, std::string *why) {
  std::lock_guard lock(mutex_);
  if (!reload(why)) return false;
  const UsbDevice *d = find(index);
  if (d == nullptr || d->type != kStorageDevice) {
    *why = "no storage device " + std::to_string(index);
    return false;
  }
  const std::string folder = sys_path(data_path(*d));
  struct stat st;
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return true;
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator(folder, error)) {
    std::filesystem::remove_all(entry.path(), error);
    if (error) {
      *why = entry.path().string() + ": " + error.message();
      return false;
    }
  }
  return true;
}

bool act_on_storage(const std::string &program, const std::vector<std::string> &args, std::string *why) {
  const std::string state = sys_path(path::kDeviceStateDir) + "usb.ini";
  if (access(state.c_str(), F_OK) != 0) return true;
  if (program == "mkdir") {
    for (const std::string &arg : args)
      if (starts_with(arg, "/mnt/") && confined_path(arg) && mkdir(sys_path(arg).c_str(), 0755) != 0 &&
          errno != EEXIST) {
        *why = arg + ": " + strerror(errno);
        return false;
      }
    return true;
  }
  std::string device, mount_point;
  for (const std::string &arg : args) {
    if (device.empty() && starts_with(arg, "/dev/")) device = arg;
    if (starts_with(arg, "/mnt/")) mount_point = arg;
  }
  UsbStorage usb(state);
  if (device.empty() || !usb.open(why)) return device.empty();
  const int32_t index = usb.index_of(device);
  if (index == 0) return true;
  if (program == "mount") return mount_point.empty() || usb.mount(index, mount_point, why);
  if (program == "umount") return usb.unmount(index, why);
  if (program == "usbformat") return usb.erase(index, why);
  return true;
}

int MediaServer::read_pid() {
  const std::string file = sys_path(path::kMediaServerPid);
  const int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[16] = {};
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return 0;
  std::string_view digits(text, size_t(n));
  while (!digits.empty() && (digits.back() == '\n' || digits.back() == ' ')) digits.remove_suffix(1);
  guint64 pid = 0;
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos ||
      !g_ascii_string_to_unsigned(std::string(digits).c_str(), 10, 1, INT32_MAX, &pid, nullptr))
    return 0;
  return kill(pid_t(pid), 0) == 0 || errno == EPERM ? int(pid) : 0;
}

bool MediaServer::start(uint32_t stop_ms, std::string *why) {
  if (read_pid() > 0) return true;
  const std::string program = resolve_program(program::kMediaServer);
  if (program.empty()) {
    *why = std::string(program::kMediaServer) + " is not installed";
    return false;
  }
  const std::string pid_file = sys_path(path::kMediaServerPid);
  const std::string stop = std::to_string(stop_ms);
  const char *argv[] = {program.c_str(), "--pid-file", pid_file.c_str(), "--stop-ms", stop.c_str(), nullptr};
  g_autoptr(GError) error = nullptr;
  // Without G_SPAWN_DO_NOT_REAP_CHILD the server is not our child once
  // started: nothing is left to reap, whenever it ends.
  if (g_spawn_async(nullptr, const_cast<gchar **>(argv), nullptr,
                    GSpawnFlags(G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL), nullptr, nullptr,
                    nullptr, &error))
    return true;
  *why = error->message;
  return false;
}

bool MediaServer::stop() {
  const int pid = read_pid();
  return pid > 0 && kill(pid, SIGTERM) == 0;
}

}  // namespace igd1::devices
