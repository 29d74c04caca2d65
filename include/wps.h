// WPS of each SSID: /com/wqx/igd1/Config/WLAN/Devices/<n>/WPS, published
// and withdrawn by the WLAN module through wps_interface_func.
#pragma once

#include "single_object.h"

IGD1_API GDBusNodeInfo *wps_introspection_data;
IGD1_API igd1::BusEntry wps_on_bus_acquired;
// The WPS object of SSID `instance` on `connection`: its registration, or 0.
IGD1_API guint wps_add_interface(GDBusConnection *connection, int instance);
// Withdraws it; true when the registration existed.
IGD1_API gboolean wps_del_interface(GDBusConnection *connection, guint registration);
