// What the module library calls in the configuration library for USB
// devices, the media server that follows the storage, and the NAS file
// access.  The device list is the store's table "usbinfo" (one record per
// device, numbered by its index); its rows reach the USB module through row
// callbacks of the index/flag shape, the flag set for storage devices.
#pragma once

#include <gio/gio.h>
#include <stddef.h>
#include <stdint.h>

#include "igd1_export.h"
#include "mib_api.h"

enum {
  USB_STORAGE_DEVICE = 8,  // device type of a storage device
  USB_FS_FAT = 1,
  USB_FS_NTFS = 2,
  USB_FS_EXFAT = 4,
  USB_MAX_DEVICES = 32,
  USB_TEXT_SIZE = 64,          // vendor, model, device name
  USB_MOUNT_POINT_SIZE = 256,
  USB_LABEL_SIZE = 264,
  USB_RECORD_SIZE = 824,
  USB_CMD_TEXT_SIZE = 64,      // the text usb_get_cmd_return fills
  USB_MY_MNT_SIZE = 128,
};

// One device as usb_getinfoindex fills it.  Texts are NUL-terminated; the
// sizes are those of the file system holding the storage when it is
// mounted, else as stored.
typedef struct usb_info_record {
  int32_t index;                // 1 to USB_MAX_DEVICES
  uint8_t type;                 // USB_STORAGE_DEVICE for storage
  uint8_t reserved1[7];
  int32_t id;
  uint8_t reserved2[64];
  char vendor[USB_TEXT_SIZE];
  char model[USB_TEXT_SIZE];
  uint8_t writable;             // 1 writable, 0 write-protected
  char mount_point[USB_MOUNT_POINT_SIZE];
  char device_name[USB_TEXT_SIZE];  // the block device, "/dev/sd..."
  uint8_t fs_type;              // USB_FS_*
  uint8_t reserved3[6];
  uint64_t total_size;
  uint64_t free_size;
  uint64_t used_size;
  char label[USB_LABEL_SIZE];
} usb_info_record;

#ifdef __cplusplus
static_assert(sizeof(usb_info_record) == USB_RECORD_SIZE);
static_assert(offsetof(usb_info_record, id) == 12 && offsetof(usb_info_record, vendor) == 80 &&
              offsetof(usb_info_record, writable) == 208 &&
              offsetof(usb_info_record, mount_point) == 209 &&
              offsetof(usb_info_record, device_name) == 465 &&
              offsetof(usb_info_record, fs_type) == 529 &&
              offsetof(usb_info_record, total_size) == 536 &&
              offsetof(usb_info_record, label) == 560);
#endif

// Reads the device list again.  Non-zero on success.
IGD1_API int usbinfo_update_all(void);
// The table's calls as one value, for the bus modules.
IGD1_API const mib_table_ops usbinfo_table;
// The first device's node (argument 0), or null when there is none.
IGD1_API mib_list_node *usbinfo_get_list(int which);
// Fills `record` (USB_RECORD_SIZE bytes) with device `index`, its sizes
// measured now.  Non-zero when the device exists.
IGD1_API int usb_getinfoindex(int index, void *record);
// Brings the sizes of a copy of a record up to date.
IGD1_API void usbinfo_measure(void *record);
// Stores a new label (UTF-8, shorter than USB_LABEL_SIZE) of a storage
// device.  Non-zero on success.
IGD1_API int usbinfo_update_label(int index, const char *label);

// The media server: started, asked to stop (returns at once), and the
// process id its pid file names (0 or less when none runs).  `pid_file` is
// MINIDLNAPID.
IGD1_API int startMiniDLNA(void);
IGD1_API int stopMiniDLNA(void);
IGD1_API int read_pid(const char *pid_file);
IGD1_API const char *const MINIDLNAPID;

// The NAS file access: runs action `code` (0 GetFileNum ... 8 GetDiscInfo)
// with the method's parameters; non-zero with the whole reply tuple in
// *reply, or 0 with *reply null.
IGD1_API int homeNAS_handle_action(int code, GVariant *parameters, GVariant **reply);
