// What the module library calls in the host daemon.  The host resolves these
// names in its own process before it loads the library.
#pragma once

#include <gio/gio.h>

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

// Flushes the hardware-accelerated flow table of the packet engine; mode 2
// flushes every flow.  Returns 0 on success, non-zero on failure.
IGD1_API int ykr_fc_flow_flush2(int mode);

// Attaches an object manager to the connection like
// g_dbus_object_manager_server_set_connection, and also serves
// com.wqx.igd1.ObjectManager on the manager's path: AddObject() -> (o),
// DeleteObject(o) and RemoveAllObjects() reach vtable->method_call with
// `user_data`.  A handler must answer before it returns; a call it leaves
// unanswered is answered by the host with org.freedesktop.DBus.Error.UnknownMethod.
// With a handler in the vtable's second spare slot (see dbus_vtable.h),
// GetManagedObjects on the manager path is answered by that handler.
IGD1_API void g_dbus_object_manager_server_set_connection_expand(GDBusObjectManagerServer *manager,
                                                                 GDBusConnection *connection,
                                                                 const GDBusInterfaceVTable *vtable,
                                                                 gpointer user_data);

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
