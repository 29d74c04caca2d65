// The single-instance object: one fixed path, one interface from the
// module's introspection file, properties that map to configuration values.
//
// A module describes its object as data: a table of properties (names, bus
// type, accessor index, raw form, what a failed read does, a writer for the
// writable ones) and a few policies (permission test, what follows a write,
// what a failing entry of a multi-write does).  This engine does the rest:
// matching names, reading and converting, writing, error texts, logging and
// the PropertiesChanged signal.
#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "dbus_vtable.h"
#include "dbus_proxy_api.h"
#include "igd1_export.h"
#include "methods.h"
#include "mib_api.h"
#include "texts.h"
#include "tool.h"

namespace igd1 {

// ---- registration -------------------------------------------------------------

// The types of the exported entry points, for their declarations in headers
// (`IGD1_API igd1::GetHandler dhcpserver_handle_get_property;`).
using BusEntry = void(GDBusConnection *, const gchar *, gpointer);
using GetHandler = GVariant *(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                              const gchar *, GError **, gpointer);
using SetHandler = gboolean(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                            const gchar *, GVariant *, GError **, gpointer);
using SetMultiHandler = gboolean(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                                 GVariant *, GError **, gpointer);
using MethodCallHandler = void(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                               const gchar *, GVariant *, GDBusMethodInvocation *, gpointer);

struct SingleObject;

struct SingleObjectRegistration {
  const char *xml_file;                 // e.g. "DHCPServer.xml"; see builtin_xml
  GDBusNodeInfo **introspection_data;   // the module's exported global
  const char *introspection_name;       // that global's name, for the fatal assertion
  const char *object_path;              // nullptr: the path named by the XML root node
  const GDBusInterfaceVTable *vtable;
  GDestroyNotify user_data_free = nullptr;  // releases `user_data` when the connection goes
  const char *bus_name = nullptr;       // the entry's name argument, for the object's start hook
  // The object's table: the published interface declares what the table
  // serves on the current service type (see served_interface).
  const SingleObject *object = nullptr;
  // The document as text, for an interface built in the library (no file).
  const char *builtin_xml = nullptr;
};

// Loads the XML, hands the node to the host, registers the object on
// `connection` with `user_data` and tells the object's start hook each step;
// 0, with nothing done, when the hook says at Present that it is not there.  A
// missing document or a refused registration is fatal.  `caller` and
// `caller_line` name the module's entry function in the log (by default the
// function that calls and its line).
IGD1_EXPORT guint register_single_object(const SingleObjectRegistration &registration,
                                         GDBusConnection *connection, gpointer user_data,
                                         const char *caller = __builtin_FUNCTION(),
                                         int caller_line = __builtin_LINE());

// ---- properties ------------------------------------------------------------------

// The form a value has in the buffer the configuration library fills.
enum class Raw : uint8_t {
  Text,    // NUL-terminated text
  U8,      // one byte
  I32,     // 32-bit signed
  U32,     // 32-bit unsigned
  U64,     // 64-bit unsigned
  Double,  // 64-bit floating point
  IPv4,    // 4 bytes, network order; answered as dotted text
};

// What a failed configuration read does.
enum class OnFailure : uint8_t {
  Unchecked,  // the result is not looked at; the (zeroed) buffer is used
  Error,      // `failure_log` is logged, the read fails with `failure_error`
  Fallback,   // `failure_log` is logged at level 4 and the fallback answers
  NoValue,    // the read fails like an unknown property
};

struct Property;
struct SingleObject;

// What a module chooses when it starts, from the service type or a
// capability of the device (USB storage: its paths and document by service
// type; the diagnostics object: its document by a capability).  A member
// left null keeps what the declaration says.
struct StartChoice {
  const char *path = nullptr;        // a single object's path, a collection's manager path
  const char *xml_file = nullptr;    // the introspection file
  const char *error_name = nullptr;  // the error name of the module's own answers
};

// The form in which store_value hands a written value to the accessor.
enum class Stored : uint8_t {
  Byte,         // one byte (b: true_stored or 0; y: the byte)
  U32,          // 32-bit number
  IPv4Classic,  // 4 bytes, network order, from a dotted (or classic shortened) text
  Text,         // the NUL-terminated text
};

// Outcome flags a writer reports.
struct WriteFlags {
  int changed = 0;        // a value was stored and is to be announced
  int commit_needed = 0;  // the configuration library asked for a commit
  unsigned marks = 0;     // the module's own notes of what changed, gathered over a request
};

// Hooks see their call (CallContext): the object's path and the instance it
// was registered for, the declaration's user data, the kind of request, the
// conformance run, and where a failure of the hook's own goes (`error`).

// Custom read: returns a new floating value, or nullptr with *call.error set
// (the client gets exactly that error; GetAll leaves the property out), or
// nullptr alone for "no value".
using ReadHook = GVariant *(*)(const CallContext &call, const SingleObject &object,
                               const Property &property);
// Read hook of a write-only property (declared access="write"): it has no
// value, so a read is answered as for an unknown name.
IGD1_EXPORT GVariant *write_only(const CallContext &call, const SingleObject &object,
                                 const Property &property);

// Custom write of one value already type-checked against the property,
// written under `name` (the property's name or its alias); false with
// *call.error set refuses it.
using WriteHook = bool (*)(const CallContext &call, const SingleObject &object,
                           const Property &property, const char *name, GVariant *value,
                           WriteFlags *flags);

// The value a change is announced with, made from the value as written
// (a time written "7:5" announced as "07:05"): a new floating value, or
// nullptr to announce it as written.
using AnnounceHook = GVariant *(*)(GVariant *written);

// Who hears PropertiesChanged of a write, for single objects and rows.  A
// row property may say it for itself; AsModule (the default of a row
// property) follows the module.
enum class Announce : uint8_t { Never, ServiceType0, Always, AsModule };

// Whether a policy announces now (the service type is read at each call).
IGD1_EXPORT bool announce_allowed(Announce policy);

// When clients are told that a property changed (PropertiesChanged).
enum class ChangeSignal : uint8_t {
  OnWrite,   // after an accepted write that changed it; a read-only property: never
  Never,     // never, not even after a write
  ByModule,  // by the module's own code, when the value changes without a bus write
};

struct Property {
  const char *name;
  const char *alias = nullptr;        // the second name of the row, if any
  const char *type = "s";             // bus type
  int index = -1;                     // accessor index
  Raw raw = Raw::Text;
  unsigned buffer = 0;                // bytes the accessor may fill; 0: the object's default
  OnFailure on_failure = OnFailure::Unchecked;
  // Texts of a failed read; both may name the property with one "%s", and
  // the error instead {name}, {path} and {instance}.
  const char *failure_log = nullptr;
  const char *failure_error = nullptr;
  const char *fallback_text = nullptr;
  uint64_t fallback_number = 0;
  ReadHook read = nullptr;            // nullptr: accessor + raw form
  WriteHook write = nullptr;          // nullptr: read-only; store_value: the form below
  Variant variant = Variant::Any;
  // What store_value hands the object's `set` accessor.
  Stored stored = Stored::Byte;
  uint8_t true_stored = 1;            // Byte of a b property: the value of true (false is 0)
  std::span<const uint32_t> allowed = {};  // U32: the only values accepted (empty: any)
  // A refused value: InvalidArgs with this format and the value (text or number).
  const char *refused = "Invalid parameter value";
  // Logged with the value before it is checked; in a multi-write
  // `multi_write_log` instead, when given.
  const char *write_log = nullptr;
  const char *multi_write_log = nullptr;
  // Text: the most bytes stored (0: no limit); a longer text is cut at a
  // character boundary, so that it still reads back as UTF-8.
  unsigned cut_at = 0;
  ChangeSignal change_signal = ChangeSignal::OnWrite;
  // A multi-write applies its entries by this rank, lowest first, and in
  // the request's order within a rank (a password after the name it goes with).
  int8_t apply_order = 0;
  AnnounceHook announced = nullptr;   // nullptr: announced as written
};

// The store writes of one bus call as one transaction: they stand together
// when commit() succeeds and are rolled back otherwise (also when the call
// ends early).
class StoreTransaction {
 public:
  StoreTransaction() : open_(mib_transaction_begin() != 0) {}
  ~StoreTransaction() {
    if (open_) mib_transaction_rollback();
  }
  StoreTransaction(const StoreTransaction &) = delete;
  StoreTransaction &operator=(const StoreTransaction &) = delete;
  // False, with a Failed error, when the store is busy or closed.
  bool began(GError **error) const {
    if (!open_) fail(error, "The configuration store is busy");
    return open_;
  }
  // False, with a Failed error, when the store rolled the writes back.
  bool commit(GError **error) {
    open_ = false;
    if (mib_transaction_commit() != 0) return true;
    fail(error, "The configuration store refused the change");
    return false;
  }

 private:
  // Names what the store met (damage, a full disk) where it knows.
  static void fail(GError **error, const char *otherwise) {
    const char *failure = mib_store_failure();
    g_set_error_literal(error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED,
                        failure != nullptr ? failure : otherwise);
  }

  bool open_;
};

// What a failing entry of a multi-write does.
enum class MultiFailure : uint8_t {
  Continue,             // keep walking; the first failure is logged, the call succeeds
  Stop,                 // end the call with the writer's error; earlier entries stay stored
  StopInvalidProperty,  // end the call with "invalid property %s"; earlier entries stay stored
  Restore,              // end the call with the writer's error; nothing of it is stored
};

// What a multi-write of a single object announces, once it was stored.
enum class MultiAnnounce : uint8_t {
  Changed,  // the properties it changed, when any
  Always,   // the properties it changed, also when none (an empty signal)
  Never,    // nothing, though single writes are announced
};

// What a write request's begin decides (see SingleObject::begin and
// RowModule::begin).
enum class Begin : uint8_t {
  Apply,   // the entries are applied
  Refuse,  // the request fails with the error the hook set
  Ignore,  // the request is answered as a success and nothing is applied,
           // stored or announced
};

// The rank of an entry of a multi-write by its property name (see
// Property::apply_order); entries of a lower rank are applied first.
using EntryOrder = std::function<int(const char *name)>;

// The positions of the entries of `entries` (a{sv}) in the order they are
// applied: by `order`, stable within a rank.
IGD1_EXPORT std::vector<gsize> entry_sequence(GVariant *entries, const EntryOrder &order);

// The one walk of a multi-property write, shared by every kind of object:
// the entries of `entries` (a{sv}) in order (in the order `order` ranks
// them, when given), each logged and handed to `apply(name, value, entry,
// error)`, `entry` being the {sv} that holds them.
// A failing entry is treated as `failure` says; with Continue the first
// failure is kept in *skipped.  Returns false (with `error` set) when the
// walk was stopped.
template <typename Apply>
bool walk_entries(const char *function, int log_level, GVariant *entries, MultiFailure failure,
                  Apply apply, GError **skipped, GError **error,
                  const EntryOrder *order = nullptr) {
  const gsize count = g_variant_n_children(entries);
  const std::vector<gsize> sequence =
      order != nullptr ? entry_sequence(entries, *order) : std::vector<gsize>();
  for (gsize n = 0; n < count; ++n) {
    const gsize i = order != nullptr ? sequence[n] : n;
    // Taken apart without a format string, which would be parsed per entry.
    g_autoptr(GVariant) entry = g_variant_get_child_value(entries, i);
    g_autoptr(GVariant) key = g_variant_get_child_value(entry, 0);
    g_autoptr(GVariant) boxed = g_variant_get_child_value(entry, 1);
    const gchar *name = g_variant_get_string(key, nullptr);
    g_autoptr(GVariant) owned = g_variant_get_variant(boxed);
    GVariant *value = owned;
    sys_log(LOG_MODULE_DBUS, log_level, LOG_CATEGORY_DEBUG, __FILE__, __LINE__, function,
            "Item property_name '%s' has type '%s'\n", name, g_variant_get_type_string(value));
    GError *entry_error = nullptr;
    if (apply(name, value, entry, &entry_error)) continue;
    switch (failure) {
      case MultiFailure::Continue:
        if (skipped != nullptr && *skipped == nullptr)
          *skipped = entry_error;
        else
          g_clear_error(&entry_error);
        continue;
      case MultiFailure::Stop:
      case MultiFailure::Restore:
        g_propagate_error(error, entry_error);
        return false;
      case MultiFailure::StopInvalidProperty:
        g_clear_error(&entry_error);
        g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "invalid property %s", name);
        return false;
    }
  }
  return true;
}

// The texts of a single object's requests, each the engine's (given here)
// unless the module's wording answers its own (SingleObject::wording).
// Error texts are printf formats of the name, or name what they receive
// ({name}, {path}, {instance}, and where said {value}).  Log lines are
// printf formats whose arguments the engine fixes; the wording may also
// change the level a line is written at.
enum class ObjectText : uint8_t {
  UnknownRead,    // a read of a name no row matches: "invalid property %s"
  UnknownMethod,  // a method no row serves ({name}: the method): the engine's UnknownMethod text
  UnknownWrite,   // a write to a name no writable row matches, {value} too: "invalid property %s"
  StoreRefused,   // a value the `set` accessor refused, {value} too: "set %s fail"
  // Log lines.  A read's entry line (function, line, property name) and the
  // line that closes it: "func [%s], line [%d],property_name:%s", LOG_LEVEL_INFO.
  ReadLog,
  WriteLog,    // a write's entry line (function, line, property name): "func [%s], line [%d]"
  // A multi-write's entry line (function, object path):
  // "func [%s],object_path:%s", LOG_LEVEL_DETAIL.
  MultiLog,
  // The LOG_LEVEL_WARN line of a name no row matches (function, line, name):
  // "func [%s], line [%d], invalid property %s".
  UnknownLog,
  // A method call's entry line (function, line, method name), and "out of
  // func" once its handler returned: none.
  MethodLog,
  // The property's own `failure_log` line of a read that fails with an
  // error: its level only, LOG_LEVEL_WARN.
  FailureLog,
};
inline constexpr size_t kObjectTextCount = size_t(ObjectText::FailureLog) + 1;

// The moments of an object's start that its module may act on
// (SingleObject::start).
enum class StartStep : uint8_t {
  Present,     // first: false leaves the object out (nothing read or registered)
  // Its document was handed to the host, before the object is registered:
  // another module's entry that shares its path starts here.
  Documented,
  Registered,  // the object is on the bus: the module's own start-up work
  Released,    // its connection went: releases what start-up made
};
// A module's part in its object's start (SingleObject::start).
using StartHook = bool (*)(StartStep step, GDBusConnection *connection, const gchar *bus_name,
                           gpointer user_data);
// The start hook of an object whose module has start-up work only: `work()`
// once the object is on the bus.
template <auto work>
bool on_registered(StartStep step, GDBusConnection *, const gchar *, gpointer) {
  if (step == StartStep::Registered) work();
  return true;
}


// The hooks of a write request's transaction (a Set or a SetMulti):
// `begin` before any entry (nullptr: Apply), each entry through its
// writer, then `commit` (update notices, applying; false fails the request
// with *call.error set, no signal) and the store's commit, whose refusal
// answers the store's message.  A request that fails after its begin runs
// `abort` before the error answers.
struct Transaction {
  Begin (*begin)(const CallContext &call, const SingleObject &object) = nullptr;
  bool (*commit)(const CallContext &call, const SingleObject &object,
                 const WriteFlags &flags) = nullptr;
  void (*abort)(const CallContext &call, const SingleObject &object) = nullptr;
};

struct SingleObject {
  const char *path;
  const char *xml_file;                           // the published contract of the object
  std::span<const Property> properties;
  int (*get)(int index, void *buffer) = nullptr;  // the module's configuration accessor
  unsigned read_buffer = 64;                      // default read buffer
  int (*set)(int index, void *value) = nullptr;   // the writer of store_value
  // The accessor of a declaration registered once per instance (an SSID's
  // WPS object, a band): told the instance the call's object stands for,
  // it is used instead of `get`.  Such an object's writes need no instance
  // of their own: its transaction's begin is told it (call.instance).
  int (*get_at)(uint32_t instance, int index, void *buffer) = nullptr;

  // The module's own wording of `text` (see ObjectText), or null for the
  // engine's; `level`, non-null for a log line, is the level it is written
  // at, which the hook may change.
  const char *(*wording)(ObjectText text, int *level) = nullptr;

  // The request's transaction (see Transaction).
  Transaction transaction = {};
  // Who hears accepted writes: an object announced only on service type 0
  // also marks its properties unannounced in what it serves on the others.
  Announce announce = Announce::Always;
  MultiFailure multi_failure = MultiFailure::Continue;
  // What a multi-write announces (single writes: what changed).
  MultiAnnounce multi_announce = MultiAnnounce::Changed;

  // Registration: what the module chooses when it starts (null: the
  // declaration as it is), and the module's part in each step of the start
  // (see StartStep): told the connection and the entry function's name and
  // user data (at Released only the user data); false at Present leaves the
  // object out.
  const StartChoice *(*choose)() = nullptr;
  StartHook start = nullptr;
  // The object's methods, and what their handlers find in the call context.
  std::span<const Method> methods = {};
  void *user_data = nullptr;
};

// The text of `object` for `text`: the module's wording, else the engine's
// (null: none).  With `level` (a log line), *level is the line's level.
IGD1_EXPORT const char *object_text(const SingleObject &object, ObjectText text,
                                    int *level = nullptr);

// Lines many objects word alike.
inline constexpr char kWriteLineNamingProperty[] = "func [%s], line [%d],property_name:%s";
inline constexpr char kMethodLine[] = "func [%s], line [%d],method_name:%s";
inline constexpr char kUnknownLineWithStop[] = "func [%s], line [%d], invalid property %s .";
// Wordings many objects share: a write's entry line that names the
// property (kWriteLineNamingProperty); a method call's entry and exit lines
// (kMethodLine).  Null for every other text.
IGD1_EXPORT const char *names_written_property(ObjectText text, int *level);
IGD1_EXPORT const char *logs_methods(ObjectText text, int *level);

// Room for the largest value any accessor fills on a read.
inline constexpr unsigned kMaxReadBuffer = 256;

// The first property of `object` whose accessor read would be given more
// room than the engine has (its own buffer, or the object's default), or
// nullptr.  Checked when the table is compiled into a handler and again
// when an object is registered.
constexpr const Property *oversized_read(const SingleObject &object) {
  for (const Property &property : object.properties) {
    if (property.read != nullptr) continue;
    const unsigned size = property.buffer != 0 ? property.buffer : object.read_buffer;
    if (size > kMaxReadBuffer) return &property;
  }
  return nullptr;
}
// The same where the compiler can tell: an instrumented build no longer
// takes "is this hook set" as a constant expression, and registration
// checks the table again in every build.
constexpr const Property *oversized_read_when_compiled(const SingleObject &object) {
#ifdef IGD1_NO_CONSTANT_POINTER_TESTS
  (void)object;
  return nullptr;
#else
  return oversized_read(object);
#endif
}

// Registers `object` from its own file (`xml_file`, read like every module's
// document: a missing one is fatal) at its `path`, or at the path the
// document's root node names, with handlers that serve it from its table.
IGD1_EXPORT guint register_object_from_file(const SingleObject &object,
                                            GDBusConnection *connection);
// Registers `object`'s interface (the first of `xml`, an introspection
// document) at `path` with handlers that serve it from its table, for an
// interface that shares its path with another object, such as a
// collection's manager.  Returns the registration id (0 on refusal).
// One declaration may be registered at several paths, each for an
// instance of its own (a radio, a band) that its hooks find in their call
// context.
IGD1_EXPORT guint register_described_object(const SingleObject &object, const char *xml,
                                            GDBusConnection *connection, const char *path,
                                            uint32_t instance = 0);
// The same with the document already parsed (the caller keeps its reference).
IGD1_EXPORT guint register_described_node(const SingleObject &object, GDBusNodeInfo *node,
                                          GDBusConnection *connection, const char *path,
                                          uint32_t instance = 0);

// The interface `object` serves on the current service type: its file's
// (`declared`, which describes service type 0) with every property in the
// form the table serves now, the properties of other service types left out
// and those of this one added, and the unannounced ones marked.  Built once
// per service type; lives as long as the process.
IGD1_EXPORT GDBusInterfaceInfo *served_interface(const SingleObject &object,
                                                 GDBusInterfaceInfo *declared);
// Whether the interface an object serves depends on the service type.
IGD1_EXPORT bool varies_by_service_type(const SingleObject &object);

// Objects whose interface follows the service type are published as a GDBus
// subtree, which is asked for its interfaces at every request; any other
// object at the same path joins that subtree.  Such a path also answers the
// multi-property write (com.wqx.igd1.Properties.SetMulti) itself.
IGD1_EXPORT GDBusInterfaceInfo *set_multi_interface();
// Answers a SetMulti(s, a{sv}) call with the multi-property handler of
// `vtable` (InvalidArgs when `vtable` is null: the path has no such
// interface).
IGD1_EXPORT void answer_set_multi_call(const GDBusInterfaceVTable *vtable, gpointer user_data,
                                       GDBusConnection *connection, const gchar *sender,
                                       const gchar *path, GVariant *parameters,
                                       GDBusMethodInvocation *invocation);

// Every object a module publishes, for the checks of the tables against
// their introspection files.
IGD1_EXPORT std::span<const SingleObject *const> published_objects();
struct PublishObject {
  IGD1_EXPORT explicit PublishObject(const SingleObject &object);
};

// What the object (or a row collection, see collection.h) chose when it
// last started: its hook's choice, or an empty one.
IGD1_EXPORT const StartChoice &chosen(const SingleObject &object);
// The same for any declaration, by its address.
IGD1_EXPORT const StartChoice &chosen_by(const void *declaration);
// Runs `choose` (null: nothing is chosen) for `declaration` when it starts
// and keeps its answer.
IGD1_EXPORT const StartChoice &make_start_choice(const void *declaration,
                                                 const StartChoice *(*choose)());

// Declares that module `module` starts after module `after` whenever both
// start (names as before "_on_bus_acquired"): a module that publishes
// beside another's objects finds them there.  One line in its file:
//   const igd1::StartsAfter kAfterWLAN("wps", "WLANConfiguration");
struct StartsAfter {
  IGD1_EXPORT StartsAfter(const char *module, const char *after);
};
// Hands every declared order to the host (the root entry does, before any
// module starts).
IGD1_EXPORT void declare_start_order();

// Every text of `object` whose placeholders the engine does not supply
// where the text is used, one line each naming the object and the text; ""
// when all are supplied.
IGD1_EXPORT std::string object_text_faults(const SingleObject &object);

// The property a name designates for the current service type, or nullptr.
IGD1_EXPORT const Property *find_property(const SingleObject &object, const char *name);

// Whether changes of `property` are announced on the current service type.
IGD1_EXPORT bool property_announced(const SingleObject &object, const Property &property);

// Gives every property of `interface` whose changes are not announced
// (`announced(name)` is false) the annotation
// org.freedesktop.DBus.Property.EmitsChangedSignal "false", so that
// introspection tells clients which values they must read again themselves.
IGD1_EXPORT void mark_unannounced(GDBusInterfaceInfo *interface,
                                  const std::function<bool(const char *name)> &announced);

// The vtable handlers, for a module's extern "C" entry points.  `function`
// is the module handler's name for the log.
// `instance` is the one the object was registered for (0: its only one).
IGD1_EXPORT GVariant *object_get(const SingleObject &object, const char *function,
                                 const char *object_path, const char *property_name,
                                 GError **error, uint32_t instance = 0);
IGD1_EXPORT gboolean object_set(const SingleObject &object, const char *function,
                                GDBusConnection *connection, const char *object_path,
                                const char *interface_name, const char *property_name,
                                GVariant *value, GError **error, uint32_t instance = 0);
IGD1_EXPORT gboolean object_set_multi(const SingleObject &object, const char *function,
                                      GDBusConnection *connection, const char *object_path,
                                      const char *interface_name, GVariant *properties,
                                      GError **error, uint32_t instance = 0);
// The writer of properties whose value goes to the object's `set` accessor
// in the form `stored` says; a refused value or a failed store is an error.
IGD1_EXPORT bool store_value(const CallContext &call, const SingleObject &object,
                             const Property &property, const char *name, GVariant *value,
                             WriteFlags *flags);
// The method handler of a described object: its method table.  `function`
// names the module's handler in the log.
IGD1_EXPORT void object_method_call(const SingleObject &object, const char *function,
                                    const char *object_path, const char *interface_name,
                                    const char *method_name, GVariant *parameters,
                                    GDBusMethodInvocation *invocation, uint32_t instance = 0);
// The handlers of the glue (IGD1_READ_HANDLER and its kin) for an object;
// collection.h gives the same names for a row collection.
inline GVariant *serve_get(const SingleObject &object, const char *function,
                           const char *object_path, const char *property_name, GError **error) {
  return object_get(object, function, object_path, property_name, error);
}
inline gboolean serve_set(const SingleObject &object, const char *function,
                          GDBusConnection *connection, const char *object_path,
                          const char *interface_name, const char *property_name, GVariant *value,
                          GError **error) {
  return object_set(object, function, connection, object_path, interface_name, property_name,
                    value, error);
}
inline gboolean serve_set_multi(const SingleObject &object, const char *function,
                                GDBusConnection *connection, const char *object_path,
                                const char *interface_name, GVariant *entries, GError **error) {
  return object_set_multi(object, function, connection, object_path, interface_name, entries,
                          error);
}
inline void serve_method(const SingleObject &object, const char *function,
                         const char *object_path, const char *interface_name,
                         const char *method_name, GVariant *parameters,
                         GDBusMethodInvocation *invocation) {
  object_method_call(object, function, object_path, interface_name, method_name, parameters,
                     invocation);
}

// Stores one value through the property's writer (name lookup included),
// logging it as the property says for a single write or a multi-write;
// failures go to *call.error.
IGD1_EXPORT bool object_write(const CallContext &call, const SingleObject &object,
                              const char *name, GVariant *value, WriteFlags *flags);
// The same for a write that comes from the library rather than the bus: a
// Set on the object's own path.
IGD1_EXPORT bool object_write(const SingleObject &object, const char *name, GVariant *value,
                              WriteFlags *flags, GError **error);

// Bus value of the text in a buffer of `size` bytes, or nullptr with
// "invalid UTF-8 sting value of <name>" when it is not terminated within the
// buffer or not UTF-8 (for read hooks with buffers of their own).
IGD1_EXPORT GVariant *text_value(const char *text, size_t size, const char *name, GError **error);

// Bus value of a number for the property's bus type (reals for 'd').
IGD1_EXPORT GVariant *value_of_number(const Property &property, uint64_t number, double real);

// The whole number a value of a numeric bus type (b y n q i u x t d)
// carries; false for another type, a real that is not whole and a number
// beyond the signed 64-bit range.
IGD1_EXPORT bool whole_number_of(GVariant *value, int64_t *number);

// Error helpers: InvalidArgs with a printf-style message.
IGD1_EXPORT void set_invalid_args(GError **error, const char *format, ...) G_GNUC_PRINTF(2, 3);
// The same with a table text: filled from `values` when it names what it
// receives, otherwise a printf format of the one argument `legacy`.
IGD1_EXPORT void set_invalid_text(GError **error, const char *text, const TextValues &values,
                                  const char *legacy);
// True when `value` has the bus type `type`; otherwise InvalidArgs naming
// the property.  Multi-writes reach handlers without GDBus's type check.
IGD1_EXPORT bool check_value_type(GVariant *value, const char *name, const char *type,
                                  GError **error);

// Shared writers and parsers.
// Parses an IPv4 text with the classic rules (dotted decimal, hexadecimal,
// octal and shortened forms) into 4 bytes in network order.
IGD1_EXPORT bool parse_ipv4_classic(const char *text, uint8_t address[4]);

}  // namespace igd1

// The glue of a single object: its exported entry points, defined under the
// names the host and the callers look up (they follow no one rule, so each
// is given) and served by the engine from the object's declaration.  A
// handler slot the module serves itself names the module's own function; a
// slot the object does not have is nullptr.
//
//   IGD1_READ_HANDLER(get, described)          Get of the object's properties
//   IGD1_WRITE_HANDLERS(set, multi, described) Set and the multi-property write
//   IGD1_METHOD_HANDLER(method, described)     its method table
//   IGD1_SINGLE_OBJECT(entry, data, described, method, get, set, multi)
//       the introspection global `data`, the vtable of the four slots and
//       `entry`_on_bus_acquired, which registers the object at its path and
//       runs its start-up work.
// The same handler macros serve a row collection's children (collection.h).
#define IGD1_READ_HANDLER(get, described)                                                          \
  static_assert(igd1::oversized_read_when_compiled(described) == nullptr,                          \
                "a read buffer of " #described " is larger than the engine's");                    \
  IGD1_API GVariant *get(GDBusConnection *, const gchar *, const gchar *object_path,               \
                         const gchar *, const gchar *property_name, GError **error, gpointer) {    \
    return igd1::serve_get((described), #get, object_path, property_name, error);                  \
  }
#define IGD1_WRITE_HANDLERS(set, multi, described)                                                 \
  IGD1_API gboolean set(GDBusConnection *connection, const gchar *, const gchar *object_path,      \
                        const gchar *interface_name, const gchar *property_name,                   \
                        GVariant *value, GError **error, gpointer) {                               \
    return igd1::serve_set((described), #set, connection, object_path, interface_name,             \
                           property_name, value, error);                                           \
  }                                                                                                \
  IGD1_API gboolean multi(GDBusConnection *connection, const gchar *, const gchar *object_path,    \
                          const gchar *interface_name, GVariant *entries, GError **error,          \
                          gpointer) {                                                              \
    return igd1::serve_set_multi((described), #multi, connection, object_path, interface_name,     \
                                 entries, error);                                                  \
  }
#define IGD1_METHOD_HANDLER(method, described)                                                     \
  IGD1_API void method(GDBusConnection *, const gchar *, const gchar *object_path,                 \
                       const gchar *interface_name, const gchar *method_name,                      \
                       GVariant *parameters, GDBusMethodInvocation *invocation, gpointer) {        \
    igd1::serve_method((described), #method, object_path, interface_name, method_name, parameters, \
                       invocation);                                                                \
  }
#define IGD1_SINGLE_OBJECT(entry, data, described, method, get, set, multi)                        \
  IGD1_API GDBusNodeInfo *data;                                                                    \
  GDBusNodeInfo *data = nullptr;                                                                   \
  namespace {                                                                                      \
  const GDBusInterfaceVTable k_##entry##_vtable = {method, get, set,                               \
                                                   {igd1_set_multi_slot(multi)}};                  \
  const igd1::PublishObject k_##entry##_published(described);                                      \
  }                                                                                                \
  IGD1_API void entry##_on_bus_acquired(GDBusConnection *connection, const gchar *name,            \
                                        gpointer user_data) {                                      \
    igd1::register_single_object(igd1::SingleObjectRegistration{                                   \
                                     .xml_file = (described).xml_file,                             \
                                  .introspection_data = &data,                                     \
                                  .introspection_name = #data,                                     \
                                  .object_path = (described).path,                                 \
                                  .vtable = &k_##entry##_vtable,                                   \
                                  .bus_name = name,                                                \
                                  .object = &(described)},                                         \
                                 connection, user_data);                                           \
  }
