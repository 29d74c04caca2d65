// The PON information object.
#pragma once

#include "single_object.h"

IGD1_DECLARE_SINGLE_OBJECT_ENTRY(poninfo, poninfo_introspection_data);
IGD1_DECLARE_GET_HANDLER(poninfo_handle_get_property);
IGD1_DECLARE_METHOD_HANDLER(poninfo_handle_method_call);
