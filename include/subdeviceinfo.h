// The sub-device collection: /com/wqx/igd1/Config/SubDeviceInfo and one child
// per room unit.
#pragma once

#include "collection.h"

IGD1_DECLARE_ROW_COLLECTION(SubDeviceInfo, SubDeviceInfo_handle_set_multi_properties);

// The name of the main-loop timer that stores the units' optical readings.
inline constexpr char kSubDevicePollName[] = "SubDeviceInfo poll";
