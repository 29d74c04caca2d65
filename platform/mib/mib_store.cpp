// The SQLite side of the configuration store: the connection, settings,
// tables, the journal, failure injection and the dump.
//
// One connection serves the whole process.  It is used from the bus main loop
// and from notification threads, so every use holds `Connection::mutex`, a
// recursive mutex: an open transaction keeps it from its begin to its end, so
// a transaction belongs to one thread and the others wait for its end.  The
// registries (tables, notice formatters, injected failures) have their own
// mutex; code that needs both takes the connection's first and never waits for
// the connection while holding the registry's.
//
// Row listeners run after the change is committed (a change made inside a
// transaction: after the outermost commit; never after a rollback), so a
// listener may read the store itself.
//
// Folding the write-ahead log into the database file (a checkpoint, with its
// fsync) never runs on the caller's thread: a checkpoint thread with its own
// connection does it shortly after writes stop, and then refreshes the last
// good copy of the database.
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sqlite3.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <climits>
#include <cerrno>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <system_error>
#include <thread>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <unordered_map>

#include "mib_internal.h"
#include "mib_store.h"

namespace igd1::mib {

namespace {

// Bumped whenever the layout of settings, journal or meta changes.  A
// database written by a newer version is refused rather than misread.
constexpr int kSchemaVersion = 1;
constexpr char kSchemaVersionKey[] = "schema_version";
// How long a write waits for another process's write lock before it is
// refused.  Writes hold the lock for a millisecond or so; a writer that holds
// it longer makes the caller fail quickly instead of stalling its loop.
constexpr int kBusyTimeoutMs = 100;
// The write-ahead log is cut back to this size whenever it starts over.
constexpr int64_t kWalSizeLimit = 1 << 20;
// "name[:index],name2,..." - accessors to fail from the moment of opening.
constexpr char kFailEnv[] = "IGD1_MIB_FAIL";
// meta key prefix of a table column's kind and size: "column.<table>.<column>".
constexpr char kColumnMetaPrefix[] = "column.";

// Reports `message` in `error` (when given); false, the failure a caller answers.
bool set_error(std::string *error, std::string message) {
  if (error != nullptr) *error = std::move(message);
  return false;
}

bool is_damage_code(int rc) {
  const int primary = rc & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// Why SQLite failed, in words an operator acts on: a full disk is named as
// such (SQLite reports it as SQLITE_FULL on writes, and as an I/O error with
// ENOSPC when it cannot extend its shared-memory index).
std::string failure_text(sqlite3 *db, int rc) {
  const std::string detail = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  if ((rc & 0xff) == SQLITE_FULL || (db != nullptr && sqlite3_system_errno(db) == ENOSPC))
    return "no space left on the device (" + detail + ")";
  return detail;
}

// The failure of the last call on `db`.
std::string last_failure(sqlite3 *db) { return failure_text(db, sqlite3_extended_errcode(db)); }

// Reports the failure of the last call on `db` in `why`; false.
bool failed(sqlite3 *db, std::string *why) { return set_error(why, last_failure(db)); }

// Opens the database `name` for one thread's use, waiting for other
// processes' locks as long as a write does; nullptr on failure, with
// `failure` (when given) saying why.
sqlite3 *open_database(const std::string &name, int flags, std::string *failure = nullptr) {
  sqlite3 *db = nullptr;
  const int rc = sqlite3_open_v2(name.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    return db;
  }
  set_error(failure, failure_text(db, rc));
  sqlite3_close(db);
  return nullptr;
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

// A key's number: decimal digits without a sign or a leading zero.
std::optional<uint32_t> parse_key_number(std::string_view digits) {
  if (digits.size() > 1 && digits[0] == '0') return std::nullopt;
  return parse_whole<uint32_t>(digits);
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

std::string sql_name(std::string_view identifier) {
  std::string text = "\"";
  text += identifier;
  text += '"';
  return text;
}

// The text changes once a second; each thread keeps the last one it made.
std::string local_time_now() {
  thread_local time_t cached_second = -1;
  thread_local char text[32];
  thread_local size_t length = 0;
  time_t now = time(nullptr);
  if (now != cached_second) {
    struct tm parts {};
    localtime_r(&now, &parts);
    length = strftime(text, sizeof text, "%F %T", &parts);
    cached_second = now;
  }
  return std::string(text, length);
}

// ---- the commit counters -------------------------------------------------------

// Beside the database lies a small file of counters that every process using
// the store maps shared: after each commit a writer bumps the counter of what
// it changed (slot 0 the settings, the others the tables by name).  A reader
// that keeps a copy of settings or rows compares one counter with the value
// it saw when it read, without asking the database.  Without the file (a
// read-only folder) the counters are the process's own and other processes'
// commits show through the database's data version only.
//
// Beside each counter the file counts the threads (of any process) that
// sleep on it, so that a commit makes the wake-up system call only when
// someone sleeps.  A sleeper counts itself before it reads the counter and a
// writer reads the count after it bumped the counter (both sequentially
// consistent): either the writer sees the sleeper, or the sleeper sees the
// new count and does not sleep.  A process killed in its sleep leaves its
// count behind, which costs the writers a wake-up each, nothing more.
constexpr size_t kCounterSlots = 64;
constexpr char kCounterSuffix[] = "-commits";
struct CommitCounters {
  uint64_t counts[kCounterSlots];
  uint32_t sleepers[kCounterSlots];
};
CommitCounters g_local_counters;
std::atomic<CommitCounters *> g_counters{&g_local_counters};

CommitCounters *map_counters(const std::string &db_path) {
  std::string file = db_path + kCounterSuffix;
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  constexpr off_t kSize = sizeof(CommitCounters);
  struct stat info {};
  void *mapped = MAP_FAILED;
  if (fstat(fd, &info) == 0 && (info.st_size >= kSize || ftruncate(fd, kSize) == 0))
    mapped = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  return mapped == MAP_FAILED ? nullptr : static_cast<CommitCounters *>(mapped);
}

std::atomic_ref<uint64_t> counter_at(size_t slot) {
  return std::atomic_ref<uint64_t>(g_counters.load(std::memory_order_acquire)->counts[slot]);
}

// Sleepers on a counter wait on its low 32 bits, which every commit changes:
// the kernel compares one 32-bit word.  The mapping is shared, so a waker in
// another process reaches them.
uint32_t *low_word(uint64_t *counter) {
  return reinterpret_cast<uint32_t *>(counter) + (std::endian::native == std::endian::big ? 1 : 0);
}
void wake_sleepers(CommitCounters *counters, size_t slot) {
  syscall(SYS_futex, low_word(&counters->counts[slot]), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

// Counts the calling thread as a sleeper on the slots given while it lives.
class Sleeping {
 public:
  Sleeping(CommitCounters *counters, std::span<const size_t> slots) : counters_(counters), slots_(slots) {
    for (size_t slot : slots_) std::atomic_ref<uint32_t>(counters_->sleepers[slot]).fetch_add(1);
  }
  ~Sleeping() {
    for (size_t slot : slots_) std::atomic_ref<uint32_t>(counters_->sleepers[slot]).fetch_sub(1);
  }
  Sleeping(const Sleeping &) = delete;
  Sleeping &operator=(const Sleeping &) = delete;

 private:
  CommitCounters *counters_;
  std::span<const size_t> slots_;
};

// ---- logging -------------------------------------------------------------------

void log_to_stderr(const char *message) { std::fprintf(stderr, "igd1 store: %s\n", message); }
std::atomic<StoreLogger> g_logger{log_to_stderr};

void log_store(const std::string &message) {
  StoreLogger logger = g_logger.load();
  if (logger != nullptr) logger(message.c_str());
}

// Logs why a store call fails; false, the failure the caller answers.
bool failure_logged(const std::string &message) {
  log_store(message);
  return false;
}

// ---- failures met while serving --------------------------------------------------

// Damage stays until the store is opened again (it is then set aside for the
// last good copy); a failed write (a full disk) belongs to the transaction
// of the thread that met it, and is forgotten when that thread begins the
// next one.
std::mutex g_damage_mutex;
std::string g_damage;
thread_local std::string t_write_failure;

void note_statement_failure(sqlite3 *db, int rc) {
  if (is_damage_code(rc)) {
    std::lock_guard lock(g_damage_mutex);
    if (g_damage.empty()) g_damage = "the configuration store is damaged (" + failure_text(db, rc) + ")";
    return;
  }
  const int primary = rc & 0xff;
  if (primary == SQLITE_FULL || primary == SQLITE_IOERR || primary == SQLITE_READONLY ||
      primary == SQLITE_CANTOPEN)
    t_write_failure = "the configuration store cannot write: " + failure_text(db, rc);
}

void forget_damage() {
  std::lock_guard lock(g_damage_mutex);
  g_damage.clear();
}

// ---- the connection ----------------------------------------------------------

// A row change waiting for its transaction to commit before the row listener
// hears of it.
struct RowEvent {
  const TableDef *table;
  std::vector<uint8_t> row;
  bool inserted;
};

struct CommitHook {
  const void *key;
  size_t slot;
  TransactionEnd callback;
  void *data;
};

// Hashes a name as a std::string or a view alike, so that a look-up needs no
// copy of the name.
struct NameHash {
  using is_transparent = void;
  size_t operator()(std::string_view name) const { return std::hash<std::string_view>()(name); }
};

// This process's copy of the settings it has read.  A value read is kept
// until the settings' commit counter moves (a commit by any process that
// uses the store) or, for writers that bypass the counters, until the
// database's data version moves (asked at most every
// kSettingsVersionInterval).  Writes of the open transaction wait in
// `pending` and reach `values` only once their commit succeeded, so a failed
// or rolled back write leaves the copy equal to the database.
struct SettingsCache {
  // Missing settings are remembered too (nullopt), so that asking again for
  // one costs no query either.
  std::unordered_map<std::string, std::optional<std::string>, NameHash, std::equal_to<>> values;
  std::unordered_map<std::string, std::optional<std::string>, NameHash, std::equal_to<>> pending;
  bool valid = false;
  uint64_t commit_count = 0;  // the settings counter `values` belongs to
  int64_t data_version = 0;
  std::chrono::steady_clock::time_point version_checked;

  void drop() {
    values.clear();
    valid = false;
  }
};

// A service notice waiting to be recorded in the journal.
struct QueuedNotice {
  std::string time;  // when it was given, local time "%F %T"
  uint64_t bit;
  int action;
  std::string data;
};

struct Connection {
  std::recursive_mutex mutex;
  sqlite3 *db = nullptr;
  std::string path;
  // Prepared once per SQL text and reused for the life of the connection.
  std::unordered_map<std::string, sqlite3_stmt *, NameHash, std::equal_to<>> statements;
  // Writes made through this connection, per table, and the number of
  // opens: together with the commit counters they tell a reader whether a
  // table may have changed since it last looked.
  std::map<std::string, uint64_t, std::less<>> table_writes;  // looked up without a copy
  uint64_t opens = 0;
  // The open transaction: its nesting depth, whether an inner level rolled
  // back (the whole transaction then rolls back), the counter slots it
  // wrote, the row changes it made and who waits for its end.
  int depth = 0;
  bool doomed = false;
  uint64_t touched = 0;
  std::vector<RowEvent> row_events;
  std::vector<CommitHook> hooks;
  std::vector<QueuedNotice> notices;  // given within the open transaction
  SettingsCache settings;
  // The open transaction wrote a table of large rows.
  bool large_rows = false;

  // Forgets what the last transaction left, before the next one begins.
  void clear_transaction() {
    doomed = false;
    touched = 0;
    row_events.clear();
    hooks.clear();
    notices.clear();
    settings.pending.clear();
  }
};

// Never destroyed: notification threads may still use the store while the
// process exits.
Connection &connection() {
  static Connection *instance = new Connection;
  return *instance;
}

void close_locked(Connection &c) {
  for (auto &entry : c.statements) sqlite3_finalize(entry.second);
  c.statements.clear();
  c.depth = 0;
  c.clear_transaction();
  c.settings.drop();
  if (c.db != nullptr) sqlite3_close(c.db);
  c.db = nullptr;
  c.path.clear();
}

// One use of a cached prepared statement.  The statement is reset and its
// parameters cleared when the use ends, ready for the next caller.
class Statement {
 public:
  // `owned`: a statement of this use alone, finalized when the use ends.
  explicit Statement(sqlite3_stmt *stmt, bool owned = false)
      : stmt_(stmt), ok_(stmt != nullptr), owned_(owned) {}
  Statement(const Statement &) = delete;
  Statement &operator=(const Statement &) = delete;
  ~Statement() {
    if (stmt_ != nullptr && owned_) {
      sqlite3_finalize(stmt_);
    } else if (stmt_ != nullptr) {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }
  }

  explicit operator bool() const { return stmt_ != nullptr; }

  Statement &integer(int index, int64_t value) {
    if (ok_) ok_ = sqlite3_bind_int64(stmt_, index, value) == SQLITE_OK;
    return *this;
  }
  // Binds without a copy: the bytes must stay as they are until this use of
  // the statement ends.  What a row write binds is its own encoded record,
  // which can be a megabyte; a setting write binds its caller's texts.
  Statement &text(int index, std::string_view value) {
    const char *data = value.data() != nullptr ? value.data() : "";
    if (ok_) {
      ok_ = sqlite3_bind_text64(stmt_, index, data, value.size(), SQLITE_STATIC, SQLITE_UTF8) ==
            SQLITE_OK;
    }
    return *this;
  }
  Statement &blob_view(int index, std::span<const uint8_t> bytes) {
    if (ok_) {
      // A blob bound from a null pointer would be stored as NULL.
      ok_ = (bytes.empty() ? sqlite3_bind_zeroblob(stmt_, index, 0)
                           : sqlite3_bind_blob64(stmt_, index, bytes.data(), bytes.size(),
                                                 SQLITE_STATIC)) == SQLITE_OK;
    }
    return *this;
  }

  // SQLITE_ROW, SQLITE_DONE or an error code.  Errors other than a busy
  // database (which its caller reports) are logged: a damaged page met while
  // serving must not pass unnoticed.
  int step() {
    if (!ok_) return SQLITE_MISUSE;
    int rc = sqlite3_step(stmt_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE && (rc & 0xff) != SQLITE_BUSY &&
        (rc & 0xff) != SQLITE_CONSTRAINT) {
      sqlite3 *db = sqlite3_db_handle(stmt_);
      log_store(failure_text(db, rc) + " (" + sqlite3_sql(stmt_) + ")");
      note_statement_failure(db, rc);
    }
    return rc;
  }
  // Runs a statement that returns no rows.
  bool run() { return step() == SQLITE_DONE; }
  bool row() { return step() == SQLITE_ROW; }

  int columns() const { return sqlite3_column_count(stmt_); }
  const char *column_name(int index) const { return sqlite3_column_name(stmt_, index); }
  bool is_null(int index) const { return sqlite3_column_type(stmt_, index) == SQLITE_NULL; }
  int64_t integer_at(int index) const { return sqlite3_column_int64(stmt_, index); }
  bool is_blob(int index) const { return sqlite3_column_type(stmt_, index) == SQLITE_BLOB; }
  // The bytes of a blob column, valid until the statement moves on.
  std::span<const uint8_t> blob_at(int index) const {
    const auto *bytes = static_cast<const uint8_t *>(sqlite3_column_blob(stmt_, index));
    const int size = sqlite3_column_bytes(stmt_, index);
    if (bytes == nullptr || size <= 0) return {};
    return {bytes, static_cast<size_t>(size)};
  }
  // Text of a column; a BLOB (written by hand) comes out as hexadecimal.
  std::string text_at(int index) const {
    if (is_blob(index)) {
      const std::span<const uint8_t> bytes = blob_at(index);
      return hex_text(bytes.data(), bytes.size());
    }
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt_, index));
    int size = sqlite3_column_bytes(stmt_, index);
    return text != nullptr ? std::string(text, static_cast<size_t>(size)) : std::string();
  }

 private:
  sqlite3_stmt *stmt_;
  bool ok_;
  bool owned_;
};

sqlite3_stmt *prepare(sqlite3 *db, std::string_view sql, unsigned flags) {
  sqlite3_stmt *stmt = nullptr;
  if (db != nullptr &&
      sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()), flags, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return nullptr;
  }
  return stmt;
}

// Looked up by the text itself, without a copy of it.
Statement prepared(Connection &c, std::string_view sql) {
  if (c.db == nullptr) return Statement(nullptr);
  auto found = c.statements.find(sql);
  if (found != c.statements.end()) return Statement(found->second);
  sqlite3_stmt *stmt = prepare(c.db, sql, SQLITE_PREPARE_PERSISTENT);
  if (stmt != nullptr) c.statements.emplace(std::string(sql), stmt);
  return Statement(stmt);
}

// A statement over the rows of `table`: kept, unless its rows are large (a
// kept statement holds on to the memory of the last values it carried).
Statement prepared_for(Connection &c, const TableDef &table, const std::string &sql) {
  if (table.row_size < kLargeRowSize) return prepared(c, sql);
  return Statement(prepare(c.db, sql, 0), true);
}

bool run_cached(Connection &c, std::string_view sql) {
  Statement statement = prepared(c, sql);
  return statement && statement.run();
}

// Asks the checkpoint thread to fold the write-ahead log into the database
// file soon (see the checkpoints below); an urgent request wakes it at once.
void request_checkpoint(bool urgent = false);
// Commits of this process: the last good copy is taken again only after one.
std::atomic<uint64_t> g_commits{0};
// Rows of a table of large rows were read, or written by a commit, since the
// checkpoint thread last gave their memory back.
std::atomic<bool> g_large_rows_used{false};
// After a read of `table`'s rows: when they are large, their pages and the
// buffers that carried them are given back once the store's work pauses.
void read_rows_of(const TableDef &table) {
  if (table.row_size < kLargeRowSize) return;
  g_large_rows_used.store(true);
  request_checkpoint();
}
// Hears the size of the write-ahead log after each commit (see the checkpoints).
int on_wal_commit(void *, sqlite3 *, const char *, int frames);
// Waits, up to the busy time-out, while the log is over its cap; false when
// it still is (see the checkpoints).
bool wait_for_log_room();

// The counter slot of a table (by name) and of the settings.
constexpr size_t kSettingsSlot = 0;
size_t slot_of(std::string_view table) {
  uint32_t hash = 2166136261u;
  for (char ch : table) {
    auto lower = static_cast<unsigned char>((ch >= 'A' && ch <= 'Z') ? ch - 'A' + 'a' : ch);
    hash = (hash ^ lower) * 16777619u;
  }
  return 1 + hash % (kCounterSlots - 1);
}

// Makes `next` the counters of this process; whoever sleeps on the ones it
// replaces wakes, to look again at the store now open (or at none).
void use_counters(CommitCounters *next) {
  wake_sleepers(g_counters.exchange(next, std::memory_order_acq_rel), kSettingsSlot);
}

void touch_locked(Connection &c, size_t slot) { c.touched |= uint64_t(1) << slot; }

// A write to `table` by the open transaction: its counter moves at the
// commit, and the connection counts it at once.
void wrote_table_locked(Connection &c, std::string_view table) {
  touch_locked(c, slot_of(table));
  auto found = c.table_writes.find(table);
  if (found == c.table_writes.end()) found = c.table_writes.emplace(std::string(table), 0).first;
  ++found->second;
}

// Opens a transaction level.  The outermost one takes the database's write
// lock at once (waiting up to the busy timeout), so two processes never
// deadlock upgrading a read lock.
bool begin_locked(Connection &c) {
  if (c.db == nullptr) return false;
  if (c.depth == 0) {
    if (!wait_for_log_room())
      return failure_logged("cannot begin a write: the write-ahead log is full and its checkpoint is behind");
    t_write_failure.clear();
    if (!run_cached(c, "BEGIN IMMEDIATE"))
      return failure_logged("cannot begin a write: " + std::string(sqlite3_errmsg(c.db)));
    c.clear_transaction();
  }
  ++c.depth;
  return true;
}

// The end of a transaction for the copy of the settings: the transaction's
// setting writes join the copy when they committed and no other commit of
// settings came between the copy and this one; otherwise the copy starts
// over.  Writes that did not commit are dropped, as the database dropped them.
void settle_settings_locked(Connection &c, bool committed_settings, uint64_t counter_before) {
  SettingsCache &cache = c.settings;
  if (committed_settings) {
    if (cache.valid && counter_before == cache.commit_count) {
      for (auto &[name, value] : cache.pending) cache.values[name] = std::move(value);
      cache.commit_count = counter_before + 1;
    } else {
      cache.drop();
    }
  }
  cache.pending.clear();
}

void queue_notices(std::vector<QueuedNotice> &notices);

// Closes a level.  A rollback at any level dooms the whole transaction; the
// outermost level commits it (unless doomed), bumps the counters of what it
// wrote, tells the hooks and hands out the row changes to announce.  Returns
// true when the transaction (so far) stands.
bool end_locked(Connection &c, bool commit, std::vector<RowEvent> *events) {
  if (c.depth == 0) return false;
  --c.depth;
  if (!commit) c.doomed = true;
  if (c.depth > 0) return !c.doomed;
  bool ok = false;
  if (!c.doomed) {
    ok = run_cached(c, "COMMIT");
    if (!ok) log_store("commit failed: " + std::string(sqlite3_errmsg(c.db)));
  }
  if (!ok && c.db != nullptr && sqlite3_get_autocommit(c.db) == 0) run_cached(c, "ROLLBACK");
  uint64_t before[kCounterSlots] = {};
  if (ok) {
    // Each counter the transaction touched moves on, and whoever sleeps on it
    // (in any process) looks again.
    CommitCounters *counters = g_counters.load(std::memory_order_acquire);
    for (uint64_t touched = c.touched; touched != 0; touched &= touched - 1) {
      const auto slot = size_t(std::countr_zero(touched));
      before[slot] = std::atomic_ref<uint64_t>(counters->counts[slot]).fetch_add(1);
      if (std::atomic_ref<uint32_t>(counters->sleepers[slot]).load() != 0)
        wake_sleepers(counters, slot);
    }
  }
  settle_settings_locked(c, ok && (c.touched & (uint64_t(1) << kSettingsSlot)) != 0,
                         before[kSettingsSlot]);
  std::vector<CommitHook> hooks;
  hooks.swap(c.hooks);
  for (const CommitHook &hook : hooks) hook.callback(hook.data, ok, before[hook.slot]);
  if (ok && events != nullptr) events->swap(c.row_events);
  // The notices of a transaction are recorded only when it committed.
  if (ok && !c.notices.empty()) queue_notices(c.notices);
  c.clear_transaction();
  if (c.large_rows) {
    if (ok) g_large_rows_used.store(true);
    c.large_rows = false;
  }
  if (ok) {
    g_commits.fetch_add(1, std::memory_order_relaxed);
    request_checkpoint();
  }
  return ok;
}

void deliver_row_events(std::vector<RowEvent> &events) {
  for (const RowEvent &event : events) report_row(*event.table, event.row.data(), event.inserted);
  events.clear();
}

// One level of a write transaction inside a function of the store, which
// holds the connection's mutex.  Rolled back unless committed; row changes
// of the outermost level are handed to the caller to announce once the
// mutex is released.
class Transaction {
 public:
  explicit Transaction(Connection &c) : c_(c), began_(begin_locked(c)) {}
  Transaction(const Transaction &) = delete;
  Transaction &operator=(const Transaction &) = delete;
  ~Transaction() {
    if (began_ && !finished_) end_locked(c_, false, nullptr);
  }
  bool began() const { return began_; }
  bool commit(std::vector<RowEvent> *events = nullptr) {
    finished_ = true;
    return end_locked(c_, true, events);
  }

 private:
  Connection &c_;
  bool began_;
  bool finished_ = false;
};

// ---- the journal of service notices -------------------------------------------------

// A notice is recorded in the journal shortly after the transaction that gave
// it commits (a notice given outside a transaction, shortly after it was
// given), by a thread that records the notices of a burst in one transaction
// of its own: the caller's commit carries only the values, one page fewer to
// append to the log on every write.  The notices of a transaction that rolls
// back are dropped with it.  Readers in this process first record what is
// waiting, so they see every notice; another process sees one within
// kJournalGather.  A process that dies in between loses those notices, never
// a value.
constexpr auto kJournalGather = std::chrono::milliseconds(10);
// Each batch drops the notices that fall behind the newest kJournalKept
// (about 60 bytes a notice, so the journal stays well under a megabyte).
// Sequence numbers go on counting, so a reader that asks for the notices
// after one it saw is never handed an old one again.

struct JournalQueue {
  std::mutex mutex;  // taken after the connection's mutex, never before
  std::condition_variable wake;
  std::vector<QueuedNotice> waiting;
  bool started = false;
};

JournalQueue &journal_queue() {
  static auto *queue = new JournalQueue;  // never destroyed, like the connection
  return *queue;
}

// Records every waiting notice.  Called with the connection's mutex held and
// no transaction open, so that no other batch is in flight meanwhile and the
// journal keeps the notices' order.
void record_waiting_notices_locked(Connection &c) {
  std::vector<QueuedNotice> batch;
  {
    JournalQueue &q = journal_queue();
    std::lock_guard lock(q.mutex);
    batch.swap(q.waiting);
  }
  if (batch.empty() || c.db == nullptr) return;
  Transaction transaction(c);
  bool ok = transaction.began();
  for (size_t i = 0; ok && i < batch.size(); ++i) {
    const QueuedNotice &n = batch[i];
    Statement statement =
        prepared(c, "INSERT INTO journal (time, bit, action, data) VALUES (?1, ?2, ?3, ?4)");
    ok = statement && statement.text(1, n.time).integer(2, int64_t(n.bit)).integer(3, n.action)
                          .text(4, n.data).run();
  }
  if (ok) {
    Statement trim = prepared(c, "DELETE FROM journal WHERE seq <= (SELECT max(seq) FROM journal) - ?1");
    ok = trim && trim.integer(1, kJournalKept).run();
  }
  if (!ok || !transaction.commit())
    log_store("cannot record " + std::to_string(batch.size()) +
              " service notice(s): " + std::string(sqlite3_errmsg(c.db)));
}

void journal_thread() {
  pthread_setname_np(pthread_self(), "mib_journal");
  JournalQueue &q = journal_queue();
  for (;;) {
    {
      std::unique_lock lock(q.mutex);
      q.wake.wait(lock, [&] { return !q.waiting.empty(); });
    }
    // A burst of writes gives a notice each: gathering them for a moment
    // records them in one transaction.
    std::this_thread::sleep_for(kJournalGather);
    Connection &c = connection();
    std::lock_guard lock(c.mutex);
    // A transaction of this thread is never open here; another thread's
    // would hold the mutex.
    record_waiting_notices_locked(c);
  }
}

void queue_notices(std::vector<QueuedNotice> &notices) {
  JournalQueue &q = journal_queue();
  std::lock_guard lock(q.mutex);
  const bool was_empty = q.waiting.empty();
  for (QueuedNotice &n : notices) q.waiting.push_back(std::move(n));
  if (!q.started) {
    std::thread(journal_thread).detach();
    q.started = true;
  }
  if (was_empty) q.wake.notify_one();
}

// For schema statements, which are run once and not cached.
bool exec_sql(sqlite3 *db, const std::string &sql, std::string *why) {
  char *message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
  set_error(why, (sqlite3_errcode(db) & 0xff) == SQLITE_FULL || message == nullptr ? last_failure(db)
                                                                                   : message);
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
  std::map<std::string, RowNoticeHandler, std::less<>> row_notice_handlers;  // by table
  std::map<std::string, std::set<int>, std::less<>> failures;
  std::set<std::string, std::less<>> held;  // accessors that wait for release_accessors()
  std::condition_variable released;
};

Registry &registry() {
  static Registry *instance = new Registry;
  return *instance;
}

std::atomic<RowListener> g_row_listener{nullptr};

// The handler registered under `key` in one of the registry's maps, or
// nullptr; its caller calls it once the registry's lock is let go.
template <typename Map, typename Key>
typename Map::mapped_type handler_of(Map Registry::*handlers, const Key &key) {
  Registry &r = registry();
  std::lock_guard lock(r.mutex);
  const auto found = (r.*handlers).find(key);
  return found != (r.*handlers).end() ? found->second : nullptr;
}

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
    const size_t colon = entry.find(':');
    const std::string_view name = entry.substr(0, colon);
    const std::optional<int> index = colon == std::string_view::npos
                                         ? std::optional<int>(kEveryIndex)
                                         : parse_whole<int>(entry.substr(colon + 1));
    if (name.empty() || !index)
      return set_error(why, std::string(kFailEnv) + ": malformed entry '" + std::string(entry) + "'");
    out->emplace_back(std::string(name), *index);
  }
  return true;
}

// ---- table layout -----------------------------------------------------------------

// The highest number an instance field of `width` bytes holds.
uint64_t width_ceiling(unsigned width) { return (uint64_t(1) << (8 * width)) - 1; }

// Keys are kept in the signed 64-bit rowid: a nested row whose parent number
// has bit 31 set reads back negative.  Its table lists negative keys last, so
// that rows come in the order of their unsigned keys.
int64_t sql_key(RowKey key) { return static_cast<int64_t>(key); }
RowKey stored_key(int64_t inst) { return static_cast<RowKey>(inst); }

// Positions of the record bytes that no column covers (the instance number
// and a parent's are covered by the key, the inst column), or nothing when
// the definition is unusable: bad names, an instance range the width cannot
// hold, a column outside the record or overlapping another or the key, a
// size that does not suit the column's kind.
// Byte ranges [begin, end) of a record, in ascending order.
using Ranges = std::vector<std::pair<size_t, size_t>>;

std::optional<Ranges> layout_gaps(const TableDef &table) {
  if (table.name == nullptr || !is_user_table_name(table.name)) return std::nullopt;
  const unsigned width = table.instance_size;
  if (width != 1 && width != 2 && width != 4) return std::nullopt;
  const uint64_t highest = table.max_instance != 0 ? table.max_instance : table.max_rows;
  if (table.row_size < width || table.max_rows < 1 || highest < table.max_rows ||
      highest > width_ceiling(width)) {
    return std::nullopt;
  }
  if (table.parent_offset != 0 &&
      (table.parent_offset < width || table.parent_offset > table.row_size ||
       table.row_size - table.parent_offset < sizeof(uint32_t))) {
    return std::nullopt;
  }
  if (table.column_count > 0 && table.columns == nullptr) return std::nullopt;
  Ranges covered{{0, width}};
  if (table.parent_offset != 0) covered.emplace_back(table.parent_offset, table.parent_offset + sizeof(uint32_t));
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
    covered.emplace_back(column.offset, column.offset + column.size);
  }
  // Sorted, the covered ranges must follow each other without overlapping;
  // what lies between them is kept verbatim.
  std::sort(covered.begin(), covered.end());
  Ranges gaps;
  size_t reached = 0;
  for (const auto &[begin, end] : covered) {
    if (begin < reached) return std::nullopt;
    if (begin > reached) gaps.emplace_back(reached, begin);
    reached = end;
  }
  if (reached < table.row_size) gaps.emplace_back(reached, table.row_size);
  return gaps;
}

// The stored form of a record: the text of each column and the bytes no
// column covers, back to back (stored as one blob); and the record as a
// reader gets it back from them, each column in its canonical form, so that
// a writer knows it without reading the row again.
struct RowText {
  std::vector<std::string> cells;
  std::vector<uint8_t> kept;
  std::vector<uint8_t> record;
};

// A column whose bytes do not make a valid value (an unterminated text)
// refuses the whole record.
std::optional<RowText> encode_row(const TableDef &table, const Ranges &gaps, const uint8_t *row) {
  RowText out;
  out.record.assign(row, row + table.row_size);
  out.cells.reserve(table.column_count);
  for (size_t i = 0; i < table.column_count; ++i) {
    const Column &column = table.columns[i];
    std::string text = format_value(column.kind, row + column.offset, column.size);
    uint8_t *canonical = out.record.data() + column.offset;
    std::memset(canonical, 0, column.size);
    if (!parse_value(column.kind, text, canonical, column.size)) return std::nullopt;
    out.cells.push_back(std::move(text));
  }
  for (const auto &[begin, end] : gaps) out.kept.insert(out.kept.end(), row + begin, row + end);
  return out;
}

// Puts kept bytes back in their places, as far as `bytes` reaches.
void scatter_kept(uint8_t *row, const Ranges &gaps, std::span<const uint8_t> bytes) {
  for (const auto &[begin, end] : gaps) {
    if (bytes.empty()) return;
    const size_t length = std::min(end - begin, bytes.size());
    std::memcpy(row + begin, bytes.data(), length);
    bytes = bytes.subspan(length);
  }
}

// Kept bytes in hexadecimal text, the form rows had before they were stored
// as a blob: read up to the first character that is not a digit pair.
std::vector<uint8_t> from_hex(std::string_view text) {
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    const int high = hex_digit(text[i]);
    const int low = hex_digit(text[i + 1]);
    if (high < 0 || low < 0) break;
    bytes.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return bytes;
}

// Rebuilds a record from the columns "inst, <columns...>, extra" of the
// current result row.  A cell edited by hand into something that does not
// parse reads as zero bytes.
std::vector<uint8_t> decode_row(const TableDef &table, const Ranges &gaps, const Statement &statement) {
  std::vector<uint8_t> row(table.row_size, 0);
  set_row_key(table, row.data(), stored_key(statement.integer_at(0)));
  for (size_t i = 0; i < table.column_count; ++i) {
    const Column &column = table.columns[i];
    int index = static_cast<int>(i) + 1;
    if (statement.is_null(index)) continue;
    parse_value(column.kind, statement.text_at(index), row.data() + column.offset, column.size);
  }
  const int kept = static_cast<int>(table.column_count) + 1;
  if (statement.is_blob(kept)) {
    scatter_kept(row.data(), gaps, statement.blob_at(kept));
  } else {
    scatter_kept(row.data(), gaps, from_hex(statement.text_at(kept)));
  }
  return row;
}

std::string column_list(const TableDef &table) {
  std::string list = "inst";
  for (size_t i = 0; i < table.column_count; ++i) list += ", " + sql_name(table.columns[i].name);
  return list + ", extra";
}

std::string key_order(const TableDef &table) {
  return table.parent_offset != 0 ? " ORDER BY inst < 0, inst" : " ORDER BY inst";
}

// Every row in key order, or with `where` the rows it picks.
std::string select_sql(const TableDef &table, const char *where = nullptr) {
  const std::string from = "SELECT " + column_list(table) + " FROM " + sql_name(table.name);
  return where != nullptr ? from + where : from + key_order(table);
}

// Parameters of insert and update alike: ?1 instance, ?2.. cells, then extra.
std::string insert_sql(const TableDef &table) {
  std::string values = "?1";
  for (size_t i = 0; i < table.column_count + 1; ++i) values += ", ?" + std::to_string(i + 2);
  return "INSERT INTO " + sql_name(table.name) + " (" + column_list(table) + ") VALUES (" + values + ")";
}

std::string update_sql(const TableDef &table) {
  std::string sets;
  for (size_t i = 0; i < table.column_count; ++i) {
    sets += sql_name(table.columns[i].name) + " = ?" + std::to_string(i + 2) + ", ";
  }
  sets += "extra = ?" + std::to_string(table.column_count + 2);
  return "UPDATE " + sql_name(table.name) + " SET " + sets + " WHERE inst = ?1";
}

// The texts and bytes are bound in place: `text` must outlive the use.
void bind_row(Statement &statement, RowKey key, const RowText &text) {
  statement.integer(1, sql_key(key));
  int index = 2;
  for (const std::string &cell : text.cells) statement.text(index++, cell);
  statement.blob_view(index, text.kept);
}

std::optional<std::vector<uint8_t>> read_row_locked(Connection &c, const TableDef &table,
                                                    const Ranges &gaps,
                                                    RowKey key) {
  Statement statement = prepared_for(c, table, select_sql(table, " WHERE inst = ?1"));
  if (!statement) return std::nullopt;
  statement.integer(1, sql_key(key));
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
  if (!transaction.began()) return failed(c.db, why);
  // The check follows the width of the instance field, not the definition's
  // current limit, so that a limit can grow without rebuilding the table.
  const std::string ceiling = std::to_string(width_ceiling(table.instance_size));
  std::string create = "CREATE TABLE IF NOT EXISTS " + sql_name(table.name) + " (inst INTEGER PRIMARY KEY CHECK (" +
                       (table.parent_offset != 0
                            ? "(inst >> 32) <> 0 AND (inst & 4294967295) BETWEEN 1 AND " + ceiling
                            : "inst BETWEEN 1 AND " + ceiling) +
                       ")";
  for (size_t i = 0; i < table.column_count; ++i) create += ", " + sql_name(table.columns[i].name) + " TEXT";
  create += ", extra TEXT NOT NULL DEFAULT '')";
  if (!exec_sql(c.db, create, why)) return false;

  std::vector<std::string> existing = table_columns_locked(c, table.name);
  auto has = [&](std::string_view name) {
    return std::any_of(existing.begin(), existing.end(),
                       [&](const std::string &e) { return ascii_iequal(e, name); });
  };
  if (!has("inst"))
    return set_error(why, std::string("table ") + table.name + " has no inst column");
  const std::string add_column = "ALTER TABLE " + sql_name(table.name) + " ADD COLUMN ";
  for (size_t i = 0; i < table.column_count; ++i) {
    const Column &column = table.columns[i];
    if (!has(column.name) && !exec_sql(c.db, add_column + sql_name(column.name) + " TEXT", why)) return false;
    std::string type = std::string(detail::kind_name(column.kind)) + " " + std::to_string(column.size);
    if (!put_meta_locked(c, column_meta_key(table.name, column.name), type)) return failed(c.db, why);
  }
  if (!has("extra") && !exec_sql(c.db, add_column + "extra TEXT NOT NULL DEFAULT ''", why)) return false;
  if (!transaction.commit()) return failed(c.db, why);
  return true;
}

// Switches to the write-ahead log, creates the store's own tables, checks the
// schema version and adds the missing defaults, all on a fresh connection.
bool prepare_schema_locked(Connection &c, std::string *why) {
  sqlite3_extended_result_codes(c.db, 1);
  sqlite3_busy_timeout(c.db, kBusyTimeoutMs);
  {
    Statement mode = prepared(c, "PRAGMA journal_mode=WAL");
    if (!mode || !mode.row()) return failed(c.db, why);
    std::string result = mode.text_at(0);
    if (result != "wal")
      return set_error(why, "cannot use a write-ahead log (journal mode " + result + ")");
  }
  // In WAL mode NORMAL loses nothing when the process dies: a commit is in
  // the log file before the call returns.  The checkpoint thread alone folds
  // the log into the database file (with the fsync that takes), never the
  // thread that commits.
  if (!exec_sql(c.db,
                "PRAGMA synchronous=NORMAL; PRAGMA wal_autocheckpoint=0; "
                "PRAGMA journal_size_limit=" + std::to_string(kWalSizeLimit),
                why))
    return false;
  sqlite3_wal_hook(c.db, on_wal_commit, nullptr);

  Transaction transaction(c);
  if (!transaction.began()) return failed(c.db, why);
  if (!exec_sql(c.db,
                "CREATE TABLE IF NOT EXISTS settings (name TEXT PRIMARY KEY, value TEXT NOT NULL);"
                "CREATE TABLE IF NOT EXISTS journal (seq INTEGER PRIMARY KEY, time TEXT, "
                "bit INTEGER, action INTEGER, data TEXT);"
                "CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT);",
                why)) {
    return false;
  }
  if (std::optional<std::string> version = get_meta_locked(c, kSchemaVersionKey)) {
    const std::optional<int> number = parse_whole<int>(*version);
    if (!number || *number > kSchemaVersion)
      return set_error(why, "database written by a newer version (schema " + *version + ")");
  }
  if (!put_meta_locked(c, kSchemaVersionKey, std::to_string(kSchemaVersion))) return failed(c.db, why);
  // INSERT OR IGNORE: a database from an earlier version gains the defaults
  // added since, and keeps every value the user has set.
  for (const Item &setting : detail::default_settings()) {
    Statement insert = prepared(c, "INSERT OR IGNORE INTO settings (name, value) VALUES (?1, ?2)");
    if (!insert || !insert.text(1, setting.name).text(2, setting.initial).run())
      return failed(c.db, why);
  }
  if (!transaction.commit()) return failed(c.db, why);
  return true;
}

// ---- checkpoints -----------------------------------------------------------------------

// Commits only append to the write-ahead log (synchronous=NORMAL: no fsync
// on the caller's path, and a commit already in the log survives the death
// of the process).  This thread folds the log into the database file with
// its own connection: once writes have paused for kCheckpointQuiet, and at
// the latest kCheckpointLatest after the first request, so that a steady
// stream of writes cannot keep the log growing.  A passive checkpoint never
// takes the write lock, so writers never wait for it.  After it the thread
// refreshes the last good copy of the database when the store changed (see
// kGoodCopyRefresh).
//
// The thread sleeps on a timer, not on a condition: the first request of a
// burst arms it for the end of the quiet time, later requests only note
// their time, and the thread wakes once, when the writes may have paused
// (again only while they have not).  A lone commit thus wakes it once; an
// urgent request, a new path or a stop fire the timer at once.
constexpr auto kCheckpointQuiet = std::chrono::milliseconds(50);
constexpr auto kCheckpointLatest = std::chrono::milliseconds(500);
// A log of this many pages is checkpointed at once, without waiting for a
// pause.  Under a steady stream of writes a passive checkpoint never catches
// up with the log's end, so the log would never start over: from
// kWalRestartFrames pages on, the thread makes the next writer start the log
// over (a restarting checkpoint, during which this process's writers wait a
// few milliseconds on the store's mutex).  The log file thus stays under
// about kWalRestartFrames pages plus what is written until the thread gets
// to it (4 to 13 MiB measured in a tight loop on a loaded machine), and
// shrinks to kWalSizeLimit once it starts over after a pause.
//
// Records of a megabyte fill the log faster than a checkpoint on a loaded
// machine folds it in.  At kWalFullFrames pages the log is full: a writer
// then waits (up to the busy time-out, holding off this process's other
// writers) for the thread to restart the log, and is refused as busy when it
// cannot.  The log thus never exceeds kWalFullFrames pages plus the writes
// already under way.  Writers also step aside (the same way) whenever the
// thread is about to restart the log, so that a stream of writes that keeps
// the store's mutex busy cannot hold the restart off.
constexpr int kWalUrgentFrames = 256;
constexpr int kWalRestartFrames = 512;
constexpr int kWalFullFrames = 5120;
// Pages in the log after the last commit; 0 once a checkpoint has folded in
// all of them, so that the next writer starts the log over.
std::atomic<int> g_log_frames{0};
// The thread waits to restart the log.
std::atomic<bool> g_restart_wanted{false};
// The last good copy follows the store: a fall back to it loses at most the
// writes of the last second.  A change is copied once writes pause (after
// kCheckpointQuiet), and under a steady stream of writes at the latest
// kCheckpointLatest after a copy older than kGoodCopyRefresh.
constexpr auto kGoodCopyRefresh = std::chrono::milliseconds(400);
constexpr char kGoodCopySuffix[] = ".good";
// A copy larger than this gives the memory it went through back at once.
constexpr uint64_t kLargeCopyBytes = 1 << 20;
constexpr char kDamagedSuffix[] = ".damaged";

struct Checkpointer {
  std::mutex mutex;
  int timer = -1;                // the thread's wake-up (a timerfd)
  std::condition_variable idle;  // nothing pending any more
  std::condition_variable room;  // the log is below its cap again
  int writers_waiting = 0;       // for room, holding the store's mutex
  std::string path;              // the open store's file; "" when closed
  uint64_t path_generation = 0;  // changes with each open and close
  uint64_t seen_generation = 0;  // the one the thread's connection belongs to
  bool requested = false;
  bool urgent = false;
  bool busy = false;
  bool started = false;
  std::chrono::steady_clock::time_point first_request;
  std::chrono::steady_clock::time_point last_request;
  uint64_t wakeups = 0;  // of the thread, for the tests
  // When a request not yet served is due: once writes paused, or at the
  // latest moment.
  std::chrono::steady_clock::time_point due() const {
    return std::min(last_request + kCheckpointQuiet, first_request + kCheckpointLatest);
  }
};

Checkpointer &checkpointer() {
  static Checkpointer *instance = new Checkpointer;
  return *instance;
}

// Wakes the thread at `when` (steady_clock is CLOCK_MONOTONIC), replacing
// the wake-up armed before; a time already past wakes it at once.
void wake_checkpoints_at(Checkpointer &k, std::chrono::steady_clock::time_point when) {
  const auto since_boot = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch());
  itimerspec at{};
  at.it_value.tv_sec = std::max<int64_t>(since_boot.count(), 1) / 1000000000;
  at.it_value.tv_nsec = std::max<int64_t>(since_boot.count(), 1) % 1000000000;
  timerfd_settime(k.timer, TFD_TIMER_ABSTIME, &at, nullptr);
}
void wake_checkpoints_now(Checkpointer &k) { wake_checkpoints_at(k, {}); }

// What a check of the database found.  A check that could not read the file
// (a full disk, a missing permission) says nothing about damage, and is told
// apart so that such a store is never set aside as damaged.
enum class Check { Whole, Damaged, Unreadable };

// Steps a prepared check pragma; *findings gets its lines (or why it could
// not run), joined by `separator`.  The statement is reset for its next run.
Check read_check(sqlite3 *db, sqlite3_stmt *stmt, const char *separator, std::string *findings) {
  std::string text;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    if (!text.empty()) text += separator;
    const unsigned char *line = sqlite3_column_text(stmt, 0);
    if (line != nullptr) text += reinterpret_cast<const char *>(line);
  }
  Check result = text == "ok" ? Check::Whole : Check::Damaged;
  if (rc != SQLITE_DONE) {
    text += (text.empty() ? "" : separator) + failure_text(db, rc);
    if (!is_damage_code(rc)) result = Check::Unreadable;
  }
  sqlite3_reset(stmt);
  *findings = text;
  return result;
}

// Prepares a check pragma; null with *findings saying why, and *check what
// that says of the database.
sqlite3_stmt *prepare_check(sqlite3 *db, const char *pragma, std::string *findings, Check *check) {
  sqlite3_stmt *stmt = nullptr;
  const int rc = sqlite3_prepare_v2(db, pragma, -1, &stmt, nullptr);
  if (rc == SQLITE_OK) return stmt;
  *findings = failure_text(db, rc);
  sqlite3_finalize(stmt);
  *check = is_damage_code(rc) ? Check::Damaged : Check::Unreadable;
  return nullptr;
}

// Runs a check pragma once.
Check run_check(sqlite3 *db, const char *pragma, const char *separator, std::string *findings) {
  Check check = Check::Unreadable;
  sqlite3_stmt *stmt = prepare_check(db, pragma, findings, &check);
  if (stmt == nullptr) return check;
  check = read_check(db, stmt, separator, findings);
  sqlite3_finalize(stmt);
  return check;
}

// A database that SQLite reads without complaint is not yet the store: an
// empty file reads as an empty database, and so does one that lost its
// tables.  The store always holds its schema version.
bool has_store_schema(sqlite3 *db) {
  sqlite3_stmt *stmt = nullptr;
  bool found = sqlite3_prepare_v2(db, "SELECT 1 FROM meta WHERE key = ?1", -1, &stmt, nullptr) ==
                   SQLITE_OK &&
               sqlite3_bind_text(stmt, 1, kSchemaVersionKey, -1, SQLITE_STATIC) == SQLITE_OK &&
               sqlite3_step(stmt) == SQLITE_ROW;
  sqlite3_finalize(stmt);
  return found;
}

// The quick check of a database that must also hold the store's schema.
Check store_check(sqlite3 *db, std::string *findings) {
  const Check check = run_check(db, "PRAGMA quick_check", "; ", findings);
  if (check != Check::Whole || has_store_schema(db)) return check;
  *findings = "it lacks the store's schema: an empty or foreign database";
  return Check::Damaged;
}

// Copies the database as it is now to "<path>.good" through a temporary
// file, so that the copy is always whole.  A database that fails its check or
// lacks the store's schema never replaces the copy.  `check` is the source
// connection's quick check, prepared here on first use and kept: preparing
// it costs as much as running it.  *bytes gets the size of the copy.
bool write_good_copy(sqlite3 *source, const std::string &path, sqlite3_stmt **check,
                     uint64_t *bytes) {
  std::string findings;
  Check checked = Check::Unreadable;
  if (*check == nullptr) *check = prepare_check(source, "PRAGMA quick_check", &findings, &checked);
  if (*check != nullptr) checked = read_check(source, *check, "; ", &findings);
  if (checked != Check::Whole)
    return failure_logged(path + ": not copied, the database cannot be checked: " + findings);
  if (!has_store_schema(source))
    return failure_logged(path + ": not copied, the database lacks the store's schema");
  std::string copy = path + kGoodCopySuffix;
  std::string partial = copy + ".tmp";
  // Every process that serves the store keeps the copy (the daemon and
  // igd1-mib at the same time): one at a time, or one would take the other's
  // partial file away in the middle of its copy.  The lock goes with the
  // descriptor.
  const int lock = open((copy + ".lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (lock >= 0) flock(lock, LOCK_EX);
  std::remove(partial.c_str());  // a piece left by a crash in the middle of a copy
  sqlite3 *target = open_database(partial, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  bool ok = target != nullptr;
  // The partial file is thrown away unless it is whole, so it needs no
  // journal of its own and no syncs while it is written: one sync before it
  // takes the copy's name is enough.
  if (ok)
    ok = sqlite3_exec(target, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA cache_size=-64",
                      nullptr, nullptr, nullptr) == SQLITE_OK;
  if (ok) {
    sqlite3_backup *backup = sqlite3_backup_init(target, "main", source, "main");
    ok = backup != nullptr && sqlite3_backup_step(backup, -1) == SQLITE_DONE;
    if (backup != nullptr) ok = sqlite3_backup_finish(backup) == SQLITE_OK && ok;
  }
  sqlite3_close(target);
  if (ok) {
    const int fd = open(partial.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status;
    ok = fd >= 0 && fdatasync(fd) == 0 && fstat(fd, &status) == 0;
    if (ok) *bytes = uint64_t(status.st_size);
    if (fd >= 0) close(fd);
  }
  if (ok) ok = std::rename(partial.c_str(), copy.c_str()) == 0;
  if (!ok) std::remove(partial.c_str());
  if (lock >= 0) close(lock);
  if (!ok) log_store(path + ": cannot write the last good copy " + copy);
  return ok;
}

// Once reads and writes of megabyte rows pause, and after each last good
// copy: the store connection's pages of them are read from the file again
// when needed (kept, they would hold the rows in memory after all), so are
// the checkpoint connection's (a copy reads every page through it), and the
// heaps give back what the reads' and writes' buffers, the copy and the bus
// messages that carried the rows left free.  Nothing else frees
// those pages: the threads that made the buffers keep them for their next
// allocations.  A connection busy with a writer is left for the next pause.
void give_back_large_rows_memory(sqlite3 *checkpoint_db) {
  if (checkpoint_db != nullptr) sqlite3_db_release_memory(checkpoint_db);
  Connection &c = connection();
  std::unique_lock writer(c.mutex, std::try_to_lock);
  if (!writer.owns_lock()) {
    g_large_rows_used.store(true);
    return;
  }
  if (c.db != nullptr) sqlite3_db_release_memory(c.db);
  writer.unlock();
  malloc_trim(0);
}

void checkpoint_thread() {
  pthread_setname_np(pthread_self(), "mib_checkpoint");
  Checkpointer &k = checkpointer();
  sqlite3 *db = nullptr;
  std::string open_path;
  uint64_t open_generation = 0;
  std::chrono::steady_clock::time_point last_copy;
  bool copied_since_open = false;
  uint64_t copied_commits = 0;
  sqlite3_stmt *check = nullptr;  // the quick check, on `db`
  std::unique_lock lock(k.mutex);
  for (;;) {
    lock.unlock();
    uint64_t expirations = 0;
    while (read(k.timer, &expirations, sizeof expirations) < 0 && errno == EINTR) {
    }
    lock.lock();
    ++k.wakeups;
    if (k.path_generation != open_generation) {
      // The store was closed or opened again: drop the old connection.
      sqlite3_finalize(check);
      check = nullptr;
      if (db != nullptr) sqlite3_close(db);
      db = nullptr;
      open_path = k.path;
      open_generation = k.path_generation;
      k.seen_generation = open_generation;
      copied_since_open = false;
      k.idle.notify_all();
    }
    if (!k.requested) continue;
    // Writes came after the first request: sleep until they may have paused.
    if (!k.urgent && std::chrono::steady_clock::now() < k.due()) {
      wake_checkpoints_at(k, k.due());
      continue;
    }
    // The copy reads the whole database and keeps the log from starting
    // over meanwhile: it is taken when writes pause, and during a steady
    // stream of writes no more often than kGoodCopyRefresh.
    const bool writes_paused =
        !k.urgent && std::chrono::steady_clock::now() >= k.last_request + kCheckpointQuiet;
    k.requested = false;
    k.urgent = false;
    k.busy = true;
    bool copy_due = false;
    uint64_t copied_bytes = 0;
    std::string path = open_path;
    lock.unlock();
    if (db == nullptr && !path.empty()) {
      db = open_database(path, SQLITE_OPEN_READWRITE);
      if (db != nullptr) {
        // The check and the copy read the whole database once per round:
        // pages kept between rounds would only hold memory.
        sqlite3_exec(db, "PRAGMA cache_size=-64", nullptr, nullptr, nullptr);
        // A connection learns that the database uses a write-ahead log with
        // its first read; until then a checkpoint through it does nothing.
        sqlite3_exec(db, "PRAGMA schema_version", nullptr, nullptr, nullptr);
      }
    }
    if (db != nullptr) {
      int log_frames = -1;
      int copied_frames = -1;
      int rc = sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, &log_frames,
                                         &copied_frames);
      if (rc == SQLITE_OK && log_frames >= kWalRestartFrames) {
        // This process's writers wait on the store's mutex meanwhile rather
        // than keep the write lock from the restart.  A writer that waits for
        // room in the log holds that mutex already and writes nothing.
        std::unique_lock writers(connection().mutex, std::defer_lock);
        g_restart_wanted.store(true);
        while (!writers.try_lock()) {
          std::unique_lock waiting(k.mutex);
          if (k.writers_waiting > 0) break;
          k.room.wait_for(waiting, std::chrono::milliseconds(1));
        }
        rc = sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_RESTART, &log_frames,
                                       &copied_frames);
        if (rc == SQLITE_OK && log_frames == copied_frames) g_log_frames.store(0);
        std::lock_guard waiting(k.mutex);
        g_restart_wanted.store(false);
        k.room.notify_all();
      }
      if (rc != SQLITE_OK && rc != SQLITE_BUSY)
        log_store(path + ": checkpoint failed: " + sqlite3_errmsg(db));
      // The copy reads through the log, so it needs no complete checkpoint.
      // Read before copying: a commit during the copy makes the next one.
      const uint64_t commits = g_commits.load();
      auto now = std::chrono::steady_clock::now();
      if (!copied_since_open || commits != copied_commits) {
        if (writes_paused || now - last_copy >= kGoodCopyRefresh) {
          if (write_good_copy(db, path, &check, &copied_bytes)) {
            copied_since_open = true;
            copied_commits = commits;
            last_copy = now;
          }
        } else {
          copy_due = true;
        }
      }
    }
    // A copy read every page of the database, megabyte rows included.  A
    // small one leaves nothing worth giving back (its pages are reused by the
    // next copy), and the store's connection keeps its pages for the next
    // writes.
    if (g_large_rows_used.exchange(false) || copied_bytes >= kLargeCopyBytes)
      give_back_large_rows_memory(db);
    lock.lock();
    if (copy_due && !k.requested) {
      // Come back for the copy: once writes pause, or at the latest moment.
      k.requested = true;
      k.first_request = std::chrono::steady_clock::now();
      wake_checkpoints_at(k, k.due());
    }
    k.busy = false;
    if (!k.requested) k.idle.notify_all();
  }
}

void request_checkpoint(bool urgent) {
  Checkpointer &k = checkpointer();
  std::lock_guard lock(k.mutex);
  if (k.path.empty()) return;
  auto now = std::chrono::steady_clock::now();
  k.last_request = now;
  // A thread already waiting for a pause sees the new time when it wakes.
  if (k.requested && !urgent) return;
  if (!k.started) {
    k.timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (k.timer < 0) {
      log_store(std::string("cannot start the checkpoint thread: ") + std::strerror(errno));
      return;
    }
    std::thread(checkpoint_thread).detach();
    k.started = true;
  }
  if (!k.requested) k.first_request = now;
  k.requested = true;
  k.urgent = k.urgent || urgent;
  if (k.urgent)
    wake_checkpoints_now(k);
  else
    wake_checkpoints_at(k, k.due());
}

// Called by SQLite after each commit with the log's size in pages.
// An urgent checkpoint is asked for each time the log grows past another
// kWalUrgentFrames pages, not after every commit beyond the mark: while writes
// go on, a checkpoint cannot start the log over, so asking after each commit
// made every write pay for a checkpoint and its fsync.
int on_wal_commit(void *, sqlite3 *, const char *, int frames) {
  const int before = g_log_frames.exchange(frames);
  if (frames >= kWalUrgentFrames &&
      (frames < before || frames / kWalUrgentFrames > before / kWalUrgentFrames)) {
    request_checkpoint(true);
  }
  return SQLITE_OK;
}

bool wait_for_log_room() {
  const bool full = g_log_frames.load() >= kWalFullFrames;
  if (!full && !g_restart_wanted.load()) return true;
  if (full) request_checkpoint(true);
  Checkpointer &k = checkpointer();
  std::unique_lock lock(k.mutex);
  ++k.writers_waiting;
  k.room.notify_all();
  k.room.wait_for(lock, std::chrono::milliseconds(kBusyTimeoutMs), [] {
    return g_log_frames.load() < kWalFullFrames && !g_restart_wanted.load();
  });
  --k.writers_waiting;
  // A restart that takes longer only delays this write; a full log refuses it.
  return g_log_frames.load() < kWalFullFrames;
}

// Points the checkpoint thread at the store just opened ("" when closed) and
// waits until it let go of the previous one.
void retarget_checkpoints(const std::string &path) {
  Checkpointer &k = checkpointer();
  std::unique_lock lock(k.mutex);
  k.path = path;
  ++k.path_generation;
  g_log_frames.store(0);
  k.requested = false;
  k.urgent = false;
  if (!k.started) return;
  // The thread lets go of its connection to the old store first.
  wake_checkpoints_now(k);
  k.idle.wait(lock, [&] { return !k.busy && k.seen_generation == k.path_generation; });
}

// ---- opening -------------------------------------------------------------------

constexpr char kNewSuffix[] = ".new";
constexpr char kRestoringSuffix[] = ".restoring";

enum class Opened { Ok, Damaged, Failed };

bool file_exists(const std::string &path) { return ::access(path.c_str(), F_OK) == 0; }

void remove_database(const std::string &path) {
  for (const char *suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
}

// Checks the store just opened as `db` at `path` and makes it the
// connection's database when it is whole and holds the store's schema;
// closes it otherwise.
Opened adopt_checked_locked(Connection &c, sqlite3 *db, const std::string &path, std::string *why) {
  std::string findings;
  const Check check = store_check(db, &findings);
  if (check != Check::Whole) {
    sqlite3_close(db);
    set_error(why, path + (check == Check::Damaged ? ": the store is damaged (" + findings + ")"
                                                   : ": cannot read the store: " + findings));
    return check == Check::Damaged ? Opened::Damaged : Opened::Failed;
  }
  c.db = db;
  c.path = path;
  return Opened::Ok;
}

// Opens the existing store at `path` as the connection's database and checks
// it: damaged is what fails the check or lacks the store's schema (an empty
// file reads as an empty database); a file that cannot be read, a full disk
// above all, is a failure to open and leaves the file as it is.
Opened open_checked_locked(Connection &c, const std::string &path, std::string *why) {
  std::string failure;
  sqlite3 *db = open_database(path, SQLITE_OPEN_READWRITE, &failure);
  if (db == nullptr) {
    set_error(why, path + ": cannot open the store: " + failure);
    return Opened::Failed;
  }
  return adopt_checked_locked(c, db, path, why);
}

// Builds a new store beside its place and moves it there once whole, so that
// a file at the store's path always holds the schema: a crash during the
// first start leaves no empty database that a later start would have to
// take for a store.
bool create_store_locked(Connection &c, const std::string &path,
                         const std::vector<const TableDef *> &tables, std::string *why) {
  const std::string partial = path + kNewSuffix;
  remove_database(partial);
  std::string failure;
  c.db = open_database(partial, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &failure);
  if (c.db == nullptr) return set_error(why, path + ": cannot create the store: " + failure);
  c.path = partial;
  bool ok = prepare_schema_locked(c, why);
  for (size_t i = 0; ok && i < tables.size(); ++i) ok = create_table_locked(c, *tables[i], why);
  if (!ok && why != nullptr) *why = path + ": cannot create the store: " + *why;
  // Closing the only connection folds the log into the file.
  close_locked(c);
  if (ok && std::rename(partial.c_str(), path.c_str()) != 0) {
    set_error(why, path + ": cannot create the store: " + std::strerror(errno));
    ok = false;
  }
  if (!ok) remove_database(partial);
  return ok;
}

// Replaces a damaged (or lost) store by its last good copy, keeping the
// damaged file and its log aside.  The copy is put beside the store first,
// so that a copy that fails (a full disk) leaves the store where it was.
// False when there is no usable copy.
bool restore_good_copy(const std::string &path, std::string *why) {
  const std::string copy = path + kGoodCopySuffix;
  if (!file_exists(copy)) return set_error(why, "there is no last good copy " + copy);
  std::string findings;
  Check check = Check::Unreadable;
  if (sqlite3 *db = open_database(copy, SQLITE_OPEN_READONLY, &findings)) {
    check = store_check(db, &findings);
    sqlite3_close(db);
  }
  if (check != Check::Whole)
    return set_error(why, "the last good copy " + copy +
                              (check == Check::Damaged ? " is damaged too (" : " cannot be read (") +
                              findings + ")");
  const std::string incoming = path + kRestoringSuffix;
  std::error_code ec;
  std::filesystem::copy_file(copy, incoming, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) {
    std::filesystem::remove(incoming);
    return set_error(why, "cannot put the last good copy in place: " + ec.message());
  }
  const std::string aside = path + kDamagedSuffix;
  const bool lost = !file_exists(path);
  if (!lost) std::filesystem::rename(path, aside, ec);
  if (!ec && file_exists(path + "-wal")) std::filesystem::rename(path + "-wal", aside + "-wal", ec);
  if (!ec) std::filesystem::remove(path + "-shm", ec);
  if (!ec) std::filesystem::rename(incoming, path, ec);
  if (ec) return set_error(why, "cannot put the last good copy in place: " + ec.message());
  log_store(lost ? path + ": the store is missing; continuing with the last good copy " + copy
                 : path + ": the store is damaged; continuing with the last good copy " + copy +
                       " (the damaged file is kept as " + aside + ")");
  return true;
}

// Opens the store at `path`: creates a new one where there is none and no
// copy either; a lost or damaged store is replaced by its last good copy when
// `damaged_mode` allows it, and refused otherwise.
bool open_or_restore_locked(Connection &c, const std::string &path, DamagedStore damaged_mode,
                            const std::vector<const TableDef *> &tables, std::string *why) {
  Opened opened = Opened::Damaged;
  if (file_exists(path)) {
    opened = open_checked_locked(c, path, why);
  } else if (file_exists(path + kGoodCopySuffix)) {
    set_error(why, path + ": the store is missing");
  } else {
    if (!create_store_locked(c, path, tables, why)) return false;
    opened = open_checked_locked(c, path, why);
  }
  if (opened != Opened::Damaged) return opened == Opened::Ok;
  std::string restore_why;
  if (damaged_mode != DamagedStore::UseLastGoodCopy || !restore_good_copy(path, &restore_why)) {
    if (why != nullptr) {
      if (!restore_why.empty()) *why += "; " + restore_why;
      *why += "; refusing to use it";
      log_store(*why);
    }
    return false;
  }
  return open_checked_locked(c, path, why) == Opened::Ok;
}

// Lets go of the open store, if any, as opening another store or closing this
// one starts: the checkpoint thread's connection first, then the notices still
// waiting are recorded.  Returns holding the connection's mutex.
std::unique_lock<std::recursive_mutex> leave_store() {
  retarget_checkpoints("");
  Connection &c = connection();
  std::unique_lock lock(c.mutex);
  if (c.depth == 0) record_waiting_notices_locked(c);
  close_locked(c);
  return lock;
}

}  // namespace

bool open_store(const std::string &path, std::string *error, DamagedStore damaged_mode) {
  std::vector<std::pair<std::string, int>> env_failures;
  std::string why;
  if (!failures_from_env(&env_failures, &why)) return set_error(error, why);
  std::vector<const TableDef *> tables = registered_tables();

  const auto lock = leave_store();
  Connection &c = connection();
  forget_damage();
  if (!open_or_restore_locked(c, path, damaged_mode, tables, &why)) return set_error(error, why);
  ++c.opens;
  bool ok = prepare_schema_locked(c, &why);
  for (size_t i = 0; ok && i < tables.size(); ++i) ok = create_table_locked(c, *tables[i], &why);
  if (!ok) {
    close_locked(c);
    return set_error(error, path + ": " + why);
  }
  CommitCounters *shared = map_counters(path);
  use_counters(shared != nullptr ? shared : &g_local_counters);
  for (const auto &[name, index] : env_failures) fail_accessor(name, index);
  retarget_checkpoints(path);
  request_checkpoint();
  return true;
}

namespace {

// SQLite's read-only URI of `path`, optionally marked immutable.
std::string read_only_uri(const std::string &path, bool immutable) {
  std::string uri = "file:";
  for (const char ch : path) {
    const auto byte = static_cast<unsigned char>(ch);
    if (std::isalnum(byte) != 0 || (ch != '\0' && std::strchr("/._-~", ch) != nullptr)) {
      uri += ch;
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
      uri += escaped;
    }
  }
  return uri + "?mode=ro" + (immutable ? "&immutable=1" : "");
}

sqlite3 *open_read_only(const std::string &path, bool immutable) {
  sqlite3 *db = open_database(read_only_uri(path, immutable), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
  if (db != nullptr) sqlite3_extended_result_codes(db, 1);
  return db;
}

}  // namespace

bool open_store_read_only(const std::string &path, std::string *error) {
  const auto lock = leave_store();
  Connection &c = connection();
  forget_damage();
  use_counters(&g_local_counters);
  if (!file_exists(path)) return set_error(error, path + ": there is no store");
  // Reading the write-ahead log needs its index beside the database, which
  // a read-only folder cannot hold when no writer left one there.  Without a
  // log the database file is the whole store, and is read as it is.
  sqlite3 *db = open_read_only(path, false);
  if (db != nullptr && !has_store_schema(db) && !file_exists(path + "-wal")) {
    sqlite3_close(db);
    db = open_read_only(path, true);
  }
  if (db == nullptr) return set_error(error, path + ": cannot open the store for reading");
  if (adopt_checked_locked(c, db, path, error) != Opened::Ok) return false;
  ++c.opens;
  return true;
}

void close_store() {
  detail::stop_speed_tests();
  const auto lock = leave_store();
  use_counters(&g_local_counters);
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

std::optional<std::string> serving_failure(bool writes) {
  {
    std::lock_guard lock(g_damage_mutex);
    if (!g_damage.empty()) return g_damage;
  }
  if (writes && !t_write_failure.empty()) return t_write_failure;
  return std::nullopt;
}

bool check_integrity(std::string *report) {
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  if (c.db == nullptr) return set_error(report, "store not open");
  std::string findings;
  const bool ok = run_check(c.db, "PRAGMA integrity_check", "\n", &findings) == Check::Whole;
  set_error(report, std::move(findings));
  return ok;
}

// ---- settings ------------------------------------------------------------------

namespace {

// How often the copy of the settings asks the database whether a writer that
// bypasses the commit counters changed it.
constexpr auto kSettingsVersionInterval = std::chrono::milliseconds(250);

int64_t data_version_locked(Connection &c) {
  Statement version = prepared(c, "PRAGMA data_version");
  return version && version.row() ? version.integer_at(0) : -1;
}

// Empties the copy of the settings when another commit may have changed
// them.  The counter is read before anything is read from the database: a
// commit that lands in between shows as a moved counter at the next read.
void refresh_settings_locked(Connection &c) {
  SettingsCache &cache = c.settings;
  const uint64_t count = counter_at(kSettingsSlot).load(std::memory_order_acquire);
  const auto now = std::chrono::steady_clock::now();
  if (cache.valid && count == cache.commit_count) {
    if (now - cache.version_checked < kSettingsVersionInterval) return;
    cache.version_checked = now;
    if (data_version_locked(c) == cache.data_version) return;
  }
  cache.values.clear();
  cache.valid = true;
  cache.commit_count = count;
  cache.data_version = data_version_locked(c);
  cache.version_checked = now;
}

struct SettingWatch {
  SettingSeen seen = nullptr;
  void *data = nullptr;
};
thread_local SettingWatch t_setting_watch;

}  // namespace

void watch_setting_reads(SettingSeen seen, void *data) { t_setting_watch = {seen, data}; }

std::optional<std::string> get_setting(std::string_view name) {
  if (t_setting_watch.seen != nullptr) t_setting_watch.seen(name, t_setting_watch.data);
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  if (c.db == nullptr) return std::nullopt;
  SettingsCache &cache = c.settings;
  // The open transaction (held by this thread, since it holds the mutex)
  // reads its own writes.
  if (auto own = cache.pending.find(name); own != cache.pending.end()) return own->second;
  refresh_settings_locked(c);
  if (auto known = cache.values.find(name); known != cache.values.end()) return known->second;
  std::optional<std::string> value;
  {
    Statement statement = prepared(c, "SELECT value FROM settings WHERE name = ?1");
    if (!statement) return std::nullopt;
    statement.text(1, name);
    const int rc = statement.step();
    if (rc == SQLITE_ROW) {
      value = statement.text_at(0);
    } else if (rc != SQLITE_DONE) {
      return std::nullopt;  // not known either way: not remembered
    }
  }
  cache.values.emplace(std::string(name), value);
  return value;
}

bool set_setting(std::string_view name, std::string_view value) {
  if (name.empty()) return false;
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  Transaction transaction(c);
  if (!transaction.began()) return false;
  {
    // A setting is nearly always there already: updating it in place costs
    // SQLite about half of what an insert that turns into an update does.
    Statement update = prepared(c, "UPDATE settings SET value = ?2 WHERE name = ?1");
    bool ok = update && update.text(1, name).text(2, value).run();
    if (ok && sqlite3_changes(c.db) == 0) {
      Statement insert = prepared(c, "INSERT INTO settings (name, value) VALUES (?1, ?2)");
      ok = insert && insert.text(1, name).text(2, value).run();
    }
    if (!ok)
      return failure_logged("cannot write setting " + std::string(name) + ": " + sqlite3_errmsg(c.db));
  }
  c.settings.pending.insert_or_assign(std::string(name), std::string(value));
  touch_locked(c, kSettingsSlot);
  return transaction.commit();
}

bool remove_setting(std::string_view name) {
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  Transaction transaction(c);
  if (!transaction.began()) return false;
  bool existed = false;
  {
    Statement statement = prepared(c, "DELETE FROM settings WHERE name = ?1");
    if (!statement || !statement.text(1, name).run()) return false;
    existed = sqlite3_changes(c.db) > 0;
  }
  c.settings.pending.insert_or_assign(std::string(name), std::nullopt);
  if (existed) touch_locked(c, kSettingsSlot);
  return transaction.commit() && existed;
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

uint32_t highest_instance(const TableDef &table) {
  return table.max_instance != 0 ? table.max_instance : table.max_rows;
}

RowKey row_key_of(const TableDef &table, const uint8_t *row) {
  const uint32_t instance = table.instance_size == sizeof(uint32_t)   ? load<uint32_t>(row)
                            : table.instance_size == sizeof(uint16_t) ? load<uint16_t>(row)
                                                                      : row[0];
  const uint32_t parent = table.parent_offset != 0 ? load<uint32_t>(row + table.parent_offset) : 0;
  return row_key(parent, instance);
}

void set_row_key(const TableDef &table, uint8_t *row, RowKey key) {
  const uint32_t instance = key_instance(key);
  if (table.instance_size == sizeof(uint32_t))
    store(row, instance);
  else if (table.instance_size == sizeof(uint16_t))
    store(row, static_cast<uint16_t>(instance));
  else
    row[0] = static_cast<uint8_t>(instance);
  if (table.parent_offset != 0) store(row + table.parent_offset, key_parent(key));
}

bool key_fits(const TableDef &table, RowKey key) {
  const bool parent_ok = table.parent_offset != 0 ? key_parent(key) != 0 : key_parent(key) == 0;
  return parent_ok && key_instance(key) >= 1 && key_instance(key) <= highest_instance(table);
}

std::string key_text(RowKey key) {
  std::string instance = std::to_string(key_instance(key));
  return key_parent(key) != 0 ? std::to_string(key_parent(key)) + "/" + instance : instance;
}

std::optional<RowKey> parse_key_text(std::string_view text) {
  const size_t slash = text.find('/');
  std::optional<uint32_t> instance = parse_key_number(text.substr(slash == std::string_view::npos ? 0 : slash + 1));
  if (!instance) return std::nullopt;
  if (slash == std::string_view::npos) return row_key(0, *instance);
  std::optional<uint32_t> parent = parse_key_number(text.substr(0, slash));
  if (!parent || *parent == 0) return std::nullopt;
  return row_key(*parent, *instance);
}

std::vector<std::vector<uint8_t>> table_rows(const TableDef &table) {
  std::vector<std::vector<uint8_t>> rows;
  std::optional<Ranges> gaps = layout_gaps(table);
  if (!gaps) return rows;
  {
    Connection &c = connection();
    std::lock_guard lock(c.mutex);
    Statement statement = prepared_for(c, table, select_sql(table));
    if (!statement) return rows;
    while (statement.row()) rows.push_back(decode_row(table, *gaps, statement));
  }
  read_rows_of(table);
  return rows;
}

std::optional<std::vector<uint8_t>> table_row(const TableDef &table, RowKey key) {
  std::optional<Ranges> gaps = layout_gaps(table);
  if (!gaps || !key_fits(table, key)) return std::nullopt;
  std::optional<std::vector<uint8_t>> row;
  {
    Connection &c = connection();
    std::lock_guard lock(c.mutex);
    row = read_row_locked(c, table, *gaps, key);
  }
  read_rows_of(table);
  return row;
}

std::vector<RowKey> table_keys(const TableDef &table) {
  std::vector<RowKey> keys;
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  Statement statement = prepared(c, "SELECT inst FROM " + sql_name(table.name) + key_order(table));
  if (!statement) return keys;
  while (statement.row()) keys.push_back(stored_key(statement.integer_at(0)));
  return keys;
}

namespace {

// The keys of the rows under `parent` (of every row when the table is not
// nested) lie between these two, in the order of the rowid.
int64_t first_key_of(uint32_t parent) { return sql_key(row_key(parent, 1)); }
int64_t last_key_of(uint32_t parent) { return sql_key(row_key(parent, UINT32_MAX)); }

// Rows under `parent`, or nothing when the count cannot be read.
std::optional<int64_t> count_rows_locked(Connection &c, const TableDef &table, uint32_t parent) {
  Statement count =
      prepared(c, "SELECT count(*) FROM " + sql_name(table.name) + " WHERE inst BETWEEN ?1 AND ?2");
  if (!count || !count.integer(1, first_key_of(parent)).integer(2, last_key_of(parent)).row())
    return std::nullopt;
  return count.integer_at(0);
}

bool row_exists_locked(Connection &c, const TableDef &table, RowKey key) {
  Statement statement = prepared(c, "SELECT 1 FROM " + sql_name(table.name) + " WHERE inst = ?1");
  return statement && statement.integer(1, sql_key(key)).row();
}

// Inserts the record inside the caller's transaction and queues its row
// event with the record as a reader gets it from now on (also handed to
// `stored` when given).
bool insert_locked(Connection &c, const TableDef &table, RowKey key, const RowText &text,
                   std::vector<uint8_t> *stored) {
  {
    Statement insert = prepared_for(c, table, insert_sql(table));
    if (!insert) return false;
    bind_row(insert, key, text);
    if (!insert.run())
      return failure_logged(std::string("cannot insert into ") + table.name + ": " + sqlite3_errmsg(c.db));
  }
  c.large_rows = c.large_rows || table.row_size >= kLargeRowSize;
  std::vector<uint8_t> record = text.record;
  set_row_key(table, record.data(), key);
  if (stored != nullptr) *stored = record;
  c.row_events.push_back({&table, std::move(record), true});
  wrote_table_locked(c, table.name);
  return true;
}

// `row` checked and encoded for a write, when `key` fits the table.
std::optional<RowText> checked_row(const TableDef &table, const uint8_t *row, RowKey key) {
  std::optional<Ranges> gaps = layout_gaps(table);
  if (!gaps || !key_fits(table, key)) return std::nullopt;
  return encode_row(table, *gaps, row);
}

// The lowest instance number free under `parent`, or 0 when none is.
RowKey lowest_free_key_locked(Connection &c, const TableDef &table, uint32_t parent) {
  Statement used = prepared(c, "SELECT inst FROM " + sql_name(table.name) +
                                   " WHERE inst BETWEEN ?1 AND ?2 ORDER BY inst");
  if (!used) return 0;
  used.integer(1, first_key_of(parent)).integer(2, last_key_of(parent));
  uint64_t instance = 1;
  // Instances come in ascending order: the first gap is the lowest free one.
  while (used.row()) {
    const uint32_t taken = key_instance(stored_key(used.integer_at(0)));
    if (taken > instance) break;
    if (taken == instance) ++instance;
  }
  return instance <= highest_instance(table) ? row_key(parent, uint32_t(instance)) : 0;
}

// Inserts `row` under the key it carries, or, given `numbered` (the same
// record), under the lowest free instance number of its parent, which is
// written into `numbered`.
bool insert_row(const TableDef &table, uint8_t *numbered, const uint8_t *row,
                std::vector<uint8_t> *stored) {
  if (row == nullptr) return false;
  RowKey key = row_key_of(table, row);
  std::optional<RowText> text =
      checked_row(table, row, numbered != nullptr ? row_key(key_parent(key), 1) : key);
  if (!text) return false;
  std::vector<RowEvent> events;
  {
    Connection &c = connection();
    std::lock_guard lock(c.mutex);
    if (c.db == nullptr) return false;
    Transaction transaction(c);
    if (!transaction.began() || (numbered == nullptr && row_exists_locked(c, table, key))) return false;
    std::optional<int64_t> count = count_rows_locked(c, table, key_parent(key));
    if (!count || *count >= table.max_rows) return false;
    if (numbered != nullptr) key = lowest_free_key_locked(c, table, key_parent(key));
    if (key == 0 || !insert_locked(c, table, key, *text, stored) || !transaction.commit(&events))
      return false;
  }
  if (numbered != nullptr) set_row_key(table, numbered, key);
  deliver_row_events(events);
  return true;
}

}  // namespace

bool table_insert(const TableDef &table, uint8_t *row, std::vector<uint8_t> *stored) {
  return insert_row(table, row, row, stored);
}

bool table_insert_at(const TableDef &table, const uint8_t *row, std::vector<uint8_t> *stored) {
  return insert_row(table, nullptr, row, stored);
}

bool table_update(const TableDef &table, const uint8_t *row, std::vector<uint8_t> *stored) {
  if (row == nullptr) return false;
  const RowKey key = row_key_of(table, row);
  std::optional<RowText> text = checked_row(table, row, key);
  if (!text) return false;
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  Transaction transaction(c);
  if (!transaction.began()) return false;
  {
    Statement update = prepared_for(c, table, update_sql(table));
    if (!update) return false;
    bind_row(update, key, *text);
    if (!update.run())
      return failure_logged(std::string("cannot update ") + table.name + ": " + sqlite3_errmsg(c.db));
    if (sqlite3_changes(c.db) != 1) return false;
  }
  c.large_rows = c.large_rows || table.row_size >= kLargeRowSize;
  if (stored != nullptr) *stored = std::move(text->record);
  wrote_table_locked(c, table.name);
  return transaction.commit();
}

bool table_remove(const TableDef &table, RowKey key) {
  std::optional<Ranges> gaps = layout_gaps(table);
  if (!gaps || !key_fits(table, key)) return false;
  std::vector<RowEvent> events;
  {
    Connection &c = connection();
    std::lock_guard lock(c.mutex);
    if (c.db == nullptr) return false;
    Transaction transaction(c);
    if (!transaction.began()) return false;
    std::optional<std::vector<uint8_t>> removed = read_row_locked(c, table, *gaps, key);
    if (!removed) return false;
    {
      Statement remove = prepared(c, "DELETE FROM " + sql_name(table.name) + " WHERE inst = ?1");
      if (!remove || !remove.integer(1, sql_key(key)).run())
        return failure_logged(std::string("cannot remove from ") + table.name + ": " + sqlite3_errmsg(c.db));
    }
    c.row_events.push_back({&table, std::move(*removed), false});
    wrote_table_locked(c, table.name);
    if (!transaction.commit(&events)) return false;
  }
  deliver_row_events(events);
  return true;
}

std::optional<std::string> get_cell(std::string_view table, RowKey key, std::string_view column) {
  if (!is_identifier(column)) return std::nullopt;
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  if (!user_table_exists_locked(c, table)) return std::nullopt;
  std::vector<std::string> columns = table_columns_locked(c, table);
  if (std::find(columns.begin(), columns.end(), column) == columns.end()) return std::nullopt;
  Statement statement =
      prepared(c, "SELECT " + sql_name(column) + " FROM " + sql_name(table) + " WHERE inst = ?1");
  if (!statement) return std::nullopt;
  statement.integer(1, sql_key(key));
  if (!statement.row()) return std::nullopt;
  return statement.text_at(0);
}

bool set_cell(std::string_view table, RowKey key, std::string_view column, std::string_view value) {
  if (!is_identifier(column)) return false;
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  if (!user_table_exists_locked(c, table)) return false;
  // The column's kind as recorded when its table was registered: "U16 2".
  std::optional<std::string> type = get_meta_locked(c, column_meta_key(table, column));
  if (!type) return false;
  const size_t blank = type->find(' ');
  if (blank == std::string::npos) return false;
  const std::optional<ValueKind> kind = detail::kind_from_name(std::string_view(*type).substr(0, blank));
  const std::optional<size_t> size = parse_whole<size_t>(std::string_view(*type).substr(blank + 1));
  if (!kind || !size) return false;
  std::vector<uint8_t> buffer(*size);
  if (!parse_value(*kind, value, buffer.data(), buffer.size())) return false;
  // Stored in canonical form ("TRUE" -> "1", upper-case MAC -> lower-case).
  std::string canonical = format_value(*kind, buffer.data(), buffer.size());
  Transaction transaction(c);
  if (!transaction.began()) return false;
  {
    Statement update =
        prepared(c, "UPDATE " + sql_name(table) + " SET " + sql_name(column) + " = ?1 WHERE inst = ?2");
    if (!update || !update.text(1, canonical).integer(2, sql_key(key)).run() ||
        sqlite3_changes(c.db) != 1) {
      return false;
    }
  }
  wrote_table_locked(c, table);
  // Inside a caller's transaction the value may yet be rolled back: the
  // caches of the table that read it meanwhile must read the table again.
  if (c.depth > 1) {
    const std::string *name = &c.table_writes.find(table)->first;
    c.hooks.push_back({name, slot_of(table),
                       [](void *data, bool committed, uint64_t) {
                         if (!committed) wrote_table_locked(connection(), *static_cast<const std::string *>(data));
                       },
                       const_cast<std::string *>(name)});
  }
  return transaction.commit();
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
  return data_version_locked(c);
}

void set_row_listener(RowListener listener) { g_row_listener.store(listener); }

void report_row(const TableDef &table, const uint8_t *row, bool inserted) {
  RowListener listener = g_row_listener.load();
  if (listener != nullptr && row != nullptr) listener(table, row, inserted);
}

void announce_rows(const TableDef &table, uint32_t parent) {
  for (const std::vector<uint8_t> &row : table_rows(table))
    if (key_parent(row_key_of(table, row.data())) == parent) report_row(table, row.data(), true);
}

// ---- service notices ----------------------------------------------------------------

namespace {

// Registers `handler` for `bit`, or removes the bit's handler.  A change bit
// belongs to one service: a second service taking it would have its notices
// recorded and applied as the first one's, so that stops the process.
template <typename Handler>
void register_for_bit(std::map<uint32_t, Handler> Registry::*registered, uint32_t bit, Handler handler,
                      const char *what) {
  Registry &r = registry();
  std::lock_guard lock(r.mutex);
  std::map<uint32_t, Handler> &handlers = r.*registered;
  if (handler == nullptr) {
    handlers.erase(bit);
    return;
  }
  auto [at, added] = handlers.emplace(bit, handler);
  if (!added && at->second != handler) {
    std::fprintf(stderr, "igd1 store: change bit 0x%x has a notice %s already\n", unsigned(bit),
                 what);
    std::abort();
  }
}

}  // namespace

void register_notice_formatter(uint32_t bit, NoticeFormatter formatter) {
  register_for_bit(&Registry::formatters, bit, formatter, "formatter");
}

void register_notice_applier(uint32_t bit, NoticeApplier applier) {
  register_for_bit(&Registry::appliers, bit, applier, "applier");
}

void register_row_notice_handler(const TableDef &table, RowNoticeHandler handler) {
  Registry &r = registry();
  std::lock_guard lock(r.mutex);
  if (handler != nullptr)
    r.row_notice_handlers[table.name] = handler;
  else
    r.row_notice_handlers.erase(table.name);
}

void row_noticed(const TableDef &table, RowKey key, bool inserted) {
  if (RowNoticeHandler handler = handler_of(&Registry::row_notice_handlers, std::string_view(table.name)))
    handler(key, inserted);
}

void journal_append(uint64_t bit, int action, const std::string &data) {
  detail::append_journal_entry(bit, action, data);
}

std::vector<JournalEntry> journal(int64_t after_seq) {
  std::vector<JournalEntry> entries;
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  if (c.depth == 0) record_waiting_notices_locked(c);
  Statement statement =
      prepared(c, "SELECT seq, time, bit, action, data FROM journal WHERE seq > ?1 ORDER BY seq");
  if (!statement) return entries;
  statement.integer(1, after_seq);
  while (statement.row()) {
    entries.push_back(JournalEntry{statement.integer_at(0), statement.text_at(1),
                                   static_cast<uint64_t>(statement.integer_at(2)),
                                   static_cast<int>(statement.integer_at(3)), statement.text_at(4)});
  }
  return entries;
}

void schedule_checkpoint() { request_checkpoint(); }

bool wait_for_checkpoints(std::chrono::milliseconds timeout) {
  Checkpointer &k = checkpointer();
  std::unique_lock lock(k.mutex);
  return k.idle.wait_for(lock, timeout, [&] { return !k.requested && !k.busy; });
}

uint64_t checkpoint_wakeups() {
  Checkpointer &k = checkpointer();
  std::lock_guard lock(k.mutex);
  return k.wakeups;
}

void set_store_logger(StoreLogger logger) { g_logger.store(logger); }

// ---- transactions -------------------------------------------------------------------------

bool begin_transaction() {
  Connection &c = connection();
  c.mutex.lock();
  if (begin_locked(c)) return true;  // the mutex stays held until the end
  c.mutex.unlock();
  return false;
}

namespace {

bool end_transaction(bool commit) {
  Connection &c = connection();
  std::vector<RowEvent> events;
  bool ok = false;
  {
    std::lock_guard lock(c.mutex);
    if (c.depth == 0) return false;
    ok = end_locked(c, commit, &events);
    c.mutex.unlock();  // the hold taken by begin_transaction
  }
  deliver_row_events(events);
  return ok;
}

}  // namespace

bool commit_transaction() { return end_transaction(true); }
void rollback_transaction() { end_transaction(false); }

bool in_transaction() {
  Connection &c = connection();
  // Another thread's transaction holds the mutex: then it is not ours.
  std::unique_lock lock(c.mutex, std::try_to_lock);
  return lock.owns_lock() && c.depth > 0;
}

uint64_t table_commit_count(const TableDef &table) {
  return counter_at(slot_of(table.name)).load(std::memory_order_acquire);
}

uint64_t settings_commit_count() { return counter_at(kSettingsSlot).load(std::memory_order_acquire); }

uint64_t wait_settings_commit(uint64_t seen) {
  constexpr size_t kSlots[] = {kSettingsSlot};
  for (;;) {
    CommitCounters *counters = g_counters.load(std::memory_order_acquire);
    uint64_t *counter = &counters->counts[kSettingsSlot];
    const Sleeping sleeping(counters, kSlots);
    const uint64_t now = std::atomic_ref<uint64_t>(*counter).load();
    if (now != seen) return now;
    // Returns at once when the word moved on since the load; a wake-up for
    // another reason (a reopened store, a signal) is checked again.
    syscall(SYS_futex, low_word(counter), FUTEX_WAIT, uint32_t(seen), nullptr, nullptr, 0);
  }
}

uint32_t settings_sleepers() {
  return std::atomic_ref<uint32_t>(g_counters.load(std::memory_order_acquire)->sleepers[kSettingsSlot])
      .load();
}

std::vector<uint64_t> commit_counts(const std::vector<const TableDef *> &tables) {
  std::vector<uint64_t> counts = {settings_commit_count()};
  for (const TableDef *table : tables) counts.push_back(table_commit_count(*table));
  return counts;
}

bool wait_for_commits(const std::vector<const TableDef *> &tables, const std::vector<uint64_t> &seen,
                      const std::atomic<uint32_t> &stop, uint32_t stop_seen) {
  std::vector<size_t> slots = {kSettingsSlot};
  for (const TableDef *table : tables) slots.push_back(slot_of(table->name));
  if (seen.size() != slots.size()) return false;
  CommitCounters *counters = g_counters.load(std::memory_order_acquire);
  std::vector<futex_waitv> words;
  for (size_t i = 0; i < slots.size(); ++i) {
    // The low word of a counter already past `seen` returns at once.
    words.push_back({.val = uint32_t(seen[i]),
                     .uaddr = reinterpret_cast<uintptr_t>(low_word(&counters->counts[slots[i]])),
                     .flags = FUTEX_32,
                     .__reserved = 0});
  }
  words.push_back({.val = stop_seen,
                   .uaddr = reinterpret_cast<uintptr_t>(&stop),
                   .flags = FUTEX_32 | FUTEX_PRIVATE_FLAG,
                   .__reserved = 0});
  const Sleeping sleeping(counters, slots);
  for (;;) {
    if (stop.load() != stop_seen || commit_counts(tables) != seen) return true;
    if (syscall(SYS_futex_waitv, words.data(), words.size(), 0, nullptr, CLOCK_MONOTONIC) >= 0)
      return true;
    if (errno == EAGAIN) return true;
    if (errno != EINTR) return false;
  }
}

void wake_commit_waiters(std::atomic<uint32_t> &stop) {
  static_assert(sizeof stop == sizeof(uint32_t));
  syscall(SYS_futex, &stop, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

namespace detail {

namespace {

// The data of a notice as the journal keeps it: whole up to
// kJournalDataKept bytes, else cut at a character boundary with a mark.
std::string journal_data(const std::string &data) {
  if (data.size() <= kJournalDataKept) return data;
  size_t keep = kJournalDataKept;
  while (keep > 0 && (static_cast<unsigned char>(data[keep]) & 0xc0) == 0x80) --keep;
  return data.substr(0, keep) + " ... (" + std::to_string(data.size() - keep) + " more bytes)";
}

}  // namespace

bool append_journal_entry(uint64_t bit, int action, const std::string &data) {
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  if (c.db == nullptr) return false;
  QueuedNotice notice{local_time_now(), bit, action, journal_data(data)};
  if (c.depth > 0) {
    c.notices.push_back(std::move(notice));
  } else {
    std::vector<QueuedNotice> one;
    one.push_back(std::move(notice));
    queue_notices(one);
  }
  return true;
}

std::unique_lock<std::recursive_mutex> lock_store() {
  return std::unique_lock<std::recursive_mutex>(connection().mutex);
}

bool on_transaction_end(const void *key, const TableDef &table, TransactionEnd callback,
                        void *data) {
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  if (c.depth == 0) return false;
  for (const CommitHook &hook : c.hooks) {
    if (hook.key == key) return true;
  }
  c.hooks.push_back({key, slot_of(table.name), callback, data});
  return true;
}

bool apply_notice(uint32_t bit, const void *data, int action) {
  NoticeApplier applier = handler_of(&Registry::appliers, bit);
  return applier == nullptr || applier(data, action);
}

std::string notice_text(uint32_t bit, const void *data) {
  if (data == nullptr) return {};
  NoticeFormatter formatter = handler_of(&Registry::formatters, bit);
  return formatter != nullptr ? formatter(data) : "<data>";
}

bool checkpoint_store() {
  if (!store_is_open()) return false;
  request_checkpoint();
  return true;
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
  r.failures[std::string(accessor)].insert(index < 0 ? kEveryIndex : index);
}

void hold_accessor(std::string_view accessor) {
  Registry &r = registry();
  std::lock_guard lock(r.mutex);
  g_failures_injected.store(true);
  r.held.emplace(accessor);
}

void release_accessors() {
  Registry &r = registry();
  {
    std::lock_guard lock(r.mutex);
    r.held.clear();
  }
  r.released.notify_all();
}

void clear_failures() {
  release_accessors();
  Registry &r = registry();
  std::lock_guard lock(r.mutex);
  r.failures.clear();
  g_failures_injected.store(false);
}

bool should_fail(std::string_view accessor, int index) {
  if (!failures_injected()) return false;
  Registry &r = registry();
  std::unique_lock lock(r.mutex);
  r.released.wait(lock, [&] { return !r.held.contains(accessor); });
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
      out += "\\x" + hex_text(&byte, 1);
    } else {
      out += ch;
    }
  }
  return out;
}

std::vector<std::string> dump_lines() {
  std::vector<std::string> lines;
  Connection &c = connection();
  std::lock_guard lock(c.mutex);
  if (c.db == nullptr) return lines;
  for (const auto &[name, value] : all_settings()) lines.push_back(one_line(name) + "=" + one_line(value));
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
    Statement rows = prepared(c, "SELECT * FROM " + sql_name(table) + " ORDER BY inst");
    if (!rows) continue;
    while (rows.row()) {
      int inst_index = -1;
      for (int i = 0; i < rows.columns(); ++i) {
        if (std::string_view(rows.column_name(i)) == "inst") inst_index = i;
      }
      std::string prefix = table + "[" + key_text(stored_key(rows.integer_at(inst_index))) + "].";
      for (int i = 0; i < rows.columns(); ++i) {
        if (i == inst_index) continue;
        lines.push_back(prefix + rows.column_name(i) + "=" + one_line(rows.text_at(i)));
      }
    }
  }
  if (c.depth == 0) record_waiting_notices_locked(c);
  Statement count = prepared(c, "SELECT count(*) FROM journal");
  int64_t entries = (count && count.row()) ? count.integer_at(0) : 0;
  lines.push_back("journal.entries=" + std::to_string(entries));
  return lines;
}

}  // namespace igd1::mib
