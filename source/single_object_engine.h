// What the units of the single-object engine share among themselves.
// Modules include single_object.h only.
#pragma once

#include "single_object.h"

namespace igd1 {

int current_service_type();
// Whether a table row serves `service_type`.
bool serves(const Property &property, int service_type);
// The properties of `object` whose changes the current service type does not
// announce are marked so in its introspection data.
void mark_object_unannounced(const SingleObject &object, GDBusInterfaceInfo *interface);

// One object registered at a path through the engine.
struct PathEntry {
  const SingleObject *object;  // non-null: the interface follows the service type
  GDBusInterfaceInfo *declared;
  const GDBusInterfaceVTable *vtable;
  gpointer user_data;
  guint plain_id;  // while registered on its own
};

// Registers `entry` at `path`: 0 when the path has its interface already or
// GDBus refuses it.
guint publish_at_path(GDBusConnection *connection, const char *path, PathEntry entry);

// Reads the document of `object` from its file (missing: fatal, naming
// `introspection_name`, or the file when null), checks the table, marks
// what it does not announce and hands the document to the host.  The
// caller owns the returned reference.
GDBusNodeInfo *load_described_document(const SingleObject &object, const char *introspection_name);
// Registers `object` at `path` for `instance` with `interface`, already
// handed to the host (0 on refusal).
guint register_described_interface(const SingleObject &object, GDBusInterfaceInfo *interface,
                                   GDBusConnection *connection, const char *path,
                                   uint32_t instance);

}  // namespace igd1
