// The WAN connection database (/com/wqx/igd1/Info/Network/WANConnectionDb,
// one read-only child per connection, and the look-ups of the manager's own
// interface) and the special-service routes (/com/wqx/igd1/SpecialServiceVR).
#pragma once

#include "collection.h"

IGD1_API igd1::GetHandler wan_connection_info_interface_get_property;
// Exports (action 1) or unexports (action 0) the child of a connection.
IGD1_API int add_del_DB_interface_by_mib_action(unsigned int instance, int action);
// The WAN addresses changed: the configuration library reads them again.
IGD1_API void wan_connection_address_change_event(void);

IGD1_API int add_del_SpecialServiceVR_interface_by_mib_action(unsigned int instance, int action);
