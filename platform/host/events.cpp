// Events that other processes send to a module through the notification
// socket: each module declares its events and the kinds of their arguments;
// the host parses the words strictly and runs the handler on the main loop.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host.h"
#include "state_file.h"

namespace igd1::host {
namespace {

constexpr size_t kReasonSize = 256;
// A handler that has not finished in this time is reported as stuck; it
// still runs to its end on the main loop.
constexpr auto kEventTimeout = std::chrono::seconds(5);

std::mutex g_events_mutex;
std::map<std::string, std::vector<dbus_proxy_event>, std::less<>> g_events;

std::vector<std::string_view> split_words(std::string_view text) {
  std::vector<std::string_view> words;
  while (!text.empty()) {
    const size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    text.remove_prefix(start);
    const size_t end = std::min(text.find(' '), text.size());
    words.push_back(text.substr(0, end));
    text.remove_prefix(end);
  }
  return words;
}

bool parse_decimal(std::string_view word, bool is_signed, int64_t *value) {
  std::string text(word);
  const char *digits = text.c_str() + (is_signed && text[0] == '-' ? 1 : 0);
  if (*digits == '\0' || std::strspn(digits, "0123456789") != std::strlen(digits)) return false;
  if (is_signed) {
    gint64 out = 0;
    if (!g_ascii_string_to_signed(text.c_str(), 10, INT32_MIN, INT32_MAX, &out, nullptr)) return false;
    *value = out;
  } else {
    guint64 out = 0;
    if (!g_ascii_string_to_unsigned(text.c_str(), 10, 0, UINT32_MAX, &out, nullptr)) return false;
    *value = int64_t(out);
  }
  return true;
}

// One argument by its kind; false with the reason.
bool parse_argument(const dbus_proxy_event_arg &arg, std::string_view word, dbus_proxy_event_value *value,
                    std::string *texts_owner, std::string *why) {
  switch (arg.kind) {
    case DBUS_PROXY_ARG_INT32:
    case DBUS_PROXY_ARG_UINT32:
      if (parse_decimal(word, arg.kind == DBUS_PROXY_ARG_INT32, &value->number)) return true;
      *why = std::string(arg.name) + " is not a " +
             (arg.kind == DBUS_PROXY_ARG_INT32 ? "32-bit number" : "32-bit unsigned number");
      return false;
    case DBUS_PROXY_ARG_BOOL:
      if (word == "1" || word == "true") value->number = 1;
      else if (word == "0" || word == "false") value->number = 0;
      else {
        *why = std::string(arg.name) + " is not 0, 1, true or false";
        return false;
      }
      return true;
    case DBUS_PROXY_ARG_MAC: {
      devices::Mac mac{};
      if (devices::parse_mac(word, &mac)) {
        std::copy(mac.begin(), mac.end(), value->mac);
        return true;
      }
      *why = std::string(arg.name) + " is not a MAC address";
      return false;
    }
    case DBUS_PROXY_ARG_TEXT:
      if (word.size() > arg.max_length || !g_utf8_validate(word.data(), gssize(word.size()), nullptr)) {
        *why = std::string(arg.name) + " is not UTF-8 of at most " + std::to_string(arg.max_length) + " bytes";
        return false;
      }
      *texts_owner = std::string(word);
      return true;
  }
  *why = "unknown argument kind";
  return false;
}

std::string usage(const std::string &module, const dbus_proxy_event &event) {
  std::string text = "usage: event " + module + " " + event.name;
  for (unsigned i = 0; i < event.arg_count; ++i) text += std::string(" ") + event.args[i].name;
  return text;
}

bool well_formed(const dbus_proxy_event *events, unsigned count) {
  for (unsigned i = 0; i < count; ++i) {
    const dbus_proxy_event &e = events[i];
    if (e.name == nullptr || *e.name == '\0' || std::strchr(e.name, ' ') != nullptr || e.run == nullptr ||
        (e.arg_count > 0 && e.args == nullptr))
      return false;
    for (unsigned j = 0; j < i; ++j)
      if (std::strcmp(events[j].name, e.name) == 0) return false;
    for (unsigned a = 0; a < e.arg_count; ++a) {
      const dbus_proxy_event_arg &arg = e.args[a];
      if (arg.name == nullptr || arg.kind < DBUS_PROXY_ARG_INT32 || arg.kind > DBUS_PROXY_ARG_TEXT ||
          (arg.kind == DBUS_PROXY_ARG_TEXT && arg.max_length == 0))
        return false;
    }
  }
  return true;
}

// A parsed call, handed to the main loop and shared with the waiting thread.
struct PendingEvent {
  dbus_proxy_event event;
  std::vector<dbus_proxy_event_value> values;
  std::vector<std::string> texts;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  int result = 0;
  char reason[kReasonSize] = {};
};

}  // namespace

bool register_events(const char *module, const dbus_proxy_event *events, unsigned count) {
  if (module == nullptr || *module == '\0' || (count > 0 && (events == nullptr || !well_formed(events, count))))
    return false;
  std::lock_guard lock(g_events_mutex);
  if (count == 0)
    g_events.erase(module);
  else
    g_events[module].assign(events, events + count);
  return true;
}

bool raise_event(const char *module, const char *name, std::initializer_list<dbus_proxy_arg_kind> kinds,
                 const dbus_proxy_event_value *values) {
  dbus_proxy_event event{};
  {
    std::lock_guard lock(g_events_mutex);
    auto found = g_events.find(module);
    if (found == g_events.end()) return false;
    auto declared = std::find_if(found->second.begin(), found->second.end(),
                                 [&](const dbus_proxy_event &e) { return std::strcmp(name, e.name) == 0; });
    if (declared == found->second.end()) return false;
    event = *declared;
  }
  if (event.arg_count != kinds.size() ||
      !std::equal(kinds.begin(), kinds.end(), event.args,
                  [](dbus_proxy_arg_kind kind, const dbus_proxy_event_arg &arg) { return kind == arg.kind; })) {
    host_log(LOG_LEVEL_WARN, "%s declares %s with other arguments than the device gives", module, name);
    return false;
  }
  char reason[kReasonSize] = {};
  return event.run(values, reason, sizeof reason) != 0;
}

void forget_events() {
  std::lock_guard lock(g_events_mutex);
  g_events.clear();
}

bool run_event(std::string_view words_text, std::string *answer) {
  const std::vector<std::string_view> words = split_words(words_text);
  if (words.size() < 2) {
    *answer = "usage: event MODULE NAME ARG...";
    return false;
  }
  const std::string module(words[0]), name(words[1]);
  auto pending = std::make_shared<PendingEvent>();
  {
    std::lock_guard lock(g_events_mutex);
    auto found = g_events.find(module);
    if (found == g_events.end()) {
      *answer = "no module " + module.substr(0, 64) + " takes events";
      return false;
    }
    auto event = std::find_if(found->second.begin(), found->second.end(),
                              [&](const dbus_proxy_event &e) { return name == e.name; });
    if (event == found->second.end()) {
      *answer = module + " has no event " + name.substr(0, 64);
      return false;
    }
    pending->event = *event;
  }
  const dbus_proxy_event &event = pending->event;
  if (words.size() - 2 != event.arg_count) {
    *answer = usage(module, event);
    return false;
  }
  pending->values.resize(event.arg_count);
  pending->texts.resize(event.arg_count);
  for (unsigned i = 0; i < event.arg_count; ++i) {
    std::string why;
    if (!parse_argument(event.args[i], words[i + 2], &pending->values[i], &pending->texts[i], &why)) {
      *answer = why + " (" + usage(module, event) + ")";
      return false;
    }
  }
  for (unsigned i = 0; i < event.arg_count; ++i)
    if (event.args[i].kind == DBUS_PROXY_ARG_TEXT) pending->values[i].text = pending->texts[i].c_str();

  auto *handed = new std::shared_ptr<PendingEvent>(pending);
  g_main_context_invoke_full(
      nullptr, G_PRIORITY_DEFAULT,
      [](gpointer data) {
        PendingEvent &p = **static_cast<std::shared_ptr<PendingEvent> *>(data);
        const int result = p.event.run(p.values.data(), p.reason, sizeof p.reason);
        std::lock_guard lock(p.mutex);
        p.result = result;
        p.reason[sizeof p.reason - 1] = '\0';
        p.done = true;
        p.finished.notify_all();
        return G_SOURCE_REMOVE;
      },
      handed, [](gpointer data) { delete static_cast<std::shared_ptr<PendingEvent> *>(data); });

  std::unique_lock lock(pending->mutex);
  if (!pending->finished.wait_for(lock, kEventTimeout, [&] { return pending->done; })) {
    *answer = module + " " + name + " did not finish in time";
    return false;
  }
  if (pending->result != 0) return true;
  *answer = pending->reason[0] != '\0' ? pending->reason : module + " " + name + " failed";
  return false;
}

}  // namespace igd1::host

int dbus_proxy_events_reg(const char *module, const dbus_proxy_event *events, unsigned int count) {
  return igd1::host::register_events(module, events, count) ? 1 : 0;
}
