// igd1_startup: how long igd1d takes from launch until it owns its name and
// every object it publishes answers, with a fresh store and again with the
// store the first start left, and how much memory it peaks at.
//
//   build/igd1_startup [--runs N]
//
// It runs its own dbus-daemon and a temporary root per run.  The objects to
// wait for are those a settled daemon publishes (found once by walking the
// introspection tree); a start counts as complete when each of them answers
// Properties.GetAll for its interface (or, without properties, is listed by
// Introspect).  The questions go out all at once, so that the time measured
// is the daemon's and not a chain of round trips.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gio/gio.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kName[] = "com.wqx.igd1";
constexpr char kTop[] = "/com/wqx/igd1";
constexpr auto kGiveUp = std::chrono::seconds(20);

double ms_since(Clock::time_point begin) {
  return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
}

// ---- a dbus-daemon of our own ----------------------------------------------------

struct Bus {
  GPid pid = 0;
  std::string address;
  bool start() {
    const gchar *argv[] = {"dbus-daemon", "--session", "--nofork", "--print-address=1", nullptr};
    gint out_fd = -1;
    if (!g_spawn_async_with_pipes(nullptr, const_cast<gchar **>(argv), nullptr,
                                  GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD |
                                              G_SPAWN_STDERR_TO_DEV_NULL),
                                  nullptr, nullptr, &pid, nullptr, &out_fd, nullptr, nullptr))
      return false;
    GIOChannel *out = g_io_channel_unix_new(out_fd);
    g_io_channel_set_close_on_unref(out, TRUE);
    gchar *line = nullptr;
    gsize end = 0;
    g_io_channel_read_line(out, &line, nullptr, &end, nullptr);
    if (line != nullptr) address.assign(line, end);
    g_free(line);
    g_io_channel_unref(out);
    return !address.empty();
  }
  ~Bus() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
};

// ---- a temporary root like build/root, without a store ---------------------------

std::string make_root() {
  gchar *dir = g_dir_make_tmp("igd1-startup-XXXXXX", nullptr);
  if (dir == nullptr) return {};
  std::string root = dir;
  g_free(dir);
  std::error_code error;
  for (const char *sub : {"/etc/dbusxml", "/tmp", "/var/run", "/var/lib/igd1", "/var/log", "/bin", "/sbin"})
    fs::create_directories(root + sub, error);
  const std::string staged = IGD1_BUILD_DIR "/root";
  fs::copy(staged + "/etc/dbusxml", root + "/etc/dbusxml", error);
  for (const char *sub : {"/bin", "/sbin"})
    for (const fs::directory_entry &entry : fs::directory_iterator(staged + sub, error))
      fs::create_symlink(entry.path(), root + sub + "/" + entry.path().filename().string(), error);
  return root;
}

// ---- the daemon ----------------------------------------------------------------------

struct Daemon {
  GPid pid = 0;
  bool start(const std::string &address, const std::string &root) {
    std::vector<std::string> args = {IGD1_BUILD_DIR "/igd1d", "--address", address, "--root", root};
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return g_spawn_async(nullptr, argv.data(), nullptr,
                         GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL |
                                     G_SPAWN_STDERR_TO_DEV_NULL),
                         nullptr, nullptr, &pid, nullptr);
  }
  // Peak resident set (VmHWM) in kB.
  long peak_rss_kb() const {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
  }
  // User + system CPU so far, in ms.
  double cpu_ms() const {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::vector<std::string> fields;
    size_t at = close + 2;
    while (at < text.size()) {
      size_t space = text.find(' ', at);
      if (space == std::string::npos) space = text.size();
      fields.push_back(text.substr(at, space - at));
      at = space + 1;
    }
    // Fields 14 and 15 of the file (utime, stime) are 11 and 12 after the name.
    if (fields.size() < 13) return -1;
    return (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) * 1000.0 /
           double(sysconf(_SC_CLK_TCK));
  }
  // SIGTERM and the exit status (-1 when it did not end in time or was killed).
  int stop() {
    if (pid <= 0) return -1;
    kill(pid, SIGTERM);
    auto deadline = Clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) != pid) {
      if (Clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        pid = 0;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    pid = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ~Daemon() {
    if (pid > 0) stop();
  }
};

bool name_owned(GDBusConnection *bus) {
  GVariant *reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", kName), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 1000, nullptr,
      nullptr);
  gboolean owned = FALSE;
  if (reply != nullptr) {
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
  }
  return owned;
}

// An object published with one of its interfaces.  One with properties
// answers GetAll; one without (a marker, a method-only interface) is listed
// by Introspect.
struct Object {
  std::string path, interface;
  bool has_properties = false;
};

// One question to one object, asked asynchronously.
struct Question {
  const Object *object;
  bool done = false;
  bool answered = false;
};

void on_reply(GObject *source, GAsyncResult *result, gpointer data) {
  auto *question = static_cast<Question *>(data);
  GVariant *reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
  if (reply != nullptr && !question->object->has_properties) {
    const gchar *xml = nullptr;
    g_variant_get(reply, "(&s)", &xml);
    const std::string wanted = "<interface name=\"" + question->object->interface + "\"";
    question->answered = std::strstr(xml, wanted.c_str()) != nullptr;
  } else {
    question->answered = reply != nullptr;
  }
  if (reply != nullptr) g_variant_unref(reply);
  question->done = true;
}

// Asks every object in `objects` at once, so that the wait is the daemon's
// and not one round trip after another; keeps in `objects` those that did
// not answer yet.
void ask_all(GDBusConnection *bus, std::vector<const Object *> *objects) {
  GMainContext *context = g_main_context_new();
  g_main_context_push_thread_default(context);
  std::vector<Question> questions;
  questions.reserve(objects->size());
  for (const Object *object : *objects) {
    questions.push_back({object});
    Question *question = &questions.back();
    if (object->has_properties)
      g_dbus_connection_call(bus, kName, object->path.c_str(), "org.freedesktop.DBus.Properties",
                             "GetAll", g_variant_new("(s)", object->interface.c_str()), nullptr,
                             G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, on_reply, question);
    else
      g_dbus_connection_call(bus, kName, object->path.c_str(), "org.freedesktop.DBus.Introspectable",
                             "Introspect", nullptr, G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE,
                             1000, nullptr, on_reply, question);
  }
  for (const Question &question : questions)
    while (!question.done) g_main_context_iteration(context, TRUE);
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  objects->clear();
  for (const Question &question : questions)
    if (!question.answered) objects->push_back(question.object);
}

// Every (path, interface) below `path` that the running daemon publishes.
void walk(GDBusConnection *bus, const std::string &path, std::vector<Object> *objects) {
  GVariant *reply = g_dbus_connection_call_sync(
      bus, kName, path.c_str(), "org.freedesktop.DBus.Introspectable", "Introspect", nullptr,
      G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  if (reply == nullptr) return;
  const gchar *xml = nullptr;
  g_variant_get(reply, "(&s)", &xml);
  GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(xml, nullptr);
  g_variant_unref(reply);
  if (node == nullptr) return;
  for (GDBusInterfaceInfo **i = node->interfaces; i != nullptr && *i != nullptr; ++i)
    if (!g_str_has_prefix((*i)->name, "org.freedesktop.DBus."))
      objects->push_back({path, (*i)->name, (*i)->properties != nullptr && (*i)->properties[0] != nullptr});
  for (GDBusNodeInfo **child = node->nodes; child != nullptr && *child != nullptr; ++child)
    walk(bus, path + "/" + (*child)->path, objects);
  g_dbus_node_info_unref(node);
}

struct Start {
  double name_ms = -1, ready_ms = -1, cpu_ms = -1;
  long peak_kb = -1;
  int exit_status = -1;
};

Start measure(GDBusConnection *bus, const std::string &address, const std::string &root,
              const std::vector<Object> &objects) {
  Start result;
  Daemon daemon;
  const auto begin = Clock::now();
  if (!daemon.start(address, root)) return result;
  while (!name_owned(bus)) {
    if (Clock::now() - begin > kGiveUp) return result;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  result.name_ms = ms_since(begin);
  std::vector<const Object *> waiting;
  for (const Object &object : objects) waiting.push_back(&object);
  for (;;) {
    ask_all(bus, &waiting);
    if (waiting.empty()) break;
    if (Clock::now() - begin > kGiveUp) {
      std::fprintf(stderr, "%s (%s) never answered\n", waiting[0]->path.c_str(),
                   waiting[0]->interface.c_str());
      return result;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  result.ready_ms = ms_since(begin);
  result.cpu_ms = daemon.cpu_ms();
  result.peak_kb = daemon.peak_rss_kb();
  result.exit_status = daemon.stop();
  // The name must be free again before the next start.
  for (auto until = Clock::now() + std::chrono::seconds(5); name_owned(bus) && Clock::now() < until;)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return result;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? -1 : values[values.size() / 2];
}

void summarize(const char *what, const std::vector<Start> &starts) {
  std::vector<double> name, ready, cpu, peak;
  for (const Start &s : starts) {
    name.push_back(s.name_ms);
    ready.push_back(s.ready_ms);
    cpu.push_back(s.cpu_ms);
    peak.push_back(double(s.peak_kb));
  }
  std::printf("%-14s median of %zu: name owned %.1f ms, every object answering %.1f ms "
              "(max %.1f ms), igd1d CPU %.0f ms, peak RSS %.0f kB\n",
              what, starts.size(), median(name), median(ready),
              *std::max_element(ready.begin(), ready.end()), median(cpu), median(peak));
}

}  // namespace

int main(int argc, char **argv) {
  int runs = 5;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--runs N]\n", argv[0]);
      return 2;
    }
  }
  if (runs < 1) runs = 1;

  Bus bus_daemon;
  if (!bus_daemon.start()) {
    std::fprintf(stderr, "cannot start dbus-daemon\n");
    return 1;
  }
  GDBusConnection *bus = g_dbus_connection_new_for_address_sync(
      bus_daemon.address.c_str(),
      GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                           G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  if (bus == nullptr) {
    std::fprintf(stderr, "cannot connect to the bus\n");
    return 1;
  }

  // What a settled daemon publishes.
  std::vector<Object> objects;
  std::vector<std::string> roots;
  int status = 0;
  {
    std::string root = make_root();
    roots.push_back(root);
    Daemon daemon;
    if (root.empty() || !daemon.start(bus_daemon.address, root)) {
      std::fprintf(stderr, "cannot start igd1d\n");
      status = 1;
    } else {
      auto begin = Clock::now();
      while (!name_owned(bus) && Clock::now() - begin < kGiveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      walk(bus, kTop, &objects);
      daemon.stop();
      for (auto until = Clock::now() + std::chrono::seconds(5); name_owned(bus) && Clock::now() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  if (status == 0 && objects.empty()) {
    std::fprintf(stderr, "igd1d published no objects\n");
    status = 1;
  }

  std::vector<Start> fresh, existing;
  for (int run = 0; run < runs && status == 0; ++run) {
    std::string root = make_root();
    roots.push_back(root);
    fresh.push_back(measure(bus, bus_daemon.address, root, objects));
    existing.push_back(measure(bus, bus_daemon.address, root, objects));
    for (const Start *s : {&fresh.back(), &existing.back()}) {
      if (s->ready_ms < 0 || s->exit_status != 0) {
        std::fprintf(stderr, "start %d failed (ready %.1f ms, exit status %d)\n", run, s->ready_ms,
                     s->exit_status);
        status = 1;
      }
    }
  }
  if (status == 0) {
    std::printf("%zu objects (path, interface) waited for\n", objects.size());
    summarize("fresh store", fresh);
    summarize("existing store", existing);
  }
  g_dbus_connection_close_sync(bus, nullptr, nullptr);
  g_object_unref(bus);
  std::error_code ignored;
  for (const std::string &root : roots)
    if (!root.empty()) fs::remove_all(root, ignored);
  return status;
}
