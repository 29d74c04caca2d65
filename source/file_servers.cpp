#include "file_servers.h"

#include "mib_api.h"

namespace igd1::file_servers {

GVariant *read_fixed_number(const CallContext &, const SingleObject &, const Property &property) {
  return value_of_number(property, property.fallback_number, 0);
}

bool check_access_mode(const char *name, uint8_t mode, GError **error) {
  if (mode <= MIB_ACCESS_LAN_WAN) return true;
  DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d], invalid %s value [%d].", __func__, __LINE__, name,
           mode);
  set_invalid_args(error, "Invalid parameter value");
  return false;
}

bool store_refused(const char *name, GError **error) {
  DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d], set %s failed!", __func__, __LINE__, name);
  set_invalid_args(error, "set %s fail", name);
  return false;
}

}  // namespace igd1::file_servers
