// Registration of a single-instance object: one fixed path, one interface
// from the module's introspection file, the module's vtable.
#pragma once

#include <gio/gio.h>

#include "igd1_export.h"
#include "tool.h"

namespace igd1 {

struct SingleObjectRegistration {
  const char *xml_file;                 // e.g. "DHCPServer.xml"
  GDBusNodeInfo **introspection_data;   // the module's exported global
  const char *introspection_name;       // that global's name, for the fatal assertion
  const char *object_path;              // nullptr: the path named by the XML root node
  const GDBusInterfaceVTable *vtable;
  GDestroyNotify user_data_free = nullptr;
  void (*start_up)() = nullptr;         // the module's own start-up work, if any
  int entry_log_level = LOG_LEVEL_INFO;
};

// Loads the XML, hands the node to the host, registers the object on
// `connection` with `user_data` and runs the module's start-up work.  A
// missing document or a refused registration is fatal.  `caller` and
// `caller_line` name the module's entry function in the log.
IGD1_EXPORT guint register_single_object(const SingleObjectRegistration &registration,
                                         GDBusConnection *connection, gpointer user_data,
                                         const char *caller, int caller_line);

}  // namespace igd1

#define IGD1_REGISTER_SINGLE_OBJECT(registration, connection, user_data) \
  igd1::register_single_object((registration), (connection), (user_data), __func__, __LINE__)
