// The DHCP server object.
#pragma once

#include "single_object.h"

IGD1_API igd1::BusEntry dhcp_server_on_bus_acquired;
IGD1_API igd1::GetHandler dhcpserver_handle_get_property;
IGD1_API igd1::SetHandler dhcpserver_handle_set_property;
IGD1_API igd1::SetMultiHandler dhcp_server_handle_set_multi_properties;
// Validates and stores one value; *changed becomes 1 when it was stored.
IGD1_API gboolean dhcpserver_set_property(const gchar *property_name, GVariant *value,
                                          int *changed, GError **error);
