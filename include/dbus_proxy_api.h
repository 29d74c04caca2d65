// Framework services shared by the object modules.
#pragma once

#include <gio/gio.h>

#include "igd1_export.h"

// Parses "/etc/dbusxml/<file_name>" (under the root folder).  Returns a new
// node description, or NULL when the file is missing, unreadable or not
// valid introspection data.
IGD1_API GDBusNodeInfo *dbus_proxy_readxml(const char *file_name);
