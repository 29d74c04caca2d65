// The wireless networks: /com/wqx/igd1/Config/WLAN/Devices, one child per
// SSID, and the WPS object of each SSID beside it (".../<n>/WPS").
#pragma once

#include "collection.h"

IGD1_API GDBusNodeInfo *WLANConfiguration_introspection_data;
IGD1_API igd1::BusEntry WLANConfiguration_on_bus_acquired;
// Publish and withdraw the SSID `index` with its WPS object; the store calls
// them as SSID records come and go.  Both return 1.
IGD1_API int WLANConfiguration_add_interface(int index);
IGD1_API int WLANConfiguration_del_interface(int index);
// Announces SSID and PWD of every published SSID again, from the module's
// own listing (no bus call).
IGD1_API void WLANConfiguration_emit_all_signal(void);
IGD1_API GType WLANConfiguration_interface_get_type(void);
IGD1_API igd1::GetHandler wlanconfiguration_handle_get_property;
IGD1_API igd1::SetHandler wlanconfiguration_handle_set_property;
IGD1_API igd1::SetMultiHandler wlanconfiguration_handle_set_multi_properties;
IGD1_API igd1::MethodCallHandler WLANConfiguration_handle_object_mng_call;

// The WPS module's two slots, filled when it starts: `add` publishes the
// WPS object of SSID `instance` on `connection` and returns its registration
// (0: none), `del` withdraws a registration.  Empty slots: SSIDs go without
// WPS objects.
typedef struct wps_interface_slots {
  guint (*add)(GDBusConnection *connection, int instance);
  gboolean (*del)(GDBusConnection *connection, guint registration);
} wps_interface_slots;
IGD1_API wps_interface_slots wps_interface_func;
// Publishes the WPS objects of the SSIDs published before the slots were
// filled (the WPS module calls it once it filled them).
IGD1_API void WLANConfiguration_publish_wps(void);
