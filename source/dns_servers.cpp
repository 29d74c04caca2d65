// What the IPv4 and IPv6 DNS server objects share: the record of both
// servers is read whole, changed in one field and stored whole, so writing
// one server never disturbs the other.
#include "dns_servers.h"

#include <cstring>

#include "mib_api.h"

namespace igd1::dns_servers {
namespace {

constexpr size_t kStoredLength = sizeof(dnsserver_record::server1) - 1;
constexpr int kStored = 1;
constexpr int kRefused = 0;

int record_index(const SingleObject &object) { return *static_cast<const int *>(object.user_data); }

char *field(dnsserver_record &record, const Property &property) {
  return property.index == 0 ? record.server1 : record.server2;
}

}  // namespace

GVariant *read_server(const CallContext &call, const SingleObject &object,
                      const Property &property) {
  dnsserver_record record{};
  dnsserver_get_mib_property(record_index(object), &record);
  return text_value(field(record, property), kStoredLength + 1, property.name, call.error);
}

bool write_server(const CallContext &call, const SingleObject &object, const Property &property,
                  const char *, GVariant *value, WriteFlags *flags) {
  dnsserver_record record{};
  if (dnsserver_get_mib_property(record_index(object), &record) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "not found internet");
    set_invalid_args(call.error, "not found internet");
    return false;
  }
  char *target = field(record, property);
  std::memset(target, 0, kStoredLength + 1);
  std::strncpy(target, g_variant_get_string(value, nullptr), kStoredLength);
  const int result = dnsserver_set_mib_property(record_index(object), &record);
  if (result == kRefused) {
    DBUS_LOG(LOG_LEVEL_WARN, "Invalid parameter value");
    set_invalid_args(call.error, "Invalid parameter value");
    return false;
  }
  if (result != kStored) {
    DBUS_LOG(LOG_LEVEL_WARN, "Error config DNS Server");
    set_invalid_args(call.error, "Error config DNS Server");
    return false;
  }
  flags->changed = 1;
  return true;
}

bool notify_services(const CallContext &, const SingleObject &, const WriteFlags &) {
  dbus_mib_update_cfg(MIB_CFG_DNS, nullptr, MIB_ACTION_APPLY);
  return true;
}

void reload_relay(const PendingCall &call, GVariant *) {
  const bool reloaded = reloadDnsRelay() == 1;
  const guint32 result = reloaded ? 0 : 1;
  const char *description = reloaded ? "" : "fail";
  DBUS_LOG(LOG_LEVEL_INFO, "result:%d,errdesc0:%s", int(result), description);
  call.reply(g_variant_new("(us)", result, description));
}

}  // namespace igd1::dns_servers
