// The DNS tunnel collection on /com/wqx/igd1/Network/dns, beside the IPv4 DNS
// server object that starts it.
#pragma once

#include "collection.h"

IGD1_DECLARE_ROW_COLLECTION(DNSTunnel, DNSTunnel_handle_set_multi_properties);
