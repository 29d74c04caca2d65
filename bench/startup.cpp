// igd1_startup: how long igd1d takes from launch until it owns its name and
// every object it publishes answers, with a fresh store and again with the
// store the first start left, and how much memory it peaks at.
//
//   build/igd1_startup [--runs N]
//
// It runs its own dbus-daemon and a temporary root per run (the tests' harness).  The objects to
// wait for are those a settled daemon publishes (found once by walking the
// introspection tree); a start counts as complete when each of them answers
// Properties.GetAll for its interface (or, without properties, is listed by
// Introspect).  The questions go out all at once, so that the time measured
// is the daemon's and not a chain of round trips.
#include <signal.h>
#include <unistd.h>

#include <gio/gio.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "harness/bus_fixture.h"

namespace {

using namespace igd1::test;
using Clock = std::chrono::steady_clock;

constexpr char kName[] = "com.wqx.igd1";
constexpr char kTop[] = "/com/wqx/igd1";
constexpr auto kGiveUp = std::chrono::seconds(20);

double ms_since(Clock::time_point begin) {
  return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
}

// ---- what /proc says of the daemon ---------------------------------------------------

// Peak resident set (VmHWM) in kB.
long peak_rss_kb(GPid pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// User + system CPU so far, in ms.
double cpu_ms(GPid pid) {
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

// ---- the daemon ----------------------------------------------------------------------

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

// SIGTERM, and waits until the name is free again for the next start.
int stop(GDBusConnection *bus, DaemonProcess &daemon) {
  const int status = daemon.stop(SIGTERM);
  for (auto until = Clock::now() + std::chrono::seconds(5); name_owned(bus) && Clock::now() < until;)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return status;
}

Start measure(GDBusConnection *bus, const TempRoot &root, const std::vector<Object> &objects) {
  Start result;
  const auto begin = Clock::now();
  DaemonProcess daemon({"--root", root.dir()});
  if (!daemon.started()) return result;
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
  result.cpu_ms = cpu_ms(daemon.pid());
  result.peak_kb = peak_rss_kb(daemon.pid());
  result.exit_status = stop(bus, daemon);
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

  GDBusConnection *bus = connect_private_bus();
  if (bus == nullptr) {
    std::fprintf(stderr, "cannot connect to a bus of our own\n");
    return 1;
  }

  // What a settled daemon publishes.
  std::vector<Object> objects;
  int status = 0;
  {
    TempRoot root;
    DaemonProcess daemon({"--root", root.dir()});
    if (!daemon.started() || !wait_for_name(bus, kName, kGiveUp)) {
      std::fprintf(stderr, "cannot start igd1d\n");
      status = 1;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      walk(bus, kTop, &objects);
      stop(bus, daemon);
    }
  }
  if (status == 0 && objects.empty()) {
    std::fprintf(stderr, "igd1d published no objects\n");
    status = 1;
  }

  std::vector<Start> fresh, existing;
  for (int run = 0; run < runs && status == 0; ++run) {
    TempRoot root;
    fresh.push_back(measure(bus, root, objects));
    existing.push_back(measure(bus, root, objects));
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
  return status;
}
