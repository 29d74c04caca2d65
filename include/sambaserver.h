// The Samba server object.
#pragma once

#include "single_object.h"

IGD1_DECLARE_SINGLE_OBJECT_NAMED(samba_server, sambaserver_introspection_data,
                                 sambaserver_handle_get_property, sambaserver_handle_set_property,
                                 sambaserver_handle_set_multi_properties);
