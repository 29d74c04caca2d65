// USB devices ("usbinfo"): one record per attached device, numbered by its
// index, and the media server that follows the storage.
//
// A new store holds the gateway's own disk (a storage device, FAT, on
// /dev/sda1 mounted below /mnt/) and a printer.  A storage device's sizes
// are those of the file system its mount point shows, measured each time a
// record is handed out; while nothing is mounted there they read as stored.
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "mib_devices.h"
#include "mib_network_seed.h"
#include "mib_table.h"
#include "mib_usb.h"
#include "sys_paths.h"
#include "usb_storage.h"

namespace {

using K = igd1::mib::ValueKind;
using Record = usb_info_record;
using igd1::mib::put_text;

constexpr igd1::mib::Column kColumns[] = {
    MIB_MEMBER_COLUMN(Record, "Type", K::U8, type),
    MIB_MEMBER_COLUMN(Record, "Id", K::I32, id),
    MIB_MEMBER_COLUMN(Record, "Vendor", K::Text, vendor),
    MIB_MEMBER_COLUMN(Record, "Model", K::Text, model),
    MIB_MEMBER_COLUMN(Record, "Writable", K::U8, writable),
    MIB_MEMBER_COLUMN(Record, "MountPoint", K::Text, mount_point),
    MIB_MEMBER_COLUMN(Record, "DeviceName", K::Text, device_name),
    MIB_MEMBER_COLUMN(Record, "FsType", K::U8, fs_type),
    MIB_MEMBER_COLUMN(Record, "TotalSize", K::U64, total_size),
    MIB_MEMBER_COLUMN(Record, "FreeSize", K::U64, free_size),
    MIB_MEMBER_COLUMN(Record, "UsedSize", K::U64, used_size),
    MIB_MEMBER_COLUMN(Record, "Label", K::Text, label),
};

bool starts_with(const char *text, const char *prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// A storage device names a block device and a mount point below /mnt/ and
// has a file system the gateway knows; any record keeps its texts inside
// their fields (the table refuses texts that do not end there).
const char *unfit_field(const uint8_t *row) {
  const Record record = igd1::mib::load<Record>(row);
  if (record.type != USB_STORAGE_DEVICE) return nullptr;
  if (!starts_with(record.device_name, "/dev/sd")) return "DeviceName";
  if (!starts_with(record.mount_point, "/mnt/")) return "MountPoint";
  if (record.fs_type != USB_FS_FAT && record.fs_type != USB_FS_NTFS && record.fs_type != USB_FS_EXFAT)
    return "FsType";
  return nullptr;
}

std::vector<uint8_t> default_devices();
constexpr igd1::mib::TableSpec kDevices = {
    .def = {.name = "usbinfo", .module = "usb_device", .row_size = sizeof(Record),
            .columns = kColumns, .column_count = std::size(kColumns),
            .max_rows = USB_MAX_DEVICES, .instance_size = 4},
    .prefix = "usbinfo",
    .refused = unfit_field,
    .seed_marker = "usbinfo.Seeded",
    .seed = default_devices,
};
igd1::mib::Table g_devices(kDevices);

// Device 1 the disk (type 8, a storage device; file system 1, FAT), device 2
// the printer (type 7).
std::vector<uint8_t> default_devices() {
  static_assert(USB_STORAGE_DEVICE == 8 && USB_FS_FAT == 1);
  return igd1::mib::seed_records(
      kDevices.def,
      {{{"Type", "8"}, {"Id", "1"}, {"Vendor", "WQX"}, {"Model", "Flash Disk 3.0"}, {"Writable", "1"},
        {"MountPoint", "/mnt/usb1_1"}, {"DeviceName", "/dev/sda1"}, {"FsType", "1"}, {"Label", "USBDISK"}},
       {{"Type", "7"}, {"Id", "2"}, {"Vendor", "WQX"}, {"Model", "Line Printer"}, {"Writable", "1"}}});
}

std::atomic<igd1::devices::UsbStorage *> g_usb{nullptr};

// The sizes of the file system the mount point of a storage device shows.
void measure(Record *record) {
  if (record->type != USB_STORAGE_DEVICE || record->mount_point[0] == '\0') return;
  const std::string folder = igd1::sys_path(record->mount_point);
  struct stat st;
  struct statvfs fs;
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || statvfs(folder.c_str(), &fs) != 0)
    return;
  record->total_size = uint64_t(fs.f_blocks) * fs.f_frsize;
  record->free_size = uint64_t(fs.f_bavail) * fs.f_frsize;
  record->used_size = uint64_t(fs.f_blocks - fs.f_bfree) * fs.f_frsize;
}

}  // namespace

namespace igd1::mib {

void serve_usb(devices::UsbStorage *usb) { g_usb.store(usb); }

bool usb_device_arrived(const devices::UsbDevice &device) {
  Record record{};
  record.index = device.index;
  record.type = device.type;
  record.id = device.id;
  put_text(record.vendor, device.vendor.c_str());
  put_text(record.model, device.model.c_str());
  record.writable = device.writable ? 1 : 0;
  put_text(record.mount_point, device.mount_point.c_str());
  put_text(record.device_name, device.device_name.c_str());
  record.fs_type = device.fs_type;
  put_text(record.label, device.label.c_str());
  const auto *row = reinterpret_cast<const uint8_t *>(&record);
  if (table_row(kDevices.def, RowKey(uint32_t(device.index)))) return table_update(kDevices.def, row);
  return table_insert_at(kDevices.def, row);
}

bool usb_device_left(int32_t index) {
  return index > 0 && table_remove(kDevices.def, RowKey(uint32_t(index)));
}

}  // namespace igd1::mib

const char *const MINIDLNAPID = igd1::path::kMediaServerPid;

int usbinfo_update_all(void) { return g_devices.init() ? 1 : 0; }

mib_list_node *usbinfo_get_list(int) { return g_devices.list(); }

int usb_getinfoindex(int index, void *record) {
  auto *out = static_cast<Record *>(record);
  if (out == nullptr || index <= 0 || g_devices.fails("getinfoindex", index) ||
      !g_devices.load_row(uint32_t(index), out))
    return 0;
  measure(out);
  return 1;
}

void usbinfo_measure(void *record) {
  if (record != nullptr) measure(static_cast<Record *>(record));
}

int usbinfo_update_label(int index, const char *label) {
  if (label == nullptr || index <= 0 || g_devices.fails("update_label", index)) return 0;
  if (std::strlen(label) >= USB_LABEL_SIZE || !g_utf8_validate(label, -1, nullptr)) return 0;
  Record record;
  if (!g_devices.load_row(uint32_t(index), &record) || record.type != USB_STORAGE_DEVICE) return 0;
  put_text(record.label, label);
  return g_devices.update(&record) == nullptr ? 1 : 0;
}

int startMiniDLNA(void) {
  if (g_devices.fails("startMiniDLNA")) return 0;
  igd1::devices::UsbStorage *usb = g_usb.load();
  const uint32_t stop_ms = usb != nullptr ? usb->media_server_stop_ms() : 0;
  std::string why;
  return igd1::devices::MediaServer::start(stop_ms, &why) ? 1 : 0;
}

int stopMiniDLNA(void) {
  if (g_devices.fails("stopMiniDLNA")) return 0;
  return igd1::devices::MediaServer::stop() ? 1 : 0;
}

int read_pid(const char *pid_file) {
  if (pid_file == nullptr || std::strcmp(pid_file, MINIDLNAPID) != 0) return -1;
  return igd1::devices::MediaServer::read_pid();
}

const mib_table_ops usbinfo_table = igd1::mib::table_ops<g_devices, kDevices>();
