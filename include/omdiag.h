// The operations-and-maintenance object and its two watch lists.
#pragma once

#include "collection.h"
#include "single_object.h"

IGD1_DECLARE_SINGLE_OBJECT_ENTRY(OMDiag, OMDiag_introspection_data);
IGD1_DECLARE_GET_HANDLER(OMDiag_handle_get_property);
IGD1_DECLARE_SET_HANDLER(OMDiag_handle_set_property);
IGD1_DECLARE_SET_MULTI_HANDLER(OMDiag_handle_set_multi_properties);
IGD1_DECLARE_METHOD_HANDLER(OMDiag_handle_method_call);

IGD1_API GDBusNodeInfo *OMDiagResource_introspection_data;
IGD1_API GDBusNodeInfo *OMDiagProcess_introspection_data;
// The resource objects' interface as the library carries it.
IGD1_API const char OMDiagResource_introspection_xml[];
IGD1_API GType OMDiag_resource_interface_get_type(void);
IGD1_API GType OMDiag_process_interface_get_type(void);
