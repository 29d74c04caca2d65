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
#include <span>
#include <string>
#include <string_view>

#include "dbus_vtable.h"
#include "igd1_export.h"
#include "mib_api.h"
#include "tool.h"

namespace igd1 {

// Error name of every AddObject/DeleteObject failure.
inline constexpr char kObjectManagerError[] = "com.wqx.igd1.ObjectManager.Error";

// What changes at run time; one per module, zero-initialised.
struct CollectionState {
  GDBusObjectManagerServer *manager;
  gsize type;  // the skeleton GType once registered
};

struct Collection {
  const char *noun;            // names the collection in log texts, e.g. "PortMapping"
  const char *manager_path;    // e.g. "/com/wqx/igd1/Config/PortMapping"
  const char *child_format;    // instance number part of a child path: "%d" or "%u"
  const char *type_name;       // skeleton type, e.g. "ComWqxIgd1PortMappingInterface"
  const char *xml_file;        // introspection file, or nullptr with `builtin_xml`
  const char *builtin_xml;     // the interface as text when it has no file
  GDBusNodeInfo **introspection_data;  // the module's global
  const char *introspection_name;      // its name, for the fatal assertion
  const GDBusInterfaceVTable *vtable;  // the child interface's handlers
  CollectionState *state;
  uint32_t max_instance = 255;         // highest instance number a child path may carry
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

IGD1_EXPORT std::string collection_child_path(const Collection &collection, unsigned instance);
// Exports one child with one interface skeleton of the module's type.
IGD1_EXPORT void collection_export_child(const Collection &collection, unsigned instance);
IGD1_EXPORT void collection_unexport_child(const Collection &collection, unsigned instance);

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
IGD1_EXPORT uint32_t child_instance(const Collection &collection, const char *object_path);
// A child of a manager nested under a row: "<manager>/<outer>/<middle>/<inner>",
// both numbers from 1 to 255, packed as outer | inner << 8; 0 otherwise.
IGD1_EXPORT uint32_t nested_child_key(std::string_view manager_path, std::string_view middle,
                                      const char *object_path);
IGD1_EXPORT void return_manager_error(GDBusMethodInvocation *invocation, const char *format, ...)
    G_GNUC_PRINTF(2, 3);

// ---- collections of fixed-size records ---------------------------------------------

// How a field is held in the record.
enum class Field : uint8_t {
  Flag,    // one byte, non-zero on; bus type b
  U16,     // 16-bit number; bus type u
  U32,     // 32-bit number; bus type u
  IPv4,    // 4 bytes, network order; dotted text
  Text,    // NUL-terminated text in `size` bytes
  Choice,  // one byte named by a choice table; text
};

// A named value of a Choice field.  Reading answers `name` for `stored`;
// writing accepts `name` or `other_name`.  Entries with a null `name`
// answer "" (kept for values that are never written).
struct Choice {
  uint8_t stored;
  const char *name;
  const char *other_name;
};

struct RowProperty {
  const char *name;
  const char *alias;            // another name for reading (and writing, see below)
  const char *type;             // bus type: "b", "u" or "s"
  Field field;
  uint16_t offset;
  uint16_t size;                // Text: the buffer, terminator included
  const char *write_log;        // logged before a write is checked; nullptr: read-only
  bool alias_writes = true;     // whether a write under `alias` is accepted
  uint32_t min = 0;             // numbers: accepted range when `max` is not 0
  uint32_t max = 0;
  bool empty_is_any = false;    // IPv4: "" stores 0.0.0.0
  std::span<const Choice> choices = {};
};

// The configuration library's functions for one table.
struct RowTable {
  size_t row_size;
  uint32_t change_bit;  // dbus_mib_update_cfg of a changed row
  int (*update_all)(void);
  mib_list_node *(*get_list)(int which);
  mib_list_node *(*get_list_by_instnum)(uint32_t instance, uint32_t *index);
  int (*insert_entry)(void *row);
  int (*remove_entry)(uint32_t index, mib_list_node *node);
  int (*save_mib)(void);
};

// Names of the module's handlers, for log and error texts.
struct RowHandlerNames {
  const char *get;     // e.g. "PortMapping_handle_get_property"
  const char *set;
  const char *multi;
  const char *manager;
};

struct RowCollection {
  const Collection &collection;
  std::span<const RowProperty> properties;
  RowTable table;
  RowHandlerNames names;
  uint8_t *working_copy;  // row_size bytes
  // Runs after a row was removed, unless a conformance test is running;
  // `removed` is the row as it was.  Optional.
  void (*after_delete)(const uint8_t *removed, uint32_t index) = nullptr;
};

// Every row collection of the library, for checks against the XML files.
IGD1_EXPORT std::span<const RowCollection *const> published_collections();
struct PublishCollection {
  IGD1_EXPORT explicit PublishCollection(const RowCollection &rows);
};

// The property a name designates (aliases included), or nullptr.
IGD1_EXPORT const RowProperty *find_row_property(std::span<const RowProperty> properties,
                                                 const char *name);
// The property a write under `name` reaches, or nullptr when the name does
// not take writes.
IGD1_EXPORT const RowProperty *find_writable_row_property(std::span<const RowProperty> properties,
                                                          const char *name);
// A field's bus value; nullptr when it cannot be built (text that is not UTF-8).
IGD1_EXPORT GVariant *read_row_property(const RowProperty &property, const uint8_t *row);
// Checks `value` and stores it into `row`.  Flags are cleared first and both
// set when the row changed.  Failures are InvalidArgs.
IGD1_EXPORT bool apply_row_property(std::span<const RowProperty> properties, const char *name,
                                    GVariant *value, int *notify, int *changed, GError **error,
                                    uint8_t *row);

// Start-up: creates the manager, refreshes the table, reads the interface,
// exports a child per row through the module's `add_interface` and attaches
// the manager.
IGD1_EXPORT void row_collection_start(const RowCollection &rows, GDBusConnection *connection,
                                      const GDBusInterfaceVTable *manager_vtable,
                                      int (*add_interface)(uint32_t instance));
// The vtable handlers.
IGD1_EXPORT GVariant *row_get_property(const RowCollection &rows, const char *object_path,
                                       const char *property_name, GError **error);
IGD1_EXPORT gboolean row_set_property(const RowCollection &rows, GDBusConnection *connection,
                                      const char *object_path, const char *interface_name,
                                      const char *property_name, GVariant *value, GError **error);
IGD1_EXPORT gboolean row_set_multi(const RowCollection &rows, GDBusConnection *connection,
                                   const char *object_path, const char *interface_name,
                                   GVariant *properties, GError **error);
// AddObject (insert kind: the row is made by the configuration library and
// its child exported through <Name>_add_interface) and DeleteObject.
IGD1_EXPORT void row_manager_call(const RowCollection &rows, const char *method_name,
                                  GVariant *parameters, GDBusMethodInvocation *invocation);

}  // namespace igd1

// The handlers of a row collection under the module's own names.
#define IGD1_DEFINE_ROW_GET_HANDLER(handler, rows)                                           \
  GVariant *handler(GDBusConnection *, const gchar *, const gchar *object_path,              \
                    const gchar *, const gchar *property_name, GError **error, gpointer) {   \
    return igd1::row_get_property((rows), object_path, property_name, error);                \
  }
#define IGD1_DEFINE_ROW_SET_HANDLER(handler, rows)                                           \
  gboolean handler(GDBusConnection *connection, const gchar *, const gchar *object_path,     \
                   const gchar *interface_name, const gchar *property_name, GVariant *value, \
                   GError **error, gpointer) {                                               \
    return igd1::row_set_property((rows), connection, object_path, interface_name,           \
                                  property_name, value, error);                              \
  }
#define IGD1_DEFINE_ROW_SET_MULTI_HANDLER(handler, rows)                                     \
  gboolean handler(GDBusConnection *connection, const gchar *, const gchar *object_path,     \
                   const gchar *interface_name, GVariant *properties, GError **error,        \
                   gpointer) {                                                               \
    return igd1::row_set_multi((rows), connection, object_path, interface_name, properties,  \
                               error);                                                       \
  }
#define IGD1_DEFINE_ROW_MANAGER_HANDLER(handler, rows)                                       \
  void handler(GDBusConnection *, const gchar *, const gchar *, const gchar *,               \
               const gchar *method_name, GVariant *parameters,                               \
               GDBusMethodInvocation *invocation, gpointer) {                                \
    igd1::row_manager_call((rows), method_name, parameters, invocation);                     \
  }
