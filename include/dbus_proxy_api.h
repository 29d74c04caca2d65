// Framework services shared by the object modules.
#pragma once

#include <gio/gio.h>

#include "igd1_export.h"

// Parses "/etc/dbusxml/<file_name>" (under the root folder).  Returns a new
// node description, or NULL when the file is missing, unreadable or not
// valid introspection data.
IGD1_API GDBusNodeInfo *dbus_proxy_readxml(const char *file_name);

// ---- property-change signals ----------------------------------------------------
//
// Every change the API reports goes out as PropertiesChanged of the interface
// below, and the same as the standard one, on the object whose properties
// changed.  Its body is
// (interface name, dictionary of property name to new value, empty list of
// invalidated names), signature "(sa{sv}as)".

#define DBUSPROXY_PROPERTIES_INTERFACE "com.wqx.igd1.Properties"
#define DBUSPROXY_PROPERTIES_CHANGED "PropertiesChanged"

#ifdef __cplusplus
// Emits PropertiesChanged of `interface` with `body` (and, when the host asks
// for standard signals, the same body as
// org.freedesktop.DBus.Properties.PropertiesChanged).  Every change signal of
// the library goes through here.  The API's own signal leaves at once, before
// the call's reply; on the main loop the standard copy follows the reply,
// before the next call is handled.
IGD1_EXPORT void emit_change_signal(GDBusConnection *connection, const char *path,
                                    const char *interface, GVariant *body);
#endif

#ifdef __cplusplus
#include <string>
#include <utility>
#include <vector>

namespace igd1 {

// The changed properties of one call, by name, gathered while the call
// writes them and sent as one signal.
class ChangeList {
 public:
  ChangeList() = default;
  ChangeList(ChangeList &&other) noexcept : entries_(std::move(other.entries_)) {}
  ChangeList(const ChangeList &) = delete;
  ChangeList &operator=(const ChangeList &) = delete;
  IGD1_EXPORT ~ChangeList();
  IGD1_EXPORT void add(const char *name, GVariant *value);
  // A {sv} entry as it stands, such as one of a write request's entries:
  // nothing is built anew.
  IGD1_EXPORT void add_entry(GVariant *entry);
  bool empty() const { return entries_.empty(); }
  // The a{sv} of every entry added (floating).
  IGD1_EXPORT GVariant *end() const;

 private:
  std::vector<GVariant *> entries_;  // {sv}, each held
};

// PropertiesChanged of "com.wqx.igd1.Properties" on `path` with
// (interface_name, changes, []), and its standard copy, as emit_change_signal.
IGD1_EXPORT void emit_changes(GDBusConnection *connection, const char *path,
                              const char *interface_name, ChangeList &&changes);

}  // namespace igd1
#endif

// Type codes of a raw value handed to the builders, and what the value
// pointer designates.  Any other code (7 included) is refused.
typedef enum {
  DBUSPROXY_TYPE_BOOLEAN = 1,  // "b" from a 32-bit integer; non-zero is true
  DBUSPROXY_TYPE_BYTE = 2,     // "y" from an 8-bit unsigned integer
  DBUSPROXY_TYPE_INT16 = 3,    // "n" from a 16-bit signed integer
  DBUSPROXY_TYPE_UINT16 = 4,   // "q" from a 16-bit unsigned integer
  DBUSPROXY_TYPE_INT32 = 5,    // "i" from a 32-bit signed integer
  DBUSPROXY_TYPE_UINT32 = 6,   // "u" from a 32-bit unsigned integer
  DBUSPROXY_TYPE_STRING = 8,   // "s" from a NUL-terminated text
  DBUSPROXY_TYPE_VARIANT = 9,  // the pointer is a GVariant *, added as it is
} dbusproxy_property_type;

// Adds (property_name, value) to the change dictionary behind `builder`,
// creating the builder when *builder is NULL.  `reserved` is not used.  For
// DBUSPROXY_TYPE_VARIANT the builder takes the value's floating reference (or
// a new reference when it is not floating).  Texts that are not valid UTF-8
// are sent with replacement characters.  Returns 1, or 0 for a refused type
// code (nothing added).
IGD1_API int dbusproxy_build_properties_changed_signal(GVariantBuilder **builder, void *reserved,
                                                       const char *property_name, int type,
                                                       const void *value);

// Emits the signal for the dictionary behind `builder` on the host's
// connection, then releases the builder.  Does nothing when *builder is NULL.
// Without a connection the change is dropped (and logged).  *builder is left
// as it was: set it to NULL before building the next signal.
IGD1_API void dbusproxy_emit_properties_changed_signal_only(GVariantBuilder **builder,
                                                             const char *object_path,
                                                             const char *interface_name);

// Emits the signal for one property.  Type codes 1 to 6 and 8 only.  Returns
// 1 once the emission was attempted (also when there is no connection), 0 for
// a refused type code (nothing emitted).
IGD1_API int dbusproxy_emit_properties_changed_signal(const char *object_path,
                                                      const char *interface_name,
                                                      const char *property_name, int type,
                                                      const void *value);

// Collects texts into a string list ("as").  With `finish` zero, appends the
// text `value` (type code 8 only; the builder is created when *builder is
// NULL) and returns 1, or 0 for another type code.  With `finish` non-zero,
// stores the finished list through `result` (a full reference owned by the
// caller), releases the builder, sets *builder to NULL and returns 1; returns
// 0 when there is no builder.
IGD1_API int dbusproxy_build_array_variant(GVariantBuilder **builder, int type, const void *value,
                                           int finish, GVariant **result);

// ---- shared tools ---------------------------------------------------------------

// 1 while a bus conformance test runs (its marker file exists), otherwise 0.
IGD1_API int check_dbus_cts_running(void);

// Appends to the NULL-terminated vector *list (which may be NULL) each string
// of `additions` that it does not hold yet, in order, as copies.  When
// `added` is given it receives a new vector of the strings actually added
// (empty when none was).  A NULL or empty `additions` changes nothing, `added`
// included.  Returns the new length of *list.  Free with g_strfreev.
IGD1_API int dbus_proxy_strvmerge(gchar ***list, gchar **additions, gchar ***added);

// Removes from the NULL-terminated vector *list every entry equal to a string
// of `removals`, keeping the others in order.  When `removed` is given it
// receives a new vector of the removals that were found, each once, in the
// order of `removals`, or NULL when none was found.  Returns the number of
// entries kept (0 when `list` or `removals` is NULL; the length unchanged,
// and `removed` untouched, when either vector is empty).
IGD1_API int dbus_proxy_strvslice(gchar ***list, gchar **removals, gchar ***removed);

// Schedules the save of the extra configuration values 10 seconds from now on
// the default main context, replacing a save still pending: a burst of calls
// leads to one save, 10 seconds after the last.  Each save is logged, counted
// and recorded (time and count) in "/tmp/run_save_extra_mib".
IGD1_API void dbus_proxy_save_extra_mib(void);

// Flushes the hardware-accelerated flow table; returns the platform's result
// (0 on success).
IGD1_API int dbus_proxy_flush_hwnat(void);

#ifdef __cplusplus
namespace igd1 {
// Delay of dbus_proxy_save_extra_mib, 10,000 ms.  Only the tests change it,
// so that coalescing can be checked without waiting ten seconds; it applies
// to saves scheduled afterwards.  Returns the previous delay.
IGD1_EXPORT unsigned set_extra_mib_save_delay(unsigned milliseconds);
}  // namespace igd1
#endif

#include "dbus_proxy_list.h"
