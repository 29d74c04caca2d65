// Elements added to beacons: /com/wqx/igd1/VSIE/BeaconTxVSIE, at most 16,
// one child per element; the manager's own interface counts them.  An
// enabled element goes to the radios once its row is stored or removed.
#include "vsie.h"

namespace {

using Beacon = igd1::vsie::TxTable<VSIE_BEACON>;

igd1::vsie::RowCount g_count = {VSIE_MAX_TX_ROWS, Beacon::count};

constexpr igd1::SingleObject kManager = {
    .path = "/com/wqx/igd1/VSIE/BeaconTxVSIE",
    .xml_file = "BeaconTxVSIEManager.xml",
    .properties = igd1::vsie::kRowCountProperties,
    .user_data = &g_count,
};

const igd1::PublishObject kManagerPublished(kManager);

constexpr igd1::RowModule kModule =
    Beacon::module("/com/wqx/igd1/VSIE/BeaconTxVSIE", &kManager, "BeaconTxVSIEManager.xml");

}  // namespace

IGD1_ROW_COLLECTION(BeaconTxVSIE, BeaconTxVSIE_introspection_data, "BeaconTxVSIE",
                    BeaconTxVSIE_handle_get_property, BeaconTxVSIE_handle_set_property,
                    BeaconTxVSIE_handle_set_multi_properties, BeaconTxVSIE_handle_object_mng_call,
                    kModule, BeaconTxVSIEmanager)
