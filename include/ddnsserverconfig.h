// The dynamic DNS client collection: /com/wqx/igd1/Network/ddns and one child
// per client.
#pragma once

#include "collection.h"

IGD1_DECLARE_ROW_COLLECTION(DDNSServerConfig, ddns_serverconfig_handle_set_multi_properties);
