// The LAN host manager: /com/wqx/igd1/Config/LANHosts with its own
// interface, and one child per device seen on the LAN side.
#pragma once

#include "collection.h"

IGD1_API GType lan_host_interface_get_type(void);

// Drops the kept GetManagedObjects reply of the manager (from any thread);
// with flag 0 a new one is built (at once on the main loop, else there
// soon).  Returns a new reference to the reply now kept, or NULL.
IGD1_API GVariant *update_lan_host_send_cache(uint8_t flag);
// The device skeleton type.
IGD1_API GType lan_host_get_type(void);
