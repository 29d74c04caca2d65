// Emulated USB devices and the media server that follows the storage.
//
// A storage device is backed by a folder or an image file below the root:
// a folder's used size is what its files take (copy a file in and the device
// fills up), its total size the capacity the state gives it; an image file's
// total size is the file's size.  While a folder-backed device is mounted its
// folder is at its mount point (moved there by mount, back by umount), as a
// real mount shows a disk's files there.  Devices arrive and leave through
// events from outside; the stand-ins of the storage programs (act_on_storage)
// mount, unmount and format them.
// Callable from any thread; every accessor returns a copy.
#pragma once

#include <mutex>
#include <optional>

#include "state_file.h"

namespace igd1::devices {

inline constexpr uint8_t kStorageDevice = 8;
// File-system types of a storage device.
inline constexpr uint8_t kFat = 1, kNtfs = 2, kExfat = 4;

// Limits of the texts: those of the device record the store hands out.
inline constexpr size_t kUsbTextMax = 63;        // vendor, model, device name
inline constexpr size_t kMountPointMax = 255;
inline constexpr size_t kLabelMax = 263;
inline constexpr int32_t kMaxUsbDevices = 32;

struct UsbDevice {
  int32_t index = 0;             // 1-based; 0 asks add_device to choose
  uint8_t type = kStorageDevice;
  int32_t id = 0;
  std::string vendor;
  std::string model;
  bool writable = true;
  std::string device_name;       // block device, "/dev/sd..."
  std::string mount_point;       // "/mnt/..."
  uint8_t fs_type = kFat;
  std::string label;
  bool mounted = true;
  // Storage only: the backing folder or image file (a fixed path, placed
  // under the root), and for a folder its capacity in bytes.
  std::string backing;
  uint64_t capacity = 0;
  // Measured from the backing when the device is read.
  uint64_t total = 0, used = 0, free = 0;
};

class UsbStorage {
 public:
  explicit UsbStorage(std::string state_path) : file_(std::move(state_path)) {}

  // Reads the state file; a missing one is seeded (one storage device backed
  // by a folder, one printer) and written.
  bool open(std::string *why);

  std::vector<UsbDevice> devices();
  std::optional<UsbDevice> device(int32_t index);

  // A device arrives.  Its texts must fit the record, a storage device needs
  // an existing backing and a known file system.  *index receives the number
  // it got (the lowest free one when device.index is 0).
  bool add_device(UsbDevice device, int32_t *index, std::string *why);
  bool remove_device(int32_t index, std::string *why);
  bool set_label(int32_t index, const std::string &label, std::string *why);
  bool set_mounted(int32_t index, bool mounted, std::string *why);
  // Mounts a device at `mount_point` (a fixed path below /mnt/): its folder
  // moves there.  Unmounting moves it back to its backing.
  bool mount(int32_t index, const std::string &mount_point, std::string *why);
  bool unmount(int32_t index, std::string *why);
  // Empties a storage device's folder, as a new file system would.
  bool erase(int32_t index, std::string *why);
  // The device whose block device is `device_name`, or 0.
  int32_t index_of(const std::string &device_name);
  // How long the media server takes to stop once asked (milliseconds).
  uint32_t media_server_stop_ms();
  bool set_media_server_stop_ms(uint32_t ms, std::string *why);

 private:
  // The record's texts, numbers and backing path fit; check_new also needs
  // the backing to exist.
  bool check_record(const UsbDevice &device, std::string *why) const;
  bool check_new(const UsbDevice &device, std::string *why) const;
  void seed();
  bool read_state(std::string *why);
  // Reads the file again: the storage programs' stand-ins change it too.
  bool reload(std::string *why);
  bool write_state(std::string *why);
  UsbDevice *find(int32_t index);

  std::mutex mutex_;
  StateFile file_;
  std::vector<UsbDevice> devices_;
  uint32_t media_server_stop_ms_ = 1500;
};

// Fills total, used and free of a storage device from its backing.
void measure_backing(UsbDevice *device);
// Where a storage device's files are now: its mount point while mounted,
// else its backing (fixed paths).
std::string data_path(const UsbDevice &device);

// What the stand-ins of mount, umount, usbformat and mkdir do besides
// recording their call: act on the emulated storage of the state file
// under the root.  Anything the state does not know (no state, another
// device) is left alone; false with `why` when the work failed.
bool act_on_storage(const std::string &program, const std::vector<std::string> &args, std::string *why);

// The media server stand-in: a program that writes its pid file, runs until
// it is asked to stop, then takes a while before it removes the file and
// ends, as a real server finishing its database would.
class MediaServer {
 public:
  // Starts the server (no shell: an argument vector) unless one runs.
  static bool start(uint32_t stop_ms, std::string *why);
  // Asks a running server to stop and returns at once.
  static bool stop();
  // The pid of the running server, or 0 when its pid file is absent, not a
  // positive number, or names no running process.
  static int read_pid();
};

}  // namespace igd1::devices
