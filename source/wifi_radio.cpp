#include "wifi_radio.h"

#include <glib.h>

#include "mib_wifi.h"

namespace igd1 {

void radio_then(const char *operation, const std::string &argument, std::function<void(bool ok)> then) {
  auto *kept = new std::function<void(bool)>(std::move(then));
  wifi_radio_run(operation, argument.empty() ? nullptr : argument.c_str(),
                 [](int ok, void *data) {
                   auto *pending = static_cast<std::function<void(bool)> *>(data);
                   (*pending)(ok != 0);
                   delete pending;
                 },
                 kept);
}

std::string mac_digits(const uint8_t *mac) {
  char text[13];
  g_snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return text;
}

}  // namespace igd1
