// The device information object.
#pragma once

#include "single_object.h"

// Stores one value; 1 on success, 0 with `error` set.
IGD1_API int deviceinfo_set_props_func(const gchar *property_name, GVariant *value, GError **error);
