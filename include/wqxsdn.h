// The SDN agent's objects: ONU information, SDN information and ports.
#pragma once

#include "single_object.h"

IGD1_DECLARE_SINGLE_OBJECT_NAMED(sdn_onuinfo, sdn_onuinfo_introspection_data,
                                 sdn_onuinfo_handle_get_property, sdn_onuinfo_handle_set_property,
                                 sdn_onuinfo_handle_set_multi_properties);
IGD1_DECLARE_METHOD_HANDLER(sdn_onuinfo_handle_method_call);
IGD1_DECLARE_SINGLE_OBJECT_NAMED(sdn_sdninfo, sdn_sdninfo_introspection_data,
                                 sdn_sdninfo_handle_get_property, sdn_sdninfo_handle_set_property,
                                 sdn_sdninfo_handle_set_multi_properties);
IGD1_DECLARE_METHOD_HANDLER(sdn_sdninfo_handle_method_call);
IGD1_DECLARE_SINGLE_OBJECT_NAMED(sdn_ports, sdn_ports_introspection_data,
                                 sdn_ports_handle_get_property, sdn_ports_handle_set_property,
                                 sdn_ports_handle_set_multi_properties);
IGD1_DECLARE_METHOD_HANDLER(sdn_ports_handle_method_call);
