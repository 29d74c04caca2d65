// The threads that serve the host's notification socket, the heartbeat to the
// host daemon, and the debug level that steers logging.
#pragma once

#include <semaphore.h>
#include <stdint.h>

#include "dbus_proxy_list.h"
#include "igd1_export.h"

// One accepted connection waiting for the handler thread: a zero-filled
// record of 144 bytes that owns `fd` while it is queued.  The connection's
// receive time-out counts from `accepted_us` (monotonic clock), so time spent
// in the queue behind other connections is part of it.
typedef struct dbus_proxy_uds_entry {
  dbus_list link;
  int32_t fd;
  int64_t accepted_us;
  uint8_t reserved[144 - sizeof(dbus_list) - 2 * sizeof(int64_t)];
} dbus_proxy_uds_entry;

// Connections accepted and not yet handled, oldest first.
IGD1_API dbus_list dbus_notify_list;
// Posted once for every queued connection.
IGD1_API sem_t dbus_proxy_uds_handle_sem;

// Heartbeat message: "w" and three zero bytes, every 5 seconds.
#define DBUS_PROXY_HEARTBEAT_BYTE 0x77
#define DBUS_PROXY_HEARTBEAT_SIZE 4
#define DBUS_PROXY_HEARTBEAT_PERIOD_S 5
// The handler reads one message of at most this many bytes per connection,
// waiting for it until DBUS_PROXY_UDS_RECV_TIMEOUT_S after the connection was
// accepted.
#define DBUS_PROXY_UDS_MSG_MAX 2047
#define DBUS_PROXY_UDS_RECV_TIMEOUT_S 6
// Configuration entry (mib_get) of the debug level.
#define DBUS_PROXY_DEBUG_LEVEL_ENTRY 9001

// Starts the accepting thread "Notify_process": it asks the host for the
// listening socket, then queues every connection for the handler thread
// "Notify_handle", which reads one message from each and hands it to the
// host.  Returns 0 once the thread runs, an error number otherwise.
IGD1_API int dbus_proxy_uds_thread_create_func(void);

// Starts the heartbeat thread.  Returns 0 once it runs, an error number
// otherwise.
IGD1_API int dbus_proxy_heartbeat_thread_create_func(void);

// Reads the debug level (configuration entry 9001) and sets gui_dbusProxyDbg
// from it.  The arguments are not used.  Returns 0.
IGD1_API int dbus_proxy_debug_set_signal(int unused1, int unused2);

// Releases a queue entry: closes its descriptor when non-zero, frees it.
IGD1_API void dbus_proxy_uds_list_free(dbus_proxy_uds_entry *entry);
