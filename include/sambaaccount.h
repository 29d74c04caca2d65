// The Samba account collection: /com/wqx/igd1/Storage/SambaServer/Accounts.
#pragma once

#include "collection.h"

