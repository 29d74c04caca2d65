// What the module library calls in the host daemon.  The host resolves these
// names in its own process before it loads the library.
#pragma once

#include <gio/gio.h>
#include <stdint.h>

#include "igd1_export.h"

// The host's bus connection, set before the first module entry runs; used
// for signals raised outside a bus call.
IGD1_API GDBusConnection *g_pIdg1_connection;

// Tells the host about one parsed introspection document, before its objects
// are registered.  The result carries no meaning for the library.
IGD1_API int dbus_proxy_node_info_reg(GDBusNodeInfo *node_info);

// The service type (0 or 1) that selects module variants.
IGD1_API int dbus_proxy_get_service_type(void);

// The province code of the gateway's operator region.
IGD1_API int dbus_proxy_get_province(void);

// Non-zero when every change signal is to go out a second time as the
// standard org.freedesktop.DBus.Properties.PropertiesChanged (for generic
// clients that cache properties from it); 0, the default, sends only the
// API's own com.wqx.igd1.Properties.PropertiesChanged.
IGD1_API int dbus_proxy_get_standard_signals(void);

// Formats a storage device in the background: `argv` (null-terminated, the
// program first) runs without a shell once the formats queued before it have
// ended, and the call returns at once.  Returns 1 when queued, 0 for an empty
// vector or a program outside the usbformat tool.
IGD1_API int dbus_proxy_usbformat_thread_create_func(const char *const *argv);

// Flushes the hardware-accelerated flow table of the packet engine; mode 2
// flushes every flow.  Returns 0 on success, non-zero on failure.
IGD1_API int ykr_fc_flow_flush2(int mode);

// 12 hexadecimal digits (any case) of `text` into `bytes` (length / 2 of
// them); `length` must be 12.  Non-zero on success.
IGD1_API int dbusproxy_string_to_hex(const char *text, unsigned char *bytes, int length);

// Marks the traffic of the LAN device with `mac` (whose table row is `row`)
// for speed-up (flag 1) or not (0).  Returns 0 on success.
IGD1_API int SetDevSpeedUp(const unsigned char *mac, const void *row, unsigned char flag);

// A method handler that answers after it returns (when a command ends, a
// timer fires or a worker is done) calls this before it returns.  The host
// then leaves the call to the handler: it neither answers it nor touches the
// invocation again.  The handler owns the invocation's reference from then on
// and answers exactly once with g_dbus_method_invocation_return_* (on any
// thread).  A handler that returns without answering and without this call
// gets its call answered by the host with org.freedesktop.DBus.Error.UnknownMethod.
IGD1_API void dbus_proxy_invocation_keep(GDBusMethodInvocation *invocation);

// ---- what the library publishes ----------------------------------------------------
//
// The library publishes every object, subtree and object manager through
// the host, which registers them on its connection and keeps them: after a
// lost connection the host publishes them again on the next one, with the
// same user data.  `connection` is the one the module was started with.
// The ids are the host's and stay valid across connections.

// Registers `interface_info` at `object_path` like
// g_dbus_connection_register_object; every path with an interface that has
// handlers also answers com.wqx.igd1.Properties.SetMulti (see dbus_vtable.h).
// `user_data_free` runs once the registration is withdrawn or the host
// stops.  Returns the registration id, or 0 with `error` set.
IGD1_API guint dbus_proxy_object_reg(GDBusConnection *connection, const gchar *object_path,
                                     GDBusInterfaceInfo *interface_info,
                                     const GDBusInterfaceVTable *vtable, gpointer user_data,
                                     GDestroyNotify user_data_free, GError **error);
IGD1_API gboolean dbus_proxy_object_unreg(GDBusConnection *connection, guint registration_id);

// Registers a subtree like g_dbus_connection_register_subtree.
IGD1_API guint dbus_proxy_subtree_reg(GDBusConnection *connection, const gchar *object_path,
                                      const GDBusSubtreeVTable *vtable, GDBusSubtreeFlags flags,
                                      gpointer user_data, GDestroyNotify user_data_free,
                                      GError **error);
IGD1_API gboolean dbus_proxy_subtree_unreg(GDBusConnection *connection, guint registration_id);

// Exports or unexports a child of an object manager like
// g_dbus_object_manager_server_export / _unexport; the children of a
// manager attached with a vtable also answer SetMulti.
IGD1_API void dbus_proxy_object_export(GDBusObjectManagerServer *manager,
                                       GDBusObjectSkeleton *object);
IGD1_API gboolean dbus_proxy_object_unexport(GDBusObjectManagerServer *manager,
                                             const gchar *object_path);

// Attaches an object manager to the connection like
// g_dbus_object_manager_server_set_connection, and also serves
// com.wqx.igd1.ObjectManager on the manager's path: AddObject() -> (o) and
// DeleteObject(o) reach vtable->method_call with `user_data`;
// RemoveAllObjects() is declared and served only with a handler in the
// vtable's third spare slot (see dbus_vtable.h), which it reaches.  A handler answers before it returns or keeps the call with
// dbus_proxy_invocation_keep; a call it leaves unanswered otherwise is
// answered by the host with org.freedesktop.DBus.Error.UnknownMethod.
// With a handler in the vtable's second spare slot (see dbus_vtable.h),
// GetManagedObjects on the manager path is answered by that handler.
// A null `connection` detaches the manager again (for managers that live and
// die with a row): its children and its interfaces leave the bus.  A null
// `vtable` attaches the manager as GDBus alone would: no methods of its own
// and no SetMulti on its children.
IGD1_API void g_dbus_object_manager_server_set_connection_expand(GDBusObjectManagerServer *manager,
                                                                 GDBusConnection *connection,
                                                                 const GDBusInterfaceVTable *vtable,
                                                                 gpointer user_data);

// ---- row callbacks ---------------------------------------------------------------

// How a module hears of rows inserted into or removed from its table (the
// store names the module of each table), and of devices that arrive or
// leave: the module declares the shape of its callbacks and the host calls
// them through that shape only.  Whatever thread changed the table, the
// callback runs on the main loop with copies of the values.  A module that
// declares nothing is not called; the host logs that once per module.
typedef enum {
  DBUS_PROXY_ROW_INSTANCE = 0,    // add_instance / del_instance (instance)
  DBUS_PROXY_ROW_PAIR = 1,        // add_pair / del_pair (parent instance, instance): nested tables
  DBUS_PROXY_ROW_ACTION = 2,      // row_action (instance, DBUS_PROXY_ROW_ADDED or _REMOVED)
  DBUS_PROXY_ROW_RECORD = 3,      // add_record / del_record (copy of the row, its size)
  DBUS_PROXY_ROW_INDEX_FLAG = 4,  // add_flagged (index, flag) / del_index (index)
} dbus_proxy_row_shape;

enum { DBUS_PROXY_ROW_REMOVED = 0, DBUS_PROXY_ROW_ADDED = 1 };

typedef struct dbus_proxy_row_callbacks {
  dbus_proxy_row_shape shape;
  int (*add_instance)(unsigned int instance);
  int (*del_instance)(unsigned int instance);
  int (*add_pair)(unsigned int parent, unsigned int instance);
  int (*del_pair)(unsigned int parent, unsigned int instance);
  int (*row_action)(unsigned int instance, int action);
  // The record is valid during the call only.
  int (*add_record)(const void *record, size_t size);
  int (*del_record)(const void *record, size_t size);
  // DBUS_PROXY_ROW_INDEX_FLAG: signed index and a flag of 0 or 1.  For a
  // store table the flag is 1 when the row's byte at flag_offset equals
  // flag_value; an emulated USB device gives 1 for a storage device.
  int (*add_flagged)(int index, int flag);
  int (*del_index)(int index);
  // DBUS_PROXY_ROW_PAIR: byte offset in the row of the parent's instance
  // number, a 32-bit unsigned in host byte order.
  size_t parent_offset;
  size_t flag_offset;
  unsigned char flag_value;
} dbus_proxy_row_callbacks;

// Registers (or, with NULL callbacks, withdraws) the row callbacks of
// `module`.  Returns 1, or 0 when the callbacks do not fit their shape: an
// unknown shape, or none of the shape's functions given.
IGD1_API int dbus_proxy_row_callbacks_reg(const char *module,
                                          const dbus_proxy_row_callbacks *callbacks);

// ---- events from other processes ------------------------------------------------------

// A module declares the events other processes may send it through the
// notification socket ("event MODULE NAME ARG..."), each with the kinds of
// its arguments.  The host parses every argument strictly before it calls
// the handler, on the bus main loop; nothing else of the library can be
// reached that way.
typedef enum dbus_proxy_arg_kind {
  DBUS_PROXY_ARG_INT32 = 1,  // decimal with an optional '-'
  DBUS_PROXY_ARG_UINT32,     // decimal digits
  DBUS_PROXY_ARG_BOOL,       // 0, 1, true or false
  DBUS_PROXY_ARG_MAC,        // aa:bb:cc:dd:ee:ff (':' or '-', any case) or 12 hex digits
  DBUS_PROXY_ARG_TEXT,       // one word of UTF-8, at most max_length bytes
} dbus_proxy_arg_kind;

typedef struct dbus_proxy_event_arg {
  const char *name;  // shown in the usage a refusal gives
  dbus_proxy_arg_kind kind;
  unsigned int max_length;  // texts only: bytes at most, 1 or more
} dbus_proxy_event_arg;

typedef struct dbus_proxy_event_value {
  int64_t number;          // INT32, UINT32 and BOOL (0 or 1)
  unsigned char mac[6];    // MAC
  const char *text;        // TEXT, valid during the call
} dbus_proxy_event_value;

// Runs an event with its parsed arguments (one value per declared argument).
// Returns 1 when done, or 0 with a reason written into `reason`.
typedef int (*dbus_proxy_event_func)(const dbus_proxy_event_value *values, char *reason,
                                     size_t reason_size);

typedef struct dbus_proxy_event {
  const char *name;
  dbus_proxy_event_func run;
  const dbus_proxy_event_arg *args;
  unsigned int arg_count;
} dbus_proxy_event;

// Registers the events of `module` (the table must live as long as the
// library), or withdraws them with a count of 0.  Returns 1, or 0 for a
// malformed table: an event without a name or handler, two of one name, an
// unknown kind, a text without a length.
IGD1_API int dbus_proxy_events_reg(const char *module, const dbus_proxy_event *events,
                                   unsigned int count);

// ---- the order of the module start-ups ----------------------------------------------

// Declares that the start-up entry of `module` (the name before
// "_on_bus_acquired") runs after that of `after` whenever both start: a
// module that publishes beside another's objects finds them published.
// Declared by the root entry, before any module starts; the host keeps the
// given order otherwise.  Returns 1, or 0 for a missing or equal name.
IGD1_API int dbus_proxy_start_order_reg(const char *module, const char *after);

// ---- notification socket and heartbeat --------------------------------------------

// Creates the host's listening notification socket and stores it in *fd
// (preset to -1).  A negative result means failure.
IGD1_API int init_dbus_proxy_uds_socket(int *fd);

// Interprets one message received on a notification connection (`length`
// bytes, 1 to 2047, NUL-terminated behind them) and answers on `fd`.  Never
// closes `fd`.  The result carries no meaning for the library.
IGD1_API int dbus_proxy_uds_msg_handle_func(int fd, char *data, int length);

// Connects to the local socket at the fixed path `path` (under the root
// folder).  Returns the connected descriptor, or a negative value.
IGD1_API int dbus_proxy_uds_client_conn(const char *path);

// Sends `length` bytes on `fd`.  Returns the count sent, or -1.
IGD1_API int dbus_proxy_uds_send_client_msg(int fd, const void *data, int length);

// Called with the new logging mask whenever the debug level turns logging on.
IGD1_API void dbus_proxy_networkinfo_test_signal(guint32 mask);
