// The platform service object: the gateway's connection to the operator's
// service platforms, at /com/wqx/igd1/Ovatrix/PlatformService.
#pragma once

#include "single_object.h"

IGD1_API igd1::SetHandler platformservice_handle_set_property;
