// The configuration store behind the configuration library: one SQLite
// database holding named settings, named tables of rows and the journal of
// service notices.  Values are kept as readable text under readable names
// ("dhcpserver.MinAddress" = "192.168.1.2"); the accessor functions that
// modules call convert them at the boundary into the byte layouts they expect.
//
// Every setting and row write is committed before the call returns (WAL
// journal), so a value the bus has reported as written survives a crash of
// the process; service notices are journaled in the same way.  Writes may be
// grouped into one transaction (begin_transaction ... commit_transaction):
// they then stand or fall together.  A write that finds another process
// holding the database's write lock waits at most 100 ms and then fails.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace igd1::mib {

// ---- opening ---------------------------------------------------------------

// What open_store does with a damaged database (one that fails the
// database's quick check).
enum class DamagedStore {
  Refuse,            // fail with a reason naming the damage
  UseLastGoodCopy,   // put the damaged file aside as "<path>.damaged" and
                     // continue with the last good copy ("<path>.good",
                     // kept at most about a second behind the store),
                     // logging both; refuse when there is no usable copy
};

// Opens the database at `path` and adds every default setting that it does
// not hold yet.  Where there is neither a store nor a last good copy, a new
// store is built beside `path` and moved there once whole; a store that
// lacks the schema (an emptied file reads as an empty database) is damaged,
// and a missing store beside a last good copy is lost: both follow
// `damaged`.  A file that cannot be read, a full disk above all, is refused
// with a reason that says so, and is left as it is.  Returns false with a
// reason on failure.
bool open_store(const std::string &path, std::string *error = nullptr,
                DamagedStore damaged = DamagedStore::Refuse);
// Opens the existing store at `path` for reading only: nothing is created,
// added, repaired or written, no lock a writer waits for is taken, and a
// store in a read-only file or folder can be read.  Writes through this
// connection fail.  False with a reason when there is no store there or it
// is not one.
bool open_store_read_only(const std::string &path, std::string *error = nullptr);
void close_store();

// Where the store reports failures it meets (a refused write, a damaged
// database); the default prints "igd1 store: <text>" on standard error.
using StoreLogger = void (*)(const char *message);
void set_store_logger(StoreLogger logger);

// ---- transactions ----------------------------------------------------------

// Groups the writes of the calling thread until the matching end.  Levels
// nest: only the outermost begin takes the database's write lock (false when
// it cannot within the busy time-out, and then no level is open) and only the
// outermost commit commits.  A rollback at any level makes the whole
// transaction roll back; commit_transaction then returns false.  While a
// transaction is open other threads' store calls wait for its end, and row
// listeners hear of its inserts and removals only after it committed.
bool begin_transaction();
// Ends one level; false when the transaction has been, or now is, rolled back.
bool commit_transaction();
void rollback_transaction();
// True when the calling thread has a transaction open.
bool in_transaction();
// Runs `work` (true: done) as one level of a transaction: committed when it
// is done, rolled back otherwise.  False when it is not done, the
// transaction cannot begin (`work` then does not run) or does not commit.
template <typename Work>
bool run_in_transaction(Work &&work) {
  if (!begin_transaction()) return false;
  if (work()) return commit_transaction();
  rollback_transaction();
  return false;
}

// Called at the end of the transaction a hook was added to: whether it
// committed, and the value the counter of the hook's table had before the
// commit bumped it.
using TransactionEnd = void (*)(void *data, bool committed, uint64_t counter_before);

// ---- checkpoints -----------------------------------------------------------

// Asks the checkpoint thread to fold the write-ahead log into the database
// file soon (it does so once writes pause, and then refreshes the last good
// copy "<path>.good").  Never waits.
void schedule_checkpoint();
// Waits until no checkpoint is pending (tests).  False on time-out.
bool wait_for_checkpoints(std::chrono::milliseconds timeout);
// How often the checkpoint thread woke so far (tests).
uint64_t checkpoint_wakeups();
bool store_is_open();
const std::string &store_path();

// ---- settings --------------------------------------------------------------

// Reads come from a copy of the settings that the process keeps: it follows a
// commit by any process that uses the store at the next read (the settings'
// commit counter), and a writer that bypasses the store within a quarter of
// a second (the database's data version).  Inside a transaction a read sees
// the transaction's own writes; the copy takes them only once they committed.
std::optional<std::string> get_setting(std::string_view name);
bool set_setting(std::string_view name, std::string_view value);
// Tells `seen` the name of every setting the calling thread reads from now
// on, until it is called again with nullptr: how a caller learns which
// settings a reader of the store depends on.
using SettingSeen = void (*)(std::string_view name, void *data);
void watch_setting_reads(SettingSeen seen, void *data);
std::vector<std::pair<std::string, std::string>> all_settings();
// Deletes a setting; true when it existed.  A default setting comes back with
// its default value at the next open.
bool remove_setting(std::string_view name);

// How a setting's text turns into the bytes an accessor hands to a module.
enum class ValueKind {
  Text,     // NUL-terminated text, `size` bytes with the terminator
  Bool,     // "0"/"1" as a 32-bit integer
  U8,       // decimal, 1 byte
  U16,      // decimal, 2 bytes
  U32,      // decimal, 4 bytes
  I32,      // decimal, 4 bytes
  IPv4,     // dotted quad, 4 bytes in network order
  Mac,      // "aa:bb:cc:dd:ee:ff", 6 bytes
  Double,   // decimal, 8 bytes
  U64,      // decimal, 8 bytes
  IPv4Text, // dotted quad, NUL-terminated text of `size` bytes (at least 16);
            // the stored form is that of IPv4, so one setting serves both
  IPv6,     // IPv6 address text, 16 bytes in network order
};

// One configuration item as a module's accessor sees it.
struct Item {
  const char *name;  // setting name, e.g. "dhcpserver.MinAddress"
  ValueKind kind;
  size_t size;       // bytes of the binary form (the buffer size for Text)
  // The value a new store starts with.  Given by the one item that declares
  // the setting (and registered with Defaults); the setting's other views,
  // which may read it in another form, leave it out.
  const char *initial = nullptr;
  // Whether the item takes a value (its binary form): write_item refuses
  // one it does not, whoever writes.  nullptr takes any value of its kind.
  bool (*accepts)(const void *value) = nullptr;
};

// An `accepts` check: a number of type T from Low to High.
template <typename T, int64_t Low, int64_t High>
bool within(const void *value) {
  T number;
  std::memcpy(&number, value, sizeof number);
  return int64_t(number) >= Low && int64_t(number) <= High;
}

// Registers the items that carry an initial value as settings every store
// holds: a new store starts with them, and an older one gains those it lacks
// at its next open without losing what the user changed.  A static beside
// the items, so that every setting is known before a store opens.
struct Defaults {
  explicit Defaults(std::span<const Item> items) {
    for (const Item &item : items) add(item);
  }
  explicit Defaults(std::initializer_list<Item> items) : Defaults(std::span(items.begin(), items.size())) {}
  // Items that are members of other records.
  template <typename Record>
  Defaults(std::span<const Record> records, Item Record::*member) {
    for (const Record &record : records) add(record.*member);
  }
  // Registers `item` when it has an initial value.
  static void add(const Item &item);
};

// Reads an item into `buffer` (item.size bytes).  False when the setting is
// missing or its text does not parse.
bool read_item(const Item &item, void *buffer);
// Whether an item takes a value (binary form): it fits the item's kind and
// size, and the item's check accepts it.
bool item_takes(const Item &item, const void *buffer);
// Stores the binary value of an item as text.  False on a value the item
// does not take, or on a failed write.
bool write_item(const Item &item, const void *buffer);

// Stores a value as write_item does unless it equals the stored one;
// `changed` tells whether it was written.
bool write_changed(const Item &item, const void *buffer, bool *changed);

// Text form of one binary value, and back (what dump and the CLI show).
std::string format_value(ValueKind kind, const void *buffer, size_t size);
bool parse_value(ValueKind kind, std::string_view text, void *buffer, size_t size);

// Indexed accessor used by `<prefix>_get_mib_property` style functions: checks
// the index, honours injected failures for `accessor`, converts.
bool read_indexed(const char *accessor, const Item *items, size_t count, int index, void *buffer);
bool write_indexed(const char *accessor, const Item *items, size_t count, int index,
                   const void *buffer);
// The same over an array of items; false for a null buffer.
template <size_t N>
bool read_at(const char *accessor, const Item (&items)[N], int index, void *buffer) {
  return buffer != nullptr && read_indexed(accessor, items, N, index, buffer);
}
template <size_t N>
bool write_at(const char *accessor, const Item (&items)[N], int index, const void *value) {
  return write_indexed(accessor, items, N, index, value);
}

// The kind and size of a default setting (what igd1-mib checks a new value
// against), or nullptr for a name that has no default.
const Item *default_item(std::string_view name);

// ---- numeric entry ids (mib_get) -------------------------------------------

// Registers the item read by mib_get(id, ...); the defaults come with the store.
void register_entry(int id, const Item &item);
const Item *find_entry(int id);

// ---- tables ----------------------------------------------------------------

struct Column {
  const char *name;  // SQL column name, e.g. "ExternalPort"
  ValueKind kind;
  size_t offset;     // byte offset inside the row
  size_t size;       // bytes inside the row
};

// The key of a row: its instance number, and in a nested table the instance
// number of the parent row it belongs to in the upper 32 bits, so that the
// rows of two parents never share a key whatever their numbers.
using RowKey = uint64_t;
constexpr RowKey row_key(uint32_t parent, uint32_t instance) {
  return (RowKey(parent) << 32) | instance;
}
constexpr uint32_t key_instance(RowKey key) { return static_cast<uint32_t>(key); }
constexpr uint32_t key_parent(RowKey key) { return static_cast<uint32_t>(key >> 32); }

// Rows of this many bytes and more (lists of a megabyte) are large: the
// store keeps no second copy of them per thread or per kept statement.
inline constexpr size_t kLargeRowSize = 64 * 1024;

// A table of rows that modules see as fixed-size records.  Each record starts
// with its instance number, `instance_size` bytes wide.  Bytes not covered by
// a column are kept verbatim (stored as one blob per row; rows written as
// hexadecimal text by earlier versions read the same).
struct TableDef {
  const char *name;          // SQL table name, e.g. "portmapping"
  const char *module;        // module name of the export callbacks, e.g. "PortMapping"
  size_t row_size;
  const Column *columns;
  size_t column_count;
  unsigned max_rows;         // rows the table holds at most (a nested table: per parent)
  // Width in bytes of the instance number at byte 0: 1, 2 or 4, host byte
  // order.  Instance numbers run from 1 to max_instance (0: to max_rows),
  // which the width must hold.
  unsigned instance_size = 1;
  uint32_t max_instance = 0;
  // A nested table's rows belong to rows of another table: the record holds
  // the parent's instance number (32 bits, host byte order, 1 or more) at
  // this offset, and instance numbers count from 1 under each parent.  0: not
  // nested.
  size_t parent_offset = 0;
  // A nested table: the table of the parent rows (for checks of a new row's parent).
  const char *parent_table = nullptr;
};

uint32_t highest_instance(const TableDef &table);
RowKey row_key_of(const TableDef &table, const uint8_t *row);
void set_row_key(const TableDef &table, uint8_t *row, RowKey key);
// True when a row of `table` may carry `key`: an instance number from 1 to
// highest_instance, and a parent (1 or more) exactly when the table is nested.
bool key_fits(const TableDef &table, RowKey key);
// Text form of a key, "3" or for a nested row "parent/instance" ("258/1"),
// and back.  Parsing is strict: decimal digits only, no sign, no leading
// zero, nothing above 32 bits.
std::string key_text(RowKey key);
std::optional<RowKey> parse_key_text(std::string_view text);

// Creates the table when missing.  Called by the configuration library for
// each table it serves; idempotent.
bool register_table(const TableDef &table);
const TableDef *find_table(std::string_view name);
std::vector<const TableDef *> registered_tables();

// All rows in key order, as records of table.row_size bytes.
std::vector<std::vector<uint8_t>> table_rows(const TableDef &table);
std::optional<std::vector<uint8_t>> table_row(const TableDef &table, RowKey key);
// The keys of all rows, in key order.
std::vector<RowKey> table_keys(const TableDef &table);
// Writes change only the row they name.  `stored` (when given) receives the
// record as a reader gets it from now on.
//
// Inserts a record under the lowest free instance number (of its parent, in
// a nested table) and writes that number into the record.  False when the
// table is full or on failure.
bool table_insert(const TableDef &table, uint8_t *row, std::vector<uint8_t> *stored = nullptr);
// Inserts a record under the key it carries.  False when a row has that key,
// the key does not fit the table, the table is full or on failure.
bool table_insert_at(const TableDef &table, const uint8_t *row,
                     std::vector<uint8_t> *stored = nullptr);
// Replaces the record with the key that `row` carries.
bool table_update(const TableDef &table, const uint8_t *row,
                  std::vector<uint8_t> *stored = nullptr);
bool table_remove(const TableDef &table, RowKey key);

// What readers that keep rows in memory compare before trusting them: a
// count that changes with every write to the table through this process
// (and with a reopen of the store), cheap to read; and the database's data
// version, which changes when another process commits, and costs a read
// lock.
uint64_t table_write_count(const TableDef &table);
int64_t data_version();

// Commit counters shared by every process that uses the store: the counter of
// a table (or of the settings) changes after every commit that wrote it, in
// any process.  One atomic load, no database access.
uint64_t table_commit_count(const TableDef &table);
uint64_t settings_commit_count();
// Sleeps until the settings counter differs from `seen` (a value of
// settings_commit_count) and returns it.  A commit of the settings in any
// process that uses the store wakes the sleeper, and so does opening or
// closing the store; nothing polls.  Never on the main loop.
uint64_t wait_settings_commit(uint64_t seen);
// Threads of any process that sleep on the settings counter now (tests).
uint32_t settings_sleepers();
// The counters wait_for_commits compares: the settings' first, then those
// of `tables` in their order.
std::vector<uint64_t> commit_counts(const std::vector<const TableDef *> &tables);
// Sleeps until a commit of any process changes one of the counts `seen`
// (commit_counts over the same tables), the store is opened or closed, or
// `*stop` no longer holds `stop_seen` (a word of the caller's that it
// changes and then wakes with wake_commit_waiters).  False at once when
// the kernel cannot wait on several words: the caller then polls.
bool wait_for_commits(const std::vector<const TableDef *> &tables, const std::vector<uint64_t> &seen,
                      const std::atomic<uint32_t> &stop, uint32_t stop_seen);
void wake_commit_waiters(std::atomic<uint32_t> &stop);

// Generic text access to one column, for igd1-mib: "portmapping[3].ExternalPort".
std::optional<std::string> get_cell(std::string_view table, RowKey key, std::string_view column);
bool set_cell(std::string_view table, RowKey key, std::string_view column, std::string_view value);

// ---- row callbacks ---------------------------------------------------------

// Called after a row was inserted (inserted = true) or removed, with the
// record as it was stored.  The host routes it to the module's
// `<module>_add_interface` / `<module>_del_interface` on the bus main loop.
using RowListener = void (*)(const TableDef &table, const uint8_t *row, bool inserted);
void set_row_listener(RowListener listener);
// Reports every row of `parent` in the nested `table` to the listener as
// inserted (a consumer that comes up after its rows publishes them).
void announce_rows(const TableDef &table, uint32_t parent);
// Reports a row that a table keeps in memory instead of in the database
// (records of what the radios heard) as the database's rows are reported.
void report_row(const TableDef &table, const uint8_t *row, bool inserted);

// What a table does itself when another process reports that it inserted or
// removed one of the table's rows (igd1-notify row-inserted / row-removed),
// before the table's module hears of it: the follow-up of a change it did
// not make (rows of other tables that belong to the row, a device that runs
// it).  Called on the thread that received the report.
using RowNoticeHandler = void (*)(RowKey key, bool inserted);
void register_row_notice_handler(const TableDef &table, RowNoticeHandler handler);
void row_noticed(const TableDef &table, RowKey key, bool inserted);

// ---- service notices -------------------------------------------------------

struct JournalEntry {
  int64_t seq;
  std::string time;    // local time, "%F %T"
  uint64_t bit;  // a change bit, or a source only the journal knows
  int action;
  std::string data;    // text form of the notice's data ("" when none)
};

// Text form of the data of one change bit.  Bits without a formatter record
// "" for no data and "<data>" otherwise.
using NoticeFormatter = std::string (*)(const void *data);
void register_notice_formatter(uint32_t bit, NoticeFormatter formatter);

// What a change bit does with its data before the notice is recorded (for
// example store a changed row).  A false result refuses the notice: nothing
// is recorded and dbus_mib_update_cfg returns 0.
using NoticeApplier = bool (*)(const void *data, int action);
void register_notice_applier(uint32_t bit, NoticeApplier applier);

// The journal keeps the newest kJournalKept notices; older ones are dropped
// as new ones are recorded.  Sequence numbers go on counting.  The data of a
// notice is kept up to kJournalDataKept bytes and then ends with a mark that
// says how many bytes were left out, so the journal stays under about ten
// megabytes whatever the services are told (a few hundred kilobytes in use).
inline constexpr int64_t kJournalKept = 10000;
inline constexpr size_t kJournalDataKept = 1024;
// Queues a notice for the journal (written within milliseconds).
void journal_append(uint64_t bit, int action, const std::string &data);
// Sources that record in the journal without being a change bit (the power
// and WiFi schedules, the maintenance watch: MIB_JOURNAL_POWER and its kin)
// count from bit 32 upward (MIB_JOURNAL_LED, _SDN, _SYSTEM and the packet
// engine's too), so that an entry of theirs is never taken for a service's
// notice: the 32 change bits belong to services.  Free change bits today:
// 0x10000000, 0x20000000, 0x40000000; 0x80000000 stays spare for tests.
// Every notice after `after_seq`, including those still queued.
std::vector<JournalEntry> journal(int64_t after_seq = 0);

// Change bits under which the device and network information apply functions
// (deviceinfo_set_property_update, networkinfo_set_property_update) record
// their notice.  No other service uses them.
inline constexpr uint32_t kDeviceInfoNoticeBit = 0x1;
inline constexpr uint32_t kNetworkInfoNoticeBit = 0x2;
// apply_PortForwarding: a forwarding rule is withdrawn or applied.
inline constexpr uint32_t kPortForwardingNoticeBit = 0x4;

// ---- failure injection (tests) ---------------------------------------------

inline constexpr int kEveryIndex = -1;
// Makes `accessor` fail for `index` (or for every call with kEveryIndex).
void fail_accessor(std::string_view accessor, int index = kEveryIndex);
// Makes every call of `accessor` wait where it asks for an injected failure,
// until release_accessors() (or clear_failures()): a test keeps a worker busy
// for as long as it needs to show what the rest of the daemon does meanwhile.
void hold_accessor(std::string_view accessor);
void release_accessors();
void clear_failures();
bool should_fail(std::string_view accessor, int index);

// Text dump of every setting, row and the journal size: stable, one line each.
// Values go through one_line().
std::vector<std::string> dump_lines();

// Escapes backslashes and control characters ("\\", "\n", "\t", "\xHH") so
// that a value never spans more than one line of a dump or journal listing.
std::string one_line(std::string_view text);

// What the store met while serving that was no fault of the caller's: damage
// found in the database (until the store is opened again), else, with
// `writes`, a write of the calling thread's current or last transaction that
// the disk refused (a full disk).  Nothing when neither happened.
std::optional<std::string> serving_failure(bool writes);

// Runs the database's own consistency check on the open store.  True when it
// reports no problem; `report` receives its findings.
bool check_integrity(std::string *report = nullptr);

}  // namespace igd1::mib
