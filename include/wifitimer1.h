// The extended WiFi timers: /com/wqx/igd1/Config/WLAN/ExTimers and one
// child per timer, numbered by the module.
#pragma once

#include <stdint.h>

#include "collection.h"
#include "timer_rows.h"

IGD1_DECLARE_ROW_COLLECTION(WiFiTimer1, WiFiTimer1_handle_set_multi_properties);
// The host side's hold on the collection (see timer_rows.h).
IGD1_DECLARE_TIMER_WRAPPERS(wifitimer1);
