// The network information object.
#pragma once

#include "single_object.h"

// Stores one value; 1 on success (with the commit and change flags), 0
// with `error` set.
IGD1_API int networkinfo_set_props_func(const gchar *property_name, GVariant *value,
                                        GError **error, int *commit_needed, int *changed);
