// The access filters: DNS and URL filters, the MAC block and white lists,
// and the application filters and routes, one collection each.
#pragma once

#include "collection.h"

// Emits AppFilterEvent(s message) of com.wqx.igd1.AppFilter at `path` on the
// host's connection (nothing before the bus is there).
IGD1_API void AppFilter_Event_emit_signal(const char *path, const char *message);
// 1 while the application filters' GetManagedObjects answer is being built.
IGD1_API int AppFilter_handle_is_call_get_objects(void);
