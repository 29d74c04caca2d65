// Pieces shared by the Samba, Telnet and FTP server objects.
#pragma once

#include <gio/gio.h>

#include "single_object.h"

namespace igd1::file_servers {

// Read hook of a property whose value is fixed: the row's fallback number.
GVariant *read_fixed_number(const CallContext &call, const SingleObject &object,
                            const Property &property);

// The access mode a client offers for a Telnet or FTP server (0 off, 1 LAN,
// 2 WAN, 3 both); false with "Invalid parameter value" for any other value.
bool check_access_mode(const char *name, uint8_t mode, GError **error);

// The failure of a value the configuration library refused to store.
bool store_refused(const char *name, GError **error);

}  // namespace igd1::file_servers
