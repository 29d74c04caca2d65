// Row reads and writes through the store's table accessors, as the bus
// modules make them, for counting instructions per call under callgrind:
//   valgrind --tool=callgrind igd1_table_calls read 1000
// and the same with 2000; the difference over 1000 is one call's cost.
//   read:  find a row by instance number and read one item of it
//   write: back the row up, set one item, store the copy, free it
#include <glib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "mib_api.h"
#include "mib_store.h"

int main(int argc, char **argv) {
  if (argc != 3 || (std::strcmp(argv[1], "read") != 0 && std::strcmp(argv[1], "write") != 0)) {
    std::fprintf(stderr, "usage: igd1_table_calls read|write COUNT\n");
    return 2;
  }
  const bool writes = std::strcmp(argv[1], "write") == 0;
  const long count = std::strtol(argv[2], nullptr, 10);
  g_autofree gchar *dir = g_dir_make_tmp("igd1-table-calls-XXXXXX", nullptr);
  std::string error;
  if (!igd1::mib::open_store(std::string(dir) + "/mib.db", &error)) {
    std::fprintf(stderr, "cannot open the store: %s\n", error.c_str());
    return 1;
  }
  BridgeDataAcl_init();
  uint8_t row[BRIDGE_DATA_ACL_ROW_SIZE] = {};
  if (BridgeDataAcl_insert_entry(row) == 0) return 1;
  const uint32_t instance = BridgeDataAclList_get_instnum(row);
  char text[BRIDGE_DATA_ACL_IP_SIZE];
  const char *addresses[] = {"192.168.1.20", "192.168.1.21"};
  for (long i = 0; i < count; ++i) {
    uint32_t position = 0;
    mib_list_node *node = BridgeDataAcl_get_list_by_instnum(instance, &position);
    if (node == nullptr) return 1;
    if (!writes) {
      if (BridgeDataAcl_get_mib_property(0, text, node->data) == 0) return 1;
      continue;
    }
    void *copy = BridgeDataAcl_backup_entry(node->data);
    const bool stored = copy != nullptr &&
                        BridgeDataAcl_set_mib_property(0, addresses[i % 2], copy) != 0 &&
                        BridgeDataAcl_update_entry_mib(copy) != 0;
    BridgeDataAcl_free_backup_entry(copy);
    if (!stored) return 1;
  }
  igd1::mib::close_store();
  std::filesystem::remove_all(dir);
  return 0;
}
