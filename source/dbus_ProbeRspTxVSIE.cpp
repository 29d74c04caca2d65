// Elements added to probe responses: /com/wqx/igd1/VSIE/ProbeRspTxVSIE, at
// most 16, one child per element; a manager object at the path its own
// file names counts them.  An enabled element goes to the radios once its
// row is stored or removed.
#include "vsie.h"

namespace {

using ProbeResponse = igd1::vsie::TxTable<VSIE_PROBE_RESPONSE>;

igd1::vsie::RowCount g_count = {VSIE_MAX_TX_ROWS, ProbeResponse::count};

constexpr igd1::SingleObject kManager = {
    .path = nullptr,
    .xml_file = "ProbeRspTxVSIEManager.xml",
    .properties = igd1::vsie::kRowCountProperties,
    .user_data = &g_count,
};

const igd1::PublishObject kManagerPublished(kManager);

constexpr igd1::RowModule kModule =
    ProbeResponse::module("/com/wqx/igd1/VSIE/ProbeRspTxVSIE", &kManager, nullptr);

}  // namespace

IGD1_ROW_COLLECTION(ProbeRspTxVSIE, ProbeRspTxVSIE_introspection_data, "ProbeRspTxVSIE",
                    ProbeRspTxVSIE_handle_get_property, ProbeRspTxVSIE_handle_set_property,
                    ProbeRspTxVSIE_handle_set_multi_properties,
                    ProbeRspTxVSIE_handle_object_mng_call, kModule, ProbeRspTxVSIE)
