// igd1-mib: reads and changes the configuration store from the command line,
// also while the daemon runs.
//
// Exit status: 0 done, 1 the command failed (unknown key, refused value, the
// store cannot be opened), 2 the command line is wrong.
#include <glib.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mib_store.h"
#include "mib_table.h"
#include "store_checks.h"
#include "sys_cli.h"
#include "sys_paths.h"

namespace {

constexpr int kExitOk = igd1::kCliExitOk;
constexpr int kExitFailed = igd1::kCliExitFailed;

constexpr char kCommands[] =
    "commands:\n"
    "  dump             every setting, every table row and the journal size\n"
    "  get KEY          print the value of KEY\n"
    "  set KEY VALUE    change the value of KEY (it must exist); the value is\n"
    "                   checked as a bus write of the property stored under KEY\n"
    "                   would be, and refused with the text a bus client gets,\n"
    "                   unless --force is given\n"
    "  journal          service notices: seq, time, bit, action, data (tab-separated)\n"
    "  add TABLE        add a row with every field zero; prints its instance number\n"
    "  add TABLE --parent P\n"
    "                   the same in a nested table, under row P of its parent table;\n"
    "                   prints P/instance\n"
    "  remove TABLE N   remove the row with instance number N\n"
    "\n"
    "KEY is a setting name (lan.IPAddress) or a table cell (portmapping[3].ExternalPort).\n"
    "Passwords are shown as ******** in dump unless --show-secrets is given.\n"
    "\n"
    "Exit status: 0 done, 1 the command failed, 2 the command line is wrong.\n";

struct Flags {
  gboolean json = FALSE;
  gboolean show_secrets = FALSE;
  gboolean force = FALSE;
};
Flags g_flags;

int failed(const std::string &message) {
  std::fprintf(stderr, "igd1-mib: %s\n", message.c_str());
  return kExitFailed;
}

// ---- JSON output -----------------------------------------------------------------

std::string json_string(std::string_view text) {
  g_autofree gchar *valid = g_utf8_make_valid(text.data(), gssize(text.size()));
  std::string out = "\"";
  for (const char *c = valid; *c != '\0'; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          out += escaped;
        } else {
          out += char(byte);
        }
    }
  }
  return out + "\"";
}

// Undoes one_line(): "\\\\", "\\n", "\\t" and "\\xHH".
std::string from_one_line(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char next = text[++i];
    if (next == 'n') out += '\n';
    else if (next == 't') out += '\t';
    else if (next == 'x' && i + 2 < text.size() && g_ascii_isxdigit(text[i + 1]) && g_ascii_isxdigit(text[i + 2])) {
      out += char(g_ascii_xdigit_value(text[i + 1]) * 16 + g_ascii_xdigit_value(text[i + 2]));
      i += 2;
    } else out += next;
  }
  return out;
}

// A setting or cell whose name says it holds a password.
bool is_secret(std::string_view key) {
  std::string_view name = key.substr(key.rfind('.') == std::string_view::npos ? 0 : key.rfind('.') + 1);
  g_autofree gchar *lower = g_ascii_strdown(name.data(), gssize(name.size()));
  return g_str_has_suffix(lower, "password") || g_str_has_suffix(lower, "passwd") ||
         g_str_has_suffix(lower, "pwd");
}

constexpr char kMasked[] = "********";

// A key naming one table cell: "table[inst].Column", in a nested table
// "table[parent/inst].Column".
struct CellKey {
  std::string table;
  igd1::mib::RowKey row = 0;
  std::string column;
};

enum class KeyKind { Setting, Cell, Malformed };

KeyKind parse_key(std::string_view key, CellKey *cell) {
  size_t open = key.find('[');
  if (open == std::string_view::npos) return key.empty() ? KeyKind::Malformed : KeyKind::Setting;
  size_t close = key.find("].", open);
  if (open == 0 || close == std::string_view::npos || close + 2 >= key.size()) return KeyKind::Malformed;
  std::optional<igd1::mib::RowKey> row = igd1::mib::parse_key_text(key.substr(open + 1, close - open - 1));
  if (!row || igd1::mib::key_instance(*row) == 0) return KeyKind::Malformed;
  cell->table = std::string(key.substr(0, open));
  cell->row = *row;
  cell->column = std::string(key.substr(close + 2));
  return KeyKind::Cell;
}

int command_dump() {
  std::vector<std::string> lines = igd1::mib::dump_lines();
  if (g_flags.json) std::printf("{");
  bool first = true;
  for (const std::string &line : lines) {
    size_t equals = line.find('=');
    std::string key = line.substr(0, equals);
    std::string value = equals == std::string::npos ? "" : line.substr(equals + 1);
    if (!g_flags.show_secrets && is_secret(key)) value = kMasked;
    if (g_flags.json) {
      std::printf("%s\n  %s: %s", first ? "" : ",", json_string(key).c_str(),
                  json_string(from_one_line(value)).c_str());
    } else {
      std::printf("%s=%s\n", key.c_str(), value.c_str());
    }
    first = false;
  }
  if (g_flags.json) std::printf("\n}\n");
  return kExitOk;
}

// The value stored under `key`, and what the key names in `kind` and `cell`;
// nothing, with `status` the failure reported, when the key is malformed or
// names nothing that is stored.
std::optional<std::string> stored_value(std::string_view key, KeyKind *kind, CellKey *cell, int *status) {
  *kind = parse_key(key, cell);
  if (*kind == KeyKind::Malformed) {
    *status = failed("malformed key '" + std::string(key) + "'");
    return std::nullopt;
  }
  std::optional<std::string> value = *kind == KeyKind::Setting
                                         ? igd1::mib::get_setting(key)
                                         : igd1::mib::get_cell(cell->table, cell->row, cell->column);
  if (!value)
    *status = failed((*kind == KeyKind::Setting ? "no setting named '" : "no table cell '") + std::string(key) + "'");
  return value;
}

int command_get(std::string_view key) {
  KeyKind kind;
  CellKey cell;
  int status = kExitFailed;
  const std::optional<std::string> value = stored_value(key, &kind, &cell, &status);
  if (!value) return status;
  if (g_flags.json) std::printf("{%s: %s}\n", json_string(key).c_str(), json_string(*value).c_str());
  else std::printf("%s\n", value->c_str());
  return kExitOk;
}

// Room for a bus refusal's text; longer ones are cut by the check.
constexpr size_t kRefusalRoom = 1024;

int refused_by_bus(std::string_view key, std::string_view value, const char *refusal) {
  return failed("refused value '" + std::string(value) + "' for " + std::string(key) + ": " + refusal);
}

// What a bus write of the property that keeps `key` says of `value`: the
// value may be stored (also when no property keeps it, and with --force),
// or the command fails with the bus's refusal.
bool bus_accepts_setting(std::string_view key, const std::string &value, int *status) {
  if (g_flags.force) return true;
  char refusal[kRefusalRoom] = "";
  if (igd1_check_setting(std::string(key).c_str(), value.c_str(), refusal, sizeof refusal) != 0)
    return true;
  *status = refused_by_bus(key, value, refusal);
  return false;
}

bool bus_accepts_cell(std::string_view key, const CellKey &cell, std::string_view value, int *status) {
  if (g_flags.force) return true;
  const igd1::mib::TableDef *table = igd1::mib::find_table(cell.table);
  if (table == nullptr) return true;
  const igd1::mib::Column *column = nullptr;
  for (size_t i = 0; i < table->column_count; ++i)
    if (cell.column == table->columns[i].name) column = &table->columns[i];
  // The rows in key order, as the daemon's tables hold them.
  const std::vector<std::vector<uint8_t>> rows = igd1::mib::table_rows(*table);
  const auto row = std::find_if(rows.begin(), rows.end(), [&](const std::vector<uint8_t> &r) {
    return igd1::mib::row_key_of(*table, r.data()) == cell.row;
  });
  if (column == nullptr || row == rows.end()) return true;  // the store refuses it itself
  std::vector<uint8_t> candidate = *row;
  // A value the column cannot hold is the store's to refuse.
  if (!igd1::mib::parse_value(column->kind, value, candidate.data() + column->offset, column->size))
    return true;
  const std::string text(value);
  const igd1_cell_change change{.table = table->name,
                                .column = column->name,
                                .module = table->module,
                                .row = row->data(),
                                .candidate = candidate.data(),
                                .row_size = row->size(),
                                .offset = column->offset,
                                .size = column->size,
                                .parent = igd1::mib::key_parent(cell.row),
                                .instance = igd1::mib::key_instance(cell.row),
                                .position = uint32_t(row - rows.begin()),
                                .value = text.c_str()};
  char refusal[kRefusalRoom] = "";
  if (igd1_check_cell(&change, refusal, sizeof refusal) == 0) {
    *status = refused_by_bus(key, value, refusal);
    return false;
  }
  // What the bus lets through may still be a record its device cannot run,
  // which a bus write's commit refuses: so does this.
  const std::string unrunnable = igd1::mib::change_refusal(table->name, row->data(), candidate.data());
  if (unrunnable.empty()) return true;
  *status = refused_by_bus(key, value, unrunnable.c_str());
  return false;
}

// Only existing keys can be set, so that a typing mistake is reported rather
// than creating a setting nobody reads.
int command_set(std::string_view key, std::string_view value) {
  KeyKind kind;
  CellKey cell;
  int status = kExitFailed;
  if (!stored_value(key, &kind, &cell, &status)) return status;
  if (kind == KeyKind::Cell) {
    if (!bus_accepts_cell(key, cell, value, &status)) return status;
    if (!igd1::mib::set_cell(cell.table, cell.row, cell.column, value))
      return failed("refused value '" + std::string(value) + "' for " + std::string(key));
    return kExitOk;
  }
  std::string text(value);
  // A default setting has a known kind: check the value against it and
  // store it in canonical form, as a module writing it would.
  if (const igd1::mib::Item *item = igd1::mib::default_item(key)) {
    std::vector<unsigned char> buffer(item->size);
    if (!igd1::mib::parse_value(item->kind, value, buffer.data(), buffer.size()))
      return failed("refused value '" + text + "' for " + std::string(key));
    text = igd1::mib::format_value(item->kind, buffer.data(), buffer.size());
  }
  if (!bus_accepts_setting(key, text, &status)) return status;
  if (!igd1::mib::set_setting(key, text)) return failed("cannot write " + std::string(key));
  return kExitOk;
}

// Rows added or removed here are not seen by a running daemon until it is
// told (igd1-notify row-inserted / row-removed).
int command_add(std::string_view name, std::optional<std::string_view> parent_text) {
  const igd1::mib::TableDef *table = igd1::mib::find_table(name);
  if (table == nullptr) return failed("no table named '" + std::string(name) + "'");
  std::vector<uint8_t> row(table->row_size, 0);
  // A nested table's row needs its parent row, which must exist; other
  // tables take none.
  const bool nested = table->parent_offset != 0;
  if (nested != parent_text.has_value())
    return failed(nested ? std::string(name) + " is nested: --parent P names the parent row"
                         : std::string(name) + " is not nested: it takes no --parent");
  if (nested) {
    std::optional<igd1::mib::RowKey> parent = igd1::mib::parse_key_text(*parent_text);
    const igd1::mib::TableDef *parents =
        table->parent_table != nullptr ? igd1::mib::find_table(table->parent_table) : nullptr;
    if (!parent || *parent == 0 || *parent > UINT32_MAX ||
        (parents != nullptr && !igd1::mib::table_row(*parents, *parent)))
      return failed("no parent row " + std::string(*parent_text) + " for " + std::string(name));
    igd1::mib::set_row_key(*table, row.data(), igd1::mib::row_key(uint32_t(*parent), 0));
  }
  if (!igd1::mib::table_insert(*table, row.data())) return failed(std::string(name) + " is full");
  std::printf("%s\n", igd1::mib::key_text(igd1::mib::row_key_of(*table, row.data())).c_str());
  return kExitOk;
}

int command_remove(std::string_view name, std::string_view number) {
  const igd1::mib::TableDef *table = igd1::mib::find_table(name);
  if (table == nullptr) return failed("no table named '" + std::string(name) + "'");
  std::optional<igd1::mib::RowKey> row = igd1::mib::parse_key_text(number);
  if (!row || !igd1::mib::table_remove(*table, *row)) {
    return failed("no row " + std::string(number) + " in " + std::string(name));
  }
  return kExitOk;
}

int command_journal() {
  std::vector<igd1::mib::JournalEntry> entries = igd1::mib::journal();
  if (g_flags.json) std::printf("[");
  bool first = true;
  for (const igd1::mib::JournalEntry &entry : entries) {
    if (g_flags.json) {
      std::printf("%s\n  {\"seq\": %lld, \"time\": %s, \"bit\": %llu, \"action\": %d, \"data\": %s}",
                  first ? "" : ",", static_cast<long long>(entry.seq), json_string(entry.time).c_str(),
                  static_cast<unsigned long long>(entry.bit), entry.action, json_string(entry.data).c_str());
    } else {
      std::printf("%lld\t%s\t0x%llx\t%d\t%s\n", static_cast<long long>(entry.seq), entry.time.c_str(),
                  static_cast<unsigned long long>(entry.bit), entry.action, igd1::mib::one_line(entry.data).c_str());
    }
    first = false;
  }
  if (g_flags.json) std::printf("%s]\n", first ? "" : "\n");
  return kExitOk;
}

// A command: its name, how many words follow it, whether it only reads, and
// what runs it with those words.
using Args = std::vector<std::string_view>;
struct Command {
  std::string_view name;
  size_t words;
  bool only_reads;
  int (*run)(const Args &args);
};
constexpr Command kCommandTable[] = {
    {"dump", 0, true, [](const Args &) { return command_dump(); }},
    {"get", 1, true, [](const Args &args) { return command_get(args[0]); }},
    {"journal", 0, true, [](const Args &) { return command_journal(); }},
    {"set", 2, false, [](const Args &args) { return command_set(args[0], args[1]); }},
    {"remove", 2, false, [](const Args &args) { return command_remove(args[0], args[1]); }},
    // add TABLE, or add TABLE --parent P
    {"add", 1, false, [](const Args &args) {
       return command_add(args[0], args.size() == 3 ? std::optional(args[2]) : std::nullopt);
     }},
};

// Name, version, words after the options, summary, help text, what --help lists.
constexpr igd1::CliProgram kProgram = {"igd1-mib", IGD1_VERSION, "COMMAND [ARGUMENT...]",
                                       "Reads and changes the gateway's configuration store, "
                                       "also while igd1d runs.  Options may also follow the "
                                       "command; -- ends them.",
                                       kCommands, "the commands and options",
                                       /*options_among_words=*/true};

int usage_error(const std::string &problem) { return igd1::cli_usage_error(kProgram, problem); }

}  // namespace

int main(int argc, char **argv) {
  std::setlocale(LC_ALL, "");
  gchar *store_option = nullptr;
  gboolean create = FALSE;
  const GOptionEntry entries[] = {
      {"store", 0, 0, G_OPTION_ARG_FILENAME, &store_option,
       "The database (default: /var/lib/igd1/mib.db below $IGD1_ROOT)", "FILE"},
      {"create", 0, 0, G_OPTION_ARG_NONE, &create,
       "Create the store with the defaults when it does not exist", nullptr},
      {"json", 0, 0, G_OPTION_ARG_NONE, &g_flags.json, "Print dump, get and journal as JSON", nullptr},
      {"show-secrets", 0, 0, G_OPTION_ARG_NONE, &g_flags.show_secrets,
       "Show passwords in dump", nullptr},
      {"force", 0, 0, G_OPTION_ARG_NONE, &g_flags.force,
       "Let set store a value the bus would refuse (the store's own checks still apply)", nullptr},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
  std::vector<std::string> words;
  if (const int status = igd1::cli_parse(kProgram, entries, argc, argv, &words); status >= 0) return status;
  std::string store = store_option != nullptr ? store_option : "";
  const bool store_given = store_option != nullptr;
  g_free(store_option);
  if (store_given && store.empty()) return usage_error("--store needs a file");
  if (words.empty()) return usage_error("no command");

  const Command *command = std::find_if(std::begin(kCommandTable), std::end(kCommandTable),
                                        [&](const Command &known) { return known.name == words[0]; });
  if (command == std::end(kCommandTable)) return usage_error("unknown command " + words[0]);
  const Args args(words.begin() + 1, words.end());
  const bool parent_given = command->name == "add" && args.size() == 3 && args[1] == "--parent";
  if (args.size() != (parent_given ? 3 : command->words))
    return usage_error("wrong number of arguments for " + words[0]);

  if (!store_given) store = igd1::sys_path(igd1::path::kStoreFile);
  // A mistyped path must not silently become a fresh store of defaults.
  if (!create && !g_file_test(store.c_str(), G_FILE_TEST_EXISTS))
    return failed("no store at " + store + " (--create makes a new one)");
  // Commands that only read never write, create or lock anything: they
  // work on a read-only store and beside a daemon in the middle of a write.
  std::string reason;
  const bool opened = command->only_reads && !create ? igd1::mib::open_store_read_only(store, &reason)
                                                     : igd1::mib::open_store(store, &reason);
  if (!opened) return failed("cannot open the store " + store + ": " + reason);

  const int status = command->run(args);
  igd1::mib::close_store();
  if (std::fflush(stdout) != 0) return kExitFailed;
  return status;
}
