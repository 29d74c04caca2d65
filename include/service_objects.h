// The IPTV, DNS speed limit, HTTP server and PPPoE objects.
#pragma once

#include "single_object.h"

IGD1_API igd1::SetHandler IPTV_handle_set_property;

IGD1_API igd1::SetHandler DNSSpeedLimit_handle_set_property;

