// The Telnet account collection: /com/wqx/igd1/Network/Telnetserver/Accounts
// with its two fixed children, 1 (LAN side) and 2 (WAN side).
#pragma once

#include "collection.h"

IGD1_API igd1::GetHandler telnet_account_handle_get_property;
