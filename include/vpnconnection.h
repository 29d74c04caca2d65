// The VPN tunnel collection: /com/wqx/igd1/Network/VPN/Connection, one child
// per tunnel and a statistics object ".../<n>/Stats" beside each.
#pragma once

#include <stddef.h>

#include "collection.h"

IGD1_API igd1::BusEntry VPNConnection_on_bus_acquired;
// The statistics objects come and go with the tunnels; its entry only logs.
IGD1_API void VPNConnectionStats_on_bus_acquired(GDBusConnection *, const gchar *, gpointer);
// Publish and withdraw a tunnel with its statistics object, from the
// tunnel's record as the store reports it (0 for a missing or short one).
IGD1_API int VPNConnection_add_interface(const void *record, size_t size);
IGD1_API int VPNConnection_del_interface(const void *record, size_t size);
IGD1_API igd1::GetHandler VPNConnection_handle_get_property;
IGD1_API igd1::SetHandler VPNConnection_handle_set_property;
// The property writer of every write: checks one value and stores it into
// the working copy `copy` of a tunnel when it differs from the stored one;
// *emit tells whether the change is announced.
IGD1_API gboolean VPNConnection_set_property(const char *property_name, GVariant *value, int *emit,
                                             int *changed, GError **error, void *copy);
