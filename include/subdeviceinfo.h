// The sub-device collection: /com/wqx/igd1/Config/SubDeviceInfo and one child
// per room unit.
#pragma once

#include "collection.h"

IGD1_DECLARE_ROW_COLLECTION(SubDeviceInfo, SubDeviceInfo_handle_set_multi_properties);
