// Every signal of the daemon leaves from one thread of its own.
//
// GDBus puts a message into wire form on the thread that sends it, and a
// change signal costs about as much to put together as the whole call it
// follows; a Set announces its change twice (the API's own signal and the
// standard one).  Sent from the main loop, that work delays the next call by
// as much again.  The main loop only queues the signal here; this thread
// does the sending, in the order the signals were queued, whoever queued
// them (the change signals, the object managers' InterfacesAdded and
// InterfacesRemoved, the modules' own signals), so that a client never sees
// a row's change after its removal.
#include "host.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace igd1::host {
namespace {

struct QueuedSignal {
  GDBusConnection *connection;  // a reference of the queue's own
  std::string path;
  std::string interface;
  std::string member;
  GVariant *body;  // a reference of the queue's own, or null
};

class SignalSender {
 public:
  void push(QueuedSignal signal) {
    std::unique_lock lock(mutex_);
    if (!started_) {
      std::thread([this] { run(); }).detach();
      started_ = true;
    }
    queue_.push_back(std::move(signal));
    pushed_.fetch_add(1, std::memory_order_relaxed);
    // A sender that is still busy finds the signal when it looks again: no
    // wake-up call for it.
    const bool wake = waiting_;
    lock.unlock();
    if (wake) work_.notify_one();
  }

  // Cheap when nothing waits: two loads, no lock.
  void flush() {
    const uint64_t target = pushed_.load(std::memory_order_acquire);
    if (handed_.load(std::memory_order_acquire) >= target) return;
    std::unique_lock lock(mutex_);
    sent_.wait(lock, [&] { return handed_.load(std::memory_order_relaxed) >= target; });
  }

 private:
  void run() {
    pthread_setname_np(pthread_self(), "signal_sender");
    std::deque<QueuedSignal> batch;
    std::unique_lock lock(mutex_);
    for (;;) {
      waiting_ = true;
      work_.wait(lock, [this] { return !queue_.empty(); });
      waiting_ = false;
      batch.swap(queue_);
      lock.unlock();
      for (QueuedSignal &signal : batch) send(signal);
      const size_t sent = batch.size();
      batch.clear();
      lock.lock();
      handed_.fetch_add(sent, std::memory_order_release);
      sent_.notify_all();
    }
  }

  static void send(QueuedSignal &signal) {
    g_autoptr(GError) error = nullptr;
    if (!g_dbus_connection_emit_signal(signal.connection, nullptr, signal.path.c_str(),
                                       signal.interface.c_str(), signal.member.c_str(), signal.body,
                                       &error) &&
        !g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CLOSED))
      // A closed connection has nobody to tell: the host replaces it, and
      // clients read the values again from the new one.
      host_log(LOG_LEVEL_WARN, "signal %s.%s at %s not sent: %s", signal.interface.c_str(),
               signal.member.c_str(), signal.path.c_str(), error->message);
    if (signal.body != nullptr) g_variant_unref(signal.body);
    g_object_unref(signal.connection);
  }

  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable sent_;
  std::deque<QueuedSignal> queue_;
  std::atomic<uint64_t> pushed_{0};  // signals queued so far
  std::atomic<uint64_t> handed_{0};  // of those, signals handed to their connection
  bool waiting_ = false;
  bool started_ = false;
};

// Never destroyed: its thread serves for the whole process.
SignalSender &sender() {
  static auto *instance = new SignalSender;
  return *instance;
}

bool check(bool valid, GError **error, const char *what, const char *value) {
  if (!valid)
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_ARGUMENT, "invalid %s: %s", what,
                value != nullptr ? value : "(null)");
  return valid;
}

}  // namespace

void flush_signals() { sender().flush(); }

}  // namespace igd1::host

gboolean dbus_proxy_emit_signal(GDBusConnection *connection, const gchar *object_path,
                                const gchar *interface_name, const gchar *signal_name,
                                GVariant *parameters, GError **error) {
  using igd1::host::check;
  // Taken whatever happens, as g_dbus_connection_emit_signal does.
  if (parameters != nullptr) g_variant_ref_sink(parameters);
  const bool valid =
      check(G_IS_DBUS_CONNECTION(connection), error, "connection", "none") &&
      check(object_path != nullptr && g_variant_is_object_path(object_path), error, "object path",
            object_path) &&
      check(interface_name != nullptr && g_dbus_is_interface_name(interface_name), error,
            "interface name", interface_name) &&
      check(signal_name != nullptr && g_dbus_is_member_name(signal_name), error, "signal name",
            signal_name) &&
      check(parameters == nullptr || g_variant_is_of_type(parameters, G_VARIANT_TYPE_TUPLE), error,
            "signal body of type", parameters != nullptr ? g_variant_get_type_string(parameters) : "");
  if (!valid) {
    if (parameters != nullptr) g_variant_unref(parameters);
    return FALSE;
  }
  igd1::host::sender().push({G_DBUS_CONNECTION(g_object_ref(connection)), object_path, interface_name,
                             signal_name, parameters});
  return TRUE;
}

void dbus_proxy_flush_signals(void) { igd1::host::flush_signals(); }
