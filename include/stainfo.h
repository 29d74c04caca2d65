// The stations associated with the radios: /com/wqx/igd1/Config/WLAN/STA,
// one read-only child per station.
#pragma once

#include "collection.h"

IGD1_API igd1::GetHandler STAInfo_handle_get_property;
// Emits STARSSILowAlarm (sbiu) at `path` on the host's connection (nothing
// without one).
IGD1_API void STAInfo_STARSSILowAlarm_emit_signal(const char *path, const char *mac, gboolean flag,
                                                  gint32 rssi, guint32 value);
