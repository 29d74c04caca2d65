// The sleep timers: /com/wqx/igd1/Config/Power/SleepTimers and one child
// per timer, numbered by the module.
#pragma once

#include <stdint.h>

#include "collection.h"
#include "timer_rows.h"

// The host side's hold on the collection (see timer_rows.h).
IGD1_API void sleeptimer_export_new_object(uint32_t instance);
IGD1_API void sleeptimer_unexport_object(uint32_t instance);
IGD1_API int sleeptimer_dbus_proxy_list_improve(const void *record, int length);
IGD1_API void sleeptimer_dbus_proxy_list_node_update(const void *record, int recordnum, int length);
IGD1_API void sleeptimer_dbus_proxy_list_delete(int recordnum);
IGD1_API int sleeptimer_get_dbus_proxy_list_index(int recordnum, void **record);
IGD1_API int sleeptimer_get_idle_idx(uint32_t *instance);
// "H:M" read as two numbers and written as "HH:MM" into a new 6-byte text
// that the caller frees with g_free; 1 on success, 0 (nothing made) for a
// text that is not two numbers of at most two digits around a colon.
IGD1_API int sleeptimer_time(const char *value, char **result);
