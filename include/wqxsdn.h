// The SDN agent's objects: ONU information, SDN information and ports.
#pragma once

#include "single_object.h"

IGD1_API igd1::SetHandler sdn_onuinfo_handle_set_property;

IGD1_API igd1::GetHandler sdn_ports_handle_get_property;

