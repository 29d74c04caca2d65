// The FTP account collection: /com/wqx/igd1/Storage/Ftpserver/Accounts and
// one child per account.
#pragma once

#include "collection.h"

IGD1_API igd1::MethodCallHandler ftp_account_handle_object_mng_call;
// Checks one value for the account `row` at table position `position` and
// stores it into `row`; *notify and *changed become 1 when it was stored.
IGD1_API gboolean ftp_account_set_props_func(const gchar *property_name, GVariant *value,
                                             int *notify, int *changed, GError **error,
                                             ftp_account_row *row, int position);
