// The DHCP server object.
#pragma once

#include "single_object.h"

IGD1_DECLARE_SINGLE_OBJECT(dhcp_server, dhcpserver_handle_get_property,
                           dhcpserver_handle_set_property,
                           dhcp_server_handle_set_multi_properties);
// Validates and stores one value; *changed becomes 1 when it was stored.
IGD1_API gboolean dhcpserver_set_property(const gchar *property_name, GVariant *value,
                                          int *changed, GError **error);
