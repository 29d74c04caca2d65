#include "sys_introspection.h"

namespace igd1 {

namespace {

void set_emits_changed(GDBusPropertyInfo *property, const char *value) {
  guint count = 0;
  for (; property->annotations != nullptr && property->annotations[count] != nullptr; ++count) {
    GDBusAnnotationInfo *own = property->annotations[count];
    if (g_strcmp0(own->key, kEmitsChangedSignal) != 0) continue;
    g_free(own->value);
    own->value = g_strdup(value);
    return;
  }
  // The list is NULL-terminated and freed with the node.
  property->annotations = g_renew(GDBusAnnotationInfo *, property->annotations, count + 2);
  GDBusAnnotationInfo *annotation = g_new0(GDBusAnnotationInfo, 1);
  annotation->ref_count = 1;
  annotation->key = g_strdup(kEmitsChangedSignal);
  annotation->value = g_strdup(value);
  property->annotations[count] = annotation;
  property->annotations[count + 1] = nullptr;
}

// Calls `mark(interface, property)` for every property of `node` and its children.
template <typename Mark>
void for_each_property(GDBusNodeInfo *node, const Mark &mark) {
  if (node == nullptr) return;
  for (GDBusInterfaceInfo **i = node->interfaces; i != nullptr && *i != nullptr; ++i)
    for (GDBusPropertyInfo **p = (*i)->properties; p != nullptr && *p != nullptr; ++p) mark(*i, *p);
  for (GDBusNodeInfo **child = node->nodes; child != nullptr && *child != nullptr; ++child)
    for_each_property(*child, mark);
}

}  // namespace

void mark_never_emitted(GDBusPropertyInfo *property) { set_emits_changed(property, "false"); }

void mark_node_never_emitted(GDBusNodeInfo *node) {
  for_each_property(node, [](GDBusInterfaceInfo *, GDBusPropertyInfo *property) {
    mark_never_emitted(property);
  });
}

void spell_out_emits_changed(GDBusNodeInfo *node) {
  for_each_property(node, [](GDBusInterfaceInfo *interface, GDBusPropertyInfo *property) {
    const char *inherited = g_dbus_annotation_info_lookup(interface->annotations, kEmitsChangedSignal);
    if (inherited != nullptr && g_dbus_annotation_info_lookup(property->annotations, kEmitsChangedSignal) == nullptr)
      set_emits_changed(property, inherited);
  });
}

}  // namespace igd1
