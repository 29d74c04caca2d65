// USB devices: an object manager at /com/wqx/igd1/Storage/USB/Devices
// (service type 1) or /com/wqx/igd1/Storage/usb/devices (other types), one
// child per attached device named by its index, carrying the device
// interface and, for storage, the file-system interface with Mount,
// Unmount, SetLabel and Format.
#pragma once

#include "collection.h"
#include "mib_usb.h"

IGD1_API igd1::BusEntry usb_device_on_bus_acquired;
// Publishes device `index` (replacing an object already at its path), with
// the file-system interface when `with_file_system` is non-zero; 1 when
// done, 0 for an index outside 1..USB_MAX_DEVICES.
IGD1_API int usb_device_add_interface(int index, int with_file_system);
IGD1_API int usb_device_del_interface(int index);

// For callers outside the bus handlers, never on the main loop (each waits
// for programs and for the media server): runs a mount or unmount command
// line, checked word by word and run without a shell, then restarts the
// media server.  0 on success; -1 with a reason of at most 63 characters in
// `text` (64 bytes, zero-filled by the caller).
IGD1_API int usb_get_cmd_return(const char *command, char *text);
// Stops the media server and waits for it: its pid file is polled every
// 600 ms, at most 40 times, and removed when the server outlived that.
IGD1_API void stopDLNA_wait(void);
// The mount point of the last mount usb_get_cmd_return made.
IGD1_API char g_my_mnt[USB_MY_MNT_SIZE];
