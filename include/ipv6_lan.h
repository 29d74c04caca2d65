// The IPv6 objects of the home network side: LAN configuration, DHCPv6
// server and router advertisement.
#pragma once

#include "single_object.h"

IGD1_API igd1::GetHandler IPV6LANConfig_handle_get_property;

