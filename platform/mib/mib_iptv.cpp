// IPTV: the multicast settings, the set-top boxes seen and the state of the
// IPTV line, which reads 2 while a detection runs.  Starting a detection
// records a notice under MIB_CFG_IPTV with the data "detect=<seconds>".
#include <glib.h>

#include <cstring>
#include <iterator>
#include <string>

#include "mib_internal.h"
#include "mib_services.h"
#include "mib_store.h"

namespace {

using igd1::mib::Item;
using K = igd1::mib::ValueKind;

// LineStatus: 0 no IPTV line, 1 up; DetectUntil: the end of a running line
// detection (ms since the epoch).
constexpr auto kFlag = igd1::mib::within<uint8_t, 0, 1>;
constexpr Item kItems[] = {
    {"iptv.IGMPEnable", K::U8, 1, "1"},            {"iptv.ProxyEnable", K::U8, 1, "1", kFlag},
    {"iptv.SnoopingEnable", K::U8, 1, "1", kFlag}, {"iptv.STBNumber", K::U32, 4, "1"},
    {"iptv.LineStatus", K::U32, 4, "1"},           {"iptv.NoStbEnable", K::U8, 1, "0", kFlag},
};
const igd1::mib::Defaults kItemsDefaults(kItems);
constexpr int kLineStatus = 4;
constexpr uint32_t kDetecting = 2;
constexpr Item kDetectUntil = {"iptv.DetectUntil", K::U64, 8, "0"};
const igd1::mib::Defaults kOwnDefaults({kDetectUntil});
constexpr uint32_t kRequestDenied = 9001;

bool writable(int index) { return index == 1 || index == 2 || index == 5; }

uint64_t now_ms() { return uint64_t(g_get_real_time() / 1000); }

bool detecting() {
  uint64_t until = 0;
  return igd1::mib::read_item(kDetectUntil, &until) && until > now_ms();
}

}  // namespace

int IPTV_get_property(int index, void *buffer) {
  if (!igd1::mib::read_at("IPTV_get_property", kItems, index, buffer)) return 0;
  if (index == kLineStatus && detecting()) std::memcpy(buffer, &kDetecting, sizeof kDetecting);
  return 1;
}

int IPTV_set_property(int index, void *value) {
  return writable(index) && igd1::mib::write_at("IPTV_set_property", kItems, index, value) ? 1 : 0;
}

int IPTV_StartDetectiTVLineStatus(uint32_t duration, uint32_t *result_code) {
  if (result_code == nullptr || duration < 2 || duration > 60 ||
      igd1::mib::should_fail("IPTV_StartDetectiTVLineStatus", 0))
    return -1;
  if (detecting()) {
    *result_code = kRequestDenied;
    return 0;
  }
  const uint64_t until = now_ms() + uint64_t(duration) * 1000;
  if (!igd1::mib::write_item(kDetectUntil, &until) ||
      !igd1::mib::detail::append_journal_entry(MIB_CFG_IPTV, 255,
                                               "detect=" + std::to_string(duration)))
    return -1;
  *result_code = 0;
  return 0;
}
