// Band steering: /com/wqx/igd1/Config/WLAN/BandSteering.
#pragma once

#include "single_object.h"

IGD1_DECLARE_SINGLE_OBJECT(WiFiBandSteering, WiFiBandSteering_handle_get_property,
                           WiFiBandSteering_handle_set_property,
                           WiFiBandSteering_handle_set_multi_properties);
