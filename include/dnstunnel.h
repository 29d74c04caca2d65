// The DNS tunnel collection on /com/wqx/igd1/Network/dns, beside the IPv4 DNS
// server object that starts it.
#pragma once

#include "collection.h"

IGD1_API igd1::BusEntry DNSTunnel_on_bus_acquired;
