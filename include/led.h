// The LED control object.
#pragma once

#include "mib_api.h"
#include "single_object.h"

IGD1_API igd1::GetHandler led_handle_get_property;
// Releases the module's LED handle (the object's data release function).
IGD1_API void led_timer_user_data_free(gpointer user_data);
// Hands out the module's LED handle (null before start-up).
IGD1_API void LED_entry_get(LED_ENTRY **handle);
