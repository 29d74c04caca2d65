#pragma once

#include "mib_api.h"
#include "single_object.h"

// Releases the module's handle on the timer when the object goes.
IGD1_API void wifi_timer_user_data_free(gpointer user_data);
// The module's handle on the timer (null when the object is not there).
IGD1_API void wifitimer_entry_get(WIFI_TIMER **handle);
// "H:M" read as two numbers and written as "HH:MM" into a new 6-byte text
// that the caller frees with g_free; 1 on success, 0 (nothing made) for a
// text that is not two numbers around a colon.
IGD1_API int wifitimer_time(const char *value, char **result);
