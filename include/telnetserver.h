// The Telnet server object.
#pragma once

#include "single_object.h"

IGD1_DECLARE_SINGLE_OBJECT_NAMED(telnet_server, telnetserver_introspection_data,
                                 telnetserver_handle_get_property, telnetserver_handle_set_property,
                                 telnetserver_handle_set_multi_properties);
