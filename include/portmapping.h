// The port-mapping collection: /com/wqx/igd1/Config/PortMapping and one
// child per rule.
#pragma once

#include "collection.h"

IGD1_DECLARE_ROW_COLLECTION(PortMapping, portmapping_handle_set_multi_properties);
