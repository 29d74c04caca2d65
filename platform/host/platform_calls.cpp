// The packet-engine calls the module library makes in the host process.
//
// The emulator has no packet engine.  A flush changes nothing, so it is
// recorded instead: as a service notice in the store's journal under a
// change bit of its own, where tests and `igd1-mib journal` can see it.
#include <glib.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "host_api.h"
#include "mib_api.h"
#include "mib_lanhost_feed.h"
#include "mib_store.h"

namespace {

constexpr int kHwnatFlushAction = 0;
constexpr int kDscpMarkAction = 1;

}  // namespace

// Records "hwnat flush mode=<mode>" and reports success (0), as the packet
// engine does for every mode it is given.
int ykr_fc_flow_flush2(int mode) {
  igd1::mib::journal_append(MIB_JOURNAL_HWNAT, kHwnatFlushAction,
                            "hwnat flush mode=" + std::to_string(mode));
  return 0;
}

int dbusproxy_string_to_hex(const char *text, unsigned char *bytes, int length) {
  if (text == nullptr || bytes == nullptr || length != 12 || std::strlen(text) != 12) return 0;
  unsigned char parsed[6];
  for (int i = 0; i < 6; ++i) {
    const int high = g_ascii_xdigit_value(text[2 * i]);
    const int low = g_ascii_xdigit_value(text[2 * i + 1]);
    if (high < 0 || low < 0) return 0;
    parsed[i] = static_cast<unsigned char>(high << 4 | low);
  }
  std::memcpy(bytes, parsed, sizeof parsed);
  return 1;
}

// The emulator keeps the mark in the device's row and records it like the
// flushes.
int SetDevSpeedUp(const unsigned char *mac, const void *, unsigned char flag) {
  if (mac == nullptr || flag > 1 || !igd1::mib::lanhost_set_speedup(mac, flag)) return 1;
  char text[48];
  std::snprintf(text, sizeof text, "dscp mark %02x:%02x:%02x:%02x:%02x:%02x speedup=%u", mac[0],
                mac[1], mac[2], mac[3], mac[4], mac[5], unsigned(flag));
  igd1::mib::journal_append(MIB_JOURNAL_HWNAT, kDscpMarkAction, text);
  return 0;
}
