// The LED control object.
#pragma once

#include "mib_api.h"
#include "single_object.h"

IGD1_DECLARE_SINGLE_OBJECT(LED, led_handle_get_property, led_handle_set_property,
                           led_handle_set_multi_properties);
// Releases the module's LED handle (the object's data release function).
IGD1_API void led_timer_user_data_free(gpointer user_data);
// Hands out the module's LED handle (null before start-up).
IGD1_API void LED_entry_get(LED_ENTRY **handle);
