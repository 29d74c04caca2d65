// Feature flags, Cloud VR, network access sign, bridge data, VoIP
// information, CWMP, incoming filter, downstream optimisation and sub-IPTV
// support: the small single objects.
#pragma once

#include "single_object.h"

IGD1_DECLARE_SINGLE_OBJECT_ENTRY(featureflag, featureflag_introspection_data);
IGD1_DECLARE_GET_HANDLER(featureflag_handle_get_property);

IGD1_DECLARE_SINGLE_OBJECT_ENTRY(CloudVR, CloudVR_introspection_data);
IGD1_DECLARE_GET_HANDLER(CloudVR_handle_get_property);
IGD1_DECLARE_METHOD_HANDLER(CloudVR_handle_method_call);

IGD1_DECLARE_SINGLE_OBJECT_ENTRY(NetworkAccessSign, NetworkAccessSign_introspection_data);
IGD1_DECLARE_GET_HANDLER(NetworkAccessSign_handle_get_property);

IGD1_DECLARE_SINGLE_OBJECT_ENTRY(BridgeData, BridgeData_introspection_data);
IGD1_DECLARE_GET_HANDLER(BridgeData_handle_get_property);

IGD1_DECLARE_SINGLE_OBJECT_ENTRY(voipinfo, voipinfo_introspection_data);
IGD1_DECLARE_GET_HANDLER(voipinfo_handle_get_property);

IGD1_DECLARE_SINGLE_OBJECT_ENTRY(CWMP, CWMP_introspection_data);
IGD1_DECLARE_METHOD_HANDLER(CWMP_handle_method_call);

IGD1_DECLARE_SINGLE_OBJECT_ENTRY(IncomingFilter, incomingfilter_introspection_data);
IGD1_DECLARE_METHOD_HANDLER(incomingfilter_handle_method_call);

IGD1_DECLARE_SINGLE_OBJECT_ENTRY(DnOptInfo, DnOptInfo_introspection_data);
IGD1_DECLARE_GET_HANDLER(DnOptInfo_handle_get_property);

IGD1_DECLARE_SINGLE_OBJECT(SubIPTVSupport, SubIPTVSupport_handle_get_property,
                           SubIPTVSupport_handle_set_property,
                           SubIPTVSupport_handle_set_multi_properties);
