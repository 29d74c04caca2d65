// The emulated devices the store answers from.  The host owns them (it
// opens their state files and feeds them events) and hands them to the
// store while they exist; without them the calls that need them fail.
#pragma once

#include "voice_line.h"

namespace igd1::mib {

// The voice service, or nullptr to withdraw it.  Main loop only; the
// store's voice calls may run on any thread meanwhile.
void serve_voice(devices::VoiceService *voice);

}  // namespace igd1::mib
