// The sub-device collection: /com/wqx/igd1/Config/SubDeviceInfo and one child
// per room unit.
#pragma once

#include "collection.h"

// DeactiveONU on a unit's child.

// The property writer of every write: stores one value into the working
// copy `row` of a unit when it differs from the stored one.
IGD1_API gboolean SubDeviceInfo_set_props_func(const char *property_name, GVariant *value,
                                               int *changed, GError **error, void *row,
                                               uint32_t index);

// The name of the main-loop timer that stores the units' optical readings.
inline constexpr char kSubDevicePollName[] = "SubDeviceInfo poll";
