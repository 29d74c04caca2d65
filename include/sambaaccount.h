// The Samba account collection: /com/wqx/igd1/Storage/SambaServer/Accounts.
#pragma once

#include "collection.h"

IGD1_DECLARE_ROW_COLLECTION(samba_account, samba_account_handle_set_multi_properties);
