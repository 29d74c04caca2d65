// The SDN agent's objects: its settings (ONU information), the ports bound to
// its OpenFlow switch (SDN information) and the choice of those ports
// (ports).  Each is published at the path its document names and has methods
// only; a property read or write is refused.
//
// Results are the agent's: 0 is success, 1 a refused operation, 2 an invalid
// argument, 101 an agent that is not running; the text comes from the
// configuration library.  Values a client sends are checked against the
// store's buffers before anything is copied, and the agent is driven only by
// the configuration library's calls, without blocking the main loop.
#include "wqxsdn.h"

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "mib_api.h"

namespace {

using igd1::PendingCall;
using igd1::SingleObject;

constexpr int kRefused = 1;
constexpr int kInvalidArgument = 2;
constexpr int kAgentNotRunning = 101;
constexpr size_t kTextBuffer = 256;
constexpr size_t kControllerBuffer = 128;
constexpr size_t kWanBuffer = 32;
constexpr size_t kDpidBuffer = 64;

std::string result_text(int result) {
  char text[kTextBuffer] = {};
  wqxsdn_geterrdesc(result, text, sizeof text);
  DBUS_LOG(LOG_LEVEL_INFO, "result [%d].errdesc [%s]", result, text);
  return text;
}

void reply_result(const PendingCall &call, int result) {
  const std::string text = result_text(result);
  call.reply(g_variant_new("(is)", result, text.c_str()));
}

void reply_ports(const PendingCall &call, GVariantBuilder *ports) {
  const std::string text = result_text(0);
  call.reply(g_variant_new("(a{su}is)", ports, 0, text.c_str()));
}

// ---- ONU information ------------------------------------------------------------

void get_onu_info(const PendingCall &call, GVariant *) {
  int32_t enable = 0;
  char controller[kControllerBuffer] = {};
  char dpid[kDpidBuffer] = {};
  char wan[kWanBuffer] = {};
  if (wqxsdn_get_mib_property(WQXSDN_PARM_ENABLE, &enable, sizeof enable) != 0) {
    DBUS_LOG(LOG_LEVEL_ERROR, "Cannot get WQXSDN_PARM_ENABLE\n");
    enable = 0;
  }
  if (wqxsdn_get_mib_property(WQXSDN_PARM_CONADDR, controller, sizeof controller) != 0) {
    DBUS_LOG(LOG_LEVEL_ERROR, "Cannot get WQXSDN_PARM_CONADDR\n");
    controller[0] = '\0';
  }
  if (wqxsdn_get_mib_property(WQXSDN_PARM_DPID, dpid, sizeof dpid) != 0) {
    DBUS_LOG(LOG_LEVEL_ERROR, "Cannot get WQXSDN_PARM_DPID\n");
    dpid[0] = '\0';
  }
  if (wqxsdn_get_mib_property(WQXSDN_PARM_OFWAN, wan, sizeof wan) != 0) {
    DBUS_LOG(LOG_LEVEL_ERROR, "Cannot get WQXSDN_PARM_OFWAN\n");
    wan[0] = '\0';
  }
  const std::string text = result_text(0);
  call.reply(g_variant_new("(isssis)", enable, dpid, wan, controller, 0, text.c_str()));
}

// A client text that fits `size` bytes with its terminator, copied; nothing
// is copied from a longer one.
bool copy_fitting(const char *text, char *buffer, size_t size) {
  if (strnlen(text, size) >= size) return false;
  std::memcpy(buffer, text, std::strlen(text) + 1);
  return true;
}

void set_onu_info(const PendingCall &call, GVariant *parameters) {
  int32_t enable = 0;
  const char *wan_text = nullptr;
  const char *controller_text = nullptr;
  g_variant_get(parameters, "(i&s&s)", &enable, &wan_text, &controller_text);
  DBUS_LOG(LOG_LEVEL_INFO, "enableSDN=%u, ofpusewan=%s, ControlAddr=%s", unsigned(enable),
           wan_text, controller_text);

  const bool enable_given = enable != -1;
  char controller[kControllerBuffer] = {};
  char wan[kWanBuffer] = {};
  int result = 0;
  if (enable_given &&
      wqxsdn_set_mib_property_check(WQXSDN_PARM_ENABLE, &enable, sizeof enable) != 0) {
    DBUS_LOG(LOG_LEVEL_ERROR, "Error WQXSDN_PARM_ENABLE");
    result = kInvalidArgument;
  } else if (!copy_fitting(controller_text, controller, sizeof controller) ||
             wqxsdn_set_mib_property_check(WQXSDN_PARM_CONADDR, controller, sizeof controller) != 0) {
    DBUS_LOG(LOG_LEVEL_ERROR, "Error WQXSDN_PARM_CONADDR");
    result = kInvalidArgument;
  } else if (!copy_fitting(wan_text, wan, sizeof wan) ||
             wqxsdn_set_mib_property_check(WQXSDN_PARM_OFWAN, wan, sizeof wan) != 0) {
    DBUS_LOG(LOG_LEVEL_ERROR, "Error WQXSDN_PARM_OFWAN");
    result = kInvalidArgument;
  }

  int32_t current_enable = 0;
  char current_wan[kWanBuffer] = {};
  char current_controller[kControllerBuffer] = {};
  wqxsdn_get_mib_property(WQXSDN_PARM_ENABLE, &current_enable, sizeof current_enable);
  wqxsdn_get_mib_property(WQXSDN_PARM_OFWAN, current_wan, sizeof current_wan);
  wqxsdn_get_mib_property(WQXSDN_PARM_CONADDR, current_controller, sizeof current_controller);

  if (result == 0 &&
      ((enable_given && wqxsdn_set_mib_property(WQXSDN_PARM_ENABLE, &enable, sizeof enable) != 0) ||
       wqxsdn_set_mib_property(WQXSDN_PARM_CONADDR, controller, sizeof controller) != 0 ||
       wqxsdn_set_mib_property(WQXSDN_PARM_OFWAN, wan, sizeof wan) != 0))
    result = kRefused;

  if (result != 0) {
    reply_result(call, result);
    return;
  }
  // The agent's program may take seconds: the call is answered once it
  // ended, and the settings are saved after it, also when it failed.
  auto save_and_reply = [](int applied, void *data) {
    std::unique_ptr<PendingCall> kept(static_cast<PendingCall *>(data));
    int outcome = applied == 0 ? 0 : kRefused;
    if (wqxsdn_save_mib() != 0) outcome = kRefused;
    reply_result(*kept, outcome);
  };
  if (enable_given && enable != current_enable)
    wqxsdn_restart_async(save_and_reply, new PendingCall(call));
  else if (std::strcmp(controller, current_controller) != 0 || std::strcmp(wan, current_wan) != 0)
    wqxsdn_reconfig_controller_async(save_and_reply, new PendingCall(call));
  else
    save_and_reply(0, new PendingCall(call));
}

// ---- SDN information and ports ---------------------------------------------------

void get_sdn_info(const PendingCall &call, GVariant *) {
  wqxsdn_intf *ports = nullptr;
  const int count = wqxsdn_get_ovs_avaliable_intfs(&ports);
  g_auto(GVariantBuilder) bound = G_VARIANT_BUILDER_INIT(G_VARIANT_TYPE("a{su}"));
  if (wqxsdn_check_running() == 0) {
    for (int i = 0; i < count; ++i)
      if (ports[i].in_sdn != 0) g_variant_builder_add(&bound, "{su}", ports[i].name, ports[i].port);
  }
  reply_ports(call, &bound);
}

void get_port_list(const PendingCall &call, GVariant *) {
  wqxsdn_intf *ports = nullptr;
  const int count = wqxsdn_get_ovs_avaliable_intfs(&ports);
  g_auto(GVariantBuilder) all = G_VARIANT_BUILDER_INIT(G_VARIANT_TYPE("a{su}"));
  for (int i = 0; i < count; ++i) {
    const wqxsdn_intf &port = ports[i];
    DBUS_LOG(LOG_LEVEL_INFO, "type:%d, name:%s, ifname:%s, port:%d, sdn:%d", port.type, port.name,
             port.ifname, int(port.port), port.in_sdn);
    g_variant_builder_add(&all, "{su}", port.name, port.port);
  }
  reply_ports(call, &all);
}

struct PortChange {
  const char *log;  // "[AddPorttoSDN] name:%s, port:%d" and its kin
  int check_mode;
  int (*apply)(const char *name, uint32_t port);
};

// Checks every entry (an entry "all" ends the checks and means every port),
// then binds or unbinds as checked and commits.
int change_ports(const PortChange &change, GVariant *parameters) {
  if (wqxsdn_check_running() != 0) return kAgentNotRunning;
  g_autoptr(GVariant) entries = g_variant_get_child_value(parameters, 0);
  if (!g_variant_is_of_type(entries, G_VARIANT_TYPE("a{su}"))) return kInvalidArgument;
  wqxsdn_update_ovs_avaliable_intfs();

  bool every_port = false;
  int result = 0;
  GVariantIter iter;
  const char *name = nullptr;
  uint32_t port = 0;
  g_variant_iter_init(&iter, entries);
  while (result == 0 && g_variant_iter_next(&iter, "{&su}", &name, &port)) {
    DBUS_LOG(LOG_LEVEL_INFO, change.log, name, int(port));
    if (std::strcmp(name, "all") == 0) {
      every_port = true;
      break;
    }
    result = wqxsdn_check_port(name, port, change.check_mode);
  }
  if (result != 0) return result;
  if (every_port) {
    result = change.apply("all", 0);
  } else {
    g_variant_iter_init(&iter, entries);
    while (result == 0 && g_variant_iter_next(&iter, "{&su}", &name, &port))
      result = change.apply(name, port);
  }
  if (result == 0 && wqxsdn_save_mib_all() != 0) result = kRefused;
  return result;
}

void add_ports(const PendingCall &call, GVariant *parameters) {
  reply_result(call, change_ports({"[AddPorttoSDN] name:%s, port:%d", 0, wqxsdn_bind_port},
                                  parameters));
}

void remove_ports(const PendingCall &call, GVariant *parameters) {
  reply_result(call, change_ports({"[RemovePortFromSDN] name:%s, port:%d", 1, wqxsdn_unbind_port},
                                  parameters));
}

constexpr igd1::Method kOnuMethods[] = {
    {.name = "GetONUInfo", .handler = get_onu_info},
    {.name = "SetONUInfo", .handler = set_onu_info, .answer = igd1::Answer::Later},
};
constexpr igd1::Method kSdnMethods[] = {
    {.name = "GetSDNInfo", .handler = get_sdn_info},
};
constexpr igd1::Method kPortMethods[] = {
    {.name = "GetPortList", .handler = get_port_list},
    {.name = "AddPorttoSDN", .handler = add_ports},
    {.name = "RemovePortFromSDN", .handler = remove_ports},
};

// The method-only objects' wording of the engine's texts.
const char *wording(igd1::ObjectText text, int *level) {
  using enum igd1::ObjectText;
  switch (text) {
    case UnknownRead:
    case UnknownWrite: return "invalid value of %s";
    default: return igd1::logs_methods(text, level);
  }
}

// Method-only objects at the paths their documents name.
constexpr SingleObject method_only(const char *xml_file, std::span<const igd1::Method> methods) {
  return {.path = nullptr,
          .xml_file = xml_file,
          .properties = {},
          .wording = wording,
          .methods = methods};
}

constexpr SingleObject kOnuInfo = method_only("SDN_ONUInfo.xml", kOnuMethods);
constexpr SingleObject kSdnInfo = method_only("SDN_SDNInfo.xml", kSdnMethods);
constexpr SingleObject kPorts = method_only("SDN_Ports.xml", kPortMethods);

}  // namespace

IGD1_METHOD_HANDLER(sdn_onuinfo_handle_method_call, kOnuInfo)
IGD1_READ_HANDLER(sdn_onuinfo_handle_get_property, kOnuInfo)
IGD1_WRITE_HANDLERS(sdn_onuinfo_handle_set_property, sdn_onuinfo_handle_set_multi_properties,
                    kOnuInfo)
IGD1_SINGLE_OBJECT(sdn_onuinfo, sdn_onuinfo_introspection_data, kOnuInfo,
                   sdn_onuinfo_handle_method_call, sdn_onuinfo_handle_get_property,
                   sdn_onuinfo_handle_set_property, sdn_onuinfo_handle_set_multi_properties)
IGD1_METHOD_HANDLER(sdn_sdninfo_handle_method_call, kSdnInfo)
IGD1_READ_HANDLER(sdn_sdninfo_handle_get_property, kSdnInfo)
IGD1_WRITE_HANDLERS(sdn_sdninfo_handle_set_property, sdn_sdninfo_handle_set_multi_properties,
                    kSdnInfo)
IGD1_SINGLE_OBJECT(sdn_sdninfo, sdn_sdninfo_introspection_data, kSdnInfo,
                   sdn_sdninfo_handle_method_call, sdn_sdninfo_handle_get_property,
                   sdn_sdninfo_handle_set_property, sdn_sdninfo_handle_set_multi_properties)
IGD1_METHOD_HANDLER(sdn_ports_handle_method_call, kPorts)
IGD1_READ_HANDLER(sdn_ports_handle_get_property, kPorts)
IGD1_WRITE_HANDLERS(sdn_ports_handle_set_property, sdn_ports_handle_set_multi_properties, kPorts)
IGD1_SINGLE_OBJECT(sdn_ports, sdn_ports_introspection_data, kPorts, sdn_ports_handle_method_call,
                   sdn_ports_handle_get_property, sdn_ports_handle_set_property,
                   sdn_ports_handle_set_multi_properties)
