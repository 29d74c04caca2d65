// Roaming per band: /com/wqx/igd1/Config/WLAN/2G/Roaming and .../5G/Roaming.
#pragma once

#include "mib_wifi.h"
#include "single_object.h"

IGD1_API GDBusNodeInfo *Roaming_introspection_data;
IGD1_API igd1::BusEntry Roaming_on_bus_acquired;
IGD1_API igd1::GetHandler Roaming_handle_get_property;
IGD1_API igd1::SetHandler Roaming_handle_set_property;
IGD1_API igd1::SetMultiHandler Roaming_handle_set_multi_properties;
IGD1_API igd1::MethodCallHandler Roaming_handle_method_call;

// The result signals, on interface com.wqx.igd1.Roaming at `path` over the
// host's connection (nothing without one).  Addresses go out as twelve
// upper-case hex digits, only records whose valid flag is 1 are listed, and
// the error description is empty when the result is 0.
IGD1_API void Roaming_APRSSIQueryResult_emit_signal(const char *path, guint32 result, const uint8_t *ap_mac,
                                                    const roaming_rssi_record *records, guint32 count,
                                                    const char *errdesc);
IGD1_API void Roaming_STARSSIQueryResult_emit_signal(const char *path, guint32 result,
                                                     const roaming_rssi_record *records, guint32 count,
                                                     const char *errdesc);
IGD1_API void Roaming_STABSSTransitionResult_emit_signal(const char *path, guint32 result, const char *sta_mac,
                                                         guint32 statuscode, const char *errdesc);
