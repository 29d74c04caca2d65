// The Telnet account collection: /com/wqx/igd1/Network/Telnetserver/Accounts
// with its two fixed children, 1 (LAN side) and 2 (WAN side).
#pragma once

#include "collection.h"

IGD1_DECLARE_ROW_COLLECTION(telnet_account, telnet_account_handle_set_multi_properties);
