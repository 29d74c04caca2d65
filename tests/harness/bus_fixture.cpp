#include "harness/bus_fixture.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>

#include "mib_api.h"
#include "tool.h"

namespace igd1::test {
namespace {

constexpr char kBusAddressEnv[] = "IGD1_TEST_BUS_ADDRESS";

// Copies (or links) the files of `from` into `to`; a missing `from` stages nothing.
void copy_dir_files(const std::string &from, const std::string &to, bool symlink_them) {
  namespace fs = std::filesystem;
  std::error_code error;
  for (const fs::directory_entry &entry : fs::directory_iterator(from, error)) {
    const fs::path target = fs::path(to) / entry.path().filename();
    if (symlink_them) fs::create_symlink(entry.path(), target, error);
    else fs::copy_file(entry.path(), target, error);
    if (error) ADD_FAILURE() << "cannot stage " << target << ": " << error.message();
  }
}

}  // namespace

std::string read_text_file(const std::string &file) {
  // Log lines reach their file through a writer thread.
  sys_log_flush();
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string wait_for_text(const std::string &file, const std::string &needle,
                          std::chrono::milliseconds timeout) {
  std::string text;
  eventually([&] { return (text = read_text_file(file)).find(needle) != std::string::npos; }, timeout);
  return text;
}

std::pair<std::string, std::string> remote_error(GError *error) {
  if (error == nullptr) return {"", ""};
  g_autofree gchar *name = g_dbus_error_get_remote_error(error);
  g_dbus_error_strip_remote_error(error);
  return {name != nullptr ? name : "", error->message};
}

GVariant *dictionary(std::initializer_list<std::pair<const char *, GVariant *>> entries) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
  for (const auto &[name, value] : entries) g_variant_builder_add(&builder, "{sv}", name, value);
  return g_variant_builder_end(&builder);
}

std::string printed(GVariant *value) {
  if (value == nullptr) return "<null>";
  g_autofree gchar *text = g_variant_print(value, TRUE);
  return text;
}

std::string change_body(const std::string &interface, const std::string &entries) {
  return "('" + interface + "', " + entries + ", @as [])";
}

void write_text_file(const std::string &file, const std::string &text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
}

// ---- TempRoot ----------------------------------------------------------------

// A death-test child is the test run again in a process of its own that ends
// abnormally, so nothing it creates would ever be removed: it works in the
// root of the test that started it (handed down through the environment),
// which that test removes.
constexpr char kParentRootVariable[] = "IGD1_TEST_PARENT_ROOT";

TempRoot::TempRoot() {
  if (const char *parent = g_getenv(kParentRootVariable);
      parent != nullptr && !GTEST_FLAG_GET(internal_run_death_test).empty()) {
    dir_ = parent;
    owned_ = false;
    set_root_dir(dir_);
    sys_log_reopen();
    return;
  }
  g_autoptr(GError) error = nullptr;
  g_autofree gchar *dir = g_dir_make_tmp("igd1-root-XXXXXX", &error);
  if (dir == nullptr) {
    ADD_FAILURE() << error->message;
    return;
  }
  dir_ = dir;
  for (const char *sub : {"/etc/dbusxml", "/tmp", "/var/run", "/var/lib/igd1", "/var/log",
                          "/var/lib/igd1-standin", "/bin", "/sbin"})
    g_mkdir_with_parents((dir_ + sub).c_str(), 0755);
  copy_dir_files(IGD1_SOURCE_XML_DIR, dir_ + "/etc/dbusxml", false);
  // The documents of the test module library's objects.
  copy_dir_files(IGD1_TEST_XML_DIR, dir_ + "/etc/dbusxml", false);
  copy_dir_files(IGD1_BUILD_DIR "/root/bin", dir_ + "/bin", true);
  copy_dir_files(IGD1_BUILD_DIR "/root/sbin", dir_ + "/sbin", true);
  set_root_dir(dir_);
  sys_log_reopen();
  g_setenv(kParentRootVariable, dir_.c_str(), TRUE);
}

TempRoot::~TempRoot() {
  set_root_dir("");
  sys_log_reopen();
  std::error_code ignored;
  if (!owned_ || dir_.empty()) return;
  if (g_strcmp0(g_getenv(kParentRootVariable), dir_.c_str()) == 0) g_unsetenv(kParentRootVariable);
  std::filesystem::remove_all(dir_, ignored);
}

// ---- PrivateBus --------------------------------------------------------------

const std::string &PrivateBus::address() {
  static const std::string address = [] {
    // Children of the test binary (death tests) reuse the bus of their parent.
    if (const char *inherited = g_getenv(kBusAddressEnv)) return std::string(inherited);
    static MessageBus bus;  // ends with the process
    if (bus.address().empty()) g_error("cannot start dbus-daemon");
    g_setenv(kBusAddressEnv, bus.address().c_str(), TRUE);
    return bus.address();
  }();
  return address;
}

GDBusConnection *connect_private_bus() { return connect_bus(PrivateBus::address()); }

GDBusConnection *connect_bus(const std::string &address) {
  g_autoptr(GError) error = nullptr;
  GDBusConnection *connection = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                           G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  if (connection == nullptr) ADD_FAILURE() << "cannot connect: " << error->message;
  else g_dbus_connection_set_exit_on_close(connection, FALSE);
  return connection;
}

bool wait_for_name(GDBusConnection *connection, const char *name,
                   std::chrono::milliseconds timeout) {
  return eventually([&] {
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, nullptr);
    gboolean owned = FALSE;
    if (reply != nullptr) g_variant_get(reply, "(b)", &owned);
    return owned != FALSE;
  }, timeout);
}

// ---- MainLoopThread ----------------------------------------------------------

MainLoopThread::MainLoopThread() : loop_(g_main_loop_new(nullptr, FALSE)) {
  std::promise<void> running;
  auto ready = running.get_future();
  thread_ = std::thread([this, &running] {
    g_main_context_invoke(nullptr, [](gpointer p) {
      static_cast<std::promise<void> *>(p)->set_value();
      return G_SOURCE_REMOVE;
    }, &running);
    g_main_loop_run(loop_);
  });
  ready.wait();
}

MainLoopThread::~MainLoopThread() {
  run([this] { g_main_loop_quit(loop_); });
  thread_.join();
  g_main_loop_unref(loop_);
}

// GLib's own locks hand the task to the loop thread, but ThreadSanitizer
// does not see them (GLib is not built with it) and would take the loop's
// first use of the task for a race with its construction.  Passing through
// this mutex on both sides states the order in terms it sees.
namespace {
std::mutex g_handover;
}  // namespace

void MainLoopThread::run(const std::function<void()> &work) {
  std::packaged_task<void()> task(work);
  auto finished = task.get_future();
  { std::lock_guard published(g_handover); }
  g_main_context_invoke(nullptr, [](gpointer p) {
    { std::lock_guard taken(g_handover); }
    (*static_cast<std::packaged_task<void()> *>(p))();
    return G_SOURCE_REMOVE;
  }, &task);
  finished.get();
}

// ---- SignalWatcher -----------------------------------------------------------

SignalWatcher::SignalWatcher(GDBusConnection *connection, const char *interface,
                             const char *member, const char *path)
    : context_(g_main_context_new()), connection_(connection) {
  g_main_context_push_thread_default(context_);
  subscription_ = g_dbus_connection_signal_subscribe(connection, nullptr, interface, member, path,
                                                     nullptr, G_DBUS_SIGNAL_FLAGS_NONE, on_signal,
                                                     this, nullptr);
  g_main_context_pop_thread_default(context_);
  // Make sure the match rule is in place before the test triggers anything.
  g_autoptr(GVariant) ping = g_dbus_connection_call_sync(
      connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "GetId", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, nullptr);
}

SignalWatcher::~SignalWatcher() {
  g_dbus_connection_signal_unsubscribe(connection_, subscription_);
  while (g_main_context_iteration(context_, FALSE)) continue;
  g_main_context_unref(context_);
}

void SignalWatcher::on_signal(GDBusConnection *, const gchar *, const gchar *path, const gchar *,
                              const gchar *, GVariant *parameters, gpointer self) {
  static_cast<SignalWatcher *>(self)->received_.push_back(
      {path, Variant(g_variant_ref(parameters))});
}

SignalWatcher::Signal SignalWatcher::wait(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (received_.empty() && std::chrono::steady_clock::now() < deadline) {
    if (!g_main_context_iteration(context_, FALSE))
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (received_.empty()) return {};
  Signal first = std::move(received_.front());
  received_.erase(received_.begin());
  return first;
}

std::string SignalWatcher::next(std::chrono::milliseconds timeout) {
  return printed(wait(timeout).body.get());
}

size_t SignalWatcher::pending() {
  while (g_main_context_iteration(context_, FALSE)) continue;
  return received_.size();
}

// ---- BusTest -----------------------------------------------------------------

host::Options private_bus_host() {
  host::Options options;
  options.bus = host::BusKind::Address;
  options.address = PrivateBus::address();
  options.library = IGD1_BUILD_DIR "/libigd1.so";
  return options;
}

void BusTest::SetUp() {
  root_ = std::make_unique<TempRoot>();
  loop_ = std::make_unique<MainLoopThread>();
  start_host();
  if (HasFatalFailure()) return;
  client_ = connect_private_bus();
  ASSERT_NE(client_, nullptr);
  ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
}

void BusTest::start_host() {
  host_ = std::make_unique<host::Host>();
  host::Options options = private_bus_host();
  configure(options);
  std::string error;
  bool started = false;
  loop_->run([&] { started = host_->start(options, &error); });
  ASSERT_TRUE(started) << error;
}

void BusTest::restart_host() {
  loop_->run([&] { host_->stop(); });
  ASSERT_NO_FATAL_FAILURE(start_host());
  ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
}

void BusTest::TearDown() {
  if (client_ != nullptr) {
    g_dbus_connection_close_sync(client_, nullptr, nullptr);
    g_object_unref(client_);
    client_ = nullptr;
  }
  if (loop_) loop_->run([&] { host_->stop(); });
  host_.reset();
  loop_.reset();
  mib::clear_failures();
  // The host's run-time values outlive it; the next test starts from the defaults.
  host::settings() = {};
  root_.reset();
}

Variant call_service(GDBusConnection *connection, const std::string &path, const char *interface,
                     const char *method, GVariant *args, GError **error, int timeout_ms) {
  return Variant(g_dbus_connection_call_sync(connection, host::kServiceName, path.c_str(), interface,
                                             method, args, nullptr, G_DBUS_CALL_FLAGS_NONE, timeout_ms,
                                             nullptr, error));
}

Variant BusTest::call(const char *path, const char *interface, const char *method, GVariant *args,
                      GError **error) {
  return call_service(client_, path, interface, method, args, error);
}

Variant BusTest::get_property(const char *path, const char *interface, const char *name,
                              GError **error) {
  Variant reply = call(path, "org.freedesktop.DBus.Properties", "Get",
                       g_variant_new("(ss)", interface, name), error);
  if (!reply) return {};
  GVariant *value = nullptr;
  g_variant_get(reply.get(), "(v)", &value);
  return Variant(value);
}

bool BusTest::set_property(const char *path, const char *interface, const char *name,
                           GVariant *value, GError **error) {
  return bool(call(path, "org.freedesktop.DBus.Properties", "Set",
                   g_variant_new("(ssv)", interface, name, value), error));
}

std::string BusTest::introspect(const char *path) {
  g_autoptr(GError) error = nullptr;
  Variant reply = call(path, "org.freedesktop.DBus.Introspectable", "Introspect", nullptr, &error);
  if (!reply) {
    ADD_FAILURE() << "Introspect " << path << ": " << error->message;
    return {};
  }
  const gchar *xml = nullptr;
  g_variant_get(reply.get(), "(&s)", &xml);
  return xml;
}

Error BusTest::failure_of(const std::string &path, const char *interface, const char *method,
                         GVariant *args) {
  g_autoptr(GError) error = nullptr;
  Variant reply = call(path.c_str(), interface, method, args, &error);
  return reply != nullptr ? Error() : remote_error(error);
}

Error BusTest::write(const std::string &path, const char *interface, const char *name,
                     GVariant *value) {
  return failure_of(path, "org.freedesktop.DBus.Properties", "Set",
                    g_variant_new("(ssv)", interface, name, value));
}

Error BusTest::set_multi(const std::string &path, const char *interface, GVariant *entries) {
  return failure_of(path, "com.wqx.igd1.Properties", "SetMulti",
                    g_variant_new("(s@a{sv})", interface, entries));
}

std::string BusTest::shown(const std::string &path, const char *interface, const char *name) {
  g_autoptr(GError) error = nullptr;
  Variant value = get_property(path.c_str(), interface, name, &error);
  return value != nullptr ? printed(value.get()) : "error: " + remote_error(error).second;
}

std::string BusTest::text(const std::string &path, const char *interface, const char *name) {
  g_autoptr(GError) error = nullptr;
  Variant value = get_property(path.c_str(), interface, name, &error);
  return value != nullptr ? g_variant_get_string(value.get(), nullptr)
                          : "error: " + remote_error(error).second;
}

std::string BusTest::syslog() {
  loop_->run([] {});
  return read_text_file(root().path(path::kSyslog));
}

std::string BusTest::cell(const char *table, unsigned row, const char *column) {
  return mib::get_cell(table, row, column).value_or("<missing>");
}

std::string BusTest::setting(const char *name) { return mib::get_setting(name).value_or("<missing>"); }

uint64_t BusTest::commits(const char *table) { return mib::table_write_count(*mib::find_table(table)); }

std::string BusTest::get_all(const std::string &path, const char *interface) {
  return answer(path, "org.freedesktop.DBus.Properties", "GetAll", g_variant_new("(s)", interface));
}

std::pair<std::string, Error> BusTest::add(const char *manager) {
  g_autoptr(GError) error = nullptr;
  Variant reply = call(manager, kManagerInterface, "AddObject", nullptr, &error);
  if (reply == nullptr) return {"", remote_error(error)};
  const gchar *path = nullptr;
  g_variant_get(reply.get(), "(&o)", &path);
  return {path, Error()};
}

Error BusTest::remove(const std::string &manager, const std::string &path) {
  return failure_of(manager, kManagerInterface, "DeleteObject", g_variant_new("(o)", path.c_str()));
}

std::string BusTest::managed(const char *manager) {
  return answer(manager, kFreedesktopManager, "GetManagedObjects", nullptr);
}

std::vector<std::string> BusTest::listed_paths(const char *manager) {
  Variant reply = call(manager, kFreedesktopManager, "GetManagedObjects", nullptr, nullptr);
  if (reply == nullptr) return {"<error>"};
  std::vector<std::string> paths;
  Variant objects(g_variant_get_child_value(reply.get(), 0));
  GVariantIter iter;
  g_variant_iter_init(&iter, objects.get());
  const gchar *path = nullptr;
  while (g_variant_iter_next(&iter, "{&o@a{sa{sv}}}", &path, nullptr)) paths.emplace_back(path);
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::string BusTest::answer(const std::string &path, const char *interface, const char *method,
                            GVariant *args) {
  g_autoptr(GError) error = nullptr;
  Variant reply = call(path.c_str(), interface, method, args, &error);
  return reply != nullptr ? printed(reply.get()) : "error: " + remote_error(error).second;
}

std::string BusTest::add_child(const char *manager_path) {
  SignalWatcher added(client(), kFreedesktopManager, "InterfacesAdded", manager_path);
  auto [child, error] = add(manager_path);
  if (child.empty()) {
    ADD_FAILURE() << "AddObject " << manager_path << ": " << error.second;
    return {};
  }
  EXPECT_EQ(added.wait().path, manager_path);
  return child;
}

int64_t BusTest::journal_end() {
  auto all = mib::journal();
  return all.empty() ? 0 : all.back().seq;
}

std::vector<std::pair<uint32_t, int>> BusTest::notices_since(int64_t seq) {
  std::vector<std::pair<uint32_t, int>> seen;
  for (const auto &entry : mib::journal(seq))
    if (entry.bit <= UINT32_MAX) seen.emplace_back(uint32_t(entry.bit), entry.action);
  return seen;
}

int BusTest::applies_since(int64_t seq, uint32_t bit) {
  int count = 0;
  for (const auto &[notice_bit, action] : notices_since(seq))
    count += notice_bit == bit && action == MIB_ACTION_APPLY;
  return count;
}

std::vector<std::string> BusTest::journal_lines(int64_t seq, uint64_t bit) {
  std::vector<std::string> lines;
  for (const mib::JournalEntry &entry : mib::journal(seq))
    if (entry.bit == bit) lines.push_back(entry.data);
  return lines;
}

ProgramRun BusTest::mib_tool(std::vector<std::string> args) {
  args.insert(args.begin(), IGD1_BUILD_DIR "/igd1-mib");
  return run_program(args, {{"IGD1_MIB_FAIL", ""}, {"IGD1_ROOT", root().dir()}});
}

// ---- DaemonProcess -----------------------------------------------------------

GPid spawn_with_output(std::vector<std::string> argv, int fd, const char *what) {
  std::vector<char *> pointers;
  for (std::string &arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  GPid pid = 0;
  g_autoptr(GError) error = nullptr;
  if (!g_spawn_async_with_fds(nullptr, pointers.data(), nullptr,
                              GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH), nullptr,
                              nullptr, &pid, -1, fd, fd, &error)) {
    ADD_FAILURE() << "cannot start " << what << ": " << error->message;
    return 0;
  }
  return pid;
}

DaemonProcess::DaemonProcess(std::vector<std::string> extra_args, const std::string &address,
                             std::vector<std::string> wrapper) {
  extra_args.insert(extra_args.begin(), {IGD1_BUILD_DIR "/igd1d", "--address", address});
  extra_args.insert(extra_args.begin(), wrapper.begin(), wrapper.end());
  g_autofree gchar *out = g_build_filename(g_get_tmp_dir(), "igd1d-out-XXXXXX", nullptr);
  int fd = g_mkstemp(out);
  output_ = out;
  pid_ = spawn_with_output(std::move(extra_args), fd, "igd1d");
  close(fd);
}

DaemonProcess::~DaemonProcess() {
  if (pid_ > 0) stop(SIGKILL);
  if (!output_.empty()) {
    if (testing::Test::HasFailure())
      std::fprintf(stderr, "igd1d output:\n%s\n", read_text_file(output_).c_str());
    unlink(output_.c_str());
  }
}

int DaemonProcess::wait_exit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  int status = 0;
  if (!eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout)) return -1;
  pid_ = 0;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int DaemonProcess::stop(int signal_number, std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal_number);
  return wait_exit(timeout);
}

}  // namespace igd1::test
