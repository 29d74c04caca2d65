// The SDN agent's settings and the ports its OpenFlow switch may take.
//
// The ports bound to the switch are kept by name in sdn.BoundPorts
// ("LAN1,LAN3").  The agent is driven through its control program
// (`sdnagent restart`, `sdnagent reconfigure --controller A --wan W`), run as
// an argument vector; it runs while its pid file names a live process.
#include <signal.h>
#include <string.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "mib_api.h"
#include "mib_internal.h"
#include "mib_store.h"
#include "sys_paths.h"
#include "sys_run.h"

namespace {

using igd1::mib::Item;
using K = igd1::mib::ValueKind;

// host:port after "tcp:" or "ssl:"; the host of letters, digits, '.', '-',
// ':' and brackets (IPv6), the port 1 to 65535.
bool valid_controller(std::string_view text) {
  if (!(text.starts_with("tcp:") || text.starts_with("ssl:"))) return false;
  text.remove_prefix(4);
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  const std::string_view host = text.substr(0, colon), port = text.substr(colon + 1);
  for (char c : host)
    if (!(g_ascii_isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']'))
      return false;
  if (port.empty() || port.size() > 5 || port[0] == '0') return false;
  unsigned number = 0;
  for (char c : port) {
    if (!g_ascii_isdigit(c)) return false;
    number = number * 10 + unsigned(c - '0');
  }
  return number <= 65535;
}

// A WAN connection name: letters, digits, '_', '-' and '.', never starting
// with '-' (the agent would read it as an option).
bool valid_wan(std::string_view text) {
  if (text.empty() || text.front() == '-') return false;
  for (char c : text)
    if (!(g_ascii_isalnum(c) || c == '_' || c == '-' || c == '.')) return false;
  return true;
}

// The checks of the two texts as the store holds them (NUL-terminated).
bool controller_text(const void *value) { return valid_controller(static_cast<const char *>(value)); }
bool wan_text(const void *value) { return valid_wan(static_cast<const char *>(value)); }

// By position; 0 is unused.
constexpr Item kItems[] = {
    {nullptr, K::Text, 0},
    {"sdn.Enable", K::I32, 4, "0", igd1::mib::within<int32_t, 0, 1>},
    {"sdn.ControllerAddress", K::Text, 128, "tcp:10.64.0.20:6653", controller_text},
    {"sdn.OFWan", K::Text, 32, "2_INTERNET_R_VID_41", wan_text},
    {"sdn.DPID", K::Text, 64, "0000a43e510c2210"},
};
const igd1::mib::Defaults kItemsDefaults(kItems);
constexpr Item kBoundPorts = {"sdn.BoundPorts", K::Text, 256, ""};
const igd1::mib::Defaults kOwnDefaults({kBoundPorts});
constexpr int kAgentTimeoutMs = 5000;

enum PortCode { kNoSuchPort = 3, kAlreadyBound = 4, kNotBound = 5 };

struct PortTemplate {
  uint8_t type;
  const char *name;
  const char *ifname;
  uint32_t port;
};
constexpr PortTemplate kPorts[] = {
    {0, "LAN1", "eth0.2", 1}, {0, "LAN2", "eth0.3", 2}, {0, "LAN3", "eth0.4", 3},
    {0, "LAN4", "eth0.5", 4}, {1, "SSID1", "wlan0", 5}, {1, "SSID5", "wlan1", 6},
};

wqxsdn_intf g_ports[std::size(kPorts)];

const Item *item_at(int position) {
  if (position < 1 || size_t(position) >= std::size(kItems)) return nullptr;
  return &kItems[position];
}

std::set<std::string> bound_names() {
  char text[256] = {};
  igd1::mib::read_item(kBoundPorts, text);
  std::set<std::string> names;
  std::stringstream list(text);
  for (std::string name; std::getline(list, name, ',');)
    if (!name.empty()) names.insert(name);
  return names;
}

bool store_bound(const std::set<std::string> &names) {
  std::string text;
  for (const std::string &name : names) text += (text.empty() ? "" : ",") + name;
  // A list longer than the setting's 255 characters is refused.
  return igd1::mib::write_item(kBoundPorts, text.c_str());
}

const PortTemplate *port_named(const char *name, uint32_t port) {
  for (const PortTemplate &candidate : kPorts)
    if (std::strcmp(candidate.name, name) == 0 && candidate.port == port) return &candidate;
  return nullptr;
}

// An empty command is one that must not run: the agent is refused.
int run_agent(const std::vector<std::string> &argv) {
  if (argv.empty()) return 1;
  const igd1::RunResult result = igd1::run_command(argv, {.env = {}, .timeout_ms = kAgentTimeoutMs});
  return igd1::run_succeeded(result) ? 0 : 1;
}

void run_agent_async(const std::vector<std::string> &argv, wqxsdn_done done, void *data) {
  if (argv.empty()) {
    // Answered from the main loop, as a finished agent would be.
    g_idle_add_once([](gpointer pending) {
      auto *call = static_cast<std::pair<wqxsdn_done, void *> *>(pending);
      if (call->first != nullptr) call->first(1, call->second);
      delete call;
    }, new std::pair<wqxsdn_done, void *>(done, data));
    return;
  }
  igd1::run_async(argv, {.env = {}, .timeout_ms = kAgentTimeoutMs},
                  [done, data](const igd1::RunResult &result) {
                    if (done != nullptr) done(igd1::run_succeeded(result) ? 0 : 1, data);
                  });
}

// Binds the port `name` to the switch, or every port for "all"; or unbinds
// it, or every bound name for "all".
int change_binding(const char *name, uint32_t port, bool bind) {
  if (name == nullptr) return 2;
  std::set<std::string> bound = bound_names();
  if (std::strcmp(name, "all") != 0) {
    if (port_named(name, port) == nullptr) return kNoSuchPort;
    if (bind)
      bound.insert(name);
    else
      bound.erase(name);
  } else if (bind) {
    for (const PortTemplate &each : kPorts) bound.insert(each.name);
  } else {
    bound.clear();
  }
  return store_bound(bound) ? 0 : 1;
}

std::vector<std::string> restart_command() { return {igd1::program::kSdnAgent, "restart"}; }

// The agent pointed at the stored controller and WAN; nothing when either
// stored value is not of its form (the store can be written around the
// bus), so that no stored text reaches the agent as an option.
std::vector<std::string> reconfigure_command() {
  const std::string controller = igd1::mib::read_text(kItems[WQXSDN_PARM_CONADDR]);
  const std::string wan = igd1::mib::read_text(kItems[WQXSDN_PARM_OFWAN]);
  if (!valid_controller(controller) || !valid_wan(wan)) return {};
  return {igd1::program::kSdnAgent, "reconfigure", "--controller", controller, "--wan", wan};
}

}  // namespace

int wqxsdn_get_mib_property(int position, void *buffer, int size) {
  const Item *item = item_at(position);
  if (item == nullptr || buffer == nullptr || size < int(item->size)) return 1;
  return igd1::mib::read_at("wqxsdn_get_mib_property", kItems, position, buffer) ? 0 : 1;
}

int wqxsdn_set_mib_property_check(int position, void *value, int size) {
  const Item *item = item_at(position);
  if (item == nullptr || value == nullptr || position == WQXSDN_PARM_DPID) return 1;
  // A text ends inside the caller's buffer, which is no larger than the item.
  if (item->kind == K::Text &&
      (size <= 0 || size > int(item->size) || igd1::mib::text_in(value, size_t(size)).size() >= size_t(size)))
    return 1;
  return igd1::mib::item_takes(*item, value) ? 0 : 1;
}

int wqxsdn_set_mib_property(int position, void *value, int size) {
  if (wqxsdn_set_mib_property_check(position, value, size) != 0) return 1;
  return igd1::mib::write_at("wqxsdn_set_mib_property", kItems, position, value) ? 0 : 1;
}

int wqxsdn_update_ovs_avaliable_intfs(void) {
  const std::set<std::string> bound = bound_names();
  for (size_t i = 0; i < std::size(kPorts); ++i) {
    wqxsdn_intf &port = g_ports[i];
    port = {};
    port.type = kPorts[i].type;
    g_strlcpy(port.name, kPorts[i].name, sizeof port.name);
    g_strlcpy(port.ifname, kPorts[i].ifname, sizeof port.ifname);
    port.port = kPorts[i].port;
    port.in_sdn = bound.contains(kPorts[i].name) ? 1 : 0;
  }
  return 0;
}

int wqxsdn_get_ovs_avaliable_intfs(wqxsdn_intf **array) {
  if (array == nullptr) return 0;
  wqxsdn_update_ovs_avaliable_intfs();
  *array = g_ports;
  return int(std::size(g_ports));
}

int wqxsdn_check_running(void) {
  std::ifstream file(igd1::sys_path(igd1::path::kSdnAgentPid));
  long pid = 0;
  if (!(file >> pid) || pid <= 0) return 1;
  return kill(pid_t(pid), 0) == 0 || errno == EPERM ? 0 : 1;
}

int wqxsdn_check_port(const char *name, uint32_t port, int mode) {
  if (name == nullptr || port_named(name, port) == nullptr) return kNoSuchPort;
  const bool bound = bound_names().contains(name);
  if (mode == 0 && bound) return kAlreadyBound;
  if (mode == 1 && !bound) return kNotBound;
  return 0;
}

int wqxsdn_bind_port(const char *name, uint32_t port) { return change_binding(name, port, true); }

int wqxsdn_unbind_port(const char *name, uint32_t port) { return change_binding(name, port, false); }

int wqxsdn_restart(void) { return run_agent(restart_command()); }

int wqxsdn_reconfig_controller(void) { return run_agent(reconfigure_command()); }

void wqxsdn_restart_async(wqxsdn_done done, void *data) {
  run_agent_async(restart_command(), done, data);
}

void wqxsdn_reconfig_controller_async(wqxsdn_done done, void *data) {
  run_agent_async(reconfigure_command(), done, data);
}

int wqxsdn_save_mib(void) {
  igd1::mib::journal_append(MIB_JOURNAL_SDN, 1, "");
  return 0;
}

int wqxsdn_save_mib_all(void) {
  igd1::mib::journal_append(MIB_JOURNAL_SDN, 2, "");
  return 0;
}

void wqxsdn_geterrdesc(int code, char *buffer, int size) {
  if (buffer == nullptr || size <= 0) return;
  const char *text = "Unknown error";
  switch (code) {
    case 0: text = "Success"; break;
    case 1: text = "Operation refused"; break;
    case 2: text = "Invalid argument"; break;
    case kNoSuchPort: text = "No such port"; break;
    case kAlreadyBound: text = "Port already in SDN"; break;
    case kNotBound: text = "Port not in SDN"; break;
    case 101: text = "SDN agent not running"; break;
    default: break;
  }
  g_strlcpy(buffer, text, size_t(size));
}
