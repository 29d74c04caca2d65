// What the wireless objects share: an operation the radios make after their
// control program ran (never waited for on the main loop), and addresses
// shown as twelve upper-case hex digits.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace igd1 {

// Runs the radios' control program for `operation` and `argument`, then
// `then` on the main loop with whether the program succeeded.
void radio_then(const char *operation, const std::string &argument, std::function<void(bool ok)> then);

// "A85B102C4401" for the six bytes at `mac`.
std::string mac_digits(const uint8_t *mac);

}  // namespace igd1
