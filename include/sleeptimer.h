// The sleep timers: /com/wqx/igd1/Config/Power/SleepTimers and one child
// per timer, numbered by the module.
#pragma once

#include <stdint.h>

#include "collection.h"
#include "timer_rows.h"

IGD1_DECLARE_ROW_COLLECTION(SleepTimer, sleep_timer_handle_set_multi_properties);
// The host side's hold on the collection (see timer_rows.h).
IGD1_DECLARE_TIMER_WRAPPERS(sleeptimer);
// "H:M" read as two numbers and written as "HH:MM" into a new 6-byte text
// that the caller frees with g_free; 1 on success, 0 (nothing made) for a
// text that is not two numbers of at most two digits around a colon.
IGD1_API int sleeptimer_time(const char *value, char **result);
