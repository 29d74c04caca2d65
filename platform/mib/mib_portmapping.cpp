// Port mappings: the table "portmapping", one 92-byte record per rule.
//
//   offset  width  column          form
//   0       1      (instance)      1-255
//   1       1      Enable          byte, non-zero on
//   4       4      LeaseDuration   32-bit seconds
//   8       4      RemoteHost      IPv4, network order (0.0.0.0 = any)
//   12      2      ExternalPort    16-bit
//   14      2      InternalPort    16-bit
//   16      1      Protocol        1 TCP, 2 UDP, 3 both
//   17      4      InternalClient  IPv4, network order
//   21      59     Description     NUL-terminated text
// Bytes 2-3 and 80-91 belong to other users of the record and are kept as
// they are.
//
// A changed record is announced with dbus_mib_update_cfg(MIB_CFG_PORTMAPPING,
// record, position): the record is stored, then the notice journalled.
// Withdrawing the forwarding rule of a removed record is journalled under
// kPortForwardingNoticeBit with the caller's action and "row N".
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "mib_api.h"
#include "mib_store.h"
#include "mib_table.h"

namespace {

using K = igd1::mib::ValueKind;

constexpr igd1::mib::Column kColumns[] = {
    {"Enable", K::U8, 1, 1},
    {"LeaseDuration", K::U32, 4, 4},
    {"RemoteHost", K::IPv4, 8, 4},
    {"ExternalPort", K::U16, 12, 2},
    {"InternalPort", K::U16, 14, 2},
    {"Protocol", K::U8, 16, 1},
    {"InternalClient", K::IPv4, 17, 4},
    {"Description", K::Text, 21, 59},
};

constexpr igd1::mib::TableSpec kSpec = {
    .def = igd1::mib::record_table("portmapping", "PortMapping", PORTMAPPING_ROW_SIZE, kColumns,
                                   255),
    .prefix = "portmapping",
};
igd1::mib::Table g_table(kSpec);

std::string address_text(const uint8_t *bytes) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, bytes, text, sizeof text);
  return text;
}

std::string row_text(const void *data) {
  const auto *row = static_cast<const uint8_t *>(data);
  char description[60] = "";
  std::memcpy(description, row + 21, 59);
  char text[256];
  std::snprintf(text, sizeof text,
                "inst=%u enable=%u lease=%u remote=%s external=%u internal=%u protocol=%u "
                "client=%s description=%s",
                row[0], row[1], igd1::mib::load<uint32_t>(row + 4), address_text(row + 8).c_str(),
                igd1::mib::load<uint16_t>(row + 12), igd1::mib::load<uint16_t>(row + 14), row[16],
                address_text(row + 17).c_str(), description);
  return igd1::mib::one_line(text);
}

bool store_changed_row(const void *data, int) { return g_table.update(data) == nullptr; }

struct Registration {
  Registration() {
    igd1::mib::register_notice_formatter(MIB_CFG_PORTMAPPING, row_text);
    igd1::mib::register_notice_applier(MIB_CFG_PORTMAPPING, store_changed_row);
  }
};
const Registration kRegistration;

bool fails(const char *accessor) { return igd1::mib::should_fail(accessor, 0); }

}  // namespace

int portmapping_update_all(void) { return g_table.init() ? 1 : 0; }

mib_list_node *portmapping_get_list(int) { return g_table.list(); }

mib_list_node *portmapping_get_list_by_instnum(uint32_t instance, uint32_t *index) {
  return g_table.find(instance, index);
}

int portmapping_insert_entry(void *row) { return g_table.insert(row) ? 1 : 0; }

int portmapping_remove_entry(uint32_t index, mib_list_node *node) {
  return g_table.remove(index, node) ? 1 : 0;
}

int portmapping_host_save_mib(void) {
  if (fails("portmapping_host_save_mib")) return 0;
  return dbus_do_ExtraMIB2flash();
}

int apply_PortForwarding(int action, int index, int) {
  if (fails("apply_PortForwarding")) return 0;
  igd1::mib::journal_append(igd1::mib::kPortForwardingNoticeBit, action,
                            "row " + std::to_string(index));
  return 1;
}

const mib_table_ops portmapping_table =
    igd1::mib::table_ops<g_table, kSpec>({.save_mib = portmapping_host_save_mib});
