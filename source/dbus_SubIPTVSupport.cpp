// Sub-IPTV support: whether the gateway can carry IPTV to its sub-devices,
// whether it does and on which VLAN; at the path its introspection file
// names.  The configuration library refuses switching it on where it is not
// supported and VLANs outside 1 to 4094.
#include "mib_services.h"
#include "small_objects.h"

namespace {

using igd1::Property;
using igd1::Raw;
using igd1::Stored;

constexpr Property kProperties[] = {
    {.name = "Supported", .type = "b", .index = 0, .raw = Raw::I32},
    {.name = "Enable", .type = "b", .index = 1, .raw = Raw::U8, .write = igd1::store_value,
     .write_log = "set Enable value:%d"},
    {.name = "VLANID", .type = "u", .index = 2, .raw = Raw::U32, .write = igd1::store_value,
     .stored = Stored::U32, .write_log = "set VLANID value:%d"},
    {.name = "SubDeviceNumber", .type = "u", .index = 3, .raw = Raw::U32},
};

// The object's own wording of the engine's texts.
const char *wording(igd1::ObjectText text, int *level) {
  using enum igd1::ObjectText;
  switch (text) {
    case StoreRefused: return "Invalid parameter value";
    default: return igd1::names_written_property(text, level);
  }
}

constexpr igd1::SingleObject kObject = {
    .path = nullptr,
    .xml_file = "SubIPTVSupport.xml",
    .properties = kProperties,
    .get = SubIPTVSupport_get_property,
    .set = SubIPTVSupport_set_property,
    .wording = wording,
};

}  // namespace

IGD1_READ_HANDLER(SubIPTVSupport_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(SubIPTVSupport_handle_set_property, SubIPTVSupport_handle_set_multi_properties,
                    kObject)
IGD1_SINGLE_OBJECT(SubIPTVSupport, SubIPTVSupport_introspection_data, kObject, nullptr,
                   SubIPTVSupport_handle_get_property, SubIPTVSupport_handle_set_property,
                   SubIPTVSupport_handle_set_multi_properties)
