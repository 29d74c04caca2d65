// The sub-devices ("subdevice"): the room units of a fibre-to-the-room
// installation, each one row, written by the units themselves.  Items 0-31
// of the accessors follow mib_network_tables.h.
//
// The gateway measures the light it receives from each unit: the unit's
// transmit power less the loss of the room fibre (a 1:8 splitter, 10.5 dB,
// and 0.35 dB per km).  A unit whose received or measured power leaves the
// receivers' window (-27 to -8 dBm) is flagged with an optical error; the
// periodic poll stores those readings for the units that are active.
#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string>
#include <string_view>

#include "mib_network_seed.h"
#include "mib_network_tables.h"
#include "mib_table.h"

namespace {

using igd1::mib::put_text;
using K = igd1::mib::ValueKind;
using Unit = subdevice_row;

// In item order: the columns are the items.
constexpr igd1::mib::Column kItems[SUBDEVICE_ITEM_COUNT] = {
    MIB_MEMBER_COLUMN(Unit, "Manufacturer", K::Text, manufacturer),
    MIB_MEMBER_COLUMN(Unit, "MAC", K::Text, mac),
    MIB_MEMBER_COLUMN(Unit, "WQEI", K::Text, wqei),
    MIB_MEMBER_COLUMN(Unit, "ProductClass", K::Text, product_class),
    MIB_MEMBER_COLUMN(Unit, "SWVersion", K::Text, sw_version),
    MIB_MEMBER_COLUMN(Unit, "HDVersion", K::Text, hd_version),
    MIB_MEMBER_COLUMN(Unit, "SpecVersion", K::Text, spec_version),
    MIB_MEMBER_COLUMN(Unit, "DBusInterfaceVersion", K::Text, dbus_interface_version),
    MIB_MEMBER_COLUMN(Unit, "DevType", K::Text, dev_type),
    MIB_MEMBER_COLUMN(Unit, "Capability", K::Text, capability),
    MIB_MEMBER_COLUMN(Unit, "FlashSize", K::U32, flash_size),
    MIB_MEMBER_COLUMN(Unit, "RamSize", K::U32, ram_size),
    MIB_MEMBER_COLUMN(Unit, "DevName", K::Text, dev_name),
    MIB_MEMBER_COLUMN(Unit, "CPUUsage", K::U8, cpu_usage),
    MIB_MEMBER_COLUMN(Unit, "MEMUsage", K::U8, mem_usage),
    MIB_MEMBER_COLUMN(Unit, "FlashUsage", K::U8, flash_usage),
    MIB_MEMBER_COLUMN(Unit, "SysDuration", K::U32, sys_duration),
    MIB_MEMBER_COLUMN(Unit, "IPTVEnable", K::U8, iptv_enable),
    MIB_MEMBER_COLUMN(Unit, "IPTVEthPort", K::Text, iptv_eth_port),
    MIB_MEMBER_COLUMN(Unit, "VlanID", K::I32, vlan_id),
    MIB_MEMBER_COLUMN(Unit, "OptTemperature", K::Double, opt_temperature),
    MIB_MEMBER_COLUMN(Unit, "OptCurrent", K::Double, opt_current),
    MIB_MEMBER_COLUMN(Unit, "OptVoltage", K::Double, opt_voltage),
    MIB_MEMBER_COLUMN(Unit, "OptTxPower", K::Double, opt_tx_power),
    MIB_MEMBER_COLUMN(Unit, "OptRxPower", K::Double, opt_rx_power),
    MIB_MEMBER_COLUMN(Unit, "ONTDistance", K::I32, ont_distance),
    MIB_MEMBER_COLUMN(Unit, "LastDownCause", K::Text, last_down_cause),
    MIB_MEMBER_COLUMN(Unit, "LastDownTime", K::Text, last_down_time),
    MIB_MEMBER_COLUMN(Unit, "DnOptRxPower", K::Double, dn_opt_rx_power),
    MIB_MEMBER_COLUMN(Unit, "OptErrStatus", K::U8, opt_err_status),
    MIB_MEMBER_COLUMN(Unit, "PONSN", K::Text, pon_sn),
    MIB_MEMBER_COLUMN(Unit, "Active", K::U8, active),
};

// Every column is an item; loads are percentages (every byte but the IPTV switch).
constexpr auto kItemList = [] {
  std::array<igd1::mib::TableItem, SUBDEVICE_ITEM_COUNT> items{};
  for (size_t i = 0; i < items.size(); ++i) {
    items[i].column = i;
    if (kItems[i].kind == K::U8 && kItems[i].offset != offsetof(Unit, iptv_enable))
      items[i].high = 100;
  }
  return items;
}();

constexpr char kUnitPaths[] = "/com/wqx/igd1/Config/SubDeviceInfo/";
constexpr double kRoomFibreLoss = 10.5;  // dB: the 1:8 splitter of the room fibres
constexpr double kLossPerKm = 0.35;      // dB
constexpr double kWeakest = -27.0;       // dBm the receivers still take
constexpr double kStrongest = -8.0;

// The readings the gateway works out for a unit.
void measure(Unit &u) {
  u.dn_opt_rx_power =
      std::round((u.opt_tx_power - kRoomFibreLoss - kLossPerKm * u.ont_distance / 1000.0) * 100) /
      100;
  auto outside = [](double power) { return power < kWeakest || power > kStrongest; };
  u.opt_err_status = outside(u.opt_rx_power) || outside(u.dn_opt_rx_power) ? 1 : 0;
}

Unit unit(uint8_t instance, const char *mac, const char *name, const char *serial,
          int32_t distance, double tx, double rx, uint32_t uptime) {
  Unit u{};
  u.instance = instance;
  u.active = 1;
  put_text(u.manufacturer, "Wqx Networks");
  put_text(u.mac, mac);
  put_text(u.wqei, serial);
  put_text(u.product_class, "HG8-R1");
  put_text(u.sw_version, "V1.4.0.0212");
  put_text(u.hd_version, "HG8R1.B");
  put_text(u.spec_version, "Q/WQ 2603-2018");
  put_text(u.dbus_interface_version, "1.2");
  put_text(u.dev_type, "FTTR-Slave");
  put_text(u.capability, "1GE+WiFi2.4G+WiFi5G");
  put_text(u.dev_name, name);
  put_text(u.iptv_eth_port, "LAN1");
  put_text(u.pon_sn, serial);
  u.flash_size = 134217728;
  u.ram_size = 268435456;
  u.cpu_usage = 4;
  u.mem_usage = 31;
  u.flash_usage = 22;
  u.sys_duration = uptime;
  u.vlan_id = 43;
  u.ont_distance = distance;
  u.opt_temperature = 41.5;
  u.opt_current = 12.8;
  u.opt_voltage = 3.29;
  u.opt_tx_power = tx;
  u.opt_rx_power = rx;
  // Seeded as the poll would store them, so that the first poll of an idle
  // gateway finds nothing to write.
  measure(u);
  return u;
}

std::vector<uint8_t> default_units() {
  return igd1::mib::records(std::vector<Unit>{
      unit(1, "a4:3e:51:1c:02:41", "Living room", "WQXF10C02410", 18, 2.1, -14.6, 86400),
      unit(2, "a4:3e:51:1c:07:9a", "Study", "WQXF10C079A0", 26, 1.8, -15.9, 43200)});
}

constexpr igd1::mib::TableSpec kSpec = {
    .def = igd1::mib::record_table("subdevice", "SubDeviceInfo", sizeof(Unit), kItems, 16),
    .prefix = "subdeviceinfo",
    .items = kItemList,
    .seed_marker = "subdevice.Seeded",
    .seed = default_units,
};
igd1::mib::Table g_units(kSpec);
igd1::mib::RowList &units() { return g_units.rows(); }

std::string now_text() {
  char text[24] = "";
  const time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  strftime(text, sizeof text, "%F %T", &local);
  return text;
}

}  // namespace

int subdeviceinfo_update_all(void) { return g_units.init() ? 1 : 0; }

mib_list_node *subdeviceinfo_get_list(int) { return g_units.list(); }

mib_list_node *subdeviceinfo_get_list_by_instnum(uint32_t instance, uint32_t *index) {
  return g_units.find(instance, index);
}

uint32_t subdeviceinfo_get_instnum(const void *row) { return g_units.instance_of(row); }

int subdeviceinfo_get_property(int item, void *output, const void *row) {
  return !g_units.fails("get_property", item) && g_units.get(item, output, row) ? 1 : 0;
}

int subdeviceinfo_set_property(int item, const void *value, void *row) {
  return !g_units.fails("set_property", item) && g_units.set(item, value, row) ? 1 : 0;
}

void *subdeviceinfo_backup_entry(const void *row) { return g_units.backup(row); }

int subdeviceinfo_update_entry(const void *copy, uint32_t instance) {
  return g_units.instance_of(copy) == instance && g_units.update(copy) == nullptr ? 1 : 0;
}

void subdeviceinfo_update_pon2entry(void *row) {
  if (row == nullptr || g_units.fails("update_pon2entry")) return;
  Unit u = igd1::mib::load<Unit>(row);
  measure(u);
  std::memcpy(row, &u, sizeof u);
}

int subdeviceinfo_deactive_onu(const char *path, char *errdesc, size_t size) {
  if (errdesc == nullptr || size == 0) return 0;
  auto answer = [&](const char *text, int result) {
    g_strlcpy(errdesc, text, size);
    return result;
  };
  const std::string_view given(path != nullptr ? path : "");
  const std::string_view prefix(kUnitPaths);
  const auto number = given.starts_with(prefix)
                          ? igd1::mib::parse_key_text(given.substr(prefix.size()))
                          : std::nullopt;
  mib_list_node *node = number && *number <= 255 ? units().find(*number) : nullptr;
  if (node == nullptr) return answer("no such device", 0);
  Unit u = igd1::mib::load<Unit>(node->data);
  if (u.active == 0) return answer("device is not active", 0);
  u.active = 0;
  put_text(u.last_down_cause, "Deactivated by the gateway");
  put_text(u.last_down_time, now_text().c_str());
  if (g_units.fails("deactive_onu") || !units().store(reinterpret_cast<const uint8_t *>(&u)))
    return answer("deactivation not stored", 0);
  return answer("success", 1);
}

gboolean DnOpt_status(gpointer) {
  if (igd1::mib::should_fail("DnOpt_status", 0)) return G_SOURCE_CONTINUE;
  std::vector<Unit> changed;
  for (mib_list_node *node = units().head(); node != nullptr; node = node->next) {
    Unit u = igd1::mib::load<Unit>(node->data);
    if (u.active == 0) continue;
    const Unit before = u;
    measure(u);
    if (u.dn_opt_rx_power != before.dn_opt_rx_power || u.opt_err_status != before.opt_err_status)
      changed.push_back(u);
  }
  for (const Unit &u : changed) units().store(reinterpret_cast<const uint8_t *>(&u));
  return G_SOURCE_CONTINUE;
}

const mib_table_ops subdeviceinfo_table = igd1::mib::table_ops<g_units, kSpec>(
    {.get_item = subdeviceinfo_get_property, .set_item = subdeviceinfo_set_property});
