// The vendor-specific information-element tables: elements added to beacons
// (/com/wqx/igd1/VSIE/BeaconTxVSIE) and to probe responses
// (/com/wqx/igd1/VSIE/ProbeRspTxVSIE), and filters that capture elements of
// received probe requests (/com/wqx/igd1/VSIE/ProbeRxVSIE) with a record
// manager ".../<n>/Records" under each filter.
//
// What the three tables share: bands, the hex texts of OUIs and data, the
// row properties and table of a transmit table, and the manager objects
// that count the rows.
#pragma once

#include <cstddef>

#include "collection.h"
#include "mib_vsie.h"

namespace igd1::vsie {

inline constexpr Choice kBands[] = {
    {VSIE_BAND_24G, "2.4G", nullptr},
    {VSIE_BAND_5G, "5G", nullptr},
    {VSIE_BAND_ALL, "All", nullptr},
};

// Stores an OUI (exactly six hex digits) or element data (an even number of
// hex digits that fits the field) upper-case; refuses anything else with
// the property's `refused` text.
bool store_hex(const CallContext &call, const RowProperty &property, GVariant *value,
               uint8_t *row, bool *changed);

// A manager object counting the rows of a table of `max_entries` at most:
// MaxEntries and NumberOfEntries.  `count` answers the number of rows.
struct RowCount {
  uint32_t max_entries;
  int (*count)();
};
GVariant *read_row_count(const CallContext &call, const SingleObject &object,
                         const Property &property);
inline constexpr Property kRowCountProperties[] = {
    {.name = "MaxEntries", .type = "u", .read = read_row_count},
    {.name = "NumberOfEntries", .type = "u", .read = read_row_count},
};

// The properties of a transmit table's rows.
inline constexpr RowProperty kTxProperties[] = {
    {.name = "Enable", .type = "b", .field = Field::Flag, .offset = offsetof(vsie_tx_row, enable),
     .write_log = "set Enable value:%d"},
    {.name = "Band", .field = Field::Choice, .offset = offsetof(vsie_tx_row, band),
     .write_log = "set Band value:%s", .choices = kBands, .refused = "Invalid parameter value ,Band: {value}"},
    {.name = "SSIDIndex", .type = "u", .field = Field::Number,
     .offset = offsetof(vsie_tx_row, ssid_index), .size = 4, .write_log = "set SSIDIndex value:%d",
     .min = 0, .max = VSIE_MAX_SSID_INDEX, .refused = "Invalid parameter value ,SSIDIndex: {value}"},
    {.name = "OUI", .field = Field::Text, .offset = offsetof(vsie_tx_row, oui), .size = VSIE_OUI_SIZE,
     .write_log = "set OUI value:%s", .refused = "Invalid parameter value ,OUI: {value}",
     .write = store_hex},
    {.name = "Data", .field = Field::Text, .offset = offsetof(vsie_tx_row, data),
     .size = VSIE_DATA_SIZE, .write_log = "set Data value:%s",
     .refused = "Invalid parameter value ,Data: {value}", .write = store_hex},
};

// A new element is off and for every SSID of both bands.
void new_element(uint8_t *row);
// Hands the enabled elements of a frame to the radios.
bool apply_elements(vsie_frame frame, GError **error);

// The transmit table of `Frame`, and its module
// published at `manager_path` with its manager object `manager` (on the
// manager's path from `manager_xml_file`, or, with a null file, at the path
// its own file names).
// The texts of the element tables: a missing row names the handler, a full
// table says so.
inline const char *table_wording(RowText text) {
  switch (text) {
    case RowText::GetNoRow:
    case RowText::SetNoRow: return "func [%s] :invalid list num  %d ";
    case RowText::TableFull: return "Error! Table Full.";
    default: return nullptr;
  }
}

template <vsie_frame Frame>
struct TxTable {
  // A new element starts from the module's template.
  static int insert_entry(void *row) {
    new_element(static_cast<uint8_t *>(row));
    return store().insert_entry(row);
  }
  static constexpr const mib_table_ops &store() {
    return Frame == VSIE_BEACON ? vsieTx_beacon_table : vsieTx_probe_response_table;
  }
  static int count() { return vsieTx_get_list_totalnum(Frame); }
  // The radios get the elements once a row is stored (refused when they
  // cannot) or removed; a conformance run only checks the bus: the radios
  // keep their elements then.
  static Begin apply(const CallContext &call, RowStep step, const uint8_t *, GVariant *) {
    if (step == RowStep::Committed && !apply_elements(Frame, call.error)) return Begin::Refuse;
    if (step == RowStep::Deleted && !call.test_run()) apply_elements(Frame, nullptr);
    return Begin::Apply;
  }

  static constexpr RowModule module(const char *manager_path, const SingleObject *manager,
                                    const char *manager_xml_file) {
    return {.manager_path = manager_path,
            .properties = kTxProperties,
            .table = {.store = &store(), .insert_entry = insert_entry},
            .texts = {.wording = table_wording},
            .add = Adding::insert(VSIE_MAX_TX_ROWS),
            .manager_interface = {.object = manager, .xml = manager_xml_file},
            .on = apply};
  }
};

}  // namespace igd1::vsie
