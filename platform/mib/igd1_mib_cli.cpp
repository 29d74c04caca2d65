// igd1-mib: reads and changes the configuration store from the command line,
// also while the daemon runs.
//
// Exit status: 0 done, 1 the command failed (unknown key, refused value, the
// store cannot be opened), 2 the command line is wrong.
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "mib_store.h"
#include "sys_paths.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "usage: igd1-mib [--store FILE] COMMAND\n"
    "\n"
    "commands:\n"
    "  dump             every setting, every table row and the journal size\n"
    "  get KEY          print the value of KEY\n"
    "  set KEY VALUE    change the value of KEY (it must exist)\n"
    "  journal          service notices: seq, time, bit, action, data (tab-separated)\n"
    "  add TABLE        add a row with every field zero; prints its instance number\n"
    "  remove TABLE N   remove the row with instance number N\n"
    "\n"
    "KEY is a setting name (lan.IPAddress) or a table cell (portmapping[3].ExternalPort).\n"
    "\n"
    "options:\n"
    "  --store FILE     the database (default: /var/lib/igd1/mib.db below $IGD1_ROOT)\n"
    "  --help           show this text\n";

int usage_error(const char *problem) {
  std::fprintf(stderr, "igd1-mib: %s\n%s", problem, kUsage);
  return kExitUsage;
}

int failed(const std::string &message) {
  std::fprintf(stderr, "igd1-mib: %s\n", message.c_str());
  return kExitFailed;
}

// A key naming one table cell: "table[inst].Column".
struct CellKey {
  std::string table;
  unsigned instance = 0;
  std::string column;
};

enum class KeyKind { Setting, Cell, Malformed };

KeyKind parse_key(std::string_view key, CellKey *cell) {
  size_t open = key.find('[');
  if (open == std::string_view::npos) return key.empty() ? KeyKind::Malformed : KeyKind::Setting;
  size_t close = key.find("].", open);
  if (open == 0 || close == std::string_view::npos || close + 2 >= key.size()) return KeyKind::Malformed;
  std::string_view digits = key.substr(open + 1, close - open - 1);
  unsigned instance = 0;
  auto [stop, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), instance);
  if (digits.empty() || ec != std::errc() || stop != digits.data() + digits.size() || instance < 1 ||
      instance > 255) {
    return KeyKind::Malformed;
  }
  cell->table = std::string(key.substr(0, open));
  cell->instance = instance;
  cell->column = std::string(key.substr(close + 2));
  return KeyKind::Cell;
}

int command_dump() {
  for (const std::string &line : igd1::mib::dump_lines()) std::printf("%s\n", line.c_str());
  return kExitOk;
}

int command_get(std::string_view key) {
  CellKey cell;
  switch (parse_key(key, &cell)) {
    case KeyKind::Malformed:
      return failed("malformed key '" + std::string(key) + "'");
    case KeyKind::Setting: {
      std::optional<std::string> value = igd1::mib::get_setting(key);
      if (!value) return failed("no setting named '" + std::string(key) + "'");
      std::printf("%s\n", value->c_str());
      return kExitOk;
    }
    case KeyKind::Cell: {
      std::optional<std::string> value = igd1::mib::get_cell(cell.table, cell.instance, cell.column);
      if (!value) return failed("no table cell '" + std::string(key) + "'");
      std::printf("%s\n", value->c_str());
      return kExitOk;
    }
  }
  return kExitFailed;
}

// Only existing keys can be set, so that a typing mistake is reported rather
// than creating a setting nobody reads.
int command_set(std::string_view key, std::string_view value) {
  CellKey cell;
  switch (parse_key(key, &cell)) {
    case KeyKind::Malformed:
      return failed("malformed key '" + std::string(key) + "'");
    case KeyKind::Setting: {
      if (!igd1::mib::get_setting(key)) return failed("no setting named '" + std::string(key) + "'");
      std::string text(value);
      // A default setting has a known kind: check the value against it and
      // store it in canonical form, as a module writing it would.
      if (const igd1::mib::Item *item = igd1::mib::default_item(key)) {
        std::vector<unsigned char> buffer(item->size);
        if (!igd1::mib::parse_value(item->kind, value, buffer.data(), buffer.size())) {
          return failed("refused value '" + text + "' for " + std::string(key));
        }
        text = igd1::mib::format_value(item->kind, buffer.data(), buffer.size());
      }
      if (!igd1::mib::set_setting(key, text)) return failed("cannot write " + std::string(key));
      return kExitOk;
    }
    case KeyKind::Cell: {
      if (!igd1::mib::get_cell(cell.table, cell.instance, cell.column)) {
        return failed("no table cell '" + std::string(key) + "'");
      }
      if (!igd1::mib::set_cell(cell.table, cell.instance, cell.column, value)) {
        return failed("refused value '" + std::string(value) + "' for " + std::string(key));
      }
      return kExitOk;
    }
  }
  return kExitFailed;
}

// Rows added or removed here are not seen by a running daemon until it is
// told (igd1-notify row-inserted / row-removed).
int command_add(std::string_view name) {
  const igd1::mib::TableDef *table = igd1::mib::find_table(name);
  if (table == nullptr) return failed("no table named '" + std::string(name) + "'");
  std::vector<uint8_t> row(table->row_size, 0);
  if (!igd1::mib::table_insert(*table, row.data())) return failed(std::string(name) + " is full");
  std::printf("%u\n", row[0]);
  return kExitOk;
}

int command_remove(std::string_view name, std::string_view number) {
  const igd1::mib::TableDef *table = igd1::mib::find_table(name);
  if (table == nullptr) return failed("no table named '" + std::string(name) + "'");
  unsigned instance = 0;
  auto [stop, ec] = std::from_chars(number.data(), number.data() + number.size(), instance);
  if (ec != std::errc() || stop != number.data() + number.size() ||
      !igd1::mib::table_remove(*table, instance)) {
    return failed("no row " + std::string(number) + " in " + std::string(name));
  }
  return kExitOk;
}

int command_journal() {
  for (const igd1::mib::JournalEntry &entry : igd1::mib::journal()) {
    std::printf("%lld\t%s\t0x%x\t%d\t%s\n", static_cast<long long>(entry.seq), entry.time.c_str(),
                entry.bit, entry.action, igd1::mib::one_line(entry.data).c_str());
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char **argv) {
  std::string store;
  bool store_given = false;
  int next = 1;
  // Options come before the command, so a value such as "-1" after it is
  // never taken for one.
  for (; next < argc; ++next) {
    std::string_view arg = argv[next];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    if (arg == "--store") {
      if (next + 1 >= argc) return usage_error("--store needs a file");
      store = argv[++next];
      store_given = true;
    } else if (arg.starts_with("--store=")) {
      store = std::string(arg.substr(std::strlen("--store=")));
      store_given = true;
    } else if (arg == "--") {
      ++next;
      break;
    } else if (arg.starts_with("-")) {
      return usage_error(("unknown option " + std::string(arg)).c_str());
    } else {
      break;
    }
  }
  if (store_given && store.empty()) return usage_error("--store needs a file");
  if (next >= argc) return usage_error("no command");

  std::string_view command = argv[next];
  std::vector<std::string_view> args(argv + next + 1, argv + argc);
  size_t wanted;
  if (command == "dump" || command == "journal") {
    wanted = 0;
  } else if (command == "get" || command == "add") {
    wanted = 1;
  } else if (command == "set" || command == "remove") {
    wanted = 2;
  } else {
    return usage_error(("unknown command " + std::string(command)).c_str());
  }
  if (args.size() != wanted) return usage_error(("wrong number of arguments for " + std::string(command)).c_str());

  if (!store_given) store = igd1::sys_path(igd1::path::kStoreFile);
  std::string error;
  if (!igd1::mib::open_store(store, &error)) return failed("cannot open the store: " + error);

  int status;
  if (command == "dump") {
    status = command_dump();
  } else if (command == "get") {
    status = command_get(args[0]);
  } else if (command == "set") {
    status = command_set(args[0], args[1]);
  } else if (command == "add") {
    status = command_add(args[0]);
  } else if (command == "remove") {
    status = command_remove(args[0], args[1]);
  } else {
    status = command_journal();
  }
  igd1::mib::close_store();
  if (std::fflush(stdout) != 0) return kExitFailed;
  return status;
}
