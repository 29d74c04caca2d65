// The platform service object: the gateway's connection to the operator's
// service platforms, at /com/wqx/igd1/Ovatrix/PlatformService.
#pragma once

#include "single_object.h"

IGD1_DECLARE_SINGLE_OBJECT_NAMED(PlatformService, platformservice_introspection_data,
                                 platformservice_handle_get_property,
                                 platformservice_handle_set_property,
                                 platformservice_handle_set_multi_properties);
