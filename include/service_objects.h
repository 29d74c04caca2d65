// The IPTV, DNS speed limit, HTTP server and PPPoE objects.
#pragma once

#include "single_object.h"

IGD1_DECLARE_SINGLE_OBJECT(IPTV, IPTV_handle_get_property, IPTV_handle_set_property,
                           IPTV_handle_set_multi_properties);
IGD1_DECLARE_METHOD_HANDLER(IPTV_handle_method_call);

IGD1_DECLARE_SINGLE_OBJECT(DNSSpeedLimit, DNSSpeedLimit_handle_get_property,
                           DNSSpeedLimit_handle_set_property,
                           DNSSpeedLimit_handle_set_multi_properties);

IGD1_DECLARE_SINGLE_OBJECT(http_server, http_server_handle_get_property,
                           http_server_handle_set_property,
                           http_server_handle_set_multi_properties);

IGD1_DECLARE_SINGLE_OBJECT_ENTRY(pppoe_object, pppoe_introspection_data);
IGD1_DECLARE_GET_HANDLER(pppoe_handle_get_property);
