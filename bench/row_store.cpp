// The cost of changing one field of a record of about 1 MB in the
// configuration store, as a module does it: the whole record handed to the
// row list, stored and committed.  Two layouts of the same record: its three
// long lists as text columns, and the same bytes kept verbatim (covered by no
// column).  Counters: the write-ahead log's largest size during the run and
// the record size.
//   igd1_row_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <glib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "mib_rowlist.h"
#include "mib_store.h"

namespace {

namespace mib = igd1::mib;
using K = mib::ValueKind;

constexpr size_t kListSize = 327713;
constexpr size_t kEnableOffset = 1;
constexpr size_t kListsOffset = 4;
constexpr size_t kRowSize = kListsOffset + 3 * kListSize + 64;

constexpr mib::Column kListColumns[] = {
    {"Enable", K::U8, kEnableOffset, 1},
    {"Domains", K::Text, kListsOffset, kListSize},
    {"Ips", K::Text, kListsOffset + kListSize, kListSize},
    {"Macs", K::Text, kListsOffset + 2 * kListSize, kListSize},
};
constexpr mib::TableDef kColumnsTable = {
    .name = "benchlists", .module = nullptr, .row_size = kRowSize, .columns = kListColumns,
    .column_count = std::size(kListColumns), .max_rows = 4};
constexpr mib::TableDef kKeptTable = {
    .name = "benchkept", .module = nullptr, .row_size = kRowSize, .columns = kListColumns,
    .column_count = 1, .max_rows = 4};

std::vector<uint8_t> full_record() {
  std::vector<uint8_t> row(kRowSize, 0);
  for (size_t list = 0; list < 3; ++list) {
    char *text = reinterpret_cast<char *>(&row[kListsOffset + list * kListSize]);
    for (size_t i = 0; i + 1 < kListSize; ++i) text[i] = static_cast<char>('a' + (i * 7 + list) % 26);
  }
  return row;
}

off_t file_size(const std::string &path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_size : 0;
}

void BM_UpdateOneFieldOf1MBRecord(benchmark::State &state, const mib::TableDef *table) {
  g_autofree gchar *dir = g_dir_make_tmp("igd1-row-bench-XXXXXX", nullptr);
  const std::string path = std::string(dir) + "/mib.db";
  std::string error;
  if (!mib::open_store(path, &error) || !mib::register_table(*table)) {
    state.SkipWithError(("cannot open the store: " + error).c_str());
    return;
  }
  mib::RowList list(*mib::find_table(table->name));
  std::vector<uint8_t> row = full_record();
  if (!list.insert(row.data())) {
    state.SkipWithError("cannot insert the record");
    return;
  }
  off_t largest_wal = 0;
  uint8_t enable = 0;
  for (auto _ : state) {
    row[kEnableOffset] = enable ^= 1;
    if (!list.store(row.data())) {
      state.SkipWithError("update refused");
      break;
    }
    largest_wal = std::max(largest_wal, file_size(path + "-wal"));
  }
  state.counters["record_bytes"] = double(kRowSize);
  state.counters["largest_wal_bytes"] = double(largest_wal);
  mib::close_store();
  std::filesystem::remove_all(dir);
}

BENCHMARK_CAPTURE(BM_UpdateOneFieldOf1MBRecord, lists_as_text_columns, &kColumnsTable)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_UpdateOneFieldOf1MBRecord, lists_as_kept_bytes, &kKeptTable)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
