// The FTP server object.
#pragma once

#include "single_object.h"

IGD1_DECLARE_SINGLE_OBJECT_NAMED(ftp_server, ftpserver_introspection_data,
                                 ftpserver_handle_get_property, ftpserver_handle_set_property,
                                 ftpserver_handle_set_multi_properties);
