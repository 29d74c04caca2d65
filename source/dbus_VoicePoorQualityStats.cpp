// Calls the voice line judged poor: /com/wqx/igd1/Info/Voice/PoorQualityStats,
// one read-only row per record, numbered from 1, oldest first.  Clients
// cannot add rows; DeleteObject withdraws a row from the bus and leaves the
// line's record alone.  A record the line adds later is exported through
// VoicePoorQualityStats_add_interface.
#include <cstring>

#include "mib_diag.h"
#include "voice_diag.h"

namespace {

using igd1::Field;
using igd1::RowProperty;

// A row is its number: the values are read from the line by it.
struct Record {
  uint32_t number;
};

int record_at(uint32_t position, void *row) {
  if (position >= uint32_t(VoicePoorQualityStats_dbus_num())) return 0;
  const Record record{position + 1};
  std::memcpy(row, &record, sizeof record);
  return 1;
}

int record_item(int item, void *output, const void *row) {
  Record record;
  std::memcpy(&record, row, sizeof record);
  return VoicePoorQualityStats_get_property(item, output, record.number);
}

void unexport_only(const igd1::PendingCall &call, GVariant *) {
  const uint32_t row = call.context().instance;
  if (row == 0) {
    call.fail_named(igd1::kObjectManagerError, "DeleteObject object path error");
    return;
  }
  VoicePoorQualityStats_del_interface(row);
  call.reply(nullptr);
}

// The records as a table reached by position.
constexpr mib_table_ops kRecords = {.row_size = sizeof(Record),
                                    .instance_size = 4,
                                    .row_count = VoicePoorQualityStats_dbus_num,
                                    .row_at = record_at,
                                    .get_item = record_item};

constexpr uint32_t kText = 64;
constexpr RowProperty kProperties[] = {
    {.name = "StatTime", .field = Field::Item, .size = kText, .item = 0},
    {.name = "TxPackets", .type = "t", .field = Field::Item, .item = 1},
    {.name = "RxPackets", .type = "t", .field = Field::Item, .item = 2},
    {.name = "MeanDelay", .type = "u", .field = Field::Item, .item = 3},
    {.name = "MeanJitter", .type = "u", .field = Field::Item, .item = 4},
    {.name = "FractionLoss", .type = "u", .field = Field::Item, .item = 5},
    {.name = "LocalIPAddress", .field = Field::Item, .size = kText, .item = 6},
    {.name = "LocalUDPPort", .type = "u", .field = Field::Item, .item = 7},
    {.name = "FarEndIPAddress", .field = Field::Item, .size = kText, .item = 8},
    {.name = "FarEndUDPPort", .type = "u", .field = Field::Item, .item = 9},
    {.name = "MosLq", .type = "u", .field = Field::Item, .item = 10},
    {.name = "Codec", .field = Field::Item, .size = kText, .item = 11},
};

constexpr igd1::Method kMethods[] = {{.name = "DeleteObject", .handler = unexport_only}};

// The module's own wording of the engine's texts.
const char *wording(igd1::RowText text) {
  using enum igd1::RowText;
  switch (text) {
    case AddFailed: return "##########not support to AddObject yet";
    default: return nullptr;
  }
}

constexpr igd1::RowModule kModule = {
    .manager_path = "/com/wqx/igd1/Info/Voice/PoorQualityStats",
    .properties = kProperties,
    .table = {.store = &kRecords},
    .texts = {.wording = wording},
    .announce = igd1::Announce::Never,
    .add = igd1::Adding::refuse("org.freedesktop.DBus.Error.Failed"),
    .methods = kMethods,
};

}  // namespace

IGD1_ROW_COLLECTION(VoicePoorQualityStats, VoicePoorQualityStats_introspection_data,
                    "VoicePoorQualityStats", VoicePoorQualityStats_handle_get_property,
                    VoicePoorQualityStats_handle_set_property,
                    VoicePoorQualityStats_handle_set_multi_properties,
                    VoicePoorQualityStats_handle_object_mng_call, kModule, VoicePoorQualityStats)
