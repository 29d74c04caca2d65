// Platform service items: the gateway's connection to the operator's service
// platforms, and the initial credentials printed on the device.
//
// Texts are at most 255 characters.  Indexes 0-3 are read only.
#include <glib.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string_view>

#include "mib_api.h"
#include "mib_store.h"
#include "mib_syscmd.h"

namespace {

namespace sys = igd1::mib::syscmd;
using igd1::mib::Item;
using K = igd1::mib::ValueKind;

constexpr size_t kTextSize = 256;
constexpr int kFirstWritable = 4;

constexpr size_t kVersionMax = 32;
constexpr size_t kSsnMax = 64;

bool only(std::string_view text, std::string_view extra) {
  return std::all_of(text.begin(), text.end(), [extra](char c) {
    return g_ascii_isalnum(c) || extra.find(c) != std::string_view::npos;
  });
}

std::string_view text_of(const void *value) { return static_cast<const char *>(value); }

// What a platform's texts must look like.  An empty address means the
// platform is not configured.
bool address(const void *value) {
  const std::string_view text = text_of(value);
  return text.empty() || sys::is_host_port(text) || sys::is_url(text, "http,https");
}
bool version(const void *value) {
  const std::string_view text = text_of(value);
  return !text.empty() && text.size() <= kVersionMax && only(text, "._-");
}
bool ssn(const void *value) { return text_of(value).size() <= kSsnMax && only(text_of(value), "-"); }
bool message(const void *value) { return sys::is_printable_text(text_of(value)); }

// Status of each platform: 1 not connected, 2 connecting, 3 connected, 4
// connection failed, 5 refused by the platform, 6 (operations and plug-in
// platforms) plug-in download failed.
constexpr Item kItems[] = {
    /* 0 */ {"platform.Appmodel", K::U8, 1, "1"},
    /* 1 */ {"device.InitUserPassword", K::Text, kTextSize, "Wqx2210ua"},
    /* 2 */ {"device.InitSSID", K::Text, kTextSize},
    /* 3 */ {"device.InitSSIDPassword", K::Text, kTextSize, "k7m3p9x2"},
    /* 4 */ {"platform.DistAddr", K::Text, kTextSize, "https://dist.example.net:8443", address},
    /* 5 */ {"platform.Port", K::U32, 4, "8443"},
    /* 6 */ {"platform.Heartbeat", K::U32, 4, "60"},  // seconds
    /* 7 */ {"platform.Ability", K::U32, 4, "1"},
    /* 8 */ {"platform.LocalPort", K::U32, 4, "17998"},
    /* 9 */ {"platform.Version", K::Text, kTextSize, "2.1.0", version},
    /* 10 */ {"platform.SSN", K::Text, kTextSize, "", ssn},
    /* 11 */ {"platform.DistStatus", K::U8, 1, "3"},
    /* 12 */ {"platform.DistErrorMsg", K::Text, kTextSize, "", message},
    /* 13 */ {"platform.OperAddr", K::Text, kTextSize, "oper.example.net:9090", address},
    /* 14 */ {"platform.OperStatus", K::U8, 1, "3"},
    /* 15 */ {"platform.OperErrorMsg", K::Text, kTextSize, "", message},
    /* 16 */ {"platform.PluginAddr", K::Text, kTextSize, "https://plugin.example.net", address},
    /* 17 */ {"platform.PluginStatus", K::U8, 1, "3"},
    /* 18 */ {"platform.PluginErrorMsg", K::Text, kTextSize, "", message},
    /* 19 */ {"platform.BSSAddr", K::Text, kTextSize, "bss.example.net:8080", address},
};
const igd1::mib::Defaults kItemsDefaults(kItems);
constexpr int kItemCount = static_cast<int>(std::size(kItems));

}  // namespace

int platformservice_get_mib_property(int index, void *buffer) {
  return igd1::mib::read_at("platformservice_get_mib_property", kItems, index, buffer) ? 1 : 0;
}

int platformservice_set_mib_property(int index, void *value) {
  if (index < kFirstWritable) return 0;
  return igd1::mib::write_at("platformservice_set_mib_property", kItems, index, value) ? 1 : 0;
}

int platformservice_check_valid_property_value(int index, const char *text) {
  // Only texts are checked this way.
  if (index < kFirstWritable || index >= kItemCount || kItems[index].kind != K::Text) return 0;
  return igd1::mib::item_takes(kItems[index], text) ? 1 : 0;
}
