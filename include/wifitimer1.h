// The extended WiFi timers: /com/wqx/igd1/Config/WLAN/ExTimers and one
// child per timer, numbered by the module.
#pragma once

#include <stdint.h>

#include "collection.h"
#include "timer_rows.h"

// The host side's hold on the collection (see timer_rows.h).
IGD1_API int wifitimer1_get_idle_idx(uint32_t *instance);
