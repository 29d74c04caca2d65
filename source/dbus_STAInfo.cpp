// The stations associated with the radios: /com/wqx/igd1/Config/WLAN/STA,
// one read-only child per station, numbered by the radios while it stays
// associated and read afresh at every request.  Clients cannot add or delete
// stations; they can send one away.  Stations that come and go reach the
// tree through the row callbacks, a signal that turns weak or strong again
// through the event "low-signal".
#include <cstring>

#include "host_api.h"
#include "mib_wifi.h"
#include "stainfo.h"
#include "wifi_radio.h"

namespace {

using igd1::Field;
using igd1::RowProperty;

constexpr char kManagerPath[] = "/com/wqx/igd1/Config/WLAN/STA";
constexpr size_t kReasonMax = 63;

int station_count() { return STAInfo_dbus_num(); }

int station_at(uint32_t position, void *row) {
  return STAInfo_entry_at(position, static_cast<sta_info_record *>(row));
}

// A station found by its number is read afresh before it is used.
int station_numbered(uint32_t number, uint32_t *position, void *row) {
  auto *record = static_cast<sta_info_record *>(row);
  return STAInfo_find(number, position, record) != 0 && STAInfo_get_entry(record) != 0 ? 1 : 0;
}

int station_number_at(uint32_t position, uint32_t *number) {
  sta_info_record record;
  if (STAInfo_entry_at(position, &record) == 0) return 0;
  *number = record.number;
  return 1;
}

int station_item(int item, void *output, const void *row) {
  return STAInfo_get_property(item, output, static_cast<const sta_info_record *>(row));
}

// The stations as a table reached by position.
constexpr mib_table_ops kStations = {.row_size = sizeof(sta_info_record),
                                     .instance_offset = offsetof(sta_info_record, number),
                                     .instance_size = 4,
                                     .row_count = station_count,
                                     .row_at = station_at,
                                     .find_instance = station_numbered,
                                     .instance_at = station_number_at,
                                     .get_item = station_item};

// The radios are told first; the station leaves once they are done, and
// its object goes with it.
void deassociate(const igd1::PendingCall &call, GVariant *parameters) {
  const char *reason = nullptr;
  g_variant_get(parameters, "(&s)", &reason);
  const uint32_t number = call.context().instance;
  g_autofree gchar *path_error = g_strdup_printf("%s: get object path error", call.method());
  if (number == 0) {
    call.fail(G_DBUS_ERROR_UNKNOWN_METHOD, path_error);
    return;
  }
  sta_info_record record;
  uint32_t position = 0;
  if (station_numbered(number, &position, &record) == 0) {
    g_autofree gchar *text = g_strdup_printf("%s: invalid list num", call.method());
    call.fail(G_DBUS_ERROR_UNKNOWN_METHOD, text);
    return;
  }
  if (std::strlen(reason) > kReasonMax) {
    call.reply(g_variant_new("(us)", 1u, "reason too long"));
    return;
  }
  igd1::radio_then("deauth", igd1::mac_digits(record.mac),
                   [call, record, position, text = std::string(reason)](bool ok) mutable {
                     char message[64] = "the radio control program failed";
                     const uint32_t result =
                         ok ? uint32_t(STAInfo_SetSTADeassociationRequest(text.c_str(), &record, position, message))
                            : 1u;
                     call.reply(g_variant_new("(us)", result, message));
                   });
}

// A station's signal crossed the low mark: NUMBER MAC LOW RSSI.  A station
// that is gone by now is not reported.
int low_signal(const dbus_proxy_event_value *v, char *reason, size_t size) {
  sta_info_record record;
  if (STAInfo_find(uint32_t(v[0].number), nullptr, &record) == 0 ||
      std::memcmp(record.mac, v[1].mac, 6) != 0) {
    g_strlcpy(reason, "no such station", size);
    return 0;
  }
  g_autofree gchar *path = g_strdup_printf("%s/%u", kManagerPath, record.number);
  STAInfo_STARSSILowAlarm_emit_signal(path, igd1::mac_digits(record.mac).c_str(), v[2].number != 0,
                                      gint32(v[3].number), record.number);
  return 1;
}

constexpr dbus_proxy_event_arg kLowSignalArgs[] = {{"NUMBER", DBUS_PROXY_ARG_UINT32, 0},
                                                   {"MAC", DBUS_PROXY_ARG_MAC, 0},
                                                   {"LOW", DBUS_PROXY_ARG_BOOL, 0},
                                                   {"RSSI", DBUS_PROXY_ARG_INT32, 0}};
constexpr dbus_proxy_event kEvents[] = {{"low-signal", low_signal, kLowSignalArgs, 4}};

void start_up() {
  STAInfo_list_init();
  dbus_proxy_events_reg("STAInfo", kEvents, 1);
}

constexpr uint32_t kDigits = 13;
constexpr RowProperty kProperties[] = {
    {.name = "MAC_STA", .field = Field::Item, .size = kDigits, .item = 0},
    {.name = "Channel", .type = "u", .field = Field::Item, .item = 1},
    {.name = "BSSID", .field = Field::Item, .size = kDigits, .item = 2},
    {.name = "BSS_Transition", .type = "b", .field = Field::Item, .item = 3},
    {.name = "Beacon_Report_Support", .type = "b", .field = Field::Item, .item = 4},
    {.name = "RSSI", .type = "i", .field = Field::Item, .item = 5},
};

constexpr igd1::Method kMethods[] = {
    {.name = "SetSTADeassociationRequest", .handler = deassociate, .answer = igd1::Answer::Later},
};

// The module's own wording of the engine's texts.
const char *wording(igd1::RowText text) {
  using enum igd1::RowText;
  switch (text) {
    case GetNoRow: return "func [%s] :invalid list num  %d";
    case AddFailed: return "##########not support to AddObject yet";
    case DeleteRefused: return "##########not support to DeleteObject yet";
    default: return nullptr;
  }
}

constexpr igd1::RowModule kModule = {
    .manager_path = kManagerPath,
    .properties = kProperties,
    .table = {.store = &kStations},
    .texts = {.wording = wording},
    .announce = igd1::Announce::Never,
    .add = igd1::Adding::refuse("org.freedesktop.DBus.Error.Failed"),
    .max_instance = 4096,
    .on = igd1::at_step<igd1::RowStep::Started, start_up>,
    .methods = kMethods,
};

}  // namespace

IGD1_ROW_COLLECTION(STAInfo, STAInfo_introspection_data, "STAInfo", STAInfo_handle_get_property,
                    STAInfo_handle_set_property, STAInfo_handle_set_multi_properties,
                    STAInfo_handle_object_mng_call, kModule, STAInfo)

void STAInfo_STARSSILowAlarm_emit_signal(const char *path, const char *mac, gboolean flag, gint32 rssi,
                                         guint32 value) {
  if (g_pIdg1_connection == nullptr || path == nullptr || mac == nullptr) return;
  g_dbus_connection_emit_signal(g_pIdg1_connection, nullptr, path, "com.wqx.igd1.STAInfo", "STARSSILowAlarm",
                                g_variant_new("(sbiu)", mac, flag, rssi, value), nullptr);
}
