// The root object and the bus-name callbacks.
#include "dbus_igd1.h"

#include <cstdlib>

#include "host_api.h"
#include "igd1_assert.h"
#include "single_object.h"
#include "tool.h"

namespace {

// The root interface carries nothing; it marks the top of the tree.
GDBusInterfaceInfo root_interface_info = {
    -1, const_cast<gchar *>(kIgd1RootInterface), nullptr, nullptr, nullptr, nullptr};

struct ComWqxIgd1Object {
  GObject parent_instance;
};
struct ComWqxIgd1ObjectClass {
  GObjectClass parent_class;
};

gpointer com_wqx_igd1_object_parent_class = nullptr;

void com_wqx_igd1_object_finalize(GObject *object) {
  G_OBJECT_CLASS(com_wqx_igd1_object_parent_class)->finalize(object);
}

void com_wqx_igd1_object_class_init(gpointer klass, gpointer) {
  com_wqx_igd1_object_parent_class = g_type_class_peek_parent(klass);
  G_OBJECT_CLASS(klass)->finalize = com_wqx_igd1_object_finalize;
}

void com_wqx_igd1_object_init(GTypeInstance *, gpointer) {}

}  // namespace

GType com_wqx_igd1_object_get_type(void) {
  static gsize type_id = 0;
  if (g_once_init_enter(&type_id)) {
    GType type = g_type_register_static_simple(
        G_TYPE_OBJECT, g_intern_static_string("ComWqxIgd1Object"), sizeof(ComWqxIgd1ObjectClass),
        com_wqx_igd1_object_class_init, sizeof(ComWqxIgd1Object), com_wqx_igd1_object_init,
        GTypeFlags(0));
    g_once_init_leave(&type_id, type);
  }
  return type_id;
}

void IGD1_on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer) {
  guint registration_id = dbus_proxy_object_reg(
      connection, kIgd1RootObjectPath, &root_interface_info, nullptr, nullptr, nullptr, nullptr);
  IGD1_ASSERT(registration_id > 0);
  igd1::declare_start_order();
}

void IGD1_on_name_acquired(GDBusConnection *, const gchar *name, gpointer) {
  DBUS_LOG(LOG_LEVEL_INFO, "Acquired the name %s", name);
}

void IGD1_on_name_lost(GDBusConnection *, const gchar *name, gpointer) {
  DBUS_LOG(LOG_LEVEL_WARN, "IGD1 Lost the name %s", name);
  std::exit(1);
}
