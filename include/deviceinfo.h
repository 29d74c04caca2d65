// The device information object.
#pragma once

#include "single_object.h"

IGD1_DECLARE_SINGLE_OBJECT_NAMED(devinfo, devinfo_introspection_data,
                                 deviceinfo_handle_get_property, deviceinfo_handle_set_property,
                                 deviceinfo_handle_set_multi_properties);
// Stores one value; 1 on success, 0 with `error` set.
IGD1_API int deviceinfo_set_props_func(const gchar *property_name, GVariant *value, GError **error);
