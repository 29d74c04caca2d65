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

// One interface registered at a path through the engine.  An interface
// that follows the service type is asked for at every request through
// `serving`, which is given `declaration` and the path and answers the
// interface served there now, or nullptr while the path does not serve it
// (a row's document of another service type lacks it, or the row does not
// carry it).  Single objects and the children of row collections publish
// through this one entry, and the host learns what a path serves now from
// the same answer (it asks the path's introspection).
struct PathEntry {
  GDBusInterfaceInfo *declared;  // its name is the entry's; served as it is without `serving`
  const GDBusInterfaceVTable *vtable;
  gpointer user_data;
  GDBusInterfaceInfo *(*serving)(const void *declaration, GDBusInterfaceInfo *declared,
                                 const char *path) = nullptr;
  const void *declaration = nullptr;
  guint plain_id = 0;  // while registered on its own
};

// Registers `entry` at `path`: 0 when the path has its interface already or
// GDBus refuses it.  A path whose entries all serve a fixed interface is a
// plain GDBus registration per entry; the first entry that follows the
// service type turns it into one subtree serving them all, since GDBus fixes
// a plain registration's interface for good.
guint publish_at_path(GDBusConnection *connection, const char *path, PathEntry entry);
// Withdraws every entry published at `path` (a row's child that goes).
void withdraw_path(GDBusConnection *connection, const char *path);
// The interface `object` serves at a path: its table's form of `declared`
// on the current service type (see served_interface); a `serving` of
// PathEntry.
GDBusInterfaceInfo *object_serving(const void *object, GDBusInterfaceInfo *declared,
                                   const char *path);

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
