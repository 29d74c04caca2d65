// The bridge data access list: /com/wqx/igd1/Ovatrix/BridgeData/ACL and one
// child per rule.
#pragma once

#include "collection.h"

