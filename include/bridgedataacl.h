// The bridge data access list: /com/wqx/igd1/Ovatrix/BridgeData/ACL and one
// child per rule.
#pragma once

#include "collection.h"

IGD1_DECLARE_ROW_COLLECTION(BridgeDataAcl, BridgeDataAcl_handle_set_multi_properties);
