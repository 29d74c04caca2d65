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

using igd1::CallContext;
using igd1::Property;
using igd1::Raw;
using igd1::SingleObject;
using igd1::WriteFlags;

constexpr char kPath[] = "/com/wqx/igd1/Storage/SambaServer";
constexpr int kStoredChanged = 1;

bool write_setting(const CallContext &call, const SingleObject &, const Property &property,
                   const char *name, GVariant *value, WriteFlags *flags) {
  uint8_t stored = property.type[0] == 'b' ? (g_variant_get_boolean(value) ? 1 : 0)
                                           : g_variant_get_byte(value);
  DBUS_LOG(LOG_LEVEL_INFO, "set %s [%d].", name, stored);
  const int result = sambaserverinfo_set_progerty(property.index, &stored);
  if (result == 0) return igd1::file_servers::store_refused(name, call.error);
  if (result == kStoredChanged) flags->changed = 1;
  return true;
}

constexpr Property kProperties[] = {
    {.name = "Enable", .type = "y", .index = 0, .raw = Raw::U8, .write = write_setting},
    {.name = "AllowAnonymous", .alias = "Anonymous", .type = "b", .index = 1, .raw = Raw::U8,
     .write = write_setting},
};

bool apply(const CallContext &, const SingleObject &, const WriteFlags &flags) {
  if (flags.changed && sambaserverinfo_set_property_update() == 0)
    DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d], apply samba server failed!", __func__,
             __LINE__);
  return true;
}

void start_up() {
  if (sambaserver_update_all() == 0)
    DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d], sambaserver_update_all failed!", __func__,
             __LINE__);
}

constexpr SingleObject kObject = {
    .path = kPath,
    .xml_file = "SambaServer.xml",
    .properties = kProperties,
    .get = sambaserverinfo_get_progerty,
    .wording = igd1::names_written_property,
    .transaction = {.commit = apply},
    .start = igd1::on_registered<start_up>,
};

}  // namespace

IGD1_READ_HANDLER(sambaserver_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(sambaserver_handle_set_property, sambaserver_handle_set_multi_properties,
                    kObject)
IGD1_SINGLE_OBJECT(samba_server, sambaserver_introspection_data, kObject, nullptr,
                   sambaserver_handle_get_property, sambaserver_handle_set_property,
                   sambaserver_handle_set_multi_properties)
