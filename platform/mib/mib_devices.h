// The emulated devices the store answers from.  The host owns them (it
// opens their state files and feeds them events) and hands them to the
// store while they exist; without them the calls that need them fail.
#pragma once

#include "radios.h"
#include "usb_storage.h"
#include "voice_line.h"

namespace igd1::mib {

// The voice service, or nullptr to withdraw it.  Main loop only; the
// store's voice calls may run on any thread meanwhile.
void serve_voice(devices::VoiceService *voice);
// The USB storage (the media server's stop time), or nullptr to withdraw it.
void serve_usb(devices::UsbStorage *usb);
// The store's record of a USB device that arrived (replacing one of its
// index) or left; the table's row callbacks publish or withdraw it.
bool usb_device_arrived(const devices::UsbDevice &device);
bool usb_device_left(int32_t index);

// The radios a committed SSID is put into effect on, or nullptr: the SSIDs
// are then only stored.  Main loop only, as serve_voice.
void serve_radios(devices::Radios *radios);
// The radios served now, or nullptr.
devices::Radios *served_radios();

}  // namespace igd1::mib
