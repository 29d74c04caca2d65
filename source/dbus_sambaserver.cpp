// The Samba file server: /com/wqx/igd1/Storage/SambaServer.
//
// Enable and AllowAnonymous (also named Anonymous) are read from and written
// to the configuration library on each call.  A write that changed a value is
// announced and applied to the running service; start-up applies the whole
// configuration once.
#include "sambaserver.h"

#include "mib_api.h"
#include "file_servers.h"
#include "single_object.h"

namespace {

using igd1::Property;
using igd1::Raw;
using igd1::SingleObject;
using igd1::WriteFlags;

constexpr char kPath[] = "/com/wqx/igd1/Storage/SambaServer";
constexpr int kStoredChanged = 1;

bool write_setting(const SingleObject &, const Property &property, const char *name,
                   GVariant *value, WriteFlags *flags, GError **error) {
  uint8_t stored = property.type[0] == 'b' ? (g_variant_get_boolean(value) ? 1 : 0)
                                           : g_variant_get_byte(value);
  DBUS_LOG(LOG_LEVEL_INFO, "set %s [%d].", name, stored);
  const int result = sambaserverinfo_set_progerty(property.index, &stored);
  if (result == 0) return igd1::file_servers::store_refused(name, error);
  if (result == kStoredChanged) flags->changed = 1;
  return true;
}

constexpr Property kProperties[] = {
    {.name = "Enable", .type = "y", .index = 0, .raw = Raw::U8, .write = write_setting},
    {.name = "AllowAnonymous", .alias = "Anonymous", .type = "b", .index = 1, .raw = Raw::U8,
     .write = write_setting},
};

bool apply(const SingleObject &, const WriteFlags &flags, GError **) {
  if (flags.changed && sambaserverinfo_set_property_update() == 0)
    DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d], apply samba server failed!", __func__,
             __LINE__);
  return true;
}

constexpr SingleObject kObject = {
    .path = kPath,
    .xml_file = "SambaServer.xml",
    .properties = kProperties,
    .get = sambaserverinfo_get_progerty,
    .write_log = "func [%s], line [%d],property_name:%s",
    .finish = apply,
};
const igd1::PublishObject kPublished(kObject);

const GDBusInterfaceVTable kVTable = {nullptr, sambaserver_handle_get_property,
                                      sambaserver_handle_set_property,
                                      IGD1_SET_MULTI_SLOT(sambaserver_handle_set_multi_properties)};

void start_up() {
  if (sambaserver_update_all() == 0)
    DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d], sambaserver_update_all failed!", __func__,
             __LINE__);
}

}  // namespace

GDBusNodeInfo *sambaserver_introspection_data = nullptr;

IGD1_DEFINE_GET_HANDLER(sambaserver_handle_get_property, kObject)

IGD1_DEFINE_SET_HANDLER(sambaserver_handle_set_property, kObject)

IGD1_DEFINE_SET_MULTI_HANDLER(sambaserver_handle_set_multi_properties, kObject)

void samba_server_on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer user_data) {
  const igd1::SingleObjectRegistration registration{
      .xml_file = "SambaServer.xml",
      .introspection_data = &sambaserver_introspection_data,
      .introspection_name = "sambaserver_introspection_data",
      .object_path = kPath,
      .vtable = &kVTable,
      .start_up = start_up};
  IGD1_REGISTER_SINGLE_OBJECT(registration, connection, user_data);
}
