// Marks on parsed introspection data, shared by the module library (which
// marks what its tables never announce) and the host (which marks
// everything when it sends no standard change signal).
#pragma once

#include <gio/gio.h>

namespace igd1 {

inline constexpr char kEmitsChangedSignal[] = "org.freedesktop.DBus.Property.EmitsChangedSignal";

// Gives `property` its own EmitsChangedSignal annotation "false", replacing
// any value it had.  Tools such as busctl read only the property's own
// annotation, so the interface's is not relied on.
void mark_never_emitted(GDBusPropertyInfo *property);

// The same for every property of every interface of `node` and its children.
void mark_node_never_emitted(GDBusNodeInfo *node);

// Gives every property of `node` (and its children) that has no
// EmitsChangedSignal annotation of its own its interface's, where the
// interface has one, so that the property says it itself.
void spell_out_emits_changed(GDBusNodeInfo *node);

}  // namespace igd1
