// The operations-and-maintenance object and its two watch lists.
#pragma once

#include "collection.h"
#include "single_object.h"

IGD1_API GDBusNodeInfo *OMDiag_introspection_data;
IGD1_API igd1::BusEntry OMDiag_on_bus_acquired;

IGD1_API GDBusNodeInfo *OMDiagResource_introspection_data;
IGD1_API GDBusNodeInfo *OMDiagProcess_introspection_data;
// The resource objects' interface as the library carries it.
IGD1_API const char OMDiagResource_introspection_xml[];
IGD1_API GType OMDiag_resource_interface_get_type(void);
IGD1_API GType OMDiag_process_interface_get_type(void);
