// The IPv6 objects of the home network side: LAN configuration, DHCPv6
// server and router advertisement.
#pragma once

#include "single_object.h"

IGD1_DECLARE_SINGLE_OBJECT(IPV6LANConfig, IPV6LANConfig_handle_get_property,
                           IPV6LANConfig_handle_set_property,
                           IPV6LANConfig_handle_set_multi_properties);
IGD1_DECLARE_SINGLE_OBJECT(DHCPV6Server, DHCPV6Server_handle_get_property,
                           DHCPV6Server_handle_set_property,
                           DHCPV6Server_handle_set_multi_properties);
IGD1_DECLARE_SINGLE_OBJECT(RouterAdvertisement, RouterAdvertisement_handle_get_property,
                           RouterAdvertisement_handle_set_property,
                           RouterAdvertisement_handle_set_multi_properties);
