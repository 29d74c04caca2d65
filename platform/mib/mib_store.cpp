// The SQLite side of the configuration store: the connection, settings,
// tables, the journal, failure injection and the dump.
//
// One connection serves the whole process.  It is used from the bus main loop
// and from notification threads, so every use holds `Connection::mutex`.  The
// registries (tables, notice formatters, injected failures) have their own
// mutex; code that needs both takes the connection's first and never waits for
// the connection while holding the registry's.
//
// Row listeners run after the change is committed and after the connection
// mutex is released, so a listener may read the store itself.
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <condition_variable>
#include <unordered_map>

#include "mib_internal.h"
#include "mib_store.h"

namespace igd1::mib {

namespace {

// Bumped whenever the layout of settings, journal or meta changes.  A
// database written by a newer version is refused rather than misread.
constexpr int kSchemaVersion = 1;
constexpr char kSchemaVersionKey[] = "schema_version";
// Lets igd1-mib write while the daemon holds the database open, and the
// other way round.
constexpr int kBusyTimeoutMs = 2000;
// "name[:index],name2,..." - accessors to fail from the moment of opening.
constexpr char kFailEnv[] = "IGD1_MIB_FAIL";
// meta key prefix of a table column's kind and size: "column.<table>.<column>".
constexpr char kColumnMetaPrefix[] = "column.";

void set_error(std::string *error, std::string message) {
  if (error != nullptr) *error = std::move(message);
}

std::string hex_text(const uint8_t *bytes, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xf];
  }
  return text;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ascii_iequal(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    return lower(x) == lower(y);
  });
}

// Table and column names go into SQL text quoted; allowing only plain
// identifiers means no name can ever need escaping.
bool is_identifier(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
  if (!alpha(name[0])) return false;
  return std::all_of(name.begin() + 1, name.end(),
                     [&](char c) { return alpha(c) || (c >= '0' && c <= '9'); });
}

// Names that belong to the store itself (SQL names ignore case).
bool is_reserved_table(std::string_view name) {
  return ascii_iequal(name, "settings") || ascii_iequal(name, "journal") ||
         ascii_iequal(name, "meta") ||
         (name.size() >= 7 && ascii_iequal(name.substr(0, 7), "sqlite_"));
}

bool is_user_table_name(std::string_view name) {
  return is_identifier(name) && !is_reserved_table(name);
}

std::string quoted(std::string_view identifier) {
  std::string text = "\"";
  text += identifier;
  text += '"';
  return text;
}

std::string local_time_now() {
  time_t now = time(nullptr);
  struct tm parts {};
  localtime_r(&now, &parts);
  char text[32];
  size_t length = strftime(text, sizeof text, "%F %T", &parts);
  return std::string(text, length);
}

// ---- the connection ----------------------------------------------------------

struct Connection {
  std::mutex mutex;
  sqlite3 *db = nullptr;
  std::string path;
  // Prepared once per SQL text and reused for the life of the connection.
  std::unordered_map<std::string, sqlite3_stmt *> statements;
  // Writes made through this connection, per table, and the number of
  // opens: together with the database's data version they tell a reader
  // whether a table may have changed since it last looked.
  std::map<std::string, uint64_t, std::less<>> table_writes;  // looked up without a copy
  uint64_t opens = 0;
};

void count_write_locked(Connection &c, std::string_view table) {
  auto found = c.table_writes.find(table);
  if (found == c.table_writes.end()) found = c.table_writes.emplace(std::string(table), 0).first;
  ++found->second;
}

// Never destroyed: notification threads may still use the store while the
// process exits.
Connection &connection() {
  static Connection *instance = new Connection;
  return *instance;
}

void close_locked(Connection &c) {
  for (auto &entry : c.statements) sqlite3_finalize(entry.second);
  c.statements.clear();
  if (c.db != nullptr) sqlite3_close(c.db);
  c.db = nullptr;
  c.path.clear();
}

// One use of a cached prepared statement.  The statement is reset and its
// parameters cleared when the use ends, ready for the next caller.
class Statement {
 public:
  explicit Statement(sqlite3_stmt *stmt) : stmt_(stmt), ok_(stmt != nullptr) {}
  Statement(const Statement &) = delete;
  Statement &operator=(const Statement &) = delete;
  ~Statement() {
    if (stmt_ != nullptr) {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }
  }

  explicit operator bool() const { return stmt_ != nullptr; }

  Statement &text(int index, std::string_view value) {
    // An empty view may carry a null pointer, which SQLite would store as NULL.
    const char *data = value.data() != nullptr ? value.data() : "";
    if (ok_) {
      ok_ = sqlite3_bind_text(stmt_, index, data, static_cast<int>(value.size()),
                              SQLITE_TRANSIENT) == SQLITE_OK;
    }
    return *this;
  }
  Statement &integer(int index, int64_t value) {
    if (ok_) ok_ = sqlite3_bind_int64(stmt_, index, value) == SQLITE_OK;
    return *this;
  }

  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step() { return ok_ ? sqlite3_step(stmt_) : SQLITE_MISUSE; }
  // Runs a statement that returns no rows.
  bool run() { return step() == SQLITE_DONE; }
  bool row() { return step() == SQLITE_ROW; }

  int columns() const { return sqlite3_column_count(stmt_); }
  const char *column_name(int index) const { return sqlite3_column_name(stmt_, index); }
  bool is_null(int index) const { return sqlite3_column_type(stmt_, index) == SQLITE_NULL; }
  int64_t integer_at(int index) const { return sqlite3_column_int64(stmt_, index); }
  // Text of a column; a BLOB (written by hand) comes out as hexadecimal.
  std::string text_at(int index) const {
    if (sqlite3_column_type(stmt_, index) == SQLITE_BLOB) {
      const auto *bytes = static_cast<const uint8_t *>(sqlite3_column_blob(stmt_, index));
      int size = sqlite3_column_bytes(stmt_, index);
      return bytes != nullptr ? hex_text(bytes, static_cast<size_t>(size)) : std::string();
    }
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt_, index));
    int size = sqlite3_column_bytes(stmt_, index);
    return text != nullptr ? std::string(text, static_cast<size_t>(size)) : std::string();
  }

 private:
  sqlite3_stmt *stmt_;
  bool ok_;
};

Statement prepared(Connection &c, const std::string &sql) {
  if (c.db == nullptr) return Statement(nullptr);
  auto found = c.statements.find(sql);
  if (found != c.statements.end()) return Statement(found->second);
  sqlite3_stmt *stmt = nullptr;
  if (sqlite3_prepare_v3(c.db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(stmt);
    return Statement(nullptr);
  }
  c.statements.emplace(sql, stmt);
  return Statement(stmt);
}

bool run_cached(Connection &c, const std::string &sql) {
  Statement statement = prepared(c, sql);
  return statement && statement.run();
}

// A write transaction that takes the database's write lock at once (waiting
// up to the busy timeout), so two processes never deadlock upgrading a read.
// Rolled back unless committed.
class Transaction {
 public:
  explicit Transaction(Connection &c) : c_(c), began_(run_cached(c, "BEGIN IMMEDIATE")) {}
  Transaction(const Transaction &) = delete;
  Transaction &operator=(const Transaction &) = delete;
  ~Transaction() {
    if (began_ && !finished_) run_cached(c_, "ROLLBACK");
  }
  bool began() const { return began_; }
  bool commit() {
    finished_ = true;
    if (run_cached(c_, "COMMIT")) return true;
    run_cached(c_, "ROLLBACK");
    return false;
  }

 private:
  Connection &c_;
  bool began_;
  bool finished_ = false;
};

// Writes the queued service notices (see the journal below).
bool flush_journal();

// For schema statements, which are run once and not cached.
bool exec_sql(sqlite3 *db, const std::string &sql, std::string *why) {
  char *message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
  set_error(why, message != nullptr ? message : sqlite3_errmsg(db));
  sqlite3_free(message);
  return false;
}

// ---- registries ----------------------------------------------------------------

// A registered table keeps its own copy of every name, so the definition
// stays valid whatever the caller does with its own.
struct OwnedTable {
  std::string name;
  std::string module;
  std::vector<std::string> column_names;
  std::vector<Column> columns;
  TableDef def{};
};

struct Registry {
  std::mutex mutex;
  std::vector<std::unique_ptr<OwnedTable>> tables;
  std::map<uint32_t, NoticeFormatter> formatters;
  std::map<uint32_t, NoticeApplier> appliers;
  std::map<std::string, std::set<int>, std::less<>> failures;
};

Registry &registry() {
  static Registry *instance = new Registry;
  return *instance;
}

std::atomic<RowListener> g_row_listener{nullptr};

void assign_table(OwnedTable &owned, const TableDef &table) {
  owned.name = table.name;
  owned.module = table.module != nullptr ? table.module : "";
  owned.column_names.clear();
  for (size_t i = 0; i < table.column_count; ++i) owned.column_names.emplace_back(table.columns[i].name);
  owned.columns.assign(table.columns, table.columns + table.column_count);
  for (size_t i = 0; i < owned.columns.size(); ++i) owned.columns[i].name = owned.column_names[i].c_str();
  owned.def = table;
  owned.def.name = owned.name.c_str();
  owned.def.module = owned.module.c_str();
  owned.def.columns = owned.columns.data();
}

// Parses IGD1_MIB_FAIL.  An entry that does not parse makes the open fail:
// a test that meant to inject a failure must not silently run without it.
bool failures_from_env(std::vector<std::pair<std::string, int>> *out, std::string *why) {
  const char *value = std::getenv(kFailEnv);
  if (value == nullptr) return true;
  std::string_view rest(value);
  while (!rest.empty()) {
    size_t comma = rest.find(',');
    std::string_view entry = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    if (entry.empty()) continue;
    size_t colon = entry.find(':');
    std::string_view name = entry.substr(0, colon);
    int index = kEveryIndex;
    bool ok = !name.empty();
    if (ok && colon != std::string_view::npos) {
      std::string_view digits = entry.substr(colon + 1);
      auto [stop, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
      ok = !digits.empty() && ec == std::errc() && stop == digits.data() + digits.size();
    }
    if (!ok) {
      set_error(why, std::string(kFailEnv) + ": malformed entry '" + std::string(entry) + "'");
      return false;
    }
    out->emplace_back(std::string(name), index);
  }
  return true;
}

// ---- table layout -----------------------------------------------------------------

// Positions of the record bytes that no column covers (byte 0, the instance
// number, is covered by the inst column), or nothing when the definition is
// unusable: bad names, a column outside the record or overlapping another, a
// size that does not suit the column's kind.
std::optional<std::vector<size_t>> layout_gaps(const TableDef &table) {
  if (table.name == nullptr || !is_user_table_name(table.name)) return std::nullopt;
  if (table.row_size < 1 || table.max_rows < 1 || table.max_rows > 255) return std::nullopt;
  if (table.column_count > 0 && table.columns == nullptr) return std::nullopt;
  std::vector<bool> covered(table.row_size, false);
  covered[0] = true;
  for (size_t i = 0; i < table.column_count; ++i) {
    const Column &column = table.columns[i];
    if (column.name == nullptr || !is_identifier(column.name) || ascii_iequal(column.name, "inst") ||
        ascii_iequal(column.name, "extra")) {
      return std::nullopt;
    }
    for (size_t j = 0; j < i; ++j) {
      if (ascii_iequal(column.name, table.columns[j].name)) return std::nullopt;
    }
    if (!detail::kind_size_ok(column.kind, column.size) || column.offset < 1 ||
        column.size > table.row_size || column.offset > table.row_size - column.size) {
      return std::nullopt;
    }
    for (size_t b = column.offset; b < column.offset + column.size; ++b) {
      if (covered[b]) return std::nullopt;
      covered[b] = true;
    }
  }
  std::vector<size_t> gaps;
  for (size_t b = 0; b < covered.size(); ++b) {
    if (!covered[b]) gaps.push_back(b);
  }
  return gaps;
}

struct RowText {
  std::vector<std::string> cells;
  std::string extra;
};

// The stored form of a record.  A column whose bytes do not make a valid
// value (an unterminated text) refuses the whole record.
std::optional<RowText> encode_row(const TableDef &table, const std::vector<size_t> &gaps,
                                  const uint8_t *row) {
  RowText out;
  std::vector<uint8_t> check;
  for (size_t i = 0; i < table.column_count; ++i) {
    const Column &column = table.columns[i];
    std::string text = format_value(column.kind, row + column.offset, column.size);
    check.assign(column.size, 0);
    if (!parse_value(column.kind, text, check.data(), check.size())) return std::nullopt;
    out.cells.push_back(std::move(text));
  }
  std::vector<uint8_t> extra;
  extra.reserve(gaps.size());
  for (size_t position : gaps) extra.push_back(row[position]);
  out.extra = hex_text(extra.data(), extra.size());
  return out;
}

// Rebuilds a record from the columns "inst, <columns...>, extra" of the
// current result row.  A cell edited by hand into something that does not
// parse reads as zero bytes.
std::vector<uint8_t> decode_row(const TableDef &table, const std::vector<size_t> &gaps,
                                const Statement &statement) {
  std::vector<uint8_t> row(table.row_size, 0);
  row[0] = static_cast<uint8_t>(statement.integer_at(0));
  for (size_t i = 0; i < table.column_count; ++i) {
    const Column &column = table.columns[i];
    int index = static_cast<int>(i) + 1;
    if (statement.is_null(index)) continue;
    parse_value(column.kind, statement.text_at(index), row.data() + column.offset, column.size);
  }
  std::string extra = statement.text_at(static_cast<int>(table.column_count) + 1);
  for (size_t i = 0; i < gaps.size() && i * 2 + 1 < extra.size(); ++i) {
    int high = hex_value(extra[i * 2]);
    int low = hex_value(extra[i * 2 + 1]);
    if (high < 0 || low < 0) break;
    row[gaps[i]] = static_cast<uint8_t>(high * 16 + low);
  }
  return row;
}

std::string column_list(const TableDef &table) {
  std::string list = "inst";
  for (size_t i = 0; i < table.column_count; ++i) list += ", " + quoted(table.columns[i].name);
  return list + ", extra";
}

std::string select_rows_sql(const TableDef &table) {
  return "SELECT " + column_list(table) + " FROM " + quoted(table.name) + " ORDER BY inst";
}

std::string select_row_sql(const TableDef &table) {
  return "SELECT " + column_list(table) + " FROM " + quoted(table.name) + " WHERE inst = ?1";
}

// Parameters of insert and update alike: ?1 instance, ?2.. cells, then extra.
std::string insert_sql(const TableDef &table) {
  std::string values = "?1";
  for (size_t i = 0; i < table.column_count + 1; ++i) values += ", ?" + std::to_string(i + 2);
  return "INSERT INTO " + quoted(table.name) + " (" + column_list(table) + ") VALUES (" + values + ")";
}

std::string update_sql(const TableDef &table) {
  std::string sets;
  for (size_t i = 0; i < table.column_count; ++i) {
    sets += quoted(table.columns[i].name) + " = ?" + std::to_string(i + 2) + ", ";
  }
  sets += "extra = ?" + std::to_string(table.column_count + 2);
  return "UPDATE " + quoted(table.name) + " SET " + sets + " WHERE inst = ?1";
}

void bind_row(Statement &statement, unsigned instance, const RowText &text) {
  statement.integer(1, instance);
  int index = 2;
  for (const std::string &cell : text.cells) statement.text(index++, cell);
  statement.text(index, text.extra);
}

std::optional<std::vector<uint8_t>> read_row_locked(Connection &c, const TableDef &table,
                                                    const std::vector<size_t> &gaps,
                                                    unsigned instance) {
  Statement statement = prepared(c, select_row_sql(table));
  if (!statement) return std::nullopt;
  statement.integer(1, instance);
  if (!statement.row()) return std::nullopt;
  return decode_row(table, gaps, statement);
}

std::vector<std::string> table_columns_locked(Connection &c, std::string_view table) {
  std::vector<std::string> names;
  Statement statement = prepared(c, "SELECT name FROM pragma_table_info(?1) ORDER BY cid");
  if (!statement) return names;
  statement.text(1, table);
  while (statement.row()) names.push_back(statement.text_at(0));
  return names;
}

bool user_table_exists_locked(Connection &c, std::string_view table) {
  if (!is_user_table_name(table)) return false;
  Statement statement = prepared(c, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
  if (!statement) return false;
  statement.text(1, table);
  return statement.row();
}

bool put_meta_locked(Connection &c, std::string_view key, std::string_view value) {
  Statement statement = prepared(c,
                                 "INSERT INTO meta (key, value) VALUES (?1, ?2) "
                                 "ON CONFLICT (key) DO UPDATE SET value = excluded.value");
  return statement && statement.text(1, key).text(2, value).run();
}

std::optional<std::string> get_meta_locked(Connection &c, std::string_view key) {
  Statement statement = prepared(c, "SELECT value FROM meta WHERE key = ?1");
  if (!statement) return std::nullopt;
  statement.text(1, key);
  if (!statement.row()) return std::nullopt;
  return statement.text_at(0);
}

std::string column_meta_key(std::string_view table, std::string_view column) {
  return std::string(kColumnMetaPrefix) + std::string(table) + "." + std::string(column);
}

// Creates the SQL table of a definition, adds the columns a database from an
// earlier version lacks, and records each column's kind and size in meta so
// that igd1-mib, which registers no tables, can check values it writes.
bool create_table_locked(Connection &c, const TableDef &table, std::string *why) {
  Transaction transaction(c);
  if (!transaction.began()) {
    set_error(why, sqlite3_errmsg(c.db));
    return false;
  }
  std::string create = "CREATE TABLE IF NOT EXISTS " + quoted(table.name) +
                       " (inst INTEGER PRIMARY KEY CHECK (inst BETWEEN 1 AND 255)";
  for (size_t i = 0; i < table.column_count; ++i) create += ", " + quoted(table.columns[i].name) + " TEXT";
  create += ", extra TEXT NOT NULL DEFAULT '')";
  if (!exec_sql(c.db, create, why)) return false;

  std::vector<std::string> existing = table_columns_locked(c, table.name);
  auto has = [&](std::string_view name) {
    return std::any_of(existing.begin(), existing.end(),
                       [&](const std::string &e) { return ascii_iequal(e, name); });
  };
  if (!has("inst")) {
    set_error(why, std::string("table ") + table.name + " has no inst column");
    return false;
  }
  for (size_t i = 0; i < table.column_count; ++i) {
    if (has(table.columns[i].name)) continue;
    if (!exec_sql(c.db,
                  "ALTER TABLE " + quoted(table.name) + " ADD COLUMN " +
                      quoted(table.columns[i].name) + " TEXT",
                  why)) {
      return false;
    }
  }
  if (!has("extra") &&
      !exec_sql(c.db, "ALTER TABLE " + quoted(table.name) + " ADD COLUMN extra TEXT NOT NULL DEFAULT ''",
                why)) {
    return false;
  }
  for (size_t i = 0; i < table.column_count; ++i) {
    const Column &column = table.columns[i];
    std::string type = std::string(detail::kind_name(column.kind)) + " " + std::to_string(column.size);
    if (!put_meta_locked(c, column_meta_key(table.name, column.name), type)) {
      set_error(why, sqlite3_errmsg(c.db));
      return false;
    }
  }
  if (!transaction.commit()) {
    set_error(why, sqlite3_errmsg(c.db));
    return false;
  }
  return true;
}

// Switches to the write-ahead log, creates the store's own tables, checks the
// schema version and adds the missing defaults, all on a fresh connection.
bool prepare_schema_locked(Connection &c, std::string *why) {
  sqlite3_extended_result_codes(c.db, 1);
  sqlite3_busy_timeout(c.db, kBusyTimeoutMs);
  {
    Statement mode = prepared(c, "PRAGMA journal_mode=WAL");
    if (!mode || !mode.row()) {
      set_error(why, sqlite3_errmsg(c.db));
      return false;
    }
    std::string result = mode.text_at(0);
    if (result != "wal") {
      set_error(why, "cannot use a write-ahead log (journal mode " + result + ")");
      return false;
    }
  }
  // In WAL mode NORMAL loses nothing when the process dies: a commit is in
  // the log file before the call returns.
  if (!exec_sql(c.db, "PRAGMA synchronous=NORMAL", why)) return false;

  Transaction transaction(c);
  if (!transaction.began()) {
    set_error(why, sqlite3_errmsg(c.db));
    return false;
  }
  if (!exec_sql(c.db,
                "CREATE TABLE IF NOT EXISTS settings (name TEXT PRIMARY KEY, value TEXT NOT NULL);"
                "CREATE TABLE IF NOT EXISTS journal (seq INTEGER PRIMARY KEY, time TEXT, "
                "bit INTEGER, action INTEGER, data TEXT);"
                "CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT);",
                why)) {
    return false;
  }
  if (std::optional<std::string> version = get_meta_locked(c, kSchemaVersionKey)) {
    int number = 0;
    auto [stop, ec] = std::from_chars(version->data(), version->data() + version->size(), number);
    if (ec != std::errc() || stop != version->data() + version->size() || number > kSchemaVersion) {
      set_error(why, "database written by a newer version (schema " + *version + ")");
      return false;
    }
  }
  if (!put_meta_locked(c, kSchemaVersionKey, std::to_string(kSchemaVersion))) {
    set_error(why, sqlite3_errmsg(c.db));
    return false;
  }
  // INSERT OR IGNORE: a database from an earlier version gains the defaults
  // added since, and keeps every value the user has set.
  for (const detail::DefaultSetting &setting : detail::default_settings()) {
    Statement insert = prepared(c, "INSERT OR IGNORE INTO settings (name, value) VALUES (?1, ?2)");
    if (!insert || !insert.text(1, setting.item.name).text(2, setting.value).run()) {
      set_error(why, sqlite3_errmsg(c.db));
      return false;
    }
  }
  if (!transaction.commit()) {
    set_error(why, sqlite3_errmsg(c.db));
    return false;
  }
  return true;
}

void notify_row(const TableDef &table, const std::vector<uint8_t> &row, bool inserted) {
  RowListener listener = g_row_listener.load();
  if (listener != nullptr) listener(table, row.data(), inserted);
}

}  // namespace

// ---- opening -------------------------------------------------------------------

bool open_store(const std::string &path, std::string *error) {
  std::vector<std::pair<std::string, int>> env_failures;
  std::string why;
  if (!failures_from_env(&env_failures, &why)) {
    set_error(error, why);
    return false;
  }
  std::vector<const TableDef *> tables = registered_tables();

  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  close_locked(c);
  sqlite3 *db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    set_error(error, path + ": " + (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
    sqlite3_close(db);
    return false;
  }
  c.db = db;
  c.path = path;
  ++c.opens;
  bool ok = prepare_schema_locked(c, &why);
  for (size_t i = 0; ok && i < tables.size(); ++i) ok = create_table_locked(c, *tables[i], &why);
  if (!ok) {
    close_locked(c);
    set_error(error, path + ": " + why);
    return false;
  }
  for (const auto &[name, index] : env_failures) fail_accessor(name, index);
  return true;
}

void close_store() {
  flush_journal();
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  close_locked(c);
}

bool store_is_open() {
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  return c.db != nullptr;
}

const std::string &store_path() {
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  return c.path;
}

bool check_integrity(std::string *report) {
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  if (c.db == nullptr) {
    set_error(report, "store not open");
    return false;
  }
  sqlite3_stmt *stmt = nullptr;
  if (sqlite3_prepare_v2(c.db, "PRAGMA integrity_check", -1, &stmt, nullptr) != SQLITE_OK) {
    set_error(report, sqlite3_errmsg(c.db));
    sqlite3_finalize(stmt);
    return false;
  }
  std::string findings;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    if (!findings.empty()) findings += '\n';
    const unsigned char *text = sqlite3_column_text(stmt, 0);
    if (text != nullptr) findings += reinterpret_cast<const char *>(text);
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) findings += (findings.empty() ? "" : "\n") + std::string(sqlite3_errstr(rc));
  set_error(report, findings);
  return rc == SQLITE_DONE && findings == "ok";
}

// ---- settings ------------------------------------------------------------------

std::optional<std::string> get_setting(std::string_view name) {
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  Statement statement = prepared(c, "SELECT value FROM settings WHERE name = ?1");
  if (!statement) return std::nullopt;
  statement.text(1, name);
  if (!statement.row()) return std::nullopt;
  return statement.text_at(0);
}

bool set_setting(std::string_view name, std::string_view value) {
  if (name.empty()) return false;
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  Statement statement = prepared(c,
                                 "INSERT INTO settings (name, value) VALUES (?1, ?2) "
                                 "ON CONFLICT (name) DO UPDATE SET value = excluded.value");
  return statement && statement.text(1, name).text(2, value).run();
}

bool remove_setting(std::string_view name) {
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  Statement statement = prepared(c, "DELETE FROM settings WHERE name = ?1");
  return statement && statement.text(1, name).run() && sqlite3_changes(c.db) > 0;
}

std::vector<std::pair<std::string, std::string>> all_settings() {
  std::vector<std::pair<std::string, std::string>> settings;
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  Statement statement = prepared(c, "SELECT name, value FROM settings ORDER BY name");
  if (!statement) return settings;
  while (statement.row()) settings.emplace_back(statement.text_at(0), statement.text_at(1));
  return settings;
}

// ---- tables ----------------------------------------------------------------------

bool register_table(const TableDef &table) {
  if (!layout_gaps(table)) return false;
  const TableDef *owned = nullptr;
  {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    auto found = std::find_if(r.tables.begin(), r.tables.end(), [&](const auto &t) {
      return ascii_iequal(t->name, table.name);
    });
    if (found == r.tables.end()) {
      r.tables.push_back(std::make_unique<OwnedTable>());
      found = r.tables.end() - 1;
    }
    // Updated in place so that pointers from find_table stay valid.
    assign_table(**found, table);
    owned = &(*found)->def;
  }
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  // Without an open store the table is created when the store opens.
  if (c.db == nullptr) return true;
  return create_table_locked(c, *owned, nullptr);
}

const TableDef *find_table(std::string_view name) {
  Registry &r = registry();
  std::lock_guard lock(r.mutex);
  for (const auto &table : r.tables) {
    if (table->name == name) return &table->def;
  }
  return nullptr;
}

std::vector<const TableDef *> registered_tables() {
  Registry &r = registry();
  std::lock_guard lock(r.mutex);
  std::vector<const TableDef *> tables;
  for (const auto &table : r.tables) tables.push_back(&table->def);
  return tables;
}

std::vector<std::vector<uint8_t>> table_rows(const TableDef &table) {
  std::vector<std::vector<uint8_t>> rows;
  std::optional<std::vector<size_t>> gaps = layout_gaps(table);
  if (!gaps) return rows;
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  Statement statement = prepared(c, select_rows_sql(table));
  if (!statement) return rows;
  while (statement.row()) rows.push_back(decode_row(table, *gaps, statement));
  return rows;
}

std::optional<std::vector<uint8_t>> table_row(const TableDef &table, unsigned instance) {
  std::optional<std::vector<size_t>> gaps = layout_gaps(table);
  if (!gaps || instance < 1 || instance > 255) return std::nullopt;
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  return read_row_locked(c, table, *gaps, instance);
}

bool table_insert(const TableDef &table, uint8_t *row) {
  if (row == nullptr) return false;
  std::optional<std::vector<size_t>> gaps = layout_gaps(table);
  if (!gaps) return false;
  std::optional<RowText> text = encode_row(table, *gaps, row);
  if (!text) return false;

  std::optional<std::vector<uint8_t>> stored;
  unsigned instance = 1;
  {
    Connection &c = connection();
    std::lock_guard lock(c.mutex);
    if (c.db == nullptr) return false;
    Transaction transaction(c);
    if (!transaction.began()) return false;
    {
      Statement used = prepared(c, "SELECT inst FROM " + quoted(table.name) + " ORDER BY inst");
      if (!used) return false;
      // Instances come in ascending order: the first gap is the lowest free one.
      while (used.row()) {
        int64_t taken = used.integer_at(0);
        if (taken == instance) {
          ++instance;
        } else if (taken > instance) {
          break;
        }
      }
    }
    if (instance > table.max_rows) return false;
    {
      Statement insert = prepared(c, insert_sql(table));
      if (!insert) return false;
      bind_row(insert, instance, *text);
      if (!insert.run()) return false;
    }
    // What a reader gets from now on, handed to the listener.
    stored = read_row_locked(c, table, *gaps, instance);
    if (!stored || !transaction.commit()) return false;
    count_write_locked(c, table.name);
  }
  row[0] = static_cast<uint8_t>(instance);
  notify_row(table, *stored, true);
  return true;
}

bool table_update(const TableDef &table, const uint8_t *row) {
  if (row == nullptr || row[0] == 0) return false;
  std::optional<std::vector<size_t>> gaps = layout_gaps(table);
  if (!gaps) return false;
  std::optional<RowText> text = encode_row(table, *gaps, row);
  if (!text) return false;
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  Statement update = prepared(c, update_sql(table));
  if (!update) return false;
  bind_row(update, row[0], *text);
  if (!update.run() || sqlite3_changes(c.db) != 1) return false;
  count_write_locked(c, table.name);
  return true;
}

bool table_remove(const TableDef &table, unsigned instance) {
  std::optional<std::vector<size_t>> gaps = layout_gaps(table);
  if (!gaps || instance < 1 || instance > 255) return false;
  std::optional<std::vector<uint8_t>> removed;
  {
    Connection &c = connection();
    std::lock_guard lock(c.mutex);
    if (c.db == nullptr) return false;
    Transaction transaction(c);
    if (!transaction.began()) return false;
    removed = read_row_locked(c, table, *gaps, instance);
    if (!removed) return false;
    {
      Statement remove = prepared(c, "DELETE FROM " + quoted(table.name) + " WHERE inst = ?1");
      if (!remove || !remove.integer(1, instance).run()) return false;
    }
    if (!transaction.commit()) return false;
    count_write_locked(c, table.name);
  }
  notify_row(table, *removed, false);
  return true;
}

std::optional<std::string> get_cell(std::string_view table, unsigned instance,
                                    std::string_view column) {
  if (!is_identifier(column)) return std::nullopt;
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  if (!user_table_exists_locked(c, table)) return std::nullopt;
  std::vector<std::string> columns = table_columns_locked(c, table);
  if (std::find(columns.begin(), columns.end(), column) == columns.end()) return std::nullopt;
  Statement statement =
      prepared(c, "SELECT " + quoted(column) + " FROM " + quoted(table) + " WHERE inst = ?1");
  if (!statement) return std::nullopt;
  statement.integer(1, instance);
  if (!statement.row()) return std::nullopt;
  return statement.text_at(0);
}

bool set_cell(std::string_view table, unsigned instance, std::string_view column,
              std::string_view value) {
  if (!is_identifier(column)) return false;
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  if (!user_table_exists_locked(c, table)) return false;
  // The column's kind as recorded when its table was registered: "U16 2".
  std::optional<std::string> type = get_meta_locked(c, column_meta_key(table, column));
  if (!type) return false;
  size_t blank = type->find(' ');
  if (blank == std::string::npos) return false;
  std::optional<ValueKind> kind = detail::kind_from_name(std::string_view(*type).substr(0, blank));
  size_t size = 0;
  const char *digits = type->data() + blank + 1;
  auto [stop, ec] = std::from_chars(digits, type->data() + type->size(), size);
  if (!kind || ec != std::errc() || stop != type->data() + type->size()) return false;
  std::vector<uint8_t> buffer(size);
  if (!parse_value(*kind, value, buffer.data(), buffer.size())) return false;
  // Stored in canonical form ("TRUE" -> "1", upper-case MAC -> lower-case).
  std::string canonical = format_value(*kind, buffer.data(), buffer.size());
  Statement update =
      prepared(c, "UPDATE " + quoted(table) + " SET " + quoted(column) + " = ?1 WHERE inst = ?2");
  if (!update || !update.text(1, canonical).integer(2, instance).run() ||
      sqlite3_changes(c.db) != 1) {
    return false;
  }
  count_write_locked(c, table);
  return true;
}

uint64_t table_write_count(const TableDef &table) {
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  auto writes = c.table_writes.find(std::string_view(table.name));
  uint64_t own = writes != c.table_writes.end() ? writes->second : 0;
  // A reopen may hold other data: it counts as a write to every table.
  return (c.opens << 40) + own;
}

int64_t data_version() {
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  Statement version = prepared(c, "PRAGMA data_version");
  return version && version.row() ? version.integer_at(0) : -1;
}

void set_row_listener(RowListener listener) { g_row_listener.store(listener); }

// ---- service notices ----------------------------------------------------------------

void register_notice_formatter(uint32_t bit, NoticeFormatter formatter) {
  Registry &r = registry();
  std::lock_guard lock(r.mutex);
  if (formatter == nullptr) {
    r.formatters.erase(bit);
  } else {
    r.formatters[bit] = formatter;
  }
}

void register_notice_applier(uint32_t bit, NoticeApplier applier) {
  Registry &r = registry();
  std::lock_guard lock(r.mutex);
  if (applier == nullptr) {
    r.appliers.erase(bit);
  } else {
    r.appliers[bit] = applier;
  }
}

void journal_append(uint32_t bit, int action, const std::string &data) {
  detail::append_journal_entry(bit, action, data);
}

std::vector<JournalEntry> journal(int64_t after_seq) {
  flush_journal();
  std::vector<JournalEntry> entries;
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  Statement statement =
      prepared(c, "SELECT seq, time, bit, action, data FROM journal WHERE seq > ?1 ORDER BY seq");
  if (!statement) return entries;
  statement.integer(1, after_seq);
  while (statement.row()) {
    entries.push_back(JournalEntry{statement.integer_at(0), statement.text_at(1),
                                   static_cast<uint32_t>(statement.integer_at(2)),
                                   static_cast<int>(statement.integer_at(3)), statement.text_at(4)});
  }
  return entries;
}

namespace {

// Notices reach the journal through a queue and a writer thread: the
// services hear of a change asynchronously anyway, and the bus call that
// sent the notice should not wait for a second commit.  Readers of the
// journal in this process drain the queue first, so they always see every
// notice sent before they asked.
struct PendingEntry {
  std::string time;
  uint32_t bit;
  int action;
  std::string data;
};

struct JournalQueue {
  std::mutex mutex;                 // guards `pending` and `started`
  std::condition_variable wake;
  std::vector<PendingEntry> pending;
  bool started = false;
  std::mutex flush_mutex;           // keeps batches in order
};

JournalQueue &journal_queue() {
  static JournalQueue *queue = new JournalQueue;
  return *queue;
}

// Writes everything queued so far in one transaction.
bool flush_journal() {
  JournalQueue &q = journal_queue();
  std::lock_guard flushing(q.flush_mutex);
  std::vector<PendingEntry> batch;
  {
    std::lock_guard lock(q.mutex);
    batch.swap(q.pending);
  }
  if (batch.empty()) return true;
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  if (c.db == nullptr) return false;
  Transaction transaction(c);
  if (!transaction.began()) return false;
  for (const PendingEntry &e : batch) {
    Statement statement =
        prepared(c, "INSERT INTO journal (time, bit, action, data) VALUES (?1, ?2, ?3, ?4)");
    if (!statement || !statement.text(1, e.time).integer(2, e.bit).integer(3, e.action).text(4, e.data).run())
      return false;
  }
  return transaction.commit();
}

// Notices arriving close together share one commit: the writer waits a
// little after the first before it writes the batch.
constexpr auto kJournalBatchDelay = std::chrono::milliseconds(20);

void journal_writer() {
  JournalQueue &q = journal_queue();
  for (;;) {
    {
      std::unique_lock lock(q.mutex);
      q.wake.wait(lock, [&] { return !q.pending.empty(); });
    }
    std::this_thread::sleep_for(kJournalBatchDelay);
    flush_journal();
  }
}

}  // namespace

namespace detail {

bool append_journal_entry(uint32_t bit, int action, const std::string &data) {
  if (!store_is_open()) return false;
  JournalQueue &q = journal_queue();
  bool wake_writer = false;
  {
    std::lock_guard lock(q.mutex);
    wake_writer = q.pending.empty();
    q.pending.push_back({local_time_now(), bit, action, data});
    if (!q.started) {
      std::thread(journal_writer).detach();
      q.started = true;
    }
  }
  if (wake_writer) q.wake.notify_one();
  return true;
}

bool apply_notice(uint32_t bit, const void *data, int action) {
  NoticeApplier applier = nullptr;
  {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    auto found = r.appliers.find(bit);
    if (found != r.appliers.end()) applier = found->second;
  }
  return applier == nullptr || applier(data, action);
}

std::string notice_text(uint32_t bit, const void *data) {
  if (data == nullptr) return {};
  NoticeFormatter formatter = nullptr;
  {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    auto found = r.formatters.find(bit);
    if (found != r.formatters.end()) formatter = found->second;
  }
  return formatter != nullptr ? formatter(data) : "<data>";
}

bool checkpoint_store() {
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  if (c.db == nullptr) return false;
  return sqlite3_wal_checkpoint_v2(c.db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr) ==
         SQLITE_OK;
}

}  // namespace detail

// ---- failure injection ------------------------------------------------------------------

// Every accessor asks on every call; without injected failures the answer
// comes without taking the lock.
std::atomic<bool> g_failures_injected{false};

void fail_accessor(std::string_view accessor, int index) {
  Registry &r = registry();
  std::lock_guard lock(r.mutex);
  g_failures_injected.store(true);
  auto found = r.failures.find(accessor);
  if (found == r.failures.end()) found = r.failures.emplace(std::string(accessor), std::set<int>()).first;
  found->second.insert(index < 0 ? kEveryIndex : index);
}

void clear_failures() {
  Registry &r = registry();
  std::lock_guard lock(r.mutex);
  r.failures.clear();
  g_failures_injected.store(false);
}

bool should_fail(std::string_view accessor, int index) {
  if (!g_failures_injected.load(std::memory_order_relaxed)) return false;
  Registry &r = registry();
  std::lock_guard lock(r.mutex);
  auto found = r.failures.find(accessor);
  if (found == r.failures.end()) return false;
  return found->second.count(kEveryIndex) > 0 || found->second.count(index) > 0;
}

// ---- dump ----------------------------------------------------------------------------------

std::string one_line(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto byte = static_cast<unsigned char>(ch);
    if (ch == '\\') {
      out += "\\\\";
    } else if (ch == '\n') {
      out += "\\n";
    } else if (ch == '\t') {
      out += "\\t";
    } else if (ch == '\r') {
      out += "\\r";
    } else if (byte < 0x20 || byte == 0x7f) {
      static constexpr char kDigits[] = "0123456789abcdef";
      out += "\\x";
      out += kDigits[byte >> 4];
      out += kDigits[byte & 0xf];
    } else {
      out += ch;
    }
  }
  return out;
}

std::vector<std::string> dump_lines() {
  flush_journal();
  std::vector<std::string> lines;
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  if (c.db == nullptr) return lines;
  {
    Statement settings = prepared(c, "SELECT name, value FROM settings ORDER BY name");
    while (settings && settings.row()) {
      lines.push_back(one_line(settings.text_at(0)) + "=" + one_line(settings.text_at(1)));
    }
  }
  // Tables come from the database itself, not from the registry, so a
  // process that registers nothing (igd1-mib) still sees every row.
  std::vector<std::string> tables;
  {
    Statement names = prepared(c, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name");
    while (names && names.row()) {
      std::string name = names.text_at(0);
      if (is_user_table_name(name)) tables.push_back(std::move(name));
    }
  }
  for (const std::string &table : tables) {
    std::vector<std::string> columns = table_columns_locked(c, table);
    if (std::find(columns.begin(), columns.end(), "inst") == columns.end()) continue;
    Statement rows = prepared(c, "SELECT * FROM " + quoted(table) + " ORDER BY inst");
    if (!rows) continue;
    while (rows.row()) {
      int inst_index = -1;
      for (int i = 0; i < rows.columns(); ++i) {
        if (std::string_view(rows.column_name(i)) == "inst") inst_index = i;
      }
      std::string prefix = table + "[" + std::to_string(rows.integer_at(inst_index)) + "].";
      for (int i = 0; i < rows.columns(); ++i) {
        if (i == inst_index) continue;
        lines.push_back(prefix + rows.column_name(i) + "=" + one_line(rows.text_at(i)));
      }
    }
  }
  Statement count = prepared(c, "SELECT count(*) FROM journal");
  int64_t entries = (count && count.row()) ? count.integer_at(0) : 0;
  lines.push_back("journal.entries=" + std::to_string(entries));
  return lines;
}

}  // namespace igd1::mib
