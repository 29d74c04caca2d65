// NAS file access: /com/wqx/igd1/Storage/NAS (the path its document names),
// nine methods carried out by the configuration library on the storage.
#pragma once

#include "single_object.h"

