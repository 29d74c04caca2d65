// The collection: one table of the configuration published as an object
// manager at a fixed path, one child object per row at the manager path
// followed by "/" and the row's instance number.
//
// Two layers:
//  * `Collection` is what every collection has: the manager, the child
//    interface from the module's introspection data, a skeleton type per
//    module, exporting and unexporting children, path checks, the
//    object-manager error.  Modules with rows of their own shape (accounts,
//    timers) build on these pieces.
//  * `RowCollection` adds the common case of a table of fixed-size records
//    kept by the configuration library: a property table maps names onto
//    fields of the record, and the engine reads, checks and writes them on a
//    working copy, signals changes and serves AddObject/DeleteObject.
#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dbus_vtable.h"
#include "igd1_export.h"
#include "methods.h"
#include "mib_api.h"
#include "single_object.h"
#include "texts.h"
#include "tool.h"

namespace igd1 {

// A child's key: its row's instance number, and for a child of a manager
// nested under a row the inner number in the upper half, each as wide as
// the store's numbers.
using ChildKey = uint64_t;
constexpr ChildKey nested_key(uint32_t outer, uint32_t inner) { return outer | ChildKey(inner) << 32; }
constexpr uint32_t key_outer(ChildKey key) { return uint32_t(key); }
constexpr uint32_t key_inner(ChildKey key) { return uint32_t(key >> 32); }

// Error name of every AddObject/DeleteObject failure.
inline constexpr char kObjectManagerError[] = "com.wqx.igd1.ObjectManager.Error";

// What changes at run time; one per module, zero-initialised.
struct CollectionState {
  GDBusObjectManagerServer *manager;
  gsize type;  // the skeleton GType once registered
  GDBusConnection *connection;  // once attached
  // Children the engine published itself (outside the manager's path, or
  // following the service type).
  std::set<ChildKey> *outside;
  // Managers nested under the rows, by row number, with the registration
  // of their own interface (0: none).
  struct NestedManager {
    GDBusObjectManagerServer *manager;
    guint object;
  };
  std::map<uint32_t, NestedManager> *nested_managers;
  // The objects beside the rows, by row number, and their parsed document.
  std::map<uint32_t, guint> *siblings;
  GDBusNodeInfo *sibling_node;
  bool listing;  // a listing is being built from the rows (row_listing)
};

// An interface document of a child chosen by the service type at each
// request (Introspect, Get, GetAll, Set, methods, listings): the first
// variant that serves the current service type replaces the collection's own
// document.  Children with variants are registered by the engine, like
// children outside the manager's path; such a child's path carries nothing
// else.
struct InterfaceVariant {
  Variant when;
  const char *builtin_xml;
};

struct RowCollection;
struct RowModule;
struct NestedManagers;

struct Collection {
  const char *noun;            // names the collection in log texts, e.g. "PortMapping"
  const char *manager_path;    // e.g. "/com/wqx/igd1/Config/PortMapping"
  const char *type_name;       // skeleton type, e.g. "ComWqxIgd1PortMappingInterface"
  const char *xml_file;        // introspection file, or nullptr with `builtin_xml`
  const char *builtin_xml;     // the interface as text when it has no file
  GDBusNodeInfo **introspection_data;  // the module's global
  const char *introspection_name;      // its name, for the fatal assertion
  const GDBusInterfaceVTable *vtable;  // the child interface's handlers
  CollectionState *state;
  uint32_t max_instance = 255;         // highest instance number a child path may carry
  // The row collection this is part of: a child's properties are then all
  // read from one look-up of its row (null: through the vtable, one by one),
  // and its declaration says where its children live, which interfaces each
  // carries and which documents follow the service type (RowModule's
  // child_prefix, carries and variants).
  const RowCollection *rows = nullptr;
  // Children published on managers nested under the rows of the collection
  // at `manager_path` (see NestedManagers): "<manager>/<outer>/<suffix>/<inner>",
  // keyed by nested_key(outer, inner).
  const NestedManagers *nested_in = nullptr;
};

// ---- the skeleton type ---------------------------------------------------------

// Registers the type once (thread-safe) and returns it.  Its class answers
// the first interface of the module's introspection data, the module's
// vtable and collection_interface_properties().
IGD1_EXPORT GType collection_interface_type(const Collection &collection);

// Every readable property of the skeleton's interface through the vtable's
// get-property handler, as an a{sv} value; nullptr when the vtable has none.
IGD1_EXPORT GVariant *collection_interface_properties(GDBusInterfaceSkeleton *skeleton);

// ---- start-up and children -------------------------------------------------------

// Creates the object manager at the manager path.
IGD1_EXPORT void collection_create_manager(const Collection &collection);
// Reads the introspection data (from the file or the built-in text; a
// missing file is fatal) and hands it to the host.
IGD1_EXPORT void collection_load_interface(const Collection &collection);
// Attaches the manager to the connection; AddObject and DeleteObject reach
// `manager_vtable`, with the manager as user data.
IGD1_EXPORT void collection_attach(const Collection &collection, GDBusConnection *connection,
                                   const GDBusInterfaceVTable *manager_vtable);

IGD1_EXPORT std::string collection_child_path(const Collection &collection, ChildKey instance);
// Exports one child with one interface skeleton of the module's type.
IGD1_EXPORT void collection_export_child(const Collection &collection, ChildKey instance);
IGD1_EXPORT void collection_unexport_child(const Collection &collection, ChildKey instance);

// ---- paths and errors ----------------------------------------------------------------

// Child paths are parsed strictly: a number is decimal digits only, without
// sign or leading zero, and within the table's range; anything else is no
// instance, so that no other spelling can reach a row.

// The number a path segment spells, or 0 when it is not one from 1 to `highest`.
IGD1_EXPORT uint32_t parse_instance(std::string_view segment, uint32_t highest);
// The instance number of `object_path` when it is exactly the manager path,
// "/" and a number from 1 to `highest`; 0 otherwise.
IGD1_EXPORT uint32_t child_instance_of(std::string_view manager_path, const char *object_path,
                                       uint32_t highest);
IGD1_EXPORT ChildKey child_instance(const Collection &collection, const char *object_path);
// A child of a manager nested under a row: "<manager>/<outer>/<middle>/<inner>",
// both numbers from 1 to 4294967295, as nested_key(outer, inner); 0 otherwise.
IGD1_EXPORT ChildKey nested_child_key(std::string_view manager_path, std::string_view middle,
                                      const char *object_path);
IGD1_EXPORT void return_manager_error(GDBusMethodInvocation *invocation, const char *format, ...)
    G_GNUC_PRINTF(2, 3);

// ---- collections of records ------------------------------------------------------
//
// A row collection is a table of the configuration library published as one
// child per row.  The module describes it as data (RowModule): its fields,
// the table's functions, its texts and its policies; one macro line,
// IGD1_ROW_COLLECTION, generates the exported entry points, the vtables and
// the registration from that description.

// Object managers nested under rows: one per row of an outer collection, at
// the row's child path followed by "/" and `suffix`, created with the row's
// child and torn down with it (detached from the bus, its children gone).
//
// The rows of the nested managers may be a row collection of their own (a
// module with the same `RowModule.nested` and `table.inner` calls): its
// children are "<outer child>/<suffix>/<inner>", their record is the outer
// row's (working copy, commit and release are the outer table's), their
// values are reached with the inner number, and
// AddObject/DeleteObject on a nested manager insert and remove inner rows.
// The store reports inner rows with pair row callbacks (outer, inner),
// which the engine registers when the outer collection starts.
struct NestedManagers {
  const char *suffix;                          // e.g. "Type"
  // Its methods (user data: the nested manager); null: the inner collection's.
  const GDBusInterfaceVTable *manager_vtable = nullptr;
  // An interface of each nested manager's own, served from a table at the
  // manager's path with the outer row's number as the instance its hooks
  // see, and the interface's document (its first interface).
  // Without `object_xml` the document is the object's own file, read when
  // the outer collection starts (missing: fatal).
  const SingleObject *object = nullptr;
  const char *object_xml = nullptr;
  // Told once the manager of a row is created (before the inner table
  // publishes its rows there) and before it is detached, or forgotten with
  // an earlier connection: call.object_path is the manager's path,
  // call.instance the outer row's number, call.kind Export or Unexport;
  // `manager` stays the engine's and `registration` is its own interface's
  // (0: none).
  void (*exported)(const CallContext &call, GDBusObjectManagerServer *manager,
                   guint registration) = nullptr;
  void (*unexported)(const CallContext &call, GDBusObjectManagerServer *manager,
                     guint registration) = nullptr;
  // Set by the collections themselves.
  const RowCollection *outer = nullptr;
  const RowCollection *inner = nullptr;
  GDBusNodeInfo *object_node = nullptr;  // the document read from the object's file
};
// The nested manager of row `outer`, or nullptr.
IGD1_EXPORT GDBusObjectManagerServer *nested_manager(const NestedManagers &nested, uint32_t outer);
// Creates the nested manager of row `outer` on `connection` when the row
// exists and has none; then, when one was created or `always_init`, lets the
// inner table publish the rows it holds under `outer` (its inner.init).
IGD1_EXPORT void nested_manager_add(const NestedManagers &nested, GDBusConnection *connection,
                                    uint32_t outer, bool always_init);
// Detaches and frees the nested manager of row `outer` with its children.
IGD1_EXPORT void nested_manager_delete(const NestedManagers &nested, uint32_t outer);

// How a property's value is held.
enum class Field : uint8_t {
  Flag,    // one byte, non-zero on; bus type b
  Number,  // integer of `size` bytes (1, 2, 4 or 8), signed for bus types n i x; y n q i u x t d
  IPv4,    // 4 bytes, network order; dotted text
  IPv6,    // 16 bytes; text
  MAC,     // 6 bytes; text "aa:bb:cc:dd:ee:ff" (writes also take 12 hex digits, any case)
  Text,    // NUL-terminated text in `size` bytes
  Choice,  // one byte named by a choice table; text
  List,    // ";"-joined text in `size` bytes; bus type as
  Item,    // reached through the table's item accessors with `item`: text for
           // bus type s, otherwise the type's own width (b and y one byte,
           // n and q two, i and u four, x, t and d eight)
  MacText, // text in `size` bytes as another process may have written it; reads as
           // 12 upper-case hex digits, takes either form and stores "aa:bb:cc:dd:ee:ff"
};

// A named value of a Choice field.  Reading answers `name` for `stored`;
// writing accepts `name` or `other_name`.  Entries with a null `name`
// answer "" (kept for values that are never written).
struct Choice {
  uint8_t stored;
  const char *name;
  const char *other_name;
};

// The error of a stored text that cannot be read, unless the module says otherwise.
inline constexpr char kInvalidUtf8[] = "invalid UTF-8 sting value of %s";

// What a text longer than its field does.
enum class Overlong : uint8_t { Cut, Refuse };

// How a row's write request treats its entries beyond checking them and
// storing what changed: flags, combined with `|`.  Without any, a value
// equal to the stored one stores, runs and announces nothing, and a refused
// entry of a multi-write ends the call with nothing stored.
enum class RowWrites : uint8_t {
  Plain = 0,
  // A request whose accepted values all equal the stored ones stores the row
  // all the same: its commit and the Committed step run and their refusal
  // answers; only what changed is announced.
  CommitUnchanged = 1,
  // An accepted value equal to the stored one counts as a change: stored,
  // applied and announced again.
  RepeatUnchanged = 2,
  // A refused entry of a multi-write is skipped: the other entries are
  // stored and the call succeeds (a single write fails all the same).
  SkipRefused = 4,
};
constexpr RowWrites operator|(RowWrites a, RowWrites b) {
  return RowWrites(uint8_t(a) | uint8_t(b));
}
// Whether `writes` holds `flag`.
constexpr bool holds(RowWrites writes, RowWrites flag) {
  return (uint8_t(writes) & uint8_t(flag)) != 0;
}

struct RowProperty;
// A rule of a module on a value written to a row property (see
// RowProperty::accepts).
using ValueRule = bool (*)(const CallContext &call, const RowProperty &property, GVariant *value,
                           const uint8_t *row);

struct RowProperty {
  const char *name;
  // Another name for reading, and for writing where the module's document
  // declares it writable.
  const char *alias = nullptr;
  const char *type = "s";       // bus type
  Field field = Field::Text;
  uint32_t offset = 0;          // records may be of a megabyte
  uint32_t size = 0;            // bytes in the record; texts: the terminator included
  // Logged with the value before a write is checked (nullptr: read-only).
  // A text without a conversion keeps the value out of the log, also out
  // of the log line of a refusal (a password: "set Password value:******").
  const char *write_log = nullptr;
  int64_t min = 0;              // numbers: accepted range when max > min
  int64_t max = 0;
  Overlong overlong = Overlong::Cut;
  // Who hears a change of this property.  A read-only property that names
  // who hears it is one the table works out when a row is stored: a commit
  // that changes it announces it beside the written properties.
  Announce announce = Announce::AsModule;
  std::span<const Choice> choices = {};
  int item = -1;                // Item: the accessors' item number (other fields: the module's own)
  // A refused value (may name the property with "%s"; null: texts.invalid_value).
  const char *refused = nullptr;
  // Builds the bus value from the row where the field alone does not say it
  // (a value that depends on other fields).  nullptr: it cannot be built;
  // with *call.error set the client gets that error (a GetAll or a listing
  // leaves the property out), else the module's invalid_utf8 text.
  GVariant *(*read)(const CallContext &call, const RowProperty &property,
                    const uint8_t *row) = nullptr;
  // The module's rule on a new value beyond its field's (emptiness, room,
  // entry count, a check of the store's, a rule for changed values only,
  // the service types that take writes), run once the value has its type
  // and was logged, with the call (its row's position) and the row as it is
  // before the write.  false refuses the value: with *call.error when the
  // hook set it, otherwise with `refused`.
  ValueRule accepts = nullptr;
  // Stores a value the field alone cannot take into the working copy `row`
  // (after the type check, the log line and `accepts`); sets *changed when
  // the copy changed.  false with *call.error set refuses it with that error.
  bool (*write)(const CallContext &call, const RowProperty &property, GVariant *value,
                uint8_t *row, bool *changed) = nullptr;
  // The value a change is announced with, made from the value as it reads
  // after the write (null: as it reads).
  AnnounceHook announced = nullptr;
  // A value of another bus type answers this text (null: the engine's type error).
  const char *wrong_type = nullptr;
};

// A stand-in row that a table holds while no other row exists (a default
// entry): it has no child, the next AddObject removes it first and deleting
// the last row puts it back.  `position` is -1 when it is absent; the mark
// is the table's, so it holds across restarts.
struct StandIn {
  int (*position)(void) = nullptr;
  int (*add)(void) = nullptr;
  int (*remove)(void) = nullptr;
};

// The calls of a table whose rows are nested under the outer table's rows
// (RowModule.nested); `row` is the outer row (or its working copy)
// throughout.  Item accessors that also take the inner number; insertion
// (reports the new inner number) and removal; `init` has the store report
// every inner row of `outer` through the pair row callbacks;
// `parent_offset` is the offset of the outer number in the inner table's
// records, for those callbacks.
struct InnerTable {
  int (*get_item)(int item, const void *row, uint32_t inner, void *output) = nullptr;
  int (*set_item)(int item, void *row, uint32_t inner, const void *value) = nullptr;
  int (*insert)(void *row, uint32_t outer, uint32_t *inner) = nullptr;
  int (*remove)(void *row, uint32_t outer, uint32_t inner) = nullptr;
  int (*init)(void *row, uint32_t outer) = nullptr;
  size_t parent_offset = 0;
};

// An interface of a collection manager's own on its path, served from a
// table (`object`).  Its document is `xml`: the interface as text (it
// begins with "<"), or a file (missing: fatal); without one, the object's
// own file, and the object is registered at its own path (or the one its
// file names).
struct ManagerInterface {
  const SingleObject *object = nullptr;
  const char *xml = nullptr;
};

// A module's table: the table's operations and the module's own hooks,
// which take the place of the table's where given.  Optional members are
// null when a module's commit protocol does not use them.
struct RowTable {
  // The table's operations (the configuration library's `<prefix>_table`).
  const mib_table_ops *store = nullptr;
  // The module's own insertion of a new row, handed over zeroed (the Self
  // kind: with its number), e.g. to fill in a template first (null: the
  // table's).
  int (*insert_entry)(void *row) = nullptr;
  // The module's own removal (null: the table's).
  int (*remove_entry)(uint32_t index, mib_list_node *node) = nullptr;
  // What follows AddObject and DeleteObject (null: the table's save_mib).
  int (*save_mib)(void) = nullptr;
  // The module's own commit of a BackupUpdate working copy (a plain copy of
  // the row when the table has no backup_entry), with the row's index,
  // which may name the reason of a refusal (null: the table's update_entry;
  // a store that takes the copy alone: store_copy<function>).
  int (*update_entry)(const void *row, uint32_t index, const char **reason, int flags) = nullptr;
  // Brings the live fields of a row (status, counters) up to date before it
  // is read (a module whose refresh is left out during a conformance run
  // asks check_dbus_cts_running() in its own function).
  void (*refresh_row)(void *row) = nullptr;
  // A stand-in row the table holds while no other row exists (see StandIn).
  StandIn stand_in = {};
  // The calls that reach rows nested under the outer table's rows
  // (RowModule.nested; see InnerTable).
  InnerTable inner = {};
};

// A RowTable::update_entry of a store that takes the working copy alone.
template <int (*store)(const void *copy)>
int store_copy(const void *copy, uint32_t, const char **, int) {
  return store(copy);
}

// What AddObject does.
enum class AddKind : uint8_t {
  Insert,  // the table inserts a zeroed row; its child appears through <Name>_add_interface
  Self,    // the lowest free instance number up to max_instance; the child is exported here
  Refuse,  // answered with `texts.add_failed` under the refusal's error name
  None,    // the manager is GDBus's plain object manager: no AddObject or DeleteObject at all
};

// AddObject of a collection as one value (RowModule::add), made by one of
// the functions below.  Insert and Self take at most `max_rows` rows (0:
// Insert, as many as the table takes; Self, as many as there are numbers);
// a full table answers `texts.table_full`.  A refusal (AddObject, and
// DeleteObject with `texts.delete_refused`) answers under `error_name`
// (null: the standard InvalidArgs).  A module's own AddObject in its method
// table answers instead of any kind.
struct Adding {
  AddKind kind = AddKind::Insert;
  uint32_t max_rows = 0;
  const char *error_name = nullptr;

  static constexpr Adding insert(uint32_t max_rows = 0) { return {AddKind::Insert, max_rows}; }
  static constexpr Adding self_numbered(uint32_t max_rows = 0) {
    return {AddKind::Self, max_rows};
  }
  static constexpr Adding refuse(const char *error_name = nullptr) {
    return {AddKind::Refuse, 0, error_name};
  }
  static constexpr Adding none() { return {AddKind::None}; }
};

// The steps of a collection's life and of its manager's and children's
// calls that the module's `on` hook is told of (RowModule::on), with what
// its `row` and `parameters` hold.  The hook answers Begin::Apply to let the
// call go on; where a step takes a refusal, Begin::Refuse with *call.error
// set fails the call with that error.
enum class RowStep : uint8_t {
  // The collection is on the bus with its rows: the module's own start-up
  // (timers, row callbacks of its own).  call.object_path is the manager's;
  // the answer is not used.
  Started,
  // Before the entries of a write reach the working copy: `row` is the row
  // as stored.  Refuse, or Ignore: answered as a success, nothing applied,
  // stored or announced.
  Write,
  // A changed row was stored, within the write's transaction (a table saved
  // after each write saves here): Refuse fails the call, and the store keeps
  // the row as it was.
  Committed,
  // A row was removed, within the removal's transaction (a conformance run
  // included: call.test_run() tells): call.object_path is the deleted path,
  // call.index the row's position, `row` the row as it was.  The answer is
  // not used.
  Deleted,
  // Before AddObject or DeleteObject look at anything else, `parameters`
  // the request's: Refuse refuses the call (an empty table, a service type
  // that takes no changes of the table, a row that is in use, a path the
  // module spells its own way).  call.object_path is the manager's; for
  // DeleteObject, call.instance and call.index name the row the path to
  // delete is the child of (instance 0: no row has that path).
  AddObject,
  DeleteObject,
};
// The manager method of the AddObject and DeleteObject steps, by name.
constexpr const char *step_method(RowStep step) {
  return step == RowStep::AddObject ? "AddObject" : "DeleteObject";
}
// A module's hook of the steps above (RowModule::on).
using RowHook = Begin (*)(const CallContext &call, RowStep step, const uint8_t *row,
                          GVariant *parameters);

// The moments a row collection logs where a module may write a line of its
// own (RowTexts::log), with what the call context holds and the engine's
// line otherwise.
enum class RowEvent : uint8_t {
  // A Get or Set reached a child path without a row: call.object_path,
  // call.instance (the number the path spells), call.kind.  Otherwise:
  // "func [<handler>] :invalid list num  <n> ".
  NoRow,
  // AddObject added a child: call.object_path is its path, call.instance
  // its number.  Otherwise: "Add <noun> object success, object path <path>".
  Added,
  // AddObject found no free number (self kind), or the table refused the
  // new row: call.object_path is the manager's.  Otherwise: the text answered.
  NoNumber,
  AddRefused,
  // A child was exported: call.object_path is its path, call.instance and
  // call.inner its numbers.  Otherwise: "Add <noun> interface, index is <n> "
  // and "object_path: <path>".
  Exported,
};

// The error texts of a row collection.  Each is the engine's (its text
// here) unless the module's wording answers its own.  Formats take: path
// texts the object path, property texts the property name, row texts the
// instance number (preceded by the handler's name when the text has a "%s";
// a text with a "%s" and no "%d" takes the object path), commit texts the
// store's reason; a text may use fewer.  Path texts and CommitFailed may
// instead name {path}; property texts {name}, {path} and {instance};
// InvalidValue also {value}.
enum class RowText : uint8_t {
  GetInvalidPath,  // path: "invalid object path %s"
  SetInvalidPath,  // path: "invalid object path %s"
  CommitFailed,    // path: "Fail to update entry"
  ReadProperty,    // property: an unknown name in a read, "invalid property %s"
  WriteProperty,   // property: an unknown name in a write, "invalid property %s"
  ReadFailed,      // property: an item accessor failed, "Get %s failed"
  CurrentFailed,   // property: "get property %s failed"
  // property: a stored text that is not UTF-8, or whose item read failed,
  // kInvalidUtf8; answered "", such a text reads as "".
  InvalidUtf8,
  InvalidValue,    // a refused value: "Invalid parameter value"
  GetNoRow,        // row: "invalid list num  %d "
  SetNoRow,        // row: "invalid list num  %d "
  ItemSetFailed,   // the item setter refused: none, InvalidValue answers
  AddFailed,       // "Add <noun> object fail !!"
  AddPath,         // nested rows: AddObject on a manager whose outer row is gone: AddFailed
  // The table holds `add.max_rows` rows, or (Self without them) no number is
  // free: AddFailed; with max_rows, no free number is AddFailed.
  TableFull,
  DeletePath,      // "DeleteObject object path error"
  DeleteFailed,    // "Delete <noun> Object error !!"
  // Answered, DeleteObject is refused with it (see Adding);
  // the engine's: none, DeleteObject is served.
  DeleteRefused,
};
inline constexpr size_t kRowTextCount = size_t(RowText::DeleteRefused) + 1;

// What a module words its own way: its error texts and log lines.
struct RowTexts {
  // The module's text for `text` (see RowText), or null for the engine's.
  const char *(*wording)(RowText text) = nullptr;
  // Writes the module's own log line of `event` (see RowEvent) and returns
  // true; false (or null): the engine logs its own line.  `function` is the
  // name of the handler that serves the call.
  bool (*log)(const CallContext &call, RowEvent event, const char *function) = nullptr;
};
// The text a row collection answers for `text`: the module's wording, else
// the engine's (null where the engine's names the collection, or where
// another text answers).
IGD1_EXPORT const char *row_text(const RowModule &module, RowText text);

// An object beside every row (a tunnel's statistics, an SSID's WPS object)
// at the row's path followed by "/" and `suffix`: a table of its own
// (`object`: reads, writes and multi-writes each one transaction with its
// begin, commit and abort, methods), registered for each row with the
// row's instance number as the `call.instance` of its hooks and accessors
// (`get_at`; its transaction's begin for writes), created with the row's
// child and removed with it.
// Its document is the object's `xml_file`, read when the collection starts
// (a missing file stops the start, naming `introspection_name`, or the file).
struct Sibling {
  const char *suffix;  // e.g. "Stats"
  const SingleObject *object;
  const char *introspection_name = nullptr;
  // Told once the object of a row is registered (`registration`, its id)
  // and before it is withdrawn: call.object_path is the object's path,
  // call.instance its row's number, call.kind Export or Unexport.
  void (*exported)(const CallContext &call, guint registration) = nullptr;
  void (*unexported)(const CallContext &call, guint registration) = nullptr;
};

// A GetManagedObjects reply kept between changes (see row_listing_refresh).
// Every change the module makes drops it (a row written, added or removed,
// a list edited); a cache given the store's count of commits to the table
// (by any process) also drops it when another process committed.  Replies
// are built on the main loop only.  Every access holds the mutex; a reply
// handed out is a reference of its own, so dropping the kept one never
// frees a reply being sent.
struct ListingCache {
  ListingCache() = default;
  explicit ListingCache(uint64_t (*table_commits)(void)) : commits(table_commits) {}
  uint64_t (*const commits)(void) = nullptr;  // null: the table's commits are not counted
  std::mutex mutex;
  GVariant *reply = nullptr;  // "(a{oa{sa{sv}}})", or none
  int service_type = 0;       // the one the reply was built for (it shows that form)
  uint64_t commit_count = 0;  // the table's commit count when the build began
  uint64_t generation = 0;    // counts the drops: a build started before one is not kept
  bool rebuild_queued = false;
  uint64_t queued_generation = 0;  // a drop after the build was asked for cancels it
};

struct RowModule {
  const char *manager_path;
  std::span<const RowProperty> properties;
  RowTable table;
  RowTexts texts = {};
  // Who hears a change; a write is announced once the store took it (a
  // refused commit announces nothing).
  Announce announce = Announce::ServiceType0;
  Adding add = Adding::insert();  // see Adding
  // The highest child number; Self gives the lowest free number up to it (a
  // module that gives fewer refuses AddObject in its `on` hook).
  uint32_t max_instance = 255;
  // The children's document: an introspection file, or the interface itself
  // as text (it begins with "<"); null: "<Name>.xml".
  const char *xml = nullptr;
  // Children live at `child_prefix` + "/" + number (null: below the manager).
  // A GDBus manager refuses such children; the engine registers them itself,
  // announces them on the manager path and lists them in GetManagedObjects.
  const char *child_prefix = nullptr;
  // Whether the child of `instance` carries the interface (null: every
  // interface of the document).
  bool (*carries)(uint32_t instance, const char *interface_name) = nullptr;
  // Managers that live and die with each row, or, for a module whose table
  // reaches its rows through `table.inner`, the managers nested under
  // another collection's rows (whose manager path is `manager_path`) that
  // this module's rows live in (see NestedManagers).
  NestedManagers *nested = nullptr;
  // An interface of the manager's own on its path (see ManagerInterface).
  ManagerInterface manager_interface = {};
  // Told each step of RowStep (start-up, writes, commits, removals, the
  // manager's calls) with the call it belongs to (null: every call goes on).
  RowHook on = nullptr;
  // Chooses, when the collection starts, its manager path (its children's
  // paths follow), its document file and an error name (see StartChoice;
  // null: the declaration as it is).
  const StartChoice *(*choose)() = nullptr;
  // What a write does with unchanged values and refused entries (see RowWrites).
  RowWrites writes = RowWrites::Plain;
  // The error name of a refused commit (null: org.freedesktop.DBus.Error.Failed).
  const char *commit_error = nullptr;
  // Methods of the children's interfaces (the call context names the row),
  // and the manager's AddObject, DeleteObject and RemoveAllObjects answered
  // by the module instead of the engine, told apart by those names.  The
  // manager's AddObject's call context names the manager; DeleteObject's
  // names the path to delete, the instance it spells (0: none) and, when a
  // row has it, the row's position (row_unexport alone makes "delete only
  // unexports").  Only a module with RemoveAllObjects here or a table
  // with remove_all declares that method.
  std::span<const Method> methods = {};
  void *user_data = nullptr;  // handed to hooks in their call context
  // An object beside every row.
  const Sibling *sibling = nullptr;
  // Documents that replace `xml` while their service type holds; the engine
  // then publishes the children itself (see InterfaceVariant).
  std::span<const InterfaceVariant> variants = {};
  // GetManagedObjects built here from the table's rows (those with an
  // exported child) rather than by GDBus's manager, and answered from a
  // kept reply (see row_listing_refresh).
  ListingCache *listing_cache = nullptr;
};

// Whether `name` is one of the manager's methods a module may answer itself.
constexpr bool manager_method_name(std::string_view name) {
  return name == "AddObject" || name == "DeleteObject" || name == "RemoveAllObjects";
}

// The module's own handler of manager method `name`, or nullptr.
constexpr const Method *manager_method(const RowModule &module, std::string_view name) {
  if (!manager_method_name(name)) return nullptr;
  for (const Method &method : module.methods)
    if (name == method.name) return &method;
  return nullptr;
}

// Whether the module's method table has methods of the children.
constexpr bool serves_child_methods(const RowModule &module) {
  for (const Method &method : module.methods)
    if (!manager_method_name(method.name)) return true;
  return false;
}

// The managers this module's rows live in, when it is the rows of managers
// nested under another collection's rows (see RowModule::nested), else null.
constexpr NestedManagers *nested_in(const RowModule &module) {
  return module.table.inner.get_item != nullptr ? module.nested : nullptr;
}
// The managers that live and die with this module's rows, or null.
constexpr NestedManagers *managers_under_rows(const RowModule &module) {
  return module.table.inner.get_item != nullptr ? nullptr : module.nested;
}

// The `on` hook of a module whose one step of its own is `run` at `Step`
// (a start-up, a table saved at once after each stored change); every step
// goes on.
template <RowStep Step, auto run>
Begin at_step(const CallContext &, RowStep step, const uint8_t *, GVariant *) {
  if (step == Step) run();
  return Begin::Apply;
}

// Whether `xml` is a document's text rather than the name of its file.
constexpr bool document_text(const char *xml) { return xml != nullptr && xml[0] == '<'; }

// Whether the manager serves RemoveAllObjects.
inline bool removes_all(const RowModule &module) {
  return manager_method(module, "RemoveAllObjects") != nullptr ||
         (module.table.store != nullptr && module.table.store->remove_all != nullptr);
}

// The list methods of a row's interface: (u type, as entries) -> (u result,
// s message).  The type picks one of `lists`; Merge adds the entries the
// list lacks, Slice removes those it holds.  Results: 0 with "" once the
// row was committed and saved, 0 with "" when the list is unchanged or does
// not fit its field (nothing committed), 4294967295 with `invalid_text` for
// an unknown type or a list of more than `max_entries`.
enum class ListEdit : uint8_t { Merge, Slice };
struct ListMethods {
  std::span<const char *const> lists;  // property names by type number
  uint32_t max_entries = 2048;
  const char *error_name;              // error name of a refused commit
  const char *commit_failed;           // its text
  const char *invalid_text = "Invalid parameters!";
  // Told what was added (Merge) or removed (Slice) from a list that was and
  // stays non-empty, after the commit: (type, edit, entries).
  int (*handle_action)(int type, int edit, gchar **entries) = nullptr;
};

// Whether the engine registers the children itself instead of a GDBus
// object manager (and so answers GetManagedObjects itself).
constexpr bool publishes_children_itself(const RowModule &module) {
  return module.child_prefix != nullptr || !module.variants.empty();
}

// Names of the module's handlers, for log and error texts.
struct RowHandlerNames {
  const char *get;
  const char *set;
  const char *multi;
  const char *manager;
};

// The exported functions of a nested row collection that the store's pair
// row callbacks reach.
struct InnerRowEntries {
  int (*add)(unsigned int outer, unsigned int inner) = nullptr;
  int (*del)(unsigned int outer, unsigned int inner) = nullptr;
};

// A module's collection as the engine serves it: its description, the
// collection pieces and the names of its handlers.
struct RowCollection {
 private:
  std::string type_name_;
  std::string xml_file_;

 public:
  const RowModule &module;
  // What the module chose when it started takes effect here.
  mutable Collection collection;
  RowHandlerNames names;
  const GDBusInterfaceVTable *manager_vtable;
  mutable InnerRowEntries inner_entries;
  // The declaration's document file (null: its built-in text).
  const char *default_xml_file() const {
    return document_text(module.xml) ? nullptr : xml_file_.c_str();
  }
  IGD1_EXPORT RowCollection(const RowModule &module, const char *name,
                            GDBusNodeInfo **introspection_data,
                const char *introspection_name, const GDBusInterfaceVTable *vtable,
                CollectionState *state, RowHandlerNames names,
                const GDBusInterfaceVTable *manager_vtable);
};

// Hands a nested row collection's export functions to its RowCollection
// (IGD1_NESTED_ROW_COLLECTION), for the pair row callbacks its outer
// collection registers when it starts.
struct InnerRows {
  InnerRows(const RowCollection &rows, InnerRowEntries entries) { rows.inner_entries = entries; }
};

// What the collection chose when it last started (see RowModule::choose).
inline const StartChoice &chosen(const RowModule &module) {
  return chosen_by(&module);
}

// Every row collection of the library, for checks against the XML files.
IGD1_EXPORT std::span<const RowCollection *const> published_collections();

// The property a name designates (aliases included), or nullptr.
IGD1_EXPORT const RowProperty *find_row_property(std::span<const RowProperty> properties,
                                                 const char *name);
// Whether the table works `property` out when a row is stored (see
// RowProperty::announce).
constexpr bool worked_out_by_table(const RowProperty &property) {
  return property.write_log == nullptr && property.announce != Announce::AsModule;
}
// Whether any property of the module takes writes (a read-only collection
// leaves the write slots of its vtable empty).
constexpr bool row_module_writes(const RowModule &module) {
  for (const RowProperty &property : module.properties)
    if (property.write_log != nullptr) return true;
  return false;
}
// The property a write under `name` reaches, or nullptr when the name takes
// no writes: its row has no `write_log`, or the document the module's
// children serve now (see InterfaceVariant) does not declare it writable.
IGD1_EXPORT const RowProperty *find_writable_row_property(const RowModule &module,
                                                          const char *name);
// Whether a change of the property named `name` is announced on the current
// service type: a changed row is announced under its properties' own names,
// never their aliases.
IGD1_EXPORT bool row_property_announced(const RowModule &module, const char *name);
// A field's bus value for the call `call` (its inner number reaches the
// item accessors of a nested row); nullptr with *call.error set when it
// cannot be built.
IGD1_EXPORT GVariant *read_row_property(const RowModule &module, const RowProperty &property,
                                        const uint8_t *row, const CallContext &call);
// Checks `value` and stores it into the working copy `row` of the row the
// call names; *changed tells whether the copy changed.  Failures go to
// *call.error: InvalidArgs with the module's texts, or a write hook's own.
IGD1_EXPORT bool apply_row_property(const RowModule &module, const CallContext &call,
                                    const char *name, GVariant *value, uint8_t *row,
                                    bool *changed);
// Every text of the module whose placeholders the engine does not supply
// where the text is used, one line each naming `noun` and the text; "" when
// all are supplied.
IGD1_EXPORT std::string row_text_faults(const RowModule &module, const char *noun);
// apply_row_property in the form of RowModule::write_property, for the
// writers modules export under names of their own.
IGD1_EXPORT gboolean write_row_property(const RowModule &module, const char *name,
                                        GVariant *value, int *changed, GError **error, void *row,
                                        uint32_t index);

// Entry points, served from the description.
IGD1_EXPORT void row_collection_start(const RowCollection &rows, GDBusConnection *connection,
                                      const GDBusInterfaceVTable *manager_vtable);
IGD1_EXPORT void row_export(const RowCollection &rows, ChildKey instance);
IGD1_EXPORT void row_unexport(const RowCollection &rows, ChildKey instance);
// A row the store reported added or removed: its child exported or removed.
IGD1_EXPORT void row_reported(const RowCollection &rows, uint32_t instance, bool added);
// A nested row's child (outer, inner) on the outer row's manager: exported
// (`add`) or removed.  1 when done; 0 with a log line when the outer row
// does not exist or has no manager, or a number is 0.
IGD1_EXPORT int nested_row_export(const RowCollection &rows, uint32_t outer, uint32_t inner,
                                  bool add);
IGD1_EXPORT GVariant *row_get_property(const RowCollection &rows, const char *object_path,
                                       const char *property_name, GError **error);
// One write of one or several properties (`entries` an a{sv}): all of them
// or none, unless a multi-write (`multi`) of a module that continues past a
// refused entry.
IGD1_EXPORT gboolean row_write(const RowCollection &rows, const char *function,
                               GDBusConnection *connection, const char *object_path,
                               const char *interface_name, GVariant *entries, GError **error,
                               bool multi = false);
// AddObject and DeleteObject on the manager at `manager_path`.
IGD1_EXPORT void row_manager_call(const RowCollection &rows, const char *manager_path,
                                  const char *method_name, GVariant *parameters,
                                  GDBusMethodInvocation *invocation);
// Every child with every readable property, as GetManagedObjects answers it
// (a{oa{sa{sv}}}), built in process.
IGD1_EXPORT GVariant *row_managed_objects(const RowCollection &rows);
// A method of a child: the row's context, then the module's method table.
IGD1_EXPORT void row_method_call(const RowCollection &rows, const char *object_path,
                                 const char *interface_name, const char *method_name,
                                 GVariant *parameters, GDBusMethodInvocation *invocation);
// RemoveAllObjects on the manager: the module's handler.
IGD1_EXPORT void row_remove_all(const RowCollection &rows, const char *object_path,
                                const char *interface_name, const char *method_name,
                                GVariant *parameters, GDBusMethodInvocation *invocation);
// A list method of a row (see ListMethods): reads the list of the called
// row, edits it, stores the row through table.update_entry with flag 1 when
// the old and the new list are both non-empty, and saves it.
IGD1_EXPORT void row_edit_list(const RowCollection &rows, const ListMethods &lists, ListEdit edit,
                               const PendingCall &call, GVariant *parameters);
// The children whose rows pass `keep` (every child when null), each with its
// properties, as a{oa{sa{sv}}}: one walk of the table, so that the listing
// shows one state of it.
IGD1_EXPORT GVariant *row_listing(const RowCollection &rows, bool (*keep)(const uint8_t *row));
// Whether a listing of the rows is being built now (on the main loop).
IGD1_EXPORT bool row_listing_underway(const RowCollection &rows);
// Whether the child of `instance` is published.
IGD1_EXPORT bool row_exported(const RowCollection &rows, ChildKey instance);
// Drops the kept GetManagedObjects reply (from any thread).  With `keep` a
// new one is built: at once when called on the main loop, else on the main
// loop soon after.  Returns a new reference to the reply now kept, or
// nullptr.
IGD1_EXPORT GVariant *row_listing_refresh(const RowCollection &rows, bool keep);
// GetManagedObjects answered from row_managed_objects (collections whose
// children GDBus's manager does not hold), or from the kept reply.
IGD1_EXPORT void row_answer_managed_objects(const RowCollection &rows,
                                            GDBusMethodInvocation *invocation);

// One-entry a{sv} (new reference).
IGD1_EXPORT GVariant *single_entry(const char *name, GVariant *value);

// The children's property handlers of the glue (IGD1_READ_HANDLER and
// IGD1_WRITE_HANDLERS), as single_object.h gives them for an object.
inline GVariant *serve_get(const RowCollection &rows, const char *, const char *object_path,
                           const char *property_name, GError **error) {
  return row_get_property(rows, object_path, property_name, error);
}
inline gboolean serve_set(const RowCollection &rows, const char *function,
                          GDBusConnection *connection, const char *object_path,
                          const char *interface_name, const char *property_name, GVariant *value,
                          GError **error) {
  g_autoptr(GVariant) entries = single_entry(property_name, value);
  return row_write(rows, function, connection, object_path, interface_name, entries, error);
}
inline gboolean serve_set_multi(const RowCollection &rows, const char *function,
                                GDBusConnection *connection, const char *object_path,
                                const char *interface_name, GVariant *entries, GError **error) {
  return row_write(rows, function, connection, object_path, interface_name, entries, error, true);
}
inline void serve_method(const RowCollection &rows, const char *, const char *object_path,
                         const char *interface_name, const char *method_name,
                         GVariant *parameters, GDBusMethodInvocation *invocation) {
  row_method_call(rows, object_path, interface_name, method_name, parameters, invocation);
}
// No read buffer of a row collection is the engine's to check.
constexpr const Property *oversized_read_when_compiled(const RowCollection &) { return nullptr; }

// Declares the row callbacks of the store's table `table_module`: `add` and
// `del` with the row's instance number.  Every collection the host starts
// declares its own export functions so, before its rows are loaded.
IGD1_EXPORT void use_row_instances(const char *table_module, int (*add)(uint32_t),
                                   int (*del)(uint32_t));
// The same for modules whose one callback takes the action as an argument
// (instance number, DBUS_PROXY_ROW_ADDED or _REMOVED).
IGD1_EXPORT void use_row_action(const char *table_module, int (*action)(unsigned int, int));

}  // namespace igd1

// The glue of a row collection described by `module` (a RowModule): the
// introspection global `data`, the vtables, the skeleton type
// (`Name`_interface_get_type, `Name`_interface_get_properties), the children's
// property handlers `get`, `set` and `multi`, and the manager's handler
// `manager`.  `noun` names the collection in texts and its skeleton type.
// Given an `entry`, the collection is one the host starts:
// `entry`_on_bus_acquired and the row export functions `Name`_add_interface
// and `Name`_del_interface of the store's row callbacks are defined too; a
// collection whose store reports rows another way defines its own.
#define IGD1_ROW_COLLECTION(Name, data, noun, get, set, multi, manager, module, ...)               \
  IGD1_API GDBusNodeInfo *data;                                                                    \
  GDBusNodeInfo *data = nullptr;                                                                   \
  IGD1_API igd1::GetHandler get;                                                                   \
  IGD1_API igd1::SetHandler set;                                                                   \
  IGD1_API igd1::SetMultiHandler multi;                                                            \
  IGD1_API igd1::MethodCallHandler manager;                                                        \
  namespace {                                                                                      \
  igd1::MethodCallHandler Name##_child_method, Name##_get_managed_objects, Name##_remove_all;      \
  const GDBusInterfaceVTable k##Name##VTable = {                                                   \
      igd1::serves_child_methods(module) ? Name##_child_method : nullptr, get,                     \
      igd1::row_module_writes(module) ? set : nullptr,                                             \
      {igd1_set_multi_slot(igd1::row_module_writes(module) ? multi : nullptr)}};                   \
  const GDBusInterfaceVTable k##Name##ManagerVTable = {                                            \
      manager, nullptr, nullptr,                                                                   \
      {nullptr,                                                                                    \
       igd1::publishes_children_itself(module) || (module).listing_cache != nullptr                \
           ? reinterpret_cast<gpointer>(&Name##_get_managed_objects)                               \
           : nullptr,                                                                              \
       igd1::removes_all(module) ? reinterpret_cast<gpointer>(&Name##_remove_all) : nullptr}};     \
  igd1::CollectionState g_##Name##State;                                                           \
  const igd1::RowCollection k##Name##Rows((module), noun, &data, #data, &k##Name##VTable,          \
                                          &g_##Name##State, {#get, #set, #multi, #manager},        \
                                          &k##Name##ManagerVTable);                                \
  void Name##_child_method(GDBusConnection *, const gchar *, const gchar *path,                    \
                           const gchar *interface_name, const gchar *method, GVariant *args,       \
                           GDBusMethodInvocation *invocation, gpointer) {                          \
    igd1::row_method_call(k##Name##Rows, path, interface_name, method, args, invocation);          \
  }                                                                                                \
  void Name##_get_managed_objects(GDBusConnection *, const gchar *, const gchar *, const gchar *,  \
                                  const gchar *, GVariant *, GDBusMethodInvocation *invocation,    \
                                  gpointer) {                                                      \
    igd1::row_answer_managed_objects(k##Name##Rows, invocation);                                   \
  }                                                                                                \
  void Name##_remove_all(GDBusConnection *, const gchar *, const gchar *path,                      \
                         const gchar *interface_name, const gchar *method, GVariant *args,         \
                         GDBusMethodInvocation *invocation, gpointer) {                            \
    igd1::row_remove_all(k##Name##Rows, path, interface_name, method, args, invocation);           \
  }                                                                                                \
  }                                                                                                \
  IGD1_API GType Name##_interface_get_type(void) {                                                 \
    return igd1::collection_interface_type(k##Name##Rows.collection);                              \
  }                                                                                                \
  IGD1_API GVariant *Name##_interface_get_properties(GDBusInterfaceSkeleton *skeleton) {           \
    return igd1::collection_interface_properties(skeleton);                                        \
  }                                                                                                \
  IGD1_READ_HANDLER(get, k##Name##Rows)                                                            \
  IGD1_WRITE_HANDLERS(set, multi, k##Name##Rows)                                                   \
  void manager(GDBusConnection *, const gchar *, const gchar *path, const gchar *,                 \
               const gchar *method, GVariant *parameters, GDBusMethodInvocation *invocation,       \
               gpointer) {                                                                         \
    igd1::row_manager_call(k##Name##Rows, path, method, parameters, invocation);                   \
  }                                                                                                \
  __VA_OPT__(                                                                                      \
  IGD1_API int Name##_add_interface(uint32_t instance) {                                           \
    igd1::row_reported(k##Name##Rows, instance, true);                                             \
    return 1;                                                                                      \
  }                                                                                                \
  IGD1_API int Name##_del_interface(uint32_t instance) {                                           \
    igd1::row_reported(k##Name##Rows, instance, false);                                            \
    return 1;                                                                                      \
  }                                                                                                \
  IGD1_API void __VA_ARGS__##_on_bus_acquired(GDBusConnection *connection, const gchar *,          \
                                              gpointer) {                                          \
    DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d]", __func__, __LINE__);                          \
    igd1::use_row_instances(#Name, Name##_add_interface, Name##_del_interface);                    \
    igd1::row_collection_start(k##Name##Rows, connection, &k##Name##ManagerVTable);                \
  })

// The rows of managers nested under another collection's rows, after the
// IGD1_ROW_COLLECTION line of `Name` (given no entry: the outer collection
// starts them): the export functions of (outer, inner) the store's pair row
// callbacks reach, and the functions that bring the manager of one outer
// row up and down.
#define IGD1_NESTED_ROW_COLLECTION(Name, module)                                                   \
  IGD1_API int Name##_add_interface(unsigned int outer, unsigned int inner) {                      \
    return igd1::nested_row_export(k##Name##Rows, outer, inner, true);                             \
  }                                                                                                \
  IGD1_API int Name##_del_interface(unsigned int outer, unsigned int inner) {                      \
    return igd1::nested_row_export(k##Name##Rows, outer, inner, false);                            \
  }                                                                                                \
  IGD1_API void Name##_Manager_add(GDBusConnection *connection, unsigned int outer) {              \
    igd1::nested_manager_add(*igd1::nested_in(module), connection, outer, true);                   \
  }                                                                                                \
  IGD1_API void Name##_Manager_delete(GDBusConnection *, unsigned int outer) {                     \
    igd1::nested_manager_delete(*igd1::nested_in(module), outer);                                  \
  }                                                                                                \
  namespace {                                                                                      \
  const igd1::InnerRows k##Name##InnerRows(k##Name##Rows,                                          \
                                           {Name##_add_interface, Name##_del_interface});          \
  }
