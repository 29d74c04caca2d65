// The port-mapping collection: /com/wqx/igd1/Config/PortMapping and one
// child per rule.
#pragma once

#include "collection.h"

IGD1_API int PortMapping_add_interface(uint32_t instance);
