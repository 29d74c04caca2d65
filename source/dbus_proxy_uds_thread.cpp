// The notification socket threads, the heartbeat and the debug level.
//
// The host owns the listening socket and the meaning of the messages; this
// unit only transports them: "Notify_process" accepts connections and queues
// them, "Notify_handle" reads one message from each queued connection, hands
// it to the host's handler and closes the connection.  A third thread tells
// the host daemon every 5 seconds that the library is alive.  The threads are
// detached and live until the process ends.
#include "dbus_proxy_uds_thread.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "host_api.h"
#include "mib_api.h"
#include "sys_files.h"
#include "sys_paths.h"
#include "sys_run.h"
#include "tool.h"

static_assert(sizeof(dbus_proxy_uds_entry) == 144, "a queue entry is 144 bytes");

dbus_list dbus_notify_list;
sem_t dbus_proxy_uds_handle_sem;

namespace {

constexpr int kSocketAttempts = 3;
// After a failed accept the loop pauses briefly, so that a lasting failure
// (no descriptors left) cannot spin the thread.
constexpr useconds_t kAcceptRetryPauseUs = 100 * 1000;

// Set once a listening socket exists; nothing clears it.
std::atomic<int> g_running{0};
// Guards every insertion and removal on dbus_notify_list.
std::mutex g_queue_mutex;

// ---- thread creation ----------------------------------------------------------------

struct ThreadTexts {
  const char *attr_failed;
  const char *detach_failed;
  const char *creating;
};

// Starts `body` as a detached thread.  The attribute detaches it at creation,
// so it is not detached again afterwards: once a detached thread has ended
// its handle is no longer valid.  Returns 0, or the error number.
int start_detached(void *(*body)(void *), const ThreadTexts &texts) {
  pthread_attr_t attr;
  int result = pthread_attr_init(&attr);
  if (result != 0) {
    DBUS_LOG(LOG_LEVEL_ERROR, "%s", texts.attr_failed);
    return result;
  }
  result = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (result != 0) {
    DBUS_LOG(LOG_LEVEL_ERROR, "%s", texts.detach_failed);
    pthread_attr_destroy(&attr);
    return result;
  }
  DBUS_LOG(LOG_LEVEL_DEBUG, "%s", texts.creating);
  pthread_t thread;
  result = pthread_create(&thread, &attr, body, nullptr);
  pthread_attr_destroy(&attr);
  if (result != 0) DBUS_LOG(LOG_LEVEL_ERROR, "%s: pthread_create fail: %s", texts.creating, strerror(result));
  return result;
}

constexpr ThreadTexts kAcceptTexts = {"dbus_proxy_uds_thread_create_func fail",
                                      "pthread_attr_setdetachstate fail",
                                      "create dbus proxy uds thread "};
constexpr ThreadTexts kHandlerTexts = {"dbus_proxy_uds_handle_thread_create fail",
                                       "pthread_attr_setdetachstate fail",
                                       "create dbus proxy uds handle thread "};
constexpr ThreadTexts kHeartbeatTexts = {"dbus_proxy_heartbeat_thread_create_func fail",
                                         "heartbeat pthread_attr_setdetachstate fail",
                                         "create dbus proxy heartbeat thread "};

// ---- the queue ----------------------------------------------------------------------

int64_t now_us() { return g_get_monotonic_time(); }

int dbus_proxy_uds_list_push(int fd) {
  auto *entry = static_cast<dbus_proxy_uds_entry *>(calloc(1, sizeof(dbus_proxy_uds_entry)));
  if (entry == nullptr) {
    DBUS_LOG(LOG_LEVEL_ERROR, "Alloc memory (%u bytes) fail.\n", unsigned(sizeof(dbus_proxy_uds_entry)));
    return 0;
  }
  dbus_list_node_init(&entry->link);
  entry->fd = fd;
  entry->accepted_us = now_us();
  {
    std::lock_guard lock(g_queue_mutex);
    dbus_list_add(&dbus_notify_list, &entry->link);
  }
  sem_post(&dbus_proxy_uds_handle_sem);
  return 1;
}

// Takes the oldest connection off the queue.  Returns 1 with its descriptor
// in *fd (and when it was accepted in *accepted_us), 0 when the queue is
// empty, -1 for a NULL address.
int dbus_proxy_uds_list_pop(int *fd, int64_t *accepted_us) {
  if (fd == nullptr) return -1;
  dbus_list *first = nullptr;
  {
    std::lock_guard lock(g_queue_mutex);
    first = dbus_list_next(&dbus_notify_list);
    if (first != nullptr) dbus_list_remove(first);
  }
  if (first == nullptr) return 0;
  auto *entry = reinterpret_cast<dbus_proxy_uds_entry *>(first);
  *fd = entry->fd;
  *accepted_us = entry->accepted_us;
  free(entry);
  return 1;
}

// ---- the handler thread -------------------------------------------------------------

void *dbus_proxy_uds_handle_func(void *) {
  pthread_setname_np(pthread_self(), "Notify_handle");
  int recv_fail = 0;
  // One byte more than a message may have, for the terminator written behind
  // it; the count stays authoritative.
  char buffer[DBUS_PROXY_UDS_MSG_MAX + 1];
  while (g_running.load() != 0) {
    int fd = -1;
    int64_t accepted_us = 0;
    if (dbus_proxy_uds_list_pop(&fd, &accepted_us) != 1) {
      while (sem_wait(&dbus_proxy_uds_handle_sem) != 0 && errno == EINTR) {
      }
      continue;
    }
    if (fd == 0) continue;

    // A connection that waited in the queue has only the rest of its time
    // left; once that is gone, only what it already sent is read, so that a
    // burst of silent clients costs one time-out in all, not one each.
    const int64_t left_us = accepted_us + int64_t(DBUS_PROXY_UDS_RECV_TIMEOUT_S) * G_USEC_PER_SEC - now_us();
    int flags = 0;
    if (left_us > 0) {
      struct timeval timeout = {time_t(left_us / G_USEC_PER_SEC), suseconds_t(left_us % G_USEC_PER_SEC)};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    } else {
      flags = MSG_DONTWAIT;
    }
    ssize_t count = recv(fd, buffer, DBUS_PROXY_UDS_MSG_MAX, flags);
    if (count > 0) {
      buffer[count] = '\0';
      DBUS_LOG(LOG_LEVEL_DEBUG, "%s:%d: dbus proxy uds thread recv data lenght %d form socket (%d)",
               __func__, __LINE__, int(count), fd);
      dbus_proxy_uds_msg_handle_func(fd, buffer, int(count));
    } else {
      int error = errno;
      ++recv_fail;
      DBUS_LOG(LOG_LEVEL_DEBUG, "%s:%d: dbus proxy recv error(%d), errno:%s, socket(%d)!, recv_fail:%d",
               __func__, __LINE__, int(count), count == 0 ? "EOF" : strerror(error), fd, recv_fail);
    }
    close(fd);
  }
  return nullptr;
}

// ---- the accepting thread -----------------------------------------------------------

// The lock, the semaphore, the queue and the handler thread are set up once
// per process; a host that restarts its service gets another accepting
// thread feeding the same queue.
std::once_flag g_queue_once;
bool g_queue_ready = false;

void set_up_queue() {
  if (sem_init(&dbus_proxy_uds_handle_sem, 0, 0) != 0) {
    DBUS_LOG(LOG_LEVEL_ERROR, "IN %s(%d) init dbus dbus_proxy_uds_handle_sem error ", __func__, __LINE__);
    return;
  }
  dbus_list_header_init(&dbus_notify_list);
  g_queue_ready = start_detached(dbus_proxy_uds_handle_func, kHandlerTexts) == 0;
}

void *dbus_proxy_uds_process_func(void *) {
  DBUS_LOG(LOG_LEVEL_DEBUG, "dbus_proxy_uds_process_func");
  pthread_setname_np(pthread_self(), "Notify_process");

  int listen_fd = -1;
  for (int attempt = 0; attempt < kSocketAttempts; ++attempt) {
    if (init_dbus_proxy_uds_socket(&listen_fd) >= 0 && listen_fd >= 0) {
      DBUS_LOG(LOG_LEVEL_DEBUG, "%s(%d) dbus proxy uds socket fd = %d ", __func__, __LINE__, listen_fd);
      break;
    }
    listen_fd = -1;
    fprintf(stderr, "IN %s(%d) SERVER:: init_server_socket fail\n", __func__, __LINE__);
    sleep(1);
  }
  if (listen_fd < 0) {
    DBUS_LOG(LOG_LEVEL_ERROR, "IN %s(%d) init dbus proxy uds sockfd error ", __func__, __LINE__);
    return nullptr;
  }

  g_running.store(1);
  std::call_once(g_queue_once, set_up_queue);
  if (!g_queue_ready) return nullptr;

  // The poller runs in the background; the main loop reaps it and logs a
  // poller that could not start or failed.
  igd1::run_async({igd1::program::kPollLanNetInfo, "1", "2"}, {}, [](const igd1::RunResult &result) {
    if (!igd1::run_succeeded(result))
      DBUS_LOG(LOG_LEVEL_WARN, "%s", igd1::run_failure(igd1::program::kPollLanNetInfo, result, {}).c_str());
  });
  DBUS_LOG(LOG_LEVEL_DEBUG, "create lanhost info process");

  // The thread sleeps until a client connects: nothing ends it but the
  // process, so a time limit would only wake an idle daemon for nothing.
  while (g_running.load() != 0) {
    struct pollfd watch = {listen_fd, POLLIN | POLLPRI, 0};
    if (poll(&watch, 1, -1) <= 0) continue;
    if ((watch.revents & POLLNVAL) != 0) {
      DBUS_LOG(LOG_LEVEL_ERROR, "%s:%d: listening socket(%d) is closed", __func__, __LINE__, listen_fd);
      return nullptr;
    }
    if ((watch.revents & (POLLIN | POLLPRI | POLLERR | POLLHUP)) == 0) continue;

    struct sockaddr_un address;
    socklen_t length = sizeof address;
    int client = accept4(listen_fd, reinterpret_cast<sockaddr *>(&address), &length, SOCK_CLOEXEC);
    if (client < 0) {
      DBUS_LOG(LOG_LEVEL_DEBUG, "%s:%d: failed to accept socket(%d)", __func__, __LINE__, errno);
      usleep(kAcceptRetryPauseUs);
      continue;
    }
    // Notices change what the bus shows: only root and the daemon's own
    // user may send them (the socket's mode keeps others out as well).
    if (!igd1::peer_may_send(client)) {
      DBUS_LOG(LOG_LEVEL_WARN, "%s:%d: notice from an untrusted user refused", __func__, __LINE__);
      close(client);
      continue;
    }
    DBUS_LOG(LOG_LEVEL_DEBUG, "%s:%d: Accept successfully ,client_fd = %d", __func__, __LINE__, client);
    if (dbus_proxy_uds_list_push(client) == 0) {
      DBUS_LOG(LOG_LEVEL_DEBUG, "%s:%d: cannot push socket to list", __func__, __LINE__);
      close(client);
    }
  }
  return nullptr;
}

// ---- the heartbeat ------------------------------------------------------------------

void *dbus_proxy_heartbeat_func(void *) {
  const char message[DBUS_PROXY_HEARTBEAT_SIZE] = {DBUS_PROXY_HEARTBEAT_BYTE, 0, 0, 0};
  for (;;) {
    int fd = dbus_proxy_uds_client_conn(igd1::path::kDaemonSocket);
    if (fd >= 0) {
      dbus_proxy_uds_send_client_msg(fd, message, sizeof message);
      close(fd);
    }
    sleep(DBUS_PROXY_HEARTBEAT_PERIOD_S);
  }
  return nullptr;
}

// ---- debug level --------------------------------------------------------------------

constexpr uint32_t kMaskOfLevel[] = {
    0x00000000u, 0x0000FF00u, 0x0000FFF0u, 0x0000FFFFu, 0xFF00FFFFu, 0xFFF0FFFFu, 0xFFFFFFFFu,
};

uint32_t mask_for_level(uint32_t level) {
  return level < std::size(kMaskOfLevel) ? kMaskOfLevel[level] : DBUS_PROXY_DBG_DEFAULT;
}

}  // namespace

int dbus_proxy_uds_thread_create_func(void) {
  return start_detached(dbus_proxy_uds_process_func, kAcceptTexts);
}

int dbus_proxy_heartbeat_thread_create_func(void) {
  return start_detached(dbus_proxy_heartbeat_func, kHeartbeatTexts);
}

void dbus_proxy_uds_list_free(dbus_proxy_uds_entry *entry) {
  if (entry == nullptr) return;
  if (entry->fd != 0) close(entry->fd);
  free(entry);
}

int dbus_proxy_debug_set_signal(int /*unused1*/, int /*unused2*/) {
  // An unreadable level counts as an unknown one.
  uint32_t level = UINT32_MAX;
  if (mib_get(DBUS_PROXY_DEBUG_LEVEL_ENTRY, &level) == 0) level = UINT32_MAX;
  uint32_t mask = mask_for_level(level);
  // sys_log reads the mask on other threads as one word.
  std::atomic_ref<uint32_t>(gui_dbusProxyDbg).store(mask, std::memory_order_relaxed);
  printf("dbus_proxy_debug_set_signal:gui_dbusProxyDbg:%#x\n", mask);
  fflush(stdout);
  if (mask != 0) dbus_proxy_networkinfo_test_signal(mask);
  return 0;
}
