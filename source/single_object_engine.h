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

}  // namespace igd1
