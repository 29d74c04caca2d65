// Router advertisements to the home network: /com/wqx/igd1/Config/IPV6/RA.
// The configuration library keeps the intervals within the bounds routers
// must respect (the minimum at most three quarters of the maximum).
#include "ipv6_lan.h"

#include "mib_api.h"

namespace {

using igd1::Property;
using igd1::Raw;
using igd1::Stored;

constexpr auto store = igd1::store_value;

constexpr Property kProperties[] = {
    {.name = "Enable", .type = "b", .index = 0, .raw = Raw::U8, .write = store,
     .write_log = "Enable [%d]."},
    {.name = "MaxRtrAdvInterval", .type = "u", .index = 1, .raw = Raw::U32, .write = store,
     .stored = Stored::U32, .write_log = "MaxRtrAdvInterval [%d]."},
    {.name = "MinRtrAdvInterval", .type = "u", .index = 2, .raw = Raw::U32, .write = store,
     .stored = Stored::U32, .write_log = "MinRtrAdvInterval [%d]."},
    {.name = "AdvManagedFlag", .type = "b", .index = 3, .raw = Raw::U8, .write = store,
     .write_log = "AdvManagedFlag [%d]."},
    {.name = "AdvOtherConfigFlag", .type = "b", .index = 4, .raw = Raw::U8, .write = store,
     .write_log = "AdvOtherConfigFlag [%d]."},
};

constexpr igd1::SingleObject kObject = {
    .path = "/com/wqx/igd1/Config/IPV6/RA",
    .xml_file = "RouterAdvertisement.xml",
    .properties = kProperties,
    .get = RouterAdvertisement_get_mib_property,
    .set = RouterAdvertisement_set_mib_property,
    .wording = igd1::names_written_property,
};

}  // namespace

IGD1_READ_HANDLER(RouterAdvertisement_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(RouterAdvertisement_handle_set_property,
                    RouterAdvertisement_handle_set_multi_properties, kObject)
IGD1_SINGLE_OBJECT(RouterAdvertisement, RouterAdvertisement_introspection_data, kObject, nullptr,
                   RouterAdvertisement_handle_get_property, RouterAdvertisement_handle_set_property,
                   RouterAdvertisement_handle_set_multi_properties)
