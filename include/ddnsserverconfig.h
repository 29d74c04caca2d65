// The dynamic DNS client collection: /com/wqx/igd1/Network/ddns and one child
// per client.
#pragma once

#include "collection.h"

IGD1_API igd1::GetHandler DDNSServer_handle_get_property;
// The property writer of every write: checks one value and stores it into
// the working copy `row` of a client when it differs from the stored one.
IGD1_API gboolean DDNSServer_set_property(const char *property_name, GVariant *value, int *changed,
                                          GError **error, void *row, uint32_t index);
