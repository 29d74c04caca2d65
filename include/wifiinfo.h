// The radios as a whole: /com/wqx/igd1/Info/WiFi.
#pragma once

#include "single_object.h"

IGD1_DECLARE_SINGLE_OBJECT(wifiinfo, wifiinfo_handle_get_property, wifiinfo_handle_set_property,
                           wifiinfo_handle_set_multi_properties);
IGD1_DECLARE_METHOD_HANDLER(wifiinfo_handle_method_call);
