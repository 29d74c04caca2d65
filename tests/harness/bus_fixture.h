// Test harness: a private bus, a temporary root, a fresh store, the host
// layer running in this process, and a client connection to talk to it.
#pragma once

#include <gio/gio.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <utility>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness/program.h"
#include "harness/waiting.h"
#include "host.h"
#include "mib_store.h"
#include "sys_paths.h"

namespace igd1::test {

// What every test file of the bus uses.
using namespace std::chrono_literals;
using testing::Contains, testing::ContainsRegex, testing::ElementsAre, testing::EndsWith,
    testing::HasSubstr, testing::IsEmpty, testing::Not, testing::Pair, testing::StartsWith;

// How long a test waits for a reply unless it says otherwise.
inline constexpr int kCallTimeoutMs = 10000;

// Names the tests meet on every object.
inline constexpr char kInvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";
inline constexpr char kFailed[] = "org.freedesktop.DBus.Error.Failed";
inline constexpr char kManagerInterface[] = "com.wqx.igd1.ObjectManager";
inline constexpr char kManagerError[] = "com.wqx.igd1.ObjectManager.Error";
inline constexpr char kFreedesktopManager[] = "org.freedesktop.DBus.ObjectManager";
inline constexpr char kProps[] = "com.wqx.igd1.Properties";

// A call's D-Bus error name and message; both empty when it succeeded.
using Error = std::pair<std::string, std::string>;

inline Error InvalidArgs(const std::string &message) { return {kInvalidArgs, message}; }

// Owns a GVariant reference (the harness never leaks one on a failed assert).
struct VariantUnref { void operator()(GVariant *v) const { g_variant_unref(v); } };
using Variant = std::unique_ptr<GVariant, VariantUnref>;

std::string read_text_file(const std::string &file);
// Waits until `file` contains `needle`; returns the file's text.
std::string wait_for_text(const std::string &file, const std::string &needle,
                          std::chrono::milliseconds timeout = kPatience);

// The D-Bus error name and the bare message of a failed call.
std::pair<std::string, std::string> remote_error(GError *error);

// An a{sv} dictionary of the given entries, in order (floating).
GVariant *dictionary(std::initializer_list<std::pair<const char *, GVariant *>> entries);

// A value printed as GVariant text, e.g. "('x', {'A': <1>}, [])".
std::string printed(GVariant *value);
// The printed body of a PropertiesChanged signal of `interface` with the
// changed values `entries` (printed a{sv}) and no invalidated names.
std::string change_body(const std::string &interface, const std::string &entries);
void write_text_file(const std::string &file, const std::string &text);

// A temporary folder set up like the gateway's root: the XML files in
// etc/dbusxml, the writable folders and the stand-in programs.  While it
// lives it is the process's root folder.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot &) = delete;
  TempRoot &operator=(const TempRoot &) = delete;

  const std::string &dir() const { return dir_; }
  std::string path(const std::string &fixed) const { return dir_ + fixed; }

 private:
  std::string dir_;
  bool owned_ = true;  // false in a death-test child, which borrows its parent's root
};

// The process-wide private message bus (one dbus-daemon for the whole run).
class PrivateBus {
 public:
  static const std::string &address();
};

// Runs the default main context on a thread of its own, as the daemon's
// main loop does.
class MainLoopThread {
 public:
  MainLoopThread();
  ~MainLoopThread();
  // Runs `work` on the loop thread and waits for it.
  void run(const std::function<void()> &work);

 private:
  GMainLoop *loop_;
  std::thread thread_;
};

// Collects signals received on a client connection.
class SignalWatcher {
 public:
  SignalWatcher(GDBusConnection *connection, const char *interface, const char *member,
                const char *path = nullptr);
  ~SignalWatcher();
  // Waits for the next signal; returns its (path, body) or a null body on time-out.
  struct Signal {
    std::string path;
    Variant body;
  };
  Signal wait(std::chrono::milliseconds timeout = kPatience);
  // The next signal's body printed, "<null>" when none came in time.
  std::string next(std::chrono::milliseconds timeout = kPatience);
  size_t pending();

 private:
  static void on_signal(GDBusConnection *, const gchar *, const gchar *path, const gchar *,
                        const gchar *, GVariant *parameters, gpointer self);
  GMainContext *context_;
  GDBusConnection *connection_;
  guint subscription_;
  std::vector<Signal> received_;
};

// A call to the service on `connection`; the reply, or null with `error` set.
Variant call_service(GDBusConnection *connection, const std::string &path, const char *interface,
                     const char *method, GVariant *args, GError **error = nullptr,
                     int timeout_ms = kCallTimeoutMs);

// A host on the private bus serving the module library.
host::Options private_bus_host();

// Base fixture: everything above, with the host started in this process.
class BusTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Host options the test wants; called before the host starts.
  virtual void configure(host::Options &) {}
  // A new host with the test's options, started on the loop; the previous
  // one (if any) must have stopped.
  void start_host();
  // Stops the host and starts a new one as start_host() does, then waits
  // until it owns its name again.
  void restart_host();

  GDBusConnection *client() const { return client_; }
  const TempRoot &root() const { return *root_; }

  Variant call(const char *path, const char *interface, const char *method, GVariant *args,
               GError **error);
  Variant get_property(const char *path, const char *interface, const char *name,
                       GError **error = nullptr);
  bool set_property(const char *path, const char *interface, const char *name, GVariant *value,
                    GError **error = nullptr);
  std::string introspect(const char *path);
  // The error of a method call (empty when it succeeded).
  Error failure_of(const std::string &path, const char *interface, const char *method,
                   GVariant *args);
  // Set, and the multi-property write SetMulti: their errors.
  Error write(const std::string &path, const char *interface, const char *name, GVariant *value);
  Error set_multi(const std::string &path, const char *interface, GVariant *entries);
  // A property's value printed, or "error: " and the message.
  std::string shown(const std::string &path, const char *interface, const char *name);
  // A string property's text, or "error: " and the message.
  std::string text(const std::string &path, const char *interface, const char *name);
  // The log once the loop has returned from what it was doing: a handler
  // that answered its call may still be writing its last lines.
  std::string syslog();
  // A cell or a setting of the store, "<missing>" when there is none.
  static std::string cell(const char *table, unsigned row, const char *column);
  static std::string setting(const char *name);
  // How many rows the store has written to `table` so far.
  static uint64_t commits(const char *table);
  // AddObject: the new child's path, or "" and the error.
  std::pair<std::string, Error> add(const char *manager);
  // DeleteObject of `path` on `manager`.
  Error remove(const std::string &manager, const std::string &path);
  // GetManagedObjects printed, or "error: " and the message.
  std::string managed(const char *manager);
  // The paths GetManagedObjects lists, sorted; {"<error>"} when it failed.
  std::vector<std::string> listed_paths(const char *manager);
  // A method's reply printed, or "error: " and the message.
  std::string answer(const std::string &path, const char *interface, const char *method,
                     GVariant *args);
  // GetAll of `interface` printed, or "error: " and the message.
  std::string get_all(const std::string &path, const char *interface);
  // AddObject on the manager at `manager_path`, then waits until the new
  // child is announced, so that it can be used at once.  The child's path,
  // or "" (with a test failure) when the call was refused.
  std::string add_child(const char *manager_path);

  // Service notices: where the journal ends now, and (bit, action) of every
  // notice under a change bit after that point (journal-only sources, which
  // record above bit 31, are left out).
  int64_t journal_end();
  std::vector<std::pair<uint32_t, int>> notices_since(int64_t seq);
  // How many of them apply the settings of change bit `bit`.
  int applies_since(int64_t seq, uint32_t bit);
  // The texts of the journal entries under `bit` (a change bit or a
  // journal-only source) after `seq`, in order.
  static std::vector<std::string> journal_lines(int64_t seq, uint64_t bit);
  // igd1-mib run with `args` as another process on this root would run it
  // (no failure injected into it).
  ProgramRun mib_tool(std::vector<std::string> args);

  std::unique_ptr<TempRoot> root_;
  std::unique_ptr<MainLoopThread> loop_;
  std::unique_ptr<host::Host> host_;
  GDBusConnection *client_ = nullptr;
};

// Starts `argv` (a program name without a slash is looked up in PATH; no
// shell) with its output and errors on `fd`.  Its pid, which the caller
// reaps, or 0 with a test failure naming `what` when it did not start.
GPid spawn_with_output(std::vector<std::string> argv, int fd, const char *what);

// A real igd1d process, on the private bus unless given another address.
class DaemonProcess {
 public:
  // `wrapper` runs igd1d (setpriv and its options, say) when not empty.
  explicit DaemonProcess(std::vector<std::string> extra_args,
                         const std::string &address = PrivateBus::address(),
                         std::vector<std::string> wrapper = {});
  ~DaemonProcess();
  bool started() const { return pid_ > 0; }
  GPid pid() const { return pid_; }
  // Sends a signal and waits for the exit status (-1 on time-out).
  int stop(int signal_number, std::chrono::milliseconds timeout = kPatience);
  // Waits for the process to end by itself (-1 on time-out).
  int wait_exit(std::chrono::milliseconds timeout);
  const std::string &output_file() const { return output_; }

 private:
  GPid pid_ = 0;
  std::string output_;
};

// True once `name` has an owner on the private bus (waits up to `timeout`).
bool wait_for_name(GDBusConnection *connection, const char *name,
                   std::chrono::milliseconds timeout = kPatience);

GDBusConnection *connect_private_bus();
GDBusConnection *connect_bus(const std::string &address);

// Base fixture of tests that run igd1d as a process: a temporary root and a
// client on the private bus.
class DaemonTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(client_, nullptr); }
  void TearDown() override {
    if (client_ != nullptr) g_object_unref(client_);
  }
  Variant call(const std::string &path, const char *interface, const char *method, GVariant *args,
               GError **error = nullptr, int timeout_ms = kCallTimeoutMs) {
    return call_service(client_, path, interface, method, args, error, timeout_ms);
  }
  // igd1-notify's debug-level on this root, asked until the daemon's
  // notification socket (opened once its modules started) answers it.
  ProgramRun debug_level_once_listening() {
    ProgramRun run;
    eventually([&] {
      run = run_program({IGD1_BUILD_DIR "/igd1-notify", "--root", root_.dir(), "debug-level"});
      return run.status == 0;
    });
    return run;
  }

  TempRoot root_;
  GDBusConnection *client_ = connect_private_bus();
};

}  // namespace igd1::test
