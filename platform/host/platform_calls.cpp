// The packet-engine calls the module library makes in the host process.
//
// The emulator has no packet engine.  A flush changes nothing, so it is
// recorded instead: as a service notice in the store's journal under a
// change bit of its own, where tests and `igd1-mib journal` can see it.
#include <string>

#include "host_api.h"
#include "mib_store.h"

namespace {

// Journal bit of the packet-engine notices.  Module change bits are small
// single bits counted from the bottom; the top bit stays clear of all of them.
constexpr uint32_t kHwnatJournalBit = 0x80000000u;
constexpr int kHwnatFlushAction = 0;

}  // namespace

// Records "hwnat flush mode=<mode>" and reports success (0), as the packet
// engine does for every mode it is given.
int ykr_fc_flow_flush2(int mode) {
  igd1::mib::journal_append(kHwnatJournalBit, kHwnatFlushAction,
                            "hwnat flush mode=" + std::to_string(mode));
  return 0;
}
