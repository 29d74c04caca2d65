// The incoming filter: /com/wqx/igd1/Config/IncomingFilter.  Two methods add
// and remove a rule that lets traffic from a remote address (any, IPv4 or
// IPv6) to a port of the gateway in on the LAN or WAN side.
#include <arpa/inet.h>

#include <cstring>

#include "mib_services.h"
#include "small_objects.h"

namespace {

using igd1::PendingCall;

constexpr char kError[] = "com.wqx.igd1.IncomingFilter";
constexpr size_t kAddressMax = 63;
constexpr uint8_t kLastProtocol = 2;   // 0 TCP, 1 UDP, 2 both
constexpr uint8_t kLastInterface = 1;  // 0 LAN side, 1 WAN side
constexpr uint32_t kLastPort = 65535;
constexpr int kDone = 1;

// The rule of the call's arguments; false for values the filter cannot hold.
bool build_entry(GVariant *parameters, incoming_filter_entry *entry) {
  const gchar *address = nullptr;
  guint8 protocol = 0, interface = 0;
  guint32 port = 0;
  g_variant_get(parameters, "(&syuy)", &address, &protocol, &port, &interface);
  DBUS_LOG(LOG_LEVEL_INFO, "remoteIP [%s], protocol [%d], port [%u], interface [%d]", address,
           protocol, port, interface);
  const size_t length = std::strlen(address);
  if (length > kAddressMax || protocol > kLastProtocol || port > kLastPort ||
      interface > kLastInterface)
    return false;
  *entry = {};
  if (length != 0) {
    uint8_t parsed[16];
    const bool ipv6 = std::strchr(address, ':') != nullptr;
    if (ipv6 ? inet_pton(AF_INET6, address, parsed) != 1 : !igd1::parse_ipv4_classic(address, parsed))
      return false;
    entry->family = ipv6 ? 6 : 4;
  }
  entry->protocol = protocol;
  entry->interface = interface;
  entry->port = port;
  std::memcpy(entry->remote, address, length);
  return true;
}

void change_rule(const PendingCall &call, GVariant *parameters) {
  incoming_filter_entry entry;
  if (!build_entry(parameters, &entry)) {
    call.fail_named(kError, "Invalid parameter value");
    return;
  }
  const bool add = std::strcmp(call.method(), "AddIncomingEntry") == 0;
  const int result = add ? incomingFilter_insert_entry(&entry) : incomingFilter_del_entry(&entry);
  if (result != kDone) {
    call.fail_named(kError, incomingFilter_result_text(result));
    return;
  }
  incomingFilter_save_mib();
  call.reply(g_variant_new("(us)", 0u, incomingFilter_result_text(kDone)));
}

constexpr igd1::Method kMethods[] = {
    {.name = "AddIncomingEntry", .handler = change_rule},
    {.name = "DelIncomingEntry", .handler = change_rule},
};

constexpr igd1::SingleObject kObject = {
    .path = "/com/wqx/igd1/Config/IncomingFilter",
    .xml_file = "IncomingFilter.xml",
    .properties = {},
    .methods = kMethods,
};

}  // namespace

IGD1_METHOD_HANDLER(incomingfilter_handle_method_call, kObject)
IGD1_SINGLE_OBJECT(IncomingFilter, incomingfilter_introspection_data, kObject,
                   incomingfilter_handle_method_call, nullptr, nullptr, nullptr)
